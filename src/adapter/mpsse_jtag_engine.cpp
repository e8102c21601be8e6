// Placeholder until the MPSSE JTAG engine lands: reports no JTAG devices, so a
// JTAG DebugOpen fails cleanly.
#include "adapter/mpsse_jtag_engine.h"

namespace cm3probe::adapter {
namespace {

JtagStatus NoDevices(uint32_t* count) {
    *count = 0;
    return kJtagOk;
}
JtagStatus NoName(uint32_t, char*, uint32_t, uint32_t*) { return kJtagFailed; }
JtagStatus NoOpen(const char*, uint32_t, JtagHandle*) { return kJtagFailed; }
JtagStatus NoHandle(JtagHandle) { return kJtagFailed; }
JtagStatus NoInit(JtagHandle, uint32_t) { return kJtagFailed; }
JtagStatus NoPins(JtagHandle, uint32_t, const PinRecord*, uint32_t, const PinRecord*) { return kJtagFailed; }
JtagStatus NoWrite(JtagHandle, uint32_t, uint32_t, const uint8_t*, uint32_t, uint32_t) { return kJtagFailed; }
JtagStatus NoRead(JtagHandle, uint32_t, uint32_t, uint8_t*, uint32_t*, uint32_t) { return kJtagFailed; }
JtagStatus NoWriteRead(JtagHandle, uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint32_t) {
    return kJtagFailed;
}
JtagStatus NoQueueRead(JtagHandle, uint32_t, uint32_t, uint32_t) { return kJtagFailed; }
JtagStatus NoExecute(JtagHandle, uint8_t*, uint32_t, uint32_t*) { return kJtagFailed; }

constexpr JtagEngine kEngine{
    .name = "mpsse",
    .deviceCount = NoDevices,
    .deviceName = NoName,
    .open = NoOpen,
    .close = NoHandle,
    .initialise = NoInit,
    .setPins = NoPins,
    .scanWrite = NoWrite,
    .scanRead = NoRead,
    .scanWriteRead = NoWriteRead,
    .clearSequence = NoHandle,
    .queueWrite = NoWrite,
    .queueRead = NoQueueRead,
    .queueWriteRead = NoWrite,
    .executeSequence = NoExecute,
};

}  // namespace

const JtagEngine& MpsseJtagEngine() { return kEngine; }

}  // namespace cm3probe::adapter
