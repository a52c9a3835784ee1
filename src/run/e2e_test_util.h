// The harness of the end-to-end tests: runs the real binary in a temporary
// folder, under a frozen clock (faketime) where times matter, and reads
// stores back with the library itself.
#ifndef DORVANE_RUN_E2E_TEST_UTIL_H_
#define DORVANE_RUN_E2E_TEST_UTIL_H_

#include <db.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "render/render.h"
#include "run/run.h"
#include "store/store.h"
#include "testing/test_util.h"

namespace dorvane::testing_util {

inline constexpr uint32_t T0 = 1767225600; // 2026-01-01 00:00:00 UTC

struct Result {
    int status;
    std::string out;
    std::string err;
};

struct Record {
    SampleKey key;
    std::vector<unsigned char> value;

    SampleRecord sample() const
    {
        SampleRecord r{};
        if (value.size() == sizeof r)
            memcpy(&r, value.data(), sizeof r);
        return r;
    }
    LastRecord last() const
    {
        LastRecord r{};
        if (value.size() == sizeof r)
            memcpy(&r, value.data(), sizeof r);
        return r;
    }
};

// Every record of a store, in key order, read with the library directly
// (read-only, so that it never changes the file), up to the first record
// the cursor cannot reach.
inline std::vector<Record> dump(const std::string &path)
{
    std::vector<Record> out;
    DB *db = nullptr;
    if (db_create(&db, nullptr, 0) != 0)
        return out;
    if (db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, DB_RDONLY, 0) != 0) {
        db->close(db, 0);
        ADD_FAILURE() << "cannot open " << path;
        return out;
    }
    DBC *cursor = nullptr;
    db->cursor(db, nullptr, &cursor, 0);
    DBT key{}, value{};
    while (cursor->get(cursor, &key, &value, DB_NEXT) == 0) {
        Record r{};
        if (key.size == KEY_SIZE)
            r.key = key_decode(static_cast<const unsigned char *>(key.data));
        auto *v = static_cast<const unsigned char *>(value.data);
        r.value.assign(v, v + value.size);
        out.push_back(r);
    }
    cursor->close(cursor);
    db->close(db, 0);
    return out;
}

// Writes records straight into a new store, as earlier runs would have.
inline void fill(const std::string &path, const std::vector<Record> &records)
{
    DB *db = nullptr;
    ASSERT_EQ(db_create(&db, nullptr, 0), 0);
    ASSERT_EQ(db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, DB_CREATE, 0600), 0);
    for (const Record &r : records) {
        unsigned char k[KEY_SIZE];
        key_encode(r.key, k);
        DBT key{}, value{};
        key.data = k;
        key.size = KEY_SIZE;
        value.data = const_cast<unsigned char *>(r.value.data());
        value.size = static_cast<uint32_t>(r.value.size());
        ASSERT_EQ(db->put(db, nullptr, &key, &value, 0), 0);
    }
    ASSERT_EQ(db->close(db, 0), 0);
}

inline Record sample_record(int unit, int level, uint32_t ts, double v)
{
    Record r{};
    r.key = SampleKey{static_cast<uint16_t>(unit), static_cast<uint16_t>(level), ts};
    SampleRecord s{v, v, v};
    auto *p = reinterpret_cast<const unsigned char *>(&s);
    r.value.assign(p, p + sizeof s);
    return r;
}

inline bool same_record(const Record &a, const Record &b)
{
    return a.key.unit == b.key.unit && a.key.level == b.key.level && a.key.ts == b.key.ts &&
           a.value == b.value;
}

inline std::vector<Record> select(const std::vector<Record> &all, int unit, int level)
{
    std::vector<Record> out;
    for (const Record &r : all)
        if (r.key.unit == unit && r.key.level == level)
            out.push_back(r);
    return out;
}

inline std::string clock_text(uint32_t t)
{
    time_t tt = t;
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", gmtime(&tt));
    return buf;
}

// The shell words that start a command at a frozen clock (t), ahead of
// the command.
inline std::string frozen_clock(uint32_t t)
{
    return std::string("sh '") + DORVANE_SOURCE_DIR + "/tests/frozen-clock' '" + clock_text(t) +
           "' ";
}

// Names under root with their type, mode, size, modification time and
// bytes: two snapshots differ when anything was written, even the same
// bytes again. out.txt and err.txt are the harness's own.
inline std::map<std::string, std::string> snapshot(const std::string &root,
                                                   const std::string &sub = "")
{
    std::map<std::string, std::string> out;
    DIR *d = opendir((root + sub).c_str());
    if (d == nullptr)
        return out;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." ||
            (sub.empty() && (name == "out.txt" || name == "err.txt")))
            continue;
        std::string rel = sub + "/" + name;
        struct stat st;
        if (lstat((root + rel).c_str(), &st) != 0)
            continue;
        std::ostringstream desc;
        desc << std::oct << st.st_mode << std::dec << " " << st.st_uid << " " << st.st_size << " "
             << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
        if (S_ISREG(st.st_mode))
            desc << " " << read_file(root + rel);
        out[rel] = desc.str();
        if (S_ISDIR(st.st_mode)) {
            std::map<std::string, std::string> inner = snapshot(root, rel);
            out.insert(inner.begin(), inner.end());
        }
    }
    closedir(d);
    return out;
}

// One collect of "echo <unit>" per unit 1..units.
inline std::string echo_config(int units)
{
    std::string text;
    for (int u = 1; u <= units; u++)
        text += "collect " + std::to_string(u) + " = \"echo " + std::to_string(u) + "\"\n";
    return text;
}

