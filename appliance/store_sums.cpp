// Checksums of one stored data file (see store_sums.h for the sidecar layout).
#include "appliance/store_sums.h"

#include "datamover/byteorder.h"
#include "datamover/dm_sums.h"
#include "datamover/util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char SUMS_MAGIC[8] = {'K', 'E', 'S', 'S', 'U', 'M', 'S', '1'};
constexpr size_t SUMS_HDR = 32;
constexpr uint64_t NO_PAGE = UINT64_MAX;
constexpr uint64_t P = DM_SUM_PAGE;
// Largest table a sidecar may describe: one entry per page of the largest
// offset the store serves (2^46 bytes).
constexpr uint64_t SUMS_MAX_PAGES = (1ULL << 46) / P;
constexpr uint8_t CUR_FULL = 1;
constexpr uint8_t CUR_TAIL = 2;

uint64_t pages_of(uint64_t size) { return (size + P - 1) / P; }
uint64_t page_len(uint64_t page, uint64_t size) { return std::min<uint64_t>(P, size - page * P); }

int kes_errno() { return util_errno_to_kes(errno); }

}  // namespace

ssize_t store_pread_full(int fd, void *buf, size_t n, uint64_t off)
{
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, static_cast<char *>(buf) + done, n - done, off_t(off + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        done += size_t(r);
    }
    return ssize_t(done);
}

namespace {

// One page-sized buffer per thread for pages that are only partly wanted.
unsigned char *scratch()
{
    thread_local std::vector<unsigned char> buf;
    if (buf.size() < P)
        buf.resize(P);
    return buf.data();
}

uint64_t table_check(const unsigned char hdr[SUMS_HDR], const std::vector<uint64_t> &sums)
{
    dm_sum_stream *st = dm_sum_stream_new();
    if (st == nullptr)
        return 0;
    dm_sum_stream_add(st, hdr, 24);
    unsigned char e[8];
    for (uint64_t v : sums) {
        be_put64(e, v);
        dm_sum_stream_add(st, e, 8);
    }
    uint64_t r = dm_sum_stream_value(st);
    dm_sum_stream_free(st);
    return r;
}

}  // namespace

struct sums_file {
    std::mutex mu;
    std::vector<uint64_t> sum;
    // Per page: 0 no current checksum; CUR_FULL summed over a whole page;
    // CUR_TAIL summed as the last page of a file of `size` bytes.
    std::vector<uint8_t> cur;
    uint64_t size = 0;            // data size the table was sealed or loaded for
    bool writing = false;         // pages without a current checksum are read unchecked
    const char *refuse = nullptr; // every read is refused with this reason
    // The page being filled in order, summed as its bytes arrive.
    dm_sum_stream *stream = nullptr;
    uint64_t stream_page = NO_PAGE;
    uint64_t stream_pos = 0;      // bytes of that page summed so far

    ~sums_file() { dm_sum_stream_free(stream); }
};

sums_file *sums_new()
{
    auto *s = new (std::nothrow) sums_file;
    if (s == nullptr)
        return nullptr;
    s->stream = dm_sum_stream_new();
    if (s->stream == nullptr) {
        delete s;
        return nullptr;
    }
    try {
        // Room for the pages of 1 GiB: most files never grow the table again.
        s->sum.reserve(4096);
        s->cur.reserve(4096);
    } catch (const std::bad_alloc &) {
        delete s;
        return nullptr;
    }
    s->writing = true;
    return s;
}

sums_file *sums_refusing(const char *why)
{
    auto *s = new (std::nothrow) sums_file;
    if (s != nullptr)
        s->refuse = why;
    return s;
}

void sums_free(sums_file *s) { delete s; }

