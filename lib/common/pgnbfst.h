// The BFST data path: backup images written through the transfer library
// (libbfst64.so) as blobs, each recorded on the appliance as an extent of the
// image through the channel's MI session.
//
// Per open backup file the channel holds one bfst_path. It owns a
// bfst_context (credential, connection, session, the open store and the
// offsets of the image and of the current blob) and the optional write-behind
// and read-ahead caches. The image is cut into blobs of at most the context's
// blob size; each finished blob is tagged, its tag held on the appliance
// (MI_BFST_HOLD_TAG) and its extent recorded with a set-extent message.
//
// Every transfer-library call goes through the table of bfst_api.h. Every
// library failure is reported in the main log and leaves this module as an
// MI_STS status (bfst_status_to_mi). Broken internal invariants stop the
// process through com_assert; anything the library or the appliance returns
// fails the call instead.
#pragma once

#include <cstddef>
#include <cstdint>

struct bfst_context;
struct bfst_wcache;
struct bfst_rcache;

// Most image bytes one blob holds.
constexpr uint64_t BFST_BLOB_SIZE = 0x10000000;
// bfst_path::open_mode of a file opened for backup.
constexpr uint32_t BFST_OPEN_BACKUP = 16;

// bfst_path::flags: MI_OPEN_FILE's file flags with BFST_F_OPEN_DEFAULTS added.
enum : uint32_t {
    BFST_F_CIPHER = 0x02,         // encrypted; the next bits choose how
    BFST_F_CIPHER_A = 0x04,
    BFST_F_CIPHER_SHA256 = 0x08,  // SHA256-AES256 with a password
    BFST_F_CIPHER_CERT = 0x20,    // certificate credential
    BFST_F_OP_STATS = 0x40,       // operation statistics with every extent
    BFST_F_INGEST_STATS = 0x200,  // ingest statistics with every extent
    BFST_F_OST_NAMES = 0x400,
    BFST_F_ADMIN_ALERTS = 0x800,  // slow calls are reported to the appliance
    BFST_F_OPEN_DEFAULTS = 0xE40,
};

// Cipher codes handed to the credential calls.
enum : uint32_t {
    BFST_CIPHER_NONE = 0x0D70A169,
    BFST_CIPHER_A = 0x08A361DC,
    BFST_CIPHER_SHA256_AES256 = 0x0B615B7B,
    BFST_CIPHER_CERT = 0x01A2B3C4,
};

// State of the BFST path of one open backup file; zero-filled at each open.
// It lives inside the channel context RMAN allocates, hence the fixed size.
struct bfst_path {
    char host[512];             // the appliance; the connection is made to this name
    uint64_t mi_fh;             // MI file handle: first field of every MI message of the path
    void *mi_session;           // ost_mi_client; null makes every MI message fail with 22
    uint32_t flags;             // BFST_F_*
    uint32_t open_mode;         // BFST_OPEN_BACKUP when open for backup
    const char *image_name;     // printed in statistics lines; never filled here
    double store_time;          // seconds; reset when a store starts
    uint64_t link_stats[4];     // virtual sent, virtual received, actual sent, actual received
    uint64_t op_stats[3];       // bytes input, unique before compression, unique after
    uint64_t ingest_data_bytes; // bytes stored since the last set-extent
    uint64_t close_latency_ms;  // time spent in store calls since the last set-extent
    uint64_t space_credit;      // bytes that may be written before the next MI_CHECK_SPACE
    uint32_t alert_count;       // admin alerts sent for this file
    bfst_wcache *wcache;
    bfst_rcache *rcache;
    bfst_context *ctx;
    unsigned char reserved[1200];
};
static_assert(sizeof(bfst_path) == 1864);

// ---- transfer library start, stop, codes and reports ----

// Library code to MI status (0 stays 0; unknown codes MI_STS_EINTERNAL).
int32_t bfst_status_to_mi(int code);

// Logs "<message>: 0x<code> [<library text for code>]: <err>" at ERROR.
void bfst_report_error(int code, const char *err, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// bfst2_initialize("BFST_RMAN") / bfst2_finalize; 0 or the mapped MI status.
int bfst_library_init();
int bfst_library_fini();

// The channels' references on the transfer library, taken by sbtinit2 and
// dropped by sbtend: the first reference starts the library, the last one
// to go stops it. 0, or the MI status of a failed start (no reference then).
int rpgn_initbfst();
void rpgn_finibfst();

// ---- connection and session ----

// Creates the path's context for blobs of blob_size bytes and picks the
// cipher from the path's flags. 0, or MI_STS_EMALLOC.
int pgnbfst_initialize_gp(bfst_path *p, uint64_t blob_size);
// Frees the context (no store or session may be left).
void pgnbfst_finalize_gp(bfst_path *p);
// Credential, connection (with the busy retry), open, session and tag
// length. 0 or an MI status; a failure has released what it built.
int pgnbfst_connect_new_session_gp(bfst_path *p);
// Finishes an open blob, then releases session, connection and credential.
// Returns the status of finishing the blob.
int pgnbfst_disconnect_gp(bfst_path *p);

// ---- store path ----

// Stores len bytes of data at image offset off. 0 or an MI status; *written
// counts the bytes this call stored. Offsets only grow: a write below the
// current offset is refused, one above it ends the current blob first.
int pgnbfst_write_gp(bfst_path *p, const void *data, uint64_t len, uint64_t off, uint64_t *written);
// Ends the current blob: tag, hold, statistics, extent.
int finish_blob_in_image_gp(bfst_path *p);

// ---- space credit and admin alerts ----

// Takes len bytes from the space credit, asking the appliance for one more
// blob's worth (MI_CHECK_SPACE) when the credit does not cover them.
int pgnbfst_check_space(bfst_path *p, uint64_t len);
// Tells the appliance (when the file's alerts are on) and the log that a
// library call took seconds seconds.
void process_admin_alert(uint32_t seconds, bfst_path *p, const char *text);
