// DM client: one connection to the appliance's data-mover service per
// session, a pool of message objects, 32 remote-file slots and a page cache.
// File data is never copied into messages: write requests are sent straight
// from cache pages and read responses are received straight into them.
//
// Everything runs on the caller's thread. The transport has no thread of its
// own, so responses are collected only inside the client's wait loops
// (dm_waitfor_io_msgs and the loops of the file operations built on it).
// One thread drives one client at a time.
//
// Status values: 0 or a positive count on success; a positive number is the
// appliance's error number (open, close, flush, delete, attributes); negative
// values are FILE_ERR_*, PCACHE_ERR_*, XCOMM_ERR_* and DM_ERR_* codes
// (datamover/util.h).
#pragma once

#include "datamover/dm_msg.h"
#include "datamover/dm_sums.h"
#include "datamover/pcache.h"
#include "datamover/posix/file_io.h"
#include "datamover/util.h"
#include "datamover/xcomm.h"

#include <cstddef>
#include <cstdint>
#include <mutex>

// ---- sizes and limits ----
constexpr int DM_MAX_FILES = 32;              // remote-file slots per client
constexpr int DM_MAX_PEND = 256;              // outstanding requests per endpoint
constexpr int DM_POOL_MSGS = 2 * DM_MAX_PEND; // pool messages allocated at connect
constexpr int DM_MAX_STREAMS = 8;
constexpr uint32_t DM_PAGE_SIZE = 262144;
constexpr uint32_t DM_PAGE_CNT = 128;
constexpr uint32_t DM_PAGE_CNT_SMALL = 4;
constexpr uint32_t DM_PAGE_CNT_MIN = 4;
constexpr uint32_t DM_PAGE_CNT_MAX = 4096;
constexpr uint16_t DM_DEFAULT_PORT = 3095;
constexpr int DM_PEEK_SIZE = XCOMM_HDR_SIZE + 16;    // XCOMM header + DM header
constexpr uint64_t DM_MAX_FILE_END = 1ull << 46;     // highest end offset of a write
constexpr uint32_t DM_MAX_READ_LEN = 0x7EFFFF;       // longest single read
constexpr int DM_CONNECT_TRIES = 20;
constexpr uint32_t DM_CTRL_RSP_MAX = (1u << 20) + 64; // largest control response accepted
constexpr const char *DM_SHADOW_ROOT = "/tmp/dm/shadow";
// Checksums of the appliance fetched at a time (64 MiB of data).
constexpr uint32_t DM_SUMS_WINDOW = 256;
static_assert(DM_SUM_PAGE == DM_PAGE_SIZE, "a cache page is checked against one appliance checksum");

// Whether a file read with data checksums on can be checked.
enum : int8_t {
    DM_SUMS_UNKNOWN = 0,  // not asked yet
    DM_SUMS_HAVE = 1,     // the window holds checksums
    DM_SUMS_NONE = 2,     // the appliance keeps none for it: read unchecked
};

// Flags of dm_client_create (kept in dm_client::flags).
enum : uint32_t {
    DM_CL_RECONNECT = 0x1,
    DM_CL_TLS_REQUIRED = 0x2,
    DM_CL_ENDP_FLAG = 0x4,
};

// File flags.
enum : uint16_t {
    DM_FILE_RESERVE = 0x10,  // write-reservation mode
};

// Open flag that also selects write-reservation mode (besides create).
constexpr int DM_O_RESERVE = 0x1000;

// Options of dm_set_option (the transport's process-wide socket options).
enum : int {
    DM_OPT_RCVBUF = 1,
    DM_OPT_SNDBUF = 2,
    DM_OPT_NODELAY = 3,
    DM_OPT_KEEPIDLE = 4,
    DM_OPT_KEEPCNT = 5,
    DM_OPT_KEEPINTVL = 6,
};

struct dm_client;
struct dm_file;

// The operations table: every remote operation goes through it.
struct dm_ops {
    int (*open)(dm_client *dmc, dm_file *df, const char *rname, int flags);
    int (*close)(dm_client *dmc, dm_file *df);
    int (*flush)(dm_client *dmc, dm_file *df);
    int (*close9)(dm_client *dmc, dm_file *df);  // close-form command 9, never called
    int (*remove)(dm_client *dmc, const char *name);
    int (*read_page)(dm_client *dmc, dm_file *df, uint64_t off, uint32_t len);
    int (*write)(dm_client *dmc, dm_file *df, pce *page, uint64_t off, uint32_t len, bool sync);
    int (*noop)(dm_client *dmc);  // never called
    int (*set_xattr)(dm_client *dmc, dm_file *df, const char *fname, const char *attr, const void *value,
                     uint32_t value_len);
    int (*get_xattr)(dm_client *dmc, dm_file *df, const char *fname, const char *attr, void *buf,
                     uint32_t *value_len);
};

