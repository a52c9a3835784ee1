// Run control: the command line, the reading of the configuration, the
// phases of a run in their fixed order, the query commands that fill the
// collect table's values, and the guards of a run (the watchdog over store
// work, the stop signals).
#ifndef DORVANE_RUN_RUN_H_
#define DORVANE_RUN_RUN_H_

#include <csignal>

#include "config/config.h"
#include "pool/pool.h"

namespace dorvane {

// The query-and-store phase: runs every query in table order, then stores
// every value with the time of storing; a command ended before its first
// line stores nothing. 1 as soon as a store fails. A stop request starts no
// further command or store: once it came while the commands ran, nothing
// of the run is stored.
[[nodiscard]] int query_and_store();

// What one query gave.
struct QueryResult {
    double value;  // the number at the start of its first line; 0 without one
    int has_value; // 0: ended before its first line, or by a stop request
    int ended;     // did not end by its deadline and was ended
};

// Runs query through the shell, in a process group of its own, and reads
// the number at the start of the first line of its output; 0 when there is
// none or the shell cannot start. The command, with every process of its
// group, gets SIGTERM once collect_timeout seconds have passed (or a stop
// request came) and SIGKILL 2 seconds later; a deadline passed prints
// "value_query: <query>: no end after <seconds> seconds, ended\n".
QueryResult value_query(const char *query);

// The shell that runs the queries, as "sh -c <query>".
extern const char *query_shell;

// The quick configuration of -g; its image is render's QUICK_IMAGE_FILE.
constexpr const char *QUICK_CONFIG_PATH = "/tmp/.dorvane.conf.temp";

// What the command line asks of a run. Strings are pool copies.
struct RunSettings {
    const char *program;      // first word after its last '/', "" without one
    const char *config_file;  // -c
    const char *config_dir;   // -C; when set, config_file is not read
    const char *store;        // -d
    const char *copy_target;  // -f; null: no copy
    int draw;                 // -p
    int query;                // -q
    int truncate;             // -t
    int days_raw;             // days kept at level 0 (-t)
    int days_consolidated;    // days kept at higher levels (-t, 365)
    int quick;                // -g
    const char *quick_config; // the quick configuration text of the last -g
};

enum class OptionsResult : int { run = 0, refused = 1 };

// Reads the command line into *settings and writes the quick configuration
// file for each -g. refused: the usage line or another message has been
// printed and the run ends with status 1.
[[nodiscard]] OptionsResult run_read_options(Pool *pool, int argc, char **argv,
                                             RunSettings *settings);

// Writes text to path as the quick configuration: never through a link,
// only over a regular file of this user with one link, mode 0600. 1 after
// "main: fopen fail\n".
[[nodiscard]] int run_write_quick_config(const char *path, const char *text);

// Reads every regular, non-hidden file of the -C directory, else the -c
// file, then the quick configuration. The directory and every file read
// must pass config_check_writers; the quick configuration, read from
// memory, is not checked. 1 after the failure was reported ("main:
// opendir: <dir>: <reason>\n" for a directory that cannot be opened).
[[nodiscard]] int run_read_configuration(Pool *pool, const RunSettings *settings,
                                         ImageSpec **images);

// Ends the run, with "<op>: no end after <seconds> seconds of processor
// time: ..." and "main: <op>() failed", once the process has spent seconds
// of processor time from now; disarm stops it. Store work that the library
// cannot finish (a zeroed page) would otherwise hold the lock for ever.
// Without main_line, only the first line is printed (a program whose
// operations name themselves).
void watchdog_arm(const char *op, unsigned seconds, bool main_line = true);
void watchdog_disarm();
// The budget of each bounded piece of store work; walks over the whole
// store get a second more for each MiB of the file. Lowered by tests.
extern unsigned watchdog_seconds;
// The budget of a walk over the whole store at path.
unsigned watchdog_walk_seconds(const char *path);

// Catches SIGTERM, SIGINT and SIGHUP for the rest of the process, but for
// those that were ignored at start (a background job, nohup): they stay
// ignored. Until run_signals_defer, a signal ends the process at once with
// "main: ended by <signal>\n" and status 1: nothing is open that it could
// leave half-done, and a wait for the store's lock ends with it.
void run_signals_catch();
// From here on a signal only sets stop_signal (common/common.h) and sends
// SIGTERM to run_command_group: the run stops at its next step and closes
// the store as usual.
void run_signals_defer();
// The process group of the running collect command; 0 when none runs.
extern volatile sig_atomic_t run_command_group;
// status, or 1 after "main: ended by <signal>\n" once a stop signal came.
[[nodiscard]] int run_signals_report(int status);

// Opens the store, runs the phases that the settings ask for in their
// fixed order and closes the store. The exit status of the run: 1 also
// when a collect command was ended or a stop signal ended the run.
[[nodiscard]] int run_phases(const RunSettings *settings, ImageSpec *images);

} // namespace dorvane

#endif // DORVANE_RUN_RUN_H_
