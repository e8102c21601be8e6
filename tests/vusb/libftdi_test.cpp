// Real libftdi1 on the virtual FT2232: listing, opening either channel,
// chip detection from the descriptors, its requests and its bulk framing.
#include <ftdi.h>

#include <numeric>

#include "vusb_support.h"

namespace {

using vusbtest::Chip;
using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kLoopbackOn = 0x84;
inline constexpr uint8_t kShiftBytesInOut = 0x31;
inline constexpr uint8_t kReadLowBits = 0x81;
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint32_t kByteMask = 0xFF;
inline constexpr uint8_t kAllPulledHigh = 0xFF;
inline constexpr unsigned short kModemAndLineStatus = 0x6032;
inline constexpr int kEepromBytes = 256;
inline constexpr uint8_t kBlankByte = 0xFF;
inline constexpr int kReadTries = 1000;
inline constexpr int kStringBytes = 64;
inline constexpr unsigned char kLatencyMs = 3;

struct Context {
    ftdi_context* ftdi = ftdi_new();
    ~Context() {
        ftdi_usb_close(ftdi);
        ftdi_free(ftdi);
    }
};

class LibftdiTest : public vusbtest::BenchTest, public ::testing::WithParamInterface<Chip> {
protected:
    void SetUp() override { Boot(std::string(R"({"chip":")") + GetParam().name + R"("})"); }

    static int Open(Context& context, ftdi_interface channel) {
        if (ftdi_set_interface(context.ftdi, channel) < 0) return -1;
        return ftdi_usb_open_desc(context.ftdi, vusbtest::kVendor, vusbtest::kProduct, "USB Debug Bridge", nullptr);
    }
    static Bytes ReadAll(Context& context, size_t count) {
        Bytes data(count);
        size_t got = 0;
        for (int tries = 0; got < count && tries < kReadTries; ++tries) {
            const int n = ftdi_read_data(context.ftdi, data.data() + got, static_cast<int>(count - got));
            if (n < 0) break;
            got += static_cast<size_t>(n);
        }
        data.resize(got);
        return data;
    }
};

TEST_P(LibftdiTest, ListsTheDeviceWithItsStrings) {
    Context context;
    ftdi_device_list* list = nullptr;
    ASSERT_EQ(ftdi_usb_find_all(context.ftdi, &list, vusbtest::kVendor, vusbtest::kProduct), 1);
    char manufacturer[kStringBytes] = {};
    char description[kStringBytes] = {};
    EXPECT_EQ(ftdi_usb_get_strings(context.ftdi, list->dev, manufacturer, sizeof manufacturer, description,
                                   sizeof description, nullptr, 0),
              0);
    EXPECT_STREQ(manufacturer, "FTDI");
    EXPECT_STREQ(description, "USB Debug Bridge");
    ftdi_list_free(&list);
}

TEST_P(LibftdiTest, OpensByDescriptionAndKnowsTheChip) {
    Context context;
    ASSERT_EQ(Open(context, INTERFACE_A), 0) << ftdi_get_error_string(context.ftdi);
    const bool high = GetParam().release == vusbtest::kChipH.release;
    EXPECT_EQ(context.ftdi->type, high ? TYPE_2232H : TYPE_2232C);
    EXPECT_EQ(context.ftdi->max_packet_size, GetParam().packet);

    unsigned char latency = 0;
    ASSERT_EQ(ftdi_set_latency_timer(context.ftdi, kLatencyMs), 0);
    ASSERT_EQ(ftdi_get_latency_timer(context.ftdi, &latency), 0);
    EXPECT_EQ(latency, kLatencyMs);
    unsigned short status = 0;
    ASSERT_EQ(ftdi_poll_modem_status(context.ftdi, &status), 0);
    EXPECT_EQ(status, kModemAndLineStatus);

    ASSERT_EQ(ftdi_read_eeprom(context.ftdi), 0) << ftdi_get_error_string(context.ftdi);
    Bytes eeprom(kEepromBytes);
    ASSERT_EQ(ftdi_get_eeprom_buf(context.ftdi, eeprom.data(), kEepromBytes), 0);
    EXPECT_EQ(eeprom, Bytes(kEepromBytes, kBlankByte)) << "a blank EEPROM";
}

TEST_P(LibftdiTest, MpsseDataRoundTripsThroughTheFraming) {
    Context context;
    ASSERT_EQ(Open(context, INTERFACE_A), 0) << ftdi_get_error_string(context.ftdi);
    ASSERT_EQ(ftdi_set_bitmode(context.ftdi, 0, BITMODE_MPSSE), 0);
    for (size_t count : {size_t{1}, size_t{61}, size_t{62}, size_t{511}, size_t{3000}}) {
        Bytes data(count);
        std::iota(data.begin(), data.end(), static_cast<uint8_t>(count));
        const size_t n = count - 1;
        Bytes command = {kLoopbackOn, kShiftBytesInOut, static_cast<uint8_t>(n & kByteMask),
                         static_cast<uint8_t>(n >> kByteBits)};
        command.insert(command.end(), data.begin(), data.end());
        ASSERT_EQ(ftdi_write_data(context.ftdi, command.data(), static_cast<int>(command.size())),
                  static_cast<int>(command.size()));
        EXPECT_EQ(ReadAll(context, count), data) << count;
    }
}

TEST_P(LibftdiTest, BothChannelsOpenAtOnceButEachOnlyOnce) {
    Context a;
    Context b;
    Context again;
    ASSERT_EQ(Open(a, INTERFACE_A), 0) << ftdi_get_error_string(a.ftdi);
    ASSERT_EQ(Open(b, INTERFACE_B), 0) << ftdi_get_error_string(b.ftdi);
    EXPECT_LT(Open(again, INTERFACE_A), 0) << "channel A is claimed already";

    // Channel B is wired to nothing: its inputs read their pull-ups.
    ASSERT_EQ(ftdi_set_bitmode(b.ftdi, 0, BITMODE_MPSSE), 0);
    const uint8_t read = kReadLowBits;
    ASSERT_EQ(ftdi_write_data(b.ftdi, &read, 1), 1);
    EXPECT_EQ(ReadAll(b, 1), Bytes{kAllPulledHigh});
}

INSTANTIATE_TEST_SUITE_P(Libftdi, LibftdiTest, ::testing::ValuesIn(vusbtest::kChips), vusbtest::ChipName);

}  // namespace
