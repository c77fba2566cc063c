// Throughput of the DM client over loopback, against a raw TCP copy of the
// same bytes in the same run, and the client's peak memory.
//
//   dm_bench [MiB (2048)] [block KiB (1024)] [directory (/dev/shm)]
//
// A child process serves both sides: the appliance service with its store in
// the directory (tmpfs by default), and a plain TCP sink/source that keeps
// the raw bytes in a file of the same directory. The parent is the client
// (control connection, then the DM client), so its peak resident size is
// the client's. With KES_BENCH_RESPONDER=1 a bare data-mover responder
// stands in for the appliance; with KES_BENCH_NO_VERIFY=1 the appliance
// does not check reads against its checksums (to measure what the check
// costs); with KES_BENCH_DIGESTS=1 the client checks every page it reads
// against them too.
#include "datamover/byteorder.h"
#include "datamover/dm_int.h"
#include "appliance/appliance.h"
#include "bench/bench_util.h"
#include "datamover/ost_mi.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnauth.h"

#include <arpa/inet.h>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
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

// ---------------------------------------------------------------- child: raw TCP

void raw_serve(int lsock, const std::string &path)
{
    std::vector<char> buf(1 << 20);
    for (;;) {
        int s = accept(lsock, nullptr, nullptr);
        if (s < 0)
            return;
        char cmd;
        uint64_t size;
        if (!read_all(s, &cmd, 1) || !read_all(s, &size, 8)) {
            close(s);
            return;
        }
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        for (uint64_t off = 0; off < size;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
            if (cmd == 'W') {
                if (!read_all(s, buf.data(), n) || pwrite(fd, buf.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n))
                    break;
            } else {
                if (pread(fd, buf.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n) || !write_all(s, buf.data(), n))
                    break;
            }
            off += n;
        }
        char ack = 1;
        write_all(s, &ack, 1);
        close(fd);
        close(s);
    }
}

// ---------------------------------------------------------------- child: DM responder

struct responder {
    xcomm_ctx ctx{};
    xcomm_endp endp{};
    std::string dir;
    std::vector<int> fds;  // by fh - 1
};

void reply(responder &r, xcomm_msg *req, const unsigned char *head, size_t hlen, const void *data, size_t dlen)
{
    xcomm_msg *m = xcomm_msg_alloc(static_cast<uint32_t>(hlen + dlen));
    memcpy(xcomm_msg_data(m), head, hlen);
    if (dlen > 0)
        memcpy(xcomm_msg_data(m) + hlen, data, dlen);
    m->hdr.type = XCOMM_MSG_RSP;
    m->hdr.rpc_id = req->hdr.rpc_id;
    m->fd = req->fd;
    if (xcomm_send_msg(&r.ctx, &r.endp, m) != 0)
        xcomm_msg_free(m);
}

void dm_serve(responder &r)
{
    std::vector<unsigned char> rbuf(DM_PAGE_SIZE);
    for (;;) {
        xcomm_msg *m = nullptr;
        struct timeval tv = {1, 0};
        int rc = xcomm_endp_wait(&r.ctx, &r.endp, &m, &tv, XCOMM_WAIT_INCOMING);
        if (rc != 0 || m == nullptr)
            continue;
        if (m->status != XCOMM_MSG_DONE || m->hdr.type != XCOMM_MSG_REQ || m->sgl_ents != 1 ||
            m->sgl[0].iov_len < DM_HDR_SIZE) {
            xcomm_msg_free(m);
            continue;
        }
        auto *p = static_cast<unsigned char *>(m->sgl[0].iov_base);
        const size_t len = m->sgl[0].iov_len;
        dm_hdr h;
        dm_hdr_decode(&h, p, len);
        unsigned char head[DM_OPEN_MSG_SIZE];
        memset(head, 0, sizeof head);
        memcpy(head, p, DM_HDR_SIZE);
        be_put16(head + 2, 0);
        switch (h.cmd) {
        case DM_CMD_CONFIG:
            be_put32(head + 16, DM_PAGE_SIZE);
            reply(r, m, head, DM_CONFIG_MSG_SIZE, nullptr, 0);
            break;
        case DM_CMD_OPEN: {
            dm_open_msg om;
            const char *name = nullptr;
            dm_open_req_decode(&om, &name, p, len);
            std::string path = r.dir + "/dm_bench.dm";
            int fd = open(path.c_str(), O_RDWR | O_CREAT | ((om.oflags & DM_OFLAG_CREAT) ? O_TRUNC : 0), 0600);
            r.fds.push_back(fd);
            struct stat st;
            fstat(fd, &st);
            be_put16(head + 4, static_cast<uint16_t>(r.fds.size()));
            be_put64(head + 32, static_cast<uint64_t>(st.st_size));
            reply(r, m, head, DM_OPEN_MSG_SIZE, nullptr, 0);
            break;
        }
        case DM_CMD_WRITE:
            if (pwrite(r.fds.at(h.fh - 1), p + DM_HDR_SIZE, len - DM_HDR_SIZE, static_cast<off_t>(h.off)) < 0)
                be_put16(head + 2, KES_EIO);
            reply(r, m, head, DM_HDR_SIZE, nullptr, 0);
            break;
        case DM_CMD_READ: {
            uint32_t want = std::min<uint32_t>(dm_hdr_len(&h), DM_PAGE_SIZE);
            ssize_t got = pread(r.fds.at(h.fh - 1), rbuf.data(), want, static_cast<off_t>(h.off));
            reply(r, m, head, DM_HDR_SIZE, rbuf.data(), got > 0 ? static_cast<size_t>(got) : 0);
            break;
        }
        case DM_CMD_CLOSE:
            close(r.fds.at(h.fh - 1));
            reply(r, m, head, DM_HDR_SIZE, nullptr, 0);
            break;
        default:
            reply(r, m, head, DM_HDR_SIZE, nullptr, 0);
        }
        xcomm_msg_free(m);
    }
}

