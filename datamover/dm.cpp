// DM client: creation and naming, connecting and agreeing the configuration,
// the message pool, asynchronous and synchronous requests, the wait loop and
// the receive side that lands read data straight in cache pages.
#include "datamover/dm.h"

#include "datamover/byteorder.h"
#include "datamover/posix/platform_xcomm.h"
#include "datamover/xcomm_ssl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <new>
#include <random>
#include <thread>

namespace {

constexpr const char *kSrc = "dm";

std::atomic<util_log_cb_t> g_log_fn{nullptr};
std::atomic<int> g_log_level{UTIL_LOG_INFO};

}  // namespace

// ---------------------------------------------------------------- logging and settings

int dm_log_level() { return g_log_level.load(std::memory_order_relaxed); }

void dm_log(const dm_client *dmc, int level, int line, const char *fmt, ...)
{
    util_log_cb_t fn = g_log_fn.load(std::memory_order_relaxed);
    if (fn == nullptr)
        return;
    if (level >= UTIL_LOG_DEBUG && level > dm_log_level())
        return;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fn(dmc != nullptr ? dmc->log_ctx : nullptr, level, kSrc, line, text);
}

void dm_set_log(int level, util_log_cb_t fn)
{
    g_log_level.store(level);
    g_log_fn.store(fn);
    util_log_init(nullptr, nullptr, fn);
    util_log_set_level(level);
}

int dm_set_option(int opt, const void *val, size_t valsize)
{
    if (val == nullptr || valsize != sizeof(int32_t)) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "valsize=%d, not supported\n", static_cast<int>(valsize));
        return DM_ERR_INVALID_LEN;
    }
    int32_t v;
    memcpy(&v, val, sizeof v);
    dm_log(nullptr, UTIL_LOG_INFO, __LINE__, "opt=%d, val=%d\n", opt, v);
    switch (opt) {
    case DM_OPT_NODELAY:
        v = v != 0 ? 1 : 0;
        [[fallthrough]];
    case DM_OPT_RCVBUF:
    case DM_OPT_SNDBUF:
    case DM_OPT_KEEPIDLE:
    case DM_OPT_KEEPCNT:
    case DM_OPT_KEEPINTVL:
        if (xcomm_set_sockopt(opt, v) != 0)
            return DM_ERR_INVALID_LEN;
        return 0;
    default:
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "opt=%d, not supported\n", opt);
        return DM_ERR_INVALID_LEN;
    }
}

void dm_set_digests(int on) { util_set_page_digest(on != 0); }

void dm_set_read_ahead(int val) { util_set_size_mb(val); }

int dm_data_error(int sticky)
{
    if (sticky > 0)
        return DM_ERR_AIO;  // the peer's error number stays on the file for flush and close
    return sticky;
}

uint32_t dm_page_count(int small_cache)
{
    uint32_t n = small_cache ? DM_PAGE_CNT_SMALL : DM_PAGE_CNT;
    std::lock_guard<std::mutex> g(util_env_lock());
    const char *e = getenv("DMC_PAGE_CNT");
    if (e != nullptr) {
        char *end = nullptr;
        errno = 0;
        long v = strtol(e, &end, 10);
        if (end != nullptr && *end == '\0') {
            if (v < static_cast<long>(DM_PAGE_CNT_MIN))
                v = DM_PAGE_CNT_MIN;
            if (v > static_cast<long>(DM_PAGE_CNT_MAX))
                v = DM_PAGE_CNT_MAX;
            n = static_cast<uint32_t>(v);
        }
    }
    return n;
}

// ---------------------------------------------------------------- message pool

static dm_pmsg *pool_rec(const dm_client *dmc, const xcomm_msg *m)
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
    pm->df = nullptr;
    pm->df_gen = 0;
    pm->page = nullptr;
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
    XASSERT(pm->page == nullptr);
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
    if (pm != nullptr && pm->msg == msg && pm->dmc != nullptr && pool_rec(pm->dmc, msg) == pm) {
        if (pm->in_use)
            dm_msg_put(pm);
        return 0;
    }
    return xcomm_msg_free(msg);
}

static int dm_free_cb(xcomm_msg *msg) { return dm_msg_release(msg); }

static int pool_init(dm_client *dmc)
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

static void pool_free(dm_client *dmc)
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

