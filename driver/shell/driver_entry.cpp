// Driver entry, the core's module initialisation and the unload that mirrors them. Both are
// step tables: a failed step undoes exactly the steps before it, and the clean-up callback
// undoes the whole table once.
#include "driver/block/bio.h"
#include "driver/controller/card.h"
#include "driver/controller/card_list.h"
#include "driver/controller/startup.h"
#include "driver/log/mblk.h"
#include "driver/platform/kassert.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/log.h"
#include "driver/platform/mem_chunk.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/pci.h"
#include "driver/platform/steps.h"
#include "driver/platform/thread.h"
#include "driver/platform/trace.h"
#include "driver/shell/disk.h"
#include "driver/shell/shell.h"

BOOLEAN pav_multiq = FALSE;
ULONG64* pav_numa_node_table = nullptr;
USHORT pav_numa_node_count = 0;
ULONG pav_mdl_mapping_flag = 0;

namespace {

constexpr ULONG static_node_entries = 256;
constexpr ULONG mdl_mapping_no_execute = 0x40000000;
// The build's configuration hash, printed at load.
constexpr const char config_hash[] = "3f1c9a0e5b7d2c4816a9e0f3b2d5c7a81e4f6b90";
constexpr ULONG user_request_size = 432;

ULONG64 static_node_table[static_node_entries];
bool node_table_allocated = false;
RTL_OSVERSIONINFOW version_record;
kpav_cache user_request_cache;
LONG user_request_counters[2];
kpav_step_run entry_run;
kpav_step_run core_run;
bool entry_complete = false;
NTSTATUS framework_status = STATUS_SUCCESS;

struct entry_context {
    PDRIVER_OBJECT driver_object;
    PUNICODE_STRING registry_path;
};

bool windows_8_or_later(const RTL_OSVERSIONINFOW& v) {
    return v.dwMajorVersion > 6 || (v.dwMajorVersion == 6 && v.dwMinorVersion >= 2);
}

// Waits up to 15 times 100 ms while `still` holds.
template <typename Condition>
void bounded_wait(Condition still) {
    for (int i = 0; i < 15 && still(); i++) {
        LARGE_INTEGER interval;
        interval.QuadPart = -1000000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

// ---- pav_driver_init and its parts

int driver_registration(void*) {
    kpav_print(KPAV_CLASS_NORMAL, "Zelt configuration hash: %s\n", config_hash);
    user_request_counters[0] = user_request_counters[1] = 0;
    int rc = __kpav_create_cache(&user_request_cache, "tavrin_user_ll_request-strovane", user_request_size);
    if (rc != 0) {
        return rc;
    }
    pav_driver_list_init();
    rc = pav_driver_kinfo_init();
    if (rc != 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 14339, "Unable to register driver (%d). Continuing.\n",
                    rc);
    }
    kpav_param_table_init();
    return 0;
}

void driver_unregistration(void*) {
    kpav_param_table_free();
    pav_driver_kinfo_exit();
    kpav_destroy_cache(&user_request_cache);
}

int metadata_blocks(void*) {
    // The format's client operations join with the format.
    return mblk_cache_init();
}

void metadata_blocks_exit(void*) {
    mblk_cache_exit();
}

// The bio cache and the block interface table, with the child disks as the disk front end.
int bio_layer(void*) {
    PavDiskRequestsInit();
    return kpav_bio_init(&pav_disk_block_ops);
}

void bio_layer_exit(void*) {
    kpav_bio_exit();
}

const kpav_step core_steps[] = {
    {"driver registration", driver_registration, driver_unregistration},
    {"format and metadata blocks", metadata_blocks, metadata_blocks_exit},
    {"bio layer", bio_layer, bio_layer_exit},
    // The virtual partitions' lists join with the partitions.
};

// ---- DriverEntry's steps

int parameter_table(void*) {
    kpav_param_table_init();  // not fatal: the driver loads with defaults
    return 0;
}

void parameter_table_free(void*) {
    kpav_param_table_free();
}

int registry_parameters(void* context) {
    PavReadRegistryParameters(((entry_context*)context)->registry_path);
    return 0;
}

int pool_type(void*) {
    RTL_OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    if (NT_SUCCESS(RtlGetVersion(&v)) && windows_8_or_later(v)) {
        kpav_pool_type = NonPagedPoolNx;
        pav_mdl_mapping_flag = mdl_mapping_no_execute;
    } else {
        kpav_pool_type = NonPagedPool;
        pav_mdl_mapping_flag = 0;
    }
    return 0;
}

int framework_driver(void* context) {
    auto* c = (entry_context*)context;
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, FdoEvtDeviceAdd);
    config.DriverPoolTag = 0;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = DriverEvtCleanup;
    NTSTATUS status = WdfDriverCreate(c->driver_object, c->registry_path, &attributes, &config, WDF_NO_HANDLE);
    framework_status = status;
    return NT_SUCCESS(status) ? 0 : -KPAV_EINVAL;
}

int trace_provider(void*) {
    version_record = {};
    version_record.dwOSVersionInfoSize = sizeof version_record;
    RtlGetVersion(&version_record);
    kpav_trace_register();
    return 0;
}

void trace_provider_exit(void*) {
    kpav_trace_unregister();
    bounded_wait([] { return kpav_trace_is_registered(); });
    // Driver threads still finishing their bodies are waited for before anything they use goes.
    bounded_wait([] { return ReadAcquire(&kpav_live_bound_threads) != 0; });
}

int numa_node_table(void*) {
    pav_numa_node_count = (USHORT)(KeQueryHighestNodeNumber() + 1);
    if (pav_numa_node_count <= static_node_entries) {
        RtlZeroMemory(static_node_table, sizeof static_node_table);
        pav_numa_node_table = static_node_table;
        return 0;
    }
    pav_numa_node_table = (ULONG64*)kpav_zalloc((size_t)pav_numa_node_count * 8, KPAV_TAG_PRO);
    node_table_allocated = pav_numa_node_table != nullptr;
    if (pav_numa_node_table == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6155,
                    "Failed to allocate memory for the numa node table.  NUMA node affinity will not be available.\n");
    }
    return 0;
}

