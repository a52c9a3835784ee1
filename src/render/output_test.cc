#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gd.h>
#include <gtest/gtest.h>

#include "render/render.h"
#include "render/test_util.h"

namespace dorvane {
namespace {

using namespace testing_util;
using testing_util::PrintTo;

constexpr uid_t NOBODY = 65534;

struct GdImageDeleter {
    void operator()(gdImagePtr im) const { gdImageDestroy(im); }
};

struct stat stat_of(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

bool is_our_png(const std::string &path)
{
    Png png(path);
    return png.ok() && png.width() == 9 && png.height() == 5;
}

// Runs fn as user and group 65534 in a child process when we are root, so
// that permissions bite; as anyone else runs it here. fn's result, or -1.
int as_unprivileged(const std::function<int()> &fn)
{
    if (geteuid() != 0)
        return fn();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)
            _exit(100);
        _exit(fn());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

class OutputTest : public testing_util::Test
{
  protected:
    OutputTest() : im_(gdImageCreate(9, 5))
    {
        gdImageColorAllocate(im_.get(), 255, 255, 255);
        gdImageSetPixel(im_.get(), 4, 2, gdImageColorAllocate(im_.get(), 0, 0, 0));
    }
    int write(const std::string &file, const FileId *store = nullptr)
    {
        return graph_write_png(im_.get(), file.c_str(), store);
    }

    // Writes file and returns what was said on standard error.
    std::string write_failing(const std::string &file, const FileId *store = nullptr)
    {
        testing::internal::CaptureStderr();
        const int result = write(file, store);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, 1);
        return err;
    }

    TempDir dir;
    std::unique_ptr<gdImage, GdImageDeleter> im_;
};

struct UmaskCase {
    const char *name;
    mode_t umask;
    mode_t mode;
};

class NewFile : public OutputTest, public testing::WithParamInterface<UmaskCase>
{};

TEST_P(NewFile, GetsModeOfFopenAndNoTemporaryIsLeft)
{
    const std::string file = dir.path("new.png");
    const mode_t old = umask(GetParam().umask);
    const int result = write(file);
    umask(old);
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(is_our_png(file));
    EXPECT_EQ(stat_of(file).st_mode & 07777, GetParam().mode);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"new.png"});
}

INSTANTIATE_TEST_SUITE_P(Umasks, NewFile,
                         testing::Values(UmaskCase{"Umask022", 022, 0644},
                                         UmaskCase{"Umask027", 027, 0640},
                                         UmaskCase{"Umask000", 0, 0666}),
                         row_name);

TEST_F(OutputTest, RelativeNameInWorkingDirectory)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const int result = write("plain.png");
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(is_our_png(dir.path("plain.png")));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"plain.png"});
}

// A reader that opened the old file keeps reading the old file whole: the
// name gets a new inode, with the old mode.
TEST_F(OutputTest, ExistingFileIsReplacedWholeAndKeepsItsMode)
{
    const std::string file = dir.path("old.png");
    write_file(file, "old image", 0604);
    const ino_t before = stat_of(file).st_ino;
    ASSERT_EQ(write(file), 0);
    const struct stat after = stat_of(file);
    EXPECT_NE(after.st_ino, before);
    EXPECT_EQ(after.st_mode & 07777, 0604u);
    EXPECT_TRUE(is_our_png(file));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"old.png"});
}

TEST_F(OutputTest, ReplacedFileKeepsItsOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    const std::string file = dir.path("theirs.png");
    write_file(file, "old image", 0640);
    ASSERT_EQ(chown(file.c_str(), NOBODY, NOBODY), 0);
    const ino_t before = stat_of(file).st_ino;
    ASSERT_EQ(write(file), 0);
    const struct stat after = stat_of(file);
    EXPECT_NE(after.st_ino, before);
    EXPECT_EQ(after.st_uid, NOBODY);
    EXPECT_EQ(after.st_gid, NOBODY);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_TRUE(is_our_png(file));
}

