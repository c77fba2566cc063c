// The BFST context of one backup file: credential, connection (with the
// retry while the appliance is busy), session, and their release.
#include <cstdlib>
#include <sys/stat.h>

#include "lib/common/com_util.h"
#include "lib/common/log.h"
#include "lib/common/pgnbfst_int.h"
#include "lib/common/pgnconfig.h"

namespace {

constexpr uint32_t kBfstPort = 1062;
constexpr uint32_t kConnectTimeoutS = 60;
constexpr uint32_t kCertificateKind = 0x034A147F;
constexpr uint32_t kConnectForBackup = 0x10000;
constexpr uint32_t kBusyRetrySleepMs = 10000;

// A certificate file is handed over only when it is there.
const char *if_present(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? path : nullptr;
}

int create_credential(bfst_context *c)
{
    const bfst_api &api = bfst_calls();
    char *err = nullptr;
    int rc;
    const char *what;
    if (c->cipher == BFST_CIPHER_CERT) {
        rc = api.credential_create_certificate_files(c->cipher, kCertificateKind, if_present(pgnconfig_cacert_path()),
                                                     if_present(pgnconfig_cert_path()),
                                                     if_present(pgnconfig_key_path()),
                                                     if_present(pgnconfig_crl_path()), BFST2_NO_FLAGS, &c->cred, &err);
        what = "BFST Invalid certificate material is provided.";
    } else {
        const char *password =
            c->cipher == BFST_CIPHER_SHA256_AES256 ? "5C3E9A17B0D24F68A1E7C93B40D6F215" : "lakeside";
        rc = api.credential_create_password(c->cipher, password, BFST2_NO_FLAGS, &c->cred, &err);
        what = "BFST credential object creation failed.";
    }
    rc = bfst_created(rc, c->cred);
    if (rc != 0) {
        bfst_fail(rc, &err, what);
        bfst_report_error(rc, nullptr, "BFST connection create failed.");
    }
    bfst_release_error(&err);
    return rc;
}

// Connects, retrying every 10 seconds while the appliance says it has too
// many clients, for at most DATA_CONNECTION_BUSY_TIMEOUT seconds. Returns the
// last library code.
int handle_bfst_connect_retry(bfst_context *c, bool backup)
{
    const bfst_api &api = bfst_calls();
    const int timeout = pgncfg().DATA_CONNECTION_BUSY_TIMEOUT.load();
    const uint64_t start = api.tick_ms();
    int64_t elapsed = 0;
    int attempts = 0;
    int rc = 0;
    bool timed_out = true;
    while (elapsed <= timeout) {
        char *err = nullptr;
        rc = api.connect(c->conn, backup ? kConnectForBackup : 0, &err);
        if (rc == BFST2_ERR_SERVER_BUSY) {
            bfst_fail(rc, &err, "BFST connect exceeded the server's maximum client connections - retrying.");
        } else if (rc == BFST2_ERR_VSERVER_BUSY) {
            bfst_fail(rc, &err, "BFST connect exceeded the virtual server's maximum client connections - retrying.");
        } else {
            if (rc != 0)
                bfst_fail(rc, &err, "BFST connect failed.");
            bfst_release_error(&err);
            timed_out = false;
            break;
        }
        api.sleep_ms(kBusyRetrySleepMs);
        attempts++;
        uint64_t now = api.tick_ms();
        elapsed = now >= start ? static_cast<int64_t>((now - start) / 1000) : 0;
    }
    if (timed_out)
        bfst_report_error(rc, nullptr, "BFST connect timeout of %d seconds reached after %d attempts; giving up.",
                          timeout, attempts);
    else if (rc == 0 && attempts > 0)
        RLOG(LOG_LVL_INFO, "BFST connect success after %d retries.\n", attempts);
    return rc;
}

// A failed step of the connect: release what was built, return the status.
int connect_failed(bfst_path *p, int code)
{
    pgnbfst_disconnect_gp(p);
    return bfst_status_to_mi(code);
}

}  // namespace

int pgnbfst_initialize_gp(bfst_path *p, uint64_t blob_size)
{
    COM_ASSERT(p != nullptr && p->ctx == nullptr, "BFST path already has a context\n");
    COM_ASSERT(blob_size != 0, "BFST blob size 0\n");
    auto *c = static_cast<bfst_context *>(calloc(1, sizeof(bfst_context)));
    if (c == nullptr)
        return MI_STS_EMALLOC;
    c->blob_size = blob_size;
    if (!(p->flags & BFST_F_CIPHER)) {
        c->cipher = BFST_CIPHER_NONE;
    } else if (p->flags & BFST_F_CIPHER_A) {
        c->cipher = BFST_CIPHER_A;
    } else if (p->flags & BFST_F_CIPHER_SHA256) {
        c->cipher = BFST_CIPHER_SHA256_AES256;
    } else if (p->flags & BFST_F_CIPHER_CERT) {
        c->cipher = BFST_CIPHER_CERT;
    } else {
        RLOG(LOG_LVL_WARNING, "Invalid encryption type, setting it to default SHA256-AES256\n");
        c->cipher = BFST_CIPHER_SHA256_AES256;
    }
    p->ctx = c;
    return 0;
}

