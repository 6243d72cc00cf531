// Time: tick count, system and interrupt time, performance counter and stalls, all taken from
// the machine clock (see control.h), so that tests can run the machine faster than real time.
#pragma once

#include "sim/kernel/types.h"

void KeQueryTickCount(PLARGE_INTEGER tick_count);
ULONG KeQueryTimeIncrement();
void KeQuerySystemTime(PLARGE_INTEGER system_time);        // 100 ns since 1601
void KeQuerySystemTimePrecise(PLARGE_INTEGER system_time);
ULONGLONG KeQueryInterruptTime();                           // 100 ns since boot
ULONGLONG KeQueryUnbiasedInterruptTime();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency);  // 10 MHz
// Busy-waits `microseconds` of machine time; allowed at any IRQL.
void KeStallExecutionProcessor(ULONG microseconds);
