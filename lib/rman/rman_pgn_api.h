// The SBT 2.0 interface: item lists, the per-channel context record that RMAN
// allocates, the process-wide state, and the helpers every entry point uses
// for its ENTER and EXIT lines and its error reporting.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/common/pgnbfst.h"
#include "lib/rman/rpgn_cred.h"

extern "C" {

struct sbt_item {
    uint32_t type;
    void *value;
};
static_assert(sizeof(sbt_item) == 16);

typedef int (*sbtbackup_fn)(void *ctx, unsigned long flags, const char *file, sbt_item *objects, size_t block_size,
                            size_t max_size);
typedef int (*sbtclose2_fn)(void *ctx, unsigned long flags);
typedef int (*sbtcommand_fn)(void *ctx, unsigned long flags, const char *command);
typedef int (*sbtend_fn)(void *ctx, unsigned long flags);
typedef int (*sbterror_fn)(void *ctx, unsigned long flags, uint32_t *code, char **text);
typedef int (*sbtinfo2_fn)(void *ctx, unsigned long flags, char **files, sbt_item **result);
typedef int (*sbtinit2_fn)(void *ctx, unsigned long flags, sbt_item *in, sbt_item **out);
typedef int (*sbtread2_fn)(void *ctx, unsigned long flags, void *buf);
typedef int (*sbtremove2_fn)(void *ctx, unsigned long flags, char **files);
typedef int (*sbtrestore_fn)(void *ctx, unsigned long flags, const char *file, size_t block_size);
typedef int (*sbtwrite2_fn)(void *ctx, unsigned long flags, const void *buf);

// The entry-point vector handed to RMAN (item type 6 of sbtinit's output).
struct sbt_vector {
    sbtbackup_fn backup;
    sbtclose2_fn close2;
    sbtcommand_fn command;
    sbtend_fn end;
    sbterror_fn error;
    sbtinfo2_fn info2;
    sbtinit2_fn init2;
    sbtread2_fn read2;
    sbtremove2_fn remove2;
    sbtrestore_fn restore;
    sbtwrite2_fn write2;
};
static_assert(sizeof(sbt_vector) == 11 * sizeof(void *));

__attribute__((visibility("default"))) int sbtinit(uint64_t *error, sbt_item *in, sbt_item **out);
__attribute__((visibility("default"))) int sbtopen(void);
__attribute__((visibility("default"))) int sbtread(void);
__attribute__((visibility("default"))) int sbtwrite(void);
__attribute__((visibility("default"))) int sbtclose(void);
__attribute__((visibility("default"))) int sbtremove(void);
__attribute__((visibility("default"))) void *sbtinfo(void);

}  // extern "C"

// Item types and list ends.
enum : uint32_t {
    SBT_INIT_END = 1,
    SBT_INIT_TRACE_FILE = 2,
    SBT_INIT_MMS_DESC = 5,
    SBT_INIT_MMS_VERSION = 8,
    SBT_INIT_NAME_MAX = 4,
    SBT_INIT_VECTOR = 6,
    SBT_INIT_CTX_SIZE = 7,
    SBT_INIT2_TRACE_LEVEL = 1,
    SBT_INIT2_SHARED_BUF = 5,
    SBT_INIT2_PARAMS = 6,
    SBT_INIT2_TRACE_FILE = 7,
    SBT_LIST_END = 9999,
    SBT_OBJECT_END = 32,
};

// Flags of sbtend.
enum : unsigned long {
    SBT_END_OWN_PROCESS = 0x1,  // act only in the process that ran sbtinit2
};

// Trace levels RMAN gives sbtinit2 (any other value selects ERROR).
enum : int32_t {
    SBT_TRACE_LEVEL_KEEP = 0,  // leaves the level alone
    SBT_TRACE_LEVEL_TRACE = 1,
    SBT_TRACE_LEVEL_TRACE1 = 2,
};

// Items of sbtbackup's object list, each kept in the file's backup_info.
enum : uint32_t {
    SBT_OBJECT_NAME = 2,   // text: object_name (8 characters at most)
    SBT_OBJECT_TYPE3 = 3,  // 32-bit value: object_type3
    SBT_OBJECT_TYPE5 = 5,  // 32-bit value: object_type5
};

// Items sbtinfo2 returns for each file.
enum : uint32_t {
    SBT_INFO_FILE = 1,       // text: RMAN's file name
    SBT_INFO_ONE = 2,        // 32-bit value: backup_info's `one`
    SBT_INFO_CREATED = 3,    // 64-bit value: the creation time
    SBT_INFO_LABEL = 5,      // text: "<host>_<share>"
    SBT_INFO_TWO = 6,        // 32-bit value: backup_info's `two_a`
    SBT_INFO_NOT_FOUND = 8,  // no value: the file does not exist
};

