// Inside of the backup-file storage: the records of the store and of an open
// file, the names of the hidden files beside a file, and the helpers the
// store's modules share (store.cpp: names, paths, opening and scanning the
// store; store_file.cpp: open files, commit and delete; store_attrs.cpp:
// named attributes).
#pragma once

#include "appliance/store.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

constexpr uint64_t STORE_MAX_OFFSET = 1ULL << 46;
constexpr const char *PART_SUFFIX = ".kpart";
constexpr const char *XATTR_SUFFIX = ".kxa";
constexpr const char *TMP_SUFFIX = ".ktmp";
constexpr const char *SUMS_SUFFIX = ".kcs";
constexpr const char *NEW_SUMS_SUFFIX = ".kcsn";

struct store {
    std::string root;
    uint64_t quota = 0;
    std::atomic<uint64_t> used{0};
    std::atomic<bool> verify{true};
    uint64_t adopted = 0;
    std::mutex mu;                                  // guards writers and every rename/unlink
    std::map<std::string, store_file *> writers;    // created files not yet committed
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
