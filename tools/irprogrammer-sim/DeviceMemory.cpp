#include "DeviceMemory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace irsim {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool DeviceMemory::set(uint8_t address, uint8_t value) {
    if (address >= Size || bytes_[address] == value)
        return false;
    bytes_[address] = value;
    return true;
}

std::string DeviceMemory::hex() const {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes_) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::optional<std::string> DeviceMemory::parse(const std::string& text, Bytes& bytes) {
    size_t end = text.find_last_not_of(" \t\r\n");
    std::string digits = end == std::string::npos ? std::string() : text.substr(0, end + 1);
    if (digits.size() != 2 * Size)
        return "expected " + std::to_string(2 * Size) + " hexadecimal digits, found " +
               std::to_string(digits.size()) + " characters";
    Bytes parsed{};
    for (size_t i = 0; i < Size; ++i) {
        int hi = hexDigit(digits[2 * i]);
        int lo = hexDigit(digits[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return "not a hexadecimal digit at position " + std::to_string(2 * i + (hi < 0 ? 1 : 2));
        parsed[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    bytes = parsed;
    return std::nullopt;
}

std::optional<std::string> DeviceMemory::load(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        return systemError("cannot open memory file", path);
    }
    std::string text;
    char buffer[256];
    ssize_t n;
    // A memory file is a few dozen bytes; stop reading well past that.
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0 && text.size() < 4096) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            auto error = systemError("cannot read memory file", path);
            ::close(fd);
            return error;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (auto error = parse(text, bytes_))
        return "memory file " + path + " is not a memory image: " + *error;
    return std::nullopt;
}

std::optional<std::string> DeviceMemory::save(const std::string& path) const {
    std::string temp = path + ".tmp" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return systemError("cannot create", temp);
    bool ok = writeAll(fd, hex() + "\n") && ::fsync(fd) == 0;
    auto error = ok ? std::nullopt : std::optional(systemError("cannot write", temp));
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = systemError("cannot write", temp);
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = systemError("cannot replace memory file", path);
    }
    if (!ok)
        ::unlink(temp.c_str());
    return error;
}

} // namespace irsim
