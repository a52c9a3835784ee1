#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/lexer.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;

// Parses text as the file "t.conf" into a fresh collect table and image list.
class Grammar : public testing_util::Test
{
  protected:
    void SetUp() override { pool = pool_create(1024); }
    void TearDown() override { pool_destroy(pool); }

    ConfigResult parse(const std::string &text)
    {
        FILE *f = text.empty() ? fopen("/dev/null", "rb")
                               : fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
        testing::internal::CaptureStderr();
        before = static_cast<uint32_t>(time(nullptr));
        const ConfigResult result = parse_config_stream(pool, f, "t.conf", &images);
        after = static_cast<uint32_t>(time(nullptr));
        errors = testing::internal::GetCapturedStderr();
        fclose(f);
        return result;
    }

    unsigned image_count() const
    {
        unsigned n = 0;
        for (ImageSpec *i = images; i != nullptr; i = i->next)
            n++;
        return n;
    }

    std::vector<int> units() const
    {
        std::vector<int> out;
        for (unsigned i = 0; i < collect_table.count; i++)
            out.push_back(collect_table.rows[i].unit);
        return out;
    }

    Pool *pool = nullptr;
    ImageSpec *images = nullptr;
    std::string errors;
    uint32_t before = 0, after = 0;
};

// Checks that t lies within the clock readings around the parse, less back.
#define EXPECT_AGO(t, back)                                                                        \
    do {                                                                                           \
        EXPECT_GE((t), before - (back));                                                           \
        EXPECT_LE((t), after - (back));                                                            \
    } while (0)

TEST_F(Grammar, ExampleConfiguration)
{
    const char *text = "collect 1 = \"cat /var/run/load\" vdiff\n"
                       "collect 2 = \"cat /var/run/bytes-in\" tdiff\n"
                       "image \"/var/www/load.png\" {\n"
                       "from 2 days to now theme black\n"
                       "width 800 height 200\n"
                       "left graph 1 max \"load\" \"processes\" color 255 0 0 filled,\n"
                       "graph 1 \"load average\" \"processes\" color 0 0 255\n"
                       "right graph 2 bps \"traffic in\" \"bits/s\" color 0 128 0\n"
                       "}\n";
    ASSERT_EQ(parse(text), ConfigResult::read);
    EXPECT_EQ(errors, "");

    ASSERT_EQ(collect_table.count, 2u);
    const CollectEntry &c1 = collect_table.rows[0];
    EXPECT_EQ(c1.unit, 1);
    EXPECT_STREQ(c1.query, "cat /var/run/load");
    EXPECT_EQ(c1.tdiff, 0);
    EXPECT_EQ(c1.vdiff, 1);
    EXPECT_EQ(c1.value, 0.0);
    const CollectEntry &c2 = collect_table.rows[1];
    EXPECT_EQ(c2.unit, 2);
    EXPECT_STREQ(c2.query, "cat /var/run/bytes-in");
    EXPECT_EQ(c2.tdiff, 1);
    EXPECT_EQ(c2.vdiff, 0);

    ASSERT_EQ(image_count(), 1u);
    const ImageSpec &im = *images;
    EXPECT_STREQ(im.file, "/var/www/load.png");
    EXPECT_AGO(im.from, 2 * 86400u);
    EXPECT_AGO(im.to, 0u);
    EXPECT_EQ(im.theme, Theme::black);
    EXPECT_EQ(im.width, 800);
    EXPECT_EQ(im.height, 200);
    EXPECT_EQ(im.plot_width, 667);
    EXPECT_EQ(im.plot_height, 135);
    EXPECT_EQ(im.plot_x, 67);
    EXPECT_EQ(im.plot_y, 13);

    struct Want {
        int unit;
        const char *legend, *axis_label;
        int color, filled, bps;
        GraphType type;
    };
    auto check = [&](const GraphSpec *g, const std::vector<Want> &want) {
        for (const Want &w : want) {
            ASSERT_NE(g, nullptr);
            EXPECT_EQ(g->unit, w.unit);
            EXPECT_STREQ(g->legend, w.legend);
            EXPECT_STREQ(g->axis_label, w.axis_label);
            EXPECT_EQ(g->color, w.color);
            EXPECT_EQ(g->filled, w.filled);
            EXPECT_EQ(g->bps, w.bps);
            EXPECT_EQ(g->type, w.type);
            EXPECT_EQ(g->maximum, 0.0);
            for (int i = 0; i < im.plot_width; i++)
                ASSERT_EQ(g->values[i], 0.0) << i;
            g = g->next;
        }
        EXPECT_EQ(g, nullptr);
    };
    check(im.left, {{1, "load", "processes", 0xff0000, 1, 0, GraphType::maximum},
                    {1, "load average", "processes", 0x0000ff, 0, 0, GraphType::average}});
    check(im.right, {{2, "traffic in", "bits/s", 0x008000, 0, 1, GraphType::average}});
}

