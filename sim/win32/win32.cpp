#include "sim/win32/win32.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sim/machine/machine.h"
#include "sim/machine/wire.h"

namespace sim::win32 {
namespace {

sim::machine::Machine* in_process = nullptr;
std::string socket_path;
thread_local uint32_t last_nt_status = 0;
thread_local DWORD last_error = 0;

// A handle is a tagged value: in-process handles are framework file objects; socket handles
// are {descriptor, machine handle} records.
struct remote_handle {
    int fd;
    uint64_t handle;
};

struct status_error {
    uint32_t status;
    DWORD error;
};

// NTSTATUS to Win32 error, as the system's translation gives them.
const status_error status_errors[] = {
    {0x00000000u, ERROR_SUCCESS},
    {0x80000005u, 234},   // STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA
    {0x80000011u, 170},   // STATUS_DEVICE_BUSY: ERROR_BUSY
    {0xC0000001u, 31},    // STATUS_UNSUCCESSFUL: ERROR_GEN_FAILURE
    {0xC0000002u, 1},     // STATUS_NOT_IMPLEMENTED: ERROR_INVALID_FUNCTION
    {0xC0000005u, 998},   // STATUS_ACCESS_VIOLATION: ERROR_NOACCESS
    {0xC0000008u, 6},     // STATUS_INVALID_HANDLE: ERROR_INVALID_HANDLE
    {0xC000000Du, 87},    // STATUS_INVALID_PARAMETER: ERROR_INVALID_PARAMETER
    {0xC000000Eu, 2},     // STATUS_NO_SUCH_DEVICE: ERROR_FILE_NOT_FOUND
    {0xC000000Fu, 2},     // STATUS_NO_SUCH_FILE: ERROR_FILE_NOT_FOUND
    {0xC0000010u, 1},     // STATUS_INVALID_DEVICE_REQUEST: ERROR_INVALID_FUNCTION
    {0xC0000014u, 1785},  // STATUS_UNRECOGNIZED_MEDIA: ERROR_UNRECOGNIZED_MEDIA
    {0xC0000017u, 8},     // STATUS_NO_MEMORY: ERROR_NOT_ENOUGH_MEMORY
    {0xC0000022u, 5},     // STATUS_ACCESS_DENIED: ERROR_ACCESS_DENIED
    {0xC0000023u, 122},   // STATUS_BUFFER_TOO_SMALL: ERROR_INSUFFICIENT_BUFFER
    {0xC0000033u, 123},   // STATUS_OBJECT_NAME_INVALID: ERROR_INVALID_NAME
    {0xC0000034u, 2},     // STATUS_OBJECT_NAME_NOT_FOUND: ERROR_FILE_NOT_FOUND
    {0xC000003Au, 3},     // STATUS_OBJECT_PATH_NOT_FOUND: ERROR_PATH_NOT_FOUND
    {0xC0000056u, 5},     // STATUS_DELETE_PENDING: ERROR_ACCESS_DENIED
    {0xC000009Au, 1450},  // STATUS_INSUFFICIENT_RESOURCES: ERROR_NO_SYSTEM_RESOURCES
    {0xC000009Du, 1167},  // STATUS_DEVICE_NOT_CONNECTED: ERROR_DEVICE_NOT_CONNECTED
    {0xC00000A2u, 19},    // STATUS_MEDIA_WRITE_PROTECTED: ERROR_WRITE_PROTECT
    {0xC00000B5u, 121},   // STATUS_IO_TIMEOUT: ERROR_SEM_TIMEOUT
    {0xC00000BBu, 50},    // STATUS_NOT_SUPPORTED: ERROR_NOT_SUPPORTED
    {0xC00000E5u, 1359},  // STATUS_INTERNAL_ERROR: ERROR_INTERNAL_ERROR
    {0xC00000EFu, 87},    // STATUS_INVALID_PARAMETER_1 ..
    {0xC00000F0u, 87},
    {0xC00000F1u, 87},
    {0xC00000F2u, 87},
    {0xC00000F3u, 87},
    {0xC00000F4u, 87},
    {0xC00000F5u, 87},
    {0xC00000F6u, 87},
    {0xC00000F7u, 87},
    {0xC00000F8u, 87},
    {0xC00000F9u, 87},
    {0xC00000FAu, 87},    // .. STATUS_INVALID_PARAMETER_12: ERROR_INVALID_PARAMETER
    {0xC0000120u, 995},   // STATUS_CANCELLED: ERROR_OPERATION_ABORTED
    {0xC0000122u, 1210},  // STATUS_INVALID_COMPUTER_NAME: ERROR_INVALID_COMPUTERNAME
    {0xC0000183u, 1117},  // STATUS_DRIVER_INTERNAL_ERROR: ERROR_IO_DEVICE
    {0xC0000184u, 22},    // STATUS_INVALID_DEVICE_STATE: ERROR_BAD_COMMAND
    {0xC0000185u, 1117},  // STATUS_IO_DEVICE_ERROR: ERROR_IO_DEVICE
    {0xC0000225u, 1168},  // STATUS_NOT_FOUND: ERROR_NOT_FOUND
};

BOOL fail(uint32_t status) {
    last_nt_status = status;
    last_error = win32_error_of(status);
    return 0;
}

std::string default_socket() {
    if (!socket_path.empty()) {
        return socket_path;
    }
    const char* env = std::getenv("VELKOR_SIM_SOCKET");
    return env != nullptr ? env : "velkor-state/machine.sock";
}

bool exchange(int fd, const sim::machine::wire::request& r, sim::machine::wire::reply* out) {
    sim::machine::wire::sent();
    if (::write(fd, &r, sizeof r) != (ssize_t)sizeof r) {
        return false;
    }
    size_t got = 0;
    while (got < sizeof *out) {
        ssize_t n = ::read(fd, (char*)out + got, sizeof *out - got);
        if (n <= 0) {
            return false;
        }
        got += (size_t)n;
    }
    sim::machine::wire::received();
    return true;
}

}  // namespace

void use_machine(sim::machine::Machine* machine) {
    in_process = machine;
}

void use_socket(const std::string& path) {
    in_process = nullptr;
    socket_path = path;
}

uint32_t last_status() {
    return last_nt_status;
}

DWORD win32_error_of(uint32_t status) {
    for (const status_error& row : status_errors) {
        if (row.status == status) {
            return row.error;
        }
    }
    if ((status & 0x0FFF0000u) == 0x00010000u) {
        return status & 0xFFFFu;  // facility 1: a Win32 error wrapped in a status
    }
    return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace sim::win32

using namespace sim::win32;

HANDLE CreateFileA(const char* file_name, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    if (in_process != nullptr) {
        WDFFILEOBJECT file = nullptr;
        NTSTATUS status = in_process->open(file_name, &file);
        if (!NT_SUCCESS(status)) {
            fail((uint32_t)status);
            return INVALID_HANDLE_VALUE;
        }
        return (HANDLE)file;
    }
    // The machine copies request buffers from and to this process: let it, where the system
    // allows a process to reach only its own descendants by default.
    ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = default_socket();
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, (sockaddr*)&address, sizeof address) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        fail(0xC000009Du);  // STATUS_DEVICE_NOT_CONNECTED: no machine runs
        return INVALID_HANDLE_VALUE;
    }
    sim::machine::wire::request r{};
    r.op = sim::machine::wire::open_device;
    std::strncpy(r.name, file_name, sizeof r.name - 1);
    sim::machine::wire::reply out{};
    if (!exchange(fd, r, &out) || out.status < 0) {
        ::close(fd);
        fail(out.status < 0 ? (uint32_t)out.status : 0xC000009Du);
        return INVALID_HANDLE_VALUE;
    }
    return new remote_handle{fd, out.handle};
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* in_buffer, DWORD in_size, void* out_buffer, DWORD out_size,
                     LPDWORD bytes_returned, void*) {
    if (device == nullptr || device == INVALID_HANDLE_VALUE) {
        return fail(0xC0000008u);
    }
    void* user = out_buffer != nullptr ? out_buffer : in_buffer;
    uint32_t status;
    uint64_t information = 0;
    if (in_process != nullptr) {
        ULONG_PTR info = 0;
        status = (uint32_t)in_process->device_control((WDFFILEOBJECT)device, code, user, in_size, out_size, &info);
        information = info;
    } else {
        auto* h = (remote_handle*)device;
        sim::machine::wire::request r{};
        r.op = sim::machine::wire::device_control;
        r.code = code;
        r.handle = h->handle;
        r.buffer = (uint64_t)(uintptr_t)user;
        r.input_length = in_size;
        r.output_length = out_size;
        sim::machine::wire::reply out{};
        if (!exchange(h->fd, r, &out)) {
            return fail(0xC000009Du);
        }
        status = (uint32_t)out.status;
        information = out.information;
    }
    if (bytes_returned != nullptr) {
        *bytes_returned = (DWORD)information;
    }
    if ((int32_t)status < 0) {
        return fail(status);
    }
    last_nt_status = status;
    return 1;
}

BOOL CloseHandle(HANDLE object) {
    if (object == nullptr || object == INVALID_HANDLE_VALUE) {
        return fail(0xC0000008u);
    }
    if (in_process != nullptr) {
        in_process->close((WDFFILEOBJECT)object);
        return 1;
    }
    auto* h = (remote_handle*)object;
    sim::machine::wire::request r{};
    r.op = sim::machine::wire::close_device;
    r.handle = h->handle;
    sim::machine::wire::reply out{};
    exchange(h->fd, r, &out);
    ::close(h->fd);
    delete h;
    return 1;
}

DWORD GetLastError() {
    return last_error;
}
