// The chunk store of deduplicated stores: chunks kept once and read back
// checked, references counted from recipes again at start-up, what a crash
// left behind (torn records, unreferenced chunks) settled, collection that
// keeps every referenced chunk, recipes parsed strictly, and the check of
// --verify finding a damaged byte and the files it spoils.
#include "appliance/blob_store.h"
#include "appliance/chunk_store.h"
#include "appliance/store.h"
#include "appliance/store_sums.h"

#include "bfst/bfst_dedup.h"
#include "bfst/bfst_proto.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"
#include "kes_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<unsigned char> chunk_of(uint32_t seed, size_t n = 9000)
{
    std::vector<unsigned char> d(n);
    uint64_t x = 0x9E3779B97F4A7C15ULL * (seed + 1);
    for (auto &b : d) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<unsigned char>(x >> 24);
    }
    return d;
}

recipe_entry entry_of(const std::vector<unsigned char> &d)
{
    recipe_entry e;
    bfst_fingerprint(d.data(), d.size(), &e.fp);
    e.len = uint32_t(d.size());
    return e;
}

uint64_t dir_bytes(const std::string &dir)
{
    uint64_t n = 0;
    std::vector<std::string> names;
    store_dir_names(dir, &names);
    for (const std::string &name : names) {
        struct stat sb;
        if (name[0] == '.')
            continue;  // checksums are not counted
        if (stat((dir + "/" + name).c_str(), &sb) == 0 && S_ISREG(sb.st_mode))
            n += uint64_t(sb.st_size);
    }
    return n;
}

class ChunkStore : public ::testing::Test {
protected:
    void open(uint64_t quota = 0)
    {
        std::string err;
        ASSERT_EQ(store_open(root_.path(), quota, &st_, &err), 0) << err;
        blob_store_sweep(root_.path(), store_blob_refs(st_));
        ASSERT_EQ(blob_store_open(st_, root_.path(), &bs_, &err), 0) << err;
        ASSERT_EQ(chunk_store_open(st_, root_.path(), 0, &cs_, &err), 0) << err;
        blob_store_set_chunks(bs_, cs_);
        store_set_chunks(st_, cs_);
    }
    void close()
    {
        blob_store_close(bs_);
        chunk_store_close(cs_);
        store_close(st_);
        bs_ = nullptr;
        cs_ = nullptr;
        st_ = nullptr;
    }
    void TearDown() override
    {
        if (st_ != nullptr)
            close();
    }
    // A recipe blob of the chunks, each stored (new ones written) and
    // referenced as a deduplicated store does; its tag.
    std::string recipe(const std::vector<std::vector<unsigned char>> &chunks)
    {
        blob_writer *w = nullptr;
        EXPECT_EQ(blob_create(bs_, 1, &w), 0);
        dm_sum_stream *sum = dm_sum_stream_new();
        uint64_t size = 0;
        for (const auto &c : chunks) {
            recipe_entry e = entry_of(c);
            int rc = 0;
            if (!chunk_ref(cs_, e.fp, e.len, &rc)) {
                EXPECT_EQ(chunk_put(cs_, e.fp, e.len, 0, c.data(), c.size(), 1), 0);
            }
            unsigned char q[RECIPE_ENTRY];
            memcpy(q, e.fp.b, 32);
            q[32] = uint8_t(e.len >> 24);
            q[33] = uint8_t(e.len >> 16);
            q[34] = uint8_t(e.len >> 8);
            q[35] = uint8_t(e.len);
            EXPECT_EQ(blob_append(w, q, sizeof q), 0);
            dm_sum_stream_add(sum, q, sizeof q);
            size += e.len;
        }
        unsigned char t[RECIPE_TRAILER];
        recipe_trailer_encode(t, size, chunks.size(), dm_sum_stream_value(sum));
        dm_sum_stream_free(sum);
        EXPECT_EQ(blob_append(w, t, sizeof t), 0);
        char hex[BLOB_TAG_TEXT + 1];
        bfst_hex(blob_writer_tag(w), BLOB_TAG_BYTES, hex);
        EXPECT_EQ(chunk_store_sync(cs_), 0);
        EXPECT_EQ(blob_finish_recipe(w, size), 0);
        return hex;
    }
    // Reads a chunk back; "" or why not.
    std::string read_back(const std::vector<unsigned char> &c)
    {
        std::vector<unsigned char> out(c.size()), scratch;
        const char *why = nullptr;
        if (chunk_read(cs_, entry_of(c), out.data(), &scratch, &why) != 0)
            return why;
        return out == c ? "" : "other bytes";
    }
    std::string chunk_dir() const { return root_.path() + "/.bfst/chunks"; }

