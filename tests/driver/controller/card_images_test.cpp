// The image containers in card memory: the decoders on bytes the card model's image builder
// makes (one field broken at a time), the container walk and the ECC engine's load on the card
// model, which checks the streams it is given.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/controller/card_images.h"
#include "driver/controller/card_memory.h"
#include "driver/controller/crc16.h"
#include "driver/controller/startup.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/format.h"
#include "sim/card/card_images.h"
#include "sim/kernel/control.h"
#include "tests/driver/controller/controller_fixture.h"
#include "tests/support/kernel_fixture.h"

namespace {

using sim::card::ImagesConfig;

// The body of container `id` (after its header) as the builder lays the chain out.
std::vector<UCHAR> container_bytes(const ImagesConfig& images, ULONG id, bool with_header) {
    std::vector<uint8_t> chain = sim::card::build_image_chain(images);
    size_t at = 0;
    while (at + 48 <= chain.size()) {
        ULONG total, cid;
        std::memcpy(&total, &chain[at + 8], 4);
        std::memcpy(&cid, &chain[at + 12], 4);
        if (cid == id) {
            size_t from = at + (with_header ? 0 : 48);
            return std::vector<UCHAR>(chain.begin() + (long)from, chain.begin() + (long)(at + total));
        }
        at += total;
    }
    return {};
}

class ImageDecoderTest : public KernelTest {
  protected:
    static bool logged(const std::string& text) {
        for (const std::string& line : sim::kernel::debug_texts()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(ImageDecoderTest, Crc16) {
    EXPECT_EQ(crc16_ccitt("123456789", 9), 0x29B1);
    EXPECT_EQ(crc16_ccitt("", 0), 0xFFFF);
}

TEST_F(ImageDecoderTest, NceRecordsAreFoundByType) {
    ImagesConfig images;
    std::vector<UCHAR> body = container_bytes(images, 0, false);
    nce_image image{};
    ASSERT_EQ(nce_image_find("dov0", body.data(), (ULONG)body.size(), NCE_TYPE_OWN, &image), 0);
    EXPECT_EQ(image.type_word, NCE_TYPE_OWN);
    EXPECT_EQ(image.version, 0x10008u);
    EXPECT_EQ(image.build, 150000u);
    ULONG entries = 0;
    ASSERT_EQ(nce_sections_check(body.data() + image.payload, image.length, &entries), 0);
    EXPECT_EQ(entries, 2u + 48 + 16);
}

struct nce_case {
    const char* what;
    std::function<void(ImagesConfig&)> change;
    int result;
    const char* message;  // empty: none
};

TEST_F(ImageDecoderTest, BrokenNceRecordsAreRefused) {
    const nce_case cases[] = {
        {"build 199999", [](ImagesConfig& c) { c.nce[0].build = 199999; }, 0, ""},
        {"build 100749", [](ImagesConfig& c) { c.nce[0].build = 100749; }, 0, ""},
        {"build 200000", [](ImagesConfig& c) { c.nce[0].build = 200000; }, NCE_OUT_OF_DATE, "Microcode out of date."},
        {"build 100748", [](ImagesConfig& c) { c.nce[0].build = 100748; }, NCE_OUT_OF_DATE, "Microcode out of date."},
        {"version 1.0.7", [](ImagesConfig& c) { c.nce[0].version = 0x10007; }, NCE_OUT_OF_DATE,
         "Microcode out of date."},
        {"poisoned", [](ImagesConfig& c) { c.nce[0].flags = 4; }, NCE_CORRUPT, "NCE image is poisoned."},
        {"crc", [](ImagesConfig& c) { c.nce[0].bad_crc = true; }, NCE_CORRUPT, ""},
        {"magic", [](ImagesConfig& c) { c.nce[0].magic = 0x11A2BFDD; }, NCE_CORRUPT, ""},
        {"second word", [](ImagesConfig& c) { c.nce[0].second = 1; }, NCE_CORRUPT, ""},
        {"no such type", [](ImagesConfig& c) { c.nce.pop_back(), c.nce[0].type = 0x20100; }, NCE_CORRUPT, ""},
        // A bad record of the other type ahead stops the walk too.
        {"other type poisoned first", [](ImagesConfig& c) { std::swap(c.nce[0], c.nce[1]), c.nce[0].flags = 4; },
         NCE_CORRUPT, "NCE image is poisoned."},
    };
    for (const nce_case& c : cases) {
        ImagesConfig images;
        c.change(images);
        std::vector<UCHAR> body = container_bytes(images, 0, false);
        sim::kernel::clear_debug_lines();
        nce_image image{};
        EXPECT_EQ(nce_image_find("dov0", body.data(), (ULONG)body.size(), NCE_TYPE_ONFI, &image), c.result) << c.what;
        if (*c.message != 0) {
            EXPECT_TRUE(logged(std::string("dov0: ") + c.message)) << c.what;
        }
    }
}

TEST_F(ImageDecoderTest, LengthsPastTheirContainerAreRefused) {
    ImagesConfig images;
    std::vector<UCHAR> body = container_bytes(images, 0, false);
    nce_image image{};
    // The body cut inside the first record's payload: the record does not fit.
    EXPECT_EQ(nce_image_find("dov0", body.data(), 100, NCE_TYPE_ONFI, &image), NCE_CORRUPT);
    EXPECT_EQ(nce_image_find("dov0", body.data(), 27, NCE_TYPE_ONFI, &image), NCE_CORRUPT);
    // A payload length near 2^32.
    std::vector<UCHAR> big = body;
    big[8] = 0xF0, big[9] = 0xFF, big[10] = 0xFF, big[11] = 0xFF;
    EXPECT_EQ(nce_image_find("dov0", big.data(), (ULONG)big.size(), NCE_TYPE_ONFI, &image), NCE_CORRUPT);

    // Sections: a kind above 2, a count past the payload, no closing section.
    struct section_case {
        std::vector<ULONG> words;
        int result;
    };
    const section_case sections[] = {
        {{2, 1, 0x41, 1, 2, 7, 8, 0, 0}, 0},
        {{1, 1, 7, 3, 1, 9, 0, 0}, NCE_CORRUPT},
        {{1, 3, 7, 8}, NCE_CORRUPT},
        {{1, 0x40000000, 7, 0, 0}, NCE_CORRUPT},
        {{1, 1, 7}, NCE_CORRUPT},
        {{}, NCE_CORRUPT},
    };
    for (const section_case& s : sections) {
        ULONG entries = 99;
        EXPECT_EQ(nce_sections_check((const UCHAR*)s.words.data(), (ULONG)(4 * s.words.size()), &entries), s.result);
    }
}

TEST_F(ImageDecoderTest, Ecc1Records) {
    ImagesConfig images;
    std::vector<UCHAR> image = container_bytes(images, 1, true);
    ecc1_record matrix{}, table{};
    ASSERT_EQ(ecc1_find_record("dov0", image.data(), (ULONG)image.size(), 0, &matrix), 0);
    ASSERT_EQ(ecc1_find_record("dov0", image.data(), (ULONG)image.size(), 1, &table), 0);
    EXPECT_EQ(matrix.count, 4u);
    EXPECT_EQ(matrix.second, 64u);
    EXPECT_EQ(table.count, 16u);
    EXPECT_EQ(table.second, 4u);
    EXPECT_EQ(ecc1_records_check("dov0", matrix, table), 0);

    // Four 10-bit values per entry: the low 8 bits from b4, b3, b2, b1, bit 8 from b0 bit 0,
    // bit 9 from b0 bit m + 1.
    UCHAR entry[24 + 5] = {};
    const UCHAR bytes[5] = {0x15, 0x11, 0x22, 0x33, 0x44};  // b0 = 1 0101: bit 0 set, bits 2 and 4 set
    std::memcpy(entry + 24, bytes, 5);
    ecc1_record one{entry, sizeof entry, 1, 1};
    EXPECT_EQ(ecc1_table_value(one, 0), 0x44u | 0x100);
    EXPECT_EQ(ecc1_table_value(one, 1), 0x33u | 0x100 | 0x200);
    EXPECT_EQ(ecc1_table_value(one, 2), 0x22u | 0x100);
    EXPECT_EQ(ecc1_table_value(one, 3), 0x11u | 0x100 | 0x200);
}

struct ecc_case {
    const char* what;
    std::function<void(ImagesConfig&)> change;
    int result;
    const char* message;
};

TEST_F(ImageDecoderTest, BrokenEcc1RecordsAreRefused) {
    const ecc_case cases[] = {
        {"magic", [](ImagesConfig& c) { c.ecc1[0].magic = 0xBEEFCAFF; }, -KPAV_ENOENT, "ECC1 image is corrupt."},
        {"crc", [](ImagesConfig& c) { c.ecc1[1].bad_crc = true; }, -KPAV_EINVAL, "ECC1 image is invalid."},
        {"version 2", [](ImagesConfig& c) { c.ecc1[0].version = 2; }, -KPAV_EOPNOTSUPP,
         "ECC1 image does not meet minimum version requirement."},
        {"no matrix", [](ImagesConfig& c) { c.ecc1[0].present = false; }, -KPAV_ENOENT, "ECC1 image is corrupt."},
        {"no table", [](ImagesConfig& c) { c.ecc1[1].present = false; }, -KPAV_ENOENT, "ECC1 image is corrupt."},
        {"R = 0", [](ImagesConfig& c) { c.ecc1[1].second = 0; }, -KPAV_EINVAL, "ECC1 image is invalid."},
        {"R = 6", [](ImagesConfig& c) { c.ecc1[1].second = 6; }, -KPAV_EINVAL, "ECC1 image is invalid."},
        {"S = 33", [](ImagesConfig& c) { c.ecc1[0].count = 33, c.ecc1[0].second = 32; }, -KPAV_EINVAL,
         "ECC1 image is invalid."},
        {"W = 48", [](ImagesConfig& c) { c.ecc1[0].second = 48; }, -KPAV_EINVAL, "ECC1 image is invalid."},
    };
    for (const ecc_case& c : cases) {
        ImagesConfig images;
        c.change(images);
        std::vector<UCHAR> image = container_bytes(images, 1, true);
        sim::kernel::clear_debug_lines();
        ecc1_record matrix{}, table{};
        int rc = ecc1_find_record("dov0", image.data(), (ULONG)image.size(), 0, &matrix);
        if (rc == 0) {
            rc = ecc1_find_record("dov0", image.data(), (ULONG)image.size(), 1, &table);
        }
        if (rc == 0) {
            rc = ecc1_records_check("dov0", matrix, table);
        }
        EXPECT_EQ(rc, c.result) << c.what;
        EXPECT_TRUE(logged(std::string("dov0: ") + c.message)) << c.what;
    }
    // Counts that name more than the record holds: N entries past the data.
    ImagesConfig images;
    std::vector<UCHAR> image = container_bytes(images, 1, true);
    ecc1_record matrix{}, table{};
    ASSERT_EQ(ecc1_find_record("dov0", image.data(), (ULONG)image.size(), 0, &matrix), 0);
    ASSERT_EQ(ecc1_find_record("dov0", image.data(), (ULONG)image.size(), 1, &table), 0);
    table.count = 17;
    EXPECT_EQ(ecc1_records_check("dov0", matrix, table), -KPAV_EINVAL);
    table.count = 16;
    matrix.count = 5;  // (64 / 32) x 5 x 5 words: more than the 32 there are
    EXPECT_EQ(ecc1_records_check("dov0", matrix, table), -KPAV_EINVAL);
}

// ---- On the card model

class ImagesOnCardTest : public ControllerCardTest {
  protected:
    void SetUp() override {
        ControllerCardTest::SetUp();
        kpav_snprintf(card_->name, sizeof card_->name, "%s", "dov0");
        card_->fw_version = 0x802403;
        channel_ = std::make_unique<nand_dev>();
        channel_->card = card_;
    }
    void use(const ImagesConfig& images) {
        sim::card::ControllerConfig c;
        c.images = images;
        replug(sim::card::CardConfig::small(), c);
        kpav_snprintf(card_->name, sizeof card_->name, "%s", "dov0");
        channel_->card = card_;
    }
    // The channel as the part set-up leaves it for an ONFi part of 30 pads on two planes.
    void alder() {
        nand_interface& n = channel_->iface;
        n.pads = 30;
        n.planes = 2;
        n.page_total = 16384 + 1216;
        n.codeword_groups = 1;
    }
    std::unique_ptr<nand_dev> channel_;
};

TEST_F(ImagesOnCardTest, TheChainIsWalked) {
    ULONG address = 0, size = 0;
    ASSERT_EQ(cmem_find_container(card_, 0, &address, &size), 0);
    EXPECT_EQ(address, CMEM_CONTAINERS);
    ULONG first = size;
    ASSERT_EQ(cmem_find_container(card_, 1, &address, &size), 0);
    EXPECT_EQ(address, CMEM_CONTAINERS + first);
    EXPECT_EQ(cmem_find_container(card_, 2, &address, &size), 1);
}

TEST_F(ImagesOnCardTest, ChainsThatLoopOrLeaveCardMemoryEnd) {
    const std::pair<const char*, std::function<void(ImagesConfig&)>> cases[] = {
        {"format 0 before container 1", [](ImagesConfig& c) { c.microcode.format = 0; }},
        {"size 0", [](ImagesConfig& c) { c.microcode.total_size = 0; }},
        {"size 47", [](ImagesConfig& c) { c.microcode.total_size = 47; }},
        {"size past card memory", [](ImagesConfig& c) { c.microcode.total_size = 0x80000; }},
        {"size wrapping the address", [](ImagesConfig& c) { c.microcode.total_size = 0xFFFFFFF0; }},
    };
    for (const auto& [what, change] : cases) {
        ImagesConfig images;
        change(images);
        use(images);
        ULONG address = 0, size = 0;
        EXPECT_EQ(cmem_find_container(card_, 1, &address, &size), 1) << what;
    }
    // A container 0 of 0x80000 bytes is found (the chain ends behind it) ...
    ImagesConfig images;
    images.microcode.total_size = 0x80000;
    use(images);
    ULONG address = 0, size = 0;
    EXPECT_EQ(cmem_find_container(card_, 0, &address, &size), 0);
    EXPECT_EQ(size, 0x80000u);
}

TEST_F(ImagesOnCardTest, TheEccGeometryAndItsLoad) {
    alder();
    ASSERT_EQ(ecc_geometry_setup(channel_.get()), 0);
    const nand_interface& n = channel_->iface;
    EXPECT_EQ(n.ecc_codeword, 4384u);
    EXPECT_EQ(n.ecc_parity, 256u);
    EXPECT_EQ(n.ecc_data, 4128u);
    EXPECT_EQ(n.ecc_codewords, 4u);
    EXPECT_EQ(n.ecc_field, 80u);
    EXPECT_EQ(bar_->peek(0x4288) & 0xFFFF, 4128u / 32 - 1);
    EXPECT_EQ(bar_->peek(0x6388) & 0xFFFF, 4128u / 32 - 1);
    EXPECT_EQ(bar_->peek(0x638C) >> 8 & 0x3F, 29u);
    EXPECT_EQ(bar_->peek(0x638C) & 3, 2u);
    EXPECT_EQ(bar_->peek(0x428C) & 3, 2u);
    EXPECT_EQ(bar_->peek(0x200C) & 4, 4u);
    sim::card::EccLoadCheck check = bar_->ecc_load_check();
    EXPECT_TRUE(check.table_ok);
    EXPECT_TRUE(check.matrix_ok);
    EXPECT_TRUE(check.values_ok);
    EXPECT_EQ(check.table_words, 3u * 16 + 1);
    EXPECT_EQ(check.value_words, 64u);
    EXPECT_EQ(check.matrix_words, 4u + 32);
    EXPECT_EQ(card_->minimal_mode_reasons, 0u);

    // The maker's own parts: 17664-byte pages take the largest codeword.
    channel_->iface.page_total = 16384 + 1280;
    ASSERT_EQ(ecc_geometry_setup(channel_.get()), 0);
    EXPECT_EQ(n.ecc_codeword, 4416u);
    EXPECT_EQ(n.ecc_data, 4160u);
}

TEST_F(ImagesOnCardTest, ImageProblemsSetTheFirmwareReason) {
    const std::pair<std::function<void(ImagesConfig&)>, const char*> cases[] = {
        {[](ImagesConfig& c) { c.ecc.present = false; }, "dov0: ECC1 image is missing."},
        {[](ImagesConfig& c) { c.microcode.format = 0; }, "dov0: ECC1 image is missing."},
        {[](ImagesConfig& c) { c.ecc1[1].bad_crc = true; }, "dov0: ECC1 image is invalid."},
        {[](ImagesConfig& c) { c.ecc1[1].second = 6; }, "dov0: ECC1 image is invalid."},
    };
    for (const auto& [change, message] : cases) {
        ImagesConfig images;
        change(images);
        use(images);
        alder();
        sim::kernel::clear_debug_lines();
        EXPECT_LT(ecc_geometry_setup(channel_.get()), 0) << message;
        EXPECT_TRUE(has_text(message)) << message;
        EXPECT_EQ(card_->minimal_mode_reasons & PAV_MINIMAL_FIRMWARE, PAV_MINIMAL_FIRMWARE) << message;
        EXPECT_EQ(bar_->ecc_load_check().table_words, 0u) << message;
        EXPECT_EQ(bar_->peek(0x200C) & 4, 0u) << message;  // the engine was not enabled
    }
}

}  // namespace
