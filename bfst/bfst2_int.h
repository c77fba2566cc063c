// Inside of the transfer library: its objects and the helpers the modules
// share. Every object carries a magic word while alive; all calls on a
// connection, its sessions and its stores run under the connection's lock.
#pragma once

#include "bfst/bfst2.h"
#include "bfst/bfst_link.h"
#include "bfst/bfst_proto.h"
#include "bfst/bfst_tls.h"

#include <cstdint>
#include <mutex>
#include <platform_net.h>
#include <string>
#include <vector>

constexpr uint32_t BFST2_MAGIC_LIVE = 0xFEEDFACE;
constexpr uint32_t BFST2_MAGIC_DEAD = 0xDEADBEEF;

// Cipher codes of the credential calls and the certificate kind.
constexpr uint32_t BFST2_CIPHER_NONE = 0x0D70A169;
constexpr uint32_t BFST2_CIPHER_AES128 = 0x08A361DC;
constexpr uint32_t BFST2_CIPHER_AES256 = 0x0B615B7B;
constexpr uint32_t BFST2_CIPHER_CERT = 0x01A2B3C4;
constexpr uint32_t BFST2_CERT_KIND_PEM = 0x034A147F;
// bfst2_connect: the connection writes a backup.
constexpr uint32_t BFST2_CONNECT_BACKUP = 0x10000;

struct bfst2_credential {
    uint32_t magic = BFST2_MAGIC_LIVE;
    bool cert = false;
    SSL_CTX *ctx = nullptr;
    bfst_psk psk;
};

enum bfst2_conn_mode { BFST2_CLEAR, BFST2_TLS_PSK, BFST2_TLS_CERT };
enum bfst2_conn_state { BFST2_IDLE, BFST2_CONNECTED, BFST2_OPEN, BFST2_BROKEN };

struct bfst2_store;
struct bfst2_dedup;

struct bfst2_connection {
    uint32_t magic = BFST2_MAGIC_LIVE;
    std::mutex mu;
    std::string host;
    uint16_t port = 0;
    uint32_t timeout_s = 60;
    bfst2_conn_mode mode = BFST2_CLEAR;
    SSL_CTX *ctx = nullptr;  // our own reference
    bfst_psk psk;            // copy of the credential's key
    bfst_link link;
    bfst2_conn_state state = BFST2_IDLE;
    std::string broken_why;  // why the connection became unusable
    uint32_t tag_len = 0;
    uint32_t max_data = 0;
    uint32_t version = 0;    // agreed at connect
    uint32_t features = 0;   // the service's, from the open answer
    uint32_t awaited = 0;    // chunk queries whose answers are still to be read
    int sessions = 0;                  // live session objects
    std::vector<bfst2_store *> stores; // live store objects
};

struct bfst2_session {
    uint32_t magic = BFST2_MAGIC_LIVE;
    bfst2_connection *conn = nullptr;
    uint32_t id = 0;
    bool started = false;
    int stores = 0;
};

enum bfst2_store_state { BFST2_ST_CREATED, BFST2_ST_STARTED, BFST2_ST_SEALED, BFST2_ST_FINISHED, BFST2_ST_FAILED };

struct bfst2_store {
    uint32_t magic = BFST2_MAGIC_LIVE;
    bfst2_session *sess = nullptr;
    uint32_t id = 0;
    bfst2_store_state state = BFST2_ST_CREATED;
    int fail_code = 0;
    std::string fail_text;
    uint64_t bytes = 0;       // bytes the caller stored
    uint64_t wire_sent = 0;   // socket bytes of this store's exchanges
    uint64_t wire_recv = 0;
    uint32_t tag_len = 0;
    unsigned char tag[BFST_MAX_TAG_LEN] = {};
    // A deduplicated store (bfst2_dedup.cpp): its stream and the chunks it
    // sent (their length, and what they took on the wire).
    bfst2_dedup *dd = nullptr;
    uint64_t unique_raw = 0;
    uint64_t unique_stored = 0;
};

struct bfst2_buffer {
    uint32_t magic = BFST2_MAGIC_LIVE;
    const void *mem = nullptr;
    uint64_t len = 0;
};

template <typename T> bool bfst2_live(const T *p) { return p != nullptr && p->magic == BFST2_MAGIC_LIVE; }

// Clears *err; every call starts with it.
void bfst2_err_clear(char **err);
// Sets *err to a formatted text (the caller frees it) and returns code.
int bfst2_fail(char **err, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// True between bfst2_initialize and the matching bfst2_finalize.
bool bfst2_initialized();

// ---------------------------------------------------------------- exchanges
// All under the connection's lock. A transport failure or a frame that
// breaks the protocol marks the connection broken (every later call fails
// at once) and returns BFST2_ERR_ABORTED or BFST2_ERR_PROTOCOL with a text
// naming the operation; an ERROR answer returns its code and text.

struct bfst2_reply {
    bfst_hdr hdr;
    unsigned char payload[BFST_MAX_CTRL];
};

// Fails unless the connection is open for sessions and stores.
int bfst2_conn_usable(bfst2_connection *c, const char *op, char **err);
// Sends one control request and reads its answer.
int bfst2_exchange(bfst2_connection *c, const char *op, uint8_t type, uint32_t id, const unsigned char *payload,
                   size_t len, bfst2_reply *rep, char **err);
// Takes in the asynchronous store errors that have arrived, without waiting
// (while a chunk query's answer is awaited, its reader takes them in).
int bfst2_drain_async(bfst2_connection *c, const char *op, char **err);
// Sends a frame whose payload is the given parts (at most 3), gathered.
int bfst2_send_frame(bfst2_connection *c, const char *op, uint8_t type, uint32_t id, const struct iovec *parts,
                     int n, char **err);
// Reads the answer to a request about id, taking in store errors that come
// first. An ERROR answer returns its code with the appliance's text.
int bfst2_read_answer(bfst2_connection *c, const char *op, uint32_t id, bfst2_reply *rep, char **err);
// Sends one DATA frame from the caller's memory (gather write, no copy).
int bfst2_send_data(bfst2_connection *c, const char *op, uint32_t store_id, const void *data, uint32_t len,
                    char **err);

// ---------------------------------------------------------------- deduplication
// All under the connection's lock, on a started store whose connection the
// service offered deduplication.

// Takes the store's buffers (no more are taken while it runs).
int bfst2_dedup_start(bfst2_store *s, const char *op, char **err);
// Adds n bytes of the stream; full batches are chunked and their chunks
// offered to the appliance.
int bfst2_dedup_put(bfst2_store *s, const unsigned char *p, uint64_t n, const char *op, char **err);
// Sends the rest of the stream; after it the store can be sealed.
int bfst2_dedup_end(bfst2_store *s, const char *op, char **err);
void bfst2_dedup_free(bfst2_store *s);
