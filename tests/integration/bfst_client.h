// Helpers of the BFST tests: the transfer library's calls wrapped so that
// each keeps its error text, a connection with one session, and stores of a
// list of buffers.
#pragma once

#include "appliance/appliance.h"
#include "appliance/blob_store.h"
#include "bfst/bfst2.h"
#include "kes_test.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bfst_test {

constexpr uint32_t CIPHER_NONE = 0x0D70A169;
constexpr uint32_t CIPHER_AES256 = 0x0B615B7B;
constexpr uint32_t CIPHER_CERT = 0x01A2B3C4;
constexpr uint32_t CERT_KIND = 0x034A147F;
constexpr uint32_t CONNECT_BACKUP = 0x10000;
constexpr uint32_t STORE_BACKUP = 0x241;

// The appliance in this process on 127.0.0.1 with free ports, its BFST
// service included.
class Appliance {
public:
    Appliance() = default;
    Appliance(const Appliance &) = delete;
    Appliance &operator=(const Appliance &) = delete;
    ~Appliance() { stop(); }
    // Starts on root (a directory of its own when empty). 0 or -1 with a message.
    int start(appliance_config cfg = appliance_config(), const std::string &root = std::string())
    {
        cfg.listen_addr = "127.0.0.1";
        cfg.mi_port = 0;
        cfg.root = root.empty() ? root_.path() : root;
        cfg.users = {{"rman", "secret"}};
        cfg.dedup = cfg.dedup && dedup;
        if (getenv("KES_TEST_APPL_LOG") == nullptr)
            cfg.log_level = 3;
        else
            cfg.log_level = 8;
        return appliance_start(cfg, &app_, &error);
    }
    void stop()
    {
        appliance_stop(app_);
        app_ = nullptr;
    }
    uint16_t port() const { return appliance_bfst_port(app_); }
    blob_store *blobs() const { return appliance_blob_store(app_); }
    chunk_store *chunks() const { return appliance_chunk_store(app_); }
    uint64_t used() const { return appliance_used_bytes(app_); }
    const std::string &root() const { return root_.path(); }

    std::string error;
    // Most tests look at blobs as the bytes stored; deduplicated stores,
    // kept as recipes of chunks, have tests of their own.
    bool dedup = false;

private:
    kes_test::TempDir root_;
    appliance *app_ = nullptr;
};

// Keeps the library initialized for the life of the object.
struct Library {
    Library() { bfst2_initialize("BFST_RMAN", nullptr); }
    ~Library() { bfst2_finalize(nullptr); }
};

// The result of one call: its code and its error text.
struct Result {
    int rc = 0;
    std::string text;
};

// Runs f(&err) and keeps its code and text.
template <typename F> int run(Result *r, F f)
{
    char *err = nullptr;
    r->rc = f(&err);
    r->text = err != nullptr ? err : "";
    bfst2_free_error_string(err);
    return r->rc;
}

// One connection to the BFST service, its credential and one session.
class Conn {
public:
    Conn() = default;
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    ~Conn() { close(); }