static void orphan_add(dm_client *dmc, xcomm_msg *m)
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
static void finish_req(dm_client *dmc, dm_pmsg *pm, int err, bool complete)
{
    pce *p = pm->page;
    if (p != nullptr) {
        pcache_lock_page(p);
        if (pm->cmd == DM_CMD_READ) {
            p->state &= static_cast<uint16_t>(~PCACHE_PENDING);
            memset(p->digest, 0, sizeof p->digest);  // new bytes: not checked yet
            if (!complete && (p->state & PCACHE_VALID))
                (void)pcache_drop_page(dmc->pc, p);
        }
        pcache_freepg(p);
        pcache_unlock_page(p);
        pm->page = nullptr;
    }
    if (pm->cmd == DM_CMD_READ)
        dmc->reads_inflight--;
    if (df_current(pm)) {
        pm->df->inflight--;
        if (err != 0)
            file_io_set_error(pm->df->f, err);
    }
    pm->df = nullptr;
}

static int write_rsp(dm_client *dmc, dm_pmsg *pm, xcomm_msg *rsp)
{
    dm_hdr h;
    int err = 0;
    if (rsp->sgl_ents < 1 || rsp->sgl[0].iov_len < DM_HDR_SIZE ||
        dm_hdr_decode(&h, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len) < 0) {
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
    } else if (pm->page != nullptr) {
        dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "f[%s] off[%llu] sz[%d]\n", pm->df->rname,
               static_cast<unsigned long long>(h.off), static_cast<int>(pm->len));
    }
    finish_req(dmc, pm, err, true);
    return 0;
}

static int read_rsp(dm_client *dmc, dm_pmsg *pm, xcomm_msg *rsp)
{
    dm_hdr h;
    int err = 0;
    if (rsp->sgl_ents < 1 || rsp->sgl[0].iov_len < DM_HDR_SIZE ||
        dm_hdr_decode(&h, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len) < 0) {
        err = DM_ERR_BADMSG;
    } else if (!df_current(pm)) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "badfile, cmd=%d, off=%llu failed\n", h.cmd,
               static_cast<unsigned long long>(h.off));
        finish_req(dmc, pm, 0, false);
        return DM_ERR_BADFILE;
    } else if (h.status != 0) {
        // The data of a failed read is not file data; the failure is kept.
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "cmd=%d, off=%llu failed [%d]\n", h.cmd,
               static_cast<unsigned long long>(h.off), dm_hdr_status(&h));
        err = dm_hdr_status(&h);
    }
    rsp->flag |= XCOMM_MSG_BUFS_RELEASED;  // the page is the cache's again
    finish_req(dmc, pm, err, err == 0);
    return 0;
}

// Processes one message handed back by the transport and releases it.
static int dm_process(dm_client *dmc, xcomm_msg *m)
{
    if (dm_log_level() >= UTIL_LOG_TRACE) {
        char buf[180];
        dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "%s\n", xcomm_msg_to_str(m, buf, sizeof buf));
    }
    dm_pmsg *pm = pool_rec(dmc, m);
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
        finish_req(dmc, pm, XCOMM_ERR_DROPPED, false);
    } else {
        xcomm_msg *rsp = m->rmsg;
        dm_hdr rh;
        dm_hdr_decode(&rh, m->sgl[0].iov_base, m->sgl[0].iov_len);
        dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "cmd=%d, off=%llu\n", rh.cmd, static_cast<unsigned long long>(rh.off));
        if (rsp->hdr.type != XCOMM_MSG_RSP) {
            finish_req(dmc, pm, DM_ERR_BADMSG, false);
            rc = DM_ERR_BADMSG;
        } else if (rh.cmd == DM_CMD_WRITE) {
            rc = write_rsp(dmc, pm, rsp);
        } else if (rh.cmd == DM_CMD_READ) {
            rc = read_rsp(dmc, pm, rsp);
        } else {
            finish_req(dmc, pm, DM_ERR_BADMSG, false);
            rc = DM_ERR_BADMSG;
        }
        if (rc != 0)
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "cmd=%d, off=%llu failed [%d]\n", rh.cmd,
                   static_cast<unsigned long long>(rh.off), rc);
    }
    if (m->rmsg != nullptr)
        dm_msg_release(m->rmsg);
    m->rmsg = nullptr;
    if (pm->page != nullptr)  // a request that never reached the handlers
        finish_req(dmc, pm, 0, false);
    dm_msg_put(pm);
    return rc;
}

