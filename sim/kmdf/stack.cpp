// Device stacks and their PnP and power sequencing (the order is documented in pnp.h).
#include <algorithm>

#include "sim/kernel/control.h"
#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {

void connect_interrupt(interrupt_object* i);
void disconnect_interrupt(interrupt_object* i);
void connect_messages(device_object* d, PDEVICE_OBJECT physical);
void disconnect_messages(device_object* d);

namespace {

// How far a device's start got.
enum stage : int { none = 0, prepared, in_d0, connected, running };

void require_passive(device_stack* stack) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)stack);
}

WDFDEVICE handle_of(device_object* d) {
    return (WDFDEVICE)d->handle();
}

void build_requirements(device_stack* stack) {
    stack->requirements.assign(1, {});
    auto& config = stack->requirements[0];
    if (stack->description.bar_length != 0) {
        IO_RESOURCE_DESCRIPTOR memory{};
        memory.Type = CmResourceTypeMemory;
        memory.u.Memory.Length = stack->description.bar_length;
        memory.u.Memory.Alignment = stack->description.bar_length;
        config.push_back(memory);
    }
    ULONG interrupts = stack->description.messages != 0 ? stack->description.messages : 1;
    for (ULONG i = 0; i < interrupts; i++) {
        IO_RESOURCE_DESCRIPTOR interrupt{};
        interrupt.Type = CmResourceTypeInterrupt;
        interrupt.Flags = stack->description.messages != 0 ? (CM_RESOURCE_INTERRUPT_MESSAGE | CM_RESOURCE_INTERRUPT_LATCHED)
                                                           : CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
        interrupt.u.Interrupt.MinimumVector = 0;
        interrupt.u.Interrupt.MaximumVector = 0xFFFFFFFF;
        config.push_back(interrupt);
    }
}

// The processor a vector is delivered to: the lowest processor of a specified set, else
// spread over the active processors.
ULONG target_processor(const IO_RESOURCE_DESCRIPTOR& d, ULONG index, USHORT* group, KAFFINITY* affinity) {
    ULONG active = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    if ((d.Flags & CM_RESOURCE_INTERRUPT_POLICY_INCLUDED) != 0 &&
        d.u.Interrupt.AffinityPolicy == IrqPolicySpecifiedProcessors && d.u.Interrupt.TargetedProcessors != 0) {
        for (ULONG bit = 0; bit < 64; bit++) {
            if ((d.u.Interrupt.TargetedProcessors >> bit & 1) != 0) {
                PROCESSOR_NUMBER number{d.u.Interrupt.Group, (UCHAR)bit, 0};
                ULONG system_index = KeGetProcessorIndexFromNumber(&number);
                if (system_index != (ULONG)-1 && system_index < active) {
                    *group = d.u.Interrupt.Group;
                    *affinity = d.u.Interrupt.TargetedProcessors;
                    return system_index;
                }
            }
        }
    }
    ULONG processor = active == 0 ? 0 : index % active;
    PROCESSOR_NUMBER number{};
    KeGetProcessorNumberFromIndex(processor, &number);
    *group = number.Group;
    *affinity = (KAFFINITY)1 << number.Number;
    return processor;
}

