// DM client, remote files: the file slots, open with a shadow file, write
// with optional write reservation, flush, close and delete by name.
#include "datamover/dm_int.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// Drops the file's pages, closes its shadow file and frees its slot.
void release_file(dm_client *dmc, dm_file *df)
{
    dm_file_run_release(df);
    if (df->f != nullptr) {
        pcache_sync_file(dmc->pc, df->f, pcache_drop_page, PCACHE_FL_SYNC);
        file_io_close(df->f);
        df->f = nullptr;
    }
    dm_client_file_put(dmc, df);
}

// ---------------------------------------------------------------- writing

// Sends the run held back, waiting for its answer when sync.
int push_run(dm_client *dmc, dm_file *df, bool sync)
{
    if (df->run_cnt == 0)
        return 0;
    const uint32_t cnt = df->run_cnt;
    df->run_cnt = 0;
    // The write operation owns the page references from here, on failure too.
    int rc = dmc->ops.write(dmc, df, df->run, cnt, df->run_off, df->run_len, sync);
    if (rc != 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "remote write failed [%d]\n", rc);
        // Bytes the caller was told were taken are lost: the file fails.
        file_io_set_error(df->f, rc);
        return rc;
    }
    DMLOG(dmc, UTIL_LOG_TRACE, "wrote f[%s] off[%lld] sz[%d]\n", df->rname, static_cast<long long>(df->run_off),
          static_cast<int>(df->run_len));
    return 0;
}

