// Byte transport of the BFST protocol, shared by the transfer library and
// the appliance: a non-blocking TCP socket, optionally wrapped in TLS 1.2,
// where every read, write, connect and handshake runs against an absolute
// deadline and never raises SIGPIPE. The link counts the bytes that crossed
// the socket (TLS records included) for the link statistics.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <platform_net.h>

enum : int {
    BFST_IO_OK = 0,
    BFST_IO_TIMEOUT = -1,   // the deadline passed
    BFST_IO_CLOSED = -2,    // the peer closed the connection
    BFST_IO_ERROR = -3,     // socket error; its errno is in link->err
    BFST_IO_TLS = -4,       // TLS failure; the reason is in link->why
    BFST_IO_STOPPED = -5,   // the stop descriptor became readable
};

struct bfst_link {
    int fd = -1;
    SSL *ssl = nullptr;
    int stop_fd = -1;       // polled beside the socket when not -1
    int err = 0;
    char why[192] = {};
    uint64_t sent = 0;      // bytes written to the socket
    uint64_t received = 0;  // bytes read from the socket
};

// Monotonic milliseconds; deadlines are points on this clock.
int64_t bfst_now_ms();

// Connects to host:port (every address the name has, in turn) before the
// deadline. BFST_IO_OK, or a failure with the reason in link->why.
int bfst_link_connect(bfst_link *l, const char *host, uint16_t port, int64_t deadline);

// Serves an accepted socket (made non-blocking); stop_fd may be -1.
void bfst_link_adopt(bfst_link *l, int fd, int stop_fd);

// Sends every byte of the vector (which is advanced in place).
int bfst_link_writev(bfst_link *l, struct iovec *iov, int cnt, int64_t deadline);
// Reads exactly len bytes.
int bfst_link_read(bfst_link *l, void *buf, size_t len, int64_t deadline);
// Reads between 1 and max bytes: the count, or a negative BFST_IO_* code.
long bfst_link_read_some(bfst_link *l, void *buf, size_t max, int64_t deadline);
// True when a read would not wait: bytes, the end of the stream or an error
// are there now.
bool bfst_link_pending(bfst_link *l);

// Runs the TLS handshake as client or server. On failure the session is
// freed again and link->why says why; BFST_IO_TLS means the peer or this
// side refused the other's key or certificate.
int bfst_link_tls_start(bfst_link *l, SSL_CTX *ctx, bool server, void *app_data, int64_t deadline);

// Ends TLS without waiting and closes the socket.
void bfst_link_close(bfst_link *l);

// Text for a failed I/O result ("timed out", "connection closed by the
// peer", the socket error, the TLS reason).
const char *bfst_io_text(const bfst_link *l, int rc, char *buf, size_t len);
