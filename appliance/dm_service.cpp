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
#include "datamover/dm_msg.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t DMS_MIN_IO = DM_PREF_BSZ;
constexpr uint32_t DMS_MAX_IO = 4u << 20;

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

// The answer's header: the request's cmd, slot and offset echoed, with the
// status and the handle given.
dm_hdr reply_hdr(const dm_hdr &h, int status, uint16_t fh)
{
    dm_hdr r;
    dm_hdr_init(&r, h.cmd, 0, h.off);
    r.status = uint16_t(status);
    r.fh = fh;
    r.slot = h.slot;
    return r;
}

// A reply of head_len bytes: the header, the rest of the head zero.
void reply(dm_reply *out, const dm_hdr &h, int status, size_t head_len, uint16_t fh)
{
    memset(out->head, 0, sizeof out->head);
    out->head_len = uint32_t(head_len);
    out->data = nullptr;
    out->data_len = 0;
    dm_hdr r = reply_hdr(h, status, fh);
    dm_hdr_encode(&r, out->head, sizeof out->head);
}

// The status of a reply already made.
void set_status(dm_reply *out, int status) { be_put16(out->head + DM_HDR_OFF_SZ_L, uint16_t(status)); }

// The value length of an attribute reply already made.
void set_value_len(dm_reply *out, uint32_t len) { be_put32(out->head + DM_XATTR_OFF_VLEN, len); }

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

dms_file *find_file(dm_session *s, const dm_hdr &h)
{
    if (h.fh == 0 || h.fh > APPL_DM_MAX_FILES)
        return nullptr;
    dms_file *f = &s->files[h.fh - 1];
    if (!f->in_use || f->slot != h.slot)
        return nullptr;
    return f;
}

void do_config(dm_session *s, const dm_hdr &h, size_t head_len, dm_reply *out)
{
    reply(out, h, 0, DM_CONFIG_MSG_SIZE, 0);
    dm_config_msg m = {};
    m.hdr = reply_hdr(h, head_len == DM_CONFIG_MSG_SIZE ? 0 : KES_EINVAL, 0);
    // What a request may carry: the configured size within what a
    // connection's buffers take (a size below one page is announced as it
    // is, and the client refuses it).
    m.pref_bsz = s->sh->cfg.pref_bsz < DMS_MIN_IO ? s->sh->cfg.pref_bsz : s->max_io;
    m.pref_compress = 0;  // no compression
    m.pref_dedup = 0;     // no deduplication
    m.pref_reserve_mb = s->sh->cfg.pref_reserve_mb;
    dm_config_encode(&m, out->head, sizeof out->head);
}

void do_open(dm_session *s, const dm_hdr &h, const unsigned char *head, size_t head_len, dm_reply *out)
{
    reply(out, h, 0, DM_OPEN_MSG_SIZE, 0);
    auto fail = [&](int status) { set_status(out, status); };
    dm_open_msg req;
    size_t nlen = 0;
    const char *name = head_len > DM_OPEN_MSG_SIZE && dm_open_decode(&req, head, head_len) >= 0
                           ? take_last_string(head + DM_OPEN_MSG_SIZE, head_len - DM_OPEN_MSG_SIZE, &nlen)
                           : nullptr;
    if (name == nullptr || h.slot >= DM_SLOT_COUNT)
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
    const uint32_t oflags = req.oflags;
    bool want_write = (oflags & (DM_OFLAG_RDWR | DM_OFLAG_CREAT | DM_OFLAG_TRUNC)) != 0;
    bool want_read = (oflags & DM_OFLAG_RDONLY) != 0 || (oflags & DM_OFLAG_RDWR) != 0 || oflags == 0;
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
    dm_open_msg rsp = {};
    rsp.hdr = reply_hdr(h, 0, fh);
    rsp.stats.uid = uint32_t(getuid());
    rsp.stats.gid = uint32_t(getgid());
    rsp.stats.rsvd[0] = req.stats.rsvd[0];  // kept by the client, returned as given
    rsp.stats.rsvd[1] = req.stats.rsvd[1];
    rsp.stats.sz = store_file_size(hd->file.get());
    rsp.oflags = oflags;
    dm_open_encode(&rsp, out->head, sizeof out->head);
    ALOG(s->sh->log, APPL_LOG_DEBUG, "data-mover open %s as fh %u slot %u (%s)", sn.rel.c_str(), unsigned(fh),
         unsigned(h.slot), want_write ? "write" : "read");
}

