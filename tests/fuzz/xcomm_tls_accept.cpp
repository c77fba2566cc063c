// Hostile bytes into a server connection that has agreed on TLS: in place of
// the client's handshake (raw, inside a handshake record, or as the body of
// a ClientHello), or, after a real handshake, as the plaintext of the session
// where XCOMM frames belong. Nothing may crash, hang or leak, and the
// connection must end or wait, whatever arrives.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "datamover/xcomm.h"
#include "datamover/xcomm_ssl.h"
#include "tests/kes_net.h"

namespace {

void *g_server_ctx = nullptr;
SSL_CTX *g_client_ctx = nullptr;
std::string g_dir;

void cleanup()
{
    xcomm_ssl_ctx_free(g_server_ctx);
    SSL_CTX_free(g_client_ctx);
    if (!g_dir.empty())
        (void)system(("rm -rf '" + g_dir + "'").c_str());
}

void drain(int s)
{
    char buf[65536];
    while (recv(s, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void free_completed(xcomm_ctx *ctx, xcomm_endp *endp)
{
    for (;;) {
        xcomm_msg *m = nullptr;
        if (xcomm_endp_wait(ctx, endp, &m, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING) != 0 || m == nullptr)
            return;
        xcomm_msg_free(m);
    }
}

// A real client handshake against the endpoint on the other end of s,
// driven from this one thread. The session, or null.
SSL *client_handshake(xcomm_ctx *ctx, xcomm_endp *endp, int s)
{
    // Both ends are driven from here: the client must never wait.
    int fl = fcntl(s, F_GETFL);
    if (fl < 0 || fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0)
        return nullptr;
    SSL *ssl = SSL_new(g_client_ctx);
    if (ssl == nullptr || SSL_set_fd(ssl, s) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set_connect_state(ssl);
    struct timeval zero = {0, 0};
    for (int round = 0; round < 200; ++round) {
        int r = SSL_connect(ssl);
        if (r == 1)
            return ssl;
        int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
            break;
        if (xcomm_select(ctx, endp, &zero) == XCOMM_ERR_NOCONN)
            break;
    }
    SSL_free(ssl);
    ERR_clear_error();
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/kes-fuzz-tls.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    g_dir = tmpl;
    atexit(cleanup);
    std::string cmd = std::string(KES_SOURCE_DIR) + "/scripts/tls-setup.sh '" + g_dir + "/ca' >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0)
        abort();
    char why[512];
    std::string crl = g_dir + "/ca/appliance/crl.pem";
    if (xcomm_ssl_ctx_new((g_dir + "/ca/appliance").c_str(), crl.c_str(), 1, &g_server_ctx, why, sizeof why) != 0)
        abort();
    g_client_ctx = SSL_CTX_new(TLS_client_method());
    std::string client = g_dir + "/ca/client/";
    if (g_client_ctx == nullptr || SSL_CTX_set_max_proto_version(g_client_ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(g_client_ctx, "AES256-SHA256") != 1 ||
        SSL_CTX_use_certificate_file(g_client_ctx, (client + "cert.pem").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(g_client_ctx, (client + "key.pem").c_str(), SSL_FILETYPE_PEM) != 1)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int mode = data[0] % 4;
    ++data;
    --size;
    int sp[2];
    xcomm_ctx ctx{};
    xcomm_endp endp{};
    if (!kes_test::socketpair_endpoint(&ctx, &endp, 1, sp))
        return 0;
    const xcomm_endp_owner own = {.peek_sz = 40, .msgs_per_pass = 4};
    xcomm_endp_set_owner(&endp, &own);
    xcomm_ssl_use_ctx(&endp, g_server_ctx, 1);
    // The socket pair's peer has no IPv4 address: never 127.0.0.1, so the
    // negotiate decides for TLS.
    xcomm_endp_adopt_server(&ctx, &endp, sp[0]);
    xcomm_hdr neg = kes_test::client_connect_negotiate();
    neg.sz_l = XCOMM_CAP_TLS;
    neg.rpc_id = XCOMM_NEG_TLS;
    kes_test::send_hdr(sp[1], neg);
    struct timeval zero = {0, 0};
    xcomm_select(&ctx, &endp, &zero);
    // The reply was written within that pass; the wait only bounds a fault.
    unsigned char reply[XCOMM_HDR_SIZE];
    struct pollfd p = {sp[1], POLLIN, 0};
    bool negotiated = poll(&p, 1, 1000) == 1 &&
                      recv(sp[1], reply, sizeof reply, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof reply);

    std::string wire;
    SSL *client = nullptr;
    if (negotiated && mode == 3) {
        client = client_handshake(&ctx, &endp, sp[1]);
        if (client != nullptr && size > 0) {
            // The input is the session's plaintext: XCOMM frames or not.
            if (SSL_write(client, data, static_cast<int>(size)) <= 0)
                ERR_clear_error();
        }
    } else if (mode == 1 || mode == 2) {
        // Inside a handshake record (and for mode 2 a ClientHello message),
        // so that the parser gets past the record layer.
        std::string body(reinterpret_cast<const char *>(data), size);
        if (mode == 2) {
            size_t n = std::min<size_t>(body.size(), 0xFFFFFF);
            body = std::string{1, static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)} +
                   body.substr(0, n);
        }
        body.resize(std::min<size_t>(body.size(), 0x4000));
        wire = std::string{0x16, 0x03, 0x03, static_cast<char>(body.size() >> 8), static_cast<char>(body.size())} +
               body;
    } else {
        wire.assign(reinterpret_cast<const char *>(data), size);
    }
    size_t off = 0;
    for (int round = 0; round < 256; ++round) {
        if (off < wire.size()) {
            ssize_t w = send(sp[1], wire.data() + off, wire.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w > 0)
                off += static_cast<size_t>(w);
        } else if (off == wire.size()) {
            shutdown(sp[1], SHUT_WR);
            off = wire.size() + 1;
        }
        drain(sp[1]);
        int rc = xcomm_select(&ctx, &endp, &zero);
        free_completed(&ctx, &endp);
        if (rc == XCOMM_ERR_NOCONN || endp.active_fds.cnt == 0)
            break;
        if (rc == XCOMM_ERR_TIMEOUT && off > wire.size())
            break;
    }
    free_completed(&ctx, &endp);
    xcomm_ctx_shutdown(&ctx);
    SSL_free(client);
    ERR_clear_error();
    close(sp[1]);
    return 0;
}
