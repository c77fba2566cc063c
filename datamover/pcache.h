// Page cache: fixed-size pages of local file objects kept in memory and
// identified by file and offset. A miss takes the least recently released
// unreferenced page (writing it back first when dirty) and loads it from the
// file; file I/O goes through I/O records submitted to the file layer and
// completed in batches. Page buffers are allocated once at init; lookups,
// loads and releases allocate nothing.
//
// Locking. Every page has its own lock; the cache has an allocation lock, a
// cache lock and an I/O lock. Order: allocation lock, page lock, cache lock;
// page lock, I/O lock. A page is handed to callers locked and referenced; the
// caller unlocks it with pcache_unlock_page when done and keeps it alive with
// its reference, and later locks it again (pcache_lock_page) to work on it or
// to drop the reference with pcache_freepg. Rules for callers:
//  - functions taking a page (pcache_freepg, pcache_mark_dirty,
//    pcache_clear_dirty, pcache_flush_page, pcache_drop_page,
//    pcache_iosubmit, pcache_page_set_usz) need its page lock held;
//  - pcache_lookup, pcache_load_page, pcache_get_page, pcache_get_wpage,
//    pcache_sync_file and pcache_find_freepg must be called with no page lock
//    held;
//  - when no page can be taken, a load waits until another thread releases
//    one, so a thread that is the only one releasing pages must make sure one
//    is free first (pcache_free_count).
// A page's fields may be read and written by a caller only under its lock.
// A file's pages keep pointing at its file object until they are unhashed, so
// before a file is closed its pages must be dropped (pcache_sync_file with
// pcache_drop_page and PCACHE_FL_SYNC).
#pragma once

#include "datamover/file_io.h"

#include <cstddef>
#include <cstdint>
#include <mutex>

struct pcache;

// Page state bits.
enum : uint16_t {
    PCACHE_ALLOCATED = 0x001,
    PCACHE_FREE = 0x002,       // on the free list
    PCACHE_VALID = 0x004,      // hashed: found by file, offset and key; on the file's page list
    PCACHE_DIRTY = 0x008,      // on the dirty list; written back before reuse
    PCACHE_SWAP = 0x010,       // I/O goes to the file's swap companion
    PCACHE_PENDING = 0x020,    // I/O record on the I/O list
    PCACHE_COLLECTED = 0x040,  // taken by a running completion pass
    PCACHE_BUSY = 0x080,       // I/O in progress
    PCACHE_READAHEAD = 0x100,  // loaded ahead, not yet asked for
    PCACHE_FILLING = 0x200,    // the owner is filling it from elsewhere (pcache_page_set_filling)
    PCACHE_ERROR = 0x800,      // the last I/O failed
};

#define IS_PAGE_FREE(pce) (((pce)->state & PCACHE_FREE) != 0)
#define IS_PAGE_PENDING(pce) (((pce)->state & PCACHE_PENDING) != 0)
#define IS_PAGE_BUSY(pce) (((pce)->state & PCACHE_BUSY) != 0)

// Caller flags.
enum : int {
    PCACHE_FL_SWAP = 0x1,       // load: the page's I/O goes to the swap companion
    PCACHE_FL_WHOLEPG = 0x2,    // match any offset within the page, not only its used bytes
    PCACHE_FL_SYNC = 0x1000,    // wait for the page's I/O; write back and wait
};

// I/O types of pcache_iosubmit (those of the file layer).
enum : int {
    PCACHE_IO_WRITE = FILE_IO_WRITE,
    PCACHE_IO_READ = FILE_IO_READ,
    PCACHE_IO_SWAP = FILE_IO_SWAP,
    PCACHE_IO_SYNC = FILE_IO_SYNC,
};

constexpr uint32_t PCACHE_HASH_BUCKETS = 16384;

struct pce_link {
    pce *next;
    pce *prev;
};

