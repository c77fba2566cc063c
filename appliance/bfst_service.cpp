// The appliance's BFST service (see bfst_service.h and bfst/bfst_proto.h).
#include "appliance/bfst_conn.h"

#include "appliance/blob_store.h"
#include "appliance/chunk_store.h"
#include "appliance/server.h"
#include "bfst/bfst2.h"
#include "bfst/bfst_dedup.h"
#include "bfst/bfst_link.h"
#include "bfst/bfst_proto.h"
#include "bfst/bfst_tls.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>
#include <unistd.h>
#include <vector>

namespace {

// The passwords the library derives its pre-shared keys from.
const char *const DEFAULT_PSK_PASSWORDS[] = {"lakeside", "5C3E9A17B0D24F68A1E7C93B40D6F215"};

constexpr int64_t HELLO_MS = 30000;      // for the greeting and the TLS handshake
constexpr int64_t FRAME_MS = 60000;      // for the rest of a frame once its header came
constexpr int REFUSERS = 16;             // threads that may be busy saying "busy"

}  // namespace

namespace bfst_svc {

static int64_t idle_ms(const srv_conn *c) { return int64_t(c->sh->cfg.bfst_idle_timeout_s) * 1000; }
int64_t frame_deadline(const srv_conn *c) { return bfst_now_ms() + std::min(FRAME_MS, idle_ms(c)); }

void log_io(srv_conn *c, int rc, const char *what)
{
    char why[224];
    int level = rc == BFST_IO_CLOSED || rc == BFST_IO_STOPPED ? APPL_LOG_DEBUG : APPL_LOG_WARNING;
    ALOG(c->sh->log, level, "BFST connection %llu from %s: %s: %s", (unsigned long long)c->id, c->peer, what,
         bfst_io_text(&c->link, rc, why, sizeof why));
}

// Waits the reply delay of the test switch (cut short when the service stops).
static void reply_delay(srv_conn *c)
{
    uint32_t ms = c->sh->cfg.bfst_delay_ms;
    if (ms == 0)
        return;
    struct pollfd p = {c->svc->acc.stop_pipe[0], POLLIN, 0};
    poll(&p, 1, int(ms));
}

static bool send_frame(srv_conn *c, uint8_t type, uint32_t id, const unsigned char *payload, size_t len,
                       uint16_t flags = 0)
{
    unsigned char buf[BFST_HDR_SIZE + BFST_MAX_CTRL];
    bfst_hdr_encode(buf, type, id, uint32_t(len), flags);
    if (len != 0)
        memcpy(buf + BFST_HDR_SIZE, payload, len);
    struct iovec iov = {buf, BFST_HDR_SIZE + len};
    int rc = bfst_link_writev(&c->link, &iov, 1, frame_deadline(c));
    if (rc != BFST_IO_OK) {
        log_io(c, rc, "cannot send an answer");
        return false;
    }
    return true;
}

bool reply_ok(srv_conn *c, uint32_t id, const unsigned char *payload, size_t len)
{
    reply_delay(c);
    return send_frame(c, BFST_OK, id, payload, len);
}

bool reply_error(srv_conn *c, uint32_t id, uint32_t code, const char *text, bool async)
{
    if (!async)
        reply_delay(c);
    unsigned char p[BFST_ERROR_MAX_SIZE];
    return send_frame(c, BFST_ERROR, id, p, bfst_error_encode(p, code, text), async ? BFST_F_ASYNC : 0);
}

srv_store *find_store(srv_conn *c, uint32_t id)
{
    for (srv_store &s : c->stores)
        if (s.id == id)
            return &s;
    return nullptr;
}

bool has_session(const srv_conn *c, uint32_t id)
{
    for (uint32_t s : c->sessions)
        if (s == id)
            return true;
    return false;
}

void drop_store(srv_store *s)
{
    if (s->w != nullptr)
        blob_abandon(s->w);
    s->w = nullptr;
    if (s->cs != nullptr && !s->refs.empty())
        chunk_unref(s->cs, s->refs.data(), s->refs.size());
    s->refs.clear();
    s->pending.clear();
}

void fail_store(srv_store *s, uint32_t code, const char *text)
{
    drop_store(s);
    s->state = ST_FAILED;
    s->fail_code = code;
    snprintf(s->fail_text, sizeof s->fail_text, "%s", text);
}


}  // namespace bfst_svc

