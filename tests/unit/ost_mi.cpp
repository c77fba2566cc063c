// MI client: the ost_mi exchange and miSendRequest against a responder on the
// transport's server role over loopback.
#include "datamover/ost_mi.h"

#include "datamover/util.h"
#include "lib/common/mi_comm.h"
#include "tests/unit/mi_responder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using mi_test::Answer;
using mi_test::LogSink;
using mi_test::Responder;
using mi_test::reply_record;
using mi_test::request_number;
using mi_test::response_record;

namespace {

struct ClientDeleter {
    void operator()(ost_mi_client *c) const { ost_mi_client_destroy(c); }
};
using Client = std::unique_ptr<ost_mi_client, ClientDeleter>;

Client connect(const Responder &r, LogSink *log, const char *host = "127.0.0.1")
{
    int err = -1;
    ost_mi_client *c = ost_mi_client_create(host, r.port(), log, LogSink::cb, 0, nullptr, 0, 1, &err);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(err, 0);
    return Client(c);
}

// An appliance that knows three messages.
Answer appliance(const std::vector<unsigned char> &in)
{
    mi_header h{};
    mi_record req;
    int rc = mi_decode_request(in.data() + OST_MI_REC_HEAD_SIZE, in.size() - OST_MI_REC_HEAD_SIZE, &h, &req,
                               sizeof req);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(in[0], OST_MI_REC_REQUEST);
    Answer a;
    switch (h.number) {
    case MI_DM_PORT: {
        mi_dm_port_reply r{0, 3095};
        a.payload = reply_record(h.number, &r);
        break;
    }
    case MI_GET_VERSION: {
        mi_get_version_reply r{0, 0x70003};
        if (strcmp(req.get_version_req.host, "127.0.0.1") != 0 || req.get_version_req.arg1 != 9)
            r.status = 0x21E00001;
        a.payload = reply_record(h.number, &r);
        break;
    }
    case MI_OPEN_FILE: {
        mi_open_file_reply r{0, 0x240, 0x1122334455667788ull};
        if (strcmp(req.open_file_req.name, "generic:/share/piece") != 0)
            r.status = 0x21E0000D;
        a.payload = reply_record(h.number, &r);
        break;
    }
    default: {
        mi_status_reply r{0x21E00010};
        a.payload = reply_record(h.number, &r);
    }
    }
    mi_free_request(h.number, &req);
    return a;
}

}  // namespace