struct pce {
    file_io_aio *aio;  // while an I/O of this page is in flight
    std::mutex lock;   // the page lock
    file_io *f;        // while hashed
    uint32_t f_gen;
    uint16_t f_id;
    uint16_t state;
    uint16_t key;
    int32_t ioerr;  // result of the last failed I/O, 0 otherwise
    int32_t refs;
    uint32_t usz;  // bytes in use from the page's start; at most the page size
    uint64_t off;  // file offset of the page's first byte
    uint64_t dirty_stamp;
    unsigned char digest[16];  // room for the owner's digest of the page
    pcache *pc;
    pce_link all, hash, free, file;
    pce_link dirty;
    unsigned char *buf;  // page-size bytes

    // Kept by the cache.
    int32_t bucket;  // hash bucket while hashed, -1 otherwise (cache lock)
    uint32_t claim;  // bumped whenever the page is taken off the free list (page lock)
};

// Counters and gauges at one moment.
struct pcache_stats {
    uint32_t pg_sz;
    uint32_t pages;
    uint32_t free_cnt;
    uint32_t hashed_cnt;
    uint32_t dirty_cnt;
    uint32_t aio_cnt;
    uint32_t aio_free_cnt;
    uint32_t iolist_cnt;
    uint64_t lookups;
    uint64_t hits;
    uint64_t misses;
    uint64_t loads;
    uint64_t sync_loads;
    uint64_t flushes;
    uint64_t ra_probes;  // read-ahead counters: loads complete before they return,
    uint64_t ra_hits;    // so nothing is loaded ahead and these stay 0
    uint64_t io_waits;
    uint64_t aio_waits;
    uint64_t iolist_passes;
    uint64_t free_waits;
    uint64_t lookup_mismatches;
};

typedef void (*pcache_freepg_cb_t)(pcache *pc, void *arg);
typedef void (*pcache_hook_t)(pce *page, int type, void *arg);
typedef int (*pcache_sync_cb_t)(pcache *pc, pce *page);

// Creates the cache with page_cnt pages of pg_sz zero-filled bytes, all free,
// and aio_cnt I/O records. Null with *errp PCACHE_ERR_NOMEM (cache record, I/O
// records, or aio_cnt 0) or PCACHE_ERR_NOPAGE (a page, or pg_sz / page_cnt 0).
pcache *pcache_init(uint32_t pg_sz, uint32_t page_cnt, uint32_t aio_cnt, int *errp);
// With write_back, writes back every dirty page synchronously and unhashes
// every page (their files must still be open); completes all I/O and frees
// everything. The pages written, or the first negative error (the cache is
// freed all the same). No other thread may use the cache meanwhile.
int pcache_cleanup(pcache *pc, bool write_back);

// Finds the page of (f, off, key): locked, referenced, off the free list, its
// I/O waited for with PCACHE_FL_SYNC; or null.
pce *pcache_lookup(pcache *pc, file_io *f, uint64_t off, uint16_t key, int flags);
// Finds or allocates the page at off. A new page is bound to (f, off, key),
// marked PCACHE_SWAP with PCACHE_FL_SWAP, and loaded with a read of size bytes
// at off (synchronous with PCACHE_FL_SYNC); usz becomes the bytes read. A
// failed load leaves PCACHE_ERROR, the error in ioerr and in the file's sticky
// error, and still returns the page. Result locked and referenced, or null.
pce *pcache_load_page(pcache *pc, file_io *f, uint64_t off, uint32_t size, uint16_t key, int flags);
// pcache_load_page after checking size (at most the page size; null otherwise).
pce *pcache_get_page(pcache *pc, file_io *f, uint64_t off, uint32_t size, uint16_t key, int flags);
// The whole page at off (whole-page matching, a page-size load). count names
// how many following pages could be loaded ahead; loads complete before this
// returns, so none is.
pce *pcache_get_wpage(pcache *pc, file_io *f, uint64_t off, int count, int flags);