// The appliance left requests unanswered for the whole response timeout: the
// oldest one in flight is named, and the connection is dropped, so that
// everything in flight comes back cancelled and no later call of this client
// waits for the silent peer again. Returns XCOMM_ERR_TIMEOUT.
static int dm_deadline_passed(dm_client *dmc)
{
    const char *what = "a DM request";
    {
        std::lock_guard<std::mutex> g(*dmc->endp.lock);
        for (xcomm_slot *s = dmc->endp.pending.head; s != nullptr; s = s->next) {
            const xcomm_msg *m = s->msg;
            if (m == nullptr || m->hdr.type != XCOMM_MSG_REQ || m->sgl_ents < 1)
                continue;
            dm_hdr h;
            if (dm_hdr_decode(&h, m->sgl[0].iov_base, m->sgl[0].iov_len) >= 0)
                what = dm_cmd_name(h.cmd);
            break;
        }
    }
    dm_log(dmc, UTIL_LOG_ERROR, __LINE__, "no answer from %s to %s within %d seconds, dropping the connection\n",
           dmc->name, what, static_cast<int>(dmc->resp_timeout_s));
    util_timeout_note(what, dmc->resp_timeout_s);
    xcomm_endp_close_all(&dmc->ctx, &dmc->endp);
    return XCOMM_ERR_TIMEOUT;
}

static struct timeval dm_wait_tv(const dm_client *dmc, int64_t left_ms)
{
    if (left_ms < 0)
        left_ms = static_cast<int64_t>(dmc->resp_timeout_s) * 1000;
    return {static_cast<time_t>(left_ms / 1000), static_cast<suseconds_t>((left_ms % 1000) * 1000)};
}

int dm_waitfor_io_msgs(dm_client *dmc, int n)
{
    if (dmc == nullptr) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments: dmc(NULL)\n");
        return DM_ERR_INVALID_ARGS;
    }
    for (int i = 0; i < n; i++) {
        xcomm_msg *m = nullptr;
        struct timeval tv = dm_wait_tv(dmc, -1);
        int rc = xcomm_endp_wait(&dmc->ctx, &dmc->endp, &m, &tv, XCOMM_WAIT_PENDING);
        if (rc == XCOMM_ERR_TIMEOUT)
            return dm_deadline_passed(dmc);
        if (rc != 0)
            return rc;
        if (m == nullptr)
            continue;
        rc = dm_process(dmc, m);
        if (rc != 0)
            return rc;
    }
    return 0;
}

// ---------------------------------------------------------------- sending

int dm_send_async(dm_client *dmc, xcomm_msg *msg)
{
    msg->hdr.type = XCOMM_MSG_REQ;
    for (;;) {
        int rc = xcomm_send_msg(&dmc->ctx, &dmc->endp, msg);
        if (rc != XCOMM_ERR_BUSY)
            return rc;
        // Every slot is in flight: collect a completion, then try again.
        xcomm_msg *m = nullptr;
        struct timeval tv = dm_wait_tv(dmc, -1);
        rc = xcomm_endp_wait(&dmc->ctx, &dmc->endp, &m, &tv, XCOMM_WAIT_INCOMING);
        if (rc == XCOMM_ERR_TIMEOUT)
            rc = dm_deadline_passed(dmc);
        if (rc != 0) {
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_waitfor_io_msgs rc[%d]\n", rc);
            return rc;
        }
        if (m != nullptr)
            (void)dm_process(dmc, m);
    }
}

// Waits for one request of ours. 0 when it is back; otherwise an error, with
// *gone telling whether the transport still holds it (pending or completed)
// or has let it go.
static int wait_for(dm_client *dmc, xcomm_msg *msg, bool *gone)
{
    *gone = false;
    int errs = 0;
    const int64_t deadline = xcomm_monotime_ms() + static_cast<int64_t>(dmc->resp_timeout_s) * 1000;
    for (;;) {
        xcomm_msg *m = msg;
        struct timeval tv = dm_wait_tv(dmc, std::max<int64_t>(0, deadline - xcomm_monotime_ms()));
        int rc = xcomm_endp_wait(&dmc->ctx, &dmc->endp, &m, &tv, XCOMM_WAIT_PENDING);
        if (rc == 0 && m == msg)
            return 0;
        if (rc == XCOMM_ERR_TIMEOUT)
            return dm_deadline_passed(dmc);  // msg comes back cancelled, to the wait loop
        if (rc == XCOMM_ERR_NOMSG) {
            *gone = true;  // neither pending nor completed
            return XCOMM_ERR_DROPPED;
        }
        // A failing pass shuts its connection down, which hands our request
        // back cancelled on the next call; a few tries collect it.
        if (++errs >= 4)
            return rc != 0 ? rc : XCOMM_ERR_DROPPED;
    }
}

