// Feeds arbitrary bytes to the appliance as its configuration file, through
// the same command-line parse the daemon runs. Whatever the file holds, the
// parse ends with a configuration or a message, never a crash or a leak, and
// a refusal never repeats the password of a user.
#include "appliance/appliance.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An anonymous in-memory file, private to its owner like a real one.
int conf_fd()
{
    static int fd = -1;
    if (fd < 0) {
        fd = memfd_create("appliance.conf", MFD_CLOEXEC);
        if (fd < 0 || fchmod(fd, 0600) != 0)
            abort();
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = conf_fd();
    if (ftruncate(fd, 0) != 0 || (size > 0 && pwrite(fd, data, size, 0) != ssize_t(size)))
        abort();
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::string prog = "kestralon-appliance", sw = "--config";
    // A user on the command line, so a file without users can still parse through.
    std::string user = "--user=fuzz:never-shown-password";
    char *argv[] = {prog.data(), sw.data(), path.data(), user.data(), nullptr};
    appliance_config cfg;
    std::string msg;
    int rc = appliance_parse_args(4, argv, &cfg, &msg);
    // The command line's password shows in no message (the file may hold the
    // same text, as a key the message names).
    std::string input(reinterpret_cast<const char *>(data), size);
    if (rc != 0 && msg.find("never-shown-password") != std::string::npos &&
        input.find("never-shown-password") == std::string::npos)
        abort();
    return 0;
}
