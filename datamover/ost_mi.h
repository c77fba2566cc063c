// ost_mi: the MI client's transport layer. One client owns one XCOMM context
// with one client endpoint connected to the appliance's MI service, wraps each
// 4096-byte MI request into a 4108-byte ost_mi record sent as an XCOMM
// request, waits for the matching response and hands back its MI payload.
// One thread at a time per client; at most one request is outstanding.
#pragma once

#include "datamover/util.h"
#include "datamover/xcomm.h"

#include <cstddef>
#include <cstdint>

constexpr int OST_MI_PORT = 10002;              // appliance MI service
constexpr int OST_MI_PAYLOAD_SIZE = 4096;       // MI buffer carried per request
constexpr int OST_MI_REC_HEAD_SIZE = 12;        // type, reserved, status, reserved
constexpr int OST_MI_REC_SIZE = OST_MI_PAYLOAD_SIZE + OST_MI_REC_HEAD_SIZE;  // 4108
constexpr int OST_MI_OREQS = 256;               // message slots of the endpoint
constexpr int OST_MI_PEEK_SIZE = XCOMM_HDR_SIZE + OST_MI_REC_HEAD_SIZE;    // 36
constexpr int OST_MI_MAX_STREAMS = 1;
constexpr size_t OST_MI_NAME_SIZE = 255;
constexpr size_t OST_MI_RNAME_SIZE = 254;

static_assert(OST_MI_PEEK_SIZE <= XCOMM_HDR_PEEK_SIZE, "peek covers the XCOMM header and the record head");

// Record types of the ost_mi record.
enum : uint8_t {
    OST_MI_REC_REQUEST = 1,
    OST_MI_REC_RESPONSE = 2,
};

// Client options.
enum : uint32_t {
    OST_MI_OPT_RECONNECT = 0x1,
    OST_MI_OPT_TLS = 0x2,
    OST_MI_OPT_ENDP_FLAG = 0x4,  // handed to xcomm_endp_init as its flags
};

// Switches of ost_mi_client_create.
enum : int {
    OST_MI_RECONNECT_OFF = 0,
    OST_MI_RECONNECT_ON = 1,
    OST_MI_ENDP_USE_POLL = 1,  // the endpoint carries the poll marker (XCOMM_ENDP_USE_POLL)
};

struct ost_mi_client {
    int32_t nstreams;  // 0 until opened, then at least 1
    int32_t oreqs;     // OST_MI_OREQS
    xcomm_ctx ctx;
    xcomm_endp endp;
    char local_names[OST_MI_MAX_STREAMS][OST_MI_NAME_SIZE];
    char remote_name[OST_MI_RNAME_SIZE];
    util_log_cb_t log_cb;
    void *log_ctx;
    char cert_dir[OST_MI_NAME_SIZE];
    uint32_t options;
    bool ctx_ready;  // the context was initialised and needs a shutdown
    int32_t resp_timeout_s;  // limit for the connect and for each exchange (util_response_timeout at creation)
    bool refused_msg;        // the allocation callback refused what the peer announced
};

// The ost_mi record head and payload, as carried in an XCOMM message.
struct ost_mi_rec {
    uint8_t type;       // OST_MI_REC_*
    uint8_t reserved1;
    int16_t status;     // response: 0 or the server's failure code
    uint64_t reserved2;
    unsigned char payload[OST_MI_PAYLOAD_SIZE];
};
// Big-endian encode/decode of a record into/from OST_MI_REC_SIZE bytes.
void ost_mi_rec_encode(const ost_mi_rec *rec, unsigned char *out);
void ost_mi_rec_decode(const unsigned char *in, ost_mi_rec *rec);

// Bytes of an ost_mi request message (4096 + 12).
inline int get_ost_mi_xdr_req_size() { return OST_MI_REC_SIZE; }

// Creates a client and connects it to "port@host" (or "ost_mi_client@host"
// when port is 0); reconnect: OST_MI_RECONNECT_*, endp_flag:
// OST_MI_ENDP_USE_POLL or 0. Returns the client, or null with the failing
// step's code in *err (0 when the client itself could not be allocated).
ost_mi_client *ost_mi_client_create(const char *host, int port, void *log_ctx, util_log_cb_t log_cb, int reconnect,
                                    const char *cert_dir, int tls_required, int endp_flag, int *err);
// Shuts the transport down and frees the client. A null client is ignored.
void ost_mi_client_destroy(ost_mi_client *cli);

// One synchronous exchange: req_len (at most 4096) bytes out, reply_len (at
// most 4096) bytes of the response payload into reply. Returns the response
// status (0 success, else the server's code), or a negative code:
// DM_ERR_BADMSG for a request over 4096 bytes or a response that is not a
// 4108-byte record, DM_ERR_NOMEM, DM_ERR_INVALID_ARGS, XCOMM_ERR_DROPPED when
// the request came back cancelled, XCOMM_ERR_TIMEOUT when no answer came
// within the client's response timeout (the connection is then dropped and
// the deadline noted, see util_timeout_note), or the XCOMM error of the send
// or wait.
int ost_mi_sync_rpc(ost_mi_client *cli, const void *req, int req_len, void *reply, int reply_len);

// Allocation callback of the endpoint (installed by the client).
xcomm_msg *ost_mi_alloc_cb(xcomm_endp *endp, xcomm_fd *fd, const unsigned char *peek);

// Logs through the client's callback at a level of the program's logs; does
// nothing without a client or a callback.
void ost_mi_log(const ost_mi_client *cli, int level, const char *src, int line, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
