// XCOMM: framed, sequenced and acknowledged messages over TCP.
//
// A caller owns a context (xcomm_ctx) and initialises one endpoint (xcomm_endp)
// in it. A client endpoint connects each of its streams to a remote name with
// xcomm_endp_open; a server endpoint listens on its local name and accepts.
// The engine has no thread of its own: all socket I/O happens inside
// xcomm_send_msg (one immediate send attempt) and xcomm_endp_wait (readiness
// loop), on the caller's thread. Several threads may call both on one endpoint;
// the endpoint lock serialises them.
//
// Every operation returns 0 (or a positive count) on success and a negative
// XCOMM_ERR_* code (datamover/util.h) on failure.
//
// ---------------------------------------------------------------------------
// Client role (what the MI and DM clients do)
//   xcomm_ctx_init(&ctx);
//   xcomm_endp_init(&ctx, &endp, "", streams, slots, htons(default_port), XCOMM_ENDP_NOFLAGS);
//   xcomm_endp_owner own = {.owner = me, .alloc_cb = my_alloc, .peek_sz = 36,
//                           .msgs_per_pass = 1, .reconnect = XCOMM_RECONNECT_OFF};
//   xcomm_endp_set_owner(&endp, &own);
//   xcomm_endp_open(&ctx, &endp, "10002@host");
//   m = xcomm_msg_alloc(n); m->hdr.type = XCOMM_MSG_REQ; xcomm_send_msg(...);
//   xcomm_endp_wait(&ctx, &endp, &m, nullptr, XCOMM_WAIT_PENDING);  // m is back with m->rmsg
//   xcomm_msg_free(m->rmsg); xcomm_msg_free(m);
//   xcomm_ctx_shutdown(&ctx);
//
// Server role (what the appliance does)
//   xcomm_endp_init(&ctx, &endp, "0@127.0.0.1", conns, slots, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS);
//   xcomm_listen(&ctx, &endp);                // or let the first wait do it
//   xcomm_endp_local_port(&endp);             // port actually bound
//   loop: xcomm_endp_wait(&ctx, &endp, &m, &tv, XCOMM_WAIT_INCOMING) with m = nullptr:
//     - m->hdr.type REQ: a request from m->fd. Answer with a message r:
//         r->hdr.type = XCOMM_MSG_RSP; r->hdr.rpc_id = m->hdr.rpc_id;
//         r->fd = m->fd; xcomm_send_msg(&ctx, &endp, r); then free m.
//       (xcomm_msg_reply_to(r, m) does the three and also guards against a
//       connection record that was recycled while the owner worked.)
//     - Errors from xcomm_endp_wait in the server role concern one connection
//       (which has been shut down) or XCOMM_ERR_RECONNECT_PENDING; the owner
//       keeps waiting.
//       The RSP stays pending until the client's ACK arrives; it then comes
//       back from xcomm_endp_wait (status XCOMM_MSG_DONE) and is the owner's
//       to free. An RSP whose connection went away comes back with status
//       XCOMM_MSG_CANCELLED and fd null.
//     - NOTIFY / DGRAM: delivered like a REQ; no answer expected.
//   endp.close_cb is told (endpoint lock held) whenever a connection leaves.
//   endp.accept_cb vets each newly negotiated connection (negative refuses).
//   A connection record (xcomm_fd) is recycled after close_cb; owners that key
//   per-connection state by xcomm_fd* must drop it in close_cb.
//
// One connection per endpoint (for one thread per connection):
//   the owner accepts on its own listening socket and hands the socket to
//   xcomm_endp_adopt_server on a freshly initialised endpoint (local name "",
//   conns 1). That endpoint then serves exactly that connection in the server
//   role (negotiate, REQ delivery, RSP, ACK) and never listens. Reconnection
//   is not granted on adopted endpoints (a reconnecting client would arrive on
//   another socket).
//
// Behaviour worth knowing:
// - Socket reads and writes never block (MSG_DONTWAIT): a thread that finds
//   nothing to read, or a full socket, keeps its progress and goes back to
//   waiting, so several threads may wait on one endpoint safely. Readiness
//   is waited for with poll(), so socket numbers above FD_SETSIZE are fine.
//   A thread that completes a message wakes the other waiters.
// - The allocation callback is called once min(peek_sz, 24 + payload) bytes
//   are buffered, so an owner's record head behind the header is complete.
//   The message it returns must take exactly the announced payload (sum of
//   the sgl lengths); otherwise the connection fails with XCOMM_ERR_BADMSG.
// - An RSP for a slot out of range, empty, or not holding a request fully
//   sent on that connection is dropped, as is an ACK for anything but an RSP
//   or NOTIFY fully sent on that connection; the connection goes on.
// - A client reads negotiate replies synchronously; a negotiate arriving in
//   the message stream fails the connection. A server accepts connect and
//   reconnect only on a new connection, disconnect only on a negotiated one.
// - Reconnection (client reconnect_allowed, server reconnect_timeout > 0):
//   when the peer closes or resets a connection that agreed on it, the client
//   reconnects and both sides put back, in sequence order, what the other
//   lacks: pending messages keep their numbers, and ACKs or datagrams that
//   had already left the queue are rebuilt from a record of recent sends (a
//   lost datagram's payload cannot be; its number is filled with an ACK for
//   no slot). After a reconnect a server numbers its retransmissions from the
//   client's last received + 1 and continues from there.
// - Connects never block: all attempts of one open (or reconnect) together
//   take at most connect_limit_ms; when that passes the open fails with
//   XCOMM_ERR_TIMEOUT. A refused connect fails at once.
// - The negotiate reply is awaited for at most negotiate_wait_s seconds.
// - Reads on a plain, negotiated connection take up to XCOMM_RECV_AHEAD
//   bytes beyond the message being framed (the next headers, several small
//   messages at once); only those bytes are copied, the rest of a payload is
//   read straight into its buffers.
// - Writes on a plain connection are gathered: the small messages queued
//   behind the one being written (ACKs, requests with a short record) and the
//   header of the next bigger one travel in the same write, their headers and
//   short records copied into the connection's gather room (payload entries
//   above XCOMM_GATHER_COPY bytes are never copied). The bytes on the wire
//   are the same as message by message. A socket that takes less than it is
//   offered is written again only once poll() reports it writable.
// - A message sent with XCOMM_MSG_MORE in its flag is queued without a write:
//   it goes with the next message sent without the flag, with
//   xcomm_endp_flush, or before the next wait blocks. With the owner's
//   defer_acks, the ACK of a received RSP waits the same way, so that it
//   rides with the next request.
// - TLS (xcomm_ssl.h): an endpoint with a certificate directory (or a shared
//   context) advertises TLS in its connect negotiate; a client that requires
//   it asks for it, a server that requires it demands it of capable clients,
//   never for a peer on 127.0.0.1. The handshake follows the negotiate on
//   the same socket: a client's inside its open or reconnect (bounded by
//   negotiate_wait_s), a server's step by step as the socket allows, with
//   nothing but the negotiate reply written before it completes. A client
//   whose connection ran in TLS makes a new handshake after a reconnect, and
//   the server's record waits for it before it retransmits.
//
// Callback rules: completion callbacks, release callbacks, close_cb and
// accept_cb run with the endpoint lock held and must not call back into the
// endpoint. alloc_cb runs without the lock.
// ---------------------------------------------------------------------------
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <platform_net.h>

