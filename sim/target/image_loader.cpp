#include "target/image_loader.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace cm3sim {

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
    throw std::runtime_error("image " + path + ": " + what);
}

class FileDescriptor {
public:
    explicit FileDescriptor(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) Fail(path, "cannot open");
    }
    ~FileDescriptor() { ::close(fd_); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct ElfCloser {
    void operator()(Elf* elf) const { elf_end(elf); }
};

}  // namespace

bool IsElfFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) Fail(path, "cannot open");
    std::array<char, SELFMAG> magic{};
    file.read(magic.data(), magic.size());
    return file.gcount() == SELFMAG && std::equal(magic.begin(), magic.end(), ELFMAG);
}

ImageSegment ReadRawImage(const std::string& path, uint32_t address) {
    std::ifstream file(path, std::ios::binary);
    if (!file) Fail(path, "cannot open");
    ImageSegment segment{address, {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()}};
    if (file.bad()) Fail(path, "read error");
    return segment;
}

std::vector<ImageSegment> ReadElfImage(const std::string& path) {
    if (elf_version(EV_CURRENT) == EV_NONE) Fail(path, "libelf is unusable");
    FileDescriptor fd(path);
    std::unique_ptr<Elf, ElfCloser> elf(elf_begin(fd.get(), ELF_C_READ, nullptr));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF) Fail(path, "not an ELF file");
    GElf_Ehdr header;
    if (gelf_getehdr(elf.get(), &header) == nullptr) Fail(path, elf_errmsg(-1));
    if (gelf_getclass(elf.get()) != ELFCLASS32 || header.e_machine != EM_ARM ||
        header.e_ident[EI_DATA] != ELFDATA2LSB) {
        Fail(path, "not a 32-bit little-endian ARM ELF file");
    }
    size_t programHeaders = 0;
    if (elf_getphdrnum(elf.get(), &programHeaders) != 0) Fail(path, elf_errmsg(-1));
    size_t fileSize = 0;
    const char* raw = elf_rawfile(elf.get(), &fileSize);
    if (raw == nullptr) Fail(path, elf_errmsg(-1));

    std::vector<ImageSegment> segments;
    for (size_t i = 0; i < programHeaders; ++i) {
        GElf_Phdr phdr;
        if (gelf_getphdr(elf.get(), int(i), &phdr) == nullptr) Fail(path, elf_errmsg(-1));
        if (phdr.p_type != PT_LOAD || phdr.p_memsz == 0) continue;
        if (phdr.p_offset > fileSize || phdr.p_filesz > fileSize - phdr.p_offset || phdr.p_filesz > phdr.p_memsz) {
            Fail(path, "segment " + std::to_string(i) + " lies outside the file");
        }
        // The file bytes go where the segment is loaded; the zeros past them
        // (.bss) belong to where it runs, which differs for data copied out of
        // flash at startup: zero-filling at the load address would overwrite
        // whatever follows in flash.
        if (phdr.p_filesz > 0) {
            segments.push_back({uint32_t(phdr.p_paddr),
                                std::vector<uint8_t>(raw + phdr.p_offset, raw + phdr.p_offset + phdr.p_filesz)});
        }
        if (phdr.p_memsz > phdr.p_filesz) {
            segments.push_back({uint32_t(phdr.p_vaddr + phdr.p_filesz),
                                std::vector<uint8_t>(phdr.p_memsz - phdr.p_filesz, 0)});
        }
    }
    return segments;
}

}  // namespace cm3sim
