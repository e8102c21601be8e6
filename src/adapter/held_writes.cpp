#include "adapter/held_writes.h"

#include <array>
#include <cstring>

namespace cm3probe::adapter {
namespace {

// Larger than any stream one export writes between two reads (a batched 4 KB
// block writes about 23 KB), so a hold never allocates.
inline constexpr uint32_t kHeldCapacity = 64 * 1024;

struct Held {
    const UsbDriver* inner = nullptr;
    UsbHandle handle = nullptr;
    uint32_t size = 0;
    // A held transfer failed inside an operation whose caller may not look
    // (a purge of stale bytes): the export's end still reports it.
    bool failed = false;
    std::array<uint8_t, kHeldCapacity> bytes{};
};

Held g_held;
UsbDriver g_driver{};

UsbStatus Send() {
    if (g_held.size == 0) return kUsbOk;
    const uint32_t size = g_held.size;
    g_held.size = 0;
    uint32_t written = 0;
    const UsbStatus status = g_held.inner->write(g_held.handle, g_held.bytes.data(), size, &written);
    // A short transfer may have left the chip inside a command.
    const UsbStatus result = status != kUsbOk ? status : written == size ? kUsbOk : kUsbFailed;
    if (result != kUsbOk) g_held.failed = true;
    return result;
}

UsbStatus List(Description* descriptions, uint32_t capacity, uint32_t* count) {
    return g_held.inner->listByDescription(descriptions, capacity, count);
}

UsbStatus Open(const char* description, UsbHandle* handle) {
    g_held.size = 0;
    g_held.failed = false;
    return g_held.inner->openByDescription(description, handle);
}

UsbStatus SetBitMode(UsbHandle handle, uint8_t outputMask, uint8_t mode) {
    if (const UsbStatus sent = Send(); sent != kUsbOk) return sent;
    return g_held.inner->setBitMode(handle, outputMask, mode);
}

UsbStatus Write(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    // The backend's own answer to bad arguments.
    if (written == nullptr || (count != 0 && data == nullptr)) return g_held.inner->write(handle, data, count, written);
    *written = 0;
    if (g_held.size != 0 && (handle != g_held.handle || count > kHeldCapacity - g_held.size)) {
        if (const UsbStatus sent = Send(); sent != kUsbOk) return sent;
    }
    if (count > kHeldCapacity) return g_held.inner->write(handle, data, count, written);
    std::memcpy(g_held.bytes.data() + g_held.size, data, count);
    g_held.size += count;
    g_held.handle = handle;
    *written = count;
    return kUsbOk;
}

UsbStatus Read(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    if (const UsbStatus sent = Send(); sent != kUsbOk) {
        if (got != nullptr) *got = 0;
        return sent;
    }
    return g_held.inner->read(handle, buffer, count, got);
}

UsbStatus Purge(UsbHandle handle, uint32_t mask) {
    if (const UsbStatus sent = Send(); sent != kUsbOk) return sent;
    return g_held.inner->purge(handle, mask);
}

UsbStatus SetLatencyTimer(UsbHandle handle, uint8_t milliseconds) {
    if (const UsbStatus sent = Send(); sent != kUsbOk) return sent;
    return g_held.inner->setLatencyTimer(handle, milliseconds);
}

UsbStatus Close(UsbHandle handle) {
    // The close happens whatever the held bytes meet; a failure of theirs is
    // remembered, and the export's end reports it.
    if (handle == g_held.handle) (void)Send();
    return g_held.inner->close(handle);
}

}  // namespace

const UsbDriver* WithHeldWrites(const UsbDriver* inner) {
    if (inner == nullptr) return nullptr;
    g_held.inner = inner;
    g_held.size = 0;
    g_held.failed = false;
    g_driver = UsbDriver{inner->name, &List, &Open, &SetBitMode, &Write, &Read, &Purge, &SetLatencyTimer, &Close};
    return &g_driver;
}

UsbStatus SendHeldWrites() {
    if (g_held.inner == nullptr) return kUsbOk;
    const UsbStatus sent = Send();
    if (!g_held.failed) return sent;
    g_held.failed = false;
    return sent != kUsbOk ? sent : kUsbFailed;
}

}  // namespace cm3probe::adapter