void pgnbfst_finalize_gp(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr, "BFST path has no context\n");
    COM_ASSERT(c->store == nullptr && c->session == nullptr, "BFST context still has a store or session\n");
    free(c);
    p->ctx = nullptr;
}

int pgnbfst_connect_new_session_gp(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr, "BFST path has no context\n");
    const bfst_api &api = bfst_calls();
    const char *type = c->cipher == BFST_CIPHER_NONE ? "ost-no-encrypt" : "ost";

    int rc = create_credential(c);
    if (rc != 0)
        return connect_failed(p, rc);

    char *err = nullptr;
    rc = api.handle_create_remote_with_credential(p->host, kBfstPort, kConnectTimeoutS, type, c->cred, BFST2_NO_FLAGS,
                                                  &c->conn, &err);
    rc = bfst_created(rc, c->conn);
    if (rc != 0) {
        bfst_fail(rc, &err, "BFST connection create failed.");
        return connect_failed(p, rc);
    }
    rc = handle_bfst_connect_retry(c, p->open_mode == BFST_OPEN_BACKUP);
    if (rc != 0)
        return connect_failed(p, rc);
    rc = api.open(c->conn, BFST2_NO_FLAGS, &err);
    if (rc != 0) {
        bfst_fail(rc, &err, "BFST open failed.");
        return connect_failed(p, rc);
    }
    rc = BFST_TIMED(p, nullptr, session_create, c->conn, BFST2_NO_FLAGS, &c->session, &err);
    rc = bfst_created(rc, c->session);
    if (rc != 0) {
        bfst_fail(rc, &err, "BFST session create failed.");
        return connect_failed(p, rc);
    }
    uint32_t len = 0;
    rc = api.get_tag_length(c->conn, &len, &err);
    if (rc != 0) {
        bfst_fail(rc, &err, "BFST get tag length failed.");
        return connect_failed(p, rc);
    }
    // The tag buffer's first byte carries the length, so it must fit in one.
    if (len == 0 || len > BFST_TAG_MAX) {
        bfst_report_error(BFST2_ERR_PROTOCOL, nullptr, "BFST get tag length failed: length %u out of range.",
                          static_cast<unsigned>(len));
        return connect_failed(p, BFST2_ERR_PROTOCOL);
    }
    bfst_release_error(&err);
    c->tag_length = len;
    RLOG(LOG_LVL_DEBUG, "Connected to BFST %s\n", p->host);
    return 0;
}

int pgnbfst_disconnect_gp(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr, "BFST path has no context\n");
    const bfst_api &api = bfst_calls();
    int status = 0;
    if (c->store != nullptr)
        status = finish_blob_in_image_gp(p);
    char *err = nullptr;
    if (c->session != nullptr) {
        int rc = BFST_TIMED(p, nullptr, session_destroy, c->session, BFST2_NO_FLAGS, &err);
        if (rc != 0)
            bfst_fail(rc, &err, "BFST session destroy failed.");
        bfst_release_error(&err);
        c->session = nullptr;
        c->session_started = 0;
    }
    if (c->conn != nullptr) {
        int rc = api.disconnect(c->conn, BFST2_NO_FLAGS, &err);
        if (rc != 0)
            bfst_fail(rc, &err, "BFST connection disconnect failed.");
        bfst_release_error(&err);
        rc = api.handle_destroy(c->conn, BFST2_NO_FLAGS, &err);
        if (rc != 0)
            bfst_fail(rc, &err, "BFST connection destroy failed.");
        bfst_release_error(&err);
        c->conn = nullptr;
    }
    if (c->cred != nullptr) {
        int rc = api.credential_destroy(c->cred, BFST2_NO_FLAGS, &err);
        if (rc != 0)
            bfst_fail(rc, &err, "BFST credential object destroy failed.");
        bfst_release_error(&err);
        c->cred = nullptr;
    }
    RLOG(LOG_LVL_DEBUG, "Disconnected from BFST\n");
    // An image left incomplete by an earlier failure is not whole at close either.
    if (status == 0)
        status = c->failed;
    return status;
}

int start_bfst_session(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr && !c->session_started, "BFST session already started\n");
    char *err = nullptr;
    int rc = BFST_TIMED(p, nullptr, session_start, c->session, BFST2_NO_FLAGS, &err);
    if (rc != 0)
        bfst_fail(rc, &err, "BFST session start failed.");
    else
        c->session_started = 1;
    bfst_release_error(&err);
    return rc;
}

int finish_bfst_session(bfst_path *p)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr && c->store == nullptr && c->session != nullptr && c->session_started,
               "BFST session finish without a started session or with an open store\n");
    char *err = nullptr;
    int rc = BFST_TIMED(p, nullptr, session_finish, c->session, BFST2_NO_FLAGS, &err);
    if (rc != 0)
        bfst_fail(rc, &err, "BFST session finish failed.");
    bfst_release_error(&err);
    c->session_started = 0;
    return rc;
}
