// DM client, message pool and completions: pool messages handed out and
// taken back, synchronous requests left behind by their waiter, and the
// handlers that end a read or write request when its answer (or its
// cancellation) comes back.
#include "datamover/dm_int.h"

#include <cstring>
#include <new>

// ---------------------------------------------------------------- message pool

dm_pmsg *dm_pool_rec(const dm_client *dmc, const xcomm_msg *m)
{
    if (dmc == nullptr || dmc->pool == nullptr || m == nullptr)
        return nullptr;
    auto *pm = static_cast<dm_pmsg *>(m->ctx);
    if (pm < dmc->pool || pm >= dmc->pool + DM_POOL_MSGS || pm->msg != m)
        return nullptr;
    return pm;
}

// A pool message as fresh: control block cleared, one entry over its inline header.
static void pmsg_reset(dm_pmsg *pm)
{
    xcomm_msg *m = pm->msg;
    XASSERT(m->magic == XCOMM_MAGIC_IN_USE);
    const uint32_t data_size = m->data_size;
    memset(static_cast<void *>(m), 0, sizeof *m);
    m->magic = XCOMM_MAGIC_IN_USE;
    m->data_size = data_size;
    m->ctx = pm;
    m->sgl_ents = 1;
    m->sgl[0].iov_len = DM_HDR_SIZE;
    m->sgl[0].iov_base = xcomm_msg_data(m);
    pm->is_req = 0;
    pm->cmd = 0;
    pm->landed = 0;
    pm->direct = 0;
    pm->direct_seq = 0;
    pm->df = nullptr;
    pm->df_gen = 0;
    pm->npages = 0;
    pm->off = 0;
    pm->len = 0;
}

dm_pmsg *dm_msg_get(dm_client *dmc, bool request)
{
    std::lock_guard<std::mutex> g(dmc->lock);
    // Requests may hold at most max_pend messages, so the answers of every
    // request in flight always find one.
    if (dmc->free_msgs == nullptr || (request && dmc->req_msgs >= dmc->max_pend))
        return nullptr;
    dm_pmsg *pm = dmc->free_msgs;
    dmc->free_msgs = pm->next;
    pm->next = nullptr;
    dmc->free_msg_cnt--;
    XASSERT(dmc->free_msg_cnt >= 0);
    XASSERT(pm->in_use == 0);
    pm->in_use = 1;
    pm->ticket++;
    pmsg_reset(pm);
    if (request) {
        pm->is_req = 1;
        dmc->req_msgs++;
    }
    return pm;
}

void dm_msg_put(dm_pmsg *pm)
{
    dm_client *dmc = pm->dmc;
    XASSERT(pm->in_use == 1);
    XASSERT(pm->npages == 0);
    std::lock_guard<std::mutex> g(dmc->lock);
    if (pm->is_req)
        dmc->req_msgs--;
    pm->is_req = 0;
    pm->in_use = 0;
    pm->next = dmc->free_msgs;
    dmc->free_msgs = pm;
    dmc->free_msg_cnt++;
}

int dm_msg_release(xcomm_msg *msg)
{
    if (msg == nullptr) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments: msg(NULL)\n");
        return DM_ERR_INVALID_ARGS;
    }
    auto *pm = static_cast<dm_pmsg *>(msg->ctx);
    if (pm != nullptr && pm->msg == msg && pm->dmc != nullptr && dm_pool_rec(pm->dmc, msg) == pm) {
        if (pm->in_use)
            dm_msg_put(pm);
        return 0;
    }
    return xcomm_msg_free(msg);
}

int dm_free_cb(xcomm_msg *msg) { return dm_msg_release(msg); }

int dm_pool_init(dm_client *dmc)
{
    dmc->pool = new (std::nothrow) dm_pmsg[DM_POOL_MSGS]();
    if (dmc->pool == nullptr)
        return DM_ERR_NOMEM;
    for (int i = DM_POOL_MSGS - 1; i >= 0; i--) {
        dm_pmsg *pm = &dmc->pool[i];
        pm->dmc = dmc;
        pm->msg = xcomm_msg_alloc(DM_HDR_SIZE);
        if (pm->msg == nullptr)
            return DM_ERR_NOMEM;
        pm->msg->ctx = pm;
        pm->next = dmc->free_msgs;
        dmc->free_msgs = pm;
        dmc->free_msg_cnt++;
    }
    return 0;
}

