// The store path: the image cut into blobs, each stored inside its own
// session, tagged, held on the appliance and recorded as an extent together
// with its transfer statistics. The caller's bytes are attached to a library
// buffer and stored without copying.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "datamover/util.h"
#include "lib/common/com_util.h"
#include "lib/common/log.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnbfst_int.h"
#include "lib/common/pgnconfig.h"

namespace {

ost_mi_client *mi_of(const bfst_path *p) { return static_cast<ost_mi_client *>(p->mi_session); }

// The tag as hexadecimal text in text (2 * BFST_TAG_MAX + 1 bytes). Returns
// the library code.
int tag_text(bfst_path *p, const unsigned char *tag, char *text)
{
    const uint32_t len = p->ctx->tag_length;
    char *err = nullptr;
    text[0] = '\0';
    int rc = BFST_TIMED(p, nullptr, tag_to_ascii, tag, text, 2 * len + 1, &err);
    if (rc != 0)
        bfst_fail(rc, &err, "BFST tag_to_ascii failed.");
    bfst_release_error(&err);
    text[2 * len] = '\0';
    return rc;
}

// Stores one chunk of at most the room left in the blob. Returns the library
// code; *in_store tells whether the store was handed any bytes.
int store_chunk(bfst_path *p, const void *data, uint64_t len, bool *in_store)
{
    bfst_context *c = p->ctx;
    char *err = nullptr;
    bfst2_buffer *buf = nullptr;
    int rc = BFST_TIMED(p, nullptr, buffer_create, BFST2_NO_FLAGS, &buf, &err);
    rc = bfst_created(rc, buf);
    if (rc != 0) {
        bfst_fail(rc, &err, "BFST buffer create failed.");
    } else {
        rc = BFST_TIMED(p, nullptr, buffer_attach_memory, buf, const_cast<void *>(data), len, BFST2_NO_FLAGS, &err);
        if (rc != 0) {
            bfst_fail(rc, &err, "BFST buffer attach failed.");
        } else {
            uint64_t ms = 0;
            *in_store = true;
            rc = BFST_TIMED(p, &ms, store_buffer, c->store, buf, len, BFST2_NO_FLAGS, &err);
            p->close_latency_ms += ms;
            if (rc != 0)
                bfst_fail(rc, &err, "BFST buffer store failed.");
        }
    }
    bfst_release_error(&err);
    if (buf != nullptr) {
        int drc = BFST_TIMED(p, nullptr, buffer_destroy, buf, BFST2_NO_FLAGS, &err);
        if (drc != 0) {
            bfst_fail(drc, &err, "BFST buffer destroy failed.");
            if (rc == 0)
                rc = drc;
        }
        bfst_release_error(&err);
    }
    return rc;
}

}  // namespace

int pgnbfst_write_gp(bfst_path *p, const void *data, uint64_t len, uint64_t off, uint64_t *written)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr, "BFST path has no context\n");
    COM_ASSERT(data != nullptr || len == 0, "BFST write without data\n");
    *written = 0;
    if (c->failed != 0) {
        RLOG(LOG_LVL_ERROR, "BFST image is incomplete after an earlier failure (%s); nothing more is written to it\n",
             mi_status_name(c->failed));
        return c->failed;
    }
    if (off > c->image_offset) {
        if (c->blob_offset > 0) {
            RLOG(LOG_LVL_INFO, "BFST gap from offset %lld to %lld found, finish processing\n",
                 static_cast<long long>(c->image_offset), static_cast<long long>(off));
            int rc = finish_blob_in_image_gp(p);
            if (rc != 0)
                return rc;
        }
        c->image_offset = off;
    } else if (off < c->image_offset) {
        RLOG(LOG_LVL_ERROR, "BFST seek back from offset %lld not allowed\n", static_cast<long long>(c->image_offset));
        return MI_STS_EINTERNAL;
    }

    const unsigned char *src = static_cast<const unsigned char *>(data);
    int rc = 0;
    while (len > 0 && rc == 0) {
        uint64_t chunk = c->blob_size - c->blob_offset;
        if (chunk > len)
            chunk = len;
        if (!c->session_started) {
            int lrc = start_bfst_session(p);
            if (lrc == 0)
                lrc = start_bfst_store(p);
            if (lrc != 0) {
                if (c->session_started) {
                    int frc = finish_bfst_session(p);
                    if (frc != 0)
                        bfst_report_error(frc, nullptr, "BFST disconnection failed.");
                }
                rc = bfst_status_to_mi(lrc);
                break;
            }
        }
        bool in_store = false;
        int lrc = store_chunk(p, src, chunk, &in_store);
        if (lrc != 0) {
            rc = bfst_status_to_mi(lrc);
            // The blob may hold part of the chunk: it can no longer be trusted.
            if (in_store)
                c->failed = rc;
            break;
        }
        src += chunk;
        len -= chunk;
        c->image_offset += chunk;
        c->blob_offset += chunk;
        *written += chunk;
        p->ingest_data_bytes += chunk;
        if (c->blob_offset == c->blob_size)
            rc = finish_blob_in_image_gp(p);
    }
    return rc;
}