int sums_load(const std::string &path, uint64_t size, sums_file **out, const char **why)
{
    *out = nullptr;
    *why = nullptr;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return KES_ENOENT;
        *why = "its checksum file cannot be opened";
        return KES_EIO;
    }
    struct stat sb;
    const uint64_t n = pages_of(size);
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || n > SUMS_MAX_PAGES || uint64_t(sb.st_size) != SUMS_HDR + 8 * n) {
        close(fd);
        *why = "its checksum file does not match the data file";
        return KES_EIO;
    }
    std::vector<unsigned char> raw;
    auto *s = new (std::nothrow) sums_file;
    try {
        raw.resize(size_t(sb.st_size));
        if (s != nullptr) {
            s->sum.resize(size_t(n));
            s->cur.assign(size_t(n), CUR_FULL);
            if (n > 0 && page_len(n - 1, size) != P)
                s->cur[size_t(n - 1)] = CUR_TAIL;
        }
    } catch (const std::bad_alloc &) {
        delete s;
        s = nullptr;
    }
    if (s == nullptr) {
        close(fd);
        *why = "no memory for its checksums";
        return KES_ENOMEM;
    }
    ssize_t got = store_pread_full(fd, raw.data(), raw.size(), 0);
    close(fd);
    if (got != ssize_t(raw.size()) || memcmp(raw.data(), SUMS_MAGIC, 8) != 0 || be_get32(&raw[8]) != P ||
        be_get32(&raw[12]) != DM_SUM_ALG_XXH3_64 || be_get64(&raw[16]) != size) {
        delete s;
        *why = "its checksum file does not match the data file";
        return KES_EIO;
    }
    for (uint64_t i = 0; i < n; i++)
        s->sum[size_t(i)] = be_get64(&raw[SUMS_HDR + 8 * i]);
    if (table_check(raw.data(), s->sum) != be_get64(&raw[24])) {
        delete s;
        *why = "its checksum file is damaged";
        return KES_EIO;
    }
    s->size = size;
    *out = s;
    return 0;
}

int sums_note_write(sums_file *s, const void *buf, size_t len, uint64_t off)
{
    if (len == 0)
        return 0;
    std::lock_guard<std::mutex> lk(s->mu);
    s->writing = true;
    const uint64_t end = off + len;
    const uint64_t last = (end - 1) / P;
    try {
        if (s->sum.size() <= last) {
            s->sum.resize(size_t(last + 1), 0);
            s->cur.resize(size_t(last + 1), 0);
        }
    } catch (const std::bad_alloc &) {
        return KES_ENOMEM;
    }
    const auto *src = static_cast<const unsigned char *>(buf);
    for (uint64_t page = off / P; page <= last; page++) {
        const uint64_t ps = page * P;
        const uint64_t a = std::max(off, ps), b = std::min(end, ps + P);
        const unsigned char *d = src + (a - off);
        if (a == ps && b == ps + P) {
            // The whole page in hand.
            s->sum[page] = dm_sum64(d, P);
            s->cur[page] = CUR_FULL;
            if (s->stream_page == page)
                s->stream_page = NO_PAGE;
            continue;
        }
        s->cur[page] = 0;
        if (s->stream != nullptr && s->stream_page == page && s->stream_pos == a - ps) {
            // The page being filled, continued in order.
        } else if (s->stream != nullptr && a == ps) {
            // A page begun at its start; a page still being filled is left to the seal.
            dm_sum_stream_reset(s->stream);
            s->stream_page = page;
            s->stream_pos = 0;
        } else {
            if (s->stream_page == page)
                s->stream_page = NO_PAGE;
            continue;  // out of order: read back at the seal
        }
        dm_sum_stream_add(s->stream, d, size_t(b - a));
        s->stream_pos += b - a;
        if (s->stream_pos == P) {
            s->sum[page] = dm_sum_stream_value(s->stream);
            s->cur[page] = CUR_FULL;
            s->stream_page = NO_PAGE;
        }
    }
    return 0;
}

