// dorvane-store's command line, the store's opening for reading, and the
// output buffer that every operation writes through.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/common.h"
#include "store/store.h"
#include "storetool/storetool.h"

namespace dorvane {

ToolOut tool_out;

void out_flush()
{
    if (tool_out.len != 0 && tool_out.error == 0 &&
        fwrite(tool_out.buf, 1, tool_out.len, stdout) != tool_out.len)
        tool_out.error = errno != 0 ? errno : EIO;
    tool_out.len = 0;
}

int out_finish(const char *op)
{
    out_flush();
    if (fflush(stdout) != 0 && tool_out.error == 0)
        tool_out.error = errno != 0 ? errno : EIO;
    if (tool_out.error == 0 && ferror(stdout))
        tool_out.error = EIO;
    if (tool_out.error == 0)
        return 0;
    message("%s: standard output: %s", op, strerror(tool_out.error));
    return 1;
}

void tool_invalid_record(const char *op, const WalkRecord &r)
{
    if (r.key_size != KEY_SIZE)
        message("%s: invalid record: key of %u bytes, not %u", op, r.key_size,
                static_cast<unsigned>(KEY_SIZE));
    else
        message("%s: invalid record: unit %u, level %u, time %u: value of %u bytes, not %u", op,
                r.key.unit, r.key.level, r.key.ts, r.value_size,
                static_cast<unsigned>(r.key.level == LAST_LEVEL ? sizeof(LastRecord)
                                                                : sizeof(SampleRecord)));
}

void iso_time(uint32_t t, char buf[32])
{
    time_t tt = t;
    struct tm tm;
    gmtime_r(&tt, &tm);
    strftime(buf, 32, "%Y-%m-%dT%H:%M:%SZ", &tm);
}

namespace {

Visit note_any(const WalkRecord &, void *context)
{
    *static_cast<bool *>(context) = true;
    return Visit::stop;
}

void report_no_records(const char *op, const char *path)
{
    message("%s: %s: the store holds no records", op, path);
}

} // namespace

void tool_out_of_memory(const char *op)
{
    message("%s: %s", op, strerror(ENOMEM));
}

int tool_holds_records(const char *op, bool *any)
{
    *any = false;
    return data_walk(op, nullptr, note_any, any);
}

int tool_open_read(const char *op, const char *path)
{
    // The store's open creates a missing file and makes a database of an
    // empty one: a reading operation must do neither.
    struct stat st;
    if (stat(path, &st) != 0) {
        message_errno("%s: %s", op, path);
        return 1;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        report_no_records(op, path);
        return 1;
    }
    if (data_open(path, true) != 0)
        return 1;
    bool any;
    if (tool_holds_records(op, &any) != 0) {
        (void)data_close();
        return 1;
    }
    if (!any) {
        report_no_records(op, path);
        (void)data_close();
        return 1;
    }
    return 0;
}

int tool_close()
{
    return data_close();
}

namespace {

struct Verb {
    const char *name;
    const char *options; // getopt's
    const char *usage;   // after the program's name
};

const Verb VERBS[] = {
    {"list", "c:C:d:h", "list [-d store] [-c config | -C configdir]"},
    {"export", "a:d:F:hl:u:w:",
     "export [-d store] -u unit[,unit...] [-F csv|json|openmetrics] "
     "[-l level | -w width [-a min|avg|max]] [time range]"},
    {"dump", "d:h", "dump [-d store]"},
    {"restore", "d:hm", "restore [-d store] [-m] [file]"},
};
constexpr int VERB_COUNT = sizeof VERBS / sizeof VERBS[0];

void usage(FILE *to, const char *program, int verb)
{
    bool first = true;
    for (int v = 0; v < VERB_COUNT; v++) {
        if (verb >= 0 && v != verb)
            continue;
        fprintf(to, "%s %s %s\n", first ? "usage:" : "      ", program, VERBS[v].usage);
        first = false;
    }
}

// A whole unsigned decimal number up to max; false for anything else.
bool read_number(const char *text, unsigned long max, unsigned long *out)
{
    if (text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char *end;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

// -u 1,2,5: every unit once, in ascending order.
bool read_units(Pool *pool, const char *arg, bool chosen[65536])
{
    char *text = pool_strdup(pool, arg);
    for (char *save = nullptr, *word = strtok_r(text, ",", &save); word != nullptr;
         word = strtok_r(nullptr, ",", &save)) {
        unsigned long unit;
        if (!read_number(word, 65535, &unit))
            return false;
        chosen[unit] = true;
    }
    return arg[0] != '\0' && arg[strlen(arg) - 1] != ',' && strstr(arg, ",,") == nullptr &&
           arg[0] != ',';
}

// What the options gave beyond the settings, for the check of the words
// after them.
struct Given {
    bool any_unit, level, type;
};

// -F csv|json|openmetrics into *out; false for another word.
bool read_format(const char *arg, Format *out)
{
    if (strcmp(arg, "csv") == 0)
        *out = Format::csv;
    else if (strcmp(arg, "json") == 0)
        *out = Format::json;
    else if (strcmp(arg, "openmetrics") == 0)
        *out = Format::openmetrics;
    else
        return false;
    return true;
}

// -a min|avg|max into *out; false for another word.
bool read_kind(const char *arg, GraphType *out)
{
    for (const ValueKind &k : VALUE_KINDS) {
        if (strcmp(arg, k.name) == 0) {
            *out = k.type;
            return true;
        }
    }
    return false;
}

// One of the verb's options but -h into *s, its units into chosen; false
// after a message or the usage line.
bool read_option(Pool *pool, int verb, int opt, bool chosen[65536], Given *given, ToolSettings *s)
{
    const char *op = VERBS[verb].name;
    unsigned long n;
    switch (opt) {
    case 'd':
        s->store = optarg;
        return true;
    case 'c':
        s->config_file = optarg;
        return true;
    case 'C':
        s->config_dir = optarg;
        return true;
    case 'm':
        s->merge = true;
        return true;
    case 'u':
        if (!read_units(pool, optarg, chosen)) {
            message("%s: invalid unit list: %s", op, optarg);
            return false;
        }
        given->any_unit = true;
        return true;
    case 'F':
        if (!read_format(optarg, &s->format)) {
            message("%s: unknown format: %s", op, optarg);
            return false;
        }
        return true;
    case 'l':
        if (!read_number(optarg, LAST_LEVEL - 1, &n)) {
            message("%s: invalid level: %s", op, optarg);
            return false;
        }
        s->level = static_cast<int>(n);
        given->level = true;
        return true;
    case 'w':
        if (!read_number(optarg, 1u << 20, &n) || n == 0) {
            message("%s: invalid width: %s", op, optarg);
            return false;
        }
        s->width = static_cast<uint32_t>(n);
        return true;
    case 'a':
        if (!read_kind(optarg, &s->type)) {
            message("%s: unknown value kind: %s", op, optarg);
            return false;
        }
        given->type = true;
        return true;
    default:
        usage(stderr, s->program, verb);
        return false;
    }
}

// The words after the options, from argv[optind] on, into *s; false after
// the usage line.
bool read_operands(Pool *pool, int verb, int argc, char **argv, const Given &given, ToolSettings *s)
{
    const char *op = VERBS[verb].name;
    int rest = argc - optind;
    bool fits = true;
    if (strcmp(op, "export") == 0) {
        // The time range is the rest of the words, as a configuration
        // would write them.
        if (rest > 0) {
            const char *words[256];
            if (rest > 256)
                fits = false;
            else {
                for (int i = 0; i < rest; i++)
                    words[i] = argv[optind + i];
                s->clause = pool_join(pool, words, static_cast<size_t>(rest), ' ');
            }
        }
        fits = fits && given.any_unit && !(given.level && s->width != 0) &&
               !(given.type && s->width == 0);
    } else if (strcmp(op, "restore") == 0) {
        fits = rest <= 1;
        if (rest == 1 && strcmp(argv[optind], "-") != 0)
            s->input = argv[optind];
    } else {
        fits = rest == 0 && !(s->config_file != nullptr && s->config_dir != nullptr);
    }
    if (!fits)
        usage(stderr, s->program, verb);
    return fits;
}

// The verb's options into *s; false after a message or the usage line.
bool read_options(Pool *pool, int verb, int argc, char **argv, ToolSettings *s, bool *help)
{
    static bool chosen[65536];
    memset(chosen, 0, sizeof chosen);
    Given given{};
    optind = 0;
    int opt;
    while ((opt = getopt(argc, argv, VERBS[verb].options)) != -1) {
        if (opt == 'h') {
            *help = true;
            return true;
        }
        if (!read_option(pool, verb, opt, chosen, &given, s))
            return false;
    }
    if (!read_operands(pool, verb, argc, argv, given, s))
        return false;
    if (given.any_unit) {
        s->units = static_cast<uint16_t *>(pool_alloc(pool, 65536 * sizeof(uint16_t)));
        for (unsigned u = 0; u < 65536; u++)
            if (chosen[u])
                s->units[s->unit_count++] = static_cast<uint16_t>(u);
    }
    return true;
}

} // namespace

int storetool_main(int argc, char **argv)
{
    ToolSettings s{};
    const char *slash = argc > 0 && argv[0] != nullptr ? strrchr(argv[0], '/') : nullptr;
    s.program = argc > 0 && argv[0] != nullptr ? (slash ? slash + 1 : argv[0]) : "dorvane-store";
    s.store = "/var/db/dorvane.db";
    s.format = Format::csv;
    s.type = GraphType::average;

    if (argc >= 2 && strcmp(argv[1], "-h") == 0) {
        usage(stdout, s.program, -1);
        return out_finish(s.program);
    }
    int verb = -1;
    for (int v = 0; argc >= 2 && v < VERB_COUNT; v++)
        if (strcmp(argv[1], VERBS[v].name) == 0)
            verb = v;
    if (verb < 0) {
        if (argc >= 2)
            message("%s: unknown operation: %s", s.program, argv[1]);
        usage(stderr, s.program, -1);
        return 1;
    }
    s.op = VERBS[verb].name;

    Pool *pool = pool_create(1024);
    bool help = false;
    int status = 1;
    if (read_options(pool, verb, argc - 1, argv + 1, &s, &help)) {
        if (help) {
            usage(stdout, s.program, verb);
            status = out_finish(s.op);
        } else {
            // A reader of the output that goes away (| head) must not end
            // the process while the store is open.
            signal(SIGPIPE, SIG_IGN);
            switch (verb) {
            case 0:
                status = storetool_list(pool, &s);
                break;
            case 1:
                status = storetool_export(pool, &s);
                break;
            case 2:
                status = storetool_dump(&s);
                break;
            default:
                status = storetool_restore(&s);
                break;
            }
        }
    }
    pool_destroy(pool);
    return status;
}

} // namespace dorvane
