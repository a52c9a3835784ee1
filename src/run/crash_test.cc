// Crashes at every moment of a run. A run of the real binary is recorded
// (tests/crash_record.c: every write, truncation, creation, sync, rename
// and removal in the store's folder), then the folder is rebuilt as a crash
// after each recorded step would leave it: a process death keeps every
// step up to there; a power loss keeps what was synced and, of the rest,
// each page written and each folder change at random. On each such folder
// the store is opened (which recovers it), must verify, must hold exactly
// the records of a commit (the last one before the crash or the one being
// written, never a mix), and the next cron run must succeed on it.
//
// `make crash` (DORVANE_CRASH_FULL=1) rebuilds every step, with five power
// losses after each; `make check` a sample, over a thousand states.
#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run/e2e_test_util.h"

namespace dorvane {
namespace {

using namespace testing_util;

bool full_run()
{
    const char *f = getenv("DORVANE_CRASH_FULL");
    return f != nullptr && *f != '\0' && strcmp(f, "0") != 0;
}

// --- The recorded steps ------------------------------------------------------

enum class Kind : unsigned char { create = 1, trunc, write, sync, dirsync, unlink, rename };

struct Step {
    Kind kind;
    std::string name;
    uint64_t off;     // write: offset; trunc: size
    std::string data; // write: bytes; rename: the new name
};

// The log of one run, its writes cut into pieces of at most a page: a
// process may die between any two pages of a long write.
std::vector<Step> read_log(const std::string &path)
{
    std::string log = read_file(path);
    std::vector<Step> steps;
    size_t at = 0;
    auto take = [&](void *out, size_t n) {
        if (at + n > log.size())
            return false;
        memcpy(out, log.data() + at, n);
        at += n;
        return true;
    };
    for (;;) {
        unsigned char op;
        uint32_t n;
        uint64_t off, len;
        if (!take(&op, 1) || !take(&n, 4))
            break;
        std::string name = log.substr(at, n);
        at += n;
        if (!take(&off, 8) || !take(&len, 8))
            break;
        const auto kind = static_cast<Kind>(op);
        std::string data;
        if (kind == Kind::write || kind == Kind::rename) {
            data = log.substr(at, len);
            at += len;
        }
        if (kind != Kind::write) {
            steps.push_back({kind, name, off, data});
            continue;
        }
        for (size_t done = 0; done < data.size(); done += 4096)
            steps.push_back({kind, name, off + done, data.substr(done, 4096)});
    }
    return steps;
}

// --- The folder as the disk holds it -------------------------------------

struct Inode {
    std::string now;                 // as the process sees it
    std::string durable;             // as of its last sync
    std::vector<const Step *> since; // writes and truncations since then
};

struct Entry {
    Kind kind;
    std::string name, to;
    int inode; // create
};

void apply_data(std::string &file, const Step &s)
{
    if (s.kind == Kind::trunc) {
        file.resize(s.off);
        return;
    }
    if (file.size() < s.off + s.data.size())
        file.resize(s.off + s.data.size());
    file.replace(s.off, s.data.size(), s.data);
}

struct Folder {
    std::vector<Inode> inodes;
    std::map<std::string, int> names;         // as the process sees them
    std::map<std::string, int> durable_names; // as of the folder's last sync
    std::vector<Entry> since;                 // folder changes since then

    explicit Folder(const std::map<std::string, std::string> &files)
    {
        for (const auto &[name, bytes] : files) {
            names[name] = static_cast<int>(inodes.size());
            inodes.push_back({bytes, bytes, {}});
        }
        durable_names = names;
    }

    void step(const Step &s)
    {
        auto found = names.find(s.name);
        switch (s.kind) {
        case Kind::create:
            names[s.name] = static_cast<int>(inodes.size());
            since.push_back({s.kind, s.name, "", static_cast<int>(inodes.size())});
            inodes.push_back({});
            break;
        case Kind::write:
        case Kind::trunc:
            if (found == names.end())
                break;
            apply_data(inodes[found->second].now, s);
            inodes[found->second].since.push_back(&s);
            break;
        case Kind::sync:
            if (found != names.end()) {
                Inode &i = inodes[found->second];
                i.durable = i.now;
                i.since.clear();
            }
            break;
        case Kind::dirsync:
            durable_names = names;
            since.clear();
            break;
        case Kind::unlink:
            names.erase(s.name);
            since.push_back({s.kind, s.name, "", -1});
            break;
        case Kind::rename:
            if (found != names.end()) {
                names[s.data] = found->second;
                names.erase(s.name);
            }
            since.push_back({s.kind, s.name, s.data, -1});
            break;
        }
    }

