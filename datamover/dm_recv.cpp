// DM client, receive side: the allocation callback that takes in every
// incoming message, landing read data straight in cache pages, or in the
// buffer of the reader waiting for it.
#include "datamover/dm_int.h"

#include <algorithm>
#include <cstring>

// Where the page at aligned offset pos of df goes when it is a whole page
// (n bytes) of the buffer of the read waiting now, and nothing landed there
// yet; null otherwise. The page is then LANDING.
static unsigned char *direct_dst(dm_client *dmc, const dm_file *df, uint64_t pos, uint64_t n, uint64_t psz)
{
    dm_direct &d = dmc->direct;
    if (d.df != df || d.gen != df->gen || pos < d.first || pos % psz != 0)
        return nullptr;
    const uint64_t k = (pos - d.first) / psz;
    if (k >= d.npages || d.state[k] != DM_DIRECT_NONE || n != std::min(psz, df->stats.sz - pos))
        return nullptr;
    d.state[k] = DM_DIRECT_LANDING;
    return d.buf + k * psz;
}

void dm_direct_finish(dm_client *dmc, dm_pmsg *pm, bool ok)
{
    dm_direct &d = dmc->direct;
    const uint64_t psz = pcache_page_size(dmc->pc);
    const uint64_t base = pm->off - pm->off % psz;
    if (d.df != nullptr && d.seq == pm->direct_seq && pm->df == d.df && pm->df_gen == d.gen) {
        for (uint32_t i = 0; i < DM_MAX_RUN; i++) {
            if ((pm->direct & (1u << i)) == 0)
                continue;
            const uint64_t pos = base + i * psz;
            if (pos < d.first)
                continue;
            const uint64_t k = (pos - d.first) / psz;
            if (k < d.npages && d.state[k] == DM_DIRECT_LANDING) {
                d.state[k] = ok ? DM_DIRECT_DONE : DM_DIRECT_NONE;
                d.pages += ok ? 1 : 0;
            }
        }
    }
    pm->direct = 0;
}

// Read data: the response must answer a read of ours that is pending for that
// slot, at the very offset it asked for, with no more bytes than it asked for.
// The bytes then go straight where they are kept: the waiting reader's buffer
// or cache pages.
static xcomm_msg *land_read(dm_client *dmc, const xcomm_hdr *xh, const dm_hdr *h, uint32_t plen)
{
    if (xh->type != XCOMM_MSG_RSP) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "read data in a message of type %d refused\n", xh->type);
        return nullptr;
    }
    dm_pmsg *rp = dm_msg_get(dmc, false);
    if (rp == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "no free message for read data\n");
        return nullptr;
    }
    auto refuse = [&]() -> xcomm_msg * {
        rp->direct = 0;
        dm_msg_put(rp);
        return nullptr;
    };
    if (h->slot >= DM_MAX_FILES)
        return refuse();
    dm_file *df = &dmc->files[h->slot];
    if (df->f == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments df(%p), df->f(%p)\n", static_cast<void *>(df),
               static_cast<void *>(df->f));
        return refuse();
    }
    if (xh->rpc_id >= static_cast<uint32_t>(dmc->max_pend)) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "rpc_id(%u) >= max_pend(%u)\n", xh->rpc_id,
               static_cast<unsigned>(dmc->max_pend));
        return refuse();
    }
    xcomm_msg *req = xcomm_endp_pending_msg(&dmc->endp, xh->rpc_id);
    dm_pmsg *qp = dm_pool_rec(dmc, req);
    if (req == nullptr || qp == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "rpc_id(%u) not pending!\n", xh->rpc_id);
        return refuse();
    }
    const uint32_t dlen = plen - static_cast<uint32_t>(DM_HDR_SIZE);
    if (!qp->is_req || qp->cmd != DM_CMD_READ || qp->df != df || qp->df_gen != df->gen || qp->landed ||
        h->off != qp->off || dlen > qp->len) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__,
               "read response slot=%u off=%llu len=%u does not answer request rpc_id(%u) off=%llu len=%u\n", h->slot,
               static_cast<unsigned long long>(h->off), dlen, xh->rpc_id, static_cast<unsigned long long>(qp->off),
               qp->len);
        return refuse();
    }
    qp->landed = 1;
    xcomm_msg *m = rp->msg;
    if (dlen == 0)
        return m;
    // One entry per page the data covers: the waiting reader's buffer for a
    // whole page of it, else the page itself when it can be had, the scratch
    // page otherwise (data nobody may keep: a failed read, a page another
    // request holds, or no free page).
    const uint64_t psz = pcache_page_size(dmc->pc);
    const bool keep = h->status == 0;
    uint64_t pos = qp->off;
    const uint64_t end = qp->off + dlen;
    uint32_t i = 0;
    for (; pos < end; i++) {
        XASSERT(i < DM_MAX_RUN);
        const uint64_t aligned = pos - pos % psz;
        const uint64_t n = std::min(end, aligned + psz) - pos;
        unsigned char *dst = dmc->scratch;
        pce *p = nullptr;
        if (keep) {
            p = pcache_lookup(dmc->pc, df->f, aligned, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
            if (p != nullptr && (p->refs > 1 || pcache_page_filling(p))) {
                // Another request holds the page (a write of it is in flight).
                pcache_freepg(p);
                pcache_unlock_page(p);
                p = nullptr;
            } else if (p == nullptr) {
                unsigned char *ddst = pos == aligned ? direct_dst(dmc, df, aligned, n, psz) : nullptr;
                if (ddst != nullptr) {
                    dst = ddst;
                    qp->direct |= 1u << i;
                    qp->direct_seq = dmc->direct.seq;
                    rp->direct |= 1u << (1 + i);
                } else if (pcache_free_count(dmc->pc) > 0) {
                    p = pcache_get_page(dmc->pc, df->f, aligned, 0, 1, PCACHE_FL_WHOLEPG | PCACHE_FL_SYNC);
                }
            }
        }
        if (p != nullptr) {
            if (pcache_page_set_usz(p, pos - aligned + n) != 0) {
                dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "pce->usz: %llu pg_sz: %u\n",
                       static_cast<unsigned long long>(pos - aligned + n), static_cast<unsigned>(psz));
                pcache_freepg(p);
                pcache_unlock_page(p);
                for (uint32_t k = 0; k < i; k++) {
                    if (qp->pages[k] == nullptr)
                        continue;
                    pcache_lock_page(qp->pages[k]);
                    pcache_page_set_filling(qp->pages[k], false);
                    pcache_freepg(qp->pages[k]);
                    pcache_unlock_page(qp->pages[k]);
                    qp->pages[k] = nullptr;
                }
                dm_direct_finish(dmc, qp, false);
                qp->landed = 0;
                return refuse();
            }
            pcache_page_set_filling(p, true);
            memset(p->digest, 0, sizeof p->digest);
            dst = p->buf + (pos - aligned);
            pcache_unlock_page(p);
        }
        qp->pages[i] = p;
        m->sgl[1 + i].iov_len = static_cast<uint32_t>(n);
        m->sgl[1 + i].iov_base = dst;
        pos += n;
    }
    qp->npages = i;
    m->sgl_ents = static_cast<int32_t>(1 + i);
    return m;
}

