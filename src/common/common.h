// What every layer shares, and nothing else: the verbosity level with the
// traces it gates, the message helpers, the run's stop request, the kinds
// of value a graph shows and the identity of a file. Every subsystem may
// include this header; it includes none of theirs.
//
// Results follow one convention per kind of call. An operation that
// reports its own failures returns 0, or 1 after the message (the caller
// adds its own line and stops). A thin wrapper of a system or library call
// returns 0, or -1 with errno set, and prints nothing. A call with more
// than two outcomes returns an enum class that names them.
#ifndef DORVANE_COMMON_COMMON_H_
#define DORVANE_COMMON_COMMON_H_

#include <sys/types.h>

#include <csignal>

namespace dorvane {

// --- Traces -------------------------------------------------------------

// 0 at start, raised by one for each -v. 1: progress lines, results and one
// trace per store call; 2: every cursor step and record; 3: resampling
// buckets.
extern int verbosity;

// Prints format on standard output when verbosity is level or more; the
// text is printed as it is, its line end included.
void trace(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// --- Messages -------------------------------------------------------------

// One line on standard error, in one write: the formatted text and a line
// end. message_errno puts ": " and the text of errno (as it was when it was
// called) before the line end, as err(3) does; message adds nothing, as
// errx(3). Neither prints the program's name or ends the process, and
// both leave errno as it was.
void message(const char *format, ...) __attribute__((format(printf, 1, 2)));
void message_errno(const char *format, ...) __attribute__((format(printf, 1, 2)));

// --- The stop request -----------------------------------------------------

// The first stop signal that the run received; 0 before any. Set only by
// run control's handler of SIGTERM, SIGINT and SIGHUP, never cleared. A
// layer that works in steps reads it between them: a step that sees it set
// starts nothing further and returns as if its work were done, and run
// control ends the run.
extern volatile sig_atomic_t stop_signal;

inline bool stop_requested()
{
    return stop_signal != 0;
}

// --- Shared records -------------------------------------------------------

// Which consolidated value a graph shows: the field of a stored sample that
// the configuration names and retrieval reads.
enum class GraphType : int { minimum = 1, average = 2, maximum = 3 };

// A file by its device and inode: the store's file, which run control
// hands to rendering so that no image is written over it.
struct FileId {
    dev_t dev;
    ino_t ino;
};

} // namespace dorvane

#endif // DORVANE_COMMON_COMMON_H_
