// Process services of the platform layer: ids, environment, local time and
// randomness. Apart from platform_xcomm.h, since its users need no sockets.
#pragma once

#include <cstddef>
#include <ctime>

// Process and thread ids as the logs print them.
unsigned long platform_pid();
unsigned long platform_tid();
// Sets an environment variable that getenv then reads. 0 or -1.
int platform_setenv(const char *name, const char *value);
// Local broken-down time of t (thread-safe). False when t cannot be converted.
bool platform_localtime(time_t t, struct tm *out);
// Fills buf with n bytes from the system's random source. 0 or -1.
int platform_random(void *buf, size_t n);
