// The virtual FT2232 as any libusb program sees it: descriptors, vendor
// requests, bulk-in framing, the chip's buffers and their back-pressure, and
// the asynchronous transfer calls. Traffic is built by hand from the chip's
// published behaviour (MPSSE commands of AN_108).
#include <libusb.h>

#include <chrono>
#include <numeric>

#include "vusb_support.h"

namespace {

using vusbtest::Chip;
using Bytes = std::vector<uint8_t>;

namespace mpsse {
inline constexpr uint8_t kMode = 0x02;
inline constexpr uint8_t kSetLowBits = 0x80;
inline constexpr uint8_t kReadLowBits = 0x81;
inline constexpr uint8_t kLoopbackOn = 0x84;
// Bytes out on the falling edge and in on the rising one, MSB first.
inline constexpr uint8_t kShiftBytesInOut = 0x31;
}  // namespace mpsse

namespace sio {
inline constexpr uint8_t kOut = uint8_t{LIBUSB_REQUEST_TYPE_VENDOR} | uint8_t{LIBUSB_RECIPIENT_DEVICE} |
                                uint8_t{LIBUSB_ENDPOINT_OUT};
inline constexpr uint8_t kIn = uint8_t{LIBUSB_REQUEST_TYPE_VENDOR} | uint8_t{LIBUSB_RECIPIENT_DEVICE} |
                               uint8_t{LIBUSB_ENDPOINT_IN};
inline constexpr uint8_t kReset = 0x00;
inline constexpr uint8_t kPollModemStatus = 0x05;
inline constexpr uint8_t kSetLatency = 0x09;
inline constexpr uint8_t kGetLatency = 0x0A;
inline constexpr uint8_t kSetBitMode = 0x0B;
inline constexpr uint8_t kReadPins = 0x0C;
inline constexpr uint8_t kReadEeprom = 0x90;
inline constexpr uint8_t kUnknown = 0x55;
inline constexpr uint16_t kPurgeFromHost = 1;
inline constexpr uint16_t kPurgeToHost = 2;
inline constexpr uint16_t kChannelA = 1;
inline constexpr uint16_t kChannelB = 2;
inline constexpr uint32_t kModeShift = 8;
}  // namespace sio

inline constexpr uint8_t kModemStatus = 0x32;
inline constexpr uint8_t kLineStatus = 0x60;
inline constexpr size_t kStatusBytes = 2;
inline constexpr uint8_t kInA = 0x81;
inline constexpr uint8_t kOutA = 0x02;
inline constexpr uint8_t kInB = 0x83;
inline constexpr uint8_t kOutB = 0x04;
inline constexpr unsigned kTimeoutMs = 2000;
inline constexpr unsigned kStallTimeoutMs = 100;
inline constexpr size_t kReadBytes = 16384;
inline constexpr uint16_t kBlankEepromWord = 0xFFFF;
inline constexpr auto kAsyncDeadline = std::chrono::seconds(20);
inline constexpr suseconds_t kEventSliceUs = 50000;
inline constexpr suseconds_t kCancelSliceUs = 10000;
inline constexpr int kCancelRounds = 10;
inline constexpr uint16_t kLatencyMs = 7;
inline constexpr uint8_t kMissingString = 0x77;
// Channel B: the upper four pins outputs driven low, the lower four inputs.
inline constexpr uint8_t kPinValues = 0x0F;
inline constexpr uint8_t kPinDirections = 0xF0;
inline constexpr uint8_t kPinLevels = 0x0F;
// More than both buffers hold, so a writer that never reads must stall.
inline constexpr size_t kOverflowCommands = 100;
inline constexpr size_t kBatchesOfBuffers = 4;
inline constexpr size_t kPacketsPerRead = 4;
inline constexpr size_t kOverflowingEcho = 100;
inline constexpr int kShortRead = 10;
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint32_t kByteMask = 0xFF;
// Where the device descriptor keeps its identifiers.
inline constexpr int kReadTries = 1000;
inline constexpr size_t kStringBytes = 256;
inline constexpr size_t kVendorOffset = 8;
inline constexpr size_t kProductOffset = 10;
inline constexpr size_t kReleaseOffset = 12;

class UsbDeviceTest : public vusbtest::BenchTest, public ::testing::WithParamInterface<Chip> {
protected:
    void SetUp() override {
        Boot(std::string(R"({"chip":")") + GetParam().name + R"("})");
        if (HasFatalFailure()) return;
        ASSERT_EQ(libusb_init(&context_), LIBUSB_SUCCESS);
        handle_ = libusb_open_device_with_vid_pid(context_, vusbtest::kVendor, vusbtest::kProduct);
        ASSERT_NE(handle_, nullptr);
        ASSERT_EQ(libusb_claim_interface(handle_, 0), LIBUSB_SUCCESS);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            libusb_release_interface(handle_, 0);
            libusb_close(handle_);
        }
        if (context_ != nullptr) libusb_exit(context_);
    }

