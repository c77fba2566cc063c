// DM client, remote file operations: the operations table and its requests
// (open, close-form close and flush, delete by name, read of a page, write
// from a page).
#include "datamover/dm_int.h"

#include <algorithm>
#include <climits>
#include <cstring>

// A close-form request (close, flush) and what its answer means for the file.
static int close_form(dm_client *dmc, dm_file *df, uint8_t cmd)
{
    xcomm_msg *req = xcomm_msg_alloc(static_cast<uint32_t>(DM_HDR_SIZE));
    if (req == nullptr)
        return DM_ERR_NOMEM;
    XASSERT(req->sgl[0].iov_len == get_dm_close_req_size(&dmc->endp, nullptr));
    dm_close_req_encode(cmd, df->handle, req->sgl[0].iov_base, req->sgl[0].iov_len);
    xcomm_msg *rsp = nullptr;
    int rc = dm_send_sync(dmc, req, &rsp);
    if (rc != 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_close_req failed - [%d]\n", rc);
        return rc;
    }
    dm_hdr h;
    rc = dm_hdr_decode(&h, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len);
    dm_msg_release(rsp);
    if (rc < 0 || h.cmd != cmd) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_close_req failed - [%d]\n", DM_ERR_BADMSG);
        return DM_ERR_BADMSG;
    }
    int status = dm_hdr_status(&h);
    if (status != 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_close_req failed - [%d]\n", status);
        return status;
    }
    // Any failure of the file's data, lack of space included, fails the
    // close: a file is never reported whole when some of it did not arrive.
    int sticky = file_io_get_error(df->f);
    if (sticky != 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "file error found - [%d]\n", sticky);
        return sticky;
    }
    DMLOG(dmc, UTIL_LOG_DEBUG, "dm_close_req ok\n");
    return 0;
}

static int rmt_open(dm_client *dmc, dm_file *df, const char *rname, int flags)
{
    if ((flags & KES_O_CREAT) || (flags & DM_O_RESERVE))
        df->flags |= DM_FILE_RESERVE;
    df->cl_ra_start = 0;
    df->cl_ra_end = 0;
    df->ra_started = 0;
    df->stats.uid = dm_open_id(df->f->st.st_uid);
    df->stats.gid = dm_open_id(df->f->st.st_gid);
    dm_open_msg om;
    memset(&om, 0, sizeof om);
    dm_hdr_init(&om.hdr, DM_CMD_OPEN, static_cast<uint32_t>(df->idx) << 16, 0);
    om.stats = df->stats;
    om.oflags = dm_open_oflags(flags);
    xcomm_msg *rsp = nullptr;
    int rc = dm_request(
        dmc, dm_open_req_len(rname), [&](void *buf, size_t len) { return dm_open_req_encode(&om, rname, buf, len); },
        &rsp);
    if (rc != 0)
        return rc;
    dm_open_msg got;
    const bool sized = rsp->sgl[0].iov_len == DM_OPEN_MSG_SIZE;
    rc = sized ? dm_open_decode(&got, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len) : DM_ERR_BADMSG;
    dm_msg_release(rsp);
    if (rc < 0 || got.hdr.cmd != DM_CMD_OPEN) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_open_req[%s] failed - [%d]\n", rname, DM_ERR_BADMSG);
        return DM_ERR_BADMSG;
    }
    int status = dm_hdr_status(&got.hdr);
    if (status != 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_open_req[%s] failed - [%d]\n", rname, status);
        return status;
    }
    // Every answer about this file is routed by the slot, so the appliance
    // must keep the one the client chose.
    if (got.hdr.slot != df->idx) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_open_req[%s] answered for slot %u instead of %u\n", rname, got.hdr.slot,
              df->idx);
        return DM_ERR_BADMSG;
    }
    df->handle = dm_hdr_handle(&got.hdr);
    df->stats = got.stats;
    df->f->st.st_size = static_cast<off_t>(std::min<uint64_t>(got.stats.sz, static_cast<uint64_t>(LLONG_MAX)));
    DMLOG(dmc, UTIL_LOG_DEBUG, "dm_open_req[%s] ok\n", rname);
    return 0;
}

static int rmt_close(dm_client *dmc, dm_file *df) { return close_form(dmc, df, DM_CMD_CLOSE); }
static int rmt_flush(dm_client *dmc, dm_file *df) { return close_form(dmc, df, DM_CMD_FLUSH); }
static int rmt_close9(dm_client *dmc, dm_file *df) { return close_form(dmc, df, DM_CMD_CLOSE9); }
static int rmt_noop(dm_client *) { return 0; }

