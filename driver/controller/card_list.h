// The driver-wide list of running cards, guarded by one fast mutex. The per-processor threads
// reach the cards through it (the card walk of their operations, cpu_wq_ops.h).
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;

// Empties the list. PASSIVE_LEVEL.
void pav_driver_list_init();
// At the head. At most APC_LEVEL, as the other list routines.
void pav_driver_list_add(pipeline_device* card);
void pav_driver_list_remove(pipeline_device* card);
bool pav_driver_list_contains(pipeline_device* card);

using pav_card_function = int (*)(pipeline_device* card, void* argument);
// Calls `function` for each card in list order under a try-lock of the list mutex: -KPAV_EBUSY when
// the mutex is held, else the first non-zero result (0 when every call returned 0).
int pav_driver_list_for_each(pav_card_function function, void* ignored, void* argument);
// The same, as the per-processor threads walk the cards (cpu_wq_ops::for_each_card).
int pav_driver_list_walk(pav_card_function function, void* argument);
