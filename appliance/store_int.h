// Inside of the backup-file storage: the records of the store and of an open
// file, the names of the hidden files beside a file, and the helpers the
// store's modules share (store.cpp: names, paths, opening and scanning the
// store; store_file.cpp: open files, commit and delete; store_attrs.cpp:
// named attributes; store_assembled.cpp: reading files assembled from blobs).
#pragma once

#include "appliance/chunk_store.h"
#include "appliance/store.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

constexpr uint64_t STORE_MAX_OFFSET = 1ULL << 46;
constexpr const char *PART_SUFFIX = ".kpart";
constexpr const char *XATTR_SUFFIX = ".kxa";
constexpr const char *TMP_SUFFIX = ".ktmp";
constexpr const char *SUMS_SUFFIX = ".kcs";
constexpr const char *NEW_SUMS_SUFFIX = ".kcsn";
constexpr const char *SEGS_SUMS_SUFFIX = ".kms";
constexpr const char *NEW_SEGS_SUMS_SUFFIX = ".kmsn";
// Blobs of an assembled file kept open for its readers.
constexpr size_t STORE_OPEN_BLOBS = 4;

// The chunks of a recipe blob, and the chunk read last (for reads that
// take it in pieces).
struct chunk_reader_free_fn {
    void operator()(chunk_reader *r) const { chunk_reader_free(r); }
};

struct seg_recipe {
    std::vector<recipe_entry> chunks;
    std::vector<uint64_t> starts;  // offset of each chunk in the blob
    std::mutex mu;                 // guards the rest
    size_t cached = SIZE_MAX;
    std::vector<unsigned char> raw, scratch;
    std::unique_ptr<chunk_reader, chunk_reader_free_fn> reader;
    bool sums_failed = false;  // its page checksums cannot be made
};

// A blob an assembled file reads from: its bytes, or its recipe.
struct seg_blob {
    std::string tag;
    int fd = -1;
    uint64_t size = 0;
    sums_file *sums = nullptr;
    std::unique_ptr<seg_recipe> recipe;
    const char *why = nullptr;  // why it cannot be read; null when it can

    ~seg_blob();
};

struct store {
    std::string root;
    uint64_t quota = 0;
    std::atomic<uint64_t> used{0};
    std::atomic<bool> verify{true};
    uint64_t adopted = 0;
    std::mutex mu;                                  // guards writers and every rename/unlink
    std::map<std::string, store_file *> writers;    // created files not yet committed
    std::set<std::string> blob_refs;                // blobs assembled files used at open
    chunk_store *chunks = nullptr;                  // what recipe blobs read from
};

struct store_file {
    store *st = nullptr;
    std::string rel;
    unsigned mode = 0;
    int fd = -1;
    bool created = false;     // written under the hidden name until committed
    bool committed = false;   // guarded by st->mu
    std::atomic<uint64_t> size{0};
    sums_file *sums = nullptr;
    // Quota: the bytes this file has counted in the store's usage. Growth is
    // counted before it is written; an abandoned or deleted file counts
    // nothing more and gives back what it counted.
    std::mutex amu;
    uint64_t charged = 0;     // guarded by amu
    bool gone = false;        // guarded by amu (set with st->mu held as well)
    bool sealed = false;      // committed: no more writes; guarded by amu
    // Reading: the end of the range the kernel was asked to fetch ahead of
    // the reader (0 before the first read).
    std::atomic<uint64_t> ra_end{0};
    // Writing: where the data not yet handed to the disk begins.
    std::atomic<uint64_t> wb_start{0};
    // A complete file assembled from blobs, opened for reading: its segments
    // (size is then the size they add up to), and the blobs read last.
    bool assembled = false;
    std::vector<store_seg> segs;
    std::mutex bmu;
    std::vector<std::shared_ptr<seg_blob>> blobs;  // guarded by bmu

    ~store_file();
};

// errno in the Windows runtime's numbering.
int store_errno();
// <root>/<rel>, and <root>/<dir>/.<base><suffix> for rel = <dir>/<base>.
std::string store_final_path(const store *st, const std::string &rel);
std::string store_hidden_path(const store *st, const std::string &rel, const char *suffix);
// Creates a file of the store, private to the appliance; a descriptor or -1 (errno set).
int store_create_file(const std::string &path, int flags);
// Creates the directories of rel below the root; none may be a symbolic link.
int store_make_dirs(const store *st, const std::string &rel);
// Whether path is a regular file (never followed through a link), and its size.
bool store_regular_size(const std::string &path, uint64_t *size);
// Takes n bytes off the store's usage (never below 0).
void store_release_bytes(store *st, uint64_t n);
// Removes a file whose bytes the usage counts.
void store_unlink_counted(store *st, const std::string &path);
// Unlinks the hidden file of an uncommitted writer and its attributes; st->mu held.
void store_drop_writer_locked(store_file *f);

// <root>/.bfst/<tag> and <root>/.bfst/.<tag>.kcs: a blob and its checksums.
std::string store_blob_path(const store *st, const std::string &tag);
std::string store_blob_sums_path(const store *st, const std::string &tag);
// The segments of the assembled file at path, read without its checksums
// (the manifest's own checksum still guards it). False when it has none.
bool store_manifest_segs(const std::string &path, std::vector<store_seg> *segs);

// Reading an assembled file (store_assembled.cpp). Opens its manifest (f->fd,
// f->size its length), checked against its checksums: f then reads through
// its segments, or refuses every read saying why. 0 or KES_ENOMEM.
int store_load_assembled(store_file *f);
// store_file_pread and store_file_sums of an assembled file.
int store_segs_pread(store_file *f, void *buf, size_t len, uint64_t off, size_t *got, sums_damage *dmg);
uint32_t store_segs_sums(store_file *f, uint64_t first, uint64_t *out, uint32_t max);