int dm_send_sync(dm_client *dmc, xcomm_msg *msg, xcomm_msg **rsp)
{
    *rsp = nullptr;
    msg->ctx = nullptr;
    int rc = dm_send_async(dmc, msg);
    if (rc != 0) {
        xcomm_msg_free(msg);
        return rc;
    }
    bool gone = false;
    rc = wait_for(dmc, msg, &gone);
    if (rc != 0) {
        if (gone)
            xcomm_msg_free(msg);
        else
            orphan_add(dmc, msg);
        return rc;
    }
    if (msg->status == XCOMM_MSG_CANCELLED || msg->rmsg == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "req %p cancelled\n", static_cast<void *>(msg));
        if (msg->rmsg != nullptr)
            dm_msg_release(msg->rmsg);
        xcomm_msg_free(msg);
        return XCOMM_ERR_DROPPED;
    }
    *rsp = msg->rmsg;
    xcomm_msg_free(msg);
    return 0;
}

int dm_wait_req(dm_client *dmc, dm_pmsg *pm)
{
    bool gone = false;
    int rc = wait_for(dmc, pm->msg, &gone);
    if (rc == 0)
        return dm_process(dmc, pm->msg);
    if (gone) {
        finish_req(dmc, pm, XCOMM_ERR_DROPPED, false);
        dm_msg_put(pm);
    }
    return rc;  // otherwise the wait loop collects it later
}

dm_pmsg *dm_msg_get_req(dm_client *dmc, int *errp)
{
    for (;;) {
        dm_pmsg *pm = dm_msg_get(dmc, true);
        if (pm != nullptr) {
            *errp = 0;
            return pm;
        }
        int rc = dm_waitfor_io_msgs(dmc, 32);
        if (rc == 0)
            continue;
        if (rc == XCOMM_ERR_NOMSG) {
            pm = dm_msg_get(dmc, true);
            if (pm != nullptr) {
                *errp = 0;
                return pm;
            }
            rc = DM_ERR_NOMSG;
        }
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_waitfor_io_msgs rc[%d]\n", rc);
        *errp = rc;
        return nullptr;
    }
}

int dm_drain(dm_client *dmc)
{
    int first_err = 0;
    int errs = 0;
    while (xcomm_endp_busy(&dmc->endp)) {
        int rc = dm_waitfor_io_msgs(dmc, 1);
        if (rc == 0) {
            errs = 0;
            continue;
        }
        if (rc == XCOMM_ERR_NOMSG)
            break;
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_waitfor_io_msgs rc[%d]\n", rc);
        if (first_err == 0)
            first_err = rc;
        // After a dropped connection the cancelled requests come back one by
        // one; a wait that keeps failing is given up on.
        if (++errs >= 8)
            break;
    }
    return first_err;
}

