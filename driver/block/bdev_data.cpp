// The data block device's state, its operations that move no data, and its read-only mode.
#include "driver/block/bdev_data.h"

#include "driver/block/bdev_read.h"
#include "driver/block/mdt.h"
#include "driver/log/datalog.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"

namespace {

const char* const reason_names[BDEV_RO_REASONS] = {
    "none",          "user request", "no blocks",     "out of memory", "failed die",       "failed blocks",
    "power adapter", "assert",       "power limit",   "hardware failure", "excess failures", "thermal"};

struct feature_id {
    ULONG64 first;
    ULONG64 second;
};

bdev_data* data_of(bdev* device) {
    return (bdev_data*)device->owner;
}

}  // namespace

const bdev_ops bdev_data_ops = {
    bdev_open, bdev_release, bdev_ioctl,
    bdev_submit_read,
    bdev_submit_flush,
    bdev_submit_write,
    bdev_set_run_state, bdev_has_feature,
    nullptr,  // get_info
};

const char* bdev_ro_reason_name(ULONG reason) {
    return reason < BDEV_RO_REASONS ? reason_names[reason] : "none";
}

void bdev_data_init(bdev* device, bdev_data* data, mdt_context* mdt) {
    PAGED_CODE();
    RtlZeroMemory(data, sizeof *data);
    data->mdt = mdt;
    kpav_spinlock_init(&data->mode_lock, "write mode");
    kpav_state_init(&data->run_state, BDEV_RUN_ATTACHED);
    kpav_spinlock_init(&data->throttle_lock, "write throttle");
    kpav_cv_init(&data->throttle_cv, "write throttle");
    if (mdt != nullptr && mdt->log != nullptr) {
        data->reserve_unit = mdt->log->packets_per_leb;
    }
    device->owner = data;
    device->ops = &bdev_data_ops;
}

int bdev_open(bdev* device) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InterlockedIncrement(&data_of(device)->open_count);
    return 0;
}

int bdev_release(bdev* device) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InterlockedDecrement(&data_of(device)->open_count);
    return 0;
}

int bdev_has_feature(bdev* device, const void* id_bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    feature_id id;
    RtlCopyMemory(&id, id_bytes, sizeof id);
    if (id.first == 0x22424B06BF7D7E91ull && id.second == 0x115AD7217EF56EA2ull) {
        return 1;
    }
    if (id.first == 0xCC44FABB62A213E8ull && id.second == 0x3C7A85F91029B09Aull) {
        return data_of(device)->atomic_writes != 0 ? 1 : 0;
    }
    // {0xDF4EA978DA161967, 0xAEE08B0548505780} and every other id.
    return 0;
}

int bdev_set_run_state(bdev* device, ULONG request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_state* state = &data_of(device)->run_state;
    ULONG original = state->value;
    if (request == 1) {
        if (kpav_state_change(state, BDEV_RUN_RUNNING, 1, BDEV_RUN_ATTACHED) == 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Unable to set block device state to running. (original state %d)\n",
                       device->name, (int)original);
        }
    } else if (request == 2) {
        if (kpav_state_change(state, BDEV_RUN_QUIESCING, 1, BDEV_RUN_RUNNING) == 0 &&
            state->value != BDEV_RUN_TORN_DOWN) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Unable to set block device state to quiescing. (original state %d)\n",
                       device->name, (int)original);
        }
    }
    return -KPAV_ENOTTY;
}

void bdev_bracket(bdev* device, int starting) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const kpav_block_ops* ops = device->iface != nullptr ? device->iface->ops : nullptr;
    if (ops != nullptr && ops->bracket != nullptr) {
        ops->bracket(device, starting);
    }
}

ULONG bdev_write_mode(bdev* device) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return (ULONG)ReadNoFence((volatile LONG*)&data_of(device)->write_mode);
}

void bdev_update_read_only(bdev* device) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bdev_data* data = data_of(device);
    // Two recomputes at once could store a stale mode: one at a time.
    kpav_spin_lock(&data->mode_lock);
    LONG mode = 0;
    ULONG reason = 0;
    for (ULONG i = 0; i < BDEV_RO_REASONS; i++) {
        LONG level = ReadNoFence(&data->levels[i]);
        if (level > mode) {
            mode = level;
            reason = i;
        }
    }
    ULONG previous = data->write_mode;
    WriteNoFence((volatile LONG*)&data->write_mode, mode);
    data->mode_reason = reason;
    kpav_spin_unlock(&data->mode_lock);
    if ((ULONG)mode == BDEV_WRITE_READ_ONLY && previous != BDEV_WRITE_READ_ONLY) {
        kpav_print(KPAV_CLASS_WARNING, "WARNING: Entering read-only mode (%s).\n", bdev_ro_reason_name(reason));
    } else if ((ULONG)mode != BDEV_WRITE_READ_ONLY && previous == BDEV_WRITE_READ_ONLY) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Exiting read-only mode.\n", device->name);
    }
}

int bdev_clear_read_only(bdev* device) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (device == nullptr || device->owner == nullptr) {
        return -KPAV_ENODEV;
    }
    bdev_data* data = data_of(device);
    bool any = false;
    for (volatile LONG& level : data->levels) {
        if (InterlockedExchange(&level, 0) != 0) {
            any = true;
        }
    }
    if (any) {
        bdev_update_read_only(device);
    }
    return 0;
}
