// Remote file operations of the DM client: open with a local shadow file,
// write with optional write reservation, read with read-ahead, flush, close,
// delete by name and named attributes.
#include "datamover/dm.h"

#include "datamover/md5.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#define DMLOG(dmc, level, ...)                                               \
    do {                                                                     \
        if ((level) < UTIL_LOG_DEBUG || (level) <= dm_log_level())           \
            dm_log(dmc, level, __LINE__, __VA_ARGS__);                       \
    } while (0)

namespace {

constexpr size_t kPathMax = 260;
constexpr int kShadowTries = 16;
constexpr int kMaxDepth = 64;

std::atomic<uint32_t> g_shadow_seq{0};

// ---------------------------------------------------------------- shadow files

// A directory of the shadow path: created when missing, and never a symbolic
// link. The process's own directory must belong to this user and be private.
bool shadow_mkdir(const char *path, mode_t mode, bool private_dir)
{
    if (mkdir(path, mode) == 0) {
        if (!private_dir)
            (void)chmod(path, mode);  // shared by every user of the machine, like /tmp
    } else if (errno != EEXIST) {
        return false;
    }
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (private_dir && (st.st_uid != geteuid() || (st.st_mode & 077) != 0))
        return false;
    return true;
}

bool shadow_dir(char *dir, size_t cap)
{
    if (!shadow_mkdir("/tmp/dm", 01777, false) || !shadow_mkdir(DM_SHADOW_ROOT, 01777, false))
        return false;
    snprintf(dir, cap, "%s/%lu", DM_SHADOW_ROOT, static_cast<unsigned long>(getpid()));
    return shadow_mkdir(dir, 0700, true);
}

uint64_t shadow_random()
{
    uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        r = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 32);
    }
    return r;
}

// Creates a fresh file of a unique name in this process's shadow directory.
// It is created exclusively (an existing name, a symbolic link included, is
// never opened), so nothing but a new file of ours is ever used.
file_io *shadow_create(dm_client *dmc, const char *rname, char *path, size_t cap, int *errp)
{
    *errp = FILE_ERR_OPEN;
    for (int i = 0; i < kShadowTries; i++) {
        char dir[kPathMax];
        if (!shadow_dir(dir, sizeof dir)) {
            DMLOG(dmc, UTIL_LOG_WARNING, "shadow directory %s/%lu is not usable\n", DM_SHADOW_ROOT,
                  static_cast<unsigned long>(getpid()));
            return nullptr;
        }
        snprintf(path, cap, "%s/dm%08x%016llx", dir, g_shadow_seq.fetch_add(1),
                 static_cast<unsigned long long>(shadow_random()));
        DMLOG(dmc, UTIL_LOG_INFO, "Creating shadow file %s for file %s\n", path, rname);
        file_io *f = file_io_open(path, 0, KES_O_RDWR | KES_O_CREAT | KES_O_EXCL, 0, errp);
        if (f == nullptr) {
            int e = errno;
            DMLOG(dmc, UTIL_LOG_WARNING, "file_io_open (%s) failed [%d] errno=%d:%s\n", path, *errp,
                  util_errno_to_kes(e), util_strerror(util_errno_to_kes(e)));
            continue;
        }
        if (!S_ISREG(f->st.st_mode) || f->st.st_uid != geteuid() || f->st.st_nlink != 1) {
            file_io_close(f);
            *errp = FILE_ERR_NOTFILE;
            continue;
        }
        return f;
    }
    return nullptr;
}

