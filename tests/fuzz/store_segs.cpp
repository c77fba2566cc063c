// Fuzz target: the manifest of a file assembled from blobs, as the store
// reads it from disk. The input's own checksum field is set right first (a
// damaged manifest is refused there), so the checks of its structure get the
// hostile bytes; whatever is accepted must describe a whole file and encode
// back to a manifest that is accepted again.
#include "appliance/store_segs.h"

#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<unsigned char> buf(data, data + size);
    if (size >= STORE_SEG_HDR && (size & 1) == 0) {
        dm_sum_stream *st = dm_sum_stream_new();
        if (st == nullptr)
            return 0;
        dm_sum_stream_add(st, buf.data(), 24);
        dm_sum_stream_add(st, buf.data() + STORE_SEG_HDR, size - STORE_SEG_HDR);
        be_put64(buf.data() + 24, dm_sum_stream_value(st));
        dm_sum_stream_free(st);
    }
    std::vector<store_seg> segs;
    uint64_t total = 0;
    const char *why = nullptr;
    if (store_segs_decode(buf.data(), buf.size(), &segs, &total, &why) != 0) {
        if (why == nullptr || !segs.empty())
            abort();
        return 0;
    }
    uint64_t at = 0;
    for (const store_seg &s : segs) {
        if (s.file_off != at || s.length == 0 || s.blob_off > s.blob_size || s.length > s.blob_size - s.blob_off)
            abort();
        at += s.length;
    }
    if (at != total)
        abort();
    std::vector<unsigned char> again = store_segs_encode(segs, total);
    std::vector<store_seg> segs2;
    uint64_t total2 = 0;
    if (store_segs_decode(again.data(), again.size(), &segs2, &total2, &why) != 0 || total2 != total ||
        segs2.size() != segs.size())
        abort();
    return 0;
}
