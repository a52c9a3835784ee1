/*
 * The configuration language. Statements take effect while they are parsed:
 * collect statements go to the collect table, image blocks become ImageSpecs
 * at the head of the image list, a timeout statement sets the deadline of
 * every collect command. On an error the statement in progress is dropped
 * and parsing resumes at the next "collect", "image" or "timeout".
 */
%code requires {
#include "config/config.h"
namespace dorvane { struct GraphItem; }
}

%{
#include <err.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/common.h"
#include "config/config.h"
#include "config/lexer.h"

namespace dorvane {

// One graph line, kept until its image exists (the image's plot width sizes
// the value arrays). Lists are newest first.
struct GraphItem {
    int unit;
    const char *legend;
    const char *axis_label;
    int color;
    int filled;
    int bps;
    GraphType type;
    GraphItem *next;
};

namespace {

// The image list and pool of the file being parsed.
ImageSpec **parse_images;
Pool *parse_pool;

// The store keeps 16 bits of a unit: a wider one would share a series.
// false after "invalid unit <unit>".
bool unit_in_range(int unit)
{
    if (unit >= 0 && unit <= 65535)
        return true;
    config_error("invalid unit %d", unit);
    return false;
}

uint32_t clock_now() { return static_cast<uint32_t>(time(nullptr)); }

// now - count * seconds; a time before the epoch is 0 rather than a wrapped
// time in the future.
uint32_t time_ago(uint32_t count, uint32_t seconds)
{
    uint64_t back = static_cast<uint64_t>(count) * seconds;
    uint32_t now = clock_now();
    return back > now ? 0 : now - static_cast<uint32_t>(back);
}

int add_image(const char *file, Theme theme, int width, int height, uint32_t from, uint32_t to,
              GraphItem *left, GraphItem *right)
{
    graph_add_image(parse_pool, parse_images, file, theme, width, height, from, to);
    ImageSpec *image = *parse_images;
    // Items are newest first and each graph goes to the head of its list, so
    // the lists end up in configuration order.
    for (GraphItem *g = left; g != nullptr; g = g->next)
        graph_add_graph(parse_pool, &image->left, image->plot_width, g->unit, g->legend,
                        g->axis_label, g->color, g->filled, g->bps, g->type);
    for (GraphItem *g = right; g != nullptr; g = g->next)
        graph_add_graph(parse_pool, &image->right, image->plot_width, g->unit, g->legend,
                        g->axis_label, g->color, g->filled, g->bps, g->type);
    return 0;
}

} // namespace
} // namespace dorvane

using dorvane::config_error;

static void yyerror(const char *message) { config_error("%s", message); }

/* An action that reported an error drops its statement like a syntax error.
 * Every such action runs after at least two shifted tokens; clearing the flag
 * makes the parser unwind to the statement level even when it is still
 * recovering from an earlier error, and keeps a failed action from being
 * reduced again without end. */
#define ACTION_FAILED() do { yyerrflag = 0; YYERROR; } while (0)
%}

%union {
    int number;
    char *string;
    struct { uint32_t from, to; } range;
    struct { int width, height; } size;
    dorvane::GraphItem *item;
    dorvane::Theme theme;
    dorvane::GraphType graph_type;
}

/* Declared in this order so that the token codes run from 257 to 286, and
 * the later keyword TIMEOUT takes the next code. */
%token ERROR
%token <string> IMAGE FROM MINUTES HOURS DAYS WEEKS MONTHS YEARS TO NOW
%token <string> WIDTH HEIGHT LEFT RIGHT GRAPH COLOR FILLED THEME WHITE BLACK
%token <string> COLLECT TDIFF VDIFF BPS AVG MIN MAX STRING
%token <number> NUMBER
%token <string> TIMEOUT

%type <number> tdiff_opt vdiff_opt time_unit time_spec bps_opt filled_opt
%type <theme> theme_opt
%type <graph_type> type_opt
%type <range> time_range
%type <size> size_opt
%type <item> left_opt right_opt graph_list graph_item

%%

grammar     : /* empty */
            | grammar collect_stmt
            | grammar image_block
            | grammar timeout_stmt
            | grammar error { dorvane::config_reader.config_errors += 1; }
            ;

collect_stmt: COLLECT NUMBER '=' STRING tdiff_opt vdiff_opt {
                if (!dorvane::unit_in_range($2))
                    ACTION_FAILED();
                if (dorvane::add_col($2, $4, $5, $6) != 0) {
                    config_error("add_col() failed");
                    ACTION_FAILED();
                }
            }
            ;

timeout_stmt: TIMEOUT NUMBER {
                if ($2 < 1 || static_cast<unsigned>($2) > dorvane::MAX_TIMEOUT) {
                    config_error("invalid timeout %d", $2);
                    ACTION_FAILED();
                }
                dorvane::collect_timeout = static_cast<unsigned>($2);
            }
            ;

tdiff_opt   : /* empty */ { $$ = 0; }
            | TDIFF { $$ = 1; }
            ;

vdiff_opt   : /* empty */ { $$ = 0; }
            | VDIFF { $$ = 1; }
            ;

