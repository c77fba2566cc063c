// Connection set-up, reconnection and disconnection: the negotiate exchange
// on both sides, reconnect identities, the resend walk that puts back what
// the peer lacks after a broken connection, and both reconnect procedures.
#include <algorithm>
#include <cstring>
#include <vector>

#include "datamover/xcomm_int.h"
#include "datamover/xcomm_ssl.h"

namespace xcomm_detail {

namespace {

bool is_loopback(const struct sockaddr_in &a) { return ntohl(a.sin_addr.s_addr) == INADDR_LOOPBACK; }

uint64_t object_handle(const xcomm_endp *endp, const xcomm_fd *fd)
{
    return (static_cast<uint64_t>(endp->object_nonce) << 32) | static_cast<uint32_t>(fd->index + 1);
}

// Keys are 15 bits and never 0.
uint32_t issue_key(xcomm_endp *endp)
{
    uint32_t v = static_cast<uint32_t>(endp->next_reconnect_key);
    while ((v & 0x7FFF) == 0)
        ++v;
    endp->next_reconnect_key = static_cast<int32_t>(v + 1);
    return v & 0x7FFF;
}

// Writes all of buf on a connection outside the queue (client negotiates).
int write_all(xcomm_endp *endp, xcomm_fd *fd, unsigned char *buf, size_t len)
{
    size_t done = 0;
    int64_t deadline = xcomm_monotime_ms() + 10000;
    while (done < len) {
        struct iovec v = {buf + done, len - done};
        int err = 0;
        long r = fd_write(endp, fd, &v, 1, &err);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && (xcomm_would_block(err) || err == XCOMM_WSAEINTR)) {
            int64_t left = deadline - xcomm_monotime_ms();
            if (left <= 0)
                return -1;
            xcomm_pollfd p = {fd->sock, POLLOUT, 0};
            xcomm_poll(&p, 1, static_cast<int>(left));
            continue;
        }
        xcomm_set_sock_error(err);
        return -1;
    }
    return 0;
}

const char *kind_name(int kind)
{
    switch (kind) {
    case XCOMM_NEG_CONNECT: return "connect";
    case XCOMM_NEG_RECONNECT: return "re-connect";
    case XCOMM_NEG_DISCONNECT: return "disconnect";
    default: return "unknown";
    }
}

// After a broken connection: puts back at the head of the queue, in sequence
// order, every message the peer has not received (peer_last_recv is the last
// number it has, my_last_sent the last this side wrote completely), including
// ACKs and datagrams that had already left the queue. The message that was
// being written keeps its number too. New messages continue the sequence.
int resend_walk(xcomm_endp *endp, xcomm_fd *fd, uint32_t peer_last_recv, uint32_t my_last_sent)
{
    char buf[180];
    if (peer_last_recv > my_last_sent) {
        ULOG_ERROR(SRC, "%s: peer reports seq_no(%u) received, last sent is (%u)\n", endp->rname, peer_last_recv,
                   my_last_sent);
        return XCOMM_ERR_NEGOTIATE;
    }
    uint32_t lo = peer_last_recv + 1;
    uint32_t hi = my_last_sent;
    uint64_t missing = static_cast<uint64_t>(hi) - peer_last_recv;
    if (missing > static_cast<uint64_t>(endp->pending.cnt) + XCOMM_SENT_RING) {
        ULOG_ERROR(SRC, "pending resend icomplete (%u) remain!\n", static_cast<unsigned>(missing));
        return XCOMM_ERR_NEGOTIATE;
    }
    std::vector<xcomm_slot *> resend;
    for (xcomm_slot *s = endp->pending.head; s != nullptr; s = s->next) {
        xcomm_msg *m = s->msg;
        if (m == nullptr || m->fd != fd || m->hdr.type == XCOMM_MSG_NEGOTIATE)
            continue;
        ULOG_DEBUG_IF(SRC, "%s: checking for resend: %s\n", endp->rname, xcomm_msg_to_str(m, buf, sizeof buf));
        // A message never started carries no number yet; it goes out normally.
        if (m->bytes_processed == 0 && m->retries == 0)
            continue;
        if (m->hdr.seq_no <= peer_last_recv) {
            if (m->bytes_processed < m->total_bytes) {
                ULOG_ERROR(SRC, "seq_no(%d), bytes_processed=%u,total_bytes=%u, not sent!\n",
                           static_cast<int>(m->hdr.seq_no), m->bytes_processed, m->total_bytes);
                return XCOMM_ERR_NEGOTIATE;
            }
            continue;
        }
        if (xcomm_hdr_get_size(&m->hdr) != 0 && (m->flag & XCOMM_MSG_BUFS_RELEASED)) {
            ULOG_ERROR(SRC, "seq_no(%d), bytes processed (%d), total bytes(%d) released its iovec reference, can't resend!\n",
                       static_cast<int>(m->hdr.seq_no), static_cast<int>(m->bytes_processed),
                       static_cast<int>(m->total_bytes));
            return XCOMM_ERR_NEGOTIATE;
        }
        ULOG_DEBUG_IF(SRC, "%s: mark for resend: %s\n", endp->rname, xcomm_msg_to_str(m, buf, sizeof buf));
        resend.push_back(s);
    }
    std::vector<uint32_t> have;
    for (xcomm_slot *s : resend)
        have.push_back(s->msg->hdr.seq_no);
    std::sort(have.begin(), have.end());
    if (std::adjacent_find(have.begin(), have.end()) != have.end()) {
        ULOG_ERROR(SRC, "%s: two pending messages carry one seq_no\n", endp->rname);
        return XCOMM_ERR_NEGOTIATE;
    }
    // Numbers no pending message covers: ACKs and datagrams already written.
    std::vector<xcomm_sent_rec> regen;
    for (uint64_t q = lo; q <= hi; ++q) {
        uint32_t seq = static_cast<uint32_t>(q);
        if (std::binary_search(have.begin(), have.end(), seq))
            continue;
        const xcomm_sent_rec *r = fd->sent != nullptr ? &fd->sent[seq % XCOMM_SENT_RING] : nullptr;
        if (r == nullptr || r->seq_no != seq || (r->type != XCOMM_MSG_ACK && r->type != XCOMM_MSG_DGRAM)) {
            ULOG_ERROR(SRC, "pending resend icomplete (%u) remain!\n", static_cast<unsigned>(hi - seq + 1));
            return XCOMM_ERR_NEGOTIATE;
        }
        regen.push_back(*r);
    }
    // Together they must run on from lo without a hole: messages marked by an
    // earlier reconnect and not yet written again follow on above hi.
    {
        std::vector<uint32_t> all = have;
        for (const xcomm_sent_rec &r : regen)
            all.push_back(r.seq_no);
        std::sort(all.begin(), all.end());
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i] != lo + i) {
                ULOG_ERROR(SRC, "attempting pending resend beyond sent!\n");
                return XCOMM_ERR_NEGOTIATE;
            }
        }
    }
    // Commit: nothing below fails except memory.
    std::vector<xcomm_slot *> order = resend;
    for (const xcomm_sent_rec &r : regen) {
        xcomm_msg *m = xcomm_msg_alloc(0);
        if (m == nullptr || queue_internal(endp, fd, m, true) != 0) {
            if (m != nullptr)
                xcomm_msg_free(m);
            return XCOMM_ERR_NOMEM;
        }
        m->hdr.type = XCOMM_MSG_ACK;
        // A lost datagram cannot be rebuilt; an ACK for no slot takes its number.
        m->hdr.msg_id = r.type == XCOMM_MSG_ACK ? r.msg_id : 0xFFFF;
        m->hdr.tag = r.type == XCOMM_MSG_ACK ? r.tag : 0;
        m->hdr.seq_no = r.seq_no;
        m->retries = 1;
        order.push_back(m->pmsg);
    }
    for (xcomm_slot *s : resend) {
        s->msg->retries++;
        s->msg->bytes_processed = 0;
    }
    std::sort(order.begin(), order.end(),
              [](const xcomm_slot *a, const xcomm_slot *b) { return a->msg->hdr.seq_no > b->msg->hdr.seq_no; });
    for (xcomm_slot *s : order) {
        dl_remove(endp->pending, s);
        dl_push_front(endp->pending, s);
    }
    if (!order.empty())
        ULOG_DEBUG_IF(SRC, "(%d) found, pending resend\n", static_cast<int>(order.size()));
    fd->next_send = lo;
    fd->send_msg = nullptr;
    fd->send_state = XCOMM_FD_INIT_HDR;
    return 0;
}

