#include "datamover/util.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct NamedCode {
    int code;
    const char *name;
};

constexpr NamedCode kErrNames[] = {
    {FILE_ERR_NOMEM, "FILE_ERR_NOMEM"},
    {FILE_ERR_OPEN, "FILE_ERR_OPEN"},
    {FILE_ERR_STAT, "FILE_ERR_STAT"},
    {FILE_ERR_NOTFILE, "FILE_ERR_NOTFILE"},
    {FILE_ERR_NOFILE, "FILE_ERR_NOFILE"},
    {FILE_ERR_AOPEN, "FILE_ERR_AOPEN"},
    {FILE_ERR_IO, "FILE_ERR_IO"},
    {FILE_ERR_AIO, "FILE_ERR_AIO"},
    {FILE_ERR_HDRIO, "FILE_ERR_HDRIO"},
    {FILE_ERR_DELETE, "FILE_ERR_DELETE"},
    {FILE_ERR_NOSPC, "FILE_ERR_NOSPC"},
    {PCACHE_ERR_NOMEM, "PCACHE_ERR_NOMEM"},
    {PCACHE_ERR_NOPAGE, "PCACHE_ERR_NOPAGE"},
    {PCACHE_ERR_PGSTATE, "PCACHE_ERR_PGSTATE"},
    {XCOMM_ERR_NOMEM, "XCOMM_ERR_NOMEM"},
    {XCOMM_ERR_ENDP, "XCOMM_ERR_ENDP"},
    {XCOMM_ERR_SOCKET, "XCOMM_ERR_SOCKET"},
    {XCOMM_ERR_SOCKOPT, "XCOMM_ERR_SOCKOPT"},
    {XCOMM_ERR_BIND, "XCOMM_ERR_BIND"},
    {XCOMM_ERR_NAME, "XCOMM_ERR_NAME"},
    {XCOMM_ERR_CONN, "XCOMM_ERR_CONN"},
    {XCOMM_ERR_LISTEN, "XCOMM_ERR_LISTEN"},
    {XCOMM_ERR_BADSEL, "XCOMM_ERR_BADSEL"},
    {XCOMM_ERR_INTR, "XCOMM_ERR_INTR"},
    {XCOMM_ERR_TIMEOUT, "XCOMM_ERR_TIMEOUT"},
    {XCOMM_ERR_NOCONN, "XCOMM_ERR_NOCONN"},
    {XCOMM_ERR_FD, "XCOMM_ERR_FD"},
    {XCOMM_ERR_BUSY, "XCOMM_ERR_BUSY"},
    {XCOMM_ERR_BADMSG, "XCOMM_ERR_BADMSG"},
    {XCOMM_ERR_NOSUP, "XCOMM_ERR_NOSUP"},
    {XCOMM_ERR_SEQ, "XCOMM_ERR_SEQ"},
    {XCOMM_ERR_NOMSG, "XCOMM_ERR_NOMSG"},
    {XCOMM_ERR_ACCEPT, "XCOMM_ERR_ACCEPT"},
    {XCOMM_ERR_SEND, "XCOMM_ERR_SEND"},
    {XCOMM_ERR_RCV, "XCOMM_ERR_RCV"},
    {XCOMM_ERR_AUTH, "XCOMM_ERR_AUTH"},
    {XCOMM_ERR_DROPPED, "XCOMM_ERR_DROPPED"},
    {XCOMM_ERR_NEGOTIATE, "XCOMM_ERR_NEGOTIATE"},
    {XCOMM_ERR_VERSION, "XCOMM_ERR_VERSION"},
    {XCOMM_ERR_DOS_ATTACK, "XCOMM_ERR_DOS_ATTACK"},
    {XCOMM_ERR_PARTIAL_WRITE, "XCOMM_ERR_PARTIAL_WRITE"},
    {XCOMM_ERR_THROTTLE, "XCOMM_ERR_THROTTLE"},
    {XCOMM_ERR_CONN_REFUSED, "XCOMM_ERR_CONN_REFUSED"},
    {XCOMM_ERR_CLOSED, "XCOMM_ERR_CLOSED"},
    {XCOMM_ERR_RECONNECT_PENDING, "XCOMM_ERR_RECONNECT_PENDING"},
    {DM_ERR_NOMEM, "DM_ERR_NOMEM"},
    {DM_ERR_AIO, "DM_ERR_AIO"},
    {DM_ERR_NOPAGE, "DM_ERR_NOPAGE"},
    {DM_ERR_NOMSG, "DM_ERR_NOMSG"},
    {DM_ERR_UNKNOWN, "DM_ERR_UNKNOWN"},
    {DM_ERR_NOFILES, "DM_ERR_NOFILES"},
    {DM_ERR_BADFILE, "DM_ERR_BADFILE"},
    {DM_ERR_BADMSG, "DM_ERR_BADMSG"},
    {DM_ERR_PAGESZ, "DM_ERR_PAGESZ"},
    {DM_ERR_NOSESS, "DM_ERR_NOSESS"},
    {DM_ERR_PERM, "DM_ERR_PERM"},
    {DM_ERR_NOSPC, "DM_ERR_NOSPC"},
    {DM_ERR_INVALID_LEN, "DM_ERR_INVALID_LEN"},
    {DM_ERR_INVALID_ARGS, "DM_ERR_INVALID_ARGS"},
};

