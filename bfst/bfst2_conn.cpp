// Connections and sessions of the transfer library, and the request and
// reply exchanges every call makes. Each wait ends at a deadline of the
// connection's timeout.
#include "bfst/bfst2_int.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <platform_net.h>

namespace {

constexpr uint32_t MAX_TIMEOUT_S = 86400;
constexpr size_t MAX_HOST = 255;

int64_t deadline_of(const bfst2_connection *c) { return bfst_now_ms() + int64_t(c->timeout_s) * 1000; }

// The connection cannot be used any more: the stream is in an unknown state.
int conn_break(bfst2_connection *c, int code, char **err, const char *op, const char *why)
{
    char text[384];
    snprintf(text, sizeof text, "%s: %s (appliance %s port %u)", op, why, c->host.c_str(), unsigned(c->port));
    c->broken_why = text;
    c->state = BFST2_BROKEN;
    bfst_link_close(&c->link);
    return bfst2_fail(err, code, "%s", text);
}

int io_break(bfst2_connection *c, int rc, char **err, const char *op)
{
    char why[224];
    bfst_io_text(&c->link, rc, why, sizeof why);
    if (rc == BFST_IO_TIMEOUT)
        snprintf(why, sizeof why, "no answer within %u seconds", unsigned(c->timeout_s));
    else if (rc == BFST_IO_CLOSED)
        snprintf(why, sizeof why, "the appliance closed the connection");
    return conn_break(c, BFST2_ERR_ABORTED, err, op, why);
}

bfst2_store *find_store(bfst2_connection *c, uint32_t id)
{
    for (bfst2_store *s : c->stores)
        if (s->id == id && (s->state == BFST2_ST_STARTED || s->state == BFST2_ST_SEALED))
            return s;
    return nullptr;
}

// Reads one frame: an asynchronous store error is recorded on its store and
// *async set; anything but OK or ERROR breaks the protocol.
int read_frame(bfst2_connection *c, const char *op, int64_t deadline, bfst2_reply *rep, bool *async, char **err)
{
    *async = false;
    unsigned char h[BFST_HDR_SIZE];
    int rc = bfst_link_read(&c->link, h, sizeof h, deadline);
    if (rc != BFST_IO_OK)
        return io_break(c, rc, err, op);
    const char *why = nullptr;
    // The appliance never sends data: no data length is allowed, and only
    // answers are taken.
    if (bfst_hdr_decode(h, 0, &rep->hdr, &why) != 0)
        return conn_break(c, BFST2_ERR_PROTOCOL, err, op, why);
    if (rep->hdr.type != BFST_OK && rep->hdr.type != BFST_ERROR)
        return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "the appliance sent a request instead of an answer");
    rc = bfst_link_read(&c->link, rep->payload, rep->hdr.len, deadline);
    if (rc != BFST_IO_OK)
        return io_break(c, rc, err, op);
    if ((rep->hdr.flags & BFST_F_ASYNC) == 0)
        return BFST2_OK;
    bfst_error e;
    if (bfst_error_decode(rep->payload, rep->hdr.len, &e) != 0 || e.code == 0)
        return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "malformed error report from the appliance");
    *async = true;
    if (bfst2_store *s = find_store(c, rep->hdr.id)) {
        s->state = BFST2_ST_FAILED;
        s->fail_code = int(e.code);
        s->fail_text = e.text;
    }
    return BFST2_OK;
}

int send_frame(bfst2_connection *c, const char *op, uint8_t type, uint32_t id, const unsigned char *payload,
               size_t len, char **err)
{
    unsigned char buf[BFST_HDR_SIZE + BFST_MAX_CTRL];
    if (len > BFST_MAX_CTRL)
        return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "request too large");
    bfst_hdr_encode(buf, type, id, uint32_t(len));
    if (len != 0)
        memcpy(buf + BFST_HDR_SIZE, payload, len);
    struct iovec iov = {buf, BFST_HDR_SIZE + len};
    int rc = bfst_link_writev(&c->link, &iov, 1, deadline_of(c));
    return rc == BFST_IO_OK ? BFST2_OK : io_break(c, rc, err, op);
}

// An answer that names the request it answers (when named): OK, or the
// code and text of an ERROR.
int answer_check(bfst2_connection *c, const char *op, bfst2_reply *rep, bool named, uint32_t id, char **err)
{
    if (rep->hdr.type == BFST_OK && named && rep->hdr.id != id)
        return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "the appliance answered another request");
    if (rep->hdr.type == BFST_ERROR) {
        bfst_error e;
        if (bfst_error_decode(rep->payload, rep->hdr.len, &e) != 0 || e.code == 0)
            return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "malformed error answer from the appliance");
        return bfst2_fail(err, int(e.code), "%s: the appliance refused: %s", op, e.text);
    }
    return BFST2_OK;
}

