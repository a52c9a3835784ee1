#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "store/test_util.h"

namespace dorvane {
namespace {

using testing_util::get_sample;
using testing_util::key_bytes;
using testing_util::last_bytes;
using testing_util::PrintTo;
using testing_util::Raw;
using testing_util::sample_bytes;

class Insert : public testing_util::StoreTest
{};

// --- Differences --------------------------------------------------------

struct DiffCase {
    const char *name;
    int tdiff;
    int vdiff;
    bool has_prev;
    LastRecord prev;
    uint32_t now;
    double value;
    bool stored;   // a level-0 record appears at now
    double sample; // its value
};

class Differences : public testing_util::StoreTest, public ::testing::WithParamInterface<DiffCase>
{};

TEST_P(Differences, StoresSampleAndRewritesLastRecord)
{
    const DiffCase &c = GetParam();
    const uint16_t unit = 3;
    if (c.has_prev)
        testing_util::put_raw(key_bytes(unit, LAST_LEVEL, 0),
                              last_bytes(c.prev.since, c.prev.ts, c.prev.val));

    EXPECT_EQ(data_put_value(0, c.now, unit, c.tdiff, c.vdiff, c.value), 0);

    std::vector<Raw> want;
    if (c.stored)
        want.push_back({key_bytes(unit, 0, c.now), sample_bytes(c.sample, c.sample, c.sample)});
    want.push_back({key_bytes(unit, LAST_LEVEL, 0), last_bytes(0, c.now, c.value)});
    EXPECT_EQ(testing_util::dump_store(), want);
    EXPECT_FALSE(data_last_failed());
}

const double nan = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Cases, Differences,
    ::testing::Values(
        DiffCase{"first_call", 1, 0, false, {}, 1060, 800.0, false, 0},
        DiffCase{"tdiff", 1, 0, true, {0, 1000, 500.0}, 1060, 800.0, true, 5.0},
        DiffCase{"vdiff", 0, 1, true, {0, 1000, 500.0}, 1060, 800.0, true, 300.0},
        DiffCase{"both", 1, 1, true, {0, 1000, 500.0}, 1060, 800.0, true, -495.0},
        DiffCase{"counter_backwards", 1, 0, true, {0, 1000, 500.0}, 1060, 499.0, false, 0},
        DiffCase{"equal_value", 1, 0, true, {0, 1000, 500.0}, 1060, 500.0, true, 0.0},
        DiffCase{"same_second", 1, 0, true, {0, 1000, 500.0}, 1000, 800.0, false, 0},
        DiffCase{"clock_went_back", 0, 1, true, {0, 1000, 500.0}, 999, 800.0, false, 0},
        DiffCase{"nan_value", 1, 0, true, {0, 1000, 500.0}, 1060, nan, false, 0},
        DiffCase{"nan_previous", 0, 1, true, {0, 1000, nan}, 1060, 800.0, false, 0},
        DiffCase{"other_since", 1, 0, true, {7, 1000, 500.0}, 1060, 800.0, false, 0},
        DiffCase{"whole_range_gap", 1, 0, true, {0, 0, 0.0}, 4294967295u, 4294967295.0, true, 1.0}),
    testing_util::row_name);

TEST_F(Insert, PlainUnitStoresValueAndNoLastRecord)
{
    EXPECT_EQ(data_put_value(0, 1000, 4, 0, 0, 2.5), 0);
    EXPECT_EQ(data_put_value(0, 1000, 4, 0, 0, 7.5), 0); // same second: replaced
    EXPECT_EQ(data_put_value(0, 1010, 4, 0, 0, -1.0), 0);
    std::vector<Raw> want = {{key_bytes(4, 0, 1000), sample_bytes(7.5, 7.5, 7.5)},
                             {key_bytes(4, 0, 1010), sample_bytes(-1, -1, -1)}};
    EXPECT_EQ(testing_util::dump_store(), want);
}

TEST_F(Insert, MalformedLastRecordCountsAsAbsent)
{
    testing_util::put_raw(key_bytes(3, LAST_LEVEL, 0), std::string(24, '\0'));
    EXPECT_EQ(data_put_value(0, 1060, 3, 1, 0, 800.0), 0);
    std::vector<Raw> want = {{key_bytes(3, LAST_LEVEL, 0), last_bytes(0, 1060, 800.0)}};
    EXPECT_EQ(testing_util::dump_store(), want);
}

TEST_F(Insert, BackwardsCounterComputesAgainstNewValue)
{
    ASSERT_EQ(data_put_value(0, 1000, 3, 1, 0, 500.0), 0);
    ASSERT_EQ(data_put_value(0, 1010, 3, 1, 0, 100.0), 0); // restarted
    ASSERT_EQ(data_put_value(0, 1030, 3, 1, 0, 160.0), 0);
    std::vector<Raw> want = {{key_bytes(3, 0, 1030), sample_bytes(3, 3, 3)},
                             {key_bytes(3, LAST_LEVEL, 0), last_bytes(0, 1030, 160.0)}};
    EXPECT_EQ(testing_util::dump_store(), want);
}

struct StoreFailure {
    const char *name;
    BtreeOp op;
    unsigned skip;
    int result;            // of data_put_value
    const char *err;       // standard error
    bool last_failed;      // remembered for the end of the run
    std::vector<Raw> want; // the store afterwards
};

class InsertFails : public testing_util::StoreTest,
                    public ::testing::WithParamInterface<StoreFailure>
{};

// Fault: a failed get or put of the LastRecord left no trace but a message,
// and the run could end with status 0.
TEST_P(InsertFails, ReportsAndRemembers)
{
    const StoreFailure &c = GetParam();
    testing_util::put_raw(key_bytes(3, LAST_LEVEL, 0), last_bytes(0, 1000, 500.0));
    btree_fail(c.op, c.skip, -1, EIO);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_put_value(0, 1060, 3, 1, 0, 800.0), c.result);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(data_last_failed(), c.last_failed);
    EXPECT_EQ(testing_util::dump_store(), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, InsertFails,
    ::testing::Values(StoreFailure{"get_last",
                                   BtreeOp::get,
                                   0,
                                   0,
                                   "db->get: Input/output error\n",
                                   true,
                                   {{key_bytes(3, LAST_LEVEL, 0), last_bytes(0, 1060, 800.0)}}},
                      StoreFailure{"put_last",
                                   BtreeOp::put,
                                   0,
                                   0,
                                   "db->put: Input/output error\n",
                                   true,
                                   {{key_bytes(3, 0, 1060), sample_bytes(5, 5, 5)},
                                    {key_bytes(3, LAST_LEVEL, 0), last_bytes(0, 1000, 500.0)}}},
                      StoreFailure{"put_sample",
                                   BtreeOp::put,
                                   1,
                                   1,
                                   "db->put: Input/output error\n",
                                   false,
                                   {{key_bytes(3, LAST_LEVEL, 0), last_bytes(0, 1060, 800.0)}}},
                      StoreFailure{
                          "seek_boundary",
                          BtreeOp::seq,
                          0,
                          1,
                          "find_highest_ts: db->seq(R_CURSOR) failed: Input/output error\n",
                          false,
                          {{key_bytes(3, 0, 1060), sample_bytes(5, 5, 5)},
                           {key_bytes(3, LAST_LEVEL, 0), last_bytes(0, 1060, 800.0)}}},
                      StoreFailure{"count_batch",
                                   BtreeOp::seq,
                                   2,
                                   1,
                                   "count_values: db->seq(R_CURSOR) failed: Input/output error\n",
                                   false,
                                   {{key_bytes(3, 0, 1060), sample_bytes(5, 5, 5)},
                                    {key_bytes(3, LAST_LEVEL, 0), last_bytes(0, 1060, 800.0)}}}),
    testing_util::row_name);

// --- Traces -------------------------------------------------------------

TEST_F(Insert, TracesAtVerbosityTwoOfFirstConsolidation)
{
    for (uint32_t i = 0; i < 9; i++)
        ASSERT_EQ(data_put_value(0, 100 + 10 * i, 1, 0, 0, i + 1), 0);
    verbosity = 2;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_put_value(0, 190, 1, 0, 0, 10), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_put_value(since 0, ts 190, unit 1, val 10.00, tdiff 0 vdiff 0)\n"
              "put_value_internal(unit 1, level 0, ts 190, min 10.00, avg 10.00, max 10.00)\n"
              "put_value_internal: inserted, checking next level 1\n"
              "find_highest_ts(unit 1, level 1) seeking\n"
              "find_highest_ts: out of range (unit 1 != 1, level 0 != 1), returning 0\n"
              "put_value_internal: next level 1 max_ts 0\n"
              "count_values(unit 1, level 0, ts 100) returning count 10\n"
              "put_value_internal: 10 values on level 0 since 0\n"
              "put_value_internal: count 10 >= 10\n"
              "put_value_internal(unit 1, level 1, ts 190, min 1.00, avg 5.00, max 10.00)\n"
              "put_value_internal: inserted, checking next level 2\n"
              "find_highest_ts(unit 1, level 2) seeking\n"
              "find_highest_ts: out of range (unit 1 != 1, level 1 != 2), returning 0\n"
              "put_value_internal: next level 2 max_ts 0\n"
              "count_values(unit 1, level 1, ts 190) returning count 1\n"
              "put_value_internal: 1 values on level 1 since 0\n"
              "put_value_internal: count 1 < 10\n");
}

