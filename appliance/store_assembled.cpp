// Files assembled from blobs (store_segs.h), read through their manifest:
// each segment from its blob, every page checked against the blob's
// checksums, and the page checksums of the file served from the blobs'.
#include "appliance/store_int.h"

#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

seg_blob::~seg_blob()
{
    if (fd >= 0)
        close(fd);
    sums_free(sums);
}

// A manifest that cannot be vouched for leaves f a file of the manifest's
// length whose every read is refused, saying why.
int store_load_assembled(store_file *f)
{
    const uint64_t len = f->size.load();
    const char *why = nullptr;
    std::vector<unsigned char> buf;
    sums_file *ms = nullptr;
    int rc = sums_load(store_hidden_path(f->st, f->rel, SEGS_SUMS_SUFFIX), len, &ms, &why);
    if (rc == KES_ENOENT)
        why = "the checksums of its manifest are lost";
    if (rc == 0 && len > STORE_SEG_HDR + uint64_t(STORE_SEG_ENTRY) * STORE_MAX_SEGS)
        why = "its manifest is too long";
    if (rc == 0 && why == nullptr) {
        buf.resize(size_t(len));
        size_t got = 0;
        sums_damage dmg;
        if (sums_pread(ms, f->fd, len, buf.data(), buf.size(), 0, &got, &dmg) != 0 || got != len)
            why = dmg.why != nullptr ? dmg.why : "its manifest cannot be read";
    }
    sums_free(ms);
    uint64_t size = 0;
    if (why == nullptr && store_segs_decode(buf.data(), buf.size(), &f->segs, &size, &why) == 0) {
        f->assembled = true;
        f->size = size;
        return 0;
    }
    f->sums = sums_refusing(why != nullptr ? why : "its manifest cannot be read");
    return f->sums != nullptr ? 0 : KES_ENOMEM;
}

// Loads the recipe of a blob (disk bytes on b->fd), checked against its page
// checksums; null, or why it cannot serve the blob of size bytes.
static const char *seg_recipe_load(store_file *f, seg_blob *b, uint64_t disk, const std::string &sums_path,
                                   uint64_t size)
{
    if (f->st->chunks == nullptr)
        return "the appliance keeps no chunk store";
    if (disk > (1ULL << 34))
        return "a recipe of it is too long";
    sums_file *rs = nullptr;
    const char *why = nullptr;
    if (sums_load(sums_path, disk, &rs, &why) != 0)
        return why != nullptr ? why : "the checksums of a recipe of it are lost";
    std::vector<unsigned char> buf(static_cast<size_t>(disk));
    size_t got = 0;
    sums_damage dmg;
    int rc = sums_pread(rs, b->fd, disk, buf.data(), buf.size(), 0, &got, &dmg);
    sums_free(rs);
    if (rc != 0 || got != disk)
        return dmg.why != nullptr ? dmg.why : "a recipe of it cannot be read";
    auto r = std::make_unique<seg_recipe>();
    uint64_t total = 0;
    if (recipe_decode(buf.data(), buf.size(), &r->chunks, &total, &why) != 0)
        return why;
    if (total != size)
        return "a blob of it does not have the size recorded for it";
    r->starts.resize(r->chunks.size());
    uint64_t at = 0;
    for (size_t i = 0; i < r->chunks.size(); ++i) {
        r->starts[i] = at;
        at += r->chunks[i].len;
    }
    r->raw.resize(BFST_CHUNK_MAX);
    r->reader.reset(chunk_reader_new());
    if (r->reader == nullptr)
        return "the appliance is out of memory";
    b->size = size;
    b->recipe = std::move(r);
    return nullptr;
}

