// The receive side of a connection: incoming bytes framed into messages,
// dispatch by type and acknowledgement, and accepting connections.
// Everything here runs with the endpoint lock held. (Sending: xcomm_sender.cpp.)
#include <algorithm>
#include <cstring>

#include "datamover/xcomm_int.h"
#include "datamover/xcomm_ssl.h"

namespace xcomm_detail {

long fd_read(xcomm_endp *endp, xcomm_fd *fd, struct iovec *iov, int cnt, int *err)
{
    if (fd->ssl != nullptr) {
        int r = xcomm_ssl_recvmsg(endp, fd, iov, cnt, 0, err);
        return r < 0 ? -1 : r;  // 0: the peer closed the session
    }
    long r = xcomm_recvmsg(fd->sock, iov, cnt, 0);
    *err = r < 0 ? xcomm_sock_error() : 0;
    return r;
}

namespace {

// A plain connection past its negotiation may read ahead of the message
// being framed; a TLS one, or one that may still turn to TLS, may not.
bool may_read_ahead(const xcomm_fd *fd)
{
    return fd->ssl == nullptr && fd->receive_state != XCOMM_FD_SSL_ACCEPT &&
           (fd->state & (XCOMM_FD_NEGOTIATED | XCOMM_FD_CONNECTED)) != 0 && !(fd->state & XCOMM_FD_ACCEPTED);
}

// A negotiate reply of this connection not yet fully written.
bool negotiate_reply_pending(const xcomm_endp *endp, const xcomm_fd *fd)
{
    for (const xcomm_slot *s = endp->pending.head; s != nullptr; s = s->next)
        if (s->msg != nullptr && s->msg->fd == fd && s->msg->hdr.type == XCOMM_MSG_NEGOTIATE)
            return true;
    return false;
}

void consume_peek(xcomm_fd *fd, int n)
{
    n = std::min(n, fd->peek_bytes_available);
    memmove(fd->peek, fd->peek + n, static_cast<size_t>(fd->peek_bytes_available - n));
    fd->peek_bytes_available -= n;
}

// Whether a broken connection may be re-established rather than closed.
bool may_reconnect(const xcomm_endp *endp, const xcomm_fd *fd)
{
    if (!fd->reconnect.allowed)
        return false;
    if (is_server(endp))
        return !endp->adopted && (fd->state & XCOMM_FD_NEGOTIATED) != 0;
    return endp->reconnect_allowed && (fd->state & XCOMM_FD_CONNECTED) != 0;
}

int recv_io_error(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, xcomm_fd **reconnected)
{
    int rr = fd_try_reconnect(ctx, endp, fd);
    if (rr != 0) {
        ULOG_ERROR(SRC, "%s: reconnect failed.\n", endp->rname);
        return XCOMM_ERR_RCV;
    }
    if (is_server(endp))
        return XCOMM_ERR_RECONNECT_PENDING;
    *reconnected = fd;
    return XCOMM_ERR_NOMSG;
}

}  // namespace

int msg_handler(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, xcomm_msg *msg)
{
    (void)ctx;
    msg->fd = fd;
    msg->fd_gen = fd->gen;
    if (util_trace_level() >= 1) {
        char buf[180];
        ULOG_TRACE(SRC, 1, "%s: %s\n", endp->rname, xcomm_msg_to_str(msg, buf, sizeof buf));
    }
    switch (msg->hdr.type) {
    case XCOMM_MSG_REQ:
    case XCOMM_MSG_DGRAM:
        complete_msg(endp, msg, XCOMM_MSG_DONE);
        return 0;
    case XCOMM_MSG_RSP: {
        uint32_t s = msg->hdr.rpc_id;
        xcomm_msg *req = s < static_cast<uint32_t>(endp->oreqs) ? endp->slots[s].msg : nullptr;
        // Only a request of ours, fully sent on this connection and still
        // waiting, can take an answer; anything else is dropped unseen.
        if (req == nullptr || req->hdr.type != XCOMM_MSG_REQ || req->status != XCOMM_MSG_BUSY || req->fd != fd ||
            req->bytes_processed < req->total_bytes) {
            endp->stats.bad_slot++;
            ULOG_DEBUG_IF(SRC, "%s: dropping RSP for slot %u with no request waiting\n", endp->rname, s);
            drop_received(endp, msg);
            return 0;
        }
        req->rmsg = msg;
        int rc = send_ack(endp, msg);
        release_slot(endp, req->pmsg);
        complete_msg(endp, req, rc < 0 ? XCOMM_MSG_FAILED : XCOMM_MSG_DONE);
        return 0;
    }
    case XCOMM_MSG_NOTIFY: {
        int rc = send_ack(endp, msg);
        complete_msg(endp, msg, rc < 0 ? XCOMM_MSG_FAILED : XCOMM_MSG_DONE);
        return 0;
    }
    case XCOMM_MSG_ACK: {
        uint32_t s = msg->hdr.msg_id;
        if (s >= static_cast<uint32_t>(endp->oreqs)) {
            endp->stats.bad_slot++;
        } else {
            xcomm_msg *m = endp->slots[s].msg;
            if (m != nullptr && m->status == XCOMM_MSG_BUSY && m->fd == fd &&
                (m->hdr.type == XCOMM_MSG_RSP || m->hdr.type == XCOMM_MSG_NOTIFY) &&
                m->bytes_processed >= m->total_bytes) {
                release_slot(endp, m->pmsg);
                complete_msg(endp, m, XCOMM_MSG_DONE);
            } else {
                endp->stats.stale_acks++;
                ULOG_TRACE(SRC, 1, "%s: stale ACK:  msg_id[%d] rpc_id[%d] seq_no[%d]\n", endp->rname,
                           msg->hdr.msg_id, msg->hdr.rpc_id, static_cast<int>(msg->hdr.seq_no));
            }
        }
        if (msg->release_cb != nullptr)
            msg->release_cb(endp, msg);
        int rc = endp->free_cb != nullptr ? endp->free_cb(msg) : xcomm_msg_free(msg);
        return rc < 0 ? rc : 0;
    }
    default:
        drop_received(endp, msg);
        return 0;
    }
}

int recv_handler(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, xcomm_fd **reconnected)
{
    *reconnected = nullptr;
    if (fd == endp->listen_fd)
        return accept_conn(endp, fd);
    if (fd->recv_busy)
        return XCOMM_ERR_NOMSG;  // another thread is landing this connection's next message
    int per_pass = std::max(1, endp->msgs_per_pass);
    int peek_sz = std::clamp(endp->peek_sz, XCOMM_HDR_SIZE, XCOMM_HDR_PEEK_SIZE);
    addr_text t;
    for (int n = 0; n < per_pass; ++n) {
        if (fd->receive_state == XCOMM_FD_SSL_ACCEPT) {
            int rc;
            if (fd->ssl == nullptr && (negotiate_reply_pending(endp, fd) || fd->peek_bytes_available != 0)) {
                // A client starts its handshake only once it has the whole
                // reply, and sends nothing between reply and handshake.
                fd_addr_text(fd, &t);
                ULOG_ERROR(SRC, "%s: %s sent data ahead of its TLS handshake\n", endp->rname, t.remote);
                rc = XCOMM_ERR_AUTH;
            } else {
                rc = xcomm_ssl_accept(endp, fd);
            }
            if (rc == XCOMM_ERR_NOMSG)
                return 0;
            if (rc != 0) {
                fd_addr_text(fd, &t);
                ULOG_ERROR(SRC, "xcomm_ssl_accept failed for (%s), rc=%d\n", t.remote, rc);
                return rc;
            }
            fd->receive_state = XCOMM_FD_RECEIVE_HDR;
        }
        if (fd->receive_state == XCOMM_FD_RECEIVE_HDR) {
            // A connection that has not negotiated yet gets exactly one header
            // read: what follows a negotiate may be the start of a TLS
            // handshake, which is the session's to read. Over TLS the header is
            // a record of its own and the rest of the peek another, so it takes
            // two reads to fill.
            const int peek_to = (fd->state & XCOMM_FD_ACCEPTED) ? XCOMM_HDR_SIZE : peek_sz;
            for (int reads = fd->ssl != nullptr ? 2 : 1; reads > 0 && fd->peek_bytes_available < peek_to; --reads) {
                int upto = (fd->ssl != nullptr && fd->peek_bytes_available < XCOMM_HDR_SIZE) ? XCOMM_HDR_SIZE : peek_to;
                if (may_read_ahead(fd))
                    upto = XCOMM_RECV_AHEAD;
                struct iovec v = {fd->peek + fd->peek_bytes_available,
                                  static_cast<size_t>(upto - fd->peek_bytes_available)};
                int err = 0;
                long r = fd_read(endp, fd, &v, 1, &err);
                if (r < 0) {
                    if (xcomm_would_block(err)) {
                        if (fd->peek_bytes_available < XCOMM_HDR_SIZE) {
                            ULOG_TRACE(SRC, 2, "%s: no more data\n", endp->rname);
                            return XCOMM_ERR_NOMSG;
                        }
                        break;
                    }
                    char text[256];
                    xcomm_errtext(err, text, sizeof text);
                    fd_addr_text(fd, &t);
                    ULOG_ERROR(SRC,
                               "%s: xcomm_recvmsg (local %s, remote %s) - errno: %d, errmsg: %s.  Attempting to "
                               "reconnect.\n",
                               endp->rname, t.local, t.remote, err, text);
                    return recv_io_error(ctx, endp, fd, reconnected);
                }
                if (r == 0) {
                    if (may_reconnect(endp, fd))
                        return recv_io_error(ctx, endp, fd, reconnected);
                    return XCOMM_ERR_CLOSED;
                }
                fd->peek_bytes_available += static_cast<int>(r);
                if (static_cast<size_t>(r) < v.iov_len)
                    break;
            }
            if (fd->peek_bytes_available < XCOMM_HDR_SIZE)
                return XCOMM_ERR_NOMSG;
            xcomm_hdr h;
            xcomm_hdr_decode(fd->peek, &h);
            ULOG_TRACE(SRC, 2, "%s: hdr type[%d] sz_u[%d] sz_l[%d] tag[%llx] msg_id[%d] rpc_id[%d] seq_no[%d]\n",
                       endp->rname, h.type, h.sz_u, h.sz_l, static_cast<unsigned long long>(h.tag), h.msg_id,
                       h.rpc_id, static_cast<int>(h.seq_no));
            if (h.type < XCOMM_MSG_REQ || h.type > XCOMM_MSG_NEGOTIATE) {
                ULOG_ERROR(SRC, "%s: bad msg hdr type=%d\n", endp->rname, h.type);
                return XCOMM_ERR_NOSUP;
            }
            if (h.type != XCOMM_MSG_NEGOTIATE && !is_server(endp))
                fd->reconnect.rpc_id = h.rpc_id;
            if ((fd->state & XCOMM_FD_ACCEPTED) || h.type == XCOMM_MSG_NEGOTIATE) {
                int rc;
                xcomm_fd *old = nullptr;
                if (!is_server(endp)) {
                    // A client reads its negotiate replies synchronously; one
                    // arriving in the stream is out of place.
                    ULOG_ERROR(SRC, "%s: unexpected negotiate in the message stream\n", endp->rname);
                    rc = XCOMM_ERR_NEGOTIATE;
                } else {
                    consume_peek(fd, XCOMM_HDR_SIZE);
                    rc = server_negotiate(ctx, endp, fd, &h, &old);
                }
                if (rc != 0) {
                    fd_addr_text(fd, &t);
                    ULOG_ERROR(SRC, "%s: negotiate failed local:%s remote:%s\n", endp->rname, t.local, t.remote);
                    return rc;
                }
                if (old != nullptr) {
                    *reconnected = old;  // fd itself has been recycled
                    return 0;
                }
                continue;
            }
            uint32_t plen = xcomm_hdr_get_size(&h);
            xcomm_msg *m = nullptr;
            if (h.seq_no < fd->next_recv) {
                ULOG_DEBUG_IF(SRC, "seq_no(%d) < next_recv(%d), discard it\n", static_cast<int>(h.seq_no),
                              static_cast<int>(fd->next_recv));
                endp->stats.dups++;
                // Its body is read through a small buffer and dropped: the
                // peer's word on its size never decides an allocation.
                m = xcomm_msg_alloc(0);
                if (m == nullptr)
                    return XCOMM_ERR_NOMEM;
                m->status = XCOMM_MSG_FAILED;
                m->rcvd = MSG_DUPLICATE;
            } else if (h.seq_no > fd->next_recv) {
                ULOG_ERROR(SRC, "seq_no(%d) > next_recv(%d), bad sequence!\n", static_cast<int>(h.seq_no),
                           static_cast<int>(fd->next_recv));
                return XCOMM_ERR_RCV;
            } else {
                // Give the owner its whole record head when the message has one.
                int need = static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(peek_sz), XCOMM_HDR_SIZE + plen));
                if (fd->peek_bytes_available < need)
                    return XCOMM_ERR_NOMSG;
                unsigned char peek[XCOMM_HDR_PEEK_SIZE];
                memset(peek, 0, sizeof peek);
                memcpy(peek, fd->peek, std::min(sizeof peek, static_cast<size_t>(fd->peek_bytes_available)));
                int sock = fd->sock;
                fd->recv_busy = 1;
                endp->lock->unlock();
                m = endp->alloc_cb != nullptr ? endp->alloc_cb(endp, fd, peek) : xcomm_msg_alloc(plen);
                endp->lock->lock();
                fd->recv_busy = 0;
                if (!(fd->state & XCOMM_FD_ACTIVE) || fd->sock != sock) {
                    if (m != nullptr)
                        drop_received(endp, m);
                    return XCOMM_ERR_CLOSED;
                }
                if (m == nullptr) {
                    if (fd->state & XCOMM_FD_THROTTLED) {
                        fd->state &= ~XCOMM_FD_THROTTLED;
                        return XCOMM_ERR_THROTTLE;
                    }
                    ULOG_ERROR(SRC, "%s: no message for seq_no(%d) type(%d) size(%u)\n", endp->rname,
                               static_cast<int>(h.seq_no), h.type, plen);
                    return XCOMM_ERR_NOMEM;
                }
                XASSERT(m->magic == XCOMM_MAGIC_IN_USE);
                uint64_t sum = 0;
                bool ok = m->sgl_ents >= 0 && m->sgl_ents <= XCOMM_MAX_SGL && m->pmsg == nullptr;
                for (int i = 0; ok && i < m->sgl_ents; ++i) {
                    if (m->sgl[i].iov_len != 0 && m->sgl[i].iov_base == nullptr)
                        ok = false;
                    sum += m->sgl[i].iov_len;
                }
                if (!ok || sum != plen) {
                    ULOG_ERROR(SRC, "%s: message for seq_no(%d) does not fit its payload (%u bytes, buffers %llu)\n",
                               endp->rname, static_cast<int>(h.seq_no), plen, static_cast<unsigned long long>(sum));
                    m->status = XCOMM_MSG_DONE;
                    m->rcvd = MSG_RECEIVED;
                    drop_received(endp, m);
                    return XCOMM_ERR_BADMSG;
                }
                m->status = XCOMM_MSG_DONE;
                m->rcvd = MSG_RECEIVED;
                m->rmsg = nullptr;
            }
            m->bytes_processed = 0;
            m->total_bytes = XCOMM_HDR_SIZE + plen;
            fd->receive_msg = m;
            fd->receive_state = XCOMM_FD_RECEIVE_DATA;
        }

