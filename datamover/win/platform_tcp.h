// TCP options of the transfer library's links, on Windows.
#pragma once

#include <platform_net.h>

// No delay, and keep-alive probes after idle_s seconds, every intvl_s
// seconds; the probe count is the system's (Windows before 10 cannot set it).
// Failures are ignored: the link works without them.
inline void xcomm_tcp_link_options(int fd, int idle_s, int intvl_s, int cnt)
{
    SOCKET s = static_cast<SOCKET>(fd);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, XCOMM_TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&one), sizeof one);
    struct tcp_keepalive ka = {1, static_cast<ULONG>(idle_s) * 1000, static_cast<ULONG>(intvl_s) * 1000};
    DWORD got = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &got, nullptr, nullptr);
    setsockopt(s, IPPROTO_TCP, XCOMM_TCP_KEEPCNT, reinterpret_cast<const char *>(&cnt), sizeof cnt);
}
