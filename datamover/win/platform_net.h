// Socket headers, socket error numbers and the few socket calls whose form
// differs between platforms, for Windows (Winsock 2.2). Found through the
// platform include directory (#include <platform_net.h>); inline, so that
// the transfer library shares it without linking the transport.
//
// Sockets are kept in int: Windows socket handles use only their low 32 bits.
// Every socket the library makes is non-blocking for its whole life, since
// Winsock has no per-call "don't wait" flag.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>

// The library's configuration record has fields named after TCP options,
// which the Winsock headers define as macros; the twin uses its own names.
#undef TCP_NODELAY
#undef TCP_KEEPALIVE
#undef TCP_KEEPCNT
#undef TCP_KEEPIDLE
#undef TCP_KEEPINTVL
constexpr int XCOMM_TCP_NODELAY = 0x0001;
constexpr int XCOMM_TCP_KEEPCNT = 16;

// Gather and scatter entries as the transport keeps them; converted to WSABUF
// arrays on the stack for each call.
struct iovec {
    void *iov_base;
    size_t iov_len;
};

using suseconds_t = long;  // the type of timeval's microseconds

// The service database as the reentrant call of Linux offers it. Winsock's
// own answer lives in storage of the calling thread, used at once here.
inline int getservbyname_r(const char *name, const char *proto, struct servent *se, char *, size_t,
                           struct servent **res)
{
    *res = nullptr;
    struct servent *s = getservbyname(name, proto);
    if (s == nullptr)
        return -1;
    *se = *s;
    *res = se;
    return 0;
}

// Socket error numbers the transport tests for.
constexpr int XCOMM_WSAEWOULDBLOCK = WSAEWOULDBLOCK;
constexpr int XCOMM_WSAEINTR = WSAEINTR;
constexpr int XCOMM_WSAENOBUFS = WSAENOBUFS;
constexpr int XCOMM_WSAECONNREFUSED = WSAECONNREFUSED;
constexpr int XCOMM_WSAEINVAL = WSAEINVAL;
constexpr int XCOMM_WSAETIMEDOUT = WSAETIMEDOUT;
constexpr int XCOMM_WSAECONNRESET = WSAECONNRESET;
inline bool xcomm_would_block(int e) { return e == WSAEWOULDBLOCK; }
// A non-blocking connect that has not finished yet.
inline bool xcomm_connect_pending(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS || e == WSAEALREADY; }
// The peer went away while we wrote.
inline bool xcomm_peer_gone(int e) { return e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAESHUTDOWN; }

// Directory separator of local paths.
constexpr char PLATFORM_PATH_SEP = '\\';

// Handles are made non-inheritable after creation (see xcomm_net_socket).
constexpr int XCOMM_SOCK_CLOEXEC = 0;

// The descriptor set of a poll, as on Linux; converted to WSAPOLLFD.
struct xcomm_pollfd {
    int fd;
    short events;
    short revents;
};

inline int xcomm_sock_error() { return WSAGetLastError(); }
inline void xcomm_set_sock_error(int e) { WSASetLastError(e); }

// Winsock 2.2, once per module (each DLL calls it before its first socket).
inline int xcomm_net_startup()
{
    static std::once_flag once;
    static int rc = -1;
    std::call_once(once, [] {
        WSADATA wd;
        rc = WSAStartup(MAKEWORD(2, 2), &wd) == 0 ? 0 : -1;
    });
    return rc;
}

inline int xcomm_sock_close(int sock) { return closesocket(static_cast<SOCKET>(sock)); }

inline int xcomm_nonblock_begin(int sock, int *saved)
{
    *saved = 1;
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(sock), FIONBIO, &on) == 0 ? 0 : -1;
}
// Sockets stay non-blocking: every read and write of the library must not wait.
inline void xcomm_nonblock_end(int, int) {}

// WSAPoll takes only the read and write request bits; a refused connect shows
// in POLLERR, and a closed peer in POLLHUP, both reported without being asked.
inline int xcomm_poll(xcomm_pollfd *fds, size_t n, int timeout_ms)
{
    constexpr size_t kStack = 64;
    WSAPOLLFD stack[kStack];
    WSAPOLLFD *w = n <= kStack ? stack : new (std::nothrow) WSAPOLLFD[n];
    if (w == nullptr) {
        WSASetLastError(WSAENOBUFS);
        return -1;
    }
    for (size_t i = 0; i < n; i++) {
        w[i].fd = fds[i].fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fds[i].fd);
        w[i].events = static_cast<short>(fds[i].events & (POLLRDNORM | POLLWRNORM));
        w[i].revents = 0;
    }
    int r = WSAPoll(w, static_cast<ULONG>(n), timeout_ms);
    for (size_t i = 0; i < n; i++) {
        short re = w[i].revents;
        // A closed or failed socket is readable and writable for the caller:
        // its next read or write reports what happened.
        if (re & (POLLHUP | POLLERR))
            re |= static_cast<short>(fds[i].events & (POLLRDNORM | POLLWRNORM));
        fds[i].revents = r > 0 ? re : 0;
    }
    if (w != stack)
        delete[] w;
    return r;
}

