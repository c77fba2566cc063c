// Page cache: creation and clean-up, lookup and load of pages, the hash, and
// the free list pages are taken from and released to.
#include "datamover/pcache_int.h"

#include "datamover/util.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace {
constexpr const char *kSrc = "pcache";
}  // namespace

// ---------------------------------------------------------------- pages and the hash

static uint32_t bucket_of(const pcache *pc, uint16_t id, uint64_t off)
{
    uint32_t v = (static_cast<uint32_t>(id) * 256u) ^ static_cast<uint32_t>(off / pc->pg_sz + 1);
    return (v * pc->hash_mult) & (PCACHE_HASH_BUCKETS - 1);
}

void pcache_check_file(const file_io *f)
{
    XASSERT(f != nullptr);
    XASSERT(f->magic == FILE_IO_MAGIC_IN_USE);
}

// Identity of a hashed page; the fields compared change only under both the
// page lock and the cache lock, so either lock suffices to read them.
static bool same_identity(const pcache *pc, const pce_t *pce, const file_io *f, uint64_t off, uint16_t key)
{
    return pce->f == f && pce->f_id == f->id && pce->f_gen == f->gen && pce->key == key && off >= pce->off &&
           off - pce->off < pc->pg_sz;
}

// Page lock held.
static bool page_matches(const pcache *pc, const pce_t *pce, const file_io *f, uint64_t off, uint16_t key, int flags)
{
    if ((pce->state & PCACHE_VALID) == 0 || !same_identity(pc, pce, f, off, key))
        return false;
    uint64_t n = (flags & PCACHE_FL_WHOLEPG) ? pc->pg_sz - 1 : (pce->usz > 0 ? pce->usz - 1 : 0);
    return off - pce->off <= n;
}

// Walks the bucket chain holding the cache lock only between pages. Returns
// the matching page locked, or null.
static pce_t *hash_find(pcache *pc, file_io *f, uint64_t off, uint16_t key, int flags)
{
    const int32_t b = static_cast<int32_t>(bucket_of(pc, f->id, off));
    std::unique_lock<std::mutex> cl(pc->lock);
restart:
    pce_t *pce = pc->hash[b].head;
    while (pce != nullptr) {
        if (!same_identity(pc, pce, f, off, key)) {
            pce = pce->hash.next;
            continue;
        }
        cl.unlock();
        pce->lock.lock();
        if (page_matches(pc, pce, f, off, key, flags))
            return pce;
        pce->lock.unlock();
        pcache_bump(pc->lookup_mismatches);
        cl.lock();
        if (pce->bucket != b)
            goto restart;  // the page left this chain meanwhile
        pce = pce->hash.next;
    }
    return nullptr;
}

// Page and cache lock held.
static void unlink_free_cl(pcache *pc, pce_t *pce)
{
    XASSERT((pce->state & PCACHE_FREE));
    pce_lst_remove<&pce::free>(pc->free.head, pc->free.tail, pce);
    pce->state &= static_cast<uint16_t>(~PCACHE_FREE);
    pc->free_cnt--;
    pce->claim++;
}

// Page and cache lock held.
void pcache_clear_dirty_cl(pcache *pc, pce_t *pce)
{
    pce->dirty_stamp = 0;
    if ((pce->state & PCACHE_DIRTY) == 0)
        return;
    XASSERT(pc->dirty_cnt >= 1);
    pce_lst_remove<&pce::dirty>(pc->dirty.head, pc->dirty.tail, pce);
    pc->dirty_cnt--;
    pce->state &= static_cast<uint16_t>(~PCACHE_DIRTY);
}

