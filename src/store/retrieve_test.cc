#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/test_util.h"

namespace dorvane {
namespace {

using testing_util::key_bytes;
using testing_util::PrintTo;
using testing_util::put_raw;
using testing_util::sample_bytes;

struct Rec {
    uint16_t unit;
    uint16_t level;
    uint32_t ts;
    double min, avg, max;
};

void put_all(const std::vector<Rec> &recs)
{
    for (const Rec &r : recs)
        put_raw(key_bytes(r.unit, r.level, r.ts), sample_bytes(r.min, r.avg, r.max));
}

Rec flat(uint32_t ts, double v, uint16_t unit = 1, uint16_t level = 0)
{
    return Rec{unit, level, ts, v, v, v};
}

class Retrieve : public testing_util::StoreTest
{};

// --- Argument checks ----------------------------------------------------

struct BadRequest {
    const char *name;
    uint32_t beg, end;
    int type;
    const char *message;
};

class RetrieveRefuses : public testing_util::StoreTest,
                        public ::testing::WithParamInterface<BadRequest>
{};

TEST_P(RetrieveRefuses, PrintsMessageAndLeavesValues)
{
    const BadRequest &c = GetParam();
    put_all({flat(50, 1.0)});
    std::vector<double> values(4, 7.5);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_get_values(1, c.beg, c.end, static_cast<GraphType>(c.type), 4, values.data(), 0),
              1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(values, std::vector<double>(4, 7.5));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RetrieveRefuses,
    ::testing::Values(BadRequest{"EmptyRange", 100, 100, 2, "get_values: beg 100 >= end 100\n"},
                      BadRequest{"BackwardsRange", 200, 100, 2, "get_values: beg 200 >= end 100\n"},
                      BadRequest{"TypeZero", 0, 100, 0, "get_values: invalid type 0\n"},
                      BadRequest{"TypeFour", 0, 100, 4, "get_values: invalid type 4\n"}),
    testing_util::row_name);

// --- Resampling -----------------------------------------------------------

struct ResampleCase {
    const char *name;
    std::vector<Rec> recs;
    GraphType type;
    std::vector<double> want; // beg 0, end 100, one bucket of 10 s each
};

class Resample : public testing_util::StoreTest, public ::testing::WithParamInterface<ResampleCase>
{};

TEST_P(Resample, FillsBuckets)
{
    const ResampleCase &c = GetParam();
    put_all(c.recs);
    std::vector<double> values(10, -1);
    EXPECT_EQ(data_get_values(1, 0, 100, c.type, 10, values.data(), 0), 0);
    EXPECT_EQ(values, c.want);
}

const std::vector<double> worked = {0, 0, 4, 4, 4, 8, 8, 8, 8, 8};

INSTANTIATE_TEST_SUITE_P(
    Cases, Resample,
    ::testing::Values(
        // The store's last key is this unit's: the walk starts at R_LAST.
        ResampleCase{"average", {flat(20, 4), flat(50, 8)}, GraphType::average, worked},
        ResampleCase{"maximum", {flat(20, 4), flat(50, 8)}, GraphType::maximum, worked},
        ResampleCase{"minimum", {flat(20, 4), flat(50, 8)}, GraphType::minimum, worked},
        // Another unit after this one: the seek lands past the end.
        ResampleCase{"other_unit_after",
                     {flat(20, 4), flat(50, 8), flat(10, 99, 2)},
                     GraphType::average,
                     worked},
        ResampleCase{"last_record_after",
                     {flat(20, 4), flat(50, 8), flat(0, 99, 1, LAST_LEVEL)},
                     GraphType::average,
                     worked},
        // Records after end: the first bounds the interval before it.
        ResampleCase{"records_after_end",
                     {flat(20, 4), flat(50, 8), flat(120, 16), flat(150, 32)},
                     GraphType::maximum,
                     worked},
        ResampleCase{"half_inside_bucket",
                     {flat(25, 6)},
                     GraphType::average,
                     {0, 0, 3, 6, 6, 6, 6, 6, 6, 6}},
        ResampleCase{"maximum_of_overlapping",
                     {flat(25, 6), flat(50, 2)},
                     GraphType::maximum,
                     {0, 0, 6, 6, 6, 2, 2, 2, 2, 2}},
        // Extremes take every record that overlaps a bucket at all.
        ResampleCase{"maximum_takes_one_second",
                     {flat(0, 5), flat(31, 1)},
                     GraphType::maximum,
                     {5, 5, 5, 5, 1, 1, 1, 1, 1, 1}},
        ResampleCase{"minimum_takes_one_second",
                     {flat(0, 1), flat(31, 5)},
                     GraphType::minimum,
                     {1, 1, 1, 1, 5, 5, 5, 5, 5, 5}},
        ResampleCase{"field_by_type_min",
                     {Rec{1, 0, 0, 1, 2, 3}},
                     GraphType::minimum,
                     std::vector<double>(10, 1)},
        ResampleCase{"field_by_type_avg",
                     {Rec{1, 0, 0, 1, 2, 3}},
                     GraphType::average,
                     std::vector<double>(10, 2)},
        ResampleCase{"field_by_type_max",
                     {Rec{1, 0, 0, 1, 2, 3}},
                     GraphType::maximum,
                     std::vector<double>(10, 3)},
        ResampleCase{
            "record_at_beg", {flat(0, 50, 1, 0)}, GraphType::average, std::vector<double>(10, 50)},
        ResampleCase{"no_records",
                     {flat(20, 4, 2), flat(20, 4, 0)},
                     GraphType::minimum,
                     std::vector<double>(10, 0)},
        ResampleCase{"no_records_max", {}, GraphType::maximum, std::vector<double>(10, 0)},
        // Entries still holding a marker become 0.
        ResampleCase{"empty_marker_cleared",
                     {Rec{1, 0, 20, EMPTY_MARK, EMPTY_MARK, -EMPTY_MARK}},
                     GraphType::maximum,
                     std::vector<double>(10, 0)}),
    testing_util::row_name);

TEST_F(Retrieve, RecordOlderThanBegIsUnused)
{
    put_all({flat(50, 9), flat(150, 3)});
    std::vector<double> values(10, -1);
    EXPECT_EQ(data_get_values(1, 100, 200, GraphType::average, 10, values.data(), 0), 0);
    EXPECT_EQ(values, (std::vector<double>{0, 0, 0, 0, 0, 3, 3, 3, 3, 3}));
}

TEST_F(Retrieve, WalkEndsAtMalformedValue)
{
    put_all({flat(20, 4), flat(80, 8)});
    put_raw(key_bytes(1, 0, 50), std::string(20, '\0'));
    std::vector<double> values(10, -1);
    EXPECT_EQ(data_get_values(1, 0, 100, GraphType::average, 10, values.data(), 0), 0);
    EXPECT_EQ(values, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 8, 8}));
}

