// Arbitrary argument vectors through the option reader: the input is split
// at its NUL bytes into argv, the first word being the program name. No
// phase runs; a run that is accepted has its quick configuration read the
// way the run reads it, and that must yield the quick image with the asked
// unit and nothing else. A -g writes the fixed quick configuration file, as
// the program does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/config.h"
#include "pool/pool.h"
#include "render/render.h"
#include "run/run.h"

#define FUZZ_NAME "fuzz_options"
#include "fuzz_check.h"

namespace {

using namespace dorvane;

// The unit of the last -g, read back from the quick configuration text:
// its graph line comes last, after the timeframe, which may hold anything.
int quick_unit(const char *text)
{
    const char *marker = "\t\tgraph ";
    const char *g = nullptr;
    for (const char *p = strstr(text, marker); p != nullptr; p = strstr(p + 1, marker))
        g = p;
    FUZZ_CHECK(g != nullptr);
    return atoi(g + strlen(marker));
}

void check_run(Pool *pool, const RunSettings &s)
{
    FUZZ_CHECK(s.program != nullptr && s.config_file != nullptr && s.store != nullptr);
    FUZZ_CHECK(s.draw || s.query || s.truncate || s.quick || s.copy_target != nullptr);
    FUZZ_CHECK(s.days_consolidated > 0);
    if (s.truncate)
        FUZZ_CHECK(s.days_raw > 0);
    if (!s.quick)
        return;
    FUZZ_CHECK(s.quick_config != nullptr);
    int unit = quick_unit(s.quick_config);
    FUZZ_CHECK(unit > 0 && unit <= 65535);

    // Read the configuration as the run does, but from an empty file rather
    // than whatever -c or -C name on this machine.
    RunSettings local = s;
    local.config_dir = nullptr;
    local.config_file = "/dev/null";
    ImageSpec *images = nullptr;
    if (run_read_configuration(pool, &local, &images) != 0)
        return; // a timeframe that is no valid clause: reported, run ends
    // The timeframe is one line inside the quick image: accepted, it can
    // neither add statements nor lose the graph.
    FUZZ_CHECK(collect_table.count == 0);
    FUZZ_CHECK(images != nullptr && images->next == nullptr);
    FUZZ_CHECK(strcmp(images->file, QUICK_IMAGE_FILE) == 0);
    FUZZ_CHECK(images->left != nullptr && images->left->next == nullptr);
    FUZZ_CHECK(images->right == nullptr);
    FUZZ_CHECK(images->left->unit == unit);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Words at the NUL bytes, each its own heap copy so that ASan sees
    // every read past a word's end.
    std::vector<char *> argv;
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i == size || data[i] == 0) {
            if (i == size && start == size && !argv.empty())
                break; // a trailing NUL ends the last word, adds none
            auto *word = static_cast<char *>(malloc(i - start + 1));
            memcpy(word, data + start, i - start);
            word[i - start] = '\0';
            argv.push_back(word);
            start = i + 1;
        }
    }
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    verbosity = 0;
    collect_reset();
    Pool *pool = pool_create(1024);
    RunSettings settings;
    if (run_read_options(pool, argc, argv.data(), &settings) == OptionsResult::run)
        check_run(pool, settings);
    FUZZ_CHECK(verbosity >= 0);
    pool_destroy(pool);
    collect_reset();
    verbosity = 0;

    for (char *word : argv)
        free(word);
    return 0;
}
