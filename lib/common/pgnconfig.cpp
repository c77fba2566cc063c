#include "lib/common/pgnconfig.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "datamover/dm.h"
#include "datamover/util.h"
#include "lib/common/log.h"

namespace {

constexpr int kPathMax = 260;
constexpr const char *kDefaultWindir = "/var/opt/kestralon";

pgn_config g_cfg;

struct Paths {
    char windir[kPathMax];
    char config[kPathMax];
    char libdir[kPathMax];
    char creds[kPathMax];
    char cacert[kPathMax];
    char cert[kPathMax];
    char key[kPathMax];
    char crl[kPathMax];
};

std::mutex g_paths_lock;
Paths g_paths;
bool g_paths_ready = false;

const Paths &paths()
{
    std::lock_guard<std::mutex> g(g_paths_lock);
    if (!g_paths_ready) {
        std::lock_guard<std::mutex> env(util_env_lock());
        const char *w = getenv("WINDIR");
        if (w == nullptr || *w == '\0')
            w = kDefaultWindir;
        Paths &p = g_paths;
        util_strlcpy(p.windir, w, sizeof p.windir);
        size_t len = strlen(p.windir);
        const char *sep = (len > 0 && p.windir[len - 1] == '/') ? "" : "/";
        snprintf(p.config, sizeof p.config, "%s%s%s", p.windir, sep, "librmanKESTRALON.ini");
        snprintf(p.libdir, sizeof p.libdir, "%s%s%s", p.windir, sep, "KESTRALON");
        snprintf(p.creds, sizeof p.creds, "%s/creds.xml", p.libdir);
        snprintf(p.cacert, sizeof p.cacert, "%s/cacert.pem", p.libdir);
        snprintf(p.cert, sizeof p.cert, "%s/cert.pem", p.libdir);
        snprintf(p.key, sizeof p.key, "%s/key.pem", p.libdir);
        snprintf(p.crl, sizeof p.crl, "%s/crl.pem", p.libdir);
        g_paths_ready = true;
    }
    return g_paths;
}

enum class Rule {
    Level,       // a level name
    NonNeg,      // >= 0, else ignored
    Range,       // lo..hi, else ignored
    Any,         // stored as is
    CacheMiB,    // MiB stored in bytes, capped at 30 MiB; negative ignored
    Bool,        // stored as 0 or 1
    Sticky,      // > 0 sets 1; <= 0 changes nothing
    Keepalive,   // lo..hi, else the invalid-value message (keep-alive keys, RESPONSE_TIMEOUT)
    Discard,     // parsed and thrown away
    Ignored,     // accepted and ignored
};

struct Key {
    const char *name;
    std::atomic<int32_t> pgn_config::*field;
    Rule rule;
    int64_t lo, hi;
};

const Key kKeys[] = {
    {"DEBUG_LEVEL", &pgn_config::DEBUG_LEVEL, Rule::Level, 0, 0},
    {"OPDUP_TIMEOUT", &pgn_config::OPDUP_TIMEOUT, Rule::NonNeg, 0, 0},
    {"IO_PATH", &pgn_config::IO_PATH, Rule::Range, PGN_IO_PATH_DM, PGN_IO_PATH_BFST},
    {"OPDUP_MBYTES", &pgn_config::OPDUP_MBYTES, Rule::Any, 0, 0},
    {"LOG_LIMIT", &pgn_config::LOG_LIMIT, Rule::Range, 32768, 2147483647},
    {"LOG_FILE_LIMIT", &pgn_config::LOG_FILE_LIMIT, Rule::Range, 1, 2147483647},
    {"WRITE_CACHE_SIZE", &pgn_config::WRITE_CACHE_SIZE, Rule::CacheMiB, 0, 0},
    {"READ_CACHE_SIZE", &pgn_config::READ_CACHE_SIZE, Rule::CacheMiB, 0, 0},
    {"BFST_DEDUP", &pgn_config::BFST_DEDUP, Rule::Bool, 0, 0},
    {"SERVER_READ_BUFFERED", &pgn_config::SERVER_READ_BUFFERED, Rule::Bool, 0, 0},
    {"COMP_DATA_CHECKSUMS", &pgn_config::COMP_DATA_CHECKSUMS, Rule::Sticky, 0, 0},
    {"DATA_CONNECTION_BUSY_TIMEOUT", &pgn_config::DATA_CONNECTION_BUSY_TIMEOUT, Rule::NonNeg, 0, 0},
    {"SERVER_ENCRYPTION", &pgn_config::SERVER_ENCRYPTION, Rule::Range, 0, 1},
    {"ENCRYPTION_REQUIRED", &pgn_config::ENCRYPTION_REQUIRED, Rule::Range, 0, 1},
    {"TCP_RCVBUF", &pgn_config::TCP_RCVBUF, Rule::Any, 0, 0},
    {"TCP_SNDBUF", &pgn_config::TCP_SNDBUF, Rule::Any, 0, 0},
    {"DMC_READ_AHEAD_SIZE_MB", &pgn_config::DMC_READ_AHEAD_SIZE_MB, Rule::Range, 0, 32},
    {"RECONNECT_ALLOWED", &pgn_config::RECONNECT_ALLOWED, Rule::Any, 0, 0},
    {"TCP_NODELAY", &pgn_config::TCP_NODELAY, Rule::Any, 0, 0},
    {"USE_POLL", &pgn_config::USE_POLL, Rule::Bool, 0, 0},
    {"ZORCOPY_VLX_23", nullptr, Rule::Discard, 0, 0},
    {"ADMIN_ALERT_TIME", &pgn_config::ADMIN_ALERT_TIME, Rule::Any, 0, 0},
    {"LEGACY_BACKUP_OPT", &pgn_config::LEGACY_BACKUP_OPT, Rule::Any, 0, 0},
    {"ADMIN_ALERT_LIMIT", &pgn_config::ADMIN_ALERT_LIMIT, Rule::Any, 0, 0},
    {"TCP_KEEPIDLE", &pgn_config::TCP_KEEPIDLE, Rule::Keepalive, 1, 276446},
    {"TCP_KEEPCNT", &pgn_config::TCP_KEEPCNT, Rule::Keepalive, 1, 1215752191},
    {"TCP_KEEPINTVL", &pgn_config::TCP_KEEPINTVL, Rule::Keepalive, 1, 276446},
    {"RESPONSE_TIMEOUT", &pgn_config::RESPONSE_TIMEOUT, Rule::Keepalive, UTIL_RESPONSE_TIMEOUT_MIN,
     UTIL_RESPONSE_TIMEOUT_MAX},
    {"LOG_LEVEL", nullptr, Rule::Ignored, 0, 0},
    {"LOG_PATH", nullptr, Rule::Ignored, 0, 0},
    {"LOG_NAME", nullptr, Rule::Ignored, 0, 0},
    {"LOG_TIMEOUT", nullptr, Rule::Ignored, 0, 0},
    {"WSA_MAJOR_VERSION", nullptr, Rule::Ignored, 0, 0},
    {"WSA_MINOR_VERSION", nullptr, Rule::Ignored, 0, 0},
    {"MNT_TIMEOUT", nullptr, Rule::Ignored, 0, 0},
};

// Leading decimal digits with an optional sign; no digits gives 0. Values
// beyond 32 bits are clamped so that range checks see them as out of range.
int32_t to_int(const char *s)
{
    errno = 0;
    long long v = strtoll(s, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

void store(const Key &k, int32_t v) { (g_cfg.*(k.field)).store(v, std::memory_order_relaxed); }

}  // namespace

pgn_config &pgncfg() { return g_cfg; }

void pgnconfig_reset_defaults()
{
    pgn_config fresh;
    for (const auto &k : kKeys)
        if (k.field != nullptr)
            store(k, (fresh.*(k.field)).load());
}

const char *pgnconfig_windir() { return paths().windir; }
const char *pgnconfig_path() { return paths().config; }
const char *pgnconfig_libdir() { return paths().libdir; }
const char *pgnconfig_creds_path() { return paths().creds; }
const char *pgnconfig_cacert_path() { return paths().cacert; }
const char *pgnconfig_cert_path() { return paths().cert; }
const char *pgnconfig_key_path() { return paths().key; }
const char *pgnconfig_crl_path() { return paths().crl; }

void pgnconfig_reset_paths()
{
    std::lock_guard<std::mutex> g(g_paths_lock);
    g_paths_ready = false;
}

void ost_parse_line(const char *line)
{
    if (line == nullptr || line[0] == '#' || line[0] == ';')
        return;
    const char *p = line;
    while (*p == ' ')
        p++;
    const char *eq = strchr(p, '=');
    if (eq == nullptr)
        return;
    char key[128];
    size_t klen = static_cast<size_t>(eq - p);
    if (klen >= sizeof key)
        klen = sizeof key - 1;
    memcpy(key, p, klen);
    key[klen] = '\0';
    const char *v = eq + 1;
    while (*v == ' ')
        v++;
    if (*v == '\0' || *v == '\n' || *v == '\r')
        return;
    char value[128];
    size_t vlen = strcspn(v, " \n\r");
    if (vlen >= sizeof value)
        vlen = sizeof value - 1;
    memcpy(value, v, vlen);
    value[vlen] = '\0';

    const Key *k = nullptr;
    for (const auto &cand : kKeys) {
        if (strncmp(key, cand.name, strlen(cand.name)) == 0) {
            k = &cand;
            break;
        }
    }
    if (k == nullptr) {
        RLOG(LOG_LVL_ERROR, "%s: Invalid option: %s\n", "ost_parse_line", key);
        return;
    }
    if (k->rule == Rule::Level) {
        store(*k, log_level_from_name(value));
        return;
    }
    int32_t n = to_int(value);
    switch (k->rule) {
    case Rule::NonNeg:
        if (n >= 0)
            store(*k, n);
        break;
    case Rule::Range:
        if (n >= k->lo && n <= k->hi)
            store(*k, n);
        break;
    case Rule::Any:
        store(*k, n);
        break;
    case Rule::CacheMiB:
        if (n >= 0)
            store(*k, n > 30 ? 30 * 1048576 : n * 1048576);
        break;
    case Rule::Bool:
        store(*k, n != 0 ? 1 : 0);
        break;
    case Rule::Sticky:
        if (n > 0)
            store(*k, 1);
        break;
    case Rule::Keepalive:
        if (n >= k->lo && n <= k->hi)
            store(*k, n);
        else
            RLOG(LOG_LVL_ERROR, "%s: %s has invalid value, ignoring.\n", "ost_parse_line", k->name);
        break;
    case Rule::Level:
    case Rule::Discard:
    case Rule::Ignored:
        break;
    }
}

int pgnconfig_read(const char *path)
{
    FILE *fp = (path != nullptr) ? fopen(path, "re") : nullptr;
    if (fp == nullptr)
        return 1;
    char line[128];
    int rc = 0;
    for (;;) {
        memset(line, 0, sizeof line);
        if (fgets(line, 127, fp) == nullptr) {
            if (ferror(fp))
                rc = 1;
            break;
        }
        ost_parse_line(line);
    }
    fclose(fp);
    return rc;
}

void pgnconfig_dm_settings(dm_settings *out)
{
    const pgn_config &c = g_cfg;
    out->digests = c.COMP_DATA_CHECKSUMS.load();
    out->read_ahead_mb = c.DMC_READ_AHEAD_SIZE_MB.load();
    out->tcp_nodelay = c.TCP_NODELAY.load();
    out->tcp_sndbuf = c.TCP_SNDBUF.load();
    out->tcp_rcvbuf = c.TCP_RCVBUF.load();
    out->tcp_keepintvl = c.TCP_KEEPINTVL.load();
    out->tcp_keepcnt = c.TCP_KEEPCNT.load();
    out->tcp_keepidle = c.TCP_KEEPIDLE.load();
}

void pgnconfig_print()
{
    pgn_config &c = g_cfg;
    auto line = [](const char *fmt, auto... args) { plog_write(LOG_LVL_INFO, __FILE__, __LINE__, false, fmt, args...); };
    int32_t io = c.IO_PATH.load();
    const char *io_name = io == PGN_IO_PATH_DM       ? "DM"
                          : io == PGN_IO_PATH_NAS    ? "NAS"
                          : io == PGN_IO_PATH_DM_NAS ? "DM-NAS"
                          : io == PGN_IO_PATH_BFST   ? "Wavelane"
                                                     : "Unknown";
    auto u = [](const std::atomic<int32_t> &f) { return static_cast<unsigned>(f.load()); };
    line("IO_PATH=%s\n", io_name);
    line("OPDUP_TIMEOUT=%u secs\n", u(c.OPDUP_TIMEOUT));
    line("OPDUP_MBYTES=%u\n", u(c.OPDUP_MBYTES));
    line("RECONNECT_ALLOWED=%u\n", u(c.RECONNECT_ALLOWED));
    line("USE_POLL=%u\n", u(c.USE_POLL));
    line("ADMIN_ALERT_TIME=%u\n", u(c.ADMIN_ALERT_TIME));
    line("ADMIN_ALERT_LIMIT=%u\n", u(c.ADMIN_ALERT_LIMIT));
    line("LOG_LIMIT=%u\n", u(c.LOG_LIMIT));
    line("LOG_FILE_LIMIT=%u\n", u(c.LOG_FILE_LIMIT));
    line("WRITE_CACHE_SIZE=%u\n", u(c.WRITE_CACHE_SIZE));
    line("READ_CACHE_SIZE=%u\n", u(c.READ_CACHE_SIZE));
    line("BFST_DEDUP=%u\n", u(c.BFST_DEDUP));
    line("SERVER_READ_BUFFERED=%u\n", u(c.SERVER_READ_BUFFERED));
    line("DATA_CONNECTION_BUSY_TIMEOUT=%u\n", u(c.DATA_CONNECTION_BUSY_TIMEOUT));
    line("SERVER_ENCRYPTION=%u\n", u(c.SERVER_ENCRYPTION));
    line("ENCRYPTION_REQUIRED=%u\n", u(c.ENCRYPTION_REQUIRED));
    line("TCP_RCVBUF=%u\n", u(c.TCP_RCVBUF));
    line("TCP_SNDBUF=%u\n", u(c.TCP_SNDBUF));
    int32_t nd = c.TCP_NODELAY.load();
    line("TCP_NODELAY=%s\n", nd < 0 ? "current OS setting" : nd != 0 ? "ENABLED" : "DISABLED");
    struct {
        const char *name;
        const std::atomic<int32_t> *f;
    } ka[] = {{"TCP_KEEPIDLE", &c.TCP_KEEPIDLE}, {"TCP_KEEPCNT", &c.TCP_KEEPCNT}, {"TCP_KEEPINTVL", &c.TCP_KEEPINTVL}};
    for (const auto &k : ka) {
        if (k.f->load() < 0)
            line("%s=current OS setting\n", k.name);
        else
            line("%s=%u\n", k.name, u(*k.f));
    }
    line("DMC_READ_AHEAD_SIZE_MB=%d\n", c.DMC_READ_AHEAD_SIZE_MB.load());
    line("LEGACY_BACKUP_OPT=%u\n", u(c.LEGACY_BACKUP_OPT));
    line("RESPONSE_TIMEOUT=%u secs\n", u(c.RESPONSE_TIMEOUT));
}
