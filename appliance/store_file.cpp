// Files of the store: open by mode, positioned reads checked against the
// page checksums, writes counted against the quota, sync, commit (the file
// becomes visible only whole and on disk; a file assembled from blobs as its
// manifest), abandon and delete.
#include "appliance/store_int.h"

#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

store_file::~store_file()
{
    if (created && st != nullptr) {
        std::lock_guard<std::mutex> lk(st->mu);
        store_drop_writer_locked(this);
        auto it = st->writers.find(rel);
        if (it != st->writers.end() && it->second == this)
            st->writers.erase(it);
    }
    if (fd >= 0)
        close(fd);
    sums_free(sums);
}

// ---------------------------------------------------------------- files

int store_file_open(store *st, const std::string &rel, unsigned mode, std::shared_ptr<store_file> *out)
{
    out->reset();
    if ((mode & (STORE_READ | STORE_WRITE)) == 0)
        return KES_EINVAL;
    if ((mode & STORE_CREATE) != 0 && (mode & STORE_WRITE) == 0)
        return KES_EINVAL;
    auto f = std::make_shared<store_file>();
    f->st = st;
    f->rel = rel;
    f->mode = mode;
    std::string fin = store_final_path(st, rel);

    if ((mode & STORE_CREATE) == 0) {
        // An existing complete file, read or written in place.
        std::lock_guard<std::mutex> lk(st->mu);
        int flags = ((mode & STORE_WRITE) ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
        int fd = open(fin.c_str(), flags);
        if (fd < 0)
            return errno == ELOOP ? KES_ENOENT : store_errno();
        struct stat sb;
        if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
            close(fd);
            return KES_ENOENT;
        }
        f->fd = fd;
        f->size = uint64_t(sb.st_size);
        f->charged = uint64_t(sb.st_size);  // counted when it was committed or found
        if (store_regular_size(store_hidden_path(st, rel, SEGS_SUMS_SUFFIX), nullptr)) {
            // Assembled from blobs: read through its segments, never written in place.
            if ((mode & STORE_WRITE) != 0)
                return KES_EROFS;
            int rc = store_load_assembled(f.get());
            if (rc != 0)
                return rc;
            *out = std::move(f);
            return 0;
        }
        // Its checksums; a file whose checksums are lost is opened all the
        // same, and every read of it says why it is refused.
        const char *why = nullptr;
        int rc = sums_load(store_hidden_path(st, rel, SUMS_SUFFIX), f->size.load(), &f->sums, &why);
        if (rc == KES_ENOENT)
            why = "no checksums are kept for it";
        if (rc != 0) {
            f->sums = sums_refusing(why != nullptr ? why : "its checksums cannot be read");
            if (f->sums == nullptr)
                return KES_ENOMEM;
        }
        *out = std::move(f);
        return 0;
    }

    std::lock_guard<std::mutex> lk(st->mu);
    auto w = st->writers.find(rel);
    if (w != st->writers.end())
        return KES_EEXIST;  // someone is writing it now
    if ((mode & STORE_EXCL) != 0) {
        struct stat sb;
        if (lstat(fin.c_str(), &sb) == 0)
            return KES_EEXIST;
    }
    int rc = store_make_dirs(st, rel);
    if (rc != 0)
        return rc;
    std::string part = store_hidden_path(st, rel, PART_SUFFIX);
    unlink(part.c_str());
    // Attributes of a file that no longer exists must not stick to the new one.
    if (!store_regular_size(fin, nullptr))
        store_unlink_counted(st, store_hidden_path(st, rel, XATTR_SUFFIX));
    f->sums = sums_new();
    if (f->sums == nullptr)
        return KES_ENOMEM;
    int fd = store_create_file(part, O_RDWR | O_EXCL);
    if (fd < 0)
        return store_errno();
    f->fd = fd;
    f->created = true;
    st->writers[rel] = f.get();
    *out = std::move(f);
    return 0;
}

