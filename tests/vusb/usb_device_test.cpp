// The virtual FT2232 as any libusb program sees it: descriptors, vendor
// requests, bulk-in framing, the chip's buffers and their back-pressure, and
// the asynchronous transfer calls. Traffic is built by hand from the chip's
// published behaviour (MPSSE commands of AN_108).
#include <libusb.h>

#include <algorithm>
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
inline constexpr uint8_t kSetHighBits = 0x82;
inline constexpr uint8_t kSendImmediate = 0x87;
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
// Loopback on, then the shift's opcode and two length bytes.
inline constexpr size_t kEchoHeaderBytes = 4;
// Where the device descriptor keeps its identifiers.
inline constexpr int kReadTries = 1000;
inline constexpr size_t kStringBytes = 256;
inline constexpr size_t kVendorOffset = 8;
// The timing model (usb/usb_timing.h) as the report gives it.
inline constexpr uint64_t kPsPerNs = 1000;
inline constexpr uint64_t kPsPerMs = 1'000'000'000;
inline constexpr uint64_t kFullSpeedFramePs = kPsPerMs;
inline constexpr uint64_t kHighSpeedFramePs = kPsPerMs / 8;
inline constexpr uint32_t kBitsPerByte = 8;
inline constexpr size_t kTimedEcho = 40;  // fits one packet on either chip
inline constexpr uint16_t kTimedLatencyMs = 9;
inline constexpr uint8_t kMarkPin = 0x80;  // ACBUS7, wired to nothing
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
        // Sized up front: GCC 12 at -O3 misreads an insert behind a 4-byte
        // initializer list as out of bounds.
        Bytes command(kEchoHeaderBytes + data.size());
        command[0] = mpsse::kLoopbackOn;
        command[1] = mpsse::kShiftBytesInOut;
        command[2] = static_cast<uint8_t>(n & kByteMask);
        command[3] = static_cast<uint8_t>(n >> kByteBits);
        std::copy(data.begin(), data.end(), command.begin() + kEchoHeaderBytes);
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

// The channel's USB counters in the device's report, and one difference.
nlohmann::json Usb(const nlohmann::json& report) { return report["channels"][0]["usb"]; }
uint64_t Delta(const nlohmann::json& after, const nlohmann::json& before, const char* field) {
    return after[field].get<uint64_t>() - before[field].get<uint64_t>();
}

