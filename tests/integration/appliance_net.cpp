// The appliance over the network: the daemon as a child process on its own
// loopback address, and the service started in-process, driven by plain XCOMM
// client endpoints with control records and data-mover requests.
#include "appliance_client.h"

#include "appliance/appl_auth.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <sys/stat.h>
#include <thread>

using appl_test::Client;
using appl_test::Daemon;
using appl_test::dm_open_req;
using appl_test::dm_req_hdr;
using appl_test::dm_status;

namespace {

constexpr int32_t STS_EAUTH = 0x21E0001D;
constexpr int32_t STS_ENOSPC = 0x21E0001F;

// The service in-process on 127.0.0.1 with free ports.
class InProcess : public ::testing::Test {
protected:
    void start(appliance_config cfg = appliance_config())
    {
        cfg.listen_addr = "127.0.0.1";
        cfg.mi_port = 0;
        cfg.root = root_.path();
        cfg.users = {{"alice", "pw-alice"}};
        if (cfg.log_file.empty())
            cfg.log_level = 3;
        std::string msg;
        ASSERT_EQ(appliance_start(cfg, &app_, &msg), 0) << msg;
    }
    void TearDown() override { appliance_stop(app_); }
    void connect_mi(Client *c)
    {
        ASSERT_EQ(c->open("127.0.0.1", appliance_mi_port(app_)), 0);
        ASSERT_EQ(c->login("alice", "pw-alice"), 0);
    }
    // A data-mover connection for the logged-in control connection mi, which
    // asks for the port first as the library does.
    void connect_dm(Client *c, Client *mi)
    {
        int32_t port = 0;
        ASSERT_EQ(mi->dm_port(&port), 0);
        ASSERT_EQ(port, appliance_dm_port(app_));
        ASSERT_EQ(c->open("127.0.0.1", appliance_dm_port(app_)), 0);
        std::string rsp;
        ASSERT_EQ(c->call(dm_req_hdr(0, 0, 0, 0, 0) + std::string(16, '\0'), &rsp), 0);
        ASSERT_EQ(rsp.size(), 32u);
        ASSERT_EQ(dm_status(rsp), 0);
    }
    kes_test::TempDir root_;
    appliance *app_ = nullptr;
};

// Writes size bytes of data as a backup file through both services, with
// many writes in flight; returns the handle-level result.
void write_file(Client &mi, Client &dm, const std::string &share_name, const std::string &data, size_t piece,
                bool scattered)
{
    uint64_t h = 0;
    ASSERT_EQ(mi.open_file(share_name, MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
    std::string rel = share_name.substr(strlen("generic:/"));
    std::string rsp;
    ASSERT_EQ(dm.call(dm_open_req(3, 0x2, "generic:" + std::to_string(h) + ":/" + rel), &rsp), 0);
    ASSERT_EQ(dm_status(rsp), 0);
    uint16_t fh = appl_test::dm_fh(rsp);
    size_t n = (data.size() + piece - 1) / piece;
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i)
        order[i] = i;
    if (scattered)
        std::shuffle(order.begin(), order.end(), std::mt19937(42));
    std::vector<xcomm_msg *> inflight;
    for (size_t k = 0; k < n; ++k) {
        size_t i = order[k];
        size_t len = std::min(piece, data.size() - i * piece);
        xcomm_msg *m = nullptr;
        ASSERT_EQ(dm.send(dm_req_hdr(4, uint32_t(len), fh, 3, i * piece), data.data() + i * piece, len, &m), 0);
        inflight.push_back(m);
        if (inflight.size() >= 64) {
            ASSERT_EQ(dm.collect(inflight.front(), &rsp), 0);
            ASSERT_EQ(dm_status(rsp), 0);
            inflight.erase(inflight.begin());
        }
    }
    for (xcomm_msg *m : inflight) {
        ASSERT_EQ(dm.collect(m, &rsp), 0);
        ASSERT_EQ(dm_status(rsp), 0);
    }
    ASSERT_EQ(dm.call(dm_req_hdr(8, 0, fh, 3, 0), &rsp), 0);
    ASSERT_EQ(dm_status(rsp), 0);
    ASSERT_EQ(dm.call(dm_req_hdr(2, 0, fh, 3, 0), &rsp), 0);
    ASSERT_EQ(dm_status(rsp), 0);
    ASSERT_EQ(mi.close_file(h), 0);
}

std::string read_file(Client &mi, Client &dm, const std::string &share_name, size_t piece)
{
    uint64_t h = 0;
    EXPECT_EQ(mi.open_file(share_name, MI_OPEN_READ, &h), 0);
    std::string rel = share_name.substr(strlen("generic:/"));
    std::string rsp;
    EXPECT_EQ(dm.call(dm_open_req(4, 0x8, "generic:" + std::to_string(h) + ":/" + rel), &rsp), 0);
    EXPECT_EQ(dm_status(rsp), 0);
    uint16_t fh = appl_test::dm_fh(rsp);
    uint64_t size = be_get64(reinterpret_cast<const unsigned char *>(rsp.data()) + 32);
    std::string out;
    std::vector<xcomm_msg *> inflight;
    for (uint64_t off = 0; off < size; off += piece) {
        xcomm_msg *m = nullptr;
        EXPECT_EQ(dm.send(dm_req_hdr(3, uint32_t(piece), fh, 4, off), nullptr, 0, &m), 0);
        inflight.push_back(m);
    }
    for (xcomm_msg *m : inflight) {
        EXPECT_EQ(dm.collect(m, &rsp), 0);
        EXPECT_EQ(dm_status(rsp), 0);
        out += rsp.substr(16);
    }
    EXPECT_EQ(dm.call(dm_req_hdr(2, 0, fh, 4, 0), &rsp), 0);
    EXPECT_EQ(mi.close_file(h), 0);
    return out;
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    std::mt19937_64 rng(seed);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t v = rng();
        memcpy(&s[i], &v, 8);
    }
    return s;
}

}  // namespace

