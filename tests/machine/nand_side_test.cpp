// The NAND side of a card on the simulated host, for each part the card's configuration can fit:
// the part is recognised from the identification its dies answer, the clock manager and the
// timing registers are programmed for it, the microcode of its interface kind is loaded through
// the command ring and the ECC engine takes its tables. The NAND controller's initialisation that
// will run these steps is still to come, so the test runs them on the card's channel once the
// card has started (as the other machine tests stand in for it).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/card/hw_reset.h"
#include "driver/controller/card.h"
#include "driver/controller/card_images.h"
#include "driver/controller/card_services.h"
#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/pipeline.h"
#include "driver/shell/shell.h"
#include "sim/kernel/control.h"
#include "sim/machine/machine.h"
#include "tests/support/channel_on_machine.h"
#include "tests/support/kernel_fixture.h"

namespace {

const channel_owner_ops& bring_up = channel_bring_up();

struct part_case {
    const char* part;
    bool microcode;
    ULONG kind;
    ULONG mode_register;  // 0x2010
    ULONG t_read_ticks;
    ULONG die_mode;       // feature 1 of the dies
    ULONG microcode_type; // 0: none
    ULONG codeword;
};

// Plugs a card, starts its channel, then runs the NAND side's steps with the inputs the
// controller's registers give: 0, or the part set-up's result. The card record goes to *card.
int bring_up_nand(sim::machine::Machine& m, const sim::card::ControllerConfig& controller, pipeline_device** card) {
        sim::machine::card_options o;
        o.bus = 3;
        o.controller = controller;
        m.plug(o);
        EXPECT_TRUE(m.started(0));
        pipeline_device* card_ = PavGetFdoContext(m.function_device(0))->card;
        *card = card_;
        card_->minimal_mode_reasons = 0;
        card_->minimal = FALSE;
        EXPECT_EQ(remake_channel(card_, &bring_up), 0);
        EXPECT_EQ(channel_pipeline_start(card_), 0);
        card_->start_flags |= PAV_CARD_PIPELINE_RUNNING;
        nand_dev* channel = card_->nand;
        nand_interface& n = channel->iface;
        volatile ULONG* csr = card_->csr;
        // The banks and pads of the card's channel (the stand-in's geometry).
        n.pads = channel->geometry.pads;
        n.banks = channel->geometry.banks;
        n.chip_count = n.banks;
        n.dies = 1;
        n.pad_groups = 3;
        n.page_buffer_bytes = csr_read(csr, 0x1250);
        n.two_planes_allowed = 1;
        n.synchronous = 1;
        n.clock_programmable = 1;
        n.three_quarter = 1;
        n.microcode_bus = (UCHAR)(csr_read(csr, 0x1238) >> 3 & 1);
        n.eq_capable = (UCHAR)(csr_read(csr, 0x1204) >> 21 & 1);
        std::vector<UCHAR> id_bytes(8 * 32);
        nand_read_id(channel, 0, n.pads, id_bytes.data());
        UCHAR id[NAND_PART_ID_MAX];
        for (ULONG k = 0; k < NAND_PART_ID_MAX; k++) {
            id[k] = id_bytes[32 * k];
        }
        nand_timing_defaults(channel);
        int rc = nand_part_setup(channel, id);
        if (rc != 0) {
            return rc;
        }
        nand_timing_program(channel);
        if (n.microcode_bus) {
            EXPECT_EQ(microcode_boot(channel), 0);
            EXPECT_EQ(nand_bank_interface_setup(channel, direct_all_banks(channel)), 0);
        }
        EXPECT_EQ(ecc_geometry_setup(channel), 0);
        EXPECT_TRUE(m.card(0).wait_idle());
        return 0;
}

class NandSideOnMachineTest : public ::testing::TestWithParam<part_case> {
  protected:
    void TearDown() override { sim::kernel::clear_faults(); }
    pipeline_device* card_ = nullptr;
};

TEST_P(NandSideOnMachineTest, ThePartIsRecognisedAndTuned) {
    const part_case& c = GetParam();
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        sim::card::ControllerConfig controller;
        controller.nand.part = c.part;
        controller.microcode_mode = c.microcode;
        ASSERT_EQ(bring_up_nand(m, controller, &card_), 0);
        ASSERT_FALSE(HasFailure());
        const nand_interface& n = card_->nand->iface;
        EXPECT_STREQ(n.part->name, c.part);
        EXPECT_EQ(n.interface_kind, c.kind);

        sim::card::ControllerBar& bar = m.bar(0);
        EXPECT_EQ(bar.nand_period_ps(), 12000u);
        EXPECT_TRUE(bar.nand_clock_locked());
        EXPECT_EQ(bar.peek(0x2010), c.mode_register);
        EXPECT_EQ(bar.peek(0x2580), c.t_read_ticks);
        EXPECT_EQ(bar.peek(0x2618), 1u);
        EXPECT_EQ(bar.die_timing_mode(3, 29), c.die_mode);  // the last chip the channel addresses
        sim::card::MicrocodeState ucode = bar.microcode();
        EXPECT_EQ(ucode.running, c.microcode_type != 0);
        EXPECT_EQ(ucode.type, c.microcode_type);
        EXPECT_EQ(n.ecc_codeword, c.codeword);
        sim::card::EccLoadCheck ecc = bar.ecc_load_check();
        EXPECT_TRUE(ecc.table_ok && ecc.matrix_ok && ecc.values_ok);
        for (const auto& f : m.card(0).protocol_faults()) {
            ADD_FAILURE() << f.code << ": " << f.text;
        }
        m.stop();
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Parts, NandSideOnMachineTest,
    ::testing::Values(
        // part, microcode, kind, 0x2010, tR ticks, die mode, microcode type, codeword
        part_case{"NPT_ALDER", true, 2, 0x51, 3167, 0, 0x10100, 4384},
        part_case{"NPT_BIRCH", true, 2, 0x51, 3167, 0, 0x10100, 4384},
        part_case{"NPT_CEDAR", true, 2, 0x51, 3167, 0, 0x10100, 4384},
        part_case{"NPT_DAPHNE", true, 2, 0x51, 3167, 0, 0x10100, 4384},
        part_case{"NPT_ELM", true, 1, 0x52, 2934, 0, 0x20100, 4416},
        part_case{"NPT_FIR", true, 1, 0x52, 2934, 0, 0x20100, 4416},
        part_case{"NPT_GORSE", true, 1, 0x52, 2934, 0, 0x20100, 4416},
        // The driver drives the bus: the dies are switched to ONFi timing mode 4 themselves.
        part_case{"NPT_ALDER", false, 2, 0x51, 3167, 0x14, 0, 4384}),
    [](const auto& info) {
        return std::string(info.param.part) + (info.param.microcode ? "_microcode" : "_driver_bus");
    });

TEST(NandSideOnMachine, AnUnknownPartIsRefused) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        sim::card::ControllerConfig controller;
        controller.nand.ids[{0, 0}] = {0x6E, 0xA4, 0x3C, 0x58, 0xA8, 0, 0, 0};
        pipeline_device* card = nullptr;
        EXPECT_EQ(bring_up_nand(m, controller, &card), -1024);
        EXPECT_EQ(card->nand->iface.part, nullptr);
        m.stop();
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

}  // namespace
