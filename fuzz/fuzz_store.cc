// A store file holding arbitrary records (keys and values of any size, any
// unit, level and time), written with the library's own API, then worked on
// through the store's operations in any order: new samples on top
// (consolidation over whatever is there), retrieval of every type with and
// without the report, truncation and copy, then close. Whatever the file
// held, the store must never write a malformed record, must keep every
// sample it reported as stored unless truncation was due to remove it,
// retrieval must neither change the store nor hand out an empty marker,
// a copy must hold exactly the valid records, and the file must read to
// its end.
#include <db.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "common/common.h"
#include "store/access.h"
#include "store/store.h"

#define FUZZ_NAME "fuzz_store"
#include "fuzz_check.h"

namespace {

using namespace dorvane;

using Records = std::map<std::string, std::string>;

// One directory for the whole run, removed at exit; in memory when the
// machine has /dev/shm, since every input syncs its files.
char work_dir[64];
std::string store_path, copy_path;

void remove_work_dir()
{
    unlink(store_path.c_str());
    unlink(copy_path.c_str());
    rmdir(work_dir);
}

void quiet_error(const DB_ENV *, const char *, const char *) {}

DB *raw_open(const std::string &path)
{
    DB *db;
    FUZZ_CHECK(db_create(&db, nullptr, 0) == 0);
    db->set_errcall(db, quiet_error);
    if (db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, DB_CREATE, 0600) != 0) {
        db->close(db, 0);
        return nullptr;
    }
    return db;
}

DBT dbt(const std::string &s)
{
    DBT t;
    memset(&t, 0, sizeof t);
    t.data = const_cast<char *>(s.data());
    t.size = static_cast<u_int32_t>(s.size());
    return t;
}

// Every record of the file at path, read with the library's own cursor.
// The walk must end at the end of the data, never at an error.
Records raw_dump(const std::string &path)
{
    Records out;
    DB *db = raw_open(path);
    FUZZ_CHECK(db != nullptr);
    DBC *c;
    FUZZ_CHECK(db->cursor(db, nullptr, &c, 0) == 0);
    DBT k, v;
    memset(&k, 0, sizeof k);
    memset(&v, 0, sizeof v);
    int r;
    while ((r = c->get(c, &k, &v, DB_NEXT)) == 0)
        out[std::string(static_cast<char *>(k.data), k.size)] =
            std::string(static_cast<char *>(v.data), v.size);
    FUZZ_CHECK(r == DB_NOTFOUND);
    c->close(c);
    db->close(db, 0);
    return out;
}

std::string key_bytes(uint16_t unit, uint16_t level, uint32_t ts)
{
    unsigned char k[KEY_SIZE];
    key_encode(SampleKey{unit, level, ts}, k);
    return std::string(reinterpret_cast<char *>(k), KEY_SIZE);
}

bool well_formed(const std::string &key, const std::string &value)
{
    if (key.size() != KEY_SIZE)
        return false;
    SampleKey k = key_decode(reinterpret_cast<const unsigned char *>(key.data()));
    return value.size() == (k.level == LAST_LEVEL ? sizeof(LastRecord) : sizeof(SampleRecord));
}

double pick_double(FuzzedDataProvider &in)
{
    static constexpr double special[] = {
        0.0,
        -0.0,
        1.0,
        -1.0,
        EMPTY_MARK,
        -EMPTY_MARK,
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::denorm_min(),
        4294967296.0,
        1e300,
    };
    if (in.ConsumeBool())
        return in.PickValueInArray(special);
    return in.ConsumeFloatingPoint<double>();
}

// Times near the run's clock, or anywhere.
uint32_t pick_time(FuzzedDataProvider &in, uint32_t now)
{
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return now - in.ConsumeIntegralInRange<uint32_t>(0, 3600);
    case 1:
        return now - in.ConsumeIntegralInRange<uint32_t>(0, 800) * 86400u;
    case 2:
        return in.PickValueInArray({0u, 1u, UINT32_MAX, UINT32_MAX - 1, now, now + 1});
    default:
        return in.ConsumeIntegral<uint32_t>();
    }
}

uint16_t pick_level(FuzzedDataProvider &in)
{
    if (in.ConsumeBool())
        return in.ConsumeIntegralInRange<uint16_t>(0, 3);
    return in.PickValueInArray<uint16_t>(
        {MAX_SAMPLE_LEVEL, 65534, LAST_LEVEL, 32767, 32768, in.ConsumeIntegral<uint16_t>()});
}

