// A backup never lies: through the loaded library against the appliance
// service, a backup that reports success restores byte-identical, one that
// fails (no space, a dropped connection, a lost close) leaves no piece and
// gives its space back, and damaged data never reaches the caller.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "integration/support_appliance.h"
#include "integration/support_backup.h"
#include "integration/support_sbt.h"
#include "kes_test.h"
#include "lib/common/mi_comm.h"

using kes_test::backup_piece;
using kes_test::Channel;
using kes_test::count_files;
using kes_test::counted_bytes;
using kes_test::Outcome;
using kes_test::PieceWriter;
using kes_test::read_file;
using kes_test::restore_piece;
using kes_test::SbtLib;
using kes_test::ScopedWindir;
using kes_test::stored_pieces;
using kes_test::TempDir;
using kes_test::TestAppliance;

namespace {

constexpr size_t MiB = 1048576;
constexpr size_t kPage = 262144;

class Integrity : public ::testing::Test {
protected:
    void SetUp() override
    {
        kes_test::clear_channel_env();
        ASSERT_NE(lib_.handle, nullptr);
        set_ini("");
    }
    void TearDown() override { unsetenv("DMC_PAGE_CNT"); }

    void set_ini(const std::string &extra)
    {
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=1\nDEBUG_LEVEL=info\n" + extra);
    }
    // An appliance of cfg over this test's store.
    void start(TestAppliance &a, appliance_config cfg = appliance_config())
    {
        cfg.log_file = log_;
        ASSERT_TRUE(a.start(cfg, store_.path())) << a.last_error();
    }
    void open(Channel &ch, const TestAppliance &a)
    {
        ASSERT_EQ(ch.init(lib_), 0);
        ASSERT_EQ(ch.init2(kes_test::login_params(a.addr()).c_str()), 0) << ch.error();
    }
    // What the library says of a piece: listed by sbtinfo2 or not.
    static bool listed(Channel &ch, const std::string &name)
    {
        std::string n = name;
        char *files[] = {n.data(), nullptr};
        sbt_item *info = nullptr;
        EXPECT_EQ(ch.v->info2(ch.ctx, 0, files, &info), 0) << ch.error();
        return info != nullptr && info[1].type != 8;
    }
    // No piece, nothing half-written and nothing counted is left of a failed backup.
    void expect_nothing_left(Channel &ch, const TestAppliance &a, const std::string &name)
    {
        EXPECT_FALSE(listed(ch, name)) << name;
        EXPECT_TRUE(stored_pieces(store_.path() + "/rman").empty());
        EXPECT_EQ(count_files(store_.path(), ".kpart"), 0u);
        EXPECT_EQ(a.used_bytes(), counted_bytes(store_.path()));
    }

    ScopedWindir windir_;
    SbtLib lib_;
    TempDir store_;
    TempDir tmp_;
    std::string log_ = tmp_ / "appliance.log";
};

// The client side of the library's control connection to addr, found among
// this process's sockets.
int control_socket_to(const std::string &addr)
{
    int found = -1;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (struct dirent *de = readdir(d)) {
        int fd = atoi(de->d_name);
        struct sockaddr_in peer {};
        socklen_t len = sizeof peer;
        char text[INET_ADDRSTRLEN] = "";
        if (fd > 2 && getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &len) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == 10002 &&
            inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) != nullptr && addr == text)
            found = fd;
    }
    closedir(d);
    return found;
}

}  // namespace

TEST_F(Integrity, LackOfSpaceFailsTheBackupLeavesNoPieceAndGivesTheSpaceBack)
{
    struct Case {
        uint64_t quota_mb, backup_mb;
    };
    for (Case c : {Case{8, 16}, Case{90, 96}}) {
        SCOPED_TRACE(std::to_string(c.backup_mb) + " MiB against " + std::to_string(c.quota_mb) + " MiB");
        TestAppliance app;
        appliance_config cfg;
        cfg.quota = c.quota_mb * MiB;
        start(app, cfg);
        Channel ch;
        open(ch, app);
        Outcome o = backup_piece(ch, "full", MiB, c.backup_mb, 1);
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.code, 7501u);
        EXPECT_NE(o.error.find("NOSPC"), std::string::npos) << o.error;
        expect_nothing_left(ch, app, "full");
        EXPECT_EQ(app.used_bytes(), 0u);

        // Later backups are refused the same way, never stored short; one that
        // fits is whole.
        o = backup_piece(ch, "full", MiB, c.backup_mb, 2);
        EXPECT_EQ(o.rc, -1);
        expect_nothing_left(ch, app, "full");
        ASSERT_EQ(backup_piece(ch, "fits", MiB, 4, 3).rc, 0) << ch.error();
        EXPECT_EQ(restore_piece(ch, "fits", MiB, 3), 4);
        EXPECT_EQ(app.used_bytes(), counted_bytes(store_.path()));
        char n[] = "fits";
        char *files[] = {n, nullptr};
        EXPECT_EQ(ch.v->remove2(ch.ctx, 0, files), 0);
        EXPECT_EQ(ch.end(), 0);
    }
}

