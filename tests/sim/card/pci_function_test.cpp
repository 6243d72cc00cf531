// The card's configuration space: the image a healthy card presents, its write masks and
// write-1-to-clear bits, and the configured variants of its capability chains.

#include <gtest/gtest.h>

#include "sim/card/card.h"
#include "sim/card/pci_function.h"

using sim::card::Card;
using sim::card::CardConfig;
using sim::card::PciFunction;

namespace {

struct image_case {
    ULONG offset;
    ULONG size;
    ULONG value;
    const char* what;
};

}  // namespace

TEST(CardConfigSpace, HealthyCardImageAtEveryWidth) {
    Card card;
    const image_case cases[] = {
        {0x00, 4, 0x03015EC7, "vendor and device"},
        {0x00, 2, 0x5EC7, "vendor"},
        {0x02, 2, 0x0301, "device"},
        {0x01, 1, 0x5E, "vendor high byte"},
        {0x04, 4, 0x00100000, "command 0, status: capability list"},
        {0x08, 4, 0x01800001, "class 0x018000, revision 1"},
        {0x0E, 1, 0x00, "header type"},
        {0x10, 4, 0x00000004, "BAR 0: 64-bit memory"},
        {0x2C, 4, 0x00105EC7, "subsystem ids"},
        {0x34, 1, 0x40, "capability pointer"},
        {0x3C, 2, 0x0100, "interrupt pin A, line 0"},
        {0x40, 4, 0x00035001, "power management -> 0x50"},
        {0x50, 4, 0x000F7011, "MSI-X, 16 vectors -> 0x70"},
        {0x54, 4, 0x0000F000, "MSI-X table"},
        {0x58, 4, 0x0000F800, "MSI-X pending bits"},
        {0x70, 4, 0x00020010, "PCI Express, endpoint, no slot, last"},
        {0x74, 4, 0x00640001, "device capabilities: payload 256, 25 x 1 W"},
        {0x78, 2, 0x0000, "device control"},
        {0x7A, 2, 0x0000, "device status"},
        {0x7C, 4, 0x00000082, "link capabilities: 5 GT/s x8"},
        {0x82, 2, 0x0082, "link status: 5 GT/s x8"},
        {0x84, 4, 0x00000000, "slot capabilities"},
        {0x100, 4, 0x1401000B, "vendor capability -> 0x140"},
        {0x104, 4, 0x00010000, "aggregate count 0"},
        {0x108, 4, 0x0E000000, "aggregate count 1"},
        {0x140, 4, 0x00020001, "AER version 2, last"},
        {0x140, 2, 0x0001, "AER id"},
        {0x142, 2, 0x0002, "AER next and version"},
        {0x144, 4, 0x00000000, "uncorrectable status"},
        {0x14C, 4, 0x00062030, "uncorrectable severity"},
        {0x154, 4, 0x00002000, "correctable mask"},
        {0xFFC, 4, 0x00000000, "last dword"},
    };
    for (const image_case& c : cases) {
        EXPECT_EQ(card.config_read(c.offset, c.size), c.value) << c.what;
    }
}

TEST(CardConfigSpace, WritesChangeOnlyWritableBits) {
    Card card;
    card.config_write(0x00, 4, 0xFFFFFFFF);  // identity is read-only
    EXPECT_EQ(card.config_read(0x00, 4), 0x03015EC7u);

    card.config_write(0x04, 2, 0xFFFF);  // command: I/O, memory, parity, SERR, INTx disable
    EXPECT_EQ(card.config_read(0x04, 2), 0x0546u);

    // BAR sizing: all ones read back as the 64 KiB size mask with the type bits kept.
    card.config_write(0x10, 4, 0xFFFFFFFF);
    card.config_write(0x14, 4, 0xFFFFFFFF);
    EXPECT_EQ(card.config_read(0x10, 4), 0xFFFF0004u);
    EXPECT_EQ(card.config_read(0x14, 4), 0xFFFFFFFFu);
    card.config_write(0x10, 4, 0xFE123456);
    EXPECT_EQ(card.config_read(0x10, 4), 0xFE120004u);

    card.config_write(0x78, 2, 0xFFFF);  // device control
    EXPECT_EQ(card.config_read(0x78, 2), 0x79FFu);
    card.config_write(0x7C, 4, 0);  // link capabilities are read-only
    EXPECT_EQ(card.config_read(0x7C, 4), 0x82u);

    card.config_write(0x148, 4, 0x00100000);  // AER uncorrectable mask
    EXPECT_EQ(card.config_read(0x148, 4), 0x00100000u);
    card.config_write(0x100, 4, 0);  // the chain is read-only
    EXPECT_EQ(card.config_read(0x100, 4), 0x1401000Bu);

    EXPECT_FALSE(card.msix_enabled());
    card.config_write(0x52, 2, 0xC000);
    EXPECT_TRUE(card.msix_enabled());
    EXPECT_TRUE(card.msix_function_masked());
    EXPECT_EQ(card.config_read(0x52, 2), 0xC00Fu);  // the table size stays
}

