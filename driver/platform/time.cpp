#include "driver/platform/time.h"

#include "driver/platform/kassert.h"

namespace {
constexpr ULONG units_per_second = 10000000;  // 100 ns units
constexpr ULONG usecs_per_second = 1000000;
}  // namespace

ULONGLONG kpav_get_usecs() {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return (ULONGLONG)ticks.QuadPart * KeQueryTimeIncrement() / 10;
}

ULONG kpav_usecs_per_tick(ULONG increment) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    ULONG ticks_per_second = increment != 0 ? units_per_second / increment : 0;
    if (ticks_per_second == 0) {
        // A tick of a second or more (or none): no whole number of ticks per second to divide by.
        return increment / 10;
    }
    return usecs_per_second / ticks_per_second;
}

ULONGLONG kpav_ticks_to_usecs(ULONGLONG ticks) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return (ULONGLONG)kpav_usecs_per_tick(KeQueryTimeIncrement()) * ticks;
}
