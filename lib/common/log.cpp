#include "lib/common/log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <shared_mutex>

#include "datamover/file_io.h"
#include "datamover/platform_proc.h"
#include "datamover/platform_xcomm.h"
#include "datamover/util.h"

namespace {

constexpr int kPathMax = 260;
constexpr uint64_t kNoSizeLimit = 0x7FFFFFFFFFFFFFFFULL;
constexpr const char *kBaseName = "rman";

struct LevelName {
    int level;
    const char *name;
};

constexpr LevelName dbLevels[] = {
    {0, "EMERGENCY"}, {1, "ALERT"}, {2, "CRITICAL"}, {3, "ERROR"}, {4, "WARNING"},
    {5, "NOTICE"},    {6, "INFO"},  {7, "DEBUG"},    {8, "TRACE"}, {9, "TRACE1"},
};

typedef void (*log_callback_t)(int level, const char *base, int line, LogFile *target, LogFile *second,
                               const char *fmt, va_list ap);

}  // namespace

struct LogFile {
    FILE *current = nullptr;
    FILE *previous = nullptr;
    log_callback_t callback = nullptr;
    std::atomic<int32_t> level{-1};  // read by every log call without the lock
    char directory[kPathMax] = {};
    char base_name[kPathMax] = {};
    uint64_t size_limit = kNoSizeLimit;
    int32_t file_limit = -1;
    int32_t no_rotation = 0;
    int32_t write_count = 0;
    std::mutex lock;
};

namespace {

const char *base_of(const char *file)
{
    if (file == nullptr)
        return "";
    const char *b = file;
    for (const char *p = file; *p; p++)
        if (*p == '/' || *p == '\\')
            b = p + 1;
    return b;
}

uint64_t thread_id() { return static_cast<uint64_t>(platform_tid()); }

// Local time of now into "%Y%m%d %H:%M:%S.mmm" or "%m/%d/%y %H:%M:%S".
void format_time(char *buf, size_t size, bool trace_style)
{
    int64_t sec, usec;
    xcomm_gettime(&sec, &usec);
    struct tm tm;
    platform_localtime(static_cast<time_t>(sec), &tm);
    if (trace_style) {
        strftime(buf, size, "%m/%d/%y %H:%M:%S", &tm);
    } else {
        char tmp[32];
        strftime(tmp, sizeof tmp, "%Y%m%d %H:%M:%S.", &tm);
        snprintf(buf, size, "%s%03d", tmp, static_cast<int>(usec / 1000));
    }
}

int effective(const LogFile *log)
{
    int32_t l = log != nullptr ? log->level.load(std::memory_order_relaxed) : -1;
    return l < 0 ? LOG_LVL_ERROR : l;
}

// The main log's callback: copies the message to the second target when its
// own level allows, whatever the main log's level is.
void trace_forward(int level, const char *, int, LogFile *, LogFile *second, const char *fmt, va_list ap)
{
    if (second == nullptr || level > effective(second))
        return;
    std::lock_guard<std::mutex> g(second->lock);
    if (second->current == nullptr)
        return;
    char when[32];
    format_time(when, sizeof when, true);
    fprintf(second->current, "SBT-%lu (%lu) %s ", platform_pid(),
            static_cast<unsigned long>(thread_id()), when);
    va_list cp;
    va_copy(cp, ap);
    vfprintf(second->current, fmt, cp);
    va_end(cp);
    fflush(second->current);
}

void numbered_path(const LogFile *log, int64_t n, char *out, size_t size)
{
    if (n < 0)
        snprintf(out, size, "%s%s%s", log->directory, log->base_name, ".log");
    else
        snprintf(out, size, "%s%s%u%s", log->directory, log->base_name, static_cast<unsigned>(n), ".log");
}

// The index file holding the number of the current log file, locked by a
// one-byte record lock so that processes sharing the directory switch files
// one at a time.
struct IndexFile {
    FILE *fp = nullptr;
    unsigned n = 0;

    bool open(const LogFile *log)
    {
        char path[kPathMax + 16];
        snprintf(path, sizeof path, "%s%sIndex.txt", log->directory, log->base_name);
        fp = file_io_open_index(path);
        if (fp == nullptr)
            return false;
        fseek(fp, 0, SEEK_SET);
        if (fscanf(fp, "%u", &n) != 1) {
            n = 0;
            fseek(fp, 0, SEEK_SET);
            fprintf(fp, "%u ", 0u);
            fflush(fp);
        }
        return true;
    }

    bool store(unsigned value)
    {
        n = value;
        if (fseek(fp, 0, SEEK_SET) != 0 || fprintf(fp, "%u ", value) < 0 || fflush(fp) != 0)
            return false;
        return true;
    }

