// Data-mover service: configuration, open by MI handle name, read, write,
// flush, close, delete by name and named attributes. Every request gets a
// reply whose status is 0 or an error number; only a request too short to
// hold its header drops the connection.
//
// A session acts for the login its connection was tied to (appl_auth.h):
// opens, deletes and attribute requests are checked against that login's
// user and shares, and refused with EACCES when it has none (any more). Reads
// and writes go to files opened that way.
#include "appliance/service.h"

#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum : uint8_t {
    DMS_CONFIG = 0,
    DMS_OPEN = 1,
    DMS_CLOSE = 2,
    DMS_READ = 3,
    DMS_WRITE = 4,
    DMS_DELETE = 7,
    DMS_FLUSH = 8,
    DMS_SET_XATTR = 10,
    DMS_GET_XATTR = 11,
};

constexpr size_t DMS_CONFIG_LEN = 32;
constexpr size_t DMS_OPEN_LEN = 48;
constexpr size_t DMS_XATTR_LEN = 20;
constexpr uint16_t DMS_FH_BY_NAME = 0xFFFF;
constexpr uint16_t DMS_STS_NOFILE = 0xFFFE;  // a delete that finds nothing
constexpr uint16_t DMS_MAX_SLOT = 32;        // client file slots 0..31
constexpr uint32_t DMS_MIN_IO = 262144;
constexpr uint32_t DMS_MAX_IO = 4u << 20;

// DM open flags.
enum : uint32_t {
    DMS_O_RDWR = 0x1,
    DMS_O_CREATE = 0x2,
    DMS_O_TRUNC = 0x4,
    DMS_O_READ = 0x8,
};

struct dms_hdr {
    uint8_t cmd;
    uint32_t sz;
    uint16_t fh;
    uint16_t slot;
    uint64_t off;
};

struct dms_file {
    bool in_use = false;
    bool can_read = false;
    bool can_write = false;
    uint16_t slot = 0;
    std::shared_ptr<appl_handle> h;
};

}  // namespace

struct dm_session {
    appl_shared *sh = nullptr;
    std::shared_ptr<const appl_login> login;
    uint32_t max_io = DMS_MIN_IO;
    dms_file files[APPL_DM_MAX_FILES];
    std::vector<unsigned char> xbuf;  // value of a get-attribute reply
    std::vector<uint64_t> sums;       // checksums of a page-sums reply
};

dm_session *dm_session_new(appl_shared *sh, std::shared_ptr<const appl_login> login)
{
    auto *s = new dm_session;
    s->sh = sh;
    s->login = std::move(login);
    s->max_io = std::clamp(sh->cfg.pref_bsz, DMS_MIN_IO, DMS_MAX_IO);
    return s;
}

void dm_session_free(dm_session *s)
{
    if (s == nullptr)
        return;
    // A writer whose connection goes away before it closed its file did not
    // deliver that file whole.
    for (dms_file &f : s->files) {
        if (f.in_use && f.can_write) {
            appl_handle_fail(f.h.get(), KES_ECONNRESET);
            f.h->dm_writers--;
            ALOG(s->sh->log, APPL_LOG_NOTICE, "data-mover connection gone with %s still open for writing",
                 store_file_rel(f.h->file.get()).c_str());
        }
    }
    delete s;
}

uint32_t dm_session_max_io(const dm_session *s) { return s->max_io; }

