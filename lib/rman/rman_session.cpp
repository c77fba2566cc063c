// Sessions of a channel: sbtinit2's look-up of the appliance and the
// credentials, the MI and DM sessions with the version check, login and the
// data mover's port, their close, and what sbtend does with an open file; and
// the helpers every operation of the channel shares.
#include "lib/rman/rman_session.h"

#include <cstdio>
#include <cstring>

#include "datamover/util.h"
#include "lib/common/log.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnauth.h"
#include "lib/common/pgnbfst.h"
#include "lib/common/pgnconfig.h"
#include "lib/rman/pgn_creds.h"
#include "lib/rman/rman_bfst.h"
#include "lib/rman/rman_session_int.h"
#include "lib/rman/rpgn_channel_state.h"

namespace {

constexpr int kMiPort = 10002;

int rpgn_get_dm_port(rpgn_channel *ch, int *port)
{
    mi_dm_port_req req = {0};
    mi_dm_port_reply reply = {};
    int rc = rpgn_mi_request(ch, MI_DM_PORT, &req, &reply, &reply.status);
    if (rc == 0)
        *port = reply.port;
    mi_free_reply(MI_DM_PORT, &reply);
    return rc;
}

}  // namespace

// ---------------------------------------------------------------- shared by the operations

int rpgn_share_name(char *out, const rpgn_channel *ch, const char *file)
{
    return snprintf(out, RPGN_APPL_NAME_MAX, "generic:/%s/%s", ch->backup_share, file);
}

const char *rpgn_missing_item(const rpgn_channel *ch)
{
    if (ch->backup_host == nullptr)
        return "storage host is not specified";
    if (ch->backup_share == nullptr)
        return "storage share is not specified";
    if (ch->backup_username == nullptr || ch->backup_password == nullptr)
        return "user credentials are not specified";
    return "unknown error";
}

int rpgn_remove_backup(rpgn_channel *ch)
{
    char sname[RPGN_APPL_NAME_MAX];
    rpgn_share_name(sname, ch, ch->file_name);
    return dm_file_delete(rpgn_dm(ch), sname);
}

int rpgn_refuse(rpgn_channel *ch, const char *name, const char *fmt, const char *arg)
{
    rpgn_set_error(ch, SBT_ERROR_MM, fmt, arg);
    return rpgn_exit(ch, name, -1);
}

int rpgn_mi_request(rpgn_channel *ch, uint32_t number, void *req, void *reply, const int32_t *status)
{
    ost_mi_client *mi = rpgn_mi(ch);
    if (mi == nullptr)
        return KES_EINVAL;
    int rc = miSendRequest(mi, number, req, reply);
    if (rc != 0) {
        RLOG(LOG_LVL_ERROR, "Message(%s) send failed: %d\n", mi_msg_name(number), rc);
        return rc;
    }
    if (*status != 0) {
        RLOG(LOG_LVL_ERROR, "Received error (%s) from server\n", rpgn_status_text(*status));
        return *status;
    }
    return 0;
}

// ---------------------------------------------------------------- sessions

void rpgn_session_reply_free(rpgn_session_reply *r) { mi_free_reply(MI_GET_VERSION, &r->version); }

