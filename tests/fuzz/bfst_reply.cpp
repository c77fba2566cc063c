// Fuzz target: the checked decoders of the BFST frames, as the transfer
// library applies them to the appliance's answers (header with no data
// allowed, then the payload of the answer each call expects).
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
