#include "driver/control/ioctl_device.h"

#include "driver/control/control_codes.h"
#include "driver/control/control_ioctl.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

int ioctl_device(ULONG number, const control_record* record, pipeline_device* card) {
    PAGED_CODE();
    switch (number) {
    case PAV_IOCTL_LOCK_MODE:
        return lock_mode_operation(card, record);
    case PAV_IOCTL_NOP_39:
        return 0;
    default:
        // The register, environment, NAND, management-processor and firmware requests are not
        // served yet.
        return -KPAV_ENOTTY;
    }
}
