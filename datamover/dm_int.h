// Inside of the DM client: its records (client, remote-file slots, pool
// messages, operations table) and the machinery its modules share: the
// message pool and completions, sending and waiting, the receive side, the
// shadow files and the per-client log.
//
// Modules: dm_settings (process-wide settings, log), dm_pool (pool and
// completions), dm (send and wait), dm_recv (receive landing), dm_connect
// (connect, configuration, client life), dm_remote (the operations table),
// dm_xattr (attributes), dm_shadow (shadow files), dm_read (reading and
// read-ahead), dm_file (file slots, open, write, flush, close, delete).
#pragma once

#include "datamover/dm.h"
#include "datamover/dm_msg.h"
#include "datamover/dm_sums.h"
#include "datamover/pcache.h"
#include "datamover/file_io.h"
#include "datamover/util.h"
#include "datamover/xcomm.h"

#include <cstddef>
#include <cstdint>
#include <mutex>

// ---- sizes and limits ----
constexpr int DM_MAX_FILES = DM_SLOT_COUNT;   // remote-file slots per client
constexpr int DM_MAX_PEND = 256;              // outstanding requests per endpoint
constexpr int DM_POOL_MSGS = 2 * DM_MAX_PEND; // pool messages allocated at connect
constexpr int DM_MAX_STREAMS = 8;
constexpr uint32_t DM_PAGE_CNT = 128;
constexpr uint32_t DM_PAGE_CNT_SMALL = 4;
constexpr uint32_t DM_PAGE_CNT_MIN = 4;
constexpr uint32_t DM_PAGE_CNT_MAX = 4096;
constexpr uint16_t DM_DEFAULT_PORT = 3095;
constexpr int DM_PEEK_SIZE = XCOMM_HDR_SIZE + 16;    // XCOMM header + DM header
constexpr uint64_t DM_MAX_FILE_END = 1ull << 46;     // highest end offset of a write
constexpr int DM_CONNECT_TRIES = 20;
constexpr uint32_t DM_CTRL_RSP_MAX = (1u << 20) + 64; // largest control response accepted
constexpr const char *DM_SHADOW_ROOT = "/tmp/dm/shadow";
// Checksums of the appliance fetched at a time (64 MiB of data).
constexpr uint32_t DM_SUMS_WINDOW = 256;
static_assert(DM_SUM_PAGE == DM_PAGE_SIZE, "a cache page is checked against one appliance checksum");
static_assert(DM_PAGE_SIZE == DM_PREF_BSZ, "the block size asked for is one page");
// Consecutive pages one read or write request may carry, when the appliance
// announces a block size that large: one scatter-gather entry each, behind
// the entry of the DM header.
constexpr uint32_t DM_MAX_RUN = 16;
// Bytes a client keeps in flight each way by default: read ahead of the
// reader, and written but not yet acknowledged. Enough for a LAN's round
// trip at full speed, and small enough that pages are used again while
// their bytes are still in the processor's caches (a restore ran a quarter
// faster with 4 MiB ahead than with 16 on this path).
constexpr uint64_t DM_WINDOW = 4u << 20;
static_assert(DM_MAX_RUN + 1 <= static_cast<uint32_t>(XCOMM_MAX_SGL), "a run of pages fits one message");
static_assert(DM_MAX_RUN + 1 <= 32, "a message's entries fit the bits of dm_pmsg::direct");

// Whole pages of the reader's buffer a single read may take straight from
// the socket (see dm_direct).
constexpr uint32_t DM_DIRECT_MAX = DM_MAX_READ_LEN / DM_PAGE_SIZE + 1;
enum : uint8_t {
    DM_DIRECT_NONE = 0,     // not landed in the reader's buffer (yet)
    DM_DIRECT_LANDING = 1,  // an answer is landing there
    DM_DIRECT_DONE = 2,     // the whole page arrived there, unchecked
};

// The buffer of a read waiting for its pages. An answer that arrives while
// the reader waits lands its whole pages of that buffer there instead of in
// cache pages, which saves the copy from the cache (a restore's data is read
// once). Only for the duration of one dm_file_read: when it returns, answers
// still landing there are turned to the scratch page.
struct dm_direct {
    dm_file *df;              // the reading file; null while no read waits
    uint32_t gen;             // its generation
    uint32_t seq;             // bumped by every read, so late completions of an earlier one are told apart
    uint64_t first;           // offset of the first whole page of the buffer
    uint32_t npages;          // whole pages from first on
    unsigned char *buf;       // where the page at first goes
    uint8_t state[DM_DIRECT_MAX];
    uint64_t pages;           // pages landed in readers' buffers (a count to look at in a debugger or a test)
};

// Whether a file read with data checksums on can be checked.
enum : int8_t {
    DM_SUMS_UNKNOWN = 0,  // not asked yet
    DM_SUMS_HAVE = 1,     // the window holds checksums
    DM_SUMS_NONE = 2,     // the appliance keeps none for it: read unchecked
};

