// The part of the local file layer that is the same on every platform: the
// stored-end tracking of private files, positioned reads and writes, the
// header, the synchronous submit, the sticky error and dirname. Each twin
// supplies file_io_impl::pio and everything that opens, closes or names files.
#include "datamover/file_io_int.h"

#include "datamover/util.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kSrc = "file_io";

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

