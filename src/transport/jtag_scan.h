// JTAG-DP scans: the 4-bit instructions, the 35-bit DPACC/APACC request and
// capture layout, and the two ways scans reach the engine (one call each, or
// queued and executed together).
#pragma once

#include <cstdint>

#include "adapter/jtag_engine.h"

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
inline constexpr uint32_t kAccepted = 2;
inline constexpr uint32_t kRejected = 1;
inline constexpr unsigned kDataShift = 3;
inline constexpr uint8_t kAddressMask = 0xC;  // A[3:2]
inline constexpr unsigned kAddressShift = 1;
}  // namespace dap_scan

using DapScan = uint8_t[dap_scan::kBytes];

// Loads an instruction with one immediate scan; takes AdapterLock. Over SWD it
// sends nothing and returns 1.
uint32_t SelectJtagInstruction(uint8_t code);
void BuildDapScan(uint32_t data, uint8_t registerAddress, uint8_t rnw, uint8_t* out5);
// 2 with the data when the acknowledge is OK/FAULT; otherwise 1, `outData` untouched.
uint32_t DecodeDapScan(const uint8_t* capture5, uint32_t* outData);

// Immediate scans of the data register, ending in Run-Test/Idle.
adapter::JtagStatus JtagScanWrite(const uint8_t* request5);
adapter::JtagStatus JtagScanRead(uint8_t* capture5);
adapter::JtagStatus JtagScanWriteRead(const uint8_t* request5, uint8_t* capture5);
adapter::JtagStatus JtagScanIdcode(uint8_t* capture4);

// The engine's command sequence.
adapter::JtagStatus JtagQueueClear();
adapter::JtagStatus JtagQueueInstruction(uint8_t code);
adapter::JtagStatus JtagQueueWrite(const uint8_t* request5);
adapter::JtagStatus JtagQueueRead();
adapter::JtagStatus JtagQueueWriteRead(const uint8_t* request5);
// Sends the sequence; captures land in JtagReadBack(), 5 bytes each, in order.
adapter::JtagStatus JtagQueueExecute(uint32_t* captureBytes);
const uint8_t* JtagReadBack();

}  // namespace cm3probe
