// I/O queues, requests and file objects. A device-control request reaches the queue that the
// device routes its type to (or its default queue); a power-managed queue presents requests only
// while the device is in D0 and its queue started, and holds them meanwhile. Every request that a
// queue presents is the driver's until it completes it.
#pragma once

#include "sim/kernel/kernel.h"
#include "sim/kmdf/device.h"
#include "sim/kmdf/types.h"

WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
WDF_DECLARE_HANDLE(WDFMEMORY);

enum WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
};

using EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL = void(WDFQUEUE queue, WDFREQUEST request, size_t output_buffer_length,
                                               size_t input_buffer_length, ULONG io_control_code);
using EVT_WDF_IO_QUEUE_IO_STOP = void(WDFQUEUE queue, WDFREQUEST request, ULONG action_flags);
using EVT_WDF_IO_QUEUE_IO_RESUME = void(WDFQUEUE queue, WDFREQUEST request);
using EVT_WDF_IO_QUEUE_STATE = void(WDFQUEUE queue, WDFCONTEXT context);

struct WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PVOID EvtIoDefault;
    PVOID EvtIoRead;
    PVOID EvtIoWrite;
    EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* EvtIoDeviceControl;
    EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* EvtIoInternalDeviceControl;
    EVT_WDF_IO_QUEUE_IO_STOP* EvtIoStop;
    EVT_WDF_IO_QUEUE_IO_RESUME* EvtIoResume;
    PVOID EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests;  // 0 or (ULONG)-1: no limit
        } Parallel;
    } Settings;
};
using PWDF_IO_QUEUE_CONFIG = WDF_IO_QUEUE_CONFIG*;

inline void WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG config, WDF_IO_QUEUE_DISPATCH_TYPE dispatch) {
    *config = WDF_IO_QUEUE_CONFIG{};
    config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    config->PowerManaged = WdfUseDefault;
    config->DispatchType = dispatch;
    config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
}

inline void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG config, WDF_IO_QUEUE_DISPATCH_TYPE dispatch) {
    WDF_IO_QUEUE_CONFIG_INIT(config, dispatch);
    config->DefaultQueue = TRUE;
}

enum WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeDeviceControl = 0xE,
    WdfRequestTypeDeviceControlInternal = 0xF,
};

// PASSIVE_LEVEL. A power-managed queue (the default for a device that owns power policy)
// starts stopped until the device first enters D0.
NTSTATUS WdfIoQueueCreate(WDFDEVICE device, PWDF_IO_QUEUE_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes,
                          WDFQUEUE* queue);
NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE device, WDFQUEUE queue, WDF_REQUEST_TYPE request_type);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE queue);
void WdfIoQueueStart(WDFQUEUE queue);
// Stops presenting requests; `stop_complete` (may be NULL) runs once no request the driver owns
// is outstanding.
void WdfIoQueueStop(WDFQUEUE queue, EVT_WDF_IO_QUEUE_STATE* stop_complete, WDFCONTEXT context);
// Stops and waits until no request the driver owns is outstanding. PASSIVE_LEVEL.
void WdfIoQueueStopSynchronously(WDFQUEUE queue);
// Takes no new request; those it holds are still presented. `drain_complete` (may be NULL)
// runs once it holds none and the driver owns none. WdfIoQueueStart takes requests again.
void WdfIoQueueDrain(WDFQUEUE queue, EVT_WDF_IO_QUEUE_STATE* drain_complete, WDFCONTEXT context);

struct WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            size_t OutputBufferLength;
            size_t InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG_PTR Arg4;
        } Others;
    } Parameters;
};
using PWDF_REQUEST_PARAMETERS = WDF_REQUEST_PARAMETERS*;

inline void WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS parameters) {
    *parameters = WDF_REQUEST_PARAMETERS{};
    parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

void WdfRequestGetParameters(WDFREQUEST request, PWDF_REQUEST_PARAMETERS parameters);
WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST request);
// NULL when the request did not come through an open of the device.
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST request);
// The request's WDM packet: UserBuffer carries the caller's buffer of a METHOD_NEITHER request.
PIRP WdfRequestWdmGetIrp(WDFREQUEST request);
void WdfRequestComplete(WDFREQUEST request, NTSTATUS status);
void WdfRequestCompleteWithInformation(WDFREQUEST request, NTSTATUS status, ULONG_PTR information);
void WdfRequestSetInformation(WDFREQUEST request, ULONG_PTR information);
// The system buffer of a buffered request as its input (output), with its length:
// STATUS_BUFFER_TOO_SMALL when that length is 0 or below `minimum_length`.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, size_t minimum_length, PVOID* buffer, size_t* length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, size_t minimum_length, PVOID* buffer, size_t* length);

