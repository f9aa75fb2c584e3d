#pragma once
// The list of serial ports from the system's serial-port map.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One port of the list: its text ("COM3", or "COM3=<value name>") and number.
struct TComPortEntry {
    std::string Text;
    int32_t PortNo = 0;
};
using TComPortList = std::vector<TComPortEntry>;

// Inserts the entry keeping the list in ascending port-number order (equal
// numbers keep their arrival order); an entry whose text is already listed,
// compared without regard to letter case, is not added.
void AddComPortSorted(const std::string& Text, int32_t PortNo, TComPortList& List);

// Clears the list and fills it from the serial-port map: one entry per port,
// upper-cased, only names that begin with "COM" followed by a decimal number;
// with WithDeviceObjects the text is the name, "=" and the map's value name.
void EnumComPorts(TComPortList& List, bool WithDeviceObjects);
// The same over the given (value name, data) pairs of a serial-port map.
void EnumComPorts(TComPortList& List, bool WithDeviceObjects,
                  const std::vector<std::pair<std::string, std::string>>& MapValues);
