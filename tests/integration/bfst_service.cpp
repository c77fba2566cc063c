// The transfer library against the appliance's BFST service in this
// process: blobs of 0, 1 and many buffers, sessions and stores, tags,
// statistics, quota, refusals, deadlines and dropped connections.
#include "appliance_client.h"
#include "bfst_client.h"

#include "appliance/chunk_store.h"
#include "bfst/bfst_dedup.h"
#include "bfst/bfst_proto.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <memory>
#include <cstring>
#include <netinet/in.h>
#include <set>
#include <sys/stat.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using bfst_test::Appliance;
using bfst_test::Conn;
using bfst_test::Store;
using bfst_test::Stored;

namespace {

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = char(x >> 24);
    }
    return s;
}

std::string blob_bytes(Appliance &a, const std::string &tag)
{
    blob_info bi;
    if (blob_find(a.blobs(), tag, &bi) != 0)
        return "<no blob " + tag + ">";
    return kes_test::read_file(bi.path);
}

// Waits (up to 10 s: only a guard against a hang) until cond holds.
template <typename F> bool eventually(F cond)
{
    for (int i = 0; i < 1000; ++i) {
        if (cond())
            return true;
        usleep(10000);
    }
    return cond();
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class BfstService : public ::testing::Test {
protected:
    void start(appliance_config cfg = appliance_config()) { ASSERT_EQ(appl_.start(cfg), 0) << appl_.error; }
    void open(Conn *c, uint32_t timeout_s = 30)
    {
        ASSERT_EQ(c->open("127.0.0.1", appl_.port(), timeout_s), 0) << c->last.text;
        ASSERT_EQ(c->start_session(), 0) << c->last.text;
    }
    bfst_test::Library lib_;
    Appliance appl_;
};

TEST_F(BfstService, BlobsOfNoneOneAndManyBuffersKeepTheirBytesUnderDistinctTags)
{
    start();
    Conn c;
    open(&c);
    uint32_t tag_len = 0;
    char *e = nullptr;
    ASSERT_EQ(bfst2_get_tag_length(c.conn, &tag_len, &e), 0);
    EXPECT_EQ(tag_len, 32u);

    std::vector<std::string> cases[3];
    cases[1] = {pattern(100000, 1)};
    // many buffers, one of them larger than a data frame may carry
    for (unsigned i = 0; i < 12; ++i)
        cases[2].push_back(pattern(i == 5 ? (17u << 20) : 257 * 1024 + i, 10 + i));
    std::set<std::string> tags;
    for (auto &bufs : cases) {
        Store st(c.sess());
        ASSERT_EQ(st.last.rc, 0) << st.last.text;
        std::string all;
        for (const std::string &b : bufs) {
            ASSERT_EQ(st.put(b), 0) << st.last.text;
            all += b;
        }
        Stored out;
        ASSERT_EQ(st.finish(&out), 0) << st.last.text;
        ASSERT_EQ(out.tag.size(), 64u);
        EXPECT_EQ(out.tag.find_first_not_of("0123456789abcdef"), std::string::npos) << out.tag;
        tags.insert(out.tag);
        EXPECT_EQ(blob_bytes(appl_, out.tag), all);
        // honest statistics: virtual = bytes stored, actual = socket bytes with framing
        EXPECT_EQ(out.link[0], all.size());
        EXPECT_EQ(out.link[1], 0u);
        // sent: store start (header and flags), data frames, tag request;
        // received: the store's answer and the tag answer (count and tag)
        size_t frames = 0;
        for (const std::string &b : bufs)
            frames += (b.size() + (16u << 20) - 1) / (16u << 20);
        EXPECT_EQ(out.link[2], all.size() + (BFST_HDR_SIZE + 4) + frames * BFST_HDR_SIZE + BFST_HDR_SIZE);
        EXPECT_EQ(out.link[3], BFST_HDR_SIZE + (BFST_HDR_SIZE + 8 + 32));
        for (uint64_t v : out.ops)
            EXPECT_EQ(v, all.size());
        // the tag of a finished store stays the same
        std::vector<unsigned char> again(33);
        again[0] = 32;
        ASSERT_EQ(bfst2_store_tag(st.get(), 0, again.data(), &e), 0);
        char text[65];
        ASSERT_EQ(bfst2_tag_to_ascii(again.data(), text, sizeof text, &e), 0);
        EXPECT_EQ(out.tag, text);
        // once finished, a store takes no more data and cannot finish again
        EXPECT_EQ(st.put("x"), BFST2_ERR_INVALID_ARG);
        EXPECT_EQ(bfst2_store_finish(st.get(), 0, &e), BFST2_ERR_INVALID_ARG);
        bfst2_free_error_string(e);
    }
    EXPECT_EQ(tags.size(), 3u);
    // every unheld blob goes with the connection that stored it
    EXPECT_GT(appl_.used(), 17u << 20);
    c.close();
    EXPECT_TRUE(eventually([&] { return blob_list(appl_.blobs()).empty(); }));
    EXPECT_EQ(appl_.used(), 0u);
}

TEST_F(BfstService, SessionsAndStoresInterleaveOnOneConnectionAndHeldBlobsOutliveIt)
{
    start();
    Conn c;
    open(&c);
    bfst2_session *s1 = c.sess();
    bfst2_session *s2 = nullptr;
    ASSERT_EQ(c.session(&s2), 0) << c.last.text;
    std::string a1 = pattern(300000, 3), a2 = pattern(5000, 4), b1 = pattern(70000, 5);
    Stored ra, rb, rc;
    {
        Store sa(s1), sb(s2);
        ASSERT_EQ(sa.put(a1), 0);
        ASSERT_EQ(sb.put(b1), 0);
        ASSERT_EQ(sa.put(a2), 0);
        // a session with an open store cannot finish
        char *e = nullptr;
        EXPECT_EQ(bfst2_session_finish(s1, 0, &e), BFST2_ERR_INVALID_ARG);
        bfst2_free_error_string(e);
        ASSERT_EQ(sb.finish(&rb), 0) << sb.last.text;
        ASSERT_EQ(sa.finish(&ra), 0) << sa.last.text;
    }
    {
        // a second store in the same session after the first finished
        Store sc(s1);
        ASSERT_EQ(sc.put(b1), 0);
        ASSERT_EQ(sc.finish(&rc), 0);
    }
    EXPECT_EQ(blob_bytes(appl_, ra.tag), a1 + a2);
    EXPECT_EQ(blob_bytes(appl_, rb.tag), b1);
    EXPECT_EQ(blob_bytes(appl_, rc.tag), b1);
    EXPECT_NE(rb.tag, rc.tag);
    EXPECT_EQ(c.end_session(s2), 0) << c.last.text;
    EXPECT_EQ(c.end_session(s1), 0) << c.last.text;
    // a new session on the same connection still works
    ASSERT_EQ(c.start_session(), 0);

    ASSERT_EQ(blob_hold(appl_.blobs(), ra.tag, 77), 0);
    c.close();
    ASSERT_TRUE(eventually([&] { return blob_list(appl_.blobs()).size() == 1; }));
    EXPECT_EQ(appl_.used(), a1.size() + a2.size());
    EXPECT_EQ(blob_release(appl_.blobs(), ra.tag, 77), 0);
    EXPECT_EQ(appl_.used(), 0u);
}

TEST_F(BfstService, QuotaCountsUnheldBlobsAndRefusesTheStoreThatWouldExceedIt)
{
    appliance_config cfg;
    cfg.quota = 1 << 20;
    start(cfg);
    Conn c;
    open(&c);
    std::string data = pattern(600 * 1024, 7);
    Stored first;
    {
        Store st(c.sess());
        ASSERT_EQ(st.put(data), 0);
        ASSERT_EQ(st.finish(&first), 0) << st.last.text;
    }
    EXPECT_EQ(appl_.used(), data.size());
    {
        Store st(c.sess());
        // the refusal may reach the client at the buffer or at the tag
        int rc = st.put(data);
        Stored out;
        if (rc == 0)
            rc = st.finish(&out);
        EXPECT_EQ(rc, BFST2_ERR_QUOTA) << st.last.text;
        EXPECT_NE(st.last.text.find("quota"), std::string::npos) << st.last.text;
    }
    // the refused blob gave its bytes back; the connection is still usable
    EXPECT_TRUE(eventually([&] { return appl_.used() == data.size(); }));
    {
        Store st(c.sess());
        ASSERT_EQ(st.put(data.substr(0, 1000)), 0);
        Stored out;
        EXPECT_EQ(st.finish(&out), 0) << st.last.text;
    }
    c.close();
    EXPECT_TRUE(eventually([&] { return appl_.used() == 0; }));
}

TEST_F(BfstService, StartUpRemovesBlobsAnEarlierRunLeftAndKeepsTheFiles)
{
    kes_test::TempDir root;
    ASSERT_EQ(mkdir((root.path() + "/.bfst").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root.path() + "/rman").c_str(), 0755), 0);
    kes_test::write_file(root.path() + "/.bfst/" + std::string(64, 'a'), std::string(5000, 'x'));
    kes_test::write_file(root.path() + "/.bfst/" + std::string(64, 'b') + ".part", std::string(3000, 'y'));
    kes_test::write_file(root.path() + "/rman/piece", std::string(700, 'z'));
    ASSERT_EQ(appl_.start(appliance_config(), root.path()), 0) << appl_.error;
    EXPECT_EQ(appl_.used(), 700u);
    EXPECT_FALSE(kes_test::read_file(root.path() + "/rman/piece").empty());
    EXPECT_TRUE(blob_list(appl_.blobs()).empty());
    EXPECT_NE(access((root.path() + "/.bfst").c_str(), F_OK), -1);
    EXPECT_EQ(access((root.path() + "/.bfst/" + std::string(64, 'a')).c_str(), F_OK), -1);
    EXPECT_EQ(access((root.path() + "/.bfst/" + std::string(64, 'b') + ".part").c_str(), F_OK), -1);
}

