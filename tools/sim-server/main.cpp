// cm3probe-sim: the simulator as a program. `serve` holds one virtual adapter
// and target and lets other processes reach it through CM3PROBE_SIM_SOCKET.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "config.h"
#include "sim_server.h"
#include "virtual_probe.h"

namespace {

inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailure = 1;

volatile std::sig_atomic_t g_stop = 0;

void RequestStop(int) { g_stop = 1; }

void Usage(std::FILE* to) {
    std::fputs("usage: cm3probe-sim serve --socket PATH [--config FILE]\n"
               "  Serves one simulated adapter and target on the Unix-domain socket PATH.\n"
               "  Clients use it with CM3PROBE_DRIVER=sim CM3PROBE_SIM_SOCKET=PATH.\n"
               "  --config FILE  simulator configuration (JSON); default: CM3PROBE_SIM_CONFIG\n",
               to);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage(stdout);
        return 0;
    }
    if (argc < 2 || std::strcmp(argv[1], "serve") != 0) {
        Usage(stderr);
        return kExitUsage;
    }
    std::string socketPath;
    std::string configPath;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if ((option == "--socket" || option == "--config") && i + 1 < argc) {
            (option == "--socket" ? socketPath : configPath) = argv[++i];
        } else {
            std::fprintf(stderr, "cm3probe-sim: unknown or incomplete option %s\n", option.c_str());
            Usage(stderr);
            return kExitUsage;
        }
    }
    if (socketPath.empty()) {
        Usage(stderr);
        return kExitUsage;
    }
    try {
        // Built now, so a bad configuration stops the server before anyone connects.
        if (configPath.empty()) {
            (void)cm3sim::GlobalProbe();
        } else {
            cm3sim::ResetGlobalProbe(cm3sim::LoadSimConfig(configPath));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cm3probe-sim: %s\n", error.what());
        return kExitFailure;
    }

    sigset_t stopping;
    sigemptyset(&stopping);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stopping, signal);
    sigprocmask(SIG_BLOCK, &stopping, nullptr);
    struct sigaction action {};
    action.sa_handler = RequestStop;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    cm3sim::SimServer server(socketPath);
    std::string error;
    if (!server.listen(error)) {
        std::fprintf(stderr, "cm3probe-sim: %s\n", error.c_str());
        return kExitFailure;
    }
    std::fprintf(stderr, "cm3probe-sim: serving on %s\n", socketPath.c_str());
    server.run(g_stop);
    return 0;
}
