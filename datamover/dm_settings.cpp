// DM client, process-wide settings: the log funnel, socket options, page
// digests, read-ahead and the page count.
#include "datamover/dm_int.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kSrc = "dm";

std::atomic<util_log_cb_t> g_log_fn{nullptr};
std::atomic<int> g_log_level{UTIL_LOG_INFO};

}  // namespace

// ---------------------------------------------------------------- logging and settings

int dm_log_level() { return g_log_level.load(std::memory_order_relaxed); }

void dm_log(const dm_client *dmc, int level, int line, const char *fmt, ...)
{
    util_log_cb_t fn = g_log_fn.load(std::memory_order_relaxed);
    if (fn == nullptr)
        return;
    if (level >= UTIL_LOG_DEBUG && level > dm_log_level())
        return;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fn(dmc != nullptr ? dmc->log_ctx : nullptr, level, kSrc, line, text);
}

void dm_set_log(int level, util_log_cb_t fn)
{
    g_log_level.store(level);
    g_log_fn.store(fn);
    util_log_init(nullptr, nullptr, fn);
    util_log_set_level(level);
}

int dm_set_option(int opt, const void *val, size_t valsize)
{
    if (val == nullptr || valsize != sizeof(int32_t)) {
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "valsize=%d, not supported\n", static_cast<int>(valsize));
        return DM_ERR_INVALID_LEN;
    }
    int32_t v;
    memcpy(&v, val, sizeof v);
    dm_log(nullptr, UTIL_LOG_INFO, __LINE__, "opt=%d, val=%d\n", opt, v);
    switch (opt) {
    case DM_OPT_NODELAY:
        v = v != 0 ? 1 : 0;
        [[fallthrough]];
    case DM_OPT_RCVBUF:
    case DM_OPT_SNDBUF:
    case DM_OPT_KEEPIDLE:
    case DM_OPT_KEEPCNT:
    case DM_OPT_KEEPINTVL:
        if (xcomm_set_sockopt(opt, v) != 0)
            return DM_ERR_INVALID_LEN;
        return 0;
    default:
        dm_log(nullptr, UTIL_LOG_WARNING, __LINE__, "opt=%d, not supported\n", opt);
        return DM_ERR_INVALID_LEN;
    }
}

void dm_set_digests(int on) { util_set_page_digest(on != 0); }

void dm_set_read_ahead(int val) { util_set_size_mb(val); }

int dm_data_error(int sticky)
{
    if (sticky > 0)
        return DM_ERR_AIO;  // the peer's error number stays on the file for flush and close
    return sticky;
}

uint32_t dm_page_count(int small_cache, bool *given)
{
    uint32_t n = small_cache ? DM_PAGE_CNT_SMALL : DM_PAGE_CNT;
    if (given != nullptr)
        *given = false;
    std::lock_guard<std::mutex> g(util_env_lock());
    const char *e = getenv("DMC_PAGE_CNT");
    if (e != nullptr) {
        char *end = nullptr;
        errno = 0;
        long v = strtol(e, &end, 10);
        if (end != nullptr && *end == '\0') {
            if (v < static_cast<long>(DM_PAGE_CNT_MIN))
                v = DM_PAGE_CNT_MIN;
            if (v > static_cast<long>(DM_PAGE_CNT_MAX))
                v = DM_PAGE_CNT_MAX;
            n = static_cast<uint32_t>(v);
            if (given != nullptr)
                *given = true;
        }
    }
    return n;
}

void dm_apply_settings(const dm_settings *s)
{
    if (s == nullptr)
        return;
    if (s->digests == 1)
        dm_set_digests(1);
    if (s->read_ahead_mb >= 0)
        dm_set_read_ahead(s->read_ahead_mb);
    const struct {
        int opt;
        int32_t val;
    } opts[] = {
        {DM_OPT_NODELAY, s->tcp_nodelay},     {DM_OPT_SNDBUF, s->tcp_sndbuf},   {DM_OPT_RCVBUF, s->tcp_rcvbuf},
        {DM_OPT_KEEPINTVL, s->tcp_keepintvl}, {DM_OPT_KEEPCNT, s->tcp_keepcnt}, {DM_OPT_KEEPIDLE, s->tcp_keepidle},
    };
    for (const auto &o : opts)
        if (o.val >= 0)
            dm_set_option(o.opt, &o.val, sizeof o.val);
}
