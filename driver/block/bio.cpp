// Submission, completion, waiting and accounting of bio chains; the driver's bio start.
#include "driver/block/bio.h"

#include "driver/block/devstats.h"
#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/numa.h"
#include "driver/platform/time.h"

extern kpav_cache bio_cache;

kpav_block_interface kpav_block_interfaces[KPAV_BLOCK_INTERFACES];

namespace {

constexpr ULONG MSG_UNKNOWN_BIO = 18462;
constexpr ULONG MSG_UNKNOWN_BIO_TYPE = 18463;
constexpr ULONG MSG_BIO_DUMP = 18464;

// What a chain holds by command.
struct chain_counts {
    ULONG64 sectors;
    ULONG64 write_bios;
    ULONG64 write_sectors;
    ULONG64 discard_bios;
    ULONG64 discard_sectors;
};

chain_counts count_chain(const bio* first) {
    chain_counts c{};
    for (const bio* b = first; b != nullptr; b = b->next) {
        c.sectors += b->count;
        if (b->command == BIO_WRITE) {
            c.write_bios++;
            c.write_sectors += b->count;
        } else if (b->command == BIO_DISCARD) {
            c.discard_bios++;
            c.discard_sectors += b->count;
        }
    }
    return c;
}

const kpav_block_ops* ops_of(const bdev* device) {
    return device->iface != nullptr ? device->iface->ops : nullptr;
}

void io_hook(bdev* device, int direction, ULONG64 in_flight) {
    const kpav_block_ops* ops = ops_of(device);
    if (ops != nullptr && ops->io != nullptr) {
        ops->io(device, direction, in_flight);
    }
}

void completion_hook(bdev* device, int direction, ULONG64 bytes, ULONG64 microseconds) {
    const kpav_block_ops* ops = ops_of(device);
    if (ops != nullptr && ops->completion != nullptr) {
        ops->completion(device, direction, bytes, microseconds);
    }
}

ULONG64* cpu_counter(bdev* device, bdev_cpu_counter which) {
    ULONG cpu = kpav_current_cpu();
    return cpu < device->cpu_slots ? &device->per_cpu[which][cpu] : nullptr;
}

void count_cpu(bdev* device, bdev_cpu_counter which, ULONG64 n) {
    ULONG64* counter = cpu_counter(device, which);
    if (counter != nullptr) {
        *counter += n;
    }
}

// A device without the operation (a data device whose data path is not there) ends the chain.
int submit_to(int (*operation)(bdev*, bio*), bdev* device, bio* first) {
    if (operation == nullptr) {
        bio_endio(first, -KPAV_EOPNOTSUPP);
        return -KPAV_EOPNOTSUPP;
    }
    return operation(device, first);
}

// What a submission counts in flight on the device (sign 1), or takes back (sign -1).
void count_in_flight(bdev* device, ULONG command, const chain_counts& c, LONG64 sign) {
    auto n = [sign](ULONG64 v) { return (ULONG64)((LONG64)v * sign); };
    kpav_spin_lock(&device->counter_lock);
    switch (command) {
    case BIO_READ:
        device->reads_in_flight += n(1);
        io_hook(device, 0, device->reads_in_flight);
        break;
    case BIO_WRITE:
    case BIO_DISCARD:
        device->writes_in_flight += n(c.write_bios);
        device->write_sectors_in_flight += n(c.write_sectors);
        device->discards_in_flight += n(c.discard_bios);
        io_hook(device, 1, device->writes_in_flight + device->discards_in_flight);
        break;
    case BIO_FLUSH:
        device->writes_in_flight += n(1);
        io_hook(device, 1, device->writes_in_flight + device->discards_in_flight);
        break;
    default:
        break;
    }
    kpav_spin_unlock(&device->counter_lock);
}

}  // namespace

void bio_end_deferred(cpu_wq_deferred_bio* deferred, int status) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bio_endio(CONTAINING_RECORD(deferred, bio, deferred), status);
}

ULONG64 bio_chain_sectors(const bio* first) {
    return count_chain(first).sectors;
}

