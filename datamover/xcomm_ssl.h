// TLS layer of the transport: TLS 1.2 with certificates on both sides, cipher
// AES256-SHA256 only, the peer's certificate verified against the CA file
// (and a revocation list when one is given).
//
// The decision to use TLS is taken in the connect negotiate, which always
// travels in clear; the handshake follows on the same socket. Sessions read
// and write through the socket without ever blocking (MSG_DONTWAIT, never
// SIGPIPE), so a server's handshake and every read or write that cannot go on
// returns to the readiness loop with EAGAIN and the other connections of the
// endpoint keep moving. A client's handshake runs inside its open (or
// reconnect), waiting for the peer at most the endpoint's negotiate limit.
//
// Sessions are used only under their endpoint's lock (or, during an open, by
// the opening thread alone).
#pragma once

#include <cstddef>
#include <platform_net.h>

#include "datamover/xcomm.h"

// Builds "<dir>/cacert.pem", "<dir>/cert.pem", "<dir>/key.pem" into the
// endpoint, sets TLS flags to XCOMM_TLS_CONFIGURED and verify mode 1.
// XCOMM_ERR_NOMEM when a path cannot be allocated.
int xcomm_ssl_set_cert_dir(const char *dir, xcomm_endp *endp);
// Names a revocation list the endpoint's context loads (peers whose
// certificates it revokes are refused). XCOMM_ERR_NOMEM, or 0.
int xcomm_ssl_set_crl(const char *path, xcomm_endp *endp);
// Frees the endpoint's TLS paths and its reference to its context.
void xcomm_ssl_endp_cleanup(xcomm_endp *endp);
// Creates the endpoint's TLS context from its paths. 0 or XCOMM_ERR_AUTH.
int xcomm_ssl_initialize_ctx(xcomm_endp *endp);

// A context shared by many endpoints (a server that serves every connection
// through an endpoint of its own loads its files once): made from the files
// of dir (and crl_path when not null) exactly as an endpoint's own. With
// server set the certificate must carry an RSA key, which the cipher's key
// exchange needs. 0; XCOMM_ERR_AUTH when a file is missing, unreadable or
// does not fit; XCOMM_ERR_NOSUP for a server certificate without an RSA key.
// The reason is logged and put into why.
int xcomm_ssl_ctx_new(const char *dir, const char *crl_path, int server, void **ctx_out, char *why, size_t why_len);
void xcomm_ssl_ctx_free(void *ctx);
// The endpoint takes a reference to ctx and has TLS configured (and required
// with required set), verify mode 1. 0 or XCOMM_ERR_ENDP.
int xcomm_ssl_use_ctx(xcomm_endp *endp, void *ctx, int required);

// Client handshake on a connected socket right after the negotiate reply,
// then the certificate checks. 0 or XCOMM_ERR_AUTH.
int xcomm_ssl_connect(xcomm_endp *endp, xcomm_fd *fd);
// Server handshake step: 0 complete, XCOMM_ERR_NOMSG to continue on the next
// readiness event (fd->ssl_want_write says whether writable), XCOMM_ERR_AUTH.
// The endpoint's tls_cb hears how it ended.
int xcomm_ssl_accept(xcomm_endp *endp, xcomm_fd *fd);
// Reads into / writes from the vector through the session, entry by entry,
// each entry filled or written whole before the next. Bytes moved; 0 when the
// peer has closed and nothing was read; or XCOMM_ERR_RCV / XCOMM_ERR_SEND with
// a socket error number in *err (EAGAIN when the call should be repeated on
// the next readiness event). flags: none are defined.
int xcomm_ssl_recvmsg(xcomm_endp *endp, xcomm_fd *fd, struct iovec *iov, int cnt, int flags, int *err);
int xcomm_ssl_sendmsg(xcomm_endp *endp, xcomm_fd *fd, const struct iovec *iov, int cnt, int flags, int *err);
// Bytes the session has decrypted and not yet handed out: the socket need
// not become readable again for them.
int xcomm_ssl_pending(const xcomm_fd *fd);
// Ends the session (closing handshake unless quiet) and clears fd->ssl.
void xcomm_ssl_shutdown(xcomm_fd *fd, int quiet);
// "TLSv1.2 AES256-SHA256, peer /CN=..." of an established session into buf.
char *xcomm_ssl_describe(const xcomm_fd *fd, char *buf, size_t len);

// Certificate checks after a client handshake: a peer certificate that
// verified; with verify mode 2 its own signature and, with a host name, its
// common name. 0 or XCOMM_ERR_AUTH.
int verify_cert(int verify_mode, void *ssl, const char *host);
