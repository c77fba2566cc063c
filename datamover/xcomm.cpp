// Transport core: header codec, messages, contexts, endpoints, connection
// records, name resolution, socket set-up and connect, sending, the readiness
// pass, waiting and connection shutdown.
#include "datamover/xcomm.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "datamover/byteorder.h"
#include "datamover/xcomm_int.h"
#include "datamover/xcomm_ssl.h"

using namespace xcomm_detail;

namespace {

std::atomic<uint64_t> g_msgs_allocated{0};
std::atomic<uint64_t> g_msgs_freed{0};

// Process-wide socket options, index = option number.
std::atomic<int> g_sockopts[7] = {0, 5242880, 2097152, -1, -1, -1, -1};

constexpr int NEGOTIATE_ACCEPT_LIMIT_S = 60;
constexpr int SERVER_SELECT_LIMIT_S = 120;

}  // namespace

// ---------------------------------------------------------------- header

void xcomm_hdr_encode(const xcomm_hdr *h, unsigned char out[XCOMM_HDR_SIZE])
{
    be_put8(out, h->type);
    be_put8(out + 1, h->sz_u);
    be_put16(out + 2, h->sz_l);
    be_put16(out + 4, h->rpc_id);
    be_put16(out + 6, h->msg_id);
    be_put32(out + 8, h->seq_no);
    be_put32(out + 12, h->gen_no);
    be_put64(out + 16, h->tag);
}

void xcomm_hdr_decode(const unsigned char in[XCOMM_HDR_SIZE], xcomm_hdr *h)
{
    h->type = be_get8(in);
    h->sz_u = be_get8(in + 1);
    h->sz_l = be_get16(in + 2);
    h->rpc_id = be_get16(in + 4);
    h->msg_id = be_get16(in + 6);
    h->seq_no = be_get32(in + 8);
    h->gen_no = be_get32(in + 12);
    h->tag = be_get64(in + 16);
}

// ---------------------------------------------------------------- messages

xcomm_msg *xcomm_msg_alloc(uint32_t size)
{
    if (size > XCOMM_MAX_PAYLOAD)
        return nullptr;
    void *p = calloc(1, XCOMM_MSG_CB_SIZE + size);
    if (p == nullptr)
        return nullptr;
    xcomm_msg *m = static_cast<xcomm_msg *>(p);
    m->magic = XCOMM_MAGIC_IN_USE;
    m->data_size = size;
    xcomm_hdr_set_size(&m->hdr, size);
    if (size != 0) {
        m->sgl_ents = 1;
        m->sgl[0].iov_len = size;
        m->sgl[0].iov_base = xcomm_msg_data(m);
    }
    g_msgs_allocated.fetch_add(1, std::memory_order_relaxed);
    return m;
}

void xcomm_msg_reply_to(xcomm_msg *rsp, const xcomm_msg *req)
{
    if (rsp == nullptr || req == nullptr)
        return;
    rsp->hdr.type = XCOMM_MSG_RSP;
    rsp->hdr.rpc_id = req->hdr.rpc_id;
    rsp->fd = req->fd;
    rsp->fd_gen = req->fd_gen;
}

int xcomm_msg_free(xcomm_msg *msg)
{
    if (msg == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: msg(NULL)\n");
        return XCOMM_ERR_NOMSG;
    }
    XASSERT(msg->magic == XCOMM_MAGIC_IN_USE);
    msg->magic = XCOMM_MAGIC_FREE;
    g_msgs_freed.fetch_add(1, std::memory_order_relaxed);
    free(msg);
    return 0;
}

uint64_t xcomm_msgs_allocated() { return g_msgs_allocated.load(); }
uint64_t xcomm_msgs_freed() { return g_msgs_freed.load(); }

char *xcomm_msg_to_str(const xcomm_msg *msg, char *buf, size_t len)
{
    if (buf == nullptr || len == 0)
        return buf;
    if (msg == nullptr) {
        snprintf(buf, len, "msg[(nil)]");
        return buf;
    }
    snprintf(buf, len,
             "msg[%p] type[%d] sz[%d] tag[%llx] msg_id[%d] rpc_id[%d] seq_no[%d] fd[%p] sgl_ents[%d], status[%d] "
             "retries[%d], flag[%d]",
             static_cast<const void *>(msg), msg->hdr.type, static_cast<int>(xcomm_hdr_get_size(&msg->hdr)),
             static_cast<unsigned long long>(msg->hdr.tag), msg->hdr.msg_id, msg->hdr.rpc_id,
             static_cast<int>(msg->hdr.seq_no), static_cast<void *>(msg->fd), msg->sgl_ents, msg->status,
             msg->retries, msg->flag);
    return buf;
}

// ---------------------------------------------------------------- options

int xcomm_set_sockopt(int opt, int value)
{
    if (opt < 1 || opt > 6)
        return XCOMM_ERR_SOCKOPT;
    if (opt == XCOMM_OPT_NODELAY && value > 0)
        value = 1;
    g_sockopts[opt].store(value);
    return 0;
}

int xcomm_get_sockopt(int opt)
{
    if (opt < 1 || opt > 6)
        return XCOMM_ERR_SOCKOPT;
    return g_sockopts[opt].load();
}

// ---------------------------------------------------------------- addresses

char *xcomm_addr_to_str(const struct sockaddr_in *addr, char *buf, size_t len)
{
    if (buf == nullptr || len == 0)
        return buf;
    char ip[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &addr->sin_addr, ip, sizeof ip) == nullptr) {
        char text[256];
        int e = xcomm_errtext(0, text, sizeof text);
        snprintf(buf, len, "inet_ntop failed: errno: %d, errmsg: %s\n", e, text);
        return buf;
    }
    snprintf(buf, len, "%d@%s", ntohs(addr->sin_port), ip);
    return buf;
}

