// Deduplicated stores of the transfer library: the stream is cut into chunks
// (bfst_dedup.h), their fingerprints offered to the appliance in batches,
// and only the chunks it lacks are sent, compressed where that pays.
//
// The stream is copied once, into batch buffers that take turns in a ring.
// Worker threads (one per core, at most WORKERS_MAX) each cut and
// fingerprint a batch while the caller's thread fills the next one and talks
// to the appliance. A worker cannot know where the batch before its own ends
// its last chunk, so it cuts from the batch's first byte; the caller's thread
// then puts the uncut tail of the batch before in front and cuts again from
// there until a cut meets one the worker made. From that cut on both agree (a
// cut depends only on the bytes of its own chunk), so the chunks are exactly
// those of the whole stream and the caller's share is a chunk or two. The
// buffers and the workers are taken when the store starts; nothing is
// allocated per block.
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
constexpr int WORKERS_MAX = 4;
// One batch filling, one a worker each, one waiting for its query's answer.
constexpr int SLOTS = WORKERS_MAX + 2;

static_assert((ROOM + BATCH) / BFST_CHUNK_MIN <= BFST_QUERY_MAX, "a batch is one query");

// A batch moves FILLING -> CUTTING (with a worker, cut from its own first
// byte) -> CUT -> (put right behind the batch before, queried) OFFERED ->
// (answered, its chunks sent) FREE. Batches are used in the ring's order.
enum slot_state { FREE, FILLING, CUTTING, CUT, OFFERED };

struct dd_batch {
    std::unique_ptr<unsigned char[]> mem;  // STAGE bytes
    size_t start = ROOM;                   // the stream's bytes are [start, len)
    size_t len = ROOM;
    bool last = false;                     // the end of the stream: cut it all
    bool taken = false;                    // a worker has it
    uint64_t seq = 0;                      // its place in the stream, in batches
    size_t tail = 0;                       // where its uncut tail starts
    uint32_t count = 0;                    // chunks cut
    slot_state state = FREE;
    bfst_query_entry e[BFST_QUERY_MAX];
    uint32_t off[BFST_QUERY_MAX];
};

}  // namespace

struct bfst2_dedup {
    dd_batch b[SLOTS];
    int slots = 0;        // of b in use: the workers plus two
    uint64_t fill = 0;    // sequence number of the batch the stream goes into
    uint64_t placed = 0;  // batches before it have been put behind their predecessor and queried
    bool offered = false; // batch placed - 1 waits for its answer
    unsigned char query[BFST_MAX_QUERY];
    std::unique_ptr<unsigned char[]> packed;  // bfst_chunk_bound() bytes
    // chunks cut again at the front of a batch
    bfst_query_entry fix_e[BFST_QUERY_MAX];
    uint32_t fix_off[BFST_QUERY_MAX];
    // The workers; the lock guards the batches' state, taken and seq.
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    std::vector<std::thread> workers;

    dd_batch &at(uint64_t seq) { return b[seq % uint64_t(slots)]; }
};

