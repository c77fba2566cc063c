// Named attributes of the store's files, kept in a hidden file beside each
// one: read, changed and rewritten whole.
#include "appliance/store_int.h"

#include "datamover/byteorder.h"
#include "datamover/util.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
        return errno == ENOENT ? 0 : store_errno();
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
    return store_regular_size(store_final_path(st, rel), nullptr);
}

}  // namespace

int store_set_xattr(store *st, const std::string &rel, const char *name, const void *value, size_t len)
{
    if (!attr_name_ok(name) || len > STORE_MAX_ATTR_VALUE || (value == nullptr && len != 0))
        return KES_EINVAL;
    std::lock_guard<std::mutex> lk(st->mu);
    if (!file_present_locked(st, rel))
        return KES_ENOENT;
    std::string path = store_hidden_path(st, rel, XATTR_SUFFIX);
    std::vector<attr_rec> recs;
    int rc = load_attrs(path, &recs);
    if (rc != 0)
        return rc;
    uint64_t old_file = 0;
    store_regular_size(path, &old_file);
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
    store_regular_size(path, &new_file);
    store_release_bytes(st, old_file);
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
        int rc = load_attrs(store_hidden_path(st, rel, XATTR_SUFFIX), &recs);
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