// Removes "<root>/<pid><name>" and then its parent directories up to the
// root, walking with directory descriptors that never follow a symbolic link.
// A name with "." or ".." components removes nothing, so no name can reach
// outside the shadow root.
void shadow_remove(dm_client *dmc, const char *name)
{
    char rel[kPathMax];
    int n = snprintf(rel, sizeof rel, "%lu%s", static_cast<unsigned long>(getpid()), name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof rel)
        return;
    char *comps[kMaxDepth];
    int depth = 0;
    for (char *save = nullptr, *c = strtok_r(rel, "/", &save); c != nullptr; c = strtok_r(nullptr, "/", &save)) {
        if (strcmp(c, ".") == 0 || strcmp(c, "..") == 0 || depth == kMaxDepth) {
            DMLOG(dmc, UTIL_LOG_DEBUG, "shadow path of %s not removed\n", name);
            return;
        }
        comps[depth++] = c;
    }
    if (depth == 0)
        return;
    int fds[kMaxDepth + 1];
    int nfd = 0;
    const int oflags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    fds[nfd] = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds[nfd] < 0)
        return;
    nfd++;
    bool ok = true;
    for (const char *c : {"dm", "shadow"}) {
        int fd = openat(fds[nfd - 1], c, oflags);
        if (fd < 0) {
            ok = false;
            break;
        }
        fds[nfd++] = fd;
    }
    const int root = nfd - 1;
    for (int i = 0; ok && i < depth - 1; i++) {
        int fd = openat(fds[nfd - 1], comps[i], oflags);
        if (fd < 0) {
            ok = false;
            break;
        }
        fds[nfd++] = fd;
    }
    if (ok) {
        int rc = unlinkat(fds[nfd - 1], comps[depth - 1], 0);
        if (rc == 0) {
            DMLOG(dmc, UTIL_LOG_INFO, "Deleting shadow file %s/%s for file %s, status %d\n", DM_SHADOW_ROOT, rel, name, 0);
            for (int i = depth - 2; i >= 0; i--)
                if (unlinkat(fds[root + i], comps[i], AT_REMOVEDIR) != 0)
                    break;
        }
    }
    while (nfd > 0)
        close(fds[--nfd]);
}

// ---------------------------------------------------------------- sending

dm_client *client_of(dm_file *df) { return df->dc; }

// A close-form request (close, flush) and what its answer means for the file.
int close_form(dm_client *dmc, dm_file *df, uint8_t cmd)
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

int rmt_open(dm_client *dmc, dm_file *df, const char *rname, int flags)
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
    const size_t mlen = dm_open_req_len(rname);
    xcomm_msg *req = xcomm_msg_alloc(static_cast<uint32_t>(mlen));
    if (req == nullptr)
        return DM_ERR_NOMEM;
    XASSERT(req->sgl[0].iov_len == mlen);
    int rc = dm_open_req_encode(&om, rname, req->sgl[0].iov_base, req->sgl[0].iov_len);
    if (rc < 0) {
        xcomm_msg_free(req);
        return rc;
    }
    xcomm_msg *rsp = nullptr;
    rc = dm_send_sync(dmc, req, &rsp);
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

int rmt_close(dm_client *dmc, dm_file *df) { return close_form(dmc, df, DM_CMD_CLOSE); }
int rmt_flush(dm_client *dmc, dm_file *df) { return close_form(dmc, df, DM_CMD_FLUSH); }
int rmt_close9(dm_client *dmc, dm_file *df) { return close_form(dmc, df, DM_CMD_CLOSE9); }
int rmt_noop(dm_client *) { return 0; }

