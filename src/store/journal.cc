// The journal: see journal.h, and docs/store-format.md for its layout.
#include "store/journal.h"

#include <db.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace dorvane {

struct Journal {
    dev_t dev;
    ino_t ino;
    int fd;             // the caller's descriptor of the file: commits write through it
    char *journal_path; // "<file>.journal"
    char *dir_path;     // the folder that holds both, synced when the journal appears
    uint32_t page_size; // set by the library's first write
    off_t file_size;    // the file on disk: its last commit
    off_t floor;        // the smallest size the library cut the file to since then
    off_t size;         // the file as the library sees it
    bool changed;
    bool discarding;
    // The held pages: slot i holds page slot_pgno[i] at data + i * page_size;
    // table maps a page number to its slot + 1 (0: free), open addressing.
    unsigned char *data;
    uint32_t *slot_pgno;
    uint32_t slots;
    uint32_t slot_cap;
    uint32_t *table;
    uint32_t table_cap; // a power of two, or 0
};

namespace {

// --- The journal file ------------------------------------------------------

constexpr char MAGIC[8] = {'D', 'O', 'R', 'V', 'J', 'N', 'L', '1'};
constexpr char END_MAGIC[8] = {'D', 'O', 'R', 'V', 'E', 'N', 'D', '1'};
constexpr size_t HEADER_SIZE = 64;
constexpr size_t TRAILER_SIZE = 16;
// The library's file id: bytes 52 to 71 of the file's first page.
constexpr off_t FILE_ID_AT = 52;
constexpr size_t FILE_ID_SIZE = 20;

struct Header {
    uint32_t page_size;
    uint32_t pages;
    uint64_t size;  // the file's size after the commit
    uint64_t floor; // cut the file to this size before the pages go in
    unsigned char file_id[FILE_ID_SIZE];
};

void put_u32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put_u64(unsigned char *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t get_u32(const unsigned char *p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

uint64_t get_u64(const unsigned char *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

void encode_header(const Header &h, unsigned char out[HEADER_SIZE])
{
    memset(out, 0, HEADER_SIZE);
    memcpy(out, MAGIC, sizeof MAGIC);
    put_u32(out + 8, h.page_size);
    put_u32(out + 12, h.pages);
    put_u64(out + 16, h.size);
    put_u64(out + 24, h.floor);
    memcpy(out + 32, h.file_id, FILE_ID_SIZE);
}

bool decode_header(const unsigned char in[HEADER_SIZE], Header *h)
{
    if (memcmp(in, MAGIC, sizeof MAGIC) != 0)
        return false;
    h->page_size = get_u32(in + 8);
    h->pages = get_u32(in + 12);
    h->size = get_u64(in + 16);
    h->floor = get_u64(in + 24);
    memcpy(h->file_id, in + 32, FILE_ID_SIZE);
    const uint32_t ps = h->page_size;
    return ps >= 512 && ps <= 65536 && (ps & (ps - 1)) == 0 && h->floor <= h->size &&
           h->size <= static_cast<uint64_t>(INT64_MAX);
}

uint64_t journal_bytes(uint32_t page_size, uint32_t pages)
{
    return HEADER_SIZE + static_cast<uint64_t>(pages) * (8 + page_size) + TRAILER_SIZE;
}

uint32_t crc_of(uint32_t crc, const unsigned char *p, size_t n)
{
    while (n > 0) {
        const uInt piece = n > (1u << 30) ? 1u << 30 : static_cast<uInt>(n);
        crc = static_cast<uint32_t>(crc32(crc, p, piece));
        p += piece;
        n -= piece;
    }
    return crc;
}

// Whole reads and writes; -1 with errno, or a short count at the end of
// the file.
ssize_t read_at(int fd, void *buf, size_t n, off_t at)
{
    size_t done = 0;
    while (done < n) {
        ssize_t r =
            pread(fd, static_cast<char *>(buf) + done, n - done, at + static_cast<off_t>(done));
        if (r == -1 && errno == EINTR)
            continue;
        if (r == -1)
            return -1;
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// Writes every iovec whole at at; -1 with errno.
int writev_all_at(int fd, struct iovec *iov, int count, off_t at)
{
    while (count > 0) {
        ssize_t r = pwritev(fd, iov, std::min(count, IOV_MAX), at);
        if (r == -1 && errno == EINTR)
            continue;
        if (r == -1)
            return -1;
        at += r;
        auto left = static_cast<size_t>(r);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            iov++;
            count--;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

int sync_fd(int fd)
{
    while (fdatasync(fd) == -1) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

int sync_dir(const char *dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    int r = fsync(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
}

void close_keep_errno(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

// Whether a write of bytes more would pass the file size limit, which
// would end the process with SIGXFSZ or fail half-way.
bool over_limit(uint64_t bytes)
{
    struct rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
           bytes > limit.rlim_cur;
}

char *with_suffix(const char *path, const char *suffix)
{
    size_t n = strlen(path), m = strlen(suffix);
    auto *out = static_cast<char *>(malloc(n + m + 1));
    if (out != nullptr) {
        memcpy(out, path, n);
        memcpy(out + n, suffix, m);
        out[n + m] = '\0';
    }
    return out;
}

char *folder_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return with_suffix(".", "");
    size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    auto *out = static_cast<char *>(malloc(n + 1));
    if (out != nullptr) {
        memcpy(out, path, n);
        out[n] = '\0';
    }
    return out;
}

// --- Held pages -------------------------------------------------------------

uint32_t hash(uint32_t pgno)
{
    return pgno * 2654435761u;
}

// The slot of pgno, or UINT32_MAX.
uint32_t find_slot(const Journal *j, uint32_t pgno)
{
    if (j->table_cap == 0)
        return UINT32_MAX;
    const uint32_t mask = j->table_cap - 1;
    for (uint32_t i = hash(pgno) & mask;; i = (i + 1) & mask) {
        const uint32_t s = j->table[i];
        if (s == 0)
            return UINT32_MAX;
        if (j->slot_pgno[s - 1] == pgno)
            return s - 1;
    }
}

void table_insert(Journal *j, uint32_t slot)
{
    const uint32_t mask = j->table_cap - 1;
    uint32_t i = hash(j->slot_pgno[slot]) & mask;
    while (j->table[i] != 0)
        i = (i + 1) & mask;
    j->table[i] = slot + 1;
}

int grow(Journal *j)
{
    if (j->slots + 1 > j->slot_cap) {
        const uint32_t cap = j->slot_cap == 0 ? 64 : j->slot_cap * 2;
        void *data = realloc(j->data, static_cast<size_t>(cap) * j->page_size);
        if (data == nullptr)
            return -1;
        j->data = static_cast<unsigned char *>(data);
        void *pgnos = realloc(j->slot_pgno, sizeof(uint32_t) * cap);
        if (pgnos == nullptr)
            return -1;
        j->slot_pgno = static_cast<uint32_t *>(pgnos);
        j->slot_cap = cap;
    }
    // At most half full, so that a search soon meets a free entry.
    if (2 * (j->slots + 1) > j->table_cap) {
        const uint32_t cap = j->table_cap == 0 ? 128 : j->table_cap * 2;
        auto *table = static_cast<uint32_t *>(calloc(cap, sizeof(uint32_t)));
        if (table == nullptr)
            return -1;
        free(j->table);
        j->table = table;
        j->table_cap = cap;
        for (uint32_t s = 0; s < j->slots; s++)
            table_insert(j, s);
    }
    return 0;
}

void forget_pages(Journal *j)
{
    j->slots = 0;
    if (j->table != nullptr)
        memset(j->table, 0, sizeof(uint32_t) * j->table_cap);
}

// The library writes whole pages; anything else would be a write this
// module does not understand, and is refused rather than half-held.
ssize_t held_write(Journal *j, const void *buf, size_t n, off_t at)
{
    if (j->discarding)
        return static_cast<ssize_t>(n);
    if (j->page_size == 0) {
        if (n < 512 || n > 65536 || (n & (n - 1)) != 0) {
            errno = EINVAL;
            return -1;
        }
        j->page_size = static_cast<uint32_t>(n);
    }
    if (n != j->page_size || at < 0 || at % j->page_size != 0 || at / j->page_size >= UINT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    const auto pgno = static_cast<uint32_t>(at / j->page_size);
    uint32_t slot = find_slot(j, pgno);
    if (slot == UINT32_MAX) {
        if (grow(j) != 0) {
            errno = ENOMEM;
            return -1;
        }
        slot = j->slots++;
        j->slot_pgno[slot] = pgno;
        table_insert(j, slot);
    }
    memcpy(j->data + static_cast<size_t>(slot) * j->page_size, buf, n);
    j->size = std::max(j->size, at + static_cast<off_t>(n));
    j->changed = true;
    return static_cast<ssize_t>(n);
}

// Reads the file as the library sees it: held pages over the file's
// bytes, zeros where the library grew the file without writing, the end
// where it cut it.
ssize_t held_read(Journal *j, int fd, void *buf, size_t n, off_t at)
{
    auto *out = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < n) {
        const off_t pos = at + static_cast<off_t>(done);
        if (pos >= j->size)
            break;
        size_t want = std::min(n - done, static_cast<size_t>(j->size - pos));
        if (j->page_size != 0) {
            const off_t within = pos % j->page_size;
            want = std::min(want, static_cast<size_t>(j->page_size - within));
            const uint32_t slot = find_slot(j, static_cast<uint32_t>(pos / j->page_size));
            if (slot != UINT32_MAX) {
                memcpy(out + done, j->data + static_cast<size_t>(slot) * j->page_size + within,
                       want);
                done += want;
                continue;
            }
        }
        const off_t from_file = std::min(j->floor, j->file_size);
        if (pos >= from_file) {
            memset(out + done, 0, want);
            done += want;
            continue;
        }
        want = std::min(want, static_cast<size_t>(from_file - pos));
        ssize_t r = read_at(fd, out + done, want, pos);
        if (r == -1)
            return -1;
        if (r == 0) { // shorter than it was: say so, as the file would
            break;
        }
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

void held_truncate(Journal *j, off_t size)
{
    if (j->discarding)
        return;
    j->size = size;
    j->floor = std::min(j->floor, size);
    j->changed = true;
    if (j->page_size == 0 || j->slots == 0)
        return;
    // Pages past the new end go; the rest keep their data, packed down.
    uint32_t kept = 0;
    for (uint32_t s = 0; s < j->slots; s++) {
        if (static_cast<off_t>(j->slot_pgno[s] + 1ull) * j->page_size > size)
            continue;
        if (kept != s) {
            j->slot_pgno[kept] = j->slot_pgno[s];
            memmove(j->data + static_cast<size_t>(kept) * j->page_size,
                    j->data + static_cast<size_t>(s) * j->page_size, j->page_size);
        }
        kept++;
    }
    forget_pages(j);
    j->slots = kept;
    for (uint32_t s = 0; s < kept; s++)
        table_insert(j, s);
}

// --- The library's I/O ------------------------------------------------------

// Files attached now, and the library's descriptors of them.
constexpr int MAX_ATTACHED = 4;
constexpr int MAX_TRACKED = 32;

struct Tracked {
    int fd;
    Journal *j;
    off_t pos; // for the library's seek and write
};

struct Hooks {
    Journal *attached[MAX_ATTACHED];
    int attached_count;
    Tracked tracked[MAX_TRACKED];
    int tracked_count;
};
Hooks hooks;

Tracked *tracked_of(int fd)
{
    for (int i = 0; i < hooks.tracked_count; i++)
        if (hooks.tracked[i].fd == fd)
            return &hooks.tracked[i];
    return nullptr;
}

void untrack(int fd)
{
    for (int i = 0; i < hooks.tracked_count; i++) {
        if (hooks.tracked[i].fd == fd) {
            hooks.tracked[i] = hooks.tracked[--hooks.tracked_count];
            return;
        }
    }
}

int io_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    // The library marks its descriptors close-on-exec only when it opens
    // them itself; the commands a run starts must not inherit them.
    int fd = open(path, flags | O_CLOEXEC, mode);
    if (fd == -1 || hooks.attached_count == 0)
        return fd;
    struct stat st;
    if (fstat(fd, &st) == -1) {
        close_keep_errno(fd);
        return -1;
    }
    for (int i = 0; i < hooks.attached_count; i++) {
        Journal *j = hooks.attached[i];
        if (j->dev != st.st_dev || j->ino != st.st_ino)
            continue;
        // A descriptor that escaped the journal would write around it.
        if (hooks.tracked_count == MAX_TRACKED) {
            close(fd);
            errno = EMFILE;
            return -1;
        }
        hooks.tracked[hooks.tracked_count++] = Tracked{fd, j, 0};
        break;
    }
    return fd;
}

int io_close(int fd)
{
    untrack(fd);
    return close(fd);
}

int io_seek(int fd, off_t at, int whence)
{
    // The library keeps the offset it seeks to in an int result: report
    // success as 0, never as an offset that could read as -1.
    if (lseek(fd, at, whence) == -1)
        return -1;
    if (Tracked *t = tracked_of(fd)) {
        if (whence == SEEK_SET)
            t->pos = at;
        else if (whence == SEEK_CUR)
            t->pos += at;
        else
            t->pos = t->j->size + at;
    }
    return 0;
}

ssize_t io_write(int fd, const void *buf, size_t n)
{
    Tracked *t = tracked_of(fd);
    if (t == nullptr)
        return write(fd, buf, n);
    ssize_t r = held_write(t->j, buf, n, t->pos);
    if (r > 0)
        t->pos += r;
    return r;
}

ssize_t io_pwrite(int fd, const void *buf, size_t n, off_t at)
{
    Tracked *t = tracked_of(fd);
    return t == nullptr ? pwrite(fd, buf, n, at) : held_write(t->j, buf, n, at);
}

ssize_t io_pread(int fd, void *buf, size_t n, off_t at)
{
    Tracked *t = tracked_of(fd);
    return t == nullptr ? pread(fd, buf, n, at) : held_read(t->j, fd, buf, n, at);
}

int io_ftruncate(int fd, off_t size)
{
    Tracked *t = tracked_of(fd);
    if (t == nullptr)
        return ftruncate(fd, size);
    held_truncate(t->j, size);
    return 0;
}

// A sync of an attached file has nothing to do: its writes are held, and
// the commit syncs what it writes.
int io_fsync(int fd)
{
    return tracked_of(fd) != nullptr ? 0 : fdatasync(fd);
}

// The library sizes a file through this, and takes a new file's page size
// from the block size.
int io_ioinfo(const char *, int fd, u_int32_t *mbytes, u_int32_t *bytes, u_int32_t *iosize)
{
    struct stat st;
    if (fstat(fd, &st) == -1)
        return errno;
    Tracked *t = tracked_of(fd);
    const off_t size = t != nullptr ? t->j->size : st.st_size;
    constexpr off_t MEGABYTE = off_t{1024} * 1024;
    if (mbytes != nullptr)
        *mbytes = static_cast<u_int32_t>(size / MEGABYTE);
    if (bytes != nullptr)
        *bytes = static_cast<u_int32_t>(size % MEGABYTE);
    if (iosize != nullptr)
        *iosize = st.st_blksize > 0 ? static_cast<u_int32_t>(st.st_blksize) : 8192;
    return 0;
}

// --- Commit -----------------------------------------------------------------

// The file id that the file will carry after the commit.
int commit_file_id(Journal *j, unsigned char id[FILE_ID_SIZE])
{
    memset(id, 0, FILE_ID_SIZE);
    const uint32_t slot = find_slot(j, 0);
    if (slot != UINT32_MAX && j->page_size >= FILE_ID_AT + FILE_ID_SIZE) {
        memcpy(id, j->data + static_cast<size_t>(slot) * j->page_size + FILE_ID_AT, FILE_ID_SIZE);
        return 0;
    }
    if (j->file_size < FILE_ID_AT + static_cast<off_t>(FILE_ID_SIZE))
        return 0;
    return read_at(j->fd, id, FILE_ID_SIZE, FILE_ID_AT) == -1 ? -1 : 0;
}

// Writes the journal of what is held and syncs it; 0, or -1 with errno
// and no journal left behind.
int write_journal(Journal *j, const Header &h)
{
    unsigned char header[HEADER_SIZE];
    encode_header(h, header);
    auto *pgnos = static_cast<unsigned char *>(malloc(8 * static_cast<size_t>(h.pages) + 1));
    if (pgnos == nullptr)
        return -1;
    for (uint32_t s = 0; s < h.pages; s++)
        put_u64(pgnos + 8 * static_cast<size_t>(s), j->slot_pgno[s]);
    const size_t data_bytes = static_cast<size_t>(h.pages) * h.page_size;
    uint32_t crc = crc_of(0, header, HEADER_SIZE);
    crc = crc_of(crc, pgnos, 8 * static_cast<size_t>(h.pages));
    crc = crc_of(crc, j->data, data_bytes);
    unsigned char trailer[TRAILER_SIZE] = {};
    memcpy(trailer, END_MAGIC, sizeof END_MAGIC);
    put_u32(trailer + 8, crc);
    put_u32(trailer + 12, h.pages);

    struct stat st;
    int fd = -1;
    int r = fstat(j->fd, &st);
    if (r == 0) {
        fd = open(j->journal_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        r = fd == -1 ? -1 : 0;
    }
    // Named after the file and made like it: whoever may read the file
    // may read what is about to go into it, and no one else.
    if (r == 0 && (st.st_uid != geteuid() || st.st_gid != getegid()))
        (void)fchown(fd, st.st_uid, st.st_gid);
    if (r == 0)
        r = fchmod(fd, st.st_mode & 0777);
    if (r == 0) {
        struct iovec iov[] = {
            {header, HEADER_SIZE},
            {pgnos, 8 * static_cast<size_t>(h.pages)},
            {j->data, data_bytes},
            {trailer, TRAILER_SIZE},
        };
        r = writev_all_at(fd, iov, 4, 0);
    }
    // The journal must be whole on disk, and findable by its name, before
    // the file is touched.
    if (r == 0)
        r = sync_fd(fd);
    if (r == 0)
        r = sync_dir(j->dir_path);
    int saved = errno;
    free(pgnos);
    if (fd != -1)
        close(fd);
    if (r != 0) {
        if (fd != -1)
            unlink(j->journal_path);
        errno = saved;
    }
    return r;
}

// Writes the pages of a commit into the file (runs of up to run
// consecutive pages in one call), having first cut it to the commit's
// floor, then gives it the commit's size and syncs it. page_at(i) is the
// data of page pgnos[i], valid until the next call when run is 1.
template <typename PageAt>
int apply(int fd, const Header &h, const uint32_t *pgnos, int run, PageAt page_at)
{
    struct stat st;
    if (fstat(fd, &st) == -1)
        return -1;
    if (static_cast<uint64_t>(st.st_size) > h.floor &&
        ftruncate(fd, static_cast<off_t>(h.floor)) == -1)
        return -1;
    struct iovec iov[64];
    run = std::min(run, 64);
    int count = 0;
    off_t run_at = 0;
    for (uint32_t i = 0; i <= h.pages; i++) {
        const bool ends = i == h.pages || count == run ||
                          (count > 0 && static_cast<off_t>(pgnos[i]) * h.page_size !=
                                            run_at + static_cast<off_t>(count) * h.page_size);
        if (ends && count > 0) {
            if (writev_all_at(fd, iov, count, run_at) != 0)
                return -1;
            count = 0;
        }
        if (i == h.pages)
            break;
        if (count == 0)
            run_at = static_cast<off_t>(pgnos[i]) * h.page_size;
        unsigned char *page = page_at(i);
        if (page == nullptr)
            return -1;
        iov[count++] = {page, h.page_size};
    }
    if (fstat(fd, &st) == -1)
        return -1;
    if (static_cast<uint64_t>(st.st_size) != h.size &&
        ftruncate(fd, static_cast<off_t>(h.size)) == -1)
        return -1;
    return sync_fd(fd);
}

// Whether the journal open as jfd is whole, sound and written for the file
// open as fd (*whole): else the crash came before its sync, and the file
// was never touched. -1 with errno when either cannot be read.
int check_journal(int jfd, int fd, Header *h, bool *whole)
{
    struct stat st;
    unsigned char header[HEADER_SIZE];
    if (fstat(jfd, &st) == -1)
        return -1;
    ssize_t got = read_at(jfd, header, HEADER_SIZE, 0);
    if (got == -1)
        return -1;
    *whole = got == HEADER_SIZE && decode_header(header, h) &&
             static_cast<uint64_t>(st.st_size) == journal_bytes(h->page_size, h->pages);
    if (!*whole)
        return 0;

    constexpr size_t CHUNK = 1 << 20;
    auto *buf = static_cast<unsigned char *>(malloc(CHUNK));
    if (buf == nullptr)
        return -1;
    uint32_t crc = 0;
    const uint64_t body = static_cast<uint64_t>(st.st_size) - TRAILER_SIZE;
    for (uint64_t at = 0; *whole && at < body; at += CHUNK) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(CHUNK, body - at));
        got = read_at(jfd, buf, n, static_cast<off_t>(at));
        if (got == -1) {
            int saved = errno;
            free(buf);
            errno = saved;
            return -1;
        }
        *whole = got == static_cast<ssize_t>(n);
        crc = crc_of(crc, buf, n);
    }
    free(buf);
    unsigned char trailer[TRAILER_SIZE];
    got = read_at(jfd, trailer, TRAILER_SIZE, static_cast<off_t>(body));
    if (got == -1)
        return -1;
    *whole = *whole && got == TRAILER_SIZE && memcmp(trailer, END_MAGIC, sizeof END_MAGIC) == 0 &&
             get_u32(trailer + 8) == crc && get_u32(trailer + 12) == h->pages;
    if (!*whole)
        return 0;

    // A file that already carries an id must carry this one: a journal
    // beside a file moved into place belongs to another.
    static constexpr unsigned char none[FILE_ID_SIZE] = {};
    unsigned char id[FILE_ID_SIZE] = {};
    if (read_at(fd, id, FILE_ID_SIZE, FILE_ID_AT) == -1)
        return -1;
    *whole = memcmp(id, none, FILE_ID_SIZE) == 0 || memcmp(id, h->file_id, FILE_ID_SIZE) == 0;
    return 0;
}

// Writes the commit of a whole journal into the file, as the commit
// itself would have.
int replay(int jfd, int fd, const Header &h)
{
    auto *pgnos = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * (h.pages + 1)));
    auto *page = static_cast<unsigned char *>(malloc(h.page_size));
    int r = pgnos != nullptr && page != nullptr ? 0 : -1;
    for (uint32_t i = 0; r == 0 && i < h.pages; i++) {
        unsigned char p[8];
        if (read_at(jfd, p, 8, static_cast<off_t>(HEADER_SIZE + 8ull * i)) != 8)
            r = -1;
        else
            pgnos[i] = static_cast<uint32_t>(get_u64(p));
    }
    // In the journal's order, one page at a time through the buffer.
    if (r == 0)
        r = apply(fd, h, pgnos, 1, [&](uint32_t i) -> unsigned char * {
            const auto at = static_cast<off_t>(HEADER_SIZE + 8ull * h.pages +
                                               static_cast<uint64_t>(i) * h.page_size);
            return read_at(jfd, page, h.page_size, at) == static_cast<ssize_t>(h.page_size)
                       ? page
                       : nullptr;
        });
    int saved = errno;
    free(pgnos);
    free(page);
    errno = saved;
    return r;
}

} // namespace

void journal_install()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    db_env_set_func_open(io_open);
    db_env_set_func_close(io_close);
    db_env_set_func_seek(io_seek);
    db_env_set_func_write(io_write);
    db_env_set_func_pwrite(io_pwrite);
    db_env_set_func_pread(io_pread);
    db_env_set_func_ftruncate(io_ftruncate);
    db_env_set_func_fsync(io_fsync);
    db_env_set_func_ioinfo(io_ioinfo);
}

int journal_attach(const char *path, int fd, Journal **out)
{
    if (hooks.attached_count == MAX_ATTACHED) {
        errno = EMFILE;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == -1)
        return -1;
    auto *j = static_cast<Journal *>(calloc(1, sizeof(Journal)));
    if (j == nullptr)
        return -1;
    j->journal_path = with_suffix(path, ".journal");
    j->dir_path = folder_of(path);
    if (j->journal_path == nullptr || j->dir_path == nullptr) {
        free(j->journal_path);
        free(j->dir_path);
        free(j);
        errno = ENOMEM;
        return -1;
    }
    j->dev = st.st_dev;
    j->ino = st.st_ino;
    j->fd = fd;
    j->file_size = j->floor = j->size = st.st_size;
    hooks.attached[hooks.attached_count++] = j;
    *out = j;
    return 0;
}

size_t journal_held(const Journal *j)
{
    return static_cast<size_t>(j->slots) * j->page_size;
}

int journal_commit(Journal *j)
{
    if (!j->changed || j->discarding)
        return 0;
    Header h{};
    h.page_size = j->page_size != 0 ? j->page_size : 512;
    h.pages = j->slots;
    h.size = static_cast<uint64_t>(j->size);
    h.floor = static_cast<uint64_t>(j->floor);
    if (commit_file_id(j, h.file_id) != 0)
        return -1;
    // Room first: once the journal is written, the file must take it.
    if (over_limit(h.size) || over_limit(journal_bytes(h.page_size, h.pages))) {
        errno = EFBIG;
        return -1;
    }
    if (j->size > j->file_size &&
        fallocate(j->fd, FALLOC_FL_KEEP_SIZE, j->file_size, j->size - j->file_size) == -1 &&
        errno != EOPNOTSUPP && errno != ENOSYS)
        return -1;
    if (write_journal(j, h) != 0)
        return -1;

    auto *order = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * (h.pages + 1)));
    if (order == nullptr)
        return -1; // the journal stays: the next open completes the commit
    for (uint32_t s = 0; s < h.pages; s++)
        order[s] = s;
    std::sort(order, order + h.pages,
              [j](uint32_t a, uint32_t b) { return j->slot_pgno[a] < j->slot_pgno[b]; });
    auto *sorted = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * (h.pages + 1)));
    if (sorted == nullptr) {
        free(order);
        return -1;
    }
    for (uint32_t i = 0; i < h.pages; i++)
        sorted[i] = j->slot_pgno[order[i]];
    int r = apply(j->fd, h, sorted, 64, [j, order](uint32_t i) {
        return j->data + static_cast<size_t>(order[i]) * j->page_size;
    });
    int saved = errno;
    free(order);
    free(sorted);
    if (r != 0) {
        // The journal stays whole: the next open writes the commit again.
        errno = saved;
        return -1;
    }
    // A journal left by a crash from here on is replayed onto the same
    // bytes: removing it needs no sync.
    unlink(j->journal_path);
    forget_pages(j);
    j->file_size = j->floor = j->size;
    j->changed = false;
    return 0;
}

void journal_discard(Journal *j)
{
    forget_pages(j);
    j->size = j->floor = j->file_size;
    j->changed = false;
    j->discarding = true;
}

void journal_detach(Journal *j)
{
    for (int i = 0; i < hooks.tracked_count;) {
        if (hooks.tracked[i].j == j)
            hooks.tracked[i] = hooks.tracked[--hooks.tracked_count];
        else
            i++;
    }
    for (int i = 0; i < hooks.attached_count; i++) {
        if (hooks.attached[i] == j) {
            hooks.attached[i] = hooks.attached[--hooks.attached_count];
            break;
        }
    }
    free(j->data);
    free(j->slot_pgno);
    free(j->table);
    free(j->journal_path);
    free(j->dir_path);
    free(j);
}

int journal_sync_folder(const char *path)
{
    char *dir = folder_of(path);
    if (dir == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    int r = sync_dir(dir);
    int saved = errno;
    free(dir);
    errno = saved;
    return r;
}

int journal_recover(const char *path, int fd, Recovery *what, uint32_t *pages)
{
    *what = Recovery::none;
    *pages = 0;
    char *journal_path = with_suffix(path, ".journal");
    if (journal_path == nullptr)
        return -1;
    int jfd = open(journal_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (jfd == -1) {
        int saved = errno;
        free(journal_path);
        errno = saved;
        return saved == ENOENT ? 0 : -1;
    }
    Header h{};
    bool whole = false;
    int r = check_journal(jfd, fd, &h, &whole);
    if (r == 0 && whole)
        r = replay(jfd, fd, h);
    if (r == 0) {
        *what = whole ? Recovery::replayed : Recovery::discarded;
        *pages = whole ? h.pages : 0;
    }
    int saved = errno;
    close(jfd);
    if (r == 0)
        unlink(journal_path);
    free(journal_path);
    errno = saved;
    return r;
}

} // namespace dorvane
