// The run sequence: open the store, run the asked-for phases in their fixed
// order, close the store.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "common/common.h"
#include "config/config.h"
#include "render/render.h"
#include "run/run.h"
#include "store/store.h"

namespace dorvane {
namespace {

// The run's own line after a phase's operation op failed and reported why.
int phase_failed(const char *op)
{
    message("main: %s() failed", op);
    return 1;
}

int fetch_values(const ImageSpec *image, GraphSpec *graph, int report)
{
    trace(1, "fetching values for unit %u from database\n", static_cast<unsigned>(graph->unit));
    watchdog_arm("data_get_values", watchdog_seconds);
    const int r = data_get_values(graph->unit & 0xffff, image->from, image->to, graph->type,
                                  static_cast<unsigned>(image->plot_width), graph->values, report);
    watchdog_disarm();
    return r != 0 ? phase_failed("data_get_values") : 0;
}

int quick_query(ImageSpec *images)
{
    trace(1, "get values\n");
    // The quick image was read last, so it is the first of its name.
    ImageSpec *image = images;
    while (image != nullptr && strcmp(image->file, QUICK_IMAGE_FILE) != 0)
        image = image->next;
    if (image == nullptr || image->left == nullptr) {
        message("main: quick image missing");
        return 1;
    }
    return fetch_values(image, image->left, 1);
}

int draw_images(ImageSpec *images)
{
    trace(1, "generating images\n");
    for (ImageSpec *image = images; image != nullptr; image = image->next) {
        for (GraphSpec *list : {image->left, image->right}) {
            for (GraphSpec *g = list; g != nullptr; g = g->next) {
                if (stop_requested())
                    return 0;
                if (fetch_values(image, g, 0) != 0)
                    return 1;
            }
        }
    }
    trace(1, "drawing and writing images\n");
    // Rendering knows nothing of the store: it is told which file not to
    // write over.
    FileId store;
    if (graph_generate_images(images, data_file_id(&store) ? &store : nullptr) != 0)
        return phase_failed("graph_generate_images");
    return 0;
}

// The phases in their fixed order; the first failure ends them, and so
// does a stop request, which each phase heeds between its steps.
int phases(const RunSettings *s, ImageSpec *images)
{
    if (s->quick && quick_query(images) != 0)
        return 1;
    if (stop_requested())
        return 1;
    if (s->truncate) {
        trace(1, "truncating database\n");
        watchdog_arm("data_truncate", watchdog_walk_seconds(s->store));
        const int r = data_truncate(s->days_raw, s->days_consolidated);
        watchdog_disarm();
        if (r != 0)
            return phase_failed("data_truncate");
    }
    if (stop_requested())
        return 1;
    if (s->query) {
        trace(1, "querying values\n");
        // A run's samples are stored all together or not at all: a failed
        // or stopped store phase leaves none of them.
        if (query_and_store() != 0) {
            phase_failed("data_put_value");
            data_discard();
            return 1;
        }
        if (stop_requested()) {
            data_discard();
            return 1;
        }
    }
    if (stop_requested())
        return 1;
    if (s->draw && draw_images(images) != 0)
        return 1;
    if (stop_requested())
        return 1;
    if (s->copy_target != nullptr) {
        trace(1, "fixing database %s to %s\n", s->store, s->copy_target);
        watchdog_arm("data_copy", watchdog_walk_seconds(s->store));
        const int r = data_copy(s->copy_target);
        watchdog_disarm();
        if (r != 0)
            return phase_failed("data_copy");
    }
    return 0;
}

} // namespace

int run_phases(const RunSettings *s, ImageSpec *images)
{
    if (data_open(s->store, !(s->query || s->truncate)) != 0)
        return 1;
    run_signals_defer();
    // A reader of our output that goes away (dorvane -v | head) must not
    // kill the run between two store writes.
    void (*saved)(int) = signal(SIGPIPE, SIG_IGN);
    int status = phases(s, images);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        message_errno("main: standard output");
        status = 1;
    }
    // A store whose last values or final writes were lost must not pass for
    // a completed run.
    if (data_last_failed())
        status = 1;
    if (data_close() != 0)
        status = 1;
    signal(SIGPIPE, saved);
    // The values of the commands that ended in time are stored and drawn,
    // but the run did not collect everything it should have.
    if (collect_table.ended != 0)
        status = 1;
    return run_signals_report(status);
}

} // namespace dorvane
