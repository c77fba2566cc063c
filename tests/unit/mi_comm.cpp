// MI header, records and registry: every record against libtirpc's XDR
// routines, hostile replies, and the whole-buffer codecs both sides use.
#include "lib/common/mi_comm.h"

#include "datamover/util.h"

#include <gtest/gtest.h>
#include <rpc/xdr.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Field shapes of every registered record, written out independently of the
// code under test: i int, h hyper, s string, A the attribute union, C the
// credential union; K, L, M, N the nested records.
struct Shapes {
    uint32_t number;
    const char *request;  // null: no request record
    const char *reply;
};

const char *const SET_EXTENT10 = "hhshhhhhhh";
const char *const SET_EXTENT13 = "hhshhhhhhhhhh";
const char *const SET_EXTENT19 = "hhshhhhhhhhhhhhhhhh";

const Shapes kShapes[] = {
    {0x20000001, "i", "i"},          {0x20000002, "si", "Ai"},         {0x20000003, nullptr, "i"},
    {0x20000006, "C", "i"},          {0x2000000B, "hhhsssshii", "ih"}, {0x2000000D, "sKi", "ih"},
    {0x2000000E, "sKi", "i"},        {0x2000000F, "sKi", "ih"},        {0x20000010, "hi", "i"},
    {0x20000011, "hh", "i"},         {0x20000012, "hh", "i"},          {0x20000013, "h", "iN"},
    {0x20000014, "sK", "iN"},        {0x20000015, "si", "ih"},         {0x20000016, "h", "i"},
    {0x20000017, "h", "iK"},         {0x20000018, "siii", "ii"},       {0x20000019, "sKi", "ihi"},
    {0x2000001A, "sKi", "ihi"},      {0x2000001B, "i", "iA"},          {0x2000001C, SET_EXTENT10, "i"},
    {0x2000001D, "hh", "ishh"},      {0x2000001E, "hs", "i"},          {0x2000001F, "hs", "i"},
    {0x20000020, "sKii", "ihii"},    {0x20000021, "sKii", "ihii"},     {0x20000022, "s", "ihi"},
    {0x20000023, "hhhhh", "ih"},     {0x20000024, "i", "is"},          {0x20000028, "siMsMsi", "is"},
    {0x20000029, "s", "i"},          {0x2000002A, "si", "ihi"},        {0x20000032, "s", "is"},
    {0x20000033, SET_EXTENT13, "i"}, {0x20000034, "hhhsh", "i"},       {0x20000035, SET_EXTENT19, "i"},
    {0x20000036, "is", "iih"},       {0x20000037, "ih", "ii"},         {0x20000038, "i", "ii"},
    {0x20000039, "ih", "ii"},
};

std::string expand(const char *shape)
{
    static const std::map<char, std::string> nested = {
        {'K', "ssssiis"},
        {'L', "siiiiiiss"},
        {'M', "ssssiis" "ss" "siiiiiiss"},
        {'N', "ssssiis" "ss" "hhii"},
    };
    std::string out;
    for (const char *p = shape; *p != '\0'; ++p) {
        auto it = nested.find(*p);
        out += it != nested.end() ? it->second : std::string(1, *p);
    }
    return out;
}

