// Listener and per-connection threads of the appliance. Each accepted socket
// is served by its own thread through an XCOMM endpoint that adopts it, so
// channels never wait for one another. DM write data is received straight
// into buffers of a per-connection pool and written to the file from there;
// read data is read from the file into such a buffer and sent from it with a
// gather write.
//
// Threads stay few however many connections a client opens: a data-mover
// connection is accepted only when a logged-in control session of its
// address asked for the port (appl_auth.h), and control connections that wait
// to log in are limited per address and in total, the oldest giving way to a
// newcomer, and closed at the login deadline (admission.h).
#include "appliance/server.h"

#include "datamover/byteorder.h"
#include "datamover/xcomm.h"
#include "datamover/xcomm_ssl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int APPL_MAX_CONNS = 512;      // connections per service
constexpr int APPL_CONN_SLOTS = 512;     // outstanding replies per connection
// Data buffers of a DM connection: as many as fit this many bytes, at least
// two (one filling while the other is on the wire). They are mapped and
// unmapped whole, so a connection that goes idle gives its memory back.
constexpr size_t APPL_POOL_BYTES = 3u << 20;
constexpr size_t APPL_POOL_MIN = 2;
constexpr int APPL_WAIT_MS = 100;        // how often an idle connection looks at the stop flag


}  // namespace

struct appl_server {
    appl_shared *sh = nullptr;
    appl_service_kind kind = APPL_SVC_MI;
    appl_acceptor acc;
};