namespace {

void put_hdr(unsigned char *p, uint8_t cmd, uint16_t status, uint16_t fh, uint16_t slot, uint64_t off)
{
    p[0] = cmd;
    p[1] = 0;
    be_put16(p + 2, status);
    be_put16(p + 4, fh);
    be_put16(p + 6, slot);
    be_put64(p + 8, off);
}

// A reply of head_len bytes with the request's cmd, slot and offset echoed.
void reply(dm_reply *out, const dms_hdr &h, int status, size_t head_len, uint16_t fh)
{
    memset(out->head, 0, sizeof out->head);
    out->head_len = uint32_t(head_len);
    out->data = nullptr;
    out->data_len = 0;
    put_hdr(out->head, h.cmd, uint16_t(status), fh, h.slot, h.off);
}

// The NUL-terminated text at p (at most avail bytes); null when no NUL ends it.
const char *take_string(const unsigned char *p, size_t avail, size_t *len)
{
    const void *nul = memchr(p, '\0', avail);
    if (nul == nullptr)
        return nullptr;
    *len = size_t(static_cast<const unsigned char *>(nul) - p);
    return reinterpret_cast<const char *>(p);
}

// The NUL-terminated text that fills the rest of the payload exactly: a name
// with a NUL inside ("a\0b") is refused, never cut short.
const char *take_last_string(const unsigned char *p, size_t avail, size_t *len)
{
    const char *text = take_string(p, avail, len);
    return text != nullptr && *len + 1 == avail ? text : nullptr;
}

// Whether the session may reach rel for what: its login must still hold and
// reach the share. Refusals are logged.
bool may_reach(dm_session *s, const std::string &rel, const char *what)
{
    if (!appl_auth_current(&s->sh->auth, &s->login)) {
        ALOG(s->sh->log, APPL_LOG_WARNING, "data-mover %s of %s refused: the connection has no logged-in session",
             what, rel.c_str());
        return false;
    }
    if (!appl_share_allowed(*s->login, rel)) {
        ALOG(s->sh->log, APPL_LOG_WARNING, "data-mover %s of %s refused: user '%s' may not use that share", what,
             rel.c_str(), s->login->user.c_str());
        return false;
    }
    return true;
}

dms_file *find_file(dm_session *s, const dms_hdr &h)
{
    if (h.fh == 0 || h.fh > APPL_DM_MAX_FILES)
        return nullptr;
    dms_file *f = &s->files[h.fh - 1];
    if (!f->in_use || f->slot != h.slot)
        return nullptr;
    return f;
}

void do_config(dm_session *s, const dms_hdr &h, size_t head_len, dm_reply *out)
{
    reply(out, h, head_len == DMS_CONFIG_LEN ? 0 : KES_EINVAL, DMS_CONFIG_LEN, 0);
    be_put32(out->head + 16, s->sh->cfg.pref_bsz);
    be_put32(out->head + 20, 0);  // no compression
    be_put32(out->head + 24, 0);  // no deduplication
    be_put16(out->head + 30, s->sh->cfg.pref_reserve_mb);
}

void do_open(dm_session *s, const dms_hdr &h, const unsigned char *head, size_t head_len, dm_reply *out)
{
    reply(out, h, 0, DMS_OPEN_LEN, 0);
    auto fail = [&](int status) { put_hdr(out->head, h.cmd, uint16_t(status), 0, h.slot, h.off); };
    size_t nlen = 0;
    const char *name = head_len > DMS_OPEN_LEN
                           ? take_last_string(head + DMS_OPEN_LEN, head_len - DMS_OPEN_LEN, &nlen)
                           : nullptr;
    if (name == nullptr || h.slot >= DMS_MAX_SLOT)
        return fail(KES_EINVAL);
    store_name sn;
    if (store_parse_name(name, nlen, &sn) != 0)
        return fail(KES_EINVAL);
    // Only a file opened through an authenticated control connection, under
    // the name it was opened with and for what that open allowed.
    if (!may_reach(s, sn.rel, "open"))
        return fail(KES_EACCES);
    std::shared_ptr<appl_handle> hd = sn.has_handle ? appl_handle_find(s->sh, sn.handle) : nullptr;
    if (hd == nullptr || store_file_rel(hd->file.get()) != sn.rel || hd->user != s->login->user)
        return fail(KES_EACCES);
    uint32_t oflags = be_get32(head + 40);
    bool want_write = (oflags & (DMS_O_RDWR | DMS_O_CREATE | DMS_O_TRUNC)) != 0;
    bool want_read = (oflags & DMS_O_READ) != 0 || (oflags & DMS_O_RDWR) != 0 || oflags == 0;
    if (want_write && (hd->mi_mode & MI_MODE_WRITE) == 0)
        return fail(KES_EACCES);
    if (want_read && !want_write && (hd->mi_mode & MI_MODE_READ) == 0)
        return fail(KES_EACCES);
    int idx = -1;
    for (int i = 0; i < APPL_DM_MAX_FILES; ++i) {
        if (!s->files[i].in_use) {
            idx = i;
            break;
        }
    }
    if (idx < 0)
        return fail(KES_EMFILE);
    dms_file &f = s->files[idx];
    f.in_use = true;
    f.can_write = want_write;
    f.can_read = want_read || want_write;
    f.slot = h.slot;
    f.h = hd;
    if (want_write)
        hd->dm_writers++;
    uint16_t fh = uint16_t(idx + 1);
    put_hdr(out->head, h.cmd, 0, fh, h.slot, h.off);
    be_put32(out->head + 16, uint32_t(getuid()));
    be_put32(out->head + 20, uint32_t(getgid()));
    memcpy(out->head + 24, head + 24, 8);  // kept by the client, returned as given
    be_put64(out->head + 32, store_file_size(hd->file.get()));
    be_put32(out->head + 40, oflags);
    ALOG(s->sh->log, APPL_LOG_DEBUG, "data-mover open %s as fh %u slot %u (%s)", sn.rel.c_str(), unsigned(fh),
         unsigned(h.slot), want_write ? "write" : "read");
}

void do_close_form(dm_session *s, const dms_hdr &h, dm_reply *out)
{
    dms_file *f = find_file(s, h);
    if (f == nullptr)
        return reply(out, h, KES_EBADF, APPL_DM_HDR, h.fh);
    int rc = f->can_write ? store_file_sync(f->h->file.get()) : 0;
    if (rc != 0)
        appl_handle_fail(f->h.get(), rc);
    if (h.cmd == DMS_CLOSE) {
        if (f->can_write)
            f->h->dm_writers--;
        f->in_use = false;
        f->h.reset();
    }
    reply(out, h, rc, APPL_DM_HDR, h.fh);
}

void do_read(dm_session *s, const dms_hdr &h, unsigned char *rbuf, size_t rcap, dm_reply *out)
{
    reply(out, h, 0, APPL_DM_HDR, h.fh);
    dms_file *f = find_file(s, h);
    if (f == nullptr || !f->can_read) {
        be_put16(out->head + 2, KES_EBADF);
        return;
    }
    if (rbuf == nullptr || h.sz > rcap) {
        be_put16(out->head + 2, KES_EINVAL);
        return;
    }
    size_t got = 0;
    sums_damage dmg;
    int rc = store_file_pread(f->h->file.get(), rbuf, h.sz, h.off, &got, &dmg);
    if (rc != 0) {
        // Nothing of a failed read travels: bytes the store cannot vouch for
        // never leave the appliance.
        if (rc == KES_EIO && dmg.why != nullptr)
            ALOG(s->sh->log, APPL_LOG_ERROR, "damaged data in %s at offset %llu (%s): read of %u bytes at offset %llu refused",
                 store_file_rel(f->h->file.get()).c_str(), (unsigned long long)dmg.off, dmg.why, h.sz,
                 (unsigned long long)h.off);
        else
            ALOG(s->sh->log, APPL_LOG_ERROR, "read of %s at offset %llu failed: %s",
                 store_file_rel(f->h->file.get()).c_str(), (unsigned long long)h.off, util_strerror(rc));
        be_put16(out->head + 2, uint16_t(rc));
        return;
    }
    const uint64_t corrupt = s->sh->cfg.corrupt_read;
    if (corrupt != 0 && got != 0 && s->sh->read_replies.fetch_add(1) + 1 == corrupt) {
        rbuf[got / 2] ^= 0x20;  // test switch: damage on the wire, after the check
        ALOG(s->sh->log, APPL_LOG_NOTICE, "read reply %llu of %s damaged on purpose at offset %llu (test switch)",
             (unsigned long long)corrupt, store_file_rel(f->h->file.get()).c_str(),
             (unsigned long long)(h.off + got / 2));
    }
    out->data = rbuf;
    out->data_len = uint32_t(got);
}

void do_write(dm_session *s, const dms_hdr &h, const unsigned char *data, size_t data_len, dm_reply *out)
{
    dms_file *f = find_file(s, h);
    int rc = 0;
    if (f == nullptr || !f->can_write)
        rc = KES_EBADF;
    else if (data_len != h.sz)
        rc = KES_EINVAL;
    else if (data_len != 0)
        rc = store_file_pwrite(f->h->file.get(), data, data_len, h.off);
    if (rc != 0 && f != nullptr && f->can_write)
        appl_handle_fail(f->h.get(), rc);
    reply(out, h, rc, APPL_DM_HDR, h.fh);
}

void do_delete(dm_session *s, const dms_hdr &h, const unsigned char *head, size_t head_len, dm_reply *out)
{
    size_t nlen = 0;
    const char *name = head_len > APPL_DM_HDR ? take_last_string(head + APPL_DM_HDR, head_len - APPL_DM_HDR, &nlen)
                                              : nullptr;
    store_name sn;
    int rc = KES_EINVAL;
    if (name == nullptr || store_parse_name(name, nlen, &sn) != 0) {
        rc = KES_EINVAL;
    } else if (!may_reach(s, sn.rel, "delete")) {
        rc = KES_EACCES;
    } else {
        rc = store_delete(s->sh->st, sn.rel);
        if (rc == KES_ENOENT)
            rc = DMS_STS_NOFILE;
        else if (rc == 0)
            ALOG(s->sh->log, APPL_LOG_INFO, "%s deleted %s", s->login->user.c_str(), sn.rel.c_str());
    }
    reply(out, h, rc, APPL_DM_HDR, h.fh);
}

// The reserved attribute: checksums of the pages of an open file from the
// offset the name carries on, as many as the capacity announced holds.
void page_sums(dm_session *s, const dms_hdr &h, const char *attr, uint32_t cap, dm_reply *out)
{
    auto fail = [&](int status) { be_put16(out->head + 2, uint16_t(status)); };
    dms_file *f = h.fh == DMS_FH_BY_NAME ? nullptr : find_file(s, h);
    uint64_t off = 0;
    if (f == nullptr || !f->can_read)
        return fail(KES_ENOENT);
    if (dm_sums_attr_parse(attr, &off) != 0 || cap < DM_SUMS_HDR_SIZE)
        return fail(KES_EINVAL);
    const size_t room = std::min<size_t>(cap, STORE_MAX_ATTR_VALUE);
    const uint32_t max = uint32_t((room - DM_SUMS_HDR_SIZE) / 8);
    if (s->sums.size() < max)
        s->sums.resize(max);
    uint32_t n = store_file_sums(f->h->file.get(), off / DM_SUM_PAGE, s->sums.data(), max);
    if (s->xbuf.size() < STORE_MAX_ATTR_VALUE)
        s->xbuf.resize(STORE_MAX_ATTR_VALUE);
    int len = dm_sums_encode(off, s->sums.data(), n, s->xbuf.data(), room);
    if (len < 0)
        return fail(KES_EINVAL);
    be_put32(out->head + 16, uint32_t(len));
    out->data = s->xbuf.data();
    out->data_len = uint32_t(len);
}

// Attribute requests: the file by open handle or by name, then the attribute
// name, then (set) the value.
void do_xattr(dm_session *s, const dms_hdr &h, const unsigned char *head, size_t head_len, dm_reply *out)
{
    reply(out, h, 0, DMS_XATTR_LEN, h.fh);
    auto fail = [&](int status) { be_put16(out->head + 2, uint16_t(status)); };
    if (head_len < DMS_XATTR_LEN)
        return fail(KES_EINVAL);
    uint32_t value_len = be_get32(head + 16);
    be_put32(out->head + 16, h.cmd == DMS_SET_XATTR ? value_len : 0);
    size_t pos = DMS_XATTR_LEN;
    std::string rel;
    if (h.fh == DMS_FH_BY_NAME) {
        size_t nlen = 0;
        const char *name = take_string(head + pos, head_len - pos, &nlen);
        store_name sn;
        if (name == nullptr || nlen >= 256 || store_parse_name(name, nlen, &sn) != 0 || sn.has_handle)
            return fail(KES_EINVAL);
        if (!may_reach(s, sn.rel, h.cmd == DMS_SET_XATTR ? "attribute change" : "attribute query"))
            return fail(KES_EACCES);
        rel = sn.rel;
        pos += nlen + 1;
    } else {
        dms_file *f = find_file(s, h);
        if (f == nullptr)
            return fail(KES_EBADF);
        rel = store_file_rel(f->h->file.get());
    }
    size_t alen = 0;
    const char *attr = take_string(head + pos, head_len - pos, &alen);
    if (attr == nullptr || alen == 0 || alen > STORE_MAX_ATTR_NAME)
        return fail(KES_EINVAL);
    pos += alen + 1;
    if (dm_sums_attr_reserved(attr)) {
        // The checksums the store keeps, on the open file only; never set.
        if (h.cmd == DMS_SET_XATTR)
            return fail(KES_EACCES);
        if (pos != head_len)
            return fail(KES_EINVAL);
        return page_sums(s, h, attr, value_len, out);
    }
    if (h.cmd == DMS_SET_XATTR) {
        if (head_len - pos != value_len || value_len == 0)
            return fail(KES_EINVAL);
        return fail(store_set_xattr(s->sh->st, rel, attr, head + pos, value_len));
    }
    if (pos != head_len)
        return fail(KES_EINVAL);
    size_t cap = std::min<size_t>(value_len, STORE_MAX_ATTR_VALUE);
    if (s->xbuf.size() < STORE_MAX_ATTR_VALUE)
        s->xbuf.resize(STORE_MAX_ATTR_VALUE);
    size_t len = 0;
    int rc = store_get_xattr(s->sh->st, rel, attr, s->xbuf.data(), cap, &len);
    if (rc == KES_ERANGE) {
        be_put32(out->head + 16, uint32_t(len));
        return fail(rc);
    }
    if (rc != 0)
        return fail(rc);
    be_put32(out->head + 16, uint32_t(len));
    out->data = s->xbuf.data();
    out->data_len = uint32_t(len);
}

}  // namespace

