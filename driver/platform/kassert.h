// The driver's assertion: counted when it holds; when it fails the system stops with bug check
// 0xA0000000 (the source line in the third parameter), unless make_assert_nonfatal is set, in
// which case the failure is counted and reported and execution goes on.
#pragma once

#include "driver/platform/os.h"

constexpr ULONG KPAV_ASSERT_BUGCHECK = 0xA0000000u;

extern ULONG kpav_assert_bad;
extern ULONG kpav_assert_good;

void kpav_assert_failed(int line);

#define kpav_assert(condition)            \
    do {                                  \
        if (condition) {                  \
            kpav_assert_good++;           \
        } else {                          \
            kpav_assert_failed(__LINE__); \
        }                                 \
    } while (0)
