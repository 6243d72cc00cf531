// The module parameters: the 55-row table, get, set and list with their refusals, and the reading
// of the registry at driver entry.

#include <memory>
#include <string>
#include <vector>

#include "driver/platform/params.h"
#include "sim/kernel/registry_control.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

const std::string service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane";
const std::string parameters = service + "\\Parameters";

struct expected_row {
    const char* registry_name;
    const char* name;
    ULONG type;
    LONG default_value;
    LONG min;
    LONG max;
    ULONG fixed;
    void* live;
    const char* help;
};

// The rows as the driver must have them: names, types, defaults, ranges, fixed flags, help.
const expected_row expected_rows[] = {
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

std::unique_ptr<kpav_param_get_record> get(const char* registry_name) {
    auto record = std::make_unique<kpav_param_get_record>();
    std::memset(record.get(), 0xCC, sizeof *record);
    std::memset(record->registry_name, 0, sizeof record->registry_name);
    strncpy(record->registry_name, registry_name, sizeof record->registry_name - 1);
    return record;
}

std::unique_ptr<kpav_param_set_record> set_int(const char* registry_name, LONG value, ULONG64 source = 0) {
    auto record = std::make_unique<kpav_param_set_record>();
    std::memset(record.get(), 0, sizeof *record);
    strncpy(record->registry_name, registry_name, sizeof record->registry_name - 1);
    record->value.integer = value;
    record->source = source;
    return record;
}

std::unique_ptr<kpav_param_set_record> set_text(const char* registry_name, const std::string& text) {
    auto record = std::make_unique<kpav_param_set_record>();
    std::memset(record.get(), 0, sizeof *record);
    strncpy(record->registry_name, registry_name, sizeof record->registry_name - 1);
    std::memcpy(record->value.text, text.data(), std::min(text.size(), sizeof record->value.text));
    return record;
}

// Every test starts from the defaults and leaves them behind.
class ParamsTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        restore_defaults();
        ASSERT_EQ(kpav_param_table_init(), 0);
    }
    void TearDown() override {
        kpav_param_table_free();
        restore_defaults();
        KernelTest::TearDown();
    }
    static void restore_defaults() {
        for (const expected_row& row : expected_rows) {
            if (row.type == KPAV_PARAM_STRING) {
                std::memset(row.live, 0, KPAV_PARAM_VALUE_SIZE);
            } else {
                *(LONG*)row.live = row.default_value;
            }
        }
    }
};

}  // namespace

TEST_F(ParamsTest, TableHoldsAll55ParametersWithTheirDefaults) {
    ASSERT_EQ(kpav_param_count(), 55u);
    ASSERT_EQ(ARRAYSIZE(expected_rows), 55u);
    for (const expected_row& row : expected_rows) {
        auto r = get(row.registry_name);
        ASSERT_EQ(kpav_param_get(r.get()), 0) << row.registry_name;
        EXPECT_STREQ(r->name, row.name);
        EXPECT_EQ(r->type, row.type) << row.registry_name;
        EXPECT_EQ(r->min, row.min) << row.registry_name;
        EXPECT_EQ(r->max, row.max) << row.registry_name;
        EXPECT_EQ(r->fixed, row.fixed) << row.registry_name;
        EXPECT_EQ(r->flag_one, 1u) << row.registry_name;
        EXPECT_EQ(r->source, 0u) << row.registry_name;
        EXPECT_EQ(std::string(r->help), std::string(row.help).substr(0, 255)) << row.registry_name;
        if (row.type == KPAV_PARAM_INT) {
            EXPECT_EQ(r->default_value.integer, row.default_value) << row.registry_name;
            EXPECT_EQ(r->value.integer, row.default_value) << row.registry_name;
            EXPECT_EQ(*(LONG*)row.live, row.default_value) << row.registry_name;
        } else {
            EXPECT_EQ(std::string(r->default_value.text, KPAV_PARAM_VALUE_SIZE),
                      std::string(KPAV_PARAM_VALUE_SIZE, '\0'))
                << row.registry_name;
            EXPECT_EQ(std::string(r->value.text, KPAV_PARAM_VALUE_SIZE), std::string(KPAV_PARAM_VALUE_SIZE, '\0'))
                << row.registry_name;
        }
    }

    // The names, NUL-separated in table order.
    std::vector<char> names(55 * KPAV_PARAM_NAME_SIZE);
    ULONG length = 0;
    ASSERT_EQ(kpav_param_list(&length, names.data(), (ULONG)names.size()), 0);
    std::string expected;
    for (const expected_row& row : expected_rows) {
        expected += std::string(row.registry_name) + '\0';
    }
    EXPECT_EQ(std::string(names.data(), length), expected);
}

