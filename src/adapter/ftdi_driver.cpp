// Setup, mode, purge and latency requests go through libftdi1; the data path
// runs on libusb asynchronous bulk transfers on the device libftdi1 opened.
//
// The chip stops taking MPSSE commands once its buffer towards the host is
// full, so a batch holding many reads stalls unless the replies drain while it
// is still being written. IN transfers therefore stay posted for the life of
// the handle; whenever one of our calls waits on the USB context (write, read,
// and libftdi1's control requests, which wait on the same context) their data
// goes to the receive queue and they are posted again. libftdi1's own read
// submission does not fit: it resubmits itself until data comes, so a read
// could never time out.
//
// No thread of our own: the library has none, callbacks then only ever run
// inside our calls (under the adapter lock), and between calls the posted
// transfers still take what the chip sends until they fill.
#include "adapter/ftdi_driver.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "adapter/backend.h"
#include "adapter/ftdi_channels.h"
#include "adapter/ftdi_receive_queue.h"
#include "adapter/mpsse.h"
#include "adapter/mpsse_follower.h"

namespace cm3probe::adapter::ftdi {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace transfer {
// Whole packets for full-speed (64-byte) and high-speed (512-byte) endpoints.
inline constexpr size_t kReadBytes = 4096;
// Two, so one is always posted while the other's data is queued.
inline constexpr size_t kReadsPosted = 2;
// Small chunks, several in flight: the chip stays fed, and a finished chunk
// shows progress even at the slowest clock.
inline constexpr size_t kWriteChunkBytes = 512;
inline constexpr size_t kWritesPosted = 4;
inline constexpr unsigned kNoTimeout = 0;
inline constexpr int kNoIsoPackets = 0;
}  // namespace transfer

namespace wait {
// Longest single wait on the USB context, so deadlines are checked often.
inline constexpr milliseconds kSlice{50};
inline constexpr milliseconds kShortestSlice{1};
// Cancelled transfers come back at once; the bound only keeps a broken host
// controller from hanging us.
inline constexpr milliseconds kCancel{1000};
// No write chunk taken for this long: the chip is wedged. At the slowest
// clock (about 46 Hz) a chunk of commands runs in well under half of it.
inline constexpr milliseconds kWriteStall{60000};
}  // namespace wait

// A string descriptor holds at most 126 UTF-16 characters.
inline constexpr int kStringBufferBytes = 256;
// The list holds a reference on each device; freeing it drops them.
inline constexpr int kUnrefDevices = 1;

struct Device;

struct Slot {
    Device* device = nullptr;
    libusb_transfer* transfer = nullptr;
    std::vector<uint8_t> buffer;
    bool posted = false;
};

struct Device {
    ftdi_context* context = nullptr;
    bool open = false;
    bool stopping = false;  // IN transfers are being cancelled: do not post them again
    bool failed = false;    // the IN side stopped on a USB error
    bool wedged = false;    // a cancelled transfer never came back: nothing may reuse it
    size_t packetSize = 0;
    ReceiveQueue received;
    MpsseFollower follower;
    std::array<Slot, transfer::kReadsPosted> reads;
    std::array<Slot, transfer::kWritesPosted> writes;
};

template <typename Body>
UsbStatus Guarded(Body&& body) noexcept {
    // Nothing may unwind through the C ABI; only allocation can throw here.
    try {
        return body();
    } catch (...) {
        return kUsbFailed;
    }
}

// libftdi1 names the endpoints from the chip's side.
unsigned char ToChip(const Device& device) { return static_cast<unsigned char>(device.context->in_ep); }
unsigned char FromChip(const Device& device) { return static_cast<unsigned char>(device.context->out_ep); }

timeval ToTimeval(milliseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const auto micro = std::chrono::duration_cast<std::chrono::microseconds>(duration - seconds);
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(seconds.count());
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(micro.count());
    return tv;
}

// Runs due callbacks, waiting at most `slice` for one. False when the event
// loop itself fails.
bool Pump(Device& device, milliseconds slice) {
    timeval tv = ToTimeval(slice);
    const int rc = libusb_handle_events_timeout_completed(device.context->usb_ctx, &tv, nullptr);
    return rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_INTERRUPTED;
}

bool Post(Slot& slot, unsigned char endpoint, size_t length, libusb_transfer_cb_fn done) {
    const Device& device = *slot.device;
    libusb_fill_bulk_transfer(slot.transfer, device.context->usb_dev, endpoint, slot.buffer.data(),
                              static_cast<int>(length), done, &slot, transfer::kNoTimeout);
    slot.posted = libusb_submit_transfer(slot.transfer) == LIBUSB_SUCCESS;
    return slot.posted;
}

size_t ReadLength(const Device& device) {
    if (device.packetSize == 0) return transfer::kReadBytes;
    // A transfer shorter than a packet would overflow on a full one.
    return std::max<size_t>(transfer::kReadBytes / device.packetSize, 1) * device.packetSize;
}

void LIBUSB_CALL OnReadDone(libusb_transfer* transfer);

void PostRead(Slot& slot) {
    Device& device = *slot.device;
    if (!Post(slot, FromChip(device), ReadLength(device), OnReadDone)) device.failed = true;
}

void LIBUSB_CALL OnReadDone(libusb_transfer* transfer) {
    Slot& slot = *static_cast<Slot*>(transfer->user_data);
    Device& device = *slot.device;
    slot.posted = false;
    if (transfer->status == LIBUSB_TRANSFER_CANCELLED) return;
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED) {
        device.failed = true;
        return;
    }
    try {
        PushPayload(device.received, transfer->buffer, static_cast<size_t>(transfer->actual_length),
                    device.packetSize);
    } catch (...) {
        device.failed = true;
        return;
    }
    if (!device.stopping) PostRead(slot);
}

