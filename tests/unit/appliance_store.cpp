// Storage of the appliance: names from the network, exclusive create, files
// that only become visible once committed, attributes, quota.
#include "appliance/store.h"
#include "datamover/util.h"
#include "kes_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

int parse(const std::string &s, store_name *n) { return store_parse_name(s.data(), s.size(), n); }

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override { open_store(0); }
    void TearDown() override { store_close(st_); }
    void open_store(uint64_t quota)
    {
        if (st_ != nullptr)
            store_close(st_);
        std::string err;
        ASSERT_EQ(store_open(dir_.path(), quota, &st_, &err), 0) << err;
    }
    std::shared_ptr<store_file> create(const std::string &rel, int expect = 0)
    {
        std::shared_ptr<store_file> f;
        EXPECT_EQ(store_file_open(st_, rel, STORE_WRITE | STORE_CREATE | STORE_EXCL, &f), expect);
        return f;
    }
    bool exists(const std::string &rel) const
    {
        struct stat sb;
        return stat((dir_.path() + "/" + rel).c_str(), &sb) == 0;
    }
    kes_test::TempDir dir_;
    store *st_ = nullptr;
};

}  // namespace

TEST(StoreNames, ShareAndHandleNamesMapToTheSameFile)
{
    store_name n;
    ASSERT_EQ(parse("generic:/share/file1", &n), 0);
    EXPECT_FALSE(n.has_handle);
    EXPECT_EQ(n.rel, "share/file1");
    ASSERT_EQ(parse("generic:18446744073709551615:/share/file1", &n), 0);
    EXPECT_TRUE(n.has_handle);
    EXPECT_EQ(n.handle, 18446744073709551615ULL);
    EXPECT_EQ(n.rel, "share/file1");
    ASSERT_EQ(parse("generic:/s\\sub\\f", &n), 0);
    EXPECT_EQ(n.rel, "s/sub/f");
}

TEST(StoreNames, NamesThatCouldEscapeTheRootOrAreMalformedAreRefused)
{
    store_name n;
    const char *bad[] = {
        "generic:/share/../etc/passwd", "generic:/../x", "generic:/share/..", "generic:/share/.", "generic://x",
        "generic:/share//x", "generic:/share/x/", "generic:/share", "generic:/", "generic:", "", "/share/x",
        "other:/share/x", "generic:share/x", "generic:12/share/x", "generic:12:share/x",
        "generic:18446744073709551616:/s/x",  // handle overflows 64 bits
        "generic:1x:/s/x", "generic:/share/.hidden", "generic:/.share/x", "generic:/s\\..\\x",
    };
    for (const char *b : bad)
        EXPECT_EQ(parse(b, &n), KES_EINVAL) << b;
    std::string with_nul("generic:/share/a\0b", 18);
    EXPECT_EQ(store_parse_name(with_nul.data(), with_nul.size(), &n), KES_EINVAL);
    EXPECT_EQ(parse("generic:/share/" + std::string(STORE_MAX_COMPONENT, 'a'), &n), 0);
    EXPECT_EQ(parse("generic:/share/" + std::string(STORE_MAX_COMPONENT + 1, 'a'), &n), KES_EINVAL);
}

TEST_F(StoreTest, CreatedFileIsInvisibleUntilCommittedThenReadsBack)
{
    auto f = create("sh/piece");
    ASSERT_TRUE(f);
    ASSERT_EQ(store_file_pwrite(f.get(), "hello world", 11, 0), 0);
    EXPECT_FALSE(exists("sh/piece"));
    std::shared_ptr<store_file> r;
    EXPECT_EQ(store_file_open(st_, "sh/piece", STORE_READ, &r), KES_ENOENT);
    // a second exclusive create meets the writer
    create("sh/piece", KES_EEXIST);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    EXPECT_EQ(store_file_commit(f.get()), 0);  // idempotent
    EXPECT_TRUE(exists("sh/piece"));
    ASSERT_EQ(store_file_open(st_, "sh/piece", STORE_READ, &r), 0);
    char buf[32] = {};
    size_t got = 0;
    ASSERT_EQ(store_file_pread(r.get(), buf, sizeof buf, 0, &got), 0);
    EXPECT_EQ(std::string(buf, got), "hello world");
    ASSERT_EQ(store_file_pread(r.get(), buf, sizeof buf, 11, &got), 0);
    EXPECT_EQ(got, 0u);
    // exclusive create of a complete file
    create("sh/piece", KES_EEXIST);
    // a read-only file cannot be written
    EXPECT_EQ(store_file_pwrite(r.get(), "x", 1, 0), KES_EBADF);
}