// Reads the next answer, taking in the store errors that arrive before it.
int read_reply(bfst2_connection *c, const char *op, bfst2_reply *rep, char **err)
{
    int64_t deadline = deadline_of(c);
    for (;;) {
        bool async = false;
        int rc = read_frame(c, op, deadline, rep, &async, err);
        if (rc != BFST2_OK || !async)
            return rc;
    }
}

// Sends a request and reads its answer, taking in store errors that arrive
// before it. An ERROR answer returns its code with the appliance's text.
int exchange_raw(bfst2_connection *c, const char *op, uint8_t type, uint32_t id, const unsigned char *payload,
                 size_t len, bfst2_reply *rep, char **err)
{
    int rc = send_frame(c, op, type, id, payload, len, err);
    if (rc == BFST2_OK)
        rc = read_reply(c, op, rep, err);
    if (rc != BFST2_OK)
        return rc;
    // Answers name what they answer; only a start names what it created.
    return answer_check(c, op, rep, type != BFST_SESSION_START && type != BFST_STORE_START, id, err);
}

}  // namespace

int bfst2_conn_usable(bfst2_connection *c, const char *op, char **err)
{
    switch (c->state) {
    case BFST2_OPEN:
        return BFST2_OK;
    case BFST2_BROKEN:
        return bfst2_fail(err, BFST2_ERR_ABORTED, "%s: the connection failed earlier: %s", op, c->broken_why.c_str());
    default:
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the connection is not open (bfst2_connect, bfst2_open)", op);
    }
}

int bfst2_exchange(bfst2_connection *c, const char *op, uint8_t type, uint32_t id, const unsigned char *payload,
                   size_t len, bfst2_reply *rep, char **err)
{
    int rc = bfst2_conn_usable(c, op, err);
    if (rc != BFST2_OK)
        return rc;
    return exchange_raw(c, op, type, id, payload, len, rep, err);
}

int bfst2_drain_async(bfst2_connection *c, const char *op, char **err)
{
    while (c->state == BFST2_OPEN && c->awaited == 0 && bfst_link_pending(&c->link)) {
        bfst2_reply rep;
        bool async = false;
        int rc = read_frame(c, op, deadline_of(c), &rep, &async, err);
        if (rc != BFST2_OK)
            return rc;
        if (!async)
            return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "an answer arrived that nobody asked for");
    }
    return bfst2_conn_usable(c, op, err);
}

int bfst2_send_frame(bfst2_connection *c, const char *op, uint8_t type, uint32_t id, const struct iovec *parts,
                     int n, char **err)
{
    unsigned char h[BFST_HDR_SIZE];
    struct iovec iov[4];
    if (n > 3)
        return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "frame of too many parts");
    size_t len = 0;
    for (int i = 0; i < n; ++i) {
        iov[i + 1] = parts[i];
        len += parts[i].iov_len;
    }
    bfst_hdr_encode(h, type, id, uint32_t(len));
    iov[0] = {h, sizeof h};
    int rc = bfst_link_writev(&c->link, iov, n + 1, deadline_of(c));
    return rc == BFST_IO_OK ? BFST2_OK : io_break(c, rc, err, op);
}

int bfst2_read_answer(bfst2_connection *c, const char *op, uint32_t id, bfst2_reply *rep, char **err)
{
    int rc = bfst2_conn_usable(c, op, err);
    if (rc == BFST2_OK)
        rc = read_reply(c, op, rep, err);
    return rc != BFST2_OK ? rc : answer_check(c, op, rep, true, id, err);
}

int bfst2_send_data(bfst2_connection *c, const char *op, uint32_t store_id, const void *data, uint32_t len,
                    char **err)
{
    unsigned char h[BFST_HDR_SIZE];
    bfst_hdr_encode(h, BFST_DATA, store_id, len);
    struct iovec iov[2] = {{h, sizeof h}, {const_cast<void *>(data), len}};
    int rc = bfst_link_writev(&c->link, iov, 2, deadline_of(c));
    return rc == BFST_IO_OK ? BFST2_OK : io_break(c, rc, err, op);
}

