// `cm3probe-sim serve` at the byte level: requests out of protocol, clients
// that die half way through a frame or stop reading, handles shared and
// reclaimed, a server that is missing or killed. The server never crashes,
// never lets one client hold up another, and every client call ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "adapter/backend.h"
#include "frame/adapter_lock.h"
#include "support.h"
#include "usb/sim_socket_driver.h"
#include "usb/sim_socket_protocol.h"
#include "usb/sim_usb_status.h"

namespace cm3rel {
namespace {

namespace proto = cm3sim::socket_protocol;
using cm3probe::adapter::kUsbOk;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;

inline constexpr time_t kReplyTimeoutSeconds = 10;
inline constexpr uint32_t kServerExitLimitMs = 10000;
inline constexpr uint32_t kRandomFrames = 2000;
inline constexpr uint32_t kRandomFramesSeed = 7;
inline constexpr uint32_t kMaxRandomPayload = 96;
inline constexpr uint32_t kMaxPipelined = 1000000;
inline constexpr uint32_t kWorkloadOperations = 200;
inline constexpr uint32_t kRegion = 1024;
inline constexpr uint32_t kLongestDescription = 64;
inline constexpr uint32_t kBitModeMpsse = 0x02;
inline constexpr uint32_t kPurgeBoth = 0x03;
inline constexpr uint32_t kFirstBadBitModeArgument = 0x10000;  // mask and mode are a byte each
inline constexpr uint32_t kFirstBadLatency = 0x100;            // the chip takes 1-255 ms
inline constexpr uint32_t kUnknownHandleOffset = 1000;
inline constexpr size_t kMagicOffset = 0;
inline constexpr size_t kVersionOffset = 2;
inline constexpr uint8_t kBadMagicByte = 0x00;
inline constexpr uint8_t kLastOp = 0xFF;
inline constexpr uint32_t kBadPayloadBytes = 4;
inline constexpr uint32_t kCutPayloadBytes = 100;
inline constexpr uint32_t kPayloadBytesSent = 10;
inline constexpr int kStaleAttempts = 1000;
inline constexpr useconds_t kStaleRetryUs = 10000;

// A client that speaks the protocol by hand.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        const timeval timeout{kReplyTimeoutSeconds, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { hangUp(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void hangUp() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool sendBytes(const std::vector<uint8_t>& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // False once the socket would block.
    bool sendWithoutWaiting(const std::vector<uint8_t>& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool sendFrame(uint8_t op, uint32_t handle, uint32_t argument, const std::vector<uint8_t>& payload = {}) {
        const proto::Header header =
            proto::EncodeRequest({op, handle, argument, static_cast<uint32_t>(payload.size())});
        std::vector<uint8_t> frame(header.begin(), header.end());
        frame.insert(frame.end(), payload.begin(), payload.end());
        return sendBytes(frame);
    }
    struct Answer {
        proto::ResponseHeader header;
        std::vector<uint8_t> payload;
    };
    std::optional<Answer> receive() {
        proto::Header bytes{};
        if (!receiveAll(bytes.data(), bytes.size())) return std::nullopt;
        const auto header = proto::DecodeResponse(bytes);
        if (!header) return std::nullopt;
        Answer answer{*header, std::vector<uint8_t>(header->payloadLength)};
        if (!receiveAll(answer.payload.data(), answer.payload.size())) return std::nullopt;
        return answer;
    }
    std::optional<Answer> call(uint8_t op, uint32_t handle, uint32_t argument,
                               const std::vector<uint8_t>& payload = {}) {
        if (!sendFrame(op, handle, argument, payload)) return std::nullopt;
        return receive();
    }
    // True once the server has hung up on us.
    bool closedByServer() {
        uint8_t byte = 0;
        return recv(fd_, &byte, 1, 0) == 0;
    }

private:
    bool receiveAll(uint8_t* data, size_t count) {
        while (count > 0) {
            const ssize_t got = recv(fd_, data, count, 0);
            if (got <= 0) return false;
            data += got;
            count -= static_cast<size_t>(got);
        }
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
};

std::vector<uint8_t> Description(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

UsbStatus StatusOf(const std::optional<RawClient::Answer>& answer) {
    return answer ? answer->header.status : proto::status::kServerUnreachable;
}

class SimServerTest : public ServedProbeTest {
protected:
    // The library in a child process, through the environment, does real work.
    void ExpectALibraryClientWorks() {
        const pid_t child = StartChild([&] {
            UsePrivateLock(lock_);
            UseServer(server_.socketPath());
            if (Connect(LinkChoice{true, true}) != DBG_OK) return 1;
            const WorkloadResult result = RunWorkload(kSramBase, kRegion, kWorkloadOperations, 1);
            (void)DebugClose();
            return result.corrupted() ? 2 : 0;
        });
        EXPECT_EQ(WaitChild(child), 0);
    }
};

struct BadFrame {
    const char* name;
    std::vector<uint8_t> bytes;
    bool hangsUp;  // the header cannot be trusted: the server answers and closes
};

std::vector<uint8_t> Frame(uint8_t op, uint32_t handle, uint32_t argument, const std::vector<uint8_t>& payload = {}) {
    const proto::Header header = proto::EncodeRequest({op, handle, argument, static_cast<uint32_t>(payload.size())});
    // Sized once: GCC 12 at -O3 misreads an insert after the header as an overrun.
    std::vector<uint8_t> frame(header.size() + payload.size());
    std::copy(header.begin(), header.end(), frame.begin());
    std::copy(payload.begin(), payload.end(), frame.begin() + static_cast<std::ptrdiff_t>(header.size()));
    return frame;
}

std::vector<uint8_t> WithByte(std::vector<uint8_t> frame, size_t at, uint8_t value) {
    frame[at] = value;
    return frame;
}

TEST_F(SimServerTest, RequestsOutOfProtocolAreRefused) {
    const uint32_t tooLong = proto::kMaxPayload + 1;
    std::vector<uint8_t> announcesTooMuch = Frame(proto::op::kWrite, 1, 0);
    proto::PutU32(&announcesTooMuch[proto::kHeaderSize - sizeof(uint32_t)], tooLong);
    const std::vector<BadFrame> frames = {
        {"bad magic", WithByte(Frame(proto::op::kList, 0, 1), kMagicOffset, kBadMagicByte), true},
        {"bad version", WithByte(Frame(proto::op::kList, 0, 1), kVersionOffset, proto::kVersion + 1), true},
        {"payload over the limit", announcesTooMuch, true},
        {"operation 0", Frame(0, 0, 0), false},
        {"operation past the last", Frame(proto::op::kLast + 1, 0, 0), false},
        {"operation 255", Frame(kLastOp, 0, 0), false},
        {"payload on a purge", Frame(proto::op::kPurge, 1, kPurgeBoth, std::vector<uint8_t>(kBadPayloadBytes)), false},
        {"open without a description", Frame(proto::op::kOpen, 0, 0), false},
        {"open without a terminator", Frame(proto::op::kOpen, 0, 0, {'U', 'S', 'B'}), false},
        {"open with 65 bytes", Frame(proto::op::kOpen, 0, 0, std::vector<uint8_t>(kLongestDescription + 1, 0)),
         false},
    };
    for (const BadFrame& frame : frames) {
        RawClient client(server_.socketPath());
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.sendBytes(frame.bytes)) << frame.name;
        const auto answer = client.receive();
        EXPECT_EQ(StatusOf(answer), proto::status::kBadRequest) << frame.name;
        if (frame.hangsUp) {
            EXPECT_TRUE(client.closedByServer()) << frame.name;
        } else {
            EXPECT_EQ(StatusOf(client.call(proto::op::kStats, 0, 0)), kUsbOk) << frame.name << ": still served";
        }
    }
    const auto stats = server_.stats();
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->badRequests, frames.size());
    ExpectALibraryClientWorks();
}

TEST_F(SimServerTest, ArgumentsOutOfRangeAndForeignHandlesAreRefused) {
    RawClient owner(server_.socketPath());
    RawClient other(server_.socketPath());
    const auto opened = owner.call(proto::op::kOpen, 0, 0, Description(kAdapter));
    ASSERT_EQ(StatusOf(opened), kUsbOk);
    const uint32_t handle = opened->header.value;
    EXPECT_EQ(StatusOf(owner.call(proto::op::kRead, handle, proto::kMaxPayload + 1)), proto::status::kBadRequest);
    EXPECT_EQ(StatusOf(owner.call(proto::op::kSetBitMode, handle, kFirstBadBitModeArgument)), proto::status::kBadRequest);
    EXPECT_EQ(StatusOf(owner.call(proto::op::kLatencyTimer, handle, kFirstBadLatency)), proto::status::kBadRequest);
    for (const uint8_t op : {proto::op::kSetBitMode, proto::op::kWrite, proto::op::kRead, proto::op::kPurge,
                             proto::op::kLatencyTimer, proto::op::kClose}) {
        EXPECT_EQ(StatusOf(other.call(op, handle, 1)), proto::status::kNotYourHandle) << "op " << int{op};
        EXPECT_EQ(StatusOf(owner.call(op, handle + kUnknownHandleOffset, 1)), proto::status::kNotYourHandle)
            << "op " << int{op};
    }
    EXPECT_EQ(StatusOf(owner.call(proto::op::kClose, handle, 0)), kUsbOk);
    EXPECT_EQ(StatusOf(owner.call(proto::op::kClose, handle, 0)), proto::status::kNotYourHandle) << "closed twice";
}

TEST_F(SimServerTest, RandomFramesNeverStopTheServer) {
    std::mt19937 random(kRandomFramesSeed);
    uint32_t hungUp = 0;
    auto client = std::make_unique<RawClient>(server_.socketPath());
    for (uint32_t i = 0; i < kRandomFrames; ++i) {
        // Mostly well framed with random fields; sometimes a header of noise,
        // which the server answers and then hangs up on.
        std::vector<uint8_t> bytes;
        bool noise = random() % 4 == 0;
        if (noise) {
            bytes.resize(proto::kHeaderSize);
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
            noise = !proto::DecodeRequest(std::span<const uint8_t, proto::kHeaderSize>(bytes.data(), proto::kHeaderSize));
            if (!noise) continue;  // framed by chance: its payload would never come
        } else {
            std::vector<uint8_t> payload(random() % kMaxRandomPayload);
            for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
            bytes = Frame(static_cast<uint8_t>(random() % (proto::op::kLast + 2)), random() % 4,
                          static_cast<uint32_t>(random()), payload);
        }
        ASSERT_TRUE(client->sendBytes(bytes));
        ASSERT_TRUE(client->receive()) << "frame " << i << " went unanswered";
        if (noise) {
            EXPECT_TRUE(client->closedByServer());
            ++hungUp;
            client = std::make_unique<RawClient>(server_.socketPath());
        }
    }
    client.reset();
    std::printf("[figures] %u random frames, %u connections ended by the server\n", kRandomFrames, hungUp);
    ExpectALibraryClientWorks();
}

TEST_F(SimServerTest, ClientsThatDieHalfWayThroughAFrameCostNothing) {
    {
        RawClient halfHeader(server_.socketPath());
        std::vector<uint8_t> half = Frame(proto::op::kList, 0, 1);
        half.resize(proto::kHeaderSize / 2);
        ASSERT_TRUE(halfHeader.sendBytes(half));
    }
    {
        RawClient halfPayload(server_.socketPath());
        const auto opened = halfPayload.call(proto::op::kOpen, 0, 0, Description(kAdapter));
        ASSERT_EQ(StatusOf(opened), kUsbOk);
        std::vector<uint8_t> frame =
            Frame(proto::op::kWrite, opened->header.value, 0, std::vector<uint8_t>(kCutPayloadBytes));
        frame.resize(proto::kHeaderSize + kPayloadBytesSent);
        ASSERT_TRUE(halfPayload.sendBytes(frame));
    }
    ExpectALibraryClientWorks();
    const auto stats = server_.stats();
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->clientsLostMidRequest, 2u);
    EXPECT_GE(stats->handlesReclaimed, 1u) << "the open handle of the client that died";
}

TEST_F(SimServerTest, AClientThatStopsReadingHoldsUpNobody) {
    // Listings, which touch no adapter, until the sockets between us are full
    // both ways and the server has an answer it cannot deliver.
    RawClient greedy(server_.socketPath());
    const std::vector<uint8_t> frame = Frame(proto::op::kList, 0, proto::kMaxListed);
    uint32_t sent = 0;
    while (sent < kMaxPipelined && greedy.sendWithoutWaiting(frame)) ++sent;
    EXPECT_LT(sent, kMaxPipelined) << "the server kept reading a client that reads nothing";
    ExpectALibraryClientWorks();
}

TEST_F(SimServerTest, OneChannelIsSharedAndClosedWithItsLastUser) {
    RawClient first(server_.socketPath());
    RawClient second(server_.socketPath());
    const auto a = first.call(proto::op::kOpen, 0, 0, Description(kAdapter));
    const auto b = second.call(proto::op::kOpen, 0, 0, Description(kAdapter));
    ASSERT_EQ(StatusOf(a), kUsbOk);
    ASSERT_EQ(StatusOf(b), kUsbOk);
    EXPECT_NE(a->header.value, b->header.value);
    EXPECT_EQ(StatusOf(first.call(proto::op::kClose, a->header.value, 0)), kUsbOk);
    EXPECT_EQ(StatusOf(second.call(proto::op::kSetBitMode, b->header.value, kBitModeMpsse)), kUsbOk)
        << "the channel stays open for its other user";
    EXPECT_EQ(StatusOf(second.call(proto::op::kClose, b->header.value, 0)), kUsbOk);
    // Closed for real: opening it again works, and no handle is left over.
    const auto again = first.call(proto::op::kOpen, 0, 0, Description(kAdapter));
    EXPECT_EQ(StatusOf(again), kUsbOk);
    EXPECT_EQ(StatusOf(first.call(proto::op::kOpen, 0, 0, Description("no such adapter"))),
              cm3sim::usb_status::kNoSuchDescription);
}

TEST_F(SimServerTest, AForkedChildTalksOnAConnectionOfItsOwn) {
    UseServer(server_.socketPath());
    const cm3probe::adapter::UsbDriver& driver = cm3sim::SimSocketUsbDriver();
    cm3probe::adapter::Description listing[2] = {};
    uint32_t count = 0;
    ASSERT_EQ(driver.listByDescription(listing, 2, &count), kUsbOk);
    const pid_t child = StartChild([&] {
        uint32_t childCount = 0;
        cm3probe::adapter::Description childListing[2] = {};
        return driver.listByDescription(childListing, 2, &childCount) == kUsbOk && childCount == count ? 0 : 1;
    });
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_EQ(driver.listByDescription(listing, 2, &count), kUsbOk) << "the parent's connection is intact";
}

TEST(SimServerLifetime, MissingOrKilledServerFailsCallsWithoutHanging) {
    const std::string lock = UniqueName("lock");
    UsePrivateLock(lock);
    UseServer("/nonexistent-dir/cm3probe.sock");
    EXPECT_EQ(DebugOpen(kClockHz, kAdapter, 1), DBG_ERROR);
    uint32_t count = 0;
    cm3probe::adapter::Description listing[1] = {};
    EXPECT_EQ(cm3sim::SimSocketUsbDriver().listByDescription(listing, 1, &count), proto::status::kServerUnreachable);

    auto server = std::make_unique<ServerProcess>();
    ASSERT_TRUE(server->ready());
    UseServer(server->socketPath());
    ASSERT_EQ(Connect(LinkChoice{true, false}), DBG_OK);
    kill(server->pid(), SIGKILL);
    uint32_t value = 0;
    EXPECT_EQ(DebugReadMem(kSramBase, &value, 2), DBG_ERROR) << "the adapter is gone";
    EXPECT_EQ(DebugClose(), DBG_ERROR);
    server.reset();
    cm3probe::connection::CloseLockForTesting(cm3probe::connection::OpenLock(lock.c_str()), true);
}

TEST(SimServerLifetime, RefusesAPathItMustNotTake) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::string file = (dir / (UniqueName("not-a-socket") + ".txt")).string();
    std::ofstream(file) << "keep me";
    const auto serve = [](const std::string& path) {
        const pid_t child = StartChild([&] {
            execl(CM3PROBE_SIM_SERVER, "cm3probe-sim", "serve", "--socket", path.c_str(),
                  static_cast<char*>(nullptr));
            return 127;
        });
        return WaitChild(child, kServerExitLimitMs);
    };
    EXPECT_EQ(serve(file), 1) << "a regular file";
    std::ifstream kept(file);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");
    std::filesystem::remove(file);

    ServerProcess running;
    ASSERT_TRUE(running.ready());
    EXPECT_EQ(serve(running.socketPath()), 1) << "a socket another server answers on";
    EXPECT_EQ(serve(std::string(200, 'x')), 1) << "a path too long for a socket";

    // A socket file left by a server that died is taken over.
    const std::string stale = (dir / (UniqueName("stale") + ".sock")).string();
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    const pid_t taker = StartChild([&] {
        execl(CM3PROBE_SIM_SERVER, "cm3probe-sim", "serve", "--socket", stale.c_str(), static_cast<char*>(nullptr));
        return 127;
    });
    bool served = false;
    for (int attempt = 0; attempt < kStaleAttempts && !served; ++attempt) {
        served = cm3sim::QueryServerStats(stale).has_value();
        if (!served) usleep(kStaleRetryUs);
    }
    EXPECT_TRUE(served);
    kill(taker, SIGTERM);
    EXPECT_EQ(WaitChild(taker, kServerExitLimitMs), 0);
    struct stat info {};
    EXPECT_NE(lstat(stale.c_str(), &info), 0) << "the server removes its socket when it stops";
}

}  // namespace
}  // namespace cm3rel