TEST_F(Insert, TracesAtVerbosityOneOfDifferentialUnit)
{
    ASSERT_EQ(data_put_value(0, 1000, 65539, 1, 0, 500.0), 0);
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_put_value(0, 1060, 65539, 1, 0, 800.0), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_put_value(since 0, ts 1060, unit 3, val 800.00, tdiff 1 vdiff 0)\n"
              "get_last(unit 3) returns since 0, ts 1000, val 500.00\n"
              "put_last(unit 3, since 0, ts 1060, val 800.00)\n"
              "put_value_internal(unit 3, level 0, ts 1060, min 5.00, avg 5.00, max 5.00)\n");
}

TEST_F(Insert, SeekOntoDamagedKeyFindsNoBoundary)
{
    // A 5-byte key sorts just after every level-1 key of unit 1.
    testing_util::put_raw(std::string("\x00\x01\x00\x01\xff", 5), sample_bytes(0, 0, 0));
    ASSERT_EQ(data_put_value(0, 100, 1, 0, 0, 1), 0);
    verbosity = 2;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(data_put_value(0, 110, 1, 0, 0, 2), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_put_value(since 0, ts 110, unit 1, val 2.00, tdiff 0 vdiff 0)\n"
              "put_value_internal(unit 1, level 0, ts 110, min 2.00, avg 2.00, max 2.00)\n"
              "put_value_internal: inserted, checking next level 1\n"
              "find_highest_ts(unit 1, level 1) seeking\n"
              "find_highest_ts: seek failed, returning 0\n"
              "put_value_internal: next level 1 max_ts 0\n"
              "count_values(unit 1, level 0, ts 100) returning count 2\n"
              "put_value_internal: 2 values on level 0 since 0\n"
              "put_value_internal: count 2 < 10\n");
}

