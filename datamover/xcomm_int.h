// Internal interface between the transport's source files: list helpers and
// the engine, negotiate and connection procedures. Not for owners.
#pragma once


#include "datamover/platform_xcomm.h"
#include "datamover/xcomm.h"

// Record of a sent message that left the pending list when written (ACK,
// DGRAM), kept so that a reconnect can regenerate what the peer never got.
struct xcomm_sent_rec {
    uint32_t seq_no;
    uint8_t type;
    uint16_t msg_id;
    uint64_t tag;
};
constexpr int XCOMM_SENT_RING = 1024;

// xcomm_fd::receive_state
enum : uint8_t {
    XCOMM_FD_RECEIVE_HDR = 0,   // waiting for a header in the peek buffer
    XCOMM_FD_RECEIVE_DATA = 1,  // reading a message body into receive_msg
    XCOMM_FD_SSL_ACCEPT = 2,    // server TLS handshake pending
};

// xcomm_fd::send_state
enum : uint8_t {
    XCOMM_FD_INIT_HDR = 0,   // no message being written
    XCOMM_FD_SEND_DATA = 1,  // send_hdr encoded, send_msg part-way out
};

namespace xcomm_detail {

// xcomm_msg::rcvd: where a message came from.
enum : int32_t {
    MSG_FROM_OWNER = 0,  // queued by the owner with xcomm_send_msg
    MSG_RECEIVED = 1,    // from the allocation callback, for received bytes
    MSG_DUPLICATE = 2,   // the engine's own, for a duplicate read and dropped
};
inline bool is_duplicate(const xcomm_msg *m) { return m->rcvd == MSG_DUPLICATE; }

// How fd_close_socket ends a TLS session.
enum : int {
    TLS_CLOSE_NOTIFY = 0,  // with the closing handshake
    TLS_CLOSE_QUIET = 1,   // the peer is gone or the socket is handed on
};

inline int64_t tv_ms(const struct timeval *tv)
{
    return static_cast<int64_t>(tv->tv_sec) * 1000 + tv->tv_usec / 1000;
}

constexpr const char *SRC = "xcomm";

template <class T> void dl_push_back(xcomm_dlist<T> &l, T *e)
{
    e->next = nullptr;
    e->prev = l.tail;
    if (l.tail != nullptr)
        l.tail->next = e;
    else
        l.head = e;
    l.tail = e;
    l.cnt++;
}

template <class T> void dl_push_front(xcomm_dlist<T> &l, T *e)
{
    e->prev = nullptr;
    e->next = l.head;
    if (l.head != nullptr)
        l.head->prev = e;
    else
        l.tail = e;
    l.head = e;
    l.cnt++;
}

template <class T> void dl_remove(xcomm_dlist<T> &l, T *e)
{
    if (e->prev != nullptr)
        e->prev->next = e->next;
    else
        l.head = e->next;
    if (e->next != nullptr)
        e->next->prev = e->prev;
    else
        l.tail = e->prev;
    e->next = e->prev = nullptr;
    l.cnt--;
}

template <class T> T *dl_pop_front(xcomm_dlist<T> &l)
{
    T *e = l.head;
    if (e != nullptr)
        dl_remove(l, e);
    return e;
}

template <class T> bool dl_contains(const xcomm_dlist<T> &l, const T *e)
{
    for (const T *p = l.head; p != nullptr; p = p->next)
        if (p == e)
            return true;
    return false;
}

inline bool is_server(const xcomm_endp *endp) { return (endp->state & XCOMM_ENDP_LISTEN) != 0; }

// "port@addr" texts of a connection's two ends.
struct addr_text {
    char local[64];
    char remote[64];
};
void fd_addr_text(const xcomm_fd *fd, addr_text *t);

void fd_stamp(xcomm_fd *fd);
int64_t fd_age_sec(const xcomm_fd *fd);

// Connection records (endpoint lock held).
void fd_pristine(xcomm_endp *endp, xcomm_fd *fd, int index);
xcomm_fd *get_fd(xcomm_endp *endp);
void put_fd(xcomm_endp *endp, xcomm_fd *fd);
bool fd_in_table(const xcomm_endp *endp, const xcomm_fd *fd);
void fd_shutdown(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd);
void fd_close_socket(xcomm_endp *endp, xcomm_fd *fd, int quiet_tls);
// Drops a partly received message and empties the peek buffer.
int fd_drop_partial_receive(xcomm_endp *endp, xcomm_fd *fd);
int fd_alloc_sent_ring(xcomm_fd *fd);

// Socket set-up shared by connect and reconnect.
int xcomm_socket(xcomm_endp *endp, const char *local_name);
int apply_config_sockopts(xcomm_endp *endp, int sock);
int connect_attempts(xcomm_endp *endp, xcomm_fd *fd, bool reconnect);
void read_local_addr(xcomm_fd *fd);

// Slots and completion (endpoint lock held).
void release_slot(xcomm_endp *endp, xcomm_slot *slot);
void complete_msg(xcomm_endp *endp, xcomm_msg *msg, int status);
void wake_waiters(xcomm_endp *endp);
// Queues an engine-made message (ACK, negotiate reply) in a slot of its own
// (ack) or from the free-slot list; no fd choice, no size change.
int queue_internal(xcomm_endp *endp, xcomm_fd *fd, xcomm_msg *msg, bool own_slot);
int release_received(xcomm_endp *endp, xcomm_msg *msg);
void drop_received(xcomm_endp *endp, xcomm_msg *msg);

// Per-connection reads and writes; a TLS session takes them over when present.
long fd_write(xcomm_endp *endp, xcomm_fd *fd, const struct iovec *iov, int cnt, int *err);
long fd_read(xcomm_endp *endp, xcomm_fd *fd, struct iovec *iov, int cnt, int *err);
// Drops the first `skip` bytes of the vector; returns the first entry left.
int skip_vec(struct iovec *v, int cnt, size_t skip);

// One readiness pass; see xcomm_poll.cpp for seen.
int poll_pass(xcomm_ctx *ctx, xcomm_endp *endp, struct timeval *timeout, const uint64_t *seen);

// Engine.
int send_handler(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd);
int recv_handler(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, xcomm_fd **reconnected);
int msg_handler(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, xcomm_msg *msg);
int send_ack(xcomm_endp *endp, xcomm_msg *msg);
// Writes what is queued on every connection that can take it now (endpoint
// lock held); 0, or the error of a connection that failed (shut down).
int flush_locked(xcomm_ctx *ctx, xcomm_endp *endp);
// With deferred ACKs: writes the held ones when nothing else is pending, so
// that an owner asking whether anything is outstanding is told no once they
// are out (endpoint lock held).
void flush_if_only_acks(xcomm_ctx *ctx, xcomm_endp *endp);
int accept_conn(xcomm_endp *endp, xcomm_fd *lfd);

// Negotiate and reconnect.
int send_negotiate(xcomm_ctx *ctx, xcomm_endp *endp, int kind, xcomm_fd *fd);
int get_negotiate(xcomm_endp *endp, xcomm_fd *fd, int limit_s, int expect_kind, xcomm_fd **out);
// Server: a negotiate header received on fd (ACCEPTED or NEGOTIATED).
int server_negotiate(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd, const xcomm_hdr *h, xcomm_fd **reconnected);
int fd_try_reconnect(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd);
void record_sent(xcomm_fd *fd, const xcomm_msg *msg);

}  // namespace xcomm_detail
