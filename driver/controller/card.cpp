#include "driver/controller/card.h"

#include "driver/card/hw_reset.h"
#include "driver/controller/card_list.h"
#include "driver/controller/card_services.h"
#include "driver/controller/mid.h"
#include "driver/controller/pmp_client.h"
#include "driver/controller/sensor_cache.h"
#include "driver/controller/startup.h"
#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/nand_kinfo.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/pci.h"
#include "driver/platform/thread.h"

// A saved-state record: one per card key seen since the driver loaded.
struct pav_saved_state {
    ULONG zero;
    ULONG word;   // 0 released, 1 running, 2 beacon on
    ULONG64 key;
    ULONG zero2;
    ULONG tail;   // -1; its address goes to the card
    pav_saved_state* next;
};

namespace {

constexpr ULONG globals_ready = 0x1;
constexpr ULONG globals_up = 0x2;
constexpr ULONG globals_caches = 0x4;
constexpr ULONG globals_threads = 0x8;

struct driver_globals {
    ULONG flags;
    FAST_MUTEX saved_mutex;
    pav_saved_state* saved;
    int (*state_callback)(pipeline_device* card, ULONG* request);
    BOOLEAN up;
};
driver_globals globals;

const UCHAR registry_identity[DRIVER_REGISTRY_IDENTITY_SIZE] = {1};

// ---------------------------------------------------------------------------------------------
// The register-access handshake

constexpr ULONG csr_grant = 0x10F0;
constexpr ULONG csr_key = 0x10F4;
constexpr ULONG csr_unlocked = 0x10F8;
constexpr ULONG unlock_key = 0x5E13C7A2;
// A card that never grants stops the probe instead of hanging it.
constexpr ULONG unlock_attempts = 1000;

int csr_unlock(card_probe* probe) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (csr_read(probe->csr, csr_unlocked) == 0xCAFECAFE) {
        return 0;
    }
    for (ULONG attempt = 0; attempt < unlock_attempts; attempt++) {
        csr_write(probe->csr, csr_grant, 1);
        if (csr_read(probe->csr, csr_grant) == 1) {
            csr_write(probe->csr, csr_key, unlock_key);
            return 0;
        }
        KeStallExecutionProcessor(1);
    }
    kpav_print(KPAV_CLASS_NORMAL, "%s: Register access was not granted.\n", probe->name);
    return -KPAV_EIO;
}

// ---------------------------------------------------------------------------------------------
// The card record's creation, as steps on the probe record

int create_record(void* context) {
    auto* probe = (card_probe*)context;
    auto* card = (pipeline_device*)kpav_zalloc(sizeof(pipeline_device), KPAV_TAG_MAL);
    if (card == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Inadequate memory available - pipeline device.\n", probe->name);
        return -KPAV_ENOMEM;
    }
    InitializeListHead(&card->card_list_link);
    card->lock_mode_owner = -1;
    ExInitializeFastMutex(&card->raw_access_mutex);
    kpav_spinlock_init(&card->env_alert_lock, "environment alert");
    card->ops = probe->ops;
    card->probe = probe;
    probe->card = card;
    return 0;
}

void free_record(void* context) {
    auto* probe = (card_probe*)context;
    pipeline_device* card = probe->card;
    probe->card = nullptr;
    if (card != nullptr) {
        kpav_free(card, KPAV_TAG_MAL);
    }
}

int registry_connect(void* context) {
    auto* probe = (card_probe*)context;
    if (probe->registry != nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12290,
                    "Multiple attempts to initialize Tavrin driver registry.\n");
        return -KPAV_EINVAL;
    }
    DRIVER_REGISTRY_INTERFACE* interface = &probe->registry_interface;
    RtlZeroMemory(interface, sizeof *interface);
    if (!NT_SUCCESS(probe->ops->query_registry_interface(probe->pdev, interface)) || interface->Open == nullptr) {
        return -KPAV_ENXIO;
    }
    DRIVER_REGISTRY_CLIENT* client = nullptr;
    int rc = interface->Open(DRIVER_REGISTRY_INTERFACE_VERSION, registry_identity, &client);
    if (rc != 0) {
        interface->InterfaceDereference(interface->Context);
        return rc;
    }
    probe->registry = client;
    return 0;
}