// Page and cache lock held. An unhashed page has no file to be written to,
// so a dirty mark goes with the hash.
static void unhash_cl(pcache *pc, pce_t *pce)
{
    XASSERT((pce->state & PCACHE_VALID));
    XASSERT(pce->f != nullptr);
    XASSERT(pce->f->magic == FILE_IO_MAGIC_IN_USE);
    pcache_clear_dirty_cl(pc, pce);
    pce_lst_remove<&pce::hash>(pc->hash[pce->bucket].head, pc->hash[pce->bucket].tail, pce);
    pc->bucket_cnt[pce->bucket]--;
    pc->hashed_cnt--;
    pce->bucket = -1;
    pce->state &= static_cast<uint16_t>(~(PCACHE_VALID | PCACHE_SWAP));
    pce_lst_remove<&pce::file>(pce->f->pg_head, pce->f->pg_tail, pce);
    pce->f->pg_cnt--;
    pce->f = nullptr;
}

void pcache_unhash(pcache *pc, pce_t *pce)
{
    std::lock_guard<std::mutex> cl(pc->lock);
    unhash_cl(pc, pce);
}

// Page lock held; the page is unhashed and ours.
static void bind(pcache *pc, pce_t *pce, file_io *f, uint64_t off, uint16_t key)
{
    std::lock_guard<std::mutex> cl(pc->lock);
    pce->f = f;
    pce->f_id = f->id;
    pce->f_gen = f->gen;
    pce->key = key;
    pce->off = off;
    pce->usz = 0;
    pce->ioerr = 0;
    pce->dirty_stamp = 0;
    memset(pce->digest, 0, sizeof pce->digest);
    pce->state = static_cast<uint16_t>((pce->state & ~PCACHE_ERROR) | PCACHE_VALID);
    const int32_t b = static_cast<int32_t>(bucket_of(pc, f->id, off));
    pce->bucket = b;
    pce_lst_append<&pce::hash>(pc->hash[b].head, pc->hash[b].tail, pce);
    pc->bucket_cnt[b]++;
    pc->hashed_cnt++;
    pce_lst_append<&pce::file>(f->pg_head, f->pg_tail, pce);
    f->pg_cnt++;
}

// Page lock held; returns the page's I/O error once it is no longer busy.
int pcache_wait_io(pcache *pc, pce_t *pce)
{
    while (IS_PAGE_BUSY(pce)) {
        pcache_bump(pc->io_waits);
        pce->lock.unlock();
        if (pcache_iolist_done(pc, pc->aio_cnt) == 0)
            std::this_thread::yield();  // another pass has collected it and is finishing it
        pce->lock.lock();
    }
    return pce->ioerr;
}

// Page lock held: a found page becomes the caller's.
static void take_ref(pcache *pc, pce_t *pce, int flags)
{
    if (IS_PAGE_FREE(pce)) {
        std::lock_guard<std::mutex> cl(pc->lock);
        unlink_free_cl(pc, pce);
    }
    pce->refs++;
    if (flags & PCACHE_FL_SYNC)
        pcache_wait_io(pc, pce);
}

file_io_aio *pcache_get_aio(pcache *pc)
{
    std::unique_lock<std::mutex> il(pc->io_lock);
    // Records in use belong to synchronous submissions in progress or to
    // queued ones whose submitters are completing them, so one comes back.
    while (pc->aio_free == nullptr) {
        pcache_bump(pc->aio_waits);
        pc->io_cv.wait(il);
    }
    file_io_aio *a = pc->aio_free;
    pc->aio_free = a->next;
    pc->aio_free_cnt--;
    a->next = nullptr;
    a->prev = nullptr;
    return a;
}

void pcache_put_aio_il(pcache *pc, file_io_aio *a)
{
    a->page = nullptr;
    a->collected = false;
    a->prev = nullptr;
    a->next = pc->aio_free;
    pc->aio_free = a;
    pc->aio_free_cnt++;
    pc->io_cv.notify_one();
}

void pcache_put_aio(pcache *pc, file_io_aio *a)
{
    std::lock_guard<std::mutex> il(pc->io_lock);
    pcache_put_aio_il(pc, a);
}

// Page lock held: page taken for reuse.
static pce_t *finish_take(pce_t *pce)
{
    XASSERT(IS_PAGE_PENDING(pce) == 0);
    XASSERT((pce->state & PCACHE_FILLING) == 0);
    XASSERT(pce->refs == 0);
    XASSERT((pce->state & (PCACHE_FREE | PCACHE_VALID | PCACHE_DIRTY)) == 0);
    pce->state &= static_cast<uint16_t>(~(PCACHE_SWAP | PCACHE_READAHEAD));
    pce->usz = 0;
    return pce;
}