const std::string &store_file_rel(const store_file *f) { return f->rel; }
unsigned store_file_mode(const store_file *f) { return f->mode; }
uint64_t store_file_size(const store_file *f) { return f->size.load(); }

namespace {

// A reader of a stored file keeps the next 8 MiB asked of the disk while it
// checks and sends what it read: a read that leaves less than that ahead
// asks for the rest, in steps of at least 2 MiB; a reader that jumps starts
// again where it landed. The steps stay small because the kernel queues a
// request on the caller's thread: asking for 32 MiB at a time, with the
// file marked sequential besides, made restores from a disk half as fast
// as with no hint at all.
constexpr uint64_t STORE_RA_AHEAD = 8u << 20;
constexpr uint64_t STORE_RA_STEP = 2u << 20;

void read_ahead(store_file *f, uint64_t off, size_t len)
{
    const uint64_t end = off + len;
    const uint64_t to = end + STORE_RA_AHEAD;
    const uint64_t ra = f->ra_end.load(std::memory_order_relaxed);
    const uint64_t from = ra >= end && ra <= to ? ra : end;
    if (to - from < STORE_RA_STEP)
        return;
    (void)posix_fadvise(f->fd, off_t(from), off_t(to - from), POSIX_FADV_WILLNEED);
    f->ra_end.store(to, std::memory_order_relaxed);
}

// Data written sequentially is handed to the disk a window at a time while
// the writer goes on, so that the sync of the close finds little left to
// write, as a copy that flushes as it goes would.
constexpr uint64_t STORE_WB_WINDOW = 8u << 20;

void write_behind(store_file *f, uint64_t end)
{
    uint64_t wb = f->wb_start.load(std::memory_order_relaxed);
    if (end < wb + STORE_WB_WINDOW || !f->wb_start.compare_exchange_strong(wb, end))
        return;
    (void)sync_file_range(f->fd, off_t(wb), off_t(end - wb), SYNC_FILE_RANGE_WRITE);
}

}  // namespace

int store_file_pread(store_file *f, void *buf, size_t len, uint64_t off, size_t *got, sums_damage *dmg)
{
    *got = 0;
    if ((f->mode & STORE_READ) == 0 && (f->mode & STORE_WRITE) == 0)
        return KES_EBADF;
    if (off >= STORE_MAX_OFFSET)
        return 0;
    if (f->assembled)
        return store_segs_pread(f, buf, len, off, got, dmg);
    if (f->mode == STORE_READ && len != 0)
        read_ahead(f, off, len);
    if (f->st->verify.load(std::memory_order_relaxed))
        return sums_pread(f->sums, f->fd, f->size.load(), buf, len, off, got, dmg);
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(f->fd, static_cast<char *>(buf) + done, len - done, off_t(off + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *got = done;
            return store_errno();
        }
        if (n == 0)
            break;
        done += size_t(n);
    }
    *got = done;
    return 0;
}

int store_file_pwrite(store_file *f, const void *buf, size_t len, uint64_t off)
{
    if ((f->mode & STORE_WRITE) == 0)
        return KES_EBADF;
    if (off > STORE_MAX_OFFSET || len > STORE_MAX_OFFSET - off)
        return KES_EFBIG;
    uint64_t end = off + len;
    {
        // Count the growth of the file against the quota before writing.
        std::lock_guard<std::mutex> lk(f->amu);
        if (f->gone)
            return KES_ENOENT;
        if (f->sealed)
            return KES_EBADF;
        if (end > f->charged) {
            uint64_t grow = end - f->charged;
            uint64_t used = f->st->used.fetch_add(grow) + grow;
            if (f->st->quota != 0 && used > f->st->quota) {
                store_release_bytes(f->st, grow);
                return KES_ENOSPC;
            }
            f->charged = end;
        }
    }
    size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(f->fd, static_cast<const char *>(buf) + done, len - done, off_t(off + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return store_errno();
        }
        done += size_t(n);
    }
    uint64_t cur = f->size.load();
    while (end > cur && !f->size.compare_exchange_weak(cur, end)) {
    }
    write_behind(f, end);
    return sums_note_write(f->sums, buf, len, off);
}

