// The appliance's control and data-mover request handlers, driven directly
// with encoded requests: authentication, file life cycle, data, attributes,
// failure switches and hostile input. Also the command line and user file.
#include "appliance/service.h"
#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/md5.h"
#include "datamover/util.h"
#include "kes_dm.h"
#include "kes_test.h"
#include "lib/common/mi_comm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sys/stat.h>

namespace {

using kes_test::be32;
using kes_test::dm_req_hdr;
using kes_test::dm_open_req;

constexpr int32_t STS_ENOTSUP = 0x21E00010;
constexpr int32_t STS_EAUTH = 0x21E0001D;
constexpr int32_t STS_ENOSPC = 0x21E0001F;
constexpr int32_t STS_ENOENT = 0x21E0000D;
constexpr int32_t STS_EABORT = 0x21E0000E;
constexpr int32_t STS_EADMINALERTDISABLED = 0x21E0003D;
constexpr int32_t STS_EACCESS = 0x21E00023;
constexpr uint32_t PEER = 0x7F000001;  // 127.0.0.1

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        sh_.cfg.root = dir_.path();
        sh_.cfg.users = {{"alice", "secret-password"}, {"bob", std::string(40, 'b')}};
        sh_.dm_port = 4321;
        reopen(0);
    }
    void TearDown() override
    {
        for (mi_session *s : mis_)
            mi_session_free(s);
        for (dm_session *d : dms_)
            dm_session_free(d);
        sh_.handles.clear();
        store_close(sh_.st);
    }
    void reopen(uint64_t quota)
    {
        if (sh_.st != nullptr)
            store_close(sh_.st);
        std::string err;
        ASSERT_EQ(store_open(dir_.path(), quota, &sh_.st, &err), 0) << err;
    }
    mi_session *mi(uint32_t peer = PEER)
    {
        mis_.push_back(mi_session_new(&sh_, peer));
        return mis_.back();
    }
    // A data-mover session as a connection gets it: tied to the session s,
    // which asks for the port first; without s, tied to no login at all.
    dm_session *dm(mi_session *s = nullptr)
    {
        std::shared_ptr<const appl_login> login;
        if (s != nullptr) {
            mi_dm_port_req preq{0};
            mi_dm_port_reply prep{};
            EXPECT_EQ(call(s, MI_DM_PORT, &preq, &prep), 0);
            EXPECT_EQ(prep.status, 0);
            login = appl_auth_dm_bind(&sh_.auth, mi_session_login(s)->peer, appl_now_ms());
            EXPECT_NE(login, nullptr);
        }
        dms_.push_back(dm_session_new(&sh_, login));
        return dms_.back();
    }

    // One control exchange; returns the decode result of the reply.
    int call(mi_session *s, uint32_t number, void *req, void *reply, uint32_t *reply_number = nullptr)
    {
        unsigned char rec[APPL_MI_RECORD] = {};
        rec[0] = 1;
        EXPECT_EQ(mi_encode_request(number, req, rec + 12, APPL_MI_PAYLOAD), 0);
        unsigned char rsp[APPL_MI_RECORD];
        EXPECT_EQ(mi_session_handle(s, rec, sizeof rec, rsp), 0);
        EXPECT_EQ(rsp[0], 2);
        mi_header h{};
        EXPECT_EQ(mi_decode_header(rsp + 12, APPL_MI_PAYLOAD, &h), 0);
        EXPECT_EQ(h.kind, MI_KIND_REPLY);
        if (reply_number != nullptr)
            *reply_number = h.number;
        return mi_decode_reply(number, rsp + 12, APPL_MI_PAYLOAD, reply);
    }

    int32_t login(mi_session *s, const char *user, const std::string &password)
    {
        mi_config_get_auth_attr_req areq{1};
        mi_config_get_auth_attr_reply arep{};
        EXPECT_EQ(call(s, MI_CONFIG_GET_AUTH_ATTR, &areq, &arep), 0);
        EXPECT_EQ(arep.status, 0);
        EXPECT_EQ(arep.attr.present, MI_AUTH_ATTR_PRESENT);
        unsigned char block[128] = {};
        memcpy(block, password.data(), std::min<size_t>(password.size(), 32));
        memcpy(block + 32, arep.attr.attr, 64);
        mi_authenticate_client_req req{};
        req.kind = MI_CRED_KIND_DIGEST;
        req.cred.digest.user = const_cast<char *>(user);
        md5_digest(block, sizeof block, req.cred.digest.digest);
        mi_status_reply rep{};
        EXPECT_EQ(call(s, MI_AUTHENTICATE_CLIENT, &req, &rep), 0);
        return rep.status;
    }

    int32_t open_file(mi_session *s, const std::string &name, int mode, uint64_t *handle)
    {
        mi_open_file_req req{mode, const_cast<char *>(name.c_str())};
        mi_open_file_reply rep{};
        EXPECT_EQ(call(s, MI_OPEN_FILE, &req, &rep), 0);
        *handle = rep.handle;
        return rep.status;
    }

    int32_t close_file(mi_session *s, uint64_t handle)
    {
        mi_close_file_req req{0, handle};
        mi_close_file_reply rep{};
        EXPECT_EQ(call(s, MI_CLOSE_FILE, &req, &rep), 0);
        return rep.status;
    }

    // ---- data mover ----
    struct dm_rsp {
        int rc;
        uint8_t cmd;
        uint16_t status, fh, slot;
        uint64_t off;
        std::string head;  // whole fixed part
        std::string data;
    };
    dm_rsp dm_call(dm_session *d, const std::string &req, const std::string &wdata = std::string())
    {
        std::vector<unsigned char> rbuf(dm_session_max_io(d));
        dm_reply out;
        dm_rsp r{};
        r.rc = dm_session_handle(d, reinterpret_cast<const unsigned char *>(req.data()), req.size(),
                                 wdata.empty() ? nullptr : reinterpret_cast<const unsigned char *>(wdata.data()),
                                 wdata.size(), rbuf.data(), rbuf.size(), &out);
        if (r.rc != 0)
            return r;
        r.head.assign(reinterpret_cast<char *>(out.head), out.head_len);
        r.cmd = out.head[0];
        r.status = be_get16(out.head + 2);
        r.fh = be_get16(out.head + 4);
        r.slot = be_get16(out.head + 6);
        r.off = be_get64(out.head + 8);
        if (out.data_len != 0)
            r.data.assign(reinterpret_cast<const char *>(out.data), out.data_len);
        return r;
    }
    static std::string handle_name(uint64_t h, const std::string &rel)
    {
        return "generic:" + std::to_string(h) + ":/" + rel;
    }
    // Creates rel through the control session and opens it for writing on
    // the data mover (slot 0); the data-mover handle.
    uint16_t open_writer(mi_session *s, dm_session *d, const std::string &rel, uint64_t *h)
    {
        EXPECT_EQ(open_file(s, "generic:/" + rel, MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, h), 0);
        dm_rsp op = dm_call(d, dm_open_req(0, 0x2, handle_name(*h, rel)));
        EXPECT_EQ(op.status, 0);
        return op.fh;
    }

    // An attribute request naming the file "generic:/<rel>": get (cmd 11,
    // room for 4096 bytes) or set (cmd 10) of value.
    static std::string by_name(uint8_t cmd, const std::string &rel, const std::string &attr,
                               const std::string &value = std::string())
    {
        return dm_req_hdr(cmd, 0, 0xFFFF, 0, 0) + be32(cmd == 10 ? uint32_t(value.size()) : 4096) + "generic:/" + rel +
               std::string(1, '\0') + attr + std::string(1, '\0') + value;
    }

    // A complete file rel with data and an 80-byte backup_info attribute,
    // written through session s.
    void piece(mi_session *s, const std::string &rel, const std::string &data)
    {
        uint64_t h = 0;
        ASSERT_EQ(open_file(s, "generic:/" + rel, MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
        dm_session *d = dm(s);
        dm_rsp op = dm_call(d, dm_open_req(0, 0x2, handle_name(h, rel)));
        ASSERT_EQ(op.status, 0);
        ASSERT_EQ(dm_call(d, dm_req_hdr(4, uint32_t(data.size()), op.fh, 0, 0), data).status, 0);
        ASSERT_EQ(dm_call(d, dm_req_hdr(10, 0, op.fh, 0, 0) + be32(80) + "backup_info" + std::string(1, '\0') +
                                 std::string(80, 'i'))
                      .status,
                  0);
        ASSERT_EQ(dm_call(d, dm_req_hdr(2, 0, op.fh, 0, 0)).status, 0);
        ASSERT_EQ(close_file(s, h), 0);
    }

    kes_test::TempDir dir_;
    appl_shared sh_;
    std::vector<mi_session *> mis_;
    std::vector<dm_session *> dms_;
};

}  // namespace