TEST_F(Integrity, NoSpaceInsideSbtwrite2LeavesNoPieceAndTheNameCanBeUsedAgain)
{
    // With a write-reservation step every write waits for its answer, so the
    // refusal reaches the very sbtwrite2 that hit it.
    TestAppliance app;
    appliance_config cfg;
    cfg.quota = 8 * MiB;
    cfg.pref_reserve_mb = 1;
    start(app, cfg);
    Channel ch;
    open(ch, app);
    PieceWriter w(ch, MiB, 4);
    ASSERT_EQ(w.open("reserved").rc, 0);
    Outcome o = w.write(16);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.error.rfind("sbtwrite2 failed: error DM_ERR_NOSPC", 0), 0u) << o.error;
    o = w.close();
    EXPECT_EQ(o.rc, -1) << "the close of a failed backup fails too";
    expect_nothing_left(ch, app, "reserved");
    EXPECT_EQ(app.used_bytes(), 0u);
    ASSERT_EQ(backup_piece(ch, "reserved", MiB, 4, 5).rc, 0) << ch.error();
    EXPECT_EQ(restore_piece(ch, "reserved", MiB, 5), 4);
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(Integrity, DroppedConnectionsLeaveNoPieceAndARetrySucceeds)
{
    struct Case {
        const char *what;
        unsigned conns;
        uint64_t after_bytes, after_msgs;
    };
    // 8 blocks of 1 MiB are 8 data-mover writes (the appliance takes 1 MiB a
    // request) after the configuration and the open; the control connection
    // sends version, attribute, login, port, open and then the close as its
    // sixth request.
    const Case cases[] = {
        {"data mover dropped after 3 MiB", APPL_FAULT_DM, 3 * MiB, 0},
        {"data mover dropped in the last write", APPL_FAULT_DM, 0, 2 + 8},
        {"control connection dropped at the close", APPL_FAULT_MI, 0, 6},
    };
    uint32_t seed = 10;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string name = "dropped" + std::to_string(seed);
        {
            TestAppliance faulty;
            appliance_config cfg;
            cfg.fault_conns = c.conns;
            cfg.drop_after_bytes = c.after_bytes;
            cfg.drop_after_msgs = c.after_msgs;
            start(faulty, cfg);
            Channel ch;
            open(ch, faulty);
            Outcome o = backup_piece(ch, name, MiB, 8, seed);
            EXPECT_EQ(o.rc, -1);
            EXPECT_EQ(o.code, 7501u);
            ch.end();
        }
        TestAppliance good;
        start(good);
        Channel ch;
        open(ch, good);
        expect_nothing_left(ch, good, name);
        ASSERT_EQ(backup_piece(ch, name, MiB, 8, seed + 1).rc, 0) << ch.error();
        EXPECT_EQ(restore_piece(ch, name, MiB, seed + 1), 8);
        char *files[] = {name.data(), nullptr};
        EXPECT_EQ(ch.v->remove2(ch.ctx, 0, files), 0);
        EXPECT_EQ(ch.end(), 0);
        seed += 2;
    }
}

TEST_F(Integrity, AControlConnectionResetMidBackupGivesAllOfItsSpaceBack)
{
    TestAppliance app;
    appliance_config cfg;
    cfg.quota = 16 * MiB;
    start(app, cfg);
    Channel ch;
    open(ch, app);
    PieceWriter w(ch, MiB, 20);
    ASSERT_EQ(w.open("reset").rc, 0);
    ASSERT_EQ(w.write(4).rc, 0);
    int fd = control_socket_to(app.addr());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(shutdown(fd, SHUT_RDWR), 0);
    // Data keeps arriving after the reset: none of it may stay counted.
    Outcome o = w.write(8);
    Outcome c = w.close();
    EXPECT_TRUE(o.rc != 0 || c.rc != 0) << "a backup whose control connection was reset cannot succeed";
    ch.end();
    // The appliance notices the end of the data-mover connection on its own
    // time; the bound only stops a hang.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (app.used_bytes() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(app.used_bytes(), 0u);
    Channel again;
    open(again, app);
    expect_nothing_left(again, app, "reset");
    ASSERT_EQ(backup_piece(again, "after", MiB, 15, 21).rc, 0) << again.error() << ": the quota is whole again";
    EXPECT_EQ(restore_piece(again, "after", MiB, 21), 15);
    EXPECT_EQ(again.end(), 0);
}

