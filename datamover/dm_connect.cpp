// DM client, connect and configuration: naming the client, setting up its
// endpoint, connecting with retries, agreeing the configuration, creating
// the page cache; and the client's creation and destruction.
#include "datamover/dm_int.h"

#include "datamover/platform_xcomm.h"
#include "datamover/xcomm_ssl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <thread>

static int dm_config_exchange(dm_client *dmc)
{
    xcomm_msg *req = xcomm_msg_alloc(static_cast<uint32_t>(DM_CONFIG_MSG_SIZE));
    if (req == nullptr)
        return DM_ERR_NOMEM;
    dm_config_msg cm;
    dm_config_init(&cm);
    XASSERT(req->sgl[0].iov_len == get_dm_config_req_size(&dmc->endp, &cm));
    dm_config_encode(&cm, req->sgl[0].iov_base, req->sgl[0].iov_len);
    xcomm_msg *rsp = nullptr;
    int rc = dm_send_sync(dmc, req, &rsp);
    if (rc != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_config_req failed - [%d]\n", rc);
        return rc;
    }
    dm_config_msg got;
    if (rsp->sgl_ents != 1 || rsp->sgl[0].iov_len != get_dm_config_req_size(&dmc->endp, &cm) ||
        dm_config_decode(&got, rsp->sgl[0].iov_base, rsp->sgl[0].iov_len) < 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_config_req failed - [%d]\n", DM_ERR_BADMSG);
        dm_msg_release(rsp);
        return DM_ERR_BADMSG;
    }
    dm_msg_release(rsp);
    if (got.hdr.status != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_config_req failed - [%d]\n", dm_hdr_status(&got.hdr));
        return DM_ERR_BADMSG;
    }
    dmc->config.pref_bsz = got.pref_bsz;
    dmc->config.pref_compress = got.pref_compress;
    dmc->config.pref_dedup = got.pref_dedup;
    dmc->config.b0 = got.rsvd0;
    dmc->config.b1 = got.rsvd1;
    dmc->config.pref_reserve_mb = got.pref_reserve_mb;
    dm_log(dmc, UTIL_LOG_INFO, __LINE__,
           "dm_config_req ok: pref_bsz[%d], pref_compress[%d], pref_dedup[%d], pref_reserve_mb[%u]\n",
           static_cast<int>(got.pref_bsz), static_cast<int>(got.pref_compress), static_cast<int>(got.pref_dedup),
           static_cast<unsigned>(got.pref_reserve_mb));
    if (got.pref_bsz < DM_PAGE_SIZE) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "pref_bsz[%u] below the page size %u\n", got.pref_bsz, DM_PAGE_SIZE);
        return DM_ERR_PAGESZ;
    }
    // Runs of consecutive pages go in one request up to the block size the
    // appliance prefers; an appliance that announces one page gets one page
    // per request. A run never holds more than a quarter of the cache.
    dmc->run_max = std::clamp<uint32_t>(got.pref_bsz / DM_PAGE_SIZE, 1, DM_MAX_RUN);
    dmc->run_max = std::min(dmc->run_max, std::max<uint32_t>(1, dmc->page_cnt / 4));
    // In flight each way: DM_WINDOW and at least two runs; the whole cache
    // when the page count was chosen (a long link needs more than the
    // default). Read-ahead stays within half the cache besides.
    dmc->window = dmc->page_cnt_given ? dmc->cache_bytes
                                      : std::max(DM_WINDOW, 2 * uint64_t{dmc->run_max} * DM_PAGE_SIZE);
    return 0;
}

static int dm_endp_setup(dm_client *dmc)
{
    int rc = xcomm_endp_init(&dmc->ctx, &dmc->endp, dmc->stream_names[0], dmc->streams, dmc->max_pend,
                             htons(DM_DEFAULT_PORT), static_cast<int>(dmc->flags & DM_CL_ENDP_FLAG));
    if (rc != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_endp_init failed - [%d]\n", rc);
        return rc;
    }
    // Streams beyond the first share stream 0's (empty) local name.
    for (int s = 1; s < dmc->streams; s++) {
        rc = xcomm_endp_addstream(&dmc->ctx, &dmc->endp, dmc->stream_names[0]);
        if (rc != 0) {
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_endp_addstream[%s] failed - [%d]\n", dmc->stream_names[0],
                   rc);
            return rc;
        }
    }
    const xcomm_endp_owner own = {.owner = dmc,
                                  .alloc_cb = dm_alloc_cb,
                                  .free_cb = dm_free_cb,
                                  .peek_sz = DM_PEEK_SIZE,
                                  .msgs_per_pass = 1,
                                  .reconnect = (dmc->flags & DM_CL_RECONNECT) ? XCOMM_RECONNECT_ON : XCOMM_RECONNECT_OFF,
                                  .defer_acks = true};
    rc = xcomm_endp_set_owner(&dmc->endp, &own);
    if (rc != 0)
        return rc;
    if (dmc->cert_dir[0] != '\0') {
        rc = xcomm_ssl_set_cert_dir(dmc->cert_dir, &dmc->endp);
        if (rc != 0)
            return rc;
        if (dmc->flags & DM_CL_TLS_REQUIRED)
            dmc->endp.tls_flags |= XCOMM_TLS_REQUIRED;
        dmc->endp.tls_flags |= XCOMM_TLS_CONFIGURED;
    }
    return 0;
}

