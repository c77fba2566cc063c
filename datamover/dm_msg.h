// DM protocol records: the 16-byte DM header and the bodies that follow it,
// their big-endian encoders and decoders, the size functions the client checks
// its message buffers against, and the open-flag and name conversions of the
// open request.
//
// Every encoder and decoder works on a caller buffer and is given its length;
// none reads or writes a byte past it. Encoders return the number of bytes
// written, decoders the number of bytes consumed, both negative DM_ERR_* codes
// on failure (DM_ERR_INVALID_ARGS for a missing pointer, DM_ERR_INVALID_LEN for
// a buffer or value that does not fit, DM_ERR_BADMSG for a malformed message).
// Decoders accept anything a peer may send; they never assert.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- commands ----
enum : uint8_t {
    DM_CMD_CONFIG = 0,
    DM_CMD_OPEN = 1,
    DM_CMD_CLOSE = 2,
    DM_CMD_READ = 3,
    DM_CMD_WRITE = 4,
    DM_CMD_DELETE = 7,
    DM_CMD_FLUSH = 8,
    DM_CMD_CLOSE9 = 9,  // close-form command number the client never sends
    DM_CMD_SET_XATTR = 10,
    DM_CMD_GET_XATTR = 11,
    DM_CMD_MAX = 11,  // anything above is refused on receipt
};

// ---- sizes and limits ----
constexpr size_t DM_HDR_SIZE = 16;
constexpr size_t DM_CONFIG_MSG_SIZE = 32;
constexpr size_t DM_OPEN_MSG_SIZE = 48;
constexpr size_t DM_XATTR_HDR_SIZE = 20;
constexpr uint32_t DM_MAX_DATA_LEN = 0xFFFFFF;  // 24-bit data length
constexpr uint16_t DM_FH_BY_PATH = 0xFFFF;      // xattr request naming the file by path
constexpr size_t DM_OPEN_NAME_MAX = 254;        // open name buffer, NUL included
constexpr size_t DM_XATTR_PATH_MAX = 256;       // path length + 1 must stay below this
constexpr uint32_t DM_PREF_BSZ = 262144;        // block size the client asks for
constexpr uint16_t DM_SLOT_COUNT = 32;          // file slots a client may name: 0..31

// Response status of a delete that finds no such file (-2 in 16-bit form);
// every other non-zero status is an error number.
constexpr uint16_t DM_STS_NOFILE = 0xFFFE;

// Wire offsets of the header fields.
constexpr size_t DM_HDR_OFF_CMD = 0;
constexpr size_t DM_HDR_OFF_SZ_U = 1;
constexpr size_t DM_HDR_OFF_SZ_L = 2;
constexpr size_t DM_HDR_OFF_FH = 4;
constexpr size_t DM_HDR_OFF_SLOT = 6;
constexpr size_t DM_HDR_OFF_OFF = 8;
static_assert(DM_HDR_OFF_OFF + 8 == DM_HDR_SIZE, "DM header is 16 bytes");

// Configuration body offsets.
constexpr size_t DM_CFG_OFF_BSZ = 16;
constexpr size_t DM_CFG_OFF_COMPRESS = 20;
constexpr size_t DM_CFG_OFF_DEDUP = 24;
constexpr size_t DM_CFG_OFF_B0 = 28;
constexpr size_t DM_CFG_OFF_B1 = 29;
constexpr size_t DM_CFG_OFF_RESERVE = 30;
static_assert(DM_CFG_OFF_RESERVE + 2 == DM_CONFIG_MSG_SIZE, "configuration message is 32 bytes");

// Open body offsets.
constexpr size_t DM_OPEN_OFF_UID = 16;
constexpr size_t DM_OPEN_OFF_GID = 20;
constexpr size_t DM_OPEN_OFF_RSVD0 = 24;
constexpr size_t DM_OPEN_OFF_RSVD1 = 28;
constexpr size_t DM_OPEN_OFF_SZ = 32;
constexpr size_t DM_OPEN_OFF_OFLAGS = 40;
constexpr size_t DM_OPEN_OFF_RSVD2 = 44;
static_assert(DM_OPEN_OFF_RSVD2 + 4 == DM_OPEN_MSG_SIZE, "open message is 48 bytes");

