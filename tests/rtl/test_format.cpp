#include "Exceptions.h"
#include "Format.h"

#include <gtest/gtest.h>

TEST(Format, FillsTheLibrarysMessages)
{
    EXPECT_EQ(Format("Try to send char %2Xh ...", {5}), "Try to send char  5h ...");
    EXPECT_EQ(Format("Try to send char %2Xh ...", {uint8_t(0xAB)}), "Try to send char ABh ...");
    EXPECT_EQ(Format("Fatal Error: %u, %u, %s", {1u, 2u, std::string("msg")}), "Fatal Error: 1, 2, msg");
    EXPECT_EQ(Format("Communication Error %d:%d", {8, 0}), "Communication Error 8:0");
    EXPECT_EQ(Format("The port %s is opened succesfully", {"COM1"}), "The port COM1 is opened succesfully");
    EXPECT_EQ(Format("100%% done", {}), "100% done");
}

TEST(Format, HexIsUpperCaseAndPadsWithBlanksOrZeros)
{
    EXPECT_EQ(Format("%x|%X", {255, 255}), "FF|FF");
    EXPECT_EQ(Format("%.4X", {255}), "00FF");
    EXPECT_EQ(Format("%04X", {10}), "000A");
    EXPECT_EQ(Format("%-4X|", {10}), "A   |");
    EXPECT_EQ(Format("%X", {-1}), "FFFFFFFF");
}

TEST(Format, SignedAndUnsignedDecimals)
{
    EXPECT_EQ(Format("%d", {-42}), "-42");
    EXPECT_EQ(Format("%5d|%-5d|", {-42, 7}), "  -42|7    |");
    EXPECT_EQ(Format("%.3d", {-5}), "-005");
    EXPECT_EQ(Format("%u", {-1}), "4294967295");
    EXPECT_EQ(Format("%u", {uint32_t(4000000000u)}), "4000000000");
    EXPECT_EQ(Format("%d", {INT64_MIN}), "-9223372036854775808");
    EXPECT_EQ(Format("%u", {UINT64_MAX}), "18446744073709551615");
}

TEST(Format, TextsWidthPrecisionStarAndIndex)
{
    EXPECT_EQ(Format("[%6s][%-6s][%.2s]", {"abc", "abc", "abc"}), "[   abc][abc   ][ab]");
    EXPECT_EQ(Format("[%*d]", {4, 7}), "[   7]");
    EXPECT_EQ(Format("%1:s %0:s", {"world", "hello"}), "hello world");
    EXPECT_EQ(Format("%s", {'A'}), "A");
    EXPECT_EQ(Format("%s", {static_cast<const char*>(nullptr)}), "");
}

TEST(Format, MissingOrMismatchedValuesRaiseConvertError)
{
    try {
        Format("a %d b %d", {1});
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message, "No argument for format 'a %d b %d'");
    }
    try {
        Format("%s", {5});
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message, "Format '%s' invalid or incompatible with argument");
    }
    EXPECT_THROW(Format("%d", {"text"}), EConvertError);
    EXPECT_THROW(Format("%q", {1}), EConvertError);
    EXPECT_THROW(Format("trailing %", {}), EConvertError);
    EXPECT_THROW(Format("%f", {1}), EConvertError);
    EXPECT_THROW(Format("%99999999d", {1}), EConvertError);
}
