// Feeds arbitrary bytes to every DM decoder. Decoded strings and values must
// lie inside the input, and fixed records must encode back to the bytes they
// came from.
#include "datamover/dm_msg.h"
#include "datamover/dm_sums.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void require(bool ok)
{
    if (!ok)
        abort();
}

bool inside(const void *p, size_t n, const uint8_t *data, size_t size)
{
    auto *b = static_cast<const uint8_t *>(p);
    return b >= data && n <= size && b - data <= static_cast<ptrdiff_t>(size - n);
}

template <typename Rec>
void roundtrip(int (*dec)(Rec *, const void *, size_t), int (*enc)(const Rec *, void *, size_t), size_t fixed,
               const uint8_t *data, size_t size)
{
    Rec r;
    int rc = dec(&r, data, size);
    if (size < fixed) {
        require(rc < 0);
        return;
    }
    require(rc == static_cast<int>(fixed));
    std::vector<uint8_t> out(fixed);
    require(enc(&r, out.data(), out.size()) == static_cast<int>(fixed));
    require(memcmp(out.data(), data, fixed) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    roundtrip<dm_hdr>(dm_hdr_decode, dm_hdr_encode, DM_HDR_SIZE, data, size);
    roundtrip<dm_config_msg>(dm_config_decode, dm_config_encode, DM_CONFIG_MSG_SIZE, data, size);
    roundtrip<dm_open_msg>(dm_open_decode, dm_open_encode, DM_OPEN_MSG_SIZE, data, size);
    roundtrip<dm_xattr_hdr>(dm_xattr_hdr_decode, dm_xattr_hdr_encode, DM_XATTR_HDR_SIZE, data, size);

    dm_open_msg o;
    const char *name = nullptr;
    int rc = dm_open_req_decode(&o, &name, data, size);
    if (rc >= 0) {
        size_t n = strlen(name);
        require(n < DM_OPEN_NAME_MAX && inside(name, n + 1, data, size));
        require(rc == static_cast<int>(DM_OPEN_MSG_SIZE + n + 1));
    }

    dm_hdr h;
    rc = dm_delete_req_decode(&h, &name, data, size);
    if (rc >= 0)
        require(inside(name, strlen(name) + 1, data, size));

    dm_xattr_req_view v;
    rc = dm_xattr_req_decode(&v, data, size);
    if (rc >= 0) {
        require(rc == static_cast<int>(size));
        if (v.path != nullptr)
            require(strlen(v.path) + 1 < DM_XATTR_PATH_MAX && inside(v.path, strlen(v.path) + 1, data, size));
        require(inside(v.attr, strlen(v.attr) + 1, data, size));
        if (v.value != nullptr)
            require(inside(v.value, v.xh.value_len, data, size));
        // What was accepted encodes back to the same bytes.
        std::vector<uint8_t> out(size);
        uint32_t handle = dm_hdr_handle(&v.xh.hdr);
        int enc = dm_xattr_req_encode(v.xh.hdr.cmd, handle, v.path, v.attr, v.value, v.xh.value_len, out.data(),
                                      out.size());
        if (v.xh.hdr.sz_u == 0 && v.xh.hdr.sz_l == 0 && v.xh.hdr.off == 0 && (v.path == nullptr || handle == 0xFFFF)) {
            require(enc == static_cast<int>(size));
            require(memcmp(out.data(), data, size) == 0);
        }
    }

    dm_xattr_hdr x;
    const unsigned char *val = nullptr;
    uint32_t cap = size >= 2 ? static_cast<uint32_t>(data[0]) << 8 | data[1] : 0;
    rc = dm_get_xattr_rsp_decode(&x, &val, data, size, cap);
    if (rc >= 0 && val != nullptr)
        require(x.value_len <= cap && inside(val, x.value_len, data, size));

    // Checksums from the appliance: what decodes is within bounds and
    // encodes back to the same bytes.
    uint64_t sums[8];
    uint64_t first = 0;
    uint32_t n = 0;
    if (dm_sums_decode(data, size, &first, sums, 8, &n) == 0) {
        require(n <= 8 && size == DM_SUMS_HDR_SIZE + 8 * size_t(n) && first % DM_SUM_PAGE == 0);
        std::vector<uint8_t> out(size);
        require(dm_sums_encode(first, sums, n, out.data(), out.size()) == static_cast<int>(size));
        require(memcmp(out.data() + 8, data + 8, 12) == 0 && memcmp(out.data() + 24, data + 24, size - 24) == 0);
    }
    std::string attr(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    if (dm_sums_attr_parse(attr.c_str(), &first) == 0) {
        char name[DM_SUMS_NAME_MAX];
        dm_sums_attr_name(first, name, sizeof name);
        require(first % DM_SUM_PAGE == 0 && dm_sums_attr_parse(name, &first) == 0);
    }
    return 0;
}
