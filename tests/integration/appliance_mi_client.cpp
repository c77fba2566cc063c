// The library's own control client against the appliance: version,
// authentication with right and wrong passwords, data-mover port, open,
// space check and close, against the daemon on its own loopback address and
// against the service in-process.
#include "appliance_client.h"
#include "datamover/ost_mi.h"
#include "lib/common/pgnauth.h"

namespace {

constexpr int32_t STS_EAUTH = 0x21E0001D;
constexpr int32_t STS_ENOSPC = 0x21E0001F;

// Runs the whole control conversation a backup makes; host and port of the appliance.
void conversation(const std::string &host, int port, uint16_t expect_dm_port)
{
    int err = 0;
    ost_mi_client *cli = ost_mi_client_create(host.c_str(), port, nullptr, nullptr, 0, nullptr, 0, 1, &err);
    ASSERT_NE(cli, nullptr) << err;

    mi_get_version_req vreq{const_cast<char *>(host.c_str()), MI_GET_VERSION_ARG1, MI_GET_VERSION_ARG2,
                            MI_GET_VERSION_CLIENT};
    mi_get_version_reply vrep{};
    ASSERT_EQ(miSendRequest(cli, MI_GET_VERSION, &vreq, &vrep), 0);
    EXPECT_EQ(vrep.status, 0);
    EXPECT_GE(vrep.version >> 16, 7);
    mi_free_reply(MI_GET_VERSION, &vrep);

    EXPECT_EQ(pgnauth_authenticate(cli, "alice", "not-the-password"), STS_EAUTH);
    mi_dm_port_req preq{0};
    mi_dm_port_reply prep{};
    ASSERT_EQ(miSendRequest(cli, MI_DM_PORT, &preq, &prep), 0);
    EXPECT_EQ(prep.status, STS_EAUTH);
    ASSERT_EQ(pgnauth_authenticate(cli, "alice", "pw-alice"), 0);
    ASSERT_EQ(miSendRequest(cli, MI_DM_PORT, &preq, &prep), 0);
    EXPECT_EQ(prep.status, 0);
    if (expect_dm_port != 0) {
        EXPECT_EQ(prep.port, expect_dm_port);
    }
    EXPECT_GT(prep.port, 0);

    mi_open_file_req oreq{MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, const_cast<char *>("generic:/db1/piece_1")};
    mi_open_file_reply orep{};
    ASSERT_EQ(miSendRequest(cli, MI_OPEN_FILE, &oreq, &orep), 0);
    ASSERT_EQ(orep.status, 0);
    mi_open_file_reply again{};
    ASSERT_EQ(miSendRequest(cli, MI_OPEN_FILE, &oreq, &again), 0);
    EXPECT_EQ(again.status, KES_EEXIST);

    mi_check_space_req creq{0, orep.handle};
    mi_check_space_reply crep{};
    ASSERT_EQ(miSendRequest(cli, MI_CHECK_SPACE, &creq, &crep), 0);
    EXPECT_EQ(crep.status, 0);
    mi_admin_alert_req al{orep.handle, uint64_t(getpid()), 400, const_cast<char *>("bfst2_write slow"), 1};
    mi_status_reply arep{};
    ASSERT_EQ(miSendRequest(cli, MI_ADMIN_ALERT, &al, &arep), 0);
    EXPECT_EQ(arep.status, 0);

    mi_close_file_req clreq{0, orep.handle};
    mi_close_file_reply clrep{};
    ASSERT_EQ(miSendRequest(cli, MI_CLOSE_FILE, &clreq, &clrep), 0);
    EXPECT_EQ(clrep.status, 0);
    // now complete: it opens for reading
    mi_open_file_req rreq{MI_OPEN_READ, const_cast<char *>("generic:/db1/piece_1")};
    ASSERT_EQ(miSendRequest(cli, MI_OPEN_FILE, &rreq, &orep), 0);
    EXPECT_EQ(orep.status, 0);
    ost_mi_client_destroy(cli);
}

}  // namespace

TEST(ApplianceMiClient, DaemonServesTheLibrarysControlClient)
{
    kes_test::TempDir root;
    appl_test::Daemon d;
    ASSERT_TRUE(d.start({"--root", root.path(), "--user", "alice:pw-alice"})) << d.output();
    conversation(d.addr(), 10002, 0);
    EXPECT_EQ(d.stop(), 0);
}

TEST(ApplianceMiClient, InProcessServiceWithQuotaAndRefusedAlerts)
{
    kes_test::TempDir root;
    appliance_config cfg;
    cfg.mi_port = 0;
    cfg.root = root.path();
    cfg.users = {{"alice", "pw-alice"}};
    cfg.log_level = 3;
    cfg.quota = 0x10000000 + 100;  // one grant of space and 100 bytes
    appliance *app = nullptr;
    std::string msg;
    ASSERT_EQ(appliance_start(cfg, &app, &msg), 0) << msg;
    conversation("127.0.0.1", appliance_mi_port(app), appliance_dm_port(app));
    // a full appliance and switched-off alerts
    kes_test::write_file(root / "db1/filler", std::string(200, 'f'));
    appliance_stop(app);
    cfg.refuse_admin_alerts = true;
    ASSERT_EQ(appliance_start(cfg, &app, &msg), 0) << msg;
    int err = 0;
    ost_mi_client *cli = ost_mi_client_create("127.0.0.1", appliance_mi_port(app), nullptr, nullptr, 0, nullptr, 0,
                                              1, &err);
    ASSERT_NE(cli, nullptr);
    ASSERT_EQ(pgnauth_authenticate(cli, "alice", "pw-alice"), 0);
    mi_open_file_req oreq{MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, const_cast<char *>("generic:/db1/p2")};
    mi_open_file_reply orep{};
    ASSERT_EQ(miSendRequest(cli, MI_OPEN_FILE, &oreq, &orep), 0);
    ASSERT_EQ(orep.status, 0);
    mi_check_space_req creq{0, orep.handle};
    mi_check_space_reply crep{};
    ASSERT_EQ(miSendRequest(cli, MI_CHECK_SPACE, &creq, &crep), 0);
    EXPECT_EQ(crep.status, STS_ENOSPC);
    mi_admin_alert_req al{orep.handle, 1, 400, const_cast<char *>("slow"), 1};
    mi_status_reply arep{};
    ASSERT_EQ(miSendRequest(cli, MI_ADMIN_ALERT, &al, &arep), 0);
    EXPECT_EQ(arep.status, 0x21E0003D);
    ost_mi_client_destroy(cli);
    appliance_stop(app);
}
