// Client authentication: the digest against OpenSSL's MD5 over an
// independently built block, and the two-message exchange against a responder
// that checks the proof.
#include "lib/common/pgnauth.h"

#include "datamover/ost_mi.h"
#include "lib/common/mi_comm.h"
#include "tests/unit/mi_responder.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using mi_test::Answer;
using mi_test::LogSink;
using mi_test::Responder;
using mi_test::reply_record;

namespace {

using Digest = std::array<unsigned char, 16>;

// The proof as the server computes it, with OpenSSL.
Digest oracle(const std::string &password, const unsigned char *attr)
{
    unsigned char block[128] = {};
    for (size_t i = 0; i < password.size() && i < 32; ++i)
        block[i] = static_cast<unsigned char>(password[i]);
    if (attr != nullptr)
        for (size_t i = 0; i < 64; ++i)
            block[32 + i] = attr[i];
    Digest d{};
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(block, sizeof block, d.data(), &len, EVP_md5(), nullptr), 1);
    EXPECT_EQ(len, 16u);
    return d;
}

Digest mine(const char *password, const unsigned char *attr)
{
    Digest d{};
    pgnauth_digest(password, attr, d.data());
    return d;
}

std::array<unsigned char, 64> sample_attr()
{
    std::array<unsigned char, 64> a{};
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<unsigned char>(0x5A ^ (i * 7));
    return a;
}

// An appliance with one user; the attribute it hands out is optional.
struct AuthServer {
    std::string user = "rman";
    std::string password = "s3cret-Pa55";
    std::atomic<bool> send_attr{true};
    std::atomic<int32_t> attr_status{0};
    std::atomic<int> auth_requests{0};
    std::atomic<int> attr_requests{0};
    std::array<unsigned char, 64> attr = sample_attr();

    Answer operator()(const std::vector<unsigned char> &in)
    {
        mi_header h{};
        mi_record req;
        EXPECT_EQ(mi_decode_request(in.data() + OST_MI_REC_HEAD_SIZE, MI_BUF_SIZE, &h, &req, sizeof req), 0);
        Answer a;
        if (h.number == MI_CONFIG_GET_AUTH_ATTR) {
            ++attr_requests;
            EXPECT_EQ(req.config_get_auth_attr_req.value, 1);
            mi_config_get_auth_attr_reply r{};
            r.status = attr_status;
            r.attr.present = send_attr ? MI_AUTH_ATTR_PRESENT : MI_AUTH_ATTR_NONE;
            if (send_attr)
                memcpy(r.attr.attr, attr.data(), 64);
            a.payload = reply_record(h.number, &r);
        } else if (h.number == MI_AUTHENTICATE_CLIENT) {
            ++auth_requests;
            mi_status_reply r{0x21E0001D};  // authentication refused
            const mi_authenticate_client_req &c = req.authenticate_client_req;
            Digest want = oracle(password, send_attr ? attr.data() : nullptr);
            if (c.kind == MI_CRED_KIND_DIGEST && user == c.cred.digest.user &&
                memcmp(c.cred.digest.digest, want.data(), 16) == 0)
                r.status = 0;
            a.payload = reply_record(h.number, &r);
        } else {
            ADD_FAILURE() << "unexpected message " << std::hex << h.number;
        }
        // The password itself never travels.
        std::string wire(in.begin(), in.end());
        EXPECT_EQ(wire.find(password), std::string::npos);
        mi_free_request(h.number, &req);
        return a;
    }
};

struct ClientDeleter {
    void operator()(ost_mi_client *c) const { ost_mi_client_destroy(c); }
};
using Client = std::unique_ptr<ost_mi_client, ClientDeleter>;

}  // namespace

TEST(PgnAuthDigest, EqualsMd5OfTheBlock)
{
    auto attr = sample_attr();
    EXPECT_EQ(mine("s3cret-Pa55", attr.data()), oracle("s3cret-Pa55", attr.data()));
    // Empty password: the first 32 bytes are zero, the attribute still counts.
    EXPECT_EQ(mine("", attr.data()), oracle("", attr.data()));
    EXPECT_EQ(mine(nullptr, attr.data()), oracle("", attr.data()));
    EXPECT_NE(mine("", attr.data()), mine("", nullptr));
    // No attribute: bytes 32..95 are zero.
    EXPECT_EQ(mine("pw", nullptr), oracle("pw", nullptr));
}

TEST(PgnAuthDigest, OnlyTheFirst32PasswordBytesCount)
{
    auto attr = sample_attr();
    std::string p32 = "0123456789abcdefghijklmnopqrstuv";
    ASSERT_EQ(p32.size(), 32u);
    std::string p40 = p32 + "WXYZ!@#$";
    EXPECT_EQ(mine(p32.c_str(), attr.data()), mine(p40.c_str(), attr.data()));
    EXPECT_EQ(mine(p40.c_str(), attr.data()), oracle(p32, attr.data()));
    EXPECT_NE(mine(p32.substr(0, 31).c_str(), attr.data()), mine(p32.c_str(), attr.data()));
}

TEST(PgnAuthExchange, RightPasswordAuthenticates)
{
    AuthServer state;
    Responder srv(std::ref(state));
    LogSink log;
    int err = -1;
    Client cli(ost_mi_client_create("127.0.0.1", srv.port(), &log, LogSink::cb, 0, nullptr, 0, 1, &err));
    ASSERT_TRUE(cli) << err;

    EXPECT_EQ(pgnauth_authenticate(cli.get(), "rman", "s3cret-Pa55"), 0);
    EXPECT_EQ(state.attr_requests, 1);
    EXPECT_EQ(state.auth_requests, 1);

    EXPECT_EQ(pgnauth_authenticate(cli.get(), "rman", "wrong"), 0x21E0001D);
    EXPECT_TRUE(log.has("Received error(568328221) from server\n", UTIL_LOG_ERROR));
}

TEST(PgnAuthExchange, AttributeReplyWithoutAttributeStillAuthenticates)
{
    AuthServer state;
    state.send_attr = false;
    Responder srv(std::ref(state));
    LogSink log;
    int err = -1;
    Client cli(ost_mi_client_create("127.0.0.1", srv.port(), &log, LogSink::cb, 0, nullptr, 0, 1, &err));
    ASSERT_TRUE(cli) << err;
    EXPECT_EQ(pgnauth_authenticate(cli.get(), "rman", "s3cret-Pa55"), 0);
    EXPECT_EQ(state.auth_requests, 1);
}

TEST(PgnAuthExchange, FailuresStopBeforeTheProof)
{
    AuthServer state;
    state.attr_status = 0x21E00016;
    Responder srv(std::ref(state));
    LogSink log;
    int err = -1;
    Client cli(ost_mi_client_create("127.0.0.1", srv.port(), &log, LogSink::cb, 0, nullptr, 0, 1, &err));
    ASSERT_TRUE(cli) << err;
    EXPECT_EQ(pgnauth_authenticate(cli.get(), "rman", "s3cret-Pa55"), 0x21E00016);
    EXPECT_EQ(state.auth_requests, 0);

    // No client at all.
    EXPECT_EQ(pgnauth_authenticate(nullptr, "rman", "x"), KES_EINVAL);

    // A missing user name cannot be encoded; nothing is sent for it.
    state.attr_status = 0;
    EXPECT_EQ(pgnauth_authenticate(cli.get(), nullptr, "s3cret-Pa55"), KES_ERANGE);
    EXPECT_TRUE(log.has("Message(MI_AUTHENTICATE_CLIENT) send failed: 34\n", UTIL_LOG_ERROR));
    EXPECT_EQ(state.auth_requests, 0);
}
