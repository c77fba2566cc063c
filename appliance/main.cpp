// kestralon-appliance: the appliance service as a daemon in the foreground.
// Runs until SIGINT or SIGTERM, then stops cleanly.
#include "appliance/appliance.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    appliance_config cfg;
    std::string msg;
    int rc = appliance_parse_args(argc, argv, &cfg, &msg);
    if (rc == APPL_ARGS_SHOWN) {
        fputs(msg.c_str(), stdout);
        return 0;
    }
    if (rc != APPL_ARGS_OK) {
        fprintf(stderr, "kestralon-appliance: %s\n", msg.c_str());
        return 2;
    }
    if (cfg.verify_only) {
        std::string report;
        size_t bad = appliance_verify(cfg, &report);
        fputs(report.c_str(), bad == 0 ? stdout : stderr);
        return bad == 0 ? 0 : 1;
    }
    // Every thread inherits the blocked signals; this one takes them with sigwait.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Every connection holds a socket; take all the descriptors the system
    // grants rather than the small default.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    appliance *app = nullptr;
    if (appliance_start(cfg, &app, &msg) != 0) {
        fprintf(stderr, "kestralon-appliance: %s\n", msg.c_str());
        return 1;
    }
    int sig = 0;
    sigwait(&set, &sig);
    appliance_stop(app);
    return 0;
}
