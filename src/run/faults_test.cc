// Faults on the real binary: a full disk, a run killed in its store phase,
// files it may not read or write, runs on one store at once, and every
// refused command line and configuration. Whatever fails, the store and
// every other file stay as the last completed run left them.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/lexer.h"
#include "render/render.h"
#include "run/e2e_test_util.h"
#include "run/run.h"

namespace dorvane {
namespace {

using namespace testing_util;
using testing_util::PrintTo;

constexpr int UNITS = 500;

class Faults : public EndToEnd
{};

// A store that cannot grow (the file size limit; a full file system acts
// alike) fails the put that would need room, before the library has
// changed a page that the file cannot hold, and the failed run leaves
// nothing of itself: a run's samples are stored whole or not at all.
// Fault found: the library wrote the pages that referred to new ones and
// then failed on the new ones, leaving a tree that the cursor could no
// longer walk: 3226 of 5000 records of the earlier runs were out of reach.
TEST_F(Faults, FileSizeLimitFailsThePutAndKeepsEarlierRuns)
{
    const std::vector<Record> before = earlier_runs(UNITS, 10);
    fill(path("s.db"), before);
    put("c.conf", echo_config(UNITS));
    const std::string original = read_file(path("s.db"));
    const uint32_t page_size = store_page_size(original);
    // Room for the reserve of one put (16 pages) and 3 pages more; sh
    // counts ulimit -f in blocks of 512 bytes. The shell ignores SIGXFSZ,
    // and so does the binary, which inherits it: writes fail with EFBIG.
    const size_t blocks = (original.size() + 19 * page_size) / 512;
    Result r = run("-q -c c.conf -d s.db", T0 + 600,
                   "trap '' XFSZ; ulimit -f " + std::to_string(blocks) + ";");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "db->put: File too large\nmain: data_put_value() failed\n");
    EXPECT_TRUE(read_file(path("s.db")) == original) << "the failed run wrote into the store";