static int dm_connect(dm_client *dmc)
{
    if (dmc->streams <= 0)
        dmc->streams = 1;
    if (dmc->streams > DM_MAX_STREAMS)
        dmc->streams = DM_MAX_STREAMS;
    int rc = xcomm_ctx_init(&dmc->ctx);
    if (rc != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_ctx_init failed - [%d]\n", rc);
        return rc;
    }
    dmc->ctx_up = true;
    dmc->free_slots = nullptr;
    for (int i = DM_MAX_FILES - 1; i >= 0; i--) {
        dm_file *df = &dmc->files[i];
        df->idx = static_cast<uint16_t>(i);
        df->next = dmc->free_slots;
        dmc->free_slots = df;
    }
    dmc->free_slot_cnt = DM_MAX_FILES;
    rc = dm_pool_init(dmc);
    if (rc == 0) {
        dmc->scratch = static_cast<unsigned char *>(malloc(DM_PAGE_SIZE));
        if (dmc->scratch == nullptr)
            rc = DM_ERR_NOMEM;
    }
    if (rc != 0) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "dm_msg_init failed: - [%d].\n", rc);
        return rc;
    }
    // Every attempt together takes at most the response timeout.
    const int64_t deadline = xcomm_monotime_ms() + static_cast<int64_t>(dmc->resp_timeout_s) * 1000;
    for (int attempt = 1;; attempt++) {
        rc = dm_endp_setup(dmc);
        if (rc != 0)
            return rc;
        int64_t left = deadline - xcomm_monotime_ms();
        xcomm_endp_set_limits(&dmc->endp, static_cast<int32_t>(std::max<int64_t>(1, left)), dmc->resp_timeout_s);
        rc = xcomm_endp_open(&dmc->ctx, &dmc->endp, dmc->name);
        if (rc == 0) {
            dm_log(dmc, UTIL_LOG_INFO, __LINE__, "xcomm_endp_open[%s] successful\n", dmc->name);
            break;
        }
        if (rc == XCOMM_ERR_CONN && attempt < DM_CONNECT_TRIES && deadline - xcomm_monotime_ms() > 1000) {
            dm_log(dmc, UTIL_LOG_DEBUG, __LINE__, "xcomm_endp_open[%s] failed - [%d], try=%d\n", dmc->name, rc, attempt);
            xcomm_endp_shutdown(&dmc->ctx, &dmc->endp);
            xcomm_endp_release(&dmc->ctx, &dmc->endp);
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            continue;
        }
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_endp_open[%s] failed - [%d], tries=%d\n", dmc->name, rc, attempt);
        return rc;
    }
    rc = dm_config_exchange(dmc);
    if (rc != 0)
        return rc;
    int err = 0;
    dmc->pc = pcache_init(DM_PAGE_SIZE, dmc->page_cnt, dmc->page_cnt / 4, &err);
    if (dmc->pc == nullptr) {
        dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "pcache_init failed: - [%d].\n", err);
        return err != 0 ? err : DM_ERR_NOMEM;
    }
    dm_log(dmc, UTIL_LOG_INFO, __LINE__, "initialized pcache with %d pages\n", static_cast<int>(dmc->page_cnt));
    return 0;
}

// Remote name without a port: one of the "dm_client" service names, at random.
static void dm_service_name(dm_client *dmc, const char *host)
{
    int found = 0;
    char svc[32];
    for (int i = 0; i < 99; i++) {
        if (i == 0)
            snprintf(svc, sizeof svc, "dm_client");
        else
            snprintf(svc, sizeof svc, "dm_client%d", i);
        struct servent se;
        struct servent *res = nullptr;
        char buf[1024];
        if (getservbyname_r(svc, "tcp", &se, buf, sizeof buf, &res) != 0 || res == nullptr)
            break;
        found++;
    }
    int r = 0;
    if (found > 0) {
        // A generator of its own: the process's rand() sequence is the host's.
        std::minstd_rand gen(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                             static_cast<unsigned>(reinterpret_cast<uintptr_t>(dmc) >> 4));
        r = static_cast<int>(gen() % static_cast<unsigned>(found));
    }
    if (r == 0)
        snprintf(dmc->name, sizeof dmc->name, "dm_client@%s", host);
    else
        snprintf(dmc->name, sizeof dmc->name, "dm_client%d@%s", r, host);
}