    // Flushing and closing releases the lock.
    void close()
    {
        if (fp != nullptr) {
            file_io_close_index(fp);
            fp = nullptr;
        }
    }
};

// Switches to the next numbered file when the current one has reached the
// size limit. Runs under the log's lock on the 1st, 11th, 21st ... write.
void size_check(LogFile *log)
{
    if (log->no_rotation)
        return;
    if (log->write_count % 10 != 0) {
        log->write_count++;
        return;
    }
    log->write_count = 1;
    uint64_t size = 0;
    if (log->current == nullptr || log->current == stderr || !file_io_stream_size(log->current, &size) ||
        size < log->size_limit || log->file_limit < 0)
        return;

    IndexFile idx;
    if (!idx.open(log))
        return;
    bool advanced = false;
    int64_t k = 0;
    const uint64_t ring = static_cast<uint64_t>(log->file_limit) + 1;
    char path[kPathMax + 32];
    for (;;) {
        numbered_path(log, idx.n, path, sizeof path);
        FILE *fp = file_io_open_append(path, true);
        if (fp == nullptr)
            break;
        uint64_t sz = 0;
        if (!file_io_stream_size(fp, &sz)) {
            fclose(fp);
            break;
        }
        if (sz >= log->size_limit) {
            fclose(fp);
            unsigned next = static_cast<unsigned>((idx.n + 1) % ring);
            advanced = true;
            if (!idx.store(next))
                break;
            if (k <= log->file_limit) {
                k++;
            } else {
                k++;
                numbered_path(log, idx.n, path, sizeof path);
                file_io_unlink(path);
            }
            continue;
        }
        if (log->previous != nullptr)
            fclose(log->previous);
        log->previous = log->current;
        log->current = fp;
        if (advanced) {
            numbered_path(log, static_cast<int64_t>((idx.n + 1) % ring), path, sizeof path);
            file_io_unlink(path);
            numbered_path(log, -1, path, sizeof path);
            file_io_unlink(path);
        }
        break;
    }
    idx.close();
}

}  // namespace

const char *log_level_name(int level)
{
    if (level < LOG_LVL_EMERGENCY || level > LOG_LVL_TRACE1)
        return "UNKNOWN";
    XASSERT(dbLevels[level].level == level);
    return dbLevels[level].name;
}

int log_level_from_name(const char *name)
{
    if (name == nullptr)
        return -1;
    for (const auto &l : dbLevels)
        if (strcasecmp(name, l.name) == 0)
            return l.level;
    return -1;
}

LogFile *log_create_rotating(const char *dir)
{
    if (dir == nullptr)
        return nullptr;
    LogFile *log = new (std::nothrow) LogFile;
    if (log == nullptr)
        return nullptr;
    log->callback = trace_forward;
    size_t len = strlen(dir);
    bool has_sep = len > 0 && (dir[len - 1] == '/' || dir[len - 1] == '\\');
    if (len + 2 > sizeof log->directory) {
        delete log;
        return nullptr;
    }
    snprintf(log->directory, sizeof log->directory, "%s%s", dir, has_sep ? "" : "/");
    util_strlcpy(log->base_name, kBaseName, sizeof log->base_name);
    if (!file_io_make_dirs(log->directory)) {
        delete log;
        return nullptr;
    }
    IndexFile idx;
    if (!idx.open(log)) {
        delete log;
        return nullptr;
    }
    char path[kPathMax + 32];
    numbered_path(log, idx.n, path, sizeof path);
    log->current = file_io_open_append(path, true);
    if (log->current != nullptr) {
        numbered_path(log, -1, path, sizeof path);
        file_io_unlink(path);
    }
    idx.close();
    if (log->current == nullptr) {
        delete log;
        return nullptr;
    }
    return log;
}

LogFile *log_create_plain(const char *path)
{
    if (path == nullptr || strlen(path) >= kPathMax * 4)
        return nullptr;
    // The path is the caller's (RMAN's trace file): followed as given.
    FILE *fp = file_io_open_append(path, false);
    if (fp == nullptr)
        return nullptr;
    LogFile *log = new (std::nothrow) LogFile;
    if (log == nullptr) {
        fclose(fp);
        return nullptr;
    }
    log->current = fp;
    log->no_rotation = 1;
    return log;
}

void log_close(LogFile *log)
{
    if (log == nullptr)
        return;
    {
        std::lock_guard<std::mutex> g(log->lock);
        if (log->current != nullptr && log->current != stderr)
            fclose(log->current);
        if (log->previous != nullptr && log->previous != stderr)
            fclose(log->previous);
        log->current = log->previous = nullptr;
    }
    delete log;
}

void log_set_level(LogFile *log, int level)
{
    if (log != nullptr)
        log->level = level;
}

int log_level(const LogFile *log) { return log ? log->level.load() : -1; }
int log_effective_level(const LogFile *log) { return effective(log); }

void log_set_limits(LogFile *log, uint64_t size_limit, int32_t file_limit)
{
    if (log == nullptr)
        return;
    std::lock_guard<std::mutex> g(log->lock);
    log->size_limit = size_limit;
    log->file_limit = file_limit;
}

