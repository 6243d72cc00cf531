#include "sim/kernel/processors.h"

#include "sim/kernel/bugcheck.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/machine_parts.h"
#include "sim/kernel/thread_state.h"

namespace sim::kernel {
namespace {

struct change_registration {
    PPROCESSOR_CALLBACK_FUNCTION callback;
    PVOID context;
};

std::mutex topology_mutex;
ULONG max_count = 4;
std::atomic<ULONG> active_count{4};
std::vector<USHORT> node_of;
USHORT node_count = 1;

std::recursive_mutex change_mutex;
std::vector<change_registration*> registrations;

PROCESSOR_NUMBER number_of(ULONG index) {
    PROCESSOR_NUMBER n{};
    n.Group = (USHORT)(index / MAXIMUM_PROC_PER_GROUP);
    n.Number = (UCHAR)(index % MAXIMUM_PROC_PER_GROUP);
    return n;
}

void notify(change_registration* r, KE_PROCESSOR_CHANGE_NOTIFY_STATE state, ULONG index) {
    KE_PROCESSOR_CHANGE_NOTIFY_CONTEXT c{};
    c.State = state;
    c.NtNumber = index;
    c.Status = STATUS_SUCCESS;
    c.ProcNumber = number_of(index);
    NTSTATUS status = STATUS_SUCCESS;
    r->callback(r->context, &c, &status);
}

}  // namespace

namespace parts {
void reset_processors(const machine_config& config) {
    std::lock_guard<std::mutex> g(topology_mutex);
    max_count = config.max_processors;
    active_count = config.active_processors;
    node_of = config.node_of_processor;
    node_count = config.node_count;
    std::lock_guard<std::recursive_mutex> c(change_mutex);
    for (change_registration* r : registrations) {
        delete r;
    }
    registrations.clear();
}
}  // namespace parts

ULONG current_processor() {
    return current_thread().processor;
}

void set_current_processor(ULONG index) {
    current_thread().processor = index;
}

ULONG hot_add_processor() {
    std::lock_guard<std::recursive_mutex> c(change_mutex);
    ULONG index = active_count.load();
    if (index >= max_count) {
        return index;
    }
    for (change_registration* r : registrations) {
        notify(r, KeProcessorAddStartNotify, index);
    }
    active_count = index + 1;
    for (change_registration* r : registrations) {
        notify(r, KeProcessorAddCompleteNotify, index);
    }
    return index;
}

}  // namespace sim::kernel

using namespace sim::kernel;

ULONG KeQueryActiveProcessorCountEx(USHORT group_number) {
    ULONG active = active_count.load();
    if (group_number == ALL_PROCESSOR_GROUPS) {
        return active;
    }
    ULONG first = (ULONG)group_number * MAXIMUM_PROC_PER_GROUP;
    if (active <= first) {
        return 0;
    }
    return std::min<ULONG>(active - first, MAXIMUM_PROC_PER_GROUP);
}

ULONG KeQueryMaximumProcessorCountEx(USHORT group_number) {
    if (group_number == ALL_PROCESSOR_GROUPS) {
        return max_count;
    }
    ULONG first = (ULONG)group_number * MAXIMUM_PROC_PER_GROUP;
    if (max_count <= first) {
        return 0;
    }
    return std::min<ULONG>(max_count - first, MAXIMUM_PROC_PER_GROUP);
}

ULONG KeQueryActiveProcessorCount(PKAFFINITY active_processors) {
    ULONG n = KeQueryActiveProcessorCountEx(0);
    if (active_processors != nullptr) {
        *active_processors = n >= 64 ? ~(KAFFINITY)0 : (((KAFFINITY)1 << n) - 1);
    }
    return n;
}

USHORT KeQueryActiveGroupCount() {
    return (USHORT)((active_count.load() + MAXIMUM_PROC_PER_GROUP - 1) / MAXIMUM_PROC_PER_GROUP);
}

USHORT KeQueryMaximumGroupCount() {
    return (USHORT)((max_count + MAXIMUM_PROC_PER_GROUP - 1) / MAXIMUM_PROC_PER_GROUP);
}

ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER number) {
    ULONG index = current_thread().processor;
    if (number != nullptr) {
        *number = number_of(index);
    }
    return index;
}

ULONG KeGetCurrentProcessorNumber() {
    return current_thread().processor % MAXIMUM_PROC_PER_GROUP;
}

NTSTATUS KeGetProcessorNumberFromIndex(ULONG index, PPROCESSOR_NUMBER number) {
    if (index >= max_count) {
        return STATUS_INVALID_PARAMETER;
    }
    *number = number_of(index);
    return STATUS_SUCCESS;
}

ULONG KeGetProcessorIndexFromNumber(PPROCESSOR_NUMBER number) {
    ULONG index = (ULONG)number->Group * MAXIMUM_PROC_PER_GROUP + number->Number;
    return index < max_count ? index : 0xFFFFFFFFu;
}

USHORT KeQueryHighestNodeNumber() {
    return (USHORT)(node_count - 1);
}

USHORT KeGetCurrentNodeNumber() {
    ULONG index = current_thread().processor;
    return index < node_of.size() ? node_of[index] : 0;
}

void KeQueryNodeActiveAffinity(USHORT node_number, PGROUP_AFFINITY affinity, PUSHORT count) {
    GROUP_AFFINITY a{};
    USHORT n = 0;
    ULONG active = active_count.load();
    bool group_chosen = false;
    for (ULONG i = 0; i < active && i < node_of.size(); i++) {
        if (node_of[i] != node_number) {
            continue;
        }
        PROCESSOR_NUMBER pn = number_of(i);
        if (!group_chosen) {
            a.Group = pn.Group;  // a node lies within one group
            group_chosen = true;
        }
        if (pn.Group == a.Group) {
            a.Mask |= (KAFFINITY)1 << pn.Number;
            n++;
        }
    }
    if (affinity != nullptr) {
        *affinity = a;
    }
    if (count != nullptr) {
        *count = n;
    }
}

