// Value retrieval: choose a level, walk it backwards from the end of the
// range and resample the records into one value per pixel column. Each
// record of a level is read once; nothing is allocated.
#include "common/common.h"
#include "store/access.h"

namespace dorvane {
namespace {

// Levels are handled as signed 16-bit numbers here.
int signed_level(uint16_t level)
{
    return static_cast<int16_t>(level);
}

// What one request needs while it walks.
struct Request {
    uint16_t unit;
    uint32_t beg;
    uint32_t end;
    GraphType type;
    uint32_t siz;
    double *values;
    uint32_t span; // end - beg, at least 1
    double spp;    // seconds per bucket
};

void print_returning(const Request &q, int level)
{
    trace(1, "get_values_find_level(unit %d, beg %u, end %u, siz %u) returning level %d\n", q.unit,
          q.beg, q.end, q.siz, level);
}

// The highest level below 65534 stored for the unit into *level: record,
// or end when the unit has none, or error after a reported cursor failure.
Found find_highest_level(uint16_t unit, uint16_t *level)
{
    SampleKey below_last{unit, static_cast<uint16_t>(LAST_LEVEL - 1), 0};
    StoreRecord r;
    Found f = store_seek(Seek::cursor, &below_last, &r);
    if (f == Found::error) {
        report_seek_error(__func__, Seek::cursor);
        return Found::error;
    }
    Seek back = f == Found::record ? Seek::prev : Seek::last;
    f = store_seek(back, nullptr, &r);
    if (f == Found::error) {
        report_seek_error(__func__, back);
        return Found::error;
    }
    if (f == Found::end || !r.key_valid || r.key.unit != unit)
        return Found::end;
    trace(1, "find_highest_level(unit %d) returning level %d\n", unit, signed_level(r.key.level));
    *level = r.key.level;
    return Found::record;
}

// Number of records at (unit, level) with beg <= ts <= end; values are not
// looked at. The count stops at enough when it is at least that, since
// only the choice depends on it then. -1 after a reported cursor failure.
long count_in_range(const Request &q, uint16_t level, uint32_t enough)
{
    SampleKey from{q.unit, level, q.beg};
    StoreRecord r;
    Seek how = Seek::cursor;
    Found f = store_seek(how, &from, &r);
    uint32_t count = 0;
    while (f == Found::record && record_in(r, q.unit, level) && r.key.ts <= q.end) {
        count++;
        if (count >= enough)
            break;
        how = Seek::next;
        f = store_seek(how, nullptr, &r);
    }
    if (f == Found::error) {
        report_seek_error("get_values_find_level", how);
        return -1;
    }
    return count;
}

// The level to read into *chosen. 1 when the unit's highest level is out
// of range (no message) or after a reported cursor failure.
int get_values_find_level(const Request &q, int *chosen)
{
    uint16_t stored;
    const Found f = find_highest_level(q.unit, &stored);
    if (f == Found::error)
        return 1;
    int highest = f == Found::record ? signed_level(stored) : 0;
    trace(1, "get_values_find_level: highest level overall is %d\n", highest);
    *chosen = 0;
    if (highest < 0) {
        print_returning(q, highest);
        return 1;
    }
    for (int level = highest; level >= 1; level--) {
        trace(1, "get_values_find_level: trying level %d\n", level);
        // The traces print the whole count; without them the walk of a
        // long range stops as soon as the level qualifies.
        long count = count_in_range(q, static_cast<uint16_t>(level),
                                    verbosity >= 1 ? UINT32_MAX : q.siz + 32);
        if (count < 0)
            return 1;
        trace(1, "get_values_find_level: found %u entries for level %d\n",
              static_cast<uint32_t>(count), level);
        if (static_cast<uint32_t>(count) >= q.siz + 32) {
            trace(1, "get_values_find_level: siz %u + 32 <= count %u, using level %d\n", q.siz,
                  static_cast<uint32_t>(count), level);
            *chosen = level;
            break;
        }
    }
    print_returning(q, *chosen);
    return 0;
}

uint32_t bucket_of(const Request &q, uint32_t t)
{
    auto b = static_cast<uint32_t>(static_cast<uint64_t>(t - q.beg) * q.siz / q.span);
    return q.siz != 0 && b >= q.siz ? q.siz - 1 : b;
}

// Spreads the value v of the record covering [ts, tt) over the buckets
// that it overlaps.
void get_values_resample(const Request &q, uint32_t tt, uint32_t ts, double v)
{
    uint32_t i = bucket_of(q, ts);
    uint32_t j = bucket_of(q, tt);
    double from = ts - q.beg;
    double to = tt - q.beg;
    trace(3,
          "get_values_resample(beg %u, end %u, type %d, siz %u, spp %.2f, tt %u, ts %u, "
          "v %.2f)\n",
          q.beg, q.end, static_cast<int>(q.type), q.siz, q.spp, tt, ts, v);
    trace(3, "get_values_resample: enter, i %u, j %u\n", i, j);
    for (uint32_t b = i; b <= j && b < q.siz; b++) {
        trace(3, "get_values_resample: i %u <= j %u\n", b, j);
        double x = b * q.spp;
        double y = x + q.spp;
        if (x >= to || from >= y)
            continue;
        double overlap = (to < y ? to : y) - (from > x ? from : x);
        if (!(overlap > 0))
            continue;
        double &slot = q.values[b];
        if (q.type == GraphType::average)
            slot += overlap / q.spp * v;
        else if (q.type == GraphType::maximum ? v > slot : v < slot)
            slot = v;
    }
}

// The seek and the backward walk over level. 1 when the seek found a
// malformed key or a cursor call failed (reported); an early end of the
// walk is no failure.
int get_values(const Request &q, uint16_t level)
{
    trace(2, "get_values: seeking for %d, %d, %u\n", q.unit, signed_level(level), q.end);
    SampleKey at{q.unit, level, q.end};
    StoreRecord r;
    Seek how = Seek::cursor;
    Found f = store_seek(how, &at, &r);
    if (f == Found::end) {
        // Nothing at or after the key: the walk starts at the last record.
        how = Seek::last;
        f = store_seek(how, nullptr, &r);
    } else if (f == Found::record) {
        if (!r.key_valid)
            return 1;
        trace(2, "get_values: first %d, %d, %u\n", r.key.unit, r.key.level, r.key.ts);
        if (!record_in(r, q.unit, level)) {
            trace(2, "get_values: first past end, prev\n");
            how = Seek::prev;
            f = store_seek(how, nullptr, &r);
        }
    }
    bool have_tt = false;
    uint32_t tt = 0;
    SampleRecord s;
    while (f == Found::record && r.key_valid) {
        trace(2, "get_values: got %d, %d, %u\n", r.key.unit, r.key.level, r.key.ts);
        if (!record_in(r, q.unit, level) || r.key.ts < q.beg) {
            trace(1, "get_values: end of sequence\n");
            break;
        }
        if (!record_sample(r, &s))
            break;
        double v = q.type == GraphType::minimum   ? s.min
                   : q.type == GraphType::average ? s.avg
                                                  : s.max;
        trace(2, "get_values: tt %u, ts %u, diff %u, v %.2f\n", tt, r.key.ts, tt - r.key.ts, v);
        if (!have_tt) {
            tt = q.end;
            have_tt = true;
        }
        get_values_resample(q, tt, r.key.ts, v);
        tt = r.key.ts;
        how = Seek::prev;
        f = store_seek(how, nullptr, &r);
    }
    if (f == Found::error) {
        report_seek_error(__func__, how);
        return 1;
    }
    return 0;
}

} // namespace

int data_get_values(int unit, uint32_t beg, uint32_t end, GraphType type, uint32_t siz,
                    double *values, int report)
{
    if (beg >= end) {
        message("get_values: beg %u >= end %u", beg, end);
        return 1;
    }
    if (type != GraphType::minimum && type != GraphType::average && type != GraphType::maximum) {
        message("get_values: invalid type %d", static_cast<int>(type));
        return 1;
    }
    Request q{static_cast<uint16_t>(unit), beg, end, type, siz, values, end - beg, 0};
    // With no columns there is nothing to fill (and no bucket width).
    q.spp = siz != 0 ? static_cast<double>(q.span) / siz : 0;
    double initial = type == GraphType::minimum   ? EMPTY_MARK
                     : type == GraphType::average ? 0.0
                                                  : -EMPTY_MARK;
    for (uint32_t b = 0; b < siz; b++)
        values[b] = initial;

    int level;
    int r = get_values_find_level(q, &level);
    if (r != 0)
        return 1;
    if (get_values(q, static_cast<uint16_t>(level)) != 0)
        return 1;

    // Buckets that no record reached still hold their marker.
    double largest = -EMPTY_MARK;
    for (uint32_t b = 0; b < siz; b++) {
        if (values[b] <= -EMPTY_MARK || values[b] >= EMPTY_MARK)
            values[b] = 0.0;
        if (values[b] > largest)
            largest = values[b];
    }
    trace(1, "get_values: maximum (%u values) %.2f\n", siz, largest);
    if (report != 0)
        return quick_report(values, siz);
    return 0;
}

} // namespace dorvane
