// Sessions to the appliance (MI and DM), backup and restore of backup pieces
// on the DM path, and the catalogue operations.
#include "lib/rman/rman_session.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "datamover/dm.h"
#include "datamover/ost_mi.h"
#include "datamover/util.h"
#include "lib/common/com_util.h"
#include "lib/common/log.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnauth.h"
#include "lib/common/pgnbfst.h"
#include "lib/common/pgnconfig.h"
#include "lib/rman/pgn_creds.h"
#include "lib/rman/rman_bfst.h"
#include "lib/rman/rpgn_channel_state.h"

namespace {

constexpr int kMiPort = 10002;
constexpr size_t kNameBuf = 260;
constexpr const char *kBackupInfoAttr = "backup_info";

// ---------------------------------------------------------------- process-wide

ost_mi_client *mi_of(const rpgn_channel *ch) { return static_cast<ost_mi_client *>(ch->mi_session); }
dm_client *dm_of(const rpgn_channel *ch) { return static_cast<dm_client *>(ch->dm_session); }
dm_file *file_of(const rpgn_channel *ch) { return static_cast<dm_file *>(ch->dm_file); }

// "generic:/share/name", cut at 259 characters; returns the full length.
int share_name(char *out, const rpgn_channel *ch, const char *file)
{
    return snprintf(out, kNameBuf, "generic:/%s/%s", ch->backup_share, file);
}

// Why a channel has no sessions, for the refusals of the file operations.
const char *missing_item(const rpgn_channel *ch)
{
    if (ch->backup_host == nullptr)
        return "storage host is not specified";
    if (ch->backup_share == nullptr)
        return "storage share is not specified";
    if (ch->backup_username == nullptr || ch->backup_password == nullptr)
        return "user credentials are not specified";
    return "unknown error";
}

bool mi_file_held(const rpgn_channel *ch) { return ch->bfst_path.mi_fh != 0; }

// Buffer dumps of sbtwrite2 and sbtread2: wanted when the trace log is at
// TRACE1, or else when the main log is at TRACE1 or more.
bool dump_wanted()
{
    int t = plog_trace_level();
    if (t >= 0)
        return t == LOG_LVL_TRACE1 || plog_main_level() >= LOG_LVL_TRACE1;
    return plog_main_level() >= LOG_LVL_TRACE1;
}

void dump_buffer(const char *fmt, const void *buf, uint64_t len)
{
    char hex[65];
    const unsigned char *p = static_cast<const unsigned char *>(buf);
    size_t n = len < 32 ? static_cast<size_t>(len) : 32;
    for (size_t i = 0; i < n; i++)
        snprintf(hex + i * 2, 3, "%02hhX", p[i]);
    hex[n * 2] = '\0';
    RLOG_T(LOG_LVL_TRACE1, fmt, hex);
}

// ---------------------------------------------------------------- MI requests

int rpgn_get_dm_port(rpgn_channel *ch, int *port)
{
    ost_mi_client *mi = mi_of(ch);
    if (mi == nullptr)
        return KES_EINVAL;
    mi_dm_port_req req = {0};
    mi_dm_port_reply reply = {};
    int rc = miSendRequest(mi, MI_DM_PORT, &req, &reply);
    if (rc != 0) {
        RLOG(LOG_LVL_ERROR, "Message(MI_DM_PORT) send failed: %d\n", rc);
    } else if (reply.status != 0) {
        rc = reply.status;
        RLOG(LOG_LVL_ERROR, "Received error (%s) from server\n", rpgn_status_text(rc));
    } else {
        *port = reply.port;
    }
    mi_free_reply(MI_DM_PORT, &reply);
    return rc;
}

// Opens name through MI with runtime-style open flags; returns the status and
// the file handle and result flags.
int rpgn_open_file(rpgn_channel *ch, const char *name, int oflags, uint64_t *fh, uint32_t *rflags)
{
    ost_mi_client *mi = mi_of(ch);
    if (mi == nullptr)
        return KES_EINVAL;
    int32_t mode = 0;
    switch (oflags & 3) {
    case KES_O_RDONLY:
        mode = MI_OPEN_READ;
        break;
    case KES_O_WRONLY:
        mode = MI_OPEN_WRITE;
        break;
    default:
        RLOG(LOG_LVL_ERROR, "invalid mode argument\n");
        return KES_EINVAL;
    }
    if (oflags & KES_O_CREAT)
        mode |= MI_OPEN_CREATE;
    if (oflags & KES_O_EXCL)
        mode |= MI_OPEN_EXCL;
    mi_open_file_req req = {mode, const_cast<char *>(name)};
    mi_open_file_reply reply = {};
    int rc = miSendRequest(mi, MI_OPEN_FILE, &req, &reply);
    if (rc != 0) {
        RLOG(LOG_LVL_ERROR, "Message(MI_OPEN_FILE) send failed: %d\n", rc);
    } else if (reply.status != 0) {
        rc = reply.status;
        RLOG(LOG_LVL_ERROR, "Received error (%s) from server\n", rpgn_status_text(rc));
    } else {
        *fh = reply.handle;
        *rflags = static_cast<uint32_t>(reply.flags);
    }
    mi_free_reply(MI_OPEN_FILE, &reply);
    return rc;
}

int rpgn_close_file(rpgn_channel *ch, uint64_t fh)
{
    ost_mi_client *mi = mi_of(ch);
    if (mi == nullptr)
        return KES_EINVAL;
    mi_close_file_req req = {0, fh};
    mi_close_file_reply reply = {};
    int rc = miSendRequest(mi, MI_CLOSE_FILE, &req, &reply);
    if (rc != 0) {
        RLOG(LOG_LVL_ERROR, "Message(MI_CLOSE_FILE) send failed: %d\n", rc);
    } else if (reply.status != 0) {
        rc = reply.status;
        RLOG(LOG_LVL_ERROR, "Received error (%s) from server\n", rpgn_status_text(rc));
    }
    mi_free_reply(MI_CLOSE_FILE, &reply);
    return rc;
}

// Opens the handle name on the DM path; on failure sets the channel's error.
int rpgn_dm_open(rpgn_channel *ch, const char *name, int oflags)
{
    int err = 0;
    dm_file *df = dm_file_open(dm_of(ch), name, oflags, &err);
    if (df != nullptr) {
        ch->dm_file = df;
        return 0;
    }
    bool writing = (oflags & 3) != 0;
    if (writing && err == KES_EEXIST) {
        ch->error_code = SBT_ERROR_FILE_EXISTS;
        ch->error_text[0] = '\0';
    } else {
        rpgn_set_error(ch, SBT_ERROR_MM, "%s: %s", writing ? "sbtbackup" : "sbtrestore", rpgn_status_text(err));
    }
    return -1;
}

// Flushes (when asked) and closes the channel's DM file. The flush status
// wins: a failed flush has already released the file inside the DM client.
int rpgn_dm_close(rpgn_channel *ch, bool flush)
{
    dm_file *df = file_of(ch);
    int frc = 0;
    if (flush) {
        frc = dm_file_flush(df);
        if (frc != 0)
            RLOG(LOG_LVL_ERROR, "rpgn_dm_close: flush failed: error %x\n", static_cast<unsigned>(frc));
    }
    int crc = frc != 0 ? 0 : dm_file_close(df);
    if (crc != 0)
        RLOG(LOG_LVL_ERROR, "rpgn_dm_close: close failed: error %x\n", static_cast<unsigned>(crc));
    return frc != 0 ? frc : crc;
}

// Appends a message to the collected close text.
void append(char *text, size_t size, const char *fmt, const char *arg)
{
    size_t used = strlen(text);
    if (used + 1 < size)
        snprintf(text + used, size - used, fmt, arg);
}

// Refusal of a file-cycle entry point.
int refuse(rpgn_channel *ch, const char *name, const char *fmt, const char *arg = nullptr)
{
    rpgn_set_error(ch, SBT_ERROR_MM, fmt, arg);
    return rpgn_exit(ch, name, -1);
}

void *dup_value(const void *src, size_t n)
{
    void *p = malloc(n);
    if (p != nullptr)
        memcpy(p, src, n);
    return p;
}

void dump_info(const sbt_item *list)
{
    const char *fn = "rman_pgn_sbtinfo2";
    if (list == nullptr) {
        RLOG_T(LOG_LVL_TRACE1, "%s: backup_file_info = NULL\n", fn);
        return;
    }
    for (const sbt_item *it = list;; it++) {
        unsigned long type = it->type;
        if (it->type == 8 || it->type == SBT_LIST_END) {
            RLOG_T(LOG_LVL_TRACE, "%s: sbtbfinfo_type = %lu\n", fn, type);
        } else if (it->value == nullptr) {
            RLOG_T(LOG_LVL_TRACE, "%s: type = %lu value = NULL\n", fn, type);
        } else if (it->type == 1 || it->type == 5 || it->type == 9) {
            RLOG_T(LOG_LVL_TRACE, "%s: type = %lu value = %s\n", fn, type, static_cast<const char *>(it->value));
        } else if (it->type == 3 || it->type == 4) {
            RLOG_T(LOG_LVL_TRACE, "%s: type = %lu value = %ld\n", fn, type,
                   static_cast<long>(*static_cast<const int64_t *>(it->value)));
        } else {
            RLOG_T(LOG_LVL_TRACE, "%s: type = %lu value = %#lx\n", fn, type,
                   static_cast<unsigned long>(*static_cast<const uint32_t *>(it->value)));
        }
        if (it->type == SBT_LIST_END)
            break;
    }
}

}  // namespace

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
    ch->mi_session = ost_mi_client_create(host, kMiPort, nullptr, rpgn_dm_log_cb, 0, pgnconfig_libdir(), tls, 1, &err);
    if (ch->mi_session == nullptr) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: mi_session failed: %s", rpgn_status_text(err ? err : KES_ENOMEM));
        return -1;
    }

    mi_get_version_req vreq = {const_cast<char *>(host), MI_GET_VERSION_ARG1, MI_GET_VERSION_ARG2,
                               MI_GET_VERSION_CLIENT};
    int rc = miSendRequest(mi_of(ch), MI_GET_VERSION, &vreq, &reply->version);
    if (rc != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: failed to send MI_GET_VERSION request: %s", rpgn_status_text(rc));
        return -1;
    }
    if (reply->version.status != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: MI_GET_VERSION request returned with error: %s",
                       rpgn_status_text(reply->version.status));
        return -1;
    }
    int proto = reply->version.version >> 16;
    if (proto < 7) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: server %s (proto %d) doesn't support RMAN plugin", host, proto);
        return -1;
    }
    ch->server_version = static_cast<uint32_t>(reply->version.version);

    rc = pgnauth_authenticate(mi_of(ch), ch->backup_username, ch->backup_password);
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
    ch->dm_session = dm_client_create(host, port, nullptr, 0, 0, pgnconfig_libdir(), tls, 1, &err);
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
        dm_client_destroy(dm_of(ch));
        ch->dm_session = nullptr;
    }
    if (ch->mi_session != nullptr) {
        ost_mi_client_destroy(mi_of(ch));
        ch->mi_session = nullptr;
    }
    ch->flags &= ~static_cast<uint64_t>(RPGN_F_SESSION);
}