int store_file_sync(store_file *f)
{
    if (fsync(f->fd) != 0)
        return store_errno();
    return 0;
}

namespace {

// Brings the checksums of an open file up to date and stores them as the new
// checksum file (named with new_suffix); its size is what the data file holds now.
int seal_sums(store_file *f, const char *new_suffix, uint64_t *size)
{
    struct stat sb;
    if (fstat(f->fd, &sb) != 0)
        return store_errno();
    *size = uint64_t(sb.st_size);
    int rc = sums_seal(f->sums, f->fd, *size);
    if (rc == 0)
        rc = sums_save(f->sums, store_hidden_path(f->st, f->rel, new_suffix));
    return rc;
}

// What a file counted beyond the bytes it holds (a write that failed half
// way) goes back.
void true_up(store_file *f, uint64_t size)
{
    std::lock_guard<std::mutex> lk(f->amu);
    if (f->charged > size) {
        store_release_bytes(f->st, f->charged - size);
        f->charged = size;
    }
}

// Removes the blobs of an assembled file's segments, and gives their bytes back.
void release_blobs(store *st, const std::vector<store_seg> &segs)
{
    std::set<std::string> done;
    for (const store_seg &sg : segs) {
        if (!done.insert(sg.tag).second)
            continue;
        // A recipe lets go of its chunks first; the file that used it is
        // gone already, so a crash now leaves the recipe to the next
        // start-up's sweep, which counts without it.
        const std::string recipe_sums = store_blob_path(st, "." + sg.tag + RECIPE_SUMS_SUFFIX);
        const bool recipe = store_regular_size(recipe_sums, nullptr);
        if (recipe && st->chunks != nullptr)
            chunk_release_recipe(st->chunks, store_blob_path(st, sg.tag));
        store_unlink_counted(st, store_blob_path(st, sg.tag));
        unlink(store_blob_sums_path(st, sg.tag).c_str());
        if (recipe) {
            unlink(recipe_sums.c_str());
            unlink(store_blob_path(st, "." + sg.tag + RECIPE_PAGE_SUMS_SUFFIX).c_str());
        }
    }
}

// Removes the complete file at rel with its checksums, and its blobs when it
// was assembled from them; its attributes stay. False when there is none.
// st->mu held.
bool remove_complete_locked(store *st, const std::string &rel, int *err)
{
    *err = 0;
    const std::string fin = store_final_path(st, rel);
    uint64_t size = 0;
    if (!store_regular_size(fin, &size))
        return false;
    std::vector<store_seg> segs;
    if (store_regular_size(store_hidden_path(st, rel, SEGS_SUMS_SUFFIX), nullptr))
        store_manifest_segs(fin, &segs);
    if (unlink(fin.c_str()) != 0) {
        *err = store_errno();
        return true;
    }
    store_release_bytes(st, size);
    // (new checksums, ".kcsn" or ".kmsn", only exist while a commit that
    // holds st->mu writes them: they are the replacing file's)
    for (const char *suffix : {SUMS_SUFFIX, SEGS_SUMS_SUFFIX})
        unlink(store_hidden_path(st, rel, suffix).c_str());
    // Once the file is gone no one reaches its blobs; a crash before they
    // go leaves them to the next start-up.
    release_blobs(st, segs);
    return true;
}

// Commits a file whose data is itself (assembled false) or the manifest of
// its segments (true); the two keep their checksums under different names.
int commit_as(store_file *f, bool assembled)
{
    const char *cur_suffix = assembled ? SEGS_SUMS_SUFFIX : SUMS_SUFFIX;
    const char *new_suffix = assembled ? NEW_SEGS_SUMS_SUFFIX : NEW_SUMS_SUFFIX;
    int rc = store_file_sync(f);
    if (rc != 0)
        return rc;
    store *st = f->st;
    std::lock_guard<std::mutex> lk(st->mu);
    if (f->committed)
        return 0;
    {
        std::lock_guard<std::mutex> alk(f->amu);
        if (f->gone)
            return KES_ENOENT;
        if (f->created)
            f->sealed = true;  // no write gets in between the checksums and the rename
    }
    uint64_t size = 0;
    rc = seal_sums(f, new_suffix, &size);
    if (rc != 0) {
        unlink(store_hidden_path(st, f->rel, new_suffix).c_str());
        std::lock_guard<std::mutex> alk(f->amu);
        f->sealed = false;
        return rc;
    }
    true_up(f, size);
    std::string fin = store_final_path(st, f->rel);
    if (f->created) {
        uint64_t old_size = 0;
        bool replaced = store_regular_size(fin, &old_size);
        if (replaced &&
            (assembled || store_regular_size(store_hidden_path(st, f->rel, SEGS_SUMS_SUFFIX), nullptr))) {
            // A file replaced by one of the other kind, or one with blobs,
            // goes first, so its checksums and blobs never outlive it.
            int err = 0;
            remove_complete_locked(st, f->rel, &err);
            replaced = false;
        }
        if (rename(store_hidden_path(st, f->rel, PART_SUFFIX).c_str(), fin.c_str()) != 0) {
            rc = store_errno();
            unlink(store_hidden_path(st, f->rel, new_suffix).c_str());
            std::lock_guard<std::mutex> alk(f->amu);
            f->sealed = false;
            return rc;
        }
        f->committed = true;
        auto it = st->writers.find(f->rel);
        if (it != st->writers.end() && it->second == f)
            st->writers.erase(it);
        if (replaced)
            store_release_bytes(st, old_size);
    }
    if (rename(store_hidden_path(st, f->rel, new_suffix).c_str(), store_hidden_path(st, f->rel, cur_suffix).c_str()) !=
        0)
        return store_errno();
    return store_fsync_dir(fin);
}

}  // namespace

