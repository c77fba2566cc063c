// The appliance's settings: its switches and usage text, the configuration
// file read through the same switch parser, and the users file.
#include "appliance/appliance.h"

#include "appliance/appl_conf.h"
#include "appliance/service.h"
#include "datamover/util.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

// ---------------------------------------------------------------- command line

std::string appliance_usage(const char *prog)
{
    std::string p = prog != nullptr ? prog : "kestralon-appliance";
    p = p.substr(p.rfind('/') + 1);
    return "Usage: " + p + " --root DIR (--user NAME:PASSWORD | --users-file FILE) [options]\n"
        "  or:  " + p + " --config FILE [options]\n"
        "\n"
        "A disk backup appliance for one machine: control protocol (MI) on TCP port\n"
        "10002 of the listen address, data mover (DM) on a port of its own, and the\n"
        "transfer library's BFST service on TCP port 1062.\n"
        "\n"
        "  --config FILE           read settings from FILE: KEY = VALUE lines whose keys are\n"
        "                          the switches below without dashes; switches given here win\n"
        "  --root DIR              directory holding the backup files (must exist)\n"
        "  --user NAME:PASSWORD    a user who may log in (repeatable)\n"
        "  --users-file FILE       users, one NAME:PASSWORD[:SHARE,...] per line (with\n"
        "                          shares, the user reaches only those); '#' starts a\n"
        "                          comment line; the file must be owned by the appliance's\n"
        "                          user, closed to group and others, and not a symbolic link\n"
        "  --listen ADDR           IPv4 address to listen on (default 127.0.0.1)\n"
        "  --mi-port N             control port (default 10002; 0 picks a free one)\n"
        "  --dm-port N             data-mover port (default 0: a free one, reported to clients)\n"
        "  --log-level LEVEL       error, warning, notice, info (default), debug, trace or 3..8\n"
        "  --log-file FILE         append the log to FILE (default standard error)\n"
        "  --quota BYTES           space the backup files may take (K, M, G, T suffixes; 0 = none)\n"
        "  --login-timeout S       close control connections that have not logged in\n"
        "                          within S seconds (default 10)\n"
        "  --max-conns-per-addr N  logged-in connections one client address may hold\n"
        "                          (default 256); further ones are refused\n"
        "  --max-pending-per-addr N\n"
        "                          connections one address may hold waiting to log in\n"
        "                          (default 16); a newer one closes the oldest\n"
        "  --bfst-port N           BFST port (default 1062; 0 picks a free one, as does --mi-port 0)\n"
        "  --tls-dir DIR           cacert.pem, cert.pem, key.pem and optionally crl.pem: TLS with\n"
        "                          certificates (clients must present one the CA signed) on the\n"
        "                          BFST service and, for an RSA certificate, on control and data mover\n"
        "  --tls-required          control and data-mover clients must use TLS (connections\n"
        "                          from 127.0.0.1 itself stay in clear); needs --tls-dir\n"
        "  --bfst-idle-timeout S   close a BFST connection quiet for S seconds (default 3600)\n"
        "  --no-dedup              keep BFST backups as they arrive, without deduplication\n"
        "                          (files deduplicated before stay readable)\n"
        "  --verify                check every chunk and recipe under --root, report what is\n"
        "                          damaged and exit (1 when something is); no users needed\n"
        "  --help                  this text\n"
        "  --version               the version\n"
        "\n"
        "Settings reported to clients (for tests):\n"
        "  --protocol-version N    server version reported (default 0x70000)\n"
        "  --pref-bsz N            largest data-mover request, 262144 to 4194304 (default 1048576)\n"
        "  --pref-reserve-mb N     write-reservation step in MiB (default 0)\n"
        "  --file-flags N          flags returned with every opened file (default 0)\n"
        "\n"
        "Failure injection (for tests):\n"
        "  --delay-ms N            wait N ms before every reply\n"
        "  --drop-after-msgs N     drop a connection when it sends its N-th request\n"
        "  --drop-after-bytes N    drop a connection once it has sent N payload bytes\n"
        "  --fault-on mi|dm|all    connections the two drop switches apply to (default all)\n"
        "  --wrong-msgno N         answer control message number N with another number\n"
        "  --refuse-admin-alerts   answer admin alerts with \"alerts disabled\"\n"
        "  --bfst-refuse-connects N  answer the first N BFST connects \"maximum client connections\"\n"
        "  --bfst-refuse-code C    code of those answers: server (0x02D21900, default) or\n"
        "                          vserver (0x0DAB673F)\n"
        "  --bfst-delay-ms N       wait N ms before every BFST answer\n"
        "  --bfst-drop-after-bytes N  drop a BFST connection once it has sent N bytes\n"
        "  --gc-pause-ms N         the chunk collector pauses N ms between its steps\n"
        "  --corrupt-read N        damage one byte of the N-th data-mover read reply that carries\n"
        "                          data, after the checksum check (a fault on the wire)\n";
}

