// Blobs of the BFST service: the bytes of one store each, kept as files in
// the hidden directory <root>/.bfst (STORE_BLOB_DIR; no MI or DM name reaches
// a component that begins with "."), registered under their tag.
//
// Files:
//   <root>/.bfst/<tag>.part   a blob being written
//   <root>/.bfst/<tag>        a finished blob (fsynced, directory fsynced)
//   <root>/.bfst/.<tag>.kcs   the page checksums of a finished blob, computed
//                             as its bytes arrived (store_sums.h)
//   <root>/.bfst/.<tag>.krs   the same, in place of .kcs, for a blob that is
//                             the recipe of a deduplicated store
//   <root>/.bfst/.<tag>.kps   the page checksums of the stream such a recipe
//                             stands for, made after its seal (chunk_store.h)
//   <root>/.bfst/chunks/      the chunk store (chunk_store.h)
// where <tag> is the lower-case hexadecimal text of BLOB_TAG_BYTES random
// bytes. Every byte of a blob counts against the appliance's quota
// (store_charge) from the moment it arrives until the blob is removed.
//
// Lifetime. A finished blob is registered unheld. A file opened through MI
// holds it by an owner id (its handle); a blob held by one owner cannot be
// held by another. When the hold is released the blob is removed. Unheld
// blobs are removed when the connection that stored them ends (a client holds
// every blob it wants kept before it disconnects). A blob that becomes part
// of a complete file is handed over to the store (blob_adopt): the registry
// forgets it, and the store removes it with the file (store_segs.h). At
// start-up every blob that no complete file uses is a leftover and removed.
//
// Status values are KES_E* error numbers (datamover/util.h).
#pragma once

#include "appliance/chunk_store.h"
#include "appliance/store.h"
#include "appliance/store_segs.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

constexpr size_t BLOB_TAG_BYTES = STORE_SEG_TAG_BYTES;
constexpr size_t BLOB_TAG_TEXT = 2 * BLOB_TAG_BYTES;
constexpr uint64_t BLOB_MAX_SIZE = 1ULL << 40;

struct blob_store;
struct blob_writer;

struct blob_info {
    std::string tag;      // hexadecimal text
    std::string path;     // the finished file
    uint64_t size = 0;
    uint64_t stored = 0;  // what storing it added on disk (a recipe: with its new chunks)
    uint64_t creator = 0; // connection that stored it
    size_t holders = 0;
};

// Removes whatever an earlier run left in <root>/.bfst except the blobs that
// complete files use (keep: their tags, as store_blob_refs gives them after
// the store opened and counted them).
void blob_store_sweep(const std::string &root, const std::set<std::string> &keep);
// Opens the blob directory under the store's root, creating it 0700. Returns
// 0 or an error number with a message.
int blob_store_open(store *st, const std::string &root, blob_store **out, std::string *err);
// The chunk store that recipe blobs give their references back to.
void blob_store_set_chunks(blob_store *bs, chunk_store *cs);
// Forgets the registry; the files stay until the next start-up removes them.
void blob_store_close(blob_store *bs);

// ---------------------------------------------------------------- writing

// Starts a blob for a connection (creator). Its tag is chosen now.
int blob_create(blob_store *bs, uint64_t creator, blob_writer **out);
// Appends bytes: KES_ENOSPC when the quota refuses them, KES_EFBIG past
// BLOB_MAX_SIZE, or the write's error. Nothing is appended on failure of the
// count; a failed write leaves the writer to be abandoned.
int blob_append(blob_writer *w, const void *buf, size_t len);
uint64_t blob_writer_size(const blob_writer *w);
// The tag as bytes (BLOB_TAG_BYTES).
const unsigned char *blob_writer_tag(const blob_writer *w);
// Makes the blob durable and registers it unheld; frees the writer.
int blob_finish(blob_writer *w);
// The same for a recipe (chunk_store.h) of a stream of size bytes: the blob
// then stands for size bytes, read from the chunk store, and its file's
// page checksums are kept as .<tag>.krs. The chunks it names are durable
// and referenced already; removing the blob lets go of them. chunk_bytes:
// what its new chunks took in the chunk store.
int blob_finish_recipe(blob_writer *w, uint64_t size, uint64_t chunk_bytes = 0);
// Removes an unfinished blob and gives its bytes back; frees the writer.
void blob_abandon(blob_writer *w);

// ---------------------------------------------------------------- registry
// Tags are given as text; upper-case digits are accepted.

int blob_find(blob_store *bs, const std::string &tag, blob_info *out);
// Adds a hold (holding twice is one hold). KES_ENOENT for an unknown tag,
// KES_EACCES when another owner holds it.
int blob_hold(blob_store *bs, const std::string &tag, uint64_t owner);
// 0 with *size the blob's size when owner holds it; KES_ENOENT for an
// unknown tag, KES_EACCES when owner does not hold it.
int blob_held(blob_store *bs, const std::string &tag, uint64_t owner, uint64_t *size);
// Hands a blob owner holds over to the store, whose complete file now uses
// it: the registry forgets it; its files and its count stay. KES_ENOENT or
// KES_EACCES as blob_held.
int blob_adopt(blob_store *bs, const std::string &tag, uint64_t owner);
// Ends owner's hold; the blob is removed when nobody holds it any more.
// KES_ENOENT when the blob is unknown or owner does not hold it.
int blob_release(blob_store *bs, const std::string &tag, uint64_t owner);
// Ends every hold of an owner (a session that went away).
void blob_release_all(blob_store *bs, uint64_t owner);
// Removes a blob whoever holds it. KES_ENOENT when unknown.
int blob_remove(blob_store *bs, const std::string &tag);
// Removes the unheld blobs a connection stored; returns how many.
size_t blob_remove_unheld(blob_store *bs, uint64_t creator);
std::vector<blob_info> blob_list(blob_store *bs);
