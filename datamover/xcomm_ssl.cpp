// TLS sessions of the transport on OpenSSL: the socket BIO under every
// session, the client handshake inside an open, the server handshake as a
// receive state of the engine, and reads and writes through a session that
// never block. Contexts are built in xcomm_ssl_ctx.cpp.
#include "datamover/xcomm_ssl.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "datamover/posix/platform_xcomm.h"
#include "datamover/xcomm_ssl_int.h"

namespace {

constexpr const char *SRC = "xcomm";
// A client's handshake when its endpoint sets no limit on the negotiate:
// the peer still has this long to finish it.
constexpr int HANDSHAKE_LIMIT_S = 60;

SSL *sess(const xcomm_fd *fd) { return static_cast<SSL *>(fd->ssl); }

// ---------------------------------------------------------------- sockets under sessions

// A session reads and writes its socket through these: MSG_DONTWAIT keeps the
// engine's sockets in their blocking mode and still never waits, and
// MSG_NOSIGNAL keeps a vanished peer from raising SIGPIPE in the host process.
// The socket stays the connection's; the BIO never closes it.
//
// Sessions read ahead: one recv takes in as many records as the socket holds
// and the session's read buffer takes, instead of a recv for each record's
// header and another for its body. Records read ahead are off the socket, so
// the readiness loop must hear of them (xcomm_ssl_pending); whether the last
// recv found the socket empty tells a buffer that holds only the start of a
// record (wait for the socket) from one that holds whole records.
//
// A write of many records goes out with MSG_MORE on every record but the
// last, so the connection's TCP_NODELAY does not turn each record into a
// segment of its own: the stream leaves in segments as large as in clear,
// and the receiver wakes once for several records. The last record of a
// write always goes without, so nothing is held back once a write returns.
struct bio_sock {
    int sock = -1;
    bool drained = false;  // the last recv would have blocked
    bool more = false;     // the record being written is not the write's last
};

bio_sock *sock_of(BIO *b) { return static_cast<bio_sock *>(BIO_get_data(b)); }

int bio_sock_write(BIO *b, const char *buf, int len)
{
    BIO_clear_retry_flags(b);
    bio_sock *bs = sock_of(b);
    ssize_t r = send(bs->sock, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT | (bs->more ? MSG_MORE : 0));
    if (r < 0 && (xcomm_would_block(errno) || errno == EINTR))
        BIO_set_retry_write(b);
    return static_cast<int>(r);
}

int bio_sock_read(BIO *b, char *buf, int len)
{
    BIO_clear_retry_flags(b);
    bio_sock *bs = sock_of(b);
    ssize_t r = recv(bs->sock, buf, static_cast<size_t>(len), MSG_DONTWAIT);
    bs->drained = false;
    if (r < 0 && (xcomm_would_block(errno) || errno == EINTR)) {
        BIO_set_retry_read(b);
        bs->drained = errno != EINTR;
    }
    return static_cast<int>(r);
}

long bio_sock_ctrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_sock_create(BIO *b)
{
    auto *bs = new (std::nothrow) bio_sock;
    if (bs == nullptr)
        return 0;
    BIO_set_data(b, bs);
    BIO_set_init(b, 1);
    return 1;
}

int bio_sock_destroy(BIO *b)
{
    delete sock_of(b);
    BIO_set_data(b, nullptr);
    return 1;
}

// Process-wide TLS set-up, done once under the process-wide lock.
struct tls_globals {
    bool started = false;
    BIO_METHOD *sock_method = nullptr;
    ~tls_globals()
    {
        if (sock_method != nullptr)
            BIO_meth_free(sock_method);
    }
};
tls_globals g_tls;

int tls_startup()
{
    std::mutex *lk = xcomm_platform_startup() == 0 ? xcomm_global_lock() : nullptr;
    if (lk == nullptr) {
        ULOG_ERROR(SRC, "TLS cannot be set up: the process-wide lock is unavailable\n");
        return XCOMM_ERR_AUTH;
    }
    std::lock_guard<std::mutex> g(*lk);
    if (g_tls.started)
        return 0;
    // Thread ids and locking are OpenSSL's own business; only the strings
    // and the socket BIO are ours to set up.
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) {
        ULOG_ERROR(SRC, "OPENSSL_init_ssl failed\n");
        return XCOMM_ERR_AUTH;
    }
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "xcomm socket");
    if (m == nullptr || BIO_meth_set_write(m, bio_sock_write) != 1 || BIO_meth_set_read(m, bio_sock_read) != 1 ||
        BIO_meth_set_ctrl(m, bio_sock_ctrl) != 1 || BIO_meth_set_create(m, bio_sock_create) != 1 ||
        BIO_meth_set_destroy(m, bio_sock_destroy) != 1) {
        if (m != nullptr)
            BIO_meth_free(m);
        ULOG_ERROR(SRC, "BIO_meth_new failed\n");
        return XCOMM_ERR_AUTH;
    }
    g_tls.sock_method = m;
    g_tls.started = true;
    return 0;
}