// SBT error codes.
enum : uint64_t {
    SBT_ERROR_MM = 7501,
    SBT_ERROR_NOTFOUND = 7502,
    SBT_ERROR_EXISTS = 7503,
    SBT_ERROR_EOF = 7504,
    SBT_ERROR_NOPROXY = 7505,
    SBT_ERROR_NOWORK = 7506,
    SBT_ERROR_NOBUFFER = 7507,
    SBT_ERROR_FILE_EXISTS = 7001,  // a new backup file already exists
    SBT_INIT_BAD_ARGS = 7110,
    SBT_INIT_FAILED = 7111,
};

constexpr const char *RPGN_MMS_DESC = "KESTRALON MMS for RMAN 1.1.3.3694";
constexpr uint32_t RPGN_MMS_VERSION = 0x01010300;
constexpr uint32_t RPGN_NAME_MAX = 512;
constexpr uint32_t RPGN_CTX_SIZE = 3888;

// Channel flags.
enum : uint64_t {
    RPGN_F_INIT2 = 0x1,     // sbtinit2 completed
    RPGN_F_BACKUP = 0x2,    // a file is open for backup
    RPGN_F_SESSION = 0x4,   // MI and DM sessions established
    RPGN_F_BFSTREF = 0x8,   // holds a reference on the BFST library
    RPGN_F_WRITE_FAILED = 0x10,  // a write of the open backup file failed: the file is not kept
};

// State of the BFST data path of the open file (lib/common/pgnbfst.h).
using rpgn_bfst_path = bfst_path;
static_assert(sizeof(rpgn_bfst_path) == 1864);

// Bytes of backup_info's object_name that are used: 8 characters and a NUL.
constexpr size_t RPGN_OBJECT_NAME_MAX = 9;

// The 80-byte record stored with each backup file as attribute "backup_info"
// (the fixed fields: rpgn_backup_info_init).
struct rpgn_backup_info {
    char object_name[16];   // RPGN_OBJECT_NAME_MAX bytes used, NUL included
    uint64_t object_type3;
    uint64_t object_type5;
    uint64_t created;
    uint64_t zero;
    uint64_t one;
    uint64_t two_a;
    uint64_t two_b;
    uint64_t reserved;
};
static_assert(sizeof(rpgn_backup_info) == 80);

struct rpgn_channel_state;  // lib/rman/rpgn_channel_state.h

// The per-channel context: RMAN allocates 3888 zero-filled bytes per channel.
struct rpgn_channel {
    uint64_t flags;
    sbt_item init2_out;
    int32_t pid;
    const char *backup_host;
    const char *backup_share;
    const char *backup_username;
    const char *backup_password;
    const char *backup_credid;
    rpgn_cred cred;
    void *mi_session;
    uint32_t server_version;
    void *dm_session;
    void *dm_file;
    rpgn_bfst_path bfst_path;
    char file_name[512];
    uint64_t error_code;
    char error_text[1024];
    uint64_t offset;
    uint64_t block_size;
    uint64_t bfst_max_io;
    rpgn_channel_state *state;  // SBT parameters and sbtinfo2 list, from sbtinit2 to sbtend
    unsigned char reserved[8];
    rpgn_backup_info backup_info;
};
static_assert(offsetof(rpgn_channel, flags) == 0);
static_assert(offsetof(rpgn_channel, init2_out) == 8);
static_assert(offsetof(rpgn_channel, cred) == 72);
static_assert(offsetof(rpgn_channel, bfst_path) == 360);
static_assert(offsetof(rpgn_channel, file_name) == 2224);
static_assert(offsetof(rpgn_channel, error_code) == 2736);
static_assert(offsetof(rpgn_channel, error_text) == 2744);
static_assert(offsetof(rpgn_channel, backup_info) == 3808);
static_assert(sizeof(rpgn_channel) == RPGN_CTX_SIZE);
static_assert(offsetof(rpgn_channel, backup_info) + sizeof(rpgn_backup_info) == RPGN_CTX_SIZE);

// ---- helpers shared by the entry points ----

// Any status as text: negative codes by their DM/page-cache/XCOMM/file name,
// MI statuses by their MI_STS name, anything else by the runtime error text.
// A timeout also says which request went unanswered and for how long
// ("XCOMM_ERR_TIMEOUT (no answer to DM WRITE within 300 seconds)").
const char *rpgn_status_text(int status);

// Stores a failure: error_code := code, error_text := the formatted message
// (at most 1023 characters).
void rpgn_set_error(rpgn_channel *ch, uint64_t code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Writes the EXIT line of an entry point by the common rule and returns rc.
int rpgn_exit(rpgn_channel *ch, const char *name, int rc);
// The form of sbtbackup and sbtrestore, which also names the file.
int rpgn_exit_file(rpgn_channel *ch, const char *name, int rc, const char *file);

// Entry points that live in their own modules.
int rpgn_sbtcommand(void *ctx, unsigned long flags, const char *command);
