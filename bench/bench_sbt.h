// The library as RMAN loads it, for the benchmarks that drive its SBT entry
// points in the process.
#pragma once

#include "lib/rman/rman_pgn_api.h"

#include <cstdint>
#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <vector>

// The library loaded as RMAN loads it, with one channel context.
struct Sbt {
    void *handle = nullptr;
    int (*init)(uint64_t *, sbt_item *, sbt_item **) = nullptr;
    const sbt_vector *v = nullptr;
    std::vector<char> ctx;

    bool load(const char *path)
    {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            fprintf(stderr, "%s\n", dlerror());
            return false;
        }
        init = reinterpret_cast<decltype(init)>(dlsym(handle, "sbtinit"));
        return init != nullptr;
    }
    bool fail(const char *what)
    {
        uint32_t code = 0;
        char *text = nullptr;
        v->error(ctx.data(), 0, &code, &text);
        fprintf(stderr, "%s failed: %u %s\n", what, code, text != nullptr ? text : "");
        return false;
    }
    // sbtinit and sbtinit2 of a fresh channel.
    bool open(const std::string &params)
    {
        sbt_item in[1] = {{SBT_INIT_END, nullptr}};
        sbt_item *out = nullptr;
        uint64_t err = 0;
        if (init(&err, in, &out) != 0)
            return false;
        size_t ctx_size = 0;
        for (sbt_item *it = out; it->type != SBT_INIT_END; it++) {
            if (it->type == SBT_INIT_VECTOR)
                v = static_cast<const sbt_vector *>(it->value);
            if (it->type == SBT_INIT_CTX_SIZE)
                ctx_size = *static_cast<const uint32_t *>(it->value);
        }
        ctx.assign(ctx_size + 16, 0);
        sbt_item in2[2] = {{SBT_INIT2_PARAMS, const_cast<char *>(params.c_str())}, {SBT_LIST_END, nullptr}};
        sbt_item *out2 = nullptr;
        return v->init2(ctx.data(), 0, in2, &out2) == 0 || fail("sbtinit2");
    }
};

