// Admission of connections to the appliance's services: limits per client
// address, and room for real clients while floods of idle connections are
// held open.
//
// A control connection is "waiting" from its accept until its session logs
// in; logged-in control connections and data-mover connections (which are
// tied to a login when they arrive) are "in". Per client address:
//   - a new connection is refused while max_in of its connections are in;
//   - at most max_waiting wait: a newcomer pushes the oldest waiting one of
//     its address out. A real client logs in within milliseconds of its
//     connect, so it gets in however many idle connections a flood opens;
// and all addresses together keep at most max_waiting_total waiting, the
// oldest going first. A waiting connection that has not logged in by the
// login deadline is closed by its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

struct adm_conn {
    uint32_t peer = 0;                     // IPv4 address, host order
    uint64_t since_ms = 0;                 // accepted at
    bool waiting = false;                  // guarded by the table's lock
    std::atomic<bool> pushed_out{false};   // the table wants it closed
};

struct adm_limits {
    unsigned max_in = 256;
    unsigned max_waiting = 16;
    unsigned max_waiting_total = 256;
};

// Kinds of lines about an address, each rate-limited on its own.
enum adm_log_kind : unsigned {
    ADM_LOG_REFUSED,    // a connection refused
    ADM_LOG_PUSHED,     // waiting connections pushed out
    ADM_LOG_DEADLINE,   // closed at the login deadline
    ADM_LOG_KINDS,
};

struct adm_table {
    struct addr_state {
        unsigned in = 0;
        unsigned waiting = 0;
        uint64_t logged_ms[ADM_LOG_KINDS] = {};  // last line of each kind
        unsigned quiet[ADM_LOG_KINDS] = {};      // lines held back since
    };
    std::mutex mu;
    adm_limits lim;
    std::unordered_map<uint32_t, addr_state> addrs;
    std::list<std::shared_ptr<adm_conn>> waiting;  // oldest first
};

// What an admission did, for the log.
struct adm_note {
    bool refused = false;       // the address has max_in in
    unsigned pushed_addr = 0;   // waiting connections of the same address pushed out
    unsigned pushed_other = 0;  // pushed out to keep the total (any address)
    unsigned in = 0;            // the address's connections in, after
    unsigned waiting = 0;       // the address's waiting connections, after
};

// Registers a connection, waiting or in. False (note->refused) when the
// address has max_in connections in already; the connection is then not
// registered. Connections pushed out get pushed_out set.
bool adm_admit(adm_table *t, const std::shared_ptr<adm_conn> &c, bool waiting, adm_note *note);
// A waiting connection logged in: it is in from now on.
void adm_logged_in(adm_table *t, adm_conn *c);
// The connection closed.
void adm_leave(adm_table *t, adm_conn *c);

// Rate limit of the lines about one address: true when a line of that kind
// may be written now (at most one per ADM_LOG_EVERY_MS), with *quiet the
// number of such lines held back since the last one.
constexpr uint64_t ADM_LOG_EVERY_MS = 5000;
bool adm_may_log(adm_table *t, uint32_t peer, adm_log_kind kind, uint64_t now_ms, unsigned *quiet);