TEST_P(UsbDeviceTest, TransfersRunOnTheUsbTimingModel) {
    const uint64_t frame = GetParam().packet == vusbtest::kChipH.packet ? kHighSpeedFramePs : kFullSpeedFramePs;
    EnterMpsse();
    ASSERT_EQ(Control(sio::kOut, sio::kSetLatency, kTimedLatencyMs), 0);
    const nlohmann::json start = Usb(Report());
    EXPECT_EQ(start["control_requests"].get<uint64_t>(), 3u) << "bit mode twice and the latency timer";
    EXPECT_EQ(start["writes"].get<uint64_t>(), 0u);

    // With send-immediate the reply goes up as soon as the engine made it.
    const Bytes data = Pattern(kTimedEcho);
    Bytes command = Echo(data);
    command.push_back(mpsse::kSendImmediate);
    ASSERT_EQ(Write(command), 0);
    ASSERT_EQ(ReadData(data.size()), data);
    const nlohmann::json pushed = Usb(Report());
    EXPECT_EQ(Delta(pushed, start, "writes"), 1u);
    EXPECT_EQ(Delta(pushed, start, "bytes_out"), command.size());
    EXPECT_EQ(Delta(pushed, start, "reads"), 1u);
    EXPECT_EQ(Delta(pushed, start, "round_trips"), 1u);
    EXPECT_EQ(Delta(pushed, start, "bytes_in"), data.size());
    EXPECT_EQ(Delta(pushed, start, "wire_cycles"), data.size() * kBitsPerByte);
    EXPECT_EQ(Delta(pushed, start, "immediate_packets"), 1u);
    EXPECT_EQ(Delta(pushed, start, "latency_packets"), 0u);
    const uint64_t pushedPs = Delta(pushed, start, "modeled_ps");
    EXPECT_GE(pushedPs, Delta(pushed, start, "wire_ns") * kPsPerNs) << "the host waits for the wire at least";
    EXPECT_LT(pushedPs, 2 * frame) << "one transfer each way, the next frame at the latest";

    // Without it the reply waits in the chip for the latency timer, however
    // fast the virtual device handed it over.
    ASSERT_EQ(Write(Echo(data)), 0);
    ASSERT_EQ(ReadData(data.size()), data);
    const nlohmann::json waited = Usb(Report());
    EXPECT_EQ(Delta(waited, pushed, "latency_packets"), 1u);
    EXPECT_EQ(Delta(waited, pushed, "immediate_packets"), 0u);
    const uint64_t waitedPs = Delta(waited, pushed, "modeled_ps");
    EXPECT_GE(waitedPs, kTimedLatencyMs * kPsPerMs - frame);
    EXPECT_LT(waitedPs, kTimedLatencyMs * kPsPerMs + 2 * frame);

    // A poll that finds nothing is a transaction too: status bytes alone,
    // once the timer runs out again.
    ASSERT_EQ(ReadRaw(), (Bytes{kModemStatus, kLineStatus}));
    const nlohmann::json polled = Usb(Report());
    EXPECT_EQ(Delta(polled, waited, "reads"), 1u);
    EXPECT_EQ(Delta(polled, waited, "round_trips"), 1u);
    EXPECT_EQ(Delta(polled, waited, "bytes_in"), 0u);
    EXPECT_EQ(Delta(polled, waited, "latency_packets"), 1u);
    const uint64_t polledPs = Delta(polled, waited, "modeled_ps");
    EXPECT_GT(polledPs, 0u);
    EXPECT_LE(polledPs, kTimedLatencyMs * kPsPerMs + frame);

    // A control request takes a frame of its own.
    ASSERT_EQ(Control(sio::kOut, sio::kReset, sio::kPurgeToHost), 0);
    const nlohmann::json purged = Usb(Report());
    EXPECT_EQ(Delta(purged, polled, "control_requests"), 1u);
    EXPECT_GE(Delta(purged, polled, "modeled_ps"), frame);
    EXPECT_LE(Delta(purged, polled, "modeled_ps"), 2 * frame);
}

TEST_P(UsbDeviceTest, AcbusChangesMarkTheCounters) {
    EnterMpsse();
    const Bytes data = Pattern(kTimedEcho);
    Bytes work = Echo(data);
    work.push_back(mpsse::kSendImmediate);
    const Bytes raise = {mpsse::kSetHighBits, kMarkPin, kMarkPin};
    const Bytes lower = {mpsse::kSetHighBits, 0, kMarkPin};
    ASSERT_EQ(Write(raise), 0);
    ASSERT_EQ(Write(work), 0);
    ASSERT_EQ(ReadData(data.size()), data);
    ASSERT_EQ(Write(lower), 0);
    // Setting a latch to what it holds is no mark.
    ASSERT_EQ(Write(lower), 0);

    const nlohmann::json marks = Report()["channels"][0]["marks"];
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0]["high_pins"].get<uint8_t>(), kMarkPin);
    EXPECT_EQ(marks[1]["high_pins"].get<uint8_t>(), 0);
    // Each mark brackets the one transfer that carried it.
    for (const auto& mark : marks) {
        EXPECT_EQ(Delta(mark["after"], mark["before"], "writes"), 1u);
        EXPECT_EQ(Delta(mark["after"], mark["before"], "bytes_out"), raise.size());
        EXPECT_EQ(Delta(mark["after"], mark["before"], "reads"), 0u);
    }
    // Between them: exactly the work.
    const nlohmann::json& opened = marks[0]["after"];
    const nlohmann::json& closed = marks[1]["before"];
    EXPECT_EQ(Delta(closed, opened, "writes"), 1u);
    EXPECT_EQ(Delta(closed, opened, "bytes_out"), work.size());
    EXPECT_EQ(Delta(closed, opened, "reads"), 1u);
    EXPECT_EQ(Delta(closed, opened, "bytes_in"), data.size());
    EXPECT_EQ(Delta(closed, opened, "wire_cycles"), data.size() * kBitsPerByte);
    EXPECT_GT(Delta(closed, opened, "modeled_ps"), 0u);
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
