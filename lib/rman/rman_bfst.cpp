#include "lib/rman/rman_bfst.h"

#include <cinttypes>
#include <cstdlib>

#include "lib/common/com_util.h"
#include "lib/common/log.h"
#include "lib/common/pgnbfst.h"
#include "lib/common/pgnbfst_cache.h"
#include "lib/common/pgnbfst_int.h"
#include "lib/common/pgnconfig.h"

namespace {

bfst_path *path_of(void *cell)
{
    COM_ASSERT(cell != nullptr && *static_cast<bfst_path **>(cell) != nullptr, "BFST cache without its path\n");
    return *static_cast<bfst_path **>(cell);
}

// A cell holding the path's address, handed to a cache as its context.
bfst_path **new_cell(bfst_path *p)
{
    auto **cell = static_cast<bfst_path **>(malloc(sizeof(bfst_path *)));
    if (cell != nullptr)
        *cell = p;
    return cell;
}

// One part of a cache write: all of it stored, or a status.
int write_part(bfst_path *p, const unsigned char *buf, uint64_t off, uint64_t len)
{
    uint64_t written = 0;
    int rc = pgnbfst_write_gp(p, buf, len, off, &written);
    if (rc == 0 && written != len)
        rc = MI_STS_EINTERNAL;
    return rc;
}

// Creates a cache of size bytes (none for 0) whose adapter reaches the path
// through a cell of its own.
template <typename Cache, typename Adapter>
int add_cache(bfst_path *p, int32_t size, int (*create)(uint64_t, Adapter, void *, Cache **), Adapter adapter,
              Cache **out, const char *name)
{
    if (size <= 0)
        return 0;
    bfst_path **cell = new_cell(p);
    if (cell == nullptr)
        return MI_STS_EMALLOC;
    int rc = create(static_cast<uint64_t>(size), adapter, cell, out);
    if (rc != 0) {
        free(cell);
        RLOG(LOG_LVL_ERROR, "rpgn_init_bfst_iopath: failed to intialize %s Cache: %x\n", name,
             static_cast<unsigned>(rc));
    }
    return rc;
}

void free_caches(bfst_path *p)
{
    if (p->wcache != nullptr) {
        void *cell = p->wcache->cell;
        bfst_wcache_destroy(p->wcache);
        free(cell);
        p->wcache = nullptr;
    }
    if (p->rcache != nullptr) {
        void *cell = p->rcache->cell;
        bfst_rcache_destroy(p->rcache);
        free(cell);
        p->rcache = nullptr;
    }
}

}  // namespace

int rpgn_init_bfst_iopath(rpgn_channel *ch)
{
    bfst_path *p = &ch->bfst_path;
    ch->bfst_max_io = BFST_BLOB_SIZE;
    int rc = pgnbfst_initialize_gp(p, BFST_BLOB_SIZE);
    if (rc != 0)
        return rc;
    rc = pgnbfst_connect_new_session_gp(p);
    if (rc != 0) {
        RLOG(LOG_LVL_ERROR, "rpgn_init_bfst_iopath: failed to connect new session: %x\n", static_cast<unsigned>(rc));
        return rc;
    }
    rc = add_cache(p, pgncfg().WRITE_CACHE_SIZE.load(), bfst_wcache_create, rpgn_cache_write, &p->wcache,
                   "Write Behind");
    if (rc == 0)
        rc = add_cache(p, pgncfg().READ_CACHE_SIZE.load(), bfst_rcache_create, rpgn_cache_read, &p->rcache,
                       "Read Ahead");
    return rc;
}

int rpgn_bfst_write(rpgn_channel *ch, const void *buf)
{
    bfst_path *p = &ch->bfst_path;
    const uint64_t bs = ch->block_size;
    int rc = pgnbfst_check_space(p, bs);
    if (rc != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtwrite2 failed to verify space: error %s", rpgn_status_text(rc));
        return -1;
    }
    uint64_t count = bs;
    if (p->wcache != nullptr)
        rc = bfst_wcache_write(p->wcache, buf, ch->offset, bs);
    else
        rc = pgnbfst_write_gp(p, buf, bs, ch->offset, &count);
    if (rc != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtwrite2 failed: error %s", rpgn_status_text(rc));
        return -1;
    }
    if (count != bs) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtwrite2: short write %lld bytes", static_cast<long long>(count));
        return -1;
    }
    ch->offset += count;
    return 0;
}

int rpgn_bfst_close(bfst_path *p)
{
    int kept = 0;
    if (p->wcache != nullptr && p->wcache->fill != 0) {
        int rc = bfst_wcache_flush(p->wcache);
        if (rc != 0) {
            RLOG(LOG_LVL_ERROR, "rpgn_bfst_close: write behind cache flush failed: %x\n", static_cast<unsigned>(rc));
            kept = rc;
        }
    }
    free_caches(p);
    if (p->ctx != nullptr) {
        int rc = pgnbfst_disconnect_gp(p);
        if (rc != 0) {
            RLOG(LOG_LVL_ERROR, "rpgn_bfst_close: bfst disconnect failed: %x\n", static_cast<unsigned>(rc));
            if (kept == 0)
                kept = rc;
        }
        pgnbfst_finalize_gp(p);
    }
    return kept;
}

void rpgn_bfst_release(bfst_path *p)
{
    free_caches(p);
    if (p->ctx != nullptr) {
        pgnbfst_disconnect_gp(p);
        pgnbfst_finalize_gp(p);
    }
}

int rpgn_cache_write(const void *buf, uint64_t off, uint64_t len, void *cell)
{
    bfst_path *p = path_of(cell);
    const bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr, "BFST path has no context\n");
    const unsigned char *src = static_cast<const unsigned char *>(buf);
    // Where the current blob ends: a write across it goes as two parts.
    const uint64_t blob_end = c->image_offset + (c->blob_size - c->blob_offset);
    if (off < blob_end && len > blob_end - off) {
        const uint64_t first = blob_end - off;
        int rc = write_part(p, src, off, first);
        if (rc != 0)
            return rc;
        src += first;
        off += first;
        len -= first;
    }
    int rc = write_part(p, src, off, len);
    if (rc != 0)
        RLOG(LOG_LVL_ERROR, "pgnbfst_write failed, offset=%" PRIu64 ", length=%" PRIu64 ", rc=%x\n", off, len,
             static_cast<unsigned>(rc));
    return rc;
}

int rpgn_cache_read(void *, uint64_t off, uint64_t len, void *cell, uint64_t *got)
{
    // Restores read through the DM path; nothing reads a BFST image back.
    path_of(cell);
    if (got != nullptr)
        *got = 0;
    RLOG(LOG_LVL_ERROR, "rpgn_cache_read: reading %" PRIu64 " bytes at offset %" PRIu64
                        " through the BFST path is not supported\n", len, off);
    return MI_STS_ENOTSUP;
}