std::string pick_value(FuzzedDataProvider &in, uint16_t level, uint32_t now)
{
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: {
        SampleRecord s{pick_double(in), pick_double(in), pick_double(in)};
        return std::string(reinterpret_cast<char *>(&s), sizeof s);
    }
    case 1: {
        LastRecord l{in.ConsumeBool() ? 0u : in.ConsumeIntegral<uint32_t>(), pick_time(in, now),
                     pick_double(in)};
        return std::string(reinterpret_cast<char *>(&l), sizeof l);
    }
    case 2:
        return in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64));
    default: {
        // The right kind for the level, so that scans reach further.
        if (level == LAST_LEVEL) {
            LastRecord l{0, pick_time(in, now), pick_double(in)};
            return std::string(reinterpret_cast<char *>(&l), sizeof l);
        }
        double v = pick_double(in);
        SampleRecord s{v, v, v};
        return std::string(reinterpret_cast<char *>(&s), sizeof s);
    }
    }
}

// The damaged store: records of any shape, written past the store's code.
Records write_raw_store(FuzzedDataProvider &in, uint32_t now)
{
    Records written;
    DB *db = raw_open(store_path);
    FUZZ_CHECK(db != nullptr);
    int n = in.ConsumeIntegralInRange(0, 64);
    for (int i = 0; i < n && in.remaining_bytes() > 0; i++) {
        std::string key, value;
        uint16_t level = 0;
        if (in.ConsumeIntegralInRange(0, 7) == 0) {
            key = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 12));
        } else {
            level = pick_level(in);
            key = key_bytes(in.ConsumeIntegralInRange<uint16_t>(0, 3), level,
                            level == LAST_LEVEL && in.ConsumeBool() ? 0 : pick_time(in, now));
        }
        // A run of records one second apart, so that consolidation has
        // batches to find.
        int run = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange(1, 64);
        for (int j = 0; j < run; j++) {
            value = pick_value(in, level, now);
            if (key.empty())
                break; // the library refuses an empty key in a btree put
            DBT k = dbt(key), v = dbt(value);
            if (db->put(db, nullptr, &k, &v, 0) == 0)
                written[key] = value;
            if (key.size() != KEY_SIZE)
                break;
            SampleKey sk = key_decode(reinterpret_cast<const unsigned char *>(key.data()));
            key = key_bytes(sk.unit, sk.level, sk.ts + 1);
        }
    }
    FUZZ_CHECK(db->close(db, 0) == 0);
    return written;
}

// Every record of the open store, through its own handle.
Records store_dump()
{
    Records out;
    Slice k{nullptr, 0}, v{nullptr, 0};
    Found r = btree_seq(store_handle.db, &k, &v, Seek::first);
    while (r == Found::record) {
        out[std::string(reinterpret_cast<const char *>(k.data), k.size)] =
            v.data ? std::string(reinterpret_cast<const char *>(v.data), v.size) : std::string();
        r = btree_seq(store_handle.db, &k, &v, Seek::next);
    }
    FUZZ_CHECK(r == Found::end);
    return out;
}

void fuzz_get(FuzzedDataProvider &in, uint32_t now)
{
    int unit = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 3) : in.ConsumeIntegral<int>();
    uint32_t beg = pick_time(in, now);
    uint32_t end = in.ConsumeBool() ? beg + in.ConsumeIntegralInRange<uint32_t>(0, 100000)
                                    : pick_time(in, now);
    int type = in.ConsumeIntegralInRange(0, 4);
    // Few columns too, so that a consolidated level holds enough records
    // in the range to be chosen.
    uint32_t siz = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 16)
                                    : in.ConsumeIntegralInRange<uint32_t>(0, 700);
    int report = in.ConsumeBool();
    // One more entry than asked for: retrieval must not write past siz.
    constexpr double untouched = 12345.678;
    std::vector<double> values(siz + 1, untouched);
    Records before = store_dump();
    int r =
        data_get_values(unit, beg, end, static_cast<GraphType>(type), siz, values.data(), report);
    FUZZ_CHECK(r == 0 || r == 1);
    FUZZ_CHECK(values[siz] == untouched);
    if (beg >= end || type < 1 || type > 3) {
        FUZZ_CHECK(r == 1);
        for (double v : values)
            FUZZ_CHECK(v == untouched);
    }
    if (r == 0) {
        for (uint32_t i = 0; i < siz; i++)
            FUZZ_CHECK(!(values[i] >= EMPTY_MARK) && !(values[i] <= -EMPTY_MARK));
    }
    FUZZ_CHECK(store_dump() == before);
}

