// Inside of the BFST path: the context record and the pieces its modules
// (connection, store path, space and alerts) share.
#pragma once

#include <cstdint>

#include "lib/common/pgnbfst.h"
#include "lib/common/pgnbfst_api.h"

// Longest tag the path accepts: the tag buffer's first byte carries the length.
constexpr uint32_t BFST_TAG_MAX = 255;

struct bfst_context {
    uint32_t cipher;
    uint64_t blob_size;
    bfst2_connection *conn;
    uint32_t tag_length;
    int32_t session_started;  // 1 between a successful session start and the next finish
    bfst2_session *session;
    bfst2_store *store;       // set while a blob is being stored
    uint64_t blob_offset;     // image bytes stored in the current blob
    uint64_t image_offset;    // where the next write must start
    bfst2_credential *cred;
    // First failure that left the image incomplete or its current blob in
    // doubt (a store call that failed after bytes may have reached the blob,
    // a blob whose extent was not recorded). Later writes and the close fail
    // with it, so such an image is never reported as written.
    int32_t failed;
};

// A call that reports success without handing out its object has failed.
inline int bfst_created(int rc, const void *object) { return rc == 0 && object == nullptr ? BFST2_ERR_PROTOCOL : rc; }

// Releases a library error text and clears the pointer.
void bfst_release_error(char **err);
// Reports a failed call with its library text, then releases the text.
void bfst_fail(int code, char **err, const char *message);

// Raises an admin alert for a timed call that took elapsed_ms or more than
// ADMIN_ALERT_TIME seconds; text "<file>:<line>, <func>(): <call>".
void bfst_check_slow(bfst_path *p, uint64_t elapsed_ms, const char *file, int line, const char *func,
                     const char *call);

// Runs one timed library call; elapsed_ms (may be null) receives its time.
template <typename F>
int bfst_timed_call(bfst_path *p, const char *file, int line, const char *func, const char *call,
                    uint64_t *elapsed_ms, F &&f)
{
    const bfst_api &api = bfst_calls();
    uint64_t t0 = api.tick_ms();
    int rc = f(api);
    uint64_t t1 = api.tick_ms();
    uint64_t ms = t1 >= t0 ? t1 - t0 : 0;
    if (elapsed_ms != nullptr)
        *elapsed_ms = ms;
    bfst_check_slow(p, ms, file, line, func, call);
    return rc;
}
#define BFST_TIMED(p, elapsed_ms, call, ...)                                                   \
    bfst_timed_call((p), __FILE__, __LINE__, __func__, "bfst2_" #call, (elapsed_ms),          \
                    [&](const bfst_api &api_) { return api_.call(__VA_ARGS__); })

// Session around each blob; library codes.
int start_bfst_session(bfst_path *p);
int finish_bfst_session(bfst_path *p);
// Store of the current blob; library codes.
int start_bfst_store(bfst_path *p);
int finish_bfst_store(bfst_path *p);
void get_link_statistics(bfst_path *p);
void get_chargeback_statistics(bfst_path *p);
// MI_BFST_HOLD_TAG or MI_BFST_DROP_TAG for a tag; MI or MI client statuses.
int manage_tag(bfst_path *p, const unsigned char *tag, uint32_t number);
// Records an extent of the image; MI or MI client statuses.
int set_extent(bfst_path *p, uint64_t image_offset, const unsigned char *tag, uint64_t length);
