// Backup-file storage of the appliance: network names, paths, opening the
// store (clean-up, settling and scan) and its usage. See store.h for the
// layout on disk.
#include "appliance/store_int.h"

#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int store_errno() { return util_errno_to_kes(errno); }

// ---------------------------------------------------------------- names

int store_parse_name(const char *name, size_t len, store_name *out)
{
    if (name == nullptr || out == nullptr || len == 0 || len > STORE_MAX_NAME)
        return KES_EINVAL;
    if (memchr(name, '\0', len) != nullptr)
        return KES_EINVAL;
    std::string s(name, len);
    static const char prefix[] = "generic:";
    if (s.compare(0, sizeof prefix - 1, prefix) != 0)
        return KES_EINVAL;
    size_t pos = sizeof prefix - 1;
    store_name res;
    if (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        uint64_t h = 0;
        size_t digits = 0;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            unsigned d = unsigned(s[pos] - '0');
            if (h > (UINT64_MAX - d) / 10)
                return KES_EINVAL;
            h = h * 10 + d;
            ++pos;
            ++digits;
        }
        if (digits > 20 || pos >= s.size() || s[pos] != ':')
            return KES_EINVAL;
        ++pos;
        res.has_handle = true;
        res.handle = h;
    }
    if (pos >= s.size() || (s[pos] != '/' && s[pos] != '\\'))
        return KES_EINVAL;
    ++pos;
    // Split the rest into components; at least a share and a name.
    std::string rel;
    int comps = 0;
    size_t start = pos;
    for (size_t i = pos; i <= s.size(); ++i) {
        if (i < s.size() && s[i] != '/' && s[i] != '\\')
            continue;
        size_t clen = i - start;
        if (clen == 0 || clen > STORE_MAX_COMPONENT || s[start] == '.')
            return KES_EINVAL;
        if (!rel.empty())
            rel += '/';
        rel.append(s, start, clen);
        ++comps;
        start = i + 1;
    }
    if (comps < 2)
        return KES_EINVAL;
    res.rel = std::move(rel);
    *out = std::move(res);
    return 0;
}

// ---------------------------------------------------------------- paths

static void split_rel(const std::string &rel, std::string *dir, std::string *base)
{
    size_t slash = rel.rfind('/');
    *dir = rel.substr(0, slash);
    *base = rel.substr(slash + 1);
}

std::string store_final_path(const store *st, const std::string &rel) { return st->root + "/" + rel; }

std::string store_hidden_path(const store *st, const std::string &rel, const char *suffix)
{
    std::string dir, base;
    split_rel(rel, &dir, &base);
    return st->root + "/" + dir + "/." + base + suffix;
}

// Backup data is the appliance's alone, whatever the umask it was started with.
constexpr mode_t STORE_DIR_MODE = 0700;
constexpr mode_t STORE_FILE_MODE = 0600;

// Creates a file of the store with exactly STORE_FILE_MODE.
int store_create_file(const std::string &path, int flags)
{
    int fd = open(path.c_str(), flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, STORE_FILE_MODE);
    if (fd >= 0 && fchmod(fd, STORE_FILE_MODE) != 0) {
        int e = errno;
        close(fd);
        unlink(path.c_str());
        errno = e;
        return -1;
    }
    return fd;
}

// Creates the directories of rel below the root; none may be a symbolic link.
int store_make_dirs(const store *st, const std::string &rel)
{
    std::string path = st->root;
    size_t pos = 0;
    for (;;) {
        size_t slash = rel.find('/', pos);
        if (slash == std::string::npos)
            return 0;
        path += "/";
        path.append(rel, pos, slash - pos);
        bool made = mkdir(path.c_str(), STORE_DIR_MODE) == 0;
        if (!made && errno != EEXIST)
            return store_errno();
        struct stat sb;
        if (lstat(path.c_str(), &sb) != 0)
            return store_errno();
        if (!S_ISDIR(sb.st_mode))
            return KES_ENOTDIR;
        if (made && chmod(path.c_str(), STORE_DIR_MODE) != 0)
            return store_errno();
        pos = slash + 1;
    }
}

