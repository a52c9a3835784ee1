// The run's stop request, for every layer that works in steps: a step that
// sees it set starts nothing further and returns as if its work were done,
// and run control ends the run. Set only by the handler of SIGTERM, SIGINT
// and SIGHUP (run/run.h, run_signals_catch), never cleared.
#ifndef DORVANE_RUN_SIGNALS_H_
#define DORVANE_RUN_SIGNALS_H_

#include <csignal>

namespace dorvane {

// The first stop signal that the run received; 0 before any.
extern volatile sig_atomic_t run_stop_signal;

inline bool run_stop_requested() { return run_stop_signal != 0; }

} // namespace dorvane

#endif // DORVANE_RUN_SIGNALS_H_
