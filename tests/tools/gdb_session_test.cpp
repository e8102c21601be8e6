// The server's exact replies over a socket pair, against a fake target: the
// connection loop, the packet handlers, bad packets, run control with the
// interrupt byte, breakpoints, flash, monitor commands, detach and kill.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "descriptions.h"
#include "gdb_fake_target.h"
#include "packet.h"
#include "serve.h"

namespace cm3test {
namespace {

using cm3tools::gdb::Frame;
using cm3tools::gdb::ToHex;

// A reply that never comes fails the test instead of hanging it.
constexpr int kReplyLimitMs = 5000;

class Client {
public:
    explicit Client(int fd) : fd_(fd) {}
    ~Client() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void sendRaw(const std::string& bytes) const {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // The next byte, or -1 at end of stream or after the limit.
    int byte() const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, kReplyLimitMs) != 1) return -1;
        char c = 0;
        return ::recv(fd_, &c, 1, 0) == 1 ? static_cast<unsigned char>(c) : -1;
    }
    bool closedByServer() const { return byte() == -1; }
    // Whether anything arrives within `ms`.
    bool quietFor(int ms) const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    }
    // One framed reply: checked, acknowledged (unless in no-ack mode), unescaped.
    std::string packet() {
        int c = byte();
        while (c != '$') {
            if (c == -1) {
                ADD_FAILURE() << "no reply";
                return "<none>";
            }
            c = byte();
        }
        std::string body;
        for (c = byte(); c != '#' && c != -1; c = byte()) body.push_back(static_cast<char>(c));
        std::string checksum;
        checksum.push_back(static_cast<char>(byte()));
        checksum.push_back(static_cast<char>(byte()));
        EXPECT_EQ(Frame(cm3tools::gdb::Unescape(body)), "$" + body + "#" + checksum) << "bad framing";
        if (acks) sendRaw("+");
        return cm3tools::gdb::Unescape(body);
    }
    // Sends a packet, expects its acknowledge, returns the reply.
    std::string ask(const std::string& payload) {
        sendRaw(Frame(payload));
        if (acks) {
            EXPECT_EQ(byte(), '+') << payload;
        }
        return packet();
    }
    bool acks = true;

private:
    int fd_;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { start(); }
    void TearDown() override { stop(); }

    void start() {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        serverFd_ = fds[0];
        client_ = std::make_unique<Client>(fds[1]);
        server_ = std::thread([this] { cm3tools::gdb::ServeClient(serverFd_, fake_, {&log_, true, -1}); });
    }
    void stop() {
        if (client_) client_->close();
        if (server_.joinable()) server_.join();
        if (serverFd_ >= 0) ::close(serverFd_);
        serverFd_ = -1;
    }
    // Waits for the server to finish with the client (after D, k or a hang-up)
    // and hangs up its end, as RunServer does.
    void waitForServer() {
        if (server_.joinable()) server_.join();
        if (serverFd_ >= 0) ::close(serverFd_);
        serverFd_ = -1;
    }
    Client& client() { return *client_; }

    static std::string Hex32(uint32_t value) { return cm3tools::gdb::RegisterHex(value, 4); }

    FakeTarget fake_;
    std::ostringstream log_;
    int serverFd_ = -1;
    std::unique_ptr<Client> client_;
    std::thread server_;
};

// A stop reply without its expedited registers (checked on their own below).
std::string Plain(const std::string& reply) {
    static const std::regex expedited("(T[0-9a-f]{2}|;)(?:[0-9a-f]{2}:[0-9a-f]{8};)+");
    return std::regex_replace(reply, expedited, "$1");
}

// --- fixed replies ----------------------------------------------------------

