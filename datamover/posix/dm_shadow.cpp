// DM client, shadow files: the local file behind each open remote file,
// created privately under /tmp/dm/shadow/<pid> and unlinked at once, and the
// removal of shadow paths by remote name.
#include "datamover/dm_int.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kShadowTries = 16;
constexpr int kMaxDepth = 64;

std::atomic<uint32_t> g_shadow_seq{0};

// The process's shadow directory is empty between files (each is unlinked
// as soon as it is open), so one client's clean-up could remove it between
// another's check of it and its create. Both go under this lock.
std::mutex g_shadow_dir_lock;

// ---------------------------------------------------------------- shadow files

// A directory of the shadow path: created when missing, and never a symbolic
// link. The process's own directory must belong to this user and be private.
bool shadow_mkdir(const char *path, mode_t mode, bool private_dir)
{
    if (mkdir(path, mode) == 0) {
        if (!private_dir)
            (void)chmod(path, mode);  // shared by every user of the machine, like /tmp
    } else if (errno != EEXIST) {
        return false;
    }
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (private_dir && (st.st_uid != geteuid() || (st.st_mode & 077) != 0))
        return false;
    return true;
}

bool shadow_dir(char *dir, size_t cap)
{
    if (!shadow_mkdir("/tmp/dm", 01777, false) || !shadow_mkdir(DM_SHADOW_ROOT, 01777, false))
        return false;
    snprintf(dir, cap, "%s/%lu", DM_SHADOW_ROOT, static_cast<unsigned long>(getpid()));
    return shadow_mkdir(dir, 0700, true);
}

uint64_t shadow_random()
{
    uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        r = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 32);
    }
    return r;
}

// Creates a fresh file of a unique name in this process's shadow directory.
// It is created exclusively (an existing name, a symbolic link included, is
// never opened), so nothing but a new file of ours is ever used.
}  // namespace

file_io *dm_shadow_create(dm_client *dmc, const char *rname, char *path, size_t cap, int *errp)
{
    *errp = FILE_ERR_OPEN;
    for (int i = 0; i < kShadowTries; i++) {
        char dir[DM_SHADOW_PATH_MAX];
        std::unique_lock<std::mutex> dir_held(g_shadow_dir_lock);
        if (!shadow_dir(dir, sizeof dir)) {
            DMLOG(dmc, UTIL_LOG_WARNING, "shadow directory %s/%lu is not usable\n", DM_SHADOW_ROOT,
                  static_cast<unsigned long>(getpid()));
            return nullptr;
        }
        snprintf(path, cap, "%s/dm%08x%016llx", dir, g_shadow_seq.fetch_add(1),
                 static_cast<unsigned long long>(shadow_random()));
        DMLOG(dmc, UTIL_LOG_INFO, "Creating shadow file %s for file %s\n", path, rname);
        file_io *f = file_io_open(path, 0, KES_O_RDWR | KES_O_CREAT | KES_O_EXCL, FILE_IO_PRIVATE, errp);
        dir_held.unlock();
        if (f == nullptr) {
            int e = errno;
            DMLOG(dmc, UTIL_LOG_WARNING, "file_io_open (%s) failed [%d] errno=%d:%s\n", path, *errp,
                  util_errno_to_kes(e), util_strerror(util_errno_to_kes(e)));
            continue;
        }
        if (!S_ISREG(f->st.st_mode) || f->st.st_uid != geteuid() || f->st.st_nlink != 1) {
            file_io_close(f);
            *errp = FILE_ERR_NOTFILE;
            continue;
        }
        return f;
    }
    return nullptr;
}

// Removes "<root>/<pid><name>" and then its parent directories up to the
// root, walking with directory descriptors that never follow a symbolic link.
// A name with "." or ".." components removes nothing, so no name can reach
// outside the shadow root.
void dm_shadow_remove(dm_client *dmc, const char *name)
{
    char rel[DM_SHADOW_PATH_MAX];
    int n = snprintf(rel, sizeof rel, "%lu%s", static_cast<unsigned long>(getpid()), name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof rel)
        return;
    char *comps[kMaxDepth];
    int depth = 0;
    for (char *save = nullptr, *c = strtok_r(rel, "/", &save); c != nullptr; c = strtok_r(nullptr, "/", &save)) {
        if (strcmp(c, ".") == 0 || strcmp(c, "..") == 0 || depth == kMaxDepth) {
            DMLOG(dmc, UTIL_LOG_DEBUG, "shadow path of %s not removed\n", name);
            return;
        }
        comps[depth++] = c;
    }
    if (depth == 0)
        return;
    int fds[kMaxDepth + 1];
    int nfd = 0;
    const int oflags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    fds[nfd] = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds[nfd] < 0)
        return;
    nfd++;
    bool ok = true;
    for (const char *c : {"dm", "shadow"}) {
        int fd = openat(fds[nfd - 1], c, oflags);
        if (fd < 0) {
            ok = false;
            break;
        }
        fds[nfd++] = fd;
    }
    const int root = nfd - 1;
    for (int i = 0; ok && i < depth - 1; i++) {
        int fd = openat(fds[nfd - 1], comps[i], oflags);
        if (fd < 0) {
            ok = false;
            break;
        }
        fds[nfd++] = fd;
    }
    if (ok) {
        int rc = unlinkat(fds[nfd - 1], comps[depth - 1], 0);
        if (rc == 0) {
            DMLOG(dmc, UTIL_LOG_INFO, "Deleting shadow file %s/%s for file %s, status %d\n", DM_SHADOW_ROOT, rel, name, 0);
            for (int i = depth - 2; i >= 0; i--)
                if (unlinkat(fds[root + i], comps[i], AT_REMOVEDIR) != 0)
                    break;
        }
    }
    while (nfd > 0)
        close(fds[--nfd]);
}

void dm_shadow_cleanup()
{
    char dir[DM_SHADOW_PATH_MAX];
    snprintf(dir, sizeof dir, "%s/%lu", DM_SHADOW_ROOT, static_cast<unsigned long>(getpid()));
    std::lock_guard<std::mutex> held(g_shadow_dir_lock);
    (void)rmdir(dir);  // fails harmlessly while another client of this process has a file in it
}
