#include "usb/sim_socket_driver.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <vector>

namespace cm3sim {
namespace {

using namespace cm3probe::adapter;
namespace proto = socket_protocol;

// A server that answers nothing for this long is taken as gone, so no call
// into the library hangs on it.
inline constexpr time_t kReplyTimeoutSeconds = 10;

struct Link {
    std::mutex mutex;
    int fd = -1;
    pid_t owner = 0;
    std::string path;
};

Link& TheLink() {
    static Link link;
    return link;
}

bool SendAll(int fd, const uint8_t* data, size_t count) {
    while (count > 0) {
        const ssize_t sent = send(fd, data, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t count) {
    while (count > 0) {
        const ssize_t got = recv(fd, data, count, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

int Connect(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const timeval timeout{kReplyTimeoutSeconds, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Reply {
    UsbStatus status = proto::status::kServerUnreachable;
    uint32_t value = 0;
    std::vector<uint8_t> payload;
};

// One request and its response on `fd`; the connection is unusable after a
// false return.
bool Exchange(int fd, const proto::RequestHeader& request, std::span<const uint8_t> payload, Reply& reply) {
    // One send per request: a frame split over two would cost the server a wake-up.
    std::vector<uint8_t> frame(proto::kHeaderSize + payload.size());
    const proto::Header header = proto::EncodeRequest(request);
    std::copy(header.begin(), header.end(), frame.begin());
    std::copy(payload.begin(), payload.end(), frame.begin() + proto::kHeaderSize);
    if (!SendAll(fd, frame.data(), frame.size())) return false;
    proto::Header answer{};
    if (!ReceiveAll(fd, answer.data(), answer.size())) return false;
    const std::optional<proto::ResponseHeader> decoded = proto::DecodeResponse(answer);
    if (!decoded || decoded->op != request.op) return false;
    reply.payload.resize(decoded->payloadLength);
    if (!ReceiveAll(fd, reply.payload.data(), reply.payload.size())) return false;
    reply.status = decoded->status;
    reply.value = decoded->value;
    return true;
}

// Sends one request on the process's connection, opening it first if needed.
Reply Call(uint8_t op, uint32_t handle, uint32_t argument, std::span<const uint8_t> payload = {}) {
    Link& link = TheLink();
    std::lock_guard<std::mutex> hold(link.mutex);
    const char* variable = std::getenv(kSimSocketEnvironmentVariable);
    const std::string path = variable != nullptr ? variable : "";
    // A forked child must not talk on its parent's connection: the replies
    // would go to whichever process reads first.
    if (link.fd >= 0 && (link.owner != getpid() || link.path != path)) {
        close(link.fd);
        link.fd = -1;
    }
    if (link.fd < 0) {
        link.fd = Connect(path);
        link.owner = getpid();
        link.path = path;
    }
    Reply reply;
    if (link.fd < 0) return reply;
    const proto::RequestHeader request{op, handle, argument, static_cast<uint32_t>(payload.size())};
    if (!Exchange(link.fd, request, payload, reply)) {
        close(link.fd);
        link.fd = -1;
        return Reply{};
    }
    return reply;
}

uint32_t HandleId(UsbHandle handle) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)); }

UsbHandle FromId(uint32_t id) { return reinterpret_cast<UsbHandle>(static_cast<uintptr_t>(id)); }

UsbStatus List(Description* descriptions, uint32_t capacity, uint32_t* count) {
    if (count == nullptr || (descriptions == nullptr && capacity > 0)) return proto::status::kBadRequest;
    const Reply reply = Call(proto::op::kList, 0, capacity);
    if (reply.status != kUsbOk) return reply.status;
    const size_t entries = std::min<size_t>(capacity, reply.payload.size() / kDescriptionSize);
    for (size_t i = 0; i < entries; ++i) {
        std::memcpy(descriptions[i], &reply.payload[i * kDescriptionSize], kDescriptionSize);
        descriptions[i][kDescriptionSize - 1] = '\0';
    }
    *count = reply.value;
    return kUsbOk;
}

UsbStatus Open(const char* description, UsbHandle* handle) {
    if (description == nullptr || handle == nullptr) return proto::status::kBadRequest;
    const void* end = std::memchr(description, '\0', kDescriptionSize);
    if (end == nullptr) return proto::status::kBadRequest;
    const size_t length = static_cast<size_t>(static_cast<const char*>(end) - description) + 1;
    const Reply reply =
        Call(proto::op::kOpen, 0, 0, std::span(reinterpret_cast<const uint8_t*>(description), length));
    if (reply.status != kUsbOk) return reply.status;
    if (reply.value == 0) return proto::status::kBadResponse;
    *handle = FromId(reply.value);
    return kUsbOk;
}

UsbStatus SetBitMode(UsbHandle handle, uint8_t outputMask, uint8_t mode) {
    const uint32_t argument = static_cast<uint32_t>(outputMask) << proto::bit_mode_argument::kMaskShift | mode;
    return Call(proto::op::kSetBitMode, HandleId(handle), argument).status;
}

UsbStatus Write(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    if (written == nullptr || (data == nullptr && count > 0)) return proto::status::kBadRequest;
    *written = 0;
    uint32_t done = 0;
    do {
        const uint32_t chunk = std::min(count - done, proto::kMaxPayload);
        const Reply reply = Call(proto::op::kWrite, HandleId(handle), 0, std::span(data + done, chunk));
        if (reply.status != kUsbOk) return reply.status;
        done += std::min(reply.value, chunk);
        *written = done;
        if (reply.value < chunk) break;
    } while (done < count);
    return kUsbOk;
}

UsbStatus Read(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    if (got == nullptr || (buffer == nullptr && count > 0)) return proto::status::kBadRequest;
    *got = 0;
    uint32_t done = 0;
    do {
        const uint32_t chunk = std::min(count - done, proto::kMaxPayload);
        const Reply reply = Call(proto::op::kRead, HandleId(handle), chunk);
        if (reply.status != kUsbOk) return reply.status;
        const uint32_t arrived = static_cast<uint32_t>(std::min<size_t>(reply.payload.size(), chunk));
        std::copy_n(reply.payload.begin(), arrived, buffer + done);
        done += arrived;
        *got = done;
        if (arrived < chunk) break;
    } while (done < count);
    return kUsbOk;
}

UsbStatus Purge(UsbHandle handle, uint32_t mask) { return Call(proto::op::kPurge, HandleId(handle), mask).status; }

UsbStatus SetLatencyTimer(UsbHandle handle, uint8_t milliseconds) {
    return Call(proto::op::kLatencyTimer, HandleId(handle), milliseconds).status;
}

UsbStatus Close(UsbHandle handle) { return Call(proto::op::kClose, HandleId(handle), 0).status; }

}  // namespace

const UsbDriver& SimSocketUsbDriver() {
    static const UsbDriver driver{
        "sim-socket", &List, &Open, &SetBitMode, &Write, &Read, &Purge, &SetLatencyTimer, &Close,
    };
    return driver;
}

std::optional<socket_protocol::ServerStats> QueryServerStats(const std::string& socketPath) {
    const int fd = Connect(socketPath);
    if (fd < 0) return std::nullopt;
    Reply reply;
    const bool answered = Exchange(fd, proto::RequestHeader{proto::op::kStats, 0, 0, 0}, {}, reply);
    close(fd);
    if (!answered || reply.status != kUsbOk) return std::nullopt;
    return proto::DecodeStats(reply.payload);
}

}  // namespace cm3sim
