// The driver's assertion: counted when it holds; when it fails the system stops with bug check
// 0xA0000000 (the source line in the third parameter), unless make_assert_nonfatal is set, in
// which case the failure is counted and reported and execution goes on.
#pragma once

#include "driver/platform/os.h"

constexpr ULONG KPAV_ASSERT_BUGCHECK = 0xA0000000u;

// Counted from every processor at once: read them with ReadNoFence.
extern volatile LONG kpav_assert_bad;
extern volatile LONG kpav_assert_good;

void kpav_assert_failed(int line);

#define kpav_assert(condition)                       \
    do {                                             \
        if (condition) {                             \
            InterlockedIncrement(&kpav_assert_good); \
        } else {                                     \
            kpav_assert_failed(__LINE__);            \
        }                                            \
    } while (0)

// The IRQL a routine expects, stated on its first line: the routine runs at `level` or below
// (`KPAV_IRQL_AT_MOST(DISPATCH_LEVEL)`: it may be called from a DPC or under a spin lock), or
// strictly below it (`KPAV_IRQL_BELOW(DISPATCH_LEVEL)`: it may wait). Code that must run at
// PASSIVE_LEVEL because it is pageable says PAGED_CODE() instead.
//
// A failure is an assertion failure like any other, but a check that holds is not counted:
// every routine makes one, and counting them would put an interlocked operation on one shared
// counter into every call of every hot path, and drown the count of the driver's own checks.
#define KPAV_IRQL_CHECK(holds)            \
    do {                                  \
        if (!(holds)) {                   \
            kpav_assert_failed(__LINE__); \
        }                                 \
    } while (0)
#define KPAV_IRQL_AT_MOST(level) KPAV_IRQL_CHECK(KeGetCurrentIrql() <= (level))
#define KPAV_IRQL_BELOW(level) KPAV_IRQL_CHECK(KeGetCurrentIrql() < (level))
