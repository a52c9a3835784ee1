// Image generation: maxima, scaling, plotting, legends and the walk over the
// image list.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>

#include <gdfonts.h>

#include "common/common.h"
#include "render/draw.h"
#include "render/render.h"

namespace dorvane {
namespace {

struct GdImageDeleter {
    void operator()(gdImagePtr im) const { gdImageDestroy(im); }
};
using GdImage = std::unique_ptr<gdImage, GdImageDeleter>;

// The pixel offset of a normalised value above the baseline. It is limited
// to +-2^30 before it becomes an int: a huge value (a side whose maximum is
// 0 does not scale its negative values) would otherwise be undefined
// behaviour here and overflow inside gd's line clipping. Rows that far out
// are off any image either way.
int64_t value_offset(double height, double value)
{
    constexpr double LIMIT = 1073741824.0; // 2^30
    const double offset = height * value;
    if (std::isnan(offset))
        return 0;
    if (offset > LIMIT)
        return static_cast<int64_t>(LIMIT);
    if (offset < -LIMIT)
        return -static_cast<int64_t>(LIMIT);
    return static_cast<int64_t>(offset);
}

void share_maximum(GraphSpec *list, const char *side)
{
    double m = 0;
    for (const GraphSpec *g = list; g != nullptr; g = g->next)
        if (g->maximum > m)
            m = g->maximum;
    for (GraphSpec *g = list; g != nullptr; g = g->next)
        g->maximum = m;
    trace(1, "graph_generate_images: maximum %s %.2f\n", side, m);
}

// Plots the graphs of one side with their legends. Left legends run
// rightwards from L, right legends leftwards from R, one blank apart.
void plot_side(gdImagePtr im, const ImageSpec *image, const GraphSpec *list, bool right)
{
    const int fw = gdFontSmall->w;
    const int fh = gdFontSmall->h;
    const PlotArea a = graph_plot_area(image);
    const int64_t legend_y = static_cast<int64_t>(a.bottom) + fh + 5;
    int64_t x = right ? a.right : a.left;
    for (const GraphSpec *g = list; g != nullptr; g = g->next) {
        const int color =
            gdImageColorAllocate(im, (g->color >> 16) & 255, (g->color >> 8) & 255, g->color & 255);
        graph_plot(im, image, g, color, g->filled);
        const int64_t width = static_cast<int64_t>(strlen(g->legend)) * fw;
        if (right) {
            x -= width;
            draw_string(im, x, legend_y, g->legend, color);
            x -= fw;
        } else {
            draw_string(im, x, legend_y, g->legend, color);
            x += width + fw;
        }
    }
}

// now is null for the current time of each image.
int generate(ImageSpec *images, const time_t *now, const FileId *store)
{
    for (ImageSpec *image = images; image != nullptr && !stop_requested(); image = image->next) {
        trace(1, "graph_generate_images: generating file %s\n", image->file);
        graph_find_maxima(image);
        share_maximum(image->left, "left");
        share_maximum(image->right, "right");
        graph_normalise(image);

        GdImage im(gdImageCreate(image->width, image->height));
        if (im == nullptr) {
            message("graph_generate_images: gdImageCreate failed: %s", image->file);
            return 1;
        }
        const int background = image->theme == Theme::black
                                   ? gdImageColorAllocate(im.get(), 0, 0, 0)
                                   : gdImageColorAllocate(im.get(), 255, 255, 255);
        // gdImageCreate sets every pixel to index 0, the background just
        // allocated: painting it again changes no pixel and would cost a
        // large share of the drawing's time (bench/README.md).
        if (background != 0)
            gdImageFilledRectangle(im.get(), 0, 0, image->width - 1, image->height - 1, background);
        if (now != nullptr)
            graph_draw_axes_at(im.get(), image, *now);
        else
            graph_draw_axes(im.get(), image);
        plot_side(im.get(), image, image->left, false);
        plot_side(im.get(), image, image->right, true);
        if (graph_write_png(im.get(), image->file, store) != 0)
            return 1;
    }
    return 0;
}

} // namespace

PlotArea graph_plot_area(const ImageSpec *image)
{
    PlotArea a;
    a.left = static_cast<uint32_t>(image->plot_x);
    a.top = static_cast<uint32_t>(image->plot_y);
    a.width = image->plot_width > 0 ? static_cast<uint32_t>(image->plot_width) : 0;
    a.height = image->plot_height > 0 ? static_cast<uint32_t>(image->plot_height) : 0;
    a.right = a.left + a.width;
    a.bottom = a.top + a.height;
    return a;
}

void graph_find_maxima(ImageSpec *image)
{
    const uint32_t n = graph_plot_area(image).width;
    for (GraphSpec *list : {image->left, image->right}) {
        for (GraphSpec *g = list; g != nullptr; g = g->next) {
            g->maximum = 0;
            for (uint32_t i = 0; i < n; i++)
                if (g->values[i] > g->maximum)
                    g->maximum = g->values[i];
        }
    }
}

void graph_normalise(ImageSpec *image)
{
    const uint32_t n = graph_plot_area(image).width;
    for (GraphSpec *list : {image->left, image->right}) {
        for (GraphSpec *g = list; g != nullptr; g = g->next) {
            if (g->maximum == 0)
                continue;
            for (uint32_t i = 0; i < n; i++)
                g->values[i] /= g->maximum;
        }
    }
}

void graph_plot(gdImagePtr im, const ImageSpec *image, const GraphSpec *graph, int color,
                int filled)
{
    const int outline = gdImageColorAllocate(im, 0, 64, 96);
    const PlotArea a = graph_plot_area(image);
    const double height = a.height;
    const int64_t baseline = static_cast<int64_t>(a.top) + a.height - 1;
    const int yb = static_cast<int>(baseline);
    int prev_y = 0;
    for (uint32_t i = 0; i < a.width; i++) {
        const int x = static_cast<int>(a.left + 1 + i);
        const int y = static_cast<int>(baseline - value_offset(height, graph->values[i]));
        if (filled)
            gdImageLine(im, x, yb, x, y, color);
        if (i > 0)
            gdImageLine(im, x - 1, prev_y, x, y, filled ? outline : color);
        prev_y = y;
    }
}

int graph_generate_images(ImageSpec *images, const FileId *store)
{
    return generate(images, nullptr, store);
}

int graph_generate_images_at(ImageSpec *images, time_t now, const FileId *store)
{
    return generate(images, &now, store);
}

} // namespace dorvane
