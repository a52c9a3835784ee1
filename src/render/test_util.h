// Helpers for the rendering tests: images built in a pool, PNG files read
// back, and text found in them glyph by glyph.
#ifndef DORVANE_RENDER_TEST_UTIL_H_
#define DORVANE_RENDER_TEST_UTIL_H_

#include <errno.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gd.h>
#include <gdfonts.h>
#include <gtest/gtest.h>

#include "config/config.h"
#include "pool/pool.h"
#include "render/render.h"
#include "testing/test_util.h"

namespace dorvane::testing_util {

// 2023-11-14 22:13:20 UTC, a Tuesday.
constexpr time_t NOW = 1700000000;
constexpr const char NOW_TEXT[] = "Tue Nov 14 22:13:20 2023";

// The default 640 x 320 layout.
constexpr int L = 67, T = 13, W = 507, H = 255, R = 574, B = 268;
constexpr int FW = 6, FH = 13;

inline std::string program()
{
    return program_invocation_short_name;
}

// A pool with one image list, freed at the end of the test.
class Images
{
  public:
    Images() : pool_(pool_create(1024)) {}
    ~Images() { pool_destroy(pool_); }
    Images(const Images &) = delete;
    Images &operator=(const Images &) = delete;

    // Adds an image at the head of the list (as the configuration does).
    ImageSpec *add(const std::string &file, int width = 640, int height = 320,
                   uint32_t span = 6 * 3600, Theme theme = Theme::white)
    {
        const uint32_t to = static_cast<uint32_t>(NOW);
        EXPECT_EQ(graph_add_image(pool_, &list_, file.c_str(), theme, width, height, to - span, to),
                  0);
        return list_;
    }

    // Appends a graph at the end of a side's list, values all 0.
    GraphSpec *graph(ImageSpec *image, bool right, int color, int filled = 0,
                     const char *legend = "", const char *axis_label = "", int bps = 0)
    {
        GraphSpec *g = nullptr;
        EXPECT_EQ(graph_add_graph(pool_, &g, image->plot_width, 1, legend, axis_label, color,
                                  filled, bps, GraphType::average),
                  0);
        GraphSpec **end = right ? &image->right : &image->left;
        while (*end != nullptr)
            end = &(*end)->next;
        *end = g;
        return g;
    }

    ImageSpec *list() const { return list_; }

  private:
    Pool *pool_;
    ImageSpec *list_ = nullptr;
};

inline void fill(GraphSpec *g, const ImageSpec *image, double value)
{
    for (int i = 0; i < image->plot_width; i++)
        g->values[i] = value;
}

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};
inline std::ostream &operator<<(std::ostream &os, const Rgb &c)
{
    return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

inline uint32_t be32(const std::string &s, size_t at)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

// A PNG file as written: header fields and palette read from the bytes,
// pixels (palette indexes) decoded by gd.
class Png
{
  public:
    explicit Png(const std::string &path) : bytes_(read_file(path))
    {
        static const char SIGNATURE[] = "\x89PNG\r\n\x1a\n";
        if (bytes_.size() < 33 || bytes_.compare(0, 8, SIGNATURE) != 0) {
            ADD_FAILURE() << path << " is no PNG file";
            return;
        }
        width_ = static_cast<int>(be32(bytes_, 16));
        height_ = static_cast<int>(be32(bytes_, 20));
        bit_depth_ = static_cast<unsigned char>(bytes_[24]);
        color_type_ = static_cast<unsigned char>(bytes_[25]);
        interlace_ = static_cast<unsigned char>(bytes_[28]);
        for (size_t at = 8; at + 8 <= bytes_.size();) {
            const uint32_t len = be32(bytes_, at);
            const std::string type = bytes_.substr(at + 4, 4);
            if (type == "PLTE")
                for (uint32_t i = 0; i + 2 < len; i += 3)
                    palette_.push_back({static_cast<unsigned char>(bytes_[at + 8 + i]),
                                        static_cast<unsigned char>(bytes_[at + 9 + i]),
                                        static_cast<unsigned char>(bytes_[at + 10 + i])});
            if (type == "tRNS")
                transparency_ = true;
            at += 12 + static_cast<size_t>(len);
        }
        im_ = gdImageCreateFromPngPtr(static_cast<int>(bytes_.size()), bytes_.data());
        if (im_ == nullptr)
            ADD_FAILURE() << path << " cannot be decoded";
        else if (gdImageTrueColor(im_))
            ADD_FAILURE() << path << " decodes as a true colour image";
    }
    ~Png()
    {
        if (im_ != nullptr)
            gdImageDestroy(im_);
    }
    Png(const Png &) = delete;
    Png &operator=(const Png &) = delete;

    bool ok() const { return im_ != nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }
    int bit_depth() const { return bit_depth_; }
    int color_type() const { return color_type_; }
    int interlace() const { return interlace_; }
    bool transparency() const { return transparency_; }
    const std::vector<Rgb> &palette() const { return palette_; }

    // The palette index at (x, y); -1 outside the image.
    int at(int x, int y) const
    {
        if (im_ == nullptr || x < 0 || y < 0 || x >= width_ || y >= height_)
            return -1;
        return gdImageGetPixel(im_, x, y);
    }

  private:
    std::string bytes_;
    gdImagePtr im_ = nullptr;
    int width_ = 0, height_ = 0, bit_depth_ = 0, color_type_ = 0, interlace_ = 0;
    bool transparency_ = false;
    std::vector<Rgb> palette_;
};

// Whether text in gdFontSmall lies with its top-left corner at (x, y) in
// palette index color: every set pixel of each glyph has that index and no
// other pixel of the character cells has it. Cells outside the image are
// not checked. up: the text reads upward from (x, y), each character cell
// being the columns x to x + fh - 1 and the fw rows ending at y.
inline testing::AssertionResult text_at(const Png &png, int x, int y, const std::string &text,
                                        int color, bool up = false)
{
    const gdFontPtr f = gdFontSmall;
    for (size_t n = 0; n < text.size(); n++) {
        const int c = static_cast<unsigned char>(text[n]) - f->offset;
        for (int row = 0; row < f->h; row++) {
            for (int col = 0; col < f->w; col++) {
                const bool set =
                    c >= 0 && c < f->nchars && f->data[(c * f->h + row) * f->w + col] != 0;
                const int px = up ? x + row : x + static_cast<int>(n) * f->w + col;
                const int py = up ? y - static_cast<int>(n) * f->w - col : y + row;
                const int found = png.at(px, py);
                if (found < 0)
                    continue;
                if (set != (found == color))
                    return testing::AssertionFailure()
                           << "\"" << text << "\" at (" << x << ", " << y << ")"
                           << (up ? " upward" : "") << ": pixel (" << px << ", " << py
                           << ") of character " << n << " has index " << found << ", glyph "
                           << (set ? "set" : "unset") << ", text colour " << color;
            }
        }
    }
    return testing::AssertionSuccess();
}

} // namespace dorvane::testing_util

#endif // DORVANE_RENDER_TEST_UTIL_H_