int rmt_delete(dm_client *dmc, const char *name)
{
    const size_t mlen = dm_delete_req_len(name);
    if (mlen > DM_CTRL_RSP_MAX)
        return DM_ERR_INVALID_LEN;
    xcomm_msg *req = xcomm_msg_alloc(static_cast<uint32_t>(mlen));
    if (req == nullptr)
        return DM_ERR_NOMEM;
    XASSERT(req->sgl[0].iov_len == mlen);
    int rc = dm_delete_req_encode(name, req->sgl[0].iov_base, req->sgl[0].iov_len);
    if (rc < 0) {
        xcomm_msg_free(req);
        return rc;
    }
    xcomm_msg *rsp = nullptr;
    rc = dm_send_sync(dmc, req, &rsp);
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

int rmt_read_page(dm_client *dmc, dm_file *df, uint64_t off, uint32_t len)
{
    const uint32_t psz = pcache_page_size(dmc->pc);
    XASSERT(len > 0 && off % psz + len <= psz);
    file_io_clear_error(df->f);
    int rc = 0;
    dm_pmsg *pm = dm_msg_get_req(dmc, &rc);
    if (pm == nullptr)
        return rc;
    int sticky = file_io_get_error(df->f);
    if (sticky != 0) {
        dm_msg_put(pm);
        return dm_data_error(sticky);
    }
    pm->cmd = DM_CMD_READ;
    pm->df = df;
    pm->df_gen = df->gen;
    pm->off = off;
    pm->len = len;
    xcomm_msg *m = pm->msg;
    dm_rw_hdr_encode(DM_CMD_READ, df->handle, off, len, m->sgl[0].iov_base, DM_HDR_SIZE);
    DMLOG(dmc, UTIL_LOG_TRACE, "filename = %s, pce offset=%llu\n", df->rname, static_cast<unsigned long long>(off));
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

// Sends page bytes [off, off + len) of the page. The request keeps the
// page's reference until its answer; on failure the reference is dropped here.
int rmt_write(dm_client *dmc, dm_file *df, pce *page, uint64_t off, uint32_t len, bool sync)
{
    auto drop_page = [&]() {
        pcache_lock_page(page);
        pcache_freepg(page);
        pcache_unlock_page(page);
    };
    int rc = 0;
    dm_pmsg *pm = dm_msg_get_req(dmc, &rc);
    if (pm == nullptr) {
        drop_page();
        return rc;
    }
    int sticky = file_io_get_error(df->f);
    if (sticky != 0) {
        dm_msg_put(pm);
        drop_page();
        return dm_data_error(sticky);
    }
    const uint32_t psz = pcache_page_size(dmc->pc);
    XASSERT(len > 0 && off % psz + len <= psz && page->off == off - off % psz);
    pm->cmd = DM_CMD_WRITE;
    pm->df = df;
    pm->df_gen = df->gen;
    pm->page = page;
    pm->off = off;
    pm->len = len;
    xcomm_msg *m = pm->msg;
    dm_rw_hdr_encode(DM_CMD_WRITE, df->handle, off, len, m->sgl[0].iov_base, DM_HDR_SIZE);
    m->sgl[1].iov_len = len;
    m->sgl[1].iov_base = page->buf + (off % psz);
    m->sgl_ents = 2;
    df->inflight++;
    rc = dm_send_async(dmc, m);
    if (rc != 0) {
        df->inflight--;
        pm->page = nullptr;
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

// Sends one attribute request (set: value and its length; get: no value and
// the buffer capacity) and waits for its answer. 0 with *rsp, or an error
// already logged under the request's name.
int xattr_exchange(dm_client *dmc, uint8_t cmd, dm_file *df, const char *fname, const char *attr, const void *value,
                   uint32_t value_len, const char *what, xcomm_msg **rsp)
{
    const size_t mlen = dm_xattr_req_len(cmd, fname, attr, value_len);
    if (mlen > DM_CTRL_RSP_MAX)
        return DM_ERR_INVALID_LEN;
    xcomm_msg *req = xcomm_msg_alloc(static_cast<uint32_t>(mlen));
    if (req == nullptr)
        return DM_ERR_NOMEM;
    XASSERT(req->sgl[0].iov_len == mlen);
    int rc = dm_xattr_req_encode(cmd, df != nullptr ? df->handle : 0, fname, attr, value, value_len,
                                 req->sgl[0].iov_base, req->sgl[0].iov_len);
    if (rc < 0) {
        xcomm_msg_free(req);
        return rc;
    }
    rc = dm_send_sync(dmc, req, rsp);
    if (rc != 0)
        DMLOG(dmc, UTIL_LOG_WARNING, "%s failed - [%d]\n", what, rc);
    return rc;
}

int rmt_set_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, const void *value,
                  uint32_t value_len)
{
    xcomm_msg *rsp = nullptr;
    int rc = xattr_exchange(dmc, DM_CMD_SET_XATTR, df, fname, attr, value, value_len, "dm_set_xattr_req", &rsp);
    if (rc != 0)
        return rc;
    dm_xattr_hdr xh;
    rc = rsp->sgl[0].iov_len >= get_dm_xattr_req_size(&dmc->endp, nullptr)
             ? dm_xattr_hdr_decode(&xh, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len)
             : DM_ERR_BADMSG;
    dm_msg_release(rsp);
    if (rc < 0 || xh.hdr.cmd != DM_CMD_SET_XATTR) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_set_xattr_req failed - [%d]\n", DM_ERR_BADMSG);
        return DM_ERR_BADMSG;
    }
    int status = dm_hdr_status(&xh.hdr);
    if (status != 0)
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_set_xattr_req failed - [%d]\n", status);
    else
        DMLOG(dmc, UTIL_LOG_DEBUG, "dm_set_xattr_req ok\n");
    return status;
}

int rmt_get_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, void *buf, uint32_t *value_len)
{
    const uint32_t cap = *value_len;
    xcomm_msg *rsp = nullptr;
    int rc = xattr_exchange(dmc, DM_CMD_GET_XATTR, df, fname, attr, nullptr, cap, "dm_get_xattr_req", &rsp);
    if (rc != 0)
        return rc;
    // The answer must carry exactly the value it announces, no longer than
    // the buffer the caller gave.
    dm_xattr_hdr xh;
    const unsigned char *value = nullptr;
    rc = dm_get_xattr_rsp_decode(&xh, &value, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len, cap);
    if (rc < 0 || xh.hdr.cmd != DM_CMD_GET_XATTR) {
        dm_msg_release(rsp);
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_get_xattr_req failed - [%d]\n", DM_ERR_BADMSG);
        return DM_ERR_BADMSG;
    }
    int status = dm_hdr_status(&xh.hdr);
    if (status != 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "dm_get_xattr_req failed - [%d]\n", status);
        if (status == KES_ERANGE)
            *value_len = xh.value_len;
    } else {
        DMLOG(dmc, UTIL_LOG_DEBUG, "dm_get_xattr_req ok\n");
        if (xh.value_len > 0)
            memcpy(buf, value, xh.value_len);
        *value_len = xh.value_len;
    }
    dm_msg_release(rsp);
    return status;
}

