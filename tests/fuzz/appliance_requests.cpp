// Fuzz target: the appliance's control and data-mover request handlers. The
// input is a series of requests, each a kind byte, a 16-bit length and the
// bytes. Control requests run on an authenticated session; data-mover
// requests on a session tied to its login that has a writable file open as
// handle 1, slot 0, or (kind bit 2) on a session tied to no login at all.
// Kinds 0xB0..0xBF build well-formed requests of the BFST path from the bytes,
// for a file the control session opened itself (or for another session's).
// Kinds 0xC0..0xCF hold, drop and record extents of two real blobs for that
// file and close it: a close that succeeds must have made a file that reads
// back as its extents say.
#include "bfst/bfst_proto.h"
#include "datamover/byteorder.h"
#include "datamover/md5.h"
#include "lib/common/mi_comm.h"
#include "tests/fuzz/fuzz_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct fuzz_env {
    std::string root;
    appl_shared sh;
    mi_session *owner = nullptr;  // keeps the writable file open
    uint64_t handle = 0;
};

int mi_exchange(mi_session *s, uint32_t number, void *req, void *reply)
{
    unsigned char rec[APPL_MI_RECORD] = {};
    rec[0] = 1;
    if (mi_encode_request(number, req, rec + 12, APPL_MI_PAYLOAD) != 0)
        return -1;
    unsigned char rsp[APPL_MI_RECORD];
    if (mi_session_handle(s, rec, sizeof rec, rsp) != 0)
        return -1;
    return mi_decode_reply(number, rsp + 12, APPL_MI_PAYLOAD, reply);
}

void login(mi_session *s)
{
    mi_config_get_auth_attr_req areq{1};
    mi_config_get_auth_attr_reply arep{};
    if (mi_exchange(s, MI_CONFIG_GET_AUTH_ATTR, &areq, &arep) != 0)
        abort();
    unsigned char block[128] = {};
    memcpy(block, "pw", 2);
    memcpy(block + 32, arep.attr.attr, 64);
    mi_authenticate_client_req req{};
    req.kind = MI_CRED_KIND_DIGEST;
    req.cred.digest.user = const_cast<char *>("fuzz");
    md5_digest(block, sizeof block, req.cred.digest.digest);
    mi_status_reply rep{};
    if (mi_exchange(s, MI_AUTHENTICATE_CLIENT, &req, &rep) != 0 || rep.status != 0)
        abort();
}

fuzz_env *env()
{
    static fuzz_env *e = [] {
        auto *f = new fuzz_env;
        fuzz_open_store(&f->sh, 64 << 20);
        f->root = f->sh.cfg.root;
        f->sh.cfg.users = {{"fuzz", "pw"}};
        f->sh.tag_hook = appl_blob_tag_hook;
        f->sh.tag_hook_ctx = f->sh.blobs;
        f->owner = mi_session_new(&f->sh, 0x7F000001);
        login(f->owner);
        mi_open_file_req oreq{MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_READ, const_cast<char *>("generic:/fz/f")};
        mi_open_file_reply orep{};
        if (mi_exchange(f->owner, MI_OPEN_FILE, &oreq, &orep) != 0 || orep.status != 0)
            abort();
        f->handle = orep.handle;
        return f;
    }();
    return e;
}

// Next 64-bit value of the input, or 0 when it is used up.
uint64_t take64(const uint8_t *&p, size_t &n)
{
    uint64_t v = 0;
    for (int i = 0; i < 8 && n > 0; ++i, ++p, --n)
        v = (v << 8) | *p;
    return v;
}

