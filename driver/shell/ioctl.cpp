// The card queue's device-control entry: the caller's record reached in the caller's context,
// the Windows control code back to the Linux-style number, the control interface, the
// driver-private requests, and the request's completion.
//
// A card request is METHOD_NEITHER: it carries the caller's own user-space address, which means
// something only in the caller's process, while the queue may present the request on another
// thread (one that waited for the card's power-up, say). So the record is probed and locked in
// FdoEvtIoInCallerContext, on the caller's thread, and what follows reaches it through its
// system-space address, with plain copies; the caller sees what was written when the request
// completes.
#include <cstddef>

#include "driver/control/control_ioctl.h"
#include "driver/controller/startup.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/memory.h"
#include "driver/platform/log.h"
#include "driver/platform/pci.h"
#include "driver/shell/ioctl_code.h"
#include "driver/shell/shell.h"

namespace {

// The PCI configuration request of the driver-private numbers.
struct pav_pci_config_request {
    ULONG domain;
    ULONG bus;
    ULONG device;
    ULONG function;
    ULONG64 offset;
    ULONG width;
    ULONG count;
    ULONG value;
    ULONG unused;
};
static_assert(sizeof(pav_pci_config_request) == 40);
static_assert(offsetof(pav_pci_config_request, offset) == 16);
static_assert(offsetof(pav_pci_config_request, width) == 24);
static_assert(offsetof(pav_pci_config_request, value) == 32);

struct boot_check_event {
    UCHAR level;
    UCHAR reserved[7];
    char text[248];
};
static_assert(sizeof(boot_check_event) == 256);

// `record` is the caller's locked record: copied in once, so that what is checked is what is used.
int pci_config_request(ULONG number, const control_record* record) {
    PAGED_CODE();
    pav_pci_config_request r;
    if (control_copy_in(record, 0, &r, sizeof r) != 0) {
        return -KPAV_EFAULT;
    }
    if (r.offset > 255 || r.width > 2 || r.count != 1) {
        return -KPAV_EINVAL;
    }
    if ((r.width == 1 && r.offset % 2 != 0) || (r.width == 2 && r.offset % 4 != 0)) {
        return -KPAV_EINVAL;
    }
    if (r.domain != 0) {
        return -KPAV_EFAULT;
    }
    if (number == PAV_IOCTL_W_PCI_CFG_WRITE) {
        return kpav_pci_write_config(r.bus, r.device, r.function, (ULONG)r.offset, r.width, &r.value) != 0
                   ? -KPAV_EFAULT
                   : 0;
    }
    if (kpav_pci_read_config(r.bus, r.device, r.function, (ULONG)r.offset, r.width, &r.value) != 0) {
        return -KPAV_EFAULT;
    }
    return control_copy_out(record, 0, &r, sizeof r);
}

int boot_check(const control_record* record) {
    PAGED_CODE();
    boot_check_event e;
    if (control_copy_in(record, 0, &e, sizeof e) != 0) {
        return -KPAV_EFAULT;
    }
    size_t length = 0;
    while (length < sizeof e.text && e.text[length] != 0) {
        length++;
    }
    if (length == sizeof e.text) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6162,
                    "message must be NULL terminated, returning error to bolverin\n");
        return -KPAV_EINVAL;
    }
    if (length == 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6163,
                    "message cannot be empty, returning error to bolverin\n");
        return -KPAV_EINVAL;
    }
    if (e.level == 1) {
        kpav_syslog(KPAV_LEVEL_WARNING, nullptr, KPAV_NO_MESSAGE_ID, "%s\n", e.text);
    } else if (e.level == 2) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6164, "%s\n", e.text);
    } else {
        kpav_print(KPAV_CLASS_NORMAL, "%s\n", e.text);
    }
    return 0;
}

// The size field of each number is its record's: a record of that many bytes is locked.
static_assert(pav_ioctl_size(PAV_IOCTL_W_PCI_CFG_READ) == sizeof(pav_pci_config_request));
static_assert(pav_ioctl_size(PAV_IOCTL_W_PCI_CFG_WRITE) == sizeof(pav_pci_config_request));
static_assert(pav_ioctl_size(PAV_IOCTL_W_CHECK_EVENT) == sizeof(boot_check_event));

