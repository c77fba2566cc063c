// Control service: version, authentication, the data-mover port, file open
// and close, space checks, admin alerts, and the extents and tags recorded
// for files. Every request record is answered; a number the service does not
// serve, a record that does not decode and a request made before the
// connection has authenticated all get an error status.
#include "appliance/service.h"

#include "appliance/blob_store.h"

#include "datamover/byteorder.h"
#include "datamover/md5.h"
#include "datamover/util.h"
#include "lib/common/com_util.h"
#include "lib/common/mi_comm.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <openssl/crypto.h>

namespace {

constexpr int MIS_MAX_AUTH_FAILURES = 10;  // then the connection is dropped
constexpr size_t MIS_PASSWORD_BYTES = 32;
constexpr size_t MIS_NUMBER_OFFSET = 20;   // message number inside the encoded header

// The blobs a handle holds are let go when its file closes or will not be
// completed; those its complete file is made of were handed over before.
void release_holds(appl_shared *sh, appl_handle *h)
{
    std::map<std::string, uint32_t> held;
    {
        std::lock_guard<std::mutex> lk(h->mu);
        held.swap(h->held_tags);
    }
    if (sh->tag_hook == nullptr)
        return;
    for (const auto &kv : held)
        sh->tag_hook(sh->tag_hook_ctx, h, kv.first, false);
}

}  // namespace

int32_t appl_blob_tag_hook(void *ctx, const appl_handle *h, const std::string &tag, bool hold)
{
    auto *bs = static_cast<blob_store *>(ctx);
    int rc = hold ? blob_hold(bs, tag, h->id) : blob_release(bs, tag, h->id);
    if (rc == 0)
        return MI_STS_EOK;
    if (rc == KES_EACCES)
        return MI_STS_EACCESS;  // another file holds it
    return hold ? MI_STS_EFNOTFOUND : MI_STS_ENOENT;
}

struct mi_session {
    appl_shared *sh = nullptr;
    uint64_t id = 0;
    uint32_t peer = 0;
    bool authed = false;
    bool have_attr = false;
    unsigned char attr[MI_AUTH_ATTR_SIZE] = {};
    std::string user;
    std::shared_ptr<const appl_login> login;
    int auth_failures = 0;
    uint32_t reply_delay_ms = 0;
};

mi_session *mi_session_new(appl_shared *sh, uint32_t peer)
{
    auto *s = new mi_session;
    s->sh = sh;
    s->id = sh->next_session.fetch_add(1);
    s->peer = peer;
    return s;
}

void mi_session_free(mi_session *s)
{
    if (s == nullptr)
        return;
    appl_auth_login_end(&s->sh->auth, s->login.get());
    // A writer that goes away without closing leaves no complete file.
    for (auto &h : appl_handle_take_all(s->sh, s->id)) {
        release_holds(s->sh, h.get());
        if (h->file != nullptr && (h->mi_mode & MI_MODE_WRITE) != 0) {
            ALOG(s->sh->log, APPL_LOG_NOTICE, "control connection of %s gone; %s left incomplete",
                 s->user.c_str(), store_file_rel(h->file.get()).c_str());
            store_file_abandon(h->file.get());
        }
    }
    OPENSSL_cleanse(s->attr, sizeof s->attr);
    delete s;
}

bool mi_session_authenticated(const mi_session *s) { return s->authed; }
std::shared_ptr<const appl_login> mi_session_login(const mi_session *s) { return s->login; }
uint32_t mi_session_reply_delay_ms(const mi_session *s) { return s->reply_delay_ms; }