// Client side of a received negotiate reply.
int client_negotiate(xcomm_endp *endp, xcomm_fd *fd, const xcomm_hdr *h, int expect_kind, xcomm_fd **out)
{
    if (h->type != XCOMM_MSG_NEGOTIATE || h->sz_u != expect_kind) {
        ULOG_ERROR(SRC, "%s: unexpected negotiate reply type=%d kind=%d\n", endp->rname, h->type, h->sz_u);
        return XCOMM_ERR_NEGOTIATE;
    }
    if (expect_kind == XCOMM_NEG_CONNECT) {
        int peer = static_cast<int>(h->gen_no & 0xFF);
        if (peer < static_cast<int>(fd->version))
            fd->version = static_cast<uint8_t>(peer);
        endp->peer_version = h->gen_no;
    }
    uint16_t rval = h->sz_l;
    if (rval == 0) {
        if (h->gen_no != 1 || h->rpc_id != XCOMM_NEG_PLAIN)
            return XCOMM_ERR_NEGOTIATE;
        if (endp->tls_flags & XCOMM_TLS_REQUIRED) {
            ULOG_ERROR(SRC, "SSL not supported by server\n");
            return XCOMM_ERR_NEGOTIATE;
        }
        fd->next_recv++;
        fd->reconnect.allowed = 0;
        fd->reconnect.key = 0;
        fd->reconnect.object = 0;
        return 0;
    }
    fd->reconnect.key = rval;
    fd->reconnect.object = h->tag;
    fd->reconnect.allowed = 1;
    *out = fd;
    ULOG_DEBUG_IF(SRC, "remote rval=%u, seq_no=%d, gen_no=%d, rpc_id=%d, remote object:key to use for reconnect: (0x%llx:%d)\n",
                  rval, static_cast<int>(h->seq_no), static_cast<int>(h->gen_no), h->rpc_id,
                  static_cast<unsigned long long>(h->tag), rval);
    if (endp->reconnect_allowed && fd_alloc_sent_ring(fd) != 0)
        return XCOMM_ERR_NOMEM;
    if (expect_kind == XCOMM_NEG_CONNECT) {
        fd->next_recv++;
        if (h->rpc_id == XCOMM_NEG_TLS) {
            ULOG_INFO(SRC, "SSL TLS requested by server to complete connection\n");
            int rc = xcomm_ssl_connect(endp, fd);
            if (rc != 0) {
                ULOG_ERROR(SRC, "%s: xcomm_ssl_connect failed: rc=%d\n", endp->rname, rc);
                return rc;
            }
            return 0;
        }
        if (h->rpc_id == XCOMM_NEG_PLAIN) {
            if (endp->tls_flags & XCOMM_TLS_REQUIRED) {
                ULOG_ERROR(SRC, "SSL not supported by server\n");
                if (is_loopback(fd->laddr))
                    ULOG_ERROR(SRC, "%s: connections from 127.0.0.1 never use TLS; with TLS required, reach the "
                                    "server through another address\n",
                               endp->rname);
                return XCOMM_ERR_NEGOTIATE;
            }
            return 0;
        }
        ULOG_ERROR(SRC, "unexpected rpc_id recevied: %d\n", h->rpc_id);
        return XCOMM_ERR_NEGOTIATE;
    }
    // Reply to a reconnect.
    uint32_t my_last_sent = fd->next_send ? fd->next_send - 1 : 0;
    uint32_t my_last_recv = fd->next_recv ? fd->next_recv - 1 : 0;
    uint32_t peer_last_sent = h->seq_no ? h->seq_no - 1 : 0;
    uint32_t peer_last_recv = h->gen_no ? h->gen_no - 1 : 0;
    if (my_last_recv != peer_last_sent && peer_last_sent > my_last_recv)
        ULOG_INFO(SRC, "client missing %u msgs, seq_no(%u) thru (%u), server needs to resend\n",
                  peer_last_sent - my_last_recv, my_last_recv + 1, peer_last_sent);
    if (my_last_sent == peer_last_recv) {
        // Nothing written was lost; a message cut short keeps its number.
        return resend_walk(endp, fd, peer_last_recv, my_last_sent);
    }
    if (peer_last_recv < my_last_sent)
        ULOG_INFO(SRC, "server reports missing %u msgs, seq_no(%u) thru (%u), need to resend\n",
                  my_last_sent - peer_last_recv, peer_last_recv + 1, my_last_sent);
    return resend_walk(endp, fd, peer_last_recv, my_last_sent);
}

