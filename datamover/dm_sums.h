// Data checksums shared by the appliance and the DM client: the checksum of a
// page of stored data, and how a client asks the appliance for the checksums
// it keeps.
//
// A stored file is cut into pages of DM_SUM_PAGE bytes from offset 0; the
// checksum of a page is XXH3-64 (seed 0) of its bytes, of fewer bytes for the
// last page of a file whose size is not a whole number of pages.
//
// Asking for checksums keeps the DM protocol as it is: the client sends an
// ordinary get-attribute request on the open file, with the reserved attribute
// name DM_SUMS_ATTR followed by the decimal byte offset of the first page
// wanted ("kestralon.page-sums@262144"); the offset must be a multiple of
// DM_SUM_PAGE. The value that comes back (big-endian):
//
//   offset  size  field
//   0       4     page size in bytes (DM_SUM_PAGE)
//   4       4     algorithm (DM_SUM_ALG_XXH3_64)
//   8       8     byte offset of the first page answered
//   16      4     number of checksums that follow (n)
//   20      4     reserved, 0
//   24      8n    one checksum per page, in file order
//
// The answer holds as many pages from the offset on as fit the capacity the
// request announced, never past the end of the file (0 checksums at or past
// it). An appliance that does not keep checksums answers the request like any
// unknown attribute (an error status), and the client then reads without this
// check. Setting an attribute of the reserved name is refused.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t DM_SUM_PAGE = 262144;
constexpr uint32_t DM_SUM_ALG_XXH3_64 = 1;
constexpr const char *DM_SUMS_ATTR = "kestralon.page-sums@";
constexpr size_t DM_SUMS_HDR_SIZE = 24;
// Longest reserved name: the prefix and a 64-bit decimal number.
constexpr size_t DM_SUMS_NAME_MAX = 64;

// Checksum of n bytes.
uint64_t dm_sum64(const void *p, size_t n);

// The same checksum over bytes that arrive in pieces.
struct dm_sum_stream;
dm_sum_stream *dm_sum_stream_new();  // null when out of memory
void dm_sum_stream_free(dm_sum_stream *s);
void dm_sum_stream_reset(dm_sum_stream *s);
void dm_sum_stream_add(dm_sum_stream *s, const void *p, size_t n);
uint64_t dm_sum_stream_value(const dm_sum_stream *s);

// True when attr is (or starts like) the reserved name.
bool dm_sums_attr_reserved(const char *attr);

// The reserved name asking for the pages from byte offset off on, into out
// (at least DM_SUMS_NAME_MAX bytes). Returns the length.
size_t dm_sums_attr_name(uint64_t off, char *out, size_t cap);

// Parses a reserved name: 0 with the offset, or DM_ERR_BADMSG for another
// name, a number that does not parse or an offset that is not page-aligned.
int dm_sums_attr_parse(const char *attr, uint64_t *off);

// Encodes the answer for n checksums from byte offset off into buf. Returns the
// length, or DM_ERR_INVALID_LEN when it does not fit.
int dm_sums_encode(uint64_t off, const uint64_t *sums, uint32_t n, void *buf, size_t cap);

// Decodes an answer of len bytes: 0 with the offset of its first page and the
// count of checksums, which are copied into sums (room for max). DM_ERR_BADMSG
// for a page size or algorithm this side does not compute, a misaligned
// offset, a count that does not match the length, or more than max.
int dm_sums_decode(const void *buf, size_t len, uint64_t *off, uint64_t *sums, uint32_t max, uint32_t *n);
