// Image rendering: turns every configured image into a PNG file.
//
// Layout, in pixels of gd's small font (fw 6, fh 13): the plot area is
// W x H with its top-left corner at (L, T), R = L + W, B = T + H. Value
// labels and the left title lie left of L, the right ones right of R; under
// the plot the time labels (B + 5), the legends (B + fh + 5) and the date
// (B + 2 fh + 5).
//
// Palette of every image, in allocation order: 0 background, 1 grid
// (220, 220, 220), 2 foreground, then per graph (left list first, then
// right) its colour and the outline colour (0, 64, 96). From the 127th
// graph on gd has no free entry and the drawing goes on with index -1.
#ifndef DORVANE_RENDER_RENDER_H_
#define DORVANE_RENDER_RENDER_H_

#include <cstdint>
#include <ctime>

#include <gd.h>

#include "common/common.h"
#include "config/config.h"

namespace dorvane {

// The quick query's image. It lives in a shared directory, so it is only
// ever written in place, never through a symbolic link, and left 0600.
constexpr const char QUICK_IMAGE_FILE[] = "/tmp/.dorvane.png.temp";

// The plot area of an image as unsigned pixel numbers. A plot_width or
// plot_height below 0 counts as 0: such an image is drawn without a plot
// area rather than with wrapped coordinates.
struct PlotArea {
    uint32_t left;   // L
    uint32_t top;    // T
    uint32_t width;  // W, also the number of values of every graph
    uint32_t height; // H
    uint32_t right;  // R = L + W
    uint32_t bottom; // B = T + H
};
PlotArea graph_plot_area(const ImageSpec *image);

// Draws every image of the list, head first, and writes its PNG file; no
// image is written over store, the file of the open store that the caller
// names (null: none). Traces at verbosity 1: "graph_generate_images:
// generating file %s\n" and "graph_generate_images: maximum %s %.2f\n" for
// "left" and "right". 0 when every image was written, or when a stop
// request (common/common.h) ended the list before an image. 1 at the first
// image that could not be drawn or written, after its message; the images
// after it are not drawn. Scales every graph's values in place and leaves
// the side's maximum in every graph's maximum.
[[nodiscard]] int graph_generate_images(ImageSpec *images, const FileId *store);

// As graph_generate_images with now as the time of the date under the plot.
[[nodiscard]] int graph_generate_images_at(ImageSpec *images, time_t now, const FileId *store);

// Sets each graph's maximum to the largest of its values, never below 0;
// NaN values are ignored.
void graph_find_maxima(ImageSpec *image);

// Divides the values of every graph whose maximum is not 0 by that maximum.
void graph_normalise(ImageSpec *image);

// Draws one graph's normalised values into the plot area of im, as a line
// or (filled) as an area with an outline. color is the graph's palette
// index; the outline colour is allocated here, filled or not.
void graph_plot(gdImagePtr im, const ImageSpec *image, const GraphSpec *graph, int color,
                int filled);

// Allocates the grid and foreground colours (palette 1 and 2) and draws the
// frame, grid, tick marks, value labels, time scale, date and axis titles.
// The date is the current time.
void graph_draw_axes(gdImagePtr im, const ImageSpec *image);

// As graph_draw_axes with now as the date under the plot.
void graph_draw_axes_at(gdImagePtr im, const ImageSpec *image, time_t now);

// Brings value below 1000 in up to four steps of 1000 (1024 and in bits,
// value * 8, with bps) and sets suffix to ' ', 'k', 'm', 'g' or 't'.
void graph_scale_value(double &value, char &suffix, int bps);

// Writes im as a PNG to file. A file that can be replaced is written to a
// temporary file beside it and renamed over it only when all was written,
// keeping an existing file's mode and owner; otherwise (a symbolic link, a
// file with several links or another owner we cannot give the new file, a
// directory we cannot write, anything but a regular file) it is written in
// place. QUICK_IMAGE_FILE is written in place only, and only when it is a
// regular file of ours with one link. 1 after a message on standard error
// when the file could not be written whole (the old file is then kept
// unless it was being written in place) or is store, by any name
// ("graph_generate_images: %s: is the store itself\n"); null store: none.
[[nodiscard]] int graph_write_png(gdImagePtr im, const char *file, const FileId *store);

} // namespace dorvane

#endif // DORVANE_RENDER_RENDER_H_