TEST_F(ServerTest, FixedReplies) {
    struct Case {
        const char* packet;
        const char* reply;
    };
    const Case cases[] = {
        {"qSupported:multiprocess+;swbreak+;hwbreak+;qRelocInsn+",
         "PacketSize=2000;qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;vContSupported+"},
        {"?", "T05thread:1;"},
        {"qAttached", "1"},
        {"qC", "QC1"},
        {"qfThreadInfo", "m1"},
        {"qsThreadInfo", "l"},
        {"Hg0", "OK"},
        {"Hc-1", "OK"},
        {"T1", "OK"},
        {"qSymbol::", "OK"},
        {"vCont?", "vCont;c;C;s;S"},
        // Unknown or unsupported: empty.
        {"vMustReplyEmpty", ""},
        {"qTStatus", ""},
        {"qOffsets", ""},
        {"!", ""},
        {"vRun;", ""},
        {"Z5,20000000,4", ""},
        {"z5,20000000,4", ""},
        {"qXfer:libraries:read::0,100", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Plain(client().ask(c.packet)), c.reply) << c.packet;
}

TEST_F(ServerTest, MalformedPacketsGetErrors) {
    struct Case {
        const char* packet;
        const char* reply;
    };
    const Case cases[] = {
        {"m20000000", "E01"},
        {"mzz,4", "E01"},
        {"m20000000,", "E01"},
        {"mffffffff,2", "E01"},           // past the end of the address space
        {"M20000000,4:0011", "E01"},      // fewer bytes than the length says
        {"M20000000,2:zz11", "E01"},
        {"M20000000,2", "E01"},
        {"X20000000,4:ab", "E01"},
        {"p", "E01"},
        {"p17", "E01"},                   // past the last register
        {"P0=12", "E01"},                 // short value
        {"P0", "E01"},
        {"G00", "E01"},
        {"gx", "E01"},
        {"cxyz", "E01"},
        {"Cxy", "E01"},
        {"S;100", "E01"},
        {"vCont;x", "E01"},
        {"vCont;C", "E01"},
        {"Zq,0,2", "E01"},
        {"Z1,zz,2", "E01"},
        {"Z1,101,2", "E01"},              // not a halfword address
        {"qRcmd,zz", "E01"},
        {"qXfer:features:read:other.xml:0,10", "E04"},
        {"qXfer:memory-map:read:x:0,10", "E04"},
        {"qXfer:features:read:target.xml", "E01"},
        {"vFlashErase:0", "E01"},
        {"vFlashWrite:zz:ab", "E01"},
    };
    for (const Case& c : cases) EXPECT_EQ(client().ask(c.packet), c.reply) << c.packet;
    // The session goes on.
    EXPECT_EQ(Plain(client().ask("?")), "T05thread:1;");
}

TEST_F(ServerTest, BadChecksumIsRefusedAndNothingHappens) {
    client().sendRaw("$M20000000,1:55#00");
    EXPECT_EQ(client().byte(), '-');
    EXPECT_EQ(fake_.sram[0], 0);
    // A client that resends gets the reply.
    EXPECT_EQ(client().ask("M20000000,1:55"), "OK");
    EXPECT_EQ(fake_.sram[0], 0x55);
}

TEST_F(ServerTest, NackResendsTheLastReply) {
    EXPECT_EQ(client().ask("qC"), "QC1");
    client().sendRaw("-");
    EXPECT_EQ(client().packet(), "QC1");
}

TEST_F(ServerTest, OverlongPacketIsAnError) {
    client().sendRaw(Frame("M20000000,4:" + std::string(5 * cm3tools::gdb::kPacketSize, '0')));
    EXPECT_EQ(client().byte(), '+');
    EXPECT_EQ(client().packet(), "E01");
    EXPECT_EQ(client().ask("qC"), "QC1");
}

TEST_F(ServerTest, NoAckModeStopsAcknowledges) {
    EXPECT_EQ(client().ask("QStartNoAckMode"), "OK");
    client().acks = false;
    EXPECT_EQ(client().ask("qC"), "QC1");
    EXPECT_EQ(Plain(client().ask("?")), "T05thread:1;");
}

// --- target description and memory map -------------------------------------

std::string ReadDocument(Client& client, const std::string& prefix) {
    std::string document;
    for (;;) {
        std::ostringstream request;
        request << prefix << std::hex << document.size() << ",100";
        const std::string reply = client.ask(request.str());
        if (reply.empty() || (reply[0] != 'm' && reply[0] != 'l')) {
            ADD_FAILURE() << "reply " << reply;
            return document;
        }
        document += reply.substr(1);
        if (reply[0] == 'l') return document;
    }
}

TEST_F(ServerTest, TargetDescriptionIsAnMProfileInRegisterOrder) {
    const std::string xml = ReadDocument(client(), "qXfer:features:read:target.xml:");
    EXPECT_EQ(xml, cm3tools::gdb::TargetXml());
    EXPECT_NE(xml.find("<architecture>arm</architecture>"), std::string::npos);
    EXPECT_NE(xml.find("<feature name=\"org.gnu.gdb.arm.m-profile\">"), std::string::npos);
    const std::regex reg(R"re(<reg name="(\w+)" bitsize="(\d+)" regnum="(\d+)")re");
    std::vector<std::string> names;
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), reg); it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(std::stoul((*it)[3]), names.size());
        names.push_back((*it)[1]);
    }
    const std::vector<std::string> expected = {"r0",  "r1",  "r2",   "r3",      "r4",      "r5",        "r6",     "r7",
                                               "r8",  "r9",  "r10",  "r11",     "r12",     "sp",        "lr",     "pc",
                                               "xpsr", "msp", "psp", "primask", "basepri", "faultmask", "control"};
    EXPECT_EQ(names, expected);
    // Past the end: an empty last piece.
    EXPECT_EQ(client().ask("qXfer:features:read:target.xml:ffff,100"), "l");
}

