// MI control protocol: the MI header, the request and reply records of every
// message number, the message registry, and the sender miSendRequest.
//
// Every exchange is one request and one reply. Each side is an MI header
// followed by the message's record, XDR-encoded from the start of a
// zero-filled 4096-byte buffer. The same record routines serve the client
// (encode requests, decode replies) and the appliance (decode requests,
// encode replies); strings in decoded records are malloc'ed and released by
// the free functions below.
#pragma once

#include "lib/common/mi_xdr.h"

#include <cstddef>
#include <cstdint>

struct ost_mi_client;

// ---- message numbers ----
enum : uint32_t {
    MI_AUTHENTICATE_CLIENT = 0x20000006,
    MI_GET_VERSION = 0x20000018,
    MI_CONFIG_GET_AUTH_ATTR = 0x2000001B,
    MI_BFST_SET_EXTENT = 0x2000001C,
    MI_BFST_GET_EXTENT = 0x2000001D,
    MI_BFST_HOLD_TAG = 0x2000001E,
    MI_BFST_DROP_TAG = 0x2000001F,
    MI_BFST_SET_EXTENT_STATS = 0x20000033,
    MI_ADMIN_ALERT = 0x20000034,
    MI_BFST_SET_EXTENT_ACCEL = 0x20000035,
    MI_OPEN_FILE = 0x20000036,
    MI_CLOSE_FILE = 0x20000037,
    MI_DM_PORT = 0x20000038,
    MI_CHECK_SPACE = 0x20000039,
};

constexpr size_t MI_BUF_SIZE = 4096;       // every request and reply buffer
constexpr size_t MI_HEADER_WIRE_SIZE = 36;  // encoded MI header
constexpr int32_t MI_KIND_REQUEST = 0;
constexpr int32_t MI_KIND_REPLY = 1;

// Fixed values of the MI_GET_VERSION request.
constexpr int32_t MI_GET_VERSION_ARG1 = 9;
constexpr int32_t MI_GET_VERSION_ARG2 = 11;
constexpr int32_t MI_GET_VERSION_CLIENT = 0x0007000B;
// Oldest server protocol the library works with.
constexpr int32_t MI_PROTO_MIN = 7;
// The protocol number of an MI_GET_VERSION reply's version: its upper 16 bits.
constexpr int32_t mi_version_proto(int32_t version) { return version >> 16; }

// MI_OPEN_FILE open modes.
enum : int32_t {
    MI_OPEN_READ = 1,
    MI_OPEN_WRITE = 2,
    MI_OPEN_EXCL = 4,
    MI_OPEN_CREATE = 8,
};

constexpr size_t MI_AUTH_ATTR_SIZE = 64;
constexpr size_t MI_AUTH_DIGEST_SIZE = 16;
// Discriminants of the authentication attribute and the credential.
constexpr int32_t MI_AUTH_ATTR_NONE = 0;
constexpr int32_t MI_AUTH_ATTR_PRESENT = 1;
constexpr int32_t MI_CRED_KIND_TEXT = 0;
constexpr int32_t MI_CRED_KIND_DIGEST = 1;

// ---- MI header ----
struct mi_header {
    uint64_t reserved1;  // 0
    int64_t time;        // seconds since 1970 at sending
    int32_t kind;        // MI_KIND_REQUEST or MI_KIND_REPLY
    uint32_t number;     // message number
    uint64_t reserved2;  // 0
    int32_t reserved3;   // 0
};
bool xdr_mi_header(mi_xdr *x, mi_header *h);

// ---- records of the messages this library sends ----
// Reply that is only a status (and the first field of every other reply).
struct mi_status_reply {
    int32_t status;
};

struct mi_cred_digest {  // credential kind 1
    char *user;
    unsigned char digest[MI_AUTH_DIGEST_SIZE];
};
struct mi_cred_text {  // credential kind 0
    char *text1;
    char *text2;
};
struct mi_authenticate_client_req {
    int32_t kind;  // MI_CRED_KIND_*
    union {
        mi_cred_digest digest;
        mi_cred_text text;
    } cred;
};

struct mi_get_version_req {
    char *host;
    int32_t arg1;            // MI_GET_VERSION_ARG1
    int32_t arg2;            // MI_GET_VERSION_ARG2
    int32_t client_version;  // MI_GET_VERSION_CLIENT
};
struct mi_get_version_reply {
    int32_t status;
    int32_t version;  // protocol major number in the upper 16 bits
};

// Authentication attribute: present (1) with 64 bytes, or none (0).
struct mi_auth_attr {
    int32_t present;
    unsigned char attr[MI_AUTH_ATTR_SIZE];
};
// The value an MI_CONFIG_GET_AUTH_ATTR request carries.
constexpr int32_t MI_AUTH_ATTR_ASK = 1;
struct mi_config_get_auth_attr_req {
    int32_t value;  // MI_AUTH_ATTR_ASK
};
struct mi_config_get_auth_attr_reply {
    int32_t status;
    mi_auth_attr attr;
};

