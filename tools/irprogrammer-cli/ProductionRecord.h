#pragma once
// The production record of a write: one CSV line per transmitter written,
// appended and synced to disk before the next transmitter is programmed, so
// that the IDs that went out are on record even if the machine stops. Earlier
// lines are never rewritten; a new (or empty) file gets the header first.
#include "Arguments.h"

#include <array>
#include <sys/types.h>
#include <string>

namespace ircli {

struct RecordEntry {
    std::string port;
    std::array<ButtonFields, 3> buttons{};
    int relay = 0;
    std::array<std::string, 3> codes;
    const char* verified = "no"; // "yes", "no" or "skipped"
};

class ProductionRecord {
public:
    // Keeps no record for an empty path. Throws Failure with BadArguments when
    // the file cannot be opened for appending or is not such a record.
    explicit ProductionRecord(std::string path);
    ~ProductionRecord();
    ProductionRecord(const ProductionRecord&) = delete;
    ProductionRecord& operator=(const ProductionRecord&) = delete;

    // Appends the entry with the current UTC time and syncs it. Throws
    // Failure with Stopped when it cannot.
    void Append(const RecordEntry& entry);

    static const char* Header();

private:
    // What goes before the next line: the header, or the end of a torn last line.
    std::string Lead() const;
    std::string TornHeader(off_t size) const;
    void WriteAll(const std::string& text);

    std::string path_;
    int fd_ = -1;
    bool created_ = false;
    std::string folder_; // of a file this run created
    std::string lineEnd_ = "\n"; // the file's own: "\r\n" when its header ends so
};

} // namespace ircli
