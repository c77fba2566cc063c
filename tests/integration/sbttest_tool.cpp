// The SBT tester as an administrator runs it: a child process that loads the
// library and drives it against the appliance service.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "integration/support_appliance.h"
#include "integration/support_backup.h"
#include "kes_test.h"
#include "lib/common/mi_comm.h"

using kes_test::read_file;
using kes_test::ScopedWindir;
using kes_test::TempDir;
using kes_test::TestAppliance;
using kes_test::write_file;

namespace {

struct Result {
    int status;
    std::string out;
};

Result run(const std::string &cmd)
{
    Result r{-1, ""};
    FILE *p = popen(("(" + cmd + ") 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

class Tester : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *v : {"BACKUP_HOST", "BACKUP_SHARE", "BACKUP_USERNAME", "BACKUP_PASSWORD", "BACKUP_CREDID"})
            unsetenv(v);
        write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=1\n");
        ASSERT_TRUE(app_.start()) << app_.last_error();
        // The password reaches the tester through its environment.
        setenv("BACKUP_PASSWORD", "secret", 1);
        tool_ = tool_for(app_);
    }
    static std::string tool_for(const TestAppliance &a)
    {
        return std::string(KES_BUILD_DIR) + "/kestralon-sbttest --lib " + KES_LIB_PATH +
               " --quiet --env 'ENV=(BACKUP_HOST=" + a.addr() +
               ", BACKUP_SHARE=rman, BACKUP_USERNAME=rman)' ";
    }
    // A piece written straight through the library: blocks of 16 KiB, then
    // optionally a trailer block recording length bytes.
    void write_piece(const std::string &name, uint64_t blocks, const uint64_t *trailer_length)
    {
        kes_test::SbtLib lib;
        kes_test::Channel ch;
        ASSERT_EQ(ch.init(lib), 0);
        ASSERT_EQ(ch.init2(kes_test::login_params(app_.addr()).c_str()), 0) << ch.error();
        kes_test::PieceWriter w(ch, 16384, 7);
        ASSERT_EQ(w.open(name).rc, 0);
        ASSERT_EQ(w.write(blocks).rc, 0);
        if (trailer_length != nullptr) {
            // The tester's trailer: a 32-byte magic, the length, the block size.
            std::vector<unsigned char> t(16384, 0);
            snprintf(reinterpret_cast<char *>(t.data()), 32, "KESTRALON-SBTTEST-TRAILER-1");
            uint64_t v[2] = {*trailer_length, 16384};
            memcpy(t.data() + 32, v, sizeof v);
            ASSERT_EQ(ch.v->write2(ch.ctx, 0, t.data()), 0);
        }
        ASSERT_EQ(w.close().rc, 0);
        ASSERT_EQ(ch.end(), 0);
    }
    void TearDown() override { unsetenv("BACKUP_PASSWORD"); }
    ScopedWindir windir_;
    TestAppliance app_;
    TempDir tmp_;
    std::string tool_;
};

}  // namespace

TEST_F(Tester, SelfTestCyclePasses)
{
    Result r = run(tool_ + "--block-size 64K --blocks 24 test");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("SELF-TEST PASSED"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("all 24 blocks verified"), std::string::npos) << r.out;
}