// Whether the write of [off, off + len) may go from the caller's buffer to
// the socket: whole pages, none of them in the cache (a page there holds
// bytes the write must replace), no reconnection (which would write a
// request again, long after the caller's buffer is gone), and one connection
// (a read of those bytes, which then finds nothing of them in the cache,
// goes behind the write on the same connection and so sees it).
bool write_direct(dm_client *dmc, dm_file *df, uint64_t off, uint32_t len)
{
    const uint64_t psz = pcache_page_size(dmc->pc);
    if ((dmc->flags & DM_CL_RECONNECT) || dmc->streams != 1 || off % psz != 0 || len % psz != 0 || len == 0)
        return false;
    // A single page goes on its own only while the connection keeps up: no
    // run is being gathered, the socket has taken all it was given, and the
    // window has room for the page at once. Otherwise the page waits in the
    // cache to travel in a larger run, so that a client held back by its
    // socket or its window sends (and waits for the answers to) whole runs,
    // not page after page.
    if (len == psz && (df->run_cnt != 0 || dmc->write_bytes_inflight + psz > dmc->window ||
                       !xcomm_endp_write_idle(&dmc->endp)))
        return false;
    for (uint64_t pos = off; pos < off + len; pos += psz) {
        pce *p = pcache_lookup(dmc->pc, df->f, pos, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
        if (p != nullptr) {
            pcache_freepg(p);
            pcache_unlock_page(p);
            return false;
        }
    }
    return true;
}

// Waits until n more bytes fit the window of writes not yet acknowledged
// (with the run held back counted in).
int window_wait(dm_client *dmc, dm_file *df, uint64_t n)
{
    const uint64_t held = df->run_cnt != 0 ? df->run_len : 0;
    while (dmc->write_bytes_inflight > 0 && dmc->write_bytes_inflight + held + n > dmc->window) {
        int rc = dm_waitfor_io_msgs(dmc, 1);
        if (rc == XCOMM_ERR_NOMSG)
            break;  // nothing outstanding after all
        if (rc != 0) {
            DMLOG(dmc, UTIL_LOG_WARNING, "dm_waitfor_io_msgs rc[%d]\n", rc);
            return rc;
        }
    }
    return 0;
}

// Sends [off, off + len): straight from buf when write_direct allows it,
// otherwise copied into cache pages. Pieces that continue one another gather
// into runs of consecutive pages, up to the client's run length; a run that
// the next write may still continue (it is not full, or its last page is) is
// held back, unless the write is synchronous. Returns len, or an error.
int write_pieces(dm_client *dmc, dm_file *df, const unsigned char *buf, uint64_t off, uint32_t len, bool sync)
{
    const uint64_t psz = pcache_page_size(dmc->pc);
    const uint32_t run_max = std::max<uint32_t>(1, dmc->run_max);
    df->io_started = 1;
    uint64_t pos = off;
    const uint64_t end = off + len;
    // A failure already known is this write's, as it would be if every
    // piece were sent at once.
    const int sticky = file_io_get_error(df->f);
    if (sticky != 0)
        return dm_data_error(sticky);
    // A synchronous write waits for what it sends; what was held back before
    // goes first, without waiting.
    if (sync) {
        int rc = push_run(dmc, df, false);
        if (rc != 0)
            return rc;
    } else if (write_direct(dmc, df, off, len)) {
        // Whole pages skip the copy into the cache: requests of up to the
        // run length go from the caller's buffer, and whatever of them the
        // socket has not taken is copied before the caller has its buffer
        // back.
        int rc = push_run(dmc, df, false);
        for (uint64_t done = 0; rc == 0 && done < len;) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(len - done, uint64_t{run_max} * psz));
            rc = window_wait(dmc, df, n);
            if (rc == 0)
                rc = dmc->ops.write_buf(dmc, df, buf + done, off + done, n);
            done += n;
        }
        if (rc != 0) {
            DMLOG(dmc, UTIL_LOG_WARNING, "remote write failed [%d]\n", rc);
            file_io_set_error(df->f, rc);  // bytes may be missing: the file fails
            return rc;
        }
        return static_cast<int>(len);
    }
    while (pos < end) {
        const uint64_t aligned = pos - pos % psz;
        const uint32_t n = static_cast<uint32_t>(std::min(end, aligned + psz) - pos);
        const bool at_end = df->run_cnt > 0 && pos == df->run_off + df->run_len;
        // Inside the run's last page, or on the page after it.
        const bool same_page = at_end && pos % psz != 0;
        const bool next_page = at_end && pos % psz == 0 && df->run_cnt < run_max;
        if (!same_page && !next_page) {
            int rc = push_run(dmc, df, sync);
            if (rc != 0)
                return rc;
        }
        if (same_page) {
            pce *p = df->run[df->run_cnt - 1];
            XASSERT(p->off == aligned);
            pcache_lock_page(p);
            memcpy(p->buf + (pos - aligned), buf + (pos - off), n);
            pcache_page_set_usz(p, pos - aligned + n);
            pcache_unlock_page(p);
            df->run_len += n;
            pos += n;
            continue;
        }
        // No more than the window written and not yet acknowledged, with
        // the run this page joins counted in.
        int wrc = window_wait(dmc, df, n);
        if (wrc != 0)
            return wrc;
        while (pcache_free_count(dmc->pc) == 0) {
            // Pages held back (by this file or another one of the client)
            // would never come free by waiting.
            // Another file's failure is that file's to report.
            for (dm_file &other : dmc->files)
                if (&other != df && other.run_cnt != 0)
                    (void)push_run(dmc, &other, false);
            int rc = push_run(dmc, df, false);
            if (rc == 0)
                rc = dm_waitfor_io_msgs(dmc, 1);
            if (rc == 0)
                continue;
            DMLOG(dmc, UTIL_LOG_WARNING, "dm_waitfor_io_msgs rc[%d]\n", rc);
            return rc == XCOMM_ERR_NOMSG ? DM_ERR_NOPAGE : rc;
        }
        pce *p = pcache_get_wpage(dmc->pc, df->f, aligned, 16, PCACHE_FL_SYNC);
        if (p == nullptr) {
            DMLOG(dmc, UTIL_LOG_WARNING, "page allocation failed\n");
            return DM_ERR_NOMEM;
        }
        memcpy(p->buf + (pos - aligned), buf + (pos - off), n);
        pcache_page_set_usz(p, pos - aligned + n);
        pcache_unlock_page(p);
        if (df->run_cnt == 0) {
            df->run_off = pos;
            df->run_len = 0;
        }
        df->run[df->run_cnt++] = p;
        df->run_len += n;
        pos += n;
        if (df->run_cnt == run_max && pos % psz == 0) {
            int rc = push_run(dmc, df, sync);
            if (rc != 0)
                return rc;
        }
    }
    int rc = sync ? push_run(dmc, df, true) : 0;
    return rc != 0 ? rc : static_cast<int>(len);
}

}  // namespace

