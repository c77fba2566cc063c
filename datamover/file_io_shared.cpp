// The part of the local file layer that is the same on every platform: the
// file record's opening and closing, the stored-end tracking of private
// files, positioned reads and writes, the header, the synchronous submit, the
// sticky error and dirname. Each twin supplies the calls of file_io_impl that
// open, close, read and write a descriptor, and everything that names files.
#include "datamover/file_io_int.h"

#include "datamover/md5.h"
#include "datamover/util.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr const char *kSrc = "file_io";

std::atomic<uint16_t> g_next_id{0};
std::atomic<uint32_t> g_next_gen{0};

}  // namespace

namespace file_io_impl {

void check(const file_io *f)
{
    XASSERT(f != nullptr);
    XASSERT(f->magic == FILE_IO_MAGIC_IN_USE);
}

bool nothing_stored(const file_io *f, uint64_t off)
{
    return f->priv && off >= f->stored_end.load(std::memory_order_relaxed);
}

void note_stored(file_io *f, uint64_t end)
{
    uint64_t cur = f->stored_end.load(std::memory_order_relaxed);
    while (cur < end && !f->stored_end.compare_exchange_weak(cur, end, std::memory_order_relaxed))
        ;
}

int file_err_of(int kerr)
{
    if (kerr == KES_ENOSPC)
        return FILE_ERR_NOSPC;
    if (kerr == KES_ENOMEM)
        return FILE_ERR_NOMEM;
    return FILE_ERR_IO;
}

void release(file_io *f)
{
    f->magic = FILE_IO_MAGIC_FREE;
    f->~file_io();
    free(f);
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

    f->fd = open_file(path, flags, opts);
    if (f->fd < 0) {
        int e = errno;
        util_log(UTIL_LOG_DEBUG, kSrc, __LINE__, "open(%s) failed - %s[%d]\n", path,
                 util_strerror(util_errno_to_kes(e)), util_errno_to_kes(e));
        release(f);
        *errp = FILE_ERR_OPEN;
        return nullptr;
    }
    if (fstat(f->fd, &f->st) != 0) {
        close_file(f->fd);
        release(f);
        *errp = FILE_ERR_STAT;
        return nullptr;
    }
    f->priv = (opts & FILE_IO_PRIVATE) != 0;
    f->stored_end.store(static_cast<uint64_t>(f->st.st_size), std::memory_order_relaxed);
    f->id = g_next_id.fetch_add(1, std::memory_order_relaxed);
    f->gen = g_next_gen.fetch_add(1, std::memory_order_relaxed);
    if (!S_ISREG(f->st.st_mode)) {
        close_file(f->fd);
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
        close_file(f->fd);
    if (f->swap_fd >= 0)
        close_file(f->swap_fd);
    release(f);
    return rc;
}

int file_io_open_swap(file_io *f)
{
    check(f);
    if (f->swap_fd >= 0)
        return 0;
    char swp[FILE_IO_NAME_MAX + 8];
    snprintf(swp, sizeof swp, "%s.swp", f->name);
    f->swap_fd = open_file(swp, f->flags, 0);
    if (f->swap_fd < 0) {
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "open(%s) failed - %d\n", swp, util_errno_to_kes(errno));
        return FILE_ERR_AOPEN;
    }
    return 0;
}

int64_t file_io_pread(file_io *f, void *buf, uint64_t off, int64_t len)
{
    check(f);
    if (len >= 0 && nothing_stored(f, off))
        return 0;
    int kerr;
    int64_t n = pio(f->fd, false, buf, off, len, &kerr);
    return n < 0 ? static_cast<int64_t>(FILE_ERR_IO) : n;
}

int file_io_pwrite(file_io *f, const void *buf, uint64_t off, int64_t len)
{
    check(f);
    int kerr;
    int64_t n = pio(f->fd, true, const_cast<void *>(buf), off, len, &kerr);
    if (n > 0)
        note_stored(f, off + static_cast<uint64_t>(n));
    return n < 0 ? FILE_ERR_IO : 0;
}

int file_io_read_hdr(file_io *f)
{
    check(f);
    int kerr;
    return pio(f->fd, false, f->hdr, 0, f->hdr_sz, &kerr) == f->hdr_sz ? 0 : FILE_ERR_HDRIO;
}

int file_io_write_hdr(file_io *f)
{
    check(f);
    int kerr;
    if (pio(f->fd, true, f->hdr, 0, f->hdr_sz, &kerr) != f->hdr_sz)
        return FILE_ERR_HDRIO;
    note_stored(f, static_cast<uint64_t>(f->hdr_sz));
    return 0;
}

int file_io_submit(file_io_aio *aio, file_io *f, int type, void *buf, uint64_t off, int64_t len)
{
    check(f);
    int op = type & FILE_IO_OPMASK;
    if (op != FILE_IO_READ && op != FILE_IO_WRITE)
        return 0;
    // Swap I/O goes to the companion's own descriptor; sending it to the file
    // would overwrite the file's data at the same offsets.
    int fd = (type & FILE_IO_SWAP) ? f->swap_fd : f->fd;
    if (aio != nullptr) {
        aio->fd = fd;
        aio->write = op == FILE_IO_WRITE ? 1 : 0;
        aio->buf = buf;
        aio->len = len;
        aio->off = off;
        aio->f = f;
        aio->result = -1;
        aio->kerr = 0;
    }
    int rc;
    int kerr = 0;
    if (fd < 0) {
        rc = FILE_ERR_AOPEN;
        kerr = KES_EBADF;
    } else if (len > INT_MAX) {
        rc = FILE_ERR_IO;
        kerr = KES_EINVAL;
    } else if (op == FILE_IO_READ && !(type & FILE_IO_SWAP) && nothing_stored(f, off)) {
        rc = 0;
    } else {
        int64_t n = pio(fd, op == FILE_IO_WRITE, buf, off, len, &kerr);
        rc = n < 0 ? file_err_of(kerr) : static_cast<int>(n);
        if (n > 0 && op == FILE_IO_WRITE && !(type & FILE_IO_SWAP))
            note_stored(f, off + static_cast<uint64_t>(n));
    }
    if (rc < 0)
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "%s f[%s] off[%llu] len[%lld] failed - %s[%d]\n",
                 op == FILE_IO_WRITE ? "write" : "read", f->name, static_cast<unsigned long long>(off),
                 static_cast<long long>(len), util_strerror(kerr), kerr);
    if (aio != nullptr) {
        aio->result = rc;
        aio->kerr = kerr;
    }
    return rc;
}

int file_io_result(const file_io_aio *aio) { return aio ? aio->result : FILE_ERR_IO; }

void file_io_set_error(file_io *f, int err)
{
    check(f);
    int expected = 0;
    f->error.compare_exchange_strong(expected, err);
}

int file_io_get_error(file_io *f)
{
    check(f);
    return f->error.load();
}

void file_io_clear_error(file_io *f)
{
    check(f);
    f->error.store(0);
}

char *file_io_dirname(char *path)
{
    if (path == nullptr || path[0] == '\0')
        return path;
    auto is_sep = [](char c) { return c == '/' || c == '\\'; };
    size_t n = strlen(path);
    if (n > 1 && is_sep(path[n - 1]))
        path[--n] = '\0';
    size_t i = n;
    while (i > 0 && !is_sep(path[i - 1]))
        i--;
    if (i == 0) {
        path[0] = '.';
        path[1] = '\0';  // fits: the path had at least one character
    } else if (i == 1) {
        path[1] = '\0';  // the root
    } else {
        path[i - 1] = '\0';
    }
    return path;
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
        bool ok = make_dir(buf, last);
        *p = save;
        if (!ok)
            return false;
    }
    return true;
}
