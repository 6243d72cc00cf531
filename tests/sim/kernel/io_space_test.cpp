// Device memory: a claimed range mapped into system space is reached through the register
// routines only, synchronously; a released range reads all ones.

#include <gtest/gtest.h>

#include <map>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/io_space.h"
#include "tests/support/kernel_fixture.h"

namespace {

class recording_device : public sim::kernel::io_device {
  public:
    uint64_t io_read(uint64_t offset, unsigned size) override {
        reads.push_back({offset, size});
        return values.count(offset) != 0 ? values[offset] : 0x1234;
    }
    void io_write(uint64_t offset, unsigned size, uint64_t value) override {
        writes.push_back({offset, size});
        values[offset] = value;
    }
    std::vector<std::pair<uint64_t, unsigned>> reads, writes;
    std::map<uint64_t, uint64_t> values;
};

using IoSpace = KernelTest;

TEST_F(IoSpace, RegisterRoutinesReachTheDeviceBehindAMapping) {
    recording_device device;
    uint64_t physical = sim::kernel::io_space_allocate(0x1000, 0x1000);
    ASSERT_TRUE(sim::kernel::io_space_claim(physical, 0x1000, &device));
    EXPECT_FALSE(sim::kernel::io_space_claim(physical + 0x800, 0x1000, &device)) << "overlap";

    PHYSICAL_ADDRESS pa;
    pa.QuadPart = (LONGLONG)physical + 0x100;
    auto* regs = (volatile UCHAR*)MmMapIoSpace(pa, 0x200, MmNonCached);
    ASSERT_NE(regs, nullptr);
    EXPECT_EQ(sim::kernel::io_space_mappings(), 1u);

    WRITE_REGISTER_ULONG((volatile ULONG*)(regs + 8), 0xCAFE);
    EXPECT_EQ(READ_REGISTER_ULONG((volatile ULONG*)(regs + 8)), 0xCAFEu);
    WRITE_REGISTER_USHORT((volatile USHORT*)(regs + 0x10), 0xFFF1);
    EXPECT_EQ(device.writes.back(), (std::pair<uint64_t, unsigned>{0x110, 2}));
    EXPECT_EQ(READ_REGISTER_ULONG64((volatile ULONG64*)(regs + 0x20)), 0x1234u);
    ULONG out[2];
    READ_REGISTER_BUFFER_ULONG((volatile ULONG*)(regs + 8), out, 2);
    EXPECT_EQ(out[0], 0xCAFEu);
    EXPECT_EQ(device.reads.back(), (std::pair<uint64_t, unsigned>{0x10C, 4})) << "consecutive registers";

    // Another bus master reaches the same registers by physical address.
    EXPECT_EQ(sim::kernel::io_space_read(physical + 0x108, 4), 0xCAFEu);

    sim::kernel::io_space_release(&device);
    EXPECT_EQ(READ_REGISTER_ULONG((volatile ULONG*)(regs + 8)), 0xFFFFFFFFu) << "a removed device";
    WRITE_REGISTER_ULONG((volatile ULONG*)(regs + 8), 1);
    EXPECT_EQ(device.values[0x108], 0xCAFEu);
    MmUnmapIoSpace((PVOID)regs, 0x200);
    EXPECT_EQ(sim::kernel::io_space_mappings(), 0u);
}

TEST_F(IoSpace, MappingNeedsAClaimedRangeAndOrdinaryMemoryStaysMemory) {
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = (LONGLONG)sim::kernel::io_space_allocate(0x1000, 0x1000);
    EXPECT_EQ(MmMapIoSpace(pa, 0x100, MmNonCached), nullptr);

    ULONG plain = 5;
    WRITE_REGISTER_ULONG(&plain, 7);
    EXPECT_EQ(READ_REGISTER_ULONG(&plain), 7u);

    expect_bug_check(SIM_ASSERTION_FAILURE, [] { MmUnmapIoSpace((PVOID)0x1000, 0x100); });
}

}  // namespace
