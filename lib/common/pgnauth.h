// Client authentication on an MI session: the client fetches the server's
// authentication attribute and proves knowledge of the password with an MD5
// digest over a 128-byte block of password and attribute. The password never
// travels; only the user name and the digest do.
#pragma once

#include <cstddef>

struct ost_mi_client;

constexpr size_t PGNAUTH_BLOCK_SIZE = 128;
constexpr size_t PGNAUTH_PASSWORD_BYTES = 32;  // bytes 0..31: password, cut or zero-padded
constexpr size_t PGNAUTH_ATTR_OFFSET = 32;     // bytes 32..95: the 64-byte attribute
constexpr size_t PGNAUTH_DIGEST_SIZE = 16;

// The proof both sides compute: MD5 of the 128-byte block built from the
// password (null counts as empty) and the 64-byte attribute (null: zeros).
// The block is wiped before returning.
void pgnauth_digest(const char *password, const unsigned char *attr, unsigned char digest[PGNAUTH_DIGEST_SIZE]);

// Runs the exchange: MI_CONFIG_GET_AUTH_ATTR, then MI_AUTHENTICATE_CLIENT
// with credential kind 1, the user name and the digest. Returns 0, the send
// error of miSendRequest, the server's non-zero status, or 22 without a client.
// Digest and attribute are wiped from memory on every path.
int pgnauth_authenticate(ost_mi_client *cli, const char *user, const char *password);
