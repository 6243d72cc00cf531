#include "tools/common/device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#ifndef TOOL_BUILD_REVISION
#define TOOL_BUILD_REVISION "000000000000"
#endif

const char tool_build_tag[] = "4.2.2.1144 Harnock@" TOOL_BUILD_REVISION;

namespace {

struct error_errno {
    DWORD error;
    int value;
};

const error_errno error_errnos[] = {
    {1, 25},  {2, 6},   {5, 13},  {6, 9},    {1785, 9}, {8, 12},   {1450, 12}, {13, 14}, {998, 14},
    {19, 30}, {22, 5},  {38, 27}, {87, 22},  {121, 11}, {122, 7},  {170, 16},  {1117, 1}, {1168, 2},
};

constexpr char win32_prefix[] = "\\\\.\\dov";
constexpr char dev_prefix[] = "/dev/dov";

#if !defined(_WIN32)
int strnicmp(const char* a, const char* b, size_t n) {
    return strncasecmp(a, b, n);
}
#else
int strnicmp(const char* a, const char* b, size_t n) {
    return _strnicmp(a, b, n);
}
#endif

}  // namespace

uint32_t linux_ioctl_to_ctl_code(uint32_t number, uint32_t* size) {
    uint32_t direction = number >> 30;
    uint32_t type = number >> 8 & 0xFF;
    uint32_t nr = number & 0xFF;
    if (size != nullptr) {
        *size = number >> 16 & 0x3FFF;
    }
    return type << 16 | direction << 14 | (0x800 + nr) << 2 | 3;
}

int win32_error_to_errno(DWORD error) {
    if (error == 0) {
        errno = 0;
        return 0;
    }
    int value = 5;
    if (error >= 0x4000 && error <= 0x4FFF) {
        value = (int)(error - 0x4000);
    } else {
        for (const error_errno& row : error_errnos) {
            if (row.error == error) {
                value = row.value;
                break;
            }
        }
    }
    errno = value;
    return -value;
}

int map_node_path(char* out, const char* path) {
    size_t length = std::strlen(path);
    if (strnicmp(path, win32_prefix, sizeof win32_prefix - 1) == 0) {
        if (length + 1 > tool_path_max) {
            return 22;
        }
        std::memcpy(out, path, length + 1);
        return 0;
    }
    if (strnicmp(path, dev_prefix, sizeof dev_prefix - 1) == 0) {
        const char* rest = path + sizeof dev_prefix - 1;
        if (std::strlen(rest) + 9 > tool_path_max) {
            return 7;
        }
        std::snprintf(out, tool_path_max, "%s%s", win32_prefix, rest);
        return 0;
    }
    return 22;
}

HANDLE open_node(const char* path, int flags) {
    char mapped[tool_path_max];
    int rc = map_node_path(mapped, path);
    if (rc != 0 && rc != 22) {
        errno = rc;
        return INVALID_HANDLE_VALUE;
    }
    const char* name = rc == 0 ? mapped : path;
    DWORD disposition = (flags & _O_TRUNC) != 0 ? CREATE_ALWAYS : (flags & _O_CREAT) != 0 ? OPEN_ALWAYS : OPEN_EXISTING;
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        win32_error_to_errno(GetLastError());
    }
    return handle;
}

int node_ioctl(HANDLE handle, uint32_t number, void* record) {
    uint32_t size = 0;
    uint32_t code = linux_ioctl_to_ctl_code(number, &size);
    DWORD returned = 0;
    if (!DeviceIoControl(handle, code, record, size, record, size, &returned, nullptr)) {
        return win32_error_to_errno(GetLastError());
    }
    return (int)returned;
}

bool check_ioctl_api(HANDLE handle, int* slot) {
    int local = 0;
    if (slot == nullptr) {
        slot = &local;
    }
    // The answer's record starts zeroed: a request that fails leaves nothing to read in it.
    uint32_t level[2] = {0, 0};
    errno = 0;
    if (node_ioctl(handle, PAV_IOCTL_GET_INTERFACE_LEVEL, level) < 0) {
        *slot = errno != 0 ? errno : 5;
        return false;
    }
    if (level[0] != tool_interface_level || level[1] != 0) {
        errno = tool_errno_interface;
        *slot = tool_errno_interface;
        return false;
    }
    auto* info = (unsigned char*)std::calloc(1, 1072);
    if (info == nullptr) {
        *slot = errno = 12;
        return false;
    }
    errno = 0;
    int rc = node_ioctl(handle, PAV_IOCTL_GET_DRIVER_INFO, info);
    *slot = errno;
    uint32_t version[3];
    std::memcpy(version, info + 20, sizeof version);
    std::free(info);
    if (rc != 0) {
        return false;
    }
    return version[0] == tool_version_major && version[1] == tool_version_minor && version[2] == tool_version_micro;
}