#include "datamover/util.h"

// ---- wire constants ----
constexpr int XCOMM_HDR_SIZE = 24;
constexpr int XCOMM_HDR_PEEK_SIZE = 40;
// Receive room of a connection ahead of the message being framed: the peek,
// and on a plain negotiated connection the next messages' first bytes read
// together with the current one's last.
constexpr int XCOMM_RECV_AHEAD = 256;
// Room of a connection for the headers and short records of the messages
// gathered into one write, and the longest payload entry copied there.
constexpr int XCOMM_GATHER_SIZE = 1024;
constexpr uint32_t XCOMM_GATHER_COPY = 64;
constexpr uint8_t XCOMM_VERSION = 1;
constexpr uint16_t XCOMM_NEG_PLAIN = 0x55AA;
constexpr uint16_t XCOMM_NEG_TLS = 0x55AD;
constexpr uint32_t XCOMM_MAX_PAYLOAD = 0xFFFFFF;  // 24-bit length field

// Message types.
enum : uint8_t {
    XCOMM_MSG_REQ = 1,        // answered by an RSP carrying its rpc_id
    XCOMM_MSG_RSP = 2,        // acknowledged by the requester
    XCOMM_MSG_NOTIFY = 3,     // acknowledged
    XCOMM_MSG_ACK = 4,        // completes the sender's message in slot msg_id; no payload
    XCOMM_MSG_DGRAM = 5,      // never answered
    XCOMM_MSG_NEGOTIATE = 6,  // connection set-up, reconnect, disconnect; no payload
};

