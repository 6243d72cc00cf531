#include "sim/win32/win32.h"

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

DWORD error_of(uint32_t status) {
    switch (status) {
        case 0xC0000034u:
            return ERROR_FILE_NOT_FOUND;
        case 0xC0000008u:
            return ERROR_INVALID_HANDLE;
        case 0xC0000010u:
            return ERROR_INVALID_FUNCTION;
        default:
            return ERROR_GEN_FAILURE;
    }
}

BOOL fail(uint32_t status) {
    last_nt_status = status;
    last_error = error_of(status);
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
