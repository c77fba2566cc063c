// Files assembled from blobs: a backup file whose data arrived over the BFST
// service is not copied together. The file itself holds a small manifest
// that lists its segments, runs of bytes kept in blobs of the blob directory
// <root>/.bfst (blob_store.h), and the store's read path follows it.
//
// Manifest (the whole data file, big-endian):
//   offset  size  field
//   0       8     magic "KESSEGS1"
//   8       8     size of the file it stands for, in bytes
//   16      4     number of segments n (1 .. STORE_MAX_SEGS)
//   20      4     reserved, 0
//   24      8     checksum (dm_sum64) of bytes 0..23 followed by every segment
//   32      64n   segments, in file order, each:
//                   +0   32  tag of the blob (its file is <root>/.bfst/<hex tag>)
//                   +32   8  size of the blob in bytes
//                   +40   8  offset of the segment in the file
//                   +48   8  offset of the segment in the blob
//                   +56   8  length of the segment (not 0)
// The segments cover the file from offset 0 without gap or overlap, and each
// lies inside its blob. A manifest is kept with the page checksums of its own
// bytes like any data file, but in the sidecar ".<name>.kms" instead of
// ".<name>.kcs": that sidecar, which no client can write, is what tells a
// manifest from a data file whose bytes happen to look like one. Each blob
// keeps the page checksums of its bytes in <root>/.bfst/.<hex tag>.kcs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t STORE_SEG_TAG_BYTES = 32;
constexpr size_t STORE_SEG_HDR = 32;
constexpr size_t STORE_SEG_ENTRY = 64;
constexpr uint32_t STORE_MAX_SEGS = 65536;
// The directory of the blobs under the store's root.
constexpr const char *STORE_BLOB_DIR = ".bfst";

// A run of a file's bytes kept in a blob.
struct store_seg {
    std::string tag;           // hexadecimal text, lower case, 2 * STORE_SEG_TAG_BYTES digits
    uint64_t blob_size = 0;
    uint64_t file_off = 0;
    uint64_t blob_off = 0;
    uint64_t length = 0;
};

// Checks that segments (in any order) cover a file from offset 0 without gap
// or overlap, each inside its blob with a well-formed tag, and sorts them in
// file order. 0 with *size the file's size, or KES_EINVAL with *why saying what
// is wrong (a static text).
int store_segs_check(std::vector<store_seg> *segs, uint64_t *size, const char **why);

// The manifest of checked segments.
std::vector<unsigned char> store_segs_encode(const std::vector<store_seg> &segs, uint64_t size);
// Parses a manifest of len bytes: 0, or KES_EIO with *why saying what is wrong.
int store_segs_decode(const unsigned char *buf, size_t len, std::vector<store_seg> *segs, uint64_t *size,
                      const char **why);
