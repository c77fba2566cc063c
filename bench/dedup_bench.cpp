// Deduplicated backups through the library's SBT entry points on the BFST
// path, as RMAN drives them, beside a raw TCP copy of the same bytes over the
// same loopback in the same run.
//
//   dedup_bench [MiB (2048)] [address (127.0.0.251)] [directory (/dev/shm)]
//   dedup_bench --rates [MiB (256)]    what each step costs on one core
// With DEDUP_BENCH_SETTLE set the restore waits 5 s, so the appliance has
// made the page checksums of the third backup before it starts.
//
// The image is made of 8 KiB database blocks: about half random, a third
// compressible (rows of text with numbers), the rest zero-filled, laid out
// by a fixed shuffle, so every run backs up the same image. In order:
//   raw      a raw TCP copy of the image to a sink that writes it to a file
//   first    the first backup of the image
//   second   the same image again
//   third    the image with 5 % of its blocks changed
//   restore  the second backup read back (and compared)
//   plain    the image backed up over the data mover (no deduplication) and
//            read back, the yardstick of the restore
//   removal  every piece removed, and the chunk store's space given back
// For each backup: its rate and the ratio to the raw copy, the bytes that
// crossed the socket (the appliance's log of the library's link statistics)
// and the space the appliance's store grew by.
#include "appliance/appliance.h"
#include "bench/bench_sbt.h"
#include "bench/bench_util.h"
#include "bfst/bfst_dedup.h"
#include "datamover/dm_sums.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t BLOCK = 1 << 20;   // SBT block
constexpr size_t DB_BLOCK = 8192;   // database block

std::string g_addr;

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Rows of text with numbers: the compressible blocks are these, each made
// unique by its block number and seed in its header.
const std::vector<unsigned char> &row_blocks()
{
    static const std::vector<unsigned char> rows = [] {
        std::vector<unsigned char> r(64 * DB_BLOCK);
        for (int b = 0; b < 64; b++) {
            int n = 0;
            for (size_t at = 0; at < DB_BLOCK;) {
                char row[96];
                n++;
                int len = snprintf(row, sizeof row, "ROW%06d|CUSTOMER %08d|STATUS OPEN|AMOUNT %d|\n", n,
                                   b * 1000003 % 100000000, (b * 7919 + n * 37) % 99991);
                size_t k = std::min(DB_BLOCK - at, size_t(len));
                memcpy(r.data() + size_t(b) * DB_BLOCK + at, row, k);
                at += k;
            }
        }
        return r;
    }();
    return rows;
}

// Database block i of the image; version 1 changes 5 % of them.
void db_block(uint64_t i, int version, unsigned char *out)
{
    const uint64_t kind = mix(i * 7 + 1) % 100;
    uint64_t seed = mix(i);
    if (version == 1 && mix(i * 13 + 5) % 100 < 5)
        seed = mix(seed + 0xC0FFEE);
    if (kind < 20) {
        memset(out, 0, DB_BLOCK);
        if (seed != mix(i))
            memcpy(out, &seed, 8);  // a changed empty block is one with a header
        return;
    }
    if (kind < 55) {
        memcpy(out, row_blocks().data() + (seed % 64) * DB_BLOCK, DB_BLOCK);
        memcpy(out, &i, 8);
        memcpy(out + 8, &seed, 8);
        return;
    }
    for (size_t k = 0; k < DB_BLOCK; k += 8) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        memcpy(out + k, &seed, 8);
    }
}

void image_block(uint64_t sbt_block, int version, unsigned char *out)
{
    for (size_t k = 0; k < BLOCK / DB_BLOCK; k++)
        db_block(sbt_block * (BLOCK / DB_BLOCK) + k, version, out + k * DB_BLOCK);
}

[[noreturn]] void child(int report_fd, const std::string &dir)
{
    int raw_port = 0;
    int ls = bench_listen_loopback(&raw_port);
    appliance_config cfg = bench_appliance_config(dir, "dedup_bench");
    cfg.listen_addr = g_addr;
    cfg.mi_port = 10002;
    cfg.log_level = 6;  // the extents with the library's statistics
    bench_serve(report_fd, ls, raw_port, dir + "/dedup_bench.raw", cfg, appliance_mi_port);
}

