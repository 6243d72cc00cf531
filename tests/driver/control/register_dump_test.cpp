// The register printers on the card model: register values set in the model and the lines that
// decode them, for the fields whose bit positions the printers pin.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/card/csr_dump.h"
#include "driver/card/pci_counters.h"
#include "driver/control/register_dump.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/pci.h"
#include "driver/platform/time.h"
#include "sim/kernel/control.h"
#include "tests/driver/controller/controller_fixture.h"

namespace {

class RegisterDumpTest : public ControllerCardTest {
  protected:
    void SetUp() override {
        ControllerCardTest::SetUp();
        name_card();
    }
    void name_card() {
        std::strcpy(card_->name, "dov0");
        card_->completion_queue_count = 2;
        card_->cq_windows = regs_ + 0x4000 / 4;
        printer_ = {card_, buffer_.data(), 0, (ULONG)buffer_.size()};
    }
    void TearDown() override {
        card_->nand = nullptr;
        ControllerCardTest::TearDown();
    }
    void write(ULONG csr, ULONG value) { WRITE_REGISTER_ULONG(card_->csr + csr / 4, value); }
    std::string text() const { return std::string(buffer_.data(), printer_.position); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::string t = text();
        for (size_t at = 0; at < t.size();) {
            size_t end = t.find('\n', at);
            out.push_back(t.substr(at, end - at + 1));
            at = end + 1;
        }
        return out;
    }
    bool has_line(const std::string& line) const {
        for (const std::string& l : lines()) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
    csr_dump_printer printer_{};
};

struct bank_case {
    const char* what;
    ULONG offset;
    ULONG value;
    std::vector<std::string> lines;
};

TEST_F(RegisterDumpTest, BankRegistersAreDecodedFieldByField) {
    const bank_case cases[] = {
        {"status", 0x2404, 0x7FFE2B5A,
         {"pavinf dov0: bank1 status:   0x7ffe2b5a nand_statusR=0x5a bank_rtr=1 cmd_async_full=1 cmd_async_empty=0\n",
          "pavinf dov0:                            bank_latch=1 bank_cmd=2 bank_cmd_cnt=16383\n"}},
        {"status_st", 0x2428, 0xC3FFF2A5,
         {"pavinf dov0: bank2 status_st: 0xc3fff2a5 state=165 sizeR=255 size2R=48\n",
          "pavinf dov0:                    flag1=0 drnd=1 splane=0 int=0\n",
          "pavinf dov0:                    prerd=1 rd=1 wr=1 er=1 blk80_i=1 blk80_o=1\n"}},
        {"status_st2", 0x244C, 0x000A1234,
         {"pavinf dov0: bank3 status_st2: 0x000a1234 pstream=4660 blk_o=0 blk_i=1 idle_o=0 idle_i=1\n"}},
        {"cmd fifo", 0x2500, 0x1C0BFC05,
         {"pavinf dov0: cmd fifo bank0 status:    0x1c0bfc05 pfull=1 empty=1 full=1 und_cnt=255 ovr_cnt=2 wd_cnt=5\n"}},
    };
    for (const bank_case& c : cases) {
        write(c.offset, c.value);
    }
    dump_controller_registers(card_, &printer_);
    for (const bank_case& c : cases) {
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(has_line(line)) << c.what << ": " << line;
        }
    }
    // Four banks here: no bank 4 in any bank section.
    EXPECT_EQ(text().find("bank4"), std::string::npos);
}

TEST_F(RegisterDumpTest, EightBanksShowBanksFourToSevenInEverySection) {
    auto channel = std::make_unique<nand_dev>();
    channel->geometry.banks = 8;
    card_->nand = channel.get();
    write(0x24A4, 0x0000E51D);  // banks 4 and 5 of the address queues
    write(0x251C, 0x04000000);
    dump_controller_registers(card_, &printer_);
    for (const char* part : {"bank7 status:", "bank7 status_st:", "bank7 status_st2:", "cmd fifo bank7 status:",
                             "address queue bank7 status:"}) {
        EXPECT_NE(text().find(part), std::string::npos) << part;
    }
    EXPECT_TRUE(has_line("pavinf dov0: cmd fifo bank7 status:    0x04000000 pfull=0 empty=1 full=0 und_cnt=0 "
                         "ovr_cnt=0 wd_cnt=0\n"));
    EXPECT_TRUE(has_line("pavinf dov0: address queue bank4 status: (0x0000e51d) pfull=1 empty=1 full=0 und_cnt=3 "
                         "ovr_cnt=0\n"));
    EXPECT_TRUE(has_line("pavinf dov0: address queue bank5 status: pfull=1 empty=1 full=0 und_cnt=0 ovr_cnt=7\n"));
}

TEST_F(RegisterDumpTest, LinkPowerAndFirmwareLinesFollowTheirRegisters) {
    sim::card::CardConfig config = sim::card::CardConfig::small();
    config.controller.firmware_version = 0x802403;
    config.controller.build_word = 0xC0000005;
    replug(config, controller_config());
    name_card();
    write(0x1400, 0x80A02005);  // bits 31, 23, 21, 13, 2 and 0
    write(0x1388, 1);
    write(0x1380, 0);
    dump_controller_registers(card_, &printer_);
    EXPECT_TRUE(has_line("pavinf dov0: PCIE Link: 0x80a02005 rdst_ep_set 1 rdst_app_set 0 fatal 0 rsv 0 poison 0 "
                         "flow_ctl 0 rx_ovrflow 0\n"));
    EXPECT_TRUE(has_line("pavinf dov0: PCIE Link: malform 0 ecrc 1 unsupport 0\n"));
    EXPECT_TRUE(has_line("pavinf dov0: PCIE Link: i_state 5 leg_assert 0 rsrc_rdy_n 0 rdst_rdy_n 0 rerrfwd_n 0 "
                         "rnp_ok_n 0\n"));
    EXPECT_TRUE(has_line("pavinf dov0: PCIE Link: err_cpl_to_closed_tag 0 err_cpl_timeout 0 err_tag_active 0 "
                         "pcie_interrupt 0 lnk_up_n 1\n"));
    EXPECT_TRUE(has_line("pavinf dov0: PCIE Link: PCIE link retrain (bar reset) 1 MSI mode 0\n"));
    EXPECT_TRUE(has_line("pavinf dov0: Powercut enabled\n"));
    EXPECT_TRUE(has_line("pavinf dov0: Brownout disabled\n"));
    const std::vector<std::string> firmware = {
        "pavinf dov0: Firmware version 8.9.3 5 (0x802403 0xc0000005)\n",
        "pavinf dov0: Platform version 3 \n",
        "pavinf dov0: Firmware POISONED\n",
        "pavinf dov0:     * Repository out of sync\n",
        "pavinf dov0:     * Uncommitted source changes\n",
        "pavinf dov0: Firmware VCS version 5 [0xc0000005]\n",
        "pavinf dov0: Firmware VCS uid 0x5eed00055eed00045eed00035eed00025eed0001\n",
    };
    std::vector<std::string> got = lines();
    ASSERT_GE(got.size(), firmware.size());
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + (long)firmware.size()), firmware);
}

