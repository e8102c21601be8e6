// Finding and loading the simulator module. Also compiled into the command
// line, which repeats the search to explain a failed DebugOpen.
#include "adapter/sim_module.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>

#include "sim_module_build_path.h"

namespace cm3probe::adapter {
namespace {

void CopyText(char* out, size_t size, const char* text) {
    const size_t length = text == nullptr ? 0 : std::min(std::strlen(text), size - 1);
    if (length > 0) std::memcpy(out, text, length);
    out[length] = '\0';
}

// The directory of the object that holds `anchor`, plus the module's file name.
bool BesideLibrary(const void* anchor, char (&path)[PATH_MAX]) {
    Dl_info info{};
    if (dladdr(anchor, &info) == 0 || info.dli_fname == nullptr) return false;
    const char* slash = std::strrchr(info.dli_fname, '/');
    if (slash == nullptr) return false;
    const size_t directory = static_cast<size_t>(slash - info.dli_fname) + 1;
    if (directory + std::strlen(kSimModuleFile) >= PATH_MAX) return false;
    std::memcpy(path, info.dli_fname, directory);
    CopyText(path + directory, PATH_MAX - directory, kSimModuleFile);
    return true;
}

bool PathOf(SimModulePlace place, const void* anchor, char (&path)[PATH_MAX]) {
    switch (place) {
        case SimModulePlace::kNamed:
            CopyText(path, PATH_MAX, std::getenv(kSimModuleEnvironmentVariable));
            return path[0] != '\0';
        case SimModulePlace::kBesideLibrary:
            return BesideLibrary(anchor, path);
        case SimModulePlace::kBuildTree:
            CopyText(path, PATH_MAX, CM3PROBE_SIM_MODULE_BUILD_PATH);
            return true;
    }
    return false;
}

SimModuleEntry TryLoad(SimModuleTrial& trial) {
    void* module = dlopen(trial.path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        trial.failure = SimModuleFailure::kNotLoaded;
        CopyText(trial.dlerror, kDlerrorSize, dlerror());
        return nullptr;
    }
    // dlsym hands back an object pointer; POSIX guarantees it converts.
    const auto entry = reinterpret_cast<SimModuleEntry>(dlsym(module, kSimModuleEntryName));
    if (entry == nullptr) {
        trial.failure = SimModuleFailure::kNoEntryPoint;
        CopyText(trial.dlerror, kDlerrorSize, dlerror());
        (void)dlclose(module);  // nothing of it is in use
        return nullptr;
    }
    const SimModuleAnswer answer = entry();
    trial.abi = answer.abi;
    if (answer.abi != kSimModuleAbi) {
        trial.failure = SimModuleFailure::kOtherAbi;
        (void)dlclose(module);  // its driver was never handed out
        return nullptr;
    }
    // Loaded for good: later loads of the same file only count references.
    return entry;
}

}  // namespace

SimModuleEntry LoadSimModule(const void* anchor, SimModuleTrials* trials) {
    static constexpr SimModulePlace kNamedOnly[] = {SimModulePlace::kNamed};
    static constexpr SimModulePlace kSearched[] = {SimModulePlace::kBesideLibrary, SimModulePlace::kBuildTree};
    const char* named = std::getenv(kSimModuleEnvironmentVariable);
    // A named module is the only candidate: falling back would hide a typo.
    const bool onlyNamed = named != nullptr && *named != '\0';
    SimModuleTrial scratch{};
    if (trials != nullptr) trials->count = 0;
    for (const SimModulePlace place : onlyNamed ? std::span<const SimModulePlace>(kNamedOnly)
                                                : std::span<const SimModulePlace>(kSearched)) {
        SimModuleTrial& trial = trials != nullptr ? trials->tried[trials->count] : scratch;
        trial.place = place;
        trial.failure = SimModuleFailure::kNone;
        trial.abi = 0;
        trial.dlerror[0] = '\0';
        if (!PathOf(place, anchor, trial.path)) continue;
        if (trials != nullptr) ++trials->count;
        const SimModuleEntry entry = TryLoad(trial);
        if (entry != nullptr) return entry;
    }
    return nullptr;
}

}  // namespace cm3probe::adapter
