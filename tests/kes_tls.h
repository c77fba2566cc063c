// Certificates for the TLS tests, made once per test process with the
// project's own scripts (scripts/tls-setup.sh): a CA with an appliance
// (RSA key), a client, a revoked client (crl.pem revokes it) and an expired
// client; and a second CA of the same shape that nobody trusts.
#pragma once

#include <cstdlib>
#include <string>

#include "kes_test.h"

namespace kes_test {

struct TlsCerts {
    std::string dir;    // <dir>/{appliance,client,revoked,expired}/{cacert,cert,key}.pem, crl.pem
    std::string other;  // the same made by another CA
    std::string error;  // why they could not be made
    std::string of(const char *who) const { return dir + "/" + who; }
    std::string other_of(const char *who) const { return other + "/" + who; }
};

inline const TlsCerts &tls_certs()
{
    static TempDir tmp;
    static const TlsCerts certs = [] {
        TlsCerts c;
        c.dir = tmp / "ca";
        c.other = tmp / "other-ca";
        for (const std::string &d : {c.dir, c.other}) {
            std::string cmd = std::string(KES_SOURCE_DIR) + "/scripts/tls-setup.sh '" + d + "' >/dev/null 2>&1";
            if (system(cmd.c_str()) != 0)
                c.error = "scripts/tls-setup.sh " + d + " failed (is openssl installed?)";
        }
        return c;
    }();
    return certs;
}

}  // namespace kes_test