void LIBUSB_CALL OnWriteDone(libusb_transfer* transfer) { static_cast<Slot*>(transfer->user_data)->posted = false; }

template <size_t N>
bool AnyPosted(const std::array<Slot, N>& slots) {
    return std::any_of(slots.begin(), slots.end(), [](const Slot& slot) { return slot.posted; });
}

template <size_t N>
void Cancel(std::array<Slot, N>& slots) {
    for (Slot& slot : slots) {
        if (slot.posted) libusb_cancel_transfer(slot.transfer);
    }
}

// Waits for cancelled transfers to come back. One that never does is left
// posted for good: libusb forbids freeing it, so the handle turns unusable.
template <size_t N>
bool Reap(Device& device, const std::array<Slot, N>& slots) {
    const auto deadline = Clock::now() + wait::kCancel;
    while (AnyPosted(slots)) {
        if (Clock::now() >= deadline) {
            device.wedged = true;
            return false;
        }
        Pump(device, wait::kSlice);
    }
    return true;
}

bool StopReads(Device& device) {
    device.stopping = true;
    Cancel(device.reads);
    const bool stopped = Reap(device, device.reads);
    device.stopping = false;
    return stopped;
}

void StartReads(Device& device) {
    for (Slot& slot : device.reads) {
        if (!slot.posted && !device.failed) PostRead(slot);
    }
}

template <size_t N>
bool AllocateSlots(Device& device, std::array<Slot, N>& slots, size_t bytes) {
    for (Slot& slot : slots) {
        slot.device = &device;
        slot.buffer.resize(bytes);
        slot.transfer = libusb_alloc_transfer(transfer::kNoIsoPackets);
        if (slot.transfer == nullptr) return false;
    }
    return true;
}

template <size_t N>
void FreeSlots(std::array<Slot, N>& slots) {
    for (Slot& slot : slots) {
        if (slot.transfer != nullptr && !slot.posted) {
            libusb_free_transfer(slot.transfer);
            slot.transfer = nullptr;
        }
    }
}

void StopAll(Device& device) {
    device.stopping = true;
    Cancel(device.reads);
    Cancel(device.writes);
    Reap(device, device.reads);
    Reap(device, device.writes);
    device.stopping = false;
}

bool Quiet(const Device& device) { return !AnyPosted(device.reads) && !AnyPosted(device.writes); }

// Closes the device and frees the libftdi1 context once no transfer is left;
// the record itself stays. Returns the close call's result.
int CloseDevice(Device& device) {
    FreeSlots(device.reads);
    FreeSlots(device.writes);
    const int rc = ftdi_usb_close(device.context);
    device.open = false;
    ftdi_free(device.context);
    device.context = nullptr;
    return rc;
}

