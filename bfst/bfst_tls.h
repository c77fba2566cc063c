// TLS material of the BFST protocol, shared by the transfer library and the
// appliance. Every context speaks TLS 1.2 only, without session resumption.
//
// Pre-shared keys. A password credential keys the session with
// PBKDF2-HMAC-SHA256(password, "KESTRALON BFST PSK v1", 10000 rounds), 32
// bytes; the TLS identity is "kbfst1-" and the first 16 hex digits of the
// SHA-256 of that key, so the appliance can find the key among those it
// accepts without the password crossing the wire. The suites are ephemeral
// Diffie-Hellman with the key (DHE-PSK, AES-GCM), so a recorded session
// cannot be read later even by someone who learns the password.
//
// Certificates. Both sides present a certificate and verify the other's
// chain against their CA file, with the revocation list when one is given.
// The appliance's name is not matched against its certificate: the CA is
// the appliance's own and trust comes from holding a certificate it signed.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <vector>

constexpr size_t BFST_PSK_LEN = 32;
constexpr size_t BFST_PSK_ID_MAX = 32;

struct bfst_psk {
    unsigned char key[BFST_PSK_LEN] = {};
    char identity[BFST_PSK_ID_MAX] = {};
};

// Derives the key and identity of a password. 0 or -1.
int bfst_psk_derive(const char *password, bfst_psk *out);
// Overwrites a key with zeros.
void bfst_psk_wipe(bfst_psk *psk);

// TLS suites of a pre-shared key: 256-bit or 128-bit AES.
enum bfst_psk_strength { BFST_PSK_AES256, BFST_PSK_AES128 };

// Client context for a pre-shared key; each session's app data must point
// at its bfst_psk. Null with a reason in why on failure.
SSL_CTX *bfst_tls_client_psk_ctx(bfst_psk_strength strength, char *why, size_t why_len);

// Client context with certificates: CA file, certificate (chain) file, key
// file, and an optional revocation list (crl may be null). Null with a
// reason naming the file on failure.
SSL_CTX *bfst_tls_client_cert_ctx(const char *ca, const char *cert, const char *key, const char *crl, char *why,
                                  size_t why_len);

// Server context accepting the keys of a list (which must outlive it and is
// found through the context's app data).
SSL_CTX *bfst_tls_server_psk_ctx(const std::vector<bfst_psk> *keys, char *why, size_t why_len);

// Server context from a directory holding cacert.pem, cert.pem, key.pem and
// optionally crl.pem; clients must present a certificate the CA signed.
SSL_CTX *bfst_tls_server_cert_ctx(const char *dir, char *why, size_t why_len);