// One record for the three set-extent forms: MI_BFST_SET_EXTENT carries the
// first ten fields, MI_BFST_SET_EXTENT_STATS thirteen, MI_BFST_SET_EXTENT_ACCEL
// all nineteen.
struct mi_set_extent_req {
    uint64_t handle;
    uint64_t image_offset;
    char *tag;
    uint64_t tag_offset;
    uint64_t length;
    uint64_t virtual_sent;
    uint64_t virtual_received;
    uint64_t actual_sent;
    uint64_t actual_received;
    uint64_t store_time_ms;
    // operation statistics
    uint64_t bytes_input;
    uint64_t unique_precompressed;
    uint64_t unique_compressed;
    // ingest fields
    uint64_t ingest_data_bytes;
    uint64_t ingest_unique_bytes;
    uint64_t ingest_synth_bytes;
    uint64_t data_extents;
    uint64_t synth_extents;
    uint64_t close_latency_ms;
};

struct mi_tag_req {  // MI_BFST_HOLD_TAG, MI_BFST_DROP_TAG
    uint64_t handle;
    char *tag;
};

struct mi_admin_alert_req {
    uint64_t handle;
    uint64_t pid;
    uint64_t seconds;
    char *text;
    uint64_t kind;
};

struct mi_open_file_req {
    int32_t mode;  // MI_OPEN_*
    char *name;
};
struct mi_open_file_reply {
    int32_t status;
    int32_t flags;
    uint64_t handle;
};

struct mi_close_file_req {
    int32_t reserved;  // 0
    uint64_t handle;
};
struct mi_close_file_reply {
    int32_t status;
    int32_t unused;
};

struct mi_dm_port_req {
    int32_t reserved;  // 0
};
struct mi_dm_port_reply {
    int32_t status;
    int32_t port;
};

struct mi_check_space_req {
    int32_t reserved;  // 0
    uint64_t handle;
};
struct mi_check_space_reply {
    int32_t status;
    int32_t unused;
};

struct mi_get_extent_req {
    uint64_t handle;
    uint64_t image_offset;
};
struct mi_get_extent_reply {
    int32_t status;
    char *tag;
    uint64_t blob_offset;
    uint64_t length;
};

// ---- records of the messages this library never sends ----
// Named by their field shapes: s string, i int, h hyper.
struct mi_rec_k {
    char *s1, *s2, *s3, *s4;
    int32_t i1, i2;
    char *s5;
};
struct mi_rec_l {
    char *s1;
    int32_t i1, i2, i3, i4, i5, i6;
    char *s2, *s3;
};
struct mi_rec_m {
    mi_rec_k k;
    char *s1, *s2;
    mi_rec_l l;
};
struct mi_rec_n {
    mi_rec_k k;
    char *s1, *s2;
    int64_t h1, h2;
    int32_t i1, i2;
};

struct mi_req_i {
    int32_t i1;
};
struct mi_req_s {
    char *s1;
};
struct mi_req_h {
    int64_t h1;
};
struct mi_req_s_i {
    char *s1;
    int32_t i1;
};
struct mi_req_h_i {
    int64_t h1;
    int32_t i1;
};
struct mi_req_h_h {
    int64_t h1, h2;
};
struct mi_req_h5 {
    int64_t h1, h2, h3, h4, h5;
};
struct mi_req_0b {
    int64_t h1, h2, h3;
    char *s1, *s2, *s3, *s4;
    int64_t h4;
    int32_t i1, i2;
};
struct mi_req_s_k {
    char *s1;
    mi_rec_k k;
};
struct mi_req_s_k_i {
    char *s1;
    mi_rec_k k;
    int32_t i1;
};
struct mi_req_s_k_i_i {
    char *s1;
    mi_rec_k k;
    int32_t i1, i2;
};
struct mi_req_28 {
    char *s1;
    int32_t i1;
    mi_rec_m m1;
    char *s2;
    mi_rec_m m2;
    char *s3;
    int32_t i2;
};

struct mi_reply_attr_i {
    mi_auth_attr attr;
    int32_t i1;
};
struct mi_reply_i_h {
    int32_t status;
    int64_t h1;
};
struct mi_reply_i_h_i {
    int32_t status;
    int64_t h1;
    int32_t i1;
};
struct mi_reply_i_h_i_i {
    int32_t status;
    int64_t h1;
    int32_t i1, i2;
};
struct mi_reply_i_s {
    int32_t status;
    char *s1;
};
struct mi_reply_i_k {
    int32_t status;
    mi_rec_k k;
};
struct mi_reply_i_n {
    int32_t status;
    mi_rec_n n;
};

