// The chunk store's files read by themselves: container record heads, recipes,
// and the offline check of every chunk and recipe under a root.
#include "appliance/chunk_int.h"

#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr uint32_t REC_MAGIC = 0x4B434831;  // "KCH1"
constexpr unsigned char RECIPE_MAGIC[8] = {'K', 'E', 'S', 'R', 'C', 'P', '0', '1'};

static_assert(CHUNK_REC_HEAD == 64 && RECIPE_ENTRY == 32 + 4 && RECIPE_TRAILER == 40);

}  // namespace

// ---------------------------------------------------------------- container records

void chunk_head_encode(unsigned char *h, const bfst_fp &fp, uint32_t len, uint32_t flags, const void *stored, size_t n)
{
    be_put32(h, REC_MAGIC);
    be_put32(h + 4, flags);
    be_put32(h + 8, len);
    be_put32(h + 12, uint32_t(n));
    memcpy(h + 16, fp.b, BFST_FP_LEN);
    be_put64(h + 48, dm_sum64(stored, n));
    be_put64(h + 56, dm_sum64(h, 56));
}

bool chunk_head_decode(const unsigned char *h, chunk_rec_head *out)
{
    if (be_get32(h) != REC_MAGIC || be_get64(h + 56) != dm_sum64(h, 56))
        return false;
    out->flags = be_get32(h + 4);
    out->len = be_get32(h + 8);
    out->stored = be_get32(h + 12);
    memcpy(out->fp.b, h + 16, BFST_FP_LEN);
    out->sum = be_get64(h + 48);
    return out->len != 0 && out->len <= BFST_CHUNK_MAX && out->stored != 0 && out->stored <= bfst_chunk_bound() &&
           (out->flags == 0 ? out->stored == out->len : out->flags == BFST_CHUNK_LZ4);
}

std::string chunk_cont_name(uint64_t id)
{
    char n[32];
    snprintf(n, sizeof n, "%016llx%s", (unsigned long long)id, CHUNK_CONT_SUFFIX);
    return n;
}

bool chunk_parse_cont_name(const std::string &n, uint64_t *id)
{
    if (n.size() != 16 + strlen(CHUNK_CONT_SUFFIX) || n.compare(16, std::string::npos, CHUNK_CONT_SUFFIX) != 0)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < 16; ++i) {
        char c = n[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            return false;
        v = v << 4 | uint64_t(d);
    }
    *id = v;
    return true;
}

const char *chunk_read_record(int fd, uint64_t off, uint32_t stored, chunk_rec_head *rh,
                              std::vector<unsigned char> *buf)
{
    buf->resize(CHUNK_REC_HEAD + bfst_chunk_bound());
    if (stored > bfst_chunk_bound())
        return "a chunk of it is damaged";
    ssize_t got = store_pread_full(fd, buf->data(), CHUNK_REC_HEAD + stored, off);
    if (got != ssize_t(CHUNK_REC_HEAD + stored))
        return "a chunk of it cannot be read";
    if (!chunk_head_decode(buf->data(), rh) || rh->stored != stored ||
        dm_sum64(buf->data() + CHUNK_REC_HEAD, stored) != rh->sum)
        return "a chunk of it is damaged";
    return nullptr;
}

// ---------------------------------------------------------------- recipes

void recipe_trailer_encode(unsigned char out[RECIPE_TRAILER], uint64_t size, uint64_t count, uint64_t entries_sum)
{
    memcpy(out, RECIPE_MAGIC, 8);
    be_put64(out + 8, size);
    be_put64(out + 16, count);
    be_put64(out + 24, entries_sum);
    be_put64(out + 32, dm_sum64(out, 32));
}

