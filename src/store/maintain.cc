// Store maintenance: truncation by age, which compacts the store after it,
// and the copy of every valid record into another store file, each one walk
// over the store in key order.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/common.h"
#include "store/access.h"

namespace dorvane {
namespace {

// now - days, in 64 bits: a limit reaching back before the epoch is 0
// (nothing is older), never a wrapped time in the future.
uint32_t cutoff(uint32_t now, int days)
{
    int64_t t = static_cast<int64_t>(now) - static_cast<int64_t>(days) * 86400;
    if (t < 0)
        return 0;
    if (t > UINT32_MAX)
        return UINT32_MAX;
    return static_cast<uint32_t>(t);
}

// Whether the record under the cursor is to go, printing what the walk
// reports about it.
bool truncate_verdict(const StoreRecord &r, uint32_t cut0, uint32_t cut1)
{
    if (!r.key_valid) {
        message("data_truncate: dbk.size %u != sizeof(k) %u", r.key_size,
                static_cast<unsigned>(KEY_SIZE));
        return true;
    }
    if (r.key.level == LAST_LEVEL) {
        LastRecord l;
        if (!record_last(r, &l)) {
            message("data_truncate: dbd.size %u != sizeof(l) %u", r.value_size,
                    static_cast<unsigned>(sizeof l));
            return true;
        }
        trace(2, "%d, %d, %u, last: %u, %u, %.2f\n", r.key.unit, r.key.level, r.key.ts, l.since,
              l.ts, l.val);
        // The key's ts is always 0; the record carries its own time.
        return l.ts < cut0;
    }
    SampleRecord s;
    if (!record_sample(r, &s)) {
        message("data_truncate: dbd.size %u != sizeof(v) %u", r.value_size,
                static_cast<unsigned>(sizeof s));
        return true;
    }
    trace(2, "%d, %d, %u, val: %.2f, %.2f, %.2f\n", r.key.unit, r.key.level, r.key.ts, s.min, s.avg,
          s.max);
    return r.key.ts < (r.key.level == 0 ? cut0 : cut1);
}

// Compaction. Runs append in the middle of the tree, once per unit, and
// leave the pages they split half full; a truncation empties pages all over
// the file. Compaction fills the pages again and cuts the free ones off the
// end of the file.
//
// The library fills a page from the pages after it, one record at a time
// where they do not fit whole; a page left partly full in front of full
// ones thus shifts every record after it, page by page. A truncation leaves
// such a page at the head of every unit's level, where its old records
// went, so the pages are filled level by level from the second page of
// each on: the half-full pages at the end of each level fill without
// touching the full ones. A last pass over the whole tree moves the pages
// near the end of the file into the free ones and cuts the file.

// Bytes that one record takes on a leaf page: its 8-byte key and 24-byte
// value, each with its 3-byte header rounded up to 4 bytes, and their two
// 2-byte index entries.
constexpr uint64_t RECORD_BYTES = 12 + 28 + 2 * 2;
// Bytes of a page that do not hold records: the page header.
constexpr uint32_t PAGE_HEADER = 26;
// A file larger than its records need by more than this share (in %) is
// compacted: a store whose pages are full costs a truncation only this
// check, and a steady store, whose runs add a day of half-full pages a
// day, compacts every few days.
constexpr uint64_t SLACK_PERCENT = 10;
// Pages that are worth giving back at all.
constexpr uint64_t MIN_PAGES = 8;
// Each page is filled until less than this share of it is free; a page
// that full is only read.
constexpr uint32_t FILL_PERCENT = 94;
// The last pass fills only pages that are this empty, and moves pages.
constexpr uint32_t MOVE_ONLY_PERCENT = 1;

// The kept records of one unit's level, in key order: the key a page's
// worth of records after its first (where its filling begins) and the
// first key of the level after it (where it ends).
struct LevelRange {
    uint16_t unit, level;
    uint32_t kept;
    bool has_from, has_to;
    unsigned char from[KEY_SIZE];
    unsigned char to[KEY_SIZE];
};

struct LevelRanges {
    LevelRange *list;
    size_t count, room;
    uint32_t head; // records that the first page of a level can hold
    bool failed;   // the list could not grow: no compaction
};

// Notes a kept record, met in key order.
void note_kept(LevelRanges *g, const SampleKey &k)
{
    if (g->failed)
        return;
    unsigned char key[KEY_SIZE];
    key_encode(k, key);
    LevelRange *last = g->count > 0 ? &g->list[g->count - 1] : nullptr;
    if (last == nullptr || last->unit != k.unit || last->level != k.level) {
        if (last != nullptr) {
            memcpy(last->to, key, KEY_SIZE);
            last->has_to = true;
        }
        if (g->count == g->room) {
            const size_t room = g->room == 0 ? 64 : 2 * g->room;
            auto *grown = static_cast<LevelRange *>(realloc(g->list, room * sizeof(LevelRange)));
            if (grown == nullptr) {
                g->failed = true;
                return;
            }
            g->list = grown;
            g->room = room;
        }
        last = &g->list[g->count++];
        *last = LevelRange{k.unit, k.level, 0, false, false, {}, {}};
    }
    if (++last->kept == g->head + 1) {
        memcpy(last->from, key, KEY_SIZE);
        last->has_from = true;
    }
}

// The bytes that kept records fill when every page is full, with the meta
// and root pages and about one internal page per hundred leaves.
uint64_t bytes_needed(uint64_t kept, uint32_t page_size)
{
    const uint64_t room = page_size - PAGE_HEADER;
    const uint64_t leaves = (kept * RECORD_BYTES + room - 1) / room;
    return (2 + leaves + leaves / 100) * page_size;
}

int compact_failure()
{
    message_errno("data_truncate: db->compact");
    // What the library left half-done is never committed.
    btree_discard(store_handle.db);
    return 1;
}

int report_size_failure()
{
    message_errno("data_truncate: fstat: %s", store_handle.path);
    return 1;
}

// How a copy of the store's valid records into a target ended.
enum class Copied { end, stopped, first_failed, next_failed, put_failed, sync_failed };

// A copy of every valid record of the store, byte for byte and in key
// order, into target, which commits whenever a batch is due. With op, each
// record passed over is named in a message, and every 10,000th record
// copied is traced.
struct RecordCopy {
    Btree *target;
    const char *op;
    uint32_t copied;
    WalkOrder order; // how far the walk got, for the check of its end
};

void report_passed_over(const char *op, const StoreRecord &r)
{
    if (!r.key_valid)
        message("%s: invalid record: dbk.size %u (%u)", op, r.key_size,
                static_cast<unsigned>(KEY_SIZE));
    else
        message("%s: invalid record: level %u, dbd.size %u (%u, %u)", op, r.key.level, r.value_size,
                static_cast<unsigned>(sizeof(LastRecord)),
                static_cast<unsigned>(sizeof(SampleRecord)));
}

// Ends at the first failure, with errno set and the failure not reported.
Copied copy_records(RecordCopy *c)
{
    StoreRecord r;
    Found f = walk_step(Seek::first, &c->order, &r);
    if (f == Found::error)
        return Copied::first_failed;
    for (; f == Found::record; f = walk_step(Seek::next, &c->order, &r)) {
        if (stop_requested())
            return Copied::stopped;
        if (!record_valid(r)) {
            if (c->op != nullptr)
                report_passed_over(c->op, r);
            continue;
        }
        // Out of the library's memory before the next call.
        unsigned char key[KEY_SIZE];
        unsigned char value[sizeof(SampleRecord)];
        key_encode(r.key, key);
        memcpy(value, r.value, r.value_size);
        if (btree_put(c->target, Slice{key, KEY_SIZE}, Slice{value, r.value_size}) != 0)
            return Copied::put_failed;
        c->copied++;
        if (c->op != nullptr && c->copied % 10000 == 0)
            trace(2, " %u", c->copied);
        if (btree_commit_due(c->target) && btree_sync(c->target) != 0)
            return Copied::sync_failed;
    }
    return f == Found::end ? Copied::end : Copied::next_failed;
}

// Packing the store into a new file beside it, "<store>.packed", which then
// moves into place. The store file is not written on the way, and the new
// one commits in batches like a copy, so a crash leaves the store as the
// truncation committed it, and memory stays bounded however much is given
// back; a packed file that a crash left behind goes at the next open.
// in_place: the path is not a file that a rename can replace (a symbolic
// or a second hard link).
enum class Packed { done, failed, in_place };

// Whether a file can replace the store by a rename: the store's path
// names its file (st), which has one link, and "<path>.packed" fits into
// packed.
bool renames_into(const char *path, const struct stat &st, char (&packed)[PATH_MAX])
{
    struct stat named;
    if (lstat(path, &named) != 0 || !S_ISREG(named.st_mode) || named.st_nlink != 1 ||
        named.st_dev != st.st_dev || named.st_ino != st.st_ino)
        return false;
    // What a run that ended while it packed left there went at the open.
    return snprintf(packed, sizeof packed, "%s%s", path, PACKED_SUFFIX) <
           static_cast<int>(sizeof packed);
}

// "data_truncate: <packed>: <reason>\n"; the packed file goes.
Packed packing_failed(const char *packed)
{
    message_errno("data_truncate: %s", packed);
    unlink(packed);
    return Packed::failed;
}

// Moves the packed file into place, and the store's handle onto it.
Packed move_packed(const char *packed, const char *path)
{
    if (rename(packed, path) != 0)
        return packing_failed(packed);
    // A crash from here on finds the packed store in place, or, until the
    // folder is synced, the truncated one: both whole.
    (void)btree_sync_folder(path);
    // Runs that wait for the old file take the new one when it is let go.
    (void)btree_close(store_handle.db);
    if (btree_open(path, &store_handle.db) != 0) {
        report_store_error(nullptr, "dbopen", path);
        store_handle.db = nullptr;
        return Packed::failed;
    }
    return Packed::done;
}

// Ends with the store's handle on the new file, or on none after a failure
// to open it.
Packed pack_store()
{
    const char *path = store_handle.path;
    struct stat st;
    if (btree_stat(store_handle.db, &st) != 0) {
        report_size_failure();
        return Packed::failed;
    }
    char packed[PATH_MAX];
    if (!renames_into(path, st, packed))
        return Packed::in_place;
    RecordCopy c{};
    if (btree_open(packed, &c.target) != 0) {
        report_store_error("data_truncate", "dbopen", packed);
        return Packed::failed;
    }
    const bool done = btree_take_owner(c.target, &st) == 0 && copy_records(&c) == Copied::end &&
                      walk_reached_end(c.order, nullptr) && btree_sync(c.target) == 0;
    if (!done) {
        int saved = errno;
        btree_discard(c.target);
        (void)btree_close(c.target);
        if (stop_requested()) {
            // The store stays as the truncation committed it.
            unlink(packed);
            return Packed::done;
        }
        errno = saved;
        return packing_failed(packed);
    }
    if (btree_close(c.target) != 0)
        return packing_failed(packed);
    return move_packed(packed, path);
}

// The trace of a compaction that ended: emptied is the passes' count of the
// pages they emptied, or null after packing, where the pages that the file
// lost are counted. 1 after a failure to read the file's size.
int trace_compacted(off_t before, const uint64_t *emptied)
{
    off_t after;
    uint32_t page_size;
    if (btree_file_size(store_handle.db, &after, &page_size) != 0)
        return report_size_failure();
    const uint64_t pages =
        emptied != nullptr ? *emptied : static_cast<uint64_t>((before - after) / page_size);
    trace(2, "data_truncate: compacted: %llu pages emptied, file %lld -> %lld bytes\n",
          static_cast<unsigned long long>(pages), static_cast<long long>(before),
          static_cast<long long>(after));
    return 0;
}

// Fills the pages of every kept level from its second page on, then moves
// the pages near the end of the file into the free ones and cuts the file;
// one commit. 1 after a reported failure.
int compact_in_place(const LevelRanges &ranges, off_t before)
{
    uint64_t emptied = 0;
    CompactPass done;
    for (size_t i = 0; i < ranges.count && !stop_requested(); i++) {
        const LevelRange &g = ranges.list[i];
        if (!g.has_from)
            continue;
        const Slice from{g.from, KEY_SIZE}, to{g.to, KEY_SIZE};
        if (btree_compact(store_handle.db, FILL_PERCENT, &from, g.has_to ? &to : nullptr, false,
                          &done) != 0)
            return compact_failure();
        emptied += done.emptied;
    }
    if (!stop_requested()) {
        if (btree_compact(store_handle.db, MOVE_ONLY_PERCENT, nullptr, nullptr, true, &done) != 0)
            return compact_failure();
        emptied += done.emptied;
    }
    if (data_sync("data_truncate") != 0)
        return 1;
    return trace_compacted(before, &emptied);
}

// Compacts the store when its file is larger than its kept records need.
// In place, the passes are one commit: a crash leaves the store as the
// truncation left it or compacted, with the same records. What gives back
// more than data_pack_bytes is packed into a new file instead (pack_store).
int compact_truncated(const LevelRanges &ranges, uint64_t kept)
{
    off_t before;
    uint32_t page_size;
    if (btree_file_size(store_handle.db, &before, &page_size) != 0)
        return report_size_failure();
    // The first page of each level is left as the truncation left it.
    const uint64_t need = bytes_needed(kept, page_size) + ranges.count * page_size;
    const auto size = static_cast<uint64_t>(before);
    if (ranges.failed || size * 100 <= need * (100 + SLACK_PERCENT) ||
        size < need + MIN_PAGES * page_size) {
        trace(2, "data_truncate: not compacted: file %lld bytes, its pages %llu%% full\n",
              static_cast<long long>(before),
              static_cast<unsigned long long>(size > 0 ? std::min<uint64_t>(100, need * 100 / size)
                                                       : 100));
        return 0;
    }
    if (size - need > data_pack_bytes) {
        const Packed packed = pack_store();
        if (packed == Packed::failed)
            return 1;
        if (packed == Packed::done)
            return trace_compacted(before, nullptr);
    }
    return compact_in_place(ranges, before);
}

// Deletes the record under the cursor through the cursor: its key may be
// of any size, and the next step reaches the record that followed it.
int delete_current()
{
    const Found d = btree_del_current(store_handle.db);
    if (d == Found::error) {
        message_errno("data_truncate: db->del() failed");
        return 1;
    }
    if (d != Found::record) {
        message("data_truncate: db->del() returned %d", static_cast<int>(d));
        return 1;
    }
    return 0;
}

// The walk of a truncation, which notes the levels it keeps in ranges and
// counts the records it keeps in *kept.
int truncate_walk(uint32_t now, int days0, int days1, LevelRanges *ranges, uint64_t *kept)
{
    uint32_t cut0 = cutoff(now, days0);
    uint32_t cut1 = cutoff(now, days1);
    trace(2, "data_truncate: cutoff %u, %u\n", cut0, cut1);

    uint32_t examined = 0, deleted = 0;
    int result = 0;
    StoreRecord r;
    WalkOrder order{};
    Seek how = Seek::first;
    Found f = walk_step(how, &order, &r);
    for (; f == Found::record && !stop_requested(); f = walk_step(how, &order, &r)) {
        examined++;
        if (truncate_verdict(r, cut0, cut1)) {
            if (delete_current() != 0)
                return 1;
            deleted++;
            if (btree_commit_due(store_handle.db) && data_sync("data_truncate") != 0)
                return 1;
        } else {
            note_kept(ranges, r.key);
        }
        how = Seek::next;
    }
    // Only a failed first step names the operation, as it always has.
    if (f == Found::error) {
        report_seek_error(how == Seek::first ? "data_truncate" : nullptr, how);
        result = 1;
    } else if (f == Found::end && !walk_reached_end(order, nullptr)) {
        errno = EIO;
        report_seek_error(nullptr, Seek::next);
        result = 1;
    }
    trace(1, "data_truncate: %u of %u entries deleted\n", deleted, examined);
    // A phase that follows may be forgotten whole: the truncation's own
    // deletions are committed now.
    if (data_sync("data_truncate") != 0)
        return 1;
    *kept = examined - deleted;
    return result;
}

} // namespace

int data_truncate(int days0, int days1)
{
    return data_truncate_at(static_cast<uint32_t>(time(nullptr)), days0, days1);
}

uint64_t data_pack_bytes = 32u << 20;

int data_truncate_at(uint32_t now, int days0, int days1)
{
    LevelRanges ranges{};
    off_t size;
    uint32_t page_size;
    if (btree_file_size(store_handle.db, &size, &page_size) == 0 && page_size > PAGE_HEADER)
        ranges.head = static_cast<uint32_t>((page_size - PAGE_HEADER) / RECORD_BYTES);
    else
        ranges.failed = true;
    uint64_t kept = 0;
    int result = truncate_walk(now, days0, days1, &ranges, &kept);
    // Only after a whole walk: a stopped run ends soon, and a failed walk
    // may have met a damaged page that compaction would walk onto too.
    if (result == 0 && !stop_requested() && compact_truncated(ranges, kept) != 0)
        result = 1;
    free(ranges.list);
    return result;
}

int data_copy(const char *path)
{
    // Opening the store a second time would wait for this run's own lock.
    struct stat st;
    if (stat(path, &st) == 0 && data_is_store(&st)) {
        message("%s: %s: is the store itself", __func__, path);
        return 1;
    }
    trace(1, "%s: creating %s\n", __func__, path);
    RecordCopy c{};
    c.op = __func__;
    if (btree_open(path, &c.target) != 0) {
        report_store_error(__func__, "dbopen", path);
        return 1;
    }
    const Copied got = copy_records(&c);
    if (got == Copied::first_failed) {
        report_seek_error(__func__, Seek::first);
        (void)btree_close(c.target);
        return 1;
    }
    int result = 1;
    if (got == Copied::put_failed)
        report_store_error(__func__, "db->put", nullptr);
    else if (got == Copied::sync_failed)
        report_store_error(__func__, "dbsync", path);
    else if (got == Copied::next_failed)
        report_seek_error(__func__, Seek::next);
    else
        result = 0;
    trace(2, "\n");
    if (got != Copied::sync_failed && btree_sync(c.target) != 0) {
        report_store_error(__func__, "dbsync", path);
        result = 1;
    }
    if (btree_close(c.target) != 0) {
        report_store_error(__func__, "dbclose", path);
        result = 1;
    }
    // After the close: the check reads the store once more, and what was
    // copied must stay whatever that read meets.
    if (got == Copied::end && !walk_reached_end(c.order, nullptr)) {
        errno = EIO;
        report_seek_error(__func__, Seek::next);
        result = 1;
    }
    trace(1, "%s: %u records copied\n", __func__, c.copied);
    return result;
}

} // namespace dorvane
