// End-to-end tests: the real binary on real configurations, stores and
// images, under a frozen clock (faketime) where times matter.
#include <db.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "render/render.h"
#include "run/e2e_test_util.h"
#include "store/store.h"

namespace dorvane {
namespace {

using namespace testing_util;

TEST_F(EndToEnd, QueryRunsBuildConsolidatedLevels)
{
    put("c.conf", "collect 1 = \"cat v\"\n"
                  "collect 2 = 'cat c' tdiff\n"
                  "collect 3 = 'cat v' vdiff\n");
    for (uint32_t i = 0; i < 19; i++) {
        put("v", std::to_string(i) + "\n");
        put("c", std::to_string(600 * i) + "\n");
        Result r = run("-q -c c.conf -d s.db", T0 + 60 * i);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.out, "");
        ASSERT_EQ(r.err, "");
    }
    std::vector<Record> all = dump(path("s.db"));

    std::vector<Record> raw = select(all, 1, 0);
    ASSERT_EQ(raw.size(), 19u);
    for (uint32_t i = 0; i < 19; i++) {
        EXPECT_EQ(raw[i].key.ts, T0 + 60 * i);
        SampleRecord s = raw[i].sample();
        EXPECT_EQ(s.min, i);
        EXPECT_EQ(s.avg, i);
        EXPECT_EQ(s.max, i);
    }
    // Ten samples make the first summary, nine more the next; each average
    // weights a sample by the time until the next one.
    std::vector<Record> l1 = select(all, 1, 1);
    ASSERT_EQ(l1.size(), 2u);
    EXPECT_EQ(l1[0].key.ts, T0 + 540);
    EXPECT_EQ(l1[0].sample().min, 0.0);
    EXPECT_EQ(l1[0].sample().avg, 60.0 * 36 / 540);
    EXPECT_EQ(l1[0].sample().max, 9.0);
    EXPECT_EQ(l1[1].key.ts, T0 + 1080);
    EXPECT_EQ(l1[1].sample().min, 9.0);
    EXPECT_EQ(l1[1].sample().avg, 60.0 * 117 / 540);
    EXPECT_EQ(l1[1].sample().max, 18.0);
    EXPECT_TRUE(select(all, 1, 65535).empty());

    // A counter of 600 a minute is a rate of 10 from the second run on.
    std::vector<Record> rate = select(all, 2, 0);
    ASSERT_EQ(rate.size(), 18u);
    for (const Record &r : rate)
        EXPECT_EQ(r.sample().avg, 10.0);
    EXPECT_EQ(rate[0].key.ts, T0 + 60);
    std::vector<Record> last = select(all, 2, 65535);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].key.ts, 0u);
    EXPECT_EQ(last[0].last().since, 0u);
    EXPECT_EQ(last[0].last().ts, T0 + 1080);
    EXPECT_EQ(last[0].last().val, 10800.0);

    std::vector<Record> diff = select(all, 3, 0);
    ASSERT_EQ(diff.size(), 18u);
    for (const Record &r : diff)
        EXPECT_EQ(r.sample().avg, 1.0);
}

TEST_F(EndToEnd, VerbosePhasesRunInFixedOrder)
{
    put("c.conf", "collect 4 = \"echo 2.5\"\n"
                  "image \"a.png\" { from 1 hours left graph 4 \"x\" \"y\" color 0 0 255 }\n");
    Result r = run("-v -f copy.db -t 7 -p -q -c c.conf -d s.db", T0);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "truncating database\n"
                     "data_truncate: 0 of 0 entries deleted\n"
                     "querying values\n"
                     "value_query - arg [echo 2.5]\n"
                     "value_query - query_path [echo 2.5]\n"
                     "set_col(4, echo 2.5, 2.500000)\n"
                     "storing values in database\n"
                     "data_put_value(since 0, ts 1767225600, unit 4, val 2.50, tdiff 0 vdiff 0)\n"
                     "put_value_internal(unit 4, level 0, ts 1767225600, min 2.50, avg 2.50, "
                     "max 2.50)\n"
                     "generating images\n"
                     "fetching values for unit 4 from database\n"
                     "find_highest_level(unit 4) returning level 0\n"
                     "get_values_find_level: highest level overall is 0\n"
                     "get_values_find_level(unit 4, beg 1767222000, end 1767225600, siz 507) "
                     "returning level 0\n"
                     "get_values: maximum (507 values) 0.00\n"
                     "drawing and writing images\n"
                     "graph_generate_images: generating file a.png\n"
                     "graph_generate_images: maximum left 0.00\n"
                     "graph_generate_images: maximum right 0.00\n"
                     "fixing database s.db to copy.db\n"
                     "data_copy: creating copy.db\n"
                     "data_copy: 1 records copied\n");
    struct stat st;
    EXPECT_EQ(stat(path("a.png").c_str(), &st), 0);
    EXPECT_EQ(dump(path("copy.db")).size(), dump(path("s.db")).size());
}

