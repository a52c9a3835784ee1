#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "run/run.h"
#include "store/test_util.h"

namespace dorvane {
namespace {

using testing_util::ChildResult;
using testing_util::PrintTo;
using testing_util::run_child;
using testing_util::TempDir;

// Spends about `seconds` of processor time.
void spin(double seconds)
{
    const clock_t end = clock() + static_cast<clock_t>(seconds * CLOCKS_PER_SEC);
    volatile unsigned sink = 0;
    while (clock() < end)
        sink = sink + 1;
}

TEST(Watchdog, EndsTheRunOnceItsBudgetIsSpent)
{
    TempDir dir;
    ChildResult r = run_child(dir, [] {
        watchdog_arm("data_copy", 1);
        spin(5);
        return 0;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "data_copy: no end after 1 seconds of processor time: the store may be "
                     "damaged\nmain: data_copy() failed\n");
}

TEST(Watchdog, DisarmedItLetsTheRunGoOn)
{
    TempDir dir;
    ChildResult r = run_child(dir, [] {
        watchdog_arm("data_copy", 1);
        watchdog_disarm();
        spin(1.5);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A store of 2000 samples of unit 1 whose first leaf (page 2; page 1 is the
// root) a disk fault zeroed: the library's search that lands on it never
// ends. Every phase that searches there must end all the same.
struct SpinCase {
    const char *name;
    void (*ask)(RunSettings *s, const std::string &dir);
    const char *op;
};

class ZeroedFirstLeaf : public testing_util::TestWithParam<SpinCase>
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(data_open(store.c_str()), 0);
        testing_util::fill_and_zero_page(store, 2);
    }
    TempDir dir;
    const std::string store = dir.path("store.db");
};

TEST_P(ZeroedFirstLeaf, RunEndsWithItsMessage)
{
    const SpinCase &c = GetParam();
    RunSettings s{};
    s.store = store.c_str();
    c.ask(&s, dir.path("copy.db"));
    watchdog_seconds = 1;
    ChildResult r = run_child(dir, [&] { return run_phases(&s, nullptr); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(c.op) +
                         ": no end after 1 seconds of processor time: the store may be damaged\n"
                         "main: " +
                         c.op + "() failed\n");
}

INSTANTIATE_TEST_SUITE_P(
    Phases, ZeroedFirstLeaf,
    testing::Values(SpinCase{"Copy",
                             [](RunSettings *s, const std::string &dir) {
                                 static std::string target;
                                 target = dir;
                                 s->copy_target = target.c_str();
                             },
                             "data_copy"},
                    SpinCase{"Truncate",
                             [](RunSettings *s, const std::string &) {
                                 s->truncate = 1;
                                 s->days_raw = 1;
                                 s->days_consolidated = 1;
                             },
                             "data_truncate"},
                    // The batch of unit 1 starts at its oldest record, on that page.
                    SpinCase{"Query",
                             [](RunSettings *s, const std::string &) {
                                 s->query = 1;
                                 ASSERT_EQ(add_col(1, "echo 5", 0, 0), 0);
                             },
                             "data_put_value"}),
    testing_util::row_name);

} // namespace
} // namespace dorvane
