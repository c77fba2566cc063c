// What the TLS session and context halves of the transport share and nobody
// above them calls.
#pragma once

// Process-wide TLS set-up (OpenSSL's strings, the socket BIO method), done
// once; 0 or XCOMM_ERR_AUTH.
int xcomm_ssl_startup();
