// The SBT tester as an administrator runs it: a child process that loads the
// library and drives it against the appliance service.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <random>
#include <string>

#include "integration/support_appliance.h"
#include "kes_test.h"

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
        tool_ = std::string(KES_BUILD_DIR) + "/kestralon-sbttest --lib " + KES_LIB_PATH + " --quiet --env 'ENV=(BACKUP_HOST=" +
                app_.addr() + ", BACKUP_SHARE=rman, BACKUP_USERNAME=rman)' ";
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
    r = run(tool_ + "--block-size 100 test");
    EXPECT_EQ(r.status, 2) << r.out;
    r = run(std::string(KES_BUILD_DIR) + "/kestralon-sbttest --lib /nonexistent.so test");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("cannot load /nonexistent.so"), std::string::npos) << r.out;
}
