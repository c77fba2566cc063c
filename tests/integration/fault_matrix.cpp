// The appliance daemon killed with SIGKILL while backups and restores are in
// flight, then started again on the same store: every piece whose backup
// reported success restores byte-identical, no other piece exists, nothing
// half-written is left, and the quota counts exactly what is stored. Backups
// go over the data mover, and over the BFST service as blobs, where no blob
// that a complete piece does not use survives the restart.
//
// Pieces are 8 blocks of 256 KiB; KES_FAULT_MATRIX_BLOCKS asks for more.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "integration/appliance_client.h"
#include "integration/support_backup.h"
#include "integration/support_sbt.h"
#include "kes_test.h"

using appl_test::Daemon;
using kes_test::backup_piece;
using kes_test::Channel;
using kes_test::Outcome;
using kes_test::PieceReader;
using kes_test::PieceWriter;
using kes_test::restore_piece;

namespace {

constexpr size_t kBs = 262144;

uint64_t piece_blocks()
{
    const char *e = getenv("KES_FAULT_MATRIX_BLOCKS");
    uint64_t n = e != nullptr ? strtoull(e, nullptr, 10) : 0;
    return n >= 2 ? n : 8;
}

// The parameter is the library's IO_PATH: 1 the data mover, 4 the BFST path.
class FaultMatrix : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        kes_test::clear_channel_env();
        ASSERT_NE(lib_.handle, nullptr);
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini",
                             "IO_PATH=" + std::to_string(GetParam()) + "\nDEBUG_LEVEL=warning\n");
        ASSERT_TRUE(daemon_.start(args())) << daemon_.output();
    }
    std::vector<std::string> args() const { return {"--root", store_.path(), "--user", "rman:secret"}; }
    void open(Channel &ch)
    {
        ASSERT_EQ(ch.init(lib_), 0);
        ASSERT_EQ(ch.init2(kes_test::login_params(daemon_.addr()).c_str()), 0) << ch.error();
    }
    // The bytes in use the daemon counted when it started, from its log.
    uint64_t counted_at_start() const
    {
        std::string out = daemon_.output();
        size_t at = out.rfind(" in use");
        if (at == std::string::npos)
            return UINT64_MAX;
        size_t from = out.rfind(' ', at - 1);
        return strtoull(out.c_str() + from + 1, nullptr, 10);
    }
    // Backs up a whole piece; a success is remembered as a piece that must stay.
    void backup_good(Channel &ch, const std::string &name, uint32_t seed)
    {
        tried_.push_back(name);
        Outcome o = backup_piece(ch, name, kBs, piece_blocks(), seed);
        ASSERT_EQ(o.rc, 0) << name << ": " << o.error;
        good_[name] = seed;
    }
    // Finishes a backup the crash interrupted; it may only count when the
    // library reported every step a success.
    void finish(PieceWriter &w, const std::string &name, uint32_t seed, uint64_t rest)
    {
        tried_.push_back(name);
        Outcome o = w.write(rest);
        Outcome c = w.close();
        if (o.rc == 0 && c.rc == 0)
            good_[name] = seed;
        else
            EXPECT_EQ((o.rc != 0 ? o : c).code, 7501u) << name;
    }
    // The invariant over every piece ever tried.
    void check_store()
    {
        Channel ch;
        open(ch);
        for (const auto &[name, seed] : good_) {
            Outcome o;
            EXPECT_EQ(restore_piece(ch, name, kBs, seed, &o), static_cast<long>(piece_blocks())) << name << ": " << o.error;
        }
        for (const std::string &name : tried_) {
            if (good_.count(name) != 0)
                continue;
            std::string n = name;
            char *files[] = {n.data(), nullptr};
            sbt_item *info = nullptr;
            ASSERT_EQ(ch.v->info2(ch.ctx, 0, files, &info), 0) << ch.error();
            EXPECT_EQ(info[1].type, 8u) << name << " failed, yet sbtinfo2 lists it";
        }
        std::vector<std::string> want;
        for (const auto &kv : good_)
            want.push_back(kv.first);
        std::vector<std::string> have = kes_test::stored_pieces(store_.path() + "/rman");
        std::sort(have.begin(), have.end());
        EXPECT_EQ(have, want);
        EXPECT_EQ(kes_test::count_files(store_.path(), ".kpart"), 0u);
        EXPECT_EQ(counted_at_start(), kes_test::counted_bytes(store_.path()));
        // The BFST path deduplicates: one recipe per piece that stayed, and
        // chunks that restore them (above) and check whole. The pieces are
        // random, so the chunks take at least their bytes; what the crashes
        // left unreferenced is collected, at worst down to half a container.
        uint64_t chunk_bytes = 0;
        size_t recipes = 0;
        kes_test::walk_files(store_.path() + "/.bfst", [&](const std::string &dir, const std::string &name, uint64_t size) {
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".krs") == 0)
                recipes++;
            else if (dir.rfind("chunks/", 0) == 0)
                chunk_bytes += size;
        });
        const uint64_t data = good_.size() * piece_blocks() * kBs;
        EXPECT_EQ(recipes, GetParam() == 4 ? good_.size() : 0u);
        EXPECT_GE(chunk_bytes, GetParam() == 4 ? data : 0u);
        EXPECT_LE(chunk_bytes, data + data / 8 + (64u << 20));
        appliance_config vc;
        vc.root = store_.path();
        std::string report;
        EXPECT_EQ(appliance_verify(vc, &report), 0u) << report;
        EXPECT_EQ(ch.end(), 0);
    }

    kes_test::ScopedWindir windir_;
    kes_test::SbtLib lib_;
    kes_test::TempDir store_;
    Daemon daemon_;
    std::map<std::string, uint32_t> good_;
    std::vector<std::string> tried_;
};

}  // namespace