// ---------------------------------------------------------------- the daemon

TEST(ApplianceDaemon, HelpAndClearStartupErrors)
{
    kes_test::TempDir root;
    Daemon d;
    EXPECT_EQ(d.run({"--help"}), 0);
    EXPECT_NE(d.output().find("--root DIR"), std::string::npos);
    EXPECT_EQ(d.run({"--root", root.path(), "--user", "a:b", "--bogus"}), 2);
    EXPECT_NE(d.output().find("--bogus"), std::string::npos);
    EXPECT_EQ(d.run({"--root", root.path() + "/missing", "--user", "a:b", "--listen", "127.0.0.1", "--mi-port", "0"}),
              1);
    EXPECT_NE(d.output().find("missing"), std::string::npos) << d.output();
    std::string users = root / "users";
    kes_test::write_file(users, "a:topsecret\n");
    chmod(users.c_str(), 0644);
    EXPECT_EQ(d.run({"--root", root.path(), "--users-file", users}), 2);
    EXPECT_NE(d.output().find("chmod 600"), std::string::npos) << d.output();
    EXPECT_EQ(d.output().find("topsecret"), std::string::npos);
}

TEST(ApplianceDaemon, ControlExchangesAndCleanStop)
{
    kes_test::TempDir root;
    Daemon d;
    ASSERT_TRUE(d.start({"--root", root.path(), "--user", "alice:pw-alice", "--log-level", "debug"})) << d.output();
    {
        Client c;
        ASSERT_EQ(c.open(d.addr(), 10002), 0);
        mi_get_version_req vreq{const_cast<char *>("host"), 9, 11, 0x7000B};
        mi_get_version_reply vrep{};
        ASSERT_EQ(c.mi_call(MI_GET_VERSION, &vreq, &vrep), 0);
        EXPECT_EQ(vrep.version, 0x70000);
        mi_free_reply(MI_GET_VERSION, &vrep);
        int32_t port = 0;
        EXPECT_EQ(c.dm_port(&port), STS_EAUTH);
        EXPECT_EQ(c.login("alice", "wrong"), STS_EAUTH);
        EXPECT_EQ(c.login("alice", "pw-alice"), 0);
        ASSERT_EQ(c.dm_port(&port), 0);
        EXPECT_GT(port, 0);
        EXPECT_TRUE(appl_test::port_open(d.addr(), uint16_t(port)));
        uint64_t h = 0;
        ASSERT_EQ(c.open_file("generic:/share/f1", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
        mi_check_space_req creq{0, h};
        mi_check_space_reply crep{};
        ASSERT_EQ(c.mi_call(MI_CHECK_SPACE, &creq, &crep), 0);
        EXPECT_EQ(crep.status, 0);
        EXPECT_EQ(c.close_file(h), 0);
        EXPECT_EQ(c.open_file("generic:/share/f1", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), KES_EEXIST);
    }
    // a second daemon on the same address finds the port busy
    Daemon other;
    EXPECT_EQ(other.run({"--listen", d.addr(), "--root", root.path(), "--user", "a:b"}), 1);
    EXPECT_NE(other.output().find("busy"), std::string::npos) << other.output();
    EXPECT_EQ(d.stop(), 0);
    std::string log = d.output();
    EXPECT_NE(log.find("appliance stopped"), std::string::npos) << log;
    EXPECT_EQ(log.find("pw-alice"), std::string::npos);
    struct stat sb;
    EXPECT_EQ(stat((root / "share/f1").c_str(), &sb), 0);
}

TEST(ApplianceDaemon, FailureSwitchesDropDelayAndMisnumber)
{
    kes_test::TempDir root;
    Daemon d;
    ASSERT_TRUE(d.start({"--root", root.path(), "--user", "alice:pw", "--drop-after-msgs", "4", "--fault-on", "mi",
                         "--wrong-msgno", "0x20000038", "--delay-ms", "20"}))
        << d.output();
    Client c;
    ASSERT_EQ(c.open(d.addr(), 10002), 0);
    // Delayed replies still arrive (the parser's test checks the delay itself).
    ASSERT_EQ(c.login("alice", "pw"), 0);  // requests 1 and 2
    mi_dm_port_req preq{0};
    mi_dm_port_reply prep{};
    uint32_t number = 0;
    EXPECT_EQ(c.mi_call(MI_DM_PORT, &preq, &prep, &number), KES_EBADMSG);  // request 3
    EXPECT_EQ(number, MI_DM_PORT + 1);
    uint64_t h = 0;
    EXPECT_LT(c.open_file("generic:/s/x", MI_OPEN_READ, &h), 0);  // request 4: dropped
}

// ---------------------------------------------------------------- in-process

TEST_F(InProcess, ScatteredWritesReadBackIdenticalWithAttributeAndDelete)
{
    start();
    Client mi, dm;
    connect_mi(&mi);
    connect_dm(&dm, &mi);
    std::string data = random_bytes(5 * 1024 * 1024 + 12345, 11);
    write_file(mi, dm, "generic:/share/scattered", data, 262144, true);
    EXPECT_TRUE(kes_test::read_file(root_ / "share/scattered") == data);
    EXPECT_TRUE(read_file(mi, dm, "generic:/share/scattered", 262144) == data);

    // an 80-byte attribute by name, then back
    std::string info = random_bytes(80, 3);
    std::string rsp;
    std::string set = dm_req_hdr(10, 0, 0xFFFF, 0, 0) + std::string("\0\0\0\x50", 4) + "generic:/share/scattered" +
                      std::string(1, '\0') + "backup_info" + std::string(1, '\0') + info;
    ASSERT_EQ(dm.call(set, &rsp), 0);
    EXPECT_EQ(dm_status(rsp), 0);
    std::string get = dm_req_hdr(11, 0, 0xFFFF, 0, 0) + std::string("\0\0\0\x50", 4) + "generic:/share/scattered" +
                      std::string(1, '\0') + "backup_info" + std::string(1, '\0');
    ASSERT_EQ(dm.call(get, &rsp), 0);
    ASSERT_EQ(dm_status(rsp), 0);
    EXPECT_TRUE(rsp.substr(20) == info);
    std::string del = dm_req_hdr(7, 0, 0, 0, 0) + "generic:/share/scattered" + std::string(1, '\0');
    ASSERT_EQ(dm.call(del, &rsp), 0);
    EXPECT_EQ(dm_status(rsp), 0);
    ASSERT_EQ(dm.call(del, &rsp), 0);
    EXPECT_EQ(dm_status(rsp), 0xFFFE);
}

TEST_F(InProcess, HostileConnectionsAreDroppedAndTheServiceCarriesOn)
{
    start();
    {
        Client c;  // a control request of the wrong size
        ASSERT_EQ(c.open("127.0.0.1", appliance_mi_port(app_)), 0);
        std::string rsp;
        EXPECT_LT(c.call(std::string(100, '\1'), &rsp), 0);
    }
    {
        Client c;  // a control record whose type is not a request
        ASSERT_EQ(c.open("127.0.0.1", appliance_mi_port(app_)), 0);
        std::string rsp;
        EXPECT_LT(c.call(std::string(4108, '\2'), &rsp), 0);
    }
    {
        Client m, c;  // a write larger than any block, and garbage shorter than a header
        connect_mi(&m);
        connect_dm(&c, &m);
        std::string big(8 << 20, 'x');
        std::string rsp;
        EXPECT_LT(c.call(dm_req_hdr(4, 0, 1, 0, 0), &rsp, big.data(), big.size()), 0);
    }
    {
        Client m, c;
        connect_mi(&m);
        connect_dm(&c, &m);
        std::string rsp;
        EXPECT_LT(c.call(std::string(7, '\0'), &rsp), 0);
    }
    {
        // raw bytes that are not XCOMM at all
        int s = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(appliance_mi_port(app_));
        inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
        ASSERT_EQ(connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0);
        std::string junk(200, '\xee');
        EXPECT_EQ(write(s, junk.data(), junk.size()), ssize_t(junk.size()));
        char b[64];
        EXPECT_LE(read(s, b, sizeof b), 0);  // closed by the service
        close(s);
    }
    // still serving
    Client mi, dm;
    connect_mi(&mi);
    connect_dm(&dm, &mi);
    std::string data = random_bytes(300000, 5);
    write_file(mi, dm, "generic:/s/after", data, 65536, false);
    EXPECT_TRUE(read_file(mi, dm, "generic:/s/after", 262144) == data);
}

TEST_F(InProcess, QuotaIsReportedBySpaceCheckAndRefusesWrites)
{
    appliance_config cfg;
    cfg.quota = 1 << 20;
    start(cfg);
    Client mi, dm;
    connect_mi(&mi);
    connect_dm(&dm, &mi);
    uint64_t h = 0;
    ASSERT_EQ(mi.open_file("generic:/s/q", MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h), 0);
    std::string rsp;
    ASSERT_EQ(dm.call(dm_open_req(0, 0x2, "generic:" + std::to_string(h) + ":/s/q"), &rsp), 0);
    uint16_t fh = appl_test::dm_fh(rsp);
    std::string block(262144, 'b');
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(dm.call(dm_req_hdr(4, 262144, fh, 0, uint64_t(i) * 262144), &rsp, block.data(), block.size()), 0);
        ASSERT_EQ(dm_status(rsp), 0);
    }
    ASSERT_EQ(dm.call(dm_req_hdr(4, 262144, fh, 0, 4 * 262144ULL), &rsp, block.data(), block.size()), 0);
    EXPECT_EQ(dm_status(rsp), KES_ENOSPC);
    mi_check_space_req creq{0, h};
    mi_check_space_reply crep{};
    ASSERT_EQ(mi.mi_call(MI_CHECK_SPACE, &creq, &crep), 0);
    EXPECT_EQ(crep.status, STS_ENOSPC);
}

TEST_F(InProcess, ConcurrencyManyChannelsAtOnce)
{
    start();
    const int channels = 4;
    size_t mb = 16;
    if (const char *e = getenv("KES_APPL_BENCH_MB"))
        mb = size_t(atoi(e));
    std::vector<std::string> data(channels);
    for (int i = 0; i < channels; ++i)
        data[i] = random_bytes(mb * 1024 * 1024 / channels, unsigned(100 + i));
    std::atomic<int> failures{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < channels; ++i) {
        ts.emplace_back([&, i] {
            Client mi, dm;
            int32_t port = 0;
            if (mi.open("127.0.0.1", appliance_mi_port(app_)) != 0 || mi.login("alice", "pw-alice") != 0 ||
                mi.dm_port(&port) != 0 || dm.open("127.0.0.1", uint16_t(port)) != 0) {
                failures++;
                return;
            }
            write_file(mi, dm, "generic:/par/f" + std::to_string(i), data[i], 262144, false);
        });
    }
    for (auto &t : ts)
        t.join();
    // How fast this goes is bench/appliance_channels' business.
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < channels; ++i)
        EXPECT_TRUE(kes_test::read_file(root_ / ("par/f" + std::to_string(i))) == data[i]) << i;
}