// Negotiate kinds (carried in sz_u of a negotiate).
enum : uint8_t {
    XCOMM_NEG_CONNECT = 1,
    XCOMM_NEG_RECONNECT = 2,
    XCOMM_NEG_DISCONNECT = 3,
};

// Capability bits in the rval of a client's connect negotiate.
enum : uint16_t {
    XCOMM_CAP_RECONNECT = 0x1,
    XCOMM_CAP_TLS = 0x2,
};

// Message status.
enum : int32_t {
    XCOMM_MSG_DONE = 0,
    XCOMM_MSG_BUSY = 1,
    XCOMM_MSG_CANCELLED = 2,
    XCOMM_MSG_FAILED = 3,
};

constexpr uint32_t XCOMM_MAGIC_IN_USE = 0xFEEDFACE;
constexpr uint32_t XCOMM_MAGIC_FREE = 0xDEADBEEF;

// Scatter-gather entries per message: a header and up to sixteen buffers,
// so that a DM request carries a run of cache pages without a copy.
constexpr int XCOMM_MAX_SGL = 17;

// Endpoint state bits.
enum : uint8_t {
    XCOMM_ENDP_INIT = 0x01,
    XCOMM_ENDP_LISTEN = 0x02,  // server role (listening, or serving an adopted socket)
    XCOMM_ENDP_OPEN = 0x04,    // client role, all streams connected
    XCOMM_ENDP_SHUTDOWN = 0x08,
};

// Flags of xcomm_endp_init.
enum : int {
    XCOMM_ENDP_NOFLAGS = 0,
    XCOMM_ENDP_USE_POLL = 0x04,  // accepted, no effect
};

// Default port of xcomm_endp_init for an endpoint whose names always carry one.
constexpr uint16_t XCOMM_NO_DEFAULT_PORT = 0;

// Flags of xcomm_endp_wait.
enum : int {
    XCOMM_WAIT_INCOMING = 0,  // also wait for messages nobody asked for (server role)
    XCOMM_WAIT_PENDING = 1,   // XCOMM_ERR_NOMSG at once when nothing of ours is pending
};

// Whether a client endpoint re-establishes a broken connection.
enum : int32_t {
    XCOMM_RECONNECT_OFF = 0,
    XCOMM_RECONNECT_ON = 1,
};

// Messages the handlers process per readiness event, unless the owner says otherwise.
constexpr int32_t XCOMM_MSGS_PER_PASS = 16;

// xcomm_msg::flag bits.
enum : int32_t {
    XCOMM_MSG_BUFS_RELEASED = 0x1,  // the owner took the sgl buffers back: no retransmission
    XCOMM_MSG_MORE = 0x2,           // xcomm_send_msg: more follow at once, queue this one without writing it
};

// Connection state bits.
enum : uint32_t {
    XCOMM_FD_ACTIVE = 0x01,        // on the active list
    XCOMM_FD_NEGOTIATED = 0x02,    // server: negotiate answered (the listening record: listening)
    XCOMM_FD_CONNECTED = 0x04,     // client: connected and negotiated
    XCOMM_FD_THROTTLED = 0x08,     // set by an allocation callback that refuses a message for now
    XCOMM_FD_ACCEPTED = 0x10,      // server: accepted, negotiate not yet received
    XCOMM_FD_RECONNECT = 0x20,     // server: on the reconnect list, waiting for its client
    XCOMM_FD_RECONNECTING = 0x40,  // client: reconnect in progress
};

