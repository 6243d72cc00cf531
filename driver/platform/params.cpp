// The module parameters: their live variables, the table that describes them, get, set and
// list for the control interface, and the reading of their registry values at driver entry.
#include "driver/platform/params.h"

#include "driver/platform/format.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

LONG win_log_verbose = 1;
LONG make_assert_nonfatal = 0;
LONG win_bugcheck_enable_csr_dump = 1;
LONG win_disable_all_affinity = 0;
LONG pav_chunk_enable = 1;
LONG pav_chunk_size_mb = 128;

LONG win_enable_check_drive = 1;
LONG win_scsi_bus_id = 0;
LONG completion_poll_ms = 10;
LONG expected_io_size = 0;
LONG port_supports_numa_node_override = 1;
LONG groomer_low_water_delta_hpcnt = 1;
LONG disable_scanner = 0;
LONG port_supports_atomic_write = 0;
LONG use_command_timeouts = 1;
LONG pav_min_num_bios = 5000;
LONG win_block_size = 512;
LONG rsort_memory_limit_MiB = 0;
LONG capacity_warning_threshold = 1000;
LONG enable_unmap = 0;
LONG port_supports_numa_node_cache_allocations = 0;
LONG velkor_load_eb_map = 1;
LONG groomer_buffer_size = 16384;
LONG use_large_pcie_rx_buffer = 0;
LONG groomer_high_water_delta_hpcnt = 160;
LONG max_requests = 5000;
LONG preallocate_mb = 0;
LONG port_supports_user_pages = 0;
LONG port_supports_pci_numa_info = 1;
LONG preferred_ppad = -1;
LONG rmap_memory_limit_MiB = 3100;
LONG parallel_attach = 0;
LONG port_supports_sglist_copy = 0;
LONG enable_discard = 1;
LONG max_md_blocks_per_device = 0;
LONG port_supports_per_cpu = 1;
LONG coreclk_max_derating = 31744;
LONG pav_max_num_bios = 5000;
LONG global_slot_power_limit_mw = -1;
LONG force_minimal_mode = 0;
LONG auto_attach = 1;
LONG win_disable_default_numa_affinity = 0;
LONG compaction_timeout_ms = 600000;
LONG disable_groomer = 0;
LONG min_requests = 5000;
LONG port_supports_devfs_handle = 1;
LONG velkor_max_ebmap_probe = 100;
LONG scsi_queue_depth = 256;
LONG enable_write_aggregation = 0;
LONG enable_multq_at_load = 1;
char pav_affinity[KPAV_PARAM_VALUE_SIZE];
char exclude_devices[KPAV_PARAM_VALUE_SIZE];
char external_power_override[KPAV_PARAM_VALUE_SIZE];
char include_devices[KPAV_PARAM_VALUE_SIZE];
char preallocate_memory[KPAV_PARAM_VALUE_SIZE];

