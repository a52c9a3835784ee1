// The README's example image: the README's example configuration with
// made-up values, drawn at a fixed time. Any change to what rendering draws
// shows here as a failure; after a deliberate change, regenerate the image
// with DORVANE_UPDATE_DOCS=1 and look at it before committing it.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "render/render.h"
#include "render/test_util.h"

namespace dorvane {
namespace {

using namespace testing_util;

constexpr time_t EXAMPLE_NOW = 1765180800; // Mon Dec  8 08:00:00 2025 UTC

// image "/var/www/load.png" {
//     from 2 days to now theme black
//     width 800 height 200
//     left graph 1 max "load" "processes" color 255 0 0 filled,
//          graph 1 "load average" "processes" color 0 0 255
//     right graph 2 bps "traffic in" "bits/s" color 0 128 0
// }
void draw_example(Images &images, const std::string &file)
{
    const uint32_t now = static_cast<uint32_t>(EXAMPLE_NOW);
    ImageSpec *image = images.add(file, 800, 200, 2 * 86400, Theme::black);
    image->from = now - 2 * 86400;
    image->to = now;
    GraphSpec *max = images.graph(image, false, 0xff0000, 1, "load", "processes");
    GraphSpec *avg = images.graph(image, false, 0x0000ff, 0, "load average", "processes");
    GraphSpec *traffic = images.graph(image, true, 0x008000, 0, "traffic in", "bits/s", 1);
    const int w = image->plot_width;
    for (int i = 0; i < w; i++) {
        const double hours = 48.0 * i / w;
        const double day = 0.5 - 0.5 * std::cos((hours - 3) / 24 * 2 * M_PI);
        avg->values[i] =
            std::max(0.1, 0.4 + 1.6 * day + 0.3 * std::sin(i * 0.37) * std::sin(i * 0.05));
        max->values[i] = avg->values[i] * (1.3 + 0.25 * std::fabs(std::sin(i * 1.7)));
        traffic->values[i] = 180000 + 900000 * day + 120000 * std::sin(i * 0.21);
    }
}

TEST(ExampleImage, MatchesTheReadme)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const std::string docs = std::string(DORVANE_SOURCE_DIR) + "/docs/example.png";
    TempDir dir;
    Images images;
    const char *update = getenv("DORVANE_UPDATE_DOCS");
    const std::string file = update != nullptr && *update == '1' ? docs : dir.path("load.png");
    draw_example(images, file);
    ASSERT_EQ(graph_generate_images_at(images.list(), EXAMPLE_NOW, nullptr), 0);

    Png drawn(file), committed(docs);
    ASSERT_TRUE(drawn.ok());
    ASSERT_TRUE(committed.ok());
    ASSERT_EQ(drawn.width(), 800);
    ASSERT_EQ(drawn.height(), 200);
    EXPECT_EQ(committed.palette(), drawn.palette());
    ASSERT_EQ(committed.width(), drawn.width());
    ASSERT_EQ(committed.height(), drawn.height());
    int differ = 0;
    for (int y = 0; y < drawn.height(); y++)
        for (int x = 0; x < drawn.width(); x++)
            differ += drawn.at(x, y) != committed.at(x, y);
    EXPECT_EQ(differ, 0) << "pixels that differ from docs/example.png";
}

} // namespace
} // namespace dorvane