namespace xcomm_detail {

void fd_addr_text(const xcomm_fd *fd, addr_text *t)
{
    xcomm_addr_to_str(&fd->laddr, t->local, sizeof t->local);
    xcomm_addr_to_str(&fd->raddr, t->remote, sizeof t->remote);
}

void fd_stamp(xcomm_fd *fd) { xcomm_monotime(&fd->state_sec, &fd->state_usec); }

int64_t fd_age_sec(const xcomm_fd *fd)
{
    int64_t s, us;
    xcomm_monotime(&s, &us);
    return s - fd->state_sec;
}

void read_local_addr(xcomm_fd *fd)
{
    socklen_t len = sizeof fd->laddr;
    if (getsockname(fd->sock, reinterpret_cast<sockaddr *>(&fd->laddr), &len) == 0) {
        fd->addrlen = len;
        fd->lport = ntohs(fd->laddr.sin_port);
    }
}

}  // namespace xcomm_detail

int xcomm_name_to_svc(xcomm_endp *endp, struct sockaddr_in *addr, const char *name)
{
    if (endp == nullptr || addr == nullptr || name == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: endp(%p), addr(%p), name(%p)\n", static_cast<void *>(endp),
                   static_cast<void *>(addr), static_cast<const void *>(name));
        return XCOMM_ERR_NAME;
    }
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_ANY);
    addr->sin_port = 0;

    char buf[256];
    if (util_strlcpy(buf, name, sizeof buf) > sizeof buf)
        return XCOMM_ERR_NAME;
    const char *host = buf;
    char *at = strchr(buf, '@');
    if (at != nullptr) {
        if (at == buf)
            return 0;  // "@...": any address, any port
        *at = '\0';
        host = at + 1;
        const char *svc = buf;
        bool numeric = true;
        for (const char *p = svc; *p != '\0'; ++p)
            if (*p < '0' || *p > '9')
                numeric = false;
        long port = -1;
        if (numeric && strlen(svc) <= 5) {
            port = strtol(svc, nullptr, 10);
            if (port > 65535)
                return XCOMM_ERR_NAME;
        }
        if (port >= 0) {
            // An explicit 0 asks for any free port (servers that read it back).
            addr->sin_port = htons(static_cast<uint16_t>(port));
        } else {
            struct servent se, *res = nullptr;
            char sbuf[1024];
            int port_net = 0;
            if (getservbyname_r(svc, "tcp", &se, sbuf, sizeof sbuf, &res) == 0 && res != nullptr)
                port_net = res->s_port;
            if (port_net == 0) {
                if (endp->default_port == 0)
                    return XCOMM_ERR_NAME;
                port_net = endp->default_port;
                ULOG_INFO(SRC, "%s: using default port %d since we could not find the specified port in '/etc/services'",
                          endp->rname, ntohs(static_cast<uint16_t>(port_net)));
            }
            addr->sin_port = static_cast<uint16_t>(port_net);
        }
    }
    if (*host == '\0')
        return 0;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct addrinfo *ai = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &ai) != 0 || ai == nullptr) {
        if (ai != nullptr)
            freeaddrinfo(ai);
        return XCOMM_ERR_NAME;
    }
    addr->sin_addr = reinterpret_cast<struct sockaddr_in *>(ai->ai_addr)->sin_addr;
    freeaddrinfo(ai);
    return 0;
}

// ---------------------------------------------------------------- records

