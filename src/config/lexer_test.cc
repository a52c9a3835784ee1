#include "config/lexer.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/grammar.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;

// Reads every token of text and renders each as NAME or NAME:value, with its
// line when with_lines is set.
struct Lexed {
    std::vector<std::string> tokens;
    std::string errors;
};

std::string token_name(int t)
{
    static const char *const NAMES[] = {
        "ERROR", "IMAGE",  "FROM",  "MINUTES", "HOURS",  "DAYS",    "WEEKS",  "MONTHS",
        "YEARS", "TO",     "NOW",   "WIDTH",   "HEIGHT", "LEFT",    "RIGHT",  "GRAPH",
        "COLOR", "FILLED", "THEME", "WHITE",   "BLACK",  "COLLECT", "TDIFF",  "VDIFF",
        "BPS",   "AVG",    "MIN",   "MAX",     "STRING", "NUMBER",  "TIMEOUT"};
    if (t >= 257 && t <= 287)
        return NAMES[t - 257];
    if (t >= 32 && t < 127)
        return std::string("'") + static_cast<char>(t) + "'";
    return "#" + std::to_string(t);
}

Lexed lex(const std::string &text, bool with_lines = false)
{
    Pool *pool = pool_create(1024);
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    if (text.empty())
        f = fopen("/dev/null", "rb");
    config_begin(f, "t.conf", pool);
    Lexed out;
    testing::internal::CaptureStderr();
    for (int t; (t = yylex()) != 0;) {
        std::string s = token_name(t);
        if (t == NUMBER)
            s += ":" + std::to_string(yylval.number);
        else if (t == STRING)
            s += ":" + std::string(yylval.string);
        if (with_lines)
            s += "@" + std::to_string(config_reader.token_line);
        out.tokens.push_back(s);
    }
    out.errors = testing::internal::GetCapturedStderr();
    fclose(f);
    pool_destroy(pool);
    return out;
}

using Tokens = std::vector<std::string>;

struct TokenCase {
    const char *name;
    std::string input;
    Tokens tokens;
};

class LexerTokens : public testing::TestWithParam<TokenCase>
{};

TEST_P(LexerTokens, Sequence)
{
    Lexed got = lex(GetParam().input);
    EXPECT_EQ(got.tokens, GetParam().tokens);
    EXPECT_EQ(got.errors, "");
}

