// The chunk store of deduplicated BFST stores: every distinct chunk once,
// in append-only container files under <root>/.bfst/chunks, found by its
// fingerprint (bfst/bfst_dedup.h). A blob of a deduplicated store is kept as
// its recipe: the list of its chunks.
//
// Container <root>/.bfst/chunks/<16 hex digits>.kcc: records back to back,
// each a 64-byte head (big-endian) and the stored bytes:
//   0   4  magic "KCH1"
//   4   4  stored form (0 or BFST_CHUNK_LZ4)
//   8   4  length of the chunk
//   12  4  stored length
//   16  32 fingerprint (SHA-256 of the chunk)
//   48  8  dm_sum64 of the stored bytes
//   56  8  dm_sum64 of bytes 0..55
// A run appends only to containers it created; a record torn by a crash ends
// the scan of its container and is dead space like any unreferenced chunk.
//
// Recipe (the blob file <root>/.bfst/<tag>; its page checksums are kept in
// .<tag>.krs instead of .<tag>.kcs, which is what marks a blob as a recipe):
//   36 bytes per chunk in stream order: fingerprint (32), length u32
//   trailer (40 bytes): magic "KESRCP01", stream length u64, chunk count
//   u64, dm_sum64 of the entries, dm_sum64 of the trailer's first 32 bytes.
//
// Crash safety. The index (fingerprint -> container, offset) lives in memory
// and is rebuilt from the containers at start-up; reference counts are
// rebuilt from the recipes that survive the start-up sweep (those of
// complete files). A recipe is made durable only after every container it
// uses is synced, so a durable recipe never names a chunk that is not on
// disk. Chunks of a store still being written are referenced in memory from
// the moment the store is told it has them. Garbage collection removes a
// container only when none of its chunks is referenced, after copying the
// referenced ones of a mostly dead container into the active one and
// syncing that; a kill at any point leaves every referenced chunk in at
// least one container.
//
// Space. Container bytes count against the quota from the moment they are
// written until their container is removed; recipes count as blobs. Dead
// chunks therefore count until garbage collection reclaims them.
//
// Status values are KES_E* error numbers (datamover/util.h).
#pragma once

#include "bfst/bfst_dedup.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct store;
struct chunk_store;
struct sums_file;

constexpr const char *CHUNK_DIR = "chunks";          // under the blob directory
constexpr const char *RECIPE_SUMS_SUFFIX = ".krs";   // page checksums of a recipe
// The page checksums of the stream a recipe stands for (a store_sums.h
// table), made once after the recipe is sealed, so that a client asking for
// them while it restores does not cost a second pass over the chunks.
constexpr const char *RECIPE_PAGE_SUMS_SUFFIX = ".kps";
constexpr size_t CHUNK_REC_HEAD = 64;
constexpr size_t RECIPE_ENTRY = 36;
constexpr size_t RECIPE_TRAILER = 40;
constexpr uint64_t CHUNK_CONTAINER_MAX = 64ULL << 20;

struct recipe_entry {
    bfst_fp fp;
    uint32_t len = 0;
};

// ---------------------------------------------------------------- recipes

// The trailer of count entries whose dm_sum64 is entries_sum.
void recipe_trailer_encode(unsigned char out[RECIPE_TRAILER], uint64_t size, uint64_t count, uint64_t entries_sum);
// Parses a whole recipe: 0 with its entries and stream length, or KES_EIO
// with *why (a static text).
int recipe_decode(const unsigned char *buf, size_t len, std::vector<recipe_entry> *out, uint64_t *size,
                  const char **why);
// Reads and parses the recipe file at path (no page checksums).
int recipe_load(const std::string &path, std::vector<recipe_entry> *out, uint64_t *size, const char **why);

// ---------------------------------------------------------------- the store

// Opens (creating) <root>/.bfst/chunks: indexes every container, counts the
// references of the recipes in <root>/.bfst, adds the containers' bytes to
// the store's usage, collects what nobody references and starts the
// collector. Call after the blob sweep.
// gc_pause_ms makes the collector pause between steps (tests).
int chunk_store_open(store *st, const std::string &root, uint32_t gc_pause_ms, chunk_store **out, std::string *err);
void chunk_store_close(chunk_store *cs);

// Takes one reference of a chunk the store has (true), or none (false). A
// chunk known with another length is refused (KES_EINVAL in *rc).
bool chunk_ref(chunk_store *cs, const bfst_fp &fp, uint32_t len, int *rc);
// Stores a chunk (stored bytes in the given form) with refs references; a
// chunk already there just gains them. KES_ENOSPC when the quota refuses it.
int chunk_put(chunk_store *cs, const bfst_fp &fp, uint32_t len, uint32_t flags, const void *stored, size_t n,
              uint32_t refs);
// Lets go of references; the collector reclaims chunks nobody references.
void chunk_unref(chunk_store *cs, const bfst_fp *fps, size_t n);
// Makes every chunk written so far durable.
int chunk_store_sync(chunk_store *cs);
// Lets go of the references of the recipe at path (a blob being removed).
void chunk_release_recipe(chunk_store *cs, const std::string &path);

// Reads a chunk into out (len bytes), checked against its record's
// checksums. KES_EIO with *why when it is missing or damaged; out may then
// hold some of its bytes, which the caller must not pass on.
int chunk_read(chunk_store *cs, const recipe_entry &e, unsigned char *out, std::vector<unsigned char> *scratch,
               const char **why);

// A reader of many chunks at a time: its buffers, taken once.
struct chunk_reader;
chunk_reader *chunk_reader_new();
void chunk_reader_free(chunk_reader *r);
// Reads the whole chunks es[0..n) into out, back to back, each checked as
// chunk_read does: located under one lock a group at a time, and the chunks
// that lie one after the other in a container read with one system call.
int chunk_read_many(chunk_store *cs, chunk_reader *r, const recipe_entry *es, size_t n, unsigned char *out,
                    const char **why);

// The page checksums of the stream of a recipe (its entries, size bytes),
// read from its chunks, each checked. 0; KES_EIO with *why when a chunk is
// missing or damaged; KES_ENOMEM.
int chunk_recipe_sums(chunk_store *cs, const std::vector<recipe_entry> &es, uint64_t size, sums_file **out,
                      const char **why);
// Makes the page checksums of the sealed recipe blob <tag> in the background
// and keeps them as .<tag>.kps beside it.
void chunk_store_sum_later(chunk_store *cs, const std::string &tag);
// Waits until the checksums asked for so far are made (tests).
void chunk_store_sums_idle(chunk_store *cs);

// One collection now (the collector also runs by itself). Returns the
// bytes it reclaimed.
uint64_t chunk_store_gc(chunk_store *cs);

struct chunk_stats {
    uint64_t chunks = 0;      // indexed
    uint64_t referenced = 0;  // of them, referenced
    uint64_t raw = 0;         // their length
    uint64_t disk = 0;        // container bytes
    uint64_t live = 0;        // container bytes of referenced chunks
    uint64_t containers = 0;
};
chunk_stats chunk_store_stats(chunk_store *cs);

// ---------------------------------------------------------------- checking

// Re-reads every chunk of the store under root (offline) and checks its
// fingerprint, then every recipe and the files that use it. Each problem is
// one line in *problems. Returns the number of problems.
size_t chunk_store_verify(const std::string &root, std::vector<std::string> *problems, chunk_stats *stats);
