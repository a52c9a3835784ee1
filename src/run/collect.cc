// The collect table and the query commands.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/run.h"

namespace dorvane {

int verbosity = 0;
CollectTable collect_table;

void collect_reset() { collect_table.count = 0; }

int add_col(int unit, const char *query, int tdiff, int vdiff)
{
    // A repeated unit is reported as such even in a full table.
    for (unsigned i = 0; i < collect_table.count; i++) {
        if (collect_table.rows[i].unit == unit) {
            fprintf(stderr, "add_col: %d already defined\n", unit);
            return 1;
        }
    }
    if (collect_table.count >= MAX_COLLECTS) {
        fprintf(stderr, "add_col: limit of %d collects reached\n", MAX_COLLECTS);
        return 1;
    }
    CollectEntry &row = collect_table.rows[collect_table.count++];
    row.unit = unit;
    row.query = query;
    row.tdiff = tdiff;
    row.vdiff = vdiff;
    row.value = 0.0;
    return 0;
}

double value_query(const char *query)
{
    if (verbosity >= 1) {
        printf("value_query - arg [%s]\n", query);
        printf("value_query - query_path [%s]\n", query);
    }
    FILE *pipe = popen(query, "r");
    if (pipe == nullptr) {
        fprintf(stderr, "value_query: popen: %s\n", strerror(errno ? errno : ENOMEM));
        return 0;
    }
    char line[256];
    double value = 0;
    if (fgets(line, sizeof line, pipe) != nullptr)
        value = strtod(line, nullptr);
    pclose(pipe);
    return value;
}

} // namespace dorvane