TEST_F(Service, VersionAndLoginWithRightAndWrongPasswords)
{
    mi_session *s = mi();
    mi_get_version_req vreq{const_cast<char *>("host"), 9, 11, 0x7000B};
    mi_get_version_reply vrep{};
    ASSERT_EQ(call(s, MI_GET_VERSION, &vreq, &vrep), 0);
    EXPECT_EQ(vrep.status, 0);
    EXPECT_EQ(vrep.version, 0x70000);
    mi_free_reply(MI_GET_VERSION, &vrep);

    EXPECT_EQ(login(s, "alice", "wrong"), STS_EAUTH);
    EXPECT_FALSE(mi_session_authenticated(s));
    EXPECT_EQ(login(s, "nobody", "secret-password"), STS_EAUTH);
    EXPECT_EQ(login(s, "alice", "secret-password"), 0);
    EXPECT_TRUE(mi_session_authenticated(s));
    // only the first 32 bytes of a password count
    mi_session *b = mi();
    EXPECT_EQ(login(b, "bob", std::string(32, 'b') + "different"), 0);
}

TEST_F(Service, AttributeIsFreshAndProvesOneAttemptOnly)
{
    mi_session *s = mi();
    mi_config_get_auth_attr_req areq{1};
    mi_config_get_auth_attr_reply a1{}, a2{};
    ASSERT_EQ(call(s, MI_CONFIG_GET_AUTH_ATTR, &areq, &a1), 0);
    ASSERT_EQ(call(s, MI_CONFIG_GET_AUTH_ATTR, &areq, &a2), 0);
    EXPECT_NE(memcmp(a1.attr.attr, a2.attr.attr, 64), 0);
    // a digest over the latest attribute, sent twice: the replay is refused
    unsigned char block[128] = {};
    memcpy(block, "secret-password", 15);
    memcpy(block + 32, a2.attr.attr, 64);
    mi_authenticate_client_req req{};
    req.kind = MI_CRED_KIND_DIGEST;
    req.cred.digest.user = const_cast<char *>("alice");
    md5_digest(block, sizeof block, req.cred.digest.digest);
    mi_status_reply rep{};
    ASSERT_EQ(call(s, MI_AUTHENTICATE_CLIENT, &req, &rep), 0);
    EXPECT_EQ(rep.status, 0);
    mi_session *t = mi();
    ASSERT_EQ(call(t, MI_AUTHENTICATE_CLIENT, &req, &rep), 0);  // no attribute asked on this connection
    EXPECT_EQ(rep.status, STS_EAUTH);
    // a text credential is never accepted
    mi_authenticate_client_req text{};
    text.kind = MI_CRED_KIND_TEXT;
    text.cred.text.text1 = const_cast<char *>("alice");
    text.cred.text.text2 = const_cast<char *>("secret-password");
    ASSERT_EQ(call(t, MI_AUTHENTICATE_CLIENT, &text, &rep), 0);
    EXPECT_EQ(rep.status, STS_EAUTH);
}

TEST_F(Service, EverythingButVersionAndLoginWaitsForAuthentication)
{
    mi_session *s = mi();
    mi_dm_port_req preq{0};
    mi_dm_port_reply prep{};
    ASSERT_EQ(call(s, MI_DM_PORT, &preq, &prep), 0);
    EXPECT_EQ(prep.status, STS_EAUTH);
    uint64_t h = 0;
    EXPECT_EQ(open_file(s, "generic:/sh/f", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), STS_EAUTH);
    struct stat sb;
    EXPECT_NE(stat((dir_ / "sh").c_str(), &sb), 0);
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    ASSERT_EQ(call(s, MI_DM_PORT, &preq, &prep), 0);
    EXPECT_EQ(prep.status, 0);
    EXPECT_EQ(prep.port, 4321);
}

