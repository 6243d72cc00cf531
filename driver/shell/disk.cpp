// The card's child disks: the Windows disk entry of the block interface table, the child
// list's descriptions and the creation and callbacks of the disk devices.
//
// A disk goes: described (expose adds its description) -> created (the child list calls
// PdoEvtChildListCreateDevice) -> hidden with its queue stopped (a later expose of the same
// UUID starts it again) -> removed (hide with flag bit 0 deletes its VSU_CONTEXT object and marks
// it missing). `busy` keeps create and hide apart.
#include "driver/block/bdev.h"
#include "driver/block/bdev_partition.h"
#include "driver/block/vsu.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/uuid.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/shell/disk.h"

namespace {

constexpr ULONG tag_text = kpav_tag("ust4");
constexpr ULONG tag_serial = kpav_tag("bsi4");
constexpr LCID locale_us = 0x409;
constexpr ULONG text_limit = 128;
// The four text buffers of a creation, in bytes: product and hardware id, description,
// location.
constexpr ULONG buffer_sizes[4] = {160, 160, 512, 160};

void kpav_noop(WDFOBJECT) {}

NTSTATUS kpav_noop_success(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    return STATUS_SUCCESS;
}

NTSTATUS kpav_noop_success_io(WDFDEVICE) {
    return STATUS_SUCCESS;
}

void kpav_noop_io(WDFDEVICE) {}

void queue_noop_stop(WDFQUEUE, WDFREQUEST, ULONG) {}
void queue_noop_resume(WDFQUEUE, WDFREQUEST) {}

// The card context of a block device: through its card's channel.
FDO_CONTEXT* card_context(const bdev* device) {
    if (device->channel == nullptr || device->channel->card == nullptr) {
        return nullptr;
    }
    return device->channel->card->fdo;
}

// The UUID text of an exposed block device (a partition): 0, or -KPAV_EINVAL for a device
// without one.
int uuid_text(bdev* device, char* text) {
    if (device->ops != &partition_bdev_ops) {
        return -KPAV_EINVAL;
    }
    vsu* partition = nullptr;
    partition_get_info(device, &partition);
    if (partition == nullptr) {
        return -KPAV_EINVAL;
    }
    pav_uuid_unparse(partition->identity, text);
    return 0;
}

void busy_enter(VSU_CONTEXT* vsu) {
    kpav_spin_lock(&vsu->lock);
    while (vsu->busy != 0) {
        kpav_cv_timedwait(&vsu->waiters, &vsu->lock, KPAV_NO_TIMEOUT, false);
    }
    vsu->busy = 1;
    kpav_spin_unlock(&vsu->lock);
}

void busy_leave(VSU_CONTEXT* vsu) {
    kpav_spin_lock(&vsu->lock);
    vsu->busy = 0;
    kpav_spin_unlock(&vsu->lock);
    kpav_cv_broadcast(&vsu->waiters);
}

// A narrow text as a counted wide string in `buffer` of `size` bytes.
void widen(const char* text, WCHAR* buffer, ULONG size, UNICODE_STRING* out) {
    ULONG room = size / sizeof(WCHAR) - 1;
    ULONG n = 0;
    for (; text[n] != 0 && n < room; n++) {
        buffer[n] = (WCHAR)(UCHAR)text[n];
    }
    buffer[n] = 0;
    out->Buffer = buffer;
    out->Length = (USHORT)(n * sizeof(WCHAR));
    out->MaximumLength = (USHORT)size;
}

// The same for a narrow text at the start of `buffer` itself (at most size / 2 - 1 characters),
// widened from its end backwards.
void widen_in_place(WCHAR* buffer, ULONG size, UNICODE_STRING* out) {
    auto* narrow = (const char*)buffer;
    ULONG n = 0;
    while (n < size / sizeof(WCHAR) - 1 && narrow[n] != 0) {
        n++;
    }
    for (ULONG i = n; i > 0; i--) {
        buffer[i - 1] = (WCHAR)(UCHAR)narrow[i - 1];
    }
    buffer[n] = 0;
    out->Buffer = buffer;
    out->Length = (USHORT)(n * sizeof(WCHAR));
    out->MaximumLength = (USHORT)size;
}

void stop_done(WDFQUEUE, WDFCONTEXT context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
}

bool has_ports(ULONG kind) {
    return kind == 2 || kind == 4 || kind == 5 || kind == 14;
}

ULONG capacity_gb(const bdev* device) {
    ULONG64 gb = (ULONG64)device->sector_size * device->sector_count / 1000000000ull;
    return (ULONG)(gb - gb % 10);
}

}  // namespace

