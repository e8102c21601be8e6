#include "cpu/unicorn_engine.h"

#include <stdexcept>
#include <string>

#include "cpu/armv7m.h"

namespace cm3sim {

namespace {

// Thumb code never sits at an odd address, so the run never ends by reaching it.
constexpr uint64_t kNoStopAddress = 0xFFFFFFFF;
constexpr uint32_t kThumbBit = core_reset::kThumbBit;
// Any nonzero IPSR makes the core privileged; HardFault is as good as any.
constexpr uint32_t kPrivilegedException = exception_number::kHardFault;

void Check(uc_err error, const char* what) {
    if (error != UC_ERR_OK) throw std::runtime_error(std::string("cpu: ") + what + ": " + uc_strerror(error));
}

}  // namespace

UnicornEngine::UnicornEngine() {
    // With UC_MODE_MCLASS Unicorn ignores the model and executes v8-M.
    Check(uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc_), "cannot open Unicorn");
    const uc_err model = uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M3);
    if (model != UC_ERR_OK) {
        uc_close(uc_);
        Check(model, "no Cortex-M3 model");
    }
}

UnicornEngine::~UnicornEngine() { uc_close(uc_); }

uint32_t UnicornEngine::pageSize() const {
    uint32_t size = 0;
    Check(uc_ctl_get_page_size(uc_, &size), "page size");
    return size;
}

bool UnicornEngine::mapRam(uint32_t base, uint32_t size, uint8_t* storage) {
    return uc_mem_map_ptr(uc_, base, size, UC_PROT_ALL, storage) == UC_ERR_OK;
}

void UnicornEngine::mapMmio(uint64_t base, uint64_t size, uc_cb_mmio_read_t read, uc_cb_mmio_write_t write,
                            void* user) {
    Check(uc_mmio_map(uc_, base, size, read, user, write, user), "cannot map the bus");
}

void UnicornEngine::addHook(int type, void* callback, void* user, uint64_t begin, uint64_t end) {
    uc_hook hook = 0;
    Check(uc_hook_add(uc_, &hook, type, callback, user, begin, end), "cannot add a hook");
}

uint32_t UnicornEngine::read(int reg) const {
    uint32_t value = 0;
    uc_reg_read(uc_, reg, &value);
    return value;
}

void UnicornEngine::write(int reg, uint32_t value) { uc_reg_write(uc_, reg, &value); }

bool UnicornEngine::thumb() const { return (read(UC_ARM_REG_XPSR) & xpsr::kThumb) != 0; }

void UnicornEngine::setPc(uint32_t address, bool thumb) {
    // Unicorn takes the Thumb state from bit 0 of a PC write.
    write(UC_ARM_REG_PC, (address & ~kThumbBit) | (thumb ? kThumbBit : 0));
}

void UnicornEngine::setIpsr(uint32_t exception) { write(UC_ARM_REG_IPSR, exception); }

bool UnicornEngine::unprivileged() const {
    return ipsr() == exception_number::kThreadMode && (control() & control_reg::kNPriv) != 0;
}

template <typename Access>
void UnicornEngine::privileged(Access&& access) const {
    if (!unprivileged()) {
        access();
        return;
    }
    // Handler mode is privileged whatever CONTROL.nPRIV says.
    uc_engine* uc = uc_;
    uint32_t handler = kPrivilegedException;
    uc_reg_write(uc, UC_ARM_REG_IPSR, &handler);
    access();
    uint32_t thread = exception_number::kThreadMode;
    uc_reg_write(uc, UC_ARM_REG_IPSR, &thread);
}

uint32_t UnicornEngine::special(int reg) const {
    uint32_t value = 0;
    privileged([&] { uc_reg_read(uc_, reg, &value); });
    return value;
}

void UnicornEngine::setSpecial(int reg, uint32_t value) {
    privileged([&] { uc_reg_write(uc_, reg, &value); });
}

void UnicornEngine::setControl(uint32_t value) {
    const uint32_t current = control();
    if (ipsr() != exception_number::kThreadMode) {
        write(UC_ARM_REG_CONTROL, (current & control_reg::kSpSel) | (value & control_reg::kNPriv));
        return;
    }
    // SPSEL only changes in Thread mode, and only privileged code may write
    // CONTROL: drop nPRIV from Handler mode first.
    if (current & control_reg::kNPriv) {
        setIpsr(kPrivilegedException);
        write(UC_ARM_REG_CONTROL, current & ~control_reg::kNPriv);
        setIpsr(exception_number::kThreadMode);
    }
    write(UC_ARM_REG_CONTROL, value & special_regs::kControlMask);
}

uc_err UnicornEngine::start() { return uc_emu_start(uc_, pc() | kThumbBit, kNoStopAddress, 0, 0); }

void UnicornEngine::stop() { uc_emu_stop(uc_); }

void UnicornEngine::forgetCode(uint32_t begin, uint32_t end) {
    // The control reads both bounds as 64-bit varargs.
    uc_ctl_remove_cache(uc_, uint64_t{begin}, uint64_t{end});
}

}  // namespace cm3sim
