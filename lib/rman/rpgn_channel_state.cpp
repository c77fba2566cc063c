#include "lib/rman/rpgn_channel_state.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "datamover/util.h"

namespace {

// Frees a copy that may hold a secret: its bytes are gone before the memory is.
void free_wiped(char *s)
{
    if (s == nullptr)
        return;
    explicit_bzero(s, strlen(s));
    free(s);
}

}  // namespace

rpgn_channel_state *rpgn_state(rpgn_channel *ch)
{
    if (ch->state == nullptr)
        ch->state = new (std::nothrow) rpgn_channel_state();
    return ch->state;
}

void rpgn_state_free(rpgn_channel *ch)
{
    rpgn_channel_state *st = ch->state;
    if (st == nullptr)
        return;
    for (auto &p : st->params) {
        free_wiped(p.name);
        free_wiped(p.value);
    }
    for (char *v : st->env_values)
        free_wiped(v);
    rpgn_free_info(st->info_list);
    delete st;
    ch->state = nullptr;
}

int rpgn_param_add(rpgn_channel *ch, const char *name, const char *value)
{
    rpgn_channel_state *st = rpgn_state(ch);
    if (st == nullptr)
        return -1;
    rpgn_channel_state::param p = {strdup(name), strdup(value)};
    if (p.name == nullptr || p.value == nullptr) {
        free_wiped(p.name);
        free_wiped(p.value);
        return -1;
    }
    try {
        st->params.push_back(p);
    } catch (...) {
        free_wiped(p.name);
        free_wiped(p.value);
        return -1;
    }
    return 0;
}

const char *rpgn_param(rpgn_channel *ch, const char *name)
{
    rpgn_channel_state *st = rpgn_state(ch);
    if (st == nullptr)
        return nullptr;
    for (auto it = st->params.rbegin(); it != st->params.rend(); ++it)
        if (strcmp(it->name, name) == 0)
            return it->value;
    // Not among the channel's parameters: the process environment, copied,
    // so that a later change of the environment cannot pull it away.
    char *copy = nullptr;
    {
        std::lock_guard<std::mutex> g(util_env_lock());
        const char *v = getenv(name);
        if (v == nullptr)
            return nullptr;
        copy = strdup(v);
    }
    if (copy == nullptr)
        return nullptr;
    try {
        st->env_values.push_back(copy);
    } catch (...) {
        free_wiped(copy);
        return nullptr;
    }
    return copy;
}

void rpgn_free_info(sbt_item *list)
{
    if (list == nullptr)
        return;
    for (sbt_item *it = list; it->type != SBT_LIST_END; it++)
        free(it->value);
    free(list);
}

void rpgn_set_info_list(rpgn_channel *ch, sbt_item *list)
{
    rpgn_channel_state *st = ch->state;
    if (st == nullptr) {
        rpgn_free_info(list);
        return;
    }
    rpgn_free_info(st->info_list);
    st->info_list = list;
}

void rpgn_forget_credentials(rpgn_channel *ch)
{
    explicit_bzero(&ch->cred, sizeof ch->cred);
    ch->backup_host = nullptr;
    ch->backup_share = nullptr;
    ch->backup_username = nullptr;
    ch->backup_password = nullptr;
    ch->backup_credid = nullptr;
}
