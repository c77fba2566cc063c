#include "datamover/pcache.h"
#include "datamover/util.h"
#include "kes_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

using kes_test::read_file;
using kes_test::TempDir;
using kes_test::write_file;

namespace {

constexpr uint32_t PG = 4096;
constexpr int SYNC = PCACHE_FL_SYNC;

std::string pattern(char c, size_t n) { return std::string(n, c); }

// Releases a page the test holds: lock, drop the reference, unlock.
void release(pce *p)
{
    pcache_lock_page(p);
    pcache_freepg(p);
    pcache_unlock_page(p);
}

class PcacheTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (pc_ != nullptr)
            pcache_cleanup(pc_, false);
        for (file_io *f : files_)
            file_io_close(f);
    }

    void make_cache(uint32_t pages, uint32_t aios = 1)
    {
        int err = -1;
        pc_ = pcache_init(PG, pages, aios, &err);
        ASSERT_NE(pc_, nullptr);
        ASSERT_EQ(err, 0);
    }

    file_io *open_file(const std::string &name, const std::string &content, int flags = KES_O_RDWR)
    {
        std::string path = dir_ / name;
        write_file(path, content);
        int err = -1;
        file_io *f = file_io_open(path.c_str(), 0, flags, 0, &err);
        EXPECT_NE(f, nullptr) << err;
        if (f != nullptr)
            files_.push_back(f);
        return f;
    }

    // Loads the whole page at off synchronously and returns it unlocked.
    pce *get(file_io *f, uint64_t off)
    {
        pce *p = pcache_get_wpage(pc_, f, off, 16, SYNC);
        EXPECT_NE(p, nullptr);
        if (p != nullptr)
            pcache_unlock_page(p);
        return p;
    }

    bool cached(file_io *f, uint64_t off)
    {
        pce *p = pcache_lookup(pc_, f, off, 1, PCACHE_FL_WHOLEPG);
        if (p == nullptr)
            return false;
        pcache_freepg(p);
        pcache_unlock_page(p);
        return true;
    }

    void dirty(pce *p, char c)
    {
        pcache_lock_page(p);
        memset(p->buf, c, PG);
        p->usz = PG;
        EXPECT_EQ(pcache_mark_dirty(p, 7), 1);
        pcache_unlock_page(p);
    }

    pcache_stats stats()
    {
        pcache_stats s;
        pcache_get_stats(pc_, &s);
        return s;
    }

    TempDir dir_;
    pcache *pc_ = nullptr;
    std::vector<file_io *> files_;
};

}  // namespace

TEST_F(PcacheTest, InitRefusesEmptyShapes)
{
    int err = 0;
    EXPECT_EQ(pcache_init(0, 4, 1, &err), nullptr);
    EXPECT_EQ(err, PCACHE_ERR_NOPAGE);
    EXPECT_EQ(pcache_init(PG, 0, 1, &err), nullptr);
    EXPECT_EQ(err, PCACHE_ERR_NOPAGE);
    EXPECT_EQ(pcache_init(PG, 4, 0, &err), nullptr);
    EXPECT_EQ(err, PCACHE_ERR_NOMEM);
    make_cache(6, 2);
    pcache_stats s = stats();
    EXPECT_EQ(s.pages, 6u);
    EXPECT_EQ(s.free_cnt, 6u);
    EXPECT_EQ(s.hashed_cnt, 0u);
    EXPECT_EQ(s.aio_free_cnt, 2u);
    EXPECT_EQ(pcache_page_size(pc_), PG);
}