int server_connect(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, const xcomm_hdr *h)
{
    addr_text t;
    fd_addr_text(fd, &t);
    ULOG_DEBUG_IF(SRC, "%s: client requesting to connect, local: %s remote: %s, key=0x%x\n", endp->rname, t.local,
                  t.remote, h->sz_l);
    if (h->gen_no != 1)
        return XCOMM_ERR_NEGOTIATE;
    int peer = static_cast<int>(h->gen_no & 0xFF);
    if (peer < static_cast<int>(fd->version))
        fd->version = static_cast<uint8_t>(peer);
    endp->peer_version = h->gen_no;
    uint16_t rval = h->sz_l;
    uint16_t decision = XCOMM_NEG_PLAIN;
    if (rval & XCOMM_CAP_TLS) {
        if (h->rpc_id == XCOMM_NEG_TLS) {
            if (!(endp->tls_flags & XCOMM_TLS_CONFIGURED))
                return XCOMM_ERR_NEGOTIATE;
            decision = XCOMM_NEG_TLS;
        } else if (h->rpc_id == XCOMM_NEG_PLAIN) {
            decision = (endp->tls_flags & XCOMM_TLS_REQUIRED) ? XCOMM_NEG_TLS : XCOMM_NEG_PLAIN;
        } else {
            return XCOMM_ERR_NEGOTIATE;
        }
    }
    fd->reconnect.rpc_id = decision;
    fd->reconnect.object = object_handle(endp, fd);
    fd->reconnect.allowed = ((rval & XCOMM_CAP_RECONNECT) && endp->reconnect_timeout != 0 && !endp->adopted) ? 1 : 0;
    fd->reconnect.key = issue_key(endp);
    if (fd->reconnect.allowed && fd_alloc_sent_ring(fd) != 0)
        return XCOMM_ERR_NOMEM;
    fd->next_recv++;
    if (endp->accept_cb != nullptr) {
        int rc = endp->accept_cb(endp, fd);
        if (rc < 0) {
            ULOG_ERROR(SRC, "%s: endp->xcomm_accept_cb failed - [%d], local:%s remote:%s\n", endp->rname, rc, t.local,
                       t.remote);
            return XCOMM_ERR_NEGOTIATE;
        }
    }
    int rc = send_negotiate(ctx, endp, XCOMM_NEG_CONNECT, fd);
    if (rc != 0) {
        ULOG_ERROR(SRC, "%s: accept negotiation failed - [%d], local:%s remote:%s\n", endp->rname, rc, t.local,
                   t.remote);
        if (endp->close_cb != nullptr)
            endp->close_cb(endp, fd, XCOMM_ERR_DROPPED);
        return XCOMM_ERR_NEGOTIATE;
    }
    fd->state &= ~XCOMM_FD_ACCEPTED;
    fd->state |= XCOMM_FD_NEGOTIATED;
    fd_stamp(fd);
    if (decision == XCOMM_NEG_TLS && !is_loopback(fd->raddr))
        fd->receive_state = XCOMM_FD_SSL_ACCEPT;
    return 0;
}