int start_bfst_store(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr && c->store == nullptr && c->session_started, "BFST store start out of order\n");
    char *err = nullptr;
    int rc = BFST_TIMED(p, nullptr, store_create, c->session, BFST2_NO_FLAGS, &c->store, &err);
    rc = bfst_created(rc, c->store);
    if (rc != 0) {
        bfst_fail(rc, &err, "BFST store create failed.");
    } else {
        uint32_t flags = 0x240 | (p->open_mode == BFST_OPEN_BACKUP ? 1 : 0);
        if (pgncfg().BFST_DEDUP.load() == 0)
            flags |= BFST2_STORE_NO_DEDUP;
        rc = BFST_TIMED(p, nullptr, store_start, c->store, flags, &err);
        if (rc != 0)
            bfst_fail(rc, &err, "BFST store start failed.");
    }
    bfst_release_error(&err);
    if (rc != 0 && c->store != nullptr) {
        int drc = BFST_TIMED(p, nullptr, store_destroy, c->store, BFST2_NO_FLAGS, &err);
        if (drc != 0)
            bfst_fail(drc, &err, "BFST store destroy failed.");
        bfst_release_error(&err);
    }
    if (rc != 0)
        c->store = nullptr;
    p->store_time = 0;
    return rc;
}

int finish_bfst_store(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr && c->store != nullptr, "BFST store finish without a store\n");
    char *err = nullptr;
    int rc = BFST_TIMED(p, nullptr, store_finish, c->store, BFST2_NO_FLAGS, &err);
    if (rc != 0)
        bfst_fail(rc, &err, "BFST store finish failed.");
    bfst_release_error(&err);
    if (p->flags & BFST_F_OP_STATS)
        get_chargeback_statistics(p);
    int drc = BFST_TIMED(p, nullptr, store_destroy, c->store, BFST2_NO_FLAGS, &err);
    if (drc != 0)
        bfst_fail(drc, &err, "BFST store destroy failed.");
    bfst_release_error(&err);
    c->store = nullptr;
    c->blob_offset = 0;
    return rc != 0 ? rc : drc;
}

