// Queues, requests and file objects, and the I/O manager's side of them (open, device control,
// close) for the machine and tests.
#include "sim/kmdf/queue.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "sim/kernel/control.h"
#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {
namespace {

std::set<file_object*>& open_files() {
    static auto* files = new std::set<file_object*>();
    return *files;
}

bool presents(queue_object* q) {
    return q->started && (!q->power_managed || q->device->in_d0);
}

// Called with io_mutex held when a presented request ends.
void request_ended(queue_object* q) {
    q->owned--;
    if (q->owned == 0 && !q->started && q->stop_complete != nullptr) {
        EVT_WDF_IO_QUEUE_STATE* callback = q->stop_complete;
        q->stop_complete = nullptr;
        callback((WDFQUEUE)q->handle(), q->stop_context);
    }
    if (q->owned == 0 && q->held.empty() && q->draining && q->drain_complete != nullptr) {
        EVT_WDF_IO_QUEUE_STATE* callback = q->drain_complete;
        q->drain_complete = nullptr;
        callback((WDFQUEUE)q->handle(), q->drain_context);
    }
    io_changed().notify_all();
}

// Gives a request that the queue counts as owned to the driver's callback, on the calling thread.
void present(queue_object* q, request_object* r) {
    const auto& p = r->parameters.Parameters.DeviceIoControl;
    auto* callback = r->parameters.Type == WdfRequestTypeDeviceControlInternal ? q->config.EvtIoInternalDeviceControl
                                                                               : q->config.EvtIoDeviceControl;
    callback((WDFQUEUE)q->handle(), (WDFREQUEST)r->handle(), p.OutputBufferLength, p.InputBufferLength,
             p.IoControlCode);
}

void present_from_worker(PVOID context) {
    auto* r = (request_object*)context;
    present(r->queue, r);
}

// Puts a request in its queue: presented at once, on the calling thread, when the queue
// presents and holds nothing older; held otherwise. STATUS_INVALID_DEVICE_STATE (the request
// untouched) when the queue is being deleted.
NTSTATUS enqueue(queue_object* q, request_object* r) {
    {
        std::lock_guard<std::mutex> g(io_mutex());
        if (q->closed || q->draining) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        r->in_caller_context = false;
        if (!presents(q) || !q->held.empty()) {
            q->held.push_back(r);
            return STATUS_SUCCESS;
        }
        q->owned++;
        r->presented = true;
    }
    present(q, r);
    return STATUS_SUCCESS;
}

// Completes a request that never reached the driver.
void complete_unpresented(request_object* r, NTSTATUS status) {
    std::lock_guard<std::mutex> g(io_mutex());
    r->completed = true;
    r->status = status;
    r->information = 0;
    io_changed().notify_all();
}

// The sender's buffers that the driver locked for writing get what the driver wrote.
void write_back_locked_buffers(request_object* r) {
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    for (object* child : r->children) {
        if (child->kind != object_kind::memory) {
            continue;
        }
        auto* m = static_cast<memory_object*>(child);
        if (m->for_write) {
            sim::kernel::copy_user_memory(r->sender_process, m->bytes.data(), m->user, m->bytes.size(), true);
        }
    }
}

NTSTATUS unsafe_user_buffer(WDFREQUEST request, size_t minimum_length, bool output, PVOID* buffer, size_t* length) {
    auto* r = checked<request_object>(request, object_kind::request);
    *buffer = nullptr;
    if (length != nullptr) {
        *length = 0;
    }
    const auto& p = r->parameters.Parameters.DeviceIoControl;
    constexpr ULONG method_neither = 3;
    if (!r->in_caller_context || r->parameters.Type != WdfRequestTypeDeviceControl ||
        (p.IoControlCode & 3) != method_neither) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    size_t n = output ? p.OutputBufferLength : p.InputBufferLength;
    if (n < minimum_length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = output ? r->irp.UserBuffer : p.Type3InputBuffer;
    if (length != nullptr) {
        *length = n;
    }
    return STATUS_SUCCESS;
}

// The probe reads (and for writing, writes back) the range in the calling thread's process: the
// sender's memory only in the sender's context.
NTSTATUS probe_and_lock(WDFREQUEST request, PVOID buffer, size_t length, bool for_write, WDFMEMORY* memory) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)request);
    auto* r = checked<request_object>(request, object_kind::request);
    *memory = nullptr;
    if (buffer == nullptr || length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* m = new memory_object();
    m->user = buffer;
    m->bytes.resize(length);
    m->for_write = for_write;
    int process = sim::kernel::user_process();
    bool probed = process == r->sender_process &&
                  sim::kernel::copy_user_memory(process, m->bytes.data(), buffer, length, false) &&
                  (!for_write || sim::kernel::copy_user_memory(process, m->bytes.data(), buffer, length, true));
    if (!probed) {
        discard(m);
        return STATUS_ACCESS_VIOLATION;
    }
    NTSTATUS status = attach(m, nullptr, r);
    if (!NT_SUCCESS(status)) {
        discard(m);
        return status;
    }
    *memory = (WDFMEMORY)m->handle();
    return STATUS_SUCCESS;
}

}  // namespace