    kes_test::TempDir root_;
    store *st_ = nullptr;
    blob_store *bs_ = nullptr;
    chunk_store *cs_ = nullptr;
};

TEST_F(ChunkStore, ChunksAreKeptOnceReadBackCheckedAndCountedAgainstTheQuota)
{
    open();
    auto a = chunk_of(1), b = chunk_of(2);
    std::string t1 = recipe({a, b, a});
    std::string t2 = recipe({b});
    chunk_stats s = chunk_store_stats(cs_);
    EXPECT_EQ(s.chunks, 2u);
    EXPECT_EQ(s.disk, 2 * (CHUNK_REC_HEAD + 9000));
    EXPECT_EQ(s.live, s.disk);
    EXPECT_EQ(read_back(a), "");
    EXPECT_EQ(read_back(b), "");
    EXPECT_EQ(read_back(chunk_of(3)), "a chunk of it is missing");
    // the containers and the recipes are what the store counts
    EXPECT_EQ(store_used_bytes(st_), dir_bytes(chunk_dir()) + 3 * RECIPE_ENTRY + RECIPE_TRAILER + 1 * RECIPE_ENTRY +
                                         RECIPE_TRAILER);
    blob_info bi;
    ASSERT_EQ(blob_find(bs_, t1, &bi), 0);
    EXPECT_EQ(bi.size, 27000u);  // the stream it stands for
    // A chunk named again with another length is refused.
    int rc = 0;
    EXPECT_FALSE(chunk_ref(cs_, entry_of(a).fp, 8999, &rc));
    EXPECT_EQ(rc, KES_EINVAL);
    // Over the quota nothing is written. (The restart keeps neither recipe:
    // no complete file uses them, so their chunks are collected.)
    close();
    open(100);
    EXPECT_EQ(store_used_bytes(st_), 0u);
    auto c = chunk_of(4);
    EXPECT_EQ(chunk_put(cs_, entry_of(c).fp, 9000, 0, c.data(), c.size(), 1), KES_ENOSPC);
    EXPECT_EQ(read_back(c), "a chunk of it is missing");
    (void)t2;
}

TEST_F(ChunkStore, RestartCountsReferencesFromTheRecipesAndCollectsTheRest)
{
    open();
    auto a = chunk_of(1), b = chunk_of(2), c = chunk_of(3);
    std::string keep = recipe({a, b});
    ASSERT_EQ(blob_hold(bs_, keep, 7), 0);
    // c and others are referenced only by a store in progress when the
    // appliance dies: most of the container is dead then
    for (uint32_t i = 3; i < 6; i++) {
        auto d = chunk_of(i);
        ASSERT_EQ(chunk_put(cs_, entry_of(d).fp, 9000, 0, d.data(), d.size(), 1), 0);
    }
    ASSERT_EQ(chunk_store_sync(cs_), 0);
    // and a torn record ends the active container
    std::vector<std::string> names;
    store_dir_names(chunk_dir(), &names);
    ASSERT_EQ(names.size(), 1u);
    {
        int fd = ::open((chunk_dir() + "/" + names[0]).c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "KCH1 torn", 9), 9);
        ::close(fd);
    }
    // Crash: nothing is closed. The store keeps the recipe as a complete
    // file's would be kept (the sweep keeps the tags the store counted).
    chunk_store_close(cs_);
    blob_store_close(bs_);
    store_close(st_);
    cs_ = nullptr;
    bs_ = nullptr;
    st_ = nullptr;
    std::string err;
    ASSERT_EQ(store_open(root_.path(), 0, &st_, &err), 0);
    blob_store_sweep(root_.path(), {keep});
    ASSERT_EQ(blob_store_open(st_, root_.path(), &bs_, &err), 0);
    ASSERT_EQ(chunk_store_open(st_, root_.path(), 0, &cs_, &err), 0);
    blob_store_set_chunks(bs_, cs_);
    store_set_chunks(st_, cs_);
    chunk_store_gc(cs_);
    EXPECT_EQ(read_back(a), "");
    EXPECT_EQ(read_back(b), "");
    // c went (its container was mostly dead: a and b moved to a new one,
    // which a later run appends to no more than to any other)
    EXPECT_EQ(read_back(c), "a chunk of it is missing");
    chunk_stats s = chunk_store_stats(cs_);
    EXPECT_EQ(s.chunks, 2u);
    EXPECT_EQ(s.referenced, 2u);
    EXPECT_EQ(s.disk, 2 * (CHUNK_REC_HEAD + 9000));
    EXPECT_EQ(dir_bytes(chunk_dir()), s.disk);
    std::vector<std::string> problems;
    EXPECT_EQ(chunk_store_verify(root_.path(), &problems, nullptr), 0u) << problems[0];
}

