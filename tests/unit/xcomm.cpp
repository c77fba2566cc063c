// Transport wire format, messages, names and process-wide options.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <cstring>
#include <string>
#include <vector>

#include "datamover/xcomm.h"
#include "datamover/xcomm_ssl.h"

TEST(XcommHeader, EncodesBigEndianAtAnyAlignment)
{
    xcomm_hdr h{};
    h.type = XCOMM_MSG_RSP;
    xcomm_hdr_set_size(&h, 0x123456);
    h.rpc_id = 0xA1B2;
    h.msg_id = 0xC3D4;
    h.seq_no = 0x01020304;
    h.gen_no = 0x0A0B0C0D;
    h.tag = 0x0102030405060708ULL;
    const unsigned char expect[XCOMM_HDR_SIZE] = {2,    0x12, 0x34, 0x56, 0xA1, 0xB2, 0xC3, 0xD4,
                                                  1,    2,    3,    4,    0x0A, 0x0B, 0x0C, 0x0D,
                                                  0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    for (size_t off = 0; off < 8; ++off) {
        unsigned char buf[XCOMM_HDR_SIZE + 8] = {};
        xcomm_hdr_encode(&h, buf + off);
        EXPECT_EQ(0, memcmp(expect, buf + off, XCOMM_HDR_SIZE)) << "offset " << off;
        xcomm_hdr back{};
        xcomm_hdr_decode(buf + off, &back);
        EXPECT_EQ(0, memcmp(&h, &back, sizeof h));
    }
}

TEST(XcommHeader, PayloadLengthIsTwentyFourBits)
{
    unsigned char b[XCOMM_HDR_SIZE] = {XCOMM_MSG_REQ, 1, 0, 0};
    xcomm_hdr h;
    xcomm_hdr_decode(b, &h);
    EXPECT_EQ(65536u, xcomm_hdr_get_size(&h));
    xcomm_hdr_set_size(&h, XCOMM_MAX_PAYLOAD);
    EXPECT_EQ(0xFF, h.sz_u);
    EXPECT_EQ(0xFFFF, h.sz_l);
    EXPECT_EQ(16777215u, xcomm_hdr_get_size(&h));
}

TEST(XcommMessage, AllocationCoversItsDataAndFreeChecksTheMagic)
{
    uint64_t a0 = xcomm_msgs_allocated(), f0 = xcomm_msgs_freed();
    xcomm_msg *m = xcomm_msg_alloc(100);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(XCOMM_MAGIC_IN_USE, m->magic);
    EXPECT_EQ(1, m->sgl_ents);
    EXPECT_EQ(100u, m->sgl[0].iov_len);
    EXPECT_EQ(xcomm_msg_data(m), m->sgl[0].iov_base);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(xcomm_msg_data(m)) % 16);
    EXPECT_EQ(100u, xcomm_hdr_get_size(&m->hdr));
    memset(xcomm_msg_data(m), 0xAB, 100);  // the data area is really there
    EXPECT_EQ(0, xcomm_msg_free(m));
    EXPECT_EQ(a0 + 1, xcomm_msgs_allocated());
    EXPECT_EQ(f0 + 1, xcomm_msgs_freed());

    xcomm_msg *z = xcomm_msg_alloc(0);
    ASSERT_NE(nullptr, z);
    EXPECT_EQ(0, z->sgl_ents);
    xcomm_msg_free(z);
    EXPECT_EQ(nullptr, xcomm_msg_alloc(XCOMM_MAX_PAYLOAD + 1));
}

TEST(XcommMessageDeathTest, FreeingTwiceIsAnInvariantBreach)
{
    xcomm_msg *m = xcomm_msg_alloc(8);
    ASSERT_NE(nullptr, m);
    m->magic = XCOMM_MAGIC_FREE;  // what a freed message looks like
    EXPECT_DEATH(xcomm_msg_free(m), "msg->magic == XCOMM_MAGIC_IN_USE");
    m->magic = XCOMM_MAGIC_IN_USE;
    xcomm_msg_free(m);
}

