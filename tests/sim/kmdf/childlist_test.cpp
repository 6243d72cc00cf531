// The framework stand-in's child lists: a description reported present gets a started child
// device (at once, or when the scan or iteration open ends), one reported missing loses it
// (stopped in order, then deleted), a scan drops the children it did not hear of, an iteration
// sees present and pending children with their states, copies of descriptions are duplicated
// and cleaned up in pairs, a child whose creation fails leaves nothing, and the bus device's
// removal takes its children with it.
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/kernel.h"
#include "sim/kmdf/control.h"
#include "sim/kmdf/wdf.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

struct child_id {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;
    ULONG number;
    ULONG spare;
};

child_id id(ULONG number) {
    child_id c{};
    c.header.IdentificationDescriptionSize = sizeof c;
    c.number = number;
    return c;
}

std::mutex events_mutex;
std::vector<std::string> events;
int copies = 0;          // duplicated and not yet cleaned up
ULONG fail_number = 0;   // the child whose creation fails

void note(const std::string& e) {
    std::lock_guard<std::mutex> g(events_mutex);
    events.push_back(e);
}

std::vector<std::string> take_events() {
    std::lock_guard<std::mutex> g(events_mutex);
    std::vector<std::string> out;
    out.swap(events);
    return out;
}

struct child_context {
    ULONG number;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(child_context, child_of)

std::string name(WDFDEVICE d) {
    return std::to_string(child_of(d)->number);
}

NTSTATUS d0_entry(WDFDEVICE d, WDF_POWER_DEVICE_STATE) {
    note("d0 entry " + name(d));
    return STATUS_SUCCESS;
}
NTSTATUS d0_exit(WDFDEVICE d, WDF_POWER_DEVICE_STATE) {
    note("d0 exit " + name(d));
    return STATUS_SUCCESS;
}
NTSTATUS io_init(WDFDEVICE d) {
    note("io init " + name(d));
    return STATUS_SUCCESS;
}
NTSTATUS io_suspend(WDFDEVICE d) {
    note("io suspend " + name(d));
    return STATUS_SUCCESS;
}
void io_flush(WDFDEVICE d) {
    note("io flush " + name(d));
}
void io_cleanup(WDFDEVICE d) {
    note("io cleanup " + name(d));
}

NTSTATUS create_child(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER description, PWDFDEVICE_INIT init) {
    ULONG number = ((child_id*)description)->number;
    note("create " + std::to_string(number));
    if (number == fail_number) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceD0Entry = d0_entry;
    pnp.EvtDeviceD0Exit = d0_exit;
    pnp.EvtDeviceSelfManagedIoInit = io_init;
    pnp.EvtDeviceSelfManagedIoSuspend = io_suspend;
    pnp.EvtDeviceSelfManagedIoFlush = io_flush;
    pnp.EvtDeviceSelfManagedIoCleanup = io_cleanup;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    UNICODE_STRING instance;
    RtlInitUnicodeString(&instance, u"child");
    EXPECT_EQ(WdfPdoInitAssignInstanceID(init, &instance), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, child_context);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (NT_SUCCESS(status)) {
        child_of(device)->number = number;
    }
    return status;
}

NTSTATUS duplicate(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER source,
                   PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER destination) {
    *(child_id*)destination = *(child_id*)source;
    copies++;
    return STATUS_SUCCESS;
}

void cleanup(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER) {
    copies--;
}

NTSTATUS bus_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_CHILD_LIST_CONFIG config;
    WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(child_id), create_child);
    config.EvtChildListIdentificationDescriptionDuplicate = duplicate;
    config.EvtChildListIdentificationDescriptionCleanup = cleanup;
    WdfFdoInitSetDefaultChildListConfig(init, &config, WDF_NO_OBJECT_ATTRIBUTES);
    WDFDEVICE device;
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, bus_add);
    return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

}  // namespace

class ChildListTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        take_events();
        copies = 0;
        fail_number = 0;
        ASSERT_EQ(load_driver("childtest", driver_entry, &wdm_), STATUS_SUCCESS);
        ASSERT_EQ(sim::kmdf::add_device(WdfGetDriver(), {}, &bus_), STATUS_SUCCESS);
        list_ = WdfFdoGetDefaultChildList(bus_);
        ASSERT_NE(list_, nullptr);
    }
    void TearDown() override {
        if (wdm_ != nullptr) sim::kmdf::unload(wdm_);
        EXPECT_EQ(copies, 0);
        KernelTest::TearDown();
    }
    NTSTATUS present(ULONG n) {
        child_id c = id(n);
        return WdfChildListAddOrUpdateChildDescriptionAsPresent(list_, &c.header, nullptr);
    }
    NTSTATUS missing(ULONG n) {
        child_id c = id(n);
        return WdfChildListUpdateChildDescriptionAsMissing(list_, &c.header);
    }
    std::vector<ULONG> children() {
        std::vector<ULONG> out;
        for (WDFDEVICE d : sim::kmdf::child_devices(bus_)) out.push_back(child_of(d)->number);
        return out;
    }

    PDRIVER_OBJECT wdm_ = nullptr;
    WDFDEVICE bus_ = nullptr;
    WDFCHILDLIST list_ = nullptr;
};

