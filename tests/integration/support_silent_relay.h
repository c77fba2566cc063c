// A peer that goes silent: a relay on a loopback address of its own that
// passes the library's MI and DM connections through to an appliance until a
// chosen request arrives. That request, and everything after it on its
// connection, is swallowed in both directions; the connection stays open.
// So the library sees an appliance that accepted, negotiated and answered
// up to that request, and then never says another word.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datamover/dm_msg.h"
#include "datamover/ost_mi.h"
#include "datamover/xcomm.h"
#include "lib/common/mi_comm.h"

namespace kes_test {

class SilentRelay {
public:
    // Decides whether a request (the XCOMM payload of a REQ) is the one to
    // go silent on; dm tells the data-mover connection from the control one.
    using Trigger = std::function<bool(bool dm, const std::vector<unsigned char> &payload)>;

    // Silent from the first MI request of that number on.
    static Trigger on_mi(uint32_t number)
    {
        return [number](bool dm, const std::vector<unsigned char> &p) {
            mi_header h{};
            return !dm && p.size() == OST_MI_REC_SIZE &&
                   mi_decode_header(p.data() + OST_MI_REC_HEAD_SIZE, MI_BUF_SIZE, &h) == 0 && h.number == number;
        };
    }
    // Silent from the first DM request of that command on.
    static Trigger on_dm(uint8_t cmd)
    {
        return [cmd](bool dm, const std::vector<unsigned char> &p) {
            dm_hdr h{};
            return dm && dm_hdr_decode(&h, p.data(), p.size()) >= 0 && h.cmd == cmd;
        };
    }

    SilentRelay() = default;
    SilentRelay(const SilentRelay &) = delete;
    SilentRelay &operator=(const SilentRelay &) = delete;
    ~SilentRelay() { stop(); }

    // Listens for MI on port 10002 and for DM on dm_port of an address of its
    // own, and relays to the same ports of target.
    bool start(const std::string &target, uint16_t dm_port, Trigger trigger)
    {
        target_ = target;
        trigger_ = std::move(trigger);
        for (int attempt = 0; attempt < 8; attempt++) {
            std::string a = next_addr();
            int mi = listen_on(a, 10002), dm = mi >= 0 ? listen_on(a, dm_port) : -1;
            if (mi >= 0 && dm >= 0) {
                addr_ = a;
                threads_.emplace_back([this, mi] { accept_loop(mi, 10002, false); });
                threads_.emplace_back([this, dm, dm_port] { accept_loop(dm, dm_port, true); });
                return true;
            }
            if (mi >= 0)
                close(mi);
        }
        return false;
    }
    void stop()
    {
        halt_ = true;
        for (auto &t : threads_)
            if (t.joinable())
                t.join();
        threads_.clear();
    }
    const std::string &addr() const { return addr_; }
    // Requests swallowed so far.
    int swallowed() const { return swallowed_.load(); }

private:
    static std::string next_addr()
    {
        static std::atomic<unsigned> counter{0};
        unsigned pid = static_cast<unsigned>(getpid());
        unsigned n = counter.fetch_add(1);
        // 127.202.x.y and up: apart from the appliances' addresses.
        return "127." + std::to_string(202 + ((pid >> 16) & 31)) + "." + std::to_string((pid >> 8) & 255) + "." +
               std::to_string((pid & 255) ^ (n & 255));
    }
    static int listen_on(const std::string &a, uint16_t port)
    {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, a.c_str(), &sa.sin_addr);
        if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s, 16) != 0) {
            close(s);
            return -1;
        }
        return s;
    }
    static int connect_to(const std::string &a, uint16_t port)
    {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, a.c_str(), &sa.sin_addr);
        if (connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close(s);
            return -1;
        }
        return s;
    }
    static bool send_all(int s, const unsigned char *p, size_t n)
    {
        while (n > 0) {
            ssize_t w = send(s, p, n, MSG_NOSIGNAL);
            if (w <= 0)
                return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    void accept_loop(int ls, uint16_t port, bool dm)
    {
        std::vector<std::thread> pumps;
        while (!halt_) {
            pollfd p = {ls, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int c = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            int u = connect_to(target_, port);
            if (u < 0) {
                close(c);
                continue;
            }
            pumps.emplace_back([this, c, u, dm] { pump(c, u, dm); });
        }
        for (auto &t : pumps)
            t.join();
        close(ls);
    }

    // Passes whole frames from the client upstream until the trigger fires,
    // and everything from upstream back while it has not.
    void pump(int c, int u, bool dm)
    {
        std::vector<unsigned char> in;  // client bytes not yet framed
        bool silent = false;
        unsigned char buf[65536];
        while (!halt_) {
            pollfd p[2] = {{c, POLLIN, 0}, {u, POLLIN, 0}};
            if (poll(p, u >= 0 ? 2 : 1, 50) <= 0)
                continue;
            if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t r = recv(c, buf, sizeof buf, 0);
                if (r <= 0)
                    break;
                in.insert(in.end(), buf, buf + r);
                while (in.size() >= XCOMM_HDR_SIZE) {
                    xcomm_hdr h;
                    xcomm_hdr_decode(in.data(), &h);
                    size_t plen = h.type == XCOMM_MSG_NEGOTIATE ? 0 : xcomm_hdr_get_size(&h);
                    if (in.size() < XCOMM_HDR_SIZE + plen)
                        break;
                    if (!silent && h.type == XCOMM_MSG_REQ &&
                        trigger_(dm, std::vector<unsigned char>(in.begin() + XCOMM_HDR_SIZE,
                                                                in.begin() + XCOMM_HDR_SIZE + plen))) {
                        silent = true;
                        swallowed_++;
                    }
                    if (!silent && !send_all(u, in.data(), XCOMM_HDR_SIZE + plen))
                        silent = true;
                    in.erase(in.begin(), in.begin() + XCOMM_HDR_SIZE + plen);
                }
            }
            if (u >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t r = recv(u, buf, sizeof buf, 0);
                if (r <= 0) {
                    if (!silent)
                        break;  // the appliance went: so does the client's connection
                    close(u);   // a silent peer stays connected all the same
                    u = -1;
                    continue;
                }
                if (!silent && !send_all(c, buf, static_cast<size_t>(r)))
                    break;
            }
        }
        close(c);
        if (u >= 0)
            close(u);
    }

    std::string target_;
    std::string addr_;
    Trigger trigger_;
    std::atomic<bool> halt_{false};
    std::atomic<int> swallowed_{0};
    std::vector<std::thread> threads_;
};

}  // namespace kes_test
