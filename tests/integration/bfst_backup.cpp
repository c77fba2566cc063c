// Backups on the default data path, end to end: the loaded library, the real
// transfer library and the appliance service. Pieces go out as blobs over
// the transfer service and come back through the data mover; space credit,
// busy appliances, slow calls, ciphers and credentials, and lost connections
// take the paths a DBA would meet them on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "appliance/blob_store.h"
#include "integration/support_appliance.h"
#include "integration/support_backup.h"
#include "integration/support_sbt.h"
#include "kes_test.h"

using kes_test::backup_piece;
using kes_test::Channel;
using kes_test::Outcome;
using kes_test::PieceWriter;
using kes_test::read_file;
using kes_test::restore_piece;
using kes_test::TestAppliance;
using kes_test::write_file;

namespace {

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The SBT tester backing up a small file as a child process, with a library
// directory and configuration of its own, beside this process's channels.
// (Start it after the channels' sbtinit2, which changes the environment the
// child is started with.)
struct TesterRun {
    int status = -1;
    std::string out;
    std::thread th;
    kes_test::TempDir dir;  // its WINDIR, and the file it backs up

    void start(const std::string &ini, const std::string &addr, const std::string &piece)
    {
        write_file(dir / "librmanKESTRALON.ini", ini + "DEBUG_LEVEL=info\n");
        write_file(dir / "in.bin", std::string(100000, 'z'));
        std::string cmd = "WINDIR=" + dir.path() + " BACKUP_PASSWORD=secret " + KES_BUILD_DIR +
                          "/kestralon-sbttest --lib " + KES_LIB_PATH + " --quiet --env BACKUP_HOST=" + addr +
                          ",BACKUP_SHARE=rman,BACKUP_USERNAME=rman backup " + piece + " " + (dir / "in.bin") +
                          " 2>&1";
        th = std::thread([this, cmd] {
            FILE *p = popen(cmd.c_str(), "r");
            if (p == nullptr) {
                out = "popen: " + std::string(strerror(errno));
                return;
            }
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, p)) > 0)
                out.append(buf, n);
            int st = pclose(p);
            status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            if (st == -1)
                out += "pclose: " + std::string(strerror(errno));
            else if (!WIFEXITED(st))
                out += "signal " + std::to_string(WTERMSIG(st));
        });
    }
    void wait()
    {
        if (th.joinable())
            th.join();
    }
    std::string log() const { return read_file(dir / "KESTRALON/rman0.log"); }
    ~TesterRun() { wait(); }
};

class BfstBackup : public ::testing::Test {
protected:
    void SetUp() override
    {
        kes_test::clear_channel_env();
        ASSERT_NE(lib_.handle, nullptr);
        configure();
    }
    // The library's configuration: nothing but the lines given and the log
    // level, so the data path is the default one.
    void configure(const std::string &ini = "") { write_file(windir_.path() + "/librmanKESTRALON.ini", ini + "DEBUG_LEVEL=debug\n"); }
    // An appliance that logs to a file of its own at debug level.
    void start(TestAppliance &app, appliance_config cfg = appliance_config(), const std::string &root = "")
    {
        cfg.log_file = tmp_ / ("appliance" + std::to_string(++appliances_) + ".log");
        cfg.log_level = 7;
        ASSERT_TRUE(app.start(cfg, root)) << app.last_error();
        app_logs_[&app] = cfg.log_file;
    }
    std::string app_log(TestAppliance &app) { return read_file(app_logs_[&app]); }
    void open(Channel &ch, const TestAppliance &app)
    {
        ASSERT_EQ(ch.init(lib_), 0);
        ASSERT_EQ(ch.init2(kes_test::login_params(app.addr()).c_str()), 0) << ch.error();
    }
    std::string log() const { return read_file(windir_.libdir() + "/rman0.log"); }
    // Pieces the appliance holds under the share.
    static std::vector<std::string> pieces(const TestAppliance &app)
    {
        return kes_test::stored_pieces(app.root() + "/rman");
    }
    // The bytes of all blobs in the appliance's blob directory.
    static uint64_t blob_bytes(const std::string &root)
    {
        uint64_t n = 0;
        kes_test::walk_files(root + "/.bfst", [&](const std::string &, const std::string &name, uint64_t size) {
            if (name[0] != '.')
                n += size;
        });
        return n;
    }

