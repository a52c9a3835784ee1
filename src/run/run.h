// Run control: the verbosity level, the collect table and the query
// commands.
#ifndef DORVANE_RUN_RUN_H_
#define DORVANE_RUN_RUN_H_

#include <type_traits>

namespace dorvane {

// 0 at start, raised by one for each -v. 1: progress lines, results and one
// trace per store call; 2: every cursor step and record; 3: resampling
// buckets.
extern int verbosity;

// One collect statement of the configuration.
struct CollectEntry {
    int unit;          // unique within the table
    const char *query; // the whole shell command (pool copy, never cut)
    int tdiff;         // store the rate of change per second
    int vdiff;         // store the difference from the previous value
    double value;      // result of the query in this run; 0 until then
};
static_assert(std::is_trivially_destructible_v<CollectEntry>);

constexpr unsigned MAX_COLLECTS = 512;

// The process-wide collect table: rows in the order they were declared.
struct CollectTable {
    CollectEntry rows[MAX_COLLECTS];
    unsigned count;
};
extern CollectTable collect_table;

// Empties the table (the program starts with it empty; tests reset it).
void collect_reset();

// Adds a row. query must live until the end of the run (the configuration
// hands over its pool copy). 1 after "add_col: %d already defined\n" or
// "add_col: limit of %d collects reached\n".
[[nodiscard]] int add_col(int unit, const char *query, int tdiff, int vdiff);

// Runs query through the shell and reads the number at the start of the
// first line of its output; 0 when there is none or the shell cannot start.
double value_query(const char *query);

} // namespace dorvane

#endif // DORVANE_RUN_RUN_H_
