// Store throughput of the transfer library against the appliance's BFST
// service, beside a raw TCP copy of the same bytes over the same loopback in
// the same run, and the client's peak memory.
//
//   bfst_bench [MiB (2048)] [buffer KiB (1024)] [directory (/dev/shm)] [rounds (2)] [clear|psk (clear)]
//
// A child process serves both sides: the appliance with its root in the
// directory (tmpfs by default), and a plain TCP sink that writes the raw
// bytes to a file of the same directory. The parent is the client: it stores
// the bytes as the library's backup path does (a store per 256 MiB blob,
// each buffer attached without copying, tag and finish per blob), so its
// peak resident size is the client's. Raw copy and store alternate for the
// rounds asked.
#include "appliance/appliance.h"
#include "bench/bench_util.h"
#include "bfst/bfst2.h"

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t BLOB = 256ULL << 20;

[[noreturn]] void child(int report_fd, const std::string &dir)
{
    int raw_port = 0;
    int ls = bench_listen_loopback(&raw_port);
    bench_serve(report_fd, ls, raw_port, dir + "/bfst_bench.raw", bench_appliance_config(dir, "bfst_bench"),
                appliance_bfst_port);
}

bool ok(int rc, char *err, const char *what)
{
    if (rc != 0)
        fprintf(stderr, "%s: 0x%X %s\n", what, unsigned(rc), err != nullptr ? err : "");
    bfst2_free_error_string(err);
    return rc == 0;
}

// Stores size bytes from the buffer in blobs of 256 MiB; seconds, or -1.
double bfst_store(int port, uint64_t size, std::vector<char> &buf, bool psk, uint64_t *wire)
{
    char *e = nullptr;
    bfst2_credential *cred = nullptr;
    bfst2_connection *conn = nullptr;
    bfst2_session *sess = nullptr;
    if (psk && !ok(bfst2_credential_create_password(0x0B615B7B, "5C3E9A17B0D24F68A1E7C93B40D6F215", 0, &cred, &e), e,
                   "credential"))
        return -1;
    double t0 = now_s();
    if (!ok(bfst2_handle_create_remote_with_credential("127.0.0.1", uint32_t(port), 60, psk ? "ost" : "ost-no-encrypt",
                                                       cred, 0, &conn, &e),
            e, "handle") ||
        !ok(bfst2_connect(conn, 0x10000, &e), e, "connect") || !ok(bfst2_open(conn, 0, &e), e, "open") ||
        !ok(bfst2_session_create(conn, 0, &sess, &e), e, "session"))
        return -1;
    *wire = 0;
    for (uint64_t off = 0; off < size;) {
        bfst2_store *st = nullptr;
        if (!ok(bfst2_session_start(sess, 0, &e), e, "session start") ||
            !ok(bfst2_store_create(sess, 0, &st, &e), e, "store") || !ok(bfst2_store_start(st, 0x241, &e), e, "start"))
            return -1;
        uint64_t end = std::min(size, off + BLOB);
        for (; off < end;) {
            size_t n = size_t(std::min<uint64_t>(buf.size(), end - off));
            bfst2_buffer *b = nullptr;
            if (!ok(bfst2_buffer_create(0, &b, &e), e, "buffer") ||
                !ok(bfst2_buffer_attach_memory(b, buf.data(), n, 0, &e), e, "attach") ||
                !ok(bfst2_store_buffer(st, b, n, 0, &e), e, "store buffer"))
                return -1;
            bfst2_buffer_destroy(b, 0, nullptr);
            off += n;
        }
        unsigned char tag[33] = {32};
        uint64_t link[4] = {};
        if (!ok(bfst2_store_tag(st, 0, tag, &e), e, "tag") ||
            !ok(bfst2_store_get_link_statistics(st, 0, link, &e), e, "statistics") ||
            !ok(bfst2_store_finish(st, 0, &e), e, "finish") || !ok(bfst2_store_destroy(st, 0, &e), e, "destroy") ||
            !ok(bfst2_session_finish(sess, 0, &e), e, "session finish"))
            return -1;
        *wire += link[2];
    }
    bfst2_session_destroy(sess, 0, nullptr);
    bfst2_disconnect(conn, 0, nullptr);
    double t = now_s() - t0;
    bfst2_handle_destroy(conn, 0, nullptr);
    if (cred != nullptr)
        bfst2_credential_destroy(cred, 0, nullptr);
    return t;
}

}  // namespace

int main(int argc, char **argv)
{
    const uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 2048;
    const size_t bsz = (argc > 2 ? strtoull(argv[2], nullptr, 10) : 1024) * 1024;
    const std::string dir = argc > 3 ? argv[3] : "/dev/shm";
    const int rounds = argc > 4 ? atoi(argv[4]) : 2;
    const bool psk = argc > 5 && strcmp(argv[5], "psk") == 0;
    const uint64_t size = mib << 20;
    signal(SIGPIPE, SIG_IGN);

    int ports[2];
    pid_t pid = bench_start_child(child, dir, ports, 2);
    if (pid < 0) {
        fprintf(stderr, "appliance did not start\n");
        return 1;
    }
    std::vector<char> buf = bench_pattern(bsz);
    if (bfst2_initialize("BFST_RMAN", nullptr) != 0)
        return 1;

    auto rate = [&](double t) { return double(size) / (1 << 20) / t; };
    printf("bytes %" PRIu64 " MiB, buffer %zu KiB, directory %s, %s\n", mib, bsz / 1024, dir.c_str(),
           psk ? "TLS with pre-shared key" : "clear");
    std::vector<double> ratios;
    int status = 0;
    for (int r = 0; r < rounds; ++r) {
        double raw = bench_raw_copy(bench_connect_loopback(ports[0]), size, buf);
        uint64_t wire = 0;
        double bf = bfst_store(ports[1], size, buf, psk, &wire);
        if (raw <= 0 || bf <= 0) {
            status = 1;
            break;
        }
        ratios.push_back(raw / bf);
        printf("round %d: bfst %.0f MiB/s, raw tcp %.0f MiB/s, ratio %.2f (socket bytes %.4f of data)\n", r + 1,
               rate(bf), rate(raw), raw / bf, double(wire) / double(size));
    }
    bfst2_finalize(nullptr);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    unlink((dir + "/bfst_bench.raw").c_str());
    unlink((dir + "/bfst_bench.log").c_str());
    std::string rm = "rm -rf '" + dir + "/bfst_bench.store'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "could not remove %s/bfst_bench.store\n", dir.c_str());
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        printf("median ratio %.2f\n", ratios[ratios.size() / 2]);
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("client peak rss: %ld MiB\n", ru.ru_maxrss / 1024);
    return status;
}
