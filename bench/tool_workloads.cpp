// Workloads through the tools: the command line's flash command and the GDB
// server's register and memory reads, each a separate process, as users run
// them. The simulator is served from this process (tools/sim-server's
// SimServer on a thread), so its USB counters are at hand here; the tools
// reach it with CM3PROBE_DRIVER=sim and CM3PROBE_SIM_SOCKET.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_session.h"
#include "workloads.h"

#if CM3BENCH_HAVE_SIM_SERVER
#include "sim_server.h"
#endif

extern char** environ;

namespace cm3bench {
namespace {

using cm3sim::ChipType;
using cm3sim::UsbCounters;

inline constexpr int kRepetitions = 8;
// Above the firmware's vector table and loop, so the target keeps running it.
inline constexpr uint32_t kFlashAddress = 0x10000;
inline constexpr uint32_t kGdbMemoryBytes = 4096;
inline constexpr auto kConnectTimeout = std::chrono::seconds(20);
inline constexpr int kReplyTimeoutMs = 120'000;
inline constexpr uint8_t kChecksumMask = 0xFF;
inline constexpr auto kConnectRetry = std::chrono::milliseconds(50);
inline constexpr size_t kReceiveChunk = 4096;
// "$" payload "#" and two checksum digits.
inline constexpr size_t kChecksumDigits = 2;
inline constexpr size_t kTextRoom = 32;

// A child process with its output thrown away.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> environment = extraEnvironment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool overridden = false;
        for (const std::string& extra : extraEnvironment) {
            overridden = overridden || entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
        }
        if (!overridden) environment.push_back(entry);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool Succeeded(pid_t pid) {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A loopback port nobody listens on right now.
uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

// Just enough of GDB's remote protocol for 'g' and 'm', without acks.
class GdbClient {
public:
    ~GdbClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool connect(uint16_t port) {
        const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            fd_ = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                std::string reply;
                acks_ = true;
                if (!command("QStartNoAckMode", &reply) || reply != "OK") return false;
                acks_ = false;
                return true;
            }
            close(fd_);
            fd_ = -1;
            std::this_thread::sleep_for(kConnectRetry);
        }
        return false;
    }
    bool command(const std::string& payload, std::string* reply) {
        uint8_t sum = 0;
        for (char c : payload) sum = static_cast<uint8_t>((sum + static_cast<uint8_t>(c)) & kChecksumMask);
        char checksum[kChecksumDigits + 1];
        std::snprintf(checksum, sizeof checksum, "%02x", sum);
        const std::string packet = "$" + payload + "#" + checksum;
        if (send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size())) return false;
        // Skip the ack, take everything up to '#' and the two checksum digits.
        std::string text;
        bool started = false;
        size_t hash = std::string::npos;
        while (hash == std::string::npos || text.size() < hash + 1 + kChecksumDigits) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
            char buffer[kReceiveChunk];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            for (ssize_t i = 0; i < n; ++i) {
                if (!started && buffer[i] != '$') continue;
                started = true;
                text.push_back(buffer[i]);
                if (hash == std::string::npos && buffer[i] == '#') hash = text.size() - 1;
            }
        }
        if (acks_) (void)send(fd_, "+", 1, MSG_NOSIGNAL);
        *reply = text.substr(1, hash - 1);
        return true;
    }
    void detach() {
        std::string reply;
        (void)command("D", &reply);
    }

private:
    int fd_ = -1;
    bool acks_ = true;
};

#if CM3BENCH_HAVE_SIM_SERVER
// The simulator served on a Unix-domain socket from a thread of this process.
class ServedSimulator {
public:
    explicit ServedSimulator(std::string path) : path_(std::move(path)), server_(path_) {}
    ~ServedSimulator() {
        if (!thread_.joinable()) return;
        stop_ = 1;
        // The server waits in poll: a connection wakes it to see the flag.
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        thread_.join();
        close(fd);
    }
    ServedSimulator(const ServedSimulator&) = delete;
    ServedSimulator& operator=(const ServedSimulator&) = delete;
    bool start(std::string& error) {
        if (!server_.listen(error)) return false;
        thread_ = std::thread([this] { server_.run(stop_); });
        return true;
    }

private:
    std::string path_;
    cm3sim::SimServer server_;
    volatile std::sig_atomic_t stop_ = 0;
    std::thread thread_;
};
#endif

std::vector<std::string> GlobalOptions(const Path& path, uint32_t clockHz) {
    std::vector<std::string> options = {path.swd ? "--swd" : "--jtag", "--clock", std::to_string(clockHz)};
    if (path.batched) options.push_back("--batched");
    return options;
}

