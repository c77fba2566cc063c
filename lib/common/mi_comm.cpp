// MI header, record routines, message registry and whole-buffer codecs.
#include "lib/common/mi_comm.h"

#include "datamover/ost_mi.h"
#include "datamover/util.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

static_assert(sizeof(mi_header) == 40, "in-memory MI header");
static_assert(sizeof(mi_auth_attr) == 4 + MI_AUTH_ATTR_SIZE, "attribute union");
static_assert(sizeof(mi_set_extent_req) == 19 * 8, "set-extent record: nineteen 8-byte fields");
static_assert(MI_HEADER_WIRE_SIZE == 8 + 8 + 4 + 4 + 8 + 4, "MI header on the wire");

// ---------------------------------------------------------------- header

bool xdr_mi_header(mi_xdr *x, mi_header *h)
{
    return mi_xdr_u_hyper(x, &h->reserved1) && mi_xdr_hyper(x, &h->time) && mi_xdr_int(x, &h->kind) &&
           mi_xdr_u_int(x, &h->number) && mi_xdr_u_hyper(x, &h->reserved2) && mi_xdr_int(x, &h->reserved3);
}

// ---------------------------------------------------------------- records of this library

bool xdr_mi_status_reply(mi_xdr *x, mi_status_reply *r) { return mi_xdr_int(x, &r->status); }

namespace {

bool xdr_attr_bytes(mi_xdr *x, void *p) { return mi_xdr_opaque(x, static_cast<unsigned char *>(p), MI_AUTH_ATTR_SIZE); }

const mi_xdr_arm auth_attr_arms[] = {
    {MI_AUTH_ATTR_PRESENT, xdr_attr_bytes},
    {MI_AUTH_ATTR_NONE, nullptr},
};

bool xdr_cred_digest(mi_xdr *x, void *p)
{
    auto *c = static_cast<mi_cred_digest *>(p);
    return mi_xdr_string(x, &c->user) && mi_xdr_opaque(x, c->digest, MI_AUTH_DIGEST_SIZE);
}

bool xdr_cred_text(mi_xdr *x, void *p)
{
    auto *c = static_cast<mi_cred_text *>(p);
    return mi_xdr_string(x, &c->text1) && mi_xdr_string(x, &c->text2);
}

const mi_xdr_arm cred_arms[] = {
    {MI_CRED_KIND_DIGEST, xdr_cred_digest},
    {MI_CRED_KIND_TEXT, xdr_cred_text},
};

}  // namespace

bool xdr_mi_auth_attr(mi_xdr *x, mi_auth_attr *r)
{
    return mi_xdr_union(x, &r->present, r->attr, auth_attr_arms, sizeof auth_attr_arms / sizeof auth_attr_arms[0]);
}

bool xdr_mi_authenticate_client_req(mi_xdr *x, mi_authenticate_client_req *r)
{
    // The arm pointer is the union itself; each arm routine knows its member.
    return mi_xdr_union(x, &r->kind, &r->cred, cred_arms, sizeof cred_arms / sizeof cred_arms[0]);
}

bool xdr_mi_get_version_req(mi_xdr *x, mi_get_version_req *r)
{
    return mi_xdr_string(x, &r->host) && mi_xdr_int(x, &r->arg1) && mi_xdr_int(x, &r->arg2) &&
           mi_xdr_int(x, &r->client_version);
}

bool xdr_mi_get_version_reply(mi_xdr *x, mi_get_version_reply *r)
{
    return mi_xdr_int(x, &r->status) && mi_xdr_int(x, &r->version);
}

bool xdr_mi_config_get_auth_attr_req(mi_xdr *x, mi_config_get_auth_attr_req *r) { return mi_xdr_int(x, &r->value); }

bool xdr_mi_config_get_auth_attr_reply(mi_xdr *x, mi_config_get_auth_attr_reply *r)
{
    return mi_xdr_int(x, &r->status) && xdr_mi_auth_attr(x, &r->attr);
}

