// ImageSpec and GraphSpec records and their plot geometry.
#include <err.h>

#include <cstring>

#include <gdfonts.h>

#include "config/config.h"

namespace dorvane {

int graph_add_image(Pool *pool, ImageSpec **list, const char *file, Theme theme, int width,
                    int height, uint32_t from, uint32_t to)
{
    auto *image = static_cast<ImageSpec *>(pool_alloc(pool, sizeof(ImageSpec)));
    if (image == nullptr)
        err(1, "pool_alloc");
    memset(image, 0, sizeof *image);
    image->file = pool_strdup(pool, file);
    if (image->file == nullptr)
        err(1, "pool_strdup");

    const int fw = gdFontSmall->w;
    const int fh = gdFontSmall->h;
    image->from = from;
    image->to = to;
    image->theme = theme;
    image->width = width;
    image->height = height;
    image->plot_width = width - 20 * fw - fh;
    image->plot_height = height - 5 * fh;
    image->plot_x = 9 * fw + fh;
    image->plot_y = fh;
    image->left = nullptr;
    image->right = nullptr;

    image->next = *list;
    *list = image;
    return 0;
}

int graph_add_graph(Pool *pool, GraphSpec **list, int count, int unit, const char *legend,
                    const char *axis_label, int color, int filled, int bps, GraphType type)
{
    auto *graph = static_cast<GraphSpec *>(pool_alloc(pool, sizeof(GraphSpec)));
    if (graph == nullptr)
        err(1, "pool_alloc");
    memset(graph, 0, sizeof *graph);
    graph->unit = unit;
    graph->legend = pool_strdup(pool, legend);
    graph->axis_label = pool_strdup(pool, axis_label);
    if (graph->legend == nullptr || graph->axis_label == nullptr)
        err(1, "pool_strdup");
    graph->color = color;
    graph->filled = filled;
    graph->bps = bps;
    graph->type = type;

    // The configuration refuses sizes without a plot area; never size an
    // array from a negative count all the same.
    size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    graph->values = static_cast<double *>(pool_alloc(pool, n * sizeof(double)));
    if (graph->values == nullptr)
        err(1, "graph_add_graph: pool_alloc");
    for (size_t i = 0; i < n; i++)
        graph->values[i] = 0.0;
    graph->maximum = 0.0;

    graph->next = *list;
    *list = graph;
    return 0;
}

} // namespace dorvane