void Release(Device* device) {
    if (device == nullptr) return;
    if (device->open) {
        StopAll(*device);
        // A transfer that never came back still points into the record.
        if (!Quiet(*device)) return;
        CloseDevice(*device);
    } else {
        FreeSlots(device->reads);
        FreeSlots(device->writes);
        if (device->context != nullptr) ftdi_free(device->context);
    }
    delete device;
}

struct Releaser {
    void operator()(Device* device) const { Release(device); }
};
using DevicePtr = std::unique_ptr<Device, Releaser>;

// Lets a call through to an open device that can still carry traffic.
UsbStatus Admit(UsbHandle handle, Device*& device) {
    device = static_cast<Device*>(handle);
    if (device == nullptr || !device->open) return status::kBadArgument;
    return device->wedged ? status::kTransfer : kUsbOk;
}

// libusb's own context for listing, released on every path.
struct UsbSession {
    libusb_context* context = nullptr;
    bool started = false;
    UsbSession() { started = libusb_init(&context) == LIBUSB_SUCCESS; }
    ~UsbSession() {
        if (started) libusb_exit(context);
    }
    UsbSession(const UsbSession&) = delete;
    UsbSession& operator=(const UsbSession&) = delete;
};

struct DeviceList {
    libusb_device** devices = nullptr;
    ssize_t count = 0;
    explicit DeviceList(libusb_context* usb) { count = libusb_get_device_list(usb, &devices); }
    ~DeviceList() {
        if (count >= 0) libusb_free_device_list(devices, kUnrefDevices);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    bool Ok() const { return count >= 0; }
    std::span<libusb_device*> All() const { return {devices, Ok() ? static_cast<size_t>(count) : 0}; }
};

struct Identity {
    std::array<char, kStringBufferBytes> product{};
    size_t productLength = 0;
    uint32_t channels = 0;
    std::string_view Product() const { return {product.data(), productLength}; }
};

// False for other vendors, and for devices whose strings cannot be read
// (no permission on the device node): those are left out, not fatal.
bool Identify(libusb_device* device, Identity& identity) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
    if (descriptor.idVendor != kVendorId) return false;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return false;
    int length = 0;
    if (descriptor.iProduct != 0) {
        length = libusb_get_string_descriptor_ascii(handle, descriptor.iProduct,
                                                    reinterpret_cast<unsigned char*>(identity.product.data()),
                                                    kStringBufferBytes);
    }
    libusb_close(handle);
    if (length < 0) return false;
    identity.productLength = static_cast<size_t>(length);
    identity.channels = ChannelCount(descriptor.bcdDevice);
    return true;
}

UsbStatus ListByDescription(Description* descriptions, uint32_t capacity, uint32_t* count) {
    return Guarded([&]() -> UsbStatus {
        if (count == nullptr) return status::kBadArgument;
        *count = 0;
        if (capacity != 0 && descriptions == nullptr) return status::kBadArgument;
        UsbSession session;
        if (!session.started) return status::kUnavailable;
        DeviceList list(session.context);
        if (!list.Ok()) return status::kUnavailable;
        for (libusb_device* device : list.All()) {
            Identity identity;
            if (Identify(device, identity)) {
                AppendChannels(identity.Product(), identity.channels, descriptions, capacity, count);
            }
        }
        return kUsbOk;
    });
}

UsbStatus OpenByDescription(const char* description, UsbHandle* handle) {
    return Guarded([&]() -> UsbStatus {
        if (handle == nullptr) return status::kBadArgument;
        *handle = nullptr;
        if (description == nullptr) return status::kBadArgument;
        const std::string_view wanted(description, strnlen(description, kDescriptionSize));
        // Nothing is listed that long.
        if (wanted.size() > kMaxDescriptionLength) return status::kNotFound;

        DevicePtr device(new Device);
        device->context = ftdi_new();
        if (device->context == nullptr) return status::kUnavailable;
        ftdi_context* context = device->context;
        // The device must come from the context libftdi1 will use.
        DeviceList list(context->usb_ctx);
        if (!list.Ok()) return status::kUnavailable;
        libusb_device* found = nullptr;
        uint32_t channel = 0;
        for (libusb_device* candidate : list.All()) {
            Identity identity;
            if (!Identify(candidate, identity)) continue;
            if (auto match = MatchChannel(identity.Product(), identity.channels, wanted)) {
                found = candidate;
                channel = *match;
                break;
            }
        }
        if (found == nullptr) return status::kNotFound;

        const auto port = static_cast<ftdi_interface>(INTERFACE_A + static_cast<int>(channel));
        if (ftdi_set_interface(context, port) < 0) return kUsbFailed;
        if (ftdi_usb_open_dev(context, found) < 0) return kUsbFailed;
        device->open = true;
        device->packetSize = context->max_packet_size;
        if (ftdi_usb_reset(context) < 0) return kUsbFailed;
        const size_t readBytes = std::max(transfer::kReadBytes, device->packetSize);
        if (!AllocateSlots(*device, device->reads, readBytes)) return kUsbFailed;
        if (!AllocateSlots(*device, device->writes, transfer::kWriteChunkBytes)) return kUsbFailed;
        StartReads(*device);
        if (device->failed) return status::kTransfer;
        *handle = device.release();
        return kUsbOk;
    });
}

