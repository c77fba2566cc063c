#include "datamover/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace {
std::string hex_of(const std::string &s)
{
    unsigned char d[16];
    char out[33];
    md5_digest(s.data(), s.size(), d);
    EXPECT_EQ(md5_hex(d, out), 0);
    return out;
}
}  // namespace

TEST(Md5, Rfc1321TestSuite)
{
    EXPECT_EQ(hex_of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hex_of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(hex_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(hex_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(hex_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(hex_of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, AgreesWithOpenSslOnRandomBuffersAndSplits)
{
    std::mt19937 rng(7);
    for (size_t len : {1u, 55u, 56u, 63u, 64u, 65u, 127u, 128u, 1000u, 262144u}) {
        std::vector<unsigned char> buf(len);
        for (auto &b : buf)
            b = static_cast<unsigned char>(rng());
        unsigned char ours[16], theirs[16];
        unsigned int n = 0;
        EVP_Digest(buf.data(), buf.size(), theirs, &n, EVP_md5(), nullptr);
        md5_digest(buf.data(), buf.size(), ours);
        EXPECT_EQ(0, memcmp(ours, theirs, 16)) << len;
        // The same bytes fed in uneven pieces give the same digest.
        md5_ctx ctx;
        md5_init(&ctx);
        size_t off = 0, step = 1;
        while (off < len) {
            size_t n2 = std::min(step, len - off);
            md5_update(&ctx, buf.data() + off, n2);
            off += n2;
            step = step * 3 + 1;
        }
        md5_final(&ctx, ours);
        EXPECT_EQ(0, memcmp(ours, theirs, 16)) << len;
    }
}

TEST(Md5, HexRefusesMissingArguments)
{
    unsigned char d[16] = {};
    char out[33];
    EXPECT_EQ(md5_hex(nullptr, out), -1);
    EXPECT_EQ(md5_hex(d, nullptr), -1);
}
