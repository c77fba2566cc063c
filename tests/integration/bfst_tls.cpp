// TLS between the transfer library and the appliance's BFST service:
// pre-shared keys from passwords, and mutual certificates from the test CA
// script (two authorities, a revocation list, a revoked client).
#include "bfst_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using bfst_test::Appliance;
using bfst_test::Conn;
using bfst_test::Store;
using bfst_test::Stored;

namespace {

const char *const LIBRARY_PASSWORD = "5C3E9A17B0D24F68A1E7C93B40D6F215";

class BfstTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new kes_test::TempDir;
        for (const char *ca : {"a", "b"}) {
            std::string cmd = std::string(KES_SOURCE_DIR) + "/scripts/make-test-ca.sh " + dir_->path() + "/" + ca +
                              " >/dev/null";
            ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        }
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string ca(const std::string &rel) { return dir_->path() + "/" + rel; }

    // Opens, stores a small blob and checks it arrived; returns the first failure.
    int store_through(Conn &c, uint64_t *actual_sent = nullptr)
    {
        int rc = c.open("127.0.0.1", appl_.port(), 30);
        if (rc != 0)
            return rc;
        if ((rc = c.start_session()) != 0)
            return rc;
        Store st(c.sess());
        std::string data(100000, 'q');
        Stored out;
        if ((rc = st.put(data)) != 0 || (rc = st.finish(&out)) != 0)
            return rc;
        blob_info bi;
        EXPECT_EQ(blob_find(appl_.blobs(), out.tag, &bi), 0);
        EXPECT_EQ(bi.size, data.size());
        EXPECT_EQ(out.link[0], data.size());
        if (actual_sent != nullptr)
            *actual_sent = out.link[2];
        return 0;
    }

    static kes_test::TempDir *dir_;
    bfst_test::Library lib_;
    Appliance appl_;
};

kes_test::TempDir *BfstTls::dir_ = nullptr;

TEST_F(BfstTls, PreSharedKeysOfTheLibraryPasswordsWorkAndAnyOtherIsRefused)
{
    ASSERT_EQ(appl_.start(), 0) << appl_.error;
    for (auto [pw, cipher] : {std::pair{LIBRARY_PASSWORD, bfst_test::CIPHER_AES256},
                              std::pair{"lakeside", uint32_t(0x08A361DC)}}) {
        Conn c;
        ASSERT_EQ(c.password(pw, cipher), 0) << c.last.text;
        uint64_t actual = 0;
        EXPECT_EQ(store_through(c, &actual), 0) << c.last.text;
        // TLS records cost more than the clear framing
        EXPECT_GT(actual, 100000u + 4 * 16 + 4);
    }
    Conn wrong;
    ASSERT_EQ(wrong.password("not the password"), 0);
    EXPECT_EQ(store_through(wrong), BFST2_ERR_AUTH);
    EXPECT_NE(wrong.last.text.find("TLS handshake"), std::string::npos) << wrong.last.text;

    // an appliance told to accept another password refuses the library's
    appl_.stop();
    appliance_config cfg;
    cfg.bfst_psk_passwords = {"site password"};
    ASSERT_EQ(appl_.start(cfg), 0) << appl_.error;
    Conn lib, site;
    ASSERT_EQ(lib.password(LIBRARY_PASSWORD), 0);
    EXPECT_EQ(store_through(lib), BFST2_ERR_AUTH);
    ASSERT_EQ(site.password("site password"), 0);
    EXPECT_EQ(store_through(site), 0) << site.last.text;
}

TEST_F(BfstTls, DeduplicatedStoresTravelInsideTlsAndSendTheirChunkOnce)
{
    appl_.dedup = true;
    ASSERT_EQ(appl_.start(), 0) << appl_.error;
    Conn c;
    ASSERT_EQ(c.password(LIBRARY_PASSWORD), 0);
    ASSERT_EQ(c.open("127.0.0.1", appl_.port(), 30), 0) << c.last.text;
    ASSERT_EQ(c.start_session(), 0) << c.last.text;
    // 100000 bytes of one letter: chunks of the largest size, all alike but
    // the last, each sent once and compressed to almost nothing
    Store st(c.sess());
    std::string data(100000, 'q');
    Stored out;
    ASSERT_EQ(st.put(data), 0) << st.last.text;
    ASSERT_EQ(st.finish(&out), 0) << st.last.text;
    blob_info bi;
    ASSERT_EQ(blob_find(appl_.blobs(), out.tag, &bi), 0);
    EXPECT_EQ(bi.size, data.size());
    EXPECT_EQ(out.ops[0], data.size());
    EXPECT_EQ(out.ops[1], data.size());  // 65536 + 34464: two distinct chunks
    EXPECT_LT(out.ops[2], 2000u);
    EXPECT_LT(out.link[2], 8000u);
}