// Truncation at a clock of the input's choice; what it removes leaves the
// samples that must survive in *stored and *raw.
void fuzz_truncate(FuzzedDataProvider &in, uint32_t now, Records *stored, Records *raw)
{
    uint32_t at = pick_time(in, now);
    auto days = [&in] {
        return in.ConsumeBool() ? in.ConsumeIntegralInRange(1, 1000)
                                : in.PickValueInArray({1, 365, 20000, 50000, INT32_MAX});
    };
    int days0 = days(), days1 = days();
    auto cut = [at](int d) {
        int64_t t = static_cast<int64_t>(at) - static_cast<int64_t>(d) * 86400;
        return t < 0 ? 0u : static_cast<uint32_t>(t);
    };
    uint32_t cut0 = cut(days0), cut1 = cut(days1);
    Records before = store_dump();
    FUZZ_CHECK(data_truncate_at(at, days0, days1) == 0);
    Records after = store_dump();
    for (const auto &[key, value] : before) {
        bool kept = after.count(key) == 1;
        if (!well_formed(key, value)) {
            FUZZ_CHECK(!kept);
            continue;
        }
        SampleKey k = key_decode(reinterpret_cast<const unsigned char *>(key.data()));
        uint32_t ts = k.ts;
        if (k.level == LAST_LEVEL) {
            LastRecord l;
            memcpy(&l, value.data(), sizeof l);
            ts = l.ts;
        }
        bool due = ts < (k.level == 0 || k.level == LAST_LEVEL ? cut0 : cut1);
        FUZZ_CHECK(kept == !due);
        if (kept)
            FUZZ_CHECK(after[key] == value);
    }
    FUZZ_CHECK(after.size() <= before.size());
    for (auto *m : {stored, raw}) {
        for (auto it = m->begin(); it != m->end();)
            it = after.count(it->first) == 1 ? std::next(it) : m->erase(it);
    }
}

// A copy into a fresh file holds exactly the valid records of the store.
void fuzz_copy(FuzzedDataProvider &in)
{
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        FUZZ_CHECK(data_copy(store_path.c_str()) == 1); // never into itself
        return;
    }
    unlink(copy_path.c_str());
    Records source = store_dump();
    FUZZ_CHECK(data_copy(copy_path.c_str()) == 0);
    Records copy = raw_dump(copy_path);
    Records valid;
    for (const auto &[key, value] : source)
        if (well_formed(key, value))
            valid[key] = value;
    FUZZ_CHECK(copy == valid);
    FUZZ_CHECK(store_dump() == source);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    snprintf(work_dir, sizeof work_dir, "/dev/shm/dorvane-fuzz-store-XXXXXX");
    if (mkdtemp(work_dir) == nullptr) {
        snprintf(work_dir, sizeof work_dir, "/tmp/dorvane-fuzz-store-XXXXXX");
        if (mkdtemp(work_dir) == nullptr)
            abort();
    }
    store_path = std::string(work_dir) + "/store.db";
    copy_path = std::string(work_dir) + "/copy.db";
    atexit(remove_work_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    unlink(store_path.c_str());
    unlink(copy_path.c_str());
    verbosity = in.ConsumeIntegralInRange(0, 3);
    uint32_t now = static_cast<uint32_t>(time(nullptr));

    Records raw = write_raw_store(in, now);

    FUZZ_CHECK(data_open(store_path.c_str()) == 0);
    // Samples that the store said it stored, and must still hold at close.
    Records stored;
    uint32_t clock = now - in.ConsumeIntegralInRange<uint32_t>(0, 100000);
    int steps = in.ConsumeIntegralInRange(0, 80);
    for (int i = 0; i < steps; i++) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0:
            fuzz_truncate(in, now, &stored, &raw);
            continue;
        case 1:
            fuzz_copy(in);
            continue;
        case 2:
        case 3:
            fuzz_get(in, now);
            continue;
        default:
            break;
        }
        clock += in.ConsumeIntegralInRange<uint32_t>(0, 120);
        int unit = in.ConsumeIntegralInRange(0, 3);
        int diff = in.ConsumeIntegralInRange(0, 3);
        double value = pick_double(in);
        int r = data_put_value(0, clock, unit, diff & 1, diff >> 1, value);
        FUZZ_CHECK(r == 0 || r == 1);
        std::string key = key_bytes(static_cast<uint16_t>(unit), 0, clock);
        if (r == 0 && diff == 0) {
            SampleRecord s{value, value, value};
            stored[key] = std::string(reinterpret_cast<char *>(&s), sizeof s);
        } else {
            // A difference may or may not be stored under this key: a
            // sample of the same second is replaced either way or kept.
            stored.erase(key);
        }
    }
    FUZZ_CHECK(data_close() == 0);
    verbosity = 0;

    Records after = raw_dump(store_path);
    for (const auto &[key, value] : after) {
        auto was = raw.find(key);
        // Whatever the store wrote itself is well formed; damaged records
        // that it did not touch are as they were.
        if (was == raw.end() || was->second != value)
            FUZZ_CHECK(well_formed(key, value));
        if (key.size() == KEY_SIZE) {
            SampleKey k = key_decode(reinterpret_cast<const unsigned char *>(key.data()));
            if (was == raw.end())
                FUZZ_CHECK(k.level <= MAX_SAMPLE_LEVEL || k.level == LAST_LEVEL);
        }
    }
    // No record of the damaged store is lost but by truncation: each is
    // either still there or was replaced under its own key.
    for (const auto &[key, value] : raw)
        FUZZ_CHECK(after.count(key) == 1);
    for (const auto &[key, value] : stored) {
        auto it = after.find(key);
        FUZZ_CHECK(it != after.end() && it->second == value);
    }
    return 0;
}
