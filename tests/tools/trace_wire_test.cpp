// The simulator's wire trace and transaction log, from a host program's
// session (probe-report on the in-process simulator, one per transport), and
// sigrok's decoders reading the trace independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gdb_process.h"

namespace cm3test {
namespace {

constexpr std::chrono::seconds kProgramLimit{60};
// Transactions at least in a whole probe-report session, and in one that
// DebugInit ends early.
constexpr size_t kSessionTransactions = 50;
constexpr size_t kRefusedSessionTransactions = 5;

struct Transport {
    const char* name;
    bool swd;
};

struct Transaction {
    bool ap = false;
    bool read = false;
    uint32_t address = 0;
    std::string ack;
    std::optional<uint32_t> data;  // compared when both sides have it
};

std::string Describe(const Transaction& t) {
    std::ostringstream text;
    text << (t.ap ? "AP " : "DP ") << (t.read ? "read " : "write ") << std::hex << t.address << ' ' << t.ack;
    if (t.data) text << " 0x" << *t.data;
    return text.str();
}

// "wire swd AP read 0xc OK 0x12345678" lines from the program's stderr.
std::vector<Transaction> ParseWireLog(const std::string& err, const std::string& protocol) {
    std::vector<Transaction> out;
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string wire, proto, port, direction, address, ack, data;
        if (!(words >> wire >> proto >> port >> direction >> address >> ack >> data) || wire != "wire") continue;
        EXPECT_EQ(proto, protocol) << line;
        out.push_back({port == "AP", direction == "read", static_cast<uint32_t>(std::stoul(address, nullptr, 16)), ack,
                       static_cast<uint32_t>(std::stoul(data, nullptr, 16))});
    }
    return out;
}

// The annotation text of sigrok's swd decoder: a request, its ACK, its data.
std::vector<Transaction> DecodeSwd(const std::string& annotations) {
    struct Request {
        bool ap, read;
        uint32_t address;
    };
    const std::map<std::string, Request> dpRequests = {
        {"IDCODE", {false, true, 0x0}},       {"W ABORT", {false, false, 0x0}},     {"R CTRL/STAT", {false, true, 0x4}},
        {"W CTRL/STAT", {false, false, 0x4}}, {"R DLCR", {false, true, 0x4}},       {"W DLCR", {false, false, 0x4}},
        {"RESEND", {false, true, 0x8}},       {"W SELECT", {false, false, 0x8}},    {"RDBUFF", {false, true, 0xC}},
        {"W RESERVED", {false, false, 0xC}},
    };
    const std::set<std::string> acks = {"OK", "WAIT", "FAULT", "NOREPLY", "ERROR"};
    std::vector<Transaction> out;
    std::istringstream lines(annotations);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string prefix = "swd-1: ";
        if (!line.starts_with(prefix)) continue;
        const std::string text = line.substr(prefix.size());
        if (auto found = dpRequests.find(text); found != dpRequests.end()) {
            out.push_back({false, found->second.read, found->second.address, "", std::nullopt});
        } else if (text.starts_with("R AP") || text.starts_with("W AP")) {
            out.push_back({true, text[0] == 'R', static_cast<uint32_t>(std::stoul(text.substr(4), nullptr, 16)), "",
                           std::nullopt});
        } else if (acks.contains(text) && !out.empty()) {
            out.back().ack = text;
        } else if (text.starts_with("0x") && !out.empty()) {
            out.back().data = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
        }
    }
    return out;
}

