// The collect table that the configuration's collect statements fill.
#include "common/common.h"
#include "config/config.h"

namespace dorvane {

CollectTable collect_table;
unsigned collect_timeout = DEFAULT_TIMEOUT;

void collect_reset()
{
    collect_table.count = 0;
    collect_table.ended = 0;
    collect_timeout = DEFAULT_TIMEOUT;
}

int add_col(int unit, const char *query, int tdiff, int vdiff)
{
    // A repeated unit is reported as such even in a full table.
    for (unsigned i = 0; i < collect_table.count; i++) {
        if (collect_table.rows[i].unit == unit) {
            message("add_col: %d already defined", unit);
            return 1;
        }
    }
    if (collect_table.count >= MAX_COLLECTS) {
        message("add_col: limit of %d collects reached", MAX_COLLECTS);
        return 1;
    }
    CollectEntry &row = collect_table.rows[collect_table.count++];
    row.unit = unit;
    row.query = query;
    row.tdiff = tdiff;
    row.vdiff = vdiff;
    row.value = 0.0;
    row.missing = 0;
    return 0;
}

} // namespace dorvane