namespace {

using namespace bfst_svc;

bool finish_session(srv_conn *c, const bfst_hdr &h)
{
    auto it = std::find(c->sessions.begin(), c->sessions.end(), h.id);
    if (it == c->sessions.end())
        return reply_error(c, h.id, BFST2_ERR_NOT_FOUND, "no such session");
    for (const srv_store &s : c->stores)
        if (s.session == h.id)
            return reply_error(c, h.id, BFST2_ERR_INVALID_ARG, "a store of the session is still open");
    c->sessions.erase(it);
    return reply_ok(c, h.id);
}

// Handles one request after the greeting. False ends the connection.
bool handle(srv_conn *c, const bfst_hdr &h, const unsigned char *payload)
{
    if (h.type == BFST_DATA)
        return c->opened && take_data(c, h);
    if (h.type == BFST_CHUNK_QUERY)
        return c->opened && c->version >= BFST_PROTO_DEDUP && take_query(c, h);
    if (h.type == BFST_CHUNK)
        return c->opened && c->version >= BFST_PROTO_DEDUP && take_chunk(c, h);
    if (!c->opened && h.type != BFST_OPEN)
        return false;
    // Every other request sees the stores as the chunks sent so far left them.
    if (!drain_chunks(c))
        return false;
    switch (h.type) {
    case BFST_OPEN: {
        uint32_t flags = 0;
        if (c->opened || bfst_flags_decode(payload, h.len, &flags) != 0)
            return false;
        c->opened = true;
        bfst_open_ok ok;
        ok.tag_len = BLOB_TAG_BYTES;
        ok.max_data = BFST_SVC_MAX_DATA;
        ok.features =
            c->version >= BFST_PROTO_DEDUP && c->sh->chunks != nullptr && c->sh->cfg.dedup ? uint32_t(BFST_FEAT_DEDUP) : 0u;
        unsigned char p[BFST_OPEN_OK_SIZE];
        return reply_ok(c, 0, p, bfst_open_ok_encode(p, ok));
    }
    case BFST_SESSION_START:
        if (h.len != 0)
            return false;
        if (c->sessions.size() >= size_t(BFST_SVC_MAX_SESSIONS))
            return reply_error(c, 0, BFST2_ERR_INVALID_ARG, "too many sessions on one connection");
        c->sessions.push_back(c->next_id++);
        return reply_ok(c, c->sessions.back());
    case BFST_SESSION_FINISH:
        return h.len == 0 && finish_session(c, h);
    case BFST_STORE_START:
        return start_store(c, h, payload);
    case BFST_STORE_TAG:
    case BFST_STORE_FINISH:
        return h.len == 0 && tag_store(c, h);
    case BFST_STORE_ABORT: {
        if (h.len != 0)
            return false;
        if (srv_store *s = find_store(c, h.id)) {
            drop_store(s);
            c->stores.erase(c->stores.begin() + (s - c->stores.data()));
        }
        return reply_ok(c, h.id);
    }
    case BFST_BYE:
        if (h.len == 0)
            reply_ok(c, 0);
        return false;
    default:
        return false;  // a greeting again, or an answer: not from a client
    }
}

// The greeting: HELLO, then busy or version refusals, then TLS.
bool greet(srv_conn *c)
{
    int64_t deadline = bfst_now_ms() + std::min(HELLO_MS, idle_ms(c));
    unsigned char hb[BFST_HDR_SIZE];
    unsigned char payload[BFST_MAX_CTRL];
    bfst_hdr h;
    bfst_hello hello;
    const char *why = "not a greeting";
    int rc = bfst_link_read(&c->link, hb, sizeof hb, deadline);
    if (rc != BFST_IO_OK) {
        log_io(c, rc, "no greeting");
        return false;
    }
    if (bfst_hdr_decode(hb, 0, &h, &why) != 0 || h.type != BFST_HELLO ||
        bfst_link_read(&c->link, payload, h.len, deadline) != BFST_IO_OK ||
        bfst_hello_decode(payload, h.len, &hello) != 0) {
        ALOG(c->sh->log, APPL_LOG_WARNING, "BFST connection from %s: %s; closing it", c->peer, why);
        return false;
    }
    const appliance_config &cfg = c->sh->cfg;
    if (cfg.bfst_refuse_connects != 0 && c->svc->refused.fetch_add(1) < cfg.bfst_refuse_connects) {
        ALOG(c->sh->log, APPL_LOG_NOTICE, "refusing BFST connection from %s as busy (test switch)", c->peer);
        reply_error(c, 0, cfg.bfst_refuse_code, "the appliance has reached its maximum client connections");
        return false;
    }
    if (hello.min_version > BFST_PROTO_DEDUP || hello.max_version < 1) {
        char text[96];
        snprintf(text, sizeof text, "the appliance speaks BFST protocol versions 1 to %u only",
                 unsigned(BFST_PROTO_DEDUP));
        reply_error(c, 0, BFST2_ERR_NOT_AVAILABLE, text);
        return false;
    }
    SSL_CTX *ctx = nullptr;
    if ((hello.flags & BFST_HELLO_TLS_PSK) != 0) {
        ctx = c->svc->psk_ctx;
    } else if ((hello.flags & BFST_HELLO_TLS_CERT) != 0) {
        ctx = c->svc->cert_ctx;
        if (ctx == nullptr) {
            reply_error(c, 0, BFST2_ERR_AUTH,
                        "the appliance has no certificates for TLS (it was started without --tls-dir)");
            return false;
        }
    }
    c->version = std::min<uint32_t>(hello.max_version, BFST_PROTO_DEDUP);
    unsigned char ok[BFST_HELLO_OK_SIZE];
    if (!reply_ok(c, 0, ok, bfst_hello_ok_encode(ok, c->version)))
        return false;
    if (ctx != nullptr) {
        rc = bfst_link_tls_start(&c->link, ctx, true, nullptr, deadline);
        if (rc != BFST_IO_OK) {
            log_io(c, rc, "TLS refused");
            return false;
        }
    }
    ALOG(c->sh->log, APPL_LOG_DEBUG, "BFST connection %llu from %s (%s)", (unsigned long long)c->id, c->peer,
         ctx == nullptr                             ? "clear"
         : (hello.flags & BFST_HELLO_TLS_PSK) != 0 ? "TLS, pre-shared key"
                                                   : "TLS, certificates");
    return true;
}

void serve(srv_conn *c)
{
    if (!greet(c))
        return;
    unsigned char hb[BFST_HDR_SIZE];
    unsigned char payload[BFST_MAX_CTRL];
    for (;;) {
        int rc = bfst_link_read(&c->link, hb, sizeof hb, bfst_now_ms() + idle_ms(c));
        if (rc == BFST_IO_TIMEOUT) {
            ALOG(c->sh->log, APPL_LOG_NOTICE, "closing BFST connection %llu from %s: quiet for %u seconds",
                 (unsigned long long)c->id, c->peer, unsigned(c->sh->cfg.bfst_idle_timeout_s));
            return;
        }
        if (rc != BFST_IO_OK) {
            log_io(c, rc, "connection ended");
            return;
        }
        bfst_hdr h;
        const char *why = nullptr;
        if (bfst_hdr_decode(hb, BFST_SVC_MAX_DATA, &h, &why) != 0) {
            ALOG(c->sh->log, APPL_LOG_WARNING, "BFST connection %llu from %s: %s; closing it",
                 (unsigned long long)c->id, c->peer, why);
            return;
        }
        if (h.type != BFST_DATA && h.type != BFST_CHUNK_QUERY && h.type != BFST_CHUNK) {
            rc = bfst_link_read(&c->link, payload, h.len, frame_deadline(c));
            if (rc != BFST_IO_OK) {
                log_io(c, rc, "request cut short");
                return;
            }
        }
        if (!handle(c, h, payload)) {
            if (h.type != BFST_BYE && h.type != BFST_DATA && h.type != BFST_CHUNK_QUERY && h.type != BFST_CHUNK)
                ALOG(c->sh->log, APPL_LOG_WARNING,
                     "BFST connection %llu from %s: request %u breaks the protocol; closing it",
                     (unsigned long long)c->id, c->peer, unsigned(h.type));
            return;
        }
    }
}

void serve_socket(bfst_service *svc, int fd)
{
    srv_conn c;
    c.svc = svc;
    c.sh = svc->sh;
    c.id = svc->next_conn.fetch_add(1);
    struct sockaddr_storage ss {};
    socklen_t sl = sizeof ss;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&ss), &sl) == 0)
        getnameinfo(reinterpret_cast<struct sockaddr *>(&ss), sl, c.peer, sizeof c.peer, nullptr, 0, NI_NUMERICHOST);
    bfst_link_adopt(&c.link, fd, svc->acc.stop_pipe[0]);
    serve(&c);
    drain_chunks(&c);  // (what they say goes nowhere if the peer is gone)
    stop_chunks(&c);
    bfst_link_close(&c.link);
    for (srv_store &s : c.stores)
        drop_store(&s);
    size_t removed = blob_remove_unheld(svc->sh->blobs, c.id);
    ALOG(c.sh->log, APPL_LOG_DEBUG,
         "BFST connection %llu from %s ended: %llu blobs, %llu bytes stored; %zu unheld removed",
         (unsigned long long)c.id, c.peer, (unsigned long long)c.blobs, (unsigned long long)c.bytes, removed);
    free(c.buf);
}

