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

#include <netinet/in.h>

struct appl_server;

// A connection's thread and the flag it sets once it has finished.
struct appl_conn_thread {
    std::thread thr;
    std::shared_ptr<std::atomic<bool>> done;
};
// Joins and forgets the threads that have finished (every one with all).
void appl_reap(std::list<appl_conn_thread> *conns, bool all);

// A listening socket with the thread that accepts on it, the threads of its
// connections, and the pipe that tells them all that the service stops.
struct appl_acceptor {
    int lfd = -1;
    int stop_pipe[2] = {-1, -1};  // the read end turns readable at the stop
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::list<appl_conn_thread> conns;  // its thread only, then the stop
};
constexpr int APPL_ACCEPT_NONE = -1;
constexpr int APPL_ACCEPT_STOP = -2;
// Opens the stop pipe, binds and listens on addr:port (appl_listen). 0, or -1
// with a message; appl_acceptor_stop closes what was opened either way.
int appl_acceptor_open(appl_acceptor *a, const std::string &addr, uint16_t port, const char *what,
                       std::string *msg);
// One turn of the accepting thread: joins the connection threads that
// finished, waits up to a second for a connection and accepts it. The socket
// (peer filled in); APPL_ACCEPT_NONE when none came (errno 0) or accept failed
// (errno says why); APPL_ACCEPT_STOP once the service stops.
int appl_acceptor_next(appl_acceptor *a, struct sockaddr_in *peer);
// Wakes and joins the accepting thread and every connection thread, and
// closes the socket and the pipe.
void appl_acceptor_stop(appl_acceptor *a);

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