int finish_blob_in_image_gp(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr && c->store != nullptr, "BFST blob finish without a store\n");
    const uint64_t image_off = c->image_offset;
    const uint64_t blob_off = c->blob_offset;

    if (c->failed != 0) {
        // Nothing of a blob in doubt becomes part of the image.
        finish_bfst_store(p);
        finish_bfst_session(p);
        return c->failed;
    }

    int status = 0;
    bool have_tag = false;
    bool held = false;
    unsigned char *tag = static_cast<unsigned char *>(malloc(c->tag_length + 1));
    if (tag == nullptr) {
        RLOG(LOG_LVL_ERROR, "malloc failed in %s\n", "finish_blob_in_image_gp");
        status = MI_STS_EMALLOC;
    } else {
        memset(tag, 0, c->tag_length + 1);
        tag[0] = static_cast<unsigned char>(c->tag_length);
        char *err = nullptr;
        uint64_t ms = 0;
        int rc = BFST_TIMED(p, &ms, store_tag, c->store, BFST2_NO_FLAGS, tag, &err);
        p->close_latency_ms += ms;
        if (rc != 0) {
            bfst_fail(rc, &err, "BFST store tag failed.");
            status = bfst_status_to_mi(rc);
        } else {
            have_tag = true;
            status = manage_tag(p, tag, MI_BFST_HOLD_TAG);
            held = status == 0;
        }
        bfst_release_error(&err);
    }
    get_link_statistics(p);
    int src = finish_bfst_store(p);
    int ssrc = finish_bfst_session(p);
    if (src != 0 || ssrc != 0) {
        if (have_tag)
            manage_tag(p, tag, MI_BFST_DROP_TAG);
        free(tag);
        c->failed = bfst_status_to_mi(src != 0 ? src : ssrc);
        return c->failed;
    }
    if (held)
        status = set_extent(p, image_off - blob_off, tag, blob_off);
    free(tag);
    // Bytes of a blob without an extent are missing from the image.
    if (status != 0)
        c->failed = status;
    return status;
}

void get_link_statistics(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr && c->store != nullptr, "BFST link statistics without a store\n");
    uint64_t s[4] = {0, 0, 0, 0};
    char *err = nullptr;
    int rc = BFST_TIMED(p, nullptr, store_get_link_statistics, c->store, BFST2_NO_FLAGS, s, &err);
    if (rc != 0)
        bfst_fail(rc, &err, "BFST get link statistics failed.");
    bfst_release_error(&err);
    RLOG(LOG_LVL_DEBUG,
         "Image Name: %s, Bytes written=%llu, KB/sec=%.1f, Bytes included =%llu, KB/sec %.1f, Bytes virtual_tx=%llu, "
         "Bytes actual_tx=%llu, Bytes virtual_rx=%llu, Bytes actual_rx=%llu, BFST time (ms)=%.1f\n",
         p->image_name != nullptr ? p->image_name : "", 0ULL, 0.0, 0ULL, 0.0, static_cast<unsigned long long>(s[0]),
         static_cast<unsigned long long>(s[2]), static_cast<unsigned long long>(s[1]),
         static_cast<unsigned long long>(s[3]), p->store_time * 1000.0);
    memcpy(p->link_stats, s, sizeof s);
}

void get_chargeback_statistics(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr && c->store != nullptr, "BFST operation statistics without a store\n");
    uint64_t s[3] = {0, 0, 0};
    char *err = nullptr;
    int rc = BFST_TIMED(p, nullptr, store_get_operation_statistics, c->store, BFST2_NO_FLAGS, s, &err);
    if (rc != 0)
        bfst_fail(rc, &err, "BFST get operation statistics failed.");
    bfst_release_error(&err);
    RLOG(LOG_LVL_DEBUG, "Image Name: %s, Bytes input=%llu, Bytes unique_precompressed=%llu, Bytes unique_compressed=%llu\n",
         p->image_name != nullptr ? p->image_name : "", static_cast<unsigned long long>(s[0]),
         static_cast<unsigned long long>(s[1]), static_cast<unsigned long long>(s[2]));
    memcpy(p->op_stats, s, sizeof s);
}

