#include "driver/controller/startup.h"

#include "driver/controller/card.h"
#include "driver/card/csr_dump.h"
#include "driver/card/hw_reset.h"
#include "driver/controller/card_services.h"
#include "driver/controller/mid.h"
#include "driver/controller/pmp_client.h"
#include "driver/controller/sensor_cache.h"
#include "driver/controller/smp_targets.h"
#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/pci.h"
#include "driver/platform/thread.h"
#include "driver/platform/time.h"

pav_saved_state* pav_saved_state_find(ULONG64 key, bool create, bool* existed);

namespace {

constexpr ULONG csr_control = 0x1000;
constexpr ULONG csr_fwtype_answer = 0x10B0;
constexpr ULONG csr_fwtype_query = 0x10D0;
constexpr ULONG csr_kind = 0x1200;
constexpr ULONG csr_cap_a = 0x1204;
constexpr ULONG csr_fw_version = 0x1208;
constexpr ULONG csr_build = 0x120C;
constexpr ULONG fw_minimum = 0x801C11;  // 8.7.17
constexpr ULONG fw_limit = 0x802800;    // 8.10.0

void announce(pipeline_device* card, const char* text) {
    kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12313, "MINIMAL MODE DRIVER: %s.\n", text);
}

void announce_number(pipeline_device* card, const char* text, int number) {
    kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12312, "MINIMAL MODE DRIVER: %s (%d).\n", text, number);
}

ULONG major_of(ULONG v) {
    return v >> 20 & 0x3FF;
}
ULONG minor_of(ULONG v) {
    return v >> 10 & 0x3FF;
}
ULONG micro_of(ULONG v) {
    return v & 0x3FF;
}

// The management processor, its sensor cache and the manufacturing data behind them.
void management_processor(pipeline_device* card) {
    bool link = false;
    bool sensors = false;
    if ((csr_read(card->csr, csr_cap_a) & 1u << 28) != 0 && pmp_link_start(card) == 0) {
        link = true;
        card->smp_link_open = TRUE;
        if (adc_cache_init(card) == 0) {
            sensors = true;
            card->sensor_cache_ready = TRUE;
        }
        smp_record_targets(card);
    }
    if (link && sensors) {
        if (load_mid(card) != 0) {
            announce(card, "MID data unavailable");
            card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_MID_UNAVAILABLE;
        }
        if ((card->minimal_mode_reasons & PAV_MINIMAL_DRIVER_TOO_OLD) != 0) {
            announce(card, "Driver does not support this version of firmware");
        } else if ((card->minimal_mode_reasons & (PAV_MINIMAL_MID_INVALID | PAV_MINIMAL_UNSUPPORTED_NAND)) != 0) {
            announce(card, "Invalid manufacturing configuration data, contact customer support");
        }
        return;
    }
    announce(card, "Unable to communicate with SMP");
    card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_SMP;
}

// A channel initialisation result as a minimal-mode reason; the result is then 0.
int map_channel_result(pipeline_device* card, int rc) {
    if (rc >= 0) {
        return rc;
    }
    struct mapping {
        int result;
        ULONG reason;
        const char* text;
    };
    static const mapping table[] = {
        {-4, PAV_MINIMAL_DUAL_PLANE, "Dual plane mode failed"},
        {-1024, PAV_MINIMAL_UNSUPPORTED_NAND, "Unsupported NAND"},
        {-4096, PAV_MINIMAL_SMP, "Hardware failure"},
        {-32768, PAV_MINIMAL_NCE_OUT_OF_DATE, "NCE Microcode out of date"},
        {-65536, PAV_MINIMAL_CALIBRATION, "Missing calibration"},
        {-262144, PAV_MINIMAL_NCE_CORRUPT, "NCE microcode corrupted"},
        {-524288, PAV_MINIMAL_ECC1_CORRUPT, "ECC1 microcode corrupted"},
    };
    for (const mapping& m : table) {
        if (m.result == rc) {
            announce(card, m.text);
            card->minimal_mode_reasons |= PAV_MINIMAL | m.reason;
            return 0;
        }
    }
    announce_number(card, "General channel initialization failure", rc);
    card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_CHANNEL;
    return 0;
}

