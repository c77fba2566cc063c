// Reading the chunk store: one chunk, the chunks of a recipe a group at a time
// with a run of records per system call, and the page checksums of a
// recipe's stream made from them.
#include "appliance/chunk_int.h"

#include "appliance/store_sums.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <sys/uio.h>

namespace {

int read_many(chunk_store *cs, chunk_reader *r, const recipe_entry *es, size_t n, unsigned char *out,
              const char **why, bool for_client);

}  // namespace

int chunk_read(chunk_store *cs, const recipe_entry &r, unsigned char *out, std::vector<unsigned char> *scratch,
               const char **why)
{
    chunk_ent e;
    {
        std::lock_guard<std::mutex> lk(cs->mu);
        auto it = cs->index.find(r.fp);
        if (it == cs->index.end() || it->second.len != r.len) {
            *why = "a chunk of it is missing";
            return KES_EIO;
        }
        e = it->second;
    }
    chunk_rec_head rh;
    if (e.flags == 0 && e.stored == r.len) {
        // Kept as it is: its bytes go straight to the caller, checked there.
        unsigned char h[CHUNK_REC_HEAD];
        struct iovec iov[2] = {{h, sizeof h}, {out, r.len}};
        ssize_t got;
        do {
            got = preadv(e.cont->fd, iov, 2, off_t(e.off));
        } while (got < 0 && errno == EINTR);
        if (got != ssize_t(CHUNK_REC_HEAD + r.len)) {
            // (a short read of a regular file: the slow path tells what)
        } else if (!chunk_head_decode(h, &rh) || rh.fp != r.fp || rh.len != r.len || rh.flags != 0 ||
                   dm_sum64(out, r.len) != rh.sum) {
            *why = "a chunk of it is damaged";
            return KES_EIO;
        } else {
            return 0;
        }
    }
    if (const char *bad = chunk_read_record(e.cont->fd, e.off, e.stored, &rh, scratch)) {
        *why = bad;
        return KES_EIO;
    }
    if (rh.fp != r.fp || rh.len != r.len ||
        bfst_chunk_unpack(scratch->data() + CHUNK_REC_HEAD, rh.stored, rh.flags, out, r.len) != 0) {
        *why = "a chunk of it is damaged";
        return KES_EIO;
    }
    return 0;
}

namespace {

constexpr size_t READ_GROUP = 128;            // chunks located under one lock
constexpr size_t READ_SCRATCH = 1u << 20;     // stored bytes of compressed chunks per read

}  // namespace

struct chunk_reader {
    struct loc {
        std::shared_ptr<container> cont;  // kept open while it is read
        uint64_t off = 0;
        uint32_t stored = 0, flags = 0;
    };
    loc at[READ_GROUP];
    unsigned char heads[READ_GROUP][CHUNK_REC_HEAD];
    struct iovec iov[2 * READ_GROUP];
    std::unique_ptr<unsigned char[]> scratch{new unsigned char[READ_SCRATCH]};
    std::vector<unsigned char> slow;  // chunk_read's, when a run cannot be read whole
};

chunk_reader *chunk_reader_new() { return new (std::nothrow) chunk_reader; }

void chunk_reader_free(chunk_reader *r) { delete r; }

int chunk_read_many(chunk_store *cs, chunk_reader *r, const recipe_entry *es, size_t n, unsigned char *out,
                    const char **why)
{
    return read_many(cs, r, es, n, out, why, true);
}

