// Internal to the local file layer: the helpers its shared part and the two
// platform twins have in common.
#pragma once

#include "datamover/file_io.h"

#include <cstdint>

namespace file_io_impl {

// Transfers len bytes at off without touching the descriptor's position.
// Reads stop early at the end of the file. Bytes transferred, or -1 with the
// error number (KES_E*) in *kerr. One per platform twin.
int64_t pio(int fd, bool write, void *buf, uint64_t off, int64_t len, int *kerr);
// Opens path with the KES_O_* flags, created readable and writable by its
// owner only; FILE_IO_DELETE_ON_CLOSE in opts: the name is gone once the
// descriptor is closed (or at once). A descriptor, or -1 with errno set.
int open_file(const char *path, int flags, unsigned opts);
void close_file(int fd);
// Creates the directory path (an existing one is no failure); last: the
// library directory itself, private to its owner. False on failure.
bool make_dir(const char *path, bool last);

// Asserts that f is an open file record.
void check(const file_io *f);
// A private file holds nothing at or past off: a read there ends at once.
bool nothing_stored(const file_io *f, uint64_t off);
// Raises the end of what a file is known to hold to end.
void note_stored(file_io *f, uint64_t end);
// The FILE_ERR_* of an error number.
int file_err_of(int kerr);
// Destroys and frees a record that file_io_open allocated.
void release(file_io *f);

}  // namespace file_io_impl
