// DM client, send and wait: asynchronous and synchronous requests, the wait
// loop that collects completions, and the response deadline.
#include "datamover/dm_int.h"

#include "datamover/platform_xcomm.h"

#include <algorithm>

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
    return {static_cast<decltype(timeval::tv_sec)>(left_ms / 1000), static_cast<suseconds_t>((left_ms % 1000) * 1000)};
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
            dm_orphan_add(dmc, msg);
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
        dm_finish_req(dmc, pm, XCOMM_ERR_DROPPED, false);
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

int dm_wait_written(dm_client *dmc, const dm_pmsg *pm, uint32_t ticket)
{
    auto unwritten = [&]() {
        const xcomm_msg *m = pm->msg;
        return pm->in_use && pm->ticket == ticket && m->status == XCOMM_MSG_BUSY &&
               m->bytes_processed < m->total_bytes;
    };
    while (unwritten()) {
        int rc = dm_waitfor_io_msgs(dmc, 1);
        if (rc == 0)
            continue;
        if (unwritten()) {
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "a write could not be sent whole (%d); the connection is dropped\n",
                   rc);
            xcomm_endp_close_all(&dmc->ctx, &dmc->endp);
        }
        return rc == XCOMM_ERR_NOMSG ? XCOMM_ERR_DROPPED : rc;
    }
    return 0;
}

bool dm_read_inflight(dm_client *dmc, const dm_file *df, uint64_t off)
{
    if (dmc->reads_inflight <= 0)
        return false;
    for (int i = 0; i < DM_POOL_MSGS; i++) {
        const dm_pmsg &pm = dmc->pool[i];
        if (pm.in_use && pm.is_req && pm.cmd == DM_CMD_READ && pm.df == df && pm.df_gen == df->gen &&
            off >= pm.off && off - pm.off < pm.len)
            return true;
    }
    return false;
}
