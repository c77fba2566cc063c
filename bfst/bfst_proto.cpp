// Encoding and checked decoding of the BFST frames (see bfst_proto.h).
#include "bfst/bfst_proto.h"

#include "datamover/byteorder.h"

#include <cstring>

static_assert(BFST_HDR_SIZE == 16, "the frame header is 16 bytes on the wire");
static_assert(BFST_HELLO_SIZE == 4 * 4 && BFST_OPEN_OK_SIZE == 4 * 4 && BFST_HELLO_OK_SIZE == 2 * 4,
              "fixed payloads are whole u32 fields");
static_assert(8 + BFST_MAX_TAG_LEN <= BFST_MAX_CTRL && BFST_ERROR_MAX_SIZE <= BFST_MAX_CTRL,
              "every control payload fits the control limit");
static_assert(BFST_TAG_LEN <= BFST_MAX_TAG_LEN, "the service's tag fits the tag limit");

void bfst_hdr_encode(unsigned char out[BFST_HDR_SIZE], uint8_t type, uint32_t id, uint32_t len, uint16_t flags)
{
    be_put32(out, BFST_MAGIC);
    be_put8(out + 4, BFST_PROTO_VERSION);
    be_put8(out + 5, type);
    be_put16(out + 6, flags);
    be_put32(out + 8, id);
    be_put32(out + 12, len);
}

int bfst_hdr_decode(const unsigned char in[BFST_HDR_SIZE], uint32_t max_data, bfst_hdr *out, const char **why)
{
    const char *dummy = nullptr;
    if (why == nullptr)
        why = &dummy;
    if (be_get32(in) != BFST_MAGIC) {
        *why = "not a BFST frame (bad magic)";
        return -1;
    }
    if (be_get8(in + 4) != BFST_PROTO_VERSION) {
        *why = "frame of an unknown protocol version";
        return -1;
    }
    bfst_hdr h;
    h.type = be_get8(in + 5);
    h.flags = be_get16(in + 6);
    h.id = be_get32(in + 8);
    h.len = be_get32(in + 12);
    uint32_t limit = 0;
    switch (h.type) {
    case BFST_HELLO:
    case BFST_OPEN:
    case BFST_SESSION_START:
    case BFST_SESSION_FINISH:
    case BFST_STORE_START:
    case BFST_STORE_TAG:
    case BFST_STORE_FINISH:
    case BFST_STORE_ABORT:
    case BFST_BYE:
    case BFST_OK:
    case BFST_ERROR:
        limit = BFST_MAX_CTRL;
        break;
    case BFST_DATA:
        limit = max_data < BFST_MAX_DATA ? max_data : BFST_MAX_DATA;
        break;
    case BFST_CHUNK_QUERY:
        limit = max_data != 0 ? BFST_MAX_QUERY : 0;  // only towards the service
        break;
    case BFST_CHUNK:
        limit = max_data != 0 ? BFST_MAX_CHUNK_FRAME : 0;
        break;
    default:
        *why = "frame of an unknown type";
        return -1;
    }
    if ((h.flags & ~uint16_t(BFST_F_ASYNC)) != 0 || ((h.flags & BFST_F_ASYNC) != 0 && h.type != BFST_ERROR)) {
        *why = "frame with unknown flags";
        return -1;
    }
    if (h.len > limit) {
        *why = "frame longer than its type allows";
        return -1;
    }
    *out = h;
    return 0;
}

size_t bfst_hello_encode(unsigned char *out, const bfst_hello &h)
{
    be_put32(out, h.min_version);
    be_put32(out + 4, h.max_version);
    be_put32(out + 8, h.flags);
    be_put32(out + 12, 0);
    return BFST_HELLO_SIZE;
}

int bfst_hello_decode(const unsigned char *p, size_t len, bfst_hello *out)
{
    if (len != BFST_HELLO_SIZE)
        return -1;
    out->min_version = be_get32(p);
    out->max_version = be_get32(p + 4);
    out->flags = be_get32(p + 8);
    if (out->min_version > out->max_version)
        return -1;
    const uint32_t known = BFST_HELLO_BACKUP | BFST_HELLO_TLS_PSK | BFST_HELLO_TLS_CERT;
    if ((out->flags & ~known) != 0)
        return -1;
    if ((out->flags & BFST_HELLO_TLS_PSK) != 0 && (out->flags & BFST_HELLO_TLS_CERT) != 0)
        return -1;
    return 0;
}

size_t bfst_hello_ok_encode(unsigned char *out, uint32_t version)
{
    be_put32(out, version);
    be_put32(out + 4, 0);
    return BFST_HELLO_OK_SIZE;
}

int bfst_hello_ok_decode(const unsigned char *p, size_t len, uint32_t *version)
{
    if (len != BFST_HELLO_OK_SIZE)
        return -1;
    *version = be_get32(p);
    return 0;
}

size_t bfst_open_ok_encode(unsigned char *out, const bfst_open_ok &o)
{
    be_put32(out, o.tag_len);
    be_put32(out + 4, o.max_data);
    be_put32(out + 8, o.features);
    be_put32(out + 12, 0);
    return BFST_OPEN_OK_SIZE;
}

int bfst_open_ok_decode(const unsigned char *p, size_t len, bfst_open_ok *out)
{
    if (len != BFST_OPEN_OK_SIZE)
        return -1;
    out->tag_len = be_get32(p);
    out->max_data = be_get32(p + 4);
    out->features = be_get32(p + 8);
    if (out->tag_len == 0 || out->tag_len > BFST_MAX_TAG_LEN)
        return -1;
    if (out->max_data < 4096 || out->max_data > BFST_MAX_DATA)
        return -1;
    return 0;
}

