#include "datamover/byteorder.h"
#include "datamover/util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(UtilErrorNames, NamesEveryFamilyAndFallsBack)
{
    EXPECT_STREQ(util_err_name(-731), "XCOMM_ERR_RECONNECT_PENDING");
    EXPECT_STREQ(util_err_name(-501), "FILE_ERR_NOMEM");
    EXPECT_STREQ(util_err_name(-603), "PCACHE_ERR_PGSTATE");
    EXPECT_STREQ(util_err_name(-814), "DM_ERR_INVALID_ARGS");
    EXPECT_STREQ(util_err_name(-700), "undefined");
    EXPECT_STREQ(util_err_name(0), "undefined");
    EXPECT_STREQ(util_err_name(-815), "undefined");
    EXPECT_STREQ(util_err_name(2), "No such file or directory");
    // Positive statuses use the peer numbering, not the host's.
    EXPECT_STREQ(util_err_name(104), "Bad message");
    EXPECT_STREQ(util_strerror(34), "Result too large");
    EXPECT_STREQ(util_strerror(99), "Unknown error");
    EXPECT_STREQ(util_strerror(-3), "Unknown error");
}

TEST(UtilErrorNames, HostErrnoTranslation)
{
    EXPECT_EQ(util_errno_to_kes(EBADMSG), 104);
    EXPECT_EQ(util_errno_to_kes(ENOSPC), 28);
    EXPECT_EQ(util_errno_to_kes(ECONNREFUSED), 107);
    EXPECT_EQ(util_file_err(12), FILE_ERR_NOMEM);
    EXPECT_EQ(util_file_err(28), FILE_ERR_NOSPC);
    EXPECT_EQ(util_file_err(5), FILE_ERR_AIO);
}

TEST(UtilStrings, BoundedCopyAlwaysTerminates)
{
    char buf[6];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(util_strlcpy(buf, "abcdefgh", sizeof buf), 9u);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(util_strlcpy(buf, "ab", sizeof buf), 3u);
    EXPECT_STREQ(buf, "ab");
    buf[0] = 'q';
    EXPECT_EQ(util_strlcpy(buf, "zz", 0), 3u);
    EXPECT_EQ(buf[0], 'q');
}

TEST(UtilPrime, LargestOddPrime)
{
    EXPECT_EQ(util_largest_odd_prime(100), 97u);
    EXPECT_EQ(util_largest_odd_prime(2), 1u);
    EXPECT_EQ(util_largest_odd_prime(16384), 16381u);
    EXPECT_EQ(util_largest_odd_prime(9), 7u);
    EXPECT_EQ(util_largest_odd_prime(3), 3u);
}

namespace {
std::string g_last;
int g_last_level;
void capture(void *, int level, const char *, int, const char *text)
{
    g_last_level = level;
    g_last = text;
}
}  // namespace

TEST(UtilLog, FunnelFormatsAndHonoursFlags)
{
    util_log_init(nullptr, nullptr, capture);
    util_log_set_level(6);
    g_last.clear();
    ULOG_DEBUG_IF("t", "hidden %d\n", 1);
    EXPECT_TRUE(g_last.empty());
    util_log_class(2, "t", 1, "n=%d\n", 5);
    EXPECT_EQ(g_last, "n=5\n");
    EXPECT_EQ(g_last_level, UTIL_LOG_NOTICE);
    util_log_set_level(8);
    ULOG_DEBUG_IF("t", "shown %d\n", 2);
    EXPECT_EQ(g_last, "shown 2\n");
    ULOG_TRACE("t", 8, "trace\n");
    EXPECT_EQ(g_last, "trace\n");
    EXPECT_EQ(g_last_level, UTIL_LOG_TRACE);
    std::string big(3000, 'a');
    util_log(3, "t", 1, "%s", big.c_str());
    EXPECT_EQ(g_last.size(), 1023u);
    util_log_init(nullptr, nullptr, nullptr);
    util_log_set_level(0);
}

TEST(ByteOrder, BigEndianAtAnyAlignment)
{
    unsigned char buf[12] = {};
    be_put64(buf + 1, 0x0102030405060708ULL);
    const unsigned char want[] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(memcmp(buf, want, sizeof want), 0);
    EXPECT_EQ(be_get64(buf + 1), 0x0102030405060708ULL);
    be_put16(buf + 3, 0xABCD);
    EXPECT_EQ(buf[3], 0xAB);
    EXPECT_EQ(be_get16(buf + 3), 0xABCD);
    be_put32(buf + 5, 0xDEADBEEF);
    EXPECT_EQ(be_get32(buf + 5), 0xDEADBEEFu);
}
