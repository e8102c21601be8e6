#include "trace/trace_environment.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string_view>

#include "trace/transaction_log.h"
#include "trace/vcd_trace.h"
#include "virtual_probe.h"

namespace cm3sim {
namespace {

const char* Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

void AttachObserversFromEnvironment(VirtualProbe& probe) {
    if (const char* path = Setting(kTraceVariable)) {
        try {
            probe.attachObserver(std::make_unique<VcdTrace>(path, probe.time(), probe.board().lines()));
        } catch (const std::exception& error) {
            std::cerr << "cm3probe simulator: no wire trace: " << error.what() << '\n';
        }
    }
    const char* log = Setting(kLogVariable);
    if (log != nullptr && std::string_view(log) != "0") {
        probe.config().logWireTransactions = true;
        probe.attachObserver(std::make_unique<TransactionPrinter>(probe.dpState(), std::cerr));
    }
}

}  // namespace cm3sim