namespace {

// Proof the client must send: MD5 over the password (first 32 bytes), the
// attribute and 32 zero bytes.
void auth_digest(const std::string &password, const unsigned char attr[MI_AUTH_ATTR_SIZE],
                 unsigned char out[MI_AUTH_DIGEST_SIZE])
{
    unsigned char block[128] = {};
    memcpy(block, password.data(), std::min(password.size(), MIS_PASSWORD_BYTES));
    memcpy(block + 32, attr, MI_AUTH_ATTR_SIZE);
    md5_digest(block, sizeof block, out);
    OPENSSL_cleanse(block, sizeof block);
}

// Counts a failed attempt of the session and of its address.
void login_failed(mi_session *s)
{
    s->auth_failures++;
    unsigned n = appl_auth_login_failed(&s->sh->auth, s->peer, appl_now_ms());
    if (n == APPL_FREE_LOGIN_FAILURES + 1)
        ALOG(s->sh->log, APPL_LOG_WARNING,
             "%u failed logins from %s; its further attempts are answered only after a delay",
             n, appl_addr_text(s->peer).c_str());
}

int32_t do_authenticate(mi_session *s, mi_authenticate_client_req *req)
{
    bool had_attr = s->have_attr;
    s->have_attr = false;  // an attribute proves one attempt only
    // Guessing from one address is slowed down, whatever this attempt brings.
    s->reply_delay_ms = appl_auth_login_delay(&s->sh->auth, s->peer, appl_now_ms());
    if (s->authed) {
        // One session, one login: a second would change whose rights the
        // session's files and data-mover connection carry.
        ALOG(s->sh->log, APPL_LOG_WARNING, "authentication refused: the session of '%s' is logged in already",
             s->user.c_str());
        return MI_STS_EAUTH;
    }
    if (req->kind != MI_CRED_KIND_DIGEST || req->cred.digest.user == nullptr) {
        ALOG(s->sh->log, APPL_LOG_WARNING, "authentication refused: credential kind %d not accepted", req->kind);
        login_failed(s);
        return MI_STS_EAUTH;
    }
    const char *user = req->cred.digest.user;
    const appliance_user *found = nullptr;
    for (const appliance_user &u : s->sh->cfg.users) {
        if (u.name == user)
            found = &u;
    }
    bool ok = false;
    if (found != nullptr && had_attr) {
        unsigned char want[MI_AUTH_DIGEST_SIZE];
        auth_digest(found->password, s->attr, want);
        ok = CRYPTO_memcmp(want, req->cred.digest.digest, sizeof want) == 0;
        OPENSSL_cleanse(want, sizeof want);
    }
    OPENSSL_cleanse(s->attr, sizeof s->attr);
    if (!ok) {
        login_failed(s);
        ALOG(s->sh->log, APPL_LOG_WARNING, "authentication failed for user '%.64s' from %s%s", user,
             appl_addr_text(s->peer).c_str(), had_attr ? "" : " (no attribute was requested first)");
        return MI_STS_EAUTH;
    }
    auto login = std::make_shared<appl_login>();
    login->session = s->id;
    login->peer = s->peer;
    login->user = found->name;
    login->shares = found->shares;
    s->authed = true;
    s->user = found->name;
    s->login = login;
    appl_auth_login_add(&s->sh->auth, login);
    ALOG(s->sh->log, APPL_LOG_INFO, "user '%s' authenticated from %s", s->user.c_str(),
         appl_addr_text(s->peer).c_str());
    return MI_STS_EOK;
}

int32_t do_open(mi_session *s, mi_open_file_req *req, mi_open_file_reply *rep)
{
    if (req->name == nullptr)
        return KES_EINVAL;
    int mode = req->mode;
    if ((mode & ~(MI_MODE_READ | MI_MODE_WRITE | MI_MODE_EXCL | MI_MODE_CREATE)) != 0 ||
        (mode & (MI_MODE_READ | MI_MODE_WRITE)) == 0 || ((mode & MI_MODE_CREATE) != 0 && (mode & MI_MODE_WRITE) == 0))
        return KES_EINVAL;
    store_name sn;
    if (store_parse_name(req->name, strlen(req->name), &sn) != 0 || sn.has_handle) {
        ALOG(s->sh->log, APPL_LOG_WARNING, "open refused: bad file name '%.300s'", req->name);
        return KES_EINVAL;
    }
    if (!appl_share_allowed(*s->login, sn.rel)) {
        ALOG(s->sh->log, APPL_LOG_WARNING, "open of %s refused: user '%s' may not use that share", sn.rel.c_str(),
             s->user.c_str());
        return MI_STS_EACCESS;
    }
    unsigned smode = 0;
    if (mode & MI_MODE_READ)
        smode |= STORE_READ;
    if (mode & MI_MODE_WRITE)
        smode |= STORE_WRITE;
    if (mode & MI_MODE_CREATE)
        smode |= STORE_CREATE;
    if (mode & MI_MODE_EXCL)
        smode |= STORE_EXCL;
    std::shared_ptr<store_file> f;
    int rc = store_file_open(s->sh->st, sn.rel, smode, &f);
    if (rc != 0) {
        ALOG(s->sh->log, rc == KES_EEXIST || rc == KES_ENOENT ? APPL_LOG_INFO : APPL_LOG_WARNING,
             "open of %s (mode %d) failed: %s", sn.rel.c_str(), mode, util_strerror(rc));
        return rc;
    }
    auto h = appl_handle_add(s->sh, s->id, s->user, mode, std::move(f));
    rep->handle = h->id;
    rep->flags = int32_t(s->sh->cfg.file_flags);
    ALOG(s->sh->log, APPL_LOG_INFO, "%s opened %s (mode %d) as handle %llu", s->user.c_str(), sn.rel.c_str(), mode,
         (unsigned long long)h->id);
    return MI_STS_EOK;
}

int32_t do_close(mi_session *s, uint64_t handle)
{
    auto h = appl_handle_take(s->sh, handle, s->id);
    if (h == nullptr)
        return MI_STS_ENOENT;
    const std::string &rel = store_file_rel(h->file.get());
    if ((h->mi_mode & MI_MODE_WRITE) == 0) {
        ALOG(s->sh->log, APPL_LOG_INFO, "closed %s (handle %llu)", rel.c_str(), (unsigned long long)handle);
        return MI_STS_EOK;
    }
    // A file becomes a backup only when all of its data arrived: otherwise
    // the close fails and what arrived is removed, blobs included.
    const char *why = nullptr;
    std::vector<store_seg> segs;
    int failure = appl_handle_incomplete(s->sh, h.get(), &segs, &why);
    if (failure != 0) {
        store_file_abandon(h->file.get());
        release_holds(s->sh, h.get());
        ALOG(s->sh->log, APPL_LOG_WARNING, "close of %s (handle %llu) refused: %s (%s); the incomplete file was removed",
             rel.c_str(), (unsigned long long)handle, why, util_strerror(failure));
        return failure == KES_ENOSPC ? MI_STS_ENOSPC : MI_STS_EABORT;
    }
    // Data from the BFST service is not copied: the file becomes the list of
    // the pieces of blobs it is made of.
    const char *bad = nullptr;
    int rc = segs.empty() ? store_file_commit(h->file.get()) : store_file_commit_segments(h->file.get(), segs, &bad);
    if (rc != 0) {
        store_file_abandon(h->file.get());
        release_holds(s->sh, h.get());
        ALOG(s->sh->log, APPL_LOG_ERROR, "close of %s (handle %llu) failed: %s%s%s; the file was removed", rel.c_str(),
             (unsigned long long)handle, util_strerror(rc), bad != nullptr ? ": " : "", bad != nullptr ? bad : "");
        return rc == KES_ENOSPC ? MI_STS_ENOSPC : MI_STS_EABORT;
    }
    uint64_t bytes = 0, stored = 0;
    for (const store_seg &sg : segs) {
        // The complete file owns its blobs now.
        std::lock_guard<std::mutex> lk(h->mu);
        blob_info bi;
        if (h->held_tags.count(sg.tag) != 0 && blob_find(s->sh->blobs, sg.tag, &bi) == 0)
            stored += bi.stored;
        if (h->held_tags.erase(sg.tag) != 0 && blob_adopt(s->sh->blobs, sg.tag, h->id) != 0)
            ALOG(s->sh->log, APPL_LOG_ERROR, "blob %s of %s was not held when its file took it", sg.tag.c_str(),
                 rel.c_str());
        bytes += sg.length;
    }
    release_holds(s->sh, h.get());
    if (segs.empty())
        ALOG(s->sh->log, APPL_LOG_INFO, "closed %s (handle %llu)", rel.c_str(), (unsigned long long)handle);
    else
        ALOG(s->sh->log, APPL_LOG_INFO,
             "closed %s (handle %llu): %llu bytes in %zu blobs, %llu bytes stored for it; the appliance holds %llu "
             "bytes",
             rel.c_str(), (unsigned long long)handle, (unsigned long long)bytes, segs.size(),
             (unsigned long long)stored, (unsigned long long)store_used_bytes(s->sh->st));
    return MI_STS_EOK;
}

// The session's own handle, or null.
std::shared_ptr<appl_handle> own_handle(mi_session *s, uint64_t id)
{
    auto h = appl_handle_find(s->sh, id);
    if (h == nullptr || h->owner != s->id)
        return nullptr;
    return h;
}

// Tag text as the library sends it: hexadecimal, two digits per byte.
bool tag_ok(const char *tag)
{
    if (tag == nullptr)
        return false;
    size_t n = strnlen(tag, APPL_MAX_TAG_TEXT + 1);
    if (n == 0 || n > APPL_MAX_TAG_TEXT || n % 2 != 0)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (!isxdigit(static_cast<unsigned char>(tag[i])))
            return false;
    }
    return true;
}