namespace {

// ---------------------------------------------------------------- connection

struct appl_conn {
    appl_server *srv = nullptr;
    appl_shared *sh = nullptr;
    appl_service_kind kind = APPL_SVC_MI;
    std::shared_ptr<adm_conn> adm;
    bool logged_in = false;
    xcomm_ctx ctx{};
    xcomm_endp endp{};
    mi_session *mi = nullptr;
    dm_session *dm = nullptr;
    bool closed = false;
    uint64_t nmsgs = 0;
    uint64_t nbytes = 0;
    // data buffer pool (DM)
    uint32_t buf_size = 0;
    std::vector<unsigned char *> free_bufs;
    std::vector<unsigned char *> all_bufs;
};

// A line about a client address, at most one per address every few seconds
// (a flood of connections must not flood the log as well).
void __attribute__((format(printf, 5, 6)))
addr_log(appl_shared *sh, uint32_t peer, adm_log_kind kind, int level, const char *fmt, ...)
{
    if (!appl_log_on(sh->log, level))
        return;
    unsigned quiet = 0;
    if (!adm_may_log(&sh->adm, peer, kind, appl_now_ms(), &quiet))
        return;
    char text[768];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (quiet != 0)
        appl_log_write(sh->log, level, "%s (%u more such events from %s since the last line)", text, quiet,
                       appl_addr_text(peer).c_str());
    else
        appl_log_write(sh->log, level, "%s", text);
}

size_t pool_buf_bytes(const appl_conn *c) { return (size_t(c->buf_size) + 4095) & ~size_t(4095); }

size_t pool_max(const appl_conn *c)
{
    return std::max(APPL_POOL_MIN, APPL_POOL_BYTES / std::max<size_t>(1, pool_buf_bytes(c)));
}

unsigned char *pool_get(appl_conn *c)
{
    if (!c->free_bufs.empty()) {
        unsigned char *b = c->free_bufs.back();
        c->free_bufs.pop_back();
        return b;
    }
    if (c->all_bufs.size() >= pool_max(c))
        return nullptr;
    void *b = mmap(nullptr, pool_buf_bytes(c), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (b == MAP_FAILED)
        return nullptr;
    c->all_bufs.push_back(static_cast<unsigned char *>(b));
    return static_cast<unsigned char *>(b);
}

void pool_put(appl_conn *c, unsigned char *b)
{
    if (b != nullptr)
        c->free_bufs.push_back(b);
}

// Unmaps the buffers nobody uses (an idle connection, or its end).
void pool_trim(appl_conn *c)
{
    for (unsigned char *b : c->free_bufs) {
        munmap(b, pool_buf_bytes(c));
        c->all_bufs.erase(std::find(c->all_bufs.begin(), c->all_bufs.end(), b));
    }
    c->free_bufs.clear();
}

// A buffer for read data: while every one is on the wire, lets the replies
// holding them go out first. Null when the connection ends meanwhile.
unsigned char *pool_wait(appl_conn *c)
{
    for (;;) {
        unsigned char *b = pool_get(c);
        if (b != nullptr || c->closed || c->srv->acc.stopping.load())
            return b;
        struct timeval tv = {0, 20000};
        int src = xcomm_select(&c->ctx, &c->endp, &tv);
        if (src < 0 && src != XCOMM_ERR_TIMEOUT)
            return nullptr;
    }
}

// Release callback of messages whose second entry is a pool buffer; called
// once the reply is written or the message is dropped, possibly more than once.
int release_pool_buf(xcomm_endp *endp, xcomm_msg *msg)
{
    auto *c = static_cast<appl_conn *>(endp->owner);
    if (msg->ctx != nullptr) {
        pool_put(c, static_cast<unsigned char *>(msg->ctx));
        msg->ctx = nullptr;
        msg->flag |= XCOMM_MSG_BUFS_RELEASED;
    }
    return 0;
}

void free_msg(appl_conn *c, xcomm_msg *m)
{
    if (m == nullptr)
        return;
    release_pool_buf(&c->endp, m);
    xcomm_msg_free(m);
}

void on_close(xcomm_endp *endp, xcomm_fd *, int)
{
    static_cast<appl_conn *>(endp->owner)->closed = true;
}

const char *service_name(const appl_conn *c) { return c->kind == APPL_SVC_MI ? "control" : "data-mover"; }

// A negotiated connection is served unless TLS is required and the client,
// on another address than 127.0.0.1, cannot use it.
int on_negotiated(xcomm_endp *endp, xcomm_fd *fd)
{
    auto *c = static_cast<appl_conn *>(endp->owner);
    bool loopback = ntohl(fd->raddr.sin_addr.s_addr) == INADDR_LOOPBACK;
    if (!c->sh->cfg.tls_required || loopback || fd->reconnect.rpc_id == XCOMM_NEG_TLS)
        return 0;
    addr_log(c->sh, c->adm->peer, ADM_LOG_REFUSED, APPL_LOG_WARNING,
             "%s connection from %s refused: the client cannot use TLS, which --tls-required demands",
             service_name(c), appl_addr_text(c->adm->peer).c_str());
    return -1;
}

// The end of a connection's TLS handshake, for the log.
void on_tls(xcomm_endp *endp, xcomm_fd *, int rc, const char *text)
{
    auto *c = static_cast<appl_conn *>(endp->owner);
    if (rc == 0)
        ALOG(c->sh->log, APPL_LOG_INFO, "TLS handshake with %s on the %s connection: %s",
             appl_addr_text(c->adm->peer).c_str(), service_name(c), text);
    else
        addr_log(c->sh, c->adm->peer, ADM_LOG_REFUSED, APPL_LOG_WARNING,
                 "TLS handshake with %s on the %s connection failed: %s", appl_addr_text(c->adm->peer).c_str(),
                 service_name(c), text);
}

// Messages the client may send: requests and acknowledgements.
xcomm_msg *alloc_cb(xcomm_endp *endp, xcomm_fd *fd, const unsigned char *peek)
{
    auto *c = static_cast<appl_conn *>(endp->owner);
    xcomm_hdr h;
    xcomm_hdr_decode(peek, &h);
    uint32_t size = xcomm_hdr_get_size(&h);
    if (h.type == XCOMM_MSG_ACK) {
        // A client that writes its acknowledgement of our reply on its own,
        // and its next request after it, has that request held back by
        // Nagle's algorithm until TCP acknowledges the first write: answer
        // such a lone acknowledgement's segment at once. One that came with
        // more behind it (a client gathering both into one write) needs
        // nothing, which spares a system call per exchange.
        if (fd->peek_bytes_available <= XCOMM_HDR_SIZE) {
            int one = 1;
            setsockopt(fd->sock, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
        return size == 0 ? xcomm_msg_alloc(0) : nullptr;
    }
    if (h.type != XCOMM_MSG_REQ) {
        ALOG(c->sh->log, APPL_LOG_WARNING, "unexpected message type %d, dropping the connection", h.type);
        return nullptr;
    }
    if (c->kind == APPL_SVC_MI) {
        if (size != APPL_MI_RECORD || fd->peek_bytes_available < XCOMM_HDR_SIZE + 1 ||
            peek[XCOMM_HDR_SIZE] != OST_MI_REC_REQUEST) {
            ALOG(c->sh->log, APPL_LOG_WARNING, "bad control request (size %u), dropping the connection", size);
            return nullptr;
        }
        return xcomm_msg_alloc(size);
    }
    if (size < APPL_DM_HDR || fd->peek_bytes_available < int(XCOMM_HDR_SIZE + APPL_DM_HDR)) {
        ALOG(c->sh->log, APPL_LOG_WARNING, "short data-mover request (size %u), dropping the connection", size);
        return nullptr;
    }
    uint8_t cmd = peek[XCOMM_HDR_SIZE];
    if (cmd == DM_CMD_WRITE && size > APPL_DM_HDR) {
        uint32_t dlen = size - uint32_t(APPL_DM_HDR);
        if (dlen > c->buf_size) {
            ALOG(c->sh->log, APPL_LOG_WARNING, "write of %u bytes exceeds %u, dropping the connection", dlen,
                 c->buf_size);
            return nullptr;
        }
        unsigned char *buf = pool_get(c);
        if (buf == nullptr) {
            fd->state |= XCOMM_FD_THROTTLED;  // try again once a buffer is back
            return nullptr;
        }
        xcomm_msg *m = xcomm_msg_alloc(uint32_t(APPL_DM_HDR));
        if (m == nullptr) {
            pool_put(c, buf);
            return nullptr;
        }
        m->sgl[1].iov_base = buf;
        m->sgl[1].iov_len = dlen;
        m->sgl_ents = 2;
        m->ctx = buf;
        m->release_cb = release_pool_buf;
        return m;
    }
    if (size > APPL_DM_HDR + APPL_DM_MAX_CTRL) {
        ALOG(c->sh->log, APPL_LOG_WARNING, "data-mover request of %u bytes refused, dropping the connection", size);
        return nullptr;
    }
    return xcomm_msg_alloc(size);
}

// Counts a request against the failure-injection limits; true when the
// connection is to be dropped now.
bool fault_drop(appl_conn *c, uint32_t payload)
{
    const appliance_config &cfg = c->sh->cfg;
    unsigned which = c->kind == APPL_SVC_MI ? APPL_FAULT_MI : APPL_FAULT_DM;
    c->nmsgs++;
    c->nbytes += payload;
    if ((cfg.fault_conns & which) == 0)
        return false;
    if (cfg.drop_after_msgs != 0 && c->nmsgs >= cfg.drop_after_msgs)
        return true;
    if (cfg.drop_after_bytes != 0 && c->nbytes >= cfg.drop_after_bytes)
        return true;
    return false;
}

// True when the connection is to end: the service stops, the admission
// table pushed it out, or it waits to log in past the deadline.
bool must_close(appl_conn *c)
{
    if (c->srv->acc.stopping.load())
        return true;
    if (c->adm->pushed_out.load())
        return true;  // the admission said why
    if (c->kind == APPL_SVC_MI && !c->logged_in &&
        appl_now_ms() - c->adm->since_ms >= uint64_t(c->sh->cfg.login_timeout_s) * 1000) {
        addr_log(c->sh, c->adm->peer, ADM_LOG_DEADLINE, APPL_LOG_NOTICE,
                 "closing a control connection from %s: no login within %u s (--login-timeout)",
                 appl_addr_text(c->adm->peer).c_str(), unsigned(c->sh->cfg.login_timeout_s));
        return true;
    }
    return false;
}

// Holds a reply back for ms (failed logins from the address), in steps that
// notice a stop.
void hold_reply(appl_conn *c, uint32_t ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!c->srv->acc.stopping.load() && !c->adm->pushed_out.load()) {
        auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            left, std::chrono::milliseconds(APPL_WAIT_MS)));
    }
}

// Queues a reply; while every slot is taken, lets acknowledgements come in.
int send_reply(appl_conn *c, xcomm_msg *r)
{
    if (c->sh->cfg.delay_ms != 0)
        usleep(useconds_t(c->sh->cfg.delay_ms) * 1000);
    for (;;) {
        int rc = xcomm_send_msg(&c->ctx, &c->endp, r);
        if (rc != XCOMM_ERR_BUSY)
            return rc;
        struct timeval tv = {0, 20000};
        int src = xcomm_select(&c->ctx, &c->endp, &tv);
        if (c->closed || c->srv->acc.stopping.load() || (src < 0 && src != XCOMM_ERR_TIMEOUT))
            return rc;
    }
}

void handle_request(appl_conn *c, xcomm_msg *m)
{
    xcomm_fd *fd = m->fd;
    uint32_t payload = xcomm_hdr_get_size(&m->hdr);
    if (fault_drop(c, payload)) {
        ALOG(c->sh->log, APPL_LOG_NOTICE, "dropping the connection after %llu requests, %llu bytes (test switch)",
             (unsigned long long)c->nmsgs, (unsigned long long)c->nbytes);
        free_msg(c, m);
        xcomm_endp_close_fd(&c->ctx, &c->endp, fd);
        return;
    }
    xcomm_msg *r = nullptr;
    bool drop = false;
    if (c->kind == APPL_SVC_MI) {
        r = xcomm_msg_alloc(uint32_t(APPL_MI_RECORD));
        if (r != nullptr) {
            drop = mi_session_handle(c->mi, static_cast<const unsigned char *>(m->sgl[0].iov_base),
                                     m->sgl[0].iov_len, xcomm_msg_data(r)) != 0;
            if (!c->logged_in && mi_session_authenticated(c->mi)) {
                c->logged_in = true;
                adm_logged_in(&c->sh->adm, c->adm.get());
            }
            hold_reply(c, mi_session_reply_delay_ms(c->mi));
        }
    } else {
        const auto *head = static_cast<const unsigned char *>(m->sgl[0].iov_base);
        size_t head_len = m->sgl[0].iov_len;
        const unsigned char *data = nullptr;
        size_t data_len = 0;
        if (m->sgl_ents > 1) {
            data = static_cast<const unsigned char *>(m->sgl[1].iov_base);
            data_len = m->sgl[1].iov_len;
        }
        unsigned char *rbuf = nullptr;
        size_t rcap = 0;
        unsigned char *pool_buf = nullptr;
        if (head_len >= APPL_DM_HDR && head[0] == DM_CMD_READ) {
            // Memory stays bounded: with every buffer on the wire the read
            // waits for one rather than taking more.
            pool_buf = pool_wait(c);
            if (pool_buf != nullptr) {
                rbuf = pool_buf;
                rcap = c->buf_size;
            }
        }
        dm_reply rep;
        drop = dm_session_handle(c->dm, head, head_len, data, data_len, rbuf, rcap, &rep) != 0;
        if (!drop && rep.data_len != 0 && rep.data != pool_buf && rep.data != rbuf) {
            // small data kept by the session (an attribute value): the reply
            // may still be on its way when the next request reuses it, so it
            // travels in a copy
            r = xcomm_msg_alloc(rep.head_len + rep.data_len);
            if (r != nullptr) {
                memcpy(xcomm_msg_data(r), rep.head, rep.head_len);
                memcpy(xcomm_msg_data(r) + rep.head_len, rep.data, rep.data_len);
            }
        } else if (!drop) {
            r = xcomm_msg_alloc(uint32_t(sizeof(dm_reply::head)));
            if (r != nullptr) {
                memcpy(xcomm_msg_data(r), rep.head, rep.head_len);
                r->sgl[0].iov_len = rep.head_len;
                r->sgl_ents = 1;
                if (rep.data_len != 0) {
                    r->sgl[1].iov_base = const_cast<unsigned char *>(rep.data);
                    r->sgl[1].iov_len = rep.data_len;
                    r->sgl_ents = 2;
                    if (rep.data == pool_buf) {
                        r->ctx = pool_buf;
                        r->release_cb = release_pool_buf;
                        pool_buf = nullptr;
                    }
                }
            }
        }
        pool_put(c, pool_buf);
    }
    uint16_t rpc_id = m->hdr.rpc_id;
    free_msg(c, m);
    if (drop || r == nullptr) {
        if (drop)
            ALOG(c->sh->log, APPL_LOG_WARNING, "malformed request, dropping the connection");
        free_msg(c, r);
        xcomm_endp_close_fd(&c->ctx, &c->endp, fd);
        return;
    }
    r->hdr.type = XCOMM_MSG_RSP;
    r->hdr.rpc_id = rpc_id;
    r->fd = fd;
    int rc = send_reply(c, r);
    if (rc != 0) {
        ALOG(c->sh->log, APPL_LOG_DEBUG, "reply not sent (%d)", rc);
        free_msg(c, r);
        if (!c->closed)
            xcomm_endp_close_fd(&c->ctx, &c->endp, fd);
    }
}

void conn_main(appl_conn *c, int sock)
{
    appl_shared *sh = c->sh;
    int rc = xcomm_ctx_init(&c->ctx);
    if (rc == 0)
        rc = xcomm_endp_init(&c->ctx, &c->endp, "", 1, APPL_CONN_SLOTS, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS);
    if (rc != 0) {
        ALOG(sh->log, APPL_LOG_ERROR, "cannot set up a connection endpoint (%d)", rc);
        close(sock);
        if (c->ctx.lock != nullptr)
            xcomm_ctx_shutdown(&c->ctx);
        return;
    }
    // A control connection carries one request at a time; a data-mover
    // connection streams them.
    const xcomm_endp_owner own = {
        .owner = c,
        .alloc_cb = alloc_cb,
        .accept_cb = on_negotiated,
        .close_cb = on_close,
        .peek_sz = c->kind == APPL_SVC_MI ? OST_MI_PEEK_SIZE : XCOMM_HDR_SIZE + int(APPL_DM_HDR),
        .msgs_per_pass = c->kind == APPL_SVC_MI ? 1 : XCOMM_MSGS_PER_PASS,
        .tls_cb = on_tls,
    };
    rc = xcomm_endp_set_owner(&c->endp, &own);
    if (rc == 0 && sh->tls_ctx != nullptr)
        rc = xcomm_ssl_use_ctx(&c->endp, sh->tls_ctx, sh->cfg.tls_required ? 1 : 0);
    if (rc == 0)
        rc = xcomm_endp_adopt_server(&c->ctx, &c->endp, sock);
    else
        close(sock);
    if (rc != 0) {
        ALOG(sh->log, APPL_LOG_WARNING, "cannot serve an accepted connection (%d)", rc);
        xcomm_ctx_shutdown(&c->ctx);
        return;
    }
    while (!c->closed && !must_close(c)) {
        xcomm_msg *m = nullptr;
        struct timeval tv = {0, APPL_WAIT_MS * 1000};
        rc = xcomm_endp_wait(&c->ctx, &c->endp, &m, &tv, XCOMM_WAIT_INCOMING);
        if (rc == XCOMM_ERR_TIMEOUT) {
            pool_trim(c);  // idle: the data buffers go back to the system
            continue;
        }
        if (rc < 0)
            break;
        if (m == nullptr)
            continue;
        if (m->hdr.type == XCOMM_MSG_REQ && m->status == XCOMM_MSG_DONE && !c->closed)
            handle_request(c, m);
        else
            free_msg(c, m);  // an acknowledged or cancelled reply, or a stray message
    }
    // Close the connection first, so that replies still in flight come back
    // cancelled, then collect whatever completed and take the endpoint down.
    xcomm_endp_close_all(&c->ctx, &c->endp);
    for (;;) {
        xcomm_msg *m = nullptr;
        if (xcomm_endp_wait(&c->ctx, &c->endp, &m, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING) != 0 || m == nullptr)
            break;
        free_msg(c, m);
    }
    xcomm_ctx_shutdown(&c->ctx);
}

void conn_thread(appl_server *srv, int sock, std::shared_ptr<std::atomic<bool>> done, std::shared_ptr<adm_conn> adm,
                 std::shared_ptr<const appl_login> login)
{
    auto *c = new appl_conn;
    c->srv = srv;
    c->sh = srv->sh;
    c->kind = srv->kind;
    c->adm = std::move(adm);
    if (c->kind == APPL_SVC_MI) {
        c->mi = mi_session_new(srv->sh, c->adm->peer);
    } else {
        c->dm = dm_session_new(srv->sh, std::move(login));
        c->buf_size = dm_session_max_io(c->dm);
    }
    conn_main(c, sock);
    adm_leave(&srv->sh->adm, c->adm.get());
    if (c->mi != nullptr)
        mi_session_free(c->mi);
    if (c->dm != nullptr)
        dm_session_free(c->dm);
    for (unsigned char *b : c->all_bufs)
        munmap(b, pool_buf_bytes(c));
    delete c;
    done->store(true);
}

// Decides whether an accepted connection from peer is served: the data
// mover needs a claim of a logged-in session of its address, and both
// services the room admission.h describes. Returns false (logged) to close it.
bool admit(appl_server *srv, uint32_t peer, std::shared_ptr<adm_conn> *adm, std::shared_ptr<const appl_login> *login)
{
    appl_shared *sh = srv->sh;
    std::string addr = appl_addr_text(peer);
    uint64_t now = appl_now_ms();
    if (srv->kind == APPL_SVC_DM) {
        *login = appl_auth_dm_bind(&sh->auth, peer, now);
        if (*login == nullptr) {
            addr_log(sh, peer, ADM_LOG_REFUSED, APPL_LOG_WARNING,
                     "data-mover connection from %s refused: no logged-in control session of that address "
                     "asked for the data-mover port in the last %u s",
                     addr.c_str(), unsigned(APPL_DM_CLAIM_MS / 1000));
            return false;
        }
    }
    auto c = std::make_shared<adm_conn>();
    c->peer = peer;
    c->since_ms = now;
    adm_note note;
    if (!adm_admit(&sh->adm, c, srv->kind == APPL_SVC_MI, &note)) {
        addr_log(sh, peer, ADM_LOG_REFUSED, APPL_LOG_WARNING,
                 "connection from %s refused: it holds %u logged-in connections, the limit "
                 "(--max-conns-per-addr)",
                 addr.c_str(), note.in);
        return false;
    }
    if (note.pushed_addr != 0)
        addr_log(sh, peer, ADM_LOG_PUSHED, APPL_LOG_NOTICE,
                 "%s opens more connections than the %u that may wait to log in (--max-pending-per-addr); "
                 "the oldest of them give way",
                 addr.c_str(), sh->adm.lim.max_waiting);
    if (note.pushed_other != 0)
        addr_log(sh, peer, ADM_LOG_PUSHED, APPL_LOG_NOTICE,
                 "%u connections wait to log in, the limit of all addresses together; the oldest give way",
                 sh->adm.lim.max_waiting_total);
    *adm = std::move(c);
    return true;
}

void accept_loop(appl_server *srv)
{
    const char *what = srv->kind == APPL_SVC_MI ? "control" : "data-mover";
    uint64_t short_logged = 0;
    for (;;) {
        struct sockaddr_in sa {};
        int s = appl_acceptor_next(&srv->acc, &sa);
        if (s == APPL_ACCEPT_STOP)
            break;
        if (s < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The connection stays queued; try again once something closed.
                uint64_t now = appl_now_ms();
                if (now - short_logged >= ADM_LOG_EVERY_MS) {
                    ALOG(srv->sh->log, APPL_LOG_ERROR, "cannot accept %s connections: %s", what, strerror(errno));
                    short_logged = now;
                }
                usleep(APPL_WAIT_MS * 1000);
            }
            continue;
        }
        uint32_t peer = sa.sin_family == AF_INET ? ntohl(sa.sin_addr.s_addr) : 0;
        // Connections pushed out of the waiting room end within one wait step
        // of their threads; under a flood give them that time before refusing.
        for (int i = 0; i < 4 && srv->acc.conns.size() >= size_t(APPL_MAX_CONNS); ++i) {
            usleep(APPL_WAIT_MS * 1000 / 2);
            appl_reap(&srv->acc.conns, false);
        }
        if (srv->acc.conns.size() >= size_t(APPL_MAX_CONNS)) {
            addr_log(srv->sh, peer, ADM_LOG_REFUSED, APPL_LOG_WARNING,
                     "too many %s connections (%d), refusing one from %s", what, APPL_MAX_CONNS,
                     appl_addr_text(peer).c_str());
            close(s);
            continue;
        }
        std::shared_ptr<adm_conn> adm;
        std::shared_ptr<const appl_login> login;
        if (!admit(srv, peer, &adm, &login)) {
            close(s);
            continue;
        }
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
            srv->acc.conns.push_back(appl_conn_thread{std::thread(conn_thread, srv, s, done, adm, login), done});
        } catch (...) {
            ALOG(srv->sh->log, APPL_LOG_ERROR, "cannot start a thread for a %s connection", what);
            adm_leave(&srv->sh->adm, adm.get());
            close(s);
        }
    }
}