TEST_F(ServerTest, MemoryMapHasFlashBlocksAndRam) {
    EXPECT_EQ(ReadDocument(client(), "qXfer:memory-map:read::"),
              "<?xml version=\"1.0\"?>\n"
              "<memory-map>\n"
              "  <memory type=\"flash\" start=\"0x0\" length=\"0x40000\">\n"
              "    <property name=\"blocksize\">0x400</property>\n"
              "  </memory>\n"
              "  <memory type=\"ram\" start=\"0x20000000\" length=\"0x10000\"/>\n"
              "  <memory type=\"ram\" start=\"0x40000000\" length=\"0x20000000\"/>\n"
              "  <memory type=\"ram\" start=\"0xe0000000\" length=\"0x20000000\"/>\n"
              "</memory-map>\n");
}

// --- registers ----------------------------------------------------------------

TEST_F(ServerTest, RegistersReadAndWriteInDescriptionOrder) {
    for (uint32_t i = 0; i <= cm3tools::regsel::kPsp; ++i) fake_.registers[i] = 0x11110000u + i;
    fake_.registers[cm3tools::regsel::kSpecial] = 0x02010380;  // CONTROL 2, FAULTMASK 1, BASEPRI 3, PRIMASK 0x80
    std::string expected;
    for (uint32_t i = 0; i <= cm3tools::regsel::kPsp; ++i) expected += Hex32(0x11110000u + i);
    expected += "80030102";
    EXPECT_EQ(client().ask("g"), expected);

    EXPECT_EQ(client().ask("pf"), Hex32(0x1111000F));
    EXPECT_EQ(client().ask("p10"), Hex32(0x11110010));
    EXPECT_EQ(client().ask("p14"), "03");  // basepri
    EXPECT_EQ(client().ask("P16=00"), "OK");  // control
    EXPECT_EQ(fake_.registers[cm3tools::regsel::kSpecial], 0x00010380u);
    EXPECT_EQ(client().ask("Pf=00010020"), "OK");
    EXPECT_EQ(fake_.registers[cm3tools::regsel::kPc], 0x20000100u);

    std::string all;
    for (uint32_t i = 0; i <= cm3tools::regsel::kPsp; ++i) all += Hex32(0x22220000u + i);
    all += "01020304";
    EXPECT_EQ(client().ask("G" + all), "OK");
    for (uint32_t i = 0; i <= cm3tools::regsel::kPsp; ++i) EXPECT_EQ(fake_.registers[i], 0x22220000u + i);
    EXPECT_EQ(fake_.registers[cm3tools::regsel::kSpecial], 0x04030201u);
}

TEST_F(ServerTest, RegistersOfARunningCoreAreRefused) {
    // The core runs behind the server's back (after `monitor reset run`, say).
    EXPECT_EQ(Plain(client().ask("?")), "T05thread:1;");
    fake_.halted = false;
    EXPECT_EQ(client().ask("g"), "E03");
    EXPECT_EQ(client().ask("p0"), "E03");
    EXPECT_EQ(client().ask("P0=00000000"), "E03");
}

// --- memory -------------------------------------------------------------------

TEST_F(ServerTest, MemoryReadsAndWritesGoThroughBlocks) {
    for (size_t i = 0; i < 16; ++i) fake_.sram[i] = static_cast<uint8_t>(i * 3);
    EXPECT_EQ(client().ask("m20000001,4"), "0306090c");
    EXPECT_EQ(client().ask("M20000010,3:a1b2c3"), "OK");
    EXPECT_EQ(fake_.sram[0x10], 0xa1);
    EXPECT_EQ(fake_.sram[0x12], 0xc3);

    // A whole block in one read; more than a packet holds comes back short.
    fake_.readSizes.clear();
    EXPECT_EQ(client().ask("m20000000,1000").size(), 2u * cm3tools::gdb::kBlockSize);
    EXPECT_EQ(client().ask("m20000000,3000").size(), cm3tools::gdb::kPacketSize);
    EXPECT_EQ(fake_.readSizes, (std::vector<uint32_t>{4096, 4096}));
}