void present_held(queue_object* q) {
    while (presents(q) && !q->held.empty()) {
        request_object* r = q->held.front();
        q->held.pop_front();
        q->owned++;
        r->presented = true;
        ExInitializeWorkItem(&r->presenter, present_from_worker, r);
        ExQueueWorkItem(&r->presenter, DelayedWorkQueue);
    }
}

std::mutex& io_mutex() {
    static auto* m = new std::mutex();
    return *m;
}

std::condition_variable& io_changed() {
    static auto* cv = new std::condition_variable();
    return *cv;
}

void file_object::before_cleanup() {
    std::lock_guard<std::mutex> g(io_mutex());
    open_files().erase(this);
}

void queue_object::before_cleanup() {
    std::unique_lock<std::mutex> g(io_mutex());
    started = false;
    closed = true;
    // Requests still held never reach the driver: they fail as for a device that is gone.
    for (request_object* r : held) {
        r->completed = true;
        r->status = STATUS_NO_SUCH_DEVICE;
        r->information = 0;
    }
    held.clear();
    io_changed().notify_all();
    io_changed().wait(g, [this] { return owned == 0; });
    auto& list = device->queues;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    if (device->default_queue == this) {
        device->default_queue = nullptr;
    }
    for (auto it = device->dispatch.begin(); it != device->dispatch.end();) {
        it = it->second == this ? device->dispatch.erase(it) : std::next(it);
    }
}

}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

