// The console programs' way to a card: control device names and their opening, request numbers
// turned into control codes and sent, Windows errors turned into errno values, the check that the
// driver speaks the tools' interface and version, the version-mismatch report, the program name
// for messages and the exit status of a library error code.
//
// Failures are reported C-style: a negative result, a null node or the invalid handle, with
// `errno` (of the calling thread) set to a positive errno value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/common/platform.h"

// The tools' release and the build tag that -v prints ("4.2.2.1144 Harnock@" and the build's
// 12-hex-digit revision).
constexpr unsigned tool_version_major = 4;
constexpr unsigned tool_version_minor = 2;
constexpr unsigned tool_version_micro = 2;
extern const char tool_build_tag[];

constexpr uint32_t tool_interface_level = 125;
constexpr int tool_errno_interface = 1029;  // the driver speaks another interface level
constexpr size_t tool_path_max = 260;

// Request numbers the tools send.
constexpr uint32_t PAV_IOCTL_GET_VERSION = 0x84006816;
constexpr uint32_t PAV_IOCTL_GET_INTERFACE_LEVEL = 0x80086817;
constexpr uint32_t PAV_IOCTL_GET_DRIVER_INFO = 0x84306832;
constexpr uint32_t PAV_IOCTL_GET_ODOMETER_DATA = 0x8040689B;
constexpr uint32_t PAV_IOCTL_KINFO = 0xC1186866;
constexpr uint32_t PAV_IOCTL_GET_IDS = 0xC058681F;
constexpr uint32_t PAV_IOCTL_BOOT_CHECK_EVENT = 0xC1007702;
constexpr uint32_t PAV_IOCTL_ATTACH = 0x40046895;

// The Windows control code of a Linux-style request number (type letter as the device type,
// 0x800 + the number as the function, METHOD_NEITHER, the direction bits as the access), and
// the record's size to *size when given.
uint32_t linux_ioctl_to_ctl_code(uint32_t number, uint32_t* size = nullptr);

// An open control device: a positive use count forbids closing.
struct control_node {
    int32_t use_count;
    HANDLE handle;
};

// Sets errno to the Windows error's errno value and returns it negated (0 for error 0).
int win32_error_to_errno(DWORD error);
// "/dev/dovN" (any case) to "\\.\dovN" into `out` (tool_path_max bytes); a "\\.\dov" path is
// copied. 0, 22 for a path of neither form or a "\\.\dov" path too long, 7 for a "/dev/dov"
// path too long.
int map_node_path(char* out, const char* path);
// Opens the control device `path` (mapped as above, else as given) for reading and writing;
// `flags` are _O_* values (_O_TRUNC: create always, _O_CREAT: open always, else open an existing
// one). The invalid handle with errno set on failure.
HANDLE open_node(const char* path, int flags);
// Sends request `number` with `record` as input and output (both lengths its size field): the
// byte count the driver reported, or the negated errno.
int node_ioctl(HANDLE handle, uint32_t number, void* record);
// The opening check: interface level 125 and driver version 4.2.2. `slot` (may be null) gets the
// error value: the errno of a failed request, 1029 for another interface level, 0 for another
// version.
bool check_ioctl_api(HANDLE handle, int* slot);
// Opens card `number`'s control device and runs the opening check; null with errno set.
control_node* open_control_node(unsigned number);
// 0; -1 with errno 22 for a null node, 16 for a node in use (it stays open), or the close's.
int close_control_node(control_node* node);
// The driver's version text into `text` (255 bytes, at most 254 characters kept): 0, or -1 with
// "No version info provided".
int query_driver_version(HANDLE handle, char* text);
// Tells, on standard error, that `program` does not match the running driver, and the driver's
// version as the first card that answers gives it.
void report_version_mismatch(const char* program);
// Reduces argv[0] to file name and extension, in place.
char* strip_program_path(char* path);
// The process exit status of a library error code.
int exit_status_for_error(int code);
