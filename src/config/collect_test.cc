#include <gtest/gtest.h>

#include "config/config.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using AddCol = testing_util::Test;

TEST_F(AddCol, RowsInDeclarationOrder)
{
    EXPECT_EQ(add_col(7, "echo 7", 1, 0), 0);
    EXPECT_EQ(add_col(-3, "echo x", 0, 1), 0);
    ASSERT_EQ(collect_table.count, 2u);
    EXPECT_EQ(collect_table.rows[0].unit, 7);
    EXPECT_STREQ(collect_table.rows[0].query, "echo 7");
    EXPECT_EQ(collect_table.rows[0].tdiff, 1);
    EXPECT_EQ(collect_table.rows[0].vdiff, 0);
    EXPECT_EQ(collect_table.rows[1].unit, -3);
    EXPECT_EQ(collect_table.rows[1].vdiff, 1);
    EXPECT_EQ(collect_table.rows[1].value, 0.0);
}

TEST_F(AddCol, DuplicateAndFullTable)
{
    ASSERT_EQ(add_col(1, "a", 0, 0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(add_col(1, "b", 0, 0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "add_col: 1 already defined\n");

    for (int unit = 2; unit <= 512; unit++)
        ASSERT_EQ(add_col(unit, "q", 0, 0), 0);
    ASSERT_EQ(collect_table.count, 512u);

    testing::internal::CaptureStderr();
    EXPECT_EQ(add_col(513, "q", 0, 0), 1);
    // In a full table a repeated unit is still reported as such.
    EXPECT_EQ(add_col(200, "q", 0, 0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "add_col: limit of 512 collects reached\nadd_col: 200 already defined\n");
    EXPECT_EQ(collect_table.count, 512u);
}

} // namespace
} // namespace dorvane
