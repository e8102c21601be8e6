#include "image.h"

#include <gelf.h>
#include <libelf.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace cm3tools {
namespace {

inline constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

struct ElfCloser {
    void operator()(Elf* elf) const { elf_end(elf); }
};
using ElfPtr = std::unique_ptr<Elf, ElfCloser>;

// libelf parses the bytes in memory; they must outlive the handle.
ElfPtr OpenElf(std::vector<uint8_t>& bytes) {
    if (elf_version(EV_CURRENT) == EV_NONE) throw ImageError(std::string("libelf: ") + elf_errmsg(-1));
    return ElfPtr(elf_memory(reinterpret_cast<char*>(bytes.data()), bytes.size()));
}

bool IsElf(Elf* elf) { return elf != nullptr && elf_kind(elf) == ELF_K_ELF; }

std::string ElfError(const std::string& path, const char* what) {
    return path + ": " + what + ": " + elf_errmsg(-1);
}

Image LoadElf(const std::string& path, std::vector<uint8_t>& bytes, Elf* elf) {
    if (gelf_getclass(elf) != ELFCLASS32) throw ImageError(path + ": not a 32-bit ELF file");
    GElf_Ehdr header{};
    if (gelf_getehdr(elf, &header) == nullptr) throw ImageError(ElfError(path, "bad ELF header"));
    if (header.e_machine != EM_ARM) throw ImageError(path + ": not an ARM ELF file");
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) throw ImageError(ElfError(path, "bad program headers"));
    Image image;
    image.elf = true;
    image.entry = static_cast<uint32_t>(header.e_entry);
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr segment{};
        if (gelf_getphdr(elf, static_cast<int>(i), &segment) == nullptr) {
            throw ImageError(ElfError(path, "bad program header"));
        }
        // .bss and the stack take memory but have no file bytes to write.
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0) continue;
        if (segment.p_offset > bytes.size() || segment.p_filesz > bytes.size() - segment.p_offset) {
            throw ImageError(path + ": segment " + std::to_string(i) + " runs past the end of the file");
        }
        if (segment.p_paddr + segment.p_filesz > kAddressSpace) {
            throw ImageError(path + ": segment " + std::to_string(i) + " runs past the 4 GB address space");
        }
        const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(segment.p_offset);
        image.segments.push_back(
            Segment{static_cast<uint32_t>(segment.p_paddr),
                    std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(segment.p_filesz))});
    }
    return image;
}

}  // namespace

uint64_t Image::size() const {
    uint64_t total = 0;
    for (const Segment& segment : segments) total += segment.bytes.size();
    return total;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw ImageError("cannot open " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) throw ImageError("cannot read " + path);
    return bytes;
}

bool IsElfFile(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    ElfPtr elf = OpenElf(bytes);
    return IsElf(elf.get());
}

Image LoadImage(const std::string& path, std::optional<uint32_t> rawAddress) {
    std::vector<uint8_t> bytes = ReadFile(path);
    ElfPtr elf = OpenElf(bytes);
    if (IsElf(elf.get())) {
        if (rawAddress) throw ImageError(path + " is an ELF file: it carries its own addresses (drop --address)");
        return LoadElf(path, bytes, elf.get());
    }
    if (!rawAddress) throw ImageError(path + " is a raw binary: give its address with --address");
    if (*rawAddress + uint64_t{bytes.size()} > kAddressSpace) {
        throw ImageError(path + " does not fit below 4 GB at that address");
    }
    Image image;
    if (!bytes.empty()) image.segments.push_back(Segment{*rawAddress, std::move(bytes)});
    return image;
}

std::optional<uint32_t> FindSymbol(const std::string& path, std::string_view name) {
    std::vector<uint8_t> bytes = ReadFile(path);
    ElfPtr elf = OpenElf(bytes);
    if (!IsElf(elf.get())) return std::nullopt;
    Elf_Scn* section = nullptr;
    while ((section = elf_nextscn(elf.get(), section)) != nullptr) {
        GElf_Shdr header{};
        if (gelf_getshdr(section, &header) == nullptr || header.sh_type != SHT_SYMTAB) continue;
        Elf_Data* data = elf_getdata(section, nullptr);
        if (data == nullptr || header.sh_entsize == 0) continue;
        const size_t count = header.sh_size / header.sh_entsize;
        for (size_t i = 0; i < count; ++i) {
            GElf_Sym symbol{};
            if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) continue;
            const char* symbolName = elf_strptr(elf.get(), header.sh_link, symbol.st_name);
            if (symbolName != nullptr && name == symbolName) return static_cast<uint32_t>(symbol.st_value);
        }
    }
    return std::nullopt;
}

}  // namespace cm3tools
