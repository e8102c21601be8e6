// The libusb-1.0 calls libftdi1 and OpenOCD make, answered by the virtual
// FT2232: one device on one virtual bus, in every context.
//
// Transfers move only inside the event-handling calls, in the caller's
// thread: a pass feeds bulk-out data to the chip and takes bulk-in packets
// from it until neither side can move, then ends what is due. Timeouts and
// the latency timer run on the real clock, like a host's own deadlines; with
// nothing due, a call naps briefly and looks again until its own timeout.
// How long the same traffic takes on a real bus is the device's timing
// model's business: every bulk transfer and vendor request is reported to it.
#include <libusb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "vusb/bench.h"
#include "vusb/descriptors.h"
#include "vusb/ft2232_usb.h"
#include "vusb/virtual_ft2232.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using cm3sim::vusb::Device;
using cm3sim::vusb::VirtualFt2232;
namespace layout = cm3sim::vusb::layout;

// libusb's own bound on a wait without a timeout.
inline constexpr milliseconds kDefaultEventWait{60000};
inline constexpr milliseconds kLongestNap{10};
inline constexpr size_t kSetupBytes = LIBUSB_CONTROL_SETUP_SIZE;
inline constexpr size_t kMaxStringDescriptorBytes = 255;
inline constexpr size_t kUtf16Bytes = 2;
inline constexpr size_t kLanguageDescriptorBytes = 4;  // header and the first language
inline constexpr uint8_t kAsciiLimit = 0x80;
inline constexpr char kNonAscii = '?';
inline constexpr uint32_t kByteBits = 8;
inline constexpr int kUnconfigured = -1;
inline constexpr int kNoPorts = 0;
inline constexpr int kHasCapability = 1;

// A host whose device node the user may not open (no udev rule): libusb_open
// answers LIBUSB_ERROR_ACCESS, as libusb does for a node of mode 0664 root.
inline constexpr const char* kAccessVariable = "CM3PROBE_VUSB_ACCESS";
inline constexpr std::string_view kAccessDenied = "denied";

bool AccessDenied() {
    const char* access = std::getenv(kAccessVariable);
    return access != nullptr && kAccessDenied == access;
}

}  // namespace

struct libusb_device {
    libusb_context* context = nullptr;
    int references = 0;
};

struct libusb_context {
    int references = 1;
    libusb_device device;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    std::array<bool, layout::kInterfaces> claimed{};
};

namespace {

struct Pending {
    libusb_transfer* transfer = nullptr;
    Clock::time_point submitted;
    size_t done = 0;
    size_t data = 0;     // bulk in: bytes past the status bytes
    bool begun = false;  // bulk out: the timing model has its write
    bool gotData = false;
    bool cancelled = false;
    bool finished = false;
};

struct Finished {
    libusb_transfer* transfer;
    libusb_transfer_status status;
    int actual;
};

struct UsbState {
    libusb_context* defaultContext = nullptr;
    std::vector<libusb_context*> contexts;
    std::vector<libusb_device_handle*> handles;
    std::list<Pending> pending;  // every context's, in submission order
    // When the last bulk-in transfer of each channel ended: the latency timer
    // counts from there.
    std::array<Clock::time_point, layout::kInterfaces> lastIn{};
};

UsbState& State() {
    // Never destroyed: hosts may call in while the process exits.
    static auto* state = new UsbState;
    return *state;
}

std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(cm3sim::vusb::BenchMutex()); }

libusb_context* Resolve(libusb_context* context) { return context != nullptr ? context : State().defaultContext; }

libusb_context* ContextOf(const libusb_transfer* transfer) {
    return transfer->dev_handle->device->context;
}

bool KnownHandle(const libusb_device_handle* handle) {
    const auto& handles = State().handles;
    return std::find(handles.begin(), handles.end(), handle) != handles.end();
}

int DescribeFailure(const std::exception& e) {
    std::fprintf(stderr, "cm3probe_vusb: %s\n", e.what());
    return LIBUSB_ERROR_OTHER;
}