xcomm_msg *dm_alloc_cb(xcomm_endp *endp, xcomm_fd *fd, const unsigned char *peek)
{
    (void)fd;
    auto *dmc = static_cast<dm_client *>(endp->owner);
    if (dmc == nullptr || peek == nullptr) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments endp(%p), fd(%p), mhdr(%p)\n",
               static_cast<void *>(endp), static_cast<void *>(fd), static_cast<const void *>(peek));
        return nullptr;
    }
    xcomm_hdr xh;
    xcomm_hdr_decode(peek, &xh);
    const uint32_t plen = xcomm_hdr_get_size(&xh);
    if (xh.type == XCOMM_MSG_ACK)
        return plen <= DM_CTRL_RSP_MAX ? xcomm_msg_alloc(plen) : nullptr;
    if (plen == 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "Invalid Size\n");
        return nullptr;
    }
    if (plen < DM_HDR_SIZE) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "Invalid Size %u\n", plen);
        return nullptr;
    }
    dm_hdr h;
    dm_hdr_decode(&h, peek + XCOMM_HDR_SIZE, DM_HDR_SIZE);
    dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "cmd=%d, off=%llu\n", h.cmd, static_cast<unsigned long long>(h.off));
    if (!dm_cmd_valid(h.cmd)) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "bad msg[%d]\n", h.cmd);
        return nullptr;
    }
    switch (h.cmd) {
    case DM_CMD_READ:
        return land_read(dmc, &xh, &h, plen);
    case DM_CMD_WRITE: {
        if (xh.type != XCOMM_MSG_RSP || plen != DM_HDR_SIZE) {
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "write response of type %d and size %u refused\n", xh.type, plen);
            return nullptr;
        }
        dm_pmsg *pm = dm_msg_get(dmc, false);
        if (pm == nullptr)
            return nullptr;
        dm_log(dmc, UTIL_LOG_TRACE, __LINE__, "msg=%p\n", static_cast<void *>(pm->msg));
        return pm->msg;
    }
    default:
        if (plen > DM_CTRL_RSP_MAX) {
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "cmd=%d, size %u refused\n", h.cmd, plen);
            return nullptr;
        }
        return xcomm_msg_alloc(plen);
    }
}