void registry_disconnect(void* context) {
    auto* probe = (card_probe*)context;
    if (probe->registry != nullptr) {
        probe->registry->Ops->Release(probe->registry->Handle);
        probe->registry_interface.InterfaceDereference(probe->registry_interface.Context);
        probe->registry = nullptr;
    }
}

int registry_take_number(void* context) {
    auto* probe = (card_probe*)context;
    ULONG number = 0;
    int rc = probe->registry->Ops->Register(probe->registry->Handle, 0, &number);
    if (rc != 0) {
        return rc;
    }
    probe->card->card_number = number;
    return 0;
}

void registry_give_number(void* context) {
    auto* probe = (card_probe*)context;
    probe->registry->Ops->Unregister(probe->registry->Handle, 0, probe->card->card_number);
}

int init_record(void* context) {
    auto* probe = (card_probe*)context;
    pipeline_device* card = probe->card;
    pci_dev* pdev = probe->pdev;
    card->pdev = pdev;
    card->expected_io_size_value = (ULONG)expected_io_size;
    card->bar = probe->bar;
    card->csr = probe->csr;
    card->window2 = probe->window2;
    card->cq_windows = probe->cq_windows;
    card->completion_queue_count = probe->cq_count;
    card->slot = pdev->slot;
    card->card_index = probe->card_index;
    card->pci_domain = pdev->domain;
    card->pci_bus = pdev->bus;
    card->pci_device = pdev->device;
    card->pci_function = pdev->function;
    card->numa_node = PAV_NO_NUMA_NODE;
    card->bus_present = TRUE;
    kpav_snprintf(card->display_name, sizeof card->display_name, "%s %s", "Velkor", pdev->name);
    return 0;
}

int allocate_dump_buffer(void* context) {
    auto* probe = (card_probe*)context;
    pipeline_device* card = probe->card;
    card->dump.buffer = (char*)kpav_alloc(PAV_CSR_DUMP_SIZE, KPAV_TAG_VML);
    if (card->dump.buffer == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "Inadequate memory available - CSR dumps.\n");
        return -KPAV_ENOMEM;
    }
    card->dump.card = card;
    card->dump.size = PAV_CSR_DUMP_SIZE;
    card->dump.position = 0;
    return 0;
}

void free_dump_buffer(void* context) {
    csr_dump_free(((card_probe*)context)->card);
}

int unlock_again(void* context) {
    return csr_unlock((card_probe*)context);
}

int run_startup_checks(void* context) {
    return controller_startup_checks(((card_probe*)context)->card);
}

// Undoes what the start-up checks set up.
void startup_teardown(void* context) {
    pipeline_device* card = ((card_probe*)context)->card;
    if (card->per_cpu != nullptr) {
        kpav_free(card->per_cpu, KPAV_TAG_MAL);
        card->per_cpu = nullptr;
    }
    channel_pipeline_free(card);
    if (card->saved_state != nullptr) {
        *card->saved_state = 0;
        card->saved_state = nullptr;
    }
    adc_cache_free(card);
    card->sensor_cache_ready = FALSE;
    pmp_link_release(card);
    card->smp_link_open = FALSE;
    mid_free(card);
}

// The display name: "<product> Slot <n>" for the named subsystems in a known slot, else
// "<product> <pci name>".
int set_display_name(void* context) {
    pipeline_device* card = ((card_probe*)context)->card;
    pci_dev* pdev = card->pdev;
    const char* product = card->product_name[0] != 0 ? card->product_name : "Velkor";
    if (pdev->subsystem_vendor_id == 0x103C && pdev->subsystem_device_id == 0x324D && card->slot != 0) {
        kpav_snprintf(card->display_name, sizeof card->display_name, "%s %s%d", product, "Slot ", card->slot);
    } else {
        kpav_snprintf(card->display_name, sizeof card->display_name, "%s %s", product, pdev->name);
    }
    return 0;
}

