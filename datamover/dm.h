// DM client: one connection to the appliance's data-mover service per
// session, a pool of message objects, 32 remote-file slots and a page cache.
// File data is never copied into messages: write requests are sent straight
// from cache pages and read responses are received straight into them.
//
// Everything runs on the caller's thread. The transport has no thread of its
// own, so responses are collected only inside the client's wait loops. One
// thread drives one client at a time.
//
// Status values: 0 or a positive count on success; a positive number is the
// appliance's error number (open, close, flush, delete, attributes); negative
// values are FILE_ERR_*, PCACHE_ERR_*, XCOMM_ERR_* and DM_ERR_* codes
// (datamover/util.h). A delete of a file the appliance does not have answers
// DM_STS_NOFILE (datamover/dm_msg.h).
//
// This header is what the SBT layer calls; the client's records and the
// machinery its modules share are in datamover/dm_int.h.
#pragma once

#include "datamover/util.h"

#include <cstddef>
#include <cstdint>

struct dm_client;
struct dm_file;

constexpr uint32_t DM_PAGE_SIZE = 262144;      // cache page; also the block size asked for
constexpr uint32_t DM_MAX_READ_LEN = 0x7EFFFF; // longest single read

// Switches of dm_client_create.
enum : int {
    DM_RECONNECT_OFF = 0,  // a broken connection fails what is in flight
    DM_RECONNECT_ON = 1,
};
enum : int {
    DM_CACHE_NORMAL = 0,   // 128 pages
    DM_CACHE_SMALL = 1,    // 4 pages
};
enum : int {
    DM_ENDP_USE_POLL = 1,  // the endpoint carries the poll marker (XCOMM_ENDP_USE_POLL)
};

// Options of dm_set_option (the transport's process-wide socket options).
enum : int {
    DM_OPT_RCVBUF = 1,
    DM_OPT_SNDBUF = 2,
    DM_OPT_NODELAY = 3,
    DM_OPT_KEEPIDLE = 4,
    DM_OPT_KEEPCNT = 5,
    DM_OPT_KEEPINTVL = 6,
};

// The DM layer's process-wide settings as the library's configuration gives
// them. A negative value leaves that setting as it is.
struct dm_settings {
    int32_t digests;         // 1: page digests and checksum checks on (never turned off here)
    int32_t read_ahead_mb;   // read-ahead factor of files opened from then on
    int32_t tcp_nodelay;     // socket options, DM_OPT_*
    int32_t tcp_sndbuf;
    int32_t tcp_rcvbuf;
    int32_t tcp_keepintvl;
    int32_t tcp_keepcnt;
    int32_t tcp_keepidle;
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
// Takes every setting of s that is given: digests, read-ahead, then the
// socket options in the order no-delay, send buffer, receive buffer,
// keep-alive interval, count and idle time.
void dm_apply_settings(const dm_settings *s);

// ---- client ----
// Connects to port@host (port 0: the "dm_client" service names) and agrees
// the configuration. reconnect: DM_RECONNECT_*; small_cache: DM_CACHE_*, with
// DMC_PAGE_CNT overriding the page count (clamped to 4..4096; a value with
// trailing characters is ignored); cert_dir: TLS certificates (null or empty:
// no TLS), tls_required only with one; flag2: DM_ENDP_USE_POLL or 0. Null
// with the error in *errp.
dm_client *dm_client_create(const char *host, int port, void *log_ctx, int reconnect, int small_cache,
                            const char *cert_dir, int tls_required, int flag2, int *errp);
void dm_client_destroy(dm_client *dmc);

// ---- remote file operations ----
// flags: the platform's open-flag numbering (KES_O_*).
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
