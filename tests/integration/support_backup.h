// Backup pieces of known contents through a loaded library channel, and what
// an appliance's store holds: the helpers of the tests that check that a
// backup reported good restores byte-identical and that nothing else stays.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "integration/support_sbt.h"

namespace kes_test {

// A channel takes what it is given: nothing of the environment of the tests
// (BACKUP_* variables, the page count) carries over.
inline void clear_channel_env()
{
    for (const char *v : {"BACKUP_HOST", "BACKUP_SHARE", "BACKUP_USERNAME", "BACKUP_PASSWORD", "BACKUP_CREDID",
                          "DMC_PAGE_CNT"})
        unsetenv(v);
}

// The contents of block `block` of a piece made with `seed`.
inline void fill_block(std::vector<unsigned char> &buf, uint32_t seed, uint64_t block)
{
    std::mt19937_64 rng((static_cast<uint64_t>(seed) << 32) ^ block);
    size_t i = 0;
    for (; i + 8 <= buf.size(); i += 8) {
        uint64_t v = rng();
        memcpy(&buf[i], &v, 8);
    }
    for (; i < buf.size(); i++)
        buf[i] = static_cast<unsigned char>(rng());
}

inline std::string login_params(const std::string &addr, const char *share = "rman")
{
    return "BACKUP_HOST=" + addr + ",BACKUP_SHARE=" + share + ",BACKUP_USERNAME=rman,BACKUP_PASSWORD=secret";
}

// How a call sequence ended: 0, or -1 with the SBT error code and message.
struct Outcome {
    int rc = 0;
    uint32_t code = 0;
    std::string error;
};

inline Outcome outcome(const Channel &ch, int rc)
{
    Outcome o;
    o.rc = rc;
    if (rc != 0)
        o.error = ch.error(&o.code);
    return o;
}

// A piece being backed up one block at a time, so a test can stop anywhere.
class PieceWriter {
public:
    PieceWriter(Channel &ch, size_t bs, uint32_t seed) : ch_(ch), buf_(bs), seed_(seed) {}
    Outcome open(const std::string &name)
    {
        sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
        return outcome(ch_, ch_.v->backup(ch_.ctx, 0, name.c_str(), objs, buf_.size(), 0));
    }
    // Writes the next n blocks; stops at the first failure.
    Outcome write(uint64_t n)
    {
        for (uint64_t i = 0; i < n; i++) {
            fill_block(buf_, seed_of ? seed_of(next_) : seed_, next_);
            int rc = ch_.v->write2(ch_.ctx, 0, buf_.data());
            if (rc != 0)
                return outcome(ch_, rc);
            next_++;
        }
        return Outcome();
    }
    Outcome close() { return outcome(ch_, ch_.v->close2(ch_.ctx, 0)); }
    // When set, the seed of each block (a piece of which some blocks changed).
    std::function<uint32_t(uint64_t)> seed_of;

private:
    Channel &ch_;
    std::vector<unsigned char> buf_;
    uint32_t seed_;
    uint64_t next_ = 0;
};

// A whole backup: open, blocks, close; the first failure ends it (the close
// still runs, as RMAN calls it after a failed write).
inline Outcome backup_piece(Channel &ch, const std::string &name, size_t bs, uint64_t blocks, uint32_t seed)
{
    PieceWriter w(ch, bs, seed);
    Outcome o = w.open(name);
    if (o.rc != 0)
        return o;
    o = w.write(blocks);
    Outcome c = w.close();
    return o.rc != 0 ? o : c;
}

// A piece being restored one block at a time, each block compared with what
// was backed up.
class PieceReader {
public:
    PieceReader(Channel &ch, size_t bs, uint32_t seed) : ch_(ch), buf_(bs), want_(bs), seed_(seed) {}
    Outcome open(const std::string &name) { return outcome(ch_, ch_.v->restore(ch_.ctx, 0, name.c_str(), buf_.size())); }
    // Reads up to n more blocks; stops at the end of the piece (*at_end), at a
    // failure, or at a block that differs (rc -1 with no SBT error).
    Outcome read(uint64_t n, bool *at_end = nullptr)
    {
        if (at_end != nullptr)
            *at_end = false;
        for (uint64_t i = 0; i < n; i++) {
            int rc = ch_.v->read2(ch_.ctx, 0, buf_.data());
            if (rc != 0) {
                Outcome o = outcome(ch_, rc);
                if (o.code == SBT_ERROR_EOF && o.error.empty()) {
                    if (at_end != nullptr)
                        *at_end = true;
                    return Outcome();
                }
                return o;
            }
            fill_block(want_, seed_of ? seed_of(blocks_) : seed_, blocks_);
            if (memcmp(buf_.data(), want_.data(), buf_.size()) != 0) {
                Outcome o;
                o.rc = -1;
                return o;
            }
            blocks_++;
        }
        return Outcome();
    }
    uint64_t blocks() const { return blocks_; }
    Outcome close() { return outcome(ch_, ch_.v->close2(ch_.ctx, 0)); }
    std::function<uint32_t(uint64_t)> seed_of;  // as the writer's

private:
    Channel &ch_;
    std::vector<unsigned char> buf_, want_;
    uint32_t seed_;
    uint64_t blocks_ = 0;
};

// Restores a piece whole. The number of blocks that arrived whole before the
// end (or a failure); *o tells how it ended.
inline long restore_piece(Channel &ch, const std::string &name, size_t bs, uint32_t seed, Outcome *o = nullptr)
{
    Outcome local;
    Outcome &out = o != nullptr ? *o : local;
    PieceReader r(ch, bs, seed);
    out = r.open(name);
    if (out.rc != 0)
        return -1;
    out = r.read(UINT64_MAX);
    Outcome c = r.close();
    if (out.rc == 0 && c.rc != 0)
        out = c;
    return static_cast<long>(r.blocks());
}

// Calls fn(relative path, file name, size) for every regular file under dir,
// at any depth, without following symbolic links.
template <typename Fn>
void walk_files(const std::string &dir, Fn fn, const std::string &prefix = "")
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n == "." || n == "..")
            continue;
        struct stat st;
        if (lstat((dir + "/" + n).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            walk_files(dir + "/" + n, fn, prefix + n + "/");
        else if (S_ISREG(st.st_mode))
            fn(prefix + n, n, static_cast<uint64_t>(st.st_size));
    }
    closedir(d);
}

inline bool ends_with(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The backup files under a share directory, as share-relative names
// ("a/b/piece"); the store's own files are hidden (their names begin with a dot).
inline std::vector<std::string> stored_pieces(const std::string &dir)
{
    std::vector<std::string> out;
    walk_files(dir, [&](const std::string &rel, const std::string &name, uint64_t) {
        if (name[0] != '.')
            out.push_back(rel);
    });
    return out;
}

// Files under dir whose names end with suffix.
inline size_t count_files(const std::string &dir, const char *suffix)
{
    size_t n = 0;
    walk_files(dir, [&](const std::string &, const std::string &name, uint64_t) { n += ends_with(name, suffix); });
    return n;
}

// Bytes the quota counts under a store's root: backup files and their attributes.
inline uint64_t counted_bytes(const std::string &root)
{
    uint64_t n = 0;
    walk_files(root, [&](const std::string &, const std::string &name, uint64_t size) {
        if (name[0] != '.' || ends_with(name, ".kxa"))
            n += size;
    });
    return n;
}

}  // namespace kes_test
