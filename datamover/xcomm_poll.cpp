// The readiness pass: one poll over every connection of an endpoint, with the
// send and receive handlers run on whatever is ready, and the time-outs of
// connections that never negotiated or never came back.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "datamover/xcomm_int.h"
#include "datamover/xcomm_ssl.h"

using namespace xcomm_detail;

namespace {

constexpr int NEGOTIATE_ACCEPT_LIMIT_S = 60;

struct poll_ent {
    xcomm_fd *fd;
    int sock;
};

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

// A TLS session that holds decrypted bytes not yet read is ready too: they
// are off the socket, which may stay quiet.
bool tls_buffered(const xcomm_fd *fd)
{
    return fd->ssl != nullptr && !fd->recv_busy && xcomm_ssl_pending(fd) > 0;
}

}  // namespace

// One readiness pass. seen, when given, is the wake-up count the caller saw
// while it last looked at the completed list (under the endpoint lock): if
// anything completed since, the pass does its I/O without blocking, so a
// completion made by another thread between the look and the pass is never
// slept through.
int xcomm_detail::poll_pass(xcomm_ctx *ctx, xcomm_endp *endp, struct timeval *timeout, const uint64_t *seen)
{
    if (ctx == nullptr || endp == nullptr || endp->lock == nullptr)
        return XCOMM_ERR_ENDP;
    std::vector<xcomm_pollfd> pfds;
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
            if (fd->write_blocked) {
                ev |= POLLOUT;  // written again once the socket takes more
            } else if (fd != endp->listen_fd && !(fd->state & XCOMM_FD_ACCEPTED)) {
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
            if (fd->ssl_want_write)
                ev |= POLLOUT;  // a server handshake has more to write
            if (header_buffered(endp, fd) || tls_buffered(fd))
                ready_now = true;
            pfds.push_back(xcomm_pollfd{fd->sock, ev, 0});
            ents.push_back(poll_ent{fd, fd->sock});
        }
        xcomm_monotime(&endp->last_select_sec, &endp->last_select_usec);
        endp->stats.selects++;
        if (pfds.empty()) {
            ULOG_ERROR(SRC, "%s: fds_in_set is empty\n", endp->rname);
            return XCOMM_ERR_NOCONN;
        }
        pfds.push_back(xcomm_pollfd{endp->wake_fd, POLLIN, 0});
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
        n = xcomm_poll(pfds.data(), pfds.size(), wait_ms);
        if (n >= 0 || xcomm_sock_error() != XCOMM_WSAEINTR)
            break;
        if (ctx->interrupted) {
            std::lock_guard<std::mutex> g(*endp->lock);
            endp->pollers--;
            return XCOMM_ERR_INTR;
        }
    }
    int saved = xcomm_sock_error();
    std::lock_guard<std::mutex> g(*endp->lock);
    endp->pollers--;
    if (endp->pollers == 0 && endp->wake_armed) {
        xcomm_waker_drain(endp->wake_fd);  // the last waiter out resets the wake-up
        endp->wake_armed = 0;
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
        // Writable matters to a handshake only when it waits to write; a
        // negotiate reply still going out is the send handler's.
        bool handshake_writable = (re & POLLOUT) && fd->receive_state == XCOMM_FD_SSL_ACCEPT && fd->ssl_want_write;
        if ((re & (POLLIN | POLLHUP | POLLERR)) || header_buffered(endp, fd) || tls_buffered(fd) || handshake_writable) {
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
            fd->write_blocked = 0;
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
    return poll_pass(ctx, endp, timeout, nullptr);
}
