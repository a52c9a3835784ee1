#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <set>
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
using testing_util::Raw;
using testing_util::sample_bytes;

constexpr uint32_t DAY = 86400;
constexpr uint32_t NOW = 2000 * DAY;

Raw sample(uint16_t unit, uint16_t level, uint32_t ts, double v = 1.0)
{
    return Raw{key_bytes(unit, level, ts), sample_bytes(v, v, v)};
}

Raw last(uint16_t unit, uint32_t ts, double v = 1.0)
{
    return Raw{key_bytes(unit, LAST_LEVEL, 0), last_bytes(0, ts, v)};
}

void put_all(const std::vector<Raw> &recs, Btree *db = nullptr)
{
    for (const Raw &r : recs)
        put_raw(r.key, r.value, db);
}

std::vector<Raw> sorted(std::vector<Raw> v)
{
    std::sort(v.begin(), v.end(), [](const Raw &a, const Raw &b) { return a.key < b.key; });
    return v;
}

class Truncate : public testing_util::StoreTest
{};

TEST_F(Truncate, CutoffsPerLevelAndLastRecordByOwnTime)
{
    std::vector<Raw> keep = {
        sample(1, 0, NOW - 7 * DAY), // exactly at cutoff 0
        sample(1, 0, NOW - 6 * DAY),
        sample(1, 1, NOW - 8 * DAY),
        sample(1, 1, NOW - 365 * DAY), // exactly at cutoff 1
        last(1, NOW - DAY),
    };
    std::vector<Raw> gone = {
        sample(1, 0, NOW - 8 * DAY),
        sample(1, 2, NOW - 400 * DAY),
        sample(2, 1, NOW - 365 * DAY - 1),
        last(2, NOW - 8 * DAY),
    };
    put_all(keep);
    put_all(gone);
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_truncate_at(NOW, 7, 365), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "data_truncate: 4 of 9 entries deleted\n");
    verbosity = 0;
    EXPECT_EQ(testing_util::dump_store(), sorted(keep));
}

TEST_F(Truncate, TracesEveryRecordAtVerbosityTwo)
{
    put_all({sample(3, 2, 500, 1.5), last(3, 700, 2.25)});
    verbosity = 2;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_truncate_at(1000 + DAY, 1, 1), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_truncate: cutoff 1000, 1000\n"
              "3, 2, 500, val: 1.50, 1.50, 1.50\n"
              "3, 65535, 0, last: 0, 700, 2.25\n"
              "data_truncate: 2 of 2 entries deleted\n"
              "data_truncate: not compacted: file 8192 bytes, its pages 100% full\n");
}

struct CutoffCase {
    const char *name;
    uint32_t now;
    int days0, days1;
    const char *trace;
};

class TruncateCutoff : public testing_util::StoreTest,
                       public ::testing::WithParamInterface<CutoffCase>
{};

// Fault: days x 86400 in 32 bits, or a limit before the epoch, wrapped to
// a cutoff in the future and deleted every record.
TEST_P(TruncateCutoff, NeverWrapsIntoTheFuture)
{
    const CutoffCase &c = GetParam();
    std::vector<Raw> recs = {sample(1, 0, 1), sample(1, 0, c.now), sample(1, 1, 1), last(1, 1)};
    put_all(recs);
    verbosity = 2;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_truncate_at(c.now, c.days0, c.days1), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    // Each record examined, none deleted.
    EXPECT_EQ(out, std::string(c.trace) + "1, 0, 1, val: 1.00, 1.00, 1.00\n1, 0, " +
                       std::to_string(c.now) +
                       ", val: 1.00, 1.00, 1.00\n"
                       "1, 1, 1, val: 1.00, 1.00, 1.00\n1, 65535, 0, last: 0, 1, 1.00\n"
                       "data_truncate: 0 of 4 entries deleted\n"
                       "data_truncate: not compacted: file 8192 bytes, its pages 100% full\n");
    EXPECT_EQ(testing_util::dump_store(), sorted(recs));
}

INSTANTIATE_TEST_SUITE_P(Limits, TruncateCutoff,
                         ::testing::Values(CutoffCase{"before_epoch", 1700000000, 20000, 30000,
                                                      "data_truncate: cutoff 0, 0\n"},
                                           CutoffCase{"product_overflows", 1700000000, 2147483647,
                                                      49711, "data_truncate: cutoff 0, 0\n"},
                                           CutoffCase{"exactly_epoch", 100 * DAY, 100, 100,
                                                      "data_truncate: cutoff 0, 0\n"}),
                         [](const ::testing::TestParamInfo<CutoffCase> &info) {
                             return info.param.name;
                         });

