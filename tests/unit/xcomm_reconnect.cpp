// Broken connections: with reconnection agreed, a connection cut in the
// middle of a stream of requests is re-established and nothing is lost or
// delivered twice; without it, waiting callers get their requests back
// cancelled and an error.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "datamover/xcomm.h"
#include "tests/unit/xcomm_proxy.h"
#include "tests/unit/xcomm_test_util.h"

using namespace xt;

TEST(XcommReconnect, CutConnectionsUnderRequestStreamLoseAndDuplicateNothing)
{
    if (getenv("XCOMM_TEST_LOG"))
        util_log_init(nullptr, nullptr, [](void *, int level, const char *, int line, const char *text) {
            if (level <= 6)
                fprintf(stderr, "[%d:%d] %s", level, line, text);
        });
    xcomm_set_sockopt(XCOMM_OPT_NODELAY, 1);
    Server srv(8, 64, 30);
    srv.start();
    Proxy proxy(srv.port);
    // Cuts land at odd offsets, inside headers and bodies alike.
    proxy.cut_after = {5003, 7777, 12011, 3001};
    Client cli(32, XCOMM_RECONNECT_ON, 1);
    ASSERT_EQ(0, cli.open(proxy.remote()));

    constexpr int total = 600;
    constexpr int window = 12;
    std::map<xcomm_msg *, std::string> out;
    std::set<std::string> answered;
    int next = 0, failures = 0;
    while ((next < total || !out.empty()) && failures == 0) {
        while (next < total && static_cast<int>(out.size()) < window) {
            std::string text = "request-" + std::to_string(next) + std::string(next % 97 * 13, 'p');
            xcomm_msg *m = make_msg(XCOMM_MSG_REQ, text, static_cast<uint64_t>(next));
            ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, m));
            out[m] = text;
            ++next;
        }
        xcomm_msg *m = nullptr;
        struct timeval tv = {20, 0};
        int rc = xcomm_endp_wait(&cli.ctx, &cli.endp, &m, &tv, XCOMM_WAIT_PENDING);
        if (rc != 0) {
            ADD_FAILURE() << "wait failed: " << rc << " with " << out.size() << " outstanding";
            ++failures;
            break;
        }
        ASSERT_TRUE(out.count(m));
        ASSERT_EQ(XCOMM_MSG_DONE, m->status) << out[m];
        ASSERT_NE(nullptr, m->rmsg);
        EXPECT_EQ(out[m], text_of(m->rmsg));
        EXPECT_TRUE(answered.insert(out[m]).second);
        out.erase(m);
        xcomm_msg_free(m->rmsg);
        xcomm_msg_free(m);
    }
    EXPECT_EQ(total, static_cast<int>(answered.size()));
    EXPECT_EQ(4, proxy.cuts.load());
    EXPECT_GE(cli.endp.reconnect_count, 4u);
    // The server's owner saw every request exactly once.
    for (int i = 0; i < 100 && srv.reqs < total; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<std::mutex> g(srv.mu);
    std::set<std::string> seen(srv.req_texts.begin(), srv.req_texts.end());
    EXPECT_EQ(srv.req_texts.size(), seen.size());
    EXPECT_EQ(static_cast<size_t>(total), srv.req_texts.size());
    for (auto &kv : out)
        xcomm_msg_free(kv.first);
}