static void free_page_entry(pce_t *pce)
{
    free(pce->buf);
    delete pce;
}


// ---------------------------------------------------------------- life cycle

pcache *pcache_init(uint32_t pg_sz, uint32_t page_cnt, uint32_t aio_cnt, int *errp)
{
    int dummy;
    if (errp == nullptr)
        errp = &dummy;
    if (pg_sz == 0 || page_cnt == 0) {
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "pcache_init: pg_sz[%u] pages[%u] invalid\n", pg_sz, page_cnt);
        *errp = PCACHE_ERR_NOPAGE;
        return nullptr;
    }
    pcache *pc = aio_cnt > 0 ? new (std::nothrow) pcache() : nullptr;
    if (pc == nullptr) {
        *errp = PCACHE_ERR_NOMEM;
        return nullptr;
    }
    pc->aios = new (std::nothrow) file_io_aio[aio_cnt]();
    if (pc->aios == nullptr) {
        delete pc;
        *errp = PCACHE_ERR_NOMEM;
        return nullptr;
    }
    pc->hash_mult = util_largest_odd_prime(PCACHE_HASH_BUCKETS);
    pc->pg_sz = pg_sz;
    pc->aio_cnt = aio_cnt;
    for (uint32_t i = aio_cnt; i-- > 0;)
        pcache_put_aio_il(pc, &pc->aios[i]);

    for (uint32_t i = 0; i < page_cnt; i++) {
        pce_t *pce = new (std::nothrow) pce_t();
        unsigned char *buf = pce ? static_cast<unsigned char *>(calloc(1, pg_sz)) : nullptr;
        if (buf == nullptr) {
            delete pce;
            util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "pcache_init: page %u of %u not created\n", i, page_cnt);
            pcache_cleanup(pc, false);
            *errp = PCACHE_ERR_NOPAGE;
            return nullptr;
        }
        std::lock_guard<std::mutex> pl(pce->lock);
        std::lock_guard<std::mutex> cl(pc->lock);
        pce->state = PCACHE_ALLOCATED;
        pce->pc = pc;
        pce->buf = buf;
        pce->bucket = -1;
        pce_lst_append<&pce::all>(pc->all.head, pc->all.tail, pce);
        pc->page_cnt++;
        pce_lst_append<&pce::free>(pc->free.head, pc->free.tail, pce);
        pce->state |= PCACHE_FREE;
        pc->free_cnt++;
    }
    *errp = 0;
    return pc;
}

int pcache_cleanup(pcache *pc, bool write_back)
{
    if (pc == nullptr)
        return 0;
    int written = 0;
    int first_err = 0;
    if (write_back) {
        for (pce_t *pce = pc->all.head; pce != nullptr; pce = pce->all.next) {
            std::lock_guard<std::mutex> pl(pce->lock);
            int rc = pcache_flush_page(pce, PCACHE_FL_SYNC);
            if (rc < 0 && first_err == 0)
                first_err = rc;
            else if (rc == 1)
                written++;
            else if (rc == 2)
                pcache_wait_io(pc, pce);
            if (pce->state & PCACHE_VALID)
                pcache_unhash(pc, pce);
        }
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> il(pc->io_lock);
            if (pc->iolist_cnt == 0)
                break;
        }
        if (pcache_iolist_done(pc, pc->aio_cnt) == 0)
            std::this_thread::yield();
    }
    XASSERT(pc->aio_free_cnt == pc->aio_cnt);
    for (pce_t *pce = pc->all.head; pce != nullptr;) {
        pce_t *next = pce->all.next;
        free_page_entry(pce);
        pce = next;
    }
    delete[] pc->aios;
    delete pc;
    return first_err != 0 ? first_err : written;
}

// ---------------------------------------------------------------- lookup and load

