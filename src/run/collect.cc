// The collect table and the query commands.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // The commands have run: what follows is store work alone.
    watchdog_arm("data_put_value", watchdog_seconds);
    int result = 0;
    for (unsigned i = 0; result == 0 && i < collect_table.count; i++) {
        const CollectEntry &row = collect_table.rows[i];
        auto now = static_cast<uint32_t>(time(nullptr));
        if (data_put_value(0, now, row.unit & 0xffff, row.tdiff, row.vdiff, row.value) != 0)
            result = 1;
    }
    watchdog_disarm();
    return result;
}

const char *query_shell = "/bin/sh";

namespace {

// Waits for the end of a query's process.
void reap(pid_t pid)
{
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
}

// popen(query, "r") and pclose, but cheaper per command: glibc's popen
// starts the child through posix_spawn, which resets every signal's
// disposition in the child one system call at a time (some 130 calls) and
// maps a fresh stack: about 0.1 ms per command, a sixth of what starting
// the shell costs. Here the child only puts the pipe on its standard output and executes the
// shell. The result is what popen would give: the same shell, arguments,
// environment, descriptors and signal dispositions, and null with errno
// when the pipe, the process or the shell cannot be had.
FILE *query_open(const char *query, pid_t *pid)
{
    int fd[2];
    if (pipe2(fd, O_CLOEXEC) == -1)
        return nullptr;
    char sh[] = "sh", dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(query), nullptr};
    // The child shares this process's memory until it executes the shell:
    // it may only move descriptors, execute and leave, and it leaves the
    // reason of a failed execve here.
    volatile int exec_errno = 0;
    const pid_t child = vfork();
    if (child == 0) {
        // A pipe end that already is the standard output only loses its
        // close-on-exec flag.
        int moved = fd[1] == STDOUT_FILENO ? fcntl(fd[1], F_SETFD, 0) : dup2(fd[1], STDOUT_FILENO);
        if (moved != -1)
            execve(query_shell, argv, environ);
        exec_errno = errno;
        _exit(127);
    }
    int failure = child == -1 ? errno : exec_errno;
    close(fd[1]);
    FILE *out = nullptr;
    if (failure == 0) {
        out = fdopen(fd[0], "r");
        failure = out == nullptr ? errno : 0;
    }
    if (failure != 0) {
        close(fd[0]);
        if (child != -1)
            reap(child);
        errno = failure;
        return nullptr;
    }
    *pid = child;
    return out;
}

void query_close(FILE *out, pid_t pid)
{
    fclose(out);
    reap(pid);
}

} // namespace

double value_query(const char *query)
{
    if (verbosity >= 1) {
        printf("value_query - arg [%s]\n", query);
        printf("value_query - query_path [%s]\n", query);
    }
    // The run ignores SIGPIPE while the store is open; the command gets the
    // default disposition back, as a command started from a shell would.
    void (*saved)(int) = signal(SIGPIPE, SIG_DFL);
    pid_t pid;
    FILE *pipe = query_open(query, &pid);
    signal(SIGPIPE, saved);
    if (pipe == nullptr) {
        fprintf(stderr, "value_query: popen: %s\n", strerror(errno ? errno : ENOMEM));
        return 0;
    }
    char line[256];
    double value = 0;
    if (fgets(line, sizeof line, pipe) != nullptr)
        value = strtod(line, nullptr);
    query_close(pipe, pid);
    return value;
}

} // namespace dorvane
