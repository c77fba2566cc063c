// Deduplication pieces: where the chunker cuts (known answers, bounds, the
// same cuts however the stream arrives, stability under an insertion), the
// fingerprint, chunk compression, and the checked codecs of chunk queries,
// their answers and chunk frames.
#include "bfst/bfst_dedup.h"
#include "bfst/bfst_proto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> noise(size_t n, uint64_t x = 0x9E3779B97F4A7C15ULL)
{
    std::vector<unsigned char> d(n);
    for (auto &b : d) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<unsigned char>(x >> 24);
    }
    return d;
}

// Chunk lengths of a whole stream.
std::vector<size_t> cuts(const unsigned char *p, size_t n)
{
    std::vector<size_t> out;
    for (size_t pos = 0; pos < n;) {
        size_t k = bfst_chunk_cut(p + pos, n - pos);
        out.push_back(k);
        pos += k;
    }
    return out;
}

std::string fp_text(const bfst_fp &f)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : f.b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

TEST(BfstChunker, KnownCutsWithinTheBoundsAndZeroRunsAtTheMaximum)
{
    // The cuts of a fixed stream never change: stored recipes depend on them.
    std::vector<unsigned char> d = noise(1 << 20);
    std::vector<size_t> c = cuts(d.data(), d.size());
    const std::vector<size_t> first = {5740, 11879, 9727, 8681, 13800, 13226, 8447, 10531};
    ASSERT_GT(c.size(), first.size());
    EXPECT_EQ(std::vector<size_t>(c.begin(), c.begin() + 8), first);
    for (size_t i = 0; i + 1 < c.size(); i++) {
        EXPECT_GE(c[i], BFST_CHUNK_MIN);
        EXPECT_LE(c[i], BFST_CHUNK_MAX);
    }
    const size_t avg = d.size() / c.size();
    EXPECT_GE(avg, 8u << 10);
    EXPECT_LE(avg, 16u << 10);
    // A run of zeros: chunks of the maximum, one fingerprint for them all.
    std::vector<unsigned char> z(5 * BFST_CHUNK_MAX + 100, 0);
    EXPECT_EQ(cuts(z.data(), z.size()), (std::vector<size_t>{65536, 65536, 65536, 65536, 65536, 100}));
    // Short rests are one chunk; nothing is cut below the minimum.
    EXPECT_EQ(bfst_chunk_cut(d.data(), 1), 1u);
    EXPECT_EQ(bfst_chunk_cut(d.data(), BFST_CHUNK_MIN), BFST_CHUNK_MIN);
}

