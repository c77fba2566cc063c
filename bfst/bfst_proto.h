// Wire protocol of the BFST data path between libbfst64.so and the
// appliance's BFST service (TCP port 1062 of the appliance). Versions 1 and
// 2: version 2 adds deduplicated stores (below); the frame layout is the
// same in both, and its version byte stays 1.
//
// Frames. Every message is a 16-byte header followed by its payload; all
// integers are big-endian:
//
//   0  u32 magic    0x4B424653 ("KBFS")
//   4  u8  version  1
//   5  u8  type     (below)
//   6  u16 flags    BFST_F_ASYNC on an error that answers no request; else 0
//   8  u32 id       the session or store the message is about, 0 otherwise
//   12 u32 length   payload bytes that follow
//
// A receiver checks the magic, the version, the type and the payload length
// against the limit of that type before it reads the payload; anything else
// ends the connection. Control payloads are at most BFST_MAX_CTRL bytes;
// DATA payloads at most the limit the service announced in its OPEN reply,
// never more than BFST_MAX_DATA.
//
// Conversation (C client, S service):
//
//   C HELLO      min version u32, max version u32, flags u32, reserved u32.
//                Flags: BFST_HELLO_BACKUP, and at most one of
//                BFST_HELLO_TLS_PSK / BFST_HELLO_TLS_CERT.
//   S OK         version u32, reserved u32; or ERROR and the service closes
//                (busy: BFST2_ERR_SERVER_BUSY or BFST2_ERR_VSERVER_BUSY,
//                both retryable; no common version: BFST2_ERR_NOT_AVAILABLE).
//   With a TLS flag both sides now run a TLS 1.2 handshake on the socket and
//   everything after it travels inside TLS: pre-shared key (derived from the
//   password credential, see bfst_link.h) or mutual certificates.
//   C OPEN       flags u32 (reserved)
//   S OK         tag length u32, largest DATA payload u32, reserved u32 x2
//   C SESSION_START                    S OK, id = new session id
//   C STORE_START  id = session, flags u32   S OK, id = new store id
//   C DATA         id = store, the bytes; no reply. A store that fails
//                  (quota, disk) is answered at once with an ERROR carrying
//                  BFST_F_ASYNC and the store id; the service discards the
//                  rest of its data and answers its later requests with the
//                  same error.
//   C STORE_TAG    id = store        S OK: bytes u64, tag. The blob is sealed:
//                  on disk (fsync) and registered under its tag; no more DATA.
//   C STORE_FINISH id = store        S OK: bytes u64, tag (seals first if
//                  needed); the store is done.
//   C STORE_ABORT  id = store        S OK; an unsealed blob is removed.
//   C SESSION_FINISH id = session    S OK
//   C BYE                            S OK, then both close.
//   Any request may be answered with ERROR: code u32 (a BFST2_ERR_* code),
//   text length u16, text (at most BFST_MAX_TEXT bytes, not terminated).
//
// Version 2, deduplicated stores. The OPEN answer's first reserved word
// carries BFST_FEAT_DEDUP when the service keeps a chunk store (it may be
// switched off). A store started with BFST_STORE_DEDUP in its flags then
// takes no DATA; the client cuts the stream into chunks (bfst_dedup.h) and
// sends, in stream order:
//   C CHUNK_QUERY  id = store: count u32 (1..BFST_QUERY_MAX), then per chunk
//                  its fingerprint (32 bytes) and length u32 (1..64 KiB).
//                  The chunks join the store's recipe in this order.
//   S OK           id = store: count u32, then ceil(count / 8) bytes, bit i
//                  (of byte i / 8, lowest bit first) set when chunk i must
//                  be sent. The service keeps every chunk it did not ask for
//                  for this store from now on, and asks for a fingerprint at
//                  most once per store. A client may send the next query
//                  before this answer arrives, but must send the chunks asked
//                  for before many more (the service fails a store that owes
//                  it more than 16384).
//   C CHUNK        id = store: fingerprint (32), length u32, flags u32
//                  (BFST_CHUNK_LZ4 or 0), then the stored bytes; no reply.
//                  Only chunks asked for; the service checks the fingerprint
//                  of what they expand to. Failures are reported as for
//                  DATA (ERROR with BFST_F_ASYNC).
// STORE_TAG and STORE_FINISH then fail unless every chunk asked for has
// arrived; their byte count is the length of the stream.
//
// The protocol has no read and names no file: a connection can only add
// blobs. Tags are BFST_TAG_LEN random bytes chosen by the service, so only
// the client that stored a blob learns its tag. The byte count in the tag
// reply lets the client check that the service got exactly what it sent.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t BFST_MAGIC = 0x4B424653;
constexpr uint8_t BFST_PROTO_VERSION = 1;   // of the frame layout
constexpr uint32_t BFST_PROTO_DEDUP = 2;    // conversation with deduplicated stores
constexpr size_t BFST_HDR_SIZE = 16;
constexpr uint32_t BFST_MAX_CTRL = 512;
constexpr uint32_t BFST_MAX_DATA = 64u << 20;
constexpr uint32_t BFST_TAG_LEN = 32;
constexpr size_t BFST_MAX_TEXT = 256;

