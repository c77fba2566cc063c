// Inside of the page cache: the cache record, its page lists and counters,
// and the helpers its two modules share (pcache.cpp: life cycle, lookup,
// load and free pages; pcache_io.cpp: dirty pages, write-back and the I/O of
// pages).
#pragma once

#include "datamover/pcache.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

using pce_t = pce;

constexpr int kMaxFreepgCbs = 4;

struct pce_list {
    pce_t *head;
    pce_t *tail;
};

struct freepg_cb {
    pcache_freepg_cb_t fn;
    void *arg;
};

template <pce_link pce::*L>
inline void pce_lst_append(pce_t *&head, pce_t *&tail, pce_t *pce)
{
    pce_link &l = pce->*L;
    l.next = nullptr;
    l.prev = tail;
    if (tail != nullptr)
        (tail->*L).next = pce;
    else
        head = pce;
    tail = pce;
}

template <pce_link pce::*L>
inline void pce_lst_prepend(pce_t *&head, pce_t *&tail, pce_t *pce)
{
    pce_link &l = pce->*L;
    l.prev = nullptr;
    l.next = head;
    if (head != nullptr)
        (head->*L).prev = pce;
    else
        tail = pce;
    head = pce;
}

template <pce_link pce::*L>
inline void pce_lst_remove(pce_t *&head, pce_t *&tail, pce_t *pce)
{
    pce_link &l = pce->*L;
    if (l.prev != nullptr)
        (l.prev->*L).next = l.next;
    else
        head = l.next;
    if (l.next != nullptr)
        (l.next->*L).prev = l.prev;
    else
        tail = l.prev;
    l.next = nullptr;
    l.prev = nullptr;
}

template <pce_link pce::*L>
inline void pce_lst_to_tail(pce_t *&head, pce_t *&tail, pce_t *pce)
{
    if (tail == pce)
        return;
    pce_lst_remove<L>(head, tail, pce);
    pce_lst_append<L>(head, tail, pce);
}


using counter = std::atomic<uint64_t>;

inline void pcache_bump(counter &c) { c.fetch_add(1, std::memory_order_relaxed); }

struct pcache {
    std::mutex lock;        // cache lock: hash, free, dirty and all-pages lists, their counters
    std::mutex alloc_lock;  // serialises find-or-allocate
    std::mutex io_lock;     // free I/O records and the I/O list
    std::condition_variable free_cv;  // with the cache lock: a page went onto the free list
    std::condition_variable io_cv;    // with the I/O lock: a record went back to the free records
    file_io_aio *aios;
    uint32_t hash_mult;
    uint32_t pg_sz;
    uint32_t aio_cnt;
    uint32_t aio_free_cnt;
    uint32_t iolist_cnt;
    uint32_t page_cnt;
    uint32_t free_cnt;
    uint32_t hashed_cnt;
    uint32_t dirty_cnt;
    freepg_cb freepg_cbs[kMaxFreepgCbs];
    int freepg_cb_cnt;
    file_io_aio *aio_free;  // singly linked through next
    file_io_aio *io_head;   // I/O list
    file_io_aio *io_tail;
    pce_list all;
    pce_list free;
    pce_list hash[PCACHE_HASH_BUCKETS];
    pce_list dirty;
    uint32_t bucket_cnt[PCACHE_HASH_BUCKETS];

    counter lookups, hits, misses, loads, sync_loads, flushes, ra_probes, ra_hits, io_waits, aio_waits,
        iolist_passes, free_waits, lookup_mismatches;

    pcache_hook_t before_wb;
    pcache_hook_t after_io;
    void *hook_arg;
};

// The file's object must be alive.
void pcache_check_file(const file_io *f);
// Cache lock held: the page leaves the dirty list.
void pcache_clear_dirty_cl(pcache *pc, pce_t *pce);
// Page lock held: the page leaves the hash (and its file's page list).
void pcache_unhash(pcache *pc, pce_t *pce);
// Page lock held; returns the page's I/O error once it is no longer busy.
int pcache_wait_io(pcache *pc, pce_t *pce);
// A free I/O record, waiting for one while none is.
file_io_aio *pcache_get_aio(pcache *pc);
// Gives an I/O record back (put_aio_il: the I/O lock held).
void pcache_put_aio(pcache *pc, file_io_aio *a);
void pcache_put_aio_il(pcache *pc, file_io_aio *a);
