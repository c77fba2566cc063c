// Helpers of the appliance's network tests: a plain XCOMM client endpoint that
// exchanges whole payloads, the appliance daemon as a child process on a
// private loopback address, and request builders.
#pragma once

#include "appliance/appliance.h"
#include "datamover/byteorder.h"
#include "datamover/md5.h"
#include "datamover/xcomm.h"
#include "kes_dm.h"
#include "kes_test.h"
#include "lib/common/mi_comm.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace appl_test {

// A client endpoint of one connection.
class Client {
public:
    Client() = default;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    ~Client() { close(); }

    int open(const std::string &addr, uint16_t port)
    {
        int rc = xcomm_ctx_init(&ctx_);
        if (rc != 0)
            return rc;
        inited_ = true;
        rc = xcomm_endp_init(&ctx_, &endp_, "", 1, 256, htons(port), XCOMM_ENDP_NOFLAGS);
        if (rc != 0)
            return rc;
        const xcomm_endp_owner own = {.msgs_per_pass = XCOMM_MSGS_PER_PASS, .reconnect = XCOMM_RECONNECT_OFF};
        rc = xcomm_endp_set_owner(&endp_, &own);
        if (rc != 0)
            return rc;
        std::string name = std::to_string(port) + "@" + addr;
        return xcomm_endp_open(&ctx_, &endp_, name.c_str());
    }
    void close()
    {
        if (inited_)
            xcomm_ctx_shutdown(&ctx_);
        inited_ = false;
        // requests whose answers never came are ours once the endpoint is gone
        for (xcomm_msg *m : outstanding_)
            xcomm_msg_free(m);
        outstanding_.clear();
    }

    // Queues one request of a head and optional data (not copied: the data
    // must live until the answer is collected).
    int send(const std::string &head, const void *data, size_t dlen, xcomm_msg **out)
    {
        xcomm_msg *m = xcomm_msg_alloc(uint32_t(head.size()));
        if (m == nullptr)
            return XCOMM_ERR_NOMEM;
        memcpy(xcomm_msg_data(m), head.data(), head.size());
        if (dlen != 0) {
            m->sgl[1].iov_base = const_cast<void *>(data);
            m->sgl[1].iov_len = uint32_t(dlen);
            m->sgl_ents = 2;
        }
        m->hdr.type = XCOMM_MSG_REQ;
        int rc;
        while ((rc = xcomm_send_msg(&ctx_, &endp_, m)) == XCOMM_ERR_BUSY) {
            xcomm_msg *done = nullptr;
            struct timeval tv = {1, 0};
            xcomm_endp_wait(&ctx_, &endp_, &done, &tv, XCOMM_WAIT_PENDING);
            if (done != nullptr)
                finished_.push_back(done);
        }
        if (rc != 0) {
            xcomm_msg_free(m);
            return rc;
        }
        *out = m;
        outstanding_.push_back(m);
        return 0;
    }

    // Waits for the answer of one queued request. 0 with its payload, or a
    // negative code (XCOMM_ERR_DROPPED when the connection went).
    int collect(xcomm_msg *m, std::string *rsp)
    {
        for (auto it = finished_.begin(); it != finished_.end(); ++it) {
            if (*it == m) {
                finished_.erase(it);
                return take(m, rsp);
            }
        }
        xcomm_msg *w = m;
        int rc = xcomm_endp_wait(&ctx_, &endp_, &w, nullptr, XCOMM_WAIT_PENDING);
        if (rc != 0) {
            // the message may still be ours to free if it was never completed
            return rc;
        }
        return take(w, rsp);
    }

    int call(const std::string &head, std::string *rsp, const void *data = nullptr, size_t dlen = 0)
    {
        xcomm_msg *m = nullptr;
        int rc = send(head, data, dlen, &m);
        if (rc != 0)
            return rc;
        return collect(m, rsp);
    }

    // One control exchange; the ost_mi record around the MI payload.
    int mi_call(uint32_t number, void *req, void *reply, uint32_t *reply_number = nullptr)
    {
        std::string rec(4108, '\0');
        rec[0] = 1;
        int rc = mi_encode_request(number, req, rec.data() + 12, 4096);
        if (rc != 0)
            return rc;
        std::string rsp;
        rc = call(rec, &rsp);
        if (rc != 0)
            return rc;
        if (rsp.size() != 4108 || rsp[0] != 2)
            return -1;
        if (reply_number != nullptr) {
            mi_header h{};
            mi_decode_header(rsp.data() + 12, 4096, &h);
            *reply_number = h.number;
        }
        return mi_decode_reply(number, rsp.data() + 12, 4096, reply);
    }

    int32_t login(const char *user, const std::string &password)
    {
        mi_config_get_auth_attr_req areq{1};
        mi_config_get_auth_attr_reply arep{};
        int rc = mi_call(MI_CONFIG_GET_AUTH_ATTR, &areq, &arep);
        if (rc != 0)
            return rc;
        if (arep.status != 0)
            return arep.status;
        unsigned char block[128] = {};
        memcpy(block, password.data(), std::min<size_t>(password.size(), 32));
        memcpy(block + 32, arep.attr.attr, 64);
        mi_authenticate_client_req req{};
        req.kind = MI_CRED_KIND_DIGEST;
        req.cred.digest.user = const_cast<char *>(user);
        md5_digest(block, sizeof block, req.cred.digest.digest);
        mi_status_reply rep{};
        rc = mi_call(MI_AUTHENTICATE_CLIENT, &req, &rep);
        return rc != 0 ? rc : rep.status;
    }

