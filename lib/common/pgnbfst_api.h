// The one door to the transfer library: a table of its calls, plus the clock
// and the sleep the BFST path uses to time those calls and to wait between
// connect attempts. By default the table holds the real bfst2_* functions of
// libbfst64.so, the monotonic clock and a real sleep; tests put a fake
// library and a virtual clock behind the same table.
#pragma once

#include <cstdint>

#include "bfst/bfst2.h"

// The flags argument of every transfer-library call made here: none is asked for.
constexpr uint32_t BFST2_NO_FLAGS = 0;

struct bfst_api {
    int (*initialize)(const char *application, char **err);
    int (*finalize)(char **err);
    const char *(*strerror)(int code);
    void (*free_error_string)(char *text);

    int (*credential_create_password)(uint32_t cipher, const char *password, uint32_t flags, bfst2_credential **out,
                                      char **err);
    int (*credential_create_certificate_files)(uint32_t cipher, uint32_t kind, const char *ca_file,
                                               const char *cert_file, const char *key_file, const char *crl_file,
                                               uint32_t flags, bfst2_credential **out, char **err);
    int (*credential_destroy)(bfst2_credential *cred, uint32_t flags, char **err);

    int (*handle_create_remote_with_credential)(const char *host, uint32_t port, uint32_t timeout_s,
                                                const char *encryption, bfst2_credential *cred, uint32_t flags,
                                                bfst2_connection **out, char **err);
    int (*connect)(bfst2_connection *conn, uint32_t flags, char **err);
    int (*open)(bfst2_connection *conn, uint32_t flags, char **err);
    int (*get_tag_length)(bfst2_connection *conn, uint32_t *length, char **err);
    int (*disconnect)(bfst2_connection *conn, uint32_t flags, char **err);
    int (*handle_destroy)(bfst2_connection *conn, uint32_t flags, char **err);

    int (*session_create)(bfst2_connection *conn, uint32_t flags, bfst2_session **out, char **err);
    int (*session_start)(bfst2_session *session, uint32_t flags, char **err);
    int (*session_finish)(bfst2_session *session, uint32_t flags, char **err);
    int (*session_destroy)(bfst2_session *session, uint32_t flags, char **err);

    int (*store_create)(bfst2_session *session, uint32_t flags, bfst2_store **out, char **err);
    int (*store_start)(bfst2_store *store, uint32_t flags, char **err);
    int (*store_buffer)(bfst2_store *store, bfst2_buffer *buffer, uint64_t length, uint32_t flags, char **err);
    int (*store_tag)(bfst2_store *store, uint32_t flags, unsigned char *tag, char **err);
    int (*store_get_link_statistics)(bfst2_store *store, uint32_t flags, uint64_t stats[4], char **err);
    int (*store_get_operation_statistics)(bfst2_store *store, uint32_t flags, uint64_t stats[3], char **err);
    int (*store_finish)(bfst2_store *store, uint32_t flags, char **err);
    int (*store_destroy)(bfst2_store *store, uint32_t flags, char **err);

    int (*buffer_create)(uint32_t flags, bfst2_buffer **out, char **err);
    int (*buffer_attach_memory)(bfst2_buffer *buffer, void *memory, uint64_t length, uint32_t flags, char **err);
    int (*buffer_destroy)(bfst2_buffer *buffer, uint32_t flags, char **err);

    int (*tag_to_ascii)(const unsigned char *tag, char *text, uint32_t size, char **err);

    // Milliseconds of a monotonic clock, and a sleep of ms milliseconds.
    uint64_t (*tick_ms)();
    void (*sleep_ms)(uint32_t ms);
};

// The table in use.
const bfst_api &bfst_calls();
// The table of the real library, clock and sleep.
const bfst_api &bfst_real_api();
// Puts another table in place (null restores the real one). The table must
// outlive its use; swap it only while no channel is inside the BFST path.
void bfst_set_api(const bfst_api *api);
