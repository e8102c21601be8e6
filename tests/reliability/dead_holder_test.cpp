// Half-sent commands and transactions come from the SWD path, which writes
// the wire stream itself; the JTAG engine sends whole commands.
// What a lock holder that died can leave behind, and the recovery the next
// holder runs (RecoverLinkAfterDeadHolder, called when the lock reports its
// owner dead): half an MPSSE command, half an SWD transaction, a sticky flag
// from an access it never got to check. The next caller's own traffic must
// be correct. The kill tests show the same through real processes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/backend.h"
#include "adapter/mpsse.h"
#include "cm3probe.h"
#include "frame/adapter_lock.h"
#include "frame/connection.h"
#include "frame/export_scope.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "in_process.h"
#include "support.h"
#include "transport/swd_protocol.h"

namespace cm3rel {
namespace {

inline constexpr uint32_t kAddress = kSramBase + 0x400;
inline constexpr uint32_t kPattern = 0x600DF00D;
inline constexpr uint32_t kSizeWord = 2;
inline constexpr uint32_t kUnmapped = 0x60000000;  // no device: an AHB error
inline constexpr uint32_t kAnnouncedBytes = 8;     // of a byte-shift command of which two came
inline constexpr uint8_t kLineHigh = 0xFF;

enum class Leftover { HalfMpsseCommand, HalfSwdWrite, UncheckedBusFault };

struct DeadHolderCase {
    bool swd;
    Leftover leftover;
};

std::string Describe(const DeadHolderCase& c) {
    static const char* const leftovers[] = {"HalfMpsseCommand", "HalfSwdWrite", "UncheckedBusFault"};
    return std::string(c.swd ? "Swd" : "Jtag") + leftovers[static_cast<int>(c.leftover)];
}

std::string CaseName(const ::testing::TestParamInfo<DeadHolderCase>& info) { return Describe(info.param); }

void PrintTo(const DeadHolderCase& c, std::ostream* out) { *out << Describe(c); }

void SendRaw(const uint8_t* bytes, uint32_t count) {
    const cm3probe::adapter::UsbDriver& usb = *cm3probe::adapter::ActiveBackend().usb;
    uint32_t written = 0;
    ASSERT_EQ(usb.write(cm3probe::g_connection.usbHandle, bytes, count, &written), cm3probe::adapter::kUsbOk);
}

class DeadHolderTest : public ::testing::TestWithParam<DeadHolderCase> {
protected:
    void SetUp() override {
        lock_ = UniqueName("lock");
        FreshInProcess(cm3sim::SimConfig{}, lock_);
        ASSERT_EQ(Connect(LinkChoice{GetParam().swd, false}), DBG_OK);
    }
    void TearDown() override {
        (void)CloseInProcess();
        cm3probe::connection::CloseLockForTesting(cm3probe::connection::OpenLock(lock_.c_str()), true);
    }
    std::string lock_;
};

TEST_P(DeadHolderTest, TheNextCallersTrafficIsCorrect) {
    const DeadHolderCase& c = GetParam();
    switch (c.leftover) {
        case Leftover::HalfMpsseCommand: {
            const uint8_t command[] = {cm3probe::mpsse::kBytesOutNeg, cm3probe::mpsse::LengthLow(kAnnouncedBytes),
                                       cm3probe::mpsse::LengthHigh(kAnnouncedBytes), kLineHigh, kLineHigh};
            SendRaw(command, sizeof command);
            break;
        }
        case Leftover::HalfSwdWrite: {
            uint8_t stream[cm3probe::swd::kWriteStreamSize];
            const size_t length = cm3probe::swd::BuildWriteStream(stream, cm3probe::ap::kTar,
                                                                  cm3probe::swd::kAccessPort, kAddress);
            SendRaw(stream, static_cast<uint32_t>(length / 2));
            break;
        }
        case Leftover::UncheckedBusFault:
            ASSERT_EQ(cm3probe::WriteApRegister(cm3probe::ap::kTar, kUnmapped), cm3probe::WireStatus::Ok);
            ASSERT_EQ(cm3probe::WriteApRegister(cm3probe::ap::kDrw, 0), cm3probe::WireStatus::Ok);
            break;
    }
    cm3probe::connection::RecoverLinkAfterDeadHolder();
    EXPECT_EQ(DebugWriteMem(kAddress, kPattern, kSizeWord), DBG_OK) << "the first call after the recovery";
    EXPECT_EQ(Target().peek32(kAddress), kPattern);
    uint32_t value = 0;
    EXPECT_EQ(DebugReadMem(kAddress, &value, kSizeWord), DBG_OK);
    EXPECT_EQ(value, kPattern);
}

INSTANTIATE_TEST_SUITE_P(Leftovers, DeadHolderTest,
                         ::testing::Values(DeadHolderCase{true, Leftover::HalfMpsseCommand},
                                           DeadHolderCase{true, Leftover::HalfSwdWrite},
                                           DeadHolderCase{true, Leftover::UncheckedBusFault},
                                           DeadHolderCase{false, Leftover::UncheckedBusFault}),
                         CaseName);

}  // namespace
}  // namespace cm3rel
