// The appliance's control service in this process, for the tests of code on
// both sides of MI: a store in a temporary directory, sessions driven with
// encoded requests, and (on request) a loopback responder that hands every
// request of a real MI client to one of those sessions.
#pragma once

#include "appliance/blob_store.h"
#include "appliance/service.h"
#include "datamover/md5.h"
#include "datamover/ost_mi.h"
#include "kes_test.h"
#include "lib/common/mi_comm.h"
#include "tests/unit/mi_responder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace appl_test {

class MiService {
public:
    // With blobs, files hold real blobs of a blob store, as in the appliance.
    explicit MiService(uint64_t quota = 0, bool blobs = false)
    {
        sh_.cfg.root = dir_.path();
        sh_.cfg.users = {{"alice", "pw-alice"}, {"bob", "pw-bob"}};
        std::string err;
        EXPECT_EQ(store_open(dir_.path(), quota, &sh_.st, &err), 0) << err;
        if (blobs) {
            EXPECT_EQ(blob_store_open(sh_.st, dir_.path(), &sh_.blobs, &err), 0) << err;
            sh_.tag_hook = appl_blob_tag_hook;
            sh_.tag_hook_ctx = sh_.blobs;
        }
    }
    ~MiService()
    {
        responder_.reset();
        if (client_ != nullptr)
            ost_mi_client_destroy(client_);
        for (mi_session *s : sessions_)
            mi_session_free(s);
        sh_.handles.clear();
        if (sh_.blobs != nullptr)
            blob_store_close(sh_.blobs);
        store_close(sh_.st);
    }
    MiService(const MiService &) = delete;
    MiService &operator=(const MiService &) = delete;

    appl_shared &shared() { return sh_; }
    const std::string &root() const { return dir_.path(); }

    // A session logged in as user (password "pw-<user>").
    mi_session *session(const std::string &user = "alice")
    {
        sessions_.push_back(mi_session_new(&sh_, 0x7F000001));
        mi_session *s = sessions_.back();
        mi_config_get_auth_attr_req areq{1};
        mi_config_get_auth_attr_reply arep{};
        EXPECT_EQ(call(s, MI_CONFIG_GET_AUTH_ATTR, &areq, &arep), 0);
        std::string password = "pw-" + user;
        unsigned char block[128] = {};
        memcpy(block, password.data(), password.size());
        memcpy(block + 32, arep.attr.attr, 64);
        mi_authenticate_client_req req{};
        req.kind = MI_CRED_KIND_DIGEST;
        req.cred.digest.user = const_cast<char *>(user.c_str());
        md5_digest(block, sizeof block, req.cred.digest.digest);
        mi_status_reply rep{};
        EXPECT_EQ(call(s, MI_AUTHENTICATE_CLIENT, &req, &rep), 0);
        EXPECT_EQ(rep.status, 0);
        return s;
    }

    // Ends a session as a dropped control connection would.
    void release(mi_session *s)
    {
        sessions_.erase(std::find(sessions_.begin(), sessions_.end(), s));
        mi_session_free(s);
    }

    // One exchange with a session; the decoded reply's result.
    int call(mi_session *s, uint32_t number, void *req, void *reply)
    {
        unsigned char rec[APPL_MI_RECORD] = {};
        rec[0] = 1;
        EXPECT_EQ(mi_encode_request(number, req, rec + 12, APPL_MI_PAYLOAD), 0);
        unsigned char rsp[APPL_MI_RECORD];
        EXPECT_EQ(mi_session_handle(s, rec, sizeof rec, rsp), 0);
        return mi_decode_reply(number, rsp + 12, APPL_MI_PAYLOAD, reply);
    }
    // A request whose reply is only a status; returns the status.
    int32_t status_of(mi_session *s, uint32_t number, void *req)
    {
        mi_record rep;
        memset(&rep, 0, sizeof rep);
        rep.status_reply.status = -1;
        EXPECT_EQ(call(s, number, req, &rep), 0);
        int32_t status = rep.status_reply.status;
        mi_free_reply(number, &rep);
        return status;
    }

    // Opens a new file for writing; returns its handle (0 on failure).
    uint64_t create(mi_session *s, const std::string &name)
    {
        std::string full = "generic:/sh/" + name;
        mi_open_file_req req{MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, const_cast<char *>(full.c_str())};
        mi_open_file_reply rep{};
        EXPECT_EQ(call(s, MI_OPEN_FILE, &req, &rep), 0);
        EXPECT_EQ(rep.status, 0);
        return rep.status == 0 ? rep.handle : 0;
    }
    std::shared_ptr<appl_handle> handle(uint64_t id) { return appl_handle_find(&sh_, id); }

    // An MI client whose requests the session s answers; messages are counted by number.
    ost_mi_client *client(mi_session *s)
    {
        if (client_ != nullptr)
            ost_mi_client_destroy(client_);
        client_ = nullptr;
        responder_ = std::make_unique<mi_test::Responder>([this, s](const std::vector<unsigned char> &in) {
            mi_test::Answer a;
            {
                std::lock_guard<std::mutex> g(mu_);
                seen_.push_back(in);
            }
            a.payload.resize(APPL_MI_RECORD);
            if (mi_session_handle(s, in.data(), in.size(), a.payload.data()) != 0)
                a.drop = true;
            return a;
        });
        int err = 0;
        client_ = ost_mi_client_create("127.0.0.1", responder_->port(), nullptr, nullptr, 0, nullptr, 0, 1, &err);
        EXPECT_NE(client_, nullptr) << err;
        return client_;
    }
    // Requests of a number the client sent, decoded (free each with mi_free_request).
    std::vector<mi_record> sent(uint32_t number)
    {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<mi_record> out;
        for (const auto &in : seen_) {
            if (mi_test::request_number(in) != number)
                continue;
            mi_header h{};
            mi_record r;
            EXPECT_EQ(mi_decode_request(in.data() + 12, MI_BUF_SIZE, &h, &r, sizeof r), 0);
            out.push_back(r);
        }
        return out;
    }
    int seen(uint32_t number)
    {
        std::lock_guard<std::mutex> g(mu_);
        int n = 0;
        for (const auto &in : seen_)
            n += mi_test::request_number(in) == number;
        return n;
    }

private:
    kes_test::TempDir dir_;
    appl_shared sh_;
    std::vector<mi_session *> sessions_;
    std::unique_ptr<mi_test::Responder> responder_;
    ost_mi_client *client_ = nullptr;
    std::mutex mu_;
    std::vector<std::vector<unsigned char>> seen_;  // every request record the client sent
};

}  // namespace appl_test