int kpav_bio_init(const kpav_block_ops* disk_ops) {
    PAGED_CODE();
    for (kpav_block_interface& entry : kpav_block_interfaces) {
        entry.kind = KPAV_BLOCK_UNUSED;
        entry.ops = nullptr;
    }
    int rc = __kpav_create_cache(&bio_cache, "kpav_bio-strovane", sizeof(bio));
    if (rc != 0) {
        return rc;
    }
    if (disk_ops != nullptr) {
        kpav_block_interfaces[KPAV_BLOCK_DISK_ENTRY].kind = KPAV_BLOCK_WINDOWS_DISK;
        kpav_block_interfaces[KPAV_BLOCK_DISK_ENTRY].ops = disk_ops;
    }
    return 0;
}

void kpav_bio_exit() {
    PAGED_CODE();
    kpav_destroy_cache(&bio_cache);
    for (kpav_block_interface& entry : kpav_block_interfaces) {
        entry.kind = KPAV_BLOCK_UNUSED;
        entry.ops = nullptr;
    }
}

namespace {

// A chain its device handed back unfinished for a retry (-28 no room yet, -16 throttled) is not
// in flight on that device: its count is taken back, so that the submitter's retry counts it once.
int handed_back(bdev* device, bio* first, const chain_counts& c, int rc) {
    if (rc == -KPAV_ENOSPC || rc == -KPAV_EBUSY) {
        count_in_flight(device, first->command, c, -1);
        InterlockedAnd(&first->flags, ~BIO_IN_FLIGHT);
    }
    return rc;
}

}  // namespace

int bdev_submit_bio(bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bdev* device = first->target;
    chain_counts c = count_chain(first);
    InterlockedOr(&first->flags, BIO_IN_FLIGHT);
    switch (first->command) {
    case BIO_READ:
        count_in_flight(device, first->command, c, 1);
        if (c.sectors == 0) {
            bio_endio(first, 0);
            return 0;
        }
        return handed_back(device, first, c, submit_to(device->ops->submit_read, device, first));
    case BIO_WRITE:
    case BIO_DISCARD:
        count_in_flight(device, first->command, c, 1);
        if (c.sectors == 0) {
            bio_endio(first, 0);
            return 0;
        }
        return handed_back(device, first, c, submit_to(device->ops->submit_write, device, first));
    case BIO_FLUSH:
        count_in_flight(device, first->command, c, 1);
        return handed_back(device, first, c, submit_to(device->ops->submit_flush, device, first));
    default:
        kpav_syslog(KPAV_LEVEL_ERROR, device->name, MSG_UNKNOWN_BIO, "Unknown bio\n");
        bio_dump_chain(first);
        bio_endio(first, -KPAV_EINVAL);
        return -KPAV_EINVAL;
    }
}

void bio_end_handed_back(bdev* device, bio* first, int status) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InterlockedOr(&first->flags, BIO_IN_FLIGHT);
    count_in_flight(device, first->command, count_chain(first), 1);
    bio_endio(first, status);
}

void bio_endio(bio* first, int status) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InterlockedAnd(&first->flags, ~BIO_IN_FLIGHT);
    first->status = status;
    ULONG64 now = kpav_get_usecs();
    ULONG64 microseconds = now > first->start_us ? now - first->start_us : 0;
    bdev* target = first->target;
    bdev* origin = first->origin;
    bdev_io_account(target, first, status, microseconds);
    if (origin != nullptr && origin != target) {
        bdev_io_account(origin, first, status, microseconds);
    }
    if (first->callback != nullptr) {
        first->callback(first, (ULONG64)target->sector_size * bio_chain_sectors(first), status);
        if ((ReadNoFence(&first->flags) & BIO_CALLBACK_OWNS) != 0) {
            return;
        }
    }
    if ((ReadNoFence(&first->flags) & BIO_SYNC) != 0) {
        // The waiter may free the bio as soon as it sees "done": wake it under its lock.
        kpav_spin_lock(&origin->wait_lock);
        InterlockedOr(&first->flags, BIO_DONE);
        kpav_cv_broadcast(&origin->wait_queue);
        kpav_spin_unlock(&origin->wait_lock);
        return;
    }
    bio_free_chain(first);
}

