// The vectors' interrupt service routine and DPC, which hand a ring's completions to the channel.
#include "driver/controller/startup.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/shell/shell.h"

pav_interrupt_ops pav_interrupt_hooks = {};

namespace {

constexpr ULONG ring_not_ours = 0xFFAA55FF;

pipeline_device* card_of(INTERRUPT_CONTEXT* ic) {
    if (ic == nullptr || ic->pdev == nullptr || ic->pdev->fdo == nullptr) {
        return nullptr;
    }
    // Power-down clears the card while the interrupts are still connected.
    return (pipeline_device*)ReadPointerAcquire((PVOID const volatile*)&((FDO_CONTEXT*)ic->pdev->fdo)->card);
}

}  // namespace

BOOLEAN FdoEvtInterruptIsr(WDFINTERRUPT interrupt, ULONG) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    INTERRUPT_CONTEXT* ic = PavGetInterruptContext(interrupt);
    pipeline_device* card = card_of(ic);
    if (card == nullptr) {
        return FALSE;
    }
    if (ic->info.MessageSignaled) {
        WdfInterruptQueueDpcForIsr(interrupt);
        return TRUE;
    }
    if (pav_interrupt_hooks.ring_status == nullptr) {
        return FALSE;
    }
    // Claimed whenever the ring says the interrupt is the card's, whether or not a DPC was
    // queued already; a card gone from the bus (all ones) is not the one interrupting.
    ULONG status = pav_interrupt_hooks.ring_status(card, ic->index);
    if (status == ring_not_ours || status == 0xFFFFFFFF) {
        return FALSE;
    }
    if (pav_interrupt_hooks.ring_mask != nullptr) {
        pav_interrupt_hooks.ring_mask(card, ic->index);
    }
    KeMemoryBarrier();
    WdfInterruptQueueDpcForIsr(interrupt);
    return TRUE;
}

void FdoEvtInterruptDpc(WDFINTERRUPT interrupt, WDFOBJECT) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    INTERRUPT_CONTEXT* ic = PavGetInterruptContext(interrupt);
    pipeline_device* card = card_of(ic);
    if (card == nullptr || (card->minimal_mode_reasons & PAV_MINIMAL) != 0) {
        return;
    }
    if (pav_interrupt_hooks.drain != nullptr) {
        pav_interrupt_hooks.drain(card, ic->index);
    }
}

int PavGetInterruptVector(pci_dev* pdev, ULONG* vector) {
    auto* c = (FDO_CONTEXT*)pdev->fdo;
    if (c == nullptr || c->interrupts[0] == nullptr) {
        return -KPAV_ENODEV;
    }
    WDF_INTERRUPT_INFO info;
    WDF_INTERRUPT_INFO_INIT(&info);
    WdfInterruptGetInfo(c->interrupts[0], &info);
    *vector = info.Vector;
    return 0;
}
