// Texts for the error codes the port layer gives, written for the person at
// the bench who has to do something about them.
#include "vxport.h"

namespace vxport {

std::string SysErrorMessage(DWORD code)
{
    switch (code) {
    case ERROR_SUCCESS:
        return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND:
        return "The port does not exist. Check that the device is plugged in and that the port number is right.";
    case ERROR_TOO_MANY_OPEN_FILES:
        return "Too many files and devices are open in this program. Close some of them and try again.";
    case ERROR_ACCESS_DENIED:
        return "Access to the port is denied. The user needs permission to use the port; on Debian, add the "
               "user to the dialout group (sudo adduser $USER dialout) and log in again.";
    case ERROR_INVALID_HANDLE:
        return "The port is not open (the handle is invalid).";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "Not enough memory is available to complete the operation.";
    case ERROR_BAD_COMMAND:
        return "The device does not recognize the command.";
    case ERROR_GEN_FAILURE:
        return "The port reported an input/output error. The device may have been removed.";
    case ERROR_SHARING_VIOLATION:
        return "The port is busy: another program (or another part of this one) has it open. Close it there "
               "and try again.";
    case ERROR_NOT_SUPPORTED:
        return "The device does not support this operation (it may not be a serial port).";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_INSUFFICIENT_BUFFER:
        return "The data area passed to a system call is too small.";
    case ERROR_OPERATION_ABORTED:
        return "The I/O operation has been aborted because of either a thread exit or an application request.";
    case ERROR_IO_INCOMPLETE:
        return "Overlapped I/O event is not in a signaled state.";
    case ERROR_IO_PENDING:
        return "Overlapped I/O operation is in progress.";
    case ERROR_DEVICE_NOT_CONNECTED:
        return "The device is not connected: it was unplugged or the other end hung up. Reconnect it and open "
               "the port again.";
    default:
        return "System error " + std::to_string(code) + ".";
    }
}

} // namespace vxport
