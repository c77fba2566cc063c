// The appliance's configuration file: its keys are the switches, the command
// line wins over it, and a bad file is refused with its name, line and reason.
#include "appliance/appl_conf.h"
#include "appliance/appliance.h"
#include "kes_test.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

int parse_args(std::vector<std::string> args, appliance_config *cfg, std::string *msg)
{
    args.insert(args.begin(), "kestralon-appliance");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    return appliance_parse_args(int(argv.size()), argv.data(), cfg, msg);
}

class ConfFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        users_ = dir_ / "users";
        kes_test::write_file(users_, "alice:pw-of-alice\n");
        ASSERT_EQ(chmod(users_.c_str(), 0600), 0);
        conf_ = dir_ / "appliance.conf";
    }
    void write_conf(const std::string &text, mode_t mode = 0644)
    {
        kes_test::write_file(conf_, text);
        ASSERT_EQ(chmod(conf_.c_str(), mode), 0);
    }
    // Parses --config conf_ plus extra switches; expects a refusal that names
    // the file and the line and says why.
    void expect_refused(const std::string &text, int line, const std::string &why, const char *hidden = nullptr)
    {
        SCOPED_TRACE(text);
        write_conf(text);
        appliance_config cfg;
        std::string msg;
        EXPECT_EQ(parse_args({"--config", conf_}, &cfg, &msg), -1) << text;
        EXPECT_NE(msg.find(conf_ + ", line " + std::to_string(line) + ": "), std::string::npos) << msg;
        EXPECT_NE(msg.find(why), std::string::npos) << msg;
        if (hidden != nullptr) {
            EXPECT_EQ(msg.find(hidden), std::string::npos) << msg;
        }
    }

    kes_test::TempDir dir_;
    std::string users_;
    std::string conf_;
};

TEST_F(ConfFile, EveryKindOfSwitchIsAKey)
{
    write_conf("# appliance settings\n"
               "\n"
               "   root = " + dir_.path() + "  \n"
               "listen=127.0.0.9\r\n"
               "users-file = " + users_ + "\n"
               "\t# an indented comment\n"
               "quota = 2G\n"
               "log-level = debug\n"
               "fault-on = dm\n"
               "refuse-admin-alerts = yes\n"
               "log-file = " + dir_.path() + "/with # inside.log\n");
    appliance_config cfg;
    std::string msg;
    ASSERT_EQ(parse_args({"--config", conf_}, &cfg, &msg), 0) << msg;
    EXPECT_EQ(cfg.root, dir_.path());
    EXPECT_EQ(cfg.listen_addr, "127.0.0.9");
    EXPECT_EQ(cfg.quota, 2ULL << 30);
    EXPECT_EQ(cfg.log_level, 7);
    EXPECT_EQ(cfg.fault_conns, unsigned(APPL_FAULT_DM));
    EXPECT_TRUE(cfg.refuse_admin_alerts);
    EXPECT_EQ(cfg.log_file, dir_.path() + "/with # inside.log");
    ASSERT_EQ(cfg.users.size(), 1u);
    EXPECT_EQ(cfg.users[0].name, "alice");

    // "no" turns a switch off, and the switch also takes it on the command line.
    write_conf("root = /r\nusers-file = " + users_ + "\nrefuse-admin-alerts = no\n");
    appliance_config off;
    ASSERT_EQ(parse_args({"--config=" + conf_}, &off, &msg), 0) << msg;
    EXPECT_FALSE(off.refuse_admin_alerts);
    appliance_config on;
    ASSERT_EQ(parse_args({"--config=" + conf_, "--refuse-admin-alerts"}, &on, &msg), 0) << msg;
    EXPECT_TRUE(on.refuse_admin_alerts);
}

