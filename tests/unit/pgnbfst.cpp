// The BFST path against a fake transfer library and the appliance's control
// service in this process: connection and busy retry, blobs, tags and
// extents, failures on the way, space credit, admin alerts and the caches.
#include "lib/common/pgnbfst.h"

#include "lib/common/com_util.h"
#include "lib/common/log.h"
#include "lib/common/pgnbfst_cache.h"
#include "lib/common/pgnbfst_int.h"
#include "lib/common/pgnconfig.h"
#include "lib/rman/rman_bfst.h"
#include "tests/unit/appliance_mi.h"
#include "tests/unit/bfst_fake.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using bfst_fake::random_bytes;
using kes_test::read_file;

// The process main log, opened once in a directory of its own at DEBUG;
// each object sees only what was written after it was made.
class MainLog {
public:
    MainLog()
    {
        static kes_test::TempDir dir;
        path_ = dir / "rman0.log";
        plog_open_main(dir.path().c_str());
        plog_configure_main(LOG_LVL_DEBUG, 1ULL << 30, 10);
        start_ = read_file(path_).size();
    }
    std::string text() const { return read_file(path_).substr(start_); }
    bool has(const std::string &part) const { return text().find(part) != std::string::npos; }
    size_t count(const std::string &part) const
    {
        std::string t = text();
        size_t n = 0;
        for (size_t pos = t.find(part); pos != std::string::npos; pos = t.find(part, pos + 1))
            n++;
        return n;
    }

private:
    std::string path_;
    size_t start_ = 0;
};


struct Extent {
    uint64_t off, len;
    std::string tag;
    bool operator==(const Extent &o) const { return off == o.off && len == o.len && tag == o.tag; }
};
std::ostream &operator<<(std::ostream &os, const Extent &e) { return os << "(" << e.off << "," << e.len << "," << e.tag << ")"; }

// A path on the fake library whose MI messages reach the in-process service.
class BfstPath : public ::testing::Test {
protected:
    void SetUp() override { pgnconfig_reset_defaults(); }
    void TearDown() override
    {
        if (p_.ctx != nullptr) {
            pgnbfst_disconnect_gp(&p_);
            pgnbfst_finalize_gp(&p_);
        }
        EXPECT_TRUE(fake_.clean()) << "objects or error texts of the fake left behind";
        pgnconfig_reset_defaults();
    }

    // Prepares the path for a new file without connecting it.
    void prepare(uint32_t file_flags = 0, bool with_mi = true)
    {
        memset(&p_, 0, sizeof p_);
        strcpy(p_.host, "127.0.0.1");
        p_.flags = file_flags | BFST_F_OPEN_DEFAULTS;
        p_.open_mode = BFST_OPEN_BACKUP;
        if (with_mi) {
            if (svc_ == nullptr)
                svc_ = std::make_unique<appl_test::MiService>(quota_);
            mi_session *s = svc_->session();
            fh_ = svc_->create(s, "piece" + std::to_string(++files_));
            p_.mi_fh = fh_;
            p_.mi_session = svc_->client(s);
        }
    }
    void connect(uint64_t blob_size = 1000, uint32_t file_flags = 0)
    {
        prepare(file_flags);
        ASSERT_EQ(pgnbfst_initialize_gp(&p_, blob_size), 0);
        ASSERT_EQ(pgnbfst_connect_new_session_gp(&p_), 0);
    }
    int write(const std::string &data, uint64_t off)
    {
        uint64_t written = 99;
        int rc = pgnbfst_write_gp(&p_, data.data(), data.size(), off, &written);
        if (rc == 0) {
            EXPECT_EQ(written, data.size());
        }
        return rc;
    }
    int close()
    {
        int rc = pgnbfst_disconnect_gp(&p_);
        pgnbfst_finalize_gp(&p_);
        return rc;
    }
    std::vector<Extent> extents()
    {
        auto h = svc_->handle(fh_);
        std::vector<Extent> out;
        std::lock_guard<std::mutex> g(h->mu);
        for (const auto &e : h->extents)
            out.push_back({e.image_off, e.length, e.tag});
        return out;
    }
    std::string blob_tag(size_t i) { return fake_.state().blobs.at(i).tag; }