TEST_F(EndToEnd, ConfigurationDirectoryReadsRegularVisibleFiles)
{
    ASSERT_EQ(mkdir(path("conf.d").c_str(), 0755), 0);
    put("conf.d/a.conf", "collect 1 = \"echo 1\"\n");
    put("conf.d/.hidden.conf", "collect 2 = \"echo 2\"\n");
    ASSERT_EQ(mkdir(path("conf.d/sub").c_str(), 0755), 0);
    put("conf.d/sub/b.conf", "collect 3 = \"echo 3\"\n");
    put("other.conf", "collect 4 = \"echo 4\"\n");
    ASSERT_EQ(symlink("../other.conf", path("conf.d/link.conf").c_str()), 0);
    put("ignored.conf", "collect 5 = \"echo 5\"\n");

    Result r = run("-q -C conf.d -c ignored.conf -d s.db", T0);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    std::vector<Record> all = dump(path("s.db"));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].key.unit, 1);
}

TEST_F(EndToEnd, BackgroundCommandDoesNotHoldTheStore)
{
    put("c.conf", "collect 1 = \"(sleep 37 >/dev/null 2>&1 &) ; echo 1\"\n");
    auto start = std::chrono::steady_clock::now();
    Result first = run("-q -c c.conf -d s.db");
    Result second = run("-q -c c.conf -d s.db");
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(system("pkill -f 'sleep 3[7]' >/dev/null 2>&1; true"), 0);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out + first.err, "");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out + second.err, "");
    EXPECT_LT(seconds, 20.0);
}

TEST_F(EndToEnd, QuickReportsOfTwoUnitsAtOnce)
{
    // Powers of two, so that weighting buckets leaves them exact.
    put("c.conf", "collect 1 = \"echo 4\"\ncollect 2 = \"echo 8\"\n");
    for (uint32_t i = 0; i < 40; i++) {
        const Result q = run("-q -c c.conf -d s.db", T0 + 60 * i);
        ASSERT_EQ(q.status, 0) << "run " << i << ": " << q.err;
    }
    put("empty.conf", "");
    const uint32_t now = T0 + 60 * 40;
    // Both quick runs share the fixed quick files in /tmp.
    std::string cmd = std::string("cd ") + dir +
                      " && export TZ=UTC ASAN_OPTIONS=verify_asan_link_order=0"
                      " && (" +
                      frozen_clock(now) + DORVANE_BINARY +
                      " -c empty.conf -d s.db -g '1:from 1 hours' >one.txt 2>&1 &"
                      " " +
                      frozen_clock(now) + DORVANE_BINARY +
                      " -c empty.conf -d s.db -g '2:from 1 hours' >two.txt 2>&1; wait)";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(read_file(path("one.txt")),
              "queue: 4.00 \npavg: 4.00, pmax: 4.00\ncavg: 4.00, cmax: 4.00\n");
    EXPECT_EQ(read_file(path("two.txt")),
              "queue: 8.00 \npavg: 8.00, pmax: 8.00\ncavg: 8.00, cmax: 8.00\n");
}

TEST_F(EndToEnd, StoreThatIsNoDatabase)
{
    put("c.conf", "collect 1 = \"echo 1\"\n");
    put("s.db", "this is not a store\n");
    Result r = run("-q -c c.conf -d s.db", T0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "dbopen: s.db: Invalid argument\n");
    EXPECT_EQ(read_file(path("s.db")), "this is not a store\n");
}

// A reader that has gone away must not kill the run between store writes:
// the values are stored and the failed output gives status 1.
TEST_F(EndToEnd, ClosedOutputPipeDoesNotKillTheRun)
{
    put("c.conf", "collect 1 = \"echo 3\"\n");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], 1);
        int err = open(path("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        if (chdir(dir.c_str()) != 0)
            _exit(99);
        execl(DORVANE_BINARY, "dorvane", "-v", "-q", "-c", "c.conf", "-d", "s.db", nullptr);
        _exit(98);
    }
    close(fds[1]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st)) << "killed by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_EQ(read_file(path("err.txt")), "main: standard output: Broken pipe\n");
    std::vector<Record> all = dump(path("s.db"));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].sample().avg, 3.0);
}

