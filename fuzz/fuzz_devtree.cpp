// The device-tree walks of a full enumeration over a fake tree built from the
// input: every walk finishes, and each record names a device node of the
// tree's /dev folder.
#include "diagnostics.h"
#include "fake_tree.h"
#include "vxwin32di.h"

using namespace vxfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FakeTree tree;
    static const bool quiet = (vxport::SetDiagnosticSink([](const std::string&) {}), true);
    (void)quiet;
    Input in(data, size);
    const bool presentOnly = in.Byte() & 1;
    tree.Build(in);
    const vxport::PortMapConfig config = tree.Config();
    LoadSetupServices(config);
    const vxport::PortSnapshot snapshot = vxport::ReadPortSnapshot(config);
    for (const auto& walk : vxdi::SetupWalks) {
        TvxDeviceRecords records;
        WalkSetupDevices(snapshot, walk.Guid, presentOnly, walk.DeviceMode, records, false);
        for (const auto& record : records) {
            Check(record != nullptr, "empty record");
            Check(!record->DeviceObject.empty(), "record without a device node");
        }
        FindPortDevice(records, "COM1");
    }
    TvxDeviceRecords every;
    WalkSetupDevices(config, "", presentOnly, true, every, false);
    return 0;
}