    bfst_fake::Scope fake_;
    uint64_t quota_ = 0;  // of the service, made by the first prepare
    std::unique_ptr<appl_test::MiService> svc_;
    MainLog log_;
    bfst_path p_{};
    uint64_t fh_ = 0;
    int files_ = 0;
};

}  // namespace

// ---------------------------------------------------------------- library references

TEST_F(BfstPath, FirstReferenceStartsTheLibraryAndTheLastStopsIt)
{
    // A start that fails takes no reference.
    fake_.fail("initialize", BFST2_ERR_NOMEM, 0, 1);
    EXPECT_EQ(rpgn_initbfst(), MI_STS_EMALLOC);
    EXPECT_TRUE(log_.has("rpgn_initbfst: failed to initialize BFST API: MI_STS_EMALLOC\n"));
    EXPECT_EQ(rpgn_initbfst(), 0);
    EXPECT_EQ(rpgn_initbfst(), 0);
    EXPECT_EQ(fake_.count("initialize"), 2);
    rpgn_finibfst();
    EXPECT_EQ(fake_.count("finalize"), 0) << "another channel still holds it";
    rpgn_finibfst();
    EXPECT_EQ(fake_.count("finalize"), 1);
    // One release too many is logged and leaves the count at 0.
    rpgn_finibfst();
    EXPECT_TRUE(log_.has("rpgn_finibfst: rpgnBfstInitialized(-1) out of range, adjusting to 0.\n"));
    EXPECT_EQ(rpgn_initbfst(), 0);
    EXPECT_EQ(fake_.count("initialize"), 3);
    rpgn_finibfst();
    EXPECT_EQ(fake_.count("finalize"), 2);
}

// ---------------------------------------------------------------- connection

