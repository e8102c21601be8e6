// Symbols of a firmware ELF (the example firmware's tick, counter, ...), read
// with libelf, so tests can aim breakpoints and reads at them.
#pragma once

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>

namespace cm3sim::testing {

// Function addresses come with the Thumb bit cleared: where the code is.
inline std::map<std::string, uint32_t> ReadSymbols(const std::string& path) {
    constexpr uint32_t kThumbBit = 1;
    std::map<std::string, uint32_t> symbols;
    if (elf_version(EV_CURRENT) == EV_NONE) return symbols;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return symbols;
    Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
    for (Elf_Scn* section = nullptr; elf != nullptr && (section = elf_nextscn(elf, section)) != nullptr;) {
        GElf_Shdr header;
        if (gelf_getshdr(section, &header) == nullptr || header.sh_type != SHT_SYMTAB) continue;
        Elf_Data* data = elf_getdata(section, nullptr);
        for (size_t i = 0; data != nullptr && i < header.sh_size / header.sh_entsize; ++i) {
            GElf_Sym symbol;
            if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) continue;
            const char* name = elf_strptr(elf, header.sh_link, symbol.st_name);
            const bool function = GELF_ST_TYPE(symbol.st_info) == STT_FUNC;
            if (name != nullptr && *name != '\0') {
                symbols[name] = static_cast<uint32_t>(symbol.st_value) & (function ? ~kThumbBit : ~0u);
            }
        }
    }
    if (elf != nullptr) elf_end(elf);
    ::close(fd);
    return symbols;
}

}  // namespace cm3sim::testing