int server_reconnect_negotiate(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, const xcomm_hdr *h, xcomm_fd **out)
{
    addr_text t;
    fd_addr_text(fd, &t);
    ULOG_INFO(SRC, "%s: client requesting re-connect, key=%d, seq_no=%d, gen_no=%d, local: %s remote: %s\n",
              endp->rname, h->sz_l, static_cast<int>(h->seq_no), static_cast<int>(h->gen_no), t.local, t.remote);
    endp->reconnect_count++;
    endp->stats.reconnects++;
    xcomm_fd *old = nullptr;
    for (int pass = 0; pass < 2 && old == nullptr; ++pass) {
        xcomm_fd *head = pass == 0 ? endp->active_fds.head : endp->reconnect_fds.head;
        for (xcomm_fd *o = head; o != nullptr; o = o->next) {
            if (o != fd && o != endp->listen_fd && (o->state & XCOMM_FD_NEGOTIATED) &&
                object_handle(endp, o) == h->tag && o->reconnect.key == h->sz_l &&
                o->laddr.sin_addr.s_addr == fd->laddr.sin_addr.s_addr && o->laddr.sin_port == fd->laddr.sin_port) {
                old = o;
                break;
            }
        }
    }
    if (old == nullptr || !old->reconnect.allowed || endp->adopted) {
        ULOG_ERROR(SRC, "%s: client reconnect failed, key=%d, local: %s remote: %s\n", endp->rname, h->sz_l, t.local,
                   t.remote);
        return XCOMM_ERR_NEGOTIATE;
    }
    ULOG_INFO(SRC, "%s: client to be reconnected, sock=%u, local: %s remote: %s\n", endp->rname,
              static_cast<unsigned>(fd->sock), t.local, t.remote);
    uint32_t client_last_recv = h->gen_no ? h->gen_no - 1 : 0;
    uint32_t last_sent = old->next_send ? old->next_send - 1 : 0;
    ULOG_INFO(SRC, "client reports last_recv seq_no(%u), server last_sent(%u), checking pending msgs(%u) for resend\n",
              client_last_recv, last_sent, static_cast<unsigned>(endp->pending.cnt));

    // The reply goes out on the new socket before the old record takes it over.
    uint32_t key = issue_key(endp);
    fd->reconnect.object = object_handle(endp, old);
    fd->reconnect.allowed = 1;
    fd->reconnect.key = key;
    fd->next_recv = old->next_recv;
    fd->next_send = old->next_send;
    int rc = send_negotiate(ctx, endp, XCOMM_NEG_RECONNECT, fd);
    if (rc != 0)
        return XCOMM_ERR_NEGOTIATE;
    for (xcomm_slot *s = endp->pending.head; s != nullptr; s = s->next)
        if (s->msg != nullptr && s->msg->fd == fd) {
            ULOG_ERROR(SRC, "%s: re-connect reply not written at once\n", endp->rname);
            return XCOMM_ERR_NEGOTIATE;
        }

    if (old->state & XCOMM_FD_RECONNECT) {
        dl_remove(endp->reconnect_fds, old);
        old->state &= ~XCOMM_FD_RECONNECT;
        old->state |= XCOMM_FD_ACTIVE;
        dl_push_back(endp->active_fds, old);
    } else {
        // The break has not been seen on this side yet: drop the stale socket.
        fd_close_socket(endp, old, TLS_CLOSE_QUIET);
        old->send_msg = nullptr;
        old->send_state = XCOMM_FD_INIT_HDR;
        fd_drop_partial_receive(endp, old);
    }
    old->reconnect.key = key;
    old->reconnect.cnt++;
    fd->reconnect.cnt = old->reconnect.cnt;
    rc = resend_walk(endp, old, client_last_recv, last_sent);
    if (rc != 0) {
        fd_shutdown(ctx, endp, old);
        return XCOMM_ERR_NEGOTIATE;
    }
    old->sock = fd->sock;
    old->ssl = fd->ssl;
    old->laddr = fd->laddr;
    old->lport = fd->lport;
    old->addrlen = fd->addrlen;
    old->raddr = fd->raddr;
    old->rport = fd->rport;
    memcpy(old->peek, fd->peek, static_cast<size_t>(fd->peek_bytes_available));
    old->peek_bytes_available = fd->peek_bytes_available;
    // A client whose connection ran in TLS starts a new handshake right after
    // this reply; the retransmissions wait for the new session.
    old->receive_state = (old->reconnect.rpc_id == XCOMM_NEG_TLS && !is_loopback(fd->raddr)) ? XCOMM_FD_SSL_ACCEPT
                                                                                             : XCOMM_FD_RECEIVE_HDR;
    old->ssl_want_write = 0;
    old->state = XCOMM_FD_ACTIVE | XCOMM_FD_NEGOTIATED;
    fd_stamp(old);
    fd->sock = -1;
    fd->ssl = nullptr;
    fd->peek_bytes_available = 0;
    fd_shutdown(ctx, endp, fd);  // the carrier record leaves; close_cb hears XCOMM_ERR_CLOSED
    *out = old;
    wake_waiters(endp);
    return 0;
}

