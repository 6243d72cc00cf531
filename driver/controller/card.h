// A card's life cycle under the device shell: probe (at D0 entry), start (after the interrupts
// are enabled), stop (at power-down) and release (at D0 exit), and the driver-wide state the
// bring-up needs. Probe and start are step tables: a failed step undoes exactly the steps before
// it and is named in the log.
#pragma once

#include "driver/card/card_ops.h"
#include "driver/card/card_probe.h"
#include "driver/card/csr_dump.h"
#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"
#include "driver/platform/pci_dev.h"
#include "driver/platform/steps.h"

// 0 or a negative errno; on failure nothing of the probe is left. The card record gets the
// shell's operations from pdev->card_ops.
int probe_device(pci_dev* pdev);
// STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE without a probe record, or the failing status of
// the shell's card registration.
NTSTATUS start_controller(pci_dev* pdev);
int start_device(pci_dev* pdev, pipeline_device* card, struct FDO_CONTEXT* fdo);
void stop_device(pipeline_device* card, int immediate);
void release_device(pci_dev* pdev);

int driver_globals_init();
void driver_globals_exit();

// The module parameter preallocate_memory as a list: the item equal to `text`, or NULL.
const char* card_in_preallocate_list(const char* text);
// The saved-state query and set through the driver-wide state record: 2 asks (the request word
// becomes 1 when the beacon is on), 1 turns the beacon on, anything else sets "running".
int card_state_callback(pipeline_device* card, ULONG* request);

constexpr ULONG PAV_CSR_DUMP_SIZE = 614400;
