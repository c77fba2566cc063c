// Stores of the transfer library: one blob each, streamed to the appliance
// from the caller's memory, sealed under a tag the appliance chooses.
#include "bfst/bfst2_int.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Adds the socket bytes of one store call to the store's link statistics.
class wire_meter {
public:
    explicit wire_meter(bfst2_store *s)
        : s_(s), link_(&s->sess->conn->link), sent_(link_->sent), recv_(link_->received)
    {
    }
    ~wire_meter()
    {
        s_->wire_sent += link_->sent - sent_;
        s_->wire_recv += link_->received - recv_;
    }
    wire_meter(const wire_meter &) = delete;
    wire_meter &operator=(const wire_meter &) = delete;

private:
    bfst2_store *s_;
    const bfst_link *link_;
    uint64_t sent_, recv_;
};

int store_failed(const bfst2_store *s, const char *op, char **err)
{
    return bfst2_fail(err, s->fail_code, "%s: the store failed earlier: %s", op, s->fail_text.c_str());
}

int store_fail(bfst2_store *s, int code, const char *text)
{
    s->state = BFST2_ST_FAILED;
    s->fail_code = code;
    s->fail_text = text;
    return code;
}

// Seals the blob (STORE_TAG) or ends the store (STORE_FINISH) and checks that
// the appliance holds exactly the bytes stored.
int seal(bfst2_store *s, uint8_t type, const char *op, char **err)
{
    bfst2_connection *c = s->sess->conn;
    bfst2_reply rep;
    int rc = bfst2_exchange(c, op, type, s->id, nullptr, 0, &rep, err);
    if (rc != BFST2_OK)
        return rc;
    bfst_tag_ok ok;
    if (bfst_tag_ok_decode(rep.payload, rep.hdr.len, c->tag_len, &ok) != 0)
        return bfst2_fail(err, store_fail(s, BFST2_ERR_PROTOCOL, "malformed tag answer"), "%s: malformed tag answer",
                          op);
    if (ok.bytes != s->bytes) {
        char text[160];
        snprintf(text, sizeof text, "the appliance holds %llu bytes of the %llu stored",
                 static_cast<unsigned long long>(ok.bytes), static_cast<unsigned long long>(s->bytes));
        return bfst2_fail(err, store_fail(s, BFST2_ERR_PROTOCOL, text), "%s: %s", op, text);
    }
    if (s->tag_len != 0 && memcmp(s->tag, ok.tag, ok.tag_len) != 0)
        return bfst2_fail(err, store_fail(s, BFST2_ERR_PROTOCOL, "tag changed"),
                          "%s: the appliance answered with another tag", op);
    s->tag_len = ok.tag_len;
    memcpy(s->tag, ok.tag, ok.tag_len);
    return BFST2_OK;
}

}  // namespace

extern "C" {

int bfst2_store_create(bfst2_session *sess, uint32_t, bfst2_store **out, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_store_create";
    if (!bfst2_live(sess) || out == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: no session or result", op);
    *out = nullptr;
    bfst2_connection *c = sess->conn;
    std::lock_guard<std::mutex> g(c->mu);
    auto *s = new (std::nothrow) bfst2_store;
    if (s == nullptr)
        return bfst2_fail(err, BFST2_ERR_NOMEM, "%s: out of memory", op);
    try {
        c->stores.push_back(s);
    } catch (...) {
        delete s;
        return bfst2_fail(err, BFST2_ERR_NOMEM, "%s: out of memory", op);
    }
    s->sess = sess;
    sess->stores++;
    *out = s;
    return BFST2_OK;
}

int bfst2_store_start(bfst2_store *s, uint32_t flags, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_store_start";
    if (!bfst2_live(s))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: not a store", op);
    bfst2_connection *c = s->sess->conn;
    std::lock_guard<std::mutex> g(c->mu);
    if (s->state != BFST2_ST_CREATED)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the store was started before", op);
    if (!s->sess->started)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the session is not started", op);
    wire_meter m(s);
    // Deduplicated whenever the appliance offers it, unless the caller says no.
    const bool dedup = (flags & BFST2_STORE_NO_DEDUP) == 0;
    flags &= ~BFST2_STORE_NO_DEDUP;
    if (dedup && (c->features & BFST_FEAT_DEDUP) != 0 && s->dd == nullptr) {
        int rc = bfst2_dedup_start(s, op, err);
        if (rc != BFST2_OK)
            return rc;
        flags |= BFST_STORE_DEDUP;
    }
    unsigned char p[BFST_FLAGS_SIZE];
    bfst2_reply rep;
    int rc = bfst2_exchange(c, op, BFST_STORE_START, s->sess->id, p, bfst_flags_encode(p, flags), &rep, err);
    if (rc != BFST2_OK) {
        bfst2_dedup_free(s);
        return rc;
    }
    if (rep.hdr.len != 0 || rep.hdr.id == 0)
        return bfst2_fail(err, store_fail(s, BFST2_ERR_PROTOCOL, "malformed store answer"),
                          "%s: malformed store answer", op);
    s->id = rep.hdr.id;
    s->state = BFST2_ST_STARTED;
    return BFST2_OK;
}

int bfst2_store_buffer(bfst2_store *s, bfst2_buffer *buffer, uint64_t length, uint32_t, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_store_buffer";
    if (!bfst2_live(s) || !bfst2_live(buffer))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: no store or buffer", op);
    if (length > buffer->len)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: %llu bytes asked from a buffer of %llu", op,
                          static_cast<unsigned long long>(length), static_cast<unsigned long long>(buffer->len));
    bfst2_connection *c = s->sess->conn;
    std::lock_guard<std::mutex> g(c->mu);
    if (s->state == BFST2_ST_FAILED)
        return store_failed(s, op, err);
    if (s->state != BFST2_ST_STARTED)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the store is %s", op,
                          s->state == BFST2_ST_CREATED ? "not started" : "already tagged or finished");
    wire_meter m(s);
    const auto *p = static_cast<const unsigned char *>(buffer->mem);
    uint64_t done = 0;
    do {
        // An error the appliance reported for this store ends it before more
        // bytes go out.
        int rc = bfst2_drain_async(c, op, err);
        if (rc != BFST2_OK)
            return rc;
        if (s->state == BFST2_ST_FAILED)
            return store_failed(s, op, err);
        if (length == 0)
            break;
        if (s->dd != nullptr)
            return bfst2_dedup_put(s, p, length, op, err);
        uint32_t n = uint32_t(length - done < c->max_data ? length - done : c->max_data);
        rc = bfst2_send_data(c, op, s->id, p + done, n, err);
        if (rc != BFST2_OK)
            return rc;
        done += n;
        s->bytes += n;
    } while (done < length);
    return BFST2_OK;
}