TEST_F(Truncate, InvalidRecordsDeletedWhileWalkGoesOn)
{
    std::vector<Raw> valid = {sample(1, 0, NOW), sample(4, 0, NOW)};
    put_all(valid);
    put_raw(std::string("\x00\x02\x00", 3), sample_bytes(1, 1, 1));
    put_raw(key_bytes(2, 3, NOW), std::string(20, 'v'));
    put_raw(key_bytes(3, LAST_LEVEL, 0), std::string(24, 'l'));
    put_raw(key_bytes(3, 0, NOW), "");
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_truncate_at(NOW, 7, 365), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "data_truncate: dbk.size 3 != sizeof(k) 8\n"
              "data_truncate: dbd.size 20 != sizeof(v) 24\n"
              "data_truncate: dbd.size 0 != sizeof(v) 24\n"
              "data_truncate: dbd.size 24 != sizeof(l) 16\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "data_truncate: 4 of 6 entries deleted\n");
    verbosity = 0;
    EXPECT_EQ(testing_util::dump_store(), valid);
}

TEST_F(Truncate, EmptyStore)
{
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_truncate_at(NOW, 7, 365), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "data_truncate: 0 of 0 entries deleted\n");
}

struct WalkFailure {
    const char *name;
    unsigned skip;
    const char *err;
    const char *out;
};

class TruncateWalkFails : public testing_util::StoreTest,
                          public ::testing::WithParamInterface<WalkFailure>
{};

// Fault: a truncation that could not walk the store reported success.
TEST_P(TruncateWalkFails, ReportsSummaryAndFails)
{
    const WalkFailure &c = GetParam();
    put_all({sample(1, 0, 1), sample(1, 0, 2), sample(1, 0, NOW)});
    btree_fail(BtreeOp::seq, c.skip, -1, EIO);
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_truncate_at(NOW, 7, 365), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TruncateWalkFails,
    ::testing::Values(WalkFailure{"first", 0,
                                  "data_truncate: db->seq(R_FIRST) failed: Input/output error\n",
                                  "data_truncate: 0 of 0 entries deleted\n"},
                      WalkFailure{"next", 1, "db->seq(R_NEXT) failed: Input/output error\n",
                                  "data_truncate: 1 of 1 entries deleted\n"}),
    [](const ::testing::TestParamInfo<WalkFailure> &info) { return info.param.name; });

struct DelFailure {
    const char *name;
    int result;
    const char *err;
};

class TruncateDelFails : public testing_util::StoreTest,
                         public ::testing::WithParamInterface<DelFailure>
{};

TEST_P(TruncateDelFails, StopsAtOnceWithoutSummary)
{
    put_all({sample(1, 0, 1), sample(1, 0, 2), sample(1, 0, 3)});
    btree_fail(BtreeOp::del, 1, GetParam().result, EIO);
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_truncate_at(NOW, 7, 365), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), GetParam().err);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    verbosity = 0;
    // The deletion made before the failure stays made.
    EXPECT_EQ(testing_util::dump_store(), (std::vector<Raw>{sample(1, 0, 2), sample(1, 0, 3)}));
}

INSTANTIATE_TEST_SUITE_P(
    Results, TruncateDelFails,
    ::testing::Values(DelFailure{"error", -1,
                                 "data_truncate: db->del() failed: Input/output error\n"},
                      DelFailure{"other", 1, "data_truncate: db->del() returned 1\n"}),
    [](const ::testing::TestParamInfo<DelFailure> &info) { return info.param.name; });

// Many pages, long runs of deletions next to kept records and damaged
// ones, against a plain filter of the same records.
// A long truncation commits in batches: a failure after the first leaves
// that batch in the file, whole, whatever the run does next.
TEST_F(Truncate, BatchesCommittedBeforeAFailureStay)
{
    std::vector<Raw> all;
    for (uint32_t i = 0; i < 3000; i++)
        all.push_back(sample(1, 0, NOW - 9 * DAY + i));
    put_all(all);
    ASSERT_EQ(data_close(), 0);
    ASSERT_EQ(data_open(path_.c_str()), 0);

    const uint32_t saved = btree_commit_changes;
    btree_commit_changes = 1000;
    btree_fail(BtreeOp::sync, 1, -1, EIO);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_truncate_at(NOW, 7, 365), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "data_truncate: dbsync: " + path_ + ": Input/output error\n");
    btree_commit_changes = saved;
    // As a crash would: nothing after the last commit reaches the file.
    data_discard();
    ASSERT_EQ(data_close(), 0);
    ASSERT_EQ(data_open(path_.c_str()), 0);
    EXPECT_EQ(testing_util::dump_store(), std::vector<Raw>(all.begin() + 1000, all.end()));
}

