// The operating-system services the SBT tester needs, for Linux and for
// Windows: loading the library, files and standard streams, the environment.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace sbttest_os {

#ifdef _WIN32

constexpr const char *LIB_NAME = "librmanKESTRALON.dll";
constexpr char SEP = '\\';

inline int open_read(const char *path) { return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT); }
inline int open_write(const char *path)
{
    return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
inline long read_fd(int fd, void *buf, size_t n) { return _read(fd, buf, n > 0x40000000 ? 0x40000000u : unsigned(n)); }
inline long write_fd(int fd, const void *buf, size_t n)
{
    return _write(fd, buf, n > 0x40000000 ? 0x40000000u : unsigned(n));
}
inline int close_fd(int fd) { return _close(fd); }
// Windows guards the file with its access list; only its kind is checked.
inline int check_private(int fd)
{
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)
        return 1;
    return 0;
}
inline bool set_env(const char *name, const char *value) { return _putenv_s(name, value) == 0; }
inline bool stderr_is_tty() { return _isatty(2) != 0; }
inline unsigned long pid() { return static_cast<unsigned long>(GetCurrentProcessId()); }
inline bool local_time(time_t t, struct tm *out) { return localtime_s(out, &t) == 0; }
// Standard input and output carry backup pieces: no line-end translation.
inline void binary_stdio()
{
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
}
inline std::string self_path()
{
    wchar_t w[MAX_PATH + 1];
    DWORD n = GetModuleFileNameW(nullptr, w, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH)
        return "";
    char u[MAX_PATH * 3 + 1];
    if (WideCharToMultiByte(CP_UTF8, 0, w, -1, u, sizeof u, nullptr, nullptr) <= 0)
        return "";
    return u;
}
inline bool exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }
// Loaded by its full path with the altered search order, so that bfst64.dll
// beside it is found.
inline void *load(const char *path, std::string *err)
{
    HMODULE h = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (h == nullptr) {
        char text[256];
        DWORD e = GetLastError();
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, text,
                                 sizeof text, nullptr);
        while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
            text[--n] = '\0';
        *err = n > 0 ? text : "error " + std::to_string(e);
    }
    return reinterpret_cast<void *>(h);
}
inline void *sym(void *h, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(h), name));
}
inline void unload(void *h) { FreeLibrary(static_cast<HMODULE>(h)); }
inline void *aligned_new(size_t align, size_t size) { return _aligned_malloc(size, align); }
inline void aligned_free(void *p) { _aligned_free(p); }

#else

constexpr const char *LIB_NAME = "librmanKESTRALON.so";
constexpr char SEP = '/';

inline int open_read(const char *path) { return open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY); }
inline int open_write(const char *path) { return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600); }
inline long read_fd(int fd, void *buf, size_t n) { return read(fd, buf, n); }
inline long write_fd(int fd, const void *buf, size_t n) { return write(fd, buf, n); }
inline int close_fd(int fd) { return close(fd); }
// 0: a regular file only its owner may read; 1: not a regular file; 2: others may read it.
inline int check_private(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 1;
    return (st.st_mode & 077) != 0 ? 2 : 0;
}
inline bool set_env(const char *name, const char *value) { return setenv(name, value, 1) == 0; }
inline bool stderr_is_tty() { return isatty(2) != 0; }
inline unsigned long pid() { return static_cast<unsigned long>(getpid()); }
inline bool local_time(time_t t, struct tm *out) { return localtime_r(&t, out) != nullptr; }
inline void binary_stdio() {}
inline std::string self_path()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    self[n] = '\0';
    return self;
}
inline bool exists(const char *path) { return access(path, F_OK) == 0; }
inline void *load(const char *path, std::string *err)
{
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr)
        *err = dlerror();
    return h;
}
inline void *sym(void *h, const char *name) { return dlsym(h, name); }
inline void unload(void *h) { dlclose(h); }
inline void *aligned_new(size_t align, size_t size) { return aligned_alloc(align, size); }
inline void aligned_free(void *p) { free(p); }

#endif

}  // namespace sbttest_os
