#include "lib/common/pgnbfst.h"

#include <cstdarg>
#include <cstdio>

#include "bfst/bfst2.h"
#include "lib/common/com_util.h"
#include "lib/common/log.h"

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
    RLOG(LOG_LVL_ERROR, "%s: 0x%X [%s]: %s\n", msg, static_cast<unsigned>(code), bfst2_strerror(code),
         err != nullptr ? err : "");
}

int bfst_library_init()
{
    char *err = nullptr;
    int rc = bfst2_initialize("BFST_RMAN", &err);
    if (rc != 0)
        bfst_report_error(rc, err, "BFST API initialization failed.");
    bfst2_free_error_string(err);
    return bfst_status_to_mi(rc);
}

int bfst_library_fini()
{
    char *err = nullptr;
    int rc = bfst2_finalize(&err);
    if (rc != 0)
        bfst_report_error(rc, err, "BFST API finalization failed.");
    bfst2_free_error_string(err);
    return bfst_status_to_mi(rc);
}
