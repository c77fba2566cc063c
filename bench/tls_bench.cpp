// Backup and restore throughput over TLS against the same in clear, in one
// run, through the DM client and an appliance that offers TLS.
//
//   tls_bench [MiB (1024)] [block KiB (1024)] [directory (/dev/shm)] [rounds (2)]
//
// KES_TLS_BENCH_ONLY=tls (or clear) runs only that kind of pass, for a
// profiler or strace to look at one of them alone.
//
// Neither end uses TLS with a peer on 127.0.0.1, so the benchmark runs in a
// network namespace of its own where the client's address is 127.0.0.7 (it
// re-executes itself under unshare -n; this needs root). A child process is
// the appliance (store in the directory, tmpfs by default); the parent is the
// client, with the test certificates of scripts/tls-setup.sh. Each round
// writes and reads the file once in clear and once over TLS; the best time
// of each counts, and the ratios TLS / clear are printed.
#include "appliance/appliance.h"
#include "datamover/dm.h"
#include "datamover/ost_mi.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnauth.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *APPL_ADDR = "127.0.0.9";

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs this program again in a fresh network namespace whose local route
// gives loopback clients the address 127.0.0.7. Returns only on failure.
int reexec_in_netns(char **argv)
{
    setenv("KES_BENCH_NETNS", "1", 1);
    const char *script = "ip link set lo up && ip route replace local 127.0.0.0/8 dev lo src 127.0.0.7 table local "
                         "&& exec \"$@\"";
    static char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return 1;
    exe[n] = '\0';
    std::vector<char *> args = {const_cast<char *>("unshare"), const_cast<char *>("-n"), const_cast<char *>("--"),
                                const_cast<char *>("/bin/sh"), const_cast<char *>("-c"), const_cast<char *>(script),
                                const_cast<char *>("sh"), exe};
    for (int i = 1; argv[i] != nullptr; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execv("/usr/bin/unshare", args.data());
    perror("unshare -n (needs root)");
    return 1;
}

// CPU seconds (user and system) a process has used so far; -1 when unknown.
double proc_cpu_s(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    char line[1024];
    bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    const char *p = got ? strrchr(line, ')') : nullptr;  // the name may hold blanks
    unsigned long long ut = 0, st = 0;
    if (p == nullptr || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
        return -1;
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU used by the client (this process) and the appliance since start().
struct cpu_meter {
    pid_t appl;
    double c0 = 0, a0 = 0;
    void start()
    {
        c0 = proc_cpu_s(getpid());
        a0 = proc_cpu_s(appl);
    }
    void stop(double *client, double *appliance) const
    {
        *client = proc_cpu_s(getpid()) - c0;
        *appliance = proc_cpu_s(appl) - a0;
    }
};

struct pass_result {
    double write_s = 0, read_s = 0;
    double write_cpu[2] = {0, 0}, read_cpu[2] = {0, 0};  // client, appliance
    bool ok = false;
};

// One backup and one restore of size bytes, in clear or over TLS.
pass_result one_pass(int mi_port, const std::string &cert_dir, bool tls, uint64_t size, std::vector<char> &buf,
                     int round, pid_t appl)
{
    pass_result res;
    cpu_meter cpu{appl};
    int err = 0;
    ost_mi_client *mi =
        ost_mi_client_create(APPL_ADDR, mi_port, nullptr, nullptr, 0, cert_dir.c_str(), tls ? 1 : 0, 1, &err);
    mi_dm_port_req preq{0};
    mi_dm_port_reply prep{};
    if (mi == nullptr || pgnauth_authenticate(mi, "bench", "bench-pw") != 0 ||
        miSendRequest(mi, MI_DM_PORT, &preq, &prep) != 0 || prep.status != 0) {
        fprintf(stderr, "control connection failed (%s)\n", util_err_name(err));
        if (mi != nullptr)
            ost_mi_client_destroy(mi);
        return res;
    }
    dm_client *dmc = dm_client_create(APPL_ADDR, prep.port, nullptr, 0, 0, cert_dir.c_str(), tls ? 1 : 0, 1, &err);
    if (dmc == nullptr) {
        fprintf(stderr, "dm_client_create: %s\n", util_err_name(err));
        ost_mi_client_destroy(mi);
        return res;
    }
    std::string share_name = "generic:/bench/" + std::string(tls ? "tls" : "clear") + std::to_string(round);
    auto mi_open = [&](int32_t mode, uint64_t *handle) -> std::string {
        mi_open_file_req req{mode, share_name.data()};
        mi_open_file_reply rep{};
        if (miSendRequest(mi, MI_OPEN_FILE, &req, &rep) != 0 || rep.status != 0)
            return "";
        *handle = rep.handle;
        return "generic:" + std::to_string(rep.handle) + ":" + share_name.substr(strlen("generic:"));
    };
    auto mi_close = [&](uint64_t handle) {
        mi_close_file_req req{0, handle};
        mi_close_file_reply rep{};
        return miSendRequest(mi, MI_CLOSE_FILE, &req, &rep) == 0 && rep.status == 0;
    };
    const size_t bsz = buf.size();
    uint64_t h = 0;
    bool ok = false;
    cpu.start();
    double t0 = now_s();
    std::string name = mi_open(MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h);
    if (dm_file *df = name.empty() ? nullptr : dm_file_open(dmc, name.c_str(), KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL, &err)) {
        ok = true;
        for (uint64_t off = 0; ok && off < size; off += bsz)
            ok = dm_file_write(df, buf.data(), off, static_cast<uint32_t>(std::min<uint64_t>(bsz, size - off))) >= 0;
        ok = dm_file_flush(df) == 0 && ok;
        ok = dm_file_close(df) == 0 && ok;
        ok = mi_close(h) && ok;
    }
    res.write_s = now_s() - t0;
    cpu.stop(&res.write_cpu[0], &res.write_cpu[1]);
    std::vector<char> in(bsz);
    cpu.start();
    t0 = now_s();
    name = ok ? mi_open(MI_OPEN_READ, &h) : "";
    if (dm_file *df = name.empty() ? nullptr : dm_file_open(dmc, name.c_str(), 0, &err)) {
        for (uint64_t off = 0; ok && off < size; off += bsz) {
            int rc = dm_file_read(df, in.data(), off, static_cast<uint32_t>(bsz), nullptr);
            ok = rc > 0 && memcmp(in.data(), buf.data(), static_cast<size_t>(rc)) == 0;
        }
        dm_file_close(df);
        mi_close(h);
    } else {
        ok = false;
    }
    res.read_s = now_s() - t0;
    cpu.stop(&res.read_cpu[0], &res.read_cpu[1]);
    res.ok = ok;
    dm_client_destroy(dmc);
    ost_mi_client_destroy(mi);
    return res;
}

}  // namespace

int main(int argc, char **argv)
{
    if (getenv("KES_BENCH_NETNS") == nullptr)
        return reexec_in_netns(argv);
    const uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
    const size_t bsz = (argc > 2 ? strtoull(argv[2], nullptr, 10) : 1024) * 1024;
    const std::string dir = argc > 3 ? argv[3] : "/dev/shm";
    const int rounds = argc > 4 ? atoi(argv[4]) : 2;
    const uint64_t size = mib << 20;
    signal(SIGPIPE, SIG_IGN);

    char tmpl[] = "/tmp/kes-tls-bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 1;
    const std::string certs = std::string(tmpl) + "/ca";
    if (system((std::string(KES_SOURCE_DIR) + "/scripts/tls-setup.sh " + certs + " >/dev/null").c_str()) != 0) {
        fprintf(stderr, "scripts/tls-setup.sh failed\n");
        return 1;
    }
    const std::string root = dir + "/tls_bench.store";
    mkdir(root.c_str(), 0700);

    int pfd[2];
    if (pipe(pfd) != 0)
        return 1;
    pid_t pid = fork();
    if (pid == 0) {
        close(pfd[0]);
        appliance_config cfg;
        cfg.listen_addr = APPL_ADDR;
        cfg.mi_port = 0;
        cfg.root = root;
        cfg.users = {{"bench", "bench-pw"}};
        cfg.log_level = 3;
        cfg.log_file = dir + "/tls_bench.log";
        cfg.tls_dir = certs + "/appliance";
        appliance *app = nullptr;
        std::string msg;
        int port = 0;
        if (appliance_start(cfg, &app, &msg) == 0)
            port = appliance_mi_port(app);
        else
            fprintf(stderr, "appliance: %s\n", msg.c_str());
        if (write(pfd[1], &port, sizeof port) != sizeof port)
            _exit(1);
        close(pfd[1]);
        for (;;)
            pause();
    }
    close(pfd[1]);
    int mi_port = 0;
    if (read(pfd[0], &mi_port, sizeof mi_port) != sizeof mi_port || mi_port == 0) {
        fprintf(stderr, "appliance did not start\n");
        return 1;
    }
    int32_t one = 1;
    dm_set_option(DM_OPT_NODELAY, &one, sizeof one);
    std::vector<char> buf(bsz);
    for (size_t i = 0; i < bsz; i++)
        buf[i] = static_cast<char>((i * 131 + 7) ^ (i >> 11));

    pass_result best[2];
    for (pass_result &b : best) {
        b.write_s = b.read_s = 1e30;
        b.write_cpu[0] = b.write_cpu[1] = b.read_cpu[0] = b.read_cpu[1] = 1e30;
    }
    bool ok = true;
    const char *only = getenv("KES_TLS_BENCH_ONLY");
    const int tls_from = only != nullptr && strcmp(only, "tls") == 0 ? 1 : 0;
    const int tls_to = only != nullptr && strcmp(only, "clear") == 0 ? 1 : 2;
    for (int r = 0; r < rounds && ok; ++r) {
        for (int tls = tls_from; tls < tls_to && ok; ++tls) {
            pass_result p = one_pass(mi_port, certs + "/client", tls != 0, size, buf, r, pid);
            ok = p.ok;
            best[tls].write_s = std::min(best[tls].write_s, p.write_s);
            best[tls].read_s = std::min(best[tls].read_s, p.read_s);
            for (int k = 0; k < 2; ++k) {
                best[tls].write_cpu[k] = std::min(best[tls].write_cpu[k], p.write_cpu[k]);
                best[tls].read_cpu[k] = std::min(best[tls].read_cpu[k], p.read_cpu[k]);
            }
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (system(("rm -rf '" + root + "' '" + tmpl + "' '" + dir + "/tls_bench.log'").c_str()) != 0)
        fprintf(stderr, "could not clean up %s\n", root.c_str());
    if (!ok) {
        fprintf(stderr, "a backup or restore failed\n");
        return 1;
    }
    auto rate = [&](double t) { return static_cast<double>(size) / (1 << 20) / t; };
    printf("bytes %" PRIu64 " MiB, block %zu KiB, directory %s, best of %d rounds\n", mib, bsz / 1024, dir.c_str(),
           rounds);
    if (tls_to - tls_from == 2) {
        printf("backup:  clear %.0f MiB/s, TLS %.0f MiB/s, ratio %.2f\n", rate(best[0].write_s),
               rate(best[1].write_s), best[0].write_s / best[1].write_s);
        printf("restore: clear %.0f MiB/s, TLS %.0f MiB/s, ratio %.2f\n", rate(best[0].read_s), rate(best[1].read_s),
               best[0].read_s / best[1].read_s);
    }
    // CPU per GiB moved, which other load on the machine hardly changes: on a
    // machine whose cores are all busy, throughput follows it.
    const double gib = static_cast<double>(size) / (1 << 30);
    for (int tls = tls_from; tls < tls_to; ++tls)
        printf("cpu s/GiB %-5s backup: client %.2f appliance %.2f; restore: client %.2f appliance %.2f\n",
               tls != 0 ? "TLS" : "clear", best[tls].write_cpu[0] / gib, best[tls].write_cpu[1] / gib,
               best[tls].read_cpu[0] / gib, best[tls].read_cpu[1] / gib);
    if (tls_to - tls_from == 2) {
        auto sum = [](const double *c) { return c[0] + c[1]; };
        printf("cpu ratio clear / TLS: backup %.2f, restore %.2f\n", sum(best[0].write_cpu) / sum(best[1].write_cpu),
               sum(best[0].read_cpu) / sum(best[1].read_cpu));
    } else {
        printf("backup:  %s %.0f MiB/s\n", only, rate(best[tls_from].write_s));
        printf("restore: %s %.0f MiB/s\n", only, rate(best[tls_from].read_s));
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("client peak rss: %ld MiB\n", ru.ru_maxrss / 1024);
    return 0;
}
