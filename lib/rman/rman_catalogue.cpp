// sbtremove2 and sbtinfo2: backup files removed by name, and the list of
// what each file's backup_info says.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

#include "datamover/util.h"
#include "lib/common/log.h"
#include "lib/rman/rman_session.h"
#include "lib/rman/rman_session_int.h"
#include "lib/rman/rpgn_channel_state.h"

namespace {

void *dup_value(const void *src, size_t n)
{
    void *p = malloc(n);
    if (p != nullptr)
        memcpy(p, src, n);
    return p;
}

// How the list dump shows the value of each item type RMAN knows.
enum class shown { type_only, text, u32, i64 };

constexpr struct {
    uint32_t type;
    shown how;
} kShownAs[] = {
    {SBT_INFO_FILE, shown::text}, {SBT_INFO_ONE, shown::u32},       {SBT_INFO_CREATED, shown::i64},
    {4, shown::i64},              {SBT_INFO_LABEL, shown::text},    {SBT_INFO_TWO, shown::u32},
    {7, shown::u32},              {SBT_INFO_NOT_FOUND, shown::type_only}, {9, shown::text},
    {10, shown::u32},             {SBT_LIST_END, shown::type_only},
};

shown shown_as(uint32_t type)
{
    for (const auto &k : kShownAs)
        if (k.type == type)
            return k.how;
    return shown::u32;
}

void dump_info(const sbt_item *list)
{
    const char *fn = "rman_pgn_sbtinfo2";
    if (list == nullptr) {
        RLOG_T(LOG_LVL_TRACE1, "%s: backup_file_info = NULL\n", fn);
        return;
    }
    for (const sbt_item *it = list;; it++) {
        unsigned long type = it->type;
        const shown how = shown_as(it->type);
        if (how == shown::type_only) {
            RLOG_T(LOG_LVL_TRACE, "%s: sbtbfinfo_type = %lu\n", fn, type);
        } else if (it->value == nullptr) {
            RLOG_T(LOG_LVL_TRACE, "%s: type = %lu value = NULL\n", fn, type);
        } else if (how == shown::text) {
            RLOG_T(LOG_LVL_TRACE, "%s: type = %lu value = %s\n", fn, type, static_cast<const char *>(it->value));
        } else if (how == shown::i64) {
            RLOG_T(LOG_LVL_TRACE, "%s: type = %lu value = %ld\n", fn, type,
                   static_cast<long>(*static_cast<const int64_t *>(it->value)));
        } else {
            RLOG_T(LOG_LVL_TRACE, "%s: type = %lu value = %#lx\n", fn, type,
                   static_cast<unsigned long>(*static_cast<const uint32_t *>(it->value)));
        }
        if (it->type == SBT_LIST_END)
            break;
    }
}

}  // namespace

// ---------------------------------------------------------------- catalogue

int rpgn_remove(rpgn_channel *ch, unsigned long flags, char **files)
{
    static const char *const name = "rman_pgn_sbtremove2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: file %s, flags %#lx\n", name,
           (files != nullptr && files[0] != nullptr) ? files[0] : "(null)", flags);
    ch->error_code = 0;
    if (!(ch->flags & RPGN_F_INIT2))
        return rpgn_refuse(ch, name, "sbtremove2: sbtinit2 never called");
    if (ch->dm_file != nullptr)
        return rpgn_refuse(ch, name, "sbtremove2: file is open");
    if (!(ch->flags & RPGN_F_SESSION))
        return rpgn_refuse(ch, name, "sbtremove2: session to server is not established in sbtinit2(): %s",
                      rpgn_missing_item(ch));
    for (char **f = files; f != nullptr && *f != nullptr; f++) {
        char sname[RPGN_APPL_NAME_MAX];
        if (rpgn_share_name(sname, ch, *f) >= static_cast<int>(RPGN_APPL_NAME_MAX)) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtremove2: backup file name is too long: %.10s...", *f);
            return rpgn_exit(ch, name, -1);
        }
        int rc = dm_file_delete(rpgn_dm(ch), sname);
        if (rc == 0)
            continue;
        if (rc == DM_STS_NOFILE) {
            RLOG(LOG_LVL_WARNING, "sbtremove2: file %s doesn't exist\n", *f);
            continue;
        }
        rpgn_set_error(ch, SBT_ERROR_MM, "sbtremove2: remove failed for %s: error: %s", *f, rpgn_status_text(rc));
        return rpgn_exit(ch, name, -1);
    }
    return rpgn_exit(ch, name, 0);
}