// The tag as files and the blob store keep it: lower case.
std::string tag_key(const char *tag)
{
    std::string t = tag;
    for (char &c : t)
        c = char(tolower(static_cast<unsigned char>(c)));
    return t;
}

// A writable handle of this session, for the messages of the BFST path.
int32_t bfst_handle(mi_session *s, uint64_t id, std::shared_ptr<appl_handle> *out)
{
    *out = own_handle(s, id);
    if (*out == nullptr)
        return MI_STS_ENOENT;
    if (((*out)->mi_mode & MI_MODE_WRITE) == 0)
        return MI_STS_EINVAL;
    return MI_STS_EOK;
}

int32_t do_set_extent(mi_session *s, uint32_t number, mi_set_extent_req *req)
{
    std::shared_ptr<appl_handle> h;
    int32_t st = bfst_handle(s, req->handle, &h);
    if (st != MI_STS_EOK)
        return st;
    if (!tag_ok(req->tag) || req->length > UINT64_MAX - req->image_offset ||
        req->length > UINT64_MAX - req->tag_offset)
        return MI_STS_EINVAL;
    appl_extent e;
    e.image_off = req->image_offset;
    e.length = req->length;
    e.tag_off = req->tag_offset;
    e.tag = tag_key(req->tag);
    e.form = number;
    e.link[0] = req->virtual_sent;
    e.link[1] = req->virtual_received;
    e.link[2] = req->actual_sent;
    e.link[3] = req->actual_received;
    e.store_time_ms = req->store_time_ms;
    if (number != MI_BFST_SET_EXTENT) {
        e.op[0] = req->bytes_input;
        e.op[1] = req->unique_precompressed;
        e.op[2] = req->unique_compressed;
    }
    if (number == MI_BFST_SET_EXTENT_ACCEL) {
        e.ingest_data_bytes = req->ingest_data_bytes;
        e.ingest_unique_bytes = req->ingest_unique_bytes;
        e.close_latency_ms = req->close_latency_ms;
    }
    {
        std::lock_guard<std::mutex> lk(h->mu);
        // Only a blob this file holds can become part of it.
        if (h->held_tags.find(e.tag) == h->held_tags.end()) {
            ALOG(s->sh->log, APPL_LOG_WARNING, "extent refused for %s: tag %.64s is not held by the file",
                 store_file_rel(h->file.get()).c_str(), e.tag.c_str());
            return MI_STS_EINVAL;
        }
        if (h->extents.size() >= APPL_MAX_EXTENTS)
            return MI_STS_ENOSPC;
        h->extents.push_back(e);
    }
    ALOG(s->sh->log, APPL_LOG_INFO,
         "%s: extent at %llu, %llu bytes of blob %.64s from %llu (%s; sent %llu/%llu actual/virtual bytes, "
         "input %llu, unique %llu/%llu, ingest %llu, close latency %llu ms)",
         store_file_rel(h->file.get()).c_str(), (unsigned long long)e.image_off, (unsigned long long)e.length,
         e.tag.c_str(), (unsigned long long)e.tag_off, mi_msg_name(number), (unsigned long long)e.link[2],
         (unsigned long long)e.link[0], (unsigned long long)e.op[0], (unsigned long long)e.op[1],
         (unsigned long long)e.op[2], (unsigned long long)e.ingest_data_bytes,
         (unsigned long long)e.close_latency_ms);
    return MI_STS_EOK;
}

