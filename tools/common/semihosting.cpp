#include "semihosting.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <vector>

#include "target_registers.h"

namespace cm3tools::semihosting {
namespace {

inline constexpr uint32_t kWordBytes = 4;
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint32_t kChunk = 4096;  // the library's block limit
// The longest file name or SYS_WRITE0 string read from the target.
inline constexpr uint32_t kMaxString = 4096;
inline constexpr uint32_t kMaxTransfer = 64 * 1024;
// SYS_OPEN modes come in fours (r, rb, r+, r+b; then w...; then a...): for
// ":tt" the group picks stdin, stdout or stderr.
inline constexpr uint32_t kModesPerGroup = 4;
inline constexpr uint32_t kModeCount = 12;
inline constexpr std::array<const char*, kModeCount> kFileModes = {"r",  "rb",  "r+",  "r+b", "w",  "wb",
                                                                   "w+", "w+b", "a",   "ab",  "a+", "a+b"};
inline constexpr int kStdout = 1;
inline constexpr int kStderr = 2;
inline constexpr uint32_t kHeapInfoWords = 4;

using Kind = State::Kind;

// The target and the call in progress.
struct Call {
    const TargetAccess& target;
    DebugResult failure = DBG_OK;

    std::optional<uint32_t> word(uint32_t address) {
        std::array<uint8_t, kWordBytes> bytes{};
        if (!read(address, bytes)) return std::nullopt;
        uint32_t value = 0;
        for (uint32_t i = 0; i < kWordBytes; ++i) value |= uint32_t{bytes[i]} << (kByteBits * i);
        return value;
    }
    bool putWord(uint32_t address, uint32_t value) {
        std::array<uint8_t, kWordBytes> bytes{};
        for (uint32_t i = 0; i < kWordBytes; ++i) bytes[i] = static_cast<uint8_t>(value >> (kByteBits * i));
        return write(address, bytes);
    }
    bool read(uint32_t address, std::span<uint8_t> bytes) {
        for (size_t done = 0; done < bytes.size(); done += kChunk) {
            const auto piece = static_cast<uint32_t>(std::min<size_t>(kChunk, bytes.size() - done));
            const DebugResult result =
                target.readMemory(target.context, address + static_cast<uint32_t>(done), bytes.data() + done, piece);
            if (result != DBG_OK) return fail(result);
        }
        return true;
    }
    bool write(uint32_t address, std::span<const uint8_t> bytes) {
        for (size_t done = 0; done < bytes.size(); done += kChunk) {
            const auto piece = static_cast<uint32_t>(std::min<size_t>(kChunk, bytes.size() - done));
            const DebugResult result =
                target.writeMemory(target.context, address + static_cast<uint32_t>(done), bytes.data() + done, piece);
            if (result != DBG_OK) return fail(result);
        }
        return true;
    }
    // A NUL-terminated string, read a chunk at a time.
    std::optional<std::string> string(uint32_t address) {
        std::string text;
        std::array<uint8_t, 64> piece{};
        while (text.size() < kMaxString) {
            if (!read(address + static_cast<uint32_t>(text.size()), piece)) return std::nullopt;
            const auto end = std::find(piece.begin(), piece.end(), 0);
            text.append(piece.begin(), end);
            if (end != piece.end()) return text;
        }
        return text;
    }
    bool fail(DebugResult result) {
        failure = result;
        return false;
    }
};

// Up to `count` words of the parameter block at `block`.
template <size_t N>
std::optional<std::array<uint32_t, N>> Block(Call& call, uint32_t block) {
    std::array<uint32_t, N> words{};
    for (size_t i = 0; i < N; ++i) {
        const auto value = call.word(block + static_cast<uint32_t>(i * kWordBytes));
        if (!value) return std::nullopt;
        words[i] = *value;
    }
    return words;
}

// `name` under `root`, refusing anything that leaves it: absolute names,
// "..", and symbolic links that point outside.
std::optional<std::filesystem::path> Confined(const std::string& root, const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path relative(name);
    if (root.empty() || name.empty() || relative.is_absolute() || relative.has_root_name()) return std::nullopt;
    for (const fs::path& part : relative) {
        if (part == "..") return std::nullopt;
    }
    std::error_code error;
    const fs::path base = fs::canonical(root, error);
    if (error) return std::nullopt;
    const fs::path resolved = fs::weakly_canonical(base / relative, error);
    if (error) return std::nullopt;
    const auto [baseEnd, resolvedAt] = std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end());
    if (baseEnd != base.end()) return std::nullopt;
    return resolved;
}

uint32_t Open(Call& call, State& state, const Hooks& hooks, uint32_t nameAddress, uint32_t mode) {
    const auto name = call.string(nameAddress);
    if (!name || mode >= kModeCount) return kFailed;
    State::Handle handle{Kind::kFile};
    if (*name == kConsoleName) {
        const uint32_t group = mode / kModesPerGroup;
        handle.kind = group == 0 ? Kind::kStdin : group == 1 ? Kind::kStdout : Kind::kStderr;
    } else if (*name == kFeaturesName) {
        if (mode / kModesPerGroup != 0) return kFailed;
        handle.kind = Kind::kFeatures;
    } else {
        const auto path = Confined(hooks.fileRoot, *name);
        if (!path) {
            state.lastErrno = EACCES;
            return kFailed;
        }
        handle.file = std::fopen(path->c_str(), kFileModes[mode]);
        if (handle.file == nullptr) {
            state.lastErrno = errno;
            return kFailed;
        }
    }
    const uint32_t number = state.nextHandle++;
    state.handles[number] = handle;
    return number;
}

std::string FeatureBytes() {
    std::string bytes(kFeatureMagic);
    bytes.push_back(static_cast<char>(kFeatureExitExtended | kFeatureStdoutStderr));
    return bytes;
}

State::Handle* Find(State& state, uint32_t number) {
    const auto found = state.handles.find(number);
    return found == state.handles.end() ? nullptr : &found->second;
}

// SYS_WRITE: the number of bytes NOT written. A call moves at most
// kMaxTransfer bytes (the rest counts as not written), whatever length a
// confused program asks for.
uint32_t Write(Call& call, State& state, const Hooks& hooks, uint32_t handleNumber, uint32_t address, uint32_t length) {
    State::Handle* found = Find(state, handleNumber);
    if (found == nullptr) return length;
    State::Handle& handle = *found;
    std::vector<uint8_t> bytes(std::min(length, kMaxTransfer));
    if (!call.read(address, bytes)) return length;
    const std::span<const char> text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    switch (handle.kind) {
    case Kind::kStdout:
    case Kind::kStderr:
        hooks.write(hooks.context, handle.kind == Kind::kStdout ? kStdout : kStderr, text);
        return length - static_cast<uint32_t>(bytes.size());
    case Kind::kFile: {
        const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), handle.file);
        if (written != bytes.size()) state.lastErrno = errno;
        return length - static_cast<uint32_t>(written);
    }
    case Kind::kStdin:
    case Kind::kFeatures: return length;
    }
    return length;
}