pce_t *pcache_lookup(pcache *pc, file_io *f, uint64_t off, uint16_t key, int flags)
{
    if (pc == nullptr || f == nullptr) {
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "Invalid Arguments: pc(%p), f(%p)\n", static_cast<void *>(pc),
                 static_cast<void *>(f));
        return nullptr;
    }
    pcache_check_file(f);
    pcache_bump(pc->lookups);
    pce_t *pce = hash_find(pc, f, off, key, flags);
    if (pce == nullptr) {
        pcache_bump(pc->misses);
        return nullptr;
    }
    pcache_bump(pc->hits);
    take_ref(pc, pce, flags);
    return pce;
}

pce_t *pcache_load_page(pcache *pc, file_io *f, uint64_t off, uint32_t size, uint16_t key, int flags)
{
    if (pc == nullptr || f == nullptr) {
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "Invalid Arguments: pc(%p), f(%p)\n", static_cast<void *>(pc),
                 static_cast<void *>(f));
        return nullptr;
    }
    pcache_check_file(f);
    if (size > pc->pg_sz)
        size = pc->pg_sz;
    pce_t *pce;
    bool fresh = false;
    {
        std::lock_guard<std::mutex> al(pc->alloc_lock);
        pcache_bump(pc->lookups);
        pce = hash_find(pc, f, off, key, flags);
        if (pce == nullptr) {
            pcache_bump(pc->misses);
            pce = pcache_find_freepg(pc);
            bind(pc, pce, f, off, key);
            fresh = true;
        }
    }
    if (!fresh) {
        pcache_bump(pc->hits);
        take_ref(pc, pce, flags);
        return pce;
    }
    pce->refs++;
    if (flags & PCACHE_FL_SWAP)
        pce->state |= PCACHE_SWAP;
    pce->state |= PCACHE_BUSY;
    pcache_bump(pc->loads);
    int type = PCACHE_IO_READ;
    if (flags & PCACHE_FL_SYNC) {
        pcache_bump(pc->sync_loads);
        type |= PCACHE_IO_SYNC;
    }
    int rc = pcache_iosubmit(pce, type, off, size);
    if (rc < 0)
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "%s: pcache_iosubmit f[%s] type[%x] off[%llu] sz[%d] failed - %d\n",
                 "pcache_load_page", f->name, static_cast<unsigned>(type), static_cast<unsigned long long>(off),
                 static_cast<int>(size), rc);
    return pce;
}

pce_t *pcache_get_page(pcache *pc, file_io *f, uint64_t off, uint32_t size, uint16_t key, int flags)
{
    if (pc == nullptr)
        return nullptr;
    if (size > pc->pg_sz) {
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "%s: usz[%u] > pg_sz[%u]\n", "pcache_get_page", size, pc->pg_sz);
        return nullptr;
    }
    pce_t *pce = pcache_load_page(pc, f, off, size, key, flags);
    if (pce != nullptr) {
        XASSERT(pce->refs);
        XASSERT(IS_PAGE_FREE(pce) == 0);
    }
    return pce;
}

pce_t *pcache_get_wpage(pcache *pc, file_io *f, uint64_t off, int count, int flags)
{
    (void)count;  // loads complete before pcache_load_page returns: nothing to load ahead
    if (pc == nullptr)
        return nullptr;
    pce_t *spce = pcache_load_page(pc, f, off, pc->pg_sz, 1, flags | PCACHE_FL_WHOLEPG);
    if (spce != nullptr) {
        XASSERT(spce->refs);
        XASSERT(IS_PAGE_FREE(spce) == 0);
    }
    return spce;
}

// ---------------------------------------------------------------- free pages

