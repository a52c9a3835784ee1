// The store handle: open and close, key encoding, and the access helpers
// shared by every store operation.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/run.h"
#include "store/access.h"

namespace dorvane {

StoreHandle store_handle;

void key_encode(const SampleKey &key, unsigned char out[KEY_SIZE])
{
    out[0] = static_cast<unsigned char>(key.unit >> 8);
    out[1] = static_cast<unsigned char>(key.unit);
    out[2] = static_cast<unsigned char>(key.level >> 8);
    out[3] = static_cast<unsigned char>(key.level);
    out[4] = static_cast<unsigned char>(key.ts >> 24);
    out[5] = static_cast<unsigned char>(key.ts >> 16);
    out[6] = static_cast<unsigned char>(key.ts >> 8);
    out[7] = static_cast<unsigned char>(key.ts);
}

SampleKey key_decode(const unsigned char in[KEY_SIZE])
{
    SampleKey key;
    key.unit = static_cast<uint16_t>(in[0] << 8 | in[1]);
    key.level = static_cast<uint16_t>(in[2] << 8 | in[3]);
    key.ts = static_cast<uint32_t>(in[4]) << 24 | static_cast<uint32_t>(in[5]) << 16 |
             static_cast<uint32_t>(in[6]) << 8 | static_cast<uint32_t>(in[7]);
    return key;
}

int data_open(const char *path, bool read_only)
{
    store_handle = StoreHandle{};
    store_handle.path = path;
    if (btree_open(path, &store_handle.db, read_only) != 0) {
        fprintf(stderr, "dbopen: %s: %s\n", path, strerror(errno));
        store_handle.db = nullptr;
        return 1;
    }
    uint32_t pages;
    Recovery found = btree_recovery(store_handle.db, &pages);
    if (verbosity >= 1 && found == Recovery::replayed)
        printf("data_open: %s: unfinished commit completed from its journal, %u pages\n", path,
               pages);
    if (verbosity >= 1 && found == Recovery::discarded)
        printf("data_open: %s: unfinished commit dropped with its journal\n", path);
    return 0;
}

void data_discard()
{
    if (store_handle.db != nullptr)
        btree_discard(store_handle.db);
}

int data_close()
{
    if (store_handle.db == nullptr)
        return 0;
    int result = 0;
    if (btree_sync(store_handle.db) != 0) {
        fprintf(stderr, "dbsync: %s: %s\n", store_handle.path, strerror(errno));
        result = 1;
    }
    if (btree_close(store_handle.db) != 0) {
        fprintf(stderr, "dbclose: %s: %s\n", store_handle.path, strerror(errno));
        result = 1;
    }
    store_handle.db = nullptr;
    return result;
}

bool data_is_store(const struct stat *st)
{
    if (store_handle.db == nullptr)
        return false;
    dev_t dev;
    ino_t ino;
    btree_identity(store_handle.db, &dev, &ino);
    return st->st_dev == dev && st->st_ino == ino;
}

bool data_last_failed()
{
    return store_handle.last_failed;
}

namespace {

void fill_record(Slice key, Slice value, StoreRecord *out)
{
    out->key_size = key.size;
    out->key_valid = key.data != nullptr && key.size == KEY_SIZE;
    out->key = out->key_valid ? key_decode(key.data) : SampleKey{};
    out->value = value.data;
    out->value_size = value.size;
}

} // namespace

Found store_seek_in(Btree *db, Seek how, const SampleKey *at, StoreRecord *out)
{
    StoreHandle &h = store_handle;
    if (how == Seek::cursor) {
        key_encode(*at, h.key);
        h.dbk = Slice{h.key, KEY_SIZE};
    }
    h.dbd = Slice{nullptr, 0};
    int r = btree_seq(db, &h.dbk, &h.dbd, how);
    if (r == -1)
        return Found::error;
    if (r != 0)
        return Found::end;
    fill_record(h.dbk, h.dbd, out);
    return Found::record;
}

Bulk store_bulk_seek(Seek how, const SampleKey *at)
{
    StoreHandle &h = store_handle;
    if (how == Seek::cursor)
        key_encode(*at, h.key);
    int r = btree_seq_bulk(h.db, Slice{h.key, KEY_SIZE}, how);
    if (r == -1)
        return Bulk::error;
    if (r == 2)
        return Bulk::walk;
    return r == 0 ? Bulk::read : Bulk::end;
}

bool store_bulk_next(StoreRecord *out)
{
    Slice key, value;
    if (!btree_bulk_next(store_handle.db, &key, &value))
        return false;
    fill_record(key, value, out);
    return true;
}

void report_seek_error(const char *op, Seek how)
{
    fprintf(stderr, "%s: db->seq(%s) failed: %s\n", op, seek_name(how), strerror(errno));
}

bool record_sample(const StoreRecord &r, SampleRecord *out)
{
    if (r.value == nullptr || r.value_size != sizeof(SampleRecord))
        return false;
    memcpy(out, r.value, sizeof *out);
    return true;
}

bool record_last(const StoreRecord &r, LastRecord *out)
{
    if (r.value == nullptr || r.value_size != sizeof(LastRecord))
        return false;
    memcpy(out, r.value, sizeof *out);
    return true;
}

bool record_valid(const StoreRecord &r)
{
    if (!r.key_valid || r.value == nullptr)
        return false;
    return r.value_size == (r.key.level == LAST_LEVEL ? sizeof(LastRecord) : sizeof(SampleRecord));
}

int store_put_sample(const SampleKey &key, const SampleRecord &rec)
{
    StoreHandle &h = store_handle;
    key_encode(key, h.key);
    h.rec = rec;
    h.dbk = Slice{h.key, KEY_SIZE};
    h.dbd = Slice{reinterpret_cast<const unsigned char *>(&h.rec), sizeof h.rec};
    return btree_put(h.db, h.dbk, h.dbd);
}

int store_put_last(uint16_t unit, const LastRecord &rec)
{
    StoreHandle &h = store_handle;
    key_encode(SampleKey{unit, LAST_LEVEL, 0}, h.key);
    h.last = rec;
    h.dbk = Slice{h.key, KEY_SIZE};
    h.dbd = Slice{reinterpret_cast<const unsigned char *>(&h.last), sizeof h.last};
    return btree_put(h.db, h.dbk, h.dbd);
}

int store_get_last(uint16_t unit, LastRecord *out)
{
    StoreHandle &h = store_handle;
    key_encode(SampleKey{unit, LAST_LEVEL, 0}, h.key);
    h.dbk = Slice{h.key, KEY_SIZE};
    h.dbd = Slice{nullptr, 0};
    int r = btree_get(h.db, h.dbk, &h.dbd);
    if (r != 0)
        return r;
    if (h.dbd.data == nullptr || h.dbd.size != sizeof(LastRecord))
        return 1;
    memcpy(out, h.dbd.data, sizeof *out);
    return 0;
}

} // namespace dorvane
