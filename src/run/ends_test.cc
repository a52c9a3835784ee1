// Every run ends, on the real binary: collect commands that do not end by
// their deadline, and SIGTERM, SIGINT and SIGHUP in each phase. The store
// verifies and keeps what earlier runs stored, and no process of an ended
// command and no temporary file is left.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "run/e2e_test_util.h"

namespace dorvane {
namespace {

using namespace testing_util;

using Clock = std::chrono::steady_clock;

// Whether the process group whose number the command wrote to the file
// name is gone (no process, zombies included).
testing::AssertionResult group_gone(const std::string &name)
{
    const int group = atoi(read_file(name).c_str());
    if (group <= 1)
        return testing::AssertionFailure() << name << " names no group";
    if (kill(-group, 0) == 0)
        return testing::AssertionFailure() << "group " << group << " still has a process";
    return testing::AssertionSuccess();
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Deadline : public EndToEnd
{};

// Commands that do not end by the deadline among commands that do, in a
// -q -p run at a frozen clock, while a second run waits for the store:
// the values printed in time are stored and drawn, nothing of the others
// (not even a last value), each ended command is named, no process of
// theirs is left, and the waiting run gets the store once the first is
// done, within the sum of its deadlines and a few seconds.
TEST_F(Deadline, HungCommandsAreEndedAndTheNextRunIsNotHeld)
{
    const uint32_t now = T0 + 600;
    const LastRecord last{0, T0, 100};
    Record earlier = sample_record(2, LAST_LEVEL, 0, 0);
    earlier.value.assign(reinterpret_cast<const unsigned char *>(&last),
                         reinterpret_cast<const unsigned char *>(&last) + sizeof last);
    fill(path("s.db"), {earlier});
    const char *hung[] = {
        "echo $$ >pg2; sleep 100000",               // never ends
        "echo $$ >pg3; echo 3; sleep 100000",       // prints, then lingers
        "echo $$ >pg4; trap '' TERM; sleep 100000", // ignores SIGTERM
        "echo $$ >pg5; sleep 100000 & printf 5",    // a child holds the pipe
    };
    std::string config = "timeout 1\ncollect 1 = \"echo 1\"\n";
    for (int u = 2; u <= 5; u++)
        config += "collect " + std::to_string(u) + " = \"" + hung[u - 2] + "\"" +
                  (u == 2 ? " tdiff\n" : "\n");
    config += "collect 6 = \"echo 6\"\n"
              "image \"a.png\" { from " +
              std::to_string(now - 3600) + " to " + std::to_string(now) +
              " left graph 1 \"x\" \"y\" color 0 0 0 }\n";
    put("c.conf", config);
    put("b.conf", "collect 7 = \"echo 7\"\n");

    const Clock::time_point start = Clock::now();
    // The status file appears whole, by rename.
    const std::string first = std::string("cd ") + dir +
                              " && (TZ=UTC ASAN_OPTIONS=verify_asan_link_order=0 " +
                              frozen_clock(now) + DORVANE_BINARY +
                              " -q -p -c c.conf -d s.db >a.out 2>a.err; echo $? >a.tmp;"
                              " mv a.tmp a.st) &";
    ASSERT_EQ(system(first.c_str()), 0);
    while (access(path("pg2").c_str(), F_OK) != 0 && seconds_since(start) < 30)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Result waiting = run("-q -c b.conf -d s.db", now + 60);
    const double waited = seconds_since(start);
    while (access(path("a.st").c_str(), F_OK) != 0 && seconds_since(start) < 30)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    EXPECT_EQ(read_file(path("a.st")), "1\n");
    EXPECT_EQ(read_file(path("a.out")), "");
    EXPECT_EQ(read_file(path("a.err")),
              "value_query: echo $$ >pg2; sleep 100000: no end after 1 seconds, ended\n"
              "value_query: echo $$ >pg3; echo 3; sleep 100000: no end after 1 seconds, ended\n"
              "value_query: echo $$ >pg4; trap '' TERM; sleep 100000: no end after 1 seconds, "
              "ended\n"
              "value_query: echo $$ >pg5; sleep 100000 & printf 5: no end after 1 seconds, "
              "ended\n");
    // The second run got the store only once the first had ended its four
    // commands (four deadlines, and the SIGKILL 2 seconds after one
    // SIGTERM), and then at once (room for a loaded machine).
    EXPECT_GT(waited, 6 - 0.5);
    EXPECT_LT(waited, 6 + 6.0);
    EXPECT_EQ(waiting.status, 0);
    EXPECT_EQ(waiting.out + waiting.err, "");
    for (const char *pg : {"pg2", "pg3", "pg4", "pg5"})
        EXPECT_TRUE(group_gone(path(pg)));
    EXPECT_EQ(verify(path("s.db")), "");
    const std::vector<Record> all = dump(path("s.db"));
    for (int u : {1, 3, 6, 7}) {
        const std::vector<Record> raw = select(all, u, 0);
        ASSERT_EQ(raw.size(), 1u) << u;
        EXPECT_EQ(raw[0].sample().avg, u);
    }
    for (int u : {2, 4, 5})
        EXPECT_TRUE(select(all, u, 0).empty()) << u;
    const std::vector<Record> lasts = select(all, 2, LAST_LEVEL);
    ASSERT_EQ(lasts.size(), 1u);
    EXPECT_TRUE(same_record(lasts[0], earlier));
    EXPECT_GT(read_file(path("a.png")).size(), 0u) << "the image was not drawn";
}

// Waits until the run has handled the signals sent to it.
void wait_handled(pid_t pid, Clock::time_point start)
{
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    while (read_file(status).find("ShdPnd:\t0000000000000000") == std::string::npos &&
           seconds_since(start) < 30)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// How the test catches the run in its phase, deterministically.
enum class Catch {
    command, // a collect command sends the signal to the run itself
    traces,  // after reading `seen` trace lines holding `trace`: the run
             // is blocked on the full pipe, far from its end
    lock,    // the copy waits for its target's lock, which the test holds
    fifo,    // the first image drawn, 20.png, is a FIFO that the test opens
};

// A stop signal in each phase of a run: the run ends with status 1 and the
// signal's line, the store verifies and holds every earlier record, no
// further step starts, and nothing but the files of the test is left.
struct StopCase {
    const char *phase;
    std::vector<const char *> args;
    Catch how;
    const char *trace;
    int seen;
    int all; // such lines of a run that is not stopped
};

void PrintTo(const StopCase &c, std::ostream *os)
{
    *os << c.phase;
}

constexpr int UNITS = 200;
const int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

class Stopped : public EndToEnd, public testing::WithParamInterface<std::tuple<StopCase, int>>
{};

TEST_P(Stopped, ClosesTheStoreAndSaysSo)
{
    const StopCase &c = std::get<0>(GetParam());
    const int sig = std::get<1>(GetParam());
    const std::string name = std::string("SIG") + sigabbrev_np(sig);
    const std::vector<Record> before = earlier_runs(UNITS, 40);
    fill(path("s.db"), before);
    std::string config = echo_config(UNITS);
    if (c.how == Catch::command)
        config.replace(config.find("echo 3"), 6,
                       "echo $$ >pg; kill -s " + name.substr(3) + " $PPID; sleep 100000");
    // Images are drawn newest first: 20.png first.
    for (int u = 1; u <= 20; u++)
        config += "image \"" + std::to_string(u) + ".png\" { from " + std::to_string(T0) + " to " +
                  std::to_string(T0 + 2400) + " left graph " + std::to_string(u) +
                  " \"x\" \"y\" color 0 0 0 }\n";
    put("c.conf", config);
    const int target = open(path("copy.db").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(target, 0);
    ASSERT_EQ(flock(target, LOCK_EX), 0);
    struct stat target_st;
    ASSERT_EQ(fstat(target, &target_st), 0);
    if (c.how == Catch::fifo) {
        ASSERT_EQ(mkfifo(path("20.png").c_str(), 0600), 0);
    }

    FILE *out = nullptr;
    const pid_t pid = start(c.args, &out);
    ASSERT_GT(pid, 0);
    const Clock::time_point start = Clock::now();
    const std::string syscall = "/proc/" + std::to_string(pid) + "/syscall";
    switch (c.how) {
    case Catch::command:
        break;
    case Catch::traces:
        EXPECT_EQ(read_until(out, c.trace, c.seen), c.seen);
        kill(pid, sig);
        EXPECT_LT(c.seen + read_until(out, c.trace, c.all), c.all) << "the phase went on";
        break;
    case Catch::lock:
        while (!lock_waiter(target_st.st_ino) && seconds_since(start) < 30)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        kill(pid, sig);
        wait_handled(pid, start);
        break;
    case Catch::fifo:
        // The run waits in the open of the FIFO for a reader.
        while (read_file(syscall).rfind(std::to_string(SYS_openat) + " ", 0) != 0 &&
               seconds_since(start) < 30)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        kill(pid, sig);
        wait_handled(pid, start);
        EXPECT_GT(read_file(path("20.png")).size(), 0u) << "the image begun was not finished";
        break;
    }
    close(target);
    EXPECT_EQ(finish(pid, out), 1);
    EXPECT_EQ(read_file(path("err.txt")), "main: ended by " + name + "\n");
    EXPECT_EQ(verify(path("s.db")), "");
    const std::vector<Record> after = dump(path("s.db"));
    EXPECT_TRUE(holds_all(after, before));
    // A run's samples are stored all together or not at all.
    if (std::any_of(c.args.begin(), c.args.end(), [](const char *a) { return !strcmp(a, "-q"); })) {
        EXPECT_EQ(after.size(), before.size()) << "the stopped run stored values";
    }
    if (c.how == Catch::command) {
        EXPECT_TRUE(group_gone(path("pg")));
    }
    if (c.how == Catch::lock) {
        EXPECT_EQ(verify(path("copy.db")), "");
        EXPECT_EQ(dump(path("copy.db")).size(), 0u) << "the walk went on after the signal";
    }
    const std::set<std::string> ours{"/c.conf", "/s.db", "/copy.db", "/err.txt", "/pg", "/20.png"};
    for (const auto &[file, desc] : snapshot(dir))
        EXPECT_TRUE(ours.count(file) == 1) << file << " left behind or drawn";
}

const StopCase STOP_CASES[] = {
    {"Collecting", {"-q", "-c", "c.conf", "-d", "s.db"}, Catch::command, nullptr, 0, 0},
    {"Storing",
     {"-vv", "-q", "-c", "c.conf", "-d", "s.db"},
     Catch::traces,
     "data_put_value(",
     50,
     UNITS},
    {"Fetching",
     {"-vv", "-p", "-c", "c.conf", "-d", "s.db"},
     Catch::traces,
     "fetching values for unit",
     3,
     20},
    {"Drawing", {"-p", "-c", "c.conf", "-d", "s.db"}, Catch::fifo, nullptr, 0, 0},
    // Nothing is old enough to go: every record is only examined.
    {"Truncating",
     {"-vv", "-t", "36500", "-c", "c.conf", "-d", "s.db"},
     Catch::traces,
     ", val: ",
     2000,
     UNITS * 40},
    {"Copying", {"-f", "copy.db", "-c", "c.conf", "-d", "s.db"}, Catch::lock, nullptr, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(
    Phases, Stopped, testing::Combine(testing::ValuesIn(STOP_CASES), testing::ValuesIn(SIGNALS)),
    [](const testing::TestParamInfo<std::tuple<StopCase, int>> &info) {
        return std::string(std::get<0>(info.param).phase) + sigabbrev_np(std::get<1>(info.param));
    });

// A run started with SIGINT ignored (a background job) keeps it ignored.
TEST_F(Deadline, IgnoredSigintStaysIgnored)
{
    put("c.conf", "collect 1 = \"kill -s INT $PPID; echo 5\"\n");
    FILE *out = nullptr;
    const pid_t pid = start({"-q", "-c", "c.conf", "-d", "s.db"}, &out, SIGINT);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(finish(pid, out), 0);
    EXPECT_EQ(read_file(path("err.txt")), "");
    const std::vector<Record> all = dump(path("s.db"));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].sample().avg, 5);
}

} // namespace
} // namespace dorvane
