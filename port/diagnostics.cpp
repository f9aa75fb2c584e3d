#include "diagnostics.h"

#include <cstdio>
#include <mutex>
#include <set>

namespace vxport {
namespace {

std::mutex sinkMutex;
DiagnosticSink installed;
std::set<std::string> shown;
constexpr size_t kShownLimit = 1000; // beyond it lines repeat rather than grow the set

} // namespace

DiagnosticSink SetDiagnosticSink(DiagnosticSink sink)
{
    std::lock_guard lock(sinkMutex);
    DiagnosticSink previous = std::move(installed);
    installed = std::move(sink);
    return previous;
}

void Diagnose(const std::string& line)
{
    DiagnosticSink sink;
    {
        std::lock_guard lock(sinkMutex);
        if (!installed) {
            if (shown.count(line))
                return;
            if (shown.size() < kShownLimit)
                shown.insert(line);
            std::fprintf(stderr, "vxcomm: %s\n", line.c_str());
            return;
        }
        sink = installed;
    }
    sink(line);
}

} // namespace vxport
