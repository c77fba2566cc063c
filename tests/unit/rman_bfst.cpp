// The SBT entry points on the BFST path, run in this process against the
// appliance service with the fake transfer library behind the call table:
// backup with and without the write-behind cache, the space check, a failed
// connect, a failed store, and sbtend without sbtclose2.
#include "integration/support_appliance.h"
#include "integration/support_sbt.h"
#include "kes_test.h"
#include "lib/common/pgnconfig.h"
#include "tests/unit/bfst_fake.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

using kes_test::Channel;
using bfst_fake::random_bytes;
using kes_test::read_file;

namespace {

bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

class RmanBfst : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *v : {"BACKUP_HOST", "BACKUP_SHARE", "BACKUP_USERNAME", "BACKUP_PASSWORD", "BACKUP_CREDID"})
            unsetenv(v);
        pgnconfig_reset_defaults();
        // The entry points of this program, not of a loaded copy.
        lib_.init = sbtinit;
    }
    void TearDown() override
    {
        EXPECT_TRUE(fake_.clean());
        fake_.sink(nullptr);
        app_.stop();
        pgnconfig_reset_defaults();
    }

    void start(const std::string &ini, uint64_t quota = 0)
    {
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", ini + "DEBUG_LEVEL=debug\n");
        appliance_config cfg;
        cfg.quota = quota;
        ASSERT_TRUE(app_.start(cfg)) << app_.last_error();
        // Blobs reach the appliance as they would over its transfer service.
        fake_.sink(app_.blobs());
    }
    void open(Channel &ch)
    {
        ASSERT_EQ(ch.init(lib_), 0);
        std::string p = "BACKUP_HOST=" + app_.addr() + ",BACKUP_SHARE=rman,BACKUP_USERNAME=rman,BACKUP_PASSWORD=secret";
        ASSERT_EQ(ch.init2(p.c_str()), 0) << ch.error();
    }
    int backup(Channel &ch, const char *name, size_t bs)
    {
        sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
        return ch.v->backup(ch.ctx, 0, name, objs, bs, 0);
    }
    std::string log() const { return read_file(windir_.libdir() + "/rman0.log"); }
    std::string stored()
    {
        std::string s;
        for (const auto &b : fake_.state().blobs)
            s += b.bytes;
        return s;
    }

    bfst_fake::Scope fake_;
    kes_test::ScopedWindir windir_;
    kes_test::SbtLib lib_;
    kes_test::TestAppliance app_;
};


}  // namespace

TEST_F(RmanBfst, BackupStoresEveryByteOnceWithAndWithoutTheWriteBehindCache)
{
    start("IO_PATH=4\n");
    const size_t bs = 256 << 10;
    const std::string data = random_bytes(10 * bs, 11);
    for (int cache_mib : {0, 1}) {
        SCOPED_TRACE(cache_mib);
        fake_.reset();
        pgncfg().WRITE_CACHE_SIZE = cache_mib << 20;
        Channel ch;
        open(ch);
        std::string name = "piece_" + std::to_string(cache_mib);
        ASSERT_EQ(backup(ch, name.c_str(), bs), 0) << ch.error();
        for (int i = 0; i < 10; i++)
            ASSERT_EQ(ch.v->write2(ch.ctx, 0, data.data() + i * bs), 0) << ch.error();
        ASSERT_EQ(ch.v->close2(ch.ctx, 0), 0) << ch.error();
        EXPECT_EQ(stored(), data);
        std::vector<uint64_t> want(10, bs);
        if (cache_mib != 0)
            want = {1 << 20, 1 << 20, 512 << 10};
        EXPECT_EQ(fake_.state().store_lengths, want);
        // The piece is on the appliance with its catalogue record, and reads
        // back whole through the data mover.
        EXPECT_TRUE(exists(app_.file("rman", name)));
        char *files[2] = {name.data(), nullptr};
        sbt_item *info = nullptr;
        EXPECT_EQ(ch.v->info2(ch.ctx, 0, files, &info), 0) << ch.error();
        ASSERT_EQ(ch.v->restore(ch.ctx, 0, name.c_str(), bs), 0) << ch.error();
        std::string back(bs, '\0');
        for (int i = 0; i < 10; i++) {
            ASSERT_EQ(ch.v->read2(ch.ctx, 0, back.data()), 0) << ch.error();
            EXPECT_EQ(back, data.substr(i * bs, bs)) << "block " << i;
        }
        EXPECT_EQ(ch.v->read2(ch.ctx, 0, back.data()), -1);
        EXPECT_EQ(ch.v->close2(ch.ctx, 0), 0);
        EXPECT_EQ(ch.end(), 0);
        EXPECT_TRUE(fake_.clean());
    }
    std::string text = log();
    EXPECT_EQ(text.find("Bad IO_PATH"), std::string::npos);
    EXPECT_NE(text.find("Connected to BFST " + app_.addr() + "\n"), std::string::npos);
}

