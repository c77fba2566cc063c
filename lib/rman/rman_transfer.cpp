// sbtwrite2, sbtread2 and sbtclose2: blocks of the open file moved on its
// data path, and its close (backup_info, data path, MI handle), which removes
// a backup that did not arrive whole.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "datamover/util.h"
#include "lib/common/log.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnbfst.h"
#include "lib/rman/rman_bfst.h"
#include "lib/rman/rman_session.h"
#include "lib/rman/rman_session_int.h"

namespace {

// Buffer dumps of sbtwrite2 and sbtread2: wanted when the trace log is at
// TRACE1, or else when the main log is at TRACE1 or more.
bool dump_wanted()
{
    if (!plog_wants(LOG_LVL_TRACE1))
        return false;
    int t = plog_trace_level();
    if (t >= 0)
        return t == LOG_LVL_TRACE1 || plog_main_level() >= LOG_LVL_TRACE1;
    return plog_main_level() >= LOG_LVL_TRACE1;
}

// Bytes of RMAN's buffer a dump shows.
constexpr size_t kDumpBytes = 32;

void dump_buffer(const char *fmt, const void *buf, uint64_t len)
{
    char hex[2 * kDumpBytes + 1];
    const unsigned char *p = static_cast<const unsigned char *>(buf);
    size_t n = len < kDumpBytes ? static_cast<size_t>(len) : kDumpBytes;
    for (size_t i = 0; i < n; i++)
        snprintf(hex + i * 2, 3, "%02hhX", p[i]);
    hex[n * 2] = '\0';
    RLOG_T(LOG_LVL_TRACE1, fmt, hex);
}

// Flushes (when asked) and closes the channel's DM file. The flush status
// wins: a failed flush has already released the file inside the DM client.
int rpgn_dm_close(rpgn_channel *ch, bool flush)
{
    dm_file *df = rpgn_dm_file(ch);
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

}  // namespace

int rpgn_close_file(rpgn_channel *ch, uint64_t fh)
{
    mi_close_file_req req = {0, fh};
    mi_close_file_reply reply = {};
    int rc = rpgn_mi_request(ch, MI_CLOSE_FILE, &req, &reply, &reply.status);
    mi_free_reply(MI_CLOSE_FILE, &reply);
    return rc;
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
        return rpgn_refuse(ch, name, "sbtwrite2: sbtinit2 never called");
    if (!(ch->flags & RPGN_F_BACKUP))
        return rpgn_refuse(ch, name, "sbtwrite2: file is not opened with sbtbackup");
    if (ch->dm_file == nullptr && ch->bfst_path.ctx != nullptr && buf != nullptr) {
        int rc = rpgn_bfst_write(ch, buf);
        if (rc != 0)
            ch->flags |= RPGN_F_WRITE_FAILED;  // the close fails and removes the file
        return rpgn_exit(ch, name, rc);
    }
    if (ch->dm_file == nullptr || buf == nullptr)
        return rpgn_refuse(ch, name, "sbtwrite2: no file open");
    int n = dm_file_write(rpgn_dm_file(ch), buf, ch->offset, static_cast<uint32_t>(ch->block_size));
    if (n < 0) {
        // The backup is lost from here on: its close fails and removes the file.
        ch->flags |= RPGN_F_WRITE_FAILED;
        if (n == DM_ERR_NOSPC)
            return rpgn_refuse(ch, name, "sbtwrite2 failed: error %s: the appliance has no space left for this backup",
                          rpgn_status_text(n));
        return rpgn_refuse(ch, name, "sbtwrite2 failed: error %s", rpgn_status_text(n));
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
    } else if (ch->dm_file == nullptr && !rpgn_mi_file_held(ch)) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2: no file open");
    } else if (ch->flags & RPGN_F_BACKUP) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2: file is opened with sbtbackup");
    } else if (ch->dm_file == nullptr || buf == nullptr) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtread2: no file open");
    } else {
        int n = dm_file_read(rpgn_dm_file(ch), buf, ch->offset, static_cast<uint32_t>(ch->block_size), nullptr);
        const char *fault = n < 0 ? dm_file_fault(rpgn_dm_file(ch)) : nullptr;
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

// Removes the file of a backup that failed. 0, or the status of the delete.
static int remove_failed_backup(rpgn_channel *ch)
{
    int s = rpgn_remove_backup(ch);
    if (s == 0 || s == DM_STS_NOFILE) {
        RLOG(LOG_LVL_WARNING, "sbtclose2: removed backup file %s, whose backup failed\n", ch->file_name);
        return 0;
    }
    RLOG(LOG_LVL_ERROR, "sbtclose2: could not remove backup file %s, whose backup failed: %s\n", ch->file_name,
         rpgn_status_text(s));
    return s;
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
    } else if (ch->dm_file == nullptr && !rpgn_mi_file_held(ch)) {
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
                s = dm_set_xattr(rpgn_dm(ch), rpgn_dm_file(ch), nullptr, RPGN_BACKUP_INFO_ATTR, &ch->backup_info,
                                 sizeof ch->backup_info);
            } else {
                char sname[RPGN_APPL_NAME_MAX];
                rpgn_share_name(sname, ch, ch->file_name);
                s = dm_set_xattr(rpgn_dm(ch), nullptr, sname, RPGN_BACKUP_INFO_ATTR, &ch->backup_info,
                                 sizeof ch->backup_info);
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
        // A backup that failed, or whose close the appliance did not confirm,
        // leaves nothing a restore could take for a good piece. One that
        // failed already is removed before the control close, which could
        // otherwise complete the part that arrived (the blobs recorded before
        // a failed one) for a moment.
        bool removed = false;
        int removal = 0;  // status of a removal that failed
        if (backup && text[0] != '\0') {
            removal = remove_failed_backup(ch);
            removed = removal == 0;
        }
        if (rpgn_mi_file_held(ch)) {
            int s = rpgn_close_file(ch, ch->bfst_path.mi_fh);
            if (s != 0)
                append(text, sizeof text, " sbtclose2: rpgn_close_file failed: %s", rpgn_status_text(s));
        }
        if (backup && text[0] != '\0' && !removed)
            removal = remove_failed_backup(ch);
        if (removal != 0) {
            append(text, sizeof text, " sbtclose2: the incomplete backup file %s could not be removed", ch->file_name);
            append(text, sizeof text, " (%s); remove it before using its name again", rpgn_status_text(removal));
        }
        if (ch->bfst_path.open_mode == BFST_OPEN_BACKUP && !backup && ch->file_name[0] != '\0') {
            // sbtbackup created the file and then failed: no piece was written,
            // so nothing of it may stay on the appliance.
            if (rpgn_remove_backup(ch) == 0)
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
