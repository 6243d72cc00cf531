// What the pipeline calls in the driver's other subsystems: controller bring-up and media tuning
// (read recovery, the read-count policy, the lost-bus check), the diagnostics (register dumps),
// the device shell (reporting a failed device), the erase-block information and map, and the
// data log. Each subsystem stores its operations here at its initialisation and clears them at
// its exit; a NULL operation means the plain rule noted beside it. The pipeline reads each
// operation once per use.
#pragma once

#include "driver/controller/pipeline_device.h"
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
    // Sets bits of the block's flag word.
    void (*eb_set_flags)(nand_dev* channel, USHORT eb, ULONG bits);
    // Counts `reads` page reads of the block; returns its read count after them. NULL: not
    // counted (the read-count policy is not asked).
    ULONG64 (*eb_count_reads)(nand_dev* channel, USHORT eb, ULONG reads);

    // The erase-block map: an erase block in its map finished a request.
    void (*mel_alert_leb)(nand_dev* channel, USHORT eb, int counters_set);

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
