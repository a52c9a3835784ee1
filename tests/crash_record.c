/* Preloaded into a run by the crash tests: records every change that the
 * process makes to the files of one folder (CRASH_DIR), in order, into a
 * log (CRASH_LOG), so that the test can rebuild the folder as a crash after
 * any of them would leave it. Writes, truncations, creations, syncs,
 * renames and removals are recorded; reads are not. With CRASH_KILL_UNLINK
 * set to a name, the process kills itself as it is about to remove that
 * file of the folder.
 *
 * Log record: op (1 byte), name length (u32), name, offset (u64), length
 * (u64), then length bytes of data for a write. Host byte order: the log
 * is read back on the same machine. RENAME carries the new name as data. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

enum { OP_CREATE = 1, OP_TRUNC, OP_WRITE, OP_SYNC, OP_DIRSYNC, OP_UNLINK, OP_RENAME };

#define MAX_FD 1024

static char dir[4096];
static size_t dir_len;
static int log_fd = -1;
static char *names[MAX_FD]; /* the recorded name of an open descriptor */
static char is_dir[MAX_FD];

static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_pwrite)(int, const void *, size_t, off_t);
static ssize_t (*real_pwritev)(int, const struct iovec *, int, off_t);
static ssize_t (*real_writev)(int, const struct iovec *, int);
static int (*real_open)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_close)(int);
static int (*real_ftruncate)(int, off_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_unlink)(const char *);
static int (*real_rename)(const char *, const char *);