// --- Consolidation ------------------------------------------------------

const double xs[] = {3.5, -1.25, 8.0, 2.0, 7.75, 0.5,  12.0, 4.25, -3.0, 6.0,
                     9.5, 1.0,   0.0, 5.5, 2.25, 11.0, -0.5, 3.0,  4.0};

TEST_F(Insert, TenRawSamplesGiveTimeWeightedLevelOne)
{
    for (uint32_t i = 0; i < 9; i++) {
        ASSERT_EQ(data_put_value(0, 100 + 10 * i, 1, 0, 0, xs[i]), 0);
        SampleRecord none;
        ASSERT_FALSE(get_sample(1, 1, 100 + 10 * i, &none)) << "early summary at call " << i;
    }
    ASSERT_EQ(data_put_value(0, 190, 1, 0, 0, xs[9]), 0);
    SampleRecord s;
    ASSERT_TRUE(get_sample(1, 1, 190, &s));
    double sum = 0;
    for (int i = 0; i <= 8; i++)
        sum += 10 * xs[i];
    EXPECT_EQ(s.min, -3.0);
    EXPECT_EQ(s.max, 12.0);
    EXPECT_DOUBLE_EQ(s.avg, sum / 90);

    // Nine more: the next batch runs from the boundary record at 190.
    for (uint32_t i = 10; i < 19; i++)
        ASSERT_EQ(data_put_value(0, 100 + 10 * i, 1, 0, 0, xs[i]), 0);
    ASSERT_TRUE(get_sample(1, 1, 280, &s));
    sum = 0;
    for (int i = 9; i <= 17; i++)
        sum += 10 * xs[i];
    EXPECT_EQ(s.min, -0.5);
    EXPECT_EQ(s.max, 11.0);
    EXPECT_DOUBLE_EQ(s.avg, sum / 90);
    SampleRecord none;
    EXPECT_FALSE(get_sample(1, 2, 280, &none));
}

