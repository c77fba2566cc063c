// Client authentication on an MI session.
#include "lib/common/pgnauth.h"

#include "datamover/md5.h"
#include "datamover/ost_mi.h"
#include "datamover/util.h"
#include "lib/common/mi_comm.h"

#include <cstring>

static_assert(PGNAUTH_ATTR_OFFSET + MI_AUTH_ATTR_SIZE <= PGNAUTH_BLOCK_SIZE, "attribute inside the block");
static_assert(PGNAUTH_DIGEST_SIZE == MI_AUTH_DIGEST_SIZE, "digest travels whole");

namespace {

constexpr const char *SRC = "pgnauth";

// A wipe the compiler may not drop as a dead store.
void wipe(void *p, size_t n) { explicit_bzero(p, n); }

}  // namespace

void pgnauth_digest(const char *password, const unsigned char *attr, unsigned char digest[PGNAUTH_DIGEST_SIZE])
{
    unsigned char block[PGNAUTH_BLOCK_SIZE] = {};
    if (password != nullptr)
        memcpy(block, password, strnlen(password, PGNAUTH_PASSWORD_BYTES));
    if (attr != nullptr)
        memcpy(block + PGNAUTH_ATTR_OFFSET, attr, MI_AUTH_ATTR_SIZE);
    md5_digest(block, sizeof block, digest);
    wipe(block, sizeof block);
}

int pgnauth_authenticate(ost_mi_client *cli, const char *user, const char *password)
{
    if (cli == nullptr) {
        util_log(UTIL_LOG_ERROR, SRC, __LINE__, "Message(MI_CONFIG_GET_AUTH_ATTR) send failed: %d\n", KES_EINVAL);
        return KES_EINVAL;
    }

    mi_config_get_auth_attr_req attr_req{};
    mi_config_get_auth_attr_reply attr_reply{};
    mi_authenticate_client_req auth_req{};
    mi_status_reply auth_reply{};
    int rc;

    attr_req.value = MI_AUTH_ATTR_ASK;
    rc = miSendRequest(cli, MI_CONFIG_GET_AUTH_ATTR, &attr_req, &attr_reply);
    if (rc != 0) {
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "Message(MI_CONFIG_GET_AUTH_ATTR) send failed: %d\n", rc);
    } else if (attr_reply.status != 0) {
        rc = attr_reply.status;
        ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "Received error(%d) from server\n", rc);
    } else {
        auth_req.kind = MI_CRED_KIND_DIGEST;
        auth_req.cred.digest.user = const_cast<char *>(user);
        pgnauth_digest(password,
                       attr_reply.attr.present == MI_AUTH_ATTR_PRESENT ? attr_reply.attr.attr : nullptr,
                       auth_req.cred.digest.digest);
        rc = miSendRequest(cli, MI_AUTHENTICATE_CLIENT, &auth_req, &auth_reply);
        if (rc != 0) {
            ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "Message(MI_AUTHENTICATE_CLIENT) send failed: %d\n", rc);
        } else if (auth_reply.status != 0) {
            rc = auth_reply.status;
            ost_mi_log(cli, UTIL_LOG_ERROR, SRC, __LINE__, "Received error(%d) from server\n", rc);
        }
    }

    // Release what the replies own first, so that wiping cannot strand a
    // string, then erase digest and attribute.
    mi_free_reply(MI_CONFIG_GET_AUTH_ATTR, &attr_reply);
    mi_free_reply(MI_AUTHENTICATE_CLIENT, &auth_reply);
    wipe(&attr_req, sizeof attr_req);
    wipe(&attr_reply, sizeof attr_reply);
    wipe(&auth_req, sizeof auth_req);
    wipe(&auth_reply, sizeof auth_reply);
    return rc;
}
