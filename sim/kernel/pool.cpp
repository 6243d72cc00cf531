#include "sim/kernel/pool.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/control.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/thread_state.h"

namespace sim::kernel {
namespace {

enum class block_kind : uint8_t { pool, contiguous, registered };

struct block {
    size_t size;
    ULONG tag;
    block_kind kind;
};

// Every live block by address: accounting, frees and the DMA reach check all use it.
std::mutex blocks_mutex;
std::map<uintptr_t, block> blocks;

// Pool contents start as this pattern over their whole length, so that code relying on zeroed
// pool shows itself whatever the size and wherever it looks.
constexpr int fresh_pool_fill = 0xA5;

void* raw_allocate(size_t size, size_t alignment) {
    void* p = nullptr;
    if (posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0) {
        return nullptr;
    }
    return p;
}

void record(void* p, size_t size, ULONG tag, block_kind kind) {
    std::lock_guard<std::mutex> g(blocks_mutex);
    blocks[(uintptr_t)p] = block{size, tag, kind};
}

// Removes the block and returns it; bug check when `p` is not a live block of that kind, or
// (tag not 0) when it carries another tag. The block stays recorded when the check fails.
block forget(void* p, block_kind kind, ULONG tag = 0) {
    std::lock_guard<std::mutex> g(blocks_mutex);
    auto it = blocks.find((uintptr_t)p);
    if (it == blocks.end() || it->second.kind != kind) {
        // Freeing something that is not a live block: a double free or a stray pointer.
        KeBugCheckEx(BAD_POOL_CALLER, 7, 0, (ULONG_PTR)p, 0);
    }
    if (tag != 0 && it->second.tag != tag) {
        KeBugCheckEx(BAD_POOL_CALLER, 0x0A, (ULONG_PTR)p, it->second.tag, tag);  // freed with another tag
    }
    block b = it->second;
    blocks.erase(it);
    return b;
}

std::string tag_name(const block& b) {
    if (b.kind == block_kind::contiguous) {
        return "(contiguous)";
    }
    return tag_text(b.tag);
}

}  // namespace

std::string tag_text(ULONG tag) {
    char text[5] = {0};
    std::memcpy(text, &tag, 4);
    for (char& c : text) {
        if (c != 0 && (c < 0x20 || c > 0x7E)) {
            c = '?';
        }
    }
    return text;
}

std::map<std::string, pool_usage> pool_outstanding() {
    std::map<std::string, pool_usage> usage;
    std::lock_guard<std::mutex> g(blocks_mutex);
    for (const auto& [address, b] : blocks) {
        if (b.kind == block_kind::registered) {
            continue;
        }
        pool_usage& u = usage[tag_name(b)];
        u.allocations++;
        u.bytes += b.size;
    }
    return usage;
}

pool_usage pool_outstanding(const char* tag) {
    auto all = pool_outstanding();
    auto it = all.find(tag);
    return it == all.end() ? pool_usage{} : it->second;
}

std::string pool_leak_report() {
    std::ostringstream out;
    for (const auto& [tag, u] : pool_outstanding()) {
        out << tag << ": " << u.allocations << " allocations, " << u.bytes << " bytes\n";
    }
    return out.str();
}

bool dma_accessible(uint64_t address, uint64_t length) {
    std::lock_guard<std::mutex> g(blocks_mutex);
    auto it = blocks.upper_bound((uintptr_t)address);
    if (it == blocks.begin()) {
        return false;
    }
    --it;
    uint64_t start = it->first;
    return address >= start && address + length <= start + it->second.size;
}

void dma_register_range(const void* address, size_t length) {
    record((void*)address, length, 0, block_kind::registered);
}

void dma_unregister_range(const void* address) {
    forget((void*)address, block_kind::registered);
}

}  // namespace sim::kernel

using namespace sim::kernel;

// ---------------------------------------------------------------------------------------------
// Pool

namespace {

// Pool allocation after the caller checks and the planned failures.
PVOID allocate_pool(SIZE_T size, ULONG tag) {
    void* p = raw_allocate(size, size >= PAGE_SIZE ? PAGE_SIZE : 16);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, fresh_pool_fill, size);
    record(p, size, tag, block_kind::pool);
    return p;
}