// Drops one reference; the last one puts the page at the tail of the free list
// (it stays hashed and can be found again) and wakes waiters. 1, or 0 (nothing
// changed) when the page is already free.
int pcache_freepg(pce *page);
// As pcache_freepg, for a whole page whose bytes the caller is done with (a
// stream read past it, or its write was acknowledged): the last reference
// puts it at the head of the free list instead, so it is taken again before
// pages that may still be wanted (pages read ahead and not yet consumed) and
// while its bytes are still in the processor's caches. It stays hashed and
// can be found again until it is taken.
int pcache_donepg(pce *page);
// 1 when the page became dirty, 0 when it already was, PCACHE_ERR_PGSTATE for
// a page that is not hashed.
int pcache_mark_dirty(pce *page, uint64_t stamp);
// Clears the stamp and, when dirty, the dirty mark: 1 when it was dirty, else 0.
int pcache_clear_dirty(pce *page);
// Writes a hashed dirty page back (usz bytes at off; synchronous with
// PCACHE_FL_SYNC): 1 written, 2 I/O already in progress, 0 nothing to do, or
// the negative error of the write (recorded in the page and the file).
int pcache_flush_page(pce *page, int flags);
// Flushes every page of f. With PCACHE_FL_SYNC, waits for I/O in flight and
// then calls cb (if given) on each page under its lock. The pages handled, or
// the first negative error. Without a callback the walk stops at the first
// error; with one it goes on so that every page still reaches the callback.
int pcache_sync_file(pcache *pc, file_io *f, pcache_sync_cb_t cb, int flags);
// Callback for pcache_sync_file: unhashes a hashed page. 0 or PCACHE_ERR_PGSTATE.
int pcache_drop_page(pcache *pc, pce *page);
// Submits the page's I/O of type (PCACHE_IO_*) for len bytes at off (the
// file's header size is added unless the page uses the swap companion). The
// page must be busy. Returns the file layer's result (bytes or negative error).
int pcache_iosubmit(pce *page, int type, uint64_t off, uint32_t len);
// Completes up to max submitted I/Os; the number completed.
int pcache_iolist_done(pcache *pc, uint32_t max);
// Takes a page for reuse: locked, unhashed, unreferenced, not free. Meant for
// pcache_load_page; a direct caller holds the allocation-free page until it
// releases its lock, after which nothing refers to it.
pce *pcache_find_freepg(pcache *pc);

// The page lock, for callers that work on a page they hold a reference to.
void pcache_lock_page(pce *page);
void pcache_unlock_page(pce *page);
// Raises the page's used size to end (page lock held). 0, or
// PCACHE_ERR_PGSTATE (page unchanged) when end exceeds the page size: the
// check a caller needs before landing data whose placement came from a peer.
int pcache_page_set_usz(pce *page, uint64_t end);
// True when [off, off + len) lies inside the page's bytes.
bool pcache_page_holds(const pce *page, uint64_t off, uint64_t len);
// The owner's mark for a page whose bytes it is filling from elsewhere (a
// read from a remote peer in flight), so that its own readers wait for them.
// The cache treats the page like any other referenced page; the mark must be
// cleared before the page's last reference goes. Page lock held.
void pcache_page_set_filling(pce *page, bool on);
bool pcache_page_filling(const pce *page);

uint32_t pcache_page_size(const pcache *pc);
uint32_t pcache_free_count(pcache *pc);
void pcache_get_stats(pcache *pc, pcache_stats *out);

// Hooks and free-page callbacks (none are installed by this system). Up to
// four free-page callbacks; 0, or PCACHE_ERR_NOMEM when the table is full.
int pcache_add_freepg_cb(pcache *pc, pcache_freepg_cb_t cb, void *arg);
void pcache_set_hooks(pcache *pc, pcache_hook_t before_write_back, pcache_hook_t after_io, void *arg);