    // Without the limit the store takes the next run whole.
    r = run("-q -c c.conf -d s.db", T0 + 660);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(verify(path("s.db")), "");
    std::vector<Record> after = dump(path("s.db"));
    EXPECT_TRUE(holds_all(after, before));
    for (int u = 1; u <= UNITS; u++)
        EXPECT_EQ(select(after, u, 0).back().key.ts, T0 + 660) << u;
}

// The same on a file system that fills up: a small tmpfs of its own, in a
// mount namespace of its own that vanishes with the shell.
TEST_F(Faults, FullFileSystemFailsThePutAndKeepsEarlierRuns)
{
    if (system("unshare -m sh -c 'mount -t tmpfs -o size=64k tmpfs /mnt' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no mount namespace with a tmpfs here (needs root and mount rights)";
    const std::vector<Record> before = earlier_runs(UNITS, 10);
    fill(path("s.db"), before);
    put("c.conf", echo_config(UNITS));
    const std::string original = read_file(path("s.db"));
    ASSERT_EQ(mkdir(path("mnt").c_str(), 0755), 0);
    // Room for the store, the reserve of one put (16 pages) and 3 pages
    // more, less the configuration's.
    const size_t kib = (original.size() + 19 * store_page_size(original)) / 1024;
    std::string script = "mount -t tmpfs -o size=" + std::to_string(kib) +
                         "k tmpfs mnt && cp s.db c.conf mnt/ && cd mnt && TZ=UTC "
                         "ASAN_OPTIONS=verify_asan_link_order=0 " +
                         frozen_clock(T0 + 600) + DORVANE_BINARY +
                         " -q -c c.conf -d s.db >../out.txt 2>../err.txt; echo \\$? >../status;"
                         " cp s.db ../after.db";
    std::string cmd = std::string("cd ") + dir + " && unshare -m sh -c \"" + script + "\"";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(read_file(path("status")), "1\n");
    EXPECT_EQ(read_file(path("out.txt")), "");
    EXPECT_EQ(read_file(path("err.txt")),
              "db->put: No space left on device\nmain: data_put_value() failed\n");
    EXPECT_TRUE(read_file(path("after.db")) == original) << "the failed run wrote into the store";
}

// A run killed with SIGKILL in the middle of its store phase (or of a
// truncation), on a store larger than the library's default cache: the
// file keeps the last completed run byte for byte, and the recovery
// procedure (-f into a new file) gives a store that verifies and holds
// every record. Fault found: with the default cache of 256 KiB the library
// wrote changed pages while the run went on, the killed run left a header
// that disagreed with its pages, and a -f copy reached 47 of 20000 earlier
// records.
struct KilledCase {
    const char *name;
    std::vector<const char *> args;
    const char *trace; // start of the trace line of one stored or examined record
    int seen;          // such lines read before the kill
};

class Killed : public EndToEnd, public testing::WithParamInterface<KilledCase>
{};

TEST_P(Killed, StoreUnchangedAndRecoveredByCopy)
{
    const KilledCase &c = GetParam();
    const std::vector<Record> before = earlier_runs(UNITS, 40);
    fill(path("s.db"), before);
    const std::string original = read_file(path("s.db"));
    ASSERT_GT(original.size(), 512u * 1024);
    put("c.conf", echo_config(UNITS));

    std::vector<const char *> args{"-vv"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    FILE *traces = nullptr;
    const pid_t pid = start(args, &traces);
    ASSERT_GT(pid, 0);
    const int seen = read_until(traces, c.trace, c.seen);
    kill(pid, SIGKILL);
    const int st = finish(pid, traces);
    ASSERT_EQ(seen, c.seen);
    ASSERT_EQ(st, 128 + SIGKILL) << "the run ended on its own";

    EXPECT_TRUE(read_file(path("s.db")) == original) << "the killed run wrote into the store";
    Result r = run("-f copy.db -c c.conf -d s.db", T0 + 3600);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(verify(path("copy.db")), "");
    std::vector<Record> copy = dump(path("copy.db"));
    std::vector<Record> readable = dump(path("s.db"));
    ASSERT_EQ(copy.size(), readable.size());
    for (size_t i = 0; i < copy.size(); i++)
        EXPECT_TRUE(same_record(copy[i], readable[i])) << i;
    EXPECT_TRUE(holds_all(copy, before));
}

const KilledCase KILLED[] = {
    {"StorePhase", {"-q", "-c", "c.conf", "-d", "s.db"}, "data_put_value(", UNITS / 2},
    // Every record is older than a day by the real clock: all go.
    {"Truncation", {"-t", "1", "-c", "c.conf", "-d", "s.db"}, ", val: ", 10000},
};

INSTANTIATE_TEST_SUITE_P(Cases, Killed, testing::ValuesIn(KILLED), row_name);

// A store whose header names fewer pages than the file holds, as a run
// killed while writing can leave it: the copy of the recovery procedure
// reaches every page. Fault found: the store was opened for writing, and
// the library then stops at the header's last page: the copy reached no
// record at all.
TEST_F(Faults, CopyReachesPagesPastTheHeadersLastPage)
{
    const std::vector<Record> before = earlier_runs(UNITS, 40);
    fill(path("s.db"), before);
    std::string file = read_file(path("s.db"));
    const uint32_t short_last = 20;
    memcpy(&file[META_LAST_PAGE_AT], &short_last, sizeof short_last);
    put("s.db", file);
    ASSERT_NE(verify(path("s.db")), "");
    put("c.conf", "");

    Result r = run("-f copy.db -c c.conf -d s.db", T0 + 3600);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(path("s.db")) == file) << "the copy changed its source";
    EXPECT_EQ(verify(path("copy.db")), "");
    std::vector<Record> copy = dump(path("copy.db"));
    EXPECT_EQ(copy.size(), before.size());
    EXPECT_TRUE(holds_all(copy, before));
}

// A store whose last leaf page links back to its first: the walk of the
// copy stops when a key comes round again, with everything copied. Fault
// found: the copy (and a truncation) walked round the ring for ever.
TEST_F(Faults, CopyOfAStoreWhosePagesRingStops)
{
    const std::vector<Record> before = earlier_runs(UNITS, 40);
    fill(path("s.db"), before);
    std::string file = read_file(path("s.db"));
    const uint32_t page = store_page_size(file);
    ASSERT_GT(page, 0u);
    uint32_t first = 0, last = 0;
    for (size_t pg = 1; pg < file.size() / page; pg++) {
        if (static_cast<unsigned char>(file[pg * page + PAGE_TYPE_AT]) != PAGE_TYPE_LEAF)
            continue;
        if (file_u32(file, pg * page + PAGE_PREV_AT) == 0)
            first = static_cast<uint32_t>(pg);
        if (file_u32(file, pg * page + PAGE_NEXT_AT) == 0)
            last = static_cast<uint32_t>(pg);
    }
    ASSERT_NE(first, 0u);
    ASSERT_NE(last, first);
    memcpy(&file[last * page + PAGE_NEXT_AT], &first, sizeof first);
    put("s.db", file);
    put("c.conf", "");

    Result r = run("-f copy.db -c c.conf -d s.db", T0 + 3600);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "data_copy: db->seq(R_NEXT) failed: Input/output error\n"
                     "main: data_copy() failed\n");
    EXPECT_EQ(verify(path("copy.db")), "");
    EXPECT_TRUE(holds_all(dump(path("copy.db")), before));
    r = run("-t 1 -c c.conf -d s.db", T0 + 3600);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "db->seq(R_NEXT) failed: Input/output error\nmain: data_truncate() failed\n");
}

// The old image stays when the new one cannot be written whole: the file
// size limit stops the encoder's output half-way.
TEST_F(Faults, PngWriteFailingHalfWayKeepsTheOldImage)
{
    put("c.conf", "collect 1 = \"echo 3\"\n"
                  "image \"a.png\" { from 1 hours left graph 1 \"x\" \"y\" color 0 0 255 }\n");
    for (uint32_t i = 0; i < 5; i++)
        ASSERT_EQ(run("-q -c c.conf -d s.db", T0 + 60 * i).status, 0);
    Result r = run("-p -c c.conf -d s.db", T0 + 300);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    ASSERT_GT(read_file(path("a.png")).size(), 1024u);
    const auto before = snapshot(dir);

    r = run("-p -c c.conf -d s.db", T0 + 360, "trap '' XFSZ; ulimit -f 2;");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "dorvane: a.png: File too large\nmain: graph_generate_images() failed\n");
    EXPECT_EQ(snapshot(dir), before) << "a file was changed or left behind";
}

