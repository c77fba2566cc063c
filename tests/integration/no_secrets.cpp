// No password reaches a log, the trace file, standard error or a process
// list, and the channel's copy is gone once the channel ends.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "integration/support_appliance.h"
#include "integration/support_sbt.h"
#include "kes_test.h"

using kes_test::Channel;
using kes_test::read_file;
using kes_test::SbtLib;
using kes_test::ScopedWindir;
using kes_test::TempDir;
using kes_test::TestAppliance;
using kes_test::write_file;

namespace {

// Every file below dir that holds text, with its path.
std::vector<std::pair<std::string, std::string>> files_below(const std::string &dir)
{
    std::vector<std::pair<std::string, std::string>> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec))
            out.emplace_back(it->path().string(), read_file(it->path().string()));
    return out;
}

void expect_nowhere(const std::string &secret, const std::vector<std::pair<std::string, std::string>> &texts)
{
    for (const auto &[where, text] : texts)
        EXPECT_EQ(text.find(secret), std::string::npos) << "the password is in " << where;
}

using kes_test::run_command;

class NoSecrets : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *v : {"BACKUP_HOST", "BACKUP_SHARE", "BACKUP_USERNAME", "BACKUP_PASSWORD", "BACKUP_CREDID"})
            unsetenv(v);
        write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=1\nDEBUG_LEVEL=trace1\n");
        appliance_config cfg;
        cfg.users.push_back({"rman", password_});
        ASSERT_TRUE(app_.start(cfg)) << app_.last_error();
    }

    const std::string password_ = "Pw7q-x2Kd9";
    ScopedWindir windir_;
    TestAppliance app_;
    TempDir tmp_;
};

}  // namespace

TEST_F(NoSecrets, TesterRunsLeaveNoPasswordInLogsTraceOrOutput)
{
    const std::string pwfile = tmp_ / "password", trace = tmp_ / "trace.txt";
    write_file(pwfile, password_ + "\n");
    chmod(pwfile.c_str(), 0600);
    write_file(tmp_ / "in.bin", std::string(200000, 'x'));
    const std::string base = std::string(KES_BUILD_DIR) + "/kestralon-sbttest --lib " + KES_LIB_PATH +
                             " --quiet --trace " + trace + " --trace-level 2 ";
    const std::string tool = base + "--password-file " + pwfile + " --env BACKUP_HOST=" + app_.addr() +
                             ",BACKUP_SHARE=rman,BACKUP_USERNAME=rman ";
    std::string out;
    ASSERT_EQ(run_command(tool + "--block-size 64K backup p1 " + (tmp_ / "in.bin"), &out), 0) << out;
    ASSERT_EQ(run_command(tool + "info p1", &out), 0) << out;
    ASSERT_EQ(run_command(tool + "--block-size 64K restore p1 " + (tmp_ / "out.bin"), &out), 0) << out;
    ASSERT_EQ(run_command(tool + "remove p1", &out), 0) << out;
    // A mistyped option of the credential command, and malformed parameters.
    EXPECT_NE(run_command(tool + "command creds -s -c c1 -H h -u u --passwd=" + password_, &out), 0);
    EXPECT_NE(run_command(base + "--env BACKUP_HOST=" + app_.addr() + ",BACKUP_PASSWORD==" + password_ + " info p1", &out), 0);
    const std::string half = password_.substr(0, 4), rest = password_.substr(5);
    EXPECT_NE(run_command(base + "--env 'BACKUP_PASSWORD=" + half + "," + rest + "' info p1", &out), 0);
    // A password file others may read is refused before anything happens.
    chmod(pwfile.c_str(), 0644);
    EXPECT_EQ(run_command(tool + "info p1", &out), 2);
    EXPECT_NE(out.find("make it private with: chmod 600 " + pwfile), std::string::npos) << out;

    // The runs were logged and traced at their most detailed.
    std::string t = read_file(trace);
    EXPECT_NE(t.find("ENTER rman_pgn_sbtwrite2"), std::string::npos);
    EXPECT_NE(t.find("Malformed SBT parameter BACKUP_PASSWORD=*****"), std::string::npos) << t;
    EXPECT_NE(out.find("Malformed SBT parameter *****"), std::string::npos) << out;
    auto texts = files_below(windir_.path());
    texts.emplace_back(trace, t);
    texts.emplace_back("the standard output and error", out);
    for (const std::string &s : {password_, rest})
        expect_nowhere(s, texts);
}