int store_file_commit(store_file *f) { return commit_as(f, false); }

int store_file_commit_segments(store_file *f, std::vector<store_seg> segs, const char **why)
{
    *why = nullptr;
    uint64_t size = 0;
    if (store_segs_check(&segs, &size, why) != 0)
        return KES_EINVAL;
    if (!f->created || f->size.load() != 0) {
        *why = "data arrived for it beside its extents";
        return KES_EINVAL;
    }
    // The manifest is the file's data; the blobs are durable already.
    const std::vector<unsigned char> m = store_segs_encode(segs, size);
    int rc = store_file_pwrite(f, m.data(), m.size(), 0);
    if (rc != 0)
        return rc;
    return commit_as(f, true);
}

void store_file_abandon(store_file *f)
{
    if (!f->created)
        return;
    std::lock_guard<std::mutex> lk(f->st->mu);
    store_drop_writer_locked(f);
}

int store_delete(store *st, const std::string &rel)
{
    std::lock_guard<std::mutex> lk(st->mu);
    bool found = false;
    auto w = st->writers.find(rel);
    if (w != st->writers.end()) {
        store_drop_writer_locked(w->second);
        found = true;
    }
    int err = 0;
    if (remove_complete_locked(st, rel, &err)) {
        if (err != 0)
            return err;
        found = true;
    }
    if (!found)
        return KES_ENOENT;
    store_unlink_counted(st, store_hidden_path(st, rel, XATTR_SUFFIX));
    return 0;
}

uint32_t store_file_sums(store_file *f, uint64_t first, uint64_t *out, uint32_t max)
{
    if (f->assembled)
        return store_segs_sums(f, first, out, max);
    return sums_get(f->sums, first, out, max);
}