TEST_F(Retrieve, MalformedKeyAtSeekFails)
{
    put_all({flat(20, 4)});
    // Sorts after every level-0 key of unit 1 below 0xff000000.
    put_raw(std::string("\x00\x01\x00\x00\xff", 5), sample_bytes(1, 1, 1));
    std::vector<double> values(10, -1);
    // The run that calls it names the failure.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_get_values(1, 0, 100, GraphType::maximum, 10, values.data(), 0), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Retrieve, NegativeHighestLevelFails)
{
    put_all({flat(20, 4), flat(20, 4, 1, 40000)});
    std::vector<double> values(10, -1);
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_get_values(1, 0, 100, GraphType::average, 10, values.data(), 0), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "find_highest_level(unit 1) returning level -25536\n"
              "get_values_find_level: highest level overall is -25536\n"
              "get_values_find_level(unit 1, beg 0, end 100, siz 10) returning level -25536\n");
}

TEST_F(Retrieve, CursorFailureIsReportedNotReadAsEnd)
{
    put_all({flat(20, 4), flat(50, 8)});
    std::vector<double> values(10, -1);
    // find_highest_level makes two moves, the seek of the walk one, then
    // the walk steps back.
    btree_fail(BtreeOp::seq, 4, -1, EIO);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_get_values(1, 0, 100, GraphType::average, 10, values.data(), 0), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "get_values: db->seq(R_PREV) failed: Input/output error\n");
}

// --- Level choice ---------------------------------------------------------

// A store of `count` level-2 records ten seconds apart from beg to end, one
// more on each side outside the range, level-1 records every 100 seconds
// and level-0 records every 5 seconds.
class LevelChoice : public testing_util::StoreTest, public ::testing::WithParamInterface<unsigned>
{
  protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        count = GetParam();
        end = beg + (count - 1) * 10;
        std::vector<Rec> recs;
        for (unsigned k = 0; k < count; k++)
            recs.push_back(flat(beg + k * 10, 2.0, 1, 2));
        recs.push_back(flat(beg - 10, 2.0, 1, 2)); // outside the range
        recs.push_back(flat(end + 10, 2.0, 1, 2));
        for (uint32_t t = beg; t <= end; t += 100)
            recs.push_back(flat(t, 1.0, 1, 1));
        for (uint32_t t = beg; t <= end + 10; t += 5)
            recs.push_back(flat(t, 0.5, 1, 0));
        put_all(recs);
    }

    unsigned count = 0;
    const uint32_t beg = 100000;
    uint32_t end = 0;
};

