#include "datamover/dm_msg.h"
#include "datamover/util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> bytes(std::initializer_list<int> l)
{
    std::vector<unsigned char> v;
    for (int b : l)
        v.push_back(static_cast<unsigned char>(b));
    return v;
}

// A heap copy of exactly len bytes, so that any read past it trips the
// address sanitizer.
std::unique_ptr<unsigned char[]> exact(const unsigned char *src, size_t len)
{
    std::unique_ptr<unsigned char[]> p(new unsigned char[len == 0 ? 1 : len]);
    if (len > 0)
        memcpy(p.get(), src, len);
    return p;
}

}  // namespace

// ---------------------------------------------------------------- header

TEST(DmHeader, DataLengthSplitsIntoUpperByteAndLowerHalf)
{
    dm_hdr h;
    dm_hdr_init(&h, DM_CMD_WRITE, 0, 0);
    ASSERT_EQ(dm_hdr_set_len(&h, 65536), 0);
    EXPECT_EQ(h.sz_u, 1);
    EXPECT_EQ(h.sz_l, 0);
    ASSERT_EQ(dm_hdr_set_len(&h, 262144), 0);
    EXPECT_EQ(h.sz_u, 4);
    EXPECT_EQ(h.sz_l, 0);
    ASSERT_EQ(dm_hdr_set_len(&h, 100001), 0);
    EXPECT_EQ(dm_hdr_len(&h), 100001u);
    ASSERT_EQ(dm_hdr_set_len(&h, DM_MAX_DATA_LEN), 0);
    EXPECT_EQ(dm_hdr_len(&h), DM_MAX_DATA_LEN);
    // Above 24 bits the length is refused and the header keeps its value.
    EXPECT_EQ(dm_hdr_set_len(&h, DM_MAX_DATA_LEN + 1), DM_ERR_INVALID_LEN);
    EXPECT_EQ(dm_hdr_len(&h), DM_MAX_DATA_LEN);
}

TEST(DmHeader, WireBytesAreBigEndian)
{
    unsigned char buf[DM_HDR_SIZE];
    // fh 0x0102 in the low half, slot 0x0003 in the high half; offset 1.
    ASSERT_EQ(dm_rw_hdr_encode(DM_CMD_WRITE, 0x00030102, 1, 262144, buf, sizeof buf), 16);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 16),
              bytes({4, 4, 0, 0, 0x01, 0x02, 0x00, 0x03, 0, 0, 0, 0, 0, 0, 0, 1}));

    ASSERT_EQ(dm_rw_hdr_encode(DM_CMD_READ, 0x001F0007, 0x0102030405060708ull, 0x123456, buf, sizeof buf), 16);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 16),
              bytes({3, 0x12, 0x34, 0x56, 0, 7, 0, 0x1F, 1, 2, 3, 4, 5, 6, 7, 8}));

    dm_hdr h;
    ASSERT_EQ(dm_hdr_decode(&h, buf, sizeof buf), 16);
    EXPECT_EQ(h.cmd, DM_CMD_READ);
    EXPECT_EQ(dm_hdr_len(&h), 0x123456u);
    EXPECT_EQ(dm_hdr_handle(&h), 0x001F0007u);
    EXPECT_EQ(h.off, 0x0102030405060708ull);

    // A data length above 24 bits never reaches the buffer.
    memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(dm_rw_hdr_encode(DM_CMD_WRITE, 0, 0, 0x1000000, buf, sizeof buf), DM_ERR_INVALID_LEN);
    EXPECT_EQ(buf[0], 0xAA);
}

