#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "render/render.h"
#include "run/run.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;
using testing_util::read_file;
using testing_util::USAGE;
using testing_util::write_file;

class Options : public testing_util::Test
{
  protected:
    // The quick configuration is only ever written over a file of this
    // user: start without one.
    void SetUp() override
    {
        pool = pool_create(1024);
        unlink(QUICK_CONFIG_PATH);
    }
    void TearDown() override
    {
        pool_destroy(pool);
        unlink(QUICK_CONFIG_PATH);
    }

    OptionsResult read(std::vector<std::string> args)
    {
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStderr();
        OptionsResult r = run_read_options(pool, static_cast<int>(args.size()), argv.data(), &s);
        errors = testing::internal::GetCapturedStderr();
        return r;
    }

    Pool *pool = nullptr;
    RunSettings s{};
    std::string errors;
};

struct RefusedCase {
    const char *name;
    std::vector<std::string> args;
    std::string errors;
};

class OptionsRefused : public Options, public testing::WithParamInterface<RefusedCase>
{};

TEST_P(OptionsRefused, UsageAndMessages)
{
    EXPECT_EQ(read(GetParam().args), OptionsResult::refused);
    EXPECT_EQ(errors, GetParam().errors);
}

const RefusedCase REFUSED[] = {
    {"VerboseOnly", {"dorvane", "-v"}, USAGE},
    {"ConfigOnly", {"dorvane", "-c", "x.conf"}, USAGE},
    {"NoOptions", {"/usr/sbin/dorvane"}, USAGE},
    {"Operand", {"dorvane", "-q", "file"}, USAGE},
    {"OperandFirst", {"dorvane", "file", "-p"}, USAGE},
    {"UnknownOption",
     {"/usr/sbin/dorvane", "-x", "-q"},
     "/usr/sbin/dorvane: invalid option -- 'x'\n" + USAGE},
    {"MissingArgument",
     {"dorvane", "-q", "-d"},
     "dorvane: option requires an argument -- 'd'\n" + USAGE},
    {"DaysZero", {"dorvane", "-t", "0"}, USAGE},
    {"DaysNegative", {"dorvane", "-t", "-3"}, USAGE},
    {"DaysWord", {"dorvane", "-t", "week"}, USAGE},
    {"KeptZero", {"dorvane", "-t", "7:0"}, USAGE},
    {"KeptWord", {"dorvane", "-t", "7:x"}, USAGE},
    {"RawMissing", {"dorvane", "-t", ":7"}, USAGE},
    // atoi would wrap this to 7 and delete data.
    {"DaysOverflow", {"dorvane", "-t", "4294967303"}, USAGE},
    {"KeptOverflow", {"dorvane", "-t", "7:99999999999"}, USAGE},
    {"QuickWithoutColon", {"dorvane", "-g", "3"}, "wrong get query: 3\n" + USAGE},
    {"QuickNumberZero", {"dorvane", "-g", "0:x"}, "wrong get number: 0\n" + USAGE},
    {"QuickNumberWord", {"dorvane", "-g", "load:x"}, "wrong get number: 0\n" + USAGE},
    {"QuickNumberNegative", {"dorvane", "-g", "-2:x"}, "wrong get number: -2\n" + USAGE},
    {"QuickNumberOver16Bits", {"dorvane", "-g", "65536:x"}, "wrong get number: 65536\n" + USAGE},
    {"QuickNumberOverflow",
     {"dorvane", "-g", "99999999999:x"},
     "wrong get number: 2147483647\n" + USAGE},
    {"QuickTimeframeNewline",
     {"dorvane", "-g", "1:from 1 hours\ncollect 9 = \"id\""},
     "wrong get query: 1:from 1 hours\ncollect 9 = \"id\"\n" + USAGE},
    {"QuickTimeframeBrace", {"dorvane", "-g", "1:}"}, "wrong get query: 1:}\n" + USAGE},
    {"QuickTimeframeQuote", {"dorvane", "-g", "1:'"}, "wrong get query: 1:'\n" + USAGE},
    {"QuickTimeframeHash", {"dorvane", "-g", "1:#"}, "wrong get query: 1:#\n" + USAGE},
    {"QuickTimeframeBackslash", {"dorvane", "-g", "1:\\"}, "wrong get query: 1:\\\n" + USAGE},
};

INSTANTIATE_TEST_SUITE_P(Cases, OptionsRefused, testing::ValuesIn(REFUSED), testing_util::row_name);