// Records of four units over 20 days, two minutes apart; the first 18
// days are older than `-t 2` keeps at NOW.
std::vector<Raw> twenty_days()
{
    std::vector<Raw> all;
    for (uint16_t unit = 1; unit <= 4; unit++)
        for (uint32_t t = NOW - 20 * DAY; t < NOW; t += 120)
            all.push_back(sample(unit, 0, t, t % 89));
    return all;
}

std::vector<Raw> kept_after_two_days(const std::vector<Raw> &all)
{
    std::vector<Raw> kept;
    for (const Raw &r : all)
        if (key_decode(reinterpret_cast<const unsigned char *>(r.key.data())).ts >= NOW - 2 * DAY)
            kept.push_back(r);
    return kept;
}

// What the truncation gives back beyond data_pack_bytes is packed into a
// new file that takes the store's place, mode and owner, and the run goes
// on with it; through a symbolic link, which a rename would replace, the
// store is compacted in place.
struct PackCase {
    const char *name;
    bool linked;
};

class Packing : public testing_util::TestWithParam<PackCase>
{
  protected:
    testing_util::TempDir dir_;
};

TEST_P(Packing, GivesBackTheSpaceAndKeepsTheStoresPlace)
{
    const std::string real = dir_.path("s.db"), path = GetParam().linked ? dir_.path("l.db") : real;
    if (GetParam().linked) {
        ASSERT_EQ(symlink(real.c_str(), path.c_str()), 0);
    }
    const std::vector<Raw> all = twenty_days();
    ASSERT_EQ(data_open(path.c_str()), 0);
    put_all(all);
    ASSERT_EQ(data_close(), 0);
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    struct stat before;
    ASSERT_EQ(stat(real.c_str(), &before), 0);

    data_pack_bytes = 0;
    ASSERT_EQ(data_open(path.c_str()), 0);
    EXPECT_EQ(data_truncate_at(NOW, 2, 365), 0);
    // The run goes on with the store that is in place now.
    put_all({sample(9, 0, NOW)});
    ASSERT_EQ(data_close(), 0);

    struct stat after, link;
    ASSERT_EQ(stat(real.c_str(), &after), 0);
    ASSERT_EQ(lstat(path.c_str(), &link), 0);
    EXPECT_EQ(S_ISLNK(link.st_mode), GetParam().linked);
    EXPECT_NE(after.st_ino == before.st_ino, !GetParam().linked) << "packed into place or not";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_LT(after.st_size * 4, before.st_size);
    EXPECT_EQ(access((real + ".packed").c_str(), F_OK), -1);
    EXPECT_EQ(testing_util::verify(real), "");
    ASSERT_EQ(data_open(path.c_str()), 0);
    std::vector<Raw> want = kept_after_two_days(all);
    want.push_back(sample(9, 0, NOW));
    EXPECT_EQ(testing_util::dump_store(), sorted(want));
    ASSERT_EQ(data_close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Store, Packing,
                         ::testing::Values(PackCase{"File", false}, PackCase{"SymbolicLink", true}),
                         testing_util::row_name);

// A packing that fails names the packed file, and leaves the store as the
// truncation committed it, with no packed file beside it.
struct PackFailure {
    const char *name;
    bool in_the_way; // a folder stands where the packed file would go
    BtreeOp op;      // else the call that fails, after skip others
    unsigned skip;
    const char *err; // %s: the packed file
};

class PackingFails : public testing_util::TestWithParam<PackFailure>
{
  protected:
    testing_util::TempDir dir_;
};

TEST_P(PackingFails, KeepsTheTruncatedStore)
{
    const PackFailure &c = GetParam();
    const std::string path = dir_.path("s.db"), packed = path + ".packed";
    const std::vector<Raw> all = twenty_days();
    ASSERT_EQ(data_open(path.c_str()), 0);
    put_all(all);
    ASSERT_EQ(data_close(), 0);
    if (c.in_the_way) {
        ASSERT_EQ(mkdir(packed.c_str(), 0700), 0);
    }

    data_pack_bytes = 0;
    ASSERT_EQ(data_open(path.c_str()), 0);
    if (!c.in_the_way)
        btree_fail(c.op, c.skip, -1, EIO);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_truncate_at(NOW, 2, 365), 1);
    std::string err = c.err;
    err.replace(err.find("%s"), 2, packed);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), err);
    EXPECT_EQ(testing_util::dump_store(), sorted(kept_after_two_days(all)));
    ASSERT_EQ(data_close(), 0);
    struct stat st;
    EXPECT_EQ(lstat(packed.c_str(), &st) == 0, c.in_the_way);
    EXPECT_EQ(testing_util::verify(path), "");
}

