// Pieces the benchmarks share: a clock, whole reads and writes, the child
// process that serves the benchmark's peers, and the test pattern.
#pragma once

#include "appliance/appliance.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

inline double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// On a virtual machine whose host takes back the memory the guest frees (a
// balloon with free page reporting), the first write to memory that was free
// for a while costs several times a later one (a 2 GiB file written into it
// took 8 s instead of 1). Touching and freeing as much memory as the next
// timed step will fill makes every step start from the same state.
inline void bench_warm_memory(uint64_t bytes)
{
    bytes += 256u << 20;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p != MAP_FAILED)
        munmap(p, bytes);
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

// The raw sink: a size, then that many bytes into a file, then one byte back.
inline void bench_raw_sink(int lsock, const std::string &path)
{
    // page-aligned like the service's buffer, so both copy alike
    struct aligned_buf {
        char *p = static_cast<char *>(aligned_alloc(4096, 1 << 20));
        ~aligned_buf() { free(p); }
        char *data() { return p; }
        size_t size() const { return 1 << 20; }
    } buf;
    for (;;) {
        int s = accept(lsock, nullptr, nullptr);
        if (s < 0)
            return;
        uint64_t size = 0;
        if (!read_all(s, &size, 8)) {
            close(s);
            continue;
        }
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // whole buffers in, whole buffers out, as the service does
        for (uint64_t off = 0; off < size;) {
            size_t n = size_t(std::min<uint64_t>(buf.size(), size - off));
            if (!read_all(s, buf.data(), n) || !write_all(fd, buf.data(), n))
                break;
            off += n;
        }
        close(fd);
        unlink(path.c_str());
        char ack = 1;
        write_all(s, &ack, 1);
        close(s);
    }
}

// The child of a benchmark: the raw sink on the listening socket lsock (whose
// port is raw_port) writing to raw_path, and the appliance of cfg. Reports
// raw_port and the appliance's port that port_of gives (0 when it did not
// start) on report_fd, then serves until it is killed.
[[noreturn]] inline void bench_serve(int report_fd, int lsock, int raw_port, const std::string &raw_path,
                                     const appliance_config &cfg, uint16_t (*port_of)(const appliance *))
{
    int ports[2] = {raw_port, 0};
    std::thread raw([lsock, raw_path] { bench_raw_sink(lsock, raw_path); });
    raw.detach();
    appliance *app = nullptr;
    std::string msg;
    if (appliance_start(cfg, &app, &msg) == 0)
        ports[1] = port_of(app);
    else
        fprintf(stderr, "appliance: %s\n", msg.c_str());
    write_all(report_fd, ports, sizeof ports);
    close(report_fd);
    for (;;)
        pause();
}

// The raw copy to a sink on the connected socket s (closed afterwards): size
// bytes from buf, over and over. Seconds until the sink has written them,
// or -1.
inline double bench_raw_copy(int s, uint64_t size, const std::vector<char> &buf)
{
    if (s < 0)
        return -1;
    double t0 = now_s();
    bool ok = write_all(s, &size, 8);
    for (uint64_t off = 0; ok && off < size;) {
        size_t n = size_t(std::min<uint64_t>(buf.size(), size - off));
        ok = write_all(s, buf.data(), n);
        off += n;
    }
    char ack;
    ok = ok && read_all(s, &ack, 1);
    double t = now_s() - t0;
    close(s);
    return ok ? t : -1;
}

// A buffer of the benchmark's byte pattern.
inline std::vector<char> bench_pattern(size_t n)
{
    std::vector<char> buf(n);
    for (size_t i = 0; i < n; i++)
        buf[i] = static_cast<char>(i * 131 + 7);
    return buf;
}
