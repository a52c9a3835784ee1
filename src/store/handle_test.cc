#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/test_util.h"

namespace dorvane {
namespace {

using testing_util::key_bytes;
using testing_util::last_bytes;
using testing_util::PrintTo;
using testing_util::Raw;
using testing_util::read_file;
using testing_util::sample_bytes;
using testing_util::store_page_size;
using testing_util::TempDir;
using testing_util::write_file;

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// --- Keys ---------------------------------------------------------------

struct KeyCase {
    const char *name;
    SampleKey key;
    const char *hex;
};

class KeyBytes : public ::testing::TestWithParam<KeyCase>
{};

TEST_P(KeyBytes, EncodeIsBigEndianAndDecodeRoundTrips)
{
    const KeyCase &c = GetParam();
    EXPECT_EQ(hex(key_bytes(c.key.unit, c.key.level, c.key.ts)), c.hex);
    unsigned char raw[KEY_SIZE];
    key_encode(c.key, raw);
    SampleKey back = key_decode(raw);
    EXPECT_EQ(back.unit, c.key.unit);
    EXPECT_EQ(back.level, c.key.level);
    EXPECT_EQ(back.ts, c.key.ts);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyBytes,
    ::testing::Values(KeyCase{"Sample", {1, 0, 1000}, "00010000000003e8"},
                      KeyCase{"EveryByteDiffers", {0x1234, 0x5678, 0x9abcdef0}, "123456789abcdef0"},
                      KeyCase{"LastValue", {65535, LAST_LEVEL, 0}, "ffffffff00000000"},
                      KeyCase{"LatestTime", {0, 0, UINT32_MAX}, "00000000ffffffff"}),
    testing_util::row_name);

// --- Opening and the file ------------------------------------------------

class Handle : public testing_util::Test
{
  protected:
    void TearDown() override { (void)data_close(); }
    TempDir dir_;
};

TEST_F(Handle, DumpShowsRecordLayouts)
{
    std::string path = dir_.path("store.db");
    ASSERT_EQ(data_open(path.c_str()), 0);
    ASSERT_EQ(data_put_value(0, 1000, 1, 0, 0, 2.5), 0);
    ASSERT_EQ(data_put_value(0, 1000, 2, 1, 0, 64.0), 0);
    ASSERT_EQ(data_close(), 0);

    const testing_util::CommandResult dumped =
        testing_util::run_command("db5.3_dump '" + path + "' 2>&1");
    EXPECT_EQ(dumped.status, 0);
    EXPECT_EQ(dumped.out, "VERSION=3\nformat=bytevalue\ntype=btree\ndb_pagesize=" +
                              std::to_string(store_page_size(read_file(path))) + "\nHEADER=END\n " +
                              hex(key_bytes(1, 0, 1000)) + "\n " +
                              hex(sample_bytes(2.5, 2.5, 2.5)) + "\n " +
                              hex(key_bytes(2, LAST_LEVEL, 0)) + "\n " +
                              hex(last_bytes(0, 1000, 64.0)) + "\nDATA=END\n");
}

TEST_F(Handle, MissingFileIsCreatedWithMode0600AndReadBack)
{
    std::string path = dir_.path("new.db");
    mode_t old = umask(022);
    int r = data_open(path.c_str());
    umask(old);
    ASSERT_EQ(r, 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(data_put_value(0, 1000, 1, 0, 0, 7.0), 0);
    ASSERT_EQ(data_put_value(0, 1000, 1, 0, 0, 8.0), 0);
    ASSERT_EQ(data_close(), 0);

    ASSERT_EQ(data_open(path.c_str()), 0);
    std::vector<Raw> want = {{key_bytes(1, 0, 1000), sample_bytes(8, 8, 8)}};
    EXPECT_EQ(testing_util::dump_store(), want);
}

TEST_F(Handle, ScanOrderIsUnitLevelTime)
{
    ASSERT_EQ(data_open(dir_.path("s.db").c_str()), 0);
    testing_util::put_raw(key_bytes(2, 0, 10), sample_bytes(1, 1, 1));
    testing_util::put_raw(key_bytes(1, LAST_LEVEL, 0), last_bytes(0, 5, 5));
    testing_util::put_raw(key_bytes(1, 1, 300), sample_bytes(2, 2, 2));
    testing_util::put_raw(key_bytes(1, 0, 70000), sample_bytes(3, 3, 3));
    testing_util::put_raw(key_bytes(1, 0, 400), sample_bytes(4, 4, 4));
    testing_util::put_raw(key_bytes(1, 256, 1), sample_bytes(5, 5, 5));
    std::vector<std::string> keys;
    for (const Raw &r : testing_util::dump_store())
        keys.push_back(hex(r.key));
    EXPECT_EQ(keys, (std::vector<std::string>{"0001000000000190", "0001000000011170",
                                              "000100010000012c", "0001010000000001",
                                              "0001ffff00000000", "000200000000000a"}));
}

TEST_F(Handle, OpenFailureNamesPathAndError)
{
    std::string path = dir_.path("no-such-dir/store.db");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(data_open(path.c_str()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "dbopen: " + path + ": No such file or directory\n");
    struct stat st;
    ASSERT_EQ(stat(dir_.path().c_str(), &st), 0);
    EXPECT_FALSE(data_is_store(&st));
    EXPECT_EQ(data_close(), 0);
}

struct ForeignCase {
    const char *name;
    std::string content;
    int result;
    const char *error; // after "dbopen: <path>: "; null for none
};

class ForeignFile : public Handle, public ::testing::WithParamInterface<ForeignCase>
{};

// The library's own complaint about such files must not reach the user.
TEST_P(ForeignFile, OnlyOwnMessagesOnStandardError)
{
    const ForeignCase &c = GetParam();
    std::string path = dir_.path("file");
    write_file(path, c.content);
    ::testing::internal::CaptureStderr();
    int r = data_open(path.c_str());
    if (r == 0) {
        EXPECT_EQ(data_put_value(0, 1000, 1, 0, 0, 1.0), 0);
        EXPECT_EQ(data_close(), 0);
        EXPECT_EQ(data_open(path.c_str()), 0);
        EXPECT_EQ(testing_util::dump_store(),
                  (std::vector<Raw>{{key_bytes(1, 0, 1000), sample_bytes(1, 1, 1)}}));
        EXPECT_EQ(data_close(), 0);
    }
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(err, c.error ? "dbopen: " + path + ": " + c.error + "\n" : "");
    if (r != 0) {
        EXPECT_EQ(read_file(path), c.content);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ForeignFile,
    ::testing::Values(ForeignCase{"zero_length", "", 0, nullptr},
                      ForeignCase{"text", std::string(5000, 'x'), 1, "Invalid argument"},
                      ForeignCase{"short", "not a store\n", 1, "Invalid argument"}),
    testing_util::row_name);

TEST_F(Handle, IsStoreComparesDeviceAndInode)
{
    std::string path = dir_.path("s.db");
    std::string other = dir_.path("other");
    write_file(other, "x");
    ASSERT_EQ(data_open(path.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat((dir_.path() + "/./s.db").c_str(), &st), 0);
    EXPECT_TRUE(data_is_store(&st));
    struct stat ot;
    ASSERT_EQ(stat(other.c_str(), &ot), 0);
    EXPECT_FALSE(data_is_store(&ot));
    ASSERT_EQ(data_close(), 0);
    EXPECT_FALSE(data_is_store(&st));
}

// Fault: data_close reported success although the store was not written.
TEST_F(Handle, CloseReportsFailedSyncAndClose)
{
    std::string path = dir_.path("s.db");
    testing_util::ChildResult r = testing_util::run_child(dir_, [&] {
        alarm(60);
        // A new store reaches its file with its first commit.
        if (data_open(path.c_str()) != 0 || data_close() != 0 || data_open(path.c_str()) != 0)
            return 10;
        struct stat st;
        stat(path.c_str(), &st);
        for (uint32_t i = 0; i < 2000; i++)
            if (data_put_value(0, 1000 + i, 1, 0, 0, i) != 0)
                return 11;
        // No write may grow the file: the cached pages cannot reach it.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {static_cast<rlim_t>(st.st_size), static_cast<rlim_t>(st.st_size)};
        setrlimit(RLIMIT_FSIZE, &limit);
        return data_close();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "dbsync: " + path + ": File too large\ndbclose: " + path + ": File too large\n");
}

// The room reserved ahead of the puts stops at the file size limit: puts
// whose pages fit below it are made, the first that would not fit fails,
// and the close then writes every page.
TEST_F(Handle, PutsUpToTheFileSizeLimitAreMade)
{
    std::string path = dir_.path("s.db");
    ASSERT_EQ(data_open(path.c_str()), 0);
    for (uint32_t i = 0; i < 2000; i++)
        ASSERT_EQ(data_put_value(0, 1000 + i, 1, 0, 0, i), 0);
    ASSERT_EQ(data_close(), 0);
    const std::string file = read_file(path);
    const uint32_t page_size = store_page_size(file);
    ASSERT_GT(page_size, 0u);
    testing_util::ChildResult r = testing_util::run_child(dir_, [&] {
        alarm(60);
        signal(SIGXFSZ, SIG_IGN);
        // Room for the 16 pages that one put may add, and 2 more.
        const auto size = static_cast<rlim_t>(file.size() + 18 * page_size);
        struct rlimit limit = {size, size};
        setrlimit(RLIMIT_FSIZE, &limit);
        if (data_open(path.c_str()) != 0)
            return 10;
        uint32_t made = 0;
        while (made < 20000 && data_put_value(0, 5000 + made, 1, 0, 0, 1) == 0)
            made++;
        if (made == 0 || made == 20000)
            return 11;
        return data_close();
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "db->put: File too large\n");
}

// Fault: a failed LastRecord get or put was only printed; the run could end
// with status 0 having lost the unit's reference value.
TEST_F(Handle, FailedLastRecordAccessIsRemembered)
{
    std::string path = dir_.path("s.db");
    ASSERT_EQ(data_open(path.c_str()), 0);
    // Five LastRecords: one leaf page, the root, for any page size.
    for (uint32_t u = 0; u < 5; u++)
        ASSERT_EQ(data_put_value(0, 1000, u, 1, 0, u), 0);
    EXPECT_FALSE(data_last_failed());
    ASSERT_EQ(data_close(), 0);
    const std::string meta = read_file(path);
    const uint32_t page_size = store_page_size(meta);
    ASSERT_EQ(meta.size(), 2u * page_size);

    testing_util::ChildResult r = testing_util::run_child(dir_, [&] {
        alarm(60);
        if (data_open(path.c_str()) != 0)
            return 10;
        // Damage the page of the records after the library opened the file
        // and before it reads that page.
        std::string junk(page_size, 'Z');
        int fd = open(path.c_str(), O_WRONLY);
        if (pwrite(fd, junk.data(), junk.size(), page_size) != static_cast<ssize_t>(page_size))
            return 11;
        close(fd);
        int put = data_put_value(0, 5000, 1, 1, 0, 3.0);
        printf("put %d last_failed %d\n", put, data_last_failed());
        (void)data_close();
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "put 0 last_failed 1\n");
    EXPECT_EQ(r.err, "db->get: Input/output error\ndb->put: Input/output error\n"
                     "dbsync: " +
                         path + ": Input/output error\ndbclose: " + path +
                         ": Input/output error\n");
}

// --- The lock -------------------------------------------------------------

double monotonic()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Waits (up to 20 s) until pid is seen waiting for the lock of path.
::testing::AssertionResult seen_waiting(pid_t pid, const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return ::testing::AssertionFailure() << "stat " << path;
    for (int i = 0; i < 20000; i++) {
        if (testing_util::lock_waiter(st.st_ino, pid))
            return ::testing::AssertionSuccess();
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return ::testing::AssertionFailure() << "child ended without waiting";
        usleep(1000);
    }
    return ::testing::AssertionFailure() << "child never waited for the lock";
}

// A child that opens path when told to, reports when it got the store, adds
// one sample of unit 7 and closes.
struct Waiter {
    struct Report {
        double got;      // monotonic time at which the child had the store
        int locked_path; // the locked file is the one the path names
    };
    pid_t pid;
    int go;   // write end: start opening
    int done; // read end: the time the child got the store

    static Waiter start(const std::string &path)
    {
        int go_pipe[2], done_pipe[2];
        EXPECT_EQ(pipe(go_pipe), 0);
        EXPECT_EQ(pipe(done_pipe), 0);
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(go_pipe[1]);
            close(done_pipe[0]);
            char c;
            if (read(go_pipe[0], &c, 1) != 1)
                _exit(10);
            if (data_open(path.c_str()) != 0)
                _exit(11);
            Report report{monotonic(), 0};
            // The lock must be on the file that the path names now.
            struct stat st;
            report.locked_path = stat(path.c_str(), &st) == 0 && data_is_store(&st);
            int put = data_put_value(0, 2000, 7, 0, 0, 42.0);
            int closed = data_close();
            if (write(done_pipe[1], &report, sizeof report) != sizeof report)
                _exit(12);
            _exit(put != 0 || closed != 0 ? 13 : 0);
        }
        close(go_pipe[0]);
        close(done_pipe[1]);
        return Waiter{pid, go_pipe[1], done_pipe[0]};
    }
    void release() { EXPECT_EQ(write(go, "g", 1), 1); }
    // What the child saw when it got the store; its exit status must be 0.
    Report finish()
    {
        Report got{-1, 0};
        EXPECT_EQ(read(done, &got, sizeof got), static_cast<ssize_t>(sizeof got));
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        close(go);
        close(done);
        return got;
    }
};

TEST_F(Handle, SecondProcessWaitsUntilFirstHasClosed)
{
    std::string path = dir_.path("s.db");
    Waiter waiter = Waiter::start(path);
    ASSERT_EQ(data_open(path.c_str()), 0);
    ASSERT_EQ(data_put_value(0, 1000, 1, 0, 0, 1.0), 0);
    waiter.release();
    ASSERT_TRUE(seen_waiting(waiter.pid, path));
    double closing = monotonic();
    ASSERT_EQ(data_close(), 0);
    Waiter::Report got = waiter.finish();
    EXPECT_GE(got.got, closing) << "the second process got the store while it was open";
    EXPECT_TRUE(got.locked_path);

    ASSERT_EQ(data_open(path.c_str()), 0);
    std::vector<Raw> want = {{key_bytes(1, 0, 1000), sample_bytes(1, 1, 1)},
                             {key_bytes(7, 0, 2000), sample_bytes(42, 42, 42)}};
    EXPECT_EQ(testing_util::dump_store(), want);
}

// Fault: the lock descriptor was inherited by every collect command, and a
// command that left a background process behind kept the store locked.
TEST_F(Handle, ChildProcessHoldsNoDescriptorOfStore)
{
    std::string path = dir_.path("s.db");
    ASSERT_EQ(data_open(path.c_str()), 0);
    ASSERT_EQ(data_put_value(0, 1000, 1, 0, 0, 1.0), 0);
    char real[PATH_MAX];
    ASSERT_NE(realpath(path.c_str(), real), nullptr);
    const testing_util::CommandResult r =
        testing_util::run_command("for f in /proc/$$/fd/*; do readlink \"$f\"; done");
    // (The descriptor that listed the folder is gone when readlink looks.)
    ASSERT_FALSE(r.out.empty());
    // One line a descriptor: none of them the store's.
    EXPECT_EQ(("\n" + r.out).find("\n" + std::string(real) + "\n"), std::string::npos) << r.out;
}

// Fault: a run that waited while a repaired copy was moved into place wrote
// its samples into the old, unlinked file.
TEST_F(Handle, PathReplacedWhileWaitingIsReopened)
{
    std::string path = dir_.path("s.db");
    std::string old = dir_.path("old.db");
    std::string fresh = dir_.path("fresh.db");
    Waiter waiter = Waiter::start(path);
    ASSERT_EQ(data_open(path.c_str()), 0);
    ASSERT_EQ(data_put_value(0, 1000, 1, 0, 0, 1.0), 0);
    ASSERT_EQ(link(path.c_str(), old.c_str()), 0);
    waiter.release();
    ASSERT_TRUE(seen_waiting(waiter.pid, path));
    write_file(fresh, "");
    ASSERT_EQ(rename(fresh.c_str(), path.c_str()), 0);
    ASSERT_EQ(data_close(), 0);
    EXPECT_TRUE(waiter.finish().locked_path) << "locked the replaced file";

    ASSERT_EQ(data_open(path.c_str()), 0);
    std::vector<Raw> want = {{key_bytes(7, 0, 2000), sample_bytes(42, 42, 42)}};
    EXPECT_EQ(testing_util::dump_store(), want);
    ASSERT_EQ(data_close(), 0);
    ASSERT_EQ(data_open(old.c_str()), 0);
    want = {{key_bytes(1, 0, 1000), sample_bytes(1, 1, 1)}};
    EXPECT_EQ(testing_util::dump_store(), want);
}

} // namespace
} // namespace dorvane