INSTANTIATE_TEST_SUITE_P(
    Store, PackingFails,
    ::testing::Values(PackFailure{"PackedFileCannotBeMade", true, BtreeOp::put, 0,
                                  "data_truncate: dbopen: %s: Is a directory\n"},
                      PackFailure{"PutFails", false, BtreeOp::put, 0,
                                  "data_truncate: %s: Input/output error\n"},
                      PackFailure{"SyncFails", false, BtreeOp::sync, 1,
                                  "data_truncate: %s: Input/output error\n"}),
    testing_util::row_name);

// Killed at random moments of a truncation that packs: the store holds the
// records it held before or those the truncation kept, verifies, and the
// next open removes a packed file left half written.
TEST_F(Packing, KilledWhilePackingLeavesAWholeStore)
{
    const std::string path = dir_.path("s.db");
    const std::vector<Raw> all = twenty_days();
    ASSERT_EQ(data_open(path.c_str()), 0);
    put_all(all);
    ASSERT_EQ(data_close(), 0);
    const std::string original = testing_util::read_file(path);
    const std::vector<Raw> kept = kept_after_two_days(all);
    auto truncating = [&] {
        testing_util::write_file(path, original);
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            data_pack_bytes = 0;
            _exit(data_open(path.c_str()) || data_truncate_at(NOW, 2, 365) || data_close());
        }
        return pid;
    };
    // One truncation let be says how long the kills may come after its
    // start; a quarter more, so that runs slower than that one (a loaded
    // machine) are still killed after their commit at times.
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = truncating();
    ASSERT_GT(pid, 0);
    int st;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int64_t> after_us(0, took.count() * 5 / 4);
    int whole = 0, packed = 0;
    for (int round = 0; round < 30; round++) {
        pid = truncating();
        ASSERT_GT(pid, 0);
        usleep(static_cast<useconds_t>(after_us(rng)));
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        ASSERT_EQ(data_open(path.c_str(), true), 0);
        const std::vector<Raw> got = testing_util::dump_store();
        ASSERT_EQ(data_close(), 0);
        ASSERT_TRUE(got == sorted(all) || got == sorted(kept))
            << "round " << round << ": " << got.size() << " records";
        EXPECT_EQ(testing_util::verify(path), "");
        EXPECT_EQ(access((path + ".packed").c_str(), F_OK), -1) << "round " << round;
        (got.size() == kept.size() ? packed : whole)++;
    }
    EXPECT_GT(packed, 0);
    EXPECT_GT(whole, 0);
}

TEST_F(Truncate, LargeStoreMatchesModel)
{
    std::mt19937 rng(7);
    std::vector<Raw> all, want;
    std::set<std::string> seen;
    const uint32_t cut0 = NOW - 30 * DAY, cut1 = NOW - 365 * DAY;
    for (uint16_t unit = 1; unit <= 4; unit++) {
        // Level 0: one sample a minute over 40 days, the oldest 10 to go.
        for (uint32_t t = NOW - 40 * DAY; t < NOW; t += 60 * (unit == 2 ? 3 : 1)) {
            all.push_back(sample(unit, 0, t, t % 97));
            if (t >= cut0)
                want.push_back(all.back());
        }
        // Consolidated levels: random times over two years.
        std::uniform_int_distribution<uint32_t> when(NOW - 730 * DAY, NOW);
        for (uint16_t level = 1; level <= 3; level++) {
            for (int i = 0; i < 2000; i++) {
                Raw r = sample(unit, level, when(rng), level);
                if (!seen.insert(r.key).second)
                    continue;
                all.push_back(r);
                if (key_decode(reinterpret_cast<const unsigned char *>(r.key.data())).ts >= cut1)
                    want.push_back(r);
            }
        }
        all.push_back(last(unit, unit % 2 ? NOW : cut0 - 1));
        if (unit % 2)
            want.push_back(all.back());
    }
    ASSERT_GE(all.size(), 200000u);
    put_all(all);
    // A run of damaged records inside a run of deletions.
    for (uint32_t t = NOW - 35 * DAY; t < NOW - 35 * DAY + 600; t += 60)
        put_raw(key_bytes(1, 0, t + 1), std::string(12, 'x'));

    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_truncate_at(NOW, 30, 365), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_truncate: " + std::to_string(all.size() - want.size() + 10) + " of " +
                  std::to_string(all.size() + 10) + " entries deleted\n");
    std::string ten;
    for (int i = 0; i < 10; i++)
        ten += "data_truncate: dbd.size 12 != sizeof(v) 24\n";
    EXPECT_EQ(err, ten);
    verbosity = 0;
    std::vector<Raw> got = testing_util::dump_store();
    std::vector<Raw> expect = sorted(want);
    ASSERT_EQ(got.size(), expect.size());
    EXPECT_TRUE(got == expect);
}

