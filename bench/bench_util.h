// Pieces the benchmarks share: a clock, whole reads and writes, the child
// process that serves the benchmark's peers, and the test pattern.
#pragma once

#include "appliance/appliance.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
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

// A listening socket on a free loopback port (its number in *port).
inline int bench_listen_loopback(int *port)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(ls, 4);
    socklen_t al = sizeof a;
    getsockname(ls, reinterpret_cast<sockaddr *>(&a), &al);
    *port = ntohs(a.sin_port);
    return ls;
}

// A connection to a loopback port, or -1.
inline int bench_connect_loopback(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The appliance of a benchmark: free ports on 127.0.0.1, its root and log
// named after the benchmark in the directory, errors only.
inline appliance_config bench_appliance_config(const std::string &dir, const std::string &name)
{
    appliance_config cfg;
    cfg.listen_addr = "127.0.0.1";
    cfg.mi_port = 0;
    cfg.root = dir + "/" + name + ".store";
    mkdir(cfg.root.c_str(), 0700);
    cfg.users = {{"bench", "bench-pw"}};
    cfg.log_level = 3;
    cfg.log_file = dir + "/" + name + ".log";
    return cfg;
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