namespace xcomm_detail {

static void fd_pristine(xcomm_endp *endp, xcomm_fd *fd, int index)
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
        close(fd->sock);
    fd->sock = -1;
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
    if (endp->pollers > 0 && endp->wake_fd >= 0) {
        uint64_t one = 1;
        ssize_t r = write(endp->wake_fd, &one, sizeof one);
        (void)r;
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

void drop_received(xcomm_endp *endp, xcomm_msg *msg)
{
    if (msg == nullptr)
        return;
    if (msg->release_cb != nullptr)
        msg->release_cb(endp, msg);
    if (msg->status == XCOMM_MSG_FAILED && msg->rcvd == 2) {
        xcomm_msg_free(msg);  // a duplicate the engine allocated itself
        return;
    }
    int rc = endp->free_cb != nullptr ? endp->free_cb(msg) : xcomm_msg_free(msg);
    if (rc < 0)
        ULOG_ERROR(SRC, "%s: error releasing msg. rc(%d)\n", endp->rname, rc);
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
        if (m->release_cb != nullptr) {
            int r = m->release_cb(endp, m);
            if (r < 0) {
                ULOG_ERROR(SRC, "%s: error releasing msg contents. rc(%d)\n", endp->rname, r);
                rc = XCOMM_ERR_FD;
            }
        }
        int r;
        if (m->status == XCOMM_MSG_FAILED && m->rcvd == 2)
            r = xcomm_msg_free(m);
        else
            r = endp->free_cb != nullptr ? endp->free_cb(m) : xcomm_msg_free(m);
        if (r < 0) {
            ULOG_ERROR(SRC, "%s: error releasing msg. rc(%d)\n", endp->rname, r);
            rc = XCOMM_ERR_FD;
        }
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
        fd_close_socket(endp, fd, 0);
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

int apply_config_sockopts(xcomm_endp *endp, int sock)
{
    struct opt {
        const char *name;
        int level, optname, num;
    };
    static const opt kOpts[] = {
        {"SO_RCVBUF", SOL_SOCKET, SO_RCVBUF, XCOMM_OPT_RCVBUF},
        {"SO_SNDBUF", SOL_SOCKET, SO_SNDBUF, XCOMM_OPT_SNDBUF},
        {"TCP_NODELAY", IPPROTO_TCP, TCP_NODELAY, XCOMM_OPT_NODELAY},
    };
    for (const opt &o : kOpts) {
        int v = g_sockopts[o.num].load();
        bool apply = o.num == XCOMM_OPT_NODELAY ? v >= 0 : v != 0;
        if (!apply)
            continue;
        ULOG_DEBUG_IF(SRC, "name=%s, opt=%d\n", o.name, v);
        int rc = setsockopt(sock, o.level, o.optname, &v, sizeof v);
        if (rc != 0) {
            char text[256];
            int e = xcomm_errtext(0, text, sizeof text);
            ULOG_ERROR(SRC, "%s: setsockopt() - errno: %d, errmsg: %s rc = %d name = %s val = %d\n", endp->rname, e,
                       text, rc, o.name, v);
            return XCOMM_ERR_SOCKOPT;
        }
    }
    int idle = g_sockopts[XCOMM_OPT_KEEPIDLE].load();
    int intvl = g_sockopts[XCOMM_OPT_KEEPINTVL].load();
    int cnt = g_sockopts[XCOMM_OPT_KEEPCNT].load();
    if (idle > 0 || intvl > 0 || cnt > 0) {
        if (xcomm_set_keepalive_vals(sock, idle, intvl, cnt) != 0)
            return XCOMM_ERR_SOCKOPT;
    }
    return 0;
}

// One connect of sock to addr that waits at most until deadline (monotonic
// milliseconds). 0, or -1 with errno set (ETIMEDOUT when the time ran out).
static int connect_until(int sock, const struct sockaddr_in *addr, int64_t deadline)
{
    int fl = fcntl(sock, F_GETFL);
    if (fl < 0 || fcntl(sock, F_SETFL, fl | O_NONBLOCK) != 0)
        return -1;
    int rc = connect(sock, reinterpret_cast<const sockaddr *>(addr), sizeof *addr);
    int e = rc == 0 ? 0 : errno;
    while (rc != 0 && (e == EINPROGRESS || e == EINTR || e == EALREADY)) {
        int64_t left = deadline - xcomm_monotime_ms();
        if (left <= 0) {
            e = ETIMEDOUT;
            break;
        }
        struct pollfd p = {sock, POLLOUT, 0};
        int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
        if (n < 0 && errno != EINTR) {
            e = errno;
            break;
        }
        if (n <= 0)
            continue;
        int soerr = 0;
        socklen_t len = sizeof soerr;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0)
            soerr = errno;
        rc = soerr == 0 ? 0 : -1;
        e = soerr;
    }
    // The transport's reads and writes say for themselves that they must not block.
    fcntl(sock, F_SETFL, fl);
    if (rc == 0)
        return 0;
    errno = e;
    return -1;
}

// Connect attempts on fd->sock to fd->raddr (endpoint lock not required),
// all of them within the endpoint's connect limit.
int connect_attempts(xcomm_endp *endp, xcomm_fd *fd, bool reconnect)
{
    char rtext[64];
    xcomm_addr_to_str(&fd->raddr, rtext, sizeof rtext);
    int tries = endp->connect_attempts > 0 ? endp->connect_attempts : 1;
    const int64_t limit = endp->connect_limit_ms > 0 ? endp->connect_limit_ms : 300000;
    const int64_t deadline = xcomm_monotime_ms() + limit;
    int e = 0;
    char text[256] = "";
    for (int i = 0; i < tries; ++i) {
        if (connect_until(fd->sock, &fd->raddr, deadline) == 0)
            return 0;
        e = xcomm_errtext(0, text, sizeof text);
        if (e == XCOMM_WSAECONNREFUSED) {
            ULOG_ERROR(SRC, reconnect ? "re-connect to: %s failed: errno: %d, errmsg: %s\n"
                                      : "connect to: %s failed: errno: %d, errmsg: %s\n",
                       rtext, e, text);
            return XCOMM_ERR_CONN_REFUSED;
        }
        if (e == ETIMEDOUT && xcomm_monotime_ms() >= deadline)
            break;
        if (reconnect)
            ULOG_DEBUG_IF(SRC, "%s: re-connect[%d]- errno: %d, errmsg: %s\n", endp->rname, i, e, text);
        if (i + 1 < tries) {
            int64_t pause = std::min<int64_t>(endp->connect_wait_ms, deadline - xcomm_monotime_ms());
            if (pause > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        }
    }
    if (xcomm_monotime_ms() >= deadline) {
        ULOG_ERROR(SRC, reconnect ? "re-connect to: %s got no answer within %d seconds\n"
                                  : "connect to: %s got no answer within %d seconds\n",
                   rtext, static_cast<int>((limit + 999) / 1000));
        char what[96];
        snprintf(what, sizeof what, "the connect to %s", rtext);
        util_timeout_note(what, static_cast<int>((limit + 999) / 1000));
        return XCOMM_ERR_TIMEOUT;
    }
    ULOG_ERROR(SRC, reconnect ? "re-connect to: %s failed: errno: %d, errmsg: %s\n"
                              : "connect to: %s failed: errno: %d, errmsg: %s\n",
               rtext, e, text);
    return XCOMM_ERR_CONN;
}

}  // namespace xcomm_detail

// Creates one socket of the endpoint, with its options, bound to local_name
// when one is given, and puts its record on the active list.
static int xcomm_socket(xcomm_endp *endp, const char *local_name)
{
    xcomm_fd *fd;
    {
        std::lock_guard<std::mutex> g(*endp->lock);
        fd = get_fd(endp);
    }
    if (fd == nullptr)
        return XCOMM_ERR_NOCONN;
    auto give_back = [&](int rc) {
        if (fd->sock >= 0)
            close(fd->sock);
        fd->sock = -1;
        std::lock_guard<std::mutex> g(*endp->lock);
        put_fd(endp, fd);
        return rc;
    };
    bool named = local_name != nullptr && local_name[0] != '\0';
    struct sockaddr_in laddr;
    if (named) {
        int rc = xcomm_name_to_svc(endp, &laddr, local_name);
        if (rc != 0)
            return give_back(rc);
    }
    fd->sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd->sock < 0)
        return give_back(XCOMM_ERR_SOCKET);
    int one = 1;
    if (named && setsockopt(fd->sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return give_back(XCOMM_ERR_SOCKOPT);
    if (setsockopt(fd->sock, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0)
        return give_back(XCOMM_ERR_SOCKOPT);
    if (apply_config_sockopts(endp, fd->sock) != 0) {
        char text[256];
        int e = xcomm_errtext(0, text, sizeof text);
        ULOG_ERROR(SRC, "%s: xcomm_set_config_sockopts() - errno: %d, errmsg: %s\n", endp->rname, e, text);
        return give_back(XCOMM_ERR_SOCKOPT);
    }
    if (named) {
        util_strlcpy(endp->rname, local_name, sizeof endp->rname);
        bool bound = false;
        for (int i = 0; i < 5 && !bound; ++i) {
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::seconds(2 * i));
            if (bind(fd->sock, reinterpret_cast<sockaddr *>(&laddr), sizeof laddr) == 0) {
                bound = true;
            } else {
                char text[256];
                int e = xcomm_errtext(0, text, sizeof text);
                ULOG_ERROR(SRC, "%s: bind failed - errno: %d, errmsg: %s \n", endp->rname, e, text);
            }
        }
        if (!bound)
            return give_back(XCOMM_ERR_BIND);
        socklen_t len = sizeof fd->laddr;
        if (getsockname(fd->sock, reinterpret_cast<sockaddr *>(&fd->laddr), &len) != 0)
            return give_back(XCOMM_ERR_NAME);
        fd->addrlen = len;
        fd->lport = ntohs(fd->laddr.sin_port);
    }
    std::lock_guard<std::mutex> g(*endp->lock);
    fd->state = XCOMM_FD_ACTIVE;
    fd_stamp(fd);
    dl_push_back(endp->active_fds, fd);
    ULOG_TRACE(SRC, 1, "%s: endp[%p] fd[%d] \n", endp->rname, static_cast<void *>(endp), fd->sock);
    return 0;
}

// ---------------------------------------------------------------- context

int xcomm_ctx_init(xcomm_ctx *ctx)
{
    if (ctx == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(NULL)\n");
        return XCOMM_ERR_ENDP;
    }
    memset(ctx, 0, sizeof *ctx);
    ctx->lock = new (std::nothrow) std::mutex;
    if (ctx->lock == nullptr)
        return XCOMM_ERR_NOMEM;
    if (xcomm_platform_startup() != 0)
        ULOG_ERROR(SRC, "process-wide lock unavailable; TLS cannot be set up\n");
    if (gethostname(ctx->host_name, sizeof ctx->host_name - 1) != 0) {
        int e = errno;
        delete ctx->lock;
        ctx->lock = nullptr;
        return -util_errno_to_kes(e);
    }
    ctx->host_name[sizeof ctx->host_name - 1] = '\0';
    return 0;
}

static void endp_free_tables(xcomm_endp *endp)
{
    if (endp->fds != nullptr) {
        for (int i = 0; i < endp->nconns; ++i)
            free(endp->fds[i].sent);
        free(endp->fds);
    }
    endp->fds = nullptr;
    free(endp->slots);
    endp->slots = nullptr;
    xcomm_ssl_endp_cleanup(endp);
    if (endp->wake_fd >= 0)
        close(endp->wake_fd);
    endp->wake_fd = -1;
    delete endp->lock;
    endp->lock = nullptr;
}

static void endp_unlink(xcomm_ctx *ctx, xcomm_endp *endp)
{
    if (endp->prev != nullptr)
        endp->prev->next = endp->next;
    else
        ctx->head = endp->next;
    if (endp->next != nullptr)
        endp->next->prev = endp->prev;
    else
        ctx->tail = endp->prev;
    endp->next = endp->prev = nullptr;
    ctx->endp_cnt--;
}

int xcomm_ctx_shutdown(xcomm_ctx *ctx)
{
    if (ctx == nullptr || ctx->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p)\n", static_cast<void *>(ctx));
        return XCOMM_ERR_ENDP;
    }
    for (;;) {
        xcomm_endp *endp;
        {
            std::lock_guard<std::mutex> g(*ctx->lock);
            endp = ctx->head;
            if (endp == nullptr)
                break;
            endp_unlink(ctx, endp);
        }
        if (endp->lock != nullptr)
            xcomm_endp_shutdown(ctx, endp);
    }
    delete ctx->lock;
    ctx->lock = nullptr;
    return 0;
}

// ---------------------------------------------------------------- endpoint

static xcomm_msg *default_alloc_cb(xcomm_endp *, xcomm_fd *, const unsigned char *peek)
{
    xcomm_hdr h;
    xcomm_hdr_decode(peek, &h);
    return xcomm_msg_alloc(xcomm_hdr_get_size(&h));
}

int xcomm_endp_init(xcomm_ctx *ctx, xcomm_endp *endp, const char *local_name, int conns, int oreqs,
                    uint16_t default_port_net, int flags)
{
    (void)flags;  // XCOMM_ENDP_USE_POLL: readiness is always waited for the same way
    if (ctx == nullptr || endp == nullptr || ctx->lock == nullptr || conns <= 0 || oreqs <= 0 || oreqs > 65535 ||
        conns > 65535) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p), endp(%p), conns(%d), oreqs(%d)\n", static_cast<void *>(ctx),
                   static_cast<void *>(endp), conns, oreqs);
        return XCOMM_ERR_ENDP;
    }
    memset(endp, 0, sizeof *endp);
    endp->wake_fd = -1;
    endp->lock = new (std::nothrow) std::mutex;
    if (endp->lock == nullptr)
        return XCOMM_ERR_NOMEM;
    endp->ctx = ctx;
    endp->peek_sz = XCOMM_HDR_SIZE;
    endp->connect_attempts = 4;
    endp->reconnect_allowed = 1;
    endp->msgs_per_pass = 16;
    endp->default_port = default_port_net;
    endp->alloc_cb = default_alloc_cb;
    endp->free_cb = xcomm_msg_free;
    endp->connect_wait_ms = 1000;
    endp->connect_limit_ms = 300000;
    endp->negotiate_wait_s = 60;
    int64_t s, us;
    xcomm_gettime(&s, &us);
    endp->object_nonce = static_cast<uint32_t>(s * 1000003 + us) ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(endp) >> 4);
    if (endp->object_nonce == 0)
        endp->object_nonce = 1;
    endp->nconns = conns + 1;
    endp->fds = static_cast<xcomm_fd *>(calloc(static_cast<size_t>(endp->nconns), sizeof(xcomm_fd)));
    endp->slots = static_cast<xcomm_slot *>(calloc(static_cast<size_t>(oreqs), sizeof(xcomm_slot)));
    endp->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (endp->fds == nullptr || endp->slots == nullptr || endp->wake_fd < 0) {
        endp_free_tables(endp);
        return XCOMM_ERR_NOMEM;
    }
    for (int i = 0; i < endp->nconns; ++i) {
        fd_pristine(endp, &endp->fds[i], i);
        dl_push_back(endp->free_fds, &endp->fds[i]);
    }
    endp->oreqs = oreqs;
    for (int i = 0; i < oreqs; ++i) {
        endp->slots[i].id = i;
        dl_push_back(endp->free_slots, &endp->slots[i]);
    }
    char name[80];
    util_strlcpy(name, local_name != nullptr ? local_name : "", sizeof name);
    int rc = xcomm_socket(endp, name);
    if (rc != 0) {
        endp_free_tables(endp);
        return rc;
    }
    {
        std::lock_guard<std::mutex> g(*ctx->lock);
        endp->prev = ctx->tail;
        endp->next = nullptr;
        if (ctx->tail != nullptr)
            ctx->tail->next = endp;
        else
            ctx->head = endp;
        ctx->tail = endp;
        ctx->endp_cnt++;
    }
    std::lock_guard<std::mutex> g(*endp->lock);
    endp->state = XCOMM_ENDP_INIT;
    return 0;
}

