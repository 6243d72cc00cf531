// Driver and device objects, their enumeration and references, and the system worker threads.

#include <atomic>
#include <thread>

#include "sim/kernel/control.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_state.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

NTSTATUS empty_entry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

void delete_all_devices(PDRIVER_OBJECT driver) {
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

}  // namespace

class IoTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        objects_before_ = objects::outstanding_objects();
        ASSERT_EQ(load_driver("iotest", empty_entry, &driver_), STATUS_SUCCESS);
    }
    void TearDown() override {
        EXPECT_TRUE(wait_for_work_items(10000));
        delete_all_devices(driver_);
        unload_driver(driver_);
        EXPECT_EQ(objects::outstanding_objects(), objects_before_);
        EXPECT_EQ(allocated_io_work_items(), 0u);
        KernelTest::TearDown();
    }

    PDEVICE_OBJECT create(ULONG extension = 0) {
        PDEVICE_OBJECT d = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, extension, nullptr, FILE_DEVICE_CONTROLLER, 0, FALSE, &d), STATUS_SUCCESS);
        return d;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    ULONG objects_before_ = 0;
};

TEST_F(IoTest, DriverEntryGetsItsObjectAndServiceKey) {
    static std::u16string seen_name, seen_key;
    auto entry = [](PDRIVER_OBJECT d, PUNICODE_STRING key) -> NTSTATUS {
        seen_name.assign(d->DriverName.Buffer, d->DriverName.Length / 2);
        seen_key.assign(key->Buffer, key->Length / 2);
        return STATUS_UNSUCCESSFUL;
    };
    PDRIVER_OBJECT failed = nullptr;
    EXPECT_EQ(load_driver("strovane", entry, &failed), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(seen_name, u"\\Driver\\strovane");
    EXPECT_EQ(seen_key, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane");
}

TEST_F(IoTest, DevicesAreListedNewestFirstWithTheirExtension) {
    PDEVICE_OBJECT first = create(64);
    PDEVICE_OBJECT second = create();
    EXPECT_EQ(driver_->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);
    EXPECT_EQ(first->DriverObject, driver_);
    ASSERT_NE(first->DeviceExtension, nullptr);
    EXPECT_EQ(((const char*)first->DeviceExtension)[63], 0);
    EXPECT_EQ(second->DeviceExtension, nullptr);
    EXPECT_NE(first->Flags & DO_DEVICE_INITIALIZING, 0u);

    UNICODE_STRING name{};
    char16_t text[] = u"\\Device\\dov0";
    name.Buffer = text;
    name.Length = name.MaximumLength = sizeof text - 2;
    PDEVICE_OBJECT named = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &named), STATUS_SUCCESS);
    PDEVICE_OBJECT again = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &again), (NTSTATUS)0xC0000035);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(device_objects(driver_), 3u);
}

