// Little-endian fields of the byte records the controller reads and builds: the management
// processor's payloads, the manufacturing data, card memory.
#pragma once

#include "driver/platform/little_endian.h"
