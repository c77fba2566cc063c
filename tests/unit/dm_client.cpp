// DM client against a small data-mover responder on the transport's server
// role: round trips, wire shapes of writes and read-ahead, write reservation,
// sticky errors, hostile answers and dropped connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "datamover/byteorder.h"
#include "datamover/dm_int.h"
#include "datamover/md5.h"
#include "kes_test.h"
#include "kes_net.h"

namespace {

struct Rec {
    uint8_t cmd;
    uint16_t fh;
    uint16_t slot;
    uint64_t off;
    uint32_t len;
    std::string name;
};

// A data-mover peer: keeps files in memory, answers every request, records
// what it received. `hook` may answer a request its own way (return true).
class DmPeer {
public:
    using hook_fn = std::function<bool(DmPeer &, xcomm_msg *req, const dm_hdr &h)>;

    DmPeer()
    {
        EXPECT_EQ(0, xcomm_ctx_init(&ctx));
        EXPECT_EQ(0, xcomm_endp_init(&ctx, &endp, "0@127.0.0.1", 4, 1024, XCOMM_NO_DEFAULT_PORT, XCOMM_ENDP_NOFLAGS));
        EXPECT_EQ(0, xcomm_listen(&ctx, &endp));
        port = xcomm_endp_local_port(&endp);
        thr = std::thread([this] { run(); });
    }
    ~DmPeer()
    {
        halt = true;
        thr.join();
        xcomm_ctx_shutdown(&ctx);
        // Answers whose acknowledgement never came are ours once the endpoint is gone.
        for (xcomm_msg *m : answers)
            xcomm_msg_free(m);
    }

    // Answers req with payload bytes.
    void reply(xcomm_msg *req, const std::vector<unsigned char> &payload)
    {
        xcomm_msg *r = xcomm_msg_alloc(static_cast<uint32_t>(payload.size()));
        if (!payload.empty())
            memcpy(xcomm_msg_data(r), payload.data(), payload.size());
        r->hdr.type = XCOMM_MSG_RSP;
        r->hdr.rpc_id = req->hdr.rpc_id;
        r->fd = req->fd;
        if (xcomm_send_msg(&ctx, &endp, r) != 0)
            xcomm_msg_free(r);
        else
            answers.insert(r);
    }
    static std::vector<unsigned char> hdr_bytes(uint8_t cmd, uint16_t status, uint16_t fh, uint16_t slot, uint64_t off,
                                                size_t total)
    {
        std::vector<unsigned char> b(total, 0);
        b[0] = cmd;
        be_put16(&b[2], status);
        be_put16(&b[4], fh);
        be_put16(&b[6], slot);
        be_put64(&b[8], off);
        return b;
    }
    void drop(xcomm_msg *req) { xcomm_endp_close_fd(&ctx, &endp, req->fd); }

    std::vector<Rec> records()
    {
        std::lock_guard<std::mutex> g(mu);
        return log;
    }
    std::vector<Rec> records_of(uint8_t cmd)
    {
        std::vector<Rec> out;
        for (const Rec &r : records())
            if (r.cmd == cmd)
                out.push_back(r);
        return out;
    }
    std::string file(const std::string &name)
    {
        std::lock_guard<std::mutex> g(mu);
        return files[name];
    }
    void put_file(const std::string &name, const std::string &data)
    {
        std::lock_guard<std::mutex> g(mu);
        files[name] = data;
    }
    void put_attr(const std::string &key, const std::string &value)
    {
        std::lock_guard<std::mutex> g(mu);
        attrs[key] = value;
    }
    bool has_file(const std::string &name)
    {
        std::lock_guard<std::mutex> g(mu);
        return files.count(name) != 0;
    }
    void set_hook(hook_fn h)
    {
        std::lock_guard<std::mutex> g(mu);
        hook = std::move(h);
    }

    std::string remote_host() const { return "127.0.0.1"; }

    xcomm_ctx ctx{};
    xcomm_endp endp{};
    int port = 0;
    std::atomic<uint32_t> pref_bsz{262144};
    std::atomic<uint16_t> reserve_mb{0};
    std::atomic<uint16_t> write_status{0};
    std::atomic<uint16_t> flush_status{0};
    std::set<xcomm_msg *> answers;  // answers sent and not yet back (peer thread only)

private:
    void run()
    {
        while (!halt) {
            xcomm_msg *m = nullptr;
            struct timeval tv = {0, 20000};
            int rc = xcomm_endp_wait(&ctx, &endp, &m, &tv, XCOMM_WAIT_INCOMING);
            if (rc != 0 || m == nullptr)
                continue;
            if (m->status == XCOMM_MSG_CANCELLED || m->hdr.type != XCOMM_MSG_REQ) {
                answers.erase(m);
                xcomm_msg_free(m);
                continue;
            }
            if (handle(m))
                xcomm_msg_free(m);
        }
    }

    std::vector<unsigned char> payload(xcomm_msg *m)
    {
        std::vector<unsigned char> out;
        for (int i = 0; i < m->sgl_ents; i++) {
            auto *p = static_cast<unsigned char *>(m->sgl[i].iov_base);
            out.insert(out.end(), p, p + m->sgl[i].iov_len);
        }
        return out;
    }

    // Returns true when the request may be freed.
    bool handle(xcomm_msg *m)
    {
        std::vector<unsigned char> p = payload(m);
        dm_hdr h{};
        if (p.size() < DM_HDR_SIZE || dm_hdr_decode(&h, p.data(), p.size()) < 0)
            return true;
        Rec rec{h.cmd, h.fh, h.slot, h.off, dm_hdr_len(&h), {}};
        hook_fn hk;
        {
            std::lock_guard<std::mutex> g(mu);
            hk = hook;
        }
        if (h.cmd == DM_CMD_WRITE)
            rec.len = static_cast<uint32_t>(p.size() - DM_HDR_SIZE);
        if (h.cmd == DM_CMD_OPEN) {
            dm_open_msg om;
            const char *name = nullptr;
            if (dm_open_req_decode(&om, &name, p.data(), p.size()) >= 0)
                rec.name = name;
            rec.len = om.oflags;
        }
        {
            std::lock_guard<std::mutex> g(mu);
            log.push_back(rec);
        }
        if (hk && hk(*this, m, h))
            return true;
        switch (h.cmd) {
        case DM_CMD_CONFIG: {
            auto b = hdr_bytes(0, 0, 0, 0, 0, DM_CONFIG_MSG_SIZE);
            be_put32(&b[16], pref_bsz.load());
            be_put16(&b[30], reserve_mb.load());
            reply(m, b);
            break;
        }
        case DM_CMD_OPEN: {
            std::lock_guard<std::mutex> g(mu);
            uint16_t status = 0;
            if (rec.len & DM_OFLAG_CREAT)
                files[rec.name];
            else if (files.count(rec.name) == 0)
                status = KES_ENOENT;
            uint16_t fh = 0;
            if (status == 0) {
                open_names.push_back(rec.name);
                fh = static_cast<uint16_t>(open_names.size());
            }
            auto b = hdr_bytes(DM_CMD_OPEN, status, fh, h.slot, 0, DM_OPEN_MSG_SIZE);
            if (status == 0)
                be_put64(&b[32], files[rec.name].size());
            reply(m, b);
            break;
        }
        case DM_CMD_WRITE: {
            uint16_t st = write_status.load();
            if (st == 0) {
                std::lock_guard<std::mutex> g(mu);
                std::string &d = files[open_names.at(h.fh - 1)];
                if (d.size() < h.off + rec.len)
                    d.resize(h.off + rec.len);
                memcpy(&d[h.off], p.data() + DM_HDR_SIZE, rec.len);
            }
            reply(m, hdr_bytes(DM_CMD_WRITE, st, h.fh, h.slot, h.off, DM_HDR_SIZE));
            break;
        }
        case DM_CMD_READ: {
            std::string chunk;
            {
                std::lock_guard<std::mutex> g(mu);
                const std::string &d = files[open_names.at(h.fh - 1)];
                if (h.off < d.size())
                    chunk = d.substr(h.off, rec.len);
            }
            auto b = hdr_bytes(DM_CMD_READ, 0, h.fh, h.slot, h.off, DM_HDR_SIZE);
            b.insert(b.end(), chunk.begin(), chunk.end());
            reply(m, b);
            break;
        }
        case DM_CMD_CLOSE:
            reply(m, hdr_bytes(h.cmd, 0, h.fh, h.slot, 0, DM_HDR_SIZE));
            break;
        case DM_CMD_FLUSH:
            reply(m, hdr_bytes(h.cmd, flush_status.load(), h.fh, h.slot, 0, DM_HDR_SIZE));
            break;
        case DM_CMD_DELETE: {
            const char *name = nullptr;
            dm_hdr dh;
            uint16_t st = 0xFFFE;
            if (dm_delete_req_decode(&dh, &name, p.data(), p.size()) >= 0) {
                std::lock_guard<std::mutex> g(mu);
                if (files.erase(name) != 0)
                    st = 0;
            }
            reply(m, hdr_bytes(h.cmd, st, 0, 0, 0, DM_HDR_SIZE));
            break;
        }
        case DM_CMD_SET_XATTR:
        case DM_CMD_GET_XATTR: {
            dm_xattr_req_view v;
            if (dm_xattr_req_decode(&v, p.data(), p.size()) < 0) {
                reply(m, hdr_bytes(h.cmd, KES_EINVAL, 0, 0, 0, DM_XATTR_HDR_SIZE));
                break;
            }
            std::lock_guard<std::mutex> g(mu);
            std::string key = (v.path != nullptr ? std::string(v.path) : open_names.at(h.fh - 1)) + "|" + v.attr;
            if (h.cmd == DM_CMD_SET_XATTR) {
                attrs[key] = std::string(reinterpret_cast<const char *>(v.value), v.xh.value_len);
                reply(m, hdr_bytes(h.cmd, 0, h.fh, h.slot, 0, DM_XATTR_HDR_SIZE));
            } else if (attrs.count(key) == 0) {
                reply(m, hdr_bytes(h.cmd, KES_ENOENT, h.fh, h.slot, 0, DM_XATTR_HDR_SIZE));
            } else {
                const std::string &val = attrs[key];
                bool fits = val.size() <= v.xh.value_len;
                auto b = hdr_bytes(h.cmd, fits ? 0 : KES_ERANGE, h.fh, h.slot, 0, DM_XATTR_HDR_SIZE);
                be_put32(&b[16], static_cast<uint32_t>(val.size()));
                if (fits)
                    b.insert(b.end(), val.begin(), val.end());
                reply(m, b);
            }
            break;
        }
        default:
            reply(m, hdr_bytes(h.cmd, KES_EINVAL, 0, 0, 0, DM_HDR_SIZE));
        }
        return true;
    }