TEST_F(NoSecrets, ChannelForgetsThePasswordAtSbtend)
{
    SbtLib lib;
    ASSERT_NE(lib.handle, nullptr);
    Channel admin;
    ASSERT_EQ(admin.init(lib), 0);
    ASSERT_EQ(admin.init2(), 0);
    std::string cmd = "creds -s -c prod -H " + app_.addr() + " -u rman -p " + password_;
    ASSERT_EQ(admin.v->command(admin.ctx, 0, cmd.c_str()), 0) << admin.error();
    ASSERT_EQ(admin.end(), 0);

    Channel ch;
    ASSERT_EQ(ch.init(lib), 0);
    std::string p = "BACKUP_HOST=" + app_.addr() + ",BACKUP_SHARE=rman,BACKUP_CREDID=prod";
    ASSERT_EQ(ch.init2(p.c_str()), 0) << ch.error();
    ASSERT_NE(ch.rec()->flags & RPGN_F_SESSION, 0u);
    auto in_context = [&] {
        return memmem(ch.ctx, RPGN_CTX_SIZE, password_.data(), password_.size()) != nullptr;
    };
    EXPECT_TRUE(in_context()) << "the looked-up password is held while the channel lives";
    ASSERT_EQ(ch.end(), 0);
    EXPECT_FALSE(in_context());
    EXPECT_EQ(ch.rec()->backup_password, nullptr);
    EXPECT_EQ(ch.rec()->state, nullptr);
}

TEST_F(NoSecrets, MainJobShowsNoPasswordInAnyProcessList)
{
    TempDir work;
    unsigned pid = static_cast<unsigned>(getpid());
    std::string addr = "127." + std::to_string(235 + ((pid >> 16) & 15)) + "." + std::to_string((pid >> 8) & 255) +
                       "." + std::to_string(pid & 255);
    std::string cmd = "MAIN_JOB_MB=1 MAIN_JOB_ADDR=" + addr + " MAIN_JOB_BUILD=" + KES_BUILD_DIR +
                      " MAIN_JOB_WORK=" + work.path() + " " + KES_SOURCE_DIR + "/scripts/main-job.sh";
    std::atomic<bool> done{false};
    std::set<std::string> seen;  // every command line that appeared while the job ran
    std::thread watcher([&] {
        while (!done) {
            DIR *d = opendir("/proc");
            if (d == nullptr)
                return;
            while (dirent *e = readdir(d)) {
                if (e->d_name[0] < '0' || e->d_name[0] > '9')
                    continue;
                int fd = open(("/proc/" + std::string(e->d_name) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0)
                    continue;
                char buf[8192];
                ssize_t n = read(fd, buf, sizeof buf);
                close(fd);
                if (n > 0)
                    seen.insert(std::string(buf, static_cast<size_t>(n)));
            }
            closedir(d);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::string out;
    int rc = run_command(cmd, &out);
    done = true;
    watcher.join();
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("MAIN JOB PASSED"), std::string::npos) << out;

    std::string pw = read_file(work / "password");
    ASSERT_FALSE(pw.empty());
    pw = pw.substr(0, pw.find('\n'));
    ASSERT_GE(pw.size(), 16u);
    bool saw_appliance = false, saw_tester = false;
    for (const std::string &c : seen) {
        saw_appliance |= c.find("kestralon-appliance") != std::string::npos;
        saw_tester |= c.find("kestralon-sbttest") != std::string::npos;
        EXPECT_EQ(c.find(pw), std::string::npos) << "in a process list: " << c;
    }
    EXPECT_TRUE(saw_appliance);
    EXPECT_TRUE(saw_tester);
    auto texts = files_below(work / "windir");
    texts.emplace_back("the appliance log", read_file(work / "appliance.log"));
    texts.emplace_back("the job's output", out);
    expect_nowhere(pw, texts);
}