TEST(XcommMessage, TextFormIsBoundedAndTerminated)
{
    xcomm_msg *m = xcomm_msg_alloc(5);
    m->hdr.type = XCOMM_MSG_NOTIFY;
    m->hdr.tag = 0xabc;
    m->hdr.msg_id = 3;
    m->hdr.rpc_id = 4;
    m->hdr.seq_no = 9;
    char buf[180];
    std::string s = xcomm_msg_to_str(m, buf, sizeof buf);
    EXPECT_NE(std::string::npos, s.find("type[3] sz[5] tag[abc] msg_id[3] rpc_id[4] seq_no[9]"));
    EXPECT_NE(std::string::npos, s.find("sgl_ents[1], status[0] retries[0], flag[0]"));
    char tiny[12];
    memset(tiny, 'x', sizeof tiny);
    xcomm_msg_to_str(m, tiny, sizeof tiny);
    EXPECT_EQ(11u, strlen(tiny));
    xcomm_msg_free(m);
}

namespace {
struct Endp {
    xcomm_ctx ctx{};
    xcomm_endp endp{};
    Endp(uint16_t default_port = 0)
    {
        EXPECT_EQ(0, xcomm_ctx_init(&ctx));
        EXPECT_EQ(0, xcomm_endp_init(&ctx, &endp, "", 1, 4, htons(default_port), XCOMM_ENDP_NOFLAGS));
    }
    ~Endp() { xcomm_ctx_shutdown(&ctx); }
};
std::string addr(const sockaddr_in &a)
{
    char b[64];
    return xcomm_addr_to_str(&a, b, sizeof b);
}
}  // namespace

TEST(XcommNames, PortHostServiceAndDefaults)
{
    Endp e(10002);
    sockaddr_in a;
    ASSERT_EQ(0, xcomm_name_to_svc(&e.endp, &a, "3095@127.0.0.1"));
    EXPECT_EQ("3095@127.0.0.1", addr(a));
    ASSERT_EQ(0, xcomm_name_to_svc(&e.endp, &a, "@whatever"));
    EXPECT_EQ("0@0.0.0.0", addr(a));
    ASSERT_EQ(0, xcomm_name_to_svc(&e.endp, &a, "0@127.0.0.2"));
    EXPECT_EQ("0@127.0.0.2", addr(a));
    ASSERT_EQ(0, xcomm_name_to_svc(&e.endp, &a, "no_such_service_here@127.0.0.1"));
    EXPECT_EQ("10002@127.0.0.1", addr(a));
    ASSERT_EQ(0, xcomm_name_to_svc(&e.endp, &a, "localhost"));
    EXPECT_EQ("0@127.0.0.1", addr(a));
    ASSERT_EQ(0, xcomm_name_to_svc(&e.endp, &a, "77@"));
    EXPECT_EQ("77@0.0.0.0", addr(a));
    EXPECT_EQ(XCOMM_ERR_NAME, xcomm_name_to_svc(&e.endp, &a, "70000@127.0.0.1"));
    EXPECT_EQ(XCOMM_ERR_NAME, xcomm_name_to_svc(&e.endp, &a, "1@host.invalid"));
    EXPECT_EQ(XCOMM_ERR_NAME, xcomm_name_to_svc(&e.endp, &a, std::string(300, 'h').c_str()));

    Endp nodefault(0);
    EXPECT_EQ(XCOMM_ERR_NAME, xcomm_name_to_svc(&nodefault.endp, &a, "no_such_service_here@127.0.0.1"));
}

