#include "lib/rman/rman_session.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "lib/common/log.h"

namespace {

// Why a channel has no sessions, for the refusals of sbtbackup and sbtrestore.
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

int refuse(rpgn_channel *ch, const char *name, const char *fmt, const char *arg = nullptr)
{
    rpgn_set_error(ch, SBT_ERROR_MM, fmt, arg);
    return rpgn_exit(ch, name, -1);
}

}  // namespace

void rpgn_session_reply_free(rpgn_session_reply *r) { r->version_reply = nullptr; }

int rpgn_open_sessions(rpgn_channel *ch, rpgn_session_reply *)
{
    ch->backup_host = getenv("BACKUP_HOST");
    if (ch->backup_host == nullptr)
        return 0;
    ch->backup_share = getenv("BACKUP_SHARE");
    if (ch->backup_share == nullptr)
        return 0;
    ch->backup_username = getenv("BACKUP_USERNAME");
    if (ch->backup_username != nullptr)
        ch->backup_password = getenv("BACKUP_PASSWORD");
    if (ch->backup_username == nullptr || ch->backup_password == nullptr) {
        ch->backup_credid = getenv("BACKUP_CREDID");
        if (ch->backup_credid == nullptr)
            return 0;
    }
    rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: server sessions are not available in this build yet");
    return -1;
}

void rpgn_close_sessions(rpgn_channel *ch)
{
    ch->mi_session = nullptr;
    ch->dm_session = nullptr;
    ch->flags &= ~static_cast<uint64_t>(RPGN_F_SESSION);
}

void rpgn_end_channel(rpgn_channel *ch)
{
    ch->dm_file = nullptr;
    ch->file_name[0] = '\0';
}

int rpgn_backup(rpgn_channel *ch, unsigned long flags, const char *file, sbt_item *, size_t bsize, size_t max_size)
{
    static const char *const name = "rman_pgn_sbtbackup";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: file %s, flags %#lx, bsize %zx, max_size %zx\n", name, file ? file : "(null)",
           flags, bsize, max_size);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtbackup: sbtinit2 never called");
    else
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtbackup: session to server is not established in sbtinit2(): %s",
                       missing_item(ch));
    return rpgn_exit_file(ch, name, -1, file);
}

int rpgn_restore(rpgn_channel *ch, unsigned long flags, const char *file, size_t bsize)
{
    static const char *const name = "rman_pgn_sbtrestore";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: file %s, flags %#lx, bsize %zx\n", name, file ? file : "(null)", flags, bsize);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtrestore: sbtinit2 never called");
    else
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtrestore: session to server is not established in sbtinit2(): %s",
                       missing_item(ch));
    return rpgn_exit_file(ch, name, -1, file);
}

int rpgn_write(rpgn_channel *ch, unsigned long flags, const void *)
{
    static const char *const name = "rman_pgn_sbtwrite2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx, offset%" PRIx64 ", len %zx\n", name, flags, ch->offset,
           static_cast<size_t>(ch->block_size));
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        return refuse(ch, name, "sbtwrite2: sbtinit2 never called");
    if (!(ch->flags & RPGN_F_BACKUP))
        return refuse(ch, name, "sbtwrite2: file is not opened with sbtbackup");
    return refuse(ch, name, "sbtwrite2: no file open");
}

int rpgn_read(rpgn_channel *ch, unsigned long flags, void *)
{
    static const char *const name = "rman_pgn_sbtread2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx, offset %" PRIx64 ", len %zx\n", name, flags, ch->offset,
           static_cast<size_t>(ch->block_size));
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        return refuse(ch, name, "sbtread2: sbtinit2 never called");
    return refuse(ch, name, "sbtread2: no file open");
}

int rpgn_close(rpgn_channel *ch, unsigned long flags)
{
    static const char *const name = "rman_pgn_sbtclose2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx\n", name, flags);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtclose2: sbtinit2 never called");
    else
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtclose2: no file open");
    ch->offset = 0;
    ch->block_size = 0;
    ch->file_name[0] = '\0';
    return rpgn_exit(ch, name, -1);
}

int rpgn_remove(rpgn_channel *ch, unsigned long flags, char **files)
{
    static const char *const name = "rman_pgn_sbtremove2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: file %s, flags %#lx\n", name,
           (files != nullptr && files[0] != nullptr) ? files[0] : "(null)", flags);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        return refuse(ch, name, "sbtremove2: sbtinit2 never called");
    return refuse(ch, name, "sbtremove2: session to server is not established in sbtinit2(): %s", missing_item(ch));
}

int rpgn_info(rpgn_channel *ch, unsigned long flags, char **, sbt_item **result)
{
    static const char *const name = "rman_pgn_sbtinfo2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx\n", name, flags);
    ch->error_code = 0;
    if (result != nullptr)
        *result = nullptr;
    if (!(ch->flags & RPGN_F_INIT2))
        return refuse(ch, name, "sbtinfo2: sbtinit2 never called");
    return refuse(ch, name, "sbtinfo2: session to server is not established in sbtinit2(): %s", missing_item(ch));
}

void rpgn_free_info_list() {}
