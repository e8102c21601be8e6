#include "sim_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>

#include "usb/sim_usb_driver.h"

namespace cm3sim {
namespace {

using namespace cm3probe::adapter;
namespace proto = socket_protocol;

inline constexpr int kListenBacklog = 16;
inline constexpr size_t kReceiveChunk = 64 * 1024;
// More than one whole frame is never buffered: a client that pipelines waits.
inline constexpr size_t kMaxBuffered = proto::kHeaderSize + proto::kMaxPayload;
inline constexpr uint32_t kMaxBitModeArgument = 0xFFFF;
inline constexpr uint32_t kMaxLatencyArgument = 0xFF;

const UsbDriver& Sim() { return SimUsbDriver(); }

bool FillAddress(const std::string& path, sockaddr_un& address) {
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when a server already answers on `path`.
bool SomeoneListens(const sockaddr_un& address) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answered;
}

}  // namespace

SimServer::SimServer(std::string socketPath) : path_(std::move(socketPath)) {}

SimServer::~SimServer() {
    while (!clients_.empty()) drop(clients_.size() - 1);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        unlink(path_.c_str());
    }
}

bool SimServer::listen(std::string& error) {
    sockaddr_un address{};
    if (!FillAddress(path_, address)) {
        error = "socket path is empty or longer than " + std::to_string(sizeof address.sun_path - 1) + " bytes";
        return false;
    }
    struct stat info {};
    if (lstat(path_.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = path_ + " exists and is not a socket";
            return false;
        }
        if (SomeoneListens(address)) {
            error = "another server is serving " + path_;
            return false;
        }
        unlink(path_.c_str());
    }
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, kListenBacklog) != 0) {
        error = path_ + ": " + std::strerror(errno);
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    return true;
}

void SimServer::run(const volatile std::sig_atomic_t& stop) {
    // Signals that stop the server are let through only while it waits.
    sigset_t waiting;
    sigprocmask(SIG_SETMASK, nullptr, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGHUP);
    std::vector<pollfd> fds;
    while (stop == 0) {
        // One frame per client per round keeps the clients' turns fair.
        bool framesLeft = false;
        for (size_t i = clients_.size(); i-- > 0;) {
            Client& client = *clients_[i];
            if (!client.out.empty() || client.closing || !hasFrame(client)) continue;
            serveOneFrame(client);
            // Most answers fit the socket at once; the rest wait for POLLOUT.
            if (!transmit(client) || (client.closing && client.out.empty())) drop(i);
        }
        for (auto& client : clients_) framesLeft |= client->out.empty() && !client->closing && hasFrame(*client);
        fds.assign(1, pollfd{listenFd_, POLLIN, 0});
        for (auto& client : clients_) {
            short events = 0;
            if (!client->out.empty()) {
                events = POLLOUT;
            } else if (!client->closing && client->in.size() < kMaxBuffered) {
                events = POLLIN;
            }
            fds.push_back(pollfd{client->fd, events, 0});
        }
        const timespec immediately{0, 0};
        const int ready = ppoll(fds.data(), fds.size(), framesLeft ? &immediately : nullptr, &waiting);
        if (ready < 0) continue;  // a signal: the loop condition decides
        // From the back, so dropping a client leaves earlier indices valid.
        for (size_t i = clients_.size(); i-- > 0;) {
            const short revents = fds[i + 1].revents;
            if (revents == 0) continue;
            Client& client = *clients_[i];
            bool alive = true;
            if (revents & POLLOUT) alive = transmit(client);
            if (alive && (revents & (POLLIN | POLLHUP | POLLERR)) && client.out.empty()) alive = receive(client);
            if (alive && client.closing && client.out.empty()) alive = false;
            if (!alive) drop(i);
        }
        if (fds[0].revents & POLLIN) accept();
    }
}

void SimServer::accept() {
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (clients_.size() >= kMaxClients) {
            ::close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->fd = fd;
        clients_.push_back(std::move(client));
        ++stats_.clientsAccepted;
        stats_.clientsConnected = clients_.size();
    }
}

