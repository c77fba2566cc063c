// TLS on the transport: what the negotiate decides between two endpoints,
// messages of every shape through a session, peers whose certificates do not
// chain to the CA, contexts built from files that do not fit, and reconnects
// that make a new handshake. Everything that connects runs in a network
// namespace of its own (kes_netns.h): only there does a client reach the
// server from another address than 127.0.0.1.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>

#include "datamover/xcomm.h"
#include "datamover/xcomm_ssl.h"
#include "kes_netns.h"
#include "kes_tls.h"
#include "tests/unit/xcomm_proxy.h"
#include "tests/unit/xcomm_test_util.h"

using namespace xt;
using kes_test::tls_certs;

namespace {

constexpr const char *SRV_ADDR = "127.0.0.9";

// The transport's log lines and the server handshakes' outcomes, kept for
// the checks (one test at a time per process).
std::mutex g_mu;
std::string g_log;
std::vector<std::string> g_handshakes;  // "ok: ..." or "failed: ..."

void sink(void *, int level, const char *, int, const char *text)
{
    std::lock_guard<std::mutex> g(g_mu);
    if (level <= UTIL_LOG_INFO)
        g_log += text;
}

void on_tls(xcomm_endp *, xcomm_fd *, int rc, const char *text)
{
    std::lock_guard<std::mutex> g(g_mu);
    g_handshakes.push_back(std::string(rc == 0 ? "ok: " : "failed: ") + text);
}

struct Capture {
    Capture()
    {
        std::lock_guard<std::mutex> g(g_mu);
        g_log.clear();
        g_handshakes.clear();
        util_log_init(nullptr, nullptr, sink);
    }
    ~Capture() { util_log_init(nullptr, nullptr, nullptr); }
    static bool logged(const std::string &s)
    {
        std::lock_guard<std::mutex> g(g_mu);
        return g_log.find(s) != std::string::npos;
    }
    static std::vector<std::string> handshakes()
    {
        std::lock_guard<std::mutex> g(g_mu);
        return g_handshakes;
    }
    static std::string log()
    {
        std::lock_guard<std::mutex> g(g_mu);
        return g_log;
    }
};

enum Tls { NONE, CONFIGURED, REQUIRED };

void setup_tls(xcomm_endp *endp, Tls t, const std::string &dir)
{
    if (t == NONE)
        return;
    ASSERT_EQ(0, xcomm_ssl_set_cert_dir(dir.c_str(), endp));
    if (t == REQUIRED)
        endp->tls_flags |= XCOMM_TLS_REQUIRED;
}

bool fd_has_tls(const xcomm_endp &e) { return e.active_fds.head != nullptr && e.active_fds.head->ssl != nullptr; }

// A message whose payload is several buffers of the caller's.
xcomm_msg *gather_msg(std::vector<std::string> &parts)
{
    xcomm_msg *m = xcomm_msg_alloc(0);
    m->hdr.type = XCOMM_MSG_REQ;
    m->sgl_ents = static_cast<int32_t>(parts.size());
    for (size_t i = 0; i < parts.size(); ++i)
        m->sgl[i] = xcomm_sge{static_cast<uint32_t>(parts[i].size()), parts[i].data()};
    return m;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    return s;
}

}  // namespace

