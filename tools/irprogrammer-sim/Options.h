#pragma once
// The simulator's command line.
#include <optional>
#include <string>
#include <vector>

namespace irsim {

struct Options {
    int port = 1;                 // registered as COM<port>
    bool force = false;           // replace a link to a live device
    std::string memoryFile;       // empty: memory starts at zero and is not kept
    bool noReply = false;
    std::string noise;            // sent before the "#" of each reply
    int pieces = 1;               // the reply is sent in this many pieces...
    int pauseMs = 50;             // ...with this pause between them
    int dollarPosition = 98;      // where the "$" stands; 97 and 99 are faulty replies
    bool pace = false;            // one byte per character time at 9600 baud 8N1
    bool quiet = false;           // no log line per command
    int dropWrite = 0;            // the write command with this number (from 1) is not stored
    int corruptWrite = 0;         // the write command with this number stores its byte with bit 0 flipped
    bool help = false;
};

struct ParseResult {
    Options options;
    std::optional<std::string> error;
};

ParseResult parseOptions(const std::vector<std::string>& args);
const char* usage();

} // namespace irsim