constexpr size_t DM_XATTR_OFF_VLEN = 16;
static_assert(DM_XATTR_OFF_VLEN + 4 == DM_XATTR_HDR_SIZE, "xattr header is 20 bytes");

// `oflags` bits of the open body.
enum : uint32_t {
    DM_OFLAG_RDWR = 0x1,
    DM_OFLAG_CREAT = 0x2,
    DM_OFLAG_TRUNC = 0x4,
    DM_OFLAG_RDONLY = 0x8,
};

// ---- records (host byte order) ----
struct dm_hdr {
    uint8_t cmd;
    uint8_t sz_u;  // bits 16..23 of the data length (requests)
    union {
        uint16_t sz_l;    // bits 0..15 of the data length (requests)
        uint16_t status;  // 0 or the peer's error number (responses)
    };
    uint16_t fh;
    uint16_t slot;
    uint64_t off;
};

struct dm_config_msg {
    dm_hdr hdr;
    uint32_t pref_bsz;
    uint32_t pref_compress;
    uint32_t pref_dedup;
    uint8_t rsvd0;
    uint8_t rsvd1;
    uint16_t pref_reserve_mb;
};

// The open body as the remote-file record keeps it.
struct dm_file_stats {
    uint32_t uid;
    uint32_t gid;
    uint32_t rsvd[2];
    uint64_t sz;
};

struct dm_open_msg {
    dm_hdr hdr;
    dm_file_stats stats;
    uint32_t oflags;
    uint32_t rsvd;
};

struct dm_xattr_hdr {
    dm_hdr hdr;
    uint32_t value_len;
};

// A decoded extended-attribute request; the pointers point into the buffer
// that was decoded and are valid while it is.
struct dm_xattr_req_view {
    dm_xattr_hdr xh;
    const char *path;             // null when the request names an open file
    const char *attr;             // NUL-terminated
    const unsigned char *value;   // set request: value_len bytes; get request: null
};

// ---- header ----
// Fills h for a request: cmd, data length 0, handle pair, offset.
void dm_hdr_init(dm_hdr *h, uint8_t cmd, uint32_t handle, uint64_t off);
// Data length of a request: sz_u * 65536 + sz_l.
uint32_t dm_hdr_len(const dm_hdr *h);
// Sets sz_u/sz_l; DM_ERR_INVALID_LEN (h unchanged) above 24 bits.
int dm_hdr_set_len(dm_hdr *h, uint32_t len);
// The handle pair as the client keeps it: fh in the low half, slot in the high half.
uint32_t dm_hdr_handle(const dm_hdr *h);
void dm_hdr_set_handle(dm_hdr *h, uint32_t handle);
// Response status zero-extended, so never negative.
int dm_hdr_status(const dm_hdr *h);
// True for command numbers a receiver accepts (0..11).
bool dm_cmd_valid(unsigned cmd);
// "DM WRITE" and so on, for messages; "DM request" for other numbers.
const char *dm_cmd_name(unsigned cmd);

int dm_hdr_encode(const dm_hdr *h, void *buf, size_t len);
int dm_hdr_decode(dm_hdr *h, const void *buf, size_t len);

// ---- configuration ----
// A configuration request: cmd 0, 262144, compression and dedup wanted.
void dm_config_init(dm_config_msg *m);
int dm_config_encode(const dm_config_msg *m, void *buf, size_t len);
int dm_config_decode(dm_config_msg *m, const void *buf, size_t len);

