// Backup-file storage of the appliance (see store.h for the layout on disk).
#include "appliance/store.h"

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

namespace {

constexpr uint64_t STORE_MAX_OFFSET = 1ULL << 46;
constexpr const char *PART_SUFFIX = ".kpart";
constexpr const char *XATTR_SUFFIX = ".kxa";
constexpr const char *TMP_SUFFIX = ".ktmp";
constexpr const char *SUMS_SUFFIX = ".kcs";
constexpr const char *NEW_SUMS_SUFFIX = ".kcsn";

int kes_errno() { return util_errno_to_kes(errno); }

}  // namespace

struct store {
    std::string root;
    uint64_t quota = 0;
    std::atomic<uint64_t> used{0};
    std::atomic<bool> verify{true};
    uint64_t adopted = 0;
    std::mutex mu;                                  // guards writers and every rename/unlink
    std::map<std::string, store_file *> writers;    // created files not yet committed
};

struct store_file {
    store *st = nullptr;
    std::string rel;
    unsigned mode = 0;
    int fd = -1;
    bool created = false;     // written under the hidden name until committed
    bool committed = false;   // guarded by st->mu
    std::atomic<uint64_t> size{0};
    sums_file *sums = nullptr;
    // Quota: the bytes this file has counted in the store's usage. Growth is
    // counted before it is written; an abandoned or deleted file counts
    // nothing more and gives back what it counted.
    std::mutex amu;
    uint64_t charged = 0;     // guarded by amu
    bool gone = false;        // guarded by amu (set with st->mu held as well)
    bool sealed = false;      // committed: no more writes; guarded by amu

    ~store_file();
};

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

namespace {

void split_rel(const std::string &rel, std::string *dir, std::string *base)
{
    size_t slash = rel.rfind('/');
    *dir = rel.substr(0, slash);
    *base = rel.substr(slash + 1);
}

std::string final_path(const store *st, const std::string &rel) { return st->root + "/" + rel; }

std::string hidden_path(const store *st, const std::string &rel, const char *suffix)
{
    std::string dir, base;
    split_rel(rel, &dir, &base);
    return st->root + "/" + dir + "/." + base + suffix;
}

// Backup data is the appliance's alone, whatever the umask it was started with.
constexpr mode_t STORE_DIR_MODE = 0700;
constexpr mode_t STORE_FILE_MODE = 0600;

// Creates a file of the store with exactly STORE_FILE_MODE.
int create_file(const std::string &path, int flags)
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
int make_dirs(const store *st, const std::string &rel)
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
            return kes_errno();
        struct stat sb;
        if (lstat(path.c_str(), &sb) != 0)
            return kes_errno();
        if (!S_ISDIR(sb.st_mode))
            return KES_ENOTDIR;
        if (made && chmod(path.c_str(), STORE_DIR_MODE) != 0)
            return kes_errno();
        pos = slash + 1;
    }
}

