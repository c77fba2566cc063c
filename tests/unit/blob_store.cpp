// Blobs of the BFST service on disk: written under a hidden name, finished
// durably, held and released, counted against the quota all the while, and
// swept at start-up; and files assembled from them: read through their
// segments, checked, removed with their blobs, and counted once across
// restarts.
#include "appliance/blob_store.h"

#include "bfst/bfst_proto.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"
#include "kes_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

class BlobStore : public ::testing::Test {
protected:
    // Opens the store and its blobs as the appliance's start-up does.
    void open(uint64_t quota = 0)
    {
        std::string err;
        ASSERT_EQ(store_open(root_.path(), quota, &st_, &err), 0) << err;
        blob_store_sweep(root_.path(), store_blob_refs(st_));
        ASSERT_EQ(blob_store_open(st_, root_.path(), &bs_, &err), 0) << err;
    }
    void TearDown() override
    {
        blob_store_close(bs_);
        store_close(st_);
    }
    // A finished blob of the bytes; its tag text.
    std::string put(const std::string &data, uint64_t creator = 1)
    {
        blob_writer *w = nullptr;
        EXPECT_EQ(blob_create(bs_, creator, &w), 0);
        EXPECT_EQ(blob_append(w, data.data(), data.size()), 0);
        char hex[BLOB_TAG_TEXT + 1];
        bfst_hex(blob_writer_tag(w), BLOB_TAG_BYTES, hex);
        EXPECT_EQ(blob_finish(w), 0);
        return hex;
    }
    // Ends the run without a word, as a crash would; the files stay.
    void drop()
    {
        blob_store_close(bs_);
        store_close(st_);
        bs_ = nullptr;
        st_ = nullptr;
    }
    std::string blob_file(const std::string &tag) const { return root_.path() + "/.bfst/" + tag; }

    kes_test::TempDir root_;
    store *st_ = nullptr;
    blob_store *bs_ = nullptr;
};

std::string random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = char(rng());
    return s;
}

// A file being assembled from blobs: blobs stored, segments of them, then the
// commit as the appliance's close makes it.
class Assembled : public BlobStore {
protected:
    // A finished blob held for the file (owner 77).
    std::string blob(const std::string &data)
    {
        std::string tag = put(data);
        EXPECT_EQ(blob_hold(bs_, tag, 77), 0);
        blobs_[tag] = data;
        return tag;
    }
    void seg(const std::string &tag, uint64_t blob_off, uint64_t len)
    {
        segs_.push_back(store_seg{tag, blobs_[tag].size(), want_.size(), blob_off, len});
        want_ += blobs_[tag].substr(blob_off, len);
    }
    // Commits rel from the segments and hands the blobs over; the status.
    int commit(const std::string &rel, const char **why = nullptr)
    {
        std::shared_ptr<store_file> f;
        EXPECT_EQ(store_file_open(st_, rel, STORE_WRITE | STORE_CREATE, &f), 0);
        const char *w = nullptr;
        int rc = store_file_commit_segments(f.get(), segs_, &w);
        if (why != nullptr)
            *why = w;
        if (rc != 0) {
            store_file_abandon(f.get());
            return rc;
        }
        for (const store_seg &sg : segs_)
            blob_adopt(bs_, sg.tag, 77);
        return 0;
    }
    // Reads rel whole in pieces of step bytes; stops at the first failure.
    std::string read(const std::string &rel, size_t step, int *rc = nullptr, sums_damage *dmg = nullptr)
    {
        std::shared_ptr<store_file> f;
        int r = store_file_open(st_, rel, STORE_READ, &f);
        std::string out;
        std::string buf(step, '\0');
        for (uint64_t off = 0; r == 0;) {
            size_t got = 0;
            r = store_file_pread(f.get(), buf.data(), step, off, &got, dmg);
            if (r != 0 || got == 0)
                break;
            out.append(buf, 0, got);
            off += got;
        }
        if (rc != nullptr)
            *rc = r;
        return out;
    }
    uint64_t blob_bytes() const
    {
        uint64_t n = 0;
        for (const auto &kv : blobs_)
            n += kv.second.size();
        return n;
    }

    std::map<std::string, std::string> blobs_;
    std::vector<store_seg> segs_;
    std::string want_;
};