int dm_session_handle(dm_session *s, const unsigned char *head, size_t head_len, const unsigned char *data,
                      size_t data_len, unsigned char *rbuf, size_t rcap, dm_reply *out)
{
    if (head == nullptr || head_len < APPL_DM_HDR)
        return -1;
    dms_hdr h;
    h.cmd = head[0];
    h.sz = (uint32_t(head[1]) << 16) | be_get16(head + 2);
    h.fh = be_get16(head + 4);
    h.slot = be_get16(head + 6);
    h.off = be_get64(head + 8);
    if (data == nullptr && h.cmd == DMS_WRITE) {
        // the whole payload in one piece
        data = head + APPL_DM_HDR;
        data_len = head_len - APPL_DM_HDR;
        head_len = APPL_DM_HDR;
    }
    ALOG(s->sh->log, APPL_LOG_TRACE, "dm cmd=%u fh=%u slot=%u off=%llu sz=%u", unsigned(h.cmd), unsigned(h.fh),
         unsigned(h.slot), (unsigned long long)h.off, h.sz);
    switch (h.cmd) {
    case DMS_CONFIG:
        do_config(s, h, head_len, out);
        break;
    case DMS_OPEN:
        do_open(s, h, head, head_len, out);
        break;
    case DMS_CLOSE:
    case DMS_FLUSH:
        do_close_form(s, h, out);
        break;
    case DMS_READ:
        do_read(s, h, rbuf, rcap, out);
        break;
    case DMS_WRITE:
        do_write(s, h, data, data_len, out);
        break;
    case DMS_DELETE:
        do_delete(s, h, head, head_len, out);
        break;
    case DMS_SET_XATTR:
    case DMS_GET_XATTR:
        do_xattr(s, h, head, head_len, out);
        break;
    default:
        reply(out, h, KES_EINVAL, APPL_DM_HDR, h.fh);
        break;
    }
    return 0;
}