void do_close_form(dm_session *s, const dm_hdr &h, dm_reply *out)
{
    dms_file *f = find_file(s, h);
    if (f == nullptr)
        return reply(out, h, KES_EBADF, DM_HDR_SIZE, h.fh);
    int rc = f->can_write ? store_file_sync(f->h->file.get()) : 0;
    if (rc != 0)
        appl_handle_fail(f->h.get(), rc);
    if (h.cmd == DM_CMD_CLOSE) {
        if (f->can_write)
            f->h->dm_writers--;
        f->in_use = false;
        f->h.reset();
    }
    reply(out, h, rc, DM_HDR_SIZE, h.fh);
}

void do_read(dm_session *s, const dm_hdr &h, unsigned char *rbuf, size_t rcap, dm_reply *out)
{
    reply(out, h, 0, DM_HDR_SIZE, h.fh);
    dms_file *f = find_file(s, h);
    if (f == nullptr || !f->can_read)
        return set_status(out, KES_EBADF);
    const uint32_t want = dm_hdr_len(&h);
    if (rbuf == nullptr || want > rcap)
        return set_status(out, KES_EINVAL);
    size_t got = 0;
    sums_damage dmg;
    int rc = store_file_pread(f->h->file.get(), rbuf, want, h.off, &got, &dmg);
    if (rc != 0) {
        // Nothing of a failed read travels: bytes the store cannot vouch for
        // never leave the appliance.
        if (rc == KES_EIO && dmg.why != nullptr)
            ALOG(s->sh->log, APPL_LOG_ERROR, "damaged data in %s at offset %llu (%s): read of %u bytes at offset %llu refused",
                 store_file_rel(f->h->file.get()).c_str(), (unsigned long long)dmg.off, dmg.why, want,
                 (unsigned long long)h.off);
        else
            ALOG(s->sh->log, APPL_LOG_ERROR, "read of %s at offset %llu failed: %s",
                 store_file_rel(f->h->file.get()).c_str(), (unsigned long long)h.off, util_strerror(rc));
        return set_status(out, rc);
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

void do_write(dm_session *s, const dm_hdr &h, const unsigned char *data, size_t data_len, dm_reply *out)
{
    dms_file *f = find_file(s, h);
    int rc = 0;
    if (f == nullptr || !f->can_write)
        rc = KES_EBADF;
    else if (data_len != dm_hdr_len(&h))
        rc = KES_EINVAL;
    else if (data_len != 0)
        rc = store_file_pwrite(f->h->file.get(), data, data_len, h.off);
    if (rc != 0 && f != nullptr && f->can_write)
        appl_handle_fail(f->h.get(), rc);
    reply(out, h, rc, DM_HDR_SIZE, h.fh);
}

void do_delete(dm_session *s, const dm_hdr &h, const unsigned char *head, size_t head_len, dm_reply *out)
{
    size_t nlen = 0;
    const char *name = head_len > DM_HDR_SIZE ? take_last_string(head + DM_HDR_SIZE, head_len - DM_HDR_SIZE, &nlen)
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
            rc = DM_STS_NOFILE;
        else if (rc == 0)
            ALOG(s->sh->log, APPL_LOG_INFO, "%s deleted %s", s->login->user.c_str(), sn.rel.c_str());
    }
    reply(out, h, rc, DM_HDR_SIZE, h.fh);
}

// The reserved attribute: checksums of the pages of an open file from the
// offset the name carries on, as many as the capacity announced holds.
void page_sums(dm_session *s, const dm_hdr &h, const char *attr, uint32_t cap, dm_reply *out)
{
    auto fail = [&](int status) { set_status(out, status); };
    dms_file *f = h.fh == DM_FH_BY_PATH ? nullptr : find_file(s, h);
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
    set_value_len(out, uint32_t(len));
    out->data = s->xbuf.data();
    out->data_len = uint32_t(len);
}

// Attribute requests: the file by open handle or by name, then the attribute
// name, then (set) the value.
void do_xattr(dm_session *s, const dm_hdr &h, const unsigned char *head, size_t head_len, dm_reply *out)
{
    reply(out, h, 0, DM_XATTR_HDR_SIZE, h.fh);
    auto fail = [&](int status) { set_status(out, status); };
    dm_xattr_hdr xh;
    if (dm_xattr_hdr_decode(&xh, head, head_len) < 0)
        return fail(KES_EINVAL);
    const uint32_t value_len = xh.value_len;
    set_value_len(out, h.cmd == DM_CMD_SET_XATTR ? value_len : 0);
    size_t pos = DM_XATTR_HDR_SIZE;
    std::string rel;
    if (h.fh == DM_FH_BY_PATH) {
        size_t nlen = 0;
        const char *name = take_string(head + pos, head_len - pos, &nlen);
        store_name sn;
        if (name == nullptr || nlen >= DM_XATTR_PATH_MAX || store_parse_name(name, nlen, &sn) != 0 ||
            sn.has_handle)
            return fail(KES_EINVAL);
        if (!may_reach(s, sn.rel, h.cmd == DM_CMD_SET_XATTR ? "attribute change" : "attribute query"))
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
        if (h.cmd == DM_CMD_SET_XATTR)
            return fail(KES_EACCES);
        if (pos != head_len)
            return fail(KES_EINVAL);
        return page_sums(s, h, attr, value_len, out);
    }
    if (h.cmd == DM_CMD_SET_XATTR) {
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
        set_value_len(out, uint32_t(len));
        return fail(rc);
    }
    if (rc != 0)
        return fail(rc);
    set_value_len(out, uint32_t(len));
    out->data = s->xbuf.data();
    out->data_len = uint32_t(len);
}

}  // namespace