TEST(XcommTls, ContextCreationNamesWhatDoesNotFit)
{
    const auto &c = tls_certs();
    ASSERT_EQ("", c.error);
    kes_test::TempDir tmp;
    auto cp = [&](const std::string &from, const std::string &to) {
        kes_test::write_file(tmp / to, kes_test::read_file(from));
    };
    // A directory with the client's certificate but the revoked client's key.
    ASSERT_EQ(0, system(("mkdir -p " + (tmp / "mismatch") + " " + (tmp / "nocrl") + " " + (tmp / "noca") + " " +
                         (tmp / "locked")).c_str()));
    for (const char *f : {"cacert.pem", "cert.pem"}) {
        cp(c.of("client") + "/" + f, std::string("mismatch/") + f);
        cp(c.of("client") + "/" + f, std::string("nocrl/") + f);
        cp(c.of("client") + "/" + f, std::string("locked/") + f);
    }
    cp(c.of("revoked") + "/key.pem", "mismatch/key.pem");
    cp(c.of("client") + "/key.pem", "nocrl/key.pem");
    cp(c.of("client") + "/cert.pem", "noca/cert.pem");
    cp(c.of("client") + "/key.pem", "noca/key.pem");
    kes_test::write_file(tmp / "garbage.pem", "-----BEGIN X509 CRL-----\nnot a list\n-----END X509 CRL-----\n");
    // A key under a pass phrase is refused, never asked about.
    ASSERT_EQ(0, system(("openssl pkey -in " + c.of("client") + "/key.pem -aes256 -passout pass:secret -out " +
                         (tmp / "locked/key.pem") + " 2>/dev/null")
                            .c_str()));
    struct Case {
        std::string dir, crl, expect;
        int rc;
    } cases[] = {
        {c.of("client"), "", "", 0},
        {c.of("client"), c.of("client") + "/crl.pem", "", 0},
        {tmp / "absent", "", "Can't read SSL certificate file " + (tmp / "absent/cert.pem"), XCOMM_ERR_AUTH},
        {tmp / "mismatch", "", "SSL Key and Certificate don't match", XCOMM_ERR_AUTH},
        {tmp / "locked", "", "Can't read SSL keyfile " + (tmp / "locked/key.pem"), XCOMM_ERR_AUTH},
        {tmp / "nocrl", tmp / "garbage.pem", "PEM_read_bio_X509_CRL " + (tmp / "garbage.pem") + " failed",
         XCOMM_ERR_AUTH},
        {tmp / "nocrl", tmp / "absent.pem", "BIO_read_filename " + (tmp / "absent.pem") + " failed", XCOMM_ERR_AUTH},
        {tmp / "noca", "", "Can't read SSL CA certificate " + (tmp / "noca/cacert.pem"), XCOMM_ERR_AUTH},
    };
    for (const Case &k : cases) {
        Capture cap;
        Client cli;
        ASSERT_EQ(0, xcomm_ssl_set_cert_dir(k.dir.c_str(), &cli.endp));
        if (!k.crl.empty()) {
            ASSERT_EQ(0, xcomm_ssl_set_crl(k.crl.c_str(), &cli.endp));
        }
        EXPECT_EQ(k.rc, xcomm_ssl_initialize_ctx(&cli.endp)) << k.dir;
        EXPECT_EQ(k.rc == 0, cli.endp.ssl_ctx != nullptr) << k.dir;
        if (!k.expect.empty()) {
            EXPECT_TRUE(Capture::logged(k.expect)) << k.expect << "\nlogged:\n" << Capture::log();
        }
    }
    // A server's certificate must carry an RSA key: the cipher's key
    // exchange needs one. The script's appliance has one, its clients not.
    char why[512];
    void *ctx = nullptr;
    EXPECT_EQ(0, xcomm_ssl_ctx_new(c.of("appliance").c_str(), nullptr, 1, &ctx, why, sizeof why));
    ASSERT_NE(nullptr, ctx);
    Client shared;
    EXPECT_EQ(0, xcomm_ssl_use_ctx(&shared.endp, ctx, 1));
    EXPECT_EQ(XCOMM_TLS_CONFIGURED | XCOMM_TLS_REQUIRED, shared.endp.tls_flags);
    xcomm_ssl_ctx_free(ctx);  // the endpoint keeps its own reference
    ctx = nullptr;
    EXPECT_EQ(XCOMM_ERR_NOSUP, xcomm_ssl_ctx_new(c.of("client").c_str(), nullptr, 1, &ctx, why, sizeof why));
    EXPECT_EQ(nullptr, ctx);
    EXPECT_NE(std::string(why).find("has no RSA key"), std::string::npos) << why;
}

