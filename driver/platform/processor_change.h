// Processor-change notifications: functions of the driver called for each processor added
// while it runs.
#pragma once

#include "driver/platform/os.h"

constexpr ULONG KPAV_PROCESSOR_ADDED = 1;
using kpav_processor_change_fn = void (*)(ULONG kind, ULONG cpu);

// `function(kind, cpu)` is called for each processor added (kind 1, also for those that exist
// when the first function is registered), at PASSIVE_LEVEL or APC_LEVEL: 0, or -KPAV_ENOMEM.
// PASSIVE_LEVEL.
int kpav_register_processor_change(kpav_processor_change_fn function);
void kpav_unregister_processor_change(kpav_processor_change_fn function);
