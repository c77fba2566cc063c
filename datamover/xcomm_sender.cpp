// The send handler of a connection: the queued messages gathered into one
// write vector, written, and retired by what the socket took; ACKs queued.
// Everything here runs with the endpoint lock held.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "datamover/xcomm_int.h"
#include "datamover/xcomm_ssl.h"

namespace xcomm_detail {

long fd_write(xcomm_endp *endp, xcomm_fd *fd, const struct iovec *iov, int cnt, int *err)
{
    if (fd->ssl != nullptr) {
        int r = xcomm_ssl_sendmsg(endp, fd, iov, cnt, 0, err);
        return r < 0 ? -1 : r;
    }
    long r = xcomm_sendmsg(fd->sock, iov, cnt);
    *err = r < 0 ? xcomm_sock_error() : 0;
    return r;
}

void record_sent(xcomm_fd *fd, const xcomm_msg *msg)
{
    if (fd->sent == nullptr)
        return;
    xcomm_sent_rec &r = fd->sent[msg->hdr.seq_no % XCOMM_SENT_RING];
    r.seq_no = msg->hdr.seq_no;
    r.type = msg->hdr.type;
    r.msg_id = msg->hdr.msg_id;
    r.tag = msg->hdr.tag;
}

int skip_vec(struct iovec *v, int cnt, size_t skip)
{
    int i = 0;
    while (i < cnt && skip > 0) {
        if (skip >= v[i].iov_len) {
            skip -= v[i].iov_len;
            v[i].iov_len = 0;
            ++i;
        } else {
            v[i].iov_base = static_cast<char *>(v[i].iov_base) + skip;
            v[i].iov_len -= skip;
            skip = 0;
        }
    }
    while (i < cnt && v[i].iov_len == 0)
        ++i;
    return i;
}

namespace {

// Entries of a write vector, and messages gathered into one write.
constexpr int SEND_VEC_CAP = 2 + 2 * XCOMM_MAX_SGL;
constexpr int SEND_UNIT_MSGS = XCOMM_GATHER_SIZE / XCOMM_HDR_SIZE;

// Write vector of a message: the encoded header, then its payload entries.
int build_send_vec(const xcomm_endp *endp, xcomm_fd *fd, xcomm_msg *m, struct iovec *v)
{
    int cnt = 0;
    v[cnt++] = iovec{fd->send_hdr, XCOMM_HDR_SIZE};
    int ents = m->hdr.type == XCOMM_MSG_NEGOTIATE || m->hdr.type == XCOMM_MSG_ACK ? 0 : m->sgl_ents;
    for (int i = 0; i < ents; ++i) {
        size_t len = m->sgl[i].iov_len;
        if (len == 0)
            continue;
        // Over TLS the first entry is split where the receiver's peek ends, so
        // that each of its two peek reads meets a record boundary.
        size_t split = static_cast<size_t>(endp->peek_sz - XCOMM_HDR_SIZE);
        if (fd->ssl != nullptr && cnt == 1 && split > 0 && len > split) {
            v[cnt++] = iovec{m->sgl[i].iov_base, split};
            v[cnt++] = iovec{static_cast<char *>(m->sgl[i].iov_base) + split, len - split};
            continue;
        }
        v[cnt++] = iovec{m->sgl[i].iov_base, len};
    }
    return cnt;
}

// While a server's TLS handshake is pending only its negotiate reply, which
// travels in clear ahead of it, may go out; everything else waits for the
// session.
bool may_send_now(const xcomm_fd *fd, const xcomm_msg *m)
{
    return fd->receive_state != XCOMM_FD_SSL_ACCEPT || (m->hdr.type == XCOMM_MSG_NEGOTIATE && fd->ssl == nullptr);
}

xcomm_slot *next_to_send(xcomm_endp *endp, xcomm_fd *fd)
{
    for (xcomm_slot *s = endp->pending.head; s != nullptr; s = s->next)
        if (s->msg != nullptr && s->msg->fd == fd && s->msg->bytes_processed < s->msg->total_bytes)
            return may_send_now(fd, s->msg) ? s : nullptr;
    return nullptr;
}

// A write: the message being written and the ones gathered behind it, in
// wire order, with the slots they had when it was built.
struct send_unit {
    xcomm_msg *msgs[SEND_UNIT_MSGS];
    xcomm_slot *slots[SEND_UNIT_MSGS];
    int cnt;
};

// A plain connection's write vector while it is built: headers and short
// payload entries are copied into the gather room, runs of them sharing one
// entry; longer payload entries get entries of their own.
struct vec_build {
    xcomm_fd *fd;
    struct iovec *v;
    int cnt;
    int cap;
    size_t room;  // gather bytes used
    int open;     // entry that ends in the gather room and may grow, or -1
};

unsigned char *vb_take(vec_build *b, size_t n)
{
    if (b->room + n > sizeof b->fd->gather)
        return nullptr;
    if (b->open < 0) {
        if (b->cnt == b->cap)
            return nullptr;
        b->open = b->cnt++;
        b->v[b->open] = iovec{b->fd->gather + b->room, 0};
    }
    unsigned char *p = b->fd->gather + b->room;
    b->v[b->open].iov_len += n;
    b->room += n;
    return p;
}

// Appends message m to the vector; false, with the vector as it was, when it
// does not fit.
bool vb_msg(vec_build *b, const xcomm_msg *m)
{
    const vec_build saved = *b;
    const size_t open_len = b->open >= 0 ? b->v[b->open].iov_len : 0;
    auto undo = [&]() {
        *b = saved;
        if (b->open >= 0)
            b->v[b->open].iov_len = open_len;
        return false;
    };
    unsigned char *h = vb_take(b, XCOMM_HDR_SIZE);
    if (h == nullptr)
        return undo();
    xcomm_hdr_encode(&m->hdr, h);
    int ents = m->hdr.type == XCOMM_MSG_NEGOTIATE || m->hdr.type == XCOMM_MSG_ACK ? 0 : m->sgl_ents;
    for (int i = 0; i < ents; ++i) {
        size_t len = m->sgl[i].iov_len;
        if (len == 0)
            continue;
        if (len <= XCOMM_GATHER_COPY) {
            unsigned char *p = vb_take(b, len);
            if (p == nullptr)
                return undo();
            memcpy(p, m->sgl[i].iov_base, len);
            continue;
        }
        if (b->cnt == b->cap)
            return undo();
        b->v[b->cnt++] = iovec{m->sgl[i].iov_base, len};
        b->open = -1;
    }
    return true;
}

// Write vector of a plain connection: the message being written, then as
// many of the fresh messages queued behind it on the connection as one
// gather write takes. Each of those gets its number here; the bytes are what
// writing them one by one would put on the wire.
int build_plain_unit(xcomm_fd *fd, send_unit *u, struct iovec *v)
{
    vec_build b = {fd, v, 0, SEND_VEC_CAP, 0, -1};
    xcomm_msg *m = u->msgs[0];
    bool ok = vb_msg(&b, m);
    XASSERT(ok);
    if (b.cnt > MAX_BUF_COUNT - 1 || m->retries != 0 || m->hdr.type == XCOMM_MSG_NEGOTIATE ||
        fd->receive_state == XCOMM_FD_SSL_ACCEPT || m->pmsg == nullptr)
        return b.cnt;
    b.cap = MAX_BUF_COUNT - 1;
    for (xcomm_slot *s = m->pmsg->next; s != nullptr && u->cnt < SEND_UNIT_MSGS; s = s->next) {
        xcomm_msg *f = s->msg;
        if (f == nullptr || f->fd != fd || f->bytes_processed >= f->total_bytes)
            continue;  // another connection's, or written and waiting for its answer
        if (f->bytes_processed != 0 || f->retries != 0 || f->hdr.type == XCOMM_MSG_NEGOTIATE)
            break;
        f->hdr.seq_no = u->msgs[u->cnt - 1]->hdr.seq_no + 1;
        if (!vb_msg(&b, f))
            break;
        u->msgs[u->cnt] = f;
        u->slots[u->cnt] = s;
        u->cnt++;
    }
    return b.cnt;
}

// A message fully on the wire: its number is used, and what becomes of it
// depends on its type. The message may be gone afterwards.
void msg_written(xcomm_endp *endp, xcomm_fd *fd, xcomm_msg *m)
{
    xcomm_slot *slot = m->pmsg;
    fd->next_send = m->hdr.seq_no + 1;
    if (m->hdr.type < 7)
        endp->stats.sent[m->hdr.type]++;
    switch (m->hdr.type) {
    case XCOMM_MSG_RSP:
        if (m->release_cb != nullptr)
            m->release_cb(endp, m);
        break;
    case XCOMM_MSG_ACK:
        record_sent(fd, m);
        release_slot(endp, slot);
        xcomm_msg_free(m);
        break;
    case XCOMM_MSG_DGRAM:
        // Nothing answers a datagram: it is done once written, and comes
        // back to its owner so the owner knows its buffers are free.
        record_sent(fd, m);
        release_slot(endp, slot);
        complete_msg(endp, m, XCOMM_MSG_DONE);
        break;
    case XCOMM_MSG_NEGOTIATE:
        release_slot(endp, slot);
        xcomm_msg_free(m);
        break;
    default:  // REQ and NOTIFY wait for their answer
        break;
    }
}

// Counts n bytes written against the unit's messages from message `done`
// on; those now whole are done with, and the first one left becomes the one
// being written. Returns the number of messages fully written.
int unit_written(xcomm_endp *endp, xcomm_fd *fd, send_unit *u, int done, size_t n)
{
    while (done < u->cnt && n > 0) {
        xcomm_msg *m = u->msgs[done];
        size_t take = std::min<size_t>(n, m->total_bytes - m->bytes_processed);
        m->bytes_processed += static_cast<uint32_t>(take);
        endp->stats.send_bytes += take;
        n -= take;
        if (m->bytes_processed < m->total_bytes)
            break;
        ++done;
        msg_written(endp, fd, m);
        if (done < u->cnt) {
            fd->send_msg = u->msgs[done];
            xcomm_hdr_encode(&fd->send_msg->hdr, fd->send_hdr);
        } else {
            fd->send_msg = nullptr;
            fd->send_state = XCOMM_FD_INIT_HDR;
        }
    }
    return done;
}

}  // namespace

int send_handler(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd)
{
    if (fd->sock < 0)
        return (fd->state & XCOMM_FD_RECONNECT) ? XCOMM_ERR_RECONNECT_PENDING : XCOMM_ERR_ENDP;
    int per_pass = std::max(1, endp->msgs_per_pass);
    for (int n = 0; n < per_pass;) {
        if (fd->send_state == XCOMM_FD_INIT_HDR) {
            xcomm_slot *s = next_to_send(endp, fd);
            if (s == nullptr)
                return 0;
            xcomm_msg *m = s->msg;
            if (m->retries != 0)
                ULOG_DEBUG_IF(SRC, "resending msg_p(%p), seq_no=%d\n", static_cast<void *>(m),
                              static_cast<int>(m->hdr.seq_no));
            else
                m->hdr.seq_no = fd->next_send;
            m->bytes_processed = 0;
            xcomm_hdr_encode(&m->hdr, fd->send_hdr);
            fd->send_state = XCOMM_FD_SEND_DATA;
            fd->send_msg = m;
        }
        send_unit u;
        u.msgs[0] = fd->send_msg;
        u.slots[0] = fd->send_msg->pmsg;
        u.cnt = 1;
        struct iovec v[SEND_VEC_CAP];
        int cnt = fd->ssl != nullptr ? build_send_vec(endp, fd, u.msgs[0], v) : build_plain_unit(fd, &u, v);
        int first = skip_vec(v, cnt, u.msgs[0]->bytes_processed);
        int done = 0;  // messages of the unit fully written
        bool reconnected = false;
        while (first < cnt) {
            xcomm_msg *m = u.msgs[done];
            // A session writes entry by entry and takes any number of them.
            int k = fd->ssl != nullptr ? cnt - first : std::min(cnt - first, MAX_BUF_COUNT - 1);
            size_t want = 0;
            for (int i = 0; i < k; ++i)
                want += v[first + i].iov_len;
            ULOG_TRACE(SRC, 2, "%s: calling xcomm_sendmsg, type=%d, msg_id=%d, rpc_id=%d, seq_no=%d\n", endp->rname,
                       m->hdr.type, m->hdr.msg_id, m->hdr.rpc_id, static_cast<int>(m->hdr.seq_no));
            int err = 0;
            long r = fd_write(endp, fd, v + first, k, &err);
            if (r < 0) {
                char text[256];
                xcomm_errtext(err, text, sizeof text);
                if (xcomm_would_block(err)) {
                    endp->stats.partial_writes++;
                    fd->write_blocked = fd->ssl == nullptr;
                    return XCOMM_ERR_PARTIAL_WRITE;
                }
                if (err == XCOMM_WSAEINTR || err == XCOMM_WSAENOBUFS) {
                    ULOG_ERROR(SRC, "xcomm_sendmsg failed: errno: %d, errmsg: %s\n", err, text);
                    return XCOMM_ERR_PARTIAL_WRITE;
                }
                ULOG_ERROR(SRC, "xcomm_sendmsg failed - errno: %d, errmsg: %s\n", err, text);
                int rr = fd_try_reconnect(ctx, endp, fd);
                if (rr != 0) {
                    endp->stats.send_errors++;
                    ULOG_ERROR(SRC, "%s: exiting: sock=%d rc=%d\n", endp->rname, fd->sock, rr);
                    return XCOMM_ERR_SEND;
                }
                if (is_server(endp))
                    return XCOMM_ERR_RECONNECT_PENDING;
                // Client back on a new socket: the reconnect has put whatever the
                // server lacks at the head of the queue, so start from there.
                if (fd->send_msg != nullptr && fd->send_msg != m) {
                    ULOG_ERROR(SRC, "send_msg(%p) changed, expected (%p)!\n", static_cast<void *>(fd->send_msg),
                               static_cast<void *>(m));
                    return XCOMM_ERR_ENDP;
                }
                if (m->pmsg != nullptr && m->pmsg != u.slots[done]) {
                    ULOG_ERROR(SRC, "pmsg(%p) changed, expected (%p)!\n", static_cast<void *>(m->pmsg),
                               static_cast<void *>(u.slots[done]));
                    return XCOMM_ERR_ENDP;
                }
                reconnected = true;
                break;
            }
            done = unit_written(endp, fd, &u, done, static_cast<size_t>(r));
            first = skip_vec(v, cnt, static_cast<size_t>(r));
            if (static_cast<size_t>(r) < want) {
                endp->stats.partial_writes++;
                fd->write_blocked = fd->ssl == nullptr;
                return XCOMM_ERR_PARTIAL_WRITE;
            }
        }
        if (reconnected) {
            fd->send_msg = nullptr;
            fd->send_state = XCOMM_FD_INIT_HDR;
            continue;
        }
        ++n;
    }
    // The pass limit is reached: more to write only if anything is left.
    return fd->send_state != XCOMM_FD_INIT_HDR || next_to_send(endp, fd) != nullptr ? XCOMM_ERR_PARTIAL_WRITE : 0;
}

int send_ack(xcomm_endp *endp, xcomm_msg *msg)
{
    if (msg->fd == nullptr) {
        ULOG_ERROR(SRC, "%s: msg->fd is NULL!\n", endp->rname);
        return XCOMM_ERR_SEND;
    }
    xcomm_msg *ack = xcomm_msg_alloc(0);
    if (ack == nullptr || queue_internal(endp, msg->fd, ack, true) != 0) {
        if (ack != nullptr)
            xcomm_msg_free(ack);
        ULOG_ERROR(SRC, "%s: xcomm_insert_pending_ack failed\n", endp->rname);
        return XCOMM_ERR_SEND;
    }
    ack->hdr.type = XCOMM_MSG_ACK;
    ack->hdr.msg_id = msg->hdr.msg_id;
    ack->hdr.tag = msg->hdr.tag;
    // Deferred, it goes with the next write on the connection, at the latest
    // before the next wait blocks.
    if (endp->defer_acks || msg->fd->write_blocked)
        return 0;
    int rc = send_handler(endp->ctx, endp, msg->fd);
    if (rc == 0 || rc == XCOMM_ERR_PARTIAL_WRITE || rc == XCOMM_ERR_RECONNECT_PENDING)
        return 0;
    char text[256];
    int e = xcomm_errtext(0, text, sizeof text);
    ULOG_ERROR(SRC, "%s: sendmsg - errno: %d, errmsg: %s\n", endp->rname, e, text);
    return XCOMM_ERR_SEND;
}
}  // namespace xcomm_detail