// dm_client::flags, from the switches of dm_client_create.
enum : uint32_t {
    DM_CL_RECONNECT = 0x1,
    DM_CL_TLS_REQUIRED = 0x2,
    DM_CL_ENDP_FLAG = 0x4,  // handed to xcomm_endp_init as its flags
};

// File flags.
enum : uint16_t {
    DM_FILE_RESERVE = 0x10,  // write-reservation mode
};

// Open flag that also selects write-reservation mode (besides create).
constexpr int DM_O_RESERVE = 0x1000;

// The operations table: every remote operation goes through it.
struct dm_ops {
    int (*open)(dm_client *dmc, dm_file *df, const char *rname, int flags);
    int (*close)(dm_client *dmc, dm_file *df);
    int (*flush)(dm_client *dmc, dm_file *df);
    int (*close9)(dm_client *dmc, dm_file *df);  // close-form command 9, never called
    int (*remove)(dm_client *dmc, const char *name);
    int (*read_page)(dm_client *dmc, dm_file *df, uint64_t off, uint32_t len);
    // Sends bytes [off, off + len) of the run of consecutive pages; the
    // request keeps their references until its answer.
    int (*write)(dm_client *dmc, dm_file *df, pce *const *pages, uint32_t npages, uint64_t off, uint32_t len,
                 bool sync);
    // Sends bytes [off, off + len) of whole pages (at most the client's run
    // length) straight from the caller's buffer src. What the socket has not
    // taken when it returns has been copied into cache pages, which the
    // request keeps until its answer (without free pages for that, it waits
    // until the socket has taken every byte); either way nothing of src is
    // read after the call. On failure the connection has been dropped. Never
    // with reconnection on.
    int (*write_buf)(dm_client *dmc, dm_file *df, const unsigned char *src, uint64_t off, uint32_t len);
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
    // Written pages not sent yet: bytes [run_off, run_off + run_len) of
    // consecutive pages, each referenced, waiting for the next write to
    // continue them into one request of up to the client's run length.
    pce *run[DM_MAX_RUN];
    uint32_t run_cnt;
    uint32_t run_len;
    uint64_t run_off;
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
    // Read request: bit i, page i of the run lands in the reader's buffer
    // (read `direct_seq`). Answer: bit i, entry i points into that buffer.
    uint32_t direct;
    uint32_t direct_seq;
    uint32_t ticket;          // bumped every time the record is taken
    dm_file *df;
    uint32_t df_gen;
    pce *pages[DM_MAX_RUN];   // pages referenced by the request (write) or landing (read)
    uint32_t npages;
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
    uint32_t run_max;         // pages one read or write request carries at most
    bool page_cnt_given;      // the page count came from DMC_PAGE_CNT
    uint64_t window;          // bytes in flight each way at most (see DM_WINDOW)
    void *log_ctx;
    uint32_t flags;           // DM_CL_*
    char cert_dir[256];
    unsigned char *scratch;   // one page for response data nobody may land in a cache page
    int32_t reads_inflight;
    uint64_t write_bytes_inflight;
    bool batch_reads;  // read-ahead is queuing reads: they go out together when it is done
    dm_direct direct;  // the buffer of the read waiting for its pages
    // Synchronous requests whose waiter gave up: the wait loop frees them
    // when they come back, destruction when they do not.
    xcomm_msg *orphans[16];
    // Longest wait for any answer (and for the connect): util_response_timeout
    // at creation. When it passes with requests in flight the connection is
    // dropped and the waiting call fails with XCOMM_ERR_TIMEOUT.
    int32_t resp_timeout_s;
};

