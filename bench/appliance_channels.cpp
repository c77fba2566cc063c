// Several channels backing up at once through the appliance: each channel a
// thread with its own control session and DM client, writing one file. The
// same bytes are also copied over as many raw TCP connections into files of
// the same directory, in the same run, for the ratio.
//
//   appliance_channels [channels (4)] [MiB per channel (256)] [block KiB (1024)] [directory (/dev/shm)]
//
// The appliance runs in this process, so the peak memory printed is the
// appliance's and the clients' together.
#include "appliance/appliance.h"
#include "datamover/dm.h"
#include "datamover/ost_mi.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnauth.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Copies size bytes over each of n loopback connections into n files of dir.
double raw_copy(int n, uint64_t size, const std::vector<char> &block, const std::string &dir)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(ls, n) != 0 ||
        getsockname(ls, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return -1;
    std::vector<std::thread> ts;
    double t0 = now_s();
    for (int i = 0; i < n; i++) {
        ts.emplace_back([&, i] {  // the receiving side
            int s = accept(ls, nullptr, nullptr);
            std::string path = dir + "/appliance_channels.raw" + std::to_string(i);
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            std::vector<char> buf(block.size());
            for (ssize_t r; (r = recv(s, buf.data(), buf.size(), 0)) > 0;)
                if (write(fd, buf.data(), static_cast<size_t>(r)) != r)
                    break;
            fsync(fd);
            close(fd);
            close(s);
            unlink(path.c_str());
        });
        ts.emplace_back([&] {  // the sending side
            int s = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
                for (uint64_t off = 0; off < size;) {
                    ssize_t w = send(s, block.data(), std::min<uint64_t>(block.size(), size - off), MSG_NOSIGNAL);
                    if (w <= 0)
                        break;
                    off += static_cast<uint64_t>(w);
                }
            close(s);
        });
    }
    for (auto &t : ts)
        t.join();
    close(ls);
    return now_s() - t0;
}

// One channel: log in, learn the data-mover port, write the file, close it.
bool channel(uint16_t mi_port, int i, uint64_t size, const std::vector<char> &block)
{
    int err = 0;
    ost_mi_client *mi = ost_mi_client_create("127.0.0.1", mi_port, nullptr, nullptr, 0, nullptr, 0, 1, &err);
    mi_dm_port_req preq{0};
    mi_dm_port_reply prep{};
    if (mi == nullptr || pgnauth_authenticate(mi, "bench", "bench-pw") != 0 ||
        miSendRequest(mi, MI_DM_PORT, &preq, &prep) != 0 || prep.status != 0) {
        ost_mi_client_destroy(mi);
        return false;
    }
    std::string share_name = "generic:/bench/f" + std::to_string(i);
    mi_open_file_req oreq{MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, share_name.data()};
    mi_open_file_reply orep{};
    dm_client *dmc = dm_client_create("127.0.0.1", prep.port, nullptr, 0, 0, nullptr, 0, 1, &err);
    bool ok = dmc != nullptr && miSendRequest(mi, MI_OPEN_FILE, &oreq, &orep) == 0 && orep.status == 0;
    dm_file *df = nullptr;
    if (ok) {
        std::string name = "generic:" + std::to_string(orep.handle) + ":/bench/f" + std::to_string(i);
        df = dm_file_open(dmc, name.c_str(), KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL, &err);
        ok = df != nullptr;
    }
    for (uint64_t off = 0; ok && off < size; off += block.size())
        ok = dm_file_write(df, block.data(), off, static_cast<uint32_t>(std::min<uint64_t>(block.size(), size - off))) >= 0;
    if (df != nullptr) {
        ok = dm_file_flush(df) == 0 && ok;
        ok = dm_file_close(df) == 0 && ok;
    }
    if (ok) {
        mi_close_file_req creq{0, orep.handle};
        mi_close_file_reply crep{};
        ok = miSendRequest(mi, MI_CLOSE_FILE, &creq, &crep) == 0 && crep.status == 0;
    }
    dm_client_destroy(dmc);
    ost_mi_client_destroy(mi);
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    const int channels = argc > 1 ? atoi(argv[1]) : 4;
    const uint64_t mib = argc > 2 ? strtoull(argv[2], nullptr, 10) : 256;
    const size_t bsz = (argc > 3 ? strtoull(argv[3], nullptr, 10) : 1024) * 1024;
    const std::string dir = argc > 4 ? argv[4] : "/dev/shm";
    if (channels <= 0 || mib == 0 || bsz == 0) {
        fprintf(stderr, "usage: %s [channels] [MiB per channel] [block KiB] [directory]\n", argv[0]);
        return 2;
    }
    const uint64_t size = mib << 20;
    signal(SIGPIPE, SIG_IGN);
    std::vector<char> block(bsz);
    for (size_t i = 0; i < bsz; i++)
        block[i] = static_cast<char>(i * 131 + 7);

    double raw = raw_copy(channels, size, block, dir);

    appliance_config cfg;
    cfg.listen_addr = "127.0.0.1";
    cfg.mi_port = 0;
    cfg.root = dir + "/appliance_channels.store";
    mkdir(cfg.root.c_str(), 0700);
    cfg.users = {{"bench", "bench-pw"}};
    cfg.log_level = 3;
    cfg.log_file = dir + "/appliance_channels.log";
    appliance *app = nullptr;
    std::string msg;
    if (appliance_start(cfg, &app, &msg) != 0) {
        fprintf(stderr, "appliance: %s\n", msg.c_str());
        return 1;
    }
    int32_t one = 1;
    dm_set_option(DM_OPT_NODELAY, &one, sizeof one);
    std::atomic<int> failed{0};
    std::vector<std::thread> ts;
    double t0 = now_s();
    for (int i = 0; i < channels; i++)
        ts.emplace_back([&, i] {
            if (!channel(appliance_mi_port(app), i, size, block))
                failed++;
        });
    for (auto &t : ts)
        t.join();
    double dm = now_s() - t0;
    appliance_stop(app);
    std::string rm = "rm -rf '" + cfg.root + "' '" + cfg.log_file + "'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", cfg.root.c_str());

    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    auto rate = [&](double t) { return static_cast<double>(size * static_cast<uint64_t>(channels)) / (1 << 20) / t; };
    printf("%d channels x %" PRIu64 " MiB, block %zu KiB, directory %s\n", channels, mib, bsz / 1024, dir.c_str());
    printf("write: appliance %.0f MiB/s, raw tcp %.0f MiB/s, ratio %.2f\n", rate(dm), rate(raw), raw / dm);
    printf("peak rss (appliance and clients): %ld MiB\n", ru.ru_maxrss / 1024);
    if (failed != 0)
        printf("FAILED CHANNELS: %d\n", failed.load());
    return failed == 0 ? 0 : 1;
}