// --- Compaction -------------------------------------------------------------

off_t size_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Stores as cron leaves them: one run a minute, each storing a sample of
// every unit, so that every run appends in the middle of the tree and
// leaves the pages it splits half full.
class Compact : public testing_util::StoreTest
{
  protected:
    static constexpr int UNITS = 6;
    static constexpr uint32_t START = NOW - 3 * DAY;

    void runs(uint32_t from, uint32_t minutes)
    {
        for (uint32_t m = 0; m < minutes; m++)
            for (int u = 1; u <= UNITS; u++)
                ASSERT_EQ(data_put_value(0, from + 60 * m, u, u == 1, 0, u * 100.0 + m % 37), 0);
    }

    // The records that a truncation at now keeps, by the cutoff rules.
    static std::vector<Raw> kept(const std::vector<Raw> &all, uint32_t now, int days0, int days1)
    {
        std::vector<Raw> out;
        for (const Raw &r : all) {
            SampleKey k = key_decode(reinterpret_cast<const unsigned char *>(r.key.data()));
            uint32_t ts = k.ts;
            if (k.level == LAST_LEVEL)
                memcpy(&ts, r.value.data() + offsetof(LastRecord, ts), sizeof ts);
            if (ts >=
                (k.level == 0 || k.level == LAST_LEVEL ? now - days0 * DAY : now - days1 * DAY))
                out.push_back(r);
        }
        return out;
    }

    // Truncates at -vv, returning the line that follows the summary.
    std::string truncate_traced(int days0, int days1)
    {
        verbosity = 2;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(data_truncate_at(NOW, days0, days1), 0);
        std::string out = ::testing::internal::GetCapturedStdout();
        verbosity = 0;
        size_t summary = out.find(" entries deleted\n");
        EXPECT_NE(summary, std::string::npos) << out.substr(0, 200);
        return summary == std::string::npos ? "" : out.substr(summary + 17);
    }

    // The size of a packed copy of the store.
    off_t packed_size()
    {
        std::string copy = dir_.path("packed.db");
        unlink(copy.c_str());
        EXPECT_EQ(data_copy(copy.c_str()), 0);
        return size_of(copy);
    }
};

struct CompactCase {
    const char *name;
    int days0, days1;
    bool most_go;
};

class CompactAfterTruncation : public Compact, public ::testing::WithParamInterface<CompactCase>
{};

// Fault: a truncation left the file at its size, every page it emptied and
// every half-full page still in it.
TEST_P(CompactAfterTruncation, KeepsWhatTheWalkKeepsInAPackedFile)
{
    const CompactCase &c = GetParam();
    runs(START, 3 * 1440);
    ASSERT_EQ(data_close(), 0);
    ASSERT_EQ(data_open(path_.c_str()), 0);
    const std::vector<Raw> before = testing_util::dump_store();
    const std::vector<Raw> want = kept(before, NOW, c.days0, c.days1);
    ASSERT_EQ(c.most_go, want.size() < before.size() / 2) << want.size() << " of " << before.size();
    const off_t size_before = size_of(path_);

    const std::string line = truncate_traced(c.days0, c.days1);
    const off_t size_after = size_of(path_);
    EXPECT_EQ(line, "data_truncate: compacted: " + line.substr(26, line.find(" pages") - 26) +
                        " pages emptied, file " + std::to_string(size_before) + " -> " +
                        std::to_string(size_after) + " bytes\n");
    EXPECT_TRUE(testing_util::dump_store() == want);
    // Within the packed size and a page for each unit's level, whose first
    // page is left as the truncation left it.
    std::set<std::string> levels;
    for (const Raw &r : want)
        levels.insert(r.key.substr(0, 4));
    EXPECT_LE(size_after * 100, packed_size() * 115 + levels.size() * 4096 * 100)
        << size_before << " -> " << size_after << ", " << levels.size() << " levels";
    EXPECT_EQ(testing_util::verify(path_), "");

    // The same run goes on storing into the smaller file (every sample of
    // the plain units; unit 1 counts a rate, which a counter that went
    // down does not give).
    runs(NOW, 60);
    ASSERT_EQ(data_close(), 0);
    EXPECT_EQ(testing_util::verify(path_), "");
    ASSERT_EQ(data_open(path_.c_str()), 0);
    const std::vector<Raw> now = testing_util::dump_store();
    EXPECT_EQ(std::count_if(now.begin(), now.end(),
                            [](const Raw &r) {
                                SampleKey k = key_decode(
                                    reinterpret_cast<const unsigned char *>(r.key.data()));
                                return k.unit != 1 && k.level == 0 && k.ts >= NOW;
                            }),
              (UNITS - 1) * 60);
}