namespace {

bool parse_u64(const std::string &s, uint64_t max, uint64_t *out, bool suffixes = false)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str())
        return false;
    if (suffixes && *end != '\0' && end[1] == '\0') {
        unsigned shift = 0;
        switch (*end) {
        case 'k': case 'K': shift = 10; break;
        case 'm': case 'M': shift = 20; break;
        case 'g': case 'G': shift = 30; break;
        case 't': case 'T': shift = 40; break;
        default: return false;
        }
        if (v > (ULLONG_MAX >> shift))
            return false;
        v <<= shift;
        ++end;
    }
    if (*end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

}  // namespace

namespace {

// A share name as a user list gives it: one component of a stored name.
bool share_name_ok(const std::string &share)
{
    return !share.empty() && share.size() <= STORE_MAX_COMPONENT && share[0] != '.' &&
           share.find_first_of("/\\: \t\r\n") == std::string::npos && share.find('\0') == std::string::npos;
}

int parse_shares(const std::string &text, std::vector<std::string> *shares, std::string *msg)
{
    size_t pos = 0;
    for (;;) {
        size_t comma = text.find(',', pos);
        std::string share = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        size_t b = share.find_first_not_of(' ');
        size_t e = share.find_last_not_of(' ');
        share = b == std::string::npos ? std::string() : share.substr(b, e - b + 1);
        if (!share_name_ok(share)) {
            *msg = share.empty() ? "an empty share name in the share list"
                                 : "share name '" + share.substr(0, 64) + "' is not valid";
            return -1;
        }
        shares->push_back(share);
        if (comma == std::string::npos)
            return 0;
        pos = comma + 1;
    }
}

}  // namespace

int appliance_parse_user(const std::string &text, appliance_user *user, std::string *msg, bool with_shares)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) {
        *msg = with_shares ? "a user is given as NAME:PASSWORD[:SHARE,...]" : "a user is given as NAME:PASSWORD";
        return -1;
    }
    std::string name = text.substr(0, colon);
    if (name.size() > 255 || name.find_first_of(" \t\r\n") != std::string::npos) {
        *msg = "user name '" + name.substr(0, 64) + "' is not valid";
        return -1;
    }
    size_t end = with_shares ? text.find(':', colon + 1) : std::string::npos;
    std::vector<std::string> shares;
    if (end != std::string::npos && parse_shares(text.substr(end + 1), &shares, msg) != 0)
        return -1;
    user->name = name;
    user->password = text.substr(colon + 1, end == std::string::npos ? std::string::npos : end - colon - 1);
    user->shares = std::move(shares);
    return 0;
}

int appliance_load_users(const std::string &path, std::vector<appliance_user> *users, std::string *msg)
{
    // Not through a symbolic link: whoever may replace the link would choose
    // the passwords.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        int e = errno;
        struct stat lsb;
        if (e == ELOOP && lstat(path.c_str(), &lsb) == 0 && S_ISLNK(lsb.st_mode))
            *msg = "users file " + path + " is a symbolic link; name the file itself";
        else
            *msg = "users file " + path + ": " + strerror(e);
        return -1;
    }
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        close(fd);
        *msg = "users file " + path + " is not a regular file";
        return -1;
    }
    if (sb.st_uid != geteuid()) {
        close(fd);
        char text[512];
        snprintf(text, sizeof text,
                 "users file %s is owned by uid %u, not by the appliance's user (uid %u); "
                 "make it the appliance's own with: chown %u %s",
                 path.c_str(), unsigned(sb.st_uid), unsigned(geteuid()), unsigned(geteuid()), path.c_str());
        *msg = text;
        return -1;
    }
    if ((sb.st_mode & 077) != 0) {
        close(fd);
        char text[512];
        snprintf(text, sizeof text,
                 "users file %s holds passwords but is accessible by group or others (mode %04o); "
                 "restrict it with: chmod 600 %s",
                 path.c_str(), unsigned(sb.st_mode & 07777), path.c_str());
        *msg = text;
        return -1;
    }
    if (sb.st_size > 1 << 20) {
        close(fd);
        *msg = "users file " + path + " is too large";
        return -1;
    }
    std::string data(size_t(sb.st_size), '\0');
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = read(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close(fd);
    data.resize(done);
    size_t pos = 0;
    int lineno = 0;
    std::string line;
    while (appl_next_line(data, &pos, &line)) {
        ++lineno;
        if (line.empty() || line[0] == '#')
            continue;
        appliance_user u;
        std::string err;
        if (appliance_parse_user(line, &u, &err, true) != 0) {
            // never echo the line: it may hold a password
            *msg = "users file " + path + ", line " + std::to_string(lineno) + ": " + err;
            return -1;
        }
        users->push_back(std::move(u));
    }
    return 0;
}