void check_pool_caller(POOL_TYPE type, SIZE_T size) {
    KIRQL irql = KeGetCurrentIrql();
    KIRQL highest = (type & 1) != 0 ? APC_LEVEL : DISPATCH_LEVEL;  // odd types are paged
    if (irql > highest) {
        KeBugCheckEx(BAD_POOL_CALLER, 8, irql, (ULONG_PTR)type, size);
    }
}

}  // namespace

PVOID ExAllocatePoolWithTagPriority(POOL_TYPE type, SIZE_T size, ULONG tag, EX_POOL_PRIORITY priority) {
    UNREFERENCED_PARAMETER(priority);
    check_pool_caller(type, size);
    if (faults::should_fail(fault_site::pool, tag)) {
        return nullptr;
    }
    return allocate_pool(size, tag);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    return ExAllocatePoolWithTagPriority(type, size, tag, NormalPoolPriority);
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size) {
    return ExAllocatePoolWithTag(type, size, 0x656E6F4E /* "None" */);
}

void ExFreePoolWithTag(PVOID p, ULONG tag) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(BAD_POOL_CALLER, 9, KeGetCurrentIrql(), (ULONG_PTR)p, 0);
    }
    forget(p, block_kind::pool, tag);
    std::free(p);
}

void ExFreePool(PVOID p) {
    ExFreePoolWithTag(p, 0);
}

// ---------------------------------------------------------------------------------------------
// Singly linked lists. A small lock inside the 16-byte header keeps push and pop simple and
// correct; the kernel's lock-free version behaves the same to its callers.

namespace {

class slist_guard {
  public:
    explicit slist_guard(PSLIST_HEADER h) : h_(h) {
        unsigned spins = 0;
        while (__atomic_exchange_n(&h_->Lock, 1, __ATOMIC_ACQUIRE) != 0) {
            if (++spins % 64 == 0) {
                sched_yield();
            } else {
                __builtin_ia32_pause();
            }
        }
    }
    ~slist_guard() { __atomic_store_n(&h_->Lock, 0, __ATOMIC_RELEASE); }

  private:
    PSLIST_HEADER h_;
};

}  // namespace

void InitializeSListHead(PSLIST_HEADER head) {
    std::memset((void*)head, 0, sizeof *head);
}

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry) {
    if (((ULONG_PTR)entry & 15) != 0) {
        KeBugCheckEx(SIM_ASSERTION_FAILURE, 0x51, (ULONG_PTR)entry, 0, 0);  // misaligned entry
    }
    slist_guard g(head);
    PSLIST_ENTRY first = head->First;
    entry->Next = first;
    head->First = entry;
    head->Depth++;
    head->Sequence++;
    return first;
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER head) {
    slist_guard g(head);
    PSLIST_ENTRY first = head->First;
    if (first != nullptr) {
        head->First = first->Next;
        head->Depth--;
        head->Sequence++;
    }
    return first;
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER head) {
    slist_guard g(head);
    PSLIST_ENTRY first = head->First;
    head->First = nullptr;
    head->Depth = 0;
    head->Sequence++;
    return first;
}

USHORT QueryDepthSList(PSLIST_HEADER head) {
    return __atomic_load_n(&head->Depth, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------------------------
// Lookaside lists

namespace {

// The depth the system settles on for a busy list.
constexpr USHORT system_lookaside_depth = 256;

PVOID default_allocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
    return ExAllocatePoolWithTag(type, size, tag);
}

void default_free(PVOID p) {
    ExFreePool(p);
}

}  // namespace

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth) {
    UNREFERENCED_PARAMETER(flags);
    UNREFERENCED_PARAMETER(depth);
    std::memset((void*)list, 0, sizeof *list);
    InitializeSListHead(&list->ListHead);
    list->Depth = system_lookaside_depth;
    list->MaximumDepth = system_lookaside_depth;
    list->Type = NonPagedPoolNx;
    list->Tag = tag;
    // Entries are list entries while free: at least an aligned SLIST_ENTRY.
    list->Size = (ULONG)std::max<SIZE_T>(size, sizeof(SLIST_ENTRY));
    list->Allocate = allocate != nullptr ? allocate : default_allocate;
    list->Free = free != nullptr ? free : default_free;
    InitializeListHead(&list->ListEntry);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list) {
    PSLIST_ENTRY e = InterlockedFlushSList(&list->ListHead);
    while (e != nullptr) {
        PSLIST_ENTRY next = e->Next;
        list->Free(e);
        e = next;
    }
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list) {
    check_pool_caller(list->Type, list->Size);
    __atomic_add_fetch(&list->TotalAllocates, 1, __ATOMIC_RELAXED);
    // One allocation attempt, whether it is served from the list or from pool.
    if (faults::should_fail(fault_site::pool, list->Tag)) {
        return nullptr;
    }
    PVOID entry = InterlockedPopEntrySList(&list->ListHead);
    if (entry != nullptr) {
        return entry;
    }
    __atomic_add_fetch(&list->AllocateMisses, 1, __ATOMIC_RELAXED);
    if (list->Allocate == default_allocate) {
        return allocate_pool(list->Size, list->Tag);
    }
    return list->Allocate(list->Type, list->Size, list->Tag);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID entry) {
    __atomic_add_fetch(&list->TotalFrees, 1, __ATOMIC_RELAXED);
    if (QueryDepthSList(&list->ListHead) >= list->Depth) {
        __atomic_add_fetch(&list->FreeMisses, 1, __ATOMIC_RELAXED);
        list->Free(entry);
        return;
    }
    InterlockedPushEntrySList(&list->ListHead, (PSLIST_ENTRY)entry);
}

