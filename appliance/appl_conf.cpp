// Reading the appliance's configuration file.
#include "appliance/appl_conf.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr off_t CONF_MAX_SIZE = 1 << 20;

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool valid_key(const std::string &k)
{
    if (k.empty() || k[0] == '-')
        return false;
    for (char c : k) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    }
    return true;
}

// Reads the whole of a small regular file that only root or the running user
// can change.
int read_trusted(const std::string &path, std::string *data, std::string *msg)
{
    // Non-blocking, so that a FIFO named by mistake is refused, not waited on.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *msg = "configuration file " + path + ": " + strerror(errno);
        return -1;
    }
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        close(fd);
        *msg = "configuration file " + path + " is not a regular file";
        return -1;
    }
    char text[768];
    if ((sb.st_mode & 022) != 0) {
        close(fd);
        snprintf(text, sizeof text,
                 "configuration file %s may be changed by group or others (mode %04o); "
                 "restrict it with: chmod go-w %s",
                 path.c_str(), unsigned(sb.st_mode & 07777), path.c_str());
        *msg = text;
        return -1;
    }
    if (sb.st_uid != 0 && sb.st_uid != geteuid()) {
        close(fd);
        snprintf(text, sizeof text,
                 "configuration file %s belongs to user id %u, neither root nor the user the appliance runs as (%u)",
                 path.c_str(), unsigned(sb.st_uid), unsigned(geteuid()));
        *msg = text;
        return -1;
    }
    if (sb.st_size > CONF_MAX_SIZE) {
        close(fd);
        *msg = "configuration file " + path + " is too large";
        return -1;
    }
    data->assign(size_t(sb.st_size), '\0');
    size_t done = 0;
    while (done < data->size()) {
        ssize_t n = read(fd, data->data() + done, data->size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *msg = "configuration file " + path + ": " + strerror(errno);
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        done += size_t(n);
    }
    close(fd);
    data->resize(done);
    return 0;
}

}  // namespace

bool appl_next_line(const std::string &data, size_t *pos, std::string *line)
{
    if (*pos >= data.size())
        return false;
    size_t nl = data.find('\n', *pos);
    *line = data.substr(*pos, nl == std::string::npos ? std::string::npos : nl - *pos);
    *pos = nl == std::string::npos ? data.size() : nl + 1;
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

int appl_conf_read(const std::string &path, std::vector<appl_conf_entry> *entries, std::string *msg)
{
    std::string data;
    if (read_trusted(path, &data, msg) != 0)
        return -1;
    auto fail = [&](int lineno, const std::string &why) {
        *msg = path + ", line " + std::to_string(lineno) + ": " + why;
        return -1;
    };
    size_t pos = 0;
    int lineno = 0;
    std::string line;
    while (appl_next_line(data, &pos, &line)) {
        ++lineno;
        if (line.find('\0') != std::string::npos)
            return fail(lineno, "holds a NUL byte");
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return fail(lineno, "expected KEY = VALUE");
        appl_conf_entry e;
        e.key = trim(line.substr(0, eq));
        e.value = trim(line.substr(eq + 1));
        e.line = lineno;
        if (!valid_key(e.key))
            return fail(lineno, "a key is a switch name without its dashes, in lower case (such as users-file)");
        entries->push_back(std::move(e));
    }
    return 0;
}
