// Sample insertion and consolidation. The consolidation state is the store
// itself: a level's batch is every record at or after the newest record
// one level up, so a crashed run resumes where the file says.
#include "common/common.h"
#include "store/access.h"

namespace dorvane {
namespace {

// Levels given as arguments print as signed 16-bit numbers.
int arg_level(int level)
{
    return static_cast<int16_t>(level);
}

struct Batch {
    unsigned count;
    double min;
    double avg;
    double max;
};

// Yields the unit's LastRecord; false when there is none (a failed get is
// reported and remembered, and counts as none).
bool get_last(uint16_t unit, LastRecord *out)
{
    const Found f = store_get_last(unit, out);
    if (f == Found::error) {
        message_errno("db->get");
        store_handle.last_failed = true;
        return false;
    }
    if (f != Found::record)
        return false;
    trace(1, "get_last(unit %u) returns since %u, ts %u, val %.2f\n", unit, out->since, out->ts,
          out->val);
    return true;
}

void put_last(uint16_t unit, uint32_t since, uint32_t ts, double val)
{
    trace(1, "put_last(unit %u, since %u, ts %u, val %.2f)\n", unit, since, ts, val);
    if (store_put_last(unit, LastRecord{since, ts, val}) != 0) {
        report_store_error(nullptr, "db->put", nullptr);
        store_handle.last_failed = true;
    }
}

// The ts of the newest record at (unit, level) into *ts, 0 when there is
// none. 1 after a reported cursor failure.
int find_highest_ts(uint16_t unit, int level, uint32_t *ts)
{
    *ts = 0;
    trace(2, "find_highest_ts(unit %d, level %d) seeking\n", unit, arg_level(level));
    // Just past the level, then one step back.
    SampleKey past{unit, static_cast<uint16_t>(level), UINT32_MAX};
    StoreRecord r;
    Found f = store_seek(Seek::cursor, &past, &r);
    if (f == Found::error) {
        report_seek_error(__func__, Seek::cursor);
        return 1;
    }
    Seek back = f == Found::record ? Seek::prev : Seek::last;
    f = store_seek(back, nullptr, &r);
    if (f == Found::error) {
        report_seek_error(__func__, back);
        return 1;
    }
    if (f == Found::end || !r.key_valid) {
        trace(2, "find_highest_ts: seek failed, returning 0\n");
        return 0;
    }
    if (r.key.unit != unit || r.key.level != static_cast<uint16_t>(level)) {
        trace(2, "find_highest_ts: out of range (unit %d != %d, level %d != %d), returning 0\n",
              r.key.unit, unit, r.key.level, arg_level(level));
        return 0;
    }
    trace(1, "find_highest_ts(unit %d, level %d) returning ts %u\n", unit, arg_level(level),
          r.key.ts);
    *ts = r.key.ts;
    return 0;
}

// Running size and summary of a batch, fed one record at a time in key
// order.
struct BatchSum {
    unsigned count = 0;
    double mn = EMPTY_MARK;
    double mx = -EMPTY_MARK;
    double sum = 0;
    uint32_t first;
    uint32_t prev_ts;
    double prev_avg = 0;