int32_t do_tag(mi_session *s, uint32_t number, mi_tag_req *req)
{
    std::shared_ptr<appl_handle> h;
    int32_t st = bfst_handle(s, req->handle, &h);
    if (st != MI_STS_EOK)
        return st;
    if (!tag_ok(req->tag))
        return MI_STS_EINVAL;
    const std::string tag = tag_key(req->tag);
    const bool hold = number == MI_BFST_HOLD_TAG;
    bool edge = false;  // the handle's first hold, or its last drop
    {
        std::lock_guard<std::mutex> lk(h->mu);
        auto it = h->held_tags.find(tag);
        if (hold && it == h->held_tags.end() && h->held_tags.size() >= APPL_MAX_HELD_TAGS)
            return MI_STS_ENOSPC;
        if (!hold && it == h->held_tags.end())
            return MI_STS_ENOENT;
        edge = hold ? it == h->held_tags.end() : it->second == 1;
    }
    // Only this session sends tag messages for the handle, so the check above
    // still holds once the hook has answered.
    if (edge && s->sh->tag_hook != nullptr) {
        st = s->sh->tag_hook(s->sh->tag_hook_ctx, h.get(), tag, hold);
        if (st != MI_STS_EOK)
            ALOG(s->sh->log, APPL_LOG_WARNING, "%s of tag %.64s for %s refused: status 0x%x",
                 hold ? "hold" : "drop", tag.c_str(), store_file_rel(h->file.get()).c_str(), (unsigned)st);
        if (st != MI_STS_EOK && hold)
            return st;
    }
    {
        std::lock_guard<std::mutex> lk(h->mu);
        if (hold) {
            h->held_tags[tag]++;
        } else {
            auto it = h->held_tags.find(tag);
            if (it != h->held_tags.end() && --it->second == 0)
                h->held_tags.erase(it);
        }
    }
    if (st != MI_STS_EOK)
        return st;  // a drop the blob store did not know: the file lets go all the same
    ALOG(s->sh->log, APPL_LOG_DEBUG, "%s: %s tag %.64s", store_file_rel(h->file.get()).c_str(),
         hold ? "hold" : "drop", tag.c_str());
    return MI_STS_EOK;
}