TEST(XcommTls, NegotiateChoosesTlsClearOrRefusal)
{
    KES_IN_TLS_NETNS();
    const auto &c = tls_certs();
    ASSERT_EQ("", c.error);
    struct Case {
        const char *what;
        Tls client, server;
        const char *addr;
        int open_rc;
        bool tls;
    } cases[] = {
        {"neither side has TLS", NONE, NONE, SRV_ADDR, 0, false},
        {"a client that can but need not, against a plain server", CONFIGURED, NONE, SRV_ADDR, 0, false},
        {"both can, neither requires", CONFIGURED, CONFIGURED, SRV_ADDR, 0, false},
        {"the server requires, the client can", CONFIGURED, REQUIRED, SRV_ADDR, 0, true},
        {"the client requires, the server can", REQUIRED, CONFIGURED, SRV_ADDR, 0, true},
        {"both require", REQUIRED, REQUIRED, SRV_ADDR, 0, true},
        {"a client that cannot, against a requiring server", NONE, REQUIRED, SRV_ADDR, 0, false},
        {"a requiring client against a server without TLS", REQUIRED, NONE, SRV_ADDR, XCOMM_ERR_NEGOTIATE, false},
        {"127.0.0.1 never uses TLS", CONFIGURED, REQUIRED, "127.0.0.1", 0, false},
        {"a requiring client on 127.0.0.1 refuses the clear answer", REQUIRED, REQUIRED, "127.0.0.1",
         XCOMM_ERR_NEGOTIATE, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Capture cap;
        Server srv(4, 16, 0, k.addr);
        setup_tls(&srv.endp, k.server, c.of("appliance"));
        srv.endp.tls_cb = on_tls;
        srv.start();
        Client cli;
        setup_tls(&cli.endp, k.client, c.of("client"));
        ASSERT_EQ(k.open_rc, cli.open(srv.remote())) << Capture::log();
        if (k.open_rc != 0)
            continue;
        std::string ans;
        ASSERT_EQ(0, cli.call("ping", &ans));
        EXPECT_EQ("ping", ans);
        EXPECT_EQ(k.tls, fd_has_tls(cli.endp));
        auto hs = Capture::handshakes();
        EXPECT_EQ(k.tls ? 1u : 0u, hs.size());
        if (k.tls && !hs.empty()) {
            EXPECT_EQ("ok: TLSv1.2 AES256-SHA256, peer /CN=KESTRALON client", hs[0]);
        }
    }
    // A server that always answers in clear: a requiring client asks for TLS
    // (unless it is on 127.0.0.1, where it does not even ask), refuses the
    // plain answer and says why.
    struct Raw {
        const char *addr;
        uint16_t asked;
        const char *logged;
    } raws[] = {
        {SRV_ADDR, XCOMM_NEG_TLS, "SSL not supported by server"},
        {"127.0.0.1", XCOMM_NEG_PLAIN, "connections from 127.0.0.1 never use TLS"},
    };
    for (const Raw &k : raws) {
        SCOPED_TRACE(k.addr);
        Capture cap;
        RawServer raw(k.addr);
        raw.serve_negotiate(5);
        Client cli;
        setup_tls(&cli.endp, REQUIRED, c.of("client"));
        EXPECT_EQ(XCOMM_ERR_NEGOTIATE, cli.open(raw.remote()));
        raw.join();
        EXPECT_EQ(k.asked, raw.client_neg.rpc_id);
        EXPECT_EQ(XCOMM_CAP_TLS, raw.client_neg.sz_l);
        EXPECT_TRUE(Capture::logged(k.logged)) << Capture::log();
    }
}

TEST(XcommTls, MessagesOfEveryShapeCrossASession)
{
    KES_IN_TLS_NETNS();
    const auto &c = tls_certs();
    ASSERT_EQ("", c.error);
    Server srv(4, 64, 0, SRV_ADDR);
    setup_tls(&srv.endp, REQUIRED, c.of("appliance"));
    srv.endp.peek_sz = 40;  // replies split after the 16 bytes of a record head
    srv.endp.msgs_per_pass = 1;
    srv.start();
    Client cli(64, XCOMM_RECONNECT_OFF, 1);
    cli.endp.peek_sz = 36;
    setup_tls(&cli.endp, REQUIRED, c.of("client"));
    ASSERT_EQ(0, cli.open(srv.remote()));
    ASSERT_TRUE(fd_has_tls(cli.endp));
    // Sizes around the peek split, the TLS record size and the 16-bit
    // boundary of the length field, up to several MiB.
    std::vector<size_t> sizes = {0, 1, 11, 12, 13, 16, 17, 24, 4096, 16383, 16384, 16385, 65535, 65536, 65537,
                                 1 << 20, (3 << 20) + 5};
    for (size_t n : sizes) {
        std::string ans, q = pattern(n, static_cast<unsigned>(n));
        ASSERT_EQ(0, cli.call(q, &ans)) << n;
        EXPECT_TRUE(ans == q) << "echo of " << n << " bytes differs";
    }
    // Many in flight at once: several records wait in a session at a time.
    std::map<xcomm_msg *, std::string> out;
    for (int i = 0; i < 40; ++i) {
        std::string q = pattern(static_cast<size_t>(i) * 977 + 3, static_cast<unsigned>(i));
        xcomm_msg *m = make_msg(XCOMM_MSG_REQ, q);
        ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, m));
        out[m] = q;
    }
    // And payloads gathered from buffers of the caller's.
    std::vector<std::string> parts = {pattern(7, 1), pattern(100000, 2), pattern(3, 3)};
    xcomm_msg *g = gather_msg(parts);
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, g));
    out[g] = parts[0] + parts[1] + parts[2];
    while (!out.empty()) {
        xcomm_msg *m = nullptr;
        struct timeval tv = {60, 0};  // only a hang runs into this
        ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &m, &tv, XCOMM_WAIT_PENDING));
        ASSERT_TRUE(out.count(m));
        ASSERT_EQ(XCOMM_MSG_DONE, m->status);
        EXPECT_TRUE(text_of(m->rmsg) == out[m]) << "echo of " << out[m].size() << " bytes differs";
        out.erase(m);
        xcomm_msg_free(m->rmsg);
        xcomm_msg_free(m);
    }
    EXPECT_EQ(0, srv.errors.load());
}

