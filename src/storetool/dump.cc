// dump and restore: the store as text that any host reads back to the same
// records, whatever its byte order.
//
// The text, one record a line, in key order:
//
//   dorvane-store dump 1
//   sample UNIT LEVEL TIME MIN AVG MAX
//   last UNIT 65535 TIME SINCE TS VALUE
//   end RECORDS
//
// Numbers are decimal; doubles are C's %a (hexadecimal, exact), "inf" or
// "-inf", and a NaN "nan(0x...)" with its 64 bits, so that every value
// comes back bit for bit. Lines that begin with '#' and empty lines are
// comments. The end line counts the records, so that a dump cut short is
// refused rather than restored in part.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "run/run.h"
#include "store/store.h"
#include "storetool/storetool.h"

namespace dorvane {
namespace {

constexpr const char *DUMP_HEADER = "dorvane-store dump 1";

// Records put between two syncs of a restore: each sync is a commit.
constexpr uint32_t RESTORE_BATCH = 65536;

// A double as the dump writes it, into b (at least 40 bytes).
void format_double(double v, char *b, size_t size)
{
    if (std::isnan(v)) {
        uint64_t bits;
        memcpy(&bits, &v, sizeof bits);
        snprintf(b, size, "nan(0x%016" PRIx64 ")", bits);
    } else {
        snprintf(b, size, "%a", v);
    }
}

struct Dumping {
    const char *op;
    uint64_t records;
    bool invalid;
};

Visit dump_record(const WalkRecord &r, void *context)
{
    auto *d = static_cast<Dumping *>(context);
    if (r.kind == RecordKind::invalid) {
        tool_invalid_record(d->op, r);
        d->invalid = true;
        return Visit::next;
    }
    char a[40], b[40], c[40];
    char line[200];
    int n;
    if (r.kind == RecordKind::sample) {
        format_double(r.sample.min, a, sizeof a);
        format_double(r.sample.avg, b, sizeof b);
        format_double(r.sample.max, c, sizeof c);
        n = snprintf(line, sizeof line, "sample %u %u %u %s %s %s\n", r.key.unit, r.key.level,
                     r.key.ts, a, b, c);
    } else {
        format_double(r.last.val, a, sizeof a);
        n = snprintf(line, sizeof line, "last %u %u %u %u %u %s\n", r.key.unit, r.key.level,
                     r.key.ts, r.last.since, r.last.ts, a);
    }
    out_bytes(line, static_cast<size_t>(n));
    d->records++;
    return tool_out.error != 0 ? Visit::stop : Visit::next;
}

// --- Reading a dump ------------------------------------------------------------

struct Records {
    WalkRecord *list;
    size_t count;
    size_t room;
};

struct Reader {
    const char *name; // for messages
    unsigned line;
};

// "restore: <file>:<line>: <message>"; always false.
bool bad_line(const Reader &rd, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool bad_line(const Reader &rd, const char *format, ...)
{
    fprintf(stderr, "restore: %s:%u: ", rd.name, rd.line);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fputc('\n', stderr);
    return false;
}

bool read_u32(const char *text, uint32_t max, uint32_t *out)
{
    if (text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char *end;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool hex_digit(char c, unsigned *out)
{
    if (c >= '0' && c <= '9')
        *out = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
        *out = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        *out = static_cast<unsigned>(c - 'A' + 10);
    else
        return false;
    return true;
}

bool read_double(const char *text, double *out)
{
    if (strncmp(text, "nan(0x", 6) == 0) {
        // The NaN's own bits: strtod would keep only what it chose to.
        const char *p = text + 6;
        uint64_t bits = 0;
        unsigned digit;
        int n = 0;
        for (; n < 16 && hex_digit(p[n], &digit); n++)
            bits = bits << 4 | digit;
        if (n != 16 || strcmp(p + 16, ")") != 0)
            return false;
        memcpy(out, &bits, sizeof bits);
        return std::isnan(*out);
    }
    if (text[0] == '\0' || strncmp(text, "nan", 3) == 0 || strncmp(text, "-nan", 4) == 0)
        return false;
    errno = 0;
    char *end;
    double v = strtod(text, &end);
    // A value too large for a double or too small to keep is not the value
    // that was written.
    if (*end != '\0' || errno == ERANGE)
        return false;
    *out = v;
    return true;
}

bool key_before(const SampleKey &a, const SampleKey &b)
{
    if (a.unit != b.unit)
        return a.unit < b.unit;
    if (a.level != b.level)
        return a.level < b.level;
    return a.ts < b.ts;
}

// One record line, split into its words, into *r; false after a message.
bool read_record(const Reader &rd, char **w, int words, WalkRecord *r)
{
    const bool sample = strcmp(w[0], "sample") == 0;
    if (!sample && strcmp(w[0], "last") != 0)
        return bad_line(rd, "unknown line: %s", w[0]);
    if (words != 7)
        return bad_line(rd, "%d words, not 7", words);
    uint32_t unit, level, ts;
    if (!read_u32(w[1], 65535, &unit))
        return bad_line(rd, "invalid unit: %s", w[1]);
    if (!read_u32(w[2], LAST_LEVEL, &level))
        return bad_line(rd, "invalid level: %s", w[2]);
    if (!read_u32(w[3], UINT32_MAX, &ts))
        return bad_line(rd, "invalid time: %s", w[3]);
    *r = WalkRecord{};
    r->key = SampleKey{static_cast<uint16_t>(unit), static_cast<uint16_t>(level), ts};
    r->key_size = KEY_SIZE;
    if (sample) {
        if (level == LAST_LEVEL)
            return bad_line(rd, "a sample at level %u", LAST_LEVEL);
        const char *names[] = {"minimum", "average", "maximum"};
        double *fields[] = {&r->sample.min, &r->sample.avg, &r->sample.max};
        for (int i = 0; i < 3; i++)
            if (!read_double(w[4 + i], fields[i]))
                return bad_line(rd, "invalid %s: %s", names[i], w[4 + i]);
        r->kind = RecordKind::sample;
        r->value_size = sizeof(SampleRecord);
        return true;
    }
    if (level != LAST_LEVEL)
        return bad_line(rd, "a last value at level %u, not %u", level, LAST_LEVEL);
    if (!read_u32(w[4], UINT32_MAX, &r->last.since))
        return bad_line(rd, "invalid since: %s", w[4]);
    if (!read_u32(w[5], UINT32_MAX, &r->last.ts))
        return bad_line(rd, "invalid time of the last value: %s", w[5]);
    if (!read_double(w[6], &r->last.val))
        return bad_line(rd, "invalid value: %s", w[6]);
    r->kind = RecordKind::last;
    r->value_size = sizeof(LastRecord);
    return true;
}

bool keep(Records *all, const WalkRecord &r)
{
    if (all->count == all->room) {
        size_t room = all->room == 0 ? 4096 : all->room * 2;
        auto *grown = static_cast<WalkRecord *>(realloc(all->list, room * sizeof(WalkRecord)));
        if (grown == nullptr)
            return false;
        all->list = grown;
        all->room = room;
    }
    all->list[all->count++] = r;
    return true;
}

// A line after the first, its line end cut off, into *all; false after a
// message. len is the line's length as read, which a NUL byte makes longer
// than its text; *ended says that the end line was read.
bool read_line(const Reader &rd, char *text, size_t len, bool *ended, Records *all)
{
    if (text[0] == '#' || text[0] == '\0')
        return true;
    if (*ended)
        return bad_line(rd, "a line after the end line");
    if (strlen(text) != len)
        return bad_line(rd, "a NUL byte in the line");
    char *w[8];
    int words = 0;
    for (char *save = nullptr, *t = strtok_r(text, " \t", &save); t != nullptr;
         t = strtok_r(nullptr, " \t", &save))
        if (words++ < 8)
            w[words - 1] = t;
    if (words == 0)
        return true;
    if (strcmp(w[0], "end") == 0) {
        *ended = true;
        uint32_t n;
        if (words != 2 || !read_u32(w[1], UINT32_MAX, &n))
            return bad_line(rd, "invalid end line");
        if (n != all->count)
            return bad_line(rd, "the end line counts %u records, the dump holds %zu", n,
                            all->count);
        return true;
    }
    WalkRecord r{};
    if (!read_record(rd, w, words, &r))
        return false;
    if (all->count > 0 && !key_before(all->list[all->count - 1].key, r.key)) {
        const SampleKey &k = all->list[all->count - 1].key;
        return bad_line(rd,
                        "unit %u, level %u, time %u does not follow unit %u, level %u, "
                        "time %u: a dump is in key order",
                        r.key.unit, r.key.level, r.key.ts, k.unit, k.level, k.ts);
    }
    if (!keep(all, r)) {
        tool_out_of_memory("restore");
        return false;
    }
    return true;
}

// Reads the whole dump into *all; false after a message. Nothing is
// written before every line is known good.
bool read_dump(FILE *in, const char *name, Records *all)
{
    Reader rd{name, 0};
    char *text = nullptr;
    size_t size = 0;
    bool ended = false, ok = true;
    while (ok) {
        errno = 0;
        ssize_t len = getline(&text, &size, in);
        if (len < 0)
            break;
        rd.line++;
        if (len > 0 && text[len - 1] == '\n')
            text[--len] = '\0';
        if (rd.line > 1)
            ok = read_line(rd, text, static_cast<size_t>(len), &ended, all);
        else if (strcmp(text, DUMP_HEADER) != 0)
            ok = bad_line(rd, "not a dump of dorvane-store: the first line is not \"%s\"",
                          DUMP_HEADER);
    }
    if (ok && ferror(in)) {
        message("restore: %s: %s", name, strerror(errno != 0 ? errno : EIO));
        ok = false;
    }
    free(text);
    if (!ok)
        return false;
    if (rd.line == 0) {
        rd.line = 1;
        return bad_line(rd, "empty: not a dump of dorvane-store");
    }
    if (!ended)
        return bad_line(rd, "no end line: the dump is cut short");
    return true;
}

int write_records(const ToolSettings *s, const Records &all)
{
    const char *op = s->op;
    if (!s->merge) {
        bool any;
        if (tool_holds_records(op, &any) != 0)
            return 1;
        if (any) {
            message("%s: %s: the store holds records; -m merges into them", op, s->store);
            return 1;
        }
    }
    size_t done = 0;
    int status = 0;
    while (done < all.count && status == 0) {
        size_t batch_end = done + RESTORE_BATCH < all.count ? done + RESTORE_BATCH : all.count;
        watchdog_arm(op, watchdog_seconds, false);
        for (; done < batch_end; done++) {
            if (data_put_record(op, all.list[done]) != 0) {
                status = 1;
                break;
            }
        }
        watchdog_disarm();
        if (status == 0)
            status = data_sync(op);
    }
    if (status != 0)
        message("%s: %zu of %zu records written", op, done, all.count);
    return status;
}

} // namespace

int storetool_dump(const ToolSettings *s)
{
    if (tool_open_read(s->op, s->store) != 0)
        return 1;
    out_text(DUMP_HEADER);
    out_text("\n# sample unit level time min avg max\n"
             "# last unit 65535 time since ts value\n");
    Dumping d{s->op, 0, false};
    watchdog_arm(s->op, watchdog_walk_seconds(s->store), false);
    int status = data_walk(s->op, nullptr, dump_record, &d);
    watchdog_disarm();
    if (tool_close() != 0)
        status = 1;
    // A dump that could not be read to its end gets no end line: restore
    // refuses it.
    if (status == 0 && tool_out.error == 0) {
        out_text("end ");
        out_u64(d.records);
        out_char('\n');
    }
    if (d.invalid)
        status = 1;
    if (out_finish(s->op) != 0)
        status = 1;
    return status;
}

int storetool_restore(const ToolSettings *s)
{
    const char *name = s->input != nullptr ? s->input : "stdin";
    FILE *in = s->input != nullptr ? fopen(s->input, "re") : stdin;
    if (in == nullptr) {
        message_errno("%s: %s", s->op, name);
        return 1;
    }
    Records all{};
    bool ok = read_dump(in, name, &all);
    if (in != stdin)
        fclose(in);
    int status = 1;
    if (ok && data_open(s->store) == 0) {
        status = write_records(s, all);
        if (data_close() != 0)
            status = 1;
    }
    free(all.list);
    return status;
}

} // namespace dorvane