int sums_seal(sums_file *s, int fd, uint64_t size)
{
    std::lock_guard<std::mutex> lk(s->mu);
    const uint64_t n = pages_of(size);
    if (n > SUMS_MAX_PAGES)
        return KES_EFBIG;
    try {
        s->sum.resize(size_t(n), 0);
        s->cur.resize(size_t(n), 0);
    } catch (const std::bad_alloc &) {
        return KES_ENOMEM;
    }
    uint64_t fresh = NO_PAGE;
    if (s->stream_page < n && s->stream_pos == page_len(s->stream_page, size)) {
        // The last page, filled in order up to the end of the file.
        s->sum[s->stream_page] = dm_sum_stream_value(s->stream);
        s->cur[s->stream_page] = s->stream_pos == P ? CUR_FULL : CUR_TAIL;
        fresh = s->stream_page;
    } else if (s->stream_page < n) {
        s->cur[s->stream_page] = 0;
    }
    s->stream_page = NO_PAGE;
    for (uint64_t page = 0; page < n; page++) {
        const uint64_t len = page_len(page, size);
        if (s->cur[page] == CUR_FULL && len == P)
            continue;
        // A tail is good when summed just now, or when the table was last
        // sealed or loaded for this very size; any other page is read back.
        if (s->cur[page] == CUR_TAIL && (page == fresh || (s->size == size && page + 1 == n)))
            continue;
        unsigned char *b = scratch();
        ssize_t got = store_pread_full(fd, b, size_t(len), page * P);
        if (got < 0)
            return kes_errno();
        if (uint64_t(got) != len)
            return KES_EIO;
        s->sum[page] = dm_sum64(b, size_t(len));
        s->cur[page] = len == P ? CUR_FULL : CUR_TAIL;
    }
    s->size = size;
    s->writing = false;
    return 0;
}

int sums_save(const sums_file *s, const std::string &path)
{
    const uint64_t n = s->sum.size();
    std::vector<unsigned char> raw;
    try {
        raw.resize(SUMS_HDR + 8 * n);
    } catch (const std::bad_alloc &) {
        return KES_ENOMEM;
    }
    memcpy(raw.data(), SUMS_MAGIC, 8);
    be_put32(&raw[8], P);
    be_put32(&raw[12], DM_SUM_ALG_XXH3_64);
    be_put64(&raw[16], s->size);
    for (uint64_t i = 0; i < n; i++)
        be_put64(&raw[SUMS_HDR + 8 * i], s->sum[size_t(i)]);
    be_put64(&raw[24], table_check(raw.data(), s->sum));

    return store_replace_file(path, raw.data(), raw.size());
}

int store_fsync_dir(const std::string &path)
{
    std::string dir = path.substr(0, path.rfind('/'));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return kes_errno();
    int rc = fsync(dfd) == 0 ? 0 : kes_errno();
    close(dfd);
    return rc;
}

int store_replace_file(const std::string &path, const void *data, size_t len)
{
    std::string tmp = path + ".ktmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 && fchmod(fd, 0600) != 0) {
        close(fd);
        fd = -1;
    }
    if (fd < 0)
        return kes_errno();
    int rc = 0;
    size_t done = 0;
    while (done < len) {
        ssize_t w = write(fd, static_cast<const char *>(data) + done, len - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0) {
            rc = kes_errno();
            break;
        }
        done += size_t(w);
    }
    if (rc == 0 && fsync(fd) != 0)
        rc = kes_errno();
    close(fd);
    if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0)
        rc = kes_errno();
    if (rc != 0) {
        unlink(tmp.c_str());
        return rc;
    }
    return store_fsync_dir(path);
}