// sigrok's jtag decoder gives the bits of each IR and DR scan; DPACC and APACC
// scans shift in {data, A[3:2], RnW} and out {data, ACK} of the previous
// access, so a read's result comes with the next access scan.
std::vector<Transaction> DecodeJtag(const std::string& annotations) {
    constexpr uint64_t kDpacc = 0xA;
    constexpr uint64_t kApacc = 0xB;
    constexpr uint32_t kAckBits = 3;
    constexpr uint64_t kAckMask = 0x7;
    constexpr uint64_t kA32Mask = 0x3;
    constexpr uint64_t kAckOkFault = 0x2;
    constexpr uint64_t kAckWait = 0x1;
    struct Scan {
        uint64_t ir, in, out;
    };
    std::vector<Scan> scans;
    uint64_t ir = 0;
    // A plain flag and value: GCC 12 at -O2 misreads an optional here.
    bool haveDrIn = false;
    uint64_t drIn = 0;
    std::istringstream lines(annotations);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string tag, kind, lane, bits;
        if (!(words >> tag >> kind >> lane >> bits)) continue;
        const uint64_t value = bits.empty() ? 0 : std::stoull(bits, nullptr, 2);
        if (kind == "IR" && lane == "TDI:") ir = value;
        if (kind == "DR" && lane == "TDI:") {
            drIn = value;
            haveDrIn = true;
        }
        if (kind == "DR" && lane == "TDO:" && haveDrIn) {
            if (ir == kDpacc || ir == kApacc) scans.push_back({ir, drIn, value});
            haveDrIn = false;
        }
    }
    std::vector<Transaction> out;
    for (size_t i = 0; i < scans.size(); ++i) {
        const Scan& s = scans[i];
        Transaction t;
        t.ap = s.ir == kApacc;
        t.read = (s.in & 1) != 0;
        t.address = static_cast<uint32_t>(((s.in >> 1) & kA32Mask) << 2);
        const uint64_t ack = s.out & kAckMask;
        t.ack = ack == kAckOkFault ? "OK/FAULT" : ack == kAckWait ? "WAIT" : "?";
        if (!t.read) t.data = static_cast<uint32_t>(s.in >> kAckBits);
        if (t.read && i + 1 < scans.size()) t.data = static_cast<uint32_t>(scans[i + 1].out >> kAckBits);
        out.push_back(t);
    }
    return out;
}

bool Answered(const Transaction& t) {
    return t.ack == "OK" || t.ack == "OK/FAULT";
}

// Both lists from their first answered transaction on: before the first line
// reset the two read the select sequences differently (a framing error the
// target ignores is no request to sigrok).
std::vector<Transaction> FromFirstAnswer(std::vector<Transaction> list) {
    size_t first = 0;
    while (first < list.size() && !Answered(list[first])) ++first;
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(first));
    return list;
}

struct Vcd {
    std::string scope;
    std::map<char, std::string> names;
    std::vector<uint64_t> times;
    std::vector<std::vector<std::pair<char, bool>>> changes;  // per time
};

Vcd ParseVcd(const std::string& text) {
    Vcd vcd;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (word == "$scope") {
            std::string kind;
            words >> kind >> vcd.scope;
        } else if (word == "$var") {
            std::string type, width, id, name;
            words >> type >> width >> id >> name;
            vcd.names[id[0]] = name;
        } else if (word[0] == '#') {
            vcd.times.push_back(std::stoull(word.substr(1)));
            vcd.changes.emplace_back();
        } else if ((word[0] == '0' || word[0] == '1') && word.size() == 2 && !vcd.changes.empty()) {
            vcd.changes.back().emplace_back(word[1], word[0] == '1');
        }
    }
    return vcd;
}

class WireTraceTest : public ::testing::TestWithParam<Transport> {
protected:
    // `mustSucceed`: the program reports a working target.
    Finished session(const std::map<std::string, std::string>& extra, bool mustSucceed = true) {
        std::map<std::string, std::string> env = {{"CM3PROBE_DRIVER", "sim"}};
        env.insert(extra.begin(), extra.end());
        std::vector<std::string> argv = {CM3PROBE_PROBE_REPORT};
        if (!GetParam().swd) argv.push_back("--jtag");
        Finished done = RunProgram(argv, env, kProgramLimit);
        EXPECT_FALSE(done.timedOut);
        if (mustSucceed) {
            EXPECT_EQ(done.exitCode, 0) << done.err;
        }
        return done;
    }
    Finished tracedSession(const std::map<std::string, std::string>& extra = {}, bool mustSucceed = true) {
        std::map<std::string, std::string> env = {{"CM3PROBE_SIM_TRACE", vcdPath()}, {"CM3PROBE_SIM_LOG", "1"}};
        env.insert(extra.begin(), extra.end());
        return session(env, mustSucceed);
    }
    std::string vcdPath() const { return dir_.file("wire.vcd"); }

