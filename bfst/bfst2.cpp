// The transfer library. Start-up, shutdown and error texts work; the data
// calls arrive with the BFST service of the appliance and until then answer
// BFST2_ERR_NOT_AVAILABLE, whose text tells the administrator to use the DM path.
#include "bfst/bfst2.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_lock;
int g_init_count = 0;

struct CodeText {
    int code;
    const char *text;
};

constexpr CodeText kTexts[] = {
    {BFST2_OK, "success"},
    {BFST2_ERR_NOSPACE, "no space left on the appliance"},
    {BFST2_ERR_QUOTA, "storage quota exceeded on the appliance"},
    {BFST2_ERR_SERVER_BUSY, "the appliance has reached its maximum client connections"},
    {BFST2_ERR_VSERVER_BUSY, "the virtual appliance has reached its maximum client connections"},
    {BFST2_ERR_PROTOCOL, "protocol error talking to the appliance"},
    {BFST2_ERR_AUTH, "authentication with the appliance failed"},
    {BFST2_ERR_ABORTED, "operation aborted"},
    {BFST2_ERR_NOT_INITIALIZED, "the transfer library is not initialized"},
    {BFST2_ERR_NOT_FOUND, "not found on the appliance"},
    {BFST2_ERR_NOMEM, "out of memory"},
    {BFST2_ERR_INVALID_ARG, "invalid argument"},
    {BFST2_ERR_NOT_AVAILABLE,
     "this operation is not available in this build of the transfer library; set IO_PATH=1 to use the DM path"},
};

// A failure with its text handed to the caller, who frees it.
int fail(int code, char **err)
{
    if (err != nullptr) {
        const char *t = bfst2_strerror(code);
        *err = strdup(t);
    }
    return code;
}

int not_available(char **err) { return fail(BFST2_ERR_NOT_AVAILABLE, err); }

}  // namespace

extern "C" {

int bfst2_initialize(const char *application, char **err)
{
    if (err != nullptr)
        *err = nullptr;
    if (application == nullptr || *application == '\0')
        return fail(BFST2_ERR_INVALID_ARG, err);
    std::lock_guard<std::mutex> g(g_lock);
    g_init_count++;
    return BFST2_OK;
}

int bfst2_finalize(char **err)
{
    if (err != nullptr)
        *err = nullptr;
    std::lock_guard<std::mutex> g(g_lock);
    if (g_init_count == 0)
        return fail(BFST2_ERR_NOT_INITIALIZED, err);
    g_init_count--;
    return BFST2_OK;
}

const char *bfst2_strerror(int code)
{
    for (const auto &t : kTexts)
        if (t.code == code)
            return t.text;
    return "unknown transfer library error";
}

void bfst2_free_error_string(char *text) { free(text); }

int bfst2_credential_create_password(uint32_t, const char *, uint32_t, bfst2_credential **, char **err)
{
    return not_available(err);
}
int bfst2_credential_create_certificate_files(uint32_t, uint32_t, const char *, const char *, const char *,
                                              const char *, uint32_t, bfst2_credential **, char **err)
{
    return not_available(err);
}
int bfst2_credential_destroy(bfst2_credential *, uint32_t, char **err) { return not_available(err); }
int bfst2_handle_create_remote_with_credential(const char *, uint32_t, uint32_t, const char *, bfst2_credential *,
                                               uint32_t, bfst2_connection **, char **err)
{
    return not_available(err);
}
int bfst2_connect(bfst2_connection *, uint32_t, char **err) { return not_available(err); }
int bfst2_open(bfst2_connection *, uint32_t, char **err) { return not_available(err); }
int bfst2_get_tag_length(bfst2_connection *, uint32_t *, char **err) { return not_available(err); }
int bfst2_disconnect(bfst2_connection *, uint32_t, char **err) { return not_available(err); }
int bfst2_handle_destroy(bfst2_connection *, uint32_t, char **err) { return not_available(err); }
int bfst2_session_create(bfst2_connection *, uint32_t, bfst2_session **, char **err) { return not_available(err); }
int bfst2_session_start(bfst2_session *, uint32_t, char **err) { return not_available(err); }
int bfst2_session_finish(bfst2_session *, uint32_t, char **err) { return not_available(err); }
int bfst2_session_destroy(bfst2_session *, uint32_t, char **err) { return not_available(err); }
int bfst2_store_create(bfst2_session *, uint32_t, bfst2_store **, char **err) { return not_available(err); }
int bfst2_store_start(bfst2_store *, uint32_t, char **err) { return not_available(err); }
int bfst2_store_buffer(bfst2_store *, bfst2_buffer *, uint64_t, uint32_t, char **err) { return not_available(err); }
int bfst2_store_tag(bfst2_store *, uint32_t, unsigned char *, char **err) { return not_available(err); }
int bfst2_store_get_link_statistics(bfst2_store *, uint32_t, uint64_t *, char **err) { return not_available(err); }
int bfst2_store_get_operation_statistics(bfst2_store *, uint32_t, uint64_t *, char **err)
{
    return not_available(err);
}
int bfst2_store_finish(bfst2_store *, uint32_t, char **err) { return not_available(err); }
int bfst2_store_destroy(bfst2_store *, uint32_t, char **err) { return not_available(err); }
int bfst2_buffer_create(uint32_t, bfst2_buffer **, char **err) { return not_available(err); }
int bfst2_buffer_attach_memory(bfst2_buffer *, void *, uint64_t, uint32_t, char **err) { return not_available(err); }
int bfst2_buffer_destroy(bfst2_buffer *, uint32_t, char **err) { return not_available(err); }
int bfst2_tag_to_ascii(const unsigned char *, char *, uint32_t, char **err) { return not_available(err); }

}  // extern "C"