void rpgn_end_channel(rpgn_channel *ch)
{
    if ((ch->flags & RPGN_F_SESSION) && ch->dm_file != nullptr) {
        dm_file_close(file_of(ch));
        ch->dm_file = nullptr;
        if (ch->flags & RPGN_F_BACKUP) {
            // The unfinished backup file does not survive.
            char name[kNameBuf];
            share_name(name, ch, ch->file_name);
            dm_file_delete(dm_of(ch), name);
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

// ---------------------------------------------------------------- file open

// Steps shared by sbtbackup and sbtrestore: the channel checks, then the MI
// open of the share name. Fills the handle name; 0, or -1 with the channel's
// error set (7001 with no text when a new backup file already exists).
static int open_on_appliance(rpgn_channel *ch, const char *op, const char *file, size_t bsize, int oflags, char *hname)
{
    auto fail = [&](const char *fmt, const char *a = nullptr, const char *b = nullptr) {
        char f[128];
        snprintf(f, sizeof f, "%s: %s", op, fmt);
        rpgn_set_error(ch, SBT_ERROR_MM, f, a, b);
        return -1;
    };
    if (!(ch->flags & RPGN_F_INIT2))
        return fail("sbtinit2 never called");
    if (!(ch->flags & RPGN_F_SESSION))
        return fail("session to server is not established in sbtinit2(): %s", missing_item(ch));
    if (mi_file_held(ch) || ch->dm_file != nullptr)
        return fail("a file is already open");
    if (file == nullptr || strlen(file) >= RPGN_NAME_MAX)
        return fail("file name too long");
    if (bsize == 0 || bsize > 0x7EFFFF)
        return fail("block size %s is not supported", std::to_string(bsize).c_str());

    memset(&ch->bfst_path, 0, sizeof ch->bfst_path);
    util_strlcpy(ch->bfst_path.host, ch->backup_host, sizeof ch->bfst_path.host);
    char sname[kNameBuf];
    share_name(sname, ch, file);
    uint64_t fh = 0;
    uint32_t rflags = 0;
    int rc = rpgn_open_file(ch, sname, oflags, &fh, &rflags);
    if (rc == KES_EEXIST && (oflags & 3) != 0) {
        ch->error_code = SBT_ERROR_FILE_EXISTS;
        ch->error_text[0] = '\0';
        return -1;
    }
    if (rc != 0)
        return fail("server %s failed to open file: %s", ch->backup_host, rpgn_status_text(rc));
    ch->bfst_path.mi_fh = fh;
    ch->bfst_path.flags = rflags | 0xE40;
    if ((oflags & 3) != 0) {
        // Remembered so that sbtclose2 can remove a file whose backup never started.
        ch->bfst_path.open_mode = 16;
        util_strlcpy(ch->file_name, file, sizeof ch->file_name);
    }
    snprintf(hname, kNameBuf, "generic:%" PRIu64 ":/%s/%s", fh, ch->backup_share, file);
    return 0;
}

int rpgn_backup(rpgn_channel *ch, unsigned long flags, const char *file, sbt_item *objects, size_t bsize,
                size_t max_size)
{
    static const char *const name = "rman_pgn_sbtbackup";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: file %s, flags %#lx, bsize %zx, max_size %zx\n", name, file ? file : "(null)",
           flags, bsize, max_size);
    ch->error_code = 0;
    const int oflags = KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL;
    char hname[kNameBuf];
    if (open_on_appliance(ch, "sbtbackup", file, bsize, oflags, hname) != 0)
        return rpgn_exit_file(ch, name, -1, file);
    int io_path = pgncfg().IO_PATH.load();
    if (io_path == 1) {
        if (rpgn_dm_open(ch, hname, oflags) != 0)
            return rpgn_exit_file(ch, name, -1, file);
    } else {
        if (io_path != 4)
            RLOG(LOG_LVL_WARNING, "Bad IO_PATH (%d) specified. Defaulting to Stride.\n", io_path);
        ch->bfst_path.mi_session = ch->mi_session;
        ch->bfst_path.open_mode = BFST_OPEN_BACKUP;
        int rc = rpgn_init_bfst_iopath(ch);
        if (rc != 0) {
            RLOG(LOG_LVL_ERROR, "rpgn_bfst_open: failed to initialize io path to server %s for file %s: %x\n",
                 ch->backup_host, hname, static_cast<unsigned>(rc));
            rpgn_set_error(ch, SBT_ERROR_MM,
                           "sbtbackup: failed to initialize Stride io path to server %s for file %s: %s",
                           ch->backup_host, hname, rpgn_status_text(rc));
            return rpgn_exit_file(ch, name, -1, file);
        }
    }

    rpgn_backup_info &bi = ch->backup_info;
    memset(&bi, 0, sizeof bi);
    for (sbt_item *it = objects; it != nullptr && it->type != SBT_OBJECT_END; it++) {
        if (it->type == 2 && it->value != nullptr) {
            util_strlcpy(bi.object_name, static_cast<const char *>(it->value), 9);
        } else if (it->type == 3 && it->value != nullptr) {
            bi.object_type3 = *static_cast<const uint32_t *>(it->value);
        } else if (it->type == 5 && it->value != nullptr) {
            bi.object_type5 = *static_cast<const uint32_t *>(it->value);
        } else {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtbackup: unknown object type");
            return rpgn_exit_file(ch, name, -1, file);
        }
    }
    bi.created = static_cast<uint64_t>(time(nullptr));
    bi.zero = 0;
    bi.one = 1;
    bi.two_a = 2;
    bi.two_b = 2;

    ch->flags |= RPGN_F_BACKUP;
    ch->block_size = bsize;
    util_strlcpy(ch->file_name, file, sizeof ch->file_name);
    return rpgn_exit_file(ch, name, 0, file);
}

int rpgn_restore(rpgn_channel *ch, unsigned long flags, const char *file, size_t bsize)
{
    static const char *const name = "rman_pgn_sbtrestore";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: file %s, flags %#lx, bsize %zx\n", name, file ? file : "(null)", flags, bsize);
    ch->error_code = 0;
    char hname[kNameBuf];
    if (open_on_appliance(ch, "sbtrestore", file, bsize, KES_O_RDONLY, hname) != 0)
        return rpgn_exit_file(ch, name, -1, file);
    if (rpgn_dm_open(ch, hname, KES_O_RDONLY) != 0)
        return rpgn_exit_file(ch, name, -1, file);
    util_strlcpy(ch->file_name, file, sizeof ch->file_name);
    ch->block_size = bsize;
    ch->offset = 0;
    return rpgn_exit_file(ch, name, 0, file);
}

// ---------------------------------------------------------------- transfer

int rpgn_write(rpgn_channel *ch, unsigned long flags, const void *buf)
{
    static const char *const name = "rman_pgn_sbtwrite2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx, offset%" PRIx64 ", len %zx\n", name, flags, ch->offset,
           static_cast<size_t>(ch->block_size));
    if (buf != nullptr && dump_wanted())
        dump_buffer("ENTER buffer: %s\n", buf, ch->block_size);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        return refuse(ch, name, "sbtwrite2: sbtinit2 never called");
    if (!(ch->flags & RPGN_F_BACKUP))
        return refuse(ch, name, "sbtwrite2: file is not opened with sbtbackup");
    if (ch->dm_file == nullptr && ch->bfst_path.ctx != nullptr && buf != nullptr) {
        int rc = rpgn_bfst_write(ch, buf);
        if (rc != 0)
            ch->flags |= RPGN_F_WRITE_FAILED;  // the close fails and removes the file
        return rpgn_exit(ch, name, rc);
    }
    if (ch->dm_file == nullptr || buf == nullptr)
        return refuse(ch, name, "sbtwrite2: no file open");
    int n = dm_file_write(file_of(ch), buf, ch->offset, static_cast<uint32_t>(ch->block_size));
    if (n < 0) {
        // The backup is lost from here on: its close fails and removes the file.
        ch->flags |= RPGN_F_WRITE_FAILED;
        if (n == DM_ERR_NOSPC)
            return refuse(ch, name, "sbtwrite2 failed: error %s: the appliance has no space left for this backup",
                          rpgn_status_text(n));
        return refuse(ch, name, "sbtwrite2 failed: error %s", rpgn_status_text(n));
    }
    if (static_cast<uint64_t>(n) < ch->block_size) {
        ch->flags |= RPGN_F_WRITE_FAILED;
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtwrite2: short write %d bytes", n);
        return rpgn_exit(ch, name, -1);
    }
    ch->offset += ch->block_size;
    return rpgn_exit(ch, name, 0);
}

int rpgn_read(rpgn_channel *ch, unsigned long flags, void *buf)
{
    static const char *const name = "rman_pgn_sbtread2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx, offset %" PRIx64 ", len %zx\n", name, flags, ch->offset,
           static_cast<size_t>(ch->block_size));
    bool dump = buf != nullptr && dump_wanted();
    if (dump)
        dump_buffer("ENTER buffer: %s\n", buf, ch->block_size);
    ch->error_code = 0;
    int rc = -1;
    if (!(ch->flags & RPGN_F_INIT2)) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2: sbtinit2 never called");
    } else if (ch->dm_file == nullptr && !mi_file_held(ch)) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2: no file open");
    } else if (ch->flags & RPGN_F_BACKUP) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2: file is opened with sbtbackup");
    } else if (ch->dm_file == nullptr || buf == nullptr) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2: no file open");
    } else {
        int n = dm_file_read(file_of(ch), buf, ch->offset, static_cast<uint32_t>(ch->block_size), nullptr);
        const char *fault = n < 0 ? dm_file_fault(file_of(ch)) : nullptr;
        if (n < 0 && fault != nullptr) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2 failed: error %s: %s", rpgn_status_text(n), fault);
        } else if (n < 0) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2 failed: error %s", rpgn_status_text(n));
        } else if (n == 0) {
            ch->error_code = SBT_ERROR_EOF;
            ch->error_text[0] = '\0';
        } else if (static_cast<uint64_t>(n) < ch->block_size) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2: short read %d bytes", n);
        } else {
            ch->offset += ch->block_size;
            rc = 0;
        }
    }
    rpgn_exit(ch, name, rc);
    if (dump)
        dump_buffer("EXIT buffer:  %s\n", buf, ch->block_size);
    return rc;
}

