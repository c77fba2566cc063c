#include "datamover/file_io.h"
#include "datamover/file_io_int.h"

#include "datamover/md5.h"
#include "datamover/util.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <new>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr const char *kSrc = "file_io";

int host_open_flags(int flags)
{
    int o;
    if (flags & KES_O_RDWR)
        o = O_RDWR;
    else if (flags & KES_O_WRONLY)
        o = O_WRONLY;
    else
        o = O_RDONLY;
    if (flags & KES_O_CREAT)
        o |= O_CREAT;
    if (flags & KES_O_TRUNC)
        o |= O_TRUNC;
    if (flags & KES_O_EXCL)
        o |= O_EXCL;
    return o | O_CLOEXEC;
}

}  // namespace

namespace file_io_impl {

int64_t pio(int fd, bool write, void *buf, uint64_t off, int64_t len, int *kerr)
{
    *kerr = 0;
    if (len < 0 || off > static_cast<uint64_t>(LLONG_MAX) ||
        static_cast<uint64_t>(len) > static_cast<uint64_t>(LLONG_MAX) - off) {
        *kerr = KES_EINVAL;
        return -1;
    }
    unsigned char *p = static_cast<unsigned char *>(buf);
    int64_t done = 0;
    while (done < len) {
        size_t want = static_cast<size_t>(len - done);
        off_t at = static_cast<off_t>(off + static_cast<uint64_t>(done));
        ssize_t n = write ? ::pwrite(fd, p + done, want, at) : ::pread(fd, p + done, want, at);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *kerr = util_errno_to_kes(errno);
            return -1;
        }
        if (n == 0) {
            if (!write)
                break;  // end of file
            *kerr = KES_EIO;
            return -1;
        }
        done += n;
    }
    return done;
}

int open_file(const char *path, int flags, unsigned opts)
{
    int fd = ::open(path, host_open_flags(flags), 0600);
    if (fd >= 0 && (opts & FILE_IO_DELETE_ON_CLOSE)) {
        if (::unlink(path) != 0)
            util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "unlink(%s) after open failed - %d\n", path,
                     util_errno_to_kes(errno));
    }
    return fd;
}

void close_file(int fd) { ::close(fd); }

}  // namespace file_io_impl

using namespace file_io_impl;

int file_io_unlink(const char *path)
{
    if (path == nullptr || ::unlink(path) != 0)
        return FILE_ERR_DELETE;
    return 0;
}

char *file_io_unixpath(const char *path, char *out, size_t cap)
{
    if (out == nullptr || cap == 0)
        return nullptr;
    if (path == nullptr) {
        out[0] = '\0';
        return out;
    }
    util_strlcpy(out, path, cap);
    for (char *p = out; *p; p++)
        if (*p == '\\')
            *p = '/';
    return out;
}

// ---------------------------------------------------------------- log files

FILE *file_io_open_append(const char *path, bool nofollow)
{
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0), 0600);
    if (fd < 0)
        return nullptr;
    FILE *fp = fdopen(fd, "a");
    if (fp == nullptr)
        ::close(fd);
    return fp;
}

// A one-byte record lock on byte 0, retried while another process holds it.
FILE *file_io_open_index(const char *path)
{
    int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return nullptr;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    while (fcntl(fd, F_SETLK, &fl) != 0) {
        if (errno != EACCES && errno != EAGAIN && errno != EINTR) {
            ::close(fd);
            return nullptr;
        }
        usleep(1000);
    }
    FILE *fp = fdopen(fd, "r+");
    if (fp == nullptr) {
        ::close(fd);
        return nullptr;
    }
    return fp;
}

// Closing the descriptor releases the record lock.
void file_io_close_index(FILE *fp)
{
    fflush(fp);
    fclose(fp);
}

bool file_io_stream_size(FILE *fp, uint64_t *size)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0)
        return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

namespace file_io_impl {

bool make_dir(const char *path, bool last)
{
    if (mkdir(path, last ? 0700 : 0755) == 0)
        return true;
    struct stat st;
    if (errno != EEXIST)
        return false;
    if (last && lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) != 0)
        chmod(path, 0700);
    return true;
}

}  // namespace file_io_impl

// ---------------------------------------------------------------- private files

namespace {

void private_info(const struct stat &sb, file_io_private_info *pi)
{
    pi->link = S_ISLNK(sb.st_mode);
    pi->regular = S_ISREG(sb.st_mode);
    pi->owner = static_cast<unsigned>(sb.st_uid);
    pi->me = static_cast<unsigned>(geteuid());
    pi->mode = static_cast<unsigned>(sb.st_mode & 07777);
    pi->size = sb.st_size > 0 ? static_cast<uint64_t>(sb.st_size) : 0;
}

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

void sync_dir_of(const char *path)
{
    std::string copy(path);
    const char *dir = dirname(copy.data());
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
}

}  // namespace

int file_io_lock_file(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    struct stat sb;
    if (fstat(fd, &sb) == 0 && sb.st_uid == geteuid() && (sb.st_mode & 077) != 0)
        (void)fchmod(fd, 0600);
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

void file_io_unlock_file(int fd)
{
    if (fd >= 0)
        close(fd);  // releases the lock
}

int file_io_stat_private(const char *path, file_io_private_info *pi)
{
    struct stat sb;
    if (lstat(path, &sb) != 0)
        return -1;
    private_info(sb, pi);
    return 0;
}

int file_io_open_private(const char *path, file_io_private_info *pi)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    struct stat sb;
    if (fstat(fd, &sb) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    private_info(sb, pi);
    return fd;
}

long file_io_read_private(int fd, void *buf, size_t len)
{
    for (;;) {
        ssize_t r = read(fd, buf, len);
        if (r < 0 && errno == EINTR)
            continue;
        return static_cast<long>(r);
    }
}

void file_io_close_private(int fd)
{
    if (fd >= 0)
        close(fd);
}

bool file_io_writable(const char *path) { return access(path, W_OK) == 0; }

int file_io_replace_private(const char *path, const void *data, size_t len)
{
    std::string tmp = std::string(path) + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return -1;
    bool ok = fchmod(fd, 0600) == 0 && write_all(fd, static_cast<const char *>(data), len) && fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(tmp.c_str(), path) != 0)
        ok = false;
    if (!ok) {
        unlink(tmp.c_str());
        return -1;
    }
    sync_dir_of(path);
    return 0;
}
