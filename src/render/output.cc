// Writing an image's PNG file.
//
// A web server may read an image while the run redraws it, so an image is
// written to a temporary file in the target's directory and renamed over the
// target only once the encoder, the flush and the close have all succeeded.
// The temporary file has no name while it is written, where the file system
// allows, so that a run killed meanwhile leaves nothing beside the image.
// Where a rename would not give the same file (a symbolic link, a file with
// more links, an owner we cannot give the new file, anything but a regular
// file) or cannot be done (no temporary file in the directory), the file is
// written in place, as fopen "wb" would.
#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "render/render.h"

namespace dorvane {
namespace {

// The warn line with the target's name; errno is the cause.
int fail(const char *file)
{
    warn("%s", file);
    return 1;
}

int refuse_store(const char *file)
{
    message("graph_generate_images: %s: is the store itself", file);
    return 1;
}

bool is_file(const struct stat *st, const FileId *id)
{
    return id != nullptr && st->st_dev == id->dev && st->st_ino == id->ino;
}

// Encodes im into fp and flushes it; fp stays open. gdImagePng cannot report
// a failure, so the PNG is encoded into memory (the same bytes) and written
// with one checked fwrite.
bool write_stream(gdImagePtr im, FILE *fp)
{
    int size = 0;
    void *png = gdImagePngPtr(im, &size);
    if (png == nullptr || size < 0) {
        gdFree(png);
        errno = EIO;
        return false;
    }
    const size_t n = static_cast<size_t>(size);
    const bool written = fwrite(png, 1, n, fp) == n;
    const int saved = errno;
    gdFree(png);
    errno = saved;
    if (!written || ferror(fp)) {
        if (errno == 0)
            errno = EIO;
        return false;
    }
    return fflush(fp) == 0;
}

// Writes im to the open descriptor fd and closes it, whatever happens.
bool write_fd(gdImagePtr im, int fd)
{
    FILE *fp = fdopen(fd, "wb");
    if (fp == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    errno = 0;
    const bool ok = write_stream(im, fp);
    const int saved = errno;
    if (fclose(fp) != 0)
        return false;
    errno = saved;
    return ok;
}

// The in-place write. Nothing is truncated before fstat has shown the file
// to be neither the store nor, for the quick image, anything but a regular
// file of ours with a single link.
int write_in_place(gdImagePtr im, const char *file, bool quick, const FileId *store)
{
    int fd;
    if (quick) {
        // A shared directory: never follow a link there, nor wait on a FIFO
        // that someone left under the name; a new file is made exclusively.
        const int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
        fd = open(file, flags);
        if (fd < 0 && errno == ENOENT)
            fd = open(file, flags | O_CREAT | O_EXCL, 0600);
    } else {
        fd = open(file, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        return fail(file);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return fail(file);
    }
    if (is_file(&st, store)) {
        close(fd);
        return refuse_store(file);
    }
    if (quick && (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1)) {
        close(fd);
        errno = EPERM;
        return fail(file);
    }
    if ((quick && fchmod(fd, 0600) != 0) || (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return fail(file);
    }
    if (!write_fd(im, fd))
        return fail(file);
    return 0;
}

// A temporary file that is removed unless it was renamed into place.
struct TempFile {
    char path[PATH_MAX];
    bool live = false;
    ~TempFile()
    {
        if (live) {
            const int saved = errno;
            unlink(path);
            errno = saved;
        }
    }
};

enum class Replace { done, failed, in_place };

// Gives the new file fd the target's owner, group and mode (old), or the
// mode that fopen gives a new file (old null). in_place when the owner
// cannot be kept; failed, reported, when the mode cannot be set.
Replace set_owner_and_mode(int fd, const char *file, const struct stat *old)
{
    mode_t mode;
    if (old != nullptr) {
        mode = old->st_mode & 07777;
        if ((old->st_uid != geteuid() || old->st_gid != getegid()) &&
            fchown(fd, old->st_uid, old->st_gid) != 0)
            return Replace::in_place;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd, mode) != 0) {
        fail(file);
        return Replace::failed;
    }
    return Replace::done;
}

// Writes im to a file of dir that has no name until it is whole, then links
// it as temp->path (which ends in the prefix of its name), so that a run
// killed while it writes leaves nothing behind. in_place with *named set
// where the file system or a missing /proc allows no such file: a named
// temporary file may still do.
Replace write_unnamed(gdImagePtr im, const char *file, const char *dir, const struct stat *old,
                      TempFile *temp, bool *named)
{
    *named = true;
    const int fd = open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return Replace::in_place;
    const Replace r = set_owner_and_mode(fd, file, old);
    if (r != Replace::done) {
        close(fd);
        // An owner that cannot be kept cannot be kept for a named file.
        *named = false;
        return r;
    }
    // The write closes its descriptor; a second one keeps the file to name.
    const int keep = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (keep < 0) {
        close(fd);
        return Replace::in_place;
    }
    if (!write_fd(im, fd)) {
        fail(file);
        close(keep);
        return Replace::failed;
    }
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", keep);
    const size_t prefix = strlen(temp->path);
    int linked = -1;
    // A name another process holds is never replaced: the next is tried.
    for (unsigned n = 0; linked != 0 && n < 100; n++) {
        const int len = snprintf(temp->path + prefix, sizeof temp->path - prefix, "%ld-%u",
                                 static_cast<long>(getpid()), n);
        if (len < 0 || static_cast<size_t>(len) >= sizeof temp->path - prefix)
            break;
        linked = linkat(AT_FDCWD, proc, AT_FDCWD, temp->path, AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno != EEXIST)
            break;
    }
    close(keep);
    if (linked != 0) {
        temp->path[prefix] = '\0';
        return Replace::in_place;
    }
    temp->live = true;
    return Replace::done;
}

// Writes im to a named temporary file beside the target: the way where no
// unnamed file can be made.
Replace write_named(gdImagePtr im, const char *file, const struct stat *old, TempFile *temp)
{
    // The caller left room for the suffix.
    memcpy(temp->path + strlen(temp->path), "XXXXXX", 7);
    const int fd = mkostemp(temp->path, O_CLOEXEC);
    if (fd < 0)
        return Replace::in_place;
    temp->live = true;
    const Replace r = set_owner_and_mode(fd, file, old);
    if (r != Replace::done) {
        close(fd);
        return r;
    }
    if (!write_fd(im, fd)) {
        fail(file);
        return Replace::failed;
    }
    return Replace::done;
}

Replace write_by_rename(gdImagePtr im, const char *file)
{
    const char *slash = strrchr(file, '/');
    const char *base = slash != nullptr ? slash + 1 : file;
    if (*base == '\0')
        return Replace::in_place;

    struct stat old;
    const bool exists = lstat(file, &old) == 0;
    if (!exists && errno != ENOENT)
        return Replace::in_place;
    if (exists && (!S_ISREG(old.st_mode) || old.st_nlink != 1))
        return Replace::in_place;
    // A file we may not write is refused, as fopen "wb" refuses it, even
    // where the directory would let a new file take its place.
    if (exists && faccessat(AT_FDCWD, file, W_OK, AT_EACCESS) != 0)
        return Replace::in_place;

    TempFile temp;
    const int dir_len = static_cast<int>(base - file);
    char dir[PATH_MAX];
    int len = snprintf(dir, sizeof dir, "%.*s", dir_len, file);
    if (len < 0 || static_cast<size_t>(len) >= sizeof dir)
        return Replace::in_place;
    if (dir_len == 0)
        strcpy(dir, ".");
    // Room is left for the suffix that makes the name unique.
    len = snprintf(temp.path, sizeof temp.path, "%.*s.%s.", dir_len, file, base);
    if (len < 0 || static_cast<size_t>(len) + 32 >= sizeof temp.path)
        return Replace::in_place;

    const struct stat *owner = exists ? &old : nullptr;
    bool named;
    Replace r = write_unnamed(im, file, dir, owner, &temp, &named);
    if (r == Replace::in_place && named)
        r = write_named(im, file, owner, &temp);
    if (r != Replace::done)
        return r;
    if (rename(temp.path, file) != 0) {
        fail(file);
        return Replace::failed;
    }
    temp.live = false;
    return Replace::done;
}

} // namespace

int graph_write_png(gdImagePtr im, const char *file, const FileId *store)
{
    struct stat st;
    if (stat(file, &st) == 0 && is_file(&st, store))
        return refuse_store(file);
    if (strcmp(file, QUICK_IMAGE_FILE) == 0)
        return write_in_place(im, file, true, store);
    switch (write_by_rename(im, file)) {
    case Replace::done:
        return 0;
    case Replace::failed:
        return 1;
    case Replace::in_place:
        break;
    }
    return write_in_place(im, file, false, store);
}

} // namespace dorvane
