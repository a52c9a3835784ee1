// The engine's benchmarks. Every case runs twice in this one binary: as
// dorvane does it ("<case>/dorvane") and as the bare library call that it
// cannot avoid ("<case>/bare"), on the same data, so that their ratio means
// something on a loaded machine. bench/run prints the table.
//
//   dorvane_bench [--tiny] [benchmark flags]   run the cases
//   dorvane_bench --make-store=PATH            write the year-long store
//   dorvane_bench --make-units-store=PATH      write 500 units of a year each
//   dorvane_bench --make-runs-store=PATH       write a year of runs of 10 units
//   dorvane_bench --walk=PATH                  walk every record, bare
//   dorvane_bench --check-floor                check the insertion floor
//
// --tiny shrinks every data set so that the test run only checks that each
// case still builds and runs; its times mean nothing.
#include <db.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gd.h>

#include "config/config.h"
#include "pool/pool.h"
#include "render/render.h"
#include "store/store.h"

namespace {

using namespace dorvane;

// 2023-11-14 22:13:20 UTC: the first sample of every data set.
constexpr uint32_t T0 = 1700000000;
constexpr uint32_t DAY = 86400;
constexpr uint32_t YEAR = 365 * DAY;

// Sizes of the data sets; --tiny shrinks them.
struct Sizes {
    uint32_t year;          // seconds of one-minute samples of unit 1
    uint32_t neighbours;    // seconds of hourly samples of units 0 and 2
    uint32_t maint_records; // records of the copy and truncate store
    uint32_t inserts;       // samples per insertion run (a fresh store each)
    uint32_t runs_days;     // days of one-minute runs of the compaction store
    int keep_raw;           // days of raw samples that its truncations keep
};
Sizes sizes = {YEAR, YEAR, 1000000, 100000, 365, 30};
const Sizes tiny = {3 * DAY, 3 * DAY, 2000, 100, 3, 1};

// A directory under /tmp that is removed with its (flat) contents.
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/dorvane-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            perror("mkdtemp");
            exit(1);
        }
        path = tmpl;
    }
    ~TempDir()
    {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    std::string file(const char *name) const { return path + "/" + name; }
};

TempDir *scratch; // the process's scratch directory, made by main

// A case that could not run fails the whole run, not only its line.
bool failed;
void fail(benchmark::State &st, const char *what)
{
    failed = true;
    st.SkipWithError(what);
}

// --- The bare library ---------------------------------------------------

void quiet(const DB_ENV *, const char *, const char *) {}

// Opened as the store opens its file, with the same cache: with the
// library's default of 256 KiB the bare side would write pages out while
// it is timed, where the store keeps them until its close.
DB *bare_open(const std::string &path)
{
    DB *db;
    if (db_create(&db, nullptr, 0) != 0)
        return nullptr;
    db->set_errcall(db, quiet);
    if (db->set_cachesize(db, 0, 32u << 20, 1) != 0 ||
        db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, DB_CREATE, 0600) != 0) {
        db->close(db, 0);
        return nullptr;
    }
    return db;
}

DBT dbt(void *data, uint32_t size)
{
    DBT t;
    memset(&t, 0, sizeof t);
    t.data = data;
    t.size = size;
    return t;
}

int bare_put(DB *db, SampleKey k, const void *value, uint32_t size)
{
    unsigned char kb[KEY_SIZE];
    key_encode(k, kb);
    DBT key = dbt(kb, sizeof kb);
    DBT val = dbt(const_cast<void *>(value), size);
    return db->put(db, nullptr, &key, &val, 0);
}

// A cursor step: 0 with the decoded key, DB_NOTFOUND, or an error.
int bare_step(DBC *c, DBT *key, DBT *val, uint32_t flags, SampleKey *k)
{
    int r = c->get(c, key, val, flags);
    if (r == 0) {
        if (key->size != KEY_SIZE)
            return EINVAL;
        *k = key_decode(static_cast<const unsigned char *>(key->data));
    }
    return r;
}

// The compaction that a truncation makes when it deleted this much: two
// passes of the library's own, pages filled to 94 %.
int bare_compact(DB *db)
{
    for (int pass = 0; pass < 2; pass++) {
        DB_COMPACT c;
        memset(&c, 0, sizeof c);
        c.compact_fillpercent = 94;
        int r = db->compact(db, nullptr, nullptr, nullptr, &c, DB_FREE_SPACE, nullptr);
        if (r != 0)
            return r;
    }
    return 0;
}

bool file_copy(const std::string &from, const std::string &to)
{
    std::string cmd = "cp '" + from + "' '" + to + "'";
    return system(cmd.c_str()) == 0;
}

// --- Data sets ----------------------------------------------------------

