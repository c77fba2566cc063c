// Helpers shared by the test programs.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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

}  // namespace kes_test
