#include "transport/jtag_scan.h"

#include "adapter/backend.h"
#include "frame/adapter_lock.h"
#include "frame/connection.h"
#include "frame/link_state.h"

namespace cm3probe {
namespace {

using adapter::jtag::kDataRegister;
using adapter::jtag::kInstructionRegister;
using adapter::jtag::kRunTestIdle;

// The execute call's read-back area belongs to the connection: no allocation
// per sequence.
uint8_t g_readBack[adapter::jtag::kReadBackSize];

const adapter::JtagEngine& Engine() { return *adapter::ActiveBackend().jtag; }
adapter::JtagHandle Handle() { return g_connection.jtagHandle; }

// A scan that failed may have left the engine inside a command: nothing more
// goes to it until the link is recovered.
template <typename Call>
WireStatus OnLink(Call&& call) {
    if (link_state::Down()) return WireStatus::UsbFailure;
    if (call() == adapter::kJtagOk) return WireStatus::Ok;
    link_state::MarkDown();
    return WireStatus::UsbFailure;
}

// The sequence calls only fill the engine's queue: no link traffic.
WireStatus Queued(adapter::JtagStatus status) {
    return status == adapter::kJtagOk ? WireStatus::Ok : WireStatus::UsbFailure;
}

}  // namespace

WireStatus SelectJtagInstruction(uint8_t code) {
    if (g_connection.swdMode != 0) return WireStatus::UsbFailure;
    connection::AdapterLockHold hold;
    const uint8_t instruction = code;
    return OnLink([&] {
        return Engine().scanWrite(Handle(), kInstructionRegister, jtag_ir::kBits, &instruction, 1, kRunTestIdle);
    });
}

void BuildDapScan(uint32_t data, uint8_t registerAddress, uint8_t rnw, uint8_t* out5) {
    const uint64_t scan = static_cast<uint64_t>(rnw) |
                          static_cast<uint64_t>((registerAddress & dap_scan::kAddressMask) >> dap_scan::kAddressShift) |
                          static_cast<uint64_t>(data) << dap_scan::kDataShift;
    for (uint32_t i = 0; i < dap_scan::kBytes; ++i) out5[i] = static_cast<uint8_t>(scan >> (8 * i));
}

WireStatus DecodeDapScan(const uint8_t* capture5, uint32_t* outData) {
    const uint8_t acknowledge = capture5[0] & dap_scan::kAckMask;
    if (acknowledge == dap_scan::kAckWait) {
        link_state::MarkApStalled();
        return WireStatus::Wait;
    }
    if (acknowledge != dap_scan::kAckOkFault) return WireStatus::ProtocolError;
    uint64_t scan = 0;
    for (uint32_t i = 0; i < dap_scan::kBytes; ++i) scan |= static_cast<uint64_t>(capture5[i]) << (8 * i);
    *outData = static_cast<uint32_t>(scan >> dap_scan::kDataShift);
    return WireStatus::Ok;
}

WireStatus JtagScanWrite(const uint8_t* request5) {
    return OnLink([&] {
        return Engine().scanWrite(Handle(), kDataRegister, dap_scan::kBits, request5, dap_scan::kBytes, kRunTestIdle);
    });
}

WireStatus JtagScanRead(uint8_t* capture5) {
    uint32_t count = 0;
    return OnLink(
        [&] { return Engine().scanRead(Handle(), kDataRegister, dap_scan::kBits, capture5, &count, kRunTestIdle); });
}

WireStatus JtagScanWriteRead(const uint8_t* request5, uint8_t* capture5) {
    uint32_t count = 0;
    return OnLink([&] {
        return Engine().scanWriteRead(Handle(), kDataRegister, dap_scan::kBits, request5, dap_scan::kBytes, capture5,
                                      &count, kRunTestIdle);
    });
}

WireStatus JtagScanIdcode(uint8_t* capture4) {
    uint32_t count = 0;
    return OnLink([&] {
        return Engine().scanRead(Handle(), kDataRegister, dap_scan::kIdcodeBits, capture4, &count, kRunTestIdle);
    });
}

WireStatus JtagQueueClear() { return Queued(Engine().clearSequence(Handle())); }

WireStatus JtagQueueInstruction(uint8_t code) {
    const uint8_t instruction = code;
    return Queued(Engine().queueWrite(Handle(), kInstructionRegister, jtag_ir::kBits, &instruction, 1, kRunTestIdle));
}

WireStatus JtagQueueWrite(const uint8_t* request5) {
    return Queued(
        Engine().queueWrite(Handle(), kDataRegister, dap_scan::kBits, request5, dap_scan::kBytes, kRunTestIdle));
}

WireStatus JtagQueueRead() {
    return Queued(Engine().queueRead(Handle(), kDataRegister, dap_scan::kBits, kRunTestIdle));
}

WireStatus JtagQueueWriteRead(const uint8_t* request5) {
    return Queued(Engine().queueWriteRead(Handle(), kDataRegister, dap_scan::kBits, request5, dap_scan::kBytes,
                                          kRunTestIdle));
}

WireStatus JtagQueueExecute(uint32_t* captureBytes) {
    *captureBytes = 0;
    // Refused, the sequence is still emptied, as a failed execute leaves it.
    if (link_state::Down()) (void)Engine().clearSequence(Handle());  // the refusal below reports it
    return OnLink([&] { return Engine().executeSequence(Handle(), g_readBack, sizeof g_readBack, captureBytes); });
}

const uint8_t* JtagReadBack() { return g_readBack; }

}  // namespace cm3probe
