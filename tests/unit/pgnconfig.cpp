#include "lib/common/pgnconfig.h"

#include <gtest/gtest.h>

#include <string>

#include "datamover/dm.h"
#include "datamover/util.h"
#include "datamover/xcomm.h"
#include "kes_test.h"
#include "lib/common/log.h"

using kes_test::read_file;
using kes_test::TempDir;

namespace {

class Config : public ::testing::Test {
protected:
    void SetUp() override
    {
        pgnconfig_reset_defaults();
        ASSERT_NE(plog_open_main(dir_.path().c_str()), nullptr);
        plog_configure_main(LOG_LVL_INFO, 104857600, 10);
    }
    void TearDown() override
    {
        plog_close_all();
        pgnconfig_reset_defaults();
    }
    std::string log() const { return read_file(dir_ / "rman0.log"); }
    pgn_config &c = pgncfg();
    TempDir dir_;
};

}  // namespace

TEST_F(Config, RangesAreEnforcedPerKey)
{
    ost_parse_line("IO_PATH=7\n");
    EXPECT_EQ(c.IO_PATH.load(), 4);
    ost_parse_line("  IO_PATH =  1\n");
    EXPECT_EQ(c.IO_PATH.load(), 1);
    ost_parse_line("WRITE_CACHE_SIZE=64\n");
    EXPECT_EQ(c.WRITE_CACHE_SIZE.load(), 31457280);
    ost_parse_line("WRITE_CACHE_SIZE=-1\n");
    EXPECT_EQ(c.WRITE_CACHE_SIZE.load(), 31457280);
    ost_parse_line("WRITE_CACHE_SIZE=2\n");
    EXPECT_EQ(c.WRITE_CACHE_SIZE.load(), 2 * 1048576);
    ost_parse_line("WRITE_CACHE_SIZE=0\n");
    EXPECT_EQ(c.WRITE_CACHE_SIZE.load(), 0);
    ost_parse_line("READ_CACHE_SIZE=30\n");
    EXPECT_EQ(c.READ_CACHE_SIZE.load(), 31457280);
    ost_parse_line("LOG_LIMIT=1000\n");
    EXPECT_EQ(c.LOG_LIMIT.load(), 104857600);
    ost_parse_line("LOG_LIMIT=32768\n");
    EXPECT_EQ(c.LOG_LIMIT.load(), 32768);
    ost_parse_line("LOG_LIMITS=65536\n");  // a longer key counts as the key it begins with
    EXPECT_EQ(c.LOG_LIMIT.load(), 65536);
    ost_parse_line("LOG_FILE_LIMIT=0\n");
    EXPECT_EQ(c.LOG_FILE_LIMIT.load(), 10);
    ost_parse_line("OPDUP_TIMEOUT=-5\n");
    EXPECT_EQ(c.OPDUP_TIMEOUT.load(), 43200);
    ost_parse_line("SERVER_READ_BUFFERED=5\n");
    EXPECT_EQ(c.SERVER_READ_BUFFERED.load(), 1);
    ost_parse_line("USE_POLL=0\n");
    EXPECT_EQ(c.USE_POLL.load(), 0);
    ost_parse_line("COMP_DATA_CHECKSUMS=3\n");
    EXPECT_EQ(c.COMP_DATA_CHECKSUMS.load(), 1);
    ost_parse_line("COMP_DATA_CHECKSUMS=0\n");
    EXPECT_EQ(c.COMP_DATA_CHECKSUMS.load(), 1);
    ost_parse_line("ENCRYPTION_REQUIRED=2\n");
    EXPECT_EQ(c.ENCRYPTION_REQUIRED.load(), 0);
    ost_parse_line("ENCRYPTION_REQUIRED=1\n");
    EXPECT_EQ(c.ENCRYPTION_REQUIRED.load(), 1);
    ost_parse_line("DMC_READ_AHEAD_SIZE_MB=33\n");
    EXPECT_EQ(c.DMC_READ_AHEAD_SIZE_MB.load(), -1);
    ost_parse_line("DMC_READ_AHEAD_SIZE_MB=8\n");
    EXPECT_EQ(c.DMC_READ_AHEAD_SIZE_MB.load(), 8);
    ost_parse_line("TCP_NODELAY=abc\n");  // no digits gives 0
    EXPECT_EQ(c.TCP_NODELAY.load(), 0);
    ost_parse_line("TCP_SNDBUF=99999999999\n");  // clamped, stored as any integer
    EXPECT_EQ(c.TCP_SNDBUF.load(), 2147483647);
    ost_parse_line("ZORCOPY_VLX_23=5\n");
    ost_parse_line("LOG_PATH=/x\n");
    EXPECT_EQ(log().find("Invalid option"), std::string::npos);
}

TEST_F(Config, DebugLevelTakesNamesOnly)
{
    ost_parse_line("DEBUG_LEVEL=trace\n");
    EXPECT_EQ(c.DEBUG_LEVEL.load(), 8);
    ost_parse_line("DEBUG_LEVEL=8\n");
    EXPECT_EQ(c.DEBUG_LEVEL.load(), -1);
}

