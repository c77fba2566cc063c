// Library entry: sbtinit, the entry-point vector, the version-1 exports,
// sbterror, sbtend, sbtinit2, and the conventions every entry point shares.
#include "lib/rman/rman_pgn_api.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <unistd.h>

#include "datamover/dm.h"
#include "datamover/platform_proc.h"
#include "datamover/util.h"
#include "lib/common/com_util.h"
#include "lib/common/log.h"
#include "lib/common/pgnconfig.h"
#include "lib/rman/rman_session.h"
#include "lib/rman/rpgn_channel_state.h"

namespace {

constexpr int kInitListItems = 20;

// Process-wide numbers handed out by pointer in sbtinit's output list.
const uint32_t g_mms_version = RPGN_MMS_VERSION;
const uint32_t g_name_max = RPGN_NAME_MAX;
const uint32_t g_ctx_size = RPGN_CTX_SIZE;

struct SbtError {
    uint64_t code;
    const char *text;
};
constexpr SbtError rpgn_sbt_errors[] = {
    {SBT_ERROR_MM, "SBT_ERROR_MM"},       {SBT_ERROR_NOTFOUND, "SBT_ERROR_NOTFOUND"},
    {SBT_ERROR_EXISTS, "SBT_ERROR_EXISTS"}, {SBT_ERROR_EOF, "SBT_ERROR_EOF"},
    {SBT_ERROR_NOPROXY, "SBT_ERROR_NOPROXY"}, {SBT_ERROR_NOWORK, "SBT_ERROR_NOWORK"},
    {SBT_ERROR_NOBUFFER, "SBT_ERROR_NOBUFFER"},
};

// Guards rpgn_init_list and every change of the sbtinit counter, so that the
// last channel's sbtend and a new channel's sbtinit never cross.
std::mutex g_list_lock;
sbt_item *rpgn_init_list = nullptr;
std::atomic<int> g_sbtinit_count{0};

rpgn_channel *channel(void *ctx) { return static_cast<rpgn_channel *>(ctx); }

void free_list(sbt_item *list, uint32_t end_type, bool free_values)
{
    if (list == nullptr)
        return;
    if (free_values)
        for (sbt_item *it = list; it->type != end_type; it++)
            free(it->value);
    free(list);
}

void log_init_item(const sbt_item *it)
{
    const char *fn = "rpgn_init_add";
    if (it->type == SBT_INIT_MMS_DESC)
        RLOG_T(LOG_LVL_TRACE, "%s: entry 0x%p flag = %lx value = %s\n", fn, static_cast<const void *>(it),
               static_cast<unsigned long>(it->type), static_cast<const char *>(it->value));
    else if (it->type == SBT_INIT_END)
        RLOG_T(LOG_LVL_TRACE, "%s: entry 0x%p flag = %#lx\n", fn, static_cast<const void *>(it),
               static_cast<unsigned long>(it->type));
    else
        RLOG_T(LOG_LVL_TRACE, "%s: entry 0x%p flag = %lx value = %#lx\n", fn, static_cast<const void *>(it),
               static_cast<unsigned long>(it->type),
               static_cast<unsigned long>(*static_cast<const uint32_t *>(it->value)));
}

// The trace-level mapping of sbtinit2: 1 TRACE, 2 TRACE1, anything else ERROR.
int map_trace_level(int32_t rman_level)
{
    if (rman_level == SBT_TRACE_LEVEL_TRACE)
        return LOG_LVL_TRACE;
    if (rman_level == SBT_TRACE_LEVEL_TRACE1)
        return LOG_LVL_TRACE1;
    return LOG_LVL_ERROR;
}

// Names whose values are secrets: their values never reach a message.
bool secret_name(const char *name, size_t len)
{
    for (size_t i = 0; i + 4 <= len; i++)
        if (strncasecmp(name + i, "PASS", 4) == 0)
            return true;
    return false;
}

// A malformed token as a message may show it: values are masked, and after
// a secret's name nothing of the string is shown (a value holding a comma or
// a blank reaches here in pieces).
void masked_token(const char *tok, bool after_secret, char *out, size_t size)
{
    const char *eq = strchr(tok, '=');
    if (after_secret)
        snprintf(out, size, "*****");
    else if (eq == nullptr)
        snprintf(out, size, "%s", tok);
    else
        snprintf(out, size, "%.*s=%s", static_cast<int>(eq - tok), tok, eq[1] != '\0' ? "*****" : "");
}

// Takes "NAME=VALUE" pairs separated by commas, blanks or tabs into the
// channel's own parameters, and into the environment as well. Returns 0, or
// -1 with the message in ch.
int apply_sbt_params(rpgn_channel *ch, const char *params)
{
    size_t len = strlen(params);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr) {
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: failed to allocate parameter string");
        return -1;
    }
    memcpy(copy, params, len + 1);
    int rc = 0;
    bool after_secret = false;
    char *save = nullptr;
    for (char *tok = strtok_r(copy, ", \t", &save); tok != nullptr; tok = strtok_r(nullptr, ", \t", &save)) {
        char *eq = strchr(tok, '=');
        if (eq == nullptr || eq == tok || eq[1] == '\0' || eq[1] == '=') {
            char shown[160];
            masked_token(tok, after_secret, shown, sizeof shown);
            rpgn_set_error(ch, SBT_ERROR_MM, "Malformed SBT parameter %s\n", shown);
            rc = -1;
            break;
        }
        *eq = '\0';
        char *value = eq + 1;
        char *next = strchr(value, '=');
        if (next != nullptr)
            *next = '\0';
        if (secret_name(tok, strlen(tok)))
            after_secret = true;
        if (rpgn_param_add(ch, tok, value) != 0) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: failed to allocate parameter %s", tok);
            rc = -1;
            break;
        }
        int set;
        {
            std::lock_guard<std::mutex> g(util_env_lock());
            set = platform_setenv(tok, value);
        }
        if (set != 0) {
            rpgn_set_error(ch, SBT_ERROR_MM, "setenv() for %s=***** failed\n", tok);
            rc = -1;
            break;
        }
    }
    explicit_bzero(copy, len);
    free(copy);
    return rc;
}

