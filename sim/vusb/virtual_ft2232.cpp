#include "vusb/virtual_ft2232.h"

#include <libusb.h>

#include <algorithm>
#include <string_view>

#include "mpsse/mpsse_commands.h"
#include "vusb/descriptors.h"

namespace cm3sim::vusb {

namespace {

static_assert(VirtualProbe::kChannelCount == layout::kInterfaces);

// Every listed description is the product string plus a channel letter.
inline constexpr std::string_view kChannelASuffix = " A";
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint16_t kByteMask = 0xFF;
inline constexpr uint8_t kRequestTypeMask = 0x60;
inline constexpr uint8_t kDescriptorTypeShift = 8;
inline constexpr uint8_t kDeviceStatusBytes = 2;

ControlResult Reply(std::span<uint8_t> data, std::span<const uint8_t> answer) {
    const size_t n = std::min(data.size(), answer.size());
    std::copy_n(answer.begin(), n, data.begin());
    return {ControlStatus::Ok, n};
}

// A program that keeps toggling ACBUS should not grow the report without end.
inline constexpr size_t kMaxMarks = 4096;

constexpr ControlResult kStall{ControlStatus::Stall, 0};
constexpr ControlResult kAccepted{ControlStatus::Ok, 0};

}  // namespace

VirtualFt2232::VirtualFt2232() { benchReplaced(); }

VirtualProbe& VirtualFt2232::probe() const { return GlobalProbe(); }

bool VirtualFt2232::present() const { return !probe().config().descriptions.empty(); }

ChipType VirtualFt2232::chip() const { return probe().config().chip; }

uint16_t VirtualFt2232::packetSize() const { return PacketSize(chip()); }

std::string VirtualFt2232::product() const {
    const auto& descriptions = probe().config().descriptions;
    if (descriptions.empty()) return {};
    std::string_view text = descriptions.front();
    if (text.ends_with(kChannelASuffix)) text.remove_suffix(kChannelASuffix.size());
    return std::string(text);
}

std::optional<std::string> VirtualFt2232::stringText(uint8_t index) const {
    switch (index) {
    case string_index::kManufacturer:
        return std::string(kManufacturer);
    case string_index::kProduct:
        return product();
    default:
        return std::nullopt;
    }
}

std::optional<size_t> VirtualFt2232::ChannelOfEndpoint(uint8_t endpoint) {
    for (size_t i = 0; i < layout::kInterfaces; ++i) {
        if (endpoint == layout::kInEndpoint[i] || endpoint == layout::kOutEndpoint[i]) return i;
    }
    return std::nullopt;
}

bool VirtualFt2232::IsIn(uint8_t endpoint) { return (endpoint & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN; }

ControlResult VirtualFt2232::control(const SetupPacket& setup, std::span<uint8_t> data) {
    data = data.first(std::min<size_t>(data.size(), setup.length));
    switch (setup.requestType & kRequestTypeMask) {
    case LIBUSB_REQUEST_TYPE_STANDARD:
        return standard(setup, data);
    case LIBUSB_REQUEST_TYPE_VENDOR:
        return vendor(setup, data);
    default:
        return kStall;
    }
}

ControlResult VirtualFt2232::standard(const SetupPacket& setup, std::span<uint8_t> data) {
    switch (setup.request) {
    case LIBUSB_REQUEST_GET_DESCRIPTOR: {
        const auto type = static_cast<uint8_t>(setup.value >> kDescriptorTypeShift);
        const auto index = static_cast<uint8_t>(setup.value & kByteMask);
        switch (type) {
        case LIBUSB_DT_DEVICE:
            return Reply(data, Serialize(DeviceDescriptor(chip())));
        case LIBUSB_DT_CONFIG: {
            if (index != 0) return kStall;
            const OwnedConfiguration configuration(chip());
            return Reply(data, Serialize(configuration.config));
        }
        case LIBUSB_DT_STRING: {
            if (index == string_index::kLanguages) return Reply(data, LanguageDescriptor());
            const std::optional<std::string> text = stringText(index);
            if (!text) return kStall;
            return Reply(data, StringDescriptor(*text));
        }
        default:
            return kStall;
        }
    }
    case LIBUSB_REQUEST_GET_CONFIGURATION: {
        const uint8_t value = layout::kConfigurationValue;
        return Reply(data, std::span<const uint8_t>(&value, 1));
    }
    case LIBUSB_REQUEST_GET_INTERFACE: {
        const uint8_t setting = 0;
        return Reply(data, std::span<const uint8_t>(&setting, 1));
    }
    case LIBUSB_REQUEST_GET_STATUS: {
        const std::array<uint8_t, kDeviceStatusBytes> status{};
        return Reply(data, status);
    }
    case LIBUSB_REQUEST_SET_CONFIGURATION:
    case LIBUSB_REQUEST_SET_INTERFACE:
    case LIBUSB_REQUEST_CLEAR_FEATURE:
    case LIBUSB_REQUEST_SET_FEATURE:
        return kAccepted;
    default:
        return kStall;
    }
}

ControlResult VirtualFt2232::vendor(const SetupPacket& setup, std::span<uint8_t> data) {
    const uint16_t portIndex = setup.index & request::kChannelIndexMask;
    // Index 0 reaches channel A, as on single-channel parts.
    const size_t ch = portIndex == 0 ? 0 : portIndex - request::kFirstChannelIndex;
    const bool eepromRequest = setup.request == request::kReadEeprom || setup.request == request::kWriteEeprom ||
                               setup.request == request::kEraseEeprom;
    if (ch >= layout::kInterfaces && !eepromRequest) return kStall;
    // Every vendor request is a control transfer of its own; the EEPROM's
    // are charged to channel A.
    controlTransfer(ch < layout::kInterfaces ? ch : VirtualProbe::kTargetChannel);
    switch (setup.request) {
    case request::kReset: {
        AdapterChannel& channel = probe().channel(ch);
        if (setup.value == reset_value::kSio || setup.value == reset_value::kPurgeFromHost) purgeFromHost(ch);
        if (setup.value == reset_value::kSio || setup.value == reset_value::kPurgeToHost) {
            channel.engine().purgeReplies();
            timing(ch).purgeReplies();
        }
        if (setup.value > reset_value::kPurgeToHost) return kStall;
        run(ch);
        return kAccepted;
    }
    case request::kModemControl:
    case request::kSetFlowControl:
    case request::kSetBaudRate:
    case request::kSetData:
    case request::kSetEventChar:
    case request::kSetErrorChar:
        // The UART side is wired to nothing; its settings change nothing seen here.
        return kAccepted;
    case request::kPollModemStatus: {
        const std::array<uint8_t, modem_status::kBytes> status = {modem_status::kModem, modem_status::kLine};
        return Reply(data, status);
    }
    case request::kSetLatencyTimer: {
        const uint16_t ms = setup.value & kByteMask;
        if (ms < kMinLatencyMs) return kStall;
        probe().channel(ch).latencyMs = static_cast<uint8_t>(ms);
        return kAccepted;
    }
    case request::kGetLatencyTimer: {
        const uint8_t ms = probe().channel(ch).latencyMs;
        return Reply(data, std::span<const uint8_t>(&ms, 1));
    }
    case request::kSetBitMode:
        probe().channel(ch).setBitMode(
            static_cast<uint8_t>((setup.value >> bit_mode_value::kModeShift) & bit_mode_value::kModeMask));
        // A reset of the MPSSE puts its latches back; that is no mark.
        timing_[ch].highPins = probe().channel(ch).engine().highPins().value;
        run(ch);
        return kAccepted;
    case request::kReadPins: {
        const uint8_t levels = pinLevels(ch);
        return Reply(data, std::span<const uint8_t>(&levels, 1));
    }
    case request::kReadEeprom: {
        // The address lines above the part's size are not connected.
        const uint16_t word = eeprom_[setup.index % eeprom_.size()];
        const std::array<uint8_t, eeprom::kWordBytes> bytes = {static_cast<uint8_t>(word & kByteMask),
                                                               static_cast<uint8_t>(word >> kByteBits)};
        return Reply(data, bytes);
    }
    case request::kWriteEeprom:
        eeprom_[setup.index % eeprom_.size()] = setup.value;
        return kAccepted;
    case request::kEraseEeprom:
        std::fill(eeprom_.begin(), eeprom_.end(), eeprom::kBlankWord);
        return kAccepted;
    default:
        return kStall;
    }
}

size_t VirtualFt2232::fromHostCapacity() const {
    return chip() == ChipType::Ft2232H ? buffer::kFromHostH : buffer::kFromHostD;
}

size_t VirtualFt2232::toHostCapacity() const {
    return chip() == ChipType::Ft2232H ? buffer::kToHostH : buffer::kToHostD;
}

UsbTiming& VirtualFt2232::timing(size_t ch) const { return probe().channel(ch).usbTiming; }

void VirtualFt2232::run(size_t ch) {
    AdapterChannel& channel = probe().channel(ch);
    std::deque<uint8_t>& queue = buffers_[ch].fromHost;
    if (channel.bitMode() != bit_mode::kMpsse) {
        // Out of the UART, to nothing.
        bytesDropped(ch, queue.size());
        queue.clear();
        return;
    }
    MpsseEngine& engine = channel.engine();
    // A wait on GPIOL1 may be over.
    if (engine.stalled()) feed(ch, {}, false);
    // One byte at a time, so the MPSSE stops at the first command after its
    // buffer towards the host fills.
    const size_t capacity = toHostCapacity();
    while (!queue.empty() && !engine.stalled() && engine.replyBytesQueued() < capacity) {
        const uint8_t byte = queue.front();
        queue.pop_front();
        feed(ch, std::span<const uint8_t>(&byte, 1), engine.commandBytesPending() == 0);
    }
}

void VirtualFt2232::feed(size_t ch, std::span<const uint8_t> bytes, bool opcodeNext) {
    AdapterChannel& channel = probe().channel(ch);
    MpsseEngine& engine = channel.engine();
    ChannelTiming& t = timing_[ch];
    const bool wasStalled = engine.stalled();
    const uint64_t ns = probe().time().totalNs();
    const uint64_t cycles = engine.clockCycles();
    const size_t replies = engine.replyBytesQueued();
    channel.write(bytes);
    t.executed += bytes.size();
    t.commandNs += probe().time().totalNs() - ns;
    t.commandCycles += engine.clockCycles() - cycles;
    t.commandReplies += engine.replyBytesQueued() - replies;
    if (engine.commandBytesPending() != 0 || engine.stalled()) return;
    if (bytes.empty() && !wasStalled) return;
    const bool immediate = opcodeNext && bytes.size() == 1 && bytes[0] == mpsse::opcode::kSendImmediate;
    commandCompleted(ch, immediate);
}

void VirtualFt2232::commandCompleted(size_t ch, bool sendImmediate) {
    ChannelTiming& t = timing_[ch];
    UsbTiming& model = timing(ch);
    // A command whose bytes came before the open transfer's (or with none
    // open) runs on bytes the chip already holds: as the model's first byte
    // of the write, which changes no packet's time.
    const uint64_t offset = t.writeOpen && t.executed > t.writeBase ? t.executed - t.writeBase : 1;
    model.commandDone(static_cast<uint32_t>(offset), t.commandNs, t.commandCycles,
                      static_cast<uint32_t>(t.commandReplies), sendImmediate);
    t.commandNs = 0;
    t.commandCycles = 0;
    t.commandReplies = 0;
    const uint8_t high = probe().channel(ch).engine().highPins().value;
    if (high != t.highPins) {
        t.highPins = high;
        if (t.marks.size() < kMaxMarks) {
            t.marks.push_back(PinMark{high, t.writeOpen ? t.beforeWrite : model.counters(), model.counters()});
            if (t.writeOpen) t.markOfWrite = t.marks.size() - 1;
        }
    }
    if (t.writeOpen && t.executed >= t.writeEnd) endHostWrite(ch);
}

void VirtualFt2232::bytesDropped(size_t ch, size_t count) {
    ChannelTiming& t = timing_[ch];
    t.executed += count;
    t.commandNs = 0;
    t.commandCycles = 0;
    t.commandReplies = 0;
    if (t.writeOpen && t.executed >= t.writeEnd) endHostWrite(ch);
}

void VirtualFt2232::hostWriteBegins(size_t ch, size_t bytes) {
    ChannelTiming& t = timing_[ch];
    // The last transfer's bytes still queued then run as part of this one.
    if (t.writeOpen) endHostWrite(ch);
    UsbTiming& model = timing(ch);
    t.beforeWrite = model.counters();
    model.beginWrite(BusOf(chip()), probe().channel(ch).latencyMs, static_cast<uint32_t>(bytes));
    t.writeOpen = true;
    t.writeBase = t.received;
    t.writeEnd = t.received + bytes;
    if (bytes == 0) endHostWrite(ch);
}

void VirtualFt2232::hostWriteAbandoned(size_t ch) {
    ChannelTiming& t = timing_[ch];
    if (!t.writeOpen) return;
    t.writeEnd = t.received;
    if (t.executed >= t.writeEnd) endHostWrite(ch);
}

void VirtualFt2232::endHostWrite(size_t ch) {
    ChannelTiming& t = timing_[ch];
    UsbTiming& model = timing(ch);
    model.endWrite();
    t.writeOpen = false;
    if (t.markOfWrite) t.marks[*t.markOfWrite].after = model.counters();
    t.markOfWrite.reset();
}

void VirtualFt2232::hostReadEnded(size_t ch, size_t dataBytes) {
    const uint8_t latency = probe().channel(ch).latencyMs;
    if (dataBytes == 0) {
        timing(ch).statusOnlyRead(BusOf(chip()), latency);
        return;
    }
    const auto bytes = static_cast<uint32_t>(dataBytes);
    timing(ch).read(BusOf(chip()), latency, bytes, bytes);
}

void VirtualFt2232::controlTransfer(size_t ch) { timing(ch).control(BusOf(chip())); }

size_t VirtualFt2232::fromHost(size_t ch, std::span<const uint8_t> bytes) {
    std::deque<uint8_t>& queue = buffers_[ch].fromHost;
    const size_t capacity = fromHostCapacity();
    size_t taken = 0;
    run(ch);
    while (taken < bytes.size() && queue.size() < capacity) {
        const size_t n = std::min(capacity - queue.size(), bytes.size() - taken);
        queue.insert(queue.end(), bytes.begin() + static_cast<std::ptrdiff_t>(taken),
                     bytes.begin() + static_cast<std::ptrdiff_t>(taken + n));
        taken += n;
        timing_[ch].received += n;
        run(ch);
    }
    if (taken < bytes.size()) ++stats_[ch].refusals;
    stats_[ch].bytesFromHost += taken;
    return taken;
}

void VirtualFt2232::writeStatus(std::span<uint8_t> packet) const {
    packet[0] = modem_status::kModem;
    packet[1] = modem_status::kLine;
}

InPackets VirtualFt2232::fullPackets(size_t ch, std::span<uint8_t> room) {
    InPackets out;
    const size_t packet = packetSize();
    const size_t payload = packet - modem_status::kBytes;
    MpsseEngine& engine = probe().channel(ch).engine();
    run(ch);
    while (room.size() - out.bytes >= packet && engine.replyBytesQueued() >= payload) {
        const std::span<uint8_t> p = room.subspan(out.bytes, packet);
        writeStatus(p);
        engine.read(p.subspan(modem_status::kBytes));
        out.bytes += packet;
        out.data += payload;
        stats_[ch].bytesToHost += payload;
        ++stats_[ch].packetsToHost;
        // Room towards the host lets a held-up MPSSE go on.
        run(ch);
    }
    return out;
}

InPackets VirtualFt2232::finalPacket(size_t ch, std::span<uint8_t> room) {
    InPackets out;
    out.ended = true;
    const size_t payload = packetSize() - modem_status::kBytes;
    MpsseEngine& engine = probe().channel(ch).engine();
    run(ch);
    const size_t data = std::min(engine.replyBytesQueued(), payload);
    const size_t size = modem_status::kBytes + data;
    std::array<uint8_t, layout::kHighSpeedPacket> packet{};
    writeStatus(packet);
    engine.read(std::span<uint8_t>(packet).subspan(modem_status::kBytes, data));
    // A packet larger than the room left overflows the transfer: what fits
    // arrives, the rest is lost.
    out.overflow = size > room.size();
    out.bytes = std::min(size, room.size());
    out.data = data;
    std::copy_n(packet.begin(), out.bytes, room.begin());
    stats_[ch].bytesToHost += data;
    ++stats_[ch].packetsToHost;
    run(ch);
    return out;
}

size_t VirtualFt2232::waitingForHost(size_t ch) {
    run(ch);
    return probe().channel(ch).engine().replyBytesQueued();
}

uint8_t VirtualFt2232::latencyMs(size_t ch) { return probe().channel(ch).latencyMs; }

void VirtualFt2232::purgeFromHost(size_t ch) {
    bytesDropped(ch, buffers_[ch].fromHost.size());
    buffers_[ch].fromHost.clear();
    probe().channel(ch).engine().purgeCommands();
}

uint8_t VirtualFt2232::pinLevels(size_t ch) {
    if (ch == VirtualProbe::kTargetChannel) return probe().board().lowLevels();
    return UnwiredPins::Level(probe().channel(ch).engine().lowPins());
}

void VirtualFt2232::busReset() {
    for (size_t ch = 0; ch < layout::kInterfaces; ++ch) {
        AdapterChannel& channel = probe().channel(ch);
        channel.setBitMode(bit_mode::kReset);
        channel.latencyMs = kDefaultLatencyMs;
        channel.engine().purgeReplies();
        timing(ch).purgeReplies();
        purgeFromHost(ch);
        timing_[ch].highPins = channel.engine().highPins().value;
    }
}

void VirtualFt2232::benchReplaced() {
    for (ChannelBuffers& buffers : buffers_) buffers.fromHost.clear();
    stats_ = {};
    timing_ = {};
    eeprom_.assign(chip() == ChipType::Ft2232H ? eeprom::kWordsH : eeprom::kWordsD, eeprom::kBlankWord);
}

}  // namespace cm3sim::vusb