extern "C" {

// ---------------------------------------------------------------- connections

int bfst2_handle_create_remote_with_credential(const char *host, uint32_t port, uint32_t timeout_s,
                                               const char *encryption, bfst2_credential *cred, uint32_t,
                                               bfst2_connection **out, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_handle_create_remote_with_credential";
    if (out == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: no result", op);
    *out = nullptr;
    if (!bfst2_initialized())
        return bfst2_fail(err, BFST2_ERR_NOT_INITIALIZED, "%s: call bfst2_initialize first", op);
    if (host == nullptr || *host == '\0' || strnlen(host, MAX_HOST + 1) > MAX_HOST)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: no or too long host name", op);
    if (port == 0 || port > 65535)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: port %u is not valid", op, unsigned(port));
    if (timeout_s > MAX_TIMEOUT_S)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: timeout of %u seconds is too long", op,
                          unsigned(timeout_s));
    if (encryption == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: no encryption type", op);
    bfst2_conn_mode mode;
    if (strcmp(encryption, "ost-no-encrypt") == 0) {
        mode = BFST2_CLEAR;
    } else if (strcmp(encryption, "ost") == 0) {
        if (!bfst2_live(cred))
            return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: encryption type \"ost\" needs a credential", op);
        mode = cred->cert ? BFST2_TLS_CERT : BFST2_TLS_PSK;
    } else {
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: unknown encryption type \"%.64s\"", op, encryption);
    }
    auto *c = new (std::nothrow) bfst2_connection;
    if (c == nullptr)
        return bfst2_fail(err, BFST2_ERR_NOMEM, "%s: out of memory", op);
    c->host = host;
    c->port = uint16_t(port);
    c->timeout_s = timeout_s == 0 ? 60 : timeout_s;
    c->mode = mode;
    if (mode != BFST2_CLEAR) {
        SSL_CTX_up_ref(cred->ctx);
        c->ctx = cred->ctx;
        c->psk = cred->psk;
    }
    *out = c;
    return BFST2_OK;
}

int bfst2_connect(bfst2_connection *c, uint32_t flags, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_connect";
    if (!bfst2_live(c))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: not a connection", op);
    std::lock_guard<std::mutex> g(c->mu);
    if (c->state == BFST2_CONNECTED || c->state == BFST2_OPEN)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: already connected", op);
    bfst_link_close(&c->link);
    c->link = bfst_link{};
    c->state = BFST2_IDLE;
    int64_t deadline = deadline_of(c);
    int rc = bfst_link_connect(&c->link, c->host.c_str(), c->port, deadline);
    if (rc != BFST_IO_OK) {
        bfst_link_close(&c->link);
        return bfst2_fail(err, BFST2_ERR_ABORTED, "%s: %s", op, c->link.why);
    }
    bfst_hello hello;
    hello.min_version = BFST_PROTO_VERSION;
    hello.max_version = BFST_PROTO_DEDUP;
    hello.flags = (flags & BFST2_CONNECT_BACKUP) != 0 ? uint32_t(BFST_HELLO_BACKUP) : 0u;
    if (c->mode == BFST2_TLS_PSK)
        hello.flags |= BFST_HELLO_TLS_PSK;
    else if (c->mode == BFST2_TLS_CERT)
        hello.flags |= BFST_HELLO_TLS_CERT;
    unsigned char p[BFST_HELLO_SIZE];
    bfst2_reply rep;
    rc = exchange_raw(c, op, BFST_HELLO, 0, p, bfst_hello_encode(p, hello), &rep, err);
    if (rc != BFST2_OK) {
        // refused (busy, no common version) or lost: nothing stays open
        bfst_link_close(&c->link);
        c->state = BFST2_IDLE;
        return rc;
    }
    uint32_t version = 0;
    if (bfst_hello_ok_decode(rep.payload, rep.hdr.len, &version) != 0 || version < BFST_PROTO_VERSION ||
        version > BFST_PROTO_DEDUP)
        return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "the appliance answered with an unknown protocol version");
    c->version = version;
    if (c->mode != BFST2_CLEAR) {
        rc = bfst_link_tls_start(&c->link, c->ctx, false, c->mode == BFST2_TLS_PSK ? &c->psk : nullptr, deadline);
        if (rc == BFST_IO_TLS) {
            std::string why = c->link.why;
            return conn_break(c, BFST2_ERR_AUTH, err, op, why.c_str());
        }
        if (rc != BFST_IO_OK)
            return io_break(c, rc, err, "bfst2_connect (TLS handshake)");
    }
    c->state = BFST2_CONNECTED;
    return BFST2_OK;
}

int bfst2_open(bfst2_connection *c, uint32_t flags, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_open";
    if (!bfst2_live(c))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: not a connection", op);
    std::lock_guard<std::mutex> g(c->mu);
    if (c->state != BFST2_CONNECTED)
        return c->state == BFST2_BROKEN ? bfst2_conn_usable(c, op, err)
                                        : bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: connect first", op);
    unsigned char p[BFST_FLAGS_SIZE];
    bfst2_reply rep;
    int rc = exchange_raw(c, op, BFST_OPEN, 0, p, bfst_flags_encode(p, flags), &rep, err);
    if (rc != BFST2_OK)
        return rc;
    bfst_open_ok ok;
    if (bfst_open_ok_decode(rep.payload, rep.hdr.len, &ok) != 0)
        return conn_break(c, BFST2_ERR_PROTOCOL, err, op, "malformed open answer");
    c->tag_len = ok.tag_len;
    c->max_data = ok.max_data;
    c->features = c->version >= BFST_PROTO_DEDUP ? ok.features : 0;
    c->state = BFST2_OPEN;
    return BFST2_OK;
}

