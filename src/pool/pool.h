// The memory pool: an arena that owns every string and record built from the
// command line and the configuration. Requests are carved one after another
// out of blocks taken from malloc; nothing is freed singly, and
// pool_destroy frees every block at once.
//
// Block layout: an 8-byte link to the next block of the chain, then the
// usable area. Every request is rounded to the smallest multiple of 8 that
// is strictly greater than its size, so every address handed out is aligned
// to 8 bytes. Memory handed out is not cleared.
//
// A pool never returns a failure: running out of memory (or a size whose
// arithmetic would overflow) prints "Out of memory\n" and ends the process
// with status 1.
#ifndef DORVANE_POOL_POOL_H_
#define DORVANE_POOL_POOL_H_

#include <cstddef>
#include <type_traits>

namespace dorvane {

struct Pool {
    unsigned char *first;   // head of the chain of all blocks; null at start
    unsigned char *current; // block that serves small requests; null at start
    size_t block_size;      // usable bytes of a normal block
    size_t remaining;       // free bytes at the end of the current block
};
static_assert(std::is_trivially_destructible_v<Pool>);

// A block size of 0 gives 4088 usable bytes, more than 8 gives size - 8,
// 1 to 8 gives size itself. No block is allocated yet.
Pool *pool_create(size_t size);

// size usable bytes, valid until pool_destroy. With no pool the request is
// served straight from malloc (and belongs to the caller). A request of 0
// bytes reserves nothing: it returns where the next allocation would begin,
// or, from a pool without a block, a non-null address that must not be
// dereferenced.
void *pool_alloc(Pool *pool, size_t size);

// A pool copy of text; null for null text (nothing is allocated then).
char *pool_strdup(Pool *pool, const char *text);

// The count strings of list joined with sep between neighbours; an empty
// string for count 0; null when any of them is null.
char *pool_join(Pool *pool, const char *const *list, size_t count, char sep);

// Formats into exactly as many pool bytes as the result needs. Knows %c, %d,
// %u, %ld, %lu, %lld, %llu, %s and %%; anything else prints
// "Bad format string to buffer_printf\n" and ends the process with status 1.
char *buffer_printf(Pool *pool, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Frees every block in chain order, then the Pool itself.
void pool_destroy(Pool *pool);

} // namespace dorvane

#endif // DORVANE_POOL_POOL_H_
