// TLS layer of the transport. This build carries the seams only: the
// endpoint's certificate paths and flags are kept and advertised in the
// connect negotiate, but no TLS session can be established yet; every
// handshake fails with XCOMM_ERR_AUTH and says so in the log.
#pragma once

#include <sys/uio.h>

#include "datamover/xcomm.h"

// Builds "<dir>/cacert.pem", "<dir>/cert.pem", "<dir>/key.pem" into the
// endpoint, sets TLS flags to XCOMM_TLS_CONFIGURED and verify mode 1.
// XCOMM_ERR_NOMEM when a path cannot be allocated.
int xcomm_ssl_set_cert_dir(const char *dir, xcomm_endp *endp);
// Frees the endpoint's TLS paths and context.
void xcomm_ssl_endp_cleanup(xcomm_endp *endp);
// Creates the endpoint's TLS context. 0 or XCOMM_ERR_AUTH.
int xcomm_ssl_initialize_ctx(xcomm_endp *endp);
// Client handshake on a connected socket. 0 or XCOMM_ERR_AUTH.
int xcomm_ssl_connect(xcomm_endp *endp, xcomm_fd *fd);
// Server handshake step: 0 complete, XCOMM_ERR_NOMSG to continue later, XCOMM_ERR_AUTH.
int xcomm_ssl_accept(xcomm_endp *endp, xcomm_fd *fd);
// Reads into / writes from the vector through the session. Bytes moved, or
// XCOMM_ERR_RCV / XCOMM_ERR_SEND with a socket error number in *err
// (EAGAIN when the call should be repeated on the next readiness event).
int xcomm_ssl_recvmsg(xcomm_endp *endp, xcomm_fd *fd, struct iovec *iov, int cnt, int flags, int *err);
int xcomm_ssl_sendmsg(xcomm_endp *endp, xcomm_fd *fd, const struct iovec *iov, int cnt, int flags, int *err);
// Ends the session (closing handshake unless quiet) and clears fd->ssl.
void xcomm_ssl_shutdown(xcomm_fd *fd, int quiet);