// A well-formed request of the BFST path (space check, hold, drop, the three
// set-extent forms, admin alert) whose fields come from the input, for the
// session's own file or, when asked, for another session's.
void bfst_request(mi_session *s, uint64_t own, uint64_t other, const uint8_t *p, size_t n)
{
    if (n < 2)
        return;
    static const uint32_t numbers[] = {MI_CHECK_SPACE,     MI_BFST_HOLD_TAG,         MI_BFST_DROP_TAG,
                                       MI_BFST_SET_EXTENT, MI_BFST_SET_EXTENT_STATS, MI_BFST_SET_EXTENT_ACCEL,
                                       MI_ADMIN_ALERT};
    uint32_t number = numbers[p[0] % (sizeof numbers / sizeof numbers[0])];
    uint64_t handle = (p[1] & 0x80) ? other : own;
    bool hex = (p[1] & 0x40) != 0;
    p += 2;
    n -= 2;
    // Tags from a small alphabet, so holds, drops and extents meet each other.
    std::string tag;
    size_t tlen = n > 0 ? (*p++ % 24) : 0;
    n = n > 0 ? n - 1 : 0;
    for (size_t i = 0; i < tlen && n > 0; ++i, ++p, --n)
        tag += hex ? "0123456789abcdef"[*p & 3] : char(*p);
    mi_record req;
    memset(&req, 0, sizeof req);
    if (number == MI_CHECK_SPACE) {
        req.check_space_req.handle = handle;
    } else if (number == MI_BFST_HOLD_TAG || number == MI_BFST_DROP_TAG) {
        req.tag_req = {handle, tag.data()};
    } else if (number == MI_ADMIN_ALERT) {
        req.admin_alert_req = {handle, take64(p, n), take64(p, n), tag.data(), take64(p, n)};
    } else {
        mi_set_extent_req &x = req.set_extent_req;
        x.handle = handle;
        x.tag = tag.data();
        uint64_t *fields[] = {&x.image_offset,         &x.tag_offset,       &x.length,
                              &x.virtual_sent,         &x.actual_sent,      &x.bytes_input,
                              &x.ingest_data_bytes,    &x.close_latency_ms};
        for (uint64_t *f : fields)
            *f = take64(p, n);
    }
    mi_record rep;
    memset(&rep, 0, sizeof rep);
    mi_exchange(s, number, &req, &rep);
    mi_free_reply(number, &rep);
}

// Two blobs as the BFST service stores them, and what a file made of them
// should read.
struct blob_pair {
    std::string tag[2];
    std::string bytes[2];
    std::vector<std::pair<uint64_t, std::string>> extents;  // file offset, bytes
    bool closed = false;
};

void make_blobs(blob_store *bs, blob_pair *b)
{
    for (int i = 0; i < 2; ++i) {
        b->bytes[i].resize(i == 0 ? 3000 : 300000);
        for (size_t k = 0; k < b->bytes[i].size(); ++k)
            b->bytes[i][k] = char(k * (i + 3) + 1);
        blob_writer *w = nullptr;
        if (blob_create(bs, 1, &w) != 0 || blob_append(w, b->bytes[i].data(), b->bytes[i].size()) != 0)
            abort();
        char hex[BLOB_TAG_TEXT + 1];
        bfst_hex(blob_writer_tag(w), BLOB_TAG_BYTES, hex);
        b->tag[i] = hex;
        if (blob_finish(w) != 0)
            abort();
    }
}

