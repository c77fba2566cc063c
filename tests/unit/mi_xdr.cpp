// XDR memory stream: known byte layouts, bounds on every primitive, string
// allocation and the free mode. (The byte format of every record is checked
// against libtirpc in the record tests.)
#include "lib/common/mi_xdr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes mine_encode(const std::function<bool(mi_xdr *)> &f)
{
    Bytes buf(4096);
    mi_xdr x;
    mi_xdr_create(&x, buf.data(), buf.size(), MI_XDR_ENCODE);
    EXPECT_TRUE(f(&x));
    buf.resize(mi_xdr_getpos(&x));
    return buf;
}

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
