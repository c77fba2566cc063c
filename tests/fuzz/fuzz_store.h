// The store of the fuzz targets that drive the appliance's services: a fresh
// directory under /tmp, removed when the target exits, with the store and its
// blobs opened there.
#pragma once

#include "appliance/blob_store.h"
#include "appliance/chunk_store.h"
#include "appliance/service.h"

#include <cstdlib>
#include <filesystem>
#include <string>

inline const std::string &fuzz_root()
{
    static const std::string *root = [] {
        char tmpl[] = "/tmp/kesfuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        auto *r = new std::string(tmpl);
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(fuzz_root(), ec);
        });
        return r;
    }();
    return *root;
}

// Opens sh's store (with the quota), blob store and chunk store in
// fuzz_root(), or aborts.
inline void fuzz_open_store(appl_shared *sh, uint64_t quota)
{
    sh->cfg.root = fuzz_root();
    sh->cfg.quota = quota;
    std::string err;
    if (store_open(sh->cfg.root, quota, &sh->st, &err) != 0 || blob_store_open(sh->st, sh->cfg.root, &sh->blobs, &err) != 0 ||
        chunk_store_open(sh->st, sh->cfg.root, 0, &sh->chunks, &err) != 0)
        abort();
    blob_store_set_chunks(sh->blobs, sh->chunks);
    store_set_chunks(sh->st, sh->chunks);
}
