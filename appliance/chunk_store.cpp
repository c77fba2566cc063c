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

int kes_errno() { return util_errno_to_kes(errno); }

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

int64_t chunk_mono_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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
    if (recipe_load(recipe, &rs, &size, &why) != 0 || chunk_sums_of(cs, rs, size, &s, &why, true) != 0)
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
    cs->busy_ms.store(chunk_mono_ms(), std::memory_order_relaxed);
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