// A connection over the limit hears "busy" from a short-lived thread.
void refuse_socket(bfst_service *svc, int fd)
{
    srv_conn c;
    c.svc = svc;
    c.sh = svc->sh;
    bfst_link_adopt(&c.link, fd, svc->acc.stop_pipe[0]);
    // The greeting is read whole first: closing with bytes unread would
    // reset the connection, and the client might lose the answer.
    unsigned char hb[BFST_HDR_SIZE], payload[BFST_MAX_CTRL];
    int64_t deadline = bfst_now_ms() + 2000;
    bfst_hdr h;
    if (bfst_link_read(&c.link, hb, sizeof hb, deadline) == BFST_IO_OK &&
        bfst_hdr_decode(hb, 0, &h, nullptr) == 0 &&
        bfst_link_read(&c.link, payload, h.len, deadline) == BFST_IO_OK)
        reply_error(&c, 0, BFST2_ERR_SERVER_BUSY, "the appliance has reached its maximum client connections");
    bfst_link_close(&c.link);
}

void accept_loop(bfst_service *svc)
{
    for (;;) {
        struct sockaddr_in peer {};
        int s = appl_acceptor_next(&svc->acc, &peer);
        if (s == APPL_ACCEPT_STOP)
            break;
        if (s < 0) {
            // Out of descriptors or memory: the connection stays queued until
            // something closes.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                usleep(100 * 1000);
            continue;
        }
        bool busy = svc->serving.load() >= BFST_SVC_MAX_CONNS;
        if (busy && svc->acc.conns.size() >= size_t(BFST_SVC_MAX_CONNS + REFUSERS)) {
            close(s);
            continue;
        }
        if (busy)
            ALOG(svc->sh->log, APPL_LOG_WARNING, "BFST connections at their limit of %d; refusing one as busy",
                 BFST_SVC_MAX_CONNS);
        auto done = std::make_shared<std::atomic<bool>>(false);
        if (!busy)
            svc->serving.fetch_add(1);
        try {
            svc->acc.conns.push_back(appl_conn_thread{std::thread([svc, s, done, busy] {
                                                if (busy) {
                                                    refuse_socket(svc, s);
                                                } else {
                                                    bfst_service_serve(svc, s);
                                                    svc->serving.fetch_sub(1);
                                                }
                                                done->store(true);
                                            }),
                                            done});
        } catch (...) {
            ALOG(svc->sh->log, APPL_LOG_ERROR, "cannot start a thread for a BFST connection");
            if (!busy)
                svc->serving.fetch_sub(1);
            close(s);
        }
    }
}

}  // namespace

