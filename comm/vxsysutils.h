#pragma once
// Port-name and file functions: a port number to its name, opening a port for
// overlapped I/O, one overlapped write or read, cancelling pending I/O and the
// text of the last system error. The serial component does all its device
// I/O through these.
#include "vxport.h"

#include <cstdint>
#include <string>

// "COM%u": 3 gives COM3.
std::string ComPortName(uint32_t number);

// Opens "\\?\COMn" for reading and writing, exclusively, for overlapped I/O.
// INVALID_HANDLE_VALUE on failure; the caller reads the error right after.
vxport::HANDLE OpenComPort(uint32_t number);

// After a transfer that did not complete at once: false unless the last error
// is ERROR_IO_PENDING; then waits for the transfer. `error` gets the error
// code that ended it.
bool WaitOverlappedResult(vxport::HANDLE handle, vxport::OVERLAPPED& overlapped, vxport::DWORD& transferred,
                          vxport::DWORD& error);

// An overlapped write or read that waits until the transfer has ended, and
// tells the bytes it moved, also when it ended in an error; a write that ran
// out of time has ended well with fewer bytes than asked.
bool WriteComWait(vxport::HANDLE handle, const void* buffer, vxport::DWORD length, vxport::OVERLAPPED& overlapped,
                  vxport::DWORD* transferred = nullptr);
bool ReadComWait(vxport::HANDLE handle, void* buffer, vxport::DWORD length, vxport::OVERLAPPED& overlapped,
                 vxport::DWORD* transferred = nullptr);

// An overlapped write that only starts: true when it completed at once or is
// pending.
bool WriteComNoWait(vxport::HANDLE handle, const void* buffer, vxport::DWORD length,
                    vxport::OVERLAPPED& overlapped);

// Cancels the I/O that the calling thread has pending on the handle.
bool CancelComIo(vxport::HANDLE handle);

// The system's text for the calling thread's last error code.
std::string LastErrorText();
