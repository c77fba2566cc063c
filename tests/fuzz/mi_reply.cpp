// Decoding of MI replies (and requests, as the appliance decodes them) from
// hostile bytes, over every registered message. A record that decodes must
// re-encode within the bytes it came from; whatever decoding allocated is
// released by the free mode (LeakSanitizer checks).
#include "lib/common/mi_comm.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const mi_msg_def &row = mi_msg_registry[data[0] % MI_MSG_REGISTRY_ROWS];
    bool request = (data[0] / MI_MSG_REGISTRY_ROWS) % 2 == 1;
    mi_record_proc proc = request ? row.request : row.reply;
    ++data;
    --size;
    if (proc == nullptr)
        proc = row.reply;

    // The bare record.
    std::vector<unsigned char> in(data, data + size);
    mi_record rec;
    memset(&rec, 0, sizeof rec);
    mi_xdr x;
    mi_xdr_create(&x, in.data(), in.size(), MI_XDR_DECODE);
    bool ok = proc(&x, &rec);
    if (ok) {
        // Re-encoding fits in what was consumed (a string with a NUL inside
        // comes back shorter; padding need not have been zero), and from then
        // on decode and encode are exact inverses.
        size_t used = mi_xdr_getpos(&x);
        std::vector<unsigned char> out(used);
        mi_xdr e;
        mi_xdr_create(&e, out.data(), out.size(), MI_XDR_ENCODE);
        if (!proc(&e, &rec) || mi_xdr_getpos(&e) > used)
            abort();
        out.resize(mi_xdr_getpos(&e));
        mi_record again;
        memset(&again, 0, sizeof again);
        mi_xdr d;
        mi_xdr_create(&d, out.data(), out.size(), MI_XDR_DECODE);
        if (!proc(&d, &again) || mi_xdr_getpos(&d) != out.size())
            abort();
        std::vector<unsigned char> out2(out.size());
        mi_xdr_create(&e, out2.data(), out2.size(), MI_XDR_ENCODE);
        if (!proc(&e, &again) || out2 != out)
            abort();
        mi_xdr f;
        mi_xdr_create(&f, nullptr, 0, MI_XDR_FREE);
        proc(&f, &again);
    }
    mi_xdr f;
    mi_xdr_create(&f, nullptr, 0, MI_XDR_FREE);
    proc(&f, &rec);

    // The whole buffer as the sender sees it: header, kind and number checks,
    // then the reply record.
    mi_record reply;
    memset(&reply, 0, sizeof reply);
    mi_decode_reply(row.number, in.data(), in.size(), &reply);
    mi_free_reply(row.number, &reply);

    // And as the appliance sees a request.
    mi_header h;
    mi_record req;
    if (mi_decode_request(in.data(), in.size(), &h, &req, sizeof req) == 0)
        mi_free_request(h.number, &req);
    return 0;
}
