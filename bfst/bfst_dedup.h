// Deduplication pieces shared by the transfer library and the appliance:
// content-defined chunking of a byte stream, the fingerprint of a chunk, and
// the compression of a chunk on the wire and in the appliance's containers.
//
// Chunking is gear hashing in the manner of FastCDC: a 64-bit rolling hash
// over a window of the last 64 bytes, tested from BFST_CHUNK_MIN bytes into
// the chunk on with a stricter mask until BFST_CHUNK_NORMAL and a looser one
// after it, and a cut forced at BFST_CHUNK_MAX. A cut depends only on the
// bytes of its own chunk, so the same content gives the same chunks wherever
// it sits in the stream and however the stream arrives in pieces: a block
// size or a blob start moves no boundary beyond the chunk it touches.
// Chunks average about 10 KiB on random data; zero-filled runs give chunks
// of BFST_CHUNK_MAX bytes, all with one fingerprint.
//
// A fingerprint is the SHA-256 of the chunk's bytes (OpenSSL, which uses the
// CPU's SHA instructions where it has them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

constexpr size_t BFST_CHUNK_MIN = 2048;
constexpr size_t BFST_CHUNK_NORMAL = 8192;
constexpr size_t BFST_CHUNK_MAX = 65536;
constexpr size_t BFST_FP_LEN = 32;

// Stored form of a chunk: as it is, or LZ4-compressed.
constexpr uint32_t BFST_CHUNK_LZ4 = 0x1;

struct bfst_fp {
    unsigned char b[BFST_FP_LEN] = {};
    bool operator==(const bfst_fp &o) const { return memcmp(b, o.b, BFST_FP_LEN) == 0; }
    bool operator!=(const bfst_fp &o) const { return !(*this == o); }
};

struct bfst_fp_hash {
    size_t operator()(const bfst_fp &f) const
    {
        size_t h;
        memcpy(&h, f.b, sizeof h);  // already uniformly spread
        return h;
    }
};

// Length of the chunk that starts at p, given n bytes from p on. The answer
// is final when n >= BFST_CHUNK_MAX or p + n is the end of the stream;
// otherwise a cut may lie beyond n and the caller must wait for more bytes.
size_t bfst_chunk_cut(const unsigned char *p, size_t n);

// SHA-256 of n bytes.
void bfst_fingerprint(const void *p, size_t n, bfst_fp *out);

// Largest stored form of a chunk of BFST_CHUNK_MAX bytes.
size_t bfst_chunk_bound();
// Compresses n bytes (at most BFST_CHUNK_MAX) into out (bfst_chunk_bound()
// bytes). Returns the compressed length with *flags BFST_CHUNK_LZ4, or n with
// *flags 0 when compressing does not pay (the caller then sends p itself).
size_t bfst_chunk_pack(const unsigned char *p, size_t n, unsigned char *out, uint32_t *flags);
// Restores a stored chunk of raw_len bytes into out (raw_len bytes). 0, or -1
// when the stored bytes do not expand to exactly raw_len bytes.
int bfst_chunk_unpack(const unsigned char *p, size_t n, uint32_t flags, unsigned char *out, size_t raw_len);
