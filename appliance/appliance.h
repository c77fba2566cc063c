// The appliance service: a disk backup appliance for one machine. It serves
// the control protocol on TCP port 10002 of its listen address, the data
// mover on a port of its own and the transfer library's BFST service on port
// 1062, stores backup files under a root directory and
// authenticates users from a list of names and passwords.
//
// Tests start and stop it in-process with appliance_start/appliance_stop; the
// daemon kestralon-appliance wraps the same calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

struct appliance_user {
    appliance_user() = default;
    appliance_user(std::string n, std::string p, std::vector<std::string> s = {})
        : name(std::move(n)), password(std::move(p)), shares(std::move(s))
    {
    }
    std::string name;
    std::string password;
    std::vector<std::string> shares;  // the shares the user may reach; empty: every share
};

// Which connections the failure-injection switches apply to.
enum : unsigned {
    APPL_FAULT_MI = 0x1,
    APPL_FAULT_DM = 0x2,
};

struct appliance_config {
    std::string listen_addr = "127.0.0.1";
    uint16_t mi_port = 10002;      // 0: an ephemeral port (in-process tests)
    uint16_t dm_port = 0;          // 0: an ephemeral port, reported through MI
    std::string root;
    std::vector<appliance_user> users;
    int log_level = 6;             // 3 error .. 8 trace
    std::string log_file;          // empty: standard error

    // Values reported to clients.
    uint32_t version = 0x70000;
    uint32_t pref_bsz = 1048576;
    uint16_t pref_reserve_mb = 0;
    uint64_t quota = 0;            // bytes, 0 for none
    uint32_t file_flags = 0;       // flags returned with every opened file

    // Admission of connections.
    uint32_t login_timeout_s = 10;        // control connections must log in within this
    uint32_t max_conns_per_addr = 256;    // logged-in connections per client address
    uint32_t max_pending_per_addr = 16;   // connections per address waiting to log in

    // TLS of the control and data-mover services and, with certificates, of the BFST service.
    std::string tls_dir;                // cacert.pem, cert.pem, key.pem [, crl.pem]: TLS with certificates
    bool tls_required = false;          // clients (other than 127.0.0.1) must use TLS

    // Failure injection.
    uint32_t delay_ms = 0;              // before every reply
    uint64_t drop_after_msgs = 0;       // drop a connection on receiving its N-th request
    uint64_t drop_after_bytes = 0;      // drop a connection once it has sent N payload bytes
    unsigned fault_conns = APPL_FAULT_MI | APPL_FAULT_DM;
    uint32_t wrong_msgno = 0;           // answer this MI message with another number
    bool refuse_admin_alerts = false;   // answer MI_ADMIN_ALERT with "disabled"

    // BFST service.
    int bfst_port = -1;                 // -1: 1062, or a free port when mi_port is 0; 0: a free port
    std::vector<std::string> bfst_psk_passwords;  // pre-shared keys accepted; empty: the library's own
    uint32_t bfst_idle_timeout_s = 3600;  // a connection quiet this long is closed
    uint32_t bfst_refuse_connects = 0;  // answer the first N connects "busy" (tests)
    uint32_t bfst_refuse_code = 0x02D21900;  // ... with this code (or 0x0DAB673F)
    uint32_t bfst_delay_ms = 0;         // before every BFST answer (tests)
    uint64_t bfst_drop_after_bytes = 0; // drop a BFST connection once it has sent N bytes (tests)
    // Deduplicated stores: chunks kept once in the chunk store. Off, every
    // BFST store is kept as it arrives.
    bool dedup = true;
    uint32_t gc_pause_ms = 0;           // the chunk collector pauses between steps (tests)
    // Check the chunk store and the recipes under the root, report, and exit.
    bool verify_only = false;

    uint64_t corrupt_read = 0;          // damage one byte of the N-th read reply with data, after the check

    // Reads are checked against the stored checksums; off only to measure
    // what the check costs.
    bool verify_reads = true;
};

// Results of appliance_parse_args.
enum : int {
    APPL_ARGS_OK = 0,     // the configuration is complete
    APPL_ARGS_SHOWN = 1,  // help or the version was asked for (text in *msg)
    APPL_ARGS_BAD = -1,   // an error (message in *msg)
};

// Parses the command line (argv[0] is the program): APPL_ARGS_*.
int appliance_parse_args(int argc, char **argv, appliance_config *cfg, std::string *msg);
std::string appliance_usage(const char *prog);

// Reads "name:password[:share,...]" lines (blank lines and lines starting
// with '#' are skipped); a password in the file cannot hold ':'. The file
// must be a regular file (not a symbolic link) owned by the appliance's user
// and closed to group and others. Returns 0 or -1 with a message.
int appliance_load_users(const std::string &path, std::vector<appliance_user> *users, std::string *msg);

// Parses one "name:password" value of --user (the password is all after the
// first ':'), or with with_shares a users-file line whose third field lists
// shares. Returns 0 or -1.
int appliance_parse_user(const std::string &text, appliance_user *user, std::string *msg, bool with_shares = false);

struct appliance;

// Re-reads every chunk of the chunk store under cfg.root and checks it, then
// every recipe and the files that use it; the report goes to *report.
// Returns the number of problems found.
size_t appliance_verify(const appliance_config &cfg, std::string *report);

// Starts the service: opens the store, binds both ports and starts serving.
// Returns 0, or -1 with a clear message in *msg (busy port, missing root ...).
int appliance_start(const appliance_config &cfg, appliance **out, std::string *msg);

// Stops serving, closes every connection and frees the service.
void appliance_stop(appliance *app);

uint16_t appliance_mi_port(const appliance *app);
uint16_t appliance_dm_port(const appliance *app);
uint16_t appliance_bfst_port(const appliance *app);
// The blobs of the BFST service.
struct blob_store *appliance_blob_store(appliance *app);
// The chunks of its deduplicated stores.
struct chunk_store *appliance_chunk_store(appliance *app);
// Bytes the stored files take as the quota counts them.
uint64_t appliance_used_bytes(const appliance *app);