uint64_t tree_bytes(const std::string &dir)
{
    uint64_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec))
            n += it->file_size(ec);
    return n;
}

// Socket bytes the library sent for a piece, from the appliance's log of
// its extents.
uint64_t socket_bytes(const std::string &log, const std::string &piece)
{
    uint64_t total = 0;
    std::istringstream in(log);
    std::string line;
    const std::string key = "bench/" + piece + ": extent at ";
    while (std::getline(in, line)) {
        size_t at = line.find(key);
        size_t s = line.find("; sent ");
        uint64_t actual = 0;
        if (at != std::string::npos && s != std::string::npos && sscanf(line.c_str() + s, "; sent %" SCNu64, &actual) == 1)
            total += actual;
    }
    return total;
}

// A raw copy of the image: generated block by block as the backups are.
double raw_copy(int port, uint64_t size)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return -1;
    std::vector<unsigned char> buf(BLOCK);
    double t0 = now_s();
    bool ok = write_all(s, &size, 8);
    for (uint64_t b = 0; ok && b < size / BLOCK; b++) {
        image_block(b, 0, buf.data());
        ok = write_all(s, buf.data(), BLOCK);
    }
    char ack;
    ok = ok && read_all(s, &ack, 1);
    double t = now_s() - t0;
    close(s);
    return ok ? t : -1;
}

double backup(Sbt &sbt, const std::string &name, uint64_t size, int version)
{
    void *ctx = sbt.ctx.data();
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    std::vector<unsigned char> buf(BLOCK);
    double t0 = now_s();
    if (sbt.v->backup(ctx, 0, name.c_str(), objs, BLOCK, 0) != 0)
        return sbt.fail("sbtbackup") ? -1 : -1;
    for (uint64_t b = 0; b < size / BLOCK; b++) {
        image_block(b, version, buf.data());
        if (sbt.v->write2(ctx, 0, buf.data()) != 0)
            return sbt.fail("sbtwrite2") ? -1 : -1;
    }
    if (sbt.v->close2(ctx, 0) != 0)
        return sbt.fail("sbtclose2") ? -1 : -1;
    return now_s() - t0;
}

// Reads a piece back and compares it with the image; seconds or -1.
double restore(Sbt &sbt, const std::string &name, uint64_t size, int version)
{
    void *ctx = sbt.ctx.data();
    std::vector<unsigned char> buf(BLOCK), want(BLOCK);
    double t0 = now_s();
    if (sbt.v->restore(ctx, 0, name.c_str(), BLOCK) != 0)
        return sbt.fail("sbtrestore") ? -1 : -1;
    for (uint64_t b = 0; b < size / BLOCK; b++) {
        if (sbt.v->read2(ctx, 0, buf.data()) != 0)
            return sbt.fail("sbtread2") ? -1 : -1;
        image_block(b, version, want.data());
        if (memcmp(buf.data(), want.data(), BLOCK) != 0) {
            fprintf(stderr, "%s: block %" PRIu64 " differs\n", name.c_str(), b);
            return -1;
        }
    }
    if (sbt.v->read2(ctx, 0, buf.data()) == 0) {
        fprintf(stderr, "%s: longer than the image\n", name.c_str());
        return -1;
    }
    double t = now_s() - t0;
    sbt.v->close2(ctx, 0);
    return t;
}

void remove_piece(Sbt &sbt, const std::string &name)
{
    std::string n = name;
    char *files[] = {n.data(), nullptr};
    if (sbt.v->remove2(sbt.ctx.data(), 0, files) != 0)
        sbt.fail("sbtremove2");
}