TEST_F(PcacheTest, LoadReadsTheFileAndSetsUsedSize)
{
    make_cache(4);
    file_io *f = open_file("f", pattern('a', PG) + pattern('b', 100));
    pce *p0 = pcache_get_page(pc_, f, 0, PG, 1, SYNC);
    ASSERT_NE(p0, nullptr);
    EXPECT_EQ(p0->usz, PG);
    EXPECT_EQ(p0->refs, 1);
    EXPECT_EQ(p0->state & (PCACHE_VALID | PCACHE_FREE | PCACHE_BUSY), PCACHE_VALID);
    EXPECT_EQ(p0->buf[PG - 1], 'a');
    pcache_freepg(p0);
    pcache_unlock_page(p0);

    pce *p1 = pcache_get_page(pc_, f, PG, PG, 1, SYNC);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1->usz, 100u);  // a short page keeps what the file held
    EXPECT_EQ(p1->buf[99], 'b');
    pcache_freepg(p1);
    pcache_unlock_page(p1);

    // Asynchronous loads complete through the I/O list.
    pce *p2 = pcache_get_page(pc_, f, 2 * PG, PG, 1, 0);
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(p2->usz, 0u);
    EXPECT_EQ(p2->state & (PCACHE_BUSY | PCACHE_PENDING | PCACHE_ERROR), 0);
    pcache_freepg(p2);
    pcache_unlock_page(p2);
    pcache_stats s = stats();
    EXPECT_EQ(s.loads, 3u);
    EXPECT_EQ(s.sync_loads, 2u);
    EXPECT_GE(s.iolist_passes, 1u);
    EXPECT_EQ(s.iolist_cnt, 0u);
    EXPECT_EQ(s.aio_free_cnt, s.aio_cnt);

    EXPECT_EQ(pcache_get_page(pc_, f, 0, PG + 1, 1, SYNC), nullptr);  // larger than a page
}

TEST_F(PcacheTest, LookupMatchesUsedBytesOrTheWholePage)
{
    make_cache(4);
    file_io *f = open_file("f", "");  // every page reads 0 bytes: usz 0
    pce *p = get(f, PG);
    release(p);
    EXPECT_EQ(pcache_lookup(pc_, f, PG + 10, 1, 0), nullptr);
    pce *hit = pcache_lookup(pc_, f, PG + 10, 1, PCACHE_FL_WHOLEPG);
    ASSERT_EQ(hit, p);
    EXPECT_EQ(hit->refs, 1);
    EXPECT_FALSE(IS_PAGE_FREE(hit));
    // A usz-0 page still answers for its first byte.
    pcache_freepg(hit);
    pcache_unlock_page(hit);
    pce *first = pcache_lookup(pc_, f, PG, 1, 0);
    ASSERT_EQ(first, p);
    // Raising the used size widens the plain match; a peer-given size above
    // the page is refused.
    EXPECT_EQ(pcache_page_set_usz(first, 20), 0);
    EXPECT_EQ(pcache_page_set_usz(first, PG + 1), PCACHE_ERR_PGSTATE);
    EXPECT_EQ(first->usz, 20u);
    EXPECT_TRUE(pcache_page_holds(first, PG + 100, PG - 100));
    EXPECT_FALSE(pcache_page_holds(first, PG + 100, PG - 99));
    EXPECT_FALSE(pcache_page_holds(first, 0, 1));
    pcache_freepg(first);
    pcache_unlock_page(first);
    pce *again = pcache_lookup(pc_, f, PG + 10, 1, 0);
    ASSERT_EQ(again, p);
    pcache_freepg(again);
    pcache_unlock_page(again);
    // Another key, another file, another page: misses.
    EXPECT_EQ(pcache_lookup(pc_, f, PG, 2, PCACHE_FL_WHOLEPG), nullptr);
    file_io *g = open_file("g", "");
    EXPECT_EQ(pcache_lookup(pc_, g, PG, 1, PCACHE_FL_WHOLEPG), nullptr);
    EXPECT_EQ(pcache_lookup(pc_, f, 2 * PG, 1, PCACHE_FL_WHOLEPG), nullptr);
    pcache_stats s = stats();
    EXPECT_EQ(s.lookups, s.hits + s.misses);
}