// Files that the run may not read or write: exact messages, status 1, and
// nothing else touched. The run is made as another user (nobody) where the
// test runs as root, for whom permissions do not hold.
struct DeniedCase {
    const char *name;
    const char *args;
    std::vector<std::string> denied; // made read-only (a folder) or unreadable (a file)
    const char *err;
    bool old_image; // img/a.png exists before the run
};

class Denied : public EndToEnd, public testing::WithParamInterface<DeniedCase>
{};

TEST_P(Denied, ExactMessageAndNothingTouched)
{
    const DeniedCase &c = GetParam();
    std::string wrapper;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "running as root without setpriv: permissions cannot be denied";
        wrapper = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    ASSERT_EQ(mkdir(path("img").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("ro").c_str(), 0755), 0);
    put("c.conf", "collect 1 = \"echo 1\"\n"
                  "image \"img/a.png\" { left graph 1 \"x\" \"y\" color 0 0 0 }\n");
    put("ro/c.conf", "collect 1 = \"echo 1\"\n");
    ASSERT_EQ(run("-q -c c.conf -d s.db", T0).status, 0);
    ASSERT_EQ(run("-q -c c.conf -d ro/s.db", T0).status, 0);
    if (c.old_image)
        put("img/a.png", "old image\n");
    if (geteuid() == 0) {
        std::string chown = std::string("chown -R 65534:65534 ") + dir;
        ASSERT_EQ(system(chown.c_str()), 0);
    }
    for (const std::string &name : c.denied) {
        struct stat st;
        ASSERT_EQ(stat(path(name).c_str(), &st), 0) << name;
        ASSERT_EQ(chmod(path(name).c_str(), S_ISDIR(st.st_mode) ? 0555 : 0), 0) << name;
    }
    const auto before = snapshot(dir);

    Result r = run(c.args, T0 + 60, "", wrapper);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(snapshot(dir), before);
}

