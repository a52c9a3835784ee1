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

using namespace render_test;

constexpr uid_t NOBODY = 65534;

struct GdImageDeleter {
    void operator()(gdImagePtr im) const { gdImageDestroy(im); }
};

struct stat stat_of(const std::string &path)
{
    struct stat st {
    };
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

void write_text(const std::string &path, const char *text, mode_t mode = 0644)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text, f);
    fclose(f);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
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

class OutputTest : public testing::Test
{
  protected:
    OutputTest() : im_(gdImageCreate(9, 5))
    {
        gdImageColorAllocate(im_.get(), 255, 255, 255);
        gdImageSetPixel(im_.get(), 4, 2, gdImageColorAllocate(im_.get(), 0, 0, 0));
    }
    int write(const std::string &file) { return graph_write_png(im_.get(), file.c_str()); }

    // Writes file and returns what was said on standard error.
    std::string write_failing(const std::string &file, int expected = 1)
    {
        testing::internal::CaptureStderr();
        const int result = write(file);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, expected);
        return err;
    }

    TempDir dir;
    std::unique_ptr<gdImage, GdImageDeleter> im_;
};

struct UmaskCase {
    mode_t umask;
    mode_t mode;
};

class NewFile : public OutputTest, public testing::WithParamInterface<UmaskCase>
{
};

TEST_P(NewFile, GetsModeOfFopenAndNoTemporaryIsLeft)
{
    const std::string file = dir.file("new.png");
    const mode_t old = umask(GetParam().umask);
    const int result = write(file);
    umask(old);
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(is_our_png(file));
    EXPECT_EQ(stat_of(file).st_mode & 07777, GetParam().mode);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"new.png"});
}

INSTANTIATE_TEST_SUITE_P(Umasks, NewFile,
                         testing::Values(UmaskCase{022, 0644}, UmaskCase{027, 0640},
                                         UmaskCase{0, 0666}));

TEST_F(OutputTest, RelativeNameInWorkingDirectory)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const int result = write("plain.png");
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(is_our_png(dir.file("plain.png")));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"plain.png"});
}

// A reader that opened the old file keeps reading the old file whole: the
// name gets a new inode, with the old mode.
TEST_F(OutputTest, ExistingFileIsReplacedWholeAndKeepsItsMode)
{
    const std::string file = dir.file("old.png");
    write_text(file, "old image", 0604);
    const ino_t before = stat_of(file).st_ino;
    ASSERT_EQ(write(file), 0);
    const struct stat after = stat_of(file);
    EXPECT_NE(after.st_ino, before);
    EXPECT_EQ(after.st_mode & 07777, 0604u);
    EXPECT_TRUE(is_our_png(file));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"old.png"});
}

TEST_F(OutputTest, SymbolicLinkIsWrittenThroughInPlace)
{
    const std::string target = dir.file("real.png");
    const std::string link = dir.file("link.png");
    write_text(target, "old image", 0640);
    ASSERT_EQ(symlink("real.png", link.c_str()), 0);
    const ino_t before = stat_of(target).st_ino;
    ASSERT_EQ(write(link), 0);
    EXPECT_TRUE(S_ISLNK(stat_of(link).st_mode));
    EXPECT_EQ(stat_of(target).st_ino, before);
    EXPECT_EQ(stat_of(target).st_mode & 07777, 0640u);
    EXPECT_TRUE(is_our_png(target));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"link.png", "real.png"}));
}

TEST_F(OutputTest, FileWithTwoLinksIsWrittenInPlace)
{
    const std::string file = dir.file("a.png");
    const std::string other = dir.file("b.png");
    write_text(file, "old image");
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
    const ino_t before = stat_of(file).st_ino;
    ASSERT_EQ(write(file), 0);
    EXPECT_EQ(stat_of(file).st_ino, before);
    EXPECT_EQ(stat_of(file).st_nlink, 2u);
    EXPECT_TRUE(is_our_png(other));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"a.png", "b.png"}));
}