// Small Code-region reads come from lines read once while halted: at any
// address they show the target's bytes, and GDB's reads on both sides of the
// PC after a step cost one block read.
TEST_F(ServerTest, SmallCodeReadsShowTheTargetAndCostOneLine) {
    std::mt19937 random(11);
    for (uint8_t& b : fake_.flash) b = static_cast<uint8_t>(random());
    for (int i = 0; i < 300; ++i) {
        const uint32_t address = random() % FakeTarget::kFlashSize;
        const uint32_t length = std::min<uint32_t>(1 + random() % 16, FakeTarget::kFlashSize - address);
        std::string expected;
        for (uint32_t b = 0; b < length; ++b) expected += cm3tools::gdb::RegisterHex(fake_.flash[address + b], 1);
        std::ostringstream read;
        read << std::hex << "m" << address << "," << length;
        EXPECT_EQ(client().ask(read.str()), expected) << read.str();
        if (random() % 8 == 0) (void)client().ask("vCont;s:1;c");  // drops the lines
    }
    fake_.registers[cm3tools::regsel::kPc] = 0x3E;
    (void)client().ask("vCont;s:1;c");
    fake_.readSizes.clear();
    for (const char* read : {"m40,4", "m3c,4", "m40,2", "m3e,2", "m3c,2", "m40,4"}) (void)client().ask(read);
    EXPECT_EQ(fake_.readSizes.size(), 1u);
}

TEST_F(ServerTest, BinaryWritesKeepEscapedBytesAndSplitIntoBlocks) {
    const std::string data("\x23\x24\x7d\x2a\x00\xff", 6);
    EXPECT_EQ(client().ask("X20000100,6:" + data), "OK");
    EXPECT_EQ(std::string(fake_.sram.begin() + 0x100, fake_.sram.begin() + 0x106), data);
    // The zero-length probe GDB sends first.
    EXPECT_EQ(client().ask("X20000000,0:"), "OK");

    fake_.writeSizes.clear();
    std::string big(6000, '\x5a');
    std::ostringstream header;
    header << "X20000200," << std::hex << big.size() << ":";
    EXPECT_EQ(client().ask(header.str() + big), "OK");
    EXPECT_EQ(fake_.writeSizes, (std::vector<uint32_t>{4096, 6000 - 4096}));
    EXPECT_EQ(fake_.sram[0x200 + 5999], 0x5a);
}

TEST_F(ServerTest, MemoryFaultsAreErrors) {
    EXPECT_EQ(client().ask("m30000000,4"), "E02");
    EXPECT_EQ(client().ask("M30000000,1:00"), "E02");
    // A read running into a hole returns what it got.
    fake_.sram.back() = 0x77;
    EXPECT_EQ(client().ask("m2000ffff,1"), "77");
}

// --- run control ----------------------------------------------------------------

TEST_F(ServerTest, ContinueReportsTheStopWhenTheCoreHalts) {
    client().sendRaw(Frame("vCont;c"));
    EXPECT_EQ(client().byte(), '+');
    // The core hits a breakpoint: the poll sees it halted.
    fake_.stopRequested = true;
    EXPECT_EQ(Plain(client().packet()), "T05thread:1;");
    EXPECT_EQ(fake_.resumes, 1);
    EXPECT_EQ(fake_.halts, 0);
    EXPECT_EQ(Plain(client().ask("?")), "T05thread:1;");
}

TEST_F(ServerTest, InterruptByteHaltsARunningCore) {
    client().sendRaw(Frame("c"));
    EXPECT_EQ(client().byte(), '+');
    client().sendRaw("\x03");
    EXPECT_EQ(Plain(client().packet()), "T02thread:1;");
    EXPECT_EQ(fake_.resumes, 1);
    EXPECT_EQ(fake_.halts, 1);
    EXPECT_TRUE(fake_.halted);
    EXPECT_EQ(Plain(client().ask("?")), "T02thread:1;");
    // Once halted, another interrupt byte has nothing to stop.
    client().sendRaw("\x03");
    EXPECT_EQ(client().ask("qC"), "QC1");
    EXPECT_EQ(fake_.halts, 1);
}