TEST_F(PcacheTest, ReleasedPagesStayFindableAndFreeingTwiceChangesNothing)
{
    make_cache(2);
    file_io *f = open_file("f", pattern('x', PG));
    pce *p = get(f, 0);
    release(p);
    pcache_stats before = stats();
    pcache_lock_page(p);
    EXPECT_EQ(pcache_freepg(p), 0);
    uint16_t state = p->state;
    pcache_unlock_page(p);
    pcache_stats after = stats();
    EXPECT_EQ(state, PCACHE_ALLOCATED | PCACHE_FREE | PCACHE_VALID);
    EXPECT_EQ(before.free_cnt, after.free_cnt);
    EXPECT_EQ(p->refs, 0);
    EXPECT_TRUE(cached(f, 0));
    EXPECT_EQ(stats().free_cnt, 2u);
}

TEST_F(PcacheTest, EvictsTheLeastRecentlyReleasedPage)
{
    make_cache(3);
    file_io *f = open_file("f", pattern('z', 8 * PG));
    pce *a = get(f, 0);
    pce *b = get(f, PG);
    pce *c = get(f, 2 * PG);
    release(b);
    release(a);
    release(c);
    pce *d = get(f, 3 * PG);
    EXPECT_EQ(d, b);
    release(d);
    EXPECT_FALSE(cached(f, PG));
    // cached() took a and c off the free list and put them back, so the
    // order is now a, c, d, with the lookups' releases refreshing them.
    EXPECT_TRUE(cached(f, 0));
    EXPECT_TRUE(cached(f, 2 * PG));
    pce *e = get(f, 4 * PG);
    EXPECT_EQ(e, d);  // d was released before the lookups released a and c
    release(e);
}

// A page released as done is taken again before every page released the
// usual way, and is found by lookups until then; one referenced twice goes
// to the free list only with its last reference.
TEST_F(PcacheTest, PagesReleasedAsDoneAreTakenFirstAndStayFindableUntilThen)
{
    make_cache(3);
    file_io *f = open_file("f", pattern('d', 8 * PG));
    pce *a = get(f, 0);
    pce *b = get(f, PG);
    pce *c = get(f, 2 * PG);
    release(a);
    pcache_lock_page(c);
    c->refs++;  // a second holder
    EXPECT_EQ(pcache_donepg(c), 1);
    EXPECT_FALSE(IS_PAGE_FREE(c));
    pcache_unlock_page(c);
    release(b);
    pcache_lock_page(c);
    EXPECT_EQ(pcache_donepg(c), 1);
    EXPECT_TRUE(IS_PAGE_FREE(c));
    pcache_unlock_page(c);
    EXPECT_EQ(stats().free_cnt, 3u);
    pce *d = get(f, 3 * PG);
    EXPECT_EQ(d, c) << "the done page goes first, before a and b released earlier";
    EXPECT_FALSE(cached(f, 2 * PG));
    EXPECT_TRUE(cached(f, 0));
    EXPECT_TRUE(cached(f, PG));
    pcache_lock_page(d);
    EXPECT_EQ(pcache_donepg(d), 1);
    EXPECT_EQ(pcache_donepg(d), 0) << "already free";
    pcache_unlock_page(d);
    EXPECT_TRUE(cached(f, 3 * PG)) << "a done page is found until it is taken";
    EXPECT_EQ(stats().free_cnt, 3u);
}

TEST_F(PcacheTest, DirtyHeadIsSkippedFirstAndWrittenBackWhenNothingElseIsLeft)
{
    make_cache(2);
    file_io *f = open_file("f", pattern('.', 4 * PG));
    pce *a = get(f, 0);
    pce *b = get(f, PG);
    dirty(a, 'A');
    release(a);  // head of the free list, dirty
    release(b);
    pce *c = get(f, 2 * PG);
    EXPECT_EQ(c, b);  // the clean page went first
    EXPECT_EQ(read_file(f->name).substr(0, PG), pattern('.', PG));
    EXPECT_TRUE(cached(f, 0));

    // Only the dirty page is free now: it is written back and reused.
    pce *d = get(f, 3 * PG);
    EXPECT_EQ(d, a);
    EXPECT_EQ(d->state & PCACHE_DIRTY, 0);
    EXPECT_EQ(read_file(f->name).substr(0, PG), pattern('A', PG));
    EXPECT_EQ(d->buf[0], '.');  // reloaded for its new place
    release(c);
    release(d);
    pcache_stats s = stats();
    EXPECT_EQ(s.dirty_cnt, 0u);
    EXPECT_EQ(s.flushes, 1u);
}