// Unused until the simulator server is built in.
[[maybe_unused]] Row CliRow(const std::string& cli, const std::vector<std::string>& environment, const Path& path, uint32_t clockHz,
           const char* name, uint32_t payload, const std::vector<std::string>& command, const cm3sim::UsbBus& bus) {
    Row row{path.name, name, payload, true, "", {}};
    std::vector<std::string> args = {cli};
    for (const std::string& o : GlobalOptions(path, clockHz)) args.push_back(o);
    for (const std::string& c : command) args.push_back(c);
    const UsbCounters before = Counters();
    const bool ok = Succeeded(Spawn(args, environment));
    row.figures = Average({Counters() - before}, bus);
    if (!ok) {
        row.ok = false;
        row.note = "the command failed";
    }
    return row;
}

// A program of one instruction for the GDB rows: the vector table's stack
// pointer and reset vector, then `b .` at kLoopAddress. No byte needs escaping
// in a binary packet.
inline constexpr uint32_t kLoopAddress = 0x40;
inline constexpr uint32_t kLoopStack = 0x20001000;
std::string LoopImage() {
    std::string image(kLoopAddress + 2, '\0');
    for (uint32_t i = 0; i < 4; ++i) {
        image[i] = static_cast<char>(kLoopStack >> (8 * i));
        image[4 + i] = static_cast<char>((kLoopAddress | 1) >> (8 * i));
    }
    image[kLoopAddress] = static_cast<char>(0xFE);  // b . (0xE7FE)
    image[kLoopAddress + 1] = static_cast<char>(0xE7);
    return image;
}

// What gdb-multiarch 13 sends for one `stepi` (recorded with `set debug remote
// 1` on this image): the step, then reads around the PC for the unwinder and
// the display (offsets from the PC, lengths) and the thread list. The stop
// reply carries the registers it needs, so no `g`.
struct CodeRead {
    int offset;
    uint32_t length;
};
inline constexpr CodeRead kStepiReads[] = {{0, 4},  {-4, 4}, {0, 4}, {-4, 4}, {0, 2},  {-2, 2}, {-4, 2},
                                           {0, 2},  {-2, 2}, {-4, 2}, {0, 4}, {-4, 4}, {0, 4},  {-4, 4},
                                           {0, 4},  {0, 4},  {0, 4},  {0, 2}};
std::vector<std::string> StepiPackets() {
    std::vector<std::string> packets = {"vCont;s:1;c"};
    auto reads = [&packets] {
        for (const CodeRead& r : kStepiReads) {
            char text[kTextRoom];
            std::snprintf(text, sizeof text, "m%x,%x", kLoopAddress + r.offset, r.length);
            packets.push_back(text);
        }
    };
    reads();
    for (const char* p : {"qfThreadInfo", "qsThreadInfo"}) packets.push_back(p);
    reads();
    return packets;
}

[[maybe_unused]] void GdbRows(const std::string& cli, const std::vector<std::string>& environment, const Path& path,
             uint32_t clockHz, const cm3sim::UsbBus& bus, std::vector<Row>& rows) {
    Row registers{path.name, "GDB g after a stop (cold)", 0, false, "the GDB server did not answer", {}};
    Row stepi{path.name, "GDB stepi (GDB's packets)", 0, false, "the GDB server did not answer", {}};
    Row small{path.name, "GDB m 3 B unaligned", 3, false, "the GDB server did not answer", {}};
    Row memory{path.name, "GDB m 4096 B", kGdbMemoryBytes, false, "the GDB server did not answer", {}};
    const uint16_t port = FreePort();
    std::vector<std::string> args = {cli};
    for (const std::string& o : GlobalOptions(path, clockHz)) args.push_back(o);
    for (const char* a : {"gdbserver", "--once", "--port"}) args.push_back(a);
    args.push_back(std::to_string(port));
    const pid_t server = Spawn(args, environment);
    {
        GdbClient client;
        if (server > 0 && client.connect(port)) {
            std::string reply;
            // The loop into flash; vFlashDone resets the core, halted at it.
            bool ok = client.command("vFlashErase:0,400", &reply) && reply == "OK" &&
                      client.command("vFlashWrite:0:" + LoopImage(), &reply) && reply == "OK" &&
                      client.command("vFlashDone", &reply) && reply == "OK";
            // Each `g` follows a step: the stop empties the register cache.
            std::vector<UsbCounters> g;
            for (int i = 0; i < kRepetitions && ok; ++i) {
                ok = client.command("vCont;s:1;c", &reply) && !reply.empty() && reply[0] == 'T';
                const UsbCounters before = Counters();
                ok = ok && client.command("g", &reply) && !reply.empty() && reply[0] != 'E';
                g.push_back(Counters() - before);
            }
            if (ok) registers = Row{path.name, registers.operation, 0, true, "", Average(g, bus)};
            const std::vector<std::string> packets = StepiPackets();
            std::vector<UsbCounters> s;
            for (int i = 0; i < kRepetitions && ok; ++i) {
                const UsbCounters before = Counters();
                for (const std::string& p : packets) ok = ok && client.command(p, &reply) && !reply.empty() && reply[0] != 'E';
                s.push_back(Counters() - before);
            }
            if (ok) stepi = Row{path.name, stepi.operation, 0, true, "", Average(s, bus)};
            char request[kTextRoom];
            std::vector<UsbCounters> b;
            std::snprintf(request, sizeof request, "m%x,3", kSram + 1);
            for (int i = 0; i < kRepetitions && ok; ++i) {
                const UsbCounters before = Counters();
                ok = client.command(request, &reply) && reply.size() == 2 * 3;
                b.push_back(Counters() - before);
            }
            if (ok) small = Row{path.name, small.operation, 3, true, "", Average(b, bus)};
            std::snprintf(request, sizeof request, "m%x,%x", kSram, kGdbMemoryBytes);
            std::vector<UsbCounters> m;
            for (int i = 0; i < kRepetitions && ok; ++i) {
                const UsbCounters before = Counters();
                ok = client.command(request, &reply) && reply.size() == 2 * kGdbMemoryBytes;
                m.push_back(Counters() - before);
            }
            if (ok) memory = Row{path.name, memory.operation, kGdbMemoryBytes, true, "", Average(m, bus)};
            client.detach();
        }
    }
    if (server > 0 && !Succeeded(server)) {
        for (Row* row : {&registers, &stepi, &small, &memory}) {
            row->ok = false;
            row->note = "the GDB server failed";
        }
    }
    for (Row* row : {&registers, &stepi, &small, &memory}) rows.push_back(*row);
}