TEST_F(BfstService, BusySwitchRefusesTheFirstConnectsWithEitherRetryableCode)
{
    for (uint32_t code : {uint32_t(BFST2_ERR_SERVER_BUSY), uint32_t(BFST2_ERR_VSERVER_BUSY)}) {
        appliance_config cfg;
        cfg.bfst_refuse_connects = 2;
        cfg.bfst_refuse_code = code;
        Appliance a;
        ASSERT_EQ(a.start(cfg), 0) << a.error;
        Conn c;
        EXPECT_EQ(c.open("127.0.0.1", a.port()), int(code));
        EXPECT_NE(c.last.text.find("maximum client connections"), std::string::npos) << c.last.text;
        EXPECT_EQ(c.open("127.0.0.1", a.port()), int(code));
        EXPECT_EQ(c.open("127.0.0.1", a.port()), 0) << c.last.text;
        EXPECT_EQ(c.start_session(), 0);
    }
}

TEST_F(BfstService, ConnectionsBeyondTheLimitHearBusyUntilOneEnds)
{
    start();
    std::vector<std::unique_ptr<Conn>> held;
    for (int i = 0; i < 64; ++i) {
        held.push_back(std::make_unique<Conn>());
        ASSERT_EQ(held.back()->open("127.0.0.1", appl_.port()), 0) << i << held.back()->last.text;
    }
    Conn extra;
    EXPECT_EQ(extra.open("127.0.0.1", appl_.port()), BFST2_ERR_SERVER_BUSY) << extra.last.text;
    held.pop_back();
    EXPECT_TRUE(eventually([&] { return extra.open("127.0.0.1", appl_.port()) == 0; })) << extra.last.text;
}