int server_reconnect(xcomm_endp *endp, xcomm_fd *fd)
{
    if ((fd->state & XCOMM_FD_ACCEPTED) || !fd->reconnect.allowed || endp->adopted || !(fd->state & XCOMM_FD_ACTIVE))
        return XCOMM_ERR_FD;
    dl_remove(endp->active_fds, fd);
    fd->state &= ~XCOMM_FD_ACTIVE;
    fd->state |= XCOMM_FD_RECONNECT;
    dl_push_back(endp->reconnect_fds, fd);
    fd_stamp(fd);
    fd_close_socket(endp, fd, TLS_CLOSE_NOTIFY);
    if (fd->send_msg != nullptr) {
        xcomm_msg *m = fd->send_msg;
        ULOG_DEBUG_IF(SRC, "reset partial response, seq_no(%d),bytes_processed=%u, total_bytes=%u\n",
                      static_cast<int>(m->hdr.seq_no), m->bytes_processed, m->total_bytes);
        fd->send_msg = nullptr;
        fd->send_state = XCOMM_FD_INIT_HDR;
    }
    return fd_drop_partial_receive(endp, fd);
}

int client_reconnect(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd)
{
    if (!(endp->state & XCOMM_ENDP_INIT) || (endp->state & XCOMM_ENDP_LISTEN))
        return XCOMM_ERR_ENDP;
    ULOG_INFO(SRC, "attempting re-connect to: %s\n", endp->rname);
    fd->state |= XCOMM_FD_RECONNECTING;
    bool had_tls = fd->ssl != nullptr;
    if (had_tls)
        xcomm_ssl_shutdown(fd, TLS_CLOSE_QUIET);
    // The server sends whole messages again; a partial one here is dropped.
    fd_drop_partial_receive(endp, fd);
    fd->send_msg = nullptr;
    fd->send_state = XCOMM_FD_INIT_HDR;
    auto fail = [&](int rc) {
        fd->state &= ~XCOMM_FD_RECONNECTING;
        return rc;
    };
    if (fd->sock >= 0)
        xcomm_sock_close(fd->sock);
    fd->sock = socket(AF_INET, SOCK_STREAM | XCOMM_SOCK_CLOEXEC, IPPROTO_TCP);
    int one = 1;
    int rc = fd->sock < 0 ? XCOMM_ERR_SOCKET : 0;
    if (rc == 0 && setsockopt(fd->sock, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&one), sizeof one) != 0)
        rc = XCOMM_ERR_SOCKOPT;
    if (rc == 0)
        rc = apply_config_sockopts(endp, fd->sock);
    if (rc != 0) {
        ULOG_ERROR(SRC, "xcomm_client_resocket failed: rc=%d\n", rc);
        return fail(rc);
    }
    memset(&fd->laddr, 0, sizeof fd->laddr);
    fd->lport = 0;
    rc = connect_attempts(endp, fd, true);
    if (rc != 0)
        return fail(rc);
    read_local_addr(fd);
    ULOG_INFO(SRC, "%s: calling send_negotiate for re-connect, object:key=(0x%llx:%d)\n", endp->rname,
              static_cast<unsigned long long>(fd->reconnect.object), static_cast<int>(fd->reconnect.key));
    rc = send_negotiate(ctx, endp, XCOMM_NEG_RECONNECT, fd);
    if (rc != 0) {
        ULOG_ERROR(SRC, "%s: send_negotiate for re-connect failed - %d, key=%d\n", endp->rname, rc,
                   static_cast<int>(fd->reconnect.key));
        return fail(XCOMM_ERR_NEGOTIATE);
    }
    xcomm_fd *got = nullptr;
    rc = get_negotiate(endp, fd, endp->negotiate_wait_s, XCOMM_NEG_RECONNECT, &got);
    if (rc != 0) {
        ULOG_ERROR(SRC, "%s: get_negotiate for re-connect failed for (%s) - %d\n", endp->rname, endp->rname, rc);
        return fail(XCOMM_ERR_NEGOTIATE);
    }
    if (got != fd) {
        ULOG_ERROR(SRC, "%s: get_negotiate for re-connect unable to return fd for (%s) - %d\n", endp->rname,
                   endp->rname, rc);
        return fail(XCOMM_ERR_NEGOTIATE);
    }
    if (had_tls) {
        rc = xcomm_ssl_connect(endp, fd);
        if (rc != 0) {
            ULOG_ERROR(SRC, "%s: xcomm_ssl_connect failed: rc=%d\n", endp->rname, rc);
            return fail(rc);
        }
    }
    addr_text t;
    fd_addr_text(fd, &t);
    ULOG_INFO(SRC, "%s: successfully re-connected local: %s remote: %s\n", endp->rname, t.local, t.remote);
    fd->state = (fd->state & ~XCOMM_FD_RECONNECTING) | XCOMM_FD_CONNECTED;
    fd_stamp(fd);
    endp->reconnect_count++;
    endp->stats.reconnects++;
    endp->state |= XCOMM_ENDP_OPEN;
    return 0;
}

}  // namespace

