// Queues, requests and file objects, and the I/O manager's side of them (open, device control,
// close) for the machine and tests.
#include "sim/kmdf/queue.h"

#include <algorithm>
#include <set>

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
    io_changed().notify_all();
}

}  // namespace

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
    std::lock_guard<std::mutex> g(io_mutex());
    if (r->completed) {
        violation(0x70, (ULONG_PTR)request);  // completed twice
    }
    r->completed = true;
    r->status = status;
    r->information = information;
    request_ended(r->queue);
}

void WdfRequestComplete(WDFREQUEST request, NTSTATUS status) {
    auto* r = checked<request_object>(request, object_kind::request);
    WdfRequestCompleteWithInformation(request, status, r->information);
}

void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT device_init, PWDF_OBJECT_ATTRIBUTES request_attributes) {
    device_init->settings.has_request_attributes = true;
    device_init->settings.request_attributes = *request_attributes;
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

NTSTATUS device_control(WDFDEVICE device, WDFFILEOBJECT file, ULONG code, void* user_buffer, ULONG input_length,
                        ULONG output_length, ULONG_PTR* information) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    *information = 0;
    auto* d = checked<device_object>(device, object_kind::device);
    queue_object* q;
    {
        std::lock_guard<std::mutex> g(io_mutex());
        if (file != nullptr && open_files().count((file_object*)file) == 0) {
            return STATUS_INVALID_HANDLE;
        }
        auto it = d->dispatch.find(WdfRequestTypeDeviceControl);
        q = it != d->dispatch.end() ? it->second : d->default_queue;
        if (q == nullptr || q->config.EvtIoDeviceControl == nullptr) {
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
    r->file = (file_object*)file;
    r->parameters.Size = sizeof(WDF_REQUEST_PARAMETERS);
    r->parameters.Type = WdfRequestTypeDeviceControl;
    r->parameters.Parameters.DeviceIoControl.IoControlCode = code;
    r->parameters.Parameters.DeviceIoControl.InputBufferLength = input_length;
    r->parameters.Parameters.DeviceIoControl.OutputBufferLength = output_length;
    r->parameters.Parameters.DeviceIoControl.Type3InputBuffer = user_buffer;
    r->location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    r->location.FileObject = file;
    r->irp.UserBuffer = user_buffer;
    r->irp.RequestorMode = 1;  // UserMode
    r->irp.Tail.Overlay.CurrentStackLocation = &r->location;
    {
        // A power-managed queue holds the request while the device is out of D0 or the queue
        // stopped; a queue being deleted refuses it.
        std::unique_lock<std::mutex> g(io_mutex());
        io_changed().wait(g, [q] { return presents(q) || q->deleting; });
        if (q->deleting) {
            g.unlock();
            delete_object(r);
            return STATUS_NO_SUCH_DEVICE;
        }
        q->owned++;
    }
    q->config.EvtIoDeviceControl((WDFQUEUE)q->handle(), (WDFREQUEST)r->handle(), output_length, input_length, code);
    {
        std::unique_lock<std::mutex> g(io_mutex());
        io_changed().wait(g, [r] { return r->completed; });
        status = r->status;
        *information = r->information;
    }
    delete_object(r);
    return status;
}

}  // namespace sim::kmdf