bool dm_read_inflight(dm_client *dmc, const dm_file *df, uint64_t off)
{
    if (dmc->reads_inflight <= 0)
        return false;
    for (int i = 0; i < DM_POOL_MSGS; i++) {
        const dm_pmsg &pm = dmc->pool[i];
        if (pm.in_use && pm.is_req && pm.cmd == DM_CMD_READ && pm.df == df && pm.df_gen == df->gen && pm.off == off)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------- receive side

// Read data: the response must answer a read of ours that is pending for that
// slot, at the very offset it asked for, with no more bytes than it asked for.
// The bytes then go straight into the cache page.
static xcomm_msg *land_read(dm_client *dmc, const xcomm_hdr *xh, const dm_hdr *h, uint32_t plen)
{
    if (xh->type != XCOMM_MSG_RSP) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "read data in a message of type %d refused\n", xh->type);
        return nullptr;
    }
    dm_pmsg *rp = dm_msg_get(dmc, false);
    if (rp == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "no free message for read data\n");
        return nullptr;
    }
    auto refuse = [&]() -> xcomm_msg * {
        dm_msg_put(rp);
        return nullptr;
    };
    if (h->slot >= DM_MAX_FILES)
        return refuse();
    dm_file *df = &dmc->files[h->slot];
    if (df->f == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
               static_cast<void *>(df->f));
        return refuse();
    }
    if (xh->rpc_id >= static_cast<uint32_t>(dmc->max_pend)) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "rpc_id(%u) >= max_pend(%u)\n", xh->rpc_id,
               static_cast<unsigned>(dmc->max_pend));
        return refuse();
    }
    xcomm_msg *req = xcomm_endp_pending_msg(&dmc->endp, xh->rpc_id);
    dm_pmsg *qp = pool_rec(dmc, req);
    if (req == nullptr || qp == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "rpc_id(%u) not pending!\n", xh->rpc_id);
        return refuse();
    }
    const uint32_t dlen = plen - static_cast<uint32_t>(DM_HDR_SIZE);
    if (!qp->is_req || qp->cmd != DM_CMD_READ || qp->df != df || qp->df_gen != df->gen || qp->landed ||
        h->off != qp->off || dlen > qp->len) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__,
               "read response slot=%u off=%llu len=%u does not answer request rpc_id(%u) off=%llu len=%u\n", h->slot,
               static_cast<unsigned long long>(h->off), dlen, xh->rpc_id, static_cast<unsigned long long>(qp->off),
               qp->len);
        return refuse();
    }
    qp->landed = 1;
    const uint32_t psz = pcache_page_size(dmc->pc);
    const uint64_t pgoff = qp->off % psz;
    const uint64_t aligned = qp->off - pgoff;
    unsigned char *dst = dmc->scratch;  // data nobody may keep: a failed read, or no page to be had
    if (h->status == 0 && dlen > 0) {
        pce *p = pcache_lookup(dmc->pc, df->f, aligned, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
        if (p != nullptr && (p->refs > 1 || IS_PAGE_PENDING(p))) {
            // Another request holds the page (a write of it is in flight).
            pcache_freepg(p);
            pcache_unlock_page(p);
            p = nullptr;
        } else if (p == nullptr && pcache_free_count(dmc->pc) > 0) {
            p = pcache_get_page(dmc->pc, df->f, aligned, 0, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
        }
        if (p != nullptr) {
            if (pcache_page_set_usz(p, pgoff + dlen) != 0) {
                dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "pce->usz: %llu pg_sz: %u\n",
                       static_cast<unsigned long long>(pgoff + dlen), psz);
                pcache_freepg(p);
                pcache_unlock_page(p);
                qp->landed = 0;
                return refuse();
            }
            p->state |= PCACHE_PENDING;
            memset(p->digest, 0, sizeof p->digest);
            qp->page = p;
            dst = p->buf + pgoff;
            pcache_unlock_page(p);
        }
    }
    xcomm_msg *m = rp->msg;
    if (dlen > 0) {
        m->sgl[1].iov_len = dlen;
        m->sgl[1].iov_base = dst;
        m->sgl_ents = 2;
    }
    return m;
}

static xcomm_msg *dm_alloc_cb(xcomm_endp *endp, xcomm_fd *fd, const unsigned char *peek)
{
    (void)fd;
    auto *dmc = static_cast<dm_client *>(endp->owner);
    if (dmc == nullptr || peek == nullptr) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments endp(%p), fd(%p), mhdr(%p)\n",
               static_cast<void *>(endp), static_cast<void *>(fd), static_cast<const void *>(peek));
        return nullptr;
    }
    xcomm_hdr xh;
    xcomm_hdr_decode(peek, &xh);
    const uint32_t plen = xcomm_hdr_get_size(&xh);
    if (xh.type == XCOMM_MSG_ACK)
        return plen <= DM_CTRL_RSP_MAX ? xcomm_msg_alloc(plen) : nullptr;
    if (plen == 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "Invalid Size\n");
        return nullptr;
    }
    if (plen < DM_HDR_SIZE) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "Invalid Size %u\n", plen);
        return nullptr;
    }
    dm_hdr h;
    dm_hdr_decode(&h, peek + XCOMM_HDR_SIZE, DM_HDR_SIZE);
    dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "cmd=%d, off=%llu\n", h.cmd, static_cast<unsigned long long>(h.off));
    if (!dm_cmd_valid(h.cmd)) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "bad msg[%d]\n", h.cmd);
        return nullptr;
    }
    switch (h.cmd) {
    case DM_CMD_READ:
        return land_read(dmc, &xh, &h, plen);
    case DM_CMD_WRITE: {
        if (xh.type != XCOMM_MSG_RSP || plen != DM_HDR_SIZE) {
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "write response of type %d and size %u refused\n", xh.type, plen);
            return nullptr;
        }
        dm_pmsg *pm = dm_msg_get(dmc, false);
        if (pm == nullptr)
            return nullptr;
        dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "msg=%p\n", static_cast<void *>(pm->msg));
        return pm->msg;
    }
    default:
        if (plen > DM_CTRL_RSP_MAX) {
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "cmd=%d, size %u refused\n", h.cmd, plen);
            return nullptr;
        }
        return xcomm_msg_alloc(plen);
    }
}

