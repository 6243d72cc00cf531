// A card's erase-block information over the small test geometry of the card model (2 banks of 2
// pads, one plane, 512 rows, 16 KiB pages with 1216 spare bytes, 16 blocks), on a channel that
// has a name and nothing else.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/nand_dev.h"
#include "tests/support/kernel_fixture.h"

// Codewords of 1024 data and 76 parity bytes, four to a packet: a pad's raw page holds four
// raw packets exactly, a segment 32 codewords (32 KiB of data).
inline store_geometry small_store_geometry(ULONG eb_count = 16) {
    store_geometry g{};
    g.eb_count = eb_count;
    g.planes = 1;
    g.banks = 2;
    g.data_pads = 2;
    g.total_pads = 2;
    g.segments_per_eb = 512 * 2;
    g.page_size = 16384;
    g.raw_page_size = 16384 + 1216;
    g.codeword_raw = 1100;
    g.ecc_chunk_size = 1024;
    g.packet_size = 4096;
    g.packet_size_raw = 4400;
    g.alignment = 8;
    g.min_usable_pads = 0;
    g.reserve_share = 200;
    g.fill_rows = 4;
    g.identity_word = 0x51A7C0DE;
    g.erased_state = 1;
    g.default_sector_size = 512;
    g.packet_overhead = 8;
    g.pages_per_row = 4;
    g.eb_bytes = 512ull * 65536;
    g.tuning[0] = 300;
    g.tuning[1] = 1000;
    g.tuning[2] = 100;
    g.tuning[3] = 200;
    g.capacity_limits[0] = g.capacity_limits[1] = 1000;
    return g;
}

// Every block reset to all pads usable.
inline void reset_all(nand_dev* channel) {
    eb_table* table = ebinfo_table(channel);
    for (ULONG eb = 0; eb < table->count; eb++) ebinfo_reset_eb(channel, (USHORT)eb);
}

class StoreTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        std::strcpy(card_.name, "dov0");
        channel_.card = &card_;
        InterlockedExchange(&eb_headers_plain, 0);
    }
    void TearDown() override {
        ebinfo_exit(&channel_);
        InterlockedExchange(&eb_headers_plain, 0);
        KernelTest::TearDown();
    }
    void init(const store_geometry& g) {
        ASSERT_EQ(ebinfo_init(&channel_, &g), 0);
        reset_all(&channel_);
    }
    eb_info* info(USHORT eb) { return ebinfo_get(&channel_, eb); }
    eb_table* table() { return ebinfo_table(&channel_); }

    pipeline_device card_{};
    nand_dev channel_{};
};
