// Helpers for the store's tests: a temporary directory that cleans up after
// itself, a fixture with an open store, raw access to every record, and a
// child process whose output is collected.
#ifndef DORVANE_STORE_TEST_UTIL_H_
#define DORVANE_STORE_TEST_UTIL_H_

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run/run.h"
#include "store/access.h"

namespace dorvane::testing_util {

class TempDir
{
  public:
    TempDir()
    {
        char tmpl[] = "/tmp/dorvane-store-test-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (d == nullptr)
            abort();
        dir_ = d;
    }
    ~TempDir()
    {
        // Flat: tests create files only.
        if (DIR *d = opendir(dir_.c_str())) {
            while (dirent *e = readdir(d)) {
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlink((dir_ + "/" + e->d_name).c_str());
            }
            closedir(d);
        }
        rmdir(dir_.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string path(const char *name) const { return dir_ + "/" + name; }
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
};

inline std::string read_file(const std::string &path)
{
    std::string text;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        fclose(f);
    }
    return text;
}

inline void write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

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
    int r = btree_seq(db, &k, &v, Seek::first);
    while (r == 0) {
        out.push_back(Raw{std::string(reinterpret_cast<const char *>(k.data), k.size),
                          v.data ? std::string(reinterpret_cast<const char *>(v.data), v.size)
                                 : std::string()});
        r = btree_seq(db, &k, &v, Seek::next);
    }
    EXPECT_EQ(r, 1) << "cursor failed: " << strerror(errno);
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
    ASSERT_EQ(btree_del(store_handle.db, k), 0);
}

// The sample stored under a key, if any.
inline bool get_sample(uint16_t unit, uint16_t level, uint32_t ts, SampleRecord *out)
{
    std::string key = key_bytes(unit, level, ts);
    Slice v{nullptr, 0};
    if (btree_get(store_handle.db,
                  Slice{reinterpret_cast<const unsigned char *>(key.data()), KEY_SIZE}, &v) != 0)
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
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // The library takes its page size from the file system; the pages named
    // by the tests are those of 4 KiB pages. The size is in the header page.
    uint32_t page_size = 0;
    if (pread(fd, &page_size, sizeof page_size, 20) != sizeof page_size || page_size != 4096) {
        close(fd);
        GTEST_SKIP() << "store pages of " << page_size << " bytes, not 4096";
    }
    const std::string zeros(4096, '\0');
    const ssize_t written = pwrite(fd, zeros.data(), zeros.size(), 4096 * static_cast<off_t>(page));
    close(fd);
    ASSERT_EQ(written, 4096);
}

// db5.3_verify's verdict on a store: "" when it accepts it, else its output.
inline std::string verify_store(const std::string &path)
{
    std::string cmd = "db5.3_verify -q '" + path + "' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "cannot run db5.3_verify";
    std::string text;
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr)
        text += buf;
    int st = pclose(p);
    const int status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (status != 0 && text.empty())
        text = "db5.3_verify exit " + std::to_string(status);
    return text;
}

// Result of a function run in a child process.
struct ChildResult {
    int status; // exit status, or -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Runs body in a forked child with standard output and error going to
// files in dir; the child ends with body's result without running exit
// handlers (the parent's test state is not the child's to tear down).
inline ChildResult run_child(const TempDir &dir, const std::function<int()> &body)
{
    fflush(nullptr);
    std::string out = dir.path("child.out"), err = dir.path("child.err");
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        close(o);
        close(e);
        int rc = body();
        fflush(nullptr);
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ChildResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

// A fresh store, open for the test, closed after it; verbosity back at 0.
class StoreTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        verbosity = 0;
        btree_fail_reset();
        path_ = dir_.path("store.db");
        ASSERT_EQ(data_open(path_.c_str()), 0);
    }
    void TearDown() override
    {
        verbosity = 0;
        btree_fail_reset();
        EXPECT_EQ(data_close(), 0);
    }

    TempDir dir_;
    std::string path_;
};

} // namespace dorvane::testing_util

#endif // DORVANE_STORE_TEST_UTIL_H_
