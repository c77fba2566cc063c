// The SBT layer's side of the BFST data path: setting it up for a backup
// file, the block writes of sbtwrite2, its close, and the writer and reader
// handed to the path's caches.
#pragma once

#include <cstdint>

#include "lib/rman/rman_pgn_api.h"

// Context, connection and caches of the file just opened by sbtbackup.
// 0 or a status.
int rpgn_init_bfst_iopath(rpgn_channel *ch);

// sbtwrite2 on the BFST path: space check, then the write-behind cache or
// the store. 0, or -1 with the channel's error set.
int rpgn_bfst_write(rpgn_channel *ch, const void *buf);

// Flushes the write-behind cache, frees both caches, disconnects and frees
// the context. Returns the first failure. A path without a context is only
// relieved of its caches.
int rpgn_bfst_close(bfst_path *p);
// Releases the path of a file that will not be completed (sbtend without
// sbtclose2): the cache is dropped unwritten, then as rpgn_bfst_close.
void rpgn_bfst_release(bfst_path *p);

// The adapters of the caches; cell holds the bfst_path.
int rpgn_cache_write(const void *buf, uint64_t off, uint64_t len, void *cell);
int rpgn_cache_read(void *buf, uint64_t off, uint64_t len, void *cell, uint64_t *got);