    // Pieces of random data, data bytes in all, deduplicated on the way:
    // each chunk once with its record head, and one recipe per piece.
    static void expect_stored(const std::string &root, uint64_t data)
    {
        uint64_t got = blob_bytes(root);
        EXPECT_GE(got, data);
        EXPECT_LE(got, data + data / 50 + (64u << 10));
    }
    // The chunk store collects in the background: waits (a guard against a
    // hang only) until cond holds.
    static bool settles(const std::function<bool()> &cond)
    {
        for (int i = 0; i < 3000 && !cond(); i++)
            usleep(10000);
        return cond();
    }

    kes_test::ScopedWindir windir_;
    kes_test::SbtLib lib_;
    kes_test::TempDir tmp_;
    TestAppliance app_;
    int appliances_ = 0;
    std::map<const TestAppliance *, std::string> app_logs_;
};

}  // namespace

TEST_F(BfstBackup, PiecesOfEveryShapeRestoreByteIdenticalWithAndWithoutTheWriteBehindCache)
{
    start(app_);
    uint32_t seed = 1;
    uint64_t bytes = 0;
    // The restores check every page against the appliance's checksums.
    for (const char *cache : {"WRITE_CACHE_SIZE=0\n", "WRITE_CACHE_SIZE=1\n"}) {
        SCOPED_TRACE(cache);
        configure(std::string(cache) + "COMP_DATA_CHECKSUMS=1\n");
        Channel ch;
        open(ch, app_);
        for (size_t bs : {size_t(16) << 10, size_t(256) << 10, size_t(4) << 20}) {
            for (uint64_t blocks : {0, 1, 7}) {
                SCOPED_TRACE(std::to_string(bs) + " x " + std::to_string(blocks));
                std::string name = "p" + std::to_string(seed);
                Outcome o = backup_piece(ch, name, bs, blocks, seed);
                ASSERT_EQ(o.rc, 0) << o.error;
                Outcome r;
                EXPECT_EQ(restore_piece(ch, name, bs, seed, &r), static_cast<long>(blocks)) << r.error;
                char *files[] = {name.data(), nullptr};
                sbt_item *info = nullptr;
                ASSERT_EQ(ch.v->info2(ch.ctx, 0, files, &info), 0) << ch.error();
                EXPECT_NE(info[1].type, 8u) << name << " is not listed";
                bytes += bs * blocks;
                seed++;
            }
        }
        EXPECT_EQ(ch.end(), 0);
    }
    std::string text = log();
    EXPECT_NE(text.find("Connected to BFST " + app_.addr() + "\n"), std::string::npos);
    EXPECT_EQ(text.find("Bad IO_PATH"), std::string::npos);
    EXPECT_EQ(text.find("keeps no data checksums"), std::string::npos) << "every piece carries its checksums";
    // Every byte is stored once: in the chunks, which nothing else holds.
    expect_stored(app_.root(), bytes);
    EXPECT_TRUE(blob_list(app_.blobs()).empty());
    EXPECT_EQ(app_.used_bytes(), kes_test::counted_bytes(app_.root()));
    // Removing the pieces gives every byte back.
    Channel ch;
    open(ch, app_);
    for (uint32_t s = 1; s < seed; s++) {
        std::string name = "p" + std::to_string(s);
        char *files[] = {name.data(), nullptr};
        EXPECT_EQ(ch.v->remove2(ch.ctx, 0, files), 0) << ch.error();
    }
    EXPECT_EQ(ch.end(), 0);
    EXPECT_TRUE(pieces(app_).empty());
    EXPECT_TRUE(settles([&] { return blob_bytes(app_.root()) == 0 && app_.used_bytes() == 0; }))
        << blob_bytes(app_.root()) << " bytes left, " << app_.used_bytes() << " counted";
}