enum : uint8_t {
    BFST_HELLO = 0x01,
    BFST_OPEN = 0x02,
    BFST_SESSION_START = 0x03,
    BFST_SESSION_FINISH = 0x04,
    BFST_STORE_START = 0x05,
    BFST_DATA = 0x06,
    BFST_STORE_TAG = 0x07,
    BFST_STORE_FINISH = 0x08,
    BFST_STORE_ABORT = 0x09,
    BFST_BYE = 0x0A,
    BFST_CHUNK_QUERY = 0x0B,
    BFST_CHUNK = 0x0C,
    BFST_OK = 0x80,
    BFST_ERROR = 0x81,
};

enum : uint16_t { BFST_F_ASYNC = 0x1 };

enum : uint32_t {
    BFST_HELLO_BACKUP = 0x1,
    BFST_HELLO_TLS_PSK = 0x2,
    BFST_HELLO_TLS_CERT = 0x4,
};

// OPEN answer, first reserved word.
enum : uint32_t { BFST_FEAT_DEDUP = 0x1 };
// STORE_START flags: a deduplicated store.
constexpr uint32_t BFST_STORE_DEDUP = 0x80000000u;

constexpr uint32_t BFST_QUERY_MAX = 2048;     // chunks per query
constexpr size_t BFST_QUERY_ENTRY = 36;
constexpr uint32_t BFST_MAX_QUERY = 4 + BFST_QUERY_MAX * BFST_QUERY_ENTRY;
constexpr size_t BFST_CHUNK_HDR = 40;
constexpr uint32_t BFST_MAX_CHUNK_FRAME = BFST_CHUNK_HDR + 65536;

struct bfst_hdr {
    uint8_t type = 0;
    uint16_t flags = 0;
    uint32_t id = 0;
    uint32_t len = 0;
};

// Encodes a header (magic and version added).
void bfst_hdr_encode(unsigned char out[BFST_HDR_SIZE], uint8_t type, uint32_t id, uint32_t len, uint16_t flags = 0);

// Decodes and checks a header: magic, version, a known type, and a payload
// length within the limit of the type (max_data for DATA). 0, or -1 with a
// reason in *why (static text).
int bfst_hdr_decode(const unsigned char in[BFST_HDR_SIZE], uint32_t max_data, bfst_hdr *out, const char **why);

// ---------------------------------------------------------------- payloads
// Each encoder writes into a buffer of at least the size named and returns
// the payload length; each decoder checks the exact length and returns 0 or
// -1.

constexpr size_t BFST_HELLO_SIZE = 16;
struct bfst_hello {
    uint32_t min_version = 0;
    uint32_t max_version = 0;
    uint32_t flags = 0;
};
size_t bfst_hello_encode(unsigned char *out, const bfst_hello &h);
int bfst_hello_decode(const unsigned char *p, size_t len, bfst_hello *out);

