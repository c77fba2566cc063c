// TLS seams of the transport. Sessions are not available in this build: the
// endpoint keeps its certificate paths and advertises the capability, and
// every handshake fails plainly instead of pretending.
#include "datamover/xcomm_ssl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr const char *SRC = "xcomm";
constexpr size_t PATH_SZ = 1024;

char *make_path(const char *dir, const char *file)
{
    char *p = static_cast<char *>(malloc(PATH_SZ));
    if (p != nullptr)
        snprintf(p, PATH_SZ, "%s/%s", dir, file);
    return p;
}
}  // namespace

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
    endp->verify_mode = 1;
    return 0;
}

void xcomm_ssl_endp_cleanup(xcomm_endp *endp)
{
    free(endp->ca_path);
    free(endp->cert_path);
    free(endp->key_path);
    free(endp->crl_path);
    endp->ca_path = endp->cert_path = endp->key_path = endp->crl_path = nullptr;
    endp->ssl_ctx = nullptr;
}

int xcomm_ssl_initialize_ctx(xcomm_endp *endp)
{
    ULOG_ERROR(SRC, "%s: TLS is not available in this build\n", endp->rname);
    return XCOMM_ERR_AUTH;
}

int xcomm_ssl_connect(xcomm_endp *endp, xcomm_fd *)
{
    ULOG_ERROR(SRC, "%s: TLS is not available in this build\n", endp->rname);
    return XCOMM_ERR_AUTH;
}

int xcomm_ssl_accept(xcomm_endp *endp, xcomm_fd *)
{
    ULOG_ERROR(SRC, "%s: TLS is not available in this build\n", endp->rname);
    return XCOMM_ERR_AUTH;
}

int xcomm_ssl_recvmsg(xcomm_endp *, xcomm_fd *, struct iovec *, int, int, int *err)
{
    if (err != nullptr)
        *err = EINVAL;
    return XCOMM_ERR_RCV;
}

int xcomm_ssl_sendmsg(xcomm_endp *, xcomm_fd *, const struct iovec *, int, int, int *err)
{
    if (err != nullptr)
        *err = EINVAL;
    return XCOMM_ERR_SEND;
}

void xcomm_ssl_shutdown(xcomm_fd *fd, int)
{
    if (fd != nullptr)
        fd->ssl = nullptr;
}