TEST(XcommReconnect, WithoutReconnectionPendingRequestComesBackCancelled)
{
    Server srv;
    srv.answer = [](xcomm_msg *) -> xcomm_msg * { return nullptr; };
    srv.start();
    Proxy proxy(srv.port);
    proxy.cut_after = {40};  // negotiate (24) and a little of the request
    Client cli(8, XCOMM_RECONNECT_OFF);
    ASSERT_EQ(0, cli.open(proxy.remote()));
    xcomm_msg *m = make_msg(XCOMM_MSG_REQ, std::string(100, 'r'));
    int rc = xcomm_send_msg(&cli.ctx, &cli.endp, m);
    if (rc == 0) {
        xcomm_msg *w = m;
        rc = xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, XCOMM_WAIT_PENDING);
        EXPECT_LT(rc, 0);
        w = m;
        ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING));
        ASSERT_EQ(m, w);
        EXPECT_EQ(XCOMM_MSG_CANCELLED, w->status);
        EXPECT_EQ(nullptr, w->fd);
    }
    xcomm_msg_free(m);
    // Nothing is left to wait for, and the endpoint says so at once.
    xcomm_msg *none = nullptr;
    EXPECT_EQ(XCOMM_ERR_NOMSG, xcomm_endp_wait(&cli.ctx, &cli.endp, &none, nullptr, XCOMM_WAIT_PENDING));
    EXPECT_EQ(0u, cli.endp.reconnect_count);
}

TEST(XcommReconnect, ServerDroppingTheConnectionCancelsWaitingRequest)
{
    Server srv;
    // The owner closes the connection instead of answering.
    srv.answer = nullptr;
    std::atomic<xcomm_fd *> victim{nullptr};
    srv.answer = [&](xcomm_msg *req) -> xcomm_msg * {
        victim = req->fd;
        return nullptr;
    };
    srv.start();
    Client cli;
    ASSERT_EQ(0, cli.open(srv.remote()));
    xcomm_msg *m = make_msg(XCOMM_MSG_REQ, "close on me");
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, m));
    std::thread closer([&] {
        for (int i = 0; i < 500 && victim == nullptr; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (victim != nullptr)
            xcomm_endp_close_fd(&srv.ctx, &srv.endp, victim);
    });
    xcomm_msg *w = m;
    int rc = xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, XCOMM_WAIT_PENDING);
    closer.join();
    EXPECT_EQ(XCOMM_ERR_CLOSED, rc);
    w = m;
    ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING));
    ASSERT_EQ(m, w);
    EXPECT_EQ(XCOMM_MSG_CANCELLED, w->status);
    xcomm_msg_free(w);
}

TEST(XcommReconnect, ServerKeysSkipZeroLowBits)
{
    // Keys come from the endpoint's counter, 15 bits, never 0.
    Server srv(4, 8, 30);
    srv.endp.next_reconnect_key = 32767;
    srv.start();
    std::vector<uint32_t> keys;
    for (int i = 0; i < 3; ++i) {
        Client cli(4, XCOMM_RECONNECT_ON);
        ASSERT_EQ(0, cli.open(srv.remote()));
        keys.push_back(cli.endp.fds[0].reconnect.key);
        EXPECT_EQ(1, cli.endp.fds[0].reconnect.allowed);
    }
    EXPECT_EQ((std::vector<uint32_t>{32767, 1, 2}), keys);
}

namespace {

// Plays the server of a reconnect by hand: it has seen the client's first
// request only, and tells the client so in its reconnect reply.
struct ReconnectScript {
    RawServer raw;
    xcomm_hdr reconnect_req{};
    xcomm_hdr resent{};
    std::vector<unsigned char> resent_body;
    bool got_resend = false;