    std::thread thr;
    std::atomic<bool> halt{false};
    std::mutex mu;
    hook_fn hook;
    std::vector<Rec> log;
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> attrs;
    std::vector<std::string> open_names;
};

// Messages of the DM layer, for tests that check why something was refused.
std::mutex g_log_mu;
std::vector<std::string> g_log;

void capture_log(void *, int, const char *, int, const char *text)
{
    std::lock_guard<std::mutex> g(g_log_mu);
    g_log.emplace_back(text);
}

bool logged(const std::string &needle)
{
    std::lock_guard<std::mutex> g(g_log_mu);
    for (const auto &l : g_log)
        if (l.find(needle) != std::string::npos)
            return true;
    return false;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (auto &c : s)
        c = static_cast<char>(rng());
    return s;
}

// Connects a client (4 pages unless asked otherwise) to a fresh peer.
class DmClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("DMC_PAGE_CNT");
        dm_set_log(UTIL_LOG_INFO, capture_log);
        std::lock_guard<std::mutex> g(g_log_mu);
        g_log.clear();
    }
    void TearDown() override
    {
        if (dmc != nullptr)
            dm_client_destroy(dmc);
        dm_set_read_ahead(16);
        dm_set_digests(0);
        unsetenv("DMC_PAGE_CNT");
        dm_set_log(UTIL_LOG_INFO, nullptr);
    }
    void connect(int small_cache = 1)
    {
        int err = -1;
        dmc = dm_client_create("127.0.0.1", peer.port, nullptr, 0, small_cache, nullptr, 0, 1, &err);
        ASSERT_NE(nullptr, dmc) << util_err_name(err);
        ASSERT_EQ(0, err);
    }
    dm_file *open(const std::string &name, int flags, int *errp = nullptr)
    {
        int err = -1;
        dm_file *df = dm_file_open(dmc, name.c_str(), flags, &err);
        if (errp != nullptr)
            *errp = err;
        return df;
    }
    // Writes data in blocks of bsz, flushes, closes.
    void put(const std::string &name, const std::string &data, size_t bsz)
    {
        dm_file *df = open(name, KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
        ASSERT_NE(nullptr, df);
        for (size_t off = 0; off < data.size(); off += bsz) {
            uint32_t n = static_cast<uint32_t>(std::min(bsz, data.size() - off));
            ASSERT_EQ(static_cast<int>(n), dm_file_write(df, data.data() + off, off, n));
        }
        ASSERT_EQ(0, dm_file_flush(df));
        ASSERT_EQ(0, dm_file_close(df));
    }
    std::string get(const std::string &name, size_t bsz, int *rc_out = nullptr)
    {
        dm_file *df = open(name, 0);
        EXPECT_NE(nullptr, df);
        if (df == nullptr)
            return {};
        std::string out;
        std::vector<char> buf(bsz);
        for (uint64_t off = 0;; off += bsz) {
            int rc = dm_file_read(df, buf.data(), off, static_cast<uint32_t>(bsz), nullptr);
            if (rc <= 0) {
                if (rc_out)
                    *rc_out = rc;
                break;
            }
            out.append(buf.data(), static_cast<size_t>(rc));
        }
        EXPECT_EQ(0, dm_file_close(df));
        return out;
    }

    DmPeer peer;
    dm_client *dmc = nullptr;
};

// ---------------------------------------------------------------- settings and connect

TEST(DmClientSettings, PageCountFromEnvironment)
{
    struct {
        const char *val;
        uint32_t want;
    } cases[] = {{"2", 4}, {"10000", 4096}, {"", 4}, {"12x", 128}, {"12", 12}, {"-3", 4}};
    for (const auto &c : cases) {
        setenv("DMC_PAGE_CNT", c.val, 1);
        EXPECT_EQ(c.want, dm_page_count(0)) << "DMC_PAGE_CNT=" << c.val;
    }
    setenv("DMC_PAGE_CNT", "12x", 1);
    EXPECT_EQ(4u, dm_page_count(1));
    unsetenv("DMC_PAGE_CNT");
    EXPECT_EQ(128u, dm_page_count(0));
    EXPECT_EQ(4u, dm_page_count(1));
}

TEST(DmClientSettings, OptionsNeedFourBytesAndAKnownNumber)
{
    int32_t v = 1;
    EXPECT_EQ(0, dm_set_option(DM_OPT_NODELAY, &v, sizeof v));
    EXPECT_EQ(1, xcomm_get_sockopt(DM_OPT_NODELAY));
    v = 7;
    EXPECT_EQ(0, dm_set_option(DM_OPT_NODELAY, &v, sizeof v));
    EXPECT_EQ(1, xcomm_get_sockopt(DM_OPT_NODELAY)) << "no-delay is stored as 0 or 1";
    int64_t big = 1;
    EXPECT_EQ(DM_ERR_INVALID_LEN, dm_set_option(DM_OPT_SNDBUF, &big, sizeof big));
    EXPECT_EQ(DM_ERR_INVALID_LEN, dm_set_option(9, &v, sizeof v));
    v = -1;
    EXPECT_EQ(0, dm_set_option(DM_OPT_NODELAY, &v, sizeof v));
}

TEST_F(DmClientTest, ConnectAgreesConfiguration)
{
    peer.reserve_mb = 3;
    connect(0);
    EXPECT_EQ(262144u, dmc->config.pref_bsz);
    EXPECT_EQ(3u, dmc->config.pref_reserve_mb);
    EXPECT_EQ(128u, dmc->page_cnt);
    EXPECT_EQ(std::to_string(peer.port) + "@127.0.0.1", std::string(dmc->name));
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    auto cfg = peer.records_of(DM_CMD_CONFIG);
    ASSERT_EQ(1u, cfg.size());
}

TEST_F(DmClientTest, SmallerBlockSizeFailsConnect)
{
    peer.pref_bsz = 131072;
    int err = 0;
    EXPECT_EQ(nullptr, dm_client_create("127.0.0.1", peer.port, nullptr, 0, 1, nullptr, 0, 1, &err));
    EXPECT_EQ(DM_ERR_PAGESZ, err);
}