    // What a process death leaves: every step.
    std::map<std::string, std::string> after_death() const
    {
        std::map<std::string, std::string> out;
        for (const auto &[name, inode] : names)
            out[name] = inodes[inode].now;
        return out;
    }

    // What a power loss leaves: what was synced; of the folder's changes
    // since its sync, the first few (the file system keeps them in order);
    // of each file's writes since its sync, any.
    std::map<std::string, std::string> after_power_loss(std::mt19937 &rng) const
    {
        std::map<std::string, int> kept = durable_names;
        const size_t n = std::uniform_int_distribution<size_t>(0, since.size())(rng);
        for (size_t i = 0; i < n; i++) {
            const Entry &e = since[i];
            if (e.kind == Kind::create) {
                kept[e.name] = e.inode;
            } else if (e.kind == Kind::unlink) {
                kept.erase(e.name);
            } else if (auto f = kept.find(e.name); f != kept.end()) {
                kept[e.to] = f->second;
                kept.erase(e.name);
            }
        }
        std::map<std::string, std::string> out;
        std::bernoulli_distribution coin(0.5);
        for (const auto &[name, inode] : kept) {
            std::string bytes = inodes[inode].durable;
            for (const Step *s : inodes[inode].since)
                if (coin(rng))
                    apply_data(bytes, *s);
            out[name] = bytes;
        }
        return out;
    }
};

// --- The harness ------------------------------------------------------------

constexpr int UNITS = 8;
const char *const STORE = "s.db";
const char *const TARGET = "copy.db";

// Samples of units 1..UNITS, one a minute from T0, as runs before the
// recorded ones would have left them (consolidated by the real code).
void earlier_runs(const std::string &store, int runs)
{
    ASSERT_EQ(data_open(store.c_str()), 0);
    for (int i = 0; i < runs; i++)
        for (int u = 1; u <= UNITS; u++)
            ASSERT_EQ(data_put_value(0, T0 + 60 * i, u, u % 2, 0, u * 1000.0 + i), 0);
    ASSERT_EQ(data_close(), 0);
}

std::string collects()
{
    std::string text;
    for (int u = 1; u <= UNITS; u++)
        text += "collect " + std::to_string(u) + " = \"echo " + std::to_string(u * 7) + "\"" +
                (u % 2 ? " tdiff" : "") + "\n";
    return text;
}

std::map<std::string, std::string> files_of(const std::string &dir)
{
    std::map<std::string, std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_type == DT_REG)
            out[e->d_name] = read_file(dir + "/" + e->d_name);
    }
    closedir(d);
    return out;
}

// Makes dir hold exactly files (a flat folder).
void put_files(const std::string &dir, const std::map<std::string, std::string> &files)
{
    mkdir(dir.c_str(), 0755);
    for (const auto &[name, bytes] : files_of(dir))
        ASSERT_EQ(unlink((dir + "/" + name).c_str()), 0);
    for (const auto &[name, bytes] : files) {
        int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
}

// The records of the store file in files (none when it is absent or empty).
std::vector<Record> records_of(const std::string &scratch,
                               const std::map<std::string, std::string> &files,
                               const std::string &name)
{
    auto f = files.find(name);
    if (f == files.end() || f->second.empty())
        return {};
    put_files(scratch, {{name, f->second}});
    return dump(scratch + "/" + name);
}

// The library's verdict on a store, as db5.3_verify gives it, without a
// process of its own: "" when it accepts the file, else what it says.
std::string verified(const std::string &path)
{
    static std::string said;
    said.clear();
    DB *db = nullptr;
    if (db_create(&db, nullptr, 0) != 0)
        return "db_create failed";
    db->set_errcall(db, [](const DB_ENV *, const char *, const char *msg) {
        said += msg;
        said += "\n";
    });
    // The handle is gone after the call, whatever its result.
    int r = db->verify(db, path.c_str(), nullptr, nullptr, 0);
    if (r != 0 && said.empty())
        said = "verify: " + std::string(db_strerror(r)) + "\n";
    return said;
}

bool same_records(const std::vector<Record> &a, const std::vector<Record> &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_record);
}

