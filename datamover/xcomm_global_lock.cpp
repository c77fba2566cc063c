// The transport's process-wide lock, the same on every platform.
#include "datamover/platform_xcomm.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "datamover/util.h"

namespace {

constexpr const char *SRC = "xcomm";

std::atomic<int> g_lock_started{0};
std::atomic<int> g_lock_available{0};
std::atomic<int> g_lock_failed{0};
std::atomic<std::mutex *> g_lock{nullptr};

}  // namespace

// First caller creates the lock; later callers wait until it is published.
int xcomm_global_lock_acquire()
{
    int expected = 0;
    if (g_lock_started.compare_exchange_strong(expected, 1)) {
        ULOG_TRACE(SRC, 1, "Acquiring global lock.\n");
        // The lock lives as long as the program (or the library holding
        // this code), so it is storage of its own rather than an allocation
        // that nothing would ever free.
        static std::mutex lock_storage;
        g_lock.store(&lock_storage);
        g_lock_available.store(1);
        ULOG_TRACE(SRC, 1, "Global lock acquired.\n");
        return 0;
    }
    if (g_lock_available.load())
        return 0;
    ULOG_TRACE(SRC, 1, "Waiting for global_lock.\n");
    for (;;) {
        if (g_lock_available.load()) {
            ULOG_TRACE(SRC, 1, "Global lock is available.\n");
            return 0;
        }
        if (g_lock_failed.load()) {
            ULOG_ERROR(SRC, "Global lock acquisition failed.\n");
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::mutex *xcomm_global_lock() { return g_lock_available.load() ? g_lock.load() : nullptr; }