TEST_F(BfstTls, CertificatesOfTheApplianceCaWorkWithAndWithoutRevocationList)
{
    appliance_config cfg;
    cfg.tls_dir = ca("a/appliance");
    ASSERT_EQ(appl_.start(cfg), 0) << appl_.error;
    for (bool crl : {true, false}) {
        Conn c;
        ASSERT_EQ(c.certificates(ca("a/client"), crl), 0) << c.last.text;
        EXPECT_EQ(store_through(c), 0) << crl << ": " << c.last.text;
    }
}

TEST_F(BfstTls, CertificatesOfAnotherCaOrRevokedOnesAreRefused)
{
    appliance_config cfg;
    cfg.tls_dir = ca("a/appliance");
    ASSERT_EQ(appl_.start(cfg), 0) << appl_.error;
    // mixed material: CA file of one authority, certificate and key of another
    auto mix = [&](const std::string &name, const char *ca_of, const char *cert_of) {
        std::string d = ca(name);
        std::filesystem::create_directories(d);
        std::filesystem::copy_file(ca(std::string(ca_of) + "/client/cacert.pem"), d + "/cacert.pem");
        std::filesystem::copy_file(ca(std::string(cert_of) + "/client/cert.pem"), d + "/cert.pem");
        std::filesystem::copy_file(ca(std::string(cert_of) + "/client/key.pem"), d + "/key.pem");
        return d;
    };
    // a client whose certificate the appliance's CA never signed
    Conn stranger;
    ASSERT_EQ(stranger.certificates(mix("stranger", "a", "b"), false), 0) << stranger.last.text;
    EXPECT_EQ(store_through(stranger), BFST2_ERR_AUTH);
    // a client that trusts another CA than the appliance's
    Conn wary;
    ASSERT_EQ(wary.certificates(mix("wary", "b", "a"), false), 0) << wary.last.text;
    EXPECT_EQ(store_through(wary), BFST2_ERR_AUTH);
    EXPECT_NE(wary.last.text.find("certificate"), std::string::npos) << wary.last.text;
    // a revoked client
    Conn revoked;
    ASSERT_EQ(revoked.certificates(ca("a/revoked"), false), 0) << revoked.last.text;
    EXPECT_EQ(store_through(revoked), BFST2_ERR_AUTH);
    EXPECT_TRUE(blob_list(appl_.blobs()).empty());

    // it is the revocation list that refuses it
    appl_.stop();
    std::string norevoke = ca("norevoke");
    std::filesystem::create_directories(norevoke);
    for (const char *f : {"cacert.pem", "cert.pem", "key.pem"})
        std::filesystem::copy_file(ca("a/appliance/") + f, norevoke + "/" + f);
    cfg.tls_dir = norevoke;
    ASSERT_EQ(appl_.start(cfg), 0) << appl_.error;
    Conn again;
    ASSERT_EQ(again.certificates(ca("a/revoked"), false), 0);
    EXPECT_EQ(store_through(again), 0) << again.last.text;
}

TEST_F(BfstTls, MissingMaterialIsReportedWhereItIsMissing)
{
    // an appliance without certificates says how to give it some
    ASSERT_EQ(appl_.start(), 0) << appl_.error;
    Conn c;
    ASSERT_EQ(c.certificates(ca("a/client"), true), 0);
    EXPECT_EQ(store_through(c), BFST2_ERR_AUTH);
    EXPECT_NE(c.last.text.find("--tls-dir"), std::string::npos) << c.last.text;

    // a client credential without its key file
    std::string part = ca("part");
    std::filesystem::create_directories(part);
    std::filesystem::copy_file(ca("a/client/cacert.pem"), part + "/cacert.pem");
    std::filesystem::copy_file(ca("a/client/cert.pem"), part + "/cert.pem");
    Conn nokey;
    EXPECT_EQ(nokey.certificates(part, false), BFST2_ERR_INVALID_ARG);
    EXPECT_NE(nokey.last.text.find(part + "/key.pem"), std::string::npos) << nokey.last.text;
    // a key that belongs to another certificate
    std::filesystem::copy_file(ca("b/client/key.pem"), part + "/key.pem");
    EXPECT_EQ(nokey.certificates(part, false), BFST2_ERR_INVALID_ARG);

    // an appliance whose TLS directory is incomplete does not start
    Appliance broken;
    appliance_config cfg;
    cfg.tls_dir = part + "/missing";
    EXPECT_NE(broken.start(cfg), 0);
    EXPECT_NE(broken.error.find(cfg.tls_dir + "/c"), std::string::npos) << broken.error;
}

}  // namespace
