// The card's PCI record as the PCI helpers use it: where its device stack is, and its location
// for messages. The device shell fills it when it adds the card's function device.
#pragma once

#include "driver/platform/os.h"

struct pci_dev {
    // The card's function device object (the framework device's WDM object); configuration
    // requests go to the top of the stack it belongs to.
    PDEVICE_OBJECT device_object;
    USHORT domain;
    UCHAR bus;
    UCHAR device;
    UCHAR function;
};