TEST_F(BfstBackup, APieceLargerThanOneBlobCrossesTheBlobBoundaryWithItsExtents)
{
    // 258 MiB: the suite's one piece that fills a blob, in memory-backed files.
    char tmpl[] = "/dev/shm/kestest.XXXXXX";
    std::string root = mkdtemp(tmpl) != nullptr ? tmpl : "";
    ASSERT_FALSE(root.empty());
    struct Cleanup {
        std::string dir;
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{root};
    appliance_config cfg;
    cfg.quota = 3ULL << 30;
    start(app_, cfg, root);
    Channel ch;
    open(ch, app_);
    const size_t bs = 1 << 20;
    const uint64_t blocks = 258;
    Outcome o = backup_piece(ch, "big", bs, blocks, 99);
    ASSERT_EQ(o.rc, 0) << o.error;

    // The library holds each tag before it records the extent: the first blob
    // holds exactly 256 MiB from offset 0, the second the rest.
    std::string text = log();
    size_t hold1 = text.find("Hold tag for ");
    ASSERT_NE(hold1, std::string::npos) << text;
    std::string tag1 = text.substr(hold1 + 13, 64);
    size_t ext1 = text.find("Set extent for BLOB tag " + tag1 + " img offset 0 tag offset 0 length 0x10000000\n");
    size_t hold2 = text.find("Hold tag for ", hold1 + 1);
    ASSERT_NE(hold2, std::string::npos);
    std::string tag2 = text.substr(hold2 + 13, 64);
    size_t ext2 = text.find("Set extent for BLOB tag " + tag2 + " img offset 0x10000000 tag offset 0 length 0x200000\n");
    EXPECT_TRUE(hold1 < ext1 && ext1 < hold2 && hold2 < ext2 && ext2 != std::string::npos) << text;
    EXPECT_EQ(text.find("Hold tag for ", hold2 + 1), std::string::npos);
    // Space was asked for at the first block and once more after 256 MiB.
    std::string alog = app_log(app_);
    EXPECT_EQ(count(alog, "space check for rman/big: 268435456 bytes granted"), 2u) << alog;
    EXPECT_NE(alog.find("rman/big: extent at 0, 268435456 bytes of blob " + tag1), std::string::npos);
    EXPECT_NE(alog.find("rman/big: extent at 268435456, 2097152 bytes of blob " + tag2), std::string::npos);

    Outcome r;
    EXPECT_EQ(restore_piece(ch, "big", bs, 99, &r), static_cast<long>(blocks)) << r.error;
    EXPECT_EQ(ch.end(), 0);
    expect_stored(root, blocks * bs);
    EXPECT_EQ(app_.used_bytes(), kes_test::counted_bytes(root));
}

TEST_F(BfstBackup, AQuotaThatRunsOutFailsTheBlockAndLeavesNoPiece)
{
    // Room for one grant of space and a little more: the first piece takes
    // some of it, and the next one is refused at its first block.
    appliance_config cfg;
    cfg.quota = (256 + 1) << 20;
    start(app_, cfg);
    Channel ch;
    open(ch, app_);
    ASSERT_EQ(backup_piece(ch, "first", 1 << 20, 2, 5).rc, 0);
    const uint64_t used = app_.used_bytes();
    PieceWriter w(ch, 1 << 20, 6);
    ASSERT_EQ(w.open("second").rc, 0);
    Outcome o = w.write(1);
    EXPECT_EQ(o.code, 7501u);
    EXPECT_EQ(o.error, "sbtwrite2 failed to verify space: error MI_STS_ENOSPC");
    EXPECT_EQ(w.close().code, 7501u);
    EXPECT_EQ(pieces(app_), std::vector<std::string>{"first"});
    EXPECT_EQ(app_.used_bytes(), used);
    EXPECT_NE(log().find("MI_CHECK_SPACE failed: no space\n"), std::string::npos);
    EXPECT_EQ(restore_piece(ch, "first", 1 << 20, 5), 2);
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(BfstBackup, ABusyApplianceIsRetriedEveryTenSecondsUntilTheTimeout)
{
    // Both cases sleep for real, side by side: a channel here against an
    // appliance busy for two connects, and the tester with a timeout of 0
    // against one that stays busy.
    appliance_config busy2;
    busy2.bfst_refuse_connects = 2;
    start(app_, busy2);
    TestAppliance always;
    appliance_config busy;
    busy.bfst_refuse_connects = 1000;
    busy.bfst_refuse_code = 0x0DAB673F;
    start(always, busy);
    Channel ch;
    open(ch, app_);
    TesterRun tester;
    tester.start("DATA_CONNECTION_BUSY_TIMEOUT=0\n", always.addr(), "busy");
    Outcome o = backup_piece(ch, "retried", 65536, 3, 8);
    EXPECT_EQ(o.rc, 0) << o.error;
    std::string text = log();
    EXPECT_EQ(count(text, "BFST connect exceeded the server's maximum client connections - retrying."), 2u);
    EXPECT_NE(text.find("BFST connect success after 2 retries.\n"), std::string::npos) << text;
    EXPECT_EQ(restore_piece(ch, "retried", 65536, 8), 3);
    EXPECT_EQ(ch.end(), 0);

    tester.wait();
    EXPECT_EQ(tester.status, 1) << tester.out;
    EXPECT_NE(tester.out.find("sbtbackup: failed to initialize Stride io path to server " + always.addr()),
              std::string::npos)
        << tester.out;
    std::string other_log = tester.log();
    EXPECT_EQ(count(other_log, "BFST connect exceeded the virtual server's maximum client connections - retrying."),
              1u);
    EXPECT_NE(other_log.find("BFST connect timeout of 0 seconds reached after 1 attempts; giving up."),
              std::string::npos)
        << other_log;
    EXPECT_TRUE(pieces(always).empty());
}

TEST_F(BfstBackup, SlowCallsRaiseAdminAlertsUntilTheApplianceTurnsThemOff)
{
    // Every answer of the transfer service takes over a second, and a second
    // counts as slow. The tester backs up beside this process against an
    // appliance that answers every alert with "disabled".
    configure("ADMIN_ALERT_TIME=1\n");
    appliance_config slow;
    slow.bfst_delay_ms = 1100;
    start(app_, slow);
    TestAppliance off;
    slow.refuse_admin_alerts = true;
    start(off, slow);
    Channel ch;
    open(ch, app_);
    TesterRun tester;
    tester.start("ADMIN_ALERT_TIME=1\n", off.addr(), "alerted");
    ASSERT_EQ(backup_piece(ch, "slow", 65536, 2, 3).rc, 0);
    EXPECT_EQ(ch.end(), 0);
    std::string alog = app_log(app_);
    size_t alerts = count(alog, "admin alert ");
    EXPECT_GE(alerts, 2u) << alog;
    EXPECT_NE(alog.find("admin alert 1 for rman/slow from rman"), std::string::npos) << alog;
    EXPECT_EQ(count(alog, ", kind 1: "), 1u) << alog;
    EXPECT_EQ(count(alog, ", kind 9: "), alerts - 1) << alog;
    EXPECT_GE(count(log(), " is slow, took "), alerts);

    tester.wait();
    EXPECT_EQ(tester.status, 0) << tester.out;
    std::string olog = app_log(off);
    EXPECT_EQ(count(olog, "admin alert "), 1u) << olog;
    EXPECT_NE(olog.find("(alerts are switched off)"), std::string::npos);
    std::string other_log = tester.log();
    EXPECT_EQ(count(other_log, "OST admin alerts for BFST transport disabled on server\n"), 1u) << other_log;
    EXPECT_GE(count(other_log, " is slow, took "), 2u) << "the warnings go on after the alerts stopped";
}

TEST_F(BfstBackup, ADroppedTransferConnectionFailsTheCallPromptlyAndTheNextBackupWorks)
{
    // Blocks go out as they are written when the appliance keeps them as
    // they arrive; deduplicated, they go in batches (the drop then fails
    // the write of a later block or the close).
    appliance_config cfg;
    cfg.bfst_drop_after_bytes = 3 << 20;
    cfg.dedup = false;
    start(app_, cfg);
    Channel ch;
    open(ch, app_);
    PieceWriter w(ch, 1 << 20, 4);
    ASSERT_EQ(w.open("cut").rc, 0);
    auto t0 = std::chrono::steady_clock::now();
    // Far more than the loopback socket buffers hold between the two sides:
    // a write must meet the dropped connection, however the sides are timed.
    Outcome o = w.write(64);
    EXPECT_EQ(o.code, 7501u);
    EXPECT_EQ(o.error.rfind("sbtwrite2 failed: error ", 0), 0u) << o.error;
    EXPECT_EQ(w.close().code, 7501u);
    EXPECT_LT(seconds_since(t0), 30.0);  // only a guard against a hang
    EXPECT_TRUE(pieces(app_).empty());
    // The failed piece was removed before its control close, so the appliance
    // never completed what had arrived of it, not even for a moment.
    std::string alog = app_log(app_);
    EXPECT_NE(alog.find("rman deleted rman/cut"), std::string::npos) << alog;
    EXPECT_EQ(alog.find("closed rman/cut"), std::string::npos) << alog;
    // The next backup, smaller than the switch lets through, works.
    ASSERT_EQ(backup_piece(ch, "whole", 1 << 20, 2, 9).rc, 0);
    EXPECT_EQ(restore_piece(ch, "whole", 1 << 20, 9), 2);
    EXPECT_EQ(pieces(app_), std::vector<std::string>{"whole"});
    EXPECT_EQ(ch.end(), 0);
    EXPECT_EQ(blob_bytes(app_.root()), 2u << 20);
}

namespace {

// Transfer credentials: the appliance's file flags choose the cipher; a
// certificate authority (made by the test script) for the appliance and the
// library, and another one.
class BfstCredentials : public BfstBackup {
protected:
    void SetUp() override
    {
        BfstBackup::SetUp();
        for (const char *ca : {"a", "b"}) {
            std::string cmd = std::string(KES_SOURCE_DIR) + "/scripts/make-test-ca.sh " + (tmp_ / ca) + " >/dev/null";
            ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        }
        mkdir(windir_.libdir().c_str(), 0700);
    }
    // The library's certificate files from dir (client/ of a CA), crl.pem or not.
    void client_files(const std::string &dir, bool crl)
    {
        for (const char *f : {"cacert.pem", "cert.pem", "key.pem", "crl.pem"})
            unlink((windir_.libdir() + "/" + f).c_str());
        for (const char *f : {"cacert.pem", "cert.pem", "key.pem"})
            write_file(windir_.libdir() + "/" + f, read_file(dir + "/" + f));
        if (crl)
            write_file(windir_.libdir() + "/crl.pem", read_file(dir + "/crl.pem"));
    }
    // A backup and restore of a small piece through an appliance with the flags.
    Outcome round_trip(TestAppliance &app, const std::string &name)
    {
        Channel ch;
        open(ch, app);
        Outcome o = backup_piece(ch, name, 65536, 3, 11);
        if (o.rc == 0 && restore_piece(ch, name, 65536, 11, &o) != 3 && o.rc == 0)
            o.rc = -1;
        ch.end();
        return o;
    }
};

}  // namespace

TEST_F(BfstCredentials, TheFileFlagsChooseClearTextAPreSharedKeyOrCertificates)
{
    struct Case {
        uint32_t flags;
        bool crl;
        const char *link;  // how the appliance saw the connection
    } cases[] = {
        {0x00, false, "(clear)"},
        {0x0A, false, "(TLS, pre-shared key)"},
        {0x06, false, "(TLS, pre-shared key)"},
        {0x12, false, "(TLS, pre-shared key)"},  // no cipher named: the default one, with a warning
        {0x22, true, "(TLS, certificates)"},
        {0x22, false, "(TLS, certificates)"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags) + (c.crl ? " with crl.pem" : ""));
        client_files(tmp_ / "a/client", c.crl);
        TestAppliance app;
        appliance_config cfg;
        cfg.file_flags = c.flags;
        cfg.tls_dir = tmp_ / "a/appliance";
        start(app, cfg);
        Outcome o = round_trip(app, "piece" + std::to_string(n++));
        EXPECT_EQ(o.rc, 0) << o.error;
        EXPECT_NE(app_log(app).find(c.link), std::string::npos) << app_log(app);
    }
    EXPECT_EQ(count(log(), "Invalid encryption type, setting it to default SHA256-AES256\n"), 1u);
}

TEST_F(BfstCredentials, AWrongKeyOrACertificateOfAnotherAuthorityFailsTheBackupAndWritesNothing)
{
    struct Case {
        uint32_t flags;
        const char *ca;  // the library's certificates
        std::vector<std::string> psks;
    } cases[] = {
        {0x0A, "a", {"a key the library does not hold"}},
        {0x22, "b", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags));
        client_files(tmp_ / (std::string(c.ca) + "/client"), true);
        TestAppliance app;
        appliance_config cfg;
        cfg.file_flags = c.flags;
        cfg.tls_dir = tmp_ / "a/appliance";
        cfg.bfst_psk_passwords = c.psks;
        start(app, cfg);
        Channel ch;
        open(ch, app);
        Outcome o = backup_piece(ch, "refused", 65536, 2, 1);
        EXPECT_EQ(o.code, 7501u);
        EXPECT_EQ(o.error.rfind("sbtbackup: failed to initialize Stride io path to server " + app.addr() +
                                    " for file generic:",
                                0),
                  0u)
            << o.error;
        EXPECT_NE(o.error.find(":/rman/refused: MI_STS_EAUTH"), std::string::npos) << o.error;
        // RMAN closes the failed file: nothing of it stays.
        ch.v->close2(ch.ctx, 0);
        EXPECT_TRUE(pieces(app).empty());
        EXPECT_EQ(blob_bytes(app.root()), 0u);
        EXPECT_EQ(ch.end(), 0);
    }
    EXPECT_EQ(count(log(), "BFST connect failed."), 2u) << log();
}