TEST_F(InProcess, DataMoverWithoutALoggedInControlSessionIsRefusedAndChangesNothing)
{
    kes_test::TempDir logdir;
    appliance_config cfg;
    cfg.log_file = logdir / "appliance.log";
    start(cfg);
    Client mi, dm;
    connect_mi(&mi);
    connect_dm(&dm, &mi);
    std::string data = random_bytes(70000, 9);
    write_file(mi, dm, "generic:/share/kept", data, 65536, false);
    std::string info = random_bytes(80, 4);
    std::string rsp;
    const std::string name = std::string("generic:/share/kept") + '\0';
    ASSERT_EQ(dm.call(dm_req_hdr(10, 0, 0xFFFF, 0, 0) + std::string("\0\0\0\x50", 4) + name + "backup_info" +
                          std::string(1, '\0') + info,
                      &rsp),
              0);
    ASSERT_EQ(dm_status(rsp), 0);

    const std::string del = dm_req_hdr(7, 0, 0, 0, 0) + name;
    const std::string set = dm_req_hdr(10, 0, 0xFFFF, 0, 0) + std::string("\0\0\0\x03", 4) + name + "backup_info" +
                            std::string(1, '\0') + "bad";
    const std::string add = dm_req_hdr(10, 0, 0xFFFF, 0, 0) + std::string("\0\0\0\x03", 4) + name + "extra" +
                            std::string(1, '\0') + "bad";
    const std::string get = dm_req_hdr(11, 0, 0xFFFF, 0, 0) + std::string("\0\0\0\x50", 4) + name + "backup_info" +
                            std::string(1, '\0');
    // No control session at all, then one that only asked for the version
    // and the port (refused): either way the connection is closed before any
    // request is served.
    Client anon;
    ASSERT_EQ(anon.open("127.0.0.1", appliance_mi_port(app_)), 0);
    int32_t port = 0;
    EXPECT_EQ(anon.dm_port(&port), STS_EAUTH);
    for (int round = 0; round < 2; ++round) {
        for (const std::string *req : {&del, &set, &add, &get}) {
            Client c;
            if (c.open("127.0.0.1", appliance_dm_port(app_)) != 0)
                continue;  // refused during the connect
            EXPECT_LT(c.call(*req, &rsp), 0);
        }
    }
    EXPECT_TRUE(kes_test::read_file(root_ / "share/kept") == data);
    ASSERT_EQ(dm.call(get, &rsp), 0);
    ASSERT_EQ(dm_status(rsp), 0);
    EXPECT_TRUE(rsp.substr(20) == info);
    ASSERT_EQ(dm.call(dm_req_hdr(11, 0, 0xFFFF, 0, 0) + std::string("\0\0\0\x50", 4) + name + "extra" +
                          std::string(1, '\0'),
                      &rsp),
              0);
    EXPECT_EQ(dm_status(rsp), KES_ENOENT);
    EXPECT_NE(kes_test::read_file(cfg.log_file).find("data-mover connection from 127.0.0.1 refused"),
              std::string::npos);
}