TEST_F(ChunkStore, CollectionKeepsSharedChunksAndReclaimsTheRest)
{
    open();
    // Enough chunks to fill more than one container.
    std::vector<std::vector<unsigned char>> first, second;
    for (uint32_t i = 0; i < 1100; i++)
        first.push_back(chunk_of(i, 65536));
    for (uint32_t i = 1000; i < 1200; i++)
        second.push_back(chunk_of(i, 65536));
    std::string t1 = recipe(first), t2 = recipe(second);
    ASSERT_GE(chunk_store_stats(cs_).containers, 2u);
    const uint64_t used_before = store_used_bytes(st_);
    // Removing the first blob lets go of its chunks; the 100 it shares stay.
    ASSERT_EQ(blob_remove(bs_, t1), 0);
    chunk_store_gc(cs_);
    chunk_stats s = chunk_store_stats(cs_);
    EXPECT_EQ(s.referenced, 200u);
    for (uint32_t i = 1000; i < 1200; i += 37)
        EXPECT_EQ(read_back(chunk_of(i, 65536)), "") << i;
    EXPECT_LT(store_used_bytes(st_), used_before);
    EXPECT_EQ(store_used_bytes(st_), dir_bytes(chunk_dir()) + dir_bytes(root_.path() + "/.bfst"));
    // Removing the last one reclaims every container.
    ASSERT_EQ(blob_remove(bs_, t2), 0);
    chunk_store_gc(cs_);
    EXPECT_EQ(dir_bytes(chunk_dir()), 0u);
    EXPECT_EQ(store_used_bytes(st_), 0u);
}

TEST_F(ChunkStore, AFlippedByteFailsTheReadAndVerifyNamesTheChunkAndTheRecipe)
{
    open();
    auto a = chunk_of(1), b = chunk_of(2);
    std::string tag = recipe({a, b});
    std::vector<std::string> names;
    store_dir_names(chunk_dir(), &names);
    ASSERT_EQ(names.size(), 1u);
    // one byte inside b's stored bytes
    const std::string path = chunk_dir() + "/" + names[0];
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const off_t at = off_t(2 * CHUNK_REC_HEAD + 9000 + 4321);
    unsigned char byte = 0;
    ASSERT_EQ(pread(fd, &byte, 1, at), 1);
    byte ^= 0x10;
    ASSERT_EQ(pwrite(fd, &byte, 1, at), 1);
    ::close(fd);
    EXPECT_EQ(read_back(a), "");
    EXPECT_EQ(read_back(b), "a chunk of it is damaged");
    std::vector<std::string> problems;
    chunk_stats st;
    EXPECT_EQ(chunk_store_verify(root_.path(), &problems, &st), 2u);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[0].find("damaged chunk in container " + names[0]), std::string::npos) << problems[0];
    EXPECT_EQ(problems[1], "recipe " + tag + ": it uses a chunk that is missing or damaged");
    EXPECT_EQ(st.chunks, 1u);
}

TEST(Recipe, ParsedStrictly)
{
    std::vector<unsigned char> r(2 * RECIPE_ENTRY + RECIPE_TRAILER, 0);
    memset(r.data(), 0xAB, 32);
    r[35] = 100;  // 100 bytes
    memset(r.data() + 36, 0xCD, 32);
    r[36 + 34] = 1;  // 256 bytes
    recipe_trailer_encode(r.data() + 72, 356, 2, dm_sum64(r.data(), 72));
    std::vector<recipe_entry> out;
    uint64_t size = 0;
    const char *why = nullptr;
    ASSERT_EQ(recipe_decode(r.data(), r.size(), &out, &size, &why), 0);
    EXPECT_EQ(size, 356u);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].len, 256u);
    EXPECT_EQ(recipe_decode(r.data(), r.size() - 1, &out, &size, &why), KES_EIO);
    EXPECT_STREQ(why, "its recipe has a wrong length");
    auto damaged = r;
    damaged[5] ^= 1;  // an entry
    EXPECT_EQ(recipe_decode(damaged.data(), damaged.size(), &out, &size, &why), KES_EIO);
    EXPECT_STREQ(why, "its recipe is damaged");
    auto wrong = r;  // a sum that disagrees with the lengths, checksums right
    recipe_trailer_encode(wrong.data() + 72, 357, 2, dm_sum64(wrong.data(), 72));
    EXPECT_EQ(recipe_decode(wrong.data(), wrong.size(), &out, &size, &why), KES_EIO);
    EXPECT_STREQ(why, "its recipe's chunks do not add up to its length");
    auto huge = r;
    huge[33] = 1;  // 65636 bytes: longer than a chunk can be
    recipe_trailer_encode(huge.data() + 72, 65636 + 256, 2, dm_sum64(huge.data(), 72));
    EXPECT_EQ(recipe_decode(huge.data(), huge.size(), &out, &size, &why), KES_EIO);
    EXPECT_TRUE(out.empty());
}

}  // namespace

