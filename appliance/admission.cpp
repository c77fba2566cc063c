// Admission of connections (see admission.h for the rules).
#include "appliance/admission.h"

namespace {

// Pushes out the oldest waiting connection for which pick is true; lock held.
template <typename Pred>
bool push_out_oldest(adm_table *t, Pred pick)
{
    for (auto it = t->waiting.begin(); it != t->waiting.end(); ++it) {
        if (!pick(**it))
            continue;
        adm_conn &old = **it;
        old.waiting = false;
        old.pushed_out.store(true);
        t->addrs[old.peer].waiting--;
        t->waiting.erase(it);
        return true;
    }
    return false;
}

constexpr size_t ADM_MAX_LOGGED_ADDRS = 4096;

bool idle(const adm_table::addr_state &a) { return a.in == 0 && a.waiting == 0; }

bool logged_lately(const adm_table::addr_state &a, uint64_t now_ms)
{
    for (uint64_t at : a.logged_ms) {
        if (at != 0 && now_ms >= at && now_ms - at < ADM_LOG_EVERY_MS)
            return true;
    }
    return false;
}

bool ever_logged(const adm_table::addr_state &a)
{
    for (uint64_t at : a.logged_ms) {
        if (at != 0)
            return true;
    }
    return false;
}

// Forgets an address with nothing left to count and no line to rate-limit;
// lock held.
void forget_idle(adm_table *t, uint32_t peer)
{
    auto it = t->addrs.find(peer);
    if (it != t->addrs.end() && idle(it->second) && !ever_logged(it->second))
        t->addrs.erase(it);
}

}  // namespace

bool adm_admit(adm_table *t, const std::shared_ptr<adm_conn> &c, bool waiting, adm_note *note)
{
    *note = adm_note{};
    std::lock_guard<std::mutex> lk(t->mu);
    adm_table::addr_state &a = t->addrs[c->peer];
    if (a.in >= t->lim.max_in) {
        note->refused = true;
        note->in = a.in;
        note->waiting = a.waiting;
        return false;
    }
    if (!waiting) {
        a.in++;
    } else {
        while (a.waiting > 0 && a.waiting >= t->lim.max_waiting &&
               push_out_oldest(t, [&](const adm_conn &o) { return o.peer == c->peer; }))
            note->pushed_addr++;
        while (!t->waiting.empty() && t->waiting.size() >= t->lim.max_waiting_total &&
               push_out_oldest(t, [](const adm_conn &) { return true; }))
            note->pushed_other++;
        c->waiting = true;
        a.waiting++;
        t->waiting.push_back(c);
    }
    note->in = a.in;
    note->waiting = a.waiting;
    return true;
}

void adm_logged_in(adm_table *t, adm_conn *c)
{
    std::lock_guard<std::mutex> lk(t->mu);
    if (!c->waiting)
        return;  // pushed out meanwhile; it closes anyway
    c->waiting = false;
    for (auto it = t->waiting.begin(); it != t->waiting.end(); ++it) {
        if (it->get() == c) {
            t->waiting.erase(it);
            break;
        }
    }
    adm_table::addr_state &a = t->addrs[c->peer];
    a.waiting--;
    a.in++;
}

void adm_leave(adm_table *t, adm_conn *c)
{
    std::lock_guard<std::mutex> lk(t->mu);
    auto it = t->addrs.find(c->peer);
    if (it == t->addrs.end())
        return;
    if (c->waiting) {
        c->waiting = false;
        it->second.waiting--;
        for (auto w = t->waiting.begin(); w != t->waiting.end(); ++w) {
            if (w->get() == c) {
                t->waiting.erase(w);
                break;
            }
        }
    } else if (!c->pushed_out.load()) {
        it->second.in--;
    }
    forget_idle(t, c->peer);
}

bool adm_may_log(adm_table *t, uint32_t peer, adm_log_kind kind, uint64_t now_ms, unsigned *quiet)
{
    std::lock_guard<std::mutex> lk(t->mu);
    if (t->addrs.size() > ADM_MAX_LOGGED_ADDRS) {
        std::erase_if(t->addrs, [&](const auto &kv) { return idle(kv.second) && !logged_lately(kv.second, now_ms); });
    }
    adm_table::addr_state &a = t->addrs[peer];
    uint64_t &at = a.logged_ms[kind];
    if (at != 0 && now_ms >= at && now_ms - at < ADM_LOG_EVERY_MS) {
        a.quiet[kind]++;
        return false;
    }
    *quiet = a.quiet[kind];
    a.quiet[kind] = 0;
    at = now_ms == 0 ? 1 : now_ms;
    return true;
}
