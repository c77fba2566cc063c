// Local file layer: one local file wrapped in a file object that the page
// cache keys its pages on and does positioned I/O against, the I/O record the
// cache submits through, and small path helpers.
//
// Every operation on a file object requires an object that is open (magic
// FILE_IO_MAGIC_IN_USE); handing in a closed or foreign object is a defect of
// the caller and stops the process.
//
// The layer keeps no locks. A file object is shared by the threads of one page
// cache, whose locks serialise access to the fields the cache keeps (page list
// and count); the sticky error may be touched from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

struct pce;

constexpr uint32_t FILE_IO_MAGIC_IN_USE = 0xFEEDFACE;
constexpr uint32_t FILE_IO_MAGIC_FREE = 0xDEADBEEF;
constexpr size_t FILE_IO_NAME_MAX = 254;  // name buffer, NUL included

// Options of file_io_open.
enum : unsigned {
    // Remove the file's name right after it is opened, so the file disappears
    // when its last descriptor closes (the twin of delete-on-close). Callers
    // that remove the name themselves (and want to report on it) leave it off.
    FILE_IO_DELETE_ON_CLOSE = 0x1,
    // Only this object writes the file: a read wholly past the furthest byte
    // it has written (or the size found at open) returns 0 without a system
    // call. For files created exclusively in a private place.
    FILE_IO_PRIVATE = 0x2,
};

// Type bits of file_io_submit.
enum : int {
    FILE_IO_WRITE = 0x00,
    FILE_IO_READ = 0x01,
    FILE_IO_OPMASK = 0x0F,
    FILE_IO_SWAP = 0x10,  // the swap companion instead of the file
    FILE_IO_SYNC = 0x20,
};

struct file_io {
    int fd;
    int swap_fd;   // -1 while the swap companion is not open
    int flags;     // open flags as given (KES_O_* numbering)
    int pg_cnt;    // pages of the page cache bound to this file (kept by the cache)
    int hdr_sz;    // bytes of the file header kept in memory; 0 = none
    uint16_t id;   // process-wide, one per open
    uint32_t gen;  // process-wide, one per open
    pce *pg_head;  // the file's pages (kept by the cache)
    pce *pg_tail;
    std::atomic<int> error;  // sticky: first asynchronous failure, 0 otherwise
    char name[FILE_IO_NAME_MAX];
    struct stat st;  // filled at open; st_size may be overwritten by the owner
    uint32_t magic;
    unsigned char name_digest[16];  // MD5 of name
    unsigned char *hdr;             // hdr_sz bytes at the end of the object
    bool priv;                      // opened with FILE_IO_PRIVATE
    std::atomic<uint64_t> stored_end;  // FILE_IO_PRIVATE: no byte at or past this offset is in the file
};

// One in-flight page I/O. The page cache owns an array of them and keeps the
// links, the page and the collected mark.
struct file_io_aio {
    int fd;
    int write;  // 1 write, 0 read
    void *buf;
    int64_t len;
    file_io *f;
    int result;  // -1 while unfinished; bytes transferred, or a negative FILE_ERR_* code
    uint64_t off;
    pce *page;
    int kerr;  // runtime error number of a failed transfer (KES_E* numbering), 0 otherwise
    bool collected;
    file_io_aio *next;
    file_io_aio *prev;
    file_io_aio *cnext;  // the collecting completion pass's own list
};

// Opens path with flags (KES_O_* numbering) plus close-on-exec; a created file
// gets permission read + write for its owner. hdr_sz > 0 reads the first hdr_sz
// bytes into the header copy (a short file leaves the rest zero). opts: see
// FILE_IO_DELETE_ON_CLOSE. Null with *errp FILE_ERR_NOMEM, FILE_ERR_OPEN,
// FILE_ERR_STAT or FILE_ERR_NOTFILE; *errp 0 on success.
file_io *file_io_open(const char *path, int hdr_sz, int flags, unsigned opts, int *errp);
// Writes the header copy back at offset 0 when the file was opened for
// read-write or create and has a header, closes both descriptors, marks the
// object released and frees it. 0, or FILE_ERR_HDRIO.
int file_io_close(file_io *f);
// 0 or FILE_ERR_DELETE.
int file_io_unlink(const char *path);
// Opens "<name>.swp" with the file's own open flags; 0 (also when already
// open) or FILE_ERR_AOPEN.
int file_io_open_swap(file_io *f);