const DeniedCase DENIED[] = {
    {"ImageFolder",
     "-p -c c.conf -d s.db",
     {"img"},
     "dorvane: img/a.png: Permission denied\nmain: graph_generate_images() failed\n",
     false},
    {"OldImageInFolder",
     "-p -c c.conf -d s.db",
     {"img/a.png", "img"},
     "dorvane: img/a.png: Permission denied\nmain: graph_generate_images() failed\n",
     true},
    {"Configuration",
     "-q -c c.conf -d s.db",
     {"c.conf"},
     "fopen() failed: Permission denied\n",
     false},
    {"StoreFolder",
     "-q -c ro/c.conf -d ro/new.db",
     {"ro"},
     "dbopen: ro/new.db: Permission denied\n",
     false},
    {"StoreFile",
     "-q -c c.conf -d ro/s.db",
     {"ro/s.db"},
     "dbopen: ro/s.db: Permission denied\n",
     false},
    {"CopyFolder",
     "-f ro/copy.db -c c.conf -d s.db",
     {"ro"},
     "data_copy: dbopen: ro/copy.db: Permission denied\nmain: data_copy() failed\n",
     false},
};

INSTANTIATE_TEST_SUITE_P(Cases, Denied, testing::ValuesIn(DENIED), row_name);

// Configuration that a user other than root and the run's own could
// change is refused before anything runs: the run would execute its
// commands as its own user. Each case makes c.conf and the folder conf.d
// with a.conf and b.conf (0644 and 0755), then changes the modes and the
// owner that it names; every file's command leaves the file "ran".
struct WritersCase {
    const char *name;
    const char *args;
    std::vector<std::pair<std::string, mode_t>> modes;
    const char *foreign; // given to an unused uid (as root only); "": none
    const char *err;     // "": accepted
};

constexpr uid_t UNUSED_UID = 54321;

class Writers : public EndToEnd, public testing::WithParamInterface<WritersCase>
{};