const kpav_block_ops pav_disk_block_ops = {
    PavDiskAssignName, nullptr, PavDiskExpose, PavDiskHide, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

int PavDiskAssignName(bdev* device) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (device->name[0] == 0) {
        kpav_snprintf(device->name, sizeof device->name, "%s%d", "dov", (int)device->devnum);
    }
    return 0;
}

void PavDiskGeometry(const bdev* device, ULONG block_size, pav_disk_geometry* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    RtlZeroMemory(out, sizeof *out);
    out->internal_sector_size = device->sector_size;
    out->external_sector_size = block_size > device->sector_size ? block_size : device->sector_size;
    out->internal_count = device->sector_count;
    out->sectors_per_external =
        device->sector_size != 0 ? out->external_sector_size / device->sector_size : 0;
    out->external_count = out->sectors_per_external != 0 ? device->sector_count / out->sectors_per_external : 0;
    out->capacity_bytes = (ULONG64)out->external_sector_size * out->external_count;
}

int PavDiskExpose(bdev* device) {
    PAGED_CODE();
    FDO_CONTEXT* fdo = card_context(device);
    if (fdo == nullptr || fdo->device == nullptr) {
        return -KPAV_EINVAL;
    }
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(fdo->device);
    if (list == nullptr) {
        return -KPAV_EINVAL;
    }
    PAV_DISK_IDENTIFICATION mine;
    RtlZeroMemory(&mine, sizeof mine);
    mine.header.IdentificationDescriptionSize = sizeof mine;
    if (uuid_text(device, mine.uuid) != 0) {
        return -KPAV_EINVAL;
    }

    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrievePresentChildren | WdfRetrievePendingChildren);
    WdfChildListBeginIteration(list, &iterator);
    bool reused = false;
    for (;;) {
        PAV_DISK_IDENTIFICATION found;
        RtlZeroMemory(&found, sizeof found);
        found.header.IdentificationDescriptionSize = sizeof found;
        WDF_CHILD_RETRIEVE_INFO info;
        WDF_CHILD_RETRIEVE_INFO_INIT(&info, &found.header);
        WDFDEVICE pdo = nullptr;
        if (WdfChildListRetrieveNextDevice(list, &iterator, &pdo, &info) != STATUS_SUCCESS) {
            break;
        }
        if (RtlCompareMemory(found.uuid, mine.uuid, sizeof mine.uuid) != sizeof mine.uuid) {
            continue;
        }
        if ((info.Status == WdfChildListRetrieveDeviceSuccess ||
             info.Status == WdfChildListRetrieveDeviceNotYetCreated) &&
            found.vsu_object != nullptr) {
            VSU_CONTEXT* vsu = PavGetVsuContext(found.vsu_object);
            vsu->pdo = pdo;
            vsu->device = device;
            device->disk = vsu;
            if (pdo != nullptr) {
                vsu->exposed = 1;
                PDO_CONTEXT* disk = PavGetPdoContext(pdo);
                if (disk->queue != nullptr) {
                    WdfIoQueueStart(disk->queue);
                }
            }
            WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &found.header, nullptr);
            reused = true;
            break;
        }
        // A stale description of the same partition: it goes, and a new one takes its place.
        WdfChildListUpdateChildDescriptionAsMissing(list, &found.header);
    }
    WdfChildListEndIteration(list, &iterator);
    if (reused) {
        return 0;
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, VSU_CONTEXT);
    attributes.EvtDestroyCallback = kpav_noop;
    WDFOBJECT object = nullptr;
    if (!NT_SUCCESS(WdfObjectCreate(&attributes, &object))) {
        return -KPAV_ENOMEM;
    }
    VSU_CONTEXT* vsu = PavGetVsuContext(object);
    vsu->fdo = fdo;
    vsu->device = device;
    vsu->disk_number = device->devnum;
    vsu->exposed = 0;
    vsu->busy = 0;
    vsu->identification = mine;
    vsu->identification.vsu_object = object;
    kpav_spinlock_init(&vsu->lock, "vsu busy");
    kpav_cv_init(&vsu->waiters, "vsu busy");
    KeInitializeEvent(&vsu->created, SynchronizationEvent, FALSE);
    device->disk = vsu;
    // The child list keeps its own copy (with a reference); the disk device is created from it.
    NTSTATUS status = WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &vsu->identification.header, nullptr);
    if (!NT_SUCCESS(status)) {
        device->disk = nullptr;
        WdfObjectDelete(object);
        return -KPAV_ENOMEM;
    }
    return 0;
}

