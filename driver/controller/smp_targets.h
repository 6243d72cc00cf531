// The management processor's targets as the card uses them: eight address records naming the
// nodes whose key/value data (the manufacturing data) belongs to the card, and which node carries
// its indicators. The nodes are the ancestors of the card's own node; the sensor cache holds
// each one's target record (command 1).
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;

// A PMP target for key/value reads: its path (address), the unit (the key number) and a kind that
// must be 1.
struct pmp_address_record {
    UCHAR length;
    UCHAR path[8];
    UCHAR unit;
    UCHAR kind;
};

constexpr ULONG SMP_RECORDS = 8;
constexpr ULONG SMP_RECORD_FULL = 0;        // the card's own full path
constexpr ULONG SMP_RECORD_ADAPTER = 1;
constexpr ULONG SMP_RECORD_SECOND = 2;      // not filled from the target list
constexpr ULONG SMP_RECORD_CONTROLLER = 3;
constexpr ULONG SMP_RECORD_UNIT = 4;        // 4 to 6: the controller's units 1 to 3
constexpr ULONG SMP_RECORD_INDICATORS = 7;  // the target with flag 0x2000

// Target record (answer of command 1) fields.
constexpr ULONG SMP_TARGET_RECORD_SIZE = 39;
constexpr ULONG SMP_TARGET_KIND = 1;
constexpr ULONG SMP_TARGET_UNITS = 2;
constexpr ULONG SMP_TARGET_FLAGS = 3;
constexpr ULONG SMP_TARGET_UNIT_MASK = 7;
constexpr ULONG SMP_TARGET_PRESENT_MASK = 8;
constexpr ULONG SMP_TARGET_APP_VERSION = 9;
constexpr ULONG SMP_TARGET_BOOT_VERSION = 13;
constexpr ULONG SMP_FLAG_SET_B = 1u << 0;
constexpr ULONG SMP_FLAG_SET_A = 1u << 1;
constexpr ULONG SMP_FLAG_INDICATORS = 1u << 13;
constexpr ULONG SMP_FLAG_POWER_MONITOR = 1u << 14;
constexpr ULONG SMP_FLAG_FANS = 1u << 17;
constexpr ULONG SMP_FLAG_PCIE_SERIAL = 1u << 21;

// Fills the address records from the node's own path and the targets' records, printing each
// target's microcode versions. Without a link (or an address) every record stays empty.
// PASSIVE_LEVEL.
void smp_record_targets(pipeline_device* card);
// "SMP <kind> Microcode APP/BOOT version a.b.c d" for a target record's non-zero versions.
void smp_print_versions(const UCHAR record[SMP_TARGET_RECORD_SIZE], const char* name);
// Record `index`, NULL without a link.
const pmp_address_record* smp_address_record(const pipeline_device* card, ULONG index);
// "controller", "fpga", "adapter", "torvo", "mezz", or "unknown" for kinds 5 and above.
const char* smp_kind_name(ULONG kind);
