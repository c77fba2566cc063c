// The DM client against the appliance service in-process: files opened
// through the control connection are written, flushed, closed, reopened and
// read back byte for byte over the data mover; attributes by open file and by
// name; delete by name.
//
// KES_DM_BIG_MB=<n> adds a round trip of an n MiB file (1024 for the 1 GiB
// case); the default run keeps to small files.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "appliance/appliance.h"
#include "datamover/dm_int.h"
#include "datamover/ost_mi.h"
#include "kes_test.h"
#include "lib/common/mi_comm.h"
#include "lib/common/pgnauth.h"

namespace {

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; i += 4) {
        uint32_t v = rng();
        memcpy(&s[i], &v, std::min<size_t>(4, n - i));
    }
    return s;
}

// The appliance makes every closed file durable; on a memory file system
// that costs nothing, so the store lives there when the machine has one.
class ShmDir {
public:
    ShmDir()
    {
        std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
        std::string tmpl = base + "/kesdm.XXXXXX";
        if (mkdtemp(tmpl.data()) != nullptr)
            path_ = tmpl;
    }
    ~ShmDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class DmAppliance : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Small synchronous exchanges would otherwise wait out delayed
        // acknowledgements on every call.
        int32_t one = 1;
        dm_set_option(DM_OPT_NODELAY, &one, sizeof one);
        appliance_config cfg;
        cfg.listen_addr = "127.0.0.1";
        cfg.mi_port = 0;
        cfg.root = root.path();
        cfg.users = {{"alice", "pw-alice"}};
        cfg.log_level = 3;
        cfg.log_file = root / "appliance.log";
        std::string msg;
        ASSERT_EQ(0, appliance_start(cfg, &app, &msg)) << msg;
        int err = 0;
        mi = ost_mi_client_create("127.0.0.1", appliance_mi_port(app), nullptr, nullptr, 0, nullptr, 0, 1, &err);
        ASSERT_NE(nullptr, mi) << err;
        ASSERT_EQ(0, pgnauth_authenticate(mi, "alice", "pw-alice"));
        mi_dm_port_req preq{0};
        mi_dm_port_reply prep{};
        ASSERT_EQ(0, miSendRequest(mi, MI_DM_PORT, &preq, &prep));
        ASSERT_EQ(0, prep.status);
        dmc = dm_client_create("127.0.0.1", prep.port, nullptr, 0, 0, nullptr, 0, 1, &err);
        ASSERT_NE(nullptr, dmc) << util_err_name(err);
    }
    void TearDown() override
    {
        if (dmc != nullptr)
            dm_client_destroy(dmc);
        if (mi != nullptr)
            ost_mi_client_destroy(mi);
        if (app != nullptr)
            appliance_stop(app);
    }

    // Opens "generic:/share/<name>" through MI; the handle name the data mover takes.
    std::string mi_open(const std::string &name, int32_t mode, uint64_t *handle)
    {
        std::string share = "generic:/share/" + name;
        mi_open_file_req req{mode, share.data()};
        mi_open_file_reply rep{};
        EXPECT_EQ(0, miSendRequest(mi, MI_OPEN_FILE, &req, &rep));
        EXPECT_EQ(0, rep.status) << share;
        *handle = rep.handle;
        char dm_name[260];
        snprintf(dm_name, sizeof dm_name, "generic:%" PRIu64 ":/share/%s", rep.handle, name.c_str());
        return dm_name;
    }
    void mi_close(uint64_t handle)
    {
        mi_close_file_req req{0, handle};
        mi_close_file_reply rep{};
        EXPECT_EQ(0, miSendRequest(mi, MI_CLOSE_FILE, &req, &rep));
        EXPECT_EQ(0, rep.status);
    }

    void backup(const std::string &name, const std::string &data, size_t bsz)
    {
        uint64_t h = 0;
        std::string dm_name = mi_open(name, MI_OPEN_WRITE | MI_OPEN_CREATE | MI_OPEN_EXCL, &h);
        int err = 0;
        dm_file *df = dm_file_open(dmc, dm_name.c_str(), KES_O_WRONLY | KES_O_CREAT | KES_O_EXCL, &err);
        ASSERT_NE(nullptr, df) << util_err_name(err) << " " << err;
        for (size_t off = 0; off < data.size(); off += bsz) {
            uint32_t n = static_cast<uint32_t>(std::min(bsz, data.size() - off));
            ASSERT_EQ(static_cast<int>(n), dm_file_write(df, data.data() + off, off, n)) << name << " at " << off;
        }
        std::string info = "info:" + name;
        info.resize(80, '.');
        ASSERT_EQ(0, dm_set_xattr(dmc, df, nullptr, "backup_info", info.data(), info.size()));
        ASSERT_EQ(0, dm_file_flush(df));
        ASSERT_EQ(0, dm_file_close(df));
        mi_close(h);
    }

    std::string restore(const std::string &name, size_t bsz)
    {
        uint64_t h = 0;
        std::string dm_name = mi_open(name, MI_OPEN_READ, &h);
        int err = 0;
        dm_file *df = dm_file_open(dmc, dm_name.c_str(), 0, &err);
        EXPECT_NE(nullptr, df) << err;
        if (df == nullptr)
            return "<open failed>";
        std::string out;
        std::vector<char> buf(bsz);
        for (uint64_t off = 0;; off += bsz) {
            int rc = dm_file_read(df, buf.data(), off, static_cast<uint32_t>(bsz), nullptr);
            EXPECT_GE(rc, 0) << name << " at " << off;
            if (rc <= 0)
                break;
            out.append(buf.data(), static_cast<size_t>(rc));
        }
        char info[80];
        size_t len = sizeof info;
        EXPECT_EQ(0, dm_get_xattr(dmc, df, nullptr, "backup_info", info, &len));
        EXPECT_EQ(80u, len);
        EXPECT_EQ(0, memcmp(info, ("info:" + name).data(), 5 + name.size()));
        EXPECT_EQ(0, dm_file_close(df));
        mi_close(h);
        return out;
    }

    ShmDir root;
    appliance *app = nullptr;
    ost_mi_client *mi = nullptr;
    dm_client *dmc = nullptr;
};

