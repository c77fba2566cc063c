// Big-endian encode and decode at any alignment. Shared by the XCOMM header,
// the MI record codecs and the DM record codecs.
#pragma once

#include <cstdint>
#include <cstring>

inline void be_put8(unsigned char *p, uint8_t v) { p[0] = v; }

inline void be_put16(unsigned char *p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

inline void be_put32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline void be_put64(unsigned char *p, uint64_t v)
{
    be_put32(p, static_cast<uint32_t>(v >> 32));
    be_put32(p + 4, static_cast<uint32_t>(v));
}

inline uint8_t be_get8(const unsigned char *p) { return p[0]; }

inline uint16_t be_get16(const unsigned char *p)
{
    return static_cast<uint16_t>((static_cast<uint16_t>(p[0]) << 8) | p[1]);
}

inline uint32_t be_get32(const unsigned char *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint64_t be_get64(const unsigned char *p)
{
    return (static_cast<uint64_t>(be_get32(p)) << 32) | be_get32(p + 4);
}
