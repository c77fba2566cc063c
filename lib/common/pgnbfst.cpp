// The transfer library's process-wide start and stop with the channels'
// reference count on it, the mapping of its codes onto MI statuses, its error
// reports and the timing of its calls.
#include "lib/common/pgnbfst.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lib/common/com_util.h"
#include "lib/common/log.h"
#include "lib/common/pgnbfst_int.h"
#include "lib/common/pgnconfig.h"

int32_t bfst_status_to_mi(int code)
{
    switch (code) {
    case 0:
        return 0;
    case BFST2_ERR_NOSPACE:
    case BFST2_ERR_QUOTA:
        return MI_STS_ENOSPC;
    case BFST2_ERR_SERVER_BUSY:
    case BFST2_ERR_VSERVER_BUSY:
        return MI_STS_ECONNECT;
    case BFST2_ERR_PROTOCOL:
        return MI_STS_EPROTO;
    case BFST2_ERR_AUTH:
        return MI_STS_EAUTH;
    case BFST2_ERR_ABORTED:
        return MI_STS_EABORT;
    case BFST2_ERR_NOT_INITIALIZED:
        return MI_STS_EINIT;
    case BFST2_ERR_NOT_FOUND:
        return MI_STS_EFNOTFOUND;
    case BFST2_ERR_NOMEM:
        return MI_STS_EMALLOC;
    default:
        return MI_STS_EINTERNAL;
    }
}

void bfst_report_error(int code, const char *err, const char *fmt, ...)
{
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    const char *text = bfst_calls().strerror(code);
    RLOG(LOG_LVL_ERROR, "%s: 0x%X [%s]: %s\n", msg, static_cast<unsigned>(code), text != nullptr ? text : "",
         err != nullptr ? err : "");
}

void bfst_release_error(char **err)
{
    if (*err != nullptr) {
        bfst_calls().free_error_string(*err);
        *err = nullptr;
    }
}

void bfst_fail(int code, char **err, const char *message)
{
    bfst_report_error(code, *err, "%s", message);
    bfst_release_error(err);
}

namespace {

std::mutex g_bfst_lock;        // guards rpgnBfstInitialized
int rpgnBfstInitialized = 0;   // channels holding the transfer library

}  // namespace

int bfst_library_init()
{
    char *err = nullptr;
    int rc = bfst_calls().initialize("BFST_RMAN", &err);
    if (rc != 0)
        bfst_report_error(rc, err, "BFST API initialization failed.");
    bfst_release_error(&err);
    return bfst_status_to_mi(rc);
}

int bfst_library_fini()
{
    char *err = nullptr;
    int rc = bfst_calls().finalize(&err);
    if (rc != 0)
        bfst_report_error(rc, err, "BFST API finalization failed.");
    bfst_release_error(&err);
    return bfst_status_to_mi(rc);
}

int rpgn_initbfst()
{
    std::lock_guard<std::mutex> g(g_bfst_lock);
    if (rpgnBfstInitialized > 0) {
        RLOG(LOG_LVL_DEBUG, "rpgn_initbfst: rpgnBfstInitialized %d\n", rpgnBfstInitialized);
    } else {
        int rc = bfst_library_init();
        if (rc != 0) {
            RLOG(LOG_LVL_ERROR, "rpgn_initbfst: failed to initialize BFST API: %s\n", mi_status_name(rc));
            return rc;
        }
        pgn_config &c = pgncfg();
        RLOG(LOG_LVL_INFO, "WRITE_CACHE_SIZE=%u\n", static_cast<unsigned>(c.WRITE_CACHE_SIZE.load()));
        RLOG(LOG_LVL_INFO, "READ_CACHE_SIZE=%u\n", static_cast<unsigned>(c.READ_CACHE_SIZE.load()));
        RLOG(LOG_LVL_INFO, "BFST_DEDUP=%d\n", c.BFST_DEDUP.load());
        if (c.SERVER_READ_BUFFERED.load() < 0)
            RLOG(LOG_LVL_INFO, "SERVER_READ_BUFFERED=(BFST default)\n");
        else
            RLOG(LOG_LVL_INFO, "SERVER_READ_BUFFERED=%d\n", c.SERVER_READ_BUFFERED.load());
        RLOG(LOG_LVL_INFO, "BFST API Initialized.\n");
    }
    rpgnBfstInitialized++;
    return 0;
}

void rpgn_finibfst()
{
    std::lock_guard<std::mutex> g(g_bfst_lock);
    if (rpgnBfstInitialized == 1) {
        bfst_library_fini();
        RLOG(LOG_LVL_INFO, "BFST API Finalized.\n");
    } else {
        RLOG(LOG_LVL_DEBUG, "rpgn_finibfst: rpgnBfstInitialized %d\n", rpgnBfstInitialized);
    }
    if (--rpgnBfstInitialized < 0) {
        RLOG(LOG_LVL_ERROR, "rpgn_finibfst: rpgnBfstInitialized(%d) out of range, adjusting to 0.\n",
             rpgnBfstInitialized);
        rpgnBfstInitialized = 0;
    }
}

void bfst_check_slow(bfst_path *p, uint64_t elapsed_ms, const char *file, int line, const char *func,
                     const char *call)
{
    double seconds = static_cast<double>(elapsed_ms) / 1000.0;
    if (seconds < static_cast<double>(pgncfg().ADMIN_ALERT_TIME.load()))
        return;
    const char *base = strrchr(file, '/');
    char text[1024];
    snprintf(text, sizeof text, "%s:%d, %s(): %s", base != nullptr ? base + 1 : file, line, func, call);
    process_admin_alert(seconds >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(seconds), p, text);
}