TEST_F(EndToEnd, TruncateAndCopy)
{
    put("c.conf", "collect 1 = \"cat v\"\ncollect 2 = 'cat c' tdiff\n");
    for (uint32_t i = 0; i < 19; i++) {
        put("v", std::to_string(i) + "\n");
        put("c", std::to_string(600 * i) + "\n");
        const Result q = run("-q -c c.conf -d s.db", T0 + 60 * i);
        ASSERT_EQ(q.status, 0) << "run " << i << ": " << q.err;
    }
    // A day and 570 seconds later, one day of raw samples reaches back to
    // T0 + 570: the first ten samples of each unit go, summaries stay.
    Result r = run("-t 1 -c c.conf -d s.db", T0 + 86400 + 570);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    std::vector<Record> all = dump(path("s.db"));
    std::vector<Record> raw = select(all, 1, 0);
    ASSERT_EQ(raw.size(), 9u);
    EXPECT_EQ(raw[0].key.ts, T0 + 600);
    EXPECT_EQ(select(all, 1, 1).size(), 2u);
    EXPECT_EQ(select(all, 2, 0).size(), 9u);
    EXPECT_EQ(select(all, 2, 65535).size(), 1u);

    r = run("-f copy.db -c c.conf -d s.db", T0 + 86400 + 600);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    std::vector<Record> copy = dump(path("copy.db"));
    ASSERT_EQ(copy.size(), all.size());
    for (size_t i = 0; i < all.size(); i++) {
        EXPECT_EQ(memcmp(&copy[i].key, &all[i].key, sizeof(SampleKey)), 0) << i;
        EXPECT_EQ(copy[i].value, all[i].value) << i;
    }
    struct stat st;
    ASSERT_EQ(stat(path("copy.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(EndToEnd, StoreIsNeverCopiedOrDrawnOverItself)
{
    put("c.conf", "collect 1 = \"echo 1\"\n");
    ASSERT_EQ(run("-q -c c.conf -d s.db", T0).status, 0);
    ASSERT_EQ(symlink("s.db", path("link.db").c_str()), 0);
    std::string before = read_file(path("s.db"));

    Result r = run("-f ./link.db -c c.conf -d s.db", T0 + 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "data_copy: ./link.db: is the store itself\nmain: data_copy() failed\n");

    put("img.conf", "image \"link.db\" { left graph 1 \"x\" \"y\" color 0 0 0 }\n");
    r = run("-p -c img.conf -d s.db", T0 + 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "graph_generate_images: link.db: is the store itself\n"
                     "main: graph_generate_images() failed\n");
    EXPECT_EQ(read_file(path("s.db")), before);
    EXPECT_EQ(dump(path("s.db")).size(), 1u);
}

// The quick image is drawn from the values that the report prints: the
// same image drawn here from the printed values has the same bytes.
TEST_F(EndToEnd, QuickImageDrawsTheReportedValues)
{
    put("c.conf", "collect 3 = \"echo 2\"\n");
    for (uint32_t i = 0; i < 30; i++) {
        const Result q = run("-q -c c.conf -d s.db", T0 + 60 * i);
        ASSERT_EQ(q.status, 0) << "run " << i << ": " << q.err;
    }
    unlink(QUICK_IMAGE_FILE);
    const uint32_t now = T0 + 1800;
    Result r = run("-v -p -g '3:from 1 hours' -c c.conf -d s.db", now);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // At verbosity 1 the report starts with every value of the array.
    size_t start = r.out.find("\n0.00 ");
    ASSERT_NE(start, std::string::npos) << r.out;
    std::istringstream line(r.out.substr(start + 1, r.out.find('\n', start + 1) - start - 1));
    std::vector<double> v;
    for (double x; line >> x;)
        v.push_back(x);
    ASSERT_EQ(v.size(), 507u);
    EXPECT_GT(std::count(v.begin(), v.end(), 2.0), 200);

    Pool *pool = pool_create(1024);
    ImageSpec *images = nullptr;
    std::string mine = path("mine.png");
    ASSERT_EQ(graph_add_image(pool, &images, mine.c_str(), Theme::white, 640, 320, now - 3600, now),
              0);
    ASSERT_EQ(graph_add_graph(pool, &images->left, images->plot_width, 3, "x", "y", 0, 0, 0,
                              GraphType::average),
              0);
    std::copy(v.begin(), v.end(), images->left->values);
    EXPECT_EQ(graph_generate_images_at(images, now, nullptr), 0);
    pool_destroy(pool);

    std::string quick = read_file(QUICK_IMAGE_FILE);
    EXPECT_FALSE(quick.empty());
    EXPECT_TRUE(quick == read_file(mine)) << "the quick image differs from the reported values";
    unlink(QUICK_IMAGE_FILE);
}

} // namespace
} // namespace dorvane