int bfst2_get_tag_length(bfst2_connection *c, uint32_t *length, char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(c) || length == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_get_tag_length: no connection or result");
    std::lock_guard<std::mutex> g(c->mu);
    if (c->tag_len == 0)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_get_tag_length: the connection was never opened");
    *length = c->tag_len;
    return BFST2_OK;
}

int bfst2_disconnect(bfst2_connection *c, uint32_t, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_disconnect";
    if (!bfst2_live(c))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: not a connection", op);
    std::lock_guard<std::mutex> g(c->mu);
    int rc = BFST2_OK;
    if (c->state == BFST2_CONNECTED || c->state == BFST2_OPEN) {
        // The appliance drops what was not finished; the goodbye only
        // confirms that it saw everything before.
        bfst2_reply rep;
        rc = exchange_raw(c, op, BFST_BYE, 0, nullptr, 0, &rep, err);
    }
    bfst_link_close(&c->link);
    c->state = BFST2_IDLE;
    return rc;
}

int bfst2_handle_destroy(bfst2_connection *c, uint32_t, char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(c))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_handle_destroy: not a connection");
    {
        std::lock_guard<std::mutex> g(c->mu);
        if (c->sessions != 0)
            return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_handle_destroy: %d sessions still exist",
                              c->sessions);
        bfst_link_close(&c->link);
    }
    SSL_CTX_free(c->ctx);
    bfst_psk_wipe(&c->psk);
    c->magic = BFST2_MAGIC_DEAD;
    delete c;
    return BFST2_OK;
}

// ---------------------------------------------------------------- sessions

int bfst2_session_create(bfst2_connection *c, uint32_t, bfst2_session **out, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_session_create";
    if (!bfst2_live(c) || out == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: no connection or result", op);
    *out = nullptr;
    std::lock_guard<std::mutex> g(c->mu);
    int rc = bfst2_conn_usable(c, op, err);
    if (rc != BFST2_OK)
        return rc;
    auto *s = new (std::nothrow) bfst2_session;
    if (s == nullptr)
        return bfst2_fail(err, BFST2_ERR_NOMEM, "%s: out of memory", op);
    s->conn = c;
    c->sessions++;
    *out = s;
    return BFST2_OK;
}

int bfst2_session_start(bfst2_session *s, uint32_t, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_session_start";
    if (!bfst2_live(s))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: not a session", op);
    std::lock_guard<std::mutex> g(s->conn->mu);
    if (s->started)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the session is already started", op);
    bfst2_reply rep;
    int rc = bfst2_exchange(s->conn, op, BFST_SESSION_START, 0, nullptr, 0, &rep, err);
    if (rc != BFST2_OK)
        return rc;
    if (rep.hdr.len != 0 || rep.hdr.id == 0)
        return conn_break(s->conn, BFST2_ERR_PROTOCOL, err, op, "malformed session answer");
    s->id = rep.hdr.id;
    s->started = true;
    return BFST2_OK;
}

int bfst2_session_finish(bfst2_session *s, uint32_t, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_session_finish";
    if (!bfst2_live(s))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: not a session", op);
    std::lock_guard<std::mutex> g(s->conn->mu);
    if (!s->started)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the session is not started", op);
    for (bfst2_store *st : s->conn->stores)
        if (st->sess == s && (st->state == BFST2_ST_STARTED || st->state == BFST2_ST_SEALED))
            return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: a store of the session is still open", op);
    s->started = false;
    bfst2_reply rep;
    return bfst2_exchange(s->conn, op, BFST_SESSION_FINISH, s->id, nullptr, 0, &rep, err);
}

int bfst2_session_destroy(bfst2_session *s, uint32_t, char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(s))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_session_destroy: not a session");
    bfst2_connection *c = s->conn;
    std::lock_guard<std::mutex> g(c->mu);
    if (s->stores != 0)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_session_destroy: %d stores still exist", s->stores);
    if (s->started && c->state == BFST2_OPEN) {
        bfst2_reply rep;
        char *ignored = nullptr;
        bfst2_exchange(c, "bfst2_session_destroy", BFST_SESSION_FINISH, s->id, nullptr, 0, &rep, &ignored);
        free(ignored);
    }
    c->sessions--;
    s->magic = BFST2_MAGIC_DEAD;
    delete s;
    return BFST2_OK;
}

}  // extern "C"
