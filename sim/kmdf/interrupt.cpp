#include "sim/kmdf/interrupt.h"

#include <algorithm>

#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {
namespace {

void interrupt_dpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* i = (interrupt_object*)context;
    if (i->config.EvtInterruptDpc != nullptr) {
        i->config.EvtInterruptDpc((WDFINTERRUPT)i->handle(), (WDFOBJECT)i->device->handle());
    }
}

}  // namespace

void interrupt_object::before_cleanup() {
    if (connected) {
        violation(0x80, (ULONG_PTR)this);  // deleted while connected
    }
    auto& list = device->interrupts;
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

// Connection by the PnP sequencing (stack.cpp).
void connect_interrupt(interrupt_object* i) {
    KeInitializeDpc(&i->dpc, interrupt_dpc, i);
    PROCESSOR_NUMBER number{};
    if (NT_SUCCESS(KeGetProcessorNumberFromIndex(i->processor, &number))) {
        KeSetTargetProcessorDpcEx(&i->dpc, &number);
    }
    i->connected = true;
}

void disconnect_interrupt(interrupt_object* i) {
    i->connected = false;
}

}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

NTSTATUS WdfInterruptCreate(WDFDEVICE device, PWDF_INTERRUPT_CONFIG configuration, PWDF_OBJECT_ATTRIBUTES attributes,
                            WDFINTERRUPT* interrupt) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    *interrupt = nullptr;
    auto* d = checked<device_object>(device, object_kind::device);
    if (configuration == nullptr || configuration->Size != sizeof(WDF_INTERRUPT_CONFIG) ||
        configuration->EvtInterruptIsr == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* i = new interrupt_object();
    i->device = d;
    i->config = *configuration;
    WDF_INTERRUPT_INFO_INIT(&i->info);
    WDF_OBJECT_ATTRIBUTES copy;
    if (attributes != nullptr) {
        copy = *attributes;
        copy.ParentObject = nullptr;  // an interrupt's parent is its device
    }
    NTSTATUS status = attach(i, attributes != nullptr ? &copy : nullptr, d);
    if (!NT_SUCCESS(status)) {
        discard(i);
        return status;
    }
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        d->interrupts.push_back(i);
    }
    *interrupt = (WDFINTERRUPT)i->handle();
    return STATUS_SUCCESS;
}

BOOLEAN WdfInterruptQueueDpcForIsr(WDFINTERRUPT interrupt) {
    auto* i = checked<interrupt_object>(interrupt, object_kind::interrupt);
    return KeInsertQueueDpc(&i->dpc, nullptr, nullptr);
}

void WdfInterruptGetInfo(WDFINTERRUPT interrupt, PWDF_INTERRUPT_INFO info) {
    *info = checked<interrupt_object>(interrupt, object_kind::interrupt)->info;
}

WDFDEVICE WdfInterruptGetDevice(WDFINTERRUPT interrupt) {
    return (WDFDEVICE)checked<interrupt_object>(interrupt, object_kind::interrupt)->device->handle();
}
