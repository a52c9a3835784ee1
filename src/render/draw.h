// Text drawing shared by the axes and the legends. Positions are 64-bit so
// that long texts and legend cursors cannot wrap; text that starts beyond
// any possible image is not handed to gd at all.
#ifndef DORVANE_RENDER_DRAW_H_
#define DORVANE_RENDER_DRAW_H_

#include <cstdint>

#include <gd.h>
#include <gdfonts.h>

namespace dorvane {

constexpr int64_t FAR_COORD = int64_t{1} << 30;

inline bool coord_ok(int64_t x, int64_t y)
{
    return x > -FAR_COORD && x < FAR_COORD && y > -FAR_COORD && y < FAR_COORD;
}

inline void draw_string(gdImagePtr im, int64_t x, int64_t y, const char *text, int color)
{
    if (coord_ok(x, y))
        gdImageString(im, gdFontSmall, static_cast<int>(x), static_cast<int>(y),
                      reinterpret_cast<unsigned char *>(const_cast<char *>(text)), color);
}

inline void draw_string_up(gdImagePtr im, int64_t x, int64_t y, const char *text, int color)
{
    if (coord_ok(x, y))
        gdImageStringUp(im, gdFontSmall, static_cast<int>(x), static_cast<int>(y),
                        reinterpret_cast<unsigned char *>(const_cast<char *>(text)), color);
}

// floor(v / 2), also for negative v.
inline int64_t floor_half(int64_t v)
{
    return v >= 0 ? v / 2 : -((-v + 1) / 2);
}

} // namespace dorvane

#endif // DORVANE_RENDER_DRAW_H_