TEST_F(ServerTest, PacketsSentWhileRunningWaitForTheStop) {
    client().sendRaw(Frame("c") + Frame("qC"));
    EXPECT_EQ(client().byte(), '+');
    EXPECT_EQ(client().byte(), '+');
    fake_.stopRequested = true;
    EXPECT_EQ(Plain(client().packet()), "T05thread:1;");
    EXPECT_EQ(client().packet(), "QC1");
}

TEST_F(ServerTest, ContinueAtAnAddressSetsThePcFirst) {
    client().sendRaw(Frame("c20000100"));
    EXPECT_EQ(client().byte(), '+');
    fake_.stopRequested = true;
    EXPECT_EQ(Plain(client().packet()), "T05thread:1;");
    EXPECT_EQ(fake_.registers[cm3tools::regsel::kPc], 0x20000100u);
}

TEST_F(ServerTest, StepReportsAtOnce) {
    fake_.registers[cm3tools::regsel::kPc] = 0x100;
    EXPECT_EQ(Plain(client().ask("s")), "T05thread:1;");
    EXPECT_EQ(Plain(client().ask("vCont;s:1;c")), "T05thread:1;");
    EXPECT_EQ(Plain(client().ask("S05")), "T05thread:1;");
    EXPECT_EQ(fake_.steps, 3);
    EXPECT_EQ(fake_.registers[cm3tools::regsel::kPc], 0x106u);
    EXPECT_EQ(fake_.resumes, 0);
}

// The register cache, by a random walk: whatever ran the core or wrote it in
// between (the core changing a register while it runs, a step, a reset, a
// write), `g`, `p` and the stop's expedited PC show the target's registers,
// and a second `g` reads nothing.
TEST_F(ServerTest, RegisterCacheFollowsEveryChange) {
    using cm3tools::regsel::kPc;
    using cm3tools::regsel::kPsp;
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        const uint32_t n = random() % (kPsp + 1);
        const uint32_t value = random() & ~1u;
        const std::string number = cm3tools::gdb::RegisterHex(n, 1);
        const int action = static_cast<int>(random() % 5);
        if (action >= 1 && action <= 3) fake_.registers[n] = value;  // the core changed it
        switch (action) {
        case 0: EXPECT_EQ(client().ask("P" + number + "=" + Hex32(value)), "OK"); break;
        case 1: {
            const std::string stop = client().ask("vCont;s:1;c");
            EXPECT_NE(stop.find("0f:" + Hex32(fake_.registers[kPc]) + ";"), std::string::npos) << stop;
            break;
        }
        case 2:
            client().sendRaw(Frame("vCont;c"));
            EXPECT_EQ(client().byte(), '+');
            fake_.stopRequested = true;
            EXPECT_EQ(Plain(client().packet()), "T05thread:1;");
            break;
        case 3:
            EXPECT_EQ(client().ask("qRcmd," + ToHex(std::string_view("reset halt")))[0], 'O');
            EXPECT_EQ(client().packet(), "OK");
            break;
        case 4: EXPECT_EQ(client().ask("p" + number), Hex32(fake_.registers[n])) << i; break;
        }
        std::string all;
        for (uint32_t r = 0; r <= kPsp; ++r) all += Hex32(fake_.registers[r]);
        EXPECT_EQ(client().ask("g").substr(0, all.size()), all) << "after action " << action << ", step " << i;
        const int reads = fake_.registerReads;
        (void)client().ask("g");
        EXPECT_EQ(fake_.registerReads, reads);
    }
}

TEST_F(ServerTest, ArrivingClientHaltsARunningCore) {
    stop();
    fake_.halted = false;
    fake_.halts = 0;
    start();
    EXPECT_EQ(Plain(client().ask("?")), "T05thread:1;");
    EXPECT_EQ(fake_.halts, 1);
}

// --- breakpoints ----------------------------------------------------------------

TEST_F(ServerTest, CodeRegionBreakpointsUseTheFpb) {
    EXPECT_EQ(client().ask("Z1,100,2"), "OK");
    EXPECT_EQ(client().ask("Z0,1fffffe,2"), "OK");  // software kind, but flash takes no BKPT
    EXPECT_EQ(fake_.fpb, (std::set<uint32_t>{0x100, 0x1fffffe}));
    EXPECT_EQ(client().ask("Z1,100,2"), "OK");  // already there
    EXPECT_EQ(client().ask("z1,100,2"), "OK");
    EXPECT_EQ(client().ask("z1,100,2"), "OK");  // already gone
    EXPECT_EQ(fake_.fpb, (std::set<uint32_t>{0x1fffffe}));
    EXPECT_EQ(std::count(fake_.flash.begin(), fake_.flash.end(), FakeTarget::kErased), FakeTarget::kFlashSize);
}

