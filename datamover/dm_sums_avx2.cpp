// The page checksum built for AVX2. This unit alone is compiled with -mavx2
// and holds nothing else; dm_sums.cpp calls it only on a CPU that has AVX2.
#if defined(KES_HAVE_AVX2_SUMS)
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstddef>
#include <cstdint>

uint64_t dm_sum64_avx2(const void *p, size_t n) { return XXH3_64bits(p, n); }

void dm_sum_update_avx2(void *state, const void *p, size_t n)
{
    XXH3_64bits_update(static_cast<XXH3_state_t *>(state), p, n);
}
#endif