TEST_F(BfstPath, ConnectChoosesCipherCredentialAndTypeFromTheFileFlags)
{
    kes_test::ScopedWindir windir;
    pgnconfig_reset_paths();
    std::string libdir = windir.libdir();
    ASSERT_EQ(system(("mkdir -p " + libdir).c_str()), 0);
    for (const char *f : {"cacert.pem", "cert.pem", "key.pem"})
        kes_test::write_file(libdir + "/" + f, "pem");

    struct Case {
        uint32_t flags;
        uint32_t cipher;
        const char *type;
        const char *password;  // null: certificate credential
        bool warns;
    };
    const Case cases[] = {
        {0, BFST_CIPHER_NONE, "ost-no-encrypt", "lakeside", false},
        {0x02 | 0x04, BFST_CIPHER_A, "ost", "lakeside", false},
        {0x02 | 0x08, BFST_CIPHER_SHA256_AES256, "ost", "5C3E9A17B0D24F68A1E7C93B40D6F215", false},
        {0x02 | 0x10, BFST_CIPHER_SHA256_AES256, "ost", "5C3E9A17B0D24F68A1E7C93B40D6F215", true},
        {0x02 | 0x20, BFST_CIPHER_CERT, "ost", nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        MainLog log;
        fake_.reset();
        prepare(c.flags, false);
        p_.open_mode = c.flags == 0 ? 0 : BFST_OPEN_BACKUP;
        ASSERT_EQ(pgnbfst_initialize_gp(&p_, BFST_BLOB_SIZE), 0);
        ASSERT_EQ(pgnbfst_connect_new_session_gp(&p_), 0);
        auto &st = fake_.state();
        EXPECT_EQ(st.cipher, c.cipher);
        EXPECT_EQ(st.encryption, c.type);
        EXPECT_EQ(st.host, "127.0.0.1");
        EXPECT_EQ(st.port, 1062u);
        EXPECT_EQ(st.timeout, 60u);
        EXPECT_EQ(st.connect_flags, c.flags == 0 ? 0u : 0x10000u);
        if (c.password != nullptr) {
            EXPECT_EQ(st.password, c.password);
        } else {
            // No revocation list in the directory: the other three still go.
            std::vector<std::string> want = {libdir + "/cacert.pem", libdir + "/cert.pem", libdir + "/key.pem",
                                             "(null)"};
            EXPECT_EQ(st.cert_files, want);
        }
        EXPECT_EQ(log.has("Invalid encryption type, setting it to default SHA256-AES256\n"), c.warns);
        EXPECT_TRUE(log.has("Connected to BFST 127.0.0.1\n"));
        EXPECT_EQ(close(), 0);
        EXPECT_TRUE(log.has("Disconnected from BFST\n"));
        EXPECT_TRUE(fake_.clean());
    }
    pgnconfig_reset_paths();
}

TEST_F(BfstPath, ConnectRetriesWhileTheApplianceIsBusy)
{
    prepare(0, false);
    fake_.state().connect_codes = {BFST2_ERR_SERVER_BUSY, BFST2_ERR_VSERVER_BUSY};
    ASSERT_EQ(pgnbfst_initialize_gp(&p_, BFST_BLOB_SIZE), 0);
    ASSERT_EQ(pgnbfst_connect_new_session_gp(&p_), 0);
    EXPECT_EQ(fake_.count("connect"), 3);
    EXPECT_EQ(fake_.state().sleeps, (std::vector<uint32_t>{10000, 10000}));
    EXPECT_TRUE(log_.has("BFST connect exceeded the server's maximum client connections - retrying.: 0x2D21900"));
    EXPECT_TRUE(log_.has("BFST connect exceeded the virtual server's maximum client connections - retrying.: "
                         "0xDAB673F [fake library error]: busy\n"));
    EXPECT_TRUE(log_.has("BFST connect success after 2 retries.\n"));
}

TEST_F(BfstPath, BusyConnectGivesUpWhenTheTimeoutHasPassed)
{
    // (timeout seconds, attempts): each refusal costs one 10-second wait.
    for (auto [timeout, attempts] : {std::pair{0, 1}, std::pair{25, 3}}) {
        SCOPED_TRACE(timeout);
        MainLog log;
        fake_.reset();
        pgncfg().DATA_CONNECTION_BUSY_TIMEOUT = timeout;
        prepare(0, false);
        fake_.state().connect_codes.assign(10, BFST2_ERR_SERVER_BUSY);
        ASSERT_EQ(pgnbfst_initialize_gp(&p_, BFST_BLOB_SIZE), 0);
        EXPECT_EQ(pgnbfst_connect_new_session_gp(&p_), MI_STS_ECONNECT);
        EXPECT_EQ(fake_.count("connect"), attempts);
        EXPECT_EQ(fake_.state().sleeps.size(), static_cast<size_t>(attempts));
        EXPECT_TRUE(log.has("BFST connect timeout of " + std::to_string(timeout) + " seconds reached after " +
                            std::to_string(attempts) + " attempts; giving up.: 0x2D21900"))
            << log.text();
        EXPECT_FALSE(log.has("connect success"));
        // The failed connect released what it built; the context stays until finalize.
        EXPECT_TRUE(fake_.clean());
        EXPECT_EQ(close(), 0);
    }
}

TEST_F(BfstPath, ConnectFailureAtAnyStepReleasesWhatWasBuilt)
{
    const std::tuple<const char *, int, int32_t, const char *> cases[] = {
        {"credential_create_password", BFST2_ERR_NOMEM, MI_STS_EMALLOC, "BFST credential object creation failed."},
        {"handle_create_remote_with_credential", BFST2_ERR_NOT_FOUND, MI_STS_EFNOTFOUND,
         "BFST connection create failed."},
        {"connect", BFST2_ERR_AUTH, MI_STS_EAUTH, "BFST connect failed."},
        {"open", BFST2_ERR_PROTOCOL, MI_STS_EPROTO, "BFST open failed."},
        {"session_create", BFST2_ERR_ABORTED, MI_STS_EABORT, "BFST session create failed."},
        {"get_tag_length", 0x1234567, MI_STS_EINTERNAL, "BFST get tag length failed."},
    };
    for (auto [call, code, status, text] : cases) {
        SCOPED_TRACE(call);
        MainLog log;
        fake_.reset();
        fake_.fail(call, code);
        prepare(0, false);
        ASSERT_EQ(pgnbfst_initialize_gp(&p_, BFST_BLOB_SIZE), 0);
        EXPECT_EQ(pgnbfst_connect_new_session_gp(&p_), status);
        EXPECT_TRUE(log.has(std::string(text) + ": 0x")) << log.text();
        EXPECT_TRUE(fake_.clean());
        EXPECT_EQ(close(), 0);
    }
    // A call that says it succeeded but hands out no object has failed.
    for (const char *call : {"credential_create_password", "handle_create_remote_with_credential", "session_create"}) {
        SCOPED_TRACE(call);
        fake_.reset();
        fake_.state().no_object.insert(call);
        prepare(0, false);
        ASSERT_EQ(pgnbfst_initialize_gp(&p_, BFST_BLOB_SIZE), 0);
        EXPECT_EQ(pgnbfst_connect_new_session_gp(&p_), MI_STS_EPROTO);
        EXPECT_TRUE(fake_.clean());
        EXPECT_EQ(close(), 0);
    }
    // A tag length the tag buffer cannot carry is refused.
    for (uint32_t len : {0u, 256u}) {
        fake_.reset();
        fake_.state().tag_length = len;
        prepare(0, false);
        ASSERT_EQ(pgnbfst_initialize_gp(&p_, BFST_BLOB_SIZE), 0);
        EXPECT_EQ(pgnbfst_connect_new_session_gp(&p_), MI_STS_EPROTO);
        EXPECT_TRUE(fake_.clean());
        EXPECT_EQ(close(), 0);
    }
}

// ---------------------------------------------------------------- store path

TEST_F(BfstPath, BlobsAreCutAtTheBlobSizeAndEachBecomesAHeldExtent)
{
    connect(1000);
    const std::string data = random_bytes(2500, 1);
    ASSERT_EQ(write(data, 0), 0);
    EXPECT_EQ(extents(), (std::vector<Extent>{{0, 1000, blob_tag(0)}, {1000, 1000, blob_tag(1)}}));
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(extents(), (std::vector<Extent>{{0, 1000, blob_tag(0)}, {1000, 1000, blob_tag(1)}, {2000, 500, blob_tag(2)}}));

    auto &st = fake_.state();
    ASSERT_EQ(st.blobs.size(), 3u);
    std::string stored;
    for (const auto &b : st.blobs) {
        EXPECT_TRUE(b.finished);
        EXPECT_EQ(b.start_flags, 0x241u);
        stored += b.bytes;
    }
    EXPECT_EQ(stored, data);
    EXPECT_EQ(fake_.count("session_start"), 3);
    EXPECT_EQ(fake_.count("session_finish"), 3);

    // Every extent traveled in the form with all statistics, each its own blob's.
    auto h = svc_->handle(fh_);
    std::lock_guard<std::mutex> g(h->mu);
    EXPECT_EQ(h->held_tags.size(), 3u);
    for (const appl_extent &e : h->extents) {
        EXPECT_EQ(e.form, static_cast<uint32_t>(MI_BFST_SET_EXTENT_ACCEL));
        EXPECT_EQ(e.link[0], e.length);
        EXPECT_EQ(e.link[2], e.length + 64);
        EXPECT_EQ(e.link[3], 16u);
        EXPECT_EQ(e.op[0], e.length);
        EXPECT_EQ(e.ingest_data_bytes, e.length);
        EXPECT_EQ(e.ingest_unique_bytes, e.length);
        EXPECT_EQ(e.tag_off, 0u);
    }
    EXPECT_TRUE(log_.has("Set extent for BLOB tag " + blob_tag(1) + " img offset 0x3e8 tag offset 0 length 0x3e8\n"));
    EXPECT_TRUE(log_.has("Hold tag for " + blob_tag(0) + "\n"));
    EXPECT_TRUE(log_.has("Accelerator stats - IngestDataBytes:500, IngestUniqueBytes:500, IngestSynthBytes:0"));
}

TEST_F(BfstPath, AWriteOfThreeHundredMebibytesCrossesTheBlobBoundary)
{
    connect(BFST_BLOB_SIZE);
    fake_.state().keep_bytes = false;
    // Never touched: the fake keeps no bytes, so no page of it is used.
    const size_t len = 300u << 20;
    void *mem = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    uint64_t written = 0;
    EXPECT_EQ(pgnbfst_write_gp(&p_, mem, len, 0, &written), 0);
    EXPECT_EQ(written, len);
    EXPECT_EQ(fake_.state().store_lengths, (std::vector<uint64_t>{0x10000000, 44u << 20}));
    EXPECT_EQ(extents(), (std::vector<Extent>{{0, 0x10000000, blob_tag(0)}}));
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(extents(), (std::vector<Extent>{{0, 0x10000000, blob_tag(0)}, {0x10000000, 44u << 20, blob_tag(1)}}));
    munmap(mem, len);
}

TEST_F(BfstPath, GapsEndTheBlobAndSeeksBackAreRefused)
{
    connect(1000);
    // A gap while nothing is stored only moves the offset.
    EXPECT_EQ(write("", 40), 0);
    EXPECT_EQ(fake_.count("session_start"), 0);
    EXPECT_EQ(write(std::string(60, 'a'), 40), 0);
    EXPECT_EQ(write("", 100), 0);  // nothing at the current offset
    EXPECT_EQ(write(std::string(50, 'b'), 300), 0);
    EXPECT_TRUE(log_.has("BFST gap from offset 100 to 300 found, finish processing\n"));
    EXPECT_EQ(extents(), (std::vector<Extent>{{40, 60, blob_tag(0)}}));
    EXPECT_EQ(write(std::string(10, 'c'), 200), MI_STS_EINTERNAL);
    EXPECT_TRUE(log_.has("BFST seek back from offset 350 not allowed\n"));
    EXPECT_EQ(fake_.state().store_lengths.size(), 2u);
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(extents(), (std::vector<Extent>{{40, 60, blob_tag(0)}, {300, 50, blob_tag(1)}}));
}

TEST_F(BfstPath, FailuresBeforeAnyByteReachedTheStoreLeaveThePathUsable)
{
    connect(1000);
    const std::string data = random_bytes(300, 2);
    auto fails = [&](const char *call, bool hollow) {
        SCOPED_TRACE(call);
        if (hollow)
            fake_.state().no_object.insert(call);
        else
            fake_.fail(call, BFST2_ERR_ABORTED, 0, 1);
        EXPECT_EQ(write(data, 0), hollow ? MI_STS_EPROTO : MI_STS_EABORT);
        fake_.state().no_object.clear();
    };
    for (const char *call : {"session_start", "store_create", "store_start"})
        fails(call, false);
    // A store that says it was made but is not there counts as a failure.
    fails("store_create", true);
    // Each failed store start finished the session it had begun.
    EXPECT_EQ(fake_.count("session_finish"), 3);
    EXPECT_EQ(p_.ctx->session_started, 0);
    for (const char *call : {"buffer_create", "buffer_attach_memory"})
        fails(call, false);
    fails("buffer_create", true);
    EXPECT_EQ(write(data, 0), 0);
    EXPECT_EQ(close(), 0);
    ASSERT_EQ(extents().size(), 1u);
    EXPECT_EQ(extents()[0].off, 0u);
    EXPECT_EQ(extents()[0].len, 300u);
    EXPECT_EQ(fake_.state().blobs.back().bytes, data);
}

TEST_F(BfstPath, AStoreThatFailedLeavesTheImageIncompleteForGood)
{
    for (const char *call : {"store_buffer", "buffer_destroy"}) {
        SCOPED_TRACE(call);
        fake_.reset();
        connect(1000);
        ASSERT_EQ(write(std::string(100, 'x'), 0), 0);
        fake_.fail(call, BFST2_ERR_QUOTA, 0, 1);
        EXPECT_EQ(write(std::string(100, 'y'), 100), MI_STS_ENOSPC);
        // The blob may hold part of the failed bytes: nothing more goes into
        // this image, no extent is recorded for it and the close fails.
        int stores = fake_.count("store_buffer");
        EXPECT_EQ(write(std::string(100, 'y'), 100), MI_STS_ENOSPC);
        EXPECT_EQ(fake_.count("store_buffer"), stores);
        EXPECT_EQ(close(), MI_STS_ENOSPC);
        EXPECT_TRUE(extents().empty());
        EXPECT_EQ(svc_->seen(MI_BFST_HOLD_TAG), 0);
        EXPECT_TRUE(fake_.clean());
    }
}

TEST_F(BfstPath, ABlobThatCannotBeTaggedHeldOrFinishedRecordsNoExtent)
{
    struct Case {
        const char *what;
        int32_t status;
        int drops;
    };
    const Case cases[] = {
        {"store_tag", MI_STS_EABORT, 0},
        {"hold", MI_STS_EPERM, 0},
        {"store_finish", MI_STS_EABORT, 1},
        {"session_finish", MI_STS_EABORT, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake_.reset();
        connect(100);
        int drops_before = svc_->seen(MI_BFST_DROP_TAG);
        if (std::string(c.what) == "hold") {
            svc_->shared().tag_hook = [](void *, const appl_handle *, const std::string &, bool hold) {
                return hold ? MI_STS_EPERM : 0;
            };
        } else {
            fake_.fail(c.what, BFST2_ERR_ABORTED, 0, 1);
        }
        // The write that fills the blob reports it.
        EXPECT_EQ(write(std::string(150, 'z'), 0), c.status);
        svc_->shared().tag_hook = nullptr;
        EXPECT_EQ(p_.ctx->session_started, 0);
        EXPECT_EQ(p_.ctx->store, nullptr);
        EXPECT_EQ(svc_->seen(MI_BFST_DROP_TAG) - drops_before, c.drops);
        EXPECT_TRUE(extents().empty());
        auto h = svc_->handle(fh_);
        {
            std::lock_guard<std::mutex> g(h->mu);
            EXPECT_TRUE(h->held_tags.empty());
        }
        // The image misses that blob: later writes and the close fail.
        EXPECT_EQ(write(std::string(10, 'z'), 150), c.status);
        EXPECT_EQ(close(), c.status);
        EXPECT_TRUE(fake_.clean());
    }
}

TEST_F(BfstPath, ACacheWriteAcrossTheBlobEndGoesAsTwoParts)
{
    connect(1000);
    ASSERT_EQ(write(std::string(996, 'a'), 0), 0);
    bfst_path *cell = &p_;
    const std::string ten = random_bytes(10, 3);
    EXPECT_EQ(rpgn_cache_write(ten.data(), 996, ten.size(), &cell), 0);
    EXPECT_EQ(fake_.state().store_lengths, (std::vector<uint64_t>{996, 4, 6}));
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(extents(), (std::vector<Extent>{{0, 1000, blob_tag(0)}, {1000, 6, blob_tag(1)}}));
    EXPECT_EQ(fake_.state().blobs[1].bytes, ten.substr(4));

    // A failed last part is logged with its place.
    fake_.reset();
    connect(1000);
    cell = &p_;
    fake_.fail("session_start", BFST2_ERR_ABORTED);
    EXPECT_EQ(rpgn_cache_write(ten.data(), 0, ten.size(), &cell), MI_STS_EABORT);
    EXPECT_TRUE(log_.has("pgnbfst_write failed, offset=0, length=10, rc=21e0000e\n"));
}

// ---------------------------------------------------------------- space credit

TEST_F(BfstPath, SpaceIsAskedForOnTheFirstBlockThenOncePerBlob)
{
    connect(BFST_BLOB_SIZE);
    const uint64_t mib = 1 << 20;
    EXPECT_EQ(pgnbfst_check_space(&p_, mib), 0);
    EXPECT_EQ(svc_->seen(MI_CHECK_SPACE), 1);
    for (int i = 1; i < 256; i++)
        ASSERT_EQ(pgnbfst_check_space(&p_, mib), 0);
    EXPECT_EQ(svc_->seen(MI_CHECK_SPACE), 1);
    EXPECT_EQ(p_.space_credit, 0u);
    EXPECT_EQ(pgnbfst_check_space(&p_, mib), 0);
    EXPECT_EQ(svc_->seen(MI_CHECK_SPACE), 2);
    EXPECT_EQ(p_.space_credit, BFST_BLOB_SIZE - mib);
    // More than the credit and one blob together: the credit ends at 0, not below.
    EXPECT_EQ(pgnbfst_check_space(&p_, 2 * BFST_BLOB_SIZE), 0);
    EXPECT_EQ(p_.space_credit, 0u);

    // Without a control session the check fails and the credit stays.
    p_.mi_session = nullptr;
    EXPECT_EQ(pgnbfst_check_space(&p_, mib), KES_EINVAL);
    EXPECT_TRUE(log_.has("Message (MI_CHECK_SPACE) Send Failed:22\n"));
    EXPECT_EQ(p_.space_credit, 0u);
}

TEST_F(BfstPath, ASpaceRefusalFailsTheCheckAndKeepsTheCredit)
{
    quota_ = BFST_BLOB_SIZE - 1;
    connect(BFST_BLOB_SIZE);
    EXPECT_EQ(pgnbfst_check_space(&p_, 65536), MI_STS_ENOSPC);
    EXPECT_TRUE(log_.has("MI_CHECK_SPACE failed: no space\n"));
    EXPECT_EQ(p_.space_credit, 0u);
    // Another file's handle is not this session's to ask about.
    p_.mi_fh ^= 1;
    EXPECT_EQ(pgnbfst_check_space(&p_, 65536), MI_STS_ENOENT);
    EXPECT_TRUE(log_.has("MI_CHECK_SPACE failed: error " + std::to_string(MI_STS_ENOENT) + "\n"));
    p_.mi_fh ^= 1;
}

// ---------------------------------------------------------------- admin alerts

TEST_F(BfstPath, SlowCallsRaiseAlertsOfKindOneThenNineUntilTheApplianceSaysNoMore)
{
    pgncfg().ADMIN_ALERT_TIME = 1;
    connect(1000);
    fake_.slow("store_buffer", 999);
    ASSERT_EQ(write(std::string(10, 'a'), 0), 0);
    EXPECT_EQ(svc_->seen(MI_ADMIN_ALERT), 0);
    EXPECT_FALSE(log_.has("is slow"));
    fake_.slow("store_buffer", 1500);
    ASSERT_EQ(write(std::string(10, 'a'), 10), 0);
    ASSERT_EQ(write(std::string(10, 'a'), 20), 0);
    auto alerts = svc_->sent(MI_ADMIN_ALERT);
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].admin_alert_req.kind, 1u);
    EXPECT_EQ(alerts[1].admin_alert_req.kind, 9u);
    EXPECT_EQ(alerts[0].admin_alert_req.seconds, 1u);
    EXPECT_EQ(alerts[0].admin_alert_req.handle, fh_);
    EXPECT_EQ(alerts[0].admin_alert_req.pid, static_cast<uint64_t>(getpid()));
    std::string text = alerts[0].admin_alert_req.text;
    EXPECT_EQ(text.rfind("pgnbfst_store.cpp:", 0), 0u) << text;
    EXPECT_NE(text.find(", store_chunk(): bfst2_store_buffer"), std::string::npos) << text;
    for (auto &a : alerts)
        mi_free_request(MI_ADMIN_ALERT, &a);
    EXPECT_EQ(p_.alert_count, 2u);
    EXPECT_EQ(log_.count("(): bfst2_store_buffer is slow, took 1 seconds\n"), 2u);
    {
        auto h = svc_->handle(fh_);
        std::lock_guard<std::mutex> g(h->mu);
        EXPECT_EQ(h->alerts, 2u);
    }

    // The appliance switches alerts off: the file sends no more, the log still warns.
    svc_->shared().cfg.refuse_admin_alerts = true;
    ASSERT_EQ(write(std::string(10, 'a'), 30), 0);
    EXPECT_TRUE(log_.has("OST admin alerts for BFST transport disabled on server\n"));
    EXPECT_EQ(p_.flags & BFST_F_ADMIN_ALERTS, 0u);
    ASSERT_EQ(write(std::string(10, 'a'), 40), 0);
    EXPECT_EQ(svc_->seen(MI_ADMIN_ALERT), 3);
    EXPECT_EQ(log_.count("bfst2_store_buffer is slow, took 1 seconds\n"), 4u);
    // A slow call does not change the call's own result.
    EXPECT_EQ(close(), 0);
}