// Remote file (one slot of a client).
struct dm_file {
    file_io *f;               // shadow file; null while the slot is free
    uint32_t handle;          // fh (low half) and slot (high half) from the open response
    dm_file *next;            // free-slot list
    uint16_t idx;             // slot index, fixed at creation
    uint16_t flags;           // DM_FILE_*
    dm_file_stats stats;      // sz: the remote file size
    dm_client *dc;            // owning client once the open succeeded
    int32_t io_started;
    uint64_t cl_ra_start;     // page-aligned consumption point of the reader
    uint64_t cl_ra_end;       // end of the range reads have been issued for
    int32_t ra_factor;
    int32_t ra_started;
    int64_t credit;           // bytes that may still be written asynchronously
    uint32_t gen;             // bumped at every open and release, so late completions find their file gone
    int32_t inflight;         // requests of this file in flight
    char rname[DM_OPEN_NAME_MAX];  // remote name, for messages
    // The appliance's checksums of the pages from sums_first on (reading
    // with data checksums on).
    int8_t sums_state;
    uint32_t sums_count;
    uint64_t sums_first;
    uint64_t sums[DM_SUMS_WINDOW];
    char fault[160];          // what made the last read fail, for the caller's message
};

// Pool record: one per pool message. A request record keeps what its
// completion needs (the page it holds a reference to, its file), so a late
// or cancelled completion never has to look anything up by name.
struct dm_pmsg {
    xcomm_msg *msg;
    dm_client *dmc;
    dm_pmsg *next;            // free-message list
    uint8_t in_use;
    uint8_t is_req;           // a request (counts against the request cap)
    uint8_t cmd;              // request: DM_CMD_READ or DM_CMD_WRITE
    uint8_t landed;           // read: the response is landing in `page`
    dm_file *df;
    uint32_t df_gen;
    pce *page;                // page referenced by the request (write) or landing (read)
    uint64_t off;             // request offset
    uint32_t len;             // request data length
};

struct dm_config {
    uint32_t pref_bsz;
    uint32_t pref_compress;
    uint32_t pref_dedup;
    uint8_t b0;
    uint8_t b1;
    uint16_t pref_reserve_mb;
};

struct dm_client {
    std::mutex lock;          // free-message list, free-slot list and their counters
    int32_t streams;
    int32_t max_pend;
    int32_t free_msg_cnt;
    int32_t free_slot_cnt;
    int32_t req_msgs;         // pool messages held by requests
    xcomm_ctx ctx;
    xcomm_endp endp;
    bool ctx_up;
    dm_file files[DM_MAX_FILES];
    dm_file *free_slots;
    dm_pmsg *free_msgs;
    dm_pmsg *pool;            // DM_POOL_MSGS records
    pcache *pc;
    dm_config config;
    dm_ops ops;
    char stream_names[DM_MAX_STREAMS][255];
    char name[254];           // remote name of the endpoint
    uint32_t page_cnt;
    uint32_t cache_bytes;
    void *log_ctx;
    uint32_t flags;           // DM_CL_*
    char cert_dir[256];
    unsigned char *scratch;   // one page for response data nobody may land in a cache page
    int32_t reads_inflight;
    // Synchronous requests whose waiter gave up: the wait loop frees them
    // when they come back, destruction when they do not.
    xcomm_msg *orphans[16];
    // Longest wait for any answer (and for the connect): util_response_timeout
    // at creation. When it passes with requests in flight the connection is
    // dropped and the waiting call fails with XCOMM_ERR_TIMEOUT.
    int32_t resp_timeout_s;
};

// ---- process-wide settings ----
// Installs the log function of the DM layer and, for the transport and the
// page cache, through the shared log funnel. Level 7 or more turns on their
// debug messages, above 7 their trace messages.
void dm_set_log(int level, util_log_cb_t fn);
// Transport socket option opt (DM_OPT_*) from a 4-byte value. 0, or
// DM_ERR_INVALID_LEN for another size or an unknown option.
int dm_set_option(int opt, const void *val, size_t valsize);
void dm_set_digests(int on);
// Read-ahead factor of files opened from now on (default 16).
void dm_set_read_ahead(int val);

