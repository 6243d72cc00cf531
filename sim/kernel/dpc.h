// Deferred procedure calls. Each processor has one thread of the stand-in that reports that
// processor and runs the processor's queued DPCs in order at DISPATCH_LEVEL, after its pending
// interrupts (an interrupt's DPC runs on the thread that serviced the interrupt).
#pragma once

#include "sim/kernel/processors.h"
#include "sim/kernel/types.h"

struct KDPC;
using PKDPC = KDPC*;
using PRKDPC = KDPC*;

using KDEFERRED_ROUTINE = void(PKDPC dpc, PVOID deferred_context, PVOID system_argument1, PVOID system_argument2);
using PKDEFERRED_ROUTINE = KDEFERRED_ROUTINE*;

enum KDPC_IMPORTANCE { LowImportance = 0, MediumImportance = 1, HighImportance = 2, MediumHighImportance = 3 };

struct KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;  // 0: the processor that queues it; else the target's index + 1
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID volatile DpcData;  // the queue that holds it; NULL while not queued
};
static_assert(sizeof(KDPC) == 64);

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID deferred_context);
void KeInitializeThreadedDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID deferred_context);
// Queues the DPC on its target processor (the calling processor when it has none); FALSE when
// it is already queued. Any IRQL.
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID system_argument1, PVOID system_argument2);
// TRUE when the DPC was queued and is now taken off its queue (it will not run).
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
NTSTATUS KeSetTargetProcessorDpcEx(PKDPC dpc, PPROCESSOR_NUMBER number);
void KeSetTargetProcessorDpc(PRKDPC dpc, CCHAR number);
void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance);
// Returns when every DPC queued before the call has run. PASSIVE_LEVEL only.
void KeFlushQueuedDpcs();
