#pragma once
// The runtime's exception hierarchy: every error the system raises is an
// Exception carrying the message that the user finally sees.
#include <stdexcept>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
};

// A text that is not a number where a number is needed.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// An argument outside the range an operation accepts.
class ERangeError : public Exception {
public:
    using Exception::Exception;
};
