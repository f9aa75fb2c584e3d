#pragma once
// The diagnostic output: texts meant for a developer, not for the user.
// They go to standard error when VX_DEBUG is set in the environment, and to
// the installed sink (tests read them there).
#include <functional>
#include <string>

using DebugSink = std::function<void(const std::string& text)>;

// Installs a sink and returns the previous one.
DebugSink SetDebugSink(DebugSink sink);

void OutputDebugString(const std::string& text);