int PavDiskHide(bdev* device, ULONG flags) {
    PAGED_CODE();
    auto* vsu = (VSU_CONTEXT*)device->disk;
    if (vsu == nullptr || vsu->fdo == nullptr || vsu->fdo->device == nullptr) {
        return -KPAV_ENOENT;
    }
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(vsu->fdo->device);
    if (list == nullptr) {
        return -KPAV_ENOENT;
    }
    busy_enter(vsu);
    PAV_DISK_IDENTIFICATION identification = vsu->identification;
    WDF_CHILD_RETRIEVE_INFO info;
    WDF_CHILD_RETRIEVE_INFO_INIT(&info, &identification.header);
    WDFDEVICE pdo = WdfChildListRetrievePdo(list, &info);
    if (pdo != nullptr) {
        PDO_CONTEXT* disk = PavGetPdoContext(pdo);
        if (disk->queue != nullptr) {
            // Every request on the queue is done before the links go.
            KEVENT stopped;
            KeInitializeEvent(&stopped, SynchronizationEvent, FALSE);
            WdfIoQueueStop(disk->queue, stop_done, &stopped);
            KeWaitForSingleObject(&stopped, Executive, KernelMode, FALSE, nullptr);
        }
    }
    vsu->pdo = nullptr;
    vsu->device = nullptr;
    vsu->exposed = 0;
    device->disk = nullptr;
    busy_leave(vsu);
    if ((flags & 0x1) == 0 && pdo != nullptr) {
        return 0;  // the disk stays, its queue stopped
    }
    WdfObjectDelete(identification.vsu_object);
    WdfChildListUpdateChildDescriptionAsMissing(list, &identification.header);
    return 0;
}

NTSTATUS PdoIdentificationDuplicate(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER source,
                                    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER destination) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    RtlCopyMemory(destination, source, sizeof(PAV_DISK_IDENTIFICATION));
    auto* copy = (PAV_DISK_IDENTIFICATION*)destination;
    if (copy->vsu_object != nullptr) {
        WdfObjectReference(copy->vsu_object);
    }
    return STATUS_SUCCESS;
}

void PdoIdentificationCleanup(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER description) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* copy = (PAV_DISK_IDENTIFICATION*)description;
    if (copy->vsu_object != nullptr) {
        WdfObjectDereference(copy->vsu_object);
    }
}

