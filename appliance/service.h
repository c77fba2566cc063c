// Inside of the appliance: the state its services share, and the two request
// handlers. The handlers work on whole request payloads and know nothing of
// the transport, so tests and fuzzers drive them directly.
#pragma once

#include "appliance/admission.h"
#include "appliance/appl_auth.h"
#include "appliance/appl_log.h"
#include "appliance/appliance.h"
#include "appliance/store.h"
#include "datamover/dm_msg.h"
#include "datamover/ost_mi.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// An extent recorded for a file opened through MI (blob tag, where it sits in
// the backup image), with the transfer statistics its set-extent form carried
// (zero where the form has no such field).
struct appl_extent {
    uint64_t image_off = 0;
    uint64_t length = 0;
    uint64_t tag_off = 0;
    std::string tag;
    uint32_t form = 0;         // MI_BFST_SET_EXTENT, _STATS or _ACCEL
    uint64_t link[4] = {};     // virtual sent, virtual received, actual sent, actual received
    uint64_t store_time_ms = 0;
    uint64_t op[3] = {};       // bytes input, unique before compression, unique after
    uint64_t ingest_data_bytes = 0;
    uint64_t ingest_unique_bytes = 0;
    uint64_t close_latency_ms = 0;
};

// Most extents and held tags one handle may record.
constexpr size_t APPL_MAX_EXTENTS = 65536;
constexpr size_t APPL_MAX_HELD_TAGS = 65536;
// Longest tag text accepted (hexadecimal, two digits per byte).
constexpr size_t APPL_MAX_TAG_TEXT = 510;
// Space one MI_CHECK_SPACE grants: the client writes this much before asking again.
constexpr uint64_t APPL_SPACE_STEP = 0x10000000;

// Open modes of MI_OPEN_FILE.
enum : int {
    MI_MODE_READ = 1,
    MI_MODE_WRITE = 2,
    MI_MODE_EXCL = 4,
    MI_MODE_CREATE = 8,
};

// A file opened through MI: its handle, the open file and what MI recorded.
struct appl_handle {
    uint64_t id = 0;
    uint64_t owner = 0;   // MI session that opened it
    std::string user;     // and its user: the only one the data mover lets use it
    int mi_mode = 0;
    std::shared_ptr<store_file> file;
    std::mutex mu;        // guards extents, tags and alerts
    std::vector<appl_extent> extents;
    std::map<std::string, uint32_t> held_tags;  // tag text (lower case) -> holds
    uint64_t alerts = 0;  // admin alerts received for this file
    // What the last MI_CHECK_SPACE granted: held back from the other files'
    // grants until the handle closes (guarded by appl_shared::space_mu).
    uint64_t space_granted = 0;
    // Whether the data written into the file arrived whole: data-mover
    // connections that have it open for writing, and the first failure
    // (error number) of a write, a flush or a writer.
    std::atomic<int> dm_writers{0};
    std::atomic<int> data_failure{0};
};

struct appl_shared;

// Records a failure of the data written into a file (the first one counts).
void appl_handle_fail(appl_handle *h, int status);
// 0 when the data written into the file arrived whole. Through the data
// mover: every writer closed it cleanly and no write failed. Through the BFST
// service (the file has extents): its extents cover it from offset 0 without
// gap or overlap, each lies inside a blob the file holds (*segs are then its
// segments, in file order), no data arrived beside them, and the file holds
// no blob that no extent uses. Otherwise the error number of the failure,
// with *why saying what happened.
int appl_handle_incomplete(appl_shared *sh, appl_handle *h, std::vector<store_seg> *segs, const char **why);

// Hold (hold true) or release a blob by its tag for a handle: the link to the
// blob store. Called when a handle takes its first hold of a tag and when it
// lets go of it. Returns an MI status; a refusal leaves the hold unrecorded.
typedef int32_t (*appl_tag_hook)(void *ctx, const appl_handle *h, const std::string &tag, bool hold);
// The hook of the appliance: the blob store (ctx) holds the blob for the
// handle, or releases it; a tag the store does not have, or that another
// handle holds, is refused.
int32_t appl_blob_tag_hook(void *ctx, const appl_handle *h, const std::string &tag, bool hold);

struct blob_store;
struct chunk_store;

struct appl_shared {
    appliance_config cfg;
    store *st = nullptr;
    blob_store *blobs = nullptr;   // blobs of the BFST service
    chunk_store *chunks = nullptr; // chunks of deduplicated stores; null when deduplication is off
    appl_log *log = nullptr;
    uint16_t dm_port = 0;          // reported through MI_DM_PORT
    void *tls_ctx = nullptr;       // TLS context of the control and data-mover services (--tls-dir)
    std::atomic<uint64_t> next_session{1};
    std::atomic<uint64_t> read_replies{0};  // data-mover read replies with data (failure injection)

