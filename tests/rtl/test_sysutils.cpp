#include "Exceptions.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

TEST(StrToInt, AcceptsDecimalWithOptionalSign)
{
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("-3"), -3);
    EXPECT_EQ(StrToInt("+12"), 12);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
}

TEST(StrToInt, RejectsWithTheFrameworkMessage)
{
    for (const char* bad : {"", "1a", "a1", " 1", "1 ", "-", "+", "2147483648", "-2147483649", "99999999999999999999"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message, std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST(IntToHex, PadsAndUsesUpperCase)
{
    EXPECT_EQ(IntToHex(0, 2), "00");
    EXPECT_EQ(IntToHex(0xAB, 2), "AB");
    EXPECT_EQ(IntToHex(0x1F, 4), "001F");
    EXPECT_EQ(IntToHex(0x12345, 2), "12345");
}
