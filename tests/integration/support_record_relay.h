// A relay that keeps every byte it passes: it listens on an address of its
// own, on the ports it is given, carries each connection to the same port of
// a target address, and records both directions of every connection. Tests
// look into the records for what travelled in clear.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kes_net.h"

namespace kes_test {

class RecordingRelay {
public:
    struct Stream {
        uint16_t port = 0;
        std::string up;    // client to server
        std::string down;  // server to client
    };

    RecordingRelay() = default;
    RecordingRelay(const RecordingRelay &) = delete;
    RecordingRelay &operator=(const RecordingRelay &) = delete;
    ~RecordingRelay() { stop(); }

    bool start(const std::string &addr, const std::string &target, const std::vector<uint16_t> &ports)
    {
        target_ = target;
        for (uint16_t p : ports) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in a = loopback_addr(p, addr.c_str());
            if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 16) != 0) {
                if (s >= 0)
                    close(s);
                return false;
            }
            threads_.emplace_back([this, s, p] { accept_loop(s, p); });
        }
        return true;
    }

    void stop()
    {
        halt_ = true;
        for (auto &t : threads_)
            t.join();
        threads_.clear();
        std::lock_guard<std::mutex> g(mu_);
        for (auto &t : pumps_)
            t.join();
        pumps_.clear();
    }

    // Every connection carried so far (copies: the relay may still be adding).
    std::vector<Stream> streams()
    {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<Stream> out;
        for (auto &s : streams_) {
            std::lock_guard<std::mutex> sg(s->mu);
            out.push_back(s->data);
        }
        return out;
    }

private:
    struct Rec {
        std::mutex mu;
        Stream data;
    };

    void accept_loop(int ls, uint16_t port)
    {
        while (!halt_) {
            struct pollfd p = {ls, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            int c = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            int u = raw_connect(port, target_.c_str());
            if (u < 0) {
                close(c);
                continue;
            }
            auto rec = std::make_shared<Rec>();
            rec->data.port = port;
            std::lock_guard<std::mutex> g(mu_);
            streams_.push_back(rec);
            pumps_.emplace_back([this, c, u, rec] { pump(c, u, rec.get()); });
        }
        close(ls);
    }

    void pump(int c, int u, Rec *rec)
    {
        char buf[65536];
        bool open = true;
        while (open && !halt_) {
            struct pollfd p[2] = {{c, POLLIN, 0}, {u, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2 && open; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                int from = i == 0 ? c : u, to = i == 0 ? u : c;
                ssize_t r = recv(from, buf, sizeof buf, 0);
                if (r <= 0) {
                    open = false;
                    break;
                }
                {
                    std::lock_guard<std::mutex> g(rec->mu);
                    (i == 0 ? rec->data.up : rec->data.down).append(buf, static_cast<size_t>(r));
                }
                for (ssize_t off = 0; off < r;) {
                    ssize_t w = send(to, buf + off, static_cast<size_t>(r - off), MSG_NOSIGNAL);
                    if (w <= 0) {
                        open = false;
                        break;
                    }
                    off += w;
                }
            }
        }
        close(c);
        close(u);
    }

    std::string target_;
    std::atomic<bool> halt_{false};
    std::vector<std::thread> threads_;
    std::mutex mu_;
    std::vector<std::thread> pumps_;
    std::vector<std::shared_ptr<Rec>> streams_;
};

}  // namespace kes_test