    int Control(uint8_t type, uint8_t request, uint16_t value, Bytes* data = nullptr,
                uint16_t index = sio::kChannelA) {
        return libusb_control_transfer(handle_, type, request, value, index, data ? data->data() : nullptr,
                                       data ? static_cast<uint16_t>(data->size()) : 0, kTimeoutMs);
    }
    void EnterMpsse(uint16_t channel = sio::kChannelA) {
        ASSERT_EQ(Control(sio::kOut, sio::kSetBitMode, 0, nullptr, channel), 0);
        ASSERT_EQ(Control(sio::kOut, sio::kSetBitMode, mpsse::kMode << sio::kModeShift, nullptr, channel), 0);
    }
    int Write(const Bytes& bytes, unsigned timeout = kTimeoutMs, int* transferred = nullptr,
              uint8_t endpoint = kOutA) {
        int moved = 0;
        Bytes copy = bytes;
        const int rc = libusb_bulk_transfer(handle_, endpoint, copy.data(), static_cast<int>(copy.size()), &moved,
                                            timeout);
        if (transferred != nullptr) *transferred = moved;
        return rc;
    }
    // One bulk-in transfer, as it arrived: status bytes included.
    Bytes ReadRaw(size_t capacity = kReadBytes, int* rc = nullptr, uint8_t endpoint = kInA) {
        Bytes buffer(capacity);
        int got = 0;
        const int result = libusb_bulk_transfer(handle_, endpoint, buffer.data(), static_cast<int>(capacity), &got,
                                                kTimeoutMs);
        if (rc != nullptr) *rc = result;
        buffer.resize(static_cast<size_t>(got));
        return buffer;
    }
    // Strips the status bytes, checking the framing: every packet opens with
    // them, none is larger than the endpoint and only the last is short.
    Bytes Payload(const Bytes& raw) {
        const size_t packet = GetParam().packet;
        Bytes data;
        for (size_t offset = 0; offset < raw.size(); offset += packet) {
            const size_t size = std::min(packet, raw.size() - offset);
            EXPECT_GE(size, kStatusBytes);
            if (size < packet) {
                EXPECT_EQ(offset + size, raw.size()) << "a short packet inside a transfer";
            }
            EXPECT_EQ(raw[offset], kModemStatus);
            EXPECT_EQ(raw[offset + 1], kLineStatus);
            data.insert(data.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset + kStatusBytes),
                        raw.begin() + static_cast<std::ptrdiff_t>(offset + size));
        }
        return data;
    }
    // Reads until `count` data bytes came.
    Bytes ReadData(size_t count) {
        Bytes data;
        for (int tries = 0; data.size() < count && tries < kReadTries; ++tries) {
            const Bytes more = Payload(ReadRaw());
            data.insert(data.end(), more.begin(), more.end());
        }
        return data;
    }
    static Bytes Echo(const Bytes& data) {
        const size_t n = data.size() - 1;
        Bytes command = {mpsse::kLoopbackOn, mpsse::kShiftBytesInOut, static_cast<uint8_t>(n & kByteMask),
                         static_cast<uint8_t>(n >> kByteBits)};
        command.insert(command.end(), data.begin(), data.end());
        return command;
    }
    static Bytes Pattern(size_t count) {
        Bytes bytes(count);
        std::iota(bytes.begin(), bytes.end(), uint8_t{1});
        return bytes;
    }

    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
};