// ---------------------------------------------------------------- entry points

int rman_pgn_sbtinit2(void *ctx, unsigned long flags, sbt_item *in, sbt_item **out)
{
    static const char *const name = "rman_pgn_sbtinit2";
    rpgn_channel *ch = channel(ctx);
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx\n", name, flags);
    int rc = -1;
    rpgn_session_reply reply = {};
    do {
        if (ch->flags & RPGN_F_INIT2) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: called more than once");
            break;
        }
        if (in == nullptr || out == nullptr) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: parameter validation failed.");
            break;
        }
        if (rpgn_state(ch) == nullptr) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: failed to allocate the channel state");
            break;
        }
        int32_t level = 0;
        const char *trace_path = nullptr;
        bool failed = false;
        for (sbt_item *it = in; it->type != SBT_LIST_END; it++) {
            if (it->type == SBT_INIT2_TRACE_LEVEL && it->value != nullptr) {
                level = *static_cast<const int32_t *>(it->value);
            } else if (it->type == SBT_INIT2_TRACE_FILE) {
                trace_path = static_cast<const char *>(it->value);
            } else if (it->type == SBT_INIT2_SHARED_BUF) {
                rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: shared buffers not supported");
                failed = true;
                break;
            } else if (it->type == SBT_INIT2_PARAMS && it->value != nullptr) {
                if (apply_sbt_params(ch, static_cast<const char *>(it->value)) != 0) {
                    failed = true;
                    break;
                }
            }
        }
        if (failed)
            break;
        if (trace_path != nullptr) {
            if (plog_have_trace()) {
                if (level != SBT_TRACE_LEVEL_KEEP)
                    plog_set_trace_level(map_trace_level(level));
            } else if (plog_open_trace(trace_path, map_trace_level(level)) == 0) {
                RLOG(LOG_LVL_INFO, "tracing to file '%s' at level %ld\n", trace_path, static_cast<long>(level));
            } else {
                RLOG(LOG_LVL_ERROR, "failed to setup tracing file '%s'\n", trace_path);
                rpgn_set_error(ch, SBT_ERROR_MM, "sbtinit2: failed to setup tracing");
                break;
            }
        }
        if (rpgn_open_sessions(ch, &reply) != 0)
            break;
        ch->pid = static_cast<int32_t>(getpid());
        ch->flags |= RPGN_F_INIT2;
        ch->init2_out.type = SBT_LIST_END;
        ch->init2_out.value = nullptr;
        *out = &ch->init2_out;
        rc = 0;
    } while (false);
    if (rc != 0) {
        rpgn_close_sessions(ch);
        ch->flags = 0;
        rpgn_forget_credentials(ch);
        rpgn_state_free(ch);
    }
    rpgn_exit(ch, name, rc);
    rpgn_session_reply_free(&reply);
    return rc;
}

