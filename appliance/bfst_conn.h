// The records of a BFST connection and what its two halves share: the
// connection and its answers (bfst_service.cpp) and its stores, plain and
// deduplicated (bfst_stores.cpp).
#pragma once

#include "appliance/bfst_service.h"
#include "appliance/blob_store.h"
#include "appliance/chunk_store.h"
#include "appliance/server.h"
#include "bfst/bfst_link.h"
#include "bfst/bfst_proto.h"
#include "bfst/bfst_tls.h"
#include "datamover/dm_sums.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

struct bfst_service {
    appl_shared *sh = nullptr;
    appl_acceptor acc;
    std::atomic<int> serving{0};
    std::atomic<uint32_t> refused{0};
    std::atomic<uint64_t> next_conn{1};
    std::vector<bfst_psk> psks;
    SSL_CTX *psk_ctx = nullptr;
    SSL_CTX *cert_ctx = nullptr;
};

namespace bfst_svc {

enum store_state { ST_OPEN, ST_SEALED, ST_FAILED };

struct sum_stream_free {
    void operator()(dm_sum_stream *s) const { dm_sum_stream_free(s); }
};

// A chunk a deduplicated store asked for and waits for; once it arrived,
// until the chunk checker is done with it.
struct pending_chunk {
    uint32_t len = 0;
    uint32_t uses = 0;  // entries of the recipe that name it
    bool arrived = false;
};

// The chunk checker of a connection: a thread that expands each chunk that
// arrives, checks it against its fingerprint and adds it to the chunk store,
// while the connection's thread reads the next frames. Chunks land in its
// slots straight from the socket and are taken back in order.
constexpr int CHUNK_PIPE_SLOTS = 16;

struct chunk_slot {
    uint32_t store = 0;  // id
    bfst_fp fp;
    uint32_t len = 0, flags = 0, n = 0, uses = 0;
    unsigned char *mem = nullptr;  // BFST_MAX_CHUNK_FRAME bytes: the frame's payload
    // the checker's verdict: a static reason the chunk is bad, or the
    // chunk store's status
    const char *bad = nullptr;
    int rc = 0;
};

struct chunk_pipe {
    chunk_store *cs = nullptr;
    std::unique_ptr<unsigned char[]> mem;  // the slots' bytes
    std::unique_ptr<unsigned char[]> raw;  // the checker's: an expanded chunk
    chunk_slot slot[CHUNK_PIPE_SLOTS];
    uint64_t head = 0;  // slots handed over (written by the connection's thread under mu)
    uint64_t done = 0;  // of them checked (written by the checker under mu)
    uint64_t tail = 0;  // of them taken back (the connection's thread)
    // Each side is woken only when it sleeps, and the connection's thread,
    // waiting for room, only once half the slots are free: no hand-over per
    // chunk.
    std::mutex mu;
    std::condition_variable work_cv, done_cv;
    bool checker_sleeps = false;
    uint64_t wake_at = UINT64_MAX;  // the done count the connection's thread waits for
    bool stop = false;
    std::thread worker;
};

struct srv_store {
    uint32_t id = 0;
    uint32_t session = 0;
    store_state state = ST_OPEN;
    blob_writer *w = nullptr;     // while open (for a deduplicated store: its recipe)
    uint64_t bytes = 0;           // of the stream
    unsigned char tag[BLOB_TAG_BYTES] = {};
    uint32_t fail_code = 0;
    char fail_text[160] = {};
    // A deduplicated store: the chunks it references until its recipe is
    // durable (and then the recipe's), the chunks it waits for, and what
    // it added to the chunk store.
    chunk_store *cs = nullptr;
    std::vector<bfst_fp> refs;
    std::unordered_map<bfst_fp, pending_chunk, bfst_fp_hash> pending;
    std::unique_ptr<dm_sum_stream, sum_stream_free> esum;
    uint64_t chunks = 0, new_chunks = 0, new_raw = 0, new_stored = 0;
};

struct srv_conn {
    bfst_service *svc = nullptr;
    appl_shared *sh = nullptr;
    uint64_t id = 0;
    char peer[64] = "?";
    bfst_link link;
    bool opened = false;
    uint32_t next_id = 1;
    std::vector<uint32_t> sessions;
    std::vector<srv_store> stores;
    unsigned char *buf = nullptr;   // BFST_SVC_BUF bytes, taken at the first data
    uint64_t blobs = 0, bytes = 0;
    uint32_t version = 1;           // agreed in the greeting
    // for deduplicated stores: a query's entries, and the chunk checker
    std::vector<bfst_query_entry> query;
    std::unique_ptr<chunk_pipe> pipe;
};

static_assert(BFST_MAX_QUERY <= BFST_SVC_BUF && BFST_MAX_CHUNK_FRAME <= BFST_SVC_BUF,
              "a query or a chunk fits the receive buffer");

int64_t frame_deadline(const srv_conn *c);
// Logs a failed read or write of the connection (what: what it was for).
void log_io(srv_conn *c, int rc, const char *what);
// Answers a request; false when the answer cannot be sent.
bool reply_ok(srv_conn *c, uint32_t id, const unsigned char *payload = nullptr, size_t len = 0);
bool reply_error(srv_conn *c, uint32_t id, uint32_t code, const char *text, bool async = false);
srv_store *find_store(srv_conn *c, uint32_t id);
bool has_session(const srv_conn *c, uint32_t id);
// Lets go of what an unfinished store holds: its blob and its chunks.
void drop_store(srv_store *s);
void fail_store(srv_store *s, uint32_t code, const char *text);

// The store frames. Each returns false when the connection must end.
bool take_data(srv_conn *c, const bfst_hdr &h);   // DATA
bool take_query(srv_conn *c, const bfst_hdr &h);  // CHUNK_QUERY
bool take_chunk(srv_conn *c, const bfst_hdr &h);  // CHUNK
bool tag_store(srv_conn *c, const bfst_hdr &h);   // STORE_TAG and STORE_FINISH
bool start_store(srv_conn *c, const bfst_hdr &h, const unsigned char *payload);
// Waits until the chunk checker is done with every chunk handed to it and
// takes them all back. False when the connection must end.
bool drain_chunks(srv_conn *c);
// Stops the chunk checker (after drain_chunks).
void stop_chunks(srv_conn *c);

}  // namespace bfst_svc