TEST(CardConfigSpace, LatchedErrorBitsClearOnlyWhenWrittenWithOnes) {
    CardConfig config;
    config.pci.device_status = 0x6;                   // non-fatal and fatal
    config.pci.aer_uncorrectable_status = 1u << 20;   // unsupported request
    config.pci.aer_correctable_status = 1u << 13 | 1u; // advisory non-fatal, receiver error
    Card card(config);
    EXPECT_EQ(card.config_read(0x7A, 2), 0x6u);
    EXPECT_EQ(card.config_read(0x144, 4), 0x00100000u);
    EXPECT_EQ(card.config_read(0x150, 4), 0x00002001u);

    card.config_write(0x7A, 2, 0x0);  // zeros change nothing
    EXPECT_EQ(card.config_read(0x7A, 2), 0x6u);
    card.config_write(0x7A, 2, 0x2);
    EXPECT_EQ(card.config_read(0x7A, 2), 0x4u);
    card.config_write(0x78, 4, 0x00040000);  // a dword write reaching status through control
    EXPECT_EQ(card.config_read(0x7A, 2), 0x0u);

    card.config_write(0x144, 4, 0xFFFFFFFF);
    EXPECT_EQ(card.config_read(0x144, 4), 0u);
    card.config_write(0x150, 1, 0x01);  // one byte of the register
    EXPECT_EQ(card.config_read(0x150, 4), 0x00002000u);
    card.config_write(0x151, 1, 0x20);
    EXPECT_EQ(card.config_read(0x150, 4), 0u);

    card.config_write(0x06, 2, 0xFFFF);  // status: the error bits clear, capability list stays
    EXPECT_EQ(card.config_read(0x06, 2), 0x0010u);
}

TEST(CardConfigSpace, ConfiguredVariantsOfTheCapabilityChains) {
    CardConfig no_aer;
    no_aer.pci.aer = false;
    Card a(no_aer);
    EXPECT_EQ(a.config_read(0x100, 4), 0x0001000Bu);
    EXPECT_EQ(a.config_read(0x140, 4), 0u);

    CardConfig loop;
    loop.pci.cap_loop = true;
    loop.pci.pcie_cap = false;
    Card b(loop);
    EXPECT_EQ(b.config_read(0x51, 1), 0x40u);  // MSI-X, now the last, points back at the first
    EXPECT_EQ(b.config_read(0x70, 4), 0u);

    CardConfig pcie_loop;
    pcie_loop.pci.cap_loop = true;
    Card c(pcie_loop);
    EXPECT_EQ(c.config_read(0x70, 4), 0x00024010u);

    CardConfig ext_loop;
    ext_loop.pci.ext_cap_loop = true;
    Card d(ext_loop);
    EXPECT_EQ(d.config_read(0x100, 4), 0x1001000Bu);

    CardConfig slot;
    slot.pci.slot_implemented = true;
    slot.pci.slot_power_mw = 7500;
    Card e(slot);
    EXPECT_EQ(e.config_read(0x70, 4), 0x01020010u);
    EXPECT_EQ(e.config_read(0x84, 4), 75u << 7 | 1u << 15);
    EXPECT_EQ(e.config_read(0x74, 4), 0x1u | 75u << 18 | 1u << 26);

    CardConfig identity;
    identity.pci.vendor = 0xC0A5;
    identity.pci.device = 0x0007;
    identity.pci.link_speed = 3;
    identity.pci.link_width = 4;
    identity.pci.aggregate0 = 0x00010101;
    Card f(identity);
    EXPECT_EQ(f.config_read(0, 4), 0x0007C0A5u);
    EXPECT_EQ(f.config_read(0x82, 2), 0x0043u);
    EXPECT_EQ(f.config_read(0x104, 4), 0x00010101u);
}

TEST(CardConfigSpace, SlotPowerIsEncodedAtTheFinestExactScale) {
    struct power_case {
        uint32_t mw, value, scale;
    } cases[] = {
        {25000, 25, 0}, {0, 0, 0}, {255000, 255, 0}, {7500, 75, 1}, {25500, 255, 1},
        {2550, 255, 2}, {123, 123, 3}, {1001, 1, 0}, {300000, 255, 0},
    };
    for (const power_case& c : cases) {
        uint32_t value = 99;
        uint32_t scale = 99;
        PciFunction::encode_power(c.mw, &value, &scale);
        EXPECT_EQ(value, c.value) << c.mw;
        EXPECT_EQ(scale, c.scale) << c.mw;
    }
}

TEST(CardConfigSpace, BadAccessesAndALostBusReadAllOnes) {
    Card card;
    EXPECT_EQ(card.config_read(0x00, 3), 0xFFFFFFFFu);
    EXPECT_EQ(card.config_read(0xFFF, 2), 0xFFFFu);
    EXPECT_EQ(card.config_read(0x1000, 1), 0xFFu);
    card.config_write(0xFFE, 4, 0);  // leaves the space: dropped

    card.set_bus_lost(true);
    EXPECT_EQ(card.config_read(0x00, 4), 0xFFFFFFFFu);
    card.config_write(0x0C, 1, 0x10);
    card.set_bus_lost(false);
    EXPECT_EQ(card.config_read(0x0C, 1), 0u);
    EXPECT_EQ(card.config_read(0x00, 2), 0x5EC7u);
}
