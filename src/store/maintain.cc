// Store maintenance: truncation by age, which compacts the store after it,
// and the copy of every valid record into another store file, each one walk
// over the store in key order.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "run/run.h"
#include "run/signals.h"
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
        fprintf(stderr, "data_truncate: dbk.size %u != sizeof(k) %u\n", r.key_size,
                static_cast<unsigned>(KEY_SIZE));
        return true;
    }
    if (r.key.level == LAST_LEVEL) {
        LastRecord l;
        if (!record_last(r, &l)) {
            fprintf(stderr, "data_truncate: dbd.size %u != sizeof(l) %u\n", r.value_size,
                    static_cast<unsigned>(sizeof l));
            return true;
        }
        if (verbosity >= 2)
            printf("%d, %d, %u, last: %u, %u, %.2f\n", r.key.unit, r.key.level, r.key.ts, l.since,
                   l.ts, l.val);
        // The key's ts is always 0; the record carries its own time.
        return l.ts < cut0;
    }
    SampleRecord s;
    if (!record_sample(r, &s)) {
        fprintf(stderr, "data_truncate: dbd.size %u != sizeof(v) %u\n", r.value_size,
                static_cast<unsigned>(sizeof s));
        return true;
    }
    if (verbosity >= 2)
        printf("%d, %d, %u, val: %.2f, %.2f, %.2f\n", r.key.unit, r.key.level, r.key.ts, s.min,
               s.avg, s.max);
    return r.key.ts < (r.key.level == 0 ? cut0 : cut1);
}

int commit_truncation()
{
    if (btree_sync(store_handle.db) == 0)
        return 0;
    fprintf(stderr, "data_truncate: dbsync: %s: %s\n", store_handle.path, strerror(errno));
    return 1;
}

// Compaction. Runs append in the middle of the tree, once per unit, and
// leave the pages they split half full; a truncation empties pages all over
// the file. Compaction fills the pages again and cuts the free ones off the
// end of the file.

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
// Each page is filled until less than this share of it is free. A page
// that full is only read. At 95 % and above, pairs of pages that a split
// left half full no longer merge whole, and the library moves their
// records one at a time, at twice the cost (measured on a steady store of
// ten units).
constexpr uint32_t FILL_PERCENT = 94;
// The first pass moves pages only below where the free pages began; the
// second reaches the pages that the first one's refilling freed. A third
// gave nothing back in every store measured.
constexpr int PASSES = 2;

// The bytes that kept records fill when every page is full, with the meta
// and root pages and about one internal page per hundred leaves.
uint64_t bytes_needed(uint64_t kept, uint32_t page_size)
{
    const uint64_t room = page_size - PAGE_HEADER;
    const uint64_t leaves = (kept * RECORD_BYTES + room - 1) / room;
    return (2 + leaves + leaves / 100) * page_size;
}

// Compacts the store when its file is larger than its kept records need.
// The passes are one commit: a crash leaves the store as the truncation
// left it or compacted, with the same records.
int compact_truncated(uint64_t kept)
{
    off_t before;
    uint32_t page_size;
    if (btree_file_size(store_handle.db, &before, &page_size) != 0) {
        fprintf(stderr, "data_truncate: fstat: %s: %s\n", store_handle.path, strerror(errno));
        return 1;
    }
    const uint64_t need = bytes_needed(kept, page_size);
    const auto size = static_cast<uint64_t>(before);
    if (size * 100 <= need * (100 + SLACK_PERCENT) || size < need + MIN_PAGES * page_size) {
        if (verbosity >= 2)
            printf("data_truncate: not compacted: file %lld bytes, its pages %llu%% full\n",
                   static_cast<long long>(before),
                   static_cast<unsigned long long>(
                       size > 0 ? std::min<uint64_t>(100, need * 100 / size) : 100));
        return 0;
    }
    uint64_t emptied = 0;
    for (int pass = 0; pass < PASSES && !run_stop_requested(); pass++) {
        CompactPass done;
        if (btree_compact(store_handle.db, FILL_PERCENT, &done) != 0) {
            fprintf(stderr, "data_truncate: db->compact: %s\n", strerror(errno));
            // What the library left half-done is never committed.
            btree_discard(store_handle.db);
            return 1;
        }
        emptied += done.emptied;
        if (done.emptied == 0 && done.given_back == 0)
            break;
    }
    if (commit_truncation() != 0)
        return 1;
    off_t after;
    if (btree_file_size(store_handle.db, &after, &page_size) != 0) {
        fprintf(stderr, "data_truncate: fstat: %s: %s\n", store_handle.path, strerror(errno));
        return 1;
    }
    if (verbosity >= 2)
        printf("data_truncate: compacted: %llu pages emptied, file %lld -> %lld bytes\n",
               static_cast<unsigned long long>(emptied), static_cast<long long>(before),
               static_cast<long long>(after));
    return 0;
}

} // namespace

int data_truncate(int days0, int days1)
{
    return data_truncate_at(static_cast<uint32_t>(time(nullptr)), days0, days1);
}