NTSTATUS WdfIoQueueCreate(WDFDEVICE device, PWDF_IO_QUEUE_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes,
                          WDFQUEUE* queue) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    if (queue != nullptr) {
        *queue = nullptr;
    }
    auto* d = checked<device_object>(device, object_kind::device);
    if (config == nullptr || config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        config->DispatchType == WdfIoQueueDispatchInvalid) {
        return STATUS_INVALID_PARAMETER;
    }
    if (config->DefaultQueue && d->default_queue != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* q = new queue_object();
    q->device = d;
    q->config = *config;
    q->power_managed = config->PowerManaged == WdfTrue ||
                       (config->PowerManaged == WdfUseDefault && d->settings.power_policy_owner);
    object* parent = attributes != nullptr && attributes->ParentObject != nullptr ? from_handle(attributes->ParentObject)
                                                                                : d;
    WDF_OBJECT_ATTRIBUTES copy;
    if (attributes != nullptr) {
        copy = *attributes;
        copy.ParentObject = nullptr;
    }
    NTSTATUS status = attach(q, attributes != nullptr ? &copy : nullptr, parent);
    if (!NT_SUCCESS(status)) {
        discard(q);
        return status;
    }
    {
        std::lock_guard<std::mutex> g(io_mutex());
        // A queue that is not power-managed presents at once; a power-managed one once the
        // device is in D0 (it counts as started then).
        q->started = true;
        d->queues.push_back(q);
        if (config->DefaultQueue) {
            d->default_queue = q;
        }
    }
    if (queue != nullptr) {
        *queue = (WDFQUEUE)q->handle();
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE device, WDFQUEUE queue, WDF_REQUEST_TYPE request_type) {
    auto* d = checked<device_object>(device, object_kind::device);
    auto* q = checked<queue_object>(queue, object_kind::queue);
    if (q->device != d) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> g(io_mutex());
    if (d->dispatch.count(request_type) != 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    d->dispatch[request_type] = q;
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE queue) {
    return (WDFDEVICE)checked<queue_object>(queue, object_kind::queue)->device->handle();
}

void WdfIoQueueStart(WDFQUEUE queue) {
    auto* q = checked<queue_object>(queue, object_kind::queue);
    std::lock_guard<std::mutex> g(io_mutex());
    q->started = true;
    q->draining = false;
    q->drain_complete = nullptr;
    present_held(q);
    io_changed().notify_all();
}

void WdfIoQueueStop(WDFQUEUE queue, EVT_WDF_IO_QUEUE_STATE* stop_complete, WDFCONTEXT context) {
    auto* q = checked<queue_object>(queue, object_kind::queue);
    std::unique_lock<std::mutex> g(io_mutex());
    q->started = false;
    if (stop_complete != nullptr) {
        if (q->owned == 0) {
            g.unlock();
            stop_complete(queue, context);
            return;
        }
        q->stop_complete = stop_complete;
        q->stop_context = context;
    }
}

void WdfIoQueueStopSynchronously(WDFQUEUE queue) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)queue);
    auto* q = checked<queue_object>(queue, object_kind::queue);
    std::unique_lock<std::mutex> g(io_mutex());
    q->started = false;
    io_changed().wait(g, [q] { return q->owned == 0; });
}

void WdfIoQueueDrain(WDFQUEUE queue, EVT_WDF_IO_QUEUE_STATE* drain_complete, WDFCONTEXT context) {
    auto* q = checked<queue_object>(queue, object_kind::queue);
    std::unique_lock<std::mutex> g(io_mutex());
    q->draining = true;
    if (drain_complete != nullptr) {
        if (q->owned == 0 && q->held.empty()) {
            g.unlock();
            drain_complete(queue, context);
            return;
        }
        q->drain_complete = drain_complete;
        q->drain_context = context;
    }
}

void WdfRequestGetParameters(WDFREQUEST request, PWDF_REQUEST_PARAMETERS parameters) {
    *parameters = checked<request_object>(request, object_kind::request)->parameters;
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST request) {
    return (WDFQUEUE)checked<request_object>(request, object_kind::request)->queue->handle();
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST request) {
    auto* r = checked<request_object>(request, object_kind::request);
    return r->file != nullptr ? (WDFFILEOBJECT)r->file->handle() : nullptr;
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST request) {
    return &checked<request_object>(request, object_kind::request)->irp;
}

void WdfRequestSetInformation(WDFREQUEST request, ULONG_PTR information) {
    checked<request_object>(request, object_kind::request)->information = information;
}

void WdfRequestCompleteWithInformation(WDFREQUEST request, NTSTATUS status, ULONG_PTR information) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)request);
    auto* r = checked<request_object>(request, object_kind::request);
    write_back_locked_buffers(r);
    std::lock_guard<std::mutex> g(io_mutex());
    if (r->completed) {
        violation(0x70, (ULONG_PTR)request);  // completed twice
    }
    r->completed = true;
    r->status = status;
    r->information = information;
    r->in_caller_context = false;
    if (r->presented) {
        request_ended(r->queue);
    } else {
        io_changed().notify_all();  // completed in EvtIoInCallerContext
    }
}

void WdfRequestComplete(WDFREQUEST request, NTSTATUS status) {
    auto* r = checked<request_object>(request, object_kind::request);
    WdfRequestCompleteWithInformation(request, status, r->information);
}

