// What the card's bring-up calls in the subsystems that are built beside or after it: the data
// channel (pipeline set-up, start, stop and free, with the NAND controller initialisation), the
// card's kinfo nodes, its NV data and indicators, and the request caches.
//
// Each subsystem stores its operations here at its own init. An operation left NULL means the
// subsystem is not there yet, and the bring-up goes on as described beside each one.
#pragma once

#include "driver/controller/pipeline_device.h"
#include "driver/platform/os.h"

struct card_channel_ops {
    // Data channel. NULL: the card has no data channel; init and start answer 0 and nothing runs.
    int (*pipeline_init)(pipeline_device* card);   // 0 or a negative code (start-up check mapping)
    int (*pipeline_start)(pipeline_device* card);  // 0, -1030, -11 or another negative errno
    void (*pipeline_stop)(pipeline_device* card);
    void (*pipeline_free)(pipeline_device* card);  // safe on a partly initialised channel
    // Tells the store that owns the card that the device goes away (immediate: the other stop).
    void (*stop_notify)(pipeline_device* card, bool immediate);
    // Card kinfo directory and NV data; NULL: nothing is created (answers 0).
    int (*kinfo_create)(pipeline_device* card);
    void (*kinfo_remove)(pipeline_device* card);
    int (*nvdata_init)(pipeline_device* card);
    void (*nvdata_free)(pipeline_device* card);
    // The card's indicators after its saved state changed; the firmware archive lines.
    void (*refresh_indicators)(pipeline_device* card);
    void (*print_firmware_archive)(pipeline_device* card);
    // The request caches "velkor_request-strovane" and "tavrin_ioctx-strovane" (0 or -12, the second
    // cache's failure removing the first) and their removal; NULL: the pipeline is not there and
    // no caches are created.
    int (*request_caches_create)();
    void (*request_caches_destroy)();
    // Fails the card's running data channel: its requests end, it takes its register dump when
    // asked and the framework hears of it. NULL, or no channel yet: the card's own channel state
    // alone says it failed.
    void (*fail_channel)(pipeline_device* card, bool dump, ULONG reason);
    // The diagnostics' register dump of the card into its dump buffer, with its reason; NULL: no
    // dump is taken.
    void (*csr_dump_request)(pipeline_device* card, int error, const char* reason, ULONG flags);
};

extern card_channel_ops card_channel_hooks;
