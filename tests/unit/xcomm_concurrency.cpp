// Several threads driving one endpoint: whichever thread is inside the
// readiness wait does the I/O for all, and nobody waits forever for a
// message another thread completed.
#include <gtest/gtest.h>

#include "datamover/xcomm.h"
#include "tests/unit/xcomm_test_util.h"

using namespace xt;

TEST(XcommConcurrency, TwoThreadsSendAndWaitOnOneClientEndpoint)
{
    xcomm_set_sockopt(XCOMM_OPT_NODELAY, 1);
    Server srv;
    srv.start();
    xcomm_ctx ctx{};
    xcomm_endp endp{};
    ASSERT_EQ(0, xcomm_ctx_init(&ctx));
    ASSERT_EQ(0, xcomm_endp_init(&ctx, &endp, "", 2, 16, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS));
    ASSERT_EQ(0, xcomm_endp_addstream(&ctx, &endp, ""));
    const xcomm_endp_owner own = {.msgs_per_pass = 1};
    ASSERT_EQ(0, xcomm_endp_set_owner(&endp, &own));
    ASSERT_EQ(0, xcomm_endp_open(&ctx, &endp, srv.remote().c_str()));

    constexpr int per_thread = 150;
    std::atomic<int> good{0}, bad{0};
    auto worker = [&](int id) {
        for (int i = 0; i < per_thread; ++i) {
            std::string text = "t" + std::to_string(id) + "-" + std::to_string(i);
            xcomm_msg *m = make_msg(XCOMM_MSG_REQ, text);
            int rc;
            while ((rc = xcomm_send_msg(&ctx, &endp, m)) == XCOMM_ERR_BUSY)
                std::this_thread::yield();
            if (rc != 0) {
                bad++;
                xcomm_msg_free(m);
                continue;
            }
            xcomm_msg *w = m;
            rc = xcomm_endp_wait(&ctx, &endp, &w, nullptr, XCOMM_WAIT_PENDING);
            if (rc == 0 && w == m && w->status == XCOMM_MSG_DONE && w->rmsg != nullptr && text_of(w->rmsg) == text)
                good++;
            else
                bad++;
            if (rc == 0 && w->rmsg != nullptr)
                xcomm_msg_free(w->rmsg);
            xcomm_msg_free(m);
        }
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join();
    b.join();
    EXPECT_EQ(2 * per_thread, good.load());
    EXPECT_EQ(0, bad.load());
    EXPECT_FALSE(xcomm_endp_busy(&endp));
    xcomm_ctx_shutdown(&ctx);
}

TEST(XcommConcurrency, ServerEndpointWaitedOnByTwoThreads)
{
    Server srv(8, 64);
    std::thread second([&] { srv.run(); });
    srv.start();
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int c = 0; c < 3; ++c)
        clients.emplace_back([&, c] {
            Client cli;
            if (cli.open(srv.remote()) != 0)
                return;
            for (int i = 0; i < 40; ++i) {
                std::string ans, q = "c" + std::to_string(c) + "/" + std::to_string(i);
                if (cli.call(q, &ans) == 0 && ans == q)
                    good++;
            }
        });
    for (auto &t : clients)
        t.join();
    srv.halt = true;
    second.join();
    srv.stop();
    EXPECT_EQ(120, good.load());
}
