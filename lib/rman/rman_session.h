// Sessions to the appliance and the file and catalogue operations of a
// channel: everything the entry points do once sbtinit2 has run.
#pragma once

#include <cstddef>

#include "lib/common/mi_comm.h"
#include "lib/rman/rman_pgn_api.h"

// Whatever sbtinit2 keeps until after its EXIT line.
struct rpgn_session_reply {
    mi_get_version_reply version;
};
void rpgn_session_reply_free(rpgn_session_reply *r);

// Steps of sbtinit2 after the trace settings: reads the BACKUP_* variables
// into the channel and opens the sessions they ask for. 0 on success (with or
// without sessions), -1 with the channel's error set.
int rpgn_open_sessions(rpgn_channel *ch, rpgn_session_reply *reply);
// Closes the DM and MI sessions of the channel, if any, and clears both.
void rpgn_close_sessions(rpgn_channel *ch);
// sbtend's work on the open file and the BFST reference.
void rpgn_end_channel(rpgn_channel *ch);

int rpgn_backup(rpgn_channel *ch, unsigned long flags, const char *file, sbt_item *objects, size_t bsize,
                size_t max_size);
int rpgn_restore(rpgn_channel *ch, unsigned long flags, const char *file, size_t bsize);
int rpgn_write(rpgn_channel *ch, unsigned long flags, const void *buf);
int rpgn_read(rpgn_channel *ch, unsigned long flags, void *buf);
int rpgn_close(rpgn_channel *ch, unsigned long flags);
int rpgn_remove(rpgn_channel *ch, unsigned long flags, char **files);
// The list returned belongs to the channel until its next sbtinfo2 or sbtend.
int rpgn_info(rpgn_channel *ch, unsigned long flags, char **files, sbt_item **result);

// Number of sbtinit calls not yet matched by a completed sbtend.
int rpgn_sbtinit_count();
