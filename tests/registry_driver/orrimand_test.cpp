// The device-number registry: lowest free numbers across clients, ownership, and the query
// interface a device of the driver offers to the device above it in a card's stack.
#include <gtest/gtest.h>

#include <vector>

#include "registry_driver/orrimand.h"
#include "sim/kernel/io_control.h"
#include "sim/kmdf/control.h"
#include "tests/support/kernel_fixture.h"

namespace {

const UCHAR block_driver_identity[24] = {1};

class RegistryTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        orrimand::DriverRegistryInitialize();
    }
    void TearDown() override {
        for (DRIVER_REGISTRY_CLIENT* c : clients_) {
            while (held(c) != 0) {
                ULONG numbers[64];
                ULONG n = orrimand::DriverRegistrySnapshot(numbers, 64);
                for (ULONG i = 0; i < n; i++) {
                    c->Ops->Unregister(c->Handle, 0, numbers[i]);
                }
            }
            c->Ops->Release(c->Handle);
        }
        KernelTest::TearDown();
    }
    DRIVER_REGISTRY_CLIENT* open() {
        DRIVER_REGISTRY_CLIENT* c = nullptr;
        EXPECT_EQ(orrimand::DriverRegistryOpen(1, block_driver_identity, &c), 0);
        clients_.push_back(c);
        return c;
    }
    static ULONG held(DRIVER_REGISTRY_CLIENT* c) { return c->Count; }
    static ULONG take(DRIVER_REGISTRY_CLIENT* c) {
        ULONG n = 0xFFFFFFFF;
        EXPECT_EQ(c->Ops->Register(c->Handle, 0, &n), 0);
        return n;
    }
    std::vector<DRIVER_REGISTRY_CLIENT*> clients_;
};

TEST_F(RegistryTest, NumbersAreTheLowestFreeOnesAndComeBackFirst) {
    DRIVER_REGISTRY_CLIENT* a = open();
    EXPECT_EQ(take(a), 0u);
    EXPECT_EQ(take(a), 1u);
    EXPECT_EQ(take(a), 2u);
    EXPECT_EQ(a->Ops->Unregister(a->Handle, 0, 1), 0);
    EXPECT_EQ(take(a), 1u);
    EXPECT_EQ(a->Ops->Unregister(a->Handle, 0, 0), 0);
    EXPECT_EQ(a->Ops->Unregister(a->Handle, 0, 2), 0);
    EXPECT_EQ(take(a), 0u);
    EXPECT_EQ(take(a), 2u);
    EXPECT_EQ(take(a), 3u);
}

TEST_F(RegistryTest, NumbersAreGlobalAcrossClientsAndOwned) {
    DRIVER_REGISTRY_CLIENT* a = open();
    DRIVER_REGISTRY_CLIENT* b = open();
    EXPECT_EQ(take(a), 0u);
    EXPECT_EQ(take(b), 1u);
    EXPECT_EQ(take(a), 2u);
    EXPECT_EQ(take(b), 3u);
    // Another client's number is not given back.
    EXPECT_EQ(b->Ops->Unregister(b->Handle, 0, 0), -2);
    EXPECT_EQ(a->Ops->Unregister(a->Handle, 0, 0), 0);
    EXPECT_EQ(a->Ops->Unregister(a->Handle, 0, 0), -2);
    EXPECT_EQ(a->Ops->Unregister(a->Handle, 0, 7), -2);
    EXPECT_EQ(take(b), 0u);
    EXPECT_EQ(held(a), 1u);
    EXPECT_EQ(held(b), 3u);
}

TEST_F(RegistryTest, RefusalsChangeNothing) {
    DRIVER_REGISTRY_CLIENT* a = open();
    auto before = sim::kernel::pool_outstanding("mal4");
    ULONG n = 99;
    EXPECT_EQ(a->Ops->Register(a->Handle, 1, &n), -22);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(sim::kernel::pool_outstanding("mal4"), before);
    EXPECT_EQ(a->Ops->Unregister(a->Handle, 1, 0), -22);

    DRIVER_REGISTRY_CLIENT* c = nullptr;
    EXPECT_EQ(orrimand::DriverRegistryOpen(2, block_driver_identity, &c), -95);
    UCHAR identity[24] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // bytes 0-7 are free
    EXPECT_EQ(orrimand::DriverRegistryOpen(1, identity, &c), 0);
    clients_.push_back(c);
    for (int i = 8; i < 24; i++) {
        UCHAR bad[24] = {1};
        bad[i] = 1;
        DRIVER_REGISTRY_CLIENT* d = nullptr;
        EXPECT_EQ(orrimand::DriverRegistryOpen(1, bad, &d), -22) << "byte " << i;
    }

    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 1, "mal4");
    EXPECT_EQ(a->Ops->Register(a->Handle, 0, &n), -12);
    EXPECT_EQ(take(a), 0u);
}