// ---------------------------------------------------------------- connecting

static int dm_config_exchange(dm_client *dmc)
{
    xcomm_msg *req = xcomm_msg_alloc(static_cast<uint32_t>(DM_CONFIG_MSG_SIZE));
    if (req == nullptr)
        return DM_ERR_NOMEM;
    dm_config_msg cm;
    dm_config_init(&cm);
    XASSERT(req->sgl[0].iov_len == get_dm_config_req_size(&dmc->endp, &cm));
    dm_config_encode(&cm, req->sgl[0].iov_base, req->sgl[0].iov_len);
    xcomm_msg *rsp = nullptr;
    int rc = dm_send_sync(dmc, req, &rsp);
    if (rc != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_config_req failed - [%d]\n", rc);
        return rc;
    }
    dm_config_msg got;
    if (rsp->sgl_ents != 1 || rsp->sgl[0].iov_len != get_dm_config_req_size(&dmc->endp, &cm) ||
        dm_config_decode(&got, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len) < 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_config_req failed - [%d]\n", DM_ERR_BADMSG);
        dm_msg_release(rsp);
        return DM_ERR_BADMSG;
    }
    dm_msg_release(rsp);
    if (got.hdr.status != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_config_req failed - [%d]\n", dm_hdr_status(&got.hdr));
        return DM_ERR_BADMSG;
    }
    dmc->config.pref_bsz = got.pref_bsz;
    dmc->config.pref_compress = got.pref_compress;
    dmc->config.pref_dedup = got.pref_dedup;
    dmc->config.b0 = got.rsvd0;
    dmc->config.b1 = got.rsvd1;
    dmc->config.pref_reserve_mb = got.pref_reserve_mb;
    dm_log(dmc, UTIL_LOG_INFO, __LINE__,
           "dm_config_req ok: pref_bsz[%d], pref_compress[%d], pref_dedup[%d], pref_reserve_mb[%u]\n",
           static_cast<int>(got.pref_bsz), static_cast<int>(got.pref_compress), static_cast<int>(got.pref_dedup),
           static_cast<unsigned>(got.pref_reserve_mb));
    if (got.pref_bsz < DM_PAGE_SIZE) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "pref_bsz[%u] below the page size %u\n", got.pref_bsz, DM_PAGE_SIZE);
        return DM_ERR_PAGESZ;
    }
    return 0;
}

static int dm_endp_setup(dm_client *dmc)
{
    int rc = xcomm_endp_init(&dmc->ctx, &dmc->endp, dmc->stream_names[0], dmc->streams, dmc->max_pend,
                             htons(DM_DEFAULT_PORT), static_cast<int>(dmc->flags & DM_CL_ENDP_FLAG));
    if (rc != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_endp_init failed - [%d]\n", rc);
        return rc;
    }
    // Streams beyond the first share stream 0's (empty) local name.
    for (int s = 1; s < dmc->streams; s++) {
        rc = xcomm_endp_addstream(&dmc->ctx, &dmc->endp, dmc->stream_names[0]);
        if (rc != 0) {
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_endp_addstream[%s] failed - [%d]\n", dmc->stream_names[0],
                   rc);
            return rc;
        }
    }
    const xcomm_endp_owner own = {.owner = dmc,
                                  .alloc_cb = dm_alloc_cb,
                                  .free_cb = dm_free_cb,
                                  .peek_sz = DM_PEEK_SIZE,
                                  .msgs_per_pass = 1,
                                  .reconnect = (dmc->flags & DM_CL_RECONNECT) ? XCOMM_RECONNECT_ON : XCOMM_RECONNECT_OFF};
    rc = xcomm_endp_set_owner(&dmc->endp, &own);
    if (rc != 0)
        return rc;
    if (dmc->cert_dir[0] != '\0') {
        rc = xcomm_ssl_set_cert_dir(dmc->cert_dir, &dmc->endp);
        if (rc != 0)
            return rc;
        if (dmc->flags & DM_CL_TLS_REQUIRED)
            dmc->endp.tls_flags |= XCOMM_TLS_REQUIRED;
        dmc->endp.tls_flags |= XCOMM_TLS_CONFIGURED;
    }
    return 0;
}