// SYS_READ: the number of bytes NOT read; all of them at end of file.
uint32_t Read(Call& call, State& state, const Hooks& hooks, uint32_t handleNumber, uint32_t address, uint32_t length) {
    State::Handle* found = Find(state, handleNumber);
    if (found == nullptr) return length;
    State::Handle& handle = *found;
    std::vector<char> bytes(std::min(length, kMaxTransfer));
    size_t got = 0;
    switch (handle.kind) {
    case Kind::kStdin: got = hooks.read != nullptr ? hooks.read(hooks.context, bytes) : 0; break;
    case Kind::kFile: got = std::fread(bytes.data(), 1, bytes.size(), handle.file); break;
    case Kind::kFeatures: {
        const std::string features = FeatureBytes();
        const size_t from = std::min<size_t>(handle.position, features.size());
        got = std::min<size_t>(bytes.size(), features.size() - from);
        std::copy_n(features.begin() + static_cast<std::ptrdiff_t>(from), got, bytes.begin());
        handle.position += static_cast<uint32_t>(got);
        break;
    }
    case Kind::kStdout:
    case Kind::kStderr: return length;
    }
    if (!call.write(address, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), got))) return length;
    return length - static_cast<uint32_t>(got);
}

uint32_t Seek(State& state, uint32_t handleNumber, uint32_t position) {
    State::Handle* found = Find(state, handleNumber);
    if (found == nullptr) return kFailed;
    State::Handle& handle = *found;
    if (handle.kind == Kind::kFeatures) {
        handle.position = position;
        return 0;
    }
    if (handle.kind != Kind::kFile || std::fseek(handle.file, static_cast<long>(position), SEEK_SET) != 0) {
        state.lastErrno = handle.kind == Kind::kFile ? errno : ESPIPE;
        return kFailed;
    }
    return 0;
}

