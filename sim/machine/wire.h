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

// A message on the socket orders what its sender did before it before what its receiver does
// after it. The thread sanitizer does not see that through the socket's calls; when both ends
// are in one process (a test that is its own machine's client) the sender calls sent() before
// writing and the receiver received() after reading.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELKOR_WIRE_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VELKOR_WIRE_TSAN 1
#endif
#if defined(VELKOR_WIRE_TSAN)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
inline char handoff;
inline void sent() {
    __tsan_release(&handoff);
}
inline void received() {
    __tsan_acquire(&handoff);
}
#else
inline void sent() {}
inline void received() {}
#endif

}  // namespace sim::machine::wire
