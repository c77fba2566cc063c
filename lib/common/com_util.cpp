#include "lib/common/com_util.h"

namespace {

// Names of MI_STS_BASE + 1 .. MI_STS_BASE + 0x3E, in order.
constexpr const char *kMiNames[] = {
    "MI_STS_EINVAL",
    "MI_STS_EMALLOC",
    "MI_STS_EASYNCOPS",
    "MI_STS_EASYNCDATA",
    "MI_STS_EBUSY",
    "MI_STS_EEXIST",
    "MI_STS_ECLIENTVERSION",
    "MI_STS_EPLUGINVERSION",
    "MI_STS_ECLAIM",
    "MI_STS_EINIT",
    "MI_STS_EOFFSET",
    "MI_STS_EAGAIN",
    "MI_STS_ENOENT",
    "MI_STS_EABORT",
    "MI_STS_ESAVEAS",
    "MI_STS_ENOTSUP",
    "MI_STS_ESYS",
    "MI_STS_EFNOTFOUND",
    "MI_STS_ESOCKET",
    "MI_STS_ECONNECT",
    "MI_STS_EPROTO",
    "MI_STS_EINTERNAL",
    "MI_STS_ESHUTDOWN",
    "MI_STS_EINTERFACE",
    "MI_STS_ECLIENT",
    "MI_STS_ESERVER",
    "MI_STS_ESTARTFILE",
    "MI_STS_EDNS",
    "MI_STS_EAUTH",
    "MI_STS_EIMGOVERLAP",
    "MI_STS_ENOSPC",
    "MI_STS_EREPEATSTAT",
    "MI_STS_ENOLICENSE",
    "MI_STS_ENOTENABLED",
    "MI_STS_EACCESS",
    "MI_STS_ESAVEAS_MISMATCH",
    "MI_STS_EPERM",
    "MI_STS_ENXIO",
    "MI_STS_EIMGSTATE",
    "MI_STS_ESTSVERSION",
    "MI_STS_EIMAGECOMPLETE",
    "MI_STS_EFULLNOTFOUND",
    "MI_STS_ENOEVENT",
    "MI_STS_EEFSCHK",
    "MI_STS_EPGNBUSY",
    "MI_STS_EPLUGIN",
    "MI_STS_ESERVERVERSION",
    "MI_STS_ESYS_DLOPEN",
    "MI_STS_ESYS_DLSYM",
    "MI_STS_ESYS_PTHREAD_COND_INIT",
    "MI_STS_EBPDBM",
    "MI_STS_EBPDBM_CRITICAL",
    "MI_STS_ESYS_LOADLIBRARY",
    "MI_STS_ESYS_GETPROCADDRESS",
    "MI_STS_ESYS_CREATEEVENT",
    "MI_STS_ESTH",
    "MI_STS_EOSTPXYPI",
    "MI_STS_EOSTPXYSRV",
    "MI_STS_EPGNCRASHED",
    "MI_STS_EINVALID_STORAGE",
    "MI_STS_EADMINALERTDISABLED",
    "MI_STS_EMAX",
};
static_assert(sizeof kMiNames / sizeof kMiNames[0] == 0x3E);

}  // namespace

const char *mi_status_name(int32_t status)
{
    if (status == MI_STS_EOK)
        return "MI_STS_EOK";
    if (status == MI_STS_BASE)
        return "MI_STS_BASE";
    if (status == MI_STS_ECMNMAX)
        return "MI_STS_ECMNMAX";
    if (status > MI_STS_BASE && status <= MI_STS_EMAX)
        return kMiNames[status - MI_STS_BASE - 1];
    return "UNKNOWN server error";
}