TEST_F(Insert, CompletedLevelOneBatchWritesLevelTwoInSameCall)
{
    for (uint32_t i = 0; i < 90; i++)
        ASSERT_EQ(data_put_value(0, 100 + 10 * i, 1, 0, 0, i), 0);
    SampleRecord s;
    ASSERT_FALSE(get_sample(1, 2, 910, &s));
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(data_put_value(0, 1000, 1, 0, 0, 90), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_put_value(since 0, ts 1000, unit 1, val 90.00, tdiff 0 vdiff 0)\n"
              "put_value_internal(unit 1, level 0, ts 1000, min 90.00, avg 90.00, max 90.00)\n"
              "find_highest_ts(unit 1, level 1) returning ts 910\n"
              "put_value_internal(unit 1, level 1, ts 1000, min 81.00, avg 85.00, max 90.00)\n"
              "put_value_internal(unit 1, level 2, ts 1000, min 0.00, avg 40.00, max 90.00)\n");
    ASSERT_TRUE(get_sample(1, 2, 1000, &s));
    EXPECT_EQ(s.min, 0.0);
    EXPECT_EQ(s.avg, 40.0);
    EXPECT_EQ(s.max, 90.0);
}

TEST_F(Insert, RemovedBoundaryRecordNeedsTenNewRecords)
{
    auto v = [](uint32_t ts) { return static_cast<double>(ts % 70) - 20; };
    for (uint32_t ts = 100; ts <= 190; ts += 10)
        ASSERT_EQ(data_put_value(0, ts, 1, 0, 0, v(ts)), 0);
    testing_util::del_raw(key_bytes(1, 0, 190));
    for (uint32_t ts = 200; ts <= 280; ts += 10)
        ASSERT_EQ(data_put_value(0, ts, 1, 0, 0, v(ts)), 0);
    SampleRecord s;
    ASSERT_FALSE(get_sample(1, 1, 280, &s)) << "nine records made a batch";
    ASSERT_EQ(data_put_value(0, 290, 1, 0, 0, v(290)), 0);
    ASSERT_TRUE(get_sample(1, 1, 290, &s));
    // The gap from the boundary at 190 to the first record counts as 0.
    double sum = 0, mn = 1e9, mx = -1e9;
    for (uint32_t ts = 200; ts <= 290; ts += 10) {
        if (ts < 290)
            sum += 10 * v(ts);
        mn = std::min(mn, v(ts));
        mx = std::max(mx, v(ts));
    }
    EXPECT_DOUBLE_EQ(s.avg, sum / 100);
    EXPECT_EQ(s.min, mn);
    EXPECT_EQ(s.max, mx);
}

TEST_F(Insert, ClimbStopsAtHighestReadableLevel)
{
    // Fault: on a damaged store with full batches high up, the climb went on
    // to LAST_LEVEL and wrapped to level 0, overwriting raw samples.
    const uint16_t unit = 5;
    for (uint32_t ts = 11; ts <= 20; ts++)
        testing_util::put_raw(key_bytes(unit, 65533, ts), sample_bytes(ts, ts, ts));
    for (uint32_t ts = 1; ts <= 9; ts++)
        testing_util::put_raw(key_bytes(unit, 65534, ts), sample_bytes(ts, ts, ts));
    ASSERT_EQ(data_put_value(0, 11, unit, 0, 0, 1.0), 0);
    ASSERT_EQ(data_put_value(0, 12, unit, 1, 0, 2.0), 0);
    std::vector<Raw> before = testing_util::dump_store();

    EXPECT_EQ(put_value_internal(unit, 65533, 21, 0.5, 0.5, 0.5), 0);
    std::vector<Raw> after = testing_util::dump_store();
    std::vector<Raw> want = before;
    Raw added{key_bytes(unit, 65533, 21), sample_bytes(0.5, 0.5, 0.5)};
    want.insert(std::upper_bound(want.begin(), want.end(), added,
                                 [](const Raw &a, const Raw &b) { return a.key < b.key; }),
                added);
    EXPECT_EQ(after, want);
}

TEST_F(Insert, LevelAboveHighestIsRefused)
{
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(put_value_internal(1, 65534, 20, 0.5, 0.5, 0.5), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "put_value_internal: level 65534 out of range\n");
    EXPECT_TRUE(testing_util::dump_store().empty());
}

// --- Model --------------------------------------------------------------

// The cascade written as plainly as possible: per (unit, level) an ordered
// map from ts to record.
struct Model {
    std::map<std::pair<uint16_t, uint16_t>, std::map<uint32_t, SampleRecord>> levels;