// ---- A pass over one context's transfers ----

class Pass {
public:
    Pass(libusb_context* context, Clock::time_point now) : context_(context), now_(now) {}

    void run() {
        endCancelled();
        runControl();
        moveBulk();
        runLatencyTimers();
        runTimeouts();
        auto& pending = State().pending;
        pending.remove_if([](const Pending& p) { return p.finished; });
    }
    std::vector<Finished>& finished() { return finished_; }
    std::optional<Clock::time_point> next() const { return next_; }

private:
    bool mine(const Pending& p) const { return !p.finished && ContextOf(p.transfer) == context_; }

    void finish(Pending& p, libusb_transfer_status status) {
        if (p.begun && status != LIBUSB_TRANSFER_COMPLETED) {
            Device().hostWriteAbandoned(*VirtualFt2232::ChannelOfEndpoint(p.transfer->endpoint));
        }
        p.finished = true;
        finished_.push_back({p.transfer, status, static_cast<int>(p.done)});
    }

    void wake(Clock::time_point at) { next_ = next_ ? std::min(*next_, at) : at; }

    Pending* first(uint8_t endpoint) {
        for (Pending& p : State().pending) {
            if (mine(p) && p.transfer->type == LIBUSB_TRANSFER_TYPE_BULK && p.transfer->endpoint == endpoint) {
                return &p;
            }
        }
        return nullptr;
    }

    static std::span<uint8_t> Room(Pending& p) {
        return std::span<uint8_t>(p.transfer->buffer + p.done, static_cast<size_t>(p.transfer->length) - p.done);
    }

    void endCancelled() {
        for (Pending& p : State().pending) {
            if (mine(p) && p.cancelled) finish(p, LIBUSB_TRANSFER_CANCELLED);
        }
    }

    void runControl() {
        for (Pending& p : State().pending) {
            if (!mine(p) || p.transfer->type != LIBUSB_TRANSFER_TYPE_CONTROL) continue;
            const libusb_control_setup* raw = libusb_control_transfer_get_setup(p.transfer);
            cm3sim::vusb::SetupPacket setup;
            setup.requestType = raw->bmRequestType;
            setup.request = raw->bRequest;
            setup.value = libusb_le16_to_cpu(raw->wValue);
            setup.index = libusb_le16_to_cpu(raw->wIndex);
            setup.length = libusb_le16_to_cpu(raw->wLength);
            std::span<uint8_t> data(libusb_control_transfer_get_data(p.transfer),
                                    static_cast<size_t>(p.transfer->length) - kSetupBytes);
            const auto result = Device().control(setup, data);
            p.done = result.length;
            finish(p, result.status == cm3sim::vusb::ControlStatus::Ok ? LIBUSB_TRANSFER_COMPLETED
                                                                        : LIBUSB_TRANSFER_STALL);
        }
    }

    // Bulk data moves until neither direction of any channel can.
    void moveBulk() {
        VirtualFt2232& device = Device();
        bool moved = true;
        while (moved) {
            moved = false;
            for (size_t ch = 0; ch < layout::kInterfaces; ++ch) {
                if (Pending* out = first(layout::kOutEndpoint[ch])) {
                    if (!out->begun) {
                        out->begun = true;
                        device.hostWriteBegins(ch, static_cast<size_t>(out->transfer->length));
                    }
                    const auto* data = out->transfer->buffer + out->done;
                    const size_t left = static_cast<size_t>(out->transfer->length) - out->done;
                    const size_t taken = device.fromHost(ch, std::span<const uint8_t>(data, left));
                    out->done += taken;
                    if (out->done == static_cast<size_t>(out->transfer->length)) {
                        finish(*out, LIBUSB_TRANSFER_COMPLETED);
                    }
                    moved = moved || taken > 0 || out->finished;
                }
                if (Pending* in = first(layout::kInEndpoint[ch])) {
                    const cm3sim::vusb::InPackets packets = device.fullPackets(ch, Room(*in));
                    in->done += packets.bytes;
                    in->data += packets.data;
                    in->gotData = in->gotData || packets.bytes > 0;
                    if (in->done == static_cast<size_t>(in->transfer->length)) {
                        endIn(ch, *in, LIBUSB_TRANSFER_COMPLETED);
                    }
                    moved = moved || packets.bytes > 0 || in->finished;
                }
            }
            if (moved) continue;
            // Nothing more moves in whole packets: a transfer that has data,
            // or could take some, ends with a short packet.
            for (size_t ch = 0; ch < layout::kInterfaces; ++ch) {
                Pending* in = first(layout::kInEndpoint[ch]);
                if (in == nullptr || !(in->gotData || device.waitingForHost(ch) > 0)) continue;
                endWithFinalPacket(ch, *in);
                moved = true;
            }
        }
    }

