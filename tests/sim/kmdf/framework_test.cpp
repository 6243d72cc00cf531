// The framework stand-in: object tree, typed contexts, deletion order, the driver and device
// objects, device add and removal, and work items.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_state.h"
#include "sim/kmdf/control.h"
#include "sim/kmdf/wdf.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

struct device_context {
    int number;
    char text[32];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(device_context, device_context_of)

struct item_context {
    int value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(item_context, item_context_of)

// What the callbacks of the test driver saw, in order.
std::vector<std::string> events;
std::mutex events_mutex;

void note(const std::string& e) {
    std::lock_guard<std::mutex> g(events_mutex);
    events.push_back(e);
}

std::vector<std::string> noted() {
    std::lock_guard<std::mutex> g(events_mutex);
    return events;
}

// How the test driver's device add behaves.
enum class add_mode {
    create,
    create_then_fail,
    fail_without_device,
    succeed_without_device,
    serialised_passive,   // callbacks serialised per device at PASSIVE_LEVEL
    serialised_dispatch,  // serialised per device, execution level of the driver (dispatch)
};
add_mode mode = add_mode::create;
int next_number = 0;

NTSTATUS device_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    if (mode == add_mode::fail_without_device) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (mode == add_mode::succeed_without_device) {
        return STATUS_SUCCESS;
    }
    WdfDeviceInitSetDeviceType(init, FILE_DEVICE_CONTROLLER);
    WdfDeviceInitSetIoType(init, WdfDeviceIoDirect);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, device_context);
    if (mode == add_mode::serialised_passive || mode == add_mode::serialised_dispatch) {
        attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
        attributes.ExecutionLevel =
            mode == add_mode::serialised_passive ? WdfExecutionLevelPassive : WdfExecutionLevelInheritFromParent;
    }
    attributes.EvtCleanupCallback = [](WDFOBJECT o) { note("device cleanup " + std::to_string(device_context_of(o)->number)); };
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EXPECT_EQ(init, nullptr);
    device_context_of(device)->number = next_number++;
    return mode == add_mode::create_then_fail ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, device_add);
    config.EvtDriverUnload = [](WDFDRIVER) { note("driver unload"); };
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = [](WDFOBJECT) { note("driver cleanup"); };
    attributes.EvtDestroyCallback = [](WDFOBJECT) { note("driver destroy"); };
    return WdfDriverCreate(driver_object, registry_path, &attributes, &config, WDF_NO_HANDLE);
}

}  // namespace

class FrameworkTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        events.clear();
        mode = add_mode::create;
        next_number = 0;
        ASSERT_EQ(load_driver("fwtest", driver_entry, &wdm_driver_), STATUS_SUCCESS);
        driver_ = WdfGetDriver();
        ASSERT_NE(driver_, nullptr);
    }
    void TearDown() override {
        if (wdm_driver_ != nullptr) {
            sim::kmdf::unload(wdm_driver_);
        }
        EXPECT_EQ(sim::kmdf::live_objects(), 0u);
        EXPECT_TRUE(wait_for_work_items(10000));
        EXPECT_EQ(allocated_io_work_items(), 0u);
        KernelTest::TearDown();
    }

    WDFDEVICE add() {
        WDFDEVICE device = nullptr;
        EXPECT_EQ(sim::kmdf::add_device(driver_, {}, &device), STATUS_SUCCESS);
        return device;
    }

    PDRIVER_OBJECT wdm_driver_ = nullptr;
    WDFDRIVER driver_ = nullptr;
};

