// Loopback helpers for the transport tests: a server endpoint on its own
// thread, a client endpoint, and raw sockets that play a peer byte by byte.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "datamover/xcomm.h"
#include "kes_net.h"

namespace xt {

using kes_test::listen_loopback;
using kes_test::raw_connect;

inline std::vector<unsigned char> payload_of(const xcomm_msg *m)
{
    std::vector<unsigned char> out;
    for (int i = 0; i < m->sgl_ents; ++i) {
        auto *p = static_cast<const unsigned char *>(m->sgl[i].iov_base);
        out.insert(out.end(), p, p + m->sgl[i].iov_len);
    }
    return out;
}

inline xcomm_msg *make_msg(uint8_t type, const std::string &text, uint64_t tag = 0)
{
    xcomm_msg *m = xcomm_msg_alloc(static_cast<uint32_t>(text.size()));
    if (m == nullptr)
        return nullptr;
    if (!text.empty())
        memcpy(xcomm_msg_data(m), text.data(), text.size());
    m->hdr.type = type;
    m->hdr.tag = tag;
    return m;
}

inline std::string text_of(const xcomm_msg *m)
{
    auto v = payload_of(m);
    return std::string(v.begin(), v.end());
}

// A server endpoint served by its own thread. Each REQ is answered by
// `answer` (default: echo the payload); NOTIFY and DGRAM payloads are kept.
class Server {
public:
    using answer_fn = std::function<xcomm_msg *(xcomm_msg *req)>;

    explicit Server(int conns = 8, int slots = 64, int reconnect_timeout = 0, const char *addr = "127.0.0.1")
        : ip(addr)
    {
        EXPECT_EQ(0, xcomm_ctx_init(&ctx));
        std::string name = std::string("0@") + addr;
        EXPECT_EQ(0, xcomm_endp_init(&ctx, &endp, name.c_str(), conns, slots, XCOMM_NO_DEFAULT_PORT,
                                     XCOMM_ENDP_NOFLAGS));
        const xcomm_endp_owner own = {
            .owner = this,
            .close_cb = [](xcomm_endp *e, xcomm_fd *, int) { static_cast<Server *>(e->owner)->closes++; },
            .reconnect_timeout_s = reconnect_timeout,
        };
        EXPECT_EQ(0, xcomm_endp_set_owner(&endp, &own));
        EXPECT_EQ(0, xcomm_listen(&ctx, &endp));
        port = xcomm_endp_local_port(&endp);
    }

    void start() { thr = std::thread([this] { run(); }); }

    ~Server() { stop(); }

    void stop()
    {
        if (thr.joinable()) {
            halt = true;
            thr.join();
        }
        if (ctx.lock != nullptr) {
            // Answers still waiting for their ACK come back cancelled: ours to free.
            xcomm_endp_close_all(&ctx, &endp);
            xcomm_msg *m = nullptr;
            while (xcomm_endp_wait(&ctx, &endp, &m, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING) == 0 && m != nullptr) {
                xcomm_msg_free(m);
                m = nullptr;
            }
            xcomm_ctx_shutdown(&ctx);
        }
    }

    std::string remote() const { return std::to_string(port) + "@" + ip; }

    void run()
    {
        while (!halt) {
            xcomm_msg *m = nullptr;
            struct timeval tv = {0, 20000};
            int rc = xcomm_endp_wait(&ctx, &endp, &m, &tv, XCOMM_WAIT_INCOMING);
            if (rc != 0 || m == nullptr) {
                if (rc != XCOMM_ERR_TIMEOUT && rc != 0)
                    errors++;
                continue;
            }
            handle(m);
        }
    }

    void handle(xcomm_msg *m)
    {
        if (m->status == XCOMM_MSG_CANCELLED) {
            cancelled++;
            xcomm_msg_free(m);
            return;
        }
        switch (m->hdr.type) {
        case XCOMM_MSG_REQ: {
            reqs++;
            {
                std::lock_guard<std::mutex> g(mu);
                req_texts.push_back(text_of(m));
            }
            xcomm_msg *r = answer ? answer(m) : make_msg(XCOMM_MSG_RSP, text_of(m), m->hdr.tag);
            if (r != nullptr) {
                r->hdr.type = XCOMM_MSG_RSP;
                r->hdr.rpc_id = m->hdr.rpc_id;
                r->fd = m->fd;
                if (xcomm_send_msg(&ctx, &endp, r) != 0) {
                    send_failures++;
                    xcomm_msg_free(r);
                }
            }
            xcomm_msg_free(m);
            break;
        }
        case XCOMM_MSG_RSP:  // our answer was acknowledged
            acked_rsps++;
            xcomm_msg_free(m);
            break;
        case XCOMM_MSG_NOTIFY:
        case XCOMM_MSG_DGRAM: {
            std::lock_guard<std::mutex> g(mu);
            (m->hdr.type == XCOMM_MSG_NOTIFY ? notifies : dgrams).push_back(text_of(m));
            xcomm_msg_free(m);
            break;
        }
        default:
            xcomm_msg_free(m);
        }
    }

