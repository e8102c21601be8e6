#include "cli_support.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

extern char** environ;

namespace cm3test {
namespace {

constexpr std::string_view kLibraryVariablePrefix = "CM3PROBE_";
constexpr int kPollSliceMs = 100;
constexpr size_t kReadChunk = 4096;
constexpr int kExecFailed = 127;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

struct Pipe {
    std::array<int, 2> fd{-1, -1};
    Pipe() { Check(::pipe2(fd.data(), O_CLOEXEC) == 0, "pipe2"); }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int end) {
        if (fd[end] >= 0) ::close(fd[end]);
        fd[end] = -1;
    }
};

}  // namespace

Outcome RunCli(const std::vector<std::string>& args, const std::string& input,
               const std::map<std::string, std::string>& env, int timeoutSeconds) {
    std::vector<std::string> argStrings{CM3PROBE_CLI};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).substr(0, kLibraryVariablePrefix.size()) != kLibraryVariablePrefix) {
            envStrings.emplace_back(*entry);
        }
    }
    for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    Pipe in, out, err;
    const pid_t child = ::fork();
    Check(child >= 0, "fork");
    if (child == 0) {
        ::dup2(in.fd[0], STDIN_FILENO);
        ::dup2(out.fd[1], STDOUT_FILENO);
        ::dup2(err.fd[1], STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(kExecFailed);
    }
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);

    Outcome outcome;
    size_t written = 0;
    if (input.empty()) in.closeEnd(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            outcome.timedOut = true;
            break;
        }
        std::vector<pollfd> fds;
        if (out.fd[0] >= 0) fds.push_back({out.fd[0], POLLIN, 0});
        if (err.fd[0] >= 0) fds.push_back({err.fd[0], POLLIN, 0});
        if (in.fd[1] >= 0) fds.push_back({in.fd[1], POLLOUT, 0});
        if (::poll(fds.data(), fds.size(), kPollSliceMs) < 0 && errno != EINTR) break;
        for (const pollfd& p : fds) {
            if (p.revents == 0) continue;
            if (p.fd == in.fd[1]) {
                const ssize_t n = ::write(p.fd, input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<size_t>(n);
                if (n < 0 || written == input.size()) in.closeEnd(1);
                continue;
            }
            std::array<char, kReadChunk> buffer;
            const ssize_t n = ::read(p.fd, buffer.data(), buffer.size());
            Pipe& source = p.fd == out.fd[0] ? out : err;
            std::string& sink = p.fd == out.fd[0] ? outcome.out : outcome.err;
            if (n <= 0) {
                source.closeEnd(0);
            } else {
                sink.append(buffer.data(), static_cast<size_t>(n));
            }
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    return outcome;
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "cm3probe-tools-XXXXXX").string();
    Check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) throw std::runtime_error("cannot write " + path);
}

void WriteText(const std::string& path, const std::string& text) {
    WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::minstd_rand generator(seed + 1u);
    std::uniform_int_distribution<int> byte(0, 0xFE);
    std::vector<uint8_t> bytes(length);
    for (uint8_t& value : bytes) value = static_cast<uint8_t>(byte(generator));
    return bytes;
}