void dm_pool_free(dm_client *dmc)
{
    if (dmc->pool == nullptr)
        return;
    for (int i = 0; i < DM_POOL_MSGS; i++)
        if (dmc->pool[i].msg != nullptr)
            xcomm_msg_free(dmc->pool[i].msg);
    delete[] dmc->pool;
    dmc->pool = nullptr;
    dmc->free_msgs = nullptr;
    dmc->free_msg_cnt = 0;
}

// ---------------------------------------------------------------- orphans

void dm_orphan_add(dm_client *dmc, xcomm_msg *m)
{
    for (auto &slot : dmc->orphans)
        if (slot == nullptr) {
            slot = m;
            return;
        }
    dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "req %p left with the transport\n", static_cast<void *>(m));
}

static bool orphan_take(dm_client *dmc, xcomm_msg *m)
{
    for (auto &slot : dmc->orphans)
        if (slot == m) {
            slot = nullptr;
            return true;
        }
    return false;
}

// ---------------------------------------------------------------- completions

static bool df_current(const dm_pmsg *pm)
{
    return pm->df != nullptr && pm->df->gen == pm->df_gen && pm->df->f != nullptr;
}

// Ends a request: the page it references is released (a read that did not
// complete leaves nothing behind in the cache) and err becomes the file's
// sticky error.
void dm_finish_req(dm_client *dmc, dm_pmsg *pm, int err, bool complete)
{
    for (uint32_t i = 0; i < pm->npages; i++) {
        pce *p = pm->pages[i];
        if (p == nullptr)
            continue;  // that part of a read went to the scratch page
        pcache_lock_page(p);
        if (pm->cmd == DM_CMD_READ) {
            pcache_page_set_filling(p, false);
            memset(p->digest, 0, sizeof p->digest);  // new bytes: not checked yet
            if (!complete && (p->state & PCACHE_VALID))
                (void)pcache_drop_page(dmc->pc, p);
            pcache_freepg(p);
        } else if (complete && p->usz == pcache_page_size(dmc->pc)) {
            pcache_donepg(p);  // a whole page written: nobody waits for its bytes
        } else {
            pcache_freepg(p);
        }
        pcache_unlock_page(p);
        pm->pages[i] = nullptr;
    }
    pm->npages = 0;
    if (pm->direct != 0)
        dm_direct_finish(dmc, pm, complete && err == 0);
    if (pm->cmd == DM_CMD_READ)
        dmc->reads_inflight--;
    else if (pm->cmd == DM_CMD_WRITE)
        dmc->write_bytes_inflight -= pm->len;
    if (df_current(pm)) {
        pm->df->inflight--;
        if (err != 0)
            file_io_set_error(pm->df->f, err);
    }
    pm->df = nullptr;
}

// The DM header of an answer; false when it does not hold one.
static bool rsp_hdr(const xcomm_msg *rsp, dm_hdr *h)
{
    return rsp->sgl_ents >= 1 && rsp->sgl[0].iov_len >= DM_HDR_SIZE &&
           dm_hdr_decode(h, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len) >= 0;
}

static int write_rsp(dm_client *dmc, dm_pmsg *pm, xcomm_msg *rsp)
{
    dm_hdr h;
    int err = 0;
    if (!rsp_hdr(rsp, &h)) {
        err = DM_ERR_BADMSG;
    } else if (h.slot >= DM_MAX_FILES) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "cmd=%d, id=%d invalid\n", h.cmd, h.slot);
        err = DM_ERR_BADFILE;
    } else if (!df_current(pm) || pm->df->idx != h.slot) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "badfile, cmd=%d, off=%llu failed\n", h.cmd,
               static_cast<unsigned long long>(h.off));
        err = DM_ERR_BADFILE;
    } else if (h.off != pm->off) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "write response off=%llu for request off=%llu\n",
               static_cast<unsigned long long>(h.off), static_cast<unsigned long long>(pm->off));
        err = DM_ERR_BADMSG;
    } else if (h.status != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "cmd=%d, off=%llu failed [%d]\n", h.cmd,
               static_cast<unsigned long long>(h.off), dm_hdr_status(&h));
        // No space arrives as the platform's number or as the client's own
        // code in 16-bit form; either way it is the no-space condition.
        int st = dm_hdr_status(&h);
        err = (st == KES_ENOSPC || st == (DM_ERR_NOSPC & 0xFFFF)) ? DM_ERR_NOSPC : st;
    } else if (pm->npages != 0) {
        dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "f[%s] off[%llu] sz[%d]\n", pm->df->rname,
               static_cast<unsigned long long>(h.off), static_cast<int>(pm->len));
    }
    dm_finish_req(dmc, pm, err, true);
    return 0;
}

