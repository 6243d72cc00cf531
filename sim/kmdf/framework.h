// Internal to the framework stand-in: the object tree that every framework object lives in.
//
// Every handle is the address of an `object`. An object holds one reference for being alive
// (dropped when it is deleted), one per child and one per outside reference; when the count
// reaches zero its EvtDestroyCallback runs and its memory and contexts go. New object kinds
// (queues, interrupts, child lists) derive from `object` and add their own deletion steps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/kernel.h"
#include "sim/kmdf/control.h"
#include "sim/kmdf/wdf.h"

namespace sim::kmdf::framework {

using sim::kmdf::device_stack;

enum class object_kind { generic, driver, device, work_item, queue, request, file, interrupt, string, key, memory, child_list };

struct context_block {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
    void* memory;
};

struct object {
    static constexpr uint32_t live_magic = 0x4A424F57;  // "WOBJ"

    explicit object(object_kind k);
    virtual ~object();
    object(const object&) = delete;
    object& operator=(const object&) = delete;

    // Deletion steps of a kind, around the object's EvtCleanupCallback.
    virtual void before_cleanup() {}
    virtual void after_cleanup() {}
    // When the last reference goes, after EvtDestroyCallback.
    virtual void on_destroy() {}

    WDFOBJECT handle() { return (WDFOBJECT)this; }

    uint32_t magic = live_magic;
    object_kind kind;
    object* parent = nullptr;
    std::vector<object*> children;  // oldest first
    std::vector<context_block> contexts;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeInheritFromParent;
    std::atomic<LONG> references{1};
    bool deleting = false;
};

struct driver_object : object {
    driver_object() : object(object_kind::driver) {}
    PDRIVER_OBJECT wdm = nullptr;
    WDF_DRIVER_CONFIG config{};
    std::u16string registry_path;
};

struct queue_object;
struct interrupt_object;
struct child_list_object;

// What EvtDriverDeviceAdd sets in its WDFDEVICE_INIT, kept by the device it creates.
// What EvtChildListCreateDevice sets in a child's WDFDEVICE_INIT.
struct pdo_settings {
    bool is_pdo = false;
    std::u16string device_id;
    std::u16string instance_id;
    std::vector<std::u16string> hardware_ids;
    std::vector<std::u16string> compatible_ids;
    struct text {
        LCID locale;
        std::u16string description;
        std::u16string location;
    };
    std::vector<text> texts;
    LCID default_locale = 0;
};

struct device_settings {
    pdo_settings pdo;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_FDO_EVENT_CALLBACKS fdo{};
    bool filter = false;
    bool power_policy_owner = false;
    bool has_file_config = false;
    WDF_FILEOBJECT_CONFIG file_config{};
    bool has_file_attributes = false;
    WDF_OBJECT_ATTRIBUTES file_attributes{};
    bool has_request_attributes = false;
    WDF_OBJECT_ATTRIBUTES request_attributes{};
    EVT_WDF_IO_IN_CALLER_CONTEXT* in_caller_context = nullptr;
    bool has_child_list = false;
    WDF_CHILD_LIST_CONFIG child_list{};
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS preprocess = nullptr;
    UCHAR preprocess_major = 0;
    std::vector<UCHAR> preprocess_minors;
};

struct device_object : object {
    device_object() : object(object_kind::device) {}
    void before_cleanup() override;
    void after_cleanup() override;
    PDEVICE_OBJECT wdm = nullptr;
    driver_object* driver = nullptr;
    bool pnp = true;  // deleted by the framework only
    // The kernel's message connection of the device's interrupt objects, while connected to a
    // PCI function's MSI-X messages.
    struct IO_INTERRUPT_MESSAGE_INFO* msi_table = nullptr;
    // Held around callbacks of objects under the device when its synchronisation scope is the
    // device (passive-level callbacks only).
    std::recursive_mutex callback_lock;