TEST_F(ServerTest, FpbRunsOutAfterSixBreakpoints) {
    for (uint32_t i = 0; i < FakeTarget::kBreakpointSlots; ++i) {
        EXPECT_EQ(client().ask("Z1," + std::to_string(i * 2) + ",2"), "OK");
    }
    EXPECT_EQ(client().ask("Z1,40,2"), "E02");
    EXPECT_NE(log_.str().find("every hardware breakpoint is in use"), std::string::npos);
}

TEST_F(ServerTest, RamBreakpointsAreBkptInstructions) {
    fake_.sram[0x40] = 0x01;
    fake_.sram[0x41] = 0x30;  // adds r0, #1
    EXPECT_EQ(client().ask("Z0,20000040,2"), "OK");
    EXPECT_EQ(fake_.sram[0x40], 0x00);
    EXPECT_EQ(fake_.sram[0x41], 0xBE);  // BKPT #0
    EXPECT_TRUE(fake_.fpb.empty());
    // GDB reads the instruction, not the BKPT.
    EXPECT_EQ(client().ask("m2000003f,4"), "00013000");
    // A write over it changes what is restored; the BKPT stays.
    EXPECT_EQ(client().ask("M20000040,2:0230"), "OK");
    EXPECT_EQ(fake_.sram[0x41], 0xBE);
    EXPECT_EQ(client().ask("z0,20000040,2"), "OK");
    EXPECT_EQ(fake_.sram[0x40], 0x02);
    EXPECT_EQ(fake_.sram[0x41], 0x30);
}

TEST_F(ServerTest, BreakpointOutsideMemoryIsRefused) {
    EXPECT_EQ(client().ask("Z0,30000000,2"), "E02");
    EXPECT_TRUE(client().ask("m20000000,2") == "0000");
}

// --- watchpoints --------------------------------------------------------------

