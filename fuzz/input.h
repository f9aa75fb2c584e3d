#pragma once
// Takes a fuzz input apart into the pieces a target needs. Reading past the
// end gives zeros and empty texts, so every input is usable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vxfuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    uint16_t Word()
    {
        const uint16_t high = Byte();
        return uint16_t(high << 8 | Byte());
    }

    // A text of at most `limit` bytes, its length taken from the input.
    std::string Text(size_t limit)
    {
        const size_t length = limit == 0 ? 0 : Byte() % (limit + 1);
        return Take(length);
    }

    std::string Take(size_t length)
    {
        const size_t n = std::min(length, size_ - std::min(pos_, size_));
        std::string text(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return text;
    }

    std::string Rest() { return Take(size_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Stops the run with a message: libFuzzer saves the input that did it.
[[noreturn]] inline void Fail(const char* what)
{
    __builtin_fprintf(stderr, "invariant broken: %s\n", what);
    __builtin_trap();
}

inline void Check(bool holds, const char* what)
{
    if (!holds)
        Fail(what);
}

} // namespace vxfuzz