pce_t *pcache_find_freepg(pcache *pc)
{
    XASSERT(pc != nullptr);
    std::unique_lock<std::mutex> cl(pc->lock);
    for (;;) {
        ULOG_TRACE(kSrc, UTIL_LOG_TRACE, "%s: free_cnt=%u, free_waits=%lld\n", "pcache_find_freepg", pc->free_cnt,
                   static_cast<long long>(pc->free_waits.load(std::memory_order_relaxed)));
        // First pass: the least recently released page that can be taken at
        // once (unhashed, or clean and idle). Others go to the tail in order.
        uint32_t n = pc->free_cnt;
        for (uint32_t i = 0; i < n && pc->free.head != nullptr; i++) {
            pce_t *pce = pc->free.head;
            // The cache lock is held, so the page lock may only be tried.
            if (!pce->lock.try_lock()) {
                pce_lst_to_tail<&pce::free>(pc->free.head, pc->free.tail, pce);
                continue;
            }
            bool hashed = (pce->state & PCACHE_VALID) != 0;
            if (!hashed || (pce->refs == 0 && (pce->state & (PCACHE_DIRTY | PCACHE_BUSY)) == 0)) {
                unlink_free_cl(pc, pce);
                if (hashed)
                    unhash_cl(pc, pce);
                return finish_take(pce);
            }
            pce_lst_to_tail<&pce::free>(pc->free.head, pc->free.tail, pce);
            pce->lock.unlock();
        }

        // Second pass: the page now at the head, written back if needed.
        pce_t *pce = pc->free.head;
        if (pce != nullptr) {
            if (!pce->lock.try_lock()) {
                cl.unlock();
                pce->lock.lock();
                cl.lock();
            }
            if (!IS_PAGE_FREE(pce)) {  // taken by someone else meanwhile
                pce->lock.unlock();
                continue;
            }
            if ((pce->state & PCACHE_VALID) == 0) {
                unlink_free_cl(pc, pce);
                return finish_take(pce);
            }
            if (pce->refs == 0) {
                unlink_free_cl(pc, pce);
                const uint32_t claim = pce->claim;
                cl.unlock();
                bool lost = false;
                while (IS_PAGE_BUSY(pce)) {
                    pcache_wait_io(pc, pce);
                    // The page lock was released: a lookup may have taken the page.
                    if (pce->claim != claim || pce->refs != 0 || IS_PAGE_FREE(pce)) {
                        lost = true;
                        break;
                    }
                }
                if (!lost) {
                    if (pce->state & PCACHE_DIRTY)
                        (void)pcache_flush_page(pce, PCACHE_FL_SYNC);  // a failure is kept in the page and file
                    if (pce->state & PCACHE_VALID)
                        pcache_unhash(pc, pce);
                    return finish_take(pce);
                }
                pce->lock.unlock();
                cl.lock();
                continue;
            }
            pce_lst_to_tail<&pce::free>(pc->free.head, pc->free.tail, pce);
            pce->lock.unlock();
        }

        // Nothing to take: ask the callbacks, then wait for a release.
        if (pc->freepg_cb_cnt > 0) {
            freepg_cb cbs[kMaxFreepgCbs];
            int cnt = pc->freepg_cb_cnt;
            memcpy(cbs, pc->freepg_cbs, sizeof cbs);
            cl.unlock();
            for (int i = 0; i < cnt; i++)
                cbs[i].fn(pc, cbs[i].arg);
            cl.lock();
            if (pc->free.head != nullptr)
                continue;
        }
        pcache_bump(pc->free_waits);
        pc->free_cv.wait(cl);
    }
}

// Drops one reference; the last one puts the page on the free list, at its
// head when first is set.
static int release_page(pce_t *pce, bool first)
{
    XASSERT(pce != nullptr);
    pcache *pc = pce->pc;
    if (IS_PAGE_FREE(pce)) {
        if (pce->refs != 0) {
            util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "%s: pce[%p] f[%s] off[%llu] usz[%d] state[%x] refs[%d]\n",
                     "pcache_freepg", static_cast<void *>(pce), pce->f ? pce->f->name : "", static_cast<unsigned long long>(pce->off),
                     static_cast<int>(pce->usz), pce->state, pce->refs);
            XASSERT(pce->refs == 0);
        }
        return 0;
    }
    XASSERT(pce->refs);
    pce->refs--;
    if (pce->refs == 0) {
        std::lock_guard<std::mutex> cl(pc->lock);
        XASSERT((pce->state & PCACHE_FREE) == 0);
        XASSERT(pce->refs == 0);
        if (first)
            pce_lst_prepend<&pce::free>(pc->free.head, pc->free.tail, pce);
        else
            pce_lst_append<&pce::free>(pc->free.head, pc->free.tail, pce);
        pce->state |= PCACHE_FREE;
        pc->free_cnt++;
        pc->free_cv.notify_all();
    }
    return 1;
}

