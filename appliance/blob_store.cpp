// Blobs of the BFST service (see blob_store.h for the files and rules).
#include "appliance/blob_store.h"

#include "appliance/service.h"
#include "bfst/bfst_proto.h"
#include "datamover/util.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr const char *PART_SUFFIX = ".part";
constexpr const char *SUMS_SUFFIX = ".kcs";

static_assert(BLOB_TAG_TEXT == 2 * STORE_SEG_TAG_BYTES);

struct blob_rec {
    uint64_t size = 0;       // of the stream it stands for
    uint64_t disk = 0;       // of its file (a recipe's is smaller)
    uint64_t stored = 0;     // what storing it added on disk: its file, and a recipe's new chunks
    bool recipe = false;
    uint64_t creator = 0;
    std::set<uint64_t> holders;
};

int kes_errno() { return util_errno_to_kes(errno); }

}  // namespace

struct blob_store {
    store *st = nullptr;
    std::string dir;
    std::mutex mu;
    std::unordered_map<std::string, blob_rec> blobs;
    chunk_store *chunks = nullptr;
};

struct blob_writer {
    blob_store *bs = nullptr;
    uint64_t creator = 0;
    int fd = -1;
    unsigned char tag[BLOB_TAG_BYTES] = {};
    std::string tag_text;
    uint64_t size = 0;     // bytes counted against the quota and written
    sums_file *sums = nullptr;  // page checksums, summed as the bytes arrive

    ~blob_writer() { sums_free(sums); }
};

namespace {

std::string final_path(const blob_store *bs, const std::string &tag) { return bs->dir + "/" + tag; }
std::string part_path(const blob_store *bs, const std::string &tag) { return bs->dir + "/" + tag + PART_SUFFIX; }
std::string sums_path(const blob_store *bs, const std::string &tag) { return bs->dir + "/." + tag + SUMS_SUFFIX; }
std::string recipe_sums_path(const blob_store *bs, const std::string &tag)
{
    return bs->dir + "/." + tag + RECIPE_SUMS_SUFFIX;
}

// Lower-case form of a tag text; false when it is not one.
bool norm_tag(const std::string &in, std::string *out)
{
    if (in.size() != BLOB_TAG_TEXT)
        return false;
    out->resize(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c >= 'A' && c <= 'F')
            c = char(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
        (*out)[i] = c;
    }
    return true;
}

// Unlinks a finished blob and gives its bytes back; bs->mu held, so the
// registry and the count never disagree.
void unlink_blob(blob_store *bs, const std::string &tag, const blob_rec &r)
{
    if (r.recipe && bs->chunks != nullptr)
        chunk_release_recipe(bs->chunks, final_path(bs, tag));
    unlink(final_path(bs, tag).c_str());
    unlink(sums_path(bs, tag).c_str());
    if (r.recipe) {
        unlink(recipe_sums_path(bs, tag).c_str());
        unlink((bs->dir + "/." + tag + RECIPE_PAGE_SUMS_SUFFIX).c_str());
    }
    store_uncharge(bs->st, r.disk);
}

// Removes the registered blobs for which pred (which may change them) says so.
template <typename Pred> size_t remove_where(blob_store *bs, Pred pred)
{
    size_t n = 0;
    std::lock_guard<std::mutex> lk(bs->mu);
    for (auto it = bs->blobs.begin(); it != bs->blobs.end();) {
        if (pred(it->second)) {
            unlink_blob(bs, it->first, it->second);
            it = bs->blobs.erase(it);
            ++n;
        } else {
            ++it;
        }
    }
    return n;
}

}  // namespace

void blob_store_sweep(const std::string &root, const std::set<std::string> &keep)
{
    std::string dir = root + "/" + STORE_BLOB_DIR;
    // never through a link: only the appliance's own directory is emptied
    struct stat sb;
    if (lstat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode))
        return;
    std::vector<std::string> names;
    if (!store_dir_names(dir, &names))
        return;
    for (const std::string &n : names) {
        // a blob of a complete file, or its checksums
        std::string tag = n;
        for (const char *suffix : {SUMS_SUFFIX, RECIPE_SUMS_SUFFIX, RECIPE_PAGE_SUMS_SUFFIX}) {
            const size_t sl = strlen(suffix);
            if (n.size() > sl + 1 && n[0] == '.' && n.compare(n.size() - sl, sl, suffix) == 0)
                tag = n.substr(1, n.size() - 1 - sl);
        }
        if (keep.count(tag) != 0)
            continue;
        std::string p = dir + "/" + n;
        struct stat sb;
        if (lstat(p.c_str(), &sb) == 0 && S_ISREG(sb.st_mode))
            unlink(p.c_str());
    }
}

