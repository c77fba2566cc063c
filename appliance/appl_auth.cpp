// Logins, data-mover claims and the per-address count of failed logins (see
// appl_auth.h for the rules).
#include "appliance/appl_auth.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>

namespace {

// then lies more than span before now (a time read a moment later on another
// thread may be ahead of now).
bool older_than(uint64_t now_ms, uint64_t then_ms, uint64_t span_ms)
{
    return now_ms > then_ms && now_ms - then_ms > span_ms;
}

}  // namespace

bool appl_share_allowed(const appl_login &login, const std::string &rel)
{
    if (login.shares.empty())
        return true;
    std::string share = rel.substr(0, rel.find('/'));
    return std::find(login.shares.begin(), login.shares.end(), share) != login.shares.end();
}

void appl_auth_login_add(appl_auth *a, std::shared_ptr<const appl_login> login)
{
    std::lock_guard<std::mutex> lk(a->mu);
    a->logins.push_back(std::move(login));
}

void appl_auth_login_end(appl_auth *a, const appl_login *login)
{
    if (login == nullptr)
        return;
    std::lock_guard<std::mutex> lk(a->mu);
    std::erase_if(a->logins, [&](const auto &l) { return l.get() == login; });
    std::erase_if(a->claims, [&](const appl_auth::claim &c) { return c.login.get() == login; });
}

void appl_auth_dm_claim(appl_auth *a, std::shared_ptr<const appl_login> login, uint64_t now_ms)
{
    std::lock_guard<std::mutex> lk(a->mu);
    for (appl_auth::claim &c : a->claims) {
        if (c.login == login) {
            c.when_ms = now_ms;
            return;
        }
    }
    a->claims.push_back(appl_auth::claim{std::move(login), now_ms});
}

std::shared_ptr<const appl_login> appl_auth_dm_bind(appl_auth *a, uint32_t peer, uint64_t now_ms)
{
    std::lock_guard<std::mutex> lk(a->mu);
    std::erase_if(a->claims,
                  [&](const appl_auth::claim &c) { return older_than(now_ms, c.when_ms, APPL_DM_CLAIM_MS); });
    auto best = a->claims.end();
    for (auto it = a->claims.begin(); it != a->claims.end(); ++it) {
        if (it->login->peer == peer && (best == a->claims.end() || it->when_ms >= best->when_ms))
            best = it;
    }
    if (best == a->claims.end())
        return nullptr;
    auto login = best->login;
    a->claims.erase(best);
    return login;
}

bool appl_auth_current(appl_auth *a, std::shared_ptr<const appl_login> *bound)
{
    if (*bound == nullptr)
        return false;
    std::lock_guard<std::mutex> lk(a->mu);
    const appl_login &b = **bound;
    for (const auto &l : a->logins) {
        if (l == *bound)
            return true;
    }
    for (const auto &l : a->logins) {
        if (l->peer == b.peer && l->user == b.user && l->shares == b.shares) {
            *bound = l;
            return true;
        }
    }
    return false;
}

namespace {

// The address's record with failures that are too old forgotten.
appl_auth::failures *recent_failures(appl_auth *a, uint32_t peer, uint64_t now_ms)
{
    auto it = a->failed.find(peer);
    if (it == a->failed.end())
        return nullptr;
    if (older_than(now_ms, it->second.last_ms, APPL_FAILURE_MEMORY_MS)) {
        a->failed.erase(it);
        return nullptr;
    }
    return &it->second;
}

}  // namespace

uint32_t appl_auth_login_delay(appl_auth *a, uint32_t peer, uint64_t now_ms)
{
    std::lock_guard<std::mutex> lk(a->mu);
    appl_auth::failures *f = recent_failures(a, peer, now_ms);
    if (f == nullptr || f->count <= APPL_FREE_LOGIN_FAILURES)
        return 0;
    uint64_t d = uint64_t(f->count - APPL_FREE_LOGIN_FAILURES) * APPL_FAILURE_DELAY_STEP_MS;
    return uint32_t(std::min<uint64_t>(d, APPL_FAILURE_DELAY_MAX_MS));
}

unsigned appl_auth_login_failed(appl_auth *a, uint32_t peer, uint64_t now_ms)
{
    std::lock_guard<std::mutex> lk(a->mu);
    if (recent_failures(a, peer, now_ms) == nullptr && a->failed.size() >= APPL_MAX_FAILURE_ADDRS) {
        // Many addresses failing at once: forget those that failed longest ago.
        std::erase_if(a->failed, [&](const auto &kv) {
            return older_than(now_ms, kv.second.last_ms, APPL_FAILURE_MEMORY_MS / 4);
        });
        if (a->failed.size() >= APPL_MAX_FAILURE_ADDRS)
            a->failed.erase(a->failed.begin());
    }
    appl_auth::failures &f = a->failed[peer];
    f.count++;
    f.last_ms = now_ms;
    return f.count;
}

uint64_t appl_now_ms()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

std::string appl_addr_text(uint32_t peer)
{
    struct in_addr in {};
    in.s_addr = htonl(peer);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}
