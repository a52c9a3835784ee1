#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/test_util.h"

namespace dorvane {
namespace {

using testing_util::key_bytes;
using testing_util::last_bytes;
using testing_util::PrintTo;
using testing_util::put_raw;
using testing_util::sample_bytes;

// What a walk handed over, one word per record: unit/level/ts and its kind.
struct Seen {
    std::vector<std::string> records;
    size_t stop_after; // 0: never stop
    bool fail_at_stop;
};

Visit note(const WalkRecord &r, void *context)
{
    auto *s = static_cast<Seen *>(context);
    const char *kind = r.kind == RecordKind::sample ? "sample"
                       : r.kind == RecordKind::last ? "last"
                                                    : "invalid";
    std::string word = r.key_size == KEY_SIZE
                           ? std::to_string(r.key.unit) + "/" + std::to_string(r.key.level) + "/" +
                                 std::to_string(r.key.ts)
                           : "key" + std::to_string(r.key_size);
    s->records.push_back(word + " " + kind);
    if (s->stop_after != 0 && s->records.size() == s->stop_after)
        return s->fail_at_stop ? Visit::failed : Visit::stop;
    return Visit::next;
}

class Walk : public testing_util::StoreTest
{
  protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        put_raw(key_bytes(1, 0, 100), sample_bytes(1, 1, 1));
        put_raw(key_bytes(1, 0, 200), sample_bytes(2, 2, 2));
        put_raw(key_bytes(1, 1, 200), sample_bytes(1, 1.5, 2));
        put_raw(key_bytes(1, LAST_LEVEL, 0), last_bytes(0, 200, 20));
        put_raw(key_bytes(2, 0, 50), std::string(20, 'x'));
        put_raw(key_bytes(2, LAST_LEVEL, 0), sample_bytes(0, 0, 0));
        put_raw(std::string("\x00\x03\x00", 3), sample_bytes(0, 0, 0));
        put_raw(key_bytes(3, 0, 10), sample_bytes(3, 3, 3));
    }
};

struct WalkCase {
    const char *name;
    bool from_start;
    SampleKey from;
    size_t stop_after;
    std::vector<std::string> expected;
};

class WalkFrom : public Walk, public ::testing::WithParamInterface<WalkCase>
{};

TEST_P(WalkFrom, HandsOverEveryRecordInKeyOrder)
{
    const WalkCase &c = GetParam();
    Seen seen{{}, c.stop_after, false};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_walk("walk", c.from_start ? nullptr : &c.from, note, &seen), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(seen.records, c.expected);
}

const std::vector<std::string> EVERY = {
    "1/0/100 sample", "1/0/200 sample",    "1/1/200 sample", "1/65535/0 last",
    "2/0/50 invalid", "2/65535/0 invalid", "key3 invalid",   "3/0/10 sample",
};

INSTANTIATE_TEST_SUITE_P(
    Cases, WalkFrom,
    ::testing::Values(WalkCase{"WholeStore", true, {}, 0, EVERY},
                      WalkCase{"FromAKeyThatIsThere",
                               false,
                               {1, 0, 200},
                               0,
                               std::vector<std::string>(EVERY.begin() + 1, EVERY.end())},
                      WalkCase{"FromBetweenKeys",
                               false,
                               {1, 0, 150},
                               0,
                               std::vector<std::string>(EVERY.begin() + 1, EVERY.end())},
                      WalkCase{"FromALaterUnit", false, {3, 0, 0}, 0, {"3/0/10 sample"}},
                      WalkCase{"PastTheLastRecord", false, {3, 0, 11}, 0, {}},
                      WalkCase{
                          "StoppedByTheVisitor", true, {}, 2, {"1/0/100 sample", "1/0/200 sample"}},
                      WalkCase{"StoppedAfterARange", false, {1, 1, 0}, 1, {"1/1/200 sample"}}),
    testing_util::row_name);

TEST_F(Walk, VisitorFailureEndsTheWalkWithoutAMessage)
{
    Seen seen{{}, 3, true};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_walk("walk", nullptr, note, &seen), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(seen.records, std::vector<std::string>(EVERY.begin(), EVERY.begin() + 3));
}

struct StepFailure {
    const char *name;
    bool from_start;
    unsigned skip; // library steps that succeed first
    std::string message;
};

class WalkStepFails : public Walk, public ::testing::WithParamInterface<StepFailure>
{};

TEST_P(WalkStepFails, IsReportedNeverTakenForTheEnd)
{
    const StepFailure &c = GetParam();
    SampleKey from{1, 0, 0};
    btree_fail(BtreeOp::seq, c.skip, -1, EIO);
    Seen seen{{}, 0, false};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_walk("walk", c.from_start ? nullptr : &from, note, &seen), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalkStepFails,
    ::testing::Values(
        StepFailure{"FirstRecord", true, 0, "walk: db->seq(R_FIRST) failed: Input/output error\n"},
        StepFailure{"BulkAfterTheFirst", true, 1,
                    "walk: db->seq(R_NEXT) failed: Input/output error\n"},
        StepFailure{"RangeStart", false, 0, "walk: db->seq(R_CURSOR) failed: Input/output error\n"},
        StepFailure{"BulkAfterTheRangeStart", false, 1,
                    "walk: db->seq(R_NEXT) failed: Input/output error\n"}),
    testing_util::row_name);

// A store of 2000 samples whose leaf `page` a disk fault zeroed: a walk
// that steps onto it must not take it for the end of the store.
class WalkZeroedPage : public testing_util::StoreTest, public ::testing::WithParamInterface<int>
{
  protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        testing_util::fill_and_zero_page(path_, GetParam());
        if (HasFatalFailure())
            return;
        ASSERT_EQ(data_open(path_.c_str(), true), 0);
    }
};