// The request context type of the device's requests (its attributes' context).
void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT device_init, PWDF_OBJECT_ATTRIBUTES request_attributes);

// ---------------------------------------------------------------------------------------------
// Requests in their sender's context. The user addresses of a METHOD_NEITHER request mean
// something only in the sender's process; a queue presents a request on the sender's thread
// only when it presents at once, and a request it held (queue stopped, device out of D0) from
// a worker thread of the system process. A driver that reaches such a buffer does it in
// EvtIoInCallerContext, which runs on the sender's thread at PASSIVE_LEVEL before the request
// is queued: it probes and locks the buffer there, keeps the locked memory in the request's
// context and puts the request in its queue with WdfDeviceEnqueueRequest (or completes it).

using EVT_WDF_IO_IN_CALLER_CONTEXT = void(WDFDEVICE device, WDFREQUEST request);
void WdfDeviceInitSetIoInCallerContextCallback(PWDFDEVICE_INIT device_init,
                                               EVT_WDF_IO_IN_CALLER_CONTEXT* in_caller_context);
// Puts the request in the queue its type is dispatched to; it may be presented before this
// returns. On failure the request is still the driver's to complete. At most DISPATCH_LEVEL.
NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE device, WDFREQUEST request);
// The sender's buffers of a METHOD_NEITHER device-control request, as the sender gave them:
// the input buffer (Type3InputBuffer) and the output buffer (the packet's UserBuffer), each with
// its length. Only in EvtIoInCallerContext (else STATUS_INVALID_DEVICE_REQUEST, as for another
// kind of request); STATUS_BUFFER_TOO_SMALL when the length is below `minimum_length`.
NTSTATUS WdfRequestRetrieveUnsafeUserInputBuffer(WDFREQUEST request, size_t minimum_length, PVOID* input_buffer,
                                                 size_t* length);
NTSTATUS WdfRequestRetrieveUnsafeUserOutputBuffer(WDFREQUEST request, size_t minimum_length, PVOID* output_buffer,
                                                  size_t* length);
// Probes `length` bytes of the sender's memory at `buffer` for reading (or for reading and
// writing) and locks them; the memory object (a child of the request) gives their address in
// system space, good in any context until the request is deleted. In the sender's context at
// PASSIVE_LEVEL; STATUS_ACCESS_VIOLATION when the range is not the sender's to read (write),
// which is also what a probe from another process's context finds.
NTSTATUS WdfRequestProbeAndLockUserBufferForRead(WDFREQUEST request, PVOID buffer, size_t length, WDFMEMORY* memory);
NTSTATUS WdfRequestProbeAndLockUserBufferForWrite(WDFREQUEST request, PVOID buffer, size_t length,
                                                  WDFMEMORY* memory);
PVOID WdfMemoryGetBuffer(WDFMEMORY memory, size_t* buffer_size);

// ---------------------------------------------------------------------------------------------
// File objects

using EVT_WDF_DEVICE_FILE_CREATE = void(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file_object);
using EVT_WDF_FILE_CLOSE = void(WDFFILEOBJECT file_object);
using EVT_WDF_FILE_CLEANUP = void(WDFFILEOBJECT file_object);

enum WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
};

struct WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    EVT_WDF_DEVICE_FILE_CREATE* EvtDeviceFileCreate;
    EVT_WDF_FILE_CLOSE* EvtFileClose;
    EVT_WDF_FILE_CLEANUP* EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
};
using PWDF_FILEOBJECT_CONFIG = WDF_FILEOBJECT_CONFIG*;

inline void WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG config, EVT_WDF_DEVICE_FILE_CREATE* create,
                                       EVT_WDF_FILE_CLOSE* close, EVT_WDF_FILE_CLEANUP* cleanup) {
    *config = WDF_FILEOBJECT_CONFIG{};
    config->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    config->EvtDeviceFileCreate = create;
    config->EvtFileClose = close;
    config->EvtFileCleanup = cleanup;
    config->AutoForwardCleanupClose = WdfUseDefault;
    config->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT device_init, PWDF_FILEOBJECT_CONFIG config,
                                      PWDF_OBJECT_ATTRIBUTES file_attributes);
WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT file_object);
