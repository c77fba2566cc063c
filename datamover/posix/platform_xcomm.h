// Operating-system services of the transport on Linux: gather writes and
// scatter reads on sockets, error texts, clocks, the process-wide lock and
// TCP keep-alive values.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <sys/uio.h>

// Capacity of a gather-write vector; a write takes at most MAX_BUF_COUNT - 1
// entries (the headers and every payload entry of a message), a read at most
// MAX_BUF_COUNT (those and the read-ahead room behind them).
constexpr int MAX_BUF_COUNT = 20;

// Socket error numbers the transport tests for.
constexpr int XCOMM_WSAEWOULDBLOCK = EWOULDBLOCK;
constexpr int XCOMM_WSAEINTR = EINTR;
constexpr int XCOMM_WSAENOBUFS = ENOBUFS;
constexpr int XCOMM_WSAECONNREFUSED = ECONNREFUSED;
constexpr int XCOMM_WSAEINVAL = EINVAL;
inline bool xcomm_would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// Flag bit of xcomm_recvmsg asking for MSG_PEEK.
constexpr int XCOMM_RECV_PEEK = 0x2;

// One gather write of cnt (< MAX_BUF_COUNT) entries; never raises SIGPIPE and
// never blocks. Bytes written, or -1 with errno set (EINVAL for a bad count).
long xcomm_sendmsg(int sock, const struct iovec *iov, int cnt);
// One scatter read of cnt (<= MAX_BUF_COUNT) entries without blocking. Bytes
// read, 0 at end of stream, or -1 with errno set.
long xcomm_recvmsg(int sock, struct iovec *iov, int cnt, int flags);

// Error text of code (0: the current errno) into buf. Returns the code used.
int xcomm_errtext(int code, char *buf, size_t size);

// Wall clock (CLOCK_REALTIME) in seconds and microseconds since 1970.
void xcomm_gettime(int64_t *sec, int64_t *usec);
// Monotonic clock, for time-outs and ages.
void xcomm_monotime(int64_t *sec, int64_t *usec);
int64_t xcomm_monotime_ms();

// Process start-up for the transport: obtains the process-wide lock.
// 0, or -1 when the lock could not be created.
int xcomm_platform_startup();
// The process-wide lock (null until start-up succeeded).
std::mutex *xcomm_global_lock();

// Keep-alive values: idle time and interval in milliseconds (rounded up to
// seconds; applied when > 0), probe count (applied when > 0). The on/off
// switch is left as SO_KEEPALIVE has it. 0 or XCOMM_ERR_SOCKOPT.
int xcomm_set_keepalive_vals(int sock, int idle_ms, int intvl_ms, int cnt);
