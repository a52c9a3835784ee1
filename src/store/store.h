// The sample store: one Berkeley DB btree file that holds every sample of
// every unit at every consolidation level, plus one last-value record per
// differential unit. The file format is written down in
// docs/store-format.md; the records below are its in-memory form.
//
// A process opens the store once (data_open), under an exclusive lock that
// a second process opening the same file waits for, works on it through
// the operations below and closes it (data_close) on every exit after a
// successful open. Results follow the project's convention: 0 success,
// 1 a failure that has already been reported on standard error.
#ifndef DORVANE_STORE_STORE_H_
#define DORVANE_STORE_STORE_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/common.h"

namespace dorvane {

// Level of the last-value record (always stored under ts 0).
constexpr uint16_t LAST_LEVEL = 65535;
// Highest sample level: retrieval looks for levels below 65534 only, so
// consolidation never climbs past this one.
constexpr uint16_t MAX_SAMPLE_LEVEL = 65533;
// Number of records, the boundary record included, that completes a batch.
constexpr unsigned BATCH_SIZE = 10;

// Marker of a minimum or maximum that has seen no value.
constexpr double EMPTY_MARK = 1.7976931348623157e308;

// Key of every record; stored as 8 big-endian bytes so that the library's
// bytewise order is the order of (unit, level, ts).
struct SampleKey {
    uint16_t unit;
    uint16_t level;
    uint32_t ts;
};
constexpr size_t KEY_SIZE = 8;

// Value at every level but LAST_LEVEL: 24 bytes, doubles in host order.
struct SampleRecord {
    double min;
    double avg;
    double max;
};
static_assert(sizeof(SampleRecord) == 24);
static_assert(offsetof(SampleRecord, avg) == 8 && offsetof(SampleRecord, max) == 16);

// Value at LAST_LEVEL: 16 bytes, host order.
struct LastRecord {
    uint32_t since; // `since` of the run that wrote it
    uint32_t ts;    // time of the query that produced val
    double val;     // last raw value queried (not the stored difference)
};
static_assert(sizeof(LastRecord) == 16);
static_assert(offsetof(LastRecord, ts) == 4 && offsetof(LastRecord, val) == 8);

static_assert(std::is_trivially_destructible_v<SampleKey>);
static_assert(std::is_trivially_copyable_v<SampleRecord>);
static_assert(std::is_trivially_copyable_v<LastRecord>);

void key_encode(const SampleKey &key, unsigned char out[KEY_SIZE]);
SampleKey key_decode(const unsigned char in[KEY_SIZE]);

// --- Handle -------------------------------------------------------------

// Opens (creating with mode 0600 when missing) the store at path, which
// must stay valid until data_close, and waits for its exclusive lock.
// 1 after "dbopen: %s: %s\n". The store is first brought back to its last
// commit, which finishes or drops a commit that a run ended in the middle
// of (a trace at verbosity 1 says which). A run that neither stores nor
// truncates opens it read_only: it reads without writing.
[[nodiscard]] int data_open(const char *path, bool read_only = false);

// Commits what the run changed since its last commit, closes the store and
// releases its lock. 1 when the sync or the close failed ("dbsync: %s:
// %s\n", "dbclose: %s: %s\n"): the file then holds the last commit that
// succeeded, whole.
[[nodiscard]] int data_close();

// Forgets every change since the store's last commit, so that a failed
// phase leaves nothing of itself in the file; data_close follows.
void data_discard();

// The device and inode of the open store's file into *out; false when no
// store is open.
bool data_file_id(FileId *out);

// Whether st describes the file of the open store (same device and inode);
// false when no store is open.
bool data_is_store(const struct stat *st);

// Whether a get or put of a LastRecord failed since data_open. Such a
// failure does not stop the run, but the run must not end with status 0.
bool data_last_failed();

// --- Insertion and consolidation --------------------------------------

// Stores value for unit (its low 16 bits) at time now: unchanged, or, with
// tdiff and/or vdiff, as the rate or difference against the unit's
// LastRecord (which is always rewritten). Consolidates upward.
// 1 when a sample record could not be written or read back.
[[nodiscard]] int data_put_value(uint32_t since, uint32_t now, int unit, int tdiff, int vdiff,
                                 double value);

// Stores one SampleRecord at (unit, level, ts), then writes a summary one
// level up for as long as a level's batch is complete, up to
// MAX_SAMPLE_LEVEL. 1 after "db->put: %s\n", a reported cursor failure, or
// "put_value_internal: level %d out of range\n".
[[nodiscard]] int put_value_internal(int unit, int level, uint32_t ts, double min, double avg,
                                     double max);

// --- Retrieval and the quick-query report --------------------------------

// Fills values[0..siz) for unit over [beg, end) from the coarsest level
// that holds at least siz + 32 records in the range (else level 0), one
// bucket of (end - beg) / siz seconds per entry: the minimum, time-weighted
// average or maximum (type) of the records covering it.
// Entries that no record reached are 0.0. With report set, prints the
// quick-query report of the filled array. Allocates nothing but the
// report's scratch array. 1 after "get_values: beg %u >= end %u\n",
// "get_values: invalid type %d\n" or a reported cursor failure, and,
// without a message, when the unit's highest level is 32768 or more or the
// seek to the end of the range meets a malformed key.
[[nodiscard]] int data_get_values(int unit, uint32_t beg, uint32_t end, GraphType type,
                                  uint32_t siz, double *values, int report);

// Prints the quick-query report of values on standard output. 1 when its
// scratch array could not be allocated (reported).
[[nodiscard]] int quick_report(const double *values, uint32_t siz);

// --- Maintenance ----------------------------------------------------------

// Deletes level-0 records and LastRecords older than days0 days and
// consolidated records older than days1 days (a record exactly at its
// cutoff stays), and every record that breaks the validity rules.
// data_truncate reads the clock once; data_truncate_at takes it. Commits in
// batches and at its end. 1 when a deletion or a commit failed
// ("data_truncate: dbsync: %s: %s\n") or the walk could not start or go on;
// what was committed stays. A stop request (common/common.h) ends the walk
// before its next record, with 0, and commits what it deleted.
//
// After a whole walk, when the file is more than a tenth larger than the
// kept records need in full pages, compacts the store: its pages are filled
// and the free ones at the end of the file cut off, in one more commit
// that leaves every record as it is. At verbosity 2 one line after the
// summary says what it did ("data_truncate: compacted: %llu pages emptied,
// file %lld -> %lld bytes\n") or why not ("data_truncate: not compacted:
// file %lld bytes, its pages %llu%% full\n"). 1 when the library could not
// compact ("data_truncate: db->compact: %s\n", and its changes are
// forgotten: the handle is then only fit to be closed), the file could not
// be examined ("data_truncate: fstat: %s: %s\n") or the commit failed.
// A compaction that would give back more than this many bytes packs the
// store into a new file beside it and moves that into place, instead of
// holding every page it moves in memory until one commit. Lowered by tests.
extern uint64_t data_pack_bytes;
[[nodiscard]] int data_truncate(int days0, int days1);
[[nodiscard]] int data_truncate_at(uint32_t now, int days0, int days1);

// Copies every valid record of the store into the store at path (created
// when missing, locked and committed in batches like the store), skipping
// invalid ones with a message. 1 unless everything valid was copied and the
// target synced and closed; what was copied and committed stays. Refuses
// the store's own file. A stop request (common/common.h) ends the walk before
// its next record; the target is committed and closed with what it holds,
// and the result is 0.
[[nodiscard]] int data_copy(const char *path);

// --- Walks and record writes, for the programs that read or write the ---
// --- whole store (dorvane-store) ------------------------------------------

// What a record of the store holds, by the validity rules of the format.
enum class RecordKind : int { sample = 1, last = 2, invalid = 3 };

// A record as a walk meets it, copied out of the library's memory.
struct WalkRecord {
    SampleKey key; // all zero when the key is not KEY_SIZE bytes
    RecordKind kind;
    SampleRecord sample; // kind sample (levels below LAST_LEVEL)
    LastRecord last;     // kind last (level LAST_LEVEL)
    uint32_t key_size;   // as stored, for messages about an invalid record
    uint32_t value_size;
};
static_assert(std::is_trivially_destructible_v<WalkRecord>);

// A visitor's answer: go on, stop the walk, or stop it after a failure that
// the visitor has reported.
enum class Visit : int { next = 0, stop = 1, failed = 2 };
using WalkVisitor = Visit (*)(const WalkRecord &r, void *context);

// Visits every record in key order from the first key at or after *from
// (from the store's first record when from is null) until the visitor
// stops or the store ends. A key that does not rise (pages linked into a
// ring) and an end met before the store's last record (a zeroed page) are
// failed steps. 0 when the walk ended or the visitor stopped it; 1 after
// "<op>: db->seq(<flag>) failed: %s\n" or the visitor's failure.
[[nodiscard]] int data_walk(const char *op, const SampleKey *from, WalkVisitor visit,
                            void *context);

// Puts r (kind sample or last) under its key, as it is, replacing a record
// under the same key. 1 after "<op>: db->put: %s\n".
[[nodiscard]] int data_put_record(const char *op, const WalkRecord &r);

// Writes what was put since the open or the last sync to the file: a long
// series of puts commits in steps. 1 after "<op>: dbsync: %s: %s\n".
[[nodiscard]] int data_sync(const char *op);

} // namespace dorvane

#endif // DORVANE_STORE_STORE_H_