TEST(OstMiExchange, RequestsAndRepliesTravelWhole)
{
    Responder srv(appliance);
    LogSink log;
    Client cli = connect(srv, &log);
    ASSERT_TRUE(cli);
    EXPECT_EQ(std::string(cli->remote_name), std::to_string(srv.port()) + "@127.0.0.1");

    mi_dm_port_req preq{0};
    mi_dm_port_reply prep{};
    ASSERT_EQ(miSendRequest(cli.get(), MI_DM_PORT, &preq, &prep), 0);
    EXPECT_EQ(prep.status, 0);
    EXPECT_EQ(prep.port, 3095);

    // The request travels as a 4108-byte record: type 1, zero head, the MI
    // buffer zero-filled behind the record.
    std::vector<unsigned char> seen = srv.last_request();
    ASSERT_EQ(seen.size(), 4108u);
    EXPECT_EQ(std::vector<unsigned char>(seen.begin(), seen.begin() + 12),
              (std::vector<unsigned char>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    for (size_t i = 12 + 36 + 4; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], 0) << i;

    mi_get_version_req vreq{const_cast<char *>("127.0.0.1"), MI_GET_VERSION_ARG1, MI_GET_VERSION_ARG2,
                            MI_GET_VERSION_CLIENT};
    mi_get_version_reply vrep{};
    ASSERT_EQ(miSendRequest(cli.get(), MI_GET_VERSION, &vreq, &vrep), 0);
    EXPECT_EQ(vrep.status, 0);
    EXPECT_EQ(vrep.version >> 16, 7);

    mi_open_file_req oreq{MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, const_cast<char *>("generic:/share/piece")};
    mi_open_file_reply orep{};
    ASSERT_EQ(miSendRequest(cli.get(), MI_OPEN_FILE, &oreq, &orep), 0);
    EXPECT_EQ(orep.status, 0);
    EXPECT_EQ(orep.flags, 0x240);
    EXPECT_EQ(orep.handle, 0x1122334455667788ull);
    EXPECT_EQ(srv.requests(), 3);
    EXPECT_TRUE(log.has("ost_mi_xdr_req ok\n", UTIL_LOG_DEBUG));
}

TEST(OstMiExchange, ReplyOfWrongKindOrNumberIsRejected)
{
    std::atomic<int> mode{0};
    Responder srv([&](const std::vector<unsigned char> &in) {
        Answer a;
        unsigned char buf[MI_BUF_SIZE];
        mi_check_space_reply r{0, 0};
        if (mode == 0) {
            // right kind, another number
            EXPECT_EQ(mi_encode_reply(MI_CLOSE_FILE, &r, buf, sizeof buf), 0);
        } else {
            // the request's number, but kind 0
            mi_check_space_req q{0, 5};
            EXPECT_EQ(mi_encode_request(request_number(in), &q, buf, sizeof buf), 0);
        }
        a.payload = response_record(buf);
        return a;
    });
    LogSink log;
    Client cli = connect(srv, &log);
    ASSERT_TRUE(cli);
    for (int m = 0; m < 2; ++m) {
        mode = m;
        mi_check_space_req req{0, 5};
        mi_check_space_reply rep{-7, -7};
        EXPECT_EQ(miSendRequest(cli.get(), MI_CHECK_SPACE, &req, &rep), KES_EBADMSG) << m;
        EXPECT_EQ(rep.status, -7);  // left untouched
    }
    EXPECT_TRUE(log.has("bad reply received\n"));
}

TEST(OstMiExchange, RefusedRequestsSendNothing)
{
    Responder srv(appliance);
    LogSink log;
    Client cli = connect(srv, &log);
    ASSERT_TRUE(cli);

    mi_status_reply st{};
    mi_req_i ri{1};
    // Not in the registry.
    EXPECT_EQ(miSendRequest(cli.get(), 0x20000004, &ri, &st), KES_EBADMSG);
    EXPECT_EQ(miSendRequest(cli.get(), 0, &ri, &st), KES_EBADMSG);
    // A request record where the row has none, and the other way round.
    EXPECT_EQ(miSendRequest(cli.get(), 0x20000003, &ri, &st), KES_EINVAL);
    EXPECT_TRUE(log.has("miSendRequest: req_data doesn't match request handling for message 536870915\n",
                        UTIL_LOG_ERROR));
    EXPECT_EQ(miSendRequest(cli.get(), MI_DM_PORT, nullptr, &st), KES_EINVAL);
    EXPECT_EQ(miSendRequest(cli.get(), MI_DM_PORT, &ri, nullptr), KES_EINVAL);
    EXPECT_TRUE(log.has("miSendRequest: reply_data doesn't match reply handling for message 536870968\n"));
    // A record too large for the buffer.
    std::string name(5000, 'x');
    mi_open_file_req big{MI_OPEN_READ, name.data()};
    mi_open_file_reply orep{};
    EXPECT_EQ(miSendRequest(cli.get(), MI_OPEN_FILE, &big, &orep), KES_ERANGE);
    EXPECT_TRUE(log.has("xdr_request failed\n", UTIL_LOG_ERROR));

    // Over the exchange limit: refused before anything is sent.
    std::vector<unsigned char> req(4097, 0), reply(4096);
    EXPECT_EQ(ost_mi_sync_rpc(cli.get(), req.data(), 4097, reply.data(), 4096), DM_ERR_BADMSG);
    EXPECT_TRUE(log.has("request size (4097), exceeds limit (4096)\n", UTIL_LOG_WARNING));
    EXPECT_EQ(srv.requests(), 0);

    // The client still works, and a request of exactly 4096 bytes is fine.
    unsigned char buf[MI_BUF_SIZE];
    mi_dm_port_req preq{0};
    ASSERT_EQ(mi_encode_request(MI_DM_PORT, &preq, buf, sizeof buf), 0);
    EXPECT_EQ(ost_mi_sync_rpc(cli.get(), buf, 4096, reply.data(), 4096), 0);
    EXPECT_EQ(srv.requests(), 1);
}

TEST(OstMiExchange, NonZeroResponseStatusStillCarriesThePayload)
{
    Responder srv([](const std::vector<unsigned char> &in) {
        mi_dm_port_reply r{0x21E0001F, 4444};
        Answer a;
        a.payload = reply_record(request_number(in), &r, 0x1F);
        return a;
    });
    LogSink log;
    Client cli = connect(srv, &log);
    ASSERT_TRUE(cli);

    unsigned char req[MI_BUF_SIZE], reply[MI_BUF_SIZE];
    mi_dm_port_req preq{0};
    ASSERT_EQ(mi_encode_request(MI_DM_PORT, &preq, req, sizeof req), 0);
    memset(reply, 0xEE, sizeof reply);
    EXPECT_EQ(ost_mi_sync_rpc(cli.get(), req, sizeof req, reply, sizeof reply), 0x1F);
    EXPECT_TRUE(log.has("failed - [31]\n", UTIL_LOG_WARNING));
    mi_dm_port_reply got{};
    ASSERT_EQ(mi_decode_reply(MI_DM_PORT, reply, sizeof reply, &got), 0);
    EXPECT_EQ(got.port, 4444);

    // miSendRequest goes on decoding and hands the reply's own status over.
    mi_dm_port_reply rep{};
    EXPECT_EQ(miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep), 0);
    EXPECT_EQ(rep.status, 0x21E0001F);
    EXPECT_EQ(rep.port, 4444);
}

