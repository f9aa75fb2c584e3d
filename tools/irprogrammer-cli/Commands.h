#pragma once
// The three commands. Each returns the exit status of a run that went as
// asked, and throws Failure otherwise.
#include "Arguments.h"

namespace ircli {

int RunPorts(const Arguments& a);
int RunRead(const Arguments& a);
// One transmitter, or a batch of a.count, each written, verified unless
// asked not to, and recorded before the next.
int RunWrite(const Arguments& a);

} // namespace ircli