// ---- record routines: one per record type, for all three stream modes ----
bool xdr_mi_status_reply(mi_xdr *x, mi_status_reply *r);
bool xdr_mi_auth_attr(mi_xdr *x, mi_auth_attr *r);
bool xdr_mi_authenticate_client_req(mi_xdr *x, mi_authenticate_client_req *r);
bool xdr_mi_get_version_req(mi_xdr *x, mi_get_version_req *r);
bool xdr_mi_get_version_reply(mi_xdr *x, mi_get_version_reply *r);
bool xdr_mi_config_get_auth_attr_req(mi_xdr *x, mi_config_get_auth_attr_req *r);
bool xdr_mi_config_get_auth_attr_reply(mi_xdr *x, mi_config_get_auth_attr_reply *r);
bool xdr_mi_set_extent_req(mi_xdr *x, mi_set_extent_req *r);        // ten fields
bool xdr_mi_set_extent_stats_req(mi_xdr *x, mi_set_extent_req *r);  // thirteen
bool xdr_mi_set_extent_accel_req(mi_xdr *x, mi_set_extent_req *r);  // nineteen
bool xdr_mi_tag_req(mi_xdr *x, mi_tag_req *r);
bool xdr_mi_admin_alert_req(mi_xdr *x, mi_admin_alert_req *r);
bool xdr_mi_open_file_req(mi_xdr *x, mi_open_file_req *r);
bool xdr_mi_open_file_reply(mi_xdr *x, mi_open_file_reply *r);
bool xdr_mi_close_file_req(mi_xdr *x, mi_close_file_req *r);
bool xdr_mi_close_file_reply(mi_xdr *x, mi_close_file_reply *r);
bool xdr_mi_dm_port_req(mi_xdr *x, mi_dm_port_req *r);
bool xdr_mi_dm_port_reply(mi_xdr *x, mi_dm_port_reply *r);
bool xdr_mi_check_space_req(mi_xdr *x, mi_check_space_req *r);
bool xdr_mi_check_space_reply(mi_xdr *x, mi_check_space_reply *r);
bool xdr_mi_get_extent_req(mi_xdr *x, mi_get_extent_req *r);
bool xdr_mi_get_extent_reply(mi_xdr *x, mi_get_extent_reply *r);

bool xdr_mi_rec_k(mi_xdr *x, mi_rec_k *r);
bool xdr_mi_rec_l(mi_xdr *x, mi_rec_l *r);
bool xdr_mi_rec_m(mi_xdr *x, mi_rec_m *r);
bool xdr_mi_rec_n(mi_xdr *x, mi_rec_n *r);
bool xdr_mi_req_i(mi_xdr *x, mi_req_i *r);
bool xdr_mi_req_s(mi_xdr *x, mi_req_s *r);
bool xdr_mi_req_h(mi_xdr *x, mi_req_h *r);
bool xdr_mi_req_s_i(mi_xdr *x, mi_req_s_i *r);
bool xdr_mi_req_h_i(mi_xdr *x, mi_req_h_i *r);
bool xdr_mi_req_h_h(mi_xdr *x, mi_req_h_h *r);
bool xdr_mi_req_h5(mi_xdr *x, mi_req_h5 *r);
bool xdr_mi_req_0b(mi_xdr *x, mi_req_0b *r);
bool xdr_mi_req_s_k(mi_xdr *x, mi_req_s_k *r);
bool xdr_mi_req_s_k_i(mi_xdr *x, mi_req_s_k_i *r);
bool xdr_mi_req_s_k_i_i(mi_xdr *x, mi_req_s_k_i_i *r);
bool xdr_mi_req_28(mi_xdr *x, mi_req_28 *r);
bool xdr_mi_reply_attr_i(mi_xdr *x, mi_reply_attr_i *r);
bool xdr_mi_reply_i_h(mi_xdr *x, mi_reply_i_h *r);
bool xdr_mi_reply_i_h_i(mi_xdr *x, mi_reply_i_h_i *r);
bool xdr_mi_reply_i_h_i_i(mi_xdr *x, mi_reply_i_h_i_i *r);
bool xdr_mi_reply_i_s(mi_xdr *x, mi_reply_i_s *r);
bool xdr_mi_reply_i_k(mi_xdr *x, mi_reply_i_k *r);
bool xdr_mi_reply_i_n(mi_xdr *x, mi_reply_i_n *r);

