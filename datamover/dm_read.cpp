// DM client, reading: pages found or awaited while their read is in flight,
// read-ahead of the reader, and each page checked against the appliance's
// checksum before a byte of it is returned.
#include "datamover/dm_int.h"

#include "datamover/md5.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The page at aligned offset off, locked and referenced, once no read is
// landing in it; null when there is none (and none is coming), or when st
// (the page's state in the waiting reader's buffer, or null) says it landed
// in the reader's buffer instead.
pce *find_page(dm_client *dmc, dm_file *df, uint64_t off, const uint8_t *st, int *errp)
{
    *errp = 0;
    for (;;) {
        if (st != nullptr && *st == DM_DIRECT_DONE)
            return nullptr;
        pce *p = pcache_lookup(dmc->pc, df->f, off, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
        if (p != nullptr && !pcache_page_filling(p))
            return p;
        if (p != nullptr) {
            pcache_freepg(p);
            pcache_unlock_page(p);
        } else if (!dm_read_inflight(dmc, df, off)) {
            return nullptr;
        }
        if (!xcomm_endp_busy(&dmc->endp)) {
            p = pcache_lookup(dmc->pc, df->f, off, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
            if (p != nullptr && pcache_page_filling(p)) {
                DMLOG(dmc, UTIL_LOG_WARNING, "unexpected pce state, offset=%llu\n", static_cast<unsigned long long>(off));
                pcache_freepg(p);
                pcache_unlock_page(p);
                p = nullptr;
            }
            return p;
        }
        int rc = dm_waitfor_io_msgs(dmc, 1);
        if (rc == 0 || rc == XCOMM_ERR_NOMSG)
            continue;
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_waitfor_io_msgs rc[%d]\n", rc);
        *errp = rc;
        return nullptr;
    }
}

// Opens the reader's buffer (bytes [off, end) of df go to buf) to the answers
// that arrive while it waits: its whole pages may land there (see dm_direct).
void direct_begin(dm_client *dmc, dm_file *df, unsigned char *buf, uint64_t off, uint64_t end)
{
    dm_direct &d = dmc->direct;
    const uint64_t psz = pcache_page_size(dmc->pc);
    d.seq++;
    d.first = (off + psz - 1) / psz * psz;
    d.npages = 0;
    for (uint64_t a = d.first; a < end && d.npages < DM_DIRECT_MAX; a += psz) {
        if (a + std::min(psz, df->stats.sz - a) > end)
            break;
        d.state[d.npages++] = DM_DIRECT_NONE;
    }
    if (d.npages == 0)
        return;
    d.df = df;
    d.gen = df->gen;
    d.buf = buf + (d.first - off);
}

// Closes the reader's buffer again. An answer still landing in it (the read
// failed while it arrived) has those entries turned to the scratch page:
// nothing is written into the caller's memory once the read has returned.
void direct_end(dm_client *dmc)
{
    dm_direct &d = dmc->direct;
    if (d.df == nullptr)
        return;
    bool landing = false;
    for (uint32_t k = 0; k < d.npages; k++)
        landing = landing || d.state[k] == DM_DIRECT_LANDING;
    if (landing) {
        for (int i = 0; i < DM_POOL_MSGS; i++) {
            dm_pmsg &pm = dmc->pool[i];
            if (!pm.in_use || pm.is_req || pm.direct == 0)
                continue;
            for (int e = 0; e < pm.msg->sgl_ents; e++)
                if (pm.direct & (1u << e))
                    pm.msg->sgl[e].iov_base = dmc->scratch;
            pm.direct = 0;
        }
    }
    d.df = nullptr;
    d.buf = nullptr;
    d.npages = 0;
}

// Issues the reads of [start, start + len) that are neither cached nor on
// their way: pieces that never cross a page, consecutive ones gathered into
// one request of up to run_max pages (which, when lined_up, never crosses a
// multiple of run_max pages); *done counts the bytes covered.
int read_ahead_issue(dm_client *dmc, dm_file *df, uint64_t start, uint64_t len, uint32_t run_max, bool lined_up,
                     uint64_t *done)
{
    const uint64_t psz = pcache_page_size(dmc->pc);
    const uint64_t run_bytes = uint64_t{run_max} * psz;
    uint64_t run_off = 0;
    uint64_t run_len = 0;
    uint32_t run_cnt = 0;
    auto send_run = [&]() {
        if (run_cnt == 0)
            return 0;
        run_cnt = 0;
        return dmc->ops.read_page(dmc, df, run_off, static_cast<uint32_t>(run_len));
    };
    while (*done < len) {
        const uint64_t pos = start + *done;
        const uint64_t piece = std::min(len - *done, psz - pos % psz);
        const uint64_t aligned = pos - pos % psz;
        bool have = dm_read_inflight(dmc, df, pos);
        if (!have && pos == aligned) {
            pce *p = pcache_lookup(dmc->pc, df->f, aligned, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
            if (p != nullptr) {
                have = p->usz >= piece;
                pcache_freepg(p);
                pcache_unlock_page(p);
            }
        }
        if (have ||
            (run_cnt > 0 &&
             (run_cnt == run_max || pos != run_off + run_len || pos != aligned || (lined_up && pos % run_bytes == 0)))) {
            int rc = send_run();
            if (rc != 0)
                return rc;
        }
        if (!have) {
            if (run_cnt == 0) {
                run_off = pos;
                run_len = 0;
            }
            run_cnt++;
            run_len += piece;
        }
        *done += piece;
    }
    return send_run();
}

// Issues reads ahead of the reader (see the invariants below).
int read_ahead(dm_client *dmc, dm_file *df, uint64_t o, uint32_t n)
{
    const uint64_t psz = pcache_page_size(dmc->pc);
    const uint64_t a = o - o % psz;
    const uint64_t s = ((static_cast<uint64_t>(n) + psz) / psz) * psz;
    if (df->cl_ra_end > df->cl_ra_start && df->cl_ra_end - df->cl_ra_start > dmc->cache_bytes && a >= df->cl_ra_start &&
        a + s <= df->cl_ra_end)
        return 0;
    // cl_ra_start is page-aligned; cl_ra_end is page-aligned or the file size.
    XASSERT(df->cl_ra_start % psz == 0);
    XASSERT(df->cl_ra_end % psz == 0 || df->cl_ra_end == df->stats.sz);
    uint64_t start;
    uint64_t len;
    const bool first = !df->ra_started;
    if (first) {
        len = static_cast<uint64_t>(df->ra_factor) * s;
        start = a;
        df->cl_ra_end = a;
        df->ra_started = 1;
    } else {
        len = s;
        start = (df->cl_ra_start <= a && a <= df->cl_ra_end) ? df->cl_ra_end : a;
    }
    // Reads ahead go out a whole run at a time: a reader of one page per
    // call tops the window up once a run's worth of it was consumed. A reader
    // of two whole pages or more at a time gets runs of its own size, lined
    // up with its reads: the answer it waits for then lands whole in its
    // buffer, with no copy from the cache.
    uint32_t run_max = std::max<uint32_t>(1, dmc->run_max);
    const bool lined_up = o % psz == 0 && n % psz == 0 && n / psz >= 2;
    if (lined_up)
        run_max = static_cast<uint32_t>(std::min<uint64_t>(run_max, n / psz));
    const uint64_t run_bytes = uint64_t{run_max} * psz;
    len = std::max(len, run_bytes);
    if (start >= df->stats.sz)
        return 0;
    len = std::min(len, df->stats.sz - start);
    // The first read-ahead of a file asks for its read-ahead factor of spans,
    // up to half the cache (more would push out pages not yet consumed);
    // after that the reader is kept no more than the client's window ahead
    // (at most half the cache): pages read ahead are consumed while their
    // bytes are still in the processor's caches. Whole pages, so the range
    // stays aligned.
    const uint64_t half = std::max<uint64_t>(psz, (dmc->cache_bytes / 2) / psz * psz);
    const uint64_t ahead = first ? half : std::max<uint64_t>(psz, std::min(half, dmc->window));
    const uint64_t limit = std::max<uint64_t>(a, df->cl_ra_start) + ahead;
    if (start >= limit)
        return 0;
    len = std::min(len, limit - start);
    // Less than a run of room, short of the end of the file: the reader is
    // still ahead of what it consumed, and the next call sends a whole run
    // (pages it needs now are read on their own below).
    if (len < run_bytes && start + len < df->stats.sz && start >= o + n)
        return 0;
    uint64_t done = 0;
    // The reads are queued and written together once issued (before that if
    // the client has to wait for a free message).
    dmc->batch_reads = true;
    int rc = read_ahead_issue(dmc, df, start, len, run_max, lined_up, &done);
    dmc->batch_reads = false;
    int frc = xcomm_endp_flush(&dmc->ctx, &dmc->endp);
    df->cl_ra_end = start + done;
    return rc != 0 ? rc : frc;
}

// ---------------------------------------------------------------- checksums of the appliance

// A cache page whose bytes were checked carries this mark in its digest room;
// receiving new bytes into the page clears it.
constexpr unsigned char kCheckedMark[8] = {'K', 'E', 'S', 'S', 'U', 'M', 'O', 'K'};

void set_fault(dm_file *df, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void set_fault(dm_file *df, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(df->fault, sizeof df->fault, fmt, ap);
    va_end(ap);
}

// Makes the appliance's checksum of the page at off available in the file's
// window, fetching the pages from there on when it is not. 0 (also when the
// appliance keeps no checksums: the file is then read unchecked), or an error.
int fetch_sums(dm_client *dmc, dm_file *df, uint64_t off)
{
    const uint64_t page = off / DM_SUM_PAGE;
    if (df->sums_state == DM_SUMS_NONE ||
        (df->sums_state == DM_SUMS_HAVE && page >= df->sums_first && page - df->sums_first < df->sums_count))
        return 0;
    char name[DM_SUMS_NAME_MAX];
    dm_sums_attr_name(page * DM_SUM_PAGE, name, sizeof name);
    unsigned char buf[DM_SUMS_HDR_SIZE + 8 * DM_SUMS_WINDOW];
    uint32_t cap = sizeof buf;
    int rc = dmc->ops.get_xattr(dmc, df, nullptr, name, buf, &cap);
    if (rc < 0)
        return rc;
    if (rc > 0) {
        // An appliance that keeps no checksums (or none for this file).
        DMLOG(dmc, UTIL_LOG_WARNING,
              "the appliance keeps no data checksums for %s (status %d: %s); it is read without that check\n",
              df->rname, rc, util_strerror(rc));
        df->sums_state = DM_SUMS_NONE;
        return 0;
    }
    uint64_t first = 0;
    uint32_t n = 0;
    if (dm_sums_decode(buf, cap, &first, df->sums, DM_SUMS_WINDOW, &n) != 0 || first != page * DM_SUM_PAGE) {
        DMLOG(dmc, UTIL_LOG_WARNING, "malformed data checksums for %s at offset %llu\n", df->rname,
              static_cast<unsigned long long>(off));
        df->sums_state = DM_SUMS_UNKNOWN;
        set_fault(df, "the appliance answered with malformed checksums for offset %llu",
                  static_cast<unsigned long long>(off));
        return DM_ERR_BADMSG;
    }
    df->sums_first = page;
    df->sums_count = n;
    df->sums_state = DM_SUMS_HAVE;
    if (n == 0) {
        set_fault(df, "the appliance has no checksum for the data at offset %llu",
                  static_cast<unsigned long long>(off));
        return DM_ERR_BADMSG;
    }
    return 0;
}

// Compares the have bytes at bytes (those of the page at aligned offset off)
// with the appliance's checksum of the page. 0, or DM_ERR_BADMSG: they are
// not what the appliance stored.
int check_sum(dm_client *dmc, dm_file *df, const unsigned char *bytes, uint64_t have, uint64_t off)
{
    const uint64_t page = off / DM_SUM_PAGE;
    const uint64_t len = std::min<uint64_t>(DM_SUM_PAGE, df->stats.sz - off);
    XASSERT(page >= df->sums_first && page - df->sums_first < df->sums_count);
    const uint64_t want = df->sums[page - df->sums_first];
    const uint64_t got = have >= len ? dm_sum64(bytes, static_cast<size_t>(len)) : ~want;
    if (got != want) {
        DMLOG(dmc, UTIL_LOG_ERROR,
              "data checksum mismatch: file_name = %s, offset = %llu, exp_sum = %016llx, rec_sum = %016llx\n",
              df->rname, static_cast<unsigned long long>(off), static_cast<unsigned long long>(want),
              static_cast<unsigned long long>(got));
        set_fault(df, "the data at offset %llu arrived damaged (its checksum does not match the appliance's)",
                  static_cast<unsigned long long>(off));
        return DM_ERR_BADMSG;
    }
    if (dm_log_level() >= UTIL_LOG_DEBUG)
        DMLOG(dmc, UTIL_LOG_DEBUG, "file_name = %s, offset = %llu, data checksum = %016llx\n", df->rname,
              static_cast<unsigned long long>(off), static_cast<unsigned long long>(got));
    return 0;
}

// Checks the page at aligned offset off (locked, referenced) against the
// appliance's checksum. 0, or DM_ERR_BADMSG: the page leaves the cache.
int check_page(dm_client *dmc, dm_file *df, pce *p, uint64_t off)
{
    if (df->sums_state != DM_SUMS_HAVE || memcmp(p->digest, kCheckedMark, sizeof kCheckedMark) == 0)
        return 0;
    int rc = check_sum(dmc, df, p->buf, p->usz, off);
    if (rc != 0) {
        if (p->state & PCACHE_VALID)
            (void)pcache_drop_page(dmc->pc, p);
        return rc;
    }
    memcpy(p->digest, kCheckedMark, sizeof kCheckedMark);
    return 0;
}

// Closes the reader's buffer on every way out of a read.
struct direct_scope {
    dm_client *dmc;
    ~direct_scope() { direct_end(dmc); }
};

}  // namespace

int dm_file_read(dm_file *df, void *buf, uint64_t off, uint32_t len, unsigned char *digest)
{
    if (df == nullptr || df->f == nullptr || (buf == nullptr && len > 0)) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
              df != nullptr ? static_cast<void *>(df->f) : nullptr);
        return DM_ERR_INVALID_ARGS;
    }
    dm_client *dmc = df->dc;
    if (dmc == nullptr || dmc->pc == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments dc(NULL)\n");
        return DM_ERR_BADFILE;
    }
    df->io_started = 1;
    df->fault[0] = '\0';
    if (df->run_cnt != 0) {
        int rc = dm_file_push(dmc, df);  // written pages held back go first
        if (rc != 0)
            return rc;
    }
    if (len > DM_MAX_READ_LEN)
        return DM_ERR_INVALID_LEN;
    if (off >= df->stats.sz)
        return 0;
    if (len > df->stats.sz - off)
        len = static_cast<uint32_t>(df->stats.sz - off);
    auto fail = [&](int rc) {
        DMLOG(dmc, UTIL_LOG_WARNING, "off=%llu, len=%d failed [%d]\n", static_cast<unsigned long long>(off),
              static_cast<int>(len), rc);
        return rc;
    };
    auto *dst = static_cast<unsigned char *>(buf);
    direct_begin(dmc, df, dst, off, off + len);
    direct_scope scope{dmc};
    dm_direct &d = dmc->direct;
    if (df->ra_factor != 0) {
        int rc = read_ahead(dmc, df, off, len);
        if (rc != 0)
            return fail(rc);
    }
    const uint64_t psz = pcache_page_size(dmc->pc);
    uint64_t pos = off;
    const uint64_t end = off + len;
    while (pos < end) {
        const uint64_t aligned = pos - pos % psz;
        if (util_page_digest()) {
            int rc = fetch_sums(dmc, df, aligned);
            if (rc != 0)
                return fail(rc);
        }
        const uint64_t n = std::min(end, aligned + psz) - pos;
        // The page's state in the reader's buffer when it is a whole page of it.
        const uint8_t *st = nullptr;
        if (d.df == df && pos == aligned && aligned >= d.first && (aligned - d.first) / psz < d.npages)
            st = &d.state[(aligned - d.first) / psz];
        auto landed = [st]() { return st != nullptr && *st == DM_DIRECT_DONE; };
        int err = 0;
        pce *p = find_page(dmc, df, aligned, st, &err);
        if (p == nullptr && err == 0 && !landed()) {
            int rc = dmc->ops.read_page(dmc, df, aligned, static_cast<uint32_t>(std::min(psz, df->stats.sz - aligned)));
            if (rc != 0)
                return fail(rc);
            p = find_page(dmc, df, aligned, st, &err);
        }
        if (p == nullptr && err == 0 && landed()) {
            // The whole page arrived in the caller's buffer.
            if (util_page_digest() && df->sums_state == DM_SUMS_HAVE) {
                int rc = check_sum(dmc, df, dst + (pos - off), n, aligned);
                if (rc != 0)
                    return fail(rc);
            }
            pos += n;
            df->cl_ra_start = pos - pos % psz;
            continue;
        }
        if (p == nullptr) {
            int sticky = file_io_get_error(df->f);
            if (err == 0 && sticky > 0)
                set_fault(df, "the appliance refused the read at offset %llu (status %d: %s); see its log for damaged data",
                          static_cast<unsigned long long>(aligned), sticky, util_strerror(sticky));
            return fail(err != 0 ? err : sticky != 0 ? dm_data_error(sticky) : DM_ERR_NOPAGE);
        }
        // The bytes wanted must have arrived: a short answer is missing data,
        // never whatever the page held before.
        if (p->usz < pos - aligned + n) {
            DMLOG(dmc, UTIL_LOG_WARNING, "short page, offset=%llu, usz=%u\n", static_cast<unsigned long long>(aligned),
                  p->usz);
            set_fault(df, "the appliance returned fewer bytes than the file holds at offset %llu",
                      static_cast<unsigned long long>(aligned));
            pcache_freepg(p);
            pcache_unlock_page(p);
            return fail(DM_ERR_BADMSG);
        }
        if (util_page_digest()) {
            int rc = check_page(dmc, df, p, aligned);
            if (rc != 0) {
                pcache_freepg(p);
                pcache_unlock_page(p);
                return fail(rc);
            }
        }
        memcpy(dst + (pos - off), p->buf + (pos - aligned), n);
        // A page read to its end (or to the end of the file) is taken again
        // first: a restore reads on, and the page is still in the caches.
        if (pos + n == aligned + psz || pos + n == df->stats.sz)
            pcache_donepg(p);
        else
            pcache_freepg(p);
        pos += n;
        df->cl_ra_start = pos - pos % psz;
        pcache_unlock_page(p);
    }
    if (digest != nullptr && util_page_digest())
        md5_digest(buf, len, digest);
    return static_cast<int>(len);
}

const char *dm_file_fault(const dm_file *df)
{
    return df != nullptr && df->fault[0] != '\0' ? df->fault : nullptr;
}