// Fills path with a year of one-minute samples of unit 1, consolidated as
// the tool does it, with hourly samples of unit 0 and of a differential
// unit 2 around it.
bool make_year_store(const std::string &path)
{
    if (data_open(path.c_str()) != 0)
        return false;
    bool ok = true;
    for (uint32_t t = 0; ok && t < sizes.neighbours; t += 3600) {
        ok = data_put_value(0, T0 + t, 0, 0, 0, (t / 3600) % 24) == 0 &&
             data_put_value(0, T0 + t, 2, 1, 0, t * 0.5) == 0;
    }
    for (uint32_t t = 0; ok && t < sizes.year; t += 60)
        ok = data_put_value(0, T0 + t, 1, 0, 0, 50 + 40 * sin(t / 3600.0)) == 0;
    return data_close() == 0 && ok;
}

const std::string &year_store()
{
    static std::string path;
    if (path.empty()) {
        path = scratch->file("year.db");
        if (!make_year_store(path)) {
            fprintf(stderr, "could not build %s\n", path.c_str());
            exit(1);
        }
    }
    return path;
}

// maint_records records in key order: ten units, each with 90% of its
// records at level 0 a minute apart, 9% at level 1, 0.9% at level 2, the
// rest but one at level 3, and a last-value record.
const std::string &maint_store()
{
    static std::string path;
    if (!path.empty())
        return path;
    path = scratch->file("maint.db");
    DB *db = bare_open(path);
    bool ok = db != nullptr;
    const uint32_t per_unit = sizes.maint_records / 10;
    const uint32_t levels[] = {per_unit * 9 / 10, per_unit * 9 / 100, per_unit * 9 / 1000};
    for (uint16_t u = 1; ok && u <= 10; u++) {
        uint32_t written = 0;
        for (uint16_t level = 0; ok && level <= 3; level++) {
            uint32_t n = level < 3 ? levels[level] : per_unit - 1 - std::min(written, per_unit - 1);
            uint32_t step = 60 * static_cast<uint32_t>(pow(9, level));
            for (uint32_t i = 0; ok && i < n; i++) {
                SampleRecord s{1.0 * i, 2.0 * i, 3.0 * i};
                ok = bare_put(db, {u, level, T0 + i * step}, &s, sizeof s) == 0;
            }
            written += n;
        }
        LastRecord l{0, T0 + levels[0] * 60, 1.0};
        ok = ok && bare_put(db, {u, LAST_LEVEL, 0}, &l, sizeof l) == 0;
    }
    if (db == nullptr || db->close(db, 0) != 0 || !ok) {
        fprintf(stderr, "could not build %s\n", path.c_str());
        exit(1);
    }
    return path;
}

// units units of a year of hourly samples each, consolidated as the tool
// does it, and a last-value record for every other unit: the store that
// dorvane-store list is measured on. Written in key order with bare puts,
// which make the same records as data_put_value far faster.
bool make_units_store(const std::string &path, uint16_t units)
{
    DB *db = bare_open(path);
    bool ok = db != nullptr;
    const uint32_t samples = sizes.neighbours / 3600;
    for (uint16_t u = 0; ok && u < units; u++) {
        // Each level holds one record for each batch of the level below:
        // the first after 10 records, each later one after 9 more.
        uint32_t count = samples;
        uint32_t step = 3600;
        for (uint16_t level = 0; ok && count > 0; level++) {
            for (uint32_t i = 0; ok && i < count; i++) {
                double v = u + sin(i / 24.0);
                SampleRecord s{v - 1, v, v + 1};
                // A summary takes the time of the newest record of its batch.
                const uint32_t ts = T0 + (level == 0 ? i : i + 1) * step;
                ok = bare_put(db, {u, level, ts}, &s, sizeof s) == 0;
            }
            count = count >= BATCH_SIZE ? (count - 1) / (BATCH_SIZE - 1) : 0;
            step *= BATCH_SIZE - 1;
        }
        if (u % 2 == 1) {
            LastRecord l{0, T0 + (samples - 1) * 3600, 1.0 * u};
            ok = ok && bare_put(db, {u, LAST_LEVEL, 0}, &l, sizeof l) == 0;
        }
    }
    return db != nullptr && db->close(db, 0) == 0 && ok;
}