size_t bfst_flags_encode(unsigned char *out, uint32_t flags)
{
    be_put32(out, flags);
    return BFST_FLAGS_SIZE;
}

int bfst_flags_decode(const unsigned char *p, size_t len, uint32_t *flags)
{
    if (len != BFST_FLAGS_SIZE)
        return -1;
    *flags = be_get32(p);
    return 0;
}

size_t bfst_tag_ok_encode(unsigned char *out, uint64_t bytes, const unsigned char *tag, uint32_t tag_len)
{
    be_put64(out, bytes);
    memcpy(out + 8, tag, tag_len);
    return 8 + size_t(tag_len);
}

int bfst_tag_ok_decode(const unsigned char *p, size_t len, uint32_t tag_len, bfst_tag_ok *out)
{
    if (tag_len == 0 || tag_len > BFST_MAX_TAG_LEN || len != 8 + size_t(tag_len))
        return -1;
    out->bytes = be_get64(p);
    out->tag_len = tag_len;
    memcpy(out->tag, p + 8, tag_len);
    return 0;
}

size_t bfst_error_encode(unsigned char *out, uint32_t code, const char *text)
{
    size_t n = text != nullptr ? strnlen(text, BFST_MAX_TEXT) : 0;
    be_put32(out, code);
    be_put16(out + 4, uint16_t(n));
    if (n != 0)
        memcpy(out + 6, text, n);
    return 6 + n;
}

int bfst_error_decode(const unsigned char *p, size_t len, bfst_error *out)
{
    if (len < 6)
        return -1;
    size_t n = be_get16(p + 4);
    if (n > BFST_MAX_TEXT || len != 6 + n)
        return -1;
    out->code = be_get32(p);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[6 + i];
        out->text[i] = (c >= 0x20 && c < 0x7F) ? char(c) : '?';
    }
    out->text[n] = '\0';
    return 0;
}

void bfst_hex(const unsigned char *bytes, size_t len, char *out)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0xF];
    }
    out[2 * len] = '\0';
}

// ---------------------------------------------------------------- version 2

static_assert(BFST_QUERY_ENTRY == 32 + 4 && BFST_CHUNK_HDR == 32 + 4 + 4, "query entries and chunk headers");
static_assert(BFST_QUERY_OK_MAX <= BFST_MAX_CTRL, "a query answer fits the control limit");
static_assert(BFST_QUERY_MAX % 8 == 0);

size_t bfst_query_encode(unsigned char *out, const bfst_query_entry *e, uint32_t count)
{
    be_put32(out, count);
    unsigned char *q = out + 4;
    for (uint32_t i = 0; i < count; ++i, q += BFST_QUERY_ENTRY) {
        memcpy(q, e[i].fp, 32);
        be_put32(q + 32, e[i].len);
    }
    return 4 + size_t(count) * BFST_QUERY_ENTRY;
}

int bfst_query_decode(const unsigned char *p, size_t len, bfst_query_entry *out, uint32_t *count)
{
    if (len < 4)
        return -1;
    const uint32_t n = be_get32(p);
    if (n == 0 || n > BFST_QUERY_MAX || len != 4 + size_t(n) * BFST_QUERY_ENTRY)
        return -1;
    const unsigned char *q = p + 4;
    for (uint32_t i = 0; i < n; ++i, q += BFST_QUERY_ENTRY) {
        memcpy(out[i].fp, q, 32);
        out[i].len = be_get32(q + 32);
        if (out[i].len == 0 || out[i].len > BFST_MAX_CHUNK_FRAME - BFST_CHUNK_HDR)
            return -1;
    }
    *count = n;
    return 0;
}

size_t bfst_query_ok_encode(unsigned char *out, const unsigned char *bitmap, uint32_t count)
{
    be_put32(out, count);
    memcpy(out + 4, bitmap, (count + 7) / 8);
    return 4 + (size_t(count) + 7) / 8;
}

int bfst_query_ok_decode(const unsigned char *p, size_t len, uint32_t count, unsigned char *bitmap)
{
    if (count == 0 || count > BFST_QUERY_MAX || len != 4 + (size_t(count) + 7) / 8 || be_get32(p) != count)
        return -1;
    const size_t bytes = (size_t(count) + 7) / 8;
    if (count % 8 != 0 && (p[4 + bytes - 1] >> (count % 8)) != 0)
        return -1;
    memset(bitmap, 0, BFST_QUERY_MAX / 8);
    memcpy(bitmap, p + 4, bytes);
    return 0;
}

void bfst_chunk_hdr_encode(unsigned char *out, const bfst_chunk_hdr &h)
{
    memcpy(out, h.fp, 32);
    be_put32(out + 32, h.len);
    be_put32(out + 36, h.flags);
}

int bfst_chunk_hdr_decode(const unsigned char *p, size_t len, bfst_chunk_hdr *out)
{
    if (len < BFST_CHUNK_HDR)
        return -1;
    memcpy(out->fp, p, 32);
    out->len = be_get32(p + 32);
    out->flags = be_get32(p + 36);
    const size_t stored = len - BFST_CHUNK_HDR;
    if (out->len == 0 || out->len > BFST_MAX_CHUNK_FRAME - BFST_CHUNK_HDR || stored == 0)
        return -1;
    if (out->flags == 0 && stored != out->len)
        return -1;
    if (out->flags != 0 && (out->flags != 0x1 || stored >= out->len))
        return -1;
    return 0;
}