int rman_pgn_sbterror(void *ctx, unsigned long flags, uint32_t *code, char **text)
{
    rpgn_channel *ch = channel(ctx);
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx, error_code %" PRId64 "\n", "rman_pgn_sbterror", flags,
           static_cast<int64_t>(ch->error_code));
    if (code != nullptr)
        *code = static_cast<uint32_t>(ch->error_code);
    if (ch->error_code == 0)
        return -1;
    if (text != nullptr)
        *text = ch->error_text;
    return 0;
}

int rman_pgn_sbtend(void *ctx, unsigned long flags)
{
    static const char *const name = "rman_pgn_sbtend";
    rpgn_channel *ch = channel(ctx);
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx\n", name, flags);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        return 0;
    if ((flags & SBT_END_OWN_PROCESS) && ch->pid != static_cast<int32_t>(getpid()))
        return 0;
    rpgn_end_channel(ch);
    rpgn_close_sessions(ch);
    ch->flags = 0;
    // The channel's password goes with it, and so does its sbtinfo2 list.
    rpgn_forget_credentials(ch);
    rpgn_state_free(ch);
    // The output list and the logs are shared by every channel of the
    // process: the last one to end releases them.
    {
        std::lock_guard<std::mutex> g(g_list_lock);
        if (--g_sbtinit_count == 0) {
            free_list(rpgn_init_list, SBT_INIT_END, false);
            rpgn_init_list = nullptr;
            plog_close_all();
            // With no channel left the library is idle: the next sbtinit
            // finds the Windows directory afresh.
            pgnconfig_reset_paths();
        }
    }
    RLOG_T(LOG_LVL_TRACE, "EXIT %s: rc %d \n", name, 0);
    return 0;
}

// Entry points of the file cycle and the catalogue refuse until sbtinit2 ran.
int rman_pgn_sbtbackup(void *ctx, unsigned long flags, const char *file, sbt_item *objects, size_t bsize,
                       size_t max_size)
{
    return rpgn_backup(channel(ctx), flags, file, objects, bsize, max_size);
}

int rman_pgn_sbtrestore(void *ctx, unsigned long flags, const char *file, size_t bsize)
{
    return rpgn_restore(channel(ctx), flags, file, bsize);
}

int rman_pgn_sbtwrite2(void *ctx, unsigned long flags, const void *buf)
{
    return rpgn_write(channel(ctx), flags, buf);
}

int rman_pgn_sbtread2(void *ctx, unsigned long flags, void *buf) { return rpgn_read(channel(ctx), flags, buf); }

int rman_pgn_sbtclose2(void *ctx, unsigned long flags) { return rpgn_close(channel(ctx), flags); }

int rman_pgn_sbtremove2(void *ctx, unsigned long flags, char **files)
{
    return rpgn_remove(channel(ctx), flags, files);
}

