// A silent appliance never hangs a channel: every request the library makes
// fails at its deadline (RESPONSE_TIMEOUT) with a message that names the
// request and the seconds waited, and a refused connect fails at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "integration/support_appliance.h"
#include "integration/support_sbt.h"
#include "integration/support_silent_relay.h"
#include "kes_test.h"

using kes_test::Channel;
using kes_test::SbtLib;
using kes_test::ScopedWindir;
using kes_test::SilentRelay;
using kes_test::TestAppliance;

namespace {

using Clock = std::chrono::steady_clock;

// RESPONSE_TIMEOUT is 5 s in these tests; a call may take it plus 5 s. The
// limit only stops a hang: it tells a deadline from no deadline, not speed.
constexpr auto kLimit = std::chrono::seconds(10);

class Deadlines : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *v : {"BACKUP_HOST", "BACKUP_SHARE", "BACKUP_USERNAME", "BACKUP_PASSWORD", "BACKUP_CREDID"})
            unsetenv(v);
        ASSERT_NE(lib_.handle, nullptr);
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=1\nRESPONSE_TIMEOUT=5\n");
        ASSERT_TRUE(app_.start()) << app_.last_error();
    }
    void TearDown() override { unsetenv("DMC_PAGE_CNT"); }

    std::string params(const std::string &host) const
    {
        return "BACKUP_HOST=" + host + ",BACKUP_SHARE=rman,BACKUP_USERNAME=rman,BACKUP_PASSWORD=secret";
    }
    void relay_silent_on(SilentRelay::Trigger t) { ASSERT_TRUE(relay_.start(app_.addr(), app_.dm_port(), t)); }
    // A channel through the relay (or straight to the appliance).
    int open(Channel &ch, bool direct = false)
    {
        if (ch.init(lib_) != 0)
            return -1;
        return ch.init2(params(direct ? app_.addr() : relay_.addr()).c_str());
    }
    std::string mainlog() const { return kes_test::read_file(windir_.libdir() + "/rman0.log"); }
    // Deadlines that passed so far, as the main log tells them.
    size_t deadlines_logged() const
    {
        std::string l = mainlog();
        size_t n = 0;
        for (size_t at = l.find("no answer from "); at != std::string::npos; at = l.find("no answer from ", at + 1))
            n++;
        return n;
    }
    // The call failed with 7501 at its deadline, naming the request and the seconds.
    void expect_deadline(Channel &ch, Clock::time_point start, const std::string &request)
    {
        EXPECT_LT(Clock::now() - start, kLimit);
        uint32_t code = 0;
        std::string text = ch.error(&code);
        EXPECT_EQ(code, 7501u);
        EXPECT_NE(text.find("XCOMM_ERR_TIMEOUT (no answer to " + request + " within 5 seconds)"), std::string::npos)
            << text;
    }
    // sbtinit2 through the relay fails at the deadline, its message starting with prefix.
    void expect_sbtinit2_deadline(const std::string &request, const std::string &prefix)
    {
        Channel ch;
        ASSERT_EQ(ch.init(lib_), 0);
        auto start = Clock::now();
        EXPECT_EQ(ch.init2(params(relay_.addr()).c_str()), -1);
        expect_deadline(ch, start, request);
        EXPECT_EQ(ch.error().rfind(prefix, 0), 0u) << ch.error();
        EXPECT_EQ(ch.rec()->flags, 0u);
    }
    // The channel ends without waiting for the silent peer again: no other
    // deadline passes on the way.
    void end_promptly(Channel &ch)
    {
        size_t before = deadlines_logged();
        EXPECT_GE(before, 1u) << "the deadline that passed is in the main log";
        EXPECT_EQ(ch.end(), 0);
        EXPECT_EQ(deadlines_logged(), before) << mainlog();
    }
    int backup(Channel &ch, const char *name, size_t bs, int blocks)
    {
        sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
        int rc = ch.v->backup(ch.ctx, 0, name, objs, bs, 0);
        std::vector<unsigned char> buf(bs, 0x5A);
        for (int i = 0; rc == 0 && i < blocks; i++)
            rc = ch.v->write2(ch.ctx, 0, buf.data());
        return rc == 0 ? ch.v->close2(ch.ctx, 0) : rc;
    }

    ScopedWindir windir_;
    SbtLib lib_;
    TestAppliance app_;
    SilentRelay relay_;
};

}  // namespace

TEST_F(Deadlines, MiGetVersion)
{
    relay_silent_on(SilentRelay::on_mi(MI_GET_VERSION));
    expect_sbtinit2_deadline("MI_GET_VERSION", "sbtinit2: failed to send MI_GET_VERSION request: ");
}