// ---------------------------------------------------------------- error texts

// Logs every queued OpenSSL error with fmt ("...ret=%d, err=%d:%s\n") and
// leaves the text of the last in last (when given).
void log_queued(const char *fmt, int ret, char *last = nullptr, size_t last_len = 0)
{
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        util_log(UTIL_LOG_ERROR, SRC, __LINE__, fmt, ret, static_cast<int>(ERR_GET_REASON(e)), text);
        if (last != nullptr)
            util_strlcpy(last, text, last_len);
    }
}

bool is_unexpected_eof(unsigned long e)
{
    return ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

int ensure_ctx(xcomm_endp *endp)
{
    if (endp->ssl_ctx != nullptr)
        return 0;
    return xcomm_ssl_initialize_ctx(endp);
}

// A session on the connection's socket; null (logged by the caller) on failure.
SSL *new_session(xcomm_endp *endp, xcomm_fd *fd)
{
    SSL *ssl = SSL_new(static_cast<SSL_CTX *>(endp->ssl_ctx));
    if (ssl == nullptr)
        return nullptr;
    BIO *b = BIO_new(g_tls.sock_method);
    if (b == nullptr) {
        SSL_free(ssl);
        return nullptr;
    }
    sock_of(b)->sock = fd->sock;
    SSL_set_bio(ssl, b, b);
    // A write that returns short is taken up again from where it stopped;
    // the engine retries a blocked one from the same place.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_clear_mode(ssl, SSL_MODE_AUTO_RETRY);
    return ssl;
}

// Text of the oldest queued OpenSSL error, or "" when none is queued.
void first_error_text(char *buf, size_t len)
{
    unsigned long e = ERR_peek_error();
    if (e != 0)
        ERR_error_string_n(e, buf, len);
    else if (len != 0)
        buf[0] = '\0';
}

// Why a handshake failed, for the log and the server's owner.
void handshake_failure(SSL *ssl, int ret, int code, char *out, size_t len)
{
    long vr = SSL_get_verify_result(ssl);
    char text[256] = "";
    if (code == SSL_ERROR_SYSCALL) {
        int e = errno;
        if (e != 0) {
            char et[200];
            xcomm_errtext(e, et, sizeof et);
            snprintf(text, sizeof text, "SSL_ERROR_SYSCALL %d:%s", e, et);
        } else {
            snprintf(text, sizeof text, "SSL_ERROR_SYSCALL remote connection closed");
        }
    } else {
        first_error_text(text, sizeof text);
        if (text[0] == '\0')
            snprintf(text, sizeof text, "SSL error %d", code);
    }
    if (vr != X509_V_OK)
        snprintf(out, len, "peer certificate refused: %s (%s)", X509_verify_cert_error_string(vr), text);
    else
        snprintf(out, len, "%s", text);
    (void)ret;
}

}  // namespace

int xcomm_ssl_startup() { return tls_startup(); }

// ---------------------------------------------------------------- handshakes

