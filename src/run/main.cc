// dorvane: collects numbers from shell commands into a store, consolidates
// them, draws them, reports and maintains the store. One run is one pass
// through the phases that the command line asks for.
#include "config/config.h"
#include "pool/pool.h"
#include "run/run.h"

int main(int argc, char **argv)
{
    using namespace dorvane;
    run_signals_catch();
    Pool *pool = pool_create(1024);
    RunSettings settings;
    ImageSpec *images = nullptr;
    int status = 1;
    if (run_read_options(pool, argc, argv, &settings) == OptionsResult::run &&
        run_read_configuration(pool, &settings, &images) == 0)
        status = run_phases(&settings, images);
    pool_destroy(pool);
    return status;
}
