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

std::atomic<uint16_t> g_next_id{0};
std::atomic<uint32_t> g_next_gen{0};

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

}  // namespace file_io_impl

using namespace file_io_impl;

file_io *file_io_open(const char *path, int hdr_sz, int flags, unsigned opts, int *errp)
{
    int dummy;
    if (errp == nullptr)
        errp = &dummy;
    if (path == nullptr || hdr_sz < 0) {
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "Invalid Arguments: path(%p), hdr_sz(%d)\n",
                 static_cast<const void *>(path), hdr_sz);
        *errp = FILE_ERR_OPEN;
        return nullptr;
    }
    void *mem = calloc(1, sizeof(file_io) + static_cast<size_t>(hdr_sz));
    if (mem == nullptr) {
        *errp = FILE_ERR_NOMEM;
        return nullptr;
    }
    file_io *f = new (mem) file_io{};
    f->fd = -1;
    f->swap_fd = -1;
    f->pg_head = nullptr;
    f->pg_tail = nullptr;
    util_strlcpy(f->name, path, sizeof f->name);
    md5_digest(f->name, strlen(f->name), f->name_digest);
    f->flags = flags;
    f->hdr_sz = hdr_sz;
    f->hdr = reinterpret_cast<unsigned char *>(f + 1);

    f->fd = ::open(path, host_open_flags(flags), 0600);
    if (f->fd < 0) {
        int e = errno;
        util_log(UTIL_LOG_DEBUG, kSrc, __LINE__, "open(%s) failed - %s[%d]\n", path,
                 util_strerror(util_errno_to_kes(e)), util_errno_to_kes(e));
        release(f);
        *errp = FILE_ERR_OPEN;
        return nullptr;
    }
    if (opts & FILE_IO_DELETE_ON_CLOSE) {
        if (::unlink(path) != 0)
            util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "unlink(%s) after open failed - %d\n", path,
                     util_errno_to_kes(errno));
    }
    if (fstat(f->fd, &f->st) != 0) {
        ::close(f->fd);
        release(f);
        *errp = FILE_ERR_STAT;
        return nullptr;
    }
    f->priv = (opts & FILE_IO_PRIVATE) != 0;
    f->stored_end.store(static_cast<uint64_t>(f->st.st_size), std::memory_order_relaxed);
    f->id = g_next_id.fetch_add(1, std::memory_order_relaxed);
    f->gen = g_next_gen.fetch_add(1, std::memory_order_relaxed);
    if (!S_ISREG(f->st.st_mode)) {
        ::close(f->fd);
        release(f);
        *errp = FILE_ERR_NOTFILE;
        return nullptr;
    }
    f->magic = FILE_IO_MAGIC_IN_USE;
    if (hdr_sz > 0) {
        int kerr;
        (void)pio(f->fd, false, f->hdr, 0, hdr_sz, &kerr);  // a short or new file keeps zeros
    }
    f->error.store(0);
    *errp = 0;
    return f;
}

int file_io_close(file_io *f)
{
    check(f);
    int rc = 0;
    if ((f->flags & (KES_O_RDWR | KES_O_CREAT)) && f->hdr_sz > 0)
        rc = file_io_write_hdr(f);
    if (f->fd >= 0)
        ::close(f->fd);
    if (f->swap_fd >= 0)
        ::close(f->swap_fd);
    release(f);
    return rc;
}

int file_io_unlink(const char *path)
{
    if (path == nullptr || ::unlink(path) != 0)
        return FILE_ERR_DELETE;
    return 0;
}

int file_io_open_swap(file_io *f)
{
    check(f);
    if (f->swap_fd >= 0)
        return 0;
    char swp[FILE_IO_NAME_MAX + 8];
    snprintf(swp, sizeof swp, "%s.swp", f->name);
    f->swap_fd = ::open(swp, host_open_flags(f->flags), 0600);
    if (f->swap_fd < 0) {
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "open(%s) failed - %d\n", swp, util_errno_to_kes(errno));
        return FILE_ERR_AOPEN;
    }
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

bool file_io_make_dirs(const char *dir)
{
    char buf[260];
    util_strlcpy(buf, dir, sizeof buf);
    for (char *p = buf; *p; p++) {
        if (*p != '/' && *p != '\\')
            continue;
        size_t len = static_cast<size_t>(p - buf);
        if (len == 0 || (len == 2 && buf[1] == ':'))
            continue;
        const bool last = p[1] == '\0';
        char save = *p;
        *p = '\0';
        if (mkdir(buf, last ? 0700 : 0755) != 0) {
            struct stat st;
            if (errno != EEXIST) {
                *p = save;
                return false;
            }
            if (last && lstat(buf, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
                (st.st_mode & 022) != 0)
                chmod(buf, 0700);
        }
        *p = save;
    }
    return true;
}

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