int xcomm_ssl_connect(xcomm_endp *endp, xcomm_fd *fd)
{
    if (endp == nullptr || fd == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: endp(%p), fd(%p)\n", static_cast<void *>(endp), static_cast<void *>(fd));
        return XCOMM_ERR_ENDP;
    }
    int rc = ensure_ctx(endp);
    if (rc != 0) {
        ULOG_ERROR(SRC, "%s: xcomm_ssl_initialize_ctx failed, keyfile=%s rc=%d\n", endp->rname,
                   endp->key_path != nullptr ? endp->key_path : "NULL", rc);
        return rc;
    }
    char remote[64];
    xcomm_addr_to_str(&fd->raddr, remote, sizeof remote);
    ULOG_DEBUG_IF(SRC, "%s: attempt SSL connection to %s\n", endp->rname, remote);
    if (fd->ssl != nullptr)
        xcomm_ssl_shutdown(fd, 1);
    ERR_clear_error();
    SSL *ssl = new_session(endp, fd);
    if (ssl == nullptr) {
        unsigned long e = ERR_get_error();
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        ULOG_ERROR(SRC, "SSL_new failed, err=%d:%s\n", static_cast<int>(ERR_GET_REASON(e)), text);
        return XCOMM_ERR_AUTH;
    }
    SSL_set_connect_state(ssl);
    fd->ssl = ssl;
    const int limit_s = endp->negotiate_wait_s >= 0 ? endp->negotiate_wait_s : HANDSHAKE_LIMIT_S;
    const int64_t deadline = xcomm_monotime_ms() + static_cast<int64_t>(limit_s) * 1000;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int r = SSL_connect(ssl);
        if (r == 1)
            break;
        int code = SSL_get_error(ssl, r);
        short ev = code == SSL_ERROR_WANT_READ ? POLLIN : code == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        int64_t left = deadline - xcomm_monotime_ms();
        if (ev != 0 && left > 0) {
            struct pollfd p = {fd->sock, ev, 0};
            if (poll(&p, 1, static_cast<int>(left)) >= 0 || errno == EINTR)
                continue;
        }
        char text[256] = "";
        if (ev != 0) {
            snprintf(text, sizeof text, "no answer within %d seconds", limit_s);
        } else if (code == SSL_ERROR_SSL) {
            log_queued("SSL_connect failed, ret=%d, err=%d:%s\n", r, text, sizeof text);
        } else if (code == SSL_ERROR_SYSCALL) {
            int e = errno;
            if (e != 0) {
                char et[200];
                xcomm_errtext(e, et, sizeof et);
                snprintf(text, sizeof text, "SSL_ERROR_SYSCALL: %s", et);
            } else {
                snprintf(text, sizeof text, "SSL_ERROR_SYSCALL remote connection closed");
            }
        } else {
            first_error_text(text, sizeof text);
            if (text[0] == '\0')
                snprintf(text, sizeof text, "SSL error %d", code);
        }
        ULOG_ERROR(SRC, "SSL_connect to %s failed, ret=%d, err=%d:%s\n", remote, r, code, text);
        xcomm_ssl_shutdown(fd, 1);
        return XCOMM_ERR_AUTH;
    }
    rc = verify_cert(endp->verify_mode, ssl, nullptr);
    if (rc != 0) {
        xcomm_ssl_shutdown(fd, 1);
        return XCOMM_ERR_AUTH;
    }
    char desc[256];
    ULOG_INFO(SRC, "%s: %s OK\n", endp->rname, xcomm_ssl_describe(fd, desc, sizeof desc));
    return 0;
}

int xcomm_ssl_accept(xcomm_endp *endp, xcomm_fd *fd)
{
    if (endp == nullptr || fd == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: endp(%p), fd(%p)\n", static_cast<void *>(endp), static_cast<void *>(fd));
        return XCOMM_ERR_ENDP;
    }
    ULOG_DEBUG_IF(SRC, "%s: process SSL_accept, fd=%p, ssl=%p\n", endp->rname, static_cast<void *>(fd), fd->ssl);
    fd->ssl_want_write = 0;
    auto tell = [&](int rc, const char *text) {
        if (endp->tls_cb != nullptr)
            endp->tls_cb(endp, fd, rc, text);
    };
    if (ensure_ctx(endp) != 0) {
        ULOG_ERROR(SRC, "%s: xcomm_ssl_initialize_ctx failed, key_file=%s rc=%d\n", endp->rname,
                   endp->key_path != nullptr ? endp->key_path : "NULL", XCOMM_ERR_AUTH);
        tell(XCOMM_ERR_AUTH, "no TLS context");
        return XCOMM_ERR_AUTH;
    }
    ERR_clear_error();
    if (fd->ssl == nullptr) {
        SSL *ssl = new_session(endp, fd);
        if (ssl == nullptr) {
            unsigned long e = ERR_get_error();
            char text[256];
            ERR_error_string_n(e, text, sizeof text);
            ULOG_ERROR(SRC, "SSL_new fd=%p, failed, err=%d:%s\n", static_cast<void *>(fd),
                       static_cast<int>(ERR_GET_REASON(e)), text);
            tell(XCOMM_ERR_AUTH, text);
            return XCOMM_ERR_AUTH;
        }
        SSL_set_accept_state(ssl);
        fd->ssl = ssl;
    }
    SSL *ssl = sess(fd);
    errno = 0;
    int r = SSL_accept(ssl);
    if (r == 1) {
        char desc[256];
        xcomm_ssl_describe(fd, desc, sizeof desc);
        ULOG_DEBUG_IF(SRC, "%s: SSL_accept fd=%p, complete\n", endp->rname, static_cast<void *>(fd));
        tell(0, desc);
        return 0;
    }
    int code = SSL_get_error(ssl, r);
    if (code == SSL_ERROR_SSL || code == SSL_ERROR_SYSCALL || code == SSL_ERROR_ZERO_RETURN) {
        char why[512];
        handshake_failure(ssl, r, code, why, sizeof why);
        log_queued("SSL_accept failed, ret=%d, err=%d:%s\n", r);
        ULOG_ERROR(SRC, "SSL_accept fd=%p, failed, ret=%d, err=%d:%s\n", static_cast<void *>(fd), r, code, why);
        tell(XCOMM_ERR_AUTH, why);
        return XCOMM_ERR_AUTH;
    }
    fd->ssl_want_write = code == SSL_ERROR_WANT_WRITE ? 1 : 0;
    ULOG_TRACE(SRC, 1, "%s: SSL_accept fp=%p, not complete, retry later\n", endp->rname, static_cast<void *>(fd));
    return XCOMM_ERR_NOMSG;
}

