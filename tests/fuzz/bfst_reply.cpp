// Fuzz target: the checked decoders of the BFST frames, as the transfer
// library applies them to the appliance's answers (header with no data
// allowed, then the payload of the answer each call expects, chunk queries'
// answers included).
#include "bfst/bfst_proto.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < BFST_HDR_SIZE)
        return 0;
    bfst_hdr h;
    const char *why = nullptr;
    if (bfst_hdr_decode(data, 0, &h, &why) != 0) {
        if (why == nullptr)
            abort();
        return 0;
    }
    // with no data allowed, no frame may announce more than a control payload
    if (h.len > BFST_MAX_CTRL || (h.type == BFST_DATA && h.len != 0))
        abort();
    const uint8_t *p = data + BFST_HDR_SIZE;
    size_t n = size - BFST_HDR_SIZE < h.len ? size - BFST_HDR_SIZE : h.len;
    uint32_t version = 0;
    bfst_hello_ok_decode(p, n, &version);
    bfst_open_ok ok;
    if (bfst_open_ok_decode(p, n, &ok) == 0 && (ok.tag_len == 0 || ok.tag_len > BFST_MAX_TAG_LEN))
        abort();
    bfst_tag_ok t;
    for (uint32_t tl : {1u, 32u, 64u, 65u})
        bfst_tag_ok_decode(p, n, tl, &t);
    // the answer to a chunk query of as many chunks as its count says (or
    // the count the input's last byte picks): only those bits may be set
    unsigned char want[BFST_QUERY_MAX / 8];
    const uint32_t asked = n >= 4 ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]) : 0;
    for (uint32_t count : {asked, uint32_t(data[size - 1]) * 8 + 1}) {
        if (bfst_query_ok_decode(p, n, count, want) != 0)
            continue;
        if (count == 0 || count > BFST_QUERY_MAX)
            abort();
        for (uint32_t i = count; i < BFST_QUERY_MAX; ++i)
            if ((want[i / 8] >> (i % 8) & 1) != 0)
                abort();
    }
    bfst_error e;
    if (bfst_error_decode(p, n, &e) == 0) {
        size_t tl = strlen(e.text);
        if (tl > BFST_MAX_TEXT)
            abort();
        for (size_t i = 0; i < tl; ++i)
            if (e.text[i] < 0x20 || e.text[i] > 0x7E)
                abort();
    }
    return 0;
}