TEST_F(FrameworkTest, DriverAndDeviceMapToTheirWdmObjects) {
    EXPECT_EQ(WdfDriverWdmGetDriverObject(driver_), wdm_driver_);
    EXPECT_EQ(WdfWdmDriverGetWdfDriverHandle(wdm_driver_), driver_);
    EXPECT_EQ(std::u16string(WdfDriverGetRegistryPath(driver_)),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\fwtest");

    WDFDEVICE device = add();
    PDEVICE_OBJECT wdm = WdfDeviceWdmGetDeviceObject(device);
    ASSERT_NE(wdm, nullptr);
    EXPECT_EQ(WdfWdmDeviceGetWdfDeviceHandle(wdm), device);
    EXPECT_EQ(WdfDeviceGetDriver(device), driver_);
    EXPECT_EQ(wdm_driver_->DeviceObject, wdm);
    EXPECT_EQ(wdm->DeviceType, FILE_DEVICE_CONTROLLER);
    EXPECT_EQ(wdm->Flags & (DO_DEVICE_INITIALIZING | DO_DIRECT_IO), DO_DIRECT_IO);
    EXPECT_EQ(device_context_of(device)->number, 0);
    EXPECT_EQ(item_context_of(device), nullptr);  // no context of that type

    sim::kmdf::remove_device(device);
    EXPECT_EQ(WdfWdmDeviceGetWdfDeviceHandle(wdm), nullptr);
    EXPECT_EQ(device_objects(wdm_driver_), 0u);
    EXPECT_EQ(noted(), (std::vector<std::string>{"device cleanup 0"}));
}

TEST_F(FrameworkTest, UnloadRemovesDevicesThenUnloadsAndDeletesTheDriver) {
    add();
    add();
    sim::kmdf::unload(wdm_driver_);
    wdm_driver_ = nullptr;
    EXPECT_EQ(noted(), (std::vector<std::string>{"device cleanup 1", "device cleanup 0", "driver unload",
                                                 "driver cleanup", "driver destroy"}));
    EXPECT_EQ(WdfGetDriver(), nullptr);
}

TEST_F(FrameworkTest, ADriverEntryThatFailsAfterCreatingItsDriverLosesItWithoutUnload) {
    sim::kmdf::unload(wdm_driver_);
    wdm_driver_ = nullptr;
    events.clear();
    auto failing_entry = [](PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
        EXPECT_EQ(driver_entry(driver_object, registry_path), STATUS_SUCCESS);
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    PDRIVER_OBJECT failed = nullptr;
    EXPECT_EQ(load_driver("fwtest", failing_entry, &failed), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(noted(), (std::vector<std::string>{"driver cleanup", "driver destroy"}));
    EXPECT_EQ(WdfGetDriver(), nullptr);
    // The next load finds nothing of it.
    ASSERT_EQ(load_driver("fwtest", driver_entry, &wdm_driver_), STATUS_SUCCESS);
    EXPECT_NE(WdfGetDriver(), nullptr);
}

TEST_F(FrameworkTest, DeviceAddFailuresLeaveNoDevice) {
    struct {
        add_mode mode;
        NTSTATUS status;
        const char* cleanup;
    } const cases[] = {
        {add_mode::create_then_fail, STATUS_DEVICE_NOT_CONNECTED, "device cleanup 0"},
        {add_mode::fail_without_device, STATUS_INSUFFICIENT_RESOURCES, nullptr},
        {add_mode::succeed_without_device, STATUS_INVALID_DEVICE_STATE, nullptr},
    };
    for (const auto& c : cases) {
        events.clear();
        next_number = 0;
        mode = c.mode;
        WDFDEVICE device = (WDFDEVICE)1;
        EXPECT_EQ(sim::kmdf::add_device(driver_, {}, &device), c.status);
        EXPECT_EQ(device, nullptr);
        EXPECT_EQ(device_objects(wdm_driver_), 0u);
        EXPECT_EQ(noted(), c.cleanup != nullptr ? std::vector<std::string>{c.cleanup} : std::vector<std::string>{});
    }
}

TEST_F(FrameworkTest, ChildrenAreCleanedUpFirstAndDestroyedWithTheirLastReference) {
    auto object_with = [](WDFOBJECT parent, const char* name) {
        static std::vector<std::string> names;
        names.emplace_back(name);
        WDF_OBJECT_ATTRIBUTES a;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, item_context);
        a.ParentObject = parent;
        a.EvtCleanupCallback = [](WDFOBJECT o) { note(std::string("cleanup ") + (char)item_context_of(o)->value); };
        a.EvtDestroyCallback = [](WDFOBJECT o) { note(std::string("destroy ") + (char)item_context_of(o)->value); };
        WDFOBJECT o = nullptr;
        EXPECT_EQ(WdfObjectCreate(&a, &o), STATUS_SUCCESS);
        item_context_of(o)->value = name[0];
        return o;
    };
    WDFOBJECT a = object_with(nullptr, "a");  // parent: the driver
    WDFOBJECT b = object_with(a, "b");
    object_with(a, "c");
    object_with(b, "d");
    WdfObjectReference(b);  // an outside reference keeps b (and so a) after deletion
    WdfObjectDelete(a);
    EXPECT_EQ(noted(), (std::vector<std::string>{"cleanup c", "destroy c", "cleanup d", "destroy d", "cleanup b",
                                                 "cleanup a"}));
    EXPECT_EQ(item_context_of(b)->value, 'b');  // the context lives as long as the object
    events.clear();
    WdfObjectDereference(b);
    EXPECT_EQ(noted(), (std::vector<std::string>{"destroy b", "destroy a"}));

    // A second context of another type.
    WDFOBJECT e = object_with(nullptr, "e");
    WDF_OBJECT_ATTRIBUTES extra;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&extra, device_context);
    PVOID context = nullptr;
    EXPECT_EQ(WdfObjectAllocateContext(e, &extra, &context), STATUS_SUCCESS);
    EXPECT_EQ(context, device_context_of(e));
    EXPECT_EQ(WdfObjectAllocateContext(e, &extra, &context), (NTSTATUS)0x40000000);
    WdfObjectDelete(e);
}

TEST_F(FrameworkTest, ThePnpDeviceIsTheFrameworksToDelete) {
    WDFDEVICE device = add();
    expect_bug_check(WDF_VIOLATION, [&] { WdfObjectDelete(device); });
}

// ---------------------------------------------------------------------------------------------
// Work items

namespace {

struct work_seen {
    std::atomic<int> runs{0};
    KIRQL irql = 0xFF;
    bool on_worker = false;
    WDFOBJECT parent = nullptr;
    int value = 0;
};
work_seen seen;

void record_work(WDFWORKITEM item) {
    seen.irql = KeGetCurrentIrql();
    seen.on_worker = current_thread().kind == thread_kind::worker;
    seen.parent = WdfWorkItemGetParentObject(item);
    seen.value = item_context_of(item)->value;
    seen.runs++;
}

}  // namespace

class FrameworkWorkItemTest : public FrameworkTest {
  protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        seen.runs = 0;
        seen.irql = 0xFF;
        seen.on_worker = false;
        device_ = add();
    }

    NTSTATUS create(PFN_WDF_WORKITEM function, WDFOBJECT parent, WDFWORKITEM* item, int value = 0) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, function);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, item_context);
        attributes.ParentObject = parent;
        NTSTATUS status = WdfWorkItemCreate(&config, &attributes, item);
        if (NT_SUCCESS(status)) {
            item_context_of(*item)->value = value;
        }
        return status;
    }

    WDFDEVICE device_ = nullptr;
};