TEST_F(Service, FileLifeCycleThroughControlAndDataMover)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    uint64_t h = 0;
    ASSERT_EQ(open_file(s, "generic:/sh/piece1", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
    ASSERT_NE(h, 0u);
    uint64_t h2 = 0;
    EXPECT_EQ(open_file(s, "generic:/sh/piece1", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h2), KES_EEXIST);
    EXPECT_EQ(open_file(s, "generic:/sh/piece1", MI_OPEN_READ, &h2), KES_ENOENT);  // not complete yet

    dm_session *d = dm(s);
    dm_rsp cfg = dm_call(d, dm_req_hdr(0, 0, 0, 0, 0) + std::string(16, '\0'));
    ASSERT_EQ(cfg.rc, 0);
    ASSERT_EQ(cfg.head.size(), 32u);
    EXPECT_EQ(cfg.status, 0);
    EXPECT_EQ(be_get32(reinterpret_cast<const unsigned char *>(cfg.head.data()) + 16), 1048576u);

    dm_rsp op = dm_call(d, dm_open_req(5, 0x2, handle_name(h, "sh/piece1"), 0x11223344));
    ASSERT_EQ(op.rc, 0);
    ASSERT_EQ(op.status, 0);
    ASSERT_EQ(op.head.size(), 48u);
    EXPECT_EQ(op.slot, 5);
    EXPECT_EQ(be_get32(reinterpret_cast<const unsigned char *>(op.head.data()) + 24), 0x11223344u);
    uint16_t fh = op.fh;

    // scattered writes, out of order, 3 MiB in 256 KiB pieces
    const size_t piece = 262144, n = 12;
    std::string image(piece * n, '\0');
    std::mt19937 rng(7);
    for (char &c : image)
        c = char(rng());
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i)
        order[i] = (i * 7) % n;
    for (size_t i : order) {
        std::string data = image.substr(i * piece, piece);
        dm_rsp w = dm_call(d, dm_req_hdr(4, uint32_t(piece), fh, 5, i * piece), data);
        ASSERT_EQ(w.rc, 0);
        ASSERT_EQ(w.status, 0);
        EXPECT_EQ(w.head.size(), 16u);
        EXPECT_EQ(w.off, i * piece);
        EXPECT_EQ(w.slot, 5);
    }
    unsigned char info[80];
    for (int i = 0; i < 80; ++i)
        info[i] = uint8_t(0xA0 + i);
    std::string set = dm_req_hdr(10, 0, fh, 5, 0) + be32(80) + "backup_info" + std::string(1, '\0') +
                      std::string(reinterpret_cast<char *>(info), 80);
    dm_rsp sx = dm_call(d, set);
    ASSERT_EQ(sx.status, 0);
    EXPECT_EQ(sx.head.size(), 20u);
    EXPECT_EQ(dm_call(d, dm_req_hdr(8, 0, fh, 5, 0)).status, 0);   // flush
    EXPECT_EQ(dm_call(d, dm_req_hdr(2, 0, fh, 5, 0)).status, 0);   // close
    EXPECT_EQ(dm_call(d, dm_req_hdr(2, 0, fh, 5, 0)).status, KES_EBADF);  // closed twice
    EXPECT_EQ(close_file(s, h), 0);
    EXPECT_EQ(close_file(s, h), STS_ENOENT);
    EXPECT_EQ(kes_test::read_file(dir_ / "sh/piece1"), image);

    // read it back through a read handle
    ASSERT_EQ(open_file(s, "generic:/sh/piece1", MI_OPEN_READ, &h2), 0);
    dm_rsp ro = dm_call(d, dm_open_req(0, 0x8, handle_name(h2, "sh/piece1")));
    ASSERT_EQ(ro.status, 0);
    EXPECT_EQ(be_get64(reinterpret_cast<const unsigned char *>(ro.head.data()) + 32), image.size());
    std::string back;
    for (uint64_t off = 0; off < image.size() + piece; off += piece) {
        dm_rsp r = dm_call(d, dm_req_hdr(3, uint32_t(piece), ro.fh, 0, off));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.off, off);
        back += r.data;
    }
    EXPECT_EQ(back, image);
    // a read handle does not write
    EXPECT_EQ(dm_call(d, dm_req_hdr(4, 4, ro.fh, 0, 0), "abcd").status, KES_EBADF);
    // attribute by name, with a buffer too small first
    std::string get = dm_req_hdr(11, 0, 0xFFFF, 0, 0) + be32(16) + "generic:/sh/piece1" + std::string(1, '\0') +
                      "backup_info" + std::string(1, '\0');
    dm_rsp gx = dm_call(d, get);
    EXPECT_EQ(gx.status, KES_ERANGE);
    EXPECT_EQ(be_get32(reinterpret_cast<const unsigned char *>(gx.head.data()) + 16), 80u);
    EXPECT_TRUE(gx.data.empty());
    get = dm_req_hdr(11, 0, 0xFFFF, 0, 0) + be32(4096) + "generic:/sh/piece1" + std::string(1, '\0') + "backup_info" +
          std::string(1, '\0');
    gx = dm_call(d, get);
    ASSERT_EQ(gx.status, 0);
    EXPECT_EQ(gx.data, std::string(reinterpret_cast<char *>(info), 80));
    EXPECT_EQ(dm_call(d, dm_req_hdr(2, 0, ro.fh, 0, 0)).status, 0);
    EXPECT_EQ(close_file(s, h2), 0);

    // delete by name, then again
    std::string del = dm_req_hdr(7, 0, 0, 0, 0) + "generic:/sh/piece1" + std::string(1, '\0');
    EXPECT_EQ(dm_call(d, del).status, 0);
    EXPECT_EQ(dm_call(d, del).status, 0xFFFE);
    EXPECT_EQ(dm_call(d, get).status, KES_ENOENT);
}

TEST_F(Service, DataMoverOpensOnlyIssuedHandlesForWhatTheyAllow)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    uint64_t w = 0, r = 0;
    ASSERT_EQ(open_file(s, "generic:/sh/a", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &w), 0);
    dm_session *d = dm(s);
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x2, "generic:/sh/a")).status, KES_EACCES);               // no handle
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x2, handle_name(w + 1, "sh/a"))).status, KES_EACCES);    // not issued
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x2, handle_name(w, "sh/b"))).status, KES_EACCES);       // other file
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x2, handle_name(w, "sh/../a"))).status, KES_EINVAL);
    EXPECT_EQ(dm_call(d, dm_open_req(32, 0x2, handle_name(w, "sh/a"))).status, KES_EINVAL);      // slot range
    EXPECT_EQ(close_file(s, w), 0);
    ASSERT_EQ(open_file(s, "generic:/sh/a", MI_OPEN_READ, &r), 0);
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x2, handle_name(r, "sh/a"))).status, KES_EACCES);       // write on read
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x8, handle_name(r, "sh/a"))).status, 0);
    // a closed handle opens nothing
    EXPECT_EQ(dm_call(d, dm_open_req(1, 0x2, handle_name(w, "sh/a"))).status, KES_EACCES);
    // another session cannot close or check space on this handle
    mi_session *o = mi();
    ASSERT_EQ(login(o, "bob", std::string(40, 'b')), 0);
    EXPECT_EQ(close_file(o, r), STS_ENOENT);
}