TEST_P(Writers, RefusedBeforeAnythingRuns)
{
    const WritersCase &c = GetParam();
    if (*c.foreign != '\0' && geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    put("c.conf", "collect 1 = \"touch ran; echo 1\"\n");
    ASSERT_EQ(mkdir(path("conf.d").c_str(), 0755), 0);
    put("conf.d/a.conf", "collect 2 = \"touch ran; echo 2\"\n");
    put("conf.d/b.conf", "collect 3 = \"touch ran; echo 3\"\n");
    for (const auto &[name, mode] : c.modes)
        ASSERT_EQ(chmod(path(name).c_str(), mode), 0) << name;
    if (*c.foreign != '\0') {
        ASSERT_EQ(chown(path(c.foreign).c_str(), UNUSED_UID, UNUSED_UID), 0);
    }
    const auto before = snapshot(dir);

    Result r = run(std::string(c.args) + " -q -d s.db", T0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    if (*c.err == '\0') {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(access(path("ran").c_str(), F_OK), 0) << "no command ran";
        EXPECT_FALSE(dump(path("s.db")).empty());
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(access(path("ran").c_str(), F_OK), 0) << "a command ran";
        EXPECT_NE(access(path("s.db").c_str(), F_OK), 0) << "the store was created";
        EXPECT_EQ(snapshot(dir), before);
    }
}

const WritersCase WRITERS[] = {
    {"File0644", "-c c.conf", {}, "", ""},
    {"File0640", "-c c.conf", {{"c.conf", 0640}}, "", ""},
    {"File0600", "-c c.conf", {{"c.conf", 0600}}, "", ""},
    {"File0664",
     "-c c.conf",
     {{"c.conf", 0664}},
     "",
     "c.conf: refused: writable by group or others\n"},
    {"File0666",
     "-c c.conf",
     {{"c.conf", 0666}},
     "",
     "c.conf: refused: writable by group or others\n"},
    {"File0646",
     "-c c.conf",
     {{"c.conf", 0646}},
     "",
     "c.conf: refused: writable by group or others\n"},
    {"File0620",
     "-c c.conf",
     {{"c.conf", 0620}},
     "",
     "c.conf: refused: writable by group or others\n"},
    {"FileOfAnotherUser", "-c c.conf", {}, "c.conf", "c.conf: refused: owned by uid 54321\n"},
    {"Folder0755", "-C conf.d", {}, "", ""},
    {"Folder0777",
     "-C conf.d",
     {{"conf.d", 0777}},
     "",
     "conf.d: refused: writable by group or others\n"},
    {"Folder0775",
     "-C conf.d",
     {{"conf.d", 0775}},
     "",
     "conf.d: refused: writable by group or others\n"},
    {"FolderOfAnotherUser", "-C conf.d", {}, "conf.d", "conf.d: refused: owned by uid 54321\n"},
    // Whichever file the listing gives first, the run stops before any
    // command.
    {"WritableFileInFolder",
     "-C conf.d",
     {{"conf.d/b.conf", 0666}},
     "",
     "conf.d/b.conf: refused: writable by group or others\n"},
    {"ForeignFileInFolder",
     "-C conf.d",
     {},
     "conf.d/a.conf",
     "conf.d/a.conf: refused: owned by uid 54321\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, Writers, testing::ValuesIn(WRITERS), row_name);

// /dev/null is writable by everyone, but what is written to it never
// reaches a reader: it stays usable as an empty configuration.
TEST_F(EndToEnd, NullDeviceIsAnEmptyConfiguration)
{
    Result r = run("-q -c /dev/null -d s.db", T0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// A store path that names no database stops every kind of run, writing
// or only reading, before it changes anything.
struct ForeignCase {
    const char *name;
    const char *args;
    const char *err;
};

class ForeignStore : public EndToEnd, public testing::WithParamInterface<ForeignCase>
{};

TEST_P(ForeignStore, RefusedUntouched)
{
    put("c.conf", "collect 1 = \"echo 1\"\n"
                  "image \"a.png\" { left graph 1 \"x\" \"y\" color 0 0 0 }\n");
    put("s.db", "this is not a store\n");
    ASSERT_EQ(mkdir(path("d.db").c_str(), 0755), 0);
    const auto before = snapshot(dir);
    Result r = run(GetParam().args, T0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(snapshot(dir), before);
}

const ForeignCase FOREIGN[] = {
    {"Query", "-q -c c.conf -d s.db", "dbopen: s.db: Invalid argument\n"},
    {"Truncate", "-t 1 -c c.conf -d s.db", "dbopen: s.db: Invalid argument\n"},
    {"Draw", "-p -c c.conf -d s.db", "dbopen: s.db: Invalid argument\n"},
    {"Copy", "-f copy.db -c c.conf -d s.db", "dbopen: s.db: Invalid argument\n"},
    {"Folder", "-q -c c.conf -d d.db", "dbopen: d.db: Is a directory\n"},
    {"FolderDraw", "-p -c c.conf -d d.db", "dbopen: d.db: Is a directory\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ForeignStore, testing::ValuesIn(FOREIGN), row_name);

// Twenty runs at once, each at its own clock second: every sample stored.
TEST_F(Faults, TwentyQueryRunsAtOnce)
{
    put("c.conf", "collect 1 = \"echo 1\"\ncollect 2 = \"echo 2\"\ncollect 3 = \"echo 3\"\n");
    std::string cmd =
        std::string("cd ") + dir + " && export TZ=UTC ASAN_OPTIONS=verify_asan_link_order=0 && (";
    for (uint32_t i = 0; i < 20; i++)
        cmd += frozen_clock(T0 + i) + DORVANE_BINARY + " -q -c c.conf -d s.db >o" +
               std::to_string(i) + " 2>&1 || echo " + std::to_string(i) + " >>failed & ";
    cmd += "wait)";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(read_file(path("failed")), "");
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(read_file(path("o" + std::to_string(i))), "") << i;
    EXPECT_EQ(verify(path("s.db")), "");
    std::vector<Record> all = dump(path("s.db"));
    for (int u = 1; u <= 3; u++) {
        std::vector<Record> raw = select(all, u, 0);
        ASSERT_EQ(raw.size(), 20u) << u;
        for (uint32_t i = 0; i < 20; i++) {
            EXPECT_EQ(raw[i].key.ts, T0 + i);
            EXPECT_EQ(raw[i].sample().avg, u);
        }
    }
}

// A copy started while a query run holds the store waits for it, and then
// copies everything that run stored.
TEST_F(Faults, CopyWaitsForTheQueryRunHoldingTheStore)
{
    // The first command holds the run, and so the store, until "go".
    std::string config =
        "collect 1 = \"touch in; while [ ! -e go ]; do sleep 0.01; done; echo 1\"\n";
    for (int u = 2; u <= 50; u++)
        config += "collect " + std::to_string(u) + " = \"echo " + std::to_string(u) + "\"\n";
    put("c.conf", config);
    ASSERT_EQ(run("-q -c c.conf -d s.db", T0, "touch go;").status, 0);
    unlink(path("go").c_str());
    unlink(path("in").c_str());

    std::string start = std::string("cd ") + dir + " && (TZ=UTC " + DORVANE_BINARY;
    // The status files appear whole, by rename.
    std::string query =
        start + " -q -c c.conf -d s.db >q.txt 2>&1; echo $? >q.tmp; mv q.tmp q.status) &";
    std::string copy =
        start + " -f copy.db -c c.conf -d s.db >f.txt 2>&1; echo $? >f.tmp; mv f.tmp f.status) &";
    ASSERT_EQ(system(query.c_str()), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (access(path("in").c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(access(path("in").c_str(), F_OK), 0) << "the query run did not start";
    ASSERT_EQ(system(copy.c_str()), 0);
    struct stat store;
    ASSERT_EQ(stat(path("s.db").c_str(), &store), 0);
    while (!lock_waiter(store.st_ino) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bool waited = lock_waiter(store.st_ino);
    put("go", "");
    while ((access(path("q.status").c_str(), F_OK) != 0 ||
            access(path("f.status").c_str(), F_OK) != 0) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(waited) << "the copy did not wait for the store";
    EXPECT_EQ(read_file(path("q.status")), "0\n");
    EXPECT_EQ(read_file(path("q.txt")), "");
    EXPECT_EQ(read_file(path("f.status")), "0\n");
    EXPECT_EQ(read_file(path("f.txt")), "");
    std::vector<Record> all = dump(path("s.db"));
    std::vector<Record> copied = dump(path("copy.db"));
    ASSERT_EQ(copied.size(), all.size());
    for (size_t i = 0; i < all.size(); i++)
        EXPECT_TRUE(same_record(copied[i], all[i])) << i;
    for (int u = 1; u <= 50; u++)
        EXPECT_EQ(select(copied, u, 0).size(), 2u) << u;
}

// A reader polling an image while runs redraw it in a loop only ever sees
// a whole PNG: the image is renamed into place once written.
TEST_F(Faults, ImageReaderNeverSeesAPartialPng)
{
    put("c.conf", "collect 1 = \"echo 3\"\n"
                  "image \"a.png\" { from 1 hours\n"
                  "left graph 1 \"x\" \"y\" color 0 0 255 filled }\n");
    for (uint32_t i = 0; i < 5; i++)
        ASSERT_EQ(run("-q -c c.conf -d s.db", T0 + 60 * i).status, 0);
    ASSERT_EQ(run("-p -c c.conf -d s.db").status, 0);
    std::string loop = std::string("cd ") + dir + " && (ok=0; for i in $(seq 40); do TZ=UTC " +
                       DORVANE_BINARY + " -p -c c.conf -d s.db || { ok=1; break; }; done;" +
                       " echo $ok >done.tmp; mv done.tmp done) >loop.txt 2>&1 &";
    ASSERT_EQ(system(loop.c_str()), 0);
    const std::string signature("\x89PNG\r\n\x1a\n", 8);
    const std::string end("IEND\xae\x42\x60\x82", 8);
    int reads = 0, partial = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (access(path("done").c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::string png = read_file(path("a.png"));
        reads++;
        if (png.size() < 16 || png.compare(0, 8, signature) != 0 ||
            png.compare(png.size() - 8, 8, end) != 0)
            partial++;
    }
    EXPECT_EQ(read_file(path("done")), "0\n");
    EXPECT_EQ(read_file(path("loop.txt")), "");
    EXPECT_GT(reads, 0);
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";
}

// Every refused command line and every configuration error: status 1, its
// exact message, the store byte for byte as it was and no file written,
// but for the quick configuration that a well-formed -g writes at once.
// The run refuses before it opens the store: where there is none, it makes
// none. Each message is pinned first in the table of the layer that prints
// it (options_test.cc, grammar_test.cc); a row here is a path through main.
struct BadCase {
    const char *name;
    std::string args;
    std::string err;
    bool writes_quick_config;
};

const char BAD_CONF[] = "collect 1 = \"echo 1\"\n"
                        "image \"a.png\" { left graph 1 \"x\" \"y\" color 0 0 0 }\n";

class BadInput : public EndToEnd, public testing::WithParamInterface<BadCase>
{
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        saved_quick_ = read_file(QUICK_CONFIG_PATH);
        had_quick_ = access(QUICK_CONFIG_PATH, F_OK) == 0;
    }
    void TearDown() override
    {
        if (had_quick_)
            ASSERT_EQ(run_write_quick_config(QUICK_CONFIG_PATH, saved_quick_.c_str()), 0);
        else
            unlink(QUICK_CONFIG_PATH);
        EndToEnd::TearDown();
    }
    std::string saved_quick_;
    bool had_quick_ = false;
};

TEST_P(BadInput, RefusedWithoutWriting)
{
    const BadCase &c = GetParam();
    put("c.conf", BAD_CONF);
    ASSERT_EQ(run("-q -p -c c.conf -d s.db", T0).status, 0);
    ASSERT_EQ(mkdir(path("conf.d").c_str(), 0755), 0);
    put("conf.d/a.conf", "collect x\n");
    put("dup.conf", "collect 7 = \"echo 1\"\ncollect 7 = \"echo 2\"\n");
    put("syntax.conf", "collect 1 = \"echo 1\"\ncollect x\n");
    put("long.conf", "collect 1 = \"" + std::string(MAX_QUOTED + 1, 'q') + "\"\n");
    put("unit.conf", "collect 65536 = \"echo 1\"\n");
    put("gunit.conf", "image \"a.png\" { left graph 70000 \"x\" \"y\" color 0 0 0 }\n");
    put("size.conf",
        "image \"a.png\" { width 100 height 320 left graph 1 \"x\" \"y\" color 0 0 0 }\n");
    put("color.conf", "image \"a.png\" { left graph 1 \"x\" \"y\" color 0 300 0 }\n");
    put("empty.conf", "image \"a.png\" {\n}\n");
    put("timeout.conf", "collect 1 = \"echo 1\"\ntimeout 86401\n");
    std::string many;
    for (int u = 1; u <= 513; u++)
        many += "collect " + std::to_string(u) + " = \"echo 1\"\n";
    put("many.conf", many);
    unlink(QUICK_IMAGE_FILE);
    const auto before = snapshot(dir);
    const std::string quick_before = read_file(QUICK_CONFIG_PATH);

    Result r = run(c.args, T0 + 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_NE(access(QUICK_IMAGE_FILE, F_OK), 0) << "the quick image was drawn";
    if (!c.writes_quick_config) {
        EXPECT_EQ(read_file(QUICK_CONFIG_PATH), quick_before);
    }

    ASSERT_EQ(unlink(path("s.db").c_str()), 0);
    r = run(c.args, T0 + 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_NE(access(path("s.db").c_str(), F_OK), 0) << "a store was made";
}

const std::string BIN = DORVANE_BINARY;
const std::string S = " -c c.conf -d s.db";

const BadCase BAD[] = {
    {"NoAction", "-v" + S, USAGE, false},
    {"Operand", "-q" + S + " more", USAGE, false},
    {"UnknownOption", "-q -x" + S, BIN + ": invalid option -- 'x'\n" + USAGE, false},
    {"MissingArgument", "-q -d s.db -c", BIN + ": option requires an argument -- 'c'\n" + USAGE,
     false},
    {"TruncateZero", "-t 0" + S, USAGE, false},
    {"TruncateNegative", "-t -3" + S, USAGE, false},
    {"TruncateKeptZero", "-t 7:0" + S, USAGE, false},
    {"TruncateKeptMissing", "-t 7:" + S, USAGE, false},
    {"TruncateOnlyKept", "-t :7" + S, USAGE, false},
    {"TruncateWord", "-t week" + S, USAGE, false},
    {"TruncateOverflow", "-t 2147483648" + S, USAGE, false},
    {"QuickNoColon", "-g 1" + S, "wrong get query: 1\n" + USAGE, false},
    {"QuickZero", "-g '0:from 1 hours'" + S, "wrong get number: 0\n" + USAGE, false},
    {"QuickNoNumber", "-g ':from 1 hours'" + S, "wrong get number: 0\n" + USAGE, false},
    {"QuickUnitTooLarge", "-g '65536:from 1 hours'" + S, "wrong get number: 65536\n" + USAGE,
     false},
    {"QuickQuote", "-g '1:from 1 hours\" }'" + S, "wrong get query: 1:from 1 hours\" }\n" + USAGE,
     false},
    {"QuickBrace", "-g '1:} image \"x.png\" {'" + S,
     "wrong get query: 1:} image \"x.png\" {\n" + USAGE, false},
    {"QuickSyntax", "-g '1:from junk'" + S, "/tmp/.dorvane.conf.temp:2: syntax error\n", true},
    {"QuickSecondRefused", "-g '1:from 1 hours' -g 2" + S, "wrong get query: 2\n" + USAGE, true},
    {"MissingConfig", "-q -c none.conf -d s.db", "fopen() failed: No such file or directory\n",
     false},
    {"ConfigFolder", "-q -c conf.d -d s.db", "fopen() failed: Is a directory\n", false},
    {"ConfigReadError", "-q -c /proc/self/mem -d s.db",
     "/proc/self/mem:1: read error: Input/output error\n", false},
    {"MissingConfigFolder", "-q -C none.d -d s.db",
     "main: opendir: none.d: No such file or directory\n", false},
    {"ConfigFolderIsAFile", "-q -C c.conf -d s.db", "main: opendir: c.conf: Not a directory\n",
     false},
    {"ErrorInFolder", "-q -C conf.d -d s.db", "conf.d/a.conf:1: syntax error\n", false},
    {"DuplicateUnit", "-q -c dup.conf -d s.db",
     "add_col: 7 already defined\ndup.conf:3: add_col() failed\n", false},
    {"SyntaxError", "-q -c syntax.conf -d s.db", "syntax.conf:2: syntax error\n", false},
    {"StringTooLong", "-q -c long.conf -d s.db",
     "long.conf:1: string too long\nlong.conf:1: syntax error\n", false},
    {"UnitTooLarge", "-q -c unit.conf -d s.db", "unit.conf:2: invalid unit 65536\n", false},
    {"GraphUnitTooLarge", "-p -c gunit.conf -d s.db", "gunit.conf:1: invalid unit 70000\n", false},
    {"ImageTooSmall", "-p -c size.conf -d s.db", "size.conf:1: invalid size 100 320\n", false},
    {"ColorOutOfRange", "-p -c color.conf -d s.db", "color.conf:1: invalid color 0 300 0\n", false},
    {"TimeoutOutOfRange", "-q -c timeout.conf -d s.db", "timeout.conf:2: invalid timeout 86401\n",
     false},
    {"ImageWithoutGraphs", "-p -c empty.conf -d s.db",
     "empty.conf:2: neither left nor right graph defined\n", false},
    {"TooManyCollects", "-q -c many.conf -d s.db",
     "add_col: limit of 512 collects reached\nmany.conf:514: add_col() failed\n", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, BadInput, testing::ValuesIn(BAD), row_name);

} // namespace
} // namespace dorvane
