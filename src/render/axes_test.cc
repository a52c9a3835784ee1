#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "render/render.h"
#include "render/test_util.h"

namespace dorvane {
namespace {

using namespace testing_util;
using testing_util::PrintTo;

constexpr int BACKGROUND = 0, GRID = 1, FOREGROUND = 2;

struct ScaleCase {
    const char *name;
    double value;
    int bps;
    double scaled;
    char suffix;
};

class ScaleValue : public testing_util::TestWithParam<ScaleCase>
{};

TEST_P(ScaleValue, StepsOfThousandOrBitsInStepsOf1024)
{
    double value = GetParam().value;
    char suffix = '?';
    graph_scale_value(value, suffix, GetParam().bps);
    EXPECT_EQ(value, GetParam().scaled);
    EXPECT_EQ(suffix, GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScaleValue,
    testing::Values(
        ScaleCase{"Zero", 0, 0, 0, ' '}, ScaleCase{"BelowThousand", 999.5, 0, 999.5, ' '},
        ScaleCase{"Thousand", 1000, 0, 1, 'k'}, ScaleCase{"ThousandAndAHalf", 1500, 0, 1.5, 'k'},
        ScaleCase{"BitsOfThousandAndAHalf", 1500, 1, 11.71875, 'k'},
        ScaleCase{"BitsBelowThousand", 124, 1, 992, ' '},
        ScaleCase{"BitsOfAThousand", 125, 1, 0.9765625, 'k'},
        ScaleCase{"Millions", 2.5e6, 0, 2.5, 'm'}, ScaleCase{"Billions", 3e9, 0, 3, 'g'},
        ScaleCase{"BitsOfFourSteps", 1099511627776.0 / 8, 1, 1, 't'},
        // Four steps at most: what is left stays above 1000.
        ScaleCase{"ThousandAfterFourSteps", 1e15, 0, 1000, 't'},
        ScaleCase{"MillionsAfterFourSteps", 5e18, 0, 5e6, 't'},
        ScaleCase{"NegativeStays", -5e6, 0, -5e6, ' '},
        ScaleCase{"Infinity", std::numeric_limits<double>::infinity(), 0,
                  std::numeric_limits<double>::infinity(), 't'}),
    row_name);

TEST(ScaleValueNan, StaysNanWithBlankSuffix)
{
    double value = std::nan("");
    char suffix = '?';
    graph_scale_value(value, suffix, 1);
    EXPECT_TRUE(std::isnan(value));
    EXPECT_EQ(suffix, ' ');
}

class AxesTest : public testing_util::Test
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    TempDir dir;
    Images images;
};

struct RowCase {
    const char *name;
    int height;
    std::vector<int> rows; // offsets from T, top to bottom
};

class GridRows : public AxesTest, public testing::WithParamInterface<RowCase>
{};

// The rows carry tick marks on both sides and, all but the bottom one, a
// grid line that does not touch the frame.
TEST_P(GridRows, TicksGridAndFrame)
{
    const std::string file = dir.path("rows.png");
    ImageSpec *image = images.add(file, 640, GetParam().height);
    images.graph(image, false, 0xff0000);
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    const int b = T + image->plot_height;

    std::vector<int> expected, left_ticks, right_ticks, grid_rows;
    for (int offset : GetParam().rows)
        expected.push_back(T + offset);
    for (int y = 0; y < png.height(); y++) {
        if (png.at(L - 2, y) == FOREGROUND && png.at(L - 1, y) == FOREGROUND)
            left_ticks.push_back(y);
        if (png.at(R + 1, y) == FOREGROUND && png.at(R + 2, y) == FOREGROUND)
            right_ticks.push_back(y);
        bool whole = true;
        for (int x = L + 1; x <= R - 1; x++)
            whole = whole && png.at(x, y) == GRID;
        if (whole)
            grid_rows.push_back(y);
    }
    EXPECT_EQ(left_ticks, expected);
    EXPECT_EQ(right_ticks, expected);
    expected.pop_back();
    EXPECT_EQ(grid_rows, expected);

    // Frame: left and right lines from T to B, bottom line from L to R
    // (where no time grid line crosses it), no foreground line on top.
    for (int y = T; y <= b; y++)
        EXPECT_EQ(png.at(L, y), FOREGROUND) << "y " << y;
    for (int y = T; y < b - 1; y++)
        EXPECT_EQ(png.at(R, y), FOREGROUND) << "y " << y;
    for (int x = L; x <= L + 80; x++)
        EXPECT_EQ(png.at(x, b), FOREGROUND) << "x " << x;
    EXPECT_EQ(png.at(L + 5, T - 1), BACKGROUND);
    EXPECT_EQ(png.at(L + 5, T), GRID);
}

INSTANTIATE_TEST_SUITE_P(
    Heights, GridRows,
    testing::Values(RowCase{"Height320", 320, {0, 25, 51, 76, 102, 127, 153, 178, 204, 229, 255}},
                    RowCase{"Height165", 165, {0, 14, 28, 42, 57, 71, 85, 100}}),
    row_name);

struct LabelCase {
    const char *name;
    double maximum;
    int bps;
    const char *top;    // row 0
    const char *row2;   // row 2 of 10
    const char *bottom; // row 10
};

class ValueLabels : public AxesTest, public testing::WithParamInterface<LabelCase>
{};

TEST_P(ValueLabels, BothSidesRightAlignedWithSuffix)
{
    const LabelCase &c = GetParam();
    const std::string file = dir.path("labels.png");
    ImageSpec *image = images.add(file);
    GraphSpec *left = images.graph(image, false, 0xff0000, 0, "", "", c.bps);
    GraphSpec *right = images.graph(image, true, 0x00ff00, 0, "", "", c.bps);
    left->values[17] = c.maximum;
    right->values[300] = c.maximum;
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    const struct {
        int y;
        const char *text;
    } rows[] = {{T, c.top}, {T + 51, c.row2}, {B, c.bottom}};
    for (const auto &row : rows) {
        EXPECT_TRUE(text_at(png, FW + FH, row.y - FH / 2, row.text, FOREGROUND));
        EXPECT_TRUE(text_at(png, R + FW, row.y - FH / 2, row.text, FOREGROUND));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Maxima, ValueLabels,
    testing::Values(LabelCase{"zero", 0, 0, "  0.0  ", "  0.0  ", "  0.0  "},
                    LabelCase{"thousands", 1500, 0, "  1.5 k", "  1.2 k", "  0.0 k"},
                    LabelCase{"bits", 1500, 1, " 11.7 k", "  9.4 k", "  0.0 k"}),
    row_name);

// Beyond four steps the number stays above 1000 and the label is cut at
// nine characters, losing its suffix. (Right of the right labels the image
// ends just where a tenth character would start.)
TEST_F(AxesTest, LabelsAreCutAtNineCharacters)
{
    const std::string file = dir.path("long.png");
    ImageSpec *image = images.add(file);
    images.graph(image, false, 0xff0000)->values[3] = 5e18;
    images.graph(image, true, 0x00ff00)->values[3] = 5e18;
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    EXPECT_TRUE(text_at(png, R + FW, T - FH / 2, "5000000.0", FOREGROUND));
    EXPECT_TRUE(text_at(png, R + FW, T + 51 - FH / 2, "4000000.0", FOREGROUND));
    EXPECT_TRUE(text_at(png, R + FW, B - FH / 2, "  0.0 t", FOREGROUND));
    // Left: nothing is drawn after the ninth character.
    const int end = FW + FH + 9 * FW;
    for (int y = T - FH / 2; y < T - FH / 2 + FH; y++)
        for (int x = end; x < end + 2 * FW; x++)
            EXPECT_NE(png.at(x, y), FOREGROUND) << "(" << x << ", " << y << ")";
}

TEST_F(AxesTest, EmptySideHasTicksButNoLabelsOrTitle)
{
    const std::string file = dir.path("left-only.png");
    ImageSpec *image = images.add(file);
    images.graph(image, false, 0xff0000, 0, "", "left title");
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    EXPECT_EQ(png.at(R + 2, T), FOREGROUND);
    EXPECT_EQ(png.at(R + 2, B), FOREGROUND);
    for (int y = 0; y < png.height(); y++)
        for (int x = R + 3; x < png.width(); x++)
            ASSERT_NE(png.at(x, y), FOREGROUND) << "(" << x << ", " << y << ")";
}

struct TimeCase {
    const char *name;
    uint32_t span;
    const char *unit;
    std::vector<int> ticks; // columns for k = 0, 1, 2, ...
};

class TimeScale : public AxesTest, public testing::WithParamInterface<TimeCase>
{};

// Ticks from R leftwards; grid lines and labels strictly inside the plot,
// the date at k = 0, the label only at L.
TEST_P(TimeScale, TicksGridLabelsUnitAndDate)
{
    const TimeCase &c = GetParam();
    const std::string file = dir.path("time.png");
    ImageSpec *image = images.add(file, 640, 320, c.span);
    images.graph(image, false, 0xff0000);
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());

    std::set<int> expected(c.ticks.begin(), c.ticks.end()), ticks, grid;
    for (int x = L; x <= R; x++) {
        if (png.at(x, B + 1) == FOREGROUND && png.at(x, B + 2) == FOREGROUND)
            ticks.insert(x);
        if (png.at(x, T + 1) == GRID)
            grid.insert(x);
    }
    EXPECT_EQ(ticks, expected);
    expected.erase(L);
    expected.erase(R);
    EXPECT_EQ(grid, expected);
    for (int x : expected) {
        EXPECT_EQ(png.at(x, B), GRID) << "x " << x;
        EXPECT_EQ(png.at(x, T), GRID) << "x " << x;
    }

    for (size_t k = 1; k < c.ticks.size(); k++) {
        const std::string label = "-" + std::to_string(k);
        EXPECT_TRUE(text_at(png, c.ticks[k] - static_cast<int>(label.size()) * FW / 2, B + 5, label,
                            FOREGROUND));
    }
    EXPECT_TRUE(text_at(png, R - static_cast<int>(strlen(c.unit)) * FW, B + 5, c.unit, FOREGROUND));
    EXPECT_TRUE(text_at(png, L + (W - 24 * FW) / 2, B + 2 * FH + 5, NOW_TEXT, FOREGROUND));
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, TimeScale,
    testing::Values(TimeCase{"six_hours", 6 * 3600, "hours", {574, 489, 405, 320, 236, 151, 67}},
                    TimeCase{"one_day", 86400, "days", {574, 67}},
                    TimeCase{"ten_years",
                             315360000,
                             "years",
                             {574, 523, 472, 421, 371, 320, 269, 219, 168, 117, 67}}),
    row_name);

struct TitleCase {
    const char *name;
    int height;
    const char *left;
    const char *right;
    int left_y;
    int right_y;
};

class AxisTitles : public AxesTest, public testing::WithParamInterface<TitleCase>
{};

TEST_P(AxisTitles, UpwardCentredOnPlotWithTrueFloor)
{
    const TitleCase &c = GetParam();
    const std::string file = dir.path("titles.png");
    ImageSpec *image = images.add(file, 640, c.height);
    images.graph(image, false, 0xff0000, 0, "", c.left);
    images.graph(image, false, 0x0000ff, 0, "", "not shown");
    images.graph(image, true, 0x00ff00, 0, "", c.right);
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    EXPECT_TRUE(text_at(png, 0, c.left_y, c.left, FOREGROUND, true));
    EXPECT_TRUE(text_at(png, R + 8 * FW, c.right_y, c.right, FOREGROUND, true));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, AxisTitles,
    testing::Values(
        // B 268, H 255: 268 - floor((255 - 54) / 2) and 268 - floor((255 - 36) / 2).
        TitleCase{"default", 320, "processes", "bits/s", 168, 159},
        // B 114, H 101: titles longer than the plot start below B, by half
        // the excess rounded up (19 -> 10, 25 -> 13).
        TitleCase{"longer_than_plot", 166, "twenty characters...", "twenty-one characters", 124,
                  127}),
    row_name);

// The date is centred with a signed floor: on a plot narrower than the date
// it starts left of L (at 67 + floor((67 - 144) / 2) = 28), where the
// unsigned formula put it near column 2^31, off the image.
TEST_F(AxesTest, DateOnPlotNarrowerThanDate)
{
    const std::string file = dir.path("narrow.png");
    ImageSpec *image = images.add(file, 200, 320);
    ASSERT_EQ(image->plot_width, 67);
    images.graph(image, false, 0xff0000);
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    EXPECT_TRUE(text_at(png, 28, B + 2 * FH + 5, NOW_TEXT, FOREGROUND));
}

} // namespace
} // namespace dorvane
