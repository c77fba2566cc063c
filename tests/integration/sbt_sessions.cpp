// Backup pieces through the loaded library against the appliance service:
// sessions, backup, restore, catalogue, failures and several channels at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <barrier>
#include <cstring>
#include <random>
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
using kes_test::TestAppliance;

namespace {

void fill(std::vector<unsigned char> &buf, uint32_t seed, uint64_t block)
{
    std::mt19937_64 rng((static_cast<uint64_t>(seed) << 32) ^ block);
    for (size_t i = 0; i + 8 <= buf.size(); i += 8) {
        uint64_t v = rng();
        memcpy(&buf[i], &v, 8);
    }
}

bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

class Sessions : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *v : {"BACKUP_HOST", "BACKUP_SHARE", "BACKUP_USERNAME", "BACKUP_PASSWORD", "BACKUP_CREDID"})
            unsetenv(v);
        ASSERT_NE(lib_.handle, nullptr);
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=1\nDEBUG_LEVEL=info\n");
        ASSERT_TRUE(start_appliance()) << app_.last_error();
    }
    virtual bool start_appliance() { return app_.start(cfg_); }

    std::string params(const char *user = "rman", const char *password = "secret") const
    {
        std::string p = "BACKUP_HOST=" + app_.addr() + ",BACKUP_SHARE=rman";
        if (user != nullptr)
            p += std::string(",BACKUP_USERNAME=") + user;
        if (password != nullptr)
            p += std::string(",BACKUP_PASSWORD=") + password;
        return p;
    }

    // A channel with sessions to the appliance.
    void open(Channel &ch)
    {
        ASSERT_EQ(ch.init(lib_), 0);
        ASSERT_EQ(ch.init2(params().c_str()), 0) << ch.error();
        ASSERT_EQ(ch.rec()->flags & (RPGN_F_INIT2 | RPGN_F_SESSION | RPGN_F_BFSTREF),
                  RPGN_F_INIT2 | RPGN_F_SESSION | RPGN_F_BFSTREF);
    }

    int backup(Channel &ch, const std::string &name, size_t bs, uint64_t blocks, uint32_t seed)
    {
        char label[] = "LABEL";
        uint32_t t3 = 7, t5 = 9;
        sbt_item objs[4] = {{2, label}, {3, &t3}, {5, &t5}, {SBT_OBJECT_END, nullptr}};
        int rc = ch.v->backup(ch.ctx, 0, name.c_str(), objs, bs, 0);
        if (rc != 0)
            return rc;
        std::vector<unsigned char> buf(bs);
        for (uint64_t i = 0; i < blocks; i++) {
            fill(buf, seed, i);
            if ((rc = ch.v->write2(ch.ctx, 0, buf.data())) != 0)
                return rc;
        }
        return ch.v->close2(ch.ctx, 0);
    }

    // Restores and compares; returns the blocks read, or -1.
    long restore(Channel &ch, const std::string &name, size_t bs, uint32_t seed)
    {
        if (ch.v->restore(ch.ctx, 0, name.c_str(), bs) != 0)
            return -1;
        std::vector<unsigned char> buf(bs), want(bs);
        long n = 0;
        for (;;) {
            int rc = ch.v->read2(ch.ctx, 0, buf.data());
            if (rc != 0) {
                uint32_t code = 0;
                std::string text = ch.error(&code);
                if (code != SBT_ERROR_EOF || !text.empty())
                    return -1;
                break;
            }
            fill(want, seed, static_cast<uint64_t>(n));
            if (memcmp(buf.data(), want.data(), bs) != 0)
                return -1;
            n++;
        }
        return ch.v->close2(ch.ctx, 0) == 0 ? n : -1;
    }

    ScopedWindir windir_;
    SbtLib lib_;
    appliance_config cfg_;
    TestAppliance app_;
};

}  // namespace

