// Live variables of the module parameters that the platform layer reads. Each starts at its
// default; the parameter table and the registry set them.
#pragma once

#include <cstddef>

#include "driver/platform/os.h"

extern LONG win_log_verbose;               // class 0 messages are also traced
extern LONG make_assert_nonfatal;          // failed assertions are counted, not fatal
extern LONG win_bugcheck_enable_csr_dump;  // crash dumps carry the card's register dump
extern LONG win_disable_all_affinity;      // threads and interrupts get no affinity
extern LONG pav_chunk_enable;              // the page-chunk allocator is used
extern LONG pav_chunk_size_mb;             // size of one page chunk

// The other module parameters, in table order.
constexpr size_t KPAV_PARAM_VALUE_SIZE = 4224;
extern LONG win_enable_check_drive;
extern LONG win_scsi_bus_id;
extern LONG completion_poll_ms;
extern LONG expected_io_size;
extern LONG port_supports_numa_node_override;
extern LONG groomer_low_water_delta_hpcnt;
extern LONG disable_scanner;
extern LONG port_supports_atomic_write;
extern LONG use_command_timeouts;
extern LONG pav_min_num_bios;
extern LONG win_block_size;
extern LONG rsort_memory_limit_MiB;
extern LONG capacity_warning_threshold;
extern LONG enable_unmap;
extern LONG port_supports_numa_node_cache_allocations;
extern LONG velkor_load_eb_map;
extern LONG groomer_buffer_size;
extern LONG use_large_pcie_rx_buffer;
extern LONG groomer_high_water_delta_hpcnt;
extern LONG max_requests;
extern LONG preallocate_mb;
extern LONG port_supports_user_pages;
extern LONG port_supports_pci_numa_info;
extern LONG preferred_ppad;
extern LONG rmap_memory_limit_MiB;
extern LONG parallel_attach;
extern LONG port_supports_sglist_copy;
extern LONG enable_discard;
extern LONG max_md_blocks_per_device;
extern LONG port_supports_per_cpu;
extern LONG coreclk_max_derating;
extern LONG pav_max_num_bios;
extern LONG global_slot_power_limit_mw;
extern LONG force_minimal_mode;
extern LONG auto_attach;
extern LONG win_disable_default_numa_affinity;
extern LONG compaction_timeout_ms;
extern LONG disable_groomer;
extern LONG min_requests;
extern LONG port_supports_devfs_handle;
extern LONG velkor_max_ebmap_probe;
extern LONG scsi_queue_depth;
extern LONG enable_write_aggregation;
extern LONG enable_multq_at_load;
extern char pav_affinity[KPAV_PARAM_VALUE_SIZE];
extern char exclude_devices[KPAV_PARAM_VALUE_SIZE];
extern char external_power_override[KPAV_PARAM_VALUE_SIZE];
extern char include_devices[KPAV_PARAM_VALUE_SIZE];
extern char preallocate_memory[KPAV_PARAM_VALUE_SIZE];

// ---------------------------------------------------------------------------------------------
// The parameter table: one row per parameter, built at load, read and set through the control
// interface and filled from the registry.

constexpr ULONG KPAV_PARAM_COUNT = 55;
constexpr size_t KPAV_PARAM_NAME_SIZE = 81;  // a registry or parameter name and its NUL
constexpr ULONG KPAV_PARAM_LIST_MAX = 256;

enum kpav_param_type : ULONG {
    KPAV_PARAM_INT = 0,
    KPAV_PARAM_INT_ALT = 1,  // handled as KPAV_PARAM_INT
    KPAV_PARAM_STRING = 2,
    KPAV_PARAM_LIST = 3,
};

// List modes of a set record for list rows.
constexpr ULONG KPAV_PARAM_LIST_TEXT = 2;    // the value is "a,b,c"
constexpr ULONG KPAV_PARAM_LIST_BINARY = 3;  // the value is a kpav_int_list

// Source flags of a set.
constexpr ULONG64 KPAV_PARAM_FROM_REGISTRY = 0x1;

struct kpav_int_list {
    ULONG count;
    ULONG reserved;
    ULONG values[KPAV_PARAM_LIST_MAX];
};
static_assert(sizeof(kpav_int_list) == 1032);

union kpav_param_value {
    LONG integer;
    char text[KPAV_PARAM_VALUE_SIZE];
    kpav_int_list list;
};
static_assert(sizeof(kpav_param_value) == KPAV_PARAM_VALUE_SIZE);

