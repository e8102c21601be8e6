// `cm3probe-sim serve`: the process's virtual adapter (cm3sim::GlobalProbe())
// served to other processes over a Unix-domain socket. One thread, one request
// at a time: every driver operation is atomic with respect to every client.
#pragma once

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "adapter/usb_driver.h"
#include "usb/sim_socket_protocol.h"

namespace cm3sim {

class SimServer {
public:
    // Clients beyond this are turned away at once.
    static constexpr size_t kMaxClients = 64;

    explicit SimServer(std::string socketPath);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds the socket; a stale socket file nobody listens on is replaced.
    // False (with `error` set) when the path is taken or unusable.
    bool listen(std::string& error);
    // Serves until `stop` becomes non-zero (set from a signal handler).
    void run(const volatile std::sig_atomic_t& stop);

private:
    struct Client {
        int fd = -1;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
        size_t outSent = 0;
        bool closing = false;  // out of protocol: flush the answer, then hang up
        std::set<uint32_t> handles;
    };
    struct SharedChannel {
        std::string description;
        uint32_t users = 0;
    };
    struct Response {
        cm3probe::adapter::UsbStatus status = cm3probe::adapter::kUsbOk;
        uint32_t value = 0;
        std::vector<uint8_t> payload;
    };

    void accept();
    // False when the client went away.
    bool receive(Client& client);
    bool transmit(Client& client);
    bool hasFrame(const Client& client) const;
    void serveOneFrame(Client& client);
    Response serve(Client& client, const socket_protocol::RequestHeader& request,
                   const std::vector<uint8_t>& payload);
    Response open(Client& client, const std::vector<uint8_t>& payload);
    Response close(Client& client, uint32_t id);
    cm3probe::adapter::UsbHandle handleOf(const Client& client, uint32_t id) const;
    void drop(size_t index);
    void queue(Client& client, uint8_t op, const Response& response);

    std::string path_;
    int listenFd_ = -1;
    std::vector<std::unique_ptr<Client>> clients_;
    // Client handle id -> the simulator's handle it shares.
    std::map<uint32_t, cm3probe::adapter::UsbHandle> handles_;
    std::map<cm3probe::adapter::UsbHandle, SharedChannel> channels_;
    uint32_t nextHandle_ = 1;
    socket_protocol::ServerStats stats_;
};

}  // namespace cm3sim
