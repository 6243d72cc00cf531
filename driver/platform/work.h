// Deferred work at PASSIVE_LEVEL through a framework work item of the driver's device.
#pragma once

#include "driver/platform/os.h"

struct tavrin_work;
using tavrin_work_fn = void (*)(tavrin_work* work);

// Filled by the caller (function) and by tavrin_schedule_work (device). Embed it in the record
// the function works on and reach that record with CONTAINING_RECORD.
struct tavrin_work {
    tavrin_work_fn function;
    WDFDEVICE device;  // the device whose work item runs the function
};

// Runs work->function(work) once, at PASSIVE_LEVEL, on a system worker thread, through a work
// item of the driver's first device object. 0 when it is queued; -KPAV_ENODEV when the driver has
// no device ("Failed to enumerate device object during tavrin_schedule_work.", message 6167) and
// -KPAV_ENOMEM when no work item can be had ("Failed to create work item in tavrin_schedule_work.",
// message 6168): the function will then not run. At most APC_LEVEL.
int tavrin_schedule_work(tavrin_work* work);