    void endIn(size_t ch, Pending& p, libusb_transfer_status status) {
        State().lastIn[ch] = now_;
        Device().hostReadEnded(ch, p.data);
        finish(p, status);
    }

    void endWithFinalPacket(size_t ch, Pending& p) {
        const cm3sim::vusb::InPackets packet = Device().finalPacket(ch, Room(p));
        p.done += packet.bytes;
        p.data += packet.data;
        endIn(ch, p, packet.overflow ? LIBUSB_TRANSFER_OVERFLOW : LIBUSB_TRANSFER_COMPLETED);
    }

    // With nothing to send, the chip sends its status bytes alone once per
    // latency period.
    void runLatencyTimers() {
        for (size_t ch = 0; ch < layout::kInterfaces; ++ch) {
            Pending* in = first(layout::kInEndpoint[ch]);
            if (in == nullptr) continue;
            const auto due = std::max(in->submitted, State().lastIn[ch]) + milliseconds(Device().latencyMs(ch));
            if (now_ >= due) {
                endWithFinalPacket(ch, *in);
            } else {
                wake(due);
            }
        }
    }

    void runTimeouts() {
        for (Pending& p : State().pending) {
            if (!mine(p) || p.transfer->timeout == 0) continue;
            const auto due = p.submitted + milliseconds(p.transfer->timeout);
            if (now_ >= due) {
                finish(p, LIBUSB_TRANSFER_TIMED_OUT);
            } else {
                wake(due);
            }
        }
    }

    libusb_context* context_;
    Clock::time_point now_;
    std::vector<Finished> finished_;
    std::optional<Clock::time_point> next_;
};

void Deliver(const std::vector<Finished>& finished) {
    for (const Finished& f : finished) {
        libusb_transfer* transfer = f.transfer;
        transfer->status = f.status;
        transfer->actual_length = f.actual;
        const bool freeAfter = (transfer->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
        if (transfer->callback != nullptr) transfer->callback(transfer);
        if (freeAfter) libusb_free_transfer(transfer);
    }
}

// One round of event handling: returns once a transfer ended (its callback
// has run) or `wait` passed, whichever is first.
int HandleEvents(libusb_context* context, Clock::duration wait, const int* completed) {
    const auto until = Clock::now() + wait;
    for (;;) {
        if (completed != nullptr && *completed != 0) return LIBUSB_SUCCESS;
        std::vector<Finished> finished;
        std::optional<Clock::time_point> next;
        {
            auto lock = Lock();
            libusb_context* resolved = Resolve(context);
            if (resolved == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
            try {
                Pass pass(resolved, Clock::now());
                pass.run();
                finished = std::move(pass.finished());
                next = pass.next();
            } catch (const std::exception& e) {
                return DescribeFailure(e);
            }
        }
        if (!finished.empty()) {
            Deliver(finished);
            return LIBUSB_SUCCESS;
        }
        const auto now = Clock::now();
        if (now >= until) return LIBUSB_SUCCESS;
        // Short naps: another thread may submit a transfer meanwhile.
        std::this_thread::sleep_until(std::min({next.value_or(until), until, now + kLongestNap}));
    }
}

Clock::duration ToDuration(const timeval* tv) {
    if (tv == nullptr) return kDefaultEventWait;
    return std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
}

int ErrorOf(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED:
    default:
        return LIBUSB_ERROR_IO;
    }
}

void LIBUSB_CALL MarkCompleted(libusb_transfer* transfer) { *static_cast<int*>(transfer->user_data) = 1; }

// A synchronous transfer is an asynchronous one waited for.
int Synchronous(libusb_device_handle* handle, uint8_t type, unsigned char endpoint, unsigned char* buffer,
                int length, unsigned int timeout, int* actual) {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) return LIBUSB_ERROR_NO_MEM;
    int completed = 0;
    transfer->dev_handle = handle;
    transfer->endpoint = endpoint;
    transfer->type = type;
    transfer->timeout = timeout;
    transfer->buffer = buffer;
    transfer->length = length;
    transfer->callback = MarkCompleted;
    transfer->user_data = &completed;
    int rc = libusb_submit_transfer(transfer);
    if (rc != LIBUSB_SUCCESS) {
        libusb_free_transfer(transfer);
        return rc;
    }
    libusb_context* context = handle->device->context;
    while (completed == 0) {
        rc = HandleEvents(context, kDefaultEventWait, &completed);
        if (rc != LIBUSB_SUCCESS) break;
    }
    if (completed == 0) {
        // The event loop itself failed: the transfer is withdrawn unfinished.
        libusb_free_transfer(transfer);
        return rc;
    }
    if (actual != nullptr) *actual = transfer->actual_length;
    const int result = ErrorOf(transfer->status);
    libusb_free_transfer(transfer);
    return result;
}