TEST_F(RegistryTest, ReleaseKeepsAClientThatHoldsNumbers) {
    DRIVER_REGISTRY_CLIENT* a = open();
    clients_.clear();
    EXPECT_EQ(take(a), 0u);
    auto holding = sim::kernel::pool_outstanding("mal4");
    a->Ops->Release(a->Handle);
    EXPECT_EQ(sim::kernel::pool_outstanding("mal4"), holding);
    EXPECT_EQ(a->Ops->Unregister(a->Handle, 0, 0), 0);
    a->Ops->Release(a->Handle);
    orrimand::DriverRegistryRelease(nullptr);
}

// A driver whose device sits above orrimand's and queries the interface, as the block driver does.
DRIVER_REGISTRY_INTERFACE queried;
NTSTATUS query_status;

NTSTATUS upper_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    query_status = WdfFdoQueryForInterface(device, &GUID_DRIVER_REGISTRY_INTERFACE, (PINTERFACE)&queried,
                                           sizeof queried, 1, nullptr);
    return STATUS_SUCCESS;
}

NTSTATUS upper_entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, upper_add);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

TEST_F(RegistryTest, EveryCardStackOffersTheSameRegistry) {
    PDRIVER_OBJECT lower = nullptr;
    PDRIVER_OBJECT upper = nullptr;
    ASSERT_EQ(sim::kernel::load_driver("orrimand", orrimand::DriverEntry, &lower), STATUS_SUCCESS);
    ASSERT_EQ(sim::kernel::load_driver("upper", upper_entry, &upper), STATUS_SUCCESS);
    std::vector<sim::kmdf::device_stack*> stacks;
    std::vector<DRIVER_REGISTRY_CLIENT*> opened;
    for (int card = 0; card < 2; card++) {
        auto* stack = sim::kmdf::stack_create({});
        stacks.push_back(stack);
        WDFDEVICE filter;
        ASSERT_EQ(sim::kmdf::stack_add_driver(stack, WdfWdmDriverGetWdfDriverHandle(lower), &filter), STATUS_SUCCESS);
        EXPECT_TRUE(sim::kmdf::record_of(filter).filter);
        EXPECT_EQ(sim::kmdf::record_of(filter).device_type, FILE_DEVICE_UNKNOWN);
        queried = {};
        ASSERT_EQ(sim::kmdf::stack_add_driver(stack, WdfWdmDriverGetWdfDriverHandle(upper)), STATUS_SUCCESS);
        ASSERT_EQ(query_status, STATUS_SUCCESS);
        EXPECT_EQ(queried.Size, 40);
        EXPECT_EQ(queried.Version, 1);
        EXPECT_EQ(queried.Context, nullptr);
        ASSERT_NE(queried.Open, nullptr);
        DRIVER_REGISTRY_CLIENT* c = nullptr;
        ASSERT_EQ(queried.Open(1, block_driver_identity, &c), 0);
        ULONG n = 0;
        EXPECT_EQ(c->Ops->Register(c->Handle, 0, &n), 0);
        EXPECT_EQ(n, (ULONG)card);
        opened.push_back(c);
        queried.InterfaceDereference(queried.Context);
    }
    for (size_t i = 0; i < opened.size(); i++) {
        EXPECT_EQ(opened[i]->Ops->Unregister(opened[i]->Handle, 0, (ULONG)i), 0);
        opened[i]->Ops->Release(opened[i]->Handle);
    }
    for (auto* stack : stacks) {
        sim::kmdf::stack_remove(stack);
    }
    sim::kmdf::unload(upper);
    sim::kmdf::unload(lower);
}

}  // namespace
