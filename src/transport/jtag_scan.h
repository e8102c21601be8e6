// JTAG-DP scans: the 4-bit instructions, the 35-bit DPACC/APACC request and
// capture layout, and the two ways scans reach the engine (one call each, or
// queued and executed together).
#pragma once

#include <cstdint>

#include "adapter/jtag_engine.h"
#include "transport/wire_status.h"

namespace cm3probe {

namespace jtag_ir {
inline constexpr uint8_t kDpacc = 0xA;
inline constexpr uint8_t kApacc = 0xB;
inline constexpr uint8_t kIdcode = 0xE;
inline constexpr uint8_t kAbort = 0x8;
inline constexpr uint32_t kBits = 4;
}  // namespace jtag_ir

namespace dap_scan {
inline constexpr uint32_t kBits = 35;
inline constexpr uint32_t kBytes = 5;
inline constexpr uint32_t kIdcodeBits = 32;
inline constexpr uint32_t kIdcodeBytes = 4;
inline constexpr uint8_t kRead = 1;
inline constexpr uint8_t kWrite = 0;
inline constexpr uint8_t kAckMask = 0x7;
inline constexpr uint8_t kAckOkFault = 2;  // 010: the only accepted acknowledge
inline constexpr uint8_t kAckWait = 1;
inline constexpr unsigned kDataShift = 3;
inline constexpr uint8_t kAddressMask = 0xC;  // A[3:2]
inline constexpr unsigned kAddressShift = 1;
}  // namespace dap_scan

using DapScan = uint8_t[dap_scan::kBytes];

// Engine calls answer Ok or UsbFailure: the engine's own codes stay here.

// Loads an instruction with one immediate scan; takes AdapterLock. Over SWD it
// sends nothing and fails.
[[nodiscard]] WireStatus SelectJtagInstruction(uint8_t code);
void BuildDapScan(uint32_t data, uint8_t registerAddress, uint8_t rnw, uint8_t* out5);
// Ok with the data when the acknowledge is OK/FAULT; otherwise Wait, or
// ProtocolError for an acknowledge no JTAG-DP sends, `outData` untouched.
[[nodiscard]] WireStatus DecodeDapScan(const uint8_t* capture5, uint32_t* outData);

// Immediate scans of the data register, ending in Run-Test/Idle.
[[nodiscard]] WireStatus JtagScanWrite(const uint8_t* request5);
[[nodiscard]] WireStatus JtagScanRead(uint8_t* capture5);
[[nodiscard]] WireStatus JtagScanWriteRead(const uint8_t* request5, uint8_t* capture5);
[[nodiscard]] WireStatus JtagScanIdcode(uint8_t* capture4);

// The engine's command sequence.
[[nodiscard]] WireStatus JtagQueueClear();
[[nodiscard]] WireStatus JtagQueueInstruction(uint8_t code);
[[nodiscard]] WireStatus JtagQueueWrite(const uint8_t* request5);
[[nodiscard]] WireStatus JtagQueueRead();
[[nodiscard]] WireStatus JtagQueueWriteRead(const uint8_t* request5);
// Sends the sequence; captures land in JtagReadBack(), 5 bytes each, in order.
[[nodiscard]] WireStatus JtagQueueExecute(uint32_t* captureBytes);
const uint8_t* JtagReadBack();

}  // namespace cm3probe