TEST_F(DmClientTest, MalformedConfigurationAnswerFailsConnect)
{
    for (int variant = 0; variant < 2; variant++) {
        peer.set_hook([variant](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
            if (h.cmd != DM_CMD_CONFIG)
                return false;
            // 24 bytes instead of 32, or the right size with a failure status.
            p.reply(req, DmPeer::hdr_bytes(0, variant == 0 ? 0 : 5, 0, 0, 0, variant == 0 ? 24 : 32));
            return true;
        });
        int err = 0;
        EXPECT_EQ(nullptr, dm_client_create("127.0.0.1", peer.port, nullptr, 0, 1, nullptr, 0, 1, &err));
        EXPECT_EQ(DM_ERR_BADMSG, err) << "variant " << variant;
    }
}

TEST(DmClientConnect, RefusedConnectionFailsAtOnce)
{
    int port = kes_test::unused_loopback_port();
    ASSERT_NE(0, port);
    int err = 0;
    EXPECT_EQ(nullptr, dm_client_create("127.0.0.1", port, nullptr, 0, 1, nullptr, 0, 1, &err));
    EXPECT_EQ(XCOMM_ERR_CONN_REFUSED, err);
}

// ---------------------------------------------------------------- data round trips

TEST_F(DmClientTest, RoundTripsFilesOfEverySizeAndBlockSize)
{
    connect();
    const size_t psz = DM_PAGE_SIZE;
    const size_t sizes[] = {0, 1, psz - 1, psz, psz + 1, 3 * psz + 4321};
    const size_t blocks[] = {512, 8192, psz, 1 << 20};
    int n = 0;
    for (size_t size : sizes) {
        for (size_t bsz : blocks) {
            std::string name = "generic:7:/share/f" + std::to_string(n++);
            std::string data = pattern(size, static_cast<unsigned>(n));
            put(name, data, bsz);
            ASSERT_EQ(data.size(), peer.file(name).size()) << name;
            ASSERT_TRUE(peer.file(name) == data) << name;
            int last = -1;
            std::string back = get(name, bsz, &last);
            EXPECT_EQ(0, last);
            ASSERT_TRUE(back == data) << name << " size " << size << " block " << bsz;
        }
    }
    EXPECT_EQ(DM_MAX_FILES, dmc->free_slot_cnt);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
}

// A small send buffer for the client, so that a request of a page or more
// that the peer is slow to take is written in many pieces.
const int kSmallSockBuf = 65536;
void shrink_send_buffer(dm_client *dmc)
{
    for (xcomm_fd *fd = dmc->endp.active_fds.head; fd != nullptr; fd = fd->next)
        setsockopt(fd->sock, SOL_SOCKET, SO_SNDBUF, &kSmallSockBuf, sizeof kSmallSockBuf);
}

// Writes data in blocks of bsz from one buffer, which is overwritten the
// moment each write returns, as a caller's next block would.
void write_reusing_buffer(dm_file *df, const std::string &data, size_t bsz)
{
    std::vector<char> buf(bsz);
    for (size_t off = 0; off < data.size(); off += bsz) {
        const uint32_t n = static_cast<uint32_t>(std::min(bsz, data.size() - off));
        memcpy(buf.data(), data.data() + off, n);
        ASSERT_EQ(static_cast<int>(n), dm_file_write(df, buf.data(), off, n)) << "at " << off;
        memset(buf.data(), 0xEE, buf.size());
    }
}

// A slow appliance: a write request is answered 20 ms after it is in, so the
// requests behind it wait in the socket.
void slow_writes(DmPeer &peer)
{
    peer.set_hook([](DmPeer &, xcomm_msg *, const dm_hdr &h) {
        if (h.cmd == DM_CMD_WRITE)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return false;
    });
}

