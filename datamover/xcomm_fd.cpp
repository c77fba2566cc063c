// Connection records and their life: recycling through the free, active and
// reconnect lists, slots and the completion of messages, and the shutdown of
// one connection with everything in flight on it. Endpoint lock held throughout.
#include <cstdlib>
#include <cstring>
#include <new>

#include "datamover/xcomm_int.h"
#include "datamover/xcomm_ssl.h"

namespace xcomm_detail {

void fd_stamp(xcomm_fd *fd) { xcomm_monotime(&fd->state_sec, &fd->state_usec); }

int64_t fd_age_sec(const xcomm_fd *fd)
{
    int64_t s, us;
    xcomm_monotime(&s, &us);
    return s - fd->state_sec;
}

void fd_pristine(xcomm_endp *endp, xcomm_fd *fd, int index)
{
    xcomm_sent_rec *sent = fd->sent;
    uint32_t gen = fd->gen + 1;
    memset(fd, 0, sizeof *fd);
    fd->gen = gen != 0 ? gen : 1;
    fd->sock = -1;
    fd->endp = endp;
    fd->index = index;
    fd->version = XCOMM_VERSION;
    fd->sent = sent;
    if (sent != nullptr)
        memset(sent, 0, sizeof(xcomm_sent_rec) * XCOMM_SENT_RING);
}

int fd_alloc_sent_ring(xcomm_fd *fd)
{
    if (fd->sent == nullptr)
        fd->sent = static_cast<xcomm_sent_rec *>(calloc(XCOMM_SENT_RING, sizeof(xcomm_sent_rec)));
    return fd->sent != nullptr ? 0 : XCOMM_ERR_NOMEM;
}

bool fd_in_table(const xcomm_endp *endp, const xcomm_fd *fd)
{
    if (fd == nullptr || endp->fds == nullptr)
        return false;
    for (int i = 0; i < endp->nconns; ++i)
        if (&endp->fds[i] == fd)
            return true;
    return false;
}

xcomm_fd *get_fd(xcomm_endp *endp)
{
    if (endp->free_fds.head == nullptr && endp->reconnect_fds.head != nullptr) {
        fd_shutdown(endp->ctx, endp, endp->reconnect_fds.head);  // tells close_cb XCOMM_ERR_CLOSED
    }
    xcomm_fd *fd = dl_pop_front(endp->free_fds);
    if (fd == nullptr)
        return nullptr;
    XASSERT(fd->sock == -1 && fd->state == 0 && fd->receive_msg == nullptr && fd->send_msg == nullptr);
    return fd;
}

void put_fd(xcomm_endp *endp, xcomm_fd *fd)
{
    fd_pristine(endp, fd, fd->index);
    dl_push_back(endp->free_fds, fd);
}

void fd_close_socket(xcomm_endp *endp, xcomm_fd *fd, int quiet_tls)
{
    (void)endp;
    if (fd->ssl != nullptr)
        xcomm_ssl_shutdown(fd, quiet_tls);
    if (fd->sock >= 0)
        xcomm_sock_close(fd->sock);
    fd->sock = -1;
    fd->write_blocked = 0;
}

void release_slot(xcomm_endp *endp, xcomm_slot *slot)
{
    if (slot->msg != nullptr && slot->msg->pmsg == slot)
        slot->msg->pmsg = nullptr;
    dl_remove(endp->pending, slot);
    slot->msg = nullptr;
    if (slot->id < 0)
        delete slot;
    else
        dl_push_back(endp->free_slots, slot);
}

void wake_waiters(xcomm_endp *endp)
{
    endp->wake_seq++;
    // Once signalled, the wake-up stays readable until the last waiter out
    // resets it.
    if (endp->pollers > 0 && endp->wake_fd >= 0 && !endp->wake_armed) {
        endp->wake_armed = xcomm_waker_signal(endp->wake_fd);
    }
}

void complete_msg(xcomm_endp *endp, xcomm_msg *msg, int status)
{
    msg->status = status;
    dl_push_back(endp->completed, msg);
    if (msg->complete_cb != nullptr)
        msg->complete_cb(endp, msg);
    wake_waiters(endp);
}

// Gives a received message back: its release callback, then the free
// callback (a duplicate the engine allocated itself is freed directly).
// XCOMM_ERR_FD when either callback failed.
int release_received(xcomm_endp *endp, xcomm_msg *msg)
{
    int rc = 0;
    if (msg->release_cb != nullptr) {
        int r = msg->release_cb(endp, msg);
        if (r < 0) {
            ULOG_ERROR(SRC, "%s: error releasing msg contents. rc(%d)\n", endp->rname, r);
            rc = XCOMM_ERR_FD;
        }
    }
    int r;
    if (is_duplicate(msg))
        r = xcomm_msg_free(msg);
    else
        r = endp->free_cb != nullptr ? endp->free_cb(msg) : xcomm_msg_free(msg);
    if (r < 0) {
        ULOG_ERROR(SRC, "%s: error releasing msg. rc(%d)\n", endp->rname, r);
        rc = XCOMM_ERR_FD;
    }
    return rc;
}

void drop_received(xcomm_endp *endp, xcomm_msg *msg)
{
    if (msg != nullptr)
        (void)release_received(endp, msg);
}

int queue_internal(xcomm_endp *endp, xcomm_fd *fd, xcomm_msg *msg, bool own_slot)
{
    xcomm_slot *slot;
    if (own_slot) {
        slot = new (std::nothrow) xcomm_slot();
        if (slot == nullptr)
            return XCOMM_ERR_NOMEM;
        slot->id = -1;
    } else {
        slot = dl_pop_front(endp->free_slots);
        if (slot == nullptr) {
            endp->stats.slot_exhausted++;
            return XCOMM_ERR_BUSY;
        }
        msg->hdr.msg_id = static_cast<uint16_t>(slot->id);
    }
    slot->msg = msg;
    msg->pmsg = slot;
    msg->status = XCOMM_MSG_BUSY;
    msg->fd = fd;
    msg->bytes_processed = 0;
    msg->total_bytes = XCOMM_HDR_SIZE;
    dl_push_back(endp->pending, slot);
    return 0;
}

int fd_drop_partial_receive(xcomm_endp *endp, xcomm_fd *fd)
{
    int rc = 0;
    xcomm_msg *m = fd->receive_msg;
    if (m != nullptr) {
        ULOG_DEBUG_IF(SRC, "release partial received resource, seq_no(%d),bytes_processed=%u, total_bytes=%u, msg_p(%p)\n",
                      static_cast<int>(m->hdr.seq_no), m->bytes_processed, m->total_bytes, static_cast<void *>(m));
        fd->receive_msg = nullptr;
        rc = release_received(endp, m);
    }
    fd->peek_bytes_available = 0;
    fd->receive_state = XCOMM_FD_RECEIVE_HDR;
    return rc;
}

void fd_shutdown(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd)
{
    (void)ctx;
    bool active = (fd->state & XCOMM_FD_ACTIVE) != 0;
    bool parked = (fd->state & XCOMM_FD_RECONNECT) != 0;
    if (!active && !parked)
        return;
    ULOG_TRACE(SRC, 1, "%s: shutdown endp[%p] fd[%p], sock=%d, state=%d\n", endp->rname, static_cast<void *>(endp),
               static_cast<void *>(fd), fd->sock, static_cast<int>(fd->state));
    int allowed = fd->reconnect.allowed;
    fd->reconnect.allowed = 0;
    if (active)
        dl_remove(endp->active_fds, fd);
    else
        dl_remove(endp->reconnect_fds, fd);
    fd->state &= ~(XCOMM_FD_ACTIVE | XCOMM_FD_RECONNECT);
    if (fd->sock >= 0 || fd->ssl != nullptr) {
        addr_text t;
        fd_addr_text(fd, &t);
        ULOG_INFO(SRC, "%s: closing connection local: %s remote: %s, reconnect allowed=%d\n", endp->rname, t.local,
                  t.remote, allowed);
        fd_close_socket(endp, fd, TLS_CLOSE_NOTIFY);
    }
    char buf[180];
    // Messages in flight on this connection come back cancelled; the engine's
    // own ACKs and negotiate replies are simply freed.
    for (xcomm_slot *s = endp->pending.head; s != nullptr;) {
        xcomm_slot *next = s->next;
        xcomm_msg *m = s->msg;
        if (m != nullptr && m->fd == fd) {
            if (m->release_cb != nullptr)
                m->release_cb(endp, m);
            if (m->hdr.type == XCOMM_MSG_ACK || m->hdr.type == XCOMM_MSG_NEGOTIATE) {
                release_slot(endp, s);
                xcomm_msg_free(m);
            } else {
                ULOG_TRACE(SRC, 1, "%s: cancelled %s\n", endp->rname, xcomm_msg_to_str(m, buf, sizeof buf));
                m->fd = nullptr;
                release_slot(endp, s);
                complete_msg(endp, m, XCOMM_MSG_CANCELLED);
            }
        }
        s = next;
    }
    for (xcomm_msg *m = endp->completed.head; m != nullptr; m = m->next) {
        if (m->fd != fd)
            continue;
        m->fd = nullptr;
        // A request whose answer already arrived keeps it.
        if (m->status == XCOMM_MSG_CANCELLED || (m->hdr.type == XCOMM_MSG_REQ && m->rmsg != nullptr))
            continue;
        if (m->complete_cb != nullptr)
            m->complete_cb(endp, m);
        if (m->release_cb != nullptr)
            m->release_cb(endp, m);
        ULOG_TRACE(SRC, 1, "%s: cancelled %s\n", endp->rname, xcomm_msg_to_str(m, buf, sizeof buf));
        m->status = XCOMM_MSG_CANCELLED;
    }
    fd_drop_partial_receive(endp, fd);
    fd->send_msg = nullptr;
    fd->send_state = XCOMM_FD_INIT_HDR;
    if (fd != endp->listen_fd && endp->close_cb != nullptr)
        endp->close_cb(endp, fd, XCOMM_ERR_CLOSED);
    if (fd == endp->listen_fd)
        endp->listen_fd = nullptr;
    put_fd(endp, fd);
    wake_waiters(endp);
}

}  // namespace xcomm_detail
