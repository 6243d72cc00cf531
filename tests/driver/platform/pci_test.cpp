// PCI configuration access against a card model on the machine's bus: requests down the card's
// stack, the configuration ports, and the PCI Express capability walks and error state.

#include <string>
#include <vector>

#include "driver/platform/pci.h"
#include "sim/card/card.h"
#include "sim/kernel/pci_bus.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;
using sim::card::Card;
using sim::card::CardConfig;

namespace {

constexpr ULONG card_bus = 3;

class PciTest : public KernelTest {
  protected:
    void TearDown() override {
        pci_unplug(card_bus, 0, 0);
        KernelTest::TearDown();
    }

    // Plugs a card at 03:00.0 and describes it as the device shell would.
    pci_dev plug(const CardConfig& config = {}) {
        card_ = std::make_unique<Card>(config);
        pci_dev pdev{};
        pdev.device_object = pci_plug(card_bus, 0, 0, card_.get());
        pdev.bus = card_bus;
        return pdev;
    }

    std::unique_ptr<Card> card_;
};

ULONG read_config(pci_dev* pdev, ULONG offset, ULONG length) {
    ULONG value = 0;
    EXPECT_EQ(kpav_pci_config_access(pdev, 0, &value, offset, length), 0);
    return value;
}

}  // namespace

TEST_F(PciTest, ConfigurationReadsOfEveryWidthThroughTheStack) {
    pci_dev pdev = plug();
    EXPECT_EQ(read_config(&pdev, 0x00, 4), 0x03015EC7u);
    EXPECT_EQ(read_config(&pdev, 0x02, 2), 0x0301u);
    EXPECT_EQ(read_config(&pdev, 0x34, 1), 0x40u);
    EXPECT_EQ(read_config(&pdev, 0x100, 4), 0x1401000Bu);
    UCHAR header[64];
    ASSERT_EQ(kpav_pci_config_access(&pdev, 0, header, 0, sizeof header), 0);
    EXPECT_EQ(header[0x0B], 0x01);  // class
    EXPECT_EQ(header[0x2E], 0x10);  // subsystem device

    EXPECT_EQ(kpav_pci_write_config_word(&pdev, 0x04, 0x0006), 0);
    EXPECT_EQ(read_config(&pdev, 0x04, 2), 0x0006u);
    EXPECT_EQ(kpav_pci_write_config_word(&pdev, 0x04, 0), 0) << "a zero is written too";
    EXPECT_EQ(read_config(&pdev, 0x04, 2), 0u);

    EXPECT_EQ(kpav_pci_write_config_word(&pdev, 4096, 1), -22);
    EXPECT_EQ(kpav_pci_write_config_word(nullptr, 4, 1), -22);
    pci_dev unbound{};
    EXPECT_EQ(kpav_pci_write_config_word(&unbound, 4, 1), -22);
}