void PavDiskConfigureChildList(PWDFDEVICE_INIT device_init) {
    PAGED_CODE();
    WDF_CHILD_LIST_CONFIG config;
    WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(PAV_DISK_IDENTIFICATION), PdoEvtChildListCreateDevice);
    config.EvtChildListIdentificationDescriptionDuplicate = PdoIdentificationDuplicate;
    config.EvtChildListIdentificationDescriptionCleanup = PdoIdentificationCleanup;
    WdfFdoInitSetDefaultChildListConfig(device_init, &config, WDF_NO_OBJECT_ATTRIBUTES);
}

NTSTATUS WriteDeviceSerialNumber(FDO_CONTEXT* fdo) {
    PAGED_CODE();
    pipeline_device* card = fdo->card;
    auto* wide = (WCHAR*)kpav_zalloc(258, tag_serial);
    if (wide == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING text;
    widen(card != nullptr ? card->adapter_serial : "", wide, 258, &text);
    WDFKEY key = nullptr;
    NTSTATUS status = WdfDeviceOpenRegistryKey(fdo->device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                               WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        kpav_syslog(KPAV_LEVEL_WARNING, nullptr, KPAV_NO_MESSAGE_ID, "dov%d failed to open %s registry key: 0x%x\n",
                    (int)fdo->card_number, "device", (unsigned)status);
        kpav_free(wide, tag_serial);
        return status;
    }
    WDFSTRING string = nullptr;
    status = WdfStringCreate(&text, WDF_NO_OBJECT_ATTRIBUTES, &string);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"serial_number");
        status = WdfRegistryAssignString(key, &name, string);
        WdfObjectDelete(string);
    }
    WdfRegistryClose(key);
    kpav_free(wide, tag_serial);
    return status;
}

