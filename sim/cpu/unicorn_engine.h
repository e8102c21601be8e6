// One Unicorn instance set up as a Cortex-M3, with register access as a
// debugger sees it. Unicorn reads and writes MSP, PSP, PRIMASK, BASEPRI,
// FAULTMASK and CONTROL through the core's own MRS/MSR rules, so unprivileged
// Thread mode would read them as zero and ignore writes; these accessors step
// into Handler mode around such an access.
#pragma once

#include <unicorn/unicorn.h>

#include <cstddef>
#include <cstdint>

namespace cm3sim {

class UnicornEngine {
public:
    // Throws std::runtime_error when Unicorn cannot provide a Cortex-M3.
    UnicornEngine();
    ~UnicornEngine();
    UnicornEngine(const UnicornEngine&) = delete;
    UnicornEngine& operator=(const UnicornEngine&) = delete;

    uc_engine* handle() const { return uc_; }
    uint32_t pageSize() const;

    // Setup; each throws std::runtime_error on failure.
    bool mapRam(uint32_t base, uint32_t size, uint8_t* storage);  // false: the range is taken
    void mapMmio(uint64_t base, uint64_t size, uc_cb_mmio_read_t read, uc_cb_mmio_write_t write, void* user);
    void addHook(int type, void* callback, void* user, uint64_t begin, uint64_t end);

    // Plain registers: R0-R12, SP (the active one), LR, PC, xPSR.
    uint32_t read(int reg) const;
    void write(int reg, uint32_t value);

    uint32_t pc() const { return read(UC_ARM_REG_PC); }
    bool thumb() const;
    void setPc(uint32_t address, bool thumb);
    uint32_t ipsr() const { return read(UC_ARM_REG_IPSR); }
    // Changing IPSR between zero and nonzero switches the active stack pointer
    // as a mode change does.
    void setIpsr(uint32_t exception);

    // MSP, PSP, PRIMASK, BASEPRI, FAULTMASK whatever the privilege.
    uint32_t special(int reg) const;
    void setSpecial(int reg, uint32_t value);
    uint32_t control() const { return read(UC_ARM_REG_CONTROL); }
    // In Thread mode both bits apply (SPSEL swaps the stack pointers); in
    // Handler mode SPSEL keeps its value, as ARMv7-M ignores writes to it there.
    void setControl(uint32_t value);

    // Runs from PC until a hook stops it; returns Unicorn's verdict.
    uc_err start();
    void stop();
    // Drops translations of [begin, end) so changed code is read again.
    void forgetCode(uint32_t begin, uint32_t end);

private:
    bool unprivileged() const;
    template <typename Access>
    void privileged(Access&& access) const;

    uc_engine* uc_ = nullptr;
};

}  // namespace cm3sim
