// Feeds arbitrary bytes to the credential store reader: the input becomes the
// store file, then a lookup and a get command run on it. Neither may crash,
// leak or read out of bounds, whatever the file holds.
#include "lib/rman/pgn_creds.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string store_path()
{
    static std::string path;
    if (path.empty()) {
        char tmpl[] = "/tmp/kesfuzz.XXXXXX";
        const char *dir = mkdtemp(tmpl);
        if (dir == nullptr)
            abort();
        path = std::string(dir) + "/creds.xml";
        static std::string dir_s = dir;
        atexit([] {
            unlink((dir_s + "/creds.xml").c_str());
            unlink((dir_s + "/creds.xml.lock").c_str());
            rmdir(dir_s.c_str());
        });
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = store_path();
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    chmod(path.c_str(), 0600);  // the store is read only when private

    // The first bytes pick the id and host looked for, so matches happen.
    rpgn_cred cred;
    memset(&cred, 0, sizeof cred);
    strcpy(cred.id, size > 0 && (data[0] & 1) ? "a" : "id1");
    strcpy(cred.host, size > 0 && (data[0] & 2) ? "h" : "10.0.0.1");
    char msg[PGN_CREDS_MSG_SIZE];
    int rc = rpgn_creds_lookup(path.c_str(), &cred, msg);
    if (rc == 0 && (strlen(cred.user) > 63 || strlen(cred.password) > 63))
        abort();
    if (rc != 0 && (strlen(msg) == 0 || strlen(msg) > 1023))
        abort();

    std::string id = cred.id, host = cred.host;
    char *argv[] = {const_cast<char *>("creds"), const_cast<char *>("-g"), const_cast<char *>("-c"), id.data(),
                    const_cast<char *>("-H"), host.data(), nullptr};
    pgn_creds_command(path.c_str(), 6, argv, msg);
    return 0;
}
