// Backup-file storage of the appliance (see store.h for the layout on disk).
#include "appliance/store.h"

#include "datamover/byteorder.h"
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

int kes_errno() { return util_errno_to_kes(errno); }

}  // namespace

struct store {
    std::string root;
    uint64_t quota = 0;
    std::atomic<uint64_t> used{0};
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
    bool gone = false;        // abandoned or deleted; guarded by st->mu
    std::atomic<uint64_t> size{0};

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

int fsync_dir_of(const std::string &path)
{
    std::string dir = path.substr(0, path.rfind('/'));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return kes_errno();
    int rc = fsync(dfd) == 0 ? 0 : kes_errno();
    close(dfd);
    return rc;
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

// Walks the tree: removes leftovers of writers that never finished and counts
// the bytes of everything else.
void scan_tree(const std::string &dir, uint64_t *used, int depth)
{
    if (depth > 32)
        return;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (struct dirent *de = readdir(d)) {
        if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
            names.emplace_back(de->d_name);
    }
    closedir(d);
    for (const std::string &n : names) {
        std::string p = dir + "/" + n;
        struct stat sb;
        if (lstat(p.c_str(), &sb) != 0)
            continue;
        if (S_ISDIR(sb.st_mode)) {
            scan_tree(p, used, depth + 1);
        } else if (S_ISREG(sb.st_mode)) {
            if (n[0] == '.' && (ends_with(n, PART_SUFFIX) || ends_with(n, TMP_SUFFIX))) {
                unlink(p.c_str());
                continue;
            }
            if (n[0] == '.' && ends_with(n, XATTR_SUFFIX)) {
                // attributes whose file is gone
                std::string base = n.substr(1, n.size() - 1 - strlen(XATTR_SUFFIX));
                if (!regular_file_size(dir + "/" + base, nullptr)) {
                    unlink(p.c_str());
                    continue;
                }
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

// Unlinks the hidden file of an uncommitted writer and its attributes; st->mu held.
void drop_writer_locked(store_file *f)
{
    if (f->gone || f->committed)
        return;
    f->gone = true;
    unlink(hidden_path(f->st, f->rel, PART_SUFFIX).c_str());
    unlink_counted(f->st, hidden_path(f->st, f->rel, XATTR_SUFFIX));
    auto it = f->st->writers.find(f->rel);
    if (it != f->st->writers.end() && it->second == f)
        f->st->writers.erase(it);
    release_bytes(f->st, f->size.load());
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
    scan_tree(st->root, &used, 0);
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

bool store_has_space(store *st)
{
    return st->quota == 0 || st->used.load() < st->quota;
}

int store_charge(store *st, uint64_t bytes)
{
    uint64_t used = st->used.fetch_add(bytes) + bytes;
    if (st->quota != 0 && used > st->quota) {
        release_bytes(st, bytes);
        return KES_ENOSPC;
    }
    return 0;
}

void store_uncharge(store *st, uint64_t bytes) { release_bytes(st, bytes); }

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

int store_file_pread(store_file *f, void *buf, size_t len, uint64_t off, size_t *got)
{
    *got = 0;
    if ((f->mode & STORE_READ) == 0 && (f->mode & STORE_WRITE) == 0)
        return KES_EBADF;
    if (off >= STORE_MAX_OFFSET)
        return 0;
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
    // Account the growth of the file against the quota before writing.
    for (;;) {
        uint64_t cur = f->size.load();
        if (end <= cur)
            break;
        uint64_t grow = end - cur;
        uint64_t used = f->st->used.fetch_add(grow) + grow;
        if (f->st->quota != 0 && used > f->st->quota) {
            release_bytes(f->st, grow);
            return KES_ENOSPC;
        }
        if (f->size.compare_exchange_strong(cur, end))
            break;
        release_bytes(f->st, grow);
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
    return 0;
}

int store_file_sync(store_file *f)
{
    if (fsync(f->fd) != 0)
        return kes_errno();
    return 0;
}

int store_file_commit(store_file *f)
{
    int rc = store_file_sync(f);
    if (rc != 0)
        return rc;
    if (!f->created)
        return 0;
    store *st = f->st;
    std::lock_guard<std::mutex> lk(st->mu);
    if (f->committed)
        return 0;
    if (f->gone)
        return KES_ENOENT;
    std::string fin = final_path(st, f->rel);
    uint64_t old_size = 0;
    bool replaced = regular_file_size(fin, &old_size);
    if (rename(hidden_path(st, f->rel, PART_SUFFIX).c_str(), fin.c_str()) != 0)
        return kes_errno();
    f->committed = true;
    auto it = st->writers.find(f->rel);
    if (it != st->writers.end() && it->second == f)
        st->writers.erase(it);
    if (replaced)
        release_bytes(st, old_size);
    return fsync_dir_of(fin);
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
    return 0;
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
    std::string tmp = path + TMP_SUFFIX;
    int fd = create_file(tmp, O_WRONLY | O_TRUNC);
    if (fd < 0)
        return kes_errno();
    size_t done = 0;
    int rc = 0;
    while (done < buf.size()) {
        ssize_t n = write(fd, buf.data() + done, buf.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            rc = kes_errno();
            break;
        }
        done += size_t(n);
    }
    if (rc == 0 && fsync(fd) != 0)
        rc = kes_errno();
    close(fd);
    if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0)
        rc = kes_errno();
    if (rc != 0) {
        unlink(tmp.c_str());
        return rc;
    }
    return fsync_dir_of(path);
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
    auto w = st->writers.find(rel);
    if (w != st->writers.end() && !w->second->gone)
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