image_block : IMAGE STRING '{' time_range theme_opt size_opt left_opt right_opt '}' {
                if ($7 == nullptr && $8 == nullptr) {
                    config_error("neither left nor right graph defined");
                    ACTION_FAILED();
                }
                if ($6.width < dorvane::MIN_IMAGE_WIDTH || $6.width > dorvane::MAX_IMAGE_SIZE ||
                    $6.height < dorvane::MIN_IMAGE_HEIGHT || $6.height > dorvane::MAX_IMAGE_SIZE) {
                    config_error("invalid size %d %d", $6.width, $6.height);
                    ACTION_FAILED();
                }
                dorvane::add_image($2, $5, $6.width, $6.height, $4.from, $4.to, $7, $8);
            }
            ;

time_range  : /* empty */ {
                $$.to = dorvane::clock_now();
                $$.from = dorvane::time_ago(1440, 1);
            }
            | FROM time_spec {
                $$.from = static_cast<uint32_t>($2);
                $$.to = dorvane::clock_now();
            }
            | FROM time_spec TO time_spec {
                $$.from = static_cast<uint32_t>($2);
                $$.to = static_cast<uint32_t>($4);
            }
            ;

time_spec   : NOW { $$ = static_cast<int>(dorvane::clock_now()); }
            | NUMBER { $$ = $1; }
            | NUMBER time_unit {
                $$ = static_cast<int>(dorvane::time_ago(static_cast<uint32_t>($1),
                                                        static_cast<uint32_t>($2)));
            }
            ;

time_unit   : MINUTES { $$ = 60; }
            | HOURS { $$ = 3600; }
            | DAYS { $$ = 86400; }
            | WEEKS { $$ = 604800; }
            | MONTHS { $$ = 2592000; }
            | YEARS { $$ = 31536000; }
            ;

theme_opt   : /* empty */ { $$ = dorvane::Theme::white; }
            | THEME WHITE { $$ = dorvane::Theme::white; }
            | THEME BLACK { $$ = dorvane::Theme::black; }
            ;

size_opt    : /* empty */ { $$.width = 640; $$.height = 320; }
            | WIDTH NUMBER HEIGHT NUMBER { $$.width = $2; $$.height = $4; }
            ;

left_opt    : /* empty */ { $$ = nullptr; }
            | LEFT graph_list { $$ = $2; }
            ;

right_opt   : /* empty */ { $$ = nullptr; }
            | RIGHT graph_list { $$ = $2; }
            ;

graph_list  : graph_item { $$ = $1; }
            | graph_list ',' graph_item { $3->next = $1; $$ = $3; }
            ;

graph_item  : GRAPH NUMBER bps_opt type_opt STRING STRING COLOR NUMBER NUMBER NUMBER filled_opt {
                auto *item = static_cast<dorvane::GraphItem *>(
                    dorvane::pool_alloc(dorvane::parse_pool, sizeof(dorvane::GraphItem)));
                if (item == nullptr)
                    err(1, "graph_item: pool_alloc");
                memset(item, 0, sizeof *item);
                item->unit = $2;
                item->bps = $3;
                item->type = $4;
                item->legend = dorvane::pool_strdup(dorvane::parse_pool, $5);
                item->axis_label = dorvane::pool_strdup(dorvane::parse_pool, $6);
                uint32_t red = static_cast<uint32_t>($8);
                uint32_t green = static_cast<uint32_t>($9);
                uint32_t blue = static_cast<uint32_t>($10);
                if (!dorvane::unit_in_range($2))
                    ACTION_FAILED();
                if (red > 255 || green > 255 || blue > 255) {
                    config_error("invalid color %d %d %d", $8, $9, $10);
                    ACTION_FAILED();
                }
                item->color = static_cast<int>(red * 65536 + green * 256 + blue);
                item->filled = $11;
                item->next = nullptr;
                $$ = item;
            }
            ;

bps_opt     : /* empty */ { $$ = 0; }
            | BPS { $$ = 1; }
            ;

type_opt    : /* empty */ { $$ = dorvane::GraphType::average; }
            | AVG { $$ = dorvane::GraphType::average; }
            | MIN { $$ = dorvane::GraphType::minimum; }
            | MAX { $$ = dorvane::GraphType::maximum; }
            ;

filled_opt  : /* empty */ { $$ = 0; }
            | FILLED { $$ = 1; }
            ;

%%

namespace dorvane {

ConfigResult parse_config_stream(Pool *pool, FILE *stream, const char *name, ImageSpec **images)
{
    parse_images = images;
    parse_pool = pool;
    config_begin(stream, name, pool);
    yyparse();
    return config_reader.config_errors != 0 ? ConfigResult::errors : ConfigResult::read;
}

namespace {

// The file at path open for reading, with its status in *st; null with
// errno set. A directory opens fine but reads as an error: it is refused
// here.
FILE *open_config(const char *path, struct stat *st)
{
    FILE *stream = fopen(path, "rb");
    if (stream == nullptr)
        return nullptr;
    const bool known = fstat(fileno(stream), st) == 0;
    if (known && !S_ISDIR(st->st_mode))
        return stream;
    const int reason = known ? EISDIR : errno;
    fclose(stream);
    errno = reason;
    return nullptr;
}

} // namespace

ConfigResult parse_config(Pool *pool, const char *path, ImageSpec **images)
{
    struct stat st;
    FILE *stream = open_config(path, &st);
    if (stream == nullptr) {
        message_errno("fopen() failed");
        return ConfigResult::not_read;
    }
    // Checked on the open file: the file read is the file checked.
    if (config_check_writers(&st, path) != 0) {
        fclose(stream);
        return ConfigResult::not_read;
    }
    const ConfigResult result = parse_config_stream(pool, stream, path, images);
    fclose(stream);
    return result;
}

} // namespace dorvane