int manage_tag(bfst_path *p, const unsigned char *tag, uint32_t number)
{
    COM_ASSERT(p->ctx != nullptr && tag != nullptr && (number == MI_BFST_HOLD_TAG || number == MI_BFST_DROP_TAG),
               "BFST tag message without a tag or of number %#x\n", number);
    char text[2 * BFST_TAG_MAX + 1];
    int rc = tag_text(p, tag, text);
    if (rc != 0)
        return bfst_status_to_mi(rc);
    const bool hold = number == MI_BFST_HOLD_TAG;
    mi_tag_req req = {p->mi_fh, text};
    mi_status_reply reply = {};
    int status = mi_of(p) != nullptr ? miSendRequest(mi_of(p), number, &req, &reply) : KES_EINVAL;
    if (status != 0) {
        RLOG(LOG_LVL_ERROR, "Message(%s) send failed: %d\n", hold ? "MI_BFST_HOLD_TAG" : "MI_BFST_DROP_TAG", status);
    } else {
        if (reply.status != 0) {
            status = reply.status;
            RLOG(LOG_LVL_ERROR, "Received error(%d) from server\n", status);
        }
        RLOG(LOG_LVL_DEBUG, "%s tag for %s\n", hold ? "Hold" : "Drop", text);
    }
    mi_free_reply(number, &reply);
    return status;
}

int set_extent(bfst_path *p, uint64_t image_offset, const unsigned char *tag, uint64_t length)
{
    COM_ASSERT(p->ctx != nullptr && tag != nullptr, "BFST extent without a tag\n");
    char text[2 * BFST_TAG_MAX + 1];
    int rc = tag_text(p, tag, text);
    if (rc != 0)
        return bfst_status_to_mi(rc);
    mi_set_extent_req req = {};
    req.handle = p->mi_fh;
    req.image_offset = image_offset;
    req.tag = text;
    req.tag_offset = 0;
    req.length = length;
    req.virtual_sent = p->link_stats[0];
    req.virtual_received = p->link_stats[1];
    req.actual_sent = p->link_stats[2];
    req.actual_received = p->link_stats[3];
    req.store_time_ms = static_cast<uint64_t>(p->store_time * 1000.0);
    uint32_t number = MI_BFST_SET_EXTENT;
    if (p->flags & (BFST_F_OP_STATS | BFST_F_INGEST_STATS)) {
        req.bytes_input = p->op_stats[0];
        req.unique_precompressed = p->op_stats[1];
        req.unique_compressed = p->op_stats[2];
        number = MI_BFST_SET_EXTENT_STATS;
    }
    if (p->flags & BFST_F_INGEST_STATS) {
        req.ingest_data_bytes = p->ingest_data_bytes;
        req.ingest_unique_bytes = p->op_stats[1];
        req.close_latency_ms = p->close_latency_ms;
        number = MI_BFST_SET_EXTENT_ACCEL;
        RLOG(LOG_LVL_DEBUG,
             "Accelerator stats - IngestDataBytes:%" PRIu64 ", IngestUniqueBytes:%" PRIu64 ", IngestSynthBytes:%" PRIu64
             ", DataExtents:%" PRIu64 ", SynthExtents:%" PRIu64 ", CloseLatencyMS:%" PRIu64 ".\n",
             req.ingest_data_bytes, req.ingest_unique_bytes, req.ingest_synth_bytes, req.data_extents,
             req.synth_extents, req.close_latency_ms);
    }
    mi_status_reply reply = {};
    int status = mi_of(p) != nullptr ? miSendRequest(mi_of(p), number, &req, &reply) : KES_EINVAL;
    if (number == MI_BFST_SET_EXTENT_ACCEL) {
        p->ingest_data_bytes = 0;
        p->close_latency_ms = 0;
    }
    if (status != 0) {
        RLOG(LOG_LVL_ERROR, "Message(%d) send failed: %d\n", static_cast<int>(number), status);
    } else if (reply.status != 0) {
        status = reply.status;
        RLOG(LOG_LVL_ERROR, "Received error(%d) from server\n", status);
    } else {
        RLOG(LOG_LVL_DEBUG,
             "Set extent for BLOB tag %s img offset %#" PRIx64 " tag offset %#" PRIx64 " length %#" PRIx64 "\n", text,
             image_offset, static_cast<uint64_t>(0), length);
    }
    mi_free_reply(number, &reply);
    return status;
}
