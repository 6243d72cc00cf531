// The driver-wide list of running cards, guarded by one fast mutex.
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;

void pav_driver_list_init();
void pav_driver_list_add(pipeline_device* card);     // at the head
void pav_driver_list_remove(pipeline_device* card);
bool pav_driver_list_contains(pipeline_device* card);

using pav_card_function = int (*)(pipeline_device* card, void* argument);
// Calls `function` for each card in list order under a try-lock of the list mutex: -16 when the
// mutex is held, else the first non-zero result (0 when every call returned 0).
int pav_driver_list_for_each(pav_card_function function, void* ignored, void* argument);
