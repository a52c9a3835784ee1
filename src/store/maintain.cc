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

int commit_truncation()
{
    if (btree_sync(store_handle.db) == 0)
        return 0;
    message_errno("data_truncate: dbsync: %s", store_handle.path);
    return 1;
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

// Packs the store into a new file beside it, "<store>.packed", and moves
// that into place. The store file is not written on the way, and the new
// one commits in batches like a copy, so a crash leaves the store as the
// truncation committed it, and memory stays bounded however much is given
// back; a packed file that a crash left behind goes at the next open.
// Ends with the store's handle on the new file. 0, or 1 after a reported
// failure; PACK_IN_PLACE when the path is not a file that a rename can
// replace (a symbolic or a second hard link).
constexpr int PACK_IN_PLACE = 2;

int pack_store()
{
    const char *path = store_handle.path;
    struct stat st, named;
    if (btree_stat(store_handle.db, &st) != 0)
        return report_size_failure();
    if (lstat(path, &named) != 0 || !S_ISREG(named.st_mode) || named.st_nlink != 1 ||
        named.st_dev != st.st_dev || named.st_ino != st.st_ino)
        return PACK_IN_PLACE;
    // What a run that ended while it packed left there went at the open.
    char packed[PATH_MAX];
    if (snprintf(packed, sizeof packed, "%s%s", path, PACKED_SUFFIX) >= static_cast<int>(sizeof packed))
        return PACK_IN_PLACE;
    Btree *target;
    if (btree_open(packed, &target) != 0) {
        message_errno("data_truncate: dbopen: %s", packed);
        return 1;
    }
    bool done = btree_take_owner(target, &st) == 0;
    StoreRecord r;
    WalkOrder order{};
    Found f = done ? walk_step(Seek::first, &order, &r) : Found::error;
    for (; done && f == Found::record && !stop_requested(); f = walk_step(Seek::next, &order, &r)) {
        if (!record_valid(r))
            continue;
        unsigned char key[KEY_SIZE];
        unsigned char value[sizeof(SampleRecord)];
        key_encode(r.key, key);
        memcpy(value, r.value, r.value_size);
        done = btree_put(target, Slice{key, KEY_SIZE}, Slice{value, r.value_size}) == 0 &&
               (!btree_commit_due(target) || btree_sync(target) == 0);
    }
    done = done && f == Found::end && walk_reached_end(order, nullptr) && btree_sync(target) == 0;
    if (!done) {
        int saved = errno;
        btree_discard(target);
        (void)btree_close(target);
        unlink(packed);
        if (stop_requested())
            return 0;
        errno = saved;
        message_errno("data_truncate: %s", packed);
        return 1;
    }
    if (btree_close(target) != 0 || rename(packed, path) != 0) {
        message_errno("data_truncate: %s", packed);
        unlink(packed);
        return 1;
    }
    // A crash from here on finds the packed store in place, or, until the
    // folder is synced, the truncated one: both whole.
    (void)btree_sync_folder(path);
    // Runs that wait for the old file take the new one when it is let go.
    (void)btree_close(store_handle.db);
    if (btree_open(path, &store_handle.db) != 0) {
        message_errno("dbopen: %s", path);
        store_handle.db = nullptr;
        return 1;
    }
    return 0;
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
        const int packed = pack_store();
        if (packed == 1 || store_handle.db == nullptr)
            return 1;
        if (packed == 0) {
            off_t after;
            if (btree_file_size(store_handle.db, &after, &page_size) != 0)
                return report_size_failure();
            trace(2, "data_truncate: compacted: %llu pages emptied, file %lld -> %lld bytes\n",
                  static_cast<unsigned long long>((before - after) / page_size),
                  static_cast<long long>(before), static_cast<long long>(after));
            return 0;
        }
    }
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
    if (commit_truncation() != 0)
        return 1;
    off_t after;
    if (btree_file_size(store_handle.db, &after, &page_size) != 0)
        return report_size_failure();
    trace(2, "data_truncate: compacted: %llu pages emptied, file %lld -> %lld bytes\n",
          static_cast<unsigned long long>(emptied), static_cast<long long>(before),
          static_cast<long long>(after));
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
    Found f = walk_step(Seek::first, &order, &r);
    if (f == Found::error) {
        message_errno("data_truncate: db->seq(R_FIRST) failed");
        result = 1;
    }
    while (f == Found::record && !stop_requested()) {
        examined++;
        if (truncate_verdict(r, cut0, cut1)) {
            // Through the cursor: the key may be of any size, and the next
            // step reaches the record that followed this one.
            const Found d = btree_del_current(store_handle.db);
            if (d == Found::error) {
                message_errno("data_truncate: db->del() failed");
                return 1;
            }
            if (d != Found::record) {
                message("data_truncate: db->del() returned %d", static_cast<int>(d));
                return 1;
            }
            deleted++;
            if (btree_commit_due(store_handle.db) && commit_truncation() != 0)
                return 1;
        } else {
            note_kept(ranges, r.key);
        }
        f = walk_step(Seek::next, &order, &r);
        if (f == Found::error) {
            message_errno("db->seq(R_NEXT) failed");
            result = 1;
        }
    }
    if (f == Found::end && !walk_reached_end(order, nullptr)) {
        errno = EIO;
        message_errno("db->seq(R_NEXT) failed");
        result = 1;
    }
    trace(1, "data_truncate: %u of %u entries deleted\n", deleted, examined);
    // A phase that follows may be forgotten whole: the truncation's own
    // deletions are committed now.
    if (commit_truncation() != 0)
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
    Btree *target;
    if (btree_open(path, &target) != 0) {
        message_errno("%s: dbopen: %s", __func__, path);
        return 1;
    }

    int result = 0;
    bool synced = true; // no commit of the target has failed
    uint32_t copied = 0;
    StoreRecord r;
    WalkOrder order{};
    Found f = walk_step(Seek::first, &order, &r);
    if (f == Found::error) {
        message_errno("%s: db->seq(R_FIRST) failed", __func__);
        (void)btree_close(target);
        return 1;
    }
    while (f == Found::record && !stop_requested()) {
        if (!r.key_valid) {
            message("%s: invalid record: dbk.size %u (%u)", __func__, r.key_size,
                    static_cast<unsigned>(KEY_SIZE));
        } else if (!record_valid(r)) {
            message("%s: invalid record: level %u, dbd.size %u (%u, %u)", __func__, r.key.level,
                    r.value_size, static_cast<unsigned>(sizeof(LastRecord)),
                    static_cast<unsigned>(sizeof(SampleRecord)));
        } else {
            // Byte for byte, out of the library's memory before the next call.
            unsigned char key[KEY_SIZE];
            unsigned char value[sizeof(SampleRecord)];
            key_encode(r.key, key);
            memcpy(value, r.value, r.value_size);
            if (btree_put(target, Slice{key, KEY_SIZE}, Slice{value, r.value_size}) != 0) {
                message_errno("%s: db->put", __func__);
                result = 1;
                break;
            }
            copied++;
            if (copied % 10000 == 0)
                trace(2, " %u", copied);
            if (btree_commit_due(target) && btree_sync(target) != 0) {
                message_errno("%s: dbsync: %s", __func__, path);
                result = 1;
                synced = false;
                break;
            }
        }
        f = walk_step(Seek::next, &order, &r);
        if (f == Found::error) {
            message_errno("%s: db->seq(R_NEXT) failed", __func__);
            result = 1;
        }
    }
    trace(2, "\n");
    if (synced && btree_sync(target) != 0) {
        message_errno("%s: dbsync: %s", __func__, path);
        result = 1;
    }
    if (btree_close(target) != 0) {
        message_errno("%s: dbclose: %s", __func__, path);
        result = 1;
    }
    // After the close: the check reads the store once more, and what was
    // copied must stay whatever that read meets.
    if (f == Found::end && !walk_reached_end(order, nullptr)) {
        errno = EIO;
        message_errno("%s: db->seq(R_NEXT) failed", __func__);
        result = 1;
    }
    trace(1, "%s: %u records copied\n", __func__, copied);
    return result;
}

} // namespace dorvane
