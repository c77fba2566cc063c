#include "datamover/md5.h"
#include "datamover/file_io.h"
#include "datamover/util.h"
#include "kes_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

using kes_test::read_file;
using kes_test::TempDir;
using kes_test::write_file;

namespace {

struct FileGuard {
    file_io *f;
    explicit FileGuard(file_io *p) : f(p) {}
    ~FileGuard()
    {
        if (f != nullptr)
            file_io_close(f);
    }
};

bool exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }

}  // namespace

TEST(FileIoOpen, RefusesWhatIsNotARegularFileOrMissing)
{
    TempDir dir;
    int err = 0;
    EXPECT_EQ(file_io_open(dir.path().c_str(), 0, KES_O_RDONLY, 0, &err), nullptr);
    EXPECT_EQ(err, FILE_ERR_NOTFILE);
    err = 0;
    EXPECT_EQ(file_io_open((dir / "missing").c_str(), 0, KES_O_RDWR, 0, &err), nullptr);
    EXPECT_EQ(err, FILE_ERR_OPEN);
    // Exclusive creation of an existing file fails at the open.
    write_file(dir / "there", "x");
    EXPECT_EQ(file_io_open((dir / "there").c_str(), 0, KES_O_RDWR | KES_O_CREAT | KES_O_EXCL, 0, &err), nullptr);
    EXPECT_EQ(err, FILE_ERR_OPEN);
}

TEST(FileIoOpen, EachOpenGetsItsOwnIdAndGeneration)
{
    TempDir dir;
    std::string path = dir / "f";
    int err = -1;
    FileGuard a(file_io_open(path.c_str(), 0, KES_O_RDWR | KES_O_CREAT, 0, &err));
    ASSERT_NE(a.f, nullptr);
    EXPECT_EQ(err, 0);
    FileGuard b(file_io_open(path.c_str(), 0, KES_O_RDWR, 0, &err));
    ASSERT_NE(b.f, nullptr);
    EXPECT_NE(a.f->id, b.f->id);
    EXPECT_NE(a.f->gen, b.f->gen);
    EXPECT_EQ(a.f->magic, FILE_IO_MAGIC_IN_USE);
    EXPECT_STREQ(a.f->name, path.c_str());
    unsigned char d[16];
    md5_digest(path.data(), path.size(), d);
    EXPECT_EQ(memcmp(a.f->name_digest, d, 16), 0);
    EXPECT_TRUE(S_ISREG(a.f->st.st_mode));
    EXPECT_EQ(file_io_get_error(a.f), 0);
}

TEST(FileIoOpen, DeleteOnCloseRemovesTheNameAtOnce)
{
    TempDir dir;
    std::string gone = dir / "gone";
    std::string kept = dir / "kept";
    int err;
    FileGuard g(file_io_open(gone.c_str(), 0, KES_O_RDWR | KES_O_CREAT, FILE_IO_DELETE_ON_CLOSE, &err));
    ASSERT_NE(g.f, nullptr);
    EXPECT_FALSE(exists(gone));
    // The open file stays usable.
    ASSERT_EQ(file_io_pwrite(g.f, "abc", 0, 3), 0);
    char buf[3];
    EXPECT_EQ(file_io_pread(g.f, buf, 0, 3), 3);
    EXPECT_EQ(memcmp(buf, "abc", 3), 0);

    // Without the option the caller removes the name itself.
    FileGuard k(file_io_open(kept.c_str(), 0, KES_O_RDWR | KES_O_CREAT, 0, &err));
    ASSERT_NE(k.f, nullptr);
    EXPECT_TRUE(exists(kept));
    EXPECT_EQ(file_io_unlink(kept.c_str()), 0);
    EXPECT_EQ(file_io_unlink(kept.c_str()), FILE_ERR_DELETE);
}

TEST(FileIoPositioned, ReadsAndWritesLeaveTheFilePosition)
{
    TempDir dir;
    std::string path = dir / "data";
    write_file(path, "0123456789");
    int err;
    FileGuard g(file_io_open(path.c_str(), 0, KES_O_RDWR, 0, &err));
    ASSERT_NE(g.f, nullptr);
    ASSERT_EQ(lseek(g.f->fd, 5, SEEK_SET), 5);

    char buf[16];
    memset(buf, 'z', sizeof buf);
    // Past the end: nothing read, position kept.
    EXPECT_EQ(file_io_pread(g.f, buf, 100, 4), 0);
    EXPECT_EQ(lseek(g.f->fd, 0, SEEK_CUR), 5);
    // A read across the end returns the bytes that came back.
    EXPECT_EQ(file_io_pread(g.f, buf, 7, 10), 3);
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(lseek(g.f->fd, 0, SEEK_CUR), 5);
    // A write returns 0 and also keeps the position.
    EXPECT_EQ(file_io_pwrite(g.f, "AB", 2, 2), 0);
    EXPECT_EQ(lseek(g.f->fd, 0, SEEK_CUR), 5);
    EXPECT_EQ(read_file(path), "01AB456789");
    // An offset beyond what the host can address is an error, not a wrap.
    EXPECT_EQ(file_io_pread(g.f, buf, ~0ull, 1), FILE_ERR_IO);
}