// ---- log and settings (dm_settings.cpp) ----
// Per-client log line (DEBUG only with debug logging on, TRACE only with trace).
void dm_log(const dm_client *dmc, int level, int line, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
int dm_log_level();
// A log line that costs nothing when its level is off.
#define DMLOG(dmc, level, ...)                                               \
    do {                                                                     \
        if ((level) < UTIL_LOG_DEBUG || (level) <= dm_log_level())           \
            dm_log(dmc, level, __LINE__, __VA_ARGS__);                       \
    } while (0)
// Page count the small-cache switch gives, or DMC_PAGE_CNT when it holds a
// number; *given, when not null, says whether it came from there.
uint32_t dm_page_count(int small_cache, bool *given = nullptr);
// Positive peer status of an asynchronous completion as the data calls
// report it (they return lengths, so a failure must be negative).
int dm_data_error(int sticky);

// ---- pool and completions (dm_pool.cpp) ----
int dm_pool_init(dm_client *dmc);
void dm_pool_free(dm_client *dmc);
// The pool record of m, or null when m is not one of the client's pool messages.
dm_pmsg *dm_pool_rec(const dm_client *dmc, const xcomm_msg *m);
dm_pmsg *dm_msg_get(dm_client *dmc, bool request);
void dm_msg_put(dm_pmsg *pm);
// Releases a message: pool messages go back to their client, others are freed.
int dm_msg_release(xcomm_msg *msg);
// The endpoint's release callback.
int dm_free_cb(xcomm_msg *msg);
// Synchronous requests whose waiter gave up, kept until they come back.
void dm_orphan_add(dm_client *dmc, xcomm_msg *m);
// Ends a request: the page it references is released (a read that did not
// complete leaves nothing behind in the cache) and err becomes the file's
// sticky error.
void dm_finish_req(dm_client *dmc, dm_pmsg *pm, int err, bool complete);
// Processes one message handed back by the transport and releases it.
int dm_process(dm_client *dmc, xcomm_msg *m);

// ---- send and wait (dm.cpp) ----
// Waits for n completed messages (at most the response timeout each) and
// processes them. 0, or the first error: XCOMM_ERR_NOMSG when nothing is
// pending, XCOMM_ERR_TIMEOUT when the appliance left requests unanswered for
// the whole response timeout (the connection has then been dropped).
int dm_waitfor_io_msgs(dm_client *dmc, int n);
// A pool request (waits for completions while the pool is empty); null with
// *errp on failure.
dm_pmsg *dm_msg_get_req(dm_client *dmc, int *errp);
// Sends msg as a request without waiting for its answer.
int dm_send_async(dm_client *dmc, xcomm_msg *msg);
// Sends msg and waits for its answer. 0 with *rsp, or an error; on an error
// msg has been released (or left to the transport, which hands it back
// through the wait loop later).
int dm_send_sync(dm_client *dmc, xcomm_msg *msg, xcomm_msg **rsp);
// Sends a control request of mlen bytes, which encode(buf, len) writes into
// the message's one entry (returning its length or a negative error), and
// waits for the answer. 0 with *rsp, or an error.
template <class Encode>
int dm_request(dm_client *dmc, size_t mlen, Encode encode, xcomm_msg **rsp)
{
    if (mlen > DM_CTRL_RSP_MAX)
        return DM_ERR_INVALID_LEN;
    xcomm_msg *req = xcomm_msg_alloc(static_cast<uint32_t>(mlen));
    if (req == nullptr)
        return DM_ERR_NOMEM;
    XASSERT(req->sgl[0].iov_len == mlen);
    int rc = encode(req->sgl[0].iov_base, req->sgl[0].iov_len);
    if (rc < 0) {
        xcomm_msg_free(req);
        return rc;
    }
    return dm_send_sync(dmc, req, rsp);
}
// Waits for one pool request and processes it. 0, or an error (the request
// then stays with the transport and the wait loop processes it later).
int dm_wait_req(dm_client *dmc, dm_pmsg *pm);
// Processes completions while anything is in flight. 0, or the first
// failure (a dropped connection); cancelled requests are collected all the same.
int dm_drain(dm_client *dmc);
// Waits until the transport has handed the whole of request pm (taken
// with ticket `ticket`) to the socket, or let it go. 0, or an error: the
// connection has then been dropped, and nothing of the request is written
// any more.
int dm_wait_written(dm_client *dmc, const dm_pmsg *pm, uint32_t ticket);
// True while a read of df at off is in flight.
bool dm_read_inflight(dm_client *dmc, const dm_file *df, uint64_t off);

// ---- receive side (dm_recv.cpp) ----
// The endpoint's allocation callback: read data lands straight in the waiting
// reader's buffer (whole pages of it) or in cache pages.
xcomm_msg *dm_alloc_cb(xcomm_endp *endp, xcomm_fd *fd, const unsigned char *peek);

// Ends the landing of read data in a reader's buffer (see dm_direct): the
// pages of a read request whose bit is set in pm->direct become DONE when
// ok, NONE otherwise (the reader asks again).
void dm_direct_finish(dm_client *dmc, dm_pmsg *pm, bool ok);

// ---- remote operations (dm_remote.cpp, dm_xattr.cpp) ----
void dm_file_ops_init(dm_ops *ops);
int dm_rmt_set_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, const void *value,
                     uint32_t value_len);
int dm_rmt_get_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, void *buf,
                     uint32_t *value_len);

// ---- file slots (dm_file.cpp) ----
dm_file *dm_client_file_get(dm_client *dmc);
void dm_client_file_put(dm_client *dmc, dm_file *df);
// Sends the written pages df holds back (see dm_file::run). 0, or the send's
// error (the pages are released either way).
int dm_file_push(dm_client *dmc, dm_file *df);
// Releases the pages df holds back without sending them.
void dm_file_run_release(dm_file *df);

// ---- shadow files (dm_shadow.cpp) ----
// Creates a fresh file of a unique name in this process's shadow directory;
// its path goes to path (capacity cap). Null with *errp on failure.
file_io *dm_shadow_create(dm_client *dmc, const char *rname, char *path, size_t cap, int *errp);
// Removes "<root>/<pid><name>" and then its empty parent directories up to the root.
void dm_shadow_remove(dm_client *dmc, const char *name);
// Removes this process's shadow directory when it is empty.
void dm_shadow_cleanup();
// Capacity of a shadow file's path.
constexpr size_t DM_SHADOW_PATH_MAX = 260;
