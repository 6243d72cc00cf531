// The machine program's socket protocol: one fixed-size request, one fixed-size reply. The
// caller's buffer never travels: the machine copies it from and to the caller's process.
#pragma once

#include <cstdint>

namespace sim::machine::wire {

enum op : uint32_t { open_device = 1, device_control = 2, close_device = 3 };

struct request {
    uint32_t op;
    uint32_t code;
    uint64_t handle;
    uint64_t buffer;  // the caller's address
    uint32_t input_length;
    uint32_t output_length;
    char name[256];
};

struct reply {
    int32_t status;
    uint32_t reserved;
    uint64_t handle;
    uint64_t information;
};

}  // namespace sim::machine::wire
