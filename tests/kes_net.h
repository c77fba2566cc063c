// Loopback sockets and hand-built transport headers, for tests that play a
// peer byte by byte or need a port where nothing listens.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "datamover/xcomm.h"

namespace kes_test {

inline sockaddr_in loopback_addr(int port, const char *ip = "127.0.0.1")
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A socket listening on a free port of ip (its number in *port), or -1.
inline int listen_loopback(int backlog, int *port, const char *ip = "127.0.0.1")
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in a = loopback_addr(0, ip);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(s);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return s;
}

// A port of 127.0.0.1 that was free a moment ago and has nothing listening
// on it: connects to it are refused. 0 if none could be had.
inline int unused_loopback_port()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    sockaddr_in a = loopback_addr(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// A plain TCP connection to port of ip, or -1.
inline int raw_connect(int port, const char *ip = "127.0.0.1")
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in a = loopback_addr(port, ip);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The connect negotiate of a client that asks for neither reconnection nor
// TLS, speaking the given version.
inline xcomm_hdr client_connect_negotiate(uint32_t version = XCOMM_VERSION)
{
    xcomm_hdr h{};
    h.type = XCOMM_MSG_NEGOTIATE;
    h.sz_u = XCOMM_NEG_CONNECT;
    h.rpc_id = XCOMM_NEG_PLAIN;
    h.msg_id = 0xFFFF;
    h.gen_no = version;
    return h;
}

// A server's plain answer to a connect (kind XCOMM_NEG_CONNECT) or reconnect
// (XCOMM_NEG_RECONNECT) negotiate: the reconnect key and object it grants,
// its next send number and, for a reconnect, its next receive number. A fresh
// record answering a reconnect has made no TLS decision: rpc_id 0.
inline xcomm_hdr server_negotiate_reply(uint8_t kind, uint16_t key, uint64_t object, uint32_t seq_no,
                                        uint32_t gen_no = XCOMM_VERSION)
{
    xcomm_hdr h{};
    h.type = XCOMM_MSG_NEGOTIATE;
    h.sz_u = kind;
    h.sz_l = key;
    h.rpc_id = kind == XCOMM_NEG_CONNECT ? XCOMM_NEG_PLAIN : 0;
    h.seq_no = seq_no;
    h.gen_no = gen_no;
    h.tag = object;
    return h;
}

// Writes the header's 24 wire bytes. True when all went out.
inline bool send_hdr(int sock, const xcomm_hdr &h)
{
    unsigned char b[XCOMM_HDR_SIZE];
    xcomm_hdr_encode(&h, b);
    return send(sock, b, sizeof b, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof b);
}

// A context with one endpoint of `streams` connections and a connected
// socket pair (sp[0] for the endpoint to adopt, sp[1] for the test's peer).
// False, with nothing left open, when either cannot be made.
inline bool socketpair_endpoint(xcomm_ctx *ctx, xcomm_endp *endp, int streams, int sp[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp) != 0)
        return false;
    if (xcomm_ctx_init(ctx) == 0 &&
        xcomm_endp_init(ctx, endp, "", streams, 8, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS) == 0)
        return true;
    close(sp[0]);
    close(sp[1]);
    if (ctx->lock != nullptr)
        xcomm_ctx_shutdown(ctx);
    return false;
}

}  // namespace kes_test
