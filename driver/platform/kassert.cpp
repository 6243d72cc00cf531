#include "driver/platform/kassert.h"

#include "driver/platform/log.h"
#include "driver/platform/params.h"

volatile LONG kpav_assert_bad = 0;
volatile LONG kpav_assert_good = 0;

void kpav_assert_failed(int line) {
    if (make_assert_nonfatal == 0) {
        KeBugCheckEx(KPAV_ASSERT_BUGCHECK, 0, 0, (ULONG_PTR)line, 0);
    }
    kpav_print(KPAV_CLASS_NORMAL, "ASSERT STATISTICS: %d bad, %d good\n", (int)ReadNoFence(&kpav_assert_bad),
               (int)ReadNoFence(&kpav_assert_good));
    InterlockedIncrement(&kpav_assert_bad);
}
