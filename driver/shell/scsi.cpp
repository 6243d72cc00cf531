// The child disks' requests: SCSI request blocks (internal device control) and the storage and
// disk device-control requests. Reads and writes become bios on the disk's block device, with
// the caller's pages handed to the card as they are when the buffer is 8-byte aligned and a
// bounce buffer otherwise; the bio's end completes the request.
//
// Disk requests run at PASSIVE_LEVEL (the disk devices' execution level): a flush waits for its
// bio, and taking a bio may wait for one.
#include "driver/block/bdev.h"
#include "driver/block/bio.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/sgl.h"
#include "driver/shell/disk.h"

namespace {

constexpr ULONG tag_bounce = kpav_tag("roi4");

// Serialises the mappings of callers' MDLs to system space.
KSPIN_LOCK mdl_mapping_lock = 0;
// The mapping failure is logged once in the driver's life.
volatile LONG mapping_failure_logged = 0;

void clear_disk_fields(PAV_IO_REQUEST* context) {
    context->bounced = 0;
    context->is_read = 0;
    context->bounce = nullptr;
    context->mapped = nullptr;
    context->flag = FALSE;
    context->offset = 0;
    context->length = 0;
    context->srb = nullptr;
}

// The SRB's data as a piece of the request's MDL: its offset there, or -1 when the request has
// no MDL or the data does not lie inside what it describes.
LONG64 data_offset(WDFREQUEST request, const SCSI_REQUEST_BLOCK* srb) {
    PMDL mdl = (PMDL)WdfRequestWdmGetIrp(request)->MdlAddress;
    if (mdl == nullptr) {
        return -1;
    }
    ULONG_PTR start = (ULONG_PTR)MmGetMdlVirtualAddress(mdl);
    ULONG_PTR data = (ULONG_PTR)srb->DataBuffer;
    if (data < start || data - start > MmGetMdlByteCount(mdl) ||
        srb->DataTransferLength > MmGetMdlByteCount(mdl) - (data - start)) {
        return -1;
    }
    return (LONG64)(data - start);
}

// A read or write of the decoded command as a bio of the disk's block device.
NTSTATUS submit_transfer(PDO_CONTEXT* disk, WDFREQUEST request, PSCSI_REQUEST_BLOCK srb,
                         const pav_scsi_command* command) {
    PAGED_CODE();
    VSU_CONTEXT* vsu = disk->vsu;
    bdev* device = vsu != nullptr ? vsu->device : nullptr;
    if (device == nullptr || !vsu->exposed) {
        srb->DataTransferLength = 0;
        return STATUS_DEVICE_NOT_READY;
    }
    LONG64 offset = data_offset(request, srb);
    if (offset < 0) {
        srb->DataTransferLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    PAV_IO_REQUEST* context = PavGetRequestContext(request);
    clear_disk_fields(context);
    bio* b = nullptr;
    if (device->pool == nullptr || bio_alloc(device->pool, device, &b) != 0 || b == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    const pav_disk_geometry* g = &disk->geometry;
    context->is_read = command->action == PAV_SCSI_READ;
    context->offset = (ULONG)offset;
    context->length = command->length;
    context->srb = srb;
    if (((ULONG_PTR)srb->DataBuffer & disk->alignment_mask) != 0) {
        context->bounced = 1;
        context->bounce = kpav_alloc(command->length, tag_bounce);
        if (context->bounce == nullptr) {
            // A passing shortage: the class driver may try again.
            bio_free_chain(b);
            clear_disk_fields(context);
            srb->DataTransferLength = 0;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    b->base = command->lba * g->external_sector_size / g->internal_sector_size;
    b->count = command->length / g->internal_sector_size;
    b->callback = PdoBioComplete;
    b->callback_context = request;
    b->command = context->is_read ? BIO_READ : BIO_WRITE;
    if (PdoMapRequestBuffer(b->list, b) != 0) {
        // Nothing was submitted: the request fails as a shortage instead of claiming the data
        // moved.
        if (context->bounce != nullptr) {
            kpav_free(context->bounce, tag_bounce);
        }
        bio_free_chain(b);
        clear_disk_fields(context);
        srb->DataTransferLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    int rc = bdev_submit_bio(b);
    if (rc == -KPAV_ENOSPC || rc == -KPAV_EBUSY) {
        // Handed back for a retry: ended here, so the request completes (busy: the class driver
        // retries it).
        bio_end_handed_back(device, b, rc);
    }
    return STATUS_PENDING;
}

struct flush_wait {
    KEVENT event;
    int error;
};

void flush_end(bio* first, ULONG64, int error) {
    auto* wait = (flush_wait*)first->callback_context;
    wait->error = error;
    KeSetEvent(&wait->event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

void PavDiskRequestsInit() {
    PAGED_CODE();
    InterlockedExchange(&mapping_failure_logged, 0);
}

namespace {

PDO_CONTEXT* disk_of(WDFREQUEST request) {
    return PavGetPdoContext(WdfIoQueueGetDevice(WdfRequestGetIoQueue(request)));
}

}  // namespace

int PdoMapRequestBuffer(sgl* list, bio* b) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto request = (WDFREQUEST)b->callback_context;
    PAV_IO_REQUEST* context = PavGetRequestContext(request);
    PMDL mdl = (PMDL)WdfRequestWdmGetIrp(request)->MdlAddress;
    if (context->bounced == 0) {
        // The caller's pages as they are, from where this request's data begins in the MDL (a
        // piece of a larger transfer shares the MDL of the whole).
        return kpav_sgl_map_mdl_at(list, mdl, context->offset, context->length) == 0 ? 0 : -1;
    }
    KIRQL old;
    KeAcquireSpinLock(&mdl_mapping_lock, &old);
    PVOID mapped = MmGetSystemAddressForMdlSafe(mdl, HighPagePriority | pav_mdl_mapping_flag);
    KeReleaseSpinLock(&mdl_mapping_lock, old);
    if (mapped == nullptr) {
        if (InterlockedExchange(&mapping_failure_logged, 1) == 0) {
            PDO_CONTEXT* disk = disk_of(request);
            VSU_CONTEXT* vsu = disk->vsu;
            kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6160,
                        "dov%d-%s: MmGetSystemAddressForMdlSafe failed. IOs failing due to lack of system "
                        "resources.\n",
                        vsu != nullptr && vsu->fdo != nullptr ? (int)vsu->fdo->card_number : 0,
                        vsu != nullptr ? vsu->identification.uuid : "");
        }
        return -1;
    }
    context->mapped = mapped;
    if (context->is_read == 0) {
        RtlCopyMemory(context->bounce, (UCHAR*)mapped + context->offset, context->length);
    }
    return kpav_sgl_map_bytes(list, context->bounce, context->length) == 0 ? 0 : -1;
}

NTSTATUS PavDiskErrnoToStatus(int error, UCHAR* srb_status) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    *srb_status = SRB_STATUS_INVALID_REQUEST;
    if (error >= 0) {
        *srb_status = SRB_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    switch (error) {
        case -KPAV_EROFS:
            return STATUS_MEDIA_WRITE_PROTECTED;
        case -KPAV_ENOTTY:
            return STATUS_INVALID_DEVICE_REQUEST;
        case -KPAV_EINVAL:
            return STATUS_INVALID_PARAMETER_12;
        case -KPAV_EBUSY:
            return STATUS_DEVICE_BUSY;
        case -KPAV_EFAULT:
            return STATUS_ACCESS_VIOLATION;
        case -KPAV_EACCES:
            return STATUS_ACCESS_DENIED;
        case -KPAV_ENOMEM:
            return STATUS_INSUFFICIENT_RESOURCES;
        case -KPAV_EAGAIN:
            return STATUS_IO_TIMEOUT;
        case -KPAV_EBADF:
            return STATUS_UNRECOGNIZED_MEDIA;
        case -KPAV_ENXIO:
            *srb_status = SRB_STATUS_NO_DEVICE;
            return STATUS_NO_SUCH_DEVICE;
        case -KPAV_EIO:
            return STATUS_INVALID_DEVICE_STATE;
        case -KPAV_ENOENT:
            return STATUS_NOT_FOUND;
        case -KPAV_EPERM:
            return STATUS_DRIVER_INTERNAL_ERROR;
        default:
            return (NTSTATUS)0xC0000122;
    }
}

UCHAR PavSrbStatusOf(NTSTATUS status) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    switch (status) {
        case STATUS_SUCCESS:
            return SRB_STATUS_SUCCESS;
        case STATUS_INVALID_BLOCK_LENGTH:
            return SRB_STATUS_BAD_SRB_BLOCK_LENGTH;
        case STATUS_NO_SUCH_DEVICE:
        case (NTSTATUS)0xC021000B:
            return SRB_STATUS_NO_DEVICE;
        default:
            return SRB_STATUS_INVALID_REQUEST;
    }
}

void PdoBioComplete(bio* first, ULONG64 bytes, int error) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto request = (WDFREQUEST)first->callback_context;
    PAV_IO_REQUEST* context = PavGetRequestContext(request);
    if (context->bounced != 0) {
        if (context->is_read != 0 && error >= 0 && context->mapped != nullptr) {
            RtlCopyMemory((UCHAR*)context->mapped + context->offset, context->bounce, context->length);
        }
        kpav_free(context->bounce, tag_bounce);
        context->bounce = nullptr;
    }
    KIRQL old = KeGetCurrentIrql();
    if (old < DISPATCH_LEVEL) {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    UCHAR srb_status;
    NTSTATUS status = PavDiskErrnoToStatus(error, &srb_status);
    PSCSI_REQUEST_BLOCK srb = context->srb;
    if (srb != nullptr) {
        srb->SrbStatus = srb_status;
        if (status != STATUS_SUCCESS) {
            srb->DataTransferLength = 0;
        }
    }
    WdfRequestCompleteWithInformation(request, status, status == STATUS_SUCCESS ? (ULONG_PTR)bytes : 0);
    if (old < DISPATCH_LEVEL) {
        KeLowerIrql(old);
    }
}

NTSTATUS PdoFlush(PDO_CONTEXT* disk) {
    PAGED_CODE();
    VSU_CONTEXT* vsu = disk->vsu;
    bdev* device = vsu != nullptr ? vsu->device : nullptr;
    bio* b = nullptr;
    if (device == nullptr || device->pool == nullptr || bio_alloc(device->pool, device, &b) != 0 || b == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    flush_wait wait;
    KeInitializeEvent(&wait.event, SynchronizationEvent, FALSE);
    wait.error = 0;
    b->command = BIO_FLUSH;
    b->base = 0;
    b->count = 0;
    b->callback = flush_end;
    b->callback_context = &wait;
    int rc = bdev_submit_bio(b);
    if (rc == -KPAV_ENOSPC || rc == -KPAV_EBUSY) {
        bio_end_handed_back(device, b, rc);
    }
    NTSTATUS status = KeWaitForSingleObject(&wait.event, Executive, KernelMode, FALSE, nullptr);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    return wait.error != 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

int PdoDiscardRange(bdev* device, ULONG64 start, ULONG64 count) {
    PAGED_CODE();
    while (count > 0) {
        ULONG64 piece = count > PAV_DISCARD_CHUNK ? PAV_DISCARD_CHUNK : count;
        bool last = piece == count;
        int rc = bdev_discard_range(device, nullptr, start, piece, nullptr, nullptr, ~0ull, last ? 0 : 1);
        if (rc < 0 || last) {
            return rc;
        }
        start += piece;
        count -= piece;
    }
    return 0;
}

NTSTATUS ScsiExecuteCdb(PDO_CONTEXT* disk, WDFREQUEST request, PSCSI_REQUEST_BLOCK srb, ULONG* returned) {
    PAGED_CODE();
    pav_scsi_command command;
    ScsiDecodeCdb(&disk->geometry, srb, &command);
    switch (command.action) {
        case PAV_SCSI_READ:
        case PAV_SCSI_WRITE: {
            NTSTATUS status = submit_transfer(disk, request, srb, &command);
            *returned = srb->DataTransferLength;
            return status;
        }
        case PAV_SCSI_FLUSH:
            srb->DataTransferLength = 0;
            *returned = 0;
            if (disk->vsu == nullptr || !disk->vsu->exposed) {
                return STATUS_DEVICE_NOT_READY;
            }
            return PdoFlush(disk);
        default:
            srb->DataTransferLength = command.returned;
            *returned = command.returned;
            return command.status;
    }
}

void PdoEvtIoInternalDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t, ULONG) {
    PAGED_CODE();
    PDO_CONTEXT* disk = PavGetPdoContext(WdfIoQueueGetDevice(queue));
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    auto srb = (PSCSI_REQUEST_BLOCK)parameters.Parameters.Others.Arg1;
    if (srb == nullptr) {
        WdfRequestCompleteWithInformation(request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    NTSTATUS status;
    ULONG returned = 0;
    switch (srb->Function) {
        case SRB_FUNCTION_EXECUTE_SCSI:
            status = ScsiExecuteCdb(disk, request, srb, &returned);
            break;
        case SRB_FUNCTION_CLAIM_DEVICE: {
            PDEVICE_OBJECT object = WdfDeviceWdmGetDeviceObject(disk->device);
            if (object != nullptr && srb->DataBuffer != nullptr) {
                *(PDEVICE_OBJECT*)srb->DataBuffer = object;
                status = STATUS_SUCCESS;
            } else {
                status = STATUS_UNSUCCESSFUL;
            }
            break;
        }
        case SRB_FUNCTION_RELEASE_DEVICE:
        case SRB_FUNCTION_SHUTDOWN:
        case SRB_FUNCTION_FLUSH:
            status = disk->vsu == nullptr || !disk->vsu->exposed ? STATUS_DEVICE_NOT_READY : PdoFlush(disk);
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    if (status == STATUS_PENDING) {
        return;  // the bio's end completes it
    }
    srb->SrbStatus = PavSrbStatusOf(status);
    WdfRequestCompleteWithInformation(request, status, srb->DataTransferLength);
}

// ---- Storage and disk device-control requests

namespace {

struct trim_target {
    bdev* device;
};

int trim_range(void* context, ULONG64 start, ULONG64 count) {
    return PdoDiscardRange(((trim_target*)context)->device, start, count);
}

void identity_of(PDO_CONTEXT* disk, pav_disk_identity* identity) {
    RtlZeroMemory(identity, sizeof *identity);
    identity->capacity_gb = disk->capacity_gb;
    identity->external_sector_size = disk->geometry.external_sector_size;
    identity->uuid = disk->vsu != nullptr ? disk->vsu->identification.uuid : "";
    identity->card_serial = "";
    pipeline_device* card = disk->vsu != nullptr && disk->vsu->fdo != nullptr ? disk->vsu->fdo->card : nullptr;
    if (card != nullptr) {
        identity->card_serial = card->adapter_serial;
        identity->fw_version = card->fw_version;
        identity->fw_revision = card->fw_build;
    }
    identity->write_aggregation = enable_write_aggregation != 0;
}

}  // namespace

void PdoEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t output_length, size_t input_length,
                           ULONG code) {
    PAGED_CODE();
    PDO_CONTEXT* disk = PavGetPdoContext(WdfIoQueueGetDevice(queue));
    PVOID input = nullptr;
    PVOID output = nullptr;
    size_t in_length = 0;
    size_t out_length = 0;
    if (input_length != 0) {
        NTSTATUS status = WdfRequestRetrieveInputBuffer(request, 0, &input, &in_length);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            input = nullptr, in_length = 0;
        } else if (!NT_SUCCESS(status)) {
            WdfRequestCompleteWithInformation(request, status, 0);
            return;
        }
    }
    if (output_length != 0) {
        NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, 0, &output, &out_length);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            output = nullptr, out_length = 0;
        } else if (!NT_SUCCESS(status)) {
            WdfRequestCompleteWithInformation(request, status, 0);
            return;
        }
    }
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 0;
    switch (code) {
        case IOCTL_STORAGE_QUERY_PROPERTY: {
            pav_disk_identity identity;
            identity_of(disk, &identity);
            status = PavQueryProperty(&identity, input, in_length, output, out_length, &information);
            break;
        }
        case IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES: {
            bdev* device = disk->vsu != nullptr ? disk->vsu->device : nullptr;
            if (input == nullptr) {
                status = STATUS_INVALID_PARAMETER;
            } else if (device == nullptr) {
                status = STATUS_DEVICE_NOT_READY;
            } else {
                trim_target target = {device};
                status = PavParseTrim(input, in_length, disk->geometry.internal_sector_size,
                                      disk->geometry.internal_count, trim_range, &target);
            }
            break;
        }
        case IOCTL_SCSI_GET_ADDRESS:
            if (output == nullptr || out_length < sizeof(SCSI_ADDRESS)) {
                status = STATUS_INVALID_PARAMETER;
            } else {
                auto* a = (SCSI_ADDRESS*)output;
                a->Length = sizeof(SCSI_ADDRESS);
                a->PortNumber = 0;
                a->PathId = (UCHAR)win_scsi_bus_id;
                a->TargetId = disk->address[1];
                a->Lun = disk->address[2];
                information = sizeof(SCSI_ADDRESS);
                status = STATUS_SUCCESS;
            }
            break;
        case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        case IOCTL_DISK_GET_MEDIA_TYPES:
        case IOCTL_STORAGE_GET_MEDIA_TYPES:
            if (output == nullptr || out_length < sizeof(DISK_GEOMETRY)) {
                status = STATUS_BUFFER_TOO_SMALL;
            } else {
                PavFillGeometry(disk->geometry.capacity_bytes, disk->geometry.external_sector_size,
                                (DISK_GEOMETRY*)output);
                information = sizeof(DISK_GEOMETRY);
                status = STATUS_SUCCESS;
            }
            break;
        case IOCTL_SCSI_MINIPORT:
            if (input != nullptr && output != nullptr && out_length >= sizeof(SRB_IO_CONTROL)) {
                ((SRB_IO_CONTROL*)output)->ReturnCode = 6;
                status = STATUS_INVALID_DEVICE_REQUEST;
            } else {
                status = STATUS_INVALID_PARAMETER;
            }
            break;
        case 0x49400:
        case 0x66001B:
        case 0x66801B:
            status = STATUS_SUCCESS;
            break;
        case IOCTL_MOUNTDEV_LINK_DELETED:
        case IOCTL_STORAGE_GET_MEDIA_TYPES_EX:
            status = STATUS_NOT_SUPPORTED;
            break;
        case 0x560030:
            status = STATUS_UNSUCCESSFUL;
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    WdfRequestCompleteWithInformation(request, status, information);
}