// ---------------------------------------------------------------- reads and writes

int xcomm_ssl_recvmsg(xcomm_endp *endp, xcomm_fd *fd, struct iovec *iov, int cnt, int flags, int *err)
{
    (void)flags;
    ULOG_TRACE(SRC, 2, "Entering %s\n", __func__);
    SSL *ssl = fd != nullptr ? sess(fd) : nullptr;
    if (ssl == nullptr || iov == nullptr || err == nullptr) {
        if (err != nullptr)
            *err = XCOMM_WSAEINVAL;
        return XCOMM_ERR_RCV;
    }
    *err = 0;
    long total = 0;
    int reads = 0;
    bool closed = false, stop = false;
    for (int i = 0; i < cnt && !stop; ++i) {
        size_t done = 0;
        const size_t len = iov[i].iov_len;
        // Fill this entry before the next, so that bytes never land past a gap.
        while (done < len) {
            int want = static_cast<int>(std::min<size_t>(len - done, INT_MAX));
            ERR_clear_error();
            errno = 0;
            int r = SSL_read(ssl, static_cast<char *>(iov[i].iov_base) + done, want);
            reads++;
            if (r > 0) {
                done += static_cast<size_t>(r);
                continue;
            }
            int code = SSL_get_error(ssl, r);
            if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_NONE) {
                if (SSL_pending(ssl) > 0)
                    continue;
                *err = XCOMM_WSAEWOULDBLOCK;
                stop = true;
                break;
            }
            char text[256];
            int e = errno;
            unsigned long first = ERR_peek_error();
            if (code == SSL_ERROR_ZERO_RETURN || (code == SSL_ERROR_SYSCALL && e == 0) ||
                (code == SSL_ERROR_SSL && is_unexpected_eof(first))) {
                // The peer is gone, with or without saying so: end of stream.
                ERR_clear_error();
                closed = true;
                stop = true;
                break;
            }
            if (code == SSL_ERROR_SSL) {
                char last[200] = "protocol error";
                log_queued("SSL_ERROR_SSL, ret=%d, err=%d:%s\n", r, last, sizeof last);
                snprintf(text, sizeof text, "SSL_ERROR_SSL: %d:%s", e, last);
                *err = e != 0 ? e : XCOMM_WSAEINVAL;
            } else {
                char et[200];
                xcomm_errtext(e, et, sizeof et);
                snprintf(text, sizeof text, "SSL_ERROR_SYSCALL: %d:%s", e, et);
                *err = e;
            }
            ULOG_ERROR(SRC, "%s: SSL_read failed, fd=%p, sock=%d, ret=%d, err=%d:%s\n", endp->rname,
                       static_cast<void *>(fd), fd->sock, r, code, text);
            stop = true;
            break;
        }
        total += static_cast<long>(done);
        if (done < len)
            break;
    }
    int rc = total > 0 ? static_cast<int>(total) : closed ? 0 : XCOMM_ERR_RCV;
    if (total > 0)
        *err = 0;
    ULOG_TRACE(SRC, 2, "Exiting %s, reads=%d, rc=%d\n", __func__, reads, rc);
    return rc;
}