// The adapter's saved-state record: the first controller of an adapter is its power-monitor
// master.
void adapter_saved_state(pipeline_device* card) {
    card->power_master = TRUE;
    bool existed = false;
    pav_saved_state* record = pav_saved_state_find(card->card_key, true, &existed);
    if (existed || record == nullptr) {
        card->power_master = FALSE;
    }
    card->saved_record = record;
    card->saved_state_tail = record != nullptr ? &((ULONG*)record)[5] : nullptr;
}

void adapter_state_attach(pipeline_device* card) {
    pav_saved_state* record = card->saved_record;
    card->saved_state = record != nullptr ? &((ULONG*)record)[1] : nullptr;
    card->last_start_us = kpav_get_usecs();
    if (card->saved_state != nullptr) {
        *card->saved_state = 1;
    }
}

}  // namespace

void card_fail_channel(pipeline_device* card, bool dump, ULONG reason) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (card->channel_state == 4) {
        return;
    }
    if (card->nand != nullptr) {
        card->channel_state = 4;
        card->fail_reason |= reason;
        fail_card_channel(card, dump, reason);  // the channel takes the dump and says why
        return;
    }
    if (dump) {
        csr_dump_request(card, 1, "Failing channel.", 1);
    }
    card->channel_state = 4;
    card->fail_reason |= reason;
    kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, KPAV_NO_MESSAGE_ID, "Failing channel (%u).\n", reason);
}

int check_controller_kind(pipeline_device* card) {
    PAGED_CODE();
    ULONG word = csr_read(card->csr, csr_kind);
    if (word == 0xFFFFFFFF) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Startup detected lost bus enumeration.\n", card->display_name);
        card->bus_present = FALSE;
        card_fail_channel(card, true, PAV_FAIL_LOST_BUS);
        return -KPAV_EINVAL;
    }
    card->bus_present = TRUE;
    ULONG kind = word & 0x7F;
    const char* family = nullptr;
    switch (kind) {
        case 2: card->generation = 1; family = "Kelvo"; break;
        case 3: card->generation = 2; family = "Moxra"; break;
        case 4: card->generation = 5; family = "Dreel"; break;
        case 5: card->generation = 4; return 0;
        case 6: card->generation = 6; family = "Fenwa"; break;
        case 7: card->generation = 3; return 0;
        default: break;
    }
    if (family != nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: %s hardware not supported by this driver.\n", card->display_name, family);
    } else {
        kpav_print(KPAV_CLASS_NORMAL, "%s: U 0x%08x hardware not supported by this driver.\n", card->display_name,
                   word);
    }
    if (kind != 0) {
        announce_number(card, "Controller hardware not supported by this driver", (int)kind);
    } else {
        announce(card, "Controller hardware not supported by this driver");
    }
    card->minimal_mode_reasons |= PAV_MINIMAL;
    return -KPAV_EINVAL;
}

int query_firmware_type(pipeline_device* card, ULONG* answer) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (answer == nullptr) {
        return -KPAV_ENODEV;
    }
    csr_write(card->csr, csr_fwtype_query, 0x116);
    for (ULONG poll = 0; poll < 1000000; poll++) {
        if ((csr_read(card->csr, csr_fwtype_query) & 0x200) != 0) {
            *answer = csr_read(card->csr, csr_fwtype_answer);
            return 0;
        }
        KeStallExecutionProcessor(1);
    }
    return -KPAV_EBUSY;
}

