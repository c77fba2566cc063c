// kestralon-sbttest: loads an SBT 2.0 media-management library and drives it
// exactly as RMAN does. Runs a self-test cycle (write, read back, verify,
// query, remove) or single operations on backup pieces.
#include <getopt.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/rman/rman_pgn_api.h"
#include "tools/sbttest_os.h"

namespace {

constexpr const char *kTrailerMagic = "KESTRALON-SBTTEST-TRAILER-1";
constexpr size_t kMinBlock = 512;
constexpr size_t kMaxBlock = 64u << 20;

struct Options {
    std::string lib;
    size_t block_size = 262144;
    uint64_t blocks = 64;
    uint32_t seed = 1;
    std::string params;
    std::string trace;
    int trace_level = 0;
    std::string name;
    bool quiet = false;
};

void usage(FILE *out)
{
    fprintf(out,
            "Usage: kestralon-sbttest [options] COMMAND [ARGS]\n"
            "\n"
            "Drives an SBT 2.0 media-management library the way RMAN does.\n"
            "\n"
            "Commands:\n"
            "  test                     self-test cycle: sbtinit twice, sbtinit2, back up --blocks blocks of\n"
            "                           seeded pseudo-random data, sbtinfo2, restore and verify, remove,\n"
            "                           a command, sbtend; ends with a verdict\n"
            "  backup NAME [FILE|-]     back up a local file (or standard input) as the backup piece NAME\n"
            "  restore NAME [FILE|-]    restore the backup piece NAME to a file (or standard output); fails\n"
            "                           when the length trailer that ends a backup is missing or disagrees\n"
            "  info NAME...             show what the library reports about backup pieces\n"
            "  remove NAME...           remove backup pieces\n"
            "  command TEXT             send TEXT through sbtcommand\n"
            "\n"
            "Backups take the library's data path as RMAN's do: with librmanKESTRALON.so's default\n"
            "configuration the BFST path (libbfst64.so to TCP port 1062 of BACKUP_HOST), or the data\n"
            "mover when IO_PATH=1 is in $WINDIR/librmanKESTRALON.ini; restores use the data mover.\n"
            "\n"
            "Options:\n"
            "  -l, --lib PATH           library to load (default: $KESTRALON_SBT_LIB, else\n"
            "                           librmanKESTRALON.so beside this program, else the one in\n"
            "                           " KES_LIBDIR ")\n"
            "  -b, --block-size N       RMAN block size in bytes (default 262144; K and M suffixes allowed)\n"
            "  -n, --blocks N           blocks written by the self-test (default 64)\n"
            "  -s, --seed N             seed of the self-test data (default 1)\n"
            "  -e, --env PAIRS          channel parameters as RMAN passes them, e.g.\n"
            "                           'BACKUP_HOST=127.0.0.1,BACKUP_SHARE=rman' or 'ENV=(A=1, B=2)'\n"
            "  -P, --password-file FILE the password (first line of FILE, which only its owner may read);\n"
            "                           without it the library takes BACKUP_PASSWORD from the environment.\n"
            "                           A password given with --env is visible to every user in ps.\n"
            "  -t, --trace FILE         SBT trace file handed to sbtinit and sbtinit2\n"
            "  -T, --trace-level N      RMAN trace level for sbtinit2 (0 keep, 1 TRACE, 2 TRACE1)\n"
            "  -N, --name NAME          backup piece name used by the self-test\n"
            "  -q, --quiet              no progress lines\n"
            "  -h, --help               this text\n"
            "  -V, --version            the version\n"
            "\n"
            "Exit status: 0 success, 1 the library reported a failure or the data did not verify,\n"
            "2 bad usage or the library could not be loaded.\n");
}

bool parse_size(const char *s, uint64_t *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno != 0 || end == s)
        return false;
    if (*end == 'k' || *end == 'K') {
        v *= 1024;
        end++;
    } else if (*end == 'm' || *end == 'M') {
        v *= 1024 * 1024;
        end++;
    }
    if (*end != '\0')
        return false;
    *out = v;
    return true;
}

