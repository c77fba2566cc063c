// sbtbackup and sbtrestore: the MI open of a backup file, then its data path
// (the DM file, or the BFST path of a backup), and the file's backup_info.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "datamover/util.h"
#include "lib/common/log.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnbfst.h"
#include "lib/common/pgnconfig.h"
#include "lib/rman/rman_bfst.h"
#include "lib/rman/rman_session.h"
#include "lib/rman/rman_session_int.h"

namespace {

// Opens name through MI with runtime-style open flags; returns the status and
// the file handle and result flags.
int rpgn_open_file(rpgn_channel *ch, const char *name, int oflags, uint64_t *fh, uint32_t *rflags)
{
    if (rpgn_mi(ch) == nullptr)
        return KES_EINVAL;
    int32_t mode = 0;
    switch (oflags & KES_O_ACCMODE) {
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
    int rc = rpgn_mi_request(ch, MI_OPEN_FILE, &req, &reply, &reply.status);
    if (rc == 0) {
        *fh = reply.handle;
        *rflags = static_cast<uint32_t>(reply.flags);
    }
    mi_free_reply(MI_OPEN_FILE, &reply);
    return rc;
}

// Opens the handle name on the DM path; on failure sets the channel's error.
int rpgn_dm_open(rpgn_channel *ch, const char *name, int oflags)
{
    int err = 0;
    dm_file *df = dm_file_open(rpgn_dm(ch), name, oflags, &err);
    if (df != nullptr) {
        ch->dm_file = df;
        return 0;
    }
    bool writing = rpgn_writing(oflags);
    if (writing && err == KES_EEXIST) {
        ch->error_code = SBT_ERROR_FILE_EXISTS;
        ch->error_text[0] = '\0';
    } else {
        rpgn_set_error(ch, SBT_ERROR_MM, "%s: %s", writing ? "sbtbackup" : "sbtrestore", rpgn_status_text(err));
    }
    return -1;
}

// The file's backup_info from sbtbackup's object list, with its creation time
// and fixed fields. 0, or -1 for an item of another type.
int backup_info_init(rpgn_backup_info *bi, const sbt_item *objects)
{
    memset(bi, 0, sizeof *bi);
    for (const sbt_item *it = objects; it != nullptr && it->type != SBT_OBJECT_END; it++) {
        if (it->type == SBT_OBJECT_NAME && it->value != nullptr)
            util_strlcpy(bi->object_name, static_cast<const char *>(it->value), RPGN_OBJECT_NAME_MAX);
        else if (it->type == SBT_OBJECT_TYPE3 && it->value != nullptr)
            bi->object_type3 = *static_cast<const uint32_t *>(it->value);
        else if (it->type == SBT_OBJECT_TYPE5 && it->value != nullptr)
            bi->object_type5 = *static_cast<const uint32_t *>(it->value);
        else
            return -1;
    }
    bi->created = static_cast<uint64_t>(time(nullptr));
    bi->zero = 0;
    bi->one = 1;
    bi->two_a = 2;
    bi->two_b = 2;
    return 0;
}

// Steps shared by sbtbackup and sbtrestore: the channel checks, then the MI
// open of the share name. Fills the handle name; 0, or -1 with the channel's
// error set (7001 with no text when a new backup file already exists).
int open_on_appliance(rpgn_channel *ch, const char *op, const char *file, size_t bsize, int oflags, char *hname)
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
        return fail("session to server is not established in sbtinit2(): %s", rpgn_missing_item(ch));
    if (rpgn_mi_file_held(ch) || ch->dm_file != nullptr)
        return fail("a file is already open");
    if (file == nullptr || strlen(file) >= RPGN_NAME_MAX)
        return fail("file name too long");
    if (bsize == 0 || bsize > DM_MAX_READ_LEN)
        return fail("block size %s is not supported", std::to_string(bsize).c_str());

    memset(&ch->bfst_path, 0, sizeof ch->bfst_path);
    util_strlcpy(ch->bfst_path.host, ch->backup_host, sizeof ch->bfst_path.host);
    char sname[RPGN_APPL_NAME_MAX];
    rpgn_share_name(sname, ch, file);
    uint64_t fh = 0;
    uint32_t rflags = 0;
    int rc = rpgn_open_file(ch, sname, oflags, &fh, &rflags);
    if (rc == KES_EEXIST && rpgn_writing(oflags)) {
        ch->error_code = SBT_ERROR_FILE_EXISTS;
        ch->error_text[0] = '\0';
        return -1;
    }
    if (rc != 0)
        return fail("server %s failed to open file: %s", ch->backup_host, rpgn_status_text(rc));
    ch->bfst_path.mi_fh = fh;
    ch->bfst_path.flags = rflags | BFST_F_OPEN_DEFAULTS;
    if (rpgn_writing(oflags)) {
        // Remembered so that sbtclose2 can remove a file whose backup never started.
        ch->bfst_path.open_mode = BFST_OPEN_BACKUP;
        util_strlcpy(ch->file_name, file, sizeof ch->file_name);
    }
    snprintf(hname, RPGN_APPL_NAME_MAX, "generic:%" PRIu64 ":/%s/%s", fh, ch->backup_share, file);
    return 0;
}

}  // namespace

int rpgn_backup(rpgn_channel *ch, unsigned long flags, const char *file, sbt_item *objects, size_t bsize,
                size_t max_size)
{
    static const char *const name = "rman_pgn_sbtbackup";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: file %s, flags %#lx, bsize %zx, max_size %zx\n", name, file ? file : "(null)",
           flags, bsize, max_size);
    ch->error_code = 0;
    const int oflags = KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL;
    char hname[RPGN_APPL_NAME_MAX];
    if (open_on_appliance(ch, "sbtbackup", file, bsize, oflags, hname) != 0)
        return rpgn_exit_file(ch, name, -1, file);
    int io_path = pgncfg().IO_PATH.load();
    if (io_path == PGN_IO_PATH_DM) {
        if (rpgn_dm_open(ch, hname, oflags) != 0)
            return rpgn_exit_file(ch, name, -1, file);
    } else {
        if (io_path != PGN_IO_PATH_BFST)
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

    if (backup_info_init(&ch->backup_info, objects) != 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtbackup: unknown object type");
        return rpgn_exit_file(ch, name, -1, file);
    }

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
    char hname[RPGN_APPL_NAME_MAX];
    if (open_on_appliance(ch, "sbtrestore", file, bsize, KES_O_RDONLY, hname) != 0)
        return rpgn_exit_file(ch, name, -1, file);
    if (rpgn_dm_open(ch, hname, KES_O_RDONLY) != 0)
        return rpgn_exit_file(ch, name, -1, file);
    util_strlcpy(ch->file_name, file, sizeof ch->file_name);
    ch->block_size = bsize;
    ch->offset = 0;
    return rpgn_exit_file(ch, name, 0, file);
}