// Counts of what the recorded runs covered.
struct Tally {
    int states = 0;
    int deaths = 0;
    int power_losses = 0;
    int replayed = 0; // states whose open completed a commit from its journal
};

class Crash : public EndToEnd
{
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        verbosity = 0;
        char real[PATH_MAX];
        ASSERT_NE(realpath(dir.c_str(), real), nullptr);
        work = std::string(real) + "/work";
        scratch = std::string(real) + "/scratch";
        ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(scratch.c_str(), 0755), 0);
    }

    // Runs the binary in the work folder at a frozen clock, recording what
    // it changes there; env comes first (more variables).
    Result recorded(const std::string &args, uint32_t at, const std::string &env = "")
    {
        std::string log = path("steps.log");
        unlink(log.c_str());
        std::string cmd = "cd '" + work + "' && " + env + " CRASH_DIR='" + work + "' CRASH_LOG='" +
                          log + "' LD_PRELOAD='" + CRASH_RECORDER +
                          "' ASAN_OPTIONS=verify_asan_link_order=0 TZ=UTC " + frozen_clock(at) +
                          DORVANE_BINARY + " " + args + " >../out.txt 2>../err.txt </dev/null";
        Result r;
        r.status = shell_status(system(cmd.c_str()));
        r.out = read_file(path("out.txt"));
        r.err = read_file(path("err.txt"));
        return r;
    }

    // The next cron run on a rebuilt folder.
    Result next_run(const std::string &folder, uint32_t at)
    {
        std::string cmd = "cd '" + folder + "' && ASAN_OPTIONS=verify_asan_link_order=0 TZ=UTC " +
                          frozen_clock(at) + DORVANE_BINARY + " -q -c c.conf -d " + STORE +
                          " >../out.txt 2>../err.txt </dev/null";
        Result r;
        r.status = shell_status(system(cmd.c_str()));
        r.err = read_file(path("err.txt"));
        return r;
    }

    // Runs args once, recorded, and checks the crash states of the run:
    // `checked` is the store whose commits are followed. Then the work
    // folder holds what the run left.
    void crash_states(const std::string &args, uint32_t at, const std::string &checked,
                      size_t sample, Tally *tally)
    {
        const std::map<std::string, std::string> before = files_of(work);
        Result r = recorded(args, at);
        ASSERT_EQ(r.status, 0) << args << ": " << r.err;
        ASSERT_EQ(r.err, "");
        const std::vector<Step> steps = read_log(path("steps.log"));
        ASSERT_FALSE(steps.empty());

        // The commits, in order: the file as each sync of it left it.
        std::vector<std::vector<Record>> commits{records_of(scratch, before, checked)};
        std::vector<size_t> commit_at; // the step that ends each commit
        {
            Folder f(before);
            for (size_t i = 0; i < steps.size(); i++) {
                f.step(steps[i]);
                if (steps[i].kind == Kind::sync && steps[i].name == checked) {
                    commits.push_back(records_of(scratch, f.after_death(), checked));
                    commit_at.push_back(i + 1);
                }
            }
        }
        ASSERT_FALSE(commit_at.empty()) << args << ": no commit recorded";
        EXPECT_TRUE(same_records(commits.back(), records_of(scratch, files_of(work), checked)));

        // Every prefix in a full run, else an even sample, the ends included.
        std::vector<size_t> points;
        const size_t n = steps.size() + 1;
        const size_t count = full_run() ? n : std::min(n, sample);
        for (size_t i = 0; i < count; i++)
            points.push_back(count == 1 ? n - 1 : i * (n - 1) / (count - 1));
        points.erase(std::unique(points.begin(), points.end()), points.end());

        std::mt19937 rng(static_cast<unsigned>(at));
        Folder f(before);
        size_t done = 0;
        for (size_t k : points) {
            while (done < k)
                f.step(steps[done++]);
            // The last commit that ended at or before k, and the next one.
            size_t last =
                std::upper_bound(commit_at.begin(), commit_at.end(), k) - commit_at.begin();
            const int variants = full_run() ? 5 : 1;
            check_state(f.after_death(), checked, commits, last, at, "death", k, tally);
            tally->deaths++;
            for (int v = 0; v < variants; v++) {
                check_state(f.after_power_loss(rng), checked, commits, last, at, "power loss", k,
                            tally);
                tally->power_losses++;
            }
            if (HasFatalFailure() || testing::Test::HasFailure())
                return;
        }
    }

    void check_state(const std::map<std::string, std::string> &files, const std::string &checked,
                     const std::vector<std::vector<Record>> &commits, size_t last, uint32_t at,
                     const char *kind, size_t k, Tally *tally)
    {
        tally->states++;
        const std::string folder = std::string(dir) + "/state";
        put_files(folder, files);
        SCOPED_TRACE(std::string(kind) + " after step " + std::to_string(k) + " of the run at " +
                     std::to_string(at));
        const std::string store = folder + "/" + checked;

        // Opening the store brings it back to a commit.
        testing::internal::CaptureStdout();
        verbosity = 1;
        ASSERT_EQ(data_open(store.c_str(), true), 0);
        verbosity = 0;
        ASSERT_EQ(data_close(), 0);
        if (testing::internal::GetCapturedStdout().find("completed") != std::string::npos)
            tally->replayed++;
        EXPECT_EQ(access((store + ".journal").c_str(), F_OK), -1) << "journal left";
        EXPECT_EQ(verified(store), "");
        const std::vector<Record> got = dump(store);
        bool match = same_records(got, commits[last]) ||
                     (last + 1 < commits.size() && same_records(got, commits[last + 1]));
        EXPECT_TRUE(match) << got.size() << " records, commit " << last << " has "
                           << commits[last].size();

        // And the next cron run takes it as it is.
        if (checked == STORE) {
            Result r = next_run(folder, at + 30);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(verified(store), "");
        }
    }

    std::string work, scratch;
};

