// Pieces the benchmarks share: a clock, whole reads and writes, the child
// process that serves the benchmark's peers, and the test pattern.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

inline double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline bool write_all(int fd, const void *p, size_t n)
{
    auto *c = static_cast<const char *>(p);
    while (n > 0) {
        ssize_t r = write(fd, c, n);
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

inline bool read_all(int fd, void *p, size_t n)
{
    auto *c = static_cast<char *>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Forks the child that serves the peers; it writes nports ports to the file
// descriptor it is given. Returns the child's pid with the ports, or -1 when
// the child did not report or its second port is 0.
template <typename Child> pid_t bench_start_child(Child child, const std::string &dir, int *ports, size_t nports)
{
    int pfd[2];
    if (pipe(pfd) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(pfd[0]);
        child(pfd[1], dir);
    }
    close(pfd[1]);
    bool ok = read_all(pfd[0], ports, nports * sizeof *ports) && ports[1] != 0;
    close(pfd[0]);
    return ok ? pid : -1;
}

// A buffer of the benchmark's byte pattern.
inline std::vector<char> bench_pattern(size_t n)
{
    std::vector<char> buf(n);
    for (size_t i = 0; i < n; i++)
        buf[i] = static_cast<char>(i * 131 + 7);
    return buf;
}