int rpgn_close(rpgn_channel *ch, unsigned long flags)
{
    static const char *const name = "rman_pgn_sbtclose2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx\n", name, flags);
    ch->error_code = 0;
    int rc = 0;
    if (!(ch->flags & RPGN_F_INIT2)) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtclose2: sbtinit2 never called");
        rc = -1;
    } else if (ch->dm_file == nullptr && !mi_file_held(ch)) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtclose2: no file open");
        rc = -1;
    } else {
        char text[1024] = "";
        const bool backup = (ch->flags & RPGN_F_BACKUP) != 0;
        const bool write_failed = (ch->flags & RPGN_F_WRITE_FAILED) != 0;
        if (backup && write_failed)
            append(text, sizeof text, "sbtclose2: the backup of %s failed in sbtwrite2", ch->file_name);
        if (backup && !write_failed) {
            int s;
            if (ch->dm_file != nullptr) {
                s = dm_set_xattr(dm_of(ch), file_of(ch), nullptr, kBackupInfoAttr, &ch->backup_info,
                                 sizeof ch->backup_info);
            } else {
                char sname[kNameBuf];
                share_name(sname, ch, ch->file_name);
                s = dm_set_xattr(dm_of(ch), nullptr, sname, kBackupInfoAttr, &ch->backup_info, sizeof ch->backup_info);
            }
            if (s != 0)
                append(text, sizeof text, "sbtclose2: set backup info failed %s", rpgn_status_text(s));
        }
        if (ch->dm_file != nullptr) {
            int s = rpgn_dm_close(ch, backup);
            if (s != 0)
                append(text, sizeof text, " sbtclose2: rpgn_dm_close failed: %s", rpgn_status_text(s));
            ch->dm_file = nullptr;
        } else {
            int s = rpgn_bfst_close(&ch->bfst_path);
            if (s != 0)
                append(text, sizeof text, " sbtclose2: rpgn_bfst_close failed: %s", rpgn_status_text(s));
        }
        if (mi_file_held(ch)) {
            int s = rpgn_close_file(ch, ch->bfst_path.mi_fh);
            if (s != 0)
                append(text, sizeof text, " sbtclose2: rpgn_close_file failed: %s", rpgn_status_text(s));
        }
        if (backup && text[0] != '\0') {
            // A backup that failed, or whose close the appliance did not
            // confirm, leaves nothing a restore could take for a good piece.
            char sname[kNameBuf];
            share_name(sname, ch, ch->file_name);
            int s = dm_file_delete(dm_of(ch), sname);
            if (s == 0 || s == 0xFFFE) {
                RLOG(LOG_LVL_WARNING, "sbtclose2: removed backup file %s, whose backup failed\n", ch->file_name);
            } else {
                RLOG(LOG_LVL_ERROR, "sbtclose2: could not remove backup file %s, whose backup failed: %s\n",
                     ch->file_name, rpgn_status_text(s));
                append(text, sizeof text, " sbtclose2: the incomplete backup file %s could not be removed", ch->file_name);
                append(text, sizeof text, " (%s); remove it before using its name again", rpgn_status_text(s));
            }
        }
        if (ch->bfst_path.open_mode == 16 && !backup && ch->file_name[0] != '\0') {
            // sbtbackup created the file and then failed: no piece was written,
            // so nothing of it may stay on the appliance.
            char sname[kNameBuf];
            share_name(sname, ch, ch->file_name);
            int s = dm_file_delete(dm_of(ch), sname);
            if (s == 0)
                RLOG(LOG_LVL_WARNING, "sbtclose2: removed backup file %s, whose sbtbackup failed\n", ch->file_name);
        }
        ch->flags &= ~static_cast<uint64_t>(RPGN_F_BACKUP | RPGN_F_WRITE_FAILED);
        memset(&ch->bfst_path, 0, sizeof ch->bfst_path);
        if (text[0] != '\0') {
            rpgn_set_error(ch, SBT_ERROR_MM, "%s", text);
            rc = -1;
        }
    }
    ch->offset = 0;
    ch->block_size = 0;
    ch->file_name[0] = '\0';
    return rpgn_exit(ch, name, rc);
}