static void dm_teardown(dm_client *dmc)
{
    if (dmc->ctx_up) {
        // Collect whatever has completed, so that nothing of ours is left
        // with the transport when it shuts down.
        for (;;) {
            xcomm_msg *m = nullptr;
            int rc = xcomm_endp_wait(&dmc->ctx, &dmc->endp, &m, XCOMM_Q_POLL, XCOMM_WAIT_PENDING);
            if (rc != 0 || m == nullptr)
                break;
            (void)dm_process(dmc, m);
        }
        // Acknowledgements still held back go out before the connection ends.
        (void)xcomm_endp_flush(&dmc->ctx, &dmc->endp);
        int rc = xcomm_ctx_shutdown(&dmc->ctx);
        if (rc != 0)
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "xcomm_ctx_shutdown failed - [%d]\n", rc);
        dmc->ctx_up = false;
    }
    for (xcomm_msg *&m : dmc->orphans) {
        if (m != nullptr) {
            if (m->rmsg != nullptr)
                dm_msg_release(m->rmsg);
            xcomm_msg_free(m);
            m = nullptr;
        }
    }
    // Requests the transport gave up on still hold their pages; files left
    // open are closed.
    if (dmc->pool != nullptr) {
        for (int i = 0; i < DM_POOL_MSGS; i++) {
            dm_pmsg *pm = &dmc->pool[i];
            if (pm->in_use && pm->npages != 0)
                dm_finish_req(dmc, pm, 0, false);
        }
    }
    for (dm_file &df : dmc->files) {
        dm_file_run_release(&df);
        if (df.f != nullptr) {
            if (dmc->pc != nullptr)
                pcache_sync_file(dmc->pc, df.f, pcache_drop_page, PCACHE_FL_SYNC);
            file_io_close(df.f);
            df.f = nullptr;
        }
    }
    if (dmc->pc != nullptr) {
        int rc = pcache_cleanup(dmc->pc, true);
        if (rc < 0)
            dm_log(dmc, UTIL_LOG_WARNING, __LINE__, "pcache_cleanup failed - [%d]\n", rc);
        dmc->pc = nullptr;
    }
    dm_pool_free(dmc);
    free(dmc->scratch);
    dmc->scratch = nullptr;
}

dm_client *dm_client_create(const char *host, int port, void *log_ctx, int reconnect, int small_cache,
                            const char *cert_dir, int tls_required, int flag2, int *errp)
{
    int dummy;
    if (errp == nullptr)
        errp = &dummy;
    if (host == nullptr || port < 0 || port > 65535) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments\n");
        *errp = DM_ERR_INVALID_ARGS;
        return nullptr;
    }
    if (cert_dir != nullptr && strlen(cert_dir) > 255) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments: cert_dir is too long\n");
        *errp = DM_ERR_INVALID_ARGS;
        return nullptr;
    }
    auto *dmc = new (std::nothrow) dm_client();
    if (dmc == nullptr) {
        *errp = DM_ERR_NOMEM;
        return nullptr;
    }
    dmc->log_ctx = log_ctx;
    dmc->max_pend = DM_MAX_PEND;
    dmc->resp_timeout_s = util_response_timeout();
    if (port != 0)
        snprintf(dmc->name, sizeof dmc->name, "%d@%s", port, host);
    else
        dm_service_name(dmc, host);
    dmc->page_cnt = dm_page_count(small_cache, &dmc->page_cnt_given);
    dmc->cache_bytes = dmc->page_cnt * DM_PAGE_SIZE;
    dm_file_ops_init(&dmc->ops);
    dmc->flags = (reconnect ? DM_CL_RECONNECT : 0u) | (flag2 ? DM_CL_ENDP_FLAG : 0u);
    if (cert_dir != nullptr && cert_dir[0] != '\0') {
        util_strlcpy(dmc->cert_dir, cert_dir, sizeof dmc->cert_dir);
        if (tls_required)
            dmc->flags |= DM_CL_TLS_REQUIRED;
    }
    int rc = dm_connect(dmc);
    if (rc != 0) {
        dm_teardown(dmc);
        delete dmc;
        *errp = rc;
        return nullptr;
    }
    *errp = 0;
    return dmc;
}

void dm_client_destroy(dm_client *dmc)
{
    if (dmc == nullptr) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "Invalid Arguments: dmc(NULL)\n");
        return;
    }
    dm_teardown(dmc);
    dm_shadow_cleanup();
    delete dmc;
}
