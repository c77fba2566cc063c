// The credential store: an XML file that maps an appliance host and a
// credential id to a user name and password, the "creds" command that
// maintains it, and the lookup that session set-up uses.
//
// The store holds passwords in plain text, so it is always written with mode
// 0600. Every access holds an exclusive lock on the file "<store>.lock" beside
// it, and every save writes a temporary file in the same directory and renames
// it over the store, so concurrent channels and processes neither lose
// changes nor ever see a half-written store.
#pragma once

#include <cstddef>

#include "lib/rman/rpgn_cred.h"

constexpr size_t PGN_CREDS_MSG_SIZE = 1024;

// A stored file larger than this is refused unread.
constexpr long PGN_CREDS_MAX_FILE = 4L * 1024 * 1024;

// Collects the messages of one command or lookup: each message is appended,
// cut to the room that remains, and later ones are dropped once the text
// holds 1023 characters. One accumulator lives per call, never per process,
// so channels on different threads cannot disturb each other's messages.
struct pgn_msgbuf {
    char text[PGN_CREDS_MSG_SIZE];
    size_t len;
};

void pgn_msg_init(pgn_msgbuf *m);
void pgn_msg_add(pgn_msgbuf *m, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Actions of the creds command.
enum pgn_creds_action : int {
    PGN_CREDS_NONE = 0,
    PGN_CREDS_SET,
    PGN_CREDS_GET,
    PGN_CREDS_DELETE,
    PGN_CREDS_CREATE_EMPTY,
};

// Runs one action on the store at path; every message is appended to m.
// GET fills cred->user and cred->password. Returns 0 or -1.
int pgn_creds_run(const char *path, pgn_creds_action action, rpgn_cred *cred, pgn_msgbuf *m);

// The creds command: argv[0] is the command name, the rest its options.
// argv is permuted by option parsing. store_path null means the store's
// location is not known. On -1, msg (PGN_CREDS_MSG_SIZE bytes) receives the
// messages followed by the usage text; on 0 it is the empty string.
int pgn_creds_command(const char *store_path, int argc, char **argv, char *msg);

// Looks up the credential named by cred->id and cred->host and fills
// cred->user and cred->password. Returns 0, or -1 with the messages in msg
// (PGN_CREDS_MSG_SIZE bytes).
int rpgn_creds_lookup(const char *store_path, rpgn_cred *cred, char *msg);

// Copies command into out (same size) with the argument of every password
// option (-p, grouped short options ending in p, --password and its
// unambiguous prefixes, joined or in the next word) replaced by "****",
// for logging. out_size 0 writes nothing.
void pgn_creds_mask(const char *command, char *out, size_t out_size);