namespace {

// The link and operation statistics the appliance logged for the extent of
// a piece: actual and virtual bytes sent, input, unique before and after
// compression.
struct ExtentStats {
    uint64_t actual = 0, virt = 0, input = 0, unique = 0, packed = 0;
};

ExtentStats extent_stats(const std::string &alog, const std::string &piece)
{
    ExtentStats s;
    size_t at = alog.find("rman/" + piece + ": extent at 0, ");
    if (at == std::string::npos)
        return s;
    const char *p = strstr(alog.c_str() + at, "; sent ");
    if (p != nullptr)
        sscanf(p, "; sent %" SCNu64 "/%" SCNu64 " actual/virtual bytes, input %" SCNu64 ", unique %" SCNu64
                  "/%" SCNu64,
               &s.actual, &s.virt, &s.input, &s.unique, &s.packed);
    return s;
}

// What the appliance logged at the close of a piece as stored for it.
uint64_t stored_for(const std::string &alog, const std::string &piece)
{
    size_t at = alog.find("closed rman/" + piece + " (handle ");
    const char *p = at == std::string::npos ? nullptr : strstr(alog.c_str() + at, " blobs, ");
    uint64_t n = UINT64_MAX;
    if (p != nullptr)
        sscanf(p, " blobs, %" SCNu64 " bytes stored for it", &n);
    return n;
}

}  // namespace