TEST_F(ChunkStore, RunsOfChunksReadBackWholeAndTheStreamsPageSumsComeFromThem)
{
    open();
    // Chunks kept as they are and compressed, one between them that no
    // recipe reads, named in an order that jumps back and repeats, across
    // more than one group of lookups.
    std::string text;
    while (text.size() < 30000)
        text += "ROW|CUSTOMER 0001|STATUS OPEN|";
    const std::vector<unsigned char> a = chunk_of(1), b(text.begin(), text.begin() + 30000), gap = chunk_of(2),
                                     c = chunk_of(3, 20000), d = chunk_of(4, 2049);
    std::vector<unsigned char> packed(bfst_chunk_bound());
    for (const auto *k : {&a, &b, &gap, &c, &d}) {
        uint32_t flags = 0;
        size_t n = bfst_chunk_pack(k->data(), k->size(), packed.data(), &flags);
        ASSERT_EQ(chunk_put(cs_, entry_of(*k).fp, uint32_t(k->size()), flags, flags != 0 ? packed.data() : k->data(),
                            n, 1),
                  0);
        if (k == &b) {
            ASSERT_EQ(flags, BFST_CHUNK_LZ4);
        }
    }
    std::vector<recipe_entry> es;
    std::vector<unsigned char> want;
    for (int round = 0; round < 60; ++round)
        for (const auto *k : {&a, &b, &c, &a, &d, &c}) {
            es.push_back(entry_of(*k));
            want.insert(want.end(), k->begin(), k->end());
        }
    chunk_reader *r = chunk_reader_new();
    ASSERT_NE(r, nullptr);
    std::vector<unsigned char> out(want.size());
    const char *why = nullptr;
    ASSERT_EQ(chunk_read_many(cs_, r, es.data(), es.size(), out.data(), &why), 0) << why;
    EXPECT_TRUE(out == want);

    sums_file *s = nullptr;
    ASSERT_EQ(chunk_recipe_sums(cs_, es, want.size(), &s, &why), 0) << why;
    const uint64_t pages = (want.size() + DM_SUM_PAGE - 1) / DM_SUM_PAGE;
    std::vector<uint64_t> got(pages);
    ASSERT_EQ(sums_get(s, 0, got.data(), uint32_t(pages)), pages);
    for (uint64_t p = 0; p < pages; ++p)
        EXPECT_EQ(got[p], dm_sum64(want.data() + p * DM_SUM_PAGE,
                                   size_t(std::min<uint64_t>(DM_SUM_PAGE, want.size() - p * DM_SUM_PAGE))))
            << "page " << p;
    sums_free(s);
    EXPECT_EQ(chunk_recipe_sums(cs_, es, want.size() + 1, &s, &why), KES_EIO) << "a stream of another size";

    // A chunk nobody has, and a damaged byte in c (the fourth record), fail
    // the read, never give other bytes.
    es[7] = entry_of(chunk_of(99));
    EXPECT_EQ(chunk_read_many(cs_, r, es.data(), es.size(), out.data(), &why), KES_EIO);
    EXPECT_STREQ(why, "a chunk of it is missing");
    es[7] = entry_of(a);
    std::vector<std::string> names;
    store_dir_names(chunk_dir(), &names);
    ASSERT_EQ(names.size(), 1u);
    uint32_t flags = 0;
    const uint64_t c_at =
        3 * CHUNK_REC_HEAD + a.size() + bfst_chunk_pack(b.data(), b.size(), packed.data(), &flags) + gap.size();
    int fd = ::open((chunk_dir() + "/" + names[0]).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned char byte = 0;
    ASSERT_EQ(pread(fd, &byte, 1, off_t(c_at + CHUNK_REC_HEAD + 100)), 1);
    byte ^= 0x20;
    ASSERT_EQ(pwrite(fd, &byte, 1, off_t(c_at + CHUNK_REC_HEAD + 100)), 1);
    ::close(fd);
    EXPECT_EQ(chunk_read_many(cs_, r, es.data(), es.size(), out.data(), &why), KES_EIO);
    EXPECT_STREQ(why, "a chunk of it is damaged");
    EXPECT_EQ(chunk_recipe_sums(cs_, es, want.size(), &s, &why), KES_EIO);
    chunk_reader_free(r);
}
