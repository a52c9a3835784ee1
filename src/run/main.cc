// Entry point. Reads the command line and the configuration and reports
// their errors; the phases of a run (store, images, maintenance) are not
// wired in yet.
#include <cstdio>

#include "config/config.h"
#include "pool/pool.h"
#include "run/run.h"

int main(int argc, char **argv)
{
    using namespace dorvane;
    Pool *pool = pool_create(1024);
    RunSettings settings;
    ImageSpec *images = nullptr;
    if (run_read_options(pool, argc, argv, &settings) == OptionsResult::run &&
        run_read_configuration(pool, &settings, &images) == 0)
        fputs("dorvane: configuration read; running its phases is not built yet\n", stderr);
    pool_destroy(pool);
    return 1;
}
