// TLS tests between two ends in this machine. Neither end starts TLS with a
// peer on 127.0.0.1, and the kernel gives every loopback connection that
// local address, whatever 127.x address it goes to. So these tests run in a
// network namespace of their own that has only a loopback interface, whose
// local route gives other addresses the source 127.0.0.7 (127.0.0.1 itself
// keeps its own):
//
//   TEST(Suite, Name) { KES_IN_TLS_NETNS(); ...the test... }
//
// Outside the namespace the macro runs this one test again in a fresh one
// (as root: unshare -n, lo up, the local route) and takes its result; where
// that cannot be made the test is skipped and says why. Traffic never leaves
// 127.0.0.0/8.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace kes_test {

constexpr const char *TLS_NETNS_ENV = "KES_TEST_TLS_NETNS";
// The client address inside the namespace.
constexpr const char *TLS_NETNS_CLIENT_ADDR = "127.0.0.7";

inline bool in_tls_netns()
{
    const char *v = getenv(TLS_NETNS_ENV);
    return v != nullptr && strcmp(v, "1") == 0;
}

inline const char *netns_ip_tool()
{
    for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0)
            return p;
    return nullptr;
}

// Empty when a namespace can be made here, else why not (checked once).
inline const std::string &netns_unavailable()
{
    static const std::string why = [] {
        if (geteuid() != 0)
            return std::string("needs root to make a network namespace (unshare -n)");
        if (access("/usr/bin/unshare", X_OK) != 0)
            return std::string("needs /usr/bin/unshare (util-linux) to make a network namespace");
        if (netns_ip_tool() == nullptr)
            return std::string("needs the ip tool (iproute2) to set up the namespace's loopback");
        if (system("/usr/bin/unshare -n /bin/true >/dev/null 2>&1") != 0)
            return std::string("unshare -n is refused here (a container without that right?)");
        return std::string();
    }();
    return why;
}

// Runs the current test again in a fresh namespace; its exit status, or -1
// when it could not be run. Bounded: a run that hangs is killed after
// limit_s seconds (the test then fails).
inline int rerun_current_test_in_netns(int limit_s = 280)
{
    const ::testing::TestInfo *ti = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + ti->test_suite_name() + "." + ti->name();
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return -1;
    exe[n] = '\0';
    std::string script = std::string(netns_ip_tool()) + " link set lo up && " + netns_ip_tool() +
                         " route replace local 127.0.0.0/8 dev lo src " + TLS_NETNS_CLIENT_ADDR +
                         " table local && exec \"$@\"";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        setenv(TLS_NETNS_ENV, "1", 1);
        execl("/usr/bin/unshare", "unshare", "-n", "--", "/bin/sh", "-c", script.c_str(), "sh", exe, filter.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            break;
        if (r < 0)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace kes_test

#define KES_IN_TLS_NETNS()                                                                                   \
    do {                                                                                                     \
        if (!kes_test::in_tls_netns()) {                                                                     \
            if (!kes_test::netns_unavailable().empty())                                                      \
                GTEST_SKIP() << "TLS test skipped: " << kes_test::netns_unavailable();                       \
            int kes_netns_status = kes_test::rerun_current_test_in_netns();                                  \
            ASSERT_EQ(0, kes_netns_status) << "the test failed in its network namespace (output above)";     \
            return;                                                                                          \
        }                                                                                                    \
    } while (0)