TEST_F(Grammar, Defaults)
{
    ASSERT_EQ(parse("image \"a.png\" { left graph 3 \"l\" \"y\" color 0 0 0 }"),
              ConfigResult::read);
    EXPECT_EQ(errors, "");
    ASSERT_EQ(image_count(), 1u);
    EXPECT_EQ(images->width, 640);
    EXPECT_EQ(images->height, 320);
    EXPECT_EQ(images->plot_width, 507);
    EXPECT_EQ(images->plot_height, 255);
    EXPECT_EQ(images->theme, Theme::white);
    // 1440 seconds, not minutes.
    EXPECT_AGO(images->to, 0u);
    EXPECT_AGO(images->from, 1440u);
    EXPECT_EQ(images->right, nullptr);
    ASSERT_NE(images->left, nullptr);
    EXPECT_EQ(images->left->type, GraphType::average);
    EXPECT_EQ(images->left->bps, 0);
    EXPECT_EQ(images->left->filled, 0);
}

TEST_F(Grammar, GraphOrderAndImageOrder)
{
    ASSERT_EQ(parse("image \"first\" { right graph 1 \"g1\" \"a\" color 0 0 0,"
                    " graph 2 \"g2\" \"a\" color 0 0 0, graph 3 \"g3\" \"a\" color 0 0 0 }"
                    "image \"second\" { theme white left graph 4 min \"g4\" \"b\" color 1 2 3 }"),
              ConfigResult::read);
    EXPECT_EQ(errors, "");
    ASSERT_EQ(image_count(), 2u);
    EXPECT_STREQ(images->file, "second");
    EXPECT_EQ(images->left->color, 0x010203);
    EXPECT_EQ(images->left->type, GraphType::minimum);
    const ImageSpec *first = images->next;
    EXPECT_STREQ(first->file, "first");
    EXPECT_EQ(first->left, nullptr);
    std::vector<std::string> legends;
    for (GraphSpec *g = first->right; g != nullptr; g = g->next)
        legends.push_back(g->legend);
    EXPECT_EQ(legends, (std::vector<std::string>{"g1", "g2", "g3"}));
}

TEST_F(Grammar, TwoFilesAddToOneList)
{
    ASSERT_EQ(parse("image \"one\" { left graph 1 \"a\" \"b\" color 0 0 0 }"), ConfigResult::read);
    EXPECT_EQ(errors, "");
    ASSERT_EQ(parse("image \"two\" { left graph 1 \"a\" \"b\" color 0 0 0 }"), ConfigResult::read);
    EXPECT_EQ(errors, "");
    ASSERT_EQ(image_count(), 2u);
    EXPECT_STREQ(images->file, "two");
    EXPECT_STREQ(images->next->file, "one");
}

// The timeout statement: the last one read wins, one out of range is an
// error that keeps the timeout as it was, and a quoted "timeout" is text.
struct TimeoutCase {
    const char *name;
    const char *text;
    int result;
    const char *errors;
    unsigned timeout;
};

class GrammarTimeout : public Grammar, public testing::WithParamInterface<TimeoutCase>
{};

TEST_P(GrammarTimeout, LastOneReadWins)
{
    const TimeoutCase &c = GetParam();
    EXPECT_EQ(static_cast<int>(parse(c.text)), c.result);
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(collect_timeout, c.timeout);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GrammarTimeout,
    testing::Values(
        TimeoutCase{"Default", "collect 1 = \"timeout 5 sleep 9\"", 0, "", 30},
        TimeoutCase{"Set", "collect 1 = \"a\"\ntimeout 5\ncollect 2 = \"b\"", 0, "", 5},
        TimeoutCase{"Least", "timeout 1", 0, "", 1},
        TimeoutCase{"Most", "timeout 86400", 0, "", 86400},
        TimeoutCase{"Repeated", "timeout 5 timeout 0x10\n", 0, "", 16},
        TimeoutCase{"Zero", "timeout 7\ntimeout 0", -1, "t.conf:2: invalid timeout 0\n", 7},
        TimeoutCase{"TooLarge", "timeout 86401", -1, "t.conf:1: invalid timeout 86401\n", 30},
        TimeoutCase{"Wrapped", "timeout 4294967295", -1, "t.conf:1: invalid timeout -1\n", 30},
        TimeoutCase{"NoNumber", "timeout \"5\"", -1, "t.conf:1: syntax error\n", 30},
        // Reading resumes at a timeout statement after an error, as it
        // does at a collect statement.
        TimeoutCase{"AfterAnError", "collect x\ntimeout 9", -1, "t.conf:1: syntax error\n", 9},
        TimeoutCase{"InsideImage", "image \"x\" { timeout 5 }", -1, "t.conf:1: syntax error\n", 5}),
    testing_util::row_name);