const kpav_step create_steps[] = {
    {"card record", create_record, free_record},
    {"driver registry", registry_connect, registry_disconnect},
    {"card number", registry_take_number, registry_give_number},
    {"record set-up", init_record, nullptr},
    {"CSR dump buffer", allocate_dump_buffer, free_dump_buffer},
    {"register unlock", unlock_again, nullptr},
    {"start-up checks", run_startup_checks, startup_teardown},
    {"display name", set_display_name, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Probe, as steps on the PCI record (whose probe_steps the release undoes)

int probe_record(void* context) {
    auto* pdev = (pci_dev*)context;
    auto* probe = (card_probe*)kpav_zalloc(sizeof(card_probe), KPAV_TAG_MAL);
    if (probe == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "Velkor %s: Inadequate memory.\n", pdev->name);
        return -KPAV_ENOMEM;
    }
    probe->pdev = pdev;
    kpav_snprintf(probe->name, sizeof probe->name, "%s %s", "Velkor", pdev->name);
    probe->message_interrupts = TRUE;
    probe->ops = pdev->card_ops != nullptr ? pdev->card_ops : &card_ops_defaults;
    pdev->probe = probe;
    return 0;
}

void probe_record_free(void* context) {
    auto* pdev = (pci_dev*)context;
    card_probe* probe = pdev->probe;
    pdev->probe = nullptr;
    kpav_free(probe, KPAV_TAG_MAL);
}

int memory_regions(void* context) {
    auto* pdev = (pci_dev*)context;
    card_probe* probe = pdev->probe;
    if (pdev->bar == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Failed to get memory regions.\n", probe->name);
        return -KPAV_ENOMEM;
    }
    probe->bar = (volatile ULONG*)pdev->bar;
    probe->window2 = probe->bar + 0x2000 / 4;
    probe->cq_windows = probe->bar + 0x4000 / 4;
    probe->csr = probe->bar + 0x8000 / 4;
    return 0;
}

void memory_regions_release(void* context) {
    card_probe* probe = ((pci_dev*)context)->probe;
    cq_enable_windows(probe);
    probe->bar = probe->window2 = probe->cq_windows = probe->csr = nullptr;
}

int clear_pcie_errors(void* context) {
    pcie_clear_errors((pci_dev*)context);
    return 0;
}

int controller_reset(void* context) {
    card_probe* probe = ((pci_dev*)context)->probe;
    probe->cq_count = card_cq_count(probe->csr);
    int rc = csr_unlock(probe);
    if (rc != 0) {
        return rc;
    }
    return reset_hardware(probe, probe->cq_count);
}

int card_record(void* context) {
    card_probe* probe = ((pci_dev*)context)->probe;
    kpav_print(KPAV_CLASS_NORMAL, "%s: Configuring controller.\n", probe->name);
    int rc = kpav_steps_run(&probe->create_run, create_steps, ARRAYSIZE(create_steps), probe, probe->name);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Controller failed to initialize (%d).\n", probe->name, rc);
    }
    return rc;
}

void card_record_free(void* context) {
    card_probe* probe = ((pci_dev*)context)->probe;
    kpav_steps_undo(&probe->create_run, probe);
}

// The per-processor threads start once per driver; a failure fails this probe only (other
// cards keep the driver-wide state they use).
int processor_threads(void*) {
    int rc = cpu_wq_init(&controller_cpu_wq_ops);
    if (rc == 0) {
        globals.flags |= globals_threads;
    }
    return rc;
}

const kpav_step probe_steps[] = {
    {"probe record", probe_record, probe_record_free},
    {"memory regions", memory_regions, memory_regions_release},
    {"PCIe errors", clear_pcie_errors, nullptr},
    {"controller reset", controller_reset, nullptr},
    {"card record", card_record, card_record_free, KPAV_STEP_REPORTS_FAILURE},
    {"per-processor threads", processor_threads, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Card start, as steps on the card record (whose start_steps the stop undoes)

bool minimal_mode(const pipeline_device* card) {
    return (card->minimal_mode_reasons & PAV_MINIMAL) != 0;
}

int start_channel(void* context) {
    auto* card = (pipeline_device*)context;
    if (minimal_mode(card)) {
        return 0;
    }
    int rc = channel_pipeline_start(card);
    if (rc == CHANNEL_START_FAILED) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Channel failure detected during data channel startup.\n",
                   card->display_name);
    }
    if (rc < 0 && rc != -KPAV_EAGAIN) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Failed to complete data channel startup.\n", card->display_name);
    }
    if (rc < 0) {
        return rc;
    }
    // Read by a dump request on any thread (card/csr_dump.h).
    InterlockedOr((volatile LONG*)&card->start_flags, (LONG)PAV_CARD_PIPELINE_RUNNING);
    return 0;
}