        // Body: the header again, then straight into the message's buffers.
        // A duplicate's body goes through a scratch buffer, a piece per round.
        xcomm_msg *m = fd->receive_msg;
        const bool discard = is_duplicate(m);
        unsigned char scratch[4096];
        bool blocked = false;
        do {
            struct iovec v[2 + XCOMM_MAX_SGL];
            int cnt = 0;
            int first;
            v[cnt++] = iovec{fd->recv_hdr, XCOMM_HDR_SIZE};
            if (discard) {
                uint32_t left = m->total_bytes - std::max<uint32_t>(m->bytes_processed, XCOMM_HDR_SIZE);
                if (left != 0)
                    v[cnt++] = iovec{scratch, std::min<size_t>(sizeof scratch, left)};
                first = skip_vec(v, cnt, std::min<uint32_t>(m->bytes_processed, XCOMM_HDR_SIZE));
            } else {
                for (int i = 0; i < m->sgl_ents; ++i)
                    if (m->sgl[i].iov_len != 0)
                        v[cnt++] = iovec{m->sgl[i].iov_base, m->sgl[i].iov_len};
                first = skip_vec(v, cnt, m->bytes_processed);
                if (endp->pre_recv_cb != nullptr)
                    endp->pre_recv_cb(m, v + first, cnt - first, m->bytes_processed);
            }
            while (fd->peek_bytes_available > 0 && first < cnt) {
                size_t k = std::min(static_cast<size_t>(fd->peek_bytes_available), v[first].iov_len);
                memcpy(v[first].iov_base, fd->peek, k);
                consume_peek(fd, static_cast<int>(k));
                m->bytes_processed += static_cast<uint32_t>(k);
                first = skip_vec(v, cnt, k);
            }
            // The peek is empty here: room for the next messages' first
            // bytes goes behind the message's own buffers.
            const bool ahead = !discard && first < cnt && cnt - first < MAX_BUF_COUNT && may_read_ahead(fd);
            while (first < cnt) {
                int err = 0;
                const uint32_t left = m->total_bytes - m->bytes_processed;
                int k = std::min(cnt - first, MAX_BUF_COUNT);
                if (ahead)
                    v[first + k++] = iovec{fd->peek, sizeof fd->peek};
                long r = fd_read(endp, fd, v + first, k, &err);
                if (r < 0) {
                    if (xcomm_would_block(err)) {
                        blocked = true;
                        break;
                    }
                    char text[256];
                    xcomm_errtext(err, text, sizeof text);
                    ULOG_ERROR(SRC, "%s: xcomm_recvmsg - errno: %d, errmsg: %s\n", endp->rname, err, text);
                    if (endp->post_recv_cb != nullptr && !discard)
                        endp->post_recv_cb(m);
                    return recv_io_error(ctx, endp, fd, reconnected);
                }
                if (r == 0) {
                    if (endp->post_recv_cb != nullptr && !discard)
                        endp->post_recv_cb(m);
                    if (may_reconnect(endp, fd))
                        return recv_io_error(ctx, endp, fd, reconnected);
                    return XCOMM_ERR_CONN;
                }
                if (ahead && static_cast<uint64_t>(r) > left) {
                    fd->peek_bytes_available = static_cast<int>(static_cast<uint64_t>(r) - left);
                    r = static_cast<long>(left);
                }
                m->bytes_processed += static_cast<uint32_t>(r);
                first = skip_vec(v, cnt, static_cast<size_t>(r));
            }
        } while (discard && !blocked && m->bytes_processed < m->total_bytes);
        if (endp->post_recv_cb != nullptr && !discard)
            endp->post_recv_cb(m);
        if (m->bytes_processed < m->total_bytes) {
            endp->stats.partial_reads++;
            ULOG_TRACE(SRC, 2, "%s: partial read %u of %u\n", endp->rname, m->bytes_processed, m->total_bytes);
            return XCOMM_ERR_NOMSG;
        }
        xcomm_hdr_decode(fd->recv_hdr, &m->hdr);
        fd->receive_msg = nullptr;
        fd->receive_state = XCOMM_FD_RECEIVE_HDR;
        if (is_duplicate(m)) {
            xcomm_msg_free(m);  // a duplicate: its number was counted the first time
            continue;
        }
        fd->next_recv++;
        if (m->hdr.type < 7)
            endp->stats.rcvd[m->hdr.type]++;
        int rc = msg_handler(ctx, endp, fd, m);
        if (rc != 0)
            return rc;
        if (!(fd->state & XCOMM_FD_ACTIVE))
            return XCOMM_ERR_NOMSG;
    }
    return 0;
}