// Grants one step of space when the quota has it beside what the other open
// files were granted; a file's new grant replaces its old one, which its
// writes have used up by the time it asks again.
int32_t do_check_space(mi_session *s, uint64_t id)
{
    std::shared_ptr<appl_handle> h;
    int32_t st = bfst_handle(s, id, &h);
    if (st != MI_STS_EOK)
        return st;
    store *stor = s->sh->st;
    const uint64_t quota = store_quota(stor);
    if (quota == 0)
        return MI_STS_EOK;
    std::lock_guard<std::mutex> sg(s->sh->space_mu);
    uint64_t others = 0;
    {
        std::lock_guard<std::mutex> lk(s->sh->hmu);
        for (const auto &kv : s->sh->handles) {
            if (kv.second.get() != h.get())
                others += kv.second->space_granted;
        }
    }
    const uint64_t used = store_used_bytes(stor);
    const uint64_t committed = used + others;
    if (committed < used || committed > quota || quota - committed < APPL_SPACE_STEP) {
        ALOG(s->sh->log, APPL_LOG_WARNING,
             "space check for %s refused: %llu bytes used, %llu granted to other files, quota %llu",
             store_file_rel(h->file.get()).c_str(), (unsigned long long)used, (unsigned long long)others,
             (unsigned long long)quota);
        return MI_STS_ENOSPC;
    }
    h->space_granted = APPL_SPACE_STEP;
    ALOG(s->sh->log, APPL_LOG_DEBUG, "space check for %s: %llu bytes granted", store_file_rel(h->file.get()).c_str(),
         (unsigned long long)APPL_SPACE_STEP);
    return MI_STS_EOK;
}