// Positioned I/O; the descriptor's file position is left as it was.
// pread reads up to len bytes and returns how many came back (0 past the end
// of the file), or FILE_ERR_IO. pwrite writes all len bytes: 0 or FILE_ERR_IO.
int64_t file_io_pread(file_io *f, void *buf, uint64_t off, int64_t len);
int file_io_pwrite(file_io *f, const void *buf, uint64_t off, int64_t len);
// Header copy from and to offset 0: 0, or FILE_ERR_HDRIO unless exactly
// hdr_sz bytes were transferred.
int file_io_read_hdr(file_io *f);
int file_io_write_hdr(file_io *f);

// Does the read or write of type (FILE_IO_READ / FILE_IO_WRITE, plus
// FILE_IO_SWAP for the swap companion, which must be open) at once and stores
// the outcome in the record, so a submitted record is complete when this
// returns. Result: the bytes transferred (a read may return fewer than len at
// the end of the file; a write returns len), or FILE_ERR_NOSPC, FILE_ERR_NOMEM
// or FILE_ERR_IO (FILE_ERR_AOPEN when the swap companion is not open). Any
// other operation returns 0 and leaves the record's result unchanged.
int file_io_submit(file_io_aio *aio, file_io *f, int type, void *buf, uint64_t off, int64_t len);
int file_io_result(const file_io_aio *aio);

// Sticky error: the first non-zero error set stays until cleared.
void file_io_set_error(file_io *f, int err);
int file_io_get_error(file_io *f);
void file_io_clear_error(file_io *f);

// In place: drops one trailing separator, cuts at the last separator ('/' or
// '\\'); a separator at the start is kept as the root; a path without
// separator becomes "." (an empty path stays empty). Returns path.
char *file_io_dirname(char *path);
// Copies path into out (capacity cap, NUL included, truncating) with every
// backslash turned into a slash. Returns out (null when out is null or cap 0).
char *file_io_unixpath(const char *path, char *out, size_t cap);

// ---- log and private files

// A log file opened for appending (a stream), created readable and writable
// by its owner only; nofollow: a path that is a symbolic link is refused.
// Null on failure.
FILE *file_io_open_append(const char *path, bool nofollow);
// The log index file, opened for reading and writing (created when missing)
// and locked on its first byte against other processes and other opens, the
// lock retried until it is granted. Null on failure. file_io_close_index
// flushes, releases the lock and closes.
FILE *file_io_open_index(const char *path);
void file_io_close_index(FILE *fp);
// Size of the file under an open stream.
bool file_io_stream_size(FILE *fp, uint64_t *size);
// Creates every directory along dir, which ends in a separator (an existing
// one is no failure). The last, the library directory itself, is private to
// its owner: created so, and on Linux made private when others may change it.
bool file_io_make_dirs(const char *dir);

// ---- private files (the credential store)

// What the owner checks of a private file need to know.
struct file_io_private_info {
    bool link;      // a symbolic link (never followed)
    bool regular;   // a regular file
    unsigned owner; // the file's owner ...
    unsigned me;    // ... and this process's user: equal when the file is ours
    unsigned mode;  // permission bits; others' bits (077) must be clear
    uint64_t size;
};
// The path itself, a link not followed. 0, or -1 with errno set (ENOENT: missing).
int file_io_stat_private(const char *path, file_io_private_info *pi);
// Opens path for reading, never through a symbolic link (errno ELOOP), and
// describes the open file. A descriptor, or -1 with errno set.
int file_io_open_private(const char *path, file_io_private_info *pi);
// Bytes read (0 at the end), or -1.
long file_io_read_private(int fd, void *buf, size_t len);
void file_io_close_private(int fd);
// Whether this process may change the file.
bool file_io_writable(const char *path);
// Writes data to a fresh temporary file beside path, readable by its owner
// only, puts it on disk and moves it over path in one step, so the file is
// never seen half-written. 0 or -1.
int file_io_replace_private(const char *path, const void *data, size_t len);
// Opens (creating, owner-only) path and takes an exclusive lock on the whole
// file, waiting for it; the lock belongs to this open, so two opens in one
// process exclude each other too. A descriptor, or -1; file_io_unlock_file
// releases and closes (-1 is ignored).
int file_io_lock_file(const char *path);
void file_io_unlock_file(int fd);