static int rmt_delete(dm_client *dmc, const char *name)
{
    xcomm_msg *rsp = nullptr;
    int rc = dm_request(
        dmc, dm_delete_req_len(name), [&](void *buf, size_t len) { return dm_delete_req_encode(name, buf, len); },
        &rsp);
    if (rc != 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_delete_req[%s] failed - [%d]\n", name, rc);
        return rc;
    }
    dm_hdr h;
    rc = dm_hdr_decode(&h, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len);
    dm_msg_release(rsp);
    if (rc < 0 || h.cmd != DM_CMD_DELETE) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_delete_req[%s] failed - [%d]\n", name, DM_ERR_BADMSG);
        return DM_ERR_BADMSG;
    }
    int status = dm_hdr_status(&h);
    if (status != 0)
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_delete_req[%s] failed - [%d]\n", name, status);
    else
        DMLOG(dmc, UTIL_LOG_TRACE, "dm_delete_req[%s] ok\n", name);
    return status;
}

// Takes a request for bytes [off, off + len) of df with its DM header
// encoded. nullptr, with *rc set, when no request is free or the file has
// already failed.
static dm_pmsg *rw_request(dm_client *dmc, dm_file *df, uint8_t cmd, uint64_t off, uint32_t len, int *rc)
{
    *rc = 0;
    dm_pmsg *pm = dm_msg_get_req(dmc, rc);
    if (pm == nullptr)
        return nullptr;
    int sticky = file_io_get_error(df->f);
    if (sticky != 0) {
        dm_msg_put(pm);
        *rc = dm_data_error(sticky);
        return nullptr;
    }
    pm->cmd = cmd;
    pm->df = df;
    pm->df_gen = df->gen;
    pm->off = off;
    pm->len = len;
    dm_rw_hdr_encode(cmd, df->handle, off, len, pm->msg->sgl[0].iov_base, DM_HDR_SIZE);
    return pm;
}

// Reads [off, off + len): one page, or a run of consecutive pages of at most
// the client's run length.
static int rmt_read_page(dm_client *dmc, dm_file *df, uint64_t off, uint32_t len)
{
    const uint64_t psz = pcache_page_size(dmc->pc);
    XASSERT(len > 0 && off % psz + len <= static_cast<uint64_t>(std::max<uint32_t>(1, dmc->run_max)) * psz);
    file_io_clear_error(df->f);
    int rc = 0;
    dm_pmsg *pm = rw_request(dmc, df, DM_CMD_READ, off, len, &rc);
    if (pm == nullptr)
        return rc;
    xcomm_msg *m = pm->msg;
    DMLOG(dmc, UTIL_LOG_TRACE, "filename = %s, pce offset=%llu\n", df->rname, static_cast<unsigned long long>(off));
    if (dmc->batch_reads)
        m->flag |= XCOMM_MSG_MORE;
    df->inflight++;
    dmc->reads_inflight++;
    rc = dm_send_async(dmc, m);
    if (rc != 0) {
        df->inflight--;
        dmc->reads_inflight--;
        pm->df = nullptr;
        dm_msg_put(pm);
    }
    return rc;
}

// Sends bytes [off, off + len) of a run of consecutive pages, each page one
// entry behind the DM header. The request keeps the pages' references until
// its answer; on failure they are dropped here.
static int rmt_write(dm_client *dmc, dm_file *df, pce *const *pages, uint32_t npages, uint64_t off, uint32_t len,
                     bool sync)
{
    auto drop_page = [&]() {
        for (uint32_t i = 0; i < npages; i++) {
            pcache_lock_page(pages[i]);
            pcache_freepg(pages[i]);
            pcache_unlock_page(pages[i]);
        }
    };
    int rc = 0;
    dm_pmsg *pm = rw_request(dmc, df, DM_CMD_WRITE, off, len, &rc);
    if (pm == nullptr) {
        drop_page();
        return rc;
    }
    const uint64_t psz = pcache_page_size(dmc->pc);
    XASSERT(len > 0 && npages >= 1 && npages <= DM_MAX_RUN && off % psz + len <= npages * psz &&
            off % psz + len > (npages - 1) * psz);
    xcomm_msg *m = pm->msg;
    uint64_t pos = off;
    const uint64_t end = off + len;
    for (uint32_t i = 0; i < npages; i++) {
        const uint64_t aligned = pos - pos % psz;
        XASSERT(pages[i]->off == aligned);
        const uint64_t n = std::min(end, aligned + psz) - pos;
        m->sgl[1 + i].iov_len = static_cast<uint32_t>(n);
        m->sgl[1 + i].iov_base = pages[i]->buf + (pos - aligned);
        pm->pages[i] = pages[i];
        pos += n;
    }
    pm->npages = npages;
    m->sgl_ents = static_cast<int32_t>(1 + npages);
    df->inflight++;
    dmc->write_bytes_inflight += len;
    rc = dm_send_async(dmc, m);
    if (rc != 0) {
        df->inflight--;
        dmc->write_bytes_inflight -= len;
        for (uint32_t i = 0; i < npages; i++)
            pm->pages[i] = nullptr;
        pm->npages = 0;
        pm->df = nullptr;
        dm_msg_put(pm);
        drop_page();
        return rc;
    }
    if (!sync)
        return 0;
    rc = dm_wait_req(dmc, pm);
    if (rc != 0)
        return rc;
    return dm_data_error(file_io_get_error(df->f));
}