TEST_F(Service, ControlConnectionThatGoesAwayLeavesNoCompleteFile)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    uint64_t h = 0;
    ASSERT_EQ(open_file(s, "generic:/sh/gone", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
    dm_session *d = dm(s);
    dm_rsp op = dm_call(d, dm_open_req(0, 0x2, handle_name(h, "sh/gone")));
    ASSERT_EQ(op.status, 0);
    ASSERT_EQ(dm_call(d, dm_req_hdr(4, 5, op.fh, 0, 0), "12345").status, 0);
    mi_session_free(s);
    mis_.erase(std::find(mis_.begin(), mis_.end(), s));
    EXPECT_EQ(dm_call(d, dm_req_hdr(2, 0, op.fh, 0, 0)).status, 0);
    mi_session *t = mi();
    ASSERT_EQ(login(t, "alice", "secret-password"), 0);
    EXPECT_EQ(open_file(t, "generic:/sh/gone", MI_OPEN_READ, &h), KES_ENOENT);
    EXPECT_EQ(open_file(t, "generic:/sh/gone", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
}

TEST_F(Service, CloseCommitsOnlyAFileWhoseDataArrivedWhole)
{
    reopen(1 << 20);
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    // Opens rel for writing through both services and writes 5 bytes.
    auto start = [&](dm_session *d, const std::string &rel, uint64_t *h) {
        uint16_t fh = open_writer(s, d, rel, h);
        EXPECT_EQ(dm_call(d, dm_req_hdr(4, 5, fh, 0, 0), "12345").status, 0);
        return fh;
    };
    // Neither the file nor what was written of it is there.
    auto gone = [&](const std::string &name) {
        struct stat sb;
        return stat((dir_ / ("sh/" + name)).c_str(), &sb) != 0 && stat((dir_ / ("sh/." + name + ".kpart")).c_str(), &sb) != 0;
    };
    dm_session *d = dm(s);

    // The writer has not closed its data-mover file.
    uint64_t h = 0;
    uint16_t fh = start(d, "sh/open", &h);
    EXPECT_EQ(close_file(s, h), STS_EABORT);
    EXPECT_TRUE(gone("open"));
    EXPECT_EQ(dm_call(d, dm_req_hdr(4, 5, fh, 0, 5), "67890").status, KES_ENOENT) << "nothing more is taken for it";
    dm_call(d, dm_req_hdr(2, 0, fh, 0, 0));

    // A write was refused for lack of space: the close says so, even after a clean data-mover close.
    fh = start(d, "sh/full", &h);
    std::string big(2 << 20, 'x');
    EXPECT_EQ(dm_call(d, dm_req_hdr(4, uint32_t(big.size()), fh, 0, 5), big).status, KES_ENOSPC);
    EXPECT_EQ(dm_call(d, dm_req_hdr(2, 0, fh, 0, 0)).status, 0);
    EXPECT_EQ(close_file(s, h), STS_ENOSPC);
    EXPECT_TRUE(gone("full"));

    // The writer's data-mover connection went away.
    dm_session *e = dm(s);
    start(e, "sh/lost", &h);
    dm_session_free(e);
    dms_.erase(std::find(dms_.begin(), dms_.end(), e));
    EXPECT_EQ(close_file(s, h), STS_EABORT);
    EXPECT_TRUE(gone("lost"));
    EXPECT_EQ(store_used_bytes(sh_.st), 0u) << "none of it stays counted";

    // Whole data, cleanly closed: committed, and nothing more is written into it.
    fh = start(d, "sh/whole", &h);
    EXPECT_EQ(dm_call(d, dm_req_hdr(2, 0, fh, 0, 0)).status, 0);
    EXPECT_EQ(close_file(s, h), 0);
    EXPECT_EQ(kes_test::read_file(dir_ / "sh/whole"), "12345");
}

TEST_F(Service, PageChecksumsAreServedOnAnOpenFileAndNeverSet)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    uint64_t h = 0;
    dm_session *d = dm(s);
    const uint16_t fh = open_writer(s, d, "sh/sums", &h);
    std::string data(DM_SUM_PAGE * 2 + 10, '\0');
    std::mt19937 rng(3);
    for (char &c : data)
        c = char(rng());
    for (size_t off = 0; off < data.size(); off += DM_SUM_PAGE) {
        std::string piece = data.substr(off, DM_SUM_PAGE);
        ASSERT_EQ(dm_call(d, dm_req_hdr(4, uint32_t(piece.size()), fh, 0, off), piece).status, 0);
    }
    std::string name = std::string(DM_SUMS_ATTR) + "0";
    std::string set = dm_req_hdr(10, 0, fh, 0, 0) + be32(8) + name + std::string(1, '\0') + "12345678";
    EXPECT_EQ(dm_call(d, set).status, KES_EACCES);
    ASSERT_EQ(dm_call(d, dm_req_hdr(2, 0, fh, 0, 0)).status, 0);
    ASSERT_EQ(close_file(s, h), 0);

    ASSERT_EQ(open_file(s, "generic:/sh/sums", MI_OPEN_READ, &h), 0);
    dm_rsp ro = dm_call(d, dm_open_req(1, 0x8, handle_name(h, "sh/sums")));
    ASSERT_EQ(ro.status, 0);
    auto get = [&](const std::string &attr, uint32_t cap) {
        return dm_call(d, dm_req_hdr(11, 0, ro.fh, 1, 0) + be32(cap) + attr + std::string(1, '\0'));
    };
    dm_rsp g = get(name, 4096);
    ASSERT_EQ(g.status, 0);
    uint64_t first = 1, sums[4];
    uint32_t n = 0;
    ASSERT_EQ(dm_sums_decode(g.data.data(), g.data.size(), &first, sums, 4, &n), 0);
    EXPECT_EQ(first, 0u);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(sums[0], dm_sum64(data.data(), DM_SUM_PAGE));
    EXPECT_EQ(sums[2], dm_sum64(data.data() + 2 * DM_SUM_PAGE, 10));
    // From a later page, as many as the capacity holds, none past the end.
    g = get(std::string(DM_SUMS_ATTR) + std::to_string(DM_SUM_PAGE), uint32_t(DM_SUMS_HDR_SIZE + 8));
    ASSERT_EQ(g.status, 0);
    ASSERT_EQ(dm_sums_decode(g.data.data(), g.data.size(), &first, sums, 4, &n), 0);
    EXPECT_EQ(first, DM_SUM_PAGE);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(sums[0], dm_sum64(data.data() + DM_SUM_PAGE, DM_SUM_PAGE));
    g = get(std::string(DM_SUMS_ATTR) + std::to_string(8 * DM_SUM_PAGE), 4096);
    ASSERT_EQ(dm_sums_decode(g.data.data(), g.data.size(), &first, sums, 4, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(get(std::string(DM_SUMS_ATTR) + "100", 4096).status, KES_EINVAL);  // not page-aligned
    EXPECT_EQ(get(name, 8).status, KES_EINVAL);                                 // no room for the answer
    // By name there is no open file to answer for.
    std::string byname = dm_req_hdr(11, 0, 0xFFFF, 0, 0) + be32(4096) + "generic:/sh/sums" + std::string(1, '\0') + name +
                         std::string(1, '\0');
    EXPECT_EQ(dm_call(d, byname).status, KES_ENOENT);
}

TEST_F(Service, SpaceCheckExtentsTagsAndAlerts)
{
    reopen(1000);
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    uint64_t h = 0;
    ASSERT_EQ(open_file(s, "generic:/sh/q", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
    mi_check_space_req creq{0, h};
    mi_check_space_reply crep{};
    ASSERT_EQ(call(s, MI_CHECK_SPACE, &creq, &crep), 0);
    EXPECT_EQ(crep.status, STS_ENOSPC);  // the quota is less than one grant
    dm_session *d = dm(s);
    dm_rsp op = dm_call(d, dm_open_req(0, 0x2, handle_name(h, "sh/q")));
    EXPECT_EQ(dm_call(d, dm_req_hdr(4, 1001, op.fh, 0, 0), std::string(1001, 'x')).status, KES_ENOSPC);
    EXPECT_EQ(dm_call(d, dm_req_hdr(4, 1000, op.fh, 0, 0), std::string(1000, 'x')).status, 0);
    ASSERT_EQ(call(s, MI_CHECK_SPACE, &creq, &crep), 0);
    EXPECT_EQ(crep.status, STS_ENOSPC);
    creq.handle = h + 1;
    ASSERT_EQ(call(s, MI_CHECK_SPACE, &creq, &crep), 0);
    EXPECT_EQ(crep.status, STS_ENOENT);

    mi_status_reply srep{};
    for (const char *t : {"00ff00ff", "11ee11ee"}) {
        mi_tag_req hreq{h, const_cast<char *>(t)};
        ASSERT_EQ(call(s, MI_BFST_HOLD_TAG, &hreq, &srep), 0);
        ASSERT_EQ(srep.status, 0);
    }
    mi_set_extent_req ext{};
    ext.handle = h;
    ext.image_offset = 0;
    ext.tag = const_cast<char *>("00ff00ff");
    ext.length = 500;
    ASSERT_EQ(call(s, MI_BFST_SET_EXTENT_ACCEL, &ext, &srep), 0);
    EXPECT_EQ(srep.status, 0);
    ext.image_offset = 500;
    ext.tag = const_cast<char *>("11ee11ee");
    ASSERT_EQ(call(s, MI_BFST_SET_EXTENT, &ext, &srep), 0);
    mi_get_extent_req greq{h, 700};
    mi_get_extent_reply grep{};
    ASSERT_EQ(call(s, MI_BFST_GET_EXTENT, &greq, &grep), 0);
    EXPECT_EQ(grep.status, 0);
    ASSERT_NE(grep.tag, nullptr);
    EXPECT_STREQ(grep.tag, "11ee11ee");
    EXPECT_EQ(grep.blob_offset, 200u);
    EXPECT_EQ(grep.length, 300u);
    mi_free_reply(MI_BFST_GET_EXTENT, &grep);
    greq.image_offset = 1000;
    ASSERT_EQ(call(s, MI_BFST_GET_EXTENT, &greq, &grep), 0);
    EXPECT_EQ(grep.status, STS_ENOENT);
    mi_free_reply(MI_BFST_GET_EXTENT, &grep);
    mi_tag_req treq{h, const_cast<char *>("00ff00ff")};
    ASSERT_EQ(call(s, MI_BFST_DROP_TAG, &treq, &srep), 0);
    EXPECT_EQ(srep.status, 0);
    ASSERT_EQ(call(s, MI_BFST_DROP_TAG, &treq, &srep), 0);
    EXPECT_EQ(srep.status, STS_ENOENT);

    mi_admin_alert_req al{h, 1234, 301, const_cast<char *>("slow call"), 1};
    ASSERT_EQ(call(s, MI_ADMIN_ALERT, &al, &srep), 0);
    EXPECT_EQ(srep.status, 0);
    sh_.cfg.refuse_admin_alerts = true;
    ASSERT_EQ(call(s, MI_ADMIN_ALERT, &al, &srep), 0);
    EXPECT_EQ(srep.status, STS_EADMINALERTDISABLED);
}

TEST_F(Service, UnservedAndUndecodableRequestsAreAnsweredWithErrors)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    // a registered number this appliance does not serve
    mi_req_i ri{5};
    mi_status_reply rep{};
    ASSERT_EQ(call(s, 0x20000001, &ri, &rep), 0);
    EXPECT_EQ(rep.status, STS_ENOTSUP);
    // a number outside the registry, and one that does not decode (string too long)
    unsigned char rec[APPL_MI_RECORD] = {};
    rec[0] = 1;
    mi_open_file_req oreq{MI_OPEN_READ, const_cast<char *>("generic:/sh/x")};
    ASSERT_EQ(mi_encode_request(MI_OPEN_FILE, &oreq, rec + 12, APPL_MI_PAYLOAD), 0);
    be_put32(rec + 12 + 20, 0x20000077);
    unsigned char rsp[APPL_MI_RECORD];
    ASSERT_EQ(mi_session_handle(s, rec, sizeof rec, rsp), 0);
    mi_header h{};
    ASSERT_EQ(mi_decode_header(rsp + 12, APPL_MI_PAYLOAD, &h), 0);
    EXPECT_EQ(h.number, 0x20000077u);
    EXPECT_EQ(h.kind, MI_KIND_REPLY);
    EXPECT_EQ(int32_t(be_get32(rsp + 12 + 36)), STS_ENOTSUP);
    be_put32(rec + 12 + 20, MI_OPEN_FILE);
    be_put32(rec + 12 + 40, 0x7FFFFFF0);  // name length beyond the buffer
    ASSERT_EQ(mi_session_handle(s, rec, sizeof rec, rsp), 0);
    ASSERT_EQ(mi_decode_header(rsp + 12, APPL_MI_PAYLOAD, &h), 0);
    EXPECT_EQ(h.number, MI_OPEN_FILE);
    EXPECT_NE(be_get32(rsp + 12 + 36), 0u);
    // not a request record at all: the connection goes
    rec[0] = 2;
    EXPECT_EQ(mi_session_handle(s, rec, sizeof rec, rsp), -1);
    rec[0] = 1;
    EXPECT_EQ(mi_session_handle(s, rec, sizeof rec - 1, rsp), -1);
    // bad open modes and names
    uint64_t hd = 0;
    EXPECT_EQ(open_file(s, "generic:/sh/x", 0, &hd), KES_EINVAL);
    EXPECT_EQ(open_file(s, "generic:/sh/x", MI_OPEN_READ | 0x40, &hd), KES_EINVAL);
    EXPECT_EQ(open_file(s, "generic:/sh/x", MI_OPEN_READ | MI_OPEN_CREATE, &hd), KES_EINVAL);
    EXPECT_EQ(open_file(s, "generic:/../x", MI_OPEN_WRITE | MI_OPEN_CREATE, &hd), KES_EINVAL);
    EXPECT_EQ(open_file(s, "generic:5:/sh/x", MI_OPEN_WRITE | MI_OPEN_CREATE, &hd), KES_EINVAL);
}

TEST_F(Service, WrongMessageNumberSwitchAnswersUnderAnotherNumber)
{
    sh_.cfg.wrong_msgno = MI_GET_VERSION;
    mi_session *s = mi();
    mi_get_version_req vreq{const_cast<char *>("h"), 9, 11, 0x7000B};
    mi_get_version_reply vrep{};
    uint32_t number = 0;
    EXPECT_EQ(call(s, MI_GET_VERSION, &vreq, &vrep, &number), KES_EBADMSG);
    EXPECT_NE(number, MI_GET_VERSION);
    mi_config_get_auth_attr_req areq{1};
    mi_config_get_auth_attr_reply arep{};
    EXPECT_EQ(call(s, MI_CONFIG_GET_AUTH_ATTR, &areq, &arep, &number), 0);
    EXPECT_EQ(number, MI_CONFIG_GET_AUTH_ATTR);
}

TEST_F(Service, HostileDataMoverRequestsGetErrorsNeverCrashes)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    dm_session *d = dm(s);
    EXPECT_EQ(dm_call(d, std::string(15, '\0')).rc, -1);  // shorter than a header
    // unknown commands are answered with an error, slot and offset echoed
    for (uint8_t cmd : {5, 6, 9, 12, 200, 255}) {
        dm_rsp r = dm_call(d, dm_req_hdr(cmd, 0, 0, 7, 99));
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.status, KES_EINVAL);
        EXPECT_EQ(r.slot, 7);
        EXPECT_EQ(r.off, 99u);
    }
    // operations on handles that were never opened
    for (uint16_t fh : {0, 1, 64, 65, 0xFFFE, 0xFFFF}) {
        EXPECT_EQ(dm_call(d, dm_req_hdr(3, 100, fh, 0, 0)).status, KES_EBADF);
        EXPECT_EQ(dm_call(d, dm_req_hdr(4, 4, fh, 0, 0), "abcd").status, KES_EBADF);
        EXPECT_EQ(dm_call(d, dm_req_hdr(2, 0, fh, 0, 0)).status, KES_EBADF);
        EXPECT_EQ(dm_call(d, dm_req_hdr(8, 0, fh, 0, 0)).status, KES_EBADF);
    }
    // names without their NUL, with "..", too long, or missing
    EXPECT_EQ(dm_call(d, dm_req_hdr(7, 0, 0, 0, 0) + "generic:/sh/x").status, KES_EINVAL);
    EXPECT_EQ(dm_call(d, dm_req_hdr(7, 0, 0, 0, 0) + "generic:/sh/../x" + std::string(1, '\0')).status, KES_EINVAL);
    EXPECT_EQ(dm_call(d, dm_req_hdr(7, 0, 0, 0, 0)).status, KES_EINVAL);
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x8, "generic:1:/sh/x").substr(0, 50)).status, KES_EINVAL);
    EXPECT_EQ(dm_call(d, dm_req_hdr(1, 0, 0, 0, 0)).status, KES_EINVAL);
    std::string longname = "generic:/sh/" + std::string(300, 'a');
    EXPECT_EQ(dm_call(d, dm_req_hdr(11, 0, 0xFFFF, 0, 0) + be32(80) + longname + std::string(1, '\0') + "a" +
                             std::string(1, '\0'))
                  .status,
              KES_EINVAL);
    // attribute requests: short, missing attribute name, value length that lies
    EXPECT_EQ(dm_call(d, dm_req_hdr(10, 0, 0xFFFF, 0, 0)).status, KES_EINVAL);
    EXPECT_EQ(dm_call(d, dm_req_hdr(10, 0, 0xFFFF, 0, 0) + be32(3) + "generic:/sh/x" + std::string(1, '\0')).status,
              KES_EINVAL);
    EXPECT_EQ(dm_call(d, dm_req_hdr(10, 0, 0xFFFF, 0, 0) + be32(100) + "generic:/sh/x" + std::string(1, '\0') + "a" +
                             std::string(1, '\0') + "abc")
                  .status,
              KES_EINVAL);
    EXPECT_EQ(dm_call(d, dm_req_hdr(11, 0, 0xFFFF, 0, 0) + be32(100) + "generic:/sh/x" + std::string(1, '\0') + "a" +
                             std::string(1, '\0'))
                  .status,
              KES_ENOENT);
    // a configuration request of the wrong size still gets a full-size answer
    dm_rsp c = dm_call(d, dm_req_hdr(0, 0, 0, 0, 0));
    EXPECT_EQ(c.status, KES_EINVAL);
    EXPECT_EQ(c.head.size(), 32u);
}

