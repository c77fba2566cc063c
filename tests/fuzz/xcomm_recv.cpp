// Arbitrary bytes from a peer into the transport's receive path, in the
// server role (with and without a proper connect negotiate first) and in the
// client role with a request waiting for its answer. Nothing may crash, hang
// or leak, whatever arrives.
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "datamover/xcomm.h"
#include "tests/kes_net.h"

namespace {

void drain(int s)
{
    char buf[65536];
    while (recv(s, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void free_completed(xcomm_ctx *ctx, xcomm_endp *endp, xcomm_msg **req)
{
    for (;;) {
        xcomm_msg *m = nullptr;
        if (xcomm_endp_wait(ctx, endp, &m, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING) != 0 || m == nullptr)
            return;
        if (m == *req)
            *req = nullptr;
        if (m->rmsg != nullptr)
            xcomm_msg_free(m->rmsg);
        xcomm_msg_free(m);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int mode = data[0] % 3;
    ++data;
    --size;
    int sp[2];
    xcomm_ctx ctx{};
    xcomm_endp endp{};
    if (!kes_test::socketpair_endpoint(&ctx, &endp, 2, sp))
        return 0;
    const xcomm_endp_owner own = {.peek_sz = 36, .msgs_per_pass = 4, .reconnect = XCOMM_RECONNECT_OFF};
    xcomm_endp_set_owner(&endp, &own);
    xcomm_msg *req = nullptr;
    if (mode < 2) {
        xcomm_endp_adopt_server(&ctx, &endp, sp[0]);
        if (mode == 1)
            kes_test::send_hdr(sp[1], kes_test::client_connect_negotiate());
    } else {
        // A client connection as an open would leave it, on the socket pair.
        xcomm_fd *fd = endp.active_fds.head;
        close(fd->sock);
        fd->sock = sp[0];
        fd->state |= XCOMM_FD_CONNECTED;
        fd->next_send = 1;
        fd->next_recv = 1;
        endp.state |= XCOMM_ENDP_OPEN;
        req = xcomm_msg_alloc(16);
        req->hdr.type = XCOMM_MSG_REQ;
        if (xcomm_send_msg(&ctx, &endp, req) != 0) {
            xcomm_msg_free(req);
            req = nullptr;
        }
    }
    // Feed the bytes and let the engine chew on them.
    size_t off = 0;
    struct timeval zero = {0, 0};
    for (int round = 0; round < 256; ++round) {
        if (off < size) {
            ssize_t w = send(sp[1], data + off, size - off, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w > 0)
                off += static_cast<size_t>(w);
        } else if (off == size) {
            shutdown(sp[1], SHUT_WR);
            off = size + 1;
        }
        drain(sp[1]);
        int rc = xcomm_select(&ctx, &endp, &zero);
        free_completed(&ctx, &endp, &req);
        if (rc == XCOMM_ERR_NOCONN || endp.active_fds.cnt == 0)
            break;
        if (rc == XCOMM_ERR_TIMEOUT && off > size)
            break;
    }
    free_completed(&ctx, &endp, &req);
    xcomm_ctx_shutdown(&ctx);
    if (req != nullptr) {
        if (req->rmsg != nullptr)
            xcomm_msg_free(req->rmsg);
        xcomm_msg_free(req);
    }
    close(sp[1]);
    return 0;
}