// With siz 500, a level needs 532 records within [beg, end], both ends
// included; level 0 is the fallback and is never counted. Without traces
// the count stops once a level qualifies: the choice, and so every value,
// must be what the full count of the traces gives.
TEST_P(LevelChoice, NeedsSizPlus32Records)
{
    std::vector<double> quiet(500), traced(500);
    ASSERT_EQ(data_get_values(1, beg, end, GraphType::average, 500, quiet.data(), 0), 0);
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(data_get_values(1, beg, end, GraphType::average, 500, traced.data(), 0), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const bool chosen = count >= 532;
    const std::string level1 = std::to_string((end - beg) / 100 + 1);
    std::string expect = "find_highest_level(unit 1) returning level 2\n"
                         "get_values_find_level: highest level overall is 2\n"
                         "get_values_find_level: trying level 2\n"
                         "get_values_find_level: found " +
                         std::to_string(count) + " entries for level 2\n";
    if (chosen) {
        expect += "get_values_find_level: siz 500 + 32 <= count " + std::to_string(count) +
                  ", using level 2\n";
    } else {
        expect += "get_values_find_level: trying level 1\n"
                  "get_values_find_level: found " +
                  level1 + " entries for level 1\n";
    }
    expect += "get_values_find_level(unit 1, beg " + std::to_string(beg) + ", end " +
              std::to_string(end) + ", siz 500) returning level " + (chosen ? "2" : "0") + "\n";
    // The backward walk of level 2 meets the record before beg; level 0
    // has none there and runs to the store's first record.
    if (chosen)
        expect += "get_values: end of sequence\n";
    expect += std::string("get_values: maximum (500 values) ") + (chosen ? "2.00" : "0.50") + "\n";
    EXPECT_EQ(out, expect);
    EXPECT_EQ(quiet, traced);
    EXPECT_NEAR(quiet[250], chosen ? 2.0 : 0.5, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Counts, LevelChoice, ::testing::Values(531u, 532u, 533u, 1200u),
                         [](const ::testing::TestParamInfo<unsigned> &info) {
                             return "Records" + std::to_string(info.param);
                         });

// --- Traces ---------------------------------------------------------------

TEST_F(Retrieve, TracesOfWalkFromPastEnd)
{
    put_all({flat(20, 4), flat(50, 8), flat(120, 16), flat(150, 32)});
    std::vector<double> values(10);
    verbosity = 2;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(data_get_values(1, 0, 100, GraphType::average, 10, values.data(), 0), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "find_highest_level(unit 1) returning level 0\n"
              "get_values_find_level: highest level overall is 0\n"
              "get_values_find_level(unit 1, beg 0, end 100, siz 10) returning level 0\n"
              "get_values: seeking for 1, 0, 100\n"
              "get_values: first 1, 0, 120\n"
              "get_values: got 1, 0, 120\n"
              "get_values: tt 0, ts 120, diff 4294967176, v 16.00\n"
              "get_values: got 1, 0, 50\n"
              "get_values: tt 120, ts 50, diff 70, v 8.00\n"
              "get_values: got 1, 0, 20\n"
              "get_values: tt 50, ts 20, diff 30, v 4.00\n"
              "get_values: maximum (10 values) 8.00\n");
}

TEST_F(Retrieve, TracesOfResamplingAndOtherUnitBefore)
{
    put_all({flat(5, 1, 0), flat(0, 4), flat(0, 9, 0, LAST_LEVEL)});
    put_raw(key_bytes(0, LAST_LEVEL, 0), testing_util::last_bytes(0, 1, 1));
    std::vector<double> values(2);
    verbosity = 3;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(data_get_values(1, 0, 10, GraphType::average, 2, values.data(), 0), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "find_highest_level(unit 1) returning level 0\n"
              "get_values_find_level: highest level overall is 0\n"
              "get_values_find_level(unit 1, beg 0, end 10, siz 2) returning level 0\n"
              "get_values: seeking for 1, 0, 10\n"
              "get_values: got 1, 0, 0\n"
              "get_values: tt 0, ts 0, diff 0, v 4.00\n"
              "get_values_resample(beg 0, end 10, type 2, siz 2, spp 5.00, tt 10, ts 0, "
              "v 4.00)\n"
              "get_values_resample: enter, i 0, j 1\n"
              "get_values_resample: i 0 <= j 1\n"
              "get_values_resample: i 1 <= j 1\n"
              "get_values: got 0, 65535, 0\n"
              "get_values: end of sequence\n"
              "get_values: maximum (2 values) 4.00\n");
    EXPECT_EQ(values, (std::vector<double>{4, 4}));
}

// No columns: no bucket width to divide by, nothing to fill.
TEST_F(Retrieve, NoColumnsReportsZeros)
{
    put_all({flat(10, 5), flat(40, 7)});
    double untouched = 3.0;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(data_get_values(1, 0, 50, GraphType::average, 0, &untouched, 1), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "queue: 0\npavg: 0.00, pmax: 0.00\ncavg: 0.00, cmax: 0.00\n");
    EXPECT_EQ(untouched, 3.0);
}

TEST_F(Retrieve, ReportFlagPrintsReportAfterFill)
{
    put_all({flat(10, 5), flat(30, 0), flat(40, 7)});
    std::vector<double> values(5);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(data_get_values(1, 0, 50, GraphType::average, 5, values.data(), 1), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "queue: 5.00 7.00 \npavg: 6.00, pmax: 7.00\ncavg: 6.00, cmax: 7.00\n");
}

} // namespace
} // namespace dorvane
