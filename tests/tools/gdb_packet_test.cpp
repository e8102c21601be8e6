// The remote protocol's framing and encodings, without a socket.
#include <gtest/gtest.h>

#include "packet.h"

namespace cm3tools::gdb {
namespace {

using Kind = Event::Kind;

std::vector<Event> Drain(PacketReader& reader) {
    std::vector<Event> events;
    while (auto event = reader.next()) events.push_back(*event);
    return events;
}

TEST(GdbPacket, FramesWithTheChecksumOfWhatIsSent) {
    EXPECT_EQ(Frame("OK"), "$OK#9a");
    EXPECT_EQ(Frame(""), "$#00");
    // '#', '$', '}' and '*' go out escaped; the checksum covers the escapes.
    EXPECT_EQ(Frame("a#b"), "$a}\x03" "b#43");
    EXPECT_EQ(Escape("#$}*x"), "}\x03}\x04}]}\nx");
    EXPECT_EQ(Unescape(Escape(std::string("\x00#$}*\xff", 6))), std::string("\x00#$}*\xff", 6));
}

TEST(GdbPacket, ReaderSplitsTheStreamIntoEvents) {
    PacketReader reader(64);
    reader.feed("+$m0,4#fd-");
    reader.feed("\x03noise$g#67");
    const std::vector<Event> expected = {{Kind::Ack, ""},       {Kind::Packet, "m0,4"}, {Kind::Nack, ""},
                                         {Kind::Interrupt, ""}, {Kind::Packet, "g"}};
    EXPECT_EQ(Drain(reader), expected);
}

TEST(GdbPacket, ReaderTakesPacketsInPieces) {
    PacketReader reader(64);
    const std::string framed = Frame("qSupported:swbreak+");
    for (char c : framed) reader.feed(std::string(1, c));
    EXPECT_EQ(Drain(reader), (std::vector<Event>{{Kind::Packet, "qSupported:swbreak+"}}));
}

TEST(GdbPacket, ReaderUnescapesBinaryPayloads) {
    PacketReader reader(64);
    reader.feed(Frame(std::string("X0,3:#}\x00", 8)));
    EXPECT_EQ(Drain(reader), (std::vector<Event>{{Kind::Packet, std::string("X0,3:#}\x00", 8)}}));
}

TEST(GdbPacket, ReaderFlagsBadChecksumsAndOverlongPackets) {
    struct Case {
        std::string bytes;
        Kind kind;
    };
    const Case cases[] = {
        {"$g#00", Kind::BadChecksum},
        {"$g#zz", Kind::BadChecksum},
        {"$" + std::string(65, 'a') + "#00", Kind::Overlong},
    };
    for (const Case& c : cases) {
        PacketReader reader(64);
        reader.feed(c.bytes);
        const auto events = Drain(reader);
        ASSERT_EQ(events.size(), 1u) << c.bytes;
        EXPECT_EQ(events[0].kind, c.kind) << c.bytes;
    }
    // An abandoned packet gives way to the next '$'.
    PacketReader reader(64);
    reader.feed("$m0,4$g#67");
    EXPECT_EQ(Drain(reader), (std::vector<Event>{{Kind::Packet, "g"}}));
}

TEST(GdbPacket, HexEncodings) {
    EXPECT_EQ(ToHex(std::vector<uint8_t>{0x00, 0xAB, 0x7F}), "00ab7f");
    EXPECT_EQ(ToHex(std::string_view("OK\n")), "4f4b0a");
    EXPECT_EQ(FromHex("00aB7f"), (std::vector<uint8_t>{0x00, 0xAB, 0x7F}));
    EXPECT_EQ(FromHex("abc"), std::nullopt);
    EXPECT_EQ(FromHex("zz"), std::nullopt);
    EXPECT_EQ(RegisterHex(0x12345678, 4), "78563412");
    EXPECT_EQ(RegisterHex(0x1ff, 1), "ff");
    EXPECT_EQ(ParseRegisterHex("78563412", 4), 0x12345678u);
    EXPECT_EQ(ParseRegisterHex("785634", 4), std::nullopt);
}

TEST(GdbPacket, Hex32AcceptsOneToEightDigits) {
    struct Case {
        const char* text;
        std::optional<uint32_t> value;
    };
    const Case cases[] = {{"0", 0u},           {"20000000", 0x20000000u}, {"FFFFFFFF", 0xFFFFFFFFu},
                          {"", std::nullopt},  {"100000000", std::nullopt}, {"12g", std::nullopt},
                          {"-1", std::nullopt}, {" 1", std::nullopt}};
    for (const Case& c : cases) EXPECT_EQ(ParseHex32(c.text), c.value) << c.text;
}

}  // namespace
}  // namespace cm3tools::gdb
