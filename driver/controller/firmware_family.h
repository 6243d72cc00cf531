// The firmware family record the card keeps in its memory: where the family header is (register
// 0x1248), the header's checks, and the 16 bytes of family information in the record it points to.
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;

struct firmware_family {
    UCHAR valid;      // the card has a family record location
    ULONG location;   // card address of the family header
    UCHAR info[16];
};

// 0 with the family information; 1 when the controller kind keeps no record, there is no
// location, a read fails or a header or record check fails (valid and location say how far it
// got). `select` is the card-memory window to read through. Below DISPATCH_LEVEL.
int read_firmware_family(pipeline_device* card, firmware_family* out, ULONG select);