    std::mutex hmu;
    std::unordered_map<uint64_t, std::shared_ptr<appl_handle>> handles;

    std::mutex space_mu;                  // makes each space grant one step
    std::atomic<uint64_t> admin_alerts{0};  // received, over all files

    // Unset: holds are only recorded on the handle (and no file with
    // extents can be completed).
    appl_tag_hook tag_hook = nullptr;
    void *tag_hook_ctx = nullptr;

    appl_auth auth;   // logins and data-mover claims
    adm_table adm;    // connections per client address (network side)
};

// Registers a new handle for an opened file and returns it.
std::shared_ptr<appl_handle> appl_handle_add(appl_shared *sh, uint64_t owner, const std::string &user, int mi_mode,
                                             std::shared_ptr<store_file> file);
std::shared_ptr<appl_handle> appl_handle_find(appl_shared *sh, uint64_t id);
// Removes the handle (when owner matches). Returns it, or null.
std::shared_ptr<appl_handle> appl_handle_take(appl_shared *sh, uint64_t id, uint64_t owner);
// Removes and returns every handle of an owner.
std::vector<std::shared_ptr<appl_handle>> appl_handle_take_all(appl_shared *sh, uint64_t owner);

// 64 random bytes (getrandom, else /dev/urandom). Returns 0 or -1.
int appl_random(void *buf, size_t len);

// ---------------------------------------------------------------- MI
// An ost_mi record: type, reserved, status, reserved, then the XDR payload.
constexpr size_t APPL_MI_PAYLOAD = OST_MI_PAYLOAD_SIZE;
constexpr size_t APPL_MI_RECORD = OST_MI_REC_SIZE;

struct mi_session;
// A session of a control connection from peer (IPv4 address, host order).
mi_session *mi_session_new(appl_shared *sh, uint32_t peer);
// Releases the session's handles and ends its login; files it created and
// never closed are abandoned.
void mi_session_free(mi_session *s);
bool mi_session_authenticated(const mi_session *s);
// The session's login (null before it authenticated).
std::shared_ptr<const appl_login> mi_session_login(const mi_session *s);
// How long the reply to the request just handled is to be held back (failed
// logins from the session's address); 0 for at once.
uint32_t mi_session_reply_delay_ms(const mi_session *s);

// Handles one request record of len bytes and writes the 4108-byte reply
// record into rsp. Returns 0 to send the reply, -1 to drop the connection
// (a record that is not a request at all).
int mi_session_handle(mi_session *s, const unsigned char *req, size_t len, unsigned char rsp[APPL_MI_RECORD]);

// ---------------------------------------------------------------- DM
constexpr size_t APPL_DM_HDR = DM_HDR_SIZE;
// Largest request payload other than write data: xattr header, a file name,
// an attribute name and a value, each with its NUL.
constexpr size_t APPL_DM_MAX_CTRL = DM_XATTR_HDR_SIZE + DM_XATTR_PATH_MAX + (STORE_MAX_ATTR_NAME + 1) + STORE_MAX_ATTR_VALUE;
// Files a DM connection may hold open at once.
constexpr int APPL_DM_MAX_FILES = 64;

struct dm_session;
// A session of a data-mover connection acting for login (see appl_auth.h);
// without one, every request but the configuration is refused.
dm_session *dm_session_new(appl_shared *sh, std::shared_ptr<const appl_login> login);
void dm_session_free(dm_session *s);
// Largest data length of a read or write this session serves.
uint32_t dm_session_max_io(const dm_session *s);

// A reply: a fixed head (header, and the configuration, open or xattr body)
// followed by data, which points into the caller's buffer or the head.
struct dm_reply {
    unsigned char head[64];
    uint32_t head_len = 0;
    const unsigned char *data = nullptr;
    uint32_t data_len = 0;
};

// Handles one request. head/head_len is the payload up to the data of a
// write (the whole payload for every other command); data/data_len the data
// of a write. A read places its data in rbuf (capacity rcap). Returns 0 to
// send the reply, -1 to drop the connection (a request that cannot even be
// parsed as one).
int dm_session_handle(dm_session *s, const unsigned char *head, size_t head_len, const unsigned char *data,
                      size_t data_len, unsigned char *rbuf, size_t rcap, dm_reply *out);
