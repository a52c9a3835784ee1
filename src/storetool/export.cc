// export: the records of some units over a time range, time-ordered, or the
// values that an image of a given width would draw of them, as CSV, JSON or
// OpenMetrics text.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "config/config.h"
#include "run/run.h"
#include "store/store.h"
#include "storetool/storetool.h"

namespace dorvane {
namespace {

// Records read from the store per unit and walk: the merge of several
// units holds this many of each in memory, whatever the range.
constexpr uint32_t CHUNK = 4096;

// The kind's name in the output.
const char *kind_name(GraphType kind)
{
    for (const ValueKind &k : VALUE_KINDS)
        if (k.type == kind)
            return k.name;
    return "max";
}

struct Range {
    uint16_t level;
    uint32_t beg; // both included
    uint32_t end;
};

struct Sample {
    uint32_t ts;
    SampleRecord v;
};

// One unit's records of the level in the range, a chunk at a time.
struct Source {
    uint16_t unit;
    Sample *buf; // CHUNK entries
    uint32_t len;
    uint32_t pos;
    uint32_t next; // where the next chunk starts
    bool done;     // nothing follows buf
};

struct Export {
    const char *op;
    Range range;
    bool report;  // name invalid records (once, when a range is read again)
    bool invalid; // an invalid record was met
};

struct Fill {
    Export *x;
    Source *src;
};

Visit fill_record(const WalkRecord &r, void *context)
{
    auto *f = static_cast<Fill *>(context);
    Source &s = *f->src;
    const Range &q = f->x->range;
    if (r.key_size == KEY_SIZE &&
        (r.key.unit != s.unit || r.key.level != q.level || r.key.ts > q.end)) {
        s.done = true;
        return Visit::stop;
    }
    if (r.kind != RecordKind::sample) {
        // The range lies below LAST_LEVEL: every record in it is a sample.
        if (f->x->report)
            tool_invalid_record(f->x->op, r);
        f->x->invalid = true;
        return Visit::next;
    }
    s.buf[s.len++] = Sample{r.key.ts, r.sample};
    return s.len == CHUNK ? Visit::stop : Visit::next;
}

// The source's next chunk; 1 after a reported failure.
int refill(Export *x, Source *s)
{
    s->len = 0;
    s->pos = 0;
    if (s->done)
        return 0;
    SampleKey from{s->unit, x->range.level, s->next};
    Fill f{x, s};
    if (data_walk(x->op, &from, fill_record, &f) != 0)
        return 1;
    if (s->len < CHUNK) {
        s->done = true;
    } else {
        uint32_t last = s->buf[s->len - 1].ts;
        s->done = last >= x->range.end;
        s->next = last + 1;
    }
    return 0;
}

int start(Export *x, Source *s, uint16_t unit, Sample *buf)
{
    *s = Source{unit, buf, 0, 0, x->range.beg, false};
    return refill(x, s);
}

// --- Formats -----------------------------------------------------------------

// A value as the format spells it: JSON has no spelling for the values
// without digits, OpenMetrics its own.
void put_value(Format f, double v)
{
    if (std::isfinite(v)) {
        out_double(v);
        return;
    }
    if (f == Format::json)
        out_text("null");
    else if (f == Format::csv)
        out_double(v);
    else
        out_text(std::isnan(v) ? "NaN" : v > 0 ? "+Inf" : "-Inf");
}

void put_family(const char *family)
{
    out_text("# TYPE dorvane_");
    out_text(family);
    out_text(" gauge\n");
}

void put_labels(const char *family, uint16_t unit, uint16_t level)
{
    out_text("dorvane_");
    out_text(family);
    out_text("{unit=\"");
    out_u64(unit);
    if (level != 0) {
        out_text("\",level=\"");
        out_u64(level);
    }
    out_text("\"} ");
}

// CSV rows and JSON objects, field by field; CSV's header names the same
// fields.
void put_header(Format f, const char *const *names, int n)
{
    if (f != Format::csv) {
        out_char('[');
        return;
    }
    for (int i = 0; i < n; i++) {
        out_text(names[i]);
        out_char(i + 1 < n ? ',' : '\n');
    }
}

void put_field(Format f, const char *name, int index, bool first_row)
{
    if (f == Format::csv) {
        if (index != 0)
            out_char(',');
        return;
    }
    if (index == 0)
        out_text(first_row ? "\n{\"" : ",\n{\"");
    else
        out_text(",\"");
    out_text(name);
    out_text("\":");
}

void put_row_end(Format f)
{
    out_char(f == Format::csv ? '\n' : '}');
}

void put_trailer(Format f)
{
    if (f == Format::json)
        out_text("\n]\n");
}

// --- The records themselves --------------------------------------------------

// CSV and JSON: every unit's records merged into one time-ordered list (a
// tie goes to the lower unit).
int export_merged(Export *x, Format f, Source *src, unsigned n)
{
    static const char *const names[] = {"time", "unit", "level", "min", "avg", "max"};
    put_header(f, names, 6);
    bool first = true;
    for (;;) {
        Source *pick = nullptr;
        for (unsigned i = 0; i < n; i++)
            if (src[i].pos < src[i].len &&
                (pick == nullptr || src[i].buf[src[i].pos].ts < pick->buf[pick->pos].ts))
                pick = &src[i];
        if (pick == nullptr || tool_out.error != 0)
            break;
        const Sample &r = pick->buf[pick->pos];
        const double values[] = {r.v.min, r.v.avg, r.v.max};
        put_field(f, names[0], 0, first);
        out_u64(r.ts);
        put_field(f, names[1], 1, first);
        out_u64(pick->unit);
        put_field(f, names[2], 2, first);
        out_u64(x->range.level);
        for (int i = 0; i < 3; i++) {
            put_field(f, names[3 + i], 3 + i, first);
            put_value(f, values[i]);
        }
        put_row_end(f);
        first = false;
        if (++pick->pos == pick->len && refill(x, pick) != 0)
            return 1;
    }
    put_trailer(f);
    return 0;
}

// OpenMetrics: each family's samples together, each unit's together within
// it, as a backfill reads them.
int export_families(Export *x, Source *src, const uint16_t *units, unsigned n)
{
    for (const ValueKind &k : VALUE_KINDS) {
        const GraphType kind = k.type;
        put_family(k.name);
        for (unsigned i = 0; i < n && tool_out.error == 0; i++) {
            Source &s = src[0];
            if (start(x, &s, units[i], s.buf) != 0)
                return 1;
            while (s.pos < s.len && tool_out.error == 0) {
                const Sample &r = s.buf[s.pos];
                put_labels(k.name, s.unit, x->range.level);
                put_value(Format::openmetrics, kind == GraphType::minimum   ? r.v.min
                                               : kind == GraphType::average ? r.v.avg
                                                                            : r.v.max);
                out_char(' ');
                out_u64(r.ts);
                out_char('\n');
                if (++s.pos == s.len && refill(x, &s) != 0)
                    return 1;
            }
        }
        // The walks that follow read the same records again.
        x->report = false;
    }
    out_text("# EOF\n");
    return 0;
}

int export_records(Export *x, const ToolSettings *s)
{
    unsigned n = s->format == Format::openmetrics ? 1 : s->unit_count;
    auto *src = static_cast<Source *>(calloc(n, sizeof(Source)));
    auto *bufs = static_cast<Sample *>(malloc(static_cast<size_t>(n) * CHUNK * sizeof(Sample)));
    int status = 1;
    if (src == nullptr || bufs == nullptr) {
        tool_out_of_memory(x->op);
    } else if (s->format == Format::openmetrics) {
        src[0].buf = bufs;
        status = export_families(x, src, s->units, s->unit_count);
    } else {
        status = 0;
        for (unsigned i = 0; i < n && status == 0; i++)
            status = start(x, &src[i], s->units[i], bufs + static_cast<size_t>(i) * CHUNK);
        if (status == 0)
            status = export_merged(x, s->format, src, n);
    }
    free(bufs);
    free(src);
    return status;
}

// --- The values of an image --------------------------------------------------

// Start of column b of the range, in whole seconds.
uint32_t column_time(uint32_t beg, uint32_t end, uint32_t width, uint32_t b)
{
    return beg + static_cast<uint32_t>(static_cast<uint64_t>(end - beg) * b / width);
}

int export_columns(const char *op, const ToolSettings *s, uint32_t beg, uint32_t end)
{
    const uint32_t w = s->width;
    const unsigned n = s->unit_count;
    auto *values = static_cast<double *>(malloc(static_cast<size_t>(n) * w * sizeof(double)));
    if (values == nullptr) {
        tool_out_of_memory(op);
        return 1;
    }
    for (unsigned i = 0; i < n; i++) {
        // The call that fills a graph of that width when dorvane draws it.
        watchdog_arm(op, watchdog_seconds, false);
        int r = data_get_values(s->units[i], beg, end, s->type, w,
                                values + static_cast<size_t>(i) * w, 0);
        watchdog_disarm();
        if (r != 0) {
            message("%s: unit %u: the values could not be read", op, s->units[i]);
            free(values);
            return 1;
        }
    }
    const char *kind = kind_name(s->type);
    if (s->format == Format::openmetrics) {
        put_family(kind);
        for (unsigned i = 0; i < n; i++) {
            for (uint32_t b = 0; b < w; b++) {
                put_labels(kind, s->units[i], 0);
                put_value(s->format, values[static_cast<size_t>(i) * w + b]);
                out_char(' ');
                out_u64(column_time(beg, end, w, b));
                out_char('\n');
            }
        }
        out_text("# EOF\n");
    } else {
        const char *const names[] = {"column", "time", "unit", kind};
        put_header(s->format, names, 4);
        for (uint32_t b = 0; b < w; b++) {
            for (unsigned i = 0; i < n; i++) {
                const bool first = b == 0 && i == 0;
                put_field(s->format, names[0], 0, first);
                out_u64(b);
                put_field(s->format, names[1], 1, first);
                out_u64(column_time(beg, end, w, b));
                put_field(s->format, names[2], 2, first);
                out_u64(s->units[i]);
                put_field(s->format, names[3], 3, first);
                put_value(s->format, values[static_cast<size_t>(i) * w + b]);
                put_row_end(s->format);
            }
        }
        put_trailer(s->format);
    }
    free(values);
    return 0;
}

// Whether the store holds a sample record of unit (at any level).
struct UnitProbe {
    uint16_t unit;
    bool found;
};

Visit probe_unit(const WalkRecord &r, void *context)
{
    auto *p = static_cast<UnitProbe *>(context);
    if (r.key_size != KEY_SIZE)
        return Visit::next;
    p->found = r.key.unit == p->unit && r.key.level != LAST_LEVEL;
    return Visit::stop;
}

} // namespace

int storetool_export(Pool *pool, const ToolSettings *s)
{
    const char *op = s->op;
    // The time range first: a mistyped one must not wait for the lock.
    uint32_t beg = 0, end = UINT32_MAX;
    if (s->clause != nullptr || s->width != 0) {
        const char *name = buffer_printf(pool, "%s: time range", op);
        if (config_time_range(pool, s->clause != nullptr ? s->clause : "", name, &beg, &end) !=
            ConfigResult::read)
            return 1;
    }
    if (beg > end || (s->width != 0 && beg == end)) {
        char from[32], to[32];
        iso_time(beg, from);
        iso_time(end, to);
        message("%s: time range from %s to %s holds no time", op, from, to);
        return 1;
    }
    if (tool_open_read(op, s->store) != 0)
        return 1;
    int status = 0;
    for (unsigned i = 0; i < s->unit_count && status == 0; i++) {
        UnitProbe p{s->units[i], false};
        SampleKey from{s->units[i], 0, 0};
        status = data_walk(op, &from, probe_unit, &p);
        if (status == 0 && !p.found) {
            message("%s: unit %u: not in the store", op, s->units[i]);
            status = 1;
        }
    }
    if (status == 0) {
        if (s->width != 0) {
            status = export_columns(op, s, beg, end);
        } else {
            Export x{op, Range{static_cast<uint16_t>(s->level), beg, end}, true, false};
            const unsigned passes = s->format == Format::openmetrics ? 3 : 1;
            watchdog_arm(op, watchdog_walk_seconds(s->store) * passes, false);
            status = export_records(&x, s);
            watchdog_disarm();
            if (x.invalid)
                status = 1;
        }
    }
    if (tool_close() != 0)
        status = 1;
    if (out_finish(op) != 0)
        status = 1;
    return status;
}

} // namespace dorvane
