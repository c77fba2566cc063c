// Linux twins of the transport's socket, clock and process-lock services.
#include "datamover/platform_xcomm.h"
#include "datamover/platform_proc.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <time.h>

#include "datamover/util.h"

static_assert(XCOMM_TCP_NODELAY == TCP_NODELAY);

long xcomm_sendmsg(int sock, const struct iovec *iov, int cnt)
{
    if (cnt <= 0 || cnt >= MAX_BUF_COUNT || iov == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct msghdr mh;
    memset(&mh, 0, sizeof mh);
    mh.msg_iov = const_cast<struct iovec *>(iov);
    mh.msg_iovlen = static_cast<size_t>(cnt);
    return sendmsg(sock, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long xcomm_recvmsg(int sock, struct iovec *iov, int cnt, int flags)
{
    if (cnt <= 0 || cnt > MAX_BUF_COUNT || iov == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct msghdr mh;
    memset(&mh, 0, sizeof mh);
    mh.msg_iov = iov;
    mh.msg_iovlen = static_cast<size_t>(cnt);
    int f = MSG_DONTWAIT;
    if (flags & XCOMM_RECV_PEEK)
        f |= MSG_PEEK;
    return recvmsg(sock, &mh, f);
}

long xcomm_sock_send(int sock, const void *buf, size_t len, bool more)
{
    return send(sock, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
}

long xcomm_sock_recv(int sock, void *buf, size_t len) { return recv(sock, buf, len, MSG_DONTWAIT); }

int xcomm_accept(int lsock, struct sockaddr_in *addr, socklen_t *len)
{
    return accept4(lsock, reinterpret_cast<sockaddr *>(addr), len, SOCK_CLOEXEC);
}

// An eventfd: one counter, readable while not zero.
int xcomm_waker_open() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

bool xcomm_waker_signal(int w)
{
    uint64_t one = 1;
    ssize_t r = write(w, &one, sizeof one);
    return r == static_cast<ssize_t>(sizeof one);
}

void xcomm_waker_drain(int w)
{
    uint64_t v;
    ssize_t r = read(w, &v, sizeof v);
    (void)r;
}

void xcomm_waker_close(int w) { close(w); }

int xcomm_errtext(int code, char *buf, size_t size)
{
    if (code == 0)
        code = errno;
    if (buf == nullptr || size == 0)
        return code;
    char tmp[256];
    const char *t = strerror_r(code, tmp, sizeof tmp);  // GNU form: returns the text
    util_strlcpy(buf, t ? t : "Unknown error", size);
    return code;
}

void xcomm_gettime(int64_t *sec, int64_t *usec)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    *sec = ts.tv_sec;
    *usec = ts.tv_nsec / 1000;
}

void xcomm_monotime(int64_t *sec, int64_t *usec)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    *sec = ts.tv_sec;
    *usec = ts.tv_nsec / 1000;
}

int64_t xcomm_monotime_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int xcomm_platform_startup() { return xcomm_global_lock_acquire(); }

int xcomm_set_keepalive_vals(int sock, int idle_ms, int intvl_ms, int cnt)
{
    int on = 0;
    socklen_t len = sizeof on;
    if (getsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, &len) != 0)
        return XCOMM_ERR_SOCKOPT;
    if (idle_ms > 0) {
        int s = static_cast<int>((static_cast<int64_t>(idle_ms) + 999) / 1000);
        if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &s, sizeof s) != 0)
            return XCOMM_ERR_SOCKOPT;
    }
    if (intvl_ms > 0) {
        int s = static_cast<int>((static_cast<int64_t>(intvl_ms) + 999) / 1000);
        if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &s, sizeof s) != 0)
            return XCOMM_ERR_SOCKOPT;
    }
    if (cnt > 0) {
        if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt) != 0)
            return XCOMM_ERR_SOCKOPT;
    }
    return 0;
}

unsigned long platform_pid() { return static_cast<unsigned long>(getpid()); }

unsigned long platform_tid() { return static_cast<unsigned long>(syscall(SYS_gettid)); }

int platform_setenv(const char *name, const char *value) { return setenv(name, value, 1); }

bool platform_localtime(time_t t, struct tm *out) { return localtime_r(&t, out) != nullptr; }

int platform_random(void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t r = getrandom(p, n, 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}
