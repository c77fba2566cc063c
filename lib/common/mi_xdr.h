// XDR memory stream of the MI control protocol: big-endian 4-byte units over a
// caller's buffer, in one of three modes. One record routine serves all three:
// encode writes the record into the buffer, decode fills it from the buffer
// (allocating its strings), free walks a decoded record and releases its
// strings. Every primitive checks that its bytes fit in what is left of the
// buffer before touching it.
#pragma once

#include <cstddef>
#include <cstdint>

enum mi_xdr_op : int {
    MI_XDR_ENCODE = 0,
    MI_XDR_DECODE = 1,
    MI_XDR_FREE = 2,
};

struct mi_xdr {
    mi_xdr_op op;
    unsigned char *buf;  // start of the buffer (null in free mode)
    size_t size;         // bytes in the buffer
    size_t pos;          // bytes consumed so far
};

// Encoding a string of this length or longer is refused; on decode the value
// is the marker of a bad length.
constexpr uint32_t MI_XDR_BAD_STRLEN = 0xFFFFFFFFu;

// Sets the stream up over size bytes of buf. In free mode buf may be null.
void mi_xdr_create(mi_xdr *x, void *buf, size_t size, mi_xdr_op op);
inline size_t mi_xdr_getpos(const mi_xdr *x) { return x->pos; }
inline size_t mi_xdr_remaining(const mi_xdr *x) { return x->size - x->pos; }

// Primitives: true on success. In free mode the numeric ones do nothing.
bool mi_xdr_int(mi_xdr *x, int32_t *v);
bool mi_xdr_u_int(mi_xdr *x, uint32_t *v);
bool mi_xdr_hyper(mi_xdr *x, int64_t *v);
bool mi_xdr_u_hyper(mi_xdr *x, uint64_t *v);

// A counted string. Encode: a null string fails. Decode: allocates length + 1
// bytes with malloc and ends them with a NUL (an empty string decodes to an
// allocated empty text); the previous value of *s is overwritten, so decode
// into a zeroed record. Free: releases *s and sets it to null (null is skipped).
bool mi_xdr_string(mi_xdr *x, char **s);

// Exactly n bytes, padded with zero bytes to a multiple of 4.
bool mi_xdr_opaque(mi_xdr *x, unsigned char *p, size_t n);

// A discriminated union: the discriminant as an int, then the arm it selects.
// A discriminant with no arm in the table fails in every mode (after it has
// been stored on decode). An arm with a null routine carries nothing.
typedef bool (*mi_xdr_arm_proc)(mi_xdr *x, void *arm);
struct mi_xdr_arm {
    int32_t value;
    mi_xdr_arm_proc proc;
};
bool mi_xdr_union(mi_xdr *x, int32_t *disc, void *arm, const mi_xdr_arm *arms, size_t narms);
