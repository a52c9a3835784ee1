// A time clause read on its own, by the grammar that reads it in an image
// block: programs other than the configuration reader take time ranges in
// the configuration's own words.
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "config/config.h"

namespace dorvane {

bool config_timeframe_safe(const char *text)
{
    return strpbrk(text, "\n{}\"'#\\") == nullptr;
}

ConfigResult config_time_range(Pool *pool, const char *clause, const char *name, uint32_t *from,
                               uint32_t *to)
{
    if (!config_timeframe_safe(clause)) {
        message("%s: invalid character in time range", name);
        return ConfigResult::errors;
    }
    // The clause stands where an image's time range stands. The block then
    // gives its other clauses itself, in their fixed order, so that a theme,
    // a size or a graph in the clause is a syntax error, not a setting.
    char *text = buffer_printf(pool,
                               "image \"\" { %s theme white width %d height %d "
                               "left graph 0 \"\" \"\" color 0 0 0 }\n",
                               clause, MIN_IMAGE_WIDTH, MIN_IMAGE_HEIGHT);
    FILE *stream = fmemopen(text, strlen(text), "rb");
    if (stream == nullptr) {
        message_errno("fmemopen() failed");
        return ConfigResult::errors;
    }
    ImageSpec *images = nullptr;
    const ConfigResult result = parse_config_stream(pool, stream, name, &images);
    fclose(stream);
    if (result != ConfigResult::read || images == nullptr)
        return ConfigResult::errors;
    *from = images->from;
    *to = images->to;
    return ConfigResult::read;
}

} // namespace dorvane