const TokenCase TOKEN_CASES[] = {
    {"NoBlanksNeeded", "collect 1=\"x\"", {"COLLECT", "NUMBER:1", "'='", "STRING:x"}},
    {"BlanksAround", "collect 1 = \"x\"", {"COLLECT", "NUMBER:1", "'='", "STRING:x"}},
    {"Braces", "{a,b}", {"'{'", "STRING:a", "','", "STRING:b", "'}'"}},
    {"KeywordOnlyUnquoted",
     "now \"now\" Now 'now'",
     {"NOW", "STRING:now", "STRING:Now", "STRING:now"}},
    {"TimeoutOnlyUnquoted",
     "timeout 5 \"sleep 9; timeout 5 x\" timeouts",
     {"TIMEOUT", "NUMBER:5", "STRING:sleep 9; timeout 5 x", "STRING:timeouts"}},
    {"Hex",
     "0x1F 0xff 0xFF 007 0",
     {"NUMBER:31", "NUMBER:255", "NUMBER:255", "NUMBER:7", "NUMBER:0"}},
    {"UpperXIsNoHex", "0X1F", {"NUMBER:0", "STRING:X1F"}},
    {"XAfterOtherDigits", "10x", {"NUMBER:10", "STRING:x"}},
    {"HexWithoutDigits", "0xg", {"NUMBER:0", "STRING:g"}},
    {"HexAtEnd", "0x", {"NUMBER:0"}},
    {"Wrap32", "4294967295 4294967296 2147483648", {"NUMBER:-1", "NUMBER:0", "NUMBER:-2147483648"}},
    {"TwentyDigits",
     "99999999999999999999 0xfffffffffffffffff",
     {"NUMBER:1661992959", "NUMBER:-1"}},
    {"NoSignNoFraction", "-5 1.5", {"'-'", "NUMBER:5", "NUMBER:1", "'.'", "NUMBER:5"}},
    {"NumberThenWord", "640px", {"NUMBER:640", "STRING:px"}},
    {"WordPunctuation",
     "used-memory.total x$%&*+:;?@[]\\^_`|~\"'",
     {"STRING:used-memory.total", "STRING:x$%&*+:;?@[]\\^_`|~\"'"}},
    {"PunctuationStartsNoWord", "$x", {"'$'", "STRING:x"}},
    {"WordEnders",
     "a/b(c)d<e>f!g=h,i{j}k",
     {"STRING:a", "'/'",      "STRING:b", "'('",      "STRING:c", "')'",      "STRING:d",
      "'<'",      "STRING:e", "'>'",      "STRING:f", "'!'",      "STRING:g", "'='",
      "STRING:h", "','",      "STRING:i", "'{'",      "STRING:j", "'}'",      "STRING:k"}},
    {"QuotesNoEscapes", "'it\"s' \"a'b\\c\"", {"STRING:it\"s", "STRING:a'b\\c"}},
    {"EmptyQuoted", "\"\" ''", {"STRING:", "STRING:"}},
    {"NewlineInQuotesDropped", "\"ab\ncd\"", {"STRING:abcd"}},
    {"HashInQuotesIsComment", "\"a#b\"\ncd\" x", {"STRING:acd", "STRING:x"}},
    {"ContinuationInKeyword", "gra\\\nph", {"GRAPH"}},
    {"ContinuationInQuotes", "\"a\\\nb\"", {"STRING:ab"}},
    {"BackslashAlone", "\\ a", {"'\\'", "STRING:a"}},
    {"BackslashAfterNumber", "12\\x", {"NUMBER:12", "'\\'", "STRING:x"}},
    {"CommentDoesNotContinue", "# c \\\nimage", {"IMAGE"}},
    {"CarriageReturn", "collect\r\n", {"COLLECT", "#13"}},
    {"HighBytesEndWords",
     "ab\xe9"
     "cd",
     {"STRING:ab", "#233", "STRING:cd"}},
    {"HighByteAlone", "\xff", {"#255"}},
    {"NulEndsInput", std::string("a\0b", 3), {"STRING:a"}},
    {"NulCutsQuoted", std::string("\"a\0b\" c", 7), {"STRING:a", "STRING:c"}},
    {"UnterminatedQuote", "x \"abc", {"STRING:x"}},
    {"EmptyInput", "", {}},
    {"OnlyComments", "# one\n\n   # two\n\t\n", {}},
};

INSTANTIATE_TEST_SUITE_P(Lexer, LexerTokens, testing::ValuesIn(TOKEN_CASES),
                         testing_util::row_name);

TEST(Lexer, TokenCodes)
{
    EXPECT_EQ(ERROR, 257);
    EXPECT_EQ(IMAGE, 258);
    EXPECT_EQ(NOW, 267);
    EXPECT_EQ(BLACK, 277);
    EXPECT_EQ(COLLECT, 278);
    EXPECT_EQ(STRING, 285);
    EXPECT_EQ(NUMBER, 286);
    EXPECT_EQ(TIMEOUT, 287);
}

TEST(Lexer, EveryKeywordAndNoOther)
{
    const std::pair<const char *, int> keywords[] = {
        {"avg", AVG},       {"black", BLACK},     {"bps", BPS},       {"collect", COLLECT},
        {"color", COLOR},   {"days", DAYS},       {"filled", FILLED}, {"from", FROM},
        {"graph", GRAPH},   {"height", HEIGHT},   {"hours", HOURS},   {"image", IMAGE},
        {"left", LEFT},     {"max", MAX},         {"min", MIN},       {"minutes", MINUTES},
        {"months", MONTHS}, {"now", NOW},         {"right", RIGHT},   {"tdiff", TDIFF},
        {"theme", THEME},   {"timeout", TIMEOUT}, {"to", TO},         {"vdiff", VDIFF},
        {"weeks", WEEKS},   {"white", WHITE},     {"width", WIDTH},   {"years", YEARS},
    };
    for (const auto &[text, token] : keywords) {
        EXPECT_EQ(keyword_lookup(text), token) << text;
        std::string upper = text;
        upper[0] = static_cast<char>(upper[0] - 'a' + 'A');
        EXPECT_EQ(keyword_lookup(upper.c_str()), STRING) << upper;
        EXPECT_EQ(keyword_lookup((std::string(text) + "s").c_str()) == STRING,
                  std::string(text) != "minute" && std::string(text) != "month")
            << text;
    }
    for (const char *word : {"", "a", "zz", "mi", "colo", "image2", "yearsx"})
        EXPECT_EQ(keyword_lookup(word), STRING) << word;
}