// ---------------------------------------------------------------- file life cycle

// Drops the file's pages, closes its shadow file and frees its slot.
void release_file(dm_client *dmc, dm_file *df)
{
    if (df->f != nullptr) {
        pcache_sync_file(dmc->pc, df->f, pcache_drop_page, PCACHE_FL_SYNC);
        file_io_close(df->f);
        df->f = nullptr;
    }
    dm_client_file_put(dmc, df);
}

// ---------------------------------------------------------------- reading

// The page at aligned offset off, locked and referenced, once no read is
// landing in it; null when there is none (and none is coming).
pce *find_page(dm_client *dmc, dm_file *df, uint64_t off, int *errp)
{
    *errp = 0;
    for (;;) {
        pce *p = pcache_lookup(dmc->pc, df->f, off, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
        if (p != nullptr && !IS_PAGE_PENDING(p))
            return p;
        if (p != nullptr) {
            pcache_freepg(p);
            pcache_unlock_page(p);
        } else if (!dm_read_inflight(dmc, df, off)) {
            return nullptr;
        }
        if (!xcomm_endp_busy(&dmc->endp)) {
            p = pcache_lookup(dmc->pc, df->f, off, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
            if (p != nullptr && IS_PAGE_PENDING(p)) {
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
    if (!df->ra_started) {
        len = static_cast<uint64_t>(df->ra_factor) * s;
        start = a;
        df->cl_ra_end = a;
        df->ra_started = 1;
    } else {
        len = s;
        start = (df->cl_ra_start <= a && a <= df->cl_ra_end) ? df->cl_ra_end : a;
    }
    if (start >= df->stats.sz)
        return 0;
    len = std::min(len, df->stats.sz - start);
    // Never run further ahead of the reader than half the cache holds, or
    // pages read ahead would push out pages not yet consumed. Whole pages
    // only, whatever the page count, so the range stays page-aligned.
    const uint64_t ahead = std::max<uint64_t>(psz, (dmc->cache_bytes / 2) / psz * psz);
    const uint64_t limit = std::max<uint64_t>(a, df->cl_ra_start) + ahead;
    if (start >= limit)
        return 0;
    len = std::min(len, limit - start);
    uint64_t done = 0;
    while (done < len) {
        const uint64_t pos = start + done;
        const uint64_t piece = std::min(len - done, psz - pos % psz);
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
        if (!have) {
            int rc = dmc->ops.read_page(dmc, df, pos, static_cast<uint32_t>(piece));
            if (rc != 0) {
                df->cl_ra_end = start + done;
                return rc;
            }
        }
        done += piece;
    }
    df->cl_ra_end = start + done;
    return 0;
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

// Checks the page at aligned offset off (locked, referenced) against the
// appliance's checksum. 0, or DM_ERR_BADMSG: the bytes are not what the
// appliance stored, and the page leaves the cache.
int check_page(dm_client *dmc, dm_file *df, pce *p, uint64_t off)
{
    if (df->sums_state != DM_SUMS_HAVE || memcmp(p->digest, kCheckedMark, sizeof kCheckedMark) == 0)
        return 0;
    const uint64_t page = off / DM_SUM_PAGE;
    const uint64_t len = std::min<uint64_t>(DM_SUM_PAGE, df->stats.sz - off);
    XASSERT(page >= df->sums_first && page - df->sums_first < df->sums_count);
    const uint64_t want = df->sums[page - df->sums_first];
    const uint64_t got = p->usz >= len ? dm_sum64(p->buf, static_cast<size_t>(len)) : ~want;
    if (got != want) {
        DMLOG(dmc, UTIL_LOG_ERROR,
              "data checksum mismatch: file_name = %s, offset = %llu, exp_sum = %016llx, rec_sum = %016llx\n",
              df->rname, static_cast<unsigned long long>(off), static_cast<unsigned long long>(want),
              static_cast<unsigned long long>(got));
        set_fault(df, "the data at offset %llu arrived damaged (its checksum does not match the appliance's)",
                  static_cast<unsigned long long>(off));
        if (p->state & PCACHE_VALID)
            (void)pcache_drop_page(dmc->pc, p);
        return DM_ERR_BADMSG;
    }
    if (dm_log_level() >= UTIL_LOG_DEBUG)
        DMLOG(dmc, UTIL_LOG_DEBUG, "file_name = %s, offset = %llu, data checksum = %016llx\n", df->rname,
              static_cast<unsigned long long>(off), static_cast<unsigned long long>(got));
    memcpy(p->digest, kCheckedMark, sizeof kCheckedMark);
    return 0;
}

// ---------------------------------------------------------------- writing

int write_pieces(dm_client *dmc, dm_file *df, const unsigned char *buf, uint64_t off, uint32_t len, bool sync)
{
    const uint64_t psz = pcache_page_size(dmc->pc);
    df->io_started = 1;
    uint64_t pos = off;
    const uint64_t end = off + len;
    while (pos < end) {
        const uint64_t aligned = pos - pos % psz;
        const uint32_t n = static_cast<uint32_t>(std::min(end, aligned + psz) - pos);
        while (pcache_free_count(dmc->pc) == 0) {
            int rc = dm_waitfor_io_msgs(dmc, 1);
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
        int rc = dmc->ops.write(dmc, df, p, pos, n, sync);
        if (rc != 0) {
            DMLOG(dmc, UTIL_LOG_WARNING, "remote write failed [%d]\n", rc);
            return rc;
        }
        DMLOG(dmc, UTIL_LOG_TRACE, "wrote f[%s] off[%lld] sz[%d]\n", df->rname, static_cast<long long>(pos),
              static_cast<int>(n));
        pos += n;
    }
    return static_cast<int>(len);
}

bool xattr_args_ok(dm_client *dmc, dm_file *df, const char *fname, const char *attr, const void *value,
                   size_t value_len)
{
    if (dmc == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments: dmc(NULL)\n");
        return false;
    }
    if ((df == nullptr) == (fname == nullptr)) {
        DMLOG(dmc, UTIL_LOG_WARNING, "Invalid Arguments: df(%p), fname(%p)\n", static_cast<void *>(df),
              static_cast<const void *>(fname));
        return false;
    }
    if (attr == nullptr || value == nullptr || value_len == 0) {
        DMLOG(dmc, UTIL_LOG_WARNING, "Invalid Arguments: attr_name(%p), attr_value(%p),  value_len(%zd)\n",
              static_cast<const void *>(attr), value, static_cast<ssize_t>(value_len));
        return false;
    }
    if (fname != nullptr && strlen(fname) >= 255) {
        DMLOG(dmc, UTIL_LOG_WARNING, "Invalid Arguments: fname(%p) is too long (%d)\n", static_cast<const void *>(fname),
              static_cast<int>(strlen(fname)));
        return false;
    }
    if (df != nullptr && (df->f == nullptr || df->dc != dmc)) {
        DMLOG(dmc, UTIL_LOG_WARNING, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
              static_cast<void *>(df->f));
        return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- slots and table

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

void dm_file_ops_init(dm_ops *ops)
{
    ops->open = rmt_open;
    ops->close = rmt_close;
    ops->flush = rmt_flush;
    ops->close9 = rmt_close9;
    ops->remove = rmt_delete;
    ops->read_page = rmt_read_page;
    ops->write = rmt_write;
    ops->noop = rmt_noop;
    ops->set_xattr = rmt_set_xattr;
    ops->get_xattr = rmt_get_xattr;
}

void dm_shadow_cleanup()
{
    char dir[kPathMax];
    snprintf(dir, sizeof dir, "%s/%lu", DM_SHADOW_ROOT, static_cast<unsigned long>(getpid()));
    (void)rmdir(dir);  // fails harmlessly while another client of this process uses it
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
    df->io_started = 0;
    df->inflight = 0;
    df->ra_factor = util_size_mb();
    df->sums_state = DM_SUMS_UNKNOWN;
    df->sums_count = 0;
    df->fault[0] = '\0';
    df->gen++;
    util_strlcpy(df->rname, name, sizeof df->rname);

    char path[kPathMax];
    int err = 0;
    file_io *f = shadow_create(dmc, name, path, sizeof path, &err);
    if (f == nullptr) {
        dm_client_file_put(dmc, df);
        *errp = err != 0 ? err : FILE_ERR_OPEN;
        return nullptr;
    }
    // Only the open descriptor is needed: the name goes at once, and the
    // file disappears when it is closed.
    if (unlink(path) == 0) {
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
    dm_client *dmc = client_of(df);
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

int dm_file_read(dm_file *df, void *buf, uint64_t off, uint32_t len, unsigned char *digest)
{
    if (df == nullptr || df->f == nullptr || (buf == nullptr && len > 0)) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
              df != nullptr ? static_cast<void *>(df->f) : nullptr);
        return DM_ERR_INVALID_ARGS;
    }
    dm_client *dmc = client_of(df);
    if (dmc == nullptr || dmc->pc == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments dc(NULL)\n");
        return DM_ERR_BADFILE;
    }
    df->io_started = 1;
    df->fault[0] = '\0';
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
    if (df->ra_factor != 0) {
        int rc = read_ahead(dmc, df, off, len);
        if (rc != 0)
            return fail(rc);
    }
    const uint64_t psz = pcache_page_size(dmc->pc);
    auto *dst = static_cast<unsigned char *>(buf);
    uint64_t pos = off;
    const uint64_t end = off + len;
    while (pos < end) {
        const uint64_t aligned = pos - pos % psz;
        if (util_page_digest()) {
            int rc = fetch_sums(dmc, df, aligned);
            if (rc != 0)
                return fail(rc);
        }
        int err = 0;
        pce *p = find_page(dmc, df, aligned, &err);
        if (p == nullptr && err == 0) {
            int rc = dmc->ops.read_page(dmc, df, aligned, static_cast<uint32_t>(std::min(psz, df->stats.sz - aligned)));
            if (rc != 0)
                return fail(rc);
            p = find_page(dmc, df, aligned, &err);
        }
        if (p == nullptr) {
            int sticky = file_io_get_error(df->f);
            if (err == 0 && sticky > 0)
                set_fault(df, "the appliance refused the read at offset %llu (status %d: %s); see its log for damaged data",
                          static_cast<unsigned long long>(aligned), sticky, util_strerror(sticky));
            return fail(err != 0 ? err : sticky != 0 ? dm_data_error(sticky) : DM_ERR_NOPAGE);
        }
        const uint64_t n = std::min(end, aligned + psz) - pos;
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

int dm_file_flush(dm_file *df)
{
    if (df == nullptr || df->f == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
              df != nullptr ? static_cast<void *>(df->f) : nullptr);
        return DM_ERR_INVALID_ARGS;
    }
    dm_client *dmc = client_of(df);
    if (dmc == nullptr) {
        DMLOG(nullptr, UTIL_LOG_WARNING, "Invalid Arguments: dc(NULL)\n");
        return DM_ERR_BADFILE;
    }
    // Answers of writes already sent come first, so that their failures
    // count for this flush.
    int wrc = dm_drain(dmc);
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
    dm_client *dmc = client_of(df);
    if (dmc == nullptr)
        return DM_ERR_BADFILE;
    int wrc = dm_drain(dmc);
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
    shadow_remove(dmc, name);
    return dmc->ops.remove(dmc, name);
}

int dm_set_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, const void *value,
                 size_t value_len)
{
    if (!xattr_args_ok(dmc, df, fname, attr, value, value_len))
        return DM_ERR_INVALID_ARGS;
    if (value_len > DM_CTRL_RSP_MAX)
        return DM_ERR_INVALID_LEN;
    return dmc->ops.set_xattr(dmc, df, fname, attr, value, static_cast<uint32_t>(value_len));
}

int dm_get_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, void *buf, size_t *value_len)
{
    if (value_len == nullptr) {
        DMLOG(dmc, UTIL_LOG_WARNING, "Invalid Arguments\n");
        return DM_ERR_INVALID_ARGS;
    }
    if (!xattr_args_ok(dmc, df, fname, attr, buf, *value_len))
        return DM_ERR_INVALID_ARGS;
    // Answers are bounded, so a huge buffer is announced as the largest one.
    uint32_t cap = static_cast<uint32_t>(std::min<size_t>(*value_len, DM_CTRL_RSP_MAX - 64));
    int rc = dmc->ops.get_xattr(dmc, df, fname, attr, buf, &cap);
    if (rc == 0 || rc == KES_ERANGE)
        *value_len = cap;
    return rc;
}