struct kpav_param {
    const char* registry_name;  // upper case: the registry value's name and the key of lookups
    const char* name;           // lower case, reported by get
    kpav_param_value default_value;
    ULONG fixed;     // 1: every set is refused
    ULONG flag_one;  // 1 in every row
    ULONG type;      // kpav_param_type
    void* value;     // the live variable
    LONG min;
    LONG max;
    const char* help;
    ULONG64 source;  // source flags of the last set
};

// The get request's record: the registry name in, the row out.
struct kpav_param_get_record {
    char registry_name[KPAV_PARAM_NAME_SIZE];
    char name[KPAV_PARAM_NAME_SIZE];
    UCHAR reserved[2];
    ULONG fixed;
    kpav_param_value default_value;
    ULONG flag_one;
    ULONG type;
    char help[256];
    LONG min;
    LONG max;
    kpav_param_value value;
    ULONG64 source;
};
static_assert(sizeof(kpav_param_get_record) == 8896);
static_assert(offsetof(kpav_param_get_record, name) == 81);
static_assert(offsetof(kpav_param_get_record, fixed) == 164);
static_assert(offsetof(kpav_param_get_record, default_value) == 168);
static_assert(offsetof(kpav_param_get_record, flag_one) == 4392);
static_assert(offsetof(kpav_param_get_record, type) == 4396);
static_assert(offsetof(kpav_param_get_record, help) == 4400);
static_assert(offsetof(kpav_param_get_record, min) == 4656);
static_assert(offsetof(kpav_param_get_record, max) == 4660);
static_assert(offsetof(kpav_param_get_record, value) == 4664);
static_assert(offsetof(kpav_param_get_record, source) == 8888);

// The set request's record, also filled by the registry reader.
struct kpav_param_set_record {
    char registry_name[KPAV_PARAM_NAME_SIZE];
    UCHAR reserved[3];
    ULONG list_mode;  // list rows only
    kpav_param_value value;
    ULONG64 source;
};
static_assert(sizeof(kpav_param_set_record) == 4320);
static_assert(offsetof(kpav_param_set_record, list_mode) == 84);
static_assert(offsetof(kpav_param_set_record, value) == 88);
static_assert(offsetof(kpav_param_set_record, source) == 4312);

// Builds the rows (the table is allocated the first time only; live values are kept): 0, or -1
// when the table cannot be allocated.
int kpav_param_table_init();
// Frees the table; lookups then answer -KPAV_ENOTTY until it is built again.
void kpav_param_table_free();
ULONG kpav_param_count();

// 0, -KPAV_ENOTTY for an unknown name (or no table), -KPAV_EACCES for a row of an unknown type.
int kpav_param_get(kpav_param_get_record* record);
// 0, -KPAV_ENOTTY for an unknown name, -KPAV_EACCES for every refusal (fixed, out of range, a text
// without NUL in its 4224 bytes, a bad list); a refused set leaves the live value as it was.
int kpav_param_set(const kpav_param_set_record* record);
// Every registry name and a NUL, in table order: 0, -KPAV_ENOMEM for a NULL buffer, -KPAV_EINVAL
// for size 0 or names that do not fit (those that fitted stay).
int kpav_param_list(ULONG* length, char* buffer, ULONG size);
// "3,,7" -> {3, 7}. false for no text, a token that is 0 or no number, more than 256 values.
bool kpav_param_parse_list(const char* text, kpav_int_list* list);

// Reads every parameter from the "Parameters" key below the driver's service key (at driver
// entry, PASSIVE_LEVEL): STATUS_SUCCESS, or the status of opening the key.
NTSTATUS PavReadRegistryParameters(PCUNICODE_STRING registry_path);
// Reads one value named like the parameter's registry name from an open key (mode 0, a kernel
// handle) and sets it: REG_DWORD as a number, REG_SZ as text. The query's failure status,
// STATUS_INVALID_PARAMETER for another type (or a REG_DWORD that is not 4 bytes), or
// KPAV_PARAM_NOT_APPLIED when the set refused the value.
NTSTATUS PavReadRegistryParameter(ULONG mode, HANDLE key, const char* name);
constexpr NTSTATUS KPAV_PARAM_NOT_APPLIED = (NTSTATUS)0x80000001;
