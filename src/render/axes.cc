// Frame, grid, tick marks, value labels, time scale, date and axis titles.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <gdfonts.h>

#include "render/draw.h"
#include "render/render.h"

namespace dorvane {
namespace {

struct TimeUnit {
    const char *name;
    double factor; // spacing of this unit = spacing of the one before * factor
};

// Each spacing is derived from the one before it, in this order, not from
// the unit's seconds: the rounding of the tick columns depends on it.
constexpr TimeUnit TIME_UNITS[] = {
    {"minutes", 1.0},
    {"hours", 60.0},
    {"days", 24.0},
    {"weeks", 7.0},
    {"months", 4.285714285714286}, // 30 / 7
    {"years", 12.166666666666666}, // 365 / 30
};
constexpr size_t N_TIME_UNITS = sizeof TIME_UNITS / sizeof TIME_UNITS[0];

struct SideScale {
    bool shown; // the side has graphs
    double maximum;
    char suffix;
    const char *title;
};

SideScale side_scale(const GraphSpec *first)
{
    SideScale side{};
    if (first == nullptr)
        return side;
    side.shown = true;
    side.maximum = first->maximum;
    graph_scale_value(side.maximum, side.suffix, first->bps);
    side.title = first->axis_label;
    return side;
}

void draw_value_label(gdImagePtr im, int64_t x, int64_t y, const SideScale &side, uint32_t i,
                      uint32_t n, int fg)
{
    char label[10];
    const double value = static_cast<double>(n - i) * side.maximum / static_cast<double>(n);
    if (snprintf(label, sizeof label, "%5.1f %c", value, side.suffix) < 0)
        return;
    draw_string(im, x, y, label, fg);
}

// What every part of the axes draws with.
struct Pen {
    gdImagePtr im;
    int fw, fh; // the font's cell
    int grid, fg;
};

// Centred on the plot's height with a true floor: a title longer than the
// plot starts below B by half the excess, rounded up.
void draw_title(const Pen &p, int64_t x, const PlotArea &a, const char *title)
{
    const int64_t excess =
        static_cast<int64_t>(a.height) - static_cast<int64_t>(strlen(title)) * p.fw;
    draw_string_up(p.im, x, static_cast<int64_t>(a.bottom) - floor_half(excess), title, p.fg);
}

// The date under the plot: asctime's text without its newline. Nothing is
// drawn for a time that localtime or asctime cannot express.
void draw_date(const Pen &p, const PlotArea &a, time_t now)
{
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr)
        return;
    char text[26];
    if (asctime_r(&tm, text) == nullptr)
        return;
    text[24] = '\0';
    // A signed floor: on a plot narrower than the date the text starts left
    // of L instead of some two billion columns to the right.
    const int64_t excess =
        static_cast<int64_t>(a.width) - static_cast<int64_t>(strlen(text)) * p.fw;
    draw_string(p.im, static_cast<int64_t>(a.left) + floor_half(excess),
                static_cast<int64_t>(a.bottom) + 2 * static_cast<int64_t>(p.fh) + 5, text, p.fg);
}

// The frame, and the rows with their ticks and each shown side's value
// labels.
void draw_rows(const Pen &p, const PlotArea &a, const SideScale &left, const SideScale &right)
{
    const int L = static_cast<int>(a.left), T = static_cast<int>(a.top);
    const int R = static_cast<int>(a.right), B = static_cast<int>(a.bottom);

    // Frame. Its top edge is the first grid row.
    gdImageLine(p.im, L, B, R, B, p.fg);
    gdImageLine(p.im, L, T, L, B, p.fg);
    gdImageLine(p.im, R, T, R, B, p.fg);

    // Horizontal rows. A plot lower than one text row still gets its top
    // and bottom row instead of a division by zero.
    uint32_t n = a.height / static_cast<uint32_t>(p.fh);
    if (n > 10)
        n = 10;
    if (n == 0)
        n = 1;
    for (uint32_t i = 0; i <= n; i++) {
        const int y = static_cast<int>(a.top + i * a.height / n);
        gdImageLine(p.im, L - 2, y, L, y, p.fg);
        gdImageLine(p.im, R, y, R + 2, y, p.fg);
        if (i < n)
            gdImageLine(p.im, L + 1, y, R - 1, y, p.grid);
        if (left.shown)
            draw_value_label(p.im, p.fw + p.fh, y - p.fh / 2, left, i, n, p.fg);
        if (right.shown)
            draw_value_label(p.im, R + p.fw, y - p.fh / 2, right, i, n, p.fg);
    }
}

// The time scale: ticks and their grid columns, the date under the right
// edge and the unit's name.
void draw_time_scale(const Pen &p, const PlotArea &a, const ImageSpec *image, time_t now)
{
    const int T = static_cast<int>(a.top);
    const int R = static_cast<int>(a.right), B = static_cast<int>(a.bottom);

    // Time unit: the first whose spacing is at least four characters, else
    // years. A zero span has no scale: only the date's tick at R.
    const uint32_t span = image->to - image->from;
    double spacing = span > 0 ? a.width * 60.0 / span : HUGE_VAL;
    size_t unit = 0;
    while (unit + 1 < N_TIME_UNITS && !(spacing >= 4 * p.fw))
        spacing *= TIME_UNITS[++unit].factor;

    // Ticks from the right edge leftwards, k units before `to`. A spacing
    // of 0 (a plot without columns) stops after the first.
    for (uint32_t k = 0;; k++) {
        const double offset = k == 0 ? 0.0 : k * spacing;
        if (!(offset <= a.width) || (k > 0 && !(spacing > 0)))
            break;
        const uint32_t x = static_cast<uint32_t>(a.right - offset);
        const int xi = static_cast<int>(x);
        gdImageLine(p.im, xi, B, xi, B + 2, p.fg);
        if (x >= a.right) {
            draw_date(p, a, now);
            continue;
        }
        if (x > a.left)
            gdImageLine(p.im, xi, B, xi, T, p.grid);
        char label[64];
        const int len = snprintf(label, sizeof label, "-%u", k);
        draw_string(p.im, xi - len * p.fw / 2, B + 5, label, p.fg);
    }

    const char *name = TIME_UNITS[unit].name;
    draw_string(p.im, R - static_cast<int64_t>(strlen(name)) * p.fw, B + 5, name, p.fg);
}

} // namespace