void bfst_service_serve(bfst_service *svc, int fd)
{
    serve_socket(svc, fd);
}

int bfst_service_start(appl_shared *sh, const std::string &addr, uint16_t port, bfst_service **out,
                       std::string *msg)
{
    *out = nullptr;
    auto *svc = new bfst_service;
    svc->sh = sh;
    char why[320] = "";
    if (sh->cfg.bfst_psk_passwords.empty()) {
        for (const char *pw : DEFAULT_PSK_PASSWORDS) {
            bfst_psk k;
            if (bfst_psk_derive(pw, &k) == 0)
                svc->psks.push_back(k);
        }
    } else {
        for (const std::string &pw : sh->cfg.bfst_psk_passwords) {
            bfst_psk k;
            if (bfst_psk_derive(pw.c_str(), &k) == 0)
                svc->psks.push_back(k);
        }
    }
    svc->psk_ctx = bfst_tls_server_psk_ctx(&svc->psks, why, sizeof why);
    if (svc->psk_ctx == nullptr) {
        *msg = std::string("BFST service: ") + why;
        bfst_service_stop(svc);
        return -1;
    }
    if (!sh->cfg.tls_dir.empty()) {
        svc->cert_ctx = bfst_tls_server_cert_ctx(sh->cfg.tls_dir.c_str(), why, sizeof why);
        if (svc->cert_ctx == nullptr) {
            *msg = "TLS material in " + sh->cfg.tls_dir + ": " + why;
            bfst_service_stop(svc);
            return -1;
        }
    }
    if (appl_acceptor_open(&svc->acc, addr, port, "BFST", msg) != 0) {
        bfst_service_stop(svc);
        return -1;
    }
    svc->acc.thread = std::thread(accept_loop, svc);
    ALOG(sh->log, APPL_LOG_INFO, "BFST service listening on %u@%s%s", unsigned(svc->acc.port), addr.c_str(),
         svc->cert_ctx != nullptr ? " (TLS with certificates available)" : "");
    *out = svc;
    return 0;
}

uint16_t bfst_service_port(const bfst_service *svc) { return svc->acc.port; }

void bfst_service_stop(bfst_service *svc)
{
    if (svc == nullptr)
        return;
    appl_acceptor_stop(&svc->acc);
    SSL_CTX_free(svc->psk_ctx);
    SSL_CTX_free(svc->cert_ctx);
    for (bfst_psk &k : svc->psks)
        bfst_psk_wipe(&k);
    delete svc;
}