// Twelve cron runs on a store of 8 units with 400 runs behind it (made
// the way today's version wrote its stores; the pages of these units
// split in the runs after), then a truncation that deletes most raw
// samples, a copy into a new file and a copy that adds to an existing one.
TEST_F(Crash, EveryStateOfARunLeavesACommit)
{
    const int behind = 400;
    const uint32_t start = T0 + 60 * behind;
    earlier_runs(work + "/" + STORE, behind);
    put("work/c.conf", collects());
    Tally tally;
    const size_t sample = 28;

    size_t grew = 0, climbed = 0;
    for (int run = 0; run < 12; run++) {
        const size_t size_before = read_file(work + "/" + STORE).size();
        const std::vector<Record> records_before = dump(work + "/" + STORE);
        ASSERT_NO_FATAL_FAILURE(
            crash_states("-q -c c.conf -d s.db", start + 60 * run, STORE, sample, &tally));
        if (HasFailure())
            return;
        std::vector<Record> after = dump(work + "/" + STORE);
        grew += read_file(work + "/" + STORE).size() > size_before;
        auto summaries = [](const std::vector<Record> &rs) {
            return std::count_if(rs.begin(), rs.end(), [](const Record &r) {
                return r.key.level > 0 && r.key.level != LAST_LEVEL;
            });
        };
        climbed += summaries(after) > summaries(records_before);
    }
    EXPECT_GT(grew, 0u) << "no run split a page";
    EXPECT_GT(climbed, 0u) << "no run climbed a level";

    // Raw samples older than a day go: all of them, the last day's aside.
    ASSERT_NO_FATAL_FAILURE(crash_states("-t 1:365 -c c.conf -d s.db", start + 86400 + 3600, STORE,
                                         4 * sample, &tally));
    ASSERT_NO_FATAL_FAILURE(crash_states("-f copy.db -c c.conf -d s.db", start + 2 * 86400, TARGET,
                                         2 * sample, &tally));
    // A second copy adds to the first: the target holds records already.
    ASSERT_NO_FATAL_FAILURE(crash_states("-q -f copy.db -c c.conf -d s.db", start + 3 * 86400,
                                         TARGET, 2 * sample, &tally));

    printf("crash states: %d (%d process deaths, %d power losses), %d completed from a journal\n",
           tally.states, tally.deaths, tally.power_losses, tally.replayed);
    EXPECT_GE(tally.states, full_run() ? 3000 : 1000);
    EXPECT_GT(tally.replayed, 0);
}

