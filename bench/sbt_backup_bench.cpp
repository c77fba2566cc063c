// Backup throughput through the library's SBT entry points on the BFST path,
// as RMAN (or the SBT tester) drives them, beside a raw TCP copy of the same
// bytes over the same loopback in the same run; and the client's peak memory.
//
//   sbt_backup_bench [MiB (2048)] [address (127.0.0.250)] [directory (/dev/shm)] [rounds (2)]
//
// A child process serves both sides on the address: the appliance (control
// port 10002 and BFST port 1062, as the library expects them) with its root
// in the directory, and a plain TCP sink that writes the raw bytes to a file
// of the same directory. For each backup a fresh client process loads
// librmanKESTRALON.so and backs up the bytes in blocks of 1 MiB: sbtbackup,
// sbtwrite2 per block, sbtclose2 (which waits for the appliance to confirm
// the piece), without and with a 30 MiB write-behind cache; each piece is
// removed again. Its peak resident size is the client's, library loaded. The
// raw copy sends the same 1 MiB buffers and waits for the sink to have
// written them.
#include "appliance/appliance.h"
#include "bench/bench_sbt.h"
#include "bench/bench_util.h"
#include "lib/rman/rman_pgn_api.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t BLOCK = 1 << 20;

sockaddr_in addr_of(const std::string &addr, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

std::string g_addr;

[[noreturn]] void child(int report_fd, const std::string &dir)
{
    int raw_port = 0;
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = addr_of(g_addr, 0);
    socklen_t al = sizeof a;
    if (bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(ls, 4) == 0 &&
        getsockname(ls, reinterpret_cast<sockaddr *>(&a), &al) == 0)
        raw_port = ntohs(a.sin_port);
    // The library always reaches the control port 10002 (and 1062 for BFST).
    appliance_config cfg = bench_appliance_config(dir, "sbt_backup_bench");
    cfg.listen_addr = g_addr;
    cfg.mi_port = 10002;
    bench_serve(report_fd, ls, raw_port, dir + "/sbt_backup_bench.raw", cfg, appliance_mi_port);
}

// A connection to port of the benchmark's address, or -1.
int connect_to(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = addr_of(g_addr, port);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Backs up size bytes as one piece in 1 MiB blocks; the seconds from
// sbtbackup to the end of sbtclose2, or -1. The piece is removed afterwards.
double sbt_backup(Sbt &sbt, const std::string &params, const std::string &name, uint64_t size,
                  const std::vector<char> &buf)
{
    if (!sbt.open(params))
        return -1;
    void *ctx = sbt.ctx.data();
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    double t0 = now_s();
    if (sbt.v->backup(ctx, 0, name.c_str(), objs, BLOCK, 0) != 0)
        return sbt.fail("sbtbackup") ? 0 : -1;
    for (uint64_t off = 0; off < size; off += BLOCK)
        if (sbt.v->write2(ctx, 0, buf.data()) != 0)
            return sbt.fail("sbtwrite2") ? 0 : -1;
    if (sbt.v->close2(ctx, 0) != 0)
        return sbt.fail("sbtclose2") ? 0 : -1;
    double t = now_s() - t0;
    std::string n = name;
    char *files[] = {n.data(), nullptr};
    sbt.v->remove2(ctx, 0, files);
    sbt.v->end(ctx, 0);
    return t;
}

// One backup by a client process of its own: the seconds it took (or -1),
// and the client's peak resident size in MiB.
double client_backup(const std::string &params, const std::string &name, uint64_t size, long *rss_mib)
{
    int pfd[2];
    if (pipe(pfd) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(pfd[0]);
        Sbt sbt;
        std::vector<char> buf = bench_pattern(BLOCK);
        double t = sbt.load(KES_LIB_PATH) ? sbt_backup(sbt, params, name, size, buf) : -1;
        write_all(pfd[1], &t, sizeof t);
        _exit(0);
    }
    close(pfd[1]);
    double t = -1;
    if (!read_all(pfd[0], &t, sizeof t))
        t = -1;
    close(pfd[0]);
    struct rusage ru {};
    wait4(pid, nullptr, 0, &ru);
    *rss_mib = ru.ru_maxrss / 1024;
    return t;
}

}  // namespace

int main(int argc, char **argv)
{
    const uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 2048;
    g_addr = argc > 2 ? argv[2] : "127.0.0.250";
    const std::string dir = argc > 3 ? argv[3] : "/dev/shm";
    const int rounds = argc > 4 ? atoi(argv[4]) : 2;
    const uint64_t size = mib << 20;
    signal(SIGPIPE, SIG_IGN);

    int ports[2];
    pid_t pid = bench_start_child(child, dir, ports, 2);
    if (pid < 0) {
        fprintf(stderr, "appliance did not start on %s (is port 10002 or 1062 taken there?)\n", g_addr.c_str());
        return 1;
    }
    // The library's directory, with its configuration, beside the store.
    const std::string windir = dir + "/sbt_backup_bench.windir";
    mkdir(windir.c_str(), 0700);
    setenv("WINDIR", windir.c_str(), 1);
    std::vector<char> buf = bench_pattern(BLOCK);
    const std::string params = "BACKUP_HOST=" + g_addr + ",BACKUP_SHARE=bench,BACKUP_USERNAME=bench,BACKUP_PASSWORD=bench-pw";
    auto rate = [&](double t) { return double(size) / (1 << 20) / t; };

    printf("bytes %" PRIu64 " MiB in blocks of 1 MiB, appliance %s, directory %s\n", mib, g_addr.c_str(), dir.c_str());
    std::vector<double> ratios[2];
    long rss[2] = {0, 0};
    int status = 0;
    for (int r = 0; r < rounds && status == 0; ++r) {
        for (int cached = 0; cached < 2; ++cached) {
            double raw = bench_raw_copy(connect_to(ports[0]), size, buf);
            std::ofstream(windir + "/librmanKESTRALON.ini")
                << "DEBUG_LEVEL=error\nWRITE_CACHE_SIZE=" << (cached ? 30 : 0) << "\n";
            long peak = 0;
            double t = client_backup(params, "bench-" + std::to_string(r) + "-" + std::to_string(cached), size, &peak);
            rss[cached] = std::max(rss[cached], peak);
            if (raw <= 0 || t <= 0) {
                status = 1;
                break;
            }
            ratios[cached].push_back(raw / t);
            printf("round %d, %s: backup %.0f MiB/s, raw tcp %.0f MiB/s, ratio %.2f, client peak rss %ld MiB\n", r + 1,
                   cached ? "30 MiB write-behind cache" : "no cache", rate(t), rate(raw), raw / t, peak);
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::string rm = "rm -rf '" + dir + "/sbt_backup_bench.store' '" + windir + "' '" + dir + "/sbt_backup_bench.log' '" +
                     dir + "/sbt_backup_bench.raw'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "could not clean up %s\n", dir.c_str());
    for (int cached = 0; cached < 2; ++cached) {
        if (ratios[cached].empty())
            continue;
        std::sort(ratios[cached].begin(), ratios[cached].end());
        printf("%s: median ratio %.2f, client peak rss %ld MiB\n", cached ? "30 MiB write-behind cache" : "no cache",
               ratios[cached][ratios[cached].size() / 2], rss[cached]);
    }
    return status;
}
