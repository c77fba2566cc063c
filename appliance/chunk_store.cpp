// The chunk store (see chunk_store.h for the files and the rules).
#include "appliance/chunk_int.h"

#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"
#include "appliance/store_sums.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace {

struct container {
    uint64_t id = 0;
    int fd = -1;
    std::string path;
    uint64_t size = 0;   // bytes of whole records
    uint64_t live = 0;   // of referenced chunks
    bool dirty = false;  // written since the last sync
    bool fresh = false;  // created since the last sync: its directory entry too

    ~container()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct chunk_ent {
    std::shared_ptr<container> cont;
    uint64_t off = 0;
    uint32_t len = 0;
    uint32_t stored = 0;
    uint32_t flags = 0;
    uint32_t refs = 0;

    uint64_t rec() const { return CHUNK_REC_HEAD + stored; }
};

int kes_errno() { return util_errno_to_kes(errno); }

int64_t mono_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int fsync_dir(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return kes_errno();
    int rc = fsync(fd) == 0 ? 0 : kes_errno();
    close(fd);
    return rc;
}

}  // namespace

struct chunk_store {
    store *st = nullptr;
    std::string blob_dir, dir;
    uint32_t gc_pause_ms = 0;
    std::mutex mu;       // index, containers, counts
    std::mutex sync_mu;  // one sync at a time, so a sync returns only when all before it are durable
    std::unordered_map<bfst_fp, chunk_ent, bfst_fp_hash> index;
    std::map<uint64_t, std::shared_ptr<container>> conts;
    std::shared_ptr<container> active;
    uint64_t next_id = 1;
    // the collector
    std::mutex gc_run_mu;  // one collection at a time
    std::mutex gc_mu;      // the collector's wake-up
    std::condition_variable gc_cv;
    bool gc_wanted = false, stopping = false;
    std::thread gc;
    // the maker of recipes' page checksums
    std::mutex sum_mu;
    std::condition_variable sum_cv;
    std::deque<std::string> sum_queue;  // tags
    bool summing = false, sum_stop = false;
    std::thread sumt;
    // when a chunk was last stored or read for a client: the summing thread
    // keeps out of their way
    std::atomic<int64_t> busy_ms{0};
};

// ---------------------------------------------------------------- the store

namespace {

// Indexes the containers of dir into cs (first copy of a chunk wins).
void index_containers(chunk_store *cs)
{
    std::vector<std::string> names;
    store_dir_names(cs->dir, &names);
    std::vector<uint64_t> ids;
    for (const std::string &n : names) {
        uint64_t id = 0;
        if (chunk_parse_cont_name(n, &id))
            ids.push_back(id);
        else if (n.size() > 4 && n.compare(n.size() - 4, 4, ".tmp") == 0)
            unlink((cs->dir + "/" + n).c_str());
    }
    std::sort(ids.begin(), ids.end());
    for (uint64_t id : ids) {
        auto c = std::make_shared<container>();
        c->id = id;
        c->path = cs->dir + "/" + chunk_cont_name(id);
        c->fd = open(c->path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        struct stat sb;
        if (c->fd < 0 || fstat(c->fd, &sb) != 0 || !S_ISREG(sb.st_mode))
            continue;
        // Whole records only; a torn tail is counted as the file's size all
        // the same (it is on disk), and goes with its container.
        chunk_scan_records(c->fd, uint64_t(sb.st_size), [&](uint64_t off, const chunk_rec_head &rh) {
            auto it = cs->index.find(rh.fp);
            if (it != cs->index.end())
                return;  // a copy left by an interrupted collection
            chunk_ent e;
            e.cont = c;
            e.off = off;
            e.len = rh.len;
            e.stored = rh.stored;
            e.flags = rh.flags;
            cs->index.emplace(rh.fp, e);
        });
        c->size = uint64_t(sb.st_size);
        cs->conts[id] = c;
        cs->next_id = std::max(cs->next_id, id + 1);
    }
}

// References of one recipe, with sign +1 or -1; cs->mu held.
void count_refs_locked(chunk_store *cs, const std::vector<recipe_entry> &rs, int sign)
{
    for (const recipe_entry &r : rs) {
        auto it = cs->index.find(r.fp);
        if (it == cs->index.end())
            continue;  // --verify reports it; reads of its file fail
        chunk_ent &e = it->second;
        if (sign > 0) {
            if (e.refs++ == 0)
                e.cont->live += e.rec();
        } else if (e.refs != 0 && --e.refs == 0) {
            e.cont->live -= e.rec();
        }
    }
}

void want_gc(chunk_store *cs)
{
    {
        std::lock_guard<std::mutex> lk(cs->gc_mu);
        cs->gc_wanted = true;
    }
    cs->gc_cv.notify_all();
}

void gc_loop(chunk_store *cs)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(cs->gc_mu);
            cs->gc_cv.wait(lk, [cs] { return cs->gc_wanted || cs->stopping; });
            if (cs->stopping)
                return;
            cs->gc_wanted = false;
        }
        chunk_store_gc(cs);
    }
}