struct TimeCase {
    const char *name;
    const char *clause;
    uint32_t from_back; // from = now - from_back, or the absolute time below
    uint32_t from_abs;
    uint32_t to_abs; // 0: to is now
};

class GrammarTime : public Grammar, public testing::WithParamInterface<TimeCase>
{};

TEST_P(GrammarTime, Range)
{
    const TimeCase &c = GetParam();
    ASSERT_EQ(
        parse(std::string("image \"x\" { ") + c.clause + " left graph 1 \"a\" \"b\" color 0 0 0 }"),
        ConfigResult::read)
        << errors;
    EXPECT_EQ(errors, "");
    if (c.from_abs != 0 || c.from_back == UINT32_MAX)
        EXPECT_EQ(images->from, c.from_back == UINT32_MAX ? 0u : c.from_abs);
    else
        EXPECT_AGO(images->from, c.from_back);
    if (c.to_abs != 0)
        EXPECT_EQ(images->to, c.to_abs);
    else
        EXPECT_AGO(images->to, 0u);
}

// UINT32_MAX as from_back: reaches back before the epoch, so from is 0.
INSTANTIATE_TEST_SUITE_P(
    Clauses, GrammarTime,
    testing::Values(TimeCase{"Hours", "from 2 hours", 7200, 0, 0},
                    TimeCase{"Minutes", "from 90 minutes", 5400, 0, 0},
                    TimeCase{"Weeks", "from 3 weeks", 3 * 604800, 0, 0},
                    TimeCase{"Months", "from 2 months", 2 * 2592000, 0, 0},
                    TimeCase{"Years", "from 1 years", 31536000, 0, 0},
                    TimeCase{"Now", "from now", 0, 0, 0},
                    TimeCase{"Absolute", "from 1600000000 to 1600003600", 0, 1600000000,
                             1600003600},
                    TimeCase{"LatestEnd", "from 5 to 4294967295", 0, 5, 4294967295u},
                    TimeCase{"BeforeTheEpoch", "from 60 years", UINT32_MAX, 0, 0},
                    TimeCase{"ProductWraps", "from 4294967295 minutes", UINT32_MAX, 0, 0},
                    TimeCase{"ProductWrapsToAnEnd", "from 0xffffffff days to 7", UINT32_MAX, 0, 7}),
    testing_util::row_name);

TEST_F(Grammar, EmptyAndCommentOnlyFiles)
{
    EXPECT_EQ(parse(""), ConfigResult::read);
    EXPECT_EQ(parse("# nothing here\n\n  # at all\n"), ConfigResult::read);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(image_count(), 0u);
    EXPECT_EQ(collect_table.count, 0u);
}

struct ErrorCase {
    const char *name;
    const char *text;
    const char *errors;     // whole standard error
    std::vector<int> units; // collect table afterwards
    unsigned images;        // images afterwards
};

class GrammarErrors : public Grammar, public testing::WithParamInterface<ErrorCase>
{};

TEST_P(GrammarErrors, MessagesAndRecovery)
{
    const ErrorCase &c = GetParam();
    EXPECT_EQ(parse(c.text), ConfigResult::errors);
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(units(), c.units);
    EXPECT_EQ(image_count(), c.images);
}

#define G1 "left graph 1 \"a\" \"b\" color 0 0 0"