    std::string ip;
    xcomm_ctx ctx{};
    xcomm_endp endp{};
    int port = 0;
    answer_fn answer;
    std::thread thr;
    std::atomic<bool> halt{false};
    std::atomic<int> reqs{0}, acked_rsps{0}, cancelled{0}, closes{0}, errors{0}, send_failures{0};
    std::mutex mu;
    std::vector<std::string> req_texts, notifies, dgrams;
};

// A client endpoint with one stream.
struct Client {
    explicit Client(int slots = 64, int reconnect = XCOMM_RECONNECT_OFF, int msgs_per_pass = XCOMM_MSGS_PER_PASS)
    {
        EXPECT_EQ(0, xcomm_ctx_init(&ctx));
        EXPECT_EQ(0, xcomm_endp_init(&ctx, &endp, "", 1, slots, htons(10002), XCOMM_ENDP_NOFLAGS));
        const xcomm_endp_owner own = {.msgs_per_pass = msgs_per_pass, .reconnect = reconnect};
        EXPECT_EQ(0, xcomm_endp_set_owner(&endp, &own));
        endp.connect_wait_ms = 50;
    }
    ~Client()
    {
        if (ctx.lock != nullptr)
            xcomm_ctx_shutdown(&ctx);
    }
    int open(const std::string &remote) { return xcomm_endp_open(&ctx, &endp, remote.c_str()); }

    // Sends one REQ and waits for it; returns the wait result and the answer text.
    int call(const std::string &text, std::string *answer, xcomm_msg **keep = nullptr)
    {
        xcomm_msg *m = make_msg(XCOMM_MSG_REQ, text);
        int rc = xcomm_send_msg(&ctx, &endp, m);
        if (rc != 0) {
            xcomm_msg_free(m);
            return rc;
        }
        xcomm_msg *w = m;
        rc = xcomm_endp_wait(&ctx, &endp, &w, nullptr, XCOMM_WAIT_PENDING);
        if (rc != 0)
            return rc;
        int st = w->status;
        if (w->rmsg != nullptr) {
            if (answer)
                *answer = text_of(w->rmsg);
            xcomm_msg_free(w->rmsg);
        }
        if (keep)
            *keep = w;
        else
            xcomm_msg_free(w);
        return st == XCOMM_MSG_DONE ? 0 : 1000 + st;
    }

    xcomm_ctx ctx{};
    xcomm_endp endp{};
};

// A listening raw socket on a loopback address that plays the server by hand.
struct RawServer {
    explicit RawServer(const char *addr = "127.0.0.1")
        : ip(addr)
    {
        lsock = listen_loopback(8, &port, addr);
        EXPECT_GE(lsock, 0);
    }
    ~RawServer()
    {
        if (thr.joinable())
            thr.join();
        if (csock >= 0)
            close(csock);
        close(lsock);
    }
    std::string remote() const { return std::to_string(port) + "@" + ip; }

    // Accepts one client, reads its connect negotiate and answers it (key
    // `key`, sequence 0), on a thread so that the client's open can proceed.
    void serve_negotiate(uint16_t key = 0)
    {
        thr = std::thread([this, key] {
            csock = accept(lsock, nullptr, nullptr);
            unsigned char b[XCOMM_HDR_SIZE];
            if (read_exact(b, sizeof b) != 0)
                return;
            xcomm_hdr_decode(b, &client_neg);
            send_hdr(kes_test::server_negotiate_reply(XCOMM_NEG_CONNECT, key, key ? 0x1234 : 0, 0));
        });
    }
    void join()
    {
        if (thr.joinable())
            thr.join();
    }
    int read_exact(unsigned char *p, size_t n)
    {
        size_t got = 0;
        while (got < n) {
            ssize_t r = recv(csock, p + got, n - got, 0);
            if (r <= 0)
                return -1;
            got += static_cast<size_t>(r);
        }
        return 0;
    }
    void send_bytes(const void *p, size_t n)
    {
        const char *c = static_cast<const char *>(p);
        while (n > 0) {
            ssize_t r = send(csock, c, n, MSG_NOSIGNAL);
            if (r <= 0)
                return;
            c += r;
            n -= static_cast<size_t>(r);
        }
    }
    void send_hdr(const xcomm_hdr &h)
    {
        unsigned char b[XCOMM_HDR_SIZE];
        xcomm_hdr_encode(&h, b);
        send_bytes(b, sizeof b);
    }
    // Reads one whole message (header + payload) sent by the client.
    bool read_msg(xcomm_hdr *h, std::vector<unsigned char> *body = nullptr)
    {
        unsigned char b[XCOMM_HDR_SIZE];
        if (read_exact(b, sizeof b) != 0)
            return false;
        xcomm_hdr_decode(b, h);
        std::vector<unsigned char> tmp(xcomm_hdr_get_size(h));
        if (!tmp.empty() && read_exact(tmp.data(), tmp.size()) != 0)
            return false;
        if (body)
            *body = std::move(tmp);
        return true;
    }

    std::string ip;
    int lsock = -1;
    int csock = -1;
    int port = 0;
    xcomm_hdr client_neg{};
    std::thread thr;
};

inline xcomm_hdr data_hdr(uint8_t type, uint32_t size, uint16_t rpc_id, uint16_t msg_id, uint32_t seq)
{
    xcomm_hdr h{};
    h.type = type;
    xcomm_hdr_set_size(&h, size);
    h.rpc_id = rpc_id;
    h.msg_id = msg_id;
    h.seq_no = seq;
    return h;
}

}  // namespace xt