TEST_P(WalkZeroedPage, FailsAfterWhatItReached)
{
    Seen seen{{}, 0, false};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_walk("walk", nullptr, note, &seen), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "walk: db->seq(R_NEXT) failed: Input/output error\n");
    EXPECT_GT(seen.records.size(), 0u);
    EXPECT_LT(seen.records.size(), 2000u);
}

INSTANTIATE_TEST_SUITE_P(Leaves, WalkZeroedPage, ::testing::Values(3, 8, 15),
                         testing_util::page_name);

// --- Record writes ------------------------------------------------------------

using PutRecord = testing_util::StoreTest;

TEST_F(PutRecord, WritesKeyAndValueAsTheyAre)
{
    // Values without digits keep their bits, a NaN its payload.
    double nan_payload;
    const uint64_t bits = 0xfff0000000000123ull;
    memcpy(&nan_payload, &bits, sizeof bits);
    WalkRecord s{};
    s.key = SampleKey{7, 2, 4000000000u};
    s.kind = RecordKind::sample;
    s.sample = SampleRecord{-0.0, nan_payload, INFINITY};
    WalkRecord l{};
    l.key = SampleKey{7, LAST_LEVEL, 5};
    l.kind = RecordKind::last;
    l.last = LastRecord{3, 4, 5e-324};
    ASSERT_EQ(data_put_record("restore", s), 0);
    ASSERT_EQ(data_put_record("restore", l), 0);
    ASSERT_EQ(data_sync("restore"), 0);
    const std::vector<testing_util::Raw> expected = {
        {key_bytes(7, 2, 4000000000u), sample_bytes(-0.0, nan_payload, INFINITY)},
        {key_bytes(7, LAST_LEVEL, 5), last_bytes(3, 4, 5e-324)},
    };
    EXPECT_EQ(testing_util::dump_store(), expected);
}

struct WriteFailure {
    const char *name;
    BtreeOp op;
    RecordKind kind;
    std::string message; // after the store's path for a sync
};

class PutRecordFails : public testing_util::StoreTest,
                       public ::testing::WithParamInterface<WriteFailure>
{};

TEST_P(PutRecordFails, IsReported)
{
    const WriteFailure &c = GetParam();
    WalkRecord r{};
    r.key = SampleKey{1, 0, 1};
    r.kind = c.kind;
    btree_fail(c.op, 0, -1, ENOSPC);
    ::testing::internal::CaptureStderr();
    int result = c.op == BtreeOp::sync ? data_sync("restore") : data_put_record("restore", r);
    EXPECT_EQ(result, 1);
    std::string message = c.message;
    if (c.op == BtreeOp::sync)
        message = "restore: dbsync: " + path_ + message;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PutRecordFails,
    ::testing::Values(WriteFailure{"Put", BtreeOp::put, RecordKind::sample,
                                   "restore: db->put: No space left on device\n"},
                      WriteFailure{"InvalidRecord", BtreeOp::get, RecordKind::invalid,
                                   "restore: db->put: Invalid argument\n"},
                      WriteFailure{"Sync", BtreeOp::sync, RecordKind::sample,
                                   ": No space left on device\n"}),
    testing_util::row_name);

} // namespace
} // namespace dorvane