int recipe_decode(const unsigned char *buf, size_t len, std::vector<recipe_entry> *out, uint64_t *size,
                  const char **why)
{
    out->clear();
    if (len < RECIPE_TRAILER || (len - RECIPE_TRAILER) % RECIPE_ENTRY != 0) {
        *why = "its recipe has a wrong length";
        return KES_EIO;
    }
    const unsigned char *t = buf + len - RECIPE_TRAILER;
    const uint64_t count = (len - RECIPE_TRAILER) / RECIPE_ENTRY;
    if (memcmp(t, RECIPE_MAGIC, 8) != 0 || be_get64(t + 32) != dm_sum64(t, 32) || be_get64(t + 16) != count) {
        *why = "its recipe is damaged";
        return KES_EIO;
    }
    if (be_get64(t + 24) != dm_sum64(buf, len - RECIPE_TRAILER)) {
        *why = "its recipe is damaged";
        return KES_EIO;
    }
    out->resize(size_t(count));
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char *p = buf + i * RECIPE_ENTRY;
        recipe_entry &e = (*out)[i];
        memcpy(e.fp.b, p, BFST_FP_LEN);
        e.len = be_get32(p + 32);
        if (e.len == 0 || e.len > BFST_CHUNK_MAX) {
            *why = "its recipe names a chunk of an impossible length";
            out->clear();
            return KES_EIO;
        }
        total += e.len;
    }
    if (total != be_get64(t + 8)) {
        *why = "its recipe's chunks do not add up to its length";
        out->clear();
        return KES_EIO;
    }
    *size = total;
    return 0;
}

int recipe_load(const std::string &path, std::vector<recipe_entry> *out, uint64_t *size, const char **why)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *why = "its recipe is missing";
        return KES_EIO;
    }
    struct stat sb;
    std::vector<unsigned char> buf;
    int rc = 0;
    // at most 2^40 bytes in chunks of at least one byte is far beyond memory;
    // a recipe of a terabyte is about 3.5 GiB at the average chunk
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || uint64_t(sb.st_size) > (1ULL << 34)) {
        *why = "its recipe cannot be read";
        rc = KES_EIO;
    } else {
        buf.resize(size_t(sb.st_size));
        if (store_pread_full(fd, buf.data(), buf.size(), 0) != ssize_t(buf.size())) {
            *why = "its recipe cannot be read";
            rc = KES_EIO;
        }
    }
    close(fd);
    return rc != 0 ? rc : recipe_decode(buf.data(), buf.size(), out, size, why);
}

// ---------------------------------------------------------------- checking

namespace {

// Files at any depth below root (hidden directories aside) that are
// assembled: their relative names and segments.
void assembled_files(const std::string &root, const std::string &rel,
                     std::vector<std::pair<std::string, std::vector<store_seg>>> *out)
{
    std::vector<std::string> names;
    const std::string dir = rel.empty() ? root : root + "/" + rel;
    if (!store_dir_names(dir, &names))
        return;
    for (const std::string &n : names) {
        if (n[0] == '.')
            continue;
        const std::string r = rel.empty() ? n : rel + "/" + n;
        struct stat sb;
        if (lstat((root + "/" + r).c_str(), &sb) != 0)
            continue;
        if (S_ISDIR(sb.st_mode)) {
            assembled_files(root, r, out);
        } else if (S_ISREG(sb.st_mode) && store_regular_size(dir + "/." + n + SEGS_SUMS_SUFFIX, nullptr)) {
            std::vector<store_seg> segs;
            if (store_manifest_segs(root + "/" + r, &segs))
                out->emplace_back(r, std::move(segs));
            else
                out->emplace_back(r, std::vector<store_seg>());
        }
    }
}

}  // namespace