const ErrorCase ERROR_CASES[] = {
    {"EmptyImage",
     "collect 1 = \"a\"\nimage \"x\" {\n}\ncollect 2 = \"b\"\n",
     "t.conf:3: neither left nor right graph defined\n",
     {1, 2},
     0},
    {"ColorTooHigh",
     "image \"x\" {\n left graph 1 \"a\" \"b\" color 256 0 0\n}\ncollect 2 = \"b\"",
     "t.conf:3: invalid color 256 0 0\n",
     {2},
     0},
    {"ColorNegative",
     "image \"x\" { left graph 1 \"a\" \"b\" color 0 4294967295 0 filled }",
     "t.conf:1: invalid color 0 -1 0\n",
     {},
     0},
    {"DuplicateUnit",
     "collect 1 = \"a\"\ncollect 1 = \"b\"\n",
     "add_col: 1 already defined\nt.conf:3: add_col() failed\n",
     {1},
     0},
    {"UnitTooLarge",
     "collect 65536 = \"a\" tdiff vdiff\ncollect 65535 = \"b\"",
     "t.conf:1: invalid unit 65536\n",
     {65535},
     0},
    {"UnitNegative", "collect 0xffffffff = \"a\" vdiff", "t.conf:1: invalid unit -1\n", {}, 0},
    {"GraphUnitTooLarge",
     "image \"x\" { left graph 70000 \"a\" \"b\" color 0 0 0 }",
     "t.conf:1: invalid unit 70000\n",
     {},
     0},
    {"SizeTooSmall",
     "image \"x\" { width 133 height 320 " G1 " }",
     "t.conf:1: invalid size 133 320\n",
     {},
     0},
    {"HeightTooSmall",
     "image \"x\" { width 134 height 77 " G1 " }",
     "t.conf:1: invalid size 134 77\n",
     {},
     0},
    {"SizeTooLarge",
     "image \"x\" { width 8193 height 100 " G1 " }",
     "t.conf:1: invalid size 8193 100\n",
     {},
     0},
    {"SizeNegative",
     "image \"x\" { width 4294967295 height 100 " G1 " }",
     "t.conf:1: invalid size -1 100\n",
     {},
     0},
    {"SyntaxErrorSkipsToNextStatement",
     "image \"x\" {\n from junk " G1 " }\n7 8 \"s\" = { } collect 3 = \"c\"\n",
     "t.conf:2: syntax error\n",
     {3},
     0},
    {"ThemeAfterSize",
     "image \"x\" { width 700 height 300 theme black " G1 " }",
     "t.conf:1: syntax error\n",
     {},
     0},
    {"VdiffBeforeTdiff",
     "collect 1 = \"a\" vdiff tdiff\ncollect 2 = \"b\"",
     "t.conf:1: syntax error\n",
     {1, 2},
     0},
    {"WidthWithoutHeight", "image \"x\" { width 700 " G1 " }", "t.conf:1: syntax error\n", {}, 0},
    {"NumberAsQuery", "collect 1 = 5", "t.conf:1: syntax error\n", {}, 0},
    // Each carriage return ends its statement with an error; the second
    // comes after three accepted tokens, so it is reported too.
    {"CarriageReturns",
     "collect 1 = \"a\"\r\ncollect 2 = \"b\"\r\n",
     "t.conf:1: syntax error\nt.conf:2: syntax error\n",
     {},
     0},
    {"StrayCharacter", "collect 1 = \"a\" ; collect 2 = \"b\"", "t.conf:1: syntax error\n", {2}, 0},
    {"UnfinishedAtEnd", "collect 1 = \"a\"\nimage \"x\" {", "t.conf:2: syntax error\n", {1}, 0},
    {"UnterminatedQuote", "collect 1 = \"a", "t.conf:1: syntax error\n", {}, 0},
    // Fewer than three tokens accepted after a recovery: no second message.
    {"NoSecondMessageWithinThreeTokens",
     "collect collect collect 1 = \"a\"",
     "t.conf:1: syntax error\n",
     {1},
     0},
    {"SecondMessageAfterThreeTokens",
     "collect x\ncollect 1 = \"a\" = collect 2 = \"b\"",
     "t.conf:1: syntax error\nt.conf:2: syntax error\n",
     {2},
     0},
    {"ImageKeywordAtEnd", "collect 1 = \"x\" image", "t.conf:1: syntax error\n", {1}, 0},
    {"ErrorInLeftDropsWholeImage",
     "image \"x\" { left graph 1 \"a\" \"b\" color 0 0 0, graph 2 \"c\" \"d\" color 1 1 999 }\n"
     "image \"y\" { " G1 " }",
     "t.conf:1: invalid color 1 1 999\n",
     {},
     1},
};

INSTANTIATE_TEST_SUITE_P(Cases, GrammarErrors, testing::ValuesIn(ERROR_CASES),
                         testing_util::row_name);