TEST(FileIoPositioned, WriteOnReadOnlyDescriptorFails)
{
    TempDir dir;
    std::string path = dir / "ro";
    write_file(path, "data");
    int err;
    FileGuard g(file_io_open(path.c_str(), 0, KES_O_RDONLY, 0, &err));
    ASSERT_NE(g.f, nullptr);
    EXPECT_EQ(file_io_pwrite(g.f, "x", 0, 1), FILE_ERR_IO);
    file_io_aio aio{};
    char buf[4] = {'w', 'w', 'w', 'w'};
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_WRITE, buf, 0, 4), FILE_ERR_IO);
    EXPECT_EQ(file_io_result(&aio), FILE_ERR_IO);
    EXPECT_EQ(aio.kerr, KES_EBADF);
    EXPECT_EQ(read_file(path), "data");
}

TEST(FileIoSubmit, RecordHoldsTheOutcome)
{
    TempDir dir;
    std::string path = dir / "s";
    write_file(path, "hello world");
    int err;
    FileGuard g(file_io_open(path.c_str(), 0, KES_O_RDWR, 0, &err));
    ASSERT_NE(g.f, nullptr);
    file_io_aio aio{};
    char buf[32] = {};
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_READ, buf, 6, 32), 5);
    EXPECT_EQ(file_io_result(&aio), 5);  // the bytes that came back, not 0
    EXPECT_EQ(std::string(buf, 5), "world");

    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_WRITE | FILE_IO_SYNC, const_cast<char *>("HELLO"), 0, 5), 5);
    EXPECT_EQ(read_file(path), "HELLO world");

    // Operations other than read and write do nothing and leave the result.
    aio.result = 1234;
    EXPECT_EQ(file_io_submit(&aio, g.f, 0x07, buf, 0, 5), 0);
    EXPECT_EQ(file_io_result(&aio), 1234);

    // Swap I/O without an open companion fails rather than touching the file.
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_WRITE | FILE_IO_SWAP, buf, 0, 5), FILE_ERR_AOPEN);
}

TEST(FileIoSubmit, SwapCompanionKeepsItsOwnData)
{
    TempDir dir;
    std::string path = dir / "main";
    write_file(path, "MAINDATA");
    int err;
    FileGuard g(file_io_open(path.c_str(), 0, KES_O_RDWR, 0, &err));
    ASSERT_NE(g.f, nullptr);
    EXPECT_EQ(file_io_open_swap(g.f), FILE_ERR_AOPEN);  // no companion yet, and no create flag
    write_file(path + ".swp", "");
    ASSERT_EQ(file_io_open_swap(g.f), 0);
    EXPECT_EQ(file_io_open_swap(g.f), 0);  // already open
    file_io_aio aio{};
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_WRITE | FILE_IO_SWAP, const_cast<char *>("swap"), 0, 4), 4);
    EXPECT_EQ(read_file(path), "MAINDATA");
    EXPECT_EQ(read_file(path + ".swp"), "swap");
    char buf[4];
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_READ | FILE_IO_SWAP, buf, 0, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "swap");
}

// A private file skips reads where nothing can be, and must never miss what
// it holds: bytes there at open, bytes written through either call, the
// header copy, and a read that starts before the end and runs past it.
TEST(FileIoSubmit, PrivateFileReadsWhatItHoldsAndNothingBeyond)
{
    TempDir dir;
    std::string path = dir / "p";
    write_file(path, "0123456789");
    int err;
    FileGuard g(file_io_open(path.c_str(), 0, KES_O_RDWR, FILE_IO_PRIVATE, &err));
    ASSERT_NE(g.f, nullptr);
    file_io_aio aio{};
    char buf[64] = {};
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_READ | FILE_IO_SYNC, buf, 4, 64), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_READ | FILE_IO_SYNC, buf, 10, 64), 0);
    EXPECT_EQ(file_io_result(&aio), 0);

    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_WRITE | FILE_IO_SYNC, const_cast<char *>("abc"), 20, 3), 3);
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_READ | FILE_IO_SYNC, buf, 8, 64), 15);
    EXPECT_EQ(std::string(buf, 15), std::string("89") + std::string(10, '\0') + "abc");
    EXPECT_EQ(file_io_pwrite(g.f, "Z", 40, 1), 0);
    EXPECT_EQ(file_io_pread(g.f, buf, 40, 8), 1);
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(file_io_pread(g.f, buf, 41, 8), 0);

    // Writes to the swap companion say nothing about the file itself.
    write_file(path + ".swp", "");
    ASSERT_EQ(file_io_open_swap(g.f), 0);
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_WRITE | FILE_IO_SWAP, const_cast<char *>("s"), 100, 1), 1);
    EXPECT_EQ(file_io_pread(g.f, buf, 41, 8), 0);
    EXPECT_EQ(file_io_submit(&aio, g.f, FILE_IO_READ | FILE_IO_SWAP, buf, 100, 1), 1);
    EXPECT_EQ(buf[0], 's');

    // A fresh private file with a header copy: nothing until the copy is
    // written back.
    std::string hp = dir / "h";
    FileGuard h(file_io_open(hp.c_str(), 8, KES_O_RDWR | KES_O_CREAT, FILE_IO_PRIVATE, &err));
    ASSERT_NE(h.f, nullptr);
    EXPECT_EQ(file_io_pread(h.f, buf, 0, 8), 0);
    memcpy(h.f->hdr, "HEADER!!", 8);
    ASSERT_EQ(file_io_write_hdr(h.f), 0);
    EXPECT_EQ(file_io_pread(h.f, buf, 0, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "HEADER!!");
}

