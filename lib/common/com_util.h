// MI status codes and their names.
#pragma once

#include <cstdint>

constexpr int32_t MI_STS_EOK = 0;
constexpr int32_t MI_STS_BASE = 0x21E00000;
constexpr int32_t MI_STS_EINVAL = MI_STS_BASE + 0x01;
constexpr int32_t MI_STS_EMALLOC = MI_STS_BASE + 0x02;
constexpr int32_t MI_STS_EEXIST = MI_STS_BASE + 0x06;
constexpr int32_t MI_STS_EINIT = MI_STS_BASE + 0x0A;
constexpr int32_t MI_STS_ENOENT = MI_STS_BASE + 0x0D;
constexpr int32_t MI_STS_EABORT = MI_STS_BASE + 0x0E;
constexpr int32_t MI_STS_ENOTSUP = MI_STS_BASE + 0x10;
constexpr int32_t MI_STS_EFNOTFOUND = MI_STS_BASE + 0x12;
constexpr int32_t MI_STS_ECONNECT = MI_STS_BASE + 0x14;
constexpr int32_t MI_STS_EPROTO = MI_STS_BASE + 0x15;
constexpr int32_t MI_STS_EINTERNAL = MI_STS_BASE + 0x16;
constexpr int32_t MI_STS_EAUTH = MI_STS_BASE + 0x1D;
constexpr int32_t MI_STS_ENOSPC = MI_STS_BASE + 0x1F;
constexpr int32_t MI_STS_EREPEATSTAT = MI_STS_BASE + 0x20;
constexpr int32_t MI_STS_EACCESS = MI_STS_BASE + 0x23;
constexpr int32_t MI_STS_EPERM = MI_STS_BASE + 0x25;
constexpr int32_t MI_STS_ESERVERVERSION = MI_STS_BASE + 0x2F;
constexpr int32_t MI_STS_EADMINALERTDISABLED = MI_STS_BASE + 0x3D;
constexpr int32_t MI_STS_EMAX = MI_STS_BASE + 0x3E;
constexpr int32_t MI_STS_ECMNMAX = 0x21E003FF;

// True for the statuses shown by their MI name (0x21E00000 .. 0x21E003FE).
constexpr bool mi_status_in_range(int64_t s) { return s >= MI_STS_BASE && s <= 0x21E003FE; }

// "MI_STS_EOK" for 0, "MI_STS_BASE", the assigned names, "MI_STS_ECMNMAX";
// "UNKNOWN server error" for anything else.
const char *mi_status_name(int32_t status);
