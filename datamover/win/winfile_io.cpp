// Windows twin of the local file layer: files are the runtime's descriptors
// over Win32 handles, positioned I/O goes through OVERLAPPED offsets, and a
// delete-on-close file is opened with FILE_FLAG_DELETE_ON_CLOSE. Also the log
// files with the one-byte lock of the index file (LockFileEx) and the private
// files of the credential store.
#include "datamover/file_io.h"
#include "datamover/file_io_int.h"

#include "datamover/md5.h"
#include "datamover/platform_proc.h"
#include "datamover/util.h"

#include <windows.h>
#include <aclapi.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>

namespace {

// UTF-8 path to the wide form the Win32 calls take.
bool wide_path(const char *path, wchar_t *out, int cap)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out, cap);
    return n > 0;
}

// The runtime's error number of a Win32 error.
int errno_of(DWORD e)
{
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_INVALID_HANDLE: return EBADF;
    default: return EIO;
    }
}

// The runtime's descriptor owning h (closed with it), or -1.
int handle_fd(HANDLE h, int oflags)
{
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), oflags | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

bool is_link(const wchar_t *w)
{
    DWORD a = GetFileAttributesW(w);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

namespace {

// Opens path as the runtime's descriptor over a Win32 handle that others may
// read, write and delete (a shadow file's name is removed while it is open).
// -1 with errno set on failure.
int open_fd(const char *path, int flags, bool delete_on_close)
{
    wchar_t w[MAX_PATH + 1];
    if (!wide_path(path, w, MAX_PATH + 1)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    DWORD access = GENERIC_READ;
    if (flags & (KES_O_RDWR | KES_O_WRONLY))
        access |= GENERIC_WRITE;
    DWORD disp;
    if ((flags & KES_O_CREAT) && (flags & KES_O_EXCL))
        disp = CREATE_NEW;
    else if ((flags & KES_O_CREAT) && (flags & KES_O_TRUNC))
        disp = CREATE_ALWAYS;
    else if (flags & KES_O_CREAT)
        disp = OPEN_ALWAYS;
    else if (flags & KES_O_TRUNC)
        disp = TRUNCATE_EXISTING;
    else
        disp = OPEN_EXISTING;
    DWORD attrs = FILE_ATTRIBUTE_NORMAL | (delete_on_close ? FILE_FLAG_DELETE_ON_CLOSE : 0);
    HANDLE h = CreateFileW(w, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disp, attrs,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        return -1;
    }
    return handle_fd(h, (flags & (KES_O_RDWR | KES_O_WRONLY)) ? _O_RDWR : _O_RDONLY);
}

}  // namespace

namespace file_io_impl {

int64_t pio(int fd, bool write, void *buf, uint64_t off, int64_t len, int *kerr)
{
    *kerr = 0;
    if (len < 0 || off > static_cast<uint64_t>(LLONG_MAX) ||
        static_cast<uint64_t>(len) > static_cast<uint64_t>(LLONG_MAX) - off) {
        *kerr = KES_EINVAL;
        return -1;
    }
    unsigned char *p = static_cast<unsigned char *>(buf);
    int64_t done = 0;
    while (done < len) {
        DWORD want = static_cast<DWORD>(std::min<int64_t>(len - done, 1 << 30));
        uint64_t at = off + static_cast<uint64_t>(done);
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(at);
        ov.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        BOOL ok = write ? WriteFile(h, p + done, want, &n, &ov) : ReadFile(h, p + done, want, &n, &ov);
        if (!ok) {
            DWORD e = GetLastError();
            if (!write && e == ERROR_HANDLE_EOF)
                break;
            *kerr = util_errno_to_kes(errno_of(e));
            return -1;
        }
        if (n == 0) {
            if (!write)
                break;  // end of file
            *kerr = KES_EIO;
            return -1;
        }
        done += n;
    }
    return done;
}

int open_file(const char *path, int flags, unsigned opts)
{
    return open_fd(path, flags, (opts & FILE_IO_DELETE_ON_CLOSE) != 0);
}

void close_file(int fd) { _close(fd); }

}  // namespace file_io_impl

using namespace file_io_impl;

int file_io_unlink(const char *path)
{
    wchar_t w[MAX_PATH + 1];
    if (path == nullptr || !wide_path(path, w, MAX_PATH + 1))
        return FILE_ERR_DELETE;
    if (!DeleteFileW(w)) {
        errno = errno_of(GetLastError());
        return FILE_ERR_DELETE;
    }
    return 0;
}

char *file_io_unixpath(const char *path, char *out, size_t cap)
{
    if (out == nullptr || cap == 0)
        return nullptr;
    if (path == nullptr) {
        out[0] = '\0';
        return out;
    }
    util_strlcpy(out, path, cap);  // Windows takes both separators
    return out;
}

// ---------------------------------------------------------------- log files

FILE *file_io_open_append(const char *path, bool nofollow)
{
    wchar_t w[MAX_PATH + 1];
    if (!wide_path(path, w, MAX_PATH + 1) || (nofollow && is_link(w)))
        return nullptr;
    HANDLE h = CreateFileW(w, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = handle_fd(h, _O_APPEND | _O_WRONLY);
    if (fd < 0)
        return nullptr;
    FILE *fp = _fdopen(fd, "ab");
    if (fp == nullptr)
        _close(fd);
    return fp;
}

// A lock on byte 0 (LockFileEx), retried while another holder has it.
FILE *file_io_open_index(const char *path)
{
    wchar_t w[MAX_PATH + 1];
    if (!wide_path(path, w, MAX_PATH + 1) || is_link(w))
        return nullptr;
    HANDLE h = CreateFileW(w, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    for (;;) {
        OVERLAPPED ov{};
        if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov))
            break;
        DWORD e = GetLastError();
        if (e != ERROR_LOCK_VIOLATION && e != ERROR_IO_PENDING) {
            CloseHandle(h);
            return nullptr;
        }
        Sleep(1);
    }
    int fd = handle_fd(h, _O_RDWR);
    if (fd < 0)
        return nullptr;
    FILE *fp = _fdopen(fd, "r+b");
    if (fp == nullptr) {
        _close(fd);
        return nullptr;
    }
    return fp;
}

// Windows releases a lock of a closed handle only when it gets round to it:
// the lock goes first.
void file_io_close_index(FILE *fp)
{
    fflush(fp);
    OVERLAPPED ov{};
    UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp))), 0, 1, 0, &ov);
    fclose(fp);
}