TEST_F(Service, ReadsAndWritesAreBoundedByTheBufferAndDeclaredLength)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    uint64_t h = 0;
    ASSERT_EQ(open_file(s, "generic:/sh/b", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
    dm_session *d = dm(s);
    dm_rsp op = dm_call(d, dm_open_req(0, 0x1 | 0x2, handle_name(h, "sh/b")));
    ASSERT_EQ(op.status, 0);
    EXPECT_EQ(dm_call(d, dm_req_hdr(4, 10, op.fh, 0, 0), "abcd").status, KES_EINVAL);  // length disagrees
    EXPECT_EQ(dm_call(d, dm_req_hdr(4, 4, op.fh, 0, 1ULL << 47), "abcd").status, KES_EFBIG);
    EXPECT_EQ(dm_call(d, dm_req_hdr(4, 4, op.fh, 0, 0), "abcd").status, 0);
    // more than the service's buffer
    EXPECT_EQ(dm_call(d, dm_req_hdr(3, dm_session_max_io(d) + 1, op.fh, 0, 0)).status, KES_EINVAL);
    dm_rsp r = dm_call(d, dm_req_hdr(3, 100, op.fh, 0, 2));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.data, "cd");
}

TEST_F(Service, DataMoverWithoutALoginChangesAndReadsNothing)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    piece(s, "sh/keep", "data!");
    dm_session *owner = dm(s);
    uint64_t h = 0;
    ASSERT_EQ(open_file(s, "generic:/sh/keep", MI_OPEN_READ, &h), 0);

    // A session that never logged in leaves no claim: its data-mover
    // connection is tied to nothing.
    mi_session *anon = mi();
    mi_dm_port_req preq{0};
    mi_dm_port_reply prep{};
    ASSERT_EQ(call(anon, MI_DM_PORT, &preq, &prep), 0);
    EXPECT_EQ(prep.status, STS_EAUTH);
    std::shared_ptr<const appl_login> none = appl_auth_dm_bind(&sh_.auth, PEER, appl_now_ms());
    EXPECT_EQ(none, nullptr);
    dm_session *d = dm_session_new(&sh_, none);
    dms_.push_back(d);
    EXPECT_EQ(dm_call(d, dm_req_hdr(7, 0, 0, 0, 0) + "generic:/sh/keep" + std::string(1, '\0')).status, KES_EACCES);
    EXPECT_EQ(dm_call(d, by_name(10, "sh/keep", "backup_info", "bad")).status, KES_EACCES);
    EXPECT_EQ(dm_call(d, by_name(10, "sh/keep", "extra", "bad")).status, KES_EACCES);
    dm_rsp g = dm_call(d, by_name(11, "sh/keep", "backup_info"));
    EXPECT_EQ(g.status, KES_EACCES);
    EXPECT_TRUE(g.data.empty());
    // even a handle issued to someone else opens nothing for it
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x8, handle_name(h, "sh/keep"))).status, KES_EACCES);

    EXPECT_EQ(kes_test::read_file(dir_ / "sh/keep"), "data!");
    dm_rsp back = dm_call(owner, by_name(11, "sh/keep", "backup_info"));
    ASSERT_EQ(back.status, 0);
    EXPECT_EQ(back.data, std::string(80, 'i'));
    EXPECT_EQ(dm_call(owner, by_name(11, "sh/keep", "extra")).status, KES_ENOENT);
}