// ---------------------------------------------------------------- caches

namespace {

// A writer that records what it was handed and fails when told to.
struct Recorder {
    struct Call {
        uint64_t off;
        std::string bytes;
        const void *ptr;
    };
    std::vector<Call> calls;
    int fail = 0;

    static int write(const void *buf, uint64_t off, uint64_t len, void *cell)
    {
        auto *r = static_cast<Recorder *>(cell);
        if (r->fail != 0)
            return r->fail;
        r->calls.push_back({off, std::string(static_cast<const char *>(buf), len), buf});
        return 0;
    }
};

struct Cache {
    Recorder rec;
    bfst_wcache *c = nullptr;
    explicit Cache(uint64_t capacity) { EXPECT_EQ(bfst_wcache_create(capacity, Recorder::write, &rec, &c), 0); }
    ~Cache() { bfst_wcache_destroy(c); }
};

}  // namespace

TEST(BfstWriteBehindCache, GathersContiguousBlocksIntoOneStore)
{
    const uint64_t k = 1024;
    Cache t(1024 * k);
    const std::string data = random_bytes(1024 * k, 4);
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(bfst_wcache_write(t.c, data.data() + i * 256 * k, i * 256 * k, 256 * k), 0);
        EXPECT_EQ(t.rec.calls.size(), i < 3 ? 0u : 1u);
    }
    EXPECT_EQ(t.rec.calls[0].off, 0u);
    EXPECT_EQ(t.rec.calls[0].bytes, data);
    EXPECT_EQ(t.c->fill, 0u);

    // 900 KiB held, then 300 KiB: 124 KiB fill the buffer, it goes, 176 KiB stay.
    const std::string more = random_bytes(1200 * k, 5);
    ASSERT_EQ(bfst_wcache_write(t.c, more.data(), 1024 * k, 900 * k), 0);
    ASSERT_EQ(bfst_wcache_write(t.c, more.data() + 900 * k, 1924 * k, 300 * k), 0);
    ASSERT_EQ(t.rec.calls.size(), 2u);
    EXPECT_EQ(t.rec.calls[1].off, 1024 * k);
    EXPECT_EQ(t.rec.calls[1].bytes, more.substr(0, 1024 * k));
    EXPECT_EQ(t.c->fill, 176 * k);
    ASSERT_EQ(bfst_wcache_flush(t.c), 0);
    EXPECT_EQ(t.rec.calls[2].off, 2048 * k);
    EXPECT_EQ(t.rec.calls[2].bytes, more.substr(1024 * k));
    EXPECT_EQ(bfst_wcache_flush(t.c), 0);
    EXPECT_EQ(t.rec.calls.size(), 3u);
}