int rpgn_info(rpgn_channel *ch, unsigned long flags, char **files, sbt_item **result)
{
    static const char *const name = "rman_pgn_sbtinfo2";
    RLOG_T(LOG_LVL_TRACE, "ENTER %s: flags %#lx\n", name, flags);
    ch->error_code = 0;
    if (result != nullptr)
        *result = nullptr;
    if (!(ch->flags & RPGN_F_INIT2))
        return rpgn_refuse(ch, name, "sbtinfo2: sbtinit2 never called");
    if (!(ch->flags & RPGN_F_SESSION))
        return rpgn_refuse(ch, name, "sbtinfo2: session to server is not established in sbtinit2(): %s",
                           rpgn_missing_item(ch));
    if (files == nullptr || result == nullptr)
        return rpgn_refuse(ch, name, "sbtinfo2: parameter validation failed.");

    // The list handed out last time lives until now: this channel's next
    // sbtinfo2 (or its sbtend), whatever other channels do meanwhile.
    rpgn_set_info_list(ch, nullptr);

    size_t count = 0;
    for (char **f = files; *f != nullptr; f++, count++)
        RLOG(LOG_LVL_DEBUG, "rman_pgn_sbtinfo2: backup file %s[%d]\n", *f, static_cast<int>(count));
    size_t nitems = 5 * count + 1;
    sbt_item *list = static_cast<sbt_item *>(malloc(nitems * sizeof(sbt_item)));
    if (list == nullptr)
        return rpgn_refuse(ch, name, "sbtinfo2: failed to allocate the result list");
    for (size_t i = 0; i < nitems; i++)
        list[i] = {SBT_LIST_END, nullptr};

    size_t k = 0;
    bool ok = true;
    for (size_t i = 0; i < count && ok; i++) {
        const char *f = files[i];
        list[k++] = {SBT_INFO_FILE, strdup(f)};
        char sname[RPGN_APPL_NAME_MAX];
        rpgn_share_name(sname, ch, f);
        // Read into a buffer of its own, never into the channel's record.
        rpgn_backup_info bi = {};
        size_t len = sizeof bi;
        int rc = dm_get_xattr(rpgn_dm(ch), nullptr, sname, RPGN_BACKUP_INFO_ATTR, &bi, &len);
        if (rc == KES_ENOENT) {
            list[k++] = {SBT_INFO_NOT_FOUND, nullptr};
            RLOG(LOG_LVL_WARNING, "sbtinfo2: File %s not found for backup info\n", f);
            continue;
        }
        if (rc != 0) {
            rpgn_set_error(ch, SBT_ERROR_MM, "sbtinfo2: retrieving backup info failed for file %s: %s", f,
                           rpgn_status_text(rc));
            ok = false;
            break;
        }
        if (len != sizeof bi) {
            rpgn_set_error(ch, SBT_ERROR_MM,
                           "sbtinfo2: wrong size while retrieving backup info for file %s: expected %zd, got %zd", f,
                           static_cast<ssize_t>(sizeof bi), static_cast<ssize_t>(len));
            ok = false;
            break;
        }
        uint32_t v2 = static_cast<uint32_t>(bi.one), v6 = static_cast<uint32_t>(bi.two_a);
        int64_t created = static_cast<int64_t>(bi.created);
        char label[64];
        snprintf(label, sizeof label, "%s_%s", ch->backup_host, ch->backup_share);
        list[k++] = {SBT_INFO_ONE, dup_value(&v2, sizeof v2)};
        list[k++] = {SBT_INFO_TWO, dup_value(&v6, sizeof v6)};
        list[k++] = {SBT_INFO_CREATED, dup_value(&created, sizeof created)};
        list[k++] = {SBT_INFO_LABEL, strdup(label)};
    }
    if (!ok) {
        rpgn_free_info(list);
        return rpgn_exit(ch, name, -1);
    }
    list[k] = {SBT_LIST_END, nullptr};
    rpgn_set_info_list(ch, list);
    *result = list;
    dump_info(list);
    return rpgn_exit(ch, name, 0);
}