static int dm_connect(dm_client *dmc)
{
    if (dmc->streams <= 0)
        dmc->streams = 1;
    if (dmc->streams > DM_MAX_STREAMS)
        dmc->streams = DM_MAX_STREAMS;
    int rc = xcomm_ctx_init(&dmc->ctx);
    if (rc != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_ctx_init failed - [%d]\n", rc);
        return rc;
    }
    dmc->ctx_up = true;
    dmc->free_slots = nullptr;
    for (int i = DM_MAX_FILES - 1; i >= 0; i--) {
        dm_file *df = &dmc->files[i];
        df->idx = static_cast<uint16_t>(i);
        df->next = dmc->free_slots;
        dmc->free_slots = df;
    }
    dmc->free_slot_cnt = DM_MAX_FILES;
    rc = pool_init(dmc);
    if (rc == 0) {
        dmc->scratch = static_cast<unsigned char *>(malloc(DM_PAGE_SIZE));
        if (dmc->scratch == nullptr)
            rc = DM_ERR_NOMEM;
    }
    if (rc != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_msg_init failed: - [%d].\n", rc);
        return rc;
    }
    // Every attempt together takes at most the response timeout.
    const int64_t deadline = xcomm_monotime_ms() + static_cast<int64_t>(dmc->resp_timeout_s) * 1000;
    for (int attempt = 1;; attempt++) {
        rc = dm_endp_setup(dmc);
        if (rc != 0)
            return rc;
        int64_t left = deadline - xcomm_monotime_ms();
        xcomm_endp_set_limits(&dmc->endp, static_cast<int32_t>(std::max<int64_t>(1, left)), dmc->resp_timeout_s);
        rc = xcomm_endp_open(&dmc->ctx, &dmc->endp, dmc->name);
        if (rc == 0) {
            dm_log(dmc, UTIL_LOG_INFO, __LINE__, "xcomm_endp_open[%s] successful\n", dmc->name);
            break;
        }
        if (rc == XCOMM_ERR_CONN && attempt < DM_CONNECT_TRIES && deadline - xcomm_monotime_ms() > 1000) {
            dm_log(dmc, UTIL_LOG_DEBUG, __LINE__, "xcomm_endp_open[%s] failed - [%d], try=%d\n", dmc->name, rc, attempt);
            xcomm_endp_shutdown(&dmc->ctx, &dmc->endp);
            xcomm_endp_release(&dmc->ctx, &dmc->endp);
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            continue;
        }
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_endp_open[%s] failed - [%d], tries=%d\n", dmc->name, rc, attempt);
        return rc;
    }
    rc = dm_config_exchange(dmc);
    if (rc != 0)
        return rc;
    int err = 0;
    dmc->pc = pcache_init(DM_PAGE_SIZE, dmc->page_cnt, dmc->page_cnt / 4, &err);
    if (dmc->pc == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "pcache_init failed: - [%d].\n", err);
        return err != 0 ? err : DM_ERR_NOMEM;
    }
    dm_log(dmc, UTIL_LOG_INFO, __LINE__, "initialized pcache with %d pages\n", static_cast<int>(dmc->page_cnt));
    return 0;
}

// Remote name without a port: one of the "dm_client" service names, at random.
static void dm_service_name(dm_client *dmc, const char *host)
{
    int found = 0;
    char svc[32];
    for (int i = 0; i < 99; i++) {
        if (i == 0)
            snprintf(svc, sizeof svc, "dm_client");
        else
            snprintf(svc, sizeof svc, "dm_client%d", i);
        struct servent se;
        struct servent *res = nullptr;
        char buf[1024];
        if (getservbyname_r(svc, "tcp", &se, buf, sizeof buf, &res) != 0 || res == nullptr)
            break;
        found++;
    }
    int r = 0;
    if (found > 0) {
        // A generator of its own: the process's rand() sequence is the host's.
        std::minstd_rand gen(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                             static_cast<unsigned>(reinterpret_cast<uintptr_t>(dmc) >> 4));
        r = static_cast<int>(gen() % static_cast<unsigned>(found));
    }
    if (r == 0)
        snprintf(dmc->name, sizeof dmc->name, "dm_client@%s", host);
    else
        snprintf(dmc->name, sizeof dmc->name, "dm_client%d@%s", r, host);
}

