#include "Debug.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {
std::mutex sinkMutex;
DebugSink sink;
} // namespace

DebugSink SetDebugSink(DebugSink newSink)
{
    std::lock_guard lock(sinkMutex);
    DebugSink previous = std::move(sink);
    sink = std::move(newSink);
    return previous;
}

void OutputDebugString(const std::string& text)
{
    static const bool toStderr = std::getenv("VX_DEBUG") != nullptr;
    if (toStderr)
        std::fprintf(stderr, "%s\n", text.c_str());
    std::lock_guard lock(sinkMutex);
    if (sink)
        sink(text);
}