// Where the image cannot be replaced by a new file, it is written into the
// old one: the name written and the file it reaches stay as they were (the
// file's inode, mode, owner and links), the file holds the image, and no
// temporary file is left.
struct InPlaceCase {
    const char *name;
    bool needs_root;   // the case needs a file of another user
    bool unprivileged; // written as user 65534 when the test runs as root
    // Makes the old file in dir: the name written and the file it reaches.
    void (*make)(const TempDir &dir, std::string *written, std::string *reached);
};

void symbolic_link(const TempDir &dir, std::string *written, std::string *reached)
{
    *written = dir.path("link.png");
    *reached = dir.path("real.png");
    write_file(*reached, "old image", 0640);
    ASSERT_EQ(symlink("real.png", written->c_str()), 0);
}

void two_links(const TempDir &dir, std::string *written, std::string *reached)
{
    *written = dir.path("a.png");
    *reached = dir.path("b.png");
    write_file(*written, "old image", 0644);
    ASSERT_EQ(link(written->c_str(), reached->c_str()), 0);
}

// No temporary file can be made beside the target.
void unwritable_directory(const TempDir &dir, std::string *written, std::string *reached)
{
    const std::string sub = dir.path("ro");
    *written = *reached = sub + "/img.png";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    write_file(*written, "old image", 0644);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(written->c_str(), NOBODY, NOBODY), 0);
    } else {
        ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
    }
}

// A user may not give a new file to root: the file stays root's.
void owner_that_cannot_be_kept(const TempDir &dir, std::string *written, std::string *reached)
{
    *written = *reached = dir.path("roots.png");
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    write_file(*written, "old image", 0666);
}

class InPlace : public OutputTest, public testing::WithParamInterface<InPlaceCase>
{};

TEST_P(InPlace, FileAndNamesStayAsTheyWere)
{
    const InPlaceCase &c = GetParam();
    if (c.needs_root && geteuid() != 0)
        GTEST_SKIP() << "needs a file of another user, which only root can make";
    std::string written, reached;
    c.make(dir, &written, &reached);
    ASSERT_FALSE(HasFatalFailure());
    const struct stat name = stat_of(written), before = stat_of(reached);
    const std::vector<std::string> names = dir.names();
    if (c.unprivileged) {
        EXPECT_EQ(as_unprivileged([&] { return write(written); }), 0);
    } else {
        EXPECT_EQ(write(written), 0);
    }
    EXPECT_EQ(stat_of(written).st_mode, name.st_mode) << "a link is no longer one";
    const struct stat after = stat_of(reached);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_nlink, before.st_nlink);
    EXPECT_TRUE(is_our_png(reached));
    EXPECT_EQ(dir.names(), names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InPlace,
    testing::Values(InPlaceCase{"SymbolicLink", false, false, symbolic_link},
                    InPlaceCase{"FileWithTwoLinks", false, false, two_links},
                    InPlaceCase{"UnwritableDirectory", false, true, unwritable_directory},
                    InPlaceCase{"OwnerThatCannotBeKept", true, true, owner_that_cannot_be_kept}),
    row_name);

TEST_F(OutputTest, DirectoryAsTarget)
{
    const std::string sub = dir.path("adir");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    EXPECT_EQ(write_failing(sub), program() + ": " + sub + ": Is a directory\n");
}

// gdImagePng reports nothing: a write that fails must still be seen.
TEST_F(OutputTest, FailingWriteInPlace)
{
    struct stat st;
    if (stat("/dev/full", &st) != 0)
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(write_failing("/dev/full"), program() + ": /dev/full: No space left on device\n");
}

// A write that fails on the temporary file leaves the old image alone and
// removes the temporary file. The file size limit lets the message through
// (standard error is captured in a file) but not the PNG.
// An image whose PNG is far larger than 4 KiB: noise in 256 colours.
std::unique_ptr<gdImage, GdImageDeleter> noisy_image()
{
    std::unique_ptr<gdImage, GdImageDeleter> noisy(gdImageCreate(200, 200));
    for (int c = 0; c < 256; c++)
        gdImageColorAllocate(noisy.get(), c, 255 - c, c * 7 % 256);
    uint32_t seed = 1;
    for (int y = 0; y < 200; y++) {
        for (int x = 0; x < 200; x++) {
            seed = seed * 1103515245u + 12345u;
            gdImageSetPixel(noisy.get(), x, y, static_cast<int>(seed >> 24));
        }
    }
    return noisy;
}