bool file_io_stream_size(FILE *fp, uint64_t *size)
{
    LARGE_INTEGER sz;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp))), &sz))
        return false;
    *size = static_cast<uint64_t>(sz.QuadPart);
    return true;
}

namespace file_io_impl {

// The directories inherit the access list of their parent (the Windows
// directory's, for the library directory).
bool make_dir(const char *path, bool)
{
    wchar_t w[MAX_PATH + 1];
    return wide_path(path, w, MAX_PATH + 1) &&
           (CreateDirectoryW(w, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
}

}  // namespace file_io_impl

// ---------------------------------------------------------------- private files

// Windows guards the file with its access list, inherited from the library
// directory; the mode bits of the checks are those of a private file. The
// owner is checked: the file's owner SID must be this process's user, or the
// owner its token gives the objects it creates (the Administrators group for
// an elevated administrator). The numbers in the record are the accounts'
// relative ids, for the message; they are equal exactly when the SIDs are.
namespace {

unsigned sid_rid(PSID sid)
{
    if (sid == nullptr || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0)
        return UINT_MAX;
    return static_cast<unsigned>(*GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u));
}

void owner_info(PSID owner, file_io_private_info *pi)
{
    pi->me = 0;
    pi->owner = UINT_MAX;  // unknown: never this process's user
    HANDLE tok;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &tok))
        return;
    alignas(8) unsigned char user[256];
    alignas(8) unsigned char deflt[256];
    DWORD n = 0;
    PSID me = nullptr;
    PSID def = nullptr;
    if (GetTokenInformation(tok, TokenUser, user, sizeof user, &n))
        me = reinterpret_cast<TOKEN_USER *>(user)->User.Sid;
    if (GetTokenInformation(tok, TokenOwner, deflt, sizeof deflt, &n))
        def = reinterpret_cast<TOKEN_OWNER *>(deflt)->Owner;
    CloseHandle(tok);
    if (me == nullptr)
        return;
    pi->me = sid_rid(me);
    if (owner == nullptr || !IsValidSid(owner))
        pi->owner = pi->me == UINT_MAX ? 0 : UINT_MAX;
    else if (EqualSid(owner, me) || (def != nullptr && EqualSid(owner, def)))
        pi->owner = pi->me;
    else if ((pi->owner = sid_rid(owner)) == pi->me)
        pi->owner = pi->me == UINT_MAX ? 0 : UINT_MAX;  // same relative id, another domain
}