namespace {

NTSTATUS system_buffer(WDFREQUEST request, size_t minimum_length, bool output, PVOID* buffer, size_t* length) {
    auto* r = checked<request_object>(request, object_kind::request);
    const auto& p = r->parameters.Parameters.DeviceIoControl;
    size_t have = output ? p.OutputBufferLength : p.InputBufferLength;
    if (r->parameters.Type != WdfRequestTypeDeviceControl || r->irp.RequestorMode != 0 ||
        (p.IoControlCode & 3) != METHOD_BUFFERED) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (have == 0 || have < minimum_length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = r->system_buffer.data();
    if (length != nullptr) {
        *length = have;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, size_t minimum_length, PVOID* buffer, size_t* length) {
    return system_buffer(request, minimum_length, false, buffer, length);
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, size_t minimum_length, PVOID* buffer, size_t* length) {
    return system_buffer(request, minimum_length, true, buffer, length);
}

void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT device_init, PWDF_OBJECT_ATTRIBUTES request_attributes) {
    device_init->settings.has_request_attributes = true;
    device_init->settings.request_attributes = *request_attributes;
}

void WdfDeviceInitSetIoInCallerContextCallback(PWDFDEVICE_INIT device_init,
                                               EVT_WDF_IO_IN_CALLER_CONTEXT* in_caller_context) {
    device_init->settings.in_caller_context = in_caller_context;
}

NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE device, WDFREQUEST request) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)request);
    auto* d = checked<device_object>(device, object_kind::device);
    auto* r = checked<request_object>(request, object_kind::request);
    if (r->queue == nullptr || r->queue->device != d || r->presented || r->completed) {
        violation(0x71, (ULONG_PTR)request);  // not this device's, or queued or completed already
    }
    return enqueue(r->queue, r);
}

NTSTATUS WdfRequestRetrieveUnsafeUserInputBuffer(WDFREQUEST request, size_t minimum_length, PVOID* input_buffer,
                                                 size_t* length) {
    return unsafe_user_buffer(request, minimum_length, false, input_buffer, length);
}

NTSTATUS WdfRequestRetrieveUnsafeUserOutputBuffer(WDFREQUEST request, size_t minimum_length, PVOID* output_buffer,
                                                  size_t* length) {
    return unsafe_user_buffer(request, minimum_length, true, output_buffer, length);
}

NTSTATUS WdfRequestProbeAndLockUserBufferForRead(WDFREQUEST request, PVOID buffer, size_t length, WDFMEMORY* memory) {
    return probe_and_lock(request, buffer, length, false, memory);
}

NTSTATUS WdfRequestProbeAndLockUserBufferForWrite(WDFREQUEST request, PVOID buffer, size_t length,
                                                  WDFMEMORY* memory) {
    return probe_and_lock(request, buffer, length, true, memory);
}

PVOID WdfMemoryGetBuffer(WDFMEMORY memory, size_t* buffer_size) {
    auto* m = checked<memory_object>(memory, object_kind::memory);
    if (buffer_size != nullptr) {
        *buffer_size = m->bytes.size();
    }
    return m->bytes.data();
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT device_init, PWDF_FILEOBJECT_CONFIG config,
                                      PWDF_OBJECT_ATTRIBUTES file_attributes) {
    device_init->settings.has_file_config = true;
    device_init->settings.file_config = *config;
    if (file_attributes != nullptr) {
        device_init->settings.has_file_attributes = true;
        device_init->settings.file_attributes = *file_attributes;
    }
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT file_object_) {
    return (WDFDEVICE)checked<file_object>(file_object_, object_kind::file)->device->handle();
}