TEST_F(RegisterDumpTest, AnOfflineCardOrALostBusGivesOneLine) {
    card_->bus_present = FALSE;
    dump_controller_registers(card_, &printer_);
    EXPECT_EQ(text(), "pavinf dov0: Device is offline, no registers to report\n");
    card_->bus_present = TRUE;
    printer_.position = 0;
    model_->set_bus_lost(true);
    dump_controller_registers(card_, &printer_);
    dump_status_fifo(card_, &printer_);
    model_->set_bus_lost(false);
    EXPECT_EQ(text(), "pavinf dov0: Device is offline, no registers to report\n");
}

TEST_F(RegisterDumpTest, TheStatusFifoIsDrainedNewestWordFirst) {
    dump_status_fifo(card_, &printer_);
    EXPECT_EQ(text(), "");  // empty: nothing
    bar_->diagnostics([](sim::card::Diagnostics& d) {
        d.add_fifo({1, 2, 3, 4});
        d.add_fifo({0xA, 0xB, 0xC, 0xD});
    });
    dump_status_fifo(card_, &printer_);
    EXPECT_EQ(text(),
              "pavinf dov0: 0x00000004:0x00000003:0x00000002:0x00000001.\n"
              "pavinf dov0: 0x0000000d:0x0000000c:0x0000000b:0x0000000a.\n");
    bar_->diagnostics([](sim::card::Diagnostics& d) { EXPECT_EQ(d.fifo_left(), 0u); });

    // A FIFO that never reports empty does not hold the dump.
    printer_.position = 0;
    bar_->diagnostics([](sim::card::Diagnostics& d) {
        d.add_fifo({5, 6, 7, 8});
        d.fifo_stuck = true;
    });
    dump_status_fifo(card_, &printer_);
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 4097u);
    EXPECT_EQ(got.back(), "pavinf dov0: status FIFO never empty: stopped after 4096 entries\n");
}