TEST(DmHeader, CloseFormCarriesOnlyCommandAndHandle)
{
    unsigned char buf[DM_HDR_SIZE];
    ASSERT_EQ(dm_close_req_encode(DM_CMD_FLUSH, 0x00020009, buf, sizeof buf), 16);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 16), bytes({8, 0, 0, 0, 0, 9, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(DmHeader, StatusIsZeroExtendedAndCommandsAreRangeChecked)
{
    auto raw = bytes({4, 0, 0xFF, 0xFE, 0, 1, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0});
    dm_hdr h;
    ASSERT_EQ(dm_hdr_decode(&h, raw.data(), raw.size()), 16);
    EXPECT_EQ(dm_hdr_status(&h), 0xFFFE);  // a peer's -2 arrives as 65534, never negative
    EXPECT_EQ(h.slot, 5);
    EXPECT_TRUE(dm_cmd_valid(0));
    EXPECT_TRUE(dm_cmd_valid(11));
    EXPECT_FALSE(dm_cmd_valid(12));
    EXPECT_FALSE(dm_cmd_valid(255));
}

// ---------------------------------------------------------------- configuration

TEST(DmConfig, RequestLayoutAndRoundTrip)
{
    dm_config_msg c;
    dm_config_init(&c);
    unsigned char buf[DM_CONFIG_MSG_SIZE];
    ASSERT_EQ(dm_config_encode(&c, buf, sizeof buf), 32);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 32),
              bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                     0, 4, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0}));

    // A reply with a reservation step of 0x0102 MiB and the two free bytes set.
    buf[28] = 7;
    buf[29] = 9;
    buf[30] = 1;
    buf[31] = 2;
    buf[19] = 0x10;  // pref_bsz 0x00040010
    dm_config_msg r;
    ASSERT_EQ(dm_config_decode(&r, buf, sizeof buf), 32);
    EXPECT_EQ(r.pref_bsz, 0x00040010u);
    EXPECT_EQ(r.pref_compress, 1u);
    EXPECT_EQ(r.pref_dedup, 1u);
    EXPECT_EQ(r.rsvd0, 7);
    EXPECT_EQ(r.rsvd1, 9);
    EXPECT_EQ(r.pref_reserve_mb, 0x0102);
}

// ---------------------------------------------------------------- open