// Hold, drop, extent or close for the session's own file, with real tags.
void blob_request(fuzz_env *e, mi_session *s, uint64_t own, const std::string &name, blob_pair *b, const uint8_t *p,
                  size_t n)
{
    if (n < 1 || b->closed)
        return;
    const int op = p[0] % 4, which = (p[0] >> 2) & 1;
    const bool follow = (p[0] & 8) != 0;  // an extent that continues the file
    ++p;
    --n;
    mi_record req, rep;
    memset(&req, 0, sizeof req);
    memset(&rep, 0, sizeof rep);
    std::string tag = b->tag[which];
    if (op == 0 || op == 1) {
        req.tag_req = {own, tag.data()};
        mi_exchange(s, op == 0 ? MI_BFST_HOLD_TAG : MI_BFST_DROP_TAG, &req, &rep);
        return;
    }
    if (op == 2) {
        // offsets near the blobs' sizes, so the close sees both good and bad ones
        mi_set_extent_req &x = req.set_extent_req;
        x.handle = own;
        x.tag = tag.data();
        x.image_offset = take64(p, n) % 400000;
        x.tag_offset = take64(p, n) % 300100;
        x.length = take64(p, n) % 300100;
        if (follow) {
            x.image_offset = 0;
            for (const auto &e : b->extents)
                x.image_offset = std::max<uint64_t>(x.image_offset, e.first + e.second.size());
            x.tag_offset %= b->bytes[which].size();
            x.length = std::min<uint64_t>(x.length + 1, b->bytes[which].size() - x.tag_offset);
        }
        if (mi_exchange(s, MI_BFST_SET_EXTENT_ACCEL, &req, &rep) == 0 && rep.status_reply.status == 0 &&
            x.length != 0 && x.tag_offset < b->bytes[which].size())
            b->extents.emplace_back(x.image_offset, b->bytes[which].substr(x.tag_offset, x.length));
        return;
    }
    req.close_file_req.handle = own;
    if (mi_exchange(s, MI_CLOSE_FILE, &req, &rep) != 0 || rep.status_reply.status != 0)
        return;
    b->closed = true;
    if (b->extents.empty())
        return;
    // What was accepted reads back as its extents, in file order.
    std::sort(b->extents.begin(), b->extents.end());
    std::string want;
    for (const auto &x : b->extents) {
        if (x.first != want.size())
            abort();
        want += x.second;
    }
    std::shared_ptr<store_file> f;
    if (store_file_open(e->sh.st, name, STORE_READ, &f) != 0 || store_file_size(f.get()) != want.size())
        abort();
    std::string got(want.size(), '\0');
    size_t n_got = 0;
    if (store_file_pread(f.get(), got.data(), got.size(), 0, &n_got) != 0 || n_got != want.size() || got != want)
        abort();
    uint64_t sums[4];
    store_file_sums(f.get(), 0, sums, 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_env *e = env();
    mi_session *mi = mi_session_new(&e->sh, 0x7F000001);
    login(mi);
    // A file of this session's own, for the requests of the BFST path.
    static unsigned iteration = 0;
    std::string own_name = "generic:/fz/b" + std::to_string(++iteration);
    mi_open_file_req breq{MI_OPEN_WRITE | MI_OPEN_CREATE, own_name.data()};
    mi_open_file_reply brep{};
    if (mi_exchange(mi, MI_OPEN_FILE, &breq, &brep) != 0 || brep.status != 0)
        abort();
    const uint64_t own = brep.handle;
    const std::string own_rel = own_name.substr(strlen("generic:/"));
    blob_pair blobs;  // made when first asked for: finishing a blob is slow
    dm_session *dm = dm_session_new(&e->sh, mi_session_login(mi));
    dm_session *anon = dm_session_new(&e->sh, nullptr);
    {
        // handle 1, slot 0: the shared writable file
        std::string name = "generic:" + std::to_string(e->handle) + ":/fz/f";
        std::vector<unsigned char> req(48 + name.size() + 1, 0);
        req[0] = 1;
        be_put32(req.data() + 40, 0x1 | 0x2);
        memcpy(req.data() + 48, name.c_str(), name.size() + 1);
        dm_reply out;
        if (dm_session_handle(dm, req.data(), req.size(), nullptr, 0, nullptr, 0, &out) != 0 ||
            be_get16(out.head + 2) != 0)
            abort();
    }
    std::vector<unsigned char> rbuf(dm_session_max_io(dm));
    size_t pos = 0;
    while (pos + 3 <= size) {
        uint8_t kind = data[pos];
        size_t len = be_get16(data + pos + 1);
        pos += 3;
        len = std::min(len, size - pos);
        const uint8_t *p = data + pos;
        pos += len;
        if ((kind & 0xF0) == 0xB0) {
            bfst_request(mi, own, e->handle, p, len);
        } else if ((kind & 0xF0) == 0xC0) {
            if (blobs.tag[0].empty())
                make_blobs(e->sh.blobs, &blobs);
            blob_request(e, mi, own, own_rel, &blobs, p, len);
        } else if (kind & 1) {
            // a control record: the bytes as the payload, type byte as given or forced
            unsigned char rec[APPL_MI_RECORD] = {};
            size_t n = std::min(len, sizeof rec);
            memcpy(rec, p, n);
            if (kind & 2)
                rec[0] = 1;
            unsigned char rsp[APPL_MI_RECORD];
            size_t rlen = (kind & 4) ? n : sizeof rec;
            mi_session_handle(mi, rec, rlen, rsp);
        } else {
            // a data-mover request; with bit 1 the tail is the write data
            dm_reply out;
            dm_session *d = (kind & 4) ? anon : dm;
            if ((kind & 2) && len > 16) {
                dm_session_handle(d, p, 16, p + 16, len - 16, rbuf.data(), rbuf.size(), &out);
            } else {
                dm_session_handle(d, p, len, nullptr, 0, rbuf.data(), rbuf.size(), &out);
            }
            if (out.data_len != 0 && out.data == nullptr)
                abort();
            if (out.head_len > sizeof out.head)
                abort();
        }
    }
    dm_session_free(anon);
    dm_session_free(dm);
    mi_session_free(mi);
    // Nothing of this round stays: its file, and blobs no one holds.
    store_delete(e->sh.st, own_rel);
    blob_remove_unheld(e->sh.blobs, 1);
    return 0;
}
