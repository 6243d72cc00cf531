// The controller's registers as text, for register dumps: the firmware lines, the register
// sections (PCIe link, MSI vectors, power loss, NAND bus, FIFOs, banks, data path, DMA queues
// and engines, upsets), the configuration space, the status FIFO, and the PCIe aggregate counts
// of the status-dump request. Every printer writes through csr_dump_printf: into the dump of
// `printer`, or into the log when it is NULL.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

// "Device is offline, no registers to report" when the bus is gone; else the firmware lines and
// every section in order. Any IRQL.
void dump_controller_registers(pipeline_device* card, csr_dump_printer* printer);
// One bank register decoded (two, three, one and one lines).
void print_bank_status(pipeline_device* card, ULONG bank, ULONG value, csr_dump_printer* printer);
void print_bank_status_st(pipeline_device* card, ULONG bank, ULONG value, csr_dump_printer* printer);
void print_bank_status_st2(pipeline_device* card, ULONG bank, ULONG value, csr_dump_printer* printer);
void print_cmd_fifo_status(pipeline_device* card, ULONG bank, ULONG value, csr_dump_printer* printer);
// The first 384 bytes of configuration space, four dwords a line, all-zero lines skipped. Only
// in normal context (never at a crash); nothing without the card's PCI record. PASSIVE_LEVEL
// in normal context.
void dump_pcie_config(pipeline_device* card, csr_dump_printer* printer, ULONG normal_context);
// The microcode image line and the NCE trace records, read through the trace handshake (at
// most 2 s, and a bounded number of polls when time stands still); only while the channel runs a
// microcode image.
void dump_microcode(pipeline_device* card, csr_dump_printer* printer);
// Drains the controller's status FIFO, one line per entry (at most 4096 entries: a FIFO that
// never reports empty does not hold the dump). Only while the bus is present.
void dump_status_fifo(pipeline_device* card, csr_dump_printer* printer);
// Firmware version, build, poisoned build and VCS lines.
void print_firmware_archive_info(pipeline_device* card, csr_dump_printer* printer);
// The aggregate counters at configuration offsets 0x104 and 0x108, decoded, into the log.
// PASSIVE_LEVEL.
void dump_pcie_aggregate_counts(pipeline_device* card);