int send_negotiate(xcomm_ctx *ctx, xcomm_endp *endp, int kind, xcomm_fd *fd)
{
    xcomm_hdr h;
    memset(&h, 0, sizeof h);
    h.type = XCOMM_MSG_NEGOTIATE;
    h.sz_u = static_cast<uint8_t>(kind);
    if (!is_server(endp)) {
        h.msg_id = 0xFFFF;
        h.seq_no = fd->next_send;
        switch (kind) {
        case XCOMM_NEG_CONNECT:
            h.sz_l = static_cast<uint16_t>((endp->reconnect_allowed ? XCOMM_CAP_RECONNECT : 0) |
                                           ((endp->tls_flags & XCOMM_TLS_CONFIGURED) ? XCOMM_CAP_TLS : 0));
            h.rpc_id = ((endp->tls_flags & XCOMM_TLS_REQUIRED) && !is_loopback(fd->laddr)) ? XCOMM_NEG_TLS
                                                                                           : XCOMM_NEG_PLAIN;
            h.gen_no = std::min<uint32_t>(fd->version, XCOMM_VERSION);
            if (h.rpc_id == XCOMM_NEG_TLS)
                ULOG_INFO(SRC, "%s: request SSL TLS be used\n", endp->rname);
            break;
        case XCOMM_NEG_RECONNECT:
            h.sz_l = static_cast<uint16_t>(fd->reconnect.key);
            h.rpc_id = fd->reconnect.rpc_id;
            h.gen_no = fd->next_recv;
            h.tag = fd->reconnect.object;
            break;
        case XCOMM_NEG_DISCONNECT:
            h.sz_l = 1;
            h.rpc_id = fd->reconnect.rpc_id;
            h.gen_no = fd->next_recv;
            break;
        default:
            return XCOMM_ERR_NEGOTIATE;
        }
        ULOG_INFO(SRC, "sending seq_no=%d, gen_no=%d, rpc_id=%d, tag(object)=0x%llx, sz_l(rval)=%d\n",
                  static_cast<int>(h.seq_no), static_cast<int>(h.gen_no), h.rpc_id,
                  static_cast<unsigned long long>(h.tag), h.sz_l);
        unsigned char buf[XCOMM_HDR_SIZE];
        xcomm_hdr_encode(&h, buf);
        if (write_all(endp, fd, buf, sizeof buf) != 0) {
            char text[256];
            int e = xcomm_errtext(0, text, sizeof text);
            ULOG_ERROR(SRC, "%s: xcomm_sendmsg - errno: %d, errmsg: %s\n", endp->rname, e, text);
            return XCOMM_ERR_SEND;
        }
        if (kind != XCOMM_NEG_RECONNECT)
            fd->next_send++;
        return 0;
    }
    // Server replies travel through the queue like any message.
    if (kind != XCOMM_NEG_CONNECT && kind != XCOMM_NEG_RECONNECT)
        return XCOMM_ERR_NEGOTIATE;
    xcomm_msg *m = xcomm_msg_alloc(0);
    if (m == nullptr)
        return XCOMM_ERR_NOMEM;
    m->hdr = h;
    m->hdr.sz_l = static_cast<uint16_t>(fd->reconnect.key);
    m->hdr.tag = fd->reconnect.object;
    if (kind == XCOMM_NEG_CONNECT) {
        m->hdr.rpc_id = (fd->reconnect.rpc_id == XCOMM_NEG_TLS && !is_loopback(fd->raddr)) ? XCOMM_NEG_TLS
                                                                                             : XCOMM_NEG_PLAIN;
        m->hdr.gen_no = std::min<uint32_t>(fd->version, XCOMM_VERSION);
    } else {
        m->hdr.rpc_id = fd->reconnect.rpc_id;
        m->hdr.gen_no = fd->next_recv;
    }
    int rc = queue_internal(endp, fd, m, false);
    if (rc != 0) {
        xcomm_msg_free(m);
        return rc;
    }
    ULOG_DEBUG_IF(SRC, "sending seq_no=%d, gen_no=%d, rpc_id=%d, tag(object)=0x%llx, sz_l(rval)=%d\n",
                  static_cast<int>(fd->next_send), static_cast<int>(m->hdr.gen_no), m->hdr.rpc_id,
                  static_cast<unsigned long long>(m->hdr.tag), m->hdr.sz_l);
    rc = send_handler(ctx, endp, fd);
    if (rc == 0 || rc == XCOMM_ERR_PARTIAL_WRITE)
        return 0;
    return rc;
}