int data_truncate_at(uint32_t now, int days0, int days1)
{
    uint32_t cut0 = cutoff(now, days0);
    uint32_t cut1 = cutoff(now, days1);
    if (verbosity >= 2)
        printf("data_truncate: cutoff %u, %u\n", cut0, cut1);

    uint32_t examined = 0, deleted = 0;
    int result = 0;
    StoreRecord r;
    WalkOrder order{};
    Found f = walk_step(Seek::first, &order, &r);
    if (f == Found::error) {
        fprintf(stderr, "data_truncate: db->seq(R_FIRST) failed: %s\n", strerror(errno));
        result = 1;
    }
    while (f == Found::record && !run_stop_requested()) {
        examined++;
        if (truncate_verdict(r, cut0, cut1)) {
            // Through the cursor: the key may be of any size, and the next
            // step reaches the record that followed this one.
            int d = btree_del_current(store_handle.db);
            if (d == -1) {
                fprintf(stderr, "data_truncate: db->del() failed: %s\n", strerror(errno));
                return 1;
            }
            if (d != 0) {
                fprintf(stderr, "data_truncate: db->del() returned %d\n", d);
                return 1;
            }
            deleted++;
            if (btree_commit_due(store_handle.db) && commit_truncation() != 0)
                return 1;
        }
        f = walk_step(Seek::next, &order, &r);
        if (f == Found::error) {
            fprintf(stderr, "db->seq(R_NEXT) failed: %s\n", strerror(errno));
            result = 1;
        }
    }
    if (f == Found::end && !walk_reached_end(order, nullptr)) {
        errno = EIO;
        fprintf(stderr, "db->seq(R_NEXT) failed: %s\n", strerror(errno));
        result = 1;
    }
    if (verbosity >= 1)
        printf("data_truncate: %u of %u entries deleted\n", deleted, examined);
    // A phase that follows may be forgotten whole: the truncation's own
    // deletions are committed now.
    if (commit_truncation() != 0)
        return 1;
    // Only after a whole walk: a stopped run ends soon, and a failed walk
    // may have met a damaged page that compaction would walk onto too.
    if (result == 0 && !run_stop_requested() && compact_truncated(examined - deleted) != 0)
        result = 1;
    return result;
}

int data_copy(const char *path)
{
    // Opening the store a second time would wait for this run's own lock.
    struct stat st;
    if (stat(path, &st) == 0 && data_is_store(&st)) {
        fprintf(stderr, "%s: %s: is the store itself\n", __func__, path);
        return 1;
    }
    if (verbosity >= 1)
        printf("%s: creating %s\n", __func__, path);
    Btree *target;
    if (btree_open(path, &target) != 0) {
        fprintf(stderr, "%s: dbopen: %s: %s\n", __func__, path, strerror(errno));
        return 1;
    }

    int result = 0;
    bool synced = true; // no commit of the target has failed
    uint32_t copied = 0;
    StoreRecord r;
    WalkOrder order{};
    Found f = walk_step(Seek::first, &order, &r);
    if (f == Found::error) {
        fprintf(stderr, "%s: db->seq(R_FIRST) failed: %s\n", __func__, strerror(errno));
        (void)btree_close(target);
        return 1;
    }
    while (f == Found::record && !run_stop_requested()) {
        if (!r.key_valid) {
            fprintf(stderr, "%s: invalid record: dbk.size %u (%u)\n", __func__, r.key_size,
                    static_cast<unsigned>(KEY_SIZE));
        } else if (!record_valid(r)) {
            fprintf(stderr, "%s: invalid record: level %u, dbd.size %u (%u, %u)\n", __func__,
                    r.key.level, r.value_size, static_cast<unsigned>(sizeof(LastRecord)),
                    static_cast<unsigned>(sizeof(SampleRecord)));
        } else {
            // Byte for byte, out of the library's memory before the next call.
            unsigned char key[KEY_SIZE];
            unsigned char value[sizeof(SampleRecord)];
            key_encode(r.key, key);
            memcpy(value, r.value, r.value_size);
            if (btree_put(target, Slice{key, KEY_SIZE}, Slice{value, r.value_size}) != 0) {
                fprintf(stderr, "%s: db->put: %s\n", __func__, strerror(errno));
                result = 1;
                break;
            }
            copied++;
            if (verbosity >= 2 && copied % 10000 == 0)
                printf(" %u", copied);
            if (btree_commit_due(target) && btree_sync(target) != 0) {
                fprintf(stderr, "%s: dbsync: %s: %s\n", __func__, path, strerror(errno));
                result = 1;
                synced = false;
                break;
            }
        }
        f = walk_step(Seek::next, &order, &r);
        if (f == Found::error) {
            fprintf(stderr, "%s: db->seq(R_NEXT) failed: %s\n", __func__, strerror(errno));
            result = 1;
        }
    }
    if (verbosity >= 2)
        printf("\n");
    if (synced && btree_sync(target) != 0) {
        fprintf(stderr, "%s: dbsync: %s: %s\n", __func__, path, strerror(errno));
        result = 1;
    }
    if (btree_close(target) != 0) {
        fprintf(stderr, "%s: dbclose: %s: %s\n", __func__, path, strerror(errno));
        result = 1;
    }
    // After the close: the check reads the store once more, and what was
    // copied must stay whatever that read meets.
    if (f == Found::end && !walk_reached_end(order, nullptr)) {
        errno = EIO;
        fprintf(stderr, "%s: db->seq(R_NEXT) failed: %s\n", __func__, strerror(errno));
        result = 1;
    }
    if (verbosity >= 1)
        printf("%s: %u records copied\n", __func__, copied);
    return result;
}

} // namespace dorvane