int rpgn_open_sessions(rpgn_channel *ch, rpgn_session_reply *reply)
{
    // Each channel reads its own parameters; what they do not name comes
    // from the process environment.
    ch->backup_host = rpgn_param(ch, "BACKUP_HOST");
    if (ch->backup_host == nullptr)
        return 0;
    ch->backup_share = rpgn_param(ch, "BACKUP_SHARE");
    if (ch->backup_share == nullptr)
        return 0;
    ch->backup_username = rpgn_param(ch, "BACKUP_USERNAME");
    if (ch->backup_username != nullptr)
        ch->backup_password = rpgn_param(ch, "BACKUP_PASSWORD");
    if (ch->backup_username == nullptr || ch->backup_password == nullptr) {
        ch->backup_credid = rpgn_param(ch, "BACKUP_CREDID");
        if (ch->backup_credid == nullptr)
            return 0;
        memset(&ch->cred, 0, sizeof ch->cred);
        util_strlcpy(ch->cred.id, ch->backup_credid, sizeof ch->cred.id);
        util_strlcpy(ch->cred.host, ch->backup_host, sizeof ch->cred.host);
        char msg[1024] = "";
        if (rpgn_creds_lookup(pgnconfig_creds_path(), &ch->cred, msg) != 0) {
            rpgn_set_error(ch, SBT_ERROR_MM, "%s", msg);
            return -1;
        }
        ch->backup_username = ch->cred.user;
        ch->backup_password = ch->cred.password;
    }
    const char *host = ch->backup_host;
    const int tls = pgncfg().ENCRYPTION_REQUIRED.load();

    int err = 0;
    ch->mi_session = ost_mi_client_create(host, kMiPort, nullptr, rpgn_dm_log_cb, OST_MI_RECONNECT_OFF,
                                          pgnconfig_libdir(), tls, OST_MI_ENDP_USE_POLL, &err);
    if (ch->mi_session == nullptr) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: mi_session failed: %s", rpgn_status_text(err ? err : KES_ENOMEM));
        return -1;
    }

    mi_get_version_req vreq = {const_cast<char *>(host), MI_GET_VERSION_ARG1, MI_GET_VERSION_ARG2,
                               MI_GET_VERSION_CLIENT};
    int rc = miSendRequest(rpgn_mi(ch), MI_GET_VERSION, &vreq, &reply->version);
    if (rc != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: failed to send MI_GET_VERSION request: %s", rpgn_status_text(rc));
        return -1;
    }
    if (reply->version.status != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: MI_GET_VERSION request returned with error: %s",
                       rpgn_status_text(reply->version.status));
        return -1;
    }
    int proto = mi_version_proto(reply->version.version);
    if (proto < MI_PROTO_MIN) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: server %s (proto %d) doesn't support RMAN plugin", host, proto);
        return -1;
    }
    ch->server_version = static_cast<uint32_t>(reply->version.version);

    rc = pgnauth_authenticate(rpgn_mi(ch), ch->backup_username, ch->backup_password);
    if (rc != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: authentication to server %s username = %s failed: %s", host,
                       ch->backup_username, rpgn_status_text(rc));
        return -1;
    }

    int port = 0;
    rc = rpgn_get_dm_port(ch, &port);
    if (rc != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: server %s failed to return a port: %s", host,
                       rpgn_status_text(rc));
        return -1;
    }

    err = 0;
    ch->dm_session = dm_client_create(host, port, nullptr, DM_RECONNECT_OFF, DM_CACHE_NORMAL, pgnconfig_libdir(), tls,
                                     DM_ENDP_USE_POLL, &err);
    if (ch->dm_session == nullptr) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: dm_session failed: %s", rpgn_status_text(err ? err : KES_ENOMEM));
        return -1;
    }
    ch->flags |= RPGN_F_SESSION;
    rc = rpgn_initbfst();
    if (rc != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: failed to initialize the BFST library: %s", rpgn_status_text(rc));
        return -1;
    }
    ch->flags |= RPGN_F_BFSTREF;
    return 0;
}

void rpgn_close_sessions(rpgn_channel *ch)
{
    // The BFST path of an open file sends its MI messages on this session.
    if (ch->flags & RPGN_F_BFSTREF)
        rpgn_bfst_release(&ch->bfst_path);
    ch->bfst_path.mi_session = nullptr;
    if (ch->dm_session != nullptr) {
        dm_client_destroy(rpgn_dm(ch));
        ch->dm_session = nullptr;
    }
    if (ch->mi_session != nullptr) {
        ost_mi_client_destroy(rpgn_mi(ch));
        ch->mi_session = nullptr;
    }
    ch->flags &= ~static_cast<uint64_t>(RPGN_F_SESSION);
}

void rpgn_end_channel(rpgn_channel *ch)
{
    if ((ch->flags & RPGN_F_SESSION) && ch->dm_file != nullptr) {
        dm_file_close(rpgn_dm_file(ch));
        ch->dm_file = nullptr;
        if (ch->flags & RPGN_F_BACKUP) {
            // The unfinished backup file does not survive.
            rpgn_remove_backup(ch);
        }
        ch->file_name[0] = '\0';
    }
    // A backup file on the BFST path that RMAN never closed: its connection
    // and caches go; the appliance drops the file with the MI session.
    rpgn_bfst_release(&ch->bfst_path);
    if (ch->flags & RPGN_F_BFSTREF) {
        rpgn_finibfst();
        ch->flags &= ~static_cast<uint64_t>(RPGN_F_BFSTREF);
    }
}