TEST_P(UsbDeviceTest, DescribesItselfAsAnFt2232) {
    const Chip& chip = GetParam();
    libusb_device* device = libusb_get_device(handle_);
    libusb_device_descriptor descriptor{};
    ASSERT_EQ(libusb_get_device_descriptor(device, &descriptor), LIBUSB_SUCCESS);
    EXPECT_EQ(descriptor.idVendor, vusbtest::kVendor);
    EXPECT_EQ(descriptor.idProduct, vusbtest::kProduct);
    EXPECT_EQ(descriptor.bcdDevice, chip.release);
    EXPECT_EQ(descriptor.bNumConfigurations, 1);
    EXPECT_EQ(libusb_get_device_speed(device), chip.packet == vusbtest::kChipH.packet ? LIBUSB_SPEED_HIGH
                                                                                        : LIBUSB_SPEED_FULL);

    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(device, &config), LIBUSB_SUCCESS);
    ASSERT_EQ(config->bNumInterfaces, 2);
    const uint8_t endpoints[2][2] = {{kInA, kOutA}, {kInB, kOutB}};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(config->interface[i].num_altsetting, 1);
        const libusb_interface_descriptor& setting = config->interface[i].altsetting[0];
        EXPECT_EQ(setting.bInterfaceNumber, i);
        ASSERT_EQ(setting.bNumEndpoints, 2);
        for (int e = 0; e < 2; ++e) {
            EXPECT_EQ(setting.endpoint[e].bEndpointAddress, endpoints[i][e]);
            EXPECT_EQ(setting.endpoint[e].bmAttributes & LIBUSB_TRANSFER_TYPE_MASK, LIBUSB_TRANSFER_TYPE_BULK);
            EXPECT_EQ(setting.endpoint[e].wMaxPacketSize, chip.packet);
        }
    }
    libusb_free_config_descriptor(config);

    unsigned char text[kStringBytes] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, descriptor.iProduct, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "USB Debug Bridge");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle_, kMissingString, text, sizeof text), LIBUSB_ERROR_PIPE);

    // The raw descriptor a GET_DESCRIPTOR request returns says the same.
    unsigned char raw[LIBUSB_DT_DEVICE_SIZE] = {};
    ASSERT_EQ(libusb_get_descriptor(handle_, LIBUSB_DT_DEVICE, 0, raw, sizeof raw), LIBUSB_DT_DEVICE_SIZE);
    auto field = [&](size_t offset) { return raw[offset] | raw[offset + 1] << kByteBits; };
    EXPECT_EQ(field(kVendorOffset), vusbtest::kVendor);
    EXPECT_EQ(field(kProductOffset), vusbtest::kProduct);
    EXPECT_EQ(field(kReleaseOffset), chip.release);
}

TEST_P(UsbDeviceTest, AnswersTheVendorRequests) {
    Bytes byte(1);
    EXPECT_EQ(Control(sio::kOut, sio::kSetLatency, kLatencyMs), 0);
    EXPECT_EQ(Control(sio::kIn, sio::kGetLatency, 0, &byte), 1);
    EXPECT_EQ(byte[0], kLatencyMs);
    EXPECT_EQ(Control(sio::kOut, sio::kSetLatency, 0), LIBUSB_ERROR_PIPE) << "the timer takes 1-255 ms";

    Bytes status(2);
    EXPECT_EQ(Control(sio::kIn, sio::kPollModemStatus, 0, &status), 2);
    EXPECT_EQ(status, (Bytes{kModemStatus, kLineStatus}));

    Bytes word(2);
    for (uint16_t address : {0, 1, 63}) {
        ASSERT_EQ(libusb_control_transfer(handle_, sio::kIn, sio::kReadEeprom, 0, address, word.data(), 2, kTimeoutMs),
                  2);
        EXPECT_EQ(word[0] | word[1] << kByteBits, kBlankEepromWord) << address;
    }
    EXPECT_EQ(Control(sio::kOut, sio::kUnknown, 0), LIBUSB_ERROR_PIPE);

    // Channel B's pins are wired to nothing: outputs read back, inputs read high.
    EnterMpsse(sio::kChannelB);
    ASSERT_EQ(libusb_claim_interface(handle_, 1), LIBUSB_SUCCESS);
    ASSERT_EQ(Write({mpsse::kSetLowBits, kPinValues, kPinDirections}, kTimeoutMs, nullptr, kOutB), 0);
    EXPECT_EQ(Control(sio::kIn, sio::kReadPins, 0, &byte, sio::kChannelB), 1);
    EXPECT_EQ(byte[0], kPinLevels);
    EXPECT_EQ(libusb_release_interface(handle_, 1), LIBUSB_SUCCESS);
}

TEST_P(UsbDeviceTest, EveryPacketOpensWithTheStatusBytes) {
    EnterMpsse();
    const size_t payload = GetParam().packet - kStatusBytes;
    for (size_t count : {size_t{1}, payload - 1, payload, payload + 1, 3 * payload, size_t{1000}}) {
        const Bytes data = Pattern(count);
        ASSERT_EQ(Write(Echo(data)), 0);
        const Bytes raw = ReadRaw();
        EXPECT_EQ(Payload(raw), data) << count;
        // Whole packets while data lasts, then a short one: alone with the
        // status bytes when the data filled the last packet exactly.
        const size_t packets = count / payload + 1;
        EXPECT_EQ(raw.size(), count + packets * kStatusBytes) << count;
    }
}