TEST_F(Service, AUserLimitedToSharesReachesNothingElse)
{
    sh_.cfg.users = {{"alice", "pw-a", {"a"}}, {"bob", "pw-b"}};
    mi_session *bob = mi();
    ASSERT_EQ(login(bob, "bob", "pw-b"), 0);
    piece(bob, "b/p", "bob's piece");
    piece(bob, "a/p", "in alice's share");
    mi_session *alice = mi();
    ASSERT_EQ(login(alice, "alice", "pw-a"), 0);

    // control: open for reading, writing in place and creating, all refused
    uint64_t h = 0;
    EXPECT_EQ(open_file(alice, "generic:/b/p", MI_OPEN_READ, &h), STS_EACCESS);
    EXPECT_EQ(open_file(alice, "generic:/b/p", MI_OPEN_WRITE, &h), STS_EACCESS);
    EXPECT_EQ(open_file(alice, "generic:/b/new", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), STS_EACCESS);
    struct stat sb;
    EXPECT_NE(stat((dir_ / "b/.new.kpart").c_str(), &sb), 0);
    // data mover by name: delete, query and change refused
    dm_session *d = dm(alice);
    EXPECT_EQ(dm_call(d, dm_req_hdr(7, 0, 0, 0, 0) + "generic:/b/p" + std::string(1, '\0')).status, KES_EACCES);
    EXPECT_EQ(dm_call(d, by_name(11, "b/p", "backup_info")).status, KES_EACCES);
    EXPECT_EQ(dm_call(d, by_name(10, "b/p", "backup_info", "x")).status, KES_EACCES);
    // a handle bob opened, even when alice learns it, is bob's alone
    uint64_t hb = 0;
    ASSERT_EQ(open_file(bob, "generic:/b/p", MI_OPEN_READ, &hb), 0);
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x8, handle_name(hb, "b/p"))).status, KES_EACCES);
    EXPECT_EQ(kes_test::read_file(dir_ / "b/p"), "bob's piece");
    dm_session *db = dm(bob);
    EXPECT_EQ(dm_call(db, by_name(11, "b/p", "backup_info")).data, std::string(80, 'i'));

    // her own share works in full, through both services
    ASSERT_EQ(open_file(alice, "generic:/a/p", MI_OPEN_READ, &h), 0);
    dm_rsp ro = dm_call(d, dm_open_req(0, 0x8, handle_name(h, "a/p")));
    ASSERT_EQ(ro.status, 0);
    EXPECT_EQ(dm_call(d, dm_req_hdr(3, 100, ro.fh, 0, 0)).data, "in alice's share");
    EXPECT_EQ(dm_call(d, dm_req_hdr(2, 0, ro.fh, 0, 0)).status, 0);
    EXPECT_EQ(close_file(alice, h), 0);
    EXPECT_EQ(dm_call(d, by_name(11, "a/p", "backup_info")).status, 0);
    EXPECT_EQ(dm_call(d, dm_req_hdr(7, 0, 0, 0, 0) + "generic:/a/p" + std::string(1, '\0')).status, 0);
}