    explicit BatchSum(uint32_t ts) : first(ts), prev_ts(ts) {}
    void add(uint32_t ts, const SampleRecord &s)
    {
        if (first == 0)
            first = ts;
        count++;
        if (s.min < mn)
            mn = s.min;
        if (s.max > mx)
            mx = s.max;
        sum += static_cast<double>(static_cast<uint32_t>(ts - prev_ts)) * prev_avg;
        prev_ts = ts;
        prev_avg = s.avg;
    }
};

// The batch read record by record. 1 after a reported cursor failure.
int count_walk(uint16_t unit, uint16_t level, BatchSum *b)
{
    SampleKey start{unit, level, b->first};
    StoreRecord r;
    Found f = store_seek(Seek::cursor, &start, &r);
    Seek how = Seek::cursor;
    SampleRecord s;
    while (f == Found::record && record_in(r, unit, level) && record_sample(r, &s)) {
        b->add(r.key.ts, s);
        how = Seek::next;
        f = store_seek(how, nullptr, &r);
    }
    if (f == Found::error) {
        report_seek_error("count_values", how);
        return 1;
    }
    return 0;
}

// What reading a batch a buffer at a time gave: the batch, a failure that
// has been reported, or no bulk read from the library.
enum class Counted { done, failed, walk };

// The batch read a buffer at a time: the same records in the same order,
// in one library call for a whole batch.
Counted count_bulk(uint16_t unit, uint16_t level, BatchSum *b)
{
    SampleKey start{unit, level, b->first};
    Seek how = Seek::cursor;
    for (;;) {
        Bulk got = store_bulk_seek(how, &start);
        if (got == Bulk::walk)
            return Counted::walk;
        if (got == Bulk::error) {
            report_seek_error("count_values", how);
            return Counted::failed;
        }
        if (got == Bulk::end)
            return Counted::done;
        StoreRecord r;
        SampleRecord s;
        while (store_bulk_next(&r)) {
            if (!record_in(r, unit, level) || !record_sample(r, &s))
                return Counted::done;
            b->add(r.key.ts, s);
        }
        how = Seek::next;
    }
}

// Size and summary of the batch of (unit, level) that starts at ts. Each
// record's average weighs with the time until the next record of the
// batch. 1 after a reported cursor failure.
int count_values(uint16_t unit, int level, uint32_t ts, Batch *out)
{
    auto lv = static_cast<uint16_t>(level);
    BatchSum b(ts);
    const Counted c = count_bulk(unit, lv, &b);
    if (c == Counted::failed)
        return 1;
    if (c == Counted::walk) {
        // What the bulk read met may lie beyond the batch: only the walk
        // knows whether the batch itself can be read.
        b = BatchSum(ts);
        if (count_walk(unit, lv, &b) != 0)
            return 1;
    }
    uint32_t last = b.prev_ts;
    double avg =
        b.count != 0 && b.first < last ? b.sum / static_cast<double>(last - b.first) : b.sum;
    trace(2, "count_values(unit %d, level %d, ts %u) returning count %u\n", unit, arg_level(level),
          b.first, b.count);
    *out = Batch{b.count, b.mn, avg, b.mx};
    return 0;
}

} // namespace

int put_value_internal(int unit, int level, uint32_t ts, double min, double avg, double max)
{
    auto u = static_cast<uint16_t>(unit);
    if (level < 0 || level > MAX_SAMPLE_LEVEL) {
        message("put_value_internal: level %d out of range", level);
        return 1;
    }
    for (int L = level;; L++) {
        trace(1, "put_value_internal(unit %d, level %d, ts %u, min %.2f, avg %.2f, max %.2f)\n", u,
              arg_level(L), ts, min, avg, max);
        if (store_put_sample(SampleKey{u, static_cast<uint16_t>(L), ts}, {min, avg, max}) != 0) {
            report_store_error(nullptr, "db->put", nullptr);
            return 1;
        }
        // On a damaged store the climb could reach LAST_LEVEL and wrap to
        // level 0; nothing above the highest level that retrieval reads.
        if (L == MAX_SAMPLE_LEVEL)
            return 0;
        trace(2, "put_value_internal: inserted, checking next level %d\n", arg_level(L + 1));
        uint32_t max_ts;
        if (find_highest_ts(u, L + 1, &max_ts) != 0)
            return 1;
        trace(2, "put_value_internal: next level %d max_ts %u\n", arg_level(L + 1), max_ts);
        Batch batch;
        if (count_values(u, L, max_ts, &batch) != 0)
            return 1;
        trace(2, "put_value_internal: %u values on level %d since %u\n", batch.count, arg_level(L),
              max_ts);
        if (batch.count < BATCH_SIZE) {
            trace(2, "put_value_internal: count %u < 10\n", batch.count);
            return 0;
        }
        trace(2, "put_value_internal: count %u >= 10\n", batch.count);
        min = batch.min;
        avg = batch.avg;
        max = batch.max;
    }
}

int data_put_value(uint32_t since, uint32_t now, int unit, int tdiff, int vdiff, double value)
{
    auto u = static_cast<uint16_t>(unit);
    trace(1, "data_put_value(since %u, ts %u, unit %u, val %.2f, tdiff %d vdiff %d)\n", since, now,
          u, value, tdiff, vdiff);
    if (tdiff == 0 && vdiff == 0)
        return put_value_internal(unit, 0, now, value, value, value);

    LastRecord prev;
    bool have = get_last(u, &prev);
    // A counter that went backwards, a second call in the same second or a
    // NaN (which compares as less) only moves the reference point.
    bool store = have && prev.since == since && now > prev.ts && value >= prev.val;
    put_last(u, since, now, value);
    if (!store)
        return 0;
    if (tdiff != 0)
        value = (value - prev.val) / static_cast<double>(now - prev.ts);
    if (vdiff != 0)
        value = value - prev.val;
    return put_value_internal(unit, 0, now, value, value, value);
}

} // namespace dorvane
