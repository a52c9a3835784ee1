// The run's guard against a store that the library cannot finish reading.
//
// A page that a disk fault zeroed sends the library's tree search round for
// ever, at full speed, with the store's lock held: every later run would
// wait behind it. Each piece of store work gets a budget of processor time,
// far beyond what a sound store asks; the commands that a run starts are
// other processes and do not count. A budget spent ends the run with the
// phase's message, as a kill would, so the store keeps what the last
// completed run left.
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

#include "run/run.h"

namespace dorvane {

unsigned watchdog_seconds = 60;

namespace {

// Made when the watchdog is armed: the handler may only write and end.
char message[256];
size_t message_len;

void on_expiry(int)
{
    ssize_t r = write(STDERR_FILENO, message, message_len);
    (void)r;
    _exit(1);
}

} // namespace

void watchdog_arm(const char *op, unsigned seconds)
{
    int n = snprintf(message, sizeof message,
                     "%s: no end after %u seconds of processor time: the store may be damaged\n"
                     "main: %s() failed\n",
                     op, seconds, op);
    message_len = n < 0 ? 0 : n < static_cast<int>(sizeof message) ? static_cast<size_t>(n)
                                                                    : sizeof message - 1;
    struct sigaction sa {};
    sa.sa_handler = on_expiry;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPROF, &sa, nullptr);
    struct itimerval t {};
    t.it_value.tv_sec = seconds;
    setitimer(ITIMER_PROF, &t, nullptr);
}

void watchdog_disarm()
{
    struct itimerval t {};
    setitimer(ITIMER_PROF, &t, nullptr);
}

} // namespace dorvane
