// A fake transfer library behind the BFST path's call table: it records every
// call, keeps the bytes each store received (unless told not to), hands out
// tags, and can be told to fail a call, to refuse connects with given codes,
// or to be slow. Its clock is virtual: a slow call and a sleep only move it.
// Given an appliance's blob store as its sink, it also stores every blob
// there, as the appliance's BFST service would, and hands out their tags.
#pragma once

#include "appliance/blob_store.h"
#include "lib/common/pgnbfst_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace bfst_fake {

// A blob as the fake stored it.
struct Blob {
    std::string bytes;      // empty when bytes are not kept
    uint64_t length = 0;    // bytes stored
    std::string tag;        // hexadecimal text of its tag ("" until tagged)
    uint32_t start_flags = 0;
    bool finished = false;
    blob_writer *sink = nullptr;  // the blob in the sink until it is tagged
};

// A call told to fail: skip calls pass, then times calls fail (-1: all).
struct Fault {
    int code = 0;
    int skip = 0;
    int times = -1;
};

struct State {
    std::mutex mu;
    std::vector<std::string> calls;
    std::map<std::string, Fault> faults;
    std::deque<int> connect_codes;         // answers of the next connects, then success
    std::map<std::string, uint64_t> slow;  // call -> milliseconds it takes
    std::set<std::string> no_object;       // calls that succeed without handing out their object
    uint64_t clock_ms = 5000000;
    std::vector<uint32_t> sleeps;
    bool keep_bytes = true;
    uint32_t tag_length = 32;
    blob_store *sink = nullptr;            // where blobs are really stored, if anywhere
    std::vector<Blob> blobs;
    std::vector<uint64_t> store_lengths;   // length of every store_buffer
    int live = 0;                          // objects created and not destroyed
    int texts = 0;                         // error texts handed out and not released

    // What the credential and connection calls were given.
    uint32_t cipher = 0;
    std::string password;
    std::vector<std::string> cert_files;   // CA, certificate, key, CRL ("(null)" when absent)
    std::string host, encryption;
    uint32_t port = 0, timeout = 0, connect_flags = 0;
};

// Reproducible test data.
inline std::string random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng());
    return s;
}

inline State &st()
{
    static State s;
    return s;
}

struct Obj {
    int kind;
    size_t blob = 0;       // stores: index into blobs
    const void *mem = nullptr;
    uint64_t len = 0;
};

// Records the call and tells whether it fails (and with what text).
inline int enter(const char *name, char **err)
{
    State &s = st();
    std::lock_guard<std::mutex> g(s.mu);
    s.calls.emplace_back(name);
    auto sl = s.slow.find(name);
    if (sl != s.slow.end())
        s.clock_ms += sl->second;
    if (err != nullptr)
        *err = nullptr;
    auto it = s.faults.find(name);
    if (it == s.faults.end())
        return 0;
    Fault &f = it->second;
    if (f.skip > 0) {
        f.skip--;
        return 0;
    }
    if (f.times == 0)
        return 0;
    if (f.times > 0)
        f.times--;
    if (err != nullptr) {
        char text[96];
        snprintf(text, sizeof text, "fake %s failure", name);
        *err = strdup(text);
        s.texts++;
    }
    return f.code;
}

// True when the call is told to succeed without an object.
inline bool hollow(const char *name)
{
    std::lock_guard<std::mutex> g(st().mu);
    return st().no_object.count(name) != 0;
}

template <typename T>
T *make(int kind)
{
    std::lock_guard<std::mutex> g(st().mu);
    st().live++;
    return reinterpret_cast<T *>(new Obj{kind});
}

inline void destroy(void *p)
{
    if (p == nullptr)
        return;
    std::lock_guard<std::mutex> g(st().mu);
    st().live--;
    delete static_cast<Obj *>(p);
}

inline Obj *obj(void *p) { return static_cast<Obj *>(p); }