TEST_P(UsbDeviceTest, AReadWithNothingToSendGetsTheStatusBytesAlone) {
    EnterMpsse();
    EXPECT_EQ(Control(sio::kOut, sio::kSetLatency, 1), 0);
    int rc = 0;
    EXPECT_EQ(ReadRaw(kReadBytes, &rc), (Bytes{kModemStatus, kLineStatus}));
    EXPECT_EQ(rc, LIBUSB_SUCCESS);
}

TEST_P(UsbDeviceTest, AWriterThatNeverReadsStalls) {
    const Chip& chip = GetParam();
    EnterMpsse();
    // One reply byte per command: the MPSSE takes commands until its buffer
    // towards the host is full, the buffer from the host takes what follows.
    const size_t commands = chip.toHost + chip.fromHost + kOverflowCommands;
    const Bytes batch(commands, mpsse::kReadLowBits);
    int taken = 0;
    EXPECT_EQ(Write(batch, kStallTimeoutMs, &taken), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(static_cast<size_t>(taken), chip.toHost + chip.fromHost);
    EXPECT_GT(Report()["channels"][0]["refusals"].get<int>(), 0);

    // Reading frees the chip: the rest goes through and every reply arrives.
    Bytes replies = ReadData(chip.toHost);
    const Bytes rest(batch.begin() + taken, batch.end());
    ASSERT_EQ(Write(rest), 0);
    const Bytes more = ReadData(commands - replies.size());
    replies.insert(replies.end(), more.begin(), more.end());
    EXPECT_EQ(replies.size(), commands);
}

struct AsyncState {
    Bytes received;
    bool writeDone = false;
    libusb_transfer_status writeStatus = LIBUSB_TRANSFER_ERROR;
    size_t packet = 0;
    bool failed = false;
};

void LIBUSB_CALL OnWrite(libusb_transfer* transfer) {
    auto* state = static_cast<AsyncState*>(transfer->user_data);
    state->writeDone = true;
    state->writeStatus = transfer->status;
}

void LIBUSB_CALL OnRead(libusb_transfer* transfer) {
    auto* state = static_cast<AsyncState*>(transfer->user_data);
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED) {
        state->failed = transfer->status != LIBUSB_TRANSFER_CANCELLED;
        return;
    }
    for (int offset = 0; offset < transfer->actual_length; offset += static_cast<int>(state->packet)) {
        const int size = std::min(static_cast<int>(state->packet), transfer->actual_length - offset);
        state->received.insert(state->received.end(), transfer->buffer + offset + kStatusBytes,
                               transfer->buffer + offset + size);
    }
    if (libusb_submit_transfer(transfer) != LIBUSB_SUCCESS) state->failed = true;
}