TEST_F(Service, DataMoverConnectionsTakeClaimsOfTheirAddressOnce)
{
    mi_session *s1 = mi(PEER);
    mi_session *s2 = mi(PEER);
    mi_session *far = mi(PEER + 1);
    ASSERT_EQ(login(s1, "alice", "secret-password"), 0);
    ASSERT_EQ(login(s2, "alice", "secret-password"), 0);
    ASSERT_EQ(login(far, "bob", std::string(40, 'b')), 0);
    auto l1 = mi_session_login(s1), l2 = mi_session_login(s2), lf = mi_session_login(far);
    appl_auth *a = &sh_.auth;
    uint64_t t = 1000000;
    appl_auth_dm_claim(a, l1, t);
    appl_auth_dm_claim(a, l2, t + 10);
    appl_auth_dm_claim(a, lf, t + 20);
    // the most recent of the address first, each claim once
    EXPECT_EQ(appl_auth_dm_bind(a, PEER, t + 30), l2);
    EXPECT_EQ(appl_auth_dm_bind(a, PEER, t + 30), l1);
    EXPECT_EQ(appl_auth_dm_bind(a, PEER, t + 30), nullptr);
    EXPECT_EQ(appl_auth_dm_bind(a, PEER + 2, t + 30), nullptr);
    // a claim grows stale
    EXPECT_EQ(appl_auth_dm_bind(a, PEER + 1, t + 20 + APPL_DM_CLAIM_MS + 1), nullptr);
    appl_auth_dm_claim(a, lf, t);
    EXPECT_EQ(appl_auth_dm_bind(a, PEER + 1, t + APPL_DM_CLAIM_MS), lf);

    // A connection tied to s1 carries on with s2's rights when s1 ends
    // (channels of one client may take each other's claims), and has none
    // once no session of that user and address is left.
    appl_auth_dm_claim(a, l1, t);
    std::shared_ptr<const appl_login> bound = l1;
    mi_session_free(s1);
    mis_.erase(std::find(mis_.begin(), mis_.end(), s1));
    EXPECT_EQ(appl_auth_dm_bind(a, PEER, t + 1), nullptr);  // its claim went with it
    EXPECT_TRUE(appl_auth_current(a, &bound));
    EXPECT_EQ(bound, l2);
    mi_session_free(s2);
    mis_.erase(std::find(mis_.begin(), mis_.end(), s2));
    EXPECT_FALSE(appl_auth_current(a, &bound));
    std::shared_ptr<const appl_login> other = lf;
    EXPECT_TRUE(appl_auth_current(a, &other));
}

TEST_F(Service, FailedLoginsFromOneAddressAreSlowedDown)
{
    appl_auth *a = &sh_.auth;
    uint64_t t = 5000000;
    for (unsigned i = 0; i < APPL_FREE_LOGIN_FAILURES; ++i) {
        EXPECT_EQ(appl_auth_login_delay(a, PEER, t), 0u);
        appl_auth_login_failed(a, PEER, t);
    }
    EXPECT_EQ(appl_auth_login_delay(a, PEER, t), 0u);
    appl_auth_login_failed(a, PEER, t);
    EXPECT_EQ(appl_auth_login_delay(a, PEER, t), APPL_FAILURE_DELAY_STEP_MS);
    for (int i = 0; i < 20; ++i)
        appl_auth_login_failed(a, PEER, t);
    EXPECT_EQ(appl_auth_login_delay(a, PEER, t), APPL_FAILURE_DELAY_MAX_MS);
    EXPECT_EQ(appl_auth_login_delay(a, PEER + 1, t), 0u);  // another address is not held back
    EXPECT_EQ(appl_auth_login_delay(a, PEER, t + APPL_FAILURE_MEMORY_MS + 1), 0u);

    // through the control service: wrong passwords from one address raise
    // the delay of every later attempt from there, on any connection
    sh_.auth.failed.clear();
    for (unsigned i = 0; i <= APPL_FREE_LOGIN_FAILURES; ++i)
        EXPECT_EQ(login(mi(PEER + 5), "alice", "wrong"), STS_EAUTH);
    mi_session *s = mi(PEER + 5);
    EXPECT_EQ(login(s, "alice", "secret-password"), 0);
    EXPECT_GT(mi_session_reply_delay_ms(s), 0u);
    mi_session *o = mi(PEER + 6);
    EXPECT_EQ(login(o, "alice", "secret-password"), 0);
    EXPECT_EQ(mi_session_reply_delay_ms(o), 0u);
    // a logged-in session does not log in again
    EXPECT_EQ(login(o, "bob", std::string(40, 'b')), STS_EAUTH);
    EXPECT_EQ(mi_session_login(o)->user, "alice");
}

TEST_F(Service, NamesWithANulInsideAreRefusedNotCut)
{
    mi_session *s = mi();
    ASSERT_EQ(login(s, "alice", "secret-password"), 0);
    // "generic:/sh/a\0b" on the wire: encoded with a stand-in byte, then patched
    unsigned char rec[APPL_MI_RECORD] = {};
    rec[0] = 1;
    mi_open_file_req oreq{MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, const_cast<char *>("generic:/sh/a#b")};
    ASSERT_EQ(mi_encode_request(MI_OPEN_FILE, &oreq, rec + 12, APPL_MI_PAYLOAD), 0);
    // (found by its neighbours: the header before the name holds the time,
    // any byte of which may be a '#' as well)
    unsigned char *hash = static_cast<unsigned char *>(memmem(rec + 12, APPL_MI_PAYLOAD, "a#b", 3));
    ASSERT_NE(hash, nullptr);
    hash++;
    *hash = '\0';
    unsigned char rsp[APPL_MI_RECORD];
    ASSERT_EQ(mi_session_handle(s, rec, sizeof rec, rsp), 0);
    mi_open_file_reply orep{};
    ASSERT_EQ(mi_decode_reply(MI_OPEN_FILE, rsp + 12, APPL_MI_PAYLOAD, &orep), 0);
    EXPECT_EQ(orep.status, KES_EINVAL);
    struct stat sb;
    EXPECT_NE(stat((dir_ / "sh/.a.kpart").c_str(), &sb), 0);
    EXPECT_NE(stat((dir_ / "sh/a").c_str(), &sb), 0);
    // the same text without the NUL is served
    *hash = '#';
    ASSERT_EQ(mi_session_handle(s, rec, sizeof rec, rsp), 0);
    ASSERT_EQ(mi_decode_reply(MI_OPEN_FILE, rsp + 12, APPL_MI_PAYLOAD, &orep), 0);
    EXPECT_EQ(orep.status, 0);

    // on the data mover: delete and open by a name with a NUL inside
    piece(s, "sh/a", "still here");
    dm_session *d = dm(s);
    EXPECT_EQ(dm_call(d, dm_req_hdr(7, 0, 0, 0, 0) + std::string("generic:/sh/a\0b", 15) + std::string(1, '\0')).status,
              KES_EINVAL);
    uint64_t h = 0;
    ASSERT_EQ(open_file(s, "generic:/sh/a", MI_OPEN_READ, &h), 0);
    EXPECT_EQ(dm_call(d, dm_open_req(0, 0x8, handle_name(h, "sh/a") + std::string("\0x", 2))).status, KES_EINVAL);
    EXPECT_EQ(kes_test::read_file(dir_ / "sh/a"), "still here");
}

// ---------------------------------------------------------------- command line

namespace {

int parse_args(std::vector<std::string> args, appliance_config *cfg, std::string *msg)
{
    args.insert(args.begin(), "kestralon-appliance");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    return appliance_parse_args(int(argv.size()), argv.data(), cfg, msg);
}

}  // namespace

