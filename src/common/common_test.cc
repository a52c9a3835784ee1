#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "common/common.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;

// Which traces a verbosity level lets through, as the whole output.
struct TraceCase {
    const char *name;
    int verbosity;
    const char *out;
};

class Trace : public testing_util::TestWithParam<TraceCase>
{};

TEST_P(Trace, LevelsUpToTheVerbosity)
{
    verbosity = GetParam().verbosity;
    testing::internal::CaptureStdout();
    trace(1, "one %d\n", 1);
    trace(2, "two %s", "no line end, ");
    trace(3, "three %.2f\n", 3.0);
    trace(1, "%s\n", "one again");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, Trace,
    testing::Values(TraceCase{"Quiet", 0, ""}, TraceCase{"One", 1, "one 1\none again\n"},
                    TraceCase{"Two", 2, "one 1\ntwo no line end, one again\n"},
                    TraceCase{"Three", 3, "one 1\ntwo no line end, three 3.00\none again\n"}),
    testing_util::row_name);

using Message = testing_util::Test;

TEST_F(Message, LineWithAndWithoutTheReason)
{
    testing::internal::CaptureStderr();
    message("add_col: %d already defined", 7);
    errno = ENOENT;
    message_errno("dbopen: %s", "/var/db/x.db");
    errno = EACCES;
    message_errno("main: readdir");
    message("%s", "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "add_col: 7 already defined\n"
              "dbopen: /var/db/x.db: No such file or directory\n"
              "main: readdir: Permission denied\n"
              "\n");
}

// A line longer than the buffer that makes one write of a line is written
// whole all the same, reason and line end included.
TEST_F(Message, LongerThanTheBuffer)
{
    for (size_t n : {4093u, 4094u, 4095u, 4096u, 10000u}) {
        const std::string text(n, 'q');
        testing::internal::CaptureStderr();
        message("%s", text.c_str());
        errno = EIO;
        message_errno("%s", text.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  text + "\n" + text + ": Input/output error\n")
            << n;
    }
}

// The reason is errno as the helper was called, whatever formatting the
// line does to errno.
TEST_F(Message, ReasonIsErrnoAtTheCall)
{
    testing::internal::CaptureStderr();
    errno = ENOSPC;
    message_errno("%s: %d", "write", 2);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "write: 2: No space left on device\n");
}

} // namespace
} // namespace dorvane