namespace {

int read_many(chunk_store *cs, chunk_reader *r, const recipe_entry *es, size_t n, unsigned char *out,
              const char **why, bool for_client)
{
    if (for_client)
        cs->busy_ms.store(chunk_mono_ms(), std::memory_order_relaxed);
    static_assert(READ_SCRATCH >= CHUNK_REC_HEAD + BFST_CHUNK_MAX * 2, "a compressed chunk fits the scratch");
    // (no container is kept open past the call)
    struct release {
        chunk_reader *r;
        ~release()
        {
            for (auto &l : r->at)
                l.cont.reset();
        }
    } rel{r};
    for (size_t base = 0; base < n;) {
        const size_t g = std::min(READ_GROUP, n - base);
        {
            std::lock_guard<std::mutex> lk(cs->mu);
            for (size_t k = 0; k < g; ++k) {
                auto it = cs->index.find(es[base + k].fp);
                if (it == cs->index.end() || it->second.len != es[base + k].len) {
                    *why = "a chunk of it is missing";
                    return KES_EIO;
                }
                const chunk_ent &e = it->second;
                r->at[k].cont = e.cont;
                r->at[k].off = e.off;
                r->at[k].stored = e.stored;
                r->at[k].flags = e.flags;
            }
        }
        for (size_t k = 0; k < g;) {
            // The run from k: records back to back in one container. A chunk
            // kept as it is lands in out, a compressed one in the scratch.
            const size_t first = k;
            container *c = r->at[k].cont.get();
            uint64_t pos = r->at[k].off;
            size_t sc = 0, total = 0;
            int nv = 0;
            unsigned char *o = out;
            for (; k < g; ++k) {
                const chunk_reader::loc &l = r->at[k];
                const uint32_t len = es[base + k].len;
                const bool raw = l.flags == 0 && l.stored == len;
                if (l.cont.get() != c || l.off != pos || l.stored > bfst_chunk_bound() ||
                    (!raw && sc + l.stored > READ_SCRATCH))
                    break;
                r->iov[nv++] = {r->heads[k], CHUNK_REC_HEAD};
                r->iov[nv++] = {raw ? o : r->scratch.get() + sc, l.stored};
                if (!raw)
                    sc += l.stored;
                o += len;
                pos += CHUNK_REC_HEAD + l.stored;
                total += CHUNK_REC_HEAD + l.stored;
            }
            if (k == first)
                k++;  // (a damaged length: the slow path says what)
            ssize_t got = 0;
            if (nv != 0) {
                do {
                    got = preadv(c->fd, r->iov, nv, off_t(r->at[first].off));
                } while (got < 0 && errno == EINTR);
            }
            const bool whole = nv != 0 && got == ssize_t(total);
            sc = 0;
            for (size_t j = first; j < k; ++j) {
                const chunk_reader::loc &l = r->at[j];
                const recipe_entry &want = es[base + j];
                chunk_rec_head rh;
                if (!whole) {
                    // (a short read, or a record that cannot be right: one at a time)
                    if (chunk_read(cs, want, out, &r->slow, why) != 0)
                        return KES_EIO;
                } else {
                    const bool raw = l.flags == 0 && l.stored == want.len;
                    const unsigned char *stored = raw ? out : r->scratch.get() + sc;
                    if (!chunk_head_decode(r->heads[j], &rh) || rh.fp != want.fp || rh.len != want.len ||
                        rh.flags != l.flags || rh.stored != l.stored || dm_sum64(stored, l.stored) != rh.sum ||
                        (!raw && bfst_chunk_unpack(stored, l.stored, l.flags, out, want.len) != 0)) {
                        *why = "a chunk of it is damaged";
                        return KES_EIO;
                    }
                    if (!raw)
                        sc += l.stored;
                }
                out += want.len;
            }
        }
        base += g;
    }
    return 0;
}

}  // namespace

// In the background they wait, so a restore is not slowed by the checksums of
// the backup before it.
int chunk_sums_of(chunk_store *cs, const std::vector<recipe_entry> &es, uint64_t size, sums_file **out,
                  const char **why, bool background)
{
    *out = nullptr;
    constexpr size_t BUF = 1u << 20;
    std::unique_ptr<chunk_reader, void (*)(chunk_reader *)> r(chunk_reader_new(), chunk_reader_free);
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[BUF]);
    sums_file *s = sums_new();
    if (r == nullptr || buf == nullptr || s == nullptr) {
        sums_free(s);
        return KES_ENOMEM;
    }
    uint64_t off = 0;
    for (size_t i = 0; i < es.size();) {
        // as many whole chunks as the buffer holds
        size_t j = i, n = 0;
        while (j < es.size() && n + es[j].len <= BUF)
            n += es[j++].len;
        while (background && chunk_mono_ms() - cs->busy_ms.load(std::memory_order_relaxed) < 200) {
            std::unique_lock<std::mutex> lk(cs->sum_mu);
            if (cs->sum_cv.wait_for(lk, std::chrono::milliseconds(50), [cs] { return cs->sum_stop; })) {
                *why = "the appliance stops";
                sums_free(s);
                return KES_EIO;
            }
        }
        int rc = j == i ? KES_EIO : read_many(cs, r.get(), &es[i], j - i, buf.get(), why, !background);
        if (rc == 0)
            rc = sums_note_write(s, buf.get(), n, off);
        if (rc != 0) {
            if (j == i)
                *why = "its recipe is damaged";
            sums_free(s);
            return rc;
        }
        off += n;
        i = j;
    }
    // every page was summed from the bytes in hand: nothing is read back
    if (off != size || sums_seal(s, -1, size) != 0) {
        *why = "a blob of it does not have the size recorded for it";
        sums_free(s);
        return KES_EIO;
    }
    *out = s;
    return 0;
}

int chunk_recipe_sums(chunk_store *cs, const std::vector<recipe_entry> &es, uint64_t size, sums_file **out,
                      const char **why)
{
    return chunk_sums_of(cs, es, size, out, why, false);
}
