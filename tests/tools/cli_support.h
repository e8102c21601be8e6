// Support for the tools' tests: the cm3probe binary as a subprocess, scratch
// files, and small ARM ELF files written with libelf.
#pragma once

#include <elf.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace cm3test {

struct Outcome {
    int exitCode = -1;  // -1: killed (see timedOut) or did not exit normally
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs the built cm3probe with `args`, feeding `input` on stdin. The child
// sees the test's environment without any CM3PROBE_* variable, plus `env`.
// Killed after `timeoutSeconds`.
Outcome RunCli(const std::vector<std::string>& args, const std::string& input = "",
               const std::map<std::string, std::string>& env = {}, int timeoutSeconds = 120);

// A directory of its own under the system's temporary directory, removed
// with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);
std::vector<uint8_t> ReadBytes(const std::string& path);
// Deterministic filler that is never 0xFF in a whole word.
std::vector<uint8_t> Pattern(size_t length, uint8_t seed);

struct ElfSegment {
    uint32_t physical;
    uint32_t virtualAddress;
    std::vector<uint8_t> bytes;
    uint32_t extraMemory = 0;  // memsz beyond the file bytes (.bss)
};
struct ElfSymbol {
    std::string name;
    uint32_t value;
};

// A 32-bit little-endian ARM executable with one PT_LOAD per segment and a
// symbol table. `machine` lets a test write a non-ARM file.
void WriteElf(const std::string& path, const std::vector<ElfSegment>& segments,
              const std::vector<ElfSymbol>& symbols = {}, uint16_t machine = EM_ARM,
              uint32_t entry = 0);

}  // namespace cm3test