    void expectSigrokAgrees(const Finished& done, size_t atLeast) {
        if (!OnPath("sigrok-cli")) GTEST_SKIP() << "sigrok-cli is not installed (Debian: sigrok-cli)";
        const bool swd = GetParam().swd;
        const std::vector<std::string> decode =
            swd ? std::vector<std::string>{"sigrok-cli", "-i", vcdPath(), "-I", "vcd", "-P",
                                           "swd:swclk=SWCLK:swdio=SWDIO", "-A", "swd"}
                : std::vector<std::string>{"sigrok-cli", "-i", vcdPath(), "-I", "vcd", "-P",
                                           "jtag:tck=TCK:tms=TMS:tdi=TDI:tdo=TDO", "-A",
                                           "jtag=bitstrings-tdi:bitstrings-tdo"};
        const Finished sigrok = RunProgram(decode, {}, kProgramLimit);
        ASSERT_EQ(sigrok.exitCode, 0) << sigrok.err;
        const auto ours = FromFirstAnswer(ParseWireLog(done.err, GetParam().name));
        const auto theirs = FromFirstAnswer(swd ? DecodeSwd(sigrok.out) : DecodeJtag(sigrok.out));
        ASSERT_GE(ours.size(), atLeast);
        ASSERT_EQ(ours.size(), theirs.size());
        size_t answered = 0;
        size_t comparedData = 0;
        for (size_t i = 0; i < ours.size(); ++i) {
            SCOPED_TRACE("transaction " + std::to_string(i) + ": " + Describe(ours[i]) + " / sigrok " +
                         Describe(theirs[i]));
            EXPECT_EQ(ours[i].ap, theirs[i].ap);
            EXPECT_EQ(ours[i].read, theirs[i].read);
            EXPECT_EQ(ours[i].address, theirs[i].address);
            EXPECT_EQ(ours[i].ack, theirs[i].ack);
            // A refused transaction moves no data, whatever the host clocks.
            if (!Answered(ours[i])) continue;
            ++answered;
            if (ours[i].data && theirs[i].data) {
                EXPECT_EQ(*ours[i].data, *theirs[i].data);
                ++comparedData;
            }
        }
        // Every answered transaction but a last JTAG read carries data both sides see.
        EXPECT_GE(comparedData + 1, answered);
    }

    TempDir dir_;
};

TEST_P(WireTraceTest, TraceNamesTheLinesAndKeepsDataOffTheClockEdges) {
    tracedSession();
    const Vcd vcd = ParseVcd(ReadFile(vcdPath()));
    const std::set<std::string> expected =
        GetParam().swd ? std::set<std::string>{"SWCLK", "SWDIO", "nRESET"}
                       : std::set<std::string>{"TCK", "TMS", "TDI", "TDO", "nRESET"};
    std::set<std::string> names;
    char clock = 0;
    for (const auto& [id, name] : vcd.names) {
        names.insert(name);
        if (name == "SWCLK" || name == "TCK") clock = id;
    }
    EXPECT_EQ(names, expected);
    EXPECT_EQ(vcd.scope, GetParam().name);

    size_t edges = 0;
    size_t dataChanges = 0;
    for (size_t i = 0; i < vcd.times.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(vcd.times[i], vcd.times[i - 1]);
        }
        bool clockMoved = false;
        for (const auto& [id, value] : vcd.changes[i]) {
            EXPECT_TRUE(vcd.names.contains(id)) << "undeclared identifier " << id;
            if (id == clock) {
                clockMoved = true;
            } else {
                ++dataChanges;
            }
        }
        if (i == 0) continue;  // the initial values
        if (clockMoved) {
            ++edges;
            EXPECT_EQ(vcd.changes[i].size(), 1u) << "a line moves on the clock edge at " << vcd.times[i];
        }
    }
    EXPECT_GT(edges, 1000u);
    EXPECT_GT(dataChanges, 100u);
}

TEST_P(WireTraceTest, SigrokDecodesWhatTheTransactionLogSays) {
    const Finished done = tracedSession();
    expectSigrokAgrees(done, kSessionTransactions);
}

TEST_P(WireTraceTest, SigrokAgreesOnRefusedTransactions) {
    // The AP answers WAIT to its first accesses (and over SWD, with overrun
    // detection on, FAULT after that): DebugInit gives up, the wire stays legal.
    const std::string config = dir_.file("wait.json");
    {
        std::ofstream(config) << R"({"wait_next_ap_transactions": 2})";
    }
    const Finished done = tracedSession({{"CM3PROBE_SIM_CONFIG", config}}, false);
    const auto log = ParseWireLog(done.err, GetParam().name);
    ASSERT_TRUE(std::any_of(log.begin(), log.end(), [](const Transaction& t) { return t.ack == "WAIT"; }));
    expectSigrokAgrees(done, kRefusedSessionTransactions);
}

TEST_P(WireTraceTest, NothingIsWrittenUnlessAsked) {
    const Finished done = session({});
    EXPECT_EQ(done.err.find("wire "), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(vcdPath()));
}

TEST_P(WireTraceTest, AnUnwritableTraceIsReportedAndTheSessionGoesOn) {
    const Finished done = session({{"CM3PROBE_SIM_TRACE", dir_.file("missing/wire.vcd")}});
    EXPECT_NE(done.err.find("no wire trace"), std::string::npos) << done.err;
    EXPECT_NE(done.out.find("IDCODE"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Transports, WireTraceTest, ::testing::Values(Transport{"swd", true}, Transport{"jtag", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cm3test