TEST_F(ConfFile, CommandLineReplacesTheKeysItGives)
{
    std::string other = dir_ / "other-users";
    kes_test::write_file(other, "bob:pw-of-bob\n");
    ASSERT_EQ(chmod(other.c_str(), 0600), 0);
    // The file's users file does not exist: it must not even be opened when
    // the command line names another one.
    write_conf("root = /from-file\nquota = 1M\nusers-file = " + (dir_ / "missing") + "\nlisten = 127.0.0.7\n");
    appliance_config cfg;
    std::string msg;
    ASSERT_EQ(parse_args({"--quota", "3M", "--config", conf_, "--users-file", other, "--root=/from-cmd"}, &cfg, &msg),
              0)
        << msg;
    EXPECT_EQ(cfg.quota, 3ULL << 20);
    EXPECT_EQ(cfg.root, "/from-cmd");
    EXPECT_EQ(cfg.listen_addr, "127.0.0.7");  // not given on the command line: the file's
    ASSERT_EQ(cfg.users.size(), 1u);
    EXPECT_EQ(cfg.users[0].name, "bob");

    // Without the override the file's missing users file is an error.
    appliance_config c2;
    EXPECT_EQ(parse_args({"--config", conf_}, &c2, &msg), -1);
    EXPECT_NE(msg.find("missing"), std::string::npos) << msg;

    // Help still answers with a configuration file named, and --config is taken once.
    appliance_config c3;
    EXPECT_EQ(parse_args({"--config", conf_, "--help"}, &c3, &msg), 1);
    EXPECT_NE(msg.find("--config FILE"), std::string::npos);
    EXPECT_EQ(parse_args({"--config", conf_, "--config", conf_}, &c3, &msg), -1);
    EXPECT_NE(msg.find("once"), std::string::npos) << msg;
}

TEST_F(ConfFile, BadLinesAreRefusedWithFileLineAndReason)
{
    expect_refused("root = /r\n\n# fine so far\nfrobnicate = 1\n", 4, "unknown key 'frobnicate'");
    expect_refused("root = /r\nquota = lots\n", 2, "--quota: 'lots' is not a valid number");
    expect_refused("root = /r\nmi-port = 70000\n", 2, "--mi-port");
    expect_refused("root = /r\nlog-level = loud\n", 2, "loud");
    expect_refused("refuse-admin-alerts = maybe\n", 1, "yes or no");
    expect_refused("root = /r\nfault-on = everything\n", 2, "mi, dm or all");
    // Lines that are not KEY = VALUE, or whose key cannot be a switch, are
    // not echoed: a pasted users file must not reach a log.
    expect_refused("root = /r\nrman:secretword\n", 2, "KEY = VALUE", "secretword");
    expect_refused("Root = /r\n", 1, "switch name", "Root");
    expect_refused("rman:secretword = x\n", 1, "switch name", "secretword");
    expect_refused("--root = /r\n", 1, "switch name");
    expect_refused("root = /r\nuser = rman:secretword\n", 2, "users file", "secretword");
    expect_refused("config = /etc/other.conf\n", 1, "'config' is not a setting");
    expect_refused("help = yes\n", 1, "not a setting");
    expect_refused("root = /r\nlisten = 127.0.0.1" + std::string(1, '\0') + "x\n", 2, "NUL");
}

TEST_F(ConfFile, FileOthersCanChangeIsRefused)
{
    std::string text = "root = /r\nusers-file = " + users_ + "\n";
    for (mode_t mode : {0664, 0646, 0666}) {
        write_conf(text, mode);
        appliance_config cfg;
        std::string msg;
        EXPECT_EQ(parse_args({"--config", conf_}, &cfg, &msg), -1) << std::oct << mode;
        EXPECT_NE(msg.find("chmod go-w " + conf_), std::string::npos) << msg;
    }
    // Readable by all is fine: the file holds no secret.
    write_conf(text, 0644);
    appliance_config cfg;
    std::string msg;
    EXPECT_EQ(parse_args({"--config", conf_}, &cfg, &msg), 0) << msg;

    // Only root can hand the file to someone else.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(conf_.c_str(), 65534, 65534), 0);
        EXPECT_EQ(parse_args({"--config", conf_}, &cfg, &msg), -1);
        EXPECT_NE(msg.find("belongs to user id 65534"), std::string::npos) << msg;
    }

    EXPECT_EQ(parse_args({"--config", dir_ / "absent.conf"}, &cfg, &msg), -1);
    EXPECT_NE(msg.find("absent.conf"), std::string::npos) << msg;
    EXPECT_EQ(parse_args({"--config", dir_.path()}, &cfg, &msg), -1);
    EXPECT_NE(msg.find("not a regular file"), std::string::npos) << msg;
    // A FIFO is refused at once instead of waiting for a writer.
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(parse_args({"--config", dir_ / "fifo"}, &cfg, &msg), -1);
    EXPECT_NE(msg.find("not a regular file"), std::string::npos) << msg;
}

}  // namespace