int blob_store_open(store *st, const std::string &root, blob_store **out, std::string *err)
{
    *out = nullptr;
    std::string dir = root + "/" + STORE_BLOB_DIR;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        int e = errno;
        *err = "cannot create the blob directory " + dir + ": " + strerror(e);
        return util_errno_to_kes(e);
    }
    struct stat sb;
    if (lstat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        *err = "blob directory " + dir + " is not a directory";
        return KES_ENOTDIR;
    }
    auto *bs = new blob_store;
    bs->st = st;
    bs->dir = dir;
    *out = bs;
    return 0;
}

void blob_store_set_chunks(blob_store *bs, chunk_store *cs) { bs->chunks = cs; }

void blob_store_close(blob_store *bs)
{
    delete bs;
}

// ---------------------------------------------------------------- writing

int blob_create(blob_store *bs, uint64_t creator, blob_writer **out)
{
    *out = nullptr;
    auto *w = new blob_writer;
    w->bs = bs;
    w->creator = creator;
    w->sums = sums_new();
    if (w->sums == nullptr) {
        delete w;
        return KES_ENOMEM;
    }
    for (int attempt = 0; attempt < 4 && w->fd < 0; ++attempt) {
        if (appl_random(w->tag, sizeof w->tag) != 0) {
            delete w;
            return KES_EIO;
        }
        char hex[BLOB_TAG_TEXT + 1];
        bfst_hex(w->tag, sizeof w->tag, hex);
        w->tag_text = hex;
        std::lock_guard<std::mutex> lk(bs->mu);
        if (bs->blobs.count(w->tag_text) != 0)
            continue;
        w->fd = open(part_path(bs, w->tag_text).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (w->fd < 0 && errno != EEXIST) {
            int rc = kes_errno();
            delete w;
            return rc;
        }
    }
    if (w->fd < 0) {
        delete w;
        return KES_EEXIST;
    }
    *out = w;
    return 0;
}

int blob_append(blob_writer *w, const void *buf, size_t len)
{
    if (len == 0)
        return 0;
    if (w->size + len > BLOB_MAX_SIZE)
        return KES_EFBIG;
    int rc = store_charge(w->bs->st, len);
    if (rc != 0)
        return rc;
    // Counted from here on: an abandoned writer gives it all back.
    const uint64_t at = w->size;
    w->size += len;
    const auto *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(w->fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return kes_errno();
        }
        done += size_t(n);
    }
    return sums_note_write(w->sums, buf, len, at);
}

uint64_t blob_writer_size(const blob_writer *w) { return w->size; }
const unsigned char *blob_writer_tag(const blob_writer *w) { return w->tag; }

namespace {

// Makes a blob durable and registers it: its bytes (recipe false) or the
// recipe of size bytes of a stream.
int finish(blob_writer *w, bool recipe, uint64_t size, uint64_t chunk_bytes)
{
    blob_store *bs = w->bs;
    const std::string sums = recipe ? recipe_sums_path(bs, w->tag_text) : sums_path(bs, w->tag_text);
    // The checksums go to disk before the blob gets its final name: a
    // finished blob always has them.
    int rc = fsync(w->fd) == 0 ? 0 : kes_errno();
    if (rc == 0)
        rc = sums_seal(w->sums, w->fd, w->size);
    if (rc == 0)
        rc = sums_save(w->sums, sums);
    if (close(w->fd) != 0 && rc == 0)
        rc = kes_errno();
    w->fd = -1;
    if (rc == 0 && rename(part_path(bs, w->tag_text).c_str(), final_path(bs, w->tag_text).c_str()) != 0)
        rc = kes_errno();
    if (rc == 0)
        rc = store_fsync_dir(final_path(bs, w->tag_text));
    if (rc != 0) {
        unlink(part_path(bs, w->tag_text).c_str());
        unlink(final_path(bs, w->tag_text).c_str());
        unlink(sums.c_str());
        store_uncharge(bs->st, w->size);
        delete w;
        return rc;
    }
    {
        std::lock_guard<std::mutex> lk(bs->mu);
        blob_rec &r = bs->blobs[w->tag_text];
        r.size = recipe ? size : w->size;
        r.disk = w->size;
        r.stored = w->size + chunk_bytes;
        r.recipe = recipe;
        r.creator = w->creator;
    }
    delete w;
    return 0;
}

}  // namespace

int blob_finish(blob_writer *w) { return finish(w, false, 0, 0); }

int blob_finish_recipe(blob_writer *w, uint64_t size, uint64_t chunk_bytes)
{
    return finish(w, true, size, chunk_bytes);
}