// ---- plain socket calls for transports with their own loops

inline int xcomm_net_socket(int family, int type, int proto)
{
    if (xcomm_net_startup() != 0)
        return -1;
    SOCKET s = WSASocketW(family, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return -1;
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) {
        int e = WSAGetLastError();
        closesocket(s);
        WSASetLastError(e);
        return -1;
    }
    return static_cast<int>(s);
}
inline long xcomm_net_send(int sock, const void *buf, size_t len)
{
    int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
    return send(static_cast<SOCKET>(sock), static_cast<const char *>(buf), n, 0);
}
inline long xcomm_net_recv(int sock, void *buf, size_t len)
{
    int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
    return recv(static_cast<SOCKET>(sock), static_cast<char *>(buf), n, 0);
}
// At most 16 entries go in one call; a longer vector is sent in part.
inline long xcomm_net_sendv(int sock, struct iovec *iov, int cnt)
{
    WSABUF b[16];
    DWORD n = 0;
    int k = cnt < 16 ? cnt : 16;
    for (int i = 0; i < k; i++) {
        b[i].buf = static_cast<char *>(iov[i].iov_base);
        b[i].len = iov[i].iov_len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<ULONG>(iov[i].iov_len);
    }
    if (WSASend(static_cast<SOCKET>(sock), b, static_cast<DWORD>(k), &n, 0, nullptr, nullptr) != 0)
        return -1;
    return static_cast<long>(n);
}

// Text of a Winsock (or runtime) error number: the library's own table first,
// since the system's message table lacks several Winsock codes.
inline const char *xcomm_net_strerror(int e)
{
    struct row {
        int code;
        const char *text;
    };
    static constexpr row kRows[] = {
        {WSAEINTR, "A blocking operation was interrupted"},
        {WSAEBADF, "The file handle supplied is not valid"},
        {WSAEACCES, "Permission denied"},
        {WSAEFAULT, "Bad address"},
        {WSAEINVAL, "Invalid argument"},
        {WSAEMFILE, "Too many open sockets"},
        {WSAEWOULDBLOCK, "Resource temporarily unavailable"},
        {WSAEINPROGRESS, "Operation now in progress"},
        {WSAEALREADY, "Operation already in progress"},
        {WSAENOTSOCK, "Socket operation on something that is not a socket"},
        {WSAEDESTADDRREQ, "Destination address required"},
        {WSAEMSGSIZE, "Message too long"},
        {WSAEPROTOTYPE, "Protocol wrong type for socket"},
        {WSAENOPROTOOPT, "Protocol option not available"},
        {WSAEPROTONOSUPPORT, "Protocol not supported"},
        {WSAESOCKTNOSUPPORT, "Socket type not supported"},
        {WSAEOPNOTSUPP, "Operation not supported"},
        {WSAEPFNOSUPPORT, "Protocol family not supported"},
        {WSAEAFNOSUPPORT, "Address family not supported by protocol family"},
        {WSAEADDRINUSE, "Address already in use"},
        {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
        {WSAENETDOWN, "Network is down"},
        {WSAENETUNREACH, "Network is unreachable"},
        {WSAENETRESET, "Network dropped connection on reset"},
        {WSAECONNABORTED, "Software caused connection abort"},
        {WSAECONNRESET, "Connection reset by peer"},
        {WSAENOBUFS, "No buffer space available"},
        {WSAEISCONN, "Socket is already connected"},
        {WSAENOTCONN, "Socket is not connected"},
        {WSAESHUTDOWN, "Cannot send after socket shutdown"},
        {WSAETOOMANYREFS, "Too many references"},
        {WSAETIMEDOUT, "Connection timed out"},
        {WSAECONNREFUSED, "Connection refused"},
        {WSAELOOP, "Cannot translate name"},
        {WSAENAMETOOLONG, "Name too long"},
        {WSAEHOSTDOWN, "Host is down"},
        {WSAEHOSTUNREACH, "No route to host"},
        {WSAEPROCLIM, "Too many processes"},
        {WSASYSNOTREADY, "Network subsystem is unavailable"},
        {WSAVERNOTSUPPORTED, "Winsock version out of range"},
        {WSANOTINITIALISED, "Successful WSAStartup not yet performed"},
        {WSAEDISCON, "Graceful shutdown in progress"},
        {WSAHOST_NOT_FOUND, "Host not found"},
        {WSATRY_AGAIN, "Nonauthoritative host not found"},
        {WSANO_RECOVERY, "This is a nonrecoverable error"},
        {WSANO_DATA, "Valid name, no data record of requested type"},
    };
    for (const row &r : kRows)
        if (r.code == e)
            return r.text;
    return strerror(e);
}
