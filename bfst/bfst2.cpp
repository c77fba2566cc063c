// The transfer library: start and stop, error texts, credentials, buffers
// and tag texts. Connections and sessions are in bfst2_conn.cpp, stores in
// bfst2_store.cpp; the wire protocol is described in bfst_proto.h.
#include "bfst/bfst2_int.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::mutex g_lock;
int g_init_count = 0;

struct CodeText {
    int code;
    const char *text;
};

constexpr CodeText kTexts[] = {
    {BFST2_OK, "success"},
    {BFST2_ERR_NOSPACE, "no space left on the appliance"},
    {BFST2_ERR_QUOTA, "storage quota exceeded on the appliance"},
    {BFST2_ERR_SERVER_BUSY, "the appliance has reached its maximum client connections"},
    {BFST2_ERR_VSERVER_BUSY, "the virtual appliance has reached its maximum client connections"},
    {BFST2_ERR_PROTOCOL, "protocol error talking to the appliance"},
    {BFST2_ERR_AUTH, "authentication with the appliance failed"},
    {BFST2_ERR_ABORTED, "operation aborted"},
    {BFST2_ERR_NOT_INITIALIZED, "the transfer library is not initialized"},
    {BFST2_ERR_NOT_FOUND, "not found on the appliance"},
    {BFST2_ERR_NOMEM, "out of memory"},
    {BFST2_ERR_INVALID_ARG, "invalid argument"},
    {BFST2_ERR_NOT_AVAILABLE, "not supported by this appliance or transfer library"},
};

// Buffer objects come from a small static pool, so the data path, which
// creates and destroys one per store call, allocates nothing; more at once
// than the pool holds come from the heap.
constexpr size_t BUFFER_POOL = 64;
bfst2_buffer g_buffers[BUFFER_POOL];
bool g_buffer_used[BUFFER_POOL];
std::mutex g_buffer_lock;

bfst2_buffer *buffer_take()
{
    {
        std::lock_guard<std::mutex> g(g_buffer_lock);
        for (size_t i = 0; i < BUFFER_POOL; ++i) {
            if (!g_buffer_used[i]) {
                g_buffer_used[i] = true;
                g_buffers[i] = bfst2_buffer{};
                return &g_buffers[i];
            }
        }
    }
    return new (std::nothrow) bfst2_buffer;
}

void buffer_give(bfst2_buffer *b)
{
    b->magic = BFST2_MAGIC_DEAD;
    if (b >= g_buffers && b < g_buffers + BUFFER_POOL) {
        std::lock_guard<std::mutex> g(g_buffer_lock);
        g_buffer_used[b - g_buffers] = false;
        return;
    }
    delete b;
}

}  // namespace

void bfst2_err_clear(char **err)
{
    if (err != nullptr)
        *err = nullptr;
}

int bfst2_fail(char **err, int code, const char *fmt, ...)
{
    if (err != nullptr) {
        char text[512];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        *err = strdup(text);
    }
    return code;
}

bool bfst2_initialized()
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_init_count > 0;
}

extern "C" {

int bfst2_initialize(const char *application, char **err)
{
    bfst2_err_clear(err);
    if (application == nullptr || *application == '\0')
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_initialize: no application name");
    std::lock_guard<std::mutex> g(g_lock);
    g_init_count++;
    return BFST2_OK;
}

int bfst2_finalize(char **err)
{
    bfst2_err_clear(err);
    std::lock_guard<std::mutex> g(g_lock);
    if (g_init_count == 0)
        return bfst2_fail(err, BFST2_ERR_NOT_INITIALIZED, "bfst2_finalize: the library was not initialized");
    g_init_count--;
    return BFST2_OK;
}

const char *bfst2_strerror(int code)
{
    for (const auto &t : kTexts)
        if (t.code == code)
            return t.text;
    return "unknown transfer library error";
}

void bfst2_free_error_string(char *text) { free(text); }

// ---------------------------------------------------------------- credentials

int bfst2_credential_create_password(uint32_t cipher, const char *password, uint32_t, bfst2_credential **out,
                                     char **err)
{
    bfst2_err_clear(err);
    if (out == nullptr || password == nullptr || *password == '\0')
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_credential_create_password: no password or result");
    *out = nullptr;
    if (!bfst2_initialized())
        return bfst2_fail(err, BFST2_ERR_NOT_INITIALIZED,
                          "bfst2_credential_create_password: call bfst2_initialize first");
    if (cipher != BFST2_CIPHER_NONE && cipher != BFST2_CIPHER_AES128 && cipher != BFST2_CIPHER_AES256)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG,
                          "bfst2_credential_create_password: cipher code 0x%X is not one for a password",
                          unsigned(cipher));
    auto *c = new (std::nothrow) bfst2_credential;
    if (c == nullptr)
        return bfst2_fail(err, BFST2_ERR_NOMEM, "bfst2_credential_create_password: out of memory");
    char why[256] = "";
    c->ctx = bfst_tls_client_psk_ctx(cipher == BFST2_CIPHER_AES128 ? BFST_PSK_AES128 : BFST_PSK_AES256, why,
                                     sizeof why);
    if (c->ctx == nullptr || bfst_psk_derive(password, &c->psk) != 0) {
        SSL_CTX_free(c->ctx);
        delete c;
        return bfst2_fail(err, BFST2_ERR_NOMEM, "bfst2_credential_create_password: %s",
                          why[0] != '\0' ? why : "cannot derive the key");
    }
    *out = c;
    return BFST2_OK;
}

