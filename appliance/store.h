// Backup-file storage of the appliance: files under one root directory by
// share and name, their named attributes beside them, a byte quota, and the
// rule that only a file whose writer closed it successfully is visible.
//
// Names. The network names a file as "generic:/<share>/<name>" or, once MI
// has opened it, as "generic:<handle>:/<share>/<name>" with a decimal 64-bit
// handle. Both map to <root>/<share>/<name>. <name> may hold further "/"
// separated components (sub-directories). Every component must be non-empty,
// at most STORE_MAX_COMPONENT bytes, free of NUL bytes and must not begin
// with "." (this refuses "." and "..", and keeps the store's own hidden
// files out of reach); a name with a leading "/" after the share marker or
// any other prefix is refused. Backslashes are taken as separators too.
//
// Files on disk, for a file <dir>/<name>:
//   <dir>/<name>          the complete file
//   <dir>/.<name>.kpart   the file while its writer has not closed it
//   <dir>/.<name>.kxa     its attributes (records: u16 name length, name,
//                         u32 value length, value; big-endian)
//   <dir>/.<name>.kcs     the checksum of each of its pages (store_sums.h)
//   <dir>/.<name>.kcsn    new checksums while a commit is under way
//   <dir>/.<name>.kms     in place of .kcs for a file assembled from blobs:
//                         <name> then holds its manifest (store_segs.h), and
//                         these are the checksums of the manifest's bytes
//   <dir>/.<name>.kmsn    new ones while such a commit is under way
// A created file is written as .kpart; a successful commit fsyncs it, makes
// its checksums current and stores them as .kcsn, renames the data to <name>
// and the checksums to .kcs, and fsyncs the directory. A writer that goes
// away abandons the .kpart file, which is removed (and any left over from an
// earlier run is removed when the store opens). Every read is checked against
// the checksums; data that does not match is refused, never returned.
//
// When the store opens it removes what unfinished writers and commits left,
// settles a commit that a crash interrupted (the checksums that match the data
// are kept), computes the checksums of complete files that have none (files
// stored before checksums were kept), and counts the bytes in use: data files
// and attribute files at any depth, and once each the blobs that assembled
// files use; checksum files are not counted. The blob directory itself is
// the blob store's (blob_store.h).
//
// Status values are error numbers in the Windows runtime's numbering
// (KES_E* of datamover/util.h).
#pragma once

#include "appliance/store_segs.h"
#include "appliance/store_sums.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

constexpr size_t STORE_MAX_COMPONENT = 200;
constexpr size_t STORE_MAX_NAME = 1024;        // whole network name
constexpr size_t STORE_MAX_ATTR_NAME = 255;
constexpr size_t STORE_MAX_ATTR_VALUE = 65536;
constexpr size_t STORE_MAX_ATTRS = 64;         // attributes per file

struct store;
struct store_file;

// A parsed network name.
struct store_name {
    bool has_handle = false;
    uint64_t handle = 0;
    std::string rel;  // "<share>/<name>", validated
};

// Parses a network name of at most len bytes (a NUL inside refuses it).
// Returns 0 or KES_EINVAL.
int store_parse_name(const char *name, size_t len, store_name *out);

// Opens the store at an existing directory. quota is in bytes, 0 for none.
// Removes stale .kpart files and counts the bytes in use. Returns 0 or an
// error number with a message in err.
int store_open(const std::string &root, uint64_t quota, store **out, std::string *err);
void store_close(store *st);