[[noreturn]] void child(int report_fd, const std::string &dir)
{
    int raw_port = 0;
    int ls = bench_listen_loopback(&raw_port);

    std::thread raw([ls, dir] { raw_serve(ls, dir + "/dm_bench.raw"); });
    raw.detach();
    int32_t one = 1;
    dm_set_option(DM_OPT_NODELAY, &one, sizeof one);
    if (getenv("KES_BENCH_RESPONDER") == nullptr) {
        appliance_config cfg = bench_appliance_config(dir, "dm_bench");
        cfg.verify_reads = getenv("KES_BENCH_NO_VERIFY") == nullptr;
        appliance *app = nullptr;
        std::string msg;
        int ports[3] = {raw_port, 0, 0};
        if (appliance_start(cfg, &app, &msg) == 0) {
            ports[1] = appliance_mi_port(app);
            ports[2] = 1;
        } else {
            fprintf(stderr, "appliance: %s\n", msg.c_str());
        }
        write_all(report_fd, ports, sizeof ports);
        close(report_fd);
        for (;;)
            pause();
    }
    static responder r;
    r.dir = dir;
    xcomm_ctx_init(&r.ctx);
    xcomm_endp_init(&r.ctx, &r.endp, "0@127.0.0.1", 4, 1024, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS);
    xcomm_listen(&r.ctx, &r.endp);
    int ports[3] = {raw_port, xcomm_endp_local_port(&r.endp), 0};
    write_all(report_fd, ports, sizeof ports);
    close(report_fd);
    dm_serve(r);
    _exit(0);
}

// ---------------------------------------------------------------- parent: client

double raw_copy(int port, char cmd, uint64_t size, std::vector<char> &buf)
{
    int s = bench_connect_loopback(port);
    if (s < 0)
        return -1;
    double t0 = now_s();
    write_all(s, &cmd, 1);
    write_all(s, &size, 8);
    for (uint64_t off = 0; off < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
        bool ok = cmd == 'W' ? write_all(s, buf.data(), n) : read_all(s, buf.data(), n);
        if (!ok)
            return -1;
        off += n;
    }
    char ack;
    read_all(s, &ack, 1);
    double t = now_s() - t0;
    close(s);
    return t;
}

}  // namespace

