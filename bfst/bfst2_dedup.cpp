// Deduplicated stores of the transfer library: the stream is cut into chunks
// (bfst_dedup.h), their fingerprints offered to the appliance in batches,
// and only the chunks it lacks are sent, compressed where that pays.
//
// Three batch buffers take turns: while the appliance looks up the chunks of
// one batch, a worker thread cuts and fingerprints the next and the caller's
// thread fills a third; the first batch's answer is read and its missing
// chunks sent when the third is full. The buffers and the worker are taken when the
// store starts; nothing is allocated per block.
#include "bfst/bfst2_int.h"
#include "bfst/bfst_dedup.h"

#include <algorithm>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr size_t BATCH = 2u << 20;   // stream bytes per batch
constexpr size_t ROOM = BFST_CHUNK_MAX;  // before them: the uncut tail of the batch before
constexpr size_t STAGE = ROOM + BATCH;
constexpr int SLOTS = 3;

static_assert((ROOM + BATCH) / BFST_CHUNK_MIN <= BFST_QUERY_MAX, "a batch is one query");

// A batch moves FILLING -> CUTTING (the worker cuts and fingerprints it) ->
// CUT -> (queried) OFFERED -> (answered, its chunks sent) FREE. At any time
// one is filling, at most one is with the worker or waits for its query,
// and at most one waits for its answer. The stream goes into a batch from
// ROOM on; when the batch is given to the worker, the uncut tail of the one
// before (shorter than a chunk can be) is put in front of it, so the cuts
// fall where they would in the whole stream.
enum slot_state { FREE, FILLING, CUTTING, CUT, OFFERED };

struct dd_batch {
    std::unique_ptr<unsigned char[]> mem;  // STAGE bytes
    size_t start = ROOM;                   // the stream's bytes are [start, len)
    size_t len = ROOM;
    bool last = false;                     // the end of the stream: cut it all
    size_t tail = 0;                       // where its uncut tail starts
    uint32_t count = 0;                    // chunks cut
    slot_state state = FREE;
    bfst_query_entry e[BFST_QUERY_MAX];
    uint32_t off[BFST_QUERY_MAX];
};

}  // namespace

struct bfst2_dedup {
    dd_batch b[SLOTS];
    int fill = 0;    // the batch the stream goes into
    int cut = -1;    // the batch with the worker or waiting for its query
    int offered = -1;
    unsigned char query[BFST_MAX_QUERY];
    std::unique_ptr<unsigned char[]> packed;  // bfst_chunk_bound() bytes
    // The worker cuts and fingerprints a batch while the caller's thread
    // fills the next one and talks to the appliance.
    std::mutex mu;
    std::condition_variable cv;
    int job = -1;  // the batch given to the worker, until it is done
    bool stop = false;
    std::thread worker;
};