__attribute__((constructor)) static void init(void)
{
    real_write = dlsym(RTLD_NEXT, "write");
    real_pwrite = dlsym(RTLD_NEXT, "pwrite");
    real_pwritev = dlsym(RTLD_NEXT, "pwritev");
    real_writev = dlsym(RTLD_NEXT, "writev");
    real_open = dlsym(RTLD_NEXT, "open");
    real_openat = dlsym(RTLD_NEXT, "openat");
    real_close = dlsym(RTLD_NEXT, "close");
    real_ftruncate = dlsym(RTLD_NEXT, "ftruncate");
    real_fsync = dlsym(RTLD_NEXT, "fsync");
    real_fdatasync = dlsym(RTLD_NEXT, "fdatasync");
    real_unlink = dlsym(RTLD_NEXT, "unlink");
    real_rename = dlsym(RTLD_NEXT, "rename");
    const char *d = getenv("CRASH_DIR"), *l = getenv("CRASH_LOG");
    if (d == NULL || l == NULL || strlen(d) >= sizeof dir)
        return;
    strcpy(dir, d);
    dir_len = strlen(dir);
    /* The processes around the run (faketime's wrapper, the collect
     * commands) load this too, and record nothing: they do not write into
     * the folder. */
    log_fd = real_open(l, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

/* The name of path inside the folder, or NULL; "." for the folder itself. */
static const char *inside(const char *path, char *buf, size_t size)
{
    if (log_fd < 0 || path == NULL)
        return NULL;
    if (path[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == NULL || strlen(cwd) + strlen(path) + 2 > size)
            return NULL;
        strcpy(buf, cwd);
        strcat(buf, "/");
        strcat(buf, path);
        path = buf;
    }
    if (strncmp(path, dir, dir_len) != 0)
        return NULL;
    if (path[dir_len] == '\0' || strcmp(path + dir_len, "/.") == 0 ||
        strcmp(path + dir_len, "/") == 0)
        return ".";
    if (path[dir_len] != '/' || strchr(path + dir_len + 1, '/') != NULL)
        return NULL;
    return path + dir_len + 1;
}

static void record(int op, const char *name, uint64_t off, const void *data, uint64_t len)
{
    unsigned char head[1 + 4];
    uint32_t n = (uint32_t)strlen(name);
    head[0] = (unsigned char)op;
    memcpy(head + 1, &n, 4);
    struct iovec iov[] = {
        {head, sizeof head},
        {(void *)name, n},
        {&off, 8},
        {&len, 8},
        {(void *)data, data ? len : 0},
    };
    int saved = errno;
    real_writev(log_fd, iov, 5);
    errno = saved;
}

static void opened(int fd, const char *name, int flags, int existed)
{
    if (fd < 0 || fd >= MAX_FD || name == NULL)
        return;
    free(names[fd]);
    names[fd] = strdup(name);
    is_dir[fd] = strcmp(name, ".") == 0;
    if (is_dir[fd])
        return;
    if ((flags & O_CREAT) && !existed)
        record(OP_CREATE, name, 0, NULL, 0);
    else if (flags & O_TRUNC)
        record(OP_TRUNC, name, 0, NULL, 0);
}

static int do_open(int at, const char *path, int flags, mode_t mode)
{
    char buf[8192];
    const char *name = at == AT_FDCWD ? inside(path, buf, sizeof buf) : NULL;
    struct stat st;
    int existed = name != NULL && stat(path, &st) == 0;
    int fd = at == AT_FDCWD ? real_open(path, flags, mode) : real_openat(at, path, flags, mode);
    opened(fd, name, flags, existed);
    return fd;
}

#define MODE_ARG(flags)                                                                            \
    mode_t mode = 0;                                                                               \
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {                                   \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        mode = va_arg(ap, mode_t);                                                                 \
        va_end(ap);                                                                                \
    }

int open(const char *path, int flags, ...)
{
    MODE_ARG(flags);
    return do_open(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    MODE_ARG(flags);
    return do_open(AT_FDCWD, path, flags, mode);
}

int openat(int at, const char *path, int flags, ...)
{
    MODE_ARG(flags);
    return do_open(at, path, flags, mode);
}

int openat64(int at, const char *path, int flags, ...)
{
    MODE_ARG(flags);
    return do_open(at, path, flags, mode);
}

static const char *name_of(int fd)
{
    return fd >= 0 && fd < MAX_FD && log_fd >= 0 ? names[fd] : NULL;
}

int close(int fd)
{
    if (fd >= 0 && fd < MAX_FD) {
        free(names[fd]);
        names[fd] = NULL;
    }
    return real_close(fd);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t at)
{
    ssize_t r = real_pwrite(fd, buf, n, at);
    if (r > 0 && name_of(fd))
        record(OP_WRITE, name_of(fd), (uint64_t)at, buf, (uint64_t)r);
    return r;
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off_t at)
{
    return pwrite(fd, buf, n, at);
}

ssize_t pwritev(int fd, const struct iovec *iov, int count, off_t at)
{
    ssize_t r = real_pwritev(fd, iov, count, at);
    if (r > 0 && name_of(fd)) {
        ssize_t left = r;
        for (int i = 0; i < count && left > 0; i++) {
            size_t n = iov[i].iov_len < (size_t)left ? iov[i].iov_len : (size_t)left;
            record(OP_WRITE, name_of(fd), (uint64_t)at, iov[i].iov_base, n);
            at += (off_t)n;
            left -= (ssize_t)n;
        }
    }
    return r;
}

ssize_t pwritev64(int fd, const struct iovec *iov, int count, off_t at)
{
    return pwritev(fd, iov, count, at);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    if (name_of(fd) == NULL)
        return real_write(fd, buf, n);
    off_t at = lseek(fd, 0, SEEK_CUR);
    ssize_t r = real_write(fd, buf, n);
    if (r > 0)
        record(OP_WRITE, name_of(fd), (uint64_t)at, buf, (uint64_t)r);
    return r;
}

ssize_t writev(int fd, const struct iovec *iov, int count)
{
    if (name_of(fd) == NULL)
        return real_writev(fd, iov, count);
    off_t at = lseek(fd, 0, SEEK_CUR);
    ssize_t r = real_writev(fd, iov, count);
    ssize_t left = r;
    for (int i = 0; i < count && left > 0; i++) {
        size_t n = iov[i].iov_len < (size_t)left ? iov[i].iov_len : (size_t)left;
        record(OP_WRITE, name_of(fd), (uint64_t)at, iov[i].iov_base, n);
        at += (off_t)n;
        left -= (ssize_t)n;
    }
    return r;
}

int ftruncate(int fd, off_t size)
{
    int r = real_ftruncate(fd, size);
    if (r == 0 && name_of(fd))
        record(OP_TRUNC, name_of(fd), (uint64_t)size, NULL, 0);
    return r;
}

int ftruncate64(int fd, off_t size)
{
    return ftruncate(fd, size);
}

static void synced(int fd)
{
    if (name_of(fd))
        record(is_dir[fd] ? OP_DIRSYNC : OP_SYNC, name_of(fd), 0, NULL, 0);
}

int fsync(int fd)
{
    int r = real_fsync(fd);
    if (r == 0)
        synced(fd);
    return r;
}

int fdatasync(int fd)
{
    int r = real_fdatasync(fd);
    if (r == 0)
        synced(fd);
    return r;
}

int unlink(const char *path)
{
    char buf[8192];
    const char *name = inside(path, buf, sizeof buf);
    const char *kill_at = getenv("CRASH_KILL_UNLINK");
    if (name != NULL && kill_at != NULL && strcmp(name, kill_at) == 0)
        raise(SIGKILL);
    int r = real_unlink(path);
    if (r == 0 && name)
        record(OP_UNLINK, name, 0, NULL, 0);
    return r;
}

int rename(const char *from, const char *to)
{
    char a[8192], b[8192];
    const char *na = inside(from, a, sizeof a), *nb = inside(to, b, sizeof b);
    int r = real_rename(from, to);
    if (r == 0 && na && nb)
        record(OP_RENAME, na, 0, nb, strlen(nb));
    return r;
}
