// The BFST data path: the transfer library's process-wide start and stop,
// its error reports and the mapping of its codes onto MI statuses.
#pragma once

#include <cstdint>

// Library code to MI status (0 stays 0; unknown codes MI_STS_EINTERNAL).
int32_t bfst_status_to_mi(int code);

// Logs "<message>: 0x<code> [<library text for code>]: <err>" at ERROR.
void bfst_report_error(int code, const char *err, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// bfst2_initialize("BFST_RMAN") / bfst2_finalize; 0 or the mapped MI status.
int bfst_library_init();
int bfst_library_fini();
