// A loopback TCP proxy for the transport tests that cuts the connections it
// carries at chosen points, as a network that breaks would.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/xcomm_test_util.h"

namespace xt {

// A loopback TCP proxy that can cut the connection it carries (with a reset,
// losing whatever it has read but not yet passed on) after a byte budget.
class Proxy {
public:
    // Listens on a free port of ip and carries to upstream_port of the same ip.
    explicit Proxy(int upstream_port, const char *ip = "127.0.0.1")
        : up_port_(upstream_port), ip_(ip)
    {
        ls_ = listen_loopback(8, &port, ip);
        EXPECT_GE(ls_, 0);
        thr_ = std::thread([this] { run(); });
    }
    ~Proxy()
    {
        halt_ = true;
        thr_.join();
        close(ls_);
    }
    std::string remote() const { return std::to_string(port) + "@" + ip_; }

    // Cut each carried connection after this many client-to-server bytes
    // (measured from the start of that connection); 0 never cuts.
    std::vector<size_t> cut_after;
    std::atomic<int> cuts{0};
    int port = 0;

private:
    static void reset_close(int s)
    {
        struct linger l = {1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(s);
    }

    void run()
    {
        size_t conn_no = 0;
        while (!halt_) {
            struct pollfd lp = {ls_, POLLIN, 0};
            if (poll(&lp, 1, 20) <= 0)
                continue;
            int c = accept(ls_, nullptr, nullptr);
            if (c < 0)
                continue;
            int u = raw_connect(up_port_, ip_.c_str());
            if (u < 0) {
                close(c);
                continue;
            }
            size_t budget = conn_no < cut_after.size() ? cut_after[conn_no] : 0;
            ++conn_no;
            pump(c, u, budget);
        }
    }

    void pump(int c, int u, size_t budget)
    {
        size_t up_bytes = 0;
        char buf[4096];
        while (!halt_) {
            struct pollfd p[2] = {{c, POLLIN, 0}, {u, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                int from = i == 0 ? c : u, to = i == 0 ? u : c;
                ssize_t r = recv(from, buf, sizeof buf, 0);
                if (r <= 0) {
                    close(c);
                    close(u);
                    return;
                }
                size_t n = static_cast<size_t>(r);
                bool cut = false;
                if (i == 0 && budget != 0 && up_bytes + n >= budget) {
                    n = budget - up_bytes;  // the rest is lost with the connection
                    cut = true;
                }
                size_t off = 0;
                while (off < n) {
                    ssize_t w = send(to, buf + off, n - off, MSG_NOSIGNAL);
                    if (w <= 0)
                        break;
                    off += static_cast<size_t>(w);
                }
                if (i == 0)
                    up_bytes += n;
                if (cut) {
                    reset_close(c);
                    reset_close(u);
                    cuts++;
                    return;
                }
            }
        }
        close(c);
        close(u);
    }

    int up_port_;
    std::string ip_;
    int ls_ = -1;
    std::atomic<bool> halt_{false};
    std::thread thr_;
};


}  // namespace xt