bool ValidEndpoint(uint8_t endpoint) { return VirtualFt2232::ChannelOfEndpoint(endpoint).has_value(); }

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

// ---- Library and contexts ----

int LIBUSB_CALL libusb_init(libusb_context** context) {
    auto lock = Lock();
    try {
        (void)Device().present();
    } catch (const std::exception& e) {
        return DescribeFailure(e);
    }
    UsbState& state = State();
    if (context == nullptr && state.defaultContext != nullptr) {
        ++state.defaultContext->references;
        return LIBUSB_SUCCESS;
    }
    auto* created = new libusb_context;
    created->device.context = created;
    state.contexts.push_back(created);
    if (context != nullptr) {
        *context = created;
    } else {
        state.defaultContext = created;
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context) {
    auto lock = Lock();
    cm3sim::vusb::WriteReportIfAsked();
    libusb_context* resolved = Resolve(context);
    if (resolved == nullptr || --resolved->references > 0) return;
    UsbState& state = State();
    state.pending.remove_if([&](const Pending& p) { return ContextOf(p.transfer) == resolved; });
    std::erase_if(state.handles, [&](libusb_device_handle* handle) {
        if (handle->device->context != resolved) return false;
        delete handle;
        return true;
    });
    std::erase(state.contexts, resolved);
    if (resolved == state.defaultContext) state.defaultContext = nullptr;
    delete resolved;
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version kVersion = {1, 0, 26, 0, "", "cm3probe virtual FT2232"};
    return &kVersion;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY ? kHasCapability : 0;
}

int LIBUSB_CALL libusb_setlocale(const char*) { return LIBUSB_SUCCESS; }

const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR: return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL: return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW: return "LIBUSB_TRANSFER_OVERFLOW";
    default: return "**UNKNOWN**";
    }
}

const char* LIBUSB_CALL libusb_strerror(int code) {
    switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
    }
}