uint32_t Flen(State& state, uint32_t handleNumber) {
    State::Handle* found = Find(state, handleNumber);
    if (found == nullptr) return kFailed;
    State::Handle& handle = *found;
    if (handle.kind == Kind::kFeatures) return static_cast<uint32_t>(FeatureBytes().size());
    if (handle.kind != Kind::kFile) return 0;
    const long at = std::ftell(handle.file);
    if (at < 0 || std::fseek(handle.file, 0, SEEK_END) != 0) return kFailed;
    const long end = std::ftell(handle.file);
    (void)std::fseek(handle.file, at, SEEK_SET);  // back where the program was
    return end < 0 ? kFailed : static_cast<uint32_t>(end);
}

uint32_t Close(State& state, uint32_t handleNumber) {
    const auto found = state.handles.find(handleNumber);
    if (found == state.handles.end()) return kFailed;
    if (found->second.file != nullptr) std::fclose(found->second.file);
    state.handles.erase(found);
    return 0;
}

uint32_t GetCmdline(Call& call, const Hooks& hooks, uint32_t block) {
    const auto words = Block<2>(call, block);
    if (!words) return kFailed;
    const auto [address, size] = *words;
    const std::string& line = hooks.commandLine;
    if (line.size() + 1 > size) return kFailed;
    std::vector<uint8_t> bytes(line.begin(), line.end());
    bytes.push_back(0);
    if (!call.write(address, bytes) || !call.putWord(block + kWordBytes, static_cast<uint32_t>(line.size()))) {
        return kFailed;
    }
    return 0;
}

uint32_t HeapInfo(Call& call, const Hooks& hooks, uint32_t pointer) {
    // r1 holds the address of a pointer to the four words. Zero heap fields
    // leave the heap to the program (it knows where its data ends).
    const auto block = call.word(pointer);
    if (!block) return kFailed;
    const std::array<uint32_t, kHeapInfoWords> info{0, 0, hooks.stackBase, 0};
    for (uint32_t i = 0; i < kHeapInfoWords; ++i) {
        if (!call.putWord(*block + i * kWordBytes, info[i])) return kFailed;
    }
    return 0;
}

// The process exit code for a SYS_EXIT reason and its subcode.
int ExitCode(uint32_t reason, uint32_t subcode, bool extended) {
    if (reason != kApplicationExit) return kExitFailure;
    return extended ? static_cast<int>(subcode & 0xFF) : 0;
}

}  // namespace

State::~State() {
    for (auto& [number, handle] : handles) {
        if (handle.file != nullptr) std::fclose(handle.file);
    }
}

bool AtSemihostingCall(const TargetAccess& target, DebugResult& result) {
    uint32_t pc = 0;
    result = target.readRegister(target.context, regsel::kPc, &pc);
    if (result != DBG_OK) return false;
    std::array<uint8_t, kInstructionBytes> bytes{};
    result = target.readMemory(target.context, pc & ~kThumbBit, bytes.data(), kInstructionBytes);
    if (result != DBG_OK) return false;
    return (bytes[0] | (bytes[1] << kByteBits)) == kBkptAb;
}