// Texts of the runtime's error numbers 0..42 and of the socket-era numbers
// 100..140, indexed by number.
constexpr const char *kLowErrnoText[] = {
    "No error",
    "Operation not permitted",
    "No such file or directory",
    "No such process",
    "Interrupted function call",
    "Input/output error",
    "No such device or address",
    "Arg list too long",
    "Exec format error",
    "Bad file descriptor",
    "No child processes",
    "Resource temporarily unavailable",
    "Not enough space",
    "Permission denied",
    "Bad address",
    "Unknown error",
    "Resource device",
    "File exists",
    "Improper link",
    "No such device",
    "Not a directory",
    "Is a directory",
    "Invalid argument",
    "Too many open files in system",
    "Too many open files",
    "Inappropriate I/O control operation",
    "Unknown error",
    "File too large",
    "No space left on device",
    "Invalid seek",
    "Read-only file system",
    "Too many links",
    "Broken pipe",
    "Domain error",
    "Result too large",
    "Unknown error",
    "Resource deadlock avoided",
    "Unknown error",
    "Filename too long",
    "No locks available",
    "Function not implemented",
    "Directory not empty",
    "Illegal byte sequence",
};

constexpr const char *kHighErrnoText[] = {
    "Address in use",                  // 100
    "Address not available",           // 101
    "Address family not supported",    // 102
    "Connection already in progress",  // 103
    "Bad message",                     // 104
    "Operation canceled",              // 105
    "Connection aborted",              // 106
    "Connection refused",              // 107
    "Connection reset",                // 108
    "Destination address required",    // 109
    "Host unreachable",                // 110
    "Identifier removed",              // 111
    "Operation in progress",           // 112
    "Already connected",               // 113
    "Too many symbolic link levels",   // 114
    "Message size",                    // 115
    "Network down",                    // 116
    "Network reset",                   // 117
    "Network unreachable",             // 118
    "No buffer space",                 // 119
    "No message available",            // 120
    "No link",                         // 121
    "No message",                      // 122
    "No protocol option",              // 123
    "No stream resources",             // 124
    "Not a stream",                    // 125
    "Not connected",                   // 126
    "State not recoverable",           // 127
    "Not a socket",                    // 128
    "Not supported",                   // 129
    "Operation not supported",         // 130
    "Unknown error",                   // 131
    "Value too large",                 // 132
    "Owner dead",                      // 133
    "Protocol error",                  // 134
    "Protocol not supported",          // 135
    "Wrong protocol type",             // 136
    "Stream timeout",                  // 137
    "Timed out",                       // 138
    "Text file busy",                  // 139
    "Operation would block",           // 140
};

std::atomic<util_log_cb_t> g_sink{nullptr};
std::atomic<bool> g_debug{false};
std::atomic<int> g_trace{0};
std::atomic<bool> g_page_digest{false};
std::atomic<int> g_size_mb{16};

}  // namespace

const char *util_err_name(int code)
{
    if (code > 0)
        return util_strerror(code);
    for (const auto &e : kErrNames)
        if (e.code == code)
            return e.name;
    return "undefined";
}

