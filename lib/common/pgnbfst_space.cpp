// Space credit and admin alerts of the BFST path: the appliance is asked for
// room one blob's worth at a time, and told when a transfer-library call was
// slow.
#include <cstdlib>
#include <unistd.h>

#include "datamover/util.h"
#include "lib/common/com_util.h"
#include "lib/common/log.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnbfst_int.h"
#include "lib/common/pgnconfig.h"

namespace {

constexpr uint64_t kAlertKind = 1;
constexpr uint64_t kAlertKindRepeated = 1 | 8;
constexpr size_t kAlertText = 1024;

ost_mi_client *mi_of(const bfst_path *p) { return static_cast<ost_mi_client *>(p->mi_session); }

}  // namespace

int pgnbfst_check_space(bfst_path *p, uint64_t len)
{
    bfst_context *c = p->ctx;
    COM_ASSERT(c != nullptr, "BFST path has no context\n");
    if (len <= p->space_credit) {
        p->space_credit -= len;
        return 0;
    }
    mi_check_space_req req = {0, p->mi_fh};
    mi_check_space_reply reply = {};
    int status = mi_of(p) != nullptr ? miSendRequest(mi_of(p), MI_CHECK_SPACE, &req, &reply) : KES_EINVAL;
    if (status != 0) {
        RLOG(LOG_LVL_ERROR, "Message (MI_CHECK_SPACE) Send Failed:%d\n", status);
    } else if (reply.status != 0) {
        status = reply.status;
        if (status == MI_STS_ENOSPC)
            RLOG(LOG_LVL_ERROR, "MI_CHECK_SPACE failed: no space\n");
        else
            RLOG(LOG_LVL_ERROR, "MI_CHECK_SPACE failed: error %d\n", status);
    } else {
        // A request larger than the old credit and one blob together leaves none.
        uint64_t room = p->space_credit + c->blob_size;
        p->space_credit = room > len ? room - len : 0;
    }
    mi_free_reply(MI_CHECK_SPACE, &reply);
    return status;
}

void process_admin_alert(uint32_t seconds, bfst_path *p, const char *text)
{
    if (p->flags & BFST_F_ADMIN_ALERTS) {
        char *buf = static_cast<char *>(malloc(kAlertText));
        if (buf == nullptr) {
            RLOG(LOG_LVL_ERROR, "malloc failed in %s\n", "process_admin_alert");
        } else {
            util_strlcpy(buf, text, kAlertText);
            const int64_t limit = pgncfg().ADMIN_ALERT_LIMIT.load();
            mi_admin_alert_req req = {};
            req.handle = p->mi_fh;
            req.pid = static_cast<uint64_t>(getpid());
            req.seconds = seconds;
            req.text = buf;
            req.kind = static_cast<int64_t>(p->alert_count) >= limit ? kAlertKindRepeated : kAlertKind;
            mi_status_reply reply = {};
            int status = mi_of(p) != nullptr ? miSendRequest(mi_of(p), MI_ADMIN_ALERT, &req, &reply) : KES_EINVAL;
            if (status != 0) {
                RLOG(LOG_LVL_ERROR, "Message(MI_ADMIN_ALERT) send failed: %d\n", status);
            } else if (reply.status == MI_STS_EADMINALERTDISABLED) {
                RLOG(LOG_LVL_INFO, "OST admin alerts for BFST transport disabled on server\n");
                p->flags &= ~static_cast<uint32_t>(BFST_F_ADMIN_ALERTS);
            } else {
                p->alert_count++;
            }
            mi_free_reply(MI_ADMIN_ALERT, &reply);
            free(buf);
        }
    }
    RLOG(LOG_LVL_WARNING, "%s is slow, took %u seconds\n", text, static_cast<unsigned>(seconds));
}