// A run killed after its commit reached the store, before it removed the
// journal: the journal is there, made like the store (its owner and mode,
// so that it shows no one the store's pages who may not read the store),
// and the next run finishes with it.
TEST_F(Crash, JournalIsMadeLikeTheStoreAndGoesWithTheNextOpen)
{
    const std::string store = work + "/" + STORE;
    earlier_runs(store, 20);
    put("work/c.conf", collects());
    ASSERT_EQ(chmod(store.c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(store.c_str(), 4321, 4322), 0);
    }
    // Its samples; the last values change with every run.
    std::vector<Record> before = dump(store);
    std::erase_if(before, [](const Record &rec) { return rec.key.level == LAST_LEVEL; });

    Result r = recorded("-q -c c.conf -d s.db", T0 + 60 * 20, "CRASH_KILL_UNLINK=s.db.journal");
    EXPECT_NE(r.status, 0) << "the run was not killed";
    struct stat st;
    ASSERT_EQ(stat((store + ".journal").c_str(), &st), 0) << "no journal left by the killed run";
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
    }

    r = next_run(work, T0 + 60 * 21);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(access((store + ".journal").c_str(), F_OK), -1);
    EXPECT_EQ(verified(store), "");
    const std::vector<Record> after = dump(store);
    EXPECT_TRUE(holds_all(after, before));
    // The plain units (the others went backwards, and store nothing then).
    for (int u = 2; u <= UNITS; u += 2) {
        EXPECT_EQ(std::count_if(after.begin(), after.end(),
                                [u](const Record &rec) {
                                    return rec.key.unit == u && rec.key.level == 0 &&
                                           rec.key.ts >= T0 + 60 * 20;
                                }),
                  2)
            << "unit " << u << ": the killed run's sample and the next run's";
    }
}

// A truncation that compacts: two days of one-minute runs of 8 units (made
// in their real order, each run a sample of every unit, so that the pages
// they split stay half full), then a -t that deletes three quarters of the
// raw samples, refills the pages and cuts the file to a third. Every
// crash state holds the records of the truncation's commit or the one
// before it, and verifies.
TEST_F(Crash, EveryStateOfACompactingTruncationLeavesACommit)
{
    const int behind = 2 * 1440;
    earlier_runs(work + "/" + STORE, behind);
    put("work/c.conf", collects());
    const size_t size_before = read_file(work + "/" + STORE).size();
    Tally tally;
    ASSERT_NO_FATAL_FAILURE(crash_states("-t 1:365 -c c.conf -d s.db", T0 + 60 * behind + 43200,
                                         STORE, full_run() ? 400 : 90, &tally));
    const size_t size_after = read_file(work + "/" + STORE).size();
    EXPECT_LT(size_after * 2, size_before) << size_before << " -> " << size_after;
    printf("crash states of a compacting truncation: %d, %d completed from a journal; file %zu -> "
           "%zu bytes\n",
           tally.states, tally.replayed, size_before, size_after);
    EXPECT_GT(tally.replayed, 0);
}

