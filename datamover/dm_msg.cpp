#include "datamover/dm_msg.h"

#include "datamover/byteorder.h"
#include "datamover/util.h"

#include <cstring>

namespace {

inline unsigned char *ubuf(void *p) { return static_cast<unsigned char *>(p); }
inline const unsigned char *cbuf(const void *p) { return static_cast<const unsigned char *>(p); }

// Length of a NUL-terminated string starting at p with at most avail bytes
// available, or -1 when no NUL lies within them.
long bounded_strlen(const unsigned char *p, size_t avail)
{
    const void *nul = memchr(p, 0, avail);
    if (nul == nullptr)
        return -1;
    return static_cast<const unsigned char *>(nul) - p;
}

void put_hdr(const dm_hdr *h, unsigned char *p)
{
    be_put8(p + DM_HDR_OFF_CMD, h->cmd);
    be_put8(p + DM_HDR_OFF_SZ_U, h->sz_u);
    be_put16(p + DM_HDR_OFF_SZ_L, h->sz_l);
    be_put16(p + DM_HDR_OFF_FH, h->fh);
    be_put16(p + DM_HDR_OFF_SLOT, h->slot);
    be_put64(p + DM_HDR_OFF_OFF, h->off);
}

void get_hdr(dm_hdr *h, const unsigned char *p)
{
    h->cmd = be_get8(p + DM_HDR_OFF_CMD);
    h->sz_u = be_get8(p + DM_HDR_OFF_SZ_U);
    h->sz_l = be_get16(p + DM_HDR_OFF_SZ_L);
    h->fh = be_get16(p + DM_HDR_OFF_FH);
    h->slot = be_get16(p + DM_HDR_OFF_SLOT);
    h->off = be_get64(p + DM_HDR_OFF_OFF);
}

}  // namespace

// ---------------------------------------------------------------- header

void dm_hdr_init(dm_hdr *h, uint8_t cmd, uint32_t handle, uint64_t off)
{
    memset(h, 0, sizeof *h);
    h->cmd = cmd;
    dm_hdr_set_handle(h, handle);
    h->off = off;
}

uint32_t dm_hdr_len(const dm_hdr *h) { return static_cast<uint32_t>(h->sz_u) * 65536u + h->sz_l; }

int dm_hdr_set_len(dm_hdr *h, uint32_t len)
{
    if (len > DM_MAX_DATA_LEN)
        return DM_ERR_INVALID_LEN;
    h->sz_u = static_cast<uint8_t>(len >> 16);
    h->sz_l = static_cast<uint16_t>(len & 0xFFFF);
    return 0;
}

uint32_t dm_hdr_handle(const dm_hdr *h) { return (static_cast<uint32_t>(h->slot) << 16) | h->fh; }

void dm_hdr_set_handle(dm_hdr *h, uint32_t handle)
{
    h->fh = static_cast<uint16_t>(handle & 0xFFFF);
    h->slot = static_cast<uint16_t>(handle >> 16);
}

int dm_hdr_status(const dm_hdr *h) { return static_cast<int>(h->status); }

bool dm_cmd_valid(unsigned cmd) { return cmd <= DM_CMD_MAX; }

const char *dm_cmd_name(unsigned cmd)
{
    switch (cmd) {
    case DM_CMD_CONFIG: return "DM CONFIG";
    case DM_CMD_OPEN: return "DM OPEN";
    case DM_CMD_CLOSE: return "DM CLOSE";
    case DM_CMD_READ: return "DM READ";
    case DM_CMD_WRITE: return "DM WRITE";
    case DM_CMD_DELETE: return "DM DELETE";
    case DM_CMD_FLUSH: return "DM FLUSH";
    case DM_CMD_SET_XATTR: return "DM SET_XATTR";
    case DM_CMD_GET_XATTR: return "DM GET_XATTR";
    default: return "DM request";
    }
}