TEST_F(ChildListTest, APresentChildIsCreatedAndStartedAndAMissingOneStoppedAndRemoved) {
    ASSERT_EQ(present(1), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), (std::vector<std::string>{"create 1", "d0 entry 1", "io init 1"}));
    EXPECT_EQ(children(), std::vector<ULONG>{1});
    EXPECT_EQ(copies, 1);
    EXPECT_EQ(WdfChildListGetDevice(list_), bus_);
    // Reported again: nothing new.
    ASSERT_EQ(present(1), STATUS_SUCCESS);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(copies, 1);

    child_id c = id(1);
    WDF_CHILD_RETRIEVE_INFO info;
    WDF_CHILD_RETRIEVE_INFO_INIT(&info, &c.header);
    WDFDEVICE pdo = WdfChildListRetrievePdo(list_, &info);
    EXPECT_NE(pdo, nullptr);
    EXPECT_EQ(info.Status, WdfChildListRetrieveDeviceSuccess);

    ASSERT_EQ(missing(1), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), (std::vector<std::string>{"io suspend 1", "d0 exit 1", "io flush 1", "io cleanup 1"}));
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(copies, 0);
    EXPECT_EQ(WdfChildListRetrievePdo(list_, &info), nullptr);
    EXPECT_EQ(info.Status, WdfChildListRetrieveDeviceNoSuchDevice);
    EXPECT_EQ(missing(1), STATUS_NO_SUCH_DEVICE);
    // A description of another size is refused.
    child_id wrong = id(2);
    wrong.header.IdentificationDescriptionSize = 8;
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list_, &wrong.header, nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(ChildListTest, AScanCreatesAtItsEndAndDropsTheChildrenItDidNotHearOf) {
    present(1);
    present(2);
    take_events();
    WdfChildListBeginScan(list_);
    present(2);
    present(3);
    EXPECT_TRUE(take_events().empty());  // nothing happens while the scan is open
    WdfChildListEndScan(list_);
    auto e = take_events();
    EXPECT_EQ(e, (std::vector<std::string>{"io suspend 1", "d0 exit 1", "io flush 1", "io cleanup 1", "create 3",
                                            "d0 entry 3", "io init 3"}));
    EXPECT_EQ(children(), (std::vector<ULONG>{2, 3}));
    EXPECT_EQ(copies, 2);
}

TEST_F(ChildListTest, AnIterationSeesChildrenWithTheirStatesAndDefersChanges) {
    present(1);
    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrievePresentChildren | WdfRetrievePendingChildren);
    WdfChildListBeginIteration(list_, &iterator);
    present(2);  // pending until the iteration ends
    struct got {
        ULONG number;
        bool device;
        WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status;
    };
    std::vector<got> seen;
    for (;;) {
        child_id c = id(0);
        WDF_CHILD_RETRIEVE_INFO info;
        WDF_CHILD_RETRIEVE_INFO_INIT(&info, &c.header);
        WDFDEVICE device = nullptr;
        if (WdfChildListRetrieveNextDevice(list_, &iterator, &device, &info) != STATUS_SUCCESS) break;
        seen.push_back({c.number, device != nullptr, info.Status});
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].number, 1u);
    EXPECT_TRUE(seen[0].device);
    EXPECT_EQ(seen[0].status, WdfChildListRetrieveDeviceSuccess);
    EXPECT_EQ(seen[1].number, 2u);
    EXPECT_FALSE(seen[1].device);
    EXPECT_EQ(seen[1].status, WdfChildListRetrieveDeviceNotYetCreated);
    missing(1);
    EXPECT_EQ(children(), std::vector<ULONG>{});  // 1 is missing already, 2 not yet made
    take_events();
    WdfChildListEndIteration(list_, &iterator);
    EXPECT_EQ(take_events(), (std::vector<std::string>{"io suspend 1", "d0 exit 1", "io flush 1", "io cleanup 1",
                                                       "create 2", "d0 entry 2", "io init 2"}));
    EXPECT_EQ(children(), std::vector<ULONG>{2});
}

TEST_F(ChildListTest, AChildWhoseCreationFailsLeavesNothing) {
    fail_number = 4;
    EXPECT_EQ(present(4), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), std::vector<std::string>{"create 4"});
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(sim::kmdf::child_descriptions(bus_), 0u);
    EXPECT_EQ(copies, 0);
}

TEST_F(ChildListTest, RemovingTheBusDeviceRemovesItsChildren) {
    present(1);
    present(2);
    take_events();
    sim::kmdf::remove_device(bus_);
    auto e = take_events();
    EXPECT_EQ(e, (std::vector<std::string>{"io suspend 1", "d0 exit 1", "io flush 1", "io cleanup 1", "io suspend 2",
                                            "d0 exit 2", "io flush 2", "io cleanup 2"}));
    EXPECT_EQ(copies, 0);
    sim::kmdf::unload(wdm_);
    wdm_ = nullptr;
    EXPECT_EQ(sim::kmdf::live_objects(), 0u);
}