TEST_F(StoreTest, WriterThatVanishesLeavesNothingBehind)
{
    {
        auto f = create("sh/lost");
        ASSERT_EQ(store_file_pwrite(f.get(), "data", 4, 0), 0);
        ASSERT_EQ(store_set_xattr(st_, "sh/lost", "backup_info", "abc", 3), 0);
    }  // last reference gone without a commit
    std::shared_ptr<store_file> r;
    EXPECT_EQ(store_file_open(st_, "sh/lost", STORE_READ, &r), KES_ENOENT);
    char v[8];
    size_t len = 0;
    EXPECT_EQ(store_get_xattr(st_, "sh/lost", "backup_info", v, sizeof v, &len), KES_ENOENT);
    EXPECT_EQ(store_used_bytes(st_), 0u);
    // the name is free again, and no stale attribute sticks to the new file
    auto f2 = create("sh/lost");
    ASSERT_TRUE(f2);
    EXPECT_EQ(store_get_xattr(st_, "sh/lost", "backup_info", v, sizeof v, &len), KES_ENOENT);
    // an explicit abandon turns a later commit into ENOENT
    store_file_abandon(f2.get());
    EXPECT_EQ(store_file_commit(f2.get()), KES_ENOENT);
}

TEST_F(StoreTest, LeftoversOfAnEarlierRunAreRemovedAndUsageCounted)
{
    auto f = create("sh/done");
    ASSERT_EQ(store_file_pwrite(f.get(), std::string(1000, 'x').data(), 1000, 0), 0);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    f.reset();
    kes_test::write_file(dir_ / "sh/.half.kpart", std::string(500, 'y'));
    kes_test::write_file(dir_ / "sh/.gone.kxa", "zz");
    open_store(0);
    EXPECT_FALSE(exists("sh/.half.kpart"));
    EXPECT_FALSE(exists("sh/.gone.kxa"));
    EXPECT_EQ(store_used_bytes(st_), 1000u);
}

TEST_F(StoreTest, DeleteRemovesFileAndAttributesAndReportsMissingFiles)
{
    auto f = create("sh/del");
    ASSERT_EQ(store_file_pwrite(f.get(), "1234", 4, 0), 0);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    ASSERT_EQ(store_set_xattr(st_, "sh/del", "a", "v", 1), 0);
    EXPECT_EQ(store_delete(st_, "sh/del"), 0);
    EXPECT_FALSE(exists("sh/del"));
    EXPECT_FALSE(exists("sh/.del.kxa"));
    EXPECT_EQ(store_delete(st_, "sh/del"), KES_ENOENT);
    EXPECT_EQ(store_used_bytes(st_), 0u);
    // deleting a file while it is written: the later commit fails
    auto g = create("sh/busy");
    EXPECT_EQ(store_delete(st_, "sh/busy"), 0);
    EXPECT_EQ(store_file_commit(g.get()), KES_ENOENT);
    EXPECT_FALSE(exists("sh/busy"));
}

