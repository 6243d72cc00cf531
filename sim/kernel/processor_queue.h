// Internal to the stand-in: each processor's pending interrupts and queued DPCs, and the one
// thread of the processor that runs them. As on a processor, a pending interrupt's service
// routine runs first, at its device IRQL, and the DPCs it queued for the processor then run on
// the same thread at DISPATCH_LEVEL, in their order: no thread switch between an interrupt and
// its DPC, and one thing at a time at DISPATCH_LEVEL or above on a processor.
#pragma once

#include "sim/kernel/types.h"

namespace sim::kernel {

struct pending_interrupt {
    void (*service)(void* context);  // runs on the target processor's thread
    void* context;
    ULONG processor;                 // the target
    bool queued = false;             // waiting on the target's queue; that queue's mutex guards it
};

// Queues the interrupt on its target processor, unless it already waits there: a message
// signalled again before its service is serviced once. Any thread.
void request_interrupt(pending_interrupt* interrupt);
// Takes the interrupt off its processor's queue and returns once its service routine does not
// run there. Not from the processor's own thread.
void withdraw_interrupt(pending_interrupt* interrupt);
// Service routines waiting or running on any processor.
ULONG pending_interrupts();

}  // namespace sim::kernel
