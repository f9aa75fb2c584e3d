#pragma once
// Sets of enumeration elements, element n at bit n of the storage word.
#include <cstdint>
#include <initializer_list>
#include <type_traits>

template <class E, class Bits = uint32_t>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> elements)
    {
        for (E e : elements)
            bits_ |= Bit(e);
    }
    static constexpr TSet FromBits(Bits bits)
    {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr Bits ToBits() const { return bits_; }
    constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TSet& Include(E e)
    {
        bits_ |= Bit(e);
        return *this;
    }
    constexpr TSet& Exclude(E e)
    {
        bits_ &= Bits(~Bit(e));
        return *this;
    }
    constexpr TSet operator+(TSet o) const { return FromBits(Bits(bits_ | o.bits_)); }
    constexpr TSet operator-(TSet o) const { return FromBits(Bits(bits_ & ~o.bits_)); }
    constexpr TSet operator*(TSet o) const { return FromBits(Bits(bits_ & o.bits_)); }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr Bits Bit(E e) { return Bits(Bits(1) << static_cast<std::underlying_type_t<E>>(e)); }
    Bits bits_ = 0;
};