namespace {

struct create_buffers {
    WCHAR* text[4];  // product/hardware id, instance and compatible, description, location
};

// Steps 3 to 13 of a disk's creation: the status of the last step that ran.
NTSTATUS create_disk(FDO_CONTEXT* fdo, VSU_CONTEXT* vsu, PWDFDEVICE_INIT init, create_buffers* b) {
    pipeline_device* card = fdo->card;
    bdev* device = vsu->device;
    WdfDeviceInitSetIoType(init, WdfDeviceIoDirect);
    WdfDeviceInitSetDeviceType(init, FILE_DEVICE_MASS_STORAGE);

    // The texts are formatted narrow into the creation's buffers and widened in place.
    ULONG gb = capacity_gb(device);
    char* product_id = (char*)b->text[1];
    kpav_snprintf(product_id, buffer_sizes[1] / 2, "_Velkor_%lluGB______", (unsigned long long)gb);
    UNICODE_STRING text;
    kpav_snprintf((char*)b->text[0], buffer_sizes[0] / 2, "PCIE\\DiskTavrinIO%.16s0001", product_id);
    widen_in_place(b->text[0], buffer_sizes[0], &text);
    NTSTATUS status = WdfPdoInitAssignDeviceID(init, &text);
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAddHardwareID(init, &text);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    widen(vsu->identification.uuid, b->text[1], buffer_sizes[1], &text);
    status = WdfPdoInitAssignInstanceID(init, &text);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING compatible;
    RtlInitUnicodeString(&compatible, u"GenDisk");
    status = WdfPdoInitAddCompatibleID(init, &compatible);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The description: the product name without its trailing blanks, or "Velkor".
    char* product = (char*)b->text[3];
    kpav_snprintf(product, text_limit + 1, "%s", card->product_name);
    size_t n = strlen(product);
    while (n > 0 && product[n - 1] == ' ') {
        product[--n] = 0;
    }
    if (n == 0) {
        kpav_syslog(KPAV_LEVEL_WARNING, nullptr, KPAV_NO_MESSAGE_ID,
                    "WARNING: product name is empty, using default \"Velkor\"\n");
        kpav_snprintf(product, text_limit + 1, "Velkor");
    }
    char* narrow = (char*)b->text[2];
    if (has_ports(card->board_kind)) {
        kpav_snprintf(narrow, text_limit + 1, "%s, Port %d, Velkor %lluGB", product, (int)card->port_number,
                      (unsigned long long)gb);
    } else {
        kpav_snprintf(narrow, text_limit + 1, "%s", product);
    }
    UNICODE_STRING description;
    widen_in_place(b->text[2], buffer_sizes[2], &description);
    char* place = (char*)b->text[3];
    if (card->slot != 0) {
        kpav_snprintf(place, buffer_sizes[3] / 2, "PCI bus %u, PCI slot %u, SN %s", (unsigned)card->pci_bus,
                      (unsigned)card->slot, vsu->identification.uuid);
    } else {
        kpav_snprintf(place, buffer_sizes[3] / 2, "PCI bus %u, SN %s", (unsigned)card->pci_bus,
                      vsu->identification.uuid);
    }
    UNICODE_STRING location;
    widen_in_place(b->text[3], buffer_sizes[3], &location);
    status = WdfPdoInitAddDeviceText(init, &description, &location, locale_us);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfPdoInitSetDefaultLocale(init, locale_us);

    WDF_OBJECT_ATTRIBUTES request_attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&request_attributes, PAV_IO_REQUEST);
    WdfDeviceInitSetRequestAttributes(init, &request_attributes);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceD0Entry = PdoEvtDeviceD0Entry;
    pnp.EvtDeviceD0Exit = kpav_noop_success;
    pnp.EvtDeviceSelfManagedIoInit = kpav_noop_success_io;
    pnp.EvtDeviceSelfManagedIoCleanup = kpav_noop_io;
    pnp.EvtDeviceSelfManagedIoSuspend = PdoEvtSelfManagedIoSuspend;
    pnp.EvtDeviceSelfManagedIoRestart = PdoEvtSelfManagedIoRestart;
    pnp.EvtDeviceSelfManagedIoFlush = PdoEvtSelfManagedIoFlush;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WdfDeviceInitSetPowerPolicyOwnership(init, TRUE);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PDO_CONTEXT);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.EvtCleanupCallback = kpav_noop;
    WDFDEVICE pdo = nullptr;
    status = WdfDeviceCreate(&init, &attributes, &pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    caps.EjectSupported = WdfFalse;
    caps.Removable = WdfFalse;
    caps.UniqueID = WdfTrue;
    caps.SurpriseRemovalOK = WdfFalse;
    caps.Address = (ULONG)card->pci_device << 16 | card->pci_function;
    caps.UINumber = (device->devnum << 16) + vsu->disk_number;
    WdfDeviceSetPnpCapabilities(pdo, &caps);

    PDO_CONTEXT* disk = PavGetPdoContext(pdo);
    disk->device = pdo;
    disk->card_device = fdo->device;
    disk->vsu = vsu;
    disk->alignment_mask = 7;
    disk->capacity_gb = gb;
    PavDiskGeometry(device, fdo->block_size, &disk->geometry);
    disk->address[0] = card->pci_device;
    disk->address[1] = (UCHAR)fdo->card_number;
    disk->address[2] = (UCHAR)vsu->disk_number;
    disk->address[3] = 0;
    kpav_print(KPAV_CLASS_NORMAL, "Creating block device external sector size: %d...\n",
               (int)disk->geometry.external_sector_size);

    WDF_IO_QUEUE_CONFIG queue_config;
    WDF_IO_QUEUE_CONFIG_INIT(&queue_config, WdfIoQueueDispatchParallel);
    queue_config.PowerManaged = WdfFalse;
    queue_config.EvtIoDeviceControl = PdoEvtIoDeviceControl;
    queue_config.EvtIoInternalDeviceControl = PdoEvtIoInternalDeviceControl;
    queue_config.EvtIoStop = queue_noop_stop;
    queue_config.EvtIoResume = queue_noop_resume;
    WDFQUEUE queue = nullptr;
    status = WdfIoQueueCreate(pdo, &queue_config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    disk->queue = queue;
    vsu->pdo = pdo;
    status = WdfDeviceConfigureRequestDispatching(pdo, queue, WdfRequestTypeDeviceControl);
    if (NT_SUCCESS(status)) {
        status = WdfDeviceConfigureRequestDispatching(pdo, queue, WdfRequestTypeDeviceControlInternal);
    }
    if (!NT_SUCCESS(status)) {
        vsu->pdo = nullptr;
        return status;
    }
    WdfDeviceSetSpecialFileSupport(pdo, WdfSpecialFilePaging, TRUE);
    WdfDeviceSetSpecialFileSupport(pdo, WdfSpecialFileDump, TRUE);
    WdfDeviceSetSpecialFileSupport(pdo, WdfSpecialFileHibernation, FALSE);

    // The serial number in the card's key only informs: a failed write keeps the disk.
    NTSTATUS written = WriteDeviceSerialNumber(fdo);
    if (!NT_SUCCESS(written)) {
        kpav_syslog(KPAV_LEVEL_WARNING, nullptr, KPAV_NO_MESSAGE_ID,
                    "dov%d: WriteDeviceSerialNumber failed with status 0x%X.\n", (int)fdo->card_number,
                    (unsigned)written);
    }
    vsu->exposed = 1;
    KeSetEvent(&vsu->created, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PdoEvtChildListCreateDevice(WDFCHILDLIST child_list,
                                     PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                     PWDFDEVICE_INIT child_init) {
    PAGED_CODE();
    FDO_CONTEXT* fdo = PavGetFdoContext(WdfChildListGetDevice(child_list));
    auto* id = (PAV_DISK_IDENTIFICATION*)identification;
    create_buffers buffers;
    bool missing = false;
    for (ULONG i = 0; i < 4; i++) {
        buffers.text[i] = (WCHAR*)kpav_zalloc(buffer_sizes[i], tag_text);
        missing = missing || buffers.text[i] == nullptr;
    }
    VSU_CONTEXT* vsu = PavGetVsuContext(id->vsu_object);
    busy_enter(vsu);
    NTSTATUS status;
    if (missing || vsu->device == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else if (fdo->card == nullptr) {
        status = STATUS_RETRY;
    } else {
        status = create_disk(fdo, vsu, child_init, &buffers);
    }
    busy_leave(vsu);
    for (ULONG i = 0; i < 4; i++) {
        if (buffers.text[i] != nullptr) {
            kpav_free(buffers.text[i], tag_text);
        }
    }
    return status;
}

NTSTATUS PdoEvtDeviceD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    PAGED_CODE();
    PDO_CONTEXT* disk = PavGetPdoContext(device);
    if (disk == nullptr || disk->vsu == nullptr || disk->vsu->device == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    WCHAR buffer[BDEV_NAME_LENGTH + 1];
    UNICODE_STRING reference;
    widen(disk->vsu->device->name, buffer, sizeof buffer, &reference);
    return WdfDeviceCreateDeviceInterface(device, &GUID_PAV_DISK_INTERFACE, &reference);
}

NTSTATUS PdoEvtSelfManagedIoSuspend(WDFDEVICE device) {
    PAGED_CODE();
    PDO_CONTEXT* disk = PavGetPdoContext(device);
    if (disk->queue != nullptr) {
        WdfIoQueueStop(disk->queue, nullptr, nullptr);
    }
    return STATUS_SUCCESS;
}

NTSTATUS PdoEvtSelfManagedIoRestart(WDFDEVICE device) {
    PAGED_CODE();
    PDO_CONTEXT* disk = PavGetPdoContext(device);
    if (disk->queue != nullptr) {
        WdfIoQueueStart(disk->queue);
    }
    return STATUS_SUCCESS;
}

void PdoEvtSelfManagedIoFlush(WDFDEVICE device) {
    PAGED_CODE();
    PDO_CONTEXT* disk = PavGetPdoContext(device);
    if (disk->queue != nullptr) {
        WdfIoQueueDrain(disk->queue, nullptr, nullptr);
    }
}
