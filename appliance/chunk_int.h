// What the halves of the chunk store share: the store's records (chunk_store.cpp
// runs it, chunk_read.cpp reads it) and the container record's head and its
// codec (chunk_check.cpp).
#pragma once

#include "appliance/chunk_store.h"
#include "appliance/store_int.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <unordered_map>
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

// ---------------------------------------------------------------- the store's records

struct container {
    uint64_t id = 0;
    int fd = -1;
    std::string path;
    uint64_t size = 0;   // bytes of whole records
    uint64_t live = 0;   // of referenced chunks
    bool dirty = false;  // written since the last sync
    bool fresh = false;  // created since the last sync: its directory entry too

    ~container()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct chunk_ent {
    std::shared_ptr<container> cont;
    uint64_t off = 0;
    uint32_t len = 0;
    uint32_t stored = 0;
    uint32_t flags = 0;
    uint32_t refs = 0;

    uint64_t rec() const { return CHUNK_REC_HEAD + stored; }
};

struct chunk_store {
    store *st = nullptr;
    std::string blob_dir, dir;
    uint32_t gc_pause_ms = 0;
    std::mutex mu;       // index, containers, counts
    std::mutex sync_mu;  // one sync at a time, so a sync returns only when all before it are durable
    std::unordered_map<bfst_fp, chunk_ent, bfst_fp_hash> index;
    std::map<uint64_t, std::shared_ptr<container>> conts;
    std::shared_ptr<container> active;
    uint64_t next_id = 1;
    // the collector
    std::mutex gc_run_mu;  // one collection at a time
    std::mutex gc_mu;      // the collector's wake-up
    std::condition_variable gc_cv;
    bool gc_wanted = false, stopping = false;
    std::thread gc;
    // the maker of recipes' page checksums
    std::mutex sum_mu;
    std::condition_variable sum_cv;
    std::deque<std::string> sum_queue;  // tags
    bool summing = false, sum_stop = false;
    std::thread sumt;
    // when a chunk was last stored or read for a client: the summing thread
    // keeps out of their way
    std::atomic<int64_t> busy_ms{0};
};

int64_t chunk_mono_ms();
// The page checksums of a recipe's stream (chunk_read.cpp). Made in the
// background, they wait while clients store or read chunks.
int chunk_sums_of(chunk_store *cs, const std::vector<recipe_entry> &es, uint64_t size, sums_file **out,
                  const char **why, bool background);