// Random values of a shape, encoded by libtirpc.
Bytes oracle_encode(const std::string &shape, std::mt19937_64 &rng)
{
    Bytes buf(8192);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(buf.data()), static_cast<u_int>(buf.size()), XDR_ENCODE);
    auto put_string = [&] {
        // Short lengths cover every padding case; a few long ones stretch it.
        size_t len = rng() % 8 == 0 ? rng() % 200 : rng() % 9;
        std::string s(len, '\0');
        for (char &c : s)
            c = static_cast<char>(1 + rng() % 255);
        char *p = s.data();
        EXPECT_TRUE(xdr_string(&x, &p, ~0u));
    };
    auto put_opaque = [&](u_int n) {
        std::vector<char> b(n);
        for (char &c : b)
            c = static_cast<char>(rng());
        EXPECT_TRUE(xdr_opaque(&x, b.data(), n));
    };
    for (char c : shape) {
        switch (c) {
        case 'i': {
            int v = static_cast<int>(rng());
            EXPECT_TRUE(xdr_int(&x, &v));
            break;
        }
        case 'h': {
            quad_t v = static_cast<quad_t>(rng());
            EXPECT_TRUE(xdr_hyper(&x, &v));
            break;
        }
        case 's':
            put_string();
            break;
        case 'A': {
            int d = static_cast<int>(rng() % 2);
            EXPECT_TRUE(xdr_int(&x, &d));
            if (d == 1)
                put_opaque(64);
            break;
        }
        case 'C': {
            int d = static_cast<int>(rng() % 2);
            EXPECT_TRUE(xdr_int(&x, &d));
            put_string();
            if (d == 1)
                put_opaque(16);
            else
                put_string();
            break;
        }
        default:
            ADD_FAILURE() << "bad shape " << c;
        }
    }
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    return buf;
}

bool run(mi_record_proc proc, mi_xdr_op op, unsigned char *buf, size_t len, mi_record *rec, size_t *pos = nullptr)
{
    mi_xdr x;
    mi_xdr_create(&x, buf, len, op);
    bool ok = proc(&x, rec);
    if (pos != nullptr)
        *pos = mi_xdr_getpos(&x);
    return ok;
}

void free_rec(mi_record_proc proc, mi_record *rec) { run(proc, MI_XDR_FREE, nullptr, 0, rec); }

Bytes tirpc(const std::function<void(XDR *)> &f)
{
    Bytes buf(4096);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(buf.data()), static_cast<u_int>(buf.size()), XDR_ENCODE);
    f(&x);
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    return buf;
}

template <typename T>
Bytes mine(bool (*proc)(mi_xdr *, T *), T *rec)
{
    Bytes buf(4096);
    mi_xdr x;
    mi_xdr_create(&x, buf.data(), buf.size(), MI_XDR_ENCODE);
    EXPECT_TRUE(proc(&x, rec));
    buf.resize(mi_xdr_getpos(&x));
    return buf;
}

// Decodes bytes with a record routine into a fresh record.
template <typename T>
T decode(bool (*proc)(mi_xdr *, T *), Bytes bytes)
{
    T rec{};
    mi_xdr x;
    mi_xdr_create(&x, bytes.data(), bytes.size(), MI_XDR_DECODE);
    EXPECT_TRUE(proc(&x, &rec));
    EXPECT_EQ(mi_xdr_getpos(&x), bytes.size());
    return rec;
}

template <typename T>
void release(bool (*proc)(mi_xdr *, T *), T *rec)
{
    mi_xdr x;
    mi_xdr_create(&x, nullptr, 0, MI_XDR_FREE);
    proc(&x, rec);
}

void xs(XDR *x, const char *s)
{
    char *p = const_cast<char *>(s);
    ASSERT_TRUE(xdr_string(x, &p, ~0u));
}
void xi(XDR *x, int v) { ASSERT_TRUE(xdr_int(x, &v)); }
void xh(XDR *x, uint64_t v) { ASSERT_TRUE(xdr_u_hyper(x, &v)); }

}  // namespace

// ---------------------------------------------------------------- registry

