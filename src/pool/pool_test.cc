#include "pool/pool.h"

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;

uintptr_t addr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

unsigned char *link_of(unsigned char *block)
{
    unsigned char *next;
    memcpy(&next, block, sizeof next);
    return next;
}

size_t chain_length(const Pool *pool)
{
    size_t n = 0;
    for (unsigned char *b = pool->first; b != nullptr; b = link_of(b))
        n++;
    return n;
}

struct BlockSizeCase {
    const char *name;
    size_t requested;
    size_t block_size;
};

class PoolCreate : public testing::TestWithParam<BlockSizeCase>
{};

TEST_P(PoolCreate, BlockSizeFollowsRequest)
{
    Pool *pool = pool_create(GetParam().requested);
    EXPECT_EQ(pool->block_size, GetParam().block_size);
    EXPECT_EQ(pool->first, nullptr);
    EXPECT_EQ(pool->current, nullptr);
    EXPECT_EQ(pool->remaining, 0u);
    pool_destroy(pool);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PoolCreate,
                         testing::Values(BlockSizeCase{"ZeroGivesTheDefault", 0, 4088},
                                         BlockSizeCase{"One", 1, 1}, BlockSizeCase{"Five", 5, 5},
                                         BlockSizeCase{"Eight", 8, 8},
                                         BlockSizeCase{"NineLessTheLink", 9, 1},
                                         BlockSizeCase{"KibLessTheLink", 1024, 1016}),
                         testing_util::row_name);

struct UnitCase {
    const char *name;
    size_t size;
    size_t unit;
};

class PoolUnit : public testing::TestWithParam<UnitCase>
{};

// The unit is the smallest multiple of 8 strictly above the size; it shows as
// the drop of the current block's remaining bytes.
TEST_P(PoolUnit, RemainingDropsByUnit)
{
    Pool *pool = pool_create(1024);
    void *first = pool_alloc(pool, 1);
    ASSERT_EQ(pool->remaining, 1016u - 8);
    void *p = pool_alloc(pool, GetParam().size);
    EXPECT_EQ(pool->remaining, 1016u - 8 - GetParam().unit);
    EXPECT_EQ(addr(p) - addr(first), 8u);
    EXPECT_EQ(addr(p) % 8, 0u);
    pool_destroy(pool);
}

INSTANTIATE_TEST_SUITE_P(Rounding, PoolUnit,
                         testing::Values(UnitCase{"Size1", 1, 8}, UnitCase{"Size7", 7, 8},
                                         UnitCase{"Size8", 8, 16}, UnitCase{"Size9", 9, 16},
                                         UnitCase{"Size15", 15, 16}, UnitCase{"Size16", 16, 24},
                                         UnitCase{"Size1000", 1000, 1008}),
                         testing_util::row_name);

TEST(Pool, TwoEightByteRequestsAreSixteenApart)
{
    Pool *pool = pool_create(1024);
    auto *a = static_cast<char *>(pool_alloc(pool, 8));
    auto *b = static_cast<char *>(pool_alloc(pool, 8));
    EXPECT_EQ(b - a, 16);
    pool_destroy(pool);
}

TEST(Pool, NormalBlockUntilUnitExceedsBlockSize)
{
    Pool *pool = pool_create(1024); // 1016 usable bytes
    pool_alloc(pool, 1000);         // unit 1008: a normal block
    EXPECT_EQ(chain_length(pool), 1u);
    EXPECT_EQ(pool->remaining, 8u);
    unsigned char *normal = pool->current;

    void *big = pool_alloc(pool, 1016); // unit 1024: a big block at the head
    EXPECT_EQ(chain_length(pool), 2u);
    EXPECT_EQ(addr(pool->first) + 8, addr(big));
    EXPECT_EQ(pool->current, normal);
    EXPECT_EQ(pool->remaining, 8u);
    pool_destroy(pool);
}

TEST(Pool, BigRequestLeavesCurrentRoomInUse)
{
    Pool *pool = pool_create(1024);
    auto *a = static_cast<char *>(pool_alloc(pool, 10)); // unit 16
    pool_alloc(pool, 5000);
    auto *b = static_cast<char *>(pool_alloc(pool, 10));
    EXPECT_EQ(b - a, 16);
    pool_destroy(pool);
}

TEST(Pool, NewNormalBlockGoesToTheTail)
{
    Pool *pool = pool_create(64); // 56 usable bytes
    pool_alloc(pool, 40);         // unit 48, block A
    unsigned char *a = pool->current;
    pool_alloc(pool, 500); // big block in front of A
    pool_alloc(pool, 40);  // does not fit in A's 8 bytes: block B after A
    unsigned char *b = pool->current;
    EXPECT_NE(a, b);
    EXPECT_EQ(link_of(a), b);
    EXPECT_EQ(link_of(pool->first), a);
    EXPECT_EQ(link_of(b), nullptr);
    EXPECT_EQ(pool->remaining, 56u - 48);
    pool_destroy(pool);
}

