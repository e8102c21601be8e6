// The shared object as a host program loads it: exactly the twenty exports,
// no simulator linked in, a clean failure on a machine without an adapter or
// without a usable simulator module.
#include <fcntl.h>
#include <gelf.h>
#include <gtest/gtest.h>
#include <libelf.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>

#include "cm3probe.h"

namespace {

struct DynamicSection {
    std::set<std::string> functions;  // defined and global
    std::set<std::string> needed;     // DT_NEEDED
};

DynamicSection ReadDynamic(const char* path) {
    DynamicSection result;
    elf_version(EV_CURRENT);
    int fd = open(path, O_RDONLY);
    if (fd < 0) return result;
    Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
    for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr; section = elf_nextscn(elf, section)) {
        GElf_Shdr header;
        gelf_getshdr(section, &header);
        Elf_Data* data = elf_getdata(section, nullptr);
        size_t count = header.sh_entsize == 0 ? 0 : header.sh_size / header.sh_entsize;
        if (header.sh_type == SHT_DYNAMIC) {
            for (size_t i = 0; i < count; ++i) {
                GElf_Dyn entry;
                gelf_getdyn(data, static_cast<int>(i), &entry);
                if (entry.d_tag == DT_NEEDED) result.needed.insert(elf_strptr(elf, header.sh_link, entry.d_un.d_val));
            }
        }
        if (header.sh_type != SHT_DYNSYM) continue;
        for (size_t i = 0; i < count; ++i) {
            GElf_Sym symbol;
            gelf_getsym(data, static_cast<int>(i), &symbol);
            if (symbol.st_shndx == SHN_UNDEF || GELF_ST_BIND(symbol.st_info) == STB_LOCAL) continue;
            if (GELF_ST_TYPE(symbol.st_info) == STT_NOTYPE && symbol.st_value == 0) continue;
            result.functions.insert(elf_strptr(elf, header.sh_link, symbol.st_name));
        }
    }
    elf_end(elf);
    close(fd);
    return result;
}

TEST(SharedObject, ExportsExactlyTheTwentyEntryPoints) {
    const std::set<std::string> expected = {
        "DebugOpen",          "DebugClose",           "DebugInit",          "DebugGetIDCode",
        "DebugGetDeviceInformation", "DebugReadMem",  "DebugWriteMem",      "DebugReadBlock",
        "DebugWriteBlock",    "DebugHaltCore",        "DebugStartCore",     "DebugStepCore",
        "DebugGetCoreState",  "DebugCoreReset",       "DebugSystemReset",   "DebugHardwareReset",
        "DebugReadCoreRegister", "DebugWriteCoreRegister", "DebugSetBreakpoint", "DebugClearBreakpoint",
    };
    EXPECT_EQ(ReadDynamic(CM3PROBE_SHARED_OBJECT).functions, expected);
}

// The simulator and what only it needs live in libcm3probe_sim.so.
TEST(SharedObject, NeedsNoSimulatorLibrary) {
    const std::set<std::string> needed = ReadDynamic(CM3PROBE_SHARED_OBJECT).needed;
    ASSERT_TRUE(needed.contains("libc.so.6"));
    for (const std::string& library : needed) {
        for (const char* simulatorOnly : {"libunicorn", "libelf", "cm3probe_sim"}) {
            EXPECT_EQ(library.find(simulatorOnly), std::string::npos) << library;
        }
    }
}

// CM3PROBE_SIM_MODULE names the module; anything but a module of this ABI
// fails the open, never falls back to another.
TEST(SharedObject, OpensTheSimulatorOnlyThroughAModuleOfThisAbi) {
    char junk[] = "/tmp/cm3probe-junk-module-XXXXXX";
    const int fd = mkstemp(junk);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "not an ELF file", 15), 15);
    close(fd);
    struct Case {
        const char* module;
        DebugResult opened;
    };
    const Case cases[] = {
        {"/nonexistent/libcm3probe_sim.so", DBG_ERROR},
        {junk, DBG_ERROR},
        {CM3PROBE_SHARED_OBJECT, DBG_ERROR},  // loads, but has no entry point
        {CM3PROBE_OTHER_ABI_MODULE, DBG_ERROR},
        {CM3PROBE_SIM_MODULE_FILE, DBG_OK},
    };
    setenv("CM3PROBE_DRIVER", "sim", 1);
    for (const Case& c : cases) {
        setenv("CM3PROBE_SIM_MODULE", c.module, 1);
        EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), c.opened) << c.module;
        EXPECT_EQ(DebugClose(), DBG_OK);
    }
    unsetenv("CM3PROBE_SIM_MODULE");
    unsetenv("CM3PROBE_DRIVER");
    std::remove(junk);
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