int get_negotiate(xcomm_endp *endp, xcomm_fd *fd, int limit_s, int expect_kind, xcomm_fd **out)
{
    *out = nullptr;
    unsigned char buf[XCOMM_HDR_SIZE];
    size_t got = 0;
    int64_t deadline = limit_s >= 0 ? xcomm_monotime_ms() + static_cast<int64_t>(limit_s) * 1000 : 0;
    while (got < sizeof buf) {
        int wait_ms = -1;
        if (limit_s >= 0) {
            int64_t left = deadline - xcomm_monotime_ms();
            if (left <= 0) {
                ULOG_ERROR(SRC, "%s: no negotiate reply within %d seconds\n", endp->rname, limit_s);
                return XCOMM_ERR_RCV;
            }
            wait_ms = static_cast<int>(left);
        }
        xcomm_pollfd p = {fd->sock, POLLIN, 0};
        int n = xcomm_poll(&p, 1, wait_ms);
        if (n < 0) {
            if (xcomm_sock_error() == XCOMM_WSAEINTR)
                continue;
            return XCOMM_ERR_NOCONN;
        }
        if (n == 0)
            continue;
        struct iovec v = {buf + got, sizeof buf - got};
        int err = 0;
        long r = fd_read(endp, fd, &v, 1, &err);
        if (r < 0) {
            if (xcomm_would_block(err) || err == XCOMM_WSAEINTR)
                continue;
            char text[256];
            xcomm_errtext(err, text, sizeof text);
            ULOG_TRACE(SRC, 1, "%s: xcomm_recvmsg failed: %d:%s\n", endp->rname, err, text);
            return XCOMM_ERR_RCV;
        }
        if (r == 0) {
            if (got != 0)
                ULOG_ERROR(SRC, "%s: invalid hdr size received: %d\n", endp->rname, static_cast<int>(got));
            return XCOMM_ERR_CLOSED;
        }
        got += static_cast<size_t>(r);
    }
    xcomm_hdr h;
    xcomm_hdr_decode(buf, &h);
    return client_negotiate(endp, fd, &h, expect_kind, out);
}