// Process-wide socket options (xcomm_set_sockopt).
enum : int {
    XCOMM_OPT_RCVBUF = 1,
    XCOMM_OPT_SNDBUF = 2,
    XCOMM_OPT_NODELAY = 3,
    XCOMM_OPT_KEEPIDLE = 4,  // milliseconds
    XCOMM_OPT_KEEPCNT = 5,
    XCOMM_OPT_KEEPINTVL = 6,  // milliseconds
};

// TLS flag bits of an endpoint.
enum : int {
    XCOMM_TLS_CONFIGURED = 0x1,
    XCOMM_TLS_REQUIRED = 0x2,
};

// Verify modes of an endpoint's TLS.
enum : int32_t {
    XCOMM_TLS_VERIFY_NONE = 0,
    XCOMM_TLS_VERIFY_PEER = 1,    // the peer must present a certificate the CA signed
    XCOMM_TLS_VERIFY_STRICT = 2,  // ... whose own signature holds, and whose common name is the host's
};

// "Collect without waiting" marker for xcomm_endp_wait's timeout.
#define XCOMM_Q_POLL (reinterpret_cast<struct timeval *>(~static_cast<uintptr_t>(0)))

// ---- header ----
// In-memory header, host order, same field order and widths as the wire.
struct xcomm_hdr {
    uint8_t type;
    uint8_t sz_u;    // payload bits 16-23, or negotiate kind
    uint16_t sz_l;   // payload bits 0-15, or negotiate rval
    uint16_t rpc_id;
    uint16_t msg_id;
    uint32_t seq_no;
    uint32_t gen_no;
    uint64_t tag;
};
static_assert(sizeof(xcomm_hdr) == XCOMM_HDR_SIZE, "header is 24 bytes");
static_assert(offsetof(xcomm_hdr, rpc_id) == 4 && offsetof(xcomm_hdr, msg_id) == 6 &&
                  offsetof(xcomm_hdr, seq_no) == 8 && offsetof(xcomm_hdr, gen_no) == 12 &&
                  offsetof(xcomm_hdr, tag) == 16,
              "header field offsets follow the wire");

void xcomm_hdr_encode(const xcomm_hdr *h, unsigned char out[XCOMM_HDR_SIZE]);
void xcomm_hdr_decode(const unsigned char in[XCOMM_HDR_SIZE], xcomm_hdr *h);
inline uint32_t xcomm_hdr_get_size(const xcomm_hdr *h) { return (static_cast<uint32_t>(h->sz_u) << 16) | h->sz_l; }
inline void xcomm_hdr_set_size(xcomm_hdr *h, uint32_t sz)
{
    h->sz_u = static_cast<uint8_t>(sz >> 16);
    h->sz_l = static_cast<uint16_t>(sz);
}

struct xcomm_ctx;
struct xcomm_endp;
struct xcomm_fd;
struct xcomm_msg;
struct xcomm_slot;

// ---- callbacks ----
typedef void (*xcomm_complete_cb_t)(xcomm_endp *endp, xcomm_msg *msg);
typedef int (*xcomm_release_cb_t)(xcomm_endp *endp, xcomm_msg *msg);
// Returns a message whose sgl takes exactly the payload announced by the header
// at the start of peek (sum of sgl lengths == announced length), or null. At
// least XCOMM_HDR_SIZE bytes of peek are valid; fd->peek_bytes_available says
// how many (the engine waits for min(peek_sz, 24 + payload) before calling).
typedef xcomm_msg *(*xcomm_alloc_cb_t)(xcomm_endp *endp, xcomm_fd *fd, const unsigned char *peek);
typedef int (*xcomm_free_cb_t)(xcomm_msg *msg);
typedef int (*xcomm_accept_cb_t)(xcomm_endp *endp, xcomm_fd *fd);
typedef void (*xcomm_close_cb_t)(xcomm_endp *endp, xcomm_fd *fd, int reason);
typedef int (*xcomm_pre_recv_cb_t)(xcomm_msg *msg, struct iovec *iov, int cnt, uint32_t skip);
typedef int (*xcomm_post_recv_cb_t)(xcomm_msg *msg);
// Server role: a connection's TLS handshake ended, rc 0 with a description of
// the session ("TLSv1.2 AES256-SHA256, peer /CN=..."), or a failure with its
// reason. Endpoint lock held.
typedef void (*xcomm_tls_cb_t)(xcomm_endp *endp, xcomm_fd *fd, int rc, const char *text);