TEST(XcommTls, MessageWaitingInsideTheSessionIsNotSleptThrough)
{
    KES_IN_TLS_NETNS();
    const auto &c = tls_certs();
    ASSERT_EQ("", c.error);
    // With the server paused, a datagram and a request arrive together; the
    // server takes one message per pass. With a peek of 40 bytes its peek of
    // the first takes in part of the second's header, so the rest of that
    // header waits decrypted in the session; with a peek of a bare header
    // the second message's records wait read ahead and not yet decrypted.
    // Either way the socket has nothing more to say.
    for (int peek : {40, XCOMM_HDR_SIZE}) {
        SCOPED_TRACE(peek);
        Server srv(4, 16, 0, SRV_ADDR);
        setup_tls(&srv.endp, REQUIRED, c.of("appliance"));
        srv.endp.peek_sz = peek;
        srv.endp.msgs_per_pass = 1;
        srv.start();
        Client cli;
        setup_tls(&cli.endp, REQUIRED, c.of("client"));
        ASSERT_EQ(0, cli.open(srv.remote()));
        srv.halt = true;
        srv.thr.join();
        xcomm_msg *d = make_msg(XCOMM_MSG_DGRAM, "");
        xcomm_msg *r = make_msg(XCOMM_MSG_REQ, "");
        ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, d));
        ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, r));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both are in the server's socket
        srv.halt = false;
        srv.start();
        xcomm_msg *w = r;
        struct timeval tv = {10, 0};  // the answer comes at once, or never
        ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, &tv, XCOMM_WAIT_PENDING));
        EXPECT_EQ(XCOMM_MSG_DONE, w->status);
        xcomm_msg_free(w->rmsg);
        xcomm_msg_free(w);
        w = d;  // a datagram comes back once written
        ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING));
        xcomm_msg_free(d);
    }
}

