// A small MI responder for the MI client tests: an XCOMM server endpoint on a
// loopback address, served by its own thread, that answers every ost_mi
// request through a handler the test supplies.
#pragma once

#include "datamover/byteorder.h"
#include "datamover/ost_mi.h"
#include "datamover/xcomm.h"
#include "lib/common/mi_comm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mi_test {

// What the responder sends back for one request.
struct Answer {
    std::vector<unsigned char> payload;  // the whole XCOMM payload (normally the 4108-byte record)
    bool drop = false;                   // close the connection instead of answering
    bool silent = false;                 // never answer, keep the connection
};

// Builds the 4108-byte ost_mi response record around an MI reply buffer.
inline std::vector<unsigned char> response_record(const unsigned char *mi_reply, int16_t status = 0,
                                                  uint8_t type = OST_MI_REC_RESPONSE)
{
    std::vector<unsigned char> rec(OST_MI_REC_SIZE, 0);
    rec[0] = type;
    be_put16(rec.data() + 2, static_cast<uint16_t>(status));
    if (mi_reply != nullptr)
        memcpy(rec.data() + OST_MI_REC_HEAD_SIZE, mi_reply, OST_MI_PAYLOAD_SIZE);
    return rec;
}

// Encodes an MI reply of a number (header kind 1) into a response record.
inline std::vector<unsigned char> reply_record(uint32_t number, void *reply, int16_t status = 0)
{
    unsigned char buf[MI_BUF_SIZE];
    EXPECT_EQ(mi_encode_reply(number, reply, buf, sizeof buf), 0);
    return response_record(buf, status);
}

class Responder {
public:
    // handler: the request's XCOMM payload -> the answer.
    using Handler = std::function<Answer(const std::vector<unsigned char> &)>;

    explicit Responder(Handler h, const char *local = "0@127.0.0.1") : handler_(std::move(h))
    {
        memset(&ctx_, 0, sizeof ctx_);
        memset(&endp_, 0, sizeof endp_);
        EXPECT_EQ(xcomm_ctx_init(&ctx_), 0);
        int rc = xcomm_endp_init(&ctx_, &endp_, local, 4, 64, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS);
        EXPECT_EQ(rc, 0) << "server endpoint on " << local;
        if (rc != 0)
            return;
        EXPECT_EQ(xcomm_listen(&ctx_, &endp_), 0);
        port_ = xcomm_endp_local_port(&endp_);
        thread_ = std::thread([this] { serve(); });
    }
    ~Responder()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        // Responses still waiting for their ACK come back cancelled once their
        // connection is closed; collect and free them before the shutdown.
        if (endp_.fds != nullptr) {
            for (int i = 0; i < endp_.nconns; ++i)
                xcomm_endp_close_fd(&ctx_, &endp_, &endp_.fds[i]);
            for (;;) {
                xcomm_msg *m = nullptr;
                if (xcomm_endp_wait(&ctx_, &endp_, &m, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING) != 0 || m == nullptr)
                    break;
                xcomm_msg_free(m);
            }
        }
        xcomm_ctx_shutdown(&ctx_);
    }
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;

    int port() const { return port_; }
    int requests() const { return requests_.load(); }
    std::vector<unsigned char> last_request()
    {
        std::lock_guard<std::mutex> g(mu_);
        return last_;
    }

private:
    void serve()
    {
        while (!stop_) {
            xcomm_msg *m = nullptr;
            struct timeval tv = {0, 50000};
            int rc = xcomm_endp_wait(&ctx_, &endp_, &m, &tv, XCOMM_WAIT_INCOMING);
            if (rc != 0 || m == nullptr)
                continue;
            if (m->hdr.type != XCOMM_MSG_REQ) {
                xcomm_msg_free(m);  // our responses, done or cancelled
                continue;
            }
            std::vector<unsigned char> in;
            for (int i = 0; i < m->sgl_ents; ++i) {
                auto *b = static_cast<unsigned char *>(m->sgl[i].iov_base);
                in.insert(in.end(), b, b + m->sgl[i].iov_len);
            }
            {
                std::lock_guard<std::mutex> g(mu_);
                last_ = in;
            }
            ++requests_;
            Answer a = handler_(in);
            if (a.silent) {
                xcomm_msg_free(m);
                continue;
            }
            if (a.drop) {
                xcomm_endp_close_fd(&ctx_, &endp_, m->fd);
                xcomm_msg_free(m);
                continue;
            }
            xcomm_msg *r = xcomm_msg_alloc(static_cast<uint32_t>(a.payload.size()));
            if (!a.payload.empty())
                memcpy(r->sgl[0].iov_base, a.payload.data(), a.payload.size());
            r->hdr.type = XCOMM_MSG_RSP;
            r->hdr.rpc_id = m->hdr.rpc_id;
            r->fd = m->fd;
            if (xcomm_send_msg(&ctx_, &endp_, r) != 0)
                xcomm_msg_free(r);
            xcomm_msg_free(m);
        }
    }

    Handler handler_;
    xcomm_ctx ctx_;
    xcomm_endp endp_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::mutex mu_;
    std::vector<unsigned char> last_;
    int port_ = 0;
};

// Collects the lines a client logs.
struct LogSink {
    std::mutex mu;
    std::vector<std::pair<int, std::string>> lines;

    static void cb(void *ctx, int level, const char *, int, const char *text)
    {
        auto *self = static_cast<LogSink *>(ctx);
        std::lock_guard<std::mutex> g(self->mu);
        self->lines.emplace_back(level, text);
    }
    bool contains(const std::string &part)
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto &l : lines) {
            if (l.second.find(part) != std::string::npos)
                return true;
        }
        return false;
    }
    bool has(const std::string &text, int level = -1)
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto &l : lines) {
            if (l.second == text && (level < 0 || l.first == level))
                return true;
        }
        return false;
    }
};

// Decodes the MI request inside a request payload; returns its number.
inline uint32_t request_number(const std::vector<unsigned char> &in)
{
    mi_header h{};
    if (in.size() != OST_MI_REC_SIZE || mi_decode_header(in.data() + OST_MI_REC_HEAD_SIZE, MI_BUF_SIZE, &h) != 0)
        return 0;
    return h.number;
}

}  // namespace mi_test
