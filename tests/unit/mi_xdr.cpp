// XDR memory stream: byte format against libtirpc, bounds on every primitive,
// string allocation and the free mode.
#include "lib/common/mi_xdr.h"

#include <gtest/gtest.h>
#include <rpc/xdr.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes tirpc_encode(const std::function<void(XDR *)> &f)
{
    Bytes buf(4096);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(buf.data()), static_cast<u_int>(buf.size()), XDR_ENCODE);
    f(&x);
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    return buf;
}

Bytes mine_encode(const std::function<bool(mi_xdr *)> &f)
{
    Bytes buf(4096);
    mi_xdr x;
    mi_xdr_create(&x, buf.data(), buf.size(), MI_XDR_ENCODE);
    EXPECT_TRUE(f(&x));
    buf.resize(mi_xdr_getpos(&x));
    return buf;
}

struct StrGuard {
    char *s = nullptr;
    ~StrGuard() { free(s); }
};

}  // namespace

TEST(MiXdrFormat, KnownAnswers)
{
    uint64_t h = 0x0000000100000002ull;
    EXPECT_EQ(mine_encode([&](mi_xdr *x) { return mi_xdr_u_hyper(x, &h); }),
              (Bytes{0, 0, 0, 1, 0, 0, 0, 2}));

    char five[] = "abcde";
    char *p = five;
    EXPECT_EQ(mine_encode([&](mi_xdr *x) { return mi_xdr_string(x, &p); }),
              (Bytes{0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0}));

    char empty[] = "";
    p = empty;
    EXPECT_EQ(mine_encode([&](mi_xdr *x) { return mi_xdr_string(x, &p); }), (Bytes{0, 0, 0, 0}));

    int32_t neg = -2;
    EXPECT_EQ(mine_encode([&](mi_xdr *x) { return mi_xdr_int(x, &neg); }), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST(MiXdrFormat, PrimitivesMatchLibtirpcOverRandomValues)
{
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        int32_t i = static_cast<int32_t>(rng());
        int64_t hy = static_cast<int64_t>(rng());
        uint64_t uh = rng();
        std::string text(rng() % 23, '\0');
        for (char &c : text)
            c = static_cast<char>(1 + rng() % 255);
        unsigned char op[64];
        for (unsigned char &b : op)
            b = static_cast<unsigned char>(rng());
        size_t oplen = rng() % 65;

        Bytes want = tirpc_encode([&](XDR *x) {
            char *s = text.data();
            ASSERT_TRUE(xdr_int(x, &i));
            ASSERT_TRUE(xdr_hyper(x, &hy));
            ASSERT_TRUE(xdr_u_hyper(x, &uh));
            ASSERT_TRUE(xdr_string(x, &s, ~0u));
            ASSERT_TRUE(xdr_opaque(x, reinterpret_cast<char *>(op), static_cast<u_int>(oplen)));
        });
        Bytes got = mine_encode([&](mi_xdr *x) {
            char *s = text.data();
            return mi_xdr_int(x, &i) && mi_xdr_hyper(x, &hy) && mi_xdr_u_hyper(x, &uh) && mi_xdr_string(x, &s) &&
                   mi_xdr_opaque(x, op, oplen);
        });
        ASSERT_EQ(got, want) << "round " << round;

        // Decoding the oracle's bytes gives the values back.
        mi_xdr x;
        mi_xdr_create(&x, want.data(), want.size(), MI_XDR_DECODE);
        int32_t i2 = 0;
        int64_t hy2 = 0;
        uint64_t uh2 = 0;
        StrGuard s2;
        unsigned char op2[64] = {};
        ASSERT_TRUE(mi_xdr_int(&x, &i2) && mi_xdr_hyper(&x, &hy2) && mi_xdr_u_hyper(&x, &uh2) &&
                    mi_xdr_string(&x, &s2.s) && mi_xdr_opaque(&x, op2, oplen));
        EXPECT_EQ(i2, i);
        EXPECT_EQ(hy2, hy);
        EXPECT_EQ(uh2, uh);
        EXPECT_EQ(std::string(s2.s), text);
        EXPECT_EQ(memcmp(op2, op, oplen), 0);
        EXPECT_EQ(mi_xdr_getpos(&x), want.size());
    }
}

TEST(MiXdrStrings, DecodeAllocatesTerminatedTextAndFreeNullsIt)
{
    Bytes empty{0, 0, 0, 0};
    mi_xdr x;
    mi_xdr_create(&x, empty.data(), empty.size(), MI_XDR_DECODE);
    char *s = nullptr;
    ASSERT_TRUE(mi_xdr_string(&x, &s));
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");

    mi_xdr f;
    mi_xdr_create(&f, nullptr, 0, MI_XDR_FREE);
    EXPECT_TRUE(mi_xdr_string(&f, &s));
    EXPECT_EQ(s, nullptr);
    EXPECT_TRUE(mi_xdr_string(&f, &s));  // a null string is skipped

    Bytes five{0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 'X', 'Y', 'Z'};
    mi_xdr_create(&x, five.data(), five.size(), MI_XDR_DECODE);
    ASSERT_TRUE(mi_xdr_string(&x, &s));
    EXPECT_STREQ(s, "hello");  // the pad bytes never reach the text
    EXPECT_EQ(mi_xdr_getpos(&x), 12u);
    mi_xdr_string(&f, &s);
}

TEST(MiXdrStrings, NullStringFailsToEncode)
{
    unsigned char buf[16];
    mi_xdr x;
    mi_xdr_create(&x, buf, sizeof buf, MI_XDR_ENCODE);
    char *s = nullptr;
    EXPECT_FALSE(mi_xdr_string(&x, &s));
    EXPECT_EQ(mi_xdr_getpos(&x), 0u);
}

TEST(MiXdrBounds, HostileStringLengthsFail)
{
    struct Case {
        Bytes bytes;
        const char *why;
    } cases[] = {
        {{0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c', 'd'}, "length 0xFFFFFFFF"},
        {{0xFF, 0xFF, 0xFF, 0xFC, 'a', 'b', 'c', 'd'}, "length just below 0xFFFFFFFF"},
        {{0, 0, 0, 9, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, "length past the buffer"},
        {{0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e'}, "padding missing"},
        {{0, 0, 0}, "length itself truncated"},
    };
    for (auto &c : cases) {
        mi_xdr x;
        mi_xdr_create(&x, c.bytes.data(), c.bytes.size(), MI_XDR_DECODE);
        char *s = nullptr;
        EXPECT_FALSE(mi_xdr_string(&x, &s)) << c.why;
        EXPECT_EQ(s, nullptr) << c.why;
    }
}

TEST(MiXdrBounds, EveryPrimitiveChecksRoomInBothDirections)
{
    unsigned char buf[64] = {};
    char text[] = "abcde";  // needs 12 bytes
    for (mi_xdr_op op : {MI_XDR_ENCODE, MI_XDR_DECODE}) {
        for (size_t room = 0; room < 16; ++room) {
            mi_xdr x;
            int32_t i = 1;
            int64_t h = 2;
            unsigned char o[16] = {};
            char *s = op == MI_XDR_ENCODE ? text : nullptr;
            mi_xdr_create(&x, buf, room, op);
            EXPECT_EQ(mi_xdr_int(&x, &i), room >= 4);
            mi_xdr_create(&x, buf, room, op);
            EXPECT_EQ(mi_xdr_hyper(&x, &h), room >= 8);
            mi_xdr_create(&x, buf, room, op);
            EXPECT_EQ(mi_xdr_opaque(&x, o, 5), room >= 8);  // 5 bytes pad to 8
            buf[3] = 5;  // on decode, a string of length 5
            mi_xdr_create(&x, buf, room, op);
            bool ok = mi_xdr_string(&x, &s);
            EXPECT_EQ(ok, room >= 12) << "room " << room;
            if (op == MI_XDR_DECODE)
                free(s);
            buf[3] = 0;
        }
    }
}

TEST(MiXdrUnion, DiscriminantWithoutArmFailsInEveryMode)
{
    static const mi_xdr_arm arms[] = {
        {1, [](mi_xdr *x, void *p) { return mi_xdr_opaque(x, static_cast<unsigned char *>(p), 8); }},
        {0, nullptr},
    };
    unsigned char arm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char buf[16] = {};
    mi_xdr x;

    int32_t d = 2;
    mi_xdr_create(&x, buf, sizeof buf, MI_XDR_ENCODE);
    EXPECT_FALSE(mi_xdr_union(&x, &d, arm, arms, 2));
    mi_xdr_create(&x, nullptr, 0, MI_XDR_FREE);
    EXPECT_FALSE(mi_xdr_union(&x, &d, arm, arms, 2));

    Bytes two{0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    mi_xdr_create(&x, two.data(), two.size(), MI_XDR_DECODE);
    d = 0;
    EXPECT_FALSE(mi_xdr_union(&x, &d, arm, arms, 2));

    // The empty arm carries nothing; the other carries its bytes.
    d = 0;
    mi_xdr_create(&x, buf, sizeof buf, MI_XDR_ENCODE);
    ASSERT_TRUE(mi_xdr_union(&x, &d, arm, arms, 2));
    EXPECT_EQ(mi_xdr_getpos(&x), 4u);
    d = 1;
    mi_xdr_create(&x, buf, sizeof buf, MI_XDR_ENCODE);
    ASSERT_TRUE(mi_xdr_union(&x, &d, arm, arms, 2));
    EXPECT_EQ(mi_xdr_getpos(&x), 12u);
    EXPECT_EQ(Bytes(buf, buf + 12), (Bytes{0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8}));
}
