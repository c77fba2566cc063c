// TLS contexts of the transport: a context from a certificate directory
// (CA, certificate, key and an optional revocation list), shared contexts
// for servers, and the checks of a peer's certificate after a handshake.
#include "datamover/xcomm_ssl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "datamover/xcomm_ssl_int.h"

namespace {

constexpr const char *SRC = "xcomm";
constexpr size_t PATH_SZ = 1024;
constexpr const char *CIPHERS = "AES256-SHA256";
// A session's read buffer: room for several full records, so that one recv
// takes in what a large message has waiting on the socket.
constexpr size_t READ_AHEAD_LEN = 128 * 1024;

char *make_path(const char *dir, const char *file)
{
    char *p = static_cast<char *>(malloc(PATH_SZ));
    if (p != nullptr)
        snprintf(p, PATH_SZ, "%s/%s", dir, file);
    return p;
}

// Context creation: each queued error as "%s: (%s) err=%d:%s\n" (function,
// file, reason code, text).
void log_ctx_errors()
{
    const char *file = nullptr, *func = nullptr, *data = nullptr;
    int line = 0, flags = 0;
    unsigned long e;
    while ((e = ERR_get_error_all(&file, &line, &func, &data, &flags)) != 0) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        ULOG_ERROR(SRC, "%s: (%s) err=%d:%s\n", func != nullptr ? func : "?", file != nullptr ? file : "?",
                   static_cast<int>(ERR_GET_REASON(e)), text);
    }
}

// A key file with a pass phrase is refused, never asked about on a terminal.
int no_passphrase(char *, int, int, void *) { return 0; }

// ---------------------------------------------------------------- contexts

// OpenSSL decodes a certificate's extensions (key identifiers, constraints)
// on first use and checks whether that happened without taking the
// certificate's lock. A context shared by the threads of many connections
// would have its CA certificates decoded by whichever handshake comes first
// while others read them; decoding them here, before any handshake, leaves
// the handshakes nothing to write.
void cache_cert_extensions(SSL_CTX *ctx)
{
    if (X509 *own = SSL_CTX_get0_certificate(ctx); own != nullptr)
        X509_check_purpose(own, -1, 0);
    X509_STORE *store = SSL_CTX_get_cert_store(ctx);
    STACK_OF(X509_OBJECT) *objs = store != nullptr ? X509_STORE_get0_objects(store) : nullptr;
    for (int i = 0; objs != nullptr && i < sk_X509_OBJECT_num(objs); ++i)
        if (X509 *x = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objs, i)); x != nullptr)
            X509_check_purpose(x, -1, 0);
    ERR_clear_error();
}

struct ctx_paths {
    const char *ca;
    const char *cert;
    const char *key;
    const char *crl;
};

