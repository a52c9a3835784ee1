// The store handle: open and close, key encoding, and the access helpers
// shared by every store operation.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
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
        report_store_error(nullptr, "dbopen", path);
        store_handle.db = nullptr;
        return 1;
    }
    uint32_t pages;
    Recovery found = btree_recovery(store_handle.db, &pages);
    if (found == Recovery::replayed)
        trace(1, "data_open: %s: unfinished commit completed from its journal, %u pages\n", path,
              pages);
    if (found == Recovery::discarded)
        trace(1, "data_open: %s: unfinished commit dropped with its journal\n", path);
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
        report_store_error(nullptr, "dbsync", store_handle.path);
        result = 1;
    }
    if (btree_close(store_handle.db) != 0) {
        report_store_error(nullptr, "dbclose", store_handle.path);
        result = 1;
    }
    store_handle.db = nullptr;
    return result;
}

bool data_file_id(FileId *out)
{
    if (store_handle.db == nullptr)
        return false;
    btree_identity(store_handle.db, &out->dev, &out->ino);
    return true;
}

bool data_is_store(const struct stat *st)
{
    FileId id;
    return data_file_id(&id) && st->st_dev == id.dev && st->st_ino == id.ino;
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

Found store_seek(Seek how, const SampleKey *at, StoreRecord *out)
{
    StoreHandle &h = store_handle;
    if (how == Seek::cursor) {
        key_encode(*at, h.key);
        h.dbk = Slice{h.key, KEY_SIZE};
    }
    h.dbd = Slice{nullptr, 0};
    const Found f = btree_seq(h.db, &h.dbk, &h.dbd, how);
    if (f == Found::record)
        fill_record(h.dbk, h.dbd, out);
    return f;
}

Bulk store_bulk_seek(Seek how, const SampleKey *at)
{
    StoreHandle &h = store_handle;
    if (how == Seek::cursor)
        key_encode(*at, h.key);
    return btree_seq_bulk(h.db, Slice{h.key, KEY_SIZE}, how);
}

bool store_bulk_next(StoreRecord *out)
{
    Slice key, value;
    if (!btree_bulk_next(store_handle.db, &key, &value))
        return false;
    fill_record(key, value, out);
    return true;
}

void report_store_error(const char *op, const char *call, const char *file)
{
    if (op != nullptr && file != nullptr)
        message_errno("%s: %s: %s", op, call, file);
    else if (op != nullptr)
        message_errno("%s: %s", op, call);
    else if (file != nullptr)
        message_errno("%s: %s", call, file);
    else
        message_errno("%s", call);
}

void report_seek_error(const char *op, Seek how)
{
    const int reason = errno;
    char call[32];
    snprintf(call, sizeof call, "db->seq(%s) failed", seek_name(how));
    errno = reason;
    report_store_error(op, call, nullptr);
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

Found store_get_last(uint16_t unit, LastRecord *out)
{
    StoreHandle &h = store_handle;
    key_encode(SampleKey{unit, LAST_LEVEL, 0}, h.key);
    h.dbk = Slice{h.key, KEY_SIZE};
    h.dbd = Slice{nullptr, 0};
    const Found f = btree_get(h.db, h.dbk, &h.dbd);
    if (f != Found::record)
        return f;
    if (h.dbd.data == nullptr || h.dbd.size != sizeof(LastRecord))
        return Found::end;
    memcpy(out, h.dbd.data, sizeof *out);
    return Found::record;
}

} // namespace dorvane
