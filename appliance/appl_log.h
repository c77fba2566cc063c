// The appliance's own log: one line per message with time, level and thread,
// to standard error or a file. Passwords never reach it.
#pragma once

#include <cstdio>

enum : int {
    APPL_LOG_ERROR = 3,
    APPL_LOG_WARNING = 4,
    APPL_LOG_NOTICE = 5,
    APPL_LOG_INFO = 6,
    APPL_LOG_DEBUG = 7,
    APPL_LOG_TRACE = 8,
};

struct appl_log;

// Opens a log writing to path (appended), or to standard error for an empty
// path or null. Null when the file cannot be opened.
appl_log *appl_log_open(const char *path, int level);
void appl_log_close(appl_log *log);
bool appl_log_on(const appl_log *log, int level);
void appl_log_write(appl_log *log, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Level from a number ("6") or a name ("info", any case); -1 when unknown.
int appl_log_parse_level(const char *text);

#define ALOG(log, level, ...)                      \
    do {                                           \
        if (appl_log_on((log), (level)))           \
            appl_log_write((log), (level), __VA_ARGS__); \
    } while (0)
