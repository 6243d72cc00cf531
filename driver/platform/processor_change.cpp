// The functions are called under a fast mutex rather than a spin lock: they run at most at
// APC_LEVEL, where they may schedule work (which enumerates device objects). The kernel callback
// is registered and deregistered outside that mutex, since the kernel calls it under its own lock.

#include "driver/platform/processor_change.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"
#include "driver/platform/numa.h"
#include "driver/platform/once.h"

namespace {

struct change_registration {
    LIST_ENTRY link;
    kpav_processor_change_fn function;
};

LIST_ENTRY registrations = {&registrations, &registrations};
FAST_MUTEX registrations_mutex;
volatile LONG registrations_mutex_state = KPAV_ONCE_NOT_RUN;
PVOID kernel_registration = nullptr;
bool kernel_registering = false;

void set_up_registrations() {
    ExInitializeFastMutex(&registrations_mutex);
    InitializeListHead(&registrations);
}

PFAST_MUTEX change_mutex() {
    kpav_run_once(&registrations_mutex_state, set_up_registrations);
    return &registrations_mutex;
}

void processor_changed(PVOID, PKE_PROCESSOR_CHANGE_NOTIFY_CONTEXT change, NTSTATUS* status) {
    UNREFERENCED_PARAMETER(status);
    KPAV_IRQL_AT_MOST(APC_LEVEL);
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
    PAGED_CODE();
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
    if (!first) {
        return 0;
    }
    PVOID handle = nullptr;
    int err = kpav_register_kernel_processor_change(processor_changed, nullptr, KE_PROCESSOR_CHANGE_ADD_EXISTING,
                                                    &handle);
    ExAcquireFastMutex(change_mutex());
    kernel_registering = false;
    kernel_registration = handle;
    if (err != 0) {
        RemoveEntryList(&r->link);
    }
    ExReleaseFastMutex(change_mutex());
    if (err != 0) {
        kpav_free(r, KPAV_TAG_MAL);
    }
    return err;
}

void kpav_unregister_processor_change(kpav_processor_change_fn function) {
    PAGED_CODE();
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
    kpav_deregister_kernel_processor_change(handle);
    if (found != nullptr) {
        kpav_free(found, KPAV_TAG_MAL);
    }
}