TEST_F(ParamsTest, ASetTakesEffectInTheLiveVariableAndGetShowsIt) {
    ASSERT_EQ(kpav_param_set(set_int("COMPLETION_POLL_MS", 0, 0x4).get()), 0);
    EXPECT_EQ(completion_poll_ms, 0);
    auto r = get("COMPLETION_POLL_MS");
    ASSERT_EQ(kpav_param_get(r.get()), 0);
    EXPECT_EQ(r->value.integer, 0);
    EXPECT_EQ(r->default_value.integer, 10);
    EXPECT_EQ(r->source, 0x4u);

    ASSERT_EQ(kpav_param_set(set_text("PAV_AFFINITY", "3,N1").get()), 0);
    EXPECT_STREQ(pav_affinity, "3,N1");
    ASSERT_EQ(kpav_param_set(set_text("PAV_AFFINITY", "1").get()), 0);
    EXPECT_EQ(std::string(pav_affinity, 5), std::string("1\0\0\0\0", 5)) << "the old text is cleared";

    // Rebuilding the table keeps the live values.
    ASSERT_EQ(kpav_param_table_init(), 0);
    EXPECT_EQ(completion_poll_ms, 0);
    r = get("PAV_AFFINITY");
    ASSERT_EQ(kpav_param_get(r.get()), 0);
    EXPECT_STREQ(r->value.text, "1");
}

TEST_F(ParamsTest, RefusedSetsLeaveTheLiveValue) {
    struct refusal {
        const char* name;
        LONG value;
        int result;
        LONG* live;
        LONG kept;
    } cases[] = {
        {"PREFERRED_PARITY_PAD", -2, -13, &preferred_ppad, -1},
        {"PREFERRED_PARITY_PAD", 33, -13, &preferred_ppad, -1},
        {"PAV_CHUNK_SIZE_MB", 3, -13, &pav_chunk_size_mb, 128},
        {"PAV_MAX_NUM_BIOS", 1023, -13, &pav_max_num_bios, 5000},
        {"PORT_SUPPORTS_ATOMIC_WRITE", 1, -13, &port_supports_atomic_write, 0},  // fixed, in range
        {"VELKOR_MAX_EBMAP_PROBE", 100, -13, &velkor_max_ebmap_probe, 100},      // fixed, the default
        {"parallel_attach", 1, -25, &parallel_attach, 0},                         // only registry names
        {"NO_SUCH_PARAMETER", 1, -25, &parallel_attach, 0},
    };
    for (const refusal& c : cases) {
        EXPECT_EQ(kpav_param_set(set_int(c.name, c.value, 0x8).get()), c.result) << c.name << " " << c.value;
        EXPECT_EQ(*c.live, c.kept) << c.name;
    }
    auto r = get("PREFERRED_PARITY_PAD");
    ASSERT_EQ(kpav_param_get(r.get()), 0);
    EXPECT_EQ(r->source, 0x8u) << "a refused set still stores its source flags";
    EXPECT_EQ(kpav_param_set(set_int("PREFERRED_PARITY_PAD", -1).get()), 0);
    EXPECT_EQ(kpav_param_set(set_int("PREFERRED_PARITY_PAD", 32).get()), 0);
    EXPECT_EQ(preferred_ppad, 32);
    EXPECT_TRUE(log().empty()) << "refusals are answered, not logged";

    auto lower = get("parallel_attach");
    EXPECT_EQ(kpav_param_get(lower.get()), -25);
    auto unterminated = get("");
    std::memset(unterminated->registry_name, 'A', sizeof unterminated->registry_name);
    EXPECT_EQ(kpav_param_get(unterminated.get()), -25);
}