TEST(XcommOptions, ProcessWideSocketOptions)
{
    EXPECT_EQ(5242880, xcomm_get_sockopt(XCOMM_OPT_RCVBUF));
    EXPECT_EQ(2097152, xcomm_get_sockopt(XCOMM_OPT_SNDBUF));
    EXPECT_EQ(-1, xcomm_get_sockopt(XCOMM_OPT_KEEPIDLE));
    EXPECT_EQ(0, xcomm_set_sockopt(XCOMM_OPT_NODELAY, 5));
    EXPECT_EQ(1, xcomm_get_sockopt(XCOMM_OPT_NODELAY));
    EXPECT_EQ(XCOMM_ERR_SOCKOPT, xcomm_set_sockopt(0, 1));
    EXPECT_EQ(XCOMM_ERR_SOCKOPT, xcomm_set_sockopt(7, 1));

    // New sockets carry them: keep-alive times in whole seconds, rounded up.
    ASSERT_EQ(0, xcomm_set_sockopt(XCOMM_OPT_KEEPIDLE, 1500));
    ASSERT_EQ(0, xcomm_set_sockopt(XCOMM_OPT_KEEPINTVL, 3000));
    ASSERT_EQ(0, xcomm_set_sockopt(XCOMM_OPT_KEEPCNT, 4));
    {
        Endp e;
        int s = e.endp.fds[0].sock;
        int v = 0;
        socklen_t len = sizeof v;
        ASSERT_EQ(0, getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &v, &len));
        EXPECT_NE(0, v);
        ASSERT_EQ(0, getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &v, &len));
        EXPECT_NE(0, v);
        ASSERT_EQ(0, getsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &v, &len));
        EXPECT_EQ(2, v);
        ASSERT_EQ(0, getsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &v, &len));
        EXPECT_EQ(3, v);
        ASSERT_EQ(0, getsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &v, &len));
        EXPECT_EQ(4, v);
    }
    for (int o = XCOMM_OPT_NODELAY; o <= XCOMM_OPT_KEEPINTVL; ++o)
        xcomm_set_sockopt(o, -1);
}

TEST(XcommTls, CertificateDirectorySetsPathsAndHandshakesRefusePlainly)
{
    Endp e;
    ASSERT_EQ(0, xcomm_ssl_set_cert_dir("/etc/kes", &e.endp));
    EXPECT_STREQ("/etc/kes/cacert.pem", e.endp.ca_path);
    EXPECT_STREQ("/etc/kes/cert.pem", e.endp.cert_path);
    EXPECT_STREQ("/etc/kes/key.pem", e.endp.key_path);
    EXPECT_EQ(XCOMM_TLS_CONFIGURED, e.endp.tls_flags);
    EXPECT_EQ(XCOMM_TLS_VERIFY_PEER, e.endp.verify_mode);
    EXPECT_EQ(XCOMM_ERR_AUTH, xcomm_ssl_connect(&e.endp, &e.endp.fds[0]));
    EXPECT_EQ(XCOMM_ERR_AUTH, xcomm_ssl_accept(&e.endp, &e.endp.fds[0]));
    EXPECT_EQ(XCOMM_ERR_AUTH, xcomm_ssl_initialize_ctx(&e.endp));
}