TEST_F(InProcess, FailedLoginsSlowDownAndConnectionsPerAddressAreCapped)
{
    kes_test::TempDir logdir;
    appliance_config cfg;
    cfg.max_conns_per_addr = 2;
    cfg.log_file = logdir / "appliance.log";
    cfg.log_level = 5;
    start(cfg);
    // Wrong passwords from this address: past the free ones, each attempt
    // waits before its answer, also the right one.
    Client a, b, c;
    ASSERT_EQ(a.open("127.0.0.1", appliance_mi_port(app_)), 0);
    for (unsigned i = 0; i <= APPL_FREE_LOGIN_FAILURES; ++i)
        EXPECT_EQ(a.login("alice", "wrong"), STS_EAUTH);
    // Held back, then let in (how long each attempt is held is the
    // authentication table's test).
    EXPECT_EQ(a.login("alice", "pw-alice"), 0);
    // two logged in: the third is refused at once, its connect or first
    // exchange fails
    connect_mi(&b);
    if (c.open("127.0.0.1", appliance_mi_port(app_)) == 0) {
        EXPECT_NE(c.login("alice", "pw-alice"), 0);
    }
    std::string log = kes_test::read_file(cfg.log_file);
    EXPECT_NE(log.find("failed logins from 127.0.0.1"), std::string::npos) << log;
    EXPECT_NE(log.find("connection from 127.0.0.1 refused"), std::string::npos) << log;
}
