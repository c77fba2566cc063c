// Admission of connections: limits per client address, waiting connections
// giving way oldest first, counts that stay right through login and close,
// and the rate limit of the lines about an address.
#include "appliance/admission.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr uint32_t A = 0x7F000001, B = 0x7F000002, C = 0x7F000003;

std::shared_ptr<adm_conn> conn(uint32_t peer)
{
    auto c = std::make_shared<adm_conn>();
    c->peer = peer;
    return c;
}

unsigned in_of(adm_table *t, uint32_t peer) { return t->addrs.count(peer) ? t->addrs[peer].in : 0; }
unsigned waiting_of(adm_table *t, uint32_t peer) { return t->addrs.count(peer) ? t->addrs[peer].waiting : 0; }

}  // namespace

TEST(Admission, WaitingConnectionsGiveWayOldestFirstPerAddressAndInTotal)
{
    adm_table t;
    t.lim = {10, 3, 5};
    adm_note note;
    std::vector<std::shared_ptr<adm_conn>> a;
    for (int i = 0; i < 5; ++i) {
        a.push_back(conn(A));
        ASSERT_TRUE(adm_admit(&t, a.back(), true, &note));
    }
    // the two oldest of A gave way to the newest three
    EXPECT_TRUE(a[0]->pushed_out && a[1]->pushed_out);
    EXPECT_FALSE(a[2]->pushed_out || a[3]->pushed_out || a[4]->pushed_out);
    EXPECT_EQ(note.waiting, 3u);
    EXPECT_EQ(note.pushed_addr, 1u);
    // B's waiting ones fill the total: the oldest of all (A's) go first
    std::vector<std::shared_ptr<adm_conn>> b;
    for (int i = 0; i < 3; ++i) {
        b.push_back(conn(B));
        ASSERT_TRUE(adm_admit(&t, b.back(), true, &note));
    }
    EXPECT_TRUE(a[2]->pushed_out);
    EXPECT_FALSE(a[3]->pushed_out || a[4]->pushed_out);
    EXPECT_EQ(t.waiting.size(), 5u);
    EXPECT_EQ(waiting_of(&t, A), 2u);
    // more from B push only B's own oldest out
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(adm_admit(&t, conn(B), true, &note));
    EXPECT_FALSE(a[3]->pushed_out || a[4]->pushed_out);
    EXPECT_EQ(waiting_of(&t, B), 3u);
    // one that logged in no longer waits and is not pushed out
    adm_logged_in(&t, a[3].get());
    ASSERT_TRUE(adm_admit(&t, conn(C), true, &note));
    EXPECT_EQ(note.pushed_other, 0u);
    ASSERT_TRUE(adm_admit(&t, conn(C), true, &note));
    EXPECT_EQ(note.pushed_other, 1u);
    EXPECT_FALSE(a[3]->pushed_out);
    EXPECT_TRUE(a[4]->pushed_out);
    EXPECT_EQ(in_of(&t, A), 1u);
    EXPECT_EQ(waiting_of(&t, A), 0u);
}

TEST(Admission, AddressWithAllItsConnectionsInIsRefusedUntilOneLeaves)
{
    adm_table t;
    t.lim = {2, 4, 16};
    adm_note note;
    auto d1 = conn(A), d2 = conn(A);
    ASSERT_TRUE(adm_admit(&t, d1, false, &note));
    ASSERT_TRUE(adm_admit(&t, d2, false, &note));
    auto refused = conn(A);
    EXPECT_FALSE(adm_admit(&t, refused, true, &note));
    EXPECT_TRUE(note.refused);
    EXPECT_EQ(note.in, 2u);
    EXPECT_FALSE(adm_admit(&t, conn(A), false, &note));
    EXPECT_TRUE(adm_admit(&t, conn(B), false, &note));  // another address is not held back
    adm_leave(&t, d1.get());
    EXPECT_TRUE(adm_admit(&t, conn(A), true, &note));
}

TEST(Admission, CountsStayRightThroughLoginPushOutAndLeave)
{
    adm_table t;
    t.lim = {8, 2, 16};
    adm_note note;
    auto w1 = conn(A), w2 = conn(A), w3 = conn(A);
    ASSERT_TRUE(adm_admit(&t, w1, true, &note));
    ASSERT_TRUE(adm_admit(&t, w2, true, &note));
    ASSERT_TRUE(adm_admit(&t, w3, true, &note));  // pushes w1 out
    ASSERT_TRUE(w1->pushed_out);
    adm_logged_in(&t, w1.get());  // too late: it closes without counting as in
    adm_leave(&t, w1.get());
    adm_logged_in(&t, w2.get());
    EXPECT_EQ(in_of(&t, A), 1u);
    EXPECT_EQ(waiting_of(&t, A), 1u);
    adm_leave(&t, w2.get());
    adm_leave(&t, w3.get());
    EXPECT_TRUE(t.waiting.empty());
    EXPECT_EQ(t.addrs.count(A), 0u);  // nothing left to remember
}

TEST(Admission, LinesAboutOneAddressAreRateLimited)
{
    adm_table t;
    unsigned quiet = 99;
    EXPECT_TRUE(adm_may_log(&t, A, ADM_LOG_PUSHED, 100000, &quiet));
    EXPECT_EQ(quiet, 0u);
    EXPECT_FALSE(adm_may_log(&t, A, ADM_LOG_PUSHED, 100001, &quiet));
    EXPECT_FALSE(adm_may_log(&t, A, ADM_LOG_PUSHED, 100000 + ADM_LOG_EVERY_MS - 1, &quiet));
    // another address, or another kind of line, has a limit of its own
    EXPECT_TRUE(adm_may_log(&t, B, ADM_LOG_PUSHED, 100002, &quiet));
    EXPECT_TRUE(adm_may_log(&t, A, ADM_LOG_DEADLINE, 100003, &quiet));
    EXPECT_TRUE(adm_may_log(&t, A, ADM_LOG_PUSHED, 100000 + ADM_LOG_EVERY_MS, &quiet));
    EXPECT_EQ(quiet, 2u);
}

TEST(Admission, ConcurrencyAdmitLoginAndLeaveFromManyThreads)
{
    adm_table t;
    t.lim = {1000, 4, 32};
    std::vector<std::thread> ts;
    for (int k = 0; k < 4; ++k) {
        ts.emplace_back([&, k] {
            for (int i = 0; i < 500; ++i) {
                auto c = conn(A + uint32_t(k % 2));
                adm_note note;
                if (!adm_admit(&t, c, true, &note))
                    continue;
                if (i % 3 == 0)
                    adm_logged_in(&t, c.get());
                adm_may_log(&t, c->peer, ADM_LOG_REFUSED, uint64_t(i), &note.in);
                adm_leave(&t, c.get());
            }
        });
    }
    for (auto &th : ts)
        th.join();
    EXPECT_TRUE(t.waiting.empty());
    EXPECT_EQ(in_of(&t, A), 0u);
    EXPECT_EQ(waiting_of(&t, A), 0u);
    EXPECT_EQ(in_of(&t, A + 1), 0u);
}