TEST(XcommEndpoint, LifecycleAndArgumentChecks)
{
    xcomm_ctx ctx{};
    ASSERT_EQ(0, xcomm_ctx_init(&ctx));
    EXPECT_NE('\0', ctx.host_name[0]);
    xcomm_endp e1{}, e2{};
    EXPECT_EQ(XCOMM_ERR_ENDP, xcomm_endp_init(&ctx, &e1, "", 0, 4, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS));
    EXPECT_EQ(XCOMM_ERR_ENDP, xcomm_endp_init(&ctx, &e1, "", 1, 0, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS));
    ASSERT_EQ(0, xcomm_endp_init(&ctx, &e1, "", 2, 4, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_USE_POLL));
    ASSERT_EQ(0, xcomm_endp_addstream(&ctx, &e1, ""));
    EXPECT_EQ(2, e1.active_fds.cnt);
    EXPECT_EQ(1, e1.free_fds.cnt);
    EXPECT_EQ(XCOMM_HDR_SIZE, e1.peek_sz);
    EXPECT_EQ(XCOMM_MSGS_PER_PASS, e1.msgs_per_pass);
    EXPECT_EQ(4, e1.connect_attempts);
    EXPECT_EQ(XCOMM_RECONNECT_ON, e1.reconnect_allowed);
    ASSERT_EQ(0, xcomm_endp_init(&ctx, &e2, "0@127.0.0.1", 2, 4, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS));
    EXPECT_EQ(2, ctx.endp_cnt);
    EXPECT_NE(0, xcomm_endp_local_port(&e2));
    // Sending with nothing connected finds no connection and keeps the slot.
    xcomm_msg *m = xcomm_msg_alloc(1);
    m->hdr.type = XCOMM_MSG_REQ;
    EXPECT_EQ(XCOMM_ERR_FD, xcomm_send_msg(&ctx, &e1, m));
    EXPECT_EQ(4, e1.free_slots.cnt);
    m->hdr.type = 0;
    EXPECT_EQ(XCOMM_ERR_BADMSG, xcomm_send_msg(&ctx, &e1, m));
    m->hdr.type = XCOMM_MSG_REQ;
    m->sgl[0].iov_len = XCOMM_MAX_PAYLOAD + 1;
    EXPECT_EQ(XCOMM_ERR_BADMSG, xcomm_send_msg(&ctx, &e1, m));
    xcomm_msg_free(m);
    EXPECT_EQ(XCOMM_ERR_ENDP, xcomm_endp_release(&ctx, &e1));  // not shut down yet
    ASSERT_EQ(0, xcomm_endp_shutdown(&ctx, &e1));
    EXPECT_EQ(0, xcomm_endp_release(&ctx, &e1));
    EXPECT_EQ(1, ctx.endp_cnt);
    EXPECT_EQ(XCOMM_ERR_ENDP, xcomm_endp_shutdown(&ctx, &e1));
    EXPECT_EQ(0, xcomm_ctx_shutdown(&ctx));  // takes e2 down as well
    EXPECT_EQ(nullptr, e2.lock);
}

TEST(XcommEndpoint, OwnerSettingsKeepDefaultsWhereUnsaidAndRefuseAPeekBeyondTheBuffer)
{
    Endp e;
    auto my_alloc = [](xcomm_endp *, xcomm_fd *, const unsigned char *) -> xcomm_msg * { return nullptr; };
    const xcomm_endp_owner own = {.owner = &e, .alloc_cb = my_alloc, .peek_sz = XCOMM_HDR_PEEK_SIZE};
    ASSERT_EQ(0, xcomm_endp_set_owner(&e.endp, &own));
    EXPECT_EQ(&e, e.endp.owner);
    EXPECT_EQ(+my_alloc, e.endp.alloc_cb);
    EXPECT_EQ(&xcomm_msg_free, e.endp.free_cb);  // unsaid: the default stays
    EXPECT_EQ(XCOMM_HDR_PEEK_SIZE, e.endp.peek_sz);
    EXPECT_EQ(XCOMM_MSGS_PER_PASS, e.endp.msgs_per_pass);
    EXPECT_EQ(XCOMM_RECONNECT_OFF, e.endp.reconnect_allowed);

    // A peek the connection's buffer cannot hold, or shorter than a header,
    // is refused and changes nothing.
    for (int bad : {XCOMM_HDR_PEEK_SIZE + 1, XCOMM_HDR_SIZE - 1}) {
        const xcomm_endp_owner wrong = {.peek_sz = bad, .msgs_per_pass = 1, .reconnect = XCOMM_RECONNECT_ON};
        EXPECT_EQ(XCOMM_ERR_ENDP, xcomm_endp_set_owner(&e.endp, &wrong)) << bad;
        EXPECT_EQ(XCOMM_HDR_PEEK_SIZE, e.endp.peek_sz);
        EXPECT_EQ(XCOMM_MSGS_PER_PASS, e.endp.msgs_per_pass);
        EXPECT_EQ(&e, e.endp.owner);
    }
    xcomm_endp gone{};
    EXPECT_EQ(XCOMM_ERR_ENDP, xcomm_endp_set_owner(&gone, &own));
}
