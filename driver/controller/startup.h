// The controller start-up checks that decide, during probe, whether a card runs normally or in
// minimal mode, and the reasons of minimal mode.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

// Bits of minimal_mode_reasons; every reason sets bit 0 too.
constexpr ULONG PAV_MINIMAL = 0x1;
constexpr ULONG PAV_MINIMAL_FIRMWARE = 0x2;
constexpr ULONG PAV_MINIMAL_DUAL_PLANE = 0x4;
constexpr ULONG PAV_MINIMAL_FORCED = 0x10;
constexpr ULONG PAV_MINIMAL_MID_UNAVAILABLE = 0x200;
constexpr ULONG PAV_MINIMAL_UNSUPPORTED_NAND = 0x400;
constexpr ULONG PAV_MINIMAL_DRIVER_TOO_OLD = 0x800;
constexpr ULONG PAV_MINIMAL_SMP = 0x1000;
constexpr ULONG PAV_MINIMAL_CHANNEL = 0x2000;
constexpr ULONG PAV_MINIMAL_FALLBACK = 0x4000;
constexpr ULONG PAV_MINIMAL_NCE_OUT_OF_DATE = 0x8000;
constexpr ULONG PAV_MINIMAL_CALIBRATION = 0x10000;
constexpr ULONG PAV_MINIMAL_MID_INVALID = 0x20000;
constexpr ULONG PAV_MINIMAL_NCE_CORRUPT = 0x40000;
constexpr ULONG PAV_MINIMAL_ECC1_CORRUPT = 0x80000;

// Channel failure reason of a lost bus.
constexpr ULONG PAV_FAIL_LOST_BUS = 0x2000;

// 0 (the card is usable, normally or in minimal mode) or a negative errno that fails the probe.
int controller_startup_checks(pipeline_device* card);
int check_controller_kind(pipeline_device* card);
int check_firmware_version(pipeline_device* card);
// 0, -KPAV_EBUSY when the answer does not come, -KPAV_ENODEV without an out value.
int query_firmware_type(pipeline_device* card, ULONG* answer);
void check_lost_bus(pipeline_device* card);
void power_budget_init(pipeline_device* card);
// external_power_override as "name[:value],...": the item named `text` (NULL when none), its
// value after the colon in *value (NULL without a colon).
const char* option_list_lookup(const char* text, const char** value);

struct worn_range {
    USHORT start;
    USHORT count;
};
// Reports worn ranges that overlap the reduced block range; true when it found something.
bool check_worn_ranges(pipeline_device* card, const worn_range* ranges, ULONG count, USHORT reduced_base,
                       USHORT reduced_count);

// The status flags of the device status record for the card and its start result; *minimal is
// set when the card runs in minimal mode or its start ran out of memory.
ULONG translate_status_flags(const pipeline_device* card, int start_result, BOOLEAN* minimal);

// Fails the card's channel once (state 4) with a reason bit, taking a register dump first when
// asked: the running data channel when the card has one, else the card's own state.
void card_fail_channel(pipeline_device* card, bool dump, ULONG reason);
