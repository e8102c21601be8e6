// One simulated target shared by the tools, as one probe is shared on a
// bench: a GDB server holds its session while the command line reads and
// writes memory through the same adapter. What one writes, the other reads.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adapter/backend.h"
#include "support.h"
#include "usb/sim_socket_driver.h"

namespace cm3rel {
namespace {

using namespace std::chrono_literals;

inline constexpr uint32_t kToolLimitMs = 30000;
inline constexpr auto kListenLimit = 10s;
inline constexpr time_t kReplyTimeoutSeconds = 10;

#ifdef CM3PROBE_CLI
const char* const kCli = CM3PROBE_CLI;
#else
const char* const kCli = nullptr;
#endif

// Output files of the tools, removed however the test ends.
struct OutputFiles {
    std::vector<std::string> paths;
    ~OutputFiles() {
        std::error_code ignored;
        for (const std::string& path : paths) std::filesystem::remove(path, ignored);
    }
    const std::string& add(const std::string& name) {
        paths.push_back((std::filesystem::temp_directory_path() / (UniqueName(name) + ".txt")).string());
        return paths.back();
    }
};

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs the command line against the served simulator, output into files.
pid_t StartTool(const std::vector<std::string>& arguments, const std::string& socketPath, const std::string& out,
                const std::string& err) {
    return StartChild([&] {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        UseServer(socketPath);
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) return 1;
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kCli));
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kCli, argv.data());
        return 127;
    });
}

uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// The smallest remote-protocol client: one packet out, its reply back.
class RspClient {
public:
    explicit RspClient(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        const timeval timeout{kReplyTimeoutSeconds, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RspClient() { close(fd_); }
    bool connected() const { return connected_; }

    std::optional<std::string> request(const std::string& payload) {
        uint8_t sum = 0;  // modulo 256, as the protocol sums
        for (const char c : payload) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
        char checksum[3];
        std::snprintf(checksum, sizeof checksum, "%02x", sum);
        const std::string packet = "$" + payload + "#" + checksum;
        if (send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size())) {
            return std::nullopt;
        }
        std::string in;
        for (;;) {
            const size_t start = in.find('$');
            const size_t end = start == std::string::npos ? start : in.find('#', start);
            if (end != std::string::npos && in.size() >= end + 3) {
                (void)send(fd_, "+", 1, MSG_NOSIGNAL);
                return in.substr(start + 1, end - start - 1);
            }
            char buffer[512];
            const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) return std::nullopt;
            in.append(buffer, static_cast<size_t>(got));
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

TEST(SharedToolsTest, GdbServerAndCommandLineShareOneTarget) {
    if (kCli == nullptr) GTEST_SKIP() << "this build has no command line (tools/cli)";
    if (!std::filesystem::exists(kCli)) GTEST_SKIP() << kCli << " is not built (target cm3probe-cli)";
    ServerProcess server;
    ASSERT_TRUE(server.ready());
    OutputFiles files;
    const std::string gdbOut = files.add("gdb-out");
    const std::string gdbErr = files.add("gdb-err");
    const std::string cliOut = files.add("cli-out");
    const std::string cliErr = files.add("cli-err");
    const uint16_t port = FreeLoopbackPort();
    const pid_t gdbserver =
        StartTool({"gdbserver", "--port", std::to_string(port), "--once", "-v"}, server.socketPath(), gdbOut, gdbErr);
    const auto deadline = std::chrono::steady_clock::now() + kListenLimit;
    while (ReadWhole(gdbErr).find("listening on") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (ReadWhole(gdbErr).find("not part of this build") != std::string::npos) {
            (void)WaitChild(gdbserver);
            GTEST_SKIP() << "this build has no GDB server";
        }
        std::this_thread::sleep_for(10ms);
    }
    auto gdb = std::make_unique<RspClient>(port);
    ASSERT_TRUE(gdb->connected()) << ReadWhole(gdbErr);

    // The command line writes while GDB holds its session...
    ASSERT_EQ(WaitChild(StartTool({"write", "0x20000000", "0x11223344"}, server.socketPath(), cliOut, cliErr),
                        kToolLimitMs),
              0)
        << ReadWhole(cliErr);
    EXPECT_EQ(gdb->request("m20000000,4"), std::optional<std::string>("44332211"));
    // ...and reads what GDB wrote.
    EXPECT_EQ(gdb->request("M20000010,4:deadbeef"), std::optional<std::string>("OK"));
    ASSERT_EQ(WaitChild(StartTool({"read", "0x20000010", "4"}, server.socketPath(), cliOut, cliErr), kToolLimitMs), 0)
        << ReadWhole(cliErr);
    EXPECT_NE(ReadWhole(cliOut).find("de ad be ef"), std::string::npos) << ReadWhole(cliOut);
    EXPECT_EQ(gdb->request("m20000000,4"), std::optional<std::string>("44332211")) << "GDB's session survived";

    const auto stats = server.stats();
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->badRequests, 0u);
    EXPECT_GE(stats->clientsAccepted, 3u) << "the GDB server and two command lines";
    gdb.reset();
    EXPECT_EQ(WaitChild(gdbserver, kToolLimitMs), 0) << "a --once server ends when its client leaves";
}

}  // namespace
}  // namespace cm3rel
