// Process-wide utilities of the transport and data-mover layers: the names of
// every negative status, the runtime error texts, the log funnel through which
// XCOMM, page-cache, file-layer and DM messages reach the program's logger,
// the bounded string copy, and the DM page-digest and size settings.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>

// ---- status codes of the file layer, page cache, transport and DM client ----
enum : int {
    FILE_ERR_NOMEM = -501,
    FILE_ERR_OPEN = -502,
    FILE_ERR_STAT = -503,
    FILE_ERR_NOTFILE = -504,
    FILE_ERR_NOFILE = -505,
    FILE_ERR_AOPEN = -506,
    FILE_ERR_IO = -507,
    FILE_ERR_AIO = -508,
    FILE_ERR_HDRIO = -509,
    FILE_ERR_DELETE = -510,
    FILE_ERR_NOSPC = -511,

    PCACHE_ERR_NOMEM = -601,
    PCACHE_ERR_NOPAGE = -602,
    PCACHE_ERR_PGSTATE = -603,

    XCOMM_ERR_NOMEM = -701,
    XCOMM_ERR_ENDP = -702,
    XCOMM_ERR_SOCKET = -703,
    XCOMM_ERR_SOCKOPT = -704,
    XCOMM_ERR_BIND = -705,
    XCOMM_ERR_NAME = -706,
    XCOMM_ERR_CONN = -707,
    XCOMM_ERR_LISTEN = -708,
    XCOMM_ERR_BADSEL = -709,
    XCOMM_ERR_INTR = -710,
    XCOMM_ERR_TIMEOUT = -711,
    XCOMM_ERR_NOCONN = -712,
    XCOMM_ERR_FD = -713,
    XCOMM_ERR_BUSY = -714,
    XCOMM_ERR_BADMSG = -715,
    XCOMM_ERR_NOSUP = -716,
    XCOMM_ERR_SEQ = -717,
    XCOMM_ERR_NOMSG = -718,
    XCOMM_ERR_ACCEPT = -719,
    XCOMM_ERR_SEND = -720,
    XCOMM_ERR_RCV = -721,
    XCOMM_ERR_AUTH = -722,
    XCOMM_ERR_DROPPED = -723,
    XCOMM_ERR_NEGOTIATE = -724,
    XCOMM_ERR_VERSION = -725,
    XCOMM_ERR_DOS_ATTACK = -726,
    XCOMM_ERR_PARTIAL_WRITE = -727,
    XCOMM_ERR_THROTTLE = -728,
    XCOMM_ERR_CONN_REFUSED = -729,
    XCOMM_ERR_CLOSED = -730,
    XCOMM_ERR_RECONNECT_PENDING = -731,

    DM_ERR_NOMEM = -801,
    DM_ERR_AIO = -802,
    DM_ERR_NOPAGE = -803,
    DM_ERR_NOMSG = -804,
    DM_ERR_UNKNOWN = -805,
    DM_ERR_NOFILES = -806,
    DM_ERR_BADFILE = -807,
    DM_ERR_BADMSG = -808,
    DM_ERR_PAGESZ = -809,
    DM_ERR_NOSESS = -810,
    DM_ERR_PERM = -811,
    DM_ERR_NOSPC = -812,
    DM_ERR_INVALID_LEN = -813,
    DM_ERR_INVALID_ARGS = -814,
};

// Error numbers in the numbering every peer and caller of this library uses
// (the Windows runtime's), whatever the host's own errno values are.
enum : int {
    KES_EPERM = 1,
    KES_ENOENT = 2,
    KES_EINTR = 4,
    KES_EIO = 5,
    KES_EBADF = 9,
    KES_EAGAIN = 11,
    KES_ENOMEM = 12,
    KES_EACCES = 13,
    KES_EEXIST = 17,
    KES_ENOTDIR = 20,
    KES_EISDIR = 21,
    KES_EINVAL = 22,
    KES_EMFILE = 24,
    KES_EFBIG = 27,
    KES_ENOSPC = 28,
    KES_EROFS = 30,
    KES_EPIPE = 32,
    KES_ERANGE = 34,
    KES_ENAMETOOLONG = 38,
    KES_ENOSYS = 40,
    KES_ENOTEMPTY = 41,
    KES_EBADMSG = 104,
    KES_ECONNREFUSED = 107,
    KES_ECONNRESET = 108,
    KES_EPROTO = 134,
    KES_ETIMEDOUT = 138,
};

// Open flags that reach MI and DM, in the same numbering.
enum : int {
    KES_O_RDONLY = 0x0000,
    KES_O_WRONLY = 0x0001,
    KES_O_RDWR = 0x0002,
    KES_O_CREAT = 0x0100,
    KES_O_TRUNC = 0x0200,
    KES_O_EXCL = 0x0400,
    KES_O_ACCMODE = 0x0003,  // the access part: read-only, write-only or read-write
};

// Name of a negative status; "undefined" for 0 and unknown negative codes, the
// runtime error text for a positive one.
const char *util_err_name(int code);

// Text of an error number in the numbering above ("Bad message" for 104).
const char *util_strerror(int errnum);

