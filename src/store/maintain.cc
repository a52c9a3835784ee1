// Store maintenance: truncation by age and the copy of every valid record
// into another store file, each one walk over the store in key order.
#include <sys/stat.h>

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