int xcomm_endp_addstream(xcomm_ctx *ctx, xcomm_endp *endp, const char *local_name)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p), endp(%p)\n", static_cast<void *>(ctx), static_cast<void *>(endp));
        return XCOMM_ERR_ENDP;
    }
    char name[80];
    util_strlcpy(name, local_name != nullptr ? local_name : "", sizeof name);
    return xcomm_socket(endp, name);
}

int xcomm_endp_open(xcomm_ctx *ctx, xcomm_endp *endp, const char *remote_name)
{
    if (ctx == nullptr || endp == nullptr || remote_name == nullptr || endp->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p), endp(%p), name(%p)\n", static_cast<void *>(ctx),
                   static_cast<void *>(endp), static_cast<const void *>(remote_name));
        return XCOMM_ERR_ENDP;
    }
    std::vector<xcomm_fd *> todo;
    {
        std::lock_guard<std::mutex> g(*endp->lock);
        if (!(endp->state & XCOMM_ENDP_INIT) || (endp->state & (XCOMM_ENDP_LISTEN | XCOMM_ENDP_OPEN)))
            return XCOMM_ERR_ENDP;
        util_strlcpy(endp->rname, remote_name, sizeof endp->rname);
        for (xcomm_fd *fd = endp->active_fds.head; fd != nullptr; fd = fd->next)
            if (!(fd->state & XCOMM_FD_CONNECTED))
                todo.push_back(fd);
    }
    struct sockaddr_in raddr;
    if (xcomm_name_to_svc(endp, &raddr, remote_name) != 0) {
        ULOG_ERROR(SRC, "%s: unable to resolve remote name\n", remote_name);
        return XCOMM_ERR_NAME;
    }
    for (xcomm_fd *fd : todo) {
        char rtext[64];
        xcomm_addr_to_str(&raddr, rtext, sizeof rtext);
        {
            std::lock_guard<std::mutex> g(*endp->lock);
            fd->raddr = raddr;
            fd->rport = ntohs(raddr.sin_port);
        }
        ULOG_INFO(SRC, "%s: connect to: %s\n", endp->rname, rtext);
        int rc = connect_attempts(endp, fd, false);
        if (rc != 0)
            return rc;
        read_local_addr(fd);
        rc = send_negotiate(ctx, endp, XCOMM_NEG_CONNECT, fd);
        if (rc != 0) {
            ULOG_ERROR(SRC, "%s: send_negotiate failed for (%s) rc=%d\n", endp->rname, rtext, rc);
            return XCOMM_ERR_NEGOTIATE;
        }
        xcomm_fd *got = nullptr;
        rc = get_negotiate(endp, fd, endp->negotiate_wait_s, XCOMM_NEG_CONNECT, &got);
        if (rc != 0) {
            ULOG_ERROR(SRC, "%s: get_negotiate failed for (%s) rc=%d\n", endp->rname, rtext, rc);
            return XCOMM_ERR_NEGOTIATE;
        }
        read_local_addr(fd);
        addr_text t;
        fd_addr_text(fd, &t);
        ULOG_INFO(SRC, "%s: successfully connected local: %s remote: %s\n", endp->rname, t.local, t.remote);
        std::lock_guard<std::mutex> g(*endp->lock);
        fd->state |= XCOMM_FD_CONNECTED;
        fd_stamp(fd);
    }
    std::lock_guard<std::mutex> g(*endp->lock);
    endp->state |= XCOMM_ENDP_OPEN;
    return 0;
}

