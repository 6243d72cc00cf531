// What the pipeline calls in the driver's other subsystems: controller bring-up and media tuning
// (read recovery, the read-count policy, the lost-bus check), the diagnostics (register dumps),
// the device shell (reporting a failed device), the erase-block information and map, and the
// data log. Each subsystem stores its operations here at its initialisation and clears them at
// its exit; a NULL operation means the plain rule noted beside it. The pipeline reads each
// operation once per use.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

struct nand_dev;
struct velkor_request;

constexpr ULONG EB_ERROR_COUNTERS = 15;

struct pipeline_services {
    // Read recovery: run first on every retired request. 0 when it is not finished (it was
    // resubmitted or put on the Fail Q), non-zero when retirement goes on. NULL: finished.
    int (*read_recovery_complete)(nand_dev* channel, velkor_request* request);
    // Asked on every Nth counted page read of an erase block: 2 refresh the block, 1 sample this
    // read, 0 nothing. NULL: 0.
    int (*read_count_policy)(nand_dev* channel, USHORT eb, ULONG64 read_count);
    // The watchdog's check of the card's bus (fails the channel when a register reads all
    // ones). NULL: none.
    void (*check_lost_bus)(nand_dev* channel);

    // Register dumps of the diagnostics. NULL: no dump is taken.
    void (*csr_dump_request)(pipeline_device* card, int error, const char* reason, ULONG flags);
    void (*csr_dump)(nand_dev* channel);  // prints a dump that is ready

    // The device shell reports the card as failed to the framework (no restart); false when the
    // card has no device-shell record. NULL: no record.
    bool (*report_device_failed)(pipeline_device* card);

    // Erase-block information. The row capacity of an erase block: bytes one row holds across
    // the block's pads. NULL: pads x page size.
    ULONG64 (*eb_row_capacity)(nand_dev* channel, USHORT eb);
    // Bytes one row of the block holds on `pad` (0 for a pad out of use). NULL: page size.
    ULONG (*eb_pad_capacity)(nand_dev* channel, USHORT eb, ULONG pad);
    // The read-level value of a pad of the block; all ones for none. NULL: none.
    ULONG (*eb_pad_read_level)(nand_dev* channel, USHORT eb, ULONG pad);
    // An erase of the block completed: its state byte rises to at least 9 and the erase is noted.
    void (*eb_note_erase)(nand_dev* channel, USHORT eb);
    // Snapshots the block's error counters under the table's lock; returns its state byte.
    // NULL: state 0, counters clear.
    UCHAR (*eb_error_snapshot)(nand_dev* channel, USHORT eb, ULONG counters[EB_ERROR_COUNTERS]);
    // The block's data-randomizer seed (1..32766; 0 writes and reads it plain). NULL: 0.
    USHORT (*eb_seed)(nand_dev* channel, USHORT eb);
    // The lanes of `bank` that hold data in the block. NULL: every lane.
    ULONG (*eb_lane_mask)(nand_dev* channel, USHORT eb, ULONG bank);
    // The block's condition byte (NULL: 0), and its raise: a value is replaced only by a higher
    // one, or when it is 9 (blank). NULL: nothing.
    CHAR (*eb_condition)(nand_dev* channel, USHORT eb);
    void (*eb_raise_condition)(nand_dev* channel, USHORT eb, CHAR condition);
    // Sets bits of the block's flag word.
    void (*eb_set_flags)(nand_dev* channel, USHORT eb, ULONG bits);
    // Counts `reads` page reads of the block; returns its read count after them. NULL: not
    // counted (the read-count policy is not asked).
    ULONG64 (*eb_count_reads)(nand_dev* channel, USHORT eb, ULONG reads);

    // ORs pads (bits by pad index, as the error snapshot) into the block's retired pads. NULL:
    // nothing is kept.
    void (*eb_merge_pad_mask)(nand_dev* channel, USHORT eb, const ULONG words[EB_ERROR_COUNTERS]);
    // Raises the error level of one pad index of the block (keeping the highest). NULL: nothing.
    void (*eb_record_pad_error)(nand_dev* channel, USHORT eb, ULONG pad_index, UCHAR level);

    // The erase-block map: an erase block in its map finished a request.
    void (*mel_alert_leb)(nand_dev* channel, USHORT eb, int counters_set);

    // Controller bring-up's part of the channel's set-up and start. NULL: nothing to do and
    // success; without nand_controller_init the geometry stays as the caller filled it.
    int (*check_fpga_voltages)(nand_dev* channel);  // non-zero: out of range
    int (*nand_controller_init)(nand_dev* channel);
    void (*program_env_alarms)(nand_dev* channel);
    // The PCIe power monitor, thermal monitoring and the PCI counter snapshot.
    void (*channel_monitors_setup)(nand_dev* channel);
    int (*read_recovery_init)(nand_dev* channel);
    void (*read_recovery_free)(nand_dev* channel);
    void (*readlevel_free)(nand_dev* channel);
    void (*smp_thread_start)(nand_dev* channel);
    void (*smp_thread_stop)(nand_dev* channel);
    // Erase-block information (a failure puts the card in minimal mode).
    int (*ebinfo_init)(nand_dev* channel);
    void (*ebinfo_exit)(nand_dev* channel);
    // The management data's rle scan at start, and the per-bank bad-pad-mask chains built after
    // the management data was read (0, or the OR of the chains' statuses).
    int (*mgmt_data_rle_scan)(nand_dev* channel);
    int (*bad_pad_mask_chains)(nand_dev* channel);

    // The data log is in its hardware-failure mode. NULL: it is not.
    bool (*log_hardware_failed)(nand_dev* channel);
    // The environment monitor's handler of an environment event word (voltage, thermal, power
    // cut); check_spurious is 1 from the completion rings. NULL: the word is dropped.
    void (*env_interrupt)(nand_dev* channel, ULONG word, int check_spurious);

    // The data log's written position: an advance step closed `eb` (65535: none).
    void (*set_written_leb)(void* log, USHORT eb);
    // The chunked erase-block read's completion of a packet read (its argument in done_arg).
    void (*ebread_complete)(velkor_request* head, ULONG64 bytes, ULONG64 latency_us);
};

extern pipeline_services pipeline_service_table;

// The driver-wide register-dump request: set by the bug-check path and the control interface,
// served by the next submit or worker pass of any channel.
extern volatile LONG pav_dump_requested;

// Reads one operation of the table.
#define pipeline_service(operation) \
    ((decltype(pipeline_service_table.operation))ReadPointerAcquire((PVOID const volatile*)&pipeline_service_table.operation))