TEST_F(BfstBackup, RepeatedBackupsSendAndStoreOnlyWhatChangedAndRestoreWhole)
{
    start(app_);
    Channel ch;
    open(ch, app_);
    const size_t bs = 1 << 20;
    const uint64_t blocks = 24;
    const uint64_t data = blocks * bs;
    ASSERT_EQ(backup_piece(ch, "week1", bs, blocks, 5).rc, 0);
    const uint64_t after1 = blob_bytes(app_.root());
    ASSERT_EQ(backup_piece(ch, "week2", bs, blocks, 5).rc, 0);
    const uint64_t after2 = blob_bytes(app_.root());
    // A third backup with one block in twenty changed (one of 24).
    PieceWriter w(ch, bs, 5);
    w.seed_of = [](uint64_t b) { return b % 20 == 7 ? 6u : 5u; };
    ASSERT_EQ(w.open("week3").rc, 0);
    ASSERT_EQ(w.write(blocks).rc, 0);
    ASSERT_EQ(w.close().rc, 0);
    const uint64_t after3 = blob_bytes(app_.root());

    std::string alog = app_log(app_);
    ExtentStats s1 = extent_stats(alog, "week1"), s2 = extent_stats(alog, "week2"), s3 = extent_stats(alog, "week3");
    // Random data: every byte unique the first time, none compressible.
    EXPECT_EQ(s1.virt, data);
    EXPECT_EQ(s1.input, data);
    EXPECT_EQ(s1.unique, data);
    EXPECT_GE(s1.packed, data);
    EXPECT_GE(s1.actual, data);
    // The same bytes again: fingerprints cross the socket, no chunk does.
    EXPECT_EQ(s2.input, data);
    EXPECT_EQ(s2.unique, 0u);
    EXPECT_EQ(s2.packed, 0u);
    EXPECT_LE(s2.actual * 100, data * 2) << s2.actual;
    EXPECT_LE((after2 - after1) * 100, data) << "a repeated backup costs its recipe only";
    // The changed block: its chunks, and those its edges cut.
    EXPECT_GE(s3.unique, bs);
    EXPECT_LE(s3.actual * 10, data) << s3.actual;
    EXPECT_LE(after3 - after2, bs + (256u << 10));
    // The appliance says per piece what storing it took.
    EXPECT_GE(stored_for(alog, "week1"), data);
    EXPECT_LE(stored_for(alog, "week1"), after1);
    EXPECT_LE(stored_for(alog, "week2"), after2 - after1);
    EXPECT_GE(stored_for(alog, "week3"), bs);
    EXPECT_LE(stored_for(alog, "week3"), after3 - after2);
    // The store and the log agree with what was sent.
    EXPECT_NE(alog.find("recipe "), std::string::npos);
    EXPECT_EQ(app_.used_bytes(), kes_test::counted_bytes(app_.root()));

    for (const char *name : {"week1", "week2"}) {
        Outcome r;
        EXPECT_EQ(restore_piece(ch, name, bs, 5, &r), static_cast<long>(blocks)) << name << ": " << r.error;
    }
    kes_test::PieceReader rd(ch, bs, 5);
    rd.seed_of = w.seed_of;
    ASSERT_EQ(rd.open("week3").rc, 0);
    bool end = false;
    EXPECT_EQ(rd.read(UINT64_MAX, &end).rc, 0);
    EXPECT_TRUE(end);
    EXPECT_EQ(rd.blocks(), blocks);
    EXPECT_EQ(rd.close().rc, 0);

    // Removing the pieces one by one keeps what the others use.
    for (const char *name : {"week1", "week2"}) {
        std::string n = name;
        char *files[] = {n.data(), nullptr};
        EXPECT_EQ(ch.v->remove2(ch.ctx, 0, files), 0) << ch.error();
    }
    kes_test::PieceReader again(ch, bs, 5);
    again.seed_of = w.seed_of;
    EXPECT_EQ(again.open("week3").rc, 0);
    EXPECT_EQ(again.read(UINT64_MAX, &end).rc, 0);
    EXPECT_EQ(again.blocks(), blocks);
    EXPECT_EQ(again.close().rc, 0);
    char week3[] = "week3";
    char *files[] = {week3, nullptr};
    EXPECT_EQ(ch.v->remove2(ch.ctx, 0, files), 0) << ch.error();
    EXPECT_EQ(ch.end(), 0);
    EXPECT_TRUE(settles([&] { return blob_bytes(app_.root()) == 0 && app_.used_bytes() == 0; }))
        << blob_bytes(app_.root()) << " bytes left of " << after3;
}

