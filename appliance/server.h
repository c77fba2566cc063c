// Network side of the appliance: a listener per service and one thread per
// accepted connection, each serving its socket through an XCOMM endpoint of
// its own.
#pragma once

#include "appliance/service.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>

struct appl_server;

// A connection's thread and the flag it sets once it has finished.
struct appl_conn_thread {
    std::thread thr;
    std::shared_ptr<std::atomic<bool>> done;
};
// Joins and forgets the threads that have finished (every one with all).
void appl_reap(std::list<appl_conn_thread> *conns, bool all);

enum appl_service_kind { APPL_SVC_MI, APPL_SVC_DM };

// Binds addr:port (port 0 picks a free one) and starts accepting. Returns 0,
// or -1 with a message (a busy port says so).
int appl_server_start(appl_shared *sh, appl_service_kind kind, const std::string &addr, uint16_t port,
                      appl_server **out, std::string *msg);
uint16_t appl_server_port(const appl_server *srv);
// Binds and listens on addr:port (port 0 picks a free one) for the service
// named by what. Returns 0 with the socket and the bound port, or -1 with a
// message (a busy port says so).
int appl_listen(const std::string &addr, uint16_t port, const char *what, int *lfd, uint16_t *bound_port,
                std::string *msg);
// Stops accepting, ends every connection thread and frees the server.
void appl_server_stop(appl_server *srv);