TEST_F(Integrity, EveryAllowedPageCountRestoresByteIdentical)
{
    TestAppliance app;
    start(app);
    {
        Channel ch;
        open(ch, app);
        ASSERT_EQ(backup_piece(ch, "pages", kPage, 32, 30).rc, 0) << ch.error();
        ASSERT_EQ(backup_piece(ch, "pages1m", MiB, 8, 31).rc, 0) << ch.error();
        EXPECT_EQ(ch.end(), 0);
    }
    for (const char *n : {"4", "5", "7", "4096"}) {
        SCOPED_TRACE(std::string("DMC_PAGE_CNT=") + n);
        setenv("DMC_PAGE_CNT", n, 1);
        Channel ch;
        open(ch, app);
        Outcome o;
        EXPECT_EQ(restore_piece(ch, "pages", kPage, 30, &o), 32) << o.error;
        EXPECT_EQ(restore_piece(ch, "pages1m", MiB, 31, &o), 8) << o.error;
        ASSERT_EQ(backup_piece(ch, std::string("w") + n, MiB, 3, 32).rc, 0) << ch.error();
        EXPECT_EQ(restore_piece(ch, std::string("w") + n, MiB, 32, &o), 3) << o.error;
        EXPECT_EQ(ch.end(), 0);
    }
}

TEST_F(Integrity, AByteFlippedOnDiskFailsTheRestoreAtThatOffset)
{
    TestAppliance app;
    start(app);
    Channel ch;
    open(ch, app);
    ASSERT_EQ(backup_piece(ch, "flip", kPage, 8, 40).rc, 0) << ch.error();
    {
        FILE *f = fopen((store_.path() + "/rman/flip").c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fseek(f, 3 * kPage + 100, SEEK_SET), 0);
        int b = fgetc(f);
        ASSERT_EQ(fseek(f, 3 * kPage + 100, SEEK_SET), 0);
        fputc(b ^ 0x01, f);
        fclose(f);
    }
    Outcome o;
    EXPECT_EQ(restore_piece(ch, "flip", kPage, 40, &o), 3) << "the blocks before the damage arrive whole";
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.code, 7501u);
    EXPECT_NE(o.error.find("at offset 786432"), std::string::npos) << o.error;
    EXPECT_NE(read_file(log_).find("damaged data in rman/flip at offset 786432 (checksum mismatch)"), std::string::npos)
        << read_file(log_);
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(Integrity, DamageOnTheWireIsCaughtWithDataChecksums)
{
    {
        TestAppliance app;
        start(app);
        Channel ch;
        open(ch, app);
        ASSERT_EQ(backup_piece(ch, "wire", kPage, 8, 50).rc, 0) << ch.error();
        EXPECT_EQ(ch.end(), 0);
    }
    // An appliance that damages the second read reply (the second MiB) on the
    // wire, after its own check.
    auto damaged_restore = [&](Channel &ch, TestAppliance &damaging) {
        appliance_config cfg;
        cfg.corrupt_read = 2;
        start(damaging, cfg);
        open(ch, damaging);
        Outcome o;
        EXPECT_LT(restore_piece(ch, "wire", kPage, 50, &o), 8);
        EXPECT_EQ(o.rc, -1);
        return o;
    };
    {
        // Without the check the damage goes through: the switch does damage.
        TestAppliance damaging;
        Channel ch;
        Outcome o = damaged_restore(ch, damaging);
        EXPECT_EQ(o.code, 0u) << "the library did not notice: " << o.error;
        ch.end();
    }
    set_ini("COMP_DATA_CHECKSUMS=1\n");
    TestAppliance damaging;
    Channel ch;
    Outcome o = damaged_restore(ch, damaging);
    EXPECT_EQ(o.code, 7501u);
    EXPECT_NE(o.error.find("arrived damaged"), std::string::npos) << o.error;
    // Without damage on the way, the same check passes every page.
    EXPECT_EQ(restore_piece(ch, "wire", kPage, 50, &o), 8) << o.error;
    EXPECT_EQ(ch.end(), 0);
}