namespace {

// A row as the code gives it; the table proper is built from these at load.
struct param_description {
    const char* registry_name;
    const char* name;
    ULONG type;
    LONG default_value;  // integer rows; every string row defaults to the empty text
    LONG min;
    LONG max;
    ULONG fixed;
    void* value;
    const char* help;
};

const param_description descriptions[KPAV_PARAM_COUNT] = {
    {"WIN_ENABLE_CHECK_DRIVE", "win_enable_check_drive", KPAV_PARAM_INT, 1, 0, 1, 0, &win_enable_check_drive,
     "Enables the Windows application bolverin.exe to perform a disk consistency check during OS boot time."},
    {"WIN_SCSI_BUS_ID", "win_scsi_bus_id", KPAV_PARAM_INT, 0, 0, 255, 0, &win_scsi_bus_id,
     "Select a SCSI bus ID (0 is disable)."},
    {"COMPLETION_POLL_MS", "completion_poll_ms", KPAV_PARAM_INT, 10, 0, 1000, 0, &completion_poll_ms,
     "For use only under the direction of Customer Support."},
    {"EXPECTED_IO_SIZE", "expected_io_size", KPAV_PARAM_INT, 0, 0, 2147483647, 0, &expected_io_size,
     "Timeout for data log compaction while shutting down."},
    {"WIN_BUGCHECK_ENABLE_CSR_DUMP", "win_bugcheck_enable_csr_dump", KPAV_PARAM_INT, 1, 0, 2147483647, 0, &win_bugcheck_enable_csr_dump,
     "For use only under the direction of Customer Support."},
    {"PORT_SUPPORTS_NUMA_NODE_OVERRIDE", "port_supports_numa_node_override", KPAV_PARAM_INT, 1, 0, 1, 1, &port_supports_numa_node_override,
     "Internal"},
    {"GROOMER_LOW_WATER_DELTA_HPCNT", "groomer_low_water_delta_hpcnt", KPAV_PARAM_INT, 1, 1, 10000, 0, &groomer_low_water_delta_hpcnt,
     "The proportion of logical space free over the runway that represents 'the wall'"},
    {"DISABLE_SCANNER", "disable_scanner", KPAV_PARAM_INT, 0, 0, 1, 0, &disable_scanner,
     "For use only under the direction of Customer Support."},
    {"PORT_SUPPORTS_ATOMIC_WRITE", "port_supports_atomic_write", KPAV_PARAM_INT, 0, 0, 1, 1, &port_supports_atomic_write,
     "Internal"},
    {"VELKOR_USE_COMMAND_TIMEOUTS", "use_command_timeouts", KPAV_PARAM_INT, 1, 0, 1, 0, &use_command_timeouts,
     "Use the command timeout registers"},
    {"PAV_MIN_NUM_BIOS", "pav_min_num_bios", KPAV_PARAM_INT, 5000, 0, 16384, 0, &pav_min_num_bios,
     "Number of bio structures pre-allocated per device"},
    {"WIN_BLOCK_SIZE", "win_block_size", KPAV_PARAM_INT, 512, 0, 2147483647, 0, &win_block_size,
     "Number of bytes in a sector"},
    {"RSORT_MEMORY_LIMIT_MiB", "rsort_memory_limit_MiB", KPAV_PARAM_INT, 0, 0, 100000, 0, &rsort_memory_limit_MiB,
     "Memory limit in MiBytes for rsort rescan."},
    {"PAV_AFFINITY", "pav_affinity", KPAV_PARAM_STRING, 0, 0, 100000, 0, pav_affinity,
     "Set up affinity options"},
    {"VELKOR_THROTTLE_CAPACITY_WARNING_THRESHOLD", "capacity_warning_threshold", KPAV_PARAM_INT, 1000, 0, 9900, 0, &capacity_warning_threshold,
     "If the reserve space is below this threshold (in hundredths of percent), warnings will be issued."},
    {"PAV_SCSI_UNMAP_SUPPORTED", "enable_unmap", KPAV_PARAM_INT, 0, 0, 1, 0, &enable_unmap,
     "Enable UNMAP support."},
    {"PORT_SUPPORTS_NUMA_NODE_CACHE_ALLOCATIONS", "port_supports_numa_node_cache_allocations", KPAV_PARAM_INT, 0, 0, 1, 0, &port_supports_numa_node_cache_allocations,
     "Allows allocation of NUMA node cache memory for requests."},
    {"VELKOR_LOAD_EB_MAP", "velkor_load_eb_map", KPAV_PARAM_INT, 1, 0, 1, 0, &velkor_load_eb_map,
     "For use only under the direction of Customer Support."},
    {"GROOMER_BUFFER_SIZE", "groomer_buffer_size", KPAV_PARAM_INT, 16384, 64, 65536, 0, &groomer_buffer_size,
     "For use only under the direction of Customer Support."},
    {"USE_LARGE_PCIE_RX_BUFFER", "use_large_pcie_rx_buffer", KPAV_PARAM_INT, 0, 0, 1, 0, &use_large_pcie_rx_buffer,
     "If true, use 1024 byte PCIe rx buffer. This improves performance but causes NMIs on some specific hardware."},
    {"GROOMER_HIGH_WATER_DELTA_HPCNT", "groomer_high_water_delta_hpcnt", KPAV_PARAM_INT, 160, 1, 10000, 0, &groomer_high_water_delta_hpcnt,
     "The proportion of logical space over the low watermark where grooming starts (in ten-thousandths)"},
    {"VELKOR_MAX_NUM_REQUEST_STRUCTURES", "max_requests", KPAV_PARAM_INT, 5000, 1024, 16384, 0, &max_requests,
     "How many requests pending in velkor"},
    {"WIN_LOG_VERBOSE", "win_log_verbose", KPAV_PARAM_INT, 1, 0, 1, 0, &win_log_verbose,
     "Informational messages which are normally only displayed on the debug console are also printed to the Windows System Log"},
    {"PREALLOCATE_MB", "preallocate_mb", KPAV_PARAM_INT, 0, 0, 2147483647, 0, &preallocate_mb,
     "The megabyte limit for PAV_PREALLOCATE_MEMORY. This will prevent the driver from potentially using all of the system's non-paged memory."},
    {"EXCLUDE_DEVICES", "exclude_devices", KPAV_PARAM_STRING, 0, 0, 2147483647, 0, exclude_devices,
     "List of cards to exclude from driver initialization (comma separated list of <domain>:<bus>:<slot>.<func>)"},
    {"PAV_CHUNK_ENABLE", "pav_chunk_enable", KPAV_PARAM_INT, 1, 0, 1, 0, &pav_chunk_enable,
     "Enables memory chunk management."},
    {"PORT_SUPPORTS_USER_PAGES", "port_supports_user_pages", KPAV_PARAM_INT, 0, 0, 1, 1, &port_supports_user_pages,
     "Internal"},
    {"PORT_SUPPORTS_PCI_NUMA_INFO", "port_supports_pci_numa_info", KPAV_PARAM_INT, 1, 0, 1, 1, &port_supports_pci_numa_info,
     "Internal"},
    {"PAV_EXTERNAL_POWER_OVERRIDE", "external_power_override", KPAV_PARAM_STRING, 0, 0, 1, 0, external_power_override,
     "Override external power requirement on boards that normally require it. (comma-separated list of adapter serial numbers)"},
    {"WIN_DISABLE_ALL_AFFINITY", "win_disable_all_affinity", KPAV_PARAM_INT, 0, 0, 1, 0, &win_disable_all_affinity,
     "Disable using affinity even if the user has set the registry value SetWorkerAffinity or default affinity is set to true"},
    {"PREFERRED_PARITY_PAD", "preferred_ppad", KPAV_PARAM_INT, -1, -1, 32, 0, &preferred_ppad,
     "pad to use for parity (if possible, i.e. if not mapped out)"},
    {"RMAP_MEMORY_LIMIT_MiB", "rmap_memory_limit_MiB", KPAV_PARAM_INT, 3100, 0, 100000, 0, &rmap_memory_limit_MiB,
     "Memory limit in MiBytes for rmap rescan."},
    {"PARALLEL_ATTACH", "parallel_attach", KPAV_PARAM_INT, 0, 0, 1, 0, &parallel_attach,
     "For use only under the direction of Customer Support."},
    {"VELKOR_MAKE_ASSERT_NONFATAL", "make_assert_nonfatal", KPAV_PARAM_INT, 0, 0, 1, 0, &make_assert_nonfatal,
     "For use only under the direction of Customer Support."},
    {"PORT_SUPPORTS_SGLIST_COPY", "port_supports_sglist_copy", KPAV_PARAM_INT, 0, 0, 1, 1, &port_supports_sglist_copy,
     "Internal"},
    {"ENABLE_DISCARD", "enable_discard", KPAV_PARAM_INT, 1, 0, 1, 0, &enable_discard,
     "For use only under the direction of Customer Support."},
    {"MAX_MD_BLOCKS_PER_DEVICE", "max_md_blocks_per_device", KPAV_PARAM_INT, 0, 0, 1, 0, &max_md_blocks_per_device,
     "For use only under the direction of Customer Support."},
    {"PORT_SUPPORTS_PER_CPU", "port_supports_per_cpu", KPAV_PARAM_INT, 1, 0, 1, 1, &port_supports_per_cpu,
     "Internal"},
    {"CORECLK_MAX_DERATING", "coreclk_max_derating", KPAV_PARAM_INT, 31744, 0, 65535, 0, &coreclk_max_derating,
     "Maximum derating of the core clock."},
    {"PAV_MAX_NUM_BIOS", "pav_max_num_bios", KPAV_PARAM_INT, 5000, 1024, 16384, 0, &pav_max_num_bios,
     "Maximum number of bio structures allocated per device"},
    {"PAV_CHUNK_SIZE_MB", "pav_chunk_size_mb", KPAV_PARAM_INT, 128, 4, 128, 0, &pav_chunk_size_mb,
     "Number of MB to allocate per memory chunk."},
    {"PCIe_GLOBAL_SLOT_POWER_LIMIT", "global_slot_power_limit_mw", KPAV_PARAM_INT, -1, -1, 100000, 0, &global_slot_power_limit_mw,
     "Global PCIe slot power limit in milliwatts. Performance will be throttled to not exceed this limit in any PCIe slot."},
    {"FORCE_MINIMAL_MODE", "force_minimal_mode", KPAV_PARAM_INT, 0, 0, 1, 0, &force_minimal_mode,
     "N/A"},
    {"AUTO_ATTACH", "auto_attach", KPAV_PARAM_INT, 1, 0, 2, 0, &auto_attach,
     "Automatically attach drive during driver initialization: 0 = disable attach, 1 = enable attach (default). Note for Windows only: The driver will only attach if there was a clean shutdown, otherwise the bolverin utility will perform the full scan attach, 2 = Windows only: Forces the driver to do a full rescan (if needed)."},
    {"WIN_DISABLE_DEFAULT_NUMA_AFFINITY", "win_disable_default_numa_affinity", KPAV_PARAM_INT, 0, 0, 1, 0, &win_disable_default_numa_affinity,
     "Disable setting a default NUMA affinity value in Windows7 and newer OSes"},
    {"COMPACTION_TIMEOUT_MS", "compaction_timeout_ms", KPAV_PARAM_INT, 600000, 0, 2147483647, 0, &compaction_timeout_ms,
     "Timeout in ms for data log compaction while shutting down."},
    {"GROOMER_DISABLE", "disable_groomer", KPAV_PARAM_INT, 0, 0, 1, 0, &disable_groomer,
     "For use only under the direction of Customer Support."},
    {"INCLUDE_DEVICES", "include_devices", KPAV_PARAM_STRING, 0, 0, 1, 0, include_devices,
     "Whitelist of cards to include in driver initialization (comma separated list of <domain>:<bus>:<slot>.<func>)"},
    {"PAV_PREALLOCATE_MEMORY", "preallocate_memory", KPAV_PARAM_STRING, 0, 0, 1, 0, preallocate_memory,
     "Causes the driver to pre-allocate the RAM it needs"},
    {"VELKOR_MIN_NUM_REQUEST_STRUCTURES", "min_requests", KPAV_PARAM_INT, 5000, 0, 16384, 0, &min_requests,
     "How many requests pre-allocated in velkor"},
    {"PORT_SUPPORTS_DEVFS_HANDLE", "port_supports_devfs_handle", KPAV_PARAM_INT, 1, 0, 1, 1, &port_supports_devfs_handle,
     "Internal"},
    {"VELKOR_MAX_EBMAP_PROBE", "velkor_max_ebmap_probe", KPAV_PARAM_INT, 100, 0, 2147483647, 1, &velkor_max_ebmap_probe,
     "Maximum number of erase blocks to search for the LEB map."},
    {"KPAV_SCSI_QUEUE_DEPTH", "scsi_queue_depth", KPAV_PARAM_INT, 256, 1, 1024, 0, &scsi_queue_depth,
     "The queue depth that is advertised to the OS SCSI interface."},
    {"ENABLE_WRITE_AGGREGATION", "enable_write_aggregation", KPAV_PARAM_INT, 0, 0, 1, 0, &enable_write_aggregation,
     "For use only under the direction of Customer Support."},
    {"ENABLE_MULTQ_AT_LOAD", "enable_multq_at_load", KPAV_PARAM_INT, 1, 0, 1, 0, &enable_multq_at_load,
     "For use only under the direction of Customer Support."},
};

kpav_param* table;
ULONG table_count;

constexpr NTSTATUS not_applied = KPAV_PARAM_NOT_APPLIED;
constexpr ULONG registry_value_buffer_size = 4240;
constexpr size_t dump_line_size = 256;

bool is_integer_type(ULONG type) {
    return type == KPAV_PARAM_INT || type == KPAV_PARAM_INT_ALT;
}

// The row whose registry name equals `name` (whole names, case included). The name is read
// within its 81-byte field only, so a field without NUL matches nothing.
kpav_param* find_row(const char* name) {
    if (table == nullptr) {
        return nullptr;
    }
    for (ULONG i = 0; i < table_count; i++) {
        kpav_param* row = &table[i];
        if (row->registry_name != nullptr && strncmp(row->registry_name, name, KPAV_PARAM_NAME_SIZE) == 0) {
            return row;
        }
    }
    return nullptr;
}

// Copies at most `size` - 1 characters and a NUL.
void copy_text(char* destination, size_t size, const char* source) {
    size_t n = strnlen(source, size - 1);
    RtlCopyMemory(destination, source, n);
    destination[n] = 0;
}

// True when the format's first conversion is %p.
bool first_conversion_is_pointer(const char* format) {
    for (const char* p = format; *p != 0; p++) {
        if (*p != '%') {
            continue;
        }
        if (p[1] == '%') {
            p++;
            continue;
        }
        return p[1] == 'p';
    }
    return false;
}

// Appends formatted text to a dump line, bounded by the room left.
void append(char* line, const char* format, ...) {
    size_t used = strnlen(line, dump_line_size);
    if (used + 1 >= dump_line_size) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    kpav_vsnprintf(line + used, dump_line_size - used, format, ap);
    va_end(ap);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The table

int kpav_param_table_init() {
    if (table == nullptr) {
        table = (kpav_param*)kpav_zalloc(sizeof(kpav_param) * KPAV_PARAM_COUNT, KPAV_TAG_VML);
        if (table == nullptr) {
            return -1;
        }
    }
    for (ULONG i = 0; i < KPAV_PARAM_COUNT; i++) {
        const param_description& d = descriptions[i];
        kpav_param& row = table[i];
        // The source flags describe the live value, which a rebuild keeps.
        ULONG64 source = row.source;
        RtlZeroMemory(&row, sizeof row);
        row.registry_name = d.registry_name;
        row.name = d.name;
        if (is_integer_type(d.type)) {
            row.default_value.integer = d.default_value;
        }
        row.fixed = d.fixed;
        row.flag_one = 1;
        row.type = d.type;
        row.value = d.value;
        row.min = d.min;
        row.max = d.max;
        row.help = d.help;
        row.source = source;
    }
    table_count = KPAV_PARAM_COUNT;
    return 0;
}

void kpav_param_table_free() {
    if (table != nullptr) {
        kpav_free(table, KPAV_TAG_VML);
    }
    table = nullptr;
    table_count = 0;
}

ULONG kpav_param_count() {
    return table_count;
}

// ---------------------------------------------------------------------------------------------
// Get, set and list

int kpav_param_get(kpav_param_get_record* record) {
    const kpav_param* row = find_row(record->registry_name);
    if (row == nullptr) {
        return -KPAV_ENOTTY;
    }
    RtlZeroMemory(record->name, sizeof record->name);
    RtlZeroMemory(&record->default_value, sizeof record->default_value);
    RtlZeroMemory(&record->value, sizeof record->value);
    RtlZeroMemory(record->help, sizeof record->help);
    record->flag_one = row->flag_one;
    record->min = row->min;
    record->max = row->max;
    record->fixed = row->fixed;
    record->type = row->type;
    switch (row->type) {
        case KPAV_PARAM_INT:
        case KPAV_PARAM_INT_ALT:
            record->default_value.integer = row->default_value.integer;
            record->value.integer = row->value != nullptr ? *(const LONG*)row->value : row->default_value.integer;
            break;
        case KPAV_PARAM_STRING:
            RtlCopyMemory(record->default_value.text, row->default_value.text, KPAV_PARAM_VALUE_SIZE);
            RtlCopyMemory(record->value.text, row->value != nullptr ? row->value : row->default_value.text,
                          KPAV_PARAM_VALUE_SIZE);
            break;
        case KPAV_PARAM_LIST:
            RtlCopyMemory(&record->value.list, row->value != nullptr ? row->value : &row->default_value.list,
                          sizeof(kpav_int_list));
            break;
        default:
            return -KPAV_EACCES;
    }
    if (row->help != nullptr) {
        copy_text(record->help, sizeof record->help, row->help);
    }
    if (row->name != nullptr) {
        copy_text(record->name, sizeof record->name, row->name);
    }
    record->source = row->source;
    return 0;
}

int kpav_param_set(const kpav_param_set_record* record) {
    kpav_param* row = find_row(record->registry_name);
    if (row == nullptr) {
        return -KPAV_ENOTTY;
    }
    row->source = record->source;
    if (row->fixed != 0 || row->value == nullptr) {
        return -KPAV_EACCES;
    }
    switch (row->type) {
        case KPAV_PARAM_INT:
        case KPAV_PARAM_INT_ALT: {
            LONG value = record->value.integer;
            if (value < row->min || value > row->max) {
                return -KPAV_EACCES;
            }
            *(LONG*)row->value = value;
            return 0;
        }
        case KPAV_PARAM_STRING: {
            // The text and its NUL must lie within the value field.
            size_t length = strnlen(record->value.text, KPAV_PARAM_VALUE_SIZE);
            if (length == KPAV_PARAM_VALUE_SIZE) {
                return -KPAV_EACCES;
            }
            auto* live = (char*)row->value;
            RtlZeroMemory(live, KPAV_PARAM_VALUE_SIZE);
            RtlCopyMemory(live, record->value.text, length);
            return 0;
        }
        case KPAV_PARAM_LIST: {
            if (record->list_mode == KPAV_PARAM_LIST_BINARY) {
                if (record->value.list.count > KPAV_PARAM_LIST_MAX) {
                    return -KPAV_EACCES;
                }
                RtlCopyMemory(row->value, &record->value.list, sizeof(kpav_int_list));
                return 0;
            }
            if (record->list_mode != KPAV_PARAM_LIST_TEXT ||
                strnlen(record->value.text, KPAV_PARAM_VALUE_SIZE) == KPAV_PARAM_VALUE_SIZE) {
                return -KPAV_EACCES;
            }
            // Parsed aside first, so that a refused text leaves the live list as it was.
            auto* parsed = (kpav_int_list*)kpav_alloc(sizeof(kpav_int_list), KPAV_TAG_VML);
            if (parsed == nullptr) {
                return -KPAV_EACCES;
            }
            bool ok = kpav_param_parse_list(record->value.text, parsed);
            if (ok) {
                RtlCopyMemory(row->value, parsed, sizeof(kpav_int_list));
            }
            kpav_free(parsed, KPAV_TAG_VML);
            return ok ? 0 : -KPAV_EACCES;
        }
        default:
            return -KPAV_EACCES;
    }
}

int kpav_param_list(ULONG* length, char* buffer, ULONG size) {
    *length = 0;
    if (buffer == nullptr) {
        return -KPAV_ENOMEM;
    }
    if (size == 0) {
        return -KPAV_EINVAL;
    }
    RtlZeroMemory(buffer, size);
    ULONG total = 0;
    for (ULONG i = 0; table != nullptr && i < table_count; i++) {
        const char* name = table[i].registry_name;
        ULONG n = (ULONG)strlen(name) + 1;
        if (total + n > size) {
            return -KPAV_EINVAL;
        }
        RtlCopyMemory(buffer + total, name, n);
        total += n;
    }
    *length = total;
    return 0;
}

bool kpav_param_parse_list(const char* text, kpav_int_list* list) {
    if (text == nullptr || text[0] == 0 || list == nullptr) {
        return false;
    }
    RtlZeroMemory(list, sizeof *list);
    size_t length = strnlen(text, KPAV_PARAM_VALUE_SIZE);
    if (length == KPAV_PARAM_VALUE_SIZE) {
        return false;
    }
    // The tokenizer cuts its text, so it works on a copy.
    auto* copy = (char*)kpav_alloc(length + 1, KPAV_TAG_VML);
    if (copy == nullptr) {
        return false;
    }
    RtlCopyMemory(copy, text, length + 1);
    bool ok = true;
    char* save = nullptr;
    for (char* token = kpav_strtok_r(copy, ",", &save); token != nullptr; token = kpav_strtok_r(nullptr, ",", &save)) {
        ULONG value = (ULONG)kpav_strtoul(token, nullptr, 10);
        if (value == 0 || list->count == KPAV_PARAM_LIST_MAX) {
            ok = false;
            break;
        }
        list->values[list->count++] = value;
    }
    kpav_free(copy, KPAV_TAG_VML);
    return ok;
}

char* kpav_strtok_r(char* text, const char* separators, char** save) {
    char* p = text != nullptr ? text : *save;
    if (p == nullptr) {
        return nullptr;
    }
    while (*p != 0 && strchr(separators, *p) != nullptr) {
        p++;
    }
    if (*p == 0) {
        *save = p;
        return nullptr;
    }
    char* token = p;
    while (*p != 0 && strchr(separators, *p) == nullptr) {
        p++;
    }
    if (*p != 0) {
        *p = 0;
        *save = p + 1;
    } else {
        *save = p;
    }
    return token;
}

// ---------------------------------------------------------------------------------------------
// Dump lines

void kpav_vdump_line(const void* data, ULONG length, ULONG per_line, const char* element_format,
                     const char* offset_format, const char* prefix_format, va_list arguments) {
    if (length == 0) {
        return;
    }
    const auto* bytes = (const UCHAR*)data;
    ULONG line_bytes = per_line != 0 ? per_line : length;
    bool address = offset_format != nullptr && first_conversion_is_pointer(offset_format);
    for (ULONG start = 0; start < length; start += line_bytes) {
        char line[dump_line_size];
        line[0] = 0;
        if (prefix_format != nullptr) {
            va_list prefix_arguments;
            va_copy(prefix_arguments, arguments);
            kpav_vsnprintf(line, dump_line_size, prefix_format, prefix_arguments);
            va_end(prefix_arguments);
        }
        if (offset_format != nullptr) {
            if (address) {
                append(line, offset_format, bytes + start);
            } else {
                append(line, offset_format, start);
            }
        }
        ULONG end = length - start < line_bytes ? length : start + line_bytes;
        for (ULONG i = start; i < end; i++) {
            append(line, element_format, bytes[i]);
        }
        kpav_print(KPAV_CLASS_NORMAL, "%s\n", line);
    }
}

void kpav_dump_line(const void* data, ULONG length, ULONG per_line, const char* element_format,
                    const char* offset_format, const char* prefix_format, ...) {
    va_list ap;
    va_start(ap, prefix_format);
    kpav_vdump_line(data, length, per_line, element_format, offset_format, prefix_format, ap);
    va_end(ap);
}

// ---------------------------------------------------------------------------------------------
// The registry

NTSTATUS PavReadRegistryParameter(ULONG mode, HANDLE key, const char* name) {
    PAGED_CODE();
    // Mode 1 (the framework's Parameters key at device add) comes with the device shell.
    if (mode != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* record = (kpav_param_set_record*)kpav_zalloc(sizeof(kpav_param_set_record), KPAV_TAG_MAL);
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WCHAR wide_name[KPAV_PARAM_NAME_SIZE];
    USHORT characters = 0;
    for (; characters < KPAV_PARAM_NAME_SIZE - 1 && name[characters] != 0; characters++) {
        wide_name[characters] = (WCHAR)(UCHAR)name[characters];
    }
    wide_name[characters] = 0;
    UNICODE_STRING value_name = {(USHORT)(characters * sizeof(WCHAR)), (USHORT)sizeof wide_name, wide_name};

    auto* information =
        (PKEY_VALUE_PARTIAL_INFORMATION)kpav_alloc(registry_value_buffer_size, KPAV_TAG_MAL);
    if (information == nullptr) {
        kpav_free(record, KPAV_TAG_MAL);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG result_length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, information,
                                      registry_value_buffer_size, &result_length);
    if (NT_SUCCESS(status)) {
        copy_text(record->registry_name, sizeof record->registry_name, name);
        record->source = KPAV_PARAM_FROM_REGISTRY;
        const kpav_param* row = find_row(record->registry_name);
        switch (information->Type) {
            case REG_DWORD:
                // Exactly four bytes make a number; anything else is not one.
                if (information->DataLength != sizeof(LONG)) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                RtlCopyMemory(&record->value.integer, information->Data, sizeof(LONG));
                status = kpav_param_set(record) == 0 ? STATUS_SUCCESS : not_applied;
                break;
            case REG_SZ: {
                // A text is taken as a number by no row: an integer row refuses it rather
                // than read its characters as the number's bytes.
                if (row != nullptr && is_integer_type(row->type)) {
                    status = not_applied;
                    break;
                }
                // Exactly DataLength bytes, less one terminator when there is one: registry
                // data need not end in a NUL.
                USHORT length = (USHORT)(information->DataLength / sizeof(WCHAR));
                auto* text = (PWCH)information->Data;
                if (length != 0 && text[length - 1] == 0) {
                    length--;
                }
                UNICODE_STRING wide = {(USHORT)(length * sizeof(WCHAR)), (USHORT)(length * sizeof(WCHAR)), text};
                ANSI_STRING narrow = {0, (USHORT)KPAV_PARAM_VALUE_SIZE, record->value.text};
                if (RtlUnicodeStringToAnsiString(&narrow, &wide, FALSE) != STATUS_SUCCESS) {
                    status = not_applied;  // 4224 bytes or more with its NUL
                    break;
                }
                record->list_mode = KPAV_PARAM_LIST_TEXT;
                status = kpav_param_set(record) == 0 ? STATUS_SUCCESS : not_applied;
                break;
            }
            default:
                status = STATUS_INVALID_PARAMETER;
                break;
        }
    }
    kpav_free(information, KPAV_TAG_MAL);
    kpav_free(record, KPAV_TAG_MAL);
    return status;
}

NTSTATUS PavReadRegistryParameters(PCUNICODE_STRING registry_path) {
    PAGED_CODE();
    static const WCHAR parameters[] = u"\\Parameters";
    constexpr USHORT parameters_bytes = sizeof parameters - sizeof(WCHAR);
    if (registry_path->Length > 0xFFFF - 24) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT buffer_bytes = (USHORT)(registry_path->Length + 24);
    auto* path = (PWCH)kpav_alloc(buffer_bytes, KPAV_TAG_MAL);
    if (path == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(path, registry_path->Buffer, registry_path->Length);
    RtlCopyMemory((PUCHAR)path + registry_path->Length, parameters, sizeof parameters);
    UNICODE_STRING key_name = {(USHORT)(registry_path->Length + parameters_bytes), buffer_bytes, path};

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    kpav_free(path, KPAV_TAG_MAL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG count = kpav_param_count();
    ULONG names_size = count * (ULONG)KPAV_PARAM_NAME_SIZE;
    auto* names = names_size != 0 ? (char*)kpav_alloc(names_size, KPAV_TAG_MAL) : nullptr;
    ULONG length = 0;
    if (names != nullptr && kpav_param_list(&length, names, names_size) == 0) {
        for (ULONG at = 0; at < length; at += (ULONG)strlen(names + at) + 1) {
            PavReadRegistryParameter(0, key, names + at);
        }
    }
    if (names != nullptr) {
        kpav_free(names, KPAV_TAG_MAL);
    }
    ZwClose(key);
    return STATUS_SUCCESS;
}
