// What the chunk store's running half (chunk_store.cpp) and its checking
// half (chunk_check.cpp) share: the container record's head and its codec.
#pragma once

#include "appliance/chunk_store.h"
#include "appliance/store_int.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr const char *CHUNK_CONT_SUFFIX = ".kcc";

struct chunk_rec_head {
    uint32_t flags = 0, len = 0, stored = 0;
    bfst_fp fp;
    uint64_t sum = 0;
};

void chunk_head_encode(unsigned char *h, const bfst_fp &fp, uint32_t len, uint32_t flags, const void *stored,
                       size_t n);
// A record head that is whole and consistent (its stored bytes unchecked).
bool chunk_head_decode(const unsigned char *h, chunk_rec_head *out);
// "<16 hex digits>.kcc" of a container id, and back.
std::string chunk_cont_name(uint64_t id);
bool chunk_parse_cont_name(const std::string &n, uint64_t *id);
// Reads and checks the record at off into buf; 0, or a static reason.
const char *chunk_read_record(int fd, uint64_t off, uint32_t stored, chunk_rec_head *rh,
                              std::vector<unsigned char> *buf);

// Walks a container's records from the start: f(offset, head) for each whole
// one. Returns the offset where the whole records end.
template <typename F> uint64_t chunk_scan_records(int fd, uint64_t file_size, F f)
{
    uint64_t off = 0;
    unsigned char h[CHUNK_REC_HEAD];
    while (off + CHUNK_REC_HEAD <= file_size) {
        if (store_pread_full(fd, h, sizeof h, off) != ssize_t(sizeof h))
            break;
        chunk_rec_head rh;
        if (!chunk_head_decode(h, &rh) || off + CHUNK_REC_HEAD + rh.stored > file_size)
            break;
        f(off, rh);
        off += CHUNK_REC_HEAD + rh.stored;
    }
    return off;
}
