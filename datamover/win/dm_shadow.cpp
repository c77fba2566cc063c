// DM client, shadow files on Windows: the local file behind each open remote
// file, created exclusively in %TEMP%\KESTRALON with a random name and
// FILE_FLAG_DELETE_ON_CLOSE, so that it goes when it is closed, whatever
// happens to the process.
#include "datamover/dm_int.h"
#include "datamover/platform_proc.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kShadowTries = 16;

std::atomic<uint32_t> g_shadow_seq{0};

// %TEMP%\KESTRALON\ (the user's own temporary directory), created when missing.
bool shadow_dir(char *dir, size_t cap)
{
    wchar_t wtmp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, wtmp);
    if (n == 0 || n > MAX_PATH)
        return false;
    char tmp[MAX_PATH * 3 + 1];
    if (WideCharToMultiByte(CP_UTF8, 0, wtmp, -1, tmp, sizeof tmp, nullptr, nullptr) <= 0)
        return false;
    int k = snprintf(dir, cap, "%sKESTRALON\\", tmp);
    return k > 0 && static_cast<size_t>(k) < cap && file_io_make_dirs(dir);
}

}  // namespace

file_io *dm_shadow_create(dm_client *dmc, const char *rname, char *path, size_t cap, int *errp)
{
    *errp = FILE_ERR_OPEN;
    char dir[DM_SHADOW_PATH_MAX];
    if (!shadow_dir(dir, sizeof dir)) {
        DMLOG(dmc, UTIL_LOG_WARNING, "shadow directory %%TEMP%%\\KESTRALON is not usable\n");
        return nullptr;
    }
    for (int i = 0; i < kShadowTries; i++) {
        uint64_t r = 0;
        if (platform_random(&r, sizeof r) != 0)
            r = GetTickCount64() ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
        snprintf(path, cap, "%sdm%lu_%08x%016llx", dir, platform_pid(), g_shadow_seq.fetch_add(1),
                 static_cast<unsigned long long>(r));
        DMLOG(dmc, UTIL_LOG_INFO, "Creating shadow file %s for file %s\n", path, rname);
        file_io *f = file_io_open(path, 0, KES_O_RDWR | KES_O_CREAT | KES_O_EXCL, FILE_IO_PRIVATE | FILE_IO_DELETE_ON_CLOSE,
                                  errp);
        if (f != nullptr)
            return f;
        DMLOG(dmc, UTIL_LOG_WARNING, "file_io_open (%s) failed [%d]\n", path, *errp);
    }
    return nullptr;
}

// Shadow files remove themselves when closed; there is no path to walk.
void dm_shadow_remove(dm_client *dmc, const char *name) { (void)dmc, (void)name; }

// The directory is shared by every process of the user and stays.
void dm_shadow_cleanup() {}