namespace sim::kmdf {

NTSTATUS open_device(WDFDEVICE device, WDFFILEOBJECT* file) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    *file = nullptr;
    auto* d = checked<device_object>(device, object_kind::device);
    auto* f = new file_object();
    f->device = d;
    NTSTATUS status =
        attach(f, d->settings.has_file_attributes ? &d->settings.file_attributes : nullptr, d);
    if (!NT_SUCCESS(status)) {
        discard(f);
        return status == STATUS_DELETE_PENDING ? STATUS_NO_SUCH_DEVICE : status;
    }
    status = STATUS_SUCCESS;
    if (d->settings.has_file_config && d->settings.file_config.EvtDeviceFileCreate != nullptr) {
        // The create request: completed by the callback, its status is the open's.
        auto* r = new request_object();
        WDF_OBJECT_ATTRIBUTES* ra = d->settings.has_request_attributes ? &d->settings.request_attributes : nullptr;
        status = attach(r, ra, f);
        if (!NT_SUCCESS(status)) {
            discard(r);
        } else {
            queue_object create_queue;  // a private queue that only counts the create request
            create_queue.device = d;
            r->queue = &create_queue;
            r->file = f;
            r->parameters.Size = sizeof(WDF_REQUEST_PARAMETERS);
            r->parameters.Type = WdfRequestTypeCreate;
            create_queue.owned = 1;
            d->settings.file_config.EvtDeviceFileCreate(device, (WDFREQUEST)r->handle(), (WDFFILEOBJECT)f->handle());
            {
                std::unique_lock<std::mutex> g(io_mutex());
                io_changed().wait(g, [r] { return r->completed; });
                status = r->status;
            }
            delete_object(r);
        }
    }
    if (!NT_SUCCESS(status)) {
        delete_object(f);
        return status;
    }
    {
        std::lock_guard<std::mutex> g(io_mutex());
        open_files().insert(f);
    }
    *file = (WDFFILEOBJECT)f->handle();
    return STATUS_SUCCESS;
}

bool file_open(WDFFILEOBJECT file) {
    std::lock_guard<std::mutex> g(io_mutex());
    return open_files().count((file_object*)file) != 0;
}

void close_device(WDFFILEOBJECT file) {
    auto* f = (file_object*)file;
    {
        std::lock_guard<std::mutex> g(io_mutex());
        if (open_files().erase(f) == 0) {
            return;
        }
    }
    device_object* d = f->device;
    if (d->settings.has_file_config && d->settings.file_config.EvtFileCleanup != nullptr) {
        d->settings.file_config.EvtFileCleanup(file);
    }
    if (d->settings.has_file_config && d->settings.file_config.EvtFileClose != nullptr) {
        d->settings.file_config.EvtFileClose(file);
    }
    delete_object(f);
}

ULONG held_requests(WDFDEVICE device) {
    auto* d = checked<device_object>(device, object_kind::device);
    std::lock_guard<std::mutex> g(io_mutex());
    ULONG count = 0;
    for (queue_object* q : d->queues) {
        count += (ULONG)q->held.size();
    }
    return count;
}