namespace {

// What one pass over a list of switches gathers besides the configuration.
struct switch_pass {
    const char *prog = nullptr;
    bool from_file = false;  // entries of the configuration file, as "--key=value"
    int at = 0;              // index of the switch in hand (names the file line on an error)
    std::vector<std::string> names;
    std::vector<std::string> user_files;
    std::vector<std::string> config_files;
};

// One pass over argv[1..argc-1]: APPL_ARGS_OK, APPL_ARGS_SHOWN for --help or
// --version (text in *msg) or APPL_ARGS_BAD with a message.
int parse_switches(int argc, char **argv, appliance_config *cfg, switch_pass *ps, std::string *msg)
{
    const char *prog = ps->prog;
    std::vector<std::string> &user_files = ps->user_files;
    for (int i = 1; i < argc; ++i) {
        ps->at = i;
        std::string arg = argv[i];
        std::string val;
        bool has_val = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            val = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_val = true;
        }
        ps->names.push_back(arg);
        if (ps->from_file && arg == "--user") {
            // never echo the value: it holds a password
            *msg = "passwords do not belong in the configuration file; name a users file instead "
                   "(users-file = FILE, readable by the appliance's user only)";
            return APPL_ARGS_BAD;
        }
        if (ps->from_file && (arg == "--help" || arg == "--version" || arg == "--config")) {
            *msg = "'" + arg.substr(2) + "' is not a setting";
            return APPL_ARGS_BAD;
        }
        auto need = [&](std::string *v) -> bool {
            if (has_val) {
                *v = val;
                return true;
            }
            if (i + 1 >= argc) {
                *msg = "option " + arg + " needs a value";
                return false;
            }
            *v = argv[++i];
            return true;
        };
        auto number = [&](uint64_t max, uint64_t *out, bool suffixes = false) -> bool {
            std::string v;
            if (!need(&v))
                return false;
            if (!parse_u64(v, max, out, suffixes)) {
                *msg = "option " + arg + ": '" + v + "' is not a valid number";
                return false;
            }
            return true;
        };
        // A switch without a value is on; in the file it reads "key = yes" or "key = no".
        auto flag = [&](bool *out) -> bool {
            if (!has_val || val == "yes" || val == "true" || val == "on" || val == "1")
                *out = true;
            else if (val == "no" || val == "false" || val == "off" || val == "0")
                *out = false;
            else {
                *msg = "option " + arg + " takes no value, or yes or no";
                return false;
            }
            return true;
        };
        uint64_t n = 0;
        std::string v;
        if (arg == "--help" || arg == "-h") {
            *msg = appliance_usage(prog);
            return APPL_ARGS_SHOWN;
        } else if (arg == "--version") {
            *msg = std::string("kestralon-appliance ") + KES_VERSION + "\n";
            return APPL_ARGS_SHOWN;
        } else if (arg == "--config") {
            if (!need(&v))
                return APPL_ARGS_BAD;
            ps->config_files.push_back(v);
        } else if (arg == "--root") {
            if (!need(&cfg->root))
                return APPL_ARGS_BAD;
        } else if (arg == "--listen") {
            if (!need(&cfg->listen_addr))
                return APPL_ARGS_BAD;
        } else if (arg == "--mi-port") {
            if (!number(65535, &n))
                return APPL_ARGS_BAD;
            cfg->mi_port = uint16_t(n);
        } else if (arg == "--dm-port") {
            if (!number(65535, &n))
                return APPL_ARGS_BAD;
            cfg->dm_port = uint16_t(n);
        } else if (arg == "--user") {
            appliance_user u;
            if (!need(&v))
                return APPL_ARGS_BAD;
            if (appliance_parse_user(v, &u, msg) != 0)
                return APPL_ARGS_BAD;
            cfg->users.push_back(std::move(u));
        } else if (arg == "--users-file") {
            if (!need(&v))
                return APPL_ARGS_BAD;
            user_files.push_back(v);
        } else if (arg == "--log-level") {
            if (!need(&v))
                return APPL_ARGS_BAD;
            int lvl = appl_log_parse_level(v.c_str());
            if (lvl < 0) {
                *msg = "unknown log level '" + v + "'";
                return APPL_ARGS_BAD;
            }
            cfg->log_level = lvl;
        } else if (arg == "--log-file") {
            if (!need(&cfg->log_file))
                return APPL_ARGS_BAD;
        } else if (arg == "--quota") {
            if (!number(UINT64_MAX, &cfg->quota, true))
                return APPL_ARGS_BAD;
        } else if (arg == "--login-timeout") {
            if (!number(3600, &n))
                return APPL_ARGS_BAD;
            if (n == 0) {
                *msg = "option --login-timeout: give at least 1 second";
                return APPL_ARGS_BAD;
            }
            cfg->login_timeout_s = uint32_t(n);
        } else if (arg == "--max-conns-per-addr" || arg == "--max-pending-per-addr") {
            if (!number(100000, &n))
                return APPL_ARGS_BAD;
            if (n == 0) {
                *msg = "option " + arg + ": give at least 1";
                return APPL_ARGS_BAD;
            }
            (arg == "--max-conns-per-addr" ? cfg->max_conns_per_addr : cfg->max_pending_per_addr) = uint32_t(n);
        } else if (arg == "--protocol-version") {
            if (!number(UINT32_MAX, &n))
                return APPL_ARGS_BAD;
            cfg->version = uint32_t(n);
        } else if (arg == "--pref-bsz") {
            if (!number(UINT32_MAX, &n))
                return APPL_ARGS_BAD;
            cfg->pref_bsz = uint32_t(n);
        } else if (arg == "--pref-reserve-mb") {
            if (!number(65535, &n))
                return APPL_ARGS_BAD;
            cfg->pref_reserve_mb = uint16_t(n);
        } else if (arg == "--file-flags") {
            if (!number(UINT32_MAX, &n))
                return APPL_ARGS_BAD;
            cfg->file_flags = uint32_t(n);
        } else if (arg == "--delay-ms") {
            if (!number(600000, &n))
                return APPL_ARGS_BAD;
            cfg->delay_ms = uint32_t(n);
        } else if (arg == "--drop-after-msgs") {
            if (!number(UINT64_MAX, &cfg->drop_after_msgs))
                return APPL_ARGS_BAD;
        } else if (arg == "--drop-after-bytes") {
            if (!number(UINT64_MAX, &cfg->drop_after_bytes, true))
                return APPL_ARGS_BAD;
        } else if (arg == "--fault-on") {
            if (!need(&v))
                return APPL_ARGS_BAD;
            if (v == "mi")
                cfg->fault_conns = APPL_FAULT_MI;
            else if (v == "dm")
                cfg->fault_conns = APPL_FAULT_DM;
            else if (v == "all")
                cfg->fault_conns = APPL_FAULT_MI | APPL_FAULT_DM;
            else {
                *msg = "option --fault-on takes mi, dm or all";
                return APPL_ARGS_BAD;
            }
        } else if (arg == "--wrong-msgno") {
            if (!number(UINT32_MAX, &n))
                return APPL_ARGS_BAD;
            cfg->wrong_msgno = uint32_t(n);
        } else if (arg == "--corrupt-read") {
            if (!number(UINT64_MAX, &cfg->corrupt_read))
                return APPL_ARGS_BAD;
        } else if (arg == "--refuse-admin-alerts") {
            if (!flag(&cfg->refuse_admin_alerts))
                return APPL_ARGS_BAD;
        } else if (arg == "--bfst-port") {
            if (!number(65535, &n))
                return APPL_ARGS_BAD;
            cfg->bfst_port = int(n);
        } else if (arg == "--tls-dir") {
            if (!need(&cfg->tls_dir))
                return APPL_ARGS_BAD;
        } else if (arg == "--tls-required") {
            if (!flag(&cfg->tls_required))
                return APPL_ARGS_BAD;
        } else if (arg == "--bfst-idle-timeout") {
            if (!number(86400, &n))
                return APPL_ARGS_BAD;
            if (n == 0) {
                *msg = "option --bfst-idle-timeout needs at least 1 second";
                return APPL_ARGS_BAD;
            }
            cfg->bfst_idle_timeout_s = uint32_t(n);
        } else if (arg == "--bfst-refuse-connects") {
            if (!number(UINT32_MAX, &n))
                return APPL_ARGS_BAD;
            cfg->bfst_refuse_connects = uint32_t(n);
        } else if (arg == "--bfst-refuse-code") {
            if (!need(&v))
                return APPL_ARGS_BAD;
            if (v == "server" || v == "0x02D21900" || v == "0x02d21900")
                cfg->bfst_refuse_code = 0x02D21900;
            else if (v == "vserver" || v == "0x0DAB673F" || v == "0x0dab673f")
                cfg->bfst_refuse_code = 0x0DAB673F;
            else {
                *msg = "option --bfst-refuse-code takes server or vserver";
                return APPL_ARGS_BAD;
            }
        } else if (arg == "--bfst-delay-ms") {
            if (!number(600000, &n))
                return APPL_ARGS_BAD;
            cfg->bfst_delay_ms = uint32_t(n);
        } else if (arg == "--bfst-drop-after-bytes") {
            if (!number(UINT64_MAX, &cfg->bfst_drop_after_bytes, true))
                return APPL_ARGS_BAD;
        } else if (arg == "--no-dedup") {
            bool off = false;
            if (!flag(&off))
                return APPL_ARGS_BAD;
            cfg->dedup = !off;
        } else if (arg == "--gc-pause-ms") {
            if (!number(600000, &n))
                return APPL_ARGS_BAD;
            cfg->gc_pause_ms = uint32_t(n);
        } else if (arg == "--verify") {
            if (!flag(&cfg->verify_only))
                return APPL_ARGS_BAD;
        } else {
            *msg = ps->from_file ? "unknown key '" + arg.substr(2) + "' (the keys are the switches of --help)"
                                 : "unknown option '" + arg + "' (see --help)";
            return APPL_ARGS_BAD;
        }
    }
    return APPL_ARGS_OK;
}

