// End-to-end tests of dorvane-store: the real binary on a store that the
// real dorvane made under a frozen clock.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run/e2e_test_util.h"
#include "store/store.h"

namespace dorvane {
namespace {

using namespace testing_util;
using testing_util::PrintTo;

// 25 runs a minute apart from T0: unit 1 counts 0, 1, ..., 24; unit 2 is a
// counter of 600 a minute stored as a rate (10 a second); unit 7 is 7.25.
const char *const COLLECT = "collect 1 = \"cat v\"\n"
                            "collect 2 = 'cat c' tdiff\n"
                            "collect 7 = 'echo 7.25'\n";
constexpr int RUNS = 25;

// The store of the runs. CTest runs every test in a process of its own: the
// store is made once beside the binary that made it, and made again when
// that binary is newer.
std::string made_store;

bool is_newer(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
           (sa.st_mtim.tv_sec > sb.st_mtim.tv_sec ||
            (sa.st_mtim.tv_sec == sb.st_mtim.tv_sec && sa.st_mtim.tv_nsec > sb.st_mtim.tv_nsec));
}

class Store : public EndToEnd
{
  protected:
    static void SetUpTestSuite()
    {
        const std::string binary = DORVANE_BINARY;
        const std::string cached = binary.substr(0, binary.rfind('/')) + "/storetool-test.db";
        made_store = cached;
        if (is_newer(cached, binary))
            return;
        const TempDir dir;
        write_file(dir.path("c.conf"), COLLECT);
        for (int i = 0; i < RUNS; i++) {
            write_file(dir.path("v"), std::to_string(i) + "\n");
            write_file(dir.path("c"), std::to_string(600 * i) + "\n");
            std::string cmd = "cd " + dir.path() +
                              " && TZ=UTC ASAN_OPTIONS=verify_asan_link_order=0 " +
                              frozen_clock(T0 + 60 * i) + binary + " -q -c c.conf -d s.db";
            ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        }
        // Into place in one step: tests in other processes may read it.
        std::string cmd =
            "cp " + dir.path("s.db") + " " + cached + ".new && mv " + cached + ".new " + cached;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void SetUp() override
    {
        EndToEnd::SetUp();
        ASSERT_FALSE(made_store.empty());
        std::string cmd = "cp " + made_store + " " + path("s.db");
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // Runs dorvane-store with args (shell words) in the work folder.
    Result tool(const std::string &args) const
    {
        std::string cmd = std::string("cd ") + dir + " && TZ=UTC " + DORVANE_STORE_BINARY + " " +
                          args + " >out.txt 2>err.txt";
        if (args.find('<') == std::string::npos)
            cmd += " </dev/null";
        Result r;
        r.status = shell_status(system(cmd.c_str()));
        r.out = read_file(path("out.txt"));
        r.err = read_file(path("err.txt"));
        return r;
    }

    std::string size_of(const std::string &name) const
    {
        struct stat st;
        return stat(path(name).c_str(), &st) == 0 ? std::to_string(st.st_size) : "?";
    }
};

// --- list ------------------------------------------------------------------

TEST_F(Store, ListNamesEveryUnit)
{
    Result r = tool("list -d s.db");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "unit 1: records by level 25 2, first 2026-01-01T00:00:00Z, newest "
              "2026-01-01T00:24:00Z, newest value 24, last value none\n"
              "unit 2: records by level 24 2, first 2026-01-01T00:01:00Z, newest "
              "2026-01-01T00:24:00Z, newest value 10, last value 14400 at 2026-01-01T00:24:00Z\n"
              "unit 7: records by level 25 2, first 2026-01-01T00:00:00Z, newest "
              "2026-01-01T00:24:00Z, newest value 7.25, last value none\n"
              "total: 81 records, 3 units, " +
                  size_of("s.db") + " bytes\n");
}

TEST_F(Store, ListWithTheConfiguration)
{
    put("c.conf", std::string(COLLECT) +
                      "collect 9 = 'echo 9' vdiff\n"
                      "image \"a.png\" { left graph 1 \"l\" \"y\" color 0 0 0 "
                      "right graph 12 \"r\" \"y\" color 0 0 0 }\n"
                      "image \"b.png\" { left graph 1 \"l\" \"y\" color 0 0 0 }\n");
    Result r = tool("list -d s.db -c c.conf");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "unit 1: records by level 25 2, first 2026-01-01T00:00:00Z, newest "
              "2026-01-01T00:24:00Z, newest value 24, last value none, images a.png b.png, "
              "collect \"cat v\"\n"
              "unit 2: records by level 24 2, first 2026-01-01T00:01:00Z, newest "
              "2026-01-01T00:24:00Z, newest value 10, last value 14400 at 2026-01-01T00:24:00Z, "
              "no image, collect \"cat c\" tdiff\n"
              "unit 7: records by level 25 2, first 2026-01-01T00:00:00Z, newest "
              "2026-01-01T00:24:00Z, newest value 7.25, last value none, no image, collect "
              "\"echo 7.25\"\n"
              "unit 9: no records, no image, collect \"echo 9\" vdiff\n"
              "unit 12: no records, images a.png, not collected\n"
              "total: 81 records, 3 units, " +
                  size_of("s.db") + " bytes\n");
}

// --- export ------------------------------------------------------------------

struct ExportCase {
    const char *name;
    const char *args;
    const char *out;
};

class StoreExport : public Store, public testing::WithParamInterface<ExportCase>
{};

TEST_P(StoreExport, WritesTheRecords)
{
    Result r = tool(std::string("export -d s.db ") + GetParam().args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreExport,
    testing::Values(
        ExportCase{"CsvTimeOrderedAcrossUnits", "-u 7,1,2 from 1767225600 to 1767225720",
                   "time,unit,level,min,avg,max\n"
                   "1767225600,1,0,0,0,0\n"
                   "1767225600,7,0,7.25,7.25,7.25\n"
                   "1767225660,1,0,1,1,1\n"
                   "1767225660,2,0,10,10,10\n"
                   "1767225660,7,0,7.25,7.25,7.25\n"
                   "1767225720,1,0,2,2,2\n"
                   "1767225720,2,0,10,10,10\n"
                   "1767225720,7,0,7.25,7.25,7.25\n"},
        ExportCase{"Level", "-u 1 -l 1",
                   "time,unit,level,min,avg,max\n"
                   "1767226140,1,1,0,4,9\n"
                   "1767226680,1,1,9,13,18\n"},
        ExportCase{
            "Json", "-u 1 -F json from 1767225600 to 1767225660",
            "[\n{\"time\":1767225600,\"unit\":1,\"level\":0,\"min\":0,\"avg\":0,\"max\":0},\n"
            "{\"time\":1767225660,\"unit\":1,\"level\":0,\"min\":1,\"avg\":1,\"max\":1}\n]\n"},
        ExportCase{"EmptyRange", "-u 1 -F json from 1 to 2", "[\n]\n"},
        ExportCase{"OpenMetrics", "-u 1,2 -F openmetrics from 1767225600 to 1767225660",
                   "# TYPE dorvane_min gauge\n"
                   "dorvane_min{unit=\"1\"} 0 1767225600\n"
                   "dorvane_min{unit=\"1\"} 1 1767225660\n"
                   "dorvane_min{unit=\"2\"} 10 1767225660\n"
                   "# TYPE dorvane_avg gauge\n"
                   "dorvane_avg{unit=\"1\"} 0 1767225600\n"
                   "dorvane_avg{unit=\"1\"} 1 1767225660\n"
                   "dorvane_avg{unit=\"2\"} 10 1767225660\n"
                   "# TYPE dorvane_max gauge\n"
                   "dorvane_max{unit=\"1\"} 0 1767225600\n"
                   "dorvane_max{unit=\"1\"} 1 1767225660\n"
                   "dorvane_max{unit=\"2\"} 10 1767225660\n"
                   "# EOF\n"},
        ExportCase{"OpenMetricsOfALevel", "-u 2 -F openmetrics -l 1 from 1767226680 to now",
                   "# TYPE dorvane_min gauge\n"
                   "dorvane_min{unit=\"2\",level=\"1\"} 10 1767226740\n"
                   "# TYPE dorvane_avg gauge\n"
                   "dorvane_avg{unit=\"2\",level=\"1\"} 10 1767226740\n"
                   "# TYPE dorvane_max gauge\n"
                   "dorvane_max{unit=\"2\",level=\"1\"} 10 1767226740\n"
                   "# EOF\n"},
        ExportCase{"Columns", "-u 1 -w 4 -a max from 1767225600 to 1767227040",
                   "column,time,unit,max\n"
                   "0,1767225600,1,5\n"
                   "1,1767225960,1,11\n"
                   "2,1767226320,1,17\n"
                   "3,1767226680,1,23\n"},
        ExportCase{"ColumnsJson", "-u 1,7 -w 2 -F json -a min from 1767225600 to 1767227040",
                   "[\n{\"column\":0,\"time\":1767225600,\"unit\":1,\"min\":0},\n"
                   "{\"column\":0,\"time\":1767225600,\"unit\":7,\"min\":7.25},\n"
                   "{\"column\":1,\"time\":1767226320,\"unit\":1,\"min\":12},\n"
                   "{\"column\":1,\"time\":1767226320,\"unit\":7,\"min\":7.25}\n]\n"}),
    row_name);

// The values of a graph of 507 columns (an image 640 wide) over a range
// that does not fall on the sample times: exactly what dorvane's retrieval
// gives for that graph, and what its quick report prints of it.
TEST_F(Store, ExportedColumnsAreTheValuesOfTheImage)
{
    const uint32_t beg = T0 - 100, end = T0 + 1500;
    Result r = tool("export -d s.db -u 1 -w 507 from " + std::to_string(beg) + " to " +
                    std::to_string(end));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<double> exported;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "column,time,unit,avg");
    while (std::getline(lines, line))
        exported.push_back(strtod(line.substr(line.rfind(',') + 1).c_str(), nullptr));
    ASSERT_EQ(exported.size(), 507u);

    std::vector<double> drawn(507);
    ASSERT_EQ(data_open(path("s.db").c_str(), true), 0);
    ASSERT_EQ(data_get_values(1, beg, end, GraphType::average, 507, drawn.data(), 0), 0);
    ASSERT_EQ(data_close(), 0);
    for (size_t b = 0; b < drawn.size(); b++)
        EXPECT_EQ(exported[b], drawn[b]) << "column " << b;

    // dorvane's own quick report of that range prints every column at -v.
    put("empty.conf", "");
    Result g = run("-v -c empty.conf -d s.db -g '1:from " + std::to_string(beg) + " to " +
                   std::to_string(end) + "'");
    ASSERT_EQ(g.status, 0) << g.err;
    size_t queue = g.out.find("\nqueue: ");
    ASSERT_NE(queue, std::string::npos);
    size_t start = g.out.rfind('\n', queue - 1) + 1;
    std::string printed;
    for (double v : exported) {
        char b[64];
        snprintf(b, sizeof b, "%.2f ", v);
        printed += b;
    }
    EXPECT_EQ(g.out.substr(start, queue - start), printed);
}

// promtool (Debian's prometheus package) backfills a TSDB from the export,
// and its dump holds every sample at its time.
TEST_F(Store, OpenMetricsBackfillsPrometheus)
{
    if (system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus; "
                        "scripts/install-deps test installs it)";
    Result r = tool("export -d s.db -u 1,2,7 -F openmetrics");
    ASSERT_EQ(r.status, 0) << r.err;
    put("x.om", r.out);
    std::string cmd = std::string("cd ") + dir +
                      " && promtool tsdb create-blocks-from openmetrics x.om tsdb >blocks.txt 2>&1"
                      " && mkdir -p tsdb/wal && promtool tsdb dump tsdb >samples.txt 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0)
        << read_file(path("blocks.txt")) << read_file(path("samples.txt"));
    // Every level-0 record of the three units, once per family.
    std::istringstream lines(read_file(path("samples.txt")));
    std::string line;
    std::vector<std::string> seen;
    while (std::getline(lines, line))
        seen.push_back(line);
    ASSERT_EQ(seen.size(), 3u * (25 + 24 + 25)) << read_file(path("samples.txt"));
    auto has = [&](const std::string &s) {
        return std::find(seen.begin(), seen.end(), s) != seen.end();
    };
    EXPECT_TRUE(has("{__name__=\"dorvane_avg\", unit=\"1\"} 0 1767225600000"));
    EXPECT_TRUE(has("{__name__=\"dorvane_max\", unit=\"1\"} 24 1767227040000"));
    EXPECT_TRUE(has("{__name__=\"dorvane_min\", unit=\"2\"} 10 1767225660000"));
    EXPECT_TRUE(has("{__name__=\"dorvane_avg\", unit=\"7\"} 7.25 1767227040000"));
}

// The store's lock is taken for reading too: an export started while a
// collect run holds the store waits for it and sees what it stored.
TEST_F(Store, ExportWaitsForARunThatHoldsTheStore)
{
    put("slow.conf", "collect 5 = 'touch started; sleep 1; echo 99'\n");
    const auto started = static_cast<unsigned long>(time(nullptr));
    std::string cmd = std::string("cd ") + dir + " && (" + DORVANE_BINARY +
                      " -q -c slow.conf -d s.db &) && while [ ! -e started ]; do sleep 0.05; done";
    ASSERT_EQ(system(cmd.c_str()), 0);
    Result r = tool("export -d s.db -u 5");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The run's one sample, at the real time it stored it.
    const unsigned long stored = strtoul(r.out.c_str() + r.out.find('\n') + 1, nullptr, 10);
    EXPECT_GE(stored, started);
    EXPECT_LE(stored, static_cast<unsigned long>(time(nullptr)));
    EXPECT_EQ(r.out, "time,unit,level,min,avg,max\n" + std::to_string(stored) + ",5,0,99,99,99\n");
}

// --- dump and restore ---------------------------------------------------------

TEST_F(Store, DumpRestoreDumpIsTheSame)
{
    Result first = tool("dump -d s.db");
    ASSERT_EQ(first.status, 0) << first.err;
    put("d.txt", first.out);
    Result restored = tool("restore -d r.db d.txt");
    EXPECT_EQ(restored.status, 0);
    EXPECT_EQ(restored.out + restored.err, "");
    Result second = tool("dump -d r.db");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out, first.out);
    // Every record byte for byte, whatever order its values were written in.
    std::vector<Record> a = dump(path("s.db")), b = dump(path("r.db"));
    ASSERT_EQ(a.size(), 81u);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); i++)
        EXPECT_TRUE(same_record(a[i], b[i])) << "record " << i;
    EXPECT_EQ(first.out.substr(0, first.out.find('\n')), "dorvane-store dump 1");
    EXPECT_EQ(first.out.substr(first.out.rfind("end")), "end 81\n");
}

