#include "Reply.h"

namespace irsim {

std::string buildReply(const DeviceMemory& memory, const Options& options) {
    std::string digits = memory.hex() + std::string(48, 'F');
    // Position 1 is the "#", so the "$" at position p follows p - 2 digits.
    digits.resize(static_cast<size_t>(options.dollarPosition - 2), 'F');
    return options.noise + "#" + digits + "$";
}

std::vector<Chunk> scheduleReply(const std::string& reply, const Options& options) {
    std::vector<Chunk> chunks;
    size_t pieces = std::min(static_cast<size_t>(options.pieces), reply.size());
    if (pieces == 0)
        return chunks;
    std::chrono::microseconds pause = std::chrono::milliseconds(options.pauseMs);
    size_t start = 0;
    for (size_t i = 0; i < pieces; ++i) {
        size_t end = reply.size() * (i + 1) / pieces;
        std::string piece = reply.substr(start, end - start);
        start = end;
        std::chrono::microseconds delay = i == 0 ? std::chrono::microseconds(0) : pause;
        if (!options.pace) {
            chunks.push_back({delay, std::move(piece)});
            continue;
        }
        for (size_t k = 0; k < piece.size(); ++k)
            chunks.push_back({k == 0 && i > 0 ? delay + CharacterTime : CharacterTime, std::string(1, piece[k])});
    }
    return chunks;
}

} // namespace irsim