// ---- message ----
struct xcomm_sge {
    uint32_t iov_len;
    void *iov_base;
};

struct xcomm_msg {
    xcomm_hdr hdr;
    int32_t sgl_ents;     // entries of sgl in use, at most XCOMM_MAX_SGL
    int32_t status;       // XCOMM_MSG_*
    int32_t retries;      // times queued for retransmission; non-zero keeps seq_no
    void *ctx;            // owner's per-message context
    xcomm_fd *fd;         // connection it was sent or received on
    xcomm_msg *rmsg;      // completed REQ: its RSP
    xcomm_sge sgl[XCOMM_MAX_SGL];
    int32_t flag;         // XCOMM_MSG_BUFS_RELEASED, XCOMM_MSG_MORE
    xcomm_complete_cb_t complete_cb;
    xcomm_release_cb_t release_cb;
    xcomm_msg *next;      // completed-list links
    xcomm_msg *prev;
    uint32_t total_bytes;      // XCOMM_HDR_SIZE + payload
    uint32_t bytes_processed;  // written or read so far, header included
    xcomm_slot *pmsg;          // slot while pending
    uint32_t magic;
    uint32_t data_size;        // bytes of the data area after the control block
    int32_t rcvd;              // non-zero: built by the engine from received bytes
    uint32_t fd_gen;           // generation of fd when received (see xcomm_msg_reply_to)
};

// Data area of a message allocated with a size (16-byte aligned).
constexpr size_t XCOMM_MSG_CB_SIZE = (sizeof(xcomm_msg) + 15) & ~static_cast<size_t>(15);
inline unsigned char *xcomm_msg_data(xcomm_msg *m) { return reinterpret_cast<unsigned char *>(m) + XCOMM_MSG_CB_SIZE; }

// Zeroed message, magic XCOMM_MAGIC_IN_USE, size fields set from size; with a
// size, sgl[0] covers that many data bytes after the control block. Null when
// memory is short or size exceeds XCOMM_MAX_PAYLOAD.
xcomm_msg *xcomm_msg_alloc(uint32_t size);
// Makes rsp the answer to the received request req: type RSP, req's rpc_id
// and connection. A reply made this way is refused with XCOMM_ERR_FD if that
// connection has gone and its record serves another client meanwhile (an
// owner that copies only fd gets no such check).
void xcomm_msg_reply_to(xcomm_msg *rsp, const xcomm_msg *req);
// Frees a message (must carry XCOMM_MAGIC_IN_USE). Returns 0. Default free callback.
int xcomm_msg_free(xcomm_msg *msg);
// "msg[%p] type[%d] sz[%d] ..." into buf, always terminated. Returns buf.
char *xcomm_msg_to_str(const xcomm_msg *msg, char *buf, size_t len);
// Process-wide counts of messages allocated and freed (statistics).
uint64_t xcomm_msgs_allocated();
uint64_t xcomm_msgs_freed();

// ---- pending slot ----
struct xcomm_slot {
    xcomm_msg *msg;
    int32_t id;        // index in the slot table; -1 for a separately allocated ACK slot
    xcomm_slot *next;
    xcomm_slot *prev;
};

struct xcomm_sent_rec;  // the engine's record of recent sends (internal)