// Every failure frees the context, logs the reason and leaves it in why.
int build_ctx(const char *who, const ctx_paths &p, bool server, SSL_CTX **out, char *why, size_t why_len)
{
    *out = nullptr;
    char reason[PATH_SZ + 128] = "";
    int rc = xcomm_ssl_startup();
    if (rc != 0) {
        util_strlcpy(why, "TLS cannot be set up in this process", why_len);
        return rc;
    }
    ERR_clear_error();
    SSL_CTX *ctx = nullptr;
    auto fail = [&](int code) {
        log_ctx_errors();
        ULOG_ERROR(SRC, "%s", reason);
        if (why != nullptr && why_len != 0) {
            util_strlcpy(why, reason, why_len);
            size_t n = strlen(why);
            if (n > 0 && why[n - 1] == '\n')
                why[n - 1] = '\0';
        }
        if (ctx != nullptr)
            SSL_CTX_free(ctx);
        return code;
    };
    // Only TLS 1.2 is offered or accepted.
    ctx = SSL_CTX_new(TLS_method());
    if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1) {
        snprintf(reason, sizeof reason, "SSL_CTX_new TLSv1_2_method failed\n");
        return fail(XCOMM_ERR_AUTH);
    }
    if (SSL_CTX_set_cipher_list(ctx, CIPHERS) != 1) {
        snprintf(reason, sizeof reason, "SSL_CTX_set_cipher_list failed\n");
        return fail(XCOMM_ERR_AUTH);
    }
    // Every connection makes a full handshake, so every peer certificate is
    // checked against the CA and the revocation list as they are now; and
    // nobody renegotiates under a running connection.
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // Sessions read ahead into a buffer of several records (see bio_sock).
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, READ_AHEAD_LEN);
    SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);

    if (p.cert == nullptr) {
        snprintf(reason, sizeof reason, "%s: SSL certificate file not specified\n", who);
        return fail(XCOMM_ERR_AUTH);
    }
    if (SSL_CTX_use_certificate_file(ctx, p.cert, SSL_FILETYPE_PEM) != 1) {
        snprintf(reason, sizeof reason, "%s: Can't read SSL certificate file %s\n", who, p.cert);
        return fail(XCOMM_ERR_AUTH);
    }
    if (p.key == nullptr) {
        snprintf(reason, sizeof reason, "%s: SSL key file not specified\n", who);
        return fail(XCOMM_ERR_AUTH);
    }
    // The key is read first and compared with the certificate second, so a
    // key that cannot be read and one that belongs to another certificate
    // are told apart.
    EVP_PKEY *pkey = nullptr;
    if (BIO *kb = BIO_new(BIO_s_file()); kb != nullptr) {
        if (BIO_read_filename(kb, p.key) == 1)
            pkey = PEM_read_bio_PrivateKey(kb, nullptr, no_passphrase, nullptr);
        BIO_free(kb);
    }
    if (pkey == nullptr) {
        snprintf(reason, sizeof reason, "%s: Can't read SSL keyfile %s\n", who, p.key);
        return fail(XCOMM_ERR_AUTH);
    }
    X509 *own = SSL_CTX_get0_certificate(ctx);
    bool match = own != nullptr && X509_check_private_key(own, pkey) == 1;
    bool used = match && SSL_CTX_use_PrivateKey(ctx, pkey) == 1;
    EVP_PKEY_free(pkey);
    if (!match || !used || SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        snprintf(reason, sizeof reason, "%s: SSL Key and Certificate don't match\n", who);
        return fail(XCOMM_ERR_AUTH);
    }
    if (server && EVP_PKEY_get_base_id(X509_get0_pubkey(own)) != EVP_PKEY_RSA) {
        snprintf(reason, sizeof reason,
                 "%s: SSL certificate %s has no RSA key; the cipher %s needs one on the server\n", who, p.cert,
                 CIPHERS);
        return fail(XCOMM_ERR_NOSUP);
    }
    if (p.crl != nullptr) {
        BIO *b = BIO_new(BIO_s_file());
        if (b == nullptr) {
            snprintf(reason, sizeof reason, "%s: BIO_new failed\n", who);
            return fail(XCOMM_ERR_AUTH);
        }
        X509_CRL *crl = nullptr;
        X509_STORE *store = nullptr;
        if (BIO_read_filename(b, p.crl) != 1)
            snprintf(reason, sizeof reason, "%s: BIO_read_filename %s failed\n", who, p.crl);
        else if ((store = SSL_CTX_get_cert_store(ctx)) == nullptr)
            snprintf(reason, sizeof reason, "%s: SSL_CTX_get_cert_store %s failed\n", who, p.crl);
        else if ((crl = PEM_read_bio_X509_CRL(b, nullptr, no_passphrase, nullptr)) == nullptr)
            snprintf(reason, sizeof reason, "%s: PEM_read_bio_X509_CRL %s failed\n", who, p.crl);
        else if (X509_STORE_add_crl(store, crl) != 1)
            snprintf(reason, sizeof reason, "%s: X509_STORE_add_crl %s failed\n", who, p.crl);
        X509_CRL_free(crl);
        BIO_free(b);
        if (reason[0] != '\0')
            return fail(XCOMM_ERR_AUTH);
        X509_VERIFY_PARAM *param = X509_VERIFY_PARAM_new();
        if (param == nullptr) {
            snprintf(reason, sizeof reason, "%s: X509_VERIFY_PARAM_new %s failed\n", who, p.crl);
            return fail(XCOMM_ERR_AUTH);
        }
        bool set = X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_CRL_CHECK) == 1 && SSL_CTX_set1_param(ctx, param) == 1;
        X509_VERIFY_PARAM_free(param);
        if (!set) {
            snprintf(reason, sizeof reason, "%s: X509_VERIFY_PARAM_set_flags %s failed\n", who, p.crl);
            return fail(XCOMM_ERR_AUTH);
        }
    }
    if (p.ca == nullptr) {
        snprintf(reason, sizeof reason, "%s: SSL CA certificate not specified\n", who);
        return fail(XCOMM_ERR_AUTH);
    }
    if (SSL_CTX_load_verify_locations(ctx, p.ca, nullptr) != 1) {
        snprintf(reason, sizeof reason, "%s: Can't read SSL CA certificate %s\n", who, p.ca);
        return fail(XCOMM_ERR_AUTH);
    }
    cache_cert_extensions(ctx);
    ULOG_DEBUG_IF(SRC, "SSL TLS ctx initialized OK\n");
    *out = ctx;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- paths and contexts

