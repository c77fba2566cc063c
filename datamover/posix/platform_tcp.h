// TCP options of the transfer library's links, on Linux. Apart from
// platform_net.h: the system header defines the option names as macros.
#pragma once

#include <netinet/tcp.h>
#include <sys/socket.h>

// No delay, and keep-alive probes after idle_s seconds, every intvl_s
// seconds, cnt times. Failures are ignored: the link works without them.
inline void xcomm_tcp_link_options(int fd, int idle_s, int intvl_s, int cnt)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl_s, sizeof intvl_s);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
}
