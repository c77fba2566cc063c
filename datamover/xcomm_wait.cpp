// Waiting: xcomm_endp_wait hands a caller its completed messages, running
// readiness passes until one is there, the time is up or nothing is pending.
#include <algorithm>

#include "datamover/xcomm_int.h"

using namespace xcomm_detail;

namespace {

constexpr int SERVER_SELECT_LIMIT_S = 120;

}  // namespace

static bool wanted(const xcomm_endp *endp, const xcomm_msg *m, const xcomm_msg *want)
{
    if (want != nullptr && m != want)
        return false;
    if (m->fd != nullptr && (m->fd->state & XCOMM_FD_RECONNECT))
        return false;
    if (is_server(endp) && m->hdr.type == XCOMM_MSG_REQ && m->fd != nullptr &&
        m->fd->send_state == XCOMM_FD_SEND_DATA)
        return false;
    return true;
}

// Takes the first completed message the caller may have off the list
// (endpoint lock held). True when one was taken.
static bool take_completed(xcomm_endp *endp, const xcomm_msg *want, xcomm_msg **msgp)
{
    for (xcomm_msg *m = endp->completed.head; m != nullptr; m = m->next) {
        if (wanted(endp, m, want)) {
            dl_remove(endp->completed, m);
            *msgp = m;
            return true;
        }
    }
    return false;
}

int xcomm_endp_wait(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_msg **msgp, struct timeval *timeout, int flags)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p), endp(%p)\n", static_cast<void *>(ctx), static_cast<void *>(endp));
        return XCOMM_ERR_ENDP;
    }
    xcomm_msg *want = msgp != nullptr ? *msgp : nullptr;
    uint64_t seen = 0;
    bool poll_only = timeout == XCOMM_Q_POLL;
    int64_t deadline = (!poll_only && timeout != nullptr) ? xcomm_monotime_ms() + tv_ms(timeout) : 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> g(*endp->lock);
            if (is_server(endp) && endp->completed.cnt > 0) {
                int64_t s, us;
                xcomm_monotime(&s, &us);
                if (s - endp->last_select_sec >= SERVER_SELECT_LIMIT_S) {
                    g.unlock();
                    ULOG_ERROR(SRC, "%s: server failed to select for new msgs within %d seconds\n", endp->rname,
                               SERVER_SELECT_LIMIT_S);
                    struct timeval zero = {0, 0};
                    xcomm_select(ctx, endp, &zero);
                    continue;
                }
            }
            if (msgp != nullptr && take_completed(endp, want, msgp))
                return 0;
            bool want_lost = want != nullptr && want->pmsg == nullptr;
            if (flags & XCOMM_WAIT_PENDING)
                flush_if_only_acks(ctx, endp);
            if ((flags & XCOMM_WAIT_PENDING) && (endp->pending.cnt == 0 || want_lost)) {
                ULOG_DEBUG_IF(SRC, "%s: exited with msg: %p with no msg \n", endp->rname, static_cast<void *>(want));
                return XCOMM_ERR_NOMSG;
            }
            seen = endp->wake_seq;
        }
        if (poll_only)
            return 0;
        struct timeval left, *tp = nullptr;
        if (timeout != nullptr) {
            int64_t ms = std::max<int64_t>(0, deadline - xcomm_monotime_ms());
            left.tv_sec = static_cast<time_t>(ms / 1000);
            left.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
            tp = &left;
        }
        int rc = poll_pass(ctx, endp, tp, &seen);
        if (rc < 0) {
            if (rc == XCOMM_ERR_NOMSG && !is_server(endp)) {
                std::lock_guard<std::mutex> g(*endp->lock);
                if (endp->reconnect_count != endp->reconnect_seen) {
                    endp->reconnect_seen = endp->reconnect_count;
                    ULOG_INFO(SRC, "reconnect occurred during wait, retrying\n");
                    continue;
                }
            }
            return rc;
        }
        if (msgp == nullptr)
            return 0;
        if (timeout != nullptr && xcomm_monotime_ms() >= deadline) {
            std::lock_guard<std::mutex> g(*endp->lock);
            return take_completed(endp, want, msgp) ? 0 : XCOMM_ERR_TIMEOUT;
        }
    }
}
