// The caches of the BFST path. The write-behind cache gathers RMAN's blocks
// into one larger buffer and hands it to its writer in one piece, so the
// transfer library sees fewer, larger stores; a write larger than the cache
// bypasses it without a copy. The read-ahead cache is created when configured
// and holds its buffer; no read of this library goes through it.
#pragma once

#include <cstdint>

// Stores len bytes at image offset off; cell is the context the cache was
// created with. Returns 0 or a status.
typedef int (*bfst_cache_writer)(const void *buf, uint64_t off, uint64_t len, void *cell);
// Reads up to len bytes at off into buf; *got receives the count.
typedef int (*bfst_cache_reader)(void *buf, uint64_t off, uint64_t len, void *cell, uint64_t *got);

struct bfst_wcache {
    bfst_cache_writer writer;
    void *cell;
    unsigned char *buffer;
    uint64_t capacity;
    uint64_t fill;          // bytes held
    uint64_t start_offset;  // image offset of the first held byte
    uint64_t next_offset;   // just past the held bytes: a write here continues the buffer
};

struct bfst_rcache {
    bfst_cache_reader reader;
    void *cell;
    unsigned char *buffer;
    uint64_t capacity;
    uint64_t fill;
    uint64_t start_offset;
    uint64_t hits;
};

// 0, 22 for capacity 0, 12 when the object or its buffer cannot be allocated
// (nothing stays allocated then).
int bfst_wcache_create(uint64_t capacity, bfst_cache_writer writer, void *cell, bfst_wcache **out);
int bfst_rcache_create(uint64_t capacity, bfst_cache_reader reader, void *cell, bfst_rcache **out);
// Frees the cache and its buffer (the cell belongs to the caller).
void bfst_wcache_destroy(bfst_wcache *c);
void bfst_rcache_destroy(bfst_rcache *c);

// Takes len bytes for image offset off: held in the buffer, or handed to the
// writer. 0 or the writer's status; on failure the held bytes stay for the
// next flush.
int bfst_wcache_write(bfst_wcache *c, const void *data, uint64_t off, uint64_t len);
// Hands the held bytes to the writer. 0 or the writer's status (the bytes stay held).
int bfst_wcache_flush(bfst_wcache *c);