namespace {

// Cuts a batch where the chunker says (to its end if it is the last, else
// while a cut is certain) and fingerprints the chunks.
void cut_batch(dd_batch &b)
{
    size_t pos = b.start;
    b.count = 0;
    while (pos < b.len && (b.last || b.len - pos >= BFST_CHUNK_MAX)) {
        const size_t n = bfst_chunk_cut(b.mem.get() + pos, b.len - pos);
        bfst_fp fp;
        bfst_fingerprint(b.mem.get() + pos, n, &fp);
        memcpy(b.e[b.count].fp, fp.b, BFST_FP_LEN);
        b.e[b.count].len = uint32_t(n);
        b.off[b.count] = uint32_t(pos);
        b.count++;
        pos += n;
    }
    b.tail = pos;
}

void work(bfst2_dedup *d)
{
    std::unique_lock<std::mutex> lk(d->mu);
    for (;;) {
        d->cv.wait(lk, [d] { return d->stop || (d->job >= 0 && d->b[d->job].state == CUTTING); });
        if (d->stop)
            return;
        dd_batch &b = d->b[d->job];
        lk.unlock();
        cut_batch(b);
        lk.lock();
        b.state = CUT;
        d->cv.notify_all();
    }
}

// Waits until the worker is done with the batch it has.
void wait_cut(bfst2_dedup *d)
{
    std::unique_lock<std::mutex> lk(d->mu);
    d->cv.wait(lk, [d] { return d->job < 0 || d->b[d->job].state == CUT; });
    d->job = -1;
}

int store_failed(const bfst2_store *s, const char *op, char **err)
{
    return bfst2_fail(err, s->fail_code, "%s: the store failed earlier: %s", op, s->fail_text.c_str());
}

// Reads the answer to the offered batch's query and sends the chunks it
// asks for.
int answer(bfst2_store *s, const char *op, char **err)
{
    bfst2_connection *c = s->sess->conn;
    bfst2_dedup *d = s->dd;
    dd_batch &b = d->b[d->offered];
    b.state = FREE;
    d->offered = -1;
    bfst2_reply rep;
    int rc = bfst2_read_answer(c, op, s->id, &rep, err);
    c->awaited--;
    if (rc != BFST2_OK) {
        if (c->state == BFST2_OPEN) {
            s->state = BFST2_ST_FAILED;
            s->fail_code = rc;
            s->fail_text = err != nullptr && *err != nullptr ? *err : "the appliance refused the chunks";
        }
        return rc;
    }
    unsigned char want[BFST_QUERY_MAX / 8];
    if (bfst_query_ok_decode(rep.payload, rep.hdr.len, b.count, want) != 0)
        return bfst2_fail(err, BFST2_ERR_PROTOCOL, "%s: malformed answer to a chunk query", op);
    for (uint32_t k = 0; k < b.count; ++k) {
        if ((want[k / 8] >> (k % 8) & 1) == 0)
            continue;
        if (s->state == BFST2_ST_FAILED)
            return store_failed(s, op, err);
        const unsigned char *raw = b.mem.get() + b.off[k];
        bfst_chunk_hdr ch;
        memcpy(ch.fp, b.e[k].fp, BFST_FP_LEN);
        ch.len = b.e[k].len;
        size_t n = bfst_chunk_pack(raw, ch.len, d->packed.get(), &ch.flags);
        unsigned char h[BFST_CHUNK_HDR];
        bfst_chunk_hdr_encode(h, ch);
        // an incompressible chunk goes from the batch itself
        struct iovec parts[2] = {{h, sizeof h},
                                 {const_cast<unsigned char *>(ch.flags != 0 ? d->packed.get() : raw), n}};
        rc = bfst2_send_frame(c, op, BFST_CHUNK, s->id, parts, 2, err);
        if (rc != BFST2_OK)
            return rc;
        s->unique_raw += ch.len;
        s->unique_stored += n;
    }
    // an error the appliance reported meanwhile ends the store here
    return s->state == BFST2_ST_FAILED ? store_failed(s, op, err) : BFST2_OK;
}

// Offers the cut batch's chunks to the appliance, once the worker is done.
int offer(bfst2_store *s, const char *op, char **err)
{
    bfst2_dedup *d = s->dd;
    wait_cut(d);
    dd_batch &b = d->b[d->cut];
    if (b.count == 0) {
        b.state = FREE;  // nothing in it (an empty end of the stream)
        d->cut = -1;
        return BFST2_OK;
    }
    struct iovec q = {d->query, bfst_query_encode(d->query, b.e, b.count)};
    int rc = bfst2_send_frame(s->sess->conn, op, BFST_CHUNK_QUERY, s->id, &q, 1, err);
    if (rc != BFST2_OK)
        return rc;
    s->sess->conn->awaited++;
    b.state = OFFERED;
    d->offered = d->cut;
    d->cut = -1;
    return BFST2_OK;
}

// Gives the filling batch to the worker (last: the end of the stream).
// First the batch offered earlier is answered and the one cut earlier
// offered, so queries and answers keep their order, and the latter's uncut
// tail goes in front of the filling one.
int flush(bfst2_store *s, bool last, const char *op, char **err)
{
    bfst2_dedup *d = s->dd;
    int rc = d->offered >= 0 ? answer(s, op, err) : BFST2_OK;
    dd_batch &f = d->b[d->fill];
    f.start = ROOM;
    if (rc == BFST2_OK && d->cut >= 0) {
        const int p = d->cut;
        rc = offer(s, op, err);
        // (the tail stays in the batch's memory whether it was offered or not)
        const dd_batch &prev = d->b[p];
        const size_t t = prev.len - prev.tail;
        memcpy(f.mem.get() + ROOM - t, prev.mem.get() + prev.tail, t);
        f.start = ROOM - t;
    }
    if (rc != BFST2_OK)
        return rc;
    // (found by its index: the worker may be writing the state of another)
    int next = 0;
    while (next == d->fill || next == d->cut || next == d->offered)
        next++;
    d->b[next].state = FILLING;
    d->b[next].len = ROOM;
    f.last = last;
    {
        std::lock_guard<std::mutex> lk(d->mu);
        f.state = CUTTING;
        d->cut = d->fill;
        d->job = d->fill;
        d->cv.notify_all();
    }
    d->fill = next;
    return BFST2_OK;
}

}  // namespace

