#pragma once
// The per-user table of COM numbers: which device holds which number, so that
// a device keeps its number across unplugging, restarts and the coming and
// going of other devices, and a number held by a device that is away is not
// given to another.
//
// The file has one line per device, "<number> <identity>" (see devtree.h for
// identities; control characters in them are written as \xHH); lines
// starting with "#" are comments. Removing a line frees its number. Other
// lines, and a line whose number or device an earlier line has, are ignored
// with a diagnostic line, and are gone after the next write. Writes go to a
// temporary file that replaces the table (the file, where its path is a
// link) in one rename, under a lock file beside it, after reading the table
// again, so that two processes that number new devices at once both keep
// what they added.
#include <set>
#include <string>
#include <vector>

namespace vxport {

struct NumberRequest {
    std::string identity;
    unsigned fixed = 0; // the machine's own UART: this number, unless a link holds it
};

// The numbers of the devices, 0 where none is left. Numbers in `linked` are
// held by port links and given to no device. A device gets, in this order:
// its fixed number; its number in the table; else the first number from the
// one its identity suggests (33..255) that no device holds and the table does
// not keep for another. A new device is recorded then. A device whose number
// a link holds, and a UART whose fixed number a link holds, get another
// number for the time being, which is not recorded. With every number kept,
// a new device takes the number of one that is not present, with a
// diagnostic line. An empty path: no table.
std::vector<unsigned> NumberDevices(const std::string& tablePath, const std::vector<NumberRequest>& devices,
                                    const std::set<unsigned>& linked);

// The number an identity suggests, 33..255; the same on every machine, so that
// a device is numbered alike where the table cannot be written.
unsigned SuggestedNumber(const std::string& identity);

} // namespace vxport
