#include "sim/win32/crt.h"

#include <cstring>

namespace {

void put(char* out, size_t capacity, const char* from, size_t length) {
    if (out == nullptr) {
        return;
    }
    if (length > capacity - 1) {
        length = capacity - 1;
    }
    std::memcpy(out, from, length);
    out[length] = 0;
}

}  // namespace

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    const char* p = path != nullptr ? path : "";
    size_t drive_length = p[0] != 0 && p[1] == ':' ? 2 : 0;
    put(drive, _MAX_DRIVE, p, drive_length);
    p += drive_length;
    const char* name = p;
    for (const char* c = p; *c != 0; c++) {
        if (*c == '\\' || *c == '/') {
            name = c + 1;
        }
    }
    put(dir, _MAX_DIR, p, (size_t)(name - p));
    const char* dot = std::strrchr(name, '.');
    size_t name_length = dot != nullptr ? (size_t)(dot - name) : std::strlen(name);
    put(fname, _MAX_FNAME, name, name_length);
    put(ext, _MAX_EXT, dot != nullptr ? dot : name + name_length, dot != nullptr ? std::strlen(dot) : 0);
}