TEST_F(FrameworkWorkItemTest, RunsAtPassiveLevelOnAWorkerAndDeletesItselfInItsCallback) {
    auto run_and_delete = [](WDFWORKITEM item) {
        record_work(item);
        WdfObjectDelete(item);
        // Its context stays until the callback has returned.
        EXPECT_EQ(item_context_of(item)->value, 42);
    };
    WDFWORKITEM item;
    ASSERT_EQ(create(run_and_delete, device_, &item, 42), STATUS_SUCCESS);
    ULONG objects = sim::kmdf::live_objects();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    WdfWorkItemEnqueue(item);
    KeLowerIrql(old);
    ASSERT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(seen.runs.load(), 1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(seen.on_worker);
    EXPECT_EQ(seen.parent, (WDFOBJECT)device_);
    EXPECT_EQ(seen.value, 42);
    EXPECT_EQ(sim::kmdf::live_objects(), objects - 1);
    EXPECT_EQ(allocated_io_work_items(), 0u);
}

TEST_F(FrameworkWorkItemTest, QueuedOnceUntilItStartsAndFlushedWithItsDevice) {
    static std::atomic<bool> release;
    release = false;
    auto blocking = [](WDFWORKITEM item) {
        while (!release) {
            std::this_thread::yield();
        }
        record_work(item);
    };
    WDFWORKITEM item;
    ASSERT_EQ(create(blocking, device_, &item), STATUS_SUCCESS);
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item);  // still queued or just started: at most once more
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        release = true;
    });
    // Removing the device waits for its work item, then deletes it with the device.
    sim::kmdf::remove_device(device_);
    releaser.join();
    EXPECT_GE(seen.runs.load(), 1);
    EXPECT_LE(seen.runs.load(), 2);
    EXPECT_EQ(allocated_io_work_items(), 0u);
}

