// Who gets into the appliance, driven through the loaded library as RMAN
// drives it: a flood of idle connections that never log in is closed by the
// login deadline while a real backup gets in, and a user limited to shares
// reaches nothing outside them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "datamover/xcomm.h"
#include "integration/support_appliance.h"
#include "integration/support_sbt.h"
#include "kes_test.h"
#include "kes_net.h"

using kes_test::Channel;
using kes_test::SbtLib;
using kes_test::ScopedWindir;
using kes_test::TestAppliance;

namespace {

// A TCP connection to the control port that completes the XCOMM connect
// negotiate and then says nothing. Returns the socket, or -1.
int idle_negotiated(const std::string &addr)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    struct timeval tv = {20, 0};  // only stops a hang
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct sockaddr_in sa = kes_test::loopback_addr(10002, addr.c_str());
    unsigned char in[XCOMM_HDR_SIZE];
    if (connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
        !kes_test::send_hdr(s, kes_test::client_connect_negotiate()) ||
        recv(s, in, sizeof in, MSG_WAITALL) != ssize_t(sizeof in)) {
        close(s);
        return -1;
    }
    xcomm_hdr r{};
    xcomm_hdr_decode(in, &r);
    if (r.type != XCOMM_MSG_NEGOTIATE) {
        close(s);
        return -1;
    }
    return s;
}

class Access : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *v : {"BACKUP_HOST", "BACKUP_SHARE", "BACKUP_USERNAME", "BACKUP_PASSWORD", "BACKUP_CREDID"})
            unsetenv(v);
        ASSERT_NE(lib_.handle, nullptr);
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=1\nDEBUG_LEVEL=info\n");
    }

    std::string params(const std::string &user, const std::string &password, const std::string &share) const
    {
        return "BACKUP_HOST=" + app_.addr() + ",BACKUP_SHARE=" + share + ",BACKUP_USERNAME=" + user +
               ",BACKUP_PASSWORD=" + password;
    }

    // A piece of blocks * 16 KiB through one channel: 0 or the failing step's -1.
    static int backup(Channel &ch, const std::string &name, int blocks)
    {
        char label[] = "L";
        sbt_item objs[2] = {{2, label}, {SBT_OBJECT_END, nullptr}};
        if (ch.v->backup(ch.ctx, 0, name.c_str(), objs, 16384, 0) != 0)
            return -1;
        std::vector<unsigned char> buf(16384);
        for (int i = 0; i < blocks; ++i) {
            memset(buf.data(), 'a' + i % 26, buf.size());
            if (ch.v->write2(ch.ctx, 0, buf.data()) != 0)
                return -1;
        }
        return ch.v->close2(ch.ctx, 0);
    }

    // Reads a piece back; the blocks that match what backup wrote, or -1.
    static int restore(Channel &ch, const std::string &name)
    {
        if (ch.v->restore(ch.ctx, 0, name.c_str(), 16384) != 0)
            return -1;
        std::vector<unsigned char> buf(16384);
        int n = 0;
        while (ch.v->read2(ch.ctx, 0, buf.data()) == 0) {
            if (buf[0] != 'a' + n % 26 || buf[16383] != 'a' + n % 26)
                return -1;
            n++;
        }
        return ch.v->close2(ch.ctx, 0) == 0 ? n : -1;
    }

    ScopedWindir windir_;
    SbtLib lib_;
    TestAppliance app_;
};

}  // namespace