TEST_F(OutputTest, FailingWriteKeepsOldImage)
{
    const std::string file = dir.path("kept.png");
    write_file(file, "old image", 0644);
    auto noisy = noisy_image();

    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 4096;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const int result = graph_write_png(noisy.get(), file.c_str(), nullptr);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    const std::string err = testing::internal::GetCapturedStderr();
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, program() + ": " + file + ": File too large\n");
    EXPECT_TRUE(read_file(file) == "old image");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"kept.png"});
}

// A run killed while it writes (here by the file size limit's signal)
// leaves the old image and no temporary file beside it.
TEST_F(OutputTest, KilledWriteLeavesNoTemporaryFile)
{
    const int probe = open(dir.path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (probe < 0)
        GTEST_SKIP() << "no unnamed files on this file system";
    close(probe);
    const std::string file = dir.path("kept.png");
    write_file(file, "old image", 0644);
    auto noisy = noisy_image();
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_DFL);
        struct rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(graph_write_png(noisy.get(), file.c_str(), nullptr));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    EXPECT_TRUE(read_file(file) == "old image");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"kept.png"});
}

// fopen "wb" refuses a file that we may not write; so does the run, though
// the directory would let it put a new file in its place.
TEST_F(OutputTest, ReadOnlyFileIsRefused)
{
    const std::string file = dir.path("ro.png");
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    write_file(file, "old image", 0444);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(file.c_str(), NOBODY, NOBODY), 0);
    }
    testing::internal::CaptureStderr();
    const int result = as_unprivileged([&] { return write(file); });
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, program() + ": " + file + ": Permission denied\n");
    EXPECT_TRUE(read_file(file) == "old image");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"ro.png"});
}

// The quick image's fixed name in /tmp: whatever is there is moved aside
// for the test and put back afterwards.
class QuickImage : public OutputTest
{
  protected:
    void SetUp() override
    {
        saved_ = dir.path("saved");
        struct stat st;
        had_ = lstat(QUICK_IMAGE_FILE, &st) == 0;
        if (had_) {
            ASSERT_EQ(rename(QUICK_IMAGE_FILE, saved_.c_str()), 0);
        }
    }
    void TearDown() override
    {
        unlink(QUICK_IMAGE_FILE);
        if (had_) {
            EXPECT_EQ(rename(saved_.c_str(), QUICK_IMAGE_FILE), 0);
        }
    }
    std::string refused(const char *reason)
    {
        return program() + ": " + QUICK_IMAGE_FILE + ": " + reason + "\n";
    }
    std::string saved_;
    bool had_ = false;
};

TEST_F(QuickImage, NewFileIsPrivate)
{
    const mode_t old = umask(0);
    const int result = write(QUICK_IMAGE_FILE);
    umask(old);
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(is_our_png(QUICK_IMAGE_FILE));
    EXPECT_EQ(stat_of(QUICK_IMAGE_FILE).st_mode & 07777, 0600u);
}

TEST_F(QuickImage, OwnFileIsRewrittenInPlaceAndMadePrivate)
{
    write_file(QUICK_IMAGE_FILE, "old image", 0644);
    const ino_t before = stat_of(QUICK_IMAGE_FILE).st_ino;
    ASSERT_EQ(write(QUICK_IMAGE_FILE), 0);
    const struct stat after = stat_of(QUICK_IMAGE_FILE);
    EXPECT_EQ(after.st_ino, before);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_TRUE(is_our_png(QUICK_IMAGE_FILE));
}

// What lies at the quick image's fixed name and is not the run's own
// regular file is refused, neither followed nor truncated: the run names
// it, and it and what it reaches stay as they were.
struct QuickRefusedCase {
    const char *name;
    bool needs_root; // the case needs a file of another user
    // Makes what lies at the name; *kept: a file whose bytes must stay.
    void (*make)(const TempDir &dir, std::string *kept);
    const char *reason;
};

void link_to_victim(const TempDir &dir, std::string *kept)
{
    *kept = dir.path("victim");
    write_file(*kept, "precious", 0644);
    ASSERT_EQ(symlink(kept->c_str(), QUICK_IMAGE_FILE), 0);
}

