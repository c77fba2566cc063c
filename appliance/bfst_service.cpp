// The appliance's BFST service (see bfst_service.h and bfst/bfst_proto.h).
#include "appliance/bfst_service.h"

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

struct bfst_service {
    appl_shared *sh = nullptr;
    appl_acceptor acc;
    std::atomic<int> serving{0};
    std::atomic<uint32_t> refused{0};
    std::atomic<uint64_t> next_conn{1};
    std::vector<bfst_psk> psks;
    SSL_CTX *psk_ctx = nullptr;
    SSL_CTX *cert_ctx = nullptr;
};

namespace {

enum store_state { ST_OPEN, ST_SEALED, ST_FAILED };

struct sum_stream_free {
    void operator()(dm_sum_stream *s) const { dm_sum_stream_free(s); }
};

// A chunk a deduplicated store asked for and waits for.
struct pending_chunk {
    uint32_t len = 0;
    uint32_t uses = 0;  // entries of the recipe that name it
};

struct srv_store {
    uint32_t id = 0;
    uint32_t session = 0;
    store_state state = ST_OPEN;
    blob_writer *w = nullptr;     // while open (for a deduplicated store: its recipe)
    uint64_t bytes = 0;           // of the stream
    unsigned char tag[BLOB_TAG_BYTES] = {};
    uint32_t fail_code = 0;
    char fail_text[160] = {};
    // A deduplicated store: the chunks it references until its recipe is
    // durable (and then the recipe's), the chunks it waits for, and what
    // it added to the chunk store.
    chunk_store *cs = nullptr;
    std::vector<bfst_fp> refs;
    std::unordered_map<bfst_fp, pending_chunk, bfst_fp_hash> pending;
    std::unique_ptr<dm_sum_stream, sum_stream_free> esum;
    uint64_t chunks = 0, new_chunks = 0, new_raw = 0, new_stored = 0;
};

struct srv_conn {
    bfst_service *svc = nullptr;
    appl_shared *sh = nullptr;
    uint64_t id = 0;
    char peer[64] = "?";
    bfst_link link;
    bool opened = false;
    uint32_t next_id = 1;
    std::vector<uint32_t> sessions;
    std::vector<srv_store> stores;
    unsigned char *buf = nullptr;   // BFST_SVC_BUF bytes, taken at the first data
    uint64_t blobs = 0, bytes = 0;
    uint32_t version = 1;           // agreed in the greeting
    // for deduplicated stores: a query's entries and a chunk's bytes
    std::vector<bfst_query_entry> query;
    std::vector<unsigned char> raw;
};

static_assert(BFST_MAX_QUERY <= BFST_SVC_BUF && BFST_MAX_CHUNK_FRAME <= BFST_SVC_BUF,
              "a query or a chunk fits the receive buffer");

int64_t idle_ms(const srv_conn *c) { return int64_t(c->sh->cfg.bfst_idle_timeout_s) * 1000; }
int64_t frame_deadline(const srv_conn *c) { return bfst_now_ms() + std::min(FRAME_MS, idle_ms(c)); }

void log_io(srv_conn *c, int rc, const char *what)
{
    char why[224];
    int level = rc == BFST_IO_CLOSED || rc == BFST_IO_STOPPED ? APPL_LOG_DEBUG : APPL_LOG_WARNING;
    ALOG(c->sh->log, level, "BFST connection %llu from %s: %s: %s", (unsigned long long)c->id, c->peer, what,
         bfst_io_text(&c->link, rc, why, sizeof why));
}

// Waits the reply delay of the test switch (cut short when the service stops).
void reply_delay(srv_conn *c)
{
    uint32_t ms = c->sh->cfg.bfst_delay_ms;
    if (ms == 0)
        return;
    struct pollfd p = {c->svc->acc.stop_pipe[0], POLLIN, 0};
    poll(&p, 1, int(ms));
}

bool send_frame(srv_conn *c, uint8_t type, uint32_t id, const unsigned char *payload, size_t len,
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

bool reply_ok(srv_conn *c, uint32_t id, const unsigned char *payload = nullptr, size_t len = 0)
{
    reply_delay(c);
    return send_frame(c, BFST_OK, id, payload, len);
}

bool reply_error(srv_conn *c, uint32_t id, uint32_t code, const char *text, bool async = false)
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

// Lets go of what an unfinished store holds: its blob and its chunks.
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

// The library code of a failed blob write.
uint32_t write_failure(srv_conn *c, int rc, char *text, size_t len)
{
    if (rc == KES_ENOSPC && store_quota(c->sh->st) != 0) {
        snprintf(text, len, "the appliance's quota of %llu bytes is used up",
                 (unsigned long long)store_quota(c->sh->st));
        return BFST2_ERR_QUOTA;
    }
    if (rc == KES_ENOSPC) {
        snprintf(text, len, "the appliance's disk is full");
        return BFST2_ERR_NOSPACE;
    }
    if (rc == KES_EFBIG) {
        snprintf(text, len, "a blob may hold at most %llu bytes", (unsigned long long)BLOB_MAX_SIZE);
        return BFST2_ERR_INVALID_ARG;
    }
    snprintf(text, len, "writing the blob failed on the appliance: %s", util_err_name(rc));
    return BFST2_ERR_ABORTED;
}

// The connection's receive buffer, taken at its first data.
bool conn_buf(srv_conn *c)
{
    if (c->buf == nullptr) {
        c->buf = static_cast<unsigned char *>(aligned_alloc(4096, BFST_SVC_BUF));
        if (c->buf == nullptr) {
            ALOG(c->sh->log, APPL_LOG_ERROR, "BFST connection %llu: out of memory for its buffer",
                 (unsigned long long)c->id);
            return false;
        }
    }
    return true;
}

// Reads one DATA payload into the store's blob, in pieces of the buffer. A
// store that failed (now or before) has its bytes read and dropped. False
// when the connection must end.
bool take_data(srv_conn *c, const bfst_hdr &h)
{
    srv_store *s = find_store(c, h.id);
    if (s == nullptr) {
        ALOG(c->sh->log, APPL_LOG_WARNING, "BFST connection %llu from %s: data for unknown store %u",
             (unsigned long long)c->id, c->peer, h.id);
        return false;
    }
    if (s->state == ST_SEALED || (s->state == ST_OPEN && s->cs != nullptr)) {
        fail_store(s, BFST2_ERR_PROTOCOL,
                   s->state == ST_SEALED ? "data after the blob was sealed" : "data for a deduplicated store");
        if (!reply_error(c, s->id, s->fail_code, s->fail_text, true))
            return false;
    }
    if (!conn_buf(c))
        return false;
    const uint64_t drop_after = c->sh->cfg.bfst_drop_after_bytes;
    uint32_t left = h.len;
    while (left != 0) {
        size_t n = left < BFST_SVC_BUF ? left : BFST_SVC_BUF;
        int rc = bfst_link_read(&c->link, c->buf, n, frame_deadline(c));
        if (rc != BFST_IO_OK) {
            log_io(c, rc, "data frame cut short");
            return false;
        }
        left -= uint32_t(n);
        if (drop_after != 0 && c->link.received >= drop_after) {
            ALOG(c->sh->log, APPL_LOG_NOTICE, "dropping BFST connection %llu after %llu bytes (test switch)",
                 (unsigned long long)c->id, (unsigned long long)c->link.received);
            return false;
        }
        if (s->state != ST_OPEN)
            continue;
        int wrc = blob_append(s->w, c->buf, n);
        if (wrc != 0) {
            char text[160];
            uint32_t code = write_failure(c, wrc, text, sizeof text);
            ALOG(c->sh->log, APPL_LOG_WARNING, "BFST connection %llu from %s, store %u: %s",
                 (unsigned long long)c->id, c->peer, s->id, text);
            fail_store(s, code, text);
            if (!reply_error(c, s->id, code, text, true))
                return false;
            continue;
        }
        s->bytes += n;
    }
    return true;
}

// Reads the payload of a QUERY or CHUNK frame into the buffer. False when
// the connection must end.
bool read_payload(srv_conn *c, const bfst_hdr &h)
{
    if (!conn_buf(c))
        return false;
    int rc = bfst_link_read(&c->link, c->buf, h.len, frame_deadline(c));
    if (rc != BFST_IO_OK) {
        log_io(c, rc, "frame cut short");
        return false;
    }
    const uint64_t drop_after = c->sh->cfg.bfst_drop_after_bytes;
    if (drop_after != 0 && c->link.received >= drop_after) {
        ALOG(c->sh->log, APPL_LOG_NOTICE, "dropping BFST connection %llu after %llu bytes (test switch)",
             (unsigned long long)c->id, (unsigned long long)c->link.received);
        return false;
    }
    return true;
}

// A deduplicated store of this connection, or null after logging why the
// frame ends the connection.
srv_store *dedup_store(srv_conn *c, const bfst_hdr &h)
{
    srv_store *s = find_store(c, h.id);
    if (s == nullptr || s->cs == nullptr) {
        ALOG(c->sh->log, APPL_LOG_WARNING, "BFST connection %llu from %s: chunks for %s store %u",
             (unsigned long long)c->id, c->peer, s == nullptr ? "unknown" : "a plain", h.id);
        return nullptr;
    }
    return s;
}

void fail_and_log(srv_conn *c, srv_store *s, uint32_t code, const char *text)
{
    ALOG(c->sh->log, APPL_LOG_WARNING, "BFST connection %llu from %s, store %u: %s", (unsigned long long)c->id,
         c->peer, s->id, text);
    fail_store(s, code, text);
}

// CHUNK_QUERY: the chunks join the recipe; the answer asks for those the
// chunk store lacks (each once per store).
bool take_query(srv_conn *c, const bfst_hdr &h)
{
    srv_store *s = dedup_store(c, h);
    if (s == nullptr || !read_payload(c, h))
        return false;
    c->query.resize(BFST_QUERY_MAX);
    uint32_t count = 0;
    if (bfst_query_decode(c->buf, h.len, c->query.data(), &count) != 0) {
        ALOG(c->sh->log, APPL_LOG_WARNING, "BFST connection %llu from %s: malformed chunk query",
             (unsigned long long)c->id, c->peer);
        return false;
    }
    if (s->state == ST_SEALED)
        fail_and_log(c, s, BFST2_ERR_PROTOCOL, "chunks after the blob was sealed");
    if (s->state == ST_FAILED)
        return reply_error(c, s->id, s->fail_code, s->fail_text);
    unsigned char bitmap[BFST_QUERY_MAX / 8] = {};
    uint64_t len = 0;
    for (uint32_t i = 0; i < count && s->state == ST_OPEN; ++i) {
        const bfst_query_entry &e = c->query[i];
        bfst_fp fp;
        memcpy(fp.b, e.fp, BFST_FP_LEN);
        len += e.len;
        auto p = s->pending.find(fp);
        int rc = 0;
        if (p != s->pending.end()) {
            if (p->second.len != e.len)
                rc = KES_EINVAL;
            p->second.uses++;
        } else if (chunk_ref(s->cs, fp, e.len, &rc)) {
            s->refs.push_back(fp);
        } else if (rc == 0 && s->pending.size() >= BFST_SVC_MAX_PENDING) {
            fail_and_log(c, s, BFST2_ERR_PROTOCOL, "too many chunks asked for and not sent");
        } else if (rc == 0) {
            s->pending.emplace(fp, pending_chunk{e.len, 1});
            bitmap[i / 8] |= uint8_t(1u << (i % 8));
        }
        if (rc != 0)
            fail_and_log(c, s, BFST2_ERR_PROTOCOL, "a chunk was named with a length that is not its own");
    }
    int wrc = s->state == ST_OPEN ? blob_append(s->w, c->buf + 4, size_t(count) * BFST_QUERY_ENTRY) : 0;
    if (wrc != 0) {
        char text[160];
        fail_and_log(c, s, write_failure(c, wrc, text, sizeof text), text);
    }
    if (s->state == ST_FAILED)
        return reply_error(c, s->id, s->fail_code, s->fail_text);
    dm_sum_stream_add(s->esum.get(), c->buf + 4, size_t(count) * BFST_QUERY_ENTRY);
    s->chunks += count;
    s->bytes += len;
    unsigned char p[BFST_QUERY_OK_MAX];
    return reply_ok(c, s->id, p, bfst_query_ok_encode(p, bitmap, count));
}

// CHUNK: a chunk the store asked for, checked against its fingerprint and
// added to the chunk store.
bool take_chunk(srv_conn *c, const bfst_hdr &h)
{
    srv_store *s = dedup_store(c, h);
    if (s == nullptr || !read_payload(c, h))
        return false;
    if (s->state != ST_OPEN)
        return true;  // the store failed and said so; its chunks are dropped
    bfst_chunk_hdr ch;
    const char *bad = nullptr;
    bfst_fp fp;
    auto p = s->pending.end();
    if (bfst_chunk_hdr_decode(c->buf, h.len, &ch) != 0) {
        bad = "malformed chunk";
    } else {
        memcpy(fp.b, ch.fp, BFST_FP_LEN);
        p = s->pending.find(fp);
        c->raw.resize(BFST_CHUNK_MAX);
        bfst_fp got;
        if (p == s->pending.end() || p->second.len != ch.len)
            bad = "a chunk arrived that was not asked for";
        else if (bfst_chunk_unpack(c->buf + BFST_CHUNK_HDR, h.len - BFST_CHUNK_HDR, ch.flags, c->raw.data(),
                                   ch.len) != 0)
            bad = "a chunk does not expand to its length";
        else if (bfst_fingerprint(c->raw.data(), ch.len, &got), got != fp)
            bad = "a chunk does not match its fingerprint";
    }
    if (bad != nullptr) {
        fail_and_log(c, s, BFST2_ERR_PROTOCOL, bad);
        return reply_error(c, s->id, s->fail_code, s->fail_text, true);
    }
    const uint32_t uses = p->second.uses;
    int rc = chunk_put(s->cs, fp, ch.len, ch.flags, c->buf + BFST_CHUNK_HDR, h.len - BFST_CHUNK_HDR, uses);
    if (rc != 0) {
        char text[160];
        fail_and_log(c, s, write_failure(c, rc, text, sizeof text), text);
        return reply_error(c, s->id, s->fail_code, s->fail_text, true);
    }
    s->pending.erase(p);
    s->refs.insert(s->refs.end(), uses, fp);
    s->new_chunks++;
    s->new_raw += ch.len;
    s->new_stored += h.len - BFST_CHUNK_HDR;
    return true;
}

// Seals a deduplicated store: its chunks durable, then its recipe.
int seal_recipe(srv_conn *c, srv_store *s, char *text, size_t len)
{
    if (!s->pending.empty()) {
        snprintf(text, len, "%zu chunks asked for never arrived", s->pending.size());
        return BFST2_ERR_PROTOCOL;
    }
    int rc = chunk_store_sync(s->cs);
    if (rc != 0) {
        snprintf(text, len, "cannot make the chunks durable on the appliance: %s", util_err_name(rc));
        return BFST2_ERR_ABORTED;
    }
    unsigned char t[RECIPE_TRAILER];
    recipe_trailer_encode(t, s->bytes, s->chunks, dm_sum_stream_value(s->esum.get()));
    rc = blob_append(s->w, t, sizeof t);
    if (rc != 0)
        return write_failure(c, rc, text, len);
    const uint64_t disk = blob_writer_size(s->w);
    rc = blob_finish_recipe(s->w, s->bytes);
    s->w = nullptr;
    if (rc != 0) {
        snprintf(text, len, "cannot make the recipe durable on the appliance: %s", util_err_name(rc));
        return BFST2_ERR_ABORTED;
    }
    s->refs.clear();  // the recipe's now
    char hex[BLOB_TAG_TEXT + 1];
    bfst_hex(s->tag, BLOB_TAG_BYTES, hex);
    ALOG(c->sh->log, APPL_LOG_INFO,
         "BFST connection %llu, store %u, blob %s: %llu bytes in %llu chunks, %llu new (%llu bytes, %llu stored), "
         "recipe %llu bytes",
         (unsigned long long)c->id, s->id, hex, (unsigned long long)s->bytes, (unsigned long long)s->chunks,
         (unsigned long long)s->new_chunks, (unsigned long long)s->new_raw, (unsigned long long)s->new_stored,
         (unsigned long long)disk);
    chunk_stats cst = chunk_store_stats(s->cs);
    ALOG(c->sh->log, APPL_LOG_INFO,
         "chunk store: %llu chunks (%llu referenced) of %llu bytes in %llu bytes of %llu containers",
         (unsigned long long)cst.chunks, (unsigned long long)cst.referenced, (unsigned long long)cst.raw,
         (unsigned long long)cst.disk, (unsigned long long)cst.containers);
    return 0;
}

// Seals an open store: the blob is made durable and registered.
void seal(srv_conn *c, srv_store *s)
{
    memcpy(s->tag, blob_writer_tag(s->w), BLOB_TAG_BYTES);
    if (s->cs != nullptr) {
        char text[160];
        int code = seal_recipe(c, s, text, sizeof text);
        if (code != 0) {
            ALOG(c->sh->log, APPL_LOG_ERROR, "BFST connection %llu, store %u: %s", (unsigned long long)c->id, s->id,
                 text);
            fail_store(s, uint32_t(code), text);
            return;
        }
        s->state = ST_SEALED;
        c->blobs++;
        c->bytes += s->bytes;
        return;
    }
    int rc = blob_finish(s->w);
    s->w = nullptr;
    if (rc != 0) {
        char text[160];
        snprintf(text, sizeof text, "cannot make the blob durable on the appliance: %s", util_err_name(rc));
        ALOG(c->sh->log, APPL_LOG_ERROR, "BFST connection %llu, store %u: %s", (unsigned long long)c->id, s->id,
             text);
        fail_store(s, BFST2_ERR_ABORTED, text);
        return;
    }
    s->state = ST_SEALED;
    c->blobs++;
    c->bytes += s->bytes;
    if (appl_log_on(c->sh->log, APPL_LOG_DEBUG)) {
        char hex[BLOB_TAG_TEXT + 1];
        bfst_hex(s->tag, BLOB_TAG_BYTES, hex);
        ALOG(c->sh->log, APPL_LOG_DEBUG, "BFST connection %llu: blob %s of %llu bytes stored",
             (unsigned long long)c->id, hex, (unsigned long long)s->bytes);
    }
}

// STORE_TAG and STORE_FINISH.
bool tag_store(srv_conn *c, const bfst_hdr &h)
{
    srv_store *s = find_store(c, h.id);
    if (s == nullptr)
        return reply_error(c, h.id, BFST2_ERR_NOT_FOUND, "no such store");
    if (s->state == ST_OPEN)
        seal(c, s);
    if (s->state == ST_FAILED)
        return reply_error(c, h.id, s->fail_code, s->fail_text);
    unsigned char p[8 + BLOB_TAG_BYTES];
    size_t n = bfst_tag_ok_encode(p, s->bytes, s->tag, BLOB_TAG_BYTES);
    if (h.type == BFST_STORE_FINISH)
        c->stores.erase(c->stores.begin() + (s - c->stores.data()));
    return reply_ok(c, h.id, p, n);
}

bool start_store(srv_conn *c, const bfst_hdr &h, const unsigned char *payload)
{
    uint32_t flags = 0;
    if (bfst_flags_decode(payload, h.len, &flags) != 0)
        return false;
    if (!has_session(c, h.id))
        return reply_error(c, h.id, BFST2_ERR_NOT_FOUND, "no such session");
    if (c->stores.size() >= size_t(BFST_SVC_MAX_STORES))
        return reply_error(c, h.id, BFST2_ERR_INVALID_ARG, "too many unfinished stores on one connection");
    if (!store_has_space(c->sh->st)) {
        char text[160];
        write_failure(c, KES_ENOSPC, text, sizeof text);
        return reply_error(c, h.id, BFST2_ERR_QUOTA, text);
    }
    srv_store s;
    if ((flags & BFST_STORE_DEDUP) != 0) {
        if (c->version < BFST_PROTO_DEDUP || c->sh->chunks == nullptr || !c->sh->cfg.dedup)
            return reply_error(c, h.id, BFST2_ERR_INVALID_ARG, "deduplication is off on the appliance");
        s.cs = c->sh->chunks;
        s.esum.reset(dm_sum_stream_new());
        if (s.esum == nullptr)
            return reply_error(c, h.id, BFST2_ERR_NOMEM, "out of memory on the appliance");
    }
    int rc = blob_create(c->sh->blobs, c->id, &s.w);
    if (rc != 0) {
        char text[160];
        snprintf(text, sizeof text, "cannot create a blob on the appliance: %s", util_err_name(rc));
        return reply_error(c, h.id, BFST2_ERR_ABORTED, text);
    }
    s.id = c->next_id++;
    s.session = h.id;
    const uint32_t id = s.id;
    c->stores.push_back(std::move(s));
    return reply_ok(c, id);
}

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
