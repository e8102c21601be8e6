// The shared object as a host program loads it: exactly the twenty exports,
// and a clean failure on a machine without an adapter.
#include <fcntl.h>
#include <gelf.h>
#include <gtest/gtest.h>
#include <libelf.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <string>

#include "cm3probe.h"

namespace {

std::set<std::string> DefinedDynamicFunctions(const char* path) {
    std::set<std::string> names;
    elf_version(EV_CURRENT);
    int fd = open(path, O_RDONLY);
    if (fd < 0) return names;
    Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
    for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr; section = elf_nextscn(elf, section)) {
        GElf_Shdr header;
        gelf_getshdr(section, &header);
        if (header.sh_type != SHT_DYNSYM) continue;
        Elf_Data* data = elf_getdata(section, nullptr);
        size_t count = header.sh_size / header.sh_entsize;
        for (size_t i = 0; i < count; ++i) {
            GElf_Sym symbol;
            gelf_getsym(data, static_cast<int>(i), &symbol);
            if (symbol.st_shndx == SHN_UNDEF || GELF_ST_BIND(symbol.st_info) == STB_LOCAL) continue;
            if (GELF_ST_TYPE(symbol.st_info) == STT_NOTYPE && symbol.st_value == 0) continue;
            names.insert(elf_strptr(elf, header.sh_link, symbol.st_name));
        }
    }
    elf_end(elf);
    close(fd);
    return names;
}

TEST(SharedObject, ExportsExactlyTheTwentyEntryPoints) {
    const std::set<std::string> expected = {
        "DebugOpen",          "DebugClose",           "DebugInit",          "DebugGetIDCode",
        "DebugGetDeviceInformation", "DebugReadMem",  "DebugWriteMem",      "DebugReadBlock",
        "DebugWriteBlock",    "DebugHaltCore",        "DebugStartCore",     "DebugStepCore",
        "DebugGetCoreState",  "DebugCoreReset",       "DebugSystemReset",   "DebugHardwareReset",
        "DebugReadCoreRegister", "DebugWriteCoreRegister", "DebugSetBreakpoint", "DebugClearBreakpoint",
    };
    EXPECT_EQ(DefinedDynamicFunctions(CM3PROBE_SHARED_OBJECT), expected);
}

TEST(SharedObject, OperationsBeforeOpenAnswerNotInitialised) {
    uint32_t value = 0;
    uint8_t block[4] = {};
    EXPECT_EQ(DebugReadMem(0x20000000, &value, 2), DBG_NOT_INITIALISED);
    EXPECT_EQ(DebugWriteMem(0x20000000, 1, 2), DBG_NOT_INITIALISED);
    EXPECT_EQ(DebugReadBlock(0x20000000, block, 4), DBG_NOT_INITIALISED);
    EXPECT_EQ(DebugWriteBlock(0x20000000, block, 4), DBG_NOT_INITIALISED);
    EXPECT_EQ(DebugGetCoreState(&value), DBG_NOT_INITIALISED);
    EXPECT_EQ(DebugHaltCore(), DBG_NOT_INITIALISED);
    EXPECT_EQ(DebugClose(), DBG_OK);
}

TEST(SharedObject, OpenWithoutAnyUsbAdapterFailsCleanly) {
    setenv("CM3PROBE_DRIVER", "ftdi", 1);
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_ERROR);
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_ERROR);
    unsetenv("CM3PROBE_DRIVER");
}

TEST(SharedObject, UnknownDriverNameFails) {
    setenv("CM3PROBE_DRIVER", "no-such-driver", 1);
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_ERROR);
    unsetenv("CM3PROBE_DRIVER");
}

}  // namespace
