// The plain rules of a card's operations (card_ops.h).
#include "driver/card/card_ops.h"

#include "driver/platform/kassert.h"

NTSTATUS card_no_registration(pci_dev*, pipeline_device*) {
    PAGED_CODE();
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS card_no_registry_interface(pci_dev*, DRIVER_REGISTRY_INTERFACE*) {
    PAGED_CODE();
    return STATUS_NOT_SUPPORTED;
}

bool card_no_failure_report(pipeline_device*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return false;
}

// Any IRQL: dumps are taken at HIGH_LEVEL too.
void card_no_dump_sections(pipeline_device*, csr_dump_printer*, ULONG) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
}