UsbStatus SetBitMode(UsbHandle handle, uint8_t outputMask, uint8_t mode) {
    Device* device = nullptr;
    if (const UsbStatus admitted = Admit(handle, device); admitted != kUsbOk) return admitted;
    if (ftdi_set_bitmode(device->context, outputMask, mode) < 0) return kUsbFailed;
    Restart(device->follower);
    return kUsbOk;
}

// Sends `count` bytes in chunks, several in flight, while the posted IN
// transfers drain the replies. One endpoint finishes its transfers in order,
// so the bytes taken are counted chunk by chunk up to the first short one.
// `sendImmediate` adds that command after the caller's bytes, in the same
// transfer; `written` counts only the caller's.
UsbStatus WriteAll(Device& device, const uint8_t* data, size_t callerCount, bool sendImmediate, uint32_t* written) {
    const size_t count = callerCount + (sendImmediate ? 1 : 0);
    constexpr size_t kSlots = transfer::kWritesPosted;
    size_t posted = 0;
    size_t taken = 0;
    bool gap = false;
    uint64_t head = 0;  // oldest chunk in flight
    uint64_t tail = 0;  // next chunk to post
    UsbStatus result = kUsbOk;
    auto lastProgress = Clock::now();
    bool cancelled = false;
    Clock::time_point cancelDeadline{};

    for (;;) {
        while (result == kUsbOk && posted < count && tail - head < kSlots) {
            Slot& slot = device.writes[tail % kSlots];
            const size_t length = std::min(transfer::kWriteChunkBytes, count - posted);
            const size_t fromCaller = std::min(length, callerCount - std::min(posted, callerCount));
            if (fromCaller != 0) std::memcpy(slot.buffer.data(), data + posted, fromCaller);
            if (fromCaller < length) slot.buffer[fromCaller] = mpsse::kSendImmediate;
            if (!Post(slot, ToChip(device), length, OnWriteDone)) {
                result = status::kTransfer;
                break;
            }
            posted += length;
            ++tail;
        }
        while (head < tail && !device.writes[head % kSlots].posted) {
            const libusb_transfer* done = device.writes[head % kSlots].transfer;
            const bool whole = done->status == LIBUSB_TRANSFER_COMPLETED && done->actual_length == done->length;
            if (!gap) taken += static_cast<size_t>(done->actual_length);
            if (whole) {
                lastProgress = Clock::now();
            } else {
                gap = true;
                if (result == kUsbOk) result = status::kTransfer;
            }
            ++head;
        }
        *written = static_cast<uint32_t>(std::min(taken, callerCount));
        if (head == tail && (posted == count || result != kUsbOk)) break;

        const auto now = Clock::now();
        if (result == kUsbOk && device.failed) result = status::kTransfer;
        if (result == kUsbOk && now - lastProgress > wait::kWriteStall) result = status::kTimedOut;
        if (result != kUsbOk && !cancelled) {
            Cancel(device.writes);
            cancelled = true;
            cancelDeadline = now + wait::kCancel;
        }
        if (cancelled && now >= cancelDeadline) {
            device.wedged = true;
            break;
        }
        if (!Pump(device, wait::kSlice) && result == kUsbOk) result = status::kTransfer;
    }
    return result;
}

