// list: one line per unit of the store, in one walk over it; with a
// configuration, what collects and draws each unit, and the configured
// units that have no records.
#include <sys/stat.h>

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

// What the walk has seen of the unit it is in.
struct UnitSeen {
    bool any;
    uint16_t unit;
    uint32_t *counts; // records per level, levels [0, levels)
    uint32_t levels;
    uint32_t room;
    bool have_raw;
    uint32_t first;  // level 0
    uint32_t newest; // level 0
    double value;    // of the newest level-0 record
    bool have_last;
    LastRecord last;
};

struct Listing {
    const char *op;
    UnitSeen seen;
    uint64_t records;
    uint64_t invalid;
    uint32_t units;
    bool failed; // out of memory for the counts
    // With a configuration: its images, and which units it names.
    bool configured;
    const ImageSpec *images;
    const bool *named;   // 65536 entries
    uint32_t next_named; // the next configured unit not yet listed
};

const CollectEntry *collect_of(uint16_t unit)
{
    for (unsigned i = 0; i < collect_table.count; i++)
        if (collect_table.rows[i].unit == unit)
            return &collect_table.rows[i];
    return nullptr;
}

bool draws(const GraphSpec *g, uint16_t unit)
{
    for (; g != nullptr; g = g->next)
        if (g->unit == unit)
            return true;
    return false;
}

// ", images a.png b.png, collect "command" tdiff" for a configured listing.
void print_configuration(const Listing &l, uint16_t unit)
{
    bool drawn = false;
    // The image list is newest first: list them as the files give them.
    const ImageSpec *order[4096];
    unsigned n = 0;
    for (const ImageSpec *i = l.images; i != nullptr && n < 4096; i = i->next)
        if (draws(i->left, unit) || draws(i->right, unit))
            order[n++] = i;
    for (unsigned k = n; k-- > 0;) {
        out_text(drawn ? " " : ", images ");
        out_text(order[k]->file);
        drawn = true;
    }
    if (!drawn)
        out_text(", no image");
    const CollectEntry *c = collect_of(unit);
    if (c == nullptr) {
        out_text(", not collected");
        return;
    }
    out_text(", collect \"");
    out_text(c->query);
    out_char('"');
    if (c->tdiff != 0)
        out_text(" tdiff");
    if (c->vdiff != 0)
        out_text(" vdiff");
}

// Configured units below limit that the store has no record of.
void print_named_before(Listing *l, uint32_t limit)
{
    if (!l->configured)
        return;
    for (; l->next_named < limit; l->next_named++) {
        if (!l->named[l->next_named])
            continue;
        out_text("unit ");
        out_u64(l->next_named);
        out_text(": no records");
        print_configuration(*l, static_cast<uint16_t>(l->next_named));
        out_char('\n');
    }
}

void print_unit(Listing *l)
{
    const UnitSeen &u = l->seen;
    if (!u.any)
        return;
    print_named_before(l, u.unit);
    if (l->configured && l->next_named == u.unit)
        l->next_named++;
    l->units++;
    char when[32];
    out_text("unit ");
    out_u64(u.unit);
    out_text(": records by level");
    if (u.levels == 0)
        out_text(" none");
    for (uint32_t i = 0; i < u.levels; i++) {
        out_char(' ');
        out_u64(u.counts[i]);
    }
    if (u.have_raw) {
        iso_time(u.first, when);
        out_text(", first ");
        out_text(when);
        iso_time(u.newest, when);
        out_text(", newest ");
        out_text(when);
        out_text(", newest value ");
        out_double(u.value);
    } else {
        out_text(", first none, newest none, newest value none");
    }
    if (u.have_last) {
        out_text(", last value ");
        out_double(u.last.val);
        out_text(" at ");
        iso_time(u.last.ts, when);
        out_text(when);
    } else {
        out_text(", last value none");
    }
    if (l->configured)
        print_configuration(*l, u.unit);
    out_char('\n');
}

