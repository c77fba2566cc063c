// Socket headers, socket error numbers and the few socket calls whose form
// differs between platforms, for Linux. Found through the platform include
// directory (#include <platform_net.h>); inline, so that the transfer library
// shares it without linking the transport.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

// Socket error numbers the transport tests for.
constexpr int XCOMM_WSAEWOULDBLOCK = EWOULDBLOCK;
constexpr int XCOMM_WSAEINTR = EINTR;
constexpr int XCOMM_WSAENOBUFS = ENOBUFS;
constexpr int XCOMM_WSAECONNREFUSED = ECONNREFUSED;
constexpr int XCOMM_WSAEINVAL = EINVAL;
constexpr int XCOMM_WSAETIMEDOUT = ETIMEDOUT;
constexpr int XCOMM_WSAECONNRESET = ECONNRESET;
inline bool xcomm_would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }
// A non-blocking connect that has not finished yet.
inline bool xcomm_connect_pending(int e) { return e == EINPROGRESS || e == EALREADY; }
// The peer went away while we wrote.
inline bool xcomm_peer_gone(int e) { return e == EPIPE || e == ECONNRESET; }

// TCP_NODELAY, under a name of ours: the library's configuration record has
// fields named after the TCP options, which the system headers define as macros.
constexpr int XCOMM_TCP_NODELAY = 1;

// Directory separator of local paths.
constexpr char PLATFORM_PATH_SEP = '/';

// Socket type flag that keeps a new socket out of child processes.
constexpr int XCOMM_SOCK_CLOEXEC = SOCK_CLOEXEC;

using xcomm_pollfd = struct pollfd;

// The error number of the last failed socket call of this thread.
inline int xcomm_sock_error() { return errno; }
inline void xcomm_set_sock_error(int e) { errno = e; }

// Once per process, before the first socket; 0 or -1.
inline int xcomm_net_startup() { return 0; }

inline int xcomm_sock_close(int sock) { return close(sock); }

// Makes sock non-blocking (for a connect, or a listening socket); *saved
// keeps what xcomm_nonblock_end restores. 0, or -1 with the error number set.
// The transport's own reads and writes say per call that they must not block,
// so a connected socket goes back to its blocking mode.
inline int xcomm_nonblock_begin(int sock, int *saved)
{
    int fl = fcntl(sock, F_GETFL);
    *saved = fl;
    if (fl < 0 || fcntl(sock, F_SETFL, fl | O_NONBLOCK) != 0)
        return -1;
    return 0;
}
inline void xcomm_nonblock_end(int sock, int saved) { fcntl(sock, F_SETFL, saved); }

inline int xcomm_poll(xcomm_pollfd *fds, size_t n, int timeout_ms) { return poll(fds, n, timeout_ms); }

// ---- plain socket calls for transports with their own loops (the transfer
// library's links): non-blocking sockets, no SIGPIPE.

// A socket that is non-blocking and not inherited by child processes.
inline int xcomm_net_socket(int family, int type, int proto)
{
    return socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, proto);
}
inline long xcomm_net_send(int sock, const void *buf, size_t len) { return send(sock, buf, len, MSG_NOSIGNAL); }
inline long xcomm_net_recv(int sock, void *buf, size_t len) { return recv(sock, buf, len, 0); }
inline long xcomm_net_sendv(int sock, struct iovec *iov, int cnt)
{
    struct msghdr mh {};
    mh.msg_iov = iov;
    mh.msg_iovlen = size_t(cnt);
    return sendmsg(sock, &mh, MSG_NOSIGNAL);
}
// Text of a socket error number.
inline const char *xcomm_net_strerror(int e) { return strerror(e); }