    device_settings settings;
    device_stack* stack = nullptr;  // NULL for a device added without a stack
    std::vector<queue_object*> queues;
    queue_object* default_queue = nullptr;
    std::map<int, queue_object*> dispatch;  // request type -> queue
    std::vector<interrupt_object*> interrupts;  // creation order

    struct offered_interface {
        GUID guid;
        std::vector<uint8_t> bytes;
    };
    std::vector<offered_interface> offered;
    struct device_interface {
        GUID guid;
        std::u16string reference;
        std::u16string link;
        bool enabled;
    };
    std::vector<device_interface> interfaces;

    std::atomic<LONG> static_stop_remove{0};
    bool failed = false;
    bool in_d0 = false;
    WDF_DEVICE_POWER_CAPABILITIES power_caps{};
    bool special_files[WdfSpecialFileMax] = {};
    bool has_bus_information = false;
    PNP_BUS_INFORMATION bus_information{};
    child_list_object* child_list = nullptr;  // the default child list of a bus device
    bool has_pnp_caps = false;
    bool fail_registry_open = false;  // WdfDeviceOpenRegistryKey fails (tests)
    WDF_DEVICE_PNP_CAPABILITIES pnp_caps{};
};

// Makes the default child list of a device created with one (WdfDeviceCreate).
NTSTATUS create_default_child_list(device_object* d);

// Serialises the state of queues, requests, files and stacks; signalled on every change.
std::mutex& io_mutex();
std::condition_variable& io_changed();

struct request_object;

struct queue_object : object {
    queue_object() : object(object_kind::queue) {}
    void before_cleanup() override;
    device_object* device = nullptr;
    WDF_IO_QUEUE_CONFIG config{};
    bool power_managed = false;
    bool started = false;   // presents requests (with the device in D0 when power-managed)
    bool draining = false;  // takes no new request (held ones are still presented)
    EVT_WDF_IO_QUEUE_STATE* drain_complete = nullptr;
    WDFCONTEXT drain_context = nullptr;
    bool closed = false;    // being deleted: takes no request
    ULONG owned = 0;        // requests presented and not yet completed
    std::deque<request_object*> held;  // waiting until the queue presents, oldest first
    EVT_WDF_IO_QUEUE_STATE* stop_complete = nullptr;
    WDFCONTEXT stop_context = nullptr;
};

// Called with io_mutex held wherever a queue may present again: its held requests go to the
// driver, each from a system worker thread (so never in their sender's context).
void present_held(queue_object* q);

struct file_object : object {
    file_object() : object(object_kind::file) {}
    void before_cleanup() override;
    device_object* device = nullptr;
    bool closed = false;
};

struct request_object : object {
    request_object() : object(object_kind::request) {}
    queue_object* queue = nullptr;  // the queue its type goes to
    file_object* file = nullptr;
    WDF_REQUEST_PARAMETERS parameters{};
    IRP irp{};
    IO_STACK_LOCATION location{};
    int sender_process = -1;         // whose user addresses the request carries (user_process())
    bool in_caller_context = false;  // in EvtIoInCallerContext, on the sender's thread
    bool presented = false;          // given to the queue's callback: owned by the driver
    WORK_QUEUE_ITEM presenter{};     // presents a held request from a worker thread
    std::vector<uint8_t> system_buffer;  // a buffered request's input, then output
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// The sender's buffer locked by WdfRequestProbeAndLockUserBuffer*: the framework's copy of the
// locked range, which the driver reaches from any context; a range locked for writing is copied
// back to the sender when the request completes, before the sender sees the completion.
struct memory_object : object {
    memory_object() : object(object_kind::memory) {}
    const void* user = nullptr;
    std::vector<uint8_t> bytes;
    bool for_write = false;
};

struct interrupt_object : object {
    interrupt_object() : object(object_kind::interrupt) {}
    void before_cleanup() override;
    device_object* device = nullptr;
    WDF_INTERRUPT_CONFIG config{};
    WDF_INTERRUPT_INFO info{};
    bool has_resource = false;
    bool connected = false;
    volatile LONG live = 0;  // the kernel may run its ISR for its message (read without locks)
    ULONG processor = 0;  // the vector's target processor index
    KDPC dpc{};
};

struct string_object : object {
    string_object() : object(object_kind::string) {}
    std::u16string text;
};

struct key_object : object {
    key_object() : object(object_kind::key) {}
    void after_cleanup() override;
    HANDLE key = nullptr;
};


struct work_item_object : object {
    work_item_object() : object(object_kind::work_item) {}
    void before_cleanup() override;
    void on_destroy() override;
    WDF_WORKITEM_CONFIG config{};
    PIO_WORKITEM io = nullptr;
    device_object* device = nullptr;
    bool serialized = false;
    bool enqueued = false;  // queued and not yet started
    bool running = false;
    bool requeue = false;   // enqueued while running
    std::thread::id runner;
};

// Guards the tree (children, deleting, contexts) and the work items' states.
std::recursive_mutex& tree_mutex();
// Signalled whenever a work item's state changes.
std::condition_variable_any& state_changed();

// The object of a handle; a handle that is not a live object stops the machine.
object* from_handle(WDFOBJECT handle);
template <typename T>
T* checked(WDFOBJECT handle, object_kind kind) {
    object* o = from_handle(handle);
    if (o->kind != kind) {
        KeBugCheckEx(WDF_VIOLATION, 0x100, (ULONG_PTR)handle, (ULONG_PTR)kind, (ULONG_PTR)o->kind);
    }
    return static_cast<T*>(o);
}

// Takes the attributes (callbacks, levels, context) and links the object under `parent`
// (which gains a reference). On failure the object is not linked and the caller discards it.
NTSTATUS attach(object* o, PWDF_OBJECT_ATTRIBUTES attributes, object* parent);
// Frees an object that attach() refused or that was never attached.
void discard(object* o);
// Undoes a successful attach() of an object whose creation failed later, without callbacks.
void abandon(object* o);
// Deletes the object and its children (children newest first).
void delete_object(object* o);
void add_reference(object* o);
void release(object* o);

WDF_EXECUTION_LEVEL effective_level(object* o);
WDF_SYNCHRONIZATION_SCOPE effective_scope(object* o);
device_object* device_ancestor(object* o);

// The driver that WdfGetDriver reports and the driver of a WDM driver object.
driver_object* current_driver();
driver_object* driver_of(PDRIVER_OBJECT wdm);

[[noreturn]] void violation(ULONG_PTR what, ULONG_PTR p2 = 0, ULONG_PTR p3 = 0);
void require_irql_at_most(KIRQL highest, ULONG_PTR what);

}  // namespace sim::kmdf::framework

namespace sim::kmdf {

// A device stack: the bus's physical device object and the framework devices attached above it,
// bottom first.
struct device_stack {
    device_description description;
    std::vector<framework::device_object*> devices;
    std::vector<int> stage;  // per device: how far its start got (see stack.cpp)
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated;
    std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> requirements;
    bool started = false;
    bool in_d0 = false;
    std::recursive_mutex pnp_lock;     // one PnP or power operation at a time
    std::mutex interrupt_lock;         // connection changes against signalled messages
};

}  // namespace sim::kmdf

// What the framework hands to EvtDriverDeviceAdd.
struct WDFDEVICE_INIT {
    sim::kmdf::framework::device_settings settings;
    sim::kmdf::framework::device_stack* stack = nullptr;
    sim::kmdf::framework::driver_object* driver = nullptr;
    DEVICE_TYPE device_type = FILE_DEVICE_UNKNOWN;
    ULONG characteristics = FILE_DEVICE_SECURE_OPEN;
    BOOLEAN exclusive = FALSE;
    WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
    std::u16string name;
    sim::kmdf::framework::device_object* created = nullptr;
};