namespace {

// Checks n bytes of page `page` as they were read. 0, or KES_EIO with *dmg set.
int check_page(sums_file *s, uint64_t page, const unsigned char *data, size_t n, sums_damage *dmg)
{
    uint64_t want = 0;
    bool have = false;
    bool writing = false;
    const char *refuse = nullptr;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        refuse = s->refuse;
        writing = s->writing;
        if (page < s->cur.size() && s->cur[page]) {
            want = s->sum[page];
            have = true;
        }
    }
    const char *why = refuse;
    if (why == nullptr && !have && !writing)
        why = "no checksum is kept for it";
    if (why == nullptr && have && dm_sum64(data, n) != want)
        why = "checksum mismatch";
    if (why == nullptr)
        return 0;
    if (dmg != nullptr) {
        dmg->off = page * P;
        dmg->why = why;
    }
    return KES_EIO;
}

}  // namespace

int sums_pread(sums_file *s, int fd, uint64_t size, void *buf, size_t len, uint64_t off, size_t *got,
               sums_damage *dmg)
{
    *got = 0;
    if (off >= size || len == 0)
        return 0;
    bool lenient;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        lenient = s->writing && s->refuse == nullptr;
    }
    len = size_t(std::min<uint64_t>(len, size - off));
    auto *dst = static_cast<unsigned char *>(buf);
    const uint64_t end = off + len;
    uint64_t pos = off;
    while (pos < end) {
        const uint64_t page = pos / P;
        const uint64_t ps = page * P;
        const uint64_t plen = page_len(page, size);
        if (pos == ps && end >= ps + plen) {
            // Whole pages go straight into the caller's buffer, in one read.
            uint64_t run_end = ps + plen;
            while (run_end < size && end >= run_end + page_len(run_end / P, size))
                run_end += page_len(run_end / P, size);
            const size_t n = size_t(run_end - pos);
            ssize_t r = store_pread_full(fd, dst + (pos - off), n, pos);
            if (r < 0)
                return kes_errno();
            if (size_t(r) != n) {
                if (!lenient) {
                    if (dmg != nullptr) {
                        dmg->off = pos + uint64_t(r) - uint64_t(r) % P;
                        dmg->why = "the data file is shorter than recorded";
                    }
                    return KES_EIO;
                }
                run_end = pos + uint64_t(r);  // a file still being written: what is there
            }
            for (uint64_t p = pos; p < run_end; p += P) {
                const size_t pl = size_t(std::min<uint64_t>(P, run_end - p));
                int rc = check_page(s, p / P, dst + (p - off), pl, dmg);
                if (rc != 0)
                    return rc;
            }
            *got += size_t(run_end - pos);
            if (run_end < pos + n)
                return 0;
            pos = run_end;
            continue;
        }
        // A page only partly wanted: read and check it whole, copy the part.
        unsigned char *b = scratch();
        ssize_t r = store_pread_full(fd, b, size_t(plen), ps);
        if (r < 0)
            return kes_errno();
        const uint64_t b_end = std::min(end, ps + plen);
        if (uint64_t(r) != plen) {
            if (!lenient) {
                if (dmg != nullptr) {
                    dmg->off = ps;
                    dmg->why = "the data file is shorter than recorded";
                }
                return KES_EIO;
            }
            const uint64_t avail = ps + uint64_t(r);
            if (avail > pos)
                memcpy(dst + (pos - off), b + (pos - ps), size_t(std::min(b_end, avail) - pos));
            *got += avail > pos ? size_t(std::min(b_end, avail) - pos) : 0;
            return 0;
        }
        int rc = check_page(s, page, b, size_t(plen), dmg);
        if (rc != 0)
            return rc;
        memcpy(dst + (pos - off), b + (pos - ps), size_t(b_end - pos));
        *got += size_t(b_end - pos);
        pos = b_end;
    }
    return 0;
}

uint32_t sums_get(sums_file *s, uint64_t first_page, uint64_t *out, uint32_t max)
{
    std::lock_guard<std::mutex> lk(s->mu);
    if (s->refuse != nullptr)
        return 0;
    uint32_t n = 0;
    for (uint64_t p = first_page; n < max && p < s->cur.size() && s->cur[p]; p++)
        out[n++] = s->sum[p];
    return n;
}
