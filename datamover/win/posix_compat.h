// Given to every source file of the Windows build (-include): the few names
// of the C library the shared sources use that the Windows runtime spells
// differently.
#pragma once

#ifdef __cplusplus
#include <cstddef>
#else
#include <stddef.h>
#endif

// Wipes memory in a way the compiler does not drop.
static inline void explicit_bzero(void *p, size_t n)
{
    volatile unsigned char *v = (volatile unsigned char *)p;
    while (n-- > 0)
        *v++ = 0;
}
