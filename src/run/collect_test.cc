#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "run/run.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;

struct QueryCase {
    const char *name;
    const char *query;
    double value;
    const char *err; // the command's own standard error
};

class ValueQuery : public testing_util::TestWithParam<QueryCase>
{};

TEST_P(ValueQuery, FirstLineAsNumber)
{
    testing::internal::CaptureStderr();
    const QueryResult q = value_query(GetParam().query);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().err);
    EXPECT_EQ(q.value, GetParam().value) << GetParam().query;
    EXPECT_EQ(q.has_value, 1);
    EXPECT_EQ(q.ended, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ValueQuery,
    testing::Values(
        QueryCase{"BlanksAndWords", "printf '  42.5 apples\\n7\\n'", 42.5, ""},
        QueryCase{"Negative", "echo -17", -17.0, ""}, QueryCase{"Exponent", "echo 1e3", 1000.0, ""},
        QueryCase{"Hexadecimal", "echo 0x10", 16.0, ""},
        QueryCase{"NoNumber", "echo only letters", 0.0, ""}, QueryCase{"NoOutput", "true", 0.0, ""},
        QueryCase{"FailingCommand", "echo 5; exit 3", 5.0, ""},
        QueryCase{"EmptyFirstLine", "printf '\\n9\\n'", 0.0, ""},
        QueryCase{"NoSuchCommand", "no-such-command-for-dorvane", 0.0,
                  "sh: 1: no-such-command-for-dorvane: not found\n"},
        // Output past the first line is never read in full.
        QueryCase{"EndlessOutput", "echo 3; yes 2>/dev/null | head -c 1000000", 3.0, ""}),
    testing_util::row_name);

// Commands that do not end by their deadline: what they printed as a whole
// line in time is kept, and their process group is gone when the query
// returns. Each writes its group's number ($$) to the file pg.
struct DeadlineCase {
    const char *name;
    const char *query;
    int has_value;
    double value;
    double at_least; // seconds the query takes, from its start
};

class QueryDeadline : public testing_util::TestWithParam<DeadlineCase>
{};

TEST_P(QueryDeadline, EndedWithItsGroup)
{
    const DeadlineCase &c = GetParam();
    testing_util::TempDir dir;
    const std::string pg = dir.path("pg");
    const std::string query = std::string("echo $$ >") + pg + "; " + c.query;
    collect_timeout = 1;
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    const QueryResult q = value_query(query.c_str());
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "value_query: " + query + ": no end after 1 seconds, ended\n");
    EXPECT_EQ(q.ended, 1);
    EXPECT_EQ(q.has_value, c.has_value);
    EXPECT_EQ(q.value, c.value);
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.at_least + 1.5);
    const int group = atoi(testing_util::read_file(pg).c_str());
    ASSERT_GT(group, 1) << "no group written";
    EXPECT_EQ(kill(-group, 0), -1) << "a process of the command is left";
}

INSTANTIATE_TEST_SUITE_P(
    Commands, QueryDeadline,
    testing::Values(DeadlineCase{"NeverEnds", "sleep 100000", 0, 0, 1},
                    DeadlineCase{"PrintsThenLingers", "echo 7; sleep 100000", 1, 7, 1},
                    DeadlineCase{"EndsItsOutputThenLingers", "printf 8; exec >&-; sleep 100000", 1,
                                 8, 1},
                    DeadlineCase{"EndsItsOutputEmpty", "exec >&-; sleep 100000", 0, 0, 1},
                    // Its shell ends at once; the line is never finished.
                    DeadlineCase{"ChildHoldsThePipe", "sleep 100000 & printf 5", 0, 0, 1},
                    // Both the shell and its sleep: SIGKILL 2 seconds later.
                    DeadlineCase{"IgnoresSigterm", "trap '' TERM; sleep 100000", 0, 0, 3},
                    DeadlineCase{"Stopped", "echo 4; kill -s STOP $$", 1, 4, 1}),
    testing_util::row_name);

using ValueQueryLong = testing_util::Test;

TEST_F(ValueQueryLong, WholeCommandRunsAndIsTraced)
{
    // A query far over 127 characters runs whole: only its tail prints 99.
    std::string query = "true";
    while (query.size() < 300)
        query += " && true";
    query += " && echo 99";
    verbosity = 1;
    testing::internal::CaptureStdout();
    double value = value_query(query.c_str()).value;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(value, 99.0);
    EXPECT_EQ(out, "value_query - arg [" + query + "]\nvalue_query - query_path [" + query + "]\n");
}

// With no descriptor left for the pipe, popen fails.
[[noreturn]] void query_without_descriptors()
{
    struct rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    struct rlimit none = saved;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
    double v = value_query("echo 5").value;
    setrlimit(RLIMIT_NOFILE, &saved);
    _exit(v == 0.0 ? 0 : 2);
}

TEST(ValueQueryDeathTest, PopenFailureIsReportedAndGivesZero)
{
    EXPECT_EXIT(query_without_descriptors(), testing::ExitedWithCode(0),
                "^value_query: popen: Too many open files\n$");
}

// 1 when the shell ignores SIGPIPE (bit 12 of its mask of ignored signals,
// in hexadecimal; the last four digits hold signals 1 to 16), else 0.
constexpr const char *IGNORED_BY_SHELL =
    "m=$(awk '/^SigIgn/ { print $2 }' /proc/$$/status); echo $(( (0x${m#${m%????}} >> 12) & 1 ))";

TEST(ValueQueryChild, CommandGetsDefaultSigpipeWhileTheRunIgnoresIt)
{
    void (*saved)(int) = signal(SIGPIPE, SIG_IGN);
    double ignored = value_query(IGNORED_BY_SHELL).value;
    EXPECT_EQ(signal(SIGPIPE, saved), SIG_IGN);
    EXPECT_EQ(ignored, 0.0);
}

// With standard input and output closed, the pipe's write end is
// descriptor 1 itself.
[[noreturn]] void query_with_stdout_closed()
{
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    _exit(value_query("echo 7").value == 7.0 ? 0 : 2);
}

TEST(ValueQueryDeathTest, StandardOutputClosedStillReadsTheCommand)
{
    EXPECT_EXIT(query_with_stdout_closed(), testing::ExitedWithCode(0), "^$");
}

using ValueQueryShell = testing_util::Test;

TEST_F(ValueQueryShell, ShellThatCannotStartIsReportedAndLeavesNoChild)
{
    query_shell = "/nonexistent/sh";
    testing::internal::CaptureStderr();
    double v = value_query("echo 5").value;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(v, 0.0);
    EXPECT_EQ(err, "value_query: popen: No such file or directory\n");
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
} // namespace dorvane
