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
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "run/run.h"

namespace dorvane {

unsigned watchdog_seconds = 60;

namespace {

// Made when the watchdog is armed: the handler may only write and end.
char expiry_text[256];
size_t expiry_len;

void on_expiry(int)
{
    ssize_t r = write(STDERR_FILENO, expiry_text, expiry_len);
    (void)r;
    _exit(1);
}

} // namespace

void watchdog_arm(const char *op, unsigned seconds, bool main_line)
{
    int n = main_line ? snprintf(expiry_text, sizeof expiry_text,
                                 "%s: no end after %u seconds of processor time: the store may "
                                 "be damaged\nmain: %s() failed\n",
                                 op, seconds, op)
                      : snprintf(expiry_text, sizeof expiry_text,
                                 "%s: no end after %u seconds of processor time: the store may "
                                 "be damaged\n",
                                 op, seconds);
    expiry_len = n < 0                                      ? 0
                 : n < static_cast<int>(sizeof expiry_text) ? static_cast<size_t>(n)
                                                            : sizeof expiry_text - 1;
    struct sigaction sa = {};
    sa.sa_handler = on_expiry;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPROF, &sa, nullptr);
    struct itimerval t = {};
    t.it_value.tv_sec = seconds;
    setitimer(ITIMER_PROF, &t, nullptr);
}

// A second of processor time for each MiB of the file on top of the bounded
// work's, far more than a sound store asks (bench/README.md).
unsigned watchdog_walk_seconds(const char *path)
{
    struct stat st;
    const unsigned long long mib = stat(path, &st) == 0 && st.st_size > 0
                                       ? static_cast<unsigned long long>(st.st_size) >> 20
                                       : 0;
    return watchdog_seconds + static_cast<unsigned>(std::min(mib, 1ull << 30));
}

void watchdog_disarm()
{
    struct itimerval t = {};
    setitimer(ITIMER_PROF, &t, nullptr);
}

} // namespace dorvane
