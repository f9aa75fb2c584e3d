#include "TransmitterCode.h"

#include "Exceptions.h"

#include <gtest/gtest.h>

TEST(EncodeTransmitterCode, GivesTheWorkedExamples)
{
    EXPECT_EQ(EncodeTransmitterCode("010001", 1, 1), "8080008181");
    EXPECT_EQ(EncodeTransmitterCode("010001", 2, 1), "808000A1A1");
    EXPECT_EQ(EncodeTransmitterCode("010001", 3, 1), "8080009191");
    EXPECT_EQ(EncodeTransmitterCode("FFFFFF", 1, 7), "7FFFFFC7B8");
}

TEST(EncodeTransmitterCode, ButtonChangesOnlyBits5And4OfByte4AndTheCheckByte)
{
    const TransmitterBytes p1 = EncodeTransmitterBytes(0x5A, 0x12, 0x34, 1, 3);
    const TransmitterBytes p2 = EncodeTransmitterBytes(0x5A, 0x12, 0x34, 2, 3);
    const TransmitterBytes p3 = EncodeTransmitterBytes(0x5A, 0x12, 0x34, 3, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(p1[i], p2[i]);
        EXPECT_EQ(p1[i], p3[i]);
    }
    EXPECT_EQ(p1[3] & 0x30, 0x00);
    EXPECT_EQ(p2[3] ^ p1[3], 0x20);
    EXPECT_EQ(p3[3] ^ p1[3], 0x10);
    for (const TransmitterBytes& b : {p1, p2, p3})
        EXPECT_EQ(b[4], b[0] ^ b[1] ^ b[2] ^ b[3]);
}

TEST(EncodeTransmitterCode, RelayPositionIsTheLowNibbleOfByte4)
{
    for (int relay = 0; relay <= 7; ++relay) {
        EXPECT_EQ(EncodeTransmitterBytes(1, 0, 1, 1, relay)[3] & 0x0F, relay);
        EXPECT_EQ(EncodeTransmitterCode("010001", 1, relay)[7], char('0' + relay));
    }
}

TEST(EncodeTransmitterCode, ParitiesCoverTheirTwelveBits)
{
    // Side code 3 has two bits set: P1 is 0. ID 0x0003 has two bits in its low twelve: P2 is 1.
    const TransmitterBytes even = EncodeTransmitterBytes(0x03, 0x00, 0x03, 1, 0);
    EXPECT_EQ(even[0] & 0x80, 0x00);
    EXPECT_EQ(even[3] & 0x40, 0x40);
    // A set bit among ID bits 15..12 moves into P1, not P2.
    const TransmitterBytes high = EncodeTransmitterBytes(0x03, 0x10, 0x03, 1, 0);
    EXPECT_EQ(high[0] & 0x80, 0x80);
    EXPECT_EQ(high[3] & 0x40, 0x40);
    // ID bit 11 belongs to P2.
    const TransmitterBytes low = EncodeTransmitterBytes(0x03, 0x08, 0x03, 1, 0);
    EXPECT_EQ(low[0] & 0x80, 0x00);
    EXPECT_EQ(low[3] & 0x40, 0x00);
}

TEST(MakeButtonCode, EncodesDecimalFieldTexts)
{
    EXPECT_EQ(MakeButtonCode("1", "1", 1, 1), "8080008181");
    EXPECT_EQ(MakeButtonCode("1", "1", 3, 1), "8080009191");
    EXPECT_EQ(MakeButtonCode("255", "65535", 1, 7), "7FFFFFC7B8");
    EXPECT_EQ(MakeButtonCode("007", "00001", 2, 1), MakeButtonCode("7", "1", 2, 1));
    EXPECT_EQ(MakeButtonCode("+1", "1", 1, 1), "8080008181");
}

TEST(MakeButtonCode, OutOfRangeGivesNoCode)
{
    for (const char* side : {"0", "256", "-5", "2147483647"})
        EXPECT_EQ(MakeButtonCode(side, "1", 1, 1), "0") << side;
    for (const char* id : {"0", "65536", "-1"})
        EXPECT_EQ(MakeButtonCode("1", id, 1, 1), "0") << id;
}

TEST(MakeButtonCode, NonNumbersRaiseTheConversionError)
{
    const auto messageOf = [](const char* side, const char* id) -> std::string {
        try {
            MakeButtonCode(side, id, 1, 1);
        } catch (const EConvertError& e) {
            return e.Message;
        }
        return "no error";
    };
    EXPECT_EQ(messageOf("1a", "1"), "'1a' is not a valid integer value");
    EXPECT_EQ(messageOf("1", "x"), "'x' is not a valid integer value");
    EXPECT_EQ(messageOf("", "1"), "'' is not a valid integer value");
    EXPECT_EQ(messageOf("1", "4294967296"), "'4294967296' is not a valid integer value");
}

TEST(Decode, EveryValidSideCodeAndIdRoundTrips)
{
    int mismatches = 0;
    for (int side = 1; side <= 255; ++side) {
        for (int id = 1; id <= 65535; ++id) {
            const int button = 1 + id % 3;
            const TransmitterBytes b = EncodeTransmitterBytes(uint8_t(side), uint8_t(id >> 8), uint8_t(id), button, side % 8);
            mismatches += DecodeSideCodeValue(b[0], b[1]) != side;
            mismatches += DecodeIDValue(b[1], b[2], b[3]) != id;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Decode, ReadsTheFirstEightDigitsOfACodeOfAnyButton)
{
    for (int button = 1; button <= 3; ++button) {
        const std::string code = MakeButtonCode("200", "43981", button, 5);
        EXPECT_EQ(DecodeSideCode(code.substr(0, 8)), "200");
        EXPECT_EQ(DecodeID(code.substr(0, 8)), "43981");
    }
    EXPECT_EQ(DecodeSideCode("7FFFFFC7"), "255");
    EXPECT_EQ(DecodeID("7FFFFFC7"), "65535");
    EXPECT_EQ(DecodeSideCode("80800081"), "1");
    EXPECT_EQ(DecodeID("80800081"), "1");
}

TEST(Decode, ZerosAndLowerCaseDigits)
{
    EXPECT_EQ(DecodeSideCode("00000000"), "0");
    EXPECT_EQ(DecodeID("00000000"), "0");
    EXPECT_EQ(DecodeSideCode("7fffffc7"), "255");
    EXPECT_EQ(DecodeID("7fffffc7"), "65535");
}

TEST(Decode, DamagedSlicesGiveValuesInsteadOfFailing)
{
    // Characters that are not hexadecimal digits count as 0; missing ones too.
    EXPECT_EQ(DecodeSideCode("zz800081"), DecodeSideCode("00800081"));
    EXPECT_EQ(DecodeID("80#$0081"), DecodeID("80000081"));
    EXPECT_EQ(DecodeSideCode(""), "0");
    EXPECT_EQ(DecodeID("808"), DecodeID("80800000"));
    EXPECT_EQ(DecodeID("8080008"), DecodeID("80800080"));
}

TEST(HexValues, DigitsOfEitherCaseAndOthersAsZero)
{
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('G'), 0);
    EXPECT_EQ(HexDigitValue('\xff'), 0);
    EXPECT_EQ(HexByteValue("C7B8"), 0xC7);
    EXPECT_EQ(HexByteValue("ff"), 0xFF);
    EXPECT_EQ(HexByteValue("F"), 0xF0);
}
