// MD5 message digest (RFC 1321): used for DM page digests, the names of local
// file objects and the MI client authentication proof.
#pragma once

#include <cstddef>
#include <cstdint>

struct md5_ctx {
    uint32_t state[4];
    uint64_t count;  // bytes hashed so far
    unsigned char buffer[64];
};

void md5_init(md5_ctx *ctx);
void md5_update(md5_ctx *ctx, const void *data, size_t len);
void md5_final(md5_ctx *ctx, unsigned char digest[16]);

// One-shot digest of len bytes of buf.
void md5_digest(const void *buf, size_t len, unsigned char digest[16]);

// 32 lower-case hexadecimal digits and a NUL into out (33 bytes); 0, or -1 when
// an argument is missing.
int md5_hex(const unsigned char digest[16], char *out);
