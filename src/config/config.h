// Configuration: the image and graph records and the collect table that the
// configuration fills, and parse_config.
//
// Every ImageSpec, GraphSpec, string and value array lives in the run's pool
// until the end of the run. The image list holds the images newest first;
// each finished left and right list holds its graphs in configuration order.
// The collect table is process-wide: its rows are the collect statements of
// every file read, and run control keeps each command's result in its row.
#ifndef DORVANE_CONFIG_CONFIG_H_
#define DORVANE_CONFIG_CONFIG_H_

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "common/common.h"
#include "pool/pool.h"

namespace dorvane {

// The background of an image.
enum class Theme : int { white = 0, black = 1 };

struct GraphSpec {
    int unit;               // series number; the store keeps its low 16 bits
    const char *legend;     // written under the plot in the graph's colour
    const char *axis_label; // vertical text of the side; first graph of a side only
    int color;              // 0xRRGGBB
    int filled;             // 1: filled area, 0: line
    int bps;                // 1: the side's axis is labelled in bits (first graph)
    GraphType type;         // the value of each record that it shows
    double *values;         // plot_width values of the owning image
    double maximum;         // set by rendering
    GraphSpec *next;
};

struct ImageSpec {
    const char *file; // PNG path as written in the configuration
    uint32_t from;    // start of the time range, seconds since the epoch
    uint32_t to;      // end of the time range
    Theme theme;
    int width;
    int height;
    int plot_width;  // width - 20 * font width - font height; values per graph
    int plot_height; // height - 5 * font height
    int plot_x;      // 9 * font width + font height
    int plot_y;      // font height
    GraphSpec *left;
    GraphSpec *right;
    ImageSpec *next;
};

static_assert(std::is_trivially_destructible_v<GraphSpec>);
static_assert(std::is_trivially_destructible_v<ImageSpec>);

// Image sizes the configuration accepts: anything smaller has no plot area
// to draw in (plot_width >= 1, plot_height >= the font height).
constexpr int MIN_IMAGE_WIDTH = 134;
constexpr int MIN_IMAGE_HEIGHT = 78;
constexpr int MAX_IMAGE_SIZE = 8192;

// Puts a new ImageSpec at the head of *list, with its plot geometry computed
// from gdFontSmall. Always 0.
int graph_add_image(Pool *pool, ImageSpec **list, const char *file, Theme theme, int width,
                    int height, uint32_t from, uint32_t to);

// Puts a new GraphSpec with count zeroed values at the head of *list.
// Always 0.
int graph_add_graph(Pool *pool, GraphSpec **list, int count, int unit, const char *legend,
                    const char *axis_label, int color, int filled, int bps, GraphType type);

// One collect statement: the series, the command that measures it and how
// the store keeps its values; value and missing are the command's result
// in this run, which run control keeps here.
struct CollectEntry {
    int unit;          // unique within the table
    const char *query; // the whole shell command (pool copy, never cut)
    int tdiff;         // store the rate of change per second
    int vdiff;         // store the difference from the previous value
    double value;      // result of the query in this run; 0 until then
    int missing;       // the command was ended before its first line: nothing to store
};
static_assert(std::is_trivially_destructible_v<CollectEntry>);

constexpr unsigned MAX_COLLECTS = 512;

// The process-wide collect table: rows in the order they were declared.
struct CollectTable {
    CollectEntry rows[MAX_COLLECTS];
    unsigned count;
    unsigned ended; // commands of this run ended at their deadline
};
extern CollectTable collect_table;

// Seconds that each collect command may run, counted from its start: the
// configuration's timeout statement, the last one read.
constexpr unsigned DEFAULT_TIMEOUT = 30;
constexpr unsigned MAX_TIMEOUT = 86400;
extern unsigned collect_timeout;

// Empties the table and sets the timeout back to its default (the program
// starts so; tests reset it).
void collect_reset();

// Adds a row. query must live until the end of the run (the configuration
// hands over its pool copy). 1 after "add_col: %d already defined\n" or
// "add_col: limit of %d collects reached\n".
[[nodiscard]] int add_col(int unit, const char *query, int tdiff, int vdiff);

// What reading a configuration file gave.
enum class ConfigResult : int {
    read = 0,     // read without any message
    errors = -1,  // read, and errors were reported ("file:line: ...")
    not_read = 1, // could not be opened ("fopen() failed: ...") or was refused
};

// Reads one configuration file into the collect table and *images. The
// file is refused by config_check_writers, checked on the opened file.
[[nodiscard]] ConfigResult parse_config(Pool *pool, const char *path, ImageSpec **images);

// As parse_config, from an open stream; name is used in messages. The
// stream is not closed. read or errors.
[[nodiscard]] ConfigResult parse_config_stream(Pool *pool, FILE *stream, const char *name,
                                               ImageSpec **images);

// Refuses a configuration file or folder, st being its status taken on the
// opened descriptor, that a user other than root and the run's effective
// user could change: writable by group or others, or owned by another
// user. 1 after "<path>: refused: writable by group or others\n" or
// "<path>: refused: owned by uid <N>\n"; character devices pass.
[[nodiscard]] int config_check_writers(const struct stat *st, const char *path);

// Whether text can stand as an image's time clause inside a configuration
// that a program builds around it: nothing in it can end the image block,
// open a string or a comment, or start another line.
bool config_timeframe_safe(const char *text);

// Reads a time clause ("from 2 days to now", "from 1796000000 to
// 1796086400", or nothing) by the configuration's own rules, as the time
// range of an image, into *from and *to. Anything else that an image may
// say (theme, size, graphs) is a syntax error. Messages are those of the
// configuration, with name in place of the file name: read, or errors
// after them ("%s: invalid character in time range\n" for text that is not
// safe).
[[nodiscard]] ConfigResult config_time_range(Pool *pool, const char *clause, const char *name,
                                             uint32_t *from, uint32_t *to);

} // namespace dorvane

#endif // DORVANE_CONFIG_CONFIG_H_