TEST_F(PciTest, RequestStatusesReachTheCaller) {
    pci_dev pdev = plug();
    pci_set_request_behaviour({true, STATUS_SUCCESS});
    EXPECT_EQ(read_config(&pdev, 0x00, 2), 0x5EC7u) << "a pending request is waited for";

    pci_set_request_behaviour({false, STATUS_NO_SUCH_DEVICE});
    ULONG value;
    EXPECT_EQ(kpav_pci_config_access(&pdev, 0, &value, 0, 4), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(kpav_pci_write_config_word(&pdev, 0x04, 0x6), -6);
    pci_set_request_behaviour({true, STATUS_NO_SUCH_DEVICE});
    EXPECT_EQ(kpav_pci_config_access(&pdev, 0, &value, 0, 4), STATUS_NO_SUCH_DEVICE);
    pci_set_request_behaviour({});

    fail_nth(fault_site::pool, 1, "Irp ");
    EXPECT_EQ(kpav_pci_config_access(&pdev, 0, &value, 0, 4), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(read_config(&pdev, 0x00, 2), 0x5EC7u);
}

TEST_F(PciTest, PortAccessByLocation) {
    plug();
    ULONG value = 0;
    ASSERT_EQ(kpav_pci_read_config(card_bus, 0, 0, 0x00, KPAV_PCI_DWORD, &value), 0);
    EXPECT_EQ(value, 0x03015EC7u);
    ASSERT_EQ(kpav_pci_read_config(card_bus, 0, 0, 0x02, KPAV_PCI_WORD, &value), 0);
    EXPECT_EQ(value, 0x0301u);
    ASSERT_EQ(kpav_pci_read_config(card_bus, 0, 0, 0x35, KPAV_PCI_BYTE, &value), 0);
    EXPECT_EQ(value, 0x00u);
    ASSERT_EQ(kpav_pci_read_config(card_bus, 0, 0, 0x34, KPAV_PCI_BYTE, &value), 0);
    EXPECT_EQ(value, 0x40u);
    ASSERT_EQ(kpav_pci_read_config(card_bus, 0, 1, 0x00, KPAV_PCI_DWORD, &value), 0);
    EXPECT_EQ(value, 0xFFFFFFFFu) << "another function of the slot is absent";

    ULONG line = 0x2B;
    ASSERT_EQ(kpav_pci_write_config(card_bus, 0, 0, 0x3C, KPAV_PCI_BYTE, &line), 0);
    EXPECT_EQ(card_->config_read(0x3C, 1), 0x2Bu);
    ULONG command = 0x0002;
    ASSERT_EQ(kpav_pci_write_config(card_bus, 0, 0, 0x04, KPAV_PCI_WORD, &command), 0);
    EXPECT_EQ(card_->config_read(0x04, 2), 0x0002u);

    WRITE_PORT_ULONG((PULONG)0xCF8, 0x12345678);
    ASSERT_EQ(kpav_pci_read_config(card_bus, 0, 0, 0x00, KPAV_PCI_DWORD, &value), 0);
    EXPECT_EQ(READ_PORT_ULONG((PULONG)0xCF8), 0x12345678u) << "the address port is restored";
}

TEST_F(PciTest, PortRequestsOutsideTheirFieldsAreRefusedAndReachNoOtherFunction) {
    plug();
    struct refusal {
        ULONG bus, device, function, offset, size;
        const char* why;
    } cases[] = {
        {card_bus - 1, 32, 0, 0x3C, KPAV_PCI_BYTE, "device 32 would spill into the bus number"},
        {card_bus - 1, 0, 8 * 32, 0x3C, KPAV_PCI_BYTE, "function 256 would spill into the bus number"},
        {card_bus + 256, 0, 0, 0x3C, KPAV_PCI_BYTE, "bus 259"},
        {card_bus, 0, 0, 0x13C, KPAV_PCI_BYTE, "offset 0x13C would alias 0x3C"},
        {card_bus, 0, 0, 0x3D, KPAV_PCI_WORD, "a word at an odd offset"},
        {card_bus, 0, 0, 0x3E, KPAV_PCI_DWORD, "a double word off its boundary"},
        {card_bus, 0, 0, 0x3C, 3, "size code 3"},
    };
    for (const refusal& r : cases) {
        ULONG value = 0x77;
        EXPECT_EQ(kpav_pci_write_config(r.bus, r.device, r.function, r.offset, r.size, &value), -22) << r.why;
        EXPECT_EQ(card_->config_read(0x3C, 1), 0u) << r.why;
        value = 0;
        EXPECT_EQ(kpav_pci_read_config(r.bus, r.device, r.function, r.offset, r.size, &value), -22) << r.why;
        EXPECT_EQ(value, 0u) << r.why;
    }
    EXPECT_EQ(kpav_pci_read_config(card_bus, 0, 0, 0, KPAV_PCI_DWORD, nullptr), -22);
}

TEST_F(PciTest, CapabilityWalks) {
    pci_dev pdev = plug();
    ULONG offset = 0;
    EXPECT_EQ(pcie_find_cap(&pdev, &offset), 0);
    EXPECT_EQ(offset, 0x70u);
    EXPECT_EQ(pcie_find_aer(&pdev, &offset), 0);
    EXPECT_EQ(offset, 0x140u);
    EXPECT_TRUE(log().empty());
}

TEST_F(PciTest, AStandardListWithoutPciExpressOrThatLoopsEndsWithTheMessage) {
    CardConfig config;
    config.pci.pcie_cap = false;
    pci_dev pdev = plug(config);
    ULONG offset = 0;
    EXPECT_EQ(pcie_find_cap(&pdev, &offset), -2);
    pci_unplug(card_bus, 0, 0);

    config.pci.cap_loop = true;
    pdev = plug(config);
    EXPECT_EQ(pcie_find_cap(&pdev, &offset), -2);
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "paverr Corvane driver: 14341 03:00.00: Cannot read PCIe capabilities for device, "
                         "off 0x00, cnt 126\n",
                         "paverr Corvane driver: 14341 03:00.00: Cannot read PCIe capabilities for device, "
                         "off 0x40, cnt 0\n",
                     }));
    pcie_summary summary;
    EXPECT_EQ(pcie_read_caps(&pdev, &summary), -2);
    ULONG errors;
    EXPECT_EQ(pcie_get_error_state(&pdev, &errors), -2);
}

