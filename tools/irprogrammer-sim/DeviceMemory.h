#pragma once
// The device's 24 bytes, optionally kept in a file so that they survive a
// restart. The file holds the 48 upper-case hexadecimal digits of the memory
// and a line feed, the same text the reply carries.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace irsim {

class DeviceMemory {
public:
    static constexpr size_t Size = 24;
    using Bytes = std::array<uint8_t, Size>;

    const Bytes& bytes() const { return bytes_; }
    // Returns true when the byte changed.
    bool set(uint8_t address, uint8_t value);
    // 48 upper-case hexadecimal digits.
    std::string hex() const;

    // Parses the text of a memory file; returns an error message on failure.
    static std::optional<std::string> parse(const std::string& text, Bytes& bytes);

    // Loads the file. A missing file leaves the memory at zero and is no error;
    // a file that cannot be read or does not hold a memory image is, and the
    // memory is left as it was. Returns an error message on failure.
    std::optional<std::string> load(const std::string& path);
    // Writes a temporary file beside it and renames it over the old one, so
    // that the file always holds either the old or the new image.
    std::optional<std::string> save(const std::string& path) const;

private:
    Bytes bytes_{};
};

} // namespace irsim