int xcomm_endp_shutdown(xcomm_ctx *ctx, xcomm_endp *endp)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p), endp(%p)\n", static_cast<void *>(ctx), static_cast<void *>(endp));
        return XCOMM_ERR_ENDP;
    }
    {
        std::lock_guard<std::mutex> g(*endp->lock);
        endp->state |= XCOMM_ENDP_SHUTDOWN;
        while (endp->active_fds.head != nullptr) {
            xcomm_fd *fd = endp->active_fds.head;
            if (!is_server(endp) && endp->reconnect_allowed && fd->reconnect.allowed && fd->reconnect.key != 0 &&
                (fd->state & XCOMM_FD_CONNECTED)) {
                int rc = send_negotiate(ctx, endp, XCOMM_NEG_DISCONNECT, fd);
                if (rc != 0)
                    ULOG_ERROR(SRC, "%s: send_negotiate for disconnect failed - %d\n", endp->rname, rc);
            }
            fd_shutdown(ctx, endp, fd);
        }
        while (endp->reconnect_fds.head != nullptr) {
            xcomm_fd *fd = endp->reconnect_fds.head;
            fd_shutdown(ctx, endp, fd);
        }
        // Received messages nobody collected are the engine's to free; the
        // owner's own messages are left to the owner.
        while (xcomm_msg *m = dl_pop_front(endp->completed)) {
            if (m->rcvd)
                drop_received(endp, m);
        }
        while (xcomm_slot *s = endp->pending.head)
            release_slot(endp, s);
        endp->state = 0;
    }
    endp_free_tables(endp);
    return 0;
}