// ---------------------------------------------------------------- slots

dm_file *dm_client_file_get(dm_client *dmc)
{
    std::lock_guard<std::mutex> g(dmc->lock);
    dm_file *df = dmc->free_slots;
    if (df == nullptr)
        return nullptr;
    dmc->free_slots = df->next;
    df->next = nullptr;
    dmc->free_slot_cnt--;
    return df;
}

void dm_client_file_put(dm_client *dmc, dm_file *df)
{
    std::lock_guard<std::mutex> g(dmc->lock);
    df->f = nullptr;
    df->dc = nullptr;
    df->gen++;
    df->inflight = 0;
    df->next = dmc->free_slots;
    dmc->free_slots = df;
    dmc->free_slot_cnt++;
}

int dm_file_push(dm_client *dmc, dm_file *df) { return push_run(dmc, df, false); }

void dm_file_run_release(dm_file *df)
{
    for (uint32_t i = 0; i < df->run_cnt; i++) {
        pcache_lock_page(df->run[i]);
        pcache_freepg(df->run[i]);
        pcache_unlock_page(df->run[i]);
        df->run[i] = nullptr;
    }
    df->run_cnt = 0;
    df->run_len = 0;
}

// ---------------------------------------------------------------- operations

dm_file *dm_file_open(dm_client *dmc, const char *name, int flags, int *errp)
{
    if (dmc == nullptr || errp == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments dc(%p), errp(%p)\n", static_cast<void *>(dmc),
              static_cast<void *>(errp));
        if (errp != nullptr)
            *errp = DM_ERR_INVALID_ARGS;
        return nullptr;
    }
    if (dmc->pc == nullptr || name == nullptr) {
        DMLOG(dmc, UTIL_LOG_WARNING, "Invalid Arguments dc(%p), dc->pc(%p)\n", static_cast<void *>(dmc),
              static_cast<void *>(dmc->pc));
        *errp = DM_ERR_INVALID_ARGS;
        return nullptr;
    }
    if (strlen(name) >= DM_OPEN_NAME_MAX) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_rmt_open failed for %s, dm_error:%s\n", name,
              util_err_name(DM_ERR_INVALID_LEN));
        *errp = DM_ERR_INVALID_LEN;
        return nullptr;
    }
    dm_file *df = dm_client_file_get(dmc);
    if (df == nullptr) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_client_file_get failed\n");
        *errp = DM_ERR_NOFILES;
        return nullptr;
    }
    df->flags = 0;
    df->credit = 0;
    df->run_cnt = 0;
    df->run_len = 0;
    df->io_started = 0;
    df->inflight = 0;
    df->ra_factor = util_size_mb();
    df->sums_state = DM_SUMS_UNKNOWN;
    df->sums_count = 0;
    df->fault[0] = '\0';
    df->gen++;
    util_strlcpy(df->rname, name, sizeof df->rname);

    char path[DM_SHADOW_PATH_MAX];
    int err = 0;
    file_io *f = dm_shadow_create(dmc, name, path, sizeof path, &err);
    if (f == nullptr) {
        dm_client_file_put(dmc, df);
        *errp = err != 0 ? err : FILE_ERR_OPEN;
        return nullptr;
    }
    // Only the open descriptor is needed: the name goes at once, and the
    // file disappears when it is closed.
    if (file_io_unlink(path) == 0) {
        DMLOG(dmc, UTIL_LOG_INFO, "Deleting shadow file %s for file %s, status %d\n", path, name, 0);
    } else {
        int e = util_errno_to_kes(errno);
        DMLOG(dmc, UTIL_LOG_INFO, "Deleting shadow file %s for file %s failed, errno %d: %s\n", path, name, e,
              util_strerror(e));
    }
    df->f = f;
    int rc = dmc->ops.open(dmc, df, name, flags);
    if (rc != 0) {
        if (rc != DM_ERR_NOFILES)
            DMLOG(dmc, UTIL_LOG_WARNING, "dm_rmt_open failed for %s, dm_error:%s\n", name, util_err_name(rc));
        file_io_close(f);
        df->f = nullptr;
        dm_client_file_put(dmc, df);
        *errp = rc;
        return nullptr;
    }
    df->dc = dmc;
    DMLOG(dmc, UTIL_LOG_DEBUG, "dc = %p, file name = %s\n", static_cast<void *>(dmc), name);
    *errp = 0;
    return df;
}