TEST(DmOpen, RequestCarriesSlashedNameAndOneNul)
{
    dm_open_msg m{};
    dm_hdr_init(&m.hdr, DM_CMD_OPEN, 3u << 16, 0);
    m.stats.uid = dm_open_id(1000);
    m.stats.gid = dm_open_id(0xFFFF);  // sign-extended from 16 bits
    m.stats.sz = 0x1122334455667788ull;
    m.oflags = dm_open_oflags(KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    const char *name = "a\\b\\c";
    ASSERT_EQ(dm_open_req_len(name), 54u);
    std::vector<unsigned char> buf(54 + 4, 0xEE);
    ASSERT_EQ(dm_open_req_encode(&m, name, buf.data(), 54), 54);
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 16),
              bytes({1, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<unsigned char>(buf.begin() + 16, buf.begin() + 48),
              bytes({0, 0, 0x03, 0xE8, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0,  //
                     0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0, 0, 0, 2, 0, 0, 0, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data() + 48), 6), std::string("a/b/c\0", 6));
    EXPECT_EQ(buf[54], 0xEE);  // nothing past the payload

    // The receiving side sees the same record and name.
    dm_open_msg r;
    const char *rname = nullptr;
    ASSERT_EQ(dm_open_req_decode(&r, &rname, buf.data(), 54), 54);
    EXPECT_STREQ(rname, "a/b/c");
    EXPECT_EQ(r.hdr.slot, 3);
    EXPECT_EQ(r.stats.gid, 0xFFFFFFFFu);
    EXPECT_EQ(r.stats.sz, 0x1122334455667788ull);
    EXPECT_EQ(r.oflags, 2u);
}

TEST(DmOpen, NameLimitsAndBufferChecks)
{
    dm_open_msg m{};
    std::string ok(DM_OPEN_NAME_MAX - 1, 'n');
    std::string too_long(DM_OPEN_NAME_MAX, 'n');
    std::vector<unsigned char> buf(600, 0);
    EXPECT_EQ(dm_open_req_encode(&m, ok.c_str(), buf.data(), buf.size()), static_cast<int>(48 + ok.size() + 1));
    EXPECT_EQ(dm_open_req_encode(&m, too_long.c_str(), buf.data(), buf.size()), DM_ERR_INVALID_LEN);
    // One byte short of the payload: refused, buffer untouched.
    std::vector<unsigned char> small(48 + 5, 0x77);
    EXPECT_EQ(dm_open_req_encode(&m, "a\\b\\c", small.data(), small.size()), DM_ERR_INVALID_LEN);
    for (unsigned char b : small)
        ASSERT_EQ(b, 0x77);

    char dst[6];
    EXPECT_EQ(dm_remote_name("x\\y", dst, sizeof dst), 3);
    EXPECT_STREQ(dst, "x/y");
    EXPECT_EQ(dm_remote_name("abcdef", dst, sizeof dst), DM_ERR_INVALID_LEN);
    EXPECT_STREQ(dst, "");
}

TEST(DmOpen, FlagTranslation)
{
    EXPECT_EQ(dm_open_oflags(0), DM_OFLAG_RDONLY);  // restore
    EXPECT_EQ(dm_open_oflags(KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL), DM_OFLAG_CREAT);  // backup
    EXPECT_EQ(dm_open_oflags(KES_O_RDWR), DM_OFLAG_RDWR);
    EXPECT_EQ(dm_open_oflags(KES_O_RDWR | KES_O_CREAT | KES_O_TRUNC), 0x7u);
    EXPECT_EQ(dm_open_oflags(KES_O_WRONLY), 0u);
    EXPECT_EQ(dm_open_id(0x12345), 0x2345u);
    EXPECT_EQ(dm_open_id(0x8000), 0xFFFF8000u);
}

// ---------------------------------------------------------------- delete

TEST(DmDelete, NameAsGivenAfterBareHeader)
{
    const char *name = "generic:/s\\f";
    size_t n = dm_delete_req_len(name);
    ASSERT_EQ(n, 16 + strlen(name) + 1);
    std::vector<unsigned char> buf(n);
    ASSERT_EQ(dm_delete_req_encode(name, buf.data(), n), static_cast<int>(n));
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 16),
              bytes({7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_STREQ(reinterpret_cast<char *>(buf.data() + 16), name);  // backslash kept
    EXPECT_EQ(dm_delete_req_encode(name, buf.data(), n - 1), DM_ERR_INVALID_LEN);

    dm_hdr h;
    const char *got = nullptr;
    ASSERT_EQ(dm_delete_req_decode(&h, &got, buf.data(), n), static_cast<int>(n));
    EXPECT_STREQ(got, name);
}

// ---------------------------------------------------------------- extended attributes

TEST(DmXattr, ByOpenFileCarriesNoName)
{
    const char val[] = "12345";
    size_t n = dm_xattr_req_len(DM_CMD_SET_XATTR, nullptr, "backup_info", 5);
    ASSERT_EQ(n, 20u + 12 + 5);
    std::vector<unsigned char> buf(n);
    ASSERT_EQ(dm_xattr_req_encode(DM_CMD_SET_XATTR, 0x00040011, nullptr, "backup_info", val, 5, buf.data(), n),
              static_cast<int>(n));
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 20),
              bytes({10, 0, 0, 0, 0, 0x11, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_STREQ(reinterpret_cast<char *>(buf.data() + 20), "backup_info");
    EXPECT_EQ(memcmp(buf.data() + 32, "12345", 5), 0);

    dm_xattr_req_view v;
    ASSERT_EQ(dm_xattr_req_decode(&v, buf.data(), n), static_cast<int>(n));
    EXPECT_EQ(v.path, nullptr);
    EXPECT_STREQ(v.attr, "backup_info");
    EXPECT_EQ(v.xh.value_len, 5u);
    EXPECT_EQ(memcmp(v.value, "12345", 5), 0);
}

TEST(DmXattr, ByPathCarriesHandleFFFFAndName)
{
    size_t n = dm_xattr_req_len(DM_CMD_GET_XATTR, "p\\q", "a", 80);
    ASSERT_EQ(n, 20u + 4 + 2);  // a get carries no value, only the capacity
    std::vector<unsigned char> buf(n);
    ASSERT_EQ(dm_xattr_req_encode(DM_CMD_GET_XATTR, 0x12345678, "p\\q", "a", nullptr, 80, buf.data(), n),
              static_cast<int>(n));
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 20),
              bytes({11, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 80}));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data() + 20), 6), std::string("p\\q\0a\0", 6));

    dm_xattr_req_view v;
    ASSERT_EQ(dm_xattr_req_decode(&v, buf.data(), n), static_cast<int>(n));
    EXPECT_STREQ(v.path, "p\\q");
    EXPECT_STREQ(v.attr, "a");
    EXPECT_EQ(v.value, nullptr);
}