TEST_F(RegisterDumpTest, ConfigurationSpaceLinesSkipAllZeroRowsAndNeverRunAtACrash) {
    dump_pcie_config(card_, &printer_, 0);
    EXPECT_EQ(text(), "");
    dump_pcie_config(card_, &printer_, 1);
    std::vector<std::string> got = lines();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0], "pavinf dov0: Dumping PCIe configuration space:\n");
    EXPECT_EQ(got[1].rfind("pavinf dov0: 0x0000: 0x03015ec7 ", 0), 0u);
    for (size_t i = 1; i < got.size(); i++) {
        EXPECT_EQ(got[i].find("0x00000000 0x00000000 0x00000000 0x00000000"), std::string::npos) << got[i];
        unsigned offset = std::stoul(got[i].substr(15, 6), nullptr, 16);
        EXPECT_LT(offset, 0x180u);
        EXPECT_EQ(offset % 16, 0u);
    }
    // A read that fails ends the section with what is missing.
    printer_.position = 0;
    PDEVICE_OBJECT device = pdev_.device_object;
    pdev_.device_object = nullptr;
    dump_pcie_config(card_, &printer_, 1);
    pdev_.device_object = device;
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "pavinf dov0: Dumping PCIe configuration space:\n",
                           "pavinf dov0: 0x0000: configuration space read failed (0xc000000e): not shown\n"}));
}

TEST_F(RegisterDumpTest, PciStatusCountersShowTheStartTheRotatingSnapshotsAndNow) {
    write(0x111C, 3);
    write(0x1144, 7);
    pci_counters_snapshot(card_);
    EXPECT_EQ(bar_->csr_writes(0x1118).back().value, 1u);
    sim::kernel::advance_clock(121ull * 10000000);
    write(0x111C, 4);
    pci_counters_rotate(card_, kpav_get_usecs());
    pci_counters_rotate(card_, kpav_get_usecs());  // not two minutes later: no new snapshot
    write(0x111C, 9);
    sim::kernel::advance_clock(10ull * 10000000);
    print_pci_status_counters(card_, &printer_);
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 13u);
    EXPECT_EQ(got[0], "pavinf PCI Status Counters\n");
    EXPECT_EQ(got[1], "pavinf time (sec)          :     131,  None,  None,      10,       0\n");
    EXPECT_EQ(got[2], "pavinf Uncorrectable error status:       3,       0,       0,       4,       9\n");
    EXPECT_EQ(got[12], "pavinf Correctable error count:       7,       0,       0,       7,       7\n");
    ULONG counts[12];
    write(0x1134, 0xBAD);
    write(0x114C, 12);
    read_pcie_error_counts(card_, counts);
    EXPECT_EQ(counts[0], 9u);
    EXPECT_EQ(counts[6], 0u);  // 0x1138: 0x1134 is not read
    EXPECT_EQ(counts[11], 12u);
}

