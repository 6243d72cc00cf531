#include "tools/kandrel/kandrel.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/common/device.h"
#include "tools/common/options.h"

namespace {

// The kinfo request record (280 bytes) and the data behind it.
constexpr size_t record_size = 280;
constexpr size_t name_offset = 0;
constexpr size_t size_offset = 256;
constexpr size_t type_offset = 260;
constexpr size_t mode_offset = 264;
constexpr size_t selector_offset = 268;
constexpr size_t value_offset = 272;
constexpr size_t name_size = 256;
constexpr uint32_t largest_data = 0x1000000;  // what the driver transfers at most (16 MiB)

enum node_type : uint32_t {
    type_directory = 1,
    type_int32 = 2,
    type_uint32 = 3,
    type_uint64 = 4,
    type_string = 5,
    type_text = 6,
    type_seqfile = 7,
};
constexpr uint32_t mode_read = 0x100;
constexpr uint32_t mode_write = 0x80;

constexpr int identity_record_size = 88;

struct print_settings {
    bool verbose = false;
    bool info = false;
    bool binary = false;
    bool hex = false;
    uint32_t selector = 1;
    const char* device = nullptr;
};

// A query under way: the open node and the record (280 bytes, then 280 + the data's size).
struct query {
    control_node* node = nullptr;
    unsigned char* record = nullptr;
};

uint32_t word(const query& q, size_t offset) {
    uint32_t v;
    std::memcpy(&v, q.record + offset, sizeof v);
    return v;
}

void set_word(query& q, size_t offset, uint32_t v) {
    std::memcpy(q.record + offset, &v, sizeof v);
}

// A value the user gave: its text as a number (hexadecimal after "0x" or "0X", else decimal).
struct value_text {
    bool present = false;
    bool negative = false;
    bool overflow = false;
    uint64_t magnitude = 0;
};

value_text parse_value(const char* text) {
    value_text v;
    if (text == nullptr) {
        return v;
    }
    const char* p = text;
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    if (*p == '-' || *p == '+') {
        v.negative = *p == '-';
        p++;
    }
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    const char* digits = p;
    uint64_t n = 0;
    for (; *p != 0; p++) {
        int d = *p >= '0' && *p <= '9'   ? *p - '0'
                : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                         : 99;
        if (d >= base) {
            break;
        }
        if (n > (UINT64_MAX - (uint64_t)d) / (uint64_t)base) {
            v.overflow = true;
        }
        n = n * (uint64_t)base + (uint64_t)d;
    }
    // A text from which no digit is taken is no value ("0x" alone takes its 0).
    v.present = p != digits || base == 16;
    v.magnitude = n;
    return v;
}

// The value as the node's type stores it: false when it does not fit.
bool value_for(const value_text& v, uint32_t type, uint64_t* out) {
    if (v.overflow) {
        return false;
    }
    if (type == type_int32 && v.negative) {
        if (v.magnitude > 0x80000000ull) {
            return false;
        }
        *out = (uint32_t)(0u - (uint32_t)v.magnitude);
        return true;
    }
    if (v.negative && v.magnitude != 0) {
        return false;
    }
    if (type != type_uint64 && v.magnitude > 0xFFFFFFFFull) {
        return false;  // an INT32 also takes the bits of one, given in hexadecimal
    }
    *out = v.magnitude;
    return true;
}

void end_query(query& q) {
    std::free(q.record);
    q.record = nullptr;
    if (q.node != nullptr) {
        close_control_node(q.node);
        q.node = nullptr;
    }
}

// Opens the device, checks it answers the identity handshake and looks the key up (size, type
// and mode). 0 or a negated errno.
int begin_query(const char* device, const char* key, uint32_t selector, query* q) {
    *q = query{};
    q->record = (unsigned char*)std::calloc(1, record_size);
    if (q->record == nullptr) {
        return -12;
    }
    set_word(*q, selector_offset, selector);
    HANDLE handle = open_node(device, _O_RDWR);
    if (handle == INVALID_HANDLE_VALUE) {
        int e = errno != 0 ? errno : 5;
        end_query(*q);
        return -e;
    }
    q->node = (control_node*)std::malloc(sizeof(control_node));
    if (q->node == nullptr) {
        CloseHandle(handle);
        end_query(*q);
        return -12;
    }
    q->node->use_count = 0;
    q->node->handle = handle;
    unsigned char identity[identity_record_size] = {};
    int rc = node_ioctl(handle, PAV_IOCTL_GET_IDS, identity);
    if (rc < 0) {
        end_query(*q);
        return rc;
    }
    size_t length = key != nullptr ? std::strlen(key) : 0;
    if (length >= name_size) {
        end_query(*q);
        return -7;
    }
    std::memcpy(q->record + name_offset, key != nullptr ? key : "", length);
    errno = 0;
    rc = node_ioctl(handle, PAV_IOCTL_KINFO, q->record);
    if (rc != 0) {
        end_query(*q);
        return rc < 0 ? rc : -5;
    }
    set_word(*q, selector_offset, selector);
    return 0;
}

bool write_raw(const unsigned char* data, size_t length, const print_settings& p) {
    if (p.binary) {
        return length == 0 || std::fwrite(data, 1, length, stdout) == length;
    }
    for (size_t i = 0; i < length; i++) {
        std::fputc(data[i] == 0 ? '\n' : data[i], stdout);
    }
    return true;
}

int run_query(query& q, const char* key, const value_text& value, print_settings p);

// Each child of a listed directory after a line of dashes: its name, then its value.
void list_children(const query& q, const char* key, print_settings p) {
    p.info = false;  // nested directories are listed, not expanded
    uint32_t size = word(q, size_offset);
    const char* data = (const char*)q.record + record_size;
    size_t at = 0;
    while (at < size) {
        size_t length = strnlen(data + at, size - at);
        std::fputs("-------------------------------------------------------------------------------\n", stdout);
        std::fwrite(data + at, 1, length, stdout);
        std::fputc('\n', stdout);
        // The listing names each child below the listed key; the tree takes it from the top.
        char child[name_size * 2];
        if (key != nullptr && key[0] != 0) {
            std::snprintf(child, sizeof child, "%s.%.*s", key, (int)length, data + at);
        } else {
            std::snprintf(child, sizeof child, "%.*s", (int)length, data + at);
        }
        for (char* c = child; *c != 0; c++) {
            if (*c == '/') {
                *c = '.';
            }
        }
        query c;
        if (begin_query(p.device, child, p.selector, &c) == 0) {
            run_query(c, child, value_text{}, p);  // a child that fails is skipped
        }
        end_query(c);
        at += length + 1;
    }
}

const char* type_word(uint32_t type) {
    switch (type) {
    case type_int32: return " INT32\n";
    case type_uint32: return " UINT32\n";
    case type_uint64: return " UINT64\n";
    case type_string: return " STRING\n";
    case type_text: return " TEXT\n";
    case type_seqfile: return " SEQFILE\n";
    default: return " UNKNOWN TYPE\n";
    }
}

int print_node(const query& q, const char* key, const print_settings& p) {
    uint32_t type = word(q, type_offset);
    uint32_t mode = word(q, mode_offset);
    uint32_t size = word(q, size_offset);
    if (p.verbose && type != type_directory) {
        char path[name_size];
        std::snprintf(path, sizeof path, "%s", (const char*)q.record + name_offset);
        for (char* c = path; *c != 0; c++) {
            if (*c == '.') {
                *c = '/';
            }
        }
        std::printf("%s ", path);
        std::printf("%s%s%s", (mode & mode_read) != 0 ? "R" : "", (mode & mode_write) != 0 ? "W" : "", type_word(type));
        std::printf("size=%d\n", (int)size);
        std::printf("mode=%d\n", (int)mode);
    }
    uint64_t value = 0;
    std::memcpy(&value, q.record + value_offset, sizeof value);
    unsigned char* data = q.record + record_size;
    switch (type) {
    case type_int32:
        std::printf(p.hex ? "0x%x\n" : "%d\n", (int32_t)(uint32_t)value);
        return 0;
    case type_uint32:
        std::printf(p.hex ? "0x%x\n" : "%u\n", (uint32_t)value);
        return 0;
    case type_uint64:
        std::printf(p.hex ? "0x%" PRIx64 "\n" : "%" PRIu64 "\n", value);
        return 0;
    case type_directory:
        for (uint32_t i = 0; i < size; i++) {
            if (data[i] == '.') {
                data[i] = '/';
            }
        }
        if (p.info) {
            list_children(q, key, p);
            return 0;
        }
        return write_raw(data, size, p) ? 0 : -1000;
    default:
        if (!write_raw(data, size, p)) {
            return -1000;
        }
        if (type == type_string && !p.binary) {
            std::fputc('\n', stdout);
        }
        return 0;
    }
}

// Reads the node the query looked up, or writes `value` to it, and prints it. 0, a negated errno,
// or -1000 when standard output failed.
int run_query(query& q, const char* key, const value_text& value, print_settings p) {
    uint32_t mode = word(q, mode_offset);
    uint32_t type = word(q, type_offset);
    uint32_t size = word(q, size_offset);
    if (value.present && (mode & mode_write) == 0) {
        return -1;
    }
    set_word(q, mode_offset, mode_read);
    switch (type) {
    case type_int32:
    case type_uint32:
    case type_uint64: {
        if (size != (type == type_uint64 ? 8u : 4u)) {
            return -22;
        }
        if (value.present) {
            uint64_t v = 0;
            if (!value_for(value, type, &v)) {
                return -22;
            }
            std::memset(q.record + value_offset, 0, 8);
            std::memcpy(q.record + value_offset, &v, size);
            set_word(q, mode_offset, mode_write);
        }
        break;
    }
    case type_directory:
    case type_string:
    case type_text:
    case type_seqfile: {
        if (value.present) {
            return -1;
        }
        if (size > largest_data) {
            return -7;  // more than the driver transfers
        }
        auto* grown = (unsigned char*)std::calloc(1, record_size + (size_t)size);
        if (grown == nullptr) {
            return -12;
        }
        std::memcpy(grown, q.record, record_size);
        std::free(q.record);
        q.record = grown;
        break;
    }
    default:
        return -22;
    }
    errno = 0;
    int rc = node_ioctl(q.node->handle, PAV_IOCTL_KINFO, q.record);
    if (rc != 0) {
        return rc < 0 ? rc : -5;
    }
    set_word(q, mode_offset, mode);
    set_word(q, selector_offset, p.selector);
    return print_node(q, key, p);
}

void usage(FILE* out, const char* program) {
    std::fprintf(out, "Tavrin kinfo utility (v%s)\n", tool_build_tag);
    std::fprintf(out, "  Prints kinfo keys and their values. Can set value for a key too.\n");
    std::fprintf(out, "\n");
    std::fprintf(out, "usage: %s <device> [<kinfo key>] [<value>]\n", program);
    std::fprintf(out, "  <device> is the pathname to the control device (/dev/dovX)\n");
    std::fprintf(out, "  <kinfo key> is the key name\n");
    std::fprintf(out, "  <value> is the value to be set for the key\n");
    std::fprintf(out, "  Options:\n");
    std::fprintf(out, "   -i, --info          Print all key names and key values. (For specified device, unless -d is used)\n");
    std::fprintf(out, "   -b, --binary        Print data as a binary blob.\n");
    std::fprintf(out, "   -d, --driver-data   Print driver data for driver used by this device.\n");
    std::fprintf(out, "   -h, --help          Print the help menu.\n");
    std::fprintf(out, "   -v, --version       Print version information.\n");
    std::fprintf(out, "   -V, --verbose       Print name, type, and read/write properties.\n");
    std::fprintf(out, "   -x, --hex           Print numeric values in hex.\n");
    std::fprintf(out, "\n");
    std::fprintf(out,
                 "If no key is provided and no options specified, lists all keys.\n"
                 "If a key is given as argument with no value, lists all keys in the subtree which has that key as root.\n"
                 "If both key and value are given as arguments, tries to set the key to that value.\n\n");
}

int status_for(int error) {
    switch (error) {
    case 1:
    case 13:
        std::fprintf(stderr, "Operation is not permitted.\n");
        return 4;
    case 2:
    case 6:
        std::fprintf(stderr, "The device does not exist.\n");
        return 3;
    case 16:
        std::fprintf(stderr, "The device is busy.\n");
        return 7;
    default:
        return 1;
    }
}

const tool_option long_options[] = {
    {"info", tool_no_argument, nullptr, 'i'},      {"binary", tool_no_argument, nullptr, 'b'},
    {"driver-data", tool_no_argument, nullptr, 'd'}, {"help", tool_no_argument, nullptr, 'h'},
    {"version", tool_no_argument, nullptr, 'v'},   {"verbose", tool_no_argument, nullptr, 'V'},
    {"hex", tool_no_argument, nullptr, 'x'},       {nullptr, 0, nullptr, 0},
};

}  // namespace

