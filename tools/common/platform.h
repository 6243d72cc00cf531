// What the console programs are written against: Win32 and the Microsoft C runtime. On Windows
// these are the system's headers; on this machine the stand-in provides the same calls, which
// reach the simulated machine.
#pragma once

#if defined(_WIN32)
#include <fcntl.h>
#include <stdlib.h>
#include <windows.h>
#else
#include "sim/win32/crt.h"
#include "sim/win32/win32.h"
#endif