// One bare walk over every record of the store at path: the least that
// reading all of it costs. Prints the count, so that nothing is left out.
int bare_walk(const std::string &path)
{
    DB *db;
    if (db_create(&db, nullptr, 0) != 0)
        return 1;
    db->set_errcall(db, quiet);
    DBC *c;
    if (db->set_cachesize(db, 0, 32u << 20, 1) != 0 ||
        db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, DB_RDONLY, 0) != 0 ||
        db->cursor(db, nullptr, &c, 0) != 0) {
        db->close(db, 0);
        return 1;
    }
    DBT key = dbt(nullptr, 0), val = dbt(nullptr, 0);
    uint64_t records = 0;
    int r;
    while ((r = c->get(c, &key, &val, DB_NEXT)) == 0)
        records++;
    c->close(c);
    db->close(db, 0);
    printf("%llu records\n", static_cast<unsigned long long>(records));
    return r == DB_NOTFOUND ? 0 : 1;
}

// Ten units of one-minute samples over days days from from, stored as cron
// runs store them: for each minute, a sample of every unit. The store is
// committed once an hour of runs: a commit changes no page's place in the
// tree, so the file has the shape that one process per minute gives it,
// without 525,600 processes.
constexpr int RUN_UNITS = 10;
bool add_runs(const std::string &path, uint32_t from, uint32_t days)
{
    bool ok = true;
    for (uint32_t hour = 0; ok && hour < days * 24; hour++) {
        if (data_open(path.c_str()) != 0)
            return false;
        for (uint32_t m = 0; ok && m < 60; m++) {
            const uint32_t t = from + (hour * 60 + m) * 60;
            for (int u = 1; ok && u <= RUN_UNITS; u++)
                ok = data_put_value(0, t, u, 0, 0, 50 + 40 * sin(t / 3600.0 + u)) == 0;
        }
        ok = data_close() == 0 && ok;
    }
    return ok;
}

off_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// data_open, data_truncate_at, data_close; false on any failure.
bool truncate_store(const std::string &path, uint32_t now)
{
    if (data_open(path.c_str()) != 0)
        return false;
    int r = data_truncate_at(now, sizes.keep_raw, 730);
    return data_close() == 0 && r == 0;
}

// The records of the store at path, counted with a bare walk.
uint32_t count_records(const std::string &path)
{
    DB *db = bare_open(path);
    DBC *c;
    if (db == nullptr || db->cursor(db, nullptr, &c, 0) != 0)
        return 0;
    DBT key = dbt(nullptr, 0), val = dbt(nullptr, 0);
    uint32_t records = 0;
    while (c->get(c, &key, &val, DB_NEXT) == 0)
        records++;
    c->close(c);
    db->close(db, 0);
    return records;
}

// The size of a packed copy (-f) of the store at path, and its records.
off_t packed_size(const std::string &path, uint32_t *records)
{
    std::string copy = path + ".packed";
    unlink(copy.c_str());
    bool ok = data_open(path.c_str()) == 0 && data_copy(copy.c_str()) == 0;
    ok = data_close() == 0 && ok;
    *records = count_records(copy);
    off_t size = ok ? file_size(copy) : -1;
    unlink(copy.c_str());
    return size;
}

// A year of runs of ten units, truncated as the daily cron line does
// (-t 30:730), then kept in a steady state: a day of runs, a truncation,
// eight times. What it measured, and the states before a truncation that
// compacted and before one that found the pages full.
struct Steady {
    bool made;
    off_t grown, grown_packed; // the store of runs, and a packed copy of it
    uint32_t grown_records;
    off_t first, first_packed; // after the first truncation
    uint32_t first_records;
    double steady_worst;          // largest file / packed copy over the days
    std::string compacting, full; // stores before those truncations
    uint32_t compacting_now, full_now;
};

const Steady &steady()
{
    static Steady s;
    if (s.made)
        return s;
    s.made = true;
    const std::string path = scratch->file("runs.db");
    uint32_t now = T0 + sizes.runs_days * DAY;
    bool ok = add_runs(path, T0, sizes.runs_days);
    s.grown = file_size(path);
    s.grown_packed = packed_size(path, &s.grown_records);
    ok = ok && truncate_store(path, now);
    s.first = file_size(path);
    s.first_packed = packed_size(path, &s.first_records);
    s.steady_worst = 0;
    for (int day = 0; ok && day < 8; day++) {
        ok = add_runs(path, now, 1);
        now += DAY;
        const off_t before = file_size(path);
        const std::string kept = scratch->file("steady-before.db");
        ok = ok && file_copy(path, kept) && truncate_store(path, now);
        const bool compacted = file_size(path) < before;
        std::string &keep = compacted ? s.compacting : s.full;
        if (keep.empty()) {
            keep = scratch->file(compacted ? "steady-compacting.db" : "steady-full.db");
            ok = ok && rename(kept.c_str(), keep.c_str()) == 0;
            (compacted ? s.compacting_now : s.full_now) = now;
        }
        uint32_t records;
        const off_t packed = packed_size(path, &records);
        // The file before the truncation held a day more: the worst case.
        s.steady_worst = std::max(s.steady_worst, static_cast<double>(before) / packed);
    }
    // A tiny store grows by a large share each day and compacts every
    // day; its times mean nothing anyway.
    if (sizes.runs_days == tiny.runs_days && s.full.empty()) {
        s.full = s.compacting;
        s.full_now = s.compacting_now;
    }
    if (!ok || s.compacting.empty() || s.full.empty()) {
        fprintf(stderr, "could not build the steady stores\n");
        exit(1);
    }
    return s;
}

