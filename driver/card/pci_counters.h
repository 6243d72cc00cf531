// The card's PCIe status registers, mirrored in its register window from 0x111C: a snapshot at
// channel set-up and one every two minutes (three kept in turn), their printout in register dumps,
// and the raw error counters of the "pcie_stats" node.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

// Clears the snapshots, takes the start snapshot now and writes 1 to 0x1118. PASSIVE_LEVEL.
void pci_counters_snapshot(pipeline_device* card);
// Takes the next rotating snapshot when the newest is more than two minutes older than `now_us`.
void pci_counters_rotate(pipeline_device* card, ULONG64 now_us);
// "pavinf PCI Status Counters", the ages line and one line per register (start, rotating oldest
// first, current), into the dump of `printer` (NULL: the log). Any IRQL.
void print_pci_status_counters(pipeline_device* card, csr_dump_printer* printer);
// The twelve raw error counters, in their order (0x111C .. 0x1130, 0x1138 .. 0x114C).
void read_pcie_error_counts(pipeline_device* card, ULONG counts[12]);
