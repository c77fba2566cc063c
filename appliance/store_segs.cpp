// Manifests of files assembled from blobs (see store_segs.h for the layout).
#include "appliance/store_segs.h"

#include "bfst/bfst_proto.h"
#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char SEGS_MAGIC[8] = {'K', 'E', 'S', 'S', 'E', 'G', 'S', '1'};
constexpr size_t TAG_TEXT = 2 * STORE_SEG_TAG_BYTES;

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool tag_ok(const std::string &t)
{
    return t.size() == TAG_TEXT && std::all_of(t.begin(), t.end(), [](char c) { return hex_digit(c) >= 0; });
}

uint64_t table_check(const unsigned char *buf, size_t len)
{
    dm_sum_stream *st = dm_sum_stream_new();
    if (st == nullptr)
        return 0;
    dm_sum_stream_add(st, buf, 24);
    dm_sum_stream_add(st, buf + STORE_SEG_HDR, len - STORE_SEG_HDR);
    uint64_t v = dm_sum_stream_value(st);
    dm_sum_stream_free(st);
    return v;
}

}  // namespace

int store_segs_check(std::vector<store_seg> *segs, uint64_t *size, const char **why)
{
    *size = 0;
    *why = nullptr;
    if (segs->empty() || segs->size() > STORE_MAX_SEGS) {
        *why = segs->empty() ? "it has no extents" : "it has too many extents";
        return KES_EINVAL;
    }
    std::stable_sort(segs->begin(), segs->end(),
                     [](const store_seg &a, const store_seg &b) { return a.file_off < b.file_off; });
    uint64_t at = 0;
    for (const store_seg &s : *segs) {
        if (!tag_ok(s.tag)) {
            *why = "an extent names a malformed tag";
            return KES_EINVAL;
        }
        if (s.length == 0) {
            *why = "an extent is empty";
            return KES_EINVAL;
        }
        if (s.blob_off > s.blob_size || s.length > s.blob_size - s.blob_off) {
            *why = "an extent reaches past the end of its blob";
            return KES_EINVAL;
        }
        if (s.file_off != at) {
            *why = s.file_off > at ? "its extents leave a gap" : "its extents overlap";
            return KES_EINVAL;
        }
        if (s.length > UINT64_MAX - at) {
            *why = "its extents reach past the largest offset";
            return KES_EINVAL;
        }
        at += s.length;
    }
    *size = at;
    return 0;
}

std::vector<unsigned char> store_segs_encode(const std::vector<store_seg> &segs, uint64_t size)
{
    std::vector<unsigned char> buf(STORE_SEG_HDR + STORE_SEG_ENTRY * segs.size(), 0);
    memcpy(buf.data(), SEGS_MAGIC, sizeof SEGS_MAGIC);
    be_put64(&buf[8], size);
    be_put32(&buf[16], uint32_t(segs.size()));
    unsigned char *p = buf.data() + STORE_SEG_HDR;
    for (const store_seg &s : segs) {
        for (size_t i = 0; i < STORE_SEG_TAG_BYTES; ++i)
            p[i] = uint8_t(hex_digit(s.tag[2 * i]) << 4 | hex_digit(s.tag[2 * i + 1]));
        be_put64(p + 32, s.blob_size);
        be_put64(p + 40, s.file_off);
        be_put64(p + 48, s.blob_off);
        be_put64(p + 56, s.length);
        p += STORE_SEG_ENTRY;
    }
    be_put64(&buf[24], table_check(buf.data(), buf.size()));
    return buf;
}

int store_segs_decode(const unsigned char *buf, size_t len, std::vector<store_seg> *segs, uint64_t *size,
                      const char **why)
{
    segs->clear();
    *size = 0;
    *why = nullptr;
    if (len < STORE_SEG_HDR || memcmp(buf, SEGS_MAGIC, sizeof SEGS_MAGIC) != 0) {
        *why = "its manifest is not one";
        return KES_EIO;
    }
    const uint32_t n = be_get32(buf + 16);
    if (n == 0 || n > STORE_MAX_SEGS || len != STORE_SEG_HDR + uint64_t(STORE_SEG_ENTRY) * n) {
        *why = "its manifest has the wrong length";
        return KES_EIO;
    }
    if (table_check(buf, len) != be_get64(buf + 24)) {
        *why = "its manifest is damaged";
        return KES_EIO;
    }
    segs->resize(n);
    const unsigned char *p = buf + STORE_SEG_HDR;
    for (store_seg &s : *segs) {
        char hex[TAG_TEXT + 1];
        bfst_hex(p, STORE_SEG_TAG_BYTES, hex);
        s.tag.assign(hex, TAG_TEXT);
        s.blob_size = be_get64(p + 32);
        s.file_off = be_get64(p + 40);
        s.blob_off = be_get64(p + 48);
        s.length = be_get64(p + 56);
        p += STORE_SEG_ENTRY;
    }
    uint64_t total = 0;
    const char *bad = nullptr;
    if (store_segs_check(segs, &total, &bad) != 0 || total != be_get64(buf + 8)) {
        segs->clear();
        *why = "its manifest does not describe a whole file";
        return KES_EIO;
    }
    *size = total;
    return 0;
}
