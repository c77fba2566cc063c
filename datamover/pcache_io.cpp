// Page cache: dirty pages and their write-back, files synced and dropped,
// and the file I/O of pages: submitted, waited for and completed in batches.
#include "datamover/pcache_int.h"

#include "datamover/util.h"

#include <cstring>
#include <thread>

namespace {
constexpr const char *kSrc = "pcache";
}  // namespace

// ---------------------------------------------------------------- dirty pages and write-back

int pcache_mark_dirty(pce_t *pce, uint64_t stamp)
{
    XASSERT(pce != nullptr);
    if ((pce->state & PCACHE_VALID) == 0)
        return PCACHE_ERR_PGSTATE;
    if (pce->state & PCACHE_DIRTY)
        return 0;
    pcache *pc = pce->pc;
    std::lock_guard<std::mutex> cl(pc->lock);
    pce->state |= PCACHE_DIRTY;
    pce->dirty_stamp = stamp;
    pce_lst_append<&pce::dirty>(pc->dirty.head, pc->dirty.tail, pce);
    pc->dirty_cnt++;
    return 1;
}

int pcache_clear_dirty(pce_t *pce)
{
    XASSERT(pce != nullptr);
    pce->dirty_stamp = 0;
    if ((pce->state & PCACHE_DIRTY) == 0)
        return 0;
    std::lock_guard<std::mutex> cl(pce->pc->lock);
    pcache_clear_dirty_cl(pce->pc, pce);
    return 1;
}

int pcache_flush_page(pce_t *pce, int flags)
{
    XASSERT(pce != nullptr);
    if ((pce->state & (PCACHE_VALID | PCACHE_DIRTY)) != (PCACHE_VALID | PCACHE_DIRTY))
        return 0;
    if (IS_PAGE_BUSY(pce))
        return 2;
    pcache *pc = pce->pc;
    if (pc->before_wb != nullptr)
        pc->before_wb(pce, PCACHE_IO_WRITE, pc->hook_arg);
    pce->state |= PCACHE_BUSY;
    pcache_bump(pc->flushes);
    int type = PCACHE_IO_WRITE | ((flags & PCACHE_FL_SYNC) ? PCACHE_IO_SYNC : 0);
    int rc = pcache_iosubmit(pce, type, pce->off, pce->usz);
    return rc < 0 ? rc : 1;
}

int pcache_sync_file(pcache *pc, file_io *f, pcache_sync_cb_t cb, int flags)
{
    if (pc == nullptr || f == nullptr) {
        util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "Invalid Arguments: pc(%p), f(%p)\n", static_cast<void *>(pc),
                 static_cast<void *>(f));
        return PCACHE_ERR_PGSTATE;
    }
    pcache_check_file(f);
    const bool sync = (flags & PCACHE_FL_SYNC) != 0;
    const bool with_cb = sync && cb != nullptr;
    int n;
    {
        std::lock_guard<std::mutex> cl(pc->lock);
        n = f->pg_cnt;
    }
    int count = 0;
    int first_err = 0;
    for (int i = 0; i < n; i++) {
        pce_t *pce;
        {
            // Each visited page moves to the tail, so n steps visit every
            // page that was bound at the start and is still bound.
            std::lock_guard<std::mutex> cl(pc->lock);
            pce = f->pg_head;
            if (pce == nullptr)
                break;
            pce_lst_to_tail<&pce::file>(f->pg_head, f->pg_tail, pce);
        }
        std::lock_guard<std::mutex> pl(pce->lock);
        if ((pce->state & PCACHE_VALID) == 0 || pce->f != f)
            continue;
        int rc = pcache_flush_page(pce, flags);
        if (rc < 0) {
            if (first_err == 0)
                first_err = rc;
            // A page left behind would keep pointing at the file after its
            // owner closed it, so with a callback the walk goes on.
            if (!with_cb)
                return rc;
        } else if (rc == 1) {
            count++;
        } else if (rc == 2 && sync) {
            pcache_wait_io(pc, pce);
            count++;
        }
        if (with_cb && (pce->state & PCACHE_VALID) && pce->f == f)
            cb(pc, pce);
    }
    return first_err != 0 ? first_err : count;
}

int pcache_drop_page(pcache *pc, pce_t *pce)
{
    XASSERT(pce != nullptr);
    XASSERT(pce->pc == pc);
    if ((pce->state & PCACHE_VALID) == 0)
        return PCACHE_ERR_PGSTATE;
    pcache_unhash(pc, pce);
    return 0;
}

// ---------------------------------------------------------------- I/O