void WriteElf(const std::string& path, const std::vector<ElfSegment>& segments, const std::vector<ElfSymbol>& symbols,
              uint16_t machine, uint32_t entry) {
    Check(elf_version(EV_CURRENT) != EV_NONE, "elf_version");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Check(fd >= 0, "open");
    Elf* elf = elf_begin(fd, ELF_C_WRITE, nullptr);
    Check(elf != nullptr, "elf_begin");

    Elf32_Ehdr* header = elf32_newehdr(elf);
    header->e_ident[EI_DATA] = ELFDATA2LSB;
    header->e_type = ET_EXEC;
    header->e_machine = machine;
    header->e_version = EV_CURRENT;
    header->e_entry = entry;
    Elf32_Phdr* programHeaders = elf32_newphdr(elf, segments.size());

    std::string sectionNames(1, '\0');
    auto addName = [&sectionNames](const std::string& name) {
        const auto offset = static_cast<Elf32_Word>(sectionNames.size());
        sectionNames += name + '\0';
        return offset;
    };
    auto addSection = [&](const std::string& name, Elf32_Word type, void* data, size_t size, Elf_Type dataType) {
        Elf_Scn* section = elf_newscn(elf);
        Elf_Data* content = elf_newdata(section);
        content->d_buf = data;
        content->d_size = size;
        content->d_type = dataType;
        content->d_align = 4;
        Elf32_Shdr* sectionHeader = elf32_getshdr(section);
        sectionHeader->sh_name = addName(name);
        sectionHeader->sh_type = type;
        return section;
    };

    std::vector<Elf_Scn*> loadSections;
    std::vector<std::vector<uint8_t>> copies;
    for (const ElfSegment& segment : segments) copies.push_back(segment.bytes);
    for (size_t i = 0; i < segments.size(); ++i) {
        Elf_Scn* section =
            addSection(".load" + std::to_string(i), SHT_PROGBITS, copies[i].data(), copies[i].size(), ELF_T_BYTE);
        Elf32_Shdr* sectionHeader = elf32_getshdr(section);
        sectionHeader->sh_flags = SHF_ALLOC | SHF_EXECINSTR;
        sectionHeader->sh_addr = segments[i].virtualAddress;
        loadSections.push_back(section);
    }

    std::string symbolNames(1, '\0');
    std::vector<Elf32_Sym> table(1);
    for (const ElfSymbol& symbol : symbols) {
        Elf32_Sym entryRecord{};
        entryRecord.st_name = static_cast<Elf32_Word>(symbolNames.size());
        entryRecord.st_value = symbol.value;
        entryRecord.st_info = ELF32_ST_INFO(STB_GLOBAL, STT_FUNC);
        entryRecord.st_shndx = SHN_ABS;
        symbolNames += symbol.name + '\0';
        table.push_back(entryRecord);
    }
    Elf_Scn* strings = addSection(".strtab", SHT_STRTAB, symbolNames.data(), symbolNames.size(), ELF_T_BYTE);
    Elf_Scn* symbolTable =
        addSection(".symtab", SHT_SYMTAB, table.data(), table.size() * sizeof(Elf32_Sym), ELF_T_SYM);
    Elf32_Shdr* symbolHeader = elf32_getshdr(symbolTable);
    symbolHeader->sh_link = static_cast<Elf32_Word>(elf_ndxscn(strings));
    symbolHeader->sh_info = 1;
    symbolHeader->sh_entsize = sizeof(Elf32_Sym);

    // The section-name table names itself, so its name goes in first.
    const Elf32_Word ownName = addName(".shstrtab");
    Elf_Scn* names = elf_newscn(elf);
    Elf_Data* namesData = elf_newdata(names);
    namesData->d_buf = sectionNames.data();
    namesData->d_size = sectionNames.size();
    namesData->d_type = ELF_T_BYTE;
    namesData->d_align = 1;
    Elf32_Shdr* namesHeader = elf32_getshdr(names);
    namesHeader->sh_name = ownName;
    namesHeader->sh_type = SHT_STRTAB;
    header->e_shstrndx = static_cast<Elf32_Half>(elf_ndxscn(names));

    Check(elf_update(elf, ELF_C_NULL) >= 0, "elf_update (layout)");
    for (size_t i = 0; i < segments.size(); ++i) {
        const Elf32_Shdr* sectionHeader = elf32_getshdr(loadSections[i]);
        Elf32_Phdr& program = programHeaders[i];
        program.p_type = PT_LOAD;
        program.p_offset = sectionHeader->sh_offset;
        program.p_vaddr = segments[i].virtualAddress;
        program.p_paddr = segments[i].physical;
        program.p_filesz = static_cast<Elf32_Word>(segments[i].bytes.size());
        program.p_memsz = program.p_filesz + segments[i].extraMemory;
        program.p_flags = PF_R | PF_X;
        program.p_align = 4;
    }
    elf_flagphdr(elf, ELF_C_SET, ELF_F_DIRTY);
    Check(elf_update(elf, ELF_C_WRITE) >= 0, "elf_update (write)");
    elf_end(elf);
    ::close(fd);
}

}  // namespace cm3test
