#include "gdb_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char** environ;

namespace cm3test {
namespace {

constexpr std::string_view kLibraryPrefix = "CM3PROBE_";
constexpr std::chrono::milliseconds kWaitSlice{10};
constexpr int kFileMode = 0644;

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "cm3probe-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with(kLibraryPrefix)) env.emplace_back(*entry);
    }
    for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
    return env;
}

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                       const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> args = argv;
    std::vector<std::string> envStrings = ChildEnvironment(env);
    std::vector<char*> argp;
    for (std::string& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, kFileMode);
    if (errPath == outPath) {
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         kFileMode);
    }
    const int error = ::posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Subprocess::~Subprocess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
}

bool Subprocess::running() {
    if (reaped_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

int Subprocess::wait(std::chrono::milliseconds limit, bool* timedOut) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kWaitSlice);
    const bool late = running();
    if (late) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
    if (timedOut != nullptr) *timedOut = late;
    return !late && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void Subprocess::signal(int number) {
    if (!reaped_) ::kill(pid_, number);
}

Finished RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    std::chrono::milliseconds limit, bool mergeOutput) {
    TempDir dir;
    Finished result;
    {
        Subprocess child(argv, env, dir.file("out"), dir.file(mergeOutput ? "out" : "err"));
        result.exitCode = child.wait(limit, &result.timedOut);
    }
    result.out = ReadFile(dir.file("out"));
    result.err = ReadFile(dir.file("err"));
    return result;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool OnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && ::access((std::filesystem::path(dir) / name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

uint16_t FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool WaitForText(const std::vector<std::string>& paths, const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        for (const std::string& path : paths) {
            if (ReadFile(path).find(text) != std::string::npos) return true;
        }
        std::this_thread::sleep_for(kWaitSlice);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace cm3test
