// Log objects, the process-wide main log and SBT trace log, and the
// assertion report of the BFST path.
#pragma once

#include <cstdarg>
#include <cstdint>

// Levels, most severe first. A message is written when its level is at most
// the log's level; a log whose level is unset (-1) behaves as ERROR.
enum : int {
    LOG_LVL_EMERGENCY = 0,
    LOG_LVL_ALERT = 1,
    LOG_LVL_CRITICAL = 2,
    LOG_LVL_ERROR = 3,
    LOG_LVL_WARNING = 4,
    LOG_LVL_NOTICE = 5,
    LOG_LVL_INFO = 6,
    LOG_LVL_DEBUG = 7,
    LOG_LVL_TRACE = 8,
    LOG_LVL_TRACE1 = 9,
};

struct LogFile;

// Name of a level ("ERROR"), "UNKNOWN" outside 0..9.
const char *log_level_name(int level);
// Level number of a name compared without regard to case, or -1.
int log_level_from_name(const char *name);

// A rotating log "rman<n>.log" in dir with the index file "rmanIndex.txt";
// null when the directory or the file cannot be made.
LogFile *log_create_rotating(const char *dir);
// A log appended to a fixed path, never rotated; null when it cannot be opened.
LogFile *log_create_plain(const char *path);
void log_close(LogFile *log);

void log_set_level(LogFile *log, int level);
int log_level(const LogFile *log);            // -1 when unset
int log_effective_level(const LogFile *log);  // 3 when null or unset
void log_set_limits(LogFile *log, uint64_t size_limit, int32_t file_limit);

// Writes one message to target (and, through trace forwarding, to second when
// its level allows). A null target writes nothing.
void log_write(int level, const char *file, int line, LogFile *target, LogFile *second, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));
void log_vwrite(int level, const char *file, int line, LogFile *target, LogFile *second, const char *fmt,
                va_list ap);

// ---- the process-wide logs ----
// Every channel of the process shares one main log and one SBT trace log. They
// are opened by the first sbtinit and closed only when the last channel ends,
// so no channel ever writes to a log another channel closed.

// Opens the main log in dir unless it is open; returns it (or null).
LogFile *plog_open_main(const char *dir);
// Opens the trace log on path (replacing none that exists); returns 0 or -1.
int plog_open_trace(const char *path, int level);
bool plog_have_trace();
void plog_set_trace_level(int level);
int plog_trace_level();  // -1 without a trace log
// Whether the main or the trace log writes lines of this level (no lock taken).
bool plog_wants(int level);
int plog_main_level();   // effective level of the main log (3 when missing)
void plog_configure_main(int level_or_minus1, uint64_t size_limit, int32_t file_limit);
// Closes both logs.
void plog_close_all();

// Writes to the main log; with_trace also names the trace log as second target.
void plog_write(int level, const char *file, int line, bool with_trace, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void plog_vwrite(int level, const char *file, int line, bool with_trace, const char *fmt, va_list ap);

#define RLOG(level, ...) plog_write(level, __FILE__, __LINE__, false, __VA_ARGS__)
#define RLOG_T(level, ...) plog_write(level, __FILE__, __LINE__, true, __VA_ARGS__)

// Callback of the DM, MI and XCOMM layers: writes their messages into the log
// named by ctx, or into the process main log when ctx is null.
void rpgn_dm_log_cb(void *ctx, int level, const char *src, int line, const char *text);

// Assertion report: logs the failure and stops the process. For broken
// internal invariants only.
[[noreturn]] void com_assert(const char *file, const char *func, int line, const char *fmt, ...);
#define COM_ASSERT(cond, ...) \
    ((cond) ? (void)0 : com_assert(__FILE__, __func__, __LINE__, __VA_ARGS__))
