// The query commands and the query-and-store phase.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/common.h"
#include "config/config.h"
#include "run/run.h"
#include "store/store.h"

namespace dorvane {
namespace {

// Keeps a query's result in the row of its unit (units are unique).
void set_col(int unit, double value, int missing)
{
    for (unsigned i = 0; i < collect_table.count; i++) {
        if (collect_table.rows[i].unit == unit) {
            collect_table.rows[i].value = value;
            collect_table.rows[i].missing = missing;
            return;
        }
    }
}

} // namespace

int query_and_store()
{
    collect_table.ended = 0;
    // Every command runs before the first value is stored.
    for (unsigned i = 0; i < collect_table.count && !stop_requested(); i++) {
        const CollectEntry &row = collect_table.rows[i];
        const QueryResult q = value_query(row.query);
        if (q.ended)
            collect_table.ended++;
        if (q.has_value)
            trace(1, "set_col(%d, %s, %lf)\n", row.unit, row.query, q.value);
        set_col(row.unit, q.value, !q.has_value);
    }
    if (stop_requested())
        return 0;
    trace(1, "storing values in database\n");
    // The commands have run: what follows is store work alone.
    watchdog_arm("data_put_value", watchdog_seconds);
    int result = 0;
    for (unsigned i = 0; result == 0 && i < collect_table.count && !stop_requested(); i++) {
        const CollectEntry &row = collect_table.rows[i];
        if (row.missing)
            continue;
        auto now = static_cast<uint32_t>(time(nullptr));
        if (data_put_value(0, now, row.unit & 0xffff, row.tdiff, row.vdiff, row.value) != 0)
            result = 1;
    }
    watchdog_disarm();
    return result;
}

const char *query_shell = "/bin/sh";

namespace {

// Time between the SIGTERM that ends a command's group and the SIGKILL.
constexpr long GRACE_MS = 2000;
constexpr long TICK_MS = 10;

timespec after_ms(long ms)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += ms % 1000 * 1000000;
    if (t.tv_nsec >= 1000000000) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

// What is left until deadline, never below 0.
timespec left_until(const timespec &deadline)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec t{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (t.tv_nsec < 0) {
        t.tv_sec--;
        t.tv_nsec += 1000000000;
    }
    return t.tv_sec < 0 ? timespec{0, 0} : t;
}

void sleep_ms(long ms)
{
    timespec t{ms / 1000, ms % 1000 * 1000000};
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
}

enum class Wait { ready, deadline, stopped };

// Waits until fd is readable (or at its end), the deadline passes or a stop
// is requested. The stop signals are blocked outside the wait, and ppoll
// lets them in (open) only while it waits, so that one that comes just
// before it still ends the wait. A timeout that ppoll reports is the
// deadline, whatever the clock says: a test's faked clock may stand still.
Wait wait_readable(int fd, const timespec &deadline, const sigset_t *open)
{
    for (;;) {
        if (stop_requested())
            return Wait::stopped;
        const timespec left = left_until(deadline);
        pollfd p{fd, POLLIN, 0};
        const int r = ppoll(&p, 1, &left, open);
        if (r > 0)
            return Wait::ready;
        if (r == 0 || errno != EINTR)
            return Wait::deadline;
    }
}

// The first line of the command's output, as fgets into line would read
// it: up to and with its newline, at most size - 1 characters, or what came
// before the end of the output; *length is 0 when there was no output. A
// line still unfinished at the deadline (or a stop) is no line.
Wait read_line(int fd, char *line, size_t size, size_t *length, const timespec &deadline,
               const sigset_t *open)
{
    size_t n = 0;
    line[0] = '\0';
    *length = 0;
    while (n < size - 1) {
        const Wait w = wait_readable(fd, deadline, open);
        if (w != Wait::ready)
            return w;
        const ssize_t got = read(fd, line + n, size - 1 - n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        const char *newline = static_cast<const char *>(memchr(line + n, '\n', got));
        n = newline != nullptr ? static_cast<size_t>(newline - line) + 1 : n + got;
        if (newline != nullptr)
            break;
    }
    line[n] = '\0';
    *length = n;
    return Wait::ready;
}

// Waits, as wait_readable, until the process pid has ended, without
// reaping it: while it is unreaped its number stays its group's.
Wait wait_exit(pid_t pid, const timespec &deadline, const sigset_t *open)
{
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        const Wait w = wait_readable(fd, deadline, open);
        close(fd);
        return w;
    }
    // No process descriptor (a kernel before 5.3, or none left): look
    // every tick.
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid == pid)
            return Wait::ready;
        if (stop_requested())
            return Wait::stopped;
        const timespec left = left_until(deadline);
        if (left.tv_sec == 0 && left.tv_nsec == 0)
            return Wait::deadline;
        const timespec tick{0, TICK_MS * 1000000};
        ppoll(nullptr, 0, left.tv_sec > 0 || left.tv_nsec > tick.tv_nsec ? &tick : &left, open);
    }
}