control_node* open_control_node(unsigned number) {
    char name[256];
    std::snprintf(name, sizeof name, "%s%d", win32_prefix, (int)(uint16_t)number);
    HANDLE handle = open_node(name, _O_RDWR);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* node = (control_node*)std::malloc(sizeof(control_node));
    if (node == nullptr) {
        CloseHandle(handle);
        errno = 12;
        return nullptr;
    }
    node->use_count = 0;
    node->handle = handle;
    int slot = 0;
    if (!check_ioctl_api(handle, &slot)) {
        std::free(node);
        if (!CloseHandle(handle)) {
            win32_error_to_errno(GetLastError());
        }
        errno = slot;
        return nullptr;
    }
    return node;
}

int close_control_node(control_node* node) {
    if (node == nullptr) {
        errno = 22;
        return -1;
    }
    if (node->use_count > 0) {
        errno = 16;
        return -1;
    }
    if (!CloseHandle(node->handle)) {
        win32_error_to_errno(GetLastError());
        return -1;
    }
    std::free(node);
    return 0;
}

int query_driver_version(HANDLE handle, char* text) {
    std::memset(text, 0, 255);
    auto* answer = (char*)std::calloc(1, 1024);
    if (answer == nullptr || node_ioctl(handle, PAV_IOCTL_GET_VERSION, answer) < 0) {
        std::free(answer);
        std::snprintf(text, 255, "%s", "No version info provided");
        return -1;
    }
    // The answer need not hold a NUL: never read past its 1024 bytes.
    size_t length = strnlen(answer, 1024);
    if (length > 254) {
        length = 254;
    }
    std::memcpy(text, answer, length);
    text[length] = 0;
    std::free(answer);
    return 0;
}

void report_version_mismatch(const char* program) {
    std::fprintf(stderr, "Error: This version of %s is not compatible with the running driver.\n", program);
    std::fprintf(stderr, "Please install a %s that matches the driver's version.\n", program);
    std::fprintf(stderr, "%s version: %s.%s.%s\n", program, "4", "2", "2");
    char version[255];
    bool found = false;
    for (unsigned n = 0; n <= 254 && !found; n++) {
        // The version query needs no opening check: the check fails exactly when the versions
        // differ, which is what this report is about.
        char name[256];
        std::snprintf(name, sizeof name, "%s%d", win32_prefix, (int)n);
        HANDLE handle = open_node(name, _O_RDWR);
        if (handle == INVALID_HANDLE_VALUE) {
            continue;
        }
        found = query_driver_version(handle, version) == 0;
        CloseHandle(handle);
    }
    if (!found) {
        std::fprintf(stderr, "Zelt driver version: %s\n", "Version is not available");
        return;
    }
    // Up to the third dot: "4.2.2.1144 ..." reads "4.2.2".
    int dots = 0;
    for (char* p = version; *p != 0; p++) {
        if (*p == '.' && ++dots == 3) {
            *p = 0;
            break;
        }
    }
    std::fprintf(stderr, "Zelt driver version: %s\n", version);
}

char* strip_program_path(char* path) {
    auto* scratch = (char*)std::malloc(512);
    if (scratch == nullptr) {
        return path;
    }
    char* fname = scratch;
    char* ext = scratch + 256;
    _splitpath(path, nullptr, nullptr, fname, ext);
    std::snprintf(path, std::strlen(path) + 1, "%s%s", fname, ext);
    std::free(scratch);
    return path;
}

int exit_status_for_error(int code) {
    switch (code) {
    case 0: return 0;
    case 2: return 3;
    case 3: return 4;
    case 24:
    case 32: return 7;
    case 29: return 10;
    case 31: return 6;
    case 39:
    case 40:
    case 43:
    case 44:
    case 45: return 2;
    case 47: return 5;
    default: return 1;
    }
}
