// ost_mi: MI requests and responses over one XCOMM client endpoint.
#include "datamover/ost_mi.h"

#include "datamover/byteorder.h"
#include "datamover/platform_xcomm.h"
#include "datamover/xcomm_ssl.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace {

constexpr const char *SRC = "ost_mi";

#define MI_LOG(cli, level, ...) ost_mi_log(cli, level, SRC, __LINE__, __VA_ARGS__)

static_assert(OST_MI_REC_SIZE == 4108, "ost_mi record: 12-byte head and 4096-byte payload");

// Still referenced by the endpoint: in a pending slot or on the completed list.
bool msg_is_linked(xcomm_endp *endp, xcomm_msg *msg)
{
    std::lock_guard<std::mutex> guard(*endp->lock);
    if (msg->pmsg != nullptr)
        return true;
    for (xcomm_msg *m = endp->completed.head; m != nullptr; m = m->next) {
        if (m == msg)
            return true;
    }
    return false;
}

void free_response(ost_mi_client *cli, xcomm_msg *rsp)
{
    if (rsp == nullptr)
        return;
    if (rsp->hdr.type != XCOMM_MSG_ACK && rsp->ctx != nullptr)
        MI_LOG(cli, UTIL_LOG_WARNING, "msg->ctx not NULL!\n");
    xcomm_msg_free(rsp);
}

// Frees a request whose exchange ended. A request that failed part-way may
// still sit in a slot or on the completed list; it is taken back from the
// endpoint first (its connection is dropped if it is still in flight), and
// left alone if the endpoint will not let go of it, rather than freed under it.
void release_request(ost_mi_client *cli, xcomm_msg *msg)
{
    if (msg_is_linked(&cli->endp, msg)) {
        if (msg->pmsg != nullptr && msg->fd != nullptr)
            xcomm_endp_close_fd(&cli->ctx, &cli->endp, msg->fd);
        xcomm_msg *m = msg;
        xcomm_endp_wait(&cli->ctx, &cli->endp, &m, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING);
        if (msg_is_linked(&cli->endp, msg)) {
            MI_LOG(cli, UTIL_LOG_WARNING, "req %p still queued, not freed\n", static_cast<void *>(msg));
            return;
        }
    }
    free_response(cli, msg->rmsg);
    msg->rmsg = nullptr;
    xcomm_msg_free(msg);
}

int ost_mi_client_open(ost_mi_client *cli)
{
    if (cli->nstreams == 0)
        cli->nstreams = 1;

    int rc = xcomm_ctx_init(&cli->ctx);
    if (rc != 0) {
        MI_LOG(cli, UTIL_LOG_ERROR, "xcomm_ctx_init failed - [%d]\n", rc);
        return rc;
    }
    cli->ctx_ready = true;

    int endp_flags = static_cast<int>(cli->options & OST_MI_OPT_ENDP_FLAG);
    for (int i = 0; i < cli->nstreams; ++i) {
        if (i == 0) {
            rc = xcomm_endp_init(&cli->ctx, &cli->endp, cli->local_names[0], cli->nstreams, cli->oreqs,
                                 htons(OST_MI_PORT), endp_flags);
            if (rc != 0) {
                MI_LOG(cli, UTIL_LOG_ERROR, "xcomm_endp_init failed - [%d]\n", rc);
                return rc;
            }
        } else {
            rc = xcomm_endp_addstream(&cli->ctx, &cli->endp, cli->local_names[i]);
            if (rc != 0) {
                MI_LOG(cli, UTIL_LOG_ERROR, "xcomm_endp_addstream[%s] failed - [%d]\n", cli->remote_name, rc);
                return rc;
            }
        }
    }

    if (cli->cert_dir[0] != '\0') {
        rc = xcomm_ssl_set_cert_dir(cli->cert_dir, &cli->endp);
        if (rc != 0)
            return rc;
        if ((cli->options & OST_MI_OPT_TLS) != 0)
            cli->endp.tls_flags |= XCOMM_TLS_REQUIRED;
        cli->endp.verify_mode = XCOMM_TLS_VERIFY_PEER;
    }

    // One request at a time: one message per pass keeps the loop short.
    const xcomm_endp_owner own = {.owner = cli,
                                  .alloc_cb = ost_mi_alloc_cb,
                                  .peek_sz = OST_MI_PEEK_SIZE,
                                  .msgs_per_pass = 1,
                                  .reconnect = (cli->options & OST_MI_OPT_RECONNECT) != 0 ? XCOMM_RECONNECT_ON
                                                                                         : XCOMM_RECONNECT_OFF};
    rc = xcomm_endp_set_owner(&cli->endp, &own);
    if (rc == 0)
        rc = xcomm_endp_set_limits(&cli->endp, cli->resp_timeout_s * 1000, cli->resp_timeout_s);
    if (rc != 0)
        return rc;

    rc = xcomm_endp_open(&cli->ctx, &cli->endp, cli->remote_name);
    if (rc != 0) {
        MI_LOG(cli, UTIL_LOG_WARNING, "xcomm_endp_open[%s] failed - [%d]\n", cli->remote_name, rc);
        return rc;
    }
    return 0;
}

