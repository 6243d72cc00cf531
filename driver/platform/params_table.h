// Internal to the parameters: the one table of the module parameters, in table order. A row
// gives the registry name, the live variable (whose name is the parameter's name), the default
// (string rows start empty), the range, whether every set is refused, and the help text.
//
// Included with KPAV_PARAM_INT_ROW(registry_name, variable, default, min, max, fixed, help) and
// KPAV_PARAM_STRING_ROW(registry_name, variable, min, max, fixed, help) defined: once for the
// live variables, once for the rows' descriptions.

KPAV_PARAM_INT_ROW("WIN_ENABLE_CHECK_DRIVE", win_enable_check_drive, 1, 0, 1, 0,
                  "Enables the Windows application bolverin.exe to perform a disk consistency check during OS boot time.")
KPAV_PARAM_INT_ROW("WIN_SCSI_BUS_ID", win_scsi_bus_id, 0, 0, 255, 0,
                  "Select a SCSI bus ID (0 is disable).")
KPAV_PARAM_INT_ROW("COMPLETION_POLL_MS", completion_poll_ms, 10, 0, 1000, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("EXPECTED_IO_SIZE", expected_io_size, 0, 0, 2147483647, 0,
                  "Timeout for data log compaction while shutting down.")
KPAV_PARAM_INT_ROW("WIN_BUGCHECK_ENABLE_CSR_DUMP", win_bugcheck_enable_csr_dump, 1, 0, 2147483647, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("PORT_SUPPORTS_NUMA_NODE_OVERRIDE", port_supports_numa_node_override, 1, 0, 1, 1,
                  "Internal")
KPAV_PARAM_INT_ROW("GROOMER_LOW_WATER_DELTA_HPCNT", groomer_low_water_delta_hpcnt, 1, 1, 10000, 0,
                  "The proportion of logical space free over the runway that represents 'the wall'")
KPAV_PARAM_INT_ROW("DISABLE_SCANNER", disable_scanner, 0, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("PORT_SUPPORTS_ATOMIC_WRITE", port_supports_atomic_write, 0, 0, 1, 1,
                  "Internal")
KPAV_PARAM_INT_ROW("VELKOR_USE_COMMAND_TIMEOUTS", use_command_timeouts, 1, 0, 1, 0,
                  "Use the command timeout registers")
KPAV_PARAM_INT_ROW("PAV_MIN_NUM_BIOS", pav_min_num_bios, 5000, 0, 16384, 0,
                  "Number of bio structures pre-allocated per device")
KPAV_PARAM_INT_ROW("WIN_BLOCK_SIZE", win_block_size, 512, 0, 2147483647, 0,
                  "Number of bytes in a sector")
KPAV_PARAM_INT_ROW("RSORT_MEMORY_LIMIT_MiB", rsort_memory_limit_MiB, 0, 0, 100000, 0,
                  "Memory limit in MiBytes for rsort rescan.")
KPAV_PARAM_STRING_ROW("PAV_AFFINITY", pav_affinity, 0, 100000, 0,
                     "Set up affinity options")
KPAV_PARAM_INT_ROW("VELKOR_THROTTLE_CAPACITY_WARNING_THRESHOLD", capacity_warning_threshold, 1000, 0, 9900, 0,
                  "If the reserve space is below this threshold (in hundredths of percent), warnings will be issued.")
KPAV_PARAM_INT_ROW("PAV_SCSI_UNMAP_SUPPORTED", enable_unmap, 0, 0, 1, 0,
                  "Enable UNMAP support.")
KPAV_PARAM_INT_ROW("PORT_SUPPORTS_NUMA_NODE_CACHE_ALLOCATIONS", port_supports_numa_node_cache_allocations, 0, 0, 1, 0,
                  "Allows allocation of NUMA node cache memory for requests.")
KPAV_PARAM_INT_ROW("VELKOR_LOAD_EB_MAP", velkor_load_eb_map, 1, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("GROOMER_BUFFER_SIZE", groomer_buffer_size, 16384, 64, 65536, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("USE_LARGE_PCIE_RX_BUFFER", use_large_pcie_rx_buffer, 0, 0, 1, 0,
                  "If true, use 1024 byte PCIe rx buffer. This improves performance but causes NMIs on some specific hardware.")
KPAV_PARAM_INT_ROW("GROOMER_HIGH_WATER_DELTA_HPCNT", groomer_high_water_delta_hpcnt, 160, 1, 10000, 0,
                  "The proportion of logical space over the low watermark where grooming starts (in ten-thousandths)")
KPAV_PARAM_INT_ROW("VELKOR_MAX_NUM_REQUEST_STRUCTURES", max_requests, 5000, 1024, 16384, 0,
                  "How many requests pending in velkor")
KPAV_PARAM_INT_ROW("WIN_LOG_VERBOSE", win_log_verbose, 1, 0, 1, 0,
                  "Informational messages which are normally only displayed on the debug console are also printed to the Windows System Log")
KPAV_PARAM_INT_ROW("PREALLOCATE_MB", preallocate_mb, 0, 0, 2147483647, 0,
                  "The megabyte limit for PAV_PREALLOCATE_MEMORY. This will prevent the driver from potentially using all of the system's non-paged memory.")
KPAV_PARAM_STRING_ROW("EXCLUDE_DEVICES", exclude_devices, 0, 2147483647, 0,
                     "List of cards to exclude from driver initialization (comma separated list of <domain>:<bus>:<slot>.<func>)")
KPAV_PARAM_INT_ROW("PAV_CHUNK_ENABLE", pav_chunk_enable, 1, 0, 1, 0,
                  "Enables memory chunk management.")
KPAV_PARAM_INT_ROW("PORT_SUPPORTS_USER_PAGES", port_supports_user_pages, 0, 0, 1, 1,
                  "Internal")
KPAV_PARAM_INT_ROW("PORT_SUPPORTS_PCI_NUMA_INFO", port_supports_pci_numa_info, 1, 0, 1, 1,
                  "Internal")
KPAV_PARAM_STRING_ROW("PAV_EXTERNAL_POWER_OVERRIDE", external_power_override, 0, 1, 0,
                     "Override external power requirement on boards that normally require it. (comma-separated list of adapter serial numbers)")
KPAV_PARAM_INT_ROW("WIN_DISABLE_ALL_AFFINITY", win_disable_all_affinity, 0, 0, 1, 0,
                  "Disable using affinity even if the user has set the registry value SetWorkerAffinity or default affinity is set to true")
KPAV_PARAM_INT_ROW("PREFERRED_PARITY_PAD", preferred_ppad, -1, -1, 32, 0,
                  "pad to use for parity (if possible, i.e. if not mapped out)")
KPAV_PARAM_INT_ROW("RMAP_MEMORY_LIMIT_MiB", rmap_memory_limit_MiB, 3100, 0, 100000, 0,
                  "Memory limit in MiBytes for rmap rescan.")
KPAV_PARAM_INT_ROW("PARALLEL_ATTACH", parallel_attach, 0, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("VELKOR_MAKE_ASSERT_NONFATAL", make_assert_nonfatal, 0, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("PORT_SUPPORTS_SGLIST_COPY", port_supports_sglist_copy, 0, 0, 1, 1,
                  "Internal")
KPAV_PARAM_INT_ROW("ENABLE_DISCARD", enable_discard, 1, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("MAX_MD_BLOCKS_PER_DEVICE", max_md_blocks_per_device, 0, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("PORT_SUPPORTS_PER_CPU", port_supports_per_cpu, 1, 0, 1, 1,
                  "Internal")
KPAV_PARAM_INT_ROW("CORECLK_MAX_DERATING", coreclk_max_derating, 31744, 0, 65535, 0,
                  "Maximum derating of the core clock.")
KPAV_PARAM_INT_ROW("PAV_MAX_NUM_BIOS", pav_max_num_bios, 5000, 1024, 16384, 0,
                  "Maximum number of bio structures allocated per device")
KPAV_PARAM_INT_ROW("PAV_CHUNK_SIZE_MB", pav_chunk_size_mb, 128, 4, 128, 0,
                  "Number of MB to allocate per memory chunk.")
KPAV_PARAM_INT_ROW("PCIe_GLOBAL_SLOT_POWER_LIMIT", global_slot_power_limit_mw, -1, -1, 100000, 0,
                  "Global PCIe slot power limit in milliwatts. Performance will be throttled to not exceed this limit in any PCIe slot.")
KPAV_PARAM_INT_ROW("FORCE_MINIMAL_MODE", force_minimal_mode, 0, 0, 1, 0,
                  "N/A")
KPAV_PARAM_INT_ROW("AUTO_ATTACH", auto_attach, 1, 0, 2, 0,
                  "Automatically attach drive during driver initialization: 0 = disable attach, 1 = enable attach (default). Note for Windows only: The driver will only attach if there was a clean shutdown, otherwise the bolverin utility will perform the full scan attach, 2 = Windows only: Forces the driver to do a full rescan (if needed).")
KPAV_PARAM_INT_ROW("WIN_DISABLE_DEFAULT_NUMA_AFFINITY", win_disable_default_numa_affinity, 0, 0, 1, 0,
                  "Disable setting a default NUMA affinity value in Windows7 and newer OSes")
KPAV_PARAM_INT_ROW("COMPACTION_TIMEOUT_MS", compaction_timeout_ms, 600000, 0, 2147483647, 0,
                  "Timeout in ms for data log compaction while shutting down.")
KPAV_PARAM_INT_ROW("GROOMER_DISABLE", disable_groomer, 0, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_STRING_ROW("INCLUDE_DEVICES", include_devices, 0, 1, 0,
                     "Whitelist of cards to include in driver initialization (comma separated list of <domain>:<bus>:<slot>.<func>)")
KPAV_PARAM_STRING_ROW("PAV_PREALLOCATE_MEMORY", preallocate_memory, 0, 1, 0,
                     "Causes the driver to pre-allocate the RAM it needs")
KPAV_PARAM_INT_ROW("VELKOR_MIN_NUM_REQUEST_STRUCTURES", min_requests, 5000, 0, 16384, 0,
                  "How many requests pre-allocated in velkor")
KPAV_PARAM_INT_ROW("PORT_SUPPORTS_DEVFS_HANDLE", port_supports_devfs_handle, 1, 0, 1, 1,
                  "Internal")
KPAV_PARAM_INT_ROW("VELKOR_MAX_EBMAP_PROBE", velkor_max_ebmap_probe, 100, 0, 2147483647, 1,
                  "Maximum number of erase blocks to search for the LEB map.")
KPAV_PARAM_INT_ROW("KPAV_SCSI_QUEUE_DEPTH", scsi_queue_depth, 256, 1, 1024, 0,
                  "The queue depth that is advertised to the OS SCSI interface.")
KPAV_PARAM_INT_ROW("ENABLE_WRITE_AGGREGATION", enable_write_aggregation, 0, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
KPAV_PARAM_INT_ROW("ENABLE_MULTQ_AT_LOAD", enable_multq_at_load, 1, 0, 1, 0,
                  "For use only under the direction of Customer Support.")