int xcomm_ssl_set_cert_dir(const char *dir, xcomm_endp *endp)
{
    if (dir == nullptr || endp == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: dir(%p), endp(%p)\n", static_cast<const void *>(dir),
                   static_cast<void *>(endp));
        return XCOMM_ERR_ENDP;
    }
    char *ca = make_path(dir, "cacert.pem");
    char *cert = make_path(dir, "cert.pem");
    char *key = make_path(dir, "key.pem");
    if (ca == nullptr || cert == nullptr || key == nullptr) {
        free(ca);
        free(cert);
        free(key);
        return XCOMM_ERR_NOMEM;
    }
    free(endp->ca_path);
    free(endp->cert_path);
    free(endp->key_path);
    endp->ca_path = ca;
    endp->cert_path = cert;
    endp->key_path = key;
    endp->tls_flags = XCOMM_TLS_CONFIGURED;
    endp->verify_mode = XCOMM_TLS_VERIFY_PEER;
    return 0;
}

int xcomm_ssl_set_crl(const char *path, xcomm_endp *endp)
{
    if (path == nullptr || endp == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: path(%p), endp(%p)\n", static_cast<const void *>(path),
                   static_cast<void *>(endp));
        return XCOMM_ERR_ENDP;
    }
    char *p = static_cast<char *>(malloc(PATH_SZ));
    if (p == nullptr)
        return XCOMM_ERR_NOMEM;
    util_strlcpy(p, path, PATH_SZ);
    free(endp->crl_path);
    endp->crl_path = p;
    return 0;
}

void xcomm_ssl_endp_cleanup(xcomm_endp *endp)
{
    free(endp->ca_path);
    free(endp->cert_path);
    free(endp->key_path);
    free(endp->crl_path);
    endp->ca_path = endp->cert_path = endp->key_path = endp->crl_path = nullptr;
    if (endp->ssl_ctx != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX *>(endp->ssl_ctx));
    endp->ssl_ctx = nullptr;
}

int xcomm_ssl_initialize_ctx(xcomm_endp *endp)
{
    if (endp == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: endp(NULL)\n");
        return XCOMM_ERR_ENDP;
    }
    SSL_CTX *ctx = nullptr;
    ctx_paths p = {endp->ca_path, endp->cert_path, endp->key_path, endp->crl_path};
    int rc = build_ctx(endp->rname, p, false, &ctx, nullptr, 0);
    if (rc != 0)
        return XCOMM_ERR_AUTH;
    if (endp->ssl_ctx != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX *>(endp->ssl_ctx));
    endp->ssl_ctx = ctx;
    return 0;
}

int xcomm_ssl_ctx_new(const char *dir, const char *crl_path, int server, void **ctx_out, char *why, size_t why_len)
{
    if (dir == nullptr || ctx_out == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: dir(%p), ctx_out(%p)\n", static_cast<const void *>(dir),
                   static_cast<void *>(ctx_out));
        return XCOMM_ERR_ENDP;
    }
    char ca[PATH_SZ], cert[PATH_SZ], key[PATH_SZ];
    snprintf(ca, sizeof ca, "%s/cacert.pem", dir);
    snprintf(cert, sizeof cert, "%s/cert.pem", dir);
    snprintf(key, sizeof key, "%s/key.pem", dir);
    SSL_CTX *ctx = nullptr;
    int rc = build_ctx(dir, ctx_paths{ca, cert, key, crl_path}, server != 0, &ctx, why, why_len);
    *ctx_out = ctx;
    return rc;
}