int accept_conn(xcomm_endp *endp, xcomm_fd *lfd)
{
    struct sockaddr_in raddr;
    socklen_t rlen = sizeof raddr;
    int sock = xcomm_accept(lfd->sock, &raddr, &rlen);
    if (sock < 0)
        return 0;
    struct sockaddr_in laddr;
    socklen_t llen = sizeof laddr;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&laddr), &llen) != 0) {
        char text[256];
        int e = xcomm_errtext(0, text, sizeof text);
        ULOG_ERROR(SRC, "%s: getsockname failed - error %d:%s", endp->rname, e, text);
        xcomm_sock_close(sock);
        return 0;
    }
    xcomm_fd *fd = get_fd(endp);
    if (fd == nullptr) {
        ULOG_ERROR(SRC, "%s: xcomm_get_fd failed - free_fds[%d]\n", endp->rname, endp->free_fds.cnt);
        xcomm_sock_close(sock);
        return 0;
    }
    fd->sock = sock;
    fd->laddr = laddr;
    fd->lport = ntohs(laddr.sin_port);
    fd->addrlen = llen;
    fd->raddr = raddr;
    fd->rport = ntohs(raddr.sin_port);
    fd->state = XCOMM_FD_ACTIVE | XCOMM_FD_ACCEPTED;
    fd_stamp(fd);
    dl_push_back(endp->active_fds, fd);
    endp->stats.accepts++;
    addr_text t;
    fd_addr_text(fd, &t);
    ULOG_INFO(SRC, "%s: accepted connection local: %s remote: %s\n", endp->rname, t.local, t.remote);
    return 0;
}

}  // namespace xcomm_detail