int check_firmware_version(pipeline_device* card) {
    PAGED_CODE();
    ULONG build = csr_read(card->csr, csr_build);
    if (build > 0x3FFFFFFF) {
        kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12292,
                    "ERROR: The PAV firmware is a poisoned version - Internal use only! ver = 0x%08X.\n", build);
        return -1;
    }
    ULONG v = csr_read(card->csr, csr_fw_version);
    card->fw_version = v;
    card->fw_major = major_of(v);
    card->fw_minor = minor_of(v);
    card->fw_micro = micro_of(v);
    card->fw_version_read = TRUE;
    if (v < fw_minimum) {
        kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12293,
                    "Minimum firmware version supported is %d.%d.%d. Current firmware version is %d.%d.%d.\n",
                    (int)major_of(fw_minimum), (int)minor_of(fw_minimum), (int)micro_of(fw_minimum), (int)major_of(v),
                    (int)minor_of(v), (int)micro_of(v));
        return -1;
    }
    if (v >= fw_limit) {
        kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12294,
                    "Unsupported firmware version %d.%d.%d detected, version must be less than %d.%d.%d.\n",
                    (int)major_of(v), (int)minor_of(v), (int)micro_of(v), (int)major_of(fw_limit),
                    (int)minor_of(fw_limit), (int)micro_of(fw_limit));
        return -1;
    }
    return 0;
}

void check_lost_bus(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (card->bus_present && csr_read(card->csr, csr_build) == 0xFFFFFFFF) {
        kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12319, "Detected lost bus enumeration.\n");
        card->bus_present = FALSE;
        card_fail_channel(card, true, PAV_FAIL_LOST_BUS);
    }
}

const char* option_list_lookup(const char* text, const char** value) {
    *value = nullptr;
    size_t length = 0;
    while (text != nullptr && text[length] != 0) {
        length++;
    }
    if (length == 0 || external_power_override[0] == 0) {
        return nullptr;
    }
    for (const char* item = external_power_override; *item != 0;) {
        size_t end = 0;
        while (item[end] != 0 && item[end] != ',') {
            end++;
        }
        size_t name = 0;
        while (name < end && item[name] != ':') {
            name++;
        }
        if (name == length && RtlCompareMemory(item, text, length) == length) {
            *value = name < end ? item + name + 1 : nullptr;
            return item;
        }
        item += end;
        if (*item == ',') {
            item++;
        }
    }
    return nullptr;
}

namespace {

void power_override_lookup(pipeline_device* card) {
    const char* value = nullptr;
    if (option_list_lookup(card->adapter_serial, &value) == nullptr) {
        return;
    }
    if (value == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Adapter External Power Override for %s: invalid - no value specified\n",
                   card->display_name, card->adapter_serial);
        card->power_override = FALSE;
        return;
    }
    const char* end = nullptr;
    ULONG mw = (ULONG)kpav_strtoul(value, &end, 10);
    char shown[32];
    size_t n = 0;
    while (value[n] != 0 && value[n] != ',' && n + 1 < sizeof shown) {
        shown[n] = value[n];
        n++;
    }
    shown[n] = 0;
    if (mw == 0 || end == value || (*end != 0 && *end != ',')) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Adapter External Power Override for %s: invalid - value = '%s'\n",
                   card->display_name, card->adapter_serial, shown);
        card->power_override = FALSE;
        return;
    }
    if (mw < 100) {
        kpav_print(KPAV_CLASS_NORMAL,
                   "%s: PCIe Adapter External Power Override %u needs to be specified in mWatts - converting to "
                   "%umWatts\n",
                   card->display_name, mw, mw * 1000);
        mw *= 1000;
    }
    card->power_limit_mw = (LONG)mw;
    card->power_override = TRUE;
    kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Adapter External Power Override for %s: %dmwatts\n", card->display_name,
               card->adapter_serial, (int)mw);
}

}  // namespace