// No temporary file can be made beside the target: written in place.
TEST_F(OutputTest, UnwritableDirectoryIsWrittenInPlace)
{
    const std::string sub = dir.file("ro");
    const std::string file = sub + "/img.png";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    write_text(file, "old image", 0644);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(file.c_str(), NOBODY, NOBODY), 0);
    } else {
        ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
    }
    const ino_t before = stat_of(file).st_ino;
    EXPECT_EQ(as_unprivileged([&] { return write(file); }), 0);
    EXPECT_EQ(stat_of(file).st_ino, before);
    EXPECT_TRUE(is_our_png(file));
    chmod(sub.c_str(), 0755);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"ro"});
}

TEST_F(OutputTest, ReplacedFileKeepsItsOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    const std::string file = dir.file("theirs.png");
    write_text(file, "old image", 0640);
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

// A user may not give a new file to root: the file is written in place and
// stays root's.
TEST_F(OutputTest, OwnerThatCannotBeKeptIsWrittenInPlace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs a file of another user, which only root can make";
    const std::string file = dir.file("roots.png");
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    write_text(file, "old image", 0666);
    const ino_t before = stat_of(file).st_ino;
    EXPECT_EQ(as_unprivileged([&] { return write(file); }), 0);
    const struct stat after = stat_of(file);
    EXPECT_EQ(after.st_ino, before);
    EXPECT_EQ(after.st_uid, 0u);
    EXPECT_TRUE(is_our_png(file));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"roots.png"});
}

TEST_F(OutputTest, DirectoryAsTarget)
{
    const std::string sub = dir.file("adir");
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
    const std::string file = dir.file("kept.png");
    write_text(file, "old image");
    auto noisy = noisy_image();

    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 4096;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const int result = graph_write_png(noisy.get(), file.c_str());
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
    const std::string file = dir.file("kept.png");
    write_text(file, "old image");
    auto noisy = noisy_image();
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_DFL);
        struct rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(graph_write_png(noisy.get(), file.c_str()));
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
    const std::string file = dir.file("ro.png");
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    write_text(file, "old image", 0444);
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
        saved_ = dir.file("saved");
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
    write_text(QUICK_IMAGE_FILE, "old image", 0644);
    const ino_t before = stat_of(QUICK_IMAGE_FILE).st_ino;
    ASSERT_EQ(write(QUICK_IMAGE_FILE), 0);
    const struct stat after = stat_of(QUICK_IMAGE_FILE);
    EXPECT_EQ(after.st_ino, before);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_TRUE(is_our_png(QUICK_IMAGE_FILE));
}

TEST_F(QuickImage, SymbolicLinkIsNotFollowed)
{
    const std::string victim = dir.file("victim");
    write_text(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), QUICK_IMAGE_FILE), 0);
    EXPECT_EQ(write_failing(QUICK_IMAGE_FILE), refused("Too many levels of symbolic links"));
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_TRUE(S_ISLNK(stat_of(QUICK_IMAGE_FILE).st_mode));
}

TEST_F(QuickImage, FileWithTwoLinksIsNotTruncated)
{
    const std::string other = dir.file("other");
    write_text(other, "precious");
    ASSERT_EQ(link(other.c_str(), QUICK_IMAGE_FILE), 0);
    EXPECT_EQ(write_failing(QUICK_IMAGE_FILE), refused("Operation not permitted"));
    EXPECT_EQ(read_file(other), "precious");
}

TEST_F(QuickImage, FileOfAnotherUserIsNotTruncated)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    write_text(QUICK_IMAGE_FILE, "precious", 0666);
    ASSERT_EQ(chown(QUICK_IMAGE_FILE, NOBODY, NOBODY), 0);
    EXPECT_EQ(write_failing(QUICK_IMAGE_FILE), refused("Operation not permitted"));
    EXPECT_EQ(read_file(QUICK_IMAGE_FILE), "precious");
}

// Nobody reads this FIFO; the run must not wait for one.
TEST_F(QuickImage, FifoIsRefusedWithoutWaiting)
{
    ASSERT_EQ(mkfifo(QUICK_IMAGE_FILE, 0600), 0);
    EXPECT_EQ(write_failing(QUICK_IMAGE_FILE), refused("No such device or address"));
}

} // namespace
} // namespace dorvane
