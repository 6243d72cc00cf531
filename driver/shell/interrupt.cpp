// The vectors' interrupt service routine and DPC, which hand a ring's completions to the channel.
#include "driver/controller/startup.h"
#include "driver/pipeline/cq.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/shell/shell.h"

namespace {

pipeline_device* card_of(INTERRUPT_CONTEXT* ic) {
    if (ic == nullptr || ic->pdev == nullptr || ic->pdev->fdo == nullptr) {
        return nullptr;
    }
    // Power-down clears the card while the interrupts are still connected.
    return (pipeline_device*)ReadPointerAcquire((PVOID const volatile*)&(ic->pdev->fdo)->card);
}

}  // namespace

BOOLEAN FdoEvtInterruptIsr(WDFINTERRUPT interrupt, ULONG) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    INTERRUPT_CONTEXT* ic = PavGetInterruptContext(interrupt);
    pipeline_device* card = card_of(ic);
    if (card == nullptr) {
        return FALSE;
    }
    // The rings report only through their own message; a line-based interrupt, which would need
    // the ring's status word to tell whose it is, is not claimed.
    if (!ic->info.MessageSignaled) {
        return FALSE;
    }
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
    cq_drain_vector(card, ic->index);
}

int PavGetInterruptVector(pci_dev* pdev, ULONG* vector) {
    FDO_CONTEXT* c = pdev->fdo;
    if (c == nullptr || c->interrupts[0] == nullptr) {
        return -KPAV_ENODEV;
    }
    WDF_INTERRUPT_INFO info;
    WDF_INTERRUPT_INFO_INIT(&info);
    WdfInterruptGetInfo(c->interrupts[0], &info);
    *vector = info.Vector;
    return 0;
}
