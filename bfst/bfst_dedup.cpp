// Chunking, fingerprints and chunk compression (see bfst_dedup.h).
#include "bfst/bfst_dedup.h"

#include <array>
#include <lz4.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

namespace {

// 256 fixed random words (splitmix64 from a fixed seed): the chunk
// boundaries of every stored stream depend on them, so they never change.
constexpr std::array<uint64_t, 256> make_gear()
{
    std::array<uint64_t, 256> t{};
    uint64_t x = 0x4B4553545241ULL;
    for (auto &v : t) {
        x += 0x9E3779B97F4A7C15ULL;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        v = z ^ (z >> 31);
    }
    return t;
}

constexpr std::array<uint64_t, 256> GEAR = make_gear();

// The top bits of the hash depend on the whole 64-byte window; 15 bits
// before the normal size, 11 after it.
constexpr uint64_t MASK_S = ((1ULL << 15) - 1) << (64 - 15);
constexpr uint64_t MASK_L = ((1ULL << 11) - 1) << (64 - 11);

static_assert(BFST_CHUNK_MIN < BFST_CHUNK_NORMAL && BFST_CHUNK_NORMAL < BFST_CHUNK_MAX);
static_assert(BFST_CHUNK_MAX <= LZ4_MAX_INPUT_SIZE);

}  // namespace

size_t bfst_chunk_cut(const unsigned char *p, size_t n)
{
    if (n <= BFST_CHUNK_MIN)
        return n;
    if (n > BFST_CHUNK_MAX)
        n = BFST_CHUNK_MAX;
    const size_t normal = n < BFST_CHUNK_NORMAL ? n : BFST_CHUNK_NORMAL;
    uint64_t h = 0;
    size_t i = BFST_CHUNK_MIN;
    for (; i < normal; ++i) {
        h = (h << 1) + GEAR[p[i]];
        if ((h & MASK_S) == 0)
            return i + 1;
    }
    for (; i < n; ++i) {
        h = (h << 1) + GEAR[p[i]];
        if ((h & MASK_L) == 0)
            return i + 1;
    }
    return n;
}

void bfst_fingerprint(const void *p, size_t n, bfst_fp *out)
{
    SHA256(static_cast<const unsigned char *>(p), n, out->b);
}

size_t bfst_chunk_bound() { return size_t(LZ4_COMPRESSBOUND(BFST_CHUNK_MAX)); }

size_t bfst_chunk_pack(const unsigned char *p, size_t n, unsigned char *out, uint32_t *flags)
{
    *flags = 0;
    int c = LZ4_compress_default(reinterpret_cast<const char *>(p), reinterpret_cast<char *>(out), int(n),
                                 int(bfst_chunk_bound()));
    // Less than 1/16 saved is not worth the work of expanding it on every read.
    if (c <= 0 || size_t(c) >= n - n / 16)
        return n;
    *flags = BFST_CHUNK_LZ4;
    return size_t(c);
}

int bfst_chunk_unpack(const unsigned char *p, size_t n, uint32_t flags, unsigned char *out, size_t raw_len)
{
    if (raw_len == 0 || raw_len > BFST_CHUNK_MAX)
        return -1;
    if (flags == 0) {
        if (n != raw_len)
            return -1;
        memcpy(out, p, n);
        return 0;
    }
    if (flags != BFST_CHUNK_LZ4 || n == 0 || n > bfst_chunk_bound())
        return -1;
    int d = LZ4_decompress_safe(reinterpret_cast<const char *>(p), reinterpret_cast<char *>(out), int(n),
                                int(raw_len));
    return d == int(raw_len) ? 0 : -1;
}