bool xdr_mi_set_extent_req(mi_xdr *x, mi_set_extent_req *r)
{
    return mi_xdr_u_hyper(x, &r->handle) && mi_xdr_u_hyper(x, &r->image_offset) && mi_xdr_string(x, &r->tag) &&
           mi_xdr_u_hyper(x, &r->tag_offset) && mi_xdr_u_hyper(x, &r->length) &&
           mi_xdr_u_hyper(x, &r->virtual_sent) && mi_xdr_u_hyper(x, &r->virtual_received) &&
           mi_xdr_u_hyper(x, &r->actual_sent) && mi_xdr_u_hyper(x, &r->actual_received) &&
           mi_xdr_u_hyper(x, &r->store_time_ms);
}

bool xdr_mi_set_extent_stats_req(mi_xdr *x, mi_set_extent_req *r)
{
    return xdr_mi_set_extent_req(x, r) && mi_xdr_u_hyper(x, &r->bytes_input) &&
           mi_xdr_u_hyper(x, &r->unique_precompressed) && mi_xdr_u_hyper(x, &r->unique_compressed);
}

bool xdr_mi_set_extent_accel_req(mi_xdr *x, mi_set_extent_req *r)
{
    return xdr_mi_set_extent_stats_req(x, r) && mi_xdr_u_hyper(x, &r->ingest_data_bytes) &&
           mi_xdr_u_hyper(x, &r->ingest_unique_bytes) && mi_xdr_u_hyper(x, &r->ingest_synth_bytes) &&
           mi_xdr_u_hyper(x, &r->data_extents) && mi_xdr_u_hyper(x, &r->synth_extents) &&
           mi_xdr_u_hyper(x, &r->close_latency_ms);
}

bool xdr_mi_tag_req(mi_xdr *x, mi_tag_req *r) { return mi_xdr_u_hyper(x, &r->handle) && mi_xdr_string(x, &r->tag); }

bool xdr_mi_admin_alert_req(mi_xdr *x, mi_admin_alert_req *r)
{
    return mi_xdr_u_hyper(x, &r->handle) && mi_xdr_u_hyper(x, &r->pid) && mi_xdr_u_hyper(x, &r->seconds) &&
           mi_xdr_string(x, &r->text) && mi_xdr_u_hyper(x, &r->kind);
}

bool xdr_mi_open_file_req(mi_xdr *x, mi_open_file_req *r) { return mi_xdr_int(x, &r->mode) && mi_xdr_string(x, &r->name); }

bool xdr_mi_open_file_reply(mi_xdr *x, mi_open_file_reply *r)
{
    return mi_xdr_int(x, &r->status) && mi_xdr_int(x, &r->flags) && mi_xdr_u_hyper(x, &r->handle);
}

bool xdr_mi_close_file_req(mi_xdr *x, mi_close_file_req *r)
{
    return mi_xdr_int(x, &r->reserved) && mi_xdr_u_hyper(x, &r->handle);
}

bool xdr_mi_close_file_reply(mi_xdr *x, mi_close_file_reply *r)
{
    return mi_xdr_int(x, &r->status) && mi_xdr_int(x, &r->unused);
}

bool xdr_mi_dm_port_req(mi_xdr *x, mi_dm_port_req *r) { return mi_xdr_int(x, &r->reserved); }

bool xdr_mi_dm_port_reply(mi_xdr *x, mi_dm_port_reply *r) { return mi_xdr_int(x, &r->status) && mi_xdr_int(x, &r->port); }

bool xdr_mi_check_space_req(mi_xdr *x, mi_check_space_req *r)
{
    return mi_xdr_int(x, &r->reserved) && mi_xdr_u_hyper(x, &r->handle);
}

bool xdr_mi_check_space_reply(mi_xdr *x, mi_check_space_reply *r)
{
    return mi_xdr_int(x, &r->status) && mi_xdr_int(x, &r->unused);
}

bool xdr_mi_get_extent_req(mi_xdr *x, mi_get_extent_req *r)
{
    return mi_xdr_u_hyper(x, &r->handle) && mi_xdr_u_hyper(x, &r->image_offset);
}