int bfst2_store_tag(bfst2_store *s, uint32_t, unsigned char *tag, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_store_tag";
    if (!bfst2_live(s) || tag == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: no store or tag buffer", op);
    bfst2_connection *c = s->sess->conn;
    std::lock_guard<std::mutex> g(c->mu);
    if (tag[0] != c->tag_len)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the tag buffer is for %u bytes, tags have %u", op,
                          unsigned(tag[0]), unsigned(c->tag_len));
    if (s->state == BFST2_ST_FAILED)
        return store_failed(s, op, err);
    if (s->state == BFST2_ST_CREATED)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the store is not started", op);
    if (s->state == BFST2_ST_STARTED) {
        wire_meter m(s);
        int rc = s->dd != nullptr ? bfst2_dedup_end(s, op, err) : BFST2_OK;
        if (rc == BFST2_OK)
            rc = seal(s, BFST_STORE_TAG, op, err);
        if (rc != BFST2_OK)
            return rc;
        s->state = BFST2_ST_SEALED;
    }
    memcpy(tag + 1, s->tag, s->tag_len);
    return BFST2_OK;
}

int bfst2_store_get_link_statistics(bfst2_store *s, uint32_t, uint64_t stats[4], char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(s) || stats == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_store_get_link_statistics: no store or result");
    std::lock_guard<std::mutex> g(s->sess->conn->mu);
    // Virtual: what the caller stored and received (this protocol hands the
    // caller no data); actual: what crossed the socket, framing and TLS
    // records included.
    stats[0] = s->bytes;
    stats[1] = 0;
    stats[2] = s->wire_sent;
    stats[3] = s->wire_recv;
    return BFST2_OK;
}

int bfst2_store_get_operation_statistics(bfst2_store *s, uint32_t, uint64_t stats[3], char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(s) || stats == nullptr)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_store_get_operation_statistics: no store or result");
    std::lock_guard<std::mutex> g(s->sess->conn->mu);
    // Input; the bytes of the chunks the appliance lacked; what they took
    // compressed. A store that is not deduplicated sends every byte as is.
    stats[0] = s->bytes;
    stats[1] = s->dd != nullptr ? s->unique_raw : s->bytes;
    stats[2] = s->dd != nullptr ? s->unique_stored : s->bytes;
    return BFST2_OK;
}

int bfst2_store_finish(bfst2_store *s, uint32_t, char **err)
{
    bfst2_err_clear(err);
    const char *op = "bfst2_store_finish";
    if (!bfst2_live(s))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: not a store", op);
    std::lock_guard<std::mutex> g(s->sess->conn->mu);
    if (s->state == BFST2_ST_FAILED)
        return store_failed(s, op, err);
    if (s->state != BFST2_ST_STARTED && s->state != BFST2_ST_SEALED)
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "%s: the store is %s", op,
                          s->state == BFST2_ST_CREATED ? "not started" : "already finished");
    wire_meter m(s);
    int rc = s->state == BFST2_ST_STARTED && s->dd != nullptr ? bfst2_dedup_end(s, op, err) : BFST2_OK;
    if (rc == BFST2_OK)
        rc = seal(s, BFST_STORE_FINISH, op, err);
    if (rc != BFST2_OK)
        return rc;
    s->state = BFST2_ST_FINISHED;
    return BFST2_OK;
}

int bfst2_store_destroy(bfst2_store *s, uint32_t, char **err)
{
    bfst2_err_clear(err);
    if (!bfst2_live(s))
        return bfst2_fail(err, BFST2_ERR_INVALID_ARG, "bfst2_store_destroy: not a store");
    bfst2_connection *c = s->sess->conn;
    std::lock_guard<std::mutex> g(c->mu);
    bfst2_dedup_free(s);
    if (s->state != BFST2_ST_CREATED && s->state != BFST2_ST_FINISHED && c->state == BFST2_OPEN) {
        // A store given up: the appliance removes its unsealed blob now
        // (it would at the end of the connection anyway).
        bfst2_reply rep;
        char *ignored = nullptr;
        bfst2_exchange(c, "bfst2_store_destroy", BFST_STORE_ABORT, s->id, nullptr, 0, &rep, &ignored);
        free(ignored);
    }
    for (auto it = c->stores.begin(); it != c->stores.end(); ++it) {
        if (*it == s) {
            c->stores.erase(it);
            break;
        }
    }
    s->sess->stores--;
    s->magic = BFST2_MAGIC_DEAD;
    delete s;
    return BFST2_OK;
}

}  // extern "C"
