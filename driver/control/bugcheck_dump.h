// The crash-dump data of a card: when the system stops, the kernel asks each registered card
// for secondary dump data, and the card gives the driver's build banner and its identity, or
// (when register dumps are enabled) its register dump.
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;

constexpr size_t KPAV_BUGCHECK_TEXT_SIZE = 256;

// One per card, embedded in the card's function-device record.
struct kpav_bugcheck_record {
    KBUGCHECK_REASON_CALLBACK_RECORD reason_record;
    BOOLEAN registered;
    GUID dump_guid;
    char text[KPAV_BUGCHECK_TEXT_SIZE];
    pipeline_device* card;
};

// The driver's dump GUID; each registration takes the current value and then moves the third
// field on, so that every card's data has its own GUID.
extern GUID kpav_bugcheck_dump_guid;

// At device start and stop. PASSIVE_LEVEL.
void kpav_register_bugcheck_callback(kpav_bugcheck_record* record, pipeline_device* card);
void kpav_deregister_bugcheck_callback(kpav_bugcheck_record* record);
// The kernel's call as the system stops, at HIGH_LEVEL: formats only into memory allocated before.
KBUGCHECK_REASON_CALLBACK_ROUTINE kpav_bugcheck_dump_callback;