TEST_P(FaultMatrix, KilledMidBackupAndMidRestoreOnlyReportedBackupsRemainAndRestoreWhole)
{
    const uint64_t blocks = piece_blocks();
    // A piece deep in directories, so the restart counts at any depth.
    std::string deep;
    for (int i = 0; i < 36; i++)
        deep += "d" + std::to_string(i % 10) + "/";
    uint32_t seed = 100;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string r = "r" + std::to_string(round) + "-";
        Channel done, mid, unclosed, fresh, reading;
        for (Channel *c : {&done, &mid, &unclosed, &fresh, &reading})
            open(*c);
        backup_good(done, (round == 1 ? deep : "") + r + "done", seed);
        const std::string earlier = good_.begin()->first;
        PieceWriter w_mid(mid, kBs, seed + 1), w_unclosed(unclosed, kBs, seed + 2), w_fresh(fresh, kBs, seed + 3);
        ASSERT_EQ(w_mid.open(r + "mid").rc, 0);
        ASSERT_EQ(w_mid.write(blocks / 2).rc, 0);
        ASSERT_EQ(w_unclosed.open(r + "unclosed").rc, 0);
        ASSERT_EQ(w_unclosed.write(blocks).rc, 0);
        ASSERT_EQ(w_fresh.open(r + "fresh").rc, 0);
        PieceReader reader(reading, kBs, good_[earlier]);
        ASSERT_EQ(reader.open(earlier).rc, 0);
        ASSERT_EQ(reader.read(blocks / 2).rc, 0);

        daemon_.crash();

        finish(w_mid, r + "mid", seed + 1, blocks - blocks / 2);
        finish(w_unclosed, r + "unclosed", seed + 2, 0);
        finish(w_fresh, r + "fresh", seed + 3, blocks);
        // What a restore still hands out after the crash is the right data.
        bool at_end = false;
        Outcome o = reader.read(blocks, &at_end);
        EXPECT_TRUE(o.code == 7501u || (o.rc == 0 && at_end)) << o.error;
        reader.close();
        for (Channel *c : {&done, &mid, &unclosed, &fresh, &reading})
            c->end();

        ASSERT_TRUE(daemon_.restart(args())) << daemon_.output();
        check_store();
        seed += 10;
    }
}

INSTANTIATE_TEST_SUITE_P(DataPaths, FaultMatrix, ::testing::Values(1, 4),
                         [](const ::testing::TestParamInfo<int> &i) { return i.param == 1 ? "Dm" : "Bfst"; });

namespace {

// The chunk collector killed at different points of its work: moving the
// chunks a piece still uses out of a container, syncing them, removing the
// container. It pauses between its steps so the kill lands inside.
class CollectorKilled : public FaultMatrix {
protected:
    std::vector<std::string> slow_args() const
    {
        std::vector<std::string> a = args();
        a.insert(a.end(), {"--gc-pause-ms", "150"});
        return a;
    }
};

}  // namespace

TEST_P(CollectorKilled, EveryPieceLeftRestoresWholeAndVerifyFindsNothing)
{
    uint32_t seed = 300;
    // (timings only aim the kill: after the copies, after their sync, after
    // the end; the invariants hold wherever it lands)
    for (int delay_ms : {20, 200, 380}) {
        SCOPED_TRACE("killed after " + std::to_string(delay_ms) + " ms");
        const std::string r = "g" + std::to_string(delay_ms) + "-";
        {
            Channel ch;
            open(ch);
            tried_.push_back(r + "gone");
            ASSERT_EQ(backup_piece(ch, r + "gone", kBs, 3 * piece_blocks(), seed).rc, 0);
            backup_good(ch, r + "kept", seed + 1);
            EXPECT_EQ(ch.end(), 0);
        }
        // A new run writes to containers of its own: the ones above can be
        // collected once most of what they hold is no longer used.
        daemon_.crash();
        ASSERT_TRUE(daemon_.restart(slow_args())) << daemon_.output();
        {
            Channel ch;
            open(ch);
            std::string n = r + "gone";
            char *files[] = {n.data(), nullptr};
            ASSERT_EQ(ch.v->remove2(ch.ctx, 0, files), 0) << ch.error();
            EXPECT_EQ(ch.end(), 0);
        }
        usleep(useconds_t(delay_ms) * 1000);
        daemon_.crash();
        ASSERT_TRUE(daemon_.restart(args())) << daemon_.output();
        check_store();
        seed += 10;
    }
}

INSTANTIATE_TEST_SUITE_P(DataPaths, CollectorKilled, ::testing::Values(4),
                         [](const ::testing::TestParamInfo<int> &) { return "Bfst"; });
