// DM client, named attributes: set and get by open file or by name, the
// operations table's two attribute requests and their checks.
#include "datamover/dm_int.h"

#include <algorithm>
#include <cstring>
#include <sys/types.h>

namespace {

// Sends one attribute request (set: value and its length; get: no value and
// the buffer capacity) and waits for its answer. 0 with *rsp, or an error
// already logged under the request's name.
int xattr_exchange(dm_client *dmc, uint8_t cmd, dm_file *df, const char *fname, const char *attr, const void *value,
                   uint32_t value_len, const char *what, xcomm_msg **rsp)
{
    const uint32_t handle = df != nullptr ? df->handle : 0;
    auto encode = [&](void *buf, size_t len) {
        return dm_xattr_req_encode(cmd, handle, fname, attr, value, value_len, buf, len);
    };
    int rc = dm_request(dmc, dm_xattr_req_len(cmd, fname, attr, value_len), encode, rsp);
    if (rc != 0)
        DMLOG(dmc, UTIL_LOG_WARNING, "%s failed - [%d]\n", what, rc);
    return rc;
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

int dm_rmt_set_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, const void *value,
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

int dm_rmt_get_xattr(dm_client *dmc, dm_file *df, const char *fname, const char *attr, void *buf, uint32_t *value_len)
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