// A dump written by any host: every value comes back with its bits.
TEST_F(Store, RestoreKeepsEveryBit)
{
    put("d.txt", "dorvane-store dump 1\n"
                 "# a comment\n"
                 "\n"
                 "sample 1 0 5 -0x0p+0 0x1.999999999999ap-4 inf\n"
                 "sample 1 3 4294967295 0x0.0000000000001p-1022 -inf 1e300\n"
                 "last 1 65535 0 0 1767225600 0x1.2p+4\n"
                 "last 2 65535 9 7 8 nan(0x7ff4000000000abc)\n"
                 "sample 65535 65534 0 nan(0x7ff8000000000000) nan(0xfff0000000000001) 2.5\n"
                 "end 5\n");
    Result r = tool("restore -d r.db d.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    auto bits = [](uint64_t b) {
        double d;
        memcpy(&d, &b, sizeof d);
        return d;
    };
    auto sample = [](int unit, int level, uint32_t ts, double a, double b, double c) {
        Record rec = sample_record(unit, level, ts, a);
        SampleRecord s{a, b, c};
        memcpy(rec.value.data(), &s, sizeof s);
        return rec;
    };
    auto last = [](int unit, uint32_t ts, LastRecord l) {
        Record rec{};
        rec.key = SampleKey{static_cast<uint16_t>(unit), LAST_LEVEL, ts};
        auto *p = reinterpret_cast<const unsigned char *>(&l);
        rec.value.assign(p, p + sizeof l);
        return rec;
    };
    const std::vector<Record> expected = {
        sample(1, 0, 5, -0.0, 0.1, INFINITY),
        sample(1, 3, 4294967295u, 5e-324, -INFINITY, 1e300),
        last(1, 0, LastRecord{0, 1767225600, 18.0}),
        last(2, 9, LastRecord{7, 8, bits(0x7ff4000000000abcull)}),
        sample(65535, 65534, 0, bits(0x7ff8000000000000ull), bits(0xfff0000000000001ull), 2.5),
    };
    std::vector<Record> got = dump(path("r.db"));
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); i++)
        EXPECT_TRUE(same_record(got[i], expected[i])) << "record " << i;
    // And they are dumped as they were given, in the dump's hexadecimal form.
    Result again = tool("dump -d r.db");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(again.out, "dorvane-store dump 1\n"
                         "# sample unit level time min avg max\n"
                         "# last unit 65535 time since ts value\n"
                         "sample 1 0 5 -0x0p+0 0x1.999999999999ap-4 inf\n"
                         "sample 1 3 4294967295 0x0.0000000000001p-1022 -inf "
                         "0x1.7e43c8800759cp+996\n"
                         "last 1 65535 0 0 1767225600 0x1.2p+4\n"
                         "last 2 65535 9 7 8 nan(0x7ff4000000000abc)\n"
                         "sample 65535 65534 0 nan(0x7ff8000000000000) nan(0xfff0000000000001) "
                         "0x1.4p+1\n"
                         "end 5\n");
}