    void put(uint16_t unit, uint32_t ts, double value)
    {
        SampleRecord rec{value, value, value};
        for (uint16_t level = 0;; level++) {
            auto &here = levels[{unit, level}];
            here[ts] = rec;
            auto up = levels.find({unit, static_cast<uint16_t>(level + 1)});
            uint32_t max_ts =
                up == levels.end() || up->second.empty() ? 0 : up->second.rbegin()->first;
            unsigned count = 0;
            double mn = EMPTY_MARK, mx = -EMPTY_MARK, sum = 0, prev_avg = 0;
            uint32_t first = max_ts, prev = max_ts;
            for (auto it = here.lower_bound(max_ts); it != here.end(); ++it) {
                if (first == 0)
                    first = it->first;
                count++;
                mn = std::min(mn, it->second.min);
                mx = std::max(mx, it->second.max);
                sum += static_cast<double>(it->first - prev) * prev_avg;
                prev = it->first;
                prev_avg = it->second.avg;
            }
            if (count < 10)
                return;
            rec = {mn, first < prev ? sum / static_cast<double>(prev - first) : sum, mx};
        }
    }

    std::vector<Raw> records() const
    {
        std::vector<Raw> out;
        for (const auto &[where, recs] : levels)
            for (const auto &[ts, r] : recs)
                out.push_back(
                    {key_bytes(where.first, where.second, ts), sample_bytes(r.min, r.avg, r.max)});
        return out;
    }
};

class CascadeModel : public testing_util::StoreTest, public ::testing::WithParamInterface<unsigned>
{};

TEST_P(CascadeModel, StoreMatchesModelAtEveryLevel)
{
    std::mt19937 rng(GetParam());
    std::uniform_int_distribution<int> pick_unit(0, 2), step(0, 40), back(0, 50);
    std::uniform_real_distribution<double> value(-100.0, 1000.0);
    const uint16_t units[] = {1, 2, 300};
    uint32_t now[] = {1000, 5000, 1};
    Model model;
    for (int i = 0; i < 4000; i++) {
        int u = pick_unit(rng);
        // Mostly forward, sometimes the same second, rarely a clock set back.
        if (back(rng) == 0 && now[u] > 100)
            now[u] -= 100;
        else
            now[u] += static_cast<uint32_t>(step(rng));
        double v = value(rng);
        ASSERT_EQ(data_put_value(0, now[u], units[u], 0, 0, v), 0);
        model.put(units[u], now[u], v);
    }
    std::vector<Raw> want = model.records();
    std::vector<Raw> got = testing_util::dump_store();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        SampleKey k = key_decode(reinterpret_cast<const unsigned char *>(want[i].key.data()));
        ASSERT_EQ(got[i], want[i]) << "unit " << k.unit << " level " << k.level << " ts " << k.ts;
    }
    EXPECT_TRUE(model.levels.count({1, 3}) || model.levels.count({2, 3}))
        << "sequence too short to reach level 3";
}

INSTANTIATE_TEST_SUITE_P(Seeds, CascadeModel, ::testing::Values(1u, 2u, 3u, 42u),
                         [](const ::testing::TestParamInfo<unsigned> &info) {
                             return "Seed" + std::to_string(info.param);
                         });

// The batch is read a buffer at a time; one that a single read cannot hold
// (here the level above was lost, so the batch is the whole level) must be
// summed whole, in order, and stop where the level ends.
TEST_F(Insert, BatchLongerThanOneBulkReadIsCountedWhole)
{
    Model model;
    for (uint32_t i = 0; i < 700; i++) {
        double v = (i * 37) % 101 - 20.5;
        testing_util::put_raw(key_bytes(1, 0, 1000 + 7 * i), sample_bytes(v, v, v));
        model.levels[{1, 0}][1000 + 7 * i] = SampleRecord{v, v, v};
    }
    // Records of the next unit right behind the batch.
    for (uint32_t i = 0; i < 5; i++) {
        testing_util::put_raw(key_bytes(2, 0, 10 + i), sample_bytes(1e9, 1e9, 1e9));
        model.levels[{2, 0}][10 + i] = SampleRecord{1e9, 1e9, 1e9};
    }
    ASSERT_EQ(data_put_value(0, 9000, 1, 0, 0, 3.25), 0);
    model.put(1, 9000, 3.25);
    EXPECT_EQ(testing_util::dump_store(), model.records());
    EXPECT_EQ((model.levels[{1, 1}].size()), 1u);
}

} // namespace
} // namespace dorvane
