// Checksums of one stored data file: the unit of integrity of the appliance.
//
// Every data file the appliance keeps carries the checksum of each of its
// pages (DM_SUM_PAGE bytes from offset 0, the last one possibly shorter; the
// checksum is datamover/dm_sums.h's). They are computed as the data arrives:
// a write that covers a whole page, or continues the page being filled in
// order, is summed from the bytes in hand; a page written out of order, in
// part, or rewritten is marked and read back from the file when the table is
// sealed. A sealed table is kept in a sidecar file beside the data:
//
//   offset  size  field (big-endian)
//   0       8     magic "KESSUMS1"
//   8       4     page size (DM_SUM_PAGE)
//   12      4     algorithm (DM_SUM_ALG_XXH3_64)
//   16      8     size of the data file in bytes
//   24      8     checksum of bytes 0..23 followed by every entry
//   32      8n    one checksum per page, n = pages of the data file
//
// Every read goes through sums_pread, which reads the pages it touches whole
// (a page only partly wanted goes through a scratch buffer) and refuses data
// whose checksum does not match. While a table is being written (not yet
// sealed), its pages without a current checksum are read unchecked; a sealed
// or loaded table vouches for every page or fails the read.
//
// The store uses one table per backup file; anything else kept as data files
// of the same kind uses the same calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

struct sums_file;

// What a refused read could not vouch for.
struct sums_damage {
    uint64_t off = 0;          // offset of the first page refused
    const char *why = nullptr;  // static text
};

// An empty table for a file written from nothing. Null when out of memory.
sums_file *sums_new();
// The table kept in the sidecar at path for a data file of size bytes.
// 0; KES_ENOENT when there is no sidecar; KES_EIO when it is damaged or does
// not describe a file of that size (*why says which).
int sums_load(const std::string &path, uint64_t size, sums_file **out, const char **why);
// A table that refuses every read with the given reason (a complete file whose
// checksums are lost). Null when out of memory.
sums_file *sums_refusing(const char *why);
void sums_free(sums_file *s);

// Notes len bytes just written at off; buf holds them. 0, or KES_ENOMEM when
// the table cannot grow to the offset (the write must then fail).
int sums_note_write(sums_file *s, const void *buf, size_t len, uint64_t off);
// Makes every page of a file of size bytes current, reading back from fd the
// pages the writes did not sum. 0 or an error number.
int sums_seal(sums_file *s, int fd, uint64_t size);
// Writes a sealed table durably to path (temporary name, fsync, rename,
// fsync of the directory). 0 or an error number.
int sums_save(const sums_file *s, const std::string &path);

// Reads up to len bytes at off from fd (a data file of size bytes) into buf
// and verifies them. 0 with *got the count (0 at or past the end); KES_EIO
// with *dmg filled when a page does not match, has no checksum, or is shorter
// on disk than recorded; another error number when reading fails.
int sums_pread(sums_file *s, int fd, uint64_t size, void *buf, size_t len, uint64_t off, size_t *got,
               sums_damage *dmg);

// Copies the checksums of the pages from first_page on into out (at most max),
// stopping at the first page without a current checksum. Returns the count.
uint32_t sums_get(sums_file *s, uint64_t first_page, uint64_t *out, uint32_t max);

// Small files the store keeps beside its data files (checksums, attributes):
// replaces path with len bytes, durably (a temporary name "<path>.ktmp",
// fsync, rename, fsync of the directory). 0 or an error number.
int store_replace_file(const std::string &path, const void *data, size_t len);
// fsync of the directory that holds path. 0 or an error number.
int store_fsync_dir(const std::string &path);
// Reads exactly n bytes at off unless the file ends first; the count read or -1.
ssize_t store_pread_full(int fd, void *buf, size_t n, uint64_t off);
