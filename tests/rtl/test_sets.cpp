#include "Sets.h"

#include <gtest/gtest.h>

namespace {
enum class Kind : uint8_t { A, B, C, J = 9 };
using Kinds = TSet<Kind, uint16_t>;
} // namespace

TEST(Sets, ElementNSitsAtBitN)
{
    EXPECT_EQ((Kinds{Kind::A, Kind::C}).ToBits(), 0x0005);
    EXPECT_EQ((Kinds{Kind::J}).ToBits(), 0x0200);
    EXPECT_TRUE(Kinds::FromBits(0x0202).Contains(Kind::B));
    EXPECT_FALSE(Kinds::FromBits(0x0202).Contains(Kind::A));
}

TEST(Sets, IncludeExcludeAndOperators)
{
    Kinds s;
    EXPECT_TRUE(s.Empty());
    s.Include(Kind::B).Include(Kind::J);
    EXPECT_EQ((s - Kinds{Kind::B}), (Kinds{Kind::J}));
    EXPECT_EQ((s * Kinds{Kind::B, Kind::C}), (Kinds{Kind::B}));
    s.Exclude(Kind::B);
    EXPECT_EQ(s, (Kinds{Kind::J}));
}