TEST_F(Deadlines, MiCloseFile)
{
    relay_silent_on(SilentRelay::on_mi(MI_CLOSE_FILE));
    Channel ch;
    ASSERT_EQ(open(ch), 0) << ch.error();
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    ASSERT_EQ(ch.v->backup(ch.ctx, 0, "closing", objs, 65536, 0), 0) << ch.error();
    std::vector<unsigned char> buf(65536, 1);
    ASSERT_EQ(ch.v->write2(ch.ctx, 0, buf.data()), 0);
    auto start = Clock::now();
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), -1);
    expect_deadline(ch, start, "MI_CLOSE_FILE");
    end_promptly(ch);
}

TEST_F(Deadlines, DmConfig)
{
    relay_silent_on(SilentRelay::on_dm(DM_CMD_CONFIG));
    expect_sbtinit2_deadline("DM CONFIG", "sbtinit2: dm_session failed: ");
}

TEST_F(Deadlines, DmWrite)
{
    setenv("DMC_PAGE_CNT", "4", 1);  // the fifth block waits for a page
    relay_silent_on(SilentRelay::on_dm(DM_CMD_WRITE));
    Channel ch;
    ASSERT_EQ(open(ch), 0) << ch.error();
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    ASSERT_EQ(ch.v->backup(ch.ctx, 0, "writing", objs, 262144, 0), 0) << ch.error();
    std::vector<unsigned char> buf(262144, 2);
    int rc = 0;
    Clock::time_point start;
    for (int i = 0; i < 16 && rc == 0; i++) {
        start = Clock::now();
        rc = ch.v->write2(ch.ctx, 0, buf.data());
    }
    EXPECT_EQ(rc, -1);
    expect_deadline(ch, start, "DM WRITE");
    EXPECT_EQ(ch.error().rfind("sbtwrite2 failed: error ", 0), 0u) << ch.error();
    start = Clock::now();
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), -1);
    EXPECT_LT(Clock::now() - start, kLimit);
    end_promptly(ch);
}

TEST_F(Deadlines, DmRead)
{
    Channel direct;
    ASSERT_EQ(open(direct, true), 0) << direct.error();
    ASSERT_EQ(backup(direct, "reading", 262144, 4), 0) << direct.error();
    EXPECT_EQ(direct.end(), 0);

    relay_silent_on(SilentRelay::on_dm(DM_CMD_READ));
    Channel ch;
    ASSERT_EQ(open(ch), 0) << ch.error();
    ASSERT_EQ(ch.v->restore(ch.ctx, 0, "reading", 262144), 0) << ch.error();
    std::vector<unsigned char> buf(262144);
    auto start = Clock::now();
    EXPECT_EQ(ch.v->read2(ch.ctx, 0, buf.data()), -1);
    expect_deadline(ch, start, "DM READ");
    EXPECT_EQ(ch.error().rfind("sbtread2 failed: error ", 0), 0u) << ch.error();
    ch.v->close2(ch.ctx, 0);
    end_promptly(ch);
}

TEST_F(Deadlines, DmGetXattr)
{
    relay_silent_on(SilentRelay::on_dm(DM_CMD_GET_XATTR));
    Channel ch;
    ASSERT_EQ(open(ch), 0) << ch.error();
    char name[] = "asked";
    char *files[] = {name, nullptr};
    sbt_item *list = nullptr;
    auto start = Clock::now();
    EXPECT_EQ(ch.v->info2(ch.ctx, 0, files, &list), -1);
    EXPECT_EQ(list, nullptr);
    expect_deadline(ch, start, "DM GET_XATTR");
    EXPECT_EQ(ch.error().rfind("sbtinfo2: retrieving backup info failed for file asked: ", 0), 0u) << ch.error();
    end_promptly(ch);
}

TEST_F(Deadlines, RefusedConnectFailsPromptly)
{
    // The relay's address with nothing listening on it any more.
    relay_silent_on(SilentRelay::on_mi(0));
    std::string host = relay_.addr();
    relay_.stop();
    // With a long deadline, a connect retried until it passes would take a
    // minute; the limit below only tells that from a refusal taken at once.
    kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=1\nRESPONSE_TIMEOUT=60\n");
    Channel ch;
    ASSERT_EQ(ch.init(lib_), 0);
    auto start = Clock::now();
    EXPECT_EQ(ch.init2(params(host).c_str()), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));  // only stops a hang
    EXPECT_EQ(ch.error(), "sbtinit2: mi_session failed: XCOMM_ERR_CONN_REFUSED");
}
