// A data log as far as the metadata side needs one: a named card, a chain of LEBs with their
// sequences, the metadata page pool and the block table, over the driver-wide record pool.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/log/datalog.h"
#include "driver/log/mblk.h"
#include "tests/support/kernel_fixture.h"

struct test_log {
    pipeline_device card{};
    nand_dev channel{};
    pav_log log{};
    mem_stats footprint{};
    std::vector<leb_record> lebs;

    // `eb_count` LEBs of `packets_per_leb` usable packets, chained 0 -> 1 -> ... in that order,
    // LEB i with sequence 64 x (i + 1).
    test_log(ULONG eb_count, ULONG packets_per_leb, bool preallocate = false, bool preallocated_pages = false) {
        std::strcpy(card.name, "dov0");
        channel.card = &card;
        log.channel = &channel;
        kpav_state_init(&log.state, PAV_LOG_RUNNING);
        std::strcpy(log.name, "data");
        log.sector_size = 512;
        log.packets_per_leb = packets_per_leb;
        log.leb_span = packets_per_leb + 1;
        lebs.resize(eb_count);
        for (ULONG i = 0; i < eb_count; i++) {
            kpav_state_init(&lebs[i].func, PAV_LEB_FUNC_CLOSED);
            lebs[i].sequence = 64ull * (i + 1);
            lebs[i].next = i + 1 < eb_count ? (USHORT)(i + 1) : PAV_NO_LEB;
            lebs[i].previous = i > 0 ? (USHORT)(i - 1) : PAV_NO_LEB;
        }
        log.lebs = lebs.data();
        log.eb_count = eb_count;
        log.md_footprint = &footprint;
        pav_page_pool_init(&log.md_pages, card.name, &footprint, preallocated_pages);
        EXPECT_EQ(mblk_table_init(&log, preallocate, false), 0);
    }
    ~test_log() { mblk_table_exit(&log); }

    test_log(const test_log&) = delete;
    test_log& operator=(const test_log&) = delete;

    // Gives LEB i capacity(i) usable packets instead of packets_per_leb.
    template <typename F>
    void set_capacities(F capacity) {
        leb_packets.resize(lebs.size());
        for (ULONG i = 0; i < lebs.size(); i++) leb_packets[i] = capacity(i);
        log.leb_packets = leb_packets.data();
    }
    std::vector<ULONG> leb_packets;

    // The address of packet `offset` of `leb`.
    ULONG64 addr(ULONG leb, ULONG offset) const { return 16 + (ULONG64)log.leb_span * leb + offset; }
};

// A booted machine with the driver-wide block-record pool set up.
class MetadataTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(mblk_cache_init(), 0);
    }
    void TearDown() override {
        mblk_cache_exit();
        KernelTest::TearDown();
    }
};
