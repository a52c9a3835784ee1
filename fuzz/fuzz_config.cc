// Arbitrary bytes as one configuration file: the lexer, the grammar and
// its actions into a fresh collect table and image list. Whatever the
// input, the records that come out must be what the rest of the run relies
// on: units that fit the store, unique collect rows, a collect timeout in
// its range, images with a plot area and a value array of plot_width
// entries behind every graph.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "pool/pool.h"
#include "common/common.h"

#define FUZZ_NAME "fuzz_config"
#include "fuzz_check.h"

namespace {

using namespace dorvane;

void check_graphs(const ImageSpec *image, const GraphSpec *list)
{
    for (const GraphSpec *g = list; g != nullptr; g = g->next) {
        FUZZ_CHECK(g->unit >= 0 && g->unit <= 65535);
        FUZZ_CHECK(g->legend != nullptr && g->axis_label != nullptr);
        FUZZ_CHECK(g->color >= 0 && g->color <= 0xffffff);
        FUZZ_CHECK(g->filled == 0 || g->filled == 1);
        FUZZ_CHECK(g->bps == 0 || g->bps == 1);
        FUZZ_CHECK(g->type == GraphType::minimum || g->type == GraphType::average ||
                   g->type == GraphType::maximum);
        FUZZ_CHECK(g->values != nullptr);
        // Touch every value as retrieval and rendering will: the array must
        // be as long as the image's plot width.
        for (int i = 0; i < image->plot_width; i++) {
            FUZZ_CHECK(g->values[i] == 0.0);
            g->values[i] = i;
        }
        FUZZ_CHECK(g->maximum == 0.0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    collect_reset();
    verbosity = 0;
    Pool *pool = pool_create(1024);

    // fmemopen refuses an empty buffer; an empty file reads the same.
    FILE *f = size == 0 ? fopen("/dev/null", "rb")
                        : fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (f == nullptr)
        abort();
    ImageSpec *images = nullptr;
    const ConfigResult result = parse_config_stream(pool, f, "fuzz.conf", &images);
    fclose(f);
    FUZZ_CHECK(result == ConfigResult::read || result == ConfigResult::errors);

    for (unsigned i = 0; i < collect_table.count; i++) {
        const CollectEntry &row = collect_table.rows[i];
        FUZZ_CHECK(row.unit >= 0 && row.unit <= 65535);
        FUZZ_CHECK(row.query != nullptr);
        FUZZ_CHECK(row.tdiff == 0 || row.tdiff == 1);
        FUZZ_CHECK(row.vdiff == 0 || row.vdiff == 1);
        FUZZ_CHECK(strlen(row.query) <= size);
        for (unsigned j = 0; j < i; j++)
            FUZZ_CHECK(collect_table.rows[j].unit != row.unit);
    }
    FUZZ_CHECK(collect_table.count <= MAX_COLLECTS);
    FUZZ_CHECK(collect_timeout >= 1 && collect_timeout <= MAX_TIMEOUT);

    for (const ImageSpec *image = images; image != nullptr; image = image->next) {
        FUZZ_CHECK(image->file != nullptr);
        FUZZ_CHECK(image->left != nullptr || image->right != nullptr);
        FUZZ_CHECK(image->theme == Theme::white || image->theme == Theme::black);
        FUZZ_CHECK(image->width >= MIN_IMAGE_WIDTH && image->width <= MAX_IMAGE_SIZE);
        FUZZ_CHECK(image->height >= MIN_IMAGE_HEIGHT && image->height <= MAX_IMAGE_SIZE);
        FUZZ_CHECK(image->plot_width >= 1 && image->plot_height >= 13);
        check_graphs(image, image->left);
        check_graphs(image, image->right);
    }

    pool_destroy(pool);
    collect_reset();
    return 0;
}
