// System threads. Each stand-in system thread is a host thread with its own IRQL and processor;
// its thread object is signalled when the thread ends.
#pragma once

#include "sim/kernel/object.h"
#include "sim/kernel/sync.h"

struct SIM_THREAD_OBJECT {
    DISPATCHER_HEADER Header;  // signalled when the thread has ended
    ULONG_PTR Id;
    KPRIORITY Priority;
};
using PKTHREAD = SIM_THREAD_OBJECT*;
using PETHREAD = SIM_THREAD_OBJECT*;
using PRKTHREAD = SIM_THREAD_OBJECT*;

struct CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;

using KSTART_ROUTINE = void(PVOID start_context);
using PKSTART_ROUTINE = KSTART_ROUTINE*;

#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31

// Creates a system thread that runs start_routine(start_context) at PASSIVE_LEVEL; the caller
// gets a handle (close it with ZwClose). Must be called at PASSIVE_LEVEL.
NTSTATUS PsCreateSystemThread(PHANDLE thread_handle, ULONG desired_access, POBJECT_ATTRIBUTES attributes,
                              HANDLE process_handle, PCLIENT_ID client_id, PKSTART_ROUTINE start_routine,
                              PVOID start_context);
// Ends the calling system thread at once.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exit_status);
PETHREAD PsGetCurrentThread();
PKTHREAD KeGetCurrentThread();
HANDLE PsGetCurrentThreadId();
KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD thread);
