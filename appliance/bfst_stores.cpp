// The stores of a BFST connection: a plain store's data into its blob, a
// deduplicated store's chunk queries and chunks into the chunk store and its
// recipe, and the sealing of either into a durable blob with its tag.
#include "appliance/bfst_conn.h"

#include "bfst/bfst2.h"
#include "bfst/bfst_dedup.h"
#include "datamover/util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace bfst_svc {

// The library code of a failed blob write.
static uint32_t write_failure(srv_conn *c, int rc, char *text, size_t len)
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
static bool conn_buf(srv_conn *c)
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

// Reads the payload of a QUERY or CHUNK frame into dst. False when the
// connection must end.
static bool read_payload_into(srv_conn *c, const bfst_hdr &h, unsigned char *dst)
{
    int rc = bfst_link_read(&c->link, dst, h.len, frame_deadline(c));
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

// The same into the connection's buffer.
static bool read_payload(srv_conn *c, const bfst_hdr &h) { return conn_buf(c) && read_payload_into(c, h, c->buf); }

// A deduplicated store of this connection, or null after logging why the
// frame ends the connection.
static srv_store *dedup_store(srv_conn *c, const bfst_hdr &h)
{
    srv_store *s = find_store(c, h.id);
    if (s == nullptr || s->cs == nullptr) {
        ALOG(c->sh->log, APPL_LOG_WARNING, "BFST connection %llu from %s: chunks for %s store %u",
             (unsigned long long)c->id, c->peer, s == nullptr ? "unknown" : "a plain", h.id);
        return nullptr;
    }
    return s;
}

static void fail_and_log(srv_conn *c, srv_store *s, uint32_t code, const char *text)
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

// ---------------------------------------------------------------- the chunk checker

static void check_chunks(chunk_pipe *pp)
{
    std::unique_lock<std::mutex> lk(pp->mu);
    for (;;) {
        if (pp->done == pp->head) {
            if (pp->stop)
                return;  // stopped, and nothing left
            pp->checker_sleeps = true;
            pp->work_cv.wait(lk, [pp] { return pp->stop || pp->done < pp->head; });
            pp->checker_sleeps = false;
            continue;
        }
        chunk_slot &sl = pp->slot[pp->done % CHUNK_PIPE_SLOTS];
        lk.unlock();
        const unsigned char *stored = sl.mem + BFST_CHUNK_HDR;
        // a chunk kept as it is is checked where it landed
        const unsigned char *raw = sl.flags == 0 ? stored : pp->raw.get();
        bfst_fp got;
        sl.bad = nullptr;
        sl.rc = 0;
        if (sl.flags != 0 && bfst_chunk_unpack(stored, sl.n, sl.flags, pp->raw.get(), sl.len) != 0)
            sl.bad = "a chunk does not expand to its length";
        else if (sl.flags == 0 && sl.n != sl.len)
            sl.bad = "a chunk does not expand to its length";
        else if (bfst_fingerprint(raw, sl.len, &got), got != sl.fp)
            sl.bad = "a chunk does not match its fingerprint";
        else
            sl.rc = chunk_put(pp->cs, sl.fp, sl.len, sl.flags, stored, sl.n, sl.uses);
        lk.lock();
        if (++pp->done >= pp->wake_at)
            pp->done_cv.notify_one();
    }
}

// The connection's chunk checker, started at its first chunk.
static chunk_pipe *chunk_checker(srv_conn *c, chunk_store *cs)
{
    if (c->pipe != nullptr)
        return c->pipe.get();
    auto pp = std::make_unique<chunk_pipe>();
    pp->cs = cs;
    pp->mem.reset(new (std::nothrow) unsigned char[size_t(CHUNK_PIPE_SLOTS) * BFST_MAX_CHUNK_FRAME]);
    pp->raw.reset(new (std::nothrow) unsigned char[BFST_CHUNK_MAX]);
    if (pp->mem == nullptr || pp->raw == nullptr) {
        ALOG(c->sh->log, APPL_LOG_ERROR, "BFST connection %llu: out of memory for its chunk checker",
             (unsigned long long)c->id);
        return nullptr;
    }
    for (int i = 0; i < CHUNK_PIPE_SLOTS; ++i)
        pp->slot[i].mem = pp->mem.get() + size_t(i) * BFST_MAX_CHUNK_FRAME;
    try {
        pp->worker = std::thread(check_chunks, pp.get());
    } catch (...) {
        ALOG(c->sh->log, APPL_LOG_ERROR, "BFST connection %llu: cannot start its chunk checker",
             (unsigned long long)c->id);
        return nullptr;
    }
    c->pipe = std::move(pp);
    return c->pipe.get();
}

// Takes back the oldest slot once the checker is done with it, first
// waiting until it is done with wait_for slots in all (0: no wait). The
// store learns what became of its chunk: it references it as often as its
// recipe names it by now, or fails. False when the connection must end;
// *took says whether a slot came back.
static bool take_back(srv_conn *c, uint64_t wait_for, bool *took)
{
    chunk_pipe *pp = c->pipe.get();
    *took = false;
    {
        std::unique_lock<std::mutex> lk(pp->mu);
        if (pp->done < wait_for) {
            pp->wake_at = std::min(wait_for, pp->head);
            pp->done_cv.wait(lk, [pp] { return pp->done >= pp->wake_at; });
            pp->wake_at = UINT64_MAX;
        }
        if (pp->done == pp->tail)
            return true;
    }
    chunk_slot &sl = pp->slot[pp->tail % CHUNK_PIPE_SLOTS];
    pp->tail++;
    *took = true;
    srv_store *s = find_store(c, sl.store);
    auto p = s != nullptr ? s->pending.find(sl.fp) : std::unordered_map<bfst_fp, pending_chunk, bfst_fp_hash>::iterator();
    if (s == nullptr || s->state != ST_OPEN || p == s->pending.end()) {
        // the store failed or ended meanwhile: it gives back what the put took
        if (sl.bad == nullptr && sl.rc == 0)
            for (uint32_t k = 0; k < sl.uses; ++k)
                chunk_unref(pp->cs, &sl.fp, 1);
        return true;
    }
    if (sl.bad != nullptr || sl.rc != 0) {
        char text[160];
        uint32_t code = BFST2_ERR_PROTOCOL;
        if (sl.bad != nullptr)
            snprintf(text, sizeof text, "%s", sl.bad);
        else
            code = write_failure(c, sl.rc, text, sizeof text);
        fail_and_log(c, s, code, text);
        return reply_error(c, s->id, s->fail_code, s->fail_text, true);
    }
    // queries that named it while it was checked add their uses
    const uint32_t uses = p->second.uses;
    s->refs.insert(s->refs.end(), sl.uses, sl.fp);
    for (uint32_t k = sl.uses; k < uses; ++k) {
        int rc = 0;
        if (!chunk_ref(pp->cs, sl.fp, sl.len, &rc)) {
            fail_and_log(c, s, BFST2_ERR_PROTOCOL, "a chunk was named with a length that is not its own");
            return reply_error(c, s->id, s->fail_code, s->fail_text, true);
        }
        s->refs.push_back(sl.fp);
    }
    s->pending.erase(p);
    s->new_chunks++;
    s->new_raw += sl.len;
    s->new_stored += sl.n;
    return true;
}

bool drain_chunks(srv_conn *c)
{
    if (c->pipe == nullptr)
        return true;
    bool took = true;
    while (c->pipe->tail < c->pipe->head)
        if (!take_back(c, c->pipe->head, &took))
            return false;
    return true;
}

void stop_chunks(srv_conn *c)
{
    if (c->pipe == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lk(c->pipe->mu);
        c->pipe->stop = true;
    }
    c->pipe->work_cv.notify_all();
    c->pipe->worker.join();
    c->pipe.reset();
}

// CHUNK: a chunk the store asked for. It is read into a slot of the chunk
// checker, which checks it against its fingerprint and adds it to the chunk
// store while this thread goes on reading.
bool take_chunk(srv_conn *c, const bfst_hdr &h)
{
    srv_store *s = dedup_store(c, h);
    if (s == nullptr)
        return false;
    if (h.len > BFST_MAX_CHUNK_FRAME) {
        if (!read_payload(c, h))
            return false;
        if (s->state != ST_OPEN)
            return true;
        fail_and_log(c, s, BFST2_ERR_PROTOCOL, "malformed chunk");
        return reply_error(c, s->id, s->fail_code, s->fail_text, true);
    }
    chunk_pipe *pp = chunk_checker(c, s->cs);
    if (pp == nullptr)
        return false;
    bool took = false;
    if (pp->head - pp->tail == uint64_t(CHUNK_PIPE_SLOTS) &&
        !take_back(c, pp->tail + CHUNK_PIPE_SLOTS / 2, &took))
        return false;
    s = find_store(c, h.id);  // (taking back may have failed it, never removed it)
    chunk_slot &sl = pp->slot[pp->head % CHUNK_PIPE_SLOTS];
    if (!read_payload_into(c, h, sl.mem))
        return false;
    if (s->state != ST_OPEN)
        return true;  // the store failed and said so; its chunks are dropped
    bfst_chunk_hdr ch;
    const char *bad = nullptr;
    auto p = s->pending.end();
    if (bfst_chunk_hdr_decode(sl.mem, h.len, &ch) != 0) {
        bad = "malformed chunk";
    } else {
        memcpy(sl.fp.b, ch.fp, BFST_FP_LEN);
        p = s->pending.find(sl.fp);
        if (p == s->pending.end() || p->second.len != ch.len || p->second.arrived)
            bad = "a chunk arrived that was not asked for";
    }
    if (bad != nullptr) {
        fail_and_log(c, s, BFST2_ERR_PROTOCOL, bad);
        return reply_error(c, s->id, s->fail_code, s->fail_text, true);
    }
    p->second.arrived = true;
    sl.store = s->id;
    sl.len = ch.len;
    sl.flags = ch.flags;
    sl.n = h.len - uint32_t(BFST_CHUNK_HDR);
    sl.uses = p->second.uses;
    {
        std::lock_guard<std::mutex> lk(pp->mu);
        pp->head++;
        if (pp->checker_sleeps)
            pp->work_cv.notify_one();
    }
    // what the checker finished meanwhile, without waiting
    do {
        if (!take_back(c, 0, &took))
            return false;
    } while (took);
    return true;
}

// Seals a deduplicated store: its chunks durable, then its recipe.
static int seal_recipe(srv_conn *c, srv_store *s, char *text, size_t len)
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
    rc = blob_finish_recipe(s->w, s->bytes, s->new_stored + s->new_chunks * CHUNK_REC_HEAD);
    s->w = nullptr;
    if (rc != 0) {
        snprintf(text, len, "cannot make the recipe durable on the appliance: %s", util_err_name(rc));
        return BFST2_ERR_ABORTED;
    }
    s->refs.clear();  // the recipe's now
    char hex[BLOB_TAG_TEXT + 1];
    bfst_hex(s->tag, BLOB_TAG_BYTES, hex);
    chunk_store_sum_later(s->cs, hex);
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
static void seal(srv_conn *c, srv_store *s)
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


}  // namespace bfst_svc