TEST(MiRegistry, FortyRowsInOrderEndedByZero)
{
    ASSERT_EQ(sizeof kShapes / sizeof kShapes[0], MI_MSG_REGISTRY_ROWS);
    for (size_t i = 0; i < MI_MSG_REGISTRY_ROWS; ++i) {
        const mi_msg_def &row = mi_msg_registry[i];
        EXPECT_EQ(row.number, kShapes[i].number) << i;
        EXPECT_EQ(row.request != nullptr, kShapes[i].request != nullptr) << std::hex << row.number;
        EXPECT_NE(row.reply, nullptr);
        EXPECT_EQ(mi_msg_lookup(row.number), &row);
    }
    EXPECT_EQ(mi_msg_registry[MI_MSG_REGISTRY_ROWS].number, 0u);
    EXPECT_EQ(mi_msg_lookup(0), nullptr);
    EXPECT_EQ(mi_msg_lookup(0x20000004), nullptr);
    EXPECT_EQ(mi_msg_lookup(0x2000003A), nullptr);
    EXPECT_STREQ(mi_msg_name(MI_CHECK_SPACE), "MI_CHECK_SPACE");
    EXPECT_STREQ(mi_msg_name(MI_BFST_GET_EXTENT), "MI_BFST_GET_EXTENT");
    EXPECT_STREQ(mi_msg_name(0x20000001), "UNNAMED");
    EXPECT_STREQ(mi_msg_name(7), "UNKNOWN");
}

// ---------------------------------------------------------------- every record against libtirpc

// For every row and both directions: random values encoded by libtirpc decode
// completely, re-encode to the same bytes, and every shorter prefix of them
// fails to decode without leaking what it had decoded (LeakSanitizer).
TEST(MiRecordsOracle, EveryRecordRoundTripsLibtirpcBytes)
{
    std::mt19937_64 rng(7);
    for (size_t r = 0; r < MI_MSG_REGISTRY_ROWS; ++r) {
        const mi_msg_def &row = mi_msg_registry[r];
        for (int dir = 0; dir < 2; ++dir) {
            const char *shape = dir == 0 ? kShapes[r].request : kShapes[r].reply;
            mi_record_proc proc = dir == 0 ? row.request : row.reply;
            if (shape == nullptr)
                continue;
            std::string flat = expand(shape);
            for (int round = 0; round < 40; ++round) {
                Bytes want = oracle_encode(flat, rng);
                SCOPED_TRACE(testing::Message() << std::hex << row.number << (dir ? " reply" : " request")
                                                << " round " << std::dec << round);
                mi_record rec;
                memset(&rec, 0, sizeof rec);
                size_t pos = 0;
                ASSERT_TRUE(run(proc, MI_XDR_DECODE, want.data(), want.size(), &rec, &pos));
                ASSERT_EQ(pos, want.size());
                Bytes got(want.size());
                ASSERT_TRUE(run(proc, MI_XDR_ENCODE, got.data(), got.size(), &rec, &pos));
                ASSERT_EQ(pos, want.size());
                ASSERT_EQ(got, want);
                // One byte less room fails to encode.
                ASSERT_FALSE(run(proc, MI_XDR_ENCODE, got.data(), got.size() - 1, &rec));
                free_rec(proc, &rec);

                if (round < 3) {
                    for (size_t cut = 0; cut < want.size(); ++cut) {
                        memset(&rec, 0, sizeof rec);
                        ASSERT_FALSE(run(proc, MI_XDR_DECODE, want.data(), cut, &rec)) << "cut " << cut;
                        free_rec(proc, &rec);
                    }
                }
            }
        }
    }
}