// CPU cost of each step of a deduplicated backup on one core, over the
// benchmark's image: the bound on what the backups above can reach.
void print_rates(uint64_t size)
{
    std::vector<unsigned char> img(static_cast<size_t>(size));
    auto rate = [&](double t, uint64_t n) { return double(n) / (1 << 20) / t; };
    double t0 = now_s();
    for (uint64_t b = 0; b < size / BLOCK; b++)
        image_block(b, 0, img.data() + b * BLOCK);
    printf("per core, MiB/s of image: generate %.0f", rate(now_s() - t0, size));
    std::vector<unsigned char> copy(img.size());
    t0 = now_s();
    memcpy(copy.data(), img.data(), img.size());
    printf(", memcpy %.0f", rate(now_s() - t0, size));
    std::vector<uint32_t> cuts;
    t0 = now_s();
    for (size_t at = 0; at < img.size();) {
        size_t n = bfst_chunk_cut(img.data() + at, img.size() - at);
        cuts.push_back(uint32_t(n));
        at += n;
    }
    printf(", chunk cut %.0f (%zu chunks, %.0f bytes on average)", rate(now_s() - t0, size), cuts.size(),
           double(size) / double(cuts.size()));
    t0 = now_s();
    bfst_fp fp;
    size_t at = 0;
    for (uint32_t n : cuts) {
        bfst_fingerprint(img.data() + at, n, &fp);
        at += n;
    }
    printf(", SHA-256 %.0f", rate(now_s() - t0, size));
    std::vector<unsigned char> packed(bfst_chunk_bound()), back(BFST_CHUNK_MAX);
    uint64_t stored = 0;
    double tp = 0, tu = 0;
    at = 0;
    for (uint32_t n : cuts) {
        uint32_t flags = 0;
        double a = now_s();
        size_t k = bfst_chunk_pack(img.data() + at, n, packed.data(), &flags);
        double b = now_s();
        if (flags != 0)
            bfst_chunk_unpack(packed.data(), k, flags, back.data(), n);
        tu += now_s() - b;
        tp += b - a;
        stored += k;
        at += n;
    }
    printf(", LZ4 pack %.0f (to %.2f), unpack %.0f", rate(tp, size), double(stored) / double(size), rate(tu, size));
    t0 = now_s();
    uint64_t s = 0;
    for (size_t p = 0; p < img.size(); p += DM_SUM_PAGE)
        s ^= dm_sum64(img.data() + p, std::min<size_t>(DM_SUM_PAGE, img.size() - p));
    printf(", page sums %.0f%s\n", rate(now_s() - t0, size), s == 1 ? " " : "");
}