void graph_scale_value(double &value, char &suffix, int bps)
{
    suffix = ' ';
    double divisor = 1000.0;
    if (bps) {
        value *= 8.0;
        divisor = 1024.0;
    }
    for (const char *letter = "kmgt"; *letter != '\0'; letter++) {
        if (!(value >= 1000.0))
            break;
        value /= divisor;
        suffix = *letter;
    }
}

void graph_draw_axes(gdImagePtr im, const ImageSpec *image)
{
    graph_draw_axes_at(im, image, time(nullptr));
}

void graph_draw_axes_at(gdImagePtr im, const ImageSpec *image, time_t now)
{
    Pen p{im, gdFontSmall->w, gdFontSmall->h, 0, 0};
    p.grid = gdImageColorAllocate(im, 220, 220, 220);
    p.fg = image->theme == Theme::black ? gdImageColorAllocate(im, 255, 255, 255)
                                        : gdImageColorAllocate(im, 0, 0, 0);
    const PlotArea a = graph_plot_area(image);
    const SideScale left = side_scale(image->left);
    const SideScale right = side_scale(image->right);
    draw_rows(p, a, left, right);
    draw_time_scale(p, a, image, now);
    if (left.shown)
        draw_title(p, 0, a, left.title);
    if (right.shown)
        draw_title(p, static_cast<int>(a.right) + 8 * p.fw, a, right.title);
}

} // namespace dorvane
