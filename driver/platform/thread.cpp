#include "driver/platform/thread.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"

volatile LONG kpav_live_bound_threads = 0;

namespace {

// The start context of a driver thread (pool, tag "thr4"); the thread frees it before it ends.
struct kpav_thread {
    kpav_thread_fn function;
    void* argument;
    LONG numa_node;  // node an unbound thread prefers (KPAV_NO_NUMA_NODE: none)
    ULONG cpu;       // processor of a bound thread
    ULONG tag;       // pool tag the context is freed with
};

void bound_entry(PVOID context) {
    auto* t = (kpav_thread*)context;
    GROUP_AFFINITY affinity;
    kpav_cpu_affinity(t->cpu, &affinity, nullptr);
    kpav_set_thread_affinity(&affinity);
    InterlockedIncrement(&kpav_live_bound_threads);
    t->function(t->argument);
    kpav_free(t, t->tag);
    InterlockedDecrement(&kpav_live_bound_threads);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void unbound_entry(PVOID context) {
    auto* t = (kpav_thread*)context;
    if (win_disable_all_affinity == 0 && t->numa_node != KPAV_NO_NUMA_NODE) {
        GROUP_AFFINITY affinity;
        kpav_node_affinity((USHORT)t->numa_node, &affinity);
        kpav_set_thread_affinity(&affinity);  // a node without active processors sets nothing
    }
    kpav_thread_fn function = t->function;
    void* argument = t->argument;
    function(argument);
    kpav_free(t, t->tag);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

int kpav_create_thread_on_cpu(kpav_thread_fn function, void* argument, LONG numa_node, ULONG bound, ULONG cpu) {
    PAGED_CODE();
    if (bound != 0 && cpu >= kpav_active_cpus()) {
        return -KPAV_EINVAL;
    }
    auto* t = (kpav_thread*)kpav_zalloc(sizeof(kpav_thread), KPAV_TAG_THR);
    if (t == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6165, "Failed to allocate thread context structure.\n");
        return -KPAV_ENOMEM;
    }
    t->numa_node = bound != 0 ? KPAV_NO_NUMA_NODE : numa_node;
    t->function = function;
    t->argument = argument;
    t->tag = KPAV_TAG_THR;
    t->cpu = cpu;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    // The handle goes to a local: once the thread runs, the context is the thread's to free.
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                           bound != 0 ? bound_entry : unbound_entry, t);
    if (!NT_SUCCESS(status)) {
        kpav_free(t, KPAV_TAG_THR);
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6166, "Failed to create new thread.\n");
        int result = kpav_ntstatus_to_errno(status);
        return result < 0 ? result : -KPAV_ENOMEM;
    }
    ZwClose(handle);
    return 0;
}

int kpav_create_thread_on_node(kpav_thread_fn function, void* argument, LONG numa_node) {
    PAGED_CODE();
    return kpav_create_thread_on_cpu(function, argument, numa_node, 0, 0);
}

int kpav_create_bound_thread(kpav_thread_fn function, void* argument, ULONG cpu, const char* name_format, ...) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(name_format);  // names are not kept
    return kpav_create_thread_on_cpu(function, argument, KPAV_NO_NUMA_NODE, 1, cpu);
}