TEST_F(Store, RestoreIntoAStoreWithRecordsOnlyWhenAsked)
{
    put("d.txt", "dorvane-store dump 1\nsample 1 0 1767225600 0x1p+7 0x1p+7 0x1p+7\nend 1\n");
    auto before = snapshot(dir);
    Result refused = tool("restore -d s.db d.txt");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "restore: s.db: the store holds records; -m merges into them\n");
    EXPECT_EQ(snapshot(dir), before);

    Result merged = tool("restore -m -d s.db < d.txt");
    EXPECT_EQ(merged.status, 0) << merged.err;
    std::vector<Record> all = dump(path("s.db"));
    EXPECT_EQ(all.size(), 81u);
    EXPECT_EQ(select(all, 1, 0).front().sample().avg, 128.0);
}

struct MalformedCase {
    const char *name;
    const char *text;
    const char *err;
};

class MalformedDump : public Store, public testing::WithParamInterface<MalformedCase>
{};

// Nothing is written, not even the store's file, until every line is good.
TEST_P(MalformedDump, IsRefusedByLine)
{
    put("d.txt", GetParam().text);
    auto before = snapshot(dir);
    Result r = tool("restore -d r.db d.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(snapshot(dir), before);
}

#define DUMP_HEAD "dorvane-store dump 1\n"
#define GOOD "sample 1 0 5 0x1p+0 0x1p+0 0x1p+0\n"

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedDump,
    testing::Values(
        MalformedCase{"Empty", "", "restore: d.txt:1: empty: not a dump of dorvane-store\n"},
        MalformedCase{"NotADump", "hello\n",
                      "restore: d.txt:1: not a dump of dorvane-store: the first line is not "
                      "\"dorvane-store dump 1\"\n"},
        MalformedCase{"CutShort", DUMP_HEAD GOOD,
                      "restore: d.txt:2: no end line: the dump is cut short\n"},
        MalformedCase{"WrongCount", DUMP_HEAD GOOD "end 2\n",
                      "restore: d.txt:3: the end line counts 2 records, the dump holds 1\n"},
        MalformedCase{"AfterTheEnd", DUMP_HEAD "end 0\n" GOOD,
                      "restore: d.txt:3: a line after the end line\n"},
        MalformedCase{"UnknownLine", DUMP_HEAD "samples 1 0 5 1 1 1\nend 1\n",
                      "restore: d.txt:2: unknown line: samples\n"},
        MalformedCase{"MissingValue", DUMP_HEAD "sample 1 0 5 1 1\nend 1\n",
                      "restore: d.txt:2: 6 words, not 7\n"},
        MalformedCase{"UnitTooLarge", DUMP_HEAD "sample 65536 0 5 1 1 1\nend 1\n",
                      "restore: d.txt:2: invalid unit: 65536\n"},
        MalformedCase{"NegativeTime", DUMP_HEAD "sample 1 0 -5 1 1 1\nend 1\n",
                      "restore: d.txt:2: invalid time: -5\n"},
        MalformedCase{"TimeTooLarge", DUMP_HEAD "sample 1 0 4294967296 1 1 1\nend 1\n",
                      "restore: d.txt:2: invalid time: 4294967296\n"},
        MalformedCase{"BadValue", DUMP_HEAD GOOD "sample 1 0 6 1 0x1p+ 1\nend 2\n",
                      "restore: d.txt:3: invalid average: 0x1p+\n"},
        MalformedCase{"ValueOutOfRange", DUMP_HEAD "sample 1 0 5 1e999 1 1\nend 1\n",
                      "restore: d.txt:2: invalid minimum: 1e999\n"},
        MalformedCase{"NanWithoutBits", DUMP_HEAD "sample 1 0 5 1 1 nan\nend 1\n",
                      "restore: d.txt:2: invalid maximum: nan\n"},
        MalformedCase{"NanBitsNotANan",
                      DUMP_HEAD "sample 1 0 5 nan(0x3ff0000000000000) 1 1\n"
                                "end 1\n",
                      "restore: d.txt:2: invalid minimum: nan(0x3ff0000000000000)\n"},
        MalformedCase{"SampleAtTheLastLevel", DUMP_HEAD "sample 1 65535 0 1 1 1\nend 1\n",
                      "restore: d.txt:2: a sample at level 65535\n"},
        MalformedCase{"LastValueAtLevelZero", DUMP_HEAD "last 1 0 0 0 5 1\nend 1\n",
                      "restore: d.txt:2: a last value at level 0, not 65535\n"},
        MalformedCase{"OutOfOrder", DUMP_HEAD GOOD "sample 1 0 4 1 1 1\nend 2\n",
                      "restore: d.txt:3: unit 1, level 0, time 4 does not follow unit 1, "
                      "level 0, time 5: a dump is in key order\n"},
        MalformedCase{"Repeated", DUMP_HEAD GOOD GOOD "end 2\n",
                      "restore: d.txt:3: unit 1, level 0, time 5 does not follow unit 1, "
                      "level 0, time 5: a dump is in key order\n"}),
    row_name);