// "ENV=(A=1, B=2)" becomes "A=1, B=2"; plain pair lists pass unchanged.
std::string channel_params(const std::string &in)
{
    std::string s = in;
    if (s.rfind("ENV=(", 0) == 0 || s.rfind("env=(", 0) == 0) {
        s = s.substr(5);
        if (!s.empty() && s.back() == ')')
            s.pop_back();
    } else if (!s.empty() && s.front() == '(' && s.back() == ')') {
        s = s.substr(1, s.size() - 2);
    }
    return s;
}

// The password of --password-file: the first line of a file that only its
// owner may read. It goes into this process's environment, which the library
// reads and which, unlike the command line, other users cannot see.
bool load_password_file(const char *path)
{
    int fd = sbttest_os::open_read(path);
    if (fd < 0) {
        fprintf(stderr, "error: cannot open the password file %s: %s\n", path, strerror(errno));
        return false;
    }
    int kind = sbttest_os::check_private(fd);
    if (kind == 1) {
        fprintf(stderr, "error: the password file %s is not a regular file\n", path);
        sbttest_os::close_fd(fd);
        return false;
    }
    if (kind == 2) {
        fprintf(stderr, "error: the password file %s can be read by other users; make it private with: chmod 600 %s\n",
                path, path);
        sbttest_os::close_fd(fd);
        return false;
    }
    char buf[1024];
    long n;
    do {
        n = sbttest_os::read_fd(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    sbttest_os::close_fd(fd);
    if (n < 0)
        n = 0;
    buf[n] = '\0';
    buf[strcspn(buf, "\r\n")] = '\0';
    bool ok = buf[0] != '\0';
    if (!ok)
        fprintf(stderr, "error: the password file %s holds no password\n", path);
    else if (!sbttest_os::set_env("BACKUP_PASSWORD", buf))
        ok = false;
    explicit_bzero(buf, sizeof buf);
    return ok;
}

// True when a parameter list names BACKUP_PASSWORD.
bool names_password(const std::string &params)
{
    return params.find("BACKUP_PASSWORD=") != std::string::npos;
}

std::string default_lib()
{
    if (const char *e = getenv("KESTRALON_SBT_LIB"); e != nullptr && *e != '\0')
        return e;
    std::string dir = sbttest_os::self_path();
    if (!dir.empty()) {
        dir = dir.substr(0, dir.rfind(sbttest_os::SEP));
        std::string beside = dir + sbttest_os::SEP + sbttest_os::LIB_NAME;
        if (sbttest_os::exists(beside.c_str()))
            return beside;
    }
    // Installed, the tester lives in the system's program directory and the
    // library in its own.
    return std::string(KES_LIBDIR) + sbttest_os::SEP + sbttest_os::LIB_NAME;
}

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Progress of a long transfer on standard error, about once a second.
class Progress {
public:
    Progress(const char *what, bool quiet) : what_(what), quiet_(quiet || !sbttest_os::stderr_is_tty()), start_(now_s()), last_(start_) {}
    void add(uint64_t n)
    {
        bytes_ += n;
        double t = now_s();
        if (!quiet_ && t - last_ >= 1.0) {
            last_ = t;
            fprintf(stderr, "\r  %s %10.1f MiB  %8.1f MiB/s", what_, bytes_ / 1048576.0, rate());
            fflush(stderr);
        }
    }
    void finish(FILE *out)
    {
        if (!quiet_ && last_ != start_)
            fprintf(stderr, "\n");
        fprintf(out, "%s %" PRIu64 " bytes in %.2f s: %.1f MiB/s\n", what_, bytes_, now_s() - start_, rate());
    }
    double rate() const
    {
        double t = now_s() - start_;
        return t > 0 ? bytes_ / 1048576.0 / t : 0.0;
    }

private:
    const char *what_;
    bool quiet_;
    double start_, last_;
    uint64_t bytes_ = 0;
};

class Library {
public:
    bool load(const std::string &path)
    {
        std::string err;
        handle_ = sbttest_os::load(path.c_str(), &err);
        if (handle_ == nullptr) {
            fprintf(stderr, "error: cannot load %s: %s\n", path.c_str(), err.c_str());
            return false;
        }
        init_ = reinterpret_cast<decltype(init_)>(sbttest_os::sym(handle_, "sbtinit"));
        if (init_ == nullptr) {
            fprintf(stderr, "error: %s has no sbtinit: it is not an SBT 2.0 library\n", path.c_str());
            return false;
        }
        return true;
    }
    ~Library()
    {
        if (handle_ != nullptr)
            sbttest_os::unload(handle_);
    }
    int (*init_)(uint64_t *, sbt_item *, sbt_item **) = nullptr;

private:
    void *handle_ = nullptr;
};

// One RMAN channel.
class Channel {
public:
    explicit Channel(const Options &o) : o_(o) {}
    ~Channel()
    {
        if (ctx_ != nullptr && v_ != nullptr && ended_ == false)
            v_->end(ctx_, 0);
        sbttest_os::aligned_free(ctx_);
    }

    bool sbtinit(Library &lib, bool verbose)
    {
        sbt_item in[2] = {};
        int n = 0;
        if (!o_.trace.empty())
            in[n++] = {SBT_INIT_TRACE_FILE, const_cast<char *>(o_.trace.c_str())};
        in[n] = {SBT_INIT_END, nullptr};
        uint64_t err = 0;
        sbt_item *out = nullptr;
        if (lib.init_(&err, in, &out) != 0) {
            fprintf(stderr, "error: sbtinit failed with code %" PRIu64 "\n", err);
            return false;
        }
        list_ = out;
        v_ = nullptr;
        ctx_size_ = 0;
        for (sbt_item *it = out; it->type != SBT_INIT_END; it++) {
            if (it->type == SBT_INIT_VECTOR)
                v_ = static_cast<const sbt_vector *>(it->value);
            else if (it->type == SBT_INIT_CTX_SIZE)
                ctx_size_ = *static_cast<const uint32_t *>(it->value);
            else if (verbose && it->type == SBT_INIT_MMS_DESC)
                printf("  media manager: %s\n", static_cast<const char *>(it->value));
            else if (verbose && it->type == SBT_INIT_MMS_VERSION) {
                uint32_t ver = *static_cast<const uint32_t *>(it->value);
                printf("  version: %u.%u.%u.%u\n", ver >> 24, (ver >> 16) & 0xFF, (ver >> 8) & 0xFF, ver & 0xFF);
            } else if (verbose && it->type == SBT_INIT_NAME_MAX)
                printf("  file name bound: %u\n", *static_cast<const uint32_t *>(it->value));
        }
        if (v_ == nullptr || ctx_size_ == 0 || ctx_size_ > (1u << 20)) {
            fprintf(stderr, "error: sbtinit returned no usable entry-point vector or context size\n");
            return false;
        }
        if (verbose)
            printf("  context size: %u\n", ctx_size_);
        sbttest_os::aligned_free(ctx_);
        ctx_ = sbttest_os::aligned_new(16, (ctx_size_ + 15) / 16 * 16);
        if (ctx_ == nullptr)
            return false;
        memset(ctx_, 0, ctx_size_);
        return true;
    }

    bool sbtinit2()
    {
        std::string params = channel_params(o_.params);
        int32_t level = o_.trace_level;
        sbt_item in[4] = {};
        int n = 0;
        if (!params.empty())
            in[n++] = {SBT_INIT2_PARAMS, const_cast<char *>(params.c_str())};
        if (!o_.trace.empty()) {
            in[n++] = {SBT_INIT2_TRACE_LEVEL, &level};
            in[n++] = {SBT_INIT2_TRACE_FILE, const_cast<char *>(o_.trace.c_str())};
        }
        in[n] = {SBT_LIST_END, nullptr};
        sbt_item *out = nullptr;
        return check(v_->init2(ctx_, 0, in, &out), "sbtinit2");
    }

    // Reports a failed call with the library's own code and message.
    bool check(int rc, const char *what)
    {
        if (rc == 0)
            return true;
        uint32_t code = 0;
        char *text = nullptr;
        if (v_->error(ctx_, 0, &code, &text) == 0) {
            const char *msg = text != nullptr ? text : "";
            // The library sets this code with no text (RMAN knows it): say it.
            if (code == SBT_ERROR_FILE_EXISTS && msg[0] == '\0')
                msg = "a backup piece of this name already exists on the appliance";
            fprintf(stderr, "error: %s failed: code %u: %s\n", what, code, msg);
        } else
            fprintf(stderr, "error: %s failed without an error code\n", what);
        last_code_ = code;
        return false;
    }

    bool end()
    {
        ended_ = true;
        return check(v_->end(ctx_, 0), "sbtend");
    }

    const sbt_vector *v() const { return v_; }
    void *ctx() const { return ctx_; }
    sbt_item *list() const { return list_; }
    uint32_t last_code() const { return last_code_; }

    // Reads one block: 1 data, 0 end of file, -1 failure.
    int read_block(void *buf)
    {
        if (v_->read2(ctx_, 0, buf) == 0)
            return 1;
        uint32_t code = 0;
        char *text = nullptr;
        v_->error(ctx_, 0, &code, &text);
        if (code == SBT_ERROR_EOF)
            return 0;
        fprintf(stderr, "error: sbtread2 failed: code %u: %s\n", code, text ? text : "");
        return -1;
    }

private:
    const Options &o_;
    const sbt_vector *v_ = nullptr;
    sbt_item *list_ = nullptr;
    void *ctx_ = nullptr;
    uint32_t ctx_size_ = 0;
    uint32_t last_code_ = 0;
    bool ended_ = false;
};

// Deterministic block contents for the self-test.
void fill_block(unsigned char *buf, size_t size, uint32_t seed, uint64_t index)
{
    uint64_t x = (static_cast<uint64_t>(seed) << 32) ^ (index * 0x9E3779B97F4A7C15ULL) ^ 0xD1B54A32D192ED03ULL;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        size_t n = size - i < 8 ? size - i : 8;
        memcpy(buf + i, &x, n);
    }
}

void print_info(const sbt_item *list)
{
    for (const sbt_item *it = list;; it++) {
        switch (it->type) {
        case 1:
            printf("  file: %s\n", it->value ? static_cast<const char *>(it->value) : "(null)");
            break;
        case 8:
            printf("    not found\n");
            break;
        case 2:
            printf("    method: %u\n", it->value ? *static_cast<const uint32_t *>(it->value) : 0);
            break;
        case 6:
            printf("    sharing: %u\n", it->value ? *static_cast<const uint32_t *>(it->value) : 0);
            break;
        case 3:
            if (it->value != nullptr) {
                time_t t = static_cast<time_t>(*static_cast<const int64_t *>(it->value));
                char when[64];
                struct tm tm;
                sbttest_os::local_time(t, &tm);
                strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
                printf("    created: %s\n", when);
            }
            break;
        case 5:
            printf("    label: %s\n", it->value ? static_cast<const char *>(it->value) : "(null)");
            break;
        case SBT_LIST_END:
            return;
        default:
            printf("    item type %u\n", it->type);
            break;
        }
    }
}

int info_found(const sbt_item *list)
{
    int found = 0;
    for (const sbt_item *it = list; it->type != SBT_LIST_END; it++)
        if (it->type == 3)
            found++;
    return found;
}

bool write_all(int fd, const unsigned char *p, size_t n)
{
    while (n > 0) {
        long w = sbttest_os::write_fd(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Fills buf from fd; returns the bytes read (short only at the end) or -1.
long read_full(int fd, unsigned char *buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        long r = sbttest_os::read_fd(fd, buf + got, size - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<long>(got);
}

struct Trailer {
    char magic[32];
    uint64_t length;
    uint64_t block_size;
};

int cmd_test(Library &lib, const Options &o)
{
    std::string name = o.name;
    if (name.empty())
        name = "kes-selftest-" + std::to_string(sbttest_os::pid()) + "-" + std::to_string(time(nullptr));
    int step = 0;
    auto say = [&](const char *what) { printf("[%2d] %s\n", ++step, what); };
    auto fail = [&](const char *why) {
        printf("SELF-TEST FAILED at step %d: %s\n", step, why);
        return 1;
    };

    Channel ch(o);
    say("sbtinit");
    if (!ch.sbtinit(lib, true))
        return fail("sbtinit");
    sbt_item *first = ch.list();
    say("sbtinit again: the same output list");
    if (!ch.sbtinit(lib, false))
        return fail("second sbtinit");
    if (ch.list() != first)
        return fail("the second sbtinit returned another list");
    say("sbtinit2 with the channel parameters");
    if (!ch.sbtinit2())
        return fail("sbtinit2");

    std::vector<unsigned char> buf(o.block_size), want(o.block_size);
    char label[] = "SELFTEST";
    uint32_t t3 = 1, t5 = 2;
    sbt_item objs[4] = {{2, label}, {3, &t3}, {5, &t5}, {SBT_OBJECT_END, nullptr}};
    printf("[%2d] sbtbackup %s, %" PRIu64 " blocks of %zu bytes\n", ++step, name.c_str(), o.blocks, o.block_size);
    if (!ch.check(ch.v()->backup(ch.ctx(), 0, name.c_str(), objs, o.block_size, o.blocks * o.block_size), "sbtbackup"))
        return fail("sbtbackup");
    {
        Progress p("written", o.quiet);
        for (uint64_t i = 0; i < o.blocks; i++) {
            fill_block(buf.data(), buf.size(), o.seed, i);
            if (!ch.check(ch.v()->write2(ch.ctx(), 0, buf.data()), "sbtwrite2"))
                return fail("sbtwrite2");
            p.add(buf.size());
        }
        say("sbtclose2");
        if (!ch.check(ch.v()->close2(ch.ctx(), 0), "sbtclose2"))
            return fail("sbtclose2 after backup");
        p.finish(stdout);
    }

    char *files[] = {name.data(), nullptr};
    sbt_item *info = nullptr;
    say("sbtinfo2");
    if (!ch.check(ch.v()->info2(ch.ctx(), 0, files, &info), "sbtinfo2") || info == nullptr)
        return fail("sbtinfo2");
    print_info(info);
    if (info_found(info) != 1)
        return fail("sbtinfo2 does not report the piece");

    say("sbtrestore and read back");
    if (!ch.check(ch.v()->restore(ch.ctx(), 0, name.c_str(), o.block_size), "sbtrestore"))
        return fail("sbtrestore");
    {
        Progress p("read", o.quiet);
        uint64_t n = 0;
        for (;;) {
            int r = ch.read_block(buf.data());
            if (r < 0)
                return fail("sbtread2");
            if (r == 0)
                break;
            fill_block(want.data(), want.size(), o.seed, n);
            if (memcmp(buf.data(), want.data(), want.size()) != 0) {
                printf("  block %" PRIu64 " differs from what was written\n", n);
                return fail("verify");
            }
            n++;
            p.add(buf.size());
        }
        if (n != o.blocks) {
            printf("  read %" PRIu64 " blocks, wrote %" PRIu64 "\n", n, o.blocks);
            return fail("verify");
        }
        say("sbtclose2");
        if (!ch.check(ch.v()->close2(ch.ctx(), 0), "sbtclose2"))
            return fail("sbtclose2 after restore");
        p.finish(stdout);
        printf("  all %" PRIu64 " blocks verified\n", n);
    }

    say("sbtremove2");
    if (!ch.check(ch.v()->remove2(ch.ctx(), 0, files), "sbtremove2"))
        return fail("sbtremove2");
    say("sbtinfo2 after removal");
    if (!ch.check(ch.v()->info2(ch.ctx(), 0, files, &info), "sbtinfo2") || info == nullptr)
        return fail("sbtinfo2");
    print_info(info);
    if (info_found(info) != 0)
        return fail("the removed piece is still reported");
    say("sbtcommand \"test selftest\"");
    if (!ch.check(ch.v()->command(ch.ctx(), 0, "test selftest"), "sbtcommand"))
        return fail("sbtcommand");
    say("sbtend");
    if (!ch.end())
        return fail("sbtend");
    printf("SELF-TEST PASSED\n");
    return 0;
}

int open_channel(Library &lib, const Options &, Channel &ch)
{
    if (!ch.sbtinit(lib, false) || !ch.sbtinit2())
        return 1;
    return 0;
}

int cmd_backup(Library &lib, const Options &o, const std::string &name, const std::string &path)
{
    int fd = 0;
    if (path != "-") {
        fd = sbttest_os::open_read(path.c_str());
        if (fd < 0) {
            fprintf(stderr, "error: cannot open %s: %s\n", path.c_str(), strerror(errno));
            return 1;
        }
    }
    Channel ch(o);
    if (open_channel(lib, o, ch) != 0)
        return 1;
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    if (!ch.check(ch.v()->backup(ch.ctx(), 0, name.c_str(), objs, o.block_size, 0), "sbtbackup"))
        return 1;
    std::vector<unsigned char> buf(o.block_size);
    uint64_t total = 0;
    Progress p("backed up", o.quiet);
    bool ok = true;
    for (;;) {
        long n = read_full(fd, buf.data(), buf.size());
        if (n < 0) {
            fprintf(stderr, "error: reading %s: %s\n", path.c_str(), strerror(errno));
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (static_cast<size_t>(n) < buf.size())
            memset(buf.data() + n, 0, buf.size() - static_cast<size_t>(n));
        if (!ch.check(ch.v()->write2(ch.ctx(), 0, buf.data()), "sbtwrite2")) {
            ok = false;
            break;
        }
        total += static_cast<uint64_t>(n);
        p.add(static_cast<uint64_t>(n));
        if (static_cast<size_t>(n) < buf.size())
            break;
    }
    if (ok) {
        // The last block records the exact length so a restore gives back the same bytes.
        memset(buf.data(), 0, buf.size());
        Trailer t = {};
        snprintf(t.magic, sizeof t.magic, "%s", kTrailerMagic);
        t.length = total;
        t.block_size = o.block_size;
        memcpy(buf.data(), &t, sizeof t);
        ok = ch.check(ch.v()->write2(ch.ctx(), 0, buf.data()), "sbtwrite2");
    }
    bool closed = ch.check(ch.v()->close2(ch.ctx(), 0), "sbtclose2");
    if (fd > 0)
        sbttest_os::close_fd(fd);
    if (!ok || !closed)
        return 1;
    p.finish(stdout);
    return ch.end() ? 0 : 1;
}

int cmd_restore(Library &lib, const Options &o, const std::string &name, const std::string &path)
{
    Channel ch(o);
    if (open_channel(lib, o, ch) != 0)
        return 1;
    if (!ch.check(ch.v()->restore(ch.ctx(), 0, name.c_str(), o.block_size), "sbtrestore"))
        return 1;
    int fd = 1;
    if (path != "-") {
        fd = sbttest_os::open_write(path.c_str());
        if (fd < 0) {
            fprintf(stderr, "error: cannot create %s: %s\n", path.c_str(), strerror(errno));
            return 1;
        }
    }
    FILE *report = fd == 1 ? stderr : stdout;
    // The last two blocks are held back: the last one may be the length
    // trailer, which says how much of the one before it is data.
    std::vector<unsigned char> bufs[3] = {std::vector<unsigned char>(o.block_size),
                                          std::vector<unsigned char>(o.block_size),
                                          std::vector<unsigned char>(o.block_size)};
    int held = 0;  // blocks held, oldest in bufs[0]
    bool ok = true;
    uint64_t written = 0;
    Progress p("restored", o.quiet);
    auto emit = [&](const unsigned char *b, size_t n) {
        if (!write_all(fd, b, n)) {
            fprintf(stderr, "error: writing %s: %s\n", path.c_str(), strerror(errno));
            return false;
        }
        written += n;
        p.add(n);
        return true;
    };
    for (;;) {
        int r = ch.read_block(bufs[held].data());
        if (r < 0) {
            ok = false;
            break;
        }
        if (r == 0)
            break;
        if (++held == 3) {
            if (!emit(bufs[0].data(), o.block_size)) {
                ok = false;
                break;
            }
            std::swap(bufs[0], bufs[1]);
            std::swap(bufs[1], bufs[2]);
            held = 2;
        }
    }
    // The piece must end with the trailer, and the trailer must agree with
    // what arrived: anything else is a piece that lost data.
    if (ok) {
        const uint64_t bs = o.block_size;
        const uint64_t blocks = written / bs + static_cast<uint64_t>(held);
        Trailer t = {};
        if (held > 0)
            memcpy(&t, bufs[held - 1].data(), sizeof t);
        if (held == 0 || memcmp(t.magic, kTrailerMagic, strlen(kTrailerMagic) + 1) != 0) {
            fprintf(stderr,
                    "error: %s does not end with the length trailer that kestralon-sbttest writes (%" PRIu64
                    " blocks read): the piece is incomplete or was not written by kestralon-sbttest\n",
                    name.c_str(), blocks);
            ok = false;
        } else if (t.block_size != bs) {
            fprintf(stderr, "error: %s was written with --block-size %" PRIu64 "; restore it with that block size\n",
                    name.c_str(), t.block_size);
            ok = false;
        } else if (t.length / bs + (t.length % bs != 0 ? 1 : 0) + 1 != blocks) {
            fprintf(stderr,
                    "error: the trailer of %s records %" PRIu64 " bytes in %" PRIu64 " blocks of %" PRIu64
                    " bytes and the trailer, but %" PRIu64 " blocks arrived: the piece is incomplete\n",
                    name.c_str(), t.length, t.length / bs + (t.length % bs != 0 ? 1 : 0), bs, blocks);
            ok = false;
        } else {
            uint64_t rest = t.length - written;
            for (int i = 0; ok && i < held - 1 && rest > 0; i++) {
                size_t n = rest < bs ? static_cast<size_t>(rest) : o.block_size;
                ok = emit(bufs[i].data(), n);
                rest -= n;
            }
        }
    }
    bool closed = ch.check(ch.v()->close2(ch.ctx(), 0), "sbtclose2");
    if (fd != 1) {
        sbttest_os::close_fd(fd);
        if (!ok || !closed)
            unlink(path.c_str());  // no file that looks restored but is not
    }
    if (!ok || !closed)
        return 1;
    p.finish(report);
    return ch.end() ? 0 : 1;
}

// The null-terminated name list of sbtinfo2 and sbtremove2.
std::vector<char *> name_list(std::vector<std::string> &names)
{
    std::vector<char *> files;
    for (auto &n : names)
        files.push_back(n.data());
    files.push_back(nullptr);
    return files;
}

int cmd_info(Library &lib, const Options &o, std::vector<std::string> names)
{
    Channel ch(o);
    if (open_channel(lib, o, ch) != 0)
        return 1;
    std::vector<char *> files = name_list(names);
    sbt_item *info = nullptr;
    if (!ch.check(ch.v()->info2(ch.ctx(), 0, files.data(), &info), "sbtinfo2"))
        return 1;
    if (info != nullptr)
        print_info(info);
    return ch.end() ? 0 : 1;
}

int cmd_remove(Library &lib, const Options &o, std::vector<std::string> names)
{
    Channel ch(o);
    if (open_channel(lib, o, ch) != 0)
        return 1;
    std::vector<char *> files = name_list(names);
    if (!ch.check(ch.v()->remove2(ch.ctx(), 0, files.data()), "sbtremove2"))
        return 1;
    // A piece that was not there is only a warning in the library's log.
    printf("removed %zu backup piece(s), or found them already gone\n", names.size());
    return ch.end() ? 0 : 1;
}

int cmd_command(Library &lib, const Options &o, const std::string &text)
{
    Channel ch(o);
    if (open_channel(lib, o, ch) != 0)
        return 1;
    if (!ch.check(ch.v()->command(ch.ctx(), 0, text.c_str()), "sbtcommand"))
        return 1;
    printf("command accepted\n");
    return ch.end() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    sbttest_os::binary_stdio();
    Options o;
    static const option longs[] = {
        {"lib", required_argument, nullptr, 'l'},        {"block-size", required_argument, nullptr, 'b'},
        {"blocks", required_argument, nullptr, 'n'},     {"seed", required_argument, nullptr, 's'},
        {"env", required_argument, nullptr, 'e'},        {"trace", required_argument, nullptr, 't'},
        {"trace-level", required_argument, nullptr, 'T'}, {"name", required_argument, nullptr, 'N'},
        {"quiet", no_argument, nullptr, 'q'},            {"help", no_argument, nullptr, 'h'},
        {"password-file", required_argument, nullptr, 'P'}, {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    uint64_t v = 0;
    const char *password_file = nullptr;
    while ((c = getopt_long(argc, argv, "+l:b:n:s:e:t:T:N:qhP:V", longs, nullptr)) != -1) {
        switch (c) {
        case 'l':
            o.lib = optarg;
            break;
        case 'b':
            if (!parse_size(optarg, &v) || v < kMinBlock || v > kMaxBlock) {
                fprintf(stderr, "error: --block-size must be a number from %zu to %zu\n", kMinBlock, kMaxBlock);
                return 2;
            }
            o.block_size = static_cast<size_t>(v);
            break;
        case 'n':
            if (!parse_size(optarg, &v)) {
                fprintf(stderr, "error: --blocks must be a number\n");
                return 2;
            }
            o.blocks = v;
            break;
        case 's':
            if (!parse_size(optarg, &v) || v > 0xFFFFFFFFu) {
                fprintf(stderr, "error: --seed must be a 32-bit number\n");
                return 2;
            }
            o.seed = static_cast<uint32_t>(v);
            break;
        case 'e':
            if (!o.params.empty())
                o.params += ",";
            o.params += channel_params(optarg);
            break;
        case 't':
            o.trace = optarg;
            break;
        case 'T':
            o.trace_level = atoi(optarg);
            break;
        case 'N':
            o.name = optarg;
            break;
        case 'q':
            o.quiet = true;
            break;
        case 'P':
            password_file = optarg;
            break;
        case 'h':
            usage(stdout);
            return 0;
        case 'V':
            printf("kestralon-sbttest %s\n", KES_VERSION);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind >= argc) {
        usage(stderr);
        return 2;
    }
    if (password_file != nullptr) {
        if (names_password(o.params)) {
            fprintf(stderr, "error: give the password either with --password-file or with --env, not both\n");
            return 2;
        }
        if (!load_password_file(password_file))
            return 2;
    } else if (names_password(o.params)) {
        fprintf(stderr, "warning: a password given with --env can be read by every user in the process list; "
                        "set BACKUP_PASSWORD in the environment or use --password-file\n");
    }
    std::string cmd = argv[optind++];
    std::vector<std::string> args(argv + optind, argv + argc);
    if (o.lib.empty())
        o.lib = default_lib();

    Library lib;
    if (!lib.load(o.lib))
        return 2;
    if (cmd == "test" && args.empty())
        return cmd_test(lib, o);
    if (cmd == "backup" && (args.size() == 1 || args.size() == 2))
        return cmd_backup(lib, o, args[0], args.size() == 2 ? args[1] : "-");
    if (cmd == "restore" && (args.size() == 1 || args.size() == 2))
        return cmd_restore(lib, o, args[0], args.size() == 2 ? args[1] : "-");
    if (cmd == "info" && !args.empty())
        return cmd_info(lib, o, args);
    if (cmd == "remove" && !args.empty())
        return cmd_remove(lib, o, args);
    if (cmd == "command" && !args.empty()) {
        std::string text;
        for (const auto &a : args)
            text += (text.empty() ? "" : " ") + a;
        return cmd_command(lib, o, text);
    }
    fprintf(stderr, "error: unknown command or wrong arguments: %s\n", cmd.c_str());
    usage(stderr);
    return 2;
}
