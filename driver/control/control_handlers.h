// The control requests that describe a card and the driver: identity, status, driver
// information, module parameters, the kinfo tree, capabilities, the NV data's odometer, UUID and
// format information, capacity, attach information, counters, the beacon, and PCI location,
// capabilities and configuration space. Each reads its arguments from the caller's record and
// answers in it (control_record.h).
//
// The card has no store yet (no data device, no NV data, no data log, no erase-block map): the
// requests that read those answer as the card without them does.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/control/control_record.h"
#include "driver/platform/os.h"

// Serves `number` when it is one of these requests (*served true): 0 or a negative errno.
// PASSIVE_LEVEL.
int control_handle(pipeline_device* card, ULONG number, const control_record* record, bool* served);

// The device status record (40 bytes, little-endian).
struct device_status_record {
    LONG request;          // 0 or below on entry
    ULONG state;           // attach state, 10 when the channel has failed
    ULONG fail_reason;     // the channel's failure reason, when it failed
    LONG progress;         // the owning log's progress, -1 without one
    ULONG attach_words[3];
    ULONG claim_type;      // 0 none, 1 the data device
    ULONG status_flags;
    ULONG minimal;
};
static_assert(sizeof(device_status_record) == 40);

// The driver information record (1072 bytes).
struct driver_info_record {
    ULONG mode;             // 2 in minimal mode (or a start out of memory), else 1
    ULONG interface_level;  // 125
    ULONG reserved8[3];
    ULONG major, minor, micro, build;
    UCHAR eb_map;           // 1 when the card has an erase-block map
    UCHAR reserved37[3];
    ULONG reserved40[2];
    char version[1024];
};
static_assert(sizeof(driver_info_record) == 1072);

// Fills offsets 4-28 of a status record: 0, or -KPAV_EINVAL when the owner's progress failed.
int fill_device_status(device_status_record* record, pipeline_device* card);
// Fills a zeroed driver information record except offset 0.
void fill_driver_info(driver_info_record* record, pipeline_device* card);