TEST_F(RegisterDumpTest, AggregateCountsAreDecodedIntoTheLog) {
    ULONG words[2] = {};
    ASSERT_TRUE(NT_SUCCESS(kpav_pci_config_access(card_->pdev, 0, &words[0], 0x104, 4)));
    ASSERT_TRUE(NT_SUCCESS(kpav_pci_config_access(card_->pdev, 0, &words[1], 0x108, 4)));
    sim::kernel::clear_debug_lines();
    dump_pcie_aggregate_counts(card_);
    std::vector<std::string> got = log();
    ASSERT_EQ(got.size(), 14u);
    char line[80];
    std::snprintf(line, sizeof line, "dov0: Aggregate Count 0:    0x%x\n", words[0]);
    EXPECT_EQ(got[0], line);
    std::snprintf(line, sizeof line, "dov0:   link up count:       %u\n", (words[0] >> 16) & 0xFF);
    EXPECT_EQ(got[3], line);
    std::snprintf(line, sizeof line, "dov0: Aggregate Count 1:    0x%x\n", words[1]);
    EXPECT_EQ(got[6], line);
    // Without the card's PCI record nothing can be read: nothing is printed.
    card_->pdev = nullptr;
    sim::kernel::clear_debug_lines();
    dump_pcie_aggregate_counts(card_);
    EXPECT_TRUE(log().empty());
    card_->pdev = &pdev_;
}

TEST_F(RegisterDumpTest, TheNceTraceIsReadThroughItsHandshake) {
    dump_controller_registers(card_, &printer_);
    dump_microcode(card_, &printer_);
    EXPECT_NE(text().find("pavinf dov0: tPROG: "), std::string::npos);  // no microcode: timing lines
    EXPECT_EQ(text().find("microcode image"), std::string::npos);

    card_->microcode = {TRUE, 0x00010203, 100800, 0x00010100};
    std::vector<uint32_t> twenty(20);
    for (uint32_t i = 0; i < twenty.size(); i++) {
        twenty[i] = 0xA0000000 + i;
    }
    bar_->diagnostics([&](sim::card::Diagnostics& d) {
        d.add_trace({20u << 18 | 2u << 16 | 0x0042, twenty});
        d.add_trace({1u << 18 | 0x0007, {0xFEEDBEEF}});
        d.trace_stale = true;
    });
    printer_.position = 0;
    dump_controller_registers(card_, &printer_);
    EXPECT_EQ(text().find("pavinf dov0: tPROG: "), std::string::npos);
    printer_.position = 0;
    dump_microcode(card_, &printer_);
    const std::vector<std::string> expected = {
        "pavinf dov0: microcode image 1.2.3 rev 100800 with flags 0x00010100\n",
        "pavinf dov0: nce trace: 0042 0052: a0000000 a0000001 a0000002 a0000003 a0000004 a0000005 a0000006 "
        "a0000007 a0000008 a0000009 a000000a a000000b a000000c a000000d a000000e a000000f\n",
        "pavinf dov0:                       a0000010 a0000011 a0000012 a0000013\n",
        "pavinf dov0: nce trace: 0007 0004: feedbeef\n",
    };
    EXPECT_EQ(lines(), expected);
    EXPECT_EQ(bar_->csr_writes(0x22E4).back().value, 2u);  // the session ended
    EXPECT_EQ(bar_->csr_writes(0x2094).back().value, 1u);
    bar_->diagnostics([](sim::card::Diagnostics& d) {
        EXPECT_EQ(d.trace_left(), 0u);
        EXPECT_FALSE(d.trace_stale);
    });

    // A trace that cannot be read: the session is started again for the next reader, nothing read.
    bar_->diagnostics([](sim::card::Diagnostics& d) {
        d.trace_unreadable = true;
        d.add_trace({0x0001, {}});
    });
    printer_.position = 0;
    dump_microcode(card_, &printer_);  // the session start sees the trace unreadable
    printer_.position = 0;
    size_t writes = bar_->csr_writes(0x22E4).size();
    dump_microcode(card_, &printer_);
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_EQ(bar_->csr_writes(0x22E4).size(), writes);
    EXPECT_EQ(bar_->csr_writes(0x209C).back().value, 3u);
}

TEST_F(RegisterDumpTest, ASessionThatStaysBusyEndsTheTraceAtItsLimit) {
    card_->microcode = {TRUE, 0x00010203, 1, 0};
    bar_->diagnostics([](sim::card::Diagnostics& d) { d.trace_busy_stuck = true; });
    dump_microcode(card_, &printer_);
    EXPECT_EQ(lines().back(), "pavinf dov0: nce trace: time limit reached\n");
    EXPECT_EQ(bar_->csr_writes(0x22E4).back().value, 2u);
}

}  // namespace