TEST(DmXattr, PathLengthLimit)
{
    std::vector<unsigned char> buf(1024, 0x33);
    std::string p254(254, 'p');
    std::string p255(255, 'p');
    EXPECT_GT(dm_xattr_req_encode(DM_CMD_SET_XATTR, 0, p254.c_str(), "a", "v", 1, buf.data(), buf.size()), 0);
    std::fill(buf.begin(), buf.end(), 0x33);
    EXPECT_EQ(dm_xattr_req_encode(DM_CMD_SET_XATTR, 0, p255.c_str(), "a", "v", 1, buf.data(), buf.size()),
              DM_ERR_INVALID_LEN);
    EXPECT_EQ(buf[0], 0x33);  // refused before anything is written

    // The receiver holds a peer to the same limit.
    std::string wire(20, '\0');
    wire[0] = static_cast<char>(DM_CMD_GET_XATTR);
    wire[4] = wire[5] = static_cast<char>(0xFF);
    wire += p255;
    wire += std::string("\0a\0", 3);
    std::vector<unsigned char> raw(wire.begin(), wire.end());
    dm_xattr_req_view v;
    EXPECT_EQ(dm_xattr_req_decode(&v, raw.data(), raw.size()), DM_ERR_BADMSG);
}

TEST(DmXattr, MalformedRequestsAreRefused)
{
    size_t n = dm_xattr_req_len(DM_CMD_SET_XATTR, nullptr, "a", 3);
    std::vector<unsigned char> buf(n);
    ASSERT_GT(dm_xattr_req_encode(DM_CMD_SET_XATTR, 0, nullptr, "a", "xyz", 3, buf.data(), n), 0);
    dm_xattr_req_view v;
    // value_len claims more than follows, or less.
    buf[19] = 4;
    EXPECT_EQ(dm_xattr_req_decode(&v, buf.data(), n), DM_ERR_BADMSG);
    buf[19] = 2;
    EXPECT_EQ(dm_xattr_req_decode(&v, buf.data(), n), DM_ERR_BADMSG);
    buf[19] = 3;
    EXPECT_EQ(dm_xattr_req_decode(&v, buf.data(), n), static_cast<int>(n));
    // Not an attribute command.
    buf[0] = DM_CMD_WRITE;
    EXPECT_EQ(dm_xattr_req_decode(&v, buf.data(), n), DM_ERR_BADMSG);
    // A get request with trailing bytes.
    std::vector<unsigned char> g(dm_xattr_req_len(DM_CMD_GET_XATTR, nullptr, "a", 8) + 1, 0);
    ASSERT_GT(dm_xattr_req_encode(DM_CMD_GET_XATTR, 0, nullptr, "a", nullptr, 8, g.data(), g.size()), 0);
    EXPECT_EQ(dm_xattr_req_decode(&v, g.data(), g.size()), DM_ERR_BADMSG);
    EXPECT_EQ(dm_xattr_req_decode(&v, g.data(), g.size() - 1), static_cast<int>(g.size() - 1));
}

TEST(DmXattr, GetResponseChecks)
{
    auto rsp = [](uint16_t status, uint32_t vlen, const std::string &val) {
        std::vector<unsigned char> b(20, 0);
        b[0] = DM_CMD_GET_XATTR;
        b[2] = static_cast<unsigned char>(status >> 8);
        b[3] = static_cast<unsigned char>(status);
        b[16] = static_cast<unsigned char>(vlen >> 24);
        b[17] = static_cast<unsigned char>(vlen >> 16);
        b[18] = static_cast<unsigned char>(vlen >> 8);
        b[19] = static_cast<unsigned char>(vlen);
        b.insert(b.end(), val.begin(), val.end());
        return b;
    };
    dm_xattr_hdr h;
    const unsigned char *val = nullptr;

    auto ok = rsp(0, 4, "abcd");
    ASSERT_EQ(dm_get_xattr_rsp_decode(&h, &val, ok.data(), ok.size(), 4), 24);
    ASSERT_NE(val, nullptr);
    EXPECT_EQ(memcmp(val, "abcd", 4), 0);

    // Longer than the capacity sent, or not the length announced.
    EXPECT_EQ(dm_get_xattr_rsp_decode(&h, &val, ok.data(), ok.size(), 3), DM_ERR_BADMSG);
    EXPECT_EQ(val, nullptr);
    auto shortv = rsp(0, 5, "abcd");
    EXPECT_EQ(dm_get_xattr_rsp_decode(&h, &val, shortv.data(), shortv.size(), 80), DM_ERR_BADMSG);
    auto longv = rsp(0, 3, "abcd");
    EXPECT_EQ(dm_get_xattr_rsp_decode(&h, &val, longv.data(), longv.size(), 80), DM_ERR_BADMSG);
    auto huge = rsp(0, 0xFFFFFFF0u, "");
    EXPECT_EQ(dm_get_xattr_rsp_decode(&h, &val, huge.data(), huge.size(), 0xFFFFFFFFu), DM_ERR_BADMSG);

    // Result too large: the needed size, no value.
    auto erange = rsp(34, 500, "");
    ASSERT_EQ(dm_get_xattr_rsp_decode(&h, &val, erange.data(), erange.size(), 80), 20);
    EXPECT_EQ(dm_hdr_status(&h.hdr), 34);
    EXPECT_EQ(h.value_len, 500u);
    EXPECT_EQ(val, nullptr);
}