int server_negotiate(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, const xcomm_hdr *h, xcomm_fd **reconnected)
{
    if (h->type != XCOMM_MSG_NEGOTIATE) {
        ULOG_ERROR(SRC, "%s: expected a negotiate, got type=%d\n", endp->rname, h->type);
        return XCOMM_ERR_NEGOTIATE;
    }
    int kind = h->sz_u;
    if (fd->state & XCOMM_FD_ACCEPTED) {
        if (kind == XCOMM_NEG_CONNECT)
            return server_connect(ctx, endp, fd, h);
        if (kind == XCOMM_NEG_RECONNECT)
            return server_reconnect_negotiate(ctx, endp, fd, h, reconnected);
    } else if (kind == XCOMM_NEG_DISCONNECT) {
        addr_text t;
        fd_addr_text(fd, &t);
        ULOG_DEBUG_IF(SRC, "%s: client requesting disconnect, local: %s remote: %s\n", endp->rname, t.local, t.remote);
        fd->reconnect.allowed = 0;
        fd->next_recv++;
        return 0;
    }
    ULOG_ERROR(SRC, "%s: %s negotiate out of place\n", endp->rname, kind_name(kind));
    return XCOMM_ERR_NEGOTIATE;
}

int fd_try_reconnect(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd)
{
    ULOG_DEBUG_IF(SRC, "%s: try reconnect, next_send=%u, next_recv=%u, allowed=%d\n", endp->rname, fd->next_send,
                  fd->next_recv, fd->reconnect.allowed);
    int rc;
    if (is_server(endp))
        rc = server_reconnect(endp, fd);
    else if (endp->reconnect_allowed && (fd->state & XCOMM_FD_CONNECTED) && fd->reconnect.allowed)
        rc = client_reconnect(ctx, endp, fd);
    else
        rc = XCOMM_ERR_FD;
    ULOG_DEBUG_IF(SRC, "%s: try reconnect rc=%d\n", endp->rname, rc);
    return rc;
}

}  // namespace xcomm_detail