TEST(OstMiExchange, ResponseOfAnotherSizeIsNotDecoded)
{
    std::atomic<size_t> size{100};
    Responder srv([&](const std::vector<unsigned char> &in) {
        mi_dm_port_reply r{0, 3095};
        Answer a;
        a.payload = reply_record(request_number(in), &r);
        if (size != 0)
            a.payload.resize(size, 0);
        return a;
    });
    LogSink log;
    Client cli = connect(srv, &log);
    ASSERT_TRUE(cli);
    mi_dm_port_req preq{0};
    for (size_t s : {size_t{100}, size_t{4107}}) {
        size = s;
        mi_dm_port_reply rep{-3, -3};
        EXPECT_EQ(miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep), DM_ERR_BADMSG) << s;
        EXPECT_EQ(rep.port, -3);
    }
    EXPECT_TRUE(log.has("bad response size (100), expected (4108)\n", UTIL_LOG_WARNING));
    // The connection survives a short response.
    size = 0;
    mi_dm_port_reply rep{};
    EXPECT_EQ(miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep), 0);
    EXPECT_EQ(rep.port, 3095);
    // A longer one is refused before anything of its size is allocated, and
    // the connection that carried it goes.
    for (size_t s : {size_t{4109}, size_t{9000}}) {
        Client c2 = connect(srv, &log);
        ASSERT_TRUE(c2);
        size = s;
        mi_dm_port_reply r2{-3, -3};
        EXPECT_EQ(miSendRequest(c2.get(), MI_DM_PORT, &preq, &r2), DM_ERR_BADMSG) << s;
        EXPECT_EQ(r2.port, -3);
        EXPECT_TRUE(log.has("msg type 2 of " + std::to_string(s) + " bytes refused, at most 4108 expected\n",
                            UTIL_LOG_WARNING));
    }
}

TEST(OstMiAllocation, AnnouncedSizeIsCheckedBeforeAllocating)
{
    ost_mi_client cli{};
    xcomm_endp endp{};
    endp.owner = &cli;
    unsigned char peek[XCOMM_HDR_PEEK_SIZE] = {};
    auto announce = [&](uint8_t type, uint32_t size, uint8_t rec_type) {
        xcomm_hdr h{};
        h.type = type;
        xcomm_hdr_set_size(&h, size);
        xcomm_hdr_encode(&h, peek);
        peek[XCOMM_HDR_SIZE] = rec_type;
        return ost_mi_alloc_cb(&endp, nullptr, peek);
    };
    // The largest payload XCOMM can announce is refused without a trace.
    uint64_t before = xcomm_msgs_allocated();
    EXPECT_EQ(announce(XCOMM_MSG_RSP, XCOMM_MAX_PAYLOAD, OST_MI_REC_RESPONSE), nullptr);
    EXPECT_EQ(announce(XCOMM_MSG_RSP, OST_MI_REC_SIZE + 1, OST_MI_REC_RESPONSE), nullptr);
    EXPECT_EQ(announce(XCOMM_MSG_ACK, 16, 0), nullptr);
    EXPECT_EQ(xcomm_msgs_allocated(), before);
    EXPECT_TRUE(cli.refused_msg);
    for (auto [type, size] : {std::pair<uint8_t, uint32_t>{XCOMM_MSG_RSP, OST_MI_REC_SIZE},
                              std::pair<uint8_t, uint32_t>{XCOMM_MSG_ACK, 0}}) {
        xcomm_msg *m = announce(type, size, OST_MI_REC_RESPONSE);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->data_size, size);
        xcomm_msg_free(m);
    }
}