// Reads the configuration file and applies its entries, except those whose
// key the command line gives: a switch on the command line replaces every
// line of its key.
int apply_config_file(const std::string &path, const std::vector<std::string> &cmd_names, appliance_config *cfg,
                      switch_pass *ps, std::string *msg)
{
    std::vector<appl_conf_entry> entries;
    if (appl_conf_read(path, &entries, msg) != 0)
        return -1;
    std::vector<std::string> args{"config"};
    std::vector<int> lines{0};
    for (const appl_conf_entry &e : entries) {
        std::string name = "--" + e.key;
        if (name != "--config" && std::find(cmd_names.begin(), cmd_names.end(), name) != cmd_names.end())
            continue;
        args.push_back(name + "=" + e.value);
        lines.push_back(e.line);
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    ps->from_file = true;
    if (parse_switches(int(argv.size()), argv.data(), cfg, ps, msg) != 0) {
        *msg = path + ", line " + std::to_string(lines[size_t(ps->at)]) + ": " + *msg;
        return -1;
    }
    return 0;
}

}  // namespace

int appliance_parse_args(int argc, char **argv, appliance_config *cfg, std::string *msg)
{
    // The command line is read twice: first for the configuration file and
    // the switches it overrides, then, after the file, to win over it.
    switch_pass cmd;
    cmd.prog = argc > 0 ? argv[0] : nullptr;
    appliance_config scratch = *cfg;
    int rc = parse_switches(argc, argv, &scratch, &cmd, msg);
    if (rc != APPL_ARGS_OK)
        return rc;
    if (cmd.config_files.size() > 1) {
        *msg = "option --config may be given once";
        return APPL_ARGS_BAD;
    }
    switch_pass file;
    if (!cmd.config_files.empty() && apply_config_file(cmd.config_files[0], cmd.names, cfg, &file, msg) != 0)
        return APPL_ARGS_BAD;
    switch_pass last;
    last.prog = cmd.prog;
    if (parse_switches(argc, argv, cfg, &last, msg) != APPL_ARGS_OK)
        return APPL_ARGS_BAD;
    std::vector<std::string> user_files = file.user_files;
    user_files.insert(user_files.end(), last.user_files.begin(), last.user_files.end());
    for (const std::string &f : user_files) {
        if (appliance_load_users(f, &cfg->users, msg) != 0)
            return APPL_ARGS_BAD;
    }
    if (cfg->root.empty()) {
        *msg = "no storage root given (--root DIR)";
        return APPL_ARGS_BAD;
    }
    if (cfg->users.empty() && !cfg->verify_only) {
        *msg = "no users given (--user NAME:PASSWORD or --users-file FILE)";
        return APPL_ARGS_BAD;
    }
    return APPL_ARGS_OK;
}