bool store_regular_size(const std::string &path, uint64_t *size)
{
    struct stat sb;
    if (lstat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        return false;
    if (size != nullptr)
        *size = uint64_t(sb.st_size);
    return true;
}

static bool ends_with(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Settles the checksums of <dir>/<base> after a commit that a crash may have
// interrupted: of the current and the new checksum file (.kcs and .kcsn, or
// .kms and .kmsn), the one that vouches for the data on disk is kept.
static void settle_new_sums(const std::string &dir, const std::string &base, const char *cur_suffix,
                            const char *new_suffix)
{
    const std::string data = dir + "/" + base;
    const std::string cur = dir + "/." + base + cur_suffix;
    const std::string fresh = dir + "/." + base + new_suffix;
    uint64_t size = 0;
    if (!store_regular_size(data, &size)) {
        unlink(fresh.c_str());
        return;
    }
    int fd = open(data.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    // Verifies the whole file against one checksum file.
    auto vouches = [&](const std::string &path) {
        sums_file *sf = nullptr;
        const char *why = nullptr;
        if (sums_load(path, size, &sf, &why) != 0)
            return false;
        bool ok = true;
        std::vector<unsigned char> buf(DM_SUM_PAGE);
        for (uint64_t off = 0; ok && off < size; off += DM_SUM_PAGE) {
            size_t got = 0;
            ok = sums_pread(sf, fd, size, buf.data(), buf.size(), off, &got, nullptr) == 0 && got != 0;
        }
        sums_free(sf);
        return ok;
    };
    if (vouches(fresh))
        rename(fresh.c_str(), cur.c_str());
    else
        unlink(fresh.c_str());
    close(fd);
}

// Computes and stores the checksums of a complete file that has none.
static bool adopt_file(const std::string &dir, const std::string &base, uint64_t size)
{
    const std::string data = dir + "/" + base;
    int fd = open(data.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    sums_file *sf = sums_new();
    bool ok = sf != nullptr && sums_seal(sf, fd, size) == 0 && sums_save(sf, dir + "/." + base + SUMS_SUFFIX) == 0;
    sums_free(sf);
    close(fd);
    return ok;
}

static bool is_hidden(const std::string &n, const char *suffix) { return n[0] == '.' && ends_with(n, suffix); }

// The data file a hidden file <dir>/.<base><suffix> belongs to.
static std::string hidden_base(const std::string &n, const char *suffix)
{
    return n.substr(1, n.size() - 1 - strlen(suffix));
}

std::string store_blob_path(const store *st, const std::string &tag)
{
    return st->root + "/" + STORE_BLOB_DIR + "/" + tag;
}

std::string store_blob_sums_path(const store *st, const std::string &tag)
{
    return st->root + "/" + STORE_BLOB_DIR + "/." + tag + SUMS_SUFFIX;
}

// Reads a whole small file (at most a manifest's largest size) into buf. 0 or
// an error number.
static int read_small_file(int fd, uint64_t size, std::vector<unsigned char> *buf)
{
    if (size > STORE_SEG_HDR + uint64_t(STORE_SEG_ENTRY) * STORE_MAX_SEGS)
        return KES_EFBIG;
    buf->resize(size_t(size));
    ssize_t got = store_pread_full(fd, buf->data(), buf->size(), 0);
    return got < 0 ? store_errno() : size_t(got) != buf->size() ? KES_EIO : 0;
}

bool store_manifest_segs(const std::string &path, std::vector<store_seg> *segs)
{
    segs->clear();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat sb;
    std::vector<unsigned char> buf;
    uint64_t size = 0;
    const char *why = nullptr;
    bool ok = fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && read_small_file(fd, uint64_t(sb.st_size), &buf) == 0 &&
              store_segs_decode(buf.data(), buf.size(), segs, &size, &why) == 0;
    close(fd);
    return ok;
}

bool store_dir_names(const std::string &dir, std::vector<std::string> *names)
{
    names->clear();
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    while (struct dirent *de = readdir(d)) {
        if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
            names->emplace_back(de->d_name);
    }
    closedir(d);
    return true;
}

// Walks the whole tree, at any depth, without following symbolic links:
// removes leftovers of writers and commits that never finished, settles
// interrupted commits, gives files without checksums their checksums, and
// counts the bytes in use (data and attribute files, and the blobs assembled
// files use, each once; their tags go to st->blob_refs). The blob directory
// is left to the blob store.
static void scan_tree(store *st, uint64_t *used, uint64_t *adopted)
{
    std::vector<std::string> dirs{st->root};
    const std::string blob_dir = st->root + "/" + STORE_BLOB_DIR;
    while (!dirs.empty()) {
        std::string dir = std::move(dirs.back());
        dirs.pop_back();
        std::vector<std::string> names;
        if (!store_dir_names(dir, &names))
            continue;
        // Unfinished writes first, then interrupted commits, then the rest.
        for (const std::string &n : names) {
            if (is_hidden(n, PART_SUFFIX) || is_hidden(n, TMP_SUFFIX))
                unlink((dir + "/" + n).c_str());
        }
        for (const std::string &n : names) {
            if (is_hidden(n, NEW_SUMS_SUFFIX))
                settle_new_sums(dir, hidden_base(n, NEW_SUMS_SUFFIX), SUMS_SUFFIX, NEW_SUMS_SUFFIX);
            if (is_hidden(n, NEW_SEGS_SUMS_SUFFIX))
                settle_new_sums(dir, hidden_base(n, NEW_SEGS_SUMS_SUFFIX), SEGS_SUMS_SUFFIX, NEW_SEGS_SUMS_SUFFIX);
        }
        for (const std::string &n : names) {
            std::string p = dir + "/" + n;
            struct stat sb;
            if (p == blob_dir || lstat(p.c_str(), &sb) != 0)
                continue;
            if (S_ISDIR(sb.st_mode)) {
                dirs.push_back(p);
                continue;
            }
            if (!S_ISREG(sb.st_mode) || is_hidden(n, PART_SUFFIX) || is_hidden(n, TMP_SUFFIX) ||
                is_hidden(n, NEW_SUMS_SUFFIX) || is_hidden(n, NEW_SEGS_SUMS_SUFFIX))
                continue;
            const char *side = is_hidden(n, XATTR_SUFFIX)       ? XATTR_SUFFIX
                               : is_hidden(n, SUMS_SUFFIX)      ? SUMS_SUFFIX
                               : is_hidden(n, SEGS_SUMS_SUFFIX) ? SEGS_SUMS_SUFFIX
                                                                : nullptr;
            if (side != nullptr) {
                // attributes or checksums whose file is gone
                const std::string base = hidden_base(n, side);
                if (!store_regular_size(dir + "/" + base, nullptr) ||
                    (side == SUMS_SUFFIX && store_regular_size(dir + "/." + base + SEGS_SUMS_SUFFIX, nullptr))) {
                    unlink(p.c_str());
                    continue;
                }
                if (side != XATTR_SUFFIX)
                    continue;  // checksums are not counted
            } else if (n[0] != '.' && store_regular_size(dir + "/." + n + SEGS_SUMS_SUFFIX, nullptr)) {
                // An assembled file: its blobs count once, and start-up keeps them.
                std::vector<store_seg> segs;
                if (store_manifest_segs(p, &segs)) {
                    for (const store_seg &sg : segs) {
                        uint64_t bsize = 0;
                        if (st->blob_refs.insert(sg.tag).second &&
                            store_regular_size(store_blob_path(st, sg.tag), &bsize))
                            *used += bsize;
                    }
                }
            } else if (n[0] != '.' && !store_regular_size(dir + "/." + n + SUMS_SUFFIX, nullptr)) {
                if (adopt_file(dir, n, uint64_t(sb.st_size)))
                    (*adopted)++;
            }
            *used += uint64_t(sb.st_size);
        }
    }
}

void store_release_bytes(store *st, uint64_t n)
{
    uint64_t cur = st->used.load();
    while (!st->used.compare_exchange_weak(cur, cur >= n ? cur - n : 0)) {
    }
}

// Removes a file whose bytes the usage counts.
void store_unlink_counted(store *st, const std::string &path)
{
    uint64_t size = 0;
    if (store_regular_size(path, &size) && unlink(path.c_str()) == 0)
        store_release_bytes(st, size);
}

// Marks a file gone: it counts nothing more and gives back what it counted.
// Returns false when it already was.
static bool mark_gone(store_file *f)
{
    std::lock_guard<std::mutex> lk(f->amu);
    if (f->gone)
        return false;
    f->gone = true;
    store_release_bytes(f->st, f->charged);
    f->charged = 0;
    return true;
}

// Unlinks the hidden file of an uncommitted writer and its attributes; st->mu held.
void store_drop_writer_locked(store_file *f)
{
    if (f->committed || !mark_gone(f))
        return;
    unlink(store_hidden_path(f->st, f->rel, PART_SUFFIX).c_str());
    store_unlink_counted(f->st, store_hidden_path(f->st, f->rel, XATTR_SUFFIX));
    auto it = f->st->writers.find(f->rel);
    if (it != f->st->writers.end() && it->second == f)
        f->st->writers.erase(it);
}


// ---------------------------------------------------------------- store

int store_open(const std::string &root, uint64_t quota, store **out, std::string *err)
{
    *out = nullptr;
    if (root.empty()) {
        if (err)
            *err = "no storage root given";
        return KES_EINVAL;
    }
    char real[PATH_MAX];
    if (realpath(root.c_str(), real) == nullptr) {
        int e = errno;
        if (err)
            *err = "storage root " + root + ": " + strerror(e);
        return util_errno_to_kes(e);
    }
    struct stat sb;
    if (stat(real, &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        if (err)
            *err = "storage root " + root + " is not a directory";
        return KES_ENOTDIR;
    }
    if (access(real, W_OK | X_OK) != 0) {
        int e = errno;
        if (err)
            *err = "storage root " + root + " is not writable: " + strerror(e);
        return util_errno_to_kes(e);
    }
    auto *st = new store;
    st->root = real;
    if (st->root.size() > 1 && st->root.back() == '/')
        st->root.pop_back();
    st->quota = quota;
    uint64_t used = 0;
    scan_tree(st, &used, &st->adopted);
    st->used = used;
    *out = st;
    return 0;
}

void store_close(store *st)
{
    delete st;
}

uint64_t store_used_bytes(store *st) { return st->used.load(); }
uint64_t store_quota(store *st) { return st->quota; }
uint64_t store_adopted_files(store *st) { return st->adopted; }
void store_set_verify(store *st, bool on) { st->verify.store(on); }

bool store_has_space(store *st)
{
    return st->quota == 0 || st->used.load() < st->quota;
}

int store_charge(store *st, uint64_t bytes)
{
    uint64_t used = st->used.fetch_add(bytes) + bytes;
    if (st->quota != 0 && used > st->quota) {
        store_release_bytes(st, bytes);
        return KES_ENOSPC;
    }
    return 0;
}

void store_uncharge(store *st, uint64_t bytes) { store_release_bytes(st, bytes); }

void store_count_bytes(store *st, uint64_t bytes) { st->used.fetch_add(bytes); }

void store_set_chunks(store *st, chunk_store *cs) { st->chunks = cs; }

const std::set<std::string> &store_blob_refs(const store *st) { return st->blob_refs; }