TEST_F(BlobStore, AFinishedBlobIsFoundByItsTagAndHeldUntilTheLastRelease)
{
    open();
    std::string tag = put("blob bytes");
    blob_info bi;
    // upper-case digits name the same blob
    std::string upper = tag;
    for (char &c : upper)
        c = char(toupper(c));
    ASSERT_EQ(blob_find(bs_, upper, &bi), 0);
    EXPECT_EQ(bi.size, 10u);
    EXPECT_EQ(bi.holders, 0u);
    EXPECT_EQ(kes_test::read_file(bi.path), "blob bytes");
    EXPECT_EQ(bi.path, root_.path() + "/.bfst/" + tag);
    struct stat sb;
    ASSERT_EQ(stat((root_.path() + "/.bfst").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0700u);
    EXPECT_EQ(store_used_bytes(st_), 10u);

    EXPECT_EQ(blob_hold(bs_, tag, 1), 0);
    EXPECT_EQ(blob_hold(bs_, tag, 1), 0);  // one hold, however often asked
    // one holder at a time
    EXPECT_EQ(blob_hold(bs_, tag, 2), KES_EACCES);
    uint64_t size = 0;
    EXPECT_EQ(blob_held(bs_, tag, 2, &size), KES_EACCES);
    EXPECT_EQ(blob_held(bs_, tag, 1, &size), 0);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(blob_release(bs_, tag, 3), KES_ENOENT);  // not a holder
    EXPECT_EQ(blob_find(bs_, tag, &bi), 0);
    EXPECT_EQ(bi.holders, 1u);
    // the connection that stored it ends: held blobs stay
    EXPECT_EQ(blob_remove_unheld(bs_, 1), 0u);
    EXPECT_EQ(blob_release(bs_, tag, 1), 0);
    EXPECT_EQ(blob_find(bs_, tag, &bi), KES_ENOENT);
    EXPECT_NE(access(bi.path.c_str(), F_OK), 0);
    EXPECT_EQ(store_used_bytes(st_), 0u);
    // not tags at all
    for (const std::string &bad : {std::string(), std::string(63, 'a'), std::string(64, 'g'), tag + "0"})
        EXPECT_EQ(blob_hold(bs_, bad, 1), KES_ENOENT) << bad;
}

TEST_F(BlobStore, UnheldBlobsGoWithTheirConnectionAndAnOwnersHoldsWithIt)
{
    open();
    std::string a = put("aaaa", 1), b = put("bbbbbb", 1), c = put("cc", 2);
    ASSERT_EQ(blob_hold(bs_, b, 9), 0);
    ASSERT_EQ(blob_hold(bs_, c, 8), 0);
    EXPECT_EQ(blob_remove_unheld(bs_, 1), 1u);  // a only
    EXPECT_EQ(blob_list(bs_).size(), 2u);
    EXPECT_EQ(store_used_bytes(st_), 8u);
    blob_release_all(bs_, 9);  // b has no holder left, c is another's
    std::vector<blob_info> left = blob_list(bs_);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].tag, c);
    EXPECT_EQ(store_used_bytes(st_), 2u);
    EXPECT_EQ(blob_remove(bs_, c), 0);
    EXPECT_EQ(blob_remove(bs_, c), KES_ENOENT);
    EXPECT_EQ(store_used_bytes(st_), 0u);
}

TEST_F(BlobStore, QuotaRefusesBytesAndAnAbandonedBlobGivesItsBytesBack)
{
    open(1000);
    blob_writer *w = nullptr;
    ASSERT_EQ(blob_create(bs_, 1, &w), 0);
    ASSERT_EQ(blob_append(w, std::string(600, 'x').data(), 600), 0);
    EXPECT_EQ(blob_append(w, std::string(401, 'x').data(), 401), KES_ENOSPC);
    EXPECT_EQ(store_used_bytes(st_), 600u);
    ASSERT_EQ(blob_append(w, std::string(400, 'x').data(), 400), 0);
    EXPECT_EQ(blob_writer_size(w), 1000u);
    char hex[BLOB_TAG_TEXT + 1];
    bfst_hex(blob_writer_tag(w), BLOB_TAG_BYTES, hex);
    blob_abandon(w);
    EXPECT_EQ(store_used_bytes(st_), 0u);
    blob_info bi;
    EXPECT_EQ(blob_find(bs_, hex, &bi), KES_ENOENT);
    EXPECT_NE(access((root_.path() + "/.bfst/" + hex + ".part").c_str(), F_OK), 0);
}

