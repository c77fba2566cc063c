#include "lib/common/pgnbfst_api.h"

#include <atomic>
#include <ctime>

namespace {

uint64_t real_tick_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void real_sleep_ms(uint32_t ms)
{
    struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

const bfst_api kReal = {
    bfst2_initialize,
    bfst2_finalize,
    bfst2_strerror,
    bfst2_free_error_string,
    bfst2_credential_create_password,
    bfst2_credential_create_certificate_files,
    bfst2_credential_destroy,
    bfst2_handle_create_remote_with_credential,
    bfst2_connect,
    bfst2_open,
    bfst2_get_tag_length,
    bfst2_disconnect,
    bfst2_handle_destroy,
    bfst2_session_create,
    bfst2_session_start,
    bfst2_session_finish,
    bfst2_session_destroy,
    bfst2_store_create,
    bfst2_store_start,
    bfst2_store_buffer,
    bfst2_store_tag,
    bfst2_store_get_link_statistics,
    bfst2_store_get_operation_statistics,
    bfst2_store_finish,
    bfst2_store_destroy,
    bfst2_buffer_create,
    bfst2_buffer_attach_memory,
    bfst2_buffer_destroy,
    bfst2_tag_to_ascii,
    real_tick_ms,
    real_sleep_ms,
};

std::atomic<const bfst_api *> g_api{&kReal};

}  // namespace

const bfst_api &bfst_calls() { return *g_api.load(std::memory_order_acquire); }

const bfst_api &bfst_real_api() { return kReal; }

void bfst_set_api(const bfst_api *api) { g_api.store(api != nullptr ? api : &kReal, std::memory_order_release); }