// --- Insertion ------------------------------------------------------------

// One sample a minute of a plain unit, consolidation included.
void insert_dorvane(benchmark::State &st)
{
    std::string path = scratch->file("insert.db");
    unlink(path.c_str());
    if (data_open(path.c_str()) != 0)
        return fail(st, "data_open");
    uint32_t t = T0;
    for (auto _ : st) {
        if (data_put_value(0, t, 1, 0, 0, t % 1000) != 0)
            return fail(st, "data_put_value");
        t += 60;
    }
    if (data_close() != 0)
        fail(st, "data_close");
    unlink(path.c_str());
}

// The same level-0 records put alone. The file starts with one record one
// level up, so that the samples go, as in the tool's store, in front of
// their unit's summaries rather than at the end of the file.
void insert_bare(benchmark::State &st)
{
    std::string path = scratch->file("insert-bare.db");
    unlink(path.c_str());
    DB *db = bare_open(path);
    SampleRecord above{0, 0, 0};
    if (db == nullptr || bare_put(db, {1, 1, T0}, &above, sizeof above) != 0)
        return fail(st, "bare open");
    uint32_t t = T0;
    for (auto _ : st) {
        double v = t % 1000;
        SampleRecord s{v, v, v};
        if (bare_put(db, {1, 0, t}, &s, sizeof s) != 0)
            return fail(st, "put");
        t += 60;
    }
    db->close(db, 0);
    unlink(path.c_str());
}

// The library calls that the store's format asks of each insertion, made
// bare and in the same order: the put; a seek just past the level above and
// a step back, for its newest record; a bulk read of the batch from there.
// A full batch climbs a level the same way. Without checks, traces or
// record validation: what dorvane costs beyond this is its own.
int floor_insert(DB *db, DBC *c, uint32_t ts, double value)
{
    alignas(64) static unsigned char bulk[65536];
    uint32_t page;
    if (db->get_pagesize(db, &page) != 0 || page > sizeof bulk)
        return 1;
    double mn = value, avg = value, mx = value;
    for (uint16_t level = 0;; level++) {
        SampleRecord rec{mn, avg, mx};
        if (bare_put(db, {1, level, ts}, &rec, sizeof rec) != 0)
            return 1;
        unsigned char kb[KEY_SIZE];
        key_encode({1, static_cast<uint16_t>(level + 1), UINT32_MAX}, kb);
        DBT key = dbt(kb, sizeof kb), val = dbt(nullptr, 0);
        SampleKey k;
        int r = bare_step(c, &key, &val, DB_SET_RANGE, &k);
        if (r == 0 || r == DB_NOTFOUND)
            r = bare_step(c, &key, &val, r == 0 ? DB_PREV : DB_LAST, &k);
        if (r != 0 && r != DB_NOTFOUND)
            return 1;
        const uint32_t since = r == 0 && k.unit == 1 && k.level == level + 1 ? k.ts : 0;

        key_encode({1, level, since}, kb);
        key = dbt(kb, sizeof kb);
        DBT buf = dbt(bulk, 0);
        buf.ulen = (page + 1023) / 1024 * 1024;
        buf.flags = DB_DBT_USERMEM;
        unsigned count = 0;
        double lo = EMPTY_MARK, hi = -EMPTY_MARK, sum = 0, prev_avg = 0;
        uint32_t first = since, prev = since;
        bool in_batch = true;
        for (u_int32_t how = DB_SET_RANGE; in_batch; how = DB_NEXT) {
            r = c->get(c, &key, &buf, how | DB_MULTIPLE_KEY);
            if (r == DB_NOTFOUND)
                break;
            if (r != 0)
                return 1;
            void *p;
            DB_MULTIPLE_INIT(p, &buf);
            for (;;) {
                void *kd, *vd;
                u_int32_t kl, vl;
                DB_MULTIPLE_KEY_NEXT(p, &buf, kd, kl, vd, vl);
                if (p == nullptr)
                    break;
                SampleKey at = key_decode(static_cast<unsigned char *>(kd));
                if (kl != KEY_SIZE || vl != sizeof rec || at.unit != 1 || at.level != level) {
                    in_batch = false;
                    break;
                }
                memcpy(&rec, vd, sizeof rec);
                if (first == 0)
                    first = at.ts;
                count++;
                lo = std::min(lo, rec.min);
                hi = std::max(hi, rec.max);
                sum += static_cast<double>(at.ts - prev) * prev_avg;
                prev = at.ts;
                prev_avg = rec.avg;
            }
        }
        if (count < BATCH_SIZE)
            return 0;
        mn = lo;
        mx = hi;
        avg = first < prev ? sum / (prev - first) : sum;
    }
}