TEST_F(ParamsTest, TextsMustEndWithinTheirField) {
    std::string longest(4223, 'x');
    ASSERT_EQ(kpav_param_set(set_text("EXCLUDE_DEVICES", longest).get()), 0);
    EXPECT_EQ(std::string(exclude_devices), longest);

    // 4224 characters leave no room for the NUL; the scan must stop at the field's end (the
    // record is a heap block of its own size, so reading past it would be caught).
    auto full = set_text("EXCLUDE_DEVICES", std::string(4224, 'y'));
    full->source = 0x4141414141414141ull;
    EXPECT_EQ(kpav_param_set(full.get()), -13);
    EXPECT_EQ(std::string(exclude_devices), longest);
}

TEST_F(ParamsTest, ListOfNamesIntoBuffersOfEverySize) {
    std::vector<char> buffer(55 * KPAV_PARAM_NAME_SIZE, '#');
    ULONG length = 99;
    ASSERT_EQ(kpav_param_list(&length, buffer.data(), (ULONG)buffer.size()), 0);
    ULONG all = length;

    std::vector<char> exact(all, '#');
    length = 99;
    EXPECT_EQ(kpav_param_list(&length, exact.data(), all), 0) << "a buffer of exactly the listing's size";
    EXPECT_EQ(length, all);
    EXPECT_EQ(std::string(exact.data(), all), std::string(buffer.data(), all));

    std::vector<char> small(all - 1, '#');
    length = 99;
    EXPECT_EQ(kpav_param_list(&length, small.data(), (ULONG)small.size()), -22);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(std::string(small.data(), all - 1 - std::strlen("ENABLE_MULTQ_AT_LOAD") - 1 + 1),
              std::string(buffer.data(), all - 1 - std::strlen("ENABLE_MULTQ_AT_LOAD") - 1 + 1))
        << "the names that fitted stay";

    EXPECT_EQ(kpav_param_list(&length, nullptr, 100), -12);
    EXPECT_EQ(kpav_param_list(&length, buffer.data(), 0), -22);

    kpav_param_table_free();
    length = 99;
    EXPECT_EQ(kpav_param_list(&length, buffer.data(), (ULONG)buffer.size()), 0);
    EXPECT_EQ(length, 0u);
    auto r = get("AUTO_ATTACH");
    EXPECT_EQ(kpav_param_get(r.get()), -25) << "no table";
    EXPECT_EQ(kpav_param_set(set_int("AUTO_ATTACH", 0).get()), -25);
    EXPECT_EQ(auto_attach, 1);
}

TEST_F(ParamsTest, IntegerListsFromText) {
    kpav_int_list list;
    ASSERT_TRUE(kpav_param_parse_list("3,,7", &list));
    EXPECT_EQ(list.count, 2u);
    EXPECT_EQ(list.values[0], 3u);
    EXPECT_EQ(list.values[1], 7u);
    EXPECT_EQ(list.reserved, 0u);
    ASSERT_TRUE(kpav_param_parse_list(",12,", &list));
    EXPECT_EQ(list.count, 1u);

    ASSERT_TRUE(kpav_param_parse_list(",,", &list));
    EXPECT_EQ(list.count, 0u) << "separators alone make an empty list";
    for (const char* bad : {"3,0", "3,x", ""}) {
        EXPECT_FALSE(kpav_param_parse_list(bad, &list)) << bad;
    }
    EXPECT_FALSE(kpav_param_parse_list(nullptr, &list));
    EXPECT_FALSE(kpav_param_parse_list("1", nullptr));

    std::string many;
    for (int i = 1; i <= 256; i++) {
        many += std::to_string(i) + ",";
    }
    ASSERT_TRUE(kpav_param_parse_list(many.c_str(), &list));
    EXPECT_EQ(list.count, 256u);
    EXPECT_EQ(list.values[255], 256u);
    many += "257";
    EXPECT_FALSE(kpav_param_parse_list(many.c_str(), &list)) << "more than the list holds";
}