int32_t do_get_extent(mi_session *s, mi_get_extent_req *req, mi_get_extent_reply *rep)
{
    auto h = own_handle(s, req->handle);
    if (h == nullptr)
        return MI_STS_ENOENT;
    std::lock_guard<std::mutex> lk(h->mu);
    for (const appl_extent &e : h->extents) {
        if (req->image_offset >= e.image_off && req->image_offset - e.image_off < e.length) {
            uint64_t into = req->image_offset - e.image_off;
            rep->tag = strdup(e.tag.c_str());
            if (rep->tag == nullptr)
                return MI_STS_EINTERNAL;
            rep->blob_offset = e.tag_off + into;
            rep->length = e.length - into;
            return MI_STS_EOK;
        }
    }
    return MI_STS_ENOENT;
}

int32_t do_admin_alert(mi_session *s, mi_admin_alert_req *req)
{
    auto h = own_handle(s, req->handle);
    if (h == nullptr)
        return MI_STS_ENOENT;
    // The text goes into the log: printable characters only.
    char text[401];
    size_t n = 0;
    for (const char *p = req->text != nullptr ? req->text : ""; *p != '\0' && n + 1 < sizeof text; ++p)
        text[n++] = (*p >= 0x20 && *p < 0x7F) ? *p : '?';
    text[n] = '\0';
    uint64_t count;
    {
        std::lock_guard<std::mutex> lk(h->mu);
        count = ++h->alerts;
    }
    s->sh->admin_alerts.fetch_add(1);
    const bool refused = s->sh->cfg.refuse_admin_alerts;
    ALOG(s->sh->log, APPL_LOG_WARNING,
         "admin alert %llu for %s from %s (pid %llu): call took %llu s, kind %llu: %s%s", (unsigned long long)count,
         store_file_rel(h->file.get()).c_str(), s->user.c_str(), (unsigned long long)req->pid,
         (unsigned long long)req->seconds, (unsigned long long)req->kind, text,
         refused ? " (alerts are switched off)" : "");
    return refused ? MI_STS_EADMINALERTDISABLED : MI_STS_EOK;
}