TEST_F(StoreTest, AttributesStoreReplaceAndReportNeededSize)
{
    auto f = create("sh/attr");
    unsigned char info[80];
    for (int i = 0; i < 80; ++i)
        info[i] = static_cast<unsigned char>(i * 3);
    // settable while the file is being written
    ASSERT_EQ(store_set_xattr(st_, "sh/attr", "backup_info", info, sizeof info), 0);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    unsigned char out[80] = {};
    size_t len = 0;
    ASSERT_EQ(store_get_xattr(st_, "sh/attr", "backup_info", out, sizeof out, &len), 0);
    EXPECT_EQ(len, 80u);
    EXPECT_EQ(memcmp(out, info, 80), 0);
    EXPECT_EQ(store_get_xattr(st_, "sh/attr", "backup_info", out, 79, &len), KES_ERANGE);
    EXPECT_EQ(len, 80u);
    EXPECT_EQ(store_get_xattr(st_, "sh/attr", "other", out, sizeof out, &len), KES_ENOENT);
    ASSERT_EQ(store_set_xattr(st_, "sh/attr", "backup_info", "short", 5), 0);
    ASSERT_EQ(store_get_xattr(st_, "sh/attr", "backup_info", out, sizeof out, &len), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), len), "short");
    EXPECT_EQ(store_get_xattr(st_, "sh/missing", "backup_info", out, sizeof out, &len), KES_ENOENT);
    EXPECT_EQ(store_set_xattr(st_, "sh/missing", "backup_info", "x", 1), KES_ENOENT);
    std::string big(STORE_MAX_ATTR_VALUE + 1, 'v');
    EXPECT_EQ(store_set_xattr(st_, "sh/attr", "big", big.data(), big.size()), KES_EINVAL);
    EXPECT_EQ(store_set_xattr(st_, "sh/attr", "", "x", 1), KES_EINVAL);
    for (size_t i = 1; i < STORE_MAX_ATTRS; ++i)
        ASSERT_EQ(store_set_xattr(st_, "sh/attr", ("a" + std::to_string(i)).c_str(), "x", 1), 0);
    EXPECT_EQ(store_set_xattr(st_, "sh/attr", "one-too-many", "x", 1), KES_ENOSPC);
    // a corrupt attribute file is reported, not trusted
    kes_test::write_file(dir_ / "sh/.attr.kxa", std::string("\xff\xff", 2));
    EXPECT_EQ(store_get_xattr(st_, "sh/attr", "backup_info", out, sizeof out, &len), KES_EIO);
}

TEST_F(StoreTest, QuotaRefusesGrowthAndCountsOverwritesOnce)
{
    open_store(4096);
    auto f = create("sh/q");
    std::vector<char> buf(4096, 'q');
    ASSERT_EQ(store_file_pwrite(f.get(), buf.data(), 3000, 0), 0);
    EXPECT_TRUE(store_has_space(st_));
    ASSERT_EQ(store_file_pwrite(f.get(), buf.data(), 3000, 0), 0);  // rewrite: no growth
    EXPECT_EQ(store_used_bytes(st_), 3000u);
    EXPECT_EQ(store_file_pwrite(f.get(), buf.data(), 2000, 3000), KES_ENOSPC);
    EXPECT_EQ(store_used_bytes(st_), 3000u);
    ASSERT_EQ(store_file_pwrite(f.get(), buf.data(), 1096, 3000), 0);
    EXPECT_FALSE(store_has_space(st_));
    ASSERT_EQ(store_file_commit(f.get()), 0);
    EXPECT_EQ(store_delete(st_, "sh/q"), 0);
    EXPECT_TRUE(store_has_space(st_));
    EXPECT_EQ(store_file_pwrite(f.get(), buf.data(), 1, (1ULL << 46)), KES_EFBIG);
}

TEST_F(StoreTest, NonExclusiveCreateReplacesOnCommit)
{
    auto f = create("sh/r");
    ASSERT_EQ(store_file_pwrite(f.get(), "old-data", 8, 0), 0);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    std::shared_ptr<store_file> g;
    ASSERT_EQ(store_file_open(st_, "sh/r", STORE_WRITE | STORE_CREATE, &g), 0);
    ASSERT_EQ(store_file_pwrite(g.get(), "new", 3, 0), 0);
    EXPECT_EQ(kes_test::read_file(dir_ / "sh/r"), "old-data");
    ASSERT_EQ(store_file_commit(g.get()), 0);
    EXPECT_EQ(kes_test::read_file(dir_ / "sh/r"), "new");
    EXPECT_EQ(store_used_bytes(st_), 3u);
}

