// Device registers: a BAR mapped into system space is reached through the register accessors
// only, synchronously; a detached device reads all ones; an address outside every mapping stops
// the machine.

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/mmio.h"
#include "sim/kernel/mmio_control.h"
#include "tests/support/kernel_fixture.h"

namespace {

class recording_device : public sim::kernel::mmio_device {
  public:
    ULONG mmio_read32(ULONG offset) override {
        reads.push_back(offset);
        return values.count(offset) != 0 ? values[offset] : 0x1234;
    }
    void mmio_write32(ULONG offset, ULONG value) override { values[offset] = value; }
    std::vector<ULONG> reads;
    std::map<ULONG, ULONG> values;
};

using Mmio = KernelTest;

TEST_F(Mmio, AccessorsReachTheDeviceBehindAMapping) {
    recording_device device;
    ULONG64 physical = sim::kernel::mmio_allocate_range(0x1000);
    ASSERT_TRUE(sim::kernel::mmio_attach(physical, 0x1000, &device));
    EXPECT_FALSE(sim::kernel::mmio_attach(physical + 0x800, 0x1000, &device)) << "overlap";

    PHYSICAL_ADDRESS pa;
    pa.QuadPart = (LONGLONG)physical + 0x100;
    auto* regs = (volatile ULONG*)MmMapIoSpace(pa, 0x200, MmNonCached);
    ASSERT_NE(regs, nullptr);
    EXPECT_EQ(sim::kernel::mmio_mappings(), 1u);

    WRITE_REGISTER_ULONG(regs + 2, 0xCAFE);
    EXPECT_EQ(READ_REGISTER_ULONG(regs + 2), 0xCAFEu);
    WRITE_REGISTER_ULONG64((volatile ULONG64*)(regs + 4), 0x1111222233334444ull);
    EXPECT_EQ(device.values[0x110], 0x33334444u) << "the low dword first";
    EXPECT_EQ(device.values[0x114], 0x11112222u);
    EXPECT_EQ(READ_REGISTER_ULONG64((volatile ULONG64*)(regs + 4)), 0x1111222233334444ull);
    ULONG out[2];
    READ_REGISTER_BUFFER_ULONG(regs + 2, out, 2);
    EXPECT_EQ(out[0], 0xCAFEu);
    EXPECT_EQ(device.reads.back(), 0x10Cu) << "consecutive registers";

    // Another bus master reaches the same registers by physical address.
    EXPECT_EQ(sim::kernel::mmio_read_physical(physical + 0x108), 0xCAFEu);
    sim::kernel::mmio_write_physical(physical + 0x108, 7);
    EXPECT_EQ(READ_REGISTER_ULONG(regs + 2), 7u);

    sim::kernel::mmio_detach(physical);
    EXPECT_EQ(READ_REGISTER_ULONG(regs + 2), 0xFFFFFFFFu) << "a removed device";
    WRITE_REGISTER_ULONG(regs + 2, 1);
    EXPECT_EQ(device.values[0x108], 7u);
    MmUnmapIoSpace((PVOID)regs, 0x200);
    EXPECT_EQ(sim::kernel::mmio_mappings(), 0u);
}

TEST_F(Mmio, MappingNeedsADeviceAndStrayAccessesStopTheMachine) {
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = (LONGLONG)sim::kernel::mmio_allocate_range(0x1000);
    EXPECT_EQ(MmMapIoSpace(pa, 0x100, MmNonCached), nullptr);
    ULONG plain = 5;
    expect_bug_check(0x50, [&] { READ_REGISTER_ULONG(&plain); });
    expect_bug_check(0x50, [] { MmUnmapIoSpace((PVOID)0x1000, 0x100); });
}

}  // namespace