UsbStatus Write(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    if (written == nullptr) return status::kBadArgument;
    *written = 0;
    Device* device = nullptr;
    if (const UsbStatus admitted = Admit(handle, device); admitted != kUsbOk) return admitted;
    if (count != 0 && data == nullptr) return status::kBadArgument;
    // With the IN side stopped, replies to these commands would go nowhere;
    // a purge of the receive side (the link recovery's first step) restarts it.
    if (device->failed) return status::kTransfer;
    // Replies a write leaves in the chip would wait out its latency timer;
    // a send-immediate after them brings them up within a frame.
    MpsseFollower after = device->follower;
    Follow(after, std::span<const uint8_t>(data, count));
    const bool sendImmediate = NeedsSendImmediate(after);
    if (sendImmediate) Follow(after, std::span<const uint8_t>(&mpsse::kSendImmediate, 1));
    const UsbStatus result = WriteAll(*device, data, count, sendImmediate, written);
    // Bytes the chip may not all have taken: where its commands end is unknown.
    if (result != kUsbOk || *written != count) after.lost = true;
    device->follower = after;
    return result;
}

UsbStatus Read(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    return Guarded([&]() -> UsbStatus {
        if (got == nullptr) return status::kBadArgument;
        *got = 0;
        Device* device = nullptr;
        if (const UsbStatus admitted = Admit(handle, device); admitted != kUsbOk) return admitted;
        if (count != 0 && buffer == nullptr) return status::kBadArgument;
        if (count == 0) return kUsbOk;
        const auto deadline = Clock::now() + kReadTimeout;
        while (device->received.Size() < count && !device->failed) {
            const auto now = Clock::now();
            if (now >= deadline) break;
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - now);
            if (!Pump(*device, std::clamp(left, wait::kShortestSlice, wait::kSlice))) device->failed = true;
        }
        *got = static_cast<uint32_t>(device->received.Pop(buffer, count));
        return *got < count && device->failed ? status::kTransfer : kUsbOk;
    });
}

UsbStatus Purge(UsbHandle handle, uint32_t mask) {
    Device* device = nullptr;
    if (const UsbStatus admitted = Admit(handle, device); admitted != kUsbOk) return admitted;
    const bool receive = (mask & purge::kReceive) != 0;
    const bool transmit = (mask & purge::kTransmit) != 0;
    // Bytes already in a posted transfer predate the purge as much as those in the chip.
    if (receive && !StopReads(*device)) return status::kTransfer;
    int rc = 0;
    if (receive && transmit) {
        rc = ftdi_tcioflush(device->context);
    } else if (receive) {
        rc = ftdi_tciflush(device->context);
    } else if (transmit) {
        rc = ftdi_tcoflush(device->context);
    }
    if (receive) {
        RepliesPurged(device->follower);
        device->received.Clear();
        device->failed = false;
        StartReads(*device);
    }
    if (rc < 0) return kUsbFailed;
    return device->failed ? status::kTransfer : kUsbOk;
}

UsbStatus SetLatencyTimer(UsbHandle handle, uint8_t milliseconds) {
    Device* device = nullptr;
    if (const UsbStatus admitted = Admit(handle, device); admitted != kUsbOk) return admitted;
    return ftdi_set_latency_timer(device->context, milliseconds) < 0 ? kUsbFailed : kUsbOk;
}

UsbStatus Close(UsbHandle handle) {
    auto* device = static_cast<Device*>(handle);
    if (device == nullptr) return status::kBadArgument;
    if (device->open) {
        StopAll(*device);
        // A transfer the host controller never returned still points into the
        // record and the device: both stay, and a repeated close tries again.
        if (!Quiet(*device)) return status::kTransfer;
        // A failed close shuts the device all the same, but the record stays
        // so that the caller's repeated close is safe; that one frees it.
        if (CloseDevice(*device) < 0) return kUsbFailed;
    }
    delete device;
    return kUsbOk;
}

constexpr UsbDriver kDriver{
    kDriverFtdi, &ListByDescription, &OpenByDescription, &SetBitMode, &Write, &Read, &Purge, &SetLatencyTimer,
    &Close,
};

}  // namespace
}  // namespace cm3probe::adapter::ftdi

namespace cm3probe::adapter {
const UsbDriver& FtdiUsbDriver() { return ftdi::kDriver; }
}  // namespace cm3probe::adapter
