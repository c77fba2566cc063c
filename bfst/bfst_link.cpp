// Socket and TLS transport of the BFST protocol (see bfst_link.h).
#include "bfst/bfst_link.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <platform_net.h>
#include <platform_tcp.h>

int64_t bfst_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

void set_why(bfst_link *l, const char *fmt, const char *a = "", const char *b = "")
{
    snprintf(l->why, sizeof l->why, fmt, a, b);
}

// Waits until the socket is ready for events or the deadline passes.
int wait_for(bfst_link *l, short events, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - bfst_now_ms();
        if (left <= 0)
            return BFST_IO_TIMEOUT;
        xcomm_pollfd p[2] = {{l->fd, events, 0}, {l->stop_fd, POLLIN, 0}};
        int n = xcomm_poll(p, l->stop_fd >= 0 ? 2 : 1, left > 60000 ? 60000 : int(left));
        if (n < 0) {
            if (xcomm_sock_error() == XCOMM_WSAEINTR)
                continue;
            l->err = xcomm_sock_error();
            return BFST_IO_ERROR;
        }
        if (n == 0)
            continue;
        if (l->stop_fd >= 0 && (p[1].revents & POLLIN) != 0)
            return BFST_IO_STOPPED;
        if (p[0].revents != 0)
            return BFST_IO_OK;
    }
}

void set_options(int fd)
{
    xcomm_tcp_link_options(fd, 60, 10, 6);
}

// ---------------------------------------------------------------- TLS socket BIO
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE in the
// host process when the peer is gone; this one never does and
// counts the bytes for the link statistics.

int bio_write(BIO *b, const char *buf, int len)
{
    auto *l = static_cast<bfst_link *>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    long n = xcomm_net_send(l->fd, buf, size_t(len));
    if (n >= 0) {
        l->sent += uint64_t(n);
        return int(n);
    }
    int e = xcomm_sock_error();
    if (xcomm_would_block(e) || e == XCOMM_WSAEINTR)
        BIO_set_retry_write(b);
    else
        l->err = e;
    return -1;
}

int bio_read(BIO *b, char *buf, int len)
{
    auto *l = static_cast<bfst_link *>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    long n = xcomm_net_recv(l->fd, buf, size_t(len));
    if (n >= 0) {
        l->received += uint64_t(n);
        return int(n);
    }
    int e = xcomm_sock_error();
    if (xcomm_would_block(e) || e == XCOMM_WSAEINTR)
        BIO_set_retry_read(b);
    else
        l->err = e;
    return -1;
}

long bio_ctrl(BIO *, int cmd, long, void *)
{
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO *b)
{
    BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD *bio_method()
{
    static BIO_METHOD *meth = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "bfst socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, bio_write);
            BIO_meth_set_read(m, bio_read);
            BIO_meth_set_ctrl(m, bio_ctrl);
            BIO_meth_set_create(m, bio_create);
        }
        meth = m;
    });
    return meth;
}

// The reason of a TLS failure: the certificate check when that failed, else
// OpenSSL's first queued error.
void tls_reason(bfst_link *l, const char *what)
{
    long vr = l->ssl != nullptr ? SSL_get_verify_result(l->ssl) : X509_V_OK;
    unsigned long e = ERR_peek_error();
    if (vr != X509_V_OK) {
        set_why(l, "%s: certificate check failed: %s", what, X509_verify_cert_error_string(vr));
    } else if (e != 0) {
        char text[160];
        ERR_error_string_n(e, text, sizeof text);
        set_why(l, "%s: %s", what, text);
    } else {
        set_why(l, "%s failed", what);
    }
    ERR_clear_error();
}

// Maps an SSL result onto a wait or a failure. 1: wait done, retry;
// otherwise a BFST_IO_* failure.
int tls_step(bfst_link *l, int ret, const char *what, int64_t deadline)
{
    int e = SSL_get_error(l->ssl, ret);
    switch (e) {
    case SSL_ERROR_WANT_READ: {
        int rc = wait_for(l, POLLIN, deadline);
        return rc == BFST_IO_OK ? 1 : rc;
    }
    case SSL_ERROR_WANT_WRITE: {
        int rc = wait_for(l, POLLOUT, deadline);
        return rc == BFST_IO_OK ? 1 : rc;
    }
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return BFST_IO_CLOSED;
    case SSL_ERROR_SYSCALL:
        ERR_clear_error();
        return l->err != 0 ? BFST_IO_ERROR : BFST_IO_CLOSED;
    default:
        tls_reason(l, what);
        return BFST_IO_TLS;
    }
}

}  // namespace