inline int f_initialize(const char *, char **err) { return enter("initialize", err); }
inline int f_finalize(char **err) { return enter("finalize", err); }
inline const char *f_strerror(int) { return "fake library error"; }
inline void f_free_error_string(char *t)
{
    if (t == nullptr)
        return;
    std::lock_guard<std::mutex> g(st().mu);
    st().texts--;
    free(t);
}
inline int f_cred_password(uint32_t cipher, const char *password, uint32_t, bfst2_credential **out, char **err)
{
    int rc = enter("credential_create_password", err);
    std::lock_guard<std::mutex> g(st().mu);
    st().cipher = cipher;
    st().password = password != nullptr ? password : "(null)";
    if (rc == 0 && st().no_object.count("credential_create_password") == 0) {
        st().live++;
        *out = reinterpret_cast<bfst2_credential *>(new Obj{1});
    }
    return rc;
}
inline int f_cred_cert(uint32_t cipher, uint32_t, const char *ca, const char *cert, const char *key, const char *crl,
                       uint32_t, bfst2_credential **out, char **err)
{
    int rc = enter("credential_create_certificate_files", err);
    std::lock_guard<std::mutex> g(st().mu);
    st().cipher = cipher;
    st().cert_files.clear();
    for (const char *f : {ca, cert, key, crl})
        st().cert_files.emplace_back(f != nullptr ? f : "(null)");
    if (rc == 0) {
        st().live++;
        *out = reinterpret_cast<bfst2_credential *>(new Obj{1});
    }
    return rc;
}
inline int f_cred_destroy(bfst2_credential *c, uint32_t, char **err)
{
    destroy(c);
    return enter("credential_destroy", err);
}
inline int f_handle_create(const char *host, uint32_t port, uint32_t timeout, const char *enc, bfst2_credential *,
                           uint32_t, bfst2_connection **out, char **err)
{
    int rc = enter("handle_create_remote_with_credential", err);
    {
        std::lock_guard<std::mutex> g(st().mu);
        st().host = host;
        st().port = port;
        st().timeout = timeout;
        st().encryption = enc;
    }
    if (rc == 0 && !hollow("handle_create_remote_with_credential"))
        *out = make<bfst2_connection>(2);
    return rc;
}
inline int f_connect(bfst2_connection *, uint32_t flags, char **err)
{
    int rc = enter("connect", err);
    std::lock_guard<std::mutex> g(st().mu);
    st().connect_flags = flags;
    if (rc == 0 && !st().connect_codes.empty()) {
        rc = st().connect_codes.front();
        st().connect_codes.pop_front();
        if (err != nullptr) {
            *err = strdup("busy");
            st().texts++;
        }
    }
    return rc;
}
inline int f_open(bfst2_connection *, uint32_t, char **err) { return enter("open", err); }
inline int f_get_tag_length(bfst2_connection *, uint32_t *len, char **err)
{
    int rc = enter("get_tag_length", err);
    if (rc == 0) {
        std::lock_guard<std::mutex> g(st().mu);
        *len = st().tag_length;
    }
    return rc;
}
inline int f_disconnect(bfst2_connection *, uint32_t, char **err) { return enter("disconnect", err); }
inline int f_handle_destroy(bfst2_connection *c, uint32_t, char **err)
{
    destroy(c);
    return enter("handle_destroy", err);
}
inline int f_session_create(bfst2_connection *, uint32_t, bfst2_session **out, char **err)
{
    int rc = enter("session_create", err);
    if (rc == 0 && !hollow("session_create"))
        *out = make<bfst2_session>(3);
    return rc;
}
inline int f_session_start(bfst2_session *, uint32_t, char **err) { return enter("session_start", err); }
inline int f_session_finish(bfst2_session *, uint32_t, char **err) { return enter("session_finish", err); }
inline int f_session_destroy(bfst2_session *s, uint32_t, char **err)
{
    destroy(s);
    return enter("session_destroy", err);
}
inline int f_store_create(bfst2_session *, uint32_t, bfst2_store **out, char **err)
{
    int rc = enter("store_create", err);
    if (rc == 0 && !hollow("store_create")) {
        auto *o = make<Obj>(4);
        std::lock_guard<std::mutex> g(st().mu);
        o->blob = st().blobs.size();
        st().blobs.emplace_back();
        if (st().sink != nullptr && blob_create(st().sink, 0xFA4E, &st().blobs.back().sink) != 0)
            rc = BFST2_ERR_ABORTED;
        *out = reinterpret_cast<bfst2_store *>(o);
    }
    return rc;
}
inline int f_store_start(bfst2_store *s, uint32_t flags, char **err)
{
    int rc = enter("store_start", err);
    std::lock_guard<std::mutex> g(st().mu);
    st().blobs[obj(s)->blob].start_flags = flags;
    return rc;
}
inline int f_store_buffer(bfst2_store *s, bfst2_buffer *b, uint64_t len, uint32_t, char **err)
{
    int rc = enter("store_buffer", err);
    std::lock_guard<std::mutex> g(st().mu);
    st().store_lengths.push_back(len);
    if (rc != 0)
        return rc;
    Blob &blob = st().blobs[obj(s)->blob];
    blob.length += len;
    if (st().keep_bytes)
        blob.bytes.append(static_cast<const char *>(obj(b)->mem), len);
    if (blob.sink != nullptr && blob_append(blob.sink, obj(b)->mem, len) != 0)
        return BFST2_ERR_ABORTED;
    return 0;
}
inline int f_store_tag(bfst2_store *s, uint32_t, unsigned char *tag, char **err)
{
    int rc = enter("store_tag", err);
    if (rc != 0)
        return rc;
    std::lock_guard<std::mutex> g(st().mu);
    size_t n = tag[0];
    // The blob's number in the last bytes, a fixed pattern before them; or
    // the tag the sink gave the blob.
    size_t index = obj(s)->blob;
    Blob &blob = st().blobs[index];
    unsigned char real[BLOB_TAG_BYTES] = {};
    if (blob.sink != nullptr) {
        memcpy(real, blob_writer_tag(blob.sink), sizeof real);
        int frc = blob_finish(blob.sink);
        blob.sink = nullptr;
        if (frc != 0 || n != sizeof real)
            return BFST2_ERR_ABORTED;
    }
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        unsigned char v = i + 4 >= n ? static_cast<unsigned char>(index >> (8 * (n - 1 - i))) : 0xA5;
        if (st().sink != nullptr)
            v = real[i];
        tag[1 + i] = v;
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", v);
        text += hex;
    }
    st().blobs[index].tag = text;
    return 0;
}
inline int f_link_stats(bfst2_store *s, uint32_t, uint64_t v[4], char **err)
{
    int rc = enter("store_get_link_statistics", err);
    if (rc != 0)
        return rc;
    std::lock_guard<std::mutex> g(st().mu);
    uint64_t n = st().blobs[obj(s)->blob].length;
    v[0] = n;
    v[1] = 0;
    v[2] = n + 64;
    v[3] = 16;
    return 0;
}
inline int f_op_stats(bfst2_store *s, uint32_t, uint64_t v[3], char **err)
{
    int rc = enter("store_get_operation_statistics", err);
    if (rc != 0)
        return rc;
    std::lock_guard<std::mutex> g(st().mu);
    uint64_t n = st().blobs[obj(s)->blob].length;
    v[0] = v[1] = v[2] = n;
    return 0;
}
inline int f_store_finish(bfst2_store *s, uint32_t, char **err)
{
    int rc = enter("store_finish", err);
    std::lock_guard<std::mutex> g(st().mu);
    if (rc == 0)
        st().blobs[obj(s)->blob].finished = true;
    return rc;
}
inline int f_store_destroy(bfst2_store *s, uint32_t, char **err)
{
    {
        std::lock_guard<std::mutex> g(st().mu);
        Blob &blob = st().blobs[obj(s)->blob];
        blob_abandon(blob.sink);
        blob.sink = nullptr;
    }
    destroy(s);
    return enter("store_destroy", err);
}
inline int f_buffer_create(uint32_t, bfst2_buffer **out, char **err)
{
    int rc = enter("buffer_create", err);
    if (rc == 0 && !hollow("buffer_create"))
        *out = make<bfst2_buffer>(5);
    return rc;
}
inline int f_buffer_attach(bfst2_buffer *b, void *mem, uint64_t len, uint32_t, char **err)
{
    int rc = enter("buffer_attach_memory", err);
    obj(b)->mem = mem;
    obj(b)->len = len;
    return rc;
}
inline int f_buffer_destroy(bfst2_buffer *b, uint32_t, char **err)
{
    destroy(b);
    return enter("buffer_destroy", err);
}
inline int f_tag_to_ascii(const unsigned char *tag, char *text, uint32_t size, char **err)
{
    int rc = enter("tag_to_ascii", err);
    if (rc != 0)
        return rc;
    size_t n = tag[0];
    if (size < 2 * n + 1)
        return BFST2_ERR_INVALID_ARG;
    for (size_t i = 0; i < n; ++i)
        snprintf(text + 2 * i, 3, "%02x", tag[1 + i]);
    return 0;
}
inline uint64_t f_tick_ms()
{
    std::lock_guard<std::mutex> g(st().mu);
    return st().clock_ms;
}
inline void f_sleep_ms(uint32_t ms)
{
    std::lock_guard<std::mutex> g(st().mu);
    st().sleeps.push_back(ms);
    st().clock_ms += ms;
}