TEST_F(BfstService, EveryWaitEndsAtTheDeadline)
{
    // nobody listening: the connect fails at once
    {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t sl = sizeof sa;
        getsockname(s, reinterpret_cast<sockaddr *>(&sa), &sl);
        close(s);
        Conn c;
        EXPECT_EQ(c.open("127.0.0.1", ntohs(sa.sin_port)), BFST2_ERR_ABORTED);
        EXPECT_NE(c.last.text.find("refused"), std::string::npos) << c.last.text;
    }
    // a peer that accepts and never answers: the greeting times out
    {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        ASSERT_EQ(listen(s, 4), 0);
        socklen_t sl = sizeof sa;
        getsockname(s, reinterpret_cast<sockaddr *>(&sa), &sl);
        Conn c;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(c.open("127.0.0.1", ntohs(sa.sin_port), 1), BFST2_ERR_ABORTED);
        EXPECT_NE(c.last.text.find("no answer within 1 seconds"), std::string::npos) << c.last.text;
        EXPECT_LT(seconds_since(t0), 30.0);  // only a guard against a hang
        close(s);
    }
    // a slow service: the call fails after the timeout and nothing stays open
    appliance_config cfg;
    cfg.bfst_delay_ms = 2500;
    start(cfg);
    Conn c;
    ASSERT_EQ(c.open("127.0.0.1", appl_.port(), 1), BFST2_ERR_ABORTED);
    EXPECT_NE(c.last.text.find("no answer within 1 seconds"), std::string::npos) << c.last.text;
    char *e = nullptr;
    EXPECT_EQ(bfst2_open(c.conn, 0, &e), BFST2_ERR_INVALID_ARG);
    bfst2_free_error_string(e);
}