void stop_channel(void* context) {
    auto* card = (pipeline_device*)context;
    if ((card->start_flags & PAV_CARD_PIPELINE_RUNNING) == 0) {
        return;
    }
    // The store that owns the card hears first that the device goes away.
    if (card->nand != nullptr) {
        if (card->stop_immediate) {
            nand_dev_stop_notify_flagged(card->nand);
        } else {
            nand_dev_stop_notify(card->nand);
        }
    }
    channel_pipeline_stop(card);
    InterlockedAnd((volatile LONG*)&card->start_flags, ~(LONG)PAV_CARD_PIPELINE_RUNNING);
}

int create_kinfo(void* context) {
    auto* card = (pipeline_device*)context;
    if (minimal_mode(card)) {
        return 0;
    }
    int rc = nand_dev_kinfo_create(card);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Failed to setup proc.\n", card->display_name);
    }
    return rc;
}

void remove_kinfo(void* context) {
    nand_dev_kinfo_remove((pipeline_device*)context);
}

int list_card(void* context) {
    auto* card = (pipeline_device*)context;
    pav_driver_list_add(card);
    card->list_flags |= PAV_CARD_LISTED;
    return 0;
}

void unlist_card(void* context) {
    auto* card = (pipeline_device*)context;
    if ((card->list_flags & PAV_CARD_LISTED) != 0) {
        pav_driver_list_remove(card);
        InitializeListHead(&card->card_list_link);
        card->list_flags &= ~PAV_CARD_LISTED;
    }
}

const kpav_step start_steps[] = {
    {"data channel", start_channel, stop_channel, KPAV_STEP_REPORTS_FAILURE},
    {"kinfo nodes", create_kinfo, remove_kinfo},
    {"card list", list_card, unlist_card},
};

int card_start(pipeline_device* card) {
    kpav_snprintf(card->name, sizeof card->name, "dov%d", (int)card->card_number);
    kpav_snprintf(card->channel_name, sizeof card->channel_name, "%s:0", card->name);
    int rc = kpav_steps_run(&card->start_steps, start_steps, ARRAYSIZE(start_steps), card, card->display_name);
    if (rc != 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12314, "Device is unavailable.\n");
    }
    return rc;
}

}  // namespace

int probe_device(pci_dev* pdev) {
    PAGED_CODE();
    char name[256];
    kpav_snprintf(name, sizeof name, "%s %s", "Velkor", pdev->name);
    int rc = kpav_steps_run(&pdev->probe_steps, probe_steps, ARRAYSIZE(probe_steps), pdev, name);
    if (rc != 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, name, 12296, "Drive startup failed (%d).\n", rc);
    }
    return rc;
}

NTSTATUS start_controller(pci_dev* pdev) {
    PAGED_CODE();
    card_probe* probe = pdev->probe;
    if (probe == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;  // never probed
    }
    for (ULONG q = 0; q < probe->cq_count; q++) {
        csr_write(probe->cq_windows + q * (512 / 4), 0, 1);
    }
    NTSTATUS status = probe->ops->register_card_interfaces(pdev, probe->card);
    if (status != STATUS_SUCCESS) {
        cq_enable_windows(probe);
        kpav_print(KPAV_CLASS_NORMAL, "%s: Controller failed to start (error %d)\n", probe->name, status);
    }
    return status;
}

int start_device(pci_dev* pdev, pipeline_device* card, struct FDO_CONTEXT* fdo) {
    PAGED_CODE();
    card_probe* probe = pdev->probe;
    if (probe == nullptr || card == nullptr) {
        return -KPAV_EINVAL;
    }
    card->fdo = fdo;
    kpav_print(KPAV_CLASS_NORMAL, "%s: Starting device %s\n", probe->name, card->display_name);
    int rc = card_start(card);
    if (rc < 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, probe->name, 12295, "Driver start failed with error %d: %s\n", rc,
                    kpav_errno_table[kpav_errno_lookup(rc)].text);
    } else {
        kpav_print(KPAV_CLASS_NORMAL, "%s: probed %s\n", card->display_name, card->name);
    }
    return rc;
}

