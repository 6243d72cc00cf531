// The order in which the framework calls a function driver's PnP and power callbacks: on start,
// on a sleep and wake, on removal, and the unwinding of a start that fails at each stage (the
// exit callbacks of the stages that ran, once, and nothing at removal afterwards).

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

std::vector<std::string> events;
sim::kmdf::device_stack* current_stack = nullptr;
std::string failing;  // the callback that fails, empty for none

// Whether the device's interrupt is connected right now: a signal reaches its ISR only then.
std::string interrupts() {
    return sim::kmdf::stack_signal_interrupt(current_stack, 0) ? " (interrupts on)" : " (interrupts off)";
}

const char* state_name(WDF_POWER_DEVICE_STATE s) {
    switch (s) {
        case WdfPowerDeviceD0: return "D0";
        case WdfPowerDeviceD3: return "D3";
        case WdfPowerDeviceD3Final: return "D3final";
        default: return "other";
    }
}

NTSTATUS outcome(const char* name) { return failing == name ? STATUS_DEVICE_BUSY : STATUS_SUCCESS; }

NTSTATUS prepare(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
    events.push_back("prepare");
    return outcome("prepare");
}
NTSTATUS release(WDFDEVICE, WDFCMRESLIST) {
    events.push_back("release");
    return STATUS_SUCCESS;
}
NTSTATUS d0_entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous) {
    events.push_back(std::string("d0 entry from ") + state_name(previous) + interrupts());
    return outcome("d0 entry");
}
NTSTATUS d0_entry_post(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    events.push_back("d0 entry post" + interrupts());
    return outcome("d0 entry post");
}
NTSTATUS d0_exit_pre(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
    events.push_back(std::string("d0 exit pre to ") + state_name(target) + interrupts());
    return STATUS_SUCCESS;
}
NTSTATUS d0_exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
    events.push_back(std::string("d0 exit to ") + state_name(target) + interrupts());
    return STATUS_SUCCESS;
}

BOOLEAN isr(WDFINTERRUPT, ULONG) { return TRUE; }
void dpc(WDFINTERRUPT, WDFOBJECT) {}

NTSTATUS device_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = prepare;
    callbacks.EvtDeviceReleaseHardware = release;
    callbacks.EvtDeviceD0Entry = d0_entry;
    callbacks.EvtDeviceD0EntryPostInterruptsEnabled = d0_entry_post;
    callbacks.EvtDeviceD0ExitPreInterruptsDisabled = d0_exit_pre;
    callbacks.EvtDeviceD0Exit = d0_exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_INTERRUPT_CONFIG config;
    WDF_INTERRUPT_CONFIG_INIT(&config, isr, dpc);
    WDFINTERRUPT interrupt;
    return WdfInterruptCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &interrupt);
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, device_add);
    return WdfDriverCreate(driver_object, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

}  // namespace

class PnpOrderTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        events.clear();
        failing.clear();
        ASSERT_EQ(load_driver("pnporder", driver_entry, &wdm_driver_), STATUS_SUCCESS);
        current_stack = sim::kmdf::stack_create({});
        ASSERT_EQ(sim::kmdf::stack_add_driver(current_stack, WdfGetDriver()), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (current_stack != nullptr) {
            sim::kmdf::stack_remove(current_stack);
        }
        sim::kmdf::unload(wdm_driver_);
        EXPECT_EQ(sim::kmdf::live_objects(), 0u);
        KernelTest::TearDown();
    }
    // Removes the stack and returns what its removal called.
    std::vector<std::string> remove() {
        events.clear();
        sim::kmdf::stack_remove(current_stack);
        current_stack = nullptr;
        return events;
    }

    PDRIVER_OBJECT wdm_driver_ = nullptr;
};

TEST_F(PnpOrderTest, StartSleepWakeAndRemoval) {
    ASSERT_EQ(sim::kmdf::stack_start(current_stack), STATUS_SUCCESS);
    EXPECT_EQ(events, (std::vector<std::string>{"prepare", "d0 entry from D3final (interrupts off)",
                                                "d0 entry post (interrupts on)"}));

    events.clear();
    sim::kmdf::stack_power_down(current_stack, WdfPowerDeviceD3);
    ASSERT_EQ(sim::kmdf::stack_power_up(current_stack), STATUS_SUCCESS);
    EXPECT_EQ(events, (std::vector<std::string>{"d0 exit pre to D3 (interrupts on)", "d0 exit to D3 (interrupts off)",
                                                "d0 entry from D3 (interrupts off)", "d0 entry post (interrupts on)"}));

    EXPECT_EQ(remove(), (std::vector<std::string>{"d0 exit pre to D3final (interrupts on)",
                                                  "d0 exit to D3final (interrupts off)", "release"}));
}

TEST_F(PnpOrderTest, AFailedStartRunsTheExitCallbacksOfTheStagesThatRanOnce) {
    struct failure_case {
        const char* failing;
        std::vector<std::string> start;
    };
    const failure_case cases[] = {
        {"prepare", {"prepare", "release"}},
        {"d0 entry",
         {"prepare", "d0 entry from D3final (interrupts off)", "d0 exit to D3final (interrupts off)", "release"}},
        {"d0 entry post",
         {"prepare", "d0 entry from D3final (interrupts off)", "d0 entry post (interrupts on)",
          "d0 exit pre to D3final (interrupts on)", "d0 exit to D3final (interrupts off)", "release"}},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.failing);
        if (current_stack == nullptr) {
            current_stack = sim::kmdf::stack_create({});
            ASSERT_EQ(sim::kmdf::stack_add_driver(current_stack, WdfGetDriver()), STATUS_SUCCESS);
        }
        events.clear();
        failing = c.failing;
        EXPECT_FALSE(NT_SUCCESS(sim::kmdf::stack_start(current_stack)));
        EXPECT_FALSE(sim::kmdf::stack_started(current_stack));
        EXPECT_EQ(events, c.start);
        // Removal of a stack whose start failed calls nothing again.
        EXPECT_EQ(remove(), std::vector<std::string>{});
    }
}