void blob_abandon(blob_writer *w)
{
    if (w == nullptr)
        return;
    if (w->fd >= 0)
        close(w->fd);
    unlink(part_path(w->bs, w->tag_text).c_str());
    store_uncharge(w->bs->st, w->size);
    delete w;
}

// ---------------------------------------------------------------- registry

namespace {

// The record of a tag text (its lower-case form in *t), or null; bs->mu held.
blob_rec *find_locked(blob_store *bs, const std::string &tag, std::string *t)
{
    if (!norm_tag(tag, t))
        return nullptr;
    auto it = bs->blobs.find(*t);
    return it == bs->blobs.end() ? nullptr : &it->second;
}

}  // namespace

int blob_find(blob_store *bs, const std::string &tag, blob_info *out)
{
    std::string t;
    std::lock_guard<std::mutex> lk(bs->mu);
    blob_rec *r = find_locked(bs, tag, &t);
    if (r == nullptr)
        return KES_ENOENT;
    out->tag = t;
    out->path = final_path(bs, t);
    out->size = r->size;
    out->stored = r->stored;
    out->creator = r->creator;
    out->holders = r->holders.size();
    return 0;
}

int blob_hold(blob_store *bs, const std::string &tag, uint64_t owner)
{
    std::string t;
    std::lock_guard<std::mutex> lk(bs->mu);
    blob_rec *r = find_locked(bs, tag, &t);
    if (r == nullptr)
        return KES_ENOENT;
    // One file at a time: bytes that are part of one file are no one else's.
    if (!r->holders.empty() && r->holders.count(owner) == 0)
        return KES_EACCES;
    r->holders.insert(owner);
    return 0;
}

namespace {

// The record of a blob owner holds (its lower-case tag in *t), or null with
// *rc KES_ENOENT or KES_EACCES; bs->mu held.
blob_rec *held_locked(blob_store *bs, const std::string &tag, uint64_t owner, std::string *t, int *rc)
{
    blob_rec *r = find_locked(bs, tag, t);
    *rc = r == nullptr ? KES_ENOENT : r->holders.count(owner) == 0 ? KES_EACCES : 0;
    return *rc == 0 ? r : nullptr;
}

}  // namespace

int blob_held(blob_store *bs, const std::string &tag, uint64_t owner, uint64_t *size)
{
    std::string t;
    int rc = 0;
    std::lock_guard<std::mutex> lk(bs->mu);
    if (blob_rec *r = held_locked(bs, tag, owner, &t, &rc))
        *size = r->size;
    return rc;
}

int blob_adopt(blob_store *bs, const std::string &tag, uint64_t owner)
{
    std::string t;
    int rc = 0;
    std::lock_guard<std::mutex> lk(bs->mu);
    if (held_locked(bs, tag, owner, &t, &rc) != nullptr)
        bs->blobs.erase(t);
    return rc;
}

int blob_release(blob_store *bs, const std::string &tag, uint64_t owner)
{
    std::string t;
    std::lock_guard<std::mutex> lk(bs->mu);
    blob_rec *r = find_locked(bs, tag, &t);
    if (r == nullptr || r->holders.erase(owner) == 0)
        return KES_ENOENT;
    if (r->holders.empty()) {
        unlink_blob(bs, t, *r);
        bs->blobs.erase(t);
    }
    return 0;
}

void blob_release_all(blob_store *bs, uint64_t owner)
{
    remove_where(bs, [owner](blob_rec &r) { return r.holders.erase(owner) != 0 && r.holders.empty(); });
}

int blob_remove(blob_store *bs, const std::string &tag)
{
    std::string t;
    std::lock_guard<std::mutex> lk(bs->mu);
    blob_rec *r = find_locked(bs, tag, &t);
    if (r == nullptr)
        return KES_ENOENT;
    unlink_blob(bs, t, *r);
    bs->blobs.erase(t);
    return 0;
}

size_t blob_remove_unheld(blob_store *bs, uint64_t creator)
{
    return remove_where(bs, [creator](blob_rec &r) { return r.creator == creator && r.holders.empty(); });
}

std::vector<blob_info> blob_list(blob_store *bs)
{
    std::vector<blob_info> res;
    std::lock_guard<std::mutex> lk(bs->mu);
    for (const auto &kv : bs->blobs) {
        blob_info i;
        i.tag = kv.first;
        i.path = final_path(bs, kv.first);
        i.size = kv.second.size;
        i.creator = kv.second.creator;
        i.holders = kv.second.holders.size();
        res.push_back(std::move(i));
    }
    return res;
}
