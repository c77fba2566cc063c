// TLS between the library and the appliance: backups and restores through
// the SBT tester with nothing of the data in clear on the wire, clients the
// appliance refuses (revoked, expired, unable to use TLS), eight channels at
// once, and an appliance that checks its certificates when it starts. The
// connecting tests run in a network namespace of their own (kes_netns.h).
#include <gtest/gtest.h>

#include <barrier>
#include <chrono>
#include <random>
#include <thread>

#include "appliance/appliance.h"
#include "datamover/ost_mi.h"
#include "datamover/xcomm.h"
#include "integration/support_appliance.h"
#include "integration/support_backup.h"
#include "integration/support_record_relay.h"
#include "kes_netns.h"
#include "kes_test.h"
#include "kes_tls.h"

using kes_test::read_file;
using kes_test::ScopedWindir;
using kes_test::TempDir;
using kes_test::TestAppliance;
using kes_test::tls_certs;
using kes_test::write_file;

namespace {

constexpr const char *RELAY_ADDR = "127.0.0.5";

// Puts a client's certificate files where the library looks for them, as a
// DBA would.
void install_client(const ScopedWindir &w, const std::string &dir)
{
    std::string out;
    int rc = kes_test::run_command(std::string(KES_SOURCE_DIR) + "/scripts/tls-setup.sh --install '" + dir +
                                       "' --windir '" + w.path() + "'",
                                   &out);
    ASSERT_EQ(0, rc) << out;
}

appliance_config tls_config(const TempDir &tmp, bool required, const char *log = "appliance.log")
{
    appliance_config cfg;
    cfg.tls_dir = tls_certs().of("appliance");
    cfg.tls_required = required;
    cfg.log_file = tmp / log;
    cfg.log_level = 6;
    return cfg;
}

// The appliance's log once it holds text: the appliance logs a refused
// handshake after its alert has gone out, so the client may know first. The
// limit only stops a hang.
std::string log_with(const std::string &path, const std::string &text)
{
    std::string log;
    for (int i = 0; i < 1000; ++i) {
        log = read_file(path);
        if (log.find(text) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return log;
}

size_t count(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

class ApplianceTls : public ::testing::Test {
protected:
    void SetUp() override
    {
        kes_test::clear_channel_env();
        ASSERT_EQ("", tls_certs().error);
    }
    void TearDown() override { unsetenv("BACKUP_PASSWORD"); }
    void ini(bool tls_required)
    {
        write_file(windir_.path() + "/librmanKESTRALON.ini",
                   std::string("IO_PATH=1\nENCRYPTION_REQUIRED=") + (tls_required ? "1" : "0") + "\n");
    }
    ScopedWindir windir_;
    TempDir tmp_;
};

}  // namespace

TEST_F(ApplianceTls, StartChecksItsCertificates)
{
    const auto &c = tls_certs();
    struct Case {
        const char *what;
        std::string dir;
        bool required;
        const char *error;  // null: starts
    } cases[] = {
        {"required without a directory", "", true, "--tls-required needs --tls-dir"},
        {"a directory without the files", tmp_ / "nothing", false, "Can't read SSL certificate file"},
        {"required with an EC certificate", c.of("client"), true, "has no RSA key"},
        {"offered with an EC certificate: starts, in clear", c.of("client"), false, nullptr},
        {"required with the RSA certificate", c.of("appliance"), true, nullptr},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        appliance_config cfg;
        cfg.tls_dir = k.dir;
        cfg.tls_required = k.required;
        TestAppliance app;
        bool started = app.start(cfg);
        EXPECT_EQ(k.error == nullptr, started) << app.last_error();
        if (k.error != nullptr) {
            EXPECT_NE(app.last_error().find(k.error), std::string::npos) << app.last_error();
        }
    }
    // The switches of the command line (and of the configuration file).
    appliance_config cfg;
    std::string msg;
    const char *argv[] = {"kestralon-appliance", "--root", "/tmp", "--user", "a:b", "--tls-dir", "/etc/kes/tls",
                          "--tls-required"};
    ASSERT_EQ(0, appliance_parse_args(8, const_cast<char **>(argv), &cfg, &msg)) << msg;
    EXPECT_EQ("/etc/kes/tls", cfg.tls_dir);
    EXPECT_TRUE(cfg.tls_required);
}

TEST_F(ApplianceTls, TesterBackupAndRestoreOverTlsShowNoDataInClear)
{
    KES_IN_TLS_NETNS();
    install_client(windir_, tls_certs().of("client"));
    std::string data(3 << 20, '\0');
    std::mt19937_64 rng(77);
    for (auto &ch : data)
        ch = static_cast<char>(rng());
    write_file(tmp_ / "in.bin", data);
    const std::string marker = data.substr(1234567, 64);  // any stretch of the data will do
    setenv("BACKUP_PASSWORD", "secret", 1);
    const std::string tool = std::string(KES_BUILD_DIR) + "/kestralon-sbttest --lib " + KES_LIB_PATH +
                             " --quiet --block-size 256K --env 'ENV=(BACKUP_HOST=" + RELAY_ADDR +
                             ", BACKUP_SHARE=rman, BACKUP_USERNAME=rman)' ";

    // The same round trip twice, through a relay that records the wire:
    // first with a plain appliance (the record shows the data, so the check
    // below can see it), then with one that requires TLS.
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "clear");
        ini(tls);
        TestAppliance app;
        ASSERT_TRUE(app.start(tls ? tls_config(tmp_, true) : appliance_config())) << app.last_error();
        kes_test::RecordingRelay relay;
        ASSERT_TRUE(relay.start(RELAY_ADDR, app.addr(), {10002, app.dm_port()}));
        std::string piece = tls ? "over-tls" : "in-clear", out;
        ASSERT_EQ(0, kes_test::run_command(tool + "backup " + piece + " " + (tmp_ / "in.bin"), &out)) << out;
        ASSERT_EQ(0, kes_test::run_command(tool + "restore " + piece + " " + (tmp_ / "out.bin"), &out)) << out;
        EXPECT_TRUE(read_file(tmp_ / "out.bin") == data) << "restored file differs";
        relay.stop();
        app.stop();

        std::vector<kes_test::RecordingRelay::Stream> streams = relay.streams();
        size_t dm = 0, up_marks = 0, down_marks = 0;
        for (const auto &s : streams) {
            dm += s.port != 10002;
            up_marks += count(s.up, marker);
            down_marks += count(s.down, marker);
            if (!tls)
                continue;
            // Each connection: the negotiate in clear, asking for TLS and
            // granted it, then nothing but TLS records.
            ASSERT_GE(s.up.size(), 30u);
            ASSERT_GE(s.down.size(), 30u);
            xcomm_hdr ask, answer;
            xcomm_hdr_decode(reinterpret_cast<const unsigned char *>(s.up.data()), &ask);
            xcomm_hdr_decode(reinterpret_cast<const unsigned char *>(s.down.data()), &answer);
            EXPECT_EQ(XCOMM_MSG_NEGOTIATE, ask.type);
            EXPECT_EQ(XCOMM_NEG_TLS, ask.rpc_id);
            EXPECT_EQ(XCOMM_NEG_TLS, answer.rpc_id);
            EXPECT_EQ(0x16, static_cast<unsigned char>(s.up[XCOMM_HDR_SIZE]));  // a handshake record
            EXPECT_EQ(0x16, static_cast<unsigned char>(s.down[XCOMM_HDR_SIZE]));
        }
        EXPECT_GE(dm, 2u);  // the backup's and the restore's data movers
        if (tls) {
            EXPECT_EQ(0u, up_marks);
            EXPECT_EQ(0u, down_marks);
            std::string log = read_file(tmp_ / "appliance.log");
            EXPECT_GE(count(log, "on the control connection: TLSv1.2 AES256-SHA256, peer /CN=KESTRALON client"), 2u)
                << log;
            EXPECT_GE(count(log, "on the data-mover connection: TLSv1.2 AES256-SHA256, peer /CN=KESTRALON client"),
                      2u)
                << log;
        } else {
            EXPECT_GE(up_marks, 1u);  // the backup carried it, the restore brought it back
            EXPECT_GE(down_marks, 1u);
        }
    }
}

TEST_F(ApplianceTls, RevokedExpiredAndPlainClientsAreRefused)
{
    KES_IN_TLS_NETNS();
    const auto &c = tls_certs();
    ini(true);
    kes_test::SbtLib lib;
    struct Case {
        const char *who;
        const char *logged;  // null: admitted
    } cases[] = {
        {"client", nullptr},
        {"revoked", "peer certificate refused: certificate revoked"},
        {"expired", "peer certificate refused: certificate has expired"},
    };
    // An appliance of its own for each, so that each has its log line (the
    // appliance logs a refused address only every few seconds).
    for (const Case &k : cases) {
        SCOPED_TRACE(k.who);
        std::string log_name = std::string(k.who) + ".log";
        TestAppliance app;
        ASSERT_TRUE(app.start(tls_config(tmp_, true, log_name.c_str()))) << app.last_error();
        install_client(windir_, c.of(k.who));
        kes_test::Channel ch;
        ASSERT_EQ(0, ch.init(lib));
        int rc = ch.init2(kes_test::login_params(app.addr()).c_str());
        if (k.logged == nullptr) {
            EXPECT_EQ(0, rc) << ch.error();
        } else {
            EXPECT_EQ(-1, rc);
            EXPECT_EQ("sbtinit2: mi_session failed: XCOMM_ERR_NEGOTIATE", ch.error());
            std::string log = log_with(tmp_ / log_name, k.logged);
            EXPECT_NE(log.find(k.logged), std::string::npos) << log;
        }
        EXPECT_EQ(0, ch.end());
    }
    // A client that cannot use TLS at all is not served in clear either.
    TestAppliance app;
    ASSERT_TRUE(app.start(tls_config(tmp_, true))) << app.last_error();
    int err = 0;
    ost_mi_client *mi = ost_mi_client_create(app.addr().c_str(), 10002, nullptr, nullptr, 0, nullptr, 0, 1, &err);
    EXPECT_EQ(nullptr, mi);
    EXPECT_EQ(XCOMM_ERR_NEGOTIATE, err);
    if (mi != nullptr)
        ost_mi_client_destroy(mi);
    const std::string refused = "refused: the client cannot use TLS, which --tls-required demands";
    std::string log = log_with(tmp_ / "appliance.log", refused);
    EXPECT_NE(log.find(refused), std::string::npos) << log;
}

TEST(ApplianceTlsConcurrency, EightChannelsBackUpAndRestoreOverTls)
{
    KES_IN_TLS_NETNS();
    ASSERT_EQ("", tls_certs().error);
    kes_test::clear_channel_env();
    ScopedWindir windir;
    TempDir tmp;
    install_client(windir, tls_certs().of("client"));
    write_file(windir.path() + "/librmanKESTRALON.ini", "IO_PATH=1\nENCRYPTION_REQUIRED=1\n");
    TestAppliance app;
    ASSERT_TRUE(app.start(tls_config(tmp, true))) << app.last_error();
    kes_test::SbtLib lib;
    constexpr int kChannels = 8;
    std::vector<std::string> errors(kChannels);
    std::barrier ready(kChannels);
    std::vector<std::thread> threads;
    for (int t = 0; t < kChannels; ++t) {
        threads.emplace_back([&, t] {
            kes_test::Channel ch;
            bool up = ch.init(lib) == 0 && ch.init2(kes_test::login_params(app.addr()).c_str()) == 0;
            if (!up)
                errors[t] = "sbtinit2: " + ch.error();
            ready.arrive_and_wait();  // every handshake before any data
            if (!up)
                return;
            std::string name = "tls-chan" + std::to_string(t);
            kes_test::Outcome o = kes_test::backup_piece(ch, name, 65536, 10, 500 + t);
            if (o.rc != 0)
                errors[t] = "backup: " + o.error;
            else if (kes_test::restore_piece(ch, name, 65536, 500 + t, &o) != 10 || o.rc != 0)
                errors[t] = "restore: " + o.error;
            ch.end();
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < kChannels; ++t)
        EXPECT_EQ("", errors[t]) << "channel " << t;
    app.stop();
    std::string log = read_file(tmp / "appliance.log");
    EXPECT_EQ(static_cast<size_t>(kChannels), count(log, "on the control connection: TLSv1.2")) << log;
    EXPECT_EQ(static_cast<size_t>(kChannels), count(log, "on the data-mover connection: TLSv1.2")) << log;
}