TEST_F(Tester, FileRoundTripKeepsItsExactLength)
{
    std::string data(300001, '\0');
    std::mt19937 rng(5);
    for (auto &c : data)
        c = static_cast<char>(rng());
    write_file(tmp_ / "in.bin", data);
    Result r = run(tool_ + "--block-size 16K backup piece " + (tmp_ / "in.bin"));
    ASSERT_EQ(r.status, 0) << r.out;
    r = run(tool_ + "--block-size 16K restore piece " + (tmp_ / "out.bin"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(tmp_ / "out.bin") == data) << "restored file differs";
    // Standard input and output work the same way.
    r = run("cat " + (tmp_ / "in.bin") + " | " + tool_ + "--block-size 16K backup piece2 -");
    ASSERT_EQ(r.status, 0) << r.out;
    r = run(tool_ + "--block-size 16K restore piece2 - > " + (tmp_ / "out2.bin"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(tmp_ / "out2.bin") == data) << "restored stream differs";
    r = run(tool_ + "info piece piece2 nothere");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("not found"), std::string::npos) << r.out;
    r = run(tool_ + "remove piece piece2");
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(Tester, FailuresAreReportedWithTheLibrarysMessage)
{
    Result r = run(tool_ + "restore nothere " + (tmp_ / "x"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error: sbtrestore failed: code 7501: sbtrestore: server " + app_.addr() + " failed to open file"),
              std::string::npos)
        << r.out;
    // The library reports an existing name by its code alone; the tester says what it means.
    write_file(tmp_ / "in.bin", "abc");
    ASSERT_EQ(run(tool_ + "backup twice " + (tmp_ / "in.bin")).status, 0);
    r = run(tool_ + "backup twice " + (tmp_ / "in.bin"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error: sbtbackup failed: code 7001: a backup piece of this name already exists"),
              std::string::npos)
        << r.out;
    r = run(tool_ + "--block-size 100 test");
    EXPECT_EQ(r.status, 2) << r.out;
    r = run(std::string(KES_BUILD_DIR) + "/kestralon-sbttest --lib /nonexistent.so test");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("cannot load /nonexistent.so"), std::string::npos) << r.out;
}

TEST_F(Tester, RestoreRefusesAPieceWithoutItsTrailerOrWithOneThatDisagrees)
{
    write_piece("plain", 3, nullptr);
    Result r = run(tool_ + "--block-size 16K restore plain " + (tmp_ / "out"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("error: plain does not end with the length trailer"), std::string::npos) << r.out;
    EXPECT_FALSE(std::ifstream(tmp_ / "out").good()) << "no output file that looks restored";

    // Two blocks of data where the trailer records three: a block is missing.
    uint64_t three = 3 * 16384;
    write_piece("short", 2, &three);
    r = run(tool_ + "--block-size 16K restore short " + (tmp_ / "out"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("records 49152 bytes in 3 blocks of 16384 bytes and the trailer, but 3 blocks arrived"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(std::ifstream(tmp_ / "out").good());
    // A trailer that agrees gives back exactly the length it records.
    uint64_t two = 2 * 16384 - 5;
    write_piece("whole", 2, &two);
    r = run(tool_ + "--block-size 16K restore whole - > " + (tmp_ / "out"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(tmp_ / "out").size(), two);
}

TEST_F(Tester, FailedBackupsAreReportedAndLeaveNothingToRestore)
{
    std::string data(16u << 20, '\0');
    std::mt19937 rng(9);
    for (size_t i = 0; i < data.size(); i += 4096)
        data[i] = static_cast<char>(rng());
    write_file(tmp_ / "in.bin", data);

    // A full appliance: the backup fails and says why.
    TestAppliance full;
    appliance_config cfg;
    cfg.quota = 8u << 20;
    ASSERT_TRUE(full.start(cfg, app_.root())) << full.last_error();
    Result r = run(tool_for(full) + "backup big " + (tmp_ / "in.bin"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("NOSPC"), std::string::npos) << r.out;
    r = run(tool_ + "restore big " + (tmp_ / "out.bin"));
    EXPECT_EQ(r.status, 1) << r.out;

    // A close whose answer is lost: reported failed, and nothing is there.
    TestAppliance lossy;
    cfg = appliance_config();
    cfg.wrong_msgno = MI_CLOSE_FILE;
    ASSERT_TRUE(lossy.start(cfg, app_.root())) << lossy.last_error();
    r = run(tool_for(lossy) + "backup lost " + (tmp_ / "in.bin"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("sbtclose2"), std::string::npos) << r.out;
    r = run(tool_ + "info lost");
    EXPECT_NE(r.out.find("not found"), std::string::npos) << r.out;
    // The same name then backs up and restores whole.
    r = run(tool_ + "backup lost " + (tmp_ / "in.bin"));
    ASSERT_EQ(r.status, 0) << r.out;
    r = run(tool_ + "restore lost " + (tmp_ / "out.bin"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(tmp_ / "out.bin") == data);
}
