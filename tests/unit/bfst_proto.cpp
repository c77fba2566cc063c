// Frames of the BFST protocol and the byte transport under them: the bytes
// on the wire, every refusal of the checked decoders, and the deadlines of
// reads and writes.
#include "bfst/bfst_link.h"
#include "bfst/bfst_proto.h"
#include "bfst/bfst_tls.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

TEST(BfstProto, HeaderBytesAndTheLimitOfEachType)
{
    unsigned char h[BFST_HDR_SIZE];
    bfst_hdr_encode(h, BFST_DATA, 0x01020304, 0x00100000);
    const unsigned char want[] = {'K', 'B', 'F', 'S', 1, 6, 0, 0, 1, 2, 3, 4, 0, 0x10, 0, 0};
    EXPECT_EQ(memcmp(h, want, sizeof want), 0);
    bfst_hdr d;
    const char *why = nullptr;
    ASSERT_EQ(bfst_hdr_decode(h, 1u << 20, &d, &why), 0);
    EXPECT_EQ(d.type, BFST_DATA);
    EXPECT_EQ(d.id, 0x01020304u);
    EXPECT_EQ(d.len, 1u << 20);
    // data beyond the announced limit, control frames beyond theirs
    EXPECT_EQ(bfst_hdr_decode(h, (1u << 20) - 1, &d, &why), -1);
    bfst_hdr_encode(h, BFST_DATA, 1, BFST_MAX_DATA + 1);
    EXPECT_EQ(bfst_hdr_decode(h, UINT32_MAX, &d, &why), -1);
    bfst_hdr_encode(h, BFST_OK, 1, BFST_MAX_CTRL + 1);
    EXPECT_EQ(bfst_hdr_decode(h, UINT32_MAX, &d, &why), -1);
    bfst_hdr_encode(h, BFST_OK, 1, BFST_MAX_CTRL);
    EXPECT_EQ(bfst_hdr_decode(h, 0, &d, &why), 0);
    // magic, version, type, flags
    struct {
        int at;
        unsigned char v;
    } bad[] = {{0, 'X'}, {4, 2}, {5, 0}, {5, 0x42}, {6, 1}, {7, BFST_F_ASYNC}};
    for (auto b : bad) {
        bfst_hdr_encode(h, BFST_OK, 1, 0);
        h[b.at] = b.v;
        why = nullptr;
        EXPECT_EQ(bfst_hdr_decode(h, 0, &d, &why), -1) << b.at;
        EXPECT_NE(why, nullptr);
    }
    bfst_hdr_encode(h, BFST_ERROR, 1, 6, BFST_F_ASYNC);
    EXPECT_EQ(bfst_hdr_decode(h, 0, &d, &why), 0);
    EXPECT_EQ(d.flags, BFST_F_ASYNC);
}

TEST(BfstProto, PayloadsRoundTripAndWrongLengthsOrValuesAreRefused)
{
    unsigned char p[BFST_MAX_CTRL];
    bfst_hello hello{1, 3, BFST_HELLO_BACKUP | BFST_HELLO_TLS_PSK}, h2;
    ASSERT_EQ(bfst_hello_encode(p, hello), BFST_HELLO_SIZE);
    ASSERT_EQ(bfst_hello_decode(p, BFST_HELLO_SIZE, &h2), 0);
    EXPECT_EQ(h2.max_version, 3u);
    EXPECT_EQ(bfst_hello_decode(p, BFST_HELLO_SIZE - 1, &h2), -1);
    bfst_hello both{1, 1, BFST_HELLO_TLS_PSK | BFST_HELLO_TLS_CERT}, inverted{2, 1, 0}, unknown{1, 1, 0x80};
    for (const bfst_hello &b : {both, inverted, unknown}) {
        bfst_hello_encode(p, b);
        EXPECT_EQ(bfst_hello_decode(p, BFST_HELLO_SIZE, &h2), -1);
    }

    bfst_open_ok ok{32, 16u << 20}, ok2;
    bfst_open_ok_encode(p, ok);
    ASSERT_EQ(bfst_open_ok_decode(p, BFST_OPEN_OK_SIZE, &ok2), 0);
    EXPECT_EQ(ok2.max_data, 16u << 20);
    for (bfst_open_ok b : {bfst_open_ok{0, 4096}, bfst_open_ok{65, 4096}, bfst_open_ok{32, 100},
                           bfst_open_ok{32, BFST_MAX_DATA + 1}}) {
        bfst_open_ok_encode(p, b);
        EXPECT_EQ(bfst_open_ok_decode(p, BFST_OPEN_OK_SIZE, &ok2), -1) << b.tag_len << " " << b.max_data;
    }

    unsigned char tag[32];
    for (int i = 0; i < 32; ++i)
        tag[i] = static_cast<unsigned char>(i * 7);
    bfst_tag_ok t;
    size_t n = bfst_tag_ok_encode(p, 0x0102030405060708ULL, tag, 32);
    ASSERT_EQ(bfst_tag_ok_decode(p, n, 32, &t), 0);
    EXPECT_EQ(t.bytes, 0x0102030405060708ULL);
    EXPECT_EQ(memcmp(t.tag, tag, 32), 0);
    EXPECT_EQ(bfst_tag_ok_decode(p, n, 31, &t), -1);
    EXPECT_EQ(bfst_tag_ok_decode(p, n - 1, 32, &t), -1);

    // error texts are cut, and unprintable bytes never reach a log
    std::string longtext(400, 'e');
    bfst_error e;
    n = bfst_error_encode(p, 0x096C29AB, longtext.c_str());
    ASSERT_EQ(n, 6 + BFST_MAX_TEXT);
    ASSERT_EQ(bfst_error_decode(p, n, &e), 0);
    EXPECT_EQ(e.code, 0x096C29ABu);
    EXPECT_EQ(strlen(e.text), BFST_MAX_TEXT);
    n = bfst_error_encode(p, 1, "a\nb\x1b[31mc");
    ASSERT_EQ(bfst_error_decode(p, n, &e), 0);
    EXPECT_STREQ(e.text, "a?b?[31mc");
    EXPECT_EQ(bfst_error_decode(p, n + 1, &e), -1);
    p[4] = 0x01;  // a text length beyond the limit
    EXPECT_EQ(bfst_error_decode(p, n, &e), -1);
    EXPECT_EQ(bfst_error_decode(p, 5, &e), -1);
}

