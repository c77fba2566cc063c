// Data-mover request bytes for tests that speak to the appliance's data mover
// directly (the service in-process or over the network). They are written
// out by hand, byte by byte as the wire carries them, so that the client's
// own codec is not the judge of what the appliance accepts.
#pragma once

#include "datamover/byteorder.h"

#include <cstdint>
#include <string>

namespace kes_test {

// The 16-byte request header: cmd, 24-bit data length, fh, slot, offset.
inline std::string dm_req_hdr(uint8_t cmd, uint32_t sz, uint16_t fh, uint16_t slot, uint64_t off)
{
    unsigned char h[16];
    h[0] = cmd;
    h[1] = uint8_t(sz >> 16);
    be_put16(h + 2, uint16_t(sz));
    be_put16(h + 4, fh);
    be_put16(h + 6, slot);
    be_put64(h + 8, off);
    return std::string(reinterpret_cast<char *>(h), 16);
}

// A 32-bit big-endian value.
inline std::string be32(uint32_t v)
{
    unsigned char b[4];
    be_put32(b, v);
    return std::string(reinterpret_cast<char *>(b), 4);
}

// An open request (cmd 1) for slot with the open body's oflags, its first
// reserved word, and the name with its NUL.
inline std::string dm_open_req(uint16_t slot, uint32_t oflags, const std::string &name, uint32_t reserved = 0)
{
    std::string body(32, '\0');
    unsigned char *b = reinterpret_cast<unsigned char *>(body.data());
    be_put32(b + 8, reserved);
    be_put32(b + 24, oflags);
    return dm_req_hdr(1, 0, 0, slot, 0) + body + name + std::string(1, '\0');
}

}  // namespace kes_test