int xcomm_endp_release(xcomm_ctx *ctx, xcomm_endp *endp)
{
    if (ctx == nullptr || endp == nullptr || ctx->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: ctx(%p), endp(%p)\n", static_cast<void *>(ctx), static_cast<void *>(endp));
        return XCOMM_ERR_ENDP;
    }
    if (endp->state != 0)
        return XCOMM_ERR_ENDP;
    std::lock_guard<std::mutex> g(*ctx->lock);
    for (xcomm_endp *e = ctx->head; e != nullptr; e = e->next) {
        if (e == endp) {
            endp_unlink(ctx, endp);
            return 0;
        }
    }
    return XCOMM_ERR_ENDP;
}

bool xcomm_endp_busy(xcomm_endp *endp)
{
    if (endp == nullptr || endp->lock == nullptr)
        return false;
    std::lock_guard<std::mutex> g(*endp->lock);
    return endp->completed.cnt > 0 || endp->pending.cnt > 0;
}

xcomm_msg *xcomm_endp_pending_msg(xcomm_endp *endp, uint32_t slot)
{
    if (endp == nullptr || endp->lock == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> g(*endp->lock);
    if (slot >= static_cast<uint32_t>(endp->oreqs))
        return nullptr;
    xcomm_msg *m = endp->slots[slot].msg;
    return (m != nullptr && m->status == XCOMM_MSG_BUSY) ? m : nullptr;
}

int xcomm_endp_local_port(xcomm_endp *endp)
{
    if (endp == nullptr || endp->lock == nullptr)
        return 0;
    std::lock_guard<std::mutex> g(*endp->lock);
    if (endp->listen_fd != nullptr)
        return endp->listen_fd->lport;
    return endp->fds != nullptr ? endp->fds[0].lport : 0;
}

int xcomm_endp_close_fd(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr || fd == nullptr)
        return XCOMM_ERR_ENDP;
    std::lock_guard<std::mutex> g(*endp->lock);
    if (!fd_in_table(endp, fd) || !(fd->state & (XCOMM_FD_ACTIVE | XCOMM_FD_RECONNECT)))
        return XCOMM_ERR_FD;
    fd_shutdown(ctx, endp, fd);
    return 0;
}

int xcomm_endp_close_all(xcomm_ctx *ctx, xcomm_endp *endp)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr)
        return XCOMM_ERR_ENDP;
    std::lock_guard<std::mutex> g(*endp->lock);
    for (xcomm_fd *fd = endp->active_fds.head; fd != nullptr;) {
        xcomm_fd *next = fd->next;
        if (fd != endp->listen_fd)
            fd_shutdown(ctx, endp, fd);
        fd = next;
    }
    while (endp->reconnect_fds.head != nullptr)
        fd_shutdown(ctx, endp, endp->reconnect_fds.head);
    return 0;
}

int xcomm_endp_adopt_server(xcomm_ctx *ctx, xcomm_endp *endp, int sock)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr || sock < 0) {
        if (sock >= 0)
            close(sock);
        return XCOMM_ERR_ENDP;
    }
    std::lock_guard<std::mutex> g(*endp->lock);
    if (!(endp->state & XCOMM_ENDP_INIT) || (endp->state & (XCOMM_ENDP_LISTEN | XCOMM_ENDP_OPEN))) {
        close(sock);
        return XCOMM_ERR_ENDP;
    }
    // The unconnected socket made at initialisation gives way to the adopted one.
    xcomm_fd *fd = endp->active_fds.head;
    if (fd != nullptr) {
        dl_remove(endp->active_fds, fd);
        fd_close_socket(endp, fd, 1);
        fd->state = 0;
        put_fd(endp, fd);
    }
    fd = get_fd(endp);
    if (fd == nullptr) {
        close(sock);
        return XCOMM_ERR_NOCONN;
    }
    fd->sock = sock;
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    apply_config_sockopts(endp, sock);
    read_local_addr(fd);
    socklen_t len = sizeof fd->raddr;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&fd->raddr), &len) == 0)
        fd->rport = ntohs(fd->raddr.sin_port);
    fd->state = XCOMM_FD_ACTIVE | XCOMM_FD_ACCEPTED;
    fd_stamp(fd);
    dl_push_back(endp->active_fds, fd);
    endp->state |= XCOMM_ENDP_LISTEN;
    endp->adopted = 1;
    endp->listen_fd = nullptr;
    endp->next_reconnect_key = 1;
    addr_text t;
    fd_addr_text(fd, &t);
    ULOG_INFO(SRC, "%s: accepted connection local: %s remote: %s\n", endp->rname, t.local, t.remote);
    return 0;
}

// ---------------------------------------------------------------- sending

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
    msg->rcvd = 0;
    dl_push_back(endp->pending, slot);
    msg->hdr.msg_id = static_cast<uint16_t>(slot->id);
    if (msg->hdr.type == XCOMM_MSG_REQ)
        msg->hdr.rpc_id = static_cast<uint16_t>(slot->id);
    xcomm_hdr_set_size(&msg->hdr, static_cast<uint32_t>(len));
    msg->total_bytes = static_cast<uint32_t>(len) + XCOMM_HDR_SIZE;
    msg->fd = fd;
    msg->bytes_processed = 0;
    if (parked)
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