void second_link(const TempDir &dir, std::string *kept)
{
    *kept = dir.path("other");
    write_file(*kept, "precious", 0644);
    ASSERT_EQ(link(kept->c_str(), QUICK_IMAGE_FILE), 0);
}

void foreign_file(const TempDir &, std::string *kept)
{
    *kept = QUICK_IMAGE_FILE;
    write_file(*kept, "precious", 0666);
    ASSERT_EQ(chown(QUICK_IMAGE_FILE, NOBODY, NOBODY), 0);
}

// Nobody reads this FIFO; the run must not wait for one.
void fifo(const TempDir &, std::string *)
{
    ASSERT_EQ(mkfifo(QUICK_IMAGE_FILE, 0600), 0);
}

class QuickImageRefused : public QuickImage, public testing::WithParamInterface<QuickRefusedCase>
{};

TEST_P(QuickImageRefused, NamedAndLeftAsItWas)
{
    const QuickRefusedCase &c = GetParam();
    if (c.needs_root && geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    std::string kept;
    c.make(dir, &kept);
    ASSERT_FALSE(HasFatalFailure());
    const struct stat before = stat_of(QUICK_IMAGE_FILE);
    EXPECT_EQ(write_failing(QUICK_IMAGE_FILE), refused(c.reason));
    const struct stat after = stat_of(QUICK_IMAGE_FILE);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_size, before.st_size);
    if (!kept.empty()) {
        EXPECT_EQ(read_file(kept), "precious");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuickImageRefused,
                         testing::Values(QuickRefusedCase{"SymbolicLink", false, link_to_victim,
                                                          "Too many levels of symbolic links"},
                                         QuickRefusedCase{"FileWithTwoLinks", false, second_link,
                                                          "Operation not permitted"},
                                         QuickRefusedCase{"FileOfAnotherUser", true, foreign_file,
                                                          "Operation not permitted"},
                                         QuickRefusedCase{"Fifo", false, fifo,
                                                          "No such device or address"}),
                         row_name);

// The store's file, which the caller names, is never written over, by
// whatever name the configuration gives it; rendering has no other way to
// know it.
enum class Name { itself, hard_link, symbolic_link };

struct StoreNameCase {
    const char *name;
    Name image; // how the image names the store
};

class ImageOverStore : public OutputTest, public testing::WithParamInterface<StoreNameCase>
{};

TEST_P(ImageOverStore, ByAnyName)
{
    const std::string store = dir.path("store.db");
    write_file(store, "store bytes", 0600);
    std::string image = store;
    if (GetParam().image == Name::hard_link) {
        image = dir.path("hard.png");
        ASSERT_EQ(link(store.c_str(), image.c_str()), 0);
    } else if (GetParam().image == Name::symbolic_link) {
        image = dir.path("soft.png");
        ASSERT_EQ(symlink("store.db", image.c_str()), 0);
    }
    const struct stat st = stat_of(store);
    const FileId id{st.st_dev, st.st_ino};
    EXPECT_EQ(write_failing(image, &id),
              "graph_generate_images: " + image + ": is the store itself\n");
    EXPECT_EQ(read_file(store), "store bytes");
    EXPECT_EQ(stat_of(store).st_ino, st.st_ino);
}

INSTANTIATE_TEST_SUITE_P(Names, ImageOverStore,
                         testing::Values(StoreNameCase{"Itself", Name::itself},
                                         StoreNameCase{"HardLink", Name::hard_link},
                                         StoreNameCase{"SymbolicLink", Name::symbolic_link}),
                         row_name);

TEST_F(OutputTest, AnotherFileThanTheStoreIsWritten)
{
    const std::string store = dir.path("store.db");
    write_file(store, "store bytes", 0600);
    const struct stat st = stat_of(store);
    const FileId id{st.st_dev, st.st_ino};
    ASSERT_EQ(write(dir.path("a.png"), &id), 0);
    EXPECT_TRUE(is_our_png(dir.path("a.png")));
    EXPECT_EQ(read_file(store), "store bytes");
}

} // namespace
} // namespace dorvane