int pcache_freepg(pce_t *pce) { return release_page(pce, false); }

int pcache_donepg(pce_t *pce) { return release_page(pce, true); }

// ---------------------------------------------------------------- small accessors

void pcache_lock_page(pce_t *pce) { pce->lock.lock(); }
void pcache_unlock_page(pce_t *pce) { pce->lock.unlock(); }

int pcache_page_set_usz(pce_t *pce, uint64_t end)
{
    if (end > pce->pc->pg_sz)
        return PCACHE_ERR_PGSTATE;
    if (end > pce->usz)
        pce->usz = static_cast<uint32_t>(end);
    return 0;
}

bool pcache_page_holds(const pce_t *pce, uint64_t off, uint64_t len)
{
    const uint64_t pg = pce->pc->pg_sz;
    return off >= pce->off && off - pce->off <= pg && len <= pg - (off - pce->off);
}

void pcache_page_set_filling(pce_t *pce, bool on)
{
    if (on)
        pce->state |= PCACHE_FILLING;
    else
        pce->state &= static_cast<uint16_t>(~PCACHE_FILLING);
}

bool pcache_page_filling(const pce_t *pce) { return (pce->state & PCACHE_FILLING) != 0; }

uint32_t pcache_page_size(const pcache *pc) { return pc->pg_sz; }

uint32_t pcache_free_count(pcache *pc)
{
    std::lock_guard<std::mutex> cl(pc->lock);
    return pc->free_cnt;
}

void pcache_get_stats(pcache *pc, pcache_stats *out)
{
    memset(out, 0, sizeof *out);
    {
        std::lock_guard<std::mutex> cl(pc->lock);
        out->pg_sz = pc->pg_sz;
        out->pages = pc->page_cnt;
        out->free_cnt = pc->free_cnt;
        out->hashed_cnt = pc->hashed_cnt;
        out->dirty_cnt = pc->dirty_cnt;
    }
    {
        std::lock_guard<std::mutex> il(pc->io_lock);
        out->aio_cnt = pc->aio_cnt;
        out->aio_free_cnt = pc->aio_free_cnt;
        out->iolist_cnt = pc->iolist_cnt;
    }
    auto rd = [](const counter &c) { return c.load(std::memory_order_relaxed); };
    out->lookups = rd(pc->lookups);
    out->hits = rd(pc->hits);
    out->misses = rd(pc->misses);
    out->loads = rd(pc->loads);
    out->sync_loads = rd(pc->sync_loads);
    out->flushes = rd(pc->flushes);
    out->ra_probes = rd(pc->ra_probes);
    out->ra_hits = rd(pc->ra_hits);
    out->io_waits = rd(pc->io_waits);
    out->aio_waits = rd(pc->aio_waits);
    out->iolist_passes = rd(pc->iolist_passes);
    out->free_waits = rd(pc->free_waits);
    out->lookup_mismatches = rd(pc->lookup_mismatches);
}

int pcache_add_freepg_cb(pcache *pc, pcache_freepg_cb_t cb, void *arg)
{
    std::lock_guard<std::mutex> cl(pc->lock);
    if (cb == nullptr || pc->freepg_cb_cnt >= kMaxFreepgCbs)
        return PCACHE_ERR_NOMEM;
    pc->freepg_cbs[pc->freepg_cb_cnt++] = {cb, arg};
    return 0;
}

void pcache_set_hooks(pcache *pc, pcache_hook_t before_write_back, pcache_hook_t after_io, void *arg)
{
    std::lock_guard<std::mutex> cl(pc->lock);
    pc->before_wb = before_write_back;
    pc->after_io = after_io;
    pc->hook_arg = arg;
}
