// TLS contexts and pre-shared keys of the BFST protocol (see bfst_tls.h).
#include "bfst/bfst_tls.h"

#include "bfst/bfst_proto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

constexpr const char *PSK_SALT = "KESTRALON BFST PSK v1";
constexpr int PSK_ROUNDS = 10000;
constexpr const char *PSK_SUITES_256 = "DHE-PSK-AES256-GCM-SHA384";
constexpr const char *PSK_SUITES_128 = "DHE-PSK-AES128-GCM-SHA256";
constexpr const char *PSK_SUITES_SERVER = "DHE-PSK-AES256-GCM-SHA384:DHE-PSK-AES128-GCM-SHA256";
constexpr const char *CERT_SUITES =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";

void fail_text(char *why, size_t why_len, const char *what, const char *file)
{
    char ossl[160] = "";
    unsigned long e = ERR_peek_last_error();
    if (e != 0)
        ERR_error_string_n(e, ossl, sizeof ossl);
    ERR_clear_error();
    if (file != nullptr)
        snprintf(why, why_len, "%s %s%s%s", what, file, ossl[0] != '\0' ? ": " : "", ossl);
    else
        snprintf(why, why_len, "%s%s%s", what, ossl[0] != '\0' ? ": " : "", ossl);
}

SSL_CTX *new_ctx(bool server, const char *suites, char *why, size_t why_len)
{
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (ctx == nullptr) {
        fail_text(why, why_len, "cannot create a TLS context", nullptr);
        return nullptr;
    }
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1 || SSL_CTX_set_cipher_list(ctx, suites) != 1) {
        fail_text(why, why_len, "cannot set up TLS 1.2", nullptr);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return ctx;
}

unsigned int client_psk_cb(SSL *ssl, const char *, char *identity, unsigned int max_identity_len,
                           unsigned char *psk, unsigned int max_psk_len)
{
    const auto *k = static_cast<const bfst_psk *>(SSL_get_app_data(ssl));
    if (k == nullptr)
        return 0;
    size_t idl = strnlen(k->identity, BFST_PSK_ID_MAX);
    if (idl + 1 > max_identity_len || BFST_PSK_LEN > max_psk_len)
        return 0;
    memcpy(identity, k->identity, idl + 1);
    memcpy(psk, k->key, BFST_PSK_LEN);
    return BFST_PSK_LEN;
}

unsigned int server_psk_cb(SSL *ssl, const char *identity, unsigned char *psk, unsigned int max_psk_len)
{
    const auto *keys = static_cast<const std::vector<bfst_psk> *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (keys == nullptr || identity == nullptr || max_psk_len < BFST_PSK_LEN)
        return 0;
    for (const bfst_psk &k : *keys) {
        if (strncmp(k.identity, identity, BFST_PSK_ID_MAX) == 0) {
            memcpy(psk, k.key, BFST_PSK_LEN);
            return BFST_PSK_LEN;
        }
    }
    return 0;
}

bool readable_file(const char *path)
{
    struct stat sb;
    return path != nullptr && stat(path, &sb) == 0 && S_ISREG(sb.st_mode);
}