void power_budget_init(pipeline_device* card) {
    PAGED_CODE();
    if (card->product_min_power_mw == 0) {
        card->product_min_power_mw = 13000;
    }
    if (card->product_max_throttle_mw != 0 && card->product_max_throttle_mw < card->product_min_power_mw) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Product maximum throttle point below static limit.  Resetting throttle point.\n",
                   card->display_name);
        card->product_max_throttle_mw = card->product_min_power_mw;
    }
    card->external_power_required = FALSE;
    // Throttling applies when the sensor cache knows a power-throttling target.
    const pmp_address* monitor = adc_power_monitor(card);
    card->throttling_applicable = monitor != nullptr && monitor->length >= 1 && monitor->length <= PMP_ADDRESS_MAX;
    pcie_summary caps{};
    ULONG slot_mw = 0;
    if (card->pdev != nullptr && pcie_read_caps(card->pdev, &caps) == 0) {
        slot_mw = caps.slot_power_mw;
    }
    if (slot_mw == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Slot reported power limit: Unknown\n", card->display_name);
    } else {
        kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Slot reported power limit: %umWatts\n", card->display_name, slot_mw);
        if (slot_mw < card->product_min_power_mw) {
            kpav_print(KPAV_CLASS_NORMAL,
                       "%s: Warning! PCIe Slot reported power %umWatts is less than product minimum power %umWatts\n",
                       card->display_name, slot_mw, card->product_min_power_mw);
        }
    }
    if (global_slot_power_limit_mw > 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Global Slot power limit override: %umWatts\n", card->display_name,
                   (ULONG)global_slot_power_limit_mw);
    }
    power_override_lookup(card);
    if (card->power_limit_mw <= 0) {
        card->power_limit_mw = global_slot_power_limit_mw > 0 ? global_slot_power_limit_mw
                               : slot_mw != 0                 ? (LONG)slot_mw
                                                              : 25000;
    }
    if ((ULONG)card->power_limit_mw < card->product_min_power_mw) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Adapter power limit %umWatts less than product minimum power %umWatts!\n",
                   card->display_name, (ULONG)card->power_limit_mw, card->product_min_power_mw);
        card->power_limit_mw = (LONG)card->product_min_power_mw;
    } else if (card->product_max_throttle_mw != 0 && (ULONG)card->power_limit_mw > card->product_max_throttle_mw) {
        kpav_print(KPAV_CLASS_NORMAL,
                   "%s: PCIe Adapter power limit %umWatts greater than product maximum throttle power %umWatts\n",
                   card->display_name, (ULONG)card->power_limit_mw, card->product_max_throttle_mw);
        card->power_limit_mw = (LONG)card->product_max_throttle_mw;
    }
    kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Adapter power limit: %umWatts\n", card->display_name,
               (ULONG)card->power_limit_mw);
    card->power_limit_mw -= 250;
    kpav_print(KPAV_CLASS_NORMAL, "%s: PCIe Adapter power Throttle point: %umWatts\n", card->display_name,
               (ULONG)card->power_limit_mw);
    card->external_power_required = FALSE;
    card->throttling_on = FALSE;
    if (card->throttling_applicable) {
        if (card->power_limit_mw <= 0 && (card->power_override || card->external_power_required)) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: Adapter: external power override enabled\n", card->display_name);
        } else {
            card->throttling_on = TRUE;
        }
    }
}

bool check_worn_ranges(pipeline_device* card, const worn_range* ranges, ULONG count, USHORT reduced_base,
                       USHORT reduced_count) {
    if (count == 0) {
        return false;
    }
    bool found = false;
    if (reduced_base == 0 && reduced_count == 0xFFFF) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: NAND modules have worn ranges, but no reduced range selected.\n",
                   card->display_name);
        found = true;
    } else {
        ULONG base = reduced_base;
        ULONG end = base + reduced_count;
        for (ULONG i = 0; i < count; i++) {
            ULONG start = ranges[i].start;
            ULONG stop = start + ranges[i].count;
            if (!(base >= stop || end < start)) {
                kpav_print(KPAV_CLASS_NORMAL, "%s: Worn range of %u-%u overlaps card's reduced range of %u-%u\n",
                           card->display_name, start, stop, base, end);
                found = true;
            }
        }
    }
    if (found) {
        kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12315, "Worn ranges inconsistent.\n");
    }
    return found;
}