// ---- open ----
// Open-flag numbering of the callers (KES_O_*) to `oflags`.
uint32_t dm_open_oflags(int open_flags);
// An owner id as the open body carries it: the low 16 bits sign-extended.
uint32_t dm_open_id(uint32_t id);
// Copies name into dst (capacity cap, NUL included) with every backslash
// turned into a slash; the name's length, or DM_ERR_INVALID_LEN when it does
// not fit (dst then holds an empty string when cap > 0).
int dm_remote_name(const char *name, char *dst, size_t cap);

// The 48-byte fixed part (request or response).
int dm_open_encode(const dm_open_msg *m, void *buf, size_t len);
int dm_open_decode(dm_open_msg *m, const void *buf, size_t len);
// Bytes of an open request carrying name: 48 + strlen + 1.
size_t dm_open_req_len(const char *name);
// The whole request: fixed part, then the name with slashes and its NUL.
// Names of DM_OPEN_NAME_MAX characters or more are refused (DM_ERR_INVALID_LEN).
int dm_open_req_encode(const dm_open_msg *m, const char *name, void *buf, size_t len);
// Receiver side: fixed part and the name (pointer into buf, NUL-terminated
// within len, shorter than DM_OPEN_NAME_MAX).
int dm_open_req_decode(dm_open_msg *m, const char **name, const void *buf, size_t len);

// ---- delete ----
size_t dm_delete_req_len(const char *name);
// Header with cmd 7 and nothing else, then the name as given with its NUL.
int dm_delete_req_encode(const char *name, void *buf, size_t len);
int dm_delete_req_decode(dm_hdr *h, const char **name, const void *buf, size_t len);

// ---- close-form (close, flush) and read/write headers ----
// 16 bytes: cmd, handle pair, zero length and offset.
int dm_close_req_encode(uint8_t cmd, uint32_t handle, void *buf, size_t len);
// 16 bytes: cmd (read or write), data length, handle pair, offset.
int dm_rw_hdr_encode(uint8_t cmd, uint32_t handle, uint64_t off, uint32_t data_len, void *buf, size_t len);

// ---- extended attributes ----
int dm_xattr_hdr_encode(const dm_xattr_hdr *m, void *buf, size_t len);
int dm_xattr_hdr_decode(dm_xattr_hdr *m, const void *buf, size_t len);
// Bytes of a request: 20 + [path + 1] + attr + 1 + (set: value_len).
size_t dm_xattr_req_len(uint8_t cmd, const char *path, const char *attr, uint32_t value_len);
// A set (cmd 10) or get (cmd 11) request. path null: the file is the open file
// of handle; otherwise fh 0xFFFF, slot 0 and the path follow the header (its
// length + 1 must be below 256). Set: value_len bytes of value follow the
// attribute name. Get: value_len is the capacity of the caller's buffer and
// value is ignored.
int dm_xattr_req_encode(uint8_t cmd, uint32_t handle, const char *path, const char *attr, const void *value,
                        uint32_t value_len, void *buf, size_t len);
// Receiver side of the above; the request must end exactly after its parts.
int dm_xattr_req_decode(dm_xattr_req_view *v, const void *buf, size_t len);
// A get response for a buffer of capacity bytes. Status 0: exactly value_len
// value bytes must follow and value_len must not exceed capacity, *value points
// at them. Any other status (34: value_len is the size needed): *value null.
// A response breaking these rules is DM_ERR_BADMSG.
int dm_get_xattr_rsp_decode(dm_xattr_hdr *m, const unsigned char **value, const void *buf, size_t len,
                            uint32_t capacity);

// ---- size functions the client checks its message buffers against ----
// They take the endpoint and the record for the caller's convenience and
// return constants.
size_t get_dm_close_req_size(const void *endp, const void *rec);  // also read, write, delete headers
size_t get_dm_open_req_size(const void *endp, const void *rec);
size_t get_dm_config_req_size(const void *endp, const void *rec);
size_t get_dm_xattr_req_size(const void *endp, const void *rec);
size_t get_dm_delete_req_size(const void *endp, const void *rec);