int bfst2_credential_create_certificate_files(uint32_t cipher, uint32_t kind, const char *ca_file,
                                              const char *cert_file, const char *key_file, const char *crl_file,
                                              uint32_t, bfst2_credential **out, char **err)
{
    bfst2_err_clear(err);
    if (out == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_credential_create_certificate_files: no result");
    *out = nullptr;
    if (!bfst2_initialized())
        return bfst2_fail(err, BFST2_ERR_NOT_INITIALIZED,
                          "bfst2_credential_create_certificate_files: call bfst2_initialize first");
    if (cipher != BFST2_CIPHER_CERT || kind != BFST2_CERT_KIND_PEM)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG,
                          "bfst2_credential_create_certificate_files: cipher 0x%X / kind 0x%X are not PEM certificates",
                          unsigned(cipher), unsigned(kind));
    char why[320] = "";
    SSL_CTX *ctx = bfst_tls_client_cert_ctx(ca_file, cert_file, key_file, crl_file, why, sizeof why);
    if (ctx == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "certificate material: %s", why);
    auto *c = new (std::nothrow) bfst2_credential;
    if (c == nullptr) {
        SSL_CTX_free(ctx);
        return bfst2_fail(err, BFST2_ERR_NOMEM, "bfst2_credential_create_certificate_files: out of memory");
    }
    c->cert = true;
    c->ctx = ctx;
    *out = c;
    return BFST2_OK;
}

int bfst2_credential_destroy(bfst2_credential *cred, uint32_t, char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(cred))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_credential_destroy: not a credential");
    // Connections made with it hold their own references.
    SSL_CTX_free(cred->ctx);
    bfst_psk_wipe(&cred->psk);
    cred->magic = BFST2_MAGIC_DEAD;
    delete cred;
    return BFST2_OK;
}

// ---------------------------------------------------------------- buffers

int bfst2_buffer_create(uint32_t, bfst2_buffer **out, char **err)
{
    bfst2_err_clear(err);
    if (out == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_buffer_create: no result");
    *out = buffer_take();
    if (*out == nullptr)
        return bfst2_fail(err, BFST2_ERR_NOMEM, "bfst2_buffer_create: out of memory");
    return BFST2_OK;
}

int bfst2_buffer_attach_memory(bfst2_buffer *buffer, void *memory, uint64_t length, uint32_t, char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(buffer) || (memory == nullptr && length != 0))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_buffer_attach_memory: no buffer or no memory");
    // The caller's bytes are referred to, never copied.
    buffer->mem = memory;
    buffer->len = length;
    return BFST2_OK;
}

int bfst2_buffer_destroy(bfst2_buffer *buffer, uint32_t, char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(buffer))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_buffer_destroy: not a buffer");
    buffer_give(buffer);
    return BFST2_OK;
}

// ---------------------------------------------------------------- tags

int bfst2_tag_to_ascii(const unsigned char *tag, char *text, uint32_t size, char **err)
{
    bfst2_err_clear(err);
    if (tag == nullptr || text == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_tag_to_ascii: no tag or no text buffer");
    uint32_t n = tag[0];
    if (n == 0 || n > BFST_MAX_TAG_LEN)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_tag_to_ascii: the tag announces %u bytes", unsigned(n));
    if (size < 2 * n + 1)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_tag_to_ascii: a %u-byte tag needs %u bytes of text",
                          unsigned(n), unsigned(2 * n + 1));
    bfst_hex(tag + 1, n, text);
    return BFST2_OK;
}

}  // extern "C"