ULONG translate_status_flags(const pipeline_device* card, int start_result, BOOLEAN* minimal) {
    ULONG reasons = card->minimal_mode_reasons;
    *minimal = (reasons & PAV_MINIMAL) != 0 || start_result == -KPAV_ENOMEM;
    ULONG flags = 0;
    if ((reasons & 0x2) != 0) flags |= 0x1;
    if ((reasons & 0x4) != 0) flags |= 0x2;
    if ((reasons & 0x8) != 0) flags |= 0x4;
    if ((reasons & 0x10) != 0) flags |= 0x8;
    if ((reasons & 0x40) != 0) flags |= 0x20;
    if ((reasons & 0x80) != 0) flags |= 0x40;
    flags |= reasons & 0xFFF00;
    if (start_result == -KPAV_ENOMEM) {
        flags |= 0x80;
    }
    return flags;
}

int controller_startup_checks(pipeline_device* card) {
    PAGED_CODE();
    kpav_print(KPAV_CLASS_NORMAL, "%s: Starting controller\n", card->display_name);
    card->channel_state = 1;
    if (csr_read(card->csr, csr_build) == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Controller not fully configured.\n", card->display_name);
        return -KPAV_EINVAL;
    }
    int rc = check_controller_kind(card);
    if (rc != 0) {
        return rc;
    }
    rc = mid_create(card);
    if (rc != 0) {
        return rc;
    }
    read_factory_record(card);
    card->reserve[0] = 300;
    card->reserve[1] = (ULONG)capacity_warning_threshold;
    card->reserve[2] = 100;
    card->reserve[3] = 200;
    card->count_512 = 512;
    card->csr_copies[0] = csr_read(card->csr, csr_build);
    card->csr_copies[1] = csr_read(card->csr, 0x122C);
    card->csr_copies[2] = csr_read(card->csr, 0x1234);
    card->csr_copies[3] = csr_read(card->csr, 0x1230);

    ULONG answer = 0;
    if (card->generation == 3 && query_firmware_type(card, &answer) == 0 && (answer & 3) == 3) {
        announce(card, "Running on FALLBACK firmware");
        card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_FALLBACK;
    }
    management_processor(card);

    card->per_cpu = (ULONG64*)kpav_zalloc(sizeof(ULONG64) * kpav_max_cpus(), KPAV_TAG_MAL);
    if (card->per_cpu == nullptr) {
        adc_cache_free(card);
        pmp_link_release(card);
        mid_free(card);
        return -KPAV_ENOMEM;
    }
    const card_mid* mid = card->mid;
    check_worn_ranges(card, mid->worn, mid->worn_count, mid->reduced_base, mid->reduced_count);
    card->preallocate_listed = card_in_preallocate_list(card->adapter_serial) != nullptr ? 1 : 0;
    card->preallocate_mb_value = (ULONG)preallocate_mb;
    card->expected_io_size_value = (ULONG)expected_io_size;

    if (card->card_key == 0) {
        card->card_key = card->board_key;
        if (card->card_key == 0) {
            // Without any serial number every such card would share one saved-state record:
            // such a card is known by its PCI location instead.
            card->card_key = 0x8000000000000000ull | (ULONG64)card->pci_domain << 16 | (ULONG64)card->pci_bus << 8 |
                             (ULONG64)card->pci_device << 3 | card->pci_function;
        }
        kpav_snprintf(card->adapter_serial, sizeof card->adapter_serial, "%llu", card->card_key);
    }
    power_budget_init(card);
    card->thermal_monitoring = TRUE;
    if (check_firmware_version(card) != 0) {
        announce(card, "Firmware is incompatible");
        card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_FIRMWARE;
    }
    if (force_minimal_mode != 0) {
        announce(card, "Forced by module parameter");
        card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_FORCED;
    }
    adapter_saved_state(card);
    rc = channel_pipeline_init(card, &controller_channel_ops);
    rc = map_channel_result(card, rc);
    if ((card->minimal_mode_reasons & PAV_MINIMAL) != 0) {
        csr_write(card->csr, csr_control, 0x20000000);
        csr_write(card->csr, csr_control, 0);
    }
    adapter_state_attach(card);
    card->minimal = (card->minimal_mode_reasons & PAV_MINIMAL) != 0;
    return rc;
}
