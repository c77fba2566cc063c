/* The transfer library of the BFST data path (libbfst64.so): connections,
 * sessions and stores that move backup data to the appliance as blobs
 * identified by tags. Every call returns 0 or a library code; on failure the
 * last argument receives an error text the caller releases with
 * bfst2_free_error_string (it may be null); on success it is set to null.
 *
 * Use. bfst2_initialize first (counted; as many bfst2_finalize). A
 * credential (a password, or PEM certificate files: CA, certificate, key,
 * optional revocation list), then a connection handle to host:port with a
 * timeout in seconds (0 means 60) that bounds the connect and every wait for
 * an answer, and an encryption type: "ost-no-encrypt" (clear) or "ost" (TLS
 * 1.2 keyed by the credential). bfst2_connect (flag 0x10000: for a backup)
 * and bfst2_open, then sessions, and stores inside started sessions. A store
 * takes the caller's memory through buffers (attached, never copied) and
 * ends as one blob: bfst2_store_tag seals it and fills the tag,
 * bfst2_store_finish ends the store. Destroying a store that was not
 * finished gives its blob up. A connection whose transport failed fails
 * every later call at once; bfst2_connect starts it afresh.
 *
 * Tags. A tag buffer is the tag length (bfst2_get_tag_length) plus one bytes;
 * its first byte holds the length, the tag follows. bfst2_tag_to_ascii takes
 * such a buffer and writes 2 x length hexadecimal digits and a terminator.
 *
 * Statistics of a store: link = bytes the caller stored, bytes handed to the
 * caller (0: stores hand back no data), bytes sent and received on the socket
 * (framing and TLS included); operation = bytes input, unique before and
 * after compression (the appliance neither deduplicates nor compresses, so
 * all three are the input).
 *
 * Calls on one connection and its sessions and stores are serialized by the
 * connection; different connections work in parallel. */
#ifndef KESTRALON_BFST2_H
#define KESTRALON_BFST2_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BFST2_API __attribute__((visibility("default")))

typedef struct bfst2_credential bfst2_credential;
typedef struct bfst2_connection bfst2_connection;
typedef struct bfst2_session bfst2_session;
typedef struct bfst2_store bfst2_store;
typedef struct bfst2_buffer bfst2_buffer;

/* Library codes. */
#define BFST2_OK 0
#define BFST2_ERR_NOSPACE 0x014E34CD
#define BFST2_ERR_QUOTA 0x03570080
#define BFST2_ERR_SERVER_BUSY 0x02D21900
#define BFST2_ERR_VSERVER_BUSY 0x0DAB673F
#define BFST2_ERR_PROTOCOL 0x07B500FA
#define BFST2_ERR_AUTH 0x096C29AB
#define BFST2_ERR_ABORTED 0x09E7552D
#define BFST2_ERR_NOT_INITIALIZED 0x0A1C21E6
#define BFST2_ERR_NOT_FOUND 0x0E80B2B3
#define BFST2_ERR_NOMEM 0x0FE07465
#define BFST2_ERR_INVALID_ARG 0x0B0A4C11
#define BFST2_ERR_NOT_AVAILABLE 0x0C0DE0A1

/* bfst2_store_start: send the store whole even when the appliance offers
 * deduplication (the caller's configuration turned it off). */
#define BFST2_STORE_NO_DEDUP 0x00010000u

BFST2_API int bfst2_initialize(const char *application, char **err);
BFST2_API int bfst2_finalize(char **err);
BFST2_API const char *bfst2_strerror(int code);
BFST2_API void bfst2_free_error_string(char *text);

BFST2_API int bfst2_credential_create_password(uint32_t cipher, const char *password, uint32_t flags,
                                               bfst2_credential **out, char **err);
BFST2_API int bfst2_credential_create_certificate_files(uint32_t cipher, uint32_t kind, const char *ca_file,
                                                        const char *cert_file, const char *key_file,
                                                        const char *crl_file, uint32_t flags, bfst2_credential **out,
                                                        char **err);
BFST2_API int bfst2_credential_destroy(bfst2_credential *cred, uint32_t flags, char **err);

BFST2_API int bfst2_handle_create_remote_with_credential(const char *host, uint32_t port, uint32_t timeout_s,
                                                         const char *encryption, bfst2_credential *cred,
                                                         uint32_t flags, bfst2_connection **out, char **err);
BFST2_API int bfst2_connect(bfst2_connection *conn, uint32_t flags, char **err);
BFST2_API int bfst2_open(bfst2_connection *conn, uint32_t flags, char **err);
BFST2_API int bfst2_get_tag_length(bfst2_connection *conn, uint32_t *length, char **err);
BFST2_API int bfst2_disconnect(bfst2_connection *conn, uint32_t flags, char **err);
BFST2_API int bfst2_handle_destroy(bfst2_connection *conn, uint32_t flags, char **err);

BFST2_API int bfst2_session_create(bfst2_connection *conn, uint32_t flags, bfst2_session **out, char **err);
BFST2_API int bfst2_session_start(bfst2_session *session, uint32_t flags, char **err);
BFST2_API int bfst2_session_finish(bfst2_session *session, uint32_t flags, char **err);
BFST2_API int bfst2_session_destroy(bfst2_session *session, uint32_t flags, char **err);

BFST2_API int bfst2_store_create(bfst2_session *session, uint32_t flags, bfst2_store **out, char **err);
BFST2_API int bfst2_store_start(bfst2_store *store, uint32_t flags, char **err);
BFST2_API int bfst2_store_buffer(bfst2_store *store, bfst2_buffer *buffer, uint64_t length, uint32_t flags,
                                 char **err);
BFST2_API int bfst2_store_tag(bfst2_store *store, uint32_t flags, unsigned char *tag, char **err);
BFST2_API int bfst2_store_get_link_statistics(bfst2_store *store, uint32_t flags, uint64_t stats[4], char **err);
BFST2_API int bfst2_store_get_operation_statistics(bfst2_store *store, uint32_t flags, uint64_t stats[3],
                                                   char **err);
BFST2_API int bfst2_store_finish(bfst2_store *store, uint32_t flags, char **err);
BFST2_API int bfst2_store_destroy(bfst2_store *store, uint32_t flags, char **err);

BFST2_API int bfst2_buffer_create(uint32_t flags, bfst2_buffer **out, char **err);
BFST2_API int bfst2_buffer_attach_memory(bfst2_buffer *buffer, void *memory, uint64_t length, uint32_t flags,
                                         char **err);
BFST2_API int bfst2_buffer_destroy(bfst2_buffer *buffer, uint32_t flags, char **err);

BFST2_API int bfst2_tag_to_ascii(const unsigned char *tag, char *text, uint32_t size, char **err);

#ifdef __cplusplus
}
#endif

#endif
