// What the block devices call in the driver's control layer. The control layer stores its
// operations here at driver start and clears them at unload; a NULL operation answers as noted
// beside it. The block devices read each operation once per use.
#pragma once

#include "driver/platform/os.h"

struct bdev;
struct nand_dev;

struct bdev_control_ops {
    // The capability query of the card's control interface for `device` (NULL: the card's own
    // query). With from_user the record is a caller's buffer, copied in and out; otherwise a
    // kernel record used in place. NULL: -25.
    int (*capabilities_ioctl)(nand_dev* channel, bdev* device, void* record, int from_user);
};

extern bdev_control_ops bdev_control_services;