TEST(Lexer, TokenLines)
{
    Lexed got = lex("a\n\nb \\\n c\n# comment\nd \"x\ny\" e\n\n", true);
    EXPECT_EQ(got.tokens, (Tokens{"STRING:a@1", "STRING:b@3", "STRING:c@4", "STRING:d@6",
                                  "STRING:xy@6", "STRING:e@7"}));
    EXPECT_EQ(got.errors, "");
}

TEST(Lexer, WordAtLineEndKeepsItsLine)
{
    Lexed got = lex("alpha\n42\nbeta", true);
    EXPECT_EQ(got.tokens, (Tokens{"STRING:alpha@1", "NUMBER:42@2", "STRING:beta@3"}));
    EXPECT_EQ(got.errors, "");
    EXPECT_EQ(config_reader.line_number, 3);
}

TEST(Lexer, QuotedStringLimit)
{
    std::string ok(MAX_QUOTED, 'q');
    Lexed got = lex("\"" + ok + "\"");
    ASSERT_EQ(got.tokens.size(), 1u);
    EXPECT_EQ(got.tokens[0], "STRING:" + ok);
    EXPECT_EQ(got.errors, "");

    // The rest of the line goes; the next line is read on.
    got = lex("x\n\"" + ok + "q\" y z\nw", true);
    EXPECT_EQ(got.tokens, (Tokens{"STRING:x@1", "ERROR@2", "STRING:w@3"}));
    EXPECT_EQ(got.errors, "t.conf:2: string too long\n");
}

TEST(Lexer, WordLimit)
{
    std::string ok(MAX_WORD, 'w');
    Lexed got = lex(ok);
    ASSERT_EQ(got.tokens.size(), 1u);
    EXPECT_EQ(got.tokens[0], "STRING:" + ok);
    EXPECT_EQ(got.errors, "");

    // The character over the limit is dropped and reading goes on after it.
    got = lex(ok + "xyz 1");
    EXPECT_EQ(got.tokens, (Tokens{"ERROR", "STRING:yz", "NUMBER:1"}));
    EXPECT_EQ(got.errors, "t.conf:1: string too long\n");
}

TEST(Lexer, ConfigErrorFormat)
{
    config_begin(nullptr, "dir/x.conf", nullptr);
    config_reader.token_line = 17;
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_error("invalid color %d %d %d", 256, 0, -1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "dir/x.conf:17: invalid color 256 0 -1\n");
    EXPECT_EQ(config_reader.config_errors, 1);
}

TEST(Lexer, UngetcOfNewlineUncountsItsLine)
{
    std::string text = "\n\nx";
    FILE *f = fmemopen(text.data(), text.size(), "rb");
    config_begin(f, "t.conf", nullptr);
    EXPECT_EQ(config_getc(), '\n');
    EXPECT_EQ(config_reader.line_number, 2);
    EXPECT_EQ(config_reader.token_line, 1);
    config_ungetc('\n');
    EXPECT_EQ(config_reader.line_number, 1);
    EXPECT_EQ(config_reader.token_line, 1);
    config_ungetc(EOF); // ignored
    EXPECT_EQ(config_getc(), '\n');
    EXPECT_EQ(config_getc(), '\n');
    EXPECT_EQ(config_reader.line_number, 3);
    EXPECT_EQ(config_getc(), 'x');
    EXPECT_EQ(config_getc(), EOF);
    fclose(f);
}

TEST(Lexer, SkipLineStopsAfterNewline)
{
    std::string text = "rest of line\nnext";
    FILE *f = fmemopen(text.data(), text.size(), "rb");
    config_begin(f, "t.conf", nullptr);
    EXPECT_EQ(config_skip_line(), ERROR);
    EXPECT_EQ(config_getc(), 'n');
    EXPECT_EQ(config_reader.line_number, 2);
    fclose(f);
}

TEST(Lexer, ReadErrorIsReportedNotTakenForEnd)
{
    const testing_util::TempDir dir;
    FILE *f = fopen(dir.path("w.conf").c_str(), "w"); // not readable: every read fails
    ASSERT_NE(f, nullptr);
    config_begin(f, "w.conf", nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(yylex(), 0);
    EXPECT_EQ(yylex(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "w.conf:1: read error: Bad file descriptor\n");
    EXPECT_EQ(config_reader.config_errors, 1);
    fclose(f);
}

} // namespace
} // namespace dorvane