TEST(BfstWriteBehindCache, OtherOffsetsAndLargeWritesFlushFirst)
{
    const uint64_t k = 1024;
    Cache t(1024 * k);
    const std::string a = random_bytes(100, 6), b = random_bytes(50, 7);
    ASSERT_EQ(bfst_wcache_write(t.c, a.data(), 0, a.size()), 0);
    // Not where the held bytes end: they go at their own offset first.
    ASSERT_EQ(bfst_wcache_write(t.c, b.data(), 5000, b.size()), 0);
    ASSERT_EQ(t.rec.calls.size(), 1u);
    EXPECT_EQ(t.rec.calls[0].off, 0u);
    EXPECT_EQ(t.rec.calls[0].bytes, a);
    // Larger than the cache: the held bytes, then the caller's own memory.
    const std::string big = random_bytes(2048 * k, 8);
    ASSERT_EQ(bfst_wcache_write(t.c, big.data(), 5050, big.size()), 0);
    ASSERT_EQ(t.rec.calls.size(), 3u);
    EXPECT_EQ(t.rec.calls[1].off, 5000u);
    EXPECT_EQ(t.rec.calls[1].bytes, b);
    EXPECT_EQ(t.rec.calls[2].off, 5050u);
    EXPECT_EQ(t.rec.calls[2].ptr, big.data());
    EXPECT_EQ(t.c->next_offset, 5050 + big.size());
}