TEST_F(BfstBackup, ADamagedChunkFailsTheRestoreWithAClearErrorAndVerifyNamesThePiece)
{
    start(app_);
    Channel ch;
    open(ch, app_);
    const size_t bs = 256 << 10;
    ASSERT_EQ(backup_piece(ch, "hurt", bs, 8, 21).rc, 0);
    ASSERT_EQ(backup_piece(ch, "fine", bs, 8, 22).rc, 0);
    // One byte inside the stored bytes of the first chunk of "hurt".
    std::vector<std::string> names;
    const std::string dir = app_.root() + "/.bfst/chunks";
    store_dir_names(dir, &names);
    ASSERT_EQ(names.size(), 1u);
    int fd = ::open((dir + "/" + names[0]).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned char b = 0;
    ASSERT_EQ(pread(fd, &b, 1, 100), 1);
    b ^= 0x01;
    ASSERT_EQ(pwrite(fd, &b, 1, 100), 1);
    close(fd);

    Outcome r;
    EXPECT_LT(restore_piece(ch, "hurt", bs, 21, &r), 8);
    EXPECT_NE(r.rc, 0);
    EXPECT_FALSE(r.error.empty()) << "wrong bytes must never arrive";
    EXPECT_NE(r.error.find("the appliance refused the read at offset 0"), std::string::npos) << r.error;
    std::string alog = app_log(app_);
    EXPECT_NE(alog.find("a chunk of it is damaged"), std::string::npos) << alog;
    EXPECT_EQ(restore_piece(ch, "fine", bs, 22), 8);
    EXPECT_EQ(ch.end(), 0);

    appliance_config vc;
    vc.root = app_.root();
    std::string report;
    EXPECT_EQ(appliance_verify(vc, &report), 3u) << report;
    EXPECT_NE(report.find("damaged chunk in container " + names[0] + " at offset 0"), std::string::npos) << report;
    EXPECT_NE(report.find("file rman/hurt is damaged"), std::string::npos) << report;
    EXPECT_EQ(report.find("rman/fine"), std::string::npos) << report;
}

TEST_F(BfstBackup, WithDeduplicationOffPiecesAreKeptAsTheyArriveAndEarlierOnesStayReadable)
{
    start(app_);
    const std::string root = app_.root();
    Channel ch;
    open(ch, app_);
    const size_t bs = 1 << 20;
    ASSERT_EQ(backup_piece(ch, "deduplicated", bs, 3, 31).rc, 0);
    EXPECT_EQ(ch.end(), 0);
    app_.stop();

    TestAppliance plain;
    appliance_config cfg;
    cfg.dedup = false;
    start(plain, cfg, root);
    Channel ch2;
    open(ch2, plain);
    ASSERT_EQ(backup_piece(ch2, "plain", bs, 3, 31).rc, 0);
    ExtentStats s = extent_stats(app_log(plain), "plain");
    EXPECT_EQ(s.virt, 3 * bs);
    EXPECT_EQ(s.unique, 3 * bs);
    EXPECT_EQ(s.packed, 3 * bs);
    EXPECT_GE(s.actual, 3 * bs) << "every byte crosses the socket again";
    // the plain piece is one blob of its bytes beside the chunk store
    uint64_t raw = 0;
    kes_test::walk_files(root + "/.bfst", [&](const std::string &rel, const std::string &name, uint64_t size) {
        if (name[0] != '.' && rel.find('/') == std::string::npos)
            raw += size;
    });
    EXPECT_GE(raw, 3 * bs);
    EXPECT_NE(app_log(plain).find("deduplication is off"), std::string::npos);
    EXPECT_EQ(restore_piece(ch2, "plain", bs, 31), 3);
    EXPECT_EQ(restore_piece(ch2, "deduplicated", bs, 31), 3);
    EXPECT_EQ(ch2.end(), 0);
}

TEST_F(BfstBackup, TheLibrarysSwitchSendsPiecesWholeToADeduplicatingAppliance)
{
    start(app_);
    const std::string chunks = app_.root() + "/.bfst/chunks";
    auto chunk_bytes = [&] {
        uint64_t n = 0;
        kes_test::walk_files(chunks, [&](const std::string &, const std::string &, uint64_t size) { n += size; });
        return n;
    };
    const size_t bs = 1 << 20;
    configure("BFST_DEDUP=0\n");
    Channel ch;
    open(ch, app_);
    EXPECT_NE(log().find("BFST_DEDUP=0"), std::string::npos) << "the effective value is logged";
    // Twice the same bytes: both times every byte crosses the socket as it is.
    for (const char *name : {"whole1", "whole2"}) {
        ASSERT_EQ(backup_piece(ch, name, bs, 3, 41).rc, 0);
        ExtentStats s = extent_stats(app_log(app_), name);
        EXPECT_EQ(s.input, 3 * bs) << name;
        EXPECT_EQ(s.unique, 3 * bs) << name;
        EXPECT_EQ(s.packed, 3 * bs) << name;
        EXPECT_GE(s.actual, 3 * bs) << name;
    }
    EXPECT_EQ(chunk_bytes(), 0u) << "nothing went into the chunk store";
    EXPECT_GE(blob_bytes(app_.root()), 6 * bs);
    EXPECT_EQ(ch.end(), 0);

    // Switched on again, the same bytes are deduplicated, and all three
    // pieces restore whole.
    configure("BFST_DEDUP=1\n");
    Channel ch2;
    open(ch2, app_);
    ASSERT_EQ(backup_piece(ch2, "dedup1", bs, 3, 41).rc, 0);
    ASSERT_EQ(backup_piece(ch2, "dedup2", bs, 3, 41).rc, 0);
    EXPECT_GT(chunk_bytes(), 3 * bs);
    ExtentStats s = extent_stats(app_log(app_), "dedup2");
    EXPECT_EQ(s.input, 3 * bs);
    EXPECT_EQ(s.unique, 0u);
    for (const char *name : {"whole1", "whole2", "dedup2"})
        EXPECT_EQ(restore_piece(ch2, name, bs, 41), 3) << name;
    EXPECT_EQ(ch2.end(), 0);
}

TEST_F(BfstBackup, PageChecksumsOfADeduplicatedPieceAreMadeOnceAndVouchForEveryRestoredPage)
{
    // Blocks that are no multiple of a page, so pages straddle chunks.
    configure("COMP_DATA_CHECKSUMS=1\n");
    start(app_);
    Channel ch;
    open(ch, app_);
    const size_t bs = 300000;
    ASSERT_EQ(backup_piece(ch, "summed", bs, 9, 51).rc, 0);
    // The checksums of the recipe's stream are made after its seal.
    std::string kps;
    ASSERT_TRUE(settles([&] {
        kes_test::walk_files(app_.root() + "/.bfst", [&](const std::string &rel, const std::string &name, uint64_t) {
            if (rel.find('/') == std::string::npos && name.size() > 4 && name.compare(name.size() - 4, 4, ".kps") == 0)
                kps = app_.root() + "/.bfst/" + name;
        });
        return !kps.empty();
    }));
    Outcome r;
    EXPECT_EQ(restore_piece(ch, "summed", bs, 51, &r), 9) << r.error;
    // Lost or damaged, they are made again when a restore asks for them.
    ASSERT_EQ(unlink(kps.c_str()), 0);
    EXPECT_EQ(restore_piece(ch, "summed", bs, 51, &r), 9) << r.error;
    ASSERT_EQ(access(kps.c_str(), F_OK), 0) << "kept for the next restore";
    std::string t = read_file(kps);
    t[t.size() - 3] ^= 0x10;
    write_file(kps, t);
    EXPECT_EQ(restore_piece(ch, "summed", bs, 51, &r), 9) << r.error;
    // Removing the piece takes them along.
    char name[] = "summed";
    char *files[] = {name, nullptr};
    EXPECT_EQ(ch.v->remove2(ch.ctx, 0, files), 0) << ch.error();
    EXPECT_NE(access(kps.c_str(), F_OK), 0);
    EXPECT_EQ(ch.end(), 0);
}