namespace {

// What a sender gives a device-control request.
struct sent_request {
    WDF_REQUEST_TYPE type;
    WDFFILEOBJECT file;
    ULONG code;
    ULONG input_length;
    ULONG output_length;
    void* user_buffer;      // a user sender's METHOD_NEITHER buffer
    bool kernel;            // a kernel-mode sender
    const void* input;      // a kernel sender's input, copied into the system buffer
    PVOID argument;         // the first "other" parameter of an internal request
    PMDL mdl;
};

// Builds the request, hands it to the device (its in-caller-context callback or its queue) and
// waits until the driver completes it; copies a buffered request's output back.
NTSTATUS send(WDFDEVICE device, const sent_request& s, void* output, ULONG_PTR* information) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    *information = 0;
    auto* d = checked<device_object>(device, object_kind::device);
    queue_object* q;
    {
        std::lock_guard<std::mutex> g(io_mutex());
        if (s.file != nullptr && open_files().count((file_object*)s.file) == 0) {
            return STATUS_INVALID_HANDLE;
        }
        auto it = d->dispatch.find(s.type);
        q = it != d->dispatch.end() ? it->second : d->default_queue;
        auto* callback = s.type == WdfRequestTypeDeviceControlInternal ? q != nullptr ? q->config.EvtIoInternalDeviceControl : nullptr
                         : q != nullptr ? q->config.EvtIoDeviceControl : nullptr;
        if (callback == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    auto* r = new request_object();
    WDF_OBJECT_ATTRIBUTES* ra = d->settings.has_request_attributes ? &d->settings.request_attributes : nullptr;
    NTSTATUS status = attach(r, ra, q);
    if (!NT_SUCCESS(status)) {
        discard(r);
        return status == STATUS_DELETE_PENDING ? STATUS_NO_SUCH_DEVICE : status;
    }
    r->queue = q;
    r->file = (file_object*)s.file;
    r->parameters.Size = sizeof(WDF_REQUEST_PARAMETERS);
    r->parameters.Type = s.type;
    if (s.type == WdfRequestTypeDeviceControlInternal) {
        r->parameters.Parameters.Others.Arg1 = s.argument;
        r->location.MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    } else {
        r->parameters.Parameters.DeviceIoControl.IoControlCode = s.code;
        r->parameters.Parameters.DeviceIoControl.InputBufferLength = s.input_length;
        r->parameters.Parameters.DeviceIoControl.OutputBufferLength = s.output_length;
        r->parameters.Parameters.DeviceIoControl.Type3InputBuffer = s.user_buffer;
        r->location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    }
    r->location.FileObject = s.file;
    r->irp.UserBuffer = s.user_buffer;
    r->irp.MdlAddress = s.mdl;
    r->irp.RequestorMode = s.kernel ? 0 : 1;  // KernelMode, UserMode
    r->irp.Tail.Overlay.CurrentStackLocation = &r->location;
    if (s.kernel && s.type == WdfRequestTypeDeviceControl) {
        r->system_buffer.assign(std::max(s.input_length, s.output_length), 0);
        if (s.input_length != 0) {
            std::memcpy(r->system_buffer.data(), s.input, s.input_length);
        }
    }
    r->sender_process = s.kernel ? -1 : sim::kernel::user_process();
    // The I/O manager's own reference: the request stays until the sender has its result, also
    // when its queue goes meanwhile.
    add_reference(r);
    if (!s.kernel && d->settings.in_caller_context != nullptr) {
        // The driver queues the request itself (or completes it).
        r->in_caller_context = true;
        d->settings.in_caller_context(device, (WDFREQUEST)r->handle());
    } else if (!NT_SUCCESS(enqueue(q, r))) {
        complete_unpresented(r, STATUS_NO_SUCH_DEVICE);
    }
    {
        std::unique_lock<std::mutex> g(io_mutex());
        io_changed().wait(g, [r] { return r->completed; });
        status = r->status;
        *information = r->information;
    }
    if (output != nullptr && s.output_length != 0 && !r->system_buffer.empty()) {
        std::memcpy(output, r->system_buffer.data(), s.output_length);
    }
    delete_object(r);
    release(r);
    return status;
}

}  // namespace

NTSTATUS device_control(WDFDEVICE device, WDFFILEOBJECT file, ULONG code, void* user_buffer, ULONG input_length,
                        ULONG output_length, ULONG_PTR* information) {
    sent_request s{WdfRequestTypeDeviceControl, file, code, input_length, output_length, user_buffer, false,
                   nullptr, nullptr, nullptr};
    return send(device, s, nullptr, information);
}

NTSTATUS kernel_device_control(WDFDEVICE device, ULONG code, const void* input, ULONG input_length, void* output,
                               ULONG output_length, ULONG_PTR* information) {
    sent_request s{WdfRequestTypeDeviceControl, nullptr, code, input_length, output_length, nullptr, true,
                   input, nullptr, nullptr};
    return send(device, s, output, information);
}

NTSTATUS internal_device_control(WDFDEVICE device, ULONG code, PVOID argument, PMDL mdl, ULONG_PTR* information) {
    sent_request s{WdfRequestTypeDeviceControlInternal, nullptr, code, 0, 0, nullptr, true, nullptr, argument, mdl};
    return send(device, s, nullptr, information);
}

}  // namespace sim::kmdf