TEST(XcommTls, PeerCertificateFromAnotherCaFailsTheOpen)
{
    KES_IN_TLS_NETNS();
    const auto &c = tls_certs();
    ASSERT_EQ("", c.error);
    // The server's certificate comes from a CA the client does not trust,
    // then the client's from one the server does not trust (the client
    // itself trusts the right CA).
    kes_test::TempDir tmp;
    kes_test::write_file(tmp / "cacert.pem", kes_test::read_file(c.of("client") + "/cacert.pem"));
    for (const char *f : {"cert.pem", "key.pem"})
        kes_test::write_file(tmp / f, kes_test::read_file(c.other_of("client") + "/" + f));
    for (bool server_foreign : {true, false}) {
        SCOPED_TRACE(server_foreign ? "foreign server" : "foreign client");
        Capture cap;
        Server srv(4, 16, 0, SRV_ADDR);
        setup_tls(&srv.endp, REQUIRED, server_foreign ? c.other_of("appliance") : c.of("appliance"));
        srv.endp.tls_cb = on_tls;
        srv.start();
        Client cli;
        setup_tls(&cli.endp, REQUIRED, server_foreign ? c.of("client") : tmp.path());
        EXPECT_EQ(XCOMM_ERR_NEGOTIATE, cli.open(srv.remote()));
        EXPECT_TRUE(Capture::logged("xcomm_ssl_connect failed: rc=" + std::to_string(XCOMM_ERR_AUTH)))
            << Capture::log();
        EXPECT_FALSE(fd_has_tls(cli.endp));
        if (!server_foreign) {
            for (int i = 0; i < 200 && Capture::handshakes().empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            auto hs = Capture::handshakes();
            ASSERT_EQ(1u, hs.size());
            EXPECT_EQ(0u, hs[0].rfind("failed: peer certificate refused: unable to get local issuer certificate", 0))
                << hs[0];
        }
    }
}

TEST(XcommTls, ReconnectAfterCutsHandshakesAgainAndLosesNothing)
{
    KES_IN_TLS_NETNS();
    const auto &c = tls_certs();
    ASSERT_EQ("", c.error);
    Capture cap;
    Server srv(8, 64, 30, SRV_ADDR);
    setup_tls(&srv.endp, REQUIRED, c.of("appliance"));
    srv.endp.tls_cb = on_tls;
    srv.start();
    Proxy proxy(srv.port, SRV_ADDR);
    // Cuts land at odd offsets of the encrypted stream, inside records.
    proxy.cut_after = {9001, 23011, 40009};
    Client cli(32, XCOMM_RECONNECT_ON, 1);
    setup_tls(&cli.endp, REQUIRED, c.of("client"));
    ASSERT_EQ(0, cli.open(proxy.remote()));

    constexpr int total = 300;
    constexpr int window = 8;
    std::map<xcomm_msg *, std::string> out;
    std::set<std::string> answered;
    int next = 0;
    while (next < total || !out.empty()) {
        while (next < total && static_cast<int>(out.size()) < window) {
            std::string text = "request-" + std::to_string(next) + pattern(static_cast<size_t>(next % 53) * 61, 9);
            xcomm_msg *m = make_msg(XCOMM_MSG_REQ, text);
            ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, m));
            out[m] = text;
            ++next;
        }
        xcomm_msg *m = nullptr;
        struct timeval tv = {60, 0};  // only a hang runs into this
        int rc = xcomm_endp_wait(&cli.ctx, &cli.endp, &m, &tv, XCOMM_WAIT_PENDING);
        ASSERT_EQ(0, rc) << out.size() << " outstanding\n" << Capture::log();
        ASSERT_TRUE(out.count(m));
        ASSERT_EQ(XCOMM_MSG_DONE, m->status);
        EXPECT_TRUE(text_of(m->rmsg) == out[m]);
        EXPECT_TRUE(answered.insert(out[m]).second);
        out.erase(m);
        xcomm_msg_free(m->rmsg);
        xcomm_msg_free(m);
    }
    EXPECT_EQ(total, static_cast<int>(answered.size()));
    EXPECT_EQ(3, proxy.cuts.load());
    EXPECT_EQ(3u, cli.endp.reconnect_count);
    EXPECT_TRUE(fd_has_tls(cli.endp));
    // One handshake for the open and one after every reconnect, all good.
    auto hs = Capture::handshakes();
    EXPECT_EQ(4u, hs.size());
    for (const std::string &h : hs)
        EXPECT_EQ(0u, h.rfind("ok: ", 0)) << h;
    std::lock_guard<std::mutex> g(srv.mu);
    std::set<std::string> seen(srv.req_texts.begin(), srv.req_texts.end());
    EXPECT_EQ(srv.req_texts.size(), seen.size());
    EXPECT_EQ(static_cast<size_t>(total), srv.req_texts.size());
}