constexpr size_t BFST_HELLO_OK_SIZE = 8;
size_t bfst_hello_ok_encode(unsigned char *out, uint32_t version);
int bfst_hello_ok_decode(const unsigned char *p, size_t len, uint32_t *version);

constexpr size_t BFST_OPEN_SIZE = 4;
constexpr size_t BFST_OPEN_OK_SIZE = 16;
struct bfst_open_ok {
    uint32_t tag_len = 0;
    uint32_t max_data = 0;
    uint32_t features = 0;  // version 2; 0 from a version 1 service
};
size_t bfst_open_ok_encode(unsigned char *out, const bfst_open_ok &o);
// Also checks the values: a tag of 1..64 bytes, a data limit of at least
// 4 KiB and at most BFST_MAX_DATA.
int bfst_open_ok_decode(const unsigned char *p, size_t len, bfst_open_ok *out);

constexpr size_t BFST_FLAGS_SIZE = 4;  // OPEN and STORE_START
size_t bfst_flags_encode(unsigned char *out, uint32_t flags);
int bfst_flags_decode(const unsigned char *p, size_t len, uint32_t *flags);

constexpr size_t BFST_MAX_TAG_LEN = 64;
// STORE_TAG and STORE_FINISH replies: bytes u64, then the tag.
struct bfst_tag_ok {
    uint64_t bytes = 0;
    uint32_t tag_len = 0;
    unsigned char tag[BFST_MAX_TAG_LEN] = {};
};
size_t bfst_tag_ok_encode(unsigned char *out, uint64_t bytes, const unsigned char *tag, uint32_t tag_len);
// tag_len is the length agreed at OPEN; the payload must be exactly 8 + it.
int bfst_tag_ok_decode(const unsigned char *p, size_t len, uint32_t tag_len, bfst_tag_ok *out);

constexpr size_t BFST_ERROR_MAX_SIZE = 6 + BFST_MAX_TEXT;
struct bfst_error {
    uint32_t code = 0;
    char text[BFST_MAX_TEXT + 1] = {};  // printable ASCII, terminated
};
// The text is cut to BFST_MAX_TEXT bytes.
size_t bfst_error_encode(unsigned char *out, uint32_t code, const char *text);
// Bytes of the text that are not printable ASCII become '?'.
int bfst_error_decode(const unsigned char *p, size_t len, bfst_error *out);

// Lower-case hexadecimal text of len bytes into out (2 * len + 1 bytes).
void bfst_hex(const unsigned char *bytes, size_t len, char *out);

// ---------------------------------------------------------------- version 2

struct bfst_query_entry {
    unsigned char fp[32];
    uint32_t len;
};
// CHUNK_QUERY: count entries (1..BFST_QUERY_MAX) into out (BFST_MAX_QUERY bytes).
size_t bfst_query_encode(unsigned char *out, const bfst_query_entry *e, uint32_t count);
// Checks the count, the exact length and every chunk length; out holds
// BFST_QUERY_MAX entries.
int bfst_query_decode(const unsigned char *p, size_t len, bfst_query_entry *out, uint32_t *count);

// Its answer: count and the bitmap of the chunks wanted.
constexpr size_t BFST_QUERY_OK_MAX = 4 + BFST_QUERY_MAX / 8;
size_t bfst_query_ok_encode(unsigned char *out, const unsigned char *bitmap, uint32_t count);
// The count must be the one asked; bits past it must be clear. bitmap holds
// BFST_QUERY_MAX / 8 bytes.
int bfst_query_ok_decode(const unsigned char *p, size_t len, uint32_t count, unsigned char *bitmap);

// CHUNK header (BFST_CHUNK_HDR bytes, the stored bytes follow).
struct bfst_chunk_hdr {
    unsigned char fp[32];
    uint32_t len;    // of the chunk
    uint32_t flags;  // stored form
};
void bfst_chunk_hdr_encode(unsigned char *out, const bfst_chunk_hdr &h);
// Checks the length (1..64 KiB) and the flags against a payload of len bytes.
int bfst_chunk_hdr_decode(const unsigned char *p, size_t len, bfst_chunk_hdr *out);