int resolve_ipv4(const std::string &addr, struct in_addr *out)
{
    if (inet_pton(AF_INET, addr.c_str(), out) == 1)
        return 0;
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(addr.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
        return -1;
    *out = reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return 0;
}

}  // namespace

void appl_reap(std::list<appl_conn_thread> *conns, bool all)
{
    for (auto it = conns->begin(); it != conns->end();) {
        if (all || it->done->load()) {
            it->thr.join();
            it = conns->erase(it);
        } else {
            ++it;
        }
    }
}

int appl_listen(const std::string &addr, uint16_t port, const char *what, int *lfd_out, uint16_t *bound_port,
                std::string *msg)
{
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (resolve_ipv4(addr, &sa.sin_addr) != 0) {
        *msg = "cannot resolve listen address '" + addr + "'";
        return -1;
    }
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lfd < 0) {
        *msg = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(lfd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        int e = errno;
        char text[256];
        if (e == EADDRINUSE)
            snprintf(text, sizeof text, "%s port %u on %s is busy (is another appliance running there?)", what,
                     unsigned(port), addr.c_str());
        else if (e == EADDRNOTAVAIL)
            snprintf(text, sizeof text, "listen address %s is not an address of this machine", addr.c_str());
        else
            snprintf(text, sizeof text, "cannot bind %s port %u on %s: %s", what, unsigned(port), addr.c_str(),
                     strerror(e));
        *msg = text;
        close(lfd);
        return -1;
    }
    if (listen(lfd, 128) != 0) {
        *msg = std::string("listen: ") + strerror(errno);
        close(lfd);
        return -1;
    }
    struct sockaddr_in bound {};
    socklen_t blen = sizeof bound;
    getsockname(lfd, reinterpret_cast<struct sockaddr *>(&bound), &blen);
    *lfd_out = lfd;
    *bound_port = ntohs(bound.sin_port);
    return 0;
}