void insert_floor(benchmark::State &st)
{
    std::string path = scratch->file("insert-floor.db");
    unlink(path.c_str());
    DB *db = bare_open(path);
    DBC *c;
    if (db == nullptr || db->cursor(db, nullptr, &c, 0) != 0)
        return fail(st, "bare open");
    uint32_t t = T0;
    for (auto _ : st) {
        if (floor_insert(db, c, t, t % 1000) != 0)
            return fail(st, "floor insert");
        t += 60;
    }
    c->close(c);
    db->close(db, 0);
    unlink(path.c_str());
}

// The floor is a fair baseline only while it makes the records that
// data_put_value makes: both write the same samples into their own file,
// and every key and value must be equal. 0 when they are.
int check_floor(uint32_t samples)
{
    std::string ours = scratch->file("check-dorvane.db"), floor = scratch->file("check-floor.db");
    if (data_open(ours.c_str()) != 0)
        return 1;
    DB *db = bare_open(floor);
    DBC *c;
    if (db == nullptr || db->cursor(db, nullptr, &c, 0) != 0)
        return 1;
    bool ok = true;
    for (uint32_t i = 0; ok && i < samples; i++) {
        const uint32_t t = T0 + i * 60;
        ok = data_put_value(0, t, 1, 0, 0, 50 + 40 * sin(i / 60.0)) == 0 &&
             floor_insert(db, c, t, 50 + 40 * sin(i / 60.0)) == 0;
    }
    c->close(c);
    ok = data_close() == 0 && db->close(db, 0) == 0 && ok;
    DB *a = bare_open(ours), *b = bare_open(floor);
    DBC *ca, *cb;
    if (!ok || a == nullptr || b == nullptr || a->cursor(a, nullptr, &ca, 0) != 0 ||
        b->cursor(b, nullptr, &cb, 0) != 0)
        return 1;
    DBT ka = dbt(nullptr, 0), va = dbt(nullptr, 0), kb = dbt(nullptr, 0), vb = dbt(nullptr, 0);
    int ra, rb;
    uint32_t records = 0;
    auto same = [](const DBT &x, const DBT &y) {
        return x.size == y.size && memcmp(x.data, y.data, x.size) == 0;
    };
    while ((ra = ca->get(ca, &ka, &va, DB_NEXT)) == 0 &&
           (rb = cb->get(cb, &kb, &vb, DB_NEXT)) == 0 && same(ka, kb) && same(va, vb))
        records++;
    if (ra == DB_NOTFOUND)
        rb = cb->get(cb, &kb, &vb, DB_NEXT);
    ca->close(ca);
    cb->close(cb);
    a->close(a, 0);
    b->close(b, 0);
    if (ra != DB_NOTFOUND || rb != DB_NOTFOUND) {
        fprintf(stderr, "floor and data_put_value differ after %u equal records\n", records);
        return 1;
    }
    printf("floor and data_put_value wrote the same %u records\n", records);
    return 0;
}

// --- Retrieval ------------------------------------------------------------

constexpr uint32_t COLUMNS = 507; // plot width of a 640 x 320 image

void retrieve_dorvane(benchmark::State &st, uint32_t days)
{
    const uint32_t span = std::min(days * DAY, sizes.year);
    const uint32_t end = T0 + sizes.year, beg = end - span;
    static double values[COLUMNS];
    if (data_open(year_store().c_str()) != 0)
        return fail(st, "data_open");
    for (auto _ : st) {
        if (data_get_values(1, beg, end, GraphType::average, COLUMNS, values, 0) != 0)
            return fail(st, "data_get_values");
        benchmark::DoNotOptimize(values);
    }
    if (data_close() != 0)
        fail(st, "data_close");
}

