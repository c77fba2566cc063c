// sbtcommand: free-text commands from RMAN. "creds" maintains the credential
// store, "test" only logs its words.
#include <cstdlib>
#include <cstring>

#include "lib/common/log.h"
#include "lib/common/pgnconfig.h"
#include "lib/rman/pgn_creds.h"
#include "lib/rman/rman_pgn_api.h"

namespace {

constexpr int MAX_WORDS = 64;  // the last entry stays null, so 62 words fit

// Logs the ENTER line with every password argument hidden.
void log_enter(const char *name, const char *command, unsigned long flags)
{
    if (command == nullptr) {
        RLOG_T(LOG_LVL_TRACE, "ENTER %s: command %s, flags %#lx\n", name, "(null)", flags);
        return;
    }
    // "****" may be longer than what it hides: at most 4 characters per
    // character of the command, and 4 more.
    size_t size = strlen(command) * 4 + 5;
    char *masked = static_cast<char *>(malloc(size));
    if (masked != nullptr)
        pgn_creds_mask(command, masked, size);
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: command %s, flags %#lx\n", name, masked != nullptr ? masked : "****", flags);
    free(masked);
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

}  // namespace

int rpgn_sbtcommand(void *ctx, unsigned long flags, const char *command)
{
    static const char *const name = "rman_pgn_sbtcommand";
    rpgn_channel *ch = static_cast<rpgn_channel *>(ctx);
    log_enter(name, command, flags);
    if (ch == nullptr)
        return -1;
    ch->error_code = 0;

    if (!(ch->flags & RPGN_F_INIT2)) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtcommand: sbtinit2 never called");
        return rpgn_exit(ch, name, -1);
    }
    char *copy = strdup(command != nullptr ? command : "");
    if (copy == nullptr) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtcommand: failed to allocate parse string");
        return rpgn_exit(ch, name, -1);
    }

    char *argv[MAX_WORDS] = {};
    int argc = 0;
    bool too_many = false;
    for (char *p = copy; *p != '\0';) {
        while (is_blank(*p))
            *p++ = '\0';
        if (*p == '\0')
            break;
        if (argc >= MAX_WORDS - 2) {
            too_many = true;
            break;
        }
        argv[argc++] = p;
        while (*p != '\0' && !is_blank(*p))
            p++;
    }

    int rc = -1;
    if (too_many) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtcommand: too many command parameters specified");
    } else if (argc == 0) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtcommand: no command specified");
    } else if (strcmp(argv[0], "creds") == 0) {
        char msg[PGN_CREDS_MSG_SIZE];
        rc = pgn_creds_command(pgnconfig_creds_path(), argc, argv, msg);
        if (rc != 0)
            rpgn_set_error(ch, SBT_ERROR_MM, "%s", msg);
        memset(msg, 0, sizeof msg);
    } else if (strcmp(argv[0], "test") == 0) {
        for (int i = 0; i < argc; i++)
            RLOG(LOG_LVL_INFO, "argv[%d] = %s\n", i, argv[i]);
        rc = 0;
    } else {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtcommand: Unknown command: %s\n", argv[0]);
    }

    // The copy held the password: clear it before it goes back to the heap.
    memset(copy, 0, strlen(command != nullptr ? command : ""));
    free(copy);
    return rpgn_exit(ch, name, rc);
}
