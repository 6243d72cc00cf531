// The microcode boot through the command ring on the card model, whose microcode port compares
// what it receives with the records of its card memory; and the banks' interface set-up.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver/controller/card_images.h"
#include "driver/pipeline/nand_dev.h"
#include "sim/card/controller.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/card_channel.h"

namespace {

class MicrocodeTest : public CardChannelTest {
  protected:
    // The controller side behind the card, with the images the test asks for.
    virtual sim::card::ImagesConfig images() const { return {}; }
    virtual void before_channel() {}

    void configure() override {
        sim::card::ControllerConfig c;
        c.images = images();
        controller_ = std::make_unique<sim::card::ControllerBar>(*model_, c);
        before_channel();
        model_->set_controller(controller_.get());
        card_.fw_version = 0x802403;
    }
    void TearDown() override {
        CardChannelTest::TearDown();
        controller_.reset();
    }

    int boot() {
        int rc = microcode_boot(channel());
        EXPECT_TRUE(model_->wait_idle());
        return rc;
    }
    static bool logged(const std::string& text) {
        for (const std::string& line : sim::kernel::debug_texts()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    static size_t count(const std::string& text) {
        size_t n = 0;
        for (const std::string& line : sim::kernel::debug_texts()) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    std::unique_ptr<sim::card::ControllerBar> controller_;
};

TEST_F(MicrocodeTest, TheRecordOfTheInterfaceKindIsLoaded) {
    ASSERT_EQ(boot(), 0);
    EXPECT_TRUE(logged("dov0: Loading microcode image 1.0.8 rev 150000 with flags 0x00010100"));
    EXPECT_TRUE(logged("dov0: Microcode loaded (0)."));
    sim::card::MicrocodeState state = controller_->microcode();
    EXPECT_TRUE(state.running);
    EXPECT_EQ(state.type, 0x10100u);
    EXPECT_EQ(state.build, 150000u);
    EXPECT_EQ(state.stray_words, 0u);
    EXPECT_EQ(channel()->iface.ucode_version, 0x10008u);
    EXPECT_EQ(channel()->iface.ucode_build, 150000u);
    EXPECT_EQ(channel()->iface.ucode_flags, 0x10100u);

    channel()->iface.interface_kind = NAND_KIND_OWN_DDR;
    ASSERT_EQ(boot(), 0);
    state = controller_->microcode();
    EXPECT_TRUE(state.running);
    EXPECT_EQ(state.type, 0x20100u);
    EXPECT_EQ(state.loads, 2u);
}

TEST_F(MicrocodeTest, TwoFailedAttemptsThenALoad) {
    // The first payload word of the first record reads wrong twice: its CRC fails twice.
    controller_->memory_glitch(0x1F80000 + 48 + 28, 2);
    ASSERT_EQ(boot(), 0);
    EXPECT_TRUE(logged("dov0: Microcode loaded (2)."));
    EXPECT_TRUE(controller_->microcode().running);
    EXPECT_EQ(controller_->microcode().loads, 1u);
}

TEST_F(MicrocodeTest, ThreeFailedAttemptsGiveTheLastError) {
    controller_->memory_glitch(0x1F80000 + 48 + 28, 3);
    EXPECT_EQ(boot(), NCE_CORRUPT);
    EXPECT_TRUE(logged("dov0: Failed to boot microcode (3)."));
    EXPECT_EQ(controller_->microcode().loads, 0u);
}

struct broken_case {
    const char* name;
    void (*change)(sim::card::ImagesConfig&);
    int result;
    const char* message;
};

class BrokenMicrocodeTest : public MicrocodeTest, public ::testing::WithParamInterface<broken_case> {
  protected:
    sim::card::ImagesConfig images() const override {
        sim::card::ImagesConfig c;
        GetParam().change(c);
        return c;
    }
};

TEST_P(BrokenMicrocodeTest, NothingIsLoaded) {
    LONG before = channel()->ring_producer;
    EXPECT_EQ(boot(), GetParam().result);
    EXPECT_EQ(count("dov0: Failed to boot microcode (3)."), 1u);
    if (*GetParam().message != 0) {
        EXPECT_EQ(count(std::string("dov0: ") + GetParam().message), 3u);
    }
    EXPECT_EQ(channel()->ring_producer, before);  // no half image in the ring
    EXPECT_EQ(controller_->microcode().loads, 0u);
    EXPECT_FALSE(controller_->microcode().running);
}

INSTANTIATE_TEST_SUITE_P(
    Images, BrokenMicrocodeTest,
    ::testing::Values(
        broken_case{"build_200000", [](sim::card::ImagesConfig& c) { c.nce[0].build = 200000; }, NCE_OUT_OF_DATE,
                    "Microcode out of date."},
        broken_case{"poisoned", [](sim::card::ImagesConfig& c) { c.nce[0].flags = 4; }, NCE_CORRUPT,
                    "NCE image is poisoned."},
        broken_case{"crc", [](sim::card::ImagesConfig& c) { c.nce[0].bad_crc = true; }, NCE_CORRUPT, ""},
        broken_case{"section_kind_3",
                    [](sim::card::ImagesConfig& c) {
                        c.nce[0].sections = {{1, {1, 2, 3}}, {3, {4}}, {1, {5}}, {0, {}}};
                    },
                    NCE_CORRUPT, ""},
        broken_case{"no_container", [](sim::card::ImagesConfig& c) { c.microcode.present = false; }, NCE_CORRUPT, ""},
        broken_case{"container_magic", [](sim::card::ImagesConfig& c) { c.microcode.magic = 1; }, NCE_CORRUPT, ""},
        broken_case{"size_0x80000", [](sim::card::ImagesConfig& c) { c.microcode.total_size = 0x80000; },
                    NCE_CORRUPT, ""},
        broken_case{"revision_window", [](sim::card::ImagesConfig& c) { c.microcode.revision_high = 0x802403; },
                    NCE_OUT_OF_DATE, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// An image of more words than the ring has room for goes in several doorbells, each with room.
class LargeMicrocodeTest : public MicrocodeTest {
  protected:
    sim::card::ImagesConfig images() const override {
        sim::card::ImagesConfig c;
        std::vector<uint32_t> words(120000);
        for (size_t i = 0; i < words.size(); i++) {
            words[i] = (uint32_t)(i * 2654435761u);
        }
        c.nce[0].sections = {{1, std::vector<uint32_t>(words.begin(), words.begin() + 70000)},
                             {1, std::vector<uint32_t>(words.begin() + 70000, words.end())},
                             {0, {}}};
        return c;
    }
};

TEST_F(LargeMicrocodeTest, ItIsLoadedInPieces) {
    ASSERT_EQ(boot(), 0);
    EXPECT_TRUE(controller_->microcode().running);
    EXPECT_EQ(controller_->microcode().type, 0x10100u);
}

TEST_F(MicrocodeTest, TheBanksInterfacesAreSetUp) {
    nand_interface& n = channel()->iface;
    n.part = &nand_part_table[0];
    n.pads = 2;
    n.interface_kind = NAND_KIND_ONFI_SYNC;
    n.clock_period_ps = 12000;
    n.clock_delay_ps = 3250;
    n.phase_nibble = 5;
    std::memcpy(channel()->geometry.part_id, n.part->id, NAND_PART_ID_MAX);
    channel()->geometry.part_id_length = (UCHAR)n.part->id_length;
    EXPECT_EQ(nand_bank_interface_setup(channel(), direct_all_banks(channel())), 0);
    n.part = nullptr;
    EXPECT_EQ(nand_bank_interface_setup(channel(), 1), 1);
}

}  // namespace
