#include "lib/common/pgnbfst_cache.h"

#include <cstdlib>
#include <cstring>

#include "datamover/util.h"

namespace {

// Copies bytes behind the held ones.
int append(bfst_wcache *c, const unsigned char *data, uint64_t len)
{
    if (c->buffer == nullptr || data == nullptr || len == 0 || len > c->capacity - c->fill)
        return KES_EINVAL;
    memcpy(c->buffer + c->fill, data, len);
    c->fill += len;
    c->next_offset += len;
    return 0;
}

// Takes back the last len appended bytes: a block whose write failed is not
// held, so the next flush offers only the blocks written before it.
void unappend(bfst_wcache *c, uint64_t len)
{
    c->fill -= len;
    c->next_offset -= len;
}

// Allocates a zeroed object of T and its buffer of capacity bytes.
template <typename T>
int create(uint64_t capacity, T **out)
{
    *out = nullptr;
    if (capacity == 0)
        return KES_EINVAL;
    T *c = static_cast<T *>(calloc(1, sizeof(T)));
    if (c == nullptr)
        return KES_ENOMEM;
    c->buffer = static_cast<unsigned char *>(malloc(capacity));
    if (c->buffer == nullptr) {
        free(c);
        return KES_ENOMEM;
    }
    c->capacity = capacity;
    *out = c;
    return 0;
}

}  // namespace

int bfst_wcache_create(uint64_t capacity, bfst_cache_writer writer, void *cell, bfst_wcache **out)
{
    int rc = create(capacity, out);
    if (rc == 0) {
        (*out)->writer = writer;
        (*out)->cell = cell;
    }
    return rc;
}

int bfst_rcache_create(uint64_t capacity, bfst_cache_reader reader, void *cell, bfst_rcache **out)
{
    int rc = create(capacity, out);
    if (rc == 0) {
        (*out)->reader = reader;
        (*out)->cell = cell;
    }
    return rc;
}

void bfst_wcache_destroy(bfst_wcache *c)
{
    if (c != nullptr) {
        free(c->buffer);
        free(c);
    }
}

void bfst_rcache_destroy(bfst_rcache *c)
{
    if (c != nullptr) {
        free(c->buffer);
        free(c);
    }
}

int bfst_wcache_flush(bfst_wcache *c)
{
    if (c->fill == 0)
        return 0;
    int rc = c->writer(c->buffer, c->start_offset, c->fill, c->cell);
    if (rc != 0)
        return rc;
    c->start_offset += c->fill;
    c->next_offset = c->start_offset;
    c->fill = 0;
    return 0;
}

int bfst_wcache_write(bfst_wcache *c, const void *data, uint64_t off, uint64_t len)
{
    const unsigned char *src = static_cast<const unsigned char *>(data);
    int rc;
    if (off != c->next_offset) {
        if (c->fill != 0 && (rc = bfst_wcache_flush(c)) != 0)
            return rc;
        c->start_offset = c->next_offset = off;
    }
    if (len > c->capacity) {
        if (c->fill != 0 && (rc = bfst_wcache_flush(c)) != 0)
            return rc;
        if ((rc = c->writer(src, off, len, c->cell)) != 0)
            return rc;
        c->start_offset = c->next_offset = off + len;
        return 0;
    }
    if (len == 0)
        return 0;
    if (c->fill + len > c->capacity) {
        uint64_t first = c->capacity - c->fill;
        if (first != 0 && (rc = append(c, src, first)) != 0)
            return rc;
        if ((rc = bfst_wcache_flush(c)) != 0) {
            unappend(c, first);
            return rc;
        }
        return append(c, src + first, len - first);
    }
    if ((rc = append(c, src, len)) != 0)
        return rc;
    if (c->fill == c->capacity && (rc = bfst_wcache_flush(c)) != 0) {
        unappend(c, len);
        return rc;
    }
    return 0;
}
