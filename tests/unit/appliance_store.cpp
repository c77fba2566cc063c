// Storage of the appliance: names from the network, exclusive create, files
// that only become visible once committed, attributes, quota.
#include "appliance/store.h"
#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"
#include "kes_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
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

// ---------------------------------------------------------------- checksums

namespace {

constexpr size_t PG = DM_SUM_PAGE;

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (char &c : s)
        c = char(rng());
    return s;
}

// The checksums a sidecar holds, read independently of the store.
std::vector<uint64_t> sidecar(const std::string &path)
{
    std::string raw = kes_test::read_file(path);
    std::vector<uint64_t> out;
    if (raw.size() < 32 || raw.compare(0, 8, "KESSUMS1") != 0)
        return out;
    for (size_t p = 32; p + 8 <= raw.size(); p += 8)
        out.push_back(be_get64(reinterpret_cast<const unsigned char *>(raw.data()) + p));
    return out;
}

// The checksums the data should have, page by page.
std::vector<uint64_t> expected_sums(const std::string &data)
{
    std::vector<uint64_t> out;
    for (size_t off = 0; off < data.size(); off += PG)
        out.push_back(dm_sum64(data.data() + off, std::min(PG, data.size() - off)));
    return out;
}

void flip(const std::string &path, uint64_t off)
{
    std::string d = kes_test::read_file(path);
    d[off] = char(d[off] ^ 0x10);
    kes_test::write_file(path, d);
}

}  // namespace

TEST_F(StoreTest, ChecksumsAreRightForEveryWayDataArrives)
{
    const std::string data = pattern(3 * PG + 12345, 1);
    // Each writes the same bytes in another order and grain.
    std::vector<std::pair<std::string, std::vector<std::pair<size_t, size_t>>>> ways;
    std::vector<std::pair<size_t, size_t>> small, whole, backwards, rewrite, sparse;
    for (size_t off = 0; off < data.size(); off += 16384)
        small.push_back({off, std::min<size_t>(16384, data.size() - off)});
    for (size_t off = 0; off < data.size(); off += PG)
        whole.push_back({off, std::min(PG, data.size() - off)});
    for (size_t i = small.size(); i-- > 0;)
        backwards.push_back(small[i]);
    rewrite = whole;
    rewrite.push_back({100, 5000});          // part of a page written again
    rewrite.push_back({PG - 10, 20});        // across two pages
    sparse.push_back({3 * PG, data.size() - 3 * PG});  // the end first, holes before it
    sparse.push_back({PG + 7, 2 * PG - 7});
    sparse.push_back({0, PG + 7});
    ways = {{"small", small}, {"whole", whole}, {"backwards", backwards}, {"rewrite", rewrite}, {"sparse", sparse}};
    for (auto &[name, writes] : ways) {
        SCOPED_TRACE(name);
        auto f = create("sh/" + name);
        for (auto [off, len] : writes)
            ASSERT_EQ(store_file_pwrite(f.get(), data.data() + off, len, off), 0);
        ASSERT_EQ(store_file_commit(f.get()), 0);
        EXPECT_EQ(sidecar(dir_ / ("sh/." + name + ".kcs")), expected_sums(data));
        std::shared_ptr<store_file> r;
        ASSERT_EQ(store_file_open(st_, "sh/" + name, STORE_READ, &r), 0);
        std::string back(data.size() + 10, '\0');
        size_t got = 0;
        ASSERT_EQ(store_file_pread(r.get(), back.data(), back.size(), 0, &got), 0);
        EXPECT_TRUE(back.substr(0, got) == data);
        // A read that starts and ends inside pages is checked all the same.
        ASSERT_EQ(store_file_pread(r.get(), back.data(), PG, PG / 2, &got), 0);
        EXPECT_TRUE(back.substr(0, got) == data.substr(PG / 2, PG));
    }
    EXPECT_EQ(kes_test::read_file(dir_ / "sh/.whole.kcs").size(), 32u + 8u * 4u);
}

TEST_F(StoreTest, DamagedDataIsRefusedWithTheOffsetOfItsPage)
{
    const std::string data = pattern(3 * PG, 2);
    auto f = create("sh/d");
    ASSERT_EQ(store_file_pwrite(f.get(), data.data(), data.size(), 0), 0);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    flip(dir_ / "sh/d", PG + 4321);
    std::shared_ptr<store_file> r;
    ASSERT_EQ(store_file_open(st_, "sh/d", STORE_READ, &r), 0);
    std::string buf(data.size(), '\0');
    size_t got = 0;
    sums_damage dmg;
    ASSERT_EQ(store_file_pread(r.get(), buf.data(), PG, 0, &got, &dmg), 0);
    EXPECT_EQ(got, PG);
    EXPECT_EQ(store_file_pread(r.get(), buf.data(), PG, PG, &got, &dmg), KES_EIO);
    EXPECT_EQ(dmg.off, PG);
    EXPECT_STREQ(dmg.why, "checksum mismatch");
    dmg = sums_damage();
    EXPECT_EQ(store_file_pread(r.get(), buf.data(), 100, PG - 50, &got, &dmg), KES_EIO) << "a read of a few bytes too";
    EXPECT_EQ(dmg.off, PG);
    ASSERT_EQ(store_file_pread(r.get(), buf.data(), PG, 2 * PG, &got, &dmg), 0);
    // Turned off, the check lets the bytes through as they are.
    store_set_verify(st_, false);
    ASSERT_EQ(store_file_pread(r.get(), buf.data(), PG, PG, &got), 0);
    EXPECT_EQ(got, PG);
}

