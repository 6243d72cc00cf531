// A partition's reference count.
#include "driver/block/vsu.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

int vsu_get(vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // Counted first, then the flag tested: whoever sets "going away" and then reads the count
    // either sees this reference or is seen here.
    InterlockedIncrement(&partition->refcount);
    if ((ReadAcquire(&partition->flags) & VSU_GOING_AWAY) != 0) {
        InterlockedDecrement(&partition->refcount);
        return -KPAV_ENXIO;
    }
    return 0;
}

void vsu_put(vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InterlockedDecrement(&partition->refcount);
}