// A string of a request that holds a NUL byte would be cut short where it is
// used (a name "a\0b" would open "a"); such a request is refused instead.
// Its decoded record does not re-encode to the bytes it came from (nor does
// one with padding bytes that are not zero, which XDR does not allow).
bool has_cut_string(const unsigned char *in, const mi_header &hdr, void *rec)
{
    const mi_msg_def *row = mi_msg_lookup(hdr.number);
    if (row == nullptr || row->request == nullptr)
        return false;
    mi_xdr dx;
    mi_xdr_create(&dx, const_cast<unsigned char *>(in), APPL_MI_PAYLOAD, MI_XDR_DECODE);
    mi_header dh{};
    mi_record again;
    memset(&again, 0, sizeof again);
    bool ok = xdr_mi_header(&dx, &dh) && row->request(&dx, &again);
    size_t consumed = mi_xdr_getpos(&dx);
    mi_free_request(hdr.number, &again);
    OPENSSL_cleanse(&again, sizeof again);  // a login's digest
    if (!ok)
        return true;
    unsigned char buf[APPL_MI_PAYLOAD];
    mi_xdr ex;
    mi_xdr_create(&ex, buf, sizeof buf, MI_XDR_ENCODE);
    mi_header eh = hdr;
    ok = xdr_mi_header(&ex, &eh) && row->request(&ex, rec);
    bool cut = !ok || mi_xdr_getpos(&ex) != consumed || memcmp(buf, in, consumed) != 0;
    OPENSSL_cleanse(buf, sizeof buf);
    return cut;
}

// A reply that is only a header and a status, for numbers without a reply
// record of their own here.
void status_only_reply(uint32_t number, int32_t status, unsigned char *payload)
{
    memset(payload, 0, APPL_MI_PAYLOAD);
    mi_xdr x;
    mi_xdr_create(&x, payload, APPL_MI_PAYLOAD, MI_XDR_ENCODE);
    mi_header h{};
    h.time = int64_t(int32_t(time(nullptr)));
    h.kind = MI_KIND_REPLY;
    h.number = number;
    xdr_mi_header(&x, &h);
    mi_xdr_int(&x, &status);
}

}  // namespace