// The records that a request reads, walked with the bare cursor: the
// highest level, the count of each level tried over the whole range (as
// the traces print it), and the chosen level from the end of the range
// back to its start.
[[gnu::noinline]] double bare_retrieve(DBC *c, uint16_t unit, uint32_t beg, uint32_t end,
                                       uint32_t siz)
{
    unsigned char kb[KEY_SIZE];
    DBT key, val;
    SampleKey k;
    auto seek = [&](SampleKey at, uint32_t flags) {
        key_encode(at, kb);
        key = dbt(kb, sizeof kb);
        val = dbt(nullptr, 0);
        return bare_step(c, &key, &val, flags, &k);
    };
    int r = seek({unit, LAST_LEVEL - 1, 0}, DB_SET_RANGE);
    r = bare_step(c, &key, &val, r == 0 ? DB_PREV : DB_LAST, &k);
    int highest = r == 0 && k.unit == unit ? static_cast<int16_t>(k.level) : 0;
    int chosen = 0;
    double sink = 0;
    for (int level = highest; level >= 1 && chosen == 0; level--) {
        uint32_t count = 0;
        for (r = seek({unit, static_cast<uint16_t>(level), beg}, DB_SET_RANGE);
             r == 0 && k.unit == unit && k.level == level && k.ts <= end;
             r = bare_step(c, &key, &val, DB_NEXT, &k))
            count++;
        if (count >= siz + 32)
            chosen = level;
        sink += count;
    }
    const auto level = static_cast<uint16_t>(chosen);
    r = seek({unit, level, end}, DB_SET_RANGE);
    if (r == DB_NOTFOUND)
        r = bare_step(c, &key, &val, DB_LAST, &k);
    else if (r == 0 && (k.unit != unit || k.level != level))
        r = bare_step(c, &key, &val, DB_PREV, &k);
    for (; r == 0 && k.unit == unit && k.level == level && k.ts >= beg;
         r = bare_step(c, &key, &val, DB_PREV, &k)) {
        double avg;
        if (val.size != sizeof(SampleRecord))
            break;
        memcpy(&avg, static_cast<const char *>(val.data) + offsetof(SampleRecord, avg), sizeof avg);
        sink += avg;
    }
    return sink;
}

void retrieve_bare(benchmark::State &st, uint32_t days)
{
    const uint32_t span = std::min(days * DAY, sizes.year);
    const uint32_t end = T0 + sizes.year, beg = end - span;
    DB *db = bare_open(year_store());
    DBC *c;
    if (db == nullptr || db->cursor(db, nullptr, &c, 0) != 0)
        return fail(st, "bare open");
    for (auto _ : st)
        benchmark::DoNotOptimize(bare_retrieve(c, 1, beg, end, COLUMNS));
    c->close(c);
    db->close(db, 0);
}

// --- Copy and truncate ------------------------------------------------------

void copy_dorvane(benchmark::State &st)
{
    const std::string &src = maint_store();
    std::string target = scratch->file("copy.db");
    for (auto _ : st) {
        st.PauseTiming();
        unlink(target.c_str());
        st.ResumeTiming();
        if (data_open(src.c_str()) != 0)
            return fail(st, "data_open");
        int r = data_copy(target.c_str());
        if (data_close() != 0 || r != 0)
            return fail(st, "data_copy");
    }
    unlink(target.c_str());
}

void copy_bare(benchmark::State &st)
{
    const std::string &src = maint_store();
    std::string target = scratch->file("copy-bare.db");
    for (auto _ : st) {
        st.PauseTiming();
        unlink(target.c_str());
        st.ResumeTiming();
        DB *from = bare_open(src), *to = bare_open(target);
        DBC *c;
        if (from == nullptr || to == nullptr || from->cursor(from, nullptr, &c, 0) != 0)
            return fail(st, "bare open");
        DBT key = dbt(nullptr, 0), val = dbt(nullptr, 0);
        int r;
        while ((r = c->get(c, &key, &val, DB_NEXT)) == 0)
            if (to->put(to, nullptr, &key, &val, 0) != 0)
                return fail(st, "put");
        c->close(c);
        from->close(from, 0);
        if (r != DB_NOTFOUND || to->sync(to, 0) != 0 || to->close(to, 0) != 0)
            return fail(st, "bare copy");
    }
    unlink(target.c_str());
}

// Level-0 and last-value records older than a month go, consolidated ones
// stay: about half of the store.
constexpr int KEEP_RAW_DAYS = 31;
uint32_t truncate_now()
{
    return T0 + sizes.maint_records / 10 * 9 / 10 * 60;
}

// Walks the store at path with the bare cursor and deletes what a
// truncation with these cutoffs deletes, compacts it as the library would
// when compact, and syncs it: null, or the step that failed.
const char *bare_truncate(const std::string &path, uint32_t cut0, uint32_t cut1, bool compact)
{
    DB *db = bare_open(path);
    DBC *c;
    if (db == nullptr || db->cursor(db, nullptr, &c, 0) != 0)
        return "bare open";
    DBT key = dbt(nullptr, 0), val = dbt(nullptr, 0);
    SampleKey k;
    int r;
    while ((r = bare_step(c, &key, &val, DB_NEXT, &k)) == 0) {
        uint32_t ts = k.ts;
        if (k.level == LAST_LEVEL)
            memcpy(&ts, static_cast<const char *>(val.data) + offsetof(LastRecord, ts), sizeof ts);
        if (ts < (k.level == 0 || k.level == LAST_LEVEL ? cut0 : cut1) && c->del(c, 0) != 0)
            return "del";
    }
    c->close(c);
    if (r != DB_NOTFOUND || (compact && bare_compact(db) != 0) || db->sync(db, 0) != 0 ||
        db->close(db, 0) != 0)
        return "bare truncate";
    return nullptr;
}

