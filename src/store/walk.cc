// Walks over the store in key order, for the work that reads all of it or
// long ranges of it, and the record writes of a restore. A walk reads a
// bulk buffer at a time; where the library cannot make a bulk read, it
// goes on record by record.
#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "store/access.h"

namespace dorvane {

bool walk_goes_on(WalkOrder *w, const StoreRecord &r)
{
    if (!r.key_valid)
        return true;
    unsigned char key[KEY_SIZE];
    key_encode(r.key, key);
    if (w->started && memcmp(key, w->last, KEY_SIZE) <= 0)
        return false;
    memcpy(w->last, key, KEY_SIZE);
    w->started = true;
    return true;
}

Found walk_step(Seek how, WalkOrder *w, StoreRecord *r)
{
    Found f = store_seek(how, nullptr, r);
    if (f == Found::record && !walk_goes_on(w, *r)) {
        errno = EIO;
        return Found::error;
    }
    return f;
}

bool walk_reached_end(const WalkOrder &w, const SampleKey *from)
{
    StoreRecord r;
    if (store_seek(Seek::last, nullptr, &r) != Found::record || !r.key_valid)
        return true;
    unsigned char key[KEY_SIZE];
    key_encode(r.key, key);
    if (w.started)
        return memcmp(key, w.last, KEY_SIZE) <= 0;
    // Nothing met: sound only when the whole store lies before the start.
    if (from == nullptr)
        return false;
    unsigned char start[KEY_SIZE];
    key_encode(*from, start);
    return memcmp(key, start, KEY_SIZE) < 0;
}

namespace {

void decode(const StoreRecord &r, WalkRecord *out)
{
    out->key = r.key_valid ? r.key : SampleKey{};
    out->key_size = r.key_size;
    out->value_size = r.value_size;
    out->kind = RecordKind::invalid;
    if (!r.key_valid)
        return;
    if (r.key.level == LAST_LEVEL) {
        if (record_last(r, &out->last))
            out->kind = RecordKind::last;
    } else if (record_sample(r, &out->sample)) {
        out->kind = RecordKind::sample;
    }
}

// One walk: where it began, how far it got, and whom it reports to.
struct Walk {
    const char *op;
    const SampleKey *from;
    WalkVisitor visit;
    void *context;
    WalkOrder order;
};

enum class Went { on, stopped, failed };

// Hands r to the visitor after checking that its key rises.
Went hand_over(Walk *w, const StoreRecord &r, Seek how)
{
    if (!walk_goes_on(&w->order, r)) {
        errno = EIO;
        report_seek_error(w->op, how);
        return Went::failed;
    }
    WalkRecord rec;
    decode(r, &rec);
    switch (w->visit(rec, w->context)) {
    case Visit::next:
        return Went::on;
    case Visit::stop:
        return Went::stopped;
    case Visit::failed:
        break;
    }
    return Went::failed;
}

int end_of_walk(Walk *w)
{
    if (walk_reached_end(w->order, w->from))
        return 0;
    errno = EIO;
    report_seek_error(w->op, Seek::next);
    return 1;
}

// Record by record from just after the last key handed over (or from the
// walk's start): the library could not make a bulk read there.
int walk_records(Walk *w)
{
    StoreRecord r;
    Seek how;
    Found f;
    if (w->order.started) {
        SampleKey last = key_decode(w->order.last);
        how = Seek::cursor;
        f = store_seek(how, &last, &r);
        // The record handed over last is there again: step past it.
        if (f == Found::record && r.key_valid && r.key.unit == last.unit &&
            r.key.level == last.level && r.key.ts == last.ts) {
            how = Seek::next;
            f = store_seek(how, nullptr, &r);
        }
    } else {
        how = w->from != nullptr ? Seek::cursor : Seek::first;
        f = store_seek(how, w->from, &r);
    }
    while (f == Found::record) {
        Went went = hand_over(w, r, how);
        if (went != Went::on)
            return went == Went::stopped ? 0 : 1;
        how = Seek::next;
        f = store_seek(how, nullptr, &r);
    }
    if (f == Found::error) {
        report_seek_error(w->op, how);
        return 1;
    }
    return end_of_walk(w);
}

} // namespace

int data_walk(const char *op, const SampleKey *from, WalkVisitor visit, void *context)
{
    Walk w{op, from, visit, context, WalkOrder{}};
    StoreRecord r;
    Seek how = Seek::cursor;
    if (from == nullptr) {
        // A bulk read starts at a key; keys of another size may lie before
        // any 8-byte key, so the first record is read on its own.
        how = Seek::first;
        Found f = store_seek(how, nullptr, &r);
        if (f == Found::error) {
            report_seek_error(op, how);
            return 1;
        }
        if (f == Found::end)
            return end_of_walk(&w);
        Went went = hand_over(&w, r, how);
        if (went != Went::on)
            return went == Went::stopped ? 0 : 1;
        how = Seek::next;
    }
    for (;;) {
        Bulk got = store_bulk_seek(how, from);
        if (got == Bulk::walk)
            return walk_records(&w);
        if (got == Bulk::error) {
            report_seek_error(op, how);
            return 1;
        }
        if (got == Bulk::end)
            return end_of_walk(&w);
        while (store_bulk_next(&r)) {
            Went went = hand_over(&w, r, how);
            if (went != Went::on)
                return went == Went::stopped ? 0 : 1;
        }
        how = Seek::next;
    }
}

int data_put_record(const char *op, const WalkRecord &r)
{
    StoreHandle &h = store_handle;
    key_encode(r.key, h.key);
    h.dbk = Slice{h.key, KEY_SIZE};
    if (r.kind == RecordKind::sample) {
        h.rec = r.sample;
        h.dbd = Slice{reinterpret_cast<const unsigned char *>(&h.rec), sizeof h.rec};
    } else if (r.kind == RecordKind::last) {
        h.last = r.last;
        h.dbd = Slice{reinterpret_cast<const unsigned char *>(&h.last), sizeof h.last};
    } else {
        errno = EINVAL;
        report_store_error(op, "db->put", nullptr);
        return 1;
    }
    if (btree_put(h.db, h.dbk, h.dbd) != 0) {
        report_store_error(op, "db->put", nullptr);
        return 1;
    }
    return 0;
}

int data_sync(const char *op)
{
    if (btree_sync(store_handle.db) != 0) {
        report_store_error(op, "dbsync", store_handle.path);
        return 1;
    }
    return 0;
}

} // namespace dorvane
