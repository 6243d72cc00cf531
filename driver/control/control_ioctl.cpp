#include "driver/control/control_ioctl.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

control_ioctl_fn control_ioctl_handler = nullptr;

int Control_ioctl(pipeline_device* card, ULONG number, void* buffer) {
    PAGED_CODE();
    control_ioctl_fn handler = control_ioctl_handler;
    return handler != nullptr ? handler(card, number, buffer) : -KPAV_ENOTTY;
}