// Writes of whole pages go from the caller's buffer to the socket; what the
// socket has not taken when a write returns (here, behind a slow appliance,
// most of it, often part of a page) is copied into the cache first, so the
// caller may fill its buffer again the moment a write returns. Pieces of
// pages, and pages already cached, go through the cache.
TEST_F(DmClientTest, WholePagesGoFromTheCallersBufferWhichIsFreeOnReturn)
{
    peer.pref_bsz = 1u << 20;
    connect(0);
    shrink_send_buffer(dmc);
    slow_writes(peer);
    const size_t bsz = 1u << 20;
    const std::string name = "generic:1:/s/zero";
    std::string data = pattern(12 * bsz + 1000, 44);
    dm_file *df = open(name, KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    // A piece of the first page first: cached and held back, so the whole
    // pages written over it later take the cache's way.
    ASSERT_EQ(100, dm_file_write(df, data.data(), 0, 100));
    write_reusing_buffer(df, data, bsz);
    ASSERT_EQ(0, dm_file_close(df));
    EXPECT_TRUE(peer.file(name) == data);
    for (const auto &r : peer.records_of(DM_CMD_WRITE))
        EXPECT_LE(r.len, bsz);

    // Blocks of one page, the same way; with the connection backed up they
    // wait in the cache and travel in runs of pages.
    const size_t before = peer.records_of(DM_CMD_WRITE).size();
    const std::string one = "generic:1:/s/zero1";
    df = open(one, KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    write_reusing_buffer(df, data, DM_PAGE_SIZE);
    ASSERT_EQ(0, dm_file_close(df));
    EXPECT_TRUE(peer.file(one) == data);
    auto w = peer.records_of(DM_CMD_WRITE);
    size_t longest = 0;
    for (size_t i = before; i < w.size(); i++) {
        EXPECT_LE(w[i].len, bsz);
        longest = std::max<size_t>(longest, w[i].len);
    }
    EXPECT_GT(longest, DM_PAGE_SIZE) << "pages waiting behind a slow appliance go out together";
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    EXPECT_EQ(0u, dmc->write_bytes_inflight);
}

// With no free page to copy what the socket has not taken, a write waits
// until the socket has taken it all: the caller's buffer is still free on
// return, and every page comes back.
TEST_F(DmClientTest, WholePagesWithoutFreePagesWaitForTheSocket)
{
    peer.pref_bsz = 1u << 20;
    connect(1);  // four pages
    shrink_send_buffer(dmc);
    slow_writes(peer);
    const std::string name = "generic:1:/s/few";
    const std::string data = pattern(10u << 20, 45);
    dm_file *df = open(name, KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    write_reusing_buffer(df, data, 1u << 20);
    ASSERT_EQ(0, dm_file_close(df));
    EXPECT_TRUE(peer.file(name) == data);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    EXPECT_EQ(4u, pcache_free_count(dmc->pc)) << "every page came back";
}

// The connection drops while the caller's whole pages are on their way:
// the write fails, and its buffer, freed at once, is never read again.
TEST_F(DmClientTest, ConnectionDroppedWhileAWriteGoesFromTheCallersBuffer)
{
    peer.pref_bsz = 1u << 20;
    connect(0);
    shrink_send_buffer(dmc);
    std::atomic<int> writes{0};
    peer.set_hook([&writes](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
        if (h.cmd != DM_CMD_WRITE)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (++writes == 3) {
            p.drop(req);
            return true;
        }
        return false;
    });
    dm_file *df = open("generic:1:/s/zdrop", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    int rc = 0;
    for (uint64_t off = 0; rc >= 0 && off < (40u << 20); off += 1u << 20) {
        std::vector<char> buf(1u << 20, static_cast<char>(off >> 20));
        rc = dm_file_write(df, buf.data(), off, static_cast<uint32_t>(buf.size()));
    }
    EXPECT_LT(rc, 0);
    EXPECT_LT(dm_file_close(df), 0);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    EXPECT_EQ(0u, dmc->write_bytes_inflight);
}

TEST_F(DmClientTest, WriteAcrossPagesGoesOutPerPage)
{
    connect();
    dm_file *df = open("generic:1:/s/w", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    std::string data = pattern(300000, 3);
    ASSERT_EQ(300000, dm_file_write(df, data.data(), 100000, 300000));
    ASSERT_EQ(0, dm_file_close(df));
    auto w = peer.records_of(DM_CMD_WRITE);
    ASSERT_EQ(2u, w.size());
    EXPECT_EQ(100000u, w[0].off);
    EXPECT_EQ(162144u, w[0].len);
    EXPECT_EQ(262144u, w[1].off);
    EXPECT_EQ(137856u, w[1].len);
    EXPECT_TRUE(peer.file("generic:1:/s/w").substr(100000) == data);
}

// An appliance that announces a larger block size gets runs of consecutive
// pages in one request, never more than it announced (nor more than the
// client's run limit), each starting where the last one ended; the bytes
// are the same whatever the block size of the caller.
TEST_F(DmClientTest, ConsecutivePagesTravelInRequestsOfTheAnnouncedBlockSize)
{
    peer.pref_bsz = 1u << 20;
    connect(0);
    ASSERT_EQ(4u, dmc->run_max);
    const size_t psz = DM_PAGE_SIZE;
    const std::string data = pattern(14 * psz + 4321, 21);
    auto check_runs = [&](uint8_t cmd, size_t limit, size_t before) {
        auto r = peer.records_of(cmd);
        size_t biggest = 0;
        for (size_t i = before; i < r.size(); i++) {
            EXPECT_LE(r[i].len, limit) << "request " << i;
            biggest = std::max<size_t>(biggest, r[i].len);
        }
        return std::make_pair(r.size() - before, biggest);
    };

    // Writes of a quarter page each go out four pages at a time; the rest at
    // the flush.
    put("generic:1:/s/c256", data, psz / 4);
    EXPECT_TRUE(peer.file("generic:1:/s/c256") == data);
    auto w = peer.records_of(DM_CMD_WRITE);
    ASSERT_EQ(4u, w.size());
    for (size_t i = 0; i < w.size(); i++)
        EXPECT_EQ(i * 4 * psz, w[i].off);
    EXPECT_EQ(4 * psz, w[0].len);
    EXPECT_EQ(2 * psz + 4321, w[3].len);

    // Blocks that end inside a page continue the run all the same.
    size_t before = peer.records_of(DM_CMD_WRITE).size();
    put("generic:1:/s/codd", data, 300000);
    EXPECT_TRUE(peer.file("generic:1:/s/codd") == data);
    EXPECT_EQ(4u, check_runs(DM_CMD_WRITE, 1u << 20, before).first);

    // Reads ahead come back in runs too, and the bytes are the file's.
    before = peer.records_of(DM_CMD_READ).size();
    EXPECT_TRUE(get("generic:1:/s/c256", psz) == data);
    auto [reads, biggest] = check_runs(DM_CMD_READ, 1u << 20, before);
    EXPECT_EQ(1u << 20, biggest);
    EXPECT_LE(reads, 5u);
    for (size_t bsz : {size_t(8192), size_t(300000), size_t(3) << 20})
        EXPECT_TRUE(get("generic:1:/s/codd", bsz) == data) << bsz;

    // A piece of a page held back goes out at the flush, not before.
    dm_file *df = open("generic:1:/s/held", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    before = peer.records_of(DM_CMD_WRITE).size();
    ASSERT_EQ(static_cast<int>(psz / 2), dm_file_write(df, data.data(), 0, static_cast<uint32_t>(psz / 2)));
    EXPECT_EQ(before, peer.records_of(DM_CMD_WRITE).size());
    ASSERT_EQ(0, dm_file_flush(df));
    EXPECT_EQ(before + 1, peer.records_of(DM_CMD_WRITE).size());
    EXPECT_TRUE(peer.file("generic:1:/s/held") == data.substr(0, psz / 2));
    ASSERT_EQ(0, dm_file_close(df));
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
}

// A client keeps no more than its window in flight each way: written and
// not yet acknowledged, and read ahead of the reader once the first
// read-ahead is consumed; a page count chosen by the operator widens the
// window to the whole cache. The bytes are whole either way.
TEST_F(DmClientTest, TheClientKeepsItsWindowInFlightEachWay)
{
    peer.pref_bsz = 1u << 20;
    for (const char *pages : {"", "96"}) {
        SCOPED_TRACE(std::string("DMC_PAGE_CNT=") + pages);
        if (pages[0] != '\0')
            setenv("DMC_PAGE_CNT", pages, 1);
        connect(0);
        unsetenv("DMC_PAGE_CNT");
        const uint64_t window = pages[0] != '\0' ? dmc->cache_bytes : DM_WINDOW;
        ASSERT_EQ(window, dmc->window);
        const uint64_t half = dmc->cache_bytes / 2;
        const size_t bsz = 1u << 20;
        const std::string name = std::string("generic:1:/s/win") + pages;
        const std::string data = pattern(40 * bsz + 999, 31);
        dm_file *df = open(name, KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
        ASSERT_NE(nullptr, df);
        uint64_t most = 0;
        for (size_t off = 0; off < data.size(); off += bsz) {
            uint32_t n = static_cast<uint32_t>(std::min(bsz, data.size() - off));
            ASSERT_EQ(static_cast<int>(n), dm_file_write(df, data.data() + off, off, n));
            most = std::max(most, dmc->write_bytes_inflight);
        }
        EXPECT_LE(most, window);
        EXPECT_GE(most + bsz, std::min<uint64_t>(window, half)) << "the window is used, not just one request";
        ASSERT_EQ(0, dm_file_close(df));
        EXPECT_EQ(0u, dmc->write_bytes_inflight);
        EXPECT_TRUE(peer.file(name) == data);

        df = open(name, 0);
        ASSERT_NE(nullptr, df);
        std::vector<char> buf(bsz);
        std::string back;
        for (uint64_t off = 0;; off += bsz) {
            int rc = dm_file_read(df, buf.data(), off, static_cast<uint32_t>(bsz), nullptr);
            ASSERT_GE(rc, 0);
            if (rc == 0)
                break;
            back.append(buf.data(), static_cast<size_t>(rc));
            // Requests end where read-ahead stands: the first one's span, or
            // the window beyond the start of this read.
            EXPECT_LE(df->cl_ra_end, std::max(half, off + std::min(window, half))) << "after the read at " << off;
        }
        ASSERT_EQ(0, dm_file_close(df));
        EXPECT_TRUE(back == data);
        dm_client_destroy(dmc);
        dmc = nullptr;
    }
}

// A reader of whole pages gets requests of its own size, and the answer it
// waits for lands in its buffer instead of the cache; readers of other sizes
// and offsets, and checksums over what landed there, read the same bytes.
TEST_F(DmClientTest, AnswersLandInTheWaitingReadersBuffer)
{
    peer.pref_bsz = 1u << 20;
    connect(0);
    const std::string data = pattern(24 * DM_PAGE_SIZE + 999, 41);
    peer.put_file("generic:1:/s/direct", data);
    struct Reader {
        size_t bsz;
        uint64_t skew;  // first offset
        bool direct;    // its whole pages are expected to land in its buffer
    };
    for (const Reader &r : {Reader{1u << 20, 0, true}, Reader{3 * DM_PAGE_SIZE, 0, true},
                            Reader{DM_PAGE_SIZE, 0, false}, Reader{(1u << 20) + 100, 0, false},
                            Reader{1u << 20, 5000, false}}) {
        SCOPED_TRACE("block " + std::to_string(r.bsz) + " from " + std::to_string(r.skew));
        dm_file *df = open("generic:1:/s/direct", 0);
        ASSERT_NE(nullptr, df);
        const size_t before_reads = peer.records_of(DM_CMD_READ).size();
        const uint64_t before = dmc->direct.pages;
        std::vector<char> buf(r.bsz);
        std::string back;
        for (uint64_t off = r.skew;; off += r.bsz) {
            int rc = dm_file_read(df, buf.data(), off, static_cast<uint32_t>(r.bsz), nullptr);
            ASSERT_GE(rc, 0) << "at " << off;
            if (rc == 0)
                break;
            back.append(buf.data(), static_cast<size_t>(rc));
        }
        ASSERT_EQ(0, dm_file_close(df));
        EXPECT_TRUE(back == data.substr(r.skew));
        const uint64_t landed = dmc->direct.pages - before;
        if (r.direct) {
            EXPECT_GE(landed, 12u) << "most whole pages skip the cache";
            // Requests never straddle two of the reader's blocks.
            auto reads = peer.records_of(DM_CMD_READ);
            for (size_t i = before_reads; i < reads.size(); i++)
                EXPECT_EQ(reads[i].off / r.bsz, (reads[i].off + reads[i].len - 1) / r.bsz) << "request at " << reads[i].off;
        }
    }

    // Checksums are checked over the bytes that landed in the buffer.
    dm_set_digests(1);
    std::vector<uint64_t> sums;
    for (size_t off = 0; off < data.size(); off += DM_PAGE_SIZE)
        sums.push_back(dm_sum64(data.data() + off, std::min<size_t>(DM_PAGE_SIZE, data.size() - off)));
    sums[9] ^= 1;
    std::string a(DM_SUMS_HDR_SIZE + 8 * sums.size(), '\0');
    ASSERT_EQ(static_cast<int>(a.size()), dm_sums_encode(0, sums.data(), static_cast<uint32_t>(sums.size()), a.data(), a.size()));
    peer.put_attr(std::string("generic:1:/s/direct|") + DM_SUMS_ATTR + "0", a);
    dm_file *df = open("generic:1:/s/direct", 0);
    ASSERT_NE(nullptr, df);
    const uint64_t before = dmc->direct.pages;
    std::vector<char> buf(1u << 20);
    ASSERT_EQ(1 << 20, dm_file_read(df, buf.data(), 0, 1u << 20, nullptr));
    ASSERT_EQ(1 << 20, dm_file_read(df, buf.data(), 1u << 20, 1u << 20, nullptr));
    EXPECT_EQ(DM_ERR_BADMSG, dm_file_read(df, buf.data(), 2u << 20, 1u << 20, nullptr));
    EXPECT_GT(dmc->direct.pages, before);
    ASSERT_NE(nullptr, dm_file_fault(df));
    EXPECT_NE(std::string(dm_file_fault(df)).find("offset 2359296 arrived damaged"), std::string::npos)
        << dm_file_fault(df);
    dm_file_close(df);
}

// An appliance that announces a large block size but answers a read with
// one page at most: the pages it left out are asked for again, and the
// reader gets every byte.
TEST_F(DmClientTest, ReadsAnsweredOnePageAtATimeStillReadWhole)
{
    peer.pref_bsz = 8u << 20;
    connect(0);
    ASSERT_EQ(DM_MAX_RUN, dmc->run_max);
    const std::string data = pattern(9 * DM_PAGE_SIZE + 77, 22);
    peer.put_file("generic:2:/s/one", data);
    peer.set_hook([&data](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
        if (h.cmd != DM_CMD_READ)
            return false;
        std::string chunk = h.off < data.size() ? data.substr(h.off, std::min<size_t>(dm_hdr_len(&h), DM_PAGE_SIZE)) : "";
        auto b = DmPeer::hdr_bytes(DM_CMD_READ, 0, h.fh, h.slot, h.off, DM_HDR_SIZE);
        b.insert(b.end(), chunk.begin(), chunk.end());
        p.reply(req, b);
        return true;
    });
    EXPECT_TRUE(get("generic:2:/s/one", 1u << 20) == data);
    bool multi = false;
    for (const auto &r : peer.records_of(DM_CMD_READ))
        multi = multi || r.len > DM_PAGE_SIZE;
    EXPECT_TRUE(multi) << "the client asked for runs";
}

TEST_F(DmClientTest, ReadAheadIssuesPageSizedPiecesUpToFileEnd)
{
    connect(0);
    const size_t size = 10u << 20;
    peer.put_file("generic:2:/s/ra", pattern(size, 4));
    dm_file *df = open("generic:2:/s/ra", 0);
    ASSERT_NE(nullptr, df);
    std::vector<char> buf(DM_PAGE_SIZE);
    ASSERT_EQ(static_cast<int>(DM_PAGE_SIZE), dm_file_read(df, buf.data(), 0, DM_PAGE_SIZE, nullptr));
    EXPECT_EQ(16ull * 524288, df->cl_ra_end);
    EXPECT_TRUE(std::string(buf.data(), buf.size()) == peer.file("generic:2:/s/ra").substr(0, DM_PAGE_SIZE));
    ASSERT_EQ(0, dm_file_close(df));  // every request issued has been written and answered
    // The first read asks for 16 times two pages, one page per request.
    auto r = peer.records_of(DM_CMD_READ);
    ASSERT_EQ(32u, r.size());
    for (size_t i = 0; i < 32; i++) {
        EXPECT_EQ(i * DM_PAGE_SIZE, r[i].off);
        EXPECT_EQ(DM_PAGE_SIZE, r[i].len);
    }

    // A short file: read-ahead stops at its size, the last piece is short.
    peer.put_file("generic:2:/s/short", pattern(DM_PAGE_SIZE + 5, 5));
    df = open("generic:2:/s/short", 0);
    ASSERT_NE(nullptr, df);
    size_t before = peer.records_of(DM_CMD_READ).size();
    EXPECT_EQ(100, dm_file_read(df, buf.data(), 0, 100, nullptr));
    // At or past the end: nothing is asked.
    EXPECT_EQ(0, dm_file_read(df, buf.data(), DM_PAGE_SIZE + 5, 10, nullptr));
    EXPECT_EQ(0, dm_file_read(df, buf.data(), 1u << 30, 10, nullptr));
    EXPECT_EQ(5, dm_file_read(df, buf.data(), DM_PAGE_SIZE, 100, nullptr));
    ASSERT_EQ(0, dm_file_close(df));
    r = peer.records_of(DM_CMD_READ);
    ASSERT_EQ(before + 2, r.size());
    EXPECT_EQ(DM_PAGE_SIZE, r[before + 1].off);
    EXPECT_EQ(5u, r[before + 1].len);
}

TEST_F(DmClientTest, DigestsCheckEveryPageAgainstTheAppliancesChecksums)
{
    dm_set_digests(1);
    connect();
    std::string data = pattern(DM_PAGE_SIZE + 77, 6);
    uint64_t sums[2] = {dm_sum64(data.data(), DM_PAGE_SIZE), dm_sum64(data.data() + DM_PAGE_SIZE, 77)};
    auto answer = [&](const uint64_t *v, uint32_t n) {
        std::string a(DM_SUMS_HDR_SIZE + 8 * n, '\0');
        EXPECT_EQ(static_cast<int>(a.size()), dm_sums_encode(0, v, n, a.data(), a.size()));
        return a;
    };
    const std::string attr = std::string("|") + DM_SUMS_ATTR + "0";
    std::vector<char> buf(data.size());

    // Checksums that match: the data, and the MD5 of what was returned.
    peer.put_file("generic:3:/s/good", data);
    peer.put_attr("generic:3:/s/good" + attr, answer(sums, 2));
    dm_file *df = open("generic:3:/s/good", 0);
    ASSERT_NE(nullptr, df);
    unsigned char dig[16] = {0};
    ASSERT_EQ(static_cast<int>(data.size()), dm_file_read(df, buf.data(), 0, static_cast<uint32_t>(buf.size()), dig));
    EXPECT_EQ(0, memcmp(buf.data(), data.data(), data.size()));
    unsigned char want[16];
    md5_digest(data.data(), data.size(), want);
    EXPECT_EQ(0, memcmp(dig, want, 16));
    ASSERT_EQ(0, dm_file_close(df));

    // A page whose bytes are not what the appliance summed never reaches the caller.
    uint64_t bad[2] = {sums[0], sums[1] ^ 1};
    peer.put_file("generic:3:/s/bad", data);
    peer.put_attr("generic:3:/s/bad" + attr, answer(bad, 2));
    df = open("generic:3:/s/bad", 0);
    ASSERT_NE(nullptr, df);
    EXPECT_EQ(static_cast<int>(DM_PAGE_SIZE), dm_file_read(df, buf.data(), 0, DM_PAGE_SIZE, nullptr));
    EXPECT_EQ(DM_ERR_BADMSG, dm_file_read(df, buf.data(), DM_PAGE_SIZE, 77, nullptr));
    ASSERT_NE(nullptr, dm_file_fault(df));
    EXPECT_NE(std::string(dm_file_fault(df)).find("offset 262144 arrived damaged"), std::string::npos)
        << dm_file_fault(df);
    EXPECT_EQ(DM_ERR_BADMSG, dm_file_read(df, buf.data(), DM_PAGE_SIZE, 77, nullptr)) << "and not on a second try";
    dm_file_close(df);

    // A malformed answer, and one without the page, fail the read too.
    peer.put_file("generic:3:/s/odd", data);
    peer.put_attr("generic:3:/s/odd" + attr, answer(sums, 2).substr(0, DM_SUMS_HDR_SIZE + 12));
    df = open("generic:3:/s/odd", 0);
    ASSERT_NE(nullptr, df);
    EXPECT_EQ(DM_ERR_BADMSG, dm_file_read(df, buf.data(), 0, 100, nullptr));
    dm_file_close(df);
    peer.put_file("generic:3:/s/none", data);
    peer.put_attr("generic:3:/s/none" + attr, answer(sums, 0));
    df = open("generic:3:/s/none", 0);
    ASSERT_NE(nullptr, df);
    EXPECT_EQ(DM_ERR_BADMSG, dm_file_read(df, buf.data(), 0, 100, nullptr));
    dm_file_close(df);

    // An appliance that keeps no checksums: said once, and the file reads unchecked.
    peer.put_file("generic:3:/s/plain", data);
    df = open("generic:3:/s/plain", 0);
    ASSERT_NE(nullptr, df);
    ASSERT_EQ(100, dm_file_read(df, buf.data(), 0, 100, nullptr));
    ASSERT_EQ(77, dm_file_read(df, buf.data(), DM_PAGE_SIZE, 77, nullptr));
    EXPECT_EQ(0, memcmp(buf.data(), data.data() + DM_PAGE_SIZE, 77));
    ASSERT_EQ(0, dm_file_close(df));
    std::lock_guard<std::mutex> g(g_log_mu);
    EXPECT_EQ(1, std::count_if(g_log.begin(), g_log.end(), [](const std::string &l) {
                  return l.find("keeps no data checksums for generic:3:/s/plain") != std::string::npos;
              }));
}

// ---------------------------------------------------------------- reservation and sticky errors

TEST_F(DmClientTest, ReservationWritesFirstSynchronouslyThenSpendsCredit)
{
    peer.reserve_mb = 1;
    connect();
    dm_file *df = open("generic:4:/s/r", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    ASSERT_TRUE(df->flags & DM_FILE_RESERVE);
    std::string data = pattern(65536, 7);
    ASSERT_EQ(65536, dm_file_write(df, data.data(), 0, 65536));
    EXPECT_EQ(0, df->inflight) << "the first write waited for its answer";
    EXPECT_EQ(1048576 - 65536, df->credit);
    ASSERT_EQ(65536, dm_file_write(df, data.data(), 65536, 65536));
    EXPECT_EQ(1, df->inflight + static_cast<int>(df->run_cnt)) << "later writes do not wait";
    EXPECT_EQ(1048576 - 2 * 65536, df->credit);
    ASSERT_EQ(0, dm_file_close(df));
}

TEST_F(DmClientTest, RefusedWriteBecomesStickyError)
{
    connect();
    dm_file *df = open("generic:5:/s/e", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    // A whole page: with a peer of one-page requests it goes out at once.
    std::string data = pattern(DM_PAGE_SIZE, 8);
    peer.write_status = KES_EIO;
    ASSERT_EQ(static_cast<int>(DM_PAGE_SIZE), dm_file_write(df, data.data(), 0, DM_PAGE_SIZE));  // answer not yet in
    // The next call that collects the answer reports it, as a negative code.
    ASSERT_EQ(0, dm_drain(dmc));
    EXPECT_EQ(DM_ERR_AIO, dm_file_write(df, data.data(), DM_PAGE_SIZE, 4096));
    peer.write_status = 0;
    EXPECT_EQ(KES_EIO, dm_file_close(df)) << "close reports the peer's error number";
}

TEST_F(DmClientTest, NoSpaceDuringReservedWriteFailsEveryLaterWriteAndTheClose)
{
    peer.reserve_mb = 1;
    connect();
    dm_file *df = open("generic:6:/s/n", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    std::string data = pattern(8192, 9);
    peer.write_status = KES_ENOSPC;
    EXPECT_EQ(DM_ERR_NOSPC, dm_file_write(df, data.data(), 0, 8192));
    EXPECT_EQ(0, df->credit) << "credit only changes after a successful write";
    // Space that comes back later does not make the file whole again.
    peer.write_status = 0;
    EXPECT_EQ(DM_ERR_NOSPC, dm_file_write(df, data.data(), 0, 8192));
    EXPECT_EQ(DM_ERR_NOSPC, dm_file_close(df)) << "the close reports the lost data, it never forgives it";
}

TEST_F(DmClientTest, FlushFailureLeavesCloseWithInvalidArguments)
{
    connect();
    dm_file *df = open("generic:7:/s/f", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    std::string data = pattern(1000, 10);
    ASSERT_EQ(1000, dm_file_write(df, data.data(), 0, 1000));
    peer.flush_status = KES_EIO;
    EXPECT_EQ(KES_EIO, dm_file_flush(df));
    EXPECT_EQ(DM_ERR_INVALID_ARGS, dm_file_close(df));
    EXPECT_EQ(DM_MAX_FILES, dmc->free_slot_cnt);
}

// ---------------------------------------------------------------- names, slots, attributes, delete

TEST_F(DmClientTest, OpenNamesSlotsAndMissingFiles)
{
    connect();
    dm_file *df = open("generic:8:\\share\\a\\b", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    auto o = peer.records_of(DM_CMD_OPEN);
    ASSERT_EQ(1u, o.size());
    EXPECT_EQ("generic:8:/share/a/b", o[0].name);
    EXPECT_EQ(DM_OFLAG_CREAT, o[0].len);
    ASSERT_EQ(0, dm_file_close(df));

    int err = 0;
    EXPECT_EQ(nullptr, open("generic:8:/none", 0, &err));
    EXPECT_EQ(KES_ENOENT, err);
    EXPECT_EQ(nullptr, open(std::string(300, 'x'), 0, &err));
    EXPECT_EQ(DM_ERR_INVALID_LEN, err);

    std::vector<dm_file *> all;
    for (int i = 0; i < DM_MAX_FILES; i++) {
        all.push_back(open("generic:8:/many" + std::to_string(i), KES_O_WRONLY | KES_O_CREAT));
        ASSERT_NE(nullptr, all.back());
    }
    EXPECT_EQ(nullptr, open("generic:8:/one-too-many", KES_O_WRONLY | KES_O_CREAT, &err));
    EXPECT_EQ(DM_ERR_NOFILES, err);
    for (dm_file *f : all)
        EXPECT_EQ(0, dm_file_close(f));

    // Shadow files have no name left once open.
    std::string dir = std::string(DM_SHADOW_ROOT) + "/" + std::to_string(getpid());
    df = open("generic:8:/shadowed", KES_O_WRONLY | KES_O_CREAT);
    ASSERT_NE(nullptr, df);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    ASSERT_EQ(0, dm_file_close(df));
}

TEST_F(DmClientTest, AttributesByFileAndByName)
{
    connect();
    dm_file *df = open("generic:9:/s/x", KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL);
    ASSERT_NE(nullptr, df);
    std::string info = pattern(80, 11);
    ASSERT_EQ(0, dm_set_xattr(dmc, df, nullptr, "backup_info", info.data(), info.size()));
    ASSERT_EQ(0, dm_file_close(df));

    char buf[128];
    size_t len = sizeof buf;
    ASSERT_EQ(0, dm_get_xattr(dmc, nullptr, "generic:9:/s/x", "backup_info", buf, &len));
    ASSERT_EQ(80u, len);
    EXPECT_EQ(0, memcmp(buf, info.data(), 80));

    memset(buf, 0x5A, sizeof buf);
    len = 10;
    EXPECT_EQ(KES_ERANGE, dm_get_xattr(dmc, nullptr, "generic:9:/s/x", "backup_info", buf, &len));
    EXPECT_EQ(80u, len) << "the size the value needs";
    EXPECT_EQ(0x5A, static_cast<unsigned char>(buf[0])) << "buffer untouched";

    len = sizeof buf;
    EXPECT_EQ(KES_ENOENT, dm_get_xattr(dmc, nullptr, "generic:9:/s/x", "other", buf, &len));

    size_t before = peer.records().size();
    EXPECT_EQ(DM_ERR_INVALID_ARGS, dm_set_xattr(dmc, nullptr, std::string(255, 'p').c_str(), "a", "v", 1));
    EXPECT_EQ(DM_ERR_INVALID_ARGS, dm_set_xattr(dmc, nullptr, nullptr, "a", "v", 1));
    EXPECT_EQ(DM_ERR_INVALID_ARGS, dm_set_xattr(dmc, nullptr, "n", "a", "v", 0));
    EXPECT_EQ(before, peer.records().size()) << "refused before anything is sent";
}

TEST_F(DmClientTest, DeleteByNameAndItsStatus)
{
    connect();
    put("generic:/share/gone", "abc", 512);
    EXPECT_EQ(0, dm_file_delete(dmc, "generic:/share/gone"));
    EXPECT_FALSE(peer.has_file("generic:/share/gone"));
    EXPECT_EQ(0xFFFE, dm_file_delete(dmc, "generic:/share/gone"));
    EXPECT_EQ(DM_ERR_INVALID_ARGS, dm_file_delete(dmc, nullptr));
}

TEST_F(DmClientTest, DeleteNeverRemovesOutsideTheShadowRoot)
{
    connect();
    kes_test::TempDir tmp;
    std::string victim = tmp / "victim";
    kes_test::write_file(victim, "keep");
    // "/tmp/dm/shadow/<pid>/../../../.." + victim lands on the victim.
    std::string name = "/../../../.." + victim;
    dm_file_delete(dmc, name.c_str());
    EXPECT_TRUE(std::filesystem::exists(victim));

    // A symbolic link inside the shadow root is not followed either.
    std::string pid = std::to_string(getpid());
    std::string link = std::string(DM_SHADOW_ROOT) + "/" + pid + "lnk";
    std::filesystem::remove(link);
    std::filesystem::create_directory_symlink(tmp.path(), link);
    dm_file_delete(dmc, "lnk/victim");
    EXPECT_TRUE(std::filesystem::exists(victim));
    std::filesystem::remove(link);

    // A leftover under the root goes, with its emptied directories.
    std::string top = std::string(DM_SHADOW_ROOT) + "/" + pid + "generic:";
    std::filesystem::create_directories(top + "/share");
    kes_test::write_file(top + "/share/old", "x");
    dm_file_delete(dmc, "generic:/share/old");
    EXPECT_FALSE(std::filesystem::exists(top));
}

// ---------------------------------------------------------------- hostile answers

// Every read answer is rewritten by `mangle`; the client must fail the read
// (or drop the connection), never crash or write outside the page.
class DmClientHostileRead : public DmClientTest {
protected:
    int read_with(std::function<std::vector<unsigned char>(const dm_hdr &h, uint32_t len)> mangle)
    {
        connect();
        peer.put_file("generic:1:/h", pattern(3 * DM_PAGE_SIZE, 12));
        dm_set_read_ahead(0);
        dm_file *df = open("generic:1:/h", 0);
        EXPECT_NE(nullptr, df);
        if (df == nullptr)
            return 0;
        peer.set_hook([mangle](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
            if (h.cmd != DM_CMD_READ)
                return false;
            p.reply(req, mangle(h, dm_hdr_len(&h)));
            return true;
        });
        std::vector<char> buf(DM_PAGE_SIZE, 0);
        int rc = dm_file_read(df, buf.data(), DM_PAGE_SIZE + 200000, 4096, nullptr);
        dm_file_close(df);
        return rc;
    }
    static std::vector<unsigned char> answer(const dm_hdr &h, uint16_t status, uint64_t off, size_t data)
    {
        auto b = DmPeer::hdr_bytes(DM_CMD_READ, status, h.fh, h.slot, off, DM_HDR_SIZE + data);
        return b;
    }
};

TEST_F(DmClientHostileRead, OffsetOutsideTheRequestedPage)
{
    int rc = read_with([](const dm_hdr &h, uint32_t len) { return answer(h, 0, h.off + DM_PAGE_SIZE - 10, len); });
    EXPECT_LT(rc, 0);
    EXPECT_TRUE(logged("does not answer request"));
}

TEST_F(DmClientHostileRead, OffsetInsideThePageButNotAsked)
{
    int rc = read_with([](const dm_hdr &h, uint32_t) { return answer(h, 0, h.off + 100, 100); });
    EXPECT_LT(rc, 0);
    EXPECT_TRUE(logged("does not answer request"));
}

TEST_F(DmClientHostileRead, MoreDataThanAsked)
{
    int rc = read_with([](const dm_hdr &h, uint32_t len) { return answer(h, 0, h.off, len + 1); });
    EXPECT_LT(rc, 0);
    EXPECT_TRUE(logged("does not answer request"));
}

TEST_F(DmClientHostileRead, ShortAnswerIsNotData)
{
    int rc = read_with([](const dm_hdr &h, uint32_t len) { return answer(h, 0, h.off, len / 2); });
    EXPECT_EQ(DM_ERR_BADMSG, rc);
}

TEST_F(DmClientHostileRead, FailedReadIsReported)
{
    int rc = read_with([](const dm_hdr &h, uint32_t len) { return answer(h, KES_EIO, h.off, len); });
    EXPECT_EQ(DM_ERR_AIO, rc);
}

TEST_F(DmClientHostileRead, SlotOfAnotherFile)
{
    int rc = read_with([](const dm_hdr &h, uint32_t len) {
        auto b = answer(h, 0, h.off, len);
        be_put16(&b[6], 31);
        return b;
    });
    EXPECT_LT(rc, 0);
    EXPECT_TRUE(logged("Invalid Arguments df("));
}

TEST_F(DmClientHostileRead, UnknownCommand)
{
    int rc = read_with([](const dm_hdr &h, uint32_t len) {
        auto b = answer(h, 0, h.off, len);
        b[0] = 12;
        return b;
    });
    EXPECT_LT(rc, 0);
    EXPECT_TRUE(logged("bad msg[12]"));
}

// The same refusals when an answer would land in a run of pages: a run
// answered with more than asked, with the data cut inside a page, or
// failed, fails the read (or drops the connection) and never lets a byte
// outside the pages or into the wrong one.
TEST_F(DmClientTest, HostileAnswersToRunsOfPages)
{
    peer.pref_bsz = 1u << 20;
    connect(0);
    const std::string data = pattern(6 * DM_PAGE_SIZE, 23);
    peer.put_file("generic:1:/hr", data);
    struct Case {
        const char *what;
        std::function<size_t(uint32_t len)> bytes;  // data bytes answered for a request of len
        uint16_t status;
        int want;                                   // the read's result
    };
    const Case cases[] = {
        {"one byte more than asked", [](uint32_t len) { return size_t(len) + 1; }, 0, -1},
        {"cut inside the second page", [](uint32_t) { return DM_PAGE_SIZE + 1000; }, 0, DM_ERR_BADMSG},
        {"failed", [](uint32_t len) { return size_t(len); }, KES_EIO, DM_ERR_AIO},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        dm_file *df = open("generic:1:/hr", 0);
        ASSERT_NE(nullptr, df);
        peer.set_hook([&c, &data](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
            if (h.cmd != DM_CMD_READ)
                return false;
            size_t n = c.bytes(dm_hdr_len(&h));
            std::string chunk = data.substr(h.off, n);
            chunk.resize(n, 'z');
            auto b = DmPeer::hdr_bytes(DM_CMD_READ, c.status, h.fh, h.slot, h.off, DM_HDR_SIZE);
            b.insert(b.end(), chunk.begin(), chunk.end());
            p.reply(req, b);
            return true;
        });
        std::vector<char> buf(2 * DM_PAGE_SIZE, 0);
        int rc = dm_file_read(df, buf.data(), 0, static_cast<uint32_t>(buf.size()), nullptr);
        if (c.want == -1)
            EXPECT_LT(rc, 0);
        else
            EXPECT_EQ(c.want, rc);
        peer.set_hook(nullptr);
        dm_file_close(df);
        if (c.want == -1) {  // the refusal dropped the connection
            dm_client_destroy(dmc);
            dmc = nullptr;
            connect(0);
        }
    }
}

TEST_F(DmClientTest, HostileControlAnswers)
{
    connect();
    peer.put_file("generic:1:/c", "data");
    // Get answer longer than the buffer given.
    peer.set_hook([](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
        if (h.cmd == DM_CMD_GET_XATTR) {
            auto b = DmPeer::hdr_bytes(h.cmd, 0, h.fh, h.slot, 0, DM_XATTR_HDR_SIZE + 64);
            be_put32(&b[16], 64);
            p.reply(req, b);
            return true;
        }
        if (h.cmd == DM_CMD_SET_XATTR) {  // too short to be an attribute answer
            p.reply(req, DmPeer::hdr_bytes(h.cmd, 0, 0, 0, 0, DM_HDR_SIZE));
            return true;
        }
        if (h.cmd == DM_CMD_OPEN) {  // 40 bytes instead of 48
            p.reply(req, DmPeer::hdr_bytes(h.cmd, 0, 1, h.slot, 0, 40));
            return true;
        }
        return false;
    });
    char buf[32];
    memset(buf, 0x33, sizeof buf);
    size_t len = 16;
    EXPECT_EQ(DM_ERR_BADMSG, dm_get_xattr(dmc, nullptr, "generic:1:/c", "a", buf, &len));
    EXPECT_EQ(16u, len);
    EXPECT_EQ(0x33, buf[0]);
    EXPECT_EQ(DM_ERR_BADMSG, dm_set_xattr(dmc, nullptr, "generic:1:/c", "a", "v", 1));
    int err = 0;
    EXPECT_EQ(nullptr, open("generic:1:/c", 0, &err));
    EXPECT_EQ(DM_ERR_BADMSG, err);
    EXPECT_EQ(DM_MAX_FILES, dmc->free_slot_cnt);
}

TEST_F(DmClientTest, OversizedWriteAnswerDropsTheConnection)
{
    connect();
    dm_file *df = open("generic:1:/w", KES_O_WRONLY | KES_O_CREAT);
    ASSERT_NE(nullptr, df);
    peer.set_hook([](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
        if (h.cmd != DM_CMD_WRITE)
            return false;
        p.reply(req, DmPeer::hdr_bytes(h.cmd, 0, h.fh, h.slot, h.off, 20));
        return true;
    });
    std::string data = pattern(1000, 13);
    EXPECT_EQ(1000, dm_file_write(df, data.data(), 0, 1000));
    EXPECT_LT(dm_file_close(df), 0);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    EXPECT_EQ(DM_MAX_FILES, dmc->free_slot_cnt);
}

// ---------------------------------------------------------------- dropped connections

TEST_F(DmClientTest, DroppedConnectionFailsPendingReadPromptly)
{
    connect(0);
    peer.put_file("generic:1:/d", pattern(4 * DM_PAGE_SIZE, 14));
    dm_file *df = open("generic:1:/d", 0);
    ASSERT_NE(nullptr, df);
    // The peer answers nothing and drops the connection on the last read asked.
    peer.set_hook([](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
        if (h.cmd != DM_CMD_READ)
            return false;
        if (h.off + dm_hdr_len(&h) >= 4 * DM_PAGE_SIZE)
            p.drop(req);
        return true;
    });
    std::vector<char> buf(DM_PAGE_SIZE);
    int rc = dm_file_read(df, buf.data(), 0, DM_PAGE_SIZE, nullptr);
    EXPECT_LT(rc, 0);
    EXPECT_LT(dm_file_close(df), 0);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    EXPECT_EQ(DM_MAX_FILES, dmc->free_slot_cnt);
    EXPECT_EQ(0, dmc->reads_inflight);
    // Nothing is usable any more, and nothing waits.
    int err = 0;
    EXPECT_EQ(nullptr, open("generic:1:/d", 0, &err));
    EXPECT_LT(err, 0);
}

// The connection drops while an answer lands in the reader's buffer: the
// read fails, and nothing touches that buffer once the read has returned.
TEST_F(DmClientTest, ConnectionDroppedWhileAnAnswerLandsInTheReadersBuffer)
{
    peer.pref_bsz = 4u << 20;
    connect(0);
    const std::string data = pattern(32 * DM_PAGE_SIZE, 42);
    peer.put_file("generic:1:/dl", data);
    peer.set_hook([&data](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
        if (h.cmd != DM_CMD_READ)
            return false;
        // A small send buffer and an abortive close: most of the answer is
        // still queued when the connection goes, and never arrives.
        const int small = 32768;
        const linger abort_close{1, 0};
        setsockopt(req->fd->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(req->fd->sock, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
        auto b = DmPeer::hdr_bytes(DM_CMD_READ, 0, h.fh, h.slot, h.off, DM_HDR_SIZE);
        b.insert(b.end(), data.begin() + static_cast<long>(h.off), data.begin() + static_cast<long>(h.off + dm_hdr_len(&h)));
        p.reply(req, b);
        p.drop(req);
        return true;
    });
    dm_file *df = open("generic:1:/dl", 0);
    ASSERT_NE(nullptr, df);
    {
        std::vector<char> buf(4u << 20);
        EXPECT_LT(dm_file_read(df, buf.data(), 0, static_cast<uint32_t>(buf.size()), nullptr), 0);
    }
    EXPECT_EQ(nullptr, dmc->direct.df);
    EXPECT_LT(dm_file_close(df), 0);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    EXPECT_EQ(0, dmc->reads_inflight);
}

TEST_F(DmClientTest, DroppedConnectionFailsWritesWaitingForPagesAndClose)
{
    connect();  // 4 pages: the ninth half-page write has to wait for a free page
    dm_file *df = open("generic:1:/dw", KES_O_WRONLY | KES_O_CREAT);
    ASSERT_NE(nullptr, df);
    auto writes = std::make_shared<std::atomic<int>>(0);
    peer.set_hook([writes](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
        if (h.cmd != DM_CMD_WRITE)
            return false;
        if (++*writes == 4)
            p.drop(req);
        return true;  // no answers
    });
    std::string data = pattern(DM_PAGE_SIZE / 2, 15);
    int rc = 0;
    for (int i = 0; i < 16 && rc >= 0; i++)
        rc = dm_file_write(df, data.data(), static_cast<uint64_t>(i) * data.size(), static_cast<uint32_t>(data.size()));
    EXPECT_LT(rc, 0);
    EXPECT_LT(dm_file_close(df), 0);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    EXPECT_EQ(4u, pcache_free_count(dmc->pc)) << "every page came back";
}

TEST_F(DmClientTest, SilentPeerFailsEveryKindOfWaitAtItsDeadline)
{
    // Writes: page-sized writes fill the window of unanswered bytes (or the
    // cache); the write after that waits for an answer that never comes.
    connect();
    dmc->resp_timeout_s = 1;
    dm_file *df = open("generic:1:/sw", KES_O_WRONLY | KES_O_CREAT);
    ASSERT_NE(nullptr, df);
    peer.set_hook([](DmPeer &, xcomm_msg *, const dm_hdr &h) {
        return h.cmd == DM_CMD_WRITE || h.cmd == DM_CMD_GET_XATTR;  // taken in, never answered
    });
    std::string data = pattern(DM_PAGE_SIZE, 17);
    int rc = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 64 && rc >= 0; i++)
        rc = dm_file_write(df, data.data(), static_cast<uint64_t>(i) * DM_PAGE_SIZE, DM_PAGE_SIZE);
    EXPECT_EQ(XCOMM_ERR_TIMEOUT, rc);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));  // only stops a hang
    EXPECT_STREQ("no answer to DM WRITE within 1 seconds", util_timeout_text());
    // The connection went with the deadline: nothing later waits again (no
    // second deadline passes).
    rc = dm_file_close(df);
    EXPECT_LT(rc, 0);
    EXPECT_NE(XCOMM_ERR_TIMEOUT, rc);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
    EXPECT_EQ(4u, pcache_free_count(dmc->pc)) << "every page came back";
    dm_client_destroy(dmc);

    // A synchronous request.
    connect();
    dmc->resp_timeout_s = 1;
    unsigned char buf[80];
    size_t len = sizeof buf;
    EXPECT_EQ(XCOMM_ERR_TIMEOUT, dm_get_xattr(dmc, nullptr, "generic:/s/x", "backup_info", buf, &len));
    EXPECT_STREQ("no answer to DM GET_XATTR within 1 seconds", util_timeout_text());
    rc = dm_file_delete(dmc, "generic:/s/x");
    EXPECT_LT(rc, 0);
    EXPECT_NE(XCOMM_ERR_TIMEOUT, rc);
}

TEST_F(DmClientTest, DroppedConnectionDuringCloseWait)
{
    connect();
    dm_file *df = open("generic:1:/dc", KES_O_WRONLY | KES_O_CREAT);
    ASSERT_NE(nullptr, df);
    peer.set_hook([](DmPeer &p, xcomm_msg *req, const dm_hdr &h) {
        if (h.cmd != DM_CMD_WRITE)
            return false;
        p.drop(req);
        return true;
    });
    std::string data = pattern(512, 16);
    EXPECT_EQ(512, dm_file_write(df, data.data(), 0, 512));
    int rc = dm_file_close(df);
    EXPECT_LT(rc, 0);
    EXPECT_EQ(DM_MAX_FILES, dmc->free_slot_cnt);
}

}  // namespace

// Clients of one process open shadow files while others end and tidy the
// process's shadow directory away: no open may find the directory gone.
TEST(DmShadowConcurrency, OpensNeverLoseTheDirectoryToAnotherClientsCleanUp)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&failures] {
            for (int i = 0; i < 300; i++) {
                char path[DM_SHADOW_PATH_MAX];
                int err = 0;
                file_io *f = dm_shadow_create(nullptr, "rman/piece", path, sizeof path, &err);
                if (f == nullptr) {
                    failures++;
                } else {
                    unlink(path);
                    file_io_close(f);
                }
                dm_shadow_cleanup();
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}
