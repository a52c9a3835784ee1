// The run's end on SIGTERM, SIGINT and SIGHUP.
//
// While the store is open, a signal must not cut a write or a close
// half-way: the handler only records the signal and sends SIGTERM to the
// running command's group, and the run stops at its next step, closes the
// store and reports. Before the store is open nothing can be left
// half-done, and the run may be waiting for the store's lock, which no
// flag would end: the handler ends the process at once.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "run/run.h"

namespace dorvane {

volatile sig_atomic_t run_command_group = 0;

namespace {

volatile sig_atomic_t deferred = 0;

constexpr int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

const char *ended_line(int sig)
{
    switch (sig) {
    case SIGTERM:
        return "main: ended by SIGTERM\n";
    case SIGINT:
        return "main: ended by SIGINT\n";
    default:
        return "main: ended by SIGHUP\n";
    }
}

void on_stop(int sig)
{
    if (!deferred) {
        const char *line = ended_line(sig);
        ssize_t r = write(STDERR_FILENO, line, strlen(line));
        (void)r;
        _exit(1);
    }
    const int saved = errno;
    if (stop_signal == 0)
        stop_signal = sig;
    const pid_t group = run_command_group;
    if (group > 0)
        kill(-group, SIGTERM);
    errno = saved;
}

} // namespace

void run_signals_catch()
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    for (int sig : STOP_SIGNALS)
        sigaddset(&sa.sa_mask, sig);
    // Restarted: a signal must not fail a write to standard output.
    sa.sa_flags = SA_RESTART;
    for (int sig : STOP_SIGNALS) {
        struct sigaction old = {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }
}

void run_signals_defer()
{
    deferred = 1;
}

int run_signals_report(int status)
{
    if (!stop_requested())
        return status;
    fputs(ended_line(stop_signal), stderr);
    return 1;
}

} // namespace dorvane