int rman_pgn_sbtinfo2(void *ctx, unsigned long flags, char **files, sbt_item **result)
{
    return rpgn_info(channel(ctx), flags, files, result);
}

const sbt_vector rpgn_sbt_vector = {
    rman_pgn_sbtbackup, rman_pgn_sbtclose2, rpgn_sbtcommand, rman_pgn_sbtend,    rman_pgn_sbterror,
    rman_pgn_sbtinfo2,  rman_pgn_sbtinit2,  rman_pgn_sbtread2, rman_pgn_sbtremove2, rman_pgn_sbtrestore,
    rman_pgn_sbtwrite2,
};

// One body for every version-1 export: only SBT 2.0 is served.
int refuse_v1() { return -1; }

}  // namespace

// ---------------------------------------------------------------- shared helpers

const char *rpgn_status_text(int status)
{
    if (status == XCOMM_ERR_TIMEOUT && util_timeout_text()[0] != '\0') {
        // Which request went unanswered, and how long it was waited for.
        thread_local char text[192];
        snprintf(text, sizeof text, "%s (%s)", util_err_name(status), util_timeout_text());
        return text;
    }
    if (status < 0)
        return util_err_name(status);
    if (mi_status_in_range(status))
        return mi_status_name(status);
    return util_strerror(status);
}

void rpgn_set_error(rpgn_channel *ch, uint64_t code, const char *fmt, ...)
{
    ch->error_code = code;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(ch->error_text, sizeof ch->error_text, fmt, ap);
    va_end(ap);
}

static const char *sbt_error_text(uint64_t code)
{
    for (const auto &e : rpgn_sbt_errors)
        if (e.code == code)
            return e.text;
    RLOG(LOG_LVL_ERROR, "Unknown SBT error %d\n", static_cast<int>(code));
    return "Unknown SBT error";
}

int rpgn_exit(rpgn_channel *ch, const char *name, int rc)
{
    if (rc == 0 || ch->error_code == SBT_ERROR_NOTFOUND || ch->error_code == SBT_ERROR_EOF)
        RLOG_T(LOG_LVL_TRACE, "EXIT %s: rc %d \n", name, rc);
    else
        RLOG_T(LOG_LVL_ERROR, "EXIT %s: rc %d %s \n", name, rc,
               ch->error_code == SBT_ERROR_MM ? ch->error_text : sbt_error_text(ch->error_code));
    return rc;
}

int rpgn_exit_file(rpgn_channel *ch, const char *name, int rc, const char *file)
{
    if (file == nullptr)
        file = "(null)";
    if (rc == 0 || ch->error_code == SBT_ERROR_NOTFOUND || ch->error_code == SBT_ERROR_EOF)
        RLOG_T(LOG_LVL_TRACE, "EXIT %s: rc %d file %s\n", name, rc, file);
    else
        RLOG_T(LOG_LVL_ERROR, "EXIT %s: rc %d %s file %s\n", name, rc,
               ch->error_code == SBT_ERROR_MM ? ch->error_text : sbt_error_text(ch->error_code), file);
    return rc;
}

int rpgn_sbtinit_count() { return g_sbtinit_count.load(); }

// Every module takes its settings from the configuration just read: the main
// log its level and limits, the clients their response timeout, the DM layer
// its digests, read-ahead, socket options and log function.
static void apply_config()
{
    const pgn_config &c = pgncfg();
    plog_configure_main(c.DEBUG_LEVEL.load(), static_cast<uint64_t>(c.LOG_LIMIT.load()), c.LOG_FILE_LIMIT.load());
    util_set_response_timeout(c.RESPONSE_TIMEOUT.load());
    dm_settings dm;
    pgnconfig_dm_settings(&dm);
    dm_apply_settings(&dm);
    dm_set_log(plog_main_level(), rpgn_dm_log_cb);
}

// A failed sbtinit takes its count back; the logs go when nobody else has them.
static void sbtinit_undo()
{
    std::lock_guard<std::mutex> g(g_list_lock);
    if (--g_sbtinit_count == 0)
        plog_close_all();
}

