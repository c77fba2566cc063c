// Linux socket, clock and process-lock services of the transport.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "datamover/platform_xcomm.h"
#include "datamover/util.h"

namespace {
struct Pair {
    int s[2];
    Pair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s)); }
    ~Pair()
    {
        close(s[0]);
        close(s[1]);
    }
};
}  // namespace

TEST(PlatformXcomm, GatherWriteAndScatterReadKeepTheirEntryLimits)
{
    Pair p;
    char a[] = "head", b[] = "-body", c[] = "-tail", d[] = "-more";
    // A write takes at most MAX_BUF_COUNT - 1 entries, a read MAX_BUF_COUNT.
    std::vector<struct iovec> w(MAX_BUF_COUNT + 1, iovec{d, 0});
    w[0] = {a, 4};
    w[1] = {b, 5};
    w[2] = {c, 5};
    errno = 0;
    EXPECT_EQ(-1, xcomm_sendmsg(p.s[0], w.data(), MAX_BUF_COUNT));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, xcomm_sendmsg(p.s[0], w.data(), 0));
    ASSERT_EQ(14, xcomm_sendmsg(p.s[0], w.data(), MAX_BUF_COUNT - 1));

    char r1[2], r2[3], r3[4], r4[10];
    std::vector<struct iovec> r(MAX_BUF_COUNT + 1, iovec{r4, 1});
    r[0] = {r1, 2};
    r[1] = {r2, 3};
    r[2] = {r3, 4};
    r[3] = {r4, 10};
    EXPECT_EQ(-1, xcomm_recvmsg(p.s[1], r.data(), MAX_BUF_COUNT + 1, 0));
    ASSERT_EQ(14, xcomm_recvmsg(p.s[1], r.data(), 4, 0));
    EXPECT_EQ(0, memcmp(r1, "he", 2));
    EXPECT_EQ(0, memcmp(r2, "ad-", 3));
    EXPECT_EQ(0, memcmp(r3, "body", 4));
    EXPECT_EQ(0, memcmp(r4, "-tail", 5));
    // Nothing left: the read does not block, it reports "would block".
    EXPECT_EQ(-1, xcomm_recvmsg(p.s[1], r.data(), 1, 0));
    EXPECT_TRUE(xcomm_would_block(errno));
    close(p.s[0]);
    p.s[0] = socket(AF_UNIX, SOCK_STREAM, 0);  // keeps the destructor honest
    EXPECT_EQ(0, xcomm_recvmsg(p.s[1], r.data(), 1, 0));
}

TEST(PlatformXcomm, WriteToClosedPeerFailsWithoutSignal)
{
    Pair p;
    close(p.s[1]);
    p.s[1] = socket(AF_UNIX, SOCK_STREAM, 0);
    char a[] = "x";
    struct iovec w = {a, 1};
    EXPECT_EQ(-1, xcomm_sendmsg(p.s[0], &w, 1));  // EPIPE, and the process lives
    EXPECT_EQ(EPIPE, errno);
}

TEST(PlatformXcomm, ErrorTextAndClocks)
{
    char buf[256];
    EXPECT_EQ(ECONNREFUSED, xcomm_errtext(ECONNREFUSED, buf, sizeof buf));
    EXPECT_NE('\0', buf[0]);
    errno = EPIPE;
    EXPECT_EQ(EPIPE, xcomm_errtext(0, buf, sizeof buf));
    char tiny[4];
    xcomm_errtext(ECONNREFUSED, tiny, sizeof tiny);
    EXPECT_EQ(3u, strlen(tiny));

    int64_t s, us;
    xcomm_gettime(&s, &us);
    EXPECT_GT(s, 1600000000);  // seconds since 1970, no 1601 offset
    EXPECT_GE(us, 0);
    EXPECT_LT(us, 1000000);
    // Ages count in seconds and deadlines in milliseconds of the same clock.
    xcomm_monotime(&s, &us);
    int64_t ms = xcomm_monotime_ms();
    EXPECT_GE(us, 0);
    EXPECT_LT(us, 1000000);
    EXPECT_LE(s * 1000 + us / 1000, ms);
    EXPECT_LT(ms - (s * 1000 + us / 1000), 60000) << "not a speed check: the two readings are one clock";
}

TEST(PlatformXcommConcurrency, ProcessLockIsCreatedOnceForRacingStarters)
{
    std::vector<std::thread> ts;
    std::atomic<int> ok{0};
    std::vector<std::mutex *> seen(8);
    for (int i = 0; i < 8; ++i)
        ts.emplace_back([&, i] {
            if (xcomm_platform_startup() == 0)
                ok++;
            seen[i] = xcomm_global_lock();
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(8, ok.load());
    ASSERT_NE(nullptr, seen[0]);
    for (auto *m : seen)
        EXPECT_EQ(seen[0], m);
}

TEST(PlatformXcomm, KeepAliveValuesRoundUpToSeconds)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    EXPECT_EQ(0, xcomm_set_keepalive_vals(s, 1, 2001, 0));
    int v = 0;
    socklen_t len = sizeof v;
    getsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &v, &len);
    EXPECT_EQ(1, v);
    getsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &v, &len);
    EXPECT_EQ(3, v);
    close(s);
    EXPECT_EQ(XCOMM_ERR_SOCKOPT, xcomm_set_keepalive_vals(-1, 1000, 0, 0));
}
