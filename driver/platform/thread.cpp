#include "driver/platform/thread.h"

#include "driver/controller/pipeline_device.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"

volatile LONG kpav_live_bound_threads = 0;
kpav_topology kpav_cpu_topology = {0, 0, nullptr};

// ---------------------------------------------------------------------------------------------
// The processor-group routines, looked up by name

namespace {

struct processor_routines {
    ULONG (*active_count)(USHORT group);
    ULONG (*maximum_count)(USHORT group);
    ULONG (*current_number)(PPROCESSOR_NUMBER number);
    NTSTATUS (*number_from_index)(ULONG index, PPROCESSOR_NUMBER number);
    USHORT (*highest_node)();
    void (*node_active_affinity)(USHORT node, PGROUP_AFFINITY affinity, PUSHORT count);
    void (*set_group_affinity)(PGROUP_AFFINITY affinity, PGROUP_AFFINITY previous);
    PVOID (*register_change)(PPROCESSOR_CALLBACK_FUNCTION callback, PVOID context, ULONG flags);
    void (*deregister_change)(PVOID handle);
};

processor_routines routines;
// 0 not looked up, 1 being looked up, 2 ready.
volatile LONG routines_state = 0;

PVOID find_routine(const char* name) {
    WCHAR text[64];
    USHORT length = 0;
    for (; name[length] != 0 && length < ARRAYSIZE(text); length++) {
        text[length] = (WCHAR)name[length];
    }
    UNICODE_STRING s;
    s.Buffer = text;
    s.Length = (USHORT)(length * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return MmGetSystemRoutineAddress(&s);
}

void look_up_routines() {
    routines.active_count = (decltype(routines.active_count))find_routine("KeQueryActiveProcessorCountEx");
    routines.maximum_count = (decltype(routines.maximum_count))find_routine("KeQueryMaximumProcessorCountEx");
    routines.current_number = (decltype(routines.current_number))find_routine("KeGetCurrentProcessorNumberEx");
    routines.number_from_index = (decltype(routines.number_from_index))find_routine("KeGetProcessorNumberFromIndex");
    routines.highest_node = (decltype(routines.highest_node))find_routine("KeQueryHighestNodeNumber");
    routines.node_active_affinity = (decltype(routines.node_active_affinity))find_routine("KeQueryNodeActiveAffinity");
    routines.set_group_affinity = (decltype(routines.set_group_affinity))find_routine("KeSetSystemGroupAffinityThread");
    routines.register_change = (decltype(routines.register_change))find_routine("KeRegisterProcessorChangeCallback");
    routines.deregister_change =
        (decltype(routines.deregister_change))find_routine("KeDeregisterProcessorChangeCallback");
}

// Runs `set_up` for the first caller; the others return once it has run. `state` is 0 before,
// 1 while it runs and 2 after.
void run_once(volatile LONG* state, void (*set_up)()) {
    if (__atomic_load_n(state, __ATOMIC_ACQUIRE) == 2) {
        return;
    }
    if (InterlockedCompareExchange(state, 1, 0) == 0) {
        set_up();
        __atomic_store_n(state, 2, __ATOMIC_RELEASE);
        return;
    }
    while (__atomic_load_n(state, __ATOMIC_ACQUIRE) != 2) {
        YieldProcessor();
    }
}

const processor_routines& proc() {
    run_once(&routines_state, look_up_routines);
    return routines;
}

bool number_of(ULONG cpu, PROCESSOR_NUMBER* number) {
    *number = PROCESSOR_NUMBER{};
    if (proc().number_from_index != nullptr) {
        return NT_SUCCESS(proc().number_from_index(cpu, number));
    }
    if (cpu >= MAXIMUM_PROC_PER_GROUP) {
        return false;
    }
    number->Number = (UCHAR)cpu;  // a system without groups: one group of processors
    return true;
}

void node_affinity(USHORT node, GROUP_AFFINITY* affinity) {
    *affinity = GROUP_AFFINITY{};
    if (proc().node_active_affinity != nullptr) {
        proc().node_active_affinity(node, affinity, nullptr);
    } else if (node == 0) {
        KeQueryActiveProcessorCount(&affinity->Mask);  // a system without nodes: all on node 0
    }
}

}  // namespace

ULONG kpav_active_cpus() {
    return proc().active_count != nullptr ? proc().active_count(ALL_PROCESSOR_GROUPS)
                                          : KeQueryActiveProcessorCount(nullptr);
}

ULONG kpav_max_cpus() {
    return proc().maximum_count != nullptr ? proc().maximum_count(ALL_PROCESSOR_GROUPS) : kpav_active_cpus();
}

ULONG kpav_current_cpu() {
    return proc().current_number != nullptr ? proc().current_number(nullptr) : KeGetCurrentProcessorNumber();
}

USHORT kpav_node_of_cpu(ULONG cpu) {
    if (kpav_cpu_topology.node_of_cpu == nullptr || cpu >= kpav_cpu_topology.cpu_count) {
        return 0;
    }
    return (USHORT)kpav_cpu_topology.node_of_cpu[cpu];
}

void kpav_set_thread_affinity(GROUP_AFFINITY* affinity) {
    if (proc().set_group_affinity != nullptr && affinity->Mask != 0) {
        proc().set_group_affinity(affinity, nullptr);
    }
}

// ---------------------------------------------------------------------------------------------
// Topology

int kpav_numa_init() {
    kpav_numa_exit();
    USHORT highest = proc().highest_node != nullptr ? proc().highest_node() : 0;
    kpav_cpu_topology.node_count = (ULONG)highest + 1;
    kpav_cpu_topology.cpu_count = kpav_max_cpus();
    auto* table = (ULONG*)kpav_zalloc(kpav_cpu_topology.cpu_count * sizeof(ULONG), KPAV_TAG_TOP);
    if (table == nullptr) {
        return -KPAV_ENOMEM;
    }
    for (ULONG cpu = 0; cpu < kpav_cpu_topology.cpu_count; cpu++) {
        PROCESSOR_NUMBER number;
        if (!number_of(cpu, &number)) {
            continue;
        }
        for (ULONG node = 0; node <= highest; node++) {
            GROUP_AFFINITY affinity;
            node_affinity((USHORT)node, &affinity);
            if (affinity.Group == number.Group && (affinity.Mask & ((KAFFINITY)1 << number.Number)) != 0) {
                table[cpu] = node;
                break;
            }
        }
    }
    kpav_cpu_topology.node_of_cpu = table;
    return 0;
}

void kpav_numa_exit() {
    if (kpav_cpu_topology.node_of_cpu != nullptr) {
        kpav_free(kpav_cpu_topology.node_of_cpu, KPAV_TAG_TOP);
        kpav_cpu_topology.node_of_cpu = nullptr;
    }
    kpav_cpu_topology.node_count = 0;
    kpav_cpu_topology.cpu_count = 0;
    // Look the processor routines up again at the next start, as a reloaded driver would.
    __atomic_store_n(&routines_state, 0, __ATOMIC_RELEASE);
}

void kpav_cpu_affinity(ULONG cpu, GROUP_AFFINITY* affinity, USHORT* node) {
    *affinity = GROUP_AFFINITY{};
    PROCESSOR_NUMBER number;
    if (number_of(cpu, &number)) {
        affinity->Group = number.Group;
        affinity->Mask = (KAFFINITY)1 << number.Number;
    }
    if (node != nullptr) {
        *node = kpav_node_of_cpu(cpu);
    }
}

void kpav_node_mask(USHORT node, USHORT* group, KAFFINITY* mask) {
    GROUP_AFFINITY affinity;
    node_affinity(node, &affinity);
    *group = affinity.Group;
    KAFFINITY wanted = *mask;
    KAFFINITY result = 0;
    ULONG k = 0;  // rank of the node's processor at `bit`
    for (ULONG bit = 0; bit < 64; bit++) {
        KAFFINITY processor = (KAFFINITY)1 << bit;
        if ((affinity.Mask & processor) == 0) {
            continue;
        }
        if (k < 64 && (wanted & ((KAFFINITY)1 << k)) != 0) {
            result |= processor;
        }
        k++;
    }
    *mask = result;
}

// ---------------------------------------------------------------------------------------------
// Threads

namespace {

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
    if (win_disable_all_affinity == 0 && t->device != nullptr && t->device->numa_node != PAV_NO_NUMA_NODE) {
        GROUP_AFFINITY affinity;
        node_affinity((USHORT)t->device->numa_node, &affinity);
        kpav_set_thread_affinity(&affinity);  // a node without active processors sets nothing
    }
    kpav_thread_fn function = t->function;
    void* argument = t->argument;
    function(argument);
    kpav_free(t, t->tag);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

int kpav_create_thread_on_cpu(kpav_thread_fn function, void* argument, pipeline_device* device, ULONG bound,
                              ULONG cpu) {
    if (bound != 0 && cpu >= kpav_active_cpus()) {
        return -KPAV_EINVAL;
    }
    auto* t = (kpav_thread*)kpav_zalloc(sizeof(kpav_thread), KPAV_TAG_THR);
    if (t == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6165, "Failed to allocate thread context structure.\n");
        return -KPAV_ENOMEM;
    }
    t->device = bound != 0 ? nullptr : device;
    t->function = function;
    t->argument = argument;
    t->tag = KPAV_TAG_THR;
    t->bound = bound != 0 ? 1 : 0;
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

int kpav_create_thread(kpav_thread_fn function, void* argument, pipeline_device* device) {
    return kpav_create_thread_on_cpu(function, argument, device, 0, 0);
}

int kpav_create_bound_thread(kpav_thread_fn function, void* argument, pipeline_device* device, ULONG cpu,
                             const char* name_format, ...) {
    UNREFERENCED_PARAMETER(name_format);  // names are not kept
    return kpav_create_thread_on_cpu(function, argument, device, 1, cpu);
}

// ---------------------------------------------------------------------------------------------
// Completion queues per processor

int kpav_cq_map_cpus(completion_queue* const* first, ULONG count, const kpav_topology* topology,
                     completion_queue** per_cpu) {
    ULONG cpus = topology->cpu_count;
    ULONG active = kpav_active_cpus();
    if (count == 0 || cpus == 0) {
        return 0;
    }
    if (count >= active) {
        // Enough queues: each online processor its own, in turn; an offline one shares the
        // queue of the next online processor.
        ULONG next = 0;
        for (ULONG cpu = 0; cpu < cpus; cpu++) {
            per_cpu[cpu] = first[next];
            if (cpu < active) {
                next = (next + 1) % count;
            }
        }
        return (int)(count < active ? count : active);
    }
    ULONG nodes = topology->node_count != 0 ? topology->node_count : 1;
    ULONG group_size = 1;
    ULONG groups = nodes;
    ULONG per_group = count / nodes;
    if (count < nodes) {
        // Fewer queues than nodes: neighbouring nodes share one queue, in groups as small as
        // the queues allow.
        group_size = 2;
        while ((nodes + group_size - 1) / group_size > count) {
            group_size++;
        }
        groups = (nodes + group_size - 1) / group_size;
        per_group = 1;
    }
    constexpr ULONG groups_on_stack = 64;
    ULONG on_stack[groups_on_stack] = {};
    ULONG* given = on_stack;
    if (groups > groups_on_stack) {
        given = (ULONG*)kpav_zalloc(groups * sizeof(ULONG), KPAV_TAG_PRO);
        if (given == nullptr) {
            return -KPAV_ENOMEM;
        }
    }
    for (ULONG cpu = 0; cpu < cpus; cpu++) {
        ULONG node = topology->node_of_cpu != nullptr ? topology->node_of_cpu[cpu] : 0;
        ULONG group = node / group_size;
        if (group >= groups) {
            group = groups - 1;
        }
        per_cpu[cpu] = first[group * per_group + given[group] % per_group];
        given[group]++;
    }
    if (given != on_stack) {
        kpav_free(given, KPAV_TAG_PRO);
    }
    return (int)(groups * per_group);
}

// ---------------------------------------------------------------------------------------------
// Processor-change registrations
//
// The functions are called under a fast mutex rather than a spin lock: they run at most at
// APC_LEVEL, where they may schedule work (which enumerates device objects). The kernel callback
// is registered and deregistered outside that mutex, since the kernel calls it under its own lock.

namespace {

struct change_registration {
    LIST_ENTRY link;
    kpav_processor_change_fn function;
};

LIST_ENTRY registrations = {&registrations, &registrations};
FAST_MUTEX registrations_mutex;
volatile LONG registrations_mutex_state = 0;  // 0 not set up, 1 being set up, 2 ready
PVOID kernel_registration = nullptr;
bool kernel_registering = false;

void set_up_registrations() {
    ExInitializeFastMutex(&registrations_mutex);
    InitializeListHead(&registrations);
}

PFAST_MUTEX change_mutex() {
    run_once(&registrations_mutex_state, set_up_registrations);
    return &registrations_mutex;
}

void processor_changed(PVOID, PKE_PROCESSOR_CHANGE_NOTIFY_CONTEXT change, NTSTATUS* status) {
    UNREFERENCED_PARAMETER(status);
    if (change->State != KeProcessorAddCompleteNotify) {
        return;
    }
    ExAcquireFastMutex(change_mutex());
    for (PLIST_ENTRY e = registrations.Flink; e != &registrations; e = e->Flink) {
        CONTAINING_RECORD(e, change_registration, link)->function(KPAV_PROCESSOR_ADDED, change->NtNumber);
    }
    ExReleaseFastMutex(change_mutex());
}

}  // namespace

int kpav_register_processor_change(kpav_processor_change_fn function) {
    auto* r = (change_registration*)kpav_alloc(sizeof(change_registration), KPAV_TAG_MAL);
    if (r == nullptr) {
        return -KPAV_ENOMEM;
    }
    r->function = function;
    ExAcquireFastMutex(change_mutex());
    bool first = kernel_registration == nullptr && !kernel_registering;
    kernel_registering = first;
    InsertTailList(&registrations, &r->link);
    ExReleaseFastMutex(change_mutex());
    if (!first || proc().register_change == nullptr) {
        return 0;  // without the routine processors are never added
    }
    PVOID handle = proc().register_change(processor_changed, nullptr, KE_PROCESSOR_CHANGE_ADD_EXISTING);
    ExAcquireFastMutex(change_mutex());
    kernel_registering = false;
    kernel_registration = handle;
    if (handle == nullptr) {
        RemoveEntryList(&r->link);
    }
    ExReleaseFastMutex(change_mutex());
    if (handle == nullptr) {
        kpav_free(r, KPAV_TAG_MAL);
        return -KPAV_ENOMEM;
    }
    return 0;
}

void kpav_unregister_processor_change(kpav_processor_change_fn function) {
    change_registration* found = nullptr;
    PVOID handle = nullptr;
    ExAcquireFastMutex(change_mutex());
    for (PLIST_ENTRY e = registrations.Flink; e != &registrations; e = e->Flink) {
        auto* r = CONTAINING_RECORD(e, change_registration, link);
        if (r->function == function) {
            RemoveEntryList(e);
            found = r;
            break;
        }
    }
    if (IsListEmpty(&registrations)) {
        handle = kernel_registration;
        kernel_registration = nullptr;
    }
    ExReleaseFastMutex(change_mutex());
    if (handle != nullptr && proc().deregister_change != nullptr) {
        proc().deregister_change(handle);
    }
    if (found != nullptr) {
        kpav_free(found, KPAV_TAG_MAL);
    }
}