// The level-0 samples that `runs` earlier -q runs leave for units
// 1..units, a minute apart from T0, each holding its unit's number.
inline std::vector<Record> earlier_runs(int units, int runs)
{
    std::vector<Record> out;
    for (int u = 1; u <= units; u++)
        for (int i = 0; i < runs; i++)
            out.push_back(sample_record(u, 0, T0 + 60 * i, u));
    return out;
}

inline uint64_t key_number(const SampleKey &k)
{
    return static_cast<uint64_t>(k.unit) << 48 | static_cast<uint64_t>(k.level) << 32 | k.ts;
}

// Whether every record of want is in have, unchanged.
inline testing::AssertionResult holds_all(const std::vector<Record> &have,
                                          const std::vector<Record> &want)
{
    std::map<uint64_t, const Record *> index;
    for (const Record &h : have)
        index[key_number(h.key)] = &h;
    size_t missing = 0;
    for (const Record &w : want) {
        auto found = index.find(key_number(w.key));
        if (found == index.end() || !same_record(*found->second, w))
            missing++;
    }
    if (missing == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << missing << " of " << want.size() << " records missing";
}

// Reads lines of a run's output until count of them hold text; the number
// of such lines read.
inline int read_until(FILE *out, const char *text, int count)
{
    char line[4096];
    int seen = 0;
    while (seen < count && fgets(line, sizeof line, out) != nullptr)
        if (strstr(line, text) != nullptr)
            seen++;
    return seen;
}

// Reads a run's output to its end, closes it and waits for the run: its
// exit status, 128 + the signal when one ended it.
inline int finish(pid_t pid, FILE *out)
{
    char buf[4096];
    while (fread(buf, 1, sizeof buf, out) > 0) {
    }
    fclose(out);
    int st = 0;
    if (waitpid(pid, &st, 0) != pid)
        return -1;
    return shell_status(st);
}

// faketime's semaphore and shared memory files of process pid (see
// tests/frozen-clock): one killed under faketime leaves them, and a later
// process that gets its number cannot start.
inline void clear_faketime_files(pid_t pid)
{
    unlink(("/dev/shm/faketime_shm_" + std::to_string(pid)).c_str());
    unlink(("/dev/shm/sem.faketime_sem_" + std::to_string(pid)).c_str());
}

// Those of every process that is gone.
inline void clear_dead_faketime_files()
{
    DIR *d = opendir("/dev/shm");
    if (d == nullptr)
        return;
    while (const dirent *e = readdir(d)) {
        long pid;
        if (sscanf(e->d_name, "sem.faketime_sem_%ld", &pid) != 1 &&
            sscanf(e->d_name, "faketime_shm_%ld", &pid) != 1)
            continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
}

class EndToEnd : public Test
{
  protected:
    // Quick runs write fixed files in /tmp, only over files of this user.
    // The configuration files that tests write must pass the run's check of
    // their writers whatever umask the tests were started with.
    void SetUp() override
    {
        umask(022);
        unlink(QUICK_CONFIG_PATH);
        unlink(QUICK_IMAGE_FILE);
        clear_dead_faketime_files();
    }
    void TearDown() override
    {
        unlink(QUICK_CONFIG_PATH);
        unlink(QUICK_IMAGE_FILE);
    }

    std::string path(const std::string &name) const { return work_.path(name); }

    void put(const std::string &name, const std::string &text) const
    {
        write_file(path(name), text);
    }

    // Runs the binary with args (shell words) in the work folder; at a
    // frozen clock when at is not 0. setup is shell text run first (limits,
    // traps); wrapper comes right before the binary (another user).
    Result run(const std::string &args, uint32_t at = 0, const std::string &setup = "",
               const std::string &wrapper = "") const
    {
        std::string cmd = std::string("cd ") + dir + " && " + setup + " TZ=UTC ";
        if (at != 0)
            // libfaketime goes in front of the sanitizer runtime.
            cmd += "ASAN_OPTIONS=verify_asan_link_order=0 " + frozen_clock(at);
        cmd +=
            wrapper + std::string(DORVANE_BINARY) + " " + args + " >out.txt 2>err.txt </dev/null";
        Result r;
        r.status = shell_status(system(cmd.c_str()));
        r.out = read_file(path("out.txt"));
        r.err = read_file(path("err.txt"));
        return r;
    }

    // Starts the binary in the work folder with args, its standard output
    // into a pipe of one page that out reads (the run blocks as soon as the
    // test stops reading), its standard error into err.txt, with SIGTERM,
    // SIGINT and SIGHUP at their default but for ignored (0: none). The
    // process id, or -1.
    pid_t start(const std::vector<const char *> &args, FILE **out, int ignored = 0) const
    {
        int fds[2];
        if (pipe(fds) != 0 || fcntl(fds[0], F_SETPIPE_SZ, 4096) < 0)
            return -1;
        std::vector<char *> argv{const_cast<char *>("dorvane")};
        for (const char *a : args)
            argv.push_back(const_cast<char *>(a));
        argv.push_back(nullptr);
        const std::string err = path("err.txt");
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fds[1], 1) < 0 || dup2(fd, 2) < 0 || chdir(dir.c_str()) != 0)
                _exit(99);
            for (int sig : {SIGTERM, SIGINT, SIGHUP})
                signal(sig, sig == ignored ? SIG_IGN : SIG_DFL);
            execv(DORVANE_BINARY, argv.data());
            _exit(98);
        }
        close(fds[1]);
        *out = fdopen(fds[0], "r");
        if (pid < 0 || *out == nullptr)
            return -1;
        return pid;
    }

    TempDir work_;
    // The work folder, for shell commands and system calls.
    const std::string dir = work_.path();
};

} // namespace dorvane::testing_util

#endif // DORVANE_RUN_E2E_TEST_UTIL_H_