TEST(BfstProto, PreSharedKeysDependOnThePasswordOnly)
{
    bfst_psk a, b, c;
    ASSERT_EQ(bfst_psk_derive("lakeside", &a), 0);
    ASSERT_EQ(bfst_psk_derive("lakeside", &b), 0);
    ASSERT_EQ(bfst_psk_derive("lakesidf", &c), 0);
    EXPECT_EQ(memcmp(a.key, b.key, BFST_PSK_LEN), 0);
    EXPECT_STREQ(a.identity, b.identity);
    EXPECT_NE(memcmp(a.key, c.key, BFST_PSK_LEN), 0);
    EXPECT_STRNE(a.identity, c.identity);
    EXPECT_EQ(std::string(a.identity).rfind("kbfst1-", 0), 0u);
    // the identity does not show the password
    EXPECT_EQ(std::string(a.identity).find("lakeside"), std::string::npos);
    bfst_psk_wipe(&a);
    EXPECT_EQ(a.key[0] | a.key[15] | a.key[31], 0);
}

TEST(BfstLink, ReadsAndWritesEndAtTheirDeadlinesAndAClosedPeerIsSeen)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    bfst_link a, b;
    bfst_link_adopt(&a, sv[0], -1);
    bfst_link_adopt(&b, sv[1], -1);
    // a gather write across three pieces arrives whole and is counted
    std::string x = "head", y(300000, 'y'), z = "tail";
    struct iovec iov[3] = {{x.data(), x.size()}, {y.data(), y.size()}, {z.data(), z.size()}};
    std::string got(x.size() + y.size() + z.size(), '\0');
    std::thread reader([&] { EXPECT_EQ(bfst_link_read(&b, got.data(), got.size(), bfst_now_ms() + 10000), 0); });
    ASSERT_EQ(bfst_link_writev(&a, iov, 3, bfst_now_ms() + 10000), BFST_IO_OK);
    reader.join();
    EXPECT_EQ(got, x + y + z);
    EXPECT_EQ(a.sent, got.size());
    EXPECT_EQ(b.received, got.size());
    EXPECT_FALSE(bfst_link_pending(&b));

    // nobody writes: the read gives up at its deadline
    char c;
    EXPECT_EQ(bfst_link_read(&b, &c, 1, bfst_now_ms() + 100), BFST_IO_TIMEOUT);
    // nobody reads: the write gives up at its deadline
    std::vector<char> big(32 << 20);
    struct iovec one = {big.data(), big.size()};
    EXPECT_EQ(bfst_link_writev(&a, &one, 1, bfst_now_ms() + 200), BFST_IO_TIMEOUT);
    // the peer goes: a read sees the end, a write fails without a signal
    bfst_link_close(&b);
    EXPECT_TRUE(bfst_link_pending(&a));
    char drain[65536];
    long n = 0;
    while ((n = bfst_link_read_some(&a, drain, sizeof drain, bfst_now_ms() + 1000)) > 0) {
    }
    EXPECT_EQ(n, BFST_IO_CLOSED);
    struct iovec again = {big.data(), 4096};
    EXPECT_NE(bfst_link_writev(&a, &again, 1, bfst_now_ms() + 1000), BFST_IO_OK);
    bfst_link_close(&a);
}

}  // namespace