TEST_F(BlobStore, StartUpRemovesWhatAnEarlierRunLeftBeforeTheStoreCountsIt)
{
    open();
    std::string kept = put(std::string(3000, 'k'));
    // a blob being written when the run ended
    std::string part = root_.path() + "/.bfst/" + std::string(64, 'e') + ".part";
    kes_test::write_file(part, "unfinished");
    // the run ends without a word: the files stay on disk
    blob_store_close(bs_);
    store_close(st_);
    bs_ = nullptr;
    st_ = nullptr;
    ASSERT_EQ(access((root_.path() + "/.bfst/" + kept).c_str(), F_OK), 0);
    open();
    EXPECT_TRUE(blob_list(bs_).empty());
    EXPECT_EQ(store_used_bytes(st_), 0u);
    EXPECT_NE(access((root_.path() + "/.bfst/" + kept).c_str(), F_OK), 0);
    EXPECT_NE(access(part.c_str(), F_OK), 0);
}

TEST_F(BlobStore, ALinkInPlaceOfTheBlobDirectoryIsNeitherSweptNorUsed)
{
    kes_test::TempDir elsewhere;
    kes_test::write_file(elsewhere.path() + "/precious", "keep me");
    ASSERT_EQ(symlink(elsewhere.path().c_str(), (root_.path() + "/.bfst").c_str()), 0);
    blob_store_sweep(root_.path(), {});
    EXPECT_EQ(kes_test::read_file(elsewhere.path() + "/precious"), "keep me");
    std::string err;
    ASSERT_EQ(store_open(root_.path(), 0, &st_, &err), 0) << err;
    EXPECT_NE(blob_store_open(st_, root_.path(), &bs_, &err), 0);
    EXPECT_NE(err.find("not a directory"), std::string::npos) << err;
}

}  // namespace

TEST_F(Assembled, ReadsFollowTheSegmentsAndPageChecksumsAreThoseOfTheFile)
{
    open();
    const std::string a = blob(random_bytes(600 << 10, 1)), b = blob(random_bytes(300 << 10, 2)),
                      c = blob(random_bytes(100, 3));
    // whole, in part from inside a blob (not on a page of it), and a tail
    seg(a, 0, 600 << 10);
    seg(b, 100 << 10, 200 << 10);
    seg(c, 0, 100);
    ASSERT_EQ(commit("sh/piece"), 0);
    EXPECT_TRUE(blob_list(bs_).empty()) << "the file owns its blobs";
    for (size_t step : {size_t(77777), size_t(1) << 20})
        EXPECT_EQ(read("sh/piece", step), want_) << step;

    std::shared_ptr<store_file> f;
    ASSERT_EQ(store_file_open(st_, "sh/piece", STORE_READ, &f), 0);
    EXPECT_EQ(store_file_size(f.get()), want_.size());
    // every page, also those that straddle two blobs, as the data mover's
    // reader computes them
    uint64_t sums[8] = {};
    const uint64_t pages = (want_.size() + DM_SUM_PAGE - 1) / DM_SUM_PAGE;
    ASSERT_EQ(store_file_sums(f.get(), 0, sums, 8), pages);
    for (uint64_t p = 0; p < pages; p++) {
        size_t len = std::min<size_t>(DM_SUM_PAGE, want_.size() - p * DM_SUM_PAGE);
        EXPECT_EQ(sums[p], dm_sum64(want_.data() + p * DM_SUM_PAGE, len)) << "page " << p;
    }
    EXPECT_EQ(store_file_sums(f.get(), 2, sums, 1), 1u);
    EXPECT_EQ(sums[0], dm_sum64(want_.data() + 2 * DM_SUM_PAGE, DM_SUM_PAGE));
    // never written in place
    std::shared_ptr<store_file> w;
    EXPECT_EQ(store_file_open(st_, "sh/piece", STORE_WRITE, &w), KES_EROFS);
}