// ---- client ----
// Connects to port@host (port 0: the "dm_client" service names) and agrees
// the configuration. Page count: 128, 4 with small_cache, DMC_PAGE_CNT
// overriding both (clamped to 4..4096; a value with trailing characters is
// ignored). Null with the error in *errp.
dm_client *dm_client_create(const char *host, int port, void *log_ctx, int reconnect, int small_cache,
                            const char *cert_dir, int tls_required, int flag2, int *errp);
void dm_client_destroy(dm_client *dmc);

// Page count the environment and the small-cache switch give.
uint32_t dm_page_count(int small_cache);

// ---- machinery shared by the file operations ----
// Waits for n completed messages (at most the response timeout each) and
// processes them. 0, or the first error: XCOMM_ERR_NOMSG when nothing is
// pending, XCOMM_ERR_TIMEOUT when the appliance left requests unanswered for
// the whole response timeout (the connection has then been dropped).
int dm_waitfor_io_msgs(dm_client *dmc, int n);
// Pool messages.
dm_pmsg *dm_msg_get(dm_client *dmc, bool request);
void dm_msg_put(dm_pmsg *pm);
// A pool request for df (waits for completions while the pool is empty);
// null with *errp on failure.
dm_pmsg *dm_msg_get_req(dm_client *dmc, int *errp);
// Sends msg as a request without waiting for its answer.
int dm_send_async(dm_client *dmc, xcomm_msg *msg);
// Sends msg and waits for its answer. 0 with *rsp, or an error; on an error
// msg has been released (or left to the transport, which hands it back
// through the wait loop later).
int dm_send_sync(dm_client *dmc, xcomm_msg *msg, xcomm_msg **rsp);
// Releases a message: pool messages go back to their client, others are freed.
int dm_msg_release(xcomm_msg *msg);
// Waits for one pool request and processes it. 0, or an error (the request
// then stays with the transport and the wait loop processes it later).
int dm_wait_req(dm_client *dmc, dm_pmsg *pm);
// Processes completions while anything is in flight. 0, or the first
// failure (a dropped connection); cancelled requests are collected all the same.
int dm_drain(dm_client *dmc);
// True while a read of df at off is in flight.
bool dm_read_inflight(dm_client *dmc, const dm_file *df, uint64_t off);
// Per-client log line (DEBUG only with debug logging on, TRACE only with trace).
void dm_log(const dm_client *dmc, int level, int line, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
int dm_log_level();
// Positive peer status of an asynchronous completion as the data calls
// report it (they return lengths, so a failure must be negative).
int dm_data_error(int sticky);

// ---- file slots (dm_file.cpp) ----
dm_file *dm_client_file_get(dm_client *dmc);
void dm_client_file_put(dm_client *dmc, dm_file *df);
void dm_file_ops_init(dm_ops *ops);
// Removes this process's shadow directory when it is empty.
void dm_shadow_cleanup();

// ---- remote file operations ----
dm_file *dm_file_open(dm_client *dmc, const char *name, int flags, int *errp);
// Length written, or a negative error.
int dm_file_write(dm_file *df, const void *buf, uint64_t off, uint32_t len);
// Bytes read (0 at the end of the file), or a negative error. digest: 16
// bytes, the MD5 of the returned bytes when digests are on.
//
// With digests on, every page is checked against the checksum the appliance
// keeps for it (dm_sums.h) before a byte of it is returned; a page that does
// not match fails the read with DM_ERR_BADMSG. An appliance that keeps no
// checksums is said so once per file, and the file is read unchecked.
int dm_file_read(dm_file *df, void *buf, uint64_t off, uint32_t len, unsigned char *digest);
// What made the last failed read of the file fail and where, as text, or null
// when it had no more to say than its status.
const char *dm_file_fault(const dm_file *df);
int dm_file_flush(dm_file *df);
int dm_file_close(dm_file *df);
int dm_file_delete(dm_client *dmc, const char *name);
// Exactly one of df and fname names the file.
int dm_set_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, const void *value,
                 size_t value_len);
// *value_len: capacity in, value length out (the size needed with status 34).
int dm_get_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, void *buf, size_t *value_len);