TEST(WatchBlocks, RangesSplitIntoAlignedPowerOfTwoBlocks) {
    using cm3tools::WatchBlock;
    struct Case {
        uint32_t address, length, maxMaskBits;
        std::vector<WatchBlock> blocks;
    };
    const Case cases[] = {
        {0x20000000, 4, 31, {{0x20000000, 2}}},
        {0x20000000, 0, 31, {{0x20000000, 0}}},
        {0x20000010, 16, 31, {{0x20000010, 4}}},
        {0x20000021, 3, 31, {{0x20000021, 0}, {0x20000022, 1}}},
        {0x20000004, 12, 31, {{0x20000004, 2}, {0x20000008, 3}}},
        {0x20000000, 0x40, 4, {{0x20000000, 4}, {0x20000010, 4}, {0x20000020, 4}, {0x20000030, 4}}},
        {0xFFFFFFFE, 2, 31, {{0xFFFFFFFE, 1}}},
        {0, 0x80000000, 31, {{0, 31}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cm3tools::SplitIntoBlocks(c.address, c.length, c.maxMaskBits), c.blocks) << std::hex << c.address;
    }
}

// GDB's Z2-Z4 on the DWT: comparator registers, the refusal when they run
// out, the stop reply naming the kind and the block, and nothing left set.
TEST_F(ServerTest, WatchpointsUseTheDwtComparators) {
    namespace dwt = cm3tools::dwt;
    auto comparator = [this](uint32_t n) {
        return std::vector<uint32_t>{fake_.words[dwt::Comp(n)], fake_.words[dwt::Mask(n)], fake_.words[dwt::Function(n)]};
    };
    // Comparator 1 is someone else's.
    fake_.words[dwt::Function(1)] = 0b0100;
    EXPECT_EQ(client().ask("Z2,20000000,4"), "OK");
    EXPECT_EQ(comparator(0), (std::vector<uint32_t>{0x20000000, 2, dwt::function::kWatchWrite}));
    EXPECT_NE(fake_.words[cm3tools::demcr::kAddress] & cm3tools::demcr::kTrcEna, 0u);
    EXPECT_EQ(client().ask("Z3,20000010,10"), "OK");
    EXPECT_EQ(comparator(2), (std::vector<uint32_t>{0x20000010, 4, dwt::function::kWatchRead}));
    EXPECT_EQ(client().ask("Z3,20000010,10"), "OK");  // already there
    // Three bytes need two blocks; one comparator is left.
    EXPECT_EQ(client().ask("Z4,20000021,3"), "E.watching 3 bytes at 0x20000021 needs 2 DWT comparators; 1 of 4 are free");
    EXPECT_EQ(client().ask("Z4,20000022,2"), "OK");
    EXPECT_EQ(comparator(3), (std::vector<uint32_t>{0x20000022, 1, dwt::function::kWatchAccess}));
    EXPECT_EQ(client().ask("Z2,20000100,4"), "E.all 4 DWT comparators are in use");
    EXPECT_NE(log_.str().find("all 4 DWT comparators are in use"), std::string::npos);
    // Past what MASK holds: several comparators or none.
    EXPECT_EQ(client().ask("z3,20000010,10"), "OK");
    EXPECT_EQ(fake_.words[dwt::Function(2)], dwt::function::kDisabled);
    EXPECT_EQ(client().ask("Z2,20000000,20000"), "E.watching 131072 bytes at 0x20000000 needs 4 DWT comparators; 1 of 4 are free");

    // The read watchpoint fires while running, the access one on a step.
    EXPECT_EQ(client().ask("Z3,20000040,8"), "OK");
    fake_.words[dwt::Function(2)] |= dwt::kMatched;
    fake_.words[cm3tools::dfsr::kAddress] = cm3tools::dfsr::kDwtTrap | cm3tools::dfsr::kHalted;
    client().sendRaw(Frame("vCont;c"));
    EXPECT_EQ(client().byte(), '+');
    fake_.stopRequested = true;
    EXPECT_EQ(Plain(client().packet()), "T05rwatch:20000040;thread:1;");
    EXPECT_EQ(fake_.words[cm3tools::dfsr::kAddress], 0u);
    EXPECT_EQ(fake_.words[dwt::Function(2)], dwt::function::kWatchRead);
    fake_.words[dwt::Function(3)] |= dwt::kMatched;
    fake_.words[cm3tools::dfsr::kAddress] = cm3tools::dfsr::kDwtTrap;
    EXPECT_EQ(Plain(client().ask("vCont;s:1")), "T05awatch:20000022;thread:1;");
    // A halt without DWTTRAP is a plain stop.
    EXPECT_EQ(Plain(client().ask("vCont;s:1")), "T05thread:1;");

    EXPECT_EQ(client().ask("D"), "OK");
    waitForServer();
    for (uint32_t n : {0u, 2u, 3u}) EXPECT_EQ(fake_.words[dwt::Function(n)], dwt::function::kDisabled) << n;
    EXPECT_EQ(fake_.words[dwt::Function(1)], 0b0100u);
}

// --- flash --------------------------------------------------------------------

TEST_F(ServerTest, FlashPacketsEraseProgramAndVerify) {
    EXPECT_EQ(client().ask("vFlashErase:0,800"), "OK");
    EXPECT_EQ(client().ask("vFlashWrite:0:" + std::string("\x00\x10\x00\x20\x41}", 6)), "OK");
    EXPECT_EQ(client().ask("vFlashWrite:6:" + std::string("\x00\x00", 2)), "OK");
    EXPECT_EQ(client().ask("vFlashWrite:400:ab"), "OK");
    EXPECT_TRUE(fake_.programmed.empty()) << "programmed before vFlashDone";
    EXPECT_EQ(client().ask("vFlashDone"), "OK");
    EXPECT_EQ(fake_.erased, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0x800}}));
    // Pieces that follow each other are programmed as one.
    ASSERT_EQ(fake_.programmed.size(), 2u);
    EXPECT_EQ(fake_.programmed[0].second, (std::vector<uint8_t>{0x00, 0x10, 0x00, 0x20, 0x41, 0x7d, 0x00, 0x00}));
    EXPECT_EQ(fake_.programmed[1], (std::pair<uint32_t, std::vector<uint8_t>>{0x400, {'a', 'b'}}));
    EXPECT_EQ(fake_.verifications, 2);
    EXPECT_EQ(fake_.flash[5], 0x7d);
    // GDB reads flash with m packets.
    EXPECT_EQ(client().ask("m0,8"), "0010002041" "7d0000");
}

TEST_F(ServerTest, FlashVerifyFailureIsAnError) {
    EXPECT_EQ(client().ask("vFlashErase:0,400"), "OK");
    EXPECT_EQ(client().ask("vFlashWrite:0:ab"), "OK");
    fake_.failVerify = true;
    EXPECT_EQ(client().ask("vFlashDone"), "E02");
    EXPECT_NE(log_.str().find("flash verification failed"), std::string::npos);
}