void truncate_dorvane(benchmark::State &st)
{
    const std::string &src = maint_store();
    std::string work = scratch->file("truncate.db");
    for (auto _ : st) {
        st.PauseTiming();
        if (!file_copy(src, work))
            return fail(st, "cp");
        st.ResumeTiming();
        if (data_open(work.c_str()) != 0)
            return fail(st, "data_open");
        int r = data_truncate_at(truncate_now(), KEEP_RAW_DAYS, 365);
        if (data_close() != 0 || r != 0)
            return fail(st, "data_truncate");
    }
    unlink(work.c_str());
}

void truncate_bare(benchmark::State &st)
{
    const std::string &src = maint_store();
    std::string work = scratch->file("truncate-bare.db");
    const uint32_t cut0 = truncate_now() - KEEP_RAW_DAYS * DAY;
    const uint32_t cut1 = truncate_now() - 365 * DAY;
    for (auto _ : st) {
        st.PauseTiming();
        if (!file_copy(src, work))
            return fail(st, "cp");
        st.ResumeTiming();
        if (const char *failed_step = bare_truncate(work, cut0, cut1, true))
            return fail(st, failed_step);
    }
    unlink(work.c_str());
}

// A daily truncation of the steady store, on a day it compacts and on a day
// it finds the pages full, against the bare walk that deletes the same
// records: what the truncation costs beyond its walk.
void steady_dorvane(benchmark::State &st, bool compacting)
{
    const Steady &s = steady();
    std::string work = scratch->file("steady.db");
    for (auto _ : st) {
        st.PauseTiming();
        if (!file_copy(compacting ? s.compacting : s.full, work))
            return fail(st, "cp");
        st.ResumeTiming();
        if (!truncate_store(work, compacting ? s.compacting_now : s.full_now))
            return fail(st, "data_truncate");
    }
    unlink(work.c_str());
}

void steady_bare(benchmark::State &st, bool compacting)
{
    const Steady &s = steady();
    std::string work = scratch->file("steady-bare.db");
    const uint32_t now = compacting ? s.compacting_now : s.full_now;
    const uint32_t cut0 = now - sizes.keep_raw * DAY, cut1 = now - 730 * DAY;
    for (auto _ : st) {
        st.PauseTiming();
        if (!file_copy(compacting ? s.compacting : s.full, work))
            return fail(st, "cp");
        st.ResumeTiming();
        if (const char *failed_step = bare_truncate(work, cut0, cut1, false))
            return fail(st, failed_step);
    }
    unlink(work.c_str());
}

// Not timed: the sizes of the steady store, as counters for the table.
void sizes_case(benchmark::State &st)
{
    const Steady &s = steady();
    for (auto _ : st)
        benchmark::DoNotOptimize(s.made);
    st.counters["grown"] = static_cast<double>(s.grown);
    st.counters["grown_packed"] = static_cast<double>(s.grown_packed);
    st.counters["grown_records"] = s.grown_records;
    st.counters["first"] = static_cast<double>(s.first);
    st.counters["first_packed"] = static_cast<double>(s.first_packed);
    st.counters["first_records"] = s.first_records;
    st.counters["steady_worst"] = s.steady_worst;
}

// --- Drawing ----------------------------------------------------------------

// A 640 x 320 image over the last day with two graphs, one per side.
struct Drawing {
    Pool *pool;
    ImageSpec *images = nullptr;
    std::vector<double> left, right;

    explicit Drawing(const std::string &file) : pool(pool_create(1024))
    {
        graph_add_image(pool, &images, pool_strdup(pool, file.c_str()), Theme::white, 640, 320,
                        T0 - DAY, T0);
        graph_add_graph(pool, &images->right, images->plot_width, 2, "out", "bytes", 0x0000ff, 0, 1,
                        GraphType::average);
        graph_add_graph(pool, &images->left, images->plot_width, 1, "in", "bytes", 0x00cc00, 1, 1,
                        GraphType::average);
        for (int i = 0; i < images->plot_width; i++) {
            left.push_back(1e6 * (1.5 + sin(i / 40.0)));
            right.push_back(4e5 * (1.2 + cos(i / 25.0)));
        }
    }
    ~Drawing() { pool_destroy(pool); }
    // Rendering scales the values in place.
    void reset()
    {
        memcpy(images->left->values, left.data(), left.size() * sizeof(double));
        memcpy(images->right->values, right.data(), right.size() * sizeof(double));
    }
};

