// Helpers shared by the test programs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace kes_test {

// A fresh directory under the system temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kestest.XXXXXX").string();
        char *p = mkdtemp(tmpl.data());
        if (p != nullptr)
            path_ = p;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Points WINDIR at a fresh directory for the life of the object.
class ScopedWindir {
public:
    ScopedWindir() { setenv("WINDIR", dir_.path().c_str(), 1); }
    ~ScopedWindir() { unsetenv("WINDIR"); }
    const std::string &path() const { return dir_.path(); }
    std::string libdir() const { return dir_.path() + "/KESTRALON"; }

private:
    TempDir dir_;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// Runs a command line through the shell, standard output and error together
// into *out. Its exit status, or -1 when it did not exit.
inline int run_command(const std::string &cmd, std::string *out)
{
    FILE *p = popen(("(" + cmd + ") 2>&1").c_str(), "r");
    if (p == nullptr)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace kes_test