int bfst_link_connect(bfst_link *l, const char *host, uint16_t port, int64_t deadline)
{
    l->err = 0;
    if (xcomm_net_startup() != 0) {
        set_why(l, "the socket library did not start");
        return BFST_IO_ERROR;
    }
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char svc[8];
    snprintf(svc, sizeof svc, "%u", unsigned(port));
    struct addrinfo *res = nullptr;
    int grc = getaddrinfo(host, svc, &hints, &res);
    if (grc != 0 || res == nullptr) {
        set_why(l, "cannot resolve %s: %s", host, gai_strerror(grc));
        return BFST_IO_ERROR;
    }
    int rc = BFST_IO_ERROR;
    for (struct addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        int fd = xcomm_net_socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) {
            l->err = xcomm_sock_error();
            continue;
        }
        l->fd = fd;
        if (connect(fd, ai->ai_addr, int(ai->ai_addrlen)) == 0) {
            rc = BFST_IO_OK;
        } else if (xcomm_connect_pending(xcomm_sock_error())) {
            rc = wait_for(l, POLLOUT, deadline);
            if (rc == BFST_IO_OK) {
                int soerr = 0;
                socklen_t sl = sizeof soerr;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soerr), &sl);
                if (soerr != 0) {
                    l->err = soerr;
                    rc = BFST_IO_ERROR;
                }
            }
        } else {
            l->err = xcomm_sock_error();
            rc = BFST_IO_ERROR;
        }
        if (rc == BFST_IO_OK) {
            set_options(fd);
            break;
        }
        xcomm_sock_close(fd);
        l->fd = -1;
        if (rc == BFST_IO_TIMEOUT)
            break;
    }
    freeaddrinfo(res);
    if (rc == BFST_IO_TIMEOUT)
        set_why(l, "no connection to %s within the time allowed", host);
    else if (rc != BFST_IO_OK)
        snprintf(l->why, sizeof l->why, "cannot connect to %s port %u: %s", host, unsigned(port), xcomm_net_strerror(l->err));
    return rc;
}

void bfst_link_adopt(bfst_link *l, int fd, int stop_fd)
{
    l->fd = fd;
    l->stop_fd = stop_fd;
    int fl;
    xcomm_nonblock_begin(fd, &fl);
    set_options(fd);
}

int bfst_link_writev(bfst_link *l, struct iovec *iov, int cnt, int64_t deadline)
{
    while (cnt > 0 && iov->iov_len == 0) {
        ++iov;
        --cnt;
    }
    while (cnt > 0) {
        if (l->ssl != nullptr) {
            ERR_clear_error();
            size_t n = 0;
            int ret = SSL_write_ex(l->ssl, iov->iov_base, iov->iov_len, &n);
            if (ret <= 0) {
                int rc = tls_step(l, ret, "TLS write", deadline);
                if (rc != 1)
                    return rc;
                continue;
            }
            iov->iov_base = static_cast<char *>(iov->iov_base) + n;
            iov->iov_len -= n;
        } else {
            long n = xcomm_net_sendv(l->fd, iov, cnt);
            if (n < 0) {
                int e = xcomm_sock_error();
                if (e == XCOMM_WSAEINTR)
                    continue;
                if (!xcomm_would_block(e)) {
                    l->err = e;
                    return xcomm_peer_gone(e) ? BFST_IO_CLOSED : BFST_IO_ERROR;
                }
                int rc = wait_for(l, POLLOUT, deadline);
                if (rc != BFST_IO_OK)
                    return rc;
                continue;
            }
            l->sent += uint64_t(n);
            size_t left = size_t(n);
            while (cnt > 0 && left >= iov->iov_len) {
                left -= iov->iov_len;
                ++iov;
                --cnt;
            }
            if (cnt > 0) {
                iov->iov_base = static_cast<char *>(iov->iov_base) + left;
                iov->iov_len -= left;
            }
        }
        while (cnt > 0 && iov->iov_len == 0) {
            ++iov;
            --cnt;
        }
    }
    return BFST_IO_OK;
}

