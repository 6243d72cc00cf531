// What the layers above a card's bring-up do for the card: the device shell (its registration
// after start, the registry query on its own stack, the framework's failed-device report) and
// the diagnostics (the register sections of a dump).
//
// The shell hands its table over when it probes the card (probe_device); a card record made
// without one (tests, tools) has card_ops_defaults, whose rules are described beside each slot.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/pci_dev.h"
#include "registry_driver/driver_registry.h"

struct pipeline_device;
struct csr_dump_printer;

struct card_ops {
    // The card's registration after start_device (device interface, symbolic link, queue).
    // PASSIVE_LEVEL. Default: STATUS_UNSUCCESSFUL (nobody to register with).
    NTSTATUS (*register_card_interfaces)(pci_dev* pdev, pipeline_device* card);
    // The device-number registry's interface, queried on the card's own device stack.
    // PASSIVE_LEVEL. Default: STATUS_NOT_SUPPORTED.
    NTSTATUS (*query_registry_interface)(pci_dev* pdev, DRIVER_REGISTRY_INTERFACE* interface);
    // Reports the card to the framework as failed (no restart): false when the card has no
    // device-shell record (the default). At most DISPATCH_LEVEL.
    bool (*report_device_failed)(pipeline_device* card);
    // Prints the register sections of a dump after its reason line. Any IRQL (the bug-check
    // callback dumps at HIGH_LEVEL). Default: nothing (the dump holds its reason line).
    // `normal_context` is 1 outside a crash (configuration space may be read, the
    // per-processor queues are locked while printed), 0 at a crash.
    void (*dump_sections)(pipeline_device* card, csr_dump_printer* printer, ULONG normal_context);
};

NTSTATUS card_no_registration(pci_dev* pdev, pipeline_device* card);
NTSTATUS card_no_registry_interface(pci_dev* pdev, DRIVER_REGISTRY_INTERFACE* interface);
bool card_no_failure_report(pipeline_device* card);
void card_no_dump_sections(pipeline_device* card, csr_dump_printer* printer, ULONG normal_context);

inline constexpr card_ops card_ops_defaults = {
    card_no_registration,
    card_no_registry_interface,
    card_no_failure_report,
    card_no_dump_sections,
};
