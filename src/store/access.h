// Inside the store: the process-wide handle and the few helpers through
// which insertion, retrieval and maintenance reach the file. Keys are built,
// cursor moves are made and records are validated here and nowhere else.
#ifndef DORVANE_STORE_ACCESS_H_
#define DORVANE_STORE_ACCESS_H_

#include <cstdint>
#include <type_traits>

#include "store/bdb.h"
#include "store/store.h"

namespace dorvane {

// The process-wide store context; reset by data_open.
struct StoreHandle {
    Btree *db;                   // null while no store is open
    const char *path;            // as given to data_open, for messages
    bool last_failed;            // a LastRecord get or put failed since data_open
    unsigned char key[KEY_SIZE]; // key buffer of every call
    SampleRecord rec;            // value buffer of sample puts
    LastRecord last;             // value buffer of last-value puts
    Slice dbk;                   // key descriptor, reused by every call
    Slice dbd;                   // value descriptor, reused by every call
};
static_assert(std::is_trivially_destructible_v<StoreHandle>);
extern StoreHandle store_handle;

// A record reached by a cursor move. value points into library memory,
// valid until the next call on the store.
struct StoreRecord {
    SampleKey key;  // decoded; meaningful when key_valid
    bool key_valid; // key present and exactly 8 bytes
    uint32_t key_size;
    const unsigned char *value; // null when the library gave none
    uint32_t value_size;
};

// Moves the store's cursor; for Seek::cursor, to the first key at or after
// at. On Found::error errno is set and nothing has been printed; an error
// is never the end of the data.
Found store_seek(Seek how, const SampleKey *at, StoreRecord *out);

// A bulk read through the store's cursor (see btree_seq_bulk): from the
// first key at or after at (Seek::cursor) or on from the previous one
// (Seek::next). Bulk::error with errno set; Bulk::walk when the library
// could not make the read: walk record by record instead.
Bulk store_bulk_seek(Seek how, const SampleKey *at);
// The next record of the last bulk read into *out; false after its last.
bool store_bulk_next(StoreRecord *out);

// A failed call of the library on standard error, with the text of errno:
// "<op>: <call>: <file>: <reason>\n", where op names the operation that
// made the call and file the store file it was made on; either may be null,
// and is then left out with its ": ". Every failed open, put, sync and
// close of a store file is reported through it.
void report_store_error(const char *op, const char *call, const char *file);

// A failed cursor move, the same way: "<op>: db->seq(<flag>) failed:
// <reason>\n" (op may be null).
void report_seek_error(const char *op, Seek how);

// Whether r belongs to (unit, level).
inline bool record_in(const StoreRecord &r, uint16_t unit, uint16_t level)
{
    return r.key_valid && r.key.unit == unit && r.key.level == level;
}

// Copies out the value of r when it is a well-formed record of its kind
// (value present, 24 bytes for a sample, 16 for a LastRecord).
bool record_sample(const StoreRecord &r, SampleRecord *out);
bool record_last(const StoreRecord &r, LastRecord *out);

// Whether r follows every validity rule of the file format.
bool record_valid(const StoreRecord &r);

// A damaged file can link its pages into a ring that the cursor would walk
// round for ever; in a sound walk every key is larger than the one before.
struct WalkOrder {
    unsigned char last[KEY_SIZE];
    bool started;
};

// Whether r (any record with a well-formed key) lies past the last one.
bool walk_goes_on(WalkOrder *w, const StoreRecord &r);

// A step of a walk over the store: a record whose key does not rise is a
// failed step (errno EIO), as the library would report a bad page.
Found walk_step(Seek how, WalkOrder *w, StoreRecord *r);

// Whether a walk that the library ended reached the store's last record: a
// page that a disk fault zeroed reads, to a walk that steps onto it, as the
// end of the store, and the records beyond it would be left out in
// silence. from is where the walk began (null: at the first record). What
// the check cannot read, or a last key of the wrong size, gives no verdict
// (true): the walk has said what it met.
bool walk_reached_end(const WalkOrder &w, const SampleKey *from);

// Writes through the handle's buffers and descriptors; 0, or -1 with errno.
int store_put_sample(const SampleKey &key, const SampleRecord &rec);
int store_put_last(uint16_t unit, const LastRecord &rec);

// The unit's LastRecord: record with *out filled, end when it is absent or
// malformed, error with errno set.
Found store_get_last(uint16_t unit, LastRecord *out);

} // namespace dorvane

#endif // DORVANE_STORE_ACCESS_H_
