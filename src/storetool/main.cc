// dorvane-store: lists, exports, dumps and restores a dorvane store.
#include "storetool/storetool.h"

int main(int argc, char **argv)
{
    return dorvane::storetool_main(argc, argv);
}
