// The test toolkit that every test file shares: the base fixture that puts
// every process-wide setting back, a temporary folder, files read and
// written whole, shell commands and children whose output is collected,
// the library's checker and lock table, the bytes of the library's file
// that tests poke, and table rows that print and name themselves by their
// `name`. docs/testing.md says which to use where.
#ifndef DORVANE_TESTING_TEST_UTIL_H_
#define DORVANE_TESTING_TEST_UTIL_H_

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/common.h"
#include "config/config.h"
#include "run/run.h"
#include "store/bdb.h"
#include "store/store.h"

namespace dorvane::testing_util {

// --- Process-wide settings ----------------------------------------------------

// The values that the program starts with, read before any test runs
// (their variables are constant-initialised): a test that lowers a budget
// or swaps the shell gets them back from here.
struct ProcessDefaults {
    unsigned watchdog_seconds;
    uint32_t btree_commit_changes;
    uint64_t data_pack_bytes;
    const char *query_shell;
};
inline const ProcessDefaults PROCESS_DEFAULTS{watchdog_seconds, btree_commit_changes,
                                              data_pack_bytes, query_shell};

// Puts every setting that the layers keep for the whole process back as the
// program starts: the verbosity, the collect table and its timeout, the
// store's fault hook, commit size and packing size, the watchdog's timer
// and budget, the shell of the queries, and the run's stop request.
inline void reset_process_state()
{
    verbosity = 0;
    collect_reset();
    btree_fail_reset();
    btree_commit_changes = PROCESS_DEFAULTS.btree_commit_changes;
    data_pack_bytes = PROCESS_DEFAULTS.data_pack_bytes;
    watchdog_disarm();
    watchdog_seconds = PROCESS_DEFAULTS.watchdog_seconds;
    query_shell = PROCESS_DEFAULTS.query_shell;
    stop_signal = 0;
    run_command_group = 0;
}

// The base of every fixture: each test starts and ends with the settings
// as the program starts. Done in the constructor and destructor, so that a
// fixture's own SetUp and TearDown need not call up.
class Test : public ::testing::Test
{
  protected:
    Test() { reset_process_state(); }
    ~Test() override { reset_process_state(); }
};

template <class Param>
class TestWithParam : public Test, public ::testing::WithParamInterface<Param>
{
};

// --- Table rows ---------------------------------------------------------------

// A row of a table prints as its name in gtest's listings and failures
// (instead of a dump of its bytes). Each test file makes it visible next to
// its rows with `using testing_util::PrintTo;`.
template <class Row>
requires requires(const Row &row)
{
    std::string(row.name);
}
void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

// The fourth argument of INSTANTIATE_TEST_SUITE_P for rows with a name in
// words: the test is listed as <Test>/<name>.
struct RowName {
    template <class Row> std::string operator()(const ::testing::TestParamInfo<Row> &info) const
    {
        return std::string(info.param.name);
    }
};
inline constexpr RowName row_name{};

// The usage line that the run prints after refusing its command line:
// tests of the options and of the whole binary compare it whole.
inline const std::string USAGE = "usage: dorvane [-v] [-c config ] [ -C configdir ] [-d data] "
                                 "[ -g number:timeframe ] [-p] [-q] [-t days[:days]] [-f file]\n";

// --- Files and folders --------------------------------------------------------

// The whole file; "" when it cannot be read.
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

// Writes text as the whole file; a new file gets the mode that fopen gives.
inline void write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path << ": " << strerror(errno);
    EXPECT_EQ(fwrite(text.data(), 1, text.size(), f), text.size()) << path;
    EXPECT_EQ(fclose(f), 0) << path;
}

// The same, then the file gets mode.
inline void write_file(const std::string &path, const std::string &text, mode_t mode)
{
    write_file(path, text);
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path << ": " << strerror(errno);
}