TEST_F(ParamsTest, RegistryValuesOfEitherTypeTakeEffectAtLoad) {
    registry_set_dword(parameters, "COMPLETION_POLL_MS", 0);
    registry_set_string(parameters, "PAV_AFFINITY", "3,N1");
    registry_set_dword(parameters, "parallel_attach", 1);             // value names ignore case
    registry_set(parameters, "AUTO_ATTACH", REG_BINARY, {0, 0, 0, 0});  // another type: ignored
    registry_set(parameters, "WIN_SCSI_BUS_ID", REG_DWORD, {5, 0});     // not four bytes: ignored
    registry_set(parameters, "EXCLUDE_DEVICES", REG_SZ, {'a', 0, 'b', 0, 'c', 0});  // no terminator
    registry_set_dword(parameters, "PREFERRED_PARITY_PAD", (uint32_t)-2);  // out of range
    registry_set_dword(parameters, "PORT_SUPPORTS_ATOMIC_WRITE", 1);     // fixed
    registry_set_string(parameters, "WIN_BLOCK_SIZE", "4096");           // text for a number
    registry_set_dword(parameters, "NOT_A_PARAMETER", 1);

    const char16_t path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane";
    UNICODE_STRING registry_path;
    RtlInitUnicodeString(&registry_path, path);
    EXPECT_EQ(PavReadRegistryParameters(&registry_path), STATUS_SUCCESS);

    EXPECT_EQ(completion_poll_ms, 0);
    EXPECT_STREQ(pav_affinity, "3,N1");
    EXPECT_EQ(parallel_attach, 1);
    EXPECT_EQ(auto_attach, 1);
    EXPECT_EQ(win_scsi_bus_id, 0);
    EXPECT_STREQ(exclude_devices, "abc");
    EXPECT_EQ(preferred_ppad, -1);
    EXPECT_EQ(port_supports_atomic_write, 0);
    EXPECT_EQ(win_block_size, 512);
    auto r = get("COMPLETION_POLL_MS");
    ASSERT_EQ(kpav_param_get(r.get()), 0);
    EXPECT_EQ(r->source, KPAV_PARAM_FROM_REGISTRY);
    r = get("AUTO_ATTACH");
    ASSERT_EQ(kpav_param_get(r.get()), 0);
    EXPECT_EQ(r->source, 0u);
    EXPECT_EQ(objects::open_handles(), 0u) << "the key is closed";

    registry_clear();
    EXPECT_EQ(PavReadRegistryParameters(&registry_path), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ParamsTest, ReadingOneValueAnswersWhatBecameOfIt) {
    registry_set_dword(parameters, "AUTO_ATTACH", 2);
    registry_set(parameters, "GROOMER_DISABLE", REG_BINARY, {1});
    registry_set_dword(parameters, "PAV_CHUNK_SIZE_MB", 256);
    registry_set_string(parameters, "INCLUDE_DEVICES", std::string(2113, 'i'));
    registry_set_string(parameters, "PAV_PREALLOCATE_MEMORY", std::string(2114, 'p'));
    const char16_t path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane\\Parameters";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);

    EXPECT_EQ(PavReadRegistryParameter(0, key, "AUTO_ATTACH"), STATUS_SUCCESS);
    EXPECT_EQ(auto_attach, 2);
    EXPECT_EQ(PavReadRegistryParameter(0, key, "GROOMER_DISABLE"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PavReadRegistryParameter(0, key, "PAV_CHUNK_SIZE_MB"), KPAV_PARAM_NOT_APPLIED);
    EXPECT_EQ(pav_chunk_size_mb, 128);
    EXPECT_EQ(PavReadRegistryParameter(0, key, "DISABLE_SCANNER"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(PavReadRegistryParameter(0, key, "INCLUDE_DEVICES"), STATUS_SUCCESS);
    EXPECT_EQ(std::string(include_devices), std::string(2113, 'i'));
    EXPECT_EQ(PavReadRegistryParameter(0, key, "PAV_PREALLOCATE_MEMORY"), STATUS_BUFFER_OVERFLOW)
        << "larger than the value buffer";
    EXPECT_EQ(preallocate_memory[0], 0);
    EXPECT_EQ(PavReadRegistryParameter(1, key, "AUTO_ATTACH"), STATUS_INVALID_PARAMETER) << "framework keys";

    fail_nth(fault_site::pool, 1, "mal4");
    EXPECT_EQ(PavReadRegistryParameter(0, key, "AUTO_ATTACH"), STATUS_INSUFFICIENT_RESOURCES);
    fail_nth(fault_site::pool, 2, "mal4");
    EXPECT_EQ(PavReadRegistryParameter(0, key, "AUTO_ATTACH"), STATUS_INSUFFICIENT_RESOURCES);
    ZwClose(key);
}
