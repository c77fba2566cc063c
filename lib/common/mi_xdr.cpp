// XDR memory stream of the MI control protocol.
#include "lib/common/mi_xdr.h"

#include "datamover/byteorder.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t UNIT = 4;

inline size_t padded(size_t n) { return (n + (UNIT - 1)) & ~(UNIT - 1); }

// Room for n more bytes; the position never passes the size.
inline bool fits(const mi_xdr *x, size_t n) { return x->buf != nullptr && n <= x->size - x->pos; }

}  // namespace

void mi_xdr_create(mi_xdr *x, void *buf, size_t size, mi_xdr_op op)
{
    x->op = op;
    x->buf = static_cast<unsigned char *>(buf);
    x->size = buf != nullptr ? size : 0;
    x->pos = 0;
}

bool mi_xdr_u_int(mi_xdr *x, uint32_t *v)
{
    switch (x->op) {
    case MI_XDR_ENCODE:
        if (!fits(x, UNIT))
            return false;
        be_put32(x->buf + x->pos, *v);
        x->pos += UNIT;
        return true;
    case MI_XDR_DECODE:
        if (!fits(x, UNIT))
            return false;
        *v = be_get32(x->buf + x->pos);
        x->pos += UNIT;
        return true;
    case MI_XDR_FREE:
        return true;
    }
    return false;
}

bool mi_xdr_int(mi_xdr *x, int32_t *v)
{
    uint32_t u = static_cast<uint32_t>(*v);
    if (!mi_xdr_u_int(x, &u))
        return false;
    if (x->op == MI_XDR_DECODE)
        *v = static_cast<int32_t>(u);
    return true;
}

bool mi_xdr_u_hyper(mi_xdr *x, uint64_t *v)
{
    switch (x->op) {
    case MI_XDR_ENCODE:
        if (!fits(x, 2 * UNIT))
            return false;
        be_put64(x->buf + x->pos, *v);
        x->pos += 2 * UNIT;
        return true;
    case MI_XDR_DECODE:
        if (!fits(x, 2 * UNIT))
            return false;
        *v = be_get64(x->buf + x->pos);
        x->pos += 2 * UNIT;
        return true;
    case MI_XDR_FREE:
        return true;
    }
    return false;
}

bool mi_xdr_hyper(mi_xdr *x, int64_t *v)
{
    uint64_t u = static_cast<uint64_t>(*v);
    if (!mi_xdr_u_hyper(x, &u))
        return false;
    if (x->op == MI_XDR_DECODE)
        *v = static_cast<int64_t>(u);
    return true;
}

bool mi_xdr_string(mi_xdr *x, char **s)
{
    switch (x->op) {
    case MI_XDR_ENCODE: {
        if (*s == nullptr)
            return false;
        size_t len = strlen(*s);
        if (len >= MI_XDR_BAD_STRLEN || !fits(x, UNIT) || padded(len) > x->size - x->pos - UNIT)
            return false;
        unsigned char *p = x->buf + x->pos;
        be_put32(p, static_cast<uint32_t>(len));
        memcpy(p + UNIT, *s, len);
        memset(p + UNIT + len, 0, padded(len) - len);
        x->pos += UNIT + padded(len);
        return true;
    }
    case MI_XDR_DECODE: {
        if (!fits(x, UNIT))
            return false;
        uint32_t len = be_get32(x->buf + x->pos);
        if (len == MI_XDR_BAD_STRLEN || padded(len) > x->size - x->pos - UNIT)
            return false;
        char *out = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
        if (out == nullptr)
            return false;
        memcpy(out, x->buf + x->pos + UNIT, len);
        out[len] = '\0';
        *s = out;
        x->pos += UNIT + padded(len);
        return true;
    }
    case MI_XDR_FREE:
        free(*s);
        *s = nullptr;
        return true;
    }
    return false;
}

bool mi_xdr_opaque(mi_xdr *x, unsigned char *p, size_t n)
{
    if (x->op == MI_XDR_FREE)
        return true;
    size_t total = padded(n);
    if (total < n || !fits(x, total))
        return false;
    unsigned char *at = x->buf + x->pos;
    if (x->op == MI_XDR_ENCODE) {
        if (n != 0)
            memcpy(at, p, n);
        memset(at + n, 0, total - n);
    } else if (n != 0) {
        memcpy(p, at, n);
    }
    x->pos += total;
    return true;
}

bool mi_xdr_union(mi_xdr *x, int32_t *disc, void *arm, const mi_xdr_arm *arms, size_t narms)
{
    if (!mi_xdr_int(x, disc))
        return false;
    for (size_t i = 0; i < narms; ++i) {
        if (arms[i].value == *disc)
            return arms[i].proc == nullptr || arms[i].proc(x, arm);
    }
    return false;
}