// ---------------------------------------------------------------- listen

int xcomm_listen(xcomm_ctx *ctx, xcomm_endp *endp)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr)
        return XCOMM_ERR_ENDP;
    std::lock_guard<std::mutex> g(*endp->lock);
    if (!(endp->state & XCOMM_ENDP_INIT) || (endp->state & (XCOMM_ENDP_LISTEN | XCOMM_ENDP_OPEN)))
        return XCOMM_ERR_ENDP;
    if ((endp->tls_flags & XCOMM_TLS_CONFIGURED) && endp->ssl_ctx == nullptr) {
        int rc = xcomm_ssl_initialize_ctx(endp);
        if (rc != 0) {
            ULOG_ERROR(SRC, "%s: xcomm_ssl_initialize_ctx failed, key_file=%s rc=%d\n", endp->rname,
                       endp->key_path ? endp->key_path : "NULL", rc);
            return rc;
        }
    }
    xcomm_fd *fd = &endp->fds[0];
    if (!(fd->state & XCOMM_FD_ACTIVE) || fd->sock < 0)
        return XCOMM_ERR_ENDP;
    if (listen(fd->sock, endp->nconns) != 0) {
        char text[256];
        int e = xcomm_errtext(0, text, sizeof text);
        ULOG_ERROR(SRC, "%s: listen - errno: %d, errmsg: %s\n", endp->rname, e, text);
        return XCOMM_ERR_LISTEN;
    }
    // Accepting never blocks the pass when a client goes before accept.
    int fl = fcntl(fd->sock, F_GETFL);
    if (fl >= 0)
        fcntl(fd->sock, F_SETFL, fl | O_NONBLOCK);
    fd->state |= XCOMM_FD_NEGOTIATED;
    endp->listen_fd = fd;
    endp->state |= XCOMM_ENDP_LISTEN;
    endp->next_reconnect_key = 1;
    return 0;
}

// ---------------------------------------------------------------- the pass

namespace {

struct poll_ent {
    xcomm_fd *fd;
    int sock;
};

int64_t tv_ms(const struct timeval *tv)
{
    return static_cast<int64_t>(tv->tv_sec) * 1000 + tv->tv_usec / 1000;
}

// A connection whose next header already sits in the peek buffer is ready
// without waiting for the socket (its rest may never come on its own).
bool header_buffered(const xcomm_endp *endp, const xcomm_fd *fd)
{
    if (fd == endp->listen_fd || fd->receive_state != XCOMM_FD_RECEIVE_HDR ||
        fd->peek_bytes_available < XCOMM_HDR_SIZE || fd->recv_busy)
        return false;
    xcomm_hdr h;
    xcomm_hdr_decode(fd->peek, &h);
    if (h.type == XCOMM_MSG_NEGOTIATE || (fd->state & XCOMM_FD_ACCEPTED))
        return true;
    int peek_sz = std::clamp(endp->peek_sz, XCOMM_HDR_SIZE, XCOMM_HDR_PEEK_SIZE);
    uint64_t need = std::min<uint64_t>(static_cast<uint64_t>(peek_sz), XCOMM_HDR_SIZE + xcomm_hdr_get_size(&h));
    return static_cast<uint64_t>(fd->peek_bytes_available) >= need;
}

}  // namespace

