// Decoded SWD/JTAG transactions as they happen, one line each, from the DP's
// own transaction log.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "dp/debug_port_state.h"
#include "wire/target_board.h"

namespace cm3sim {

// "wire swd AP read 0xc OK 0x12345678": the protocol, the port, the
// direction, A[3:2] as an address, the acknowledge (OK, WAIT, FAULT, NOREPLY;
// OK/FAULT and WAIT on JTAG) and the data: written, or read back (over SWD
// the value on the wire, so an AP read shows the previous read's result; over
// JTAG the result the next scan shifts out).
std::string DescribeTransaction(const WireTransaction& transaction);

// Prints each transaction the DP logs, once the wire moves past it. The DP
// logs only while the configuration's logWireTransactions is set.
class TransactionPrinter : public LineObserver {
public:
    TransactionPrinter(const DebugPortState& dp, std::ostream& out) : dp_(dp), out_(out) {}
    ~TransactionPrinter() override { printNew(); }

    void linesChanged(const BoardLines&, bool) override { printNew(); }

private:
    void printNew();

    const DebugPortState& dp_;
    std::ostream& out_;
    size_t printed_ = 0;
};

}  // namespace cm3sim