// Reads n bytes at off of a recipe blob from the chunk store; null, or why not.
static const char *seg_recipe_pread(store_file *f, seg_blob *b, unsigned char *dst, size_t n, uint64_t off)
{
    seg_recipe *r = b->recipe.get();
    std::lock_guard<std::mutex> lk(r->mu);
    auto it = std::upper_bound(r->starts.begin(), r->starts.end(), off);
    size_t i = size_t(it - r->starts.begin()) - 1;
    size_t done = 0;
    for (; done < n && i < r->chunks.size(); ++i) {
        const recipe_entry &e = r->chunks[i];
        const uint64_t in = off + done - r->starts[i];
        const size_t take = size_t(std::min<uint64_t>(n - done, e.len - in));
        const char *why = nullptr;
        if (in == 0 && take == e.len) {
            // whole chunks go straight to the caller, as many as fit
            size_t j = i + 1;
            size_t bytes = e.len;
            while (j < r->chunks.size() && bytes + r->chunks[j].len <= n - done)
                bytes += r->chunks[j++].len;
            if (chunk_read_many(f->st->chunks, r->reader.get(), &r->chunks[i], j - i, dst + done, &why) != 0)
                return why;
            done += bytes;
            i = j - 1;
            continue;
        } else {
            if (r->cached != i) {
                r->cached = SIZE_MAX;
                if (chunk_read(f->st->chunks, e, r->raw.data(), &r->scratch, &why) != 0)
                    return why;
                r->cached = i;
            }
            memcpy(dst + done, r->raw.data() + in, take);
        }
        done += take;
    }
    return done == n ? nullptr : "a blob of it is shorter than recorded";
}

