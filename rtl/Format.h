#pragma once
// The runtime's format notation: a text with directives, filled from an array
// of typed values.
//
//   "%" ["-"] [width] ["." precision] type       width and precision may be "*"
//
// Types: d (signed decimal), u (unsigned decimal), x / X (hexadecimal, always
// upper case), s (text), p (pointer), "%%" for a percent sign. The width pads
// on the left with blanks ("-" pads on the right); for d, u and x the precision
// is the minimum number of digits, padded with zeros ("%.4X" of 255 is
// "00FF"), and a width written with a leading zero zero-pads as well ("%04X").
// For s the precision cuts the text.
//
// A directive whose value is missing or of the wrong kind raises EConvertError
// naming the directive; nothing is guessed.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// One value of a format's argument array.
class TVarRec {
public:
    enum class Kind { Integer, Unsigned, String, Pointer };

    template <class T>
        requires(std::is_integral_v<T> && std::is_signed_v<T> && !std::is_same_v<T, char>)
    TVarRec(T value) : kind_(Kind::Integer), integer_(value)
    {
    }
    template <class T>
        requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
    TVarRec(T value) : kind_(Kind::Unsigned), unsigned_(value)
    {
    }
    TVarRec(bool) = delete; // a Boolean is not a number here
    // A character is a one-character text, as the runtime passes it.
    TVarRec(char value) : kind_(Kind::String), string_(1, value) {}
    TVarRec(std::string value) : kind_(Kind::String), string_(std::move(value)) {}
    TVarRec(std::string_view value) : kind_(Kind::String), string_(value) {}
    TVarRec(const char* value) : kind_(Kind::String), string_(value ? value : "") {}
    TVarRec(const void* value) : kind_(Kind::Pointer), unsigned_(reinterpret_cast<uintptr_t>(value)) {}

    Kind kind() const { return kind_; }
    int64_t integer() const { return integer_; }
    uint64_t unsignedValue() const { return unsigned_; }
    const std::string& string() const { return string_; }

private:
    Kind kind_;
    int64_t integer_ = 0;
    uint64_t unsigned_ = 0;
    std::string string_;
};

using TVarArgs = std::vector<TVarRec>;

std::string Format(std::string_view fmt, const TVarArgs& args);