long bfst_link_read_some(bfst_link *l, void *buf, size_t max, int64_t deadline)
{
    if (max == 0)
        return 0;
    for (;;) {
        if (l->ssl != nullptr) {
            ERR_clear_error();
            size_t n = 0;
            int ret = SSL_read_ex(l->ssl, buf, max, &n);
            if (ret > 0)
                return long(n);
            int rc = tls_step(l, ret, "TLS read", deadline);
            if (rc != 1)
                return rc;
            continue;
        }
        long n = xcomm_net_recv(l->fd, buf, max);
        if (n > 0) {
            l->received += uint64_t(n);
            return long(n);
        }
        if (n == 0)
            return BFST_IO_CLOSED;
        int e = xcomm_sock_error();
        if (e == XCOMM_WSAEINTR)
            continue;
        if (!xcomm_would_block(e)) {
            l->err = e;
            return e == XCOMM_WSAECONNRESET ? BFST_IO_CLOSED : BFST_IO_ERROR;
        }
        int rc = wait_for(l, POLLIN, deadline);
        if (rc != BFST_IO_OK)
            return rc;
    }
}

int bfst_link_read(bfst_link *l, void *buf, size_t len, int64_t deadline)
{
    auto *p = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < len) {
        long n = bfst_link_read_some(l, p + done, len - done, deadline);
        if (n < 0)
            return int(n);
        done += size_t(n);
    }
    return BFST_IO_OK;
}

bool bfst_link_pending(bfst_link *l)
{
    if (l->ssl != nullptr && SSL_pending(l->ssl) > 0)
        return true;
    xcomm_pollfd p = {l->fd, POLLIN, 0};
    return xcomm_poll(&p, 1, 0) > 0;
}

int bfst_link_tls_start(bfst_link *l, SSL_CTX *ctx, bool server, void *app_data, int64_t deadline)
{
    BIO_METHOD *meth = bio_method();
    SSL *ssl = meth != nullptr ? SSL_new(ctx) : nullptr;
    BIO *bio = ssl != nullptr ? BIO_new(meth) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        set_why(l, "cannot set up a TLS session (out of memory)");
        return BFST_IO_TLS;
    }
    BIO_set_data(bio, l);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_app_data(ssl, app_data);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
    l->ssl = ssl;
    const char *what = server ? "TLS handshake with the client" : "TLS handshake with the appliance";
    for (;;) {
        ERR_clear_error();
        int ret = server ? SSL_accept(ssl) : SSL_connect(ssl);
        if (ret == 1)
            return BFST_IO_OK;
        int rc = tls_step(l, ret, what, deadline);
        if (rc == 1)
            continue;
        if (rc == BFST_IO_CLOSED)
            snprintf(l->why, sizeof l->why, "%s: the peer closed the connection", what);
        SSL_free(ssl);
        l->ssl = nullptr;
        return rc;
    }
}

void bfst_link_close(bfst_link *l)
{
    if (l->ssl != nullptr) {
        // One close_notify if the socket takes it now; nobody waits for the answer.
        ERR_clear_error();
        SSL_shutdown(l->ssl);
        ERR_clear_error();
        SSL_free(l->ssl);
        l->ssl = nullptr;
    }
    if (l->fd >= 0)
        xcomm_sock_close(l->fd);
    l->fd = -1;
}

const char *bfst_io_text(const bfst_link *l, int rc, char *buf, size_t len)
{
    switch (rc) {
    case BFST_IO_TIMEOUT:
        snprintf(buf, len, "timed out");
        break;
    case BFST_IO_CLOSED:
        snprintf(buf, len, "connection closed by the peer");
        break;
    case BFST_IO_ERROR:
        snprintf(buf, len, "%s", xcomm_net_strerror(l->err));
        break;
    case BFST_IO_TLS:
        snprintf(buf, len, "%s", l->why[0] != '\0' ? l->why : "TLS failure");
        break;
    case BFST_IO_STOPPED:
        snprintf(buf, len, "service stopping");
        break;
    default:
        snprintf(buf, len, "I/O result %d", rc);
        break;
    }
    return buf;
}