int dm_session_handle(dm_session *s, const unsigned char *head, size_t head_len, const unsigned char *data,
                      size_t data_len, unsigned char *rbuf, size_t rcap, dm_reply *out)
{
    dm_hdr h;
    if (head == nullptr || dm_hdr_decode(&h, head, head_len) < 0)
        return -1;
    if (data == nullptr && h.cmd == DM_CMD_WRITE) {
        // the whole payload in one piece
        data = head + DM_HDR_SIZE;
        data_len = head_len - DM_HDR_SIZE;
        head_len = DM_HDR_SIZE;
    }
    ALOG(s->sh->log, APPL_LOG_TRACE, "dm cmd=%u fh=%u slot=%u off=%llu sz=%u", unsigned(h.cmd), unsigned(h.fh),
         unsigned(h.slot), (unsigned long long)h.off, dm_hdr_len(&h));
    switch (h.cmd) {
    case DM_CMD_CONFIG:
        do_config(s, h, head_len, out);
        break;
    case DM_CMD_OPEN:
        do_open(s, h, head, head_len, out);
        break;
    case DM_CMD_CLOSE:
    case DM_CMD_FLUSH:
        do_close_form(s, h, out);
        break;
    case DM_CMD_READ:
        do_read(s, h, rbuf, rcap, out);
        break;
    case DM_CMD_WRITE:
        do_write(s, h, data, data_len, out);
        break;
    case DM_CMD_DELETE:
        do_delete(s, h, head, head_len, out);
        break;
    case DM_CMD_SET_XATTR:
    case DM_CMD_GET_XATTR:
        do_xattr(s, h, head, head_len, out);
        break;
    default:
        reply(out, h, KES_EINVAL, DM_HDR_SIZE, h.fh);
        break;
    }
    return 0;
}