void ost_mi_client_shutdown(ost_mi_client *cli)
{
    if (!cli->ctx_ready)
        return;
    cli->ctx_ready = false;
    if (xcomm_ctx_shutdown(&cli->ctx) != 0)
        MI_LOG(cli, UTIL_LOG_WARNING, "ost_mi_client_shutdown failed!\n");
}

}  // namespace

void ost_mi_log(const ost_mi_client *cli, int level, const char *src, int line, const char *fmt, ...)
{
    if (cli == nullptr || cli->log_cb == nullptr)
        return;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    cli->log_cb(cli->log_ctx, level, src, line, text);
}

void ost_mi_rec_encode(const ost_mi_rec *rec, unsigned char *out)
{
    out[0] = rec->type;
    out[1] = rec->reserved1;
    be_put16(out + 2, static_cast<uint16_t>(rec->status));
    be_put64(out + 4, rec->reserved2);
    memcpy(out + OST_MI_REC_HEAD_SIZE, rec->payload, OST_MI_PAYLOAD_SIZE);
}

void ost_mi_rec_decode(const unsigned char *in, ost_mi_rec *rec)
{
    rec->type = in[0];
    rec->reserved1 = in[1];
    rec->status = static_cast<int16_t>(be_get16(in + 2));
    rec->reserved2 = be_get64(in + 4);
    memcpy(rec->payload, in + OST_MI_REC_HEAD_SIZE, OST_MI_PAYLOAD_SIZE);
}

ost_mi_client *ost_mi_client_create(const char *host, int port, void *log_ctx, util_log_cb_t log_cb, int reconnect,
                                    const char *cert_dir, int tls_required, int endp_flag, int *err)
{
    if (err != nullptr)
        *err = 0;
    if (host == nullptr) {
        util_log_to(log_cb, log_ctx, UTIL_LOG_ERROR, SRC, __LINE__, "Invalid Arguments: host(%p)\n",
                    static_cast<const void *>(host));
        if (err != nullptr)
            *err = XCOMM_ERR_NAME;
        return nullptr;
    }
    auto *cli = static_cast<ost_mi_client *>(calloc(1, sizeof(ost_mi_client)));
    if (cli == nullptr)
        return nullptr;

    cli->oreqs = OST_MI_OREQS;
    cli->resp_timeout_s = util_response_timeout();
    if (port != 0)
        snprintf(cli->remote_name, sizeof cli->remote_name, "%d@%s", port, host);
    else
        snprintf(cli->remote_name, sizeof cli->remote_name, "ost_mi_client@%s", host);

    cli->log_cb = log_cb;
    cli->log_ctx = log_ctx;
    if (cert_dir != nullptr) {
        util_strlcpy(cli->cert_dir, cert_dir, sizeof cli->cert_dir);
        if (tls_required != 0)
            cli->options |= OST_MI_OPT_TLS;
    }
    if (reconnect != 0)
        cli->options |= OST_MI_OPT_RECONNECT;
    if (endp_flag != 0)
        cli->options |= OST_MI_OPT_ENDP_FLAG;

    int rc = ost_mi_client_open(cli);
    if (rc == 0)
        return cli;
    if (err != nullptr)
        *err = rc;
    ost_mi_client_shutdown(cli);
    free(cli);
    return nullptr;
}

void ost_mi_client_destroy(ost_mi_client *cli)
{
    if (cli == nullptr)
        return;
    ost_mi_client_shutdown(cli);
    free(cli);
}

xcomm_msg *ost_mi_alloc_cb(xcomm_endp *endp, xcomm_fd *fd, const unsigned char *peek)
{
    (void)fd;
    auto *cli = static_cast<ost_mi_client *>(endp->owner);
    xcomm_hdr h;
    xcomm_hdr_decode(peek, &h);
    uint32_t len = xcomm_hdr_get_size(&h);
    // Nothing the client receives is larger than a record (an ACK carries
    // nothing): a bigger announcement is refused before anything is allocated.
    uint32_t most = h.type == XCOMM_MSG_ACK ? 0 : static_cast<uint32_t>(OST_MI_REC_SIZE);
    if (len > most) {
        MI_LOG(cli, UTIL_LOG_WARNING, "msg type %d of %u bytes refused, at most %u expected\n", h.type, len, most);
        cli->refused_msg = true;
        return nullptr;
    }
    if (h.type != XCOMM_MSG_ACK) {
        // Only with a payload is the record type byte behind the header valid.
        int type = len != 0 ? peek[XCOMM_HDR_SIZE] : -1;
        if (type != OST_MI_REC_REQUEST && type != OST_MI_REC_RESPONSE) {
            MI_LOG(cli, UTIL_LOG_WARNING, "bad msg[%d]\n", type);
            cli->refused_msg = true;
            return nullptr;
        }
    }
    return xcomm_msg_alloc(len);
}

