// Berkeley DB and the file lock; see bdb.h.
#include "store/bdb.h"

#include <db.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "store/journal.h"

namespace dorvane {

struct Btree {
    DB *db;
    DBC *cursor; // opened by the first cursor move
    int lock_fd;
    dev_t dev;
    ino_t ino;
    off_t room; // bytes of the file that writes can fill without running out of space
    void *bulk; // buffer of bulk reads, set by the first one
    uint32_t bulk_size;
    DBT bulk_dbt;     // what the last bulk read returned
    void *bulk_next;  // the library's iterator over bulk_dbt; null at the end
    Journal *journal; // null for a read-only handle
    bool discarding;  // the changes since the last commit are forgotten
    uint32_t changes; // puts and deletions since the last commit
    Recovery recovery;
    uint32_t recovered_pages;
};

namespace {

struct Fault {
    bool armed;
    BtreeOp op;
    unsigned skip;
    int result;
    int err;
};
Fault fault;

// A result of convert, or of the test hook, as a Found.
Found found(int r)
{
    return r == 0 ? Found::record : r == -1 ? Found::error : Found::end;
}

// Whether the hook fails this call of op; errno is set when it does.
bool injected(BtreeOp op)
{
    if (!fault.armed || fault.op != op)
        return false;
    if (fault.skip > 0) {
        fault.skip--;
        return false;
    }
    fault.armed = false;
    errno = fault.err;
    return true;
}

// The library would print its own lines (such as its complaint about a
// zero-length or foreign file) on standard error; the program reports
// every failure itself.
void quiet_error(const DB_ENV *, const char *, const char *) {}
void quiet_message(const DB_ENV *, const char *) {}

// The library's result as 0, 1 for no such record and -1 with errno: the
// values of Found.
int convert(int r)
{
    if (r == 0)
        return 0;
    if (r == DB_NOTFOUND || r == DB_KEYEMPTY)
        return 1;
    // Positive results are system errors; the library's own negative codes
    // (a damaged page, a panic) have no errno, and are input/output errors
    // as far as the caller can tell.
    errno = r > 0 ? r : EIO;
    return -1;
}

DBT dbt(Slice s)
{
    DBT t;
    memset(&t, 0, sizeof t);
    t.data = const_cast<unsigned char *>(s.data);
    t.size = s.size;
    return t;
}

Slice slice(const DBT &t)
{
    return Slice{static_cast<const unsigned char *>(t.data), t.size};
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Closes fd keeping the errno of the failure being reported.
void close_keep_errno(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

// Whether path still names the file open as fd: yes, no (another file or
// none), or unknown when path cannot be examined for another reason than
// its absence (errno set).
enum class Names { yes, no, unknown };

Names path_names(const char *path, const struct stat &locked)
{
    struct stat now;
    if (stat(path, &now) == -1)
        return errno == ENOENT ? Names::no : Names::unknown;
    return same_file(now, locked) ? Names::yes : Names::no;
}

// Pages that one put can add to the file: a split on each level of the tree
// and a new root. A tree of 8-byte keys is never half this deep.
constexpr db_pgno_t PUT_PAGES = 16;

// A walk that changes many records commits when this many bytes of
// changed pages no longer fit the library's cache (see btree_commit_due).
constexpr size_t COMMIT_BYTES = 32u << 20;

// Pages reserved beyond what a put needs, so that a file growing page by
// page asks the file system once every so many pages rather than for each
// new page: a block allocation per page showed in every insertion's time.
constexpr db_pgno_t ROOM_AHEAD = 16;

// Reserves the file's blocks up to size bytes; 0, or -1 with errno.
int grow_room(Btree *db, off_t size)
{
    while (fallocate(db->lock_fd, FALLOC_FL_KEEP_SIZE, db->room, size - db->room) == -1) {
        if (errno == EINTR)
            continue;
        // A file system that cannot reserve leaves the risk as it was.
        if (errno == EOPNOTSUPP || errno == ENOSYS)
            break;
        return -1;
    }
    db->room = size;
    return 0;
}

// Makes sure, before a put, that every page the library may then create can
// be written. The library writes its cache in the order of the page
// numbers: were there no room for the new pages (the file size limit, a
// full file system), the old pages that now refer to them would be written
// all the same, and the tree would point into a hole, taking records of
// earlier runs with it. The room is reserved beyond the end of the file,
// which keeps its size. 0, or -1 with errno: the put must then not be made.
int reserve_room(Btree *db)
{
    DB_MPOOLFILE *mpf = db->db->get_mpf(db->db);
    db_pgno_t last;
    u_int32_t page_size;
    int r = mpf->get_last_pgno(mpf, &last);
    if (r == 0)
        r = db->db->get_pagesize(db->db, &page_size);
    if (r != 0)
        return convert(r);
    const off_t need = (static_cast<off_t>(last) + 1 + PUT_PAGES) * page_size;
    if (need <= db->room)
        return 0;
    off_t want = need + static_cast<off_t>(ROOM_AHEAD) * page_size;
    // A write past the limit would fail, or end the process with SIGXFSZ.
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        if (static_cast<rlim_t>(need) > limit.rlim_cur) {
            errno = EFBIG;
            return -1;
        }
        if (static_cast<rlim_t>(want) > limit.rlim_cur)
            want = static_cast<off_t>(limit.rlim_cur);
    }
    // Where the pages ahead do not fit, those of this put still may.
    if (grow_room(db, want) == 0 ||
        ((errno == ENOSPC || errno == EDQUOT) && grow_room(db, need) == 0))
        return 0;
    return -1;
}

// Removes "<path>.packed" and its journal, if there.
void remove_packed(const char *path)
{
    char name[PATH_MAX + 16];
    if (snprintf(name, sizeof name, "%s%s.journal", path, PACKED_SUFFIX) >=
        static_cast<int>(sizeof name))
        return;
    unlink(name);
    name[strlen(name) - strlen(".journal")] = '\0';
    unlink(name);
}

enum class Attempt { opened, retry, failed };

// Opens path and takes its lock, waiting for it, into *fd and *locked, and
// checks that the path still names the locked file: it may have been
// replaced or removed while this process waited, and its samples belong in
// the file that the path names now.
Attempt lock_named(const char *path, int *fd, struct stat *locked)
{
    *fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (*fd == -1)
        return Attempt::failed;
    while (flock(*fd, LOCK_EX) == -1) {
        if (errno != EINTR) {
            close_keep_errno(*fd);
            return Attempt::failed;
        }
    }
    if (fstat(*fd, locked) == -1) {
        close_keep_errno(*fd);
        return Attempt::failed;
    }
    const Names names = path_names(path, *locked);
    if (names != Names::yes) {
        close_keep_errno(*fd);
        return names == Names::no ? Attempt::retry : Attempt::failed;
    }
    return Attempt::opened;
}

// The library's handle of the locked file at path, opened with flags into
// *out; errno is set when it failed.
Attempt open_library(const char *path, u_int32_t flags, const struct stat &locked, DB **out)
{
    DB *db;
    int r = db_create(&db, nullptr, 0);
    if (r != 0) {
        convert(r);
        return Attempt::failed;
    }
    db->set_errcall(db, quiet_error);
    db->set_msgcall(db, quiet_message);
    // The library writes changed pages before the close only when its
    // cache is full. With its default of 256 KiB, a run on a store of more
    // than that writes part of its changes while it runs, and a run killed
    // then leaves a tree whose pages and header disagree, with records of
    // earlier runs out of the cursor's reach. A run's changes (a few pages
    // per collect) fit in 32 MiB, which is taken only as pages are read.
    r = db->set_cachesize(db, 0, 32u << 20, 1);
    if (r == 0)
        r = db->open(db, nullptr, path, nullptr, DB_BTREE, flags, 0600);
    if (r != 0) {
        convert(r);
        int saved = errno;
        db->close(db, DB_NOSYNC);
        errno = saved;
        return Attempt::failed;
    }
    // The library opened the path by name: it must have reached the file
    // that is locked, not one moved into place a moment later.
    int lib_fd;
    struct stat lib;
    if (db->fd(db, &lib_fd) != 0 || fstat(lib_fd, &lib) == -1 || !same_file(lib, locked)) {
        db->close(db, DB_NOSYNC);
        return Attempt::retry;
    }
    *out = db;
    return Attempt::opened;
}

Attempt open_once(const char *path, bool read_only, Btree *out)
{
    int fd;
    struct stat locked;
    const Attempt lock = lock_named(path, &fd, &locked);
    if (lock != Attempt::opened)
        return lock;
    // Back to the last commit before the library reads a page: a run that
    // ended while it wrote one leaves its journal beside the file.
    if (journal_recover(path, fd, &out->recovery, &out->recovered_pages) != 0 ||
        fstat(fd, &locked) == -1) {
        close_keep_errno(fd);
        return Attempt::failed;
    }
    // A packed copy that a run ended before it moved into place: no run
    // packs this file while its lock is held here.
    remove_packed(path);
    // An empty file is a new store, which only a writer can set up.
    const u_int32_t flags = read_only && locked.st_size > 0 ? DB_RDONLY : DB_CREATE;
    Journal *journal = nullptr;
    if (flags != DB_RDONLY && journal_attach(path, fd, &journal) != 0) {
        close_keep_errno(fd);
        return Attempt::failed;
    }
    DB *db;
    const Attempt opened = open_library(path, flags, locked, &db);
    if (opened != Attempt::opened) {
        if (journal != nullptr)
            journal_detach(journal);
        close_keep_errno(fd);
        return opened;
    }
    out->db = db;
    out->journal = journal;
    out->cursor = nullptr;
    out->lock_fd = fd;
    out->dev = locked.st_dev;
    out->ino = locked.st_ino;
    out->room = locked.st_size;
    return Attempt::opened;
}

} // namespace

const char *seek_name(Seek how)
{
    switch (how) {
    case Seek::cursor:
        return "R_CURSOR";
    case Seek::first:
        return "R_FIRST";
    case Seek::last:
        return "R_LAST";
    case Seek::next:
        return "R_NEXT";
    case Seek::prev:
        return "R_PREV";
    }
    return "?";
}

int btree_open(const char *path, Btree **out, bool read_only)
{
    journal_install();
    auto *handle = static_cast<Btree *>(calloc(1, sizeof(Btree)));
    if (handle == nullptr)
        return -1;
    for (;;) {
        switch (open_once(path, read_only, handle)) {
        case Attempt::opened:
            *out = handle;
            return 0;
        case Attempt::retry:
            continue;
        case Attempt::failed: {
            int saved = errno;
            free(handle);
            errno = saved;
            return -1;
        }
        }
    }
}

void btree_identity(const Btree *db, dev_t *dev, ino_t *ino)
{
    *dev = db->dev;
    *ino = db->ino;
}

Recovery btree_recovery(const Btree *db, uint32_t *pages)
{
    *pages = db->recovered_pages;
    return db->recovery;
}

void btree_fail(BtreeOp op, unsigned skip, int result, int err)
{
    fault = Fault{true, op, skip, result, err};
}

void btree_fail_reset()
{
    fault.armed = false;
}

namespace {

// The cursor, opened on first use.
int cursor_of(Btree *db)
{
    if (db->cursor != nullptr)
        return 0;
    return convert(db->db->cursor(db->db, nullptr, &db->cursor, 0));
}

// The library wants a bulk buffer of at least a page (64 KiB at most), in
// whole KiB, aligned for its offsets. Reads only fill it, and one process
// makes one bulk read at a time, so every handle shares one buffer: no
// allocation, and the heap stays as it was.
alignas(64) unsigned char bulk_space[65536];

int bulk_buffer(Btree *db)
{
    if (db->bulk != nullptr)
        return 0;
    u_int32_t page;
    int r = convert(db->db->get_pagesize(db->db, &page));
    if (r != 0)
        return r;
    uint32_t size = (page < 4096 ? 4096 : page + 1023) / 1024 * 1024;
    if (size > sizeof bulk_space) {
        errno = EINVAL;
        return -1;
    }
    db->bulk = bulk_space;
    db->bulk_size = size;
    return 0;
}

} // namespace

Found btree_get(Btree *db, Slice key, Slice *value)
{
    if (injected(BtreeOp::get))
        return found(fault.result);
    DBT k = dbt(key);
    DBT d = dbt(Slice{nullptr, 0});
    const Found r = found(convert(db->db->get(db->db, nullptr, &k, &d, 0)));
    *value = r == Found::record ? slice(d) : Slice{nullptr, 0};
    return r;
}

int btree_put(Btree *db, Slice key, Slice value)
{
    if (injected(BtreeOp::put))
        return fault.result;
    if (reserve_room(db) != 0)
        return -1;
    DBT k = dbt(key);
    DBT d = dbt(value);
    db->changes++;
    return convert(db->db->put(db->db, nullptr, &k, &d, 0));
}

Found btree_del(Btree *db, Slice key)
{
    if (injected(BtreeOp::del))
        return found(fault.result);
    DBT k = dbt(key);
    db->changes++;
    return found(convert(db->db->del(db->db, nullptr, &k, 0)));
}

Found btree_seq(Btree *db, Slice *key, Slice *value, Seek how)
{
    if (injected(BtreeOp::seq))
        return found(fault.result);
    int r = cursor_of(db);
    if (r != 0)
        return found(r);
    static constexpr u_int32_t flags[] = {DB_SET_RANGE, DB_FIRST, DB_LAST, DB_NEXT, DB_PREV};
    DBT k = dbt(how == Seek::cursor ? *key : Slice{nullptr, 0});
    DBT d = dbt(Slice{nullptr, 0});
    r = convert(db->cursor->get(db->cursor, &k, &d, flags[static_cast<int>(how)]));
    if (r == 0) {
        *key = slice(k);
        *value = slice(d);
    }
    return found(r);
}

Bulk btree_seq_bulk(Btree *db, Slice key, Seek how)
{
    db->bulk_next = nullptr;
    if (injected(BtreeOp::seq))
        return fault.result == -1 ? Bulk::error : Bulk::end;
    if (how != Seek::cursor && how != Seek::next) {
        errno = EINVAL;
        return Bulk::error;
    }
    if (cursor_of(db) != 0 || bulk_buffer(db) != 0)
        return Bulk::walk;
    DBT k = dbt(how == Seek::cursor ? key : Slice{nullptr, 0});
    DBT &d = db->bulk_dbt;
    memset(&d, 0, sizeof d);
    d.data = db->bulk;
    d.ulen = db->bulk_size;
    d.flags = DB_DBT_USERMEM;
    u_int32_t flags = (how == Seek::cursor ? DB_SET_RANGE : DB_NEXT) | DB_MULTIPLE_KEY;
    int r = convert(db->cursor->get(db->cursor, &k, &d, flags));
    if (r == -1)
        return Bulk::walk;
    if (r != 0)
        return Bulk::end;
    DB_MULTIPLE_INIT(db->bulk_next, &d);
    return Bulk::read;
}

bool btree_bulk_next(Btree *db, Slice *key, Slice *value)
{
    if (db->bulk_next == nullptr)
        return false;
    void *k, *v;
    u_int32_t klen, vlen;
    DB_MULTIPLE_KEY_NEXT(db->bulk_next, &db->bulk_dbt, k, klen, v, vlen);
    if (db->bulk_next == nullptr)
        return false;
    *key = Slice{static_cast<const unsigned char *>(k), klen};
    *value = Slice{static_cast<const unsigned char *>(v), vlen};
    return true;
}

Found btree_del_current(Btree *db)
{
    if (injected(BtreeOp::del))
        return found(fault.result);
    if (db->cursor == nullptr) {
        errno = EINVAL;
        return Found::error;
    }
    db->changes++;
    return found(convert(db->cursor->del(db->cursor, 0)));
}

int btree_sync(Btree *db)
{
    if (injected(BtreeOp::sync))
        return fault.result;
    int r = convert(db->db->sync(db->db, 0));
    // Only a tree that the library wrote out whole is committed.
    if (r == 0 && db->journal != nullptr && !db->discarding && journal_commit(db->journal) != 0)
        r = -1;
    if (r == 0)
        db->changes = 0;
    return r;
}

// A walk that changes many records (a truncation, a copy) commits when this
// many changes, or COMMIT_BYTES of changed pages beyond the library's
// cache, have gathered since the last commit: what a commit holds in memory
// stays bounded whatever the store's size, and commits stay few (each
// writes its pages twice and syncs three times).
uint32_t btree_commit_changes = 1000000;

bool btree_commit_due(const Btree *db)
{
    return db->journal != nullptr &&
           (db->changes >= btree_commit_changes || journal_held(db->journal) >= COMMIT_BYTES);
}

int btree_compact(Btree *db, uint32_t fill_percent, const Slice *from, const Slice *to,
                  bool give_back, CompactPass *out)
{
    *out = CompactPass{};
    if (injected(BtreeOp::compact))
        return fault.result;
    db->bulk_next = nullptr;
    if (db->cursor != nullptr) {
        int r = convert(db->cursor->close(db->cursor));
        db->cursor = nullptr;
        if (r != 0)
            return r;
    }
    DB_COMPACT c;
    memset(&c, 0, sizeof c);
    c.compact_fillpercent = fill_percent;
    DBT start = dbt(from != nullptr ? *from : Slice{nullptr, 0});
    DBT stop = dbt(to != nullptr ? *to : Slice{nullptr, 0});
    int r = convert(db->db->compact(db->db, nullptr, from != nullptr ? &start : nullptr,
                                    to != nullptr ? &stop : nullptr, &c,
                                    give_back ? DB_FREE_SPACE : 0, nullptr));
    out->emptied = c.compact_pages_free;
    out->given_back = c.compact_pages_truncated;
    // The cut gives back the blocks reserved past the old end as well.
    DB_MPOOLFILE *mpf = db->db->get_mpf(db->db);
    db_pgno_t last;
    u_int32_t page_size;
    if (mpf->get_last_pgno(mpf, &last) == 0 && db->db->get_pagesize(db->db, &page_size) == 0)
        db->room = std::min(db->room, (static_cast<off_t>(last) + 1) * page_size);
    return r;
}

int btree_file_size(const Btree *db, off_t *bytes, uint32_t *page_size)
{
    struct stat st;
    u_int32_t size;
    int r = convert(db->db->get_pagesize(db->db, &size));
    if (r != 0)
        return r;
    if (fstat(db->lock_fd, &st) == -1)
        return -1;
    *bytes = st.st_size;
    *page_size = size;
    return 0;
}

int btree_sync_folder(const char *path)
{
    return journal_sync_folder(path);
}

int btree_stat(const Btree *db, struct stat *st)
{
    return fstat(db->lock_fd, st);
}

int btree_take_owner(Btree *db, const struct stat *like)
{
    struct stat st;
    if (fstat(db->lock_fd, &st) == -1)
        return -1;
    if ((st.st_uid != like->st_uid || st.st_gid != like->st_gid) &&
        fchown(db->lock_fd, like->st_uid, like->st_gid) == -1)
        return -1;
    return fchmod(db->lock_fd, like->st_mode & 07777);
}

void btree_discard(Btree *db)
{
    if (db->journal != nullptr)
        journal_discard(db->journal);
    db->discarding = true;
}

int btree_close(Btree *db)
{
    int result = 0;
    int saved = 0;
    if (db->cursor != nullptr && convert(db->cursor->close(db->cursor)) == -1) {
        result = -1;
        saved = errno;
    }
    // What the close writes out is committed with the rest, unless the
    // library failed on the way.
    bool closed = convert(db->db->close(db->db, db->discarding ? DB_NOSYNC : 0)) == 0;
    if (!closed && result == 0) {
        result = -1;
        saved = errno;
    }
    if (db->journal != nullptr) {
        if (closed && !db->discarding && journal_commit(db->journal) != 0 && result == 0) {
            result = -1;
            saved = errno;
        }
        journal_detach(db->journal);
    }
    // Only now may another process take the file.
    close(db->lock_fd);
    free(db);
    if (injected(BtreeOp::close)) {
        result = fault.result;
        saved = errno;
    }
    if (result == -1)
        errno = saved;
    return result;
}

} // namespace dorvane
