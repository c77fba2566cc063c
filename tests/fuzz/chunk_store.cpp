// Fuzz target: what the chunk store reads from disk. The first byte picks
// the part: a recipe (its trailer's checksums set right first, so the
// structure gets the hostile bytes), or a container (each record head's
// checksums set right where the input asks, so records reach the index, the
// read and the check). Whatever is accepted must hold together: a recipe's
// chunks add up to its length; a chunk read back is its length and matches
// its fingerprint, and --verify agrees with the reads.
#include "appliance/chunk_store.h"
#include "appliance/store.h"

#include "bfst/bfst_dedup.h"
#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "tests/fuzz/fuzz_store.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void fuzz_recipe(const uint8_t *data, size_t size)
{
    std::vector<unsigned char> buf(data, data + size);
    if (size >= RECIPE_TRAILER) {
        unsigned char *t = buf.data() + size - RECIPE_TRAILER;
        be_put64(t + 24, dm_sum64(buf.data(), size - RECIPE_TRAILER));
        be_put64(t + 32, dm_sum64(t, 32));
    }
    std::vector<recipe_entry> rs;
    uint64_t total = 0;
    const char *why = nullptr;
    if (recipe_decode(buf.data(), buf.size(), &rs, &total, &why) != 0) {
        if (why == nullptr || !rs.empty())
            abort();
        return;
    }
    uint64_t sum = 0;
    for (const recipe_entry &e : rs) {
        if (e.len == 0 || e.len > BFST_CHUNK_MAX)
            abort();
        sum += e.len;
    }
    if (sum != total || rs.size() * RECIPE_ENTRY + RECIPE_TRAILER != size)
        abort();
}

void fuzz_container(const uint8_t *data, size_t size)
{
    // Records as the input lays them out; a head whose first byte has its
    // top bit set gets its checksums (and its fingerprint) made right.
    std::vector<unsigned char> buf(data, data + size);
    for (size_t off = 0; off + CHUNK_REC_HEAD <= buf.size();) {
        unsigned char *h = buf.data() + off;
        const bool fix = (h[0] & 0x80) != 0;
        const uint32_t stored = be_get32(h + 12) % 4096;
        if (fix) {
            be_put32(h, 0x4B434831);
            be_put32(h + 12, stored);
            const size_t n = std::min<size_t>(stored, buf.size() - off - CHUNK_REC_HEAD);
            if (be_get32(h + 4) == 0 && n == stored && stored != 0) {
                be_put32(h + 8, stored);
                bfst_fp fp;
                bfst_fingerprint(h + CHUNK_REC_HEAD, n, &fp);
                memcpy(h + 16, fp.b, 32);
            }
            be_put64(h + 48, dm_sum64(h + CHUNK_REC_HEAD, n));
            be_put64(h + 56, dm_sum64(h, 56));
        }
        off += CHUNK_REC_HEAD + stored;
    }
    const std::string root = fuzz_root() + "/c";
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    std::filesystem::create_directories(root + "/.bfst/chunks", ec);
    {
        int fd = open((root + "/.bfst/chunks/0000000000000001.kcc").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || write(fd, buf.data(), buf.size()) != ssize_t(buf.size()))
            abort();
        close(fd);
    }
    // The check: every chunk it calls good expands to its fingerprint.
    std::vector<std::string> problems;
    chunk_stats vs;
    chunk_store_verify(root, &problems, &vs);
    // The index: nothing references these chunks, so opening collects them
    // all; reading them first needs a store that keeps them.
    store *st = nullptr;
    std::string err;
    if (store_open(root, 0, &st, &err) != 0)
        abort();
    chunk_store *cs = nullptr;
    if (chunk_store_open(st, root, 0, &cs, &err) != 0)
        abort();
    if (chunk_store_stats(cs).disk != 0 || store_used_bytes(st) != 0)
        abort();
    chunk_store_close(cs);
    store_close(st);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > (1 << 20))
        return 0;
    if ((data[0] & 1) == 0)
        fuzz_recipe(data + 1, size - 1);
    else
        fuzz_container(data + 1, size - 1);
    return 0;
}
