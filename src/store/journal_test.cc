// Recovery at open: what a journal found beside the store does to it. The
// journals are written here from their layout in docs/store-format.md, so
// that the layout and the code are held to each other.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;
using testing_util::Raw;
using testing_util::read_file;
using testing_util::TempDir;
using testing_util::write_file;

constexpr uint32_t PAGE = 4096;
// Where the journal's header holds the store's file id.
constexpr size_t JOURNAL_FILE_ID_AT = 32;

void put_le(std::string &out, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; i++)
        out += static_cast<char>(v >> (8 * i));
}

// The journal of the commit that turns the store's bytes from `from` into
// `to`: every page of `to` that differs.
std::string journal_of(const std::string &from, const std::string &to)
{
    std::vector<uint64_t> pages;
    for (uint64_t p = 0; p * PAGE < to.size(); p++)
        if (from.size() < (p + 1) * PAGE || from.compare(p * PAGE, PAGE, to, p * PAGE, PAGE) != 0)
            pages.push_back(p);
    std::string j = "DORVJNL1";
    put_le(j, PAGE, 4);
    put_le(j, pages.size(), 4);
    put_le(j, to.size(), 8);
    put_le(j, std::min(from.size(), to.size()), 8);
    j += to.substr(testing_util::META_FILE_ID_AT, testing_util::META_FILE_ID_SIZE);
    j += std::string(12, '\0');
    for (uint64_t p : pages)
        put_le(j, p, 8);
    for (uint64_t p : pages)
        j += to.substr(p * PAGE, PAGE);
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef *>(j.data()), static_cast<uInt>(j.size()));
    j += "DORVEND1";
    put_le(j, crc, 4);
    put_le(j, pages.size(), 4);
    return j;
}

// What lies beside the store, and what the open must make of it.
struct Beside {
    const char *name;
    // Alters the store as the crash left it and its journal.
    void (*alter)(std::string &store, std::string &journal, const std::string &to);
    bool replayed; // else the store keeps its last commit
};

void nothing(std::string &, std::string &, const std::string &) {}

// The crash came in the middle of writing the commit into the store.
void half_written(std::string &store, std::string &, const std::string &to)
{
    const size_t half = to.size() / PAGE / 2 * PAGE;
    store.replace(0, half, to.substr(0, half));
}

void cut_short(std::string &, std::string &journal, const std::string &)
{
    journal.pop_back();
}

void no_end(std::string &, std::string &journal, const std::string &)
{
    journal.resize(journal.size() - 16);
}

void page_flipped(std::string &, std::string &journal, const std::string &)
{
    journal[journal.size() - 16 - PAGE / 2] ^= 1;
}

void another_file(std::string &, std::string &journal, const std::string &)
{
    journal[JOURNAL_FILE_ID_AT] ^= 1;
}

void empty_journal(std::string &, std::string &journal, const std::string &)
{
    journal.clear();
}

const Beside BESIDE[] = {
    {"WholeJournal", nothing, true},
    {"CommitHalfWritten", half_written, true},
    {"JournalCutShort", cut_short, false},
    {"JournalWithoutItsEnd", no_end, false},
    {"PageOfTheJournalChanged", page_flipped, false},
    {"JournalOfAnotherFile", another_file, false},
    {"EmptyJournal", empty_journal, false},
};

class Recovery : public testing_util::TestWithParam<Beside>
{
  protected:
    // Two commits of a store: `first` (a few hundred samples of three
    // units), then `second` (as many again, so that pages split).
    static void SetUpTestSuite()
    {
        TempDir dir;
        const std::string path = dir.path("s.db");
        for (std::string *bytes : {&first, &second}) {
            ASSERT_EQ(data_open(path.c_str()), 0);
            for (uint32_t i = 0; i < 300; i++)
                for (int unit = 1; unit <= 3; unit++)
                    ASSERT_EQ(data_put_value(0, 1000 + 60 * (i + (bytes == &second ? 300 : 0)),
                                             unit, 0, 0, unit * i),
                              0);
            ASSERT_EQ(data_close(), 0);
            *bytes = read_file(path);
            ASSERT_EQ(data_open(path.c_str(), true), 0);
            (bytes == &first ? first_records : second_records) = testing_util::dump_store();
            ASSERT_EQ(data_close(), 0);
        }
        ASSERT_GT(second.size(), first.size()) << "the second commit split no page";
    }

    // Opens the store as found, at -v, and says what it read.
    std::vector<Raw> open_store(const std::string &store, const std::string &journal,
                                std::string *said)
    {
        write_file(dir_.path("s.db"), store);
        write_file(dir_.path("s.db.journal"), journal);
        verbosity = 1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(data_open(dir_.path("s.db").c_str(), true), 0);
        *said = testing::internal::GetCapturedStdout();
        verbosity = 0;
        std::vector<Raw> records = testing_util::dump_store();
        EXPECT_EQ(data_close(), 0);
        return records;
    }

    TempDir dir_;
    static std::string first, second;
    static std::vector<Raw> first_records, second_records;
};

std::string Recovery::first, Recovery::second;
std::vector<Raw> Recovery::first_records, Recovery::second_records;

TEST_P(Recovery, StoreIsItsLastCommitOrTheJournals)
{
    const Beside &c = GetParam();
    std::string store = first;
    std::string journal = journal_of(first, second);
    c.alter(store, journal, second);
    std::string said;
    std::vector<Raw> got = open_store(store, journal, &said);
    const std::string path = dir_.path("s.db");
    if (c.replayed) {
        const size_t pages = (journal.size() - 64 - 16) / (8 + PAGE);
        EXPECT_EQ(said, "data_open: " + path + ": unfinished commit completed from its journal, " +
                            std::to_string(pages) + " pages\n");
        EXPECT_EQ(got, second_records);
        EXPECT_TRUE(read_file(path) == second) << "the file is not the commit's, byte for byte";
    } else {
        EXPECT_EQ(said, "data_open: " + path + ": unfinished commit dropped with its journal\n");
        EXPECT_EQ(got, first_records);
        EXPECT_TRUE(read_file(path) == first) << "a dropped commit touched the file";
    }
    EXPECT_EQ(access(dir_.path("s.db.journal").c_str(), F_OK), -1) << "the journal stays";
}

INSTANTIATE_TEST_SUITE_P(Found, Recovery, testing::ValuesIn(BESIDE), testing_util::row_name);

// A store that its first commit was creating: the empty file the lock
// made, and the whole journal of its first pages.
TEST_F(Recovery, NewStoreIsCreatedFromItsJournal)
{
    std::string said;
    EXPECT_EQ(open_store("", journal_of("", first), &said), first_records);
    EXPECT_TRUE(read_file(dir_.path("s.db")) == first);
}

// What cannot be read is not guessed at: the open fails and says why.
TEST_F(Recovery, JournalThatCannotBeReadFailsTheOpen)
{
    const std::string path = dir_.path("s.db");
    write_file(path, first);
    ASSERT_EQ(symlink(dir_.path("elsewhere").c_str(), dir_.path("s.db.journal").c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(data_open(path.c_str()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "dbopen: " + path + ": Too many levels of symbolic links\n");
    unlink(dir_.path("s.db.journal").c_str());
}

} // namespace
} // namespace dorvane
