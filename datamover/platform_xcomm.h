// Operating-system services of the transport: gather writes and scatter
// reads on sockets, error texts, clocks, the process-wide lock, TCP
// keep-alive values, the wake-up of waiting threads, and the few process
// services the library needs (ids, environment, local time, randomness).
// datamover/posix/ holds the Linux twin, datamover/win/ the Windows one; the
// socket headers and error numbers come from each twin's platform_net.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <platform_net.h>

// Capacity of a gather-write vector; a write takes at most MAX_BUF_COUNT - 1
// entries (the headers and every payload entry of a message), a read at most
// MAX_BUF_COUNT (those and the read-ahead room behind them).
constexpr int MAX_BUF_COUNT = 20;

// Flag bit of xcomm_recvmsg asking for MSG_PEEK.
constexpr int XCOMM_RECV_PEEK = 0x2;

// One gather write of cnt (< MAX_BUF_COUNT) entries; never raises SIGPIPE and
// never blocks. Bytes written, or -1 with errno set (EINVAL for a bad count).
long xcomm_sendmsg(int sock, const struct iovec *iov, int cnt);
// One scatter read of cnt (<= MAX_BUF_COUNT) entries without blocking. Bytes
// read, 0 at end of stream, or -1 with errno set.
long xcomm_recvmsg(int sock, struct iovec *iov, int cnt, int flags);
// One send and one receive of a plain buffer that never block (nor raise
// SIGPIPE); more: further bytes follow at once, so a short segment may wait
// for them. As above, -1 leaves the socket error set.
long xcomm_sock_send(int sock, const void *buf, size_t len, bool more);
long xcomm_sock_recv(int sock, void *buf, size_t len);
// Accepts a connection on a listening socket; the new socket is not inherited
// by child processes. The socket, or -1 with the socket error set.
int xcomm_accept(int lsock, struct sockaddr_in *addr, socklen_t *len);

// The wake-up of threads waiting for sockets: a descriptor that polls
// readable once signalled, until drained. -1 when it cannot be made.
int xcomm_waker_open();
// True when the wake-up is now signalled.
bool xcomm_waker_signal(int w);
void xcomm_waker_drain(int w);
void xcomm_waker_close(int w);

// Error text of code (0: the last socket error) into buf. Returns the code used.
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
// Creates the process-wide lock (the first caller) or waits until it is
// published: 0, or -1. Part of xcomm_platform_startup.
int xcomm_global_lock_acquire();

// Keep-alive values: idle time and interval in milliseconds (rounded up to
// seconds; applied when > 0), probe count (applied when > 0). The on/off
// switch is left as SO_KEEPALIVE has it. 0 or XCOMM_ERR_SOCKOPT.
int xcomm_set_keepalive_vals(int sock, int idle_ms, int intvl_ms, int cnt);

