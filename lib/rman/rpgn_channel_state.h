// What the library keeps for one channel outside the context area RMAN
// allocates: the channel's own copy of its SBT parameters and the list
// sbtinfo2 last handed to it. Channels of one process never share either.
#pragma once

#include <vector>

#include "lib/rman/rman_pgn_api.h"

struct rpgn_channel_state {
    struct param {
        char *name;
        char *value;
    };
    std::vector<param> params;       // SBT parameters of sbtinit2, in the order given
    std::vector<char *> env_values;  // values this channel took from the environment
    sbt_item *info_list = nullptr;   // what sbtinfo2 last returned (values first, then the array)
};

// The channel's state, created on first use; null when memory is short.
rpgn_channel_state *rpgn_state(rpgn_channel *ch);
// Wipes and frees the state (parameters, environment copies, the sbtinfo2
// list); the channel's state pointer is null afterwards.
void rpgn_state_free(rpgn_channel *ch);

// Keeps a copy of NAME=VALUE for the channel. 0, or -1 when memory is short.
int rpgn_param_add(rpgn_channel *ch, const char *name, const char *value);
// The channel's value of name: the last SBT parameter of that name, or else a
// copy of the environment variable; null when neither exists. The text stays
// valid until the state is freed.
const char *rpgn_param(rpgn_channel *ch, const char *name);

// Frees an sbtinfo2 list (each value, then the array).
void rpgn_free_info(sbt_item *list);
// Replaces the channel's sbtinfo2 list, freeing the one before.
void rpgn_set_info_list(rpgn_channel *ch, sbt_item *list);

// Clears the channel's credentials: the looked-up record is wiped and the
// BACKUP_* pointers are forgotten.
void rpgn_forget_credentials(rpgn_channel *ch);