int dm_file_write(dm_file *df, const void *buf, uint64_t off, uint32_t len)
{
    if (df == nullptr || df->f == nullptr || (buf == nullptr && len > 0)) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
              df != nullptr ? static_cast<void *>(df->f) : nullptr);
        return DM_ERR_INVALID_ARGS;
    }
    dm_client *dmc = df->dc;
    if (dmc == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments dc(NULL)\n");
        return DM_ERR_BADFILE;
    }
    if (off > DM_MAX_FILE_END || len > DM_MAX_FILE_END - off || len > static_cast<uint32_t>(INT_MAX)) {
        DMLOG(dmc, UTIL_LOG_WARNING, "Invalid Offset: off=%llu\n", static_cast<unsigned long long>(off));
        return DM_ERR_INVALID_LEN;
    }
    const auto *src = static_cast<const unsigned char *>(buf);
    const int64_t step = static_cast<int64_t>(dmc->config.pref_reserve_mb) * 1048576;
    int rc;
    if (!(df->flags & DM_FILE_RESERVE) || step == 0) {
        rc = write_pieces(dmc, df, src, off, len, false);
    } else if (df->credit < static_cast<int64_t>(len)) {
        rc = write_pieces(dmc, df, src, off, len, true);
        if (rc >= 0)
            df->credit += step - static_cast<int64_t>(len);
    } else {
        rc = write_pieces(dmc, df, src, off, len, false);
        if (rc >= 0)
            df->credit -= static_cast<int64_t>(len);
    }
    if (rc < 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "off=%llu, len=%d failed [rc=%d]\n", static_cast<unsigned long long>(off),
              static_cast<int>(len), rc);
        return rc;
    }
    // Lack of space stays on the file: every later write, the flush and the
    // close report it too.
    if (file_io_get_error(df->f) == DM_ERR_NOSPC)
        return DM_ERR_NOSPC;
    return rc;
}

int dm_file_flush(dm_file *df)
{
    if (df == nullptr || df->f == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
              df != nullptr ? static_cast<void *>(df->f) : nullptr);
        return DM_ERR_INVALID_ARGS;
    }
    dm_client *dmc = df->dc;
    if (dmc == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments: dc(NULL)\n");
        return DM_ERR_BADFILE;
    }
    // Pages held back go out, and answers of writes already sent come
    // first, so that their failures count for this flush.
    int wrc = dm_file_push(dmc, df);
    int drc = dm_drain(dmc);
    if (wrc == 0)
        wrc = drc;
    int rc = dmc->ops.flush(dmc, df);
    if (rc == 0)
        rc = wrc;
    if (rc != 0)
        release_file(dmc, df);
    return rc;
}

int dm_file_close(dm_file *df)
{
    if (df == nullptr || df->f == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
              df != nullptr ? static_cast<void *>(df->f) : nullptr);
        return DM_ERR_INVALID_ARGS;
    }
    dm_client *dmc = df->dc;
    if (dmc == nullptr)
        return DM_ERR_BADFILE;
    int wrc = dm_file_push(dmc, df);
    int drc = dm_drain(dmc);
    if (wrc == 0)
        wrc = drc;
    int crc = dmc->ops.close(dmc, df);
    release_file(dmc, df);
    return wrc != 0 ? wrc : crc;
}

int dm_file_delete(dm_client *dmc, const char *name)
{
    if (dmc == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Argument: dmc(NULL)\n");
        return DM_ERR_INVALID_ARGS;
    }
    if (name == nullptr) {
        DMLOG(dmc, UTIL_LOG_WARNING, "Invalid Arguments: path NULL\n");
        return DM_ERR_INVALID_ARGS;
    }
    dm_shadow_remove(dmc, name);
    return dmc->ops.remove(dmc, name);
}
