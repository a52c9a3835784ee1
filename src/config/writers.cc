// Who may change a configuration. A run executes the commands that its
// configuration names, as whoever runs it (root, from cron): a file or
// folder that another user could change would let that user run commands
// as root.
#include <sys/stat.h>
#include <unistd.h>

#include "common/common.h"
#include "config/config.h"

namespace dorvane {

int config_check_writers(const struct stat *st, const char *path)
{
    // Writing to a character device (/dev/null, a terminal) does not
    // change what a reader of it gets.
    if (S_ISCHR(st->st_mode))
        return 0;
    if ((st->st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        message("%s: refused: writable by group or others", path);
        return 1;
    }
    if (st->st_uid != 0 && st->st_uid != geteuid()) {
        message("%s: refused: owned by uid %u", path, static_cast<unsigned>(st->st_uid));
        return 1;
    }
    return 0;
}

} // namespace dorvane
