// The serial-port map over a fake tree built from the input: it is read
// without failing, numbers are unique and in order, and every automatic
// entry resolves to its own device.
#include "fake_tree.h"

#include <set>

using namespace vxfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FakeTree tree;
    Input in(data, size);
    tree.Build(in);
    const vxport::PortMapConfig config = tree.Config();
    const auto map = vxport::ReadPortMap(config);
    std::set<unsigned> numbers;
    for (const auto& entry : map) {
        Check(entry.number != 0, "entry numbered 0");
        Check(numbers.insert(entry.number).second, "two entries with one number");
        Check(numbers.size() == 1 || entry.number > *std::prev(numbers.end(), 2), "entries out of order");
        Check(!entry.device.empty(), "entry without a device");
        if (!entry.pinned)
            Check(entry.number <= 255, "automatic number above COM255");
        const auto resolved = vxport::ResolveComPort(entry.number, config);
        Check(resolved.has_value(), "a listed number does not resolve");
    }
    return 0;
}
