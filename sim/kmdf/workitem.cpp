#include "sim/kmdf/workitem.h"

#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {
namespace {

bool idle(work_item_object* w) {
    return !w->enqueued && !w->running;
}

// Waits until the work item is neither queued nor running; called with the tree mutex held.
void wait_idle(work_item_object* w, std::unique_lock<std::recursive_mutex>& lock) {
    if (w->running && w->runner == std::this_thread::get_id()) {
        violation(0x40, (ULONG_PTR)w);  // a work item cannot wait for its own callback
    }
    if (idle(w)) {
        return;
    }
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)w);
    state_changed().wait(lock, [w] { return idle(w); });
}

// The system worker's routine for a framework work item.
void run_work_item(PDEVICE_OBJECT, PVOID context) {
    auto* w = (work_item_object*)context;
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        w->enqueued = false;
        w->running = true;
        w->runner = std::this_thread::get_id();
    }
    WDFWORKITEM handle = (WDFWORKITEM)w->handle();
    if (w->serialized) {
        std::lock_guard<std::recursive_mutex> g(w->device->callback_lock);
        w->config.EvtWorkItemFunc(handle);
    } else {
        w->config.EvtWorkItemFunc(handle);
    }
    bool last;
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        w->running = false;
        w->runner = std::thread::id();
        if (w->requeue) {
            // Queued again while it ran: the next run starts after this one.
            w->requeue = false;
            IoQueueWorkItem(w->io, run_work_item, DelayedWorkQueue, w);
        }
        // Drop the enqueue's reference before a flush can see the item idle, so that a delete
        // that waited for the callback is the one that destroys it.
        LONG references = w->references.load();
        while (references > 1 && !w->references.compare_exchange_weak(references, references - 1)) {
        }
        last = references <= 1;
    }
    state_changed().notify_all();
    if (last) {
        release(w);  // deleted from its own callback: it goes now
    }
}

}  // namespace

void work_item_object::before_cleanup() {
    std::unique_lock<std::recursive_mutex> lock(tree_mutex());
    if (running && runner == std::this_thread::get_id()) {
        return;  // deleted from its own callback: it goes once the callback returns
    }
    wait_idle(this, lock);
}

void work_item_object::on_destroy() {
    if (io != nullptr) {
        IoFreeWorkItem(io);
        io = nullptr;
    }
}

}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes, WDFWORKITEM* work_item) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)config);
    *work_item = nullptr;
    if (config == nullptr || config->Size != sizeof(WDF_WORKITEM_CONFIG) || config->EvtWorkItemFunc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes == nullptr || attributes->ParentObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes->ExecutionLevel == WdfExecutionLevelDispatch) {
        return STATUS_INVALID_PARAMETER;  // work items run at PASSIVE_LEVEL
    }
    object* parent = from_handle(attributes->ParentObject);
    device_object* device = device_ancestor(parent);
    if (device == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    bool serialized = config->AutomaticSerialization && effective_scope(parent) == WdfSynchronizationScopeDevice;
    if (serialized && effective_level(parent) != WdfExecutionLevelPassive) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PIO_WORKITEM io = IoAllocateWorkItem(device->wdm);
    if (io == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* w = new work_item_object();
    w->config = *config;
    w->io = io;
    w->device = device;
    w->serialized = serialized;
    NTSTATUS status = attach(w, attributes, parent);
    if (!NT_SUCCESS(status)) {
        discard(w);
        return status;
    }
    w->level = WdfExecutionLevelPassive;
    *work_item = (WDFWORKITEM)w->handle();
    return STATUS_SUCCESS;
}

void WdfWorkItemEnqueue(WDFWORKITEM work_item) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)work_item);
    auto* w = checked<work_item_object>(work_item, object_kind::work_item);
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        if (w->deleting) {
            violation(0x41, (ULONG_PTR)work_item);
        }
        if (w->enqueued) {
            return;
        }
        w->enqueued = true;
        add_reference(w);
        if (w->running) {
            w->requeue = true;  // one callback at a time: queued when the running one returns
            return;
        }
    }
    IoQueueWorkItem(w->io, run_work_item, DelayedWorkQueue, w);
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM work_item) {
    auto* w = checked<work_item_object>(work_item, object_kind::work_item);
    return w->parent != nullptr ? w->parent->handle() : nullptr;
}

void WdfWorkItemFlush(WDFWORKITEM work_item) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)work_item);
    auto* w = checked<work_item_object>(work_item, object_kind::work_item);
    std::unique_lock<std::recursive_mutex> lock(tree_mutex());
    wait_idle(w, lock);
}