void draw_dorvane(benchmark::State &st)
{
    Drawing d(scratch->file("draw.png"));
    for (auto _ : st) {
        d.reset();
        if (graph_generate_images_at(d.images, T0, nullptr) != 0)
            return fail(st, "graph_generate_images");
    }
}

// gdImagePng alone, of the image that the tool drew.
void draw_bare(benchmark::State &st)
{
    std::string file = scratch->file("draw-bare.png");
    {
        Drawing d(file);
        d.reset();
        if (graph_generate_images_at(d.images, T0, nullptr) != 0)
            return fail(st, "graph_generate_images");
    }
    FILE *in = fopen(file.c_str(), "rb");
    gdImagePtr im = in != nullptr ? gdImageCreateFromPng(in) : nullptr;
    if (in != nullptr)
        fclose(in);
    if (im == nullptr)
        return fail(st, "gdImageCreateFromPng");
    for (auto _ : st) {
        FILE *out = fopen(file.c_str(), "wb");
        if (out == nullptr)
            return fail(st, "fopen");
        gdImagePng(im, out);
        if (fclose(out) != 0)
            return fail(st, "fclose");
    }
    gdImageDestroy(im);
}

void register_all()
{
    using benchmark::RegisterBenchmark;
    // A fixed count, so that both sides fill files of the same size.
    RegisterBenchmark("insert/dorvane", insert_dorvane)->Iterations(sizes.inserts);
    RegisterBenchmark("insert/bare", insert_bare)->Iterations(sizes.inserts);
    RegisterBenchmark("insert/floor", insert_floor)->Iterations(sizes.inserts);
    for (uint32_t days : {1, 30, 365}) {
        std::string name = "retrieve_" + std::to_string(days) + "d/";
        RegisterBenchmark((name + "dorvane").c_str(), retrieve_dorvane, days)
            ->Unit(benchmark::kMicrosecond);
        RegisterBenchmark((name + "bare").c_str(), retrieve_bare, days)
            ->Unit(benchmark::kMicrosecond);
    }
    struct Slow {
        const char *name;
        void (*fn)(benchmark::State &);
    };
    for (Slow c :
         {Slow{"copy/dorvane", copy_dorvane}, Slow{"copy/bare", copy_bare},
          Slow{"truncate/dorvane", truncate_dorvane}, Slow{"truncate/bare", truncate_bare}})
        RegisterBenchmark(c.name, c.fn)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    RegisterBenchmark("steady_compacting/dorvane", steady_dorvane, true)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    RegisterBenchmark("steady_compacting/bare", steady_bare, true)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    RegisterBenchmark("steady_full/dorvane", steady_dorvane, false)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    RegisterBenchmark("steady_full/bare", steady_bare, false)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    RegisterBenchmark("sizes", sizes_case)->Iterations(1);
    RegisterBenchmark("draw/dorvane", draw_dorvane)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("draw/bare", draw_bare)->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char **argv)
{
    const char *make_store = nullptr, *make_units = nullptr, *make_runs = nullptr, *walk = nullptr;
    bool check = false;
    std::vector<char *> args;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--tiny") == 0)
            sizes = tiny;
        else if (strcmp(argv[i], "--check-floor") == 0)
            check = true;
        else if (strncmp(argv[i], "--make-store=", 13) == 0)
            make_store = argv[i] + 13;
        else if (strncmp(argv[i], "--make-units-store=", 19) == 0)
            make_units = argv[i] + 19;
        else if (strncmp(argv[i], "--make-runs-store=", 18) == 0)
            make_runs = argv[i] + 18;
        else if (strncmp(argv[i], "--walk=", 7) == 0)
            walk = argv[i] + 7;
        else
            args.push_back(argv[i]);
    }
    TempDir dir;
    scratch = &dir;
    if (make_store != nullptr)
        return make_year_store(make_store) ? 0 : 1;
    if (make_units != nullptr)
        return make_units_store(make_units, sizes.year == tiny.year ? 20 : 500) ? 0 : 1;
    if (make_runs != nullptr)
        return add_runs(make_runs, T0, sizes.runs_days) ? 0 : 1;
    if (walk != nullptr)
        return bare_walk(walk);
    // Five levels of consolidation.
    if (check)
        return check_floor(20000);

    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data()))
        return 1;
    register_all();
    size_t ran = benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return ran > 0 && !failed ? 0 : 1;
}
