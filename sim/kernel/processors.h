// Processors, processor groups and NUMA nodes of the machine, and the processor-change callback.
// The processor-group routines are also found by name through MmGetSystemRoutineAddress.
#pragma once

#include "sim/kernel/types.h"

#define ALL_PROCESSOR_GROUPS 0xffff
#define MAXIMUM_PROC_PER_GROUP 64

struct PROCESSOR_NUMBER {
    USHORT Group;
    UCHAR Number;
    UCHAR Reserved;
};
using PPROCESSOR_NUMBER = PROCESSOR_NUMBER*;

struct GROUP_AFFINITY {
    KAFFINITY Mask;
    USHORT Group;
    USHORT Reserved[3];
};
using PGROUP_AFFINITY = GROUP_AFFINITY*;
static_assert(sizeof(GROUP_AFFINITY) == 16);

ULONG KeQueryActiveProcessorCountEx(USHORT group_number);
ULONG KeQueryMaximumProcessorCountEx(USHORT group_number);
ULONG KeQueryActiveProcessorCount(PKAFFINITY active_processors);
USHORT KeQueryActiveGroupCount();
USHORT KeQueryMaximumGroupCount();
ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER number);
ULONG KeGetCurrentProcessorNumber();
NTSTATUS KeGetProcessorNumberFromIndex(ULONG index, PPROCESSOR_NUMBER number);
ULONG KeGetProcessorIndexFromNumber(PPROCESSOR_NUMBER number);
USHORT KeQueryHighestNodeNumber();
USHORT KeGetCurrentNodeNumber();
void KeQueryNodeActiveAffinity(USHORT node_number, PGROUP_AFFINITY affinity, PUSHORT count);
void KeSetSystemGroupAffinityThread(PGROUP_AFFINITY affinity, PGROUP_AFFINITY previous_affinity);
void KeRevertToUserGroupAffinityThread(PGROUP_AFFINITY previous_affinity);

enum KE_PROCESSOR_CHANGE_NOTIFY_STATE {
    KeProcessorAddStartNotify = 0,
    KeProcessorAddCompleteNotify = 1,
    KeProcessorAddFailureNotify = 2,
};

struct KE_PROCESSOR_CHANGE_NOTIFY_CONTEXT {
    KE_PROCESSOR_CHANGE_NOTIFY_STATE State;
    ULONG NtNumber;  // the processor's index
    NTSTATUS Status;
    PROCESSOR_NUMBER ProcNumber;
};
using PKE_PROCESSOR_CHANGE_NOTIFY_CONTEXT = KE_PROCESSOR_CHANGE_NOTIFY_CONTEXT*;

using PPROCESSOR_CALLBACK_FUNCTION = void (*)(PVOID callback_context,
                                              PKE_PROCESSOR_CHANGE_NOTIFY_CONTEXT change_context,
                                              NTSTATUS* operation_status);
#define KE_PROCESSOR_CHANGE_ADD_EXISTING 1

// With KE_PROCESSOR_CHANGE_ADD_EXISTING the callback is called at once, with
// KeProcessorAddCompleteNotify, for every processor that is already active.
PVOID KeRegisterProcessorChangeCallback(PPROCESSOR_CALLBACK_FUNCTION callback, PVOID context, ULONG flags);
void KeDeregisterProcessorChangeCallback(PVOID handle);

// Finds a kernel routine by name, as the routines above; NULL for a name the machine lacks.
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING name);

struct RTL_OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
};
using PRTL_OSVERSIONINFOW = RTL_OSVERSIONINFOW*;
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW version);
