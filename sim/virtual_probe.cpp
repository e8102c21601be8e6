#include "virtual_probe.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "target/make_target.h"
#include "trace/trace_environment.h"

namespace cm3sim {

namespace {

inline constexpr const char* kConfigVariable = "CM3PROBE_SIM_CONFIG";

std::mutex& GlobalMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unique_ptr<VirtualProbe>& GlobalSlot() {
    static std::unique_ptr<VirtualProbe> probe;
    return probe;
}

std::unique_ptr<TargetSystem> Required(std::unique_ptr<TargetSystem> target) {
    if (!target) throw std::runtime_error("the target factory made no target");
    return target;
}

SimConfig ConfigFromEnvironment() {
    const char* path = std::getenv(kConfigVariable);
    if (path == nullptr || *path == '\0') return SimConfig{};
    return LoadSimConfig(path);
}

}  // namespace

VirtualProbe::VirtualProbe(const SimConfig& config) : VirtualProbe(config, MakeTarget) {}

VirtualProbe::VirtualProbe(const SimConfig& config, const TargetFactory& makeTarget)
    : config_(std::make_unique<SimConfig>(config)),
      target_(Required(makeTarget(*config_))),
      time_(target_.get()),
      dp_(*config_, *target_, time_),
      swj_(*config_, dp_),
      board_(swj_, *target_) {
    channels_[kTargetChannel] = std::make_unique<AdapterChannel>(*config_, board_, time_);
    for (size_t i = 0; i < kChannelCount; ++i) {
        if (!channels_[i]) channels_[i] = std::make_unique<AdapterChannel>(*config_, unwired_, time_);
    }
    dp_.powerOnReset();
}

VirtualProbe::~VirtualProbe() {
    board_.clearObservers();
}

void VirtualProbe::attachObserver(std::unique_ptr<LineObserver> observer) {
    board_.addObserver(observer.get());
    observers_.push_back(std::move(observer));
}

VirtualProbe& GlobalProbe() {
    std::lock_guard<std::mutex> lock(GlobalMutex());
    auto& slot = GlobalSlot();
    if (!slot) {
        slot = std::make_unique<VirtualProbe>(ConfigFromEnvironment());
        AttachObserversFromEnvironment(*slot);
    }
    return *slot;
}

void ResetGlobalProbe(const SimConfig& config) {
    ResetGlobalProbe(config, MakeTarget);
}

void ResetGlobalProbe(const SimConfig& config, const VirtualProbe::TargetFactory& makeTarget) {
    std::lock_guard<std::mutex> lock(GlobalMutex());
    auto& slot = GlobalSlot();
    slot.reset();
    slot = std::make_unique<VirtualProbe>(config, makeTarget);
    AttachObserversFromEnvironment(*slot);
}

}  // namespace cm3sim
