// Sending: choosing the connection for a new message, queuing it in a slot
// and making the one immediate write attempt.
#include "datamover/xcomm_int.h"

using namespace xcomm_detail;

static bool fd_usable(const xcomm_fd *fd)
{
    return (fd->state & XCOMM_FD_ACTIVE) && (fd->state & (XCOMM_FD_NEGOTIATED | XCOMM_FD_CONNECTED)) && fd->sock >= 0;
}

static xcomm_fd *choose_fd(xcomm_endp *endp, xcomm_msg *msg, bool *parked)
{
    *parked = false;
    if (is_server(endp)) {
        xcomm_fd *fd = msg->fd;
        if (fd == nullptr) {
            if (endp->adopted)
                for (xcomm_fd *f = endp->active_fds.head; f != nullptr; f = f->next)
                    if (fd_usable(f))
                        return f;
            return nullptr;
        }
        if (!fd_in_table(endp, fd) || fd == endp->listen_fd || (msg->fd_gen != 0 && msg->fd_gen != fd->gen))
            return nullptr;
        if (fd->state & XCOMM_FD_RECONNECT) {
            *parked = true;  // written once the client is back
            return fd;
        }
        return fd_usable(fd) ? fd : nullptr;
    }
    for (int i = 0; i < endp->nconns; ++i) {
        xcomm_fd *fd = &endp->fds[endp->rr_index];
        endp->rr_index = (endp->rr_index + 1) % endp->nconns;
        if (fd_usable(fd))
            return fd;
    }
    return nullptr;
}

int xcomm_send_msg(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_msg *msg)
{
    if (ctx == nullptr || endp == nullptr || msg == nullptr || endp->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p), endp(%p), msg(%p)\n", static_cast<void *>(ctx),
                   static_cast<void *>(endp), static_cast<void *>(msg));
        return XCOMM_ERR_ENDP;
    }
    XASSERT(msg->magic == XCOMM_MAGIC_IN_USE);
    if (msg->hdr.type < XCOMM_MSG_REQ || msg->hdr.type > XCOMM_MSG_DGRAM || msg->hdr.type == XCOMM_MSG_ACK ||
        msg->sgl_ents < 0 || msg->sgl_ents > XCOMM_MAX_SGL)
        return XCOMM_ERR_BADMSG;
    uint64_t len = 0;
    for (int i = 0; i < msg->sgl_ents; ++i) {
        if (msg->sgl[i].iov_len != 0 && msg->sgl[i].iov_base == nullptr)
            return XCOMM_ERR_BADMSG;
        len += msg->sgl[i].iov_len;
    }
    if (len > XCOMM_MAX_PAYLOAD)
        return XCOMM_ERR_BADMSG;

    std::lock_guard<std::mutex> g(*endp->lock);
    if (!(endp->state & XCOMM_ENDP_INIT) || (endp->state & XCOMM_ENDP_SHUTDOWN))
        return XCOMM_ERR_ENDP;
    XASSERT(msg->pmsg == nullptr);
    xcomm_slot *slot = dl_pop_front(endp->free_slots);
    if (slot == nullptr) {
        endp->stats.slot_exhausted++;
        return XCOMM_ERR_BUSY;
    }
    bool parked = false;
    xcomm_fd *fd = choose_fd(endp, msg, &parked);
    if (fd == nullptr) {
        dl_push_front(endp->free_slots, slot);
        return XCOMM_ERR_FD;
    }
    slot->msg = msg;
    msg->pmsg = slot;
    msg->status = XCOMM_MSG_BUSY;
    msg->retries = 0;
    msg->rmsg = nullptr;
    msg->rcvd = MSG_FROM_OWNER;
    dl_push_back(endp->pending, slot);
    msg->hdr.msg_id = static_cast<uint16_t>(slot->id);
    if (msg->hdr.type == XCOMM_MSG_REQ)
        msg->hdr.rpc_id = static_cast<uint16_t>(slot->id);
    xcomm_hdr_set_size(&msg->hdr, static_cast<uint32_t>(len));
    msg->total_bytes = static_cast<uint32_t>(len) + XCOMM_HDR_SIZE;
    msg->fd = fd;
    msg->bytes_processed = 0;
    // Parked, held back for the ones that follow, or waiting for the socket:
    // written later, by a send, a flush or a pass.
    const bool more = (msg->flag & XCOMM_MSG_MORE) != 0;
    msg->flag &= ~XCOMM_MSG_MORE;  // holds for this send only
    if (parked || more || fd->write_blocked)
        return 0;
    int rc = send_handler(ctx, endp, fd);
    if (rc == 0 || rc == XCOMM_ERR_PARTIAL_WRITE || rc == XCOMM_ERR_RECONNECT_PENDING)
        return 0;
    ULOG_ERROR(SRC, "%s: send message error = %d\n", endp->rname, rc);
    if (msg->pmsg == slot) {
        release_slot(endp, slot);
        msg->fd = nullptr;
        msg->status = XCOMM_MSG_DONE;
    }
    if (fd->state & (XCOMM_FD_ACTIVE | XCOMM_FD_RECONNECT))
        fd_shutdown(ctx, endp, fd);
    return rc;
}

bool xcomm_endp_write_idle(xcomm_endp *endp)
{
    if (endp == nullptr || endp->lock == nullptr)
        return false;
    std::lock_guard<std::mutex> g(*endp->lock);
    for (const xcomm_fd *fd = endp->active_fds.head; fd != nullptr; fd = fd->next)
        if (fd->write_blocked || fd->send_msg != nullptr)
            return false;
    return true;
}

int xcomm_detail::flush_locked(xcomm_ctx *ctx, xcomm_endp *endp)
{
    int first_err = 0;
    for (xcomm_fd *fd = endp->active_fds.head; fd != nullptr;) {
        xcomm_fd *next = fd->next;
        if (fd_usable(fd) && fd != endp->listen_fd && !fd->write_blocked) {
            int rc = send_handler(ctx, endp, fd);
            if (rc != 0 && rc != XCOMM_ERR_PARTIAL_WRITE && rc != XCOMM_ERR_RECONNECT_PENDING) {
                if (fd->state & (XCOMM_FD_ACTIVE | XCOMM_FD_RECONNECT))
                    fd_shutdown(ctx, endp, fd);
                if (first_err == 0)
                    first_err = rc;
            }
        }
        fd = next;
    }
    return first_err;
}

void xcomm_detail::flush_if_only_acks(xcomm_ctx *ctx, xcomm_endp *endp)
{
    if (!endp->defer_acks || endp->pending.cnt == 0)
        return;
    for (xcomm_slot *s = endp->pending.head; s != nullptr; s = s->next)
        if (s->msg != nullptr && s->msg->hdr.type != XCOMM_MSG_ACK)
            return;
    (void)flush_locked(ctx, endp);
}

int xcomm_endp_flush(xcomm_ctx *ctx, xcomm_endp *endp)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p), endp(%p)\n", static_cast<void *>(ctx), static_cast<void *>(endp));
        return XCOMM_ERR_ENDP;
    }
    std::lock_guard<std::mutex> g(*endp->lock);
    return flush_locked(ctx, endp);
}
