// An appliance service started in this test process on a loopback address of
// its own, so that the library, whose control port is fixed at 10002, can
// reach it while other tests run their own appliances in parallel.
#pragma once

#include <unistd.h>

#include <atomic>
#include <string>

#include "appliance/appliance.h"
#include "kes_test.h"

namespace kes_test {

class TestAppliance {
public:
    TestAppliance() = default;
    TestAppliance(const TestAppliance &) = delete;
    TestAppliance &operator=(const TestAppliance &) = delete;
    ~TestAppliance() { stop(); }

    // Starts with one user rman/secret unless the configuration names users;
    // root names another appliance's store to share it. Logs only errors,
    // unless the configuration names a log file.
    bool start(appliance_config cfg = appliance_config(), const std::string &root = std::string())
    {
        cfg.root = root.empty() ? root_.path() : root;
        if (cfg.users.empty())
            cfg.users.push_back({"rman", "secret"});
        cfg.mi_port = 10002;
        if (cfg.log_file.empty())
            cfg.log_level = getenv("KES_TEST_APPL_LOG") != nullptr ? 7 : 3;
        for (int attempt = 0; attempt < 8; attempt++) {
            cfg.listen_addr = next_addr();
            std::string msg;
            if (appliance_start(cfg, &app_, &msg) == 0) {
                addr_ = cfg.listen_addr;
                return true;
            }
            last_error_ = msg;
        }
        return false;
    }
    void stop()
    {
        if (app_ != nullptr)
            appliance_stop(app_);
        app_ = nullptr;
    }

    const std::string &addr() const { return addr_; }
    uint16_t dm_port() const { return app_ != nullptr ? appliance_dm_port(app_) : 0; }
    // Bytes the appliance's quota counts as used.
    uint64_t used_bytes() const { return app_ != nullptr ? appliance_used_bytes(app_) : 0; }
    // The blobs of its BFST service.
    blob_store *blobs() const { return app_ != nullptr ? appliance_blob_store(app_) : nullptr; }
    const std::string &root() const { return root_.path(); }
    const std::string &last_error() const { return last_error_; }
    // Path of a stored backup file.
    std::string file(const std::string &share, const std::string &name) const
    {
        return root_.path() + "/" + share + "/" + name;
    }

private:
    // 127.a.b.c from the process id and a counter: distinct across the
    // processes of a parallel test run and from other tests' 127.0.x.y.
    static std::string next_addr()
    {
        static std::atomic<unsigned> counter{0};
        unsigned pid = static_cast<unsigned>(getpid());
        unsigned n = counter.fetch_add(1);
        unsigned a = 10 + (n % 3) * 64 + ((pid >> 16) & 63);
        return "127." + std::to_string(a) + "." + std::to_string((pid >> 8) & 255) + "." +
               std::to_string((pid & 255) ^ (n / 3));
    }

    TempDir root_;
    appliance *app_ = nullptr;
    std::string addr_;
    std::string last_error_;
};

}  // namespace kes_test
