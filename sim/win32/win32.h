// Win32 as the user-side programs see it on this machine: files on the control devices
// ("\\.\dov0") and their device-control requests. The calls reach the simulated machine: one in
// the same process (tests), or the machine program through its socket in the state directory.
#pragma once

#include <cstdint>
#include <string>

using HANDLE = void*;
using DWORD = uint32_t;
using BOOL = int;
using LPDWORD = DWORD*;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NOACCESS 998u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BUSY 170u
#define ERROR_MR_MID_NOT_FOUND 317u

HANDLE CreateFileA(const char* file_name, DWORD desired_access, DWORD share_mode, void* security_attributes,
                   DWORD creation_disposition, DWORD flags_and_attributes, HANDLE template_file);
// METHOD_NEITHER requests carry the caller's own buffer: the output buffer (or the input buffer
// when there is none) is the request's user buffer.
BOOL DeviceIoControl(HANDLE device, DWORD io_control_code, void* in_buffer, DWORD in_buffer_size, void* out_buffer,
                     DWORD out_buffer_size, LPDWORD bytes_returned, void* overlapped);
BOOL CloseHandle(HANDLE object);
DWORD GetLastError();

namespace sim::machine {
class Machine;
}

namespace sim::win32 {

// Where the calls go: a machine in this process, or the socket of a running machine program
// (by default $VELKOR_SIM_SOCKET, else "velkor-state/machine.sock").
void use_machine(sim::machine::Machine* machine);
void use_socket(const std::string& path);
// The NTSTATUS of the calling thread's last failed call (the driver's own status).
uint32_t last_status();
// The Win32 error that a call failing with `status` leaves for GetLastError, as the system
// translates it: the statuses the driver and the I/O manager complete requests with, and a
// status of facility 1 (0xC001xxxx) carrying a Win32 error in its low 16 bits;
// ERROR_MR_MID_NOT_FOUND for a status without a translation.
DWORD win32_error_of(uint32_t status);

}  // namespace sim::win32