int bfst2_dedup_start(bfst2_store *s, const char *op, char **err)
{
    auto *d = new (std::nothrow) bfst2_dedup;
    if (d != nullptr) {
        d->packed.reset(new (std::nothrow) unsigned char[bfst_chunk_bound()]);
        if (d->packed == nullptr) {
            delete d;
            d = nullptr;
        }
    }
    if (d != nullptr) {
        for (dd_batch &b : d->b) {
            b.mem.reset(new (std::nothrow) unsigned char[STAGE]);
            if (b.mem == nullptr) {
                delete d;
                d = nullptr;
                break;
            }
        }
    }
    if (d == nullptr)
        return bfst2_fail(err, BFST2_ERR_NOMEM, "%s: out of memory for the deduplication buffers", op);
    d->b[0].state = FILLING;
    try {
        d->worker = std::thread(work, d);
    } catch (...) {
        delete d;
        return bfst2_fail(err, BFST2_ERR_NOMEM, "%s: cannot start the deduplication worker", op);
    }
    s->dd = d;
    return BFST2_OK;
}

int bfst2_dedup_put(bfst2_store *s, const unsigned char *p, uint64_t n, const char *op, char **err)
{
    bfst2_dedup *d = s->dd;
    while (n != 0) {
        dd_batch &b = d->b[d->fill];
        const size_t k = size_t(std::min<uint64_t>(n, STAGE - b.len));
        memcpy(b.mem.get() + b.len, p, k);
        b.len += k;
        p += k;
        n -= k;
        s->bytes += k;
        if (b.len == STAGE) {
            int rc = flush(s, false, op, err);
            if (rc != BFST2_OK)
                return rc;
        }
    }
    return BFST2_OK;
}

int bfst2_dedup_end(bfst2_store *s, const char *op, char **err)
{
    bfst2_dedup *d = s->dd;
    // the rest of the stream, with the tail of the batch before, cut whole
    int rc = flush(s, true, op, err);
    if (rc == BFST2_OK && d->offered >= 0)
        rc = answer(s, op, err);
    if (rc == BFST2_OK && d->cut >= 0)
        rc = offer(s, op, err);
    if (rc == BFST2_OK && d->offered >= 0)
        rc = answer(s, op, err);
    return rc;
}

void bfst2_dedup_free(bfst2_store *s)
{
    bfst2_dedup *d = s->dd;
    if (d == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lk(d->mu);
        d->stop = true;
    }
    d->cv.notify_all();
    d->worker.join();
    // An answer still due is read, so the connection stays in step.
    bfst2_connection *c = s->sess->conn;
    if (d->offered >= 0) {
        bfst2_reply rep;
        char *ignored = nullptr;
        if (c->state == BFST2_OPEN)
            bfst2_read_answer(c, "bfst2_store_destroy", s->id, &rep, &ignored);
        free(ignored);
        c->awaited--;
    }
    delete d;
    s->dd = nullptr;
}
