// Data checksums shared by the appliance and the DM client.
#include "datamover/dm_sums.h"

#include "datamover/byteorder.h"
#include "datamover/util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The hash is compiled into this unit, so nothing links against the shared
// xxhash library at run time.
#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(KES_HAVE_AVX2_SUMS)
uint64_t dm_sum64_avx2(const void *p, size_t n);
void dm_sum_update_avx2(void *state, const void *p, size_t n);

namespace {

// The same hash, twice as fast on a CPU with AVX2.
bool have_avx2()
{
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
    return yes;
}

}  // namespace
#endif

uint64_t dm_sum64(const void *p, size_t n)
{
#if defined(KES_HAVE_AVX2_SUMS)
    if (have_avx2())
        return dm_sum64_avx2(p, n);
#endif
    return XXH3_64bits(p, n);
}

struct dm_sum_stream {
    XXH3_state_t *st;
};

dm_sum_stream *dm_sum_stream_new()
{
    auto *s = static_cast<dm_sum_stream *>(malloc(sizeof(dm_sum_stream)));
    if (s == nullptr)
        return nullptr;
    s->st = XXH3_createState();
    if (s->st == nullptr) {
        free(s);
        return nullptr;
    }
    XXH3_64bits_reset(s->st);
    return s;
}

void dm_sum_stream_free(dm_sum_stream *s)
{
    if (s == nullptr)
        return;
    XXH3_freeState(s->st);
    free(s);
}

void dm_sum_stream_reset(dm_sum_stream *s) { XXH3_64bits_reset(s->st); }
void dm_sum_stream_add(dm_sum_stream *s, const void *p, size_t n)
{
#if defined(KES_HAVE_AVX2_SUMS)
    if (have_avx2()) {
        dm_sum_update_avx2(s->st, p, n);
        return;
    }
#endif
    XXH3_64bits_update(s->st, p, n);
}
uint64_t dm_sum_stream_value(const dm_sum_stream *s) { return XXH3_64bits_digest(s->st); }

bool dm_sums_attr_reserved(const char *attr)
{
    return attr != nullptr && strncmp(attr, DM_SUMS_ATTR, strlen(DM_SUMS_ATTR)) == 0;
}

size_t dm_sums_attr_name(uint64_t off, char *out, size_t cap)
{
    int n = snprintf(out, cap, "%s%llu", DM_SUMS_ATTR, static_cast<unsigned long long>(off));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

int dm_sums_attr_parse(const char *attr, uint64_t *off)
{
    if (!dm_sums_attr_reserved(attr) || off == nullptr)
        return DM_ERR_BADMSG;
    const char *p = attr + strlen(DM_SUMS_ATTR);
    if (*p == '\0')
        return DM_ERR_BADMSG;
    uint64_t v = 0;
    for (; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return DM_ERR_BADMSG;
        unsigned d = static_cast<unsigned>(*p - '0');
        if (v > (UINT64_MAX - d) / 10)
            return DM_ERR_BADMSG;
        v = v * 10 + d;
    }
    if (v % DM_SUM_PAGE != 0)
        return DM_ERR_BADMSG;
    *off = v;
    return 0;
}

int dm_sums_encode(uint64_t off, const uint64_t *sums, uint32_t n, void *buf, size_t cap)
{
    if (buf == nullptr || (sums == nullptr && n != 0))
        return DM_ERR_INVALID_ARGS;
    const size_t len = DM_SUMS_HDR_SIZE + static_cast<size_t>(n) * 8;
    if (cap < len || len > static_cast<size_t>(INT32_MAX))
        return DM_ERR_INVALID_LEN;
    auto *p = static_cast<unsigned char *>(buf);
    be_put32(p, DM_SUM_PAGE);
    be_put32(p + 4, DM_SUM_ALG_XXH3_64);
    be_put64(p + 8, off);
    be_put32(p + 16, n);
    be_put32(p + 20, 0);
    for (uint32_t i = 0; i < n; i++)
        be_put64(p + DM_SUMS_HDR_SIZE + size_t(i) * 8, sums[i]);
    return static_cast<int>(len);
}

int dm_sums_decode(const void *buf, size_t len, uint64_t *off, uint64_t *sums, uint32_t max, uint32_t *n)
{
    if (buf == nullptr || off == nullptr || n == nullptr || (sums == nullptr && max != 0))
        return DM_ERR_INVALID_ARGS;
    if (len < DM_SUMS_HDR_SIZE)
        return DM_ERR_BADMSG;
    auto *p = static_cast<const unsigned char *>(buf);
    const uint32_t count = be_get32(p + 16);
    const uint64_t first = be_get64(p + 8);
    if (be_get32(p) != DM_SUM_PAGE || be_get32(p + 4) != DM_SUM_ALG_XXH3_64 || first % DM_SUM_PAGE != 0 ||
        count > max || (len - DM_SUMS_HDR_SIZE) / 8 != count || (len - DM_SUMS_HDR_SIZE) % 8 != 0)
        return DM_ERR_BADMSG;
    for (uint32_t i = 0; i < count; i++)
        sums[i] = be_get64(p + DM_SUMS_HDR_SIZE + size_t(i) * 8);
    *off = first;
    *n = count;
    return 0;
}
