// The driver's version: release 4.2.2 build 1144, and the revision the build was made from.
#pragma once

#define PAV_RELEASE "4.2.2.1144"
#define PAV_VERSION_MAJOR 4
#define PAV_VERSION_MINOR 2
#define PAV_VERSION_MICRO 2
#define PAV_VERSION_BUILD 1144

// The level of the driver's request interface that identity and status records report.
#define PAV_INTERFACE_LEVEL 125

// "4.2.2.1144 Harnock@" and the build's 12-hex-digit revision id.
extern const char pav_version_string[];
