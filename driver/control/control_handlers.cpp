#include "driver/control/control_handlers.h"

#include <cstddef>
#include <cstring>

#include "driver/block/capabilities.h"
#include "driver/control/control_codes.h"
#include "driver/controller/card.h"
#include "driver/controller/mid.h"
#include "driver/controller/startup.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/pci.h"
#include "driver/platform/version.h"

namespace {

// Attach states of the card (the store's); a card without a store is detached.
constexpr ULONG ATTACH_STATE_DETACHED = 1;
constexpr ULONG STATE_FAILED = 10;
// The answers of the NV data's queries while the card keeps none.
constexpr int NV_INFO_ABSENT = -1;
constexpr int NV_COUNTERS_ABSENT = -KPAV_ENOENT;

bool card_minimal(const pipeline_device* card) {
    return (card->minimal_mode_reasons & PAV_MINIMAL) != 0;
}

bool channel_failed(const pipeline_device* card) {
    return card->channel_state == CHANNEL_STATE_FAILED ||
           (card->nand != nullptr && channel_state(card->nand) == CHANNEL_STATE_FAILED);
}

ULONG eb_count(const pipeline_device* card) {
    return card->nand != nullptr ? card->nand->geometry.eb_count : 0;
}

const char* claim_holder(const pipeline_device* card) {
    return card->data_device_claimed ? "bdev" : nullptr;
}

// A record copied into pool, handed to `serve`, freed on every path: -KPAV_ENOMEM without pool.
template <typename Serve>
int with_pool_copy(const control_record* record, ULONG size, Serve serve) {
    PAGED_CODE();
    auto* copy = (UCHAR*)kpav_alloc(size, KPAV_TAG_VML);
    if (copy == nullptr) {
        return -KPAV_ENOMEM;
    }
    int rc = control_copy_in(record, 0, copy, size);
    if (rc == 0) {
        rc = serve(copy);
    }
    kpav_free(copy, KPAV_TAG_VML);
    return rc;
}

int get_status(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    device_status_record r;
    if (control_copy_in(record, 0, &r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    if (r.request > 0) {
        return -KPAV_EINVAL;
    }
    int rc = fill_device_status(&r, card);
    if (rc != 0) {
        return rc;
    }
    BOOLEAN minimal = FALSE;
    r.status_flags = translate_status_flags(card, 0, &minimal);
    r.minimal = minimal ? 1 : 0;
    return control_copy_out(record, 0, &r, sizeof r);
}

int get_driver_info(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    auto* r = (driver_info_record*)kpav_zalloc(sizeof(driver_info_record), KPAV_TAG_VML);
    if (r == nullptr) {
        return -KPAV_ENOMEM;
    }
    fill_driver_info(r, card);
    BOOLEAN minimal = FALSE;
    translate_status_flags(card, 0, &minimal);
    r->mode = minimal ? 2 : 1;
    int rc = control_copy_out(record, 0, r, sizeof *r);
    kpav_free(r, KPAV_TAG_VML);
    return rc;
}

// The identity handshake (88 bytes).
int get_ids(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    UCHAR r[88];
    if (control_copy_in(record, 0, r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    ULONG two = 2;
    ULONG level = PAV_INTERFACE_LEVEL;
    RtlCopyMemory(r + 4, &two, sizeof two);
    RtlZeroMemory(r + 8, 33);
    if (const char* holder = claim_holder(card)) {
        RtlCopyMemory(r + 8, holder, strnlen(holder, 32));
    }
    RtlZeroMemory(r + 41, 33);
    RtlCopyMemory(r + 41, card->name, strnlen(card->name, sizeof card->name < 32 ? sizeof card->name : 32));
    RtlCopyMemory(r + 80, &level, sizeof level);
    return control_copy_out(record, 0, r, sizeof r);
}

int kinfo_request(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    return with_pool_copy(record, sizeof(kinfo_query), [&](UCHAR* copy) {
        auto* query = (kinfo_query*)copy;
        kinfo_node* root = nullptr;
        switch (query->selector) {
        case 0:
            break;  // the global tree
        case 1:
            root = card->nand != nullptr ? card->nand->kinfo_dir : nullptr;
            break;
        case 2:
            root = pav_driver_kinfo_root();
            break;
        default:
            return -KPAV_EINVAL;
        }
        // The data area behind the record, as far as the size field says (a size the tree
        // refuses reaches no data).
        UCHAR* data = nullptr;
        if (query->size != 0 && query->size <= KINFO_MAX_TRANSFER) {
            data = control_record_range(record, sizeof(kinfo_query), query->size, true);
            if (data == nullptr) {
                return -KPAV_EFAULT;
            }
        }
        int rc = kinfo_access(root, query, data, false);
        if (rc != 0) {
            return rc;
        }
        return control_copy_out(record, 0, query, sizeof *query);
    });
}

int capabilities(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    capability_header header;
    if (control_copy_in(record, 0, &header, sizeof header) != 0) {
        return -KPAV_EFAULT;
    }
    if (header.version != 1 || header.count > CAPABILITY_MAX_COUNT) {
        return -KPAV_EINVAL;
    }
    ULONG needed = (ULONG)capability_record_bytes(header.count);
    if (header.size < needed) {
        // Only the header goes back, with the size the answer needs.
        return control_copy_out(record, offsetof(capability_header, needed), &needed, sizeof needed) != 0
                   ? -KPAV_EFAULT
                   : -KPAV_ENOMEM;
    }
    UCHAR* answer = control_record_range(record, 0, needed, true);
    if (answer == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to copy in buffer.\n", pav_card_name(card));
        return -KPAV_EFAULT;
    }
    // The card's own query: no data device answers it yet.
    auto* r = (capability_header*)answer;
    r->needed = needed;
    return query_capabilities(card->nand, nullptr, r);
}

int zeros_with_result(const control_record* record, ULONG size, int result) {
    PAGED_CODE();
    UCHAR zeros[64] = {};
    kpav_assert(size <= sizeof zeros);
    int rc = control_copy_out(record, 0, zeros, size);
    return rc != 0 ? rc : result;
}

int get_capacity(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    ULONG64 r[6];
    if (control_copy_in(record, 0, r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    const card_mid* mid = card->mid;
    if (mid == nullptr || mid->default_capacity_mb == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Unknown device capacity.\n", pav_card_name(card));
        return -KPAV_EINVAL;
    }
    ULONG64 rated = (ULONG64)mid->default_capacity_mb * 1000000;
    ULONG64 maximum = mid->max_capacity_mb != 0 ? (ULONG64)mid->max_capacity_mb * 1000000 : r[2];
    r[2] = maximum > rated ? maximum : rated;
    r[3] = 1ull << 48;
    r[4] = rated;
    r[5] = 0;
    return control_copy_out(record, 0, r, sizeof r);
}

// Usable capacity and pad counts: without a store the card is detached and has no NV data, so
// the capacity is 0 and the answer that of absent NV data.
int set_attach_state(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    UCHAR r[16];
    if (control_copy_in(record, 0, r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    ULONG64 capacity = 0;
    RtlCopyMemory(r, &capacity, sizeof capacity);
    USHORT pads[2] = {0, 0};
    ULONG usable = 0;
    if (!card_minimal(card) && card->nand != nullptr && card->nand->ebinfo != nullptr &&
        ebinfo_count_usable_pads(card->nand, &usable) == 0) {
        pads[0] = 1;
        pads[1] = (USHORT)usable;
    }
    RtlCopyMemory(r + 8, pads, sizeof pads);
    int rc = control_copy_out(record, 0, r, sizeof r);
    return rc != 0 ? rc : NV_INFO_ABSENT;
}

int get_attach_info(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    ULONG r[20];
    if (control_copy_in(record, 0, r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    RtlZeroMemory((UCHAR*)r + 8, 32);
    if (const char* holder = claim_holder(card)) {
        RtlCopyMemory((UCHAR*)r + 8, holder, strnlen(holder, 32));
    }
    ULONG count = eb_count(card);
    r[10] = count;
    // Not attached (no store), claim type 0: the whole card is one range.
    r[0] = r[1] = 0;
    r[11] = 1;
    r[12] = r[13] = count != 0 ? count - 1 : 0;
    r[14] = 1;
    for (ULONG i = 15; i < 20; i++) {
        r[i] = 0;
    }
    return control_copy_out(record, 0, r, sizeof r);
}

int get_counters(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    ULONG64 r[14] = {};
    if (nand_dev* channel = card->nand) {
        r[0] = (ULONG64)(ReadNoFence64(&channel->stats[REQUEST_APPEND][STAT_BYTES]) +
                         ReadNoFence64(&channel->stats[REQUEST_PAGE_PROGRAM][STAT_BYTES]));
        r[2] = (ULONG64)(ReadNoFence64(&channel->stats[REQUEST_READ][STAT_BYTES]) +
                         ReadNoFence64(&channel->stats[REQUEST_MASKED_PAGE_READ][STAT_BYTES]));
        r[10] = (ULONG64)ReadNoFence64(&channel->memory.alloced_bytes);
        r[11] = (ULONG64)ReadNoFence64(&channel->memory.high_bytes);
    }
    // Neither attached nor with NV data: the log's counters and the lifetime ones stay 0.
    return control_copy_out(record, 0, r, sizeof r);
}

int channel_query(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    ULONG r[2];
    if (control_copy_in(record, 0, r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    if (r[0] != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Channel number too high.\n", pav_card_name(card));
        return -KPAV_EINVAL;
    }
    r[1] = 0;  // no erase-block map
    return control_copy_out(record, 0, r, sizeof r);
}

int beacon(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    ULONG r[2];
    if (control_copy_in(record, 0, r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    int rc = card_state_callback(card, &r[0]);
    int copied = control_copy_out(record, 0, r, sizeof r);
    return copied != 0 ? copied : rc;
}

int get_param(const control_record* record) {
    PAGED_CODE();
    return with_pool_copy(record, sizeof(kpav_param_get_record), [&](UCHAR* copy) {
        int rc = kpav_param_get((kpav_param_get_record*)copy);
        int copied = control_copy_out(record, 0, copy, sizeof(kpav_param_get_record));
        return copied != 0 ? copied : rc;
    });
}

int set_param(const control_record* record) {
    PAGED_CODE();
    return with_pool_copy(record, sizeof(kpav_param_set_record),
                          [&](UCHAR* copy) { return kpav_param_set((const kpav_param_set_record*)copy); });
}

int list_params(const control_record* record) {
    PAGED_CODE();
    ULONG size = 0;
    if (control_copy_in(record, 0, &size, sizeof size) != 0) {
        return -KPAV_EFAULT;
    }
    ULONG full = kpav_param_count() * (ULONG)KPAV_PARAM_NAME_SIZE;
    if (size != full) {
        return -KPAV_ENOMEM;
    }
    auto* names = (char*)kpav_zalloc(full, KPAV_TAG_VML);
    if (names == nullptr) {
        return -KPAV_ENOMEM;
    }
    ULONG length = 0;
    int rc = kpav_param_list(&length, names, full);
    if (length > full) {
        length = full;
    }
    if (length != 0 && control_copy_out(record, 8, names, length) != 0) {
        rc = -KPAV_EFAULT;
    }
    kpav_free(names, KPAV_TAG_VML);
    return rc;
}

void location_bytes(const pipeline_device* card, UCHAR* out) {
    const pci_dev* pdev = card->pdev;
    out[0] = pdev != nullptr ? pdev->bus : card->pci_bus;
    out[1] = pdev != nullptr ? pdev->device : card->pci_device;
    out[2] = pdev != nullptr ? pdev->function : card->pci_function;
}

int get_pci_location(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    UCHAR r[24];
    if (control_copy_in(record, 0, r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    location_bytes(card, r);
    const pci_dev* pdev = card->pdev;
    r[3] = pdev != nullptr ? pdev->slot : (UCHAR)card->slot;
    ULONG vendor = pdev != nullptr ? pdev->vendor_id : 0;
    ULONG device = pdev != nullptr ? pdev->device_id : 0;
    ULONG both = device << 16 | vendor;  // as configuration space's first double word holds them
    USHORT subsystem[2] = {pdev != nullptr ? pdev->subsystem_vendor_id : (USHORT)0,
                           pdev != nullptr ? pdev->subsystem_device_id : (USHORT)0};
    RtlCopyMemory(r + 4, &vendor, 4);
    RtlCopyMemory(r + 8, &device, 4);
    RtlCopyMemory(r + 12, subsystem, 4);
    RtlCopyMemory(r + 16, &both, 4);
    return control_copy_out(record, 0, r, sizeof r);
}

int get_pcie_caps(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    if (!card->bus_present || card->pdev == nullptr) {
        return -KPAV_ENOTTY;
    }
    UCHAR r[104] = {};
    location_bytes(card, r);
    pcie_summary summary{};
    if (pcie_read_caps(card->pdev, &summary) != 0) {
        return -KPAV_ENOTTY;  // a read that failed is reported as no answer
    }
    RtlCopyMemory(r + 24, &summary, sizeof summary);
    return control_copy_out(record, 0, r, sizeof r);
}

int get_pcie_link(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    if (!card->bus_present || card->pdev == nullptr) {
        return -KPAV_ENOTTY;
    }
    UCHAR r[48];
    if (control_copy_in(record, 0, r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    location_bytes(card, r);
    ULONG errors = 0;
    if (pcie_get_error_state(card->pdev, &errors) != 0) {
        return -KPAV_ENOTTY;
    }
    RtlCopyMemory(r + 24, &errors, sizeof errors);
    return control_copy_out(record, 0, r, sizeof r);
}

// The PCI configuration request record (40 bytes).
struct pci_config_record {
    UCHAR reserved[16];
    ULONG offset;
    ULONG width;   // 0 byte, 1 word, 2 double word
    ULONG status;  // 1 on entry; 1 on success, 0 on failure
    ULONG reserved28;
    ULONG value;
    ULONG reserved36;
};
static_assert(sizeof(pci_config_record) == 40);
static_assert(offsetof(pci_config_record, offset) == 16);
static_assert(offsetof(pci_config_record, value) == 32);

constexpr ULONG pci_config_space = 4096;

int pci_config(pipeline_device* card, bool write, const control_record* record) {
    PAGED_CODE();
    pci_config_record r;
    if (control_copy_in(record, 0, &r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    if (r.status != 1) {
        return -KPAV_EINVAL;
    }
    static const ULONG widths[] = {1, 2, 4};
    int rc;
    if (r.width > 2) {
        rc = -KPAV_EINVAL;
    } else {
        ULONG bytes = widths[r.width];
        // The whole access inside configuration space, not only its first byte.
        bool inside = (ULONG64)r.offset + bytes <= pci_config_space;
        if (write && bytes == 2) {
            rc = inside ? kpav_pci_write_config_word(card->pdev, r.offset, (USHORT)r.value) : -KPAV_EINVAL;
        } else {
            ULONG value = bytes == 1 ? r.value & 0xFF : r.value;
            if (!inside || card->pdev == nullptr || (write && value == 0)) {
                rc = -KPAV_EINVAL;
            } else if (write) {
                rc = kpav_ntstatus_to_errno(kpav_pci_config_access(card->pdev, 1, &value, r.offset, bytes));
            } else {
                value = 0;
                rc = kpav_ntstatus_to_errno(kpav_pci_config_access(card->pdev, 0, &value, r.offset, bytes));
                if (rc == 0) {
                    r.value = value;
                }
            }
        }
    }
    r.status = rc == 0 ? 1 : 0;
    if (control_copy_out(record, 0, &r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    return rc;
}

int mel_user_event(const control_record* record) {
    PAGED_CODE();
    return with_pool_copy(record, pav_ioctl_size(PAV_IOCTL_MEL_USER_EVENT), [](UCHAR*) {
        return -KPAV_ENODEV;  // the media event log is the store's, which the card does not have yet
    });
}

}  // namespace

int fill_device_status(device_status_record* record, pipeline_device* card) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    if (channel_failed(card)) {
        record->state = STATE_FAILED;
        record->fail_reason = card->fail_reason;
    } else {
        record->state = ATTACH_STATE_DETACHED;
    }
    record->progress = -1;  // no log owns the card
    record->attach_words[0] = record->attach_words[1] = record->attach_words[2] = 0;
    record->claim_type = card->data_device_claimed ? 1 : 0;
    return 0;
}

void fill_driver_info(driver_info_record* record, pipeline_device* card) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    UNREFERENCED_PARAMETER(card);
    record->interface_level = PAV_INTERFACE_LEVEL;
    // The numbers come from the version text itself: "4.2.2.1144 ...".
    const char* p = pav_version_string;
    ULONG* fields[] = {&record->major, &record->minor, &record->micro, &record->build};
    for (ULONG* field : fields) {
        const char* end = p;
        *field = (ULONG)kpav_strtoul(p, &end, 10);
        p = *end == '.' ? end + 1 : end;
    }
    record->eb_map = 0;
    size_t length = strnlen(pav_version_string, sizeof record->version - 1);
    RtlCopyMemory(record->version, pav_version_string, length);
    record->version[length] = 0;
}

int control_handle(pipeline_device* card, ULONG number, const control_record* record, bool* served) {
    PAGED_CODE();
    *served = true;
    switch (number) {
    case PAV_IOCTL_GET_STATUS: return get_status(card, record);
    case PAV_IOCTL_GET_DRIVER_INFO: return get_driver_info(card, record);
    case PAV_IOCTL_GET_IDS: return get_ids(card, record);
    case PAV_IOCTL_KINFO: return kinfo_request(card, record);
    case PAV_IOCTL_CAPABILITIES: return capabilities(card, record);
    case PAV_IOCTL_GET_ODOMETER_DATA: return NV_COUNTERS_ABSENT;
    case PAV_IOCTL_GET_UUID: return zeros_with_result(record, 16, NV_INFO_ABSENT);
    case PAV_IOCTL_GET_FORMAT_INFO: return zeros_with_result(record, 48, NV_INFO_ABSENT);
    case PAV_IOCTL_GET_CAPACITY: return get_capacity(card, record);
    case PAV_IOCTL_SET_ATTACH_STATE: return set_attach_state(card, record);
    case PAV_IOCTL_GET_ATTACH_INFO: return get_attach_info(card, record);
    case PAV_IOCTL_GET_COUNTERS: return get_counters(card, record);
    case PAV_IOCTL_LOG_QUERY: return zeros_with_result(record, 48, -1);
    case PAV_IOCTL_CHANNEL_QUERY: return channel_query(card, record);
    case PAV_IOCTL_OPEN_OP: return beacon(card, record);
    case PAV_IOCTL_GET_PARAM: return get_param(record);
    case PAV_IOCTL_SET_PARAM: return set_param(record);
    case PAV_IOCTL_LIST_PARAMS: return list_params(record);
    case PAV_IOCTL_GET_PCI_LOCATION: return get_pci_location(card, record);
    case PAV_IOCTL_GET_PCIE_CAPS: return get_pcie_caps(card, record);
    case PAV_IOCTL_GET_PCIE_LINK: return get_pcie_link(card, record);
    case PAV_IOCTL_PCI_CONFIG_READ: return pci_config(card, false, record);
    case PAV_IOCTL_PCI_CONFIG_WRITE: return pci_config(card, true, record);
    case PAV_IOCTL_MEL_USER_EVENT: return mel_user_event(record);
    default:
        *served = false;
        return 0;
    }
}
