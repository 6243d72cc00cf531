// Work items run by the system's worker threads at PASSIVE_LEVEL.
#pragma once

#include "sim/kernel/io.h"
#include "sim/kernel/types.h"

enum WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
    NormalWorkQueue = 3,
};

// An I/O work item, bound to a device object that stays referenced while the item is queued.
struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;
using IO_WORKITEM_ROUTINE = void(PDEVICE_OBJECT device, PVOID context);
using PIO_WORKITEM_ROUTINE = IO_WORKITEM_ROUTINE*;

// NULL when none can be had. At most DISPATCH_LEVEL.
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device);
// The item must not be queued; its own routine may free it. At most DISPATCH_LEVEL.
void IoFreeWorkItem(PIO_WORKITEM item);
// Queues the item once (queuing an item that is still queued stops the system). At most
// DISPATCH_LEVEL.
void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue_type, PVOID context);

// The executive's own work item, embedded in the caller's record.
using WORKER_THREAD_ROUTINE = void(PVOID parameter);
using PWORKER_THREAD_ROUTINE = WORKER_THREAD_ROUTINE*;

struct WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID volatile Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;

inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM item, PWORKER_THREAD_ROUTINE routine, PVOID parameter) {
    item->List.Flink = nullptr;
    item->List.Blink = nullptr;
    item->WorkerRoutine = routine;
    item->Parameter = parameter;
}

void ExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queue_type);