// Loads own certificate and key, the CA to verify the peer with and the
// revocation list when given.
bool load_material(SSL_CTX *ctx, const char *ca, const char *cert, const char *key, const char *crl, char *why,
                   size_t why_len)
{
    const char *files[3][2] = {{ca, "CA"}, {cert, "certificate"}, {key, "key"}};
    for (auto &f : files) {
        if (f[0] == nullptr || f[0][0] == '\0') {
            snprintf(why, why_len, "no %s file given", f[1]);
            return false;
        }
        if (!readable_file(f[0])) {
            snprintf(why, why_len, "%s file %s is missing or not a regular file", f[1], f[0]);
            return false;
        }
    }
    if (SSL_CTX_load_verify_locations(ctx, ca, nullptr) != 1) {
        fail_text(why, why_len, "cannot load the CA file", ca);
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, cert) != 1) {
        fail_text(why, why_len, "cannot load the certificate file", cert);
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1) {
        fail_text(why, why_len, "cannot load the key file", key);
        return false;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        fail_text(why, why_len, "the key does not belong to the certificate in", cert);
        return false;
    }
    if (crl != nullptr) {
        if (!readable_file(crl)) {
            snprintf(why, why_len, "revocation list %s is missing or not a regular file", crl);
            return false;
        }
        X509_STORE *st = SSL_CTX_get_cert_store(ctx);
        X509_LOOKUP *lu = X509_STORE_add_lookup(st, X509_LOOKUP_file());
        if (lu == nullptr || X509_load_crl_file(lu, crl, X509_FILETYPE_PEM) <= 0) {
            fail_text(why, why_len, "cannot load the revocation list", crl);
            return false;
        }
        X509_STORE_set_flags(st, X509_V_FLAG_CRL_CHECK);
    }
    return true;
}

}  // namespace

int bfst_psk_derive(const char *password, bfst_psk *out)
{
    if (password == nullptr)
        return -1;
    if (PKCS5_PBKDF2_HMAC(password, int(strlen(password)), reinterpret_cast<const unsigned char *>(PSK_SALT),
                          int(strlen(PSK_SALT)), PSK_ROUNDS, EVP_sha256(), int(BFST_PSK_LEN), out->key) != 1) {
        ERR_clear_error();
        return -1;
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(out->key, BFST_PSK_LEN, digest);
    char hex[2 * 8 + 1];
    bfst_hex(digest, 8, hex);
    snprintf(out->identity, sizeof out->identity, "kbfst1-%s", hex);
    return 0;
}

void bfst_psk_wipe(bfst_psk *psk)
{
    OPENSSL_cleanse(psk->key, sizeof psk->key);
}

SSL_CTX *bfst_tls_client_psk_ctx(bfst_psk_strength strength, char *why, size_t why_len)
{
    SSL_CTX *ctx = new_ctx(false, strength == BFST_PSK_AES128 ? PSK_SUITES_128 : PSK_SUITES_256, why, why_len);
    if (ctx != nullptr) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_psk_client_callback(ctx, client_psk_cb);
    }
    return ctx;
}

SSL_CTX *bfst_tls_client_cert_ctx(const char *ca, const char *cert, const char *key, const char *crl, char *why,
                                  size_t why_len)
{
    SSL_CTX *ctx = new_ctx(false, CERT_SUITES, why, why_len);
    if (ctx == nullptr)
        return nullptr;
    if (!load_material(ctx, ca, cert, key, crl, why, why_len)) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return ctx;
}

SSL_CTX *bfst_tls_server_psk_ctx(const std::vector<bfst_psk> *keys, char *why, size_t why_len)
{
    SSL_CTX *ctx = new_ctx(true, PSK_SUITES_SERVER, why, why_len);
    if (ctx == nullptr)
        return nullptr;
    SSL_CTX_set_dh_auto(ctx, 1);
    SSL_CTX_set_app_data(ctx, const_cast<std::vector<bfst_psk> *>(keys));
    SSL_CTX_set_psk_server_callback(ctx, server_psk_cb);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return ctx;
}

SSL_CTX *bfst_tls_server_cert_ctx(const char *dir, char *why, size_t why_len)
{
    SSL_CTX *ctx = new_ctx(true, CERT_SUITES, why, why_len);
    if (ctx == nullptr)
        return nullptr;
    std::string d = dir != nullptr ? dir : "";
    std::string ca = d + "/cacert.pem", cert = d + "/cert.pem", key = d + "/key.pem", crl = d + "/crl.pem";
    bool have_crl = readable_file(crl.c_str());
    if (!load_material(ctx, ca.c_str(), cert.c_str(), key.c_str(), have_crl ? crl.c_str() : nullptr, why,
                       why_len)) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(ca.c_str());
    if (names != nullptr)
        SSL_CTX_set_client_CA_list(ctx, names);
    ERR_clear_error();
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return ctx;
}
