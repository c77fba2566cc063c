// Page get and release through the page cache, in pages per second: hits on
// a working set that fits, misses that evict and load from a (sparse) local
// file, and hits from several threads at once.
#include "datamover/pcache.h"
#include "datamover/util.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr uint32_t kPageSize = 262144;
constexpr uint32_t kPages = 128;

struct Fixture {
    std::string path;
    file_io *f = nullptr;
    pcache *pc = nullptr;

    Fixture()
    {
        char tmpl[] = "/tmp/pcache_bench.XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0)
            abort();
        path = tmpl;
        if (ftruncate(fd, static_cast<off_t>(kPageSize) * kPages * 8) != 0)
            abort();
        close(fd);
        int err;
        f = file_io_open(path.c_str(), 0, KES_O_RDWR, FILE_IO_DELETE_ON_CLOSE, &err);
        pc = pcache_init(kPageSize, kPages, kPages / 4, &err);
        if (f == nullptr || pc == nullptr)
            abort();
    }
    ~Fixture()
    {
        pcache_sync_file(pc, f, pcache_drop_page, PCACHE_FL_SYNC);
        pcache_cleanup(pc, false);
        file_io_close(f);
    }
};

void get_release(pcache *pc, file_io *f, uint64_t page)
{
    pce *p = pcache_get_wpage(pc, f, page * kPageSize, 16, PCACHE_FL_SYNC);
    if (p == nullptr)
        abort();
    benchmark::DoNotOptimize(p->buf[0]);
    pcache_freepg(p);
    pcache_unlock_page(p);
}

Fixture *g_shared = nullptr;

void BM_GetReleaseHit(benchmark::State &state)
{
    Fixture fx;
    const uint64_t set = kPages / 2;
    uint64_t i = 0;
    for (auto _ : state)
        get_release(fx.pc, fx.f, i++ % set);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("pages");
}
BENCHMARK(BM_GetReleaseHit);

void BM_GetReleaseMiss(benchmark::State &state)
{
    Fixture fx;
    const uint64_t set = kPages * 8;  // every get evicts and loads
    uint64_t i = 0;
    for (auto _ : state)
        get_release(fx.pc, fx.f, i++ % set);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPageSize));
    state.SetLabel("pages");
}
BENCHMARK(BM_GetReleaseMiss);

void BM_GetReleaseHitThreads(benchmark::State &state)
{
    if (state.thread_index() == 0)
        g_shared = new Fixture();
    // The framework starts all threads' loops together after this point.
    uint64_t i = static_cast<uint64_t>(state.thread_index()) * 7;
    for (auto _ : state)
        get_release(g_shared->pc, g_shared->f, i++ % (kPages / 2));
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        delete g_shared;
        g_shared = nullptr;
    }
}
BENCHMARK(BM_GetReleaseHitThreads)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
