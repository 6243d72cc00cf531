#include "driver/platform/numa.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"
#include "driver/platform/once.h"

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
volatile LONG routines_state = KPAV_ONCE_NOT_RUN;

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

const processor_routines& proc() {
    kpav_run_once(&routines_state, look_up_routines);
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

}  // namespace

ULONG kpav_active_cpus() {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return proc().active_count != nullptr ? proc().active_count(ALL_PROCESSOR_GROUPS)
                                          : KeQueryActiveProcessorCount(nullptr);
}

ULONG kpav_max_cpus() {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return proc().maximum_count != nullptr ? proc().maximum_count(ALL_PROCESSOR_GROUPS) : kpav_active_cpus();
}

ULONG kpav_current_cpu() {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return proc().current_number != nullptr ? proc().current_number(nullptr) : KeGetCurrentProcessorNumber();
}

USHORT kpav_node_of_cpu(ULONG cpu) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (kpav_cpu_topology.node_of_cpu == nullptr || cpu >= kpav_cpu_topology.cpu_count) {
        return 0;
    }
    return (USHORT)kpav_cpu_topology.node_of_cpu[cpu];
}

// ---------------------------------------------------------------------------------------------
// Topology

int kpav_numa_init() {
    PAGED_CODE();
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
            kpav_node_affinity((USHORT)node, &affinity);
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
    PAGED_CODE();
    if (kpav_cpu_topology.node_of_cpu != nullptr) {
        kpav_free(kpav_cpu_topology.node_of_cpu, KPAV_TAG_TOP);
        kpav_cpu_topology.node_of_cpu = nullptr;
    }
    kpav_cpu_topology.node_count = 0;
    kpav_cpu_topology.cpu_count = 0;
    // Look the processor routines up again at the next start, as a reloaded driver would.
    kpav_once_reset(&routines_state);
}

void kpav_cpu_affinity(ULONG cpu, GROUP_AFFINITY* affinity, USHORT* node) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
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

void kpav_node_affinity(USHORT node, GROUP_AFFINITY* affinity) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *affinity = GROUP_AFFINITY{};
    if (proc().node_active_affinity != nullptr) {
        proc().node_active_affinity(node, affinity, nullptr);
    } else if (node == 0) {
        KeQueryActiveProcessorCount(&affinity->Mask);  // a system without nodes: all on node 0
    }
}

void kpav_node_mask(USHORT node, USHORT* group, KAFFINITY* mask) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    GROUP_AFFINITY affinity;
    kpav_node_affinity(node, &affinity);
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

void kpav_set_thread_affinity(GROUP_AFFINITY* affinity) {
    PAGED_CODE();
    if (proc().set_group_affinity != nullptr && affinity->Mask != 0) {
        proc().set_group_affinity(affinity, nullptr);
    }
}

int kpav_register_kernel_processor_change(PPROCESSOR_CALLBACK_FUNCTION callback, PVOID context, ULONG flags,
                                          PVOID* handle) {
    PAGED_CODE();
    *handle = nullptr;
    if (proc().register_change == nullptr) {
        return 0;
    }
    *handle = proc().register_change(callback, context, flags);
    return *handle != nullptr ? 0 : -KPAV_ENOMEM;
}

void kpav_deregister_kernel_processor_change(PVOID handle) {
    PAGED_CODE();
    if (handle != nullptr && proc().deregister_change != nullptr) {
        proc().deregister_change(handle);
    }
}