// ---- Devices ----

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* context, libusb_device*** list) {
    auto lock = Lock();
    libusb_context* resolved = Resolve(context);
    if (resolved == nullptr || list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    bool present = false;
    try {
        present = Device().present();
    } catch (const std::exception& e) {
        return DescribeFailure(e);
    }
    const size_t count = present ? 1 : 0;
    auto** devices = new libusb_device*[count + 1];
    if (present) {
        devices[0] = &resolved->device;
        ++resolved->device.references;
    }
    devices[count] = nullptr;
    *list = devices;
    return static_cast<ssize_t>(count);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices) {
    if (list == nullptr) return;
    if (unrefDevices != 0) {
        for (libusb_device** d = list; *d != nullptr; ++d) libusb_unref_device(*d);
    }
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device) {
    auto lock = Lock();
    if (device != nullptr) ++device->references;
    return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* device) {
    auto lock = Lock();
    // The device lives as long as its context.
    if (device != nullptr && device->references > 0) --device->references;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return cm3sim::vusb::topology::kBusNumber; }

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device*) { return cm3sim::vusb::topology::kDeviceAddress; }

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device*) { return cm3sim::vusb::topology::kPortNumber; }

int LIBUSB_CALL libusb_get_port_numbers(libusb_device*, uint8_t* ports, int length) {
    if (ports == nullptr || length <= kNoPorts) return LIBUSB_ERROR_OVERFLOW;
    ports[0] = cm3sim::vusb::topology::kPortNumber;
    return 1;
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) { return nullptr; }

int LIBUSB_CALL libusb_get_device_speed(libusb_device*) {
    auto lock = Lock();
    return cm3sim::vusb::Speed(Device().chip());
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device*, unsigned char endpoint) {
    auto lock = Lock();
    if (!ValidEndpoint(endpoint)) return LIBUSB_ERROR_NOT_FOUND;
    return Device().packetSize();
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* device, unsigned char endpoint) {
    return libusb_get_max_packet_size(device, endpoint);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, struct libusb_device_descriptor* descriptor) {
    if (descriptor == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    auto lock = Lock();
    *descriptor = cm3sim::vusb::DeviceDescriptor(Device().chip());
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device*, uint8_t index,
                                             struct libusb_config_descriptor** config) {
    if (config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
    auto lock = Lock();
    *config = &(new cm3sim::vusb::OwnedConfiguration(Device().chip()))->config;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* device,
                                                    struct libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(device, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* device, uint8_t value,
                                                      struct libusb_config_descriptor** config) {
    if (value != layout::kConfigurationValue) return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_config_descriptor(device, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    delete reinterpret_cast<cm3sim::vusb::OwnedConfiguration*>(config);
}

int LIBUSB_CALL libusb_get_bos_descriptor(libusb_device_handle*, struct libusb_bos_descriptor**) {
    return LIBUSB_ERROR_PIPE;  // a USB 2.0 device without one
}

// ---- Handles ----

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
    if (device == nullptr || handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    auto lock = Lock();
    if (!Device().present()) return LIBUSB_ERROR_NO_DEVICE;
    if (AccessDenied()) return LIBUSB_ERROR_ACCESS;
    auto* opened = new libusb_device_handle;
    opened->device = device;
    ++device->references;
    State().handles.push_back(opened);
    *handle = opened;
    return LIBUSB_SUCCESS;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* context, uint16_t vendor,
                                                                  uint16_t product) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(list[i], &descriptor);
        if (descriptor.idVendor == vendor && descriptor.idProduct == product) {
            if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS) handle = nullptr;
            break;
        }
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    return handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    auto lock = Lock();
    UsbState& state = State();
    if (!KnownHandle(handle)) return;
    // Transfers still posted die with the handle, unannounced.
    state.pending.remove_if([&](const Pending& p) { return p.transfer->dev_handle == handle; });
    std::erase(state.handles, handle);
    if (handle->device->references > 0) --handle->device->references;
    delete handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
    return handle != nullptr ? handle->device : nullptr;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle*, int* config) {
    if (config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    *config = layout::kConfigurationValue;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle*, int configuration) {
    return configuration == layout::kConfigurationValue || configuration == kUnconfigured ? LIBUSB_SUCCESS
                                                                                          : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int number) {
    auto lock = Lock();
    if (!KnownHandle(handle)) return LIBUSB_ERROR_INVALID_PARAM;
    if (number < 0 || static_cast<size_t>(number) >= layout::kInterfaces) return LIBUSB_ERROR_NOT_FOUND;
    for (const libusb_device_handle* other : State().handles) {
        if (other != handle && other->claimed[number]) return LIBUSB_ERROR_BUSY;
    }
    handle->claimed[number] = true;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int number) {
    auto lock = Lock();
    if (!KnownHandle(handle)) return LIBUSB_ERROR_INVALID_PARAM;
    if (number < 0 || static_cast<size_t>(number) >= layout::kInterfaces || !handle->claimed[number]) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    handle->claimed[number] = false;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle*, int number, int setting) {
    if (number < 0 || static_cast<size_t>(number) >= layout::kInterfaces || setting != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle*, unsigned char endpoint) {
    return ValidEndpoint(endpoint) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) {
    auto lock = Lock();
    if (!KnownHandle(handle)) return LIBUSB_ERROR_INVALID_PARAM;
    Device().busReset();
    return LIBUSB_SUCCESS;
}

// No kernel driver is ever bound to the virtual device.
int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle*, int) { return 0; }
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_FOUND; }
int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_FOUND; }
int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }

// ---- Transfers ----

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
    if (isoPackets < 0) return nullptr;
    const size_t bytes =
        sizeof(libusb_transfer) + static_cast<size_t>(isoPackets) * sizeof(libusb_iso_packet_descriptor);
    return static_cast<libusb_transfer*>(std::calloc(1, bytes));
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer) {
    if (transfer == nullptr) return;
    {
        auto lock = Lock();
        State().pending.remove_if([&](const Pending& p) { return p.transfer == transfer; });
    }
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) std::free(transfer->buffer);
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* transfer) {
    if (transfer == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    auto lock = Lock();
    if (!KnownHandle(transfer->dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
    if (transfer->length < 0 || (transfer->buffer == nullptr && transfer->length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    UsbState& state = State();
    for (const Pending& p : state.pending) {
        if (p.transfer == transfer) return LIBUSB_ERROR_BUSY;
    }
    switch (transfer->type) {
    case LIBUSB_TRANSFER_TYPE_CONTROL:
        if (static_cast<size_t>(transfer->length) < kSetupBytes) return LIBUSB_ERROR_INVALID_PARAM;
        break;
    case LIBUSB_TRANSFER_TYPE_BULK:
        if (!ValidEndpoint(transfer->endpoint)) return LIBUSB_ERROR_NOT_FOUND;
        break;
    default:
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    Pending pending;
    pending.transfer = transfer;
    pending.submitted = Clock::now();
    state.pending.push_back(pending);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* transfer) {
    auto lock = Lock();
    for (Pending& p : State().pending) {
        if (p.transfer != transfer || p.cancelled) continue;
        p.cancelled = true;
        return LIBUSB_SUCCESS;
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int timeout) {
    std::vector<unsigned char> buffer(kSetupBytes + length);
    libusb_fill_control_setup(buffer.data(), requestType, request, value, index, length);
    const bool in = (requestType & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
    if (!in && length > 0) {
        if (data == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
        std::memcpy(buffer.data() + kSetupBytes, data, length);
    }
    int actual = 0;
    const int rc = Synchronous(handle, LIBUSB_TRANSFER_TYPE_CONTROL, 0, buffer.data(),
                               static_cast<int>(buffer.size()), timeout, &actual);
    if (rc != LIBUSB_SUCCESS) return rc;
    if (in && actual > 0) {
        if (data == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
        std::memcpy(data, buffer.data() + kSetupBytes, static_cast<size_t>(actual));
    }
    return actual;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int timeout) {
    int actual = 0;
    const int rc = Synchronous(handle, LIBUSB_TRANSFER_TYPE_BULK, endpoint, data, length, timeout, &actual);
    if (transferred != nullptr) *transferred = actual;
    return rc;
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle*, unsigned char, unsigned char*, int,
                                          int* transferred, unsigned int) {
    if (transferred != nullptr) *transferred = 0;
    return LIBUSB_ERROR_NOT_FOUND;  // the chip has no interrupt endpoints
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length) {
    if (index == 0 || data == nullptr || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    std::array<unsigned char, kMaxStringDescriptorBytes> raw{};
    int rc = libusb_get_string_descriptor(handle, 0, 0, raw.data(), static_cast<int>(raw.size()));
    if (rc < 0) return rc;
    if (rc < static_cast<int>(kLanguageDescriptorBytes)) return LIBUSB_ERROR_IO;
    const uint16_t language = static_cast<uint16_t>(raw[2] | (raw[3] << kByteBits));
    rc = libusb_get_string_descriptor(handle, index, language, raw.data(), static_cast<int>(raw.size()));
    if (rc < 0) return rc;
    if (rc < static_cast<int>(kUtf16Bytes) || raw[1] != LIBUSB_DT_STRING || raw[0] > rc) return LIBUSB_ERROR_IO;
    int out = 0;
    for (size_t i = kUtf16Bytes; i + 1 < raw[0] && out < length - 1; i += kUtf16Bytes) {
        const bool ascii = raw[i + 1] == 0 && raw[i] < kAsciiLimit;
        data[out++] = ascii ? raw[i] : static_cast<unsigned char>(kNonAscii);
    }
    data[out] = '\0';
    return out;
}

// ---- Event handling ----

int LIBUSB_CALL libusb_handle_events(libusb_context* context) {
    return HandleEvents(context, kDefaultEventWait, nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* context, int* completed) {
    return HandleEvents(context, kDefaultEventWait, completed);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* context, struct timeval* tv) {
    return HandleEvents(context, ToDuration(tv), nullptr);
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* context, struct timeval* tv,
                                                       int* completed) {
    return HandleEvents(context, ToDuration(tv), completed);
}

int LIBUSB_CALL libusb_handle_events_locked(libusb_context* context, struct timeval* tv) {
    return HandleEvents(context, ToDuration(tv), nullptr);
}

// Events are only ever handled inside the calls above, so the locks that
// coordinate event-handling threads have nothing to guard.
int LIBUSB_CALL libusb_try_lock_events(libusb_context*) { return 0; }
void LIBUSB_CALL libusb_lock_events(libusb_context*) {}
void LIBUSB_CALL libusb_unlock_events(libusb_context*) {}
int LIBUSB_CALL libusb_event_handling_ok(libusb_context*) { return 1; }
int LIBUSB_CALL libusb_event_handler_active(libusb_context*) { return 0; }
void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context*) {}
void LIBUSB_CALL libusb_lock_event_waiters(libusb_context*) {}
void LIBUSB_CALL libusb_unlock_event_waiters(libusb_context*) {}

int LIBUSB_CALL libusb_wait_for_event(libusb_context* context, struct timeval* tv) {
    return HandleEvents(context, ToDuration(tv), nullptr);
}

int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context*) { return 1; }

int LIBUSB_CALL libusb_get_next_timeout(libusb_context* context, struct timeval* tv) {
    if (tv == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    auto lock = Lock();
    libusb_context* resolved = Resolve(context);
    for (const Pending& p : State().pending) {
        if (ContextOf(p.transfer) != resolved) continue;
        // Something is posted: handle events now.
        *tv = timeval{};
        return 1;
    }
    return 0;
}

const struct libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context*) {
    // No file descriptors: nothing to poll, a NULL-terminated empty list.
    return static_cast<const libusb_pollfd**>(std::calloc(1, sizeof(libusb_pollfd*)));
}

void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd** pollfds) {
    std::free(static_cast<void*>(pollfds));
}

void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb, libusb_pollfd_removed_cb,
                                             void*) {}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context*, int, int, int, int, int,
                                                 libusb_hotplug_callback_fn, void*,
                                                 libusb_hotplug_callback_handle*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context*, libusb_hotplug_callback_handle) {}

unsigned char* LIBUSB_CALL libusb_dev_mem_alloc(libusb_device_handle*, size_t) { return nullptr; }

int LIBUSB_CALL libusb_dev_mem_free(libusb_device_handle*, unsigned char*, size_t) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

}  // extern "C"
#pragma GCC visibility pop