int xcomm_ssl_sendmsg(xcomm_endp *endp, xcomm_fd *fd, const struct iovec *iov, int cnt, int flags, int *err)
{
    (void)flags;
    ULOG_TRACE(SRC, 2, "Entering %s\n", __func__);
    SSL *ssl = fd != nullptr ? sess(fd) : nullptr;
    if (ssl == nullptr || iov == nullptr || err == nullptr) {
        if (err != nullptr)
            *err = XCOMM_WSAEINVAL;
        return XCOMM_ERR_SEND;
    }
    *err = 0;
    long total = 0;
    int writes = 0;
    bool stop = false;
    size_t left = 0;  // bytes of the vector not yet taken by the session
    for (int i = 0; i < cnt; ++i)
        left += iov[i].iov_len;
    bio_sock *bs = sock_of(SSL_get_wbio(ssl));
    // Every entry is a record (or records) of its own: the header always is.
    for (int i = 0; i < cnt && !stop; ++i) {
        size_t done = 0;
        const size_t len = iov[i].iov_len;
        while (done < len) {
            int want = static_cast<int>(std::min<size_t>(len - done, INT_MAX));
            ERR_clear_error();
            errno = 0;
            // A session writes at most a record a call (partial writes are on).
            bs->more = left > SSL3_RT_MAX_PLAIN_LENGTH;
            int r = SSL_write(ssl, static_cast<const char *>(iov[i].iov_base) + done, want);
            bs->more = false;
            writes++;
            if (r > 0)
                left -= static_cast<size_t>(r);
            if (r > 0) {
                done += static_cast<size_t>(r);
                continue;
            }
            int code = SSL_get_error(ssl, r);
            if (code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ || code == SSL_ERROR_NONE) {
                *err = XCOMM_WSAEWOULDBLOCK;
                stop = true;
                break;
            }
            int e = errno;
            char text[256];
            if (code == SSL_ERROR_SSL) {
                char last[200] = "protocol error";
                log_queued("SSL_write failed, ret=%d, err=%d:%s\n", r, last, sizeof last);
                snprintf(text, sizeof text, "SSL_ERROR_SSL: %d:%s", e, last);
            } else if (code == SSL_ERROR_SYSCALL) {
                char et[200];
                xcomm_errtext(e, et, sizeof et);
                snprintf(text, sizeof text, "SSL_ERROR_SYSCALL: %d:%s", e, et);
            } else {
                snprintf(text, sizeof text, "SSL_ERROR_ZERO_RETURN: %s", "remote connection closed by peer");
            }
            *err = e != 0 ? e : EPIPE;
            ULOG_ERROR(SRC, "%s: SSL_write failed, fd=%p, sock=%d, ret=%d, err=%d:%s\n", endp->rname,
                       static_cast<void *>(fd), fd->sock, r, code, text);
            stop = true;
            break;
        }
        total += static_cast<long>(done);
        if (done < len)
            break;
    }
    int rc = total > 0 ? static_cast<int>(total) : XCOMM_ERR_SEND;
    if (total > 0)
        *err = 0;
    ULOG_TRACE(SRC, 2, "Exiting %s, writes=%d, rc=%d\n", __func__, writes, rc);
    return rc;
}

int xcomm_ssl_pending(const xcomm_fd *fd)
{
    if (fd == nullptr || fd->ssl == nullptr)
        return 0;
    SSL *ssl = sess(fd);
    if (int n = SSL_pending(ssl); n > 0)
        return n;
    // Records read ahead and not yet decrypted: how many bytes they will give
    // is not known before they are, but a read will find them.
    BIO *b = SSL_get_rbio(ssl);
    return b != nullptr && !sock_of(b)->drained && SSL_has_pending(ssl) == 1 ? 1 : 0;
}

void xcomm_ssl_shutdown(xcomm_fd *fd, int quiet)
{
    if (fd == nullptr || fd->ssl == nullptr)
        return;
    SSL *ssl = sess(fd);
    if (!quiet && SSL_is_init_finished(ssl)) {
        // One close_notify, sent if the socket takes it; nobody waits for the answer.
        ERR_clear_error();
        int r = SSL_shutdown(ssl);
        if (r < 0)
            log_queued("SSL_shutdown failed, ret=%d, err=%d:%s\n", r);
    }
    ERR_clear_error();
    SSL_free(ssl);
    fd->ssl = nullptr;
    fd->ssl_want_write = 0;
}

char *xcomm_ssl_describe(const xcomm_fd *fd, char *buf, size_t len)
{
    if (buf == nullptr || len == 0)
        return buf;
    buf[0] = '\0';
    if (fd == nullptr || fd->ssl == nullptr)
        return buf;
    SSL *ssl = sess(fd);
    char subject[256] = "none";
    if (X509 *peer = SSL_get0_peer_certificate(ssl); peer != nullptr)
        X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
    snprintf(buf, len, "%s %s, peer %s", SSL_get_version(ssl), SSL_get_cipher_name(ssl), subject);
    return buf;
}