TEST_F(PcacheTest, SyncWithDropLeavesNothingOfTheFile)
{
    make_cache(6);
    file_io *f = open_file("f", pattern('0', 3 * PG));
    file_io *g = open_file("g", pattern('1', 2 * PG));
    pce *fp[3];
    for (int i = 0; i < 3; i++)
        fp[i] = get(f, static_cast<uint64_t>(i) * PG);
    pce *gp = get(g, 0);
    dirty(fp[0], 'p');
    dirty(fp[2], 'q');
    dirty(gp, 'r');
    for (pce *p : fp)
        release(p);
    release(gp);
    EXPECT_EQ(f->pg_cnt, 3);

    EXPECT_EQ(pcache_sync_file(pc_, f, pcache_drop_page, SYNC), 2);
    EXPECT_EQ(f->pg_cnt, 0);
    EXPECT_EQ(f->pg_head, nullptr);
    for (int i = 0; i < 3; i++)
        EXPECT_FALSE(cached(f, static_cast<uint64_t>(i) * PG));
    EXPECT_EQ(read_file(f->name), pattern('p', PG) + pattern('0', PG) + pattern('q', PG));
    // The other file keeps its dirty page.
    EXPECT_TRUE(cached(g, 0));
    EXPECT_EQ(g->pg_cnt, 1);
    pcache_stats s = stats();
    EXPECT_EQ(s.hashed_cnt, 1u);
    EXPECT_EQ(s.dirty_cnt, 1u);
    EXPECT_EQ(s.free_cnt, 6u);
    EXPECT_EQ(read_file(g->name), pattern('1', 2 * PG));

    // Plain sync writes back without dropping.
    EXPECT_EQ(pcache_sync_file(pc_, g, nullptr, SYNC), 1);
    EXPECT_TRUE(cached(g, 0));
    EXPECT_EQ(read_file(g->name), pattern('r', PG) + pattern('1', PG));
    EXPECT_EQ(pcache_sync_file(pc_, g, nullptr, SYNC), 0);  // nothing dirty any more
}

TEST_F(PcacheTest, PageStateChecks)
{
    make_cache(1);
    file_io *f = open_file("f", pattern('x', PG));
    pce *p = get(f, 0);
    pcache_lock_page(p);
    EXPECT_EQ(pcache_mark_dirty(p, 1), 1);
    EXPECT_EQ(pcache_mark_dirty(p, 2), 0);
    EXPECT_EQ(p->dirty_stamp, 1u);
    EXPECT_EQ(pcache_clear_dirty(p), 1);
    EXPECT_EQ(pcache_clear_dirty(p), 0);
    EXPECT_EQ(p->dirty_stamp, 0u);
    EXPECT_EQ(pcache_flush_page(p, SYNC), 0);  // clean: nothing to do
    EXPECT_EQ(pcache_drop_page(pc_, p), 0);
    EXPECT_EQ(pcache_drop_page(pc_, p), PCACHE_ERR_PGSTATE);
    EXPECT_EQ(pcache_mark_dirty(p, 3), PCACHE_ERR_PGSTATE);  // an unhashed page has nowhere to go
    EXPECT_EQ(f->pg_cnt, 0);
    pcache_freepg(p);
    pcache_unlock_page(p);
    // The released, unhashed page is reusable.
    file_io *g = open_file("g", "");
    pce *q = get(g, 0);
    EXPECT_EQ(q, p);
    release(q);
}