// ---------------------------------------------------------------- catalogue

int rpgn_remove(rpgn_channel *ch, unsigned long flags, char **files)
{
    static const char *const name = "rman_pgn_sbtremove2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: file %s, flags %#lx\n", name,
           (files != nullptr && files[0] != nullptr) ? files[0] : "(null)", flags);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        return refuse(ch, name, "sbtremove2: sbtinit2 never called");
    if (ch->dm_file != nullptr)
        return refuse(ch, name, "sbtremove2: file is open");
    if (!(ch->flags & RPGN_F_SESSION))
        return refuse(ch, name, "sbtremove2: session to server is not established in sbtinit2(): %s",
                      missing_item(ch));
    for (char **f = files; f != nullptr && *f != nullptr; f++) {
        char sname[kNameBuf];
        if (share_name(sname, ch, *f) >= static_cast<int>(kNameBuf)) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtremove2: backup file name is too long: %.10s...", *f);
            return rpgn_exit(ch, name, -1);
        }
        int rc = dm_file_delete(dm_of(ch), sname);
        if (rc == 0)
            continue;
        if (rc == 0xFFFE) {
            RLOG(LOG_LVL_WARNING, "sbtremove2: file %s doesn't exist\n", *f);
            continue;
        }
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtremove2: remove failed for %s: error: %s", *f, rpgn_status_text(rc));
        return rpgn_exit(ch, name, -1);
    }
    return rpgn_exit(ch, name, 0);
}