int mi_session_handle(mi_session *s, const unsigned char *req, size_t len, unsigned char rsp[APPL_MI_RECORD])
{
    if (req == nullptr || len != APPL_MI_RECORD || req[0] != OST_MI_REC_REQUEST)
        return -1;
    memset(rsp, 0, APPL_MI_RECORD);
    rsp[0] = OST_MI_REC_RESPONSE;
    unsigned char *payload = rsp + OST_MI_REC_HEAD_SIZE;
    const unsigned char *in = req + OST_MI_REC_HEAD_SIZE;

    mi_header hdr{};
    mi_record rec;
    int rc = mi_decode_request(in, APPL_MI_PAYLOAD, &hdr, &rec, sizeof rec);
    if (rc != 0) {
        // Answer under the number the request carries, whatever it is.
        uint32_t number = be_get32(in + MIS_NUMBER_OFFSET);
        const mi_msg_def *row = mi_msg_lookup(number);
        int32_t sts = row == nullptr ? MI_STS_ENOTSUP : (rc == KES_EBADMSG ? MI_STS_EPROTO : MI_STS_EINVAL);
        ALOG(s->sh->log, APPL_LOG_WARNING, "control request 0x%08x (%s) refused: %s", number, mi_msg_name(number),
             row == nullptr ? "not served" : "does not decode");
        status_only_reply(number, sts, payload);
        be_put16(rsp + 2, uint16_t(row == nullptr ? KES_ENOSYS : KES_EBADMSG));
        return 0;
    }
    uint32_t number = hdr.number;
    s->reply_delay_ms = 0;
    if (has_cut_string(in, hdr, &rec)) {
        ALOG(s->sh->log, APPL_LOG_WARNING, "control request %s refused: a text in it holds a NUL byte",
             mi_msg_name(number));
        mi_free_request(number, &rec);
        status_only_reply(number, KES_EINVAL, payload);
        return 0;
    }
    ALOG(s->sh->log, APPL_LOG_DEBUG, "control request %s", mi_msg_name(number));
    mi_record out;
    memset(&out, 0, sizeof out);
    int32_t status = MI_STS_EOK;
    bool served = true;
    bool drop = false;
    bool open_ok = number == MI_GET_VERSION || number == MI_CONFIG_GET_AUTH_ATTR || number == MI_AUTHENTICATE_CLIENT;
    if (!s->authed && !open_ok) {
        status = MI_STS_EAUTH;
        ALOG(s->sh->log, APPL_LOG_WARNING, "%s refused: not authenticated", mi_msg_name(number));
    } else {
        switch (number) {
        case MI_GET_VERSION:
            out.get_version_reply.version = int32_t(s->sh->cfg.version);
            break;
        case MI_CONFIG_GET_AUTH_ATTR:
            if (rec.config_get_auth_attr_req.value != MI_AUTH_ATTR_ASK) {
                status = MI_STS_EINVAL;
                out.config_get_auth_attr_reply.attr.present = MI_AUTH_ATTR_NONE;
                break;
            }
            if (appl_random(s->attr, sizeof s->attr) != 0) {
                status = MI_STS_EINTERNAL;
                break;
            }
            s->have_attr = true;
            out.config_get_auth_attr_reply.attr.present = MI_AUTH_ATTR_PRESENT;
            memcpy(out.config_get_auth_attr_reply.attr.attr, s->attr, sizeof s->attr);
            break;
        case MI_AUTHENTICATE_CLIENT:
            status = do_authenticate(s, &rec.authenticate_client_req);
            drop = s->auth_failures >= MIS_MAX_AUTH_FAILURES;
            break;
        case MI_DM_PORT:
            // The next data-mover connection from this address acts for this login.
            appl_auth_dm_claim(&s->sh->auth, s->login, appl_now_ms());
            out.dm_port_reply.port = s->sh->dm_port;
            break;
        case MI_OPEN_FILE:
            status = do_open(s, &rec.open_file_req, &out.open_file_reply);
            break;
        case MI_CLOSE_FILE:
            status = do_close(s, rec.close_file_req.handle);
            break;
        case MI_CHECK_SPACE:
            status = do_check_space(s, rec.check_space_req.handle);
            break;
        case MI_ADMIN_ALERT:
            status = do_admin_alert(s, &rec.admin_alert_req);
            break;
        case MI_BFST_SET_EXTENT:
        case MI_BFST_SET_EXTENT_STATS:
        case MI_BFST_SET_EXTENT_ACCEL:
            status = do_set_extent(s, number, &rec.set_extent_req);
            break;
        case MI_BFST_HOLD_TAG:
        case MI_BFST_DROP_TAG:
            status = do_tag(s, number, &rec.tag_req);
            break;
        case MI_BFST_GET_EXTENT:
            status = do_get_extent(s, &rec.get_extent_req, &out.get_extent_reply);
            break;
        default:
            served = false;
            status = MI_STS_ENOTSUP;
            break;
        }
    }
    mi_free_request(number, &rec);
    OPENSSL_cleanse(&rec, sizeof rec);  // a login's digest
    if (drop) {
        ALOG(s->sh->log, APPL_LOG_WARNING, "too many failed logins, dropping the connection");
        return -1;
    }
    rc = -1;
    if (served) {
        // The status is the first field of every reply record served here.
        out.status_reply.status = status;
        if (number == MI_CONFIG_GET_AUTH_ATTR && status != MI_STS_EOK)
            out.config_get_auth_attr_reply.attr.present = MI_AUTH_ATTR_NONE;
        if (number == MI_BFST_GET_EXTENT && out.get_extent_reply.tag == nullptr)
            out.get_extent_reply.tag = strdup("");  // a string always travels
        rc = mi_encode_reply(number, &out, payload, APPL_MI_PAYLOAD);
    }
    if (number == MI_BFST_GET_EXTENT)
        mi_free_reply(number, &out);
    OPENSSL_cleanse(&out, sizeof out);
    if (rc != 0)
        status_only_reply(number, served ? MI_STS_EINTERNAL : status, payload);
    if (s->sh->cfg.wrong_msgno != 0 && s->sh->cfg.wrong_msgno == number)
        be_put32(payload + MIS_NUMBER_OFFSET, number + 1);
    return 0;
}
