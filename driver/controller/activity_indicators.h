// The card's activity indicators, set through its management processor (command 10 to the target
// that carries them): indicator 1 says the card wants attention, 2 and 4 show write and read
// activity as levels. Settings are sent only when they change.
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;

constexpr UCHAR PMP_CMD_INDICATOR = 10;

// The channel's activity counters now (their low 32 bits) and whether it asks for attention
// (bit 0 of its software status).
struct pav_activity {
    ULONG bytes_written;
    ULONG bytes_read;
    ULONG erases;
    BOOLEAN channel_attention;
};

// Level of a byte count over the last interval: 0..235 up to 300,000,000, then up to 246.
ULONG activity_byte_level(ULONG bytes);
// Level of an erase count: 0..235 up to 300, then up to 246.
ULONG activity_erase_level(ULONG erases);

// Computes the three settings from the changes since the last call and the card's state (its
// saved-state word: none, 0 or attention: 1 0 0; 2, the beacon: 1 1 1) and sends those that
// changed. Settings are kept as sent only when all three went out. Without a link nothing
// happens. Below DISPATCH_LEVEL.
void activity_indicators_update(pipeline_device* card, const pav_activity* now);