// Opens a new active container; cs->mu held.
int new_active_locked(chunk_store *cs)
{
    auto c = std::make_shared<container>();
    c->id = cs->next_id++;
    c->path = cs->dir + "/" + chunk_cont_name(c->id);
    c->fd = store_create_file(c->path, O_RDWR | O_CREAT | O_EXCL);
    if (c->fd < 0)
        return kes_errno();
    c->fresh = true;
    cs->conts[c->id] = c;
    cs->active = c;
    return 0;
}

// Appends a record to the active container (a new one when it is full) and
// returns where; cs->mu held. Counts it against the quota first.
int append_locked(chunk_store *cs, const bfst_fp &fp, uint32_t len, uint32_t flags, const void *stored, size_t n,
                  std::shared_ptr<container> *where, uint64_t *off)
{
    int rc = store_charge(cs->st, CHUNK_REC_HEAD + n);
    if (rc != 0)
        return rc;
    if (cs->active == nullptr || cs->active->size + CHUNK_REC_HEAD + n > CHUNK_CONTAINER_MAX)
        rc = new_active_locked(cs);
    unsigned char h[CHUNK_REC_HEAD];
    chunk_head_encode(h, fp, len, flags, stored, n);
    struct iovec iov[2] = {{h, sizeof h}, {const_cast<void *>(stored), n}};
    container *c = cs->active.get();
    size_t done = 0;
    while (rc == 0 && done < sizeof h + n) {
        // (a short write is finished from where it stopped)
        ssize_t w;
        if (done < sizeof h) {
            struct iovec v[2] = {{h + done, sizeof h - done}, iov[1]};
            w = pwritev(c->fd, v, 2, off_t(c->size + done));
        } else {
            w = pwrite(c->fd, static_cast<const unsigned char *>(stored) + (done - sizeof h), n - (done - sizeof h),
                       off_t(c->size + done));
        }
        if (w < 0 && errno != EINTR)
            rc = kes_errno();
        else if (w > 0)
            done += size_t(w);
    }
    if (rc != 0) {
        store_uncharge(cs->st, CHUNK_REC_HEAD + n);
        return rc;
    }
    *where = cs->active;
    *off = c->size;
    c->size += CHUNK_REC_HEAD + n;
    c->dirty = true;
    return 0;
}

int recipe_sums(chunk_store *cs, const std::vector<recipe_entry> &es, uint64_t size, sums_file **out,
                const char **why, bool background);
int read_many(chunk_store *cs, chunk_reader *r, const recipe_entry *es, size_t n, unsigned char *out,
              const char **why, bool for_client);

