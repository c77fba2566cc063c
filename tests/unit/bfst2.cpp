// The transfer library without a peer: start and stop, error texts, tag
// texts, and the refusals of bad arguments and of calls out of order.
#include "bfst/bfst2.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The code of a call, its error text freed; the text is kept in *text.
template <typename F> int call(F f, std::string *text = nullptr)
{
    char *err = reinterpret_cast<char *>(1);
    int rc = f(&err);
    if (rc == 0)
        EXPECT_EQ(err, nullptr);
    else
        EXPECT_NE(err, nullptr);
    if (text != nullptr)
        *text = err != nullptr ? err : "";
    bfst2_free_error_string(rc == 0 ? nullptr : err);
    return rc;
}

TEST(Bfst2Library, StartStopAndErrorTexts)
{
    EXPECT_EQ(call([](char **e) { return bfst2_finalize(e); }), BFST2_ERR_NOT_INITIALIZED);
    // nothing may be created before the start
    bfst2_credential *cred = nullptr;
    EXPECT_EQ(call([&](char **e) { return bfst2_credential_create_password(0x0B615B7B, "pw", 0, &cred, e); }),
              BFST2_ERR_NOT_INITIALIZED);
    EXPECT_EQ(call([](char **e) { return bfst2_initialize("", e); }), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(call([](char **e) { return bfst2_initialize("BFST_RMAN", e); }), 0);
    EXPECT_EQ(call([](char **e) { return bfst2_initialize("BFST_RMAN", e); }), 0);
    EXPECT_EQ(call([](char **e) { return bfst2_finalize(e); }), 0);
    EXPECT_EQ(call([](char **e) { return bfst2_finalize(e); }), 0);
    EXPECT_EQ(call([](char **e) { return bfst2_finalize(e); }), BFST2_ERR_NOT_INITIALIZED);

    EXPECT_STREQ(bfst2_strerror(0), "success");
    EXPECT_STREQ(bfst2_strerror(12345), "unknown transfer library error");
    for (int code : {BFST2_ERR_NOSPACE, BFST2_ERR_QUOTA, BFST2_ERR_SERVER_BUSY, BFST2_ERR_VSERVER_BUSY,
                     BFST2_ERR_PROTOCOL, BFST2_ERR_AUTH, BFST2_ERR_ABORTED, BFST2_ERR_NOT_INITIALIZED,
                     BFST2_ERR_NOT_FOUND, BFST2_ERR_NOMEM, BFST2_ERR_INVALID_ARG, BFST2_ERR_NOT_AVAILABLE}) {
        std::string t = bfst2_strerror(code);
        EXPECT_NE(t, "unknown transfer library error") << std::hex << code;
        EXPECT_EQ(t.find("IO_PATH"), std::string::npos) << t;
    }
    bfst2_free_error_string(nullptr);
}

TEST(Bfst2Library, TagTextIsTheHexOfTheLengthPrefixedTag)
{
    unsigned char tag[5] = {4, 0x00, 0xAB, 0x7F, 0xFF};
    char text[9];
    memset(text, 'z', sizeof text);
    ASSERT_EQ(call([&](char **e) { return bfst2_tag_to_ascii(tag, text, sizeof text, e); }), 0);
    EXPECT_STREQ(text, "00ab7fff");
    // a text buffer one byte short, a tag without length, no buffers
    EXPECT_EQ(call([&](char **e) { return bfst2_tag_to_ascii(tag, text, 8, e); }), BFST2_ERR_INVALID_ARG);
    unsigned char empty[1] = {0};
    EXPECT_EQ(call([&](char **e) { return bfst2_tag_to_ascii(empty, text, sizeof text, e); }), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(call([&](char **e) { return bfst2_tag_to_ascii(nullptr, text, sizeof text, e); }),
              BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(call([&](char **e) { return bfst2_tag_to_ascii(tag, nullptr, sizeof text, e); }), BFST2_ERR_INVALID_ARG);
}

class Bfst2Calls : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(bfst2_initialize("BFST_RMAN", nullptr), 0); }
    void TearDown() override { bfst2_finalize(nullptr); }
};

TEST_F(Bfst2Calls, BadArgumentsAreRefusedWithTheirReason)
{
    bfst2_credential *cred = nullptr;
    bfst2_connection *conn = nullptr;
    std::string text;
    EXPECT_EQ(call([&](char **e) { return bfst2_credential_create_password(0x12345678, "pw", 0, &cred, e); }, &text),
              BFST2_ERR_INVALID_ARG);
    EXPECT_NE(text.find("0x12345678"), std::string::npos) << text;
    EXPECT_EQ(call([&](char **e) { return bfst2_credential_create_password(0x0B615B7B, "", 0, &cred, e); }),
              BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(call([&](char **e) {
                  return bfst2_credential_create_certificate_files(0x01A2B3C4, 0x034A147F, nullptr, nullptr, nullptr,
                                                                   nullptr, 0, &cred, e);
              },
                   &text),
              BFST2_ERR_INVALID_ARG);
    EXPECT_NE(text.find("no CA file"), std::string::npos) << text;
    EXPECT_EQ(call([&](char **e) {
                  return bfst2_credential_create_certificate_files(0x01A2B3C4, 0x034A147F, "/nonexistent/ca.pem",
                                                                   "/c", "/k", nullptr, 0, &cred, e);
              },
                   &text),
              BFST2_ERR_INVALID_ARG);
    EXPECT_NE(text.find("/nonexistent/ca.pem"), std::string::npos) << text;
    EXPECT_EQ(cred, nullptr);

    auto create = [&](const char *host, uint32_t port, const char *enc, bfst2_credential *c) {
        return call([&](char **e) { return bfst2_handle_create_remote_with_credential(host, port, 60, enc, c, 0,
                                                                                      &conn, e); },
                    &text);
    };
    EXPECT_EQ(create("", 1062, "ost-no-encrypt", nullptr), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(create(std::string(300, 'h').c_str(), 1062, "ost-no-encrypt", nullptr), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(create("127.0.0.1", 0, "ost-no-encrypt", nullptr), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(create("127.0.0.1", 70000, "ost-no-encrypt", nullptr), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(create("127.0.0.1", 1062, "rot13", nullptr), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(create("127.0.0.1", 1062, "ost", nullptr), BFST2_ERR_INVALID_ARG);
    EXPECT_NE(text.find("needs a credential"), std::string::npos) << text;
    EXPECT_EQ(conn, nullptr);
}

TEST_F(Bfst2Calls, CallsOutOfOrderAreRefusedAndNothingLeaks)
{
    bfst2_credential *cred = nullptr;
    ASSERT_EQ(call([&](char **e) { return bfst2_credential_create_password(0x0B615B7B, "pw", 0, &cred, e); }), 0);
    bfst2_connection *conn = nullptr;
    ASSERT_EQ(call([&](char **e) {
                  return bfst2_handle_create_remote_with_credential("127.0.0.1", 1062, 60, "ost", cred, 0, &conn, e);
              }),
              0);
    // the connection keeps what it needs of the credential
    ASSERT_EQ(call([&](char **e) { return bfst2_credential_destroy(cred, 0, e); }), 0);

    uint32_t tag_len = 0;
    bfst2_session *sess = nullptr;
    EXPECT_EQ(call([&](char **e) { return bfst2_open(conn, 0, e); }), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(call([&](char **e) { return bfst2_get_tag_length(conn, &tag_len, e); }), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(call([&](char **e) { return bfst2_session_create(conn, 0, &sess, e); }), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(sess, nullptr);
    EXPECT_EQ(call([&](char **e) { return bfst2_disconnect(conn, 0, e); }), 0);

    // buffers refer to memory without copying; a length past it is refused
    bfst2_buffer *buf = nullptr;
    char mem[16];
    ASSERT_EQ(call([&](char **e) { return bfst2_buffer_create(0, &buf, e); }), 0);
    EXPECT_EQ(call([&](char **e) { return bfst2_buffer_attach_memory(buf, nullptr, 5, 0, e); }), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(call([&](char **e) { return bfst2_buffer_attach_memory(buf, mem, sizeof mem, 0, e); }), 0);
    EXPECT_EQ(call([&](char **e) { return bfst2_store_buffer(nullptr, buf, 4, 0, e); }), BFST2_ERR_INVALID_ARG);
    EXPECT_EQ(call([&](char **e) { return bfst2_buffer_destroy(buf, 0, e); }), 0);

    EXPECT_EQ(call([&](char **e) { return bfst2_handle_destroy(conn, 0, e); }), 0);
    EXPECT_EQ(call([&](char **e) { return bfst2_handle_destroy(nullptr, 0, e); }), BFST2_ERR_INVALID_ARG);
}

}  // namespace
