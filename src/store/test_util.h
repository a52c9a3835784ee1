// Helpers for the store's tests: a fixture with an open store, and raw
// access to every record.
#ifndef DORVANE_STORE_TEST_UTIL_H_
#define DORVANE_STORE_TEST_UTIL_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/access.h"
#include "testing/test_util.h"

namespace dorvane::testing_util {

// One record as stored, bytes copied out.
struct Raw {
    std::string key;
    std::string value;
    bool operator==(const Raw &) const = default;
};

// Every record of the open store in key order, read with its own cursor
// moves (the operations under test keep no cursor state between calls).
inline std::vector<Raw> dump_store(Btree *db = nullptr)
{
    if (db == nullptr)
        db = store_handle.db;
    std::vector<Raw> out;
    Slice k{nullptr, 0}, v{nullptr, 0};
    Found r = btree_seq(db, &k, &v, Seek::first);
    while (r == Found::record) {
        out.push_back(Raw{std::string(reinterpret_cast<const char *>(k.data), k.size),
                          v.data ? std::string(reinterpret_cast<const char *>(v.data), v.size)
                                 : std::string()});
        r = btree_seq(db, &k, &v, Seek::next);
    }
    EXPECT_EQ(r, Found::end) << "cursor failed: " << strerror(errno);
    return out;
}

inline std::string key_bytes(uint16_t unit, uint16_t level, uint32_t ts)
{
    unsigned char k[KEY_SIZE];
    key_encode(SampleKey{unit, level, ts}, k);
    return std::string(reinterpret_cast<const char *>(k), KEY_SIZE);
}

inline std::string sample_bytes(double min, double avg, double max)
{
    SampleRecord r{min, avg, max};
    return std::string(reinterpret_cast<const char *>(&r), sizeof r);
}

inline std::string last_bytes(uint32_t since, uint32_t ts, double val)
{
    LastRecord r{since, ts, val};
    return std::string(reinterpret_cast<const char *>(&r), sizeof r);
}

// Writes any bytes under any key, as a damaged store would hold them.
inline void put_raw(const std::string &key, const std::string &value, Btree *db = nullptr)
{
    if (db == nullptr)
        db = store_handle.db;
    Slice k{reinterpret_cast<const unsigned char *>(key.data()), static_cast<uint32_t>(key.size())};
    Slice v{reinterpret_cast<const unsigned char *>(value.data()),
            static_cast<uint32_t>(value.size())};
    ASSERT_EQ(btree_put(db, k, v), 0) << strerror(errno);
}

inline void del_raw(const std::string &key)
{
    Slice k{reinterpret_cast<const unsigned char *>(key.data()), static_cast<uint32_t>(key.size())};
    ASSERT_EQ(btree_del(store_handle.db, k), Found::record);
}

// The sample stored under a key, if any.
inline bool get_sample(uint16_t unit, uint16_t level, uint32_t ts, SampleRecord *out)
{
    std::string key = key_bytes(unit, level, ts);
    Slice v{nullptr, 0};
    if (btree_get(store_handle.db,
                  Slice{reinterpret_cast<const unsigned char *>(key.data()), KEY_SIZE},
                  &v) != Found::record)
        return false;
    EXPECT_EQ(v.size, sizeof(SampleRecord));
    memcpy(out, v.data, sizeof *out);
    return true;
}

// Fills the open store at path with 2000 samples of unit 1, closes it and
// zeroes its page `page` (4 KiB pages; page 1 is the root, 2 the first
// leaf), as a disk fault would.
inline void fill_and_zero_page(const std::string &path, int page)
{
    for (uint32_t i = 0; i < 2000; i++)
        put_raw(key_bytes(1, 0, 1000 + 60 * i), sample_bytes(i, i, i));
    ASSERT_EQ(data_close(), 0);
    // The library takes its page size from the file system; the pages named
    // by the tests are those of 4 KiB pages.
    const uint32_t page_size = store_page_size(read_file(path));
    if (page_size != 4096)
        GTEST_SKIP() << "store pages of " << page_size << " bytes, not 4096";
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string zeros(4096, '\0');
    const ssize_t written = pwrite(fd, zeros.data(), zeros.size(), 4096 * static_cast<off_t>(page));
    close(fd);
    ASSERT_EQ(written, 4096);
}

// Names a test of a zeroed page after the page: Page3.
inline std::string page_name(const ::testing::TestParamInfo<int> &info)
{
    return "Page" + std::to_string(info.param);
}

// A fresh store, open for the test, closed after it.
class StoreTest : public Test
{
  protected:
    void SetUp() override
    {
        path_ = dir_.path("store.db");
        ASSERT_EQ(data_open(path_.c_str()), 0);
    }
    void TearDown() override
    {
        // A failure that the test armed and its calls did not reach must
        // not fail the close.
        btree_fail_reset();
        EXPECT_EQ(data_close(), 0);
    }

    TempDir dir_;
    std::string path_;
};

} // namespace dorvane::testing_util

#endif // DORVANE_STORE_TEST_UTIL_H_
