// Loads the media-management library the way RMAN does: dlopen, sbtinit, and
// every later call through the entry-point vector with a zero-filled,
// 16-byte-aligned context of the announced size.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/rman/rman_pgn_api.h"

namespace kes_test {

struct SbtLib {
    void *handle = nullptr;
    int (*init)(uint64_t *, sbt_item *, sbt_item **) = nullptr;

    SbtLib()
    {
        handle = dlopen(KES_LIB_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (handle != nullptr)
            init = reinterpret_cast<int (*)(uint64_t *, sbt_item *, sbt_item **)>(dlsym(handle, "sbtinit"));
    }
    ~SbtLib()
    {
        if (handle != nullptr)
            dlclose(handle);
    }
    SbtLib(const SbtLib &) = delete;
    SbtLib &operator=(const SbtLib &) = delete;

    template <typename F>
    F sym(const char *name) const
    {
        return reinterpret_cast<F>(dlsym(handle, name));
    }
};

// One RMAN channel: its context area and the vector sbtinit returned.
struct Channel {
    void *ctx = nullptr;
    const sbt_vector *v = nullptr;
    uint32_t ctx_size = 0;
    sbt_item *init_list = nullptr;

    Channel() = default;
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;
    ~Channel() { std::free(ctx); }

    // sbtinit with an optional trace file; allocates the context as announced.
    int init(const SbtLib &lib, const char *trace = nullptr, uint64_t *err_out = nullptr)
    {
        sbt_item in[3] = {};
        int n = 0;
        if (trace != nullptr)
            in[n++] = {SBT_INIT_TRACE_FILE, const_cast<char *>(trace)};
        in[n] = {SBT_INIT_END, nullptr};
        uint64_t err = 0;
        int rc = lib.init(&err, in, &init_list);
        if (err_out != nullptr)
            *err_out = err;
        if (rc != 0)
            return rc;
        for (sbt_item *it = init_list; it->type != SBT_INIT_END; it++) {
            if (it->type == SBT_INIT_VECTOR)
                v = static_cast<const sbt_vector *>(it->value);
            if (it->type == SBT_INIT_CTX_SIZE)
                ctx_size = *static_cast<const uint32_t *>(it->value);
        }
        std::free(ctx);
        ctx = std::aligned_alloc(16, (ctx_size + 15) / 16 * 16);
        std::memset(ctx, 0, ctx_size);
        return 0;
    }

    // sbtinit2 with SBT parameters ("A=1,B=2"), an optional trace file and level.
    int init2(const char *params = nullptr, const char *trace = nullptr, int32_t level = 0)
    {
        sbt_item in[4] = {};
        int n = 0;
        if (params != nullptr)
            in[n++] = {SBT_INIT2_PARAMS, const_cast<char *>(params)};
        if (trace != nullptr) {
            in[n++] = {SBT_INIT2_TRACE_LEVEL, &level};
            in[n++] = {SBT_INIT2_TRACE_FILE, const_cast<char *>(trace)};
        }
        in[n] = {SBT_LIST_END, nullptr};
        sbt_item *out = nullptr;
        return v->init2(ctx, 0, in, &out);
    }

    int end(unsigned long flags = 0) { return v->end(ctx, flags); }

    rpgn_channel *rec() const { return static_cast<rpgn_channel *>(ctx); }

    // The code and message sbterror hands out, as RMAN would read them.
    std::string error(uint32_t *code = nullptr) const
    {
        uint32_t c = 0;
        char *text = nullptr;
        int rc = v->error(ctx, 0, &c, &text);
        if (code != nullptr)
            *code = c;
        return rc == 0 && text != nullptr ? std::string(text) : std::string();
    }
};

}  // namespace kes_test