TEST(OstMiExchange, SilentPeerFailsTheExchangeAtItsDeadline)
{
    std::atomic<bool> silent{true};
    Responder srv([&](const std::vector<unsigned char> &in) {
        Answer a;
        a.silent = silent;
        mi_dm_port_reply r{0, 3095};
        a.payload = reply_record(request_number(in), &r);
        return a;
    });
    LogSink log;
    Client cli = connect(srv, &log);
    ASSERT_TRUE(cli);
    cli->resp_timeout_s = 1;
    mi_dm_port_req preq{0};
    mi_dm_port_reply rep{};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep), XCOMM_ERR_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));  // only stops a hang
    EXPECT_STREQ(util_timeout_text(), "no answer to MI_DM_PORT within 1 seconds");
    EXPECT_TRUE(log.contains("within 1 seconds"));
    // The silent peer's connection is gone: the next exchange fails at once
    // instead of waiting again (no second deadline), even though the peer
    // would answer now.
    silent = false;
    int rc = miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep);
    EXPECT_LT(rc, 0);
    EXPECT_NE(rc, XCOMM_ERR_TIMEOUT);
}

TEST(OstMiExchange, DroppedConnectionFailsTheExchange)
{
    Responder srv([](const std::vector<unsigned char> &) {
        Answer a;
        a.drop = true;
        return a;
    });
    LogSink log;
    Client cli = connect(srv, &log);
    ASSERT_TRUE(cli);
    mi_dm_port_req preq{0};
    mi_dm_port_reply rep{};
    int rc = miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep);
    EXPECT_LT(rc, 0);
    EXPECT_TRUE(log.has("ost_mi_sync_rpc failed - [" + std::to_string(rc) + "]\n", UTIL_LOG_WARNING));
    // The request was taken back from the transport and freed (LeakSanitizer
    // checks the freeing).
    EXPECT_FALSE(log.contains("still queued"));
    // The next exchange fails too instead of hanging.
    EXPECT_LT(miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep), 0);
}

TEST(OstMiExchange, ResponseWithUnknownRecordTypeIsRefusedByTheAllocator)
{
    Responder srv([](const std::vector<unsigned char> &in) {
        mi_dm_port_reply r{0, 3095};
        Answer a;
        a.payload = reply_record(request_number(in), &r);
        a.payload[0] = 3;
        return a;
    });
    LogSink log;
    Client cli = connect(srv, &log);
    ASSERT_TRUE(cli);
    mi_dm_port_req preq{0};
    mi_dm_port_reply rep{};
    EXPECT_LT(miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep), 0);
    EXPECT_TRUE(log.has("bad msg[3]\n", UTIL_LOG_WARNING));
}

TEST(OstMiCreate, PortZeroUsesTheServiceNameAndTheDefaultPort)
{
    Responder srv(appliance, "10002@127.0.0.61");
    ASSERT_EQ(srv.port(), 10002);
    LogSink log;
    int err = -1;
    Client cli(ost_mi_client_create("127.0.0.61", 0, &log, LogSink::cb, 0, nullptr, 0, 1, &err));
    ASSERT_TRUE(cli) << err;
    EXPECT_STREQ(cli->remote_name, "ost_mi_client@127.0.0.61");
    EXPECT_EQ(cli->nstreams, 1);
    EXPECT_EQ(cli->endp.reconnect_allowed, 0);
    EXPECT_EQ(cli->endp.peek_sz, 36);
    mi_dm_port_req preq{0};
    mi_dm_port_reply rep{};
    EXPECT_EQ(miSendRequest(cli.get(), MI_DM_PORT, &preq, &rep), 0);
    EXPECT_EQ(rep.port, 3095);
}

TEST(OstMiCreate, RefusedConnectionReportsTheTransportError)
{
    int port;
    {
        Responder gone(appliance);  // a port that was free a moment ago
        port = gone.port();
    }
    LogSink log;
    int err = 0;
    ost_mi_client *c = ost_mi_client_create("127.0.0.1", port, &log, LogSink::cb, 0, nullptr, 0, 1, &err);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(err, XCOMM_ERR_CONN_REFUSED);
    std::string want = "xcomm_endp_open[" + std::to_string(port) + "@127.0.0.1] failed - [" +
                       std::to_string(XCOMM_ERR_CONN_REFUSED) + "]\n";
    EXPECT_TRUE(log.has(want, UTIL_LOG_WARNING));
    ost_mi_client_destroy(nullptr);
}