bool SimServer::receive(Client& client) {
    uint8_t chunk[kReceiveChunk];
    const size_t room = std::min(kReceiveChunk, kMaxBuffered - client.in.size());
    const ssize_t got = recv(client.fd, chunk, room, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (got <= 0) {
        if (!client.in.empty()) ++stats_.clientsLostMidRequest;
        return false;
    }
    client.in.insert(client.in.end(), chunk, chunk + got);
    return true;
}

bool SimServer::transmit(Client& client) {
    const ssize_t sent = send(client.fd, client.out.data() + client.outSent, client.out.size() - client.outSent,
                              MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (sent <= 0) return false;
    client.outSent += static_cast<size_t>(sent);
    if (client.outSent == client.out.size()) {
        client.out.clear();
        client.outSent = 0;
    }
    return true;
}

bool SimServer::hasFrame(const Client& client) const {
    if (client.in.size() < proto::kHeaderSize) return false;
    const auto header = proto::DecodeRequest(std::span<const uint8_t, proto::kHeaderSize>(client.in.data(),
                                                                                          proto::kHeaderSize));
    // A header out of protocol is answered at once.
    if (!header) return true;
    return client.in.size() >= proto::kHeaderSize + header->payloadLength;
}

void SimServer::serveOneFrame(Client& client) {
    const std::span<const uint8_t, proto::kHeaderSize> raw(client.in.data(), proto::kHeaderSize);
    const auto header = proto::DecodeRequest(raw);
    if (!header) {
        // Without a trustworthy length the next frame cannot be found.
        const uint8_t op = raw[proto::kOpOffset];
        ++stats_.badRequests;
        client.in.clear();
        client.closing = true;
        queue(client, op, Response{proto::status::kBadRequest, 0, {}});
        return;
    }
    const auto payloadBegin = client.in.begin() + static_cast<std::ptrdiff_t>(proto::kHeaderSize);
    const auto payloadEnd = payloadBegin + static_cast<std::ptrdiff_t>(header->payloadLength);
    const std::vector<uint8_t> payload(payloadBegin, payloadEnd);
    client.in.erase(client.in.begin(), payloadEnd);
    Response response = serve(client, *header, payload);
    if (response.status == proto::status::kBadRequest) ++stats_.badRequests;
    ++stats_.requestsServed;
    queue(client, header->op, response);
}

SimServer::Response SimServer::serve(Client& client, const proto::RequestHeader& request,
                                     const std::vector<uint8_t>& payload) {
    const Response bad{proto::status::kBadRequest, 0, {}};
    const bool takesPayload = request.op == proto::op::kOpen || request.op == proto::op::kWrite;
    if (!takesPayload && !payload.empty()) return bad;
    switch (request.op) {
        case proto::op::kList: {
            const uint32_t capacity = std::min(request.argument, proto::kMaxListed);
            Description listing[proto::kMaxListed] = {};
            uint32_t count = 0;
            Response response;
            response.status = Sim().listByDescription(listing, capacity, &count);
            if (response.status != kUsbOk) return response;
            response.value = count;
            const uint32_t entries = std::min(count, capacity);
            const auto* bytes = reinterpret_cast<const uint8_t*>(listing);
            response.payload.assign(bytes, bytes + entries * kDescriptionSize);
            return response;
        }
        case proto::op::kOpen:
            return open(client, payload);
        case proto::op::kClose:
            return close(client, request.handle);
        case proto::op::kStats:
            stats_.clientsConnected = clients_.size();
            return Response{kUsbOk, 0, proto::EncodeStats(stats_)};
        default:
            break;
    }
    if (request.op < proto::op::kFirst || request.op > proto::op::kLast) return bad;
    const UsbHandle handle = handleOf(client, request.handle);
    if (handle == nullptr) return Response{proto::status::kNotYourHandle, 0, {}};
    Response response;
    switch (request.op) {
        case proto::op::kSetBitMode: {
            if (request.argument > kMaxBitModeArgument) return bad;
            const auto mask = static_cast<uint8_t>(request.argument >> proto::bit_mode_argument::kMaskShift);
            const auto mode = static_cast<uint8_t>(request.argument & proto::bit_mode_argument::kModeMask);
            response.status = Sim().setBitMode(handle, mask, mode);
            return response;
        }
        case proto::op::kWrite: {
            uint32_t written = 0;
            response.status =
                Sim().write(handle, payload.data(), static_cast<uint32_t>(payload.size()), &written);
            response.value = written;
            return response;
        }
        case proto::op::kRead: {
            if (request.argument > proto::kMaxPayload) return bad;
            response.payload.resize(request.argument);
            uint32_t got = 0;
            response.status = Sim().read(handle, response.payload.data(), request.argument, &got);
            response.payload.resize(response.status == kUsbOk ? std::min(got, request.argument) : 0);
            response.value = static_cast<uint32_t>(response.payload.size());
            return response;
        }
        case proto::op::kPurge:
            response.status = Sim().purge(handle, request.argument);
            return response;
        case proto::op::kLatencyTimer:
            if (request.argument > kMaxLatencyArgument) return bad;
            response.status = Sim().setLatencyTimer(handle, static_cast<uint8_t>(request.argument));
            return response;
        default:
            return bad;
    }
}

SimServer::Response SimServer::open(Client& client, const std::vector<uint8_t>& payload) {
    if (payload.empty() || payload.size() > kDescriptionSize || payload.back() != '\0') {
        return Response{proto::status::kBadRequest, 0, {}};
    }
    const std::string description(reinterpret_cast<const char*>(payload.data()));
    // The channel is opened for the first client and shared by the rest, as
    // one probe is shared by every process on the machine. A channel whose
    // close was refused is still open, and is handed out again.
    UsbHandle shared = nullptr;
    for (auto& [handle, channel] : channels_) {
        if (channel.description == description) shared = handle;
    }
    if (shared == nullptr) {
        const UsbStatus status = Sim().openByDescription(description.c_str(), &shared);
        if (status != kUsbOk) return Response{status, 0, {}};
        channels_[shared] = SharedChannel{description, 0};
    }
    ++channels_[shared].users;
    const uint32_t id = nextHandle_++;
    if (nextHandle_ == 0) nextHandle_ = 1;
    handles_[id] = shared;
    client.handles.insert(id);
    return Response{kUsbOk, id, {}};
}

SimServer::Response SimServer::close(Client& client, uint32_t id) {
    const UsbHandle shared = handleOf(client, id);
    if (shared == nullptr) return Response{proto::status::kNotYourHandle, 0, {}};
    SharedChannel& channel = channels_[shared];
    if (channel.users <= 1) {
        const UsbStatus status = Sim().close(shared);
        // A failed close leaves the handle open, as a real driver would.
        if (status != kUsbOk) return Response{status, 0, {}};
        channels_.erase(shared);
    } else {
        --channel.users;
    }
    handles_.erase(id);
    client.handles.erase(id);
    return Response{};
}

UsbHandle SimServer::handleOf(const Client& client, uint32_t id) const {
    if (client.handles.count(id) == 0) return nullptr;
    const auto found = handles_.find(id);
    return found == handles_.end() ? nullptr : found->second;
}

void SimServer::drop(size_t index) {
    Client& client = *clients_[index];
    // Handles a vanished client left open are released for it: the adapter
    // itself stays as that client left it, as a real one would.
    for (const uint32_t id : std::set<uint32_t>(client.handles)) {
        if (close(client, id).status != kUsbOk) {
            // The simulator refused (an injected fault): the channel stays
            // open with no user until someone opens it again.
            SharedChannel& channel = channels_[handles_[id]];
            if (channel.users > 0) --channel.users;
            handles_.erase(id);
        }
        ++stats_.handlesReclaimed;
    }
    ::close(client.fd);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
    stats_.clientsConnected = clients_.size();
}

void SimServer::queue(Client& client, uint8_t op, const Response& response) {
    const proto::Header header = proto::EncodeResponse(
        proto::ResponseHeader{op, response.status, response.value, static_cast<uint32_t>(response.payload.size())});
    client.out.assign(header.begin(), header.end());
    client.out.insert(client.out.end(), response.payload.begin(), response.payload.end());
    client.outSent = 0;
}

}  // namespace cm3sim