TEST_F(Assembled, DamagedOrMissingBlobsRefuseReadsAtTheirOffsetInTheFile)
{
    open();
    const std::string a = blob(random_bytes(300 << 10, 4)), b = blob(random_bytes(300 << 10, 5));
    seg(a, 0, 300 << 10);
    seg(b, 50 << 10, 250 << 10);
    ASSERT_EQ(commit("sh/piece"), 0);
    // one byte of b changes on disk, in its second page
    int fd = ::open(blob_file(b).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "!", 1, (256 << 10) + 5), 1);
    close(fd);
    int rc = 0;
    sums_damage dmg;
    std::string got = read("sh/piece", 64 << 10, &rc, &dmg);
    EXPECT_EQ(rc, KES_EIO);
    EXPECT_STREQ(dmg.why, "checksum mismatch");
    EXPECT_EQ(dmg.off, (300u << 10) + (256u << 10) - (50u << 10));
    EXPECT_EQ(got, want_.substr(0, got.size()));
    EXPECT_LE(got.size(), dmg.off);

    ASSERT_EQ(unlink(blob_file(b).c_str()), 0);
    got = read("sh/piece", 1 << 20, &rc, &dmg);
    EXPECT_EQ(rc, KES_EIO);
    EXPECT_STREQ(dmg.why, "a blob of it is missing");
    EXPECT_EQ(dmg.off, 300u << 10) << "where the second blob begins";
    // a manifest changed on disk is refused, never taken for data
    std::string m = kes_test::read_file(root_.path() + "/sh/piece");
    m[40] ^= 1;
    kes_test::write_file(root_.path() + "/sh/piece", m);
    got = read("sh/piece", 1 << 20, &rc, &dmg);
    EXPECT_EQ(rc, KES_EIO);
    EXPECT_TRUE(got.empty());
}

TEST_F(Assembled, SegmentsThatDoNotMakeAWholeFileAreRefused)
{
    open();
    const std::string a = blob(std::string(1000, 'a')), b = blob(std::string(1000, 'b'));
    struct Case {
        std::vector<store_seg> segs;
        const char *why;
    } cases[] = {
        {{{a, 1000, 0, 0, 600}, {b, 1000, 700, 0, 100}}, "its extents leave a gap"},
        {{{a, 1000, 0, 0, 600}, {b, 1000, 500, 0, 100}}, "its extents overlap"},
        {{{a, 1000, 10, 0, 600}}, "its extents leave a gap"},
        {{{a, 1000, 0, 500, 600}}, "an extent reaches past the end of its blob"},
        {{{a, 1000, 0, 0, 0}}, "an extent is empty"},
        {{{"zz" + a.substr(2), 1000, 0, 0, 10}}, "an extent names a malformed tag"},
        {{}, "it has no extents"},
    };
    for (const Case &c : cases) {
        segs_ = c.segs;
        const char *why = nullptr;
        EXPECT_EQ(commit("sh/bad", &why), KES_EINVAL) << c.why;
        EXPECT_STREQ(why, c.why);
        EXPECT_NE(access((root_.path() + "/sh/bad").c_str(), F_OK), 0);
    }
    // nor beside data of the data mover
    std::shared_ptr<store_file> f;
    ASSERT_EQ(store_file_open(st_, "sh/mixed", STORE_WRITE | STORE_CREATE, &f), 0);
    ASSERT_EQ(store_file_pwrite(f.get(), "x", 1, 0), 0);
    const char *why = nullptr;
    EXPECT_EQ(store_file_commit_segments(f.get(), {{a, 1000, 0, 0, 10}}, &why), KES_EINVAL);
    EXPECT_STREQ(why, "data arrived for it beside its extents");
}