inline const bfst_api &table()
{
    static const bfst_api t = {
        f_initialize,      f_finalize,        f_strerror,       f_free_error_string, f_cred_password,
        f_cred_cert,       f_cred_destroy,    f_handle_create,  f_connect,           f_open,
        f_get_tag_length,  f_disconnect,      f_handle_destroy, f_session_create,    f_session_start,
        f_session_finish,  f_session_destroy, f_store_create,   f_store_start,       f_store_buffer,
        f_store_tag,       f_link_stats,      f_op_stats,       f_store_finish,      f_store_destroy,
        f_buffer_create,   f_buffer_attach,   f_buffer_destroy, f_tag_to_ascii,      f_tick_ms,
        f_sleep_ms,
    };
    return t;
}

// Puts a fresh fake behind the table for the life of the object.
class Scope {
public:
    Scope()
    {
        reset();
        sink(nullptr);
        bfst_set_api(&table());
    }
    ~Scope()
    {
        bfst_set_api(nullptr);
        sink(nullptr);
    }
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

    static void reset()
    {
        State &s = st();
        std::lock_guard<std::mutex> g(s.mu);
        s.calls.clear();
        s.faults.clear();
        s.connect_codes.clear();
        s.slow.clear();
        s.no_object.clear();
        s.sleeps.clear();
        s.keep_bytes = true;
        s.tag_length = 32;
        s.blobs.clear();
        s.store_lengths.clear();
        s.cert_files.clear();
        s.live = 0;
        s.texts = 0;
    }
    void fail(const std::string &call, int code, int skip = 0, int times = -1)
    {
        std::lock_guard<std::mutex> g(st().mu);
        st().faults[call] = Fault{code, skip, times};
    }
    // Stores blobs in bs from now on (null: nowhere); kept across reset().
    void sink(blob_store *bs)
    {
        std::lock_guard<std::mutex> g(st().mu);
        st().sink = bs;
    }
    void slow(const std::string &call, uint64_t ms)
    {
        std::lock_guard<std::mutex> g(st().mu);
        st().slow[call] = ms;
    }
    State &state() { return st(); }
    int count(const std::string &call)
    {
        std::lock_guard<std::mutex> g(st().mu);
        int n = 0;
        for (const auto &c : st().calls)
            n += c == call;
        return n;
    }
    // Every object released and every error text returned.
    bool clean()
    {
        std::lock_guard<std::mutex> g(st().mu);
        return st().live == 0 && st().texts == 0;
    }
};

}  // namespace bfst_fake