void private_info(DWORD attrs, uint64_t size, PSID owner, file_io_private_info *pi)
{
    pi->link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    pi->regular = !pi->link && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
    owner_info(owner, pi);
    pi->mode = 0600;
    pi->size = size;
}

// Frees a security descriptor the security calls allocated.
struct LocalFreeGuard {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ~LocalFreeGuard()
    {
        if (sd != nullptr)
            LocalFree(sd);
    }
};

}  // namespace

int file_io_stat_private(const char *path, file_io_private_info *pi)
{
    wchar_t w[MAX_PATH + 1];
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!wide_path(path, w, MAX_PATH + 1)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (!GetFileAttributesExW(w, GetFileExInfoStandard, &d)) {
        errno = errno_of(GetLastError());
        return -1;
    }
    // The owner of the path itself: a reparse point is not followed.
    PSID owner = nullptr;
    LocalFreeGuard sd;
    HANDLE h = CreateFileW(w, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &sd.sd) != ERROR_SUCCESS)
            owner = nullptr;
        CloseHandle(h);
    }
    private_info(d.dwFileAttributes, (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow, owner, pi);
    return 0;
}

int file_io_open_private(const char *path, file_io_private_info *pi)
{
    wchar_t w[MAX_PATH + 1];
    if (!wide_path(path, w, MAX_PATH + 1)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    HANDLE h = CreateFileW(w, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION bi;
    if (!GetFileInformationByHandle(h, &bi)) {
        CloseHandle(h);
        errno = EIO;
        return -1;
    }
    if (bi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        CloseHandle(h);
        errno = ELOOP;
        return -1;
    }
    PSID owner = nullptr;
    LocalFreeGuard sd;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd.sd) !=
        ERROR_SUCCESS)
        owner = nullptr;
    private_info(bi.dwFileAttributes, (static_cast<uint64_t>(bi.nFileSizeHigh) << 32) | bi.nFileSizeLow, owner, pi);
    return handle_fd(h, _O_RDONLY);
}

long file_io_read_private(int fd, void *buf, size_t len)
{
    unsigned n = len > 0x40000000 ? 0x40000000 : static_cast<unsigned>(len);
    return _read(fd, buf, n);
}

void file_io_close_private(int fd)
{
    if (fd >= 0)
        _close(fd);
}

bool file_io_writable(const char *path)
{
    wchar_t w[MAX_PATH + 1];
    if (!wide_path(path, w, MAX_PATH + 1))
        return false;
    DWORD a = GetFileAttributesW(w);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) == 0;
}

int file_io_replace_private(const char *path, const void *data, size_t len)
{
    uint64_t r = 0;
    platform_random(&r, sizeof r);
    char tmp[300];
    snprintf(tmp, sizeof tmp, "%s.%016llx", path, static_cast<unsigned long long>(r));
    wchar_t wt[MAX_PATH + 1], wp[MAX_PATH + 1];
    if (len > 0x7FFFFFFF || !wide_path(tmp, wt, MAX_PATH + 1) || !wide_path(path, wp, MAX_PATH + 1))
        return -1;
    HANDLE h = CreateFileW(wt, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    DWORD n = 0;
    bool ok = WriteFile(h, data, static_cast<DWORD>(len), &n, nullptr) && n == len && FlushFileBuffers(h);
    if (!CloseHandle(h))
        ok = false;
    // The runtime's rename fails when the target exists; this one replaces it.
    if (ok && !MoveFileExW(wt, wp, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ok = false;
    if (!ok) {
        DeleteFileW(wt);
        return -1;
    }
    return 0;
}

int file_io_lock_file(const char *path)
{
    wchar_t w[MAX_PATH + 1];
    if (!wide_path(path, w, MAX_PATH + 1) || is_link(w))
        return -1;
    HANDLE h = CreateFileW(w, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED ov{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &ov)) {
        CloseHandle(h);
        return -1;
    }
    return handle_fd(h, _O_RDWR);
}

void file_io_unlock_file(int fd)
{
    if (fd < 0)
        return;
    OVERLAPPED ov{};
    UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), 0, MAXDWORD, MAXDWORD, &ov);
    _close(fd);
}