// CPU seconds (user and system) a process spent so far.
double cpu_s(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t at = s.rfind(')');
    unsigned long long ut = 0, st = 0;
    if (at == std::string::npos ||
        sscanf(s.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
        return 0;
    return double(ut + st) / double(sysconf(_SC_CLK_TCK));
}

std::string read_text(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--rates") == 0) {
        print_rates((argc > 2 ? strtoull(argv[2], nullptr, 10) : 256) << 20);
        return 0;
    }
    const uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 2048;
    g_addr = argc > 2 ? argv[2] : "127.0.0.251";
    const std::string dir = argc > 3 ? argv[3] : "/dev/shm";
    const uint64_t size = mib << 20;
    signal(SIGPIPE, SIG_IGN);

    int ports[2];
    pid_t pid = bench_start_child(child, dir, ports, 2);
    if (pid < 0) {
        fprintf(stderr, "appliance did not start on %s (is port 10002 or 1062 taken there?)\n", g_addr.c_str());
        return 1;
    }
    const std::string windir = dir + "/dedup_bench.windir", store = dir + "/dedup_bench.store",
                      chunks = store + "/.bfst/chunks", log = dir + "/dedup_bench.log";
    mkdir(windir.c_str(), 0700);
    setenv("WINDIR", windir.c_str(), 1);
    const std::string params =
        "BACKUP_HOST=" + g_addr + ",BACKUP_SHARE=bench,BACKUP_USERNAME=bench,BACKUP_PASSWORD=bench-pw";
    auto ini = [&](const char *extra) {
        std::ofstream(windir + "/librmanKESTRALON.ini") << "DEBUG_LEVEL=error\n" << extra;
    };
    auto rate = [&](double t) { return double(size) / (1 << 20) / t; };
    int status = 0;
    Sbt sbt;
    printf("image %" PRIu64 " MiB in blocks of 1 MiB (8 KiB database blocks), appliance %s, directory %s\n", mib,
           g_addr.c_str(), dir.c_str());
    ini("");
    if (!sbt.load(KES_LIB_PATH) || !sbt.open(params)) {
        kill(pid, SIGKILL);
        return 1;
    }
    // CPU seconds of both sides per GiB of image since the last call
    double cpu_mark = cpu_s(getpid()) + cpu_s(pid);
    auto cpu_per_gib = [&] {
        const double now = cpu_s(getpid()) + cpu_s(pid), d = now - cpu_mark;
        cpu_mark = now;
        return d / (double(size) / double(1ULL << 30));
    };
    bench_warm_memory(size);
    double raw = raw_copy(ports[0], size);
    printf("raw tcp copy: %.0f MiB/s, %.2f CPU s/GiB\n", rate(raw), cpu_per_gib());
    const char *names[3] = {"first", "second", "third"};
    double t[3] = {};
    uint64_t grew[3] = {}, sock[3] = {};
    for (int i = 0; i < 3 && status == 0; i++) {
        uint64_t before = tree_bytes(store);
        bench_warm_memory(size);
        cpu_mark = cpu_s(getpid()) + cpu_s(pid);
        t[i] = backup(sbt, names[i], size, i == 2 ? 1 : 0);
        const double cpu = cpu_per_gib();
        if (t[i] <= 0 || raw <= 0) {
            status = 1;
            break;
        }
        grew[i] = tree_bytes(store) - before;
        sock[i] = socket_bytes(read_text(log), names[i]);
        printf("%-6s backup: %5.0f MiB/s, ratio to raw %.2f, socket %.4f of the image, store grew %.4f of it, "
               "%.2f CPU s/GiB\n",
               names[i], rate(t[i]), raw / t[i], double(sock[i]) / double(size), double(grew[i]) / double(size), cpu);
    }
    if (getenv("DEDUP_BENCH_SETTLE") != nullptr)
        sleep(5);  // (see the head of the file)
    bench_warm_memory(size);
    cpu_mark = cpu_s(getpid()) + cpu_s(pid);
    double tr = status == 0 ? restore(sbt, "second", size, 0) : -1;
    const double cpu_r = cpu_per_gib();
    // The yardstick: the same image over the data mover.
    sbt.v->end(sbt.ctx.data(), 0);
    ini("IO_PATH=1\n");
    double tp = -1, tpr = -1, cpu_pr = 0;
    if (tr > 0 && sbt.open(params)) {
        bench_warm_memory(size);
        tp = backup(sbt, "plain", size, 0);
        bench_warm_memory(size);
        cpu_mark = cpu_s(getpid()) + cpu_s(pid);
        tpr = tp > 0 ? restore(sbt, "plain", size, 0) : -1;
        cpu_pr = cpu_per_gib();
        remove_piece(sbt, "plain");
        sbt.v->end(sbt.ctx.data(), 0);
    }
    if (tr <= 0 || tpr <= 0) {
        status = 1;
    } else {
        printf("restore of the second backup: %.0f MiB/s (%.2f CPU s/GiB); of a plain (data mover) piece: %.0f "
               "MiB/s (%.2f CPU s/GiB); ratio %.2f\n",
               rate(tr), cpu_r, rate(tpr), cpu_pr, tpr / tr);
        printf("plain (data mover) backup: %.0f MiB/s, ratio to raw %.2f\n", rate(tp), raw / tp);
    }
    ini("");
    if (sbt.open(params)) {
        const uint64_t held = tree_bytes(chunks);
        for (const char *n : names)
            remove_piece(sbt, n);
        sbt.v->end(sbt.ctx.data(), 0);
        // the collector works in the background
        uint64_t left = held;
        for (int i = 0; i < 600 && (left = tree_bytes(chunks)) * 20 > held; i++)
            usleep(100000);
        printf("removal: the chunk store went from %" PRIu64 " to %" PRIu64 " bytes (%.1f %% reclaimed)\n", held, left,
               held != 0 ? 100.0 * double(held - left) / double(held) : 0.0);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::string rm = "rm -rf '" + store + "' '" + windir + "' '" + log + "' '" + dir + "/dedup_bench.raw'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "could not clean up %s\n", dir.c_str());
    return status;
}
