#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/common.h"
#include "store/store.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;

std::vector<double> counting(int n)
{
    std::vector<double> v;
    for (int i = 1; i <= n; i++)
        v.push_back(i);
    return v;
}

std::string numbers(int from, int to)
{
    std::string s;
    for (int i = from; i <= to; i++)
        s += std::to_string(i) + ".00 ";
    return s;
}

struct ReportCase {
    const char *name;
    int verbosity;
    std::vector<double> values;
    std::string text;
};

class Report : public testing_util::TestWithParam<ReportCase>
{};

TEST_P(Report, PrintsExactText)
{
    const ReportCase &c = GetParam();
    verbosity = c.verbosity;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(quick_report(c.values.data(), static_cast<uint32_t>(c.values.size())), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.text);
}

const char zero_lines[] = "queue: 0\npavg: 0.00, pmax: 0.00\ncavg: 0.00, cmax: 0.00\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, Report,
    ::testing::Values(
        ReportCase{"zeros_between",
                   0,
                   {0, 5, 5, 0, 7},
                   "queue: 5.00 7.00 \npavg: 6.00, pmax: 7.00\ncavg: 6.00, cmax: 7.00\n"},
        ReportCase{"repeats",
                   0,
                   {3, 3, 3},
                   "queue: 3.00 \npavg: 3.00, pmax: 3.00\ncavg: 3.00, cmax: 3.00\n"},
        ReportCase{"returns_after_zero",
                   0,
                   {5, 0, 5},
                   "queue: 5.00 5.00 \npavg: 5.00, pmax: 5.00\ncavg: 5.00, cmax: 5.00\n"},
        ReportCase{"negative",
                   0,
                   {-2, 0},
                   "queue: -2.00 \npavg: -2.00, pmax: 0.00\ncavg: -2.00, cmax: -2.00\n"},
        ReportCase{"twenty_changes", 0, counting(20),
                   "queue: " + numbers(5, 20) +
                       "\npavg: 10.50, pmax: 20.00\ncavg: 12.50, cmax: 20.00\n"},
        ReportCase{"sixteen_changes", 0, counting(16),
                   "queue: " + numbers(1, 16) +
                       "\npavg: 8.50, pmax: 16.00\ncavg: 8.50, cmax: 16.00\n"},
        ReportCase{"fifteen_changes", 0, counting(15),
                   "queue: " + numbers(1, 15) +
                       "\npavg: 8.00, pmax: 15.00\ncavg: 8.00, cmax: 15.00\n"},
        ReportCase{"seventeen_changes", 0, counting(17),
                   "queue: " + numbers(2, 17) +
                       "\npavg: 9.00, pmax: 17.00\ncavg: 9.50, cmax: 17.00\n"},
        ReportCase{"all_zero", 0, {0, 0, 0}, zero_lines},
        ReportCase{"no_values", 0, {}, zero_lines},
        ReportCase{"nan_differs",
                   0,
                   {NAN, NAN, 2},
                   "queue: nan nan 2.00 \npavg: nan, pmax: 2.00\ncavg: nan, cmax: 2.00\n"},
        ReportCase{"verbose_zeros_between",
                   1,
                   {0, 5, 5, 0, 7},
                   "0.00 5.00 5.00 0.00 7.00 \n"
                   "queue: 5.00 5.00 7.00 7.00 \n"
                   "pavg: 6.00, pmax: 7.00\ncavg: 6.00, cmax: 7.00\n"},
        ReportCase{"verbose_outside_window_once", 1, counting(17),
                   numbers(1, 17) + "\nqueue: 1.00 2.00 2.00 3.00 3.00 4.00 4.00 5.00 5.00 " +
                       "6.00 6.00 7.00 7.00 8.00 8.00 9.00 9.00 10.00 10.00 11.00 11.00 " +
                       "12.00 12.00 13.00 13.00 14.00 14.00 15.00 15.00 16.00 16.00 " +
                       "17.00 17.00 \npavg: 9.00, pmax: 17.00\ncavg: 9.50, cmax: 17.00\n"},
        ReportCase{"verbose_no_values", 1, {}, std::string("\n") + zero_lines}),
    testing_util::row_name);

} // namespace
} // namespace dorvane