void log_vwrite(int level, const char *file, int line, LogFile *target, LogFile *second, const char *fmt, va_list ap)
{
    if (target == nullptr)
        return;
    const char *base = base_of(file);
    if (target->callback != nullptr) {
        va_list cp;
        va_copy(cp, ap);
        target->callback(level, base, line, target, second, fmt, cp);
        va_end(cp);
    }
    if (level > effective(target) || target->current == nullptr)
        return;
    char ids[32];
    snprintf(ids, sizeof ids, "%" PRIu64 ":%" PRIu64, static_cast<uint64_t>(platform_pid()), thread_id());
    std::lock_guard<std::mutex> g(target->lock);
    if (target->current == nullptr)
        return;
    char when[40];
    format_time(when, sizeof when, false);
    fprintf(target->current, "%s\t - %s %s %s:%" PRIu64 " ", log_level_name(level), when, ids, base,
            static_cast<uint64_t>(line));
    va_list cp;
    va_copy(cp, ap);
    vfprintf(target->current, fmt, cp);
    va_end(cp);
    fflush(target->current);
    size_check(target);
}

void log_write(int level, const char *file, int line, LogFile *target, LogFile *second, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(level, file, line, target, second, fmt, ap);
    va_end(ap);
}

// ---------------------------------------------------------------- process logs

namespace {
// Readers (every log call) hold the lock shared; opening and closing hold it
// exclusively, so no call ever writes through a log that is being closed.
std::shared_mutex g_plog_lock;
LogFile *g_main = nullptr;
LogFile *g_trace = nullptr;
// The highest level either log writes, kept up to date under the lock: a
// call below it (the ENTER and EXIT lines of every block at TRACE) returns
// without touching the lock the channels share.
std::atomic<int> g_plog_want{-1};

void plog_update_want()
{
    int want = -1;
    if (g_main != nullptr)
        want = effective(g_main);
    if (g_trace != nullptr)
        want = std::max(want, effective(g_trace));
    g_plog_want.store(want, std::memory_order_relaxed);
}
}  // namespace

LogFile *plog_open_main(const char *dir)
{
    std::unique_lock<std::shared_mutex> g(g_plog_lock);
    if (g_main == nullptr)
        g_main = log_create_rotating(dir);
    plog_update_want();
    return g_main;
}

int plog_open_trace(const char *path, int level)
{
    LogFile *log = log_create_plain(path);
    if (log == nullptr)
        return -1;
    log->level = level;
    std::unique_lock<std::shared_mutex> g(g_plog_lock);
    LogFile *old = g_trace;
    g_trace = log;
    plog_update_want();
    g.unlock();
    // Nobody can be writing through the old log now: writers hold the lock.
    log_close(old);
    return 0;
}

bool plog_have_trace()
{
    std::shared_lock<std::shared_mutex> g(g_plog_lock);
    return g_trace != nullptr;
}

void plog_set_trace_level(int level)
{
    std::shared_lock<std::shared_mutex> g(g_plog_lock);
    if (g_trace != nullptr)
        g_trace->level = level;
    plog_update_want();
}

int plog_trace_level()
{
    if (g_plog_want.load(std::memory_order_relaxed) < 0)
        return -1;  // no log open
    std::shared_lock<std::shared_mutex> g(g_plog_lock);
    return g_trace ? g_trace->level.load() : -1;
}

int plog_main_level()
{
    std::shared_lock<std::shared_mutex> g(g_plog_lock);
    return effective(g_main);
}

void plog_configure_main(int level, uint64_t size_limit, int32_t file_limit)
{
    std::shared_lock<std::shared_mutex> g(g_plog_lock);
    if (g_main == nullptr)
        return;
    if (level >= 0)
        g_main->level = level;
    plog_update_want();
    log_set_limits(g_main, size_limit, file_limit);
}

void plog_close_all()
{
    std::unique_lock<std::shared_mutex> g(g_plog_lock);
    LogFile *m = g_main, *t = g_trace;
    g_main = g_trace = nullptr;
    plog_update_want();
    g.unlock();
    log_close(m);
    log_close(t);
}

bool plog_wants(int level) { return level <= g_plog_want.load(std::memory_order_relaxed); }

void plog_vwrite(int level, const char *file, int line, bool with_trace, const char *fmt, va_list ap)
{
    if (level > g_plog_want.load(std::memory_order_relaxed))
        return;
    std::shared_lock<std::shared_mutex> g(g_plog_lock);
    log_vwrite(level, file, line, g_main, with_trace ? g_trace : nullptr, fmt, ap);
}

void plog_write(int level, const char *file, int line, bool with_trace, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    plog_vwrite(level, file, line, with_trace, fmt, ap);
    va_end(ap);
}

void rpgn_dm_log_cb(void *ctx, int level, const char *src, int line, const char *text)
{
    if (ctx != nullptr)
        log_write(level, src, line, static_cast<LogFile *>(ctx), nullptr, "%s", text);
    else
        plog_write(level, src, line, false, "%s", text);
}

void com_assert(const char *file, const char *func, int line, const char *fmt, ...)
{
    RLOG(LOG_LVL_ERROR, "******** An assertion failed! ********\n");
    RLOG(LOG_LVL_ERROR, "*** In %s at %s:%d\n", func, file, line);
    if (fmt != nullptr) {
        char text[1024];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        RLOG(LOG_LVL_ERROR, "*** %s", text);
    }
    abort();
}