void stop_device(pipeline_device* card, int immediate) {
    PAGED_CODE();
    if (card == nullptr) {
        return;
    }
    card->stop_immediate = immediate != 0;
    kpav_steps_undo(&card->start_steps, card);
    // A start that failed left its steps undone already; the kinfo nodes go in every case.
    remove_kinfo(card);
}

void release_device(pci_dev* pdev) {
    PAGED_CODE();
    kpav_steps_undo(&pdev->probe_steps, pdev);
}

// ---------------------------------------------------------------------------------------------
// Driver-wide state

int card_state_callback(pipeline_device* card, ULONG* request) {
    if (card->saved_state == nullptr) {
        if (*request == 2) {
            *request = 0;
        }
        return 0;
    }
    if (*request == 2) {
        *request = *card->saved_state == 2 ? 1 : 0;
        return 0;
    }
    *card->saved_state = *request == 1 ? 2 : 1;
    return 0;
}

// The saved-state record of `key`, created when `create` and absent; *existed says whether it
// was there. NULL when it is absent (or cannot be allocated).
pav_saved_state* pav_saved_state_find(ULONG64 key, bool create, bool* existed) {
    PAGED_CODE();
    ExAcquireFastMutex(&globals.saved_mutex);
    pav_saved_state* found = nullptr;
    for (pav_saved_state* s = globals.saved; s != nullptr; s = s->next) {
        if (s->key == key) {
            found = s;
            break;
        }
    }
    if (existed != nullptr) {
        *existed = found != nullptr;
    }
    if (found == nullptr && create) {
        found = (pav_saved_state*)kpav_zalloc(sizeof(pav_saved_state), KPAV_TAG_MAL);
        if (found != nullptr) {
            found->key = key;
            found->tail = 0xFFFFFFFF;
            found->next = globals.saved;
            globals.saved = found;
        }
    }
    ExReleaseFastMutex(&globals.saved_mutex);
    return found;
}

int driver_globals_init() {
    PAGED_CODE();
    ExInitializeFastMutex(&globals.saved_mutex);
    globals.saved = nullptr;
    globals.state_callback = card_state_callback;
    globals.up = TRUE;
    globals.flags = globals_ready | globals_up;
    int rc = request_caches_create();
    if (rc != 0) {
        driver_globals_exit();
        return rc;
    }
    globals.flags |= globals_caches;
    if (kpav_numa_init() != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "Warning: failed to allocate CPU topology mem, expect suboptimal performance\n");
    }
    return 0;
}

void driver_globals_exit() {
    PAGED_CODE();
    if ((globals.flags & globals_threads) != 0) {
        cpu_wq_exit();
    }
    if ((globals.flags & globals_caches) != 0) {
        request_caches_destroy();
    }
    if ((globals.flags & globals_up) != 0) {
        globals.up = FALSE;
    }
    if ((globals.flags & globals_ready) != 0) {
        ExAcquireFastMutex(&globals.saved_mutex);
        while (globals.saved != nullptr) {
            pav_saved_state* next = globals.saved->next;
            kpav_free(globals.saved, KPAV_TAG_MAL);
            globals.saved = next;
        }
        ExReleaseFastMutex(&globals.saved_mutex);
        kpav_numa_exit();
    }
    globals.flags = 0;
}

const char* card_in_preallocate_list(const char* text) {
    size_t length = 0;
    while (text != nullptr && text[length] != 0) {
        length++;
    }
    if (length == 0 || preallocate_memory[0] == 0) {
        return nullptr;
    }
    for (const char* item = preallocate_memory; *item != 0;) {
        size_t n = 0;
        while (item[n] != 0 && item[n] != ',') {
            n++;
        }
        if (n == length && RtlCompareMemory(item, text, n) == n) {
            return item;
        }
        item += n;
        if (*item == ',') {
            item++;
        }
    }
    return nullptr;
}