TEST_F(PciTest, ExtendedWalkEndsOnAMissingOrLoopingList) {
    CardConfig config;
    config.pci.aer = false;
    pci_dev pdev = plug(config);
    ULONG offset = 0;
    pcie_aer aer;
    EXPECT_EQ(pcie_find_aer(&pdev, &offset), -2);
    EXPECT_EQ(pcie_read_aer(&pdev, &offset, &aer), -2);
    pci_unplug(card_bus, 0, 0);

    config.pci.ext_cap_loop = true;
    pdev = plug(config);
    ULONG before = pci_requests_served();
    EXPECT_EQ(pcie_find_aer(&pdev, &offset), -2);
    EXPECT_LE(pci_requests_served() - before, 2u * 960u) << "bounded";
}

// A configuration space given byte by byte: all zeros but what a test puts in it.
class scripted_space : public pci_config_space {
  public:
    void put(ULONG offset, ULONG size, ULONG value) {
        for (ULONG i = 0; i < size; i++) {
            bytes_[offset + i] = (UCHAR)(value >> (8 * i));
        }
    }
    ULONG config_read(ULONG offset, ULONG size) override {
        ULONG value = 0;
        for (ULONG i = 0; i < size; i++) {
            value |= (ULONG)bytes_[offset + i] << (8 * i);
        }
        return value;
    }
    void config_write(ULONG, ULONG, ULONG) override {}

  private:
    UCHAR bytes_[pci_config_size] = {};
};

TEST_F(PciTest, ExtendedWalkNeverFollowsAPointerBackIntoTheStandardHeader) {
    // The extended list's first capability points back to 0x40, where the standard header
    // happens to hold a word that reads as the error-reporting id: that is no capability.
    scripted_space space;
    space.put(0x100, 4, 0x000B | 1u << 16 | 0x40u << 20);
    space.put(0x40, 4, PCI_EXT_CAP_ID_ERR | 1u << 16 | 0x140u << 20);
    space.put(0x140, 4, PCI_EXT_CAP_ID_ERR | 2u << 16);  // reached only through 0x40
    pci_dev pdev{};
    pdev.device_object = pci_plug(card_bus, 0, 0, &space);
    pdev.bus = card_bus;
    ULONG offset = 0;
    EXPECT_EQ(pcie_find_aer(&pdev, &offset), -2);
    EXPECT_EQ(offset, 0u);

    space.put(0x100, 4, 0x000B | 1u << 16 | 0x140u << 20);  // the same list, pointing forwards
    EXPECT_EQ(pcie_find_aer(&pdev, &offset), 0);
    EXPECT_EQ(offset, 0x140u);
}

TEST_F(PciTest, AerRegistersAndClearingLatchedErrors) {
    CardConfig config;
    config.pci.device_status = 0x7;
    config.pci.aer_uncorrectable_status = 1u << 20;
    config.pci.aer_correctable_status = 1u << 13;
    pci_dev pdev = plug(config);
    ULONG offset = 0;
    pcie_aer aer{};
    ASSERT_EQ(pcie_read_aer(&pdev, &offset, &aer), 0);
    EXPECT_EQ(offset, 0x140u);
    EXPECT_EQ(aer.id, 1u);
    EXPECT_EQ(aer.next_version, 0x0002u);
    EXPECT_EQ(aer.uncorrectable_status, 1u << 20);
    EXPECT_EQ(aer.uncorrectable_mask, 0u);
    EXPECT_EQ(aer.uncorrectable_severity, 0x00062030u);
    EXPECT_EQ(aer.correctable_status, 1u << 13);
    EXPECT_EQ(aer.correctable_mask, 0x2000u);

    pcie_clear_errors(&pdev);
    EXPECT_EQ(log(), std::vector<std::string>{"03:00.00: Clearing PCIe errors (0x7)\n"});
    EXPECT_EQ(card_->config_read(0x7A, 2), 0u);
    pci_unplug(card_bus, 0, 0);

    clear_debug_lines();
    config.pci.device_status = 0x1;  // correctable only: cleared without a word
    pdev = plug(config);
    pcie_clear_errors(&pdev);
    EXPECT_EQ(card_->config_read(0x7A, 2), 0u);
    EXPECT_TRUE(log().empty());
}

