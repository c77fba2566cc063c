// Context and endpoint life: initialisation, streams, open, the owner's
// settings, shutdown and release, closing connections on the owner's word,
// and the server role's listening and adopted sockets.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "datamover/xcomm_int.h"
#include "datamover/xcomm_ssl.h"

using namespace xcomm_detail;

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
        int e = xcomm_sock_error();
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
        xcomm_waker_close(endp->wake_fd);
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
    endp->reconnect_allowed = XCOMM_RECONNECT_ON;
    endp->msgs_per_pass = XCOMM_MSGS_PER_PASS;
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
    endp->wake_fd = xcomm_waker_open();
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

int xcomm_endp_set_owner(xcomm_endp *endp, const xcomm_endp_owner *own)
{
    if (endp == nullptr || own == nullptr || endp->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: endp(%p), own(%p)\n", static_cast<void *>(endp),
                   static_cast<const void *>(own));
        return XCOMM_ERR_ENDP;
    }
    if (own->peek_sz != 0 && (own->peek_sz < XCOMM_HDR_SIZE || own->peek_sz > XCOMM_HDR_PEEK_SIZE)) {
        ULOG_ERROR(SRC, "%s: peek size %d outside %d..%d\n", endp->rname, own->peek_sz, XCOMM_HDR_SIZE,
                   XCOMM_HDR_PEEK_SIZE);
        return XCOMM_ERR_ENDP;
    }
    std::lock_guard<std::mutex> g(*endp->lock);
    if (!(endp->state & XCOMM_ENDP_INIT))
        return XCOMM_ERR_ENDP;
    endp->owner = own->owner;
    if (own->alloc_cb != nullptr)
        endp->alloc_cb = own->alloc_cb;
    if (own->free_cb != nullptr)
        endp->free_cb = own->free_cb;
    endp->accept_cb = own->accept_cb;
    endp->close_cb = own->close_cb;
    if (own->peek_sz != 0)
        endp->peek_sz = own->peek_sz;
    if (own->msgs_per_pass > 0)
        endp->msgs_per_pass = own->msgs_per_pass;
    endp->reconnect_allowed = own->reconnect != XCOMM_RECONNECT_OFF ? XCOMM_RECONNECT_ON : XCOMM_RECONNECT_OFF;
    endp->reconnect_timeout = std::max(0, own->reconnect_timeout_s);
    endp->tls_cb = own->tls_cb;
    endp->defer_acks = own->defer_acks ? 1 : 0;
    return 0;
}

int xcomm_endp_set_limits(xcomm_endp *endp, int32_t connect_limit_ms, int32_t negotiate_wait_s)
{
    if (endp == nullptr || endp->lock == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: endp(%p)\n", static_cast<void *>(endp));
        return XCOMM_ERR_ENDP;
    }
    std::lock_guard<std::mutex> g(*endp->lock);
    endp->connect_limit_ms = connect_limit_ms;
    endp->negotiate_wait_s = negotiate_wait_s;
    return 0;
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
            if (m->rcvd != MSG_FROM_OWNER)
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
    if (endp->ctx != nullptr)
        flush_if_only_acks(endp->ctx, endp);
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

// ---------------------------------------------------------------- closing on the owner's word

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

// ---------------------------------------------------------------- server role

int xcomm_endp_adopt_server(xcomm_ctx *ctx, xcomm_endp *endp, int sock)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr || sock < 0) {
        if (sock >= 0)
            xcomm_sock_close(sock);
        return XCOMM_ERR_ENDP;
    }
    std::lock_guard<std::mutex> g(*endp->lock);
    if (!(endp->state & XCOMM_ENDP_INIT) || (endp->state & (XCOMM_ENDP_LISTEN | XCOMM_ENDP_OPEN))) {
        xcomm_sock_close(sock);
        return XCOMM_ERR_ENDP;
    }
    // The unconnected socket made at initialisation gives way to the adopted one.
    xcomm_fd *fd = endp->active_fds.head;
    if (fd != nullptr) {
        dl_remove(endp->active_fds, fd);
        fd_close_socket(endp, fd, TLS_CLOSE_QUIET);
        fd->state = 0;
        put_fd(endp, fd);
    }
    fd = get_fd(endp);
    if (fd == nullptr) {
        xcomm_sock_close(sock);
        return XCOMM_ERR_NOCONN;
    }
    fd->sock = sock;
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&one), sizeof one);
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
    int fl;
    xcomm_nonblock_begin(fd->sock, &fl);
    fd->state |= XCOMM_FD_NEGOTIATED;
    endp->listen_fd = fd;
    endp->state |= XCOMM_ENDP_LISTEN;
    endp->next_reconnect_key = 1;
    return 0;
}
