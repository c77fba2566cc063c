// Blobs of the BFST service on disk: written under a hidden name, finished
// durably, held and released, counted against the quota all the while, and
// swept at start-up.
#include "appliance/blob_store.h"

#include "bfst/bfst_proto.h"
#include "datamover/util.h"
#include "kes_test.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
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
    kes_test::TempDir root_;
    store *st_ = nullptr;
    blob_store *bs_ = nullptr;
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