TEST_F(Options, NoFirstWordGivesAnEmptyProgramName)
{
    EXPECT_EQ(read({}), OptionsResult::refused);
    EXPECT_EQ(errors, "usage:  [-v] [-c config ] [ -C configdir ] [-d data] "
                      "[ -g number:timeframe ] [-p] [-q] [-t days[:days]] [-f file]\n");
}

TEST_F(Options, Defaults)
{
    ASSERT_EQ(read({"./dorvane", "-p"}), OptionsResult::run);
    EXPECT_STREQ(s.program, "dorvane");
    EXPECT_STREQ(s.config_file, "/usr/local/etc/dorvane/dorvane.conf");
    EXPECT_EQ(s.config_dir, nullptr);
    EXPECT_STREQ(s.store, "/var/db/dorvane.db");
    EXPECT_EQ(s.copy_target, nullptr);
    EXPECT_EQ(s.draw, 1);
    EXPECT_EQ(s.query, 0);
    EXPECT_EQ(s.truncate, 0);
    EXPECT_EQ(s.quick, 0);
    EXPECT_EQ(errors, "");
}

TEST_F(Options, EveryOptionAndLastOneCounts)
{
    ASSERT_EQ(read({"dorvane", "-v", "-c", "a", "-c", "b", "-C", "dir", "-d", "s.db", "-f",
                    "new.db", "-q", "-v", "-v"}),
              OptionsResult::run);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(verbosity, 3);
    EXPECT_STREQ(s.config_file, "b");
    EXPECT_STREQ(s.config_dir, "dir");
    EXPECT_STREQ(s.store, "s.db");
    EXPECT_STREQ(s.copy_target, "new.db");
    EXPECT_EQ(s.query, 1);
}

struct DaysCase {
    const char *name;
    std::vector<std::string> args;
    int raw, kept;
};

class OptionsDays : public Options, public testing::WithParamInterface<DaysCase>
{};