TEST(BfstWriteBehindCache, AFailedStoreKeepsTheHeldBytesButNotTheFailedBlock)
{
    Cache t(1000);
    const std::string a = random_bytes(600, 9), b = random_bytes(600, 10);
    ASSERT_EQ(bfst_wcache_write(t.c, a.data(), 0, a.size()), 0);
    t.rec.fail = MI_STS_ENOSPC;
    EXPECT_EQ(bfst_wcache_write(t.c, b.data(), 600, b.size()), MI_STS_ENOSPC);
    EXPECT_EQ(t.c->fill, 600u);
    EXPECT_EQ(t.c->next_offset, 600u);
    EXPECT_EQ(bfst_wcache_flush(t.c), MI_STS_ENOSPC);
    t.rec.fail = 0;
    // The block is written again at its offset and follows the held bytes.
    ASSERT_EQ(bfst_wcache_write(t.c, b.data(), 600, b.size()), 0);
    ASSERT_EQ(bfst_wcache_flush(t.c), 0);
    ASSERT_EQ(t.rec.calls.size(), 2u);
    EXPECT_EQ(t.rec.calls[0].bytes + t.rec.calls[1].bytes, a + b);
    EXPECT_EQ(t.rec.calls[1].off, 1000u);

    bfst_wcache *none = nullptr;
    EXPECT_EQ(bfst_wcache_create(0, Recorder::write, nullptr, &none), KES_EINVAL);
    EXPECT_EQ(none, nullptr);
    bfst_rcache *rnone = nullptr;
    EXPECT_EQ(bfst_rcache_create(0, nullptr, nullptr, &rnone), KES_EINVAL);
}
