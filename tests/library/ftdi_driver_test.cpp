// The libftdi1 backend on a host without an adapter: everything must fail
// cleanly, touch no memory it was not given, and leak nothing.
#include "adapter/ftdi_driver.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstring>
#include <memory>
#include <string>

#include "adapter/ftdi_channels.h"

namespace cm3probe::adapter::ftdi {
namespace {

const UsbDriver& Driver() { return FtdiUsbDriver(); }

enum class Host { NoUsb, NoAdapter, AdapterAttached };

// What libusb itself sees, to tell which outcome the driver owes.
Host ProbeHost() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS) return Host::NoUsb;
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(context, &devices);
    Host host = Host::NoAdapter;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) == LIBUSB_SUCCESS &&
            descriptor.idVendor == kVendorId) {
            host = Host::AdapterAttached;
        }
    }
    if (count >= 0) libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return host;
}

class FtdiDriverWithoutAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = ProbeHost();
        if (host_ == Host::AdapterAttached) GTEST_SKIP() << "an adapter is attached";
    }
    Host host_ = Host::NoUsb;
};

TEST(FtdiDriver, OffersEveryOperation) {
    const UsbDriver& driver = Driver();
    EXPECT_STREQ(driver.name, "ftdi");
    EXPECT_NE(driver.listByDescription, nullptr);
    EXPECT_NE(driver.openByDescription, nullptr);
    EXPECT_NE(driver.setBitMode, nullptr);
    EXPECT_NE(driver.write, nullptr);
    EXPECT_NE(driver.read, nullptr);
    EXPECT_NE(driver.purge, nullptr);
    EXPECT_NE(driver.setLatencyTimer, nullptr);
    EXPECT_NE(driver.close, nullptr);
}

TEST_F(FtdiDriverWithoutAdapter, ListingFindsNothingAndLeavesTheBuffersAlone) {
    constexpr char kUntouched = 0x5A;
    Description listing[4];
    std::memset(listing, kUntouched, sizeof(listing));
    uint32_t count = 0xDEADBEEF;
    const UsbStatus status = Driver().listByDescription(listing, 4, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(status, host_ == Host::NoUsb ? status::kUnavailable : kUsbOk);
    for (const Description& entry : listing) EXPECT_EQ(entry[0], kUntouched);

    count = 0xDEADBEEF;
    Driver().listByDescription(nullptr, 0, &count);
    EXPECT_EQ(count, 0u);
}

TEST(FtdiDriver, ListingRefusesMissingOutputs) {
    Description one;
    EXPECT_EQ(Driver().listByDescription(&one, 1, nullptr), status::kBadArgument);
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Driver().listByDescription(nullptr, 1, &count), status::kBadArgument);
    EXPECT_EQ(count, 0u);
}

class OpenWithoutAdapter : public FtdiDriverWithoutAdapter, public ::testing::WithParamInterface<std::string> {};

TEST_P(OpenWithoutAdapter, FailsAndHandsOutNoHandle) {
    auto* sentinel = reinterpret_cast<UsbHandle>(&host_);
    UsbHandle handle = sentinel;
    EXPECT_NE(Driver().openByDescription(GetParam().c_str(), &handle), kUsbOk);
    EXPECT_EQ(handle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Descriptions, OpenWithoutAdapter,
                         ::testing::Values("USB Debug Bridge A", "USB Debug Bridge B", "Dual RS232-HS A",
                                           "FT232R USB UART", "", std::string(kMaxDescriptionLength, 'x')));

TEST_F(FtdiDriverWithoutAdapter, OpenReadsNoFurtherThanADescription) {
    // Exactly one description's worth of memory and no terminator in it.
    auto unterminated = std::make_unique<char[]>(kDescriptionSize);
    std::memset(unterminated.get(), 'x', kDescriptionSize);
    UsbHandle handle = nullptr;
    EXPECT_NE(Driver().openByDescription(unterminated.get(), &handle), kUsbOk);
    EXPECT_EQ(handle, nullptr);
}

TEST(FtdiDriver, OpenRefusesNullPointers) {
    UsbHandle handle = nullptr;
    EXPECT_EQ(Driver().openByDescription(nullptr, &handle), status::kBadArgument);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Driver().openByDescription("USB Debug Bridge A", nullptr), status::kBadArgument);
}

TEST(FtdiDriver, CallsOnNoHandleFailWithoutTouchingTheDevice) {
    const UsbDriver& driver = Driver();
    uint8_t bytes[6] = {};
    uint32_t written = 0xDEADBEEF;
    uint32_t got = 0xDEADBEEF;
    EXPECT_NE(driver.setBitMode(nullptr, 0xEB, bitmode::kMpsse), kUsbOk);
    EXPECT_NE(driver.write(nullptr, bytes, sizeof(bytes), &written), kUsbOk);
    EXPECT_EQ(written, 0u);
    EXPECT_NE(driver.read(nullptr, bytes, sizeof(bytes), &got), kUsbOk);
    EXPECT_EQ(got, 0u);
    EXPECT_NE(driver.purge(nullptr, purge::kBoth), kUsbOk);
    EXPECT_NE(driver.setLatencyTimer(nullptr, 2), kUsbOk);
    EXPECT_NE(driver.close(nullptr), kUsbOk);
    EXPECT_EQ(driver.write(nullptr, bytes, sizeof(bytes), nullptr), status::kBadArgument);
    EXPECT_EQ(driver.read(nullptr, bytes, sizeof(bytes), nullptr), status::kBadArgument);
}

}  // namespace
}  // namespace cm3probe::adapter::ftdi