// Locks the caller's record of a request with Linux number `number`: the bytes it reaches (the
// size field's, and the data some requests carry behind their record, as the record's head
// says), for writing when the caller's buffer allows it; a record the caller only sends may be
// read-only, and its handlers then cannot answer in it. A number without a record locks nothing;
// -KPAV_EFAULT, as for a copy that faulted, when the caller's buffer cannot be reached.
int lock_record(WDFREQUEST request, ULONG number, control_record* record) {
    PAGED_CODE();
    *record = control_record{};
    ULONG size = pav_ioctl_size(number);
    if (size == 0) {
        return 0;
    }
    PVOID user = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveUnsafeUserOutputBuffer(request, size, &user, nullptr))) {
        return -KPAV_EFAULT;
    }
    // The head of the record (the part that says how much data follows it), read once here; the
    // handlers check what they use against what was locked.
    UCHAR head[sizeof(kinfo_query)];
    ULONG head_length = size < sizeof head ? size : (ULONG)sizeof head;
    if (kpav_copy_from_user(head, user, head_length) != 0) {
        return -KPAV_EFAULT;
    }
    ULONG extent = control_record_extent(number, head, head_length);
    WDFMEMORY memory;
    BOOLEAN writable = TRUE;
    NTSTATUS status = WdfRequestProbeAndLockUserBufferForWrite(request, user, extent, &memory);
    if (!NT_SUCCESS(status) && !pav_ioctl_caller_receives(number)) {
        writable = FALSE;
        status = WdfRequestProbeAndLockUserBufferForRead(request, user, extent, &memory);
    }
    if (!NT_SUCCESS(status)) {
        return -KPAV_EFAULT;
    }
    record->data = (UCHAR*)WdfMemoryGetBuffer(memory, nullptr);
    record->length = extent;
    record->writable = writable;
    return 0;
}

}  // namespace

int PavPrivateIoctl(ULONG number, const control_record* record) {
    PAGED_CODE();
    if (number < PAV_IOCTL_W_PCI_CFG_READ) {
        return -KPAV_ENOTTY;
    }
    if (number == PAV_IOCTL_W_PCI_CFG_READ || number == PAV_IOCTL_W_PCI_CFG_WRITE) {
        return pci_config_request(number, record);
    }
    if (number == PAV_IOCTL_W_CHECK_EVENT) {
        return boot_check(record);
    }
    return -KPAV_ENOTTY;
}

void FdoEvtDeviceFileCreate(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
    PAGED_CODE();
    WdfRequestComplete(request, STATUS_SUCCESS);
}

// On the caller's thread, before the queue has the request: the record is locked here or the
// request fails.
void FdoEvtIoInCallerContext(WDFDEVICE device, WDFREQUEST request) {
    PAGED_CODE();
    PAV_IO_REQUEST* context = PavGetRequestContext(request);
    context->record = control_record{};
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    ULONG number = 0;
    if (parameters.Type == WdfRequestTypeDeviceControl &&
        pav_ctl_code_to_linux(parameters.Parameters.DeviceIoControl.IoControlCode,
                              (ULONG)parameters.Parameters.DeviceIoControl.InputBufferLength, &number)) {
        int rc = lock_record(request, number, &context->record);
        if (rc != 0) {
            ULONG_PTR information = 0;
            WdfRequestCompleteWithInformation(request, kpav_errno_to_ntstatus(rc, &information, TRUE), information);
            return;
        }
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(device, request);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(request, status, 0);
    }
}

void FdoEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t input_length, ULONG code) {
    PAGED_CODE();
    PAV_IO_REQUEST* context = PavGetRequestContext(request);
    WDFDEVICE device = WdfIoQueueGetDevice(queue);
    FDO_CONTEXT* fdo = PavGetFdoContext(device);
    if (WdfDeviceWdmGetDeviceObject(device) == nullptr || WdfRequestGetFileObject(request) == nullptr) {
        WdfRequestCompleteWithInformation(request, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    context->bounced = 0;
    context->flag = FALSE;
    pipeline_device* card = fdo->card;
    const char* name = pav_card_name(card);
    ULONG number = 0;
    bool known = pav_ctl_code_to_linux(code, (ULONG)input_length, &number);
    const control_record* record = &context->record;
    if (number == PAV_IOCTL_ATTACH && fdo->attached_store == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL_TRACED, "%s: Attempting to attach Velkor.\n", name);
    } else if (number == PAV_IOCTL_DETACH) {
        fdo->attached = FALSE;
    }
    WdfDeviceSetStaticStopRemove(device, FALSE);
    int rc = known ? Control_ioctl(card, number, record) : -KPAV_ENOTTY;
    bool minimal = card != nullptr && (card->minimal_mode_reasons & PAV_MINIMAL) != 0;
    if (known && (rc == -KPAV_ENOTTY || (rc == -KPAV_EINVAL && number == PAV_IOCTL_W_CHECK_EVENT && minimal))) {
        rc = PavPrivateIoctl(number, record);
    }
    if (rc == -KPAV_ENOTTY) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Unhandled ioctl: windows: 0x%x, linux: 0x%x\n", name, code, number);
    } else if (rc >= 0 && number == PAV_IOCTL_ATTACH) {
        // The wait for the exposed partitions joins with the block devices.
        fdo->attached = TRUE;
    } else if (rc >= 0 && number == PAV_IOCTL_DETACH) {
        fdo->attached_store = nullptr;
    }
    WdfDeviceSetStaticStopRemove(device, TRUE);
    ULONG_PTR information = 0;
    NTSTATUS status = kpav_errno_to_ntstatus(rc, &information, TRUE);
    WdfRequestCompleteWithInformation(request, status, information);
}