void assign_resources(device_stack* stack) {
    stack->raw.clear();
    stack->translated.clear();
    const auto& config = stack->requirements.empty() ? std::vector<IO_RESOURCE_DESCRIPTOR>() : stack->requirements[0];
    ULONG interrupt_index = 0;
    std::vector<ULONG> processors;
    for (const IO_RESOURCE_DESCRIPTOR& d : config) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR cm{};
        cm.Type = d.Type;
        cm.Flags = d.Flags & ~CM_RESOURCE_INTERRUPT_POLICY_INCLUDED;
        if (d.Type == CmResourceTypeMemory) {
            cm.u.Memory.Start.QuadPart = (LONGLONG)stack->description.bar_physical;
            cm.u.Memory.Length = d.u.Memory.Length;
        } else if (d.Type == CmResourceTypeInterrupt) {
            USHORT group = 0;
            KAFFINITY affinity = 0;
            ULONG processor = target_processor(d, interrupt_index, &group, &affinity);
            cm.u.MessageInterrupt.Translated.Level = SIM_DEVICE_LEVEL;
            cm.u.MessageInterrupt.Translated.Group = group;
            cm.u.MessageInterrupt.Translated.Vector = 0x60 + interrupt_index;
            cm.u.MessageInterrupt.Translated.Affinity = affinity;
            processors.push_back(processor);
            interrupt_index++;
        }
        stack->raw.push_back(cm);
        stack->translated.push_back(cm);
    }
    // Interrupt objects take the interrupt resources in creation order.
    for (device_object* device : stack->devices) {
        ULONG next = 0;
        ULONG message = 0;
        for (interrupt_object* i : device->interrupts) {
            i->has_resource = false;
            WDF_INTERRUPT_INFO_INIT(&i->info);
            for (; next < stack->translated.size(); next++) {
                if (stack->translated[next].Type == CmResourceTypeInterrupt) {
                    break;
                }
            }
            if (next == stack->translated.size()) {
                continue;
            }
            const CM_PARTIAL_RESOURCE_DESCRIPTOR& cm = stack->translated[next];
            bool msi = (cm.Flags & CM_RESOURCE_INTERRUPT_MESSAGE) != 0;
            i->has_resource = true;
            i->processor = processors[message];
            i->info.TargetProcessorSet = cm.u.MessageInterrupt.Translated.Affinity;
            i->info.Group = cm.u.MessageInterrupt.Translated.Group;
            i->info.MessageNumber = msi ? message : 0;
            i->info.Vector = cm.u.MessageInterrupt.Translated.Vector;
            i->info.Irql = (KIRQL)cm.u.MessageInterrupt.Translated.Level;
            i->info.Mode = msi ? Latched : LevelSensitive;
            i->info.Polarity = InterruptActiveHigh;
            i->info.MessageSignaled = msi;
            next++;
            message++;
        }
    }
}

void set_queues_power(device_object* d, bool in_d0) {
    std::lock_guard<std::mutex> g(io_mutex());
    d->in_d0 = in_d0;
    for (queue_object* q : d->queues) {
        present_held(q);
    }
    io_changed().notify_all();
}

// Power-managed queues stop presenting; the requests the driver owns are waited for.
void stop_power_managed_queues(device_object* d) {
    std::unique_lock<std::mutex> g(io_mutex());
    d->in_d0 = false;
    io_changed().notify_all();
    io_changed().wait(g, [d] {
        for (queue_object* q : d->queues) {
            if (q->power_managed && q->owned != 0) {
                return false;
            }
        }
        return true;
    });
}

void connect_all(device_stack* stack, device_object* d) {
    std::lock_guard<std::mutex> g(stack->interrupt_lock);
    for (interrupt_object* i : d->interrupts) {
        if (i->has_resource) {
            connect_interrupt(i);
        }
    }
    connect_messages(d, stack->description.physical_device);
}

void disconnect_all(device_stack* stack, device_object* d) {
    // The kernel's connection first: it returns once no service routine runs.
    disconnect_messages(d);
    {
        std::lock_guard<std::mutex> g(stack->interrupt_lock);
        for (interrupt_object* i : d->interrupts) {
            disconnect_interrupt(i);
        }
    }
    KeFlushQueuedDpcs();  // a DPC queued by a last ISR has run
}

// Takes the device from `from` down to none (removal) or to `prepared` (a sleep), calling the
// exit callbacks of each stage it passes.
void unwind(device_stack* stack, size_t index, WDF_POWER_DEVICE_STATE target, int down_to) {
    device_object* d = stack->devices[index];
    int& at = stack->stage[index];
    const WDF_PNPPOWER_EVENT_CALLBACKS& cb = d->settings.pnp;
    if (at >= running) {
        stop_power_managed_queues(d);
        at = connected;
    }
    if (at >= connected && down_to < connected) {
        if (cb.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
            cb.EvtDeviceD0ExitPreInterruptsDisabled(handle_of(d), target);
        }
        disconnect_all(stack, d);
        at = in_d0;
    }
    if (at >= in_d0 && down_to < in_d0) {
        set_queues_power(d, false);
        if (cb.EvtDeviceD0Exit != nullptr) {
            cb.EvtDeviceD0Exit(handle_of(d), target);
        }
        at = prepared;
    }
    if (at >= prepared && down_to < prepared) {
        if (cb.EvtDeviceReleaseHardware != nullptr) {
            cb.EvtDeviceReleaseHardware(handle_of(d), (WDFCMRESLIST)&stack->translated);
        }
        at = none;
    }
}