INSTANTIATE_TEST_SUITE_P(Stores, CompactAfterTruncation,
                         ::testing::Values(CompactCase{"most_records_go", 1, 365, true},
                                           CompactCase{"none_go_pages_half_full", 365, 365, false}),
                         [](const ::testing::TestParamInfo<CompactCase> &info) {
                             return info.param.name;
                         });

// A store whose pages are full costs a truncation only the check: the file
// is not written at all.
TEST_F(Compact, FullPagesAreLeftAlone)
{
    runs(START, 1440);
    const std::string packed = dir_.path("packed.db");
    ASSERT_EQ(data_copy(packed.c_str()), 0);
    ASSERT_EQ(data_close(), 0);
    ASSERT_EQ(data_open(packed.c_str()), 0);
    const std::string bytes = testing_util::read_file(packed);
    const std::string line = truncate_traced(365, 365);
    EXPECT_EQ(line.substr(0, line.find(" bytes")),
              "data_truncate: not compacted: file " + std::to_string(bytes.size()));
    ASSERT_EQ(data_close(), 0);
    EXPECT_TRUE(testing_util::read_file(packed) == bytes);
    ASSERT_EQ(data_open(path_.c_str()), 0);
}

// Fault: a compaction that the library could not finish had its half-made
// changes committed, or passed for a completed truncation.
TEST_F(Compact, FailureKeepsTheTruncationAndFails)
{
    runs(START, 1440);
    ASSERT_EQ(data_close(), 0);
    ASSERT_EQ(data_open(path_.c_str()), 0);
    const std::vector<Raw> all = testing_util::dump_store();
    const std::vector<Raw> want = kept(all, NOW, 2, 365);
    const off_t size_before = size_of(path_);
    btree_fail(BtreeOp::compact, 0, -1, EIO);
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_truncate_at(NOW, 2, 365), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "data_truncate: db->compact: Input/output error\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_truncate: " + std::to_string(all.size() - want.size()) + " of " +
                  std::to_string(all.size()) + " entries deleted\n");
    ASSERT_EQ(data_close(), 0);
    EXPECT_EQ(size_of(path_), size_before);
    EXPECT_EQ(testing_util::verify(path_), "");
    ASSERT_EQ(data_open(path_.c_str()), 0);
    EXPECT_TRUE(testing_util::dump_store() == want);
}

// --- Copy -----------------------------------------------------------------

class Copy : public testing_util::StoreTest
{
  protected:
    // The records of the store at path, opened on its own.
    std::vector<Raw> contents(const std::string &path)
    {
        Btree *db;
        EXPECT_EQ(btree_open(path.c_str(), &db), 0);
        std::vector<Raw> recs = testing_util::dump_store(db);
        EXPECT_EQ(btree_close(db), 0);
        return recs;
    }
};

TEST_F(Copy, SkipsInvalidRecordsWithMessages)
{
    std::vector<Raw> valid = {sample(1, 0, 10), sample(1, 3, 20), last(1, 30), sample(2, 0, 5)};
    put_all(valid);
    put_raw(std::string("\x00\x01\x00", 3), sample_bytes(1, 1, 1));
    put_raw(key_bytes(1, 3, 25), std::string(20, 'v'));
    put_raw(key_bytes(1, 4, 25), std::string(16, 'v'));
    put_raw(key_bytes(3, LAST_LEVEL, 0), std::string(24, 'l'));
    std::string target = dir_.path("copy.db");
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_copy(target.c_str()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "data_copy: invalid record: dbk.size 3 (8)\n"
              "data_copy: invalid record: level 3, dbd.size 20 (16, 24)\n"
              "data_copy: invalid record: level 4, dbd.size 16 (16, 24)\n"
              "data_copy: invalid record: level 65535, dbd.size 24 (16, 24)\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_copy: creating " + target + "\ndata_copy: 4 records copied\n");
    verbosity = 0;
    EXPECT_EQ(contents(target), sorted(valid));
    EXPECT_EQ(testing_util::dump_store().size(), valid.size() + 4) << "the source was changed";
}

