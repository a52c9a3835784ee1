#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "config/config.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;

struct RangeCase {
    const char *name;
    const char *clause;
    // An absolute range is expected as it is; otherwise the span, with the
    // range ending now (within the second the parse took).
    bool absolute;
    uint32_t from;
    uint32_t to;
    uint32_t span;
};

// A pool for the configuration's reader; the collect table must stay empty.
template <class Row> class WithPool : public testing_util::TestWithParam<Row>
{
  protected:
    WithPool() : pool(pool_create(1024)) {}
    ~WithPool() override { pool_destroy(pool); }
    Pool *pool;
};

using TimeRange = WithPool<RangeCase>;

TEST_P(TimeRange, ReadByTheConfigurationsRules)
{
    const RangeCase &c = GetParam();
    uint32_t from = 1, to = 1;
    testing::internal::CaptureStderr();
    const auto before = static_cast<uint32_t>(time(nullptr));
    ASSERT_EQ(config_time_range(pool, c.clause, "export: time range", &from, &to),
              ConfigResult::read);
    const auto after = static_cast<uint32_t>(time(nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    if (c.absolute) {
        EXPECT_EQ(from, c.from);
        EXPECT_EQ(to, c.to);
    } else {
        EXPECT_GE(to, before);
        EXPECT_LE(to, after);
        EXPECT_EQ(to - from, c.span);
    }
    EXPECT_EQ(collect_table.count, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Clauses, TimeRange,
    testing::Values(RangeCase{"Nothing", "", false, 0, 0, 1440},
                    RangeCase{"FromHours", "from 2 hours", false, 0, 0, 7200},
                    RangeCase{"FromDaysToNow", "from 2 days to now", false, 0, 0, 2 * 86400},
                    RangeCase{"Absolute", "from 1796000000 to 1796086400", true, 1796000000,
                              1796086400, 0},
                    RangeCase{"Hexadecimal", "from 0x10 to 0x20", true, 16, 32, 0},
                    RangeCase{"PastThe31BitClock", "from 4000000000 to 4000000600", true,
                              4000000000u, 4000000600u, 0},
                    RangeCase{"LongerAgoThanTheEpoch", "from 100 years to 0", true, 0, 0, 0}),
    testing_util::row_name);

struct RefusedCase {
    const char *name;
    const char *clause;
    const char *message;
};

using TimeRangeRefused = WithPool<RefusedCase>;

// Only a time range: whatever else an image may say is refused, and text
// that could end the block never reaches the grammar.
TEST_P(TimeRangeRefused, WithTheConfigurationsMessage)
{
    uint32_t from = 1, to = 2;
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_time_range(pool, GetParam().clause, "export: time range", &from, &to),
              ConfigResult::errors);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().message);
    EXPECT_EQ(from, 1u);
    EXPECT_EQ(to, 2u);
    EXPECT_EQ(collect_table.count, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Clauses, TimeRangeRefused,
    testing::Values(
        RefusedCase{"MisspeltUnit", "from 2 dayz", "export: time range:1: syntax error\n"},
        RefusedCase{"NoFrom", "2 days", "export: time range:1: syntax error\n"},
        RefusedCase{"Theme", "from 2 days theme black", "export: time range:1: syntax error\n"},
        RefusedCase{"Size", "from 2 days width 800 height 200",
                    "export: time range:1: syntax error\n"},
        RefusedCase{"GraphOfWords", "from 2 days left graph 1 a b color 0 0 0",
                    "export: time range:1: syntax error\n"},
        RefusedCase{"QuotedGraph", "left graph 1 \"a\" \"b\" color 0 0 0",
                    "export: time range: invalid character in time range\n"},
        RefusedCase{"Brace", "from 2 days } collect 5 = x { ",
                    "export: time range: invalid character in time range\n"},
        RefusedCase{"Comment", "from 2 days # to now",
                    "export: time range: invalid character in time range\n"},
        RefusedCase{"Newline", "from 2 days\nto now",
                    "export: time range: invalid character in time range\n"}),
    testing_util::row_name);

} // namespace
} // namespace dorvane
