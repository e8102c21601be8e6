#include "gdb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "packet.h"
#include "serve.h"
#include "session.h"

namespace cm3tools::gdb {
namespace {

using Clock = std::chrono::steady_clock;

// A packet is accepted up to twice the advertised size: escapes can grow
// binary data past what GDB counted.
inline constexpr size_t kMaxPayload = 2 * kPacketSize;
inline constexpr size_t kReceiveChunk = 4096;
inline constexpr int kBacklog = 1;
inline constexpr int kForever = -1;
inline constexpr size_t kLoggedPacketLength = 120;
inline constexpr int kServerEnded = 0;
inline constexpr int kServerFailed = 1;

// The poll set: the client, the listening socket when there is one, then
// refused connections waiting for their first packet.
inline constexpr size_t kClientSlot = 0;
inline constexpr size_t kListenerSlot = 1;
inline constexpr size_t kRefusedSlots = 2;
// Refused connections kept to tell them why; more are closed at once.
inline constexpr size_t kMaxRefused = 4;
// The answer to a refused debugger's first packet: GDB shows the text of an
// "E." reply to qSupported as a warning, then sees the connection close.
inline constexpr std::string_view kRefusal =
    "E.one debugger at a time: another debugger is connected to this server";

void Log(std::ostream* log, const std::string& text) {
    if (log != nullptr) *log << text << std::endl;
}

bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Packets for a log: binary bytes escaped, long ones cut short.
std::string Printable(std::string_view packet) {
    std::string text;
    for (char c : packet.substr(0, kLoggedPacketLength)) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isprint(byte) != 0) {
            text.push_back(c);
        } else {
            text += "\\x" + ToHex(std::span<const uint8_t>(&byte, 1));
        }
    }
    if (packet.size() > kLoggedPacketLength) text += "... (" + std::to_string(packet.size()) + " bytes)";
    return text;
}

class Connection {
public:
    Connection(int fd, Target& target, const ClientOptions& options)
        : fd_(fd),
          log_(options.log),
          logPackets_(options.log != nullptr && options.logPackets),
          session_(target, options.log, {options.semihosting, options.semihostingConsole}),
          reader_(kMaxPayload) {}

    ~Connection() {
        for (const Refused& refused : refused_) ::close(refused.fd);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void run(int listener) {
        session_.attach();
        Clock::time_point nextPoll = Clock::now();
        std::chrono::milliseconds interval = kFirstPollInterval;
        while (open_) {
            if (!session_.running()) interval = kFirstPollInterval;
            std::vector<pollfd> fds(kRefusedSlots);
            fds[kClientSlot] = {fd_, POLLIN, 0};
            // Without a listener the slot holds a negative descriptor, which poll skips.
            fds[kListenerSlot] = {listener, POLLIN, 0};
            for (const Refused& refused : refused_) fds.push_back({refused.fd, POLLIN, 0});
            const nfds_t count = fds.size();
            int timeout = kForever;
            if (session_.running()) {
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Clock::now());
                timeout = static_cast<int>(std::max<int64_t>(0, wait.count()));
            }
            const int ready = ::poll(fds.data(), count, timeout);
            if (ready < 0 && errno != EINTR) break;
            if (ready > 0) serveRefused(fds);
            if (ready > 0 && (fds[kListenerSlot].revents & POLLIN) != 0) refuse(listener);
            if (ready > 0 && fds[kClientSlot].revents != 0 && !receive()) break;
            drainEvents();
            if (session_.running() && Clock::now() >= nextPoll) {
                auto stop = session_.pollStop();
                const std::vector<std::string> outputs = session_.takeOutput();
                for (const std::string& output : outputs) send(output);
                if (stop) send(*stop);
                // A served call or a stop: the next one may come soon.
                interval = stop || !outputs.empty() ? kFirstPollInterval : std::min(2 * interval, kLongestPollInterval);
                nextPoll = Clock::now() + interval;
            }
            while (open_ && !session_.running() && !held_.empty()) {
                const std::string packet = std::move(held_.front());
                held_.pop_front();
                process(packet);
            }
        }
        if (!closedByClient_) session_.release();
    }

private:
    struct Refused {
        int fd;
        PacketReader reader;
    };

    void refuse(int listener) {
        const int extra = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (extra < 0) return;
        Log(log_, "gdbserver: refused another debugger: one debugger at a time");
        if (refused_.size() == kMaxRefused) {
            ::close(extra);
            return;
        }
        refused_.push_back({extra, PacketReader(kMaxPayload)});
    }

