// The collect table and the query commands.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/run.h"
#include "store/store.h"

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

namespace {

// Keeps a query's result in the row of its unit (units are unique).
void set_col(int unit, double value)
{
    for (unsigned i = 0; i < collect_table.count; i++) {
        if (collect_table.rows[i].unit == unit) {
            collect_table.rows[i].value = value;
            return;
        }
    }
}

} // namespace

int query_and_store()
{
    // Every command runs before the first value is stored.
    for (unsigned i = 0; i < collect_table.count; i++) {
        const CollectEntry &row = collect_table.rows[i];
        double value = value_query(row.query);
        if (verbosity >= 1)
            printf("set_col(%d, %s, %lf)\n", row.unit, row.query, value);
        set_col(row.unit, value);
    }
    if (verbosity >= 1)
        puts("storing values in database");
    for (unsigned i = 0; i < collect_table.count; i++) {
        const CollectEntry &row = collect_table.rows[i];
        auto now = static_cast<uint32_t>(time(nullptr));
        if (data_put_value(0, now, row.unit & 0xffff, row.tdiff, row.vdiff, row.value) != 0)
            return 1;
    }
    return 0;
}

double value_query(const char *query)
{
    if (verbosity >= 1) {
        printf("value_query - arg [%s]\n", query);
        printf("value_query - query_path [%s]\n", query);
    }
    // The run ignores SIGPIPE while the store is open; the command gets the
    // default disposition back, as a command started from a shell would.
    void (*saved)(int) = signal(SIGPIPE, SIG_DFL);
    FILE *pipe = popen(query, "r");
    signal(SIGPIPE, saved);
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
