#pragma once
// Line speed through the kernel's termios2 interface, which takes any rate
// (BOTHER) as well as the standard ones. Kept apart because the kernel's
// termios headers clash with the C library's.
#include <cstdint>

namespace vxport::detail {

// 0 or an errno value.
int SetLineSpeed(int fd, uint32_t baud);
// 0 when the speed cannot be read.
uint32_t LineSpeed(int fd);

} // namespace vxport::detail