// --- Refused input of the reading operations ------------------------------------

struct RefusedCase {
    const char *name;
    const char *args;
    const char *err;
    int setup; // 0 the made store; 1 no store; 2 a zero-length file; 3 an empty store
};

class StoreRefused : public Store, public testing::WithParamInterface<RefusedCase>
{};

// Status 1 and the message; the store (or its absence) stays as it was.
TEST_P(StoreRefused, WithItsMessage)
{
    const RefusedCase &c = GetParam();
    if (c.setup == 1)
        unlink(path("s.db").c_str());
    if (c.setup == 2)
        put("s.db", "");
    if (c.setup == 3) {
        unlink(path("s.db").c_str());
        fill(path("s.db"), {});
    }
    auto before = snapshot(dir);
    Result r = tool(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(snapshot(dir), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreRefused,
    testing::Values(
        RefusedCase{"ListNoStore", "list -d s.db", "list: s.db: No such file or directory\n", 1},
        RefusedCase{"ExportNoStore", "export -d s.db -u 1",
                    "export: s.db: No such file or directory\n", 1},
        RefusedCase{"DumpNoStore", "dump -d s.db", "dump: s.db: No such file or directory\n", 1},
        RefusedCase{"ListZeroLength", "list -d s.db", "list: s.db: the store holds no records\n",
                    2},
        RefusedCase{"DumpEmptyStore", "dump -d s.db", "dump: s.db: the store holds no records\n",
                    3},
        RefusedCase{"ExportEmptyStore", "export -d s.db -u 1",
                    "export: s.db: the store holds no records\n", 3},
        RefusedCase{"UnknownUnit", "export -d s.db -u 1,3", "export: unit 3: not in the store\n",
                    0},
        RefusedCase{"BadTimeRange", "export -d s.db -u 1 from 2 dayz",
                    "export: time range:1: syntax error\n", 0},
        RefusedCase{"EmptyTimeRange", "export -d s.db -u 1 -w 10 from 1767225600 to 1767225600",
                    "export: time range from 2026-01-01T00:00:00Z to 2026-01-01T00:00:00Z holds "
                    "no time\n",
                    0},
        RefusedCase{"BadUnitList", "export -d s.db -u 1,,2", "export: invalid unit list: 1,,2\n",
                    0}),
    row_name);

// A damaged record is named, the operation fails, and the store stays as
// it was; everything else is read all the same: the operation prints what
// it prints for the store without that record (a file of the same size),
// and the list counts it.
struct DamagedCase {
    const char *name;
    const char *op;
    const char *counted; // the end of the list's total line
};

class StoreDamaged : public Store, public testing::WithParamInterface<DamagedCase>
{};

TEST_P(StoreDamaged, NamedAndReadPast)
{
    const DamagedCase &c = GetParam();
    std::vector<Record> all = dump(path("s.db"));
    std::vector<Record> without = all;
    without.erase(without.begin() + 3);
    fill(path("without.db"), without);
    all[3].value.resize(20);
    unlink(path("s.db").c_str());
    fill(path("s.db"), all);
    const Result whole = tool(std::string(c.op) + " -d without.db");
    ASSERT_EQ(whole.status, 0) << whole.err;
    std::string expected = whole.out;
    expected.insert(expected.size() - 1, c.counted);
    const std::string word(c.op, strcspn(c.op, " "));

    auto before = snapshot(dir);
    Result r = tool(std::string(c.op) + " -d s.db");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, word + ": invalid record: unit 1, level 0, time 1767225780: value of 20 "
                            "bytes, not 24\n");
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(snapshot(dir), before);
}

INSTANTIATE_TEST_SUITE_P(Operations, StoreDamaged,
                         testing::Values(DamagedCase{"List", "list", ", 1 invalid records"},
                                         DamagedCase{"Export", "export -u 1", ""},
                                         DamagedCase{"Dump", "dump", ""}),
                         row_name);

TEST_F(Store, ReadingLeavesTheStoreAsItWas)
{
    auto before = snapshot(dir);
    for (const char *args : {"list -d s.db", "export -d s.db -u 1,2,7 -F json",
                             "export -d s.db -u 2 -w 100 from 1767225600 to now", "dump -d s.db"}) {
        Result r = tool(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.err, "") << args;
        EXPECT_EQ(snapshot(dir), before) << args;
    }
}

// --- Usage -----------------------------------------------------------------------

const std::string STORE_USAGE =
    "usage: dorvane-store list [-d store] [-c config | -C configdir]\n"
    "       dorvane-store export [-d store] -u unit[,unit...] [-F csv|json|openmetrics] [-l "
    "level | -w width [-a min|avg|max]] [time range]\n"
    "       dorvane-store dump [-d store]\n"
    "       dorvane-store restore [-d store] [-m] [file]\n";

struct UsageCase {
    const char *name;
    const char *args;
    int status;
    std::string out;
    std::string err;
};

class StoreUsage : public Store, public testing::WithParamInterface<UsageCase>
{};

TEST_P(StoreUsage, Line)
{
    Result r = tool(GetParam().args);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(r.err, GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreUsage,
    testing::Values(
        UsageCase{"Help", "-h", 0, STORE_USAGE, ""},
        UsageCase{"HelpOfAnOperation", "dump -h", 0, "usage: dorvane-store dump [-d store]\n", ""},
        UsageCase{"Nothing", "", 1, "", STORE_USAGE},
        UsageCase{"UnknownOperation", "show", 1, "",
                  "dorvane-store: unknown operation: show\n" + STORE_USAGE},
        UsageCase{"UnknownOption", "dump -z", 1, "",
                  "dump: invalid option -- 'z'\nusage: dorvane-store dump [-d store]\n"},
        UsageCase{"ExportWithoutUnits", "export", 1, "",
                  "usage: dorvane-store export [-d store] -u unit[,unit...] [-F "
                  "csv|json|openmetrics] [-l level | -w width [-a min|avg|max]] [time range]\n"},
        UsageCase{"LevelAndWidth", "export -u 1 -l 1 -w 5", 1, "",
                  "usage: dorvane-store export [-d store] -u unit[,unit...] [-F "
                  "csv|json|openmetrics] [-l level | -w width [-a min|avg|max]] [time range]\n"},
        UsageCase{"UnknownFormat", "export -u 1 -F xml", 1, "", "export: unknown format: xml\n"},
        UsageCase{"TwoInputs", "restore a b", 1, "",
                  "usage: dorvane-store restore [-d store] [-m] [file]\n"}),
    row_name);

} // namespace
} // namespace dorvane