void xcomm_ssl_ctx_free(void *ctx)
{
    if (ctx != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX *>(ctx));
}

int xcomm_ssl_use_ctx(xcomm_endp *endp, void *ctx, int required)
{
    if (endp == nullptr || ctx == nullptr || SSL_CTX_up_ref(static_cast<SSL_CTX *>(ctx)) != 1)
        return XCOMM_ERR_ENDP;
    if (endp->ssl_ctx != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX *>(endp->ssl_ctx));
    endp->ssl_ctx = ctx;
    endp->tls_flags = XCOMM_TLS_CONFIGURED | (required ? XCOMM_TLS_REQUIRED : 0);
    endp->verify_mode = XCOMM_TLS_VERIFY_PEER;
    return 0;
}

// ---------------------------------------------------------------- certificate checks

int verify_cert(int verify_mode, void *ssl_p, const char *host)
{
    SSL *ssl = static_cast<SSL *>(ssl_p);
    const char *who = "verify_cert";
    X509 *cert = SSL_get1_peer_certificate(ssl);
    if (cert == nullptr) {
        ULOG_ERROR(SRC, "%s: unable to get peer certificate\n", who);
        return XCOMM_ERR_AUTH;
    }
    EVP_PKEY *pkey = nullptr;
    int rc = 0;
    long vr = SSL_get_verify_result(ssl);
    if (vr != X509_V_OK) {
        ULOG_ERROR(SRC, "%s: Certificate doesn't verify: %d:%s\n", who, static_cast<int>(vr),
                   X509_verify_cert_error_string(vr));
        rc = XCOMM_ERR_AUTH;
    }
    if (rc == 0 && verify_mode == XCOMM_TLS_VERIFY_STRICT) {
        pkey = X509_get_pubkey(cert);
        int r = pkey != nullptr ? X509_verify(cert, pkey) : -1;
        if (r != 1) {
            ULOG_ERROR(SRC, "%s: invalid signature on certificate, ret=%d\n", who, r);
            rc = XCOMM_ERR_AUTH;
        }
    }
    if (rc == 0) {
        char subject[256], issuer[256], cn[256] = "";
        X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
        X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer);
        ULOG_DEBUG_IF(SRC, "%s: subject=%s\n", who, subject);
        ULOG_DEBUG_IF(SRC, "%s: issuer=%s\n", who, issuer);
        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
        if (host != nullptr && strcasecmp(cn, host) != 0) {
            ULOG_ERROR(SRC, "%s: Common name (%s) doesn't match host name (%s)\n", who, cn, host);
            if (verify_mode == XCOMM_TLS_VERIFY_STRICT)
                rc = XCOMM_ERR_AUTH;
        } else {
            ULOG_DEBUG_IF(SRC, "%s: Certificate Common Name (%s)\n", who, cn);
        }
    }
    if (rc == 0 && util_debug_enabled()) {
        char start[64] = "", end[64] = "";
        if (BIO *mb = BIO_new(BIO_s_mem()); mb != nullptr) {
            if (ASN1_TIME_print(mb, X509_get0_notBefore(cert)) == 1) {
                int n = BIO_read(mb, start, sizeof start - 1);
                start[n > 0 ? n : 0] = '\0';
            }
            (void)BIO_reset(mb);
            if (ASN1_TIME_print(mb, X509_get0_notAfter(cert)) == 1) {
                int n = BIO_read(mb, end, sizeof end - 1);
                end[n > 0 ? n : 0] = '\0';
            }
            BIO_free(mb);
        }
        ULOG_DEBUG(SRC, "%s: startdate=\"%s\", enddate=\"%s\"\n", who, start, end);
    }
    EVP_PKEY_free(pkey);
    X509_free(cert);
    ERR_clear_error();
    return rc;
}