const char *util_strerror(int errnum)
{
    constexpr int low = static_cast<int>(sizeof kLowErrnoText / sizeof kLowErrnoText[0]);
    constexpr int high = static_cast<int>(sizeof kHighErrnoText / sizeof kHighErrnoText[0]);
    if (errnum >= 0 && errnum < low)
        return kLowErrnoText[errnum];
    if (errnum >= 100 && errnum < 100 + high)
        return kHighErrnoText[errnum - 100];
    return "Unknown error";
}

int util_errno_to_kes(int e)
{
    switch (e) {
    case 0: return 0;
    case EPERM: return 1;
    case ENOENT: return 2;
    case ESRCH: return 3;
    case EINTR: return 4;
    case EIO: return 5;
    case ENXIO: return 6;
    case E2BIG: return 7;
    case ENOEXEC: return 8;
    case EBADF: return 9;
    case ECHILD: return 10;
    case EAGAIN: return 11;
    case ENOMEM: return 12;
    case EACCES: return 13;
    case EFAULT: return 14;
    case EBUSY: return 16;
    case EEXIST: return 17;
    case EXDEV: return 18;
    case ENODEV: return 19;
    case ENOTDIR: return 20;
    case EISDIR: return 21;
    case EINVAL: return 22;
    case ENFILE: return 23;
    case EMFILE: return 24;
    case ENOTTY: return 25;
    case EFBIG: return 27;
    case ENOSPC: return 28;
    case ESPIPE: return 29;
    case EROFS: return 30;
    case EMLINK: return 31;
    case EPIPE: return 32;
    case EDOM: return 33;
    case ERANGE: return 34;
    case EDEADLK: return 36;
    case ENAMETOOLONG: return 38;
    case ENOLCK: return 39;
    case ENOSYS: return 40;
    case ENOTEMPTY: return 41;
    case EILSEQ: return 42;
    case EADDRINUSE: return 100;
    case EADDRNOTAVAIL: return 101;
    case EAFNOSUPPORT: return 102;
    case EALREADY: return 103;
    case EBADMSG: return 104;
    case ECANCELED: return 105;
    case ECONNABORTED: return 106;
    case ECONNREFUSED: return 107;
    case ECONNRESET: return 108;
    case EDESTADDRREQ: return 109;
    case EHOSTUNREACH: return 110;
    case EIDRM: return 111;
    case EINPROGRESS: return 112;
    case EISCONN: return 113;
    case ELOOP: return 114;
    case EMSGSIZE: return 115;
    case ENETDOWN: return 116;
    case ENETRESET: return 117;
    case ENETUNREACH: return 118;
    case ENOBUFS: return 119;
    case ENODATA: return 120;
    case ENOLINK: return 121;
    case ENOMSG: return 122;
    case ENOPROTOOPT: return 123;
    case ENOSR: return 124;
    case ENOSTR: return 125;
    case ENOTCONN: return 126;
    case ENOTRECOVERABLE: return 127;
    case ENOTSOCK: return 128;
    case EOPNOTSUPP: return 130;
    case EOVERFLOW: return 132;
    case EOWNERDEAD: return 133;
    case EPROTO: return 134;
    case EPROTONOSUPPORT: return 135;
    case EPROTOTYPE: return 136;
    case ETIME: return 137;
    case ETIMEDOUT: return 138;
    case ETXTBSY: return 139;
    default: return 5;  // an error without a twin is reported as an I/O error
    }
}

int util_file_err(int kes_errno)
{
    if (kes_errno == KES_ENOMEM)
        return FILE_ERR_NOMEM;
    if (kes_errno == KES_ENOSPC)
        return FILE_ERR_NOSPC;
    return FILE_ERR_AIO;
}

void util_log_init(const char *log_fname, const char *out_fname, util_log_cb_t sink)
{
    XASSERT(log_fname == NULL);
    XASSERT(out_fname == NULL);
    g_sink.store(sink);
}

util_log_cb_t util_log_sink() { return g_sink.load(); }

void util_log_set_level(int level)
{
    g_debug.store(level > 6);
    g_trace.store(level > 7 ? level : 0);
}

