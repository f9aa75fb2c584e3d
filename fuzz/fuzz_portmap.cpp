// The serial-port map over a fake tree built from the input: it is read
// without failing, numbers are unique, in order and within 1..255, no device
// is listed twice, and every entry resolves; a second reading, with the
// table of numbers the first one wrote, gives the same map.
#include "diagnostics.h"
#include "fake_tree.h"

#include <set>

using namespace vxfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FakeTree tree;
    static const bool quiet = (vxport::SetDiagnosticSink([](const std::string&) {}), true);
    (void)quiet;
    Input in(data, size);
    tree.Build(in);
    const vxport::PortMapConfig config = tree.Config();
    const auto map = vxport::ReadPortMap(config);
    std::set<unsigned> numbers;
    std::set<std::string> devices;
    for (const auto& entry : map) {
        Check(entry.number >= 1 && entry.number <= 255, "number outside 1..255");
        Check(numbers.insert(entry.number).second, "two entries with one number");
        Check(numbers.size() == 1 || entry.number > *std::prev(numbers.end(), 2), "entries out of order");
        Check(!entry.device.empty(), "entry without a device");
        Check(devices.insert(entry.canonical).second, "one device listed twice");
        const auto resolved = vxport::ResolveComPort(entry.number, config);
        Check(resolved.has_value(), "a listed number does not resolve");
    }
    const auto again = vxport::ReadPortMap(config);
    Check(again.size() == map.size(), "a second reading lists another number of ports");
    for (size_t i = 0; i < again.size() && i < map.size(); ++i)
        Check(again[i].number == map[i].number && again[i].device == map[i].device, "a second reading differs");
    return 0;
}