TEST_F(PcacheTest, OwnersFillingMarkOutlivesLookupsAndWriteBack)
{
    make_cache(1);
    file_io *f = open_file("f", pattern('x', PG));
    pce *p = get(f, 0);
    pcache_lock_page(p);
    pcache_page_set_filling(p, true);
    EXPECT_EQ(pcache_mark_dirty(p, 1), 1);
    EXPECT_EQ(pcache_flush_page(p, SYNC), 1);
    pcache_unlock_page(p);
    // The cache's own I/O never touches the mark, and the page is found
    // with it, so the owner's readers can wait for its bytes.
    pce *q = pcache_lookup(pc_, f, 0, 1, PCACHE_FL_WHOLEPG | SYNC);
    ASSERT_EQ(q, p);
    EXPECT_TRUE(pcache_page_filling(q));
    EXPECT_EQ(q->state & PCACHE_PENDING, 0);
    pcache_page_set_filling(q, false);
    EXPECT_FALSE(pcache_page_filling(q));
    pcache_freepg(q);
    pcache_unlock_page(q);
    release(p);
}

TEST_F(PcacheTest, WriteFailureIsRecordedInPageAndFile)
{
    make_cache(2);
    file_io *f = open_file("ro", pattern('o', PG), KES_O_RDONLY);
    pce *p = get(f, 0);
    dirty(p, 'n');
    pcache_lock_page(p);
    EXPECT_EQ(pcache_flush_page(p, SYNC), FILE_ERR_IO);
    EXPECT_TRUE(p->state & PCACHE_ERROR);
    EXPECT_EQ(p->ioerr, FILE_ERR_IO);
    EXPECT_EQ(p->usz, 0u);
    EXPECT_EQ(p->state & (PCACHE_DIRTY | PCACHE_BUSY), 0);
    EXPECT_EQ(p->aio, nullptr);
    pcache_freepg(p);
    pcache_unlock_page(p);
    EXPECT_EQ(file_io_get_error(f), FILE_ERR_IO);
    EXPECT_EQ(read_file(f->name), pattern('o', PG));
    pcache_stats s = stats();
    EXPECT_EQ(s.dirty_cnt, 0u);
    EXPECT_EQ(s.aio_free_cnt, s.aio_cnt);
}

TEST_F(PcacheTest, ReadFailureStillReturnsThePage)
{
    make_cache(2);
    file_io *f = open_file("wo", pattern('w', PG), KES_O_WRONLY);
    pce *p = pcache_get_wpage(pc_, f, 0, 16, SYNC);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->state & PCACHE_ERROR);
    EXPECT_EQ(p->ioerr, FILE_ERR_IO);
    EXPECT_EQ(p->usz, 0u);
    EXPECT_EQ(p->refs, 1);
    pcache_freepg(p);
    pcache_unlock_page(p);
    EXPECT_EQ(file_io_get_error(f), FILE_ERR_IO);

    // Without the synchronous flag a failed write is recorded the same way.
    file_io *g = open_file("ro", pattern('r', PG), KES_O_RDONLY);
    pce *q = get(g, 0);
    dirty(q, 's');
    pcache_lock_page(q);
    EXPECT_EQ(pcache_flush_page(q, 0), FILE_ERR_IO);
    EXPECT_TRUE(q->state & PCACHE_ERROR);
    pcache_freepg(q);
    pcache_unlock_page(q);
    EXPECT_EQ(file_io_get_error(g), FILE_ERR_IO);
}

