// The appliance's BFST service: accepts the transfer library's connections
// (TCP port 1062 of the listen address by default), runs the protocol of
// bfst/bfst_proto.h in clear or TLS, and writes each store as a blob of the
// blob store. One thread serves each connection; a connection holds one
// receive buffer of BFST_SVC_BUF bytes and nothing that grows with its data.
#pragma once

#include "appliance/service.h"

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t BFST_SVC_MAX_DATA = 16u << 20;  // largest DATA payload accepted
constexpr size_t BFST_SVC_BUF = 1u << 20;          // receive buffer per connection
constexpr int BFST_SVC_MAX_CONNS = 64;             // served at once; more are told "busy"
constexpr int BFST_SVC_MAX_SESSIONS = 16;          // per connection
constexpr int BFST_SVC_MAX_STORES = 16;            // unfinished, per connection
// Chunks a deduplicated store may have asked for and not yet received (a
// client has a query or two in flight before it sends their chunks).
constexpr size_t BFST_SVC_MAX_PENDING = 8 * 2048;

struct bfst_service;

// Binds addr:port (0 picks a free port), sets up TLS (pre-shared keys
// always; certificates when cfg.tls_dir is set) and starts accepting.
// Returns 0, or -1 with a message.
int bfst_service_start(appl_shared *sh, const std::string &addr, uint16_t port, bfst_service **out,
                       std::string *msg);
uint16_t bfst_service_port(const bfst_service *svc);
// Stops accepting, ends every connection (their unfinished blobs removed)
// and frees the service.
void bfst_service_stop(bfst_service *svc);

// Serves one connected socket on the calling thread until it ends, then
// closes it. The fuzz target and tests use this directly.
void bfst_service_serve(bfst_service *svc, int fd);
