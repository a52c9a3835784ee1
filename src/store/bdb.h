// The one place that talks to Berkeley DB (its native db.h API, which
// opens the same btree file format as the 1.85 interface but lets the
// library's own error lines be silenced) and takes the file lock.
//
// A call that looks a key up, moves the cursor or deletes returns a Found;
// every other call returns 0, or -1 on failure with errno set.
//
// Memory that a get or a cursor step returns belongs to the library and is
// valid only until the next call on the same Btree.
#ifndef DORVANE_STORE_BDB_H_
#define DORVANE_STORE_BDB_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

#include "store/journal.h"

namespace dorvane {

struct Btree;

// What a lookup, cursor move or deletion met: the record (read or
// deleted), none (no such key, no more records) or a failure of the
// library, with errno set. The values are the 1.85 interface's results.
enum class Found : int { record = 0, end = 1, error = -1 };

// What a bulk read gave: records, none, a failure (errno set), or no read
// at all, where the caller walks record by record instead.
enum class Bulk : int { read, end, error, walk };

// A key or value: a pointer and a size, the library's key/data pair.
struct Slice {
    const unsigned char *data;
    uint32_t size;
};

// Cursor moves, named after the 1.85 interface's seq flags.
enum class Seek : int {
    cursor = 0, // R_CURSOR: first key at or after the given key
    first = 1,  // R_FIRST
    last = 2,   // R_LAST
    next = 3,   // R_NEXT
    prev = 4,   // R_PREV
};

// "R_CURSOR", "R_FIRST", ... for messages.
const char *seek_name(Seek how);

// Opens the btree at path with read/write access, creating it with mode
// 0600 when missing, under an exclusive flock on a close-on-exec descriptor
// of its own. The lock is taken before the library reads the file, and the
// open is retried when the path no longer names the locked file (a file
// moved into place while this process waited). Under the lock, the file
// is first brought back to its last commit (journal.h); a writable handle
// then changes the file only by commits.
//
// With read_only, a file that holds anything is opened read-only by the
// library, which then reaches every page in the file; opened for writing,
// it stops at the last page that the file's header knows, and a run killed
// while writing can leave pages past it. Puts and deletions then fail.
int btree_open(const char *path, Btree **out, bool read_only = false);

// Device and inode of the locked file.
void btree_identity(const Btree *db, dev_t *dev, ino_t *ino);

// What the open found of a commit that a run left unfinished (see
// journal.h), and how many pages it wrote to finish it.
Recovery btree_recovery(const Btree *db, uint32_t *pages);

Found btree_get(Btree *db, Slice key, Slice *value);
int btree_put(Btree *db, Slice key, Slice value);
Found btree_del(Btree *db, Slice key);

// Moves the handle's one cursor. For Seek::cursor, *key is the key to seek
// to. On Found::record, *key and *value are the record reached.
Found btree_seq(Btree *db, Slice *key, Slice *value, Seek how);

// Reads the records from the first key at or after *key (Seek::cursor), or
// from the one after the last record of the previous bulk read (Seek::next),
// as many as fill the handle's bulk buffer (at least one page), in one call
// of the library: a scan of a few records costs one cursor move instead of
// one each. btree_bulk_next then yields them in key order; they are valid
// until the next call on db. Other moves are refused with EINVAL
// (Bulk::error). Returns Bulk::walk when the library failed: the bulk read
// may reach pages that a record-by-record walk would not, so the caller
// makes that walk instead and reports what it meets. The test hook's
// failures are returned as they are (Bulk::end for 1, Bulk::error for -1).
Bulk btree_seq_bulk(Btree *db, Slice key, Seek how);
// The next record of the last bulk read into *key and *value; false after
// its last one.
bool btree_bulk_next(Btree *db, Slice *key, Slice *value);

// Deletes the record under the cursor; a following Seek::next reaches the
// record after it.
Found btree_del_current(Btree *db);

// Writes out and commits every change since the last commit: after a
// crash from here on, the file holds them all. A failed sync commits
// nothing.
int btree_sync(Btree *db);

// Whether enough has changed since the last commit that a long walk should
// commit (btree_sync) before it goes on: btree_commit_changes puts and
// deletions (lowered by tests), or 32 MiB of changed pages held beyond the
// library's cache.
bool btree_commit_due(const Btree *db);
extern uint32_t btree_commit_changes;

// What one compaction pass did: pages emptied by moving their records into
// the pages before them, and pages cut off the end of the file.
struct CompactPass {
    uint32_t emptied;
    uint32_t given_back;
};

// One pass of compaction over the keys from *from (the first key when
// null) up to *to (the last when null), in one call of the library: every
// leaf page with more than (100 - fill_percent) % of its room free is
// filled from the pages after it. With give_back, pages near the end of
// the file also move into free pages before them, and the free pages left
// at the end are cut off the file. Its writes and the cut are held like
// any other change until the next commit (btree_sync), which gives the
// space back to the file system. The records stay as they are; the
// handle's cursor is closed first, since the library moves the pages it
// may stand on.
int btree_compact(Btree *db, uint32_t fill_percent, const Slice *from, const Slice *to,
                  bool give_back, CompactPass *out);

// The size of the file on disk (its last commit) and the tree's page size.
int btree_file_size(const Btree *db, off_t *bytes, uint32_t *page_size);

// Syncs the folder that holds path, so that a rename into it lasts.
int btree_sync_folder(const char *path);

// The suffix of the packed copy that a compaction writes beside the store
// before it moves it into place; an open removes one that a run left.
constexpr const char *PACKED_SUFFIX = ".packed";

// The status of the locked file.
int btree_stat(const Btree *db, struct stat *st);

// Gives the file the owner, group and mode of like.
int btree_take_owner(Btree *db, const struct stat *like);

// Forgets every change since the last commit; the file keeps that commit.
// The handle is then only fit to be closed.
void btree_discard(Btree *db);

// Commits what is left (unless discarded), closes the library's handle,
// then releases the lock; db is freed either way.
int btree_close(Btree *db);

// Test hook for failures that a healthy disk does not produce: after skip
// further calls of op, the next one returns result (1, or -1 with errno
// err; as a Found where the call returns one) without reaching the
// library; once. A failing close still closes.
enum class BtreeOp : int { get, put, del, seq, sync, close, compact };
void btree_fail(BtreeOp op, unsigned skip, int result, int err);
// Disarms the hook.
void btree_fail_reset();

} // namespace dorvane

#endif // DORVANE_STORE_BDB_H_