TEST_F(BfstService, ADroppedConnectionFailsTheStorePromptlyAndLeavesNoBlob)
{
    appliance_config cfg;
    cfg.bfst_drop_after_bytes = 3 << 20;
    start(cfg);
    Conn c;
    open(&c, 60);
    std::string block = pattern(256 * 1024, 9);
    auto t0 = std::chrono::steady_clock::now();
    int rc = 0;
    {
        Store st(c.sess());
        for (int i = 0; i < 200 && rc == 0; ++i)
            rc = st.put(block);
        Stored out;
        if (rc == 0)
            rc = st.finish(&out);
        EXPECT_EQ(rc, BFST2_ERR_ABORTED);
        EXPECT_NE(st.last.text.find("closed"), std::string::npos) << st.last.text;
        // nothing after that waits for the dead connection
        EXPECT_EQ(st.put(block), BFST2_ERR_ABORTED);
    }
    EXPECT_LT(seconds_since(t0), 30.0);  // only a guard against a hang
    EXPECT_TRUE(eventually([&] { return appl_.used() == 0 && blob_list(appl_.blobs()).empty(); }));
}

TEST_F(BfstService, AQuietConnectionIsClosedAfterTheIdleTime)
{
    appliance_config cfg;
    cfg.bfst_idle_timeout_s = 1;
    start(cfg);
    Conn c;
    open(&c);
    sleep(3);
    Store st(c.sess());
    EXPECT_EQ(st.last.rc, BFST2_ERR_ABORTED) << st.last.text;
}

// A peer that answers the greeting with the bytes given.
class FakePeer {
public:
    explicit FakePeer(std::string answer) : answer_(std::move(answer))
    {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(lfd_, 4);
        socklen_t sl = sizeof sa;
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&sa), &sl);
        port_ = ntohs(sa.sin_port);
        thr_ = std::thread([this] {
            int s = accept(lfd_, nullptr, nullptr);
            if (s < 0)
                return;
            char buf[BFST_HDR_SIZE + BFST_HELLO_SIZE];
            size_t got = 0;
            while (got < sizeof buf) {
                ssize_t n = read(s, buf + got, sizeof buf - got);
                if (n <= 0)
                    break;
                got += size_t(n);
            }
            ssize_t w = write(s, answer_.data(), answer_.size());
            (void)w;
            // until the client gives up
            struct timeval tv = {10, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            while (read(s, buf, sizeof buf) > 0) {
            }
            close(s);
        });
    }
    ~FakePeer()
    {
        shutdown(lfd_, SHUT_RDWR);
        thr_.join();
        close(lfd_);
    }
    uint16_t port() const { return port_; }

private:
    std::string answer_;
    int lfd_ = -1;
    uint16_t port_ = 0;
    std::thread thr_;
};

// A raw connection to the service on 127.0.0.1; -1 when it fails.
int connect_to(uint16_t port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    return s;
}

std::string frame(uint8_t type, uint32_t id, const std::string &payload, uint32_t len_field, uint32_t magic)
{
    unsigned char h[BFST_HDR_SIZE];
    bfst_hdr_encode(h, type, id, len_field);
    h[0] = uint8_t(magic >> 24);
    h[1] = uint8_t(magic >> 16);
    h[2] = uint8_t(magic >> 8);
    h[3] = uint8_t(magic);
    return std::string(reinterpret_cast<char *>(h), sizeof h) + payload;
}

TEST_F(BfstService, MalformedAnswersFailTheCallAsAProtocolError)
{
    const std::string ok8(8, '\0');
    std::string version1 = ok8;
    version1[3] = 1;
    struct Case {
        std::string answer;
        int rc;
    } cases[] = {
        {frame(BFST_OK, 0, version1, 8, 0x12345678), BFST2_ERR_PROTOCOL},                 // bad magic
        {frame(BFST_OK, 0, std::string(600, 'x'), 600, BFST_MAGIC), BFST2_ERR_PROTOCOL},  // too long
        {frame(BFST_DATA, 0, "abcd", 4, BFST_MAGIC), BFST2_ERR_PROTOCOL},                 // data from the peer
        {frame(BFST_OK, 0, ok8, 8, BFST_MAGIC), BFST2_ERR_PROTOCOL},                      // version 0
        {frame(BFST_OK, 5, version1, 8, BFST_MAGIC), BFST2_ERR_PROTOCOL},                 // another request's
        {frame(BFST_ERROR, 0, std::string("\0\0\0\1\0\x50", 6), 6, BFST_MAGIC), BFST2_ERR_PROTOCOL},  // text missing
        {frame(BFST_OK, 0, version1, 100, BFST_MAGIC), BFST2_ERR_ABORTED},  // payload never comes
    };
    for (const Case &k : cases) {
        FakePeer peer(k.answer);
        Conn c;
        EXPECT_EQ(c.open("127.0.0.1", peer.port(), 2), k.rc) << c.last.text;
    }
}