size_t chunk_store_verify(const std::string &root, std::vector<std::string> *problems, chunk_stats *stats)
{
    const std::string blob_dir = root + "/" + STORE_BLOB_DIR;
    const std::string dir = blob_dir + "/" + CHUNK_DIR;
    size_t before = problems->size();
    chunk_stats st;
    // Every chunk, expanded and fingerprinted.
    std::unordered_map<bfst_fp, uint32_t, bfst_fp_hash> good;  // fingerprint -> length
    std::vector<std::string> names;
    store_dir_names(dir, &names);
    std::sort(names.begin(), names.end());
    std::vector<unsigned char> buf, raw(BFST_CHUNK_MAX);
    for (const std::string &n : names) {
        uint64_t id = 0;
        if (!chunk_parse_cont_name(n, &id))
            continue;
        const std::string path = dir + "/" + n;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat sb;
        if (fd < 0 && errno == ENOENT)
            continue;  // collected meanwhile by a running appliance
        if (fd < 0 || fstat(fd, &sb) != 0) {
            problems->push_back("container " + path + " cannot be read");
            if (fd >= 0)
                close(fd);
            continue;
        }
        st.containers++;
        st.disk += uint64_t(sb.st_size);
        chunk_scan_records(fd, uint64_t(sb.st_size), [&](uint64_t off, const chunk_rec_head &h) {
            chunk_rec_head rh;
            bfst_fp fp;
            const char *bad = chunk_read_record(fd, off, h.stored, &rh, &buf);
            if (bad == nullptr &&
                bfst_chunk_unpack(buf.data() + CHUNK_REC_HEAD, rh.stored, rh.flags, raw.data(), rh.len) != 0)
                bad = "its stored bytes do not expand to its length";
            if (bad == nullptr) {
                bfst_fingerprint(raw.data(), rh.len, &fp);
                if (fp != rh.fp)
                    bad = "its bytes do not match its fingerprint";
            }
            if (bad != nullptr) {
                char line[160];
                snprintf(line, sizeof line, "damaged chunk in container %s at offset %llu: %s", n.c_str(),
                         (unsigned long long)off, bad);
                problems->push_back(line);
                return;
            }
            if (good.emplace(rh.fp, rh.len).second) {
                st.chunks++;
                st.raw += rh.len;
            }
        });
        // A torn tail (a crash in the middle of a write) is harmless; a head
        // damaged inside the container hides the chunks after it, which the
        // recipes that use them then report.
        close(fd);
    }
    // Every recipe, and the files whose segments use a damaged one.
    std::vector<std::string> bad_tags;
    names.clear();
    store_dir_names(blob_dir, &names);
    const size_t sl = strlen(RECIPE_SUMS_SUFFIX);
    for (const std::string &n : names) {
        if (n.size() <= sl + 1 || n[0] != '.' || n.compare(n.size() - sl, sl, RECIPE_SUMS_SUFFIX) != 0)
            continue;
        const std::string tag = n.substr(1, n.size() - 1 - sl);
        std::vector<recipe_entry> rs;
        uint64_t size = 0;
        const char *why = nullptr;
        const char *bad = nullptr;
        if (recipe_load(blob_dir + "/" + tag, &rs, &size, &why) != 0) {
            bad = why;
        } else {
            for (const recipe_entry &r : rs) {
                auto it = good.find(r.fp);
                if (it == good.end() || it->second != r.len) {
                    bad = "it uses a chunk that is missing or damaged";
                    break;
                }
            }
        }
        if (bad != nullptr) {
            problems->push_back("recipe " + tag + ": " + bad);
            bad_tags.push_back(tag);
        }
    }
    std::vector<std::pair<std::string, std::vector<store_seg>>> files;
    assembled_files(root, "", &files);
    for (const auto &f : files) {
        if (f.second.empty()) {
            problems->push_back("file " + f.first + ": its manifest cannot be read");
            continue;
        }
        for (const store_seg &sg : f.second) {
            if (std::find(bad_tags.begin(), bad_tags.end(), sg.tag) != bad_tags.end()) {
                problems->push_back("file " + f.first + " is damaged: its data cannot be restored whole");
                break;
            }
        }
    }
    if (stats != nullptr)
        *stats = st;
    return problems->size() - before;
}
