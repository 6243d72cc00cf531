// The driver-wide list of running cards, guarded by one fast mutex. The per-processor threads
// reach the cards through it (cpu_wq_hooks.h) once pav_driver_list_init has run.
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;

// Empties the list and offers it to the per-processor threads. PASSIVE_LEVEL.
void pav_driver_list_init();
// Withdraws the list from the per-processor threads (after their last use). PASSIVE_LEVEL.
void pav_driver_list_exit();
// At the head. At most APC_LEVEL, as the other list routines.
void pav_driver_list_add(pipeline_device* card);
void pav_driver_list_remove(pipeline_device* card);
bool pav_driver_list_contains(pipeline_device* card);

using pav_card_function = int (*)(pipeline_device* card, void* argument);
// Calls `function` for each card in list order under a try-lock of the list mutex: -16 when the
// mutex is held, else the first non-zero result (0 when every call returned 0).
int pav_driver_list_for_each(pav_card_function function, void* ignored, void* argument);