// ---- connection ----
struct xcomm_fd {
    int sock;                 // -1 when closed
    uint32_t state;           // XCOMM_FD_*
    uint8_t version;
    uint32_t next_send;
    uint32_t next_recv;
    struct sockaddr_in laddr;
    uint16_t lport;           // host order
    socklen_t addrlen;
    struct sockaddr_in raddr;
    uint16_t rport;           // host order
    xcomm_fd *next;
    xcomm_fd *prev;
    xcomm_endp *endp;
    int32_t index;            // position in the connection table
    uint8_t receive_state;    // the engine's framing states (internal)
    uint8_t send_state;
    int32_t peek_bytes_available;
    unsigned char peek[XCOMM_RECV_AHEAD];  // the next bytes; at most the first XCOMM_HDR_PEEK_SIZE go to alloc_cb
    unsigned char send_hdr[XCOMM_HDR_SIZE];
    unsigned char recv_hdr[XCOMM_HDR_SIZE];
    xcomm_msg *receive_msg;
    xcomm_msg *send_msg;
    int64_t state_sec;        // time of the last state change (monotonic)
    int64_t state_usec;
    struct {
        int32_t allowed;
        uint32_t key;
        uint64_t object;
        int32_t cnt;
        uint16_t rpc_id;
    } reconnect;
    void *ssl;                // TLS session, null on a plain connection
    int32_t ssl_want_write;   // a server handshake waits for the socket to take more
    void *owner_data;         // free for the endpoint owner (cleared on recycle)
    xcomm_sent_rec *sent;     // recent sends, allocated once reconnection is agreed
    int32_t recv_busy;        // a thread is inside the allocation callback for this connection
    uint32_t gen;             // counts the record's reuses (never 0)
    int32_t write_blocked;    // the socket took less than offered: written again once poll() says writable
    unsigned char gather[XCOMM_GATHER_SIZE];  // headers and short records of a gathered write
};

template <class T> struct xcomm_dlist {
    T *head;
    T *tail;
    int32_t cnt;
};

struct xcomm_stats {
    uint64_t sent[7];         // per type, messages fully written
    uint64_t rcvd[7];         // per type, messages fully read
    uint64_t dups;
    uint64_t partial_reads;
    uint64_t partial_writes;
    uint64_t send_errors;
    uint64_t send_bytes;
    uint64_t selects;
    uint64_t accepts;
    uint64_t reconnects;
    uint64_t slot_exhausted;
    uint64_t bad_slot;        // RSP/ACK for a slot out of range or not busy
    uint64_t stale_acks;
};

// ---- endpoint ----
struct xcomm_endp {
    std::mutex *lock;
    uint8_t state;            // XCOMM_ENDP_*
    int32_t peek_sz;          // XCOMM_HDR_SIZE .. XCOMM_HDR_PEEK_SIZE; owner may raise
    int32_t nconns;           // records in the connection table (conns + 1)
    int32_t rr_index;
    int32_t connect_attempts; // 4
    int32_t reconnect_allowed;// client: XCOMM_RECONNECT_ON after init; owner overwrites
    int32_t oreqs;            // slots
    int32_t msgs_per_pass;    // XCOMM_MSGS_PER_PASS after init
    int32_t use_poll;         // always 0
    void *owner;
    uint32_t peer_version;
    uint16_t default_port;    // network order
    xcomm_fd *fds;            // connection table
    xcomm_fd *listen_fd;      // server: the listening record, or null
    int32_t adopted;          // server endpoint serving one adopted socket
    xcomm_dlist<xcomm_fd> free_fds, active_fds, reconnect_fds;
    xcomm_slot *slots;        // slot table
    xcomm_dlist<xcomm_slot> pending, free_slots;
    xcomm_dlist<xcomm_msg> completed;
    xcomm_alloc_cb_t alloc_cb;
    xcomm_free_cb_t free_cb;
    xcomm_accept_cb_t accept_cb;
    xcomm_close_cb_t close_cb;
    xcomm_pre_recv_cb_t pre_recv_cb;
    xcomm_post_recv_cb_t post_recv_cb;
    xcomm_tls_cb_t tls_cb;
    xcomm_stats stats;
    int64_t last_select_sec;  // monotonic
    int64_t last_select_usec;
    char rname[80];
    xcomm_ctx *ctx;
    xcomm_endp *next;         // context list
    xcomm_endp *prev;
    int32_t reconnect_timeout;   // seconds; 0: a server never grants reconnection
    int32_t next_reconnect_key;
    uint64_t reconnect_count;    // client reconnects done / server reconnect requests seen
    uint64_t reconnect_seen;     // reconnect_count at the last wait check
    uint32_t object_nonce;       // high half of the reconnect object handles issued
    int32_t connect_wait_ms;     // pause after a failed connect attempt (1000)
    int32_t connect_limit_ms;    // limit for all connect attempts of one open or reconnect (300000)
    int32_t negotiate_wait_s;    // limit for a client's negotiate reply (60)
    int wake_fd;                 // wakes threads waiting in a pass when another completes a message
    int32_t pollers;             // threads inside the readiness wait
    uint64_t wake_seq;           // counts wake-ups: a waiter that saw an older value must not block
    int32_t wake_armed;          // wake_fd has been signalled and not yet reset
    int32_t defer_acks;          // ACKs wait for the next write (xcomm_endp_owner::defer_acks)
    // TLS
    int32_t tls_flags;        // XCOMM_TLS_*
    int32_t verify_mode;      // XCOMM_TLS_VERIFY_*
    void *ssl_ctx;            // the endpoint's reference to its TLS context
    char *ca_path;
    char *cert_path;
    char *key_path;
    char *crl_path;
};