TEST_F(StoreTest, SymlinkedFileIsNotFollowed)
{
    kes_test::write_file(dir_ / "outside", "secret");
    ASSERT_EQ(mkdir((dir_ / "sh").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir_ / "outside").c_str(), (dir_ / "sh/link").c_str()), 0);
    std::shared_ptr<store_file> r;
    EXPECT_EQ(store_file_open(st_, "sh/link", STORE_READ, &r), KES_ENOENT);
}

TEST_F(StoreTest, FilesAndDirectoriesAreTheAppliancesAloneWhateverTheUmask)
{
    for (mode_t mask : {mode_t(0), mode_t(0277)}) {
        mode_t old = umask(mask);
        std::string sub = mask == 0 ? "open/sub" : "strict/sub";
        auto f = create(sub + "/piece");
        ASSERT_NE(f, nullptr);
        struct stat part;
        ASSERT_EQ(stat((dir_.path() + "/" + sub + "/.piece.kpart").c_str(), &part), 0);
        EXPECT_EQ(part.st_mode & 07777, 0600u);
        ASSERT_EQ(store_file_pwrite(f.get(), "abc", 3, 0), 0);
        ASSERT_EQ(store_set_xattr(st_, sub + "/piece", "backup_info", "x", 1), 0);
        ASSERT_EQ(store_file_commit(f.get()), 0);
        umask(old);
        for (const std::string &rel : {sub + "/piece", sub + "/.piece.kxa"}) {
            struct stat sb;
            ASSERT_EQ(stat((dir_.path() + "/" + rel).c_str(), &sb), 0) << rel;
            EXPECT_EQ(sb.st_mode & 07777, 0600u) << rel << " under umask " << mask;
        }
        for (const std::string &rel : {sub.substr(0, sub.find('/')), sub}) {
            struct stat sb;
            ASSERT_EQ(stat((dir_.path() + "/" + rel).c_str(), &sb), 0) << rel;
            EXPECT_EQ(sb.st_mode & 07777, 0700u) << rel << " under umask " << mask;
        }
        // and the file opens again for writing in place
        std::shared_ptr<store_file> again;
        EXPECT_EQ(store_file_open(st_, sub + "/piece", STORE_WRITE, &again), 0);
    }
}

TEST(StoreOpen, MissingRootIsReportedClearly)
{
    store *st = nullptr;
    std::string err;
    EXPECT_NE(store_open("/nonexistent/kestralon/root", 0, &st, &err), 0);
    EXPECT_EQ(st, nullptr);
    EXPECT_NE(err.find("/nonexistent/kestralon/root"), std::string::npos) << err;
}

TEST_F(StoreTest, ConcurrencyParallelWritersShareTheQuotaExactly)
{
    open_store(64 * 1024);
    std::vector<std::shared_ptr<store_file>> files;
    for (int i = 0; i < 4; ++i)
        files.push_back(create("sh/p" + std::to_string(i)));
    std::vector<int> refused(4, 0);
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i) {
        ts.emplace_back([&, i] {
            char block[1024];
            memset(block, 'a' + i, sizeof block);
            for (int k = 0; k < 32; ++k) {
                if (store_file_pwrite(files[i].get(), block, sizeof block, uint64_t(k) * sizeof block) != 0)
                    refused[i]++;
            }
        });
    }
    for (auto &t : ts)
        t.join();
    uint64_t sum = 0;
    for (auto &f : files)
        sum += store_file_size(f.get());
    EXPECT_GT(refused[0] + refused[1] + refused[2] + refused[3], 0);
    EXPECT_LE(store_used_bytes(st_), 64u * 1024u);
    EXPECT_EQ(store_used_bytes(st_), sum);
}
