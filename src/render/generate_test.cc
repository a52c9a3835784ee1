#include <cmath>
#include <cstdarg>
#include <limits>
#include <string>
#include <vector>

#include <gd.h>
#include <gtest/gtest.h>

#include "common/common.h"
#include "render/render.h"
#include "render/test_util.h"

namespace dorvane {
namespace {

using namespace testing_util;
using testing_util::PrintTo;

constexpr int BACKGROUND = 0, GRID = 1, FOREGROUND = 2, FIRST = 3, OUTLINE = 4;
constexpr Rgb WHITE{255, 255, 255}, BLACK{0, 0, 0}, GREY{220, 220, 220}, OUTLINE_RGB{0, 64, 96};
constexpr int YB = B - 1; // the baseline of the default layout

class GenerateTest : public testing_util::Test
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

struct PaletteCase {
    const char *name;
    Theme theme;
    int graphs;
    int bit_depth;
};

class Palette : public GenerateTest, public testing::WithParamInterface<PaletteCase>
{};

// Background, grid, foreground, then colour and outline per graph: also for
// equal colours and unfilled graphs. The bit depth follows the count.
TEST_P(Palette, AllocationOrderAndBitDepth)
{
    const PaletteCase &c = GetParam();
    const std::string file = dir.path("palette.png");
    ImageSpec *image = images.add(file, 640, 320, 3600, c.theme);
    std::vector<Rgb> expected;
    if (c.theme == Theme::black)
        expected = {BLACK, GREY, WHITE};
    else
        expected = {WHITE, GREY, BLACK};
    for (int i = 0; i < c.graphs; i++) {
        // The first two graphs share a colour; the third one is filled.
        const int color = i < 2 ? 0x102030 : 0x010203 * i;
        images.graph(image, i % 2 == 1, color, i == 2);
        expected.push_back({(color >> 16) & 255, (color >> 8) & 255, color & 255});
        expected.push_back(OUTLINE_RGB);
    }
    // The graphs are allocated left list first, whatever order they were
    // added in.
    std::vector<Rgb> ordered(expected.begin(), expected.begin() + 3);
    for (int side = 0; side < 2; side++)
        for (int i = side; i < c.graphs; i += 2)
            ordered.insert(ordered.end(), expected.begin() + 3 + 2 * i,
                           expected.begin() + 5 + 2 * i);

    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    EXPECT_EQ(png.palette(), ordered);
    EXPECT_EQ(png.bit_depth(), c.bit_depth);
    EXPECT_EQ(png.color_type(), 3); // palette
    EXPECT_EQ(png.interlace(), 0);
    EXPECT_FALSE(png.transparency());
    EXPECT_EQ(png.width(), 640);
    EXPECT_EQ(png.height(), 320);
    EXPECT_EQ(png.at(0, 0), BACKGROUND);
    EXPECT_EQ(png.at(639, 319), BACKGROUND);
    EXPECT_EQ(png.at(L, B - 3), FOREGROUND);
}

INSTANTIATE_TEST_SUITE_P(Counts, Palette,
                         testing::Values(PaletteCase{"no_graph", Theme::white, 0, 2},
                                         PaletteCase{"one_graph", Theme::white, 1, 4},
                                         PaletteCase{"one_graph_black", Theme::black, 1, 4},
                                         PaletteCase{"six_graphs", Theme::white, 6, 4},
                                         PaletteCase{"seven_graphs_black", Theme::black, 7, 8}),
                         row_name);

// From the 127th graph on the palette is full: graph 127 still gets its
// colour (entry 255) but no outline, and later graphs draw with -1, which
// gd stores as index 255.
TEST_F(GenerateTest, PaletteExhaustedFrom127Graphs)
{
    const std::string file = dir.path("many.png");
    ImageSpec *image = images.add(file);
    for (int k = 1; k <= 130; k++)
        fill(images.graph(image, false, k), image, k); // graph k at 255 k / 130
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    ASSERT_EQ(png.palette().size(), 256u);
    EXPECT_EQ(png.bit_depth(), 8);
    EXPECT_EQ(png.palette()[253], (Rgb{0, 0, 126}));
    EXPECT_EQ(png.palette()[254], OUTLINE_RGB);
    EXPECT_EQ(png.palette()[255], (Rgb{0, 0, 127}));
    const int x = L + 5;
    EXPECT_EQ(png.at(x, YB - 247), 253); // graph 126
    EXPECT_EQ(png.at(x, YB - 249), 255); // graph 127
    EXPECT_EQ(png.at(x, YB - 251), 255); // graph 128
    EXPECT_EQ(png.at(x, YB - 255), 255); // graph 130, at T - 1
    EXPECT_EQ(png.at(x, YB - 255), png.at(x, T - 1));
}

struct FilledCase {
    const char *name;
    int width;
};

class FilledConstant : public GenerateTest, public testing::WithParamInterface<FilledCase>
{};

// A constant value is the maximum: each column is filled from the baseline
// to T - 1, where the outline covers the fill from the first column on
// (the first segment starts there); a single value has no outline.
TEST_P(FilledConstant, ColumnsFromBaselineToMaximum)
{
    const std::string file = dir.path("filled.png");
    ImageSpec *image = images.add(file, GetParam().width);
    fill(images.graph(image, false, 0xff8000, 1), image, 42.5);
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    const int right = L + image->plot_width;
    const int top = image->plot_width == 1 ? FIRST : OUTLINE;
    for (int x = L + 1; x <= right; x++) {
        ASSERT_EQ(png.at(x, T - 1), top) << "x " << x;
        for (int y = T; y <= YB; y++)
            ASSERT_EQ(png.at(x, y), FIRST) << "(" << x << ", " << y << ")";
        ASSERT_EQ(png.at(x, T - 2), BACKGROUND) << "x " << x;
    }
    int outline = 0;
    for (int y = 0; y < png.height(); y++) {
        for (int x = 0; x < png.width(); x++) {
            const int p = png.at(x, y);
            outline += p == OUTLINE;
            if (p == FIRST) {
                ASSERT_TRUE(x > L && x <= right && y >= T - 1 && y <= YB)
                    << "(" << x << ", " << y << ")";
            }
        }
    }
    EXPECT_EQ(outline, image->plot_width == 1 ? 0 : image->plot_width);
}

// 640 wide: 507 columns; 134 wide: a single value, one vertical line and
// no outline.
INSTANTIATE_TEST_SUITE_P(Widths, FilledConstant,
                         testing::Values(FilledCase{"Width640", 640}, FilledCase{"OneColumn", 134}),
                         row_name);

// Line graph: value i at column L + 1 + i and row yb - trunc(H v / max);
// segments join neighbours; the outline colour is allocated but unused.
TEST_F(GenerateTest, LineGraphJoinsValues)
{
    const std::string file = dir.path("line.png");
    ImageSpec *image = images.add(file);
    GraphSpec *g = images.graph(image, false, 0x3366cc);
    for (int i = 0; i < W; i++)
        g->values[i] = (i % 50) * 2.0;
    g->values[400] = 200; // the maximum
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    for (int i = 0; i < W; i++) {
        const double v = i == 400 ? 1.0 : (i % 50) * 2.0 / 200.0;
        const int y = YB - static_cast<int>(H * v);
        ASSERT_EQ(png.at(L + 1 + i, y), FIRST) << "i " << i;
    }
    EXPECT_EQ(png.at(L + 1 + 400, T - 1), FIRST);
    for (int y = 0; y < png.height(); y++)
        for (int x = 0; x < png.width(); x++)
            ASSERT_NE(png.at(x, y), OUTLINE) << "(" << x << ", " << y << ")";
}

TEST_F(GenerateTest, LineGraphOfOneValueDrawsNothing)
{
    const std::string file = dir.path("one.png");
    ImageSpec *image = images.add(file, 134);
    ASSERT_EQ(image->plot_width, 1);
    fill(images.graph(image, false, 0x3366cc), image, 7);
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    for (int y = 0; y < png.height(); y++)
        for (int x = 0; x < png.width(); x++)
            ASSERT_NE(png.at(x, y), FIRST) << "(" << x << ", " << y << ")";
}

// Maxima 3 and 12 on one side: both are divided by 12 and keep it; the
// traces report the shared maxima, 0.00 for the empty side.
TEST_F(GenerateTest, GraphsOfOneSideShareTheMaximum)
{
    const std::string file = dir.path("shared.png");
    ImageSpec *image = images.add(file);
    GraphSpec *small = images.graph(image, false, 0xff0000);
    GraphSpec *large = images.graph(image, false, 0x0000ff);
    small->values[10] = 3;
    large->values[20] = 12;
    verbosity = 1;
    testing::internal::CaptureStdout();
    const int result = graph_generate_images_at(images.list(), NOW, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "graph_generate_images: generating file " + file +
                  "\n"
                  "graph_generate_images: maximum left 12.00\n"
                  "graph_generate_images: maximum right 0.00\n");
    ASSERT_EQ(result, 0);
    EXPECT_EQ(small->maximum, 12);
    EXPECT_EQ(large->maximum, 12);
    EXPECT_EQ(small->values[10], 0.25);
    EXPECT_EQ(large->values[20], 1);
    Png png(file);
    ASSERT_TRUE(png.ok());
    EXPECT_EQ(png.at(L + 11, YB - 63), FIRST); // trunc(255 / 4)
    EXPECT_EQ(png.at(L + 21, T - 1), FIRST + 2);
}

TEST_F(GenerateTest, MaximaIgnoreNanAndStayAtLeastZero)
{
    ImageSpec *image = images.add(dir.path("unused.png"));
    GraphSpec *a = images.graph(image, false, 1);
    GraphSpec *b = images.graph(image, true, 2);
    fill(a, image, -3);
    fill(b, image, std::nan(""));
    a->values[5] = std::nan("");
    b->values[6] = 4;
    a->maximum = b->maximum = 99;
    graph_find_maxima(image);
    EXPECT_EQ(a->maximum, 0);
    EXPECT_EQ(b->maximum, 4);
    graph_normalise(image);
    EXPECT_EQ(a->values[0], -3); // maximum 0: left as it is
    EXPECT_EQ(b->values[6], 1);
    EXPECT_TRUE(std::isnan(b->values[0]));
}

// NaN lies on the baseline; negative values below it; huge offsets (a tiny
// maximum, or a side whose maximum is 0 and so is not scaled) are limited
// before they become pixel rows, so the sanitizer build sees no overflow,
// and the line runs to the image edge.
TEST_F(GenerateTest, NanNegativeAndHugeValues)
{
    const std::string file = dir.path("odd.png");
    ImageSpec *image = images.add(file);
    GraphSpec *left = images.graph(image, false, 0xff0000);
    GraphSpec *right = images.graph(image, true, 0x0000ff);
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {10, std::nan(""), -1, 0, -1e300, 0};
    for (int i = 0; i < 6; i++)
        left->values[100 + i] = values[i];
    // Out of sight but for one spike; -1e308 / 1e-300 is -inf.
    fill(right, image, -inf);
    right->values[204] = 1e-300; // the maximum
    right->values[205] = -1e308;
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    EXPECT_EQ(left->maximum, 10);
    EXPECT_EQ(right->maximum, 1e-300);
    Png png(file);
    ASSERT_TRUE(png.ok());
    const int left_colour = FIRST, right_colour = FIRST + 2;
    EXPECT_EQ(png.at(L + 101, T - 1), left_colour);   // the maximum
    EXPECT_EQ(png.at(L + 102, YB), left_colour);      // NaN
    EXPECT_EQ(png.at(L + 103, YB + 25), left_colour); // -0.1: trunc(-25.5)
    EXPECT_EQ(png.at(L + 104, YB), left_colour);
    // The segments towards the far points run down to the image edge.
    for (int y = YB + 1; y < png.height(); y++) {
        EXPECT_TRUE(png.at(L + 104, y) == left_colour || png.at(L + 105, y) == left_colour)
            << "y " << y;
        EXPECT_TRUE(png.at(L + 205, y) == right_colour || png.at(L + 206, y) == right_colour)
            << "y " << y;
    }
}

// Every image of the list is drawn until one cannot be written: that one
// gives the warn line and result 1, the ones after it are not drawn, the
// ones before it are complete.
TEST_F(GenerateTest, StopsAtFirstFileThatCannotBeWritten)
{
    const std::string last = dir.path("last.png");
    const std::string bad = dir.path("missing/second.png");
    const std::string first = dir.path("first.png");
    for (const std::string &file : {last, bad, first}) {
        ImageSpec *image = images.add(file);
        fill(images.graph(image, false, 0xff0000), image, 1);
    }
    testing::internal::CaptureStderr();
    const int result = graph_generate_images_at(images.list(), NOW, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              program() + ": " + bad + ": No such file or directory\n");
    EXPECT_EQ(result, 1);
    Png png(first);
    EXPECT_TRUE(png.ok());
    EXPECT_EQ(dir.names(), std::vector<std::string>{"first.png"});
}

// gd refuses this size; nothing is drawn into a null image.
TEST_F(GenerateTest, ImageThatGdCannotCreate)
{
    const std::string file = dir.path("huge.png");
    ImageSpec *image = images.add(file, 100000, 100000);
    fill(images.graph(image, false, 0xff0000), image, 1);
    gdSetErrorMethod([](int, const char *, va_list) {}); // gd's own warning
    testing::internal::CaptureStderr();
    const int result = graph_generate_images_at(images.list(), NOW, nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    gdClearErrorMethod();
    EXPECT_EQ(err, "graph_generate_images: gdImageCreate failed: " + file + "\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(dir.names(), std::vector<std::string>{});
}

struct SmallCase {
    const char *name;
    int width, height;
    uint32_t span;
};

class SmallImage : public GenerateTest, public testing::WithParamInterface<SmallCase>
{};

// Sizes the configuration refuses, and a zero time span, still finish:
// no division by zero, no endless tick loop, no wrapped coordinates.
TEST_P(SmallImage, IsDrawnAndWritten)
{
    const SmallCase &c = GetParam();
    const std::string file = dir.path("small.png");
    ImageSpec *image = images.add(file, c.width, c.height, c.span);
    images.graph(image, false, 0xff0000, 1, "legend", "title");
    images.graph(image, true, 0x00ff00, 0, "legend", "title");
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    EXPECT_EQ(png.width(), c.width);
    EXPECT_EQ(png.height(), c.height);
    // The date's tick at the right edge of the plot is always there.
    const PlotArea a = graph_plot_area(image);
    EXPECT_EQ(png.at(static_cast<int>(a.right), static_cast<int>(a.bottom) + 2), FOREGROUND);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SmallImage,
    testing::Values(SmallCase{"no_columns", 133, 320, 3600},
                    SmallCase{"lower_than_a_row", 640, 70, 3600},
                    SmallCase{"no_plot", 100, 40, 3600}, SmallCase{"zero_span", 640, 320, 0},
                    SmallCase{"one_column_longest_span", 134, 78, 0xffffffffu}),
    row_name);

// Legends in the graph's colour on the legend row: left ones from L
// rightwards, right ones leftwards ending at R - 1, one blank apart.
TEST_F(GenerateTest, LegendsRunFromBothEdges)
{
    const std::string file = dir.path("legends.png");
    ImageSpec *image = images.add(file);
    images.graph(image, false, 0xff0000, 0, "load");
    images.graph(image, false, 0x0000ff, 0, "load average");
    images.graph(image, true, 0x008000, 0, "traffic in");
    images.graph(image, true, 0x800080, 0, "out");
    ASSERT_EQ(graph_generate_images_at(images.list(), NOW, nullptr), 0);
    Png png(file);
    ASSERT_TRUE(png.ok());
    const int row = B + FH + 5;
    EXPECT_TRUE(text_at(png, L, row, "load", FIRST));
    EXPECT_TRUE(text_at(png, L + 5 * FW, row, "load average", FIRST + 2));
    EXPECT_TRUE(text_at(png, R - 10 * FW, row, "traffic in", FIRST + 4));
    EXPECT_TRUE(text_at(png, R - 14 * FW, row, "out", FIRST + 6));
}

} // namespace
} // namespace dorvane