int ost_mi_sync_rpc(ost_mi_client *cli, const void *req, int req_len, void *reply, int reply_len)
{
    if (cli == nullptr || (req == nullptr && req_len != 0) || req_len < 0 || reply_len < 0 ||
        (reply == nullptr && reply_len != 0)) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "Invalid Arguments: cli(%p), req(%p), reply(%p)\n",
                   static_cast<void *>(cli), req, reply);
        return DM_ERR_INVALID_ARGS;
    }
    if (req_len > OST_MI_PAYLOAD_SIZE) {
        MI_LOG(cli, UTIL_LOG_WARNING, "request size (%d), exceeds limit (%d)\n", req_len, OST_MI_PAYLOAD_SIZE);
        return DM_ERR_BADMSG;
    }
    if (reply_len > OST_MI_PAYLOAD_SIZE) {
        MI_LOG(cli, UTIL_LOG_WARNING, "reply size (%d), exceeds limit (%d)\n", reply_len, OST_MI_PAYLOAD_SIZE);
        return DM_ERR_BADMSG;
    }

    xcomm_msg *msg = xcomm_msg_alloc(OST_MI_REC_SIZE);
    if (msg == nullptr)
        return DM_ERR_NOMEM;
    unsigned char *out = static_cast<unsigned char *>(msg->sgl[0].iov_base);
    memset(out, 0, OST_MI_REC_SIZE);
    out[0] = OST_MI_REC_REQUEST;
    if (req_len != 0)
        memcpy(out + OST_MI_REC_HEAD_SIZE, req, static_cast<size_t>(req_len));

    msg->hdr.type = XCOMM_MSG_REQ;
    // The whole exchange, a wait for a free slot included, has one deadline.
    const int limit_s = cli->resp_timeout_s > 0 ? cli->resp_timeout_s : util_response_timeout();
    const int64_t deadline = xcomm_monotime_ms() + static_cast<int64_t>(limit_s) * 1000;
    int rc;
    int64_t pause_ms = 1;
    for (;;) {
        rc = xcomm_send_msg(&cli->ctx, &cli->endp, msg);
        if (rc != XCOMM_ERR_BUSY)
            break;
        int64_t left = deadline - xcomm_monotime_ms();
        if (left <= 0) {
            rc = XCOMM_ERR_TIMEOUT;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(pause_ms, left)));
        pause_ms = std::min<int64_t>(pause_ms * 2, 100);
    }
    cli->refused_msg = false;
    if (rc >= 0) {
        int64_t left = std::max<int64_t>(0, deadline - xcomm_monotime_ms());
        struct timeval tv = {static_cast<decltype(timeval::tv_sec)>(left / 1000), static_cast<suseconds_t>((left % 1000) * 1000)};
        rc = xcomm_endp_wait(&cli->ctx, &cli->endp, &msg, &tv, XCOMM_WAIT_PENDING);
    }
    if (rc < 0) {
        if (rc == XCOMM_ERR_TIMEOUT) {
            // A peer that stays silent this long is taken for gone: the
            // connection is dropped with the request (release_request).
            MI_LOG(cli, UTIL_LOG_ERROR, "no answer from %s within %d seconds\n", cli->remote_name, limit_s);
            util_timeout_note("an MI request", limit_s);
        }
        MI_LOG(cli, UTIL_LOG_WARNING, "ost_mi_sync_rpc failed - [%d]\n", rc);
        release_request(cli, msg);
        // A reply that could not be taken in dropped the connection; the
        // exchange failed on a bad message, not on the transport.
        return cli->refused_msg ? DM_ERR_BADMSG : rc;
    }

    if (msg->status == XCOMM_MSG_CANCELLED) {
        MI_LOG(cli, UTIL_LOG_ERROR, "req %p cancelled\n", static_cast<void *>(msg));
        release_request(cli, msg);
        return XCOMM_ERR_DROPPED;
    }

    xcomm_msg *rsp = msg->rmsg;
    msg->rmsg = nullptr;
    // Only a whole record in one buffer is decoded; anything else fails the
    // exchange rather than being read past its end.
    uint32_t rsp_len = rsp != nullptr ? xcomm_hdr_get_size(&rsp->hdr) : 0;
    if (rsp == nullptr || rsp_len != OST_MI_REC_SIZE || rsp->sgl_ents != 1 ||
        rsp->sgl[0].iov_len != OST_MI_REC_SIZE || rsp->sgl[0].iov_base == nullptr) {
        MI_LOG(cli, UTIL_LOG_WARNING, "bad response size (%u), expected (%d)\n", rsp_len, OST_MI_REC_SIZE);
        free_response(cli, rsp);
        release_request(cli, msg);
        return DM_ERR_BADMSG;
    }

    const unsigned char *in = static_cast<const unsigned char *>(rsp->sgl[0].iov_base);
    int status = static_cast<int16_t>(be_get16(in + 2));
    if (status != 0)
        MI_LOG(cli, UTIL_LOG_WARNING, "failed - [%d]\n", status);
    else
        MI_LOG(cli, UTIL_LOG_DEBUG, "ost_mi_xdr_req ok\n");
    if (reply_len != 0)
        memcpy(reply, in + OST_MI_REC_HEAD_SIZE, static_cast<size_t>(reply_len));
    free_response(cli, rsp);
    release_request(cli, msg);
    return status;
}