TEST_F(StoreTest, LostChecksumsRefuseReadsAndFilesStoredWithoutThemGetThemAtOpen)
{
    const std::string data = pattern(PG + 99, 3);
    auto f = create("sh/old");
    ASSERT_EQ(store_file_pwrite(f.get(), data.data(), data.size(), 0), 0);
    ASSERT_EQ(store_file_commit(f.get()), 0);
    f.reset();
    ASSERT_EQ(unlink((dir_ / "sh/.old.kcs").c_str()), 0);
    std::shared_ptr<store_file> r;
    ASSERT_EQ(store_file_open(st_, "sh/old", STORE_READ, &r), 0);
    std::string buf(data.size(), '\0');
    size_t got = 0;
    sums_damage dmg;
    EXPECT_EQ(store_file_pread(r.get(), buf.data(), buf.size(), 0, &got, &dmg), KES_EIO);
    EXPECT_STREQ(dmg.why, "no checksums are kept for it");
    r.reset();
    // A store that opens finds the file without checksums and gives it some.
    open_store(0);
    EXPECT_EQ(store_adopted_files(st_), 1u);
    ASSERT_EQ(store_file_open(st_, "sh/old", STORE_READ, &r), 0);
    ASSERT_EQ(store_file_pread(r.get(), buf.data(), buf.size(), 0, &got), 0);
    EXPECT_TRUE(buf == data);
    r.reset();
    // A damaged checksum file is never replaced by one computed from the data.
    flip(dir_ / "sh/.old.kcs", 40);
    open_store(0);
    EXPECT_EQ(store_adopted_files(st_), 0u);
    ASSERT_EQ(store_file_open(st_, "sh/old", STORE_READ, &r), 0);
    EXPECT_EQ(store_file_pread(r.get(), buf.data(), buf.size(), 0, &got, &dmg), KES_EIO);
    EXPECT_STREQ(dmg.why, "its checksum file is damaged");
}

TEST_F(StoreTest, AnInterruptedCommitKeepsTheChecksumsThatMatchTheData)
{
    const std::string x = pattern(2 * PG, 4), y = pattern(2 * PG, 5);
    for (const char *n : {"a", "b"}) {
        auto f = create(std::string("sh/") + n);
        const std::string &d = n[0] == 'a' ? x : y;
        ASSERT_EQ(store_file_pwrite(f.get(), d.data(), d.size(), 0), 0);
        ASSERT_EQ(store_file_commit(f.get()), 0);
    }
    const std::string b_sums = kes_test::read_file(dir_ / "sh/.b.kcs");
    auto reads_back = [&](const std::string &want) {
        std::shared_ptr<store_file> r;
        std::string buf(want.size(), '\0');
        size_t got = 0;
        return store_file_open(st_, "sh/a", STORE_READ, &r) == 0 &&
               store_file_pread(r.get(), buf.data(), buf.size(), 0, &got) == 0 && buf == want;
    };
    // Cut before the data was renamed: the new checksums do not fit and go.
    kes_test::write_file(dir_ / "sh/.a.kcsn", b_sums);
    open_store(0);
    EXPECT_FALSE(exists("sh/.a.kcsn"));
    EXPECT_TRUE(reads_back(x));
    // Cut after the data was renamed: the new checksums are the ones.
    kes_test::write_file(dir_ / "sh/a", y);
    kes_test::write_file(dir_ / "sh/.a.kcsn", b_sums);
    open_store(0);
    EXPECT_FALSE(exists("sh/.a.kcsn"));
    EXPECT_TRUE(reads_back(y));
}

TEST_F(StoreTest, AnAbandonedWriterCountsNothingMoreAndBytesCountAtAnyDepth)
{
    open_store(1 << 20);
    auto f = create("sh/w");
    std::string block(100000, 'w');
    ASSERT_EQ(store_file_pwrite(f.get(), block.data(), block.size(), 0), 0);
    store_file_abandon(f.get());
    EXPECT_EQ(store_file_pwrite(f.get(), block.data(), block.size(), block.size()), KES_ENOENT);
    EXPECT_EQ(store_used_bytes(st_), 0u);
    // A committed file takes no more writes.
    auto g = create("sh/c");
    ASSERT_EQ(store_file_pwrite(g.get(), block.data(), block.size(), 0), 0);
    ASSERT_EQ(store_file_commit(g.get()), 0);
    EXPECT_EQ(store_file_pwrite(g.get(), block.data(), 10, 0), KES_EBADF);
    // Deep below the share, and counted when the store opens again.
    std::string rel = "sh";
    for (int i = 0; i < 40; i++)
        rel += "/d" + std::to_string(i);
    auto deep = create(rel + "/piece");
    ASSERT_TRUE(deep);
    ASSERT_EQ(store_file_pwrite(deep.get(), block.data(), block.size(), 0), 0);
    ASSERT_EQ(store_file_commit(deep.get()), 0);
    uint64_t used = store_used_bytes(st_);
    EXPECT_EQ(used, 2 * block.size());
    f.reset();
    g.reset();
    deep.reset();
    open_store(1 << 20);
    EXPECT_EQ(store_used_bytes(st_), used);
}