int rpgn_info(rpgn_channel *ch, unsigned long flags, char **files, sbt_item **result)
{
    static const char *const name = "rman_pgn_sbtinfo2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx\n", name, flags);
    ch->error_code = 0;
    if (result != nullptr)
        *result = nullptr;
    if (!(ch->flags & RPGN_F_INIT2))
        return refuse(ch, name, "sbtinfo2: sbtinit2 never called");
    if (!(ch->flags & RPGN_F_SESSION))
        return refuse(ch, name, "sbtinfo2: session to server is not established in sbtinit2(): %s", missing_item(ch));
    if (files == nullptr || result == nullptr)
        return refuse(ch, name, "sbtinfo2: parameter validation failed.");

    // The list handed out last time lives until now: this channel's next
    // sbtinfo2 (or its sbtend), whatever other channels do meanwhile.
    rpgn_set_info_list(ch, nullptr);

    size_t count = 0;
    for (char **f = files; *f != nullptr; f++, count++)
        RLOG(LOG_LVL_DEBUG, "rman_pgn_sbtinfo2: backup file %s[%d]\n", *f, static_cast<int>(count));
    size_t nitems = 5 * count + 1;
    sbt_item *list = static_cast<sbt_item *>(malloc(nitems * sizeof(sbt_item)));
    if (list == nullptr)
        return refuse(ch, name, "sbtinfo2: failed to allocate the result list");
    for (size_t i = 0; i < nitems; i++)
        list[i] = {SBT_LIST_END, nullptr};

    size_t k = 0;
    bool ok = true;
    for (size_t i = 0; i < count && ok; i++) {
        const char *f = files[i];
        list[k++] = {1, strdup(f)};
        char sname[kNameBuf];
        share_name(sname, ch, f);
        // Read into a buffer of its own, never into the channel's record.
        rpgn_backup_info bi = {};
        size_t len = sizeof bi;
        int rc = dm_get_xattr(dm_of(ch), nullptr, sname, kBackupInfoAttr, &bi, &len);
        if (rc == KES_ENOENT) {
            list[k++] = {8, nullptr};
            RLOG(LOG_LVL_WARNING, "sbtinfo2: File %s not found for backup info\n", f);
            continue;
        }
        if (rc != 0) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtinfo2: retrieving backup info failed for file %s: %s", f,
                           rpgn_status_text(rc));
            ok = false;
            break;
        }
        if (len != sizeof bi) {
            rpgn_set_error(ch, SBT_ERROR_MM,
                           "sbtinfo2: wrong size while retrieving backup info for file %s: expected %zd, got %zd", f,
                           static_cast<ssize_t>(sizeof bi), static_cast<ssize_t>(len));
            ok = false;
            break;
        }
        uint32_t v2 = static_cast<uint32_t>(bi.one), v6 = static_cast<uint32_t>(bi.two_a);
        int64_t created = static_cast<int64_t>(bi.created);
        char label[64];
        snprintf(label, sizeof label, "%s_%s", ch->backup_host, ch->backup_share);
        list[k++] = {2, dup_value(&v2, sizeof v2)};
        list[k++] = {6, dup_value(&v6, sizeof v6)};
        list[k++] = {3, dup_value(&created, sizeof created)};
        list[k++] = {5, strdup(label)};
    }
    if (!ok) {
        rpgn_free_info(list);
        return rpgn_exit(ch, name, -1);
    }
    list[k] = {SBT_LIST_END, nullptr};
    rpgn_set_info_list(ch, list);
    *result = list;
    dump_info(list);
    return rpgn_exit(ch, name, 0);
}