int bio_wait(bio* b) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    bdev* origin = b->origin;
    kpav_spin_lock(&origin->wait_lock);
    while ((ReadNoFence(&b->flags) & BIO_DONE) == 0) {
        kpav_cv_timedwait(&origin->wait_queue, &origin->wait_lock, KPAV_NO_TIMEOUT, false);
    }
    kpav_spin_unlock(&origin->wait_lock);
    return b->status;
}

void bdev_io_account(bdev* device, bio* first, int status, ULONG64 microseconds) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    devstats* stats = device->stats;
    ULONG64 ticks = stats != nullptr && stats->enabled != 0 ? kpav_read_tsc() - first->start_tsc : 0;
    chain_counts c = count_chain(first);
    ULONG high = 0;
    switch (first->command) {
    case BIO_READ: {
        ULONG64 bytes = 0;
        kpav_spin_lock(&device->counter_lock);
        device->reads_in_flight--;
        count_cpu(device, BDEV_CPU_READS, 1);
        if (status == 0) {
            bytes = (ULONG64)device->sector_size * c.sectors;
            device->read_bytes += bytes;
            device->read_mappings += first->read_mappings;
        }
        high = devstats_record(stats, BIO_READ, bytes, status, ticks);
        io_hook(device, 0, device->reads_in_flight);
        kpav_spin_unlock(&device->counter_lock);
        if (high != 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: We have now had %u reads with high durations\n", device->name, high);
        }
        completion_hook(device, 0, bytes, microseconds);
        return;
    }
    case BIO_WRITE:
    case BIO_DISCARD: {
        ULONG64 bytes = 0;
        kpav_spin_lock(&device->counter_lock);
        device->writes_in_flight -= c.write_bios;
        device->write_sectors_in_flight -= c.write_sectors;
        device->discards_in_flight -= c.discard_bios;
        count_cpu(device, BDEV_CPU_WRITES, c.write_bios);
        device->discards_completed += c.discard_bios;
        device->discard_sectors += c.discard_sectors;
        if (status == 0) {
            bytes = (ULONG64)device->sector_size * c.write_sectors;
            device->write_bytes += bytes;
        }
        high = devstats_record(stats, first->command, first->command == BIO_WRITE ? bytes : 0, status, ticks);
        io_hook(device, 1, device->writes_in_flight + device->discards_in_flight);
        kpav_spin_unlock(&device->counter_lock);
        if (high != 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: We have now had %u %s with high durations\n", device->name, high,
                       first->command == BIO_WRITE ? "writes" : "discards");
        }
        if (c.write_bios != 0) {
            completion_hook(device, 1, bytes, microseconds);
        }
        return;
    }
    case BIO_FLUSH:
        kpav_spin_lock(&device->counter_lock);
        device->writes_in_flight--;
        count_cpu(device, BDEV_CPU_WRITES, 1);
        io_hook(device, 1, device->writes_in_flight + device->discards_in_flight);
        kpav_spin_unlock(&device->counter_lock);
        return;
    default:
        if (status != -KPAV_EINVAL) {
            kpav_syslog(KPAV_LEVEL_ERROR, device->name, MSG_UNKNOWN_BIO_TYPE, "Unknown bio type %d\n",
                        (int)first->command);
            bio_dump_chain(first);
        }
        return;
    }
}

void bio_dump_chain(bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const char* component = first->target != nullptr ? first->target->name : nullptr;
    int i = 0;
    for (bio* b = first; b != nullptr; b = b->next, i++) {
        kpav_syslog(KPAV_LEVEL_ERROR, component, MSG_BIO_DUMP,
                    "bio %d - cmd: %d, flags: 0x%x, cpu: %d, base: %llu, length: %llu\n", i, (int)b->command,
                    (unsigned)b->flags, (int)b->cpu, b->base, b->count);
    }
}