TEST_P(UsbDeviceTest, AWriterWithReadsPostedNeverStalls) {
    const Chip& chip = GetParam();
    EnterMpsse();
    const size_t commands = kBatchesOfBuffers * (chip.toHost + chip.fromHost);
    Bytes batch(commands, mpsse::kReadLowBits);
    AsyncState state;
    state.packet = chip.packet;

    libusb_transfer* write = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(write, handle_, kOutA, batch.data(), static_cast<int>(batch.size()), OnWrite, &state, 0);
    std::vector<Bytes> buffers(2, Bytes(kPacketsPerRead * chip.packet));
    std::vector<libusb_transfer*> reads;
    for (Bytes& buffer : buffers) {
        libusb_transfer* read = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(read, handle_, kInA, buffer.data(), static_cast<int>(buffer.size()), OnRead, &state,
                                  0);
        ASSERT_EQ(libusb_submit_transfer(read), LIBUSB_SUCCESS);
        reads.push_back(read);
    }
    ASSERT_EQ(libusb_submit_transfer(write), LIBUSB_SUCCESS);
    const auto deadline = std::chrono::steady_clock::now() + kAsyncDeadline;
    while ((!state.writeDone || state.received.size() < commands) && !state.failed &&
           std::chrono::steady_clock::now() < deadline) {
        timeval tv{0, kEventSliceUs};
        ASSERT_EQ(libusb_handle_events_timeout_completed(context_, &tv, nullptr), LIBUSB_SUCCESS);
    }
    EXPECT_TRUE(state.writeDone);
    EXPECT_EQ(state.writeStatus, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_FALSE(state.failed);
    EXPECT_EQ(state.received.size(), commands);

    for (libusb_transfer* read : reads) EXPECT_EQ(libusb_cancel_transfer(read), LIBUSB_SUCCESS);
    for (int i = 0; i < kCancelRounds; ++i) {
        timeval tv{0, kCancelSliceUs};
        libusb_handle_events_timeout_completed(context_, &tv, nullptr);
    }
    for (libusb_transfer* read : reads) {
        EXPECT_EQ(read->status, LIBUSB_TRANSFER_CANCELLED);
        EXPECT_EQ(libusb_cancel_transfer(read), LIBUSB_ERROR_NOT_FOUND) << "already ended";
        libusb_free_transfer(read);
    }
    libusb_free_transfer(write);
}

TEST_P(UsbDeviceTest, PurgesEmptyEachBuffer) {
    const Chip& chip = GetParam();
    EnterMpsse();
    ASSERT_EQ(Write(Echo(Pattern(kOverflowingEcho))), 0);
    ASSERT_EQ(Control(sio::kOut, sio::kReset, sio::kPurgeToHost), 0);
    EXPECT_EQ(ReadRaw(), (Bytes{kModemStatus, kLineStatus}));

    // Commands held in the buffer from the host are dropped by its purge.
    int taken = 0;
    ASSERT_EQ(Write(Bytes(chip.toHost + chip.fromHost + 1, mpsse::kReadLowBits), kStallTimeoutMs, &taken),
              LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(Control(sio::kOut, sio::kReset, sio::kPurgeFromHost), 0);
    ASSERT_EQ(Control(sio::kOut, sio::kReset, sio::kPurgeToHost), 0);
    ASSERT_EQ(Write({mpsse::kReadLowBits}), 0);
    EXPECT_EQ(ReadData(1).size(), 1u);
    EXPECT_EQ(ReadRaw(), (Bytes{kModemStatus, kLineStatus}));
}

TEST_P(UsbDeviceTest, OutsideMpsseModeCommandsGoNowhere) {
    EnterMpsse();
    ASSERT_EQ(Control(sio::kOut, sio::kSetBitMode, 0), 0);
    ASSERT_EQ(Write({mpsse::kReadLowBits}), 0);
    EXPECT_EQ(ReadRaw(), (Bytes{kModemStatus, kLineStatus}));
}

TEST_P(UsbDeviceTest, ATransferTooShortForThePacketOverflows) {
    EnterMpsse();
    ASSERT_EQ(Write(Echo(Pattern(kOverflowingEcho))), 0);
    int rc = 0;
    const Bytes raw = ReadRaw(kShortRead, &rc);
    EXPECT_EQ(rc, LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(raw.size(), static_cast<size_t>(kShortRead));
}

TEST_P(UsbDeviceTest, AnInterfaceHasOneClaimant) {
    libusb_device_handle* other = nullptr;
    ASSERT_EQ(libusb_open(libusb_get_device(handle_), &other), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(other, 1), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_claim_interface(other, 2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(other, 1), LIBUSB_SUCCESS);
    libusb_close(other);
}

INSTANTIATE_TEST_SUITE_P(Usb, UsbDeviceTest, ::testing::ValuesIn(vusbtest::kChips), vusbtest::ChipName);

struct ProductCase {
    const char* descriptions;
    const char* product;  // null: no device
};

class UsbProductTest : public vusbtest::BenchTest, public ::testing::WithParamInterface<ProductCase> {};

TEST_P(UsbProductTest, ProductStringComesFromTheConfiguredDescriptions) {
    Boot(std::string(R"({"descriptions":)") + GetParam().descriptions + "}");
    libusb_context* context = nullptr;
    ASSERT_EQ(libusb_init(&context), LIBUSB_SUCCESS);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    ASSERT_EQ(count, GetParam().product != nullptr ? 1 : 0);
    if (count == 1) {
        libusb_device_handle* handle = nullptr;
        ASSERT_EQ(libusb_open(list[0], &handle), LIBUSB_SUCCESS);
        libusb_device_descriptor descriptor{};
        ASSERT_EQ(libusb_get_device_descriptor(list[0], &descriptor), LIBUSB_SUCCESS);
        unsigned char text[kStringBytes] = {};
        EXPECT_GE(libusb_get_string_descriptor_ascii(handle, descriptor.iProduct, text, sizeof text), 0);
        EXPECT_STREQ(reinterpret_cast<char*>(text), GetParam().product);
        libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    libusb_exit(context);
}

INSTANTIATE_TEST_SUITE_P(Usb, UsbProductTest,
                         ::testing::Values(ProductCase{R"(["Bench Probe A", "Bench Probe B"])", "Bench Probe"},
                                           ProductCase{R"(["Solo"])", "Solo"}, ProductCase{"[]", nullptr}));

}  // namespace