Outcome ServeSemihostingCall(const TargetAccess& target, State& state, const Hooks& hooks) {
    auto probeFailure = [](DebugResult result) { return Outcome{Outcome::Kind::kProbeFailure, 0, result}; };
    uint32_t operation = 0;
    uint32_t parameter = 0;
    uint32_t pc = 0;
    DebugResult result = target.readRegister(target.context, regsel::kR0, &operation);
    if (result == DBG_OK) result = target.readRegister(target.context, regsel::kR0 + 1, &parameter);
    if (result == DBG_OK) result = target.readRegister(target.context, regsel::kPc, &pc);
    if (result != DBG_OK) return probeFailure(result);

    Call call{target};
    uint32_t answer = kFailed;
    switch (operation) {
    case op::kOpen:
        if (const auto words = Block<3>(call, parameter)) answer = Open(call, state, hooks, (*words)[0], (*words)[1]);
        break;
    case op::kClose:
        if (const auto words = Block<1>(call, parameter)) answer = Close(state, (*words)[0]);
        break;
    case op::kWriteC: {
        std::array<uint8_t, 1> byte{};
        if (call.read(parameter, byte)) {
            const char c = static_cast<char>(byte[0]);
            hooks.write(hooks.context, kStdout, std::span(&c, 1));
        }
        answer = 0;  // r0 is not defined; keep it steady
        break;
    }
    case op::kWrite0:
        if (const auto text = call.string(parameter)) hooks.write(hooks.context, kStdout, *text);
        answer = 0;
        break;
    case op::kWrite:
        if (const auto words = Block<3>(call, parameter)) {
            answer = Write(call, state, hooks, (*words)[0], (*words)[1], (*words)[2]);
        }
        break;
    case op::kRead:
        if (const auto words = Block<3>(call, parameter)) {
            answer = Read(call, state, hooks, (*words)[0], (*words)[1], (*words)[2]);
        }
        break;
    case op::kReadC: {
        char c = 0;
        const bool got = hooks.read != nullptr && hooks.read(hooks.context, std::span(&c, 1)) == 1;
        answer = got ? static_cast<uint8_t>(c) : kFailed;
        break;
    }
    case op::kIsTty:
        if (const auto words = Block<1>(call, parameter)) {
            const State::Handle* found = Find(state, (*words)[0]);
            const bool file = found != nullptr && (found->kind == Kind::kFile || found->kind == Kind::kFeatures);
            answer = found == nullptr ? kFailed : file ? 0 : 1;
        }
        break;
    case op::kSeek:
        if (const auto words = Block<2>(call, parameter)) answer = Seek(state, (*words)[0], (*words)[1]);
        break;
    case op::kFlen:
        if (const auto words = Block<1>(call, parameter)) answer = Flen(state, (*words)[0]);
        break;
    case op::kClock: answer = static_cast<uint32_t>(hooks.centiseconds(hooks.context)); break;
    case op::kTime: answer = static_cast<uint32_t>(hooks.unixSeconds(hooks.context)); break;
    case op::kErrno: answer = static_cast<uint32_t>(state.lastErrno); break;
    case op::kGetCmdline: answer = GetCmdline(call, hooks, parameter); break;
    case op::kHeapInfo: answer = HeapInfo(call, hooks, parameter); break;
    case op::kExit:
        // The reason is r1 itself, not a block.
        return Outcome{Outcome::Kind::kExit, ExitCode(parameter, 0, false), DBG_OK};
    case op::kExitExtended:
        if (const auto words = Block<2>(call, parameter)) {
            return Outcome{Outcome::Kind::kExit, ExitCode((*words)[0], (*words)[1], true), DBG_OK};
        }
        break;
    default: break;  // unknown: -1, and the program goes on
    }
    if (call.failure != DBG_OK) return probeFailure(call.failure);
    result = target.writeRegister(target.context, regsel::kR0, answer);
    if (result == DBG_OK) result = target.writeRegister(target.context, regsel::kPc, pc + kInstructionBytes);
    if (result != DBG_OK) return probeFailure(result);
    return {};
}

}  // namespace cm3tools::semihosting