// The blob of a segment, opened with its checksums (or saying why it cannot
// be read). The last few stay open, so a restore opens each blob once.
static std::shared_ptr<seg_blob> seg_blob_get(store_file *f, const store_seg &sg)
{
    std::lock_guard<std::mutex> lk(f->bmu);
    for (const auto &b : f->blobs)
        if (b->tag == sg.tag)
            return b;
    auto b = std::make_shared<seg_blob>();
    b->tag = sg.tag;
    b->fd = open(store_blob_path(f->st, sg.tag).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat sb;
    const std::string recipe_sums = store_blob_path(f->st, "." + sg.tag + RECIPE_SUMS_SUFFIX);
    if (b->fd < 0) {
        b->why = "a blob of it is missing";
    } else if (fstat(b->fd, &sb) != 0) {
        b->why = "a blob of it cannot be read";
    } else if (!store_regular_size(store_blob_sums_path(f->st, sg.tag), nullptr) &&
               store_regular_size(recipe_sums, nullptr)) {
        b->why = seg_recipe_load(f, b.get(), uint64_t(sb.st_size), recipe_sums, sg.blob_size);
        // The page checksums of its stream, when they were made already (a
        // damaged table is made again on demand).
        const char *ignored = nullptr;
        if (b->why == nullptr &&
            sums_load(store_blob_path(f->st, "." + sg.tag + RECIPE_PAGE_SUMS_SUFFIX), b->size, &b->sums,
                      &ignored) != 0)
            b->sums = nullptr;
    } else if (uint64_t(sb.st_size) != sg.blob_size) {
        b->why = "a blob of it does not have the size recorded for it";
    } else {
        b->size = sg.blob_size;
        const char *why = nullptr;
        int rc = sums_load(store_blob_sums_path(f->st, sg.tag), b->size, &b->sums, &why);
        if (rc != 0)
            b->why = rc == KES_ENOENT ? "the checksums of a blob of it are lost" : why;
    }
    if (f->blobs.size() >= STORE_OPEN_BLOBS)
        f->blobs.erase(f->blobs.begin());
    f->blobs.push_back(b);
    return b;
}

// The segment that holds file offset off (off below the file's size).
static size_t seg_at(const store_file *f, uint64_t off)
{
    auto it = std::upper_bound(f->segs.begin(), f->segs.end(), off,
                               [](uint64_t o, const store_seg &s) { return o < s.file_off; });
    return size_t(it - f->segs.begin()) - 1;
}

// Reads an assembled file: each segment from its blob, checked against the
// blob's checksums (unless checks are off).
int store_segs_pread(store_file *f, void *buf, size_t len, uint64_t off, size_t *got, sums_damage *dmg)
{
    const uint64_t size = f->size.load();
    if (off >= size || len == 0)
        return 0;
    len = size_t(std::min<uint64_t>(len, size - off));
    auto *dst = static_cast<unsigned char *>(buf);
    const bool verify = f->st->verify.load(std::memory_order_relaxed);
    for (size_t i = seg_at(f, off); *got < len; ++i) {
        const store_seg &sg = f->segs[i];
        const uint64_t pos = off + *got;
        const uint64_t in = pos - sg.file_off;
        const size_t n = size_t(std::min<uint64_t>(len - *got, sg.length - in));
        auto b = seg_blob_get(f, sg);
        const char *why = b->why;
        uint64_t bad = pos;
        size_t g = 0;
        if (why == nullptr && b->recipe != nullptr) {
            // every chunk is checked as it is read, checks or not
            why = seg_recipe_pread(f, b.get(), dst + *got, n, sg.blob_off + in);
            g = why == nullptr ? n : 0;
        } else if (why == nullptr && verify) {
            sums_damage d;
            int rc = sums_pread(b->sums, b->fd, b->size, dst + *got, n, sg.blob_off + in, &g, &d);
            if (rc != 0 && rc != KES_EIO)
                return rc;
            if (rc == KES_EIO) {
                why = d.why;
                // the page of the blob, as an offset of the file
                bad = d.off >= sg.blob_off ? sg.file_off + (d.off - sg.blob_off) : sg.file_off;
            }
        } else if (why == nullptr) {
            ssize_t r = store_pread_full(b->fd, dst + *got, n, sg.blob_off + in);
            if (r < 0)
                return store_errno();
            g = size_t(r);
        }
        if (why == nullptr && g != n)
            why = "a blob of it is shorter than recorded";
        if (why != nullptr) {
            if (dmg != nullptr) {
                dmg->off = bad;
                dmg->why = why;
            }
            return KES_EIO;
        }
        *got += n;
    }
    return 0;
}

// Whether a blob has the page checksums of its bytes: a recipe blob gets
// them from its chunks once, when they were not made after its seal, and
// keeps them.
static bool seg_blob_sums(store_file *f, seg_blob *b)
{
    if (b->why != nullptr)
        return false;
    if (b->recipe == nullptr)
        return true;
    std::lock_guard<std::mutex> lk(b->recipe->mu);
    if (b->sums == nullptr) {
        // (a recipe with a damaged chunk is not read whole again for each
        // request: its pages are read one at a time and fail where it is)
        const char *why = nullptr;
        if (b->recipe->sums_failed ||
            chunk_recipe_sums(f->st->chunks, b->recipe->chunks, b->size, &b->sums, &why) != 0) {
            b->recipe->sums_failed = true;
            return false;
        }
        sums_save(b->sums, store_blob_path(f->st, "." + b->tag + RECIPE_PAGE_SUMS_SUFFIX));
    }
    return true;
}

// Checksums of an assembled file's pages from page first on. A page that is
// a whole page of one blob has that blob's checksum; any other page (a
// segment that does not start on a page of its blob) is read, checked, and
// summed here.
uint32_t store_segs_sums(store_file *f, uint64_t first, uint64_t *out, uint32_t max)
{
    const uint64_t size = f->size.load();
    std::vector<unsigned char> page;
    uint32_t n = 0;
    for (uint64_t p = first; n < max && p < (size + DM_SUM_PAGE - 1) / DM_SUM_PAGE;) {
        const uint64_t pos = p * DM_SUM_PAGE;
        const uint64_t plen = std::min<uint64_t>(DM_SUM_PAGE, size - pos);
        const store_seg &sg = f->segs[seg_at(f, pos)];
        const uint64_t boff = sg.blob_off + (pos - sg.file_off);
        auto whole_blob_page = [&](uint64_t bo, uint64_t fo, uint64_t l) {
            return bo % DM_SUM_PAGE == 0 && fo - sg.file_off + l <= sg.length &&
                   l == std::min<uint64_t>(DM_SUM_PAGE, sg.blob_size - bo);
        };
        if (whole_blob_page(boff, pos, plen) && seg_blob_sums(f, seg_blob_get(f, sg).get())) {
            auto b = seg_blob_get(f, sg);
            // the run of such pages in this segment, in one go
            uint32_t run = 1;
            while (n + run < max) {
                const uint64_t fo = pos + uint64_t(run) * DM_SUM_PAGE;
                if (fo >= size || !whole_blob_page(boff + uint64_t(run) * DM_SUM_PAGE, fo,
                                                   std::min<uint64_t>(DM_SUM_PAGE, size - fo)))
                    break;
                run++;
            }
            uint32_t got = sums_get(b->sums, boff / DM_SUM_PAGE, out + n, run);
            n += got;
            p += got;
            if (got != run)
                break;
            continue;
        }
        page.resize(DM_SUM_PAGE);
        size_t got = 0;
        if (store_segs_pread(f, page.data(), size_t(plen), pos, &got, nullptr) != 0 || got != plen)
            break;
        out[n++] = dm_sum64(page.data(), size_t(plen));
        p++;
    }
    return n;
}