    // A refused debugger says nothing until it sends its first packet; the
    // reply to that tells it why before the close.
    void serveRefused(const std::vector<pollfd>& fds) {
        std::vector<Refused> kept;
        for (size_t i = 0; i < refused_.size(); ++i) {
            Refused& refused = refused_[i];
            bool done = true;
            if (fds[kRefusedSlots + i].revents == 0) {
                done = false;
            } else {
                std::array<char, kReceiveChunk> buffer{};
                const ssize_t n = ::recv(refused.fd, buffer.data(), buffer.size(), 0);
                if (n > 0) {
                    refused.reader.feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
                    done = false;
                    while (auto event = refused.reader.next()) {
                        if (event->kind == Event::Kind::Packet || event->kind == Event::Kind::BadChecksum ||
                            event->kind == Event::Kind::Overlong) {
                            (void)SendAll(refused.fd, std::string(1, rsp::kAck) + Frame(kRefusal));
                            done = true;
                            break;
                        }
                    }
                } else if (n < 0 && errno == EINTR) {
                    done = false;
                }
            }
            if (done) {
                ::close(refused.fd);
            } else {
                kept.push_back(std::move(refused));
            }
        }
        refused_ = std::move(kept);
    }

    bool receive() {
        std::array<char, kReceiveChunk> buffer{};
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        reader_.feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
        return true;
    }

    void drainEvents() {
        while (auto event = reader_.next()) {
            switch (event->kind) {
            case Event::Kind::Interrupt:
                if (auto stop = session_.interrupt()) send(*stop);
                break;
            case Event::Kind::Ack:
                break;
            case Event::Kind::Nack:
                if (!session_.noAckMode()) write(lastSent_);
                break;
            case Event::Kind::BadChecksum:
                if (!session_.noAckMode()) write(std::string(1, rsp::kNack));
                break;
            case Event::Kind::Overlong:
                acknowledge();
                send(std::string(error_reply::kMalformed));
                break;
            case Event::Kind::Packet:
                if (logPackets_) Log(log_, "gdbserver: <- " + Printable(event->payload));
                acknowledge();
                // All-stop GDB sends nothing but the interrupt while the core
                // runs; anything else waits for the stop.
                if (session_.running()) {
                    held_.push_back(std::move(event->payload));
                } else {
                    process(event->payload);
                }
                break;
            }
            if (!open_) return;
        }
    }

    void process(const std::string& packet) {
        const Session::Response response = session_.handle(packet);
        for (const std::string& output : session_.takeOutput()) send(output);
        for (const std::string& reply : response.packets) send(reply);
        if (response.after == Session::After::Close) {
            closedByClient_ = true;
            open_ = false;
        }
    }

    void acknowledge() {
        if (!session_.noAckMode()) write(std::string(1, rsp::kAck));
    }

    void send(const std::string& payload) {
        if (logPackets_) Log(log_, "gdbserver: -> " + Printable(payload));
        lastSent_ = Frame(payload);
        write(lastSent_);
    }

    void write(const std::string& bytes) {
        if (!SendAll(fd_, bytes)) open_ = false;
    }

    int fd_;
    std::ostream* log_;
    bool logPackets_;
    Session session_;
    PacketReader reader_;
    std::deque<std::string> held_;
    std::vector<Refused> refused_;
    std::string lastSent_;
    bool open_ = true;
    bool closedByClient_ = false;
};

}  // namespace

void ServeClient(int fd, Target& target, const ClientOptions& options) {
    Connection(fd, target, options).run(options.listener);
}

int RunServer(const ServerOptions& options) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        Log(options.log, std::string("gdbserver: socket: ") + std::strerror(errno));
        return kServerFailed;
    }
    const int on = 1;
    (void)::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener, kBacklog) != 0) {
        Log(options.log, "gdbserver: cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " +
                             std::strerror(errno));
        ::close(listener);
        return kServerFailed;
    }
    Log(options.log, "gdbserver: listening on 127.0.0.1:" + std::to_string(options.port));

    const std::unique_ptr<Target> target = LibraryTarget(options.batched);
    int status = kServerEnded;
    while (true) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR) continue;
            Log(options.log, std::string("gdbserver: accept: ") + std::strerror(errno));
            status = kServerFailed;
            break;
        }
        (void)::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        Log(options.log, "gdbserver: debugger connected");
        ServeClient(client, *target,
                    {options.log, options.logPackets, listener, options.semihosting, options.semihostingConsole});
        ::close(client);
        Log(options.log, "gdbserver: debugger disconnected");
        if (options.once) break;
    }
    ::close(listener);
    return status;
}

}  // namespace cm3tools::gdb
