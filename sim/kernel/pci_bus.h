// The machine's PCI bus, for the machine and for tests: functions plugged in by bus, device
// and function, each answering configuration reads and writes from its own model. The system's
// code never includes this header; it reaches the bus through configuration requests sent down
// its device stack (IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG) and through the configuration
// ports (ports.h).
//
// Each plugged function has a device object (its physical device object) that serves the
// configuration requests. The stand-in attaches nothing above it: it is the top of its own stack.
#pragma once

#include "sim/kernel/irp.h"
#include "sim/kernel/types.h"

namespace sim::kernel {

// A function's configuration space, as a card model offers it. Sizes are 1, 2 or 4 bytes at an
// offset below 4096 that keeps the access inside the space; the bus never asks for others.
class pci_config_space {
  public:
    virtual ~pci_config_space() = default;
    virtual ULONG config_read(ULONG offset, ULONG size) = 0;
    virtual void config_write(ULONG offset, ULONG size, ULONG value) = 0;
};

constexpr ULONG pci_config_size = 4096;

// Plugs `space` in at the location (the caller keeps it alive until it is unplugged or the
// machine boots again) and returns the function's device object; NULL when the location is
// taken or out of range (bus 0-255, device 0-31, function 0-7).
PDEVICE_OBJECT pci_plug(ULONG bus, ULONG device, ULONG function, pci_config_space* space);
void pci_unplug(ULONG bus, ULONG device, ULONG function);
PDEVICE_OBJECT pci_device_object(ULONG bus, ULONG device, ULONG function);
// The location of a plugged function's device object; false for any other object.
bool pci_location_of(PDEVICE_OBJECT device_object, ULONG* bus, ULONG* device, ULONG* function);

// Configuration access as the bus performs it: all ones from an absent function, writes to one
// dropped. `size` 1, 2 or 4.
ULONG pci_config_read(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size);
void pci_config_write(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size, ULONG value);

// How the functions' device objects answer configuration requests from now on: `pend` marks
// each request pending and answers STATUS_PENDING (it is complete by the time the caller
// waits); a non-zero `failure` fails each request with that status.
struct pci_request_behaviour {
    bool pend = false;
    NTSTATUS failure = STATUS_SUCCESS;
};
void pci_set_request_behaviour(const pci_request_behaviour& behaviour);
// Configuration requests served since boot (failed ones included).
ULONG pci_requests_served();

}  // namespace sim::kernel
