// Entry point. Reads the configuration and reports its errors; the phases
// of a run (store, images, maintenance) are not wired in yet.
#include <unistd.h>

#include <cstdio>

#include "config/config.h"
#include "pool/pool.h"
#include "run/run.h"

int main(int argc, char **argv)
{
    using namespace dorvane;
    Pool *pool = pool_create(1024);
    const char *config = "/usr/local/etc/dorvane/dorvane.conf";
    int opt;
    while ((opt = getopt(argc, argv, "c:C:d:f:g:pqt:v")) != -1) {
        if (opt == 'c')
            config = pool_strdup(pool, optarg);
        else if (opt == 'v')
            verbosity++;
        else if (opt == '?' || opt == ':') {
            pool_destroy(pool);
            return 1;
        }
    }
    ImageSpec *images = nullptr;
    int result = parse_config(pool, config, &images);
    if (result == 0)
        fputs("dorvane: configuration read; running its phases is not built yet\n", stderr);
    pool_destroy(pool);
    return 1;
}