TEST(MiRecordsOracle, NamedRequestsMatchLibtirpcFieldByField)
{
    {
        mi_get_version_req r{const_cast<char *>("appliance-7"), MI_GET_VERSION_ARG1, MI_GET_VERSION_ARG2,
                             MI_GET_VERSION_CLIENT};
        Bytes want = tirpc([](XDR *x) {
            xs(x, "appliance-7");
            xi(x, 9);
            xi(x, 11);
            xi(x, 0x0007000B);
        });
        EXPECT_EQ(mine(xdr_mi_get_version_req, &r), want);
    }
    {
        // Distinct values, so that any two fields swapped show.
        mi_set_extent_req r{};
        r.tag = const_cast<char *>("0a1b2c");
        uint64_t *fields[] = {&r.handle, &r.image_offset, &r.tag_offset, &r.length, &r.virtual_sent,
                              &r.virtual_received, &r.actual_sent, &r.actual_received, &r.store_time_ms,
                              &r.bytes_input, &r.unique_precompressed, &r.unique_compressed,
                              &r.ingest_data_bytes, &r.ingest_unique_bytes, &r.ingest_synth_bytes,
                              &r.data_extents, &r.synth_extents, &r.close_latency_ms};
        for (uint64_t i = 0; i < 18; ++i)
            *fields[i] = 0x100000000ull * (i + 1) + i;
        auto hypers = [](XDR *x, uint64_t from, uint64_t to) {
            for (uint64_t i = from; i < to; ++i)
                xh(x, 0x100000000ull * (i + 1) + i);
        };
        auto base = [&](XDR *x) {
            hypers(x, 0, 2);
            xs(x, "0a1b2c");
            hypers(x, 2, 9);
        };
        auto stats = [&](XDR *x) {
            base(x);
            hypers(x, 9, 12);
        };
        EXPECT_EQ(mine(xdr_mi_set_extent_req, &r), tirpc(base));
        EXPECT_EQ(mine(xdr_mi_set_extent_stats_req, &r), tirpc(stats));
        Bytes accel = tirpc([&](XDR *x) {
            stats(x);
            hypers(x, 12, 18);
        });
        EXPECT_EQ(mine(xdr_mi_set_extent_accel_req, &r), accel);
        mi_set_extent_req back = decode(xdr_mi_set_extent_accel_req, accel);
        EXPECT_STREQ(back.tag, "0a1b2c");
        EXPECT_EQ(back.close_latency_ms, r.close_latency_ms);
        EXPECT_EQ(back.ingest_data_bytes, r.ingest_data_bytes);
        EXPECT_EQ(back.store_time_ms, r.store_time_ms);
        release(xdr_mi_set_extent_accel_req, &back);
    }
    {
        mi_open_file_req r{MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, const_cast<char *>("generic:/share/f1")};
        EXPECT_EQ(mine(xdr_mi_open_file_req, &r), tirpc([](XDR *x) {
                      xi(x, 14);
                      xs(x, "generic:/share/f1");
                  }));
    }
}

