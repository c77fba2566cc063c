// What the channel's operations share (session set-up, file open, transfer
// and close, catalogue): the channel's sessions and open file, the names of
// files on the appliance, refusals, and the MI requests of a channel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datamover/dm.h"
#include "datamover/dm_msg.h"
#include "datamover/ost_mi.h"
#include "lib/rman/rman_pgn_api.h"

// Capacity of a file name on the appliance ("generic:/share/name" and the
// handle name).
constexpr size_t RPGN_APPL_NAME_MAX = 260;
// The attribute that carries a backup file's rpgn_backup_info.
constexpr const char *RPGN_BACKUP_INFO_ATTR = "backup_info";

inline ost_mi_client *rpgn_mi(const rpgn_channel *ch) { return static_cast<ost_mi_client *>(ch->mi_session); }
inline dm_client *rpgn_dm(const rpgn_channel *ch) { return static_cast<dm_client *>(ch->dm_session); }
inline dm_file *rpgn_dm_file(const rpgn_channel *ch) { return static_cast<dm_file *>(ch->dm_file); }
// Whether the channel holds an MI file handle (a file opened by sbtbackup or sbtrestore).
inline bool rpgn_mi_file_held(const rpgn_channel *ch) { return ch->bfst_path.mi_fh != 0; }
// Whether open flags (KES_O_*) open for writing.
inline bool rpgn_writing(int oflags) { return (oflags & KES_O_ACCMODE) != KES_O_RDONLY; }

// "generic:/share/name" into out (RPGN_APPL_NAME_MAX bytes), cut at 259
// characters; returns the full length.
int rpgn_share_name(char *out, const rpgn_channel *ch, const char *file);
// Removes the backup file of the channel's file_name through the DM session.
// 0, DM_STS_NOFILE when it is not there, or another status.
int rpgn_remove_backup(rpgn_channel *ch);
// Why a channel has no sessions, for the refusals of the file operations.
const char *rpgn_missing_item(const rpgn_channel *ch);
// Refusal of an entry point: 7501 with the message, then the EXIT line; -1.
int rpgn_refuse(rpgn_channel *ch, const char *name, const char *fmt, const char *arg = nullptr);

// Sends one MI request on the channel's session and checks the reply's
// status (*status, a field of reply); a failed send and a refusal are logged.
// 0, the failure, or 22 without a session. The caller frees the reply with
// mi_free_reply whatever the result.
int rpgn_mi_request(rpgn_channel *ch, uint32_t number, void *req, void *reply, const int32_t *status);
// MI close of a file handle. 0 or the status.
int rpgn_close_file(rpgn_channel *ch, uint64_t fh);
