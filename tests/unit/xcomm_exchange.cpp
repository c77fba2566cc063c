// Client and server endpoints exchanging messages over loopback, and peers
// that misbehave.
#include <gtest/gtest.h>

#include "datamover/xcomm.h"
#include "tests/unit/xcomm_test_util.h"

using namespace xt;

namespace {

struct timeval ms_tv(int ms) { return timeval{ms / 1000, (ms % 1000) * 1000}; }

// Waits on the client for any completed message within a few seconds.
[[maybe_unused]] xcomm_msg *wait_any(Client &c, int ms = 5000)
{
    xcomm_msg *m = nullptr;
    struct timeval tv = ms_tv(ms);
    int rc = xcomm_endp_wait(&c.ctx, &c.endp, &m, &tv, 0);
    return rc == 0 ? m : nullptr;
}

}  // namespace

// ---------------------------------------------------------------- exchanges

TEST(XcommExchange, RequestResponseNotifyAndDatagram)
{
    Server srv;
    srv.start();
    Client cli;
    ASSERT_EQ(0, cli.open(srv.remote()));

    for (int i = 0; i < 20; ++i) {
        std::string ans;
        std::string q = "question " + std::to_string(i);
        ASSERT_EQ(0, cli.call(q, &ans));
        EXPECT_EQ(q, ans);
    }

    // A NOTIFY completes when the server's ACK arrives, with its tag intact.
    xcomm_msg *n = make_msg(XCOMM_MSG_NOTIFY, "note", 0x0102030405060708ULL);
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, n));
    xcomm_msg *w = n;
    ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, 1));
    EXPECT_EQ(n, w);
    EXPECT_EQ(XCOMM_MSG_DONE, w->status);
    EXPECT_EQ(0x0102030405060708ULL, w->hdr.tag);
    xcomm_msg_free(w);

    // A DGRAM comes back to its sender once written.
    xcomm_msg *d = make_msg(XCOMM_MSG_DGRAM, "fire and forget");
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, d));
    w = d;
    ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, 1));
    EXPECT_EQ(XCOMM_MSG_DONE, w->status);
    xcomm_msg_free(w);

    // The server delivered both and saw every RSP acknowledged.
    for (int i = 0; i < 200 && (srv.dgrams.empty() || srv.acked_rsps < 20); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
        std::lock_guard<std::mutex> g(srv.mu);
        ASSERT_EQ(1u, srv.notifies.size());
        EXPECT_EQ("note", srv.notifies[0]);
        ASSERT_EQ(1u, srv.dgrams.size());
        EXPECT_EQ("fire and forget", srv.dgrams[0]);
    }
    EXPECT_EQ(20, srv.acked_rsps.load());
    EXPECT_FALSE(xcomm_endp_busy(&cli.endp));
}

TEST(XcommExchange, LargestPayloadAndZeroPayloadRoundTrip)
{
    Server srv(4, 8);
    srv.start();
    Client cli;
    ASSERT_EQ(0, cli.open(srv.remote()));

    xcomm_msg *m = xcomm_msg_alloc(XCOMM_MAX_PAYLOAD);
    ASSERT_NE(nullptr, m);
    unsigned char *p = xcomm_msg_data(m);
    for (uint32_t i = 0; i < XCOMM_MAX_PAYLOAD; ++i)
        p[i] = static_cast<unsigned char>(i * 7 + (i >> 13));
    m->hdr.type = XCOMM_MSG_REQ;
    ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, m));
    xcomm_msg *w = m;
    ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, 1));
    ASSERT_NE(nullptr, w->rmsg);
    EXPECT_EQ(XCOMM_MAX_PAYLOAD, xcomm_hdr_get_size(&w->rmsg->hdr));
    ASSERT_EQ(XCOMM_MAX_PAYLOAD, w->rmsg->sgl[0].iov_len);
    EXPECT_EQ(0, memcmp(p, w->rmsg->sgl[0].iov_base, XCOMM_MAX_PAYLOAD));
    xcomm_msg_free(w->rmsg);
    xcomm_msg_free(w);

    std::string ans = "x";
    ASSERT_EQ(0, cli.call("", &ans));
    EXPECT_EQ("", ans);
}

TEST(XcommExchange, GatherEntriesArriveConcatenated)
{
    Server srv;
    srv.start();
    Client cli;
    ASSERT_EQ(0, cli.open(srv.remote()));
    // Three and four entries exceed one gather write; the engine splits them.
    for (int ents = 1; ents <= XCOMM_MAX_SGL; ++ents) {
        std::vector<std::string> parts = {"alpha-", "beta-", "gamma-", "delta"};
        xcomm_msg *m = xcomm_msg_alloc(0);
        std::string expect;
        for (int i = 0; i < ents; ++i) {
            m->sgl[i].iov_base = parts[i].data();
            m->sgl[i].iov_len = static_cast<uint32_t>(parts[i].size());
            expect += parts[i];
        }
        m->sgl_ents = ents;
        m->hdr.type = XCOMM_MSG_REQ;
        ASSERT_EQ(0, xcomm_send_msg(&cli.ctx, &cli.endp, m));
        xcomm_msg *w = m;
        ASSERT_EQ(0, xcomm_endp_wait(&cli.ctx, &cli.endp, &w, nullptr, 1));
        ASSERT_NE(nullptr, w->rmsg);
        EXPECT_EQ(expect, text_of(w->rmsg));
        xcomm_msg_free(w->rmsg);
        xcomm_msg_free(w);
    }
}
