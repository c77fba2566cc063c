#include "appliance/appl_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

struct appl_log {
    FILE *fp = nullptr;
    bool own = false;
    int level = APPL_LOG_INFO;
    std::mutex mu;
};

appl_log *appl_log_open(const char *path, int level)
{
    auto *log = new appl_log;
    log->level = level;
    if (path == nullptr || path[0] == '\0') {
        log->fp = stderr;
    } else {
        // A new log is the appliance's own: it names users and files.
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        log->fp = fd >= 0 ? fdopen(fd, "a") : nullptr;
        if (log->fp == nullptr) {
            int e = errno;
            if (fd >= 0)
                close(fd);
            errno = e;
            delete log;
            return nullptr;
        }
        log->own = true;
    }
    return log;
}

void appl_log_close(appl_log *log)
{
    if (log == nullptr)
        return;
    if (log->own)
        fclose(log->fp);
    delete log;
}

bool appl_log_on(const appl_log *log, int level)
{
    return log != nullptr && level <= log->level;
}

void appl_log_write(appl_log *log, int level, const char *fmt, ...)
{
    if (!appl_log_on(log, level))
        return;
    static const char *const names[] = {"ERROR", "WARNING", "NOTICE", "INFO", "DEBUG", "TRACE"};
    const char *lname = (level >= APPL_LOG_ERROR && level <= APPL_LOG_TRACE) ? names[level - APPL_LOG_ERROR] : "LOG";
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == '\n')
        text[--n] = '\0';
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    std::lock_guard<std::mutex> lk(log->mu);
    fprintf(log->fp, "%s.%03ld [%d] %s: %s\n", when, long(tv.tv_usec / 1000), int(gettid()), lname, text);
    fflush(log->fp);
}

int appl_log_parse_level(const char *text)
{
    if (text == nullptr || *text == '\0')
        return -1;
    static const char *const names[] = {"error", "warning", "notice", "info", "debug", "trace"};
    for (int i = 0; i < 6; ++i) {
        if (strcasecmp(text, names[i]) == 0)
            return APPL_LOG_ERROR + i;
    }
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (*end != '\0' || v < 0 || v > 9)
        return -1;
    return int(v);
}