TEST_F(Assembled, EveryByteCountsOnceAcrossRestartsAndDeleteGivesTheBlobsBack)
{
    open();
    const std::string a = blob(random_bytes(500 << 10, 6)), b = blob(random_bytes(70000, 7));
    seg(a, 0, 500 << 10);
    seg(b, 0, 70000);
    ASSERT_EQ(commit("sh/deep/piece"), 0);
    const uint64_t manifest = STORE_SEG_HDR + 2 * STORE_SEG_ENTRY;
    EXPECT_EQ(store_used_bytes(st_), blob_bytes() + manifest);
    // leftovers: a blob held by a file that never closed, one nobody held
    std::string held = put("held, never part of a file");
    ASSERT_EQ(blob_hold(bs_, held, 5), 0);
    std::string loose = put("never held");

    drop();
    open();
    EXPECT_EQ(store_used_bytes(st_), blob_bytes() + manifest);
    EXPECT_EQ(store_blob_refs(st_), (std::set<std::string>{a, b}));
    EXPECT_NE(access(blob_file(held).c_str(), F_OK), 0);
    EXPECT_NE(access(blob_file(loose).c_str(), F_OK), 0);
    EXPECT_EQ(read("sh/deep/piece", 1 << 20), want_);

    // a commit cut short between its renames keeps the manifest's checksums
    ASSERT_EQ(rename((root_.path() + "/sh/deep/.piece.kms").c_str(), (root_.path() + "/sh/deep/.piece.kmsn").c_str()),
              0);
    drop();
    open();
    EXPECT_EQ(read("sh/deep/piece", 1 << 20), want_);
    EXPECT_EQ(store_used_bytes(st_), blob_bytes() + manifest);

    ASSERT_EQ(store_delete(st_, "sh/deep/piece"), 0);
    EXPECT_EQ(store_used_bytes(st_), 0u);
    for (const std::string &t : {a, b}) {
        EXPECT_NE(access(blob_file(t).c_str(), F_OK), 0);
        EXPECT_NE(access((root_.path() + "/.bfst/." + t + ".kcs").c_str(), F_OK), 0);
    }
    drop();
    open();
    EXPECT_EQ(store_used_bytes(st_), 0u);
}

TEST_F(Assembled, ReplacingAFileOfEitherKindLeavesNothingOfTheOldOne)
{
    open();
    const std::string a = blob(random_bytes(1000, 8));
    seg(a, 0, 1000);
    // an assembled file replaces a data file ...
    std::shared_ptr<store_file> f;
    ASSERT_EQ(store_file_open(st_, "sh/piece", STORE_WRITE | STORE_CREATE, &f), 0);
    ASSERT_EQ(store_file_pwrite(f.get(), "data file", 9, 0), 0);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    ASSERT_EQ(commit("sh/piece"), 0);
    EXPECT_EQ(read("sh/piece", 4096), want_);
    EXPECT_NE(access((root_.path() + "/sh/.piece.kcs").c_str(), F_OK), 0);
    EXPECT_EQ(store_used_bytes(st_), 1000u + STORE_SEG_HDR + STORE_SEG_ENTRY);
    // ... and a data file replaces it, its blob going with it
    ASSERT_EQ(store_file_open(st_, "sh/piece", STORE_WRITE | STORE_CREATE, &f), 0);
    ASSERT_EQ(store_file_pwrite(f.get(), "data again", 10, 0), 0);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    EXPECT_EQ(read("sh/piece", 4096), "data again");
    EXPECT_NE(access(blob_file(a).c_str(), F_OK), 0);
    EXPECT_NE(access((root_.path() + "/sh/.piece.kms").c_str(), F_OK), 0);
    EXPECT_EQ(store_used_bytes(st_), 10u);
}

TEST_F(Assembled, ConcurrencyReadersOfOneFileShareItsBlobs)
{
    // More blobs than a file keeps open, read from several threads at once
    // through one open file, as data-mover connections do.
    open();
    for (uint32_t i = 0; i < 6; i++) {
        std::string t = blob(random_bytes(100000 + i * 7777, 20 + i));
        seg(t, i, blobs_[t].size() - i);
    }
    ASSERT_EQ(commit("sh/piece"), 0);
    std::shared_ptr<store_file> f;
    ASSERT_EQ(store_file_open(st_, "sh/piece", STORE_READ, &f), 0);
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; r++) {
        readers.emplace_back([&, r] {
            std::mt19937 rng(r);
            std::string buf(65536, '\0');
            for (int i = 0; i < 200; i++) {
                uint64_t off = rng() % want_.size();
                size_t got = 0;
                if (store_file_pread(f.get(), buf.data(), buf.size(), off, &got) != 0 ||
                    buf.compare(0, got, want_, off, got) != 0 || got != std::min<size_t>(buf.size(), want_.size() - off))
                    bad++;
                uint64_t sums[2];
                store_file_sums(f.get(), off / DM_SUM_PAGE, sums, 2);
            }
        });
    }
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}