// Brings one device up from its stage to running; on failure unwinds it completely (the exit
// callbacks of the failed stage included) and returns the status.
NTSTATUS bring_up(device_stack* stack, size_t index, WDF_POWER_DEVICE_STATE previous) {
    device_object* d = stack->devices[index];
    int& at = stack->stage[index];
    const WDF_PNPPOWER_EVENT_CALLBACKS& cb = d->settings.pnp;
    NTSTATUS status = STATUS_SUCCESS;
    if (at < prepared) {
        at = prepared;  // a failed prepare still gets its release
        if (cb.EvtDevicePrepareHardware != nullptr) {
            status = cb.EvtDevicePrepareHardware(handle_of(d), (WDFCMRESLIST)&stack->raw,
                                                 (WDFCMRESLIST)&stack->translated);
        }
    }
    if (NT_SUCCESS(status) && at < in_d0) {
        at = in_d0;
        if (cb.EvtDeviceD0Entry != nullptr) {
            status = cb.EvtDeviceD0Entry(handle_of(d), previous);
        }
    }
    if (NT_SUCCESS(status) && at < connected) {
        connect_all(stack, d);
        at = connected;
        if (cb.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
            status = cb.EvtDeviceD0EntryPostInterruptsEnabled(handle_of(d), previous);
        }
    }
    if (!NT_SUCCESS(status)) {
        unwind(stack, index, WdfPowerDeviceD3Final, none);
        return status;
    }
    set_queues_power(d, true);
    at = running;
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

namespace sim::kmdf {

device_stack* stack_create(const device_description& description) {
    auto* stack = new device_stack();
    stack->description = description;
    return stack;
}

NTSTATUS stack_add_driver(device_stack* stack, WDFDRIVER driver, WDFDEVICE* added) {
    require_passive(stack);
    std::lock_guard<std::recursive_mutex> pnp(stack->pnp_lock);
    if (added != nullptr) {
        *added = nullptr;
    }
    auto* d = checked<driver_object>(driver, object_kind::driver);
    if (d->config.EvtDriverDeviceAdd == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    WDFDEVICE_INIT init;
    init.driver = d;
    init.stack = stack;
    init.name = stack->description.name.empty() || !stack->devices.empty() ? std::u16string() : stack->description.name;
    NTSTATUS status = d->config.EvtDriverDeviceAdd(driver, &init);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)d->config.EvtDriverDeviceAdd, KeGetCurrentIrql(), 0, 0);
    }
    if (!NT_SUCCESS(status)) {
        if (init.created != nullptr) {
            delete_object(init.created);
        }
        return status;
    }
    if (init.created == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    init.created->wdm->Flags &= ~DO_DEVICE_INITIALIZING;
    if (added != nullptr) {
        *added = (WDFDEVICE)init.created->handle();
    }
    return STATUS_SUCCESS;
}

NTSTATUS stack_start(device_stack* stack) {
    require_passive(stack);
    std::lock_guard<std::recursive_mutex> pnp(stack->pnp_lock);
    if (stack->started) {
        return STATUS_SUCCESS;
    }
    build_requirements(stack);
    for (size_t i = stack->devices.size(); i-- > 0;) {
        device_object* d = stack->devices[i];
        if (d->settings.fdo.EvtDeviceFilterAddResourceRequirements != nullptr) {
            d->settings.fdo.EvtDeviceFilterAddResourceRequirements(handle_of(d),
                                                                   (WDFIORESREQLIST)&stack->requirements);
        }
    }
    assign_resources(stack);
    stack->stage.assign(stack->devices.size(), none);
    for (size_t i = 0; i < stack->devices.size(); i++) {
        NTSTATUS status = bring_up(stack, i, WdfPowerDeviceD3Final);
        if (!NT_SUCCESS(status)) {
            // The start failed: PnP takes down the devices below that had started.
            for (size_t j = i; j-- > 0;) {
                unwind(stack, j, WdfPowerDeviceD3Final, none);
            }
            return status;
        }
    }
    stack->started = true;
    stack->in_d0 = true;
    return STATUS_SUCCESS;
}

void stack_power_down(device_stack* stack, WDF_POWER_DEVICE_STATE target) {
    require_passive(stack);
    std::lock_guard<std::recursive_mutex> pnp(stack->pnp_lock);
    if (!stack->started || !stack->in_d0) {
        return;
    }
    for (size_t i = stack->devices.size(); i-- > 0;) {
        unwind(stack, i, target, target == WdfPowerDeviceD3Final ? none : prepared);
    }
    stack->in_d0 = false;
    if (target == WdfPowerDeviceD3Final) {
        stack->started = false;
    }
}

NTSTATUS stack_power_up(device_stack* stack) {
    require_passive(stack);
    std::lock_guard<std::recursive_mutex> pnp(stack->pnp_lock);
    if (!stack->started) {
        return stack_start(stack);
    }
    if (stack->in_d0) {
        return STATUS_SUCCESS;
    }
    for (size_t i = 0; i < stack->devices.size(); i++) {
        NTSTATUS status = bring_up(stack, i, WdfPowerDeviceD3);
        if (!NT_SUCCESS(status)) {
            for (size_t j = stack->devices.size(); j-- > 0;) {
                unwind(stack, j, WdfPowerDeviceD3Final, none);
            }
            stack->started = false;
            return status;
        }
    }
    stack->in_d0 = true;
    return STATUS_SUCCESS;
}

bool stack_query_remove(device_stack* stack) {
    for (device_object* d : stack->devices) {
        if (d->static_stop_remove.load() != 0) {
            return false;
        }
    }
    return true;
}

void stack_remove(device_stack* stack) {
    require_passive(stack);
    {
        std::lock_guard<std::recursive_mutex> pnp(stack->pnp_lock);
        stack_power_down(stack, WdfPowerDeviceD3Final);
        for (size_t i = stack->devices.size(); i-- > 0;) {
            if (i < stack->stage.size()) {
                unwind(stack, i, WdfPowerDeviceD3Final, none);
            }
        }
        stack->started = false;
        while (!stack->devices.empty()) {
            device_object* top = stack->devices.back();
            delete_object(top);  // takes itself off the stack
        }
    }
    delete stack;
}

WDFDEVICE stack_top(device_stack* stack) {
    std::lock_guard<std::recursive_mutex> pnp(stack->pnp_lock);
    return stack->devices.empty() ? nullptr : (WDFDEVICE)stack->devices.back()->handle();
}

bool stack_started(device_stack* stack) {
    std::lock_guard<std::recursive_mutex> pnp(stack->pnp_lock);
    return stack->started;
}

bool stack_signal_interrupt(device_stack* stack, ULONG message) {
    std::lock_guard<std::mutex> g(stack->interrupt_lock);
    for (device_object* d : stack->devices) {
        for (interrupt_object* i : d->interrupts) {
            if (!i->connected || i->info.MessageNumber != message) {
                continue;
            }
            KIRQL old;
            KeRaiseIrql(i->info.Irql, &old);
            BOOLEAN claimed = i->config.EvtInterruptIsr((WDFINTERRUPT)i->handle(), message);
            KeLowerIrql(old);
            if (claimed) {
                return true;
            }
        }
    }
    return false;
}

device_record record_of(WDFDEVICE device) {
    auto* d = checked<device_object>(device, object_kind::device);
    device_record r{};
    r.filter = d->settings.filter;
    r.device_type = d->wdm->DeviceType;
    r.power_policy_owner = d->settings.power_policy_owner;
    r.has_child_list = d->settings.has_child_list;
    r.child_description_size = d->settings.child_list.IdentificationDescriptionSize;
    r.has_preprocess = d->settings.preprocess != nullptr;
    r.has_bus_information = d->has_bus_information;
    r.bus_information = d->bus_information;
    r.power_caps = d->power_caps;
    r.paging = d->special_files[WdfSpecialFilePaging];
    r.hibernation = d->special_files[WdfSpecialFileHibernation];
    r.dump = d->special_files[WdfSpecialFileDump];
    r.static_stop_remove = d->static_stop_remove.load();
    r.failed = d->failed;
    std::lock_guard<std::mutex> g(io_mutex());
    for (auto& i : d->interfaces) {
        if (i.enabled) {
            r.enabled_interfaces.push_back(i.link);
        }
    }
    return r;
}

}  // namespace sim::kmdf