bool xdr_mi_get_extent_reply(mi_xdr *x, mi_get_extent_reply *r)
{
    return mi_xdr_int(x, &r->status) && mi_xdr_string(x, &r->tag) && mi_xdr_u_hyper(x, &r->blob_offset) &&
           mi_xdr_u_hyper(x, &r->length);
}

// ---------------------------------------------------------------- records this library never sends

bool xdr_mi_rec_k(mi_xdr *x, mi_rec_k *r)
{
    return mi_xdr_string(x, &r->s1) && mi_xdr_string(x, &r->s2) && mi_xdr_string(x, &r->s3) &&
           mi_xdr_string(x, &r->s4) && mi_xdr_int(x, &r->i1) && mi_xdr_int(x, &r->i2) && mi_xdr_string(x, &r->s5);
}

bool xdr_mi_rec_l(mi_xdr *x, mi_rec_l *r)
{
    return mi_xdr_string(x, &r->s1) && mi_xdr_int(x, &r->i1) && mi_xdr_int(x, &r->i2) && mi_xdr_int(x, &r->i3) &&
           mi_xdr_int(x, &r->i4) && mi_xdr_int(x, &r->i5) && mi_xdr_int(x, &r->i6) && mi_xdr_string(x, &r->s2) &&
           mi_xdr_string(x, &r->s3);
}

bool xdr_mi_rec_m(mi_xdr *x, mi_rec_m *r)
{
    return xdr_mi_rec_k(x, &r->k) && mi_xdr_string(x, &r->s1) && mi_xdr_string(x, &r->s2) && xdr_mi_rec_l(x, &r->l);
}

bool xdr_mi_rec_n(mi_xdr *x, mi_rec_n *r)
{
    return xdr_mi_rec_k(x, &r->k) && mi_xdr_string(x, &r->s1) && mi_xdr_string(x, &r->s2) &&
           mi_xdr_hyper(x, &r->h1) && mi_xdr_hyper(x, &r->h2) && mi_xdr_int(x, &r->i1) && mi_xdr_int(x, &r->i2);
}

bool xdr_mi_req_i(mi_xdr *x, mi_req_i *r) { return mi_xdr_int(x, &r->i1); }
bool xdr_mi_req_s(mi_xdr *x, mi_req_s *r) { return mi_xdr_string(x, &r->s1); }
bool xdr_mi_req_h(mi_xdr *x, mi_req_h *r) { return mi_xdr_hyper(x, &r->h1); }
bool xdr_mi_req_s_i(mi_xdr *x, mi_req_s_i *r) { return mi_xdr_string(x, &r->s1) && mi_xdr_int(x, &r->i1); }
bool xdr_mi_req_h_i(mi_xdr *x, mi_req_h_i *r) { return mi_xdr_hyper(x, &r->h1) && mi_xdr_int(x, &r->i1); }
bool xdr_mi_req_h_h(mi_xdr *x, mi_req_h_h *r) { return mi_xdr_hyper(x, &r->h1) && mi_xdr_hyper(x, &r->h2); }

bool xdr_mi_req_h5(mi_xdr *x, mi_req_h5 *r)
{
    return mi_xdr_hyper(x, &r->h1) && mi_xdr_hyper(x, &r->h2) && mi_xdr_hyper(x, &r->h3) &&
           mi_xdr_hyper(x, &r->h4) && mi_xdr_hyper(x, &r->h5);
}

bool xdr_mi_req_0b(mi_xdr *x, mi_req_0b *r)
{
    return mi_xdr_hyper(x, &r->h1) && mi_xdr_hyper(x, &r->h2) && mi_xdr_hyper(x, &r->h3) &&
           mi_xdr_string(x, &r->s1) && mi_xdr_string(x, &r->s2) && mi_xdr_string(x, &r->s3) &&
           mi_xdr_string(x, &r->s4) && mi_xdr_hyper(x, &r->h4) && mi_xdr_int(x, &r->i1) && mi_xdr_int(x, &r->i2);
}

bool xdr_mi_req_s_k(mi_xdr *x, mi_req_s_k *r) { return mi_xdr_string(x, &r->s1) && xdr_mi_rec_k(x, &r->k); }

