#pragma once
// The programmer device's wire protocol, as the window and irprogrammer-cli
// speak it. All texts are ASCII, one byte per character, with no terminator.
//
// Write command "#1AADD": stores byte DD at address AA (00..17), both as two
// upper-case hexadecimal digits, DD copied from the device image. The device
// acknowledges nothing.
// Read request "00#00030". The reply is "#", 96 characters and "$" at position
// 98 (the "#" is position 1); what comes before the "#" is noise, and the reply
// may arrive in pieces. Reply position p is digit p - 1 of a device image, so
// the image's 48 digits are positions 2..49.
#include <optional>
#include <string>
#include <string_view>

// The device image: for each of P1, P2 and P3 its five code bytes and three
// zero bytes.
inline constexpr int DeviceImageBytes = 24;
inline constexpr char ReadRequest[] = "00#00030";
inline constexpr size_t ReplyLength = 98;

// The 48-digit image of three ten-digit code texts.
std::string MakeDeviceImage(std::string_view codeP1, std::string_view codeP2, std::string_view codeP3);

// The command that writes the image's byte at `address`, 0..23.
std::string WriteCommand(int address, std::string_view image);

// Takes the first complete reply out of `buffer`, the received characters not
// yet taken, and clears the buffer behind it (what follows the "$" goes too).
// Noise before a "#" is dropped. A frame that can no longer complete (its
// first "$" is not at position 98, or 98 characters came without one) or that
// has a character other than a hexadecimal digit where a code's first eight
// digits stand came from a damaged line: it is dropped up to the next "#", so
// that one damaged reply does not block every later one. Gives nothing while
// the reply is still incomplete; the buffer then stays shorter than a reply.
std::optional<std::string> TakeReply(std::string& buffer);

// Parts of a complete reply. Button is 1, 2 or 3.
// The 48 digits of the device image.
std::string_view ReplyImage(std::string_view reply);
// The first eight digits of the button's code: what the decoders read.
std::string_view ReplySlice(std::string_view reply, int button);
// The ten digits of the button's code.
std::string_view ReplyCode(std::string_view reply, int button);
// The relay position: the low digit of byte 4 of P1's code, masked with 7.
int ReplyRelayPosition(std::string_view reply);