int main(int argc, char **argv)
{
    const uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 2048;
    const size_t bsz = (argc > 2 ? strtoull(argv[2], nullptr, 10) : 1024) * 1024;
    const std::string dir = argc > 3 ? argv[3] : "/dev/shm";
    const uint64_t size = mib << 20;
    signal(SIGPIPE, SIG_IGN);

    int ports[3];
    pid_t pid = bench_start_child(child, dir, ports, 3);
    if (pid < 0) {
        fprintf(stderr, "responder did not start\n");
        return 1;
    }

    std::vector<char> buf = bench_pattern(bsz);

    double raw_w = raw_copy(ports[0], 'W', size, buf);
    double raw_r = raw_copy(ports[0], 'R', size, buf);

    int32_t one = 1;
    dm_set_option(DM_OPT_NODELAY, &one, sizeof one);
    if (getenv("KES_BENCH_DIGESTS") != nullptr)
        dm_set_digests(1);
    int err = 0;
    const bool appl = ports[2] != 0;
    ost_mi_client *mi = nullptr;
    int dm_port = ports[1];
    uint64_t handle = 0;
    // The control connection: log in, learn the data-mover port, open the file.
    auto mi_open = [&](int32_t mode) -> std::string {
        if (!appl)
            return "generic:1:/bench/file";
        mi_open_file_req req{mode, const_cast<char *>("generic:/bench/file")};
        mi_open_file_reply rep{};
        if (miSendRequest(mi, MI_OPEN_FILE, &req, &rep) != 0 || rep.status != 0)
            return "";
        handle = rep.handle;
        return "generic:" + std::to_string(rep.handle) + ":/bench/file";
    };
    auto mi_close = [&]() {
        if (!appl)
            return;
        mi_close_file_req req{0, handle};
        mi_close_file_reply rep{};
        miSendRequest(mi, MI_CLOSE_FILE, &req, &rep);
    };
    if (appl) {
        mi = ost_mi_client_create("127.0.0.1", ports[1], nullptr, nullptr, 0, nullptr, 0, 1, &err);
        mi_dm_port_req preq{0};
        mi_dm_port_reply prep{};
        if (mi == nullptr || pgnauth_authenticate(mi, "bench", "bench-pw") != 0 ||
            miSendRequest(mi, MI_DM_PORT, &preq, &prep) != 0 || prep.status != 0) {
            fprintf(stderr, "control connection failed\n");
            kill(pid, SIGKILL);
            return 1;
        }
        dm_port = prep.port;
    }
    dm_client *dmc = dm_client_create("127.0.0.1", dm_port, nullptr, 0, 0, nullptr, 0, 1, &err);
    if (dmc == nullptr) {
        fprintf(stderr, "dm_client_create: %s\n", util_err_name(err));
        kill(pid, SIGKILL);
        return 1;
    }
    std::string wname = mi_open(MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL);
    dm_file *df = dm_file_open(dmc, wname.c_str(), KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL, &err);
    if (df == nullptr) {
        fprintf(stderr, "dm_file_open: %s\n", util_err_name(err));
        kill(pid, SIGKILL);
        return 1;
    }
    double t0 = now_s();
    for (uint64_t off = 0; off < size; off += bsz) {
        int rc = dm_file_write(df, buf.data(), off, static_cast<uint32_t>(std::min<uint64_t>(bsz, size - off)));
        if (rc < 0) {
            fprintf(stderr, "dm_file_write: %s\n", util_err_name(rc));
            return 1;
        }
    }
    int rc = dm_file_flush(df);
    rc = rc != 0 ? rc : dm_file_close(df);
    mi_close();
    double dm_w = now_s() - t0;
    if (rc != 0) {
        fprintf(stderr, "flush/close: %d\n", rc);
        return 1;
    }

    std::string rname = mi_open(MI_OPEN_READ);
    df = dm_file_open(dmc, rname.c_str(), 0, &err);
    if (df == nullptr) {
        fprintf(stderr, "dm_file_open: %s\n", util_err_name(err));
        return 1;
    }
    std::vector<char> in(bsz);
    uint64_t mismatches = 0;
    t0 = now_s();
    for (uint64_t off = 0; off < size; off += bsz) {
        rc = dm_file_read(df, in.data(), off, static_cast<uint32_t>(bsz), nullptr);
        if (rc <= 0) {
            fprintf(stderr, "dm_file_read at %" PRIu64 ": %d\n", off, rc);
            return 1;
        }
        if (in[static_cast<size_t>(rc) - 1] != buf[static_cast<size_t>(rc) - 1] || in[0] != buf[0])
            mismatches++;
    }
    double dm_r = now_s() - t0;
    dm_file_close(df);
    mi_close();
    dm_client_destroy(dmc);
    if (mi != nullptr)
        ost_mi_client_destroy(mi);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    unlink((dir + "/dm_bench.dm").c_str());
    unlink((dir + "/dm_bench.raw").c_str());
    unlink((dir + "/dm_bench.log").c_str());
    std::string rm = "rm -rf '" + dir + "/dm_bench.store'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "could not remove %s/dm_bench.store\n", dir.c_str());

    struct rusage ru, peer;
    getrusage(RUSAGE_SELF, &ru);
    getrusage(RUSAGE_CHILDREN, &peer);
    auto rate = [&](double t) { return static_cast<double>(size) / (1 << 20) / t; };
    printf("peer %s%s%s; bytes %" PRIu64 " MiB, block %zu KiB, directory %s\n", appl ? "appliance" : "bare responder",
           appl && getenv("KES_BENCH_NO_VERIFY") != nullptr ? " (reads unchecked)" : "",
           getenv("KES_BENCH_DIGESTS") != nullptr ? ", client digests" : "", mib, bsz / 1024, dir.c_str());
    printf("write: dm %.0f MiB/s, raw tcp %.0f MiB/s, ratio %.2f\n", rate(dm_w), rate(raw_w), raw_w / dm_w);
    printf("read:  dm %.0f MiB/s, raw tcp %.0f MiB/s, ratio %.2f\n", rate(dm_r), rate(raw_r), raw_r / dm_r);
    printf("client peak rss: %ld MiB\n", ru.ru_maxrss / 1024);
    auto cpu = [](const struct rusage &r) {
        return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    printf("cpu seconds: client %.2f, peer %.2f (both directions and the raw copies)\n", cpu(ru), cpu(peer));
    if (mismatches != 0)
        printf("MISMATCHED BLOCKS: %" PRIu64 "\n", mismatches);
    return mismatches == 0 ? 0 : 1;
}