// --- monitor commands ---------------------------------------------------------

TEST_F(ServerTest, MonitorCommandsAnswerInHexThenOk) {
    struct Case {
        const char* command;
        const char* output;
        const char* reply;
    };
    const Case cases[] = {
        {"reset halt", "system reset; the core is halted at the reset vector\n", "OK"},
        {"halt", "the core is halted\n", "OK"},
        {"reset hardware", "reset line pulsed; the core is halted\n", "OK"},
        {"reset run", "system reset; the core is running\n", "OK"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(client().ask("qRcmd," + ToHex(std::string_view(c.command))), "O" + ToHex(std::string_view(c.output)))
            << c.command;
        EXPECT_EQ(client().packet(), c.reply) << c.command;
    }
    EXPECT_EQ(fake_.systemResets, 2);
    EXPECT_EQ(fake_.hardwareResets, 1);
    EXPECT_EQ(fake_.resumes, 1);
    EXPECT_FALSE(fake_.halted);

    // A command that fails says so and still answers OK: an error reply to
    // qRcmd is a protocol error to GDB.
    fake_.failResets = true;
    EXPECT_EQ(client().ask("qRcmd," + ToHex(std::string_view("reset halt"))),
              "O" + ToHex(std::string_view("system reset failed\n")));
    EXPECT_EQ(client().packet(), "OK");
    fake_.failResets = false;

    const std::string unknown = client().ask("qRcmd," + ToHex(std::string_view("frobnicate")));
    EXPECT_EQ(unknown.substr(0, 1), "O");
    const auto text = cm3tools::gdb::FromHex(unknown.substr(1));
    ASSERT_TRUE(text);
    EXPECT_NE(std::string(text->begin(), text->end()).find("unknown monitor command 'frobnicate'"), std::string::npos);
    // Not an error: GDB would end a script on it.
    EXPECT_EQ(client().packet(), "OK");
}

// --- leaving ----------------------------------------------------------------------

TEST_F(ServerTest, DetachRemovesBreakpointsAndResumes) {
    fake_.sram[0] = 0x11;
    fake_.sram[1] = 0x22;
    EXPECT_EQ(client().ask("Z1,200,2"), "OK");
    EXPECT_EQ(client().ask("Z0,20000000,2"), "OK");
    EXPECT_EQ(client().ask("D"), "OK");
    waitForServer();
    EXPECT_TRUE(client().closedByServer());
    EXPECT_TRUE(fake_.fpb.empty());
    EXPECT_EQ(fake_.sram[0], 0x11);
    EXPECT_EQ(fake_.sram[1], 0x22);
    EXPECT_EQ(fake_.resumes, 1);
    EXPECT_FALSE(fake_.halted);
}

TEST_F(ServerTest, KillClosesWithoutReplyAndLeavesTheCoreHalted) {
    EXPECT_EQ(client().ask("Z1,200,2"), "OK");
    client().sendRaw(Frame("k"));
    EXPECT_EQ(client().byte(), '+');
    waitForServer();
    EXPECT_TRUE(client().closedByServer());
    EXPECT_TRUE(fake_.fpb.empty());
    EXPECT_TRUE(fake_.halted);
    EXPECT_EQ(fake_.resumes, 0);
}

TEST_F(ServerTest, HangUpRemovesBreakpoints) {
    EXPECT_EQ(client().ask("Z1,200,2"), "OK");
    client().close();
    waitForServer();
    EXPECT_TRUE(fake_.fpb.empty());
    EXPECT_TRUE(fake_.halted);
}

// --- one client at a time -----------------------------------------------------------

TEST(GdbServerListener, SecondClientIsRefusedWhileTheFirstIsServed) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    auto connectClient = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        return fd;
    };

    FakeTarget fake;
    Client first(connectClient());
    const int served = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(served, 0);
    std::thread server([&] { cm3tools::gdb::ServeClient(served, fake, {nullptr, false, listener}); });
    EXPECT_EQ(first.ask("qC"), "QC1");

    // Told why, in the reply to its first packet, then closed.
    Client second(connectClient());
    EXPECT_EQ(second.ask("qSupported"), "E.one debugger at a time: another debugger is connected to this server");
    EXPECT_TRUE(second.closedByServer());
    EXPECT_EQ(Plain(first.ask("?")), "T05thread:1;");

    first.close();
    server.join();
    ::close(served);
    ::close(listener);
}

}  // namespace
}  // namespace cm3test