TEST(BfstChunker, FingerprintIsSha256)
{
    bfst_fp f;
    bfst_fingerprint("abc", 3, &f);
    EXPECT_EQ(fp_text(f), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(BfstChunker, CutsDoNotDependOnWhereTheStreamStartsOrOnItsBlocks)
{
    // The same content after a different prefix: after the first chunk or
    // two the cuts fall on the same bytes.
    std::vector<unsigned char> d = noise(2 << 20, 7);
    std::vector<unsigned char> shifted = noise(777, 3);
    shifted.insert(shifted.end(), d.begin(), d.end());
    std::set<size_t> ends_a, ends_b;
    size_t pos = 0;
    for (size_t k : cuts(d.data(), d.size()))
        ends_a.insert(pos += k);
    pos = 0;
    for (size_t k : cuts(shifted.data(), shifted.size()))
        if ((pos += k) > 777)
            ends_b.insert(pos - 777);
    size_t common = 0;
    for (size_t e : ends_a)
        common += ends_b.count(e);
    EXPECT_GE(common + 3, ends_a.size());
    // A stream fed in blocks, cutting only where a cut is certain, gives the
    // cuts of the whole.
    std::vector<size_t> whole = cuts(d.data(), d.size()), fed;
    size_t start = 0, have = 0;
    for (size_t block = 8192; have < d.size(); have = std::min(d.size(), have + block)) {
        while (have - start >= BFST_CHUNK_MAX) {
            size_t k = bfst_chunk_cut(d.data() + start, have - start);
            fed.push_back(k);
            start += k;
        }
    }
    while (start < d.size()) {
        size_t k = bfst_chunk_cut(d.data() + start, d.size() - start);
        fed.push_back(k);
        start += k;
    }
    EXPECT_EQ(fed, whole);
}

TEST(BfstChunker, AnInsertionNearTheStartLeavesAlmostEveryChunkAlone)
{
    // 100 bytes inserted at offset 1000 of a 64 MiB stream.
    std::vector<unsigned char> d = noise(64 << 20, 11);
    std::vector<unsigned char> e(d.begin(), d.begin() + 1000);
    std::vector<unsigned char> ins = noise(100, 5);
    e.insert(e.end(), ins.begin(), ins.end());
    e.insert(e.end(), d.begin() + 1000, d.end());
    auto fps = [](const std::vector<unsigned char> &s) {
        std::vector<bfst_fp> out;
        size_t pos = 0;
        for (size_t k : cuts(s.data(), s.size())) {
            bfst_fp f;
            bfst_fingerprint(s.data() + pos, k, &f);
            out.push_back(f);
            pos += k;
        }
        return out;
    };
    std::vector<bfst_fp> a = fps(d), b = fps(e);
    std::set<std::string> after;
    for (const bfst_fp &f : b)
        after.insert(fp_text(f));
    size_t same = 0;
    for (const bfst_fp &f : a)
        same += after.count(fp_text(f));
    EXPECT_GE(same * 100, a.size() * 98) << same << " of " << a.size();
    EXPECT_GT(a.size(), 4000u);
}

TEST(BfstChunker, PackedChunksExpandExactlyAndIncompressibleOnesStayAsTheyAre)
{
    std::vector<unsigned char> out(bfst_chunk_bound()), back(BFST_CHUNK_MAX);
    std::vector<unsigned char> text(40000);
    for (size_t i = 0; i < text.size(); i++)
        text[i] = static_cast<unsigned char>("redo log block "[i % 15]);
    uint32_t flags = 0;
    size_t n = bfst_chunk_pack(text.data(), text.size(), out.data(), &flags);
    EXPECT_EQ(flags, BFST_CHUNK_LZ4);
    EXPECT_LT(n, text.size() / 4);
    ASSERT_EQ(bfst_chunk_unpack(out.data(), n, flags, back.data(), text.size()), 0);
    EXPECT_EQ(memcmp(back.data(), text.data(), text.size()), 0);
    // wrong length, cut short, unknown form: refused, never a short chunk
    EXPECT_EQ(bfst_chunk_unpack(out.data(), n, flags, back.data(), text.size() - 1), -1);
    EXPECT_EQ(bfst_chunk_unpack(out.data(), n - 1, flags, back.data(), text.size()), -1);
    EXPECT_EQ(bfst_chunk_unpack(out.data(), n, 2, back.data(), text.size()), -1);
    std::vector<unsigned char> rnd = noise(30000);
    n = bfst_chunk_pack(rnd.data(), rnd.size(), out.data(), &flags);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(n, rnd.size());
    EXPECT_EQ(bfst_chunk_unpack(rnd.data(), n, 0, back.data(), n - 1), -1);
}

TEST(BfstProtoDedup, QueriesAnswersAndChunkHeadersAreCheckedWhole)
{
    std::vector<bfst_query_entry> e(BFST_QUERY_MAX);
    for (uint32_t i = 0; i < 3; i++) {
        memset(e[i].fp, int(i + 1), 32);
        e[i].len = 1000 * (i + 1);
    }
    std::vector<unsigned char> buf(BFST_MAX_QUERY);
    size_t n = bfst_query_encode(buf.data(), e.data(), 3);
    EXPECT_EQ(n, 4 + 3 * 36u);
    std::vector<bfst_query_entry> d(BFST_QUERY_MAX);
    uint32_t count = 0;
    ASSERT_EQ(bfst_query_decode(buf.data(), n, d.data(), &count), 0);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(d[2].len, 3000u);
    EXPECT_EQ(d[1].fp[31], 2);
    EXPECT_EQ(bfst_query_decode(buf.data(), n - 1, d.data(), &count), -1);  // length
    buf[4 + 36 + 32 + 1] = 0x7F;                                              // a chunk of 8 MiB
    EXPECT_EQ(bfst_query_decode(buf.data(), n, d.data(), &count), -1);
    unsigned char zero[4] = {};
    EXPECT_EQ(bfst_query_decode(zero, 4, d.data(), &count), -1);  // no chunks

    unsigned char bm[BFST_QUERY_MAX / 8] = {0x05}, ans[BFST_QUERY_OK_MAX], got[BFST_QUERY_MAX / 8];
    n = bfst_query_ok_encode(ans, bm, 3);
    ASSERT_EQ(bfst_query_ok_decode(ans, n, 3, got), 0);
    EXPECT_EQ(got[0], 0x05);
    EXPECT_EQ(bfst_query_ok_decode(ans, n, 4, got), -1);  // another count than asked
    ans[4] = 0x0D;                                         // a bit past the count
    EXPECT_EQ(bfst_query_ok_decode(ans, n, 3, got), -1);

    bfst_chunk_hdr h{};
    h.len = 5000;
    h.flags = BFST_CHUNK_LZ4;
    unsigned char hb[BFST_CHUNK_HDR];
    bfst_chunk_hdr_encode(hb, h);
    bfst_chunk_hdr back;
    EXPECT_EQ(bfst_chunk_hdr_decode(hb, BFST_CHUNK_HDR + 100, &back), 0);
    EXPECT_EQ(bfst_chunk_hdr_decode(hb, BFST_CHUNK_HDR + 5000, &back), -1);  // compressed, yet no smaller
    h.flags = 0;
    bfst_chunk_hdr_encode(hb, h);
    EXPECT_EQ(bfst_chunk_hdr_decode(hb, BFST_CHUNK_HDR + 5000, &back), 0);
    EXPECT_EQ(bfst_chunk_hdr_decode(hb, BFST_CHUNK_HDR + 4999, &back), -1);  // as is, of another length
    // chunk frames only ever travel towards the service
    unsigned char fh[BFST_HDR_SIZE];
    bfst_hdr_encode(fh, BFST_CHUNK, 1, 100);
    bfst_hdr fd;
    EXPECT_EQ(bfst_hdr_decode(fh, 0, &fd, nullptr), -1);
    EXPECT_EQ(bfst_hdr_decode(fh, 1u << 20, &fd, nullptr), 0);
}

}  // namespace
