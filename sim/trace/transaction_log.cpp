#include "trace/transaction_log.h"

#include <cstdio>

#include "dp/dp_registers.h"

namespace cm3sim {
namespace {

std::string AckName(const WireTransaction& t) {
    if (t.protocol == WireProtocol::Jtag) {
        if (t.ack == jtag_ack::kOkFault) return "OK/FAULT";
        if (t.ack == jtag_ack::kWait) return "WAIT";
    } else {
        if (t.ack == swd_ack::kOk) return "OK";
        if (t.ack == swd_ack::kWait) return "WAIT";
        if (t.ack == swd_ack::kFault) return "FAULT";
        if (t.ack == kNotAnswered) return "NOREPLY";
    }
    char text[sizeof("0x00")];
    std::snprintf(text, sizeof(text), "0x%x", t.ack);
    return text;
}

}  // namespace

std::string DescribeTransaction(const WireTransaction& t) {
    char text[sizeof("0x00000000")];
    std::string line = t.protocol == WireProtocol::Swd ? "wire swd " : "wire jtag ";
    line += t.ap ? "AP " : "DP ";
    line += t.read ? "read " : "write ";
    std::snprintf(text, sizeof(text), "0x%x", t.address);
    line += text;
    line += ' ' + AckName(t) + ' ';
    std::snprintf(text, sizeof(text), "0x%08x", t.data);
    line += text;
    return line;
}

void TransactionPrinter::printNew() {
    const auto& log = dp_.wireLog();
    // Someone cleared the log: carry on from its new end.
    if (log.size() < printed_) printed_ = log.size();
    for (; printed_ < log.size(); ++printed_) out_ << DescribeTransaction(log[printed_]) << '\n';
}

}  // namespace cm3sim