// Waits for the end of a query's process.
void reap(pid_t pid)
{
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
}

// Whether a process of the group is left (one of another user's counts).
// Its ended processes whose parent has ended too are the run's to reap
// (query_open): a zombie would count.
bool group_alive(pid_t group)
{
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    return kill(-group, 0) == 0 || errno == EPERM;
}

// Whether the group has no process left after waiting at most ms.
bool group_gone_within(pid_t group, long ms)
{
    for (; group_alive(group); ms -= TICK_MS) {
        if (ms <= 0)
            return false;
        sleep_ms(TICK_MS);
    }
    return true;
}

// Ends the command's process group: SIGTERM (and SIGCONT, so that a
// stopped process can act on it), then SIGKILL to what is left of it 2
// seconds later. The shell, which keeps the group's number while it is
// unreaped, is reaped with the rest, unless it outlives its SIGKILL (a
// process stuck in the kernel): it then holds nothing of the run, whose
// descriptors are all close-on-exec, and the run goes on.
void end_group(pid_t pid)
{
    run_command_group = 0;
    kill(-pid, SIGTERM);
    kill(-pid, SIGCONT);
    if (!group_gone_within(pid, GRACE_MS)) {
        kill(-pid, SIGKILL);
        group_gone_within(pid, GRACE_MS);
    }
}

// popen(query, "r"), but cheaper per command (bench/README.md): glibc's
// popen starts the child through posix_spawn, which resets every signal's
// disposition in the child one system call at a time (some 130 calls) and
// maps a fresh stack. Here the child only takes a process group of its
// own, puts the pipe on its standard output and executes the shell. The
// result is the pipe's read end, -1 with errno when the pipe, the process
// or the shell cannot be had; the shell gets what popen would give it: the
// same arguments, environment, descriptors and signal dispositions.
int query_open(const char *query, pid_t *pid)
{
    // A process of the command whose parent ends comes to the run, not to
    // init, which may be slow to reap it once it has ended.
    static bool subreaper = false;
    if (!subreaper)
        subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    int fd[2];
    if (pipe2(fd, O_CLOEXEC) == -1)
        return -1;
    char sh[] = "sh", dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(query), nullptr};
    // The child shares this process's memory until it executes the shell:
    // it may only change its group, move descriptors, execute and leave,
    // and it leaves the reason of a failed execve here.
    volatile int exec_errno = 0;
    // NOLINTBEGIN(clang-analyzer-security.insecureAPI.vfork,clang-analyzer-unix.Vfork)
    const pid_t child = vfork();
    if (child == 0) {
        // So that one signal reaches the command's every process.
        setpgid(0, 0);
        // A pipe end that already is the standard output only loses its
        // close-on-exec flag.
        int moved = fd[1] == STDOUT_FILENO ? fcntl(fd[1], F_SETFD, 0) : dup2(fd[1], STDOUT_FILENO);
        if (moved != -1)
            execve(query_shell, argv, environ);
        exec_errno = errno;
        _exit(127);
    }
    // NOLINTEND(clang-analyzer-security.insecureAPI.vfork,clang-analyzer-unix.Vfork)
    const int failure = child == -1 ? errno : exec_errno;
    close(fd[1]);
    if (failure != 0) {
        close(fd[0]);
        if (child != -1)
            reap(child);
        errno = failure;
        return -1;
    }
    *pid = child;
    return fd[0];
}

} // namespace

QueryResult value_query(const char *query)
{
    trace(1, "value_query - arg [%s]\n", query);
    trace(1, "value_query - query_path [%s]\n", query);
    QueryResult result{0.0, 1, 0};
    const timespec deadline = after_ms(static_cast<long>(collect_timeout) * 1000);
    // The run ignores SIGPIPE while the store is open; the command gets the
    // default disposition back, as a command started from a shell would.
    void (*saved)(int) = signal(SIGPIPE, SIG_DFL);
    pid_t pid;
    const int fd = query_open(query, &pid);
    signal(SIGPIPE, saved);
    if (fd < 0) {
        message("value_query: popen: %s", strerror(errno ? errno : ENOMEM));
        return result;
    }
    run_command_group = pid;
    sigset_t stops, open;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, &open);
    char line[256];
    size_t length;
    Wait w = read_line(fd, line, sizeof line, &length, deadline, &open);
    close(fd);
    if (w == Wait::ready) {
        result.value = strtod(line, nullptr);
        w = wait_exit(pid, deadline, &open);
    }
    if (w == Wait::ready) {
        run_command_group = 0;
        reap(pid);
    } else {
        end_group(pid);
        // What printed nothing in time, or was stopped, gives nothing.
        if (length == 0 || w == Wait::stopped)
            result.has_value = 0;
        if (w == Wait::deadline) {
            message("value_query: %s: no end after %u seconds, ended", query, collect_timeout);
            result.ended = 1;
        }
    }
    sigprocmask(SIG_SETMASK, &open, nullptr);
    return result;
}

} // namespace dorvane
