#include "driver/controller/smp_targets.h"

#include "driver/controller/little_endian.h"
#include "driver/card/pipeline_device.h"
#include "driver/controller/pmp_internal.h"
#include "driver/controller/sensor_cache.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

void fill(pmp_address_record* record, const pmp_address* own, ULONG length, UCHAR unit) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    record->length = (UCHAR)length;
    RtlCopyMemory(record->path, own->bytes, length);
    record->unit = unit;
    record->kind = 1;
}

void print_version(const char* name, const char* kind, const char* which, const UCHAR* v) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((v[0] | v[1] | v[2] | v[3]) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: SMP %10s Microcode %s version %u.%u.%u %u\n", name, kind, which,
                   (unsigned)v[0], (unsigned)v[1], (unsigned)v[2], (unsigned)v[3]);
    }
}

}  // namespace

const char* smp_kind_name(ULONG kind) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    static const char* const names[] = {"controller", "fpga", "adapter", "torvo", "mezz"};
    return kind < ARRAYSIZE(names) ? names[kind] : "unknown";
}

void smp_print_versions(const UCHAR record[SMP_TARGET_RECORD_SIZE], const char* name) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const char* kind = smp_kind_name(record[SMP_TARGET_KIND]);
    print_version(name, kind, "APP ", record + SMP_TARGET_APP_VERSION);
    print_version(name, kind, "BOOT", record + SMP_TARGET_BOOT_VERSION);
}

void smp_record_targets(pipeline_device* card) {
    PAGED_CODE();
    pmp_client* pmp = card->pmp;
    if (pmp == nullptr) {
        return;
    }
    for (pmp_address_record& r : pmp->targets) {
        r = pmp_address_record{};
        r.kind = 1;
    }
    const pmp_address* own = &pmp->node.address;
    ULONG n = own->length;
    if (n == 0) {
        return;
    }
    fill(&pmp->targets[SMP_RECORD_FULL], own, n, 0);
    for (ULONG m = n - 1; m >= 1; m--) {
        const UCHAR* target = adc_target_record(card, m - 1);
        if (target == nullptr) {
            continue;
        }
        ULONG kind = target[SMP_TARGET_KIND];
        ULONG units = target[SMP_TARGET_UNITS];
        ULONG flags = le_get_u32(target + SMP_TARGET_FLAGS);
        if (kind == 0 && units != 0) {
            fill(&pmp->targets[SMP_RECORD_CONTROLLER], own, m, 0);
            for (ULONG unit = 1; unit < units && unit <= 3; unit++) {
                if ((target[SMP_TARGET_UNIT_MASK] & 1u << unit) != 0) {
                    fill(&pmp->targets[SMP_RECORD_UNIT + unit - 1], own, m, (UCHAR)unit);
                }
            }
        }
        if (kind == 2 && units != 0) {
            fill(&pmp->targets[SMP_RECORD_ADAPTER], own, m, 0);
        }
        if ((flags & SMP_FLAG_INDICATORS) != 0) {
            fill(&pmp->targets[SMP_RECORD_INDICATORS], own, m, 0);
        }
        if ((flags & SMP_FLAG_PCIE_SERIAL) != 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: SMP PCIe Serial Enabled\n", card->display_name);
        }
        smp_print_versions(target, card->display_name);
    }
}

const pmp_address_record* smp_address_record(const pipeline_device* card, ULONG index) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return card->pmp != nullptr && index < SMP_RECORDS ? &card->pmp->targets[index] : nullptr;
}
