// Placeholder until the credential store lands: the command entry point
// follows the entry-point convention and refuses every command.
#include "lib/common/log.h"
#include "lib/rman/rman_pgn_api.h"

int rpgn_sbtcommand(void *ctx, unsigned long flags, const char *command)
{
    static const char *const name = "rman_pgn_sbtcommand";
    rpgn_channel *ch = static_cast<rpgn_channel *>(ctx);
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: command %s, flags %#lx\n", name, command ? command : "(null)", flags);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtcommand: sbtinit2 never called");
    else
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtcommand: commands are not available in this build yet");
    return rpgn_exit(ch, name, -1);
}