    void run(bool expect_resend)
    {
        raw.thr = std::thread([this, expect_resend] {
            xcomm_hdr h;
            EXPECT_TRUE(raw.read_msg(&h));  // REQ 1
            EXPECT_TRUE(raw.read_msg(&h));  // REQ 2: taken to be lost with the connection
            struct linger l = {1, 0};
            setsockopt(raw.csock, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close(raw.csock);
            raw.csock = accept(raw.lsock, nullptr, nullptr);
            unsigned char b[XCOMM_HDR_SIZE];
            if (raw.read_exact(b, sizeof b) != 0)
                return;
            xcomm_hdr_decode(b, &reconnect_req);
            // The new key 8; last sent 0 (the connect reply), last received 1 (REQ 1).
            raw.send_hdr(kes_test::server_negotiate_reply(XCOMM_NEG_RECONNECT, 8, reconnect_req.tag, 1, 2));
            if (!expect_resend)
                return;
            got_resend = raw.read_msg(&resent, &resent_body);
            // Now answer both requests, in order.
            raw.send_hdr(data_hdr(XCOMM_MSG_RSP, 2, 0, 5, 1));
            raw.send_bytes("r1", 2);
            raw.send_hdr(data_hdr(XCOMM_MSG_RSP, 2, 1, 6, 2));
            raw.send_bytes("r2", 2);
        });
    }
};

}  // namespace

TEST(XcommReconnect, ClientResendsWhatTheServerLacksWithItsNumber)
{
    ReconnectScript s;
    s.raw.serve_negotiate(7);
    Client cli(8, XCOMM_RECONNECT_ON);
    ASSERT_EQ(0, cli.open(s.raw.remote()));
    s.raw.join();
    EXPECT_EQ(XCOMM_CAP_RECONNECT, s.raw.client_neg.sz_l);
    xcomm_msg *r1 = make_msg(XCOMM_MSG_REQ, "first");
    xcomm_msg *r2 = make_msg(XCOMM_MSG_REQ, "second");
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, r1));
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, r2));
    s.run(true);
    xcomm_msg *w = r1;
    ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, XCOMM_WAIT_PENDING));
    w = r2;
    ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, XCOMM_WAIT_PENDING));
    s.raw.join();
    // The reconnect negotiate carried the identity and both counters.
    EXPECT_EQ(XCOMM_NEG_RECONNECT, s.reconnect_req.sz_u);
    EXPECT_EQ(7, s.reconnect_req.sz_l);
    EXPECT_EQ(0x1234u, s.reconnect_req.tag);
    EXPECT_EQ(3u, s.reconnect_req.seq_no);
    EXPECT_EQ(1u, s.reconnect_req.gen_no);
    // Only the second request went again, under its old number.
    ASSERT_TRUE(s.got_resend);
    EXPECT_EQ(XCOMM_MSG_REQ, s.resent.type);
    EXPECT_EQ(2u, s.resent.seq_no);
    EXPECT_EQ("second", std::string(s.resent_body.begin(), s.resent_body.end()));
    EXPECT_EQ(0, r1->retries);
    EXPECT_EQ(1, r2->retries);
    EXPECT_EQ("r1", text_of(r1->rmsg));
    EXPECT_EQ("r2", text_of(r2->rmsg));
    EXPECT_EQ(8u, cli.endp.fds[0].reconnect.key);
    EXPECT_EQ(1u, cli.endp.reconnect_count);
    for (xcomm_msg *m : {r1, r2}) {
        xcomm_msg_free(m->rmsg);
        xcomm_msg_free(m);
    }
}

TEST(XcommReconnect, RequestWhoseBuffersAreReleasedCannotBeResent)
{
    ReconnectScript s;
    s.raw.serve_negotiate(7);
    Client cli(8, XCOMM_RECONNECT_ON);
    ASSERT_EQ(0, cli.open(s.raw.remote()));
    s.raw.join();
    xcomm_msg *r1 = make_msg(XCOMM_MSG_REQ, "first");
    xcomm_msg *r2 = make_msg(XCOMM_MSG_REQ, "second");
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, r1));
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, r2));
    r2->flag |= XCOMM_MSG_BUFS_RELEASED;
    s.run(false);
    xcomm_msg *w = r1;
    EXPECT_LT(xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, XCOMM_WAIT_PENDING), 0);
    s.raw.join();
    for (xcomm_msg *m : {r1, r2}) {
        w = m;
        ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING));
        ASSERT_EQ(m, w);
        EXPECT_EQ(XCOMM_MSG_CANCELLED, w->status);
        xcomm_msg_free(w);
    }
}