TEST_P(OptionsDays, Truncation)
{
    ASSERT_EQ(read(GetParam().args), OptionsResult::run) << errors;
    EXPECT_EQ(errors, "");
    EXPECT_EQ(s.truncate, 1);
    EXPECT_EQ(s.days_raw, GetParam().raw);
    EXPECT_EQ(s.days_consolidated, GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionsDays,
    testing::Values(DaysCase{"RawOnly", {"d", "-t", "7"}, 7, 365},
                    DaysCase{"RawAndKept", {"d", "-t", "7:30"}, 7, 30},
                    DaysCase{"LastRawCountsKeptStays", {"d", "-t", "5:10", "-t", "3"}, 3, 10},
                    DaysCase{"LeadingBlankTrailingWord", {"d", "-t", " 7days"}, 7, 365},
                    DaysCase{
                        "LargestRawTrailingWord", {"d", "-t", "2147483647:1x"}, 2147483647, 1}),
    testing_util::row_name);

TEST_F(Options, QuickConfigurationTextAndFile)
{
    ASSERT_EQ(read({"dorvane", "-g", "12:from 2 hours to now"}), OptionsResult::run) << errors;
    EXPECT_EQ(errors, "");
    const std::string text = "image \"/tmp/.dorvane.png.temp\" {\n"
                             "\tfrom 2 hours to now\n"
                             "\tleft\n"
                             "\t\tgraph 12 \"x\" \"y\" color 0 0 0\n}\n";
    EXPECT_EQ(s.quick, 1);
    EXPECT_EQ(s.quick_config, text);
    EXPECT_EQ(read_file(QUICK_CONFIG_PATH), text);
    struct stat st;
    ASSERT_EQ(stat(QUICK_CONFIG_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // A later -g rewrites the file whole.
    ASSERT_EQ(read({"dorvane", "-g", "12:from 2 hours to now", "-g", "3:"}), OptionsResult::run);
    EXPECT_EQ(errors, "");
    const std::string second = "image \"/tmp/.dorvane.png.temp\" {\n\t\n\tleft\n"
                               "\t\tgraph 3 \"x\" \"y\" color 0 0 0\n}\n";
    EXPECT_EQ(read_file(QUICK_CONFIG_PATH), second);
    EXPECT_EQ(s.quick_config, second);
}

class QuickFile : public testing_util::Test
{
  protected:
    std::string path(const char *name) { return dir_.path(name); }
    int write(const std::string &p, const char *text)
    {
        testing::internal::CaptureStderr();
        int r = run_write_quick_config(p.c_str(), text);
        errors = testing::internal::GetCapturedStderr();
        return r;
    }
    testing_util::TempDir dir_;
    std::string errors;
};

TEST_F(QuickFile, ReplacesOwnFileAndSetsMode)
{
    std::string p = path("q");
    write_file(p, "a much longer old content than the new one\n", 0644);
    EXPECT_EQ(write(p, "new\n"), 0);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(read_file(p), "new\n");
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(QuickFile, RefusesLinksDirectoriesAndForeignFiles)
{
    std::string victim = path("victim");
    write_file(victim, "keep\n");
    std::string link = path("link");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    std::string hard = path("hard");
    ASSERT_EQ(::link(victim.c_str(), hard.c_str()), 0);
    std::string sub = path("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    std::string fifo = path("fifo"); // with no reader, an open could wait for ever
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    for (const std::string &p : {link, hard, sub, fifo}) {
        EXPECT_EQ(write(p, "evil\n"), 1) << p;
        EXPECT_EQ(errors, "main: fopen fail\n") << p;
    }
    EXPECT_EQ(read_file(victim), "keep\n");

    if (geteuid() == 0) {
        // Another user's file: left alone.
        std::string foreign = path("foreign");
        write_file(foreign, "theirs\n");
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_EQ(write(foreign, "evil\n"), 1);
        EXPECT_EQ(errors, "main: fopen fail\n");
        EXPECT_EQ(read_file(foreign), "theirs\n");
    }
    EXPECT_EQ(write(path("missing/dir/q"), "x"), 1);
    EXPECT_EQ(errors, "main: fopen fail\n");
}

class Configuration : public QuickFile
{
  protected:
    void SetUp() override
    {
        umask(022); // the files written here must pass the check of their writers
        pool = pool_create(1024);
        settings.config_file = "/nonexistent/dorvane.conf";
    }
    void TearDown() override { pool_destroy(pool); }
    void put(const char *name, const std::string &text) { write_file(path(name), text); }
    int read_config()
    {
        testing::internal::CaptureStderr();
        int r = run_read_configuration(pool, &settings, &images);
        errors = testing::internal::GetCapturedStderr();
        return r;
    }
    std::vector<int> units() const
    {
        std::vector<int> out;
        for (unsigned i = 0; i < collect_table.count; i++)
            out.push_back(collect_table.rows[i].unit);
        return out;
    }
    Pool *pool = nullptr;
    RunSettings settings{};
    ImageSpec *images = nullptr;
};

TEST_F(Configuration, DirectoryReadsRegularVisibleFilesOnly)
{
    put("a.conf", "collect 1 = \"echo 1\"\n");
    put(".hidden", "collect 2 = \"echo 2\"\n");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    put("sub/b.conf", "collect 3 = \"echo 3\"\n");
    put("../outside.conf", "collect 4 = \"echo 4\"\n");
    ASSERT_EQ(symlink("../outside.conf", path("link.conf").c_str()), 0);
    settings.config_dir = dir_.path().c_str();
    EXPECT_EQ(read_config(), 0);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(units(), std::vector<int>{1});
    unlink(path("../outside.conf").c_str());
}

TEST_F(Configuration, FirstFailingFileStopsTheRun)
{
    put("a.conf", "collect 1 = \"echo 1\" garbage\n");
    settings.config_dir = dir_.path().c_str();
    EXPECT_EQ(read_config(), 1);
    EXPECT_EQ(errors, path("a.conf") + ":1: syntax error\n");
}

TEST_F(Configuration, MissingDirectoryIsNamed)
{
    settings.config_dir = "/nonexistent/dorvane.d";
    EXPECT_EQ(read_config(), 1);
    EXPECT_EQ(errors, "main: opendir: /nonexistent/dorvane.d: No such file or directory\n");
}

TEST_F(Configuration, FileAndQuickConfigurationFromMemory)
{
    put("main.conf", "collect 5 = \"echo 5\"\n");
    settings.config_file = pool_strdup(pool, path("main.conf").c_str());
    settings.quick = 1;
    settings.quick_config = "image \"/tmp/.dorvane.png.temp\" {\n\tfrom 10 to 20\n\tleft\n"
                            "\t\tgraph 5 \"x\" \"y\" color 0 0 0\n}\n";
    EXPECT_EQ(read_config(), 0);
    EXPECT_EQ(units(), std::vector<int>{5});
    ASSERT_NE(images, nullptr);
    EXPECT_STREQ(images->file, QUICK_IMAGE_FILE);
    EXPECT_EQ(images->from, 10u);
    EXPECT_EQ(images->left->unit, 5);

    // Messages about the quick configuration name its file.
    settings.quick_config = "image \"/tmp/.dorvane.png.temp\" {\n\tfrom x\n}\n";
    collect_reset();
    EXPECT_EQ(read_config(), 1);
    EXPECT_EQ(errors, "/tmp/.dorvane.conf.temp:2: syntax error\n");
}

} // namespace
} // namespace dorvane