bool count_level(UnitSeen *u, uint16_t level)
{
    if (level >= u->levels) {
        if (level >= u->room) {
            uint32_t room = u->room == 0 ? 16 : u->room;
            while (room <= level)
                room *= 2;
            auto *grown = static_cast<uint32_t *>(realloc(u->counts, room * sizeof(uint32_t)));
            if (grown == nullptr)
                return false;
            u->counts = grown;
            u->room = room;
        }
        memset(u->counts + u->levels, 0, (level + 1 - u->levels) * sizeof(uint32_t));
        u->levels = level + 1u;
    }
    u->counts[level]++;
    return true;
}

Visit list_record(const WalkRecord &r, void *context)
{
    auto *l = static_cast<Listing *>(context);
    if (r.key_size != KEY_SIZE) {
        tool_invalid_record(l->op, r);
        l->invalid++;
        return Visit::next;
    }
    UnitSeen &u = l->seen;
    if (!u.any || u.unit != r.key.unit) {
        print_unit(l);
        uint32_t *counts = u.counts;
        uint32_t room = u.room;
        u = UnitSeen{};
        u.counts = counts;
        u.room = room;
        u.any = true;
        u.unit = r.key.unit;
    }
    if (r.kind == RecordKind::invalid) {
        tool_invalid_record(l->op, r);
        l->invalid++;
        return Visit::next;
    }
    l->records++;
    if (r.kind == RecordKind::last) {
        u.have_last = true;
        u.last = r.last;
        return Visit::next;
    }
    if (!count_level(&u, r.key.level)) {
        tool_out_of_memory(l->op);
        l->failed = true;
        return Visit::failed;
    }
    if (r.key.level == 0) {
        if (!u.have_raw)
            u.first = r.key.ts;
        u.have_raw = true;
        u.newest = r.key.ts;
        u.value = r.sample.avg;
    }
    // A reader that went away ends the walk; the end reports it.
    return tool_out.error != 0 ? Visit::stop : Visit::next;
}

// Reads the configuration of -c or -C as dorvane reads it (nothing runs)
// into l: its images and the units it names. 1 after a reported failure.
int read_configured(Pool *pool, const ToolSettings *s, Listing *l)
{
    static bool named[65536];
    RunSettings rs{};
    rs.config_file = s->config_file;
    rs.config_dir = s->config_dir;
    ImageSpec *images = nullptr;
    if (run_read_configuration(pool, &rs, &images) != 0)
        return 1;
    memset(named, 0, sizeof named);
    for (unsigned i = 0; i < collect_table.count; i++)
        named[collect_table.rows[i].unit & 0xffff] = true;
    for (const ImageSpec *i = images; i != nullptr; i = i->next) {
        for (const GraphSpec *g = i->left; g != nullptr; g = g->next)
            named[g->unit & 0xffff] = true;
        for (const GraphSpec *g = i->right; g != nullptr; g = g->next)
            named[g->unit & 0xffff] = true;
    }
    l->configured = true;
    l->images = images;
    l->named = named;
    return 0;
}

// "total: <N> records, <N> units, <N> bytes[, <N> invalid records]\n".
void print_total(const Listing &l, const char *store)
{
    struct stat st;
    long long bytes = stat(store, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    out_text("total: ");
    out_u64(l.records);
    out_text(" records, ");
    out_u64(l.units);
    out_text(" units, ");
    out_u64(static_cast<uint64_t>(bytes));
    out_text(" bytes");
    if (l.invalid != 0) {
        out_text(", ");
        out_u64(l.invalid);
        out_text(" invalid records");
    }
    out_char('\n');
}

} // namespace

int storetool_list(Pool *pool, const ToolSettings *s)
{
    Listing l{};
    l.op = s->op;
    if ((s->config_file != nullptr || s->config_dir != nullptr) &&
        read_configured(pool, s, &l) != 0)
        return 1;
    if (tool_open_read(s->op, s->store) != 0)
        return 1;
    watchdog_arm(s->op, watchdog_walk_seconds(s->store), false);
    int status = data_walk(s->op, nullptr, list_record, &l);
    watchdog_disarm();
    print_unit(&l);
    // After a failed walk, units not reached are not known to be absent.
    if (status == 0)
        print_named_before(&l, 65536);
    free(l.seen.counts);
    if (tool_close() != 0)
        status = 1;
    print_total(l, s->store);
    if (l.invalid != 0)
        status = 1;
    if (out_finish(s->op) != 0)
        status = 1;
    return status;
}

} // namespace dorvane
