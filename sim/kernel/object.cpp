#include "sim/kernel/object.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "sim/kernel/bugcheck.h"

namespace sim::kernel::objects {
namespace {

constexpr uint32_t header_magic = 0x4F424A48;  // "HJBO"

struct alignas(16) header {
    uint32_t magic;
    std::atomic<LONG_PTR> references;
    POBJECT_TYPE type;
    void (*destroy)(PVOID);
};

header* header_of(PVOID object) {
    auto* h = (header*)((char*)object - sizeof(header));
    if (h->magic != header_magic) {
        KeBugCheckEx(0x18 /* REFERENCE_BY_POINTER */, 0, (ULONG_PTR)object, 0, 0);
    }
    return h;
}

std::atomic<ULONG> live_objects{0};
std::mutex handle_mutex;
std::unordered_map<ULONG_PTR, PVOID> handles;
ULONG_PTR next_handle = 0xFFFFFFFF80000004ull;

}  // namespace

PVOID create(POBJECT_TYPE type, size_t size, void (*destroy)(PVOID)) {
    void* block = std::calloc(1, sizeof(header) + size);
    if (block == nullptr) {
        return nullptr;
    }
    auto* h = new (block) header{header_magic, {1}, type, destroy};
    live_objects++;
    return (char*)h + sizeof(header);
}

HANDLE open_handle(PVOID object) {
    ObReferenceObject(object);
    std::lock_guard<std::mutex> g(handle_mutex);
    ULONG_PTR value = next_handle;
    next_handle += 4;
    handles[value] = object;
    return (HANDLE)value;
}

ULONG outstanding_objects() {
    return live_objects;
}

ULONG open_handles() {
    std::lock_guard<std::mutex> g(handle_mutex);
    return (ULONG)handles.size();
}

}  // namespace sim::kernel::objects

using namespace sim::kernel::objects;

namespace {
OBJECT_TYPE thread_type{"Thread"};
POBJECT_TYPE thread_type_pointer = &thread_type;
}  // namespace
POBJECT_TYPE* PsThreadType = &thread_type_pointer;

LONG_PTR ObReferenceObject(PVOID object) {
    return ++header_of(object)->references;
}

LONG_PTR ObDereferenceObject(PVOID object) {
    header* h = header_of(object);
    LONG_PTR left = --h->references;
    if (left == 0) {
        if (h->destroy != nullptr) {
            h->destroy(object);
        }
        h->magic = 0;
        h->~header();
        std::free(h);
        live_objects--;
    } else if (left < 0) {
        KeBugCheckEx(0x18 /* REFERENCE_BY_POINTER */, 0, (ULONG_PTR)object, 0, (ULONG_PTR)left);
    }
    return left;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type, CCHAR access_mode,
                                   PVOID* object, PVOID handle_information) {
    UNREFERENCED_PARAMETER(access);
    UNREFERENCED_PARAMETER(access_mode);
    UNREFERENCED_PARAMETER(handle_information);
    PVOID found = nullptr;
    {
        std::lock_guard<std::mutex> g(handle_mutex);
        auto it = handles.find((ULONG_PTR)handle);
        if (it == handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        found = it->second;
        if (type != nullptr && header_of(found)->type != type) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        ObReferenceObject(found);
    }
    *object = found;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
    PVOID found = nullptr;
    {
        std::lock_guard<std::mutex> g(handle_mutex);
        auto it = handles.find((ULONG_PTR)handle);
        if (it == handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        found = it->second;
        handles.erase(it);
    }
    ObDereferenceObject(found);
    return STATUS_SUCCESS;
}
