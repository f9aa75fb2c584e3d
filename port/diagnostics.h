#pragma once
// Diagnostic lines of the port layer: things a user set up that are ignored
// (a port link with a number out of range), or that could not be read or
// written. By default each distinct line goes to standard error once per
// process, since the port map is read on every open and every enumeration.
#include <functional>
#include <string>

namespace vxport {

using DiagnosticSink = std::function<void(const std::string& line)>;

// Installs a sink that gets every line (each time it is made); an empty sink
// restores the default. Returns the previous sink.
DiagnosticSink SetDiagnosticSink(DiagnosticSink sink);

void Diagnose(const std::string& line);

} // namespace vxport