bool regular_file_size(const std::string &path, uint64_t *size)
{
    struct stat sb;
    if (lstat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        return false;
    if (size != nullptr)
        *size = uint64_t(sb.st_size);
    return true;
}

bool ends_with(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Settles the checksums of <dir>/<base> after a commit that a crash may have
// interrupted: of the current and the new checksum file, the one that vouches
// for the data on disk is kept.
void settle_new_sums(const std::string &dir, const std::string &base)
{
    const std::string data = dir + "/" + base;
    const std::string cur = dir + "/." + base + SUMS_SUFFIX;
    const std::string fresh = dir + "/." + base + NEW_SUMS_SUFFIX;
    uint64_t size = 0;
    if (!regular_file_size(data, &size)) {
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
bool adopt_file(const std::string &dir, const std::string &base, uint64_t size)
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

bool is_hidden(const std::string &n, const char *suffix) { return n[0] == '.' && ends_with(n, suffix); }

// The data file a hidden file <dir>/.<base><suffix> belongs to.
std::string hidden_base(const std::string &n, const char *suffix) { return n.substr(1, n.size() - 1 - strlen(suffix)); }

// Walks the whole tree, at any depth, without following symbolic links:
// removes leftovers of writers and commits that never finished, settles
// interrupted commits, gives files without checksums their checksums, and
// counts the bytes in use (data and attribute files).
void scan_tree(const std::string &root, uint64_t *used, uint64_t *adopted)
{
    std::vector<std::string> dirs{root};
    while (!dirs.empty()) {
        std::string dir = std::move(dirs.back());
        dirs.pop_back();
        DIR *d = opendir(dir.c_str());
        if (d == nullptr)
            continue;
        std::vector<std::string> names;
        while (struct dirent *de = readdir(d)) {
            if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
                names.emplace_back(de->d_name);
        }
        closedir(d);
        // Unfinished writes first, then interrupted commits, then the rest.
        for (const std::string &n : names) {
            if (is_hidden(n, PART_SUFFIX) || is_hidden(n, TMP_SUFFIX))
                unlink((dir + "/" + n).c_str());
        }
        for (const std::string &n : names) {
            if (is_hidden(n, NEW_SUMS_SUFFIX))
                settle_new_sums(dir, hidden_base(n, NEW_SUMS_SUFFIX));
        }
        for (const std::string &n : names) {
            std::string p = dir + "/" + n;
            struct stat sb;
            if (lstat(p.c_str(), &sb) != 0)
                continue;
            if (S_ISDIR(sb.st_mode)) {
                dirs.push_back(p);
                continue;
            }
            if (!S_ISREG(sb.st_mode) || is_hidden(n, PART_SUFFIX) || is_hidden(n, TMP_SUFFIX) ||
                is_hidden(n, NEW_SUMS_SUFFIX))
                continue;
            if (is_hidden(n, XATTR_SUFFIX) || is_hidden(n, SUMS_SUFFIX)) {
                // attributes or checksums whose file is gone
                const char *suffix = is_hidden(n, XATTR_SUFFIX) ? XATTR_SUFFIX : SUMS_SUFFIX;
                if (!regular_file_size(dir + "/" + hidden_base(n, suffix), nullptr)) {
                    unlink(p.c_str());
                    continue;
                }
                if (suffix == SUMS_SUFFIX)
                    continue;  // checksums are not counted
            } else if (n[0] != '.' && !regular_file_size(dir + "/." + n + SUMS_SUFFIX, nullptr)) {
                if (adopt_file(dir, n, uint64_t(sb.st_size)))
                    (*adopted)++;
            }
            *used += uint64_t(sb.st_size);
        }
    }
}

void release_bytes(store *st, uint64_t n)
{
    uint64_t cur = st->used.load();
    while (!st->used.compare_exchange_weak(cur, cur >= n ? cur - n : 0)) {
    }
}

// Removes a file whose bytes the usage counts.
void unlink_counted(store *st, const std::string &path)
{
    uint64_t size = 0;
    if (regular_file_size(path, &size) && unlink(path.c_str()) == 0)
        release_bytes(st, size);
}

// Marks a file gone: it counts nothing more and gives back what it counted.
// Returns false when it already was.
bool mark_gone(store_file *f)
{
    std::lock_guard<std::mutex> lk(f->amu);
    if (f->gone)
        return false;
    f->gone = true;
    release_bytes(f->st, f->charged);
    f->charged = 0;
    return true;
}

// Unlinks the hidden file of an uncommitted writer and its attributes; st->mu held.
void drop_writer_locked(store_file *f)
{
    if (f->committed || !mark_gone(f))
        return;
    unlink(hidden_path(f->st, f->rel, PART_SUFFIX).c_str());
    unlink_counted(f->st, hidden_path(f->st, f->rel, XATTR_SUFFIX));
    auto it = f->st->writers.find(f->rel);
    if (it != f->st->writers.end() && it->second == f)
        f->st->writers.erase(it);
}

}  // namespace

store_file::~store_file()
{
    if (created && st != nullptr) {
        std::lock_guard<std::mutex> lk(st->mu);
        drop_writer_locked(this);
        auto it = st->writers.find(rel);
        if (it != st->writers.end() && it->second == this)
            st->writers.erase(it);
    }
    if (fd >= 0)
        close(fd);
    sums_free(sums);
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
    scan_tree(st->root, &used, &st->adopted);
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
    std::string fin = final_path(st, rel);

    if ((mode & STORE_CREATE) == 0) {
        // An existing complete file, read or written in place.
        std::lock_guard<std::mutex> lk(st->mu);
        int flags = ((mode & STORE_WRITE) ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
        int fd = open(fin.c_str(), flags);
        if (fd < 0)
            return errno == ELOOP ? KES_ENOENT : kes_errno();
        struct stat sb;
        if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
            close(fd);
            return KES_ENOENT;
        }
        f->fd = fd;
        f->size = uint64_t(sb.st_size);
        f->charged = uint64_t(sb.st_size);  // counted when it was committed or found
        // Its checksums; a file whose checksums are lost is opened all the
        // same, and every read of it says why it is refused.
        const char *why = nullptr;
        int rc = sums_load(hidden_path(st, rel, SUMS_SUFFIX), f->size.load(), &f->sums, &why);
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
    int rc = make_dirs(st, rel);
    if (rc != 0)
        return rc;
    std::string part = hidden_path(st, rel, PART_SUFFIX);
    unlink(part.c_str());
    // Attributes of a file that no longer exists must not stick to the new one.
    if (!regular_file_size(fin, nullptr))
        unlink_counted(st, hidden_path(st, rel, XATTR_SUFFIX));
    f->sums = sums_new();
    if (f->sums == nullptr)
        return KES_ENOMEM;
    int fd = create_file(part, O_RDWR | O_EXCL);
    if (fd < 0)
        return kes_errno();
    f->fd = fd;
    f->created = true;
    st->writers[rel] = f.get();
    *out = std::move(f);
    return 0;
}

const std::string &store_file_rel(const store_file *f) { return f->rel; }
unsigned store_file_mode(const store_file *f) { return f->mode; }
uint64_t store_file_size(const store_file *f) { return f->size.load(); }

int store_file_pread(store_file *f, void *buf, size_t len, uint64_t off, size_t *got, sums_damage *dmg)
{
    *got = 0;
    if ((f->mode & STORE_READ) == 0 && (f->mode & STORE_WRITE) == 0)
        return KES_EBADF;
    if (off >= STORE_MAX_OFFSET)
        return 0;
    if (f->st->verify.load(std::memory_order_relaxed))
        return sums_pread(f->sums, f->fd, f->size.load(), buf, len, off, got, dmg);
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(f->fd, static_cast<char *>(buf) + done, len - done, off_t(off + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *got = done;
            return kes_errno();
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
                release_bytes(f->st, grow);
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
            return kes_errno();
        }
        done += size_t(n);
    }
    uint64_t cur = f->size.load();
    while (end > cur && !f->size.compare_exchange_weak(cur, end)) {
    }
    return sums_note_write(f->sums, buf, len, off);
}

int store_file_sync(store_file *f)
{
    if (fsync(f->fd) != 0)
        return kes_errno();
    return 0;
}

namespace {

// Brings the checksums of an open file up to date and stores them as the new
// checksum file; its size is what the data file holds now.
int seal_sums(store_file *f, uint64_t *size)
{
    struct stat sb;
    if (fstat(f->fd, &sb) != 0)
        return kes_errno();
    *size = uint64_t(sb.st_size);
    int rc = sums_seal(f->sums, f->fd, *size);
    if (rc == 0)
        rc = sums_save(f->sums, hidden_path(f->st, f->rel, NEW_SUMS_SUFFIX));
    return rc;
}

// What a file counted beyond the bytes it holds (a write that failed half
// way) goes back.
void true_up(store_file *f, uint64_t size)
{
    std::lock_guard<std::mutex> lk(f->amu);
    if (f->charged > size) {
        release_bytes(f->st, f->charged - size);
        f->charged = size;
    }
}

}  // namespace

int store_file_commit(store_file *f)
{
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
    rc = seal_sums(f, &size);
    if (rc != 0) {
        unlink(hidden_path(st, f->rel, NEW_SUMS_SUFFIX).c_str());
        std::lock_guard<std::mutex> alk(f->amu);
        f->sealed = false;
        return rc;
    }
    true_up(f, size);
    std::string fin = final_path(st, f->rel);
    if (f->created) {
        uint64_t old_size = 0;
        bool replaced = regular_file_size(fin, &old_size);
        if (rename(hidden_path(st, f->rel, PART_SUFFIX).c_str(), fin.c_str()) != 0) {
            rc = kes_errno();
            unlink(hidden_path(st, f->rel, NEW_SUMS_SUFFIX).c_str());
            std::lock_guard<std::mutex> alk(f->amu);
            f->sealed = false;
            return rc;
        }
        f->committed = true;
        auto it = st->writers.find(f->rel);
        if (it != st->writers.end() && it->second == f)
            st->writers.erase(it);
        if (replaced)
            release_bytes(st, old_size);
    }
    if (rename(hidden_path(st, f->rel, NEW_SUMS_SUFFIX).c_str(), hidden_path(st, f->rel, SUMS_SUFFIX).c_str()) != 0)
        return kes_errno();
    return store_fsync_dir(fin);
}

void store_file_abandon(store_file *f)
{
    if (!f->created)
        return;
    std::lock_guard<std::mutex> lk(f->st->mu);
    drop_writer_locked(f);
}

int store_delete(store *st, const std::string &rel)
{
    std::lock_guard<std::mutex> lk(st->mu);
    bool found = false;
    auto w = st->writers.find(rel);
    if (w != st->writers.end()) {
        drop_writer_locked(w->second);
        found = true;
    }
    std::string fin = final_path(st, rel);
    uint64_t size = 0;
    if (regular_file_size(fin, &size)) {
        if (unlink(fin.c_str()) != 0)
            return kes_errno();
        release_bytes(st, size);
        found = true;
    }
    if (!found)
        return KES_ENOENT;
    unlink_counted(st, hidden_path(st, rel, XATTR_SUFFIX));
    unlink(hidden_path(st, rel, SUMS_SUFFIX).c_str());
    unlink(hidden_path(st, rel, NEW_SUMS_SUFFIX).c_str());
    return 0;
}

uint32_t store_file_sums(store_file *f, uint64_t first, uint64_t *out, uint32_t max)
{
    return sums_get(f->sums, first, out, max);
}

// ---------------------------------------------------------------- attributes

namespace {

struct attr_rec {
    std::string name;
    std::string value;
};

constexpr size_t XATTR_FILE_MAX = STORE_MAX_ATTRS * (6 + STORE_MAX_ATTR_NAME + STORE_MAX_ATTR_VALUE);

// Reads the attribute file; a missing one is an empty list.
int load_attrs(const std::string &path, std::vector<attr_rec> *recs)
{
    recs->clear();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : kes_errno();
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || uint64_t(sb.st_size) > XATTR_FILE_MAX) {
        close(fd);
        return KES_EIO;
    }
    std::vector<unsigned char> buf(size_t(sb.st_size));
    size_t done = 0;
    while (done < buf.size()) {
        ssize_t n = read(fd, buf.data() + done, buf.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close(fd);
    if (done != buf.size())
        return KES_EIO;
    size_t p = 0;
    while (p < buf.size()) {
        if (buf.size() - p < 2)
            return KES_EIO;
        size_t nl = be_get16(&buf[p]);
        p += 2;
        if (nl == 0 || nl > STORE_MAX_ATTR_NAME || buf.size() - p < nl + 4)
            return KES_EIO;
        attr_rec r;
        r.name.assign(reinterpret_cast<const char *>(&buf[p]), nl);
        p += nl;
        size_t vl = be_get32(&buf[p]);
        p += 4;
        if (vl > STORE_MAX_ATTR_VALUE || buf.size() - p < vl || recs->size() >= STORE_MAX_ATTRS)
            return KES_EIO;
        r.value.assign(reinterpret_cast<const char *>(&buf[p]), vl);
        p += vl;
        recs->push_back(std::move(r));
    }
    return 0;
}

// Writes the attribute file anew through a temporary name, durably.
int save_attrs(const std::string &path, const std::vector<attr_rec> &recs)
{
    std::vector<unsigned char> buf;
    for (const attr_rec &r : recs) {
        unsigned char h[4];
        be_put16(h, uint16_t(r.name.size()));
        buf.insert(buf.end(), h, h + 2);
        buf.insert(buf.end(), r.name.begin(), r.name.end());
        be_put32(h, uint32_t(r.value.size()));
        buf.insert(buf.end(), h, h + 4);
        buf.insert(buf.end(), r.value.begin(), r.value.end());
    }
    return store_replace_file(path, buf.data(), buf.size());
}

bool attr_name_ok(const char *name)
{
    if (name == nullptr)
        return false;
    size_t n = strnlen(name, STORE_MAX_ATTR_NAME + 1);
    return n > 0 && n <= STORE_MAX_ATTR_NAME;
}

// The file exists for attribute purposes: complete, or being written. st->mu held.
bool file_present_locked(store *st, const std::string &rel)
{
    // a writer leaves the table when it is committed or gone
    if (st->writers.find(rel) != st->writers.end())
        return true;
    return regular_file_size(final_path(st, rel), nullptr);
}

}  // namespace

int store_set_xattr(store *st, const std::string &rel, const char *name, const void *value, size_t len)
{
    if (!attr_name_ok(name) || len > STORE_MAX_ATTR_VALUE || (value == nullptr && len != 0))
        return KES_EINVAL;
    std::lock_guard<std::mutex> lk(st->mu);
    if (!file_present_locked(st, rel))
        return KES_ENOENT;
    std::string path = hidden_path(st, rel, XATTR_SUFFIX);
    std::vector<attr_rec> recs;
    int rc = load_attrs(path, &recs);
    if (rc != 0)
        return rc;
    uint64_t old_file = 0;
    regular_file_size(path, &old_file);
    bool done = false;
    for (attr_rec &r : recs) {
        if (r.name == name) {
            r.value.assign(static_cast<const char *>(value), len);
            done = true;
        }
    }
    if (!done) {
        if (recs.size() >= STORE_MAX_ATTRS)
            return KES_ENOSPC;
        recs.push_back(attr_rec{name, std::string(static_cast<const char *>(value), len)});
    }
    rc = save_attrs(path, recs);
    if (rc != 0)
        return rc;
    uint64_t new_file = 0;
    regular_file_size(path, &new_file);
    release_bytes(st, old_file);
    st->used.fetch_add(new_file);
    return 0;
}

int store_get_xattr(store *st, const std::string &rel, const char *name, void *buf, size_t cap, size_t *len)
{
    *len = 0;
    if (!attr_name_ok(name))
        return KES_EINVAL;
    std::vector<attr_rec> recs;
    {
        std::lock_guard<std::mutex> lk(st->mu);
        if (!file_present_locked(st, rel))
            return KES_ENOENT;
        int rc = load_attrs(hidden_path(st, rel, XATTR_SUFFIX), &recs);
        if (rc != 0)
            return rc;
    }
    for (const attr_rec &r : recs) {
        if (r.name != name)
            continue;
        *len = r.value.size();
        if (r.value.size() > cap)
            return KES_ERANGE;
        if (!r.value.empty())
            memcpy(buf, r.value.data(), r.value.size());
        return 0;
    }
    return KES_ENOENT;
}