TEST(Pool, FirstBigBlockBecomesCurrentWithNoRoom)
{
    Pool *pool = pool_create(5); // every request gets a big block
    void *a = pool_alloc(pool, 1);
    EXPECT_EQ(pool->first, pool->current);
    EXPECT_EQ(pool->remaining, 0u);
    void *b = pool_alloc(pool, 1);
    EXPECT_NE(a, b);
    EXPECT_EQ(chain_length(pool), 2u);
    pool_destroy(pool);
}

TEST(Pool, ZeroBytes)
{
    Pool *pool = pool_create(1024);
    void *none = pool_alloc(pool, 0);
    EXPECT_NE(none, nullptr);
    EXPECT_EQ(pool->first, nullptr); // nothing allocated from an empty pool

    auto *a = static_cast<char *>(pool_alloc(pool, 3));
    void *next = pool_alloc(pool, 0);
    auto *b = static_cast<char *>(pool_alloc(pool, 3));
    EXPECT_EQ(next, b);
    EXPECT_EQ(b - a, 8);
    pool_destroy(pool);
}

TEST(Pool, Strings)
{
    Pool *pool = pool_create(1024);
    EXPECT_EQ(pool_strdup(pool, nullptr), nullptr);
    EXPECT_EQ(pool->first, nullptr);
    EXPECT_STREQ(pool_strdup(pool, "load"), "load");
    const char *list[] = {"usr", "local", "etc"};
    EXPECT_STREQ(pool_join(pool, list, 3, '/'), "usr/local/etc");
    EXPECT_STREQ(pool_join(pool, list, 1, '/'), "usr");
    EXPECT_STREQ(pool_join(pool, list, 0, '/'), "");
    const char *holey[] = {"a", nullptr};
    EXPECT_EQ(pool_join(pool, holey, 2, ','), nullptr);
    pool_destroy(pool);
}

TEST(Pool, BufferPrintfConversions)
{
    Pool *pool = pool_create(1024);
    EXPECT_STREQ(buffer_printf(pool, "%c|%d|%u|%s|%%", 'x', -5, 4000000000u, "str"),
                 "x|-5|4000000000|str|%");
    EXPECT_STREQ(buffer_printf(pool, "%ld %lu %lld %llu", -1L, 18446744073709551615UL,
                               -9223372036854775807LL, 18446744073709551615ULL),
                 "-1 18446744073709551615 -9223372036854775807 18446744073709551615");
    EXPECT_STREQ(buffer_printf(pool, "plain"), "plain");
    // Exactly the bytes needed: the next allocation follows the result.
    char *s = buffer_printf(pool, "%d", 1234567); // 8 bytes: unit 16
    auto *after = static_cast<char *>(pool_alloc(pool, 0));
    EXPECT_EQ(after - s, 16);
    pool_destroy(pool);
}

void bad_format(const char *fmt)
{
    Pool *pool = pool_create(1024);
    // The format is deliberately unknown to buffer_printf.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    buffer_printf(pool, fmt, 1.5);
#pragma GCC diagnostic pop
}

TEST(PoolDeathTest, BufferPrintfRefusesUnknownConversions)
{
    for (const char *fmt : {"%f", "%x", "%5d", "%l", "%"})
        EXPECT_EXIT(bad_format(fmt), testing::ExitedWithCode(1),
                    "^Bad format string to buffer_printf\n$")
            << fmt;
}

// ASan may warn about the huge request first; the program's own line ends it.
constexpr const char *OUT_OF_MEMORY = "(^|\n)Out of memory\n$";

TEST(PoolDeathTest, OverflowingOrImpossibleRequestsAreOutOfMemory)
{
    for (size_t size : {SIZE_MAX, SIZE_MAX - 7, SIZE_MAX / 2}) {
        EXPECT_EXIT(
            {
                Pool *pool = pool_create(1024);
                pool_alloc(pool, size);
            },
            testing::ExitedWithCode(1), OUT_OF_MEMORY)
            << size;
        EXPECT_EXIT(pool_alloc(nullptr, size), testing::ExitedWithCode(1), OUT_OF_MEMORY) << size;
    }
    EXPECT_EXIT(
        {
            Pool *pool = pool_create(SIZE_MAX); // block size SIZE_MAX - 8
            pool_alloc(pool, 8);
        },
        testing::ExitedWithCode(1), OUT_OF_MEMORY);
}

} // namespace
} // namespace dorvane