int pcache_iosubmit(pce_t *pce, int type, uint64_t off, uint32_t len)
{
    XASSERT(pce != nullptr);
    pcache *pc = pce->pc;
    file_io *f = pce->f;
    pcache_check_file(f);
    pce->ioerr = 0;
    pce->state &= static_cast<uint16_t>(~PCACHE_ERROR);
    XASSERT(IS_PAGE_BUSY(pce));
    if (len > pc->pg_sz)
        len = pc->pg_sz;

    int rc = 0;
    if (pce->state & PCACHE_SWAP) {
        type |= PCACHE_IO_SWAP;
        if (f->swap_fd < 0)
            rc = file_io_open_swap(f);
    } else {
        off += static_cast<uint64_t>(f->hdr_sz);
    }
    file_io_aio *a = nullptr;
    if (rc == 0) {
        a = pcache_get_aio(pc);
        a->page = pce;
        pce->aio = a;
        rc = file_io_submit(a, f, type, pce->buf, off, len);
    }
    if (rc < 0) {
        pce->ioerr = rc;
        pce->state |= PCACHE_ERROR;
        pce->usz = 0;
        if (a != nullptr)
            pcache_put_aio(pc, a);
        pce->aio = nullptr;
        pce->state &= static_cast<uint16_t>(~PCACHE_BUSY);
        pcache_clear_dirty(pce);
        file_io_set_error(f, rc);
        return rc;
    }
    if (type & PCACHE_IO_SYNC) {
        pce->usz = static_cast<uint32_t>(rc);
        if (pc->after_io != nullptr)
            pc->after_io(pce, type, pc->hook_arg);
        pcache_put_aio(pc, a);
        pce->aio = nullptr;
        pce->state &= static_cast<uint16_t>(~PCACHE_BUSY);
        pcache_clear_dirty(pce);
        return rc;
    }
    XASSERT(IS_PAGE_BUSY(pce));
    XASSERT(IS_PAGE_PENDING(pce) == 0);
    pce->state |= PCACHE_PENDING;
    {
        std::lock_guard<std::mutex> il(pc->io_lock);
        a->next = nullptr;
        a->prev = pc->io_tail;
        if (pc->io_tail != nullptr)
            pc->io_tail->next = a;
        else
            pc->io_head = a;
        pc->io_tail = a;
        pc->iolist_cnt++;
    }
    pcache_wait_io(pc, pce);
    return rc;
}

int pcache_iolist_done(pcache *pc, uint32_t max)
{
    if (pc == nullptr)
        return 0;
    pcache_bump(pc->iolist_passes);
    file_io_aio *collected = nullptr;
    {
        std::lock_guard<std::mutex> il(pc->io_lock);
        uint32_t n = 0;
        for (file_io_aio *a = pc->io_head; a != nullptr && n < max; a = a->next) {
            if (a->collected)
                continue;
            a->collected = true;
            a->cnext = collected;
            collected = a;
            n++;
        }
    }
    int done = 0;
    while (collected != nullptr) {
        file_io_aio *a = collected;
        collected = a->cnext;
        a->cnext = nullptr;
        pce_t *pce = a->page;
        std::lock_guard<std::mutex> pl(pce->lock);
        XASSERT(IS_PAGE_PENDING(pce));
        if (a->result == -1) {  // not finished yet
            std::lock_guard<std::mutex> il(pc->io_lock);
            a->collected = false;
            continue;
        }
        if (a->result < 0) {
            pce->ioerr = a->result;
            pce->usz = 0;
            pce->state &= static_cast<uint16_t>(~PCACHE_BUSY);
            pce->state |= PCACHE_ERROR;
            pcache_clear_dirty(pce);
            file_io_set_error(a->f, util_file_err(a->kerr));
            util_log(UTIL_LOG_WARNING, kSrc, __LINE__, "%s: aio_failed - %s[%d]\n", "pcache_iolist_done",
                     util_strerror(a->kerr), a->kerr);
        } else {
            pce->usz = static_cast<uint32_t>(a->result);
            if (pc->after_io != nullptr)
                pc->after_io(pce, a->write ? PCACHE_IO_WRITE : PCACHE_IO_READ, pc->hook_arg);
            pce->state &= static_cast<uint16_t>(~PCACHE_BUSY);
            pcache_clear_dirty(pce);
        }
        {
            std::lock_guard<std::mutex> il(pc->io_lock);
            if (a->prev != nullptr)
                a->prev->next = a->next;
            else
                pc->io_head = a->next;
            if (a->next != nullptr)
                a->next->prev = a->prev;
            else
                pc->io_tail = a->prev;
            pc->iolist_cnt--;
            pcache_put_aio_il(pc, a);
        }
        pce->aio = nullptr;
        pce->state &= static_cast<uint16_t>(~PCACHE_PENDING);
        done++;
    }
    return done;
}