TEST_F(FrameworkWorkItemTest, CreationNeedsADeviceAncestorAndAWorkItemToGive) {
    WDFWORKITEM item = (WDFWORKITEM)1;
    WDF_OBJECT_ATTRIBUTES under_driver;
    WDF_OBJECT_ATTRIBUTES_INIT(&under_driver);
    WDFOBJECT plain = nullptr;
    ASSERT_EQ(WdfObjectCreate(&under_driver, &plain), STATUS_SUCCESS);
    EXPECT_EQ(create(record_work, plain, &item), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(create(record_work, nullptr, &item), STATUS_INVALID_PARAMETER);

    fail_nth(fault_site::work_item, 1);
    EXPECT_EQ(create(record_work, device_, &item), STATUS_INSUFFICIENT_RESOURCES);

    // An object under the device will do; its work item goes with it.
    WDF_OBJECT_ATTRIBUTES under_device;
    WDF_OBJECT_ATTRIBUTES_INIT(&under_device);
    under_device.ParentObject = device_;
    WDFOBJECT child = nullptr;
    ASSERT_EQ(WdfObjectCreate(&under_device, &child), STATUS_SUCCESS);
    ASSERT_EQ(create(record_work, child, &item, 5), STATUS_SUCCESS);
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    EXPECT_EQ(seen.runs.load(), 1);
    EXPECT_EQ(seen.parent, child);
    WdfObjectDelete(child);
    EXPECT_EQ(allocated_io_work_items(), 0u);
    WdfObjectDelete(plain);
}

TEST_F(FrameworkWorkItemTest, AutomaticSerialisationFollowsTheDevicesScope) {
    mode = add_mode::serialised_passive;
    WDFDEVICE serialised = add();
    static std::atomic<bool> inside;
    static std::atomic<int> overlaps;
    inside = false;
    overlaps = 0;
    auto slow = [](WDFWORKITEM) {
        overlaps += inside.exchange(true) ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        inside = false;
    };
    WDFWORKITEM items[4];
    for (WDFWORKITEM& item : items) {
        ASSERT_EQ(create(slow, serialised, &item), STATUS_SUCCESS);
    }
    for (WDFWORKITEM item : items) {
        WdfWorkItemEnqueue(item);
    }
    ASSERT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(overlaps.load(), 0);

    // Serialising with a device whose callbacks run at dispatch level would need its spin lock.
    mode = add_mode::serialised_dispatch;
    WDFDEVICE dispatch = add();
    WDFWORKITEM item;
    EXPECT_EQ(create(slow, dispatch, &item), STATUS_INVALID_DEVICE_REQUEST);
    WDF_WORKITEM_CONFIG unserialised;
    WDF_WORKITEM_CONFIG_INIT(&unserialised, slow);
    unserialised.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = dispatch;
    EXPECT_EQ(WdfWorkItemCreate(&unserialised, &a, &item), STATUS_SUCCESS);
}