TEST_F(BfstService, HostileRequestsCloseOnlyTheirOwnConnection)
{
    start();
    const std::string requests[] = {
        std::string(16, '\xff'),
        frame(BFST_HELLO, 0, std::string(16, '\0'), 0x7fffffff, BFST_MAGIC),
        frame(BFST_DATA, 1, std::string(64, 'd'), 64, BFST_MAGIC),
        "GET / HTTP/1.0\r\n\r\n",
    };
    for (const std::string &r : requests) {
        int s = connect_to(appl_.port());
        ASSERT_GE(s, 0);
        ASSERT_EQ(write(s, r.data(), r.size()), ssize_t(r.size()));
        // closed (a reset when the service left bytes unread), not left hanging
        char b;
        struct timeval tv = {10, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssize_t n = read(s, &b, 1);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n << " " << strerror(errno);
        close(s);
    }
    Conn c;
    open(&c);
    Store st(c.sess());
    ASSERT_EQ(st.put("still serving"), 0);
    Stored out;
    EXPECT_EQ(st.finish(&out), 0) << st.last.text;
}

TEST_F(BfstService, UnknownVersionsAndTooManySessionsOrStoresAreRefusedWithTheirCodes)
{
    start();
    // a client of another protocol version hears which one the appliance speaks
    {
        int s = connect_to(appl_.port());
        ASSERT_GE(s, 0);
        unsigned char p[BFST_HELLO_SIZE];
        bfst_hello hello{3, 4, 0};
        std::string req = frame(BFST_HELLO, 0, std::string(reinterpret_cast<char *>(p), bfst_hello_encode(p, hello)),
                                BFST_HELLO_SIZE, BFST_MAGIC);
        ASSERT_EQ(write(s, req.data(), req.size()), ssize_t(req.size()));
        unsigned char ans[BFST_HDR_SIZE + BFST_ERROR_MAX_SIZE];
        struct timeval tv = {10, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssize_t n = recv(s, ans, sizeof ans, MSG_WAITALL);
        ASSERT_GT(n, ssize_t(BFST_HDR_SIZE));
        bfst_hdr h;
        ASSERT_EQ(bfst_hdr_decode(ans, 0, &h, nullptr), 0);
        EXPECT_EQ(h.type, BFST_ERROR);
        bfst_error e;
        ASSERT_EQ(bfst_error_decode(ans + BFST_HDR_SIZE, size_t(n) - BFST_HDR_SIZE, &e), 0);
        EXPECT_EQ(e.code, uint32_t(BFST2_ERR_NOT_AVAILABLE));
        EXPECT_NE(std::string(e.text).find("versions 1 to 2"), std::string::npos) << e.text;
        close(s);
    }
    Conn c;
    open(&c);
    for (int i = 1; i < 16; ++i)
        ASSERT_EQ(c.start_session(), 0) << i << c.last.text;
    EXPECT_EQ(c.start_session(), BFST2_ERR_INVALID_ARG);
    EXPECT_NE(c.last.text.find("too many sessions"), std::string::npos) << c.last.text;
    std::vector<std::unique_ptr<Store>> stores;
    for (int i = 0; i < 16; ++i) {
        stores.push_back(std::make_unique<Store>(c.sessions[0]));
        ASSERT_EQ(stores.back()->last.rc, 0) << i << stores.back()->last.text;
    }
    Store one_more(c.sessions[0]);
    EXPECT_EQ(one_more.last.rc, BFST2_ERR_INVALID_ARG) << one_more.last.text;
    // a store given up makes room again
    stores.pop_back();
    Store room(c.sessions[0]);
    EXPECT_EQ(room.last.rc, 0) << room.last.text;
}

TEST(BfstSwitches, CommandLineSetsTheServiceAndRefusesBadValues)
{
    auto parse = [](std::vector<std::string> args, appliance_config *cfg, std::string *msg) {
        args.insert(args.begin(), {"kestralon-appliance", "--root", "/r", "--user", "a:b"});
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        return appliance_parse_args(int(argv.size()), argv.data(), cfg, msg);
    };
    appliance_config cfg;
    std::string msg;
    ASSERT_EQ(parse({"--bfst-port", "0", "--tls-dir", "/t", "--bfst-idle-timeout", "5", "--bfst-refuse-connects",
                     "2", "--bfst-refuse-code", "vserver", "--bfst-delay-ms", "1100", "--bfst-drop-after-bytes=1M"},
                    &cfg, &msg),
              0)
        << msg;
    EXPECT_EQ(cfg.bfst_port, 0);
    EXPECT_EQ(cfg.tls_dir, "/t");
    EXPECT_EQ(cfg.bfst_idle_timeout_s, 5u);
    EXPECT_EQ(cfg.bfst_refuse_connects, 2u);
    EXPECT_EQ(cfg.bfst_refuse_code, uint32_t(BFST2_ERR_VSERVER_BUSY));
    EXPECT_EQ(cfg.bfst_delay_ms, 1100u);
    EXPECT_EQ(cfg.bfst_drop_after_bytes, 1u << 20);
    appliance_config defaults;
    EXPECT_EQ(defaults.bfst_refuse_code, uint32_t(BFST2_ERR_SERVER_BUSY));
    for (std::vector<std::string> bad : {std::vector<std::string>{"--bfst-port", "65536"},
                                         {"--bfst-refuse-code", "0x1"},
                                         {"--bfst-idle-timeout", "0"},
                                         {"--tls-dir"}}) {
        appliance_config c;
        EXPECT_EQ(parse(bad, &c, &msg), -1) << bad[0];
        EXPECT_NE(msg.find(bad[0]), std::string::npos) << msg;
    }
    std::string help = appliance_usage("kestralon-appliance");
    for (const char *sw : {"--bfst-port", "--tls-dir", "--bfst-idle-timeout", "--bfst-refuse-connects",
                           "--bfst-refuse-code", "--bfst-delay-ms", "--bfst-drop-after-bytes"})
        EXPECT_NE(help.find(sw), std::string::npos) << sw;
}

TEST(BfstSwitches, TheDaemonServesPort1062AndRefusesAsTold)
{
    bfst_test::Library lib;
    kes_test::TempDir root;
    appl_test::Daemon d;
    ASSERT_TRUE(d.start({"--root", root.path(), "--user", "rman:secret", "--bfst-refuse-connects", "1",
                         "--bfst-refuse-code", "vserver"}))
        << d.output();
    Conn c;
    EXPECT_EQ(c.open(d.addr(), 1062), BFST2_ERR_VSERVER_BUSY) << c.last.text;
    ASSERT_EQ(c.open(d.addr(), 1062), 0) << c.last.text << "\n" << d.output();
    ASSERT_EQ(c.start_session(), 0);
    Store st(c.sess());
    ASSERT_EQ(st.put(pattern(4096, 1)), 0);
    Stored out;
    EXPECT_EQ(st.finish(&out), 0) << st.last.text;
}

TEST(BfstConcurrency, ConnectionsStoreInParallel)
{
    bfst_test::Library lib;
    Appliance a;
    ASSERT_EQ(a.start(), 0) << a.error;
    constexpr int N = 4;
    std::string data[N];
    std::string tags[N];
    int rcs[N] = {};
    std::vector<std::thread> ts;
    for (int i = 0; i < N; ++i) {
        data[i] = pattern(size_t(300000 + i * 1111), unsigned(20 + i));
        ts.emplace_back([&, i] {
            Conn c;
            if ((rcs[i] = c.open("127.0.0.1", a.port())) != 0 || (rcs[i] = c.start_session()) != 0)
                return;
            Store st(c.sess());
            for (size_t off = 0; off < data[i].size() && rcs[i] == 0; off += 65536)
                rcs[i] = st.put(data[i].data() + off, std::min<size_t>(65536, data[i].size() - off));
            Stored out;
            if (rcs[i] == 0)
                rcs[i] = st.finish(&out);
            tags[i] = out.tag;
            if (rcs[i] == 0)
                blob_hold(a.blobs(), out.tag, 1);
        });
    }
    for (auto &t : ts)
        t.join();
    for (int i = 0; i < N; ++i) {
        ASSERT_EQ(rcs[i], 0) << i;
        EXPECT_EQ(blob_bytes(a, tags[i]), data[i]) << i;
    }
}

// The bytes a recipe blob stands for, read from the chunk store.
std::string recipe_bytes(const Appliance &a, const std::string &tag)
{
    std::vector<recipe_entry> rs;
    uint64_t size = 0;
    const char *why = nullptr;
    if (recipe_load(a.root() + "/.bfst/" + tag, &rs, &size, &why) != 0)
        return std::string("unreadable: ") + why;
    std::string out;
    std::vector<unsigned char> chunk(BFST_CHUNK_MAX), scratch;
    for (const recipe_entry &e : rs) {
        if (chunk_read(a.chunks(), e, chunk.data(), &scratch, &why) != 0)
            return std::string("unreadable: ") + why;
        out.append(reinterpret_cast<char *>(chunk.data()), e.len);
    }
    return out;
}

TEST(BfstDedupConcurrency, StoresInParallelShareChunksAndGiveThemBackWhole)
{
    bfst_test::Library lib;
    Appliance a;
    a.dedup = true;
    ASSERT_EQ(a.start(), 0) << a.error;
    constexpr int N = 4;
    // Each store: a part all share, then one of its own; the last one
    // repeats the first twice.
    const std::string common = pattern(3u << 20, 7);
    std::string data[N], tags[N];
    Stored out[N];
    int rcs[N] = {};
    for (int i = 0; i < N; ++i)
        data[i] = common + (i == N - 1 ? common : pattern(size_t(1u << 20) + size_t(i) * 4099, unsigned(30 + i)));
    std::vector<std::thread> ts;
    for (int i = 0; i < N; ++i) {
        ts.emplace_back([&, i] {
            Conn c;
            if ((rcs[i] = c.open("127.0.0.1", a.port())) != 0 || (rcs[i] = c.start_session()) != 0)
                return;
            Store st(c.sess());
            for (size_t off = 0; off < data[i].size() && rcs[i] == 0; off += 300000)
                rcs[i] = st.put(data[i].data() + off, std::min<size_t>(300000, data[i].size() - off));
            if (rcs[i] == 0)
                rcs[i] = st.finish(&out[i]);
            tags[i] = out[i].tag;
            if (rcs[i] == 0)
                blob_hold(a.blobs(), out[i].tag, 1);
        });
    }
    for (auto &t : ts)
        t.join();
    uint64_t unique = 0;
    for (int i = 0; i < N; ++i) {
        ASSERT_EQ(rcs[i], 0) << i;
        EXPECT_EQ(out[i].ops[0], data[i].size());
        EXPECT_EQ(out[i].link[0], data[i].size());
        EXPECT_LE(out[i].ops[1], data[i].size());
        unique += out[i].ops[1];
        EXPECT_TRUE(recipe_bytes(a, tags[i]) == data[i]) << i;
    }
    // the repeat inside the last store is never sent twice
    EXPECT_LE(out[N - 1].ops[1], common.size() + (256u << 10));
    for (int i = 0; i < N; ++i)
        ASSERT_EQ(blob_release(a.blobs(), tags[i], 1), 0);
    // Every reference given back: the collector reclaims every byte.
    EXPECT_TRUE(eventually([&] { return a.used() == 0; })) << a.used() << " bytes left, " << unique << " sent";
    std::vector<std::string> problems;
    EXPECT_EQ(chunk_store_verify(a.root(), &problems, nullptr), 0u);
}

}  // namespace

namespace {

// The chunks of a whole stream, cut and fingerprinted in one piece.
std::vector<recipe_entry> whole_stream_chunks(const std::string &s)
{
    std::vector<recipe_entry> out;
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t pos = 0; pos < s.size();) {
        recipe_entry e;
        e.len = uint32_t(bfst_chunk_cut(p + pos, s.size() - pos));
        bfst_fingerprint(p + pos, e.len, &e.fp);
        out.push_back(e);
        pos += e.len;
    }
    return out;
}

}  // namespace

