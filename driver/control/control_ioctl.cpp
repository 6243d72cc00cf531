#include "driver/control/control_ioctl.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

int Control_ioctl(pipeline_device* card, ULONG number, void* buffer) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(card);
    UNREFERENCED_PARAMETER(number);
    UNREFERENCED_PARAMETER(buffer);
    return -KPAV_ENOTTY;
}