bool util_debug_enabled() { return g_debug.load(std::memory_order_relaxed); }
int util_trace_level() { return g_trace.load(std::memory_order_relaxed); }

static void vlog_to(util_log_cb_t cb, void *ctx, int level, const char *src, int line, const char *fmt, va_list ap)
{
    if (cb == nullptr)
        return;
    char text[1024];
    vsnprintf(text, sizeof text, fmt, ap);
    cb(ctx, level, src, line, text);
}

void util_vlog(int level, const char *src, int line, const char *fmt, va_list ap)
{
    vlog_to(g_sink.load(), nullptr, level, src, line, fmt, ap);
}

void util_log(int level, const char *src, int line, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    util_vlog(level, src, line, fmt, ap);
    va_end(ap);
}

void util_log_to(util_log_cb_t cb, void *ctx, int level, const char *src, int line, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vlog_to(cb, ctx, level, src, line, fmt, ap);
    va_end(ap);
}

void util_log_class(int cls, const char *src, int line, const char *fmt, ...)
{
    static constexpr int kLevels[] = {UTIL_LOG_WARNING, UTIL_LOG_ERROR, UTIL_LOG_NOTICE, UTIL_LOG_ERROR};
    int level = (cls >= 0 && cls < 4) ? kLevels[cls] : UTIL_LOG_ERROR;
    va_list ap;
    va_start(ap, fmt);
    util_vlog(level, src, line, fmt, ap);
    va_end(ap);
}

void util_assert_fail(const char *text, const char *file, int line)
{
    const char *base = strrchr(file, '/');
    base = base ? base + 1 : file;
    util_log(UTIL_LOG_ERROR, base, line, "assertion failed: %s\n", text);
    fprintf(stderr, "%s:%d: assertion failed: %s\n", base, line, text);
    abort();
}

size_t util_strlcpy(char *dst, const char *src, size_t size)
{
    size_t len = strlen(src);
    if (size != 0) {
        size_t n = len < size - 1 ? len : size - 1;
        memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len + 1;
}

uint32_t util_largest_odd_prime(uint32_t n)
{
    if (n < 1)
        return 1;
    uint32_t c = (n % 2 == 0) ? n - 1 : n;
    for (; c > 1; c -= 2) {
        bool prime = true;
        for (uint32_t d = 3; static_cast<uint64_t>(d) * d <= c; d += 2) {
            if (c % d == 0) {
                prime = false;
                break;
            }
        }
        if (prime)
            return c;
    }
    return 1;
}

void util_set_page_digest(bool on) { g_page_digest.store(on); }
bool util_page_digest() { return g_page_digest.load(); }
void util_set_size_mb(int mb) { g_size_mb.store(mb); }
int util_size_mb() { return g_size_mb.load(); }

// ---------------------------------------------------------------- deadlines

namespace {
std::atomic<int> g_response_timeout{UTIL_RESPONSE_TIMEOUT_DEFAULT};

struct TimeoutNote {
    char request[64];
    int seconds;
    char text[128];
};
thread_local TimeoutNote t_timeout = {};
}  // namespace

void util_set_response_timeout(int seconds)
{
    if (seconds >= UTIL_RESPONSE_TIMEOUT_MIN && seconds <= UTIL_RESPONSE_TIMEOUT_MAX)
        g_response_timeout.store(seconds);
}

int util_response_timeout() { return g_response_timeout.load(); }

void util_timeout_note(const char *request, int seconds)
{
    util_strlcpy(t_timeout.request, request != nullptr ? request : "a request", sizeof t_timeout.request);
    t_timeout.seconds = seconds;
}

void util_timeout_rename(const char *request)
{
    if (request != nullptr && t_timeout.request[0] != '\0')
        util_strlcpy(t_timeout.request, request, sizeof t_timeout.request);
}

const char *util_timeout_text()
{
    if (t_timeout.request[0] == '\0')
        return "";
    snprintf(t_timeout.text, sizeof t_timeout.text, "no answer to %s within %d seconds", t_timeout.request,
             t_timeout.seconds);
    return t_timeout.text;
}

std::mutex &util_env_lock()
{
    static std::mutex lock;
    return lock;
}
