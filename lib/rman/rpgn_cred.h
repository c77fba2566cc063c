// A stored credential: four NUL-terminated fields of at most 63 characters.
#pragma once

constexpr int RPGN_CRED_FIELD = 64;

struct rpgn_cred {
    char id[RPGN_CRED_FIELD];
    char host[RPGN_CRED_FIELD];
    char user[RPGN_CRED_FIELD];
    char password[RPGN_CRED_FIELD];
};
static_assert(sizeof(rpgn_cred) == 256);