TEST(ApplianceArgs, DefaultsSwitchesAndErrors)
{
    appliance_config cfg;
    std::string msg;
    ASSERT_EQ(parse_args({"--root", "/r", "--user", "u:p:with:colons"}, &cfg, &msg), 0) << msg;
    EXPECT_EQ(cfg.listen_addr, "127.0.0.1");
    EXPECT_EQ(cfg.mi_port, 10002);
    EXPECT_EQ(cfg.dm_port, 0);
    EXPECT_EQ(cfg.version, 0x70000u);
    EXPECT_EQ(cfg.pref_bsz, 1048576u);
    EXPECT_EQ(cfg.pref_reserve_mb, 0);
    ASSERT_EQ(cfg.users.size(), 1u);
    EXPECT_EQ(cfg.users[0].password, "p:with:colons");

    appliance_config c2;
    ASSERT_EQ(parse_args({"--root=/r", "--user=a:b", "--listen", "127.0.0.9", "--dm-port", "3095", "--quota", "2G",
                          "--protocol-version", "0x80000", "--pref-bsz", "524288", "--pref-reserve-mb", "4",
                          "--delay-ms", "5", "--drop-after-msgs", "3", "--drop-after-bytes", "1M", "--fault-on", "dm",
                          "--wrong-msgno", "0x20000039", "--refuse-admin-alerts", "--log-level", "debug"},
                         &c2, &msg),
              0)
        << msg;
    EXPECT_EQ(c2.listen_addr, "127.0.0.9");
    EXPECT_EQ(c2.dm_port, 3095);
    EXPECT_EQ(c2.quota, 2ULL << 30);
    EXPECT_EQ(c2.version, 0x80000u);
    EXPECT_EQ(c2.pref_bsz, 524288u);
    EXPECT_EQ(c2.pref_reserve_mb, 4);
    EXPECT_EQ(c2.delay_ms, 5u);
    EXPECT_EQ(c2.drop_after_msgs, 3u);
    EXPECT_EQ(c2.drop_after_bytes, 1u << 20);
    EXPECT_EQ(c2.fault_conns, unsigned(APPL_FAULT_DM));
    EXPECT_EQ(c2.wrong_msgno, 0x20000039u);
    EXPECT_TRUE(c2.refuse_admin_alerts);
    EXPECT_EQ(c2.log_level, 7);
    EXPECT_EQ(c2.login_timeout_s, 10u);
    EXPECT_EQ(c2.max_conns_per_addr, 256u);
    EXPECT_EQ(c2.max_pending_per_addr, 16u);
    appliance_config c4;
    ASSERT_EQ(parse_args({"--root", "/r", "--user", "a:b", "--login-timeout", "3", "--max-conns-per-addr", "40",
                          "--max-pending-per-addr=2"},
                         &c4, &msg),
              0)
        << msg;
    EXPECT_EQ(c4.login_timeout_s, 3u);
    EXPECT_EQ(c4.max_conns_per_addr, 40u);
    EXPECT_EQ(c4.max_pending_per_addr, 2u);

    appliance_config c3;
    EXPECT_EQ(parse_args({"--help"}, &c3, &msg), 1);
    EXPECT_NE(msg.find("--users-file"), std::string::npos);
    struct {
        std::vector<std::string> args;
        const char *says;
    } bad[] = {
        {{"--user", "a:b"}, "--root"},
        {{"--root", "/r"}, "no users"},
        {{"--root", "/r", "--user", "nopassword"}, "NAME:PASSWORD"},
        {{"--root", "/r", "--user", "a:b", "--mi-port", "70000"}, "--mi-port"},
        {{"--root", "/r", "--user", "a:b", "--quota", "-1"}, "--quota"},
        {{"--root", "/r", "--user", "a:b", "--frobnicate"}, "--frobnicate"},
        {{"--root", "/r", "--user", "a:b", "--log-level", "loud"}, "loud"},
        {{"--root"}, "needs a value"},
        {{"--root", "/r", "--user", "a:b", "--login-timeout", "0"}, "--login-timeout"},
        {{"--root", "/r", "--user", "a:b", "--max-conns-per-addr", "0"}, "--max-conns-per-addr"},
    };
    for (auto &b : bad) {
        appliance_config c;
        EXPECT_EQ(parse_args(b.args, &c, &msg), -1) << b.says;
        EXPECT_NE(msg.find(b.says), std::string::npos) << msg;
    }
}

TEST(ApplianceArgs, UsersFileMustBePrivateAndIsParsedWithoutEchoingPasswords)
{
    kes_test::TempDir dir;
    std::string path = dir / "users";
    kes_test::write_file(path, "# users\n\nalice:pw1\r\nbob:pw2: sh1 ,sh2\n");
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    std::vector<appliance_user> users;
    std::string msg;
    EXPECT_EQ(appliance_load_users(path, &users, &msg), -1);
    EXPECT_NE(msg.find("chmod 600"), std::string::npos) << msg;
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    ASSERT_EQ(appliance_load_users(path, &users, &msg), 0) << msg;
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].name, "alice");
    EXPECT_EQ(users[0].password, "pw1");
    EXPECT_TRUE(users[0].shares.empty());
    EXPECT_EQ(users[1].password, "pw2");
    EXPECT_EQ(users[1].shares, (std::vector<std::string>{"sh1", "sh2"}));
    kes_test::write_file(path, "carol-without-password-secretword\n");
    users.clear();
    EXPECT_EQ(appliance_load_users(path, &users, &msg), -1);
    EXPECT_NE(msg.find("line 1"), std::string::npos);
    EXPECT_EQ(msg.find("secretword"), std::string::npos) << msg;
    EXPECT_EQ(appliance_load_users(dir / "missing", &users, &msg), -1);
}

TEST(ApplianceArgs, UsersFileIsRefusedThroughALinkOrWhenSomeoneElseOwnsIt)
{
    kes_test::TempDir dir;
    std::string path = dir / "users";
    kes_test::write_file(path, "alice:pw:a,b\nbob:pw2\n");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    std::vector<appliance_user> users;
    std::string msg;
    std::string link = dir / "users-link";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    users.clear();
    EXPECT_EQ(appliance_load_users(link, &users, &msg), -1);
    EXPECT_NE(msg.find("symbolic link"), std::string::npos) << msg;
    EXPECT_TRUE(users.empty());

    // share lists that cannot name a share
    for (const char *line : {"alice:pw:\n", "alice:pw:a,,b\n", "alice:pw:../x\n", "alice:pw:.hidden\n",
                             "alice:pw:a/b\n"}) {
        kes_test::write_file(path, line);
        users.clear();
        EXPECT_EQ(appliance_load_users(path, &users, &msg), -1) << line;
        EXPECT_NE(msg.find("line 1"), std::string::npos) << msg;
        EXPECT_EQ(msg.find("pw"), std::string::npos) << msg;
    }
    // --user keeps every character after the first ':' as the password
    appliance_user u;
    ASSERT_EQ(appliance_parse_user("carol:p:q", &u, &msg), 0);
    EXPECT_EQ(u.password, "p:q");
    EXPECT_TRUE(u.shares.empty());

    if (geteuid() != 0)
        GTEST_SKIP() << "handing the file to another owner needs root";
    kes_test::write_file(path, "alice:pw\n");
    ASSERT_EQ(chown(path.c_str(), 4321, 4321), 0);
    EXPECT_EQ(appliance_load_users(path, &users, &msg), -1);
    EXPECT_NE(msg.find("owned by uid 4321"), std::string::npos) << msg;
    EXPECT_NE(msg.find("chown"), std::string::npos) << msg;
}