uint64_t store_used_bytes(store *st);
uint64_t store_quota(store *st);
// Complete files whose checksums were computed when the store opened.
uint64_t store_adopted_files(store *st);
// Reads are checked against the checksums unless this is turned off (for
// measuring what the check costs).
void store_set_verify(store *st, bool on);
// True when the quota leaves room for at least one more byte.
bool store_has_space(store *st);
// Counts bytes kept beside the files (blobs of the BFST service) against the
// quota: KES_ENOSPC, and nothing counted, when they would exceed it.
int store_charge(store *st, uint64_t bytes);
// Gives counted bytes back when they are removed.
void store_uncharge(store *st, uint64_t bytes);
// Counts bytes found on disk at start-up (the chunk store's containers),
// whatever the quota says.
void store_count_bytes(store *st, uint64_t bytes);
// The chunk store that recipe blobs of assembled files read from and give
// their references back to (chunk_store.h); null when there is none.
void store_set_chunks(store *st, struct chunk_store *cs);
// Tags of the blobs that assembled files used when the store opened: the
// blobs that start-up keeps.
const std::set<std::string> &store_blob_refs(const store *st);
// The names in a directory, "." and ".." left out. False when it cannot be read.
bool store_dir_names(const std::string &dir, std::vector<std::string> *names);

// Open modes of store_file_open.
enum : unsigned {
    STORE_READ = 0x1,
    STORE_WRITE = 0x2,
    STORE_CREATE = 0x4,
    STORE_EXCL = 0x8,
};

// Opens a file by its relative name. Reading alone needs a complete file
// (KES_ENOENT otherwise, also for a file still being written). Creating makes
// a new invisible file that a later commit publishes; with STORE_EXCL a
// complete file or one being written by someone else gives KES_EEXIST.
// Writing without creating writes an existing complete file in place; a file
// assembled from blobs is never written in place (KES_EROFS).
int store_file_open(store *st, const std::string &rel, unsigned mode, std::shared_ptr<store_file> *out);

const std::string &store_file_rel(const store_file *f);
unsigned store_file_mode(const store_file *f);
uint64_t store_file_size(const store_file *f);

// Reads up to len bytes at off; *got is the count (0 at or past the end).
// KES_EIO with *dmg filled (when given) for data the checksums do not vouch for.
int store_file_pread(store_file *f, void *buf, size_t len, uint64_t off, size_t *got, sums_damage *dmg = nullptr);
// Writes len bytes at off; refuses with KES_ENOSPC when the quota would be
// exceeded, KES_EBADF when the file is not open for writing or already
// committed, KES_ENOENT when it was abandoned or deleted, KES_EFBIG past the
// largest offset served. Every byte counted against the quota is released
// again when the file is abandoned.
int store_file_pwrite(store_file *f, const void *buf, size_t len, uint64_t off);
// fsync of the data.
int store_file_sync(store_file *f);
// Makes a created file complete: fsync, checksums, rename into place, fsync
// of the directory. A file written in place is synced and its checksums
// brought up to date. Committing twice is 0. KES_ENOENT when the file was
// deleted meanwhile.
int store_file_commit(store_file *f);
// Makes a created file into which nothing was written the file made of the
// given segments of blobs (store_segs.h): its manifest is written and
// committed like data. The blobs must be finished, and belong to the file
// from then on: deleting or replacing it removes them. KES_EINVAL with *why
// saying what is wrong when the segments do not make a whole file or data was
// written into the file; otherwise as store_file_commit.
int store_file_commit_segments(store_file *f, std::vector<store_seg> segs, const char **why);
// Gives up a created file that was never committed: removes it and its
// attributes. Does nothing for other files.
void store_file_abandon(store_file *f);

// Removes a complete file (or one being written) and its attributes, and the
// blobs of an assembled file. KES_ENOENT when there is none.
int store_delete(store *st, const std::string &rel);

// Attributes by relative name; the file must be complete or being written.
// set: KES_EINVAL for a bad name or a too large value, KES_ENOSPC when the
// file already has STORE_MAX_ATTRS attributes.
// get: KES_ENOENT for a missing file or attribute; KES_ERANGE when cap is too
// small, with *len the size needed; otherwise *len the value's length.
int store_set_xattr(store *st, const std::string &rel, const char *name, const void *value, size_t len);
int store_get_xattr(store *st, const std::string &rel, const char *name, void *buf, size_t cap, size_t *len);

// Checksums of the pages of an open file from page first on (at most max),
// stopping at a page without one. The count.
uint32_t store_file_sums(store_file *f, uint64_t first, uint64_t *out, uint32_t max);
