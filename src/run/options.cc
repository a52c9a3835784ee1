// The command line, the quick configuration and reading the configuration.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "config/config.h"
#include "render/render.h"
#include "run/run.h"

namespace dorvane {
namespace {

void usage(const char *program)
{
    message("usage: %s [-v] [-c config ] [ -C configdir ] [-d data] [ -g number:timeframe ] "
            "[-p] [-q] [-t days[:days]] [-f file]",
            program);
}

// atoi's visible rules (leading blanks, trailing text ignored, no digits
// gives 0) without its undefined overflow: the value is clamped to the int
// range, and false says it did not fit.
bool to_int(const char *text, int *out)
{
    errno = 0;
    long v = strtol(text, nullptr, 10);
    bool fits = errno != ERANGE && v >= INT_MIN && v <= INT_MAX;
    *out = v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : static_cast<int>(v);
    return fits;
}

// -t days[:days]; false: usage.
bool read_days(Pool *pool, const char *arg, RunSettings *s)
{
    char *text = pool_strdup(pool, arg);
    char *colon = strchr(text, ':');
    int raw;
    if (colon != nullptr) {
        *colon = '\0';
        int kept;
        if (!to_int(colon + 1, &kept) || kept <= 0)
            return false;
        s->days_consolidated = kept;
    }
    if (!to_int(text, &raw) || raw <= 0)
        return false;
    s->days_raw = raw;
    s->truncate = 1;
    return true;
}

// A -g argument refused as a whole; false.
bool wrong_query(const char *arg, const RunSettings *s)
{
    message("wrong get query: %s", arg);
    usage(s->program);
    return false;
}

// -g number:timeframe; false: refused, with its messages printed.
bool read_quick(Pool *pool, const char *arg, RunSettings *s)
{
    char *text = pool_strdup(pool, arg);
    char *colon = strchr(text, ':');
    if (colon == nullptr)
        return wrong_query(arg, s);
    *colon = '\0';
    const char *timeframe = colon + 1;
    int number;
    // The store keeps 16 bits of a unit: a wider one would report another.
    if (!to_int(text, &number) || number <= 0 || number > 65535) {
        message("wrong get number: %d", number);
        usage(s->program);
        return false;
    }
    if (!config_timeframe_safe(timeframe))
        return wrong_query(arg, s);
    s->quick_config = buffer_printf(pool,
                                    "image \"%s\" {\n"
                                    "\t%s\n"
                                    "\tleft\n"
                                    "\t\tgraph %d \"x\" \"y\" color 0 0 0\n}\n",
                                    QUICK_IMAGE_FILE, timeframe, number);
    s->quick = 1;
    return true;
}

// Every failure to write or read back the quick configuration; 1.
int quick_config_failed()
{
    message("main: fopen fail");
    return 1;
}

bool is_regular(const struct dirent *entry, const char *path)
{
    if (entry->d_type == DT_REG)
        return true;
    if (entry->d_type != DT_UNKNOWN)
        return false;
    // The listing does not know: ask, without following a link.
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int read_directory(Pool *pool, const char *dir, ImageSpec **images)
{
    DIR *d = opendir(dir);
    if (d == nullptr) {
        // A cron job whose folder went away must not stop collecting unseen.
        message_errno("main: opendir: %s", dir);
        return 1;
    }
    // Whoever may write into the folder may add a file to the run.
    struct stat st;
    if (fstat(dirfd(d), &st) != 0) {
        message_errno("main: fstat: %s", dir);
        closedir(d);
        return 1;
    }
    if (config_check_writers(&st, dir) != 0) {
        closedir(d);
        return 1;
    }
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(d);
        if (entry == nullptr) {
            if (errno != 0) {
                message_errno("main: readdir");
                closedir(d);
                return 1;
            }
            break;
        }
        if (entry->d_name[0] == '.')
            continue;
        char path[8192];
        snprintf(path, sizeof path, "%s/%s", dir, entry->d_name);
        if (!is_regular(entry, path))
            continue;
        if (parse_config(pool, path, images) != ConfigResult::read) {
            closedir(d);
            return 1;
        }
    }
    closedir(d);
    return 0;
}

// One option of getopt's into *s; false: refused, with its messages printed.
bool read_option(Pool *pool, int opt, RunSettings *s)
{
    switch (opt) {
    case 'c':
        s->config_file = pool_strdup(pool, optarg);
        return true;
    case 'C':
        s->config_dir = pool_strdup(pool, optarg);
        return true;
    case 'd':
        s->store = pool_strdup(pool, optarg);
        return true;
    case 'f':
        s->copy_target = pool_strdup(pool, optarg);
        return true;
    case 'p':
        s->draw = 1;
        return true;
    case 'q':
        s->query = 1;
        return true;
    case 'v':
        verbosity++;
        return true;
    case 't':
        if (read_days(pool, optarg, s))
            return true;
        usage(s->program);
        return false;
    case 'g':
        // Written at once, as each -g is read; the run parses the text it
        // built, not what the shared file holds by then.
        return read_quick(pool, optarg, s) &&
               run_write_quick_config(QUICK_CONFIG_PATH, s->quick_config) == 0;
    default:
        usage(s->program);
        return false;
    }
}

} // namespace

int run_write_quick_config(const char *path, const char *text)
{
    // No O_TRUNC: the file is emptied only once it is known to be ours.
    // O_NONBLOCK: a FIFO left under the name would otherwise hold the open
    // until someone reads it; it fails, or fails the checks below.
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return quick_config_failed();
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
              st.st_nlink == 1 && ftruncate(fd, 0) == 0 && fchmod(fd, 0600) == 0;
    size_t len = strlen(text);
    for (size_t done = 0; ok && done < len;) {
        ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    if (close(fd) != 0)
        ok = false;
    if (!ok)
        return quick_config_failed();
    return 0;
}

OptionsResult run_read_options(Pool *pool, int argc, char **argv, RunSettings *s)
{
    *s = RunSettings{};
    const char *slash = argc > 0 && argv[0] != nullptr ? strrchr(argv[0], '/') : nullptr;
    s->program =
        pool_strdup(pool, argc > 0 && argv[0] != nullptr ? (slash ? slash + 1 : argv[0]) : "");
    s->config_file = "/usr/local/etc/dorvane/dorvane.conf";
    s->store = "/var/db/dorvane.db";
    s->days_consolidated = 365;

    optind = 0; // full reset, so that a second reading starts afresh
    int opt;
    while ((opt = getopt(argc, argv, "c:C:d:f:g:pqt:v")) != -1)
        if (!read_option(pool, opt, s))
            return OptionsResult::refused;
    if (optind < argc ||
        !(s->draw || s->query || s->truncate || s->quick || s->copy_target != nullptr)) {
        usage(s->program);
        return OptionsResult::refused;
    }
    return OptionsResult::run;
}

int run_read_configuration(Pool *pool, const RunSettings *s, ImageSpec **images)
{
    if (s->config_dir != nullptr) {
        if (read_directory(pool, s->config_dir, images) != 0)
            return 1;
    } else if (parse_config(pool, s->config_file, images) != ConfigResult::read) {
        return 1;
    }
    if (s->quick) {
        const char *text = s->quick_config;
        FILE *f = fmemopen(const_cast<char *>(text), strlen(text), "rb");
        if (f == nullptr)
            return quick_config_failed();
        const ConfigResult result = parse_config_stream(pool, f, QUICK_CONFIG_PATH, images);
        fclose(f);
        if (result != ConfigResult::read)
            return 1;
    }
    return 0;
}

} // namespace dorvane