TEST_F(DmAppliance, RoundTripsAcrossSizesAndBlockSizes)
{
    const size_t psz = DM_PAGE_SIZE;
    struct {
        size_t size;
        std::vector<size_t> blocks;
    } cases[] = {
        {0, {512, 4u << 20}},
        {1, {512, 4u << 20}},
        {psz, {512, psz, 4u << 20}},
        {psz + 1, {512, 65536, 4u << 20}},
        {9 * psz + 4099, {8192, psz, 1u << 20, 4u << 20}},
    };
    int n = 0;
    for (const auto &c : cases) {
        for (size_t bsz : c.blocks) {
            std::string name = "f" + std::to_string(n++);
            std::string data = pattern(c.size, static_cast<unsigned>(n));
            backup(name, data, bsz);
            std::string back = restore(name, bsz);
            ASSERT_EQ(data.size(), back.size()) << name << " block " << bsz;
            ASSERT_TRUE(data == back) << name << " size " << c.size << " block " << bsz;
        }
    }
    EXPECT_EQ(DM_MAX_FILES, dmc->free_slot_cnt);
    EXPECT_EQ(DM_POOL_MSGS, dmc->free_msg_cnt);
}

TEST_F(DmAppliance, AttributesByNameAndDelete)
{
    backup("named", pattern(1000, 3), 512);
    char buf[128];
    size_t len = sizeof buf;
    ASSERT_EQ(0, dm_get_xattr(dmc, nullptr, "generic:/share/named", "backup_info", buf, &len));
    EXPECT_EQ(80u, len);
    EXPECT_EQ(0, memcmp(buf, "info:named", 10));

    memset(buf, 0x77, sizeof buf);
    len = 16;
    EXPECT_EQ(KES_ERANGE, dm_get_xattr(dmc, nullptr, "generic:/share/named", "backup_info", buf, &len));
    EXPECT_EQ(80u, len);
    EXPECT_EQ(0x77, static_cast<unsigned char>(buf[0]));

    ASSERT_EQ(0, dm_set_xattr(dmc, nullptr, "generic:/share/named", "note", "abc", 3));
    len = sizeof buf;
    ASSERT_EQ(0, dm_get_xattr(dmc, nullptr, "generic:/share/named", "note", buf, &len));
    EXPECT_EQ(3u, len);

    EXPECT_EQ(0, dm_file_delete(dmc, "generic:/share/named"));
    EXPECT_EQ(0xFFFE, dm_file_delete(dmc, "generic:/share/named"));
    mi_open_file_req req{MI_OPEN_READ, const_cast<char *>("generic:/share/named")};
    mi_open_file_reply rep{};
    ASSERT_EQ(0, miSendRequest(mi, MI_OPEN_FILE, &req, &rep));
    EXPECT_NE(0, rep.status);
}

TEST_F(DmAppliance, LargeFileWhenAsked)
{
    const char *mb = getenv("KES_DM_BIG_MB");
    if (mb == nullptr || atoi(mb) <= 0)
        GTEST_SKIP() << "set KES_DM_BIG_MB to run";
    std::string data = pattern(static_cast<size_t>(atoi(mb)) << 20, 9);
    backup("big", data, 1u << 20);
    std::string back = restore("big", 1u << 20);
    ASSERT_TRUE(data == back);
}

}  // namespace