// Makes and keeps the page checksums of one sealed recipe blob. Whatever
// fails leaves them to be made when a reader asks for them.
void sum_recipe(chunk_store *cs, const std::string &tag)
{
    const std::string recipe = cs->blob_dir + "/" + tag;
    const std::string kps = cs->blob_dir + "/." + tag + RECIPE_PAGE_SUMS_SUFFIX;
    std::vector<recipe_entry> rs;
    uint64_t size = 0;
    const char *why = nullptr;
    sums_file *s = nullptr;
    if (recipe_load(recipe, &rs, &size, &why) != 0 || recipe_sums(cs, rs, size, &s, &why, true) != 0)
        return;
    sums_save(s, kps);
    sums_free(s);
    // a recipe removed meanwhile takes its checksums with it
    struct stat sb;
    if (lstat(recipe.c_str(), &sb) != 0)
        unlink(kps.c_str());
}

void sum_loop(chunk_store *cs)
{
    // Backups and restores come first: the checksums are made with what
    // CPU they leave (a restore that needs them first makes them itself).
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 19);
    std::unique_lock<std::mutex> lk(cs->sum_mu);
    for (;;) {
        cs->sum_cv.wait(lk, [cs] { return cs->sum_stop || !cs->sum_queue.empty(); });
        if (cs->sum_stop)
            return;
        std::string tag = std::move(cs->sum_queue.front());
        cs->sum_queue.pop_front();
        cs->summing = true;
        lk.unlock();
        sum_recipe(cs, tag);
        lk.lock();
        cs->summing = false;
        cs->sum_cv.notify_all();
    }
}

void pause_ms(chunk_store *cs)
{
    if (cs->gc_pause_ms != 0)
        usleep(useconds_t(cs->gc_pause_ms) * 1000);
}

}  // namespace

