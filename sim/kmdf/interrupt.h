// Interrupt objects: one per message (or the line) of the device. The framework hands each
// object, in creation order, one interrupt resource of the device's start; an object left
// without a resource is never connected and never signalled. A connected object's ISR runs at
// the device's IRQL on its vector's target processor when the device signals the message, and
// its DPC (queued by WdfInterruptQueueDpcForIsr) at DISPATCH_LEVEL on the same processor.
#pragma once

#include "sim/kernel/kernel.h"
#include "sim/kmdf/device.h"
#include "sim/kmdf/types.h"

WDF_DECLARE_HANDLE(WDFINTERRUPT);

using EVT_WDF_INTERRUPT_ISR = BOOLEAN(WDFINTERRUPT interrupt, ULONG message_id);
using EVT_WDF_INTERRUPT_DPC = void(WDFINTERRUPT interrupt, WDFOBJECT associated_object);

struct WDF_INTERRUPT_CONFIG {
    ULONG Size;
    PVOID SpinLock;
    WDF_TRI_STATE ShareVector;
    BOOLEAN FloatingSave;
    BOOLEAN AutomaticSerialization;
    EVT_WDF_INTERRUPT_ISR* EvtInterruptIsr;
    EVT_WDF_INTERRUPT_DPC* EvtInterruptDpc;
    PVOID EvtInterruptEnable;
    PVOID EvtInterruptDisable;
    PVOID EvtInterruptWorkItem;
    BOOLEAN ReportInactiveOnPowerDown;
};
using PWDF_INTERRUPT_CONFIG = WDF_INTERRUPT_CONFIG*;

inline void WDF_INTERRUPT_CONFIG_INIT(PWDF_INTERRUPT_CONFIG config, EVT_WDF_INTERRUPT_ISR* isr,
                                      EVT_WDF_INTERRUPT_DPC* dpc) {
    *config = WDF_INTERRUPT_CONFIG{};
    config->Size = sizeof(WDF_INTERRUPT_CONFIG);
    config->ShareVector = WdfUseDefault;
    config->EvtInterruptIsr = isr;
    config->EvtInterruptDpc = dpc;
}


struct WDF_INTERRUPT_INFO {
    ULONG Size;
    ULONG64 Reserved1;
    KAFFINITY TargetProcessorSet;
    ULONG Reserved2;
    ULONG MessageNumber;
    ULONG Vector;
    KIRQL Irql;
    KINTERRUPT_MODE Mode;
    KINTERRUPT_POLARITY Polarity;
    BOOLEAN MessageSignaled;
    UCHAR ShareDisposition;
    USHORT Group;
};
using PWDF_INTERRUPT_INFO = WDF_INTERRUPT_INFO*;

inline void WDF_INTERRUPT_INFO_INIT(PWDF_INTERRUPT_INFO info) {
    *info = WDF_INTERRUPT_INFO{};
    info->Size = sizeof(WDF_INTERRUPT_INFO);
}

// Created in EvtDriverDeviceAdd (or EvtDevicePrepareHardware) with the device as parent.
NTSTATUS WdfInterruptCreate(WDFDEVICE device, PWDF_INTERRUPT_CONFIG configuration, PWDF_OBJECT_ATTRIBUTES attributes,
                            WDFINTERRUPT* interrupt);
// TRUE when the DPC was not queued yet. Any IRQL.
BOOLEAN WdfInterruptQueueDpcForIsr(WDFINTERRUPT interrupt);
void WdfInterruptGetInfo(WDFINTERRUPT interrupt, PWDF_INTERRUPT_INFO info);
WDFDEVICE WdfInterruptGetDevice(WDFINTERRUPT interrupt);
