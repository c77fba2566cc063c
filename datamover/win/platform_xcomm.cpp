// Windows twins of the transport's socket, clock and process-lock services,
// and of the process services (Winsock 2.2, Win32).
#include "datamover/platform_xcomm.h"
#include "datamover/platform_proc.h"

#include <atomic>
#include <bcrypt.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "datamover/util.h"

namespace {

constexpr const char *SRC = "xcomm";

// Microseconds between 1601-01-01 (FILETIME) and 1970-01-01.
constexpr int64_t kEpochOffsetUs = 11644473600000000LL;

// At most MAX_BUF_COUNT entries; no allocation.
int to_wsabuf(const struct iovec *iov, int cnt, WSABUF *out)
{
    for (int i = 0; i < cnt; i++) {
        if (iov[i].iov_len > 0x7FFFFFFF)
            return -1;
        out[i].buf = static_cast<char *>(iov[i].iov_base);
        out[i].len = static_cast<ULONG>(iov[i].iov_len);
    }
    return 0;
}

}  // namespace

long xcomm_sendmsg(int sock, const struct iovec *iov, int cnt)
{
    WSABUF b[MAX_BUF_COUNT];
    if (cnt <= 0 || cnt >= MAX_BUF_COUNT || iov == nullptr || to_wsabuf(iov, cnt, b) != 0) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    DWORD n = 0;
    if (WSASend(static_cast<SOCKET>(sock), b, static_cast<DWORD>(cnt), &n, 0, nullptr, nullptr) != 0)
        return -1;
    return static_cast<long>(n);
}

long xcomm_recvmsg(int sock, struct iovec *iov, int cnt, int flags)
{
    WSABUF b[MAX_BUF_COUNT];
    if (cnt <= 0 || cnt > MAX_BUF_COUNT || iov == nullptr || to_wsabuf(iov, cnt, b) != 0) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    DWORD n = 0;
    DWORD f = (flags & XCOMM_RECV_PEEK) ? MSG_PEEK : 0;
    if (WSARecv(static_cast<SOCKET>(sock), b, static_cast<DWORD>(cnt), &n, &f, nullptr, nullptr) != 0)
        return -1;
    return static_cast<long>(n);
}

long xcomm_sock_send(int sock, const void *buf, size_t len, bool)
{
    return xcomm_net_send(sock, buf, len);
}

long xcomm_sock_recv(int sock, void *buf, size_t len) { return xcomm_net_recv(sock, buf, len); }

int xcomm_accept(int lsock, struct sockaddr_in *addr, socklen_t *len)
{
    SOCKET s = accept(static_cast<SOCKET>(lsock), reinterpret_cast<sockaddr *>(addr), len);
    if (s == INVALID_SOCKET)
        return -1;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    return static_cast<int>(s);
}

// WSAPoll waits on sockets only: the wake-up is a UDP socket connected to
// itself on the loopback, readable while a datagram waits in it.
int xcomm_waker_open()
{
    int s = xcomm_net_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0)
        return -1;
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int len = sizeof a;
    if (bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a), &len) != 0 ||
        connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        xcomm_sock_close(s);
        return -1;
    }
    return s;
}

bool xcomm_waker_signal(int w)
{
    char one = 1;
    return send(static_cast<SOCKET>(w), &one, 1, 0) == 1;
}

void xcomm_waker_drain(int w)
{
    char buf[16];
    while (recv(static_cast<SOCKET>(w), buf, sizeof buf, 0) > 0) {
    }
}

void xcomm_waker_close(int w) { xcomm_sock_close(w); }

int xcomm_errtext(int code, char *buf, size_t size)
{
    if (code == 0)
        code = WSAGetLastError();
    if (buf == nullptr || size == 0)
        return code;
    const char *t = xcomm_net_strerror(code);
    if (t != nullptr && strncmp(t, "Unknown error", 13) != 0) {
        util_strlcpy(buf, t, size);
        return code;
    }
    // Not ours: the system's message table, inserts ignored.
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, buf, static_cast<DWORD>(size), nullptr);
    if (n == 0) {
        snprintf(buf, size, "Unknown error %d", code);
        return code;
    }
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' '))
        buf[--n] = '\0';
    return code;
}

void xcomm_gettime(int64_t *sec, int64_t *usec)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    int64_t us = static_cast<int64_t>(ticks / 10) - kEpochOffsetUs;
    *sec = us / 1000000;
    *usec = us % 1000000;
}

void xcomm_monotime(int64_t *sec, int64_t *usec)
{
    int64_t ms = xcomm_monotime_ms();
    *sec = ms / 1000;
    *usec = (ms % 1000) * 1000;
}

int64_t xcomm_monotime_ms() { return static_cast<int64_t>(GetTickCount64()); }

int xcomm_platform_startup()
{
    int rc = xcomm_global_lock_acquire();
    if (rc != 0)
        return rc;
    if (xcomm_net_startup() != 0) {
        char text[256];
        xcomm_errtext(0, text, sizeof text);
        ULOG_ERROR(SRC, "WSAStartup failed: %s\n", text);
    }
    return 0;
}

// SIO_KEEPALIVE_VALS sets the idle time and the interval in milliseconds;
// the probe count needs TCP_KEEPCNT (Windows 10 1703 on), which older
// systems refuse with WSAENOPROTOOPT: then the system's count stays.
int xcomm_set_keepalive_vals(int sock, int idle_ms, int intvl_ms, int cnt)
{
    SOCKET s = static_cast<SOCKET>(sock);
    int on = 0;
    int len = sizeof on;
    if (getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char *>(&on), &len) != 0)
        return XCOMM_ERR_SOCKOPT;
    if (idle_ms > 0 || intvl_ms > 0) {
        struct tcp_keepalive ka;
        ka.onoff = on ? 1 : 0;
        ka.keepalivetime = idle_ms > 0 ? static_cast<ULONG>(idle_ms) : 0;
        ka.keepaliveinterval = intvl_ms > 0 ? static_cast<ULONG>(intvl_ms) : 0;
        DWORD got = 0;
        if (WSAIoctl(s, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &got, nullptr, nullptr) != 0)
            return XCOMM_ERR_SOCKOPT;
    }
    if (cnt > 0) {
        if (setsockopt(s, IPPROTO_TCP, XCOMM_TCP_KEEPCNT, reinterpret_cast<const char *>(&cnt), sizeof cnt) != 0 &&
            WSAGetLastError() != WSAENOPROTOOPT)
            return XCOMM_ERR_SOCKOPT;
    }
    return 0;
}

unsigned long platform_pid() { return static_cast<unsigned long>(GetCurrentProcessId()); }

unsigned long platform_tid() { return static_cast<unsigned long>(GetCurrentThreadId()); }

int platform_setenv(const char *name, const char *value) { return _putenv_s(name, value) == 0 ? 0 : -1; }

bool platform_localtime(time_t t, struct tm *out) { return localtime_s(out, &t) == 0; }

int platform_random(void *buf, size_t n)
{
    if (n > 0xFFFFFFFFu)
        return -1;
    NTSTATUS st = BCryptGenRandom(nullptr, static_cast<PUCHAR>(buf), static_cast<ULONG>(n),
                                  BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return st >= 0 ? 0 : -1;
}