TEST_F(Copy, ExistingTargetGainsRecords)
{
    std::string target = dir_.path("copy.db");
    {
        Btree *db;
        ASSERT_EQ(btree_open(target.c_str(), &db), 0);
        put_all({sample(1, 0, 10, 99.0), sample(9, 0, 10)}, db);
        ASSERT_EQ(btree_close(db), 0);
    }
    put_all({sample(1, 0, 10, 1.0), sample(1, 0, 20)});
    EXPECT_EQ(data_copy(target.c_str()), 0);
    EXPECT_EQ(contents(target),
              (std::vector<Raw>{sample(1, 0, 10, 1.0), sample(1, 0, 20), sample(9, 0, 10)}));
}

TEST_F(Copy, ProgressCountsAtVerbosityTwo)
{
    std::vector<Raw> recs;
    for (uint32_t i = 0; i < 25000; i++)
        recs.push_back(sample(static_cast<uint16_t>(1 + i % 3), 0, 1000 + i));
    put_all(recs);
    std::string target = dir_.path("copy.db");
    verbosity = 2;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_copy(target.c_str()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "data_copy: creating " + target +
                                                            "\n 10000 20000\n"
                                                            "data_copy: 25000 records copied\n");
    verbosity = 0;
    EXPECT_EQ(contents(target), sorted(recs));
}

TEST_F(Copy, EmptyStoreGivesEmptyTarget)
{
    std::string target = dir_.path("copy.db");
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(data_copy(target.c_str()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "data_copy: creating " + target + "\ndata_copy: 0 records copied\n");
    verbosity = 0;
    EXPECT_TRUE(contents(target).empty());
}

TEST_F(Copy, TargetThatCannotBeOpened)
{
    std::string target = dir_.path("missing/copy.db");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_copy(target.c_str()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "data_copy: dbopen: " + target + ": No such file or directory\n");
}

class CopySelf : public Copy, public ::testing::WithParamInterface<const char *>
{};

// Fault: copying onto the store itself waited forever for the run's own
// lock.
TEST_P(CopySelf, IsRefusedBeforeOpening)
{
    put_all({sample(1, 0, 10)});
    std::string spelling = GetParam();
    std::string target = dir_.path(spelling.c_str());
    if (spelling == "link.db") {
        ASSERT_EQ(symlink(path_.c_str(), target.c_str()), 0);
    }
    if (spelling == "hard.db") {
        ASSERT_EQ(link(path_.c_str(), target.c_str()), 0);
    }
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    alarm(60); // without the refusal the copy waits for our own lock
    EXPECT_EQ(data_copy(target.c_str()), 1);
    alarm(0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "data_copy: " + target + ": is the store itself\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

std::string spelling_name(const ::testing::TestParamInfo<const char *> &info)
{
    const std::string s = info.param;
    return s == "store.db"     ? "Name"
           : s == "./store.db" ? "DotSlash"
           : s == "link.db"    ? "SymbolicLink"
                               : "HardLink";
}

INSTANTIATE_TEST_SUITE_P(Spellings, CopySelf,
                         ::testing::Values("store.db", "./store.db", "link.db", "hard.db"),
                         spelling_name);

struct CopyFailure {
    const char *name;
    BtreeOp op;
    unsigned skip;
    const char *err; // %s stands for the target path
    size_t copied;   // records in the target afterwards
};

class CopyFails : public Copy, public ::testing::WithParamInterface<CopyFailure>
{};

// Fault: a copy that stopped early reported success, and a repair script
// would have moved the partial copy over the store.
TEST_P(CopyFails, KeepsWhatWasCopiedAndFails)
{
    const CopyFailure &c = GetParam();
    put_all({sample(1, 0, 1), sample(1, 0, 2), sample(1, 0, 3)});
    std::string target = dir_.path("copy.db");
    btree_fail(c.op, c.skip, -1, EIO);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_copy(target.c_str()), 1);
    std::string err = c.err;
    size_t at = err.find("%s");
    if (at != std::string::npos)
        err.replace(at, 2, target);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), err);
    // The target is closed (its lock is free) and holds what was copied.
    int fd = open(target.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int locked = flock(fd, LOCK_EX | LOCK_NB);
    close(fd);
    ASSERT_EQ(locked, 0) << "target still locked";
    EXPECT_EQ(contents(target).size(), c.copied);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CopyFails,
    ::testing::Values(
        CopyFailure{"walk_cannot_start", BtreeOp::seq, 0,
                    "data_copy: db->seq(R_FIRST) failed: Input/output error\n", 0},
        CopyFailure{"walk_cannot_go_on", BtreeOp::seq, 1,
                    "data_copy: db->seq(R_NEXT) failed: Input/output error\n", 1},
        CopyFailure{"put", BtreeOp::put, 2, "data_copy: db->put: Input/output error\n", 2},
        CopyFailure{"sync", BtreeOp::sync, 0, "data_copy: dbsync: %s: Input/output error\n", 3},
        CopyFailure{"close", BtreeOp::close, 0, "data_copy: dbclose: %s: Input/output error\n", 3}),
    [](const ::testing::TestParamInfo<CopyFailure> &info) { return info.param.name; });

// A store damaged through the library is rebuilt into a file that the
// library's own checker accepts, with every valid record.
TEST_F(Copy, DamagedStoreIsRebuilt)
{
    std::vector<Raw> valid, damaged;
    for (uint32_t i = 0; i < 3000; i++) {
        valid.push_back(sample(static_cast<uint16_t>(i % 7), static_cast<uint16_t>(i % 3), i));
        if (i % 100 == 0)
            damaged.push_back(
                {key_bytes(static_cast<uint16_t>(i % 7), 1, i + 100000), std::string(i % 24, 'd')});
    }
    for (uint16_t u = 0; u < 7; u++)
        valid.push_back(last(u, 500 + u));
    damaged.push_back({key_bytes(8, LAST_LEVEL, 0), std::string(8, 'd')});
    put_all(damaged);
    put_all(valid);
    std::string target = dir_.path("rebuilt.db");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_copy(target.c_str()), 0);
    std::string named; // each damaged record, in key order
    for (const Raw &d : sorted(damaged)) {
        const SampleKey k = key_decode(reinterpret_cast<const unsigned char *>(d.key.data()));
        named += "data_copy: invalid record: level " + std::to_string(k.level) + ", dbd.size " +
                 std::to_string(d.value.size()) + " (16, 24)\n";
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), named);
    EXPECT_EQ(testing_util::verify(target), "");
    EXPECT_EQ(contents(target), sorted(valid));
}

