// Programs run as subprocesses by the GDB and trace tests: to completion with
// a time limit, or in the background until stopped. Output goes to files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace cm3test {

struct Finished {
    int exitCode = -1;  // -1 when killed or ended by a signal
    bool timedOut = false;
    std::string out;
    std::string err;
};

// A fresh directory under the system's temporary directory, removed with
// everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// The environment of this process without CM3PROBE_* variables, plus `extra`.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& extra);

class Subprocess {
public:
    // Starts `argv` with stdin from /dev/null and stdout/stderr into files
    // (both into one, in the order written, when the paths are equal).
    Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& outPath, const std::string& errPath);
    ~Subprocess();  // kills a child still running
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    bool running();
    // Waits up to `limit`, then kills; the exit code, or -1.
    int wait(std::chrono::milliseconds limit, bool* timedOut = nullptr);
    // Sends `signal` to the child.
    void signal(int number);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// `mergeOutput`: stderr goes into `out` too, interleaved as written.
Finished RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    std::chrono::milliseconds limit, bool mergeOutput = false);

std::string ReadFile(const std::string& path);
// Whether `name` is an executable on PATH.
bool OnPath(const std::string& name);
// A loopback port nothing listens on at the moment of asking.
uint16_t FreeLoopbackPort();
// Waits until one of the files holds `text` (a server announcing itself:
// connecting to find out would make it serve that connection).
bool WaitForText(const std::vector<std::string>& paths, const std::string& text, std::chrono::milliseconds limit);

}  // namespace cm3test