// ---------------------------------------------------------------- bounds

TEST(DmDecodeBounds, EveryTruncationIsRefusedWithinTheBuffer)
{
    // Full, valid messages of every kind; each prefix is decoded from a heap
    // copy of exactly its length.
    std::vector<std::vector<unsigned char>> msgs;
    {
        std::vector<unsigned char> b(dm_open_req_len("dir\\file"));
        dm_open_msg m{};
        dm_open_req_encode(&m, "dir\\file", b.data(), b.size());
        msgs.push_back(b);
    }
    {
        std::vector<unsigned char> b(dm_delete_req_len("x/y"));
        dm_delete_req_encode("x/y", b.data(), b.size());
        msgs.push_back(b);
    }
    {
        std::vector<unsigned char> b(dm_xattr_req_len(DM_CMD_SET_XATTR, "p", "attr", 6));
        dm_xattr_req_encode(DM_CMD_SET_XATTR, 0, "p", "attr", "value!", 6, b.data(), b.size());
        msgs.push_back(b);
    }
    for (const auto &full : msgs) {
        for (size_t len = 0; len < full.size(); len++) {
            auto p = exact(full.data(), len);
            dm_hdr h;
            dm_open_msg o;
            dm_config_msg c;
            dm_xattr_hdr x;
            dm_xattr_req_view v;
            const char *s = nullptr;
            const unsigned char *val = nullptr;
            int rc;
            rc = dm_hdr_decode(&h, p.get(), len);
            EXPECT_TRUE(len >= 16 ? rc == 16 : rc == DM_ERR_BADMSG);
            rc = dm_config_decode(&c, p.get(), len);
            EXPECT_TRUE(len >= 32 ? rc == 32 : rc == DM_ERR_BADMSG);
            rc = dm_open_decode(&o, p.get(), len);
            EXPECT_TRUE(len >= 48 ? rc == 48 : rc == DM_ERR_BADMSG);
            rc = dm_xattr_hdr_decode(&x, p.get(), len);
            EXPECT_TRUE(len >= 20 ? rc == 20 : rc == DM_ERR_BADMSG);
            // The string-carrying decoders need the whole message.
            if (full[0] == DM_CMD_OPEN) {
                EXPECT_LT(dm_open_req_decode(&o, &s, p.get(), len), 0) << len;
            } else if (full[0] == DM_CMD_DELETE) {
                EXPECT_LT(dm_delete_req_decode(&h, &s, p.get(), len), 0) << len;
            } else {
                EXPECT_LT(dm_xattr_req_decode(&v, p.get(), len), 0) << len;
            }
            (void)dm_get_xattr_rsp_decode(&x, &val, p.get(), len, 100);
        }
    }
}

TEST(DmDecodeBounds, NamesWithoutTerminatorAreRefused)
{
    std::vector<unsigned char> b(dm_open_req_len("abc"));
    dm_open_msg m{};
    dm_open_req_encode(&m, "abc", b.data(), b.size());
    b.back() = 'd';  // the NUL is gone
    auto p = exact(b.data(), b.size());
    const char *name;
    EXPECT_EQ(dm_open_req_decode(&m, &name, p.get(), b.size()), DM_ERR_BADMSG);

    std::vector<unsigned char> d(dm_delete_req_len("abc"));
    dm_delete_req_encode("abc", d.data(), d.size());
    d.back() = 'x';
    auto q = exact(d.data(), d.size());
    dm_hdr h;
    EXPECT_EQ(dm_delete_req_decode(&h, &name, q.get(), d.size()), DM_ERR_BADMSG);
}