TEST(BfstDedupConcurrency, ChunksAreThoseOfTheWholeStreamHoweverItIsBatched)
{
    // The library cuts its batches in parallel and joins them up; whatever
    // the buffers, the batch boundaries and the runs of zeros across them,
    // the recipe must list exactly the chunks of the whole stream.
    bfst_test::Library lib;
    Appliance a;
    a.dedup = true;
    ASSERT_EQ(a.start(), 0) << a.error;
    std::string zeros_across = pattern(2u << 20, 61);
    zeros_across.replace((2u << 20) - 100000, 100000, 100000, '\0');
    zeros_across += std::string(150000, '\0') + pattern((3u << 20) + 12345, 62);
    const std::string streams[] = {
        zeros_across,
        pattern(4u << 20, 63),                    // ends where a batch does
        pattern(9u << 20, 64).substr(0, 9437000),  // more batches than workers
        pattern(100, 65),
    };
    for (const std::string &s : streams) {
        Conn c;
        ASSERT_EQ(c.open("127.0.0.1", a.port()), 0);
        ASSERT_EQ(c.start_session(), 0);
        Store st(c.sess());
        for (size_t off = 0, step = 77777; off < s.size(); off += step, step = step * 3 % 400009 + 1)
            ASSERT_EQ(st.put(s.data() + off, std::min(step, s.size() - off)), 0);
        Stored out;
        ASSERT_EQ(st.finish(&out), 0);
        std::vector<recipe_entry> rs;
        uint64_t size = 0;
        const char *why = nullptr;
        ASSERT_EQ(recipe_load(a.root() + "/.bfst/" + out.tag, &rs, &size, &why), 0) << why;
        EXPECT_EQ(size, s.size());
        const std::vector<recipe_entry> want = whole_stream_chunks(s);
        ASSERT_EQ(rs.size(), want.size()) << s.size();
        for (size_t i = 0; i < rs.size(); ++i) {
            ASSERT_EQ(rs[i].len, want[i].len) << "chunk " << i << " of a stream of " << s.size();
            ASSERT_TRUE(rs[i].fp == want[i].fp) << "chunk " << i << " of a stream of " << s.size();
        }
        EXPECT_TRUE(recipe_bytes(a, out.tag) == s);
    }
}