// ---------------------------------------------------------------------------------------------
// Contiguous memory

PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T size, PHYSICAL_ADDRESS lowest, PHYSICAL_ADDRESS highest,
                                             PHYSICAL_ADDRESS boundary, MEMORY_CACHING_TYPE cache_type) {
    UNREFERENCED_PARAMETER(lowest);
    UNREFERENCED_PARAMETER(highest);
    UNREFERENCED_PARAMETER(boundary);
    UNREFERENCED_PARAMETER(cache_type);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(BAD_POOL_CALLER, 8, KeGetCurrentIrql(), 0, size);
    }
    if (faults::should_fail(fault_site::contiguous_memory)) {
        return nullptr;
    }
    void* p = raw_allocate(size, PAGE_SIZE);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, fresh_pool_fill, size);
    record(p, size, 0, block_kind::contiguous);
    return p;
}

PVOID MmAllocateContiguousMemory(SIZE_T size, PHYSICAL_ADDRESS highest) {
    PHYSICAL_ADDRESS zero{};
    return MmAllocateContiguousMemorySpecifyCache(size, zero, highest, zero, MmCached);
}

void MmFreeContiguousMemory(PVOID base) {
    forget(base, block_kind::contiguous);
    std::free(base);
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID base) {
    PHYSICAL_ADDRESS a;
    a.QuadPart = (LONGLONG)(ULONG_PTR)base;
    return a;
}

SIZE_T sim_compare_memory(const void* a, const void* b, SIZE_T length) {
    auto* x = (const uint8_t*)a;
    auto* y = (const uint8_t*)b;
    SIZE_T i = 0;
    while (i < length && x[i] == y[i]) {
        i++;
    }
    return i;
}

// ---------------------------------------------------------------------------------------------
// User buffers: process_vm_readv/writev fail with EFAULT on an unmapped address instead of
// faulting, for this process as for another. A user address means something only in its
// process's context: a thread in the system process (every thread the stand-in runs) reaches
// no user buffer, and its copies fail as a copy from an unmapped address does.

namespace sim::kernel {

int user_process() {
    thread_state& t = current_thread();
    if (t.kind != thread_kind::outside) {
        return -1;
    }
    return t.user_process != 0 ? t.user_process : getpid();
}

bool copy_user_memory(int process, void* local, const void* remote, SIZE_T length, bool to_user) {
    if (length == 0) {
        return true;
    }
    if (process < 0) {
        return false;
    }
    iovec l{local, length};
    iovec r{(void*)remote, length};
    ssize_t n = to_user ? process_vm_writev(process, &l, 1, &r, 1, 0) : process_vm_readv(process, &l, 1, &r, 1, 0);
    return n == (ssize_t)length;
}

}  // namespace sim::kernel

BOOLEAN SimCopyFromUser(PVOID destination, const void* user_source, SIZE_T length) {
    return sim::kernel::copy_user_memory(sim::kernel::user_process(), destination, user_source, length, false) ? TRUE
                                                                                                                : FALSE;
}

BOOLEAN SimCopyToUser(PVOID user_destination, const void* source, SIZE_T length) {
    return sim::kernel::copy_user_memory(sim::kernel::user_process(), (void*)source, user_destination, length, true)
               ? TRUE
               : FALSE;
}