bool xdr_mi_req_s_k_i(mi_xdr *x, mi_req_s_k_i *r)
{
    return mi_xdr_string(x, &r->s1) && xdr_mi_rec_k(x, &r->k) && mi_xdr_int(x, &r->i1);
}

bool xdr_mi_req_s_k_i_i(mi_xdr *x, mi_req_s_k_i_i *r)
{
    return mi_xdr_string(x, &r->s1) && xdr_mi_rec_k(x, &r->k) && mi_xdr_int(x, &r->i1) && mi_xdr_int(x, &r->i2);
}

bool xdr_mi_req_28(mi_xdr *x, mi_req_28 *r)
{
    return mi_xdr_string(x, &r->s1) && mi_xdr_int(x, &r->i1) && xdr_mi_rec_m(x, &r->m1) &&
           mi_xdr_string(x, &r->s2) && xdr_mi_rec_m(x, &r->m2) && mi_xdr_string(x, &r->s3) &&
           mi_xdr_int(x, &r->i2);
}

bool xdr_mi_reply_attr_i(mi_xdr *x, mi_reply_attr_i *r) { return xdr_mi_auth_attr(x, &r->attr) && mi_xdr_int(x, &r->i1); }
bool xdr_mi_reply_i_h(mi_xdr *x, mi_reply_i_h *r) { return mi_xdr_int(x, &r->status) && mi_xdr_hyper(x, &r->h1); }

bool xdr_mi_reply_i_h_i(mi_xdr *x, mi_reply_i_h_i *r)
{
    return mi_xdr_int(x, &r->status) && mi_xdr_hyper(x, &r->h1) && mi_xdr_int(x, &r->i1);
}

bool xdr_mi_reply_i_h_i_i(mi_xdr *x, mi_reply_i_h_i_i *r)
{
    return mi_xdr_int(x, &r->status) && mi_xdr_hyper(x, &r->h1) && mi_xdr_int(x, &r->i1) && mi_xdr_int(x, &r->i2);
}

bool xdr_mi_reply_i_s(mi_xdr *x, mi_reply_i_s *r) { return mi_xdr_int(x, &r->status) && mi_xdr_string(x, &r->s1); }
bool xdr_mi_reply_i_k(mi_xdr *x, mi_reply_i_k *r) { return mi_xdr_int(x, &r->status) && xdr_mi_rec_k(x, &r->k); }
bool xdr_mi_reply_i_n(mi_xdr *x, mi_reply_i_n *r) { return mi_xdr_int(x, &r->status) && xdr_mi_rec_n(x, &r->n); }

// ---------------------------------------------------------------- registry