TEST_F(BfstService, AChunkThatIsNotWhatItsFingerprintSaysFailsItsStoreAndNeverEntersTheChunkStore)
{
    // A hostile client offers two chunks and sends the second with other
    // bytes than its fingerprint names, then asks for its tag at once: the
    // appliance checks every chunk itself, and the tag waits for the check.
    appl_.dedup = true;
    start();
    const std::string honest = pattern(5000, 71), named = pattern(5000, 72), sent = pattern(5000, 73);
    bfst_query_entry q[2];
    bfst_fp fps[2];
    bfst_fingerprint(honest.data(), honest.size(), &fps[0]);
    bfst_fingerprint(named.data(), named.size(), &fps[1]);
    for (int i = 0; i < 2; ++i) {
        memcpy(q[i].fp, fps[i].b, BFST_FP_LEN);
        q[i].len = 5000;
    }
    std::vector<unsigned char> stream;
    auto put = [&](uint8_t type, uint32_t id, const void *p, size_t n, const std::string &more = std::string()) {
        unsigned char h[BFST_HDR_SIZE];
        bfst_hdr_encode(h, type, id, uint32_t(n + more.size()));
        stream.insert(stream.end(), h, h + sizeof h);
        stream.insert(stream.end(), static_cast<const unsigned char *>(p), static_cast<const unsigned char *>(p) + n);
        stream.insert(stream.end(), more.begin(), more.end());
    };
    unsigned char b[4 + 2 * BFST_QUERY_ENTRY];
    put(BFST_HELLO, 0, b, bfst_hello_encode(b, bfst_hello{1, BFST_PROTO_DEDUP, BFST_HELLO_BACKUP}));
    put(BFST_OPEN, 0, b, bfst_flags_encode(b, 0));
    put(BFST_SESSION_START, 0, b, 0);                                            // session 1
    put(BFST_STORE_START, 1, b, bfst_flags_encode(b, BFST_STORE_DEDUP | 0x241));  // store 2
    put(BFST_CHUNK_QUERY, 2, b, bfst_query_encode(b, q, 2));
    for (int i = 0; i < 2; ++i) {
        bfst_chunk_hdr ch;
        memcpy(ch.fp, fps[i].b, BFST_FP_LEN);
        ch.len = 5000;
        ch.flags = 0;
        unsigned char hb[BFST_CHUNK_HDR];
        bfst_chunk_hdr_encode(hb, ch);
        put(BFST_CHUNK, 2, hb, sizeof hb, i == 0 ? honest : sent);
    }
    put(BFST_STORE_TAG, 2, b, 0);

    int s = connect_to(appl_.port());
    ASSERT_GE(s, 0);
    ASSERT_EQ(write(s, stream.data(), stream.size()), ssize_t(stream.size()));
    shutdown(s, SHUT_WR);
    // (the receive timeout only stops a hang)
    struct timeval tv = {30, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string answers;
    char rb[4096];
    for (ssize_t n; (n = read(s, rb, sizeof rb)) > 0;)
        answers.append(rb, size_t(n));
    close(s);
    std::string shown;
    for (char ch : answers)
        shown += ch >= 32 && ch < 127 ? ch : '.';
    EXPECT_NE(answers.find("a chunk does not match its fingerprint"), std::string::npos) << shown;
    // no tag came back: the store's last answer is its failure, said again
    const size_t last = answers.rfind("a chunk does not match its fingerprint");
    EXPECT_NE(answers.find("a chunk does not match its fingerprint"), last) << "failed, then refused its tag";

    // The forged bytes are nowhere, and the honest chunk goes with the store.
    int rc = 0;
    EXPECT_FALSE(chunk_ref(appl_.chunks(), fps[1], 5000, &rc));
    EXPECT_TRUE(eventually([&] { return appl_.used() == 0; })) << appl_.used();
    EXPECT_TRUE(blob_list(appl_.blobs()).empty());
}