TEST_F(Grammar, LexerErrorTokenIsASyntaxError)
{
    std::string text =
        "collect 1 = \"" + std::string(MAX_QUOTED + 1, 'q') + "\" tdiff\ncollect 2 = \"b\"";
    EXPECT_EQ(parse(text), ConfigResult::errors);
    // The skipped line's newline is the last character read for the token.
    EXPECT_EQ(errors, "t.conf:1: string too long\nt.conf:1: syntax error\n");
    EXPECT_EQ(units(), (std::vector<int>{2}));
}

TEST_F(Grammar, FullTableRefusesWithItsOwnMessage)
{
    std::string text;
    for (int i = 0; i < 513; i++)
        text += "collect " + std::to_string(i) + " = \"true\"\n";
    EXPECT_EQ(parse(text), ConfigResult::errors);
    EXPECT_EQ(errors, "add_col: limit of 512 collects reached\nt.conf:514: add_col() failed\n");
    EXPECT_EQ(collect_table.count, 512u);
}

// Every prefix of a valid configuration parses to success or to messages
// that all name the file and a line.
TEST_F(Grammar, EveryPrefixIsSafe)
{
    const std::string text = "collect 1 = \"cat /var/run/load\" vdiff\n"
                             "collect 2 = 'cat /var/run/bytes-in' tdiff # rate\n"
                             "image \"/var/www/load.png\" {\n"
                             "from 2 days to now theme black\n"
                             "width 800 height 200\n"
                             "left graph 1 max \"load\" \"processes\" color 255 0 0 filled,\n"
                             "graph 1 \"load av\\\nerage\" \"processes\" color 0 0 0xff\n"
                             "right graph 2 bps \"traffic in\" \"bits/s\" color 0 128 0\n"
                             "}\n";
    const std::regex line(
        R"(t\.conf:[0-9]+: (syntax error|neither left nor right graph defined)\n)");
    for (size_t n = 0; n <= text.size(); n++) {
        // Each prefix is read as the first file of a run.
        pool_destroy(pool);
        pool = pool_create(1024);
        collect_reset();
        images = nullptr;
        const ConfigResult result = parse(text.substr(0, n));
        ASSERT_TRUE(result == ConfigResult::read || result == ConfigResult::errors) << n;
        if (result == ConfigResult::read) {
            ASSERT_EQ(errors, "") << n;
        } else {
            std::string rest = errors;
            ASSERT_FALSE(rest.empty()) << n;
            for (std::smatch m; std::regex_search(rest, m, line) && m.position() == 0;)
                rest = m.suffix();
            ASSERT_EQ(rest, "") << n << ": " << errors;
        }
    }
}

class ParseConfigFile : public Grammar
{
  protected:
    void SetUp() override
    {
        Grammar::SetUp();
        umask(022); // the files written here must pass the check of their writers
    }
    ConfigResult parse_path(const std::string &path)
    {
        testing::internal::CaptureStderr();
        const ConfigResult result = parse_config(pool, path.c_str(), &images);
        errors = testing::internal::GetCapturedStderr();
        return result;
    }
    testing_util::TempDir dir;
};

TEST_F(ParseConfigFile, MissingFile)
{
    EXPECT_EQ(parse_path(dir.path("none.conf")), ConfigResult::not_read);
    EXPECT_EQ(errors, "fopen() failed: No such file or directory\n");
}

TEST_F(ParseConfigFile, DirectoryIsRefused)
{
    EXPECT_EQ(parse_path(dir.path()), ConfigResult::not_read);
    EXPECT_EQ(errors, "fopen() failed: Is a directory\n");
}

TEST_F(ParseConfigFile, MessagesNameThePath)
{
    const std::string path = dir.path("a.conf");
    testing_util::write_file(path, "collect 1 = \"x\"\n\ncollect 1 = \"y\" vdiff\n");
    EXPECT_EQ(parse_path(path), ConfigResult::errors);
    EXPECT_EQ(errors, "add_col: 1 already defined\n" + path + ":3: add_col() failed\n");
}

TEST_F(ParseConfigFile, FifoIsReadAsAStream)
{
    const std::string path = dir.path("fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::thread writer([&] {
        FILE *f = fopen(path.c_str(), "w");
        fputs("collect 9 = \"echo 9\" tdiff\n", f);
        fclose(f);
    });
    const ConfigResult result = parse_path(path);
    writer.join();
    EXPECT_EQ(result, ConfigResult::read);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(units(), (std::vector<int>{9}));
}

} // namespace
} // namespace dorvane