namespace {

template <typename T, bool (*F)(mi_xdr *, T *)>
bool as_proc(mi_xdr *x, void *rec)
{
    return F(x, static_cast<T *>(rec));
}

#define MI_ROW(num, name, RQ, RP) \
    {num, name, as_proc<RQ, xdr_##RQ>, sizeof(RQ), as_proc<RP, xdr_##RP>, sizeof(RP)}

}  // namespace

constexpr mi_msg_def mi_msg_registry[MI_MSG_REGISTRY_ROWS + 1] = {
    MI_ROW(0x20000001, nullptr, mi_req_i, mi_status_reply),
    MI_ROW(0x20000002, nullptr, mi_req_s_i, mi_reply_attr_i),
    {0x20000003, nullptr, nullptr, 0, as_proc<mi_status_reply, xdr_mi_status_reply>, sizeof(mi_status_reply)},
    MI_ROW(MI_AUTHENTICATE_CLIENT, "MI_AUTHENTICATE_CLIENT", mi_authenticate_client_req, mi_status_reply),
    MI_ROW(0x2000000B, nullptr, mi_req_0b, mi_reply_i_h),
    MI_ROW(0x2000000D, nullptr, mi_req_s_k_i, mi_reply_i_h),
    MI_ROW(0x2000000E, nullptr, mi_req_s_k_i, mi_status_reply),
    MI_ROW(0x2000000F, nullptr, mi_req_s_k_i, mi_reply_i_h),
    MI_ROW(0x20000010, nullptr, mi_req_h_i, mi_status_reply),
    MI_ROW(0x20000011, nullptr, mi_req_h_h, mi_status_reply),
    MI_ROW(0x20000012, nullptr, mi_req_h_h, mi_status_reply),
    MI_ROW(0x20000013, nullptr, mi_req_h, mi_reply_i_n),
    MI_ROW(0x20000014, nullptr, mi_req_s_k, mi_reply_i_n),
    MI_ROW(0x20000015, nullptr, mi_req_s_i, mi_reply_i_h),
    MI_ROW(0x20000016, nullptr, mi_req_h, mi_status_reply),
    MI_ROW(0x20000017, nullptr, mi_req_h, mi_reply_i_k),
    MI_ROW(MI_GET_VERSION, "MI_GET_VERSION", mi_get_version_req, mi_get_version_reply),
    MI_ROW(0x20000019, nullptr, mi_req_s_k_i, mi_reply_i_h_i),
    MI_ROW(0x2000001A, nullptr, mi_req_s_k_i, mi_reply_i_h_i),
    MI_ROW(MI_CONFIG_GET_AUTH_ATTR, "MI_CONFIG_GET_AUTH_ATTR", mi_config_get_auth_attr_req,
           mi_config_get_auth_attr_reply),
    MI_ROW(MI_BFST_SET_EXTENT, "MI_BFST_SET_EXTENT", mi_set_extent_req, mi_status_reply),
    MI_ROW(MI_BFST_GET_EXTENT, "MI_BFST_GET_EXTENT", mi_get_extent_req, mi_get_extent_reply),
    MI_ROW(MI_BFST_HOLD_TAG, "MI_BFST_HOLD_TAG", mi_tag_req, mi_status_reply),
    MI_ROW(MI_BFST_DROP_TAG, "MI_BFST_DROP_TAG", mi_tag_req, mi_status_reply),
    MI_ROW(0x20000020, nullptr, mi_req_s_k_i_i, mi_reply_i_h_i_i),
    MI_ROW(0x20000021, nullptr, mi_req_s_k_i_i, mi_reply_i_h_i_i),
    MI_ROW(0x20000022, nullptr, mi_req_s, mi_reply_i_h_i),
    MI_ROW(0x20000023, nullptr, mi_req_h5, mi_reply_i_h),
    MI_ROW(0x20000024, nullptr, mi_req_i, mi_reply_i_s),
    MI_ROW(0x20000028, nullptr, mi_req_28, mi_reply_i_s),
    MI_ROW(0x20000029, nullptr, mi_req_s, mi_status_reply),
    MI_ROW(0x2000002A, nullptr, mi_req_s_i, mi_reply_i_h_i),
    MI_ROW(0x20000032, nullptr, mi_req_s, mi_reply_i_s),
    {MI_BFST_SET_EXTENT_STATS, "MI_BFST_SET_EXTENT_STATS", as_proc<mi_set_extent_req, xdr_mi_set_extent_stats_req>,
     sizeof(mi_set_extent_req), as_proc<mi_status_reply, xdr_mi_status_reply>, sizeof(mi_status_reply)},
    MI_ROW(MI_ADMIN_ALERT, "MI_ADMIN_ALERT", mi_admin_alert_req, mi_status_reply),
    {MI_BFST_SET_EXTENT_ACCEL, "MI_BFST_SET_EXTENT_ACCEL", as_proc<mi_set_extent_req, xdr_mi_set_extent_accel_req>,
     sizeof(mi_set_extent_req), as_proc<mi_status_reply, xdr_mi_status_reply>, sizeof(mi_status_reply)},
    MI_ROW(MI_OPEN_FILE, "MI_OPEN_FILE", mi_open_file_req, mi_open_file_reply),
    MI_ROW(MI_CLOSE_FILE, "MI_CLOSE_FILE", mi_close_file_req, mi_close_file_reply),
    MI_ROW(MI_DM_PORT, "MI_DM_PORT", mi_dm_port_req, mi_dm_port_reply),
    MI_ROW(MI_CHECK_SPACE, "MI_CHECK_SPACE", mi_check_space_req, mi_check_space_reply),
    {0, nullptr, nullptr, 0, nullptr, 0},
};

#undef MI_ROW

namespace {

constexpr bool registry_sizes_fit()
{
    for (const mi_msg_def &row : mi_msg_registry) {
        if (row.request_size > sizeof(mi_record) || row.reply_size > sizeof(mi_record))
            return false;
    }
    return true;
}
static_assert(registry_sizes_fit(), "mi_record holds every registered record");

// Ascending numbers, the end marker last.
constexpr bool registry_well_formed()
{
    for (size_t i = 0; i < MI_MSG_REGISTRY_ROWS; ++i) {
        const mi_msg_def &row = mi_msg_registry[i];
        if (row.number == 0 || (i > 0 && row.number <= mi_msg_registry[i - 1].number))
            return false;
    }
    return mi_msg_registry[MI_MSG_REGISTRY_ROWS].number == 0;
}
static_assert(registry_well_formed(), "registry order");

}  // namespace

const mi_msg_def *mi_msg_lookup(uint32_t number)
{
    if (number == 0)
        return nullptr;
    for (const mi_msg_def *row = mi_msg_registry; row->number != 0; ++row) {
        if (row->number == number)
            return row;
    }
    return nullptr;
}

const char *mi_msg_name(uint32_t number)
{
    const mi_msg_def *row = mi_msg_lookup(number);
    if (row == nullptr)
        return "UNKNOWN";
    return row->name != nullptr ? row->name : "UNNAMED";
}

// ---------------------------------------------------------------- whole buffers

namespace {

int encode_message(uint32_t number, int32_t kind, void *rec, void *buf, size_t len)
{
    const mi_msg_def *row = mi_msg_lookup(number);
    if (row == nullptr)
        return KES_EBADMSG;
    mi_record_proc proc = kind == MI_KIND_REQUEST ? row->request : row->reply;
    if ((proc != nullptr) != (rec != nullptr) || buf == nullptr)
        return KES_EINVAL;
    memset(buf, 0, len);
    mi_xdr x;
    mi_xdr_create(&x, buf, len, MI_XDR_ENCODE);
    mi_header h{};
    h.time = static_cast<int64_t>(static_cast<int32_t>(time(nullptr)));
    h.kind = kind;
    h.number = number;
    if (!xdr_mi_header(&x, &h) || (proc != nullptr && !proc(&x, rec)))
        return KES_ERANGE;
    return 0;
}

void free_record(mi_record_proc proc, void *rec)
{
    if (proc == nullptr || rec == nullptr)
        return;
    mi_xdr x;
    mi_xdr_create(&x, nullptr, 0, MI_XDR_FREE);
    proc(&x, rec);
}

}  // namespace

int mi_encode_request(uint32_t number, void *req, void *buf, size_t len)
{
    return encode_message(number, MI_KIND_REQUEST, req, buf, len);
}

int mi_encode_reply(uint32_t number, void *reply, void *buf, size_t len)
{
    return encode_message(number, MI_KIND_REPLY, reply, buf, len);
}

int mi_decode_header(const void *buf, size_t len, mi_header *hdr)
{
    if (buf == nullptr || hdr == nullptr)
        return KES_EINVAL;
    mi_xdr x;
    // Decode mode only reads the buffer.
    mi_xdr_create(&x, const_cast<void *>(buf), len, MI_XDR_DECODE);
    return xdr_mi_header(&x, hdr) ? 0 : KES_ERANGE;
}

int mi_decode_request(const void *buf, size_t len, mi_header *hdr, void *req, size_t req_size)
{
    if (buf == nullptr || hdr == nullptr)
        return KES_EINVAL;
    mi_xdr x;
    mi_xdr_create(&x, const_cast<void *>(buf), len, MI_XDR_DECODE);
    if (!xdr_mi_header(&x, hdr))
        return KES_ERANGE;
    const mi_msg_def *row = mi_msg_lookup(hdr->number);
    if (row == nullptr || hdr->kind != MI_KIND_REQUEST)
        return KES_EBADMSG;
    if (row->request == nullptr)
        return 0;
    if (req == nullptr || req_size < row->request_size)
        return KES_EINVAL;
    memset(req, 0, row->request_size);
    if (!row->request(&x, req)) {
        free_record(row->request, req);
        return KES_ERANGE;
    }
    return 0;
}

int mi_decode_reply(uint32_t number, const void *buf, size_t len, void *reply)
{
    const mi_msg_def *row = mi_msg_lookup(number);
    if (row == nullptr)
        return KES_EBADMSG;
    if (buf == nullptr || reply == nullptr)
        return KES_EINVAL;
    mi_xdr x;
    mi_xdr_create(&x, const_cast<void *>(buf), len, MI_XDR_DECODE);
    mi_header h{};
    if (!xdr_mi_header(&x, &h))
        return KES_ERANGE;
    if (h.kind != MI_KIND_REPLY || h.number != number)
        return KES_EBADMSG;
    // Start from a clean record so that freeing after a failed decode only
    // meets strings this decode allocated.
    memset(reply, 0, row->reply_size);
    return row->reply(&x, reply) ? 0 : KES_ERANGE;
}

void mi_free_request(uint32_t number, void *req)
{
    const mi_msg_def *row = mi_msg_lookup(number);
    if (row != nullptr)
        free_record(row->request, req);
}

void mi_free_reply(uint32_t number, void *reply)
{
    const mi_msg_def *row = mi_msg_lookup(number);
    if (row != nullptr)
        free_record(row->reply, reply);
}

// ---------------------------------------------------------------- sender

namespace {

constexpr const char *SRC = "mi_comm";

struct Buffer {
    unsigned char *p = nullptr;
    ~Buffer() { free(p); }
};

}  // namespace

int miSendRequest(ost_mi_client *cli, uint32_t number, void *req, void *reply)
{
    const char *fn = "miSendRequest";
    const mi_msg_def *row = mi_msg_lookup(number);
    if (row == nullptr)
        return KES_EBADMSG;
    if ((req != nullptr) != (row->request != nullptr)) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__,
                   "%s: req_data doesn't match request handling for message %d\n", fn, static_cast<int>(number));
        return KES_EINVAL;
    }
    if ((reply != nullptr) != (row->reply != nullptr)) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__,
                   "%s: reply_data doesn't match reply handling for message %d\n", fn, static_cast<int>(number));
        return KES_EINVAL;
    }

    mi_header h{};
    h.time = static_cast<int64_t>(static_cast<int32_t>(time(nullptr)));
    h.kind = MI_KIND_REQUEST;
    h.number = number;

    Buffer out;
    out.p = static_cast<unsigned char *>(calloc(1, MI_BUF_SIZE));
    if (out.p == nullptr)
        return KES_ENOMEM;
    mi_xdr x;
    mi_xdr_create(&x, out.p, MI_BUF_SIZE, MI_XDR_ENCODE);
    if (!xdr_mi_header(&x, &h)) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "request xdr_mi_header failed\n");
        return KES_ERANGE;
    }
    if (row->request != nullptr && !row->request(&x, req)) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "xdr_request failed\n");
        return KES_ERANGE;
    }

    Buffer in;
    in.p = static_cast<unsigned char *>(calloc(1, MI_BUF_SIZE));
    if (in.p == nullptr)
        return KES_ENOMEM;

    int rc = ost_mi_sync_rpc(cli, out.p, static_cast<int>(MI_BUF_SIZE), in.p, static_cast<int>(MI_BUF_SIZE));
    if (rc == XCOMM_ERR_TIMEOUT)
        util_timeout_rename(mi_msg_name(number));
    if (rc < 0)
        return rc;
    // A positive status travels in the reply record as well; decode anyway.

    mi_header rh{};
    mi_xdr_create(&x, in.p, MI_BUF_SIZE, MI_XDR_DECODE);
    if (!xdr_mi_header(&x, &rh)) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "reply xdr_mi_header failed\n");
        return KES_ERANGE;
    }
    if (rh.kind != MI_KIND_REPLY || rh.number != number) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "bad reply received\n");
        return KES_EBADMSG;
    }
    memset(reply, 0, row->reply_size);
    if (!row->reply(&x, reply)) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "xdr_reply failed\n");
        return KES_ERANGE;
    }
    return 0;
}