// ---- context ----
struct xcomm_ctx {
    std::mutex *lock;
    int32_t endp_cnt;
    int32_t interrupted;
    char host_name[80];
    xcomm_endp *head;
    xcomm_endp *tail;
};

// ---- context and endpoint ----
int xcomm_ctx_init(xcomm_ctx *ctx);
int xcomm_ctx_shutdown(xcomm_ctx *ctx);

// local_name: "" for a client stream; "port@addr" for a server (port 0 binds
// any free port; see xcomm_endp_local_port). conns and oreqs must be > 0.
int xcomm_endp_init(xcomm_ctx *ctx, xcomm_endp *endp, const char *local_name, int conns, int oreqs,
                    uint16_t default_port_net, int flags);
int xcomm_endp_addstream(xcomm_ctx *ctx, xcomm_endp *endp, const char *local_name);

// What an owner sets on its endpoint between xcomm_endp_init and the open or
// first wait, in one call. Callbacks and sizes left unsaid keep the
// endpoint's defaults; reconnection is off unless asked for.
struct xcomm_endp_owner {
    void *owner = nullptr;                 // handed back to the callbacks as endp->owner
    xcomm_alloc_cb_t alloc_cb = nullptr;   // default: a message of the announced payload
    xcomm_free_cb_t free_cb = nullptr;     // default: xcomm_msg_free
    xcomm_accept_cb_t accept_cb = nullptr;
    xcomm_close_cb_t close_cb = nullptr;
    int32_t peek_sz = 0;                   // XCOMM_HDR_SIZE .. XCOMM_HDR_PEEK_SIZE: header and the owner's record head
    int32_t msgs_per_pass = 0;             // default XCOMM_MSGS_PER_PASS
    int32_t reconnect = XCOMM_RECONNECT_OFF;  // client role: XCOMM_RECONNECT_ON re-establishes broken connections
    int32_t reconnect_timeout_s = 0;       // server role: how long a broken connection waits for its client (0: never)
    xcomm_tls_cb_t tls_cb = nullptr;       // server role: told how each TLS handshake ended
    bool defer_acks = false;               // ACKs of received RSPs ride with the next request (or go before a wait blocks)
};
// 0, or XCOMM_ERR_ENDP for an endpoint not initialised or a peek size out of range.
int xcomm_endp_set_owner(xcomm_endp *endp, const xcomm_endp_owner *own);
// Limits of a client's open: every connect attempt of one open (or reconnect)
// together within connect_limit_ms (0 or less: 300 s), the negotiate reply
// within negotiate_wait_s (negative: no limit). 0, or XCOMM_ERR_ENDP.
int xcomm_endp_set_limits(xcomm_endp *endp, int32_t connect_limit_ms, int32_t negotiate_wait_s);
// remote_name: "port@host", "service@host" (services database, else the
// default port), or "host".
int xcomm_endp_open(xcomm_ctx *ctx, xcomm_endp *endp, const char *remote_name);
int xcomm_endp_shutdown(xcomm_ctx *ctx, xcomm_endp *endp);
int xcomm_endp_release(xcomm_ctx *ctx, xcomm_endp *endp);
bool xcomm_endp_busy(xcomm_endp *endp);