int kandrel_main(int argc, char** argv) {
    char fallback[] = "kandrel";
    const char* program = argc > 0 && argv[0] != nullptr ? strip_program_path(argv[0]) : fallback;
    print_settings p;
    tool_options state;
    for (;;) {
        int c = tool_getopt_long(argc, argv, "ibdhvVx", long_options, nullptr, &state);
        if (c == -1) {
            break;
        }
        switch (c) {
        case 'i': p.info = true; break;
        case 'b': p.binary = true; break;
        case 'd': p.selector = 2; break;
        case 'h':
            usage(stdout, program);
            return 0;
        case 'v':
            std::printf("%s\n", tool_build_tag);
            return 0;
        case 'V': p.verbose = true; break;
        case 'x': p.hex = true; break;
        default:
            usage(stderr, program);
            return 2;
        }
    }
    int first = state.index;
    if (first >= argc) {
        usage(stderr, program);
        return 2;
    }
    char device[tool_path_max];
    std::snprintf(device, sizeof device, "%s", argv[first]);
    p.device = device;
    // The key as the tree names it, "/" between components becoming ".". Its length is checked
    // by the query.
    char* key = nullptr;
    if (first + 1 < argc) {
        key = argv[first + 1];
        for (char* c = key; *c != 0; c++) {
            if (*c == '/') {
                *c = '.';
            }
        }
    }
    value_text value = parse_value(first + 2 < argc ? argv[first + 2] : nullptr);
    query q;
    int rc = begin_query(device, key, p.selector, &q);
    if (rc == 0) {
        rc = run_query(q, key, value, p);
    }
    end_query(q);
    std::fflush(stdout);
    if (rc == -1000) {
        std::fprintf(stderr, "write failed\n");
        return 1;
    }
    if (rc < 0) {
        std::fprintf(stderr, "Error: the kinfo query failed with error code %d\n", -rc);
        return status_for(-rc);
    }
    return 0;
}
