#include "vxwin32.h"

#include "SysUtils.h"
#include "portmap.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

bool SameText(const std::string& a, const std::string& b)
{
    return Upper(a) == Upper(b);
}

std::string NamePart(const std::string& text)
{
    return text.substr(0, text.find('='));
}

} // namespace

void AddComPortSorted(const std::string& Text, int32_t PortNo, TComPortList& List)
{
    for (const auto& e : List)
        if (SameText(e.Text, Text))
            return;
    auto greater = std::find_if(List.begin(), List.end(), [&](const TComPortEntry& e) { return e.PortNo > PortNo; });
    List.insert(greater, TComPortEntry{Text, PortNo});
}

void EnumComPorts(TComPortList& List, bool WithDeviceObjects)
{
    EnumComPorts(List, WithDeviceObjects, vxport::SerialCommMap());
}

void EnumComPorts(TComPortList& List, bool WithDeviceObjects,
                  const std::vector<std::pair<std::string, std::string>>& MapValues)
{
    List.clear();
    for (const auto& [valueName, data] : MapValues) {
        const std::string name = Upper(data.c_str()); // the data up to its first NUL
        if (name.rfind("COM", 0) != 0)
            continue;
        // A name without a number after "COM" names no port we can open; it is
        // left out rather than ending the whole list.
        int32_t number = 0;
        if (!TryStrToInt(std::string_view(name).substr(3), number) || name.size() == 3 || !std::isdigit((unsigned char)name[3]))
            continue;
        const bool listed = std::any_of(List.begin(), List.end(), [&](const TComPortEntry& e) {
            return e.Text.find('=') != std::string::npos && SameText(NamePart(e.Text), name);
        });
        if (listed)
            continue;
        AddComPortSorted(WithDeviceObjects ? name + "=" + valueName : name, number, List);
    }
}