TEST_F(Access, IdleConnectionsCloseByTheLoginDeadlineWhileARealBackupGetsIn)
{
    kes_test::TempDir logdir;
    appliance_config cfg;
    cfg.login_timeout_s = 3;
    cfg.log_file = logdir / "appliance.log";
    cfg.log_level = 5;
    ASSERT_TRUE(app_.start(cfg)) << app_.last_error();

    // From the client's own address, as many as a careless or hostile
    // program opens.
    std::vector<int> held;
    for (int i = 0; i < 600; ++i) {
        int s = idle_negotiated(app_.addr());
        ASSERT_GE(s, 0) << "connection " << i << " did not negotiate";
        held.push_back(s);
    }
    auto opened = std::chrono::steady_clock::now();

    Channel ch;
    ASSERT_EQ(ch.init(lib_), 0);
    ASSERT_EQ(ch.init2(params("rman", "secret", "rman").c_str()), 0) << ch.error();
    ASSERT_EQ(backup(ch, "while-flooded", 8), 0) << ch.error();
    EXPECT_EQ(restore(ch, "while-flooded"), 8) << ch.error();
    EXPECT_EQ(ch.end(), 0);

    // Every idle one is closed: pushed out by newer ones, or at the deadline.
    // The bound is the deadline plus a margin for a loaded machine; it only
    // stops a hang.
    auto limit = opened + std::chrono::seconds(cfg.login_timeout_s + 30);
    size_t open_left = held.size();
    std::vector<bool> closed(held.size(), false);
    while (open_left != 0 && std::chrono::steady_clock::now() < limit) {
        std::vector<struct pollfd> pfds;
        std::vector<size_t> which;
        for (size_t i = 0; i < held.size(); ++i) {
            if (!closed[i]) {
                pfds.push_back({held[i], POLLIN, 0});
                which.push_back(i);
            }
        }
        if (poll(pfds.data(), pfds.size(), 200) <= 0)
            continue;
        for (size_t k = 0; k < pfds.size(); ++k) {
            if (pfds[k].revents == 0)
                continue;
            char b[64];
            if (recv(pfds[k].fd, b, sizeof b, MSG_DONTWAIT) <= 0) {
                closed[which[k]] = true;
                open_left--;
            }
        }
    }
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    EXPECT_EQ(open_left, 0u) << "still open after " << took << " s";
    printf("[ info ] 600 idle connections closed %.1f s after the last opened (login deadline %u s)\n", took,
           unsigned(cfg.login_timeout_s));
    for (int s : held)
        close(s);
    app_.stop();
    std::string log = kes_test::read_file(cfg.log_file);
    EXPECT_NE(log.find("the oldest of them give way"), std::string::npos) << log;
    EXPECT_NE(log.find("no login within 3 s"), std::string::npos) << log;
    EXPECT_LT(log.size(), 64u * 1024) << "a flood of connections floods the log";
}

TEST_F(Access, AUserLimitedToOneShareReachesNoPieceOfAnother)
{
    appliance_config cfg;
    cfg.users = {{"rman", "secret"}, {"alice", "pw-alice", {"a"}}};
    ASSERT_TRUE(app_.start(cfg)) << app_.last_error();
    {
        Channel ch;
        ASSERT_EQ(ch.init(lib_), 0);
        ASSERT_EQ(ch.init2(params("rman", "secret", "b").c_str()), 0) << ch.error();
        ASSERT_EQ(backup(ch, "theirs", 3), 0) << ch.error();
        EXPECT_EQ(ch.end(), 0);
    }
    const std::string theirs = app_.file("b", "theirs");
    const std::string before = kes_test::read_file(theirs);
    ASSERT_EQ(before.size(), 3u * 16384);

    Channel ch;
    ASSERT_EQ(ch.init(lib_), 0);
    ASSERT_EQ(ch.init2(params("alice", "pw-alice", "b").c_str()), 0) << ch.error();
    EXPECT_EQ(restore(ch, "theirs"), -1);
    EXPECT_EQ(backup(ch, "mine", 1), -1);
    char n[] = "theirs";
    char *files[] = {n, nullptr};
    sbt_item *info = nullptr;
    if (ch.v->info2(ch.ctx, 0, files, &info) == 0) {
        ASSERT_NE(info, nullptr);
        EXPECT_NE(info[1].type, 2u) << "the piece's details reached a user of another share";
    }
    ch.v->remove2(ch.ctx, 0, files);
    EXPECT_EQ(ch.end(), 0);
    EXPECT_TRUE(kes_test::read_file(theirs) == before);
    struct stat sb;
    EXPECT_NE(stat(app_.file("b", "mine").c_str(), &sb), 0);

    // her own share serves her in full
    Channel own;
    ASSERT_EQ(own.init(lib_), 0);
    ASSERT_EQ(own.init2(params("alice", "pw-alice", "a").c_str()), 0) << own.error();
    ASSERT_EQ(backup(own, "mine", 2), 0) << own.error();
    EXPECT_EQ(restore(own, "mine"), 2) << own.error();
    char m[] = "mine";
    char *mine[] = {m, nullptr};
    EXPECT_EQ(own.v->remove2(own.ctx, 0, mine), 0) << own.error();
    EXPECT_EQ(own.end(), 0);
}