TEST(FileIoHeader, CopyIsReadAtOpenAndWrittenBackOnlyWhenWritable)
{
    TempDir dir;
    std::string path = dir / "h";
    write_file(path, "HEADpayload");
    int err;
    file_io *f = file_io_open(path.c_str(), 4, KES_O_RDWR, 0, &err);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(memcmp(f->hdr, "HEAD", 4), 0);
    memcpy(f->hdr, "head", 4);
    EXPECT_EQ(file_io_close(f), 0);
    EXPECT_EQ(read_file(path), "headpayload");

    f = file_io_open(path.c_str(), 4, KES_O_RDONLY, 0, &err);
    ASSERT_NE(f, nullptr);
    memcpy(f->hdr, "XXXX", 4);
    EXPECT_EQ(file_io_close(f), 0);
    EXPECT_EQ(read_file(path), "headpayload");

    // A file shorter than its header cannot be read back whole.
    write_file(path, "ab");
    f = file_io_open(path.c_str(), 4, KES_O_RDWR, 0, &err);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(file_io_read_hdr(f), FILE_ERR_HDRIO);
    EXPECT_EQ(memcmp(f->hdr, "ab\0\0", 4), 0);
    EXPECT_EQ(file_io_close(f), 0);
}

TEST(FileIoError, StickyErrorKeepsTheFirstFailure)
{
    TempDir dir;
    std::string path = dir / "e";
    int err;
    FileGuard g(file_io_open(path.c_str(), 0, KES_O_RDWR | KES_O_CREAT, 0, &err));
    ASSERT_NE(g.f, nullptr);
    file_io_set_error(g.f, FILE_ERR_NOSPC);
    file_io_set_error(g.f, FILE_ERR_AIO);
    EXPECT_EQ(file_io_get_error(g.f), FILE_ERR_NOSPC);
    file_io_clear_error(g.f);
    EXPECT_EQ(file_io_get_error(g.f), 0);
    file_io_set_error(g.f, FILE_ERR_AIO);
    EXPECT_EQ(file_io_get_error(g.f), FILE_ERR_AIO);
}

TEST(FileIoPaths, DirnameSplitsAtEitherSeparator)
{
    auto dn = [](const char *in) {
        char buf[64];
        util_strlcpy(buf, in, sizeof buf);
        return std::string(file_io_dirname(buf));
    };
    EXPECT_EQ(dn("C:\\a\\b\\"), "C:\\a");
    EXPECT_EQ(dn("abc"), ".");
    EXPECT_EQ(dn("/tmp/dm/shadow/42/generic:/s/f"), "/tmp/dm/shadow/42/generic:/s");
    EXPECT_EQ(dn("/tmp/dm/shadow/42/"), "/tmp/dm/shadow");
    EXPECT_EQ(dn("/a"), "/");
    EXPECT_EQ(dn("\\a"), "\\");
    EXPECT_EQ(dn("/"), "/");
    EXPECT_EQ(dn("a/"), ".");
    EXPECT_EQ(dn("x\\y/z"), "x\\y");
    EXPECT_EQ(dn(""), "");
    EXPECT_EQ(file_io_dirname(nullptr), nullptr);
}

TEST(FileIoPaths, UnixpathTurnsBackslashesAndBounds)
{
    char out[8];
    EXPECT_STREQ(file_io_unixpath("a\\b", out, sizeof out), "a/b");
    EXPECT_STREQ(file_io_unixpath("\\x\\y\\z\\w", out, 6), "/x/y/");
    EXPECT_EQ(file_io_unixpath("a", out, 0), nullptr);
}