TEST(MiRecordsOracle, NamedRepliesDecodeLibtirpcBytesIntoTheRightFields)
{
    mi_open_file_reply o = decode(xdr_mi_open_file_reply, tirpc([](XDR *x) {
                                      xi(x, 0x21E0000D);
                                      xi(x, 0x240);
                                      xh(x, 0x0102030405060708ull);
                                  }));
    EXPECT_EQ(o.status, 0x21E0000D);
    EXPECT_EQ(o.flags, 0x240);
    EXPECT_EQ(o.handle, 0x0102030405060708ull);

    mi_get_extent_reply g = decode(xdr_mi_get_extent_reply, tirpc([](XDR *x) {
                                       xi(x, 0);
                                       xs(x, "abcdef");
                                       xh(x, 100);
                                       xh(x, 200);
                                   }));
    EXPECT_STREQ(g.tag, "abcdef");
    EXPECT_EQ(g.blob_offset, 100u);
    EXPECT_EQ(g.length, 200u);
    release(xdr_mi_get_extent_reply, &g);

    unsigned char attr[64];
    for (int i = 0; i < 64; ++i)
        attr[i] = static_cast<unsigned char>(i * 3);
    mi_config_get_auth_attr_reply a = decode(xdr_mi_config_get_auth_attr_reply, tirpc([&](XDR *x) {
                                                 xi(x, 0);
                                                 xi(x, 1);
                                                 ASSERT_TRUE(xdr_opaque(x, reinterpret_cast<char *>(attr), 64));
                                             }));
    EXPECT_EQ(a.attr.present, 1);
    EXPECT_EQ(memcmp(a.attr.attr, attr, 64), 0);

    // Discriminant 0: a status and no attribute.
    mi_config_get_auth_attr_reply none = decode(xdr_mi_config_get_auth_attr_reply, Bytes{0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(none.attr.present, 0);
}

// ---------------------------------------------------------------- header and known answers

TEST(MiHeader, CheckSpaceHeaderBytes)
{
    mi_check_space_req req{0, 0x55};
    unsigned char buf[MI_BUF_SIZE];
    memset(buf, 0xAA, sizeof buf);
    int64_t before = static_cast<int32_t>(time(nullptr));
    ASSERT_EQ(mi_encode_request(MI_CHECK_SPACE, &req, buf, sizeof buf), 0);
    int64_t after = static_cast<int32_t>(time(nullptr));

    Bytes head(buf, buf + 36);
    EXPECT_EQ(Bytes(head.begin(), head.begin() + 8), Bytes(8, 0));
    uint64_t t = 0;
    for (int i = 8; i < 16; ++i)
        t = (t << 8) | head[static_cast<size_t>(i)];
    EXPECT_GE(static_cast<int64_t>(t), before);
    EXPECT_LE(static_cast<int64_t>(t), after);
    EXPECT_EQ(Bytes(head.begin() + 16, head.end()),
              (Bytes{0, 0, 0, 0, 0x20, 0, 0, 0x39, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // The record follows, then zeros to the end of the buffer.
    EXPECT_EQ(Bytes(buf + 36, buf + 48), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x55}));
    for (size_t i = 48; i < sizeof buf; ++i)
        ASSERT_EQ(buf[i], 0) << i;
}

TEST(MiHeader, MatchesLibtirpc)
{
    mi_header h{0x0102030405060708ull, -5, 1, 0x20000036, 0x1112131415161718ull, -1};
    Bytes want = tirpc([](XDR *x) {
        xh(x, 0x0102030405060708ull);
        quad_t t = -5;
        ASSERT_TRUE(xdr_hyper(x, &t));
        xi(x, 1);
        xi(x, 0x20000036);
        xh(x, 0x1112131415161718ull);
        xi(x, -1);
    });
    EXPECT_EQ(mine(xdr_mi_header, &h), want);
    EXPECT_EQ(want.size(), MI_HEADER_WIRE_SIZE);
    mi_header back = decode(xdr_mi_header, want);
    EXPECT_EQ(back.reserved1, h.reserved1);
    EXPECT_EQ(back.time, -5);
    EXPECT_EQ(back.kind, 1);
    EXPECT_EQ(back.number, 0x20000036u);
    EXPECT_EQ(back.reserved2, h.reserved2);
    EXPECT_EQ(back.reserved3, -1);
}

// ---------------------------------------------------------------- hostile replies

TEST(MiHostile, AuthAttrDiscriminantWithoutArmFailsEveryWay)
{
    Bytes two{0, 0, 0, 0, 0, 0, 0, 2};
    two.resize(4 + 4 + 64);
    mi_config_get_auth_attr_reply r{};
    mi_xdr x;
    mi_xdr_create(&x, two.data(), two.size(), MI_XDR_DECODE);
    EXPECT_FALSE(xdr_mi_config_get_auth_attr_reply(&x, &r));

    r.attr.present = 2;
    unsigned char buf[128];
    mi_xdr_create(&x, buf, sizeof buf, MI_XDR_ENCODE);
    EXPECT_FALSE(xdr_mi_config_get_auth_attr_reply(&x, &r));

    mi_xdr_create(&x, nullptr, 0, MI_XDR_FREE);
    EXPECT_FALSE(xdr_mi_config_get_auth_attr_reply(&x, &r));

    mi_authenticate_client_req c{};
    c.kind = 7;
    mi_xdr_create(&x, buf, sizeof buf, MI_XDR_ENCODE);
    EXPECT_FALSE(xdr_mi_authenticate_client_req(&x, &c));
}

TEST(MiHostile, FailedDecodeLeavesOnlyStringsTheFreeReleases)
{
    // A K-record reply whose fifth string claims 0xFFFFFFFF bytes after four
    // good strings: the decode fails, and freeing releases the four.
    Bytes b = tirpc([](XDR *x) {
        xi(x, 0);
        xs(x, "one");
        xs(x, "two");
        xs(x, "three");
        xs(x, "four");
        xi(x, 1);
        xi(x, 2);
        xi(x, -1);  // length of the last string
    });
    mi_reply_i_k r{};
    mi_xdr x;
    mi_xdr_create(&x, b.data(), b.size(), MI_XDR_DECODE);
    EXPECT_FALSE(xdr_mi_reply_i_k(&x, &r));
    EXPECT_STREQ(r.k.s4, "four");
    EXPECT_EQ(r.k.s5, nullptr);
    mi_free_reply(0x20000017, &r);
    EXPECT_EQ(r.k.s1, nullptr);
    EXPECT_EQ(r.k.s4, nullptr);
}

TEST(MiHostile, FreeReplyIgnoresUnknownNumbersAndNullRecords)
{
    mi_reply_i_s r{0, static_cast<char *>(malloc(4))};
    strcpy(r.s1, "abc");
    mi_free_reply(0x20000004, &r);  // unknown: untouched
    EXPECT_NE(r.s1, nullptr);
    mi_free_reply(0, &r);
    EXPECT_NE(r.s1, nullptr);
    mi_free_reply(0x20000024, nullptr);
    mi_free_reply(0x20000024, &r);
    EXPECT_EQ(r.s1, nullptr);
    mi_free_reply(0x20000024, &r);  // a second free is harmless
}

// ---------------------------------------------------------------- whole buffers, both sides

TEST(MiBuffers, RequestEncodedByClientDecodesOnServer)
{
    mi_open_file_req req{MI_OPEN_READ, const_cast<char *>("generic:/s/piece")};
    unsigned char buf[MI_BUF_SIZE];
    ASSERT_EQ(mi_encode_request(MI_OPEN_FILE, &req, buf, sizeof buf), 0);

    mi_header h{};
    mi_record rec;
    ASSERT_EQ(mi_decode_request(buf, sizeof buf, &h, &rec, sizeof rec), 0);
    EXPECT_EQ(h.kind, MI_KIND_REQUEST);
    EXPECT_EQ(h.number, MI_OPEN_FILE);
    EXPECT_EQ(rec.open_file_req.mode, MI_OPEN_READ);
    EXPECT_STREQ(rec.open_file_req.name, "generic:/s/piece");
    mi_free_request(h.number, &rec);
    EXPECT_EQ(rec.open_file_req.name, nullptr);

    // A message without a request record needs no record storage.
    ASSERT_EQ(mi_encode_request(0x20000003, nullptr, buf, sizeof buf), 0);
    ASSERT_EQ(mi_decode_request(buf, sizeof buf, &h, nullptr, 0), 0);
    EXPECT_EQ(h.number, 0x20000003u);

    // Storage smaller than the row's record is refused.
    ASSERT_EQ(mi_encode_request(MI_OPEN_FILE, &req, buf, sizeof buf), 0);
    mi_open_file_req small{};
    EXPECT_EQ(mi_decode_request(buf, sizeof buf, &h, &small, sizeof small - 1), KES_EINVAL);
}

TEST(MiBuffers, ServerRejectsRepliesUnknownNumbersAndBrokenRecords)
{
    unsigned char buf[MI_BUF_SIZE];
    mi_header h{};
    mi_record rec;
    mi_dm_port_reply port{0, 3095};
    ASSERT_EQ(mi_encode_reply(MI_DM_PORT, &port, buf, sizeof buf), 0);
    EXPECT_EQ(mi_decode_request(buf, sizeof buf, &h, &rec, sizeof rec), KES_EBADMSG);  // kind 1

    mi_req_s s{const_cast<char *>("x")};
    ASSERT_EQ(mi_encode_request(0x20000029, &s, buf, sizeof buf), 0);
    buf[4 * 5 + 3] = 0x04;  // number 0x20000004: not registered
    EXPECT_EQ(mi_decode_request(buf, sizeof buf, &h, &rec, sizeof rec), KES_EBADMSG);

    // A string running past the buffer: refused, nothing left to free.
    mi_open_file_req req{MI_OPEN_READ, const_cast<char *>("name")};
    ASSERT_EQ(mi_encode_request(MI_OPEN_FILE, &req, buf, sizeof buf), 0);
    buf[36 + 4] = 0x7F;
    EXPECT_EQ(mi_decode_request(buf, sizeof buf, &h, &rec, sizeof rec), KES_ERANGE);
    EXPECT_EQ(rec.open_file_req.name, nullptr);
}

TEST(MiBuffers, ReplyHeaderKindAndNumberAreChecked)
{
    unsigned char buf[MI_BUF_SIZE];
    mi_dm_port_reply port{0, 3095};
    ASSERT_EQ(mi_encode_reply(MI_DM_PORT, &port, buf, sizeof buf), 0);

    mi_dm_port_reply got{-1, -1};
    EXPECT_EQ(mi_decode_reply(MI_CHECK_SPACE, buf, sizeof buf, &got), KES_EBADMSG);  // other number
    EXPECT_EQ(got.status, -1);                                                        // untouched
    EXPECT_EQ(mi_decode_reply(MI_DM_PORT, buf, sizeof buf, &got), 0);
    EXPECT_EQ(got.port, 3095);

    mi_dm_port_req preq{0};
    ASSERT_EQ(mi_encode_request(MI_DM_PORT, &preq, buf, sizeof buf), 0);  // kind 0
    EXPECT_EQ(mi_decode_reply(MI_DM_PORT, buf, sizeof buf, &got), KES_EBADMSG);
    EXPECT_EQ(mi_decode_reply(0x20000004, buf, sizeof buf, &got), KES_EBADMSG);
    EXPECT_EQ(mi_decode_header(buf, 35, nullptr), KES_EINVAL);
    mi_header h{};
    EXPECT_EQ(mi_decode_header(buf, 35, &h), KES_ERANGE);
}

TEST(MiBuffers, EncodeRefusesMismatchedPointersAndOversizedRecords)
{
    unsigned char buf[MI_BUF_SIZE];
    mi_status_reply st{};
    EXPECT_EQ(mi_encode_request(0x20000003, &st, buf, sizeof buf), KES_EINVAL);
    EXPECT_EQ(mi_encode_request(MI_OPEN_FILE, nullptr, buf, sizeof buf), KES_EINVAL);
    EXPECT_EQ(mi_encode_reply(MI_OPEN_FILE, nullptr, buf, sizeof buf), KES_EINVAL);
    EXPECT_EQ(mi_encode_request(0x20000004, &st, buf, sizeof buf), KES_EBADMSG);

    // The header takes 36 bytes and the mode 4: a name of 4052 bytes fits
    // exactly, one more does not.
    std::string name(MI_BUF_SIZE - 36 - 4 - 4, 'n');
    mi_open_file_req req{MI_OPEN_READ, name.data()};
    EXPECT_EQ(mi_encode_request(MI_OPEN_FILE, &req, buf, sizeof buf), 0);
    name += 'n';
    req.name = name.data();
    EXPECT_EQ(mi_encode_request(MI_OPEN_FILE, &req, buf, sizeof buf), KES_ERANGE);
    req.name = nullptr;
    EXPECT_EQ(mi_encode_request(MI_OPEN_FILE, &req, buf, sizeof buf), KES_ERANGE);
}
