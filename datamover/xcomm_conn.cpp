// Names, sockets and connect: "port@host" names and their addresses, the
// process-wide socket options, creating and binding an endpoint's sockets,
// and connect attempts that end at a deadline.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "datamover/xcomm_int.h"

using namespace xcomm_detail;

namespace {

// Process-wide socket options, index = option number.
std::atomic<int> g_sockopts[7] = {0, 5242880, 2097152, -1, -1, -1, -1};

}  // namespace

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

void read_local_addr(xcomm_fd *fd)
{
    socklen_t len = sizeof fd->laddr;
    if (getsockname(fd->sock, reinterpret_cast<sockaddr *>(&fd->laddr), &len) == 0) {
        fd->addrlen = len;
        fd->lport = ntohs(fd->laddr.sin_port);
    }
}

}  // namespace xcomm_detail

// ---------------------------------------------------------------- names

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

// ---------------------------------------------------------------- sockets and connect

namespace xcomm_detail {

int apply_config_sockopts(xcomm_endp *endp, int sock)
{
    struct opt {
        const char *name;
        int level, optname, num;
    };
    static const opt kOpts[] = {
        {"SO_RCVBUF", SOL_SOCKET, SO_RCVBUF, XCOMM_OPT_RCVBUF},
        {"SO_SNDBUF", SOL_SOCKET, SO_SNDBUF, XCOMM_OPT_SNDBUF},
        {"TCP_NODELAY", IPPROTO_TCP, XCOMM_TCP_NODELAY, XCOMM_OPT_NODELAY},
    };
    for (const opt &o : kOpts) {
        int v = g_sockopts[o.num].load();
        bool apply = o.num == XCOMM_OPT_NODELAY ? v >= 0 : v != 0;
        if (!apply)
            continue;
        ULOG_DEBUG_IF(SRC, "name=%s, opt=%d\n", o.name, v);
        int rc = setsockopt(sock, o.level, o.optname, reinterpret_cast<const char *>(&v), sizeof v);
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
// milliseconds). 0, or -1 with the socket error set (XCOMM_WSAETIMEDOUT when
// the time ran out).
static int connect_until(int sock, const struct sockaddr_in *addr, int64_t deadline)
{
    int fl;
    if (xcomm_nonblock_begin(sock, &fl) != 0)
        return -1;
    int rc = connect(sock, reinterpret_cast<const sockaddr *>(addr), sizeof *addr);
    int e = rc == 0 ? 0 : xcomm_sock_error();
    while (rc != 0 && (xcomm_connect_pending(e) || e == XCOMM_WSAEINTR)) {
        int64_t left = deadline - xcomm_monotime_ms();
        if (left <= 0) {
            e = XCOMM_WSAETIMEDOUT;
            break;
        }
        xcomm_pollfd p = {sock, POLLOUT, 0};
        int n = xcomm_poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
        if (n < 0 && xcomm_sock_error() != XCOMM_WSAEINTR) {
            e = xcomm_sock_error();
            break;
        }
        if (n <= 0)
            continue;
        int soerr = 0;
        socklen_t len = sizeof soerr;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soerr), &len) != 0)
            soerr = xcomm_sock_error();
        rc = soerr == 0 ? 0 : -1;
        e = soerr;
    }
    xcomm_nonblock_end(sock, fl);
    if (rc == 0)
        return 0;
    xcomm_set_sock_error(e);
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
        if (e == XCOMM_WSAETIMEDOUT && xcomm_monotime_ms() >= deadline)
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

// Creates one socket of the endpoint, with its options, bound to local_name
// when one is given, and puts its record on the active list.
int xcomm_socket(xcomm_endp *endp, const char *local_name)
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
            xcomm_sock_close(fd->sock);
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
    fd->sock = socket(AF_INET, SOCK_STREAM | XCOMM_SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd->sock < 0)
        return give_back(XCOMM_ERR_SOCKET);
    int one = 1;
    if (named && setsockopt(fd->sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one), sizeof one) != 0)
        return give_back(XCOMM_ERR_SOCKOPT);
    if (setsockopt(fd->sock, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&one), sizeof one) != 0)
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

}  // namespace xcomm_detail