int appl_server_start(appl_shared *sh, appl_service_kind kind, const std::string &addr, uint16_t port,
                      appl_server **out, std::string *msg)
{
    *out = nullptr;
    const char *what = kind == APPL_SVC_MI ? "control (MI)" : "data-mover (DM)";
    auto *srv = new appl_server;
    srv->sh = sh;
    srv->kind = kind;
    if (appl_acceptor_open(&srv->acc, addr, port, what, msg) != 0) {
        appl_server_stop(srv);
        return -1;
    }
    srv->acc.thread = std::thread(accept_loop, srv);
    ALOG(sh->log, APPL_LOG_INFO, "%s service listening on %u@%s", what, unsigned(srv->acc.port), addr.c_str());
    *out = srv;
    return 0;
}

uint16_t appl_server_port(const appl_server *srv) { return srv->acc.port; }

void appl_server_stop(appl_server *srv)
{
    if (srv == nullptr)
        return;
    appl_acceptor_stop(&srv->acc);
    delete srv;
}

int appl_acceptor_open(appl_acceptor *a, const std::string &addr, uint16_t port, const char *what,
                       std::string *msg)
{
    if (pipe2(a->stop_pipe, O_CLOEXEC) != 0) {
        *msg = std::string("pipe: ") + strerror(errno);
        return -1;
    }
    return appl_listen(addr, port, what, &a->lfd, &a->port, msg);
}