TEST_F(Sessions, SelfTestCycle)
{
    Channel ch;
    open(ch);
    ASSERT_EQ(backup(ch, "piece1", 65536, 20, 1), 0) << ch.error();
    EXPECT_TRUE(exists(app_.file("rman", "piece1")));

    char n1[] = "piece1";
    char *files[] = {n1, nullptr};
    sbt_item *info = nullptr;
    ASSERT_EQ(ch.v->info2(ch.ctx, 0, files, &info), 0) << ch.error();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info[0].type, 1u);
    EXPECT_STREQ(static_cast<char *>(info[0].value), "piece1");
    EXPECT_EQ(info[1].type, 2u);
    EXPECT_EQ(*static_cast<uint32_t *>(info[1].value), 1u);
    EXPECT_EQ(info[2].type, 6u);
    EXPECT_EQ(*static_cast<uint32_t *>(info[2].value), 2u);
    EXPECT_EQ(info[3].type, 3u);
    int64_t created = *static_cast<int64_t *>(info[3].value);
    EXPECT_LE(std::abs(created - static_cast<int64_t>(time(nullptr))), 60);
    EXPECT_EQ(info[4].type, 5u);
    EXPECT_EQ(std::string(static_cast<char *>(info[4].value)), app_.addr() + "_rman");
    EXPECT_EQ(info[5].type, 9999u);

    EXPECT_EQ(restore(ch, "piece1", 65536, 1), 20);
    ASSERT_EQ(ch.v->remove2(ch.ctx, 0, files), 0) << ch.error();
    EXPECT_FALSE(exists(app_.file("rman", "piece1")));
    ASSERT_EQ(ch.v->info2(ch.ctx, 0, files, &info), 0);
    EXPECT_EQ(info[0].type, 1u);
    EXPECT_EQ(info[1].type, 8u);
    EXPECT_EQ(info[1].value, nullptr);
    EXPECT_EQ(info[2].type, 9999u);
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(Sessions, PiecesOfEverySizeRestoreByteIdentical)
{
    Channel ch;
    open(ch);
    uint32_t seed = 100;
    for (size_t bs : {16384u, 65536u, 262144u, 1048576u, 4194304u}) {
        for (uint64_t blocks : {0u, 1u, 5u}) {
            std::string name = "p_" + std::to_string(bs) + "_" + std::to_string(blocks);
            ASSERT_EQ(backup(ch, name, bs, blocks, seed), 0) << name << ": " << ch.error();
            struct stat st;
            ASSERT_EQ(stat(app_.file("rman", name).c_str(), &st), 0);
            EXPECT_EQ(static_cast<uint64_t>(st.st_size), bs * blocks) << name;
            EXPECT_EQ(restore(ch, name, bs, seed), static_cast<long>(blocks)) << name << ": " << ch.error();
            seed++;
        }
    }
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(Sessions, CatalogueOperations)
{
    Channel ch;
    open(ch);
    ASSERT_EQ(backup(ch, "a", 16384, 1, 1), 0);
    ASSERT_EQ(backup(ch, "c", 16384, 1, 2), 0);

    // An existing name: 7001 with an empty message.
    char label[] = "x";
    sbt_item objs[2] = {{2, label}, {SBT_OBJECT_END, nullptr}};
    EXPECT_EQ(ch.v->backup(ch.ctx, 0, "a", objs, 16384, 0), -1);
    uint32_t code = 0;
    EXPECT_EQ(ch.error(&code), "");
    EXPECT_EQ(code, 7001u);
    EXPECT_EQ(ch.rec()->flags & RPGN_F_BACKUP, 0u);

    // Info for a present and a missing file in one list.
    char na[] = "a", nb[] = "b", nc[] = "c";
    char *two[] = {na, nb, nullptr};
    sbt_item *info = nullptr;
    ASSERT_EQ(ch.v->info2(ch.ctx, 0, two, &info), 0);
    EXPECT_EQ(info[0].type, 1u);
    EXPECT_EQ(info[4].type, 5u);
    EXPECT_EQ(info[5].type, 1u);
    EXPECT_STREQ(static_cast<char *>(info[5].value), "b");
    EXPECT_EQ(info[6].type, 8u);
    EXPECT_EQ(info[7].type, 9999u);

    // Removing three names whose second is missing removes the others.
    char *three[] = {na, nb, nc, nullptr};
    EXPECT_EQ(ch.v->remove2(ch.ctx, 0, three), 0) << ch.error();
    EXPECT_FALSE(exists(app_.file("rman", "a")));
    EXPECT_FALSE(exists(app_.file("rman", "c")));
    EXPECT_NE(read_file(windir_.libdir() + "/rman0.log").find("sbtremove2: file b doesn't exist\n"),
              std::string::npos);

    // A share name of 260 characters or more is refused before the appliance is asked.
    std::string longname(300, 'n');
    char *toolong[] = {longname.data(), nullptr};
    EXPECT_EQ(ch.v->remove2(ch.ctx, 0, toolong), -1);
    EXPECT_EQ(ch.error(), "sbtremove2: backup file name is too long: nnnnnnnnnn...");
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(Sessions, FileStateIsChecked)
{
    Channel ch;
    open(ch);
    ASSERT_EQ(backup(ch, "f", 16384, 2, 1), 0);
    std::vector<unsigned char> buf(16384);

    ASSERT_EQ(ch.v->restore(ch.ctx, 0, "f", 16384), 0);
    EXPECT_EQ(ch.v->write2(ch.ctx, 0, buf.data()), -1);
    EXPECT_EQ(ch.error(), "sbtwrite2: file is not opened with sbtbackup");
    EXPECT_EQ(ch.v->restore(ch.ctx, 0, "f", 16384), -1);
    EXPECT_EQ(ch.error(), "sbtrestore: a file is already open");
    char nf[] = "f";
    char *files[] = {nf, nullptr};
    EXPECT_EQ(ch.v->remove2(ch.ctx, 0, files), -1);
    EXPECT_EQ(ch.error(), "sbtremove2: file is open");
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), 0);

    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    ASSERT_EQ(ch.v->backup(ch.ctx, 0, "g", objs, 16384, 0), 0);
    EXPECT_EQ(ch.v->read2(ch.ctx, 0, buf.data()), -1);
    EXPECT_EQ(ch.error(), "sbtread2: file is opened with sbtbackup");
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), 0);
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), -1);
    EXPECT_EQ(ch.error(), "sbtclose2: no file open");

    // An unknown object type fails after the file was created; the MI handle
    // stays held until sbtclose2.
    int v4 = 1;
    sbt_item bad[2] = {{4, &v4}, {SBT_OBJECT_END, nullptr}};
    EXPECT_EQ(ch.v->backup(ch.ctx, 0, "h", bad, 16384, 0), -1);
    EXPECT_EQ(ch.error(), "sbtbackup: unknown object type");
    EXPECT_EQ(ch.v->backup(ch.ctx, 0, "i", objs, 16384, 0), -1);
    EXPECT_EQ(ch.error(), "sbtbackup: a file is already open");
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), 0);
    EXPECT_FALSE(exists(app_.file("rman", "h"))) << "a backup that failed leaves no file";
    EXPECT_EQ(ch.v->backup(ch.ctx, 0, "h", objs, 16384, 0), 0) << "and its name can be used again";
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), 0);

    // 511 characters pass the name check, 512 do not.
    std::string n511(511, 'q'), n512(512, 'q');
    EXPECT_EQ(ch.v->backup(ch.ctx, 0, n512.c_str(), objs, 16384, 0), -1);
    EXPECT_EQ(ch.error(), "sbtbackup: file name too long");
    EXPECT_EQ(ch.v->restore(ch.ctx, 0, n512.c_str(), 16384), -1);
    EXPECT_EQ(ch.error(), "sbtrestore: file name too long");
    ch.v->backup(ch.ctx, 0, n511.c_str(), objs, 16384, 0);
    EXPECT_NE(ch.error(), "sbtbackup: file name too long");
    ch.v->close2(ch.ctx, 0);
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(Sessions, RestoreOfAMissingPieceNamesTheCause)
{
    Channel ch;
    open(ch);
    EXPECT_EQ(ch.v->restore(ch.ctx, 0, "nothere", 16384), -1);
    EXPECT_EQ(ch.error().rfind("sbtrestore: server " + app_.addr() + " failed to open file: ", 0), 0u) << ch.error();
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(Sessions, SessionSetUpFailuresSayWhy)
{
    {
        Channel ch;
        ASSERT_EQ(ch.init(lib_), 0);
        EXPECT_EQ(ch.init2(params("rman", "wrong").c_str()), -1);
        EXPECT_EQ(ch.error().rfind("sbtinit2: authentication to server " + app_.addr() + " username = rman failed: ", 0),
                  0u)
            << ch.error();
        EXPECT_EQ(ch.rec()->flags, 0u);
        EXPECT_EQ(ch.rec()->mi_session, nullptr);
        // A second try on the same channel starts afresh.
        ASSERT_EQ(ch.init2(params().c_str()), 0) << ch.error();
        EXPECT_EQ(ch.init2(params().c_str()), -1);
        EXPECT_EQ(ch.error(), "sbtinit2: called more than once");
        EXPECT_EQ(ch.rec()->flags, 0u);
        EXPECT_EQ(ch.rec()->dm_session, nullptr);
        EXPECT_EQ(ch.init2("BACKUP_HOST=x,broken"), -1);
        EXPECT_EQ(ch.error(), "Malformed SBT parameter broken\n");
    }
    {
        // Without a share the channel has no sessions and the backup says so.
        Channel ch;
        ASSERT_EQ(ch.init(lib_), 0);
        unsetenv("BACKUP_SHARE");
        std::string p = "BACKUP_HOST=" + app_.addr();
        ASSERT_EQ(ch.init2(p.c_str()), 0);
        EXPECT_EQ(ch.rec()->flags, RPGN_F_INIT2);
        sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
        EXPECT_EQ(ch.v->backup(ch.ctx, 0, "x", objs, 16384, 0), -1);
        EXPECT_EQ(ch.error(), "sbtbackup: session to server is not established in sbtinit2(): storage share is not specified");
        EXPECT_EQ(ch.end(), 0);
    }
    {
        // A credential id that the store does not hold.
        Channel ch;
        ASSERT_EQ(ch.init(lib_), 0);
        unsetenv("BACKUP_USERNAME");
        unsetenv("BACKUP_PASSWORD");
        std::string p = "BACKUP_HOST=" + app_.addr() + ",BACKUP_SHARE=rman,BACKUP_CREDID=nosuch";
        EXPECT_EQ(ch.init2(p.c_str()), -1);
        EXPECT_EQ(ch.error(), "Requested credentials are not found.\n");
        // Once stored, the same id logs in.
        unsetenv("BACKUP_CREDID");
        ASSERT_EQ(ch.init2(), 0);
        std::string cmd = "creds -s -c nosuch -H " + app_.addr() + " -u rman -p secret";
        ASSERT_EQ(ch.v->command(ch.ctx, 0, cmd.c_str()), 0) << ch.error();
        ASSERT_EQ(ch.end(), 0);
        Channel ch2;
        ASSERT_EQ(ch2.init(lib_), 0);
        ASSERT_EQ(ch2.init2(p.c_str()), 0) << ch2.error();
        EXPECT_EQ(ch2.rec()->flags & RPGN_F_SESSION, RPGN_F_SESSION);
        EXPECT_EQ(ch2.end(), 0);
    }
}

TEST_F(Sessions, SbtendInTheMiddleOfABackupLeavesNoFile)
{
    Channel ch;
    open(ch);
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    ASSERT_EQ(ch.v->backup(ch.ctx, 0, "unfinished", objs, 65536, 0), 0);
    std::vector<unsigned char> buf(65536, 0x5A);
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(ch.v->write2(ch.ctx, 0, buf.data()), 0);
    EXPECT_EQ(ch.end(), 0);
    EXPECT_FALSE(exists(app_.file("rman", "unfinished")));
    // Nothing that looks like it is left in the share either.
    Channel again;
    open(again);
    EXPECT_EQ(restore(again, "unfinished", 65536, 0), -1);
    EXPECT_EQ(again.end(), 0);
}

TEST_F(Sessions, Trace1DumpsTheBufferOfEveryWrite)
{
    kes_test::TempDir tmp;
    std::string trace = tmp / "trace.txt";
    Channel ch;
    ASSERT_EQ(ch.init(lib_), 0);
    ASSERT_EQ(ch.init2(params().c_str(), trace.c_str(), 2), 0);
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    ASSERT_EQ(ch.v->backup(ch.ctx, 0, "dumped", objs, 16384, 0), 0);
    std::vector<unsigned char> buf(16384);
    for (size_t i = 0; i < buf.size(); i++)
        buf[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(ch.v->write2(ch.ctx, 0, buf.data()), 0);
    ASSERT_EQ(ch.v->close2(ch.ctx, 0), 0);
    EXPECT_EQ(ch.end(), 0);
    std::string t = read_file(trace);
    EXPECT_NE(t.find("ENTER buffer: 000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F\n"),
              std::string::npos);
    EXPECT_NE(t.find("ENTER rman_pgn_sbtwrite2: flags 0, offset0, len 4000\n"), std::string::npos);
}

class OldAppliance : public Sessions {
protected:
    bool start_appliance() override
    {
        cfg_.version = 0x60000;
        return app_.start(cfg_);
    }
};

TEST_F(OldAppliance, ProtocolSixIsRefused)
{
    Channel ch;
    ASSERT_EQ(ch.init(lib_), 0);
    EXPECT_EQ(ch.init2(params().c_str()), -1);
    EXPECT_EQ(ch.error(), "sbtinit2: server " + app_.addr() + " (proto 6) doesn't support RMAN plugin");
    EXPECT_EQ(ch.rec()->flags, 0u);
}

class DroppingAppliance : public Sessions {
protected:
    bool start_appliance() override
    {
        // Blocks of 64 KiB travel sixteen to a request: the 200 of the test
        // below take 13 of them after the configuration and the open.
        cfg_.drop_after_msgs = 8;
        cfg_.fault_conns = APPL_FAULT_DM;
        return app_.start(cfg_);
    }
};

TEST_F(DroppingAppliance, ADroppedConnectionFailsTheCallPromptly)
{
    Channel ch;
    open(ch);
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    ASSERT_EQ(ch.v->backup(ch.ctx, 0, "cut", objs, 65536, 0), 0);
    std::vector<unsigned char> buf(65536, 1);
    int rc = 0;
    for (int i = 0; i < 200 && rc == 0; i++)
        rc = ch.v->write2(ch.ctx, 0, buf.data());
    if (rc == 0)
        rc = ch.v->close2(ch.ctx, 0);
    EXPECT_EQ(rc, -1);
    uint32_t code = 0;
    std::string text = ch.error(&code);
    EXPECT_EQ(code, 7501u);
    EXPECT_TRUE(text.rfind("sbtwrite2 failed: error ", 0) == 0 || text.rfind("sbtclose2: ", 0) == 0) << text;
    // The drop itself failed the call: nothing waited for the vanished peer
    // until the response deadline.
    EXPECT_EQ(text.find("XCOMM_ERR_TIMEOUT"), std::string::npos) << text;
    ch.v->close2(ch.ctx, 0);
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(Sessions, ADroppedConnectionFailsARestorePromptly)
{
    Channel ch;
    open(ch);
    ASSERT_EQ(backup(ch, "big", 1048576, 8, 3), 0) << ch.error();
    EXPECT_EQ(ch.end(), 0);

    // A second appliance on the same store drops data-mover connections at
    // their sixth request: the restore's reads are cut off.
    TestAppliance dropping;
    appliance_config cfg;
    cfg.drop_after_msgs = 6;
    cfg.fault_conns = APPL_FAULT_DM;
    ASSERT_TRUE(dropping.start(cfg, app_.root())) << dropping.last_error();
    Channel r;
    ASSERT_EQ(r.init(lib_), 0);
    std::string p = "BACKUP_HOST=" + dropping.addr() + ",BACKUP_SHARE=rman,BACKUP_USERNAME=rman,BACKUP_PASSWORD=secret";
    ASSERT_EQ(r.init2(p.c_str()), 0) << r.error();
    ASSERT_EQ(r.v->restore(r.ctx, 0, "big", 1048576), 0) << r.error();
    std::vector<unsigned char> buf(1048576);
    int rc = 0;
    for (int i = 0; i < 8 && rc == 0; i++)
        rc = r.v->read2(r.ctx, 0, buf.data());
    EXPECT_EQ(rc, -1);
    uint32_t code = 0;
    std::string text = r.error(&code);
    EXPECT_EQ(code, 7501u);
    EXPECT_EQ(text.rfind("sbtread2 failed: error ", 0), 0u) << text;
    EXPECT_EQ(text.find("XCOMM_ERR_TIMEOUT"), std::string::npos) << text;  // the drop failed it, no deadline
    r.v->close2(r.ctx, 0);
    EXPECT_EQ(r.end(), 0);
}

TEST_F(Sessions, EightChannelsConcurrency)
{
    constexpr int kChannels = 8;
    kes_test::TempDir tmp;
    const std::string trace = tmp / "trace.txt";
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    std::vector<std::string> errors(kChannels);
    // Every sbtinit opens the trace anew at its own level (the trace is the
    // process's), so all channels are set up before any of them writes.
    std::barrier ready(kChannels);
    for (int t = 0; t < kChannels; t++) {
        threads.emplace_back([&, t] {
            Channel ch;
            bool set_up = ch.init(lib_, trace.c_str()) == 0;
            if (set_up && ch.init2(params().c_str(), trace.c_str(), 1) != 0) {
                errors[t] = "sbtinit2: " + ch.error();
                set_up = false;
            }
            ready.arrive_and_wait();
            if (!set_up)
                return;
            std::string name = "chan" + std::to_string(t);
            bool ok = backup(ch, name, 65536, 12, 1000 + t) == 0;
            if (!ok)
                errors[t] = "backup: " + ch.error();
            ok = ok && restore(ch, name, 65536, 1000 + t) == 12;
            if (!ok && errors[t].empty())
                errors[t] = "restore: " + ch.error();
            if (ch.end() == 0 && ok)
                good++;
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(good.load(), kChannels);
    for (int t = 0; t < kChannels; t++)
        EXPECT_EQ(errors[t], "") << "channel " << t;
    // The shared trace log is intact: every line is one whole ENTER or EXIT line.
    std::string log = read_file(trace);
    size_t pos = 0, enters = 0;
    while (pos < log.size()) {
        size_t nl = log.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = log.substr(pos, nl - pos);
        EXPECT_EQ(line.rfind("SBT-", 0), 0u) << line;
        if (line.find(" ENTER rman_pgn_sbtwrite2: ") != std::string::npos)
            enters++;
        pos = nl + 1;
    }
    EXPECT_EQ(enters, static_cast<size_t>(kChannels * 12));
}

TEST_F(Sessions, EightChannelsOwnParametersAndListsConcurrency)
{
    // Every channel names its own share through its SBT parameters and asks
    // sbtinfo2 again and again while the others do the same: each sees only
    // its own values, and the list it holds stays whole until its next call.
    constexpr int kChannels = 8;
    constexpr int kRounds = 12;
    std::vector<std::thread> threads;
    std::vector<std::string> errors(kChannels);
    std::atomic<int> ready{0};
    for (int t = 0; t < kChannels; t++) {
        threads.emplace_back([&, t] {
            std::string &err = errors[t];
            const std::string share = "share" + std::to_string(t);
            const std::string piece = "piece" + std::to_string(t);
            const std::string label = app_.addr() + "_" + share;
            std::string p = "BACKUP_HOST=" + app_.addr() + ",BACKUP_SHARE=" + share +
                            ",BACKUP_USERNAME=rman,BACKUP_PASSWORD=secret";
            Channel ch;
            if (ch.init(lib_) != 0 || ch.init2(p.c_str()) != 0)
                err = "sbtinit2: " + ch.error();
            else if (share != ch.rec()->backup_share)
                err = std::string("share read as ") + ch.rec()->backup_share;
            else if (backup(ch, piece, 65536, 2, 70 + t) != 0)
                err = "backup: " + ch.error();
            // Every channel starts asking at the same time.
            ready++;
            while (ready.load() < kChannels)
                std::this_thread::yield();
            if (!err.empty())
                return;
            std::string missing = "missing" + std::to_string(t);
            char *files[] = {const_cast<char *>(piece.c_str()), missing.data(), nullptr};
            sbt_item *held = nullptr;
            for (int round = 0; round < kRounds && err.empty(); round++) {
                // The list of the previous round is still intact now.
                if (held != nullptr && (held[0].type != 1 || piece != static_cast<const char *>(held[0].value) ||
                                        held[4].type != 5 || label != static_cast<const char *>(held[4].value))) {
                    err = "the list of round " + std::to_string(round - 1) + " changed";
                    break;
                }
                sbt_item *list = nullptr;
                if (ch.v->info2(ch.ctx, 0, files, &list) != 0 || list == nullptr) {
                    err = "sbtinfo2: " + ch.error();
                    break;
                }
                const uint32_t want[] = {1, 2, 6, 3, 5, 1, 8, SBT_LIST_END};
                for (int i = 0; i < 8; i++)
                    if (list[i].type != want[i])
                        err = "item " + std::to_string(i) + " has type " + std::to_string(list[i].type);
                if (err.empty() && (label != static_cast<const char *>(list[4].value) ||
                                    missing != static_cast<const char *>(list[5].value)))
                    err = std::string("foreign values: ") + static_cast<const char *>(list[4].value) + ", " +
                          static_cast<const char *>(list[5].value);
                held = list;
            }
            if (ch.end() != 0 && err.empty())
                err = "sbtend: " + ch.error();
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < kChannels; t++)
        EXPECT_EQ(errors[t], "") << "channel " << t;
}

class BfstPathConfigured : public Sessions {
protected:
    void SetUp() override
    {
        // The appliance's transfer service listens elsewhere than on 1062,
        // so the library's connect is refused.
        cfg_.bfst_port = 0;
        Sessions::SetUp();
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=2\nDEBUG_LEVEL=warning\n");
    }
};

TEST_F(BfstPathConfigured, BackupThatCannotReachTheTransferServiceFailsAndLeavesNoFile)
{
    Channel ch;
    open(ch);
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    EXPECT_EQ(ch.v->backup(ch.ctx, 0, "viabfst", objs, 65536, 0), -1);
    EXPECT_EQ(ch.error().rfind("sbtbackup: failed to initialize Stride io path to server " + app_.addr() +
                                   " for file generic:",
                               0),
              0u)
        << ch.error();
    std::string log = read_file(windir_.libdir() + "/rman0.log");
    EXPECT_NE(log.find("Bad IO_PATH (2) specified. Defaulting to Stride.\n"), std::string::npos);
    EXPECT_NE(log.find("BFST connect failed."), std::string::npos) << log;
    EXPECT_NE(log.find("port 1062: Connection refused"), std::string::npos) << log;
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), 0);
    EXPECT_FALSE(exists(app_.file("rman", "viabfst")));
    // Restores never use the transfer path.
    EXPECT_EQ(ch.v->restore(ch.ctx, 0, "viabfst", 65536), -1);
    EXPECT_EQ(ch.end(), 0);
}
