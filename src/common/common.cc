// The verbosity level, traces, messages and the stop request.
#include "common/common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace dorvane {

int verbosity = 0;
volatile sig_atomic_t stop_signal = 0;

void trace(int level, const char *format, ...)
{
    if (verbosity < level)
        return;
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}

namespace {

// Standard error is unbuffered: the line is built first and written at
// once, as one fprintf would write it, so that it does not mingle with the
// output of a command that the run started. A line longer than the buffer
// is written in pieces.
__attribute__((format(printf, 2, 0))) void emit(const char *reason, const char *format, va_list ap)
{
    const int saved = errno;
    char line[4096];
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(line, sizeof line, format, again);
    va_end(again);
    if (n >= 0 && static_cast<size_t>(n) < sizeof line) {
        size_t len = static_cast<size_t>(n);
        const int m = reason != nullptr ? snprintf(line + len, sizeof line - len, ": %s\n", reason)
                                        : snprintf(line + len, sizeof line - len, "\n");
        if (m >= 0 && static_cast<size_t>(m) < sizeof line - len) {
            fwrite(line, 1, len + static_cast<size_t>(m), stderr);
            errno = saved;
            return;
        }
    }
    flockfile(stderr);
    vfprintf(stderr, format, ap);
    if (reason != nullptr) {
        fputs(": ", stderr);
        fputs(reason, stderr);
    }
    fputc('\n', stderr);
    funlockfile(stderr);
    errno = saved;
}

} // namespace

void message(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    emit(nullptr, format, ap);
    va_end(ap);
}

void message_errno(const char *format, ...)
{
    const char *reason = strerror(errno);
    va_list ap;
    va_start(ap, format);
    emit(reason, format, ap);
    va_end(ap);
}

} // namespace dorvane