int appl_acceptor_next(appl_acceptor *a, struct sockaddr_in *peer)
{
    struct pollfd pfd[2] = {{a->lfd, POLLIN, 0}, {a->stop_pipe[0], POLLIN, 0}};
    int n = poll(pfd, 2, 1000);
    if (a->stopping.load())
        return APPL_ACCEPT_STOP;
    appl_reap(&a->conns, false);
    errno = 0;
    if (n <= 0 || (pfd[0].revents & POLLIN) == 0)
        return APPL_ACCEPT_NONE;
    socklen_t slen = sizeof *peer;
    int s = accept4(a->lfd, reinterpret_cast<struct sockaddr *>(peer), &slen, SOCK_CLOEXEC);
    return s >= 0 ? s : APPL_ACCEPT_NONE;
}

void appl_acceptor_stop(appl_acceptor *a)
{
    a->stopping.store(true);
    if (a->stop_pipe[1] >= 0) {
        char b = 1;
        ssize_t wr = write(a->stop_pipe[1], &b, 1);
        (void)wr;
    }
    if (a->thread.joinable())
        a->thread.join();
    appl_reap(&a->conns, true);
    for (int fd : {a->lfd, a->stop_pipe[0], a->stop_pipe[1]})
        if (fd >= 0)
            close(fd);
}