// Queues msg and makes one send attempt (none with XCOMM_MSG_MORE in its
// flag, or while the connection waits to be writable). A REQ comes back from
// xcomm_endp_wait once its RSP is in (msg->rmsg, the caller frees both); a
// NOTIFY once its ACK is in; a DGRAM once written (nothing answers it, and
// its buffers are the engine's until then). Messages whose connection goes
// come back XCOMM_MSG_CANCELLED with fd null. 0 when queued, XCOMM_ERR_BUSY when
// every slot is in use (nothing changed), XCOMM_ERR_FD when no usable
// connection exists, XCOMM_ERR_BADMSG for a message that cannot be framed
// (payload above 24 bits, more than XCOMM_MAX_SGL entries, bad type), or the
// send error.
int xcomm_send_msg(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_msg *msg);
// Writes what is queued (messages sent with XCOMM_MSG_MORE, deferred ACKs) on
// every connection that can take it now. 0, or the error of a connection that
// failed (it has been shut down).
int xcomm_endp_flush(xcomm_ctx *ctx, xcomm_endp *endp);
// Whether every connection of the endpoint has written all it was given:
// none is waiting for its socket to take more, none is part-way through a
// message.
bool xcomm_endp_write_idle(xcomm_endp *endp);

// Returns a completed message through *msgp. With *msgp naming a message on
// entry, waits for that one; with *msgp null, takes the first completed.
// timeout: null = no limit, XCOMM_Q_POLL = collect without waiting (0 with
// *msgp unchanged when nothing is ready). flags XCOMM_WAIT_PENDING:
// XCOMM_ERR_NOMSG at once when nothing is pending (or the message named is
// neither pending nor completed); XCOMM_WAIT_INCOMING waits regardless.
// msgp null: runs one pass and returns 0.
int xcomm_endp_wait(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_msg **msgp, struct timeval *timeout, int flags);

// One readiness pass (used by xcomm_endp_wait).
int xcomm_select(xcomm_ctx *ctx, xcomm_endp *endp, struct timeval *timeout);

// Server role: listen on connection-table entry 0 (done by the first wait when
// the endpoint is neither open nor listening).
int xcomm_listen(xcomm_ctx *ctx, xcomm_endp *endp);
// Port (host order) the endpoint's first socket is bound to, 0 if none.
int xcomm_endp_local_port(xcomm_endp *endp);
// Server role on one already-accepted socket (see the top of this file). The
// endpoint takes ownership of sock (closed on failure too).
int xcomm_endp_adopt_server(xcomm_ctx *ctx, xcomm_endp *endp, int sock);
// Shuts one connection down (its pending messages come back cancelled).
int xcomm_endp_close_fd(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_fd *fd);
// Shuts every connection down (the listening socket stays). Messages in
// flight come back cancelled and can then be collected with XCOMM_Q_POLL
// waits before xcomm_endp_shutdown: messages still on the completed list at
// shutdown that the owner sent are forgotten, not freed (an RSP a server
// sent and never saw acknowledged, for instance).
int xcomm_endp_close_all(xcomm_ctx *ctx, xcomm_endp *endp);
// The busy message in pending slot `slot`, or null (endpoint lock taken while
// looking). For allocation callbacks that land a response in the request's
// buffers.
xcomm_msg *xcomm_endp_pending_msg(xcomm_endp *endp, uint32_t slot);

// ---- names and options ----
// Resolves "port@host", "service@host", "@..." and "host" into an IPv4 address.
int xcomm_name_to_svc(xcomm_endp *endp, struct sockaddr_in *addr, const char *name);
// "%d@%s" (port, dotted address) into buf. Returns buf.
char *xcomm_addr_to_str(const struct sockaddr_in *addr, char *buf, size_t len);
// Process-wide socket options 1..6 (XCOMM_OPT_*). 0, or XCOMM_ERR_SOCKOPT for
// an unknown option number.
int xcomm_set_sockopt(int opt, int value);
int xcomm_get_sockopt(int opt);