TEST_F(PciTest, LinkAndPowerFigures) {
    CardConfig config;
    config.pci.device_status = 0x2;
    config.pci.link_speed = 3;
    config.pci.link_width = 4;
    pci_dev pdev = plug(config);
    pcie_summary summary{};
    ASSERT_EQ(pcie_read_caps(&pdev, &summary), 0);
    EXPECT_EQ(summary.errors, 0x2u);
    EXPECT_EQ(summary.max_link_speed, 3u);
    EXPECT_EQ(summary.max_link_width, 4u);
    EXPECT_EQ(summary.link_speed, 3u);
    EXPECT_EQ(summary.link_width, 4u);
    EXPECT_EQ(summary.slot_power_mw, 25000u) << "from the device capabilities";
    pci_unplug(card_bus, 0, 0);

    for (uint32_t mw : {7500u, 255u, 2550u}) {
        config.pci.slot_implemented = true;
        config.pci.slot_power_mw = mw;
        pdev = plug(config);
        ULONG milliwatts = 0;
        EXPECT_EQ(pcie_slot_power_limit(&pdev, 0x70, &milliwatts), 0);
        EXPECT_EQ(milliwatts, mw);
        pci_unplug(card_bus, 0, 0);
    }
}

TEST_F(PciTest, ErrorStateFiltersByControlAndAer) {
    struct error_case {
        uint16_t status;
        uint16_t control;
        uint32_t uncorrectable_status, uncorrectable_mask, uncorrectable_severity;
        uint32_t correctable_status, correctable_mask;
        bool aer;
        ULONG expected;
        const char* why;
    } cases[] = {
        {0x6, 0x0, 0, 0, 0x62030, 0, 0x2000, true, 0x0, "reporting disabled"},
        {0x7, 0xF, 0, 0, 0x62030, 0, 0x2000, true, 0x2, "no logged fatal error; advisory correctable"},
        {0x4, 0xF, 1u << 4, 0, 0x62030, 0, 0, true, 0x4, "a logged, unmasked fatal error is fatal"},
        {0x4, 0xF, 1u << 4, 1u << 4, 0x62030, 0, 0, true, 0x0, "masked"},
        {0x4, 0xF, 1u << 4, 0, 0x0, 0, 0, true, 0x0, "non-fatal severity"},
        {0x8, 0xF, 1u << 20, 0, 0x62030, 0, 0, true, 0x0, "unsupported request not of fatal severity"},
        {0x8, 0xF, 1u << 20, 0, 0x162030, 0, 0, true, 0x8, "unsupported request of fatal severity"},
        {0x1, 0xF, 0, 0, 0x62030, 0, 0, true, 0x1, "correctable, nothing advisory"},
        {0x1, 0xF, 0, 0, 0x62030, 1u << 13, 0, true, 0x0, "advisory non-fatal in the status"},
        {0x7, 0xF, 0, 0, 0, 0, 0, false, 0x7, "without AER nothing is filtered"},
    };
    for (const error_case& c : cases) {
        CardConfig config;
        config.pci.aer = c.aer;
        config.pci.device_status = c.status;
        config.pci.aer_uncorrectable_status = c.uncorrectable_status;
        config.pci.aer_correctable_status = c.correctable_status;
        pci_dev pdev = plug(config);
        card_->config_write(0x78, 2, c.control);
        card_->config_write(0x148, 4, c.uncorrectable_mask);
        card_->config_write(0x14C, 4, c.uncorrectable_severity);
        card_->config_write(0x154, 4, c.correctable_mask);
        ULONG errors = 0xFF;
        EXPECT_EQ(pcie_get_error_state(&pdev, &errors), 0) << c.why;
        EXPECT_EQ(errors, c.expected) << c.why;
        pci_unplug(card_bus, 0, 0);
    }
}