static void dm_teardown(dm_client *dmc)
{
    if (dmc->ctx_up) {
        // Collect whatever has completed, so that nothing of ours is left
        // with the transport when it shuts down.
        for (;;) {
            xcomm_msg *m = nullptr;
            int rc = xcomm_endp_wait(&dmc->ctx, &dmc->endp, &m, XCOMM_Q_POLL, XCOMM_WAIT_PENDING);
            if (rc != 0 || m == nullptr)
                break;
            (void)dm_process(dmc, m);
        }
        int rc = xcomm_ctx_shutdown(&dmc->ctx);
        if (rc != 0)
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_ctx_shutdown failed - [%d]\n", rc);
        dmc->ctx_up = false;
    }
    for (xcomm_msg *&m : dmc->orphans) {
        if (m != nullptr) {
            if (m->rmsg != nullptr)
                dm_msg_release(m->rmsg);
            xcomm_msg_free(m);
            m = nullptr;
        }
    }
    // Requests the transport gave up on still hold their pages; files left
    // open are closed.
    if (dmc->pool != nullptr) {
        for (int i = 0; i < DM_POOL_MSGS; i++) {
            dm_pmsg *pm = &dmc->pool[i];
            if (pm->in_use && pm->page != nullptr)
                finish_req(dmc, pm, 0, false);
        }
    }
    for (dm_file &df : dmc->files) {
        if (df.f != nullptr) {
            if (dmc->pc != nullptr)
                pcache_sync_file(dmc->pc, df.f, pcache_drop_page, PCACHE_FL_SYNC);
            file_io_close(df.f);
            df.f = nullptr;
        }
    }
    if (dmc->pc != nullptr) {
        int rc = pcache_cleanup(dmc->pc, true);
        if (rc < 0)
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "pcache_cleanup failed - [%d]\n", rc);
        dmc->pc = nullptr;
    }
    pool_free(dmc);
    free(dmc->scratch);
    dmc->scratch = nullptr;
}

dm_client *dm_client_create(const char *host, int port, void *log_ctx, int reconnect, int small_cache,
                            const char *cert_dir, int tls_required, int flag2, int *errp)
{
    int dummy;
    if (errp == nullptr)
        errp = &dummy;
    if (host == nullptr || port < 0 || port > 65535) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments\n");
        *errp = DM_ERR_INVALID_ARGS;
        return nullptr;
    }
    if (cert_dir != nullptr && strlen(cert_dir) > 255) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments: cert_dir is too long\n");
        *errp = DM_ERR_INVALID_ARGS;
        return nullptr;
    }
    auto *dmc = new (std::nothrow) dm_client();
    if (dmc == nullptr) {
        *errp = DM_ERR_NOMEM;
        return nullptr;
    }
    dmc->log_ctx = log_ctx;
    dmc->max_pend = DM_MAX_PEND;
    dmc->resp_timeout_s = util_response_timeout();
    if (port != 0)
        snprintf(dmc->name, sizeof dmc->name, "%d@%s", port, host);
    else
        dm_service_name(dmc, host);
    dmc->page_cnt = dm_page_count(small_cache);
    dmc->cache_bytes = dmc->page_cnt * DM_PAGE_SIZE;
    dm_file_ops_init(&dmc->ops);
    dmc->flags = (reconnect ? DM_CL_RECONNECT : 0u) | (flag2 ? DM_CL_ENDP_FLAG : 0u);
    if (cert_dir != nullptr && cert_dir[0] != '\0') {
        util_strlcpy(dmc->cert_dir, cert_dir, sizeof dmc->cert_dir);
        if (tls_required)
            dmc->flags |= DM_CL_TLS_REQUIRED;
    }
    int rc = dm_connect(dmc);
    if (rc != 0) {
        dm_teardown(dmc);
        delete dmc;
        *errp = rc;
        return nullptr;
    }
    *errp = 0;
    return dmc;
}

void dm_client_destroy(dm_client *dmc)
{
    if (dmc == nullptr) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments: dmc(NULL)\n");
        return;
    }
    dm_teardown(dmc);
    dm_shadow_cleanup();
    delete dmc;
}