// Storage large and aligned enough for any request or reply record, for
// code that handles numbers it learns at run time (the appliance's service).
union mi_record {
    mi_status_reply status_reply;
    mi_authenticate_client_req authenticate_client_req;
    mi_get_version_req get_version_req;
    mi_get_version_reply get_version_reply;
    mi_config_get_auth_attr_req config_get_auth_attr_req;
    mi_config_get_auth_attr_reply config_get_auth_attr_reply;
    mi_set_extent_req set_extent_req;
    mi_tag_req tag_req;
    mi_admin_alert_req admin_alert_req;
    mi_open_file_req open_file_req;
    mi_open_file_reply open_file_reply;
    mi_close_file_req close_file_req;
    mi_close_file_reply close_file_reply;
    mi_dm_port_req dm_port_req;
    mi_dm_port_reply dm_port_reply;
    mi_check_space_req check_space_req;
    mi_check_space_reply check_space_reply;
    mi_get_extent_req get_extent_req;
    mi_get_extent_reply get_extent_reply;
    mi_req_i req_i;
    mi_req_s req_s;
    mi_req_h req_h;
    mi_req_s_i req_s_i;
    mi_req_h_i req_h_i;
    mi_req_h_h req_h_h;
    mi_req_h5 req_h5;
    mi_req_0b req_0b;
    mi_req_s_k req_s_k;
    mi_req_s_k_i req_s_k_i;
    mi_req_s_k_i_i req_s_k_i_i;
    mi_req_28 req_28;
    mi_reply_attr_i reply_attr_i;
    mi_reply_i_h reply_i_h;
    mi_reply_i_h_i reply_i_h_i;
    mi_reply_i_h_i_i reply_i_h_i_i;
    mi_reply_i_s reply_i_s;
    mi_reply_i_k reply_i_k;
    mi_reply_i_n reply_i_n;
};

// ---- message registry ----
typedef bool (*mi_record_proc)(mi_xdr *x, void *rec);

struct mi_msg_def {
    uint32_t number;        // 0 ends the table
    const char *name;       // "MI_OPEN_FILE"; null for the rows without a name
    mi_record_proc request; // null when the message has no request record
    size_t request_size;    // sizeof the request record (0 without one)
    mi_record_proc reply;   // present in every row
    size_t reply_size;      // sizeof the reply record
};

constexpr size_t MI_MSG_REGISTRY_ROWS = 40;
// Rows in ascending number order, then the terminating row of number 0.
extern const mi_msg_def mi_msg_registry[MI_MSG_REGISTRY_ROWS + 1];

// Row of a message number; null for 0 and unknown numbers.
const mi_msg_def *mi_msg_lookup(uint32_t number);
// Name of a message number for logs: the row's name, "UNNAMED" for rows
// without one and "UNKNOWN" for numbers outside the registry.
const char *mi_msg_name(uint32_t number);

// ---- whole buffers (both sides) ----
// All return 0 or an error number in the runtime numbering: 104 (EBADMSG) for
// an unknown number or a header of the wrong kind or number, 22 (EINVAL) for a
// record pointer the row does not expect, 34 (ERANGE) for a record that does
// not fit or does not decode. Buffers are MI_BUF_SIZE bytes in practice; any
// length works.

// Zero-fills buf, then encodes a header (kind, number, the current time) and
// the row's request or reply record.
int mi_encode_request(uint32_t number, void *req, void *buf, size_t len);
int mi_encode_reply(uint32_t number, void *reply, void *buf, size_t len);

// Decodes only the header.
int mi_decode_header(const void *buf, size_t len, mi_header *hdr);

// Appliance side: decodes header and request record; the header must be a
// request (kind 0) of a registered number. The record is zeroed first
// (req_size bytes, at least the row's request size) and, on a failed decode,
// freed again, so nothing is left to release. On success the caller frees it
// with mi_free_request. Rows without a request record accept a null req.
int mi_decode_request(const void *buf, size_t len, mi_header *hdr, void *req, size_t req_size);

// Client side: decodes a reply of the given number (kind 1, same number) into
// reply. A header of the wrong kind or number leaves the record untouched;
// otherwise the record is zeroed and decoded, and on a failed decode the
// strings decoded so far stay in it for mi_free_reply to release.
int mi_decode_reply(uint32_t number, const void *buf, size_t len, void *reply);

// Releases the strings of a decoded record by running the row's routine in
// free mode. Unknown numbers, rows without the routine and null records do
// nothing.
void mi_free_request(uint32_t number, void *req);
void mi_free_reply(uint32_t number, void *reply);

// ---- sender ----
// Encodes the request of a message number into a 4096-byte buffer, exchanges
// it through the client, checks the reply header and decodes the reply record
// into reply. Returns 0 (the server's status is the first field of the reply),
// a negative transport or DM code, 104 for an unknown number or a reply header
// of the wrong kind or number, 22 for request or reply pointers that do not
// match the row, 12 for memory, 34 for an encode or decode failure. The
// caller frees the reply with mi_free_reply whatever the result.
int miSendRequest(ost_mi_client *cli, uint32_t number, void *req, void *reply);