int dm_hdr_encode(const dm_hdr *h, void *buf, size_t len)
{
    if (h == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (len < DM_HDR_SIZE)
        return DM_ERR_INVALID_LEN;
    put_hdr(h, ubuf(buf));
    return static_cast<int>(DM_HDR_SIZE);
}

int dm_hdr_decode(dm_hdr *h, const void *buf, size_t len)
{
    if (h == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (len < DM_HDR_SIZE)
        return DM_ERR_BADMSG;
    get_hdr(h, cbuf(buf));
    return static_cast<int>(DM_HDR_SIZE);
}

// ---------------------------------------------------------------- configuration

void dm_config_init(dm_config_msg *m)
{
    memset(m, 0, sizeof *m);
    m->hdr.cmd = DM_CMD_CONFIG;
    m->pref_bsz = DM_PREF_BSZ;
    m->pref_compress = 1;
    m->pref_dedup = 1;
}

int dm_config_encode(const dm_config_msg *m, void *buf, size_t len)
{
    if (m == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (len < DM_CONFIG_MSG_SIZE)
        return DM_ERR_INVALID_LEN;
    unsigned char *p = ubuf(buf);
    put_hdr(&m->hdr, p);
    be_put32(p + DM_CFG_OFF_BSZ, m->pref_bsz);
    be_put32(p + DM_CFG_OFF_COMPRESS, m->pref_compress);
    be_put32(p + DM_CFG_OFF_DEDUP, m->pref_dedup);
    be_put8(p + DM_CFG_OFF_B0, m->rsvd0);
    be_put8(p + DM_CFG_OFF_B1, m->rsvd1);
    be_put16(p + DM_CFG_OFF_RESERVE, m->pref_reserve_mb);
    return static_cast<int>(DM_CONFIG_MSG_SIZE);
}

int dm_config_decode(dm_config_msg *m, const void *buf, size_t len)
{
    if (m == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (len < DM_CONFIG_MSG_SIZE)
        return DM_ERR_BADMSG;
    const unsigned char *p = cbuf(buf);
    get_hdr(&m->hdr, p);
    m->pref_bsz = be_get32(p + DM_CFG_OFF_BSZ);
    m->pref_compress = be_get32(p + DM_CFG_OFF_COMPRESS);
    m->pref_dedup = be_get32(p + DM_CFG_OFF_DEDUP);
    m->rsvd0 = be_get8(p + DM_CFG_OFF_B0);
    m->rsvd1 = be_get8(p + DM_CFG_OFF_B1);
    m->pref_reserve_mb = be_get16(p + DM_CFG_OFF_RESERVE);
    return static_cast<int>(DM_CONFIG_MSG_SIZE);
}

// ---------------------------------------------------------------- open

uint32_t dm_open_oflags(int open_flags)
{
    if (open_flags == 0)
        return DM_OFLAG_RDONLY;
    uint32_t o = 0;
    if (open_flags & KES_O_RDWR)
        o |= DM_OFLAG_RDWR;
    if (open_flags & KES_O_CREAT)
        o |= DM_OFLAG_CREAT;
    if (open_flags & KES_O_TRUNC)
        o |= DM_OFLAG_TRUNC;
    return o;
}

uint32_t dm_open_id(uint32_t id)
{
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(static_cast<uint16_t>(id & 0xFFFF))));
}

int dm_remote_name(const char *name, char *dst, size_t cap)
{
    if (name == nullptr || dst == nullptr)
        return DM_ERR_INVALID_ARGS;
    size_t n = strlen(name);
    if (n + 1 > cap) {
        if (cap > 0)
            dst[0] = '\0';
        return DM_ERR_INVALID_LEN;
    }
    for (size_t i = 0; i < n; i++)
        dst[i] = name[i] == '\\' ? '/' : name[i];
    dst[n] = '\0';
    return static_cast<int>(n);
}

int dm_open_encode(const dm_open_msg *m, void *buf, size_t len)
{
    if (m == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (len < DM_OPEN_MSG_SIZE)
        return DM_ERR_INVALID_LEN;
    unsigned char *p = ubuf(buf);
    put_hdr(&m->hdr, p);
    be_put32(p + DM_OPEN_OFF_UID, m->stats.uid);
    be_put32(p + DM_OPEN_OFF_GID, m->stats.gid);
    be_put32(p + DM_OPEN_OFF_RSVD0, m->stats.rsvd[0]);
    be_put32(p + DM_OPEN_OFF_RSVD1, m->stats.rsvd[1]);
    be_put64(p + DM_OPEN_OFF_SZ, m->stats.sz);
    be_put32(p + DM_OPEN_OFF_OFLAGS, m->oflags);
    be_put32(p + DM_OPEN_OFF_RSVD2, m->rsvd);
    return static_cast<int>(DM_OPEN_MSG_SIZE);
}

int dm_open_decode(dm_open_msg *m, const void *buf, size_t len)
{
    if (m == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (len < DM_OPEN_MSG_SIZE)
        return DM_ERR_BADMSG;
    const unsigned char *p = cbuf(buf);
    get_hdr(&m->hdr, p);
    m->stats.uid = be_get32(p + DM_OPEN_OFF_UID);
    m->stats.gid = be_get32(p + DM_OPEN_OFF_GID);
    m->stats.rsvd[0] = be_get32(p + DM_OPEN_OFF_RSVD0);
    m->stats.rsvd[1] = be_get32(p + DM_OPEN_OFF_RSVD1);
    m->stats.sz = be_get64(p + DM_OPEN_OFF_SZ);
    m->oflags = be_get32(p + DM_OPEN_OFF_OFLAGS);
    m->rsvd = be_get32(p + DM_OPEN_OFF_RSVD2);
    return static_cast<int>(DM_OPEN_MSG_SIZE);
}

size_t dm_open_req_len(const char *name) { return DM_OPEN_MSG_SIZE + (name ? strlen(name) : 0) + 1; }

int dm_open_req_encode(const dm_open_msg *m, const char *name, void *buf, size_t len)
{
    if (m == nullptr || name == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    size_t n = strlen(name);
    if (n >= DM_OPEN_NAME_MAX)
        return DM_ERR_INVALID_LEN;
    if (len < DM_OPEN_MSG_SIZE + n + 1)
        return DM_ERR_INVALID_LEN;
    dm_open_encode(m, buf, len);
    int rc = dm_remote_name(name, reinterpret_cast<char *>(ubuf(buf) + DM_OPEN_MSG_SIZE), n + 1);
    if (rc < 0)
        return rc;
    return static_cast<int>(DM_OPEN_MSG_SIZE + n + 1);
}

int dm_open_req_decode(dm_open_msg *m, const char **name, const void *buf, size_t len)
{
    if (m == nullptr || name == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    int rc = dm_open_decode(m, buf, len);
    if (rc < 0)
        return rc;
    const unsigned char *s = cbuf(buf) + DM_OPEN_MSG_SIZE;
    long n = bounded_strlen(s, len - DM_OPEN_MSG_SIZE);
    if (n < 0 || static_cast<size_t>(n) >= DM_OPEN_NAME_MAX)
        return DM_ERR_BADMSG;
    *name = reinterpret_cast<const char *>(s);
    return static_cast<int>(DM_OPEN_MSG_SIZE + n + 1);
}

// ---------------------------------------------------------------- delete

size_t dm_delete_req_len(const char *name) { return DM_HDR_SIZE + (name ? strlen(name) : 0) + 1; }

int dm_delete_req_encode(const char *name, void *buf, size_t len)
{
    if (name == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    size_t n = strlen(name);
    if (len < DM_HDR_SIZE || len - DM_HDR_SIZE < n + 1)
        return DM_ERR_INVALID_LEN;
    dm_hdr h;
    dm_hdr_init(&h, DM_CMD_DELETE, 0, 0);
    put_hdr(&h, ubuf(buf));
    memcpy(ubuf(buf) + DM_HDR_SIZE, name, n + 1);
    return static_cast<int>(DM_HDR_SIZE + n + 1);
}

int dm_delete_req_decode(dm_hdr *h, const char **name, const void *buf, size_t len)
{
    if (h == nullptr || name == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    int rc = dm_hdr_decode(h, buf, len);
    if (rc < 0)
        return rc;
    const unsigned char *s = cbuf(buf) + DM_HDR_SIZE;
    long n = bounded_strlen(s, len - DM_HDR_SIZE);
    if (n < 0)
        return DM_ERR_BADMSG;
    *name = reinterpret_cast<const char *>(s);
    return static_cast<int>(DM_HDR_SIZE + n + 1);
}

// ---------------------------------------------------------------- close-form and read/write

int dm_close_req_encode(uint8_t cmd, uint32_t handle, void *buf, size_t len)
{
    dm_hdr h;
    dm_hdr_init(&h, cmd, handle, 0);
    return dm_hdr_encode(&h, buf, len);
}

int dm_rw_hdr_encode(uint8_t cmd, uint32_t handle, uint64_t off, uint32_t data_len, void *buf, size_t len)
{
    dm_hdr h;
    dm_hdr_init(&h, cmd, handle, off);
    int rc = dm_hdr_set_len(&h, data_len);
    if (rc < 0)
        return rc;
    return dm_hdr_encode(&h, buf, len);
}

// ---------------------------------------------------------------- extended attributes

int dm_xattr_hdr_encode(const dm_xattr_hdr *m, void *buf, size_t len)
{
    if (m == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (len < DM_XATTR_HDR_SIZE)
        return DM_ERR_INVALID_LEN;
    put_hdr(&m->hdr, ubuf(buf));
    be_put32(ubuf(buf) + DM_XATTR_OFF_VLEN, m->value_len);
    return static_cast<int>(DM_XATTR_HDR_SIZE);
}

int dm_xattr_hdr_decode(dm_xattr_hdr *m, const void *buf, size_t len)
{
    if (m == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (len < DM_XATTR_HDR_SIZE)
        return DM_ERR_BADMSG;
    get_hdr(&m->hdr, cbuf(buf));
    m->value_len = be_get32(cbuf(buf) + DM_XATTR_OFF_VLEN);
    return static_cast<int>(DM_XATTR_HDR_SIZE);
}

size_t dm_xattr_req_len(uint8_t cmd, const char *path, const char *attr, uint32_t value_len)
{
    size_t n = DM_XATTR_HDR_SIZE;
    if (path != nullptr)
        n += strlen(path) + 1;
    n += (attr ? strlen(attr) : 0) + 1;
    if (cmd == DM_CMD_SET_XATTR)
        n += value_len;
    return n;
}

int dm_xattr_req_encode(uint8_t cmd, uint32_t handle, const char *path, const char *attr, const void *value,
                        uint32_t value_len, void *buf, size_t len)
{
    if (attr == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    if (cmd != DM_CMD_SET_XATTR && cmd != DM_CMD_GET_XATTR)
        return DM_ERR_INVALID_ARGS;
    if (cmd == DM_CMD_SET_XATTR && value == nullptr && value_len > 0)
        return DM_ERR_INVALID_ARGS;
    size_t plen = 0;
    if (path != nullptr) {
        plen = strlen(path) + 1;
        if (plen >= DM_XATTR_PATH_MAX)
            return DM_ERR_INVALID_LEN;
    }
    size_t alen = strlen(attr) + 1;
    size_t vlen = cmd == DM_CMD_SET_XATTR ? value_len : 0;
    size_t total = DM_XATTR_HDR_SIZE + plen + alen + vlen;
    if (total > len)
        return DM_ERR_INVALID_LEN;
    if (total > 0x7FFFFFFF)
        return DM_ERR_INVALID_LEN;

    dm_xattr_hdr xh;
    dm_hdr_init(&xh.hdr, cmd, path ? 0 : handle, 0);
    if (path != nullptr) {
        xh.hdr.fh = DM_FH_BY_PATH;
        xh.hdr.slot = 0;
    }
    xh.value_len = value_len;
    unsigned char *p = ubuf(buf);
    dm_xattr_hdr_encode(&xh, p, len);
    size_t pos = DM_XATTR_HDR_SIZE;
    if (path != nullptr) {
        memcpy(p + pos, path, plen);
        pos += plen;
    }
    memcpy(p + pos, attr, alen);
    pos += alen;
    if (vlen > 0) {
        memcpy(p + pos, value, vlen);
        pos += vlen;
    }
    return static_cast<int>(pos);
}

int dm_xattr_req_decode(dm_xattr_req_view *v, const void *buf, size_t len)
{
    if (v == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    int rc = dm_xattr_hdr_decode(&v->xh, buf, len);
    if (rc < 0)
        return rc;
    uint8_t cmd = v->xh.hdr.cmd;
    if (cmd != DM_CMD_SET_XATTR && cmd != DM_CMD_GET_XATTR)
        return DM_ERR_BADMSG;
    const unsigned char *p = cbuf(buf);
    size_t pos = DM_XATTR_HDR_SIZE;
    v->path = nullptr;
    v->value = nullptr;
    if (v->xh.hdr.fh == DM_FH_BY_PATH) {
        long n = bounded_strlen(p + pos, len - pos);
        if (n < 0 || static_cast<size_t>(n) + 1 >= DM_XATTR_PATH_MAX)
            return DM_ERR_BADMSG;
        v->path = reinterpret_cast<const char *>(p + pos);
        pos += static_cast<size_t>(n) + 1;
    }
    long a = bounded_strlen(p + pos, len - pos);
    if (a < 0)
        return DM_ERR_BADMSG;
    v->attr = reinterpret_cast<const char *>(p + pos);
    pos += static_cast<size_t>(a) + 1;
    if (cmd == DM_CMD_SET_XATTR) {
        if (len - pos != v->xh.value_len)
            return DM_ERR_BADMSG;
        v->value = p + pos;
        pos += v->xh.value_len;
    } else if (pos != len) {
        return DM_ERR_BADMSG;
    }
    if (pos > 0x7FFFFFFF)
        return DM_ERR_BADMSG;
    return static_cast<int>(pos);
}

int dm_get_xattr_rsp_decode(dm_xattr_hdr *m, const unsigned char **value, const void *buf, size_t len,
                            uint32_t capacity)
{
    if (m == nullptr || value == nullptr || buf == nullptr)
        return DM_ERR_INVALID_ARGS;
    *value = nullptr;
    int rc = dm_xattr_hdr_decode(m, buf, len);
    if (rc < 0)
        return rc;
    if (m->hdr.status != 0)
        return static_cast<int>(DM_XATTR_HDR_SIZE);
    if (m->value_len > capacity || len - DM_XATTR_HDR_SIZE != m->value_len)
        return DM_ERR_BADMSG;
    if (len > 0x7FFFFFFF)
        return DM_ERR_BADMSG;
    *value = cbuf(buf) + DM_XATTR_HDR_SIZE;
    return static_cast<int>(len);
}

// ---------------------------------------------------------------- size functions

size_t get_dm_close_req_size(const void *, const void *) { return DM_HDR_SIZE; }
size_t get_dm_open_req_size(const void *, const void *) { return DM_OPEN_MSG_SIZE; }
size_t get_dm_config_req_size(const void *, const void *) { return DM_CONFIG_MSG_SIZE; }
size_t get_dm_xattr_req_size(const void *, const void *) { return DM_XATTR_HDR_SIZE; }
size_t get_dm_delete_req_size(const void *, const void *) { return DM_HDR_SIZE; }