static GROUP_AFFINITY affinity_of_current() {
    GROUP_AFFINITY a{};
    PROCESSOR_NUMBER pn = number_of(current_thread().processor);
    a.Group = pn.Group;
    a.Mask = (KAFFINITY)1 << pn.Number;
    return a;
}

void KeSetSystemGroupAffinityThread(PGROUP_AFFINITY affinity, PGROUP_AFFINITY previous_affinity) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        KeBugCheckEx(0x0000000Au, 0, KeGetCurrentIrql(), 0, 0);
    }
    auto& t = current_thread();
    if (previous_affinity != nullptr) {
        *previous_affinity = t.affinity_set ? affinity_of_current() : GROUP_AFFINITY{};
    }
    PROCESSOR_NUMBER here = number_of(t.processor);
    if (here.Group == affinity->Group && (affinity->Mask & ((KAFFINITY)1 << here.Number)) != 0) {
        t.affinity_set = true;
        return;  // already on a processor of the set
    }
    for (ULONG bit = 0; bit < 64; bit++) {
        if ((affinity->Mask & ((KAFFINITY)1 << bit)) == 0) {
            continue;
        }
        ULONG index = (ULONG)affinity->Group * MAXIMUM_PROC_PER_GROUP + bit;
        if (index < active_count.load()) {
            t.processor = index;
            t.affinity_set = true;
            return;
        }
    }
}

void KeRevertToUserGroupAffinityThread(PGROUP_AFFINITY previous_affinity) {
    auto& t = current_thread();
    if (previous_affinity != nullptr && previous_affinity->Mask != 0) {
        KeSetSystemGroupAffinityThread(previous_affinity, nullptr);
    } else {
        t.affinity_set = false;
    }
}

PVOID KeRegisterProcessorChangeCallback(PPROCESSOR_CALLBACK_FUNCTION callback, PVOID context, ULONG flags) {
    if (callback == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> c(change_mutex);
    auto* r = new change_registration{callback, context};
    registrations.push_back(r);
    if ((flags & KE_PROCESSOR_CHANGE_ADD_EXISTING) != 0) {
        ULONG active = active_count.load();
        for (ULONG i = 0; i < active; i++) {
            notify(r, KeProcessorAddCompleteNotify, i);
        }
    }
    return r;
}

void KeDeregisterProcessorChangeCallback(PVOID handle) {
    std::lock_guard<std::recursive_mutex> c(change_mutex);
    auto it = std::find(registrations.begin(), registrations.end(), (change_registration*)handle);
    if (it != registrations.end()) {
        delete *it;
        registrations.erase(it);
    }
}

namespace {

struct named_routine {
    const char* name;
    PVOID address;
};

const named_routine routines[] = {
    {"KeQueryActiveProcessorCountEx", (PVOID)&KeQueryActiveProcessorCountEx},
    {"KeQueryMaximumProcessorCountEx", (PVOID)&KeQueryMaximumProcessorCountEx},
    {"KeQueryActiveGroupCount", (PVOID)&KeQueryActiveGroupCount},
    {"KeQueryMaximumGroupCount", (PVOID)&KeQueryMaximumGroupCount},
    {"KeGetCurrentProcessorNumberEx", (PVOID)&KeGetCurrentProcessorNumberEx},
    {"KeGetProcessorNumberFromIndex", (PVOID)&KeGetProcessorNumberFromIndex},
    {"KeGetProcessorIndexFromNumber", (PVOID)&KeGetProcessorIndexFromNumber},
    {"KeQueryHighestNodeNumber", (PVOID)&KeQueryHighestNodeNumber},
    {"KeGetCurrentNodeNumber", (PVOID)&KeGetCurrentNodeNumber},
    {"KeQueryNodeActiveAffinity", (PVOID)&KeQueryNodeActiveAffinity},
    {"KeSetSystemGroupAffinityThread", (PVOID)&KeSetSystemGroupAffinityThread},
    {"KeRevertToUserGroupAffinityThread", (PVOID)&KeRevertToUserGroupAffinityThread},
    {"KeRegisterProcessorChangeCallback", (PVOID)&KeRegisterProcessorChangeCallback},
    {"KeDeregisterProcessorChangeCallback", (PVOID)&KeDeregisterProcessorChangeCallback},
    {"RtlGetVersion", (PVOID)&RtlGetVersion},
};

std::string narrow(PUNICODE_STRING s) {
    std::string out;
    if (s == nullptr || s->Buffer == nullptr) {
        return out;
    }
    for (USHORT i = 0; i < s->Length / 2; i++) {
        out.push_back((char)s->Buffer[i]);
    }
    return out;
}

}  // namespace

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING name) {
    std::string wanted = narrow(name);
    for (const std::string& missing : config().missing_routines) {
        if (missing == wanted) {
            return nullptr;
        }
    }
    for (const named_routine& r : routines) {
        if (wanted == r.name) {
            return r.address;
        }
    }
    return nullptr;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW version) {
    const machine_config& c = config();
    version->dwMajorVersion = c.os_major;
    version->dwMinorVersion = c.os_minor;
    version->dwBuildNumber = c.os_build;
    version->dwPlatformId = 2;
    version->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}