// The host's errno value translated into the numbering above.
int util_errno_to_kes(int host_errno);

// File-layer error for a runtime error number: 12 -> FILE_ERR_NOMEM,
// 28 -> FILE_ERR_NOSPC, anything else FILE_ERR_AIO.
int util_file_err(int kes_errno);

// ---- log funnel ----
// Log levels handed to a sink (the numbering of the program's logs).
enum : int {
    UTIL_LOG_ERROR = 3,
    UTIL_LOG_WARNING = 4,
    UTIL_LOG_NOTICE = 5,
    UTIL_LOG_INFO = 6,
    UTIL_LOG_DEBUG = 7,
    UTIL_LOG_TRACE = 8,
};

// One callback type serves every layer: the log context the caller was given
// (or null), the level, the source module name, the line and the finished text.
typedef void (*util_log_cb_t)(void *log_ctx, int level, const char *src, int line, const char *text);

// Installs the sink of the transport and data-mover layers. Both names must be
// null; they exist for callers that once logged to files of their own.
void util_log_init(const char *log_fname, const char *out_fname, util_log_cb_t sink);
util_log_cb_t util_log_sink();
// Level of the installing layer: above 6 turns debug messages on, above 7 trace.
void util_log_set_level(int level);
bool util_debug_enabled();
int util_trace_level();

// Formats into at most 1024 bytes and hands the text to the sink with no log context.
void util_log(int level, const char *src, int line, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void util_vlog(int level, const char *src, int line, const char *fmt, va_list ap);
// Same with an explicit callback and context (used by the DM and MI clients).
void util_log_to(util_log_cb_t cb, void *ctx, int level, const char *src, int line, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));

// Log by class: 0 warning, 1 error, 2 notice, 3 error.
void util_log_class(int cls, const char *src, int line, const char *fmt, ...) __attribute__((format(printf, 4, 5)));

#define ULOG_ERROR(src, ...) util_log(UTIL_LOG_ERROR, src, __LINE__, __VA_ARGS__)
#define ULOG_WARN(src, ...) util_log(UTIL_LOG_WARNING, src, __LINE__, __VA_ARGS__)
#define ULOG_NOTICE(src, ...) util_log(UTIL_LOG_NOTICE, src, __LINE__, __VA_ARGS__)
#define ULOG_INFO(src, ...) util_log(UTIL_LOG_INFO, src, __LINE__, __VA_ARGS__)
#define ULOG_DEBUG(src, ...) util_log(UTIL_LOG_DEBUG, src, __LINE__, __VA_ARGS__)
#define ULOG_DEBUG_IF(src, ...) \
    do { if (util_debug_enabled()) util_log(UTIL_LOG_DEBUG, src, __LINE__, __VA_ARGS__); } while (0)
#define ULOG_TRACE(src, min, ...) \
    do { if (util_trace_level() >= (min)) util_log(UTIL_LOG_TRACE, src, __LINE__, __VA_ARGS__); } while (0)

// ---- broken internal invariants ----
// Logs the invariant's text through the sink and stops the process. Only for
// states the code itself guarantees, never for data from a peer, file or caller.
[[noreturn]] void util_assert_fail(const char *text, const char *file, int line);
#define XASSERT(cond) ((cond) ? (void)0 : util_assert_fail(#cond, __FILE__, __LINE__))

// ---- small helpers ----
// Copies at most size-1 characters, always terminates when size is not 0,
// returns strlen(src) + 1.
size_t util_strlcpy(char *dst, const char *src, size_t size);

// Largest odd number not above n with no odd divisor from 3 to its square root
// (1 counts); 100 -> 97, 2 -> 1.
uint32_t util_largest_odd_prime(uint32_t n);

// DM page digests (off by default) and the DM read-ahead size (default 16).
void util_set_page_digest(bool on);
bool util_page_digest();
void util_set_size_mb(int mb);
int util_size_mb();

// ---- deadlines ----
// Seconds an MI or DM client waits for any answer of the appliance (and for a
// connect) before it gives the request up; clients take the value when they
// are created. Default 300; values outside 5..86400 are ignored.
constexpr int UTIL_RESPONSE_TIMEOUT_DEFAULT = 300;
constexpr int UTIL_RESPONSE_TIMEOUT_MIN = 5;
constexpr int UTIL_RESPONSE_TIMEOUT_MAX = 86400;
void util_set_response_timeout(int seconds);
int util_response_timeout();

// The last deadline that passed on this thread: the request that went
// unanswered and the seconds it was waited for. A caller that sees
// XCOMM_ERR_TIMEOUT reads it to say which request timed out.
void util_timeout_note(const char *request, int seconds);
// Names the request of the last note (a layer above knows it better).
void util_timeout_rename(const char *request);
// "no answer to MI_CLOSE_FILE within 5 seconds", or "" when nothing is noted.
const char *util_timeout_text();

// ---- the process environment ----
// setenv and getenv are not safe against each other across threads; every
// reader and writer of the environment in this library holds this lock.
std::mutex &util_env_lock();
