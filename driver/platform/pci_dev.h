// The card's PCI record as the PCI helpers use it: where its device stack is, and its location
// for messages. The device shell fills it when it adds the card's function device.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/steps.h"

struct pci_dev {
    // The card's function device object (the framework device's WDM object); configuration
    // requests go to the top of the stack it belongs to.
    PDEVICE_OBJECT device_object;
    USHORT domain;
    UCHAR bus;
    UCHAR device;
    UCHAR function;

    // Filled by the device shell at device add (identity) and prepare hardware (resources).
    struct FDO_CONTEXT* fdo;    // the shell's function-device context
    struct card_probe* probe;   // the controller's probe record while the card is probed
    const struct card_ops* card_ops;  // the shell's operations for the card (NULL: the defaults)
    USHORT vendor_id;
    USHORT device_id;
    USHORT subsystem_vendor_id;
    USHORT subsystem_device_id;
    UCHAR slot;                 // the UI number; 0 when unknown
    char location[32];          // "(bus,slot)"
    char name[128];             // "dddd:bb:dd.f", the function's name in messages
    BOOLEAN message_signalled;  // interrupts are message-signalled
    ULONG message_count;
    void* bar;                  // the mapped control BAR; NULL when it could not be mapped
    ULONG bar_length;
    kpav_step_run probe_steps;  // how far the controller's probe got (undone at release)
};