void numa_node_table_free(void*) {
    if (node_table_allocated) {
        kpav_free(pav_numa_node_table, KPAV_TAG_PRO);
        node_table_allocated = false;
    }
    pav_numa_node_table = nullptr;
}

int locks_and_flags(void*) {
    pav_multiq = enable_multq_at_load != 0;
    kpav_pci_port_lock_init();
    return 0;
}

int core(void*) {
    return pav_core_init();
}

void core_exit(void*) {
    pav_core_exit();
}

int globals(void*) {
    return driver_globals_init();
}

void globals_exit(void*) {
    driver_globals_exit();
}

int page_chunks(void*) {
    if (!pav_mem_chunk_init()) {
        pav_chunk_enable = 0;  // only the allocator is lost
    }
    return 0;
}

void page_chunks_exit(void*) {
    pav_mem_chunk_exit();
}

int live_thread_count(void*) {
    WriteRelease(&kpav_live_bound_threads, 0);
    return 0;
}

// In entry order; unload undoes them in reverse, the chunk allocator and the node table last.
const kpav_step entry_steps[] = {
    {"live thread count", live_thread_count, nullptr},
    {"NUMA node table", numa_node_table, numa_node_table_free},
    {"page-chunk allocator", page_chunks, page_chunks_exit},
    {"parameter table", parameter_table, parameter_table_free},
    {"registry parameters", registry_parameters, nullptr},
    {"pool type", pool_type, nullptr},
    {"framework driver", framework_driver, nullptr},
    {"trace provider", trace_provider, trace_provider_exit},
    {"locks and flags", locks_and_flags, nullptr},
    {"core", core, core_exit, KPAV_STEP_REPORTS_FAILURE},
    {"driver globals", globals, globals_exit},
};

}  // namespace

int pav_core_init() {
    PAGED_CODE();
    return kpav_steps_run(&core_run, core_steps, ARRAYSIZE(core_steps), nullptr, KPAV_DRIVER_COMPONENT);
}

void pav_core_exit() {
    PAGED_CODE();
    kpav_steps_undo(&core_run, nullptr);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    PAGED_CODE();
    entry_complete = false;
    framework_status = STATUS_SUCCESS;
    entry_context context{driver_object, registry_path};
    int rc = kpav_steps_run(&entry_run, entry_steps, ARRAYSIZE(entry_steps), &context, KPAV_DRIVER_COMPONENT);
    if (rc != 0) {
        // Everything that succeeded is undone already; the framework's clean-up callback (when
        // the driver object was created) finds nothing left.
        return NT_SUCCESS(framework_status) ? STATUS_UNSUCCESSFUL : framework_status;
    }
    entry_complete = true;
    return STATUS_SUCCESS;
}

void DriverEvtCleanup(WDFOBJECT) {
    PAGED_CODE();
    if (!entry_complete) {
        return;
    }
    entry_complete = false;
    kpav_print(KPAV_CLASS_NORMAL, "Velkor driver unloading...\n");
    kpav_steps_undo(&entry_run, nullptr);
    kpav_print(KPAV_CLASS_NORMAL, "Velkor driver unloaded...\n");
}