// One readiness pass. seen, when given, is the wake-up count the caller saw
// while it last looked at the completed list (under the endpoint lock): if
// anything completed since, the pass does its I/O without blocking, so a
// completion made by another thread between the look and the pass is never
// slept through.
static int select_pass(xcomm_ctx *ctx, xcomm_endp *endp, struct timeval *timeout, const uint64_t *seen)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr)
        return XCOMM_ERR_ENDP;
    std::vector<pollfd> pfds;
    std::vector<poll_ent> ents;
    bool ready_now = false;
    {
        std::unique_lock<std::mutex> g(*endp->lock);
        if (!(endp->state & XCOMM_ENDP_INIT))
            return XCOMM_ERR_ENDP;
        if (!(endp->state & (XCOMM_ENDP_OPEN | XCOMM_ENDP_LISTEN))) {
            if (endp->state & XCOMM_ENDP_SHUTDOWN)
                return XCOMM_ERR_NOCONN;
            g.unlock();
            int rc = xcomm_listen(ctx, endp);
            if (rc != 0) {
                if (rc == XCOMM_ERR_AUTH && (endp->tls_flags & XCOMM_TLS_CONFIGURED)) {
                    ULOG_ERROR(SRC, "%s: unable to initialize SSL, retry later\n", endp->rname);
                    std::this_thread::sleep_for(std::chrono::seconds(10));
                }
                return rc;
            }
            g.lock();
        }
        addr_text t;
        for (xcomm_fd *fd = endp->active_fds.head; fd != nullptr;) {
            xcomm_fd *next = fd->next;
            if ((fd->state & XCOMM_FD_ACCEPTED) && fd_age_sec(fd) > NEGOTIATE_ACCEPT_LIMIT_S) {
                fd_addr_text(fd, &t);
                ULOG_ERROR(SRC, "%s: negotiate timeout local: %s remote:%s\n", endp->rname, t.local, t.remote);
                fd_shutdown(ctx, endp, fd);
            }
            fd = next;
        }
        for (xcomm_fd *fd = endp->reconnect_fds.head; fd != nullptr;) {
            xcomm_fd *next = fd->next;
            if (fd_age_sec(fd) > endp->reconnect_timeout) {
                fd_addr_text(fd, &t);
                ULOG_ERROR(SRC, "%s: reconnect timeout from %s:%s\n", endp->rname, t.local, t.remote);
                fd_shutdown(ctx, endp, fd);
            }
            fd = next;
        }
        std::vector<xcomm_fd *> snap;
        for (xcomm_fd *fd = endp->active_fds.head; fd != nullptr; fd = fd->next)
            snap.push_back(fd);
        for (xcomm_fd *fd : snap) {
            if (!(fd->state & XCOMM_FD_ACTIVE) || fd->sock < 0)
                continue;
            if (!is_server(endp) && !(fd->state & XCOMM_FD_CONNECTED))
                continue;  // still being opened, or never connected
            short ev = POLLIN;
            if (fd != endp->listen_fd && !(fd->state & XCOMM_FD_ACCEPTED)) {
                int rc = send_handler(ctx, endp, fd);
                if (rc == XCOMM_ERR_PARTIAL_WRITE) {
                    ev |= POLLOUT;
                } else if (rc != 0 && rc != XCOMM_ERR_RECONNECT_PENDING && rc != XCOMM_ERR_NOMSG) {
                    fd_shutdown(ctx, endp, fd);
                    return rc;
                }
            }
            if (!(fd->state & XCOMM_FD_ACTIVE) || fd->sock < 0)
                continue;
            if (header_buffered(endp, fd))
                ready_now = true;
            pfds.push_back(pollfd{fd->sock, ev, 0});
            ents.push_back(poll_ent{fd, fd->sock});
        }
        xcomm_monotime(&endp->last_select_sec, &endp->last_select_usec);
        endp->stats.selects++;
        if (pfds.empty()) {
            ULOG_ERROR(SRC, "%s: fds_in_set is empty\n", endp->rname);
            return XCOMM_ERR_NOCONN;
        }
        pfds.push_back(pollfd{endp->wake_fd, POLLIN, 0});
        endp->pollers++;
        if (seen != nullptr && *seen != endp->wake_seq)
            ready_now = true;
    }

    int64_t limit_ms = timeout == nullptr ? -1 : tv_ms(timeout);
    if (ready_now)
        limit_ms = 0;
    int64_t deadline = limit_ms >= 0 ? xcomm_monotime_ms() + limit_ms : 0;
    int n;
    for (;;) {
        int wait_ms = limit_ms < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - xcomm_monotime_ms()));
        n = poll(pfds.data(), pfds.size(), wait_ms);
        if (n >= 0 || errno != EINTR)
            break;
        if (ctx->interrupted) {
            std::lock_guard<std::mutex> g(*endp->lock);
            endp->pollers--;
            return XCOMM_ERR_INTR;
        }
    }
    int saved = errno;
    std::lock_guard<std::mutex> g(*endp->lock);
    endp->pollers--;
    if (endp->pollers == 0) {
        uint64_t v;
        ssize_t r = read(endp->wake_fd, &v, sizeof v);  // the last waiter out resets the wake-up
        (void)r;
    }
    if (n < 0) {
        char text[256];
        int e = xcomm_errtext(saved, text, sizeof text);
        ULOG_ERROR(SRC, "%s: select - errno: %d, errmsg: %s\n", endp->rname, e, text);
        return XCOMM_ERR_BADSEL;
    }
    bool woken = (pfds.back().revents & POLLIN) != 0;
    if (n == 0 && !ready_now)
        return XCOMM_ERR_TIMEOUT;
    if (endp->state & XCOMM_ENDP_SHUTDOWN)
        return XCOMM_ERR_NOCONN;
    for (size_t i = 0; i < ents.size(); ++i) {
        xcomm_fd *fd = ents[i].fd;
        if (!(fd->state & XCOMM_FD_ACTIVE) || fd->sock != ents[i].sock)
            continue;
        short re = pfds[i].revents;
        if ((re & (POLLIN | POLLHUP | POLLERR)) || header_buffered(endp, fd)) {
            xcomm_fd *rfd = nullptr;
            int rc = recv_handler(ctx, endp, fd, &rfd);
            if (rc == XCOMM_ERR_RECONNECT_PENDING)
                return rc;
            if (rfd != nullptr && !is_server(endp))
                return rfd == fd ? rc : XCOMM_ERR_ENDP;
            if (rc != 0 && rc != XCOMM_ERR_THROTTLE && rc != XCOMM_ERR_NOMSG) {
                if (fd->state & (XCOMM_FD_ACTIVE | XCOMM_FD_RECONNECT))
                    fd_shutdown(ctx, endp, fd);
                return rc;
            }
        }
        if ((re & POLLOUT) && (fd->state & XCOMM_FD_ACTIVE) && fd->sock == ents[i].sock) {
            int rc = send_handler(ctx, endp, fd);
            if (rc != 0 && rc != XCOMM_ERR_RECONNECT_PENDING && rc != XCOMM_ERR_PARTIAL_WRITE &&
                rc != XCOMM_ERR_NOMSG) {
                if (fd->state & (XCOMM_FD_ACTIVE | XCOMM_FD_RECONNECT))
                    fd_shutdown(ctx, endp, fd);
                return rc;
            }
        }
    }
    (void)woken;
    return 0;
}

int xcomm_select(xcomm_ctx *ctx, xcomm_endp *endp, struct timeval *timeout)
{
    return select_pass(ctx, endp, timeout, nullptr);
}

// ---------------------------------------------------------------- waiting

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
            if (msgp != nullptr) {
                for (xcomm_msg *m = endp->completed.head; m != nullptr; m = m->next) {
                    if (wanted(endp, m, want)) {
                        dl_remove(endp->completed, m);
                        *msgp = m;
                        return 0;
                    }
                }
            }
            bool want_lost = want != nullptr && want->pmsg == nullptr;
            if ((flags & 1) && (endp->pending.cnt == 0 || want_lost)) {
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
        int rc = select_pass(ctx, endp, tp, &seen);
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
            for (xcomm_msg *m = endp->completed.head; m != nullptr; m = m->next) {
                if (wanted(endp, m, want)) {
                    dl_remove(endp->completed, m);
                    *msgp = m;
                    return 0;
                }
            }
            return XCOMM_ERR_TIMEOUT;
        }
    }
}
