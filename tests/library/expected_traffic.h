// Expected wire traffic, built with the library's own stream and scan
// builders (whose exact bytes the protocol tests pin down separately).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "transport/jtag_scan.h"
#include "transport/swd_protocol.h"

namespace cm3test {

using Bytes = std::vector<uint8_t>;

// One SWD write or read transaction's command stream.
inline Bytes SwdWrite(uint8_t reg, uint8_t ap, uint32_t value) {
    Bytes out(cm3probe::swd::kWriteStreamSize);
    cm3probe::swd::BuildWriteStream(out.data(), reg, ap, value);
    return out;
}

inline Bytes SwdRead(uint8_t reg, uint8_t ap) {
    Bytes out(cm3probe::swd::kReadStreamSize);
    cm3probe::swd::BuildReadStream(out.data(), reg, ap);
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A 35-bit DAP request, and a capture carrying `value` with acknowledge `ack`.
inline Bytes DapScan(uint32_t data, uint8_t reg, uint8_t rnw) {
    Bytes out(cm3probe::dap_scan::kBytes);
    cm3probe::BuildDapScan(data, reg, rnw, out.data());
    return out;
}

inline Bytes DapCapture(uint32_t value, uint8_t ack = cm3probe::dap_scan::kAckOkFault) {
    Bytes out = DapScan(value, 0, 0);
    out[0] = static_cast<uint8_t>((out[0] & ~cm3probe::dap_scan::kAckMask) | ack);
    return out;
}

}  // namespace cm3test