static int read_rsp(dm_client *dmc, dm_pmsg *pm, xcomm_msg *rsp)
{
    dm_hdr h;
    int err = 0;
    if (!rsp_hdr(rsp, &h)) {
        err = DM_ERR_BADMSG;
    } else if (!df_current(pm)) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "badfile, cmd=%d, off=%llu failed\n", h.cmd,
               static_cast<unsigned long long>(h.off));
        dm_finish_req(dmc, pm, 0, false);
        return DM_ERR_BADFILE;
    } else if (h.status != 0) {
        // The data of a failed read is not file data; the failure is kept.
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "cmd=%d, off=%llu failed [%d]\n", h.cmd,
               static_cast<unsigned long long>(h.off), dm_hdr_status(&h));
        err = dm_hdr_status(&h);
    }
    rsp->flag |= XCOMM_MSG_BUFS_RELEASED;  // the page is the cache's again
    dm_finish_req(dmc, pm, err, err == 0);
    return 0;
}

// Processes one message handed back by the transport and releases it.
int dm_process(dm_client *dmc, xcomm_msg *m)
{
    if (dm_log_level() >= UTIL_LOG_TRACE) {
        char buf[180];
        dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "%s\n", xcomm_msg_to_str(m, buf, sizeof buf));
    }
    dm_pmsg *pm = dm_pool_rec(dmc, m);
    if (pm == nullptr || !pm->is_req) {
        // A synchronous request whose waiter gave up, or a message nobody asked for.
        orphan_take(dmc, m);
        if (m->rmsg != nullptr)
            dm_msg_release(m->rmsg);
        dm_msg_release(m);
        return 0;
    }
    int rc = 0;
    if (m->status == XCOMM_MSG_CANCELLED || m->rmsg == nullptr) {
        dm_log(dmc, UTIL_LOG_DEBUG, __LINE__, "msg %p cancelled, ingnore it\n", static_cast<void *>(m));
        dm_finish_req(dmc, pm, XCOMM_ERR_DROPPED, false);
    } else {
        xcomm_msg *rsp = m->rmsg;
        dm_hdr rh;
        dm_hdr_decode(&rh, m->sgl[0].iov_base, m->sgl[0].iov_len);
        dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "cmd=%d, off=%llu\n", rh.cmd, static_cast<unsigned long long>(rh.off));
        if (rsp->hdr.type != XCOMM_MSG_RSP) {
            dm_finish_req(dmc, pm, DM_ERR_BADMSG, false);
            rc = DM_ERR_BADMSG;
        } else if (rh.cmd == DM_CMD_WRITE) {
            rc = write_rsp(dmc, pm, rsp);
        } else if (rh.cmd == DM_CMD_READ) {
            rc = read_rsp(dmc, pm, rsp);
        } else {
            dm_finish_req(dmc, pm, DM_ERR_BADMSG, false);
            rc = DM_ERR_BADMSG;
        }
        if (rc != 0)
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "cmd=%d, off=%llu failed [%d]\n", rh.cmd,
                   static_cast<unsigned long long>(rh.off), rc);
    }
    if (m->rmsg != nullptr)
        dm_msg_release(m->rmsg);
    m->rmsg = nullptr;
    if (pm->npages != 0)  // a request that never reached the handlers
        dm_finish_req(dmc, pm, 0, false);
    dm_msg_put(pm);
    return rc;
}