    int32_t open_file(const std::string &name, int mode, uint64_t *handle)
    {
        mi_open_file_req req{mode, const_cast<char *>(name.c_str())};
        mi_open_file_reply rep{};
        int rc = mi_call(MI_OPEN_FILE, &req, &rep);
        *handle = rep.handle;
        return rc != 0 ? rc : rep.status;
    }

    int32_t close_file(uint64_t handle)
    {
        mi_close_file_req req{0, handle};
        mi_close_file_reply rep{};
        int rc = mi_call(MI_CLOSE_FILE, &req, &rep);
        return rc != 0 ? rc : rep.status;
    }

    int32_t dm_port(int32_t *port)
    {
        mi_dm_port_req req{0};
        mi_dm_port_reply rep{};
        int rc = mi_call(MI_DM_PORT, &req, &rep);
        *port = rep.port;
        return rc != 0 ? rc : rep.status;
    }

private:
    int take(xcomm_msg *m, std::string *rsp)
    {
        for (auto it = outstanding_.begin(); it != outstanding_.end(); ++it) {
            if (*it == m) {
                outstanding_.erase(it);
                break;
            }
        }
        int rc = 0;
        if (m->status == XCOMM_MSG_CANCELLED || m->rmsg == nullptr) {
            rc = XCOMM_ERR_DROPPED;
        } else {
            xcomm_msg *r = m->rmsg;
            rsp->clear();
            for (int i = 0; i < r->sgl_ents; ++i)
                rsp->append(static_cast<const char *>(r->sgl[i].iov_base), r->sgl[i].iov_len);
            xcomm_msg_free(r);
        }
        xcomm_msg_free(m);
        return rc;
    }

    xcomm_ctx ctx_{};
    xcomm_endp endp_{};
    bool inited_ = false;
    std::vector<xcomm_msg *> finished_;
    std::vector<xcomm_msg *> outstanding_;
};

// ---- data-mover requests and answers ----
using kes_test::dm_req_hdr;
using kes_test::dm_open_req;

inline uint16_t dm_status(const std::string &rsp) { return rsp.size() >= 4 ? be_get16(reinterpret_cast<const unsigned char *>(rsp.data()) + 2) : 0xFFFF; }
inline uint16_t dm_fh(const std::string &rsp) { return be_get16(reinterpret_cast<const unsigned char *>(rsp.data()) + 4); }

// ---- the daemon on a private loopback address ----
inline std::string daemon_path() { return std::string(KES_BUILD_DIR) + "/kestralon-appliance"; }

// A loopback address of its own for each caller: 127.0.x.y from the process
// id and a counter.
inline std::string private_addr()
{
    static std::atomic<unsigned> counter{0};
    unsigned n = (unsigned(getpid()) * 37u + counter.fetch_add(1) * 101u) % 60000u;
    return "127.0." + std::to_string(1 + n / 250) + "." + std::to_string(2 + n % 250);
}

inline bool port_open(const std::string &addr, uint16_t port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    bool ok = connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0;
    ::close(s);
    return ok;
}

// Runs the daemon with args; output (both streams) goes to a file.
class Daemon {
public:
    ~Daemon() { stop(); }
    // Starts on a fresh private address, retrying another one when it is busy.
    bool start(std::vector<std::string> args)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            addr_ = private_addr();
            if (launch(args))
                return true;
            stop();
            if (output().find("busy") == std::string::npos)
                return false;
        }
        return false;
    }
    // Starts again on the address it had, after a stop or a crash.
    bool restart(const std::vector<std::string> &args) { return launch(args); }
    // Ends it at once with SIGKILL, as a crash or a power cut would.
    void crash()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Runs to completion; returns the exit status.
    int run(std::vector<std::string> args)
    {
        args.insert(args.begin(), daemon_path());
        if (!spawn(args))
            return -1;
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // SIGTERM and wait; returns the exit status (-1 if killed otherwise).
    int stop()
    {
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGTERM);
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    const std::string &addr() const { return addr_; }
    std::string output() const { return kes_test::read_file(out_.path() + "/out"); }

private:
    // Spawns it on addr_ and waits until its control port answers.
    bool launch(const std::vector<std::string> &args)
    {
        std::vector<std::string> full = {daemon_path(), "--listen", addr_};
        full.insert(full.end(), args.begin(), args.end());
        if (!spawn(full))
            return false;
        for (int i = 0; i < 500; ++i) {  // up to 5 s
            if (port_open(addr_, 10002))
                return true;
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            usleep(10000);
        }
        return false;
    }
    bool spawn(const std::vector<std::string> &args)
    {
        std::string out = out_.path() + "/out";
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char *> argv;
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return true;
    }
    pid_t pid_ = -1;
    std::string addr_;
    kes_test::TempDir out_;
};

}  // namespace appl_test