namespace {

// Workers for a store: one per core (the caller's thread mostly copies and
// waits on the socket, so it is not counted).
int worker_count()
{
    const unsigned hw = std::thread::hardware_concurrency();
    return int(std::clamp<unsigned>(hw, 1, WORKERS_MAX));
}

// Cuts [from, b.len) of a batch into chunks at index k on (to its end if it
// is the last, else while a cut is certain), fingerprinting each. stop_at,
// when not null, lists the count cut positions of an earlier cut: meeting
// one ends the cutting there. Returns the position reached.
size_t cut_range(dd_batch &b, size_t from, bfst_query_entry *e, uint32_t *off, uint32_t *k, const uint32_t *stop_at,
                 uint32_t stops)
{
    size_t pos = from;
    uint32_t j = 0;
    while (pos < b.len && (b.last || b.len - pos >= BFST_CHUNK_MAX)) {
        if (stop_at != nullptr) {
            while (j < stops && stop_at[j] < pos)
                j++;
            if (j < stops && stop_at[j] == pos)
                break;
        }
        const size_t n = bfst_chunk_cut(b.mem.get() + pos, b.len - pos);
        bfst_fp fp;
        bfst_fingerprint(b.mem.get() + pos, n, &fp);
        memcpy(e[*k].fp, fp.b, BFST_FP_LEN);
        e[*k].len = uint32_t(n);
        off[*k] = uint32_t(pos);
        ++*k;
        pos += n;
    }
    return pos;
}

void work(bfst2_dedup *d)
{
    std::unique_lock<std::mutex> lk(d->mu);
    for (;;) {
        // the oldest batch nobody cuts yet
        dd_batch *job = nullptr;
        d->cv.wait(lk, [d, &job] {
            for (int i = 0; i < d->slots; ++i) {
                dd_batch &b = d->b[i];
                if (b.state == CUTTING && !b.taken && (job == nullptr || b.seq < job->seq))
                    job = &b;
            }
            return d->stop || job != nullptr;
        });
        if (d->stop)
            return;
        job->taken = true;
        lk.unlock();
        job->count = 0;
        job->tail = cut_range(*job, ROOM, job->e, job->off, &job->count, nullptr, 0);
        lk.lock();
        job->state = CUT;
        d->cv.notify_all();
    }
}

int store_failed(const bfst2_store *s, const char *op, char **err)
{
    return bfst2_fail(err, s->fail_code, "%s: the store failed earlier: %s", op, s->fail_text.c_str());
}

// Reads the answer to the offered batch's query and sends the chunks it
// asks for. The batch stays as it is (the next one takes its tail).
int answer(bfst2_store *s, const char *op, char **err)
{
    bfst2_connection *c = s->sess->conn;
    bfst2_dedup *d = s->dd;
    dd_batch &b = d->at(d->placed - 1);
    d->offered = false;
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

// Puts batch seq right behind the one before: the tail that batch left
// uncut goes in front, and the front is cut again until it meets a cut the
// worker made (or the batch's end). prev is null for the first batch.
void place(bfst2_dedup *d, dd_batch *prev, dd_batch &b)
{
    b.start = ROOM;
    if (prev == nullptr || prev->tail == prev->len)
        return;
    const size_t t = prev->len - prev->tail;
    memcpy(b.mem.get() + ROOM - t, prev->mem.get() + prev->tail, t);
    b.start = ROOM - t;
    uint32_t k = 0;
    const size_t pos = cut_range(b, b.start, d->fix_e, d->fix_off, &k, b.off, b.count);
    // the worker's chunks from pos on stay; those before it are replaced
    uint32_t keep = 0;
    while (keep < b.count && b.off[keep] < pos)
        keep++;
    if (keep == b.count || b.off[keep] != pos) {
        keep = b.count;  // no cut met: the batch is cut anew to where it stopped
        b.tail = pos;
    }
    const uint32_t rest = b.count - keep;
    memmove(b.e + k, b.e + keep, sizeof b.e[0] * rest);
    memmove(b.off + k, b.off + keep, sizeof b.off[0] * rest);
    memcpy(b.e, d->fix_e, sizeof b.e[0] * k);
    memcpy(b.off, d->fix_off, sizeof b.off[0] * k);
    b.count = k + rest;
}

// Takes the oldest batch with the workers, once cut: answers the batch
// before (whose tail it needs until it is placed), places it behind that
// one, frees that one and offers this one. Queries and answers keep their
// order: one query is out at a time.
int advance(bfst2_store *s, const char *op, char **err)
{
    bfst2_dedup *d = s->dd;
    dd_batch &b = d->at(d->placed);
    {
        std::unique_lock<std::mutex> lk(d->mu);
        d->cv.wait(lk, [&b] { return b.state == CUT; });
    }
    int rc = d->offered ? answer(s, op, err) : BFST2_OK;
    if (rc != BFST2_OK)
        return rc;
    dd_batch *prev = d->placed > 0 ? &d->at(d->placed - 1) : nullptr;
    place(d, prev, b);
    if (prev != nullptr) {
        std::lock_guard<std::mutex> lk(d->mu);
        prev->state = FREE;
    }
    d->placed++;
    if (b.count == 0)
        return BFST2_OK;  // nothing in it (a short end of the stream); its tail is empty too
    struct iovec q = {d->query, bfst_query_encode(d->query, b.e, b.count)};
    rc = bfst2_send_frame(s->sess->conn, op, BFST_CHUNK_QUERY, s->id, &q, 1, err);
    if (rc != BFST2_OK)
        return rc;
    s->sess->conn->awaited++;
    d->offered = true;
    {
        std::lock_guard<std::mutex> lk(d->mu);
        b.state = OFFERED;
    }
    return BFST2_OK;
}

// Gives the filling batch to the workers (last: the end of the stream) and
// takes the next one for filling, advancing the pipe until there is one.
int flush(bfst2_store *s, bool last, const char *op, char **err)
{
    bfst2_dedup *d = s->dd;
    dd_batch &f = d->at(d->fill);
    f.last = last;
    {
        std::lock_guard<std::mutex> lk(d->mu);
        f.taken = false;
        f.seq = d->fill++;
        f.state = CUTTING;
        d->cv.notify_all();
    }
    if (last)
        return BFST2_OK;
    // The next slot in the ring is free once the batch that held it was
    // answered and the one after it placed.
    while (d->fill - d->placed + 1 >= uint64_t(d->slots)) {
        int rc = advance(s, op, err);
        if (rc != BFST2_OK)
            return rc;
    }
    dd_batch &n = d->at(d->fill);
    n.len = ROOM;
    std::lock_guard<std::mutex> lk(d->mu);
    n.state = FILLING;
    return BFST2_OK;
}

}  // namespace

int bfst2_dedup_start(bfst2_store *s, const char *op, char **err)
{
    auto *d = new (std::nothrow) bfst2_dedup;
    const int workers = worker_count();
    if (d != nullptr) {
        d->slots = workers + 2;
        d->packed.reset(new (std::nothrow) unsigned char[bfst_chunk_bound()]);
        if (d->packed == nullptr) {
            delete d;
            d = nullptr;
        }
    }
    for (int i = 0; d != nullptr && i < d->slots; ++i) {
        d->b[i].mem.reset(new (std::nothrow) unsigned char[STAGE]);
        if (d->b[i].mem == nullptr) {
            delete d;
            d = nullptr;
        }
    }
    if (d == nullptr)
        return bfst2_fail(err, BFST2_ERR_NOMEM, "%s: out of memory for the deduplication buffers", op);
    d->b[0].state = FILLING;
    try {
        for (int i = 0; i < workers; ++i)
            d->workers.emplace_back(work, d);
    } catch (...) {
        s->dd = d;
        bfst2_dedup_free(s);
        return bfst2_fail(err, BFST2_ERR_NOMEM, "%s: cannot start the deduplication workers", op);
    }
    s->dd = d;
    return BFST2_OK;
}

int bfst2_dedup_put(bfst2_store *s, const unsigned char *p, uint64_t n, const char *op, char **err)
{
    bfst2_dedup *d = s->dd;
    while (n != 0) {
        dd_batch &b = d->at(d->fill);
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
    while (rc == BFST2_OK && d->placed < d->fill)
        rc = advance(s, op, err);
    if (rc == BFST2_OK && d->offered)
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
    for (std::thread &t : d->workers)
        t.join();
    // An answer still due is read, so the connection stays in step.
    bfst2_connection *c = s->sess->conn;
    if (d->offered) {
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