TEST_F(RmanBfst, ARefusedSpaceCheckFailsTheBlockBeforeAnyByteIsStored)
{
    start("", 1 << 20);  // less than one grant of space
    Channel ch;
    open(ch);
    ASSERT_EQ(backup(ch, "nospace", 65536), 0) << ch.error();
    std::string block(65536, 'n');
    EXPECT_EQ(ch.v->write2(ch.ctx, 0, block.data()), -1);
    uint32_t code = 0;
    EXPECT_EQ(ch.error(&code), "sbtwrite2 failed to verify space: error MI_STS_ENOSPC");
    EXPECT_EQ(code, SBT_ERROR_MM);
    EXPECT_TRUE(fake_.state().store_lengths.empty());
    EXPECT_EQ(ch.rec()->offset, 0u);
    ch.v->close2(ch.ctx, 0);
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(RmanBfst, OtherIoPathsWarnAndAFailedConnectFailsTheOpen)
{
    start("IO_PATH=2\n");
    fake_.fail("connect", BFST2_ERR_AUTH);
    Channel ch;
    open(ch);
    EXPECT_EQ(backup(ch, "refused", 65536), -1);
    std::string msg = ch.error();
    EXPECT_EQ(msg.rfind("sbtbackup: failed to initialize Stride io path to server " + app_.addr() + " for file generic:", 0),
              0u)
        << msg;
    EXPECT_NE(msg.find(":/rman/refused: MI_STS_EAUTH"), std::string::npos) << msg;
    std::string text = log();
    EXPECT_NE(text.find("Bad IO_PATH (2) specified. Defaulting to Stride.\n"), std::string::npos);
    EXPECT_NE(text.find("rpgn_init_bfst_iopath: failed to connect new session: 21e0001d\n"), std::string::npos);
    EXPECT_NE(text.find("rpgn_bfst_open: failed to initialize io path to server " + app_.addr()), std::string::npos);
    // The file created for the failed backup goes with the close.
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), 0) << ch.error();
    EXPECT_FALSE(exists(app_.file("rman", "refused")));
    EXPECT_TRUE(fake_.clean());

    // The DM path does not touch the transfer library.
    kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "IO_PATH=1\n");
    Channel dm;
    open(dm);
    fake_.reset();
    ASSERT_EQ(backup(dm, "viadm", 65536), 0) << dm.error();
    EXPECT_EQ(fake_.count("credential_create_password"), 0);
    EXPECT_EQ(dm.v->close2(dm.ctx, 0), 0);
    EXPECT_EQ(dm.end(), 0);
    EXPECT_EQ(ch.end(), 0);
}

TEST_F(RmanBfst, AFailedStoreFailsTheBlockAndTheClose)
{
    start("");
    Channel ch;
    open(ch);
    ASSERT_EQ(backup(ch, "broken", 65536), 0) << ch.error();
    std::string block(65536, 'b');
    ASSERT_EQ(ch.v->write2(ch.ctx, 0, block.data()), 0);
    fake_.fail("store_buffer", BFST2_ERR_ABORTED);
    EXPECT_EQ(ch.v->write2(ch.ctx, 0, block.data()), -1);
    EXPECT_EQ(ch.error(), "sbtwrite2 failed: error MI_STS_EABORT");
    EXPECT_EQ(ch.rec()->offset, 65536u);
    EXPECT_EQ(ch.v->close2(ch.ctx, 0), -1);
    EXPECT_NE(ch.error().find("sbtclose2: rpgn_bfst_close failed: MI_STS_EABORT"), std::string::npos) << ch.error();
    EXPECT_FALSE(exists(app_.file("rman", "broken")));
    EXPECT_EQ(ch.end(), 0);
    // Nothing of it stays on the appliance: the blob it did store went with the close.
    EXPECT_TRUE(blob_list(app_.blobs()).empty());
}

TEST_F(RmanBfst, SbtendWithoutCloseReleasesThePathAndLeavesNoPiece)
{
    start("WRITE_CACHE_SIZE=1\n");
    Channel ch;
    open(ch);
    ASSERT_EQ(backup(ch, "unfinished", 65536), 0) << ch.error();
    std::string block(65536, 'u');
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(ch.v->write2(ch.ctx, 0, block.data()), 0);
    EXPECT_EQ(ch.end(), 0);
    // Cached blocks are dropped, never stored, and everything is released.
    EXPECT_TRUE(fake_.state().store_lengths.empty());
    EXPECT_EQ(fake_.count("handle_destroy"), 1);
    EXPECT_EQ(fake_.count("finalize"), 1);
    EXPECT_FALSE(exists(app_.file("rman", "unfinished")));
}

TEST_F(RmanBfst, ConcurrencyTwoChannelsBackUpAtOnceOverOneLibrary)
{
    start("WRITE_CACHE_SIZE=1\n");
    const size_t bs = 64 << 10;
    auto run = [&](char fill) {
        Channel ch;
        open(ch);
        std::string name = std::string("concurrent_") + fill;
        ASSERT_EQ(backup(ch, name.c_str(), bs), 0) << ch.error();
        std::string block(bs, fill);
        for (int i = 0; i < 24; i++)
            ASSERT_EQ(ch.v->write2(ch.ctx, 0, block.data()), 0) << ch.error();
        ASSERT_EQ(ch.v->close2(ch.ctx, 0), 0) << ch.error();
        EXPECT_EQ(ch.end(), 0);
    };
    std::thread a(run, 'A'), b(run, 'B');
    a.join();
    b.join();
    // Each piece went to blobs of its own, whole.
    std::map<char, size_t> bytes;
    for (const auto &blob : fake_.state().blobs) {
        ASSERT_FALSE(blob.bytes.empty());
        EXPECT_EQ(blob.bytes.find_first_not_of(blob.bytes[0]), std::string::npos);
        bytes[blob.bytes[0]] += blob.bytes.size();
    }
    EXPECT_EQ(bytes['A'], 24 * bs);
    EXPECT_EQ(bytes['B'], 24 * bs);
    EXPECT_TRUE(exists(app_.file("rman", "concurrent_A")));
    EXPECT_TRUE(exists(app_.file("rman", "concurrent_B")));
}
