#include "driver/platform/version.h"

#ifndef PAV_BUILD_REVISION
#define PAV_BUILD_REVISION "000000000000"
#endif

const char pav_version_string[] = PAV_RELEASE " Harnock@" PAV_BUILD_REVISION;