TEST_F(Config, BadKeysAndKeepaliveValuesAreReported)
{
    ost_parse_line("TCP_KEEPIDLE=0\n");
    EXPECT_EQ(c.TCP_KEEPIDLE.load(), 60000);  // keep-alive stays on
    EXPECT_NE(log().find("ost_parse_line: TCP_KEEPIDLE has invalid value, ignoring.\n"), std::string::npos);
    ost_parse_line("RESPONSE_TIMEOUT=4\n");
    ost_parse_line("RESPONSE_TIMEOUT=86401\n");
    EXPECT_EQ(c.RESPONSE_TIMEOUT.load(), 300);
    EXPECT_NE(log().find("ost_parse_line: RESPONSE_TIMEOUT has invalid value, ignoring.\n"), std::string::npos);
    ost_parse_line("RESPONSE_TIMEOUT=5\n");
    EXPECT_EQ(c.RESPONSE_TIMEOUT.load(), 5);
    ost_parse_line("RESPONSE_TIMEOUT=86400\n");
    EXPECT_EQ(c.RESPONSE_TIMEOUT.load(), 86400);
    ost_parse_line("TCP_KEEPCNT=1215752191\n");
    EXPECT_EQ(c.TCP_KEEPCNT.load(), 1215752191);
    ost_parse_line("FOO=1\n");
    EXPECT_NE(log().find("ost_parse_line: Invalid option: FOO\n"), std::string::npos);
    ost_parse_line("# IO_PATH=1\n");
    ost_parse_line("; IO_PATH=1\n");
    EXPECT_EQ(c.IO_PATH.load(), 4);
    ost_parse_line(" #IO_PATH=1\n");  // not a comment once a blank precedes it
    EXPECT_NE(log().find("Invalid option: #IO_PATH\n"), std::string::npos);
    std::string before = log();
    ost_parse_line("IO_PATH 1\n");  // no "=": ignored silently
    ost_parse_line("IO_PATH=   \n");
    EXPECT_EQ(log(), before);
    EXPECT_EQ(c.IO_PATH.load(), 4);
}

TEST_F(Config, PrintShowsTheEffectiveValues)
{
    ost_parse_line("IO_PATH=1\n");
    ost_parse_line("TCP_NODELAY=1\n");
    ost_parse_line("TCP_KEEPINTVL=5\n");
    pgnconfig_print();
    std::string l = log();
    // What the lines set is shown, by name where the value has one; an OS
    // setting left alone shows as the unsigned -1.
    for (const char *want : {"IO_PATH=DM\n", "TCP_NODELAY=ENABLED\n", "TCP_KEEPINTVL=5\n", "TCP_RCVBUF=4294967295\n"})
        EXPECT_NE(l.find(want), std::string::npos) << want;
}

TEST_F(Config, FileWithJunkAndEndlessLinesIsSafe)
{
    TempDir d;
    std::string junk;
    for (int i = 0; i < 4096; i++)
        junk += static_cast<char>((i * 37) & 0xFF);
    junk += "\nIO_PATH=1\n";
    junk += std::string(100000, 'A') + "=5\n";
    junk += std::string(300, '=') + "\n";
    junk += "LOG_FILE_LIMIT=3";  // last line without a line end
    kes_test::write_file(d / "cfg.ini", junk);
    EXPECT_EQ(pgnconfig_read((d / "cfg.ini").c_str()), 0);
    EXPECT_EQ(c.IO_PATH.load(), 1);
    EXPECT_EQ(c.LOG_FILE_LIMIT.load(), 3);
    EXPECT_EQ(pgnconfig_read((d / "missing.ini").c_str()), 1);
    EXPECT_EQ(c.IO_PATH.load(), 1) << "a missing file keeps what earlier reads set";
}

TEST_F(Config, DmLayerTakesItsSettingsFromTheRecord)
{
    ost_parse_line("COMP_DATA_CHECKSUMS=1\n");
    ost_parse_line("DMC_READ_AHEAD_SIZE_MB=4\n");
    dm_settings s;
    pgnconfig_dm_settings(&s);
    EXPECT_EQ(s.tcp_nodelay, -1) << "unset keys leave the OS setting";
    dm_apply_settings(&s);
    EXPECT_TRUE(util_page_digest());
    EXPECT_EQ(util_size_mb(), 4);
    // Keep-alive values reach the transport without any line asking for them.
    EXPECT_EQ(xcomm_get_sockopt(XCOMM_OPT_KEEPIDLE), 60000);
    EXPECT_EQ(xcomm_get_sockopt(XCOMM_OPT_KEEPCNT), 6);
    EXPECT_EQ(xcomm_get_sockopt(XCOMM_OPT_KEEPINTVL), 10000);
    util_set_page_digest(false);
    util_set_size_mb(16);
}

TEST(ConfigPaths, DerivedFromWindir)
{
    pgnconfig_reset_paths();
    setenv("WINDIR", "/srv/w", 1);
    EXPECT_STREQ(pgnconfig_path(), "/srv/w/librmanKESTRALON.ini");
    EXPECT_STREQ(pgnconfig_libdir(), "/srv/w/KESTRALON");
    EXPECT_STREQ(pgnconfig_creds_path(), "/srv/w/KESTRALON/creds.xml");
    EXPECT_STREQ(pgnconfig_crl_path(), "/srv/w/KESTRALON/crl.pem");
    setenv("WINDIR", "/other", 1);
    EXPECT_STREQ(pgnconfig_path(), "/srv/w/librmanKESTRALON.ini") << "formatted once";
    pgnconfig_reset_paths();
    unsetenv("WINDIR");
    EXPECT_STREQ(pgnconfig_libdir(), "/var/opt/kestralon/KESTRALON");
    pgnconfig_reset_paths();
}
