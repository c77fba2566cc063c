// The configuration file librmanKESTRALON.ini, its process-wide record, and
// the fixed file locations under the Windows directory ($WINDIR).
#pragma once

#include <atomic>
#include <cstdint>

struct dm_settings;  // datamover/dm.h

// Values of IO_PATH: the DM path, or (every other value) the BFST path.
enum : int32_t {
    PGN_IO_PATH_DM = 1,
    PGN_IO_PATH_NAS = 2,
    PGN_IO_PATH_DM_NAS = 3,
    PGN_IO_PATH_BFST = 4,  // the default
};

// One field per key; every field is read by channels on any thread.
struct pgn_config {
    std::atomic<int32_t> DEBUG_LEVEL{-1};
    std::atomic<int32_t> OPDUP_TIMEOUT{43200};
    std::atomic<int32_t> IO_PATH{PGN_IO_PATH_BFST};
    std::atomic<int32_t> OPDUP_MBYTES{1024};
    std::atomic<int32_t> LOG_LIMIT{104857600};
    std::atomic<int32_t> LOG_FILE_LIMIT{10};
    std::atomic<int32_t> WRITE_CACHE_SIZE{0};
    std::atomic<int32_t> READ_CACHE_SIZE{0};
    // 0: BFST stores are sent whole, even to an appliance that deduplicates.
    std::atomic<int32_t> BFST_DEDUP{1};
    std::atomic<int32_t> SERVER_READ_BUFFERED{-1};
    std::atomic<int32_t> COMP_DATA_CHECKSUMS{0};
    std::atomic<int32_t> DATA_CONNECTION_BUSY_TIMEOUT{300};
    std::atomic<int32_t> SERVER_ENCRYPTION{1};
    std::atomic<int32_t> ENCRYPTION_REQUIRED{0};
    std::atomic<int32_t> TCP_RCVBUF{-1};
    std::atomic<int32_t> TCP_SNDBUF{-1};
    std::atomic<int32_t> DMC_READ_AHEAD_SIZE_MB{-1};
    std::atomic<int32_t> RECONNECT_ALLOWED{60};
    std::atomic<int32_t> TCP_NODELAY{-1};
    std::atomic<int32_t> USE_POLL{0};
    std::atomic<int32_t> ADMIN_ALERT_TIME{300};
    std::atomic<int32_t> LEGACY_BACKUP_OPT{10};
    std::atomic<int32_t> ADMIN_ALERT_LIMIT{1};
    // Keep-alive is on by default, so that a vanished appliance is noticed
    // within about two minutes (milliseconds, probes, milliseconds).
    std::atomic<int32_t> TCP_KEEPIDLE{60000};
    std::atomic<int32_t> TCP_KEEPCNT{6};
    std::atomic<int32_t> TCP_KEEPINTVL{10000};
    // Seconds the MI and DM sessions wait for the appliance's answer to any
    // request, and for a connect.
    std::atomic<int32_t> RESPONSE_TIMEOUT{300};
};

// The process-wide record, holding its defaults from library load.
pgn_config &pgncfg();
// Restores every default (for tests that reread files in one process).
void pgnconfig_reset_defaults();

// Paths, formatted once on first use into 260-character buffers.
const char *pgnconfig_windir();       // $WINDIR, or /var/opt/kestralon
const char *pgnconfig_path();         // $WINDIR/librmanKESTRALON.ini
const char *pgnconfig_libdir();       // $WINDIR/KESTRALON
const char *pgnconfig_creds_path();   // $WINDIR/KESTRALON/creds.xml
const char *pgnconfig_cacert_path();  // <libdir>/cacert.pem
const char *pgnconfig_cert_path();    // <libdir>/cert.pem
const char *pgnconfig_key_path();     // <libdir>/key.pem
const char *pgnconfig_crl_path();     // <libdir>/crl.pem
// Forgets the formatted paths so that the next call reads WINDIR again
// (tests only; the library formats them once per process).
void pgnconfig_reset_paths();

// Parses one line (at most 126 characters) into the record; reports bad keys
// and values at ERROR to the process main log.
void ost_parse_line(const char *line);
// Reads the file line by line: 0 when read to its end, 1 when it could not be
// opened or a read error occurred.
int pgnconfig_read(const char *path);
// The DM layer's settings as the record gives them (the DM layer takes them
// with dm_apply_settings).
void pgnconfig_dm_settings(dm_settings *out);
// Writes the effective configuration at INFO to the process main log.
void pgnconfig_print();