TEST_F(PcacheTest, HeaderAndSwapPlacement)
{
    make_cache(4);
    // A file with a 16-byte header: page offsets count after it.
    std::string path = dir_ / "hdr";
    write_file(path, pattern('H', 16) + pattern('d', PG));
    int err;
    file_io *f = file_io_open(path.c_str(), 16, KES_O_RDWR, 0, &err);
    ASSERT_NE(f, nullptr);
    files_.push_back(f);
    pce *p = get(f, 0);
    EXPECT_EQ(p->usz, PG);
    EXPECT_EQ(p->buf[0], 'd');
    dirty(p, 'D');
    release(p);
    EXPECT_EQ(pcache_sync_file(pc_, f, pcache_drop_page, SYNC), 1);
    EXPECT_EQ(read_file(path), pattern('H', 16) + pattern('D', PG));

    // Swap pages go to the companion, never over the file's data.
    file_io *g = file_io_open((dir_ / "sw").c_str(), 0, KES_O_RDWR | KES_O_CREAT, 0, &err);
    ASSERT_NE(g, nullptr);
    files_.push_back(g);
    write_file(dir_ / "sw", pattern('m', PG));
    pce *s = pcache_load_page(pc_, g, 0, PG, 1, SYNC | PCACHE_FL_SWAP | PCACHE_FL_WHOLEPG);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->state & PCACHE_SWAP);
    EXPECT_EQ(s->usz, 0u);  // the fresh companion is empty
    memset(s->buf, 'S', PG);
    s->usz = PG;
    EXPECT_EQ(pcache_mark_dirty(s, 1), 1);
    EXPECT_EQ(pcache_flush_page(s, SYNC), 1);
    pcache_freepg(s);
    pcache_unlock_page(s);
    EXPECT_EQ(read_file(dir_ / "sw"), pattern('m', PG));
    EXPECT_EQ(read_file(dir_ / "sw.swp"), pattern('S', PG));
    EXPECT_EQ(pcache_sync_file(pc_, g, pcache_drop_page, SYNC), 0);
}

TEST_F(PcacheTest, CleanupWritesBackEveryDirtyPage)
{
    int err;
    pc_ = pcache_init(PG, 3, 1, &err);
    ASSERT_NE(pc_, nullptr);
    file_io *f = open_file("f", pattern('-', 3 * PG));
    pce *a = get(f, 0);
    pce *b = get(f, 2 * PG);
    dirty(a, '1');
    dirty(b, '3');
    release(a);
    release(b);
    EXPECT_EQ(pcache_cleanup(pc_, true), 2);
    pc_ = nullptr;
    EXPECT_EQ(f->pg_cnt, 0);
    EXPECT_EQ(read_file(f->name), pattern('1', PG) + pattern('-', PG) + pattern('3', PG));
}

// ---------------------------------------------------------------- concurrency

namespace {

// Every page of the stress files starts with a version number and is filled
// with a byte derived from file, page and version.
unsigned char fill_byte(int file, int page, uint64_t version)
{
    return static_cast<unsigned char>(file * 31 + page * 7 + version * 13 + 1);
}

bool page_consistent(const unsigned char *buf, int file, int page)
{
    uint64_t v;
    memcpy(&v, buf, sizeof v);
    unsigned char c = fill_byte(file, page, v);
    for (uint32_t i = sizeof v; i < PG; i++)
        if (buf[i] != c)
            return false;
    return true;
}

}  // namespace

class PcacheConcurrency : public ::testing::TestWithParam<int> {};