// --- A zeroed page --------------------------------------------------------

// A store of 2000 samples whose page `page` a disk fault zeroed: to a walk
// that steps onto it, the store ends there, without an error.
class ZeroedPage : public testing_util::StoreTest, public ::testing::WithParamInterface<int>
{
  protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        testing_util::fill_and_zero_page(path_, GetParam());
        if (HasFatalFailure())
            return;
        ASSERT_EQ(data_open(path_.c_str()), 0);
    }
};

// Fault: the copy left out every record past the page, reported success,
// and the repair would have moved it over the store.
TEST_P(ZeroedPage, CopyFailsAndKeepsWhatItReached)
{
    std::string target = dir_.path("copy.db");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_copy(target.c_str()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "data_copy: db->seq(R_NEXT) failed: Input/output error\n");
    Btree *db;
    ASSERT_EQ(btree_open(target.c_str(), &db), 0);
    const size_t copied = testing_util::dump_store(db).size();
    EXPECT_EQ(btree_close(db), 0);
    EXPECT_GT(copied, 0u);
    EXPECT_LT(copied, 2000u);
}

TEST_P(ZeroedPage, TruncateFails)
{
    verbosity = 1;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_truncate_at(NOW, 1, 1), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "db->seq(R_NEXT) failed: Input/output error\n");
    const std::string out = ::testing::internal::GetCapturedStdout();
    verbosity = 0;
    // Every record that the walk reached before the page goes.
    unsigned reached = 0;
    ASSERT_EQ(sscanf(out.c_str(), "data_truncate: %u of", &reached), 1) << out;
    EXPECT_EQ(out, "data_truncate: " + std::to_string(reached) + " of " + std::to_string(reached) +
                       " entries deleted\n");
    EXPECT_GT(reached, 0u);
    EXPECT_LT(reached, 2000u);
}

// Leaves in the middle of the tree (page 1 is its root).
INSTANTIATE_TEST_SUITE_P(Leaves, ZeroedPage, ::testing::Values(3, 8, 15), testing_util::page_name);

} // namespace
} // namespace dorvane