// A folder under /tmp, removed with everything in it, also what a test
// made read-only.
class TempDir
{
  public:
    TempDir()
    {
        char tmpl[] = "/tmp/dorvane-test-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        path_ = tmpl;
    }
    ~TempDir()
    {
        nftw(
            path_.c_str(),
            [](const char *p, const struct stat *st, int type, FTW *) {
                if (type == FTW_D)
                    chmod(p, st->st_mode | S_IRWXU);
                return 0;
            },
            16, FTW_PHYS);
        nftw(
            path_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); },
            16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // The folder, and a name in it.
    const std::string &path() const { return path_; }
    std::string path(const std::string &name) const { return path_ + "/" + name; }

    // The names in the folder, sorted.
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        if (DIR *dir = opendir(path_.c_str())) {
            while (const struct dirent *e = readdir(dir))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    out.push_back(e->d_name);
            closedir(dir);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    std::string path_;
};

// --- Commands and children ----------------------------------------------------

// A wait status as a shell gives it: the exit status, 128 + the signal
// that ended the process.
inline int shell_status(int st)
{
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

struct CommandResult {
    int status; // as shell_status gives it; -1 when the shell could not start
    std::string out;
};

// Runs command through sh in a child of this process and reads its
// standard output (add 2>&1 for its standard error).
inline CommandResult run_command(const std::string &command)
{
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return {-1, ""};
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return {shell_status(pclose(p)), out};
}

// db5.3_verify's verdict on a store: "" when it accepts it, else what it
// said.
inline std::string verify(const std::string &path)
{
    const CommandResult r = run_command("db5.3_verify -q '" + path + "' 2>&1");
    if (r.status != 0 && r.out.empty())
        return "db5.3_verify exit " + std::to_string(r.status);
    return r.out;
}

// Whether /proc/locks shows a process (pid; 0: any) waiting for an flock on
// the file with inode ino.
inline bool lock_waiter(ino_t ino, pid_t pid = 0)
{
    const std::string inode = ":" + std::to_string(ino) + " ";
    const std::string process = " " + std::to_string(pid) + " ";
    const std::string locks = read_file("/proc/locks");
    for (size_t start = 0, end; start < locks.size(); start = end + 1) {
        end = std::min(locks.find('\n', start), locks.size());
        const std::string line = locks.substr(start, end - start);
        if (line.find("-> FLOCK") != std::string::npos && line.find(inode) != std::string::npos &&
            (pid == 0 || line.find(process) != std::string::npos))
            return true;
    }
    return false;
}

// What a function run in a child process gave.
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
    const std::string out = dir.path("child.out"), err = dir.path("child.err");
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        close(o);
        close(e);
        const int rc = body();
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

// --- The library's file -------------------------------------------------------

// Bytes of Berkeley DB's btree file that tests read or change, in the
// host's byte order: fields of the first page (the library's DBMETA) and
// of the header of every other page (its PAGE).
constexpr size_t META_PAGE_SIZE_AT = 20;    // uint32: the page size
constexpr size_t META_LAST_PAGE_AT = 32;    // uint32: the number of the last page
constexpr size_t META_FILE_ID_AT = 52;      // the file's unique id, of
constexpr size_t META_FILE_ID_SIZE = 20;    // this many bytes
constexpr size_t PAGE_PREV_AT = 12;         // uint32: the page before it on its level
constexpr size_t PAGE_NEXT_AT = 16;         // uint32: the page after it
constexpr size_t PAGE_TYPE_AT = 25;         // byte: what the page holds
constexpr unsigned char PAGE_TYPE_LEAF = 5; // a btree leaf

// A uint32 of the file's bytes at offset at; 0 past the end.
inline uint32_t file_u32(const std::string &bytes, size_t at)
{
    uint32_t v = 0;
    if (bytes.size() >= at + sizeof v)
        memcpy(&v, bytes.data() + at, sizeof v);
    return v;
}

// The store's page size, from its first page; 0 for a file too short. The
// library takes it from the file system when it creates a store.
inline uint32_t store_page_size(const std::string &bytes)
{
    return file_u32(bytes, META_PAGE_SIZE_AT);
}

} // namespace dorvane::testing_util

#endif // DORVANE_TESTING_TEST_UTIL_H_