// Channels whose sbtinit2 never completed end without tearing anything down;
// whatever they left is released when the library is unloaded.
__attribute__((destructor)) static void rpgn_library_unload()
{
    {
        std::lock_guard<std::mutex> g(g_list_lock);
        free_list(rpgn_init_list, SBT_INIT_END, false);
        rpgn_init_list = nullptr;
    }
    util_log_init(nullptr, nullptr, nullptr);
    plog_close_all();
}

// ---------------------------------------------------------------- exports

extern "C" {

int sbtinit(uint64_t *error, sbt_item *in, sbt_item **out)
{
    if (in == nullptr || out == nullptr) {
        if (error != nullptr)
            *error = SBT_INIT_BAD_ARGS;
        return -1;
    }
    // The channel counts from here on, so that another channel's sbtend
    // cannot close the logs this call opens.
    {
        std::lock_guard<std::mutex> g(g_list_lock);
        g_sbtinit_count++;
    }
    plog_open_main(pgnconfig_libdir());
    RLOG(LOG_LVL_INFO, "config file = %s\n", pgnconfig_path());
    pgnconfig_read(pgnconfig_path());
    apply_config();

    const char *trace_path = nullptr;
    for (sbt_item *it = in; it->type != SBT_INIT_END; it++)
        if (it->type == SBT_INIT_TRACE_FILE)
            trace_path = static_cast<const char *>(it->value);
    if (trace_path != nullptr) {
        if (plog_open_trace(trace_path, LOG_LVL_ERROR) != 0) {
            RLOG(LOG_LVL_ERROR, "failed to setup tracing file '%s'\n", trace_path);
            if (error != nullptr)
                *error = SBT_INIT_FAILED;
            sbtinit_undo();
            return -1;
        }
        RLOG(LOG_LVL_INFO, "tracing to file '%s' at level %ld\n", trace_path, 0L);
    }
    RLOG(LOG_LVL_INFO, "%s\n", RPGN_MMS_DESC);
    RLOG(LOG_LVL_INFO, "%s initialized.\n", "1.1.3.3694 KESTRALON RMAN plugin");
    RLOG(LOG_LVL_INFO, "%s\n", "Copyright (c) the KESTRALON developers. All rights reserved.");
    pgnconfig_print();

    std::unique_lock<std::mutex> g(g_list_lock);
    if (rpgn_init_list == nullptr) {
        sbt_item *list = static_cast<sbt_item *>(calloc(kInitListItems, sizeof(sbt_item)));
        if (list == nullptr) {
            if (error != nullptr)
                *error = SBT_INIT_FAILED;
            g.unlock();
            sbtinit_undo();
            return -1;
        }
        list[0] = {SBT_INIT_MMS_DESC, const_cast<char *>(RPGN_MMS_DESC)};
        list[1] = {SBT_INIT_MMS_VERSION, const_cast<uint32_t *>(&g_mms_version)};
        list[2] = {SBT_INIT_NAME_MAX, const_cast<uint32_t *>(&g_name_max)};
        list[3] = {SBT_INIT_VECTOR, const_cast<sbt_vector *>(&rpgn_sbt_vector)};
        list[4] = {SBT_INIT_CTX_SIZE, const_cast<uint32_t *>(&g_ctx_size)};
        list[5] = {SBT_INIT_END, nullptr};
        for (sbt_item *it = list;; it++) {
            log_init_item(it);
            if (it->type == SBT_INIT_END)
                break;
        }
        rpgn_init_list = list;
    }
    *out = rpgn_init_list;
    RLOG(LOG_LVL_INFO, "sbtinit EXIT.\n");
    return 0;
}

int sbtopen(void) { return refuse_v1(); }
int sbtread(void) { return refuse_v1(); }
int sbtwrite(void) { return refuse_v1(); }
int sbtclose(void) { return refuse_v1(); }
int sbtremove(void) { return refuse_v1(); }
void *sbtinfo(void) { return nullptr; }

}  // extern "C"
