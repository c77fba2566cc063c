// Transport throughput on loopback: requests of one block each, sent
// zero-copy from one buffer and answered with a short response, against a
// raw TCP copy of the same bytes in the same run. Prints MB/s, the ratio and
// the peak memory of the process.
//   bench_xcomm_throughput [block_kb=256] [total_mb=1024] [window=16]
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "datamover/xcomm.h"

namespace {

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double raw_tcp(size_t block, size_t total)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(ls, 1);
    socklen_t len = sizeof a;
    getsockname(ls, reinterpret_cast<sockaddr *>(&a), &len);
    std::thread rx([&] {
        int s = accept(ls, nullptr, nullptr);
        std::vector<char> buf(block);
        size_t got = 0;
        while (got < total) {
            ssize_t r = recv(s, buf.data(), buf.size(), 0);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        close(s);
    });
    int s = socket(AF_INET, SOCK_STREAM, 0);
    connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    std::vector<char> buf(block, 'x');
    double t0 = now_s();
    for (size_t sent = 0; sent < total;) {
        ssize_t w = send(s, buf.data(), std::min(block, total - sent), 0);
        if (w <= 0)
            break;
        sent += static_cast<size_t>(w);
    }
    rx.join();
    double dt = now_s() - t0;
    close(s);
    close(ls);
    return static_cast<double>(total) / dt / 1e6;
}

double xcomm_run(size_t block, size_t total, int window)
{
    xcomm_ctx sctx{};
    xcomm_endp sendp{};
    xcomm_ctx_init(&sctx);
    xcomm_endp_init(&sctx, &sendp, "0@127.0.0.1", 4, 256, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS);
    xcomm_listen(&sctx, &sendp);
    int port = xcomm_endp_local_port(&sendp);
    std::atomic<bool> halt{false};
    std::thread srv([&] {
        while (!halt) {
            xcomm_msg *m = nullptr;
            struct timeval tv = {0, 20000};
            if (xcomm_endp_wait(&sctx, &sendp, &m, &tv, XCOMM_WAIT_INCOMING) != 0 || m == nullptr)
                continue;
            if (m->hdr.type == XCOMM_MSG_REQ && m->status == XCOMM_MSG_DONE) {
                xcomm_msg *r = xcomm_msg_alloc(16);
                xcomm_msg_reply_to(r, m);
                if (xcomm_send_msg(&sctx, &sendp, r) != 0)
                    xcomm_msg_free(r);
            }
            xcomm_msg_free(m);
        }
    });
    xcomm_ctx ctx{};
    xcomm_endp endp{};
    xcomm_ctx_init(&ctx);
    xcomm_endp_init(&ctx, &endp, "", 1, 256, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS);
    const xcomm_endp_owner own = {.reconnect = XCOMM_RECONNECT_OFF};
    xcomm_endp_set_owner(&endp, &own);
    char name[64];
    snprintf(name, sizeof name, "%d@127.0.0.1", port);
    if (xcomm_endp_open(&ctx, &endp, name) != 0) {
        fprintf(stderr, "open failed\n");
        exit(1);
    }
    std::vector<char> data(block, 'y');
    std::vector<xcomm_msg *> pool;
    for (int i = 0; i < window; ++i) {
        xcomm_msg *m = xcomm_msg_alloc(0);
        m->sgl_ents = 1;
        m->sgl[0].iov_base = data.data();
        m->sgl[0].iov_len = static_cast<uint32_t>(block);
        pool.push_back(m);
    }
    size_t blocks = total / block, sent = 0, done = 0;
    double t0 = now_s();
    while (done < blocks) {
        while (!pool.empty() && sent < blocks) {
            xcomm_msg *m = pool.back();
            m->hdr.type = XCOMM_MSG_REQ;
            if (xcomm_send_msg(&ctx, &endp, m) != 0)
                break;
            pool.pop_back();
            ++sent;
        }
        xcomm_msg *w = nullptr;
        if (xcomm_endp_wait(&ctx, &endp, &w, nullptr, XCOMM_WAIT_PENDING) != 0) {
            fprintf(stderr, "wait failed\n");
            exit(1);
        }
        if (w->rmsg != nullptr)
            xcomm_msg_free(w->rmsg);
        w->rmsg = nullptr;
        pool.push_back(w);
        ++done;
    }
    double dt = now_s() - t0;
    for (xcomm_msg *m : pool)
        xcomm_msg_free(m);
    xcomm_ctx_shutdown(&ctx);
    halt = true;
    srv.join();
    xcomm_endp_close_all(&sctx, &sendp);
    for (xcomm_msg *m = nullptr; xcomm_endp_wait(&sctx, &sendp, &m, XCOMM_Q_POLL, XCOMM_WAIT_INCOMING) == 0 && m != nullptr; m = nullptr)
        xcomm_msg_free(m);
    xcomm_ctx_shutdown(&sctx);
    return static_cast<double>(blocks * block) / dt / 1e6;
}

}  // namespace

int main(int argc, char **argv)
{
    size_t block = (argc > 1 ? strtoul(argv[1], nullptr, 10) : 256) * 1024;
    size_t total = (argc > 2 ? strtoul(argv[2], nullptr, 10) : 1024) * 1024 * 1024;
    int window = argc > 3 ? atoi(argv[3]) : 16;
    if (block == 0 || block > XCOMM_MAX_PAYLOAD || window <= 0) {
        fprintf(stderr, "usage: %s [block_kb<=16383] [total_mb] [window]\n", argv[0]);
        return 2;
    }
    xcomm_set_sockopt(XCOMM_OPT_NODELAY, 1);
    double raw = raw_tcp(block, total);
    double xc = xcomm_run(block, total, window);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("block %zu KiB, %zu MiB, window %d\n", block / 1024, total >> 20, window);
    printf("raw tcp   %9.1f MB/s\n", raw);
    printf("xcomm     %9.1f MB/s  (%.2f of raw)\n", xc, xc / raw);
    printf("peak rss  %9ld KiB\n", ru.ru_maxrss);
    return 0;
}
