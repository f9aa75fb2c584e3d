// The simulator's input parser: byte stream in, device events out.
#include <gtest/gtest.h>

#include <random>

#include "FrameParser.h"

using irsim::Event;
using irsim::FrameParser;
using Kind = irsim::Event::Kind;

namespace {

Event write(uint8_t address, uint8_t data) {
    char text[8];
    std::snprintf(text, sizeof text, "#1%02X%02X", address, data);
    return {Kind::Write, address, data, text};
}
Event read() { return {Kind::Read, 0, 0, "00#00030"}; }
Event noise(std::string bytes) { return {Kind::Noise, 0, 0, std::move(bytes)}; }
Event malformed(std::string bytes) { return {Kind::Malformed, 0, 0, std::move(bytes)}; }

std::vector<Event> parse(const std::string& input) { return FrameParser().feed(input); }

std::vector<Event> parseInPieces(const std::vector<std::string>& pieces) {
    FrameParser parser;
    std::vector<Event> all;
    for (const auto& piece : pieces)
        for (auto& e : parser.feed(piece))
            all.push_back(e);
    return all;
}

} // namespace

TEST(SimParser, WriteCommandsGiveAddressAndData) {
    EXPECT_EQ(parse("#10080"), std::vector{write(0x00, 0x80)});
    EXPECT_EQ(parse("#10BA1#117FF"), (std::vector{write(0x0B, 0xA1), write(0x17, 0xFF)}));
}

TEST(SimParser, ReadRequestAsTheToolSendsIt) {
    EXPECT_EQ(parse("00#00030"), std::vector{read()});
}

TEST(SimParser, ReadRequestWithoutLeadingZerosIsStillARequest) {
    auto events = parse("#00030");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Read);
}

TEST(SimParser, InputSplitAnywhereGivesTheSameEvents) {
    const std::string input = "00#00030#10BA1xy#11700";
    const auto whole = parse(input);
    ASSERT_EQ(whole.size(), 4u);
    for (size_t cut = 1; cut < input.size(); ++cut)
        EXPECT_EQ(parseInPieces({input.substr(0, cut), input.substr(cut)}), whole) << "cut at " << cut;
    std::vector<std::string> bytes;
    for (char c : input)
        bytes.emplace_back(1, c);
    EXPECT_EQ(parseInPieces(bytes), whole);
}

TEST(SimParser, NoiseBeforeAFrameIsReportedAndTheFrameKept) {
    EXPECT_EQ(parse("\r\nxyz#10080"), (std::vector{noise("\r\nxyz"), write(0x00, 0x80)}));
    EXPECT_EQ(parse("ab00#00030"), (std::vector{noise("ab"), read()}));
}

TEST(SimParser, ZerosBeforeAWriteAreNoise) {
    EXPECT_EQ(parse("00#10080"), (std::vector{noise("00"), write(0x00, 0x80)}));
}

TEST(SimParser, HashAlwaysStartsANewFrame) {
    EXPECT_EQ(parse("#10#10080"), (std::vector{malformed("#10"), write(0x00, 0x80)}));
    EXPECT_EQ(parse("00#000#00030"), (std::vector{noise("00"), malformed("#000"), {Kind::Read, 0, 0, "#00030"}}));
}

TEST(SimParser, MalformedFramesAreReportedAndParsingGoesOn) {
    EXPECT_EQ(parse("#2008"), std::vector{malformed("#2")});
    EXPECT_EQ(parse("#1G#10180"), (std::vector{malformed("#1G"), write(0x01, 0x80)}));
    EXPECT_EQ(parse("#10\r\n#10080"), (std::vector{malformed("#10\r"), noise("\n"), write(0x00, 0x80)}));
    EXPECT_EQ(parse("#00018"), std::vector{malformed("#0001")});
}

TEST(SimParser, LowerCaseHexIsMalformed) {
    EXPECT_EQ(parse("#10ba1#10BA1"), (std::vector{malformed("#10b"), noise("a1"), write(0x0B, 0xA1)}));
}

TEST(SimParser, AddressPastTheLastIsReportedNotWritten) {
    auto events = parse("#11800#1FF42");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], (Event{Kind::OutOfRange, 0x18, 0x00, "#11800"}));
    EXPECT_EQ(events[1], (Event{Kind::OutOfRange, 0xFF, 0x42, "#1FF42"}));
}

TEST(SimParser, IdleReportsStrayBytesButKeepsAFrameInProgress) {
    FrameParser parser;
    EXPECT_TRUE(parser.feed("junk").empty());
    EXPECT_EQ(parser.idle(), std::vector{noise("junk")});
    EXPECT_TRUE(parser.feed("#100").empty());
    EXPECT_TRUE(parser.idle().empty());
    EXPECT_EQ(parser.feed("80"), std::vector{write(0x00, 0x80)});
}

TEST(SimParser, IdleKeepsZerosThatMayOpenARequest) {
    FrameParser parser;
    EXPECT_TRUE(parser.feed("x00").empty());
    EXPECT_EQ(parser.idle(), std::vector{noise("x")});
    EXPECT_EQ(parser.feed("#00030"), std::vector{read()});
}

TEST(SimParser, EndlessNoiseIsReportedInBoundedPieces) {
    FrameParser parser;
    auto events = parser.feed(std::string(1000, 'x'));
    size_t total = 0;
    for (const auto& e : events) {
        EXPECT_EQ(e.kind, Kind::Noise);
        EXPECT_LE(e.bytes.size(), FrameParser::NoiseLimit);
        total += e.bytes.size();
    }
    for (const auto& e : parser.idle())
        total += e.bytes.size();
    EXPECT_EQ(total, 1000u);
}

TEST(SimParser, RandomBytesNeverBreakIt) {
    std::mt19937 random(20240607);
    std::uniform_int_distribution<int> byte(0, 255);
    FrameParser parser;
    for (int round = 0; round < 2000; ++round) {
        std::string chunk(static_cast<size_t>(byte(random) % 40), '\0');
        for (char& c : chunk)
            c = static_cast<char>(byte(random));
        // Mix in bytes that take the parser into frames.
        if (round % 3 == 0)
            chunk += "#1"[round % 2];
        for (const auto& e : parser.feed(chunk)) {
            if (e.kind == Kind::Write) {
                EXPECT_LE(e.address, FrameParser::LastAddress);
            }
            EXPECT_LE(e.bytes.size(), FrameParser::NoiseLimit);
        }
        if (round % 50 == 0)
            parser.idle();
    }
    for (int b = 0; b < 256; ++b)
        parser.feed(std::string(1, static_cast<char>(b)));
    auto events = parser.feed("#10080");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), write(0x00, 0x80));
}

TEST(SimParser, DescriptionsAreOneReadableLine) {
    EXPECT_EQ(irsim::describe(write(0x0B, 0xA1)), "write 0B A1");
    EXPECT_EQ(irsim::describe(malformed("#1\x01")), "ignored: malformed frame \"#1\\x01\"");
    EXPECT_EQ(irsim::describe({Kind::OutOfRange, 0x18, 0, "#11800"}),
              "ignored: address 18 out of range (last is 17) in \"#11800\"");
}