// What the socket has not yet taken of a write from the caller's buffer is
// copied into cache pages, which the request then sends from and keeps until
// its answer, so that the caller may have its buffer back. Without free pages
// enough for it, waits until the socket has taken every byte instead.
static int keep_unsent(dm_client *dmc, dm_file *df, dm_pmsg *pm, uint32_t ticket)
{
    xcomm_msg *m = pm->msg;
    if (!pm->in_use || pm->ticket != ticket || m->status != XCOMM_MSG_BUSY || m->bytes_processed >= m->total_bytes)
        return 0;
    const uint64_t psz = pcache_page_size(dmc->pc);
    const uint32_t pages = static_cast<uint32_t>(m->sgl_ents - 1);
    // The transport's header and the DM header go first; page i is on the
    // wire once the bytes written reach past its end.
    const uint64_t sent = m->bytes_processed;
    const uint64_t before = XCOMM_HDR_SIZE + DM_HDR_SIZE;
    const uint32_t first = sent <= before ? 0 : static_cast<uint32_t>((sent - before) / psz);
    if (pcache_free_count(dmc->pc) < pages - first)
        return dm_wait_written(dmc, pm, ticket);
    for (uint32_t i = first; i < pages; i++) {
        pce *p = pcache_get_wpage(dmc->pc, df->f, pm->off + i * psz, 16, PCACHE_FL_SYNC);
        if (p == nullptr)
            return dm_wait_written(dmc, pm, ticket);
        memcpy(p->buf, m->sgl[1 + i].iov_base, psz);
        pcache_page_set_usz(p, static_cast<uint32_t>(psz));
        pcache_unlock_page(p);
        pm->pages[pm->npages++] = p;
        // Same bytes at the same place: what the transport has written of
        // this entry stays counted.
        m->sgl[1 + i].iov_base = p->buf;
    }
    return 0;
}

// Sends [off, off + len) of whole pages from the caller's buffer: what the
// socket does not take at once is copied into cache pages (keep_unsent).
static int rmt_write_buf(dm_client *dmc, dm_file *df, const unsigned char *src, uint64_t off, uint32_t len)
{
    const uint64_t psz = pcache_page_size(dmc->pc);
    XASSERT(!(dmc->flags & DM_CL_RECONNECT) && len > 0 && off % psz == 0 && len % psz == 0 &&
            len <= uint64_t{std::max<uint32_t>(1, dmc->run_max)} * psz);
    int rc = 0;
    dm_pmsg *pm = rw_request(dmc, df, DM_CMD_WRITE, off, len, &rc);
    if (pm == nullptr)
        return rc;
    xcomm_msg *m = pm->msg;
    uint32_t i = 0;
    for (uint64_t done = 0; done < len; done += psz, i++) {
        m->sgl[1 + i].iov_len = static_cast<uint32_t>(psz);
        m->sgl[1 + i].iov_base = const_cast<unsigned char *>(src + done);
    }
    m->sgl_ents = static_cast<int32_t>(1 + i);
    df->inflight++;
    dmc->write_bytes_inflight += len;
    const uint32_t ticket = pm->ticket;
    rc = dm_send_async(dmc, m);
    if (rc != 0) {
        df->inflight--;
        dmc->write_bytes_inflight -= len;
        pm->df = nullptr;
        dm_msg_put(pm);
        return rc;
    }
    return keep_unsent(dmc, df, pm, ticket);
}

void dm_file_ops_init(dm_ops *ops)
{
    ops->open = rmt_open;
    ops->close = rmt_close;
    ops->flush = rmt_flush;
    ops->close9 = rmt_close9;
    ops->remove = rmt_delete;
    ops->read_page = rmt_read_page;
    ops->write = rmt_write;
    ops->write_buf = rmt_write_buf;
    ops->noop = rmt_noop;
    ops->set_xattr = dm_rmt_set_xattr;
    ops->get_xattr = dm_rmt_get_xattr;
}
