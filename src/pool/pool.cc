#include "pool/pool.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dorvane {
namespace {

constexpr size_t LINK_SIZE = 8; // the link word in front of every usable area
constexpr size_t DEFAULT_BLOCK = 4088;
static_assert(sizeof(unsigned char *) <= LINK_SIZE);

[[noreturn]] void out_of_memory()
{
    fputs("Out of memory\n", stderr);
    exit(1);
}

// malloc that ends the process instead of failing; sizes are checked by the
// caller against overflow.
void *must_malloc(size_t size)
{
    void *p = malloc(size ? size : 1);
    if (p == nullptr)
        out_of_memory();
    return p;
}

unsigned char *next_of(unsigned char *block)
{
    unsigned char *next;
    memcpy(&next, block, sizeof next);
    return next;
}

void set_next(unsigned char *block, unsigned char *next)
{
    memcpy(block, &next, sizeof next);
}

// A block with room for the link word, usable bytes and the 7 spare bytes
// every block is requested with.
unsigned char *new_block(size_t usable)
{
    if (usable > SIZE_MAX - LINK_SIZE - 7)
        out_of_memory();
    auto *block = static_cast<unsigned char *>(must_malloc(LINK_SIZE + usable + 7));
    set_next(block, nullptr);
    return block;
}

// Measures or writes the result of buffer_printf: out may be null (measure
// only). Returns the length without the terminating zero.
size_t format_into(char *out, const char *format, va_list ap)
{
    size_t n = 0;
    auto put = [&](const char *s, size_t len) {
        if (out != nullptr)
            memcpy(out + n, s, len);
        n += len;
    };
    char num[32];
    for (const char *p = format; *p != '\0'; p++) {
        if (*p != '%') {
            put(p, 1);
            continue;
        }
        p++;
        int len;
        if (*p == '%') {
            put("%", 1);
            continue;
        } else if (*p == 'c') {
            char c = static_cast<char>(va_arg(ap, int));
            put(&c, 1);
            continue;
        } else if (*p == 's') {
            const char *s = va_arg(ap, const char *);
            put(s, strlen(s));
            continue;
        } else if (*p == 'd') {
            len = snprintf(num, sizeof num, "%d", va_arg(ap, int));
        } else if (*p == 'u') {
            len = snprintf(num, sizeof num, "%u", va_arg(ap, unsigned));
        } else if (p[0] == 'l' && p[1] == 'd') {
            len = snprintf(num, sizeof num, "%ld", va_arg(ap, long));
            p++;
        } else if (p[0] == 'l' && p[1] == 'u') {
            len = snprintf(num, sizeof num, "%lu", va_arg(ap, unsigned long));
            p++;
        } else if (p[0] == 'l' && p[1] == 'l' && p[2] == 'd') {
            len = snprintf(num, sizeof num, "%lld", va_arg(ap, long long));
            p += 2;
        } else if (p[0] == 'l' && p[1] == 'l' && p[2] == 'u') {
            len = snprintf(num, sizeof num, "%llu", va_arg(ap, unsigned long long));
            p += 2;
        } else {
            fputs("Bad format string to buffer_printf\n", stderr);
            exit(1);
        }
        put(num, static_cast<size_t>(len));
    }
    if (out != nullptr)
        out[n] = '\0';
    return n;
}

} // namespace

Pool *pool_create(size_t size)
{
    auto *pool = static_cast<Pool *>(malloc(sizeof(Pool)));
    if (pool == nullptr) {
        fputs("pool_create(): Out of memory\n", stderr);
        exit(1);
    }
    pool->first = nullptr;
    pool->current = nullptr;
    pool->block_size = size == 0 ? DEFAULT_BLOCK : size > LINK_SIZE ? size - LINK_SIZE : size;
    pool->remaining = 0;
    return pool;
}

void *pool_alloc(Pool *pool, size_t size)
{
    if (pool == nullptr)
        return must_malloc(size);

    if (size == 0) {
        if (pool->current == nullptr) {
            // Nothing to point into yet: an aligned address nobody may use.
            alignas(8) static unsigned char nowhere[8];
            return nowhere;
        }
        return pool->current + LINK_SIZE + (pool->block_size - pool->remaining);
    }

    if (size > SIZE_MAX - 8)
        out_of_memory();
    size_t unit = (size & ~static_cast<size_t>(7)) + 8;

    if (unit <= pool->remaining) {
        void *p = pool->current + LINK_SIZE + (pool->block_size - pool->remaining);
        pool->remaining -= unit;
        return p;
    }

    if (unit > pool->block_size) {
        // A big block goes in front of the chain and leaves the current
        // block's room for later small requests.
        unsigned char *big = new_block(unit);
        set_next(big, pool->first);
        pool->first = big;
        if (pool->current == nullptr) {
            pool->current = big;
            pool->remaining = 0;
        }
        return big + LINK_SIZE;
    }

    unsigned char *block = new_block(pool->block_size);
    if (pool->current == nullptr)
        pool->first = block;
    else
        set_next(pool->current, block);
    pool->current = block;
    pool->remaining = pool->block_size - unit;
    return block + LINK_SIZE;
}

char *pool_strdup(Pool *pool, const char *text)
{
    if (text == nullptr)
        return nullptr;
    size_t len = strlen(text);
    auto *copy = static_cast<char *>(pool_alloc(pool, len + 1));
    memcpy(copy, text, len + 1);
    return copy;
}

char *pool_join(Pool *pool, const char *const *list, size_t count, char sep)
{
    size_t total = 1;
    for (size_t i = 0; i < count; i++) {
        if (list[i] == nullptr)
            return nullptr;
        total += strlen(list[i]) + (i > 0);
    }
    auto *out = static_cast<char *>(pool_alloc(pool, total));
    char *p = out;
    for (size_t i = 0; i < count; i++) {
        if (i > 0)
            *p++ = sep;
        size_t len = strlen(list[i]);
        memcpy(p, list[i], len);
        p += len;
    }
    *p = '\0';
    return out;
}

char *buffer_printf(Pool *pool, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    size_t len = format_into(nullptr, format, ap);
    va_end(ap);
    auto *out = static_cast<char *>(pool_alloc(pool, len + 1));
    format_into(out, format, again);
    va_end(again);
    return out;
}

void pool_destroy(Pool *pool)
{
    if (pool == nullptr)
        return;
    for (unsigned char *b = pool->first; b != nullptr;) {
        unsigned char *next = next_of(b);
        free(b);
        b = next;
    }
    free(pool);
}

} // namespace dorvane
