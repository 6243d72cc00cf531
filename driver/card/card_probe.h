// The card's probe record: what the device shell's probe learns of a card before its card record
// exists (the register windows, the completion windows' count, the registry client), kept until
// the card is released.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/pci_dev.h"
#include "driver/platform/steps.h"
#include "registry_driver/driver_registry.h"

struct pipeline_device;
struct card_ops;

// The card's probe record: its register windows, card record and registry client.
struct card_probe {
    pci_dev* pdev;
    const card_ops* ops;         // the device shell's, handed to the card record
    volatile ULONG* bar;         // the first BAR's mapping
    volatile ULONG* csr;         // BAR + 0x8000
    volatile ULONG* window2;     // BAR + 0x2000
    volatile ULONG* cq_windows;  // BAR + 0x4000
    ULONG cq_count;
    pipeline_device* card;       // NULL until the card record exists
    DRIVER_REGISTRY_CLIENT* registry;  // NULL while none is open
    DRIVER_REGISTRY_INTERFACE registry_interface;
    ULONG card_index;
    ULONG card_index_copy;
    char name[256];              // "Velkor <pci name>"
    BOOLEAN message_interrupts;  // cleared by the shell for line-based interrupts
    kpav_step_run create_run;    // card record creation
};