TEST_F(IoTest, EnumerationFillsAndReferencesWhatFits) {
    PDEVICE_OBJECT none[1] = {nullptr};
    ULONG count = 99;
    EXPECT_EQ(IoEnumerateDeviceObjectList(driver_, none, sizeof none, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(none[0], nullptr);

    PDEVICE_OBJECT older = create();
    PDEVICE_OBJECT newer = create();
    struct {
        const char* what;
        ULONG room;
        NTSTATUS status;
        ULONG filled;
    } const cases[] = {
        {"room for all", 2, STATUS_SUCCESS, 2},
        {"room for one", 1, STATUS_BUFFER_TOO_SMALL, 1},
        {"no room", 0, STATUS_BUFFER_TOO_SMALL, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PDEVICE_OBJECT list[2] = {nullptr, nullptr};
        EXPECT_EQ(IoEnumerateDeviceObjectList(driver_, list, c.room * sizeof(PDEVICE_OBJECT), &count), c.status);
        EXPECT_EQ(count, 2u);
        PDEVICE_OBJECT expected[2] = {newer, older};
        for (ULONG i = 0; i < 2; i++) {
            EXPECT_EQ(list[i], i < c.filled ? expected[i] : nullptr);
            if (list[i] != nullptr) {
                ObDereferenceObject(list[i]);
            }
        }
    }
    // A reference keeps a deleted device's memory: it is freed with the last one.
    PDEVICE_OBJECT list[1];
    IoEnumerateDeviceObjectList(driver_, list, sizeof list, &count);
    ULONG objects = objects::outstanding_objects();
    IoDeleteDevice(newer);
    EXPECT_EQ(objects::outstanding_objects(), objects);
    EXPECT_EQ(list[0]->DriverObject, driver_);
    ObDereferenceObject(list[0]);
    EXPECT_EQ(objects::outstanding_objects(), objects - 1);
    EXPECT_EQ(driver_->DeviceObject, older);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    expect_bug_check(IRQL_NOT_LESS_OR_EQUAL,
                     [&] { IoEnumerateDeviceObjectList(driver_, list, sizeof list, &count); });
}

TEST_F(IoTest, WorkItemsRunAtPassiveLevelOnAWorkerWithTheDeviceHeld) {
    struct observed {
        std::atomic<int> runs{0};
        KIRQL irql = 0xFF;
        bool on_worker = false;
        PDEVICE_OBJECT device = nullptr;
        PIO_WORKITEM item = nullptr;
        std::atomic<bool> go{false};  // the routine waits for it: the test looks at the device first
    };
    static observed seen;
    seen.runs = 0;
    seen.go = false;
    PDEVICE_OBJECT device = create();
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    seen.item = item;
    auto routine = [](PDEVICE_OBJECT d, PVOID context) {
        EXPECT_TRUE(eventually([] { return seen.go.load(); }));
        seen.irql = KeGetCurrentIrql();
        seen.on_worker = current_thread().kind == thread_kind::worker;
        seen.device = d;
        EXPECT_EQ(context, &seen);
        IoFreeWorkItem(seen.item);  // a routine may free its own item
        seen.runs++;
    };
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // work is queued from DPCs too
    IoQueueWorkItem(item, routine, DelayedWorkQueue, &seen);
    KeLowerIrql(old);
    // The queued item holds the device: deleting it now leaves its memory to the item.
    ULONG objects = objects::outstanding_objects();
    IoDeleteDevice(device);
    EXPECT_EQ(objects::outstanding_objects(), objects);
    seen.go = true;
    ASSERT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(seen.runs.load(), 1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(seen.on_worker);
    EXPECT_EQ(seen.device, device);
    EXPECT_EQ(objects::outstanding_objects(), objects - 1);
}

// A work item routine must return at PASSIVE_LEVEL outside any critical region; the machine
// stops when it does not (on the worker thread, so the whole program ends).
TEST_F(IoTest, AWorkItemReturningAtAnotherIrqlOrInACriticalRegionStopsTheMachine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct case_row {
        const char* what;
        PIO_WORKITEM_ROUTINE routine;
        const char* report;
    } const cases[] = {
        {"raised",
         [](PDEVICE_OBJECT, PVOID) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
         },
         "work item routine returned at IRQL 2 with 0 critical regions.*STOP: 0x000000E1"},
        {"in a critical region", [](PDEVICE_OBJECT, PVOID) { KeEnterCriticalRegion(); },
         "work item routine returned at IRQL 0 with 1 critical regions.*STOP: 0x000000E1"},
    };
    for (const case_row& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_DEATH(
            {
                PIO_WORKITEM item = IoAllocateWorkItem(create());
                IoQueueWorkItem(item, c.routine, DelayedWorkQueue, nullptr);
                wait_for_work_items(10000);
            },
            c.report);
    }
}

TEST_F(IoTest, WorkItemAllocationCanBeRefusedAndExecutiveItemsRun) {
    PDEVICE_OBJECT device = create();
    fail_nth(fault_site::work_item, 1);
    EXPECT_EQ(IoAllocateWorkItem(device), nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    IoFreeWorkItem(item);

    static std::atomic<int> sum;
    sum = 0;
    WORK_QUEUE_ITEM items[8];
    static int values[8];
    for (int i = 0; i < 8; i++) {
        values[i] = i + 1;
        ExInitializeWorkItem(&items[i], [](PVOID p) { sum += *(int*)p; }, &values[i]);
        ExQueueWorkItem(&items[i], DelayedWorkQueue);
    }
    ASSERT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(sum.load(), 36);
}