TEST_P(PcacheConcurrency, ThreadsGetDirtyAndReleasePagesOfSeveralFiles)
{
    const uint32_t cache_pages = static_cast<uint32_t>(GetParam());
    constexpr int kFiles = 3;
    constexpr int kPages = 12;
    constexpr int kThreads = 4;
    constexpr int kIters = 1500;

    TempDir dir;
    int err;
    pcache *pc = pcache_init(PG, cache_pages, 2, &err);
    ASSERT_NE(pc, nullptr);
    file_io *files[kFiles];
    for (int i = 0; i < kFiles; i++) {
        std::string path = dir / ("f" + std::to_string(i));
        std::string init;
        for (int pg = 0; pg < kPages; pg++) {
            std::string page(PG, static_cast<char>(fill_byte(i, pg, 0)));
            memset(page.data(), 0, 8);
            init += page;
        }
        write_file(path, init);
        files[i] = file_io_open(path.c_str(), 0, KES_O_RDWR, 0, &err);
        ASSERT_NE(files[i], nullptr);
    }
    std::atomic<uint64_t> increments[kFiles][kPages] = {};
    std::atomic<int> inconsistent{0};
    std::atomic<int> failures{0};

    auto worker = [&](int seed) {
        std::mt19937 rng(static_cast<unsigned>(seed));
        for (int it = 0; it < kIters; it++) {
            int fi = static_cast<int>(rng() % kFiles);
            int pg = static_cast<int>(rng() % kPages);
            uint64_t off = static_cast<uint64_t>(pg) * PG;
            int op = static_cast<int>(rng() % 10);
            if (op < 6) {
                // Read-modify-write: the version comes from the page, which
                // may have been written back and reloaded in between.
                int flags = (op == 0) ? 0 : SYNC;  // some loads take the queued path
                pce *p = pcache_get_wpage(pc, files[fi], off, 16, flags);
                if (p != nullptr && IS_PAGE_BUSY(p)) {
                    // Without the synchronous flag a hit on a page another
                    // thread is still loading comes back busy.
                    XASSERT(flags == 0);
                    pcache_freepg(p);
                    pcache_unlock_page(p);
                    continue;
                }
                if (p == nullptr || p->usz != PG || (p->state & PCACHE_ERROR)) {
                    failures++;
                    if (p) {
                        pcache_freepg(p);
                        pcache_unlock_page(p);
                    }
                    continue;
                }
                if (!page_consistent(p->buf, fi, pg))
                    inconsistent++;
                uint64_t v;
                memcpy(&v, p->buf, sizeof v);
                v++;
                memcpy(p->buf, &v, sizeof v);
                memset(p->buf + 8, fill_byte(fi, pg, v), PG - 8);
                pcache_mark_dirty(p, v);
                increments[fi][pg]++;
                // Sometimes keep the page a while, unlocked, as the DM client does.
                if (op == 1) {
                    pcache_unlock_page(p);
                    std::this_thread::yield();
                    pcache_lock_page(p);
                }
                pcache_freepg(p);
                pcache_unlock_page(p);
            } else if (op < 9) {
                pce *p = pcache_lookup(pc, files[fi], off, 1, SYNC | PCACHE_FL_WHOLEPG);
                if (p == nullptr)
                    continue;
                if (p->usz == PG && !page_consistent(p->buf, fi, pg))
                    inconsistent++;
                pcache_freepg(p);
                pcache_unlock_page(p);
            } else {
                int rc = pcache_sync_file(pc, files[fi], nullptr, SYNC);
                if (rc < 0)
                    failures++;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back(worker, 1000 + t);
    for (auto &t : threads)
        t.join();

    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    pcache_stats s;
    pcache_get_stats(pc, &s);
    EXPECT_EQ(s.pages, cache_pages);
    EXPECT_EQ(s.free_cnt, cache_pages);  // every reference was dropped
    int bound = 0;
    for (auto *f : files)
        bound += f->pg_cnt;
    EXPECT_EQ(s.hashed_cnt, static_cast<uint32_t>(bound));
    EXPECT_LE(s.hashed_cnt, cache_pages);
    EXPECT_LE(s.dirty_cnt, s.hashed_cnt);
    EXPECT_EQ(s.lookups, s.hits + s.misses);
    EXPECT_EQ(s.aio_free_cnt, s.aio_cnt);
    EXPECT_EQ(s.iolist_cnt, 0u);
    EXPECT_GT(s.misses, 0u);

    ASSERT_GE(pcache_cleanup(pc, true), 0);
    for (int i = 0; i < kFiles; i++) {
        EXPECT_EQ(files[i]->pg_cnt, 0);
        EXPECT_EQ(file_io_get_error(files[i]), 0);
        std::string data = read_file(files[i]->name);
        ASSERT_EQ(data.size(), static_cast<size_t>(kPages) * PG);
        for (int pg = 0; pg < kPages; pg++) {
            const unsigned char *b = reinterpret_cast<const unsigned char *>(data.data()) + pg * PG;
            uint64_t v;
            memcpy(&v, b, sizeof v);
            EXPECT_EQ(v, increments[i][pg].load()) << "file " << i << " page " << pg;
            EXPECT_TRUE(page_consistent(b, i, pg)) << "file " << i << " page " << pg;
        }
        file_io_close(files[i]);
    }
}

// Fewer pages than threads makes loads wait for releases; more pages than
// that exercises write-back of dirty free pages and hits.
INSTANTIATE_TEST_SUITE_P(CacheSizes, PcacheConcurrency, ::testing::Values(3, 8, 40));
