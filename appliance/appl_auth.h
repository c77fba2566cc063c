// Who is logged in to the appliance, and what a data-mover connection may do.
//
// A control (MI) session that authenticates becomes a login: its user, the
// address it came from and the shares the user may reach. The data-mover
// protocol carries no credential, so each data-mover connection borrows the
// rights of exactly one login:
//
//   - MI_DM_PORT from a logged-in session leaves a claim (one per session,
//     renewed by every MI_DM_PORT);
//   - a data-mover connection that arrives from address A takes the most
//     recent claim from A that is at most APPL_DM_CLAIM_MS old and not yet
//     taken; it then acts as that login's user. Without such a claim the
//     connection is refused at once.
//   - when that login ends while the connection is still open (several
//     channels of one client may take each other's claims), the connection
//     keeps working only while another login of the same user, address and
//     shares is alive.
//
// Residual limits: the rule cannot tell apart clients behind one address. A
// local OS user who cannot log in, but connects to the data-mover port in the
// moment between another user's MI_DM_PORT and that user's own connect, gets
// that user's rights on the data mover (the victim's connect is then
// refused, which makes the theft visible). Piece data is reached on the data
// mover only through an unguessable 64-bit handle that MI issued to the same
// user, so such a connection reads and writes no piece data; it can delete
// pieces and read or change their attributes by name within the victim's
// shares. Give each client machine its own address, and do not let untrusted
// users log in to a machine whose clients use the appliance.
//
// Failed logins are counted per address, a success does not reset the count
// (it may be someone else's at the same address), and the count is forgotten
// once APPL_FAILURE_MEMORY_MS pass without a failure. Past
// APPL_FREE_LOGIN_FAILURES, every attempt from the address is answered only
// after a delay that grows with each failure.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

constexpr uint64_t APPL_DM_CLAIM_MS = 30000;
constexpr unsigned APPL_FREE_LOGIN_FAILURES = 5;
constexpr uint64_t APPL_FAILURE_MEMORY_MS = 60000;
constexpr uint32_t APPL_FAILURE_DELAY_STEP_MS = 1000;
constexpr uint32_t APPL_FAILURE_DELAY_MAX_MS = 5000;
constexpr size_t APPL_MAX_FAILURE_ADDRS = 4096;

// One logged-in control session. Immutable once made.
struct appl_login {
    uint64_t session = 0;
    uint32_t peer = 0;                // IPv4 address of the control connection, host order
    std::string user;
    std::vector<std::string> shares;  // empty: every share
};

// True when the login's user may reach rel ("<share>/<name>").
bool appl_share_allowed(const appl_login &login, const std::string &rel);

struct appl_auth {
    struct claim {
        std::shared_ptr<const appl_login> login;
        uint64_t when_ms = 0;
    };
    struct failures {
        unsigned count = 0;
        uint64_t last_ms = 0;
    };
    std::mutex mu;
    std::vector<std::shared_ptr<const appl_login>> logins;  // live logins
    std::vector<claim> claims;                              // not yet taken
    std::unordered_map<uint32_t, failures> failed;          // by address
};

// A login begins or ends (its claim goes with it).
void appl_auth_login_add(appl_auth *a, std::shared_ptr<const appl_login> login);
void appl_auth_login_end(appl_auth *a, const appl_login *login);

// MI_DM_PORT of a logged-in session at now_ms.
void appl_auth_dm_claim(appl_auth *a, std::shared_ptr<const appl_login> login, uint64_t now_ms);
// A data-mover connection from peer at now_ms takes a claim: the login whose
// rights it gets, or null.
std::shared_ptr<const appl_login> appl_auth_dm_bind(appl_auth *a, uint32_t peer, uint64_t now_ms);
// Whether the rights of *bound still hold; when its login ended, *bound moves
// to a live login of the same user, address and shares, if there is one.
bool appl_auth_current(appl_auth *a, std::shared_ptr<const appl_login> *bound);

// Milliseconds an authentication attempt from peer waits before it is
// checked (0 while the address has few recent failures).
uint32_t appl_auth_login_delay(appl_auth *a, uint32_t peer, uint64_t now_ms);
// Records a failed attempt; returns the address's count of recent failures.
unsigned appl_auth_login_failed(appl_auth *a, uint32_t peer, uint64_t now_ms);

// Monotonic milliseconds.
uint64_t appl_now_ms();
// Dotted text of an IPv4 address in host order.
std::string appl_addr_text(uint32_t peer);