int chunk_store_open(store *st, const std::string &root, uint32_t gc_pause_ms, chunk_store **out, std::string *err)
{
    *out = nullptr;
    auto *cs = new chunk_store;
    cs->st = st;
    cs->gc_pause_ms = gc_pause_ms;
    cs->blob_dir = root + "/" + STORE_BLOB_DIR;
    cs->dir = cs->blob_dir + "/" + CHUNK_DIR;
    if (mkdir(cs->dir.c_str(), 0700) != 0 && errno != EEXIST) {
        int e = errno;
        *err = "cannot create the chunk directory " + cs->dir + ": " + strerror(e);
        delete cs;
        return util_errno_to_kes(e);
    }
    struct stat sb;
    if (lstat(cs->dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        *err = "chunk directory " + cs->dir + " is not a directory";
        delete cs;
        return KES_ENOTDIR;
    }
    index_containers(cs);
    // The recipes the sweep kept are those of complete files.
    std::vector<std::string> names;
    store_dir_names(cs->blob_dir, &names);
    const size_t sl = strlen(RECIPE_SUMS_SUFFIX);
    for (const std::string &n : names) {
        if (n.size() <= sl + 1 || n[0] != '.' || n.compare(n.size() - sl, sl, RECIPE_SUMS_SUFFIX) != 0)
            continue;
        std::vector<recipe_entry> rs;
        uint64_t size = 0;
        const char *why = nullptr;
        if (recipe_load(cs->blob_dir + "/" + n.substr(1, n.size() - 1 - sl), &rs, &size, &why) == 0)
            count_refs_locked(cs, rs, +1);
    }
    uint64_t disk = 0;
    for (const auto &kv : cs->conts)
        disk += kv.second->size;
    store_count_bytes(st, disk);
    // What a crash left unreferenced goes before the store is served, so
    // the usage it reports at start-up is what it keeps.
    chunk_store_gc(cs);
    cs->gc = std::thread(gc_loop, cs);
    cs->sumt = std::thread(sum_loop, cs);
    *out = cs;
    return 0;
}

void chunk_store_close(chunk_store *cs)
{
    if (cs == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lk(cs->gc_mu);
        cs->stopping = true;
    }
    cs->gc_cv.notify_all();
    if (cs->gc.joinable())
        cs->gc.join();
    {
        std::lock_guard<std::mutex> lk(cs->sum_mu);
        cs->sum_stop = true;
    }
    cs->sum_cv.notify_all();
    if (cs->sumt.joinable())
        cs->sumt.join();
    chunk_store_sync(cs);
    delete cs;
}

bool chunk_ref(chunk_store *cs, const bfst_fp &fp, uint32_t len, int *rc)
{
    *rc = 0;
    std::lock_guard<std::mutex> lk(cs->mu);
    auto it = cs->index.find(fp);
    if (it == cs->index.end())
        return false;
    chunk_ent &e = it->second;
    if (e.len != len) {
        *rc = KES_EINVAL;
        return false;
    }
    if (e.refs++ == 0)
        e.cont->live += e.rec();
    return true;
}

int chunk_put(chunk_store *cs, const bfst_fp &fp, uint32_t len, uint32_t flags, const void *stored, size_t n,
              uint32_t refs)
{
    cs->busy_ms.store(mono_ms(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> lk(cs->mu);
    auto it = cs->index.find(fp);
    if (it == cs->index.end()) {
        chunk_ent e;
        int rc = append_locked(cs, fp, len, flags, stored, n, &e.cont, &e.off);
        if (rc != 0)
            return rc;
        e.len = len;
        e.stored = uint32_t(n);
        e.flags = flags;
        it = cs->index.emplace(fp, e).first;
    } else if (it->second.len != len) {
        return KES_EINVAL;
    }
    chunk_ent &e = it->second;
    if (e.refs == 0 && refs != 0)
        e.cont->live += e.rec();
    e.refs += refs;
    return 0;
}

void chunk_unref(chunk_store *cs, const bfst_fp *fps, size_t n)
{
    if (n == 0)
        return;
    bool any = false;
    {
        std::lock_guard<std::mutex> lk(cs->mu);
        for (size_t i = 0; i < n; ++i) {
            auto it = cs->index.find(fps[i]);
            if (it == cs->index.end() || it->second.refs == 0)
                continue;
            chunk_ent &e = it->second;
            if (--e.refs == 0) {
                e.cont->live -= e.rec();
                any = true;
            }
        }
    }
    if (any)
        want_gc(cs);
}

void chunk_release_recipe(chunk_store *cs, const std::string &path)
{
    std::vector<recipe_entry> rs;
    uint64_t size = 0;
    const char *why = nullptr;
    // A recipe that cannot be read keeps its chunks until the next start-up
    // counts the references again.
    if (recipe_load(path, &rs, &size, &why) != 0)
        return;
    {
        std::lock_guard<std::mutex> lk(cs->mu);
        count_refs_locked(cs, rs, -1);
    }
    want_gc(cs);
}

int chunk_store_sync(chunk_store *cs)
{
    std::lock_guard<std::mutex> sl(cs->sync_mu);
    std::vector<std::shared_ptr<container>> dirty;
    bool fresh = false;
    {
        std::lock_guard<std::mutex> lk(cs->mu);
        for (const auto &kv : cs->conts) {
            if (kv.second->dirty)
                dirty.push_back(kv.second);
            fresh = fresh || kv.second->fresh;
            kv.second->dirty = false;
            kv.second->fresh = false;
        }
    }
    int rc = 0;
    for (const auto &c : dirty)
        if (fsync(c->fd) != 0 && rc == 0)
            rc = kes_errno();
    if (fresh && rc == 0)
        rc = fsync_dir(cs->dir);
    if (rc != 0) {
        // not durable: the next sync tries again
        std::lock_guard<std::mutex> lk(cs->mu);
        for (const auto &c : dirty)
            c->dirty = true;
    }
    return rc;
}

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
        cs->busy_ms.store(mono_ms(), std::memory_order_relaxed);
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

// The page checksums of a recipe's stream; made in the background, they
// wait while clients store or read chunks (a restore is not slowed by the
// checksums of the backup before it).
int recipe_sums(chunk_store *cs, const std::vector<recipe_entry> &es, uint64_t size, sums_file **out,
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
        while (background && mono_ms() - cs->busy_ms.load(std::memory_order_relaxed) < 200) {
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

}  // namespace

int chunk_recipe_sums(chunk_store *cs, const std::vector<recipe_entry> &es, uint64_t size, sums_file **out,
                      const char **why)
{
    return recipe_sums(cs, es, size, out, why, false);
}

void chunk_store_sum_later(chunk_store *cs, const std::string &tag)
{
    {
        std::lock_guard<std::mutex> lk(cs->sum_mu);
        cs->sum_queue.push_back(tag);
    }
    cs->sum_cv.notify_all();
}

void chunk_store_sums_idle(chunk_store *cs)
{
    std::unique_lock<std::mutex> lk(cs->sum_mu);
    cs->sum_cv.wait(lk, [cs] { return cs->sum_queue.empty() && !cs->summing; });
}

uint64_t chunk_store_gc(chunk_store *cs)
{
    std::lock_guard<std::mutex> one(cs->gc_run_mu);
    uint64_t reclaimed = 0;
    std::vector<unsigned char> buf;
    std::vector<uint64_t> skip;  // containers that cannot be collected now
    for (;;) {
        std::shared_ptr<container> c;
        bool moved = false, ok = true;
        {
            std::lock_guard<std::mutex> lk(cs->mu);
            if (cs->active != nullptr && cs->active->live == 0)
                cs->active = nullptr;  // nothing in it is wanted: it goes like the others
            for (const auto &kv : cs->conts) {
                const container &k = *kv.second;
                if (kv.second != cs->active && (k.live == 0 || k.live * 2 < k.size) &&
                    std::find(skip.begin(), skip.end(), k.id) == skip.end()) {
                    c = kv.second;
                    break;
                }
            }
            if (c == nullptr)
                break;
            // Referenced chunks get a copy in the active container; the index
            // points at the copy, the original stays until the copy is durable.
            for (auto &kv : cs->index) {
                chunk_ent &e = kv.second;
                if (e.cont != c || e.refs == 0)
                    continue;
                chunk_rec_head rh;
                std::shared_ptr<container> where;
                uint64_t off = 0;
                if (chunk_read_record(c->fd, e.off, e.stored, &rh, &buf) != nullptr || rh.fp != kv.first ||
                    append_locked(cs, kv.first, e.len, e.flags, buf.data() + CHUNK_REC_HEAD, e.stored, &where,
                                  &off) != 0) {
                    // damaged (left for --verify to find) or no room: not now
                    ok = false;
                    break;
                }
                c->live -= e.rec();
                e.cont = where;
                e.off = off;
                where->live += e.rec();
                moved = true;
            }
            if (!ok)
                skip.push_back(c->id);
        }
        if (!ok)
            continue;
        if (moved) {
            pause_ms(cs);
            if (chunk_store_sync(cs) != 0)
                break;
        }
        pause_ms(cs);
        {
            std::lock_guard<std::mutex> lk(cs->mu);
            if (c->live != 0)
                continue;  // referenced again meanwhile: looked at again
            for (auto it = cs->index.begin(); it != cs->index.end();)
                it = it->second.cont == c ? cs->index.erase(it) : std::next(it);
            cs->conts.erase(c->id);
        }
        // Readers that took the container before keep reading it through
        // their descriptor.
        unlink(c->path.c_str());
        fsync_dir(cs->dir);
        store_uncharge(cs->st, c->size);
        reclaimed += c->size;
    }
    return reclaimed;
}

chunk_stats chunk_store_stats(chunk_store *cs)
{
    chunk_stats s;
    std::lock_guard<std::mutex> lk(cs->mu);
    for (const auto &kv : cs->index) {
        s.chunks++;
        s.raw += kv.second.len;
        if (kv.second.refs != 0)
            s.referenced++;
    }
    for (const auto &kv : cs->conts) {
        s.disk += kv.second->size;
        s.live += kv.second->live;
        s.containers++;
    }
    return s;
}