[[maybe_unused]] std::string WriteImage(const std::string& dir) {
    std::vector<char> bytes(kFlashBytes);
    std::mt19937 random(kFlashBytes);
    for (char& b : bytes) b = static_cast<char>(random());
    const std::string path = dir + "/image.bin";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace

void RunToolWorkloads(Results& results, const std::string& cli) {
#if !CM3BENCH_HAVE_SIM_SERVER
    (void)cli;
    results.toolNotes.push_back("TODO: the simulator server (tools/sim-server) is not in this tree; the GDB `g` and `m` "
                                "and `cm3probe flash` workloads need it.");
#else
    if (cli.empty() || access(cli.c_str(), X_OK) != 0) {
        results.toolNotes.push_back("TODO: the command line (`cm3probe`) was not built; the GDB `g` and `m` and "
                                    "`cm3probe flash` workloads need it.");
        return;
    }
    std::string scratch = (std::filesystem::temp_directory_path() / "cm3bench.XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        results.toolNotes.push_back("No scratch directory for the tool workloads.");
        return;
    }
    const std::string dir = scratch;
    const std::string image = WriteImage(dir);
    const std::string socketPath = dir + "/sim.sock";
    const std::vector<std::string> environment = {"CM3PROBE_DRIVER=sim", "CM3PROBE_SIM_SOCKET=" + socketPath};
    std::signal(SIGPIPE, SIG_IGN);
    char address[kTextRoom];
    std::snprintf(address, sizeof address, "0x%x", kFlashAddress);
    for (ChipType chip : {ChipType::Ft2232D, ChipType::Ft2232H}) {
        for (uint32_t clock : {kFastClockHz, kSlowClockHz}) {
            Table table;
            table.chip = chip;
            table.clockHz = clock;
            const cm3sim::UsbBus& bus = cm3sim::BusOf(chip);
            for (const Path& path : kPaths) {
                PowerTarget(chip, true);
                ServedSimulator served(socketPath);
                std::string error;
                if (!served.start(error)) {
                    results.toolNotes.push_back("The simulator could not be served: " + error);
                    return;
                }
                GdbRows(cli, environment, path, clock, bus, table.rows);
                table.rows.push_back(CliRow(cli, environment, path, clock, "cm3probe halt (whole command)", 0,
                                            {"halt"}, bus));
                table.rows.push_back(CliRow(cli, environment, path, clock, "cm3probe flash 64 KB (whole command)",
                                            kFlashBytes, {"flash", image, "--address", address}, bus));
            }
            results.toolTables.push_back(table);
        }
    }
    std::remove(image.c_str());
    rmdir(dir.c_str());
    results.toolNotes.push_back(
        "Each tool runs as its own process on a simulator served from the runner, with the target's clock "
        "following the host (flash erase and program waits end after as many polls as on a bench). `g` and `m` are "
        "timed from request to reply, averaged over 8; the `cm3probe` rows are whole commands, once each: connect, "
        "initialise, the work, close. The flash image is 64 KB of random bytes at 0x10000: erase 64 pages, program "
        "16384 words, verify.");
#endif
}

}  // namespace cm3bench