// libfaketime, to start the binary itself at a frozen clock: the faketime
// command would put a process of its own between the test and the run.
std::string faketime_library()
{
    glob_t g;
    std::string found;
    if (glob("/usr/lib/*/faketime/libfaketime.so.1", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
        found = g.gl_pathv[0];
    globfree(&g);
    return found;
}

// The binary on the work folder at a frozen clock, started in the
// background.
pid_t start_run(const std::string &folder, uint32_t at, const std::string &faketime,
                const std::string &args)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (chdir(folder.c_str()) != 0)
        _exit(99);
    // What a killed process of the same number left.
    clear_faketime_files(getpid());
    setenv("TZ", "UTC", 1);
    setenv("LD_PRELOAD", faketime.c_str(), 1);
    setenv("FAKETIME", ("@" + clock_text(at)).c_str(), 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    const std::string cmd = "exec " + std::string(DORVANE_BINARY) + " " + args;
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
    _exit(98);
}

double now_us()
{
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs args, and kills the run `delay` µs after its journal appears (never
// when delay is negative). Whether the kill came while the run still ran,
// and, when it was let be, how long its journal was there.
struct Kill {
    bool killed;
    double journal_for;
};

Kill run_and_kill(const std::string &folder, const std::string &journal, uint32_t at,
                  const std::string &faketime, const std::string &args, double delay)
{
    pid_t pid = start_run(folder, at, faketime, args);
    double seen = 0, gone = 0;
    int st = 0;
    for (;;) {
        if (waitpid(pid, &st, WNOHANG) == pid)
            break;
        const double now = now_us();
        const bool there = access(journal.c_str(), F_OK) == 0;
        if (seen == 0 && there)
            seen = now;
        if (seen != 0 && gone == 0 && !there)
            gone = now;
        if (seen != 0 && delay >= 0 && now >= seen + delay)
            kill(pid, SIGKILL);
        // Finer than the commit takes, and light on the processor the
        // run needs until then.
        if (seen == 0)
            usleep(20);
    }
    Kill k{WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL, gone - seen};
    // libfaketime removes its files at exit; after a kill that is ours.
    clear_faketime_files(pid);
    EXPECT_TRUE(k.killed || (WIFEXITED(st) && WEXITSTATUS(st) == 0)) << args;
    return k;
}

// Real kills, at random moments of a large commit: a truncation that
// deletes nearly every record of a store of 10,000, each time on the same
// store. The moment its journal appears, plus up to the time its commit
// takes. The store keeps all the truncation or none of it, and verifies.
TEST_F(Crash, KilledInItsCommitLeavesACommit)
{
    const std::string faketime = faketime_library();
    if (faketime.empty())
        GTEST_SKIP() << "libfaketime not found";
    put("work/c.conf", "");
    const std::string store = work + "/" + STORE;
    const std::string journal = store + ".journal";
    ASSERT_EQ(data_open(store.c_str()), 0);
    for (int i = 0; i < 500; i++)
        for (int u = 1; u <= 20; u++)
            ASSERT_EQ(data_put_value(0, T0 + 60 * i, u, 0, 0, u * 1.5), 0);
    ASSERT_EQ(data_close(), 0);
    const std::string original = read_file(store);
    const std::vector<Record> before = dump(store);
    const uint32_t at = T0 + 86400 + 60 * 490; // raw samples but the last ten go
    const std::string args = "-t 1:365 -c c.conf -d s.db";

    // Untouched runs say what the truncation leaves and how long its
    // commit takes.
    std::vector<double> windows;
    for (int i = 0; i < 5; i++) {
        put_files(work, {{STORE, original}, {"c.conf", ""}});
        windows.push_back(run_and_kill(work, journal, at, faketime, args, -1).journal_for);
    }
    std::sort(windows.begin(), windows.end());
    const double window = windows[windows.size() / 2];
    printf("journal there for %.0f to %.0f us\n", windows.front(), windows.back());
    const std::vector<Record> after = dump(store);
    ASSERT_LT(after.size(), before.size() / 2);

    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> delay(0, window);
    int kills = 0, whole = 0, none = 0, replayed = 0;
    for (int round = 0; kills < 200 && round < 1000; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        put_files(work, {{STORE, original}, {"c.conf", ""}});
        Kill k = run_and_kill(work, journal, at, faketime, args, delay(rng));
        ASSERT_FALSE(HasFailure());
        testing::internal::CaptureStdout();
        verbosity = 1;
        ASSERT_EQ(data_open(store.c_str(), true), 0);
        verbosity = 0;
        ASSERT_EQ(data_close(), 0);
        replayed += testing::internal::GetCapturedStdout().find("completed") != std::string::npos;
        ASSERT_EQ(verified(store), "");
        const std::vector<Record> got = dump(store);
        const bool is_after = same_records(got, after);
        ASSERT_TRUE(is_after || same_records(got, before))
            << got.size() << " records, not " << before.size() << " or " << after.size();
        if (k.killed) {
            kills++;
            (is_after ? whole : none)++;
        }
    }
    printf("kills in a commit: %d (truncation kept whole %d times, %d of them completed from "
           "the journal; not at all %d)\n",
           kills, whole, replayed, none);
    EXPECT_GE(kills, 200);
    EXPECT_GT(replayed, 0);
    EXPECT_GT(none, 0);
}

} // namespace
} // namespace dorvane