    int password(const char *pw, uint32_t cipher = CIPHER_AES256)
    {
        return run(&last, [&](char **e) { return bfst2_credential_create_password(cipher, pw, 0, &cred, e); });
    }
    int certificates(const std::string &dir, bool with_crl)
    {
        std::string ca = dir + "/cacert.pem", cert = dir + "/cert.pem", key = dir + "/key.pem",
                    crl = dir + "/crl.pem";
        return run(&last, [&](char **e) {
            return bfst2_credential_create_certificate_files(CIPHER_CERT, CERT_KIND, ca.c_str(), cert.c_str(),
                                                             key.c_str(), with_crl ? crl.c_str() : nullptr, 0, &cred,
                                                             e);
        });
    }
    // Handle, connect and open; the encryption type follows the credential.
    int open(const std::string &host, uint16_t port, uint32_t timeout_s = 30, const char *enc = nullptr)
    {
        if (enc == nullptr)
            enc = cred != nullptr ? "ost" : "ost-no-encrypt";
        auto create = [&](char **e) {
            return bfst2_handle_create_remote_with_credential(host.c_str(), port, timeout_s, enc, cred, 0, &conn, e);
        };
        if (conn == nullptr && run(&last, create) != 0)
            return last.rc;
        if (run(&last, [&](char **e) { return bfst2_connect(conn, CONNECT_BACKUP, e); }) != 0)
            return last.rc;
        return run(&last, [&](char **e) { return bfst2_open(conn, 0, e); });
    }
    // A new started session.
    int session(bfst2_session **out)
    {
        if (run(&last, [&](char **e) { return bfst2_session_create(conn, 0, out, e); }) != 0)
            return last.rc;
        sessions.push_back(*out);
        return run(&last, [&](char **e) { return bfst2_session_start(*out, 0, e); });
    }
    int start_session()
    {
        bfst2_session *s = nullptr;
        return session(&s);
    }
    bfst2_session *sess() const { return sessions.empty() ? nullptr : sessions.back(); }
    int end_session(bfst2_session *s)
    {
        int rc = run(&last, [&](char **e) { return bfst2_session_finish(s, 0, e); });
        Result r;
        run(&r, [&](char **e) { return bfst2_session_destroy(s, 0, e); });
        for (auto it = sessions.begin(); it != sessions.end(); ++it) {
            if (*it == s) {
                sessions.erase(it);
                break;
            }
        }
        return rc;
    }
    int disconnect()
    {
        return run(&last, [&](char **e) { return bfst2_disconnect(conn, 0, e); });
    }
    void close()
    {
        Result r;
        while (!sessions.empty()) {
            run(&r, [&](char **e) { return bfst2_session_destroy(sessions.back(), 0, e); });
            sessions.pop_back();
        }
        if (conn != nullptr) {
            run(&r, [&](char **e) { return bfst2_disconnect(conn, 0, e); });
            run(&r, [&](char **e) { return bfst2_handle_destroy(conn, 0, e); });
        }
        if (cred != nullptr)
            run(&r, [&](char **e) { return bfst2_credential_destroy(cred, 0, e); });
        conn = nullptr;
        cred = nullptr;
    }

    bfst2_credential *cred = nullptr;
    bfst2_connection *conn = nullptr;
    std::vector<bfst2_session *> sessions;
    Result last;
};

// What a store left behind.
struct Stored {
    std::string tag;        // hexadecimal text
    uint64_t link[4] = {};
    uint64_t ops[3] = {};
};

// A store of the session in progress.
class Store {
public:
    explicit Store(bfst2_session *s)
    {
        if (run(&last, [&](char **e) { return bfst2_store_create(s, 0, &st_, e); }) == 0)
            run(&last, [&](char **e) { return bfst2_store_start(st_, STORE_BACKUP, e); });
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    ~Store()
    {
        Result r;
        if (st_ != nullptr)
            run(&r, [&](char **e) { return bfst2_store_destroy(st_, 0, e); });
    }
    // Stores the bytes through an attached buffer.
    int put(const void *data, size_t len)
    {
        bfst2_buffer *b = nullptr;
        if (run(&last, [&](char **e) { return bfst2_buffer_create(0, &b, e); }) != 0)
            return last.rc;
        int rc = run(&last,
                     [&](char **e) { return bfst2_buffer_attach_memory(b, const_cast<void *>(data), len, 0, e); });
        if (rc == 0)
            rc = run(&last, [&](char **e) { return bfst2_store_buffer(st_, b, len, 0, e); });
        Result r;
        run(&r, [&](char **e) { return bfst2_buffer_destroy(b, 0, e); });
        return rc;
    }
    int put(const std::string &s) { return put(s.data(), s.size()); }
    // Tag, statistics and finish, as the library's path does it.
    int finish(Stored *out, uint32_t tag_len = BLOB_TAG_BYTES)
    {
        std::vector<unsigned char> tag(tag_len + 1);
        tag[0] = static_cast<unsigned char>(tag_len);
        if (run(&last, [&](char **e) { return bfst2_store_tag(st_, 0, tag.data(), e); }) != 0)
            return last.rc;
        std::string text(2 * tag_len + 1, '\0');
        auto to_text = [&](char **e) { return bfst2_tag_to_ascii(tag.data(), text.data(), uint32_t(text.size()), e); };
        if (run(&last, to_text) != 0)
            return last.rc;
        text.resize(2 * tag_len);
        out->tag = text;
        if (run(&last, [&](char **e) { return bfst2_store_get_link_statistics(st_, 0, out->link, e); }) != 0)
            return last.rc;
        if (run(&last, [&](char **e) { return bfst2_store_finish(st_, 0, e); }) != 0)
            return last.rc;
        return run(&last, [&](char **e) { return bfst2_store_get_operation_statistics(st_, 0, out->ops, e); });
    }
    bfst2_store *get() const { return st_; }

    Result last;

private:
    bfst2_store *st_ = nullptr;
};

}  // namespace bfst_test